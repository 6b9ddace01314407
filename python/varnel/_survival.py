"""Survival data and the partial likelihood's arithmetic in NumPy: the
survival response as users pass it, strata, the log partial likelihood of
linear predictors, Harrell's concordance and the Breslow estimate of the
baseline hazard.

The response is kept as an (n, 3) float array: the time, the status (1 an
event, 0 censored) and the stratum code (0 without strata).
"""

from __future__ import annotations

from typing import Any, NamedTuple, Optional, Tuple

import numpy as np

from . import _convert

__all__ = ["survival_response", "strata_codes", "log_partial_likelihood", "concordance",
           "Baseline"]


def _frame_columns(y: Any) -> Tuple[list, list]:
    """The columns of a two-column data frame and their NumPy arrays."""
    names = list(y.columns)
    if len(names) != 2:
        raise ValueError(f"y as a data frame needs two columns (time and status), got {len(names)}: "
                         f"{names[:5]}")
    return names, [np.asarray(y[c].to_numpy()) for c in names]


def _time_and_status(y: Any, n: int) -> Tuple[np.ndarray, np.ndarray]:
    """(time, status) from an (n, 2) array, a structured array with one
    boolean or integer field (the status) and one float field (the time), or
    a two-column data frame (the same rule, else the columns in the order
    time, status)."""
    arr = None if _convert.is_dataframe(y) else np.asarray(y)
    if arr is not None and arr.dtype.names is not None:
        names = list(arr.dtype.names)
        if len(names) != 2:
            raise ValueError(f"y as a structured array needs two fields (status and time), got {names}")
        cols = [arr[c] for c in names]
        what = "fields"
    elif arr is None:
        names, cols = _frame_columns(y)
        what = "columns"
    else:
        if arr.ndim != 2 or arr.shape[1] != 2:
            raise ValueError(f"y must hold the time and the status of every row: an array of shape "
                             f"({n}, 2), a structured array or a two-column data frame, got shape "
                             f"{arr.shape}")
        return arr[:, 0], arr[:, 1]
    flags = [c.dtype.kind in "biu" for c in cols]
    if sum(flags) == 1 and cols[flags.index(False)].dtype.kind == "f":
        return cols[flags.index(False)], cols[flags.index(True)]
    if what == "fields":
        raise ValueError("y as a structured array needs one boolean or integer field (the status) and "
                         f"one float field (the time), got {names} of types "
                         f"{[str(c.dtype) for c in cols]}")
    return cols[0], cols[1]


def survival_response(y: Any, n: int) -> np.ndarray:
    """The (n, 3) response (time, status, stratum 0); a ValueError names the
    first row whose time is missing, not positive or not finite, or whose
    status is not 0 or 1."""
    time, status = _time_and_status(y, n)
    if time.shape[0] != n:
        raise ValueError(f"X has {n} rows but y has {time.shape[0]}; y needs the time and status of "
                         "every row")
    out = np.zeros((n, 3))
    for col, values, what in ((0, time, "time"), (1, status, "status")):
        if values.dtype.kind == "c":
            raise TypeError(f"y's {what} is complex")
        _convert.check_missing(values, f"y's {what}")
        out[:, col] = _convert.float_array(values, f"y's {what}")
    bad = ~((out[:, 0] > 0) & np.isfinite(out[:, 0]))
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"survival times must be positive and finite, but row {i} of y has time "
                         f"{out[i, 0]:g}")
    bad = (out[:, 1] != 0) & (out[:, 1] != 1)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"the status must be 0 (censored) or 1 (event), but row {i} of y has status "
                         f"{out[i, 1]:g}")
    return out


def strata_codes(strata: Any, n: int) -> Tuple[np.ndarray, np.ndarray]:
    """(codes, labels): one stratum label per row coded 0, 1, ... in sorted
    order; a missing label is a ValueError naming its row."""
    arr = np.asarray(strata.to_numpy() if _convert.is_dataframe(strata) or hasattr(strata, "to_numpy")
                     else strata)
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"strata must have shape ({n},), one label per row of X, got shape {arr.shape}")
    _convert.check_missing(arr, "strata")
    labels, codes = np.unique(arr, return_inverse=True)
    return codes.reshape(-1), labels


def _groups(time: np.ndarray, w_event: np.ndarray):
    """Rows sorted by decreasing time and, per distinct time (latest first),
    the position of its last row, its event weight and its count of events
    of positive weight."""
    order = np.argsort(-time, kind="stable")
    t = time[order]
    last = np.r_[np.flatnonzero(t[1:] != t[:-1]), len(t) - 1]
    starts = np.r_[0, last[:-1] + 1]
    events = np.add.reduceat(w_event[order], starts)
    counts = np.add.reduceat((w_event[order] > 0).astype(np.int64), starts)
    return order, starts, last, events, counts


def log_partial_likelihood(y: np.ndarray, w: np.ndarray, eta: np.ndarray, ties: str) -> np.ndarray:
    """The weighted log partial likelihood (Breslow or Efron) of linear
    predictors eta (n, L), one value per column; every sum is formed in
    logarithms, so that no exponential overflows."""
    eta = eta.reshape(eta.shape[0], -1)
    total = np.zeros(eta.shape[1])
    dead = y[:, 1] > 0
    for s in np.unique(y[:, 2]):
        rows = np.flatnonzero(y[:, 2] == s)
        ws, es = w[rows], eta[rows]
        w_event = np.where(dead[rows], ws, 0.0)
        if not (w_event > 0).any():
            continue
        order, starts, last, events, counts = _groups(y[rows, 0], w_event)
        with np.errstate(divide="ignore"):
            log_u = np.log(ws[order])[:, None] + es[order]
            log_e = np.where(dead[rows][order][:, None] & (ws[order] > 0)[:, None], log_u, -np.inf)
        log_risk = np.logaddexp.accumulate(log_u, axis=0)[last]
        keep = events > 0
        total += w_event @ es
        if ties == "breslow":
            total -= events[keep] @ log_risk[keep]
            continue
        log_tied = np.logaddexp.reduceat(log_e, starts, axis=0)
        m = np.maximum(counts, 1)
        for k in range(int(counts.max())):
            g = keep & (counts > k)
            share = events[g] / m[g]
            frac = k / m[g]
            total -= share @ (log_risk[g] + np.log1p(-frac[:, None] * np.exp(log_tied[g] - log_risk[g])))
    return total


def concordance(y: np.ndarray, w: np.ndarray, eta: np.ndarray, tol: float = 1e-8) -> np.ndarray:
    """Harrell's concordance of risk scores eta (n, L), one value per column:
    over the comparable pairs (i an event, j of the same stratum with a later
    time, or censored at the same time), weighted w_i w_j, the share in which
    i has the higher score, ties within ``tol`` counting one half (the rules
    of scikit-survival's concordance_index_censored); NaN without a
    comparable pair."""
    eta = eta.reshape(eta.shape[0], -1)
    num, den = np.zeros(eta.shape[1]), 0.0
    time, dead = y[:, 0], y[:, 1] > 0
    events = np.flatnonzero(dead & (w > 0))
    block = max(1, 4_000_000 // max(1, eta.shape[0] * eta.shape[1]))
    for b in range(0, len(events), block):
        i = events[b:b + block]
        same = y[i, 2][:, None] == y[None, :, 2]
        later = (time[None, :] > time[i][:, None]) | ((time[None, :] == time[i][:, None]) & ~dead[None, :])
        pair = np.where(same & later, w[i][:, None] * w[None, :], 0.0)
        diff = eta[i][:, None, :] - eta[None, :, :]
        score = np.where(np.abs(diff) <= tol, 0.5, (diff > 0).astype(np.float64))
        num += np.einsum("ij,ijl->l", pair, score)
        den += pair.sum()
    with np.errstate(invalid="ignore"):
        return num / den


class Baseline(NamedTuple):
    """What the Breslow estimate of a path's baseline hazard needs: its
    training rows (design, response with strata codes, weights, offset) and
    the strata labels."""

    X: Any
    y: np.ndarray
    weights: Optional[np.ndarray]
    offset: Optional[np.ndarray]
    strata: Optional[np.ndarray]

    def stratum_codes(self, strata: Any, n: int) -> np.ndarray:
        """The codes of new rows' strata labels (all 0 without strata)."""
        if self.strata is None:
            if strata is not None:
                raise ValueError("strata are given but the path was fitted without strata")
            return np.zeros(n)
        if strata is None:
            raise ValueError("the path was fitted with strata: give the new rows' strata")
        arr = np.asarray(strata)
        if arr.ndim != 1 or arr.shape[0] != n:
            raise ValueError(f"strata must have shape ({n},), one label per row of X, got shape {arr.shape}")
        codes = np.searchsorted(self.strata, arr)
        unknown = (codes >= len(self.strata)) | (self.strata[np.minimum(codes, len(self.strata) - 1)] != arr)
        if unknown.any():
            raise ValueError(f"stratum {_convert.shown_label(arr[int(np.argmax(unknown))])} of row "
                             f"{int(np.argmax(unknown))} was not among the fitted strata")
        return codes.astype(np.float64)

    def cumulative_hazard(self, eta: np.ndarray, times: np.ndarray, codes: np.ndarray,
                          eta_new: np.ndarray) -> np.ndarray:
        """H(t | x) = H0_s(t) exp(eta_new) at every time (n_new, T), with the
        Breslow estimate H0_s(t) = sum over event times t_g <= t of stratum s
        of e_g / sum_{R_g} w exp(eta) from the training linear predictors eta."""
        y = self.y
        w = np.ones(y.shape[0]) if self.weights is None else self.weights
        out = np.zeros((eta_new.shape[0], times.shape[0]))
        for s in np.unique(codes):
            rows = np.flatnonzero(y[:, 2] == s)
            w_event = np.where(y[rows, 1] > 0, w[rows], 0.0)
            order, starts, last, events, _ = _groups(y[rows, 0], w_event)
            with np.errstate(divide="ignore"):
                log_risk = np.logaddexp.accumulate(np.log(w[rows][order]) + eta[rows][order])[last]
            jumps = np.where(events > 0, events * np.exp(-log_risk), 0.0)[::-1]  # earliest first
            event_times = y[rows, 0][order][last][::-1]
            h0 = np.r_[0.0, np.cumsum(jumps)][np.searchsorted(event_times, times, side="right")]
            new = codes == s
            out[new] = np.exp(eta_new[new])[:, None] * h0[None, :]
        return out
