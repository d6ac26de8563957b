#!/usr/bin/env bash
# fuzz/run_args.sh [seconds]: builds the argument-parser fuzzer with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) around an embedded Python 3.14 and runs it
# for a bounded time (60 s by default). Crashes are left in build/fuzz/ as crash-* files.
set -euo pipefail
# shellcheck source=fuzz/setup.sh
. "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
fuzz_setup args

# shellcheck disable=SC2046 # the flags are words
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$repo" $(python3.14-config --includes) "$here/args_fuzz.cpp" \
  "$repo/corvane/common/args.cpp" "$repo/corvane/common/error.cpp" \
  $(python3.14-config --ldflags --embed) -o "$out/args_fuzz"

cd "$out"
# The embedded interpreter keeps its start-up allocations until exit: no leak report.
ASAN_OPTIONS=detect_leaks=0 ./args_fuzz -max_total_time="$seconds" -max_len=256 \
  -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
