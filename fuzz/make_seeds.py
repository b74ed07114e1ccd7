"""Writes the fuzzers' seed corpora, fuzz/corpus/<target>/, from documents
that the module itself produces, so that a short fuzzing run starts from
real shapes. Run it from the checkout with the module importable:

    PYTHONPATH=build/dev/py python3 fuzz/make_seeds.py

The output is deterministic: every key, timestamp and amount is fixed.
"""

import json
import os
import pathlib
import struct
import tempfile

import morvatel._core as core

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
TAG = 1 << 63


def model(model_id, quality_bps, latency_ms, input_price, output_price):
    return core.KernelModel(
        model_id=model_id, provider_id=1, quality_bps=quality_bps, risk_ceiling_bps=8000,
        enabled=1, p95_latency_ms=latency_ms, capabilities=0b11, region_mask=0b1,
        input_cost_microunits_per_million_tokens=input_price,
        output_cost_microunits_per_million_tokens=output_price,
    )


POLICY = core.PolicySnapshot(
    policy_epoch=3, catalog_epoch=12, hard_risk_limit_bps=9000, minimum_confidence_bps=2000,
    risk_penalty_multiplier_bps=10000, latency_penalty_microunits_per_ms=2,
    models=[model(7, 9200, 900, 3_000_000, 15_000_000), model(4, 8800, 400, 500_000, 1_500_000)],
)


def request(sequence, budget):
    return core.KernelInput(
        request_sequence=sequence, requested_model_id=7, input_tokens=1200, output_tokens=300,
        business_value_microunits=50_000, budget_limit_microunits=budget,
        risk_bps=1500, confidence_bps=9000, minimum_quality_bps=8000, max_p95_latency_ms=2000,
        required_capabilities=0b01, allowed_provider_mask=core.ALL_PROVIDERS,
        required_region_mask=0,
    )


def put(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def snapshot_text(version, tenants, active=0, watermark=None):
    rows = [dict(zip(("tenant_id", "initial_microcents", "remaining_microcents",
                      "reserved_microcents", "committed_microcents"), row)) for row in tenants]
    return json.dumps({"version": version, "tenants": rows, "active_reservations": active,
                       "wal_high_watermark": watermark}, indent=2)


def main():
    with tempfile.TemporaryDirectory(prefix="morvatel-seeds-") as work:
        write_seeds(pathlib.Path(work))


def write_seeds(work):
    """Writes every seed; `work` takes the files the module writes first."""
    os.environ["MORVATEL_WAL_LOCK_DIR"] = str(work / "locks")
    seed = bytes(range(32))
    # Requests with room for the model asked for, for the cheaper one only, and for none.
    cases = [(request(i + 1, budget), None) for i, budget in enumerate((20_000, 2_000, 10))]
    cases = [(r, POLICY.prescribe(r)) for r, _ in cases]

    for key, mode in ((None, "plain"), (b"k" * 32, "keyed")):
        path = work / f"{mode}.wal"
        wal = core.AuditedWal(str(path), hmac_key=key)
        entries = [wal.append_verified(POLICY, r, d, '{"tenant":"acme","n":[1,2.5e3]}')
                   for r, d in cases]
        anchor = wal.anchor()
        wal.close()
        for i, line in enumerate(path.read_bytes().splitlines()):
            put("wal_entry_fuzzer", f"{mode}-{i + 1}", line)
            if mode == "plain":
                record = json.loads(line)["data"]
                put("json_reader_fuzzer", f"record-{i + 1}", json.dumps(record))
                put("json_reader_fuzzer", f"input-{i + 1}", json.dumps(record["input"]))
                put("json_reader_fuzzer", f"decision-{i + 1}", json.dumps(record["decision"]))
        anchor.save(str(work / f"{mode}-anchor.json"))
        put("wal_anchor_fuzzer", mode, (work / f"{mode}-anchor.json").read_bytes())

        chain = core.StateChain(b"genesis")
        transition = chain.advance(b"after request 1")
        r, d = cases[0]
        receipt = POLICY.issue_receipt(r, d, state=core.ReceiptState.from_transition(transition),
                                       wal=entries[0].receipt_anchor())
        put("receipt_fuzzer", f"unsigned-{mode}", receipt.to_json())
        receipt.sign(seed, "router-1", 1_760_000_000_000)
        put("receipt_fuzzer", f"signed-{mode}", receipt.to_json())
    put("receipt_fuzzer", "bare", POLICY.issue_receipt(*cases[2]).to_json())

    put("signed_policy_fuzzer", "policy-team",
        POLICY.sign_policy(seed, "policy-team", 1_700_000_000_000).to_json())
    put("signed_policy_fuzzer", "unicode-signer",
        POLICY.sign_policy(bytes(32), "équipe \u2014 2", 0).to_json())

    engine = core.BudgetEngine()
    engine.ensure_tenant("acme", 100 * core.MICROCENTS_PER_CENT)
    engine.ensure_tenant("beta", 5_000)
    held = engine.try_reserve("acme", 40_000)
    engine.commit(engine.try_reserve("beta", 1_000)["reservation_id"], 600)
    live = engine.snapshot()  # a capture with a reservation open, which no file may hold
    put("snapshot_fuzzer", "open", snapshot_text(
        live["version"], [tuple(row.values()) for row in live["tenants"]],
        live["active_reservations"], live["wal_high_watermark"]))
    engine.release(held["reservation_id"])
    engine.checkpoint_with_wal(str(work / "settled.json"), 3)
    put("snapshot_fuzzer", "settled", (work / "settled.json").read_bytes())
    legacy = [("acme", 1000, 700, 0, 300), ("beta", 50, 50, 0, 0)]
    put("snapshot_fuzzer", "legacy", snapshot_text(5, legacy, watermark=9))
    put("snapshot_fuzzer", "empty", snapshot_text(TAG + 1, []))

    # The trusted id comes first, as eight little-endian bytes.
    for trusted, version, watermark in ((1, 0, None), (42, 5, 17)):
        put("legacy_migration_fuzzer", f"id-{trusted}",
            struct.pack("<Q", trusted) + snapshot_text(version, legacy, watermark=watermark).encode())
    put("legacy_migration_fuzzer", "tagged",
        struct.pack("<Q", 7) + (work / "settled.json").read_bytes())

    # Operation sequences: the first byte picks the allocator's start, then
    # each operation is one byte (operation = byte % 9, tenant = byte / 9 % 4)
    # followed by its arguments; amounts below 200 are one byte.
    ensure, limit, top_up, reserve, commit, release, snap, certify, restore = range(9)
    b = 9  # the second tenant
    put("budget_ops_fuzzer", "reserve-commit",
        bytes([0, ensure, 100, b + ensure, 50, reserve, 40, commit, 0, 30, certify, snap]))
    put("budget_ops_fuzzer", "release-restore",
        bytes([0, ensure, 100, reserve, 60, b + reserve, 5, release, 0, restore, certify]))
    put("budget_ops_fuzzer", "limit-and-top-up",
        bytes([0, ensure, 10, limit, 5, reserve, 6, top_up, 20, reserve, 5, commit, 0, 7]))
    put("budget_ops_fuzzer", "near-allocator-limit",
        bytes([250, ensure, 100, reserve, 1, reserve, 1, snap, commit, 0, 1, restore]))


if __name__ == "__main__":
    main()
