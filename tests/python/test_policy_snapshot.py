import hashlib
import struct

import pytest

from morvatel import _core as core
from morvatel._core import KernelInput, PolicySnapshot
from kernel_samples import model, snapshot

ALL = core.ALL_PROVIDERS


def test_fingerprint_is_the_policy_digest_whatever_the_model_order():
    models = [model(i, p95_latency_ms=i * 1000, capabilities=2**64 - i, region_mask=7 * i,
                    output_cost_microunits_per_million_tokens=i) for i in (5, 3, 9, 1)]
    s = snapshot(models, latency_penalty_microunits_per_ms=2**64 - 1)
    msg = b"morvpol1\x00" + struct.pack(
        "<QQHHHQ", s.policy_epoch, s.catalog_epoch, s.hard_risk_limit_bps,
        s.minimum_confidence_bps, s.risk_penalty_multiplier_bps,
        s.latency_penalty_microunits_per_ms)
    for m in sorted(models, key=lambda m: m.model_id):
        msg += struct.pack("<IHHHBIQQQQ", m.model_id, m.provider_id, m.quality_bps,
                           m.risk_ceiling_bps, m.enabled, m.p95_latency_ms, m.capabilities,
                           m.region_mask, m.input_cost_microunits_per_million_tokens,
                           m.output_cost_microunits_per_million_tokens)
    assert len(msg) == 39 + 47 * 4
    assert s.fingerprint() == hashlib.sha256(msg).hexdigest()
    assert [m.model_id for m in s.models()] == [1, 3, 5, 9]


def test_snapshot_copies_models_in_and_out():
    m = model(1)
    s = snapshot([m])
    before = s.fingerprint()
    m.quality_bps = 1
    assert s.fingerprint() == before
    s.models()[0].quality_bps = 2
    assert s.models()[0].quality_bps == 9000


def test_as_dict_repr_and_properties():
    s = snapshot([model(2), model(1)], policy_epoch=7, catalog_epoch=9,
                 latency_penalty_microunits_per_ms=3)
    assert list(s.as_dict().items()) == [
        ("policy_epoch", 7), ("catalog_epoch", 9), ("hard_risk_limit_bps", 9000),
        ("minimum_confidence_bps", 1000), ("risk_penalty_multiplier_bps", 10000),
        ("latency_penalty_microunits_per_ms", 3), ("model_count", 2),
        ("fingerprint", s.fingerprint())]
    assert repr(s) == "PolicySnapshot(policy_epoch=7, catalog_epoch=9, models=2)"
    assert s.model_count() == 2
    for attempt in (lambda: setattr(s, "policy_epoch", 1), lambda: setattr(s, "other", 1)):
        with pytest.raises(AttributeError):
            attempt()
    with pytest.raises(TypeError):
        type("Sub", (PolicySnapshot,), {})


def test_method_table_order():
    names = [n for n in PolicySnapshot.__dict__ if not n.startswith("__")]
    methods = [n for n in names if callable(getattr(PolicySnapshot, n))]
    published = ["model_count", "models", "fingerprint", "as_dict", "prescribe",
                 "prescribe_with_trace", "explain", "what_would_win", "decision_margin",
                 "utility_for_model", "counterfactual_utility", "proof_envelope",
                 "prescribe_batch", "verify", "verify_status", "audit_bundle",
                 "verified_audit_bundle", "sign_policy", "issue_receipt",
                 "stateful_audit_bundle"]
    assert methods == [n for n in published if n in methods]


@pytest.mark.parametrize("models, kw, message", [
    # The catalogue size is checked before anything else.
    ([model(0)] * 65536, dict(hard_risk_limit_bps=10001),
     "model catalog has 65536 entries; maximum is 65535"),
    # The reserved-id scan covers the whole list before any flag.
    ([model(1, enabled=2), model(0)], {},
     "model_id 0 is reserved for decisions with no selected model"),
    ([model(1, enabled=2), model(2, enabled=3)], {},
     "model_id 1 has non-canonical enabled flag 2; expected 0 or 1"),
    ([], dict(hard_risk_limit_bps=10001),
     "policy validation failed: hard_risk_limit_bps must be <= 10000, got 10001"),
    ([], dict(minimum_confidence_bps=10001),
     "policy validation failed: minimum_confidence_bps must be <= 10000, got 10001"),
    ([model(1)], dict(risk_penalty_multiplier_bps=50001),
     "policy validation failed: risk_penalty_multiplier_bps must be <= 50000, got 50001"),
    ([], {}, "policy validation failed: model catalog is empty"),
    ([model(4), model(4)], {}, "policy validation failed: duplicate model_id 4"),
    # Sorted order decides: model 4's provider error comes before the duplicate.
    ([model(4, provider_id=64), model(4)], {},
     "policy validation failed: model_id 4 has provider_id 64 > MAX_PROVIDER_ID"),
    ([model(2), model(1, quality_bps=10001)], {},
     "policy validation failed: model.quality_bps must be <= 10000, got 10001"),
    ([model(1, risk_ceiling_bps=10001)], {},
     "policy validation failed: model.risk_ceiling_bps must be <= 10000, got 10001"),
    ([model(1, enabled=0), model(2, enabled=0)], {},
     "policy validation failed: no enabled models in catalog"),
])
def test_construction_refusals_in_order(models, kw, message):
    with pytest.raises(ValueError) as e:
        snapshot(models, **kw)
    assert str(e.value) == message


def test_bounds_are_inclusive_and_large_catalogues_accepted():
    s = snapshot([model(i + 1) for i in range(65535)], hard_risk_limit_bps=10000,
                 minimum_confidence_bps=10000, risk_penalty_multiplier_bps=50000)
    assert s.model_count() == 65535
    snapshot([model(1, provider_id=63, quality_bps=10000, risk_ceiling_bps=10000)])


@pytest.mark.parametrize("models, text", [
    ("abc", "Can't extract `str` to `Vec`"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    ([None], None),
    ([model(1), KernelInput(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, ALL, 0)], None),
])
def test_models_argument_must_be_a_sequence_of_models(models, text):
    with pytest.raises(TypeError) as e:
        snapshot(models)
    if text:
        assert str(e.value) == text
    assert e.value.__notes__ == ["while processing 'models'"]


@pytest.mark.parametrize("position, value, exc", [
    (0, -1, OverflowError), (1, "x", TypeError), (2, 65536, OverflowError),
    (5, 2**64, OverflowError),
])
def test_parameters_convert_in_order(position, value, exc):
    args = [1, 2, 3, 4, 5, 6, [model(1)]]
    args[position] = value
    args[6] = "abc"  # a later argument fails too, but conversion stops first
    with pytest.raises(exc) as e:
        PolicySnapshot(*args)
    names = ["policy_epoch", "catalog_epoch", "hard_risk_limit_bps", "minimum_confidence_bps",
             "risk_penalty_multiplier_bps", "latency_penalty_microunits_per_ms", "models"]
    assert e.value.__notes__ == [f"while processing '{names[position]}'"]
