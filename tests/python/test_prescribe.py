import collections.abc
import threading

import pytest
from hypothesis import given, settings, strategies as st

import kernel_reference as ref
from morvatel import _core as core
from kernel_samples import model, request, snapshot

ALL = core.ALL_PROVIDERS
U64 = 2**64 - 1

# Values that straddle every 64-bit boundary of the arithmetic.
u64 = st.one_of(st.integers(0, 2000), st.integers(0, U64),
                st.integers(0, 64).map(lambda b: min(2**b, U64)),
                st.integers(U64 - 3, U64))
u32 = st.one_of(st.integers(0, 100), st.integers(0, 2**32 - 1), st.just(2**32 - 1))
bps = st.integers(0, 10000)

models_st = st.lists(
    st.builds(lambda q, r, e, lat, cap, reg, prov, ic, oc: dict(
        quality_bps=q, risk_ceiling_bps=r, enabled=e, p95_latency_ms=lat, capabilities=cap,
        region_mask=reg, provider_id=prov, input_cost_microunits_per_million_tokens=ic,
        output_cost_microunits_per_million_tokens=oc),
        bps, bps, st.sampled_from([0, 1, 1, 1]), u32, st.integers(0, 7), st.integers(0, 7),
        st.integers(0, 63), u64, u64),
    min_size=1, max_size=6)


@settings(max_examples=400, deadline=None)
@given(models_st, st.integers(0, 10000), st.integers(0, 10000), st.integers(0, 50000), u64,
       st.integers(-2**63, 2**63 - 1) | st.integers(-5, 10**12), u32, u32, u64, bps, bps, bps,
       u32, st.integers(0, 7), u64, st.integers(0, 7), st.integers(0, 7))
def test_matches_the_reference_model(models, hard, min_conf, mult, lat_pen, value, itok, otok,
                                     budget, risk, conf, minq, maxlat, caps, providers, regions,
                                     requested):
    catalogue = [model(i + 1, **m) for i, m in enumerate(models)]
    catalogue[0].enabled = 1
    s = snapshot(catalogue, hard_risk_limit_bps=hard, minimum_confidence_bps=min_conf,
                 risk_penalty_multiplier_bps=mult, latency_penalty_microunits_per_ms=lat_pen)
    inp = request(requested_model_id=requested, input_tokens=itok, output_tokens=otok,
                  business_value_microunits=value, budget_limit_microunits=budget, risk_bps=risk,
                  confidence_bps=conf, minimum_quality_bps=minq, max_p95_latency_ms=maxlat,
                  required_capabilities=caps,
                  allowed_provider_mask=providers if providers % 3 else ALL,
                  required_region_mask=regions)
    decision, trace = s.prescribe_with_trace(inp)
    want_decision, want_trace = ref.prescribe(s, inp)
    got = decision.as_dict()
    del got["action_code"], got["reason_code"]
    assert got == want_decision
    assert trace == dict(want_trace, evaluated_models=decision.evaluated_models,
                         eligible_models=decision.eligible_models)
    assert decision == s.prescribe(inp) == s.prescribe_batch([inp])[0]


def test_hard_limits_at_equality():
    s = snapshot([model(1)], hard_risk_limit_bps=500, minimum_confidence_bps=5000)
    assert s.prescribe(request(risk_bps=499, confidence_bps=5000)).is_executable()
    assert s.prescribe(request(confidence_bps=4999)).reason == "confidence_hard_limit"
    d, trace = s.prescribe_with_trace(request(risk_bps=500, confidence_bps=0))
    assert d.reason == "risk_hard_limit" and set(trace.values()) == {0}
    assert (d.selected_model_index, d.evaluated_models, d.policy_epoch) == (65535, 0, 3)
    assert snapshot([model(1)], hard_risk_limit_bps=0).prescribe(
        request(risk_bps=0)).reason == "risk_hard_limit"


@pytest.mark.parametrize("reason, model_kw, request_kw", [
    ("quality_constraint", dict(quality_bps=10), dict(minimum_quality_bps=11)),
    ("latency_constraint", dict(p95_latency_ms=11), dict(max_p95_latency_ms=10)),
    ("capability_constraint", dict(capabilities=1), dict(required_capabilities=2)),
    ("provider_constraint", dict(provider_id=5), dict(allowed_provider_mask=0)),
    ("region_constraint", dict(region_mask=1), dict(required_region_mask=2)),
    ("budget_constraint", {}, dict(budget_limit_microunits=1)),
    ("non_positive_utility", {}, dict(business_value_microunits=-1)),
    ("risk_ceiling_constraint", dict(risk_ceiling_bps=10), dict(risk_bps=11)),
    ("risk_hard_limit", {}, dict(risk_bps=9000)),
    ("confidence_hard_limit", {}, dict(confidence_bps=999)),
    ("requested_model_maximizes_utility", {}, dict(requested_model_id=1)),
    ("alternative_maximizes_utility", {}, dict(requested_model_id=99)),
    # One model disabled and one refused on quality: the tie goes to the disabled gate.
    ("no_enabled_model", dict(enabled=0), dict(minimum_quality_bps=1)),
])
def test_every_reason_is_reachable(reason, model_kw, request_kw):
    extra = [model(2, quality_bps=0)] if model_kw.get("enabled") == 0 else []
    d = snapshot([model(1, **model_kw)] + extra).prescribe(request(**request_kw))
    assert (d.reason, d.reason_code) == (reason, getattr(core, "REASON_" + reason.upper()))


FREE = dict(p95_latency_ms=0, input_cost_microunits_per_million_tokens=0,
            output_cost_microunits_per_million_tokens=0)


@pytest.mark.parametrize("a, b, value, winner", [
    # equal utility (lower latency paid for by a higher price): the cheaper wins
    (dict(FREE, input_cost_microunits_per_million_tokens=1000), dict(FREE, p95_latency_ms=1),
     10**8, 2),
    # equal utility and cost (both qualities floor to the same value): higher quality wins
    (dict(FREE, quality_bps=9000), dict(FREE, quality_bps=9001), 2, 2),
    (FREE, FREE, 10**8, 1),  # everything equal: the lower id wins
])
def test_ties(a, b, value, winner):
    s = snapshot([model(1, **a), model(2, **b)], risk_penalty_multiplier_bps=0)
    d = s.prescribe(request(business_value_microunits=value, confidence_bps=10000))
    assert (d.selected_model_id, d.counterfactual_model_id) == (winner, 3 - winner)
    assert d.expected_utility_microunits == d.counterfactual_utility_microunits > 0


S = snapshot([model(1), model(2, quality_bps=9500)])


def test_validation_and_argument_errors():
    bad = request()
    bad.risk_bps = 10001
    bad.confidence_bps = 20000
    for call in (S.prescribe, S.prescribe_with_trace, lambda i: S.prescribe_batch([request(), i])):
        with pytest.raises(ValueError, match=r"^risk_bps must be <= 10000, got 10001$"):
            call(bad)
    # A wrong element is reported before any element's values are checked.
    with pytest.raises(TypeError) as e:
        S.prescribe_batch([request(), bad, "x"])
    assert e.value.__notes__ == ["while processing 'inputs'"]
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        S.prescribe_batch("abc")
    for call in (lambda: S.prescribe_batch(5), lambda: S.prescribe(model(1)),
                 lambda: S.prescribe(request(), request()), lambda: S.prescribe(inp=request())):
        with pytest.raises(TypeError):
            call()


def test_keywords_and_sequences():
    inputs = tuple(request(request_sequence=i, requested_model_id=i % 3) for i in range(5))
    got = S.prescribe_batch(inputs=inputs)
    assert got == [S.prescribe(input=i) for i in inputs]
    assert [d.request_sequence for d in got] == list(range(5))
    assert S.prescribe_batch(()) == []


def test_a_sequence_that_prescribes_while_being_read():
    # Reading this sequence runs another batch on the same thread; the
    # outer batch must not lose its own requests to the inner one.
    inner = [request(request_sequence=100 + i) for i in range(3)]

    class Reentrant(collections.abc.Sequence):
        def __len__(self):
            return 4

        def __getitem__(self, i):
            if i >= 4:
                raise IndexError(i)
            assert [d.request_sequence for d in S.prescribe_batch(inner)] == [100, 101, 102]
            return request(request_sequence=i)

    assert [d.request_sequence for d in S.prescribe_batch(Reentrant())] == [0, 1, 2, 3]


@pytest.mark.parametrize("claimed", [0, 2**31, 2**40, 2**62])
def test_a_sequence_length_is_a_hint_not_a_promise(claimed):
    # Only iteration decides what a sequence holds; a __len__ that claims
    # far more must neither fail the call nor reserve that much.
    class Claims(collections.abc.Sequence):
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return claimed

        def __getitem__(self, i):
            return self.items[i]

    inputs = [request(request_sequence=7), request(request_sequence=8)]
    assert S.prescribe_batch(Claims(inputs)) == [S.prescribe(i) for i in inputs]
    built = core.PolicySnapshot(3, 4, 9000, 1000, 10000, 1, Claims([model(2), model(1)]))
    assert built.fingerprint() == snapshot([model(1), model(2)]).fingerprint()


def test_trace_keys_in_order():
    s = snapshot([model(1), model(2, enabled=0), model(3, quality_bps=1), model(4, provider_id=9)])
    _, trace = s.prescribe_with_trace(request(minimum_quality_bps=10, allowed_provider_mask=0b10))
    assert list(trace.items()) == [
        ("disabled", 1), ("quality", 1), ("risk_ceiling", 0), ("latency", 0), ("capability", 0),
        ("provider", 1), ("region", 0), ("budget", 0), ("utility", 0), ("evaluated_models", 4),
        ("eligible_models", 1)]


def test_threads_share_one_snapshot():
    s = snapshot([model(i + 1, quality_bps=5000 + 17 * i, p95_latency_ms=i,
                        input_cost_microunits_per_million_tokens=100 * i) for i in range(64)])
    inputs = [request(request_sequence=i, minimum_quality_bps=(i * 37) % 6200,
                      requested_model_id=i % 70, max_p95_latency_ms=i % 50) for i in range(3000)]
    expected = [s.prescribe(i) for i in inputs]
    results = {}

    def worker(k):
        results[k] = [s.prescribe_batch(inputs) for _ in range(3)]

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    single = [s.prescribe(i) for i in inputs]  # the main thread keeps using it meanwhile
    for t in threads:
        t.join()
    assert single == expected
    assert all(got == expected for runs in results.values() for got in runs)
