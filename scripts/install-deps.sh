#!/usr/bin/env bash
# Installs what building morvatel and running its example need on a fresh
# Debian 12 or 13 machine: the compiler, OpenSSL's headers, and a virtual
# environment holding the locked PyPI packages. --tests adds what the test
# command needs besides: GoogleTest, and clang 19 with its fuzzer runtime and
# clang-format.
#   scripts/install-deps.sh [--tests] [--apt-only | --venv-only] [VENV_DIR]
# VENV_DIR defaults to .venv in the checkout. --apt-only and --venv-only do
# one half each, so that a caller can say which one is running.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tests=false
do_apt=true
do_venv=true
while [ $# -gt 0 ]; do
  case $1 in
    --tests) tests=true ;;
    --apt-only) do_venv=false ;;
    --venv-only) do_apt=false ;;
    -*) echo "install-deps: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done
venv=${1:-$root/.venv}

if $do_apt && command -v apt-get >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # python3-dev gives Debian's own python3 its headers (a fresh Debian 13 has
  # the interpreter only).
  packages=(g++ make git pkg-config libssl-dev python3-dev python3-venv)
  if $tests; then
    # clang 19 (in Debian 12's updates and in Debian 13) builds the fuzzers:
    # older clangs cannot compile libstdc++'s std::expected.
    packages+=(libgtest-dev clang-19 libclang-rt-19-dev clang-format-19)
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi
$do_venv || exit 0

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
