#!/usr/bin/env bash
# Fuzzes one target for a given time, building the libFuzzer build first.
#
#   bash fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# TARGET is store_fuzzer, key_text_fuzzer, hash_section_fuzzer or
# compressed_store_fuzzer.  The
# corpus grows in BUILD/corpus/TARGET (kept between runs) from the generated
# seeds and the saved regressions; a crashing input is written to
# BUILD/artifacts/.  Copy it into fuzz/regressions/NAME/ (NAME is TARGET
# without "_fuzzer") once fixed, and the CTest replay tests keep checking it.
#
# Environment: VORL_FUZZ_BUILD_DIR (default build-fuzz), VORL_FUZZ_QUIET=1 to
# print only the final statistics.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
target="${1:?usage: fuzz/run.sh TARGET SECONDS [libFuzzer options]}"
seconds="${2:?usage: fuzz/run.sh TARGET SECONDS [libFuzzer options]}"
shift 2
FB="${VORL_FUZZ_BUILD_DIR:-build-fuzz}"
corpus_name="${target%_fuzzer}"

# libFuzzer ships in clang's runtime package, which a fresh machine may lack.
need_runtime() {
  command -v clang++ >/dev/null 2>&1 || return 0
  local lib
  lib="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a"
  [ ! -f "$lib" ]
}
if ! command -v clang++ >/dev/null 2>&1 || need_runtime; then
  echo "fuzz: installing clang and its runtime (libFuzzer)" >&2
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >&2
fi

if [ ! -f "$FB/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$FB" -G Ninja -DVORL_FUZZ=ON -DVORL_BUILD_TESTS=OFF \
    -DVORL_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    >/dev/null
fi
out=$(cmake --build "$FB" -j 2 --target "$target" make_fuzz_seeds 2>&1) || { echo "$out"; exit 1; }

"$FB/fuzz/make_fuzz_seeds" "$FB/seeds" >/dev/null
mkdir -p "$FB/corpus/$corpus_name" "$FB/artifacts"
inputs=("$FB/corpus/$corpus_name" "$FB/seeds/$corpus_name")
[ -d "fuzz/regressions/$corpus_name" ] && inputs+=("fuzz/regressions/$corpus_name")

log="$FB/artifacts/$target.log"
set +e
"$FB/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$root/$FB/artifacts/" "$@" "${inputs[@]}" >"$log" 2>&1
rc=$?
set -e
if [ "${VORL_FUZZ_QUIET:-0}" = 1 ] && [ $rc -eq 0 ]; then
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" |
    sed "s/^/$target /"
else
  cat "$log"
fi
if [ $rc -ne 0 ]; then
  echo "fuzz: $target failed (exit $rc); inputs in $FB/artifacts/" >&2
  ls "$FB/artifacts" >&2
fi
exit $rc
