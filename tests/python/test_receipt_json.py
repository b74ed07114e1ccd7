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


def verify_args():
    s = m.PolicySnapshot(3, 4, 9000, 1000, 10000, 7, [m.KernelModel(*r) for r in MODELS])
    i = m.KernelInput(21, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0, m.ALL_PROVIDERS, 1)
    return s, i, s.prescribe(i)


def issue(state=False, wal=False, sign=False):
    s, i, d = verify_args()
    chain = m.StateChain(b"")
    r = s.issue_receipt(i, d,
                        state=m.ReceiptState.from_transition(chain.advance(b"x")) if state else None,
                        wal=m.ReceiptWal(5, H) if wal else None)
    if sign:
        r.sign(SEED, "signer", 99)
    return r


def obj(**kw):
    return {**json.loads(issue(state=True, wal=True, sign=True).to_json()), **kw}


def read(value):
    return m.DecisionReceipt.from_json(value if isinstance(value, str) else json.dumps(value))


@pytest.mark.parametrize("state, wal, sign, absent", [
    (False, False, False, ("state", "wal", "signature")),
    (False, True, False, ("state", "signature")),
    (True, False, True, ("wal",)),
    (True, True, True, ()),
])
def test_written_form(state, wal, sign, absent):
    r = issue(state, wal, sign)
    text = r.to_json()
    keys = [k for k in FIELDS if k not in absent]
    assert text.startswith('{"schema_version":"morvatel.receipt.v1","policy_epoch":3,')
    assert list(json.loads(text)) == keys and " " not in text
    back = read(text)
    assert back.to_json() == text and repr(back) == repr(r)
    d1, d2 = r.as_dict(), r.as_dict()
    assert d1 == d2 == json.loads(text) and d1 is not d2 and list(d1) == keys
    for k in ("state", "wal", "signature"):
        if k not in absent:
            assert list(d1[k]) == list(json.loads(text)[k])
    if sign:  # read back, it passes the same checks
        key = bytes.fromhex(r.public_key_hex)
        back.verify_signature(key)
        if state and wal:
            back.verify_full(*verify_args(), key, r.state, r.wal)


def test_array_form_and_nulls():
    d = obj()
    arr = [d[k] for k in FIELDS]
    assert read(arr).to_json() == issue(True, True, True).to_json()
    arr[7] = arr[8] = arr[10] = None
    r = read(arr)
    assert (r.state, r.wal, r.signer_id) == (None, None, None)
    r = read(obj(state=None))
    assert r.state is None and "state" not in r.to_json()
    r = read(obj(state=[1, H, H], wal=[2, H], signature=["a", 1, H, H * 2]))
    assert (r.state.step, r.wal.sequence, r.signer_id) == (1, 2, "a")


def test_reader_accepts_any_contents():
    r = read(obj(schema_version="other", policy_digest_hex=H.upper(), replay_valid=False,
                 state={"step": 0, "state_digest_before_hex": "", "state_digest_after_hex": "x"},
                 claims_digest_hex="short", policy_epoch=2**64 - 1))
    assert (r.schema_version, r.replay_valid, r.state.step) == ("other", False, 0)
    assert '"policy_epoch":18446744073709551615' in r.to_json()
    with pytest.raises(m.ReceiptError):
        r.verify(*verify_args())


@pytest.mark.parametrize("text, message", [
    ("42", "invalid type: integer `42`, expected struct DecisionReceipt at line 1 column 2"),
    ('{"note": 1}', f"unknown field `note`, {UNKNOWN} at line 1 column 7"),
    # The first absent field in declaration order is reported.
    (("policy_epoch", "claims_digest_hex"), "policy_epoch"),
    (("claims_digest_hex",), "claims_digest_hex"),
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
    ('{"state":{"zz":2}}', "unknown field `zz`, expected one of `step`, "
     "`state_digest_before_hex`, `state_digest_after_hex` at line 1 column 14"),
    ('{"policy_epoch":-1}', "invalid value: integer `-1`, expected u64 at line 1 column 18"),
])
def test_reader_refusals(text, message):
    if isinstance(text, tuple):
        text = json.dumps({k: v for k, v in obj().items() if k not in text})
        message = f"missing field `{message}` at line 1 column {len(text)}"
    with pytest.raises(m.ArtifactValidationError) as e:
        read(text)
    assert e.value.args == (message,)


def test_from_json_argument():
    with pytest.raises(TypeError) as e:
        m.DecisionReceipt.from_json(b"{}")
    assert "value" in str(e.value.__notes__)
