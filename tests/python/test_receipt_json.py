import json

import pytest

from morvatel import _core as m

MODELS = [(1, 1, 9000, 10000, 1, 100, 0, 1, 1000, 2000)]
H = "0123456789abcdef" * 4
SEED = b"\x07" * 32
FIELDS = ["schema_version", "policy_epoch", "catalog_epoch", "policy_digest_hex",
          "input_digest_hex", "decision_digest_hex", "replay_valid", "state", "wal",
          "claims_digest_hex", "signature"]
UNKNOWN = "expected one of " + ", ".join(f"`{f}`" for f in FIELDS)


def issue(state=False, wal=False, sign=False):
    s = m.PolicySnapshot(3, 4, 9000, 1000, 10000, 7, [m.KernelModel(*r) for r in MODELS])
    i = m.KernelInput(21, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0, m.ALL_PROVIDERS, 1)
    chain = m.StateChain(b"")
    r = s.issue_receipt(i, s.prescribe(i),
                        state=m.ReceiptState.from_transition(chain.advance(b"x")) if state else None,
                        wal=m.ReceiptWal(5, H) if wal else None)
    if sign:
        r.sign(SEED, "signer", 99)
    return r


def obj(**kw):
    d = json.loads(issue(state=True, wal=True, sign=True).to_json())
    d.update(kw)
    return d


def read(value):
    return m.DecisionReceipt.from_json(value if isinstance(value, str) else json.dumps(value))


def refused(text, message):
    with pytest.raises(m.ArtifactValidationError) as e:
        read(text)
    assert e.value.args == (message,)


@pytest.mark.parametrize("state, wal, sign, keys", [
    (False, False, False, [k for k in FIELDS if k not in ("state", "wal", "signature")]),
    (False, True, False, [k for k in FIELDS if k not in ("state", "signature")]),
    (True, False, True, [k for k in FIELDS if k != "wal"]),
    (True, True, True, FIELDS),
])
def test_written_form(state, wal, sign, keys):
    r = issue(state, wal, sign)
    text = r.to_json()
    assert list(json.loads(text)) == keys
    assert " " not in text and "\n" not in text
    assert text.startswith('{"schema_version":"morvatel.receipt.v1","policy_epoch":3,')
    back = read(text)
    assert back.to_json() == text
    assert repr(back) == repr(r)
    assert ("signed=true" in repr(r)) == sign
    d1, d2 = r.as_dict(), r.as_dict()
    assert d1 == d2 == json.loads(text) and d1 is not d2
    assert list(d1) == keys
    if state:
        assert list(d1["state"]) == ["step", "state_digest_before_hex", "state_digest_after_hex"]
    if sign:
        assert list(d1["signature"]) == ["signer_id", "signed_at_epoch_ms", "public_key_hex",
                                         "signature_hex"]


def test_read_back_passes_the_same_verifications():
    r = issue(state=True, wal=True, sign=True)
    back = read(r.to_json())
    key = bytes.fromhex(r.public_key_hex)
    back.verify_signature(key)
    back.verify_full(*verify_args(), key, r.state, r.wal)


def verify_args():
    s = m.PolicySnapshot(3, 4, 9000, 1000, 10000, 7, [m.KernelModel(*r) for r in MODELS])
    i = m.KernelInput(21, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0, m.ALL_PROVIDERS, 1)
    return s, i, s.prescribe(i)


def test_array_form_and_nulls():
    d = obj()
    arr = [d[k] for k in FIELDS]
    assert read(arr).to_json() == issue(True, True, True).to_json()
    arr[7] = arr[8] = arr[10] = None
    r = read(arr)
    assert (r.state, r.wal, r.signer_id) == (None, None, None)
    r = read(obj(state=None))
    assert r.state is None and "state" not in r.to_json()
    nested = obj(state=[1, H, H], wal=[2, H], signature=["a", 1, H, H * 2])
    r = read(nested)
    assert (r.state.step, r.wal.sequence, r.signer_id) == (1, 2, "a")
    assert read("  \n" + json.dumps(d) + "\t\r\n").to_json() == json.dumps(d, separators=(",", ":"))


def test_reader_accepts_any_contents():
    r = read(obj(schema_version="other", policy_digest_hex=H.upper(), replay_valid=False,
                 state={"step": 0, "state_digest_before_hex": "", "state_digest_after_hex": "x"},
                 claims_digest_hex="short", policy_epoch=2**64 - 1))
    assert (r.schema_version, r.replay_valid, r.state.step) == ("other", False, 0)
    assert r.policy_epoch == 2**64 - 1
    assert '"policy_epoch":18446744073709551615' in r.to_json()
    with pytest.raises(m.ReceiptError):
        r.verify(*verify_args())


def test_strings_escape_and_round_trip():
    d = obj()
    d["signature"]["signer_id"] = "line\nzoë\"\\\x01\x7f"
    r = read(d)
    text = r.to_json()
    assert '"signer_id":"line\\nzoë\\"\\\\\\u0001\x7f"' in text
    assert r.signer_id == "line\nzoë\"\\\x01\x7f"
    assert read(text).to_json() == text
    text = json.dumps(obj(schema_version="\U0001F600"))  # written as a surrogate pair
    assert "\\ud83d\\ude00" in text
    assert read(text).schema_version == "\U0001F600"


def lacks(*keys):
    d = obj()
    for k in keys:
        del d[k]
    return d


@pytest.mark.parametrize("text, message", [
    ("42", "invalid type: integer `42`, expected struct DecisionReceipt at line 1 column 2"),
    ('{"note": 1}', f"unknown field `note`, {UNKNOWN} at line 1 column 7"),
    (lacks("policy_epoch", "claims_digest_hex"), None),
    (lacks("claims_digest_hex"), None),
    ('{"schema_version":"x","schema_version":"y"}',
     "duplicate field `schema_version` at line 1 column 38"),
    ("[]", "invalid length 0, expected struct DecisionReceipt with 11 elements "
           "at line 1 column 2"),
    ('{"wal":{"hash":1}}',
     "unknown field `hash`, expected `sequence` or `entry_hash` at line 1 column 14"),
    ('{"state":5}', "invalid type: integer `5`, expected struct ReceiptState at line 1 column 10"),
    ('{"state":[1,"a"]}',
     "invalid length 2, expected struct ReceiptState with 3 elements at line 1 column 16"),
    ('{"wal":[1]}', "invalid length 1, expected struct ReceiptWal with 2 elements "
                    "at line 1 column 10"),
    ('{"signature":[]}', "invalid length 0, expected struct ReceiptSignature with 4 elements "
                         "at line 1 column 15"),
    ('{"signature":{"x":1}}', "unknown field `x`, expected one of `signer_id`, "
     "`signed_at_epoch_ms`, `public_key_hex`, `signature_hex` at line 1 column 17"),
    ('{\n "state": {"step": 1,\n  "zz": 2}}', "unknown field `zz`, expected one of `step`, "
     "`state_digest_before_hex`, `state_digest_after_hex` at line 3 column 6"),
    ('{"policy_epoch":-1}', "invalid value: integer `-1`, expected u64 at line 1 column 18"),
])
def test_reader_refusals(text, message):
    if message is None:  # the first absent field in declaration order
        missing = [k for k in FIELDS if k not in text][0]
        body = json.dumps(text)
        message = f"missing field `{missing}` at line 1 column {len(body)}"
        text = body
    refused(text, message)


def test_array_form_lengths():
    arr = [obj()[k] for k in FIELDS]
    refused(json.dumps(arr[:10]), "invalid length 10, expected struct DecisionReceipt "
            f"with 11 elements at line 1 column {len(json.dumps(arr[:10]))}")
    with pytest.raises(m.ArtifactValidationError, match="^trailing characters at line 1"):
        read(arr + [None])
    with pytest.raises(m.ArtifactValidationError, match="^trailing characters at line 1"):
        read(json.dumps(obj()) + " x")


def test_from_json_argument():
    with pytest.raises(TypeError) as e:
        m.DecisionReceipt.from_json(b"{}")
    assert "value" in str(e.value.__notes__)
    assert m.DecisionReceipt.__doc__ is None
