"""Cross-validation from per-fold statistics.

One pass over the rows forms the statistics of every fold's held-out rows
(``_core.block_statistics``, about centres shared by every fold): the
whole's are their sum, a training fold's the whole's minus its held-out
fold's.  Least squares then fits every fold from its statistics alone and
scores the held-out rows from theirs: the weighted squared error of a fit
(a0, b) on rows with sums S, d, W about centres c is

    S_yy - 2 b'S_xy + b'S_xx b - 2 e (d_y - b'd_x) + e^2 W,   e = a0 + c'b - c_y.

In memory this is the covariance solver's cross-validation of least squares
(the deviance and the mean-squared error); on Dask it serves every family
(see _dask_cv: the reweighting families fit their folds through passes
shared by all folds, and score them in one more pass).
"""

from __future__ import annotations

import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np

from . import _core, _fit

#: Measures scored from the held-out folds' statistics.
STATISTICS_MEASURES = ("deviance", "mse")
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
    sse = (Syy - 2.0 * (Sxy @ coefs) + np.einsum("jl,jk,kl->l", coefs, Sxx, coefs)
           - 2.0 * e * (d[p] - d[:p] @ coefs) + e * e * W)
    return np.maximum(sse, 0.0) / W


def padded(sol: "_fit.Solution", n_lambdas: int):
    """A fold's coefficients and intercepts over every lambda: a path that
    stopped early is scored with its last solution."""
    coefs, a0 = sol.coefs, sol.intercepts
    if sol.n_lambdas < n_lambdas:
        rep = n_lambdas - sol.n_lambdas
        coefs = np.concatenate([coefs, np.repeat(coefs[..., -1:], rep, axis=-1)], axis=-1)
        a0 = np.concatenate([a0, np.repeat(a0[..., -1:], rep, axis=-1)], axis=-1)
    return coefs, a0


class MemoryFolds:
    """Least squares on an X in memory: the folds' statistics from one pass
    (a fold's rows gathered at a time), every fit from statistics."""

    def __init__(self, problem: "_fit.Problem", test: Sequence[np.ndarray]):
        X, y = problem.X, problem.y
        w = np.ones(len(y)) if problem.weights is None else problem.weights
        if problem.offset is not None:
            y = y - problem.offset
        head = slice(0, min(CENTRE_ROWS, len(y)))
        centre = centres(X[head], y[head], w[head])
        self.heldout = [_core.block_statistics(X[rows], y[rows], w[rows], centre) for rows in test]
        self.total = merge(*self.heldout)
        self.npasses_data = 1

    def fit_all(self, so: Dict[str, Any]) -> Dict[str, Any]:
        return _core.fit_statistics(self.total, **_fit._solver_kwargs(so, None))

    def fit_folds(self, options: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
        out = []
        for k, so in enumerate(options):
            others = self.heldout[:k] + self.heldout[k + 1:]
            train = subtract(self.total, self.heldout[k], others)
            out.append(_core.fit_statistics(train, **_fit._solver_kwargs(so, None)))
        return out

    def scores(self, fits: Sequence[tuple], measure: str) -> np.ndarray:
        return np.array([heldout_squared_error(s, c, a) for s, (c, a) in zip(self.heldout, fits)])

    @property
    def fold_weights(self) -> np.ndarray:
        return np.array([s["weight"] for s in self.heldout])


def uses_statistics(problem: "_fit.Problem", folds: Any, measure: str, keep: bool,
                    mix_options: Sequence[Dict[str, Any]]) -> bool:
    """Whether the in-memory cross-validation runs from per-fold statistics:
    least squares on a dense X solved by the covariance solver, folds that
    partition the rows, a measure the statistics give."""
    if problem.family.name != "gaussian" or not isinstance(problem.X, np.ndarray):
        return False
    if keep or folds.foldid is None or measure not in STATISTICS_MEASURES:
        return False
    n, p = problem.X.shape
    for so in mix_options:
        solver = so.get("solver", "auto")
        # "auto": the covariance solver's shapes (core/fit/fit.cpp's auto_solver)
        if solver == "naive" or (solver == "auto" and not (n >= 2 * p and
                                                           p <= _core.COVARIANCE_MAX_COLUMNS)):
            return False
    return True


def cross_validate(source: Any, meta: Any, measure: str, mix_options: List[Dict[str, Any]],
                   fold_options: Optional[Callable[[int, int, Dict[str, Any]], Dict[str, Any]]],
                   foldid: Any, category: type, stacklevel: int):
    """The cross-validation of ``source`` (MemoryFolds or the Dask folds):
    each mix's full-data path, its folds over that path's lambdas, their
    scores, and the best mix, as cv.cross_validate reports them."""
    from .cv import CVPath, _cv_stats, choose
    from .path import Path

    paths, raws, lmus, stopped = [], [], [], []
    K = len(source.fold_weights)
    for m, so in enumerate(mix_options):
        path = Path.from_solution(_fit.decode(source.fit_all(so), so), meta, so["alpha"])
        if path.warning is not None:
            warnings.warn(_fit.warning_message(path.warning, so, path.n_lambdas), category,
                          stacklevel=stacklevel)
        if path.n_lambdas == 0:
            raise ValueError("the full-data path holds no solution")
        options = []
        for k in range(K):
            fso = dict(so, user_lambda=path.lambdas.copy())
            options.append(fold_options(m, k, fso) if fold_options is not None else fso)
        sols = []
        for k, (res, fso) in enumerate(zip(source.fit_folds(options), options)):
            sol = _fit.decode(res, fso)
            if sol.n_lambdas == 0:
                raise RuntimeError(f"cross-validation fold {k} produced no solution ({sol.warning})")
            if sol.warning is not None:
                mix = f" (alpha={path.alpha:g})" if len(mix_options) > 1 else ""
                stopped.append(f"fold {k}{mix} at lambda index {sol.warning[1]} ({sol.warning[0]})")
            sols.append(sol)
        raws.append(source.scores([padded(s, path.n_lambdas) for s in sols], measure))
        lmus.append([s.n_lambdas for s in sols])
        paths.append(path)
    if stopped:
        warnings.warn("cross-validation: " + "; ".join(stopped)
                      + "; later lambdas reuse the fold's last solution", category,
                      stacklevel=stacklevel)
    fits = []
    for raw in raws:
        cvm, cvsd = _cv_stats(raw, source.fold_weights)
        fits.append((cvm, cvsd) + choose(cvm, cvsd, measure))
    from .families import MEASURES

    best = [cvm[imin] for cvm, _, imin, _ in fits]
    b = int(np.argmax(best) if MEASURES[measure].maximise else np.argmin(best))
    cvm, cvsd, imin, i1se = fits[b]
    paths[b].npasses_data = getattr(source, "npasses_data", None)
    out = CVPath(paths[b], cvm, cvsd, measure, None, lmus[b], imin, i1se, fold_scores=raws[b],
                 alphas=[p.alpha for p in paths])
    out.foldid = foldid
    return out


def cross_validate_in_memory(problem: "_fit.Problem", folds: Any, measure: str,
                             mix_options: List[Dict[str, Any]], fold_options: Any,
                             category: type, stacklevel: int):
    """cv.cross_validate's statistics route (see uses_statistics)."""
    wrapped = None
    if fold_options is not None:
        def wrapped(m, k, so):
            return fold_options(m, folds.train[k], so)
    source = MemoryFolds(problem, folds.test)
    return cross_validate(source, problem, measure, mix_options, wrapped, folds.foldid, category,
                          stacklevel + 1)
