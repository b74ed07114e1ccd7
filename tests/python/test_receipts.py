import hashlib
import inspect
import json
import struct

import pytest

import ed25519_reference as ed25519
from morvatel import _core as m
from raising import raised

MODELS = [(1, 1, 9000, 10000, 1, 100, 0, 1, 1000, 2000), (2, 1, 8000, 10000, 1, 80, 0, 1, 500, 900)]
SEED = bytes(range(32))
PUB = ed25519.public_key(SEED)
H = "0123456789abcdef" * 4
H2 = "fedcba9876543210" * 4
REPLAY = "decision does not replay under the disclosed policy"
CLAIMS = "receipt claims digest mismatch"
HEX64 = "must contain exactly 64 lowercase ASCII hex characters"


def snapshot(policy_epoch=3, latency_penalty=7):
    return m.PolicySnapshot(policy_epoch, 4, 9000, 1000, 10000, latency_penalty,
                            [m.KernelModel(*r) for r in MODELS])


def request(seq=21):
    return m.KernelInput(seq, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0,
                         m.ALL_PROVIDERS, 1)


@pytest.fixture
def case():
    s, i = snapshot(), request()
    return s, i, s.prescribe(i)


def anchors():
    chain = m.StateChain(b"genesis")
    return m.ReceiptState.from_transition(chain.advance(b"next")), m.ReceiptWal(7, H)


def tampered(r, **changes):
    """The receipt read back from its JSON form with some members replaced."""
    d = json.loads(r.to_json())
    for path, value in changes.items():
        outer, _, key = path.rpartition("__")
        (d[outer] if outer else d)[key] = value
    return m.DecisionReceipt.from_json(json.dumps(d))


def claims_message(r):
    schema, st, w = r.schema_version.encode(), r.state, r.wal
    return (b"morvrcp1\x00" + struct.pack("<Q", len(schema)) + schema
            + struct.pack("<QQ", r.policy_epoch, r.catalog_epoch)
            + bytes.fromhex(r.policy_digest_hex + r.input_digest_hex + r.decision_digest_hex)
            + bytes([r.replay_valid])
            + (b"\x00" if st is None else b"\x01" + struct.pack("<Q", st.step)
               + bytes.fromhex(st.state_digest_before_hex + st.state_digest_after_hex))
            + (b"\x00" if w is None else b"\x01" + struct.pack("<Q", w.sequence)
               + bytes.fromhex(w.entry_hash)))


def resealed(r, **changes):
    """Tampered, with the claims digest recomputed to match."""
    t = tampered(r, **changes)
    return tampered(t, claims_digest_hex=hashlib.sha256(claims_message(t)).hexdigest())


def raises_receipt(message, fn, *args, exc=m.ReceiptError):
    assert raised(exc, fn, *args).args == (message,)


def note_of(fn, *args):
    return str(raised(TypeError, fn, *args).__notes__)


def signed(case, **anchor_kw):
    s, i, d = case
    r = s.issue_receipt(i, d, **anchor_kw)
    r.sign(SEED, "signer", 1234)
    return r


# --- anchors ---

@pytest.mark.parametrize("cls, args, message", [
    (m.ReceiptWal, (0, ""), "sequence must be at least 1"),
    (m.ReceiptWal, (1, H[:-1] + "A"), f"entry_hash {HEX64}"),
    (m.ReceiptState, (0, "x", "y"), "step must be at least 1"),
    (m.ReceiptState, (1, "x", H), f"state_digest_before_hex {HEX64}"),
    (m.ReceiptState, (1, H, H.upper()), f"state_digest_after_hex {HEX64}"),
])
def test_anchor_checks(cls, args, message):
    raises_receipt(message, cls, *args, exc=m.ArtifactValidationError)


def test_anchor_values_and_transition():
    w = m.ReceiptWal(entry_hash=H, sequence=2**64 - 1)
    assert list(w.as_dict().items()) == [("sequence", 2**64 - 1), ("entry_hash", H)]
    s = m.ReceiptState(1, H, H2)
    assert list(s.as_dict().items()) == [("step", 1), ("state_digest_before_hex", H),
                                         ("state_digest_after_hex", H2)]
    with pytest.raises(AttributeError):
        w.sequence = 3
    assert w != m.ReceiptWal(2**64 - 1, H)  # identity, no value comparison
    for bad in (-1, 2**64):
        raised(OverflowError, m.ReceiptWal, bad, H)
    chain = m.StateChain(b"")
    genesis = chain.last_digest_hex
    s = m.ReceiptState.from_transition(chain.advance(b"a"))
    assert (s.step, s.state_digest_before_hex, s.state_digest_after_hex) == \
        (1, genesis, chain.last_digest_hex)
    assert "transition" in note_of(m.ReceiptState.from_transition, s)


# --- digests and signatures, recomputed ---

@pytest.mark.parametrize("with_state, with_wal, length", [
    (False, False, 151), (True, False, 223), (False, True, 191), (True, True, 263)])
def test_claims_digest_layout(case, with_state, with_wal, length):
    s, i, d = case
    state, wal = anchors()
    r = s.issue_receipt(i, d, state=state if with_state else None,
                        wal=wal if with_wal else None)
    msg = claims_message(r)
    assert len(msg) == length
    assert r.claims_digest_hex == hashlib.sha256(msg).hexdigest()
    r.verify(s, i, d)


@pytest.mark.parametrize("signer_id, when", [("", 0), ("signer-1", 1700000000000),
                                             ("zoë\n", 2**64 - 1)])
def test_signature_is_ed25519_over_the_signing_message(case, signer_id, when):
    s, i, d = case
    r = s.issue_receipt(i, d)
    r.sign(SEED, signer_id, when)
    assert (r.signer_id, r.signed_at_epoch_ms) == (signer_id, when)
    msg = (b"morvrcs1\x00" + bytes.fromhex(r.claims_digest_hex) + struct.pack("<Q", when)
           + signer_id.encode())
    assert r.public_key_hex == PUB.hex() == m.public_key_from_signing_key(SEED).hex()
    assert bytes.fromhex(r.signature_hex) == ed25519.sign(SEED, msg)
    r.verify_signature(PUB)
    r.verify(s, i, d)


def test_resigning(case):
    r = signed(case)
    first = r.to_json()
    r.sign(SEED, "signer", 1234)
    assert r.to_json() == first
    other = bytes(31) + b"\x01"
    r.sign(other, "b", 6)
    r.verify_signature(ed25519.public_key(other))
    raises_receipt("receipt signer does not match the trusted key", r.verify_signature, PUB)


# --- issue ---

def test_issue_receipt_fields(case):
    s, i, d = case
    r = s.issue_receipt(i, d)
    assert (r.schema_version, r.policy_epoch, r.catalog_epoch, r.replay_valid) == \
        ("morvatel.receipt.v1", 3, 4, True)
    bundle = s.audit_bundle(i, d)
    assert [r.policy_digest_hex, r.input_digest_hex, r.decision_digest_hex] == [
        bundle[k] for k in ("policy_digest_hex", "input_digest_hex", "decision_digest_hex")]
    assert (r.signer_id, r.signed_at_epoch_ms, r.public_key_hex, r.signature_hex) == (None,) * 4
    assert repr(r) == (f"DecisionReceipt(policy_epoch=3, catalog_epoch=4, signed=false, "
                       f"claims='{r.claims_digest_hex[:8]}...')")
    assert str(inspect.signature(s.issue_receipt)) == "(input, decision, *, state=None, wal=None)"


def test_issue_receipt_failures(case):
    s, i, d = case
    raises_receipt(REPLAY, s.issue_receipt, i, s.prescribe(request(22)))
    bad = request()
    bad.confidence_bps = 10001
    raised(ValueError, s.issue_receipt, bad, s.prescribe(request(22)))
    assert "state" in note_of(lambda: s.issue_receipt(i, d, state=anchors()[1]))
    state, wal = anchors()
    zero_state = tampered(s.issue_receipt(i, d, state=state), state__step=0).state
    raises_receipt("malformed state.step: must be at least 1",
                   lambda: s.issue_receipt(i, d, state=zero_state))
    upper = tampered(s.issue_receipt(i, d, wal=wal), wal__entry_hash=H.upper()).wal
    raises_receipt("malformed wal.entry_hash: invalid hex at offset 10",
                   lambda: s.issue_receipt(i, d, wal=upper))


# --- verify: every claimed field is covered ---

@pytest.mark.parametrize("changes, message", [
    ({"schema_version": "morvatel.receipt.v2", "replay_valid": False, "policy_epoch": 9},
     "unknown receipt schema: morvatel.receipt.v2"),
    ({"schema_version": "morvatel.receipt.v1 "}, "unknown receipt schema: morvatel.receipt.v1 "),
    ({"replay_valid": False, "policy_epoch": 9}, "receipt asserts replay_valid=false"),
    ({"policy_epoch": 9}, REPLAY),
    ({"catalog_epoch": 9}, REPLAY),
    ({"policy_digest_hex": H}, "policy digest mismatch"),
    ({"input_digest_hex": H}, "input digest mismatch"),
    ({"decision_digest_hex": H}, "decision digest mismatch"),
    ({"claims_digest_hex": H}, CLAIMS),
    ({"state": {"step": 1, "state_digest_before_hex": H, "state_digest_after_hex": H}}, CLAIMS),
    ({"wal": {"sequence": 3, "entry_hash": H}}, CLAIMS),
    ({"wal": {"sequence": 0, "entry_hash": "x"}}, "malformed wal.sequence: must be at least 1"),
])
def test_verify_detects_tampering(case, changes, message):
    s, i, d = case
    raises_receipt(message, tampered(s.issue_receipt(i, d), **changes).verify, s, i, d)


def test_verify_against_other_inputs(case):
    s, i, d = case
    r = s.issue_receipt(i, d)
    raises_receipt("policy digest mismatch", r.verify, snapshot(latency_penalty=8), i, d)
    other = request(22)
    raises_receipt("input digest mismatch", r.verify, s, other, d)
    raises_receipt("decision digest mismatch", r.verify, s, i, s.prescribe(other))
    raises_receipt(REPLAY, r.verify, snapshot(policy_epoch=5), i,
                   snapshot(policy_epoch=5).prescribe(i))
    # Every digest agrees with the receipt, but the decision is not the
    # replay of the request: only the replay itself can tell.
    stray = s.prescribe(other)
    forged = resealed(r, decision_digest_hex=s.audit_bundle(i, stray)["decision_digest_hex"])
    raises_receipt(REPLAY, forged.verify, s, i, stray)


def test_upper_case_digest_is_a_mismatch_for_verify_but_malformed_for_sign(case):
    s, i, d = case
    r = s.issue_receipt(i, d)
    upper = r.policy_digest_hex.upper()
    offset = next(k for k, c in enumerate(upper) if c.isalpha())
    malformed = f"malformed policy_digest_hex: invalid hex at offset {offset}"
    t = tampered(r, policy_digest_hex=upper)
    raises_receipt("policy digest mismatch", t.verify, s, i, d)
    raises_receipt(malformed, t.sign, SEED, "a", 1)
    raises_receipt(malformed, tampered(signed(case), policy_digest_hex=upper).verify_signature,
                   PUB)


BAD_STATE = {"step": 0, "state_digest_before_hex": "x", "state_digest_after_hex": "y"}
BAD_WAL = {"sequence": 0, "entry_hash": "x"}


@pytest.mark.parametrize("changes, message", [
    ({"input_digest_hex": "a" * 63}, "malformed input_digest_hex: expected 64 hex chars, found 63"),
    ({"input_digest_hex": "a" * 63 + "é"},
     "malformed input_digest_hex: expected 64 hex chars, found 65"),
    ({"input_digest_hex": "a" * 63 + "g"}, "malformed input_digest_hex: invalid hex at offset 63"),
    # The digest fields come first, then the state anchor, then the log
    # anchor; a zero step or sequence is reported before its hex.
    ({"decision_digest_hex": "", "state": BAD_STATE, "wal": BAD_WAL},
     "malformed decision_digest_hex: expected 64 hex chars, found 0"),
    ({"state": BAD_STATE, "wal": BAD_WAL}, "malformed state.step: must be at least 1"),
    ({"state": dict(BAD_STATE, step=1), "wal": BAD_WAL},
     "malformed state_digest_before_hex: expected 64 hex chars, found 1"),
    ({"state": dict(BAD_STATE, step=1, state_digest_before_hex=H), "wal": BAD_WAL},
     "malformed state_digest_after_hex: expected 64 hex chars, found 1"),
    ({"wal": dict(BAD_WAL, sequence=1, entry_hash=H[:-1] + "G")},
     "malformed wal.entry_hash: invalid hex at offset 63"),
])
def test_sign_checks_the_claims_in_layout_order(case, changes, message):
    s, i, d = case
    r = tampered(s.issue_receipt(i, d), **changes)
    raises_receipt(message, r.sign, SEED, "a", 1)
    assert r.signer_id is None


def test_sign_failures_leave_receipt_unchanged(case):
    r = signed(case)
    before = r.to_json()
    raises_receipt("signing_key must be exactly 32 bytes, found 31", r.sign, SEED[:31], "b", 2,
                   exc=m.ArtifactValidationError)
    for bad in (-1, 2**64):
        raised(OverflowError, r.sign, SEED, "b", bad)
    assert r.to_json() == before
    t = tampered(r, claims_digest_hex=("0" if r.claims_digest_hex[0] != "0" else "1")
                 + r.claims_digest_hex[1:])
    raises_receipt(CLAIMS, t.sign, SEED, "b", 2)
    assert t.signer_id == "signer"


# --- verify_signature ---

@pytest.mark.parametrize("changes, message", [
    ({"signature__signer_id": "other"}, "receipt signature verification failed"),
    ({"signature__signed_at_epoch_ms": 1235}, "receipt signature verification failed"),
    ({"claims_digest_hex": H}, CLAIMS),
    ({"signature__public_key_hex": "ab"},
     "malformed signature.public_key_hex: expected 64 hex chars, found 2"),
    ({"signature__public_key_hex": "02" + "ff" * 31},
     "malformed signature.public_key_hex: signature error: Cannot decompress Edwards point"),
    ({"signature__signature_hex": "0" * 127},
     "malformed signature.signature_hex: expected 128 hex chars, found 127"),
    # The claims digest is checked before the key it is signed under.
    ({"claims_digest_hex": H, "signature__public_key_hex": "ab"}, CLAIMS),
    # The key is compared with the trusted one before the signature is read.
    ({"signature__public_key_hex": "00" * 32, "signature__signature_hex": "x"},
     "receipt signer does not match the trusted key"),
])
def test_verify_signature_failures(case, changes, message):
    raises_receipt(message, tampered(signed(case), **changes).verify_signature, PUB)


def test_verify_signature_ordering_and_keys(case):
    s, i, d = case
    unsigned = tampered(s.issue_receipt(i, d), claims_digest_hex="bad")
    raises_receipt("receipt has no signature", unsigned.verify_signature, PUB)
    r = signed(case)
    raises_receipt("trusted_public_key must be exactly 32 bytes, found 33", r.verify_signature,
                   bytes(33), exc=m.ArtifactValidationError)
    # The flag is a claim like any other: a signature made over false passes.
    flag = resealed(s.issue_receipt(i, d), replay_valid=False)
    flag.sign(SEED, "x", 1)
    flag.verify_signature(PUB)
    raises_receipt("receipt asserts replay_valid=false", flag.verify, s, i, d)


# --- anchors and verify_full ---

def test_verify_full_and_anchor_checks(case):
    s, i, d = case
    state, wal = anchors()
    r = signed(case, state=state, wal=wal)
    r.verify_full(s, i, d, PUB, state, wal)
    assert r.wal is not r.wal and r.wal.as_dict() == wal.as_dict()
    r.verify_wal(7, H)
    before, after = state.state_digest_before_hex, state.state_digest_after_hex
    r.verify_state(state.step, before, after)
    raises_receipt("receipt WAL anchor mismatch", r.verify_wal, 7, H.upper())
    raises_receipt("receipt state anchor mismatch", r.verify_state, state.step,
                   before.upper(), after)
    raises_receipt("receipt WAL anchor mismatch", r.verify_full, s, i, d, PUB, state,
                   m.ReceiptWal(7, H2))
    assert "expected_state" in note_of(r.verify_full, s, i, d, PUB, None, wal)
    raises_receipt("receipt state anchor mismatch", signed(case, wal=wal).verify_full,
                   s, i, d, PUB, state, wal)
    raises_receipt("receipt WAL anchor mismatch", signed(case, state=state).verify_full,
                   s, i, d, PUB, state, wal)


def separate_checks(r, s, i, d, state, wal):
    """The first failure of the separate checks, run in verify_full's order."""
    steps = [lambda: r.verify(s, i, d), lambda: r.verify_signature(PUB),
             lambda: r.verify_state(state.step, state.state_digest_before_hex,
                                    state.state_digest_after_hex),
             lambda: r.verify_wal(wal.sequence, wal.entry_hash)]
    for step in steps:
        try:
            step()
        except m.ReceiptError as e:
            return e.args
    return None


@pytest.mark.parametrize("changes", [
    {}, {"schema_version": "x"}, {"replay_valid": False}, {"policy_digest_hex": H},
    {"claims_digest_hex": H}, {"state__step": 0}, {"wal__entry_hash": H2},
    {"signature": None}, {"signature": None, "policy_digest_hex": H},
    {"signature__public_key_hex": "02" + "ff" * 31},
    {"signature__public_key_hex": "00" * 32}, {"signature__signature_hex": "00" * 64},
    {"signature__signature_hex": "0" * 127}, {"signature__signer_id": "other"},
    {"signature__signer_id": "other", "wal__entry_hash": H2},
])
@pytest.mark.parametrize("reseal", [False, True])
def test_verify_full_answers_as_the_separate_checks(case, changes, reseal):
    # verify_full reads the claims digest once for the claims and the
    # signature; its answer must still be that of the checks one by one.
    s, i, d = case
    state, wal = anchors()
    r = (resealed if reseal else tampered)(signed(case, state=state, wal=wal), **changes)
    try:
        r.verify_full(s, i, d, PUB, state, wal)
        answer = None
    except m.ReceiptError as e:
        answer = e.args
    assert answer == separate_checks(r, s, i, d, state, wal)


def test_verify_full_order_of_argument_checks(case):
    s, i, d = case
    state, wal = anchors()
    r = signed(case, state=state, wal=wal)
    bad = request()
    bad.risk_bps = 10001
    raised(m.ArtifactValidationError, r.verify_full, s, bad, d, b"", state, wal)  # key first
    raised(ValueError, r.verify_full, s, bad, d, PUB, state, wal)


def calls(back):
    """An integer whose conversion first calls back into Python."""
    return type("Calls", (), {"__index__": lambda self: (back(), 5)[1]})()


@pytest.mark.parametrize("outer", ["sign", "verify_wal"])
def test_reentrant_calls_are_refused(case, outer):
    s, i, d = case
    r = s.issue_receipt(i, d)
    inner = calls(lambda: r.sign(SEED, "inner", 1))
    with pytest.raises(RuntimeError):
        r.sign(SEED, "outer", inner) if outer == "sign" else r.verify_wal(inner, H)
    assert r.signer_id is None
    r.sign(SEED, "after", 1)  # a refused call leaves the receipt usable
    assert r.signer_id == "after"
