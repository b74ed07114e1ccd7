"""The log and the artefact files under attack and faults: forged keyed
entries, rival writers, torn lines, special files, planted links, and files
swapped while a call has them open."""

import hashlib
import hmac
import json
import os
import re
import signal
import socket
import stat
import subprocess
import sys
import textwrap

import pytest

from morvatel import _core as m
import kernel_samples as ks

KEY = bytes(range(32))
SNAP = ks.snapshot([ks.model(1), ks.model(2, quality_bps=9500)])
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(m.__file__)))
TESTS = os.path.dirname(os.path.abspath(__file__))


pytestmark = pytest.mark.usefixtures("lock_dir")


def write_log(path, n, key=None, first=1):
    w = m.AuditedWal(path, hmac_key=key)
    for i in range(first, first + n):
        inp = ks.request(request_sequence=i, requested_model_id=1)
        w.append_verified(SNAP, inp, SNAP.prescribe(inp), '{"n":1}')
    w.close()


def snapshot_file(path):
    e = m.BudgetEngine()
    e.ensure_tenant("t", 10)
    e.checkpoint_with_wal(path, 0)
    return path


def child(code, *args, timeout=60, env=None):
    """Runs `code` in a fresh interpreter that imports the built module."""
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]), **(env or {}))
    prelude = "import sys, os\nfrom morvatel import _core as m\nimport kernel_samples as ks\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, env=full_env, timeout=timeout)


def messages(path, snapshot_path, key):
    """What each reader of a log raises."""
    out = {}
    for name, call in {"writer": lambda: m.AuditedWal(path, hmac_key=key),
                       "verify": lambda: m.verify_audited_wal(path, hmac_key=key),
                       "replay": lambda: m.replay_verify_audited_wal(path, SNAP, hmac_key=key),
                       "plan": lambda: m.plan_recovery(snapshot_path, path, hmac_key=key)}.items():
        with pytest.raises((m.WalError, m.PersistenceError)) as e:
            call()
        out[name] = str(e.value)
    return out


def test_a_keyed_log_never_shows_the_mac_that_would_forge_an_entry(tmp_path):
    path, snap_path = tmp_path / "log", snapshot_file(tmp_path / "s.json")
    write_log(path, 3, KEY)
    lines = path.read_bytes().splitlines(keepends=True)
    forged = lines[1].replace(b'"request_sequence":2', b'"request_sequence":9', 1)
    path.write_bytes(lines[0] + forged + lines[2])
    stored = json.loads(forged)["entry_hash"]
    prev = json.loads(lines[0])["entry_hash"].encode()
    data = forged[forged.index(b'"data":') + 7:].rstrip(b"\n")[:-1]
    secret = hmac.new(KEY, prev + data, hashlib.sha256).hexdigest()
    found = messages(path, snap_path, KEY)
    broken = f"WAL chain broken at sequence 2: expected <withheld>, found {stored}"
    assert found == {"writer": broken, "verify": broken, "replay": broken, "plan": "I/O error: " + broken}
    # The wrong key is reported the same way, at the first entry.
    for text in messages(path, snap_path, KEY[::-1]).values():
        assert text.endswith("WAL chain broken at sequence 1: expected <withheld>, found "
                             + json.loads(lines[0])["entry_hash"])
    # Nothing an attacker could paste in: the true MAC appears nowhere.
    assert not any(secret in t for t in found.values())
    # Guesses built without the key fail all the same.
    for guess in (hashlib.sha256(prev + data).hexdigest(), "<withheld>", secret.upper()):
        path.write_bytes(lines[0] + forged.replace(stored.encode(), guess.encode()) + lines[2])
        with pytest.raises(m.WalError, match="chain broken at sequence 2"):
            m.verify_audited_wal(path, hmac_key=KEY)


# --- one writer per log ---

def test_writers_with_different_lock_directories_exclude_each_other(tmp_path, monkeypatch):
    path = tmp_path / "log"
    write_log(path, 1)
    first = m.AuditedWal(path)
    monkeypatch.setenv("MORVATEL_WAL_LOCK_DIR", str(tmp_path / "other-locks"))
    with pytest.raises(m.WalError, match=f"^WAL I/O error: WAL already has an active writer: {path}$"):
        m.AuditedWal(str(path))
    # The refused writer released the lock file it took in its own directory.
    first.close()
    assert m.AuditedWal(path).sequence == 1


def test_a_writer_in_another_process_excludes_and_its_death_frees_both_locks(tmp_path, monkeypatch):
    path = tmp_path / "log"
    write_log(path, 2)
    proc = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom morvatel import _core as m\n"
         "w = m.AuditedWal(sys.argv[1])\nprint('ready', flush=True)\nsys.stdin.read()\n", str(path)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT, MORVATEL_WAL_LOCK_DIR=str(tmp_path / "theirs")))
    try:
        assert proc.stdout.readline() == "ready\n"
        with pytest.raises(m.WalError, match="^WAL I/O error: WAL already has an active writer: "):
            m.AuditedWal(path)
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait()
    write_log(path, 1, first=3)
    assert m.verify_audited_wal(path)[0] == 3


# --- torn last lines ---

def test_an_append_after_a_last_line_without_its_line_feed_starts_a_new_line(tmp_path):
    path, snap_path = tmp_path / "log", snapshot_file(tmp_path / "s.json")
    write_log(path, 2)
    whole = path.read_bytes()
    path.write_bytes(whole[:-1])
    write_log(path, 1, first=3)
    grown = path.read_bytes()
    assert grown.startswith(whole) and grown.count(b"\n") == 3 and b"\n\n" not in grown
    assert m.verify_audited_wal(path)[0] == 3
    assert len(m.replay_verify_audited_wal(path, SNAP)) == 3
    assert m.plan_recovery(snap_path, path)["total_wal_entries"] == 3


def test_a_write_that_fails_just_before_the_line_feed_leaves_a_log_that_goes_on(tmp_path):
    path = tmp_path / "log"
    write_log(path, 1)
    # The child learns the next line's length from a copy, then lets the
    # real line fit in the file size limit but not its line feed.
    out = child("""
        import resource, shutil, signal
        path, copy = sys.argv[1], sys.argv[1] + ".copy"
        shutil.copy(path, copy)
        snap = ks.snapshot([ks.model(1), ks.model(2, quality_bps=9500)])
        inp = ks.request(request_sequence=2, requested_model_id=1)
        dec = snap.prescribe(inp)
        w = m.AuditedWal(copy)
        w.append_verified(snap, inp, dec, '{"n":1}')
        w.close()
        size = os.path.getsize(path)
        line = os.path.getsize(copy) - size
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        w = m.AuditedWal(path)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + line - 1, hard))
        def attempt(f):
            try:
                f()
                print("ok")
            except m.WalError as e:
                print(e)
        attempt(lambda: w.append_verified(snap, inp, dec, '{"n":1}'))
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        # Whatever the failed write left, nothing more goes in after it.
        for call in (lambda: w.append_verified(snap, inp, dec, '{"n":1}'), w.flush, w.sync):
            attempt(call)
        print(w.sequence, repr(w))
        attempt(lambda: w.close(sync=True))
        print(repr(w), os.path.getsize(path) - size == line - 1)
    """, path)
    poisoned = "WAL I/O error: WAL writer is poisoned after an earlier I/O failure"
    head = json.loads(path.read_bytes().splitlines()[0])["entry_hash"]
    assert out.stdout.splitlines() == [
        "WAL I/O error: File too large (os error 27)", poisoned, poisoned, poisoned,
        f"1 AuditedWal(sequence=1, keyed=false, last_hash='{head[:8]}...')", poisoned,
        "AuditedWal(closed=True) True"], out.stderr
    assert not path.read_bytes().endswith(b"\n")
    write_log(path, 1, first=3)
    assert m.verify_audited_wal(path)[0] == 3
    assert [v["sequence"] for v in m.replay_verify_audited_wal(path, SNAP)] == [1, 2, 3]


# --- special files ---

SPECIAL_CALLS = {
    "verify": "m.verify_audited_wal(p)",
    "replay": "m.replay_verify_audited_wal(p, ks.snapshot([ks.model(1)]))",
    "plan log": "m.plan_recovery(sys.argv[2], p)",
    "plan snapshot": "m.plan_recovery(p, sys.argv[3])",
    "anchor": "m.WalAnchor.load(p)",
    "restore": "m.BudgetEngine().restore(p)",
    "migrate": "m.BudgetEngine.migrate_legacy_snapshot_file(p, sys.argv[2] + '.new', 1)",
    "writer": "m.AuditedWal(p)",
}
PREFIX = {"verify": "WAL I/O error: ", "replay": "WAL I/O error: ", "plan log": "I/O error: WAL I/O error: ",
          "writer": "WAL I/O error: "}


@pytest.mark.parametrize("call", SPECIAL_CALLS)
def test_a_fifo_is_refused_at_once(tmp_path, call):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    snap_path, log = snapshot_file(tmp_path / "s.json"), tmp_path / "log"
    write_log(log, 1)
    before = sorted(os.listdir(tmp_path))
    # A regression would block in open for ever: the timeout turns it into
    # a failure instead of a hung run.
    out = child(f"""
        p = sys.argv[1]
        try:
            {SPECIAL_CALLS[call]}
        except (m.WalError, m.PersistenceError) as e:
            print(e)
    """, fifo, snap_path, log, timeout=20, env={"MORVATEL_WAL_LOCK_DIR": str(tmp_path / "locks")})
    assert out.stdout == PREFIX.get(call, "I/O error: ") + f'not a regular file at path "{fifo}"\n', out.stderr
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("call, path, message", [
    (m.AuditedWal, "/dev/null", 'not a regular file at path "/dev/null"'),
    (m.verify_audited_wal, "/dev/null", 'not a regular file at path "/dev/null"'),
    (m.verify_audited_wal, "/", "Is a directory (os error 21)"),  # the error a directory always had
])
def test_a_character_device_is_not_a_log(call, path, message):
    with pytest.raises(m.WalError) as e:
        call(path)
    assert str(e.value) == "WAL I/O error: " + message


# Every save, given what it needs besides its target.
def _anchor_saver(tmp):
    w = m.AuditedWal(tmp / "src" / "log")
    anchor = w.anchor()
    w.close()
    return anchor.save


def _migration_saver(tmp):
    legacy = tmp / "src" / "legacy.json"
    legacy.write_text('{"version":3,"tenants":[],"active_reservations":0,"wal_high_watermark":null}')
    return lambda p: m.BudgetEngine.migrate_legacy_snapshot_file(legacy, p, 1)


SAVERS = {
    "checkpoint": lambda tmp: lambda p: m.BudgetEngine().checkpoint(p),
    "checkpoint_with_wal": lambda tmp: lambda p: m.BudgetEngine().checkpoint_with_wal(p, 7),
    "anchor": _anchor_saver,
    "migrate": _migration_saver,
}


def _device(kind, numbers):
    def make(name):
        try:
            os.mknod(name, kind | 0o600, os.makedev(*numbers))
        except PermissionError:
            pytest.skip("making a device node needs root with CAP_MKNOD")
    return make


def _socket(name):
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(name)  # the node outlives the socket


NODES = {
    "fifo": os.mkfifo,
    "socket": _socket,
    # The numbers of the null device and the first loop device; the nodes
    # are made in the test's own directory and never opened.
    "char device": _device(stat.S_IFCHR, (1, 3)),
    "block device": _device(stat.S_IFBLK, (7, 0)),
}


@pytest.mark.parametrize("node", NODES)
@pytest.mark.parametrize("saver", SAVERS)
def test_a_save_never_replaces_a_special_file(tmp_path, monkeypatch, saver, node):
    (tmp_path / "src").mkdir()
    save = SAVERS[saver](tmp_path)
    monkeypatch.chdir(tmp_path)  # a socket's name must be short
    NODES[node]("node")
    target = str(tmp_path / "node")
    before = os.lstat(target)
    listing = sorted(os.listdir(tmp_path))
    with pytest.raises(m.PersistenceError) as e:
        save(target)
    assert str(e.value) == f'I/O error: not a regular file at path "{target}"'
    after = os.lstat(target)
    assert (after.st_mode, after.st_ino, after.st_rdev) == (before.st_mode, before.st_ino, before.st_rdev)
    assert sorted(os.listdir(tmp_path)) == listing  # no lock file, no temporary


@pytest.mark.parametrize("saver", SAVERS)
def test_a_save_replaces_a_file_and_a_link_itself(tmp_path, saver):
    (tmp_path / "src").mkdir()
    save = SAVERS[saver](tmp_path)
    real, link, fifo_link = tmp_path / "real.json", tmp_path / "link.json", tmp_path / "fifo.json"
    real.write_text("old")
    link.symlink_to(real)
    os.mkfifo(tmp_path / "fifo")
    fifo_link.symlink_to(tmp_path / "fifo")
    save(real)
    saved = real.read_text()
    assert json.loads(saved)
    real.write_text("old")
    save(link)
    save(fifo_link)  # the link is what is replaced, whatever it points to
    assert not link.is_symlink() and link.read_text() == saved and real.read_text() == "old"
    assert not fifo_link.is_symlink() and fifo_link.read_text() == saved
    assert stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode)


# --- planted links ---

def test_a_link_planted_as_a_lock_file_is_refused(tmp_path, lock_dir):
    elsewhere, log, anchor = tmp_path / "elsewhere", tmp_path / "log", tmp_path / "a.json"
    loop = "I/O error: Too many levels of symbolic links (os error 40)"
    log.write_bytes(b"")
    lock_dir.mkdir()
    st = os.stat(log)
    (lock_dir / f"inode-{st.st_dev:016x}-{st.st_ino:016x}.lock").symlink_to(elsewhere)
    with pytest.raises(m.WalError, match=f"^WAL {re.escape(loop)}$"):
        m.AuditedWal(log)
    (tmp_path / ".a.json.morvatel.lock").symlink_to(elsewhere)
    w = m.AuditedWal(tmp_path / "log2")
    with pytest.raises(m.PersistenceError, match=f"^{re.escape(loop)}$"):
        w.anchor().save(anchor)
    w.close()
    assert not elsewhere.exists() and not anchor.exists()


# --- files swapped while a call has them open ---

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Renames SHIM_SWAP over SHIM_TARGET right after the first open of
   SHIM_TARGET: the file the caller opened is no longer the one the path
   names. */
static int swapped;

static int after(const char* path, int fd) {
  const char* target = getenv("SHIM_TARGET");
  if (fd >= 0 && !swapped && target != NULL && strcmp(path, target) == 0) {
    swapped = 1;
    rename(getenv("SHIM_SWAP"), target);
  }
  return fd;
}

#define WRAP(name)                                                   \
  int name(const char* path, int flags, ...) {                       \
    static int (*real)(const char*, int, ...);                       \
    if (!real) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name); \
    va_list ap;                                                      \
    va_start(ap, flags);                                             \
    int mode = va_arg(ap, int);                                      \
    va_end(ap);                                                      \
    return after(path, real(path, flags, mode));                     \
  }
WRAP(open)
WRAP(open64)
"""


@pytest.fixture(scope="module")
def swap_shim(tmp_path_factory):
    d = tmp_path_factory.mktemp("shim")
    (d / "shim.c").write_text(SHIM)
    try:
        subprocess.run(["cc", "-shared", "-fPIC", "-o", d / "shim.so", d / "shim.c", "-ldl"], check=True,
                       capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"no C compiler for the open() shim: {e}")
    return d / "shim.so"


def swapped_run(shim, target, swap, code, *args):
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD"), str(shim)) if p)
    return child(code, target, *args, env={"LD_PRELOAD": preload, "SHIM_TARGET": str(target),
                                           "SHIM_SWAP": str(swap)})


def test_replay_judges_the_size_of_the_file_it_reads(tmp_path, swap_shim):
    log, bigger = tmp_path / "log", tmp_path / "bigger"
    write_log(log, 1)
    write_log(bigger, 5)
    limit = os.path.getsize(log)
    out = swapped_run(swap_shim, log, bigger, """
        print(len(m.replay_verify_audited_wal(sys.argv[1], ks.snapshot([ks.model(1), ks.model(2, quality_bps=9500)]),
                                              max_total_bytes=int(sys.argv[2]))))
    """, limit)
    # The small file was opened, so it is the one read, whatever the path
    # names by now.
    assert out.stdout == "1\n", out.stderr
    assert os.path.getsize(log) > limit


def test_the_writer_lock_is_named_after_the_file_opened(tmp_path, swap_shim, lock_dir):
    log, other = tmp_path / "log", tmp_path / "other"
    write_log(log, 1)
    write_log(other, 2)
    opened = os.stat(log)
    for f in os.listdir(lock_dir):
        os.unlink(lock_dir / f)
    out = swapped_run(swap_shim, log, other, "w = m.AuditedWal(sys.argv[1]); print(w.sequence)")
    assert out.stdout == "1\n", out.stderr
    assert os.listdir(lock_dir) == [f"inode-{opened.st_dev:016x}-{opened.st_ino:016x}.lock"]
