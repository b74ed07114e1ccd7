"""Signed policies: the signed bytes, pinned-key verification, the JSON form."""

import json
import struct

import pytest

import ed25519_reference as ref
from kernel_samples import model, snapshot
from morvatel._core import (
    ArtifactValidationError,
    PolicySnapshot,
    ProvenanceError,
    SignedPolicy,
    public_key_from_signing_key,
)
from raising import raised

SEED = bytes(range(32))
PINNED = ref.public_key(SEED)
OTHER = ref.public_key(bytes([0xA5]) * 32)
FIELDS = ["policy_digest_hex", "signer_id", "signed_at_epoch_ms", "public_key_hex", "signature_hex"]


@pytest.fixture(scope="module")
def snap():
    return snapshot([model(1), model(2, quality_bps=8000)])


@pytest.fixture(scope="module")
def other_snap():
    return snapshot([model(1), model(2, quality_bps=8001)])


@pytest.fixture(scope="module")
def signed(snap):
    return snap.sign_policy(SEED, "policy-team", 1_700_000_000_000)


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def with_fields(record, **changes):
    return SignedPolicy.from_json(compact({**json.loads(record.to_json()), **changes}))


def provenance_message(record, snap, key):
    with pytest.raises(ProvenanceError) as err:
        record.verify(snap, key)
    assert type(err.value) is ProvenanceError and len(err.value.args) == 1
    return str(err.value)


# --- what is signed -------------------------------------------------------------

# A time whose bytes differ shows the byte order; all-ones would not.
@pytest.mark.parametrize("signer_id, signed_at", [
    ("", 0), ("policy-team", 1_700_000_000_000), ("Zoë ✓ 署名者 🔏 nul\x00", 2**64 - 1)])
def test_signature_is_rfc8032_over_the_documented_message(snap, signer_id, signed_at):
    record = snap.sign_policy(SEED, signer_id, signed_at)
    message = (b"morvsig1\x00" + bytes.fromhex(snap.fingerprint())
               + struct.pack("<Q", signed_at) + signer_id.encode())
    assert record.signature_hex == ref.sign(SEED, message).hex()
    assert (record.policy_digest_hex, record.signer_id, record.signed_at_epoch_ms,
            record.public_key_hex) == (snap.fingerprint(), signer_id, signed_at, PINNED.hex())
    record.verify(snap, PINNED)


def test_public_key_from_signing_key():
    # RFC 8032 section 7.1, TEST 1.
    seed = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
    pub = public_key_from_signing_key(seed)
    assert type(pub) is bytes
    assert pub.hex() == "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"


# --- argument and key checks ------------------------------------------------------

def test_seed_of_wrong_length(snap):
    text = "signing_key must be exactly 32 bytes, found 31"
    for call in (lambda: snap.sign_policy(SEED[:31], "x", 0),
                 lambda: public_key_from_signing_key(SEED[:31])):
        with pytest.raises(ArtifactValidationError) as err:
            call()
        assert err.value.args == (text,)


@pytest.mark.parametrize("key, text", [
    (b"", "trusted_public_key must be exactly 32 bytes, found 0"),
    ((2).to_bytes(32, "little"), "signature error: Cannot decompress Edwards point"),
])
def test_trusted_key_that_is_not_a_key(snap, other_snap, signed, key, text):
    # The key's form is checked before anything that concerns the record.
    for s in (snap, other_snap):
        with pytest.raises(ArtifactValidationError) as err:
            signed.verify(s, key)
        assert str(err.value) == text


@pytest.mark.parametrize("call, name, exc", [
    (lambda s, r: s.sign_policy(bytearray(32), "x", 0), "signing_key_bytes", TypeError),
    (lambda s, r: s.sign_policy(SEED, "x", "0"), "signed_at_epoch_ms", TypeError),
    (lambda s, r: s.sign_policy(SEED, "x", 2**64), "signed_at_epoch_ms", OverflowError),
    # Types are checked in parameter order, all before the seed's length.
    (lambda s, r: s.sign_policy(b"short", 5, -1), "signer_id", TypeError),
    (lambda s, r: s.sign_policy(b"short", "x", -1), "signed_at_epoch_ms", OverflowError),
    (lambda s, r: public_key_from_signing_key(memoryview(SEED)), "signing_key_bytes", TypeError),
    (lambda s, r: SignedPolicy.from_json(b"{}"), "value", TypeError),
    # A str that has no UTF-8 form is refused at extraction.
    (lambda s, r: s.sign_policy(SEED, "\ud800", 0), "signer_id", UnicodeEncodeError),
    (lambda s, r: SignedPolicy.from_json('"\ud800"'), "value", UnicodeEncodeError),
    # verify checks its argument types before the key's length.
    (lambda s, r: r.verify(None, b"short"), "snapshot", TypeError),
    (lambda s, r: r.verify(s, bytearray(32)), "trusted_public_key", TypeError),
])
def test_argument_types(snap, signed, call, name, exc):
    err = raised(exc, call, snap, signed)
    assert f"while processing '{name}'" in getattr(err, "__notes__", [])


def test_keyword_arguments_and_bytes_subclasses(snap, signed):
    record = snap.sign_policy(signing_key_bytes=SEED, signer_id="kw", signed_at_epoch_ms=9)
    record.verify(snapshot=snap, trusted_public_key=PINNED)
    assert public_key_from_signing_key(signing_key_bytes=SEED) == PINNED
    assert SignedPolicy.from_json(value=record.to_json()).signer_id == "kw"
    B = type("B", (bytes,), {})
    assert public_key_from_signing_key(B(SEED)) == PINNED
    assert snap.sign_policy(B(SEED), "policy-team", 1_700_000_000_000).to_json() == signed.to_json()
    signed.verify(snap, B(PINNED))


# --- verification ------------------------------------------------------------------

def test_digest_mismatch_names_the_record_first(snap, other_snap, signed):
    assert provenance_message(signed, other_snap, PINNED) == (
        f"policy digest mismatch: artifact signs {snap.fingerprint()}, "
        f"snapshot digests to {other_snap.fingerprint()}")


def _flip(text, i):
    return text[:i] + ("0" if text[i] != "0" else "1") + text[i + 1:]


PIN = "verifying key does not match the pinned trust anchor"
BAD_SIG = "signature verification failed"


@pytest.mark.parametrize("changes, other, key, text", [
    # Any field changed after signing is caught.
    (lambda r: {"signer_id": "policy-team "}, False, PINNED, BAD_SIG),
    (lambda r: {"signed_at_epoch_ms": 1_700_000_000_001}, False, PINNED, BAD_SIG),
    (lambda r: {"signature_hex": _flip(r.signature_hex, 127)}, False, PINNED, BAD_SIG),
    (lambda r: {"policy_digest_hex": _flip(r.policy_digest_hex, 63)}, False, PINNED,
     "policy digest mismatch"),
    (lambda r: {"public_key_hex": _flip(r.public_key_hex, 0)}, False, PINNED, PIN),
    (lambda r: {"public_key_hex": r.public_key_hex.upper()}, False, PINNED, PIN),
    # The neutral point: small order, still a point, so it reaches the pin.
    (lambda r: {}, False, (1).to_bytes(32, "little"), PIN),
    # A record that claims another key gets past the pin for that key, but
    # the signature was made with the first one.
    (lambda r: {"public_key_hex": OTHER.hex()}, False, OTHER, BAD_SIG),
    # Check order: the pinned key wins over everything that concerns the
    # policy, the digest over the signature's form, and the form is checked
    # before the signature.
    (lambda r: {}, True, OTHER, PIN),
    (lambda r: {"signature_hex": "zz" + r.signature_hex[2:]}, False, OTHER, PIN),
    (lambda r: {"signature_hex": "zz" + r.signature_hex[2:]}, True, PINNED,
     "policy digest mismatch"),
    (lambda r: {"signature_hex": "zz" + r.signature_hex[2:], "signer_id": "mallory"}, False,
     PINNED, "malformed signature_hex: invalid hex at offset 0"),
])
def test_verification_refusals(snap, other_snap, signed, changes, other, key, text):
    record = with_fields(signed, **changes(signed))
    assert provenance_message(record, other_snap if other else snap, key).startswith(text)


@pytest.mark.parametrize("signature_hex, reason", [
    ("ab" * 63 + "a", "expected 128 hex chars, found 127"),
    ("ab" * 64 + "a", "expected 128 hex chars, found 129"),
    # Lengths and offsets count bytes: é is two of them.
    ("é" * 60 + "a" * 7, "expected 128 hex chars, found 127"),
    ("ab" * 63 + "é", "invalid hex at offset 126"),
    ("a" * 127 + "F", "invalid hex at offset 127"),
    ("a" * 10 + "X" + "a" * 10 + "Y" + "a" * 106, "invalid hex at offset 10"),
])
def test_malformed_signature_hex(snap, signed, signature_hex, reason):
    record = with_fields(signed, signature_hex=signature_hex)
    assert provenance_message(record, snap, PINNED) == f"malformed signature_hex: {reason}"


# --- JSON form -------------------------------------------------------------------------

def test_json_and_dict_forms(snap):
    record = snap.sign_policy(SEED, "quote\" \\ \n\x01 Zoë ✓ 🔏 \u2028", 2**64 - 1)
    expected = {f: getattr(record, f) for f in FIELDS}
    text = record.to_json()
    assert text == compact(expected)
    d = record.as_dict()
    assert type(d) is dict and list(d) == FIELDS and d == expected
    back = SignedPolicy.from_json(text)
    assert [getattr(back, f) for f in FIELDS] == list(expected.values())
    back.verify(snap, PINNED)
    # The reader checks the shape only, not the contents.
    record = SignedPolicy.from_json(compact(["not hex", "", 0, "KEY", ""]))
    assert record.policy_digest_hex == "not hex" and record.public_key_hex == "KEY"


OBJ = dict(zip(FIELDS, ["d" * 64, "s", 1, "k" * 64, "a" * 128]))


def _reader_cases():
    t = compact({**OBJ, "extra": 1})
    yield t, ("unknown field `extra`, expected one of "
              + ", ".join(f"`{f}`" for f in FIELDS)), t.index("\"extra\"") + 7
    t = compact({k: v for k, v in OBJ.items() if k != "signature_hex"})
    yield t, "missing field `signature_hex`", len(t)
    t = compact(list(OBJ.values())[:3])
    yield t, "invalid length 3, expected struct SignedPolicy with 5 elements", len(t)
    yield "5", "invalid type: integer `5`, expected struct SignedPolicy", 1
    t = compact({**OBJ, "signed_at_epoch_ms": -1})
    yield t, "invalid value: integer `-1`, expected u64", t.index("-1") + 2
    t = compact({**OBJ, "signer_id": 7})
    yield t, "invalid type: integer `7`, expected a string", t.index(":7") + 2


@pytest.mark.parametrize("text, description, column", list(_reader_cases()))
def test_reader_errors(text, description, column):
    with pytest.raises(ArtifactValidationError) as err:
        SignedPolicy.from_json(text)
    assert str(err.value) == f"{description} at line 1 column {column}"


# --- the class ----------------------------------------------------------------------------

@pytest.mark.parametrize("signer_id, shown", [
    ('say "hi"\\', '"say \\"hi\\"\\\\"'),
    ("it's Zoë\x07 e\u0301", "\"it's Zoë\\u{7} e\\u{301}\""),
])
def test_repr(snap, signer_id, shown):
    record = snap.sign_policy(SEED, signer_id, 42)
    assert repr(record) == (
        f"SignedPolicy(signer_id={shown}, signed_at_epoch_ms=42, "
        f"digest='{snap.fingerprint()[:8]}...')")
    record = SignedPolicy.from_json(compact(["ééééééééé", "s", 2**64 - 1, "", ""]))
    assert repr(record) == (
        f"SignedPolicy(signer_id=\"s\", signed_at_epoch_ms={2**64 - 1}, digest='éééééééé...')")


def test_class_shape(signed):
    assert SignedPolicy.__module__ == "morvatel._core"
    with pytest.raises(TypeError):
        SignedPolicy()
    with pytest.raises(TypeError):
        type("Sub", (SignedPolicy,), {})
    with pytest.raises(AttributeError):
        signed.signer_id = "x"
    with pytest.raises(AttributeError):
        signed.note = 1
    # Identity semantics: no comparison or hash of its own.
    twin = SignedPolicy.from_json(signed.to_json())
    assert twin != signed and twin == twin
    assert PolicySnapshot.sign_policy.__text_signature__ == (
        "($self, signing_key_bytes, signer_id, signed_at_epoch_ms)")
    assert SignedPolicy.verify.__text_signature__ == "($self, snapshot, trusted_public_key)"
    assert SignedPolicy.from_json.__text_signature__ == "(value)"
