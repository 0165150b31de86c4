#!/usr/bin/env bash
# Threads and hostile headers: one reader shared by many threads while the
# path is republished, borrows held across threads and re-entered
# (tests/reliability/test_concurrency.py), and headers that lie about counts
# and offsets, each checked for its exact error and bounded peak memory
# (tests/reliability/test_hostile_headers.py).  Runs against the release
# build, then against the sanitizer build when it exists.
# VORL_CONCURRENCY_SECONDS and VORL_CONCURRENCY_SEED change the length of
# the threaded run and replay one.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
B="${VORL_BUILD_DIR:-build}"
PY="${PY:-$(bash tools/python314.sh)}"
tests=(tests/reliability/test_concurrency.py tests/reliability/test_concurrent_builds.py
       tests/reliability/test_hostile_headers.py)

run() {  # build dir, extra env...
  local dir="$1"; shift
  out=$(cmake --build "$dir" --target _vorlstore 2>&1) || { echo "$out"; exit 1; }
  env PYTHONPATH="$root/$dir/python:$root/$dir/python/vorlstore" "$@" \
    "$PY" -m pytest -q -p no:cacheprovider "${tests[@]}"
}

run "$B"
if [ -d "$B-asan" ]; then
  echo "-- under AddressSanitizer + UndefinedBehaviorSanitizer"
  run "$B-asan" LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fi
