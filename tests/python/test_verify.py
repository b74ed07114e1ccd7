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

INPUT_FIELDS = (
    "request_sequence requested_model_id input_tokens output_tokens business_value_microunits "
    "budget_limit_microunits risk_bps confidence_bps minimum_quality_bps max_p95_latency_ms "
    "required_capabilities allowed_provider_mask required_region_mask"
).split()


def snapshot(policy_epoch=3, catalog_epoch=4):
    return m.PolicySnapshot(policy_epoch, catalog_epoch, 9000, 1000, 10000, 7,
                            [m.KernelModel(*row) for row in MODELS])


def request(seq=21):
    return m.KernelInput(seq, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0,
                         m.ALL_PROVIDERS, 1)


@pytest.fixture
def snap():
    return snapshot()


@pytest.fixture
def req():
    return request()


# --- digests recomputed from the documented layouts ---

def policy_digest(s):
    msg = b"morvpol1\x00" + struct.pack(
        "<QQHHHQ", s.policy_epoch, s.catalog_epoch, s.hard_risk_limit_bps,
        s.minimum_confidence_bps, s.risk_penalty_multiplier_bps,
        s.latency_penalty_microunits_per_ms)
    for row in sorted(MODELS):
        msg += struct.pack("<IHHHBIQQQQ", *row)
    assert len(msg) == 39 + 47 * len(MODELS)
    return hashlib.sha256(msg).hexdigest()


def input_digest(i):
    msg = b"morvinp1\x00" + struct.pack("<QIIIqQHHHIQQQ", *(getattr(i, f) for f in INPUT_FIELDS))
    assert len(msg) == 79
    return hashlib.sha256(msg).hexdigest()


def decision_digest(d):
    msg = b"morvdcn1\x00" + struct.pack(
        "<QBHIHQqIqHHQQ", d.request_sequence, d.action_code, d.reason_code,
        d.selected_model_id, d.selected_model_index, d.estimated_cost_microunits,
        d.expected_utility_microunits, d.counterfactual_model_id,
        d.counterfactual_utility_microunits, d.evaluated_models, d.eligible_models,
        d.policy_epoch, d.catalog_epoch)
    assert len(msg) == 74
    return hashlib.sha256(msg).hexdigest()


BUNDLE_KEYS = ["schema_version", "digest_algorithm", "proof_version", "policy_epoch",
               "catalog_epoch", "created_by", "policy_digest_hex", "input_digest_hex",
               "decision_digest_hex", "replay_valid"]

ENVELOPE_KEYS = ["proof_version", "policy_digest_hex", "input_digest_hex", "decision_digest_hex",
                 "replay_valid", "wal_sequence", "wal_entry_hash", "budget_snapshot_version",
                 "ledger_digest_hex", "action", "reason", "selected_model_id",
                 "counterfactual_model_id", "estimated_cost_microunits",
                 "expected_utility_microunits"]


def test_kernels_own_decision_verifies_everywhere(snap, req):
    d = snap.prescribe(req)
    assert snap.verify(req, d) == {"status": "valid"}
    assert snap.verify_status(input=req, decision=d) == "valid"

    bundle = snap.audit_bundle(req, d)
    assert list(bundle) == BUNDLE_KEYS
    assert bundle == {
        "schema_version": "morvatel.audit.v1",
        "digest_algorithm": "sha256",
        "proof_version": 1,
        "policy_epoch": 3,
        "catalog_epoch": 4,
        "created_by": "morvatel",
        "policy_digest_hex": policy_digest(snap),
        "input_digest_hex": input_digest(req),
        "decision_digest_hex": decision_digest(d),
        "replay_valid": True,
    }
    assert bundle["policy_digest_hex"] == snap.fingerprint()
    assert snap.verified_audit_bundle(req, d) == bundle

    env = snap.proof_envelope(req, d)
    assert list(env) == ENVELOPE_KEYS
    assert env == {
        "proof_version": 1,
        "policy_digest_hex": bundle["policy_digest_hex"],
        "input_digest_hex": bundle["input_digest_hex"],
        "decision_digest_hex": bundle["decision_digest_hex"],
        "replay_valid": True,
        "wal_sequence": None,
        "wal_entry_hash": None,
        "budget_snapshot_version": None,
        "ledger_digest_hex": None,
        "action": d.action,
        "reason": d.reason,
        "selected_model_id": d.selected_model_id,
        "counterfactual_model_id": d.counterfactual_model_id,
        "estimated_cost_microunits": d.estimated_cost_microunits,
        "expected_utility_microunits": d.expected_utility_microunits,
    }


def test_changed_request_sequence_is_a_mismatch_the_dict_cannot_show(snap, req):
    d = snap.prescribe(req)
    req.request_sequence += 1
    result = snap.verify(req, d)
    assert result == {
        "status": "mismatch",
        "expected_action": d.action, "actual_action": d.action,
        "expected_model_id": d.selected_model_id, "actual_model_id": d.selected_model_id,
        "expected_reason": d.reason, "actual_reason": d.reason,
    }
    assert list(result)[0] == "status"
    assert snap.verify_status(req, d) == "mismatch"


def test_decision_under_another_policy_is_refused(snap, req):
    other = m.PolicySnapshot(8, 9, 9000, 1000, 10000, 7, [m.KernelModel(*MODELS[0])])
    foreign = other.prescribe(req)
    mine = snap.prescribe(req)
    assert foreign.selected_model_id != mine.selected_model_id

    assert snap.verify_status(req, foreign) == "mismatch"
    v = snap.verify(req, foreign)
    assert (v["expected_model_id"], v["actual_model_id"]) == (1, 3)
    assert other.verify_status(req, foreign) == "valid"

    bundle = snap.audit_bundle(req, foreign)
    assert (bundle["policy_epoch"], bundle["catalog_epoch"]) == (3, 4)
    assert bundle["replay_valid"] is False
    assert bundle["decision_digest_hex"] == decision_digest(foreign)
    env = snap.proof_envelope(req, foreign)
    # Digests and verdict against this snapshot; the summary is of the decision given.
    assert (env["replay_valid"], env["policy_digest_hex"]) == (False, snap.fingerprint())
    assert env["decision_digest_hex"] == decision_digest(foreign)
    assert (env["selected_model_id"], env["counterfactual_model_id"],
            env["estimated_cost_microunits"], env["expected_utility_microunits"]) == (
        foreign.selected_model_id, foreign.counterfactual_model_id,
        foreign.estimated_cost_microunits, foreign.expected_utility_microunits)

    with pytest.raises(ValueError) as err:
        snap.verified_audit_bundle(req, foreign)
    msg = str(err.value)
    assert msg.startswith("decision verification failed: Mismatch { expected: "
                          "KernelDecision { request_sequence: 21, ")
    assert msg.endswith(" } }")
    assert "policy_epoch: 3, catalog_epoch: 4 }, actual: KernelDecision {" in msg
    assert msg.count("policy_epoch: 8, catalog_epoch: 9 }") == 1
    assert err.value.args == (msg,)


def test_rejection_verifies_and_summarises():
    snap = snapshot()
    risky = request()
    risky.risk_bps = 9500
    d = snap.prescribe(risky)
    assert d.action == "reject"
    assert snap.verify_status(risky, d) == "valid"
    env = snap.proof_envelope(risky, d)
    assert (env["action"], env["reason"], env["selected_model_id"]) == ("reject", "risk_hard_limit", 0)
    assert env["replay_valid"] is True


METHODS = ["verify", "verify_status", "audit_bundle", "verified_audit_bundle", "proof_envelope"]


@pytest.mark.parametrize("method", METHODS)
def test_request_is_checked_before_any_replay(snap, req, method):
    d = snap.prescribe(req)
    req.risk_bps = 10001
    req.confidence_bps = 10001
    with pytest.raises(ValueError, match=r"^risk_bps must be <= 10000, got 10001$"):
        getattr(snap, method)(req, d)


@pytest.mark.parametrize("method", METHODS)
def test_argument_types_are_checked_in_order(snap, req, method):
    d = snap.prescribe(req)
    call = getattr(snap, method)
    with pytest.raises(TypeError) as err:
        call(d, req)
    assert "KernelInput" in str(err.value)
    assert "while processing 'input'" in getattr(err.value, "__notes__", [])
    # A bad decision is reported before the out-of-range request.
    req.risk_bps = 10001
    with pytest.raises(TypeError) as err:
        call(req, req)
    assert "KernelDecision" in str(err.value)
    assert "while processing 'decision'" in getattr(err.value, "__notes__", [])
    with pytest.raises(TypeError):
        call(req)
    with pytest.raises(TypeError):
        call(req, d, d)
