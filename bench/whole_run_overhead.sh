#!/usr/bin/env bash
# The whole run with its results file against the model alone, at the model benchmark's
# parameters: both benchmarks taken in turn ROUNDS times, the fastest of each kept, so that a
# busy moment on a shared machine weighs on neither. HOSTSWITCH_KERNEL picks the kernel.
# Usage: bench/whole_run_overhead.sh BENCH_EXECUTABLE [ROUNDS]
set -euo pipefail
bench=${1:?usage: $0 BENCH_EXECUTABLE [ROUNDS]}
rounds=${2:-6}
rate() {
  "$bench" --benchmark_filter="$1" --benchmark_min_time=0.5 2>/dev/null |
    grep -o 'ns_per_individual_generation=[0-9.]*' | cut -d= -f2
}
for _ in $(seq "$rounds"); do
  echo "model $(rate '^BM_RunModelNullReporter/0/')"
  echo "file $(rate '^BM_RunWithResultsFile/0/')"
done | awk '{ if (!($1 in best) || $2 < best[$1]) best[$1] = $2 }
  END { printf "kernel %s: model %.2f ns, whole run %.2f ns per individual-generation (+%.1f%%)\n",
        ENVIRON["HOSTSWITCH_KERNEL"] == "" ? "default" : ENVIRON["HOSTSWITCH_KERNEL"],
        best["model"], best["file"], 100 * (best["file"] / best["model"] - 1) }'
