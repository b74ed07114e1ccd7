#!/usr/bin/env bash
# Installs everything, builds morvatel, and runs every test: the layout of
# changed C++ files, the C++ and Python suites, the quick-start example against
# its expected output, both suites again under ASan+UBSan, the budget engine's
# stress test under ThreadSanitizer, and each fuzzer for a bounded time. Every
# build treats compiler warnings as errors.
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

scripts/install-deps.sh --tests "$venv" || { echo "installing dependencies failed"; exit 1; }
export PATH="$venv/bin:$PATH"

configure() {  # build-dir, extra cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs"
}

# CTest and pytest, each followed by a line saying how many tests were
# skipped and why (a skip still counts as passed in their summaries).
run_ctest() {  # build-dir, extra ctest args...
  local dir=$1 status=0
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" \
    --output-junit "$root/$dir/ctest-junit.xml" "$@" || status=1
  python "$root/scripts/report-skips.py" "C++ tests" "$root/$dir/ctest-junit.xml" || status=1
  return $status
}
# pytest's temporary folders go beside its report: in the shared temporary
# directory its keep-the-last-three rule would delete other runs' folders.
run_pytest() {  # junit-file; runs tests/python with the environment given
  local report=$1 status=0
  (cd "$root/tests/python" && python -m pytest -q -p no:cacheprovider -rs \
    --basetemp="$(dirname "$report")/pytest-tmp" --junitxml="$report" .) || status=1
  python "$root/scripts/report-skips.py" "Python tests" "$report" || status=1
  return $status
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
    -C build-dir="$root/build/ci-wheel" -C cmake.define.MORVATEL_BUILD_TESTS=ON \
    -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON "$root" || return 1
  check_hardening || return 1
  run_ctest build/ci-wheel || return 1
  run_pytest "$root/build/ci-wheel/pytest-junit.xml"
}

# The installed module is built as distributions build extensions: one
# exported symbol, full RELRO, and fortified libc calls.
check_hardening() {
  local so
  so=$(python -c 'import morvatel._core as m; print(m.__file__)') || return 1
  local exported
  exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
  echo "exported: $exported"
  [ "$exported" = "PyInit__core " ] || { echo "exports more than PyInit__core"; return 1; }
  readelf -lW "$so" | grep -q GNU_RELRO || { echo "no RELRO segment"; return 1; }
  readelf -d "$so" | grep -q 'FLAGS.*BIND_NOW' || { echo "not linked with -z now"; return 1; }
  local fortified
  fortified=$(nm -D --undefined-only "$so" | grep -c '_chk@' || true)
  echo "fortified calls: $fortified, RELRO and BIND_NOW set"
  [ "$fortified" -gt 0 ] || { echo "no fortified calls"; return 1; }
}

# The README's example, run from the installed wheel, must tell its story
# word for word as committed.
quickstart() {
  local out=$root/build/ci-wheel/quickstart.out
  (cd "$root/examples" && python quickstart.py >"$out") || return 1
  diff -u "$root/examples/quickstart.expected.txt" "$out" || return 1
  echo "examples/quickstart.py: output as expected ($(wc -l <"$out") lines)"
}

asan_suites() {
  configure build/ci-asan "${sanitized[@]}" -DMORVATEL_BUILD_TESTS=ON \
    -DMORVATEL_SANITIZE=address,undefined -DPython_EXECUTABLE="$venv/bin/python" || return 1
  package_dir build/ci-asan
  # LeakSanitizer stays on for the C++ suite: nothing there may leak.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build/ci-asan || return 1
  # The interpreter is not instrumented, so the runtime must be loaded first;
  # and it keeps memory at exit by design, so leak detection is off here.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    MORVATEL_TEST_PROFILE=sanitizer PYTHONPATH="$root/build/ci-asan/py" \
    run_pytest "$root/build/ci-asan/pytest-junit.xml"
}

tsan_budget() {
  configure build/ci-tsan "${sanitized[@]}" -DMORVATEL_BUILD_TESTS=ON \
    -DMORVATEL_TEST_SOURCES="budget_*.cc" -DMORVATEL_BUILD_PYTHON=OFF \
    -DMORVATEL_SANITIZE=thread &&
    TSAN_OPTIONS=halt_on_error=1 run_ctest build/ci-tsan -R Budget
}

# One line per fuzzer: how much it ran, and the edges it covered from the
# seeds and at the end.
fuzz_summary() {
  local log=build/ci-fuzz/$1.log
  local runs seeds end
  runs=$(grep -m1 -oE '^stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$')
  seeds=$(grep -m1 -oE 'INITED cov: [0-9]+' "$log" | grep -oE '[0-9]+$')
  end=$(grep -oE 'DONE +cov: [0-9]+' "$log" | grep -oE '[0-9]+$')
  echo "--- $1: ${runs:-?} runs, edges ${seeds:-?} from the seeds, ${end:-?} at the end"
}

# Every fuzzer at once, each on its own corpus, for FUZZ_SECONDS. The corpus
# starts from the committed seeds (fuzz/corpus/<fuzzer>), copied so that
# fuzzing never writes into the checkout; crash reproducers land beside it.
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
    if [ -d "fuzz/corpus/$name" ]; then
      cp fuzz/corpus/"$name"/* "$corpus"/
    fi
    "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix="build/ci-fuzz/$name-" "$corpus" \
      >"build/ci-fuzz/$name.log" 2>&1 &
    pids+=($!)
    names+=("$name")
  done
  for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then
      fuzz_summary "${names[$i]}"
    else
      echo "--- ${names[$i]} FAILED:"
      tail -n 40 "build/ci-fuzz/${names[$i]}.log"
      status=1
    fi
  done
  [ "${#pids[@]}" -gt 0 ] || echo "no fuzz targets"
  return $status
}

stage "C++ layout" scripts/format.sh --check
stage "wheel, C++ and Python tests" wheel_and_tests
stage "quick-start example" quickstart
stage "ASan+UBSan C++ and Python tests" asan_suites
stage "ThreadSanitizer budget stress" tsan_budget
stage "fuzzers" fuzzers

echo
if [ "$failed" -ne 0 ]; then
  echo "failed stages: ${failed_stages[*]}"
fi
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
