#!/usr/bin/env bash
# Fault injection: every system call of a build failed, interrupted or cut
# short in turn (tests/reliability/test_faults.py), a few cases under valgrind.
set -euo pipefail
cd "$(dirname "$0")/../.."
B="${VORL_BUILD_DIR:-build}"
PY="${PY:-$(bash tools/python314.sh)}"
out=$(cmake --build "$B" --target vorl_fault_driver vorl_faults 2>&1) || { echo "$out"; exit 1; }
VORL_BUILD_DIR="$B" "$PY" -m pytest -q -p no:cacheprovider tests/reliability/test_faults.py
