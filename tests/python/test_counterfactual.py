import pytest
from hypothesis import given, settings, strategies as st

import kernel_reference as ref
from kernel_samples import model, request, snapshot


def ordered(value):
    """Dicts as lists of pairs, so key order takes part in comparisons."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return value


def check_probes(s, inp, ids):
    for model_id in ids:
        assert ordered(s.what_would_win(inp, model_id)) == \
            ordered(ref.what_would_win(s, inp, model_id))
        assert s.utility_for_model(inp, model_id) == s.counterfactual_utility(inp, model_id)
    assert ordered(s.decision_margin(inp)) == ordered(ref.decision_margin(s, inp))
    assert s.utility_for_model(inp, 99) is s.counterfactual_utility(inp, 99) is None


@pytest.mark.parametrize("models, policy, req", [
    # the winner, a loser, an absent id; and both hard limits blocking
    ([model(1), model(2, quality_bps=5000)], {}, {}),
    ([model(1), model(2, quality_bps=5000)], {}, dict(risk_bps=9000)),
    ([model(1), model(2, quality_bps=5000)], {}, dict(confidence_bps=0)),
    # disabled: needs only enabling, or nothing it can get
    ([model(1, quality_bps=5000), model(2, enabled=0)], {}, {}),
    ([model(1), model(2, enabled=0, quality_bps=1)], {}, {}),
    # loses only on price, only on its risk ceiling
    ([model(1), model(2, input_cost_microunits_per_million_tokens=900_000,
                        output_cost_microunits_per_million_tokens=900_000)], {}, {}),
    ([model(1, quality_bps=5000), model(2, risk_ceiling_bps=50)], {}, dict(risk_bps=777)),
    # latency never matters; no model passes
    ([model(1), model(2, quality_bps=5000)], dict(latency_penalty_microunits_per_ms=0), {}),
    ([model(1), model(2, quality_bps=5000)], {}, dict(minimum_quality_bps=9999)),
    # At 4294967295 ms the penalty is about 2^65: a probe copy must prove its
    # 64-bit arithmetic from its own maxima, not the original catalogue's.
    ([model(1, p95_latency_ms=1), model(2, p95_latency_ms=1, quality_bps=8000)],
     dict(latency_penalty_microunits_per_ms=2**33), dict(business_value_microunits=10**15)),
])
def test_probes_of_chosen_catalogues(models, policy, req):
    check_probes(snapshot(models, **policy), request(**req), [1, 2, 99])


U64 = 2**64 - 1


# Mostly values at which models get selected, so that probes have work to
# do, with wide ones mixed in for the saturating scales and 1000-fold prices.
price = st.integers(0, 3000) | st.integers(0, 10**6) | st.integers(0, U64) | \
    st.integers(U64 // 1000 - 2, U64)
latency = st.integers(0, 3000) | st.integers(0, 2**32 - 1)
bps_high = st.integers(4000, 10000) | st.integers(0, 10000)
bps_low = st.integers(0, 4000) | st.integers(0, 10000)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(bps_high, bps_high, st.sampled_from([0, 1, 1]), latency, price, price),
                min_size=1, max_size=4),
       bps_low | st.integers(0, 9999), st.integers(1000, 10000), bps_low,
       st.integers(0, 50000), st.integers(0, 300) | st.integers(0, U64),
       st.integers(10**6, 10**12) | st.integers(-5, 2**63 - 1),
       st.just(U64) | st.integers(0, 10**9) | st.integers(0, U64),
       st.just(0) | st.integers(0, 3000), st.integers(0, 5))
def test_probes_follow_the_published_searches(rows, risk, conf, minq, mult, lat_pen, value,
                                              budget, maxlat, requested):
    models = [model(i + 1, quality_bps=q, risk_ceiling_bps=r, enabled=e, p95_latency_ms=lat,
                    input_cost_microunits_per_million_tokens=ic,
                    output_cost_microunits_per_million_tokens=oc)
              for i, (q, r, e, lat, ic, oc) in enumerate(rows)]
    models[0].enabled = 1
    s = snapshot(models, hard_risk_limit_bps=9000, risk_penalty_multiplier_bps=mult,
                 latency_penalty_microunits_per_ms=lat_pen)
    inp = request(risk_bps=risk, confidence_bps=conf, minimum_quality_bps=minq,
                  business_value_microunits=value, budget_limit_microunits=budget,
                  max_p95_latency_ms=maxlat, requested_model_id=requested)
    check_probes(s, inp, [m.model_id for m in s.models()] + [len(rows) + 1])
