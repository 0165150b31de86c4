#!/usr/bin/env bash
# The package as a user gets it: type-check it, build a wheel, install it into
# a fresh virtual environment without network access, and run the Python test
# suite against the installed copy instead of the build tree.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
PY="${PY:-$(bash tools/python314.sh)}"
B="${VORL_BUILD_DIR:-build}"

echo "-- type check (mypy --strict)"
MYPYPATH="$root/python" "$PY" -m mypy --no-incremental --config-file pyproject.toml

work="$root/$B-wheel"
rm -rf "$work"
mkdir -p "$work"
echo "-- engine stub matches the module"
# The committed stub is what nanobind's generator makes of the built module.
"$PY" -m nanobind.stubgen -q -i "$root/$B/python" -m vorlstore._engine -o "$work/_engine.pyi"
diff -u "$root/python/vorlstore/_engine.pyi" "$work/_engine.pyi"

echo "-- sdist, the wheel built from it, and its tag as auditwheel sees it"
PYTHON="$PY" bash tools/wheel.sh 3.14 "$work/dist" >/dev/null
wheel=$(ls "$work"/dist/vorlstore-*.whl)
echo "built $(basename "$wheel") and $(basename "$work"/dist/vorlstore-*.tar.gz)"
shown=$("$(bash tools/python.sh 3.11)" -m auditwheel show "$wheel" 2>&1)
tag=$(tr -s ' \n' ' ' <<<"$shown" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
case "$(basename "$wheel" .whl)" in
  *-"$tag"|*."$tag") echo "auditwheel: $tag" ;;
  *) echo "$shown"; echo "the wheel's tag is not the one auditwheel finds ($tag)"; exit 1 ;;
esac

echo "-- install into a fresh virtual environment"
# System site packages provide pip, msgpack, pytest and hypothesis; nothing
# is fetched.
"$PY" -m venv --without-pip --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --no-index --no-deps --quiet "$wheel"
"$work/venv/bin/python" - <<'PY'
import glob, os, vorlstore, vorlstore._vorlstore as m, vorlstore._engine as e
here = os.path.dirname(vorlstore.__file__)
assert "site-packages" in here, here
assert os.path.basename(m.__file__).startswith("_vorlstore.cpython-314-"), m.__file__
assert os.path.basename(e.__file__).startswith("_engine.cpython-314-"), e.__file__
for typed in ("py.typed", "_vorlstore.pyi", "_engine.pyi"):
    assert os.path.exists(os.path.join(here, typed)), typed
print("installed at", here)
PY
test -x "$work/venv/bin/vorlstore"

echo "-- Python tests against the installed package"
cd "$work"  # away from the source tree, so nothing is imported from it
env -u PYTHONPATH VORL_TEST_INSTALLED=1 PATH="$work/venv/bin:$PATH" \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
