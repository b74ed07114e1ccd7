#!/usr/bin/env bash
# Installs morvatel into a virtual environment and runs the quick-start example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" "$root/.venv"
"$root/.venv/bin/python" -m pip install -q --no-build-isolation "$root"
cd "$root/examples"
"$root/.venv/bin/python" quickstart.py
