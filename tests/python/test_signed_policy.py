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

SEED = bytes(range(32))
OTHER_SEED = bytes([0xA5]) * 32
# RFC 8032 section 7.1, TEST 1.
RFC_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
RFC_PUBLIC = bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")
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


PINNED = ref.public_key(SEED)
OTHER = ref.public_key(OTHER_SEED)


def message(digest_hex, signed_at, signer_id):
    return (b"morvsig1\x00" + bytes.fromhex(digest_hex) + struct.pack("<Q", signed_at)
            + signer_id.encode("utf-8"))


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def with_fields(record, **changes):
    fields = json.loads(record.to_json())
    fields.update(changes)
    return SignedPolicy.from_json(compact(fields))


def provenance_message(record, snap, key):
    with pytest.raises(ProvenanceError) as err:
        record.verify(snap, key)
    assert type(err.value) is ProvenanceError and len(err.value.args) == 1
    return str(err.value)


# --- what is signed -------------------------------------------------------------

@pytest.mark.parametrize("signer_id, signed_at", [
    ("", 0),
    ("policy-team", 1_700_000_000_000),
    ("Zoë ✓ 署名者 🔏 nul\x00", 2**64 - 1),
])
def test_signature_is_rfc8032_over_the_documented_message(snap, signer_id, signed_at):
    record = snap.sign_policy(SEED, signer_id, signed_at)
    m = message(snap.fingerprint(), signed_at, signer_id)
    assert record.signature_hex == ref.sign(SEED, m).hex()
    assert (record.policy_digest_hex, record.signer_id, record.signed_at_epoch_ms,
            record.public_key_hex) == (snap.fingerprint(), signer_id, signed_at, PINNED.hex())
    record.verify(snap, PINNED)


@pytest.mark.parametrize("seed", [RFC_SEED, bytes(32), b"\xff" * 32])
def test_public_key_from_signing_key_is_rfc8032_key_generation(snap, seed):
    pub = public_key_from_signing_key(seed)
    assert type(pub) is bytes and pub == ref.public_key(seed)
    assert pub.hex() == snap.sign_policy(seed, "k", 0).public_key_hex
    assert seed != RFC_SEED or pub == RFC_PUBLIC


# --- argument and key checks ------------------------------------------------------

@pytest.mark.parametrize("length", [0, 31, 33])
def test_seed_of_wrong_length(snap, length):
    text = f"signing_key must be exactly 32 bytes, found {length}"
    with pytest.raises(ArtifactValidationError) as e1:
        snap.sign_policy(b"\x01" * length, "x", 0)
    with pytest.raises(ArtifactValidationError) as e2:
        public_key_from_signing_key(b"\x01" * length)
    assert str(e1.value) == str(e2.value) == text
    assert e1.value.args == (text,)


@pytest.mark.parametrize("key, text", [
    (b"", "trusted_public_key must be exactly 32 bytes, found 0"),
    (b"\x00" * 33, "trusted_public_key must be exactly 32 bytes, found 33"),
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
    with pytest.raises(exc) as err:
        call(snap, signed)
    assert type(err.value) is exc
    assert f"while processing '{name}'" in getattr(err.value, "__notes__", [])


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


def _s_plus_l(sig_hex):
    sig = bytes.fromhex(sig_hex)
    return (sig[:32] + (int.from_bytes(sig[32:], "little") + ref.L).to_bytes(32, "little")).hex()


def _flip(text, i):
    return text[:i] + ("0" if text[i] != "0" else "1") + text[i + 1:]


PIN = "verifying key does not match the pinned trust anchor"
BAD_SIG = "signature verification failed"


@pytest.mark.parametrize("changes, other, key, text", [
    # Any field changed after signing is caught.
    (lambda r: {"signer_id": "policy-team "}, False, PINNED, BAD_SIG),
    (lambda r: {"signed_at_epoch_ms": 1_700_000_000_001}, False, PINNED, BAD_SIG),
    (lambda r: {"signature_hex": _flip(r.signature_hex, 0)}, False, PINNED, BAD_SIG),
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
    # S + L: the same scalar mod L, refused because S must be below L.
    (lambda r: {"signature_hex": _s_plus_l(r.signature_hex)}, False, PINNED, BAD_SIG),
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
    ("", "expected 128 hex chars, found 0"),
    # Lengths and offsets count bytes: é is two of them.
    ("é" * 60 + "a" * 7, "expected 128 hex chars, found 127"),
    ("ab" * 63 + "é", "invalid hex at offset 126"),
    ("A" + "a" * 127, "invalid hex at offset 0"),
    ("a" * 127 + "F", "invalid hex at offset 127"),
    ("a" * 10 + "X" + "a" * 10 + "Y" + "a" * 106, "invalid hex at offset 10"),
])
def test_malformed_signature_hex(snap, signed, signature_hex, reason):
    record = with_fields(signed, signature_hex=signature_hex)
    assert provenance_message(record, snap, PINNED) == f"malformed signature_hex: {reason}"


# --- JSON form -------------------------------------------------------------------------

@pytest.mark.parametrize("signer_id", [
    "", "quote\" backslash\\ slash/", "\b\f\n\r\t\x00\x01\x1f\x7f", "Zoë ✓ 🔏 \u2028\u2029",
])
def test_to_json_is_compact_in_field_order(snap, signer_id):
    record = snap.sign_policy(SEED, signer_id, 2**64 - 1)
    text = record.to_json()
    expected = {f: getattr(record, f) for f in FIELDS}
    assert text == compact(expected)
    d = record.as_dict()
    assert type(d) is dict and list(d) == FIELDS and d == expected
    back = SignedPolicy.from_json(text)
    assert [getattr(back, f) for f in FIELDS] == [getattr(record, f) for f in FIELDS]
    back.verify(snap, PINNED)


def test_reader_accepts_any_key_order_whitespace_and_the_array_form(snap, signed):
    values = [getattr(signed, f) for f in FIELDS]
    reordered = "{" + ",".join(f'"{f}":{json.dumps(getattr(signed, f))}'
                               for f in reversed(FIELDS)) + "}"
    for text in (reordered, compact(values), " \n\t" + json.dumps(values, indent=2) + "\r\n "):
        record = SignedPolicy.from_json(text)
        assert [getattr(record, f) for f in FIELDS] == values
        record.verify(snap, PINNED)


def test_reader_checks_no_contents():
    record = SignedPolicy.from_json(compact(["not hex", "", 0, "KEY", ""]))
    assert record.policy_digest_hex == "not hex" and record.public_key_hex == "KEY"


def _col(text, token):
    """1-based column of the last byte of `token`'s first occurrence."""
    return text.index(token) + len(token)


VALID = ["d" * 64, "s", 1, "k" * 64, "a" * 128]
OBJ = dict(zip(FIELDS, VALID))
EXPECTED_KEYS = "one of " + ", ".join(f"`{f}`" for f in FIELDS)


def _reader_cases():
    t = compact({**OBJ, "extra": 1})
    yield t, f"unknown field `extra`, expected {EXPECTED_KEYS}", 1, _col(t, '"extra"')
    # An unknown key is refused at once, even before a later missing one.
    t = '{"Signer_id":1}'
    yield t, f"unknown field `Signer_id`, expected {EXPECTED_KEYS}", 1, _col(t, '"Signer_id"')
    t = '{"signer_id":"a","signed_at_epoch_ms":1,"signer_id":"b"}'
    yield t, "duplicate field `signer_id`", 1, len(t) - len(':"b"}')
    for missing in FIELDS:
        fields = {k: v for k, v in OBJ.items() if k != missing}
        t = compact(fields)
        yield t, f"missing field `{missing}`", 1, len(t)
    t = compact({"signature_hex": "x"})
    yield t, "missing field `policy_digest_hex`", 1, len(t)
    t = compact(VALID[:3])
    yield t, "invalid length 3, expected struct SignedPolicy with 5 elements", 1, len(t)
    for top, found in [("5", "integer `5`"), ('"x"', 'string "x"'), ("true", "boolean `true`"),
                       ("null", "null"), ("-1.5", "floating point `-1.5`")]:
        yield top, f"invalid type: {found}, expected struct SignedPolicy", 1, len(top)
    t = compact({**OBJ, "signed_at_epoch_ms": -1})
    yield t, "invalid value: integer `-1`, expected u64", 1, _col(t, "-1")
    # A number beyond u64 is read as a float and shown in plain decimal.
    t = compact({**OBJ, "signed_at_epoch_ms": 2**64})
    yield (t, "invalid type: floating point `18446744073709552000.0`, expected u64", 1,
           _col(t, str(2**64)))
    t = compact({**OBJ, "signed_at_epoch_ms": "1"})
    yield t, 'invalid type: string "1", expected u64', 1, _col(t, '"1"')
    t = compact({**OBJ, "signer_id": 7})
    yield t, "invalid type: integer `7`, expected a string", 1, _col(t, ":7")
    t = compact({**OBJ, "public_key_hex": None})
    yield t, "invalid type: null, expected a string", 1, _col(t, "null")
    t = compact(OBJ) + " x"
    yield t, "trailing characters", 1, len(t)
    t = json.dumps({**OBJ, "extra": 1}, indent=2)
    yield t, f"unknown field `extra`, expected {EXPECTED_KEYS}", 7, 9


@pytest.mark.parametrize("text, description, line, column", list(_reader_cases()))
def test_reader_errors(text, description, line, column):
    with pytest.raises(ArtifactValidationError) as err:
        SignedPolicy.from_json(text)
    assert str(err.value) == f"{description} at line {line} column {column}"


@pytest.mark.parametrize("text", [
    compact({**OBJ, "signed_at_epoch_ms": 1.0}),
    compact({**OBJ, "signed_at_epoch_ms": True}),
    "",
    '{"signer_id":"\\ud800"}',
])
def test_reader_refuses_other_malformed_text(text):
    with pytest.raises(ArtifactValidationError, match=r" at line \d+ column \d+$"):
        SignedPolicy.from_json(text)


def test_truncated_text_reports_the_end(signed):
    text = signed.to_json()
    for cut in range(1, len(text)):
        with pytest.raises(ArtifactValidationError) as err:
            SignedPolicy.from_json(text[:cut])
        message = str(err.value)
        assert message.startswith("EOF while parsing"), (cut, message)
        assert message.endswith(f" at line 1 column {cut}"), (cut, message)


# --- the class ----------------------------------------------------------------------------

@pytest.mark.parametrize("signer_id, shown", [
    ("", '""'),
    ('say "hi"\\', '"say \\"hi\\"\\\\"'),
    ("tab\tnl\ncr\rnul\x00", '"tab\\tnl\\ncr\\rnul\\0"'),
    ("bell\x07del\x7f", '"bell\\u{7}del\\u{7f}"'),
    ("it's Zoë ✓ 🔏", "\"it's Zoë ✓ 🔏\""),
    # Invisible characters are escaped: C1 controls, format and separator
    # characters, combining marks.
    ("nel\u0085csi\u009b", '"nel\\u{85}csi\\u{9b}"'),
    ("zero\u200bwidth\u00a0nbsp e\u0301", '"zero\\u{200b}width\\u{a0}nbsp e\\u{301}"'),
])
def test_repr(snap, signer_id, shown):
    record = snap.sign_policy(SEED, signer_id, 42)
    assert repr(record) == (
        f"SignedPolicy(signer_id={shown}, signed_at_epoch_ms=42, "
        f"digest='{snap.fingerprint()[:8]}...')")


@pytest.mark.parametrize("digest, preview", [
    ("", ""), ("ééééééééé", "éééééééé"), ("0123456789", "01234567"),
])
def test_repr_digest_preview(digest, preview):
    record = SignedPolicy.from_json(compact([digest, "s", 2**64 - 1, "", ""]))
    assert repr(record) == (
        f"SignedPolicy(signer_id=\"s\", signed_at_epoch_ms={2**64 - 1}, digest='{preview}...')")


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


def test_text_signatures():
    assert PolicySnapshot.sign_policy.__text_signature__ == (
        "($self, signing_key_bytes, signer_id, signed_at_epoch_ms)")
    assert SignedPolicy.verify.__text_signature__ == "($self, snapshot, trusted_public_key)"
    assert SignedPolicy.from_json.__text_signature__ == "(value)"
    assert public_key_from_signing_key.__text_signature__ == "(signing_key_bytes)"
