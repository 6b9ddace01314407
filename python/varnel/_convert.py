"""Turning what users pass (arrays, lists, data frames, sparse matrices) into
the arrays the compiled solvers take.

Nothing here imports pandas or scipy: a data frame is recognised by its
attributes, and a sparse matrix is recognised only when ``scipy.sparse`` has
already been imported (which it necessarily has if the caller holds one).
"""

from __future__ import annotations

import numbers
import operator
import sys
from collections.abc import Iterable
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

FAMILIES = ("gaussian", "logistic", "poisson", "multinomial")
#: The families whose response holds class labels.
CLASS_FAMILIES = ("logistic", "multinomial")
_ALIASES = {"binomial": "logistic", "normal": "gaussian"}


def check_family(family: Any) -> str:
    """Return the canonical family name, or raise ``ValueError``."""
    if not isinstance(family, str):
        raise TypeError(f"family must be a string, got {type(family).__name__}")
    name = _ALIASES.get(family.lower(), family.lower())
    if name not in FAMILIES:
        raise ValueError(f"family must be one of {FAMILIES}, got {family!r}")
    return name


def is_sparse(x: Any) -> bool:
    """True for a scipy.sparse matrix or array (without importing scipy)."""
    sp = sys.modules.get("scipy.sparse")
    return sp is not None and bool(sp.issparse(x))


def is_dataframe(x: Any) -> bool:
    return hasattr(x, "columns") and hasattr(x, "dtypes") and hasattr(x, "to_numpy")


def _float_array(a: Any, what: str) -> np.ndarray:
    """``np.asarray(a)`` as float64, refusing complex, text and other non-numbers."""
    arr = np.asarray(a)
    kind = arr.dtype.kind
    if kind == "c":
        raise TypeError(f"{what} is complex; only real numbers are supported")
    if kind in "biuf":
        return arr.astype(np.float64, copy=False)
    try:
        return arr.astype(np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must hold numbers: {exc}") from None


def _check_finite(arr: np.ndarray, what: str) -> None:
    if not np.isfinite(arr).all():
        raise ValueError(f"{what} contains NaN or inf")


def feature_names_of(x: Any, what: str = "X") -> Optional[List[Any]]:
    """The column labels of a data frame, exactly as they are (0 and "0" are
    two different names), or None for anything else.  Duplicate labels are
    refused: a column could not be found again by its name."""
    if not is_dataframe(x):
        return None
    names = list(x.columns)
    seen: set = set()
    dup = []
    for c in names:
        if c in seen and c not in dup:
            dup.append(c)
        seen.add(c)
    if dup:
        raise ValueError(f"{what} has duplicate column names {dup[:5]}; every column needs its own name")
    return names


def as_design(x: Any, *, what: str = "X") -> Tuple[Any, Optional[List[str]]]:
    """Convert a design matrix.

    Returns ``(X, feature_names)`` where ``X`` is a float64 2-D ndarray, or,
    when ``x`` is sparse, a float64 CSC matrix with sorted, summed indices
    (never densified).
    """
    names = feature_names_of(x, what)
    if is_sparse(x):
        if x.ndim != 2:
            raise ValueError(f"{what} must be 2-D, got shape {x.shape}")
        if x.dtype.kind == "c":
            raise TypeError(f"{what} is complex; only real numbers are supported")
        csc = x.tocsc(copy=True).astype(np.float64)
        csc.sum_duplicates()
        csc.sort_indices()
        _check_finite(csc.data, what)
        return csc, names
    if names is not None:
        try:
            arr = x.to_numpy(dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{what} must hold numeric columns: {exc}") from None
    else:
        arr = _float_array(x, what)
    if arr.ndim != 2:
        raise ValueError(
            f"{what} must be 2-D (n_samples, n_features), got shape {arr.shape}; "
            "use X.reshape(-1, 1) for a single feature")
    _check_finite(arr, what)
    return arr, names


def as_response(y: Any, family: str, n: int) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Convert the response.

    Returns ``(y, classes)``: a contiguous float64 vector and, for the logistic
    family, the two labels found in ``y`` (sorted; the second one is coded 1),
    for the multinomial family the K labels (sorted; coded 0, ..., K - 1).
    """
    if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray):
        y = y.to_numpy()
    arr = np.asarray(y)
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"y must be 1-D, got shape {arr.shape}")
    if arr.shape[0] != n:
        raise ValueError(f"X has {n} rows but y has {arr.shape[0]} values")
    if family in CLASS_FAMILIES:
        if arr.dtype.kind == "c":
            raise TypeError("y is complex")
        if arr.dtype.kind == "f":
            _check_finite(arr, "y")
        if arr.dtype.kind == "O" and any(v is None for v in arr):
            raise ValueError("y contains missing labels (None)")
        classes, codes = np.unique(arr, return_inverse=True)
        if family == "multinomial" and classes.shape[0] < 2:
            raise ValueError(f"the multinomial family needs at least two classes in y, found "
                             f"{classes.shape[0]}")
        if family == "logistic" and classes.shape[0] != 2:
            raise ValueError(
                "the logistic family needs exactly two classes in y, found "
                f"{classes.shape[0]} class(es)" + (f": {list(classes[:5])}" if classes.shape[0] else ""))
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.float64), classes
    out = np.ascontiguousarray(_float_array(arr, "y"))
    _check_finite(out, "y")
    if family == "poisson" and (out < 0).any():
        raise ValueError("the poisson family needs non-negative counts in y")
    return out, None


def as_weights(weights: Any, n: int) -> Optional[np.ndarray]:
    """Observation weights as a float64 vector of length ``n`` (or None)."""
    if weights is None:
        return None
    if hasattr(weights, "to_numpy") and not isinstance(weights, np.ndarray):
        weights = weights.to_numpy()
    w = np.ascontiguousarray(_float_array(weights, "weights"))
    if w.ndim != 1 or w.shape[0] != n:
        raise ValueError(f"weights must be a vector of length {n}, got shape {w.shape}")
    _check_finite(w, "weights")
    if (w < 0).any():
        raise ValueError("weights must be non-negative")
    if not (w > 0).any():
        raise ValueError("weights are all zero: at least one weight must be positive")
    return w


def per_feature(value: Any, p: int, name: str) -> Optional[np.ndarray]:
    """A per-feature option: None, a scalar (repeated) or a length-p vector."""
    if value is None:
        return None
    arr = _float_array(value, name)
    if arr.ndim == 0:
        arr = np.full(p, float(arr))
    if arr.ndim != 1 or arr.shape[0] != p:
        raise ValueError(f"{name} must be a scalar or a vector of length {p}, got shape {arr.shape}")
    if np.isnan(arr).any():
        raise ValueError(f"{name} contains NaN")
    return np.ascontiguousarray(arr)


def _is_bool(value: Any) -> bool:
    return isinstance(value, (bool, np.bool_))


def as_offset(offset: Any, n: int, nclass: Optional[int] = None) -> Optional[np.ndarray]:
    """An offset: None, or n finite values added to every linear predictor
    (n x K for the K classes of a multinomial fit)."""
    if offset is None:
        return None
    if hasattr(offset, "to_numpy") and not isinstance(offset, np.ndarray):
        offset = offset.to_numpy()
    o = np.ascontiguousarray(_float_array(offset, "offset"))
    want = (n,) if nclass is None else (n, nclass)
    if o.shape != want:
        raise ValueError(f"offset must have shape {want}, got {o.shape}")
    _check_finite(o, "offset")
    return o


def as_bool(value: Any, name: str) -> bool:
    """A yes/no option: only ``True``/``False`` (NumPy bools included), so that
    a string such as ``"False"`` is not silently read as true."""
    if not _is_bool(value):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def as_exclude(exclude: Any, p: int, names: Optional[Sequence[Any]]) -> Optional[List[int]]:
    """Feature indices (or names, when the data had column names) to leave out.

    Strings are always names; integers are always positions; any other value
    must be one of the column names."""
    if exclude is None:
        return None
    if isinstance(exclude, str) or not isinstance(exclude, Iterable) or \
            (isinstance(exclude, np.ndarray) and exclude.ndim == 0):
        exclude = [exclude]
    out = []
    for e in exclude:
        if _is_bool(e):
            raise TypeError(f"exclude must hold feature indices or names, got the bool {e!r}")
        if isinstance(e, str) or not isinstance(e, numbers.Integral):
            if names is None or not _hashable(e) or e not in names:
                if not isinstance(e, str):
                    raise TypeError(f"exclude must hold feature indices or names, got {e!r}")
                raise ValueError(f"exclude: unknown feature name {e!r}")
            out.append(list(names).index(e))
        else:
            j = operator.index(e)
            if j < 0:
                j += p
            if not 0 <= j < p:
                raise ValueError(f"exclude: feature index {e} out of range for {p} features")
            out.append(j)
    return sorted(set(out))


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def as_lambdas(user_lambda: Any) -> Optional[np.ndarray]:
    """A user lambda sequence, sorted decreasing."""
    if user_lambda is None:
        return None
    lam = np.atleast_1d(_float_array(user_lambda, "user_lambda"))
    if lam.ndim != 1 or lam.shape[0] == 0:
        raise ValueError("user_lambda must be a non-empty 1-D sequence")
    _check_finite(lam, "user_lambda")
    if (lam < 0).any():
        raise ValueError("user_lambda values must be non-negative")
    return np.ascontiguousarray(np.sort(lam)[::-1])


def as_int(value: Any, name: str, *, allow_none: bool = False) -> Optional[int]:
    if value is None and allow_none:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got a bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None


def as_float(value: Any, name: str, *, allow_none: bool = False) -> Optional[float]:
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    return float(value)
