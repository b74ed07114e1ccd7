"""Snapshot files from Python: the file text, the strict reader, checkpoints,
restore, legacy migration, recovery planning and the exhausted allocator
that a restored version can bring about."""

import fcntl
import hashlib
import json
import os
import signal

import pytest

import morvatel._core as core
from morvatel._core import BudgetEngine, PersistenceError
from kernel_samples import model, request, snapshot as policy

I64_MAX = 2**63 - 1
TAG = 2**63
V = TAG + 7
LIMIT = 16777216
SNAPSHOT_KEYS = ["version", "tenants", "active_reservations", "wal_high_watermark"]
ROW_KEYS = ["tenant_id", "initial_microcents", "remaining_microcents", "reserved_microcents",
            "committed_microcents"]
KEY = bytes(range(32))


def row(tenant, initial, remaining, reserved=0, committed=None):
    committed = initial - remaining - reserved if committed is None else committed
    return dict(zip(ROW_KEYS, (tenant, initial, remaining, reserved, committed)))


def snap(version=V, tenants=(), active=0, watermark=None):
    return dict(zip(SNAPSHOT_KEYS, (version, list(tenants), active, watermark)))


def write(path, obj_or_text):
    path.write_text(obj_or_text if isinstance(obj_or_text, str) else json.dumps(obj_or_text))
    return path


def expected_text(d):
    # Two-space indent, ": " after keys, "[]" for an empty list, no newline at the end.
    return json.dumps(d, indent=2, ensure_ascii=False).encode()


def raises(call, text, exc=PersistenceError):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == text


def funded():
    """An engine with spend, a top-up and ids that sort differently as bytes
    and as text."""
    e = BudgetEngine()
    for t, b in [("zeta", 1000), ("Alpha", 500), ("\u00e9t\u00e9", 300), ('q"\\\n\x01', 50)]:
        e.ensure_tenant(t, b)
    e.commit(e.try_reserve("zeta", 400)["reservation_id"], 250)
    e.commit(e.try_reserve("Alpha", 100)["reservation_id"], 100)
    e.top_up_tenant("\u00e9t\u00e9", 25)
    return e


def test_text_signatures():
    for fn, sig in [(BudgetEngine.checkpoint, "($self, path)"),
                    (BudgetEngine.checkpoint_with_wal, "($self, path, wal_sequence)"),
                    (BudgetEngine.restore, "($self, path)"),
                    (BudgetEngine.migrate_legacy_snapshot_file,
                     "(source, destination, trusted_next_reservation_id)")]:
        assert fn.__text_signature__ == sig and fn.__doc__ is None


@pytest.mark.parametrize("call, exc, note", [
    (lambda e, p: e.checkpoint(5), TypeError, "path"),
    (lambda e, p: e.checkpoint(str(p).encode()), TypeError, "path"),
    (lambda e, p: e.checkpoint_with_wal(p, -1), OverflowError, "wal_sequence"),
    (lambda e, p: e.checkpoint_with_wal(p, "7"), TypeError, "wal_sequence"),
    (lambda e, p: e.restore(1.5), TypeError, "path"),
    (lambda e, p: BudgetEngine.migrate_legacy_snapshot_file(1, 2, "x"), TypeError, "source"),
    (lambda e, p: BudgetEngine.migrate_legacy_snapshot_file(p, None, 1), TypeError, "destination"),
    (lambda e, p: BudgetEngine.migrate_legacy_snapshot_file(p, p, 2**64), OverflowError,
     "trusted_next_reservation_id"),
])
def test_bad_arguments_consume_nothing_and_touch_no_file(tmp_path, call, exc, note):
    e = BudgetEngine()
    with pytest.raises(exc) as info:
        call(e, tmp_path / "out.json")
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert os.listdir(tmp_path) == []
    # The first capture of a fresh engine still takes allocator value 1.
    assert e.snapshot()["version"] == TAG + 2


@pytest.mark.parametrize("make, wal, version", [
    (funded, 12, TAG + 4), (BudgetEngine, None, TAG + 2), (BudgetEngine, 0, TAG + 2),
    (funded, 2**64 - 1, TAG + 4),
])
def test_checkpoint_writes_the_exact_text(tmp_path, make, wal, version):
    e, path = make(), tmp_path / "s.json"
    d = e.checkpoint(path) if wal is None else e.checkpoint_with_wal(path, wal)
    assert list(d) == SNAPSHOT_KEYS and all(list(r) == ROW_KEYS for r in d["tenants"])
    # Rows in byte order of the UTF-8 ids, not in code-point or insertion order.
    ids = [r["tenant_id"] for r in d["tenants"]]
    assert ids == sorted(ids, key=lambda s: s.encode())
    assert (d["version"], d["wal_high_watermark"]) == (version, wal)
    assert path.read_bytes() == expected_text(d)
    assert d["tenants"] == e.snapshot()["tenants"]
    # A restore returns the watermark; a later plain checkpoint drops it.
    back = BudgetEngine()
    assert back.restore(path) == d
    assert back.checkpoint(tmp_path / "b.json")["wal_high_watermark"] is None


ROWS = [row("a", 100, 60), row("b", 50, 50)]


@pytest.mark.parametrize("text, loaded", [
    (json.dumps(snap(tenants=ROWS)), snap(tenants=ROWS)),
    # Keys in any order, the watermark missing or null.
    ('{"wal_high_watermark": 9, "active_reservations": 0, "tenants": [], "version": %d}' % V,
     snap(watermark=9)),
    ('{"version": %d, "tenants": [], "active_reservations": 0}' % V, snap()),
    # Array forms, the watermark left off the end; rows as arrays or objects
    # with shuffled keys.
    ('[%d, [["a", 100, 60, 0, 40]], 0]' % V, snap(tenants=ROWS[:1])),
    ('[%d, [{"committed_microcents": 0, "reserved_microcents": 0, "tenant_id": "b",'
     ' "remaining_microcents": 50, "initial_microcents": 50}], 0, 3]' % V, snap(tenants=ROWS[1:], watermark=3)),
])
def test_reader_accepts(tmp_path, text, loaded):
    assert BudgetEngine().restore(write(tmp_path / "s.json", text)) == loaded


# The reader's general texts are pinned where it is tested; these are the
# ones the snapshot's own record layout decides.
@pytest.mark.parametrize("text, message", [
    ('{"version": %d, "tenants": [], "active_reservations": 0, "extra": 1}' % V,
     "unknown field `extra`, expected one of `version`, `tenants`, `active_reservations`, `wal_high_watermark`"),
    ("[%d, []]" % V, "invalid length 2, expected struct BudgetSnapshot with 4 elements"),
    ('[%d, [["a", 1, 1, 0]], 0]' % V, "invalid length 4, expected struct TenantLedger with 5 elements"),
    ('[%d, [{"tenant_id": "a", "initial_microcents": 1, "remaining_microcents": 1,'
     ' "reserved_microcents": 0}], 0]' % V, "missing field `committed_microcents`"),
])
def test_reader_refuses(tmp_path, text, message):
    e = BudgetEngine()
    e.ensure_tenant("a", 5)
    with pytest.raises(PersistenceError) as info:
        e.restore(write(tmp_path / "s.json", text))
    assert str(info.value).startswith("JSON error: " + message + " at line ")
    assert e.initial_microcents("a") == 5 and e.tenant_count() == 1
    raises(lambda: e.restore(tmp_path / "none.json"), "I/O error: No such file or directory (os error 2)")


def test_size_limit_both_ways(tmp_path):
    # A file of exactly the limit is saved and loaded. Anything more is
    # refused by its size: on saving, before the old file is touched; on
    # loading, before anything is parsed.
    base = len(expected_text(snap(version=TAG + 2, tenants=[row("", 1, 1)])))
    e, big, exact = BudgetEngine(), "x" * (LIMIT - base), tmp_path / "exact.json"
    e.ensure_tenant(big, 1)
    before = e.checkpoint(exact)
    assert exact.stat().st_size == LIMIT
    assert BudgetEngine().restore(exact)["tenants"][0]["tenant_id"] == big
    old, entries = exact.read_bytes(), sorted(os.listdir(tmp_path))
    e.ensure_tenant("y", 1)
    too_big = "I/O error: persistence artifact exceeds 16777216 bytes"
    raises(lambda: e.checkpoint(exact), too_big)
    assert exact.read_bytes() == old and sorted(os.listdir(tmp_path)) == entries
    # The failed checkpoint still consumed its capture's allocator value.
    assert e.snapshot()["version"] == before["version"] + 2
    with open(exact, "ab") as f:
        f.write(b" ")
    raises(lambda: BudgetEngine().restore(exact), too_big)


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("save", [
    lambda e, src, p: e.checkpoint(p),
    lambda e, src, p: BudgetEngine.migrate_legacy_snapshot_file(src, p, 1),
])
def test_save_waiting_for_the_sibling_lock_can_be_interrupted(tmp_path, save):
    # Another saver holds the target's lock; a signal handler that raises
    # ends the wait with its own exception, not an I/O error.
    import faulthandler

    src, target = write(tmp_path / "legacy.json", snap(version=5)), tmp_path / "s.json"

    def interrupt(signum, frame):
        raise Interrupted

    old = signal.signal(signal.SIGALRM, interrupt)
    # A wait that ignores signals would never end: give up loudly instead.
    faulthandler.dump_traceback_later(30, exit=True)
    try:
        with open(tmp_path / ".s.json.morvatel.lock", "w") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            with pytest.raises(Interrupted):
                save(BudgetEngine(), src, target)
    finally:
        faulthandler.cancel_dump_traceback_later()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert not target.exists()
    assert not [n for n in os.listdir(tmp_path) if ".tmp." in n]
    assert save(BudgetEngine(), src, target)["version"] in (TAG + 1, TAG + 2)


def test_checkpoint_refuses_open_reservations_but_consumes_a_version(tmp_path):
    e = BudgetEngine()
    e.ensure_tenant("a", 100)
    r = e.try_reserve("a", 10)  # id 1
    raises(lambda: e.checkpoint(tmp_path / "s.json"),
           "restore error: cannot restore snapshot with 1 active reservations")
    assert os.listdir(tmp_path) == [] and e.release(r["reservation_id"])["status"] == "released"
    # Capture 2 went to the refused checkpoint.
    assert e.checkpoint(tmp_path / "s.json")["version"] == TAG + 4


def test_restore_replaces_every_ledger(tmp_path):
    saved = funded().checkpoint_with_wal(tmp_path / "s.json", 5)
    e = BudgetEngine()
    e.ensure_tenant("a", 1000)
    e.set_max_reserved_microcents("zeta", 10)
    open_id = e.try_reserve("a", 300)["reservation_id"]
    e.commit(e.try_reserve("a", 100)["reservation_id"], 100)

    assert e.restore(tmp_path / "s.json") == saved
    assert e.remaining_microcents("a") is None and e.tenant_count() == 4
    assert e.active_reservations() == 0
    assert e.commit(open_id, 1) == {"status": "missing_reservation"}
    # The limit of "zeta" is gone, and ids continue from the version's id.
    n = saved["version"] - TAG
    assert e.try_reserve("zeta", 700) == {"reservation_id": n, "status": "reserved", "remaining_microcents": 50}
    e.release(n)
    # Certificates count from the restored committed total.
    assert e.certify()["committed_since_last_certificate"] == 0
    e.commit(e.try_reserve("zeta", 30)["reservation_id"], 30)
    assert e.certify()["committed_since_last_certificate"] == 30


@pytest.mark.parametrize("content, message", [
    (snap(tenants=[row("t", 0, 0, 0, -1)]), "tenant t has negative committed_microcents: -1"),
    # The version tag is tested first, before the ledgers.
    (snap(version=5, active=3), "tenant <snapshot-metadata> has negative recovery-aware version tag: 5"),
    (snap(version=TAG), f"tenant <snapshot-metadata> has negative recovery-aware version tag: {I64_MAX}"),
    (snap(version=I64_MAX), f"tenant <snapshot-metadata> has negative recovery-aware version tag: {I64_MAX}"),
])
def test_refused_restore_leaves_the_engine_unchanged(tmp_path, content, message):
    e = BudgetEngine()
    e.ensure_tenant("a", 100)
    e.set_max_reserved_microcents("a", 50)
    open_id = e.try_reserve("a", 40)["reservation_id"]  # id 1
    before = e.snapshot()
    raises(lambda: e.restore(write(tmp_path / "s.json", content)), "restore error: " + message)
    # The limit still applies, the reservation is still open, and the
    # allocator has moved only for the two captures.
    assert e.snapshot()["tenants"] == before["tenants"]
    assert e.try_reserve("a", 11)["status"] == "exposure_limit_exceeded"
    assert e.try_reserve("a", 10)["reservation_id"] == 4
    assert e.commit(open_id, 40)["status"] == "committed"


def test_restored_version_at_the_top_exhausts_the_allocator(tmp_path):
    e, rows, path = BudgetEngine(), [row("a", 100, 70)], tmp_path / "s.json"
    # Low 63 bits one below the ceiling: exactly one id is left.
    e.restore(write(path, snap(version=2**64 - 2, tenants=rows)))
    assert e.try_reserve("a", 5)["reservation_id"] == I64_MAX - 1
    assert e.try_reserve("a", 5) == {"reservation_id": None, "status": "overflow", "current_reserved_microcents": 5}
    raises(e.snapshot, "reservation allocator exhausted", ValueError)
    raises(lambda: e.checkpoint(tmp_path / "c.json"), "I/O error: reservation allocator exhausted")
    for method in ("verify_conservation", "prove_conservation", "certify"):
        with pytest.raises(BaseException) as panic:
            try:
                getattr(e, method)()
            except Exception:  # a broken invariant must get past this
                pytest.fail("caught by except Exception")
        assert type(panic.value).__name__ == "PanicException"
        assert str(panic.value) == (
            "reservation allocator exhausted \u2014 use try_snapshot() for fallible capture: AllocatorExhausted")
    assert e.release(I64_MAX - 1)["status"] == "released"
    # A restore sets the allocator again, also from the highest valid tag.
    e.restore(write(path, snap(version=2**64 - 1, tenants=rows)))
    assert e.try_reserve("a", 1)["status"] == "overflow"
    e.restore(write(path, snap(version=TAG + 1, tenants=rows)))
    assert e.try_reserve("a", 1)["reservation_id"] == 1


LEGACY_ROWS = [row("b", 10, 4), row("a", 7, 7)]


@pytest.mark.parametrize("trusted, version", [(1, TAG + 1), (I64_MAX, 2**64 - 1)])
def test_migration_stamps_the_version_and_keeps_the_rest(tmp_path, trusted, version):
    src = write(tmp_path / "legacy.json", snap(version=3, tenants=LEGACY_ROWS, watermark=17))
    dst = write(tmp_path / "old.json", "previous")  # replaced
    original = src.read_bytes()
    d = BudgetEngine.migrate_legacy_snapshot_file(source=src, destination=str(dst),
                                                  trusted_next_reservation_id=trusted)
    assert d == snap(version=version, tenants=LEGACY_ROWS, watermark=17)
    assert dst.read_bytes() == expected_text(d) and src.read_bytes() == original
    e = BudgetEngine()
    assert e.restore(dst) == d
    assert e.try_reserve("a", 1).get("reservation_id") == (trusted if trusted < I64_MAX else None)


TRUSTED = f"I/O error: trusted next reservation ID must be in 1..={I64_MAX}"
SAME = "I/O error: legacy snapshot migration requires a distinct destination file"


@pytest.mark.parametrize("content, destination, trusted, message", [
    (snap(version=3), "new.json", 0, f"{TRUSTED}, found 0"),
    (snap(version=3), "new.json", TAG, f"{TRUSTED}, found {TAG}"),
    # A recovery-aware source is refused before the id is looked at.
    (snap(version=TAG + 2), "new.json", 0, "I/O error: snapshot is already recovery-aware"),
    (snap(version=TAG), "new.json", 1, "I/O error: snapshot is already recovery-aware"),
    (snap(version=3, active=2), "new.json", 1,
     "I/O error: legacy snapshot is not recovery-eligible: cannot restore snapshot with 2 active reservations"),
    ("[3, []]", "new.json", 1, "JSON error: invalid length 2, expected struct BudgetSnapshot with 4 elements"
     " at line 1 column 7"),
    # The destination must not be, or lead to, the source.
    (snap(version=3), "legacy.json", 1, SAME),
    (snap(version=3), "sym.json", 1, SAME),
    (snap(version=3), "hard.json", 1, SAME),
    (snap(version=3), "gone/..", 1, "I/O error: legacy snapshot destination must name a file"),
    (snap(version=3), "gone/x.json", 1, "I/O error: No such file or directory (os error 2)"),
])
def test_migration_refusals_write_nothing(tmp_path, content, destination, trusted, message):
    src = write(tmp_path / "legacy.json", content)
    original = src.read_bytes()
    (tmp_path / "sym.json").symlink_to(src)
    os.link(src, tmp_path / "hard.json")
    entries = sorted(os.listdir(tmp_path))
    raises(lambda: BudgetEngine.migrate_legacy_snapshot_file(src, f"{tmp_path}/{destination}", trusted), message)
    assert sorted(os.listdir(tmp_path)) == entries and src.read_bytes() == original


# --- recovery planning ---


@pytest.fixture
def logdir(tmp_path, lock_dir):
    """A folder for the logs; lock_dir keeps their writers' locks in the test's own."""
    d = tmp_path / "work"
    d.mkdir()
    return d


def append(path, n, key=None):
    """Appends n verified decisions; returns the writer's anchor at the end."""
    p = policy([model(1)])
    w = core.AuditedWal(path, hmac_key=key)
    for _ in range(n):
        i = request(request_sequence=w.sequence + 1)
        w.append_verified(p, i, p.prescribe(i), '{"k": [1, 2.5]}')
    anchor = w.anchor()
    w.close()
    return anchor


def checkpoint(path, watermark):
    e = funded()
    return e.checkpoint(path) if watermark is None else e.checkpoint_with_wal(path, watermark)


@pytest.mark.parametrize("watermark, entries, replay", [(None, 5, 5), (5, 5, 0), (5, 8, 3)])
def test_plan_counts_what_lies_beyond_the_watermark(logdir, watermark, entries, replay):
    snap_path, log = logdir / "s.json", logdir / "log.jsonl"
    saved = checkpoint(snap_path, watermark)
    append(log, entries)
    before = sorted(os.listdir(logdir))
    plan = core.plan_recovery(str(snap_path), log)
    assert list(plan) == ["total_wal_entries", "entries_to_replay", "wal_high_watermark", "snapshot"]
    assert list(plan.values())[:3] == [entries, replay, watermark or 0]
    assert plan["snapshot"] == saved and list(plan["snapshot"]) == SNAPSHOT_KEYS
    # Read-only: no lock file, no temporary file, nothing created.
    assert sorted(os.listdir(logdir)) == before


def test_plan_checks_and_anchors(logdir):
    log, other, s = logdir / "log.jsonl", logdir / "keyed.jsonl", logdir / "s.json"
    old = append(log, 2)
    head = append(log, 1)
    # The watermark is checked against the head before the anchor is.
    checkpoint(s, 4)
    raises(lambda: core.plan_recovery(s, log, anchor=old),
           "I/O error: snapshot WAL watermark 4 is ahead of verified WAL head 3")
    checkpoint(s, 1)
    head.save(logdir / "anchor.json")
    assert core.plan_recovery(s, log, anchor=core.WalAnchor.load(logdir / "anchor.json"))["entries_to_replay"] == 2
    raises(lambda: core.plan_recovery(s, log, anchor=old),
           f"I/O error: WAL I/O error: WAL anchor mismatch: expected sequence 2 hash {old.last_hash}, "
           f"found sequence 3 hash {head.last_hash}")
    keyed = append(other, 3, KEY)
    raises(lambda: core.plan_recovery(s, log, anchor=keyed),
           "I/O error: WAL I/O error: WAL anchor keyed mode does not match verifier mode")
    # The keyed log itself: only its key walks it.
    assert core.plan_recovery(s, other, hmac_key=KEY, anchor=keyed)["total_wal_entries"] == 3
    with pytest.raises(PersistenceError, match="^I/O error: WAL chain broken at sequence 1: expected "):
        core.plan_recovery(s, other)


def test_plan_reports_snapshot_faults_before_log_faults(logdir):
    missing = logdir / "none.jsonl"
    raises(lambda: core.plan_recovery(write(logdir / "legacy.json", snap(version=5)), missing),
           "restore error: tenant <snapshot-metadata> has negative recovery-aware version tag: 5")
    with pytest.raises(PersistenceError, match="^JSON error: EOF while parsing"):
        core.plan_recovery(write(logdir / "bad.json", "{"), missing)
    checkpoint(logdir / "s.json", None)
    raises(lambda: core.plan_recovery(logdir / "s.json", missing),
           "I/O error: WAL I/O error: No such file or directory (os error 2)")
    assert not missing.exists()


def test_plan_refuses_a_log_whose_entries_do_not_all_read(logdir):
    log = logdir / "log.jsonl"
    checkpoint(logdir / "s.json", 0)
    head = append(log, 2)
    # Chains (the hash covers the raw text) but no double holds 1e999.
    data = '{"x":1e999}'
    h = hashlib.sha256(head.last_hash.encode() + data.encode()).hexdigest()
    with open(log, "a") as f:
        f.write('{"sequence":3,"previous_hash":"%s","entry_hash":"%s","data":%s}\n' % (head.last_hash, h, data))
    assert core.verify_audited_wal(log) == (3, h)
    with pytest.raises(PersistenceError, match="^I/O error: WAL JSON error: .* at line 1 column "):
        core.plan_recovery(logdir / "s.json", log)


@pytest.mark.parametrize("call, exc, text", [
    (lambda: core.plan_recovery(1, "x"), TypeError, "snapshot_path"),
    (lambda: core.plan_recovery("x", None), TypeError, "wal_path"),
    (lambda: core.plan_recovery("x", "y", hmac_key="k" * 32), TypeError, "hmac_key"),
    (lambda: core.plan_recovery("x", "y", anchor="a"), TypeError, "anchor"),
    (lambda: core.plan_recovery("x", "y", KEY), TypeError, "positional"),
    # The key is checked before any file is read.
    (lambda: core.plan_recovery("x", "y", hmac_key=b"k" * 31), core.ArtifactValidationError,
     "hmac_key must be at least 32 bytes, found 31"),
])
def test_plan_arguments(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    if exc is TypeError:
        assert text in str(info.value) + "".join(getattr(info.value, "__notes__", []))
    else:
        assert str(info.value) == text
