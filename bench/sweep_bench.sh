#!/bin/sh
# Throughput of `hostswitch sweep` over replicates of the typical run, with one and two
# threads, the whole-process time of 1,000 replicates, and the time to resume a finished
# 100,000-row sweep (which must only check it and say so).
#   bench/sweep_bench.sh [HOSTSWITCH] [REPLICATES] [REPEATS]
# Each figure is the best of REPEATS runs (wall clock), so other load on the machine
# distorts it as little as possible.
set -eu
exe=${1:-build/release/hostswitch}
replicates=${2:-200000}
repeats=${3:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }

# Best wall time in seconds of: hostswitch sweep ARGS...
best_time() {
  best=
  i=0
  while [ "$i" -lt "$repeats" ]; do
    start=$(now)
    "$exe" sweep "$@" --seed 1 --summary "$work/summary.csv" >/dev/null
    end=$(now)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
    i=$((i + 1))
  done
  echo "$best"
}

t1=$(best_time --replicates "$replicates" --jobs 1)
cp "$work/summary.csv" "$work/one.csv"
t2=$(best_time --replicates "$replicates" --jobs 2)
cmp -s "$work/one.csv" "$work/summary.csv" || { echo "summaries differ between --jobs 1 and 2" >&2; exit 1; }
t1000=$(best_time --replicates 1000)

"$exe" sweep --replicates 100000 --seed 1 --summary "$work/finished.csv" >/dev/null
best_resume=
i=0
while [ "$i" -lt "$repeats" ]; do
  start=$(now)
  "$exe" sweep --replicates 100000 --seed 1 --summary "$work/finished.csv" --resume | grep -q "nothing to do"
  end=$(now)
  best_resume=$(awk -v s="$start" -v e="$end" -v b="$best_resume" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
  i=$((i + 1))
done

printf 'typical run, %s replicates (best of %s)\n' "$replicates" "$repeats"
awk -v n="$replicates" -v t1="$t1" -v t2="$t2" 'BEGIN {
  printf "  --jobs 1: %8.0f replicates/s (%.3f s)\n", n / t1, t1
  printf "  --jobs 2: %8.0f replicates/s (%.3f s)\n", n / t2, t2
  printf "  speed-up: %.2f\n", t1 / t2 }'
printf '1,000 replicates, whole process: %.3f s\n' "$t1000"
printf 'resuming a finished 100,000-row sweep: %.3f s\n' "$best_resume"
