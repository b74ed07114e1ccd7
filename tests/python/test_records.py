import copy

import pytest

from morvatel._core import KernelInput, KernelModel
from kernel_samples import model, request, snapshot

INPUT_FIELDS = [
    ("request_sequence", 64, False), ("requested_model_id", 32, False),
    ("input_tokens", 32, False), ("output_tokens", 32, False),
    ("business_value_microunits", 64, True), ("budget_limit_microunits", 64, False),
    ("risk_bps", 16, False), ("confidence_bps", 16, False), ("minimum_quality_bps", 16, False),
    ("max_p95_latency_ms", 32, False), ("required_capabilities", 64, False),
    ("allowed_provider_mask", 64, False), ("required_region_mask", 64, False),
]
MODEL_FIELDS = [
    ("model_id", 32, False), ("provider_id", 16, False), ("quality_bps", 16, False),
    ("risk_ceiling_bps", 16, False), ("enabled", 8, False), ("p95_latency_ms", 32, False),
    ("capabilities", 64, False), ("region_mask", 64, False),
    ("input_cost_microunits_per_million_tokens", 64, False),
    ("output_cost_microunits_per_million_tokens", 64, False),
]
RECORDS = [(KernelInput, INPUT_FIELDS), (KernelModel, MODEL_FIELDS)]
BOUNDED_BPS = ("risk_bps", "confidence_bps", "minimum_quality_bps")


def sevens(fields):
    return {name: 7 for name, _, _ in fields}


def raises_with_note(exc, name, call):
    with pytest.raises(exc) as err:
        call()
    assert err.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["input", "model"])
def test_signature_dict_order_and_keywords(cls, fields):
    values = {n: i + 1 for i, (n, _, _) in enumerate(fields)}
    assert cls(**values) == cls(*values.values())
    assert list(cls(**values).as_dict().items()) == list(values.items())


@pytest.mark.parametrize("cls, fields, name, bits, signed", [
    pytest.param(cls, fields, *f, id=f"{cls.__name__}.{f[0]}") for cls, fields in RECORDS for f in fields])
def test_each_field_converts_to_its_width(cls, fields, name, bits, signed):
    lo, hi = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    values = sevens(fields)
    # The constructor applies the request bounds to the basis points.
    for ok in (lo, 10_000 if cls is KernelInput and name in BOUNDED_BPS else hi):
        assert type(getattr(cls(**{**values, name: ok}), name)) is int
        assert getattr(cls(**{**values, name: ok}), name) == ok
    obj = cls(**values)
    for bad in (lo - 1, hi + 1):
        raises_with_note(OverflowError, name, lambda: cls(**{**values, name: bad}))
        raises_with_note(OverflowError, name, lambda: setattr(obj, name, bad))
        assert getattr(obj, name) == 7  # a failed set keeps the old value
    for bad in ("1", 1.0, None):
        raises_with_note(TypeError, name, lambda: cls(**{**values, name: bad}))
    setattr(obj, name, True)  # a bool is an integer
    assert getattr(obj, name) == 1
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(obj, name)


def test_request_bounds_apply_in_the_constructor_only_after_conversion():
    # Conversion stops at the first bad argument, before any bound is judged.
    raises_with_note(TypeError, "input_tokens", lambda: KernelInput(
        **{**sevens(INPUT_FIELDS), "input_tokens": "x", "output_tokens": -1, "risk_bps": 10001}))
    with pytest.raises(ValueError) as err:
        KernelInput(**{**sevens(INPUT_FIELDS), "risk_bps": 10001, "confidence_bps": 20000})
    assert err.value.args == ("risk_bps must be <= 10000, got 10001",)
    # Setters and models apply no policy checks.
    obj = KernelInput(**sevens(INPUT_FIELDS))
    obj.risk_bps = 20000
    assert obj.risk_bps == 20000
    m = KernelModel(0, 64, 20000, 20000, 2, 0, 0, 0, 0, 0)
    assert (m.model_id, m.provider_id, m.quality_bps, m.enabled) == (0, 64, 20000, 2)


@pytest.mark.parametrize("call", [
    lambda: KernelInput(*range(12)),
    lambda: KernelInput(*range(14)),
    lambda: KernelInput(*range(13), risk_bps=1),
    lambda: KernelInput(*range(12), note=1),
    lambda: KernelModel(),
], ids=["missing", "surplus", "duplicate", "unexpected", "none"])
def test_binding_mistakes_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def decisions():
    """One decision of each action, from a one-model catalogue."""
    s = snapshot([model(1)])
    return {
        "execute_requested": s.prescribe(request(request_sequence=5, requested_model_id=1)),
        "substitute": s.prescribe(request(request_sequence=6, requested_model_id=9)),
        "reject": s.prescribe(request(request_sequence=7, risk_bps=9500)),
    }


def with_first(cls, fields, value):
    return cls(**{**sevens(fields), fields[0][0]: value})


@pytest.mark.parametrize("make, other", [
    (lambda: with_first(KernelInput, INPUT_FIELDS, 7), lambda: with_first(KernelInput, INPUT_FIELDS, 8)),
    (lambda: with_first(KernelModel, MODEL_FIELDS, 7), lambda: with_first(KernelModel, MODEL_FIELDS, 8)),
    (lambda: decisions()["reject"], lambda: decisions()["substitute"]),
], ids=["input", "model", "decision"])
def test_equality_semantics(make, other):
    a, b = make(), make()
    assert a == b and not (a != b)
    assert a != other() and not (a == other())
    assert a != 5 and not (a == 5) and a != a.as_dict()
    assert a.__lt__(b) is NotImplemented
    for op in (lambda: a < b, lambda: hash(a), lambda: {a}):
        with pytest.raises(TypeError):
            op()
    with pytest.raises(AttributeError):
        a.unknown_attribute = 1


def test_input_and_model_never_compare_equal_and_reprs():
    assert KernelInput(*([0] * 13)) != KernelModel(*([0] * 10))
    assert repr(KernelInput(5, 3, 100, 20, *([0] * 9))) == "KernelInput(seq=5, model=3, tokens=100/20)"
    m = KernelModel(*range(1, 11))
    m.quality_bps = 8000
    assert repr(m) == "KernelModel(model_id=1, provider_id=2, quality_bps=8000, enabled=5)"
    d = m.as_dict()
    d["model_id"] = 99
    assert m.model_id == 1 and m.as_dict() is not m.as_dict()


# --- KernelDecision: made only by the kernel, read-only ---

DECISION_KEYS = [
    "request_sequence", "action", "action_code", "reason", "reason_code", "selected_model_id",
    "selected_model_index", "estimated_cost_microunits", "expected_utility_microunits",
    "counterfactual_model_id", "counterfactual_utility_microunits", "evaluated_models",
    "eligible_models", "policy_epoch", "catalog_epoch",
]


@pytest.mark.parametrize("action, code, predicates", [
    ("execute_requested", 1, (True, False, True, False)),
    ("substitute", 2, (True, False, False, True)),
    ("reject", 3, (False, True, False, False)),
])
def test_decision_dict_repr_and_predicates(action, code, predicates):
    d = decisions()[action]
    data = d.as_dict()
    assert list(data) == DECISION_KEYS
    assert (data["action"], data["action_code"], d.action, d.action_code) == (action, code, action, code)
    assert data == {k: getattr(d, k) for k in DECISION_KEYS}
    assert (d.is_executable(), d.is_rejected(), d.is_requested_execution(), d.is_substitution()) == predicates
    assert repr(d) == (f"KernelDecision(seq={d.request_sequence}, action='{action}', "
                       f"model={d.selected_model_id}, reason='{d.reason}')")
    if action == "reject":
        assert (d.selected_model_id, d.selected_model_index) == (0, 65535)


def test_decision_is_read_only_and_not_constructible():
    d = decisions()["substitute"]
    before = d.as_dict()
    for name in [*DECISION_KEYS, "note"]:
        with pytest.raises(AttributeError):
            setattr(d, name, 1)
        if name != "note":
            with pytest.raises(AttributeError):
                delattr(d, name)
    assert d.as_dict() == before
    cls, model_record = type(d), KernelModel(*range(10))
    for make in (cls, lambda: cls.__new__(cls), lambda: object.__new__(cls), lambda: copy.copy(d),
                 lambda: setattr(model_record, "__class__", cls)):
        with pytest.raises(TypeError):
            make()
