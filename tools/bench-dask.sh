#!/usr/bin/env bash
# Builds the extension module (release) and runs the store set benchmark:
# a Parquet data set built into a set on a two-worker Dask LocalCluster
# against one process, and lookup() against a pandas merge.  Arguments go
# to the script:
#
#   bash tools/bench-dask.sh                                   2M rows, 200k lookups
#   bash tools/bench-dask.sh --rows 20000000 --lookups 1000000
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PY=$(bash tools/python314.sh)
dir="${VORL_BUILD_DIR:-build}-pybench"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" \
  -DVORL_BUILD_TESTS=OFF -DVORL_SANITIZE=OFF >/dev/null
cmake --build "$dir" -j 2 --target _vorlstore >/dev/null
# The shard builds print one line per shard until the package's builder is quiet.
PYTHONPATH="$root/$dir/python" exec "$PY" -W ignore::FutureWarning bench/dask_bench.py "$@"
