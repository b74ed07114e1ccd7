"""Snapshot files from Python: the file text, the strict reader, checkpoints,
restore, legacy migration and the exhausted allocator that a restored
version can bring about. Tests that move money check conservation at the
end through `balanced`."""

import hashlib
import json
import os

import pytest

import morvatel._core as core
from morvatel._core import BudgetEngine, PersistenceError

I64_MAX = 2**63 - 1
TAG = 2**63
LIMIT = 16777216
SNAPSHOT_KEYS = ["version", "tenants", "active_reservations", "wal_high_watermark"]
ROW_KEYS = ["tenant_id", "initial_microcents", "remaining_microcents", "reserved_microcents",
            "committed_microcents"]
PANIC_TEXT = "reservation allocator exhausted \u2014 use try_snapshot() for fallible capture: AllocatorExhausted"


def balanced(e):
    assert e.verify_conservation() == {"status": "balanced"}
    for r in e.snapshot()["tenants"]:
        assert r["remaining_microcents"] + r["reserved_microcents"] + r["committed_microcents"] == (
            r["initial_microcents"]
        )


def row(tenant, initial, remaining, reserved=0, committed=None):
    if committed is None:
        committed = initial - remaining - reserved
    return dict(zip(ROW_KEYS, (tenant, initial, remaining, reserved, committed)))


def snap(version=TAG + 7, tenants=(), active=0, watermark=None):
    return dict(zip(SNAPSHOT_KEYS, (version, list(tenants), active, watermark)))


def write(path, obj_or_text):
    text = obj_or_text if isinstance(obj_or_text, str) else json.dumps(obj_or_text)
    path.write_text(text)
    return path


def expected_text(d):
    # The reference layout: two-space indent, ": " after keys, "[]" for an
    # empty list, no newline at the end.
    return json.dumps(d, indent=2, ensure_ascii=False).encode()


def funded():
    """An engine with spend, a top-up and ids that sort differently as bytes
    and as text."""
    e = BudgetEngine()
    for t, b in [("zeta", 1000), ("Alpha", 500), ("\u00e9t\u00e9", 300), ('q"\\\n\x01', 50)]:
        e.ensure_tenant(t, b)
    r = e.try_reserve("zeta", 400)
    e.commit(r["reservation_id"], 250)
    r = e.try_reserve("Alpha", 100)
    e.commit(r["reservation_id"], 100)
    e.top_up_tenant("\u00e9t\u00e9", 25)
    return e


def state(e):
    """Everything observable about an engine's ledgers without capturing."""
    return {
        "tenants": e.tenant_count(),
        "active": e.active_reservations(),
        "rows": {t: (e.initial_microcents(t), e.remaining_microcents(t), e.reserved_microcents(t),
                     e.committed_microcents(t)) for t in ["a", "b", "zeta", "Alpha", "t"]},
    }


# --- method shapes and argument conversion ---


@pytest.mark.parametrize("fn, sig", [
    (BudgetEngine.checkpoint, "($self, path)"),
    (BudgetEngine.checkpoint_with_wal, "($self, path, wal_sequence)"),
    (BudgetEngine.restore, "($self, path)"),
    (BudgetEngine.migrate_legacy_snapshot_file, "(source, destination, trusted_next_reservation_id)"),
])
def test_text_signatures(fn, sig):
    assert fn.__text_signature__ == sig
    assert fn.__doc__ is None


@pytest.mark.parametrize(
    "call, exc, note",
    [
        (lambda e, p: e.checkpoint(5), TypeError, "path"),
        (lambda e, p: e.checkpoint(str(p).encode()), TypeError, "path"),
        (lambda e, p: e.checkpoint_with_wal(p, -1), OverflowError, "wal_sequence"),
        (lambda e, p: e.checkpoint_with_wal(p, 2**64), OverflowError, "wal_sequence"),
        (lambda e, p: e.checkpoint_with_wal(p, "7"), TypeError, "wal_sequence"),
        (lambda e, p: e.restore(1.5), TypeError, "path"),
        (lambda e, p: BudgetEngine.migrate_legacy_snapshot_file(1, 2, "x"), TypeError, "source"),
        (lambda e, p: BudgetEngine.migrate_legacy_snapshot_file(p, None, 1), TypeError, "destination"),
        (lambda e, p: BudgetEngine.migrate_legacy_snapshot_file(p, p, 2**64), OverflowError,
         "trusted_next_reservation_id"),
    ],
)
def test_bad_arguments_consume_nothing_and_touch_no_file(tmp_path, call, exc, note):
    e = BudgetEngine()
    with pytest.raises(exc) as info:
        call(e, tmp_path / "out.json")
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert os.listdir(tmp_path) == []
    # The first capture of a fresh engine still takes allocator value 1.
    assert e.snapshot()["version"] == TAG + 2


# --- the file text ---


def test_checkpoint_writes_the_exact_text(tmp_path):
    e = funded()
    path = tmp_path / "s.json"
    d = e.checkpoint_with_wal(path, 12)
    assert list(d) == SNAPSHOT_KEYS and all(list(r) == ROW_KEYS for r in d["tenants"])
    # Rows in byte order of the UTF-8 ids, not in code-point or insertion order.
    ids = [r["tenant_id"] for r in d["tenants"]]
    assert ids == sorted(ids, key=lambda s: s.encode())
    assert d["wal_high_watermark"] == 12 and d["version"] == TAG + 4
    assert path.read_bytes() == expected_text(d)
    assert d["tenants"] == e.snapshot()["tenants"]
    balanced(e)
    # A restore returns the watermark; a later plain checkpoint drops it.
    back = BudgetEngine()
    assert back.restore(path)["wal_high_watermark"] == 12
    assert back.checkpoint(tmp_path / "b.json")["wal_high_watermark"] is None
    assert json.loads((tmp_path / "b.json").read_text())["wal_high_watermark"] is None
    balanced(back)


@pytest.mark.parametrize("wal", [None, 0, 2**64 - 1])
def test_fresh_checkpoint_and_watermark_forms(tmp_path, wal):
    e = BudgetEngine()
    path = tmp_path / "s.json"
    d = e.checkpoint(path) if wal is None else e.checkpoint_with_wal(path, wal)
    assert d == snap(version=TAG + 2, watermark=wal)
    assert path.read_bytes() == expected_text(d)
    assert BudgetEngine().restore(path) == d


# --- the strict reader ---

ROWS = [row("a", 100, 60), row("b", 50, 50)]


@pytest.mark.parametrize(
    "text, loaded",
    [
        (json.dumps(snap(tenants=ROWS)), snap(tenants=ROWS)),
        # Keys in any order, the watermark missing or null.
        ('{"wal_high_watermark": 9, "active_reservations": 0, "tenants": [], "version": %d}' % (TAG + 7),
         snap(watermark=9)),
        ('{"version": %d, "tenants": [], "active_reservations": 0}' % (TAG + 7), snap()),
        # Array forms, the watermark left off the end; rows as arrays or
        # objects with shuffled keys.
        ('[%d, [["a", 100, 60, 0, 40]], 0]' % (TAG + 7), snap(tenants=ROWS[:1])),
        ('[%d, [{"committed_microcents": 0, "reserved_microcents": 0, "tenant_id": "b",'
         ' "remaining_microcents": 50, "initial_microcents": 50}], 0, 3]' % (TAG + 7),
         snap(tenants=ROWS[1:], watermark=3)),
    ],
)
def test_reader_accepts(tmp_path, text, loaded):
    e = BudgetEngine()
    assert e.restore(write(tmp_path / "s.json", text)) == loaded
    balanced(e)


V = TAG + 7


@pytest.mark.parametrize(
    "text, message",
    [
        ("5", "invalid type: integer `5`, expected struct BudgetSnapshot at line 1 column 1"),
        ('{"version": %d, "tenants": [], "active_reservations": 0, "extra": 1}' % V,
         "unknown field `extra`, expected one of `version`, `tenants`, `active_reservations`, `wal_high_watermark`"),
        ('{"version": 1, "version": 2, "tenants": [], "active_reservations": 0}', "duplicate field `version`"),
        ('{"version": %d, "active_reservations": 0}' % V, "missing field `tenants`"),
        ("[%d, []]" % V, "invalid length 2, expected struct BudgetSnapshot with 4 elements"),
        ("[%d, [], 0, null, 1]" % V, "trailing characters"),
        ('[%d, [["a", 1, 1, 0]], 0]' % V, "invalid length 4, expected struct TenantLedger with 5 elements"),
        ('[%d, [["a", 1, 1, 0, 0, 0]], 0]' % V, "trailing characters"),
        ('[%d, [{"tenant_id": "a", "initial_microcents": 1, "remaining_microcents": 1,'
         ' "reserved_microcents": 0}], 0]' % V, "missing field `committed_microcents`"),
        ('[%d, [5], 0]' % V, "invalid type: integer `5`, expected struct TenantLedger"),
        ("[-1, [], 0]", "invalid value: integer `-1`, expected u64"),
        ('[%d, [["a", 9223372036854775808, 1, 0, 0]], 0]' % V, "expected i64"),
    ],
)
def test_reader_refuses(tmp_path, text, message):
    e = BudgetEngine()
    e.ensure_tenant("a", 5)
    with pytest.raises(PersistenceError) as info:
        e.restore(write(tmp_path / "s.json", text))
    assert str(info.value).startswith("JSON error: ")
    assert message in str(info.value)
    assert " at line " in str(info.value)
    assert e.initial_microcents("a") == 5 and e.tenant_count() == 1


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(PersistenceError) as info:
        BudgetEngine().restore(tmp_path / "none.json")
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert info.value.args == (str(info.value),)


def test_size_limit_both_ways(tmp_path):
    # A file of exactly the limit is saved and loaded. Anything more is
    # refused by its size: on saving, before the old file is touched; on
    # loading, before anything is parsed.
    probe = BudgetEngine()
    probe.ensure_tenant("x", 1)
    base = len(expected_text(probe.checkpoint(tmp_path / "probe.json")))
    e = BudgetEngine()
    big = "x" * (1 + LIMIT - base)
    e.ensure_tenant(big, 1)
    exact = tmp_path / "exact.json"
    before = e.checkpoint(exact)
    assert before["tenants"][0]["tenant_id"] == big
    assert exact.stat().st_size == LIMIT
    assert BudgetEngine().restore(exact)["tenants"][0]["tenant_id"] == big

    old, entries = exact.read_bytes(), sorted(os.listdir(tmp_path))
    e.ensure_tenant("y", 1)
    with pytest.raises(PersistenceError) as info:
        e.checkpoint(exact)
    assert str(info.value) == "I/O error: persistence artifact exceeds 16777216 bytes"
    assert exact.read_bytes() == old and sorted(os.listdir(tmp_path)) == entries
    # The failed checkpoint still consumed its capture's allocator value.
    assert e.snapshot()["version"] == before["version"] + 2

    with open(exact, "ab") as f:
        f.write(b" ")
    with pytest.raises(PersistenceError) as info:
        BudgetEngine().restore(exact)
    assert str(info.value) == "I/O error: persistence artifact exceeds 16777216 bytes"


class Interrupted(Exception):
    pass


@pytest.mark.parametrize(
    "save",
    [
        lambda e, src, p: e.checkpoint(p),
        lambda e, src, p: BudgetEngine.migrate_legacy_snapshot_file(src, p, 1),
    ],
)
def test_save_waiting_for_the_sibling_lock_can_be_interrupted(tmp_path, save):
    # Another saver holds the target's lock; a signal handler that raises
    # ends the wait with its own exception, not an I/O error.
    import faulthandler
    import fcntl
    import signal

    src = write(tmp_path / "legacy.json", snap(version=5))
    target = tmp_path / "s.json"

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


# --- checkpoint ---


def test_checkpoint_refuses_open_reservations_but_consumes_a_version(tmp_path):
    e = BudgetEngine()
    e.ensure_tenant("a", 100)
    r = e.try_reserve("a", 10)  # id 1
    with pytest.raises(PersistenceError) as info:
        e.checkpoint(tmp_path / "s.json")
    assert str(info.value) == "restore error: cannot restore snapshot with 1 active reservations"
    assert not (tmp_path / "s.json").exists()
    e.release(r["reservation_id"])
    # Capture 2 went to the refused checkpoint.
    assert e.checkpoint(tmp_path / "s.json")["version"] == TAG + 4
    balanced(e)


# --- restore ---


def test_restore_replaces_every_ledger(tmp_path):
    source = funded()
    saved = source.checkpoint_with_wal(tmp_path / "s.json", 5)

    e = BudgetEngine()
    e.ensure_tenant("a", 1000)
    e.set_max_reserved_microcents("zeta", 10)
    open_id = e.try_reserve("a", 300)["reservation_id"]
    r = e.try_reserve("a", 100)
    e.commit(r["reservation_id"], 100)

    assert e.restore(tmp_path / "s.json") == saved
    assert e.remaining_microcents("a") is None and e.tenant_count() == 4
    assert e.active_reservations() == 0
    assert e.commit(open_id, 1) == {"status": "missing_reservation"}
    # The limit of "zeta" is gone, and ids continue from the version's id.
    n = saved["version"] - TAG
    assert e.try_reserve("zeta", 700) == {"reservation_id": n, "status": "reserved", "remaining_microcents": 50}
    e.release(n)
    after = e.snapshot()
    assert after["tenants"] == saved["tenants"] and after["version"] == TAG + n + 2
    # Certificates count from the restored committed total.
    assert e.certify()["committed_since_last_certificate"] == 0
    e.commit(e.try_reserve("zeta", 30)["reservation_id"], 30)
    assert e.certify()["committed_since_last_certificate"] == 30
    balanced(e)


def test_restore_of_committed_totals_beyond_64_bits(tmp_path):
    half = 2**62
    rows = [row("a", half, 0), row("b", half, 0)]
    e = BudgetEngine()
    assert e.restore(write(tmp_path / "s.json", snap(tenants=rows)))["tenants"] == rows
    c = e.certify()
    assert c["committed_since_last_certificate"] == 0
    assert not c["aggregate_totals_representable"] and not c["conservation_balanced"]
    assert e.verify_conservation() == {"status": "balanced"}


@pytest.mark.parametrize(
    "content, message",
    [
        (snap(active=1), "cannot restore snapshot with 1 active reservations"),
        (snap(tenants=[row("t", 0, -1, 0, 1)]), "tenant t has negative remaining_microcents: -1"),
        (snap(tenants=[row("t", 100, 50, 0, 40)]),
         "snapshot failed conservation: conservation violated for tenant t: delta=-10 microcents"),
        (snap(tenants=[row("t", I64_MAX, I64_MAX, 0, 1)]),
         "snapshot failed conservation: aggregate ledger totals exceed i64::MAX \u2014 "
         "certificate totals cannot be represented"),
        # The version tag is tested first, before the ledgers.
        (snap(version=5, active=3), "tenant <snapshot-metadata> has negative recovery-aware version tag: 5"),
        (snap(version=TAG), f"tenant <snapshot-metadata> has negative recovery-aware version tag: {I64_MAX}"),
        (snap(version=I64_MAX), f"tenant <snapshot-metadata> has negative recovery-aware version tag: {I64_MAX}"),
    ],
)
def test_refused_restore_leaves_the_engine_unchanged(tmp_path, content, message):
    e = BudgetEngine()
    e.ensure_tenant("a", 100)
    e.set_max_reserved_microcents("a", 50)
    open_id = e.try_reserve("a", 40)["reservation_id"]  # id 1
    before = state(e)
    with pytest.raises(PersistenceError) as info:
        e.restore(write(tmp_path / "s.json", content))
    assert str(info.value) == "restore error: " + message
    assert state(e) == before
    # The limit still applies, the reservation is still open, and the
    # allocator has not moved.
    assert e.try_reserve("a", 11)["status"] == "exposure_limit_exceeded"
    assert e.try_reserve("a", 10)["reservation_id"] == 2
    assert e.commit(open_id, 40)["status"] == "committed"
    balanced(e)


def test_restored_version_at_the_top_exhausts_the_allocator(tmp_path):
    e = BudgetEngine()
    e.ensure_tenant("a", 10)
    rows = [row("a", 100, 70)]
    # Low 63 bits one below the ceiling: exactly one id is left.
    e.restore(write(tmp_path / "s.json", snap(version=2**64 - 2, tenants=rows)))
    assert e.try_reserve("a", 5)["reservation_id"] == I64_MAX - 1
    assert e.try_reserve("a", 5) == {"reservation_id": None, "status": "overflow", "current_reserved_microcents": 5}
    with pytest.raises(ValueError, match="^reservation allocator exhausted$"):
        e.snapshot()
    with pytest.raises(PersistenceError) as info:
        e.checkpoint(tmp_path / "c.json")
    assert str(info.value) == "I/O error: reservation allocator exhausted"
    for method in ("verify_conservation", "prove_conservation", "certify"):
        with pytest.raises(BaseException) as panic:
            try:
                getattr(e, method)()
            except Exception:  # a broken invariant must get past this
                pytest.fail("caught by except Exception")
        assert type(panic.value).__name__ == "PanicException"
        assert str(panic.value) == PANIC_TEXT
    assert e.release(I64_MAX - 1)["status"] == "released"

    # A restore sets the allocator again, also from the highest valid tag.
    e.restore(write(tmp_path / "s.json", snap(version=2**64 - 1, tenants=rows)))
    assert e.try_reserve("a", 1)["status"] == "overflow"
    e.restore(write(tmp_path / "s.json", snap(version=TAG + 1, tenants=rows)))
    assert e.try_reserve("a", 1)["reservation_id"] == 1
    e.release(1)
    balanced(e)


# --- legacy migration ---

LEGACY_ROWS = [row("b", 10, 4), row("a", 7, 7)]


@pytest.mark.parametrize("trusted, version", [(1, TAG + 1), (I64_MAX, 2**64 - 1)])
def test_migration_stamps_the_version_and_keeps_the_rest(tmp_path, trusted, version):
    src = write(tmp_path / "legacy.json", snap(version=3, tenants=LEGACY_ROWS, watermark=17))
    original = src.read_bytes()
    d = BudgetEngine.migrate_legacy_snapshot_file(src, tmp_path / "new.json", trusted)
    assert d == snap(version=version, tenants=LEGACY_ROWS, watermark=17)
    assert (tmp_path / "new.json").read_bytes() == expected_text(d)
    assert src.read_bytes() == original
    e = BudgetEngine()
    assert e.restore(tmp_path / "new.json") == d
    if trusted < I64_MAX:
        assert e.try_reserve("a", 1)["reservation_id"] == trusted
        balanced(e)
    else:
        assert e.try_reserve("a", 1)["status"] == "overflow"


@pytest.mark.parametrize(
    "content, trusted, message",
    [
        (snap(version=3), 0, f"trusted next reservation ID must be in 1..={I64_MAX}, found 0"),
        (snap(version=3), TAG, f"trusted next reservation ID must be in 1..={I64_MAX}, found {TAG}"),
        # A recovery-aware source is refused before the id is looked at.
        (snap(version=TAG + 2), 0, "snapshot is already recovery-aware"),
        (snap(version=TAG), 1, "snapshot is already recovery-aware"),
        (snap(version=3, active=2), 1,
         "legacy snapshot is not recovery-eligible: cannot restore snapshot with 2 active reservations"),
    ],
)
def test_migration_refusals_write_nothing(tmp_path, content, trusted, message):
    src = write(tmp_path / "legacy.json", content)
    with pytest.raises(PersistenceError) as info:
        BudgetEngine.migrate_legacy_snapshot_file(src, tmp_path / "new.json", trusted)
    assert str(info.value) == "I/O error: " + message
    assert sorted(os.listdir(tmp_path)) == ["legacy.json"]


SAME = "legacy snapshot migration requires a distinct destination file"


@pytest.mark.parametrize(
    "make_destination, message",
    [
        (lambda d: d / "legacy.json", SAME),
        (lambda d: str(d / "sub" / ".." / "legacy.json"), SAME),
        (lambda d: (d / "sym.json").symlink_to(d / "legacy.json") or d / "sym.json", SAME),
        (lambda d: os.link(d / "legacy.json", d / "hard.json") or d / "hard.json", SAME),
        (lambda d: (d / "subsym").symlink_to(d) or d / "subsym" / "legacy.json", SAME),
        (lambda d: str(d / "gone") + "/..", "legacy snapshot destination must name a file"),
        (lambda d: d / "gone" / "x.json", "No such file or directory (os error 2)"),
    ],
)
def test_migration_needs_a_distinct_destination(tmp_path, make_destination, message):
    src = write(tmp_path / "legacy.json", snap(version=3, tenants=LEGACY_ROWS))
    (tmp_path / "sub").mkdir()
    original = src.read_bytes()
    destination = make_destination(tmp_path)
    entries = sorted(os.listdir(tmp_path))
    with pytest.raises(PersistenceError) as info:
        BudgetEngine.migrate_legacy_snapshot_file(src, destination, 1)
    assert str(info.value) == "I/O error: " + message
    assert src.read_bytes() == original
    assert sorted(os.listdir(tmp_path)) == entries


def test_migration_source_faults(tmp_path):
    src = write(tmp_path / "bad.json", "[3, []]")
    with pytest.raises(PersistenceError) as info:
        BudgetEngine.migrate_legacy_snapshot_file(src, tmp_path / "o.json", 1)
    assert str(info.value).startswith("JSON error: invalid length 2")
    assert not (tmp_path / "o.json").exists()


def test_migration_replaces_an_existing_other_file_and_is_static(tmp_path):
    src = write(tmp_path / "legacy.json", snap(version=3, tenants=LEGACY_ROWS))
    dst = write(tmp_path / "old.json", "previous")
    d = BudgetEngine.migrate_legacy_snapshot_file(source=src, destination=str(dst), trusted_next_reservation_id=9)
    assert dst.read_bytes() == expected_text(d)
    assert BudgetEngine().migrate_legacy_snapshot_file(src, tmp_path / "n.json", 9) == d


# --- recovery planning ---

from kernel_samples import model, request, snapshot as policy  # noqa: E402

KEY = bytes(range(32))


@pytest.fixture
def logdir(tmp_path, monkeypatch):
    monkeypatch.setenv("MORVATEL_WAL_LOCK_DIR", str(tmp_path / "locks"))
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


@pytest.mark.parametrize(
    "watermark, entries, replay",
    [(None, 5, 5), (5, 5, 0), (5, 8, 3), (0, 0, 0), (None, 0, 0)],
)
def test_plan_counts_what_lies_beyond_the_watermark(logdir, watermark, entries, replay):
    snap_path, log = logdir / "s.json", logdir / "log.jsonl"
    saved = checkpoint(snap_path, watermark)
    append(log, entries)
    before = sorted(os.listdir(logdir))
    plan = core.plan_recovery(str(snap_path), log)
    assert list(plan) == ["total_wal_entries", "entries_to_replay", "wal_high_watermark", "snapshot"]
    assert plan["total_wal_entries"] == entries
    assert plan["entries_to_replay"] == replay
    assert plan["wal_high_watermark"] == (watermark or 0)
    assert plan["snapshot"] == saved and list(plan["snapshot"]) == SNAPSHOT_KEYS
    # Read-only: no lock file, no temporary file, nothing created.
    assert sorted(os.listdir(logdir)) == before
    # The caller's recovery: restore, then replay the reported entries.
    e = BudgetEngine()
    assert e.restore(snap_path) == saved
    balanced(e)


def test_plan_refuses_a_watermark_beyond_the_head_before_the_anchor(logdir):
    log = logdir / "log.jsonl"
    stale = append(log, 2)
    append(log, 3)
    checkpoint(logdir / "s.json", 6)
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "s.json", log, anchor=stale)
    assert str(info.value) == "I/O error: snapshot WAL watermark 6 is ahead of verified WAL head 5"


def test_plan_with_anchors(logdir):
    log, other = logdir / "log.jsonl", logdir / "keyed.jsonl"
    checkpoint(logdir / "s.json", 1)
    old = append(log, 2)
    head = append(log, 1)
    head.save(logdir / "anchor.json")
    loaded = core.WalAnchor.load(logdir / "anchor.json")
    assert core.plan_recovery(logdir / "s.json", log, anchor=loaded)["entries_to_replay"] == 2
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "s.json", log, anchor=old)
    assert str(info.value) == (
        f"I/O error: WAL I/O error: WAL anchor mismatch: expected sequence 2 hash {old.last_hash}, "
        f"found sequence 3 hash {head.last_hash}"
    )
    keyed = append(other, 3, KEY)
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "s.json", log, anchor=keyed)
    assert str(info.value) == (
        "I/O error: WAL I/O error: WAL anchor keyed mode does not match verifier mode"
    )
    # The keyed log itself: only its key walks it.
    plan = core.plan_recovery(logdir / "s.json", other, hmac_key=KEY, anchor=keyed)
    assert plan["total_wal_entries"] == 3
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "s.json", other)
    assert str(info.value).startswith("I/O error: WAL chain broken at sequence 1: expected ")


def test_plan_reports_snapshot_faults_before_log_faults(logdir):
    missing = logdir / "none.jsonl"
    write(logdir / "legacy.json", snap(version=5))
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "legacy.json", missing)
    assert str(info.value) == (
        "restore error: tenant <snapshot-metadata> has negative recovery-aware version tag: 5"
    )
    write(logdir / "bad.json", "{")
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "bad.json", missing)
    assert str(info.value).startswith("JSON error: EOF while parsing")

    checkpoint(logdir / "s.json", None)
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "s.json", missing)
    assert str(info.value) == "I/O error: WAL I/O error: No such file or directory (os error 2)"
    assert not missing.exists()


def hand_line(seq, prev, data):
    h = hashlib.sha256(prev.encode() + data.encode()).hexdigest()
    return h, '{"sequence":%d,"previous_hash":"%s","entry_hash":"%s","data":%s}\n' % (seq, prev, h, data)


@pytest.mark.parametrize(
    "tail, message",
    [
        # A line the writer has only partly written.
        ('{"sequence": 3, "prev', "I/O error: WAL JSON error: "),
        # Chains (the hash covers the raw text) but no double holds 1e999.
        (None, "I/O error: WAL JSON error: "),
    ],
)
def test_plan_refuses_a_log_whose_entries_do_not_all_read(logdir, tail, message):
    log = logdir / "log.jsonl"
    checkpoint(logdir / "s.json", 0)
    head = append(log, 2)
    chained = tail is None
    if chained:
        last, tail = hand_line(3, head.last_hash, '{"x":1e999}')
    with open(log, "a") as f:
        f.write(tail)
    if chained:
        assert core.verify_audited_wal(log) == (3, last)
    with pytest.raises(PersistenceError) as info:
        core.plan_recovery(logdir / "s.json", log)
    assert str(info.value).startswith(message)
    assert " at line 1 column " in str(info.value)


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        (dict(snapshot_path=1, wal_path="x"), TypeError, "snapshot_path"),
        (dict(snapshot_path="x", wal_path=None), TypeError, "wal_path"),
        (dict(snapshot_path="x", wal_path="y", hmac_key="k" * 32), TypeError, "hmac_key"),
        (dict(snapshot_path="x", wal_path="y", anchor="a"), TypeError, "anchor"),
        # The key is checked before any file is read.
        (dict(snapshot_path="x", wal_path="y", hmac_key=b"k" * 31), core.ArtifactValidationError,
         "hmac_key must be at least 32 bytes, found 31"),
    ],
)
def test_plan_arguments(kwargs, exc, text):
    with pytest.raises(exc) as info:
        core.plan_recovery(**kwargs)
    if exc is TypeError:
        assert text in str(info.value) + "".join(getattr(info.value, "__notes__", []))
    else:
        assert str(info.value) == text


def test_plan_key_is_keyword_only():
    with pytest.raises(TypeError):
        core.plan_recovery("a", "b", KEY)
