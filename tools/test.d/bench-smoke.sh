#!/usr/bin/env bash
# Every Python benchmark at a toy size, so that a change in the package cannot
# leave one broken until someone needs its figures.  The figures printed here
# mean nothing: the sizes are far too small.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
build_targets _vorlstore _engine
run() {  # script, args...
  local script="$1"; shift
  echo "-- $script $*"
  if ! log=$(PYTHONPATH="$root/$B/python" PYTHONWARNINGS=ignore::FutureWarning timeout 600 \
      "$PY" "bench/$script" "$@" 2>&1); then
    printf '%s\n' "$log" | tail -40
    echo "bench-smoke: bench/$script failed" >&2
    exit 1
  fi
}
run python_bench.py --scale 0.002 --repeat 1
run package_bench.py --keys 2000 --repeat 1
run everyday_bench.py --keys 2000 4000 --lookups 2000 --repeat 1
run compress_bench.py --packages 500 --lines 2000 --lookups 200 --repeat 1
if "$PY" -c "import dask, distributed, pandas, pyarrow" 2>/dev/null; then
  run dask_bench.py --rows 4000 --lookups 400 --files 2 --shards 2
else
  echo "bench-smoke: Dask, pandas or pyarrow missing; dask_bench.py skipped"
fi
