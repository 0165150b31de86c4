#!/usr/bin/env bash
# The scale benchmark (bench/scale_bench.py) against a release build: stores of
# 1M, 10M and 100M keys with and without the hash index, beside LMDB.  Stores
# are cached between runs (default /tmp/vorl-scale: about 45 GB with 100M);
# arguments go to the script:
#
#   bash tools/bench-scale.sh                          1M, 10M and 100M (hours; run it under nohup)
#   bash tools/bench-scale.sh --sizes 1M,10M --big-keys 0   a shorter look
#   bash tools/bench-scale.sh --clean                  delete the cached stores
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${VORL_BUILD_DIR:-build}-pybench"
# The 1 KiB object run and the engine-alone lookups use two plain programs.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(bash tools/python314.sh)" \
  -DVORL_BUILD_TESTS=OFF -DVORL_SANITIZE=OFF >/dev/null
cmake --build "$dir" -j 2 --target vorl_stream_memory vorl_lookup_latency >/dev/null
VORL_BENCH_SCRIPT=bench/scale_bench.py exec bash tools/bench-python.sh --build-dir "$dir" "$@"
