#!/usr/bin/env bash
# Crash safety: SIGKILL a process that keeps republishing a store, at random
# moments; the target is always absent or a complete store
# (tests/reliability/test_crash.py).  VORL_CRASH_TRIALS and VORL_CRASH_SEED
# change the number of trials and replay a run.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
build_targets vorl_fault_driver
VORL_BUILD_DIR="$B" "$PY" -m pytest -q -s -p no:cacheprovider tests/reliability/test_crash.py
