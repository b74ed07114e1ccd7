import hashlib
import struct

import pytest

from morvatel import _core as m

MODELS = [
    # model_id, provider, quality, risk ceiling, enabled, p95, caps, regions, in price, out price
    (3, 2, 7000, 10000, 1, 50, 0, 1, 100, 300),
    (1, 1, 9000, 10000, 1, 100, 0, 1, 1000, 2000),
    (2, 1, 8000, 10000, 0, 80, 0, 1, 500, 900),
]


@pytest.fixture
def snap():
    return m.PolicySnapshot(3, 4, 9000, 1000, 10000, 7, [m.KernelModel(*row) for row in MODELS])


@pytest.fixture
def req():
    return m.KernelInput(21, 1, 1200, 800, 10**9, 3 * 10**9, 100, 9000, 0, 1000, 0,
                         m.ALL_PROVIDERS, 1)


def sha(tag, layout, *values):
    return hashlib.sha256(tag + b"\x00" + struct.pack("<" + layout, *values)).hexdigest()


def input_digest(i):
    return sha(b"morvinp1", "QIIIqQHHHIQQQ", *(getattr(i, f) for f in (
        "request_sequence requested_model_id input_tokens output_tokens business_value_microunits "
        "budget_limit_microunits risk_bps confidence_bps minimum_quality_bps max_p95_latency_ms "
        "required_capabilities allowed_provider_mask required_region_mask").split()))


def decision_digest(d):
    return sha(b"morvdcn1", "QBHIHQqIqHHQQ", d.request_sequence, d.action_code, d.reason_code,
               d.selected_model_id, d.selected_model_index, d.estimated_cost_microunits,
               d.expected_utility_microunits, d.counterfactual_model_id,
               d.counterfactual_utility_microunits, d.evaluated_models, d.eligible_models,
               d.policy_epoch, d.catalog_epoch)


def test_kernels_own_decision_verifies_everywhere(snap, req):
    d = snap.prescribe(req)
    assert snap.verify(req, d) == {"status": "valid"}
    assert snap.verify_status(input=req, decision=d) == "valid"
    bundle = snap.audit_bundle(req, d)
    assert list(bundle.items()) == [
        ("schema_version", "morvatel.audit.v1"), ("digest_algorithm", "sha256"),
        ("proof_version", 1), ("policy_epoch", 3), ("catalog_epoch", 4),
        ("created_by", "morvatel"), ("policy_digest_hex", snap.fingerprint()),
        ("input_digest_hex", input_digest(req)), ("decision_digest_hex", decision_digest(d)),
        ("replay_valid", True)]
    assert snap.verified_audit_bundle(req, d) == bundle
    assert list(snap.proof_envelope(req, d).items()) == [
        ("proof_version", 1), ("policy_digest_hex", bundle["policy_digest_hex"]),
        ("input_digest_hex", bundle["input_digest_hex"]),
        ("decision_digest_hex", bundle["decision_digest_hex"]), ("replay_valid", True),
        ("wal_sequence", None), ("wal_entry_hash", None), ("budget_snapshot_version", None),
        ("ledger_digest_hex", None), ("action", d.action), ("reason", d.reason),
        ("selected_model_id", d.selected_model_id),
        ("counterfactual_model_id", d.counterfactual_model_id),
        ("estimated_cost_microunits", d.estimated_cost_microunits),
        ("expected_utility_microunits", d.expected_utility_microunits)]


def test_changed_request_sequence_is_a_mismatch_the_dict_cannot_show(snap, req):
    d = snap.prescribe(req)
    req.request_sequence += 1
    assert list(snap.verify(req, d).items()) == [
        ("status", "mismatch"), ("expected_action", d.action), ("actual_action", d.action),
        ("expected_model_id", 1), ("actual_model_id", 1),
        ("expected_reason", d.reason), ("actual_reason", d.reason)]
    assert snap.verify_status(req, d) == "mismatch"


def test_decision_under_another_policy_is_refused(snap, req):
    other = m.PolicySnapshot(8, 9, 9000, 1000, 10000, 7, [m.KernelModel(*MODELS[0])])
    foreign = other.prescribe(req)
    assert snap.verify_status(req, foreign) == "mismatch"
    v = snap.verify(req, foreign)
    assert (v["expected_model_id"], v["actual_model_id"]) == (1, 3)
    assert other.verify_status(req, foreign) == "valid"

    bundle = snap.audit_bundle(req, foreign)
    assert (bundle["policy_epoch"], bundle["catalog_epoch"], bundle["replay_valid"]) == (3, 4, False)
    assert bundle["decision_digest_hex"] == decision_digest(foreign)
    env = snap.proof_envelope(req, foreign)
    # Digests and verdict against this snapshot; the summary is of the decision given.
    assert (env["replay_valid"], env["policy_digest_hex"], env["decision_digest_hex"]) == (
        False, snap.fingerprint(), decision_digest(foreign))
    assert [env[k] for k in ("selected_model_id", "counterfactual_model_id",
                             "estimated_cost_microunits", "expected_utility_microunits")] == [
        foreign.selected_model_id, foreign.counterfactual_model_id,
        foreign.estimated_cost_microunits, foreign.expected_utility_microunits]

    with pytest.raises(ValueError) as err:
        snap.verified_audit_bundle(req, foreign)
    msg = str(err.value)
    assert msg.startswith("decision verification failed: Mismatch { expected: "
                          "KernelDecision { request_sequence: 21, ")
    assert msg.count("policy_epoch: 8, catalog_epoch: 9 }") == 1
    assert err.value.args == (msg,)


METHODS = ["verify", "verify_status", "audit_bundle", "verified_audit_bundle", "proof_envelope"]


@pytest.mark.parametrize("method", METHODS)
def test_arguments_are_checked_in_order_before_any_replay(snap, req, method):
    d = snap.prescribe(req)
    call = getattr(snap, method)
    with pytest.raises(TypeError) as err:
        call(d, req)
    assert "KernelInput" in str(err.value)
    assert "while processing 'input'" in err.value.__notes__
    req.risk_bps = 10001
    req.confidence_bps = 10001
    # A bad decision is reported before the out-of-range request.
    with pytest.raises(TypeError) as err:
        call(req, req)
    assert "KernelDecision" in str(err.value)
    assert "while processing 'decision'" in err.value.__notes__
    with pytest.raises(ValueError, match=r"^risk_bps must be <= 10000, got 10001$"):
        call(req, d)
    for args in ((req,), (req, d, d)):
        with pytest.raises(TypeError):
            call(*args)
