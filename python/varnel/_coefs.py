"""Coefficient paths in either storage.

Dense: an ndarray of shape (p, L), or (p, K, L) for the block families
(multinomial, multitask).  Sparse: a CSC matrix of shape (p, L), or for
the block families a list of K CSC matrices of shape (p, L), entry k the
path of class (response) k, as ``[:, k, :]`` of the dense form.  The sparse
form holds the same bits as the dense one: a stored 0 is a -0.0 (or a
class's 0 beside another class's non-zero value), an absent one a +0.0.
"""

from __future__ import annotations

from typing import Any, List, Tuple, Union

import numpy as np

from . import _convert as cv
from ._columns import is_column_design

#: A sparse X with more columns than this keeps its path's coefficients
#: sparse (``coef_storage="auto"``).
SPARSE_MIN_FEATURES = 100_000

#: The values of the option ``coef_storage``.
STORAGES = ("auto", "dense", "sparse")

#: scipy is imported only where a sparse form is made or read.
Coefs = Union[np.ndarray, "scipy.sparse.csc_matrix", List["scipy.sparse.csc_matrix"]]


def _sparse() -> Any:
    import scipy.sparse

    return scipy.sparse


def check_storage(value: Any) -> str:
    """``coef_storage`` as given, one of STORAGES."""
    if not isinstance(value, str) or value not in STORAGES:
        raise ValueError(f"coef_storage must be one of {STORAGES}, got {value!r}")
    return value


def wants_sparse(storage: str, X: Any) -> bool:
    """Whether a path fitted on X keeps sparse coefficients."""
    if storage == "auto":
        return (cv.is_sparse(X) or is_column_design(X)) and X.shape[1] > SPARSE_MIN_FEATURES
    return storage == "sparse"


def is_sparse(c: Coefs) -> bool:
    return isinstance(c, list) or cv.is_sparse(c)


def from_columns(start: np.ndarray, var: np.ndarray, values: np.ndarray, nvars: int,
                 nk: int, block: bool) -> Coefs:
    """The sparse form of the solver's compressed columns: solution l's
    entries at start[l]:start[l + 1], variable var[e], its nk values at
    values[e * nk:(e + 1) * nk]."""
    shape = (int(nvars), start.shape[0] - 1)
    if not block:
        return _sparse().csc_matrix((values, var, start), shape=shape)
    return [_sparse().csc_matrix((values[k::nk].copy(), var.copy(), start.copy()), shape=shape)
            for k in range(nk)]


def from_dense(b: np.ndarray) -> Coefs:
    """The sparse form of a dense path, keeping every bit (a -0.0 stays)."""
    if b.ndim == 3:
        keep = np.any(_stored(b), axis=1)
        return [_csc(b[:, k, :], keep) for k in range(b.shape[1])]
    return _csc(b, _stored(b))


def _stored(b: np.ndarray) -> np.ndarray:
    # every value but +0.0
    return (b != 0) | np.signbit(b)


def _csc(b: np.ndarray, keep: np.ndarray) -> Any:
    cols, rows = np.nonzero(keep.T)  # column by column, rows increasing
    start = np.zeros(b.shape[1] + 1, dtype=np.int64)
    np.cumsum(np.bincount(cols, minlength=b.shape[1]), out=start[1:])
    return _sparse().csc_matrix((b[rows, cols], rows, start), shape=b.shape)


def to_dense(c: Coefs) -> np.ndarray:
    """The dense form (a copy)."""
    if isinstance(c, list):
        return np.stack([m.toarray() for m in c], axis=1)
    return c.toarray() if cv.is_sparse(c) else np.array(c)


def dense_shape(c: Coefs) -> Tuple[int, ...]:
    """The shape of the dense form: (p, L) or (p, K, L)."""
    if isinstance(c, list):
        return c[0].shape[0], len(c), c[0].shape[1]
    return tuple(c.shape)


def nonzero_counts(c: Coefs) -> np.ndarray:
    """The variables with a non-zero coefficient (for any class) of each
    solution."""
    if not is_sparse(c):
        nonzero = c != 0
        return np.count_nonzero(nonzero.any(axis=1) if nonzero.ndim == 3 else nonzero, axis=0)
    mats = c if isinstance(c, list) else [c]
    nonzero = sum((m != 0).astype(np.int32) for m in mats)
    return np.diff((nonzero > 0).tocsc().indptr).astype(np.intp)


def interpolate(c: Coefs, lo: np.ndarray, hi: np.ndarray, frac: np.ndarray) -> Coefs:
    """The solutions ``c[lo] * (1 - frac) + c[hi] * frac``, in the storage
    of c; the sparse form's values are the dense form's."""
    if not is_sparse(c):
        return c[..., lo] * (1.0 - frac) + c[..., hi] * frac

    def one(m: Any) -> Any:
        out = m[:, lo] @ _sparse().diags(1.0 - frac) + m[:, hi] @ _sparse().diags(frac)
        return _sparse().csc_matrix(out)

    return [one(m) for m in c] if isinstance(c, list) else one(c)


def column(c: Coefs, j: int) -> np.ndarray:
    """Solution j, dense: (p,) or (p, K)."""
    if not is_sparse(c):
        return c[..., j].copy()
    if isinstance(c, list):
        return np.stack([m[:, j].toarray()[:, 0] for m in c], axis=1)
    return c[:, j].toarray()[:, 0]


def copy(c: Coefs) -> Coefs:
    return [m.copy() for m in c] if isinstance(c, list) else c.copy()


def append(c: Coefs, b: np.ndarray) -> Coefs:
    """c with the solution b ((p,) or (p, K)) after its last one."""
    if not is_sparse(c):
        return np.concatenate([c, b[..., None]], axis=-1)
    extra = from_dense(b[..., None] if b.ndim == 1 else b[:, :, None])
    if isinstance(c, list):
        return [_sparse().hstack([m, e], format="csc") for m, e in zip(c, extra)]
    return _sparse().hstack([c, extra], format="csc")


def active_rows(c: Coefs) -> Tuple[np.ndarray, np.ndarray]:
    """The variables with a non-zero coefficient somewhere on the path and
    their rows of the dense form ((a, L) or (a, K, L))."""
    if not is_sparse(c):
        p = c.shape[0]
        active = np.flatnonzero(np.any(c.reshape(p, -1) != 0, axis=1))
        return active, c[active]
    mats = c if isinstance(c, list) else [c]
    active = np.unique(np.concatenate([m.indices[m.data != 0] for m in mats]))
    rows = [m[active].toarray() for m in mats]
    # C order, as the dense form's rows: the sums over them are the same
    return active, np.ascontiguousarray(np.stack(rows, axis=1) if isinstance(c, list) else rows[0])


def product(X: Any, c: Coefs) -> np.ndarray:
    """X b for every solution of a sparse c: (n, L) or (n, K, L)."""
    def one(m: Any) -> np.ndarray:
        out = X @ m
        return out.toarray() if _sparse().issparse(out) else np.asarray(out)

    if isinstance(c, list):
        return np.stack([one(m) for m in c], axis=1)
    return one(c)


def to_json(c: Coefs) -> Any:
    """Nested lists of the dense form; the sparse form as its CSC arrays
    ({"shape", "indptr", "indices", "data"}, a list of K for the block
    families)."""
    if not is_sparse(c):
        return c.tolist()

    def one(m: Any) -> dict:
        return {"shape": list(m.shape), "indptr": m.indptr.tolist(),
                "indices": m.indices.tolist(), "data": m.data.tolist()}

    return [one(m) for m in c] if isinstance(c, list) else one(c)
