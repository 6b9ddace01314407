"""The algebra of summed block statistics (``_core.block_statistics``):
blocks merged, a fold's rows taken out of a total, provisional centres, and
the weighted squared error of fits on the rows of a block's statistics.
Every block is centred at the same provisional centres c, so that sums of
blocks add; the exact centred products are S - d d'/W."""

from __future__ import annotations

from typing import Any, Dict, Optional, Sequence

import numpy as np

from .. import _core

#: Rows of the first block whose weighted means are the provisional centres
#: of every block's statistics.
CENTRE_ROWS = 256

#: The items of block statistics that add up over blocks, and those that
#: are ranges (a block without rows has none of the offset's).
SUMS = ("products", "squares", "deviations", "weight", "nobs", "offset_sum")
RANGES = (("min", np.minimum), ("positive_min", np.minimum), ("max", np.maximum),
          ("positive_max", np.maximum), ("offset_min", np.minimum), ("offset_max", np.maximum))


def subtract(total: Dict[str, Any], fold: Dict[str, Any], others: Sequence[Dict[str, Any]]
             ) -> Dict[str, Any]:
    """The statistics of the rows outside ``fold``: sums subtracted, the
    ranges from the other folds'."""
    out = dict(total)
    for key in SUMS:
        if total.get(key) is not None:
            with np.errstate(invalid="ignore"):  # sums that overflowed: the fit names them
                out[key] = total[key] - fold.get(key, 0.0)
    for key, pick in RANGES:
        values = [o[key] for o in others if key in o]
        if values:
            out[key] = pick.reduce(values)
        else:
            out.pop(key, None)
    return out


def merge(*stats: Dict[str, Any]) -> Dict[str, Any]:
    """Block statistics merged: sums added, ranges widened."""
    out = dict(stats[0])
    for s in stats[1:]:
        for key in SUMS + ("class_weights",):
            if s.get(key) is not None:
                with np.errstate(over="ignore", invalid="ignore"):  # the fit names an overflow
                    out[key] = s[key] if out.get(key) is None else out[key] + s[key]
        for key, pick in RANGES:
            if key in s:
                out[key] = s[key] if key not in out else pick(out[key], s[key])
    return out


def block_statistics(x: np.ndarray, y: np.ndarray, w: np.ndarray, centre: np.ndarray,
                     products: bool = True) -> Dict[str, Any]:
    """``_core.block_statistics`` of a block, for K >= 1 responses: with y of
    shape (n, K) the responses are the last K columns (``"responses"``: K)."""
    if y.ndim == 1:
        return _core.block_statistics(x, y, w, centre, products=products)
    s = _core.block_statistics(np.column_stack([x, y[:, :-1]]), np.ascontiguousarray(y[:, -1]),
                               w, centre, products=products)
    s["responses"] = y.shape[1]
    return s


def offset_summary(offset: np.ndarray, w: np.ndarray) -> Dict[str, float]:
    """The offset's items of a block's statistics: its weighted sum and its
    range over all the rows (a family by variance and link starts its null
    model from them)."""
    return {"offset_sum": float(w @ offset), "offset_min": float(offset.min()),
            "offset_max": float(offset.max())}


def centres(x: np.ndarray, y: np.ndarray, w: Optional[np.ndarray]) -> np.ndarray:
    """The provisional centres of (x, y) from its first rows (given as x, y,
    w): their weighted means (plain ones when no weight is positive; 0
    where a value is not finite, for the blocks' checks to report)."""
    w = np.ones(len(y)) if w is None or not (w > 0).any() else w
    # row-major, so that the sums run in the same order for any layout of x
    c = np.average(np.ascontiguousarray(np.column_stack([x, y])), axis=0, weights=w)
    return np.nan_to_num(c, nan=0.0, posinf=0.0, neginf=0.0)


def heldout_squared_errors(s: Dict[str, Any], coefs: np.ndarray, intercepts: np.ndarray
                           ) -> np.ndarray:
    """Each response's weighted mean squared error (K x L) of each fit
    (coefs p x L or p x K x L, intercepts L or K x L) on the rows of the
    statistics s (the K responses in the last columns)."""
    if coefs.ndim == 2:
        return heldout_squared_error(s, coefs, intercepts)[None]
    p = coefs.shape[0]
    return np.array([heldout_squared_error(s, coefs[:, k], intercepts[k], p + k)
                     for k in range(coefs.shape[1])])


def heldout_squared_error(s: Dict[str, Any], coefs: np.ndarray, intercepts: np.ndarray,
                          response: Optional[int] = None) -> np.ndarray:
    """The weighted mean squared error of each fit (coefs p x L, intercepts
    L) on the rows of the statistics s, of the response in column
    ``response`` (None: the last column, after the p of X)."""
    S, d, c, W = s["products"], s["deviations"], s["centre"], s["weight"]
    p = coefs.shape[0]
    y = p if response is None else response
    Sxx, Sxy, Syy = S[:p, :p], S[:p, y], S[y, y]
    e = intercepts + c[:p] @ coefs - c[y]
    # b' Sxx b for every fit, over the rows that some fit uses (one product)
    used = np.flatnonzero(np.any(coefs != 0.0, axis=1))
    B = coefs[used]
    quadratic = np.einsum("jl,jl->l", B, Sxx[np.ix_(used, used)] @ B)
    sse = (Syy - 2.0 * (Sxy @ coefs) + quadratic
           - 2.0 * e * (d[y] - d[:p] @ coefs) + e * e * W)
    return np.maximum(sse, 0.0) / W
