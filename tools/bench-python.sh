#!/usr/bin/env bash
# Builds the extension module (release) and runs the side-by-side benchmark
# against dict/pickle, LMDB, SQLite and dbm.gnu.  Arguments go to the script:
#
#   bash tools/bench-python.sh                      data sets A, B and C, median of 5
#   bash tools/bench-python.sh --sets A --scale 0.1 a quick look
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PY=$(bash tools/python314.sh)
dir="${VORL_BUILD_DIR:-build}-pybench"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" \
  -DVORL_BUILD_TESTS=OFF -DVORL_SANITIZE=OFF >/dev/null
cmake --build "$dir" -j 2 --target _vorlstore _engine >/dev/null
# VORL_BENCH_SCRIPT runs another Python benchmark against the same build.
PYTHONPATH="$root/$dir/python" exec "$PY" "${VORL_BENCH_SCRIPT:-bench/python_bench.py}" "$@"
