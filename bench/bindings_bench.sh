#!/usr/bin/env bash
# Per-call cost of a typical run (seed fixed, results file written) from the command line,
# from Python and from R, and of a 1,000-replicate sweep (--jobs 1) each way. Every figure is
# the best of REPEATS batches (wall clock), so other load distorts it as little as possible.
#   bench/bindings_bench.sh [BUILD_DIR] [R_LIBRARY] [CALLS] [REPEATS]
# BUILD_DIR holds the program and python/ (default build/release); R_LIBRARY an installed
# package (BUILD_DIR/r-package/library after the r_package test); without it R is left out.
# HOSTSWITCH_KERNEL picks the kernel of the program and the module (default scalar).
set -euo pipefail
# The R package has the scalar kernel only; the same kernel everywhere compares the calls alone.
export HOSTSWITCH_KERNEL=${HOSTSWITCH_KERNEL:-scalar}
build=$(realpath "${1:-build/release}")
rlib=${2:+$(realpath "$2")}
calls=${3:-200}
repeats=${4:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
program=$build/hostswitch

best() {  # best wall seconds of a command, over REPEATS
  local best="" start end took
  for _ in $(seq "$repeats"); do
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then best=$took; fi
  done
  echo "$best"
}
cli_runs() { for i in $(seq "$calls"); do "$program" run --seed "$i" --output out.txt; done; }
cli_sweep() { "$program" sweep --replicates 1000 --seed 1 --jobs 1 --summary s.csv; }

cli=$(best cli_runs)
printf 'command line  run:   %8.3f ms a call (a process each)\n' "$(echo "$cli * 1000 / $calls" | bc -l)"
printf 'command line  sweep: %8.1f ms for 1000 replicates\n' "$(echo "$(best cli_sweep) * 1000" | bc -l)"

PYTHONPATH=$build/python /usr/bin/python3 - "$calls" "$repeats" <<'PY'
import sys, time
import hostswitch as hs
calls, repeats = int(sys.argv[1]), int(sys.argv[2])
def best(f):
    times = []
    for _ in range(repeats):
        start = time.perf_counter(); f(); times.append(time.perf_counter() - start)
    return min(times)
run = best(lambda: [hs.run(seed=i) for i in range(1, calls + 1)])
frames = best(lambda: [hs.run(seed=i).records for i in range(1, calls + 1)])
sweep = best(lambda: hs.sweep({}, replicates=1000, seed=1, jobs=1, progress=False))
print(f"python        run:   {run * 1000 / calls:8.3f} ms a call, {frames * 1000 / calls:.3f} ms "
      "with the records frame")
print(f"python        sweep: {sweep * 1000:8.1f} ms for 1000 replicates, as a frame")
PY

if [ -n "$rlib" ]; then
  R_LIBS=$rlib Rscript - "$calls" "$repeats" <<'R'
library(hostswitch)
args <- as.integer(commandArgs(TRUE))
best <- function(f) min(replicate(args[2], system.time(f())[["elapsed"]]))
run <- best(function() for (i in seq_len(args[1])) hs_run(seed = i))
sweep <- best(function() hs_sweep(list(), replicates = 1000, seed = 1, jobs = 1, progress = FALSE))
cat(sprintf("R             run:   %8.3f ms a call, with its frames\n", run * 1000 / args[1]))
cat(sprintf("R             sweep: %8.1f ms for 1000 replicates, as a data.frame\n", sweep * 1000))
R
fi
