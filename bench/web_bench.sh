#!/bin/sh
# The model benchmark's run (1,000 parasites, birth rate 2, capacity 1,000,000, no emigration,
# sdr 1, sdv 0.5, max_dist 2, 100 generations) as a whole `hostswitch run --no-output`:
# natively and as WebAssembly under node, whose figure includes starting node and compiling
# the module. Best wall time of REPEATS each.
#   bench/web_bench.sh [HOSTSWITCH] [HOSTSWITCH_JS] [REPEATS]
set -eu
exe=${1:-build/release/hostswitch}
js=${2:-build/web/hostswitch.js}
repeats=${3:-5}
args="run --n-pop 1000 --birth-rate 2 --capacity 1000000 --emig-rate 0 --sdr 1 --sdv 0.5
      --max-dist 2 --n-gen 100 --seed 123450 --no-output"

now() { date +%s.%N; }

# Best wall time in seconds of the command given, and the line it printed.
best_time() {
  best=
  i=0
  while [ "$i" -lt "$repeats" ]; do
    start=$(now)
    line=$("$@")
    end=$(now)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
    i=$((i + 1))
  done
  echo "$best $line"
}

# shellcheck disable=SC2086
native=$(best_time "$exe" $args)
# shellcheck disable=SC2086
web=$(best_time node "$js" $args)
[ "${native#* }" = "${web#* }" ] || { echo "the two runs differ: $native / $web" >&2; exit 1; }

printf 'model benchmark run, best of %s: %s\n' "$repeats" "${native#* }"
awk -v n="${native%% *}" -v w="${web%% *}" 'BEGIN {
  printf "  native:       %.3f s\n", n
  printf "  wasm in node: %.3f s (%.2f x native)\n", w, w / n }'
