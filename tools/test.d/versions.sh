#!/usr/bin/env bash
# The package on the other supported interpreters: Debian 12's own 3.11 and
# Debian unstable's 3.13 and 3.15 (3.14 is every other stage's).  Each builds
# the package's modules only and runs the Python suite up to its first
# failure.  VORL_PYTHONS picks the versions.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
B="${VORL_BUILD_DIR:-build}"

for version in ${VORL_PYTHONS:-3.11 3.13 3.15}; do
  py=$(bash tools/python.sh "$version")
  dir="$B-py${version/./}"
  [[ "$dir" = /* ]] || dir="$root/$dir"
  echo "-- CPython $version: $py"
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DVORL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target python_package | tail -n 1
  env PYTHONPATH="$dir/python:$dir/python/vorlstore" \
    "$py" -m pytest -x -q -p no:cacheprovider tests/python
done
