#!/usr/bin/env python3
"""The model benchmark's run (1,000 parasites, birth rate 2, capacity 1,000,000, no
emigration, sdr 1, sdv 0.5, max_dist 2, 100 generations) as a whole
`hostswitch run --no-output`: natively and as WebAssembly under node, whose figures include
starting node and compiling the module. Best of REPEATS each, wall clock and processor time
(user + system, all threads), the latter being what a busy machine distorts least.

usage: bench/web_bench.py [HOSTSWITCH] [HOSTSWITCH_JS] [REPEATS]
"""
import resource
import subprocess
import sys
import time

exe = sys.argv[1] if len(sys.argv) > 1 else "build/release/hostswitch"
js = sys.argv[2] if len(sys.argv) > 2 else "build/web/hostswitch.js"
repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
ARGS = ("run --n-pop 1000 --birth-rate 2 --capacity 1000000 --emig-rate 0 --sdr 1 --sdv 0.5 "
        "--max-dist 2 --n-gen 100 --seed 123450 --no-output").split()


def processor_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best(command):
    walls, processors, lines = [], [], set()
    for _ in range(repeats):
        wall, processor = time.perf_counter(), processor_seconds()
        lines.add(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        walls.append(time.perf_counter() - wall)
        processors.append(processor_seconds() - processor)
    return min(walls), min(processors), lines


native = best([exe] + ARGS)
web = best(["node", js] + ARGS)
if len(native[2] | web[2]) != 1:
    sys.exit(f"the runs differ: {native[2] | web[2]}")
print(f"model benchmark run, best of {repeats}: {native[2].pop().strip()}")
print(f"  native:       {native[0]:.3f} s wall, {native[1]:.3f} s processor")
print(f"  wasm in node: {web[0]:.3f} s wall, {web[1]:.3f} s processor "
      f"({web[0] / native[0]:.2f} x and {web[1] / native[1]:.2f} x native)")
