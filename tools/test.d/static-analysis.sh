#!/usr/bin/env bash
# Static analysis of every C++ file under src/: clang-tidy with the checked-in
# .clang-tidy, and cppcheck with tools/static-analysis/cppcheck-suppressions.txt.
# Any finding fails the stage.  Uses the compile commands of the release
# build (VORL_BUILD_DIR), which must include the extension module for the
# files in src/python.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
B="${VORL_BUILD_DIR:-build}"
jobs=2

if ! command -v clang-tidy >/dev/null 2>&1 || ! command -v cppcheck >/dev/null 2>&1; then
  echo "static analysis: installing clang-tidy and cppcheck" >&2
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-tidy cppcheck >&2
fi

# Only the entries for src/, so that tests and tools are not analysed, and
# every file under src/ must have one: a file the build does not compile
# would otherwise be skipped without a word.
db="$B/static-analysis"
mkdir -p "$db"
mapfile -t files < <(find src -name '*.cc' | sort)
python3 - "$B/compile_commands.json" "$db/compile_commands.json" "$root" "${files[@]}" <<'PY'
import json, os, sys
source, dest, root, files = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
entries = [e for e in json.load(open(source)) if os.path.relpath(e["file"], root).startswith("src" + os.sep)]
known = {os.path.relpath(e["file"], root) for e in entries}
missing = [f for f in files if f not in known]
if missing:
    sys.exit("static analysis: not in the build's compile commands (is the module built?): " + " ".join(missing))
json.dump(entries, open(dest, "w"), indent=1)
PY

tidy_args=(-p "$db" --quiet)
# Python's headers pick their atomics by compiler version and find none for
# clang 14 in C++; clang has the GCC builtins they want.
tidy_args+=(--extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1)
# libstdc++ 12 offers std::source_location only to compilers with
# __builtin_source_location (clang 15 on); give clang 14 an equivalent.
tidy_major=$(clang-tidy --version | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p')
if [ "${tidy_major:-0}" -lt 15 ]; then
  tidy_args+=("--extra-arg=-isystem$root/tools/static-analysis/clang14")
fi

echo "clang-tidy $tidy_major on ${#files[@]} files: ${files[*]}"
status=0
printf '%s\n' "${files[@]}" |
  xargs -P "$jobs" -n 1 clang-tidy "${tidy_args[@]}" >"$db/clang-tidy.log" 2>&1 || status=1
# Drop the per-file "N warnings generated." chatter; keep the findings.
grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$db/clang-tidy.log" || true
if [ $status -ne 0 ]; then
  echo "clang-tidy: findings above"
else
  echo "clang-tidy: clean"
fi

echo "cppcheck on the same files"
# The python library gives cppcheck the C API's macros (Py_RETURN_NONE...),
# since it does not read the interpreter's headers.
if cppcheck --project="$db/compile_commands.json" --std=c++20 -j "$jobs" --quiet \
    --enable=warning,style,performance,portability --library=posix --library=gnu --library=python \
    --inline-suppr --suppressions-list=tools/static-analysis/cppcheck-suppressions.txt \
    --error-exitcode=1 --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    2>"$db/cppcheck.log"; then
  echo "cppcheck: clean"
else
  cat "$db/cppcheck.log"
  echo "cppcheck: findings above"
  status=1
fi
exit $status
