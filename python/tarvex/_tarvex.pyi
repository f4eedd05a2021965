from collections.abc import Callable, Sequence
from typing import Literal, SupportsIndex, TypedDict

import numpy as np
import numpy.typing as npt

__version__: str
__all__ = ["__version__", "gist_select", "gist_select_full"]

_Metric = Literal["cosine", "euclidean"]
_Utility = Literal["linear", "coverage", "facility_location"]
_Diameter = Literal["exact", "approx"]
_Stage = Literal["greedy", "diameter_pair", "sweep"]

# Weights for "linear", item-id lists for "coverage", None for "facility_location".
_Utilities = npt.NDArray[np.float64] | Sequence[Sequence[SupportsIndex]] | npt.NDArray[np.integer]

class _FullResult(TypedDict):
    selected: list[int]
    f_value: float
    g_value: float
    div: float
    threshold: float
    stage: _Stage
    d_max: float

class InternalError(BaseException): ...

def gist_select(
    vectors: npt.NDArray[np.float32],
    utilities: _Utilities | None = None,
    *,
    k: SupportsIndex,
    lam: float = 1.0,
    eps: float = 0.1,
    metric: _Metric = "cosine",
    utility: _Utility = "linear",
    exhaustive_thresholds: bool | np.bool_ = False,
    diameter: _Diameter = "exact",
    diameter_sweeps: SupportsIndex | None = None,
) -> list[int]: ...
def gist_select_full(
    vectors: npt.NDArray[np.float32],
    utilities: _Utilities | None = None,
    *,
    k: SupportsIndex,
    lam: float = 1.0,
    eps: float = 0.1,
    metric: _Metric = "cosine",
    utility: _Utility = "linear",
    exhaustive_thresholds: bool | np.bool_ = False,
    diameter: _Diameter = "exact",
    diameter_sweeps: SupportsIndex | None = None,
) -> _FullResult: ...

# Private: gist_select_full with progress(stage, done, total) called from the
# calling thread while the core runs; for the command line.
def _gist_select_full_progress(
    progress: Callable[[str, int, int], object],
    vectors: npt.NDArray[np.float32],
    utilities: _Utilities | None = None,
    *,
    k: SupportsIndex,
    lam: float = 1.0,
    eps: float = 0.1,
    metric: _Metric = "cosine",
    utility: _Utility = "linear",
    exhaustive_thresholds: bool | np.bool_ = False,
    diameter: _Diameter = "exact",
    diameter_sweeps: SupportsIndex | None = None,
) -> _FullResult: ...
