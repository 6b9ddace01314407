"""Survival data and the partial likelihood's arithmetic in NumPy: the
survival response as users pass it, strata, the log partial likelihood of
linear predictors, Harrell's concordance and the Breslow estimate of the
baseline hazard.

The response is kept as an (n, 3) float array: the time, the status (1 an
event, 0 censored) and the stratum code (0 without strata).  Counting-process
data (start, stop, status: a row is at risk at t when start < t <= stop) add
a fourth column, the start; the time is then the stop.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Optional, Tuple

import numpy as np

from . import _convert, _folds

__all__ = ["survival_response", "strata_codes", "log_partial_likelihood", "concordance",
           "Baseline", "has_start", "last_rows", "checked_intervals", "subject_codes", "by_subject"]


def _frame_columns(y: Any) -> Tuple[list, list]:
    """The columns of a two- or three-column data frame and their NumPy arrays."""
    names = list(y.columns)
    if len(names) not in (2, 3):
        raise ValueError(f"y as a data frame needs two columns (time and status) or three (start, "
                         f"stop and status), got {len(names)}: {names[:5]}")
    return names, [np.asarray(y[c].to_numpy()) for c in names]


def _time_and_status(y: Any, n: int) -> Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]:
    """(time, status, start) from an (n, 2) array, a structured array with
    one boolean or integer field (the status) and one float field (the
    time), or a two-column data frame (the same rule, else the columns in
    the order time, status); start is None.  Counting-process data come as
    an (n, 3) array, a structured array of three fields or a three-column
    data frame, in the order start, stop, status (the time is the stop)."""
    arr = None if _convert.is_dataframe(y) else np.asarray(y)
    if arr is not None and arr.dtype.names is not None:
        names = list(arr.dtype.names)
        if len(names) not in (2, 3):
            raise ValueError(f"y as a structured array needs two fields (status and time) or three "
                             f"(start, stop and status), got {names}")
        cols = [arr[c] for c in names]
        what = "fields"
    elif arr is None:
        names, cols = _frame_columns(y)
        what = "columns"
    else:
        if arr.ndim != 2 or arr.shape[1] not in (2, 3):
            raise ValueError(f"y must hold the time and the status of every row, an array of shape "
                             f"({n}, 2), a structured array or a two-column data frame, or the "
                             f"start, stop and status of every row, an array of shape ({n}, 3); "
                             f"got shape {arr.shape}")
        return (arr[:, 0], arr[:, 1], None) if arr.shape[1] == 2 else (arr[:, 1], arr[:, 2], arr[:, 0])
    if len(cols) == 3:
        return cols[1], cols[2], cols[0]
    flags = [c.dtype.kind in "biu" for c in cols]
    if sum(flags) == 1 and cols[flags.index(False)].dtype.kind == "f":
        return cols[flags.index(False)], cols[flags.index(True)], None
    if what == "fields":
        raise ValueError("y as a structured array needs one boolean or integer field (the status) and "
                         f"one float field (the time), got {names} of types "
                         f"{[str(c.dtype) for c in cols]}")
    return cols[0], cols[1], None


def survival_response(y: Any, n: int) -> np.ndarray:
    """The (n, 3) response (time, status, stratum 0), or (n, 4) with the
    start last for counting-process data; a ValueError names the first row
    whose time is missing, not positive or not finite, whose status is not 0
    or 1, or whose start is missing, not finite, negative or not before its
    stop."""
    time, status, start = _time_and_status(y, n)
    if time.shape[0] != n:
        raise ValueError(f"X has {n} rows but y has {time.shape[0]}; y needs the time and status of "
                         "every row")
    out = np.zeros((n, 3 if start is None else 4))
    columns = ((0, time, "time"), (1, status, "status"))
    if start is not None:
        columns = ((3, start, "start"), (0, time, "stop"), (1, status, "status"))
    for col, values, what in columns:
        if values.dtype.kind == "c":
            raise TypeError(f"y's {what} is complex")
        _convert.check_missing(values, f"y's {what}")
        out[:, col] = _convert.float_array(values, f"y's {what}")
    if start is not None:
        _first_bad(~np.isfinite(out[:, 3]), lambda i: f"start times must be finite, but row {i} of y "
                   f"has start {out[i, 3]:g}")
        _first_bad(out[:, 3] < 0, lambda i: f"start times must be 0 or more, but row {i} of y has "
                   f"start {out[i, 3]:g}")
        _first_bad(~np.isfinite(out[:, 0]), lambda i: f"stop times must be finite, but row {i} of y "
                   f"has stop {out[i, 0]:g}")
        _first_bad(~(out[:, 3] < out[:, 0]), lambda i: f"each row's interval (start, stop] must "
                   f"have start < stop, but row {i} of y has start {out[i, 3]:g} and stop "
                   f"{out[i, 0]:g}")
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


def _first_bad(bad: np.ndarray, message) -> None:
    """A ValueError of ``message(i)`` for the first row i flagged in ``bad``."""
    if bad.any():
        raise ValueError(message(int(np.argmax(bad))))


def has_start(y: np.ndarray) -> bool:
    """Whether a prepared response holds counting-process data."""
    return y.shape[1] == 4


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


def _log_risk(time: np.ndarray, start: Optional[np.ndarray], log_u: np.ndarray,
              order: np.ndarray, last: np.ndarray) -> np.ndarray:
    """log sum of exp(log_u) (n, L) over the risk set of every group of
    ``_groups`` (latest first): the rows with time >= t_g and, with start
    times, start < t_g (the rows by time less those by start; where that
    difference keeps fewer than six digits, the sum over the rows at risk)."""
    log_risk = np.logaddexp.accumulate(log_u[order], axis=0)[last]
    if start is None:
        return log_risk
    t = time[order][last]
    by_start = np.argsort(-start, kind="stable")
    leaving = np.searchsorted(-start[by_start], -t, side="right")  # rows with start >= t_g
    cum = np.concatenate([np.full((1,) + log_u.shape[1:], -np.inf),
                          np.logaddexp.accumulate(log_u[by_start], axis=0)])
    log_leave = cum[leaving]
    with np.errstate(invalid="ignore", divide="ignore"):
        frac = np.exp(np.where(np.isneginf(log_leave), -np.inf, log_leave - log_risk))
        out = log_risk + np.log1p(-np.minimum(frac, 1.0))
    for g in np.flatnonzero((~(frac <= 1 - 1e-6)).reshape(len(t), -1).any(axis=1)):
        at = (time >= t[g]) & (start < t[g])
        out[g] = np.logaddexp.reduce(log_u[at], axis=0) if at.any() else -np.inf
    return out


def log_partial_likelihood(y: np.ndarray, w: np.ndarray, eta: np.ndarray, ties: str) -> np.ndarray:
    """The weighted log partial likelihood (Breslow or Efron) of linear
    predictors eta (n, L), one value per column; every sum is formed in
    logarithms, so that no exponential overflows.  Counting-process rows
    (a start column) are at risk from their start on."""
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
            log_rows = np.log(ws)[:, None] + es
        log_u = log_rows[order]
        log_e = np.where(dead[rows][order][:, None] & (ws[order] > 0)[:, None], log_u, -np.inf)
        log_risk = _log_risk(y[rows, 0], y[rows, 3] if has_start(y) else None, log_rows, order, last)
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


def last_rows(y: np.ndarray, subjects: Optional[np.ndarray] = None) -> np.ndarray:
    """The row of each subject (codes ``subjects``; None: every row its own
    subject) with the latest stop (of two, the later row)."""
    if subjects is None:
        return np.arange(y.shape[0])
    order = np.lexsort((np.arange(y.shape[0]), y[:, 0], subjects))
    ends = np.r_[np.flatnonzero(subjects[order][1:] != subjects[order][:-1]), len(order) - 1]
    return np.sort(order[ends])


def concordance(y: np.ndarray, w: np.ndarray, eta: np.ndarray, tol: float = 1e-8,
                subjects: Optional[np.ndarray] = None) -> np.ndarray:
    """Harrell's concordance of risk scores eta (n, L), one value per column:
    over the comparable pairs (i an event, j of the same stratum with a later
    time, or censored at the same time), weighted w_i w_j, the share in which
    i has the higher score, ties within ``tol`` counting one half (the rules
    of scikit-survival's concordance_index_censored); NaN without a
    comparable pair.  Counting-process rows are scored by each subject's
    last row (``subjects``: a code per row; None: every row a subject): its
    stop, status, weight and score."""
    eta = eta.reshape(eta.shape[0], -1)
    if has_start(y) and subjects is not None:
        keep = last_rows(y, subjects)
        y, w, eta = y[keep], w[keep], eta[keep]
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
                          eta_new: np.ndarray, intervals: Optional[np.ndarray] = None) -> np.ndarray:
        """H(t | x) = H0_s(t) exp(eta_new) at every time (n_new, T), with the
        Breslow estimate H0_s(t) = sum over event times t_g <= t of stratum s
        of e_g / sum_{R_g} w exp(eta) from the training linear predictors eta
        (the risk sets of counting-process rows hold the rows entered before
        t_g).  With ``intervals`` (n_new, 2), row r is the subject's
        covariates over (start_r, stop_r] only: its part of H(t) is
        exp(eta_new_r) (H0_s(min(t, stop_r)) - H0_s(min(t, start_r)))."""
        y = self.y
        w = np.ones(y.shape[0]) if self.weights is None else self.weights
        out = np.zeros((eta_new.shape[0], times.shape[0]))
        for s in np.unique(codes):
            rows = np.flatnonzero(y[:, 2] == s)
            w_event = np.where(y[rows, 1] > 0, w[rows], 0.0)
            order, starts, last, events, _ = _groups(y[rows, 0], w_event)
            with np.errstate(divide="ignore"):
                if has_start(y):
                    log_risk = _log_risk(y[rows, 0], y[rows, 3], np.log(w[rows]) + eta[rows], order, last)
                else:
                    log_risk = np.logaddexp.accumulate(np.log(w[rows][order]) + eta[rows][order])[last]
            jumps = np.where(events > 0, events * np.exp(-log_risk), 0.0)[::-1]  # earliest first
            event_times = y[rows, 0][order][last][::-1]
            steps = np.r_[0.0, np.cumsum(jumps)]
            new = codes == s
            if intervals is None:
                h0 = steps[np.searchsorted(event_times, times, side="right")]
                out[new] = np.exp(eta_new[new])[:, None] * h0[None, :]
                continue
            upto = lambda x: steps[np.searchsorted(event_times, x, side="right")]
            start, stop = intervals[new, :1], intervals[new, 1:]
            t = times[None, :]
            out[new] = np.exp(eta_new[new])[:, None] * (upto(np.minimum(t, stop))
                                                       - upto(np.minimum(t, start)))
        return out


def checked_intervals(intervals: Any, n: int) -> np.ndarray:
    """The (n, 2) intervals (start, stop] of new rows; a ValueError names the
    first row whose start is negative or not before its stop, or that holds
    a missing or infinite value."""
    arr = _convert.float_array(np.asarray(intervals), "intervals")
    if arr.ndim != 2 or arr.shape != (n, 2):
        raise ValueError(f"intervals must have shape ({n}, 2), the (start, stop] of every row of X, "
                         f"got shape {arr.shape}")
    _convert.check_missing(arr, "intervals")
    _first_bad(~np.isfinite(arr).all(axis=1), lambda i: f"intervals must be finite, but row {i} is "
               f"({arr[i, 0]:g}, {arr[i, 1]:g}]")
    _first_bad(arr[:, 0] < 0, lambda i: f"intervals must start at 0 or later, but row {i} is "
               f"({arr[i, 0]:g}, {arr[i, 1]:g}]")
    _first_bad(~(arr[:, 0] < arr[:, 1]), lambda i: f"each interval (start, stop] needs start < stop, "
               f"but row {i} is ({arr[i, 0]:g}, {arr[i, 1]:g}]")
    return arr


def subject_codes(subjects: Any, n: int, what: str = "subjects") -> Tuple[np.ndarray, np.ndarray]:
    """(codes, labels) of one subject label per row (see _folds.label_codes)."""
    return _folds.label_codes(subjects, n, what)


def by_subject(hazards: np.ndarray, intervals: np.ndarray, codes: np.ndarray,
               times: np.ndarray) -> np.ndarray:
    """The cumulative hazards of the subjects (rows' hazards (n, T[, L])
    summed by subject code), NaN past a subject's last stop, where its
    covariates are unknown."""
    k = int(codes.max()) + 1
    out = np.zeros((k,) + hazards.shape[1:])
    np.add.at(out, codes, hazards)
    end = np.full(k, -np.inf)
    np.maximum.at(end, codes, intervals[:, 1])
    beyond = times[None, :] > end[:, None]
    out[beyond] = np.nan
    return out
