#!/usr/bin/env bash
# Reference leaks: builds the modules (_vorlstore and the package's engine) against the debug interpreter
# (python3.14d) in its own build folder and runs every entry point thousands
# of times, failures included, checking that the total reference count and
# the allocated blocks stay flat (tests/python/refleak_check.py).
# VORL_REFLEAK_ROUNDS changes the number of rounds.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
B="${VORL_BUILD_DIR:-build}-dbg"
PYD=$(VORL_PY_DEBUG=1 bash tools/python314.sh)
# The debug headers are symlinks into the release header folder; GCC's
# default canonicalisation of system-header paths would then pick up the
# release pyconfig.h (no Py_DEBUG, so the module's reference counting would
# not be counted at all).
cmake -S . -B "$B" -G Ninja -DPython_EXECUTABLE="$PYD" -DVORL_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers >/dev/null
out=$(cmake --build "$B" -j 2 --target _vorlstore _engine 2>&1) || { echo "$out"; exit 1; }
module=$(ls "$B"/python/vorlstore/_vorlstore.*.so)
undefined=$(nm -D --undefined-only "$module")
if ! grep -q _Py_DECREF_DecRefTotal <<<"$undefined"; then
  echo "refleak: $module was not compiled in Py_DEBUG mode" >&2
  exit 1
fi
PYTHONPATH="$root/$B/python:$root/$B/python/vorlstore" \
  "$PYD" tests/python/refleak_check.py "${VORL_REFLEAK_ROUNDS:-2000}"
