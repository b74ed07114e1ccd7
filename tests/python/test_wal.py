"""The audited log, checked against its documented line format.

Hashes are recomputed here with hashlib/hmac from the bytes on each line, so
the tests hold the file format to its description rather than to the
implementation's own reader.
"""

import hashlib
import hmac
import inspect
import json
import os
import re
import sys
import threading

import pytest

from morvatel import _core as m
import kernel_samples as ks
from raising import raised

KEY = bytes(range(32))
LONG_KEY = b"k" * 100
LINE = re.compile(rb'^\{"sequence":(\d+),"previous_hash":"([^"]*)","entry_hash":"([0-9a-f]{64})","data":(.*)\}$')
SNAP = ks.snapshot([ks.model(1), ks.model(2, quality_bps=9500)])


pytestmark = pytest.mark.usefixtures("lock_dir")


def decide(seq):
    inp = ks.request(request_sequence=seq, requested_model_id=1)
    return inp, SNAP.prescribe(inp)


def write_log(path, n, key=None, metadata='{"n":1}'):
    w = m.AuditedWal(path, hmac_key=key)
    entries = [w.append_verified(SNAP, *decide(i), metadata) for i in range(n)]
    anchor = w.anchor()
    w.close()
    return entries, anchor


def chain_hash(prev, data, key=None):
    mac = hashlib.sha256(prev + data) if key is None else hmac.new(key, prev + data, hashlib.sha256)
    return mac.hexdigest()


def split(line):
    match = LINE.match(line)
    assert match, line
    seq, prev, entry, data = match.groups()
    return int(seq), prev, entry.decode(), data


def rechain(path, edit):
    """Rewrites the log with `edit` applied to each entry's data and the chain recomputed."""
    prev, out = b"genesis", []
    for i, line in enumerate(open(path, "rb").read().splitlines()):
        seq, _, _, data = split(line)
        data = edit(i, data)
        h = chain_hash(prev, data)
        out.append(b'{"sequence":%d,"previous_hash":"%s","entry_hash":"%s","data":%s}\n'
                   % (seq, prev, h.encode(), data))
        prev = h.encode()
    open(path, "wb").write(b"".join(out))


def last_line(path):
    return split(open(path, "rb").read().splitlines()[-1])


def on_thread(f):
    t = threading.Thread(target=f)
    t.start()
    t.join()


def wal_error(call):
    """The text of the WalError (that exact class) `call` raises."""
    return str(raised(m.WalError, call))


# --- line format and chain -------------------------------------------------


@pytest.mark.parametrize("key", [None, KEY, LONG_KEY], ids=["plain", "key32", "key100"])
def test_chain_recomputed_independently(tmp_path, key):
    path = tmp_path / "log"
    entries, anchor = write_log(path, 4, key)
    raw = open(path, "rb").read()
    assert raw.endswith(b"}\n") and b"\r" not in raw and b" " not in raw
    prev = b"genesis"
    for i, line in enumerate(raw.splitlines()):
        seq, p, h, data = split(line)
        assert (seq, p) == (i + 1, prev)
        assert h == chain_hash(prev, data, key) == entries[i].entry_hash
        record = json.loads(data)
        assert list(record) == ["audit", "input", "decision", "metadata"]
        assert record["audit"]["replay_valid"] is True
        prev = h.encode()
    assert m.verify_audited_wal(path, hmac_key=key) == (4, prev.decode())
    w = m.AuditedWal(path, hmac_key=key)
    keyed = "true" if key else "false"
    assert repr(w) == f"AuditedWal(sequence=4, keyed={keyed}, last_hash='{prev[:8].decode()}...')"
    w.close()
    assert (anchor.sequence, anchor.last_hash, anchor.keyed) == (4, prev.decode(), key is not None)


def test_metadata_keeps_key_order_and_normalises_numbers(tmp_path):
    path = tmp_path / "log"
    write_log(path, 1, metadata='{"b": 1, "a": [1.5, 2e3, -0, 18446744073709551615, -5]}')
    assert last_line(path)[3].endswith(b'"metadata":{"b":1,"a":[1.5,2000.0,-0.0,18446744073709551615,-5]}}')


def test_every_single_byte_change_is_detected(tmp_path):
    path = tmp_path / "log"
    write_log(path, 2, KEY)
    original = open(path, "rb").read()
    for pos in range(len(original) - 1):  # the final line feed is optional
        tampered = bytearray(original)
        tampered[pos] ^= 0x01
        open(path, "wb").write(bytes(tampered))
        with pytest.raises(m.WalError):
            m.verify_audited_wal(path, hmac_key=KEY)
    open(path, "wb").write(original)
    assert m.verify_audited_wal(path, hmac_key=KEY)[0] == 2


def test_edited_data_names_entry_and_both_hashes(tmp_path):
    path = tmp_path / "log"
    write_log(path, 3)
    lines = open(path, "rb").read().splitlines(keepends=True)
    seq, prev, stored, data = split(lines[1].rstrip(b"\n"))
    edited = data.replace(b'"request_sequence":1', b'"request_sequence":8', 1)
    lines[1] = lines[1].replace(data, edited)
    open(path, "wb").write(b"".join(lines))
    assert wal_error(lambda: m.verify_audited_wal(path)) == (
        f"WAL chain broken at sequence 2: expected {chain_hash(prev, edited)}, found {stored}")


def test_whitespace_lines_crlf_and_missing_final_newline_are_accepted(tmp_path):
    path = tmp_path / "log"
    _, anchor = write_log(path, 3)
    lines = open(path, "rb").read().splitlines()
    text = b"\n \t\f\n" + lines[0] + b"\r\n\n" + lines[1] + b"\n\f\f\n" + lines[2]
    open(path, "wb").write(text)
    assert m.verify_audited_wal(path, anchor=anchor) == (3, anchor.last_hash)
    # The log opens for writing and goes on from there.
    w = m.AuditedWal(path)
    assert w.append_verified(SNAP, *decide(9), "null").sequence == 4
    w.close()
    # Logs of nothing but blank lines have the genesis head.
    for text in (b"", b"\n\n", b" \t\r\n\f\n"):
        path.write_bytes(text)
        assert m.verify_audited_wal(path) == (0, "genesis")
        assert m.replay_verify_audited_wal(path, SNAP) == []


@pytest.mark.parametrize("mutate, expected", [
    (lambda l: l + b"\f", "WAL JSON error: trailing characters"),
    (lambda l: l.replace(b'"sequence":1', b'"sequence":0'), "WAL sequence continuity violation: found 0"),
    (lambda l: l.replace(b'"sequence":1', b'"sequence":2'), "WAL sequence continuity violation: found 2"),
    (lambda l: l.replace(b'"genesis"', b'"genesiS"'),
     "WAL chain broken at sequence 1: expected genesis, found genesiS"),
    # The sequence is judged before the previous hash.
    (lambda l: l.replace(b'"genesis"', b'"genesiS"').replace(b'"sequence":1', b'"sequence":2'),
     "WAL sequence continuity violation: found 2"),
    (lambda l: l.replace(b'{"sequence"', b'{"extra":1,"sequence"'), "WAL JSON error: unknown field `extra`"),
    (lambda l: l.replace(b'"previous_hash":"genesis",', b""), "WAL JSON error: missing field `previous_hash`"),
])
def test_first_line_faults(tmp_path, mutate, expected):
    path = tmp_path / "log"
    write_log(path, 1)
    line = open(path, "rb").read().rstrip(b"\n")
    path.write_bytes(mutate(line) + b"\n")
    assert wal_error(lambda: m.verify_audited_wal(path)).startswith(expected)


def test_array_form_and_spaced_envelope_are_accepted_but_uppercase_hash_is_not(tmp_path):
    path = tmp_path / "log"
    write_log(path, 1)
    seq, prev, h, data = split(open(path, "rb").read().rstrip(b"\n"))
    path.write_bytes(b'[ %d , "%s" , "%s" , %s ]\n' % (seq, prev, h.encode(), data))
    assert m.verify_audited_wal(path) == (1, h)
    path.write_bytes(b'{ "data" : %s , "entry_hash":"%s","previous_hash":"%s","sequence":1}'
                     % (data, h.encode(), prev))
    assert m.verify_audited_wal(path) == (1, h)
    path.write_bytes(b'{"sequence":1,"previous_hash":"genesis","entry_hash":"%s","data":%s}'
                     % (h.upper().encode(), data))
    assert wal_error(lambda: m.verify_audited_wal(path)) == (
        f"WAL chain broken at sequence 1: expected {h}, found {h.upper()}")


@pytest.mark.parametrize("written, read", [(None, KEY), (KEY, None), (KEY, KEY + b"x")])
def test_key_mode_mismatch_breaks_at_entry_one(tmp_path, written, read):
    path = tmp_path / "log"
    write_log(path, 2, written)
    _, _, stored, data = split(open(path, "rb").read().splitlines()[0])
    expected = "<withheld>" if read else chain_hash(b"genesis", data)
    assert wal_error(lambda: m.verify_audited_wal(path, hmac_key=read)) == (
        f"WAL chain broken at sequence 1: expected {expected}, found {stored}")
    assert wal_error(lambda: m.AuditedWal(path, hmac_key=read)).startswith("WAL chain broken at sequence 1: ")


def test_truncated_or_missing_log_fails_every_reader_and_the_writer(tmp_path):
    path, missing = tmp_path / "log", tmp_path / "missing"
    write_log(path, 3)
    raw = open(path, "rb").read()
    path.write_bytes(raw[:-40])
    for call in (m.verify_audited_wal, m.AuditedWal, lambda p: m.replay_verify_audited_wal(p, SNAP)):
        assert wal_error(lambda: call(path)).startswith("WAL JSON error: EOF while parsing")
        if call is not m.AuditedWal:  # readers never create the log
            assert wal_error(lambda: call(missing)) == "WAL I/O error: No such file or directory (os error 2)"
    assert open(path, "rb").read() == raw[:-40] and not missing.exists()  # never repaired


# --- writer ------------------------------------------------------------------


def test_new_log_starts_at_genesis_and_reopens_where_it_ended(tmp_path):
    path = tmp_path / "sub" / "log"
    path.parent.mkdir()
    w = m.AuditedWal(str(path))
    assert (w.sequence, w.entry_count, w.last_hash) == (0, 0, "genesis")
    assert repr(w) == "AuditedWal(sequence=0, keyed=false, last_hash='genesis...')"
    first = w.append_verified(SNAP, *decide(1), "{}")
    assert list(first.as_dict().items()) == [("sequence", 1), ("previous_hash", "genesis"),
                                             ("entry_hash", first.entry_hash)]
    receipt_wal = first.receipt_anchor()
    assert (type(receipt_wal), receipt_wal.sequence, receipt_wal.entry_hash) == (m.ReceiptWal, 1, first.entry_hash)
    w.flush_and_sync()
    w.close()
    w = m.AuditedWal(path, hmac_key=None)
    assert (w.sequence, w.last_hash) == (1, first.entry_hash)
    second = w.append_verified(SNAP, *decide(2), "{}")
    assert (second.sequence, second.previous_hash) == (2, first.entry_hash)
    w.close(sync=False)


def test_decision_that_does_not_replay_is_refused_and_head_stays(tmp_path):
    w = m.AuditedWal(tmp_path / "log")
    w.append_verified(SNAP, *decide(1), "{}")
    inp, d = decide(2)
    other = ks.request(request_sequence=3, requested_model_id=1)
    msg = wal_error(lambda: w.append_verified(SNAP, other, d, "{}"))
    assert msg.startswith("WAL audit failed at sequence 2: verify_decision failed: "
                          "VerifyError { result: Mismatch { expected: KernelDecision { request_sequence: 3")
    assert msg.endswith(" } } }")
    assert w.sequence == 1
    assert w.append_verified(SNAP, inp, d, "{}").sequence == 2
    w.close()


def test_argument_checks_come_before_the_writer_state(tmp_path):
    w = m.AuditedWal(tmp_path / "log")
    inp, d = decide(1)
    w.close()
    with pytest.raises(m.ArtifactValidationError) as e:
        w.append_verified(SNAP, inp, d, "{nope")
    assert str(e.value).endswith(" at line 1 column 2")
    bad = ks.request()
    bad.risk_bps = 10001
    with pytest.raises(ValueError):
        w.append_verified(SNAP, bad, d, "{}")
    for call in (lambda: w.append_verified(SNAP, inp, d, "{}"), lambda: w.sequence, lambda: w.entry_count,
                 lambda: w.last_hash, w.flush, w.sync, w.flush_and_sync, w.anchor):
        with pytest.raises(m.WalError, match="^WAL writer is closed$"):
            call()
    assert w.close() is None and w.close(sync=False) is None
    assert repr(w) == "AuditedWal(closed=True)"


@pytest.mark.parametrize("call, exc, name", [
    (lambda p: m.AuditedWal(123), TypeError, "path"),
    (lambda p: m.AuditedWal(b"bytes-path"), TypeError, "path"),
    (lambda p: m.AuditedWal(p, hmac_key="k" * 40), TypeError, "hmac_key"),
    (lambda p: m.AuditedWal(p, hmac_key=bytearray(40)), TypeError, "hmac_key"),
    (lambda p: m.verify_audited_wal(p, anchor="x"), TypeError, "anchor"),
    (lambda p: m.replay_verify_audited_wal(p, None), TypeError, "snapshot"),
    (lambda p: m.replay_verify_audited_wal(p, SNAP, max_entries="1"), TypeError, "max_entries"),
    (lambda p: m.replay_verify_audited_wal(p, SNAP, max_entries=-1), OverflowError, "max_entries"),
    (lambda p: m.replay_verify_audited_wal(p, SNAP, max_total_bytes=2**64), OverflowError, "max_total_bytes"),
    (lambda p: m.WalAnchor.load(3), TypeError, "path"),
])
def test_bad_arguments_name_the_argument(tmp_path, call, exc, name):
    (tmp_path / "log").write_bytes(b"")
    with pytest.raises(exc) as e:
        call(tmp_path / "log")
    assert e.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("length", [0, 31])
@pytest.mark.parametrize("call", [
    lambda p, k: m.AuditedWal(p, hmac_key=k),
    lambda p, k: m.verify_audited_wal(p, hmac_key=k),
    lambda p, k: m.replay_verify_audited_wal(p, SNAP, hmac_key=k),
])
def test_short_keys(tmp_path, call, length):
    with pytest.raises(m.ArtifactValidationError) as e:
        call(tmp_path / "missing", b"k" * length)
    assert str(e.value) == f"hmac_key must be at least 32 bytes, found {length}"
    assert not (tmp_path / "missing").exists()


def test_metadata_nesting_that_readers_could_not_read_back_is_refused(tmp_path):
    path = tmp_path / "log"
    w = m.AuditedWal(path)
    w.append_verified(SNAP, *decide(1), "[" * 125 + "]" * 125)
    with pytest.raises(m.ArtifactValidationError, match="^recursion limit exceeded at line 1 column 126$"):
        w.append_verified(SNAP, *decide(2), "[" * 126 + "]" * 126)
    w.close()
    assert m.verify_audited_wal(path)[0] == 1
    assert len(m.replay_verify_audited_wal(path, SNAP)) == 1


@pytest.mark.parametrize("extra", [0, 1])
def test_record_size_limit(tmp_path, extra):
    limit = 16776704
    path = tmp_path / "log"
    w = m.AuditedWal(path)
    inp, d = decide(1)
    w.append_verified(SNAP, inp, d, "0")
    metadata = '"' + "a" * (limit - len(last_line(path)[3]) - 1 + extra) + '"'
    if extra:
        assert wal_error(lambda: w.append_verified(SNAP, inp, d, metadata)) == (
            "WAL I/O error: WAL entry exceeds 16776704 bytes")
        assert w.sequence == 1
        w.append_verified(SNAP, inp, d, "0")  # not poisoned
    else:
        w.append_verified(SNAP, inp, d, metadata)
        assert len(last_line(path)[3]) == limit
    w.close()
    assert m.verify_audited_wal(path)[0] == 2
    assert len(m.replay_verify_audited_wal(path, SNAP)) == 2


def test_writer_is_bound_to_the_thread_that_opened_it(tmp_path, monkeypatch):
    # A finished thread's ident is handed to the next thread started, so the
    # owner must be told apart by more than the ident.
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
    w = m.AuditedWal(tmp_path / "log")
    box, caught = [], []

    def attempt(*calls):
        for call in calls:
            try:
                call()
            except BaseException as exc:  # PanicException is a BaseException
                caught.append(exc)

    on_thread(lambda: attempt(lambda: w.sequence, lambda: repr(w), w.flush, lambda: w.close(sync=False),
                              lambda: w.append_verified(SNAP, *decide(1), "{}")))
    assert w.sequence == 0  # still open on its own thread
    w.close()
    on_thread(lambda: box.append(m.AuditedWal(tmp_path / "other")))
    for _ in range(5):
        on_thread(lambda: attempt(lambda: box[0].sequence))
    assert len(caught) == 10
    assert all(not isinstance(e, Exception) and "is unsendable, but sent to another thread" in str(e) for e in caught)
    # Dropped here, off its thread: reported, and its lock is kept.
    box.clear()
    assert any("is unsendable, but is being dropped on another thread" in s for s in seen)
    with pytest.raises(m.WalError, match="already has an active writer"):
        m.AuditedWal(tmp_path / "other")


@pytest.mark.parametrize("call, error", [
    (lambda p: m.AuditedWal(str(p) + "\0x"), m.WalError),
    (lambda p: m.verify_audited_wal(str(p) + "\0x"), m.WalError),
    (lambda p: m.replay_verify_audited_wal(str(p) + "\0x", SNAP), m.WalError),
    (lambda p: m.WalAnchor.load(str(p) + "\0x"), m.PersistenceError),
])
def test_nul_in_path_is_refused_not_cut_short(tmp_path, call, error):
    (tmp_path / "log").write_bytes(b"")
    with pytest.raises(error, match="file name contained an unexpected NUL byte$"):
        call(tmp_path / "log")


# --- writer lock -------------------------------------------------------------


def lock_name(path):
    st = os.stat(path)
    return f"inode-{st.st_dev:016x}-{st.st_ino:016x}.lock"


def test_second_writer_is_refused_by_any_path_to_the_file(tmp_path, lock_dir, monkeypatch):
    path = tmp_path / "log"
    first = m.AuditedWal(path)
    os.link(path, tmp_path / "hard")
    os.symlink(path, tmp_path / "soft")
    monkeypatch.chdir(tmp_path)
    for other in (str(path), "log", "./soft", tmp_path / "hard"):
        assert wal_error(lambda: m.AuditedWal(other)) == (
            f"WAL I/O error: WAL already has an active writer: {os.fspath(other)}")
    assert sorted(os.listdir(lock_dir)) == [lock_name(path)]
    first.close()
    m.AuditedWal("./soft").close()
    assert sorted(os.listdir(lock_dir)) == [lock_name(path)]  # never deleted


@pytest.mark.parametrize("env, where", [
    ({"MORVATEL_WAL_LOCK_DIR": "{t}/a/b", "XDG_RUNTIME_DIR": "{t}/x", "HOME": "{t}/h"}, "a/b"),
    ({"MORVATEL_WAL_LOCK_DIR": "", "XDG_RUNTIME_DIR": "{t}/x", "HOME": "{t}/h"}, "x/morvatel/wal-locks"),
    ({"XDG_RUNTIME_DIR": "", "HOME": "{t}/h"}, "h/.cache/morvatel/wal-locks"),
    ({"HOME": ""}, None),
    ({}, None),
])
def test_lock_directory_choice(tmp_path, monkeypatch, env, where):
    for var in ("MORVATEL_WAL_LOCK_DIR", "XDG_RUNTIME_DIR", "HOME"):
        monkeypatch.delenv(var, raising=False)
    for var, value in env.items():
        monkeypatch.setenv(var, value.format(t=tmp_path))
    path = tmp_path / "log"
    if where is None:
        assert wal_error(lambda: m.AuditedWal(path)) == (
            "WAL I/O error: no secure WAL lock directory; set MORVATEL_WAL_LOCK_DIR")
        assert path.exists()
    else:
        m.AuditedWal(path).close()
        assert os.listdir(tmp_path / where) == [lock_name(path)]


# --- anchors -----------------------------------------------------------------


def test_anchor_file_round_trip(tmp_path):
    _, anchor = write_log(tmp_path / "log", 3)
    target = tmp_path / "anchor.json"
    anchor.save(target)
    text = target.read_text()
    assert text == ('{\n  "schema_version": "morvatel.wal-anchor.v1",\n  "sequence": 3,\n'
                    f'  "last_hash": "{anchor.last_hash}",\n  "keyed": false\n}}')
    loaded = m.WalAnchor.load(str(target))
    assert list(loaded.as_dict().items()) == list(anchor.as_dict().items()) == [
        ("schema_version", "morvatel.wal-anchor.v1"), ("sequence", 3), ("last_hash", anchor.last_hash),
        ("keyed", False)]
    assert repr(loaded) == f"WalAnchor(sequence=3, keyed=false, last_hash='{anchor.last_hash[:8]}...')"
    assert sorted(os.listdir(tmp_path)) == [".anchor.json.morvatel.lock", "anchor.json", "locks", "log"]
    for call, exc in ((lambda: setattr(loaded, "sequence", 4), AttributeError), (m.WalAnchor, TypeError),
                      (lambda: m.WalAnchor.load(tmp_path / "missing"), m.PersistenceError),
                      (lambda: anchor.save(tmp_path / "no" / "dir.json"), m.PersistenceError)):
        with pytest.raises(exc) as e:
            call()
        assert exc is not m.PersistenceError or str(e.value) == "I/O error: No such file or directory (os error 2)"


@pytest.mark.parametrize("text, ok", [
    ('{"keyed": true, "last_hash": "h", "sequence": 1, "schema_version": "s"}', True),
    ('["s", 1, "h", true]', True),
    ('["s", 1, "h"]', "invalid length 3, expected struct WalAnchor with 4 elements"),
    ('{"schema_version": "s", "sequence": 1, "last_hash": "h", "keyed": true, "x": 1}', "unknown field `x`"),
    ('{"schema_version": "s", "sequence": 1, "last_hash": "h"}', "missing field `keyed`"),
    ('["s", 1, "h", true] x', "trailing characters"),
])
def test_anchor_load_is_strict(tmp_path, text, ok):
    path = tmp_path / "a.json"
    path.write_text(text)
    if ok is True:
        a = m.WalAnchor.load(path)
        assert (a.schema_version, a.sequence, a.last_hash, a.keyed) == ("s", 1, "h", True)
    else:
        with pytest.raises(m.PersistenceError) as e:
            m.WalAnchor.load(path)
        assert str(e.value).startswith("JSON error: " + ok)


def test_anchor_save_waits_for_the_sibling_lock_without_holding_the_interpreter(tmp_path):
    import fcntl
    _, anchor = write_log(tmp_path / "log", 1)
    target = tmp_path / "a.json"
    with open(tmp_path / ".a.json.morvatel.lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        t = threading.Thread(target=anchor.save, args=(target,))
        t.start()
        t.join(0.3)
        assert t.is_alive() and not target.exists()  # waiting, and this thread still runs
        fcntl.flock(held, fcntl.LOCK_UN)
        t.join()
    assert m.WalAnchor.load(target).as_dict() == anchor.as_dict()


def test_anchor_that_loads_at_the_size_limit_cannot_be_saved(tmp_path):
    path = tmp_path / "a.json"
    body = '{"schema_version":"","sequence":0,"last_hash":"","keyed":false}'
    path.write_text(body.replace('""', '"' + "s" * (16777216 - len(body)) + '"', 1))
    assert os.path.getsize(path) == 16777216
    anchor = m.WalAnchor.load(path)
    with pytest.raises(m.PersistenceError) as e:
        anchor.save(tmp_path / "b.json")
    assert str(e.value) == "I/O error: persistence artifact exceeds 16777216 bytes"
    assert not any(".tmp." in n for n in os.listdir(tmp_path))


def test_head_verification(tmp_path):
    path = tmp_path / "log"
    entries, anchor = write_log(path, 2)
    _, keyed = write_log(tmp_path / "keyed", 1, KEY)
    assert m.verify_audited_wal(tmp_path / "keyed", hmac_key=KEY, anchor=keyed)[0] == 1
    (tmp_path / "a.json").write_text(json.dumps({"schema_version": "other", "sequence": 2,
                                                "last_hash": anchor.last_hash, "keyed": True}))
    for a, message in [
        (m.WalAnchor.load(tmp_path / "a.json"), "unknown WAL anchor schema: other"),
        (keyed, "WAL anchor keyed mode does not match verifier mode"),
        (write_log(tmp_path / "short", 1)[1], f"WAL anchor mismatch: expected sequence 1 hash "
         f"{entries[0].entry_hash}, found sequence 2 hash {anchor.last_hash}"),
    ]:
        assert wal_error(lambda: m.verify_audited_wal(path, anchor=a)) == "WAL I/O error: " + message
    # Without its key, a keyed log breaks at its first entry before the anchor is looked at.
    assert wal_error(lambda: m.verify_audited_wal(tmp_path / "keyed", anchor=keyed)).startswith(
        "WAL chain broken at sequence 1")


# --- replay ------------------------------------------------------------------


def test_replay_reports_every_entry(tmp_path):
    path = tmp_path / "log"
    write_log(path, 3, KEY)
    verdicts = m.replay_verify_audited_wal(path, SNAP, hmac_key=KEY)
    assert verdicts == [{"sequence": s, "replay_valid": True, "policy_digest_match": True,
                         "input_digest_match": True, "decision_digest_match": True} for s in (1, 2, 3)]
    assert list(verdicts[0]) == ["sequence", "replay_valid", "policy_digest_match",
                                 "input_digest_match", "decision_digest_match"]


def edit_record(fn):
    def edit(i, data):
        record = json.loads(data)
        fn(i, record)
        return json.dumps(record, separators=(",", ":")).encode()
    return edit


@pytest.mark.parametrize("fn, reason", [
    (lambda i, r: r["decision"].update(selected_model_id=r["decision"]["selected_model_id"] + 10),
     "replay_valid=false policy_match=true input_match=true decision_match=false"),
    (lambda i, r: r["input"].update(risk_bps=9500),
     "replay_valid=false policy_match=true input_match=false decision_match=true"),
    (lambda i, r: r["audit"].update(created_by="someone"),
     "non-canonical audit bundle: unsupported audit created_by value: someone"),
    (lambda i, r: r["audit"].update(replay_valid=False, input_digest_hex="X"),
     "non-canonical audit bundle: persisted audit bundle carries replay_valid=false"),
    (lambda i, r: r["audit"].update(decision_digest_hex="A" * 64),
     "non-canonical audit bundle: decision_digest_hex must be exactly 64 lowercase hexadecimal characters"),
    (lambda i, r: r["audit"].update(policy_epoch=99),
     "policy not resolved for epoch=99 catalog_epoch=4 digest={digest}"),
    (lambda i, r: r.update(extra=1), None),
])
@pytest.mark.parametrize("which", [0, 2])
def test_replay_catches_records_that_do_not_verify(tmp_path, fn, reason, which):
    path = tmp_path / "log"
    write_log(path, 3)
    rechain(path, edit_record(lambda i, r: fn(i, r) if i == which else None))
    assert m.verify_audited_wal(path)[0] == 3  # the chain itself is intact
    message = wal_error(lambda: m.replay_verify_audited_wal(path, SNAP))
    if reason is None:  # the record itself is strict
        assert message.startswith("WAL JSON error: unknown field `extra`, expected one of "
                                  "`audit`, `input`, `decision`, `metadata`")
    else:
        assert message == f"WAL audit failed at sequence {which + 1}: " + reason.format(digest=SNAP.fingerprint())


def test_chain_fault_is_reported_before_any_audit_failure(tmp_path):
    path = tmp_path / "log"
    write_log(path, 3)
    rechain(path, edit_record(lambda i, r: r["audit"].update(created_by="x") if i == 0 else None))
    raw = open(path, "rb").read()
    path.write_bytes(raw[:-30] + b"0" * 29 + b"\n")
    assert wal_error(lambda: m.replay_verify_audited_wal(path, SNAP, max_entries=1)).startswith(
        "WAL JSON error: ")


@pytest.mark.parametrize("name, what", [("max_entries", "entry count"), ("max_total_bytes", "byte size")])
def test_replay_limits_are_inclusive(tmp_path, name, what):
    path = tmp_path / "log"
    write_log(path, 3)
    found = 3 if name == "max_entries" else os.path.getsize(path)
    for limit in (found, 2**64 - 1):
        assert len(m.replay_verify_audited_wal(path, SNAP, **{name: limit})) == 3
    assert wal_error(lambda: m.replay_verify_audited_wal(path, SNAP, **{name: found - 1})) == (
        f"WAL I/O error: WAL {what} exceeds configured limit: found {found}, limit {found - 1}")
    path.write_bytes(b"")
    assert m.replay_verify_audited_wal(path, SNAP, **{name: 0}) == []


# --- module surface ----------------------------------------------------------


# Order in __all__ and the module functions' signatures are checked with the
# rest of the module surface; these are the WAL classes' own.
def test_class_surface():
    assert m.AuditedWal.close.__text_signature__ == "($self, *, sync=True)"
    assert str(inspect.signature(m.WalAnchor.load)) == "(path)"
    for cls in (m.WalAnchor, m.WalEntry, m.AuditedWal):
        assert cls.__module__ == "morvatel._core"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        m.WalEntry()
