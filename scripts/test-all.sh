#!/usr/bin/env bash
# Installs everything, builds morvatel, and runs every test: the C++ and
# Python suites, both again under ASan+UBSan, the budget engine's stress test
# under ThreadSanitizer, and each fuzzer for a bounded time.
#   scripts/test-all.sh
# FUZZ_SECONDS (default 60) bounds each fuzzer's run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
venv=$root/.venv
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
passed=0
failed=0
failed_stages=()

stage() {
  local name=$1
  shift
  echo
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failed_stages+=("$name")
  fi
}

scripts/install-deps.sh "$venv" || { echo "installing dependencies failed"; exit 1; }
export PATH="$venv/bin:$PATH"

configure() {  # build-dir, extra cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$venv/bin/python" "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs"
}

# Lays out an importable package around a built extension.
package_dir() {
  local dir=$1
  mkdir -p "$dir/py/morvatel"
  cp "$root/python/morvatel/__init__.py" "$dir/py/morvatel/"
  cp "$dir/_core.abi3.so" "$dir/py/morvatel/"
}

wheel_and_pytest() {
  pip install -q --no-build-isolation --force-reinstall --no-deps "$root" &&
    (cd "$root/tests/python" && python -m pytest -q -p no:cacheprovider .)
}

cpp_tests() {
  configure build/ci-cpp -DMORVATEL_BUILD_TESTS=ON -DMORVATEL_BUILD_PYTHON=OFF &&
    ctest --test-dir build/ci-cpp --output-on-failure -j "$jobs"
}

asan_suites() {
  configure build/ci-asan -DMORVATEL_BUILD_TESTS=ON -DMORVATEL_SANITIZE=address,undefined || return 1
  package_dir build/ci-asan
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/ci-asan --output-on-failure -j "$jobs" || return 1
  # The interpreter is not instrumented, so the runtime must be loaded first.
  (cd "$root/tests/python" &&
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    MORVATEL_TEST_PROFILE=sanitizer PYTHONPATH="$root/build/ci-asan/py" \
    python -m pytest -q -p no:cacheprovider .)
}

tsan_budget() {
  configure build/ci-tsan -DMORVATEL_BUILD_TESTS=ON -DMORVATEL_BUILD_PYTHON=OFF \
    -DMORVATEL_SANITIZE=thread &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/ci-tsan --output-on-failure -R Budget
}

fuzzers() {
  CC=clang-19 CXX=clang++-19 configure build/ci-fuzz -DMORVATEL_BUILD_FUZZERS=ON \
    -DMORVATEL_BUILD_PYTHON=OFF -DMORVATEL_SANITIZE=address,undefined || return 1
  local any=0 f
  for f in build/ci-fuzz/*_fuzzer; do
    # The corpus directories beside the fuzzers end in _fuzzer too.
    [ -f "$f" ] && [ -x "$f" ] || continue
    any=1
    local corpus=build/ci-fuzz/corpus-$(basename "$f")
    mkdir -p "$corpus"
    echo "--- $(basename "$f") for ${fuzz_seconds}s"
    "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 3 || return 1
  done
  [ "$any" -eq 1 ] || echo "no fuzz targets"
}

stage "C++ tests" cpp_tests
stage "wheel + Python tests" wheel_and_pytest
stage "ASan+UBSan C++ and Python tests" asan_suites
stage "ThreadSanitizer budget stress" tsan_budget
stage "fuzzers" fuzzers

echo
if [ "$failed" -ne 0 ]; then
  echo "failed stages: ${failed_stages[*]}"
fi
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
