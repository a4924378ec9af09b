#!/usr/bin/env python3
"""The WebAssembly command line under node against the native program: for every case both
run in empty directories of their own with the same arguments, and their exit status,
standard output, standard error and every file written must be the same bytes. Every run is
made by both builds of the module: the one node's loader picks (SIMD128 on this node, with the
vector kernel from a capacity of 1,024) and the scalar one that HOSTSWITCH_KERNEL=scalar forces. A sweep's
manifest (summary.csv.json) is the one exception: it records the program that ran (its command
line's first word, and a run directory's executable), which is the native program's path in one
and "hostswitch" under node; those entries are set aside and everything else in it must match.
Under node no file lock reaches another process, so a sweep's summary goes to a pipe there, and
a summary file is refused by the node program alone; a FIFO is written in place by both.

usage: node_matches_native.py NATIVE_HOSTSWITCH WEB_HOSTSWITCH_JS
"""
import json
import os
import subprocess
import sys
import tempfile
import threading

NATIVE, NODE_PROGRAM = (os.path.abspath(path) for path in sys.argv[1:3])

RUNS = {
    # name: (arguments, what the native standard output must hold, standard input)
    "typical run": ("run --seed 42 --plot output.svg --summary row.csv", ""),
    "growth to the capacity cap": (
        "run --seed 5 --n-pop 1000 --birth-rate 2 --capacity 20000 --emig-rate 0 --n-gen 40 "
        "--plot output.svg", "completed after 40 generations"),
    "many switches": (
        "run --seed 11 --emig-rate 0.5 --sdr 3 --max-dist 0.5 --n-gen 2000 --plot output.svg",
        "extinct at generation 84; host switch in 75 of 84"),
    "many switches, longer": (
        "run --seed 9 --emig-rate 0.3 --sdr 2 --max-dist 1 --n-gen 3000 --capacity 2000",
        "extinct at generation 20; host switch in 13"),
    "emigration 1 on the vector kernel": (
        "run --seed 21 --emig-rate 1 --capacity 5000 --birth-rate 1.5 --max-dist 0.5 --n-gen 50",
        "host switch in 50 of 50 generations"),
    "a subnormal survival width on the vector kernel": (
        "run --seed 4 --capacity 5000 --n-pop 2000 --birth-rate 1.2 --sdr 1e-160 --sdv 1e-150 "
        "--max-dist 1e-170 --emig-rate 0.5 --n-gen 20", "host switch in 20 of 20 generations"),
    "huge widths on the vector kernel": (
        "run --seed 4 --capacity 5000 --n-pop 2000 --birth-rate 1 --sdr 1e150 --sdv 1e140 "
        "--n-gen 20", "final population 4;"),
    "extinction at generation 1": ("run --seed 1 --emig-rate 1 --sdr 0.001 --plot output.svg",
                                   "extinct at generation 1;"),
    "a subnormal emigration rate is a number": ("run --seed 3 --emig-rate 4e-320 --n-gen 30", ""),
    "the dialogue, answered from standard input": (
        "--seed 77", " Initial population size", "100\n0.5\n1e3\n.1\n1.0D0\n0.5\n2\n3*50\n\n"),
    # The summary's shortest numbers in both notations (1e-04, 0.2, 10.05...).
    "replicates on one job": (
        "sweep --emig-rate 0.0001,0.2 --sdv 0.00001,0.5 --replicates 3 --seed 7 --jobs 1 "
        "--n-gen 200 --outputs kept --summary /dev/stdout", "12 runs written"),
}

REFUSALS = [
    "run --n-pop 0",
    "run --n-pop 100 --capacity 50",
    "run --birth-rate=-1",
    "run --n-pop 1e3",
    "run --birth-rate 1e400",
    "run --birth-rate 1e-400",
    "run --sdr inf",
    "run --max-dist nan",
    "run --max-dist 0x10",
    "run --emig-rate 1e",
    "run --seed 99999999999",
    "run --n-gen 2,3",
    "sweep --replicates 0",
    "sweep --sdv 1,,2",
    "run --bogus 1",
]


# The module builds to compare, by the HOSTSWITCH_KERNEL that picks them.
BUILDS = {"simd128": None, "scalar": "scalar"}
MODULE_CHOICE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "web",
                             "module_choice.js")


def run(program, args, directory, answers, kernel=None):
    environment = {k: v for k, v in os.environ.items() if k != "HOSTSWITCH_KERNEL"}
    if kernel:
        environment["HOSTSWITCH_KERNEL"] = kernel
    completed = subprocess.run(program + args.split(), cwd=directory, capture_output=True,
                               input=answers.encode(), timeout=600, env=environment)
    files = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, directory)] = f.read()
    return completed.returncode, completed.stdout, completed.stderr, files


def without_program(manifest):
    """A manifest's JSON without the entries that name the program that wrote it."""
    data = json.loads(manifest)
    data["command_line"] = data["command_line"][1:]
    data.pop("executable", None)
    return data


def same_file(name, a, b):
    if a is None or b is None:
        return a == b
    if os.path.basename(name) == "summary.csv.json":
        return without_program(a) == without_program(b)
    return a == b


def compare(args, answers="", builds=BUILDS):
    with tempfile.TemporaryDirectory() as native_dir:
        native = run([NATIVE], args, native_dir, answers)
    problems = []
    for build, kernel in builds.items():
        with tempfile.TemporaryDirectory() as web_dir:
            web = run(["node", NODE_PROGRAM], args, web_dir, answers, kernel)
        for what, a, b in zip(("exit status", "standard output", "standard error", "files"),
                              native, web):
            if what == "files":
                differing = sorted(k for k in set(a) | set(b)
                                   if not same_file(k, a.get(k), b.get(k)))
                if differing:
                    problems.append(f"{build}: files differ: {differing}")
            elif a != b:
                problems.append(f"{build}: {what}: native {a!r}, wasm {b!r}")
    return native, problems


failures = []
with open(MODULE_CHOICE) as f:
    choice = subprocess.run(["node", "-p", f.read() + "\nchosenModule()"], capture_output=True,
                            text=True).stdout.strip()
if choice != "simd128":
    failures.append(f"node's loader picks the {choice!r} build, so SIMD128 goes untested")
for name, (args, expected, *answers) in RUNS.items():
    native, problems = compare(args, *answers)
    status, out, err, files = native
    if status != 0 or expected not in out.decode():
        problems.append(f"the case does not do what it is for: {status} {out!r} {err!r}")
    if not args.startswith("sweep") and "output.txt" not in files:
        problems.append("no results file was written")
    if args.startswith("sweep") and not out.startswith(b"n_pop,"):
        problems.append("the summary did not reach the pipe")
    if problems:
        failures.append(f"{name} ({args}): " + "; ".join(problems))
    else:
        print(f"ok: {name}: {len(files)} files, {sum(map(len, files.values()))} bytes alike")

for args in REFUSALS:
    native, problems = compare(args, builds={"simd128": None})
    status, out, err, files = native
    if status != 2 or files or not err:
        problems.append(f"native did not refuse: {status} {err!r} {sorted(files)}")
    if problems:
        failures.append(f"refusal ({args}): " + "; ".join(problems))
    else:
        print(f"ok: refused alike: {args}: {err.decode().splitlines()[0]}")



def through_fifo(program, args, kernel=None):
    """Runs with output.txt a FIFO read by a thread: exit status and the bytes read."""
    with tempfile.TemporaryDirectory() as directory:
        fifo = os.path.join(directory, "output.txt")
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
        reader.start()
        environment = {k: v for k, v in os.environ.items() if k != "HOSTSWITCH_KERNEL"}
        if kernel:
            environment["HOSTSWITCH_KERNEL"] = kernel
        status = subprocess.run(program + args.split(), cwd=directory, capture_output=True,
                                timeout=600, env=environment).returncode
        if reader.is_alive():  # never opened: let the reader go
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        reader.join()
        return status, got[0]


fifo_args = ("run --seed 9 --emig-rate 0.3 --sdr 2 --max-dist 1 --n-gen 3000 --capacity 2000 "
             "--output output.txt")
native_fifo = through_fifo([NATIVE], fifo_args)
for build, kernel in BUILDS.items():
    web_fifo = through_fifo(["node", NODE_PROGRAM], fifo_args, kernel)
    if native_fifo[0] != 0 or len(native_fifo[1]) < 1000 or web_fifo != native_fifo:
        failures.append(f"{build}: a FIFO: native {native_fifo[0]}, {len(native_fifo[1])} bytes; "
                        f"wasm {web_fifo[0]}, {len(web_fifo[1])} bytes")
    else:
        print(f"ok: {build}: a FIFO written in place alike, {len(web_fifo[1])} bytes")

for args in ("sweep --n-gen 20 --seed 3 --jobs 1",
             "sweep --n-gen 20 --seed 3 --jobs 1 --summary /dev/stdout --trajectories"):
    with tempfile.TemporaryDirectory() as directory:
        native = run([NATIVE], args, directory, "")
    with tempfile.TemporaryDirectory() as directory:
        status, out, err, files = run(["node", NODE_PROGRAM], args, directory, "")
    if native[0] != 0 or status != 1 or files or b": not written, as this build" not in err:
        failures.append(f"unlocked summary ({args}): native {native[0]}; wasm {status} {err!r} "
                        f"{sorted(files)}")
    else:
        print(f"ok: refused under node, unlockable: {args}: {err.decode().strip()}")

if failures:
    print("\n".join(["FAILED:"] + failures))
    sys.exit(1)
