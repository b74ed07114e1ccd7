#!/usr/bin/env bash
# Installs what building and testing morvatel needs on a fresh Debian 12 or 13
# machine: the compiler, OpenSSL's headers, GoogleTest, clang with its fuzzer
# runtime, and a virtual environment holding the locked PyPI packages.
#   scripts/install-deps.sh [VENV_DIR]     (default: .venv in the checkout)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:-$root/.venv}

if command -v apt-get >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends \
    g++ make git pkg-config libssl-dev libgtest-dev python3-dev python3-venv \
    clang-19 libclang-rt-19-dev clang-format-19 >/dev/null
  # clang 19 (in Debian 12's updates and in Debian 13) builds the fuzzers:
  # older clangs cannot compile libstdc++'s std::expected. python3-dev gives
  # Debian's own python3 its headers (a fresh Debian 13 has the interpreter
  # only).
fi

python=${PYTHON:-python3}
"$python" - <<'PY'
import sys
if sys.version_info < (3, 11):
    sys.exit(f"morvatel needs Python 3.11 or newer, found {sys.version.split()[0]}")
PY
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# Every package is checked against the lock's hashes, pip itself first: the
# pip that a fresh venv brings installs only the locked pip.
pip_lock=$(mktemp)
trap 'rm -f "$pip_lock"' EXIT
sed -n '/^pip==/,/[^\\]$/p' "$root/requirements-lock.txt" >"$pip_lock"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --require-hashes -r "$pip_lock"
"$venv/bin/python" -m pip install -q --require-hashes -r "$root/requirements-lock.txt"
