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
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence

import numpy as np

from . import _block_statistics as bs
from . import _core, _errors, _fit, _parallel
from .path import finished_path

#: Measures scored from the held-out folds' statistics.
STATISTICS_MEASURES = ("deviance", "mse")
def padded(sol: "_fit.Solution", n_lambdas: int):
    """A fold's coefficients and intercepts over every lambda: a path that
    stopped early is scored with its last solution."""
    coefs, a0 = sol.coefs, sol.intercepts
    if sol.n_lambdas < n_lambdas:
        rep = n_lambdas - sol.n_lambdas
        coefs = np.concatenate([coefs, np.repeat(coefs[..., -1:], rep, axis=-1)], axis=-1)
        a0 = np.concatenate([a0, np.repeat(a0[..., -1:], rep, axis=-1)], axis=-1)
    return coefs, a0


def _indexed(i: int, f: Callable[..., Any], args: tuple) -> tuple:
    return i, f(*args)


def in_order(calls: List[tuple], how: "_parallel.Plan") -> List[Any]:
    """f(*args) of every (f, args), on varnel's threads when the plan says
    so (one at a time otherwise), the results in the calls' order.  Each
    call is deterministic, so the results do not depend on the threads."""
    if how.mode != "threads":
        return [f(*a) for f, a in calls]
    out: List[Any] = [None] * len(calls)
    for i, r in _parallel.run([(_indexed, (i, f, a)) for i, (f, a) in enumerate(calls)], how):
        out[i] = r
    return out


class MemoryFolds:
    """Least squares on an X in memory: the folds' statistics from one pass
    (a fold's rows gathered at a time), every fit from statistics; the folds
    on the plan's threads."""

    def __init__(self, problem: "_fit.Problem", test: Sequence[np.ndarray],
                 how: "_parallel.Plan" = _parallel.Plan("serial", 1, None)):
        X, y = problem.X, problem.y
        w = np.ones(len(y)) if problem.weights is None else problem.weights
        if problem.offset is not None:
            y = y - problem.offset
        head = slice(0, min(bs.CENTRE_ROWS, len(y)))
        centre = bs.centres(X[head], y[head], w[head])

        def heldout(rows):
            return _core.block_statistics(X[rows], y[rows], w[rows], centre)

        self.family = problem.family.core_arguments()
        self.how = how
        self.heldout = in_order([(heldout, (rows,)) for rows in test], how)
        self.total = bs.merge(*self.heldout)
        self.npasses_data = 1

    def fit_all(self, so: Dict[str, Any]) -> Dict[str, Any]:
        return _errors.solver_call(_core.fit_statistics, self.total, **self.family,
                                   **_fit._solver_kwargs(so, None))

    def fit_fold(self, k: int, so: Dict[str, Any]) -> Any:
        """Fold k's fit, or the ValueError naming the fold."""
        others = self.heldout[:k] + self.heldout[k + 1:]
        train = bs.subtract(self.total, self.heldout[k], others)
        try:
            return _errors.solver_call(_core.fit_statistics, train, **self.family,
                                       **_fit._solver_kwargs(so, None))
        except ValueError as exc:
            return _errors.in_fold(exc, k)

    def fit_folds(self, options: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
        """Every fold's fit; the first fold that cannot be fitted raises,
        whatever order the threads end in."""
        fits = in_order([(self.fit_fold, (k, so)) for k, so in enumerate(options)], self.how)
        for fit in fits:
            if isinstance(fit, ValueError):
                raise fit
        return fits

    def scores(self, fits: Sequence[tuple], measure: str) -> np.ndarray:
        return np.array([bs.heldout_squared_error(s, c, a) for s, (c, a) in zip(self.heldout, fits)])

    @property
    def fold_weights(self) -> np.ndarray:
        return np.array([s["weight"] for s in self.heldout])

    @property
    def training_weights(self) -> np.ndarray:
        return self.total["weight"] - self.fold_weights


def uses_statistics(problem: "_fit.Problem", folds: Any, measure: str, keep: bool,
                    mix_options: Sequence[Dict[str, Any]]) -> bool:
    """Whether the in-memory cross-validation runs from per-fold statistics:
    least squares of one response (the family says so, whatever its name) on
    a dense X that the core would solve by the covariance solver (asked of
    the core, so that the rule is written once), folds that partition the
    rows, a measure the statistics give."""
    family = problem.family
    if not family.least_squares or not isinstance(problem.X, np.ndarray):
        return False
    if keep or folds.foldid is None or measure not in STATISTICS_MEASURES:
        return False
    n, p = problem.X.shape
    return all(_core.fit_solver(n, p, **family.core_arguments(), solver=so.get("solver", "auto"))
               == "covariance" for so in mix_options)


class FoldScores(NamedTuple):
    """Each mix's full-data path, its folds' scores (K x L) and lambdas
    reached, and the folds' held-out weights."""

    paths: List[Any]
    raws: List[np.ndarray]
    lmus: List[List[int]]
    fold_weights: np.ndarray


def cross_validate(source: Any, meta: Any, measure: str, mix_options: List[Dict[str, Any]],
                   fold_options: Optional[Callable[[int, int, Dict[str, Any]], Dict[str, Any]]],
                   category: type, stacklevel: int,
                   option_names: Optional[Dict[str, str]] = None) -> FoldScores:
    """The cross-validation of ``source`` (MemoryFolds or the Dask folds):
    each mix's full-data path (``npasses_data`` from the source) and its
    folds over that path's lambdas, scored (cv.summarise_folds picks the
    best mix and lambdas); warnings use ``category``, ``stacklevel`` from
    here.  A fold whose training rows weigh nothing raises first; a fold
    that stopped before its first solution leaves its mix out (its scores
    None) with a warning, or raises when that is every mix (see
    cv.cross_validate; ``option_names`` as there)."""
    paths, raws, lmus, stopped = [], [], [], []
    K = len(source.fold_weights)
    for k, weight in enumerate(source.training_weights):
        _errors.training_weights(k, weight)
    failed: Dict[int, Any] = {}
    for m, so in enumerate(mix_options):
        path = finished_path(_fit.decode(source.fit_all(so), so), meta, so, stacklevel + 1, category)
        if path.n_lambdas == 0:
            raise _errors.no_solution("the path on all the data", path.warning, so, option_names)
        options = []
        for k in range(K):
            # a fold's coefficients meet p x p statistics: kept dense
            fso = dict(so, user_lambda=path.lambdas.copy(), **{_fit.COEF_STORAGE: "dense"})
            options.append(fold_options(m, k, fso) if fold_options is not None else fso)
        sols, stops = [], []
        for k, (res, fso) in enumerate(zip(source.fit_folds(options), options)):
            sol = _fit.decode(res, fso)
            if sol.n_lambdas == 0:
                failed.setdefault(m, (k, sol.warning))
            elif sol.warning is not None:
                mix = f" (alpha={path.alpha:g})" if len(mix_options) > 1 else ""
                stops.append(f"fold {k}{mix} at lambda index {sol.warning[1]} ({sol.warning[0]})")
            sols.append(sol)
        if m in failed:
            raws.append(None)
        else:
            raws.append(source.scores([padded(s, path.n_lambdas) for s in sols], measure))
            stopped += stops
        lmus.append([s.n_lambdas for s in sols])
        paths.append(path)
    _errors.without_solution(failed, [p.alpha for p in paths], mix_options, option_names, category,
                      stacklevel)
    if stopped:
        warnings.warn("cross-validation: " + "; ".join(stopped)
                      + "; later lambdas reuse the fold's last solution", category,
                      stacklevel=stacklevel)
    for path in paths:
        path.npasses_data = getattr(source, "npasses_data", None)
    return FoldScores(paths, raws, lmus, source.fold_weights)


def cross_validate_in_memory(problem: "_fit.Problem", folds: Any, measure: str,
                             mix_options: List[Dict[str, Any]], fold_options: Any,
                             category: type, stacklevel: int, how: "_parallel.Plan",
                             option_names: Optional[Dict[str, str]] = None):
    """cv.cross_validate's statistics route (see uses_statistics); the folds
    run on the plan's threads."""
    wrapped = None
    if fold_options is not None:
        def wrapped(m, k, so):
            return fold_options(m, folds.train[k], so)
    source = MemoryFolds(problem, folds.test, how)
    return cross_validate(source, problem, measure, mix_options, wrapped, category, stacklevel + 1,
                          option_names)
