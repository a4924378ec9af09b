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
def stats(summary: Union[pd.DataFrame, _Path]) -> pd.DataFrame: ...
def read_results(path: _Path) -> pd.DataFrame: ...
def read_summary(path: _Path) -> pd.DataFrame: ...
def read_trajectories(path: _Path) -> pd.DataFrame: ...
