"""The algebra of summed block statistics (``_core.block_statistics``):
blocks merged, a fold's rows taken out of a total, provisional centres, and
the weighted squared error of fits on the rows of a block's statistics.
Every block is centred at the same provisional centres c, so that sums of
blocks add; the exact centred products are S - d d'/W."""

from __future__ import annotations

from typing import Any, Dict, Optional, Sequence

import numpy as np

#: Rows of the first block whose weighted means are the provisional centres
#: of every block's statistics.
CENTRE_ROWS = 256


def subtract(total: Dict[str, Any], fold: Dict[str, Any], others: Sequence[Dict[str, Any]]
             ) -> Dict[str, Any]:
    """The statistics of the rows outside ``fold``: sums subtracted, the
    ranges from the other folds'."""
    out = dict(total)
    for key in ("products", "squares", "deviations", "weight", "nobs"):
        if total.get(key) is not None:
            with np.errstate(invalid="ignore"):  # sums that overflowed: the fit names them
                out[key] = total[key] - fold[key]
    for key, pick in (("min", np.minimum), ("positive_min", np.minimum),
                      ("max", np.maximum), ("positive_max", np.maximum)):
        out[key] = pick.reduce([o[key] for o in others])
    return out


def merge(*stats: Dict[str, Any]) -> Dict[str, Any]:
    """Block statistics merged: sums added, ranges widened."""
    out = dict(stats[0])
    for s in stats[1:]:
        for key in ("products", "squares", "deviations", "weight", "nobs", "class_weights"):
            if out.get(key) is not None:
                with np.errstate(over="ignore", invalid="ignore"):  # the fit names an overflow
                    out[key] = out[key] + s[key]
        for key, pick in (("min", np.minimum), ("positive_min", np.minimum),
                          ("max", np.maximum), ("positive_max", np.maximum)):
            out[key] = pick(out[key], s[key])
    return out


def centres(x: np.ndarray, y: np.ndarray, w: Optional[np.ndarray]) -> np.ndarray:
    """The provisional centres of (x, y) from its first rows (given as x, y,
    w): their weighted means (plain ones when no weight is positive; 0
    where a value is not finite, for the blocks' checks to report)."""
    w = np.ones(len(y)) if w is None or not (w > 0).any() else w
    # row-major, so that the sums run in the same order for any layout of x
    c = np.average(np.ascontiguousarray(np.column_stack([x, y])), axis=0, weights=w)
    return np.nan_to_num(c, nan=0.0, posinf=0.0, neginf=0.0)


def heldout_squared_error(s: Dict[str, Any], coefs: np.ndarray, intercepts: np.ndarray
                          ) -> np.ndarray:
    """The weighted mean squared error of each fit (coefs p x L, intercepts
    L) on the rows of the statistics s (response in the last column)."""
    S, d, c, W = s["products"], s["deviations"], s["centre"], s["weight"]
    p = coefs.shape[0]
    Sxx, Sxy, Syy = S[:p, :p], S[:p, p], S[p, p]
    e = intercepts + c[:p] @ coefs - c[p]
    # b' Sxx b for every fit, over the rows that some fit uses (one product)
    used = np.flatnonzero(np.any(coefs != 0.0, axis=1))
    B = coefs[used]
    quadratic = np.einsum("jl,jl->l", B, Sxx[np.ix_(used, used)] @ B)
    sse = (Syy - 2.0 * (Sxy @ coefs) + quadratic
           - 2.0 * e * (d[p] - d[:p] @ coefs) + e * e * W)
    return np.maximum(sse, 0.0) / W
