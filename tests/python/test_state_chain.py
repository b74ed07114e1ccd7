import hashlib
import struct

import pytest

import raising
from morvatel import _core as m

MODELS = [(1, 1, 9000, 10000, 1, 100, 0, 1, 1000, 2000), (2, 1, 8000, 10000, 1, 80, 0, 1, 500, 900)]


def state_digest(step, data):
    return hashlib.sha256(b"morvstt1\x00" + struct.pack("<Q", step) + data).hexdigest()


@pytest.fixture
def snap():
    return m.PolicySnapshot(3, 4, 9000, 1000, 10000, 7, [m.KernelModel(*r) for r in MODELS])


def request(seq=21):
    return m.KernelInput(seq, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0,
                         m.ALL_PROVIDERS, 1)


def trajectory(snap, initial=b"s0", states=(b"s1", b"s2", b"s3")):
    chain = m.StateChain(initial)
    out = []
    for i, s in enumerate(states):
        req = request(100 + i)
        out.append(snap.stateful_audit_bundle(req, snap.prescribe(req), chain.advance(s)))
    return out


def raised(exc, fn, *args):
    """The exception of type `exc` (exactly) that fn(*args) raises, with its notes as text."""
    e = raising.raised(exc, fn, *args)
    return e, str(getattr(e, "__notes__", ""))


def test_digests_follow_the_layout():
    chain = m.StateChain(b"")
    assert chain.last_digest_hex == hashlib.sha256(b"morvstt1\x00" + bytes(8)).hexdigest()
    assert m.StateChain.genesis(b"").last_digest_hex == chain.last_digest_hex
    before = chain.last_digest_hex
    t = chain.advance(b"\x00abc")
    assert (t.step, chain.step) == (1, 1)
    assert t.digest_before_hex == before
    assert t.digest_after_hex == chain.last_digest_hex == state_digest(1, b"\x00abc")
    assert list(t.as_dict().items()) == [("step", 1), ("digest_before_hex", before),
                                         ("digest_after_hex", t.digest_after_hex)]
    assert repr(t) == (f"StateTransition(step=1, before='{before[:8]}...', "
                       f"after='{t.digest_after_hex[:8]}...')")
    assert repr(chain) == f"StateChain(step=1, last_digest='{chain.last_digest_hex[:8]}...')"
    # The previous digest is not hashed: the same state at the same step
    # gives the same digest whatever came before.
    assert chain.advance(b"").digest_after_hex == state_digest(2, b"")


@pytest.mark.parametrize("bad", [bytearray(b"x"), "x"])
def test_state_arguments_must_be_bytes(bad):
    chain = m.StateChain(type("BytesSub", (bytes,), {})(b"x"))
    for fn, note in [(m.StateChain, "initial_state"), (m.StateChain.genesis, "initial_state"),
                     (chain.advance, "next_state"),
                     (lambda b: m.verify_complete_state_trajectory(b, 1, []), "initial_state")]:
        assert note in raised(TypeError, fn, bad)[1]
    assert chain.step == 0


def test_stateful_bundle(snap):
    chain = m.StateChain(b"s0")
    t = chain.advance(b"s1")
    req = request()
    b = snap.stateful_audit_bundle(req, snap.prescribe(req), t)
    assert (b.step, b.replay_valid) == (1, True)
    assert (b.state_digest_before_hex, b.state_digest_after_hex) == (t.digest_before_hex,
                                                                     t.digest_after_hex)
    d = b.as_dict()
    assert list(d) == ["audit", "step", "state_digest_before_hex", "state_digest_after_hex"]
    audit = snap.audit_bundle(req, snap.prescribe(req))
    assert list(d["audit"].items()) == list(audit.items())
    assert repr(b) == "StatefulAuditBundle(step=1, replay_valid=true)"


def test_stateful_bundle_argument_order_and_errors(snap):
    t = m.StateChain(b"").advance(b"")
    req = request()
    d = snap.prescribe(req)
    assert "transition" in raised(TypeError, snap.stateful_audit_bundle, req, d, "t")[1]
    assert "input" in raised(TypeError, snap.stateful_audit_bundle, None, None, None)[1]
    bad = request()
    bad.risk_bps = 10001
    raised(ValueError, snap.stateful_audit_bundle, bad, d, t)
    e, _ = raised(m.DecisionVerificationError, snap.stateful_audit_bundle, req,
                  snap.prescribe(request(22)), t)
    assert str(e).startswith("decision verification failed: Mismatch { expected: ")


def test_whole_trajectory_passes(snap):
    bundles = trajectory(snap)
    assert m.verify_state_trajectory(bundles) is None
    assert m.verify_state_trajectory(tuple(bundles)) is None
    assert m.verify_state_trajectory([]) is None
    assert m.verify_complete_state_trajectory(b"s0", 3, bundles) is None
    assert m.verify_state_trajectory_fragment(
        1, bundles[0].state_digest_after_hex, bundles[1:]) is None


def gap(found, expected):
    return f"step {found} does not continue from step {expected}"


def broken(step):
    return (f"state chain broken at step {step}: "
            "before-digest does not match previous after-digest")


@pytest.mark.parametrize("call, message", [
    (lambda b: m.verify_state_trajectory([b[0], b[2]]), gap(3, 2)),
    (lambda b: m.verify_complete_state_trajectory(b"s0", 0, []), gap(0, 1)),
    (lambda b: m.verify_complete_state_trajectory(b"s0", 4, b), gap(3, 4)),
    (lambda b: m.verify_complete_state_trajectory(b"s0", 3, b[1:]), gap(2, 1)),
    (lambda b: m.verify_complete_state_trajectory(b"other", 3, b), broken(1)),
    (lambda b: m.verify_state_trajectory_fragment(5, "0" * 64, []), gap(5, 6)),
    (lambda b: m.verify_state_trajectory_fragment(2**64 - 1, "", []),
     gap(2**64 - 1, 2**64 - 1)),
    (lambda b: m.verify_state_trajectory_fragment(2**64 - 1, "", b), gap(1, 2**64 - 1)),
    (lambda b: m.verify_state_trajectory_fragment(0, "", b), broken(1)),
    (lambda b: m.verify_state_trajectory_fragment(
        1, b[1].state_digest_before_hex.upper(), b[1:]), broken(2)),
    (lambda b: m.verify_state_trajectory_fragment(2, b[1].state_digest_after_hex, b[1:]),
     gap(2, 3)),
])
def test_trajectory_failures(snap, call, message):
    e, _ = raised(m.StateTrajectoryError, call, trajectory(snap))
    assert e.args == (message,)


def test_bundle_arguments_and_classes(snap):
    bundles = trajectory(snap)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        m.verify_state_trajectory("abc")
    assert "bundles" in raised(TypeError, m.verify_state_trajectory, [bundles[0], 5])[1]
    raised(OverflowError, m.verify_state_trajectory_fragment, -1, "", bundles)
    raised(TypeError, m.verify_state_trajectory_fragment, 0, b"", bundles)
    for cls in (m.StateTransition, m.StatefulAuditBundle):
        raised(TypeError, cls)
    assert m.StateChain.genesis.__text_signature__ == "(initial_state)"
