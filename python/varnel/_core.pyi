"""Type stubs of the compiled solvers (``varnel._core``)."""

from typing import Literal, Optional, Sequence, Tuple, TypedDict

import numpy as np
from numpy.typing import NDArray

_FloatVector = Sequence[float] | NDArray[np.float64]
_CountVector = Sequence[int] | NDArray[np.integer]

# "lambda" is a keyword, hence the functional form.
PathResult = TypedDict(
    "PathResult",
    {
        "lmu": int,
        "lambda": NDArray[np.float64],
        "a0": NDArray[np.float64],
        "beta": NDArray[np.float64],
        "dev_ratio": NDArray[np.float64],
        "nulldev": float,
        "npasses": int,
        "warning": Optional[Tuple[str, int]],
    },
)

def elnet_path(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    *,
    family: Literal["gaussian", "binomial", "poisson"] = "gaussian",
    alpha: float = 1.0,
    nlambda: int = 100,
    lambda_min_ratio: Optional[float] = None,
    user_lambda: Optional[_FloatVector] = None,
    standardize: bool = True,
    intercept: bool = True,
    thresh: float = 1e-7,
    maxit: int = 100000,
    dfmax: Optional[int] = None,
    pmax: Optional[int] = None,
    penalty_factor: Optional[_FloatVector] = None,
    lower_limits: Optional[_FloatVector] = None,
    upper_limits: Optional[_FloatVector] = None,
    weights: Optional[_FloatVector] = None,
    exclude: Optional[_CountVector] = None,
) -> PathResult:
    """Fit an elastic-net path on a dense float64 matrix ``x`` (n, p)."""

def elnet_sparse(
    n: int,
    p: int,
    col_ptr: _CountVector,
    row_idx: _CountVector,
    values: _FloatVector,
    y: NDArray[np.float64],
    *,
    alpha: float = 1.0,
    nlambda: int = 100,
    lambda_min_ratio: Optional[float] = None,
    user_lambda: Optional[_FloatVector] = None,
    standardize: bool = True,
    intercept: bool = True,
    thresh: float = 1e-7,
    maxit: int = 100000,
    dfmax: Optional[int] = None,
    pmax: Optional[int] = None,
    penalty_factor: Optional[_FloatVector] = None,
    lower_limits: Optional[_FloatVector] = None,
    upper_limits: Optional[_FloatVector] = None,
    weights: Optional[_FloatVector] = None,
    exclude: Optional[_CountVector] = None,
) -> PathResult:
    """Fit a Gaussian elastic-net path on a CSC matrix (``col_ptr``, ``row_idx``, ``values``)."""
