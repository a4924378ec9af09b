#!/bin/sh
# How fast a run too big for its memory fails: `hostswitch run` of 2 * 10^8 and 10^9 parasites
# under an address-space limit of 2 GB (prlimit, util-linux), wall time to the failure.
#   bench/memory_refusal_bench.sh [HOSTSWITCH]
set -eu
exe=${1:-build/release/hostswitch}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
for size in "200000000 --capacity 300000000" "1000000000 --capacity 2000000000"; do
  start=$(now)
  # shellcheck disable=SC2086 # the size holds two flags
  if prlimit --as=2000000000 "$exe" run --n-pop $size --no-output 2>"$work/err"; then
    echo "run --n-pop $size did not fail" >&2
    exit 1
  fi
  end=$(now)
  grep -q "insufficient virtual memory" "$work/err" || { cat "$work/err" >&2; exit 1; }
  awk -v s="$start" -v e="$end" -v n="$size" 'BEGIN { printf "n_pop %s: failed after %.3f s\n", n, e - s }'
done
