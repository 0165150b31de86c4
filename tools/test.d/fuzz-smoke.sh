#!/usr/bin/env bash
# A short libFuzzer run of each fuzz target (about 45 s in all): the reader
# on inputs up to 4 KiB and then on large ones, the key text conversion, the
# hash index section and compressed records.
# Any crash, sanitizer report or broken invariant fails the stage; see
# fuzz/run.sh for longer runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
B="${VORL_BUILD_DIR:-build}"
export VORL_FUZZ_BUILD_DIR="$B-fuzz" VORL_FUZZ_QUIET=1
bash fuzz/run.sh store_fuzzer 20 -max_len=4096
bash fuzz/run.sh store_fuzzer 6
bash fuzz/run.sh key_text_fuzzer 8
bash fuzz/run.sh hash_section_fuzzer 10 -max_len=4096
bash fuzz/run.sh compressed_store_fuzzer 8
