#!/usr/bin/env bash
# Builds the extension and the C++ tests into a build directory of your
# choice without installing anything, and lays out an importable package:
#   scripts/devbuild.sh build/dev  &&  PYTHONPATH=build/dev/py pytest tests/python
# Extra arguments go to cmake's configure step (e.g. -DMORVATEL_SANITIZE=address,undefined).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# The checkout's .venv (made by install-deps.sh) has cmake, ninja and pytest.
if [ -x "$root/.venv/bin/cmake" ]; then export PATH="$root/.venv/bin:$PATH"; fi
build=$(realpath -m "${1:-$root/build/dev}")
shift || true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DMORVATEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$build"
mkdir -p "$build/py/morvatel"
ln -sf "$root/python/morvatel/__init__.py" "$build/py/morvatel/__init__.py"
ln -sf "$build/_core.abi3.so" "$build/py/morvatel/_core.abi3.so"
