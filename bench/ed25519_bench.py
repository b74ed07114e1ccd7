"""Signing and verifying receipts and signed policies, against reference rates.

Run against a Release build, ideally with the `cryptography` package
importable (a separate virtual environment is enough):
    BUILD_TYPE=Release scripts/devbuild.sh build/rel
    PYTHONPATH=build/rel/py python3 bench/ed25519_bench.py [rounds]

Prints, each as a ratio of operations per second taken in the same run:
  - receipt and signed-policy verification from Python, to the verify rate
    of `openssl speed ed25519` (raw verification with a prepared context);
  - receipt and policy signing from a 32-byte seed, to the `cryptography`
    package deriving a key from the same seed and signing, per call.
Every figure is the best of interleaved rounds, so that a busy moment on a
shared machine cannot favour one side. The libcrypto versions of both sides
are printed too: the signing ratio is mostly the ratio of their Ed25519
speeds, and a `cryptography` wheel brings its own libcrypto.
"""

import re
import shutil
import subprocess
import sys
import time

from morvatel import _core as m

SEED = bytes(range(32))
ROUND_SECONDS = 1.0


def snapshot():
    models = [m.KernelModel(1, 1, 9000, 10000, 1, 100, 0, 1, 1000, 2000),
              m.KernelModel(2, 1, 8000, 10000, 1, 80, 0, 1, 500, 900)]
    return m.PolicySnapshot(3, 4, 9000, 1000, 10000, 7, models)


def request():
    return m.KernelInput(21, 1, 1200, 800, 10**9, 10**9, 100, 9000, 0, 1000, 0,
                         m.ALL_PROVIDERS, 1)


def receipt(snap, **anchors):
    req = request()
    return snap.issue_receipt(req, snap.prescribe(req), **anchors)


def rate(fn, seconds=ROUND_SECONDS):
    """Calls per second of fn, over batches until `seconds` have passed."""
    calls, batch = 0, 64
    start = time.perf_counter()
    while True:
        for _ in range(batch):
            fn()
        calls += batch
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return calls / elapsed


def openssl_version():
    out = subprocess.run(["openssl", "version"], check=True, capture_output=True, text=True)
    return out.stdout.strip()


def openssl_verify_rate():
    """Verifications per second reported by `openssl speed ed25519`."""
    out = subprocess.run(["openssl", "speed", "-seconds", "2", "ed25519"], check=True,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        if "Ed25519" in line:
            return float(re.findall(r"[\d.]+", line)[-1])
    raise RuntimeError("no Ed25519 row in the output of openssl speed")


def cryptography_signer(message):
    """The call to compare signing with, and the libcrypto behind it."""
    try:
        from cryptography.hazmat.backends.openssl.backend import backend
        from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
    except ImportError:
        return None, None
    from_seed = Ed25519PrivateKey.from_private_bytes
    return (lambda: from_seed(SEED).sign(message)), backend.openssl_version_text()


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    snap = snapshot()
    pub = m.public_key_from_signing_key(SEED)

    signed_receipt = receipt(snap)
    signed_receipt.sign(SEED, "signer", 1234)
    state = m.ReceiptState.from_transition(m.StateChain(b"genesis").advance(b"next"))
    wal = m.ReceiptWal(7, "0123456789abcdef" * 4)
    anchored = receipt(snap, state=state, wal=wal)
    anchored.sign(SEED, "signer", 1234)
    req = request()
    decision = snap.prescribe(req)
    signed_policy = snap.sign_policy(SEED, "policy-team", 1_700_000_000_000)
    to_sign = receipt(snap)

    ours = {
        "receipt verify_signature": lambda: signed_receipt.verify_signature(pub),
        "receipt verify_full": lambda: anchored.verify_full(snap, req, decision, pub, state, wal),
        "signed policy verify": lambda: signed_policy.verify(snap, pub),
        "receipt sign": lambda: to_sign.sign(SEED, "signer", 1234),
        "policy sign": lambda: snap.sign_policy(SEED, "policy-team", 1_700_000_000_000),
    }
    # The receipt's signed bytes: a tag, the claims digest, the time and the
    # signer, about the size every signature here covers.
    theirs_sign, theirs_libcrypto = cryptography_signer(b"morvrcp1\x00" + bytes(32) + bytes(8) + b"signer")
    have_openssl = shutil.which("openssl") is not None

    best = dict.fromkeys(ours, 0.0)
    best_openssl = best_cryptography = 0.0
    for _ in range(rounds):
        if have_openssl:
            best_openssl = max(best_openssl, openssl_verify_rate())
        for name, fn in ours.items():
            best[name] = max(best[name], rate(fn))
        if theirs_sign is not None:
            best_cryptography = max(best_cryptography, rate(theirs_sign))

    for name, ops in best.items():
        print(f"{name:<28} {ops:>10,.0f} ops/s")
    if have_openssl:
        print(f"{'openssl speed ed25519 verify':<28} {best_openssl:>10,.0f} ops/s"
              f"  ({openssl_version()})")
        for name in ("receipt verify_signature", "receipt verify_full", "signed policy verify"):
            print(f"  {name} / openssl verify: {best[name] / best_openssl:.2f}")
    else:
        print("openssl not on PATH: verification ratios skipped")
    if theirs_sign is not None:
        print(f"{'cryptography seed+sign':<28} {best_cryptography:>10,.0f} ops/s"
              f"  ({theirs_libcrypto})")
        for name in ("receipt sign", "policy sign"):
            print(f"  {name} / cryptography seed+sign: {best[name] / best_cryptography:.2f}")
    else:
        print("the cryptography package is not importable: signing ratios skipped")


if __name__ == "__main__":
    main()
