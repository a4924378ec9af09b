#!/bin/sh
# Time of `hostswitch discover` over a summary of 100,000 design points (a Latin hypercube of
# eight parameters, one replicate each), the runs switching host inside a box of emig_rate
# and sdr.
#   bench/discover_bench.sh [HOSTSWITCH]
# Prints the wall-clock and CPU seconds of the fastest of three runs and the chosen box.
set -eu
exe=${1:-build/release/hostswitch}
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
ranges="--range n_pop=20:200 --range birth_rate=0.2:2 --range capacity=500:5000
  --range emig_rate=0:0.5 --range sdr=0.5:3 --range sdv=0.1:1 --range max_dist=0.5:4
  --range n_gen=100:500"

# shellcheck disable=SC2086
"$exe" design lhs --samples 100000 --seed 1 $ranges -o "$work/design.csv" > /dev/null
# A summary of its rows as a sweep writes them; the model is not run, a run switches host
# when emig_rate < 0.2 and sdr > 1.5, and one in ten elsewhere.
awk -F, 'NR == 1 {
  print "n_pop,birth_rate,capacity,emig_rate,sdr,sdv,max_dist,n_gen,grid_index,replicate,seed,outcome,generations_run,extinction_generation,switch_generations,final_n_pop,final_r_phe,final_mean_phe,final_sd_phe"
  next
}
{
  s = ($5 < 0.2 && $6 > 1.5) || $1 % 10 == 0 ? 1 : 0
  printf "%s,%s,%s,%s,%s,%s,%s,%s,%d,1,%d,completed,%d,,%d,%d,10.5,10.2,0.3\n", $2, $3, $4, $5, $6, $7, $8, $9, $1, $1, $9, s, $2
}' "$work/design.csv" > "$work/summary.csv"

b=
for i in 1 2 3; do
  /usr/bin/time -f "%e %U %S" -o "$work/time.txt" \
    "$exe" discover "$work/summary.csv" --where 'p_switched >= 0.5' -o "$work/boxes.csv" \
    > "$work/said.txt"
  t=$(awk '{ print $1, $2 + $3 }' "$work/time.txt")
  if [ -z "$b" ] || [ "$(echo "${t%% *} < ${b%% *}" | bc)" -eq 1 ]; then b=$t; fi
done
echo "discover, $(($(wc -l < "$work/summary.csv") - 1)) design points, $(($(wc -l < "$work/boxes.csv") - 1)) boxes: ${b% *} s wall, ${b#* } s CPU"
cat "$work/said.txt"
