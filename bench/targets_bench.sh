#!/usr/bin/env bash
# The model's speed and memory targets on this machine, at the model benchmark's parameters
# (1,000 parasites, birth rate 2, capacity 10^6, emigration 0, sdr 1, sdv 0.5, max_dist 2,
# 100 generations, seed 123450) unless said otherwise. Runs that are compared are taken in
# turn ROUNDS times and the fastest of each kept, so that a busy moment on a shared machine
# weighs on neither.
# Usage: bench/targets_bench.sh [BUILD_DIR] [ROUNDS]   (BUILD_DIR: build/release; NUMPY_MODEL and
# NUMBA_MODEL: the numpy and numba versions of the model, ../shared/reference/numpy_model.py and
# numba_model.py of the development machine; the numba one needs Debian's python3-numba)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-5}
exe=$build/hostswitch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
typical=(--n-pop 1000 --birth-rate 2 --capacity 1000000 --emig-rate 0 --sdr 1 --sdv 0.5
  --max-dist 2 --n-gen 100 --seed 123450)

# Wall seconds of a command run in $work (its output discarded).
seconds() {
  local start end
  start=$(date +%s.%N)
  (cd "$work" && "$@" >/dev/null 2>&1)
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}
fastest() { sort -g | head -1; }

echo "== model alone, one thread, avx2 (target <= 3.5 ns) =="
HOSTSWITCH_KERNEL=avx2 "$build/bench/hostswitch_bench" --benchmark_filter='^BM_ModelKernel/2/' \
  --benchmark_repetitions="$rounds" --benchmark_report_aggregates_only=false 2>/dev/null |
  grep -v -E '_(mean|median|stddev|cv) ' | grep -o 'ns_per_individual_generation=[0-9.]*' |
  cut -d= -f2 | fastest |
  awk '{ printf "%.2f ns per individual-generation (fastest of the repetitions)\n", $1 }'

echo "== model alone, one thread, against the numba model (target <= 0.20) =="
# Both count the individuals tried (the population after births) of every generation, and both
# time the run alone: ours without writing output.txt, numba's after its compilation.
numba=${NUMBA_MODEL:-/work/shared/reference/numba_model.py}
if /usr/bin/python3 -c 'import numba' 2>/dev/null; then
  for _ in $(seq "$rounds"); do
    "$exe" run "${typical[@]}" --threads 1 --no-output --stats >/dev/null 2>"$work/stats"
    echo "run $(awk '/ns per individual-generation/ { print $4 }' "$work/stats")"
    echo "numba $(/usr/bin/python3 "$numba" 1000 2.0 1000000 0.0 1.0 0.5 2.0 100 123450 |
      sed -n 's/.* \([0-9.]*\) ns\/ind-gen$/\1/p')"
  done >"$work/numba"
  awk '{ if (!($1 in best) || $2 < best[$1]) best[$1] = $2 }
    END { printf "hostswitch run %.2f ns, numba %.2f ns per individual-generation: %.3f\n",
          best["run"], best["numba"], best["run"] / best["numba"] }' "$work/numba"
else
  echo "skipped: /usr/bin/python3 has no numba (Debian's python3-numba)"
fi

echo "== whole run with output.txt: 2 threads against 1 (target <= 0.55) =="
for _ in $(seq "$rounds"); do
  echo "one $(seconds "$PWD/$exe" run "${typical[@]}" --threads 1)"
  echo "two $(seconds "$PWD/$exe" run "${typical[@]}" --threads 2)"
done >"$work/threads"
awk '{ if (!($1 in best) || $2 < best[$1]) best[$1] = $2 }
  END { printf "1 thread %.3f s, 2 threads %.3f s: %.2f\n", best["one"], best["two"],
        best["two"] / best["one"] }' "$work/threads"

echo "== default whole run against the numpy model (target <= 0.10) =="
for _ in $(seq "$rounds"); do
  echo "run $(seconds "$PWD/$exe" run "${typical[@]}")"
  echo "numpy $(seconds /usr/bin/python3 "${NUMPY_MODEL:-/work/shared/reference/numpy_model.py}" 1000 2.0 1000000 0.0 1.0 0.5 \
    2.0 100 123450)"
done >"$work/numpy"
awk '{ if (!($1 in best) || $2 < best[$1]) best[$1] = $2 }
  END { printf "hostswitch run %.3f s, numpy %.3f s: %.3f\n", best["run"], best["numpy"],
        best["run"] / best["numpy"] }' "$work/numpy"

# CPU ns per individual-generation (from --stats), user and system seconds and peak RSS of one
# run on one thread at a capacity and a number of generations, the other parameters the
# model benchmark's.
sized_run() {
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$exe" run --n-pop 1000 --birth-rate 2 \
    --capacity "$1" --emig-rate 0 --sdr 1 --sdv 0.5 --max-dist 2 --n-gen "$2" --seed 123450 \
    --threads 1 --no-output --stats 2>"$work/stats" >/dev/null
  # CPU time: wall time on a shared machine counts other people's builds too.
  echo "$(awk '/ns per individual-generation/ { print $6 }' "$work/stats") $(cat "$work/time")"
}
sizes_report() {
  awk '{ if (!($1 in best) || $2 < best[$1]) { best[$1] = $2; line[$1] = $0 } }
    END { for (c in line) { split(line[c], f, " ")
            printf "capacity %s: %s ns (CPU) per individual-generation, system %.2f s (%.1f%%), peak RSS %.0f MB\n",
              c, f[2], f[4], 100 * f[4] / (f[3] + f[4]), f[5] / 1024 }
          printf "ratio %.2f\n", best[100000000] / best[10000000] }' "$1" | sort
}

echo "== cost per individual-generation, capacity 10^8 against 10^7, one thread, 100 generations (target <= 1.3, system < 5%) =="
for _ in $(seq "$rounds"); do
  for capacity in 10000000 100000000; do echo "$capacity $(sized_run "$capacity" 100)"; done
done >"$work/sizes"
sizes_report "$work/sizes"
# Shorter runs are mostly growth, and growth is mostly offspring, which cost several times a
# survivor; the 20 generations at 10^8 hold twice the share of offspring of the 40 at 10^7.
echo "-- the same at 40 and 20 generations, once --"
{
  echo "10000000 $(sized_run 10000000 40)"
  echo "100000000 $(sized_run 100000000 20)"
} >"$work/growth"
sizes_report "$work/growth"

echo "== 7*10^8 parasites growing to 10^9 (birth rate 0.5, 3 generations, --no-output) =="
/usr/bin/time -f "%e %U %S %M" -o "$work/time" "$exe" run --n-pop 700000000 --birth-rate 0.5 \
  --capacity 1000000000 --emig-rate 0 --n-gen 3 --seed 123450 --no-output >/dev/null
read -r wall user system rss <"$work/time"
awk -v w="$wall" -v u="$user" -v s="$system" -v r="$rss" \
  'BEGIN { printf "wall %.1f s (user %.1f s, system %.1f s), peak RSS %.2f GB\n", w, u, s, r / 1048576 }'
