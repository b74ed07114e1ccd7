#!/usr/bin/env bash
# Rewrites the hashes of requirements-lock.txt, keeping its pinned versions:
# for each `name==version` line, the SHA-256 of the wheels that pip picks
# from PyPI for Linux on x86_64 and on aarch64. Run it after changing a pin:
#   scripts/lock-hashes.sh
# It needs pip and network access to PyPI, and ignores any local pip
# configuration (mirrors, extra indexes) so that only PyPI's files count.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
exec "$python" - "$root/requirements-lock.txt" <<'PY'
import hashlib, pathlib, subprocess, sys, tempfile

lock = pathlib.Path(sys.argv[1])
platforms = [
    [],  # this machine's own pick
    ["--platform", "manylinux_2_17_x86_64", "--platform", "manylinux2014_x86_64",
     "--platform", "manylinux_2_28_x86_64"],
    ["--platform", "manylinux_2_17_aarch64", "--platform", "manylinux2014_aarch64",
     "--platform", "manylinux_2_28_aarch64"],
]

head, pins = [], []
for raw in lock.read_text().splitlines():
    line = raw.strip()
    if not pins and (not line or line.startswith("#")):
        head.append(raw)
    elif "==" in line and not line.startswith("--hash"):
        pins.append(line.split()[0].rstrip("\\").strip())

out = head[:]
for pin in pins:
    hashes = set()
    for extra in platforms:
        with tempfile.TemporaryDirectory() as d:
            args = [sys.executable, "-m", "pip", "--isolated", "download", "-q", "--no-deps",
                    "--only-binary=:all:", "--python-version", "3.11", "-d", d, pin]
            if extra:
                args[args.index("--python-version"):args.index("--python-version")] = extra
            if subprocess.run(args, stdout=subprocess.DEVNULL).returncode != 0:
                sys.exit(f"pip could not download {pin}")
            for f in pathlib.Path(d).iterdir():
                hashes.add(hashlib.sha256(f.read_bytes()).hexdigest())
    out.append(pin + " \\")
    out += [f"    --hash=sha256:{h}" + (" \\" if i < len(hashes) - 1 else "")
            for i, h in enumerate(sorted(hashes))]
lock.write_text("\n".join(out) + "\n")
print(f"{lock.name}: {len(pins)} pins hashed")
PY
