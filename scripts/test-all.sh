#!/usr/bin/env bash
# Installs everything, builds morvatel, and runs every test: the C++ and
# Python suites, both again under ASan+UBSan, the budget engine's stress test
# under ThreadSanitizer, and each fuzzer for a bounded time.
#   scripts/test-all.sh
# FUZZ_SECONDS (default 30) bounds the fuzzers' run; they run side by side.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
venv=$root/.venv
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}
passed=0
failed=0
failed_stages=()

stage() {
  local name=$1
  shift
  echo
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "($name: $((SECONDS - start)) s)"
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
  cmake -S "$root" -B "$dir" -G Ninja -DPython_EXECUTABLE="$venv/bin/python" "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs"
}

# Sanitizer builds: light optimisation and line tables keep them quick to
# compile while reports still name the line.
sanitized=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1")

# Lays out an importable package around a built extension.
package_dir() {
  local dir=$1
  mkdir -p "$dir/py/morvatel"
  cp "$root/python/morvatel/__init__.py" "$dir/py/morvatel/"
  cp "$dir/_core.abi3.so" "$dir/py/morvatel/"
}

# One Release build serves both suites: pip builds and installs the wheel
# with the C++ tests switched on in a build directory it keeps.
wheel_and_tests() {
  pip install -q --no-build-isolation --force-reinstall --no-deps \
    -C build-dir="$root/build/ci-wheel" -C cmake.define.MORVATEL_BUILD_TESTS=ON "$root" || return 1
  ctest --test-dir build/ci-wheel --output-on-failure -j "$jobs" || return 1
  (cd "$root/tests/python" && python -m pytest -q -p no:cacheprovider .)
}

asan_suites() {
  configure build/ci-asan "${sanitized[@]}" -DMORVATEL_BUILD_TESTS=ON \
    -DMORVATEL_SANITIZE=address,undefined || return 1
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
  configure build/ci-tsan "${sanitized[@]}" -DMORVATEL_BUILD_TESTS=ON \
    -DMORVATEL_TEST_SOURCES="budget_*.cc" -DMORVATEL_BUILD_PYTHON=OFF \
    -DMORVATEL_SANITIZE=thread &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/ci-tsan --output-on-failure -R Budget
}

# Every fuzzer at once, each on its own corpus, for FUZZ_SECONDS.
fuzzers() {
  CC=clang-19 CXX=clang++-19 configure build/ci-fuzz "${sanitized[@]}" \
    -DMORVATEL_BUILD_FUZZERS=ON -DMORVATEL_BUILD_PYTHON=OFF \
    -DMORVATEL_SANITIZE=address,undefined || return 1
  local pids=() names=() f status=0 i
  for f in build/ci-fuzz/*_fuzzer; do
    # The corpus directories beside the fuzzers end in _fuzzer too.
    [ -f "$f" ] && [ -x "$f" ] || continue
    local name corpus
    name=$(basename "$f")
    corpus=build/ci-fuzz/corpus-$name
    mkdir -p "$corpus"
    "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" \
      >"build/ci-fuzz/$name.log" 2>&1 &
    pids+=($!)
    names+=("$name")
  done
  for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then
      echo "--- ${names[$i]}: $(grep -m1 -E '^stat::number_of_executed_units' "build/ci-fuzz/${names[$i]}.log" || true)"
    else
      echo "--- ${names[$i]} FAILED:"
      tail -n 40 "build/ci-fuzz/${names[$i]}.log"
      status=1
    fi
  done
  [ "${#pids[@]}" -gt 0 ] || echo "no fuzz targets"
  return $status
}

stage "wheel, C++ and Python tests" wheel_and_tests
stage "ASan+UBSan C++ and Python tests" asan_suites
stage "ThreadSanitizer budget stress" tsan_budget
stage "fuzzers" fuzzers

echo
if [ "$failed" -ne 0 ]; then
  echo "failed stages: ${failed_stages[*]}"
fi
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
