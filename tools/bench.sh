#!/usr/bin/env bash
# Builds the core benchmark program in Release mode and runs it.
#
#   bash tools/bench.sh                              every benchmark
#   bash tools/bench.sh --benchmark_filter=crc32     a subset (any Google Benchmark flag)
#   VORL_BENCH_DIR=/dev/shm bash tools/bench.sh      store files on tmpfs (default /tmp)
#   VORL_CRC32_BACKEND=portable bash tools/bench.sh  force the CRC-32 backend Extend() uses
#
# The build folder is build-bench, or $VORL_BUILD_DIR-bench when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${VORL_BUILD_DIR:-build}-bench"
# Build output is shown only when something fails, so stdout stays the table.
if ! log=$(cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVORL_BUILD_TESTS=OFF -DVORL_BUILD_MODULE=OFF -DVORL_SANITIZE=OFF 2>&1 &&
  cmake --build "$dir" -j 2 --target vorl_core_bench 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
exec "$dir/bench/vorl_core_bench" "$@"
