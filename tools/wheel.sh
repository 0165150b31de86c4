#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel for one interpreter, offline, then
# has auditwheel check the wheel and give it the manylinux tag it meets.
#
#   bash tools/wheel.sh [3.X [OUTDIR]]     default: 3.14, dist
#
# Prints the paths of the sdist and the wheel.  auditwheel runs on the build
# tools of tools/python.sh 3.11 (Debian unstable's, pure Python).
set -euo pipefail
cd "$(dirname "$0")/.."
version="${1:-3.14}"
out="${2:-dist}"
py=$(bash tools/python.sh "$version")
audit=$(bash tools/python.sh 3.11)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "wheel: sdist and CPython $version wheel (the compile takes a few minutes)" >&2
"$py" -m build --no-isolation --outdir "$work" . >"$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; exit 1; }
mkdir -p "$out"
# The plain linux tag promises nothing; repair renames (and if needed
# amends) the wheel to the oldest manylinux policy it satisfies.
"$audit" -m auditwheel repair --wheel-dir "$work/repaired" "$work"/*.whl >&2
cp "$work"/*.tar.gz "$work"/repaired/*.whl "$out"/
ls "$out"/"$(basename "$work"/*.tar.gz)" "$out"/"$(basename "$work"/repaired/*.whl)"
