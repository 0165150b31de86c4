#!/usr/bin/env bash
# Runs every test suite: sets up CPython 3.14, builds (normal and sanitizer
# builds), runs the C++ unit tests and the Python tests.  Exits non-zero on
# the first failing stage.
#
#   bash tools/test.sh            all stages
#   bash tools/test.sh quick      the normal build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode="${1:-all}"
# Build folders; set VORL_BUILD_DIR to keep parallel checkouts apart.
B="${VORL_BUILD_DIR:-build}"

PY=$(bash tools/python314.sh)
export PY
jobs=$(nproc)

stage() { printf '\n==== %s\n' "$*"; }

configure_and_build() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_pytest() {  # build dir, extra env...
  local dir="$1"; shift
  env PYTHONPATH="$root/$dir/python:$root/$dir/python/vorlstore" "$@" \
    "$PY" -m pytest -q -p no:cacheprovider tests/python
}

stage "build (release)"
configure_and_build "$B"
stage "C++ unit tests"
ctest --test-dir "$B" --output-on-failure -j "$jobs"
if [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1; then
  stage "Python tests"
  run_pytest "$B"
fi
[ "$mode" = quick ] && exit 0

stage "build (AddressSanitizer + UndefinedBehaviorSanitizer)"
configure_and_build "$B-asan" -DVORL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
stage "C++ unit tests under sanitizers"
ctest --test-dir "$B-asan" --output-on-failure -j "$jobs"
if [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1; then
  stage "Python tests under sanitizers"
  asan_lib=$(g++ -print-file-name=libasan.so)
  ubsan_lib=$(g++ -print-file-name=libubsan.so)
  # The interpreter itself is not instrumented; leak checking would report
  # the interpreter's own allocations, so only memory errors are checked.
  run_pytest "$B-asan" LD_PRELOAD="$asan_lib $ubsan_lib" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fi

for extra in tools/test.d/*.sh; do
  [ -e "$extra" ] || continue
  stage "$(basename "$extra" .sh)"
  VORL_BUILD_DIR="$B" bash "$extra"
done
stage "all tests passed"
