"""The budget engine against a small Python model of its ledger rules.

Both run the same seeded random operations and must give identical results,
dict key order included; the model computes the ledger digest on its own
with hashlib and struct, so every certificate and proof also checks the
digest's byte layout.
"""

import hashlib
import random
import struct

import pytest

from morvatel._core import BudgetEngine

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1
VERSION_TAG = 2**63
AGGREGATE_TEXT = "aggregate ledger totals exceed i64::MAX \u2014 certificate totals cannot be represented"
ROW_KEYS = ("tenant_id", "initial_microcents", "remaining_microcents", "reserved_microcents",
            "committed_microcents")


def ledger_digest(version, rows, active_reservations):
    h = hashlib.sha256(b"morvldg1\x00" + struct.pack("<QQQ", version, len(rows), active_reservations))
    for tenant_id, *amounts in sorted(rows, key=lambda r: r[0].encode()):
        raw = tenant_id.encode()
        h.update(struct.pack("<I", len(raw)) + raw + struct.pack("<qqqq", *amounts))
    return h.hexdigest()


def conservation(rows):
    """(status dict, display text) of the first failing row, or balanced."""
    for tenant_id, initial, remaining, reserved, committed in rows:
        s1 = remaining + reserved
        s2 = s1 + committed
        delta = s2 - initial
        if any(not I64_MIN <= v <= I64_MAX for v in (s1, s2, delta)):
            return {"status": "aggregate_overflow"}, AGGREGATE_TEXT
        if delta != 0:
            return ({"status": "violation", "tenant_id": tenant_id, "delta_microcents": delta},
                    f"conservation violated for tenant {tenant_id}: delta={delta} microcents")
    return {"status": "balanced"}, "conservation balanced"


def refused(status, **fields):
    return {"reservation_id": None, "status": status, **fields}


class Model:
    def __init__(self):
        self.tenants = {}  # id -> [initial, remaining, reserved, committed]
        self.limits = {}
        self.reservations = {}  # id -> (tenant, amount)
        self.next_id = 1
        self.last_certified = 0

    def ensure_tenant(self, tenant_id, budget_microcents):
        if budget_microcents < 0:
            raise ValueError(f"budget_microcents must be >= 0, got {budget_microcents}")
        self.tenants.setdefault(tenant_id, [budget_microcents, budget_microcents, 0, 0])

    def set_max_reserved_microcents(self, tenant_id, max_microcents):
        if max_microcents < 0:
            raise ValueError(f"max_reserved_microcents must be >= 0, got {max_microcents}")
        if max_microcents == 0:
            self.limits.pop(tenant_id, None)
        else:
            self.limits[tenant_id] = max_microcents

    def top_up_tenant(self, tenant_id, amount_microcents):
        if amount_microcents <= 0:
            return {"status": "invalid_amount"}
        t = self.tenants.get(tenant_id)
        if t is None:
            return {"status": "missing_tenant"}
        if t[0] + amount_microcents > I64_MAX or t[1] + amount_microcents > I64_MAX:
            return {"status": "overflow"}
        t[0] += amount_microcents
        t[1] += amount_microcents
        return {"status": "topped_up", "added_microcents": amount_microcents, "new_initial_microcents": t[0],
                "remaining_microcents": t[1]}

    def try_reserve(self, tenant_id, amount):
        if amount <= 0:
            return refused("insufficient", remaining_microcents=0, required_microcents=amount)
        t = self.tenants.get(tenant_id)
        if t is None:
            return refused("missing_tenant")
        limit = self.limits.get(tenant_id, 0)
        if t[2] + amount > I64_MAX:
            return refused("overflow", current_reserved_microcents=t[2])
        if limit > 0 and t[2] + amount > limit:
            return refused("exposure_limit_exceeded", current_reserved_microcents=t[2],
                           max_reserved_microcents=limit)
        rid = self.next_id
        self.next_id += 1
        if t[1] < amount:
            return refused("insufficient", remaining_microcents=t[1], required_microcents=amount)
        t[1] -= amount
        t[2] += amount
        self.reservations[rid] = (tenant_id, amount)
        return {"reservation_id": rid, "status": "reserved", "remaining_microcents": t[1]}

    def commit(self, reservation_id, actual):
        if actual < 0:
            return {"status": "invalid_amount"}
        if reservation_id not in self.reservations:
            return {"status": "missing_reservation"}
        tenant_id, amount = self.reservations[reservation_id]
        t = self.tenants[tenant_id]
        if t[3] + actual > I64_MAX:
            return {"status": "overflow", "remaining_microcents": t[1]}
        delta = actual - amount
        if delta > 0 and t[1] < delta:
            return {"status": "overrun", "remaining_microcents": t[1]}
        del self.reservations[reservation_id]
        t[1] -= delta
        t[2] -= amount
        t[3] += actual
        return {"status": "committed", "remaining_microcents": t[1], "actual_microcents": actual}

    def release(self, reservation_id):
        if reservation_id not in self.reservations:
            return {"status": "missing_reservation"}
        tenant_id, amount = self.reservations.pop(reservation_id)
        t = self.tenants[tenant_id]
        t[1] += amount
        t[2] -= amount
        return {"status": "released", "remaining_microcents": t[1], "returned_microcents": amount}

    def query(self, i, tenant_id):
        t = self.tenants.get(tenant_id)
        return None if t is None else t[i]

    def tenant_count(self):
        return len(self.tenants)

    def active_reservations(self):
        return len(self.reservations)

    def __repr__(self):
        return f"BudgetEngine(tenants={len(self.tenants)}, active_reservations={len(self.reservations)})"

    def _capture(self):
        self.next_id += 1
        rows = sorted(((k, *v) for k, v in self.tenants.items()), key=lambda r: r[0].encode())
        return VERSION_TAG + self.next_id, rows, len(self.reservations)

    def snapshot(self):
        version, rows, active = self._capture()
        return {"version": version, "active_reservations": active, "wal_high_watermark": None,
                "tenants": [dict(zip(ROW_KEYS, r)) for r in rows]}

    def verify_conservation(self):
        return conservation(self._capture()[1])[0]

    @staticmethod
    def _totals(rows):
        ti = sum(r[1] for r in rows)
        tc = sum(r[4] for r in rows)
        return ti, tc, I64_MIN <= ti <= I64_MAX and I64_MIN <= tc <= I64_MAX

    def prove_conservation(self):
        version, rows, active = self._capture()
        status, text = conservation(rows)
        if status["status"] != "balanced":
            raise ValueError(text)
        ti, tc, ok = self._totals(rows)
        if not ok:
            raise ValueError(AGGREGATE_TEXT)
        return {"ledger_digest_hex": ledger_digest(version, rows, active), "snapshot_version": version,
                "tenant_count": len(rows), "active_reservations": active, "total_initial_microcents": ti,
                "total_committed_microcents": tc, "aggregate_totals_representable": True}

    def certify(self):
        version, rows, active = self._capture()
        ti, tc, ok = self._totals(rows)
        since = 0
        if ok and tc > self.last_certified:
            since = tc - self.last_certified
            self.last_certified = tc
        balanced = conservation(rows)[0]["status"] == "balanced"
        return {"snapshot_version": version, "ledger_digest_hex": ledger_digest(version, rows, active),
                "tenant_count": len(rows), "active_reservations": active,
                "conservation_balanced": balanced and ok, "total_initial_microcents": ti if ok else 0,
                "total_committed_microcents": tc if ok else 0, "aggregate_totals_representable": ok,
                "committed_since_last_certificate": since}


for _i, _name in enumerate(["initial_microcents", "remaining_microcents", "reserved_microcents",
                            "committed_microcents"]):
    setattr(Model, _name, lambda self, tenant_id, _i=_i: self.query(_i, tenant_id))

TENANTS = ["", "a", "b", "ab", "a\x00", "\u00e9", "e\u0301", "Z", "\U0001f600", "tenant-7"]


def ordered(value):
    """A form of a result in which dict key order matters for equality."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return (type(value).__name__, value)


def call(obj, name, args):
    try:
        return ("ok", repr(obj) if name == "repr" else ordered(getattr(obj, name)(*args)))
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return ("raised", type(exc).__name__, str(exc))


def amount(rng, huge_share=0.04):
    r = rng.random()
    if r < huge_share:
        return rng.choice([2**62, I64_MAX, I64_MAX - rng.randrange(1000), 2**62 + 1])
    if r < huge_share + 0.04:
        return rng.choice([0, -1, -rng.randrange(1, 10**6), I64_MIN])
    return rng.randrange(1, 5000)


def random_operation(rng, model, seen_ids):
    tenant = rng.choice(TENANTS + ["nobody"]) if rng.random() < 0.1 else rng.choice(TENANTS)
    kind = rng.choices(
        ["ensure_tenant", "set_max_reserved_microcents", "top_up_tenant", "try_reserve", "commit", "release",
         "query", "tenant_count", "active_reservations", "repr", "snapshot", "verify_conservation",
         "prove_conservation", "certify"],
        weights=[6, 3, 5, 30, 20, 10, 8, 1, 1, 1, 2, 2, 2, 3],
    )[0]
    if kind == "ensure_tenant":
        return kind, (tenant, amount(rng, huge_share=0.02) if rng.random() < 0.3 else rng.randrange(20000))
    if kind == "set_max_reserved_microcents":
        return kind, (tenant, rng.choice([0, 0, rng.randrange(1, 8000), -5, I64_MAX]))
    if kind in ("top_up_tenant", "try_reserve"):
        return kind, (tenant, amount(rng))
    if kind in ("commit", "release"):
        if model.reservations and rng.random() < 0.8:
            rid = rng.choice(sorted(model.reservations))
        else:
            rid = rng.choice([0, model.next_id, U64_MAX] + sorted(seen_ids)[-5:])
        if kind == "release":
            return kind, (rid,)
        base = model.reservations.get(rid, (None, 100))[1]
        return kind, (rid, rng.choice([0, base, base // 2, base + rng.randrange(1, 3000), amount(rng)]))
    if kind == "query":
        return rng.choice(
            ["initial_microcents", "remaining_microcents", "reserved_microcents", "committed_microcents"]
        ), (tenant,)
    return kind, ()


@pytest.mark.parametrize("seed", range(6))
def test_engine_matches_model(seed):
    rng = random.Random(seed)
    engine, model = BudgetEngine(), Model()
    seen_ids = set()
    for step in range(2500):
        name, args = random_operation(rng, model, seen_ids)
        want = call(model, name, args)
        got = call(engine, name, args)
        assert got == want, f"step {step}: {name}{args!r}"
        if name == "try_reserve" and got[0] == "ok":
            rid = dict(got[1])["reservation_id"][1]
            if rid is not None:
                seen_ids.add(rid)
    # Every ledger, as the engine holds it, equals the model's, and balances.
    assert call(engine, "snapshot", ()) == call(model, "snapshot", ())
    assert engine.verify_conservation() == {"status": "balanced"}
    for t in model.tenants.values():
        assert t[1] + t[2] + t[3] == t[0]
