#!/usr/bin/env bash
# fuzz/run_redis_reply.sh [seconds]: builds the RESP reply fuzzer with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it for a bounded time (60 s by
# default). Crashes are left in build/fuzz/ as crash-* files.
set -euo pipefail
# shellcheck source=fuzz/setup.sh
. "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
fuzz_setup redis_reply

clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$repo" "$here/redis_reply_fuzz.cpp" "$repo/corvane/redis/resp.cpp" -o "$out/redis_reply_fuzz"

# Seeds: the first byte chooses the piece size, the rest is a reply stream.
seed() { printf "$2" >"$corpus/seed-$1"; }
seed status '\x03+PONG\r\n+OK\r\n'
seed error '\x05-WRONGPASS invalid username-password pair\r\n'
seed integer '\xff:-9223372036854775808\r\n:42\r\n'
seed bulk '\x01$5\r\nhello\r\n$0\r\n\r\n$-1\r\n'
seed mixed '\x0f$3\r\nabc\r\n+OK\r\n:1\r\n-ERR x\r\n$-1\r\n'
# A line just over the 64 KiB limit, read in one piece.
{ printf '\xff+'; head -c 65540 /dev/zero | tr '\0' a; printf '\r\n'; } >"$corpus/seed-long-line"
printf '%s\n' '"\x0D\x0A"' '"$"' '"+"' '"-"' '":"' '"$-1\x0D\x0A"' '"*"' '"OK"' >"$out/redis_reply.dict"

cd "$out"
./redis_reply_fuzz -max_total_time="$seconds" -max_len=80000 -rss_limit_mb=2048 \
  -dict="$out/redis_reply.dict" -print_final_stats=1 "$corpus"
