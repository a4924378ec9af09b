#!/usr/bin/env bash
# Whether a second thread is worth a second processor: on the model benchmark's run, taken in
# turn ROUNDS times (so that a busy moment of a shared machine weighs on all three alike),
#   one   a single-thread run alone,
#   pair  two independent single-thread runs at once,
#   two   one run with --threads 2,
# and the median of each kept. The processes' speed-up (2 x one / pair) is what two
# processors give work that shares nothing; the threads' speed-up (one / two) is what the
# kernel's threads get of it; their ratio is the threads' share (target >= 0.9).
# Times are the runs' own wall times from --stats (the model's run, not process start-up).
# Then the machine's own figures for what threads pay and processes do not: a call every
# thread takes part in, and moving memory the other thread has read (as the births' parent
# reads leave the population before the stayers' move) against memory it has not.
# Usage: bench/threads_bench.sh [BUILD_DIR] [ROUNDS] [extra run arguments...]
#   BUILD_DIR: build/release; ROUNDS: 7; HOSTSWITCH_KERNEL forces a kernel as for any run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-7}
shift $(($# < 2 ? $# : 2))
exe=$build/hostswitch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
model=(--n-pop 1000 --birth-rate 2 --capacity 1000000 --emig-rate 0 --n-gen 100
  --seed 123450 --no-output --stats "$@")

# Wall seconds of the run whose --stats went to file $1.
wall_of() { awk '/wall time/ { print $3 }' "$1"; }

for round in $(seq "$rounds"); do
  "$exe" run "${model[@]}" --threads 1 >/dev/null 2>"$work/one"
  "$exe" run "${model[@]}" --threads 1 >/dev/null 2>"$work/pair1" &
  first=$!
  "$exe" run "${model[@]}" --threads 1 >/dev/null 2>"$work/pair2" &
  second=$!
  wait "$first" "$second"
  "$exe" run "${model[@]}" --threads 2 >/dev/null 2>"$work/two"
  a=$(wall_of "$work/one")
  b1=$(wall_of "$work/pair1")
  b2=$(wall_of "$work/pair2")
  c=$(wall_of "$work/two")
  # The pair's work is done when the slower of the two ends.
  b=$(awk -v x="$b1" -v y="$b2" 'BEGIN { print (x > y ? x : y) }')
  printf '%s %s %s %s\n' "$round" "$a" "$b" "$c"
done >"$work/rounds"

echo "== machine =="
lscpu | awk -F: '/^Model name|^Thread\(s\) per core|^Core\(s\) per socket|^Socket\(s\)|^CPU\(s\)|^L2 cache|^L3 cache/ {
  gsub(/^ +/, "", $2); printf "%-20s %s\n", $1, $2 }'
echo "kernel               ${HOSTSWITCH_KERNEL:-widest supported}"
echo "== rounds (wall s): one, pair (slower of the two), --threads 2 =="
awk '{ printf "round %s: %.3f %.3f %.3f\n", $1, $2, $3, $4 }' "$work/rounds"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
one=$(awk '{ print $2 }' "$work/rounds" | median)
pair=$(awk '{ print $3 }' "$work/rounds" | median)
two=$(awk '{ print $4 }' "$work/rounds" | median)
echo "== medians over $rounds rounds =="
awk -v a="$one" -v b="$pair" -v c="$two" 'BEGIN {
  p = 2 * a / b; t = a / c
  printf "one run %.3f s, two runs at once %.3f s, --threads 2 %.3f s\n", a, b, c
  printf "processes speed-up %.2f, threads speed-up %.2f, ratio %.2f (target >= 0.9)\n", p, t, t / p }'

bench=$build/bench/hostswitch_bench
echo "== the machine: a shared call, and the stayers' move after the births' reads =="
probe() { "$bench" --benchmark_filter="$1" --benchmark_format=csv 2>/dev/null | tail -1 | cut -d, -f3; }
call=$(probe 'SharedCall')
own=$(probe 'MoveAfterReads/0/')
other=$(probe 'MoveAfterReads/1/')
# Two threads' iterations are counted together: a round of both takes twice the time given.
awk -v c="$call" -v o="$own" -v t="$other" 'BEGIN {
  printf "a call all threads take part in: %.2f us\n", c / 1000
  printf "two threads each reading a half (4 MB) and moving their own: %.0f us a round after\n", 2 * o / 1000
  printf "  reading their own, %.0f us after reading the other'"'"'s (%.1f times)\n", 2 * t / 1000, t / o }'
