"""Runs and sweeps of the hostswitch simulation as pandas data frames.

The numbers come from the same C++ library as the ``hostswitch`` command line, so a seed gives
the same results file, summary and trajectories here as in the shell, and the frames equal
``pandas.read_csv`` of the command line's files (read with ``float_precision="round_trip"``).
"""

import io
import os
import sys
import tempfile

import pandas as pd

from . import _core

__version__ = _core.__version__
__all__ = ["Run", "SweepInterrupted", "run", "sweep", "stats", "read_results", "read_summary",
           "read_trajectories", "PARAMETERS"]

#: The eight parameters, in the grid's order (the first varies slowest).
PARAMETERS = tuple(_core.parameter_names())

_RECORD_COLUMNS = ["n_g", "p_phe", "n_p", "r_phe", "rl_phe", "n_HS"]
# A value too wide for its field is written as asterisks.
_RECORD_MISSING = ["*" * 8, "*" * 10, "*" * 15]
_OUTCOME = pd.CategoricalDtype(["completed", "extinct"])


class SweepInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a sweep; ``frame`` holds its complete rows (the first of the sweep)."""

    def __init__(self, message, frame, trajectories=None):
        super().__init__(message)
        self.frame = frame
        self.trajectories = trajectories


def _text(value, name):
    # Values go to the command line's own parser as its flags would take them: a float's repr
    # reads back as the same double, and a word gets the flag's message.
    if isinstance(value, bool):
        raise TypeError(f"{name}: expected a number, got {value!r}")
    if isinstance(value, str):
        return value
    if hasattr(value, "dtype") and getattr(value, "ndim", 0) == 0:
        value = value.item()
    if isinstance(value, (int, float)):
        return repr(value)
    raise TypeError(f"{name}: expected a number, got {type(value).__name__}")


def _named_texts(params):
    named = []
    for name, values in params.items():
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            values = [values]
        named.append((name, [_text(v, name) for v in values]))
    return named


def _summary_frame(text):
    return pd.read_csv(io.StringIO(text), float_precision="round_trip",
                       dtype={"outcome": _OUTCOME})


def _trajectory_frame(text):
    return pd.read_csv(io.StringIO(text), float_precision="round_trip")


def _records_frame(data):
    return pd.read_csv(io.BytesIO(data), skiprows=10, sep=r"\s+", header=None,
                       names=_RECORD_COLUMNS, na_values=_RECORD_MISSING,
                       float_precision="round_trip")


class Run:
    """One run: its facts, its results file's records and its trajectory."""

    def __init__(self, facts):
        self._facts = facts
        self.outcome = "extinct" if facts["extinct"] else "completed"
        self.extinction_generation = facts["generations_run"] if facts["extinct"] else None
        self.generations_run = facts["generations_run"]
        self.switch_generations = facts["switch_generations"]
        self.seed = facts["seed"]

    @property
    def records(self):
        """The results file's records: n_g, p_phe, n_p, r_phe, rl_phe, n_HS."""
        return _records_frame(self._facts["results"])

    @property
    def trajectory(self):
        """One row a generation, as ``run --trajectory`` writes it."""
        return _trajectory_frame(self._facts["trajectory"])

    @property
    def summary(self):
        """The run's one summary row, as ``run --summary`` writes it."""
        return _summary_frame(self._facts["summary"])

    def write_results(self, path):
        """Writes the results file ``hostswitch run --seed SEED --output PATH`` writes.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write, whole or not at all.

        Raises
        ------
        ValueError
            For a path holding a NUL byte, before anything is written.
        OSError
            Naming the path and the cause, when the file cannot be written.
        """
        _core.write_file(os.fspath(path), self._facts["results"])

    def __repr__(self):
        return (f"<hostswitch.Run {self.outcome} after {self.generations_run} generations, "
                f"{self.switch_generations} with a host switch, seed {self.seed}>")


def run(*, n_pop=None, birth_rate=None, capacity=None, emig_rate=None, sdr=None, sdv=None,
        max_dist=None, n_gen=None, seed=None):
    """One run, as ``hostswitch run``.

    Parameters
    ----------
    n_pop, birth_rate, capacity, emig_rate, sdr, sdv, max_dist, n_gen : int, float or str, optional
        The model's parameters, read as the command line's flags read them; those left out are
        the typical run's (100, 0.5, 1000, 0.1, 1, 0.5, 2, 500).
    seed : int, optional
        The seed; none means the clock's.

    Returns
    -------
    Run
        The run's outcome and seed, its results file's records, trajectory and summary row.

    Raises
    ------
    ValueError
        With the command line's message, for a value it refuses.
    """
    given = dict(n_pop=n_pop, birth_rate=birth_rate, capacity=capacity, emig_rate=emig_rate,
                 sdr=sdr, sdv=sdv, max_dist=max_dist, n_gen=n_gen)
    params = {k: v for k, v in given.items() if v is not None}
    return Run(_core.run(_named_texts(params), None if seed is None else _text(seed, "seed")))


def _interactive():
    try:
        shell = sys.modules["IPython"].get_ipython()
        if shell is not None and shell.__class__.__name__ == "ZMQInteractiveShell":
            return True
    except (KeyError, AttributeError):
        pass
    return sys.stderr is not None and sys.stderr.isatty()


def _progress_bar(enabled):
    if enabled is None:
        enabled = _interactive()
    if not enabled:
        return None, None
    from tqdm.auto import tqdm

    bar = tqdm(total=0, unit="run", desc="sweep")

    def update(done, total):
        if bar.total != total:
            bar.total = total
            bar.refresh()
        bar.update(done - bar.n)

    return bar, update


def sweep(params, replicates=1, seed=None, jobs=None, trajectories=False, summary=None,
          resume=False, progress=None):
    """Every replicate of every grid point, as ``hostswitch sweep``: the summary as a frame.

    Parameters
    ----------
    params : dict or pandas.DataFrame
        Parameter names mapped to value lists; the grid is their cross product in the command
        line's order (n_pop slowest, n_gen fastest), and parameters left out keep the typical
        run's value. Or a DataFrame of design points (one parameter set a row, as
        ``sweep --design`` reads a file), swept in row order.
    replicates : int, default 1
        Replicates of each grid point.
    seed : int, optional
        The base seed; none means the clock's. Each replicate is seeded as the command line
        seeds it.
    jobs : int, optional
        Threads; none means one per processor.
    trajectories : bool, default False
        Also return one row per replicate per generation.
    summary : str or os.PathLike, optional
        Also write the summary there as ``sweep --summary PATH`` does, with its manifest and
        lock (and the trajectories beside it, PATH's stem + ``.trajectories.csv``).
    resume : bool, default False
        Continue the sweep in ``summary``, as ``sweep --resume``.
    progress : bool, optional
        Show a tqdm bar; by default only when attached to a terminal or a notebook.

    Returns
    -------
    pandas.DataFrame or tuple of pandas.DataFrame
        The summary, equal to ``pandas.read_csv`` of the command line's summary.csv; with
        ``trajectories=True`` the pair (summary, trajectories).

    Raises
    ------
    SweepInterrupted
        On Ctrl-C, which stops the sweep; its ``frame`` holds the complete rows.
    ValueError
        With the command line's message for a value it refuses, and for a ``summary`` holding
        a NUL byte, before anything is written.
    OSError
        Naming the file, when ``summary`` cannot be written.
    """
    bar, update = _progress_bar(progress)
    scratch = None
    try:
        design = None
        if isinstance(params, pd.DataFrame):
            # A frame of design points is read as `sweep --design` reads its file.
            scratch = tempfile.TemporaryDirectory(prefix="hostswitch-")
            design = os.path.join(scratch.name, "design.csv")
            params.to_csv(design, index=False)
            params = {}
        summary_text, trajectory_text, interrupted, message, _ = _core.sweep(
            _named_texts(params), _text(replicates, "replicates"),
            None if seed is None else _text(seed, "seed"),
            None if jobs is None else _text(jobs, "jobs"), bool(trajectories),
            None if summary is None else os.fspath(summary), bool(resume), update, design)
    finally:
        if bar is not None:
            bar.close()
        if scratch is not None:
            scratch.cleanup()
    frame = _summary_frame(summary_text)
    paths = _trajectory_frame(trajectory_text) if trajectories else None
    if interrupted:
        raise SweepInterrupted(message, frame, paths)
    return (frame, paths) if trajectories else frame


def stats(summary):
    """The statistics table ``hostswitch report`` writes as stats.csv.

    Parameters
    ----------
    summary : pandas.DataFrame or str or os.PathLike
        A summary frame (as ``sweep`` or ``read_summary`` give it) or a summary file.

    Returns
    -------
    pandas.DataFrame
        One row a grid point, equal to ``pandas.read_csv`` of the command line's stats.csv.
    """
    if isinstance(summary, pd.DataFrame):
        # Written in the summary's own form: an extinction generation is an integer.
        frame = summary.astype({"extinction_generation": "Int64"})
        with tempfile.TemporaryDirectory(prefix="hostswitch-") as scratch:
            path = os.path.join(scratch, "summary.csv")
            frame.to_csv(path, index=False, float_format=None)
            text = _core.stats_table(path)
    else:
        text = _core.stats_table(os.fspath(summary))
    return pd.read_csv(io.StringIO(text), float_precision="round_trip")


def read_results(path):
    """The records of a results file (output.txt).

    Parameters
    ----------
    path : str or os.PathLike
        The results file.

    Returns
    -------
    pandas.DataFrame
        Its records: n_g, p_phe, n_p, r_phe, rl_phe, n_HS; a value too wide for its field
        (asterisks) reads as NaN.
    """
    return _records_frame(_core.read_file(os.fspath(path)))


def read_summary(path):
    """A summary file.

    Parameters
    ----------
    path : str or os.PathLike
        The summary file (summary.csv).

    Returns
    -------
    pandas.DataFrame
        The frame ``sweep`` returns for it.
    """
    return _summary_frame(_core.read_file(os.fspath(path)).decode())


def read_trajectories(path):
    """A trajectories file.

    Parameters
    ----------
    path : str or os.PathLike
        The trajectories file (trajectories.csv).

    Returns
    -------
    pandas.DataFrame
        The frame ``sweep(..., trajectories=True)`` returns for it.
    """
    return _trajectory_frame(_core.read_file(os.fspath(path)).decode())
