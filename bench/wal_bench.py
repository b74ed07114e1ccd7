"""Speed of the audited log from Python, as ratios to what the hardware does
with the same bytes, each pair measured in alternation in one run.

Run against a Release build:
    BUILD_TYPE=Release scripts/devbuild.sh build/rel
    PYTHONPATH=build/rel/py python3 bench/wal_bench.py [MB]

Rows:
- append_verified on a memory file system (/dev/shm) / one os.write of the
  same line to a file opened for appending;
- append_verified + sync() on disk / os.write + os.fdatasync of that line;
- verify_audited_wal over a log of MB megabytes (default 50), plain and
  keyed: throughput / hashlib SHA-256 of the file's bytes (read included);
- replay_verify_audited_wal over the same logs, likewise.
"""

import hashlib
import os
import sys
import tempfile
import time

from morvatel import _core as m
from prescribe_bench import interleaved_best

KEY = bytes(range(32))
LOCKS = tempfile.mkdtemp(prefix="morvatel-bench-locks-")
os.environ["MORVATEL_WAL_LOCK_DIR"] = LOCKS


def snapshot():
    models = [m.KernelModel(i + 1, i % 64, 5000 + (i * 37) % 5000, 9000, 1, 50 + i % 400, 0xFF, 1,
                            1000 + 13 * i, 2000 + 7 * i) for i in range(8)]
    return m.PolicySnapshot(1, 1, 9000, 1000, 10000, 1, models)


SNAP = snapshot()
METADATA = '{"tenant":"acme","trace":"0af7651916cd43dd8448eb211c80319c","cost":[1,2,3]}'


def request(i):
    return m.KernelInput(i, (i % 8) + 1, 500 + i % 1000, 200 + i % 700, 5_000_000, 10**9, i % 5000,
                         9000, 0, 0, 0, m.ALL_PROVIDERS, 0)


def decided(n):
    out = []
    for i in range(1, n + 1):
        inp = request(i)
        out.append((inp, SNAP.prescribe(inp)))
    return out


def append_rows(directory, sync, calls, rounds):
    """Per-call time of append_verified (+ sync) against write (+ fdatasync)
    of a line of the same length."""
    items = decided(calls)
    log = os.path.join(directory, "bench.log")
    plain = os.path.join(directory, "plain.log")
    # One line as the log holds it, to write with the system alone.
    w = m.AuditedWal(log)
    w.append_verified(SNAP, *items[0], METADATA)
    w.close()
    with open(log, "rb") as f:
        line = f.readline()
    os.unlink(log)

    def run_wal():
        os.path.exists(log) and os.unlink(log)
        w = m.AuditedWal(log)
        append, snap, meta = w.append_verified, SNAP, METADATA
        t0 = time.perf_counter_ns()
        if sync:
            s = w.sync
            for inp, dec in items:
                append(snap, inp, dec, meta)
                s()
        else:
            for inp, dec in items:
                append(snap, inp, dec, meta)
        spent = time.perf_counter_ns() - t0
        w.close()
        return spent

    def run_write():
        fd = os.open(plain, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
        write, data = os.write, line
        t0 = time.perf_counter_ns()
        if sync:
            fdatasync = os.fdatasync
            for _ in items:
                write(fd, data)
                fdatasync(fd)
        else:
            for _ in items:
                write(fd, data)
        spent = time.perf_counter_ns() - t0
        os.close(fd)
        return spent

    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        best[0] = min(best[0], run_wal())
        best[1] = min(best[1], run_write())
    os.unlink(log)
    os.unlink(plain)
    return best[0] / calls, best[1] / calls


def make_log(path, megabytes, key):
    w = m.AuditedWal(path, hmac_key=key)
    target = megabytes * 1_000_000
    while os.path.getsize(path) < target:
        for _ in range(2000):
            inp = request(w.sequence + 1)
            w.append_verified(SNAP, inp, SNAP.prescribe(inp), METADATA)
    w.close()


def sha_of_file(path):
    h = hashlib.sha256()
    with open(path, "rb", buffering=0) as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def main():
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    print("audited log, ratios taken side by side in one run (best of interleaved rounds)")

    with tempfile.TemporaryDirectory(dir="/dev/shm") as shm:
        wal, write = append_rows(shm, False, 2000, 15)
        print(f"append_verified on /dev/shm: {wal / 1000:.2f} us; os.write {write / 1000:.2f} us; "
              f"ratio {wal / write:.2f} (target <= 2.5)")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DISK_DIR", os.getcwd())) as disk:
        wal, write = append_rows(disk, True, 200, 5)
        print(f"append_verified + sync on disk: {wal / 1000:.1f} us; write + fdatasync "
              f"{write / 1000:.1f} us; ratio {wal / write:.3f} (target <= 1.05)")

    with tempfile.TemporaryDirectory(dir="/dev/shm") as shm:
        for name, key in (("plain", None), ("keyed", KEY)):
            path = os.path.join(shm, name + ".log")
            make_log(path, megabytes, key)
            size = os.path.getsize(path)
            snap = SNAP
            t_sha, t_verify, t_replay = interleaved_best([
                lambda: sha_of_file(path),
                lambda: m.verify_audited_wal(path, hmac_key=key),
                lambda: m.replay_verify_audited_wal(path, snap, hmac_key=key, max_entries=10**9,
                                                    max_total_bytes=2**63),
            ], 5)
            mbs = lambda t: size / t * 1e3  # bytes per ns -> MB/s
            print(f"{name} log of {size / 1e6:.1f} MB: sha256 {mbs(t_sha):.0f} MB/s; "
                  f"verify {mbs(t_verify):.0f} MB/s = {t_sha / t_verify:.2f}; "
                  f"replay {mbs(t_replay):.0f} MB/s = {t_sha / t_replay:.2f}")
    print("targets: verify >= 0.6 plain / 0.5 keyed; replay >= 0.35 plain / 0.3 keyed")


if __name__ == "__main__":
    main()
