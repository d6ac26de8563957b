# Sourced by the fuzz/run_*.sh scripts: enters the toolchain and prepares build/fuzz.
# Sets: repo, here, seconds (the first argument, 60 by default), out, corpus (for $1 of
# fuzz_setup).
here=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)
repo=$(cd "$here/.." && pwd)
[ -n "${CORVANE_IN_TOOLCHAIN:-}" ] || exec "$repo/dev/run" "${BASH_SOURCE[1]}" "$@"
seconds=${1:-60}
out=$repo/build/fuzz

fuzz_setup() {
  corpus=$out/$1_corpus
  mkdir -p "$corpus"
}
