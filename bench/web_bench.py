#!/usr/bin/env python3
"""The model benchmark's run (1,000 parasites, birth rate 2, capacity 1,000,000, no
emigration, sdr 1, sdv 0.5, max_dist 2, 100 generations) as a whole
`hostswitch run --no-output`: natively on the default kernel and threads, and on sse2 with
the default threads and with one (as the WebAssembly build runs); and as WebAssembly under
node in its SIMD128 build and its scalar build (HOSTSWITCH_KERNEL=scalar), whose figures
include starting node and compiling the module. The five are taken in turn, REPEATS rounds,
and each keeps its fastest: wall clock and processor time (user + system, all threads), the
latter being what a busy machine distorts least. Ratios are to native sse2 on one thread.

usage: bench/web_bench.py [HOSTSWITCH] [HOSTSWITCH_JS] [REPEATS]
"""
import os
import resource
import subprocess
import sys
import time

exe = sys.argv[1] if len(sys.argv) > 1 else "build/release/hostswitch"
js = sys.argv[2] if len(sys.argv) > 2 else "build/web/hostswitch.js"
repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
ARGS = ("run --n-pop 1000 --birth-rate 2 --capacity 1000000 --emig-rate 0 --sdr 1 --sdv 0.5 "
        "--max-dist 2 --n-gen 100 --seed 123450 --no-output").split()
CASES = {
    # name: (command, HOSTSWITCH_KERNEL or None)
    "native": ([exe] + ARGS, None),
    "native sse2": ([exe] + ARGS, "sse2"),
    "native sse2, 1 thread": ([exe] + ARGS + ["--threads", "1"], "sse2"),
    "node simd128": (["node", js] + ARGS, None),
    "node scalar": (["node", js] + ARGS, "scalar"),
}


def processor_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def once(command, kernel):
    environment = {k: v for k, v in os.environ.items() if k != "HOSTSWITCH_KERNEL"}
    if kernel:
        environment["HOSTSWITCH_KERNEL"] = kernel
    wall, processor = time.perf_counter(), processor_seconds()
    out = subprocess.run(command, check=True, capture_output=True, text=True,
                         env=environment).stdout
    return time.perf_counter() - wall, processor_seconds() - processor, out


times = {name: ([], []) for name in CASES}
lines = set()
for _ in range(repeats):
    for name, (command, kernel) in CASES.items():
        wall, processor, out = once(command, kernel)
        times[name][0].append(wall)
        times[name][1].append(processor)
        lines.add(out)
if len(lines) != 1:
    sys.exit(f"the runs differ: {lines}")
print(f"model benchmark run, fastest of {repeats} taken in turn: {lines.pop().strip()}")
sse2_wall, sse2_processor = (min(t) for t in times["native sse2, 1 thread"])
for name, (walls, processors) in times.items():
    print(f"  {name + ':':23} {min(walls):.3f} s wall, {min(processors):.3f} s processor "
          f"({min(walls) / sse2_wall:.2f} x and {min(processors) / sse2_processor:.2f} x)")
