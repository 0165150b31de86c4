#!/usr/bin/env bash
# Store sets on a real two-process Dask LocalCluster: building, killing and
# joining (tests/dask/; sets in one process are tested in tests/python).
# Skipped with a note when the interpreter has no Dask.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
build_targets _vorlstore _engine
if ! "$PY" -c "import dask, distributed, pandas" 2>/dev/null; then
  echo "dask: Dask, distributed or pandas missing; store set tests on a cluster skipped"
fi
# A hung cluster must fail the stage, not stall the run.
PYTHONPATH="$root/$B/python" timeout 900 \
  "$PY" -m pytest -q -p no:cacheprovider -W ignore::FutureWarning tests/dask
