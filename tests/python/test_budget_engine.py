"""BudgetEngine from Python: the class, argument handling, and the ledger
boundaries the random model comparison rarely lands on exactly. Every test
that moves money uses the `engine` fixture, which checks afterwards that no
money was created or lost. The ledger methods hold the GIL throughout, so
concurrency is tested from C++."""

import pytest

from morvatel._core import BudgetEngine

I64_MAX = 2**63 - 1


@pytest.fixture
def engine():
    e = BudgetEngine()
    yield e
    assert e.verify_conservation() == {"status": "balanced"}
    for row in e.snapshot()["tenants"]:
        _, initial, remaining, reserved, committed = row.values()
        assert remaining + reserved + committed == initial, row
        assert remaining >= 0 and reserved >= 0


def items(d):
    return list(d.items())


def test_class_shape():
    assert BudgetEngine.__module__ == "morvatel._core"
    with pytest.raises(TypeError):
        type("Sub", (BudgetEngine,), {})
    with pytest.raises(TypeError):
        BudgetEngine(1)


PARAMETERS = {
    "ensure_tenant": ("tenant_id", "budget_microcents"),
    "set_max_reserved_microcents": ("tenant_id", "max_microcents"),
    "top_up_tenant": ("tenant_id", "amount_microcents"),
    "try_reserve": ("tenant_id", "amount_microcents"),
    "commit": ("reservation_id", "actual_microcents"),
    "release": ("reservation_id",),
    **dict.fromkeys(["initial_microcents", "remaining_microcents", "reserved_microcents",
                     "committed_microcents"], ("tenant_id",)),
    **dict.fromkeys(["tenant_count", "active_reservations", "snapshot", "verify_conservation",
                     "prove_conservation", "certify"], ()),
}


@pytest.mark.parametrize("method, params", PARAMETERS.items())
def test_signatures_match_the_names_the_method_binds(engine, method, params):
    # The text signature and the names bound to keywords are written apart;
    # each must give the same parameters.
    fn = getattr(engine, method)
    assert fn.__text_signature__ == "".join(["($self", *(f", {p}" for p in params), ")"])
    assert fn.__doc__ is None
    kwargs = {p: "a" if p == "tenant_id" else 1 for p in params}
    fn(**kwargs)
    with pytest.raises(TypeError):
        fn(*kwargs.values(), 1)
    for missing in params:
        with pytest.raises(TypeError, match=f"missing required argument '{missing}'"):
            fn(**{p: v for p, v in kwargs.items() if p != missing})


@pytest.mark.parametrize("method, args, exc, note", [
    ("ensure_tenant", (1, "x"), TypeError, "tenant_id"),  # first parameter first
    ("ensure_tenant", ("a", 1.5), TypeError, "budget_microcents"),
    ("ensure_tenant", ("a", 2**63), OverflowError, "budget_microcents"),
    ("set_max_reserved_microcents", ("a", -(2**63) - 1), OverflowError, "max_microcents"),
    ("commit", (-1, 5), OverflowError, "reservation_id"),
    ("commit", (2**64, 5), OverflowError, "reservation_id"),
    ("remaining_microcents", ("\ud800",), UnicodeEncodeError, "tenant_id"),
    # A value the method refuses is no failed conversion: no note.
    ("ensure_tenant", ("a", -1), ValueError, None),
])
def test_argument_errors_name_the_argument(engine, method, args, exc, note):
    with pytest.raises(exc) as info:
        getattr(engine, method)(*args)
    assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])
    assert engine.tenant_count() == 0 and engine.active_reservations() == 0


def test_reserved_overflow_leaves_nothing_behind(engine):
    engine.ensure_tenant("a", I64_MAX)
    engine.try_reserve("a", 2**62)
    assert items(engine.try_reserve("a", 2**62)) == [
        ("reservation_id", None), ("status", "overflow"), ("current_reserved_microcents", 2**62)]
    assert engine.remaining_microcents("a") == I64_MAX - 2**62


@pytest.mark.parametrize("remaining, actual, expected", [
    (20, 70, [("status", "committed"), ("remaining_microcents", 0), ("actual_microcents", 70)]),
    (19, 70, [("status", "overrun"), ("remaining_microcents", 19)]),
    (20, 0, [("status", "committed"), ("remaining_microcents", 70), ("actual_microcents", 0)]),
    (20, -1, [("status", "invalid_amount")]),
])
def test_commit_against_a_reservation_of_50(engine, remaining, actual, expected):
    engine.ensure_tenant("a", 50 + remaining)
    rid = engine.try_reserve("a", 50)["reservation_id"]
    assert items(engine.commit(rid, actual)) == expected
    if expected[0][1] != "committed":
        # The reservation stays open and can still be settled.
        assert engine.active_reservations() == 1
        assert items(engine.release(rid)) == [
            ("status", "released"), ("remaining_microcents", 50 + remaining), ("returned_microcents", 50)]


def test_totals_beyond_64_bits(engine):
    # Only the initial total overflows; the committed one still fits.
    engine.ensure_tenant("a", 2**62)
    engine.ensure_tenant("b", 2**62)
    engine.commit(engine.try_reserve("a", 10)["reservation_id"], 10)
    assert engine.verify_conservation() == {"status": "balanced"}
    with pytest.raises(ValueError) as info:
        engine.prove_conservation()
    assert str(info.value) == (
        "aggregate ledger totals exceed i64::MAX \u2014 certificate totals cannot be represented")
    cert = engine.certify()
    assert (cert["conservation_balanced"], cert["total_initial_microcents"],
            cert["total_committed_microcents"], cert["aggregate_totals_representable"],
            cert["committed_since_last_certificate"]) == (False, 0, 0, False, 0)
