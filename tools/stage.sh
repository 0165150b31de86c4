# Sourced by the stages in tools/test.d: makes the repository root the
# working folder and sets root, the build folder B (VORL_BUILD_DIR) and the
# interpreter PY.  build_targets brings targets of that build up to date,
# showing the build's output only when it fails.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
B="${VORL_BUILD_DIR:-build}"
PY="${PY:-$(bash tools/python314.sh)}"

build_targets() {  # target...
  local out
  out=$(cmake --build "$B" --target "$@" 2>&1) || { echo "$out"; exit 1; }
}
