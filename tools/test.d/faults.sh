#!/usr/bin/env bash
# Fault injection: every system call of a build failed, interrupted or cut
# short in turn (tests/reliability/test_faults.py), a few cases under valgrind.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
build_targets vorl_fault_driver vorl_faults
VORL_BUILD_DIR="$B" "$PY" -m pytest -q -p no:cacheprovider tests/reliability/test_faults.py
