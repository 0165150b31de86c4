#!/usr/bin/env bash
# The main job, end to end: set up CPython 3.14, build the module, build a
# store from the sample data with the command line, then query it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
echo "== CPython 3.14 (set up in ~/.cache/vorlstore on first use)"
PY=$(bash tools/python314.sh)
B="${VORL_BUILD_DIR:-build}"
echo "== building the package's modules in $B"
cmake -S . -B "$B" -G Ninja -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$B" -j "$(nproc)" --target python_package
echo
export PYTHONPATH="$root/$B/python"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
store="$out/users.vrls"
vorl() { echo "\$ vorlstore $*"; "$PY" -m vorlstore "$@"; }

vorl build examples/users.jsonl "$store" --key id --key email
vorl get "$store" user:0042
vorl keys "$store" --prefix user:000
vorl stats "$store"
vorl verify "$store"
echo
echo "# the same store from Python:"
"$PY" - "$store" <<'PY'
import sys
from vorlstore import VorlReader
with VorlReader(sys.argv[1]) as r:
    print(len(r), "keys;", r["user:0007"]["name"], "lives in", r["user:0007"]["city"])
    print("first three by prefix 'ada.':", [k for k, _ in r.prefix("ada.")][:3])
PY
