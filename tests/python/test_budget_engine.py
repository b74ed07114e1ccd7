"""BudgetEngine from Python: argument handling, result shapes, the
documented ledger behaviours, captures and certificates, and concurrent use
from Python threads. Every test that moves money uses the `engine` fixture,
which checks afterwards that no money was created or lost."""

import hashlib
import random
import struct
import sys
import threading

import pytest

from morvatel._core import BudgetEngine

I64_MAX = 2**63 - 1
TAG = 2**63


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


# --- the class and its arguments ---

def test_class_shape():
    assert BudgetEngine.__module__ == "morvatel._core"
    assert BudgetEngine.__text_signature__ == "()"
    with pytest.raises(TypeError):
        type("Sub", (BudgetEngine,), {})
    with pytest.raises(TypeError):
        BudgetEngine(1)
    assert repr(BudgetEngine()) == "BudgetEngine(tenants=0, active_reservations=0)"


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
    value = {"tenant_id": "a"}
    kwargs = {p: value.get(p, 1) for p in params}
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
])
def test_conversion_errors_name_the_argument(engine, method, args, exc, note):
    with pytest.raises(exc) as info:
        getattr(engine, method)(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert engine.tenant_count() == 0 and engine.active_reservations() == 0


@pytest.mark.parametrize("call, text", [
    (lambda e: e.ensure_tenant("a", -1), "budget_microcents must be >= 0, got -1"),
    (lambda e: e.set_max_reserved_microcents("a", -(2**63)),
     "max_reserved_microcents must be >= 0, got -9223372036854775808"),
])
def test_negative_arguments_raise_and_change_nothing(engine, call, text):
    with pytest.raises(ValueError) as info:
        call(engine)
    assert str(info.value) == text
    # An ordinary value refused by the method, not a failed conversion.
    assert getattr(info.value, "__notes__", None) is None
    assert engine.tenant_count() == 0


# --- ledger operations ---

def test_existing_tenant_keeps_its_ledgers(engine):
    engine.ensure_tenant("a", 500)
    assert engine.ensure_tenant("a", 900) is None
    assert engine.initial_microcents("a") == 500
    # Ids are bytes: no normalisation, and the empty id is a tenant.
    engine.ensure_tenant("\u00e9", 1)
    engine.ensure_tenant("e\u0301", 2)
    engine.ensure_tenant(budget_microcents=3, tenant_id="")  # by keyword
    assert engine.tenant_count() == 4
    assert [engine.initial_microcents(t) for t in ("\u00e9", "e\u0301", "")] == [1, 2, 3]


def test_reservation_ids_skip_refused_attempts_and_captures(engine):
    engine.ensure_tenant("a", 100)
    assert engine.try_reserve("a", 60)["reservation_id"] == 1
    assert items(engine.try_reserve("a", 50)) == [
        ("reservation_id", None), ("status", "insufficient"),
        ("remaining_microcents", 40), ("required_microcents", 50)]
    assert engine.try_reserve("a", 40)["reservation_id"] == 3
    # A refusal before the balance check consumes nothing.
    for amount in (0, -1):
        assert items(engine.try_reserve("a", amount)) == [
            ("reservation_id", None), ("status", "insufficient"),
            ("remaining_microcents", 0), ("required_microcents", amount)]
    assert items(engine.try_reserve("zz", 1)) == [("reservation_id", None), ("status", "missing_tenant")]
    engine.snapshot()
    engine.top_up_tenant("a", 10)
    assert engine.try_reserve("a", 10)["reservation_id"] == 5


def test_exposure_limit(engine):
    engine.set_max_reserved_microcents("a", 100)  # before the tenant exists
    engine.ensure_tenant("a", 1000)
    assert engine.try_reserve("a", 60)["status"] == "reserved"
    r40 = engine.try_reserve("a", 40)
    assert r40["status"] == "reserved"
    assert items(engine.try_reserve("a", 1)) == [
        ("reservation_id", None), ("status", "exposure_limit_exceeded"),
        ("current_reserved_microcents", 100), ("max_reserved_microcents", 100)]
    engine.set_max_reserved_microcents("a", 50)  # below what is held
    assert engine.reserved_microcents("a") == 100
    engine.release(r40["reservation_id"])
    assert engine.try_reserve("a", 1)["status"] == "exposure_limit_exceeded"
    engine.set_max_reserved_microcents("a", 0)
    assert engine.try_reserve("a", 500)["status"] == "reserved"


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
            ("status", "released"), ("remaining_microcents", 50 + remaining),
            ("returned_microcents", 50)]


# --- captures, proofs and certificates ---

def test_snapshot_of_a_fresh_engine_advances_the_allocator(engine):
    assert items(engine.snapshot()) == [
        ("version", TAG + 2), ("active_reservations", 0), ("wal_high_watermark", None),
        ("tenants", [])]
    assert engine.snapshot()["version"] == TAG + 3
    engine.ensure_tenant("b", 10)
    engine.ensure_tenant("a", 10)
    assert engine.try_reserve("b", 4)["reservation_id"] == 3
    snap = engine.snapshot()
    assert snap["active_reservations"] == 1
    assert [items(r) for r in snap["tenants"]] == [
        [("tenant_id", "a"), ("initial_microcents", 10), ("remaining_microcents", 10),
         ("reserved_microcents", 0), ("committed_microcents", 0)],
        [("tenant_id", "b"), ("initial_microcents", 10), ("remaining_microcents", 6),
         ("reserved_microcents", 4), ("committed_microcents", 0)],
    ]


def test_certify_counts_spend_since_the_last_certificate(engine):
    first = engine.certify()
    assert [k for k, _ in items(first)] == [
        "snapshot_version", "ledger_digest_hex", "tenant_count", "active_reservations",
        "conservation_balanced", "total_initial_microcents", "total_committed_microcents",
        "aggregate_totals_representable", "committed_since_last_certificate",
    ]
    assert first["conservation_balanced"] and first["committed_since_last_certificate"] == 0
    engine.ensure_tenant("a", 1000)
    for spend in (300, 400):
        engine.commit(engine.try_reserve("a", 500)["reservation_id"], spend)
    assert engine.certify()["committed_since_last_certificate"] == 700
    assert engine.certify()["committed_since_last_certificate"] == 0


def test_totals_beyond_64_bits(engine):
    engine.ensure_tenant("a", 2**62)
    engine.ensure_tenant("b", 2**62)
    assert engine.verify_conservation() == {"status": "balanced"}
    with pytest.raises(ValueError) as info:
        engine.prove_conservation()
    assert str(info.value) == (
        "aggregate ledger totals exceed i64::MAX \u2014 certificate totals cannot be represented")
    cert = engine.certify()
    assert (cert["conservation_balanced"], cert["total_initial_microcents"],
            cert["total_committed_microcents"], cert["aggregate_totals_representable"],
            cert["committed_since_last_certificate"]) == (False, 0, 0, False, 0)


def test_ledger_digest_recomputed_independently(engine):
    for tenant, budget in (("zeta", 900), ("\U0001f600", 5), ("alpha", 40), ("", 0)):
        engine.ensure_tenant(tenant, budget)
    engine.commit(engine.try_reserve("zeta", 100)["reservation_id"], 60)
    engine.try_reserve("alpha", 15)
    proof = engine.prove_conservation()  # an open reservation still balances
    assert items(proof)[2:] == [
        ("tenant_count", 4), ("active_reservations", 1), ("total_initial_microcents", 945),
        ("total_committed_microcents", 60), ("aggregate_totals_representable", True)]
    assert list(proof)[:2] == ["ledger_digest_hex", "snapshot_version"]
    rows = sorted([("zeta", 900, 840, 0, 60), ("\U0001f600", 5, 5, 0, 0), ("alpha", 40, 25, 15, 0),
                   ("", 0, 0, 0, 0)], key=lambda r: r[0].encode())
    h = hashlib.sha256(b"morvldg1\x00" + struct.pack("<QQQ", proof["snapshot_version"], 4, 1))
    for tid, *amounts in rows:
        raw = tid.encode()
        h.update(struct.pack("<I", len(raw)) + raw + struct.pack("<4q", *amounts))
    assert proof["ledger_digest_hex"] == h.hexdigest()
    # The certificate digests its own capture, whose version is one later.
    cert = engine.certify()
    assert cert["snapshot_version"] == proof["snapshot_version"] + 1
    assert cert["ledger_digest_hex"] != proof["ledger_digest_hex"]


# --- concurrency from Python threads ---

def test_python_threads_share_tenants(engine):
    tenants = ["t0", "t1", "t2"]
    for t in tenants:
        engine.ensure_tenant(t, 10**9)
    committed = {t: 0 for t in tenants}
    funded = {t: 10**9 for t in tenants}
    lock = threading.Lock()
    errors = []

    def worker(seed):
        rng = random.Random(seed)
        mine = []
        try:
            for _ in range(3000):
                t = rng.choice(tenants)
                op = rng.random()
                if op < 0.45:
                    r = engine.try_reserve(t, rng.randrange(1, 10000))
                    if r["status"] == "reserved":
                        mine.append((r["reservation_id"], t))
                elif op < 0.75 and mine:
                    rid, t = mine.pop(rng.randrange(len(mine)))
                    actual = rng.randrange(0, 12000)
                    s = engine.commit(rid, actual)
                    if s["status"] == "committed":
                        with lock:
                            committed[t] += actual
                    else:
                        assert s["status"] == "overrun"
                        assert engine.release(rid)["status"] == "released"
                elif op < 0.9 and mine:
                    assert engine.release(mine.pop()[0])["status"] == "released"
                elif op < 0.97:
                    amount = rng.randrange(1, 1000)
                    assert engine.top_up_tenant(t, amount)["status"] == "topped_up"
                    with lock:
                        funded[t] += amount
                else:
                    assert engine.verify_conservation() == {"status": "balanced"}
            for rid, _ in mine:
                assert engine.release(rid)["status"] == "released"
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads between nearly every call
    try:
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    assert engine.active_reservations() == 0
    for t in tenants:
        assert engine.initial_microcents(t) == funded[t]
        assert engine.committed_microcents(t) == committed[t]
        assert engine.remaining_microcents(t) == funded[t] - committed[t]
    assert engine.certify()["total_committed_microcents"] == sum(committed.values())
