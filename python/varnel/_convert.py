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


def is_sparse(x: Any) -> bool:
    """True for a scipy.sparse matrix or array (without importing scipy)."""
    sp = sys.modules.get("scipy.sparse")
    return sp is not None and bool(sp.issparse(x))


def is_dataframe(x: Any) -> bool:
    return hasattr(x, "columns") and hasattr(x, "dtypes") and hasattr(x, "to_numpy")


def float_array(a: Any, what: str, columns: Optional[Sequence[Any]] = None) -> np.ndarray:
    """``np.asarray(a)`` as float64, refusing complex, text and other non-numbers
    (a missing entry, None or a data frame's NA, is named with its position,
    and with its column's name when ``columns`` are given)."""
    arr = np.asarray(a)
    kind = arr.dtype.kind
    if kind == "c":
        raise TypeError(f"{what} is complex; only real numbers are supported")
    if kind in "biuf":
        return arr.astype(np.float64, copy=False)
    check_missing(arr, what, columns)
    try:
        return arr.astype(np.float64)
    except (TypeError, ValueError):
        pass
    for flat, v in enumerate(arr.flat):
        try:
            float(v)
        except (TypeError, ValueError):
            raise ValueError(f"{what} must hold numbers, but {_where(arr, flat, what, columns)} is "
                             f"{_shown(v)}") from None
    raise ValueError(f"{what} must hold numbers")


def _shown(v: Any) -> str:
    text = repr(v)
    return text if len(text) <= 40 else text[:37] + "..."


def _where(arr: np.ndarray, flat: int, what: str, columns: Optional[Sequence[Any]] = None) -> str:
    """``X[i, j]`` (with the column's name when there are names): where a
    flat index lies in ``arr``."""
    idx = np.unravel_index(flat, arr.shape)
    text = what + "[" + ", ".join(str(int(i)) for i in idx) + "]"
    if columns is not None and len(idx) == 2:
        text += f" (column {columns[int(idx[1])]!r})"
    return text


def _is_missing(v: Any) -> bool:
    # None (NumPy, polars), a data frame's NA (pandas.NA, NaT) or a float NaN;
    # NA is recognised by its type so that pandas need not be imported.
    if v is None or type(v).__name__ in ("NAType", "NaTType"):
        return True
    return isinstance(v, float) and v != v


def check_missing(arr: np.ndarray, what: str, columns: Optional[Sequence[Any]] = None) -> None:
    """A ValueError naming ``what`` and the first missing entry of an array
    of objects or floats (None, NA or NaN)."""
    if arr.dtype.kind == "f":
        bad = np.isnan(arr).reshape(-1)
        first = int(np.argmax(bad)) if bad.any() else -1
    elif arr.dtype.kind == "O":
        first = next((i for i, v in enumerate(arr.flat) if _is_missing(v)), -1)
    else:
        return
    if first >= 0:
        row = int(np.unravel_index(first, arr.shape)[0])
        raise ValueError(f"{what} has a missing value (NA, None or NaN) in row {row}, at "
                         f"{_where(arr, first, what, columns)}; drop or fill the rows with missing "
                         "values first")


def check_finite(arr: np.ndarray, what: str) -> None:
    """A ValueError naming ``what`` and its first NaN or infinite entry."""
    ok = np.isfinite(arr).reshape(-1)
    if not ok.all():
        first = int(np.argmax(~ok))
        raise ValueError(f"{what} contains NaN or inf: {_where(arr, first, what)} is "
                         f"{arr.reshape(-1)[first]:g}")


def check_non_negative(arr: np.ndarray, what: str) -> None:
    """A ValueError naming ``what`` and its first negative entry."""
    if (arr < 0).any():
        first = int(np.argmax(arr < 0))
        raise ValueError(f"{what} must be non-negative, but {what}[{first}] is {arr[first]:g}")


def shown_label(label: Any) -> str:
    """A class label as a message shows it: numbers %g-style."""
    value = label.item() if isinstance(label, np.generic) else label
    return f"{value:g}" if isinstance(value, float) else repr(value)


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


def column_labels(x: Any) -> Optional[List[Any]]:
    """A data frame's column labels as they are (duplicates kept), or None."""
    return list(x.columns) if is_dataframe(x) else None


def _csc(x: Any, what: str) -> Any:
    """A float64 CSC matrix with sorted, summed indices, copying as little as
    possible: a CSC matrix in that form is taken as it is (the solvers only
    read it), any other format is converted once, and the caller's arrays are
    never written."""
    if x.ndim != 2:
        raise ValueError(f"{what} must be 2-D (n_samples, n_features), got shape {x.shape}")
    if x.dtype.kind == "c":
        raise TypeError(f"{what} is complex; only real numbers are supported")
    owned = x.format != "csc"
    csc = x.tocsc() if owned else x  # COO's conversion sums its duplicates
    if csc.dtype != np.float64:
        csc = csc.astype(np.float64, copy=False)  # new values, shared indices
    if not csc.has_canonical_format:
        if not owned:
            csc = csc.copy()
        csc.sum_duplicates()  # sorts the indices too
    ok = np.isfinite(csc.data)
    if not ok.all():
        k = int(np.argmax(~ok))
        col = int(np.searchsorted(csc.indptr, k, side="right")) - 1
        raise ValueError(f"{what} contains NaN or inf: {what}[{int(csc.indices[k])}, {col}] is "
                         f"{csc.data[k]:g}")
    return csc


def with_wide_indices(csc: Any) -> Any:
    """The matrix with 64-bit index arrays, which the solver reads in place
    (narrower ones are widened by every fit): a new matrix object that
    shares the values, or the matrix itself when its indices are 64-bit."""
    if csc.indices.dtype == np.int64 and csc.indptr.dtype == np.int64:
        return csc
    sp = sys.modules["scipy.sparse"]
    wide = sp.csc_matrix(csc.shape, dtype=np.float64)
    wide.data, wide.indices, wide.indptr = (csc.data, csc.indices.astype(np.int64),
                                            csc.indptr.astype(np.int64))
    wide.has_sorted_indices = wide.has_canonical_format = True
    return wide


def refuse_lazy(x: Any, what: str) -> None:
    """A ValueError for a lazy frame (a polars LazyFrame), whose rows exist
    only once it is collected."""
    if type(x).__name__ == "LazyFrame" and hasattr(x, "collect"):
        raise ValueError(f"{what} is a polars LazyFrame, whose rows are not computed yet; "
                         f"call {what}.collect() first and pass the DataFrame it returns")


def as_design(x: Any, *, what: str = "X", n_features: Optional[int] = None,
              finite: bool = True) -> Tuple[Any, Optional[List[str]]]:
    """Convert a design matrix.

    Returns ``(X, feature_names)`` where ``X`` is a float64 2-D ndarray, or,
    when ``x`` is sparse, a float64 CSC matrix with sorted, summed indices
    (never densified).  A data frame (pandas, polars or any other with
    ``columns`` and ``to_numpy()``) keeps its column names.  ``n_features``
    (a fitted model's) tells whether a 1-D ``x`` was meant as one row.
    A NaN or an infinity is a ValueError naming its cell, unless ``finite``
    is False for a dense X, which the compiled solvers then check as they
    read it (see ``name_non_finite``).
    """
    if x is None:
        raise ValueError(f"{what} is None; {what} must be an array-like or sparse matrix of shape "
                         "(n_samples, n_features)")
    refuse_lazy(x, what)
    names = feature_names_of(x, what)
    if is_sparse(x):
        return _csc(x, what), names
    arr = float_array(x.to_numpy() if names is not None else x, what, names)
    if arr.ndim != 2:
        if arr.ndim == 1 and n_features is not None and n_features != 1:
            hint = (f"use {what}.reshape(1, -1) for a single row" if arr.shape[0] == n_features
                    else f"{what} must have shape (n, {n_features})")
        elif arr.ndim == 1:
            hint = f"use {what}.reshape(-1, 1) for a single feature or {what}.reshape(1, -1) for a single row"
        else:
            hint = f"{what} needs one row per observation and one column per feature"
        raise ValueError(f"{what} must be 2-D (n_samples, n_features), got shape {arr.shape}; {hint}")
    if finite:
        check_finite(arr, what)
    return arr, names


def name_non_finite(exc: ValueError, X: Any, what: str = "X") -> None:
    """When ``exc`` is the compiled solvers' refusal of a non-finite value
    of a dense ``X`` they read unchecked ("x must be finite, but x[i, j]
    is nan"), the ValueError check_finite raises (the same text as for any
    other input: the first such value in row order, named ``what[i, j]``);
    nothing otherwise."""
    if isinstance(X, np.ndarray) and str(exc).startswith("x must be finite, but x["):
        try:
            check_finite(X, what)
        except ValueError as named:
            raise named from None


def _unwrapped(value: Any) -> Any:
    """The array behind a series or a data frame (``to_numpy()``), or the
    value itself."""
    if hasattr(value, "to_numpy") and not isinstance(value, np.ndarray):
        return value.to_numpy()
    return value


def _numbers(value: Any, what: str) -> np.ndarray:
    """A vector or array of the caller's numbers (an array, a list, a
    series) as a contiguous float64 array, ``what`` naming it in errors; a
    lazy frame is refused."""
    refuse_lazy(value, what)
    return np.ascontiguousarray(float_array(_unwrapped(value), what))


def response_array(y: Any, n: int) -> np.ndarray:
    """The response as a 1-D array of n values (a column vector is taken
    too), any dtype; a missing value is a ValueError naming its row."""
    if y is None:
        raise ValueError(f"y is None; y must be an array-like of shape ({n},), one value per row of X")
    refuse_lazy(y, "y")
    arr = np.asarray(_unwrapped(y))
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"y must be 1-D with shape ({n},), got shape {arr.shape}")
    if arr.shape[0] != n:
        raise ValueError(f"X has {n} rows but y has {arr.shape[0]} values; y must have shape ({n},)")
    check_missing(arr, "y")
    return arr


def as_weights(weights: Any, n: int) -> Optional[np.ndarray]:
    """Observation weights as a float64 vector of length ``n`` (or None)."""
    if weights is None:
        return None
    w = _numbers(weights, "weights")
    if w.ndim != 1 or w.shape[0] != n:
        raise ValueError(f"weights must have shape ({n},), one per row of X, got shape {w.shape}")
    check_finite(w, "weights")
    check_non_negative(w, "weights")
    if not (w > 0).any():
        raise ValueError("weights are all zero: at least one weight must be positive")
    return w


def _labels_of(value: Any) -> Optional[List[Any]]:
    """The feature names a per-feature setting is keyed by: a dict's keys, a
    pandas Series' index, or the columns of a one-row data frame; None for
    an unlabelled value (an array, a list, a scalar, a polars Series, which
    has no index)."""
    if isinstance(value, dict):
        return list(value)
    if is_dataframe(value):
        return list(value.columns)
    index = getattr(value, "index", None)
    if index is not None and hasattr(value, "to_numpy") and not callable(index):
        return list(index)
    return None


def _labelled_values(value: Any) -> Any:
    if isinstance(value, dict):
        return list(value.values())
    if is_dataframe(value):
        arr = value.to_numpy()
        if arr.ndim != 2 or arr.shape[0] != 1:
            raise ValueError(f"a data frame of per-feature values needs one row, got shape {arr.shape}")
        return arr[0]
    return value.to_numpy()


def _is_positions(labels: List[Any], p: int) -> bool:
    """Whether labels are 0, 1, ..., p - 1 in order (a default index)."""
    return len(labels) == p and all(isinstance(v, numbers.Integral) and not _is_bool(v) and v == j
                                    for j, v in enumerate(labels))


def _aligned(value: Any, labels: List[Any], p: int, name: str,
             names: Optional[Sequence[Any]]) -> Any:
    """A labelled setting's values in the order of the columns ``names``;
    a default index 0..p-1 that is not the column names stays positional."""
    if names is not None and len(set(names)) < len(names):
        raise ValueError(f"{name} is labelled by feature name, but X has duplicate column names; "
                         f"give {name} by position (an array or list of {p} values)")
    if names is not None and _hashable_all(labels) and set(labels) == set(names) \
            and len(labels) == p:
        where = {label: j for j, label in enumerate(labels)}
        values = np.asarray(_labelled_values(value), dtype=object)
        return np.array([values[where[c]] for c in names], dtype=object)
    if _is_positions(labels, p):
        return _labelled_values(value)
    if names is None:
        raise ValueError(f"{name} is labelled by feature name ({_shown(labels[:5])}), but X has "
                         "no column names to match them with; pass X as a data frame with named "
                         f"columns, or give {name} by position (an array or list of {p} values)")
    seen: set = set()
    for label in labels:
        if not _hashable(label) or label not in names:
            raise ValueError(f"{name} names the unknown feature {_shown(label)}; the features of X "
                             f"are {_shown(list(names)[:10])}")
        if label in seen:
            raise ValueError(f"{name} names the feature {_shown(label)} twice")
        seen.add(label)
    missing = [c for c in names if c not in seen]
    raise ValueError(f"{name} has no value for the feature(s) {_shown(missing[:5])}; a labelled "
                     "setting needs one value per column of X")


def _hashable_all(labels: List[Any]) -> bool:
    return all(_hashable(v) for v in labels)


def per_feature(value: Any, p: int, name: str,
                names: Optional[Sequence[Any]] = None) -> Optional[np.ndarray]:
    """A per-feature option: None, a scalar (repeated) or one value per
    column.  An array or list (and a polars Series) is taken by position; a
    setting labelled by feature name (a dict, a pandas Series, a one-row
    data frame) is aligned to the column names ``names`` (an unknown or
    missing name is a ValueError naming it), except that a pandas Series
    with the default index 0, ..., p - 1 is positional unless those are the
    column names."""
    if value is None:
        return None
    refuse_lazy(value, name)
    labels = _labels_of(value)
    if labels is not None:
        value = _aligned(value, labels, p, name, names)
    arr = float_array(_unwrapped(value), name)
    if arr.ndim == 0:
        arr = np.full(p, float(arr))
    if arr.ndim != 1 or arr.shape[0] != p:
        raise ValueError(f"{name} must be a scalar or have shape ({p},), one per column of X, "
                         f"got shape {arr.shape}")
    if np.isnan(arr).any():
        first = int(np.argmax(np.isnan(arr)))
        raise ValueError(f"{name} contains NaN: {_feature(name, first, names)} is nan")
    return np.ascontiguousarray(arr)


def _feature(name: str, j: int, names: Optional[Sequence[Any]]) -> str:
    """``name[j]``, with the column's name when X has names."""
    return f"{name}[{j}]" + ("" if names is None else f" (feature {names[j]!r})")


def check_penalty_factor(pf: Optional[np.ndarray], names: Optional[Sequence[Any]]) -> None:
    """Penalty factors are non-negative (0 leaves a feature unpenalized,
    inf leaves it out); a ValueError names the first negative one."""
    if pf is not None and (pf < 0).any():
        j = int(np.argmax(pf < 0))
        raise ValueError(f"penalty_factor must be non-negative (0 leaves a feature unpenalized), but "
                         f"{_feature('penalty_factor', j, names)} is {pf[j]:g}")


def _is_bool(value: Any) -> bool:
    return isinstance(value, (bool, np.bool_))


def as_offset(offset: Any, shape: Tuple[int, ...], unit: str = "class") -> Optional[np.ndarray]:
    """An offset: None, or finite values added to every linear predictor, of
    ``shape``: (n,), or (n, K) for the K linear predictors of a row (the
    classes of a multinomial fit, the responses of a multitask one: ``unit``
    names one of them)."""
    if offset is None:
        return None
    o = _numbers(offset, "offset")
    if o.shape != tuple(shape):
        raise ValueError(f"offset must have shape {tuple(shape)}, one value per row"
                         f"{' and ' + unit if len(shape) == 2 else ''}, got shape {o.shape}")
    check_finite(o, "offset")
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
    lam = np.atleast_1d(float_array(user_lambda, "user_lambda"))
    if lam.ndim != 1 or lam.shape[0] == 0:
        raise ValueError(f"user_lambda must be a non-empty 1-D sequence, got shape {lam.shape}")
    check_finite(lam, "user_lambda")
    check_non_negative(lam, "user_lambda")
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


def in_range(value: float, name: str, low: float, high: float, *, open_low: bool = False,
             open_high: bool = False) -> float:
    """``value`` when it lies in the interval, else a ValueError naming it."""
    above = value > low if open_low else value >= low
    below = value < high if open_high else value <= high
    if not (above and below):  # NaN fails both
        interval = f"{'(' if open_low else '['}{low:g}, {high:g}{')' if open_high else ']'}"
        raise ValueError(f"{name} must lie in {interval}, got {value:g}")
    return value
