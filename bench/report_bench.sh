#!/bin/sh
# Time and peak memory of `hostswitch report` on a large summary: by default 1,000,000 rows,
# 1,000 grid points of 1,000 replicates (emig_rate x max_dist x sdr), about a third completed,
# with the shares by generation at 10 generations (--at).
#   bench/report_bench.sh [HOSTSWITCH] [GRID_POINTS] [REPLICATES]
# Prints wall-clock seconds and maximum resident set size (from /usr/bin/time -v), best of
# three runs, and fails when they exceed 3 s or 200 MB.
set -eu
exe=${1:-build/release/hostswitch}
points=${2:-1000}
replicates=${3:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Rows as a sweep writes them; the model is not run, only its summary format is mimicked.
awk -v points="$points" -v replicates="$replicates" '
# first_switch_generation, switch_rate, farthest_host_distance, longest_stay of t generations
# with s switches.
function outcomes(t, s) {
  if (s == 0) return sprintf(",0,0,%d", t)
  return sprintf("%d,%.17g,%.15g,%d", 1 + int(rand() * (t - s + 1)), s / t, rand() * 5, int(t / (s + 1)) + 1)
}
BEGIN {
  srand(1)
  print "n_pop,birth_rate,capacity,emig_rate,sdr,sdv,max_dist,n_gen,grid_index,replicate,seed,outcome,generations_run,extinction_generation,switch_generations,final_n_pop,final_r_phe,final_mean_phe,final_sd_phe,first_switch_generation,switch_rate,farthest_host_distance,longest_stay"
  for (g = 1; g <= points; g++) {
    emig = 0.01 * (1 + (g - 1) % 10); dist = 0.5 * (1 + int((g - 1) / 10) % 10); sdr = 1 + int((g - 1) / 100)
    for (r = 1; r <= replicates; r++) {
      seed = int(rand() * 2147483647)
      if (rand() < 0.66) {
        t = 1 + int(rand() * rand() * 500); s = int(rand() * t / 4)
        printf "100,0.5,1000,%s,%s,0.5,%s,500,%d,%d,%d,extinct,%d,%d,%d,0,%.15g,,,%s\n", emig, sdr, dist, g, r, seed, t, t, s, 10 + rand() * 20 - 10, outcomes(t, s)
      } else {
        s = int(rand() * 125)
        printf "100,0.5,1000,%s,%s,0.5,%s,500,%d,%d,%d,completed,500,,%d,%d,%.15g,%.15g,%.15g,%s\n", emig, sdr, dist, g, r, seed, s, 1 + int(rand() * 1000), 10 + rand() * 20 - 10, 10 + rand(), rand(), outcomes(500, s)
      }
    }
  }
}' > "$work/summary.csv"
rows=$(($(wc -l < "$work/summary.csv") - 1))
size=$(du -m "$work/summary.csv" | cut -f1)

best_time=
best_rss=
for i in 1 2 3; do
  /usr/bin/time -v "$exe" report "$work/summary.csv" --table "$work/stats.csv" -o "$work/report.html" \
    --at 10,25,50,100,150,200,250,300,400,500 > /dev/null 2> "$work/time.txt"
  t=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$work/time.txt")
  m=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
  best_time=$(awk -v a="$t" -v b="$best_time" 'BEGIN { print (b == "" || a < b) ? a : b }')
  best_rss=$(awk -v a="$m" -v b="$best_rss" 'BEGIN { print (b == "" || a < b) ? a : b }')
done
html=$(du -k "$work/report.html" | cut -f1)
printf 'report of %s rows (%s MB, %s grid points): %.2f s, peak %.1f MB; report.html %s kB\n' \
  "$rows" "$size" "$points" "$best_time" "$(awk -v k="$best_rss" 'BEGIN { print k / 1024 }')" "$html"
awk -v t="$best_time" -v k="$best_rss" 'BEGIN { exit !(t < 3 && k < 200 * 1024) }' ||
  { echo "over the target of 3 s and 200 MB" >&2; exit 1; }
