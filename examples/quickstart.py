"""A short tour of morvatel._core: decide, verify, log, sign, record an outcome, settle money."""

import os
import shutil
import tempfile

import morvatel._core as core


def model(model_id, quality_bps, latency_ms, input_price, output_price):
    return core.KernelModel(
        model_id=model_id, provider_id=1, quality_bps=quality_bps, risk_ceiling_bps=8000,
        enabled=1, p95_latency_ms=latency_ms, capabilities=0b11, region_mask=0b1,
        input_cost_microunits_per_million_tokens=input_price,
        output_cost_microunits_per_million_tokens=output_price,
    )


policy = core.PolicySnapshot(
    policy_epoch=3, catalog_epoch=12, hard_risk_limit_bps=9000, minimum_confidence_bps=2000,
    risk_penalty_multiplier_bps=10000, latency_penalty_microunits_per_ms=2,
    models=[model(7, 9200, 900, 3_000_000, 15_000_000), model(4, 8800, 400, 500_000, 1_500_000)],
)
request = core.KernelInput(
    request_sequence=1, requested_model_id=7, input_tokens=1200, output_tokens=300,
    business_value_microunits=50_000, budget_limit_microunits=20_000,
    risk_bps=1500, confidence_bps=9000, minimum_quality_bps=8000, max_p95_latency_ms=2000,
    required_capabilities=0b01, allowed_provider_mask=core.ALL_PROVIDERS,
    required_region_mask=0,
)

print(policy)
print("fingerprint:", policy.fingerprint())
decision = policy.prescribe(request)
print(decision)
print("decision:", decision.as_dict())
print("replay:", policy.verify(request, decision))
print("audit bundle:", policy.verified_audit_bundle(request, decision))
for candidate in policy.explain(request):
    print("  ", candidate)

# Record the decision in a keyed, hash-chained log and anchor a signed receipt to it.
workdir = tempfile.mkdtemp(prefix="morvatel-quickstart-")
os.environ["MORVATEL_WAL_LOCK_DIR"] = os.path.join(workdir, "locks")  # kept with the demo files
log_path = os.path.join(workdir, "decisions.wal")
hmac_key = b"k" * 32
wal = core.AuditedWal(log_path, hmac_key=hmac_key)
entry = wal.append_verified(policy, request, decision, '{"tenant":"acme"}')
wal.close()
print("log entry", entry.sequence, entry.entry_hash[:16] + "...",
      "verified head:", core.verify_audited_wal(log_path, hmac_key=hmac_key))

chain = core.StateChain(b"genesis")
transition = chain.advance(b"after request 1")
receipt = policy.issue_receipt(request, decision,
                               state=core.ReceiptState.from_transition(transition),
                               wal=entry.receipt_anchor())
seed = bytes(range(32))
receipt.sign(seed, "router-1", 1_760_000_000_000)
restored = core.DecisionReceipt.from_json(receipt.to_json())
restored.verify_full(policy, request, decision, core.public_key_from_signing_key(seed),
                     core.ReceiptState.from_transition(transition), entry.receipt_anchor())
print(restored)

outcome = core.Outcome.applied(
    policy, request, decision, observed_at_micros=1_760_000_000_000_000,
    observation=core.Observation(realized_cost_microunits=1_650, realized_latency_ms=380,
                                 succeeded=True),
)
outcome.validate_against(policy, request, decision)
print(outcome, "digest", outcome.digest[:16] + "...")

engine = core.BudgetEngine()
engine.ensure_tenant("acme", 100 * core.MICROCENTS_PER_CENT)
reservation = engine.try_reserve("acme", decision.estimated_cost_microunits * 100)
print("reserve:", reservation)
print("commit:", engine.commit(reservation["reservation_id"], 165_000))
print("certificate:", engine.certify())
snapshot_path = os.path.join(workdir, "ledgers.json")
print("checkpoint:", engine.checkpoint_with_wal(snapshot_path, entry.sequence))
print("recovery plan:", core.plan_recovery(snapshot_path, log_path, hmac_key=hmac_key))

print("build:", core.BUILD_COMMIT_SHA[:12], "dirty" if core.BUILD_DIRTY else "clean",
      "verified" if core.BUILD_IDENTITY_VERIFIED else "unverified")
shutil.rmtree(workdir)
