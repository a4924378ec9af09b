# The types of the public names in __init__.py; tests/test_hostswitch.py checks both name the
# same ones.
import os
from typing import Any, Literal, Mapping, Optional, Sequence, Tuple, Union, overload

import pandas as pd

_Number = Union[int, float, str]
_Values = Union[_Number, Sequence[_Number]]
_Path = Union[str, os.PathLike[str]]

__version__: str
__all__: list[str]
PARAMETERS: Tuple[str, ...]

class SweepInterrupted(KeyboardInterrupt):
    frame: pd.DataFrame
    trajectories: Optional[pd.DataFrame]
    def __init__(self, message: str, frame: pd.DataFrame,
                 trajectories: Optional[pd.DataFrame] = ...) -> None: ...

class Run:
    outcome: Literal["completed", "extinct"]
    extinction_generation: Optional[int]
    generations_run: int
    switch_generations: int
    seed: int
    def __init__(self, facts: Mapping[str, Any]) -> None: ...
    @property
    def records(self) -> pd.DataFrame: ...
    @property
    def trajectory(self) -> pd.DataFrame: ...
    @property
    def summary(self) -> pd.DataFrame: ...
    def write_results(self, path: _Path) -> None: ...

def run(*, n_pop: Optional[_Number] = ..., birth_rate: Optional[_Number] = ...,
        capacity: Optional[_Number] = ..., emig_rate: Optional[_Number] = ...,
        sdr: Optional[_Number] = ..., sdv: Optional[_Number] = ...,
        max_dist: Optional[_Number] = ..., n_gen: Optional[_Number] = ...,
        seed: Optional[_Number] = ...) -> Run: ...
@overload
def sweep(params: Union[Mapping[str, _Values], pd.DataFrame], replicates: _Number = ...,
          seed: Optional[_Number] = ..., jobs: Optional[_Number] = ...,
          trajectories: Literal[False] = ..., summary: Optional[_Path] = ...,
          resume: bool = ..., progress: Optional[bool] = ...) -> pd.DataFrame: ...
@overload
def sweep(params: Union[Mapping[str, _Values], pd.DataFrame], replicates: _Number = ...,
          seed: Optional[_Number] = ..., jobs: Optional[_Number] = ..., *,
          trajectories: Literal[True], summary: Optional[_Path] = ..., resume: bool = ...,
          progress: Optional[bool] = ...) -> Tuple[pd.DataFrame, pd.DataFrame]: ...
_Summary = Union[pd.DataFrame, _Path]
_Range = Union[Tuple[_Number, _Number], Tuple[_Number, _Number, Literal["log"]]]

class SVG(str):
    def _repr_svg_(self) -> str: ...

def stats(summary: _Summary, at: Optional[Sequence[int]] = ...) -> pd.DataFrame: ...
def sensitivity(summary: _Summary, at: Optional[Sequence[int]] = ...) -> pd.DataFrame: ...
def discover(summary: _Summary, where: str, min_density: float = ...,
             output: Optional[_Path] = ...) -> pd.DataFrame: ...
def design(kind: Literal["grid", "lhs", "sobol", "morris"],
           params: Optional[Mapping[str, _Values]] = ...,
           ranges: Optional[Union[Mapping[str, _Range], Sequence[str]]] = ...,
           samples: Optional[int] = ..., seed: Optional[int] = ..., maximin: Optional[int] = ...,
           trajectories: Optional[int] = ..., levels: Optional[int] = ...,
           output: Optional[_Path] = ...) -> pd.DataFrame: ...
def read_design(path: _Path) -> pd.DataFrame: ...
def write_design(frame: pd.DataFrame, path: _Path) -> None: ...
@overload
def plot(results: _Path, output: None = ..., title: Optional[str] = ...,
         summary: Optional[_Path] = ..., row: Optional[Union[str, Tuple[int, int]]] = ...,
         log_population: bool = ...) -> SVG: ...
@overload
def plot(results: _Path, output: _Path, title: Optional[str] = ...,
         summary: Optional[_Path] = ..., row: Optional[Union[str, Tuple[int, int]]] = ...,
         log_population: bool = ...) -> None: ...
def read_results(path: _Path) -> pd.DataFrame: ...
def read_summary(path: _Path) -> pd.DataFrame: ...
def read_trajectories(path: _Path) -> pd.DataFrame: ...
