import copy
import inspect

import pytest

from morvatel._core import KernelInput, KernelModel

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


def base_values(fields):
    return {name: 7 for name, _, _ in fields}


def bounds(bits, signed):
    if signed:
        return -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
    return 0, 2**bits - 1


def record_field_cases():
    for cls, fields in RECORDS:
        for name, bits, signed in fields:
            yield pytest.param(cls, fields, name, bits, signed, id=f"{cls.__name__}.{name}")


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["input", "model"])
def test_signature_dict_order_and_keywords(cls, fields):
    names = [n for n, _, _ in fields]
    assert list(inspect.signature(cls).parameters) == names
    values = {n: i + 1 for i, n in enumerate(names)}
    by_keyword = cls(**values)
    by_position = cls(*values.values())
    assert by_keyword == by_position
    assert list(by_keyword.as_dict().items()) == list(values.items())


@pytest.mark.parametrize("cls, fields, name, bits, signed", record_field_cases())
def test_each_field_converts_to_its_width(cls, fields, name, bits, signed):
    lo, hi = bounds(bits, signed)
    values = base_values(fields)
    if name in ("risk_bps", "confidence_bps", "minimum_quality_bps") and cls is KernelInput:
        hi_ok = 10_000  # the constructor applies the request bounds
    else:
        hi_ok = hi
    for ok in (lo, hi_ok):
        obj = cls(**{**values, name: ok})
        assert getattr(obj, name) == ok
        assert type(getattr(obj, name)) is int

    for bad in (lo - 1, hi + 1):
        with pytest.raises(OverflowError) as err:
            cls(**{**values, name: bad})
        assert err.value.__notes__ == [f"while processing '{name}'"]
        obj = cls(**values)
        with pytest.raises(OverflowError) as err:
            setattr(obj, name, bad)
        assert err.value.__notes__ == [f"while processing '{name}'"]
        assert getattr(obj, name) == 7  # a failed set keeps the old value

    for bad in ("1", 1.0, None, b"\x01"):
        with pytest.raises(TypeError) as err:
            cls(**{**values, name: bad})
        assert err.value.__notes__ == [f"while processing '{name}'"]

    obj = cls(**values)
    setattr(obj, name, True)  # a bool is an integer
    assert getattr(obj, name) == 1
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(obj, name)


def test_conversion_stops_at_the_first_bad_argument():
    values = base_values(INPUT_FIELDS)
    values.update(input_tokens="x", output_tokens=-1)
    with pytest.raises(TypeError) as err:
        KernelInput(**values)
    assert err.value.__notes__ == ["while processing 'input_tokens'"]


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"risk_bps": 10001, "confidence_bps": 20000}, "risk_bps must be <= 10000, got 10001"),
        ({"confidence_bps": 10001, "minimum_quality_bps": 10001},
         "confidence_bps must be <= 10000, got 10001"),
        ({"minimum_quality_bps": 65535}, "minimum_quality_bps must be <= 10000, got 65535"),
    ],
)
def test_input_constructor_applies_basis_point_bounds_in_order(overrides, message):
    with pytest.raises(ValueError) as err:
        KernelInput(**{**base_values(INPUT_FIELDS), **overrides})
    assert str(err.value) == message
    assert err.value.args == (message,)


def test_setters_do_not_apply_the_request_bounds():
    obj = KernelInput(**base_values(INPUT_FIELDS))
    obj.risk_bps = 20000
    assert obj.risk_bps == 20000


def test_model_applies_no_policy_checks():
    m = KernelModel(0, 64, 20000, 20000, 2, 0, 0, 0, 0, 0)
    assert (m.model_id, m.provider_id, m.enabled) == (0, 64, 2)


@pytest.mark.parametrize(
    "call",
    [
        lambda: KernelInput(*range(12)),
        lambda: KernelInput(*range(14)),
        lambda: KernelInput(*range(13), risk_bps=1),
        lambda: KernelInput(*range(12), note=1),
        lambda: KernelModel(),
    ],
    ids=["missing", "surplus", "duplicate", "unexpected", "none"],
)
def test_binding_mistakes_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["input", "model"])
def test_equality_semantics(cls, fields):
    a, b = cls(**base_values(fields)), cls(**base_values(fields))
    assert a == b and not (a != b)
    first = fields[0][0]
    setattr(b, first, 8)
    assert a != b and not (a == b)
    assert a != 5 and not (a == 5)
    assert a != a.as_dict()
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        {a}
    with pytest.raises(AttributeError):
        a.unknown_attribute = 1


def test_input_and_model_never_compare_equal():
    assert KernelInput(*([0] * 13)) != KernelModel(*([0] * 10))


def test_reprs():
    i = KernelInput(5, 3, 100, 20, *([0] * 9))
    assert repr(i) == "KernelInput(seq=5, model=3, tokens=100/20)"
    m = KernelModel(9, 2, 8000, 0, 1, 0, 0, 0, 0, 0)
    assert repr(m) == "KernelModel(model_id=9, provider_id=2, quality_bps=8000, enabled=1)"


def test_as_dict_is_a_fresh_copy():
    m = KernelModel(*range(1, 11))
    d = m.as_dict()
    d["model_id"] = 99
    assert m.model_id == 1
    assert m.as_dict() is not m.as_dict()


# --- KernelDecision: made only by the kernel, read-only ---

DECISION_KEYS = [
    "request_sequence", "action", "action_code", "reason", "reason_code", "selected_model_id",
    "selected_model_index", "estimated_cost_microunits", "expected_utility_microunits",
    "counterfactual_model_id", "counterfactual_utility_microunits", "evaluated_models",
    "eligible_models", "policy_epoch", "catalog_epoch",
]


def decisions():
    """One decision of each action, from a one-model catalogue."""
    from kernel_samples import model, request, snapshot

    s = snapshot([model(1)])
    return {
        "execute_requested": s.prescribe(request(request_sequence=5, requested_model_id=1)),
        "substitute": s.prescribe(request(request_sequence=6, requested_model_id=9)),
        "reject": s.prescribe(request(request_sequence=7, risk_bps=9500)),
    }


@pytest.mark.parametrize("action, code, predicates", [
    ("execute_requested", 1, (True, False, True, False)),
    ("substitute", 2, (True, False, False, True)),
    ("reject", 3, (False, True, False, False)),
])
def test_decision_dict_repr_and_predicates(action, code, predicates):
    d = decisions()[action]
    data = d.as_dict()
    assert list(data) == DECISION_KEYS
    assert (data["action"], data["action_code"], d.action, d.action_code) == (
        action, code, action, code)
    assert data == {k: getattr(d, k) for k in DECISION_KEYS}
    assert (d.is_executable(), d.is_rejected(), d.is_requested_execution(),
            d.is_substitution()) == predicates
    assert repr(d) == (f"KernelDecision(seq={d.request_sequence}, action='{action}', "
                       f"model={d.selected_model_id}, reason='{d.reason}')")
    if action == "reject":
        assert (d.selected_model_id, d.selected_model_index) == (0, 65535)


def test_decision_is_read_only_and_not_constructible():
    d = decisions()["substitute"]
    before = d.as_dict()
    for name in DECISION_KEYS:
        with pytest.raises(AttributeError):
            setattr(d, name, 1)
        with pytest.raises(AttributeError):
            delattr(d, name)
    with pytest.raises(AttributeError):
        d.note = 1
    assert d.as_dict() == before
    cls = type(d)
    model = KernelModel(*range(10))
    for make in (lambda: cls(), lambda: cls.__new__(cls), lambda: object.__new__(cls),
                 lambda: copy.copy(d), lambda: setattr(model, "__class__", cls)):
        with pytest.raises(TypeError):
            make()


def test_decision_equality_semantics():
    a, b = decisions()["reject"], decisions()["reject"]
    other = decisions()["substitute"]
    assert a == b and not (a != b)
    assert a != other and a != a.as_dict() and a != 3
    assert a.__lt__(b) is NotImplemented
    with pytest.raises(TypeError):
        hash(a)


@pytest.mark.parametrize("cls", ["KernelInput", "KernelModel", "KernelDecision"])
def test_method_signatures_carry_no_doc(cls):
    from morvatel import _core as core

    names = ["as_dict"]
    if cls == "KernelDecision":
        names += ["is_executable", "is_rejected", "is_requested_execution", "is_substitution"]
    for name in names:
        method = getattr(getattr(core, cls), name)
        assert method.__text_signature__ == "($self)"
        assert method.__doc__ is None
    for name, attr in vars(getattr(core, cls)).items():
        if not name.startswith("_") and name not in names:
            assert attr.__doc__ is None, name
