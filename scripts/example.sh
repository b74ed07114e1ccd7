#!/usr/bin/env bash
# Installs morvatel into a virtual environment and runs the quick-start example.
# Each step says what it does as it starts; the tools' own output is kept
# aside and shown only when their step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

step() {  # title, command...
  local title=$1
  shift
  echo "==> $title"
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "example.sh: $title failed" >&2
    exit 1
  fi
}

step "system packages (apt-get)" "$root/scripts/install-deps.sh" --apt-only
step ".venv with the locked PyPI packages" "$root/scripts/install-deps.sh" --venv-only "$root/.venv"
step "building and installing the wheel" \
  "$root/.venv/bin/python" -m pip install -q --no-build-isolation "$root"
echo "==> running examples/quickstart.py"
cd "$root/examples"
"$root/.venv/bin/python" quickstart.py
