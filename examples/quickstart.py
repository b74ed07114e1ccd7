"""A short tour of morvatel._core, told as one request's story: it is decided,
explained, replayed, logged, signed, observed and paid for, and each piece of
evidence is checked, including some that were tampered with.

Every value printed is the same on every machine and every run.
"""

import json
import os
import shutil
import tempfile

import morvatel._core as core


def step(text):
    print()
    print(text)


def show(label, value):
    print(f"    {label}: {value}")


def model(model_id, quality_bps, latency_ms, input_price, output_price):
    return core.KernelModel(
        model_id=model_id, provider_id=1, quality_bps=quality_bps, risk_ceiling_bps=8000,
        enabled=1, p95_latency_ms=latency_ms, capabilities=0b11, region_mask=0b1,
        input_cost_microunits_per_million_tokens=input_price,
        output_cost_microunits_per_million_tokens=output_price,
    )


def request(sequence, budget_microunits):
    return core.KernelInput(
        request_sequence=sequence, requested_model_id=7, input_tokens=1200, output_tokens=300,
        business_value_microunits=50_000, budget_limit_microunits=budget_microunits,
        risk_bps=1500, confidence_bps=9000, minimum_quality_bps=8000, max_p95_latency_ms=2000,
        required_capabilities=0b01, allowed_provider_mask=core.ALL_PROVIDERS,
        required_region_mask=0,
    )


def error_text(call):
    """Runs `call`, which must fail, and returns its exception as text."""
    try:
        call()
    except core.MorvatelError as e:
        return f"{type(e).__name__}: {e}"
    raise AssertionError("expected a refusal")


print("morvatel quick start")

step("1. A policy: a catalogue of two models, the quality each offers, its latency\n"
     "   and its price per million tokens.")
catalogue = [model(7, 9200, 900, 3_000_000, 15_000_000), model(4, 8800, 400, 500_000, 1_500_000)]
policy = core.PolicySnapshot(
    policy_epoch=3, catalog_epoch=12, hard_risk_limit_bps=9000, minimum_confidence_bps=2000,
    risk_penalty_multiplier_bps=10000, latency_penalty_microunits_per_ms=2, models=catalogue,
)
for m in catalogue:
    show(f"model {m.model_id}", f"quality {m.quality_bps} bps, p95 {m.p95_latency_ms} ms, "
         f"{m.input_cost_microunits_per_million_tokens:,} in / "
         f"{m.output_cost_microunits_per_million_tokens:,} out")
show("fingerprint", policy.fingerprint())
print("    Quality is in basis points (10,000 is 100%); money in the kernel is in\n"
      "    microunits, millionths of one currency unit.")

step("2. Request 1 asks for model 7, may spend up to 20,000 microunits and is worth\n"
     "   50,000 microunits to its sender. The kernel decides what to run.")
first = request(1, 20_000)
decision = policy.prescribe(first)
show("action", f"{decision.action} model {decision.selected_model_id} "
               f"(reason: {decision.reason})")
show("estimated cost", f"{decision.estimated_cost_microunits} microunits")
show("expected utility", f"{decision.expected_utility_microunits} microunits, against "
                         f"{decision.counterfactual_utility_microunits} for the model asked for")

step("3. Why: each candidate as the kernel weighed it.")
for candidate in policy.explain(first):
    show("candidate", candidate)

step("4. Anyone holding the policy and the request can replay the decision.")
show("replay", policy.verify(first, decision)["status"])

step("5. Request 2 offers only 10 microunits: no model is that cheap, so it is\n"
     "   rejected, and the decision says why.")
second = request(2, 10)
rejected = policy.prescribe(second)
show("action", f"{rejected.action} (reason: {rejected.reason})")

workdir = tempfile.mkdtemp(prefix="morvatel-quickstart-")
# The log writer's lock files go beside the demo's files, not under ~/.cache.
os.environ["MORVATEL_WAL_LOCK_DIR"] = os.path.join(workdir, "locks")
log_path = os.path.join(workdir, "decisions.wal")

step("6. Both decisions go into a hash-chained audit log, each line holding the\n"
     "   request, the decision and a replayed audit bundle.")
wal = core.AuditedWal(log_path)
entry = wal.append_verified(policy, first, decision, '{"tenant":"acme"}')
wal.append_verified(policy, second, rejected, '{"tenant":"acme"}')
wal.close()
count, head = core.verify_audited_wal(log_path)
show("entries verified", count)
show("head of the chain", head)

step("7. Someone edits the logged sequence of request 1 in a copy of the log.\n"
     "   Verification recomputes the chain and names the line that broke it.")
tampered_path = os.path.join(workdir, "tampered.wal")
with open(log_path, "rb") as f:
    lines = f.read().splitlines(keepends=True)
lines[0] = lines[0].replace(b'"request_sequence":1', b'"request_sequence":9', 1)
with open(tampered_path, "wb") as f:
    f.write(b"".join(lines))
show("refused", error_text(lambda: core.verify_audited_wal(tampered_path)))

step("8. The policy team signs the policy. A router holding only the team's\n"
     "   public key (pinned in its configuration) checks the signature.")
team_seed = bytes(range(32))
pinned_key = core.public_key_from_signing_key(team_seed)
signed_policy = core.SignedPolicy.from_json(
    policy.sign_policy(team_seed, "policy-team", 1_760_000_000_000).to_json())
signed_policy.verify(policy, pinned_key)
show("signed by", f"{signed_policy.signer_id}, accepted under the pinned key")
intruder_key = core.public_key_from_signing_key(bytes(32))
show("under another key", error_text(lambda: signed_policy.verify(policy, intruder_key)))

step("9. The router issues a receipt for decision 1, bound to the log entry and\n"
     "   to a state chain, and signs it.")
router_seed = bytes(range(100, 132))
router_key = core.public_key_from_signing_key(router_seed)
transition = core.StateChain(b"genesis").advance(b"after request 1")
state = core.ReceiptState.from_transition(transition)
receipt = policy.issue_receipt(first, decision, state=state, wal=entry.receipt_anchor())
receipt.sign(router_seed, "router-1", 1_760_000_000_000)
receipt_json = receipt.to_json()
core.DecisionReceipt.from_json(receipt_json).verify_full(
    policy, first, decision, router_key, state, entry.receipt_anchor())
show("claims digest", receipt.claims_digest_hex)
print("    Read back from its JSON form, it passes every check.")
altered = json.loads(receipt_json)
altered["policy_epoch"] = 4
forged = core.DecisionReceipt.from_json(json.dumps(altered))
show("with policy_epoch changed to 4", error_text(lambda: forged.verify_signature(router_key)))

step("10. The request ran on model 4; what was observed is recorded against the\n"
     "    decision.")
outcome = core.Outcome.applied(
    policy, first, decision, observed_at_micros=1_760_000_000_000_000,
    observation=core.Observation(realized_cost_microunits=1_650, realized_latency_ms=380,
                                 succeeded=True),
)
outcome.validate_against(policy, first, decision)
show("outcome", outcome)

step("11. The tenant pays from a budget. The budget engine counts microcents,\n"
     f"    {core.MICROCENTS_PER_CENT:,} to the cent, so one kernel microunit is 100 microcents.")
engine = core.BudgetEngine()
engine.ensure_tenant("acme", 100 * core.MICROCENTS_PER_CENT)  # one currency unit
reservation = engine.try_reserve("acme", decision.estimated_cost_microunits * 100)
show(f"reserve the estimate, {decision.estimated_cost_microunits} x 100", reservation)
show("commit what it cost, 1650 x 100", engine.commit(reservation["reservation_id"], 1_650 * 100))
certificate = engine.certify()
show("ledgers balance", certificate["conservation_balanced"])

step("12. A checkpoint saves the ledgers with the log position they include.")
snapshot_path = os.path.join(workdir, "ledgers.json")
snapshot = engine.checkpoint_with_wal(snapshot_path, entry.sequence)
version = snapshot["version"]
show("version", version)
print(f"    That is 2**63 + {version - 2**63}: the top bit marks a snapshot that knows where\n"
      f"    its reservation ids stood, and the rest is the next id to hand out (the\n"
      f"    certificate and each capture of the ledgers use up an id too).")
show("remaining", f"{snapshot['tenants'][0]['remaining_microcents']} microcents")

step("13. After a crash, recovery reads the snapshot and the log and says what to replay.")
plan = core.plan_recovery(snapshot_path, log_path)
show("log entries", plan["total_wal_entries"])
show("already in the snapshot", plan["wal_high_watermark"])
show("to replay", plan["entries_to_replay"])

shutil.rmtree(workdir)
