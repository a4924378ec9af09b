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
# thread takes part in, and the stayers' move (memory-bound) alone, on one thread, as two
# processes at once and on two threads of one process.
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
echo "== the machine: a shared call, and moving half a population (4 MB) =="
probe() { "$bench" --benchmark_filter="$1" --benchmark_format=csv 2>/dev/null | tail -1; }
call=$(probe 'SharedCall' | cut -d, -f3)
alone=$(probe 'MoveHalf.*threads:1$' | cut -d, -f3)
probe 'MoveHalf.*threads:1$' >"$work/move1" &
first=$!
probe 'MoveHalf.*threads:1$' >"$work/move2"
wait "$first"
pair=$(cut -d, -f3 "$work/move1" "$work/move2" | sort -g | tail -1)
threads=$(probe 'MoveHalf.*threads:2$' | cut -d, -f3)
awk -v c="$call" -v a="$alone" -v p="$pair" -v t="$threads" 'BEGIN {
  printf "a call all threads take part in: %.2f us\n", c / 1000
  printf "moving 4 MB: alone %.1f us, two processes at once %.1f us, two threads %.1f us each\n",
    a / 1000, p / 1000, 2 * t / 1000 }'
