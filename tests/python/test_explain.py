import pytest
from hypothesis import given, settings, strategies as st

import kernel_reference as ref
from morvatel import _core as core
from morvatel._core import CandidateExplanation
from kernel_samples import model, request, snapshot

ALL = core.ALL_PROVIDERS
U64 = 2**64 - 1
u64 = st.one_of(st.integers(0, 5000), st.integers(0, U64), st.integers(U64 - 2, U64))
bps = st.integers(0, 10000)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(bps, bps, st.sampled_from([0, 1, 1]), st.integers(0, 400),
                          st.integers(0, 3), st.integers(0, 3), st.integers(0, 63),
                          st.integers(0, 3000), u64),
                min_size=1, max_size=8),
       bps, bps, st.integers(0, 50000), st.integers(0, 2**40) | u64,
       st.integers(-10, 10**13), u64, bps, bps, bps, st.integers(0, 300),
       st.integers(0, 3), st.integers(0, 3), st.integers(0, 3))
def test_explain_matches_the_reference(rows, hard, min_conf, mult, lat_pen, value, budget,
                                        risk, conf, minq, maxlat, caps, regions, providers):
    models = [model(i + 1, quality_bps=q, risk_ceiling_bps=r, enabled=e, p95_latency_ms=lat,
                    capabilities=cap, region_mask=reg, provider_id=prov,
                    input_cost_microunits_per_million_tokens=ic,
                    output_cost_microunits_per_million_tokens=oc)
              for i, (q, r, e, lat, cap, reg, prov, ic, oc) in enumerate(rows)]
    models[0].enabled = 1
    s = snapshot(models, hard_risk_limit_bps=hard, minimum_confidence_bps=min_conf,
                 risk_penalty_multiplier_bps=mult, latency_penalty_microunits_per_ms=lat_pen)
    inp = request(business_value_microunits=value, budget_limit_microunits=budget, risk_bps=risk,
                  confidence_bps=conf, minimum_quality_bps=minq, max_p95_latency_ms=maxlat,
                  required_capabilities=caps, required_region_mask=regions,
                  allowed_provider_mask=ALL if providers == 0 else providers)
    decision = s.prescribe(inp)
    verdicts = s.explain(inp)
    assert [(v.status, v.gate, v.measured, v.limit, v.cost_microunits, v.quality_adjusted,
             v.risk_penalty, v.latency_penalty, v.utility) for v in verdicts] == \
        ref.explain(s, inp)
    utilities = [s.utility_for_model(inp, m.model_id) for m in s.models()]
    if decision.reason in ("risk_hard_limit", "confidence_hard_limit"):
        assert verdicts == [] and set(utilities) == {None}
        return
    assert [(v.model_index, v.model_id) for v in verdicts] == \
        [(i, m.model_id) for i, m in enumerate(s.models())]
    # utility_for_model is the explanation's utility for eligible models, None otherwise.
    assert utilities == [v.utility if v.status == "eligible" else None for v in verdicts]


def test_reprs_and_read_only_shape():
    s = snapshot([model(1), model(2, enabled=0), model(3, provider_id=7),
                  model(4, risk_ceiling_bps=50),
                  model(5, input_cost_microunits_per_million_tokens=10**12),
                  model(6, quality_bps=1)])
    v = s.explain(input=request(allowed_provider_mask=0b11, risk_bps=100))
    assert [repr(x) for x in v] == [
        f"CandidateExplanation(model_id=1, eligible, utility={v[0].utility})",
        "CandidateExplanation(model_id=2, rejected on Disabled, measured=Some(0), limit=Some(1))",
        "CandidateExplanation(model_id=3, rejected on ProviderNotAllowed, measured=Some(7), "
        "limit=Some(3))",
        "CandidateExplanation(model_id=4, rejected on RiskCeiling, measured=Some(100), "
        "limit=Some(50))",
        "CandidateExplanation(model_id=5, over_budget)",
        f"CandidateExplanation(model_id=6, non_positive_utility, utility={v[5].utility})"]
    assert (v[3].gate, v[3].measured, v[3].limit) == ("RiskCeiling", 100, 50)
    with pytest.raises(TypeError):
        CandidateExplanation()
    with pytest.raises(AttributeError):
        v[0].status = "x"


def test_wide_breakdown_values_reach_python_exactly():
    s = snapshot([model(1, p95_latency_ms=2**32 - 1, risk_ceiling_bps=10000),
                  model(2, risk_ceiling_bps=10000)],
                 latency_penalty_microunits_per_ms=U64, risk_penalty_multiplier_bps=50000)
    inp = request(business_value_microunits=2**63 - 1, risk_bps=8999, confidence_bps=10000)
    slow, other = s.explain(inp)
    assert (slow.latency_penalty, slow.risk_penalty, slow.quality_adjusted, slow.utility,
            other.latency_penalty, other.utility) == (
        (2**32 - 1) * U64, (2**63 - 1) * 8999 * 50000 // 10**8,
        (2**63 - 1) * 10000 * 9000 // 10**8, -2**63, U64 * 100, -2**63)


def test_probe_arguments_convert_in_order():
    s = snapshot([model(1)])
    bad = request()
    bad.risk_bps = 10001
    for method in (s.what_would_win, s.utility_for_model, s.counterfactual_utility):
        with pytest.raises(TypeError) as e:
            method(model(1), 2**40)
        assert e.value.__notes__ == ["while processing 'input'"]
        with pytest.raises(OverflowError) as e:
            method(bad, 2**32)
        assert e.value.__notes__ == ["while processing 'model_id'"]
        with pytest.raises(ValueError, match="risk_bps must be <= 10000, got 10001"):
            method(bad, 1)
    for method in (s.explain, s.decision_margin):
        with pytest.raises(ValueError):
            method(bad)
