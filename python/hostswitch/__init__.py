"""The hostswitch study as pandas data frames: runs, sweeps, designs and what a summary gives.

The numbers come from the same C++ library as the ``hostswitch`` command line, so a seed gives
the same results file, summary and trajectories here as in the shell, and the frames equal
``pandas.read_csv`` of the command line's files read with ``float_precision="round_trip"``
(without it pandas may read a number one unit in the last place off, and a design read that
way no longer sweeps to the command line's summary; ``read_design`` reads exactly).
"""

import io
import os
import sys
import tempfile

import pandas as pd

from . import _core

__version__ = _core.__version__
__all__ = ["Run", "SweepInterrupted", "SVG", "run", "sweep", "design", "stats", "sensitivity",
           "discover", "plot", "read_results", "read_summary", "read_trajectories",
           "read_design", "write_design", "PARAMETERS"]

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


def _table(text):
    return pd.read_csv(io.StringIO(text), float_precision="round_trip")


def _csv_text(frame):
    # As the command line writes a file: each float as the library writes numbers (the
    # shortest text giving the same double, a whole number without ".0", a gap empty).
    columns = {}
    for name in frame.columns:
        column = frame[name]
        if pd.api.types.is_float_dtype(column):
            column = pd.Series(_core.number_texts(column.astype(float).tolist()),
                               index=column.index, dtype=object)
        columns[name] = column
    return pd.DataFrame(columns).to_csv(index=False, lineterminator="\n")


def _generations(at):
    return [] if at is None else [_text(g, "at") for g in at]


def _summary_input(summary):
    # A frame goes over as its file's text; anything else names a file.
    if isinstance(summary, pd.DataFrame):
        return _csv_text(summary), True
    return os.fspath(summary), False


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
            _core.write_file(design, _csv_text(params).encode())
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


def stats(summary, at=None):
    """The statistics table ``hostswitch report`` writes as stats.csv: one row a grid point.

    Parameters
    ----------
    summary : DataFrame or path
        A summary frame (as ``sweep`` or ``read_summary`` give it) or a summary file.
    at : list of int, optional
        The generations G of the columns ``p_switched_by_G`` and ``p_extinct_by_G``, the shares
        of the point's runs switched and extinct by generation G, as ``report --at`` takes them
        (default: n_gen/10, n_gen/4, n_gen/2, 3 n_gen/4 and n_gen of the largest n_gen).

    Returns
    -------
    DataFrame
        The table, equal to stats.csv read with ``float_precision="round_trip"``.

    Raises
    ------
    ValueError
        With the command line's message, for a summary or a generation it refuses.
    """
    return _table(_core.stats_table(*_summary_input(summary), _generations(at)))


def sensitivity(summary, at=None):
    """The sensitivity table ``hostswitch report`` writes as sensitivity.csv.

    Parameters
    ----------
    summary : DataFrame or path
        The summary of a sweep of a sobol design (first-order and total indices with bootstrap
        intervals) or a morris design (the elementary effects' mu, mu* and sigma).
    at : list of int, optional
        The generations G of the outputs ``p_switched_by_G`` and ``p_extinct_by_G``, as
        ``report --at`` takes them (default as in ``stats``).

    Returns
    -------
    DataFrame
        One row per varied parameter and output, equal to sensitivity.csv read with
        ``float_precision="round_trip"``.

    Raises
    ------
    ValueError
        For the summary of a grid or another design, of which ``report`` writes no table.
    """
    return _table(_core.sensitivity_table(*_summary_input(summary), _generations(at)))


def discover(summary, where, min_density=0.8, output=None):
    """The boxes of parameter space where a per-point output meets a condition, as
    ``hostswitch discover SUMMARY --where EXPR`` finds them.

    Parameters
    ----------
    summary : DataFrame or path
        The summary of a grid or design sweep.
    where : str
        ``OUTPUT OP NUMBER``: OUTPUT a column of the statistics table (p_extinct, p_switched,
        p_switched_by_G, ...), OP one of ``< <= > >= == !=``, e.g. ``"p_switched >= 0.5"``.
    min_density : float, default 0.8
        The box chosen is the one of most coverage (then density) of those with at least this
        density, else the densest.
    output : path, optional
        Also writes the table there, as ``discover -o PATH`` does.

    Returns
    -------
    DataFrame
        One row a box of the peeling (step, coverage, density, mass, restricted,
        NAME_lo, NAME_hi of each varied parameter, chosen, pasted), equal to the command line's
        boxes table read with ``float_precision="round_trip"``.
    """
    text = _core.boxes_table(*_summary_input(summary), str(where),
                             float(_text(min_density, "min_density")))
    if output is not None:
        _core.write_file(os.fspath(output), text.encode())
    return _table(text)


def design(kind, params=None, ranges=None, samples=None, seed=None, maximin=None,
           trajectories=None, levels=None, output=None):
    """The points of a sampling design, as ``hostswitch design KIND`` writes them.

    Parameters
    ----------
    kind : {"grid", "lhs", "sobol", "morris"}
        A grid of ``params``'s value lists, a Latin hypercube, the Saltelli scheme of a
        Sobol' sequence, or Morris trajectories.
    params : dict, optional
        Parameter values by name: the value lists of a grid; for the other kinds the fixed
        value of each parameter without a range (the typical run's when left out).
    ranges : dict or list of str, optional
        The varied parameters: ``{"emig_rate": (0, 0.5), "sdr": (0.5, 3, "log")}`` or
        ``["emig_rate=0:0.5", "sdr=0.5:3:log"]``; n_pop, capacity and n_gen are rounded.
    samples : int, optional
        lhs: the points; sobol: the base rows N (N * (k + 2) points).
    seed : int, optional
        lhs (required), morris: the draws; sobol: a random shift.
    maximin : int, optional
        lhs: the best of this many by smallest distance between two points.
    trajectories : int, optional
        morris: the trajectories R.
    levels : int, optional
        morris: the levels P, even (default 4).
    output : path, optional
        Also writes the design file there, byte for byte as the command line does.

    Returns
    -------
    DataFrame
        The design (point, the eight parameters, label columns), its numbers the exact
        doubles of the file; ``sweep`` of it gives the command line's summary of
        ``sweep --design``.

    Raises
    ------
    ValueError
        With the command line's message, for a request it refuses.
    """
    if ranges is None:
        range_texts = []
    elif isinstance(ranges, dict):
        range_texts = []
        for name, limits in ranges.items():
            limits = list(limits)
            log = len(limits) == 3 and limits[2] == "log"
            if len(limits) != (3 if log else 2):
                raise ValueError(f"ranges: {name}: expected (LO, HI) or (LO, HI, 'log'), got "
                                 f"{tuple(limits)!r}")
            texts = [_text(v, name) for v in limits[:2]]
            range_texts.append(f"{name}={texts[0]}:{texts[1]}" + (":log" if log else ""))
    else:
        range_texts = [str(r) for r in ranges]
    flags = [samples, seed, maximin, trajectories, levels]
    names = ["samples", "seed", "maximin", "trajectories", "levels"]
    texts = ["" if v is None else _text(v, n) for v, n in zip(flags, names)]
    text = _core.design(str(kind), _named_texts(params or {}), range_texts, *texts)
    if output is not None:
        _core.write_file(os.fspath(output), text.encode())
    return _table(text)


def read_design(path):
    """A design file as ``design`` returns it, every number the exact double of its text.

    Parameters
    ----------
    path : path
        A design file, as ``hostswitch design`` or ``write_design`` writes it.

    Returns
    -------
    DataFrame
        The design; ``pd.read_csv`` would need ``float_precision="round_trip"`` to read it so.
    """
    return _table(_core.read_file(os.fspath(path)).decode())


def write_design(frame, path):
    """Writes a design frame as a file ``sweep --design`` reads, every number exactly.

    Parameters
    ----------
    frame : DataFrame
        A design, as ``design`` or ``read_design`` gives it.
    path : path
        The file to write, whole or not at all.

    Returns
    -------
    None
    """
    _core.write_file(os.fspath(path), _csv_text(frame).encode())


class SVG(str):
    """A picture's SVG text; a notebook shows it."""

    def _repr_svg_(self):
        return str(self)


def plot(results, output=None, title=None, summary=None, row=None, log_population=False):
    """A results file drawn as ``hostswitch plot`` draws it.

    Parameters
    ----------
    results : path
        A results file (output.txt), as ``run`` or ``Run.write_results`` writes it.
    output : path, optional
        The picture to write, its format from its name: .svg, .pdf or .png.
    title : str, optional
        The title (default: the results file's name).
    summary : path, optional
        With ``row``: the summary or manifest of the sweep the run belongs to; the title then
        gives the run's parameters and seed.
    row : str or (int, int), optional
        The run's grid point and replicate in ``summary``: ``"3-7"`` or ``(3, 7)``.
    log_population : bool, default False
        The population panel on a logarithmic scale.

    Returns
    -------
    SVG or None
        Without ``output``, the picture's SVG text (a notebook shows it); with it, None.

    Raises
    ------
    OSError
        Naming the file, when the results cannot be read or the picture cannot be written.
    """
    if isinstance(row, tuple):
        row = f"{int(row[0])}-{int(row[1])}"
    svg = _core.plot(os.fspath(results), None if output is None else os.fspath(output),
                     None if title is None else str(title),
                     None if summary is None else os.fspath(summary),
                     None if row is None else str(row), bool(log_population))
    return None if output is not None else SVG(svg)


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
