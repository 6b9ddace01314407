"""Type stubs of the compiled solvers (``varnel._core``)."""

from typing import Any, Callable, Dict, Literal, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Unpack

_FloatVector = Sequence[float] | NDArray[np.float64]
_CountVector = Sequence[int] | NDArray[np.integer]
_Csc = Tuple[int, int, _CountVector, _CountVector, _FloatVector]
# a column given on its own: its n values, its ascending rows of value 1, or (rows, values)
_Column = Union[_FloatVector, _CountVector, Tuple[_CountVector, _FloatVector]]
_Columns = Tuple[int, int, Tuple[_Column, ...]]

class Options(TypedDict, total=False):
    """The fitting options shared by every entry point (defaults in
    OPTION_DEFAULTS; None there means chosen from the data)."""

    alpha: float
    nlambda: int
    lambda_min_ratio: Optional[float]
    user_lambda: Optional[_FloatVector]
    standardize: bool
    intercept: bool
    thresh: float
    maxit: int
    dfmax: Optional[int]
    pmax: Optional[int]
    penalty_factor: Optional[_FloatVector]
    lower_limits: Optional[_FloatVector]
    upper_limits: Optional[_FloatVector]
    weights: Optional[_FloatVector]
    exclude: Optional[_CountVector]

OPTION_DEFAULTS: Dict[str, Any]

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

# The fit where a path stopped at its pass limit: that lambda, the
# intercept(s) (a float, or K) and the coefficients ((p,) or (p, K)).
Iterate = TypedDict(
    "Iterate",
    {"lambda": float, "a0": Union[float, NDArray[np.float64]], "beta": NDArray[np.float64]},
)

# As PathResult, with "warning" as (kind, lambda_index), the iterate where a
# path stopped at maxit, the solver that ran, and "bound": (variable,
# lambda_index) of the first solution with a coefficient held at the bound
# of 9.9e35 that stands for an infinite limit (the variable's column is too
# small; None when there is none); for the multinomial family "beta" has
# shape (p, K, lmu) and "a0" (K, lmu).
FitResult = TypedDict(
    "FitResult",
    {
        "lmu": int,
        "lambda": NDArray[np.float64],
        "a0": NDArray[np.float64],
        "beta": NDArray[np.float64],
        "dev_ratio": NDArray[np.float64],
        "nulldev": float,
        "npasses": int,
        "warning": Optional[Tuple[str, int]],
        "lambda_max": float,
        "iterate": Optional[Iterate],
        "bound": Optional[Tuple[int, int]],
        "solver": Literal["naive", "covariance"],
    },
)

def elnet_path(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    *,
    family: Literal["gaussian", "binomial", "poisson"] = "gaussian",
    **options: Unpack[Options],
) -> PathResult:
    """Fit a Gaussian, binomial or Poisson elastic-net path on a dense
    float64 matrix ``x`` (n, p); the result's "beta" is (p, lmu).  The
    compiled function's docstring is its fixed signature text; the full
    reference (parameters, returns, raises, example) is the documentation's
    page of the extension module."""

def elnet_sparse(
    n: int,
    p: int,
    col_ptr: _CountVector,
    row_idx: _CountVector,
    values: _FloatVector,
    y: NDArray[np.float64],
    **options: Unpack[Options],
) -> PathResult:
    """Sparse Gaussian path: the elastic-net path of :func:`elnet_path` on an
    n x p matrix of compressed sparse columns (``col_ptr``, ``row_idx``,
    ``values``: a ``csc_matrix``'s ``indptr``, ``indices``, ``data``), never
    densified.  The full reference is the documentation's page of the
    extension module."""

def fit(
    x: Union[NDArray[np.float64], _Csc, _Columns],
    y: NDArray[np.float64],
    *,
    family: Literal["gaussian", "binomial", "poisson", "multinomial", "gamma",
                    "inverse_gaussian", "tweedie", "negative_binomial", "cox",
                    "multitask", "huber"] = "gaussian",
    offset: Optional[Union[_FloatVector, NDArray[np.float64]]] = None,
    solver: Literal["auto", "naive", "covariance"] = "naive",
    grouped: bool = False,
    start_a0: Optional[Union[float, NDArray[np.float64]]] = None,
    start_beta: Optional[NDArray[np.float64]] = None,
    link: Optional[str] = None,
    power: Optional[float] = None,
    theta: Optional[float] = None,
    delta: Optional[float] = None,
    strata: Optional[_CountVector] = None,
    ties: Literal["breslow", "efron"] = "breslow",
    entry: Optional[_FloatVector] = None,
    standardize_response: bool = False,
    n_threads: Optional[int] = None,
    sparse_coefs: bool = False,
    feature_groups: Optional[_CountVector] = None,
    l1_within: float = 0.0,
    group_size_weight: bool = True,
    starts_a0: Optional[NDArray[np.float64]] = None,
    starts_beta: Optional[NDArray[np.float64]] = None,
    callback: Optional[Callable[[int, float, int, float, int], Any]] = None,
    **options: Unpack[Options],
) -> FitResult:
    """Fit any family on a dense matrix, on (n, p, col_ptr, row_idx, values),
    or on (n, p, columns): a tuple of p columns read in place, each a
    float64 array of its n values, an array of 64-bit rows (ascending)
    where it is 1, or a pair (rows, values); the same matrix as the CSC
    arrays holding the same entries, fitted to the same bits.

    For ``family="multinomial"`` y holds the class codes 0, 1, ..., K - 1 and
    ``offset`` has the shape (n, K); ``grouped`` (multinomial only) penalizes
    each variable's K coefficients by their Euclidean norm.  For
    ``family="cox"`` y is (n, 2), the time and the status (1 an event, 0
    censored) of every row, ``strata`` one integer label per row,
    ``ties`` the handling of tied event times and ``entry`` each row's
    entry time (counting-process rows, at risk at t when entry < t <=
    time); there is no intercept.  For
    ``family="multitask"`` y is (n, K), the offset (n, K), and each
    variable's K coefficients are penalized together;
    ``standardize_response`` scales each response to unit variance first.
    ``start_a0`` and ``start_beta`` start the path from that fit (the
    caller's scale).  ``link`` (None: the family's default), ``power``
    (tweedie) and ``theta`` (negative_binomial) choose a GLM family's link
    and parameters; ``delta`` (huber, None: 1.35) is where the robust loss
    turns from quadratic to linear.
    ``n_threads`` bounds the threads of the passes over x that form column
    moments and products (None: every core).  With ``sparse_coefs`` the
    result's "beta" is the compressed columns ``(start, var, values,
    nvars)``: solution l's entries at ``start[l]:start[l + 1]``, variable
    ``var[e]`` (increasing) and its K coefficients at ``values[e * K:(e + 1)
    * K]``; a variable whose coefficients are all +0.0 has no entry.
    ``callback(index, lambda, df, dev_ratio, passes)`` is called after each
    solution with the interpreter's lock held; a false result ends the path
    there (warning ``("Stopped", index + 1)``), an exception propagates.
    ``feature_groups`` (one label 0, 1, ..., G - 1 per column; a block
    family's group holds its columns' K coefficients) penalizes the groups
    by the sparse-group elastic
    net: ``l1_within`` is the lasso's share of the L1 part (0: group lasso,
    1: the plain elastic net) and ``group_size_weight`` weights each group's
    norm by the square root of its size; a group's penalty factor is its
    columns' (they must share one); no limits.
    ``starts_beta`` ((p, L), or (p, K, L)) and ``starts_a0`` ((L,), or (K,
    L); None: 0) start the solve of each of the first L penalty values from
    their column (the caller's scale) rather than from the previous
    solution; each solution is still that penalty value's, to the same
    ``thresh`` (a start whose objective is not below the previous
    solution's is not taken).  The fit runs without the interpreter's lock.
    """
