"""The per-block computation of Dask arrays whose blocks of rows are
``scipy.sparse`` matrices (CSR, CSC or COO, each taken as CSC).

The protocol is the dense blocks' (see ``_blocks``): one pass for the
columns' moments, then one pass per reweighting step; only the arithmetic
on a block differs.  Nothing densifies a block.  For the standardized
columns z_j = (x_j - c_j) / s_j the sums a pass returns are formed from
sparse products and the centres:

    <z_j, r>       = (x_j'r - c_j sum r) / s_j
    <z_j, v z_t>   = (x_j'V x_t - c_t x_j'v - c_j x_t'v + c_j c_t sum v) / (s_j s_t)

so a pass costs O(nnz) for the gradient and O(nnz of the requested
columns' rows) for the products of the requested columns (the strong set's
and its likeliest entrants'), never O(n p).  Every term is linear in sums
over the rows, so the blocks send x'r, x'v and the sparse x_j'V x_t (their
stored entries only) and the client centres and scales the total.  The family's per-row maths
(working weights, residuals, loss) is the core's own (``_core.block_pass``
with ``request["rows"]``), on the block's linear predictor computed here.
The moments are summed per column over the stored entries, the implicit
zeros counted exactly: sum_i w_i (x_ij - c_j)^2 is the sum over stored
entries plus c_j^2 times the weight of the rows where x_ij is not stored.
"""

from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np

from .. import _core

#: The most columns whose products one pass over sparse blocks forms: each
#: block sends p doubles per column (and the fit keeps p per column), so
#: a larger strong set is refused rather than exhausting memory.
MAX_PRODUCT_COLUMNS = 5000


def is_sparse(block: Any) -> bool:
    """A ``scipy.sparse`` matrix or array (without importing SciPy)."""
    return type(block).__module__.startswith("scipy.sparse")


def _csr_block(block: Any) -> Any:
    if not is_sparse(block):  # a block of another kind: the blocks' checks name it
        return block
    import scipy.sparse as sp

    return sp.csr_matrix(block, dtype=np.float64)


def as_rows(arr: Any) -> Any:
    """A Dask array of sparse blocks (of any format) as float64 CSR blocks,
    whose rows can be sliced."""
    import scipy.sparse as sp

    return arr.map_blocks(_csr_block, dtype=np.float64, meta=sp.csr_matrix((0, 0)))


#: What to do when X's blocks are sparse but its meta says dense (Dask
#: cannot form the meta of COO blocks, for one).
META_ADVICE = ("X's first blocks are scipy.sparse matrices, but the Dask array's meta says dense "
               "NumPy blocks (as map_blocks makes it when it cannot infer the meta, e.g. of COO "
               "blocks), so it is read as dense: if every block is sparse, make them CSR with "
               "X.map_blocks(scipy.sparse.csr_matrix) or give map_blocks "
               "meta=scipy.sparse.csr_matrix((0, 0)); else make every block one kind")


def head_rows(rows: int, *blocks: Any) -> Any:
    """The first ``rows`` rows of the first blocks (sparse ones as CSR), or
    None when the blocks are of mixed kinds (their checks name them)."""
    kinds = {is_sparse(b) for b in blocks}
    if len(kinds) > 1:
        return None
    if kinds == {True}:
        import scipy.sparse as sp

        return sp.vstack([sp.csr_matrix(b) for b in blocks], format="csr")[:rows]
    return np.concatenate(blocks, axis=0)[:rows]


def as_csc(x: Any) -> Any:
    """A block as a float64 CSC matrix with sorted indices and no explicit
    duplicates."""
    import scipy.sparse as sp

    x = sp.csc_matrix(x, dtype=np.float64)
    x.sum_duplicates()
    return x


def kind_problem(x: Any, sparse: bool, start: int) -> Optional[tuple]:
    """The problem of a block that is not of its array's kind (a mix of
    dense and sparse blocks), or None."""
    if is_sparse(x) == sparse:
        return None
    what = type(x).__name__
    want = "scipy.sparse matrices" if sparse else "dense NumPy arrays"
    return 0, start, (f"X mixes dense and sparse blocks: the block of rows from {start} is a "
                      f"{what}, but X's blocks are {want}; make every block one kind, e.g. "
                      f"X.map_blocks(scipy.sparse.csr_matrix) or X.map_blocks(lambda b: "
                      f"b.toarray())")


def non_finite(x: Any, start: int) -> Optional[tuple]:
    """The first entry (row-major, named as in the whole array) of a sparse
    block that is NaN or inf: ``(check, row, message)``, or None."""
    x = x.tocoo()
    bad = ~np.isfinite(x.data)
    if not bad.any():
        return None
    rows, cols, vals = x.row[bad], x.col[bad], x.data[bad]
    i = np.lexsort((cols, rows))[0]
    row = start + int(rows[i])
    return 0, row, f"X contains NaN or inf: X[{row}, {int(cols[i])}] is {vals[i]:g}"


def _column_ranges(x: Any, rows: Optional[np.ndarray]) -> tuple:
    """Each column's min and max over the rows (a mask, or all): stored
    entries, and 0 where a row of the column is not stored."""
    p = x.shape[1]
    lo, hi = np.full(p, np.inf), np.full(p, -np.inf)
    if rows is not None:
        x = x[rows]
    n = x.shape[0]
    if n == 0:
        return lo, hi
    col = np.repeat(np.arange(p), np.diff(x.indptr))
    np.minimum.at(lo, col, x.data)
    np.maximum.at(hi, col, x.data)
    implicit = np.diff(x.indptr) < n
    lo[implicit] = np.minimum(lo[implicit], 0.0)
    hi[implicit] = np.maximum(hi[implicit], 0.0)
    return lo, hi


def block_statistics(x: Any, y: np.ndarray, w: np.ndarray, centre: np.ndarray) -> Dict[str, Any]:
    """The statistics of a sparse block without products (as
    ``_core.block_statistics(..., products=False)`` gives them for a dense
    one): the columns' weighted deviations and squares about ``centre``,
    their ranges, and the response's (the last entry) from the core."""
    x = as_csc(x)
    n, p = x.shape
    s = _core.block_statistics(np.zeros((n, 1)), y, w, np.r_[0.0, centre[-1]], products=False)
    c = centre[:p]
    col = np.repeat(np.arange(p), np.diff(x.indptr))
    wi = w[x.indices]
    a = x.data - c[col]
    W = float(s["weight"])
    stored_w = np.bincount(col, weights=wi, minlength=p)
    rest = W - stored_w  # the weight of the rows that are 0 in the column
    dev = np.bincount(col, weights=wi * a, minlength=p) - c * rest
    sq = np.bincount(col, weights=wi * (a * a), minlength=p) + c * c * rest
    lo, hi = _column_ranges(x, None)
    plo, phi = _column_ranges(x, w > 0)
    out = dict(s)
    out["centre"] = np.asarray(centre, dtype=np.float64).copy()
    out["deviations"] = np.r_[dev, s["deviations"][-1]]
    out["squares"] = np.r_[sq, s["squares"][-1]]
    for key, mine in (("min", lo), ("max", hi), ("positive_min", plo), ("positive_max", phi)):
        out[key] = np.r_[mine, s[key][-1]]
    return out


def centres(x: Any, y: np.ndarray, w: Optional[np.ndarray]) -> np.ndarray:
    """The provisional centres of the first rows (see _sums.centres), from
    a sparse x."""
    x = as_csc(x)
    w = np.ones(len(y)) if w is None or not (w > 0).any() else np.asarray(w, dtype=np.float64)
    c = np.r_[np.asarray(x.T @ w).ravel(), w @ y] / w.sum()
    return np.nan_to_num(c, nan=0.0, posinf=0.0, neginf=0.0)


def block_pass(x: Any, y: np.ndarray, w: np.ndarray, o: Any, request: Dict[str, Any]
               ) -> Dict[str, Any]:
    """One sparse block's raw sums for a pass: the linear predictor from the
    active columns, the core's working weights v and residuals r at it,
    then X'r, X'v (p x K), and the sparse products X'V_k X[:, columns] side
    by side (p x K |columns|), with the core's sums of v and r and its
    loss.  They add over the blocks as they are; ``finish`` centres and
    scales the total into what ``_core.block_pass`` gives, so that only
    the products' stored entries travel."""
    import scipy.sparse as sp

    x = as_csc(x)
    n, p = x.shape
    K = int(request["classes"])
    c = np.asarray(request["centre"], dtype=np.float64)
    s = np.asarray(request["scale"], dtype=np.float64)
    coef = np.asarray(request["coef"], dtype=np.float64).reshape(p, K)
    active = np.asarray(request["active"]).astype(np.intp)
    cols = np.asarray(request["columns"]).astype(np.intp)
    B = coef[active] / s[active, None]
    eta = np.asarray(x[:, active] @ B).reshape(n, K) - (c[active] @ B)[None, :]
    if o is not None:
        eta = eta + np.asarray(o, dtype=np.float64).reshape(n, K)
    core_request = dict(request, centre=np.zeros(1), scale=np.ones(1), coef=np.zeros(K),
                        active=np.zeros(0), columns=np.zeros(0), rows=True)
    out = _core.block_pass(np.zeros((n, 1)), y, w, eta if K > 1 else eta[:, 0], core_request)
    v = out.pop("working").reshape(n, K)
    r = out.pop("residuals").reshape(n, K)
    for key in ("gradient", "weighted", "products"):
        del out[key]
    out["xtr"] = np.asarray(x.T @ r).reshape(p, K)
    out["xtv"] = np.asarray(x.T @ v).reshape(p, K)
    if len(cols):
        xc = x[:, cols]
        out["cross"] = sp.hstack([x.T @ sp.csc_matrix(xc.multiply(v[:, k:k + 1]))
                                  for k in range(K)], format="csc")
    else:
        out["cross"] = sp.csc_matrix((p, 0))
    return out


def finish(raw: Dict[str, Any], request: Dict[str, Any]) -> Dict[str, Any]:
    """The raw sums of every block (block_pass, added) as the sums of the
    standardized columns z_j = (x_j - c_j) / s_j that the fit takes:

        <z_j, r>       = (x_j'r - c_j sum r) / s_j
        <z_j, v z_t>   = (x_j'V x_t - c_t x_j'v - c_j x_t'v + c_j c_t sum v) / (s_j s_t)
    """
    out = {key: value for key, value in raw.items() if key not in ("xtr", "xtv", "cross")}
    c = np.asarray(request["centre"], dtype=np.float64)
    s = np.asarray(request["scale"], dtype=np.float64)
    cols = np.asarray(request["columns"]).astype(np.intp)
    xtr, xtv = raw["xtr"], raw["xtv"]
    p, K = xtv.shape
    vsum, rsum = np.asarray(raw["weight_sums"]), np.asarray(raw["residual_sums"])
    out["gradient"] = ((xtr - c[:, None] * rsum[None, :]) / s[:, None]).T.ravel()
    out["weighted"] = ((xtv - c[:, None] * vsum[None, :]) / s[:, None]).T.ravel()
    m = len(cols)
    products = np.empty((m, K, p))
    if m:
        cross = raw["cross"].toarray()
        ct, st = c[cols], s[cols]
        for k in range(K):
            a = cross[:, k * m:(k + 1) * m]
            a -= np.outer(xtv[:, k], ct)
            a -= np.outer(c, xtv[cols, k])
            a += np.outer(c, ct) * vsum[k]
            products[:, k, :] = (a / np.outer(s, st)).T
    out["products"] = products.ravel()
    return out


#: The least-squares loss as a family whose rows sum over blocks (variance
#: mu^0, identity link: the same loss, deviance and solution), for sparse
#: blocks, whose every product cannot be formed at once.
SUMMED_LEAST_SQUARES = {"family": "tweedie", "power": 0.0, "link": "identity"}


def summed_arguments(family: Any, arguments: Dict[str, Any]) -> Dict[str, Any]:
    """The core's family arguments of a fit through passes over sparse
    blocks: least squares as the same loss by variance and link."""
    return dict(arguments, **SUMMED_LEAST_SQUARES) if family.least_squares else arguments


class PathProgress:
    """The lambdas a path from sparse blocks has reached (the core's
    callback, passed on to the caller's), for a refusal to name the lambda
    whose strong set grew too large."""

    def __init__(self, so: Dict[str, Any], callback: Any = None):
        self.lambdas = so.get("user_lambda")
        self.callback = callback
        self.done, self.last = 0, None

    def __call__(self, index: int, lam: float, *rest: Any) -> Any:
        self.done, self.last = index + 1, lam
        return True if self.callback is None else self.callback(index, lam, *rest)

    def checked(self, source: Any) -> Any:
        """``source`` refusing a request for too many columns' products."""
        if source is None:
            return None

        def passes(request: Dict[str, Any]) -> Dict[str, Any]:
            self.check_columns(len(request["columns"]))
            return source(request)

        return passes

    def check_columns(self, ncols: int) -> None:
        if ncols <= MAX_PRODUCT_COLUMNS:
            return
        if self.lambdas is not None and self.done < len(self.lambdas):
            at = f"lambda {self.lambdas[self.done]:g} (number {self.done + 1} of the path)"
        elif self.last is not None:
            at = f"the lambda after {self.last:g} (number {self.done + 1} of the path)"
        else:
            at = "the first lambda of the path"
        raise ValueError(
            f"the path on sparse Dask blocks needs the products of {ncols} columns at {at}, more "
            f"than the {MAX_PRODUCT_COLUMNS} that one pass forms (each block sends p doubles per "
            f"column): stop the path earlier with a larger lambda_min_ratio, fewer lambdas or "
            f"dfmax, or fit X in memory (X.compute())")
