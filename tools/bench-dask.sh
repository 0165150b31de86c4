#!/usr/bin/env bash
# The store set benchmark (bench/dask_bench.py) against a release build: a
# Parquet data set built into a set on a two-worker Dask LocalCluster beside
# one process, and lookup() beside a pandas merge.  Arguments go to the script:
#
#   bash tools/bench-dask.sh                                   2M rows, 200k lookups
#   bash tools/bench-dask.sh --rows 20000000 --lookups 1000000
set -euo pipefail
cd "$(dirname "$0")/.."
# The toolchain's Dask warns about its classic DataFrame in every worker.
PYTHONWARNINGS=ignore::FutureWarning VORL_BENCH_SCRIPT=bench/dask_bench.py exec bash tools/bench-python.sh "$@"
