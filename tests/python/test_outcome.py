import hashlib
import inspect
import struct

import pytest

from morvatel import _core as m
from morvatel._core import Observation, Outcome
from raising import raised


def snapshot(epoch=1):
    # Model 30 is disabled but still in the catalog.
    models = [m.KernelModel(i, 1, q, 10000, on, 100, 0, 1, 1000, 2000)
              for i, q, on in [(10, 9000, 1), (20, 8000, 1), (30, 9500, 0)]]
    return m.PolicySnapshot(epoch, 2, 9000, 1000, 10000, 1, models)


def request(seq=5, risk_bps=100):
    return m.KernelInput(seq, 10, 1000, 1000, 10**9, 10**9, risk_bps, 9000, 0, 1000, 0,
                         m.ALL_PROVIDERS, 1)


@pytest.fixture
def ctx():
    snap, req = snapshot(), request()
    return snap, req, snap.prescribe(req)


def seen():
    return Observation(realized_cost_microunits=7, realized_latency_ms=30, succeeded=True)


# --- Observation ---

def test_observation_fields_and_repr():
    assert Observation().is_empty()
    o = Observation(succeeded=False)
    assert not o.is_empty()
    assert repr(o) == "Observation(cost=None, latency_ms=None, succeeded=Some(false))"
    o.realized_cost_microunits = 2**64 - 1
    o.realized_latency_ms = 0
    assert repr(o) == ("Observation(cost=Some(18446744073709551615), latency_ms=Some(0), "
                       "succeeded=Some(false))")
    o.succeeded = o.realized_cost_microunits = o.realized_latency_ms = None
    assert o.is_empty() and o.succeeded is None
    assert Observation.__doc__.splitlines() == [
        "What was measured after a decision was acted on.",
        "",
        "Every field is optional because a pipeline learns them at different times, and",
        "an absent measurement must never be readable as a zero.",
    ]


@pytest.mark.parametrize("name, value, exc", [
    ("realized_cost_microunits", 2**64, OverflowError),
    ("realized_latency_ms", 2**32, OverflowError),
    ("succeeded", 1, TypeError),
])
def test_observation_refuses_values_outside_the_field(name, value, exc):
    assert f"while processing '{name}'" in raised(exc, lambda: Observation(**{name: value})).__notes__
    o = Observation(realized_cost_microunits=1, realized_latency_ms=2, succeeded=True)
    raised(exc, setattr, o, name, value)
    assert repr(o) == "Observation(cost=Some(1), latency_ms=Some(2), succeeded=Some(true))"


# --- Outcome: construction and attributes ---

def test_applied_and_abandoned_records_read_back(ctx):
    snap, req, d = ctx
    obs = seen()
    o = Outcome.applied(snap, req, d, 1234, obs)
    assert (o.request_sequence, o.observed_at_micros, o.acted_model_id) == (5, 1234, 10)
    assert (o.strategy, o.propensity_bps, o.revision, o.disposition) == (
        "maximise_utility", m.FULL_PROBABILITY_BPS, 0, "applied")
    assert o.policy_digest == snap.fingerprint()
    bundle = snap.audit_bundle(req, d)
    assert (o.input_digest, o.decision_digest) == (bundle["input_digest_hex"],
                                                   bundle["decision_digest_hex"])
    assert repr(o) == "Outcome(seq=5, applied, acted=10, strategy=maximise_utility, revision=0)"
    o.validate()
    o.validate_against(snap, req, d)

    # Observations are copied in and out.
    obs.succeeded = False
    o.observation.succeeded = None
    assert o.observation.succeeded is True

    o = Outcome.abandoned(snap, req, d, observed_at_micros=9)
    assert (o.disposition, o.propensity_bps) == ("abandoned", 10000)
    assert o.observation.is_empty()
    o.validate_against(snap, req, d)


# --- digests from the documented layouts ---

def identity_digest(o):
    msg = (b"morvidn1\x00" + bytes.fromhex(o.policy_digest) + bytes.fromhex(o.input_digest)
           + bytes.fromhex(o.decision_digest) + struct.pack("<Q", o.request_sequence))
    return hashlib.sha256(msg).digest()


STRATEGY = {"maximise_utility": 0, "explore": 1, "human": 2}
DISPOSITION = {"applied": 0, "abandoned": 1, "in_flight": 2}


def optional(fmt, v):
    return b"\x00" if v is None else b"\x01" + struct.pack(fmt, v)


def selection_digest(o):
    msg = (b"morvsel1\x00" + struct.pack("<BI", STRATEGY[o.strategy], o.acted_model_id)
           + optional("<H", o.propensity_bps))
    return hashlib.sha256(msg).digest()


def record_digest(o):
    obs = o.observation
    msg = (b"morvout1\x00" + identity_digest(o) + struct.pack("<QI", o.observed_at_micros, o.revision)
           + selection_digest(o) + bytes([DISPOSITION[o.disposition]])
           + optional("<Q", obs.realized_cost_microunits)
           + optional("<I", obs.realized_latency_ms)
           + optional("<?", obs.succeeded))
    return hashlib.sha256(msg).hexdigest()


@pytest.mark.parametrize("human, propensity", [(True, None), (False, 2500)])
@pytest.mark.parametrize("obs", [
    Observation(),
    Observation(realized_cost_microunits=2**64 - 1, realized_latency_ms=2**32 - 1, succeeded=True),
    Observation(realized_latency_ms=0),
])
# All-ones values read the same in any order; distinct bytes show a swap.
@pytest.mark.parametrize("at, revision", [(2**64 - 1, 2**32 - 1), (0x0102030405060708, 0x0A0B0C0D)])
def test_digests_match_the_documented_layouts(ctx, human, propensity, obs, at, revision):
    snap, req, d = ctx
    o = Outcome.chosen_otherwise(snap, req, d, at, Observation(succeeded=True), 20,
                                 propensity, human)
    o.observation = obs
    o.revision = revision
    o.disposition = "in_flight"
    assert o.identity_digest == identity_digest(o).hex()
    assert o.selection_digest == selection_digest(o).hex()
    assert o.digest == record_digest(o)


# --- validation ---

def make(ctx, kind):
    snap, req, d = ctx
    return {
        "applied": lambda: Outcome.applied(snap, req, d, 1, seen()),
        "applied_empty": lambda: Outcome.applied(snap, req, d, 1, Observation()),
        "abandoned": lambda: Outcome.abandoned(snap, req, d, 1),
    }[kind]()


@pytest.mark.parametrize("kind, change, message", [
    ("applied_empty", {},
     "an outcome must carry at least one observation or a disposition that explains its absence"),
    ("abandoned", {"observation": Observation(realized_latency_ms=0)},
     "Abandoned means nothing was carried out, so nothing can have been observed"),
    # In flight may carry cost and latency, or nothing yet.
    ("applied", {"disposition": "in_flight",
                 "observation": Observation(realized_cost_microunits=1, realized_latency_ms=2)},
     None),
    ("applied", {"disposition": "in_flight", "observation": Observation()}, None),
])
def test_validate_checks_each_shape(ctx, kind, change, message):
    o = make(ctx, kind)
    for name, value in change.items():
        setattr(o, name, value)  # setters never validate
    if message is None:
        o.validate()
        return
    assert raised(ValueError, o.validate).args == (message,)
    assert raised(ValueError, o.validate_against, *ctx).args == (message,)


@pytest.mark.parametrize("propensity, human, model, message", [
    (5000, True, 20, "Human selection has no propensity to record; leave it absent"),
    (None, False, 20, "Explore must record a propensity, and it cannot be recovered afterwards"),
    (0, False, 20, "propensity must be 1..=10000 basis points, got 0"),
    (1, False, 20, None),
    (10000, False, 20, None),
    (10001, False, 20, "propensity must be 1..=10000 basis points, got 10001"),
    (None, True, 30, None),  # disabled, but in the catalog
    (None, True, 31, "model 31 is not in this policy's catalog"),
])
def test_chosen_otherwise_checks(ctx, propensity, human, model, message):
    if message is None:
        o = Outcome.chosen_otherwise(*ctx, 1, seen(), model, propensity_bps=propensity,
                                     human=human)
        assert (o.strategy, o.propensity_bps, o.acted_model_id) == (
            "human" if human else "explore", propensity, model)
        return
    assert raised(ValueError, Outcome.chosen_otherwise, *ctx, 1, seen(), model, propensity,
                  human).args == (message,)


@pytest.mark.parametrize("args, exc, note", [
    ((None,), TypeError, "snapshot"),
    (("s", "i", None), TypeError, "decision"),
    (("s", "i", "d", -1), OverflowError, "observed_at_micros"),
    (("s", "i", "d", 1, None), TypeError, "observation"),
    (("s", "i", "d", 1, "o", 2**32), OverflowError, "acted_model_id"),
    (("s", "i", "d", 1, "o", 20, 65536), OverflowError, "propensity_bps"),
    (("s", "i", "d", 1, "o", 20, None, 1), TypeError, "human"),
])
def test_chosen_otherwise_extracts_arguments_in_order(ctx, args, exc, note):
    snap, req, d = ctx
    real = {"s": snap, "i": req, "d": d, "o": seen()}
    args = [real.get(a, a) if isinstance(a, str) else a for a in args]
    args += [None] * (6 - len(args))  # later arguments wrong too: never reached
    assert f"while processing '{note}'" in raised(exc, Outcome.chosen_otherwise, *args).__notes__


def test_rejection_can_only_be_abandoned():
    snap = snapshot()
    risky = request(risk_bps=9500)
    d = snap.prescribe(risky)
    assert d.action == "reject" and d.selected_model_id == 0
    a = Outcome.abandoned(snap, risky, d, 1)
    assert a.acted_model_id == 0
    a.validate_against(snap, risky, d)
    acted = Outcome.applied(snap, risky, d, 1, seen())
    acted.validate()
    assert raised(ValueError, acted.validate_against, snap, risky, d).args == (
        "the decision was a rejection, so there was nothing to carry out",)
    empty = Outcome.applied(snap, risky, d, 1, Observation())
    assert raised(ValueError, empty.validate_against, snap, risky, d).args[0].startswith(
        "an outcome must carry at least one observation")


def test_validate_against_reads_only_the_requests_digest(ctx):
    snap, req, d = ctx
    o = Outcome.applied(snap, req, d, 1, seen())
    bad = request()
    bad.risk_bps = 10001  # out of bounds, but never checked here
    assert raised(ValueError, o.validate_against, snap, bad, d).args == (
        "this outcome does not follow that decision: the input differs",)


def test_follows_compares_only_the_decision(ctx):
    snap, req, d = ctx
    o = Outcome.abandoned(snap, req, d, 1)
    assert o.follows(decision=d)
    # Same request under another policy gives another decision.
    assert not o.follows(snapshot(epoch=7).prescribe(req))
    raised(TypeError, o.follows, req)


def test_class_shape_and_setters(ctx):
    raised(TypeError, Outcome)  # made only by its static constructors
    raised(TypeError, type, "Sub", (Outcome,), {})
    assert str(inspect.signature(Outcome.chosen_otherwise)) == (
        "(snapshot, input, decision, observed_at_micros, observation, acted_model_id, "
        "propensity_bps=None, human=False)")
    doc = Outcome.__doc__.splitlines()
    assert (doc[0], len(doc)) == ("One decision, what was done about it, and what came back.", 6)
    assert Outcome.follows.__doc__ == "The cheap check: does this record name the same decision?"
    o = make(ctx, "applied")
    o.revision = 2**32 - 1
    raised(OverflowError, setattr, o, "revision", 2**32)
    assert o.revision == 2**32 - 1

    for bad in ("Applied", "inflight"):
        assert raised(ValueError, setattr, o, "disposition", bad).args == (
            f"disposition must be applied, abandoned or in_flight, got {bad}",)
    raised(TypeError, setattr, o, "disposition", 0)
    assert o.disposition == "applied"
    o.disposition = "in_flight"
    assert repr(o) == ("Outcome(seq=5, in_flight, acted=10, strategy=maximise_utility, "
                       "revision=4294967295)")

    raised(TypeError, setattr, o, "observation", None)
    for name in ("strategy", "propensity_bps", "acted_model_id", "digest", "policy_digest"):
        raised(AttributeError, setattr, o, name, getattr(o, name))
    raised(AttributeError, setattr, o, "extra", 1)
