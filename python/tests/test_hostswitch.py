"""The Python module against the command line: the same files, frames and messages."""

import ast
import inspect
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pandas as pd
import pytest

import hostswitch as hs

PROGRAM = os.environ["HOSTSWITCH_EXECUTABLE"]


def cli(*args, cwd, check=True):
    return subprocess.run([PROGRAM, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          check=check)


def cli_frame(path):
    frame = pd.read_csv(path, float_precision="round_trip")
    if "outcome" in frame:
        frame["outcome"] = frame["outcome"].astype(pd.CategoricalDtype(["completed", "extinct"]))
    return frame


@pytest.mark.parametrize("params, seed", [
    ({}, 2367781),
    (dict(n_pop=50, birth_rate=1.5, capacity=400, emig_rate=0.3, n_gen=60), 1),
    (dict(emig_rate=0.0, sdr=0.25, max_dist=0.5, n_gen=40), 2147483647),
])
def test_run_gives_the_files_of_the_command_line(tmp_path, params, seed):
    flags = [w for name, value in params.items() for w in ("--" + name.replace("_", "-"), value)]
    cli("run", *flags, "--seed", seed, "--output", "cli.txt", "--trajectory", "cli.csv",
        "--summary", "row.csv", cwd=tmp_path)
    run = hs.run(**params, seed=seed)
    run.write_results(tmp_path / "py.txt")
    assert (tmp_path / "py.txt").read_bytes() == (tmp_path / "cli.txt").read_bytes()
    pd.testing.assert_frame_equal(run.records, hs.read_results(tmp_path / "cli.txt"))
    assert run.records["n_p"].sum() == run.trajectory["n_pop"].sum()
    pd.testing.assert_frame_equal(run.trajectory, cli_frame(tmp_path / "cli.csv"), check_exact=True)
    row = cli_frame(tmp_path / "row.csv")
    pd.testing.assert_frame_equal(run.summary, row, check_exact=True)
    assert (run.outcome, run.switch_generations, run.seed) == (
        row.outcome[0], row.switch_generations[0], seed)
    expected = row.extinction_generation[0]
    assert run.extinction_generation == (None if pd.isna(expected) else expected)


def test_sweep_equals_the_command_lines_summary(tmp_path):
    grid = {"emig_rate": [0.05, 0.1, 0.3], "max_dist": [1.0, 2.5], "n_gen": [80]}
    cli("sweep", "--emig-rate", "0.05,0.1,0.3", "--max-dist", "1,2.5", "--n-gen", 80,
        "--replicates", 4, "--seed", 11, "--jobs", 2, "--summary", "cli.csv",
        "--trajectories", "cli.trajectories.csv", cwd=tmp_path)
    cli("report", "cli.csv", "--table", "stats.csv", "-o", "report.html", cwd=tmp_path)
    expected = cli_frame(tmp_path / "cli.csv")

    frame, paths = hs.sweep(grid, replicates=4, seed=11, jobs=2, trajectories=True,
                            summary=tmp_path / "py.csv", progress=False)
    pd.testing.assert_frame_equal(frame, expected, check_exact=True)
    assert (tmp_path / "py.csv").read_bytes() == (tmp_path / "cli.csv").read_bytes()
    assert ((tmp_path / "py.trajectories.csv").read_bytes() ==
            (tmp_path / "cli.trajectories.csv").read_bytes())
    pd.testing.assert_frame_equal(paths, cli_frame(tmp_path / "cli.trajectories.csv"),
                                  check_exact=True)
    assert (tmp_path / "py.csv.json").exists()
    # The file is whole: resuming it runs nothing and gives the same frame.
    again, _ = hs.sweep(grid, replicates=4, seed=11, jobs=1, trajectories=True,
                        summary=tmp_path / "py.csv", resume=True, progress=False)
    pd.testing.assert_frame_equal(again, expected, check_exact=True)
    in_memory = hs.sweep(grid, replicates=4, seed=11, jobs=1, progress=False)
    pd.testing.assert_frame_equal(in_memory, expected, check_exact=True)
    pd.testing.assert_frame_equal(hs.read_summary(tmp_path / "cli.csv"), expected,
                                  check_exact=True)
    table = cli_frame(tmp_path / "stats.csv")
    pd.testing.assert_frame_equal(hs.stats(frame), table, check_exact=True)
    pd.testing.assert_frame_equal(hs.stats(tmp_path / "cli.csv"), table, check_exact=True)


def test_a_design_frame_sweeps_as_sweep_design(tmp_path):
    design = pd.DataFrame({"emig_rate": [0.05, 0.3, 0.1], "max_dist": [2.5, 1.0, 0.5],
                           "n_gen": [40, 80, 60]})
    design.to_csv(tmp_path / "design.csv", index=False)
    cli("sweep", "--design", "design.csv", "--replicates", 3, "--seed", 5, "--jobs", 2,
        "--summary", "cli.csv", cwd=tmp_path)
    frame = hs.sweep(design, replicates=3, seed=5, jobs=2, progress=False)
    pd.testing.assert_frame_equal(frame, cli_frame(tmp_path / "cli.csv"), check_exact=True)


@pytest.mark.parametrize("command, flags, call", [
    ("run", ["--sdr", "0"], lambda: hs.run(sdr=0)),
    ("run", ["--emig-rate", "2"], lambda: hs.run(emig_rate=2)),
    ("run", ["--n-pop", "ten"], lambda: hs.run(n_pop="ten")),
    ("run", ["--n-gen", "1.5"], lambda: hs.run(n_gen=1.5)),
    ("sweep", ["--sdr", "1,0"], lambda: hs.sweep({"sdr": [1, 0]})),
    ("sweep", ["--replicates", "0"], lambda: hs.sweep({}, replicates=0)),
    ("design", ["lhs", "--range", "emig_rate=0:0.5", "--samples", "5"],
     lambda: hs.design("lhs", ranges={"emig_rate": (0, 0.5)}, samples=5)),
    ("design", ["sobol", "--range", "sdr=1:2", "--sdr", "1", "--samples", "4"],
     lambda: hs.design("sobol", {"sdr": 1}, ranges=["sdr=1:2"], samples=4)),
    ("design", ["grid", "--levels", "4"], lambda: hs.design("grid", levels=4)),
])
def test_refusals_carry_the_command_lines_message(tmp_path, command, flags, call):
    last = {"run": "--no-output", "sweep": "--summary=x.csv", "design": "--output=x.csv"}
    refused = cli(command, *flags, last[command], cwd=tmp_path, check=False)
    assert refused.returncode == 2
    with pytest.raises(ValueError) as error:
        call()
    assert f"hostswitch {command}: {error.value}\n" in refused.stderr


def test_write_failures_name_the_path_and_cause(tmp_path):
    with pytest.raises(OSError, match=f"{tmp_path}/missing/.*No such file or directory"):
        hs.run(n_gen=5, seed=1).write_results(tmp_path / "missing" / "out.txt")
    with pytest.raises(OSError, match="missing/s.csv.*No such file or directory"):
        hs.sweep({"n_gen": [5]}, seed=1, summary=tmp_path / "missing" / "s.csv")


@pytest.mark.parametrize("argument, call", [
    ("path", lambda p: hs.run(n_gen=5, seed=1).write_results(p / "w\0x.txt")),
    ("summary", lambda p: hs.sweep({"n_gen": [5]}, seed=1, summary=p / "a\0b.csv",
                                   progress=False)),
    ("summary", lambda p: hs.stats(p / "s\0.csv")),
    ("path", lambda p: hs.read_summary(p / "r\0.csv")),
])
def test_a_nul_in_a_path_is_refused_before_anything_is_written(tmp_path, argument, call):
    # The system would end the name at the NUL and write another file.
    with pytest.raises(ValueError, match=f"^{argument}: a path cannot hold a NUL byte"):
        call(tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_interrupt_keeps_the_complete_rows(tmp_path):
    script = textwrap.dedent("""
        import sys, hostswitch as hs
        try:
            hs.sweep({"emig_rate": [0.0]}, replicates=5000, seed=3, jobs=2,
                     summary=sys.argv[1], progress=False)
        except hs.SweepInterrupted as stopped:
            print(len(stopped.frame))
            sys.exit(130)
    """)
    summary = tmp_path / "s.csv"
    child = subprocess.Popen([sys.executable, "-c", script, summary], stdout=subprocess.PIPE,
                             text=True)
    deadline = time.monotonic() + 120
    while (not summary.exists() or summary.read_text().count("\n") < 3) and \
            time.monotonic() < deadline:
        time.sleep(0.05)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    assert child.returncode == 130
    text = summary.read_text()
    assert text.endswith("\n")
    rows = cli_frame(summary)
    assert 2 <= len(rows) < 5000 and int(out) == len(rows)
    assert list(rows.replicate) == list(range(1, len(rows) + 1))
    # The last row kept is the one its own run gives.
    last = rows.iloc[-1]
    cli("run", "--emig-rate", 0, "--seed", last.seed, "--replicate", last.replicate, "--no-output",
        "--summary", "last.csv", cwd=tmp_path)
    pd.testing.assert_frame_equal(rows.tail(1).reset_index(drop=True),
                                  cli_frame(tmp_path / "last.csv"), check_exact=True)


def test_the_stubs_and_the_docstrings_cover_every_public_name():
    stub = ast.parse(pathlib.Path(hs.__file__).with_name("__init__.pyi").read_text())
    stubbed = {node.name for node in stub.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    stubbed |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    assert {name for name in stubbed if not name.startswith("_")} == set(hs.__all__)
    assert pathlib.Path(hs.__file__).with_name("py.typed").exists()
    for name in hs.__all__:
        value = getattr(hs, name)
        if inspect.isfunction(value):
            doc = inspect.getdoc(value)
            for section in ("Parameters\n----------\n", "Returns\n-------\n"):
                assert section in doc, f"{name}'s docstring lacks {section.split()[0]}"
            for parameter in inspect.signature(value).parameters:
                assert parameter in doc, f"{name}'s docstring does not describe {parameter}"


def exact(path):
    return pd.read_csv(path, float_precision="round_trip")


@pytest.mark.parametrize("flags, call", [
    (["lhs", "--range", "emig_rate=0.01:0.4", "--range", "sdr=0.3:3:log", "--samples", 6,
      "--seed", 9, "--n-gen", 30],
     dict(kind="lhs", params={"n_gen": 30}, ranges={"emig_rate": (0.01, 0.4),
                                                    "sdr": (0.3, 3, "log")},
          samples=6, seed=9)),
    (["sobol", "--range", "emig_rate=0:0.5", "--range", "max_dist=0.5:3", "--samples", 4,
      "--n-gen", 30], dict(kind="sobol", params={"n_gen": 30},
                           ranges=["emig_rate=0:0.5", "max_dist=0.5:3"], samples=4)),
    (["morris", "--range", "emig_rate=0:0.5", "--range", "capacity=200:900",
      "--trajectories", 3, "--seed", 4, "--n-gen", 30],
     dict(kind="morris", params={"n_gen": 30}, ranges={"emig_rate": (0, 0.5),
                                                       "capacity": (200, 900)},
          trajectories=3, seed=4)),
])
def test_a_design_frame_sweeps_to_the_command_lines_summary(tmp_path, flags, call):
    cli("design", *flags, "-o", "cli_design.csv", cwd=tmp_path)
    frame = hs.design(**call, output=tmp_path / "py_design.csv")
    assert (tmp_path / "py_design.csv").read_bytes() == (tmp_path / "cli_design.csv").read_bytes()
    pd.testing.assert_frame_equal(frame, exact(tmp_path / "cli_design.csv"), check_exact=True)
    pd.testing.assert_frame_equal(hs.read_design(tmp_path / "cli_design.csv"), frame,
                                  check_exact=True)
    hs.write_design(frame, tmp_path / "again.csv")
    assert (tmp_path / "again.csv").read_bytes() == (tmp_path / "cli_design.csv").read_bytes()

    cli("sweep", "--design", "cli_design.csv", "--replicates", 2, "--seed", 3, "--jobs", 2,
        "--summary", "cli.csv", cwd=tmp_path)
    hs.sweep(frame, replicates=2, seed=3, jobs=2, summary=tmp_path / "py.csv", progress=False)
    assert (tmp_path / "py.csv").read_bytes() == (tmp_path / "cli.csv").read_bytes()


def test_what_a_summary_gives_equals_the_command_lines_tables(tmp_path):
    cli("design", "sobol", "--range", "emig_rate=0:0.6", "--range", "sdr=0.3:2", "--samples", 8,
        "--n-gen", 40, "-o", "design.csv", cwd=tmp_path)
    cli("sweep", "--design", "design.csv", "--replicates", 3, "--seed", 21, "--summary",
        "cli.csv", cwd=tmp_path)
    where = "p_extinct <= 0.5"
    cli("report", "cli.csv", "--table", "stats.csv", "--sensitivity", "sensitivity.csv",
        "--discover", where, "--boxes", "boxes.csv", "--at", "30,5,10", "-o", "report.html",
        cwd=tmp_path)
    cli("discover", "cli.csv", "--where", where, "--min-density", 0.6, "-o", "boxes06.csv",
        cwd=tmp_path)
    summary = hs.read_summary(tmp_path / "cli.csv")
    for given in (tmp_path / "cli.csv", summary):
        pd.testing.assert_frame_equal(hs.stats(given, at=[30, 5, 10]),
                                      exact(tmp_path / "stats.csv"), check_exact=True)
        pd.testing.assert_frame_equal(hs.sensitivity(given, at=[5, 10, 30]),
                                      exact(tmp_path / "sensitivity.csv"), check_exact=True)
        pd.testing.assert_frame_equal(hs.discover(given, where), exact(tmp_path / "boxes.csv"),
                                      check_exact=True)
    hs.discover(summary, where, min_density=0.6, output=tmp_path / "py06.csv")
    assert (tmp_path / "py06.csv").read_bytes() == (tmp_path / "boxes06.csv").read_bytes()
    shares = [c for c in hs.stats(summary, at=[30, 5, 10, 5])
              if c.startswith("p_extinct_by_") and c[13:].isdigit()]
    assert shares == ["p_extinct_by_5", "p_extinct_by_10", "p_extinct_by_30"]
    with pytest.raises(ValueError, match="--at: 0 is not a generation"):
        hs.stats(summary, at=[0])
    grid = hs.sweep({"emig_rate": [0.1, 0.2]}, seed=1, progress=False)
    with pytest.raises(ValueError, match="no sensitivity table"):
        hs.sensitivity(grid)


def test_plot_draws_what_the_command_line_draws(tmp_path, monkeypatch):
    cli("sweep", "--emig-rate", "0.1,0.2", "--n-gen", 30, "--seed", 4, "--summary", "s.csv",
        cwd=tmp_path)
    cli("run", "--emig-rate", "0.2", "--n-gen", 30, "--seed", 8, "--output", "output.txt",
        cwd=tmp_path)
    cli("plot", "output.txt", "-o", "plain.svg", cwd=tmp_path)
    cli("plot", "output.txt", "-o", "row.svg", "--summary", "s.csv", "--row", "2-1",
        "--log-population", cwd=tmp_path)
    monkeypatch.chdir(tmp_path)  # the title names the results file as given
    svg = hs.plot("output.txt")
    assert isinstance(svg, hs.SVG) and svg._repr_svg_() == (tmp_path / "plain.svg").read_text()
    assert hs.plot("output.txt", tmp_path / "py.svg", summary="s.csv", row=(2, 1),
                   log_population=True) is None
    assert (tmp_path / "py.svg").read_bytes() == (tmp_path / "row.svg").read_bytes()
    with pytest.raises(OSError, match="missing.txt"):
        hs.plot(tmp_path / "missing.txt")
