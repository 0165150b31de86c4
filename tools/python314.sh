#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter with development headers and
# every optional dependency, setting one up first when needed (see
# tools/python.sh, which does the work for every version).
#
# Set VORL_PY_DEBUG=1 to get the debug interpreter (python3.14d) instead.
set -euo pipefail

cache_root="${VORL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorlstore}"
prefix="$cache_root/py314"
stamp="$prefix/.complete-v4"
packages=(python3.14-dev python3.14-dbg python3-pytest python3-hypothesis python3-msgpack
          python3-pip python3-scikit-build-core python3-build python3-mypy
          python3-lmdb python3.14-gdbm
          python3-dask python3-distributed python3-pandas python3-pyarrow python3-numpy
          python3-tqdm python3-nanobind nanobind-dev)
want_debug="${VORL_PY_DEBUG:-0}"
exe_name=python3.14
[ "$want_debug" = 1 ] && exe_name=python3.14d

version=3.14
source "$(dirname "$0")/python.sh"
