"""Rows in memory cross-validated from per-fold statistics.

One pass over the rows forms the statistics of every fold's held-out rows
(``_core.block_statistics``, about centres shared by every fold): the
whole's are their sum, a training fold's the whole's minus its held-out
fold's.  Least squares then fits every fold from its statistics alone and
scores the held-out rows from theirs: the weighted squared error of a fit
(a0, b) on rows with sums S, d, W about centres c is

    S_yy - 2 b'S_xy + b'S_xx b - 2 e (d_y - b'd_x) + e^2 W,   e = a0 + c'b - c_y.

This is the covariance solver's cross-validation of least squares (the
deviance and the mean-squared error); ``_block_folds`` does the same on
Dask blocks for every family.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np

from .. import _convert, _core, _errors, _fit, _parallel, _relax
from . import _memory
from . import _sums as bs

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


class FoldStatistics:
    """Least squares on an X in memory (a MemoryRows with its folds): the
    folds' statistics from one pass (a fold's rows gathered at a time),
    every fit from statistics; the folds on the plan's threads."""

    folds_on_caller_lambdas = False
    #: (a relaxed cross-validation in memory reads the rows: uses_statistics)
    relax_refusal = ("relax=True is not available for cross-validation from per-fold "
                     "statistics, which cannot refit each fold's active sets; cross-validate "
                     "the rows in memory (varnel.cv_path with relax=True reads them)")
    folds_start_from_full_path = False  # a least-squares fold from statistics is cheap

    def __init__(self, rows: Any, how: "_parallel.Plan" = _parallel.Plan("serial", 1, None)):
        self.rows, self.how = rows, how
        self.arguments = rows.family.core_arguments()
        self._form()

    def _form(self) -> None:
        """The held-out statistics of every fold (one pass) and their sum."""
        problem = self.rows.problem
        X, y = problem.X, problem.y
        _convert.check_finite(X, "X")  # before its first rows give the centres
        w = np.ones(len(y)) if problem.weights is None else problem.weights
        if problem.offset is not None:
            y = y - problem.offset
        head = slice(0, min(bs.CENTRE_ROWS, len(y)))
        centre = bs.centres(X[head], y[head], w[head])

        def heldout(rows):
            return _core.block_statistics(X[rows], y[rows], w[rows], centre)

        self.heldout = in_order([(heldout, (test,)) for test in self.rows.folds.test], self.how)
        self.total = bs.merge(*self.heldout)
        self.npasses_data = 1

    def split(self, *args: Any, **kwargs: Any) -> None:
        """New folds (see MemoryRows.split), their statistics formed again."""
        self.rows.split(*args, **kwargs)
        self._form()

    family = property(lambda self: self.rows.family)
    classes = property(lambda self: self.rows.classes)
    feature_names = property(lambda self: self.rows.feature_names)
    solver_options = property(lambda self: self.rows.solver_options)
    nfolds = property(lambda self: self.rows.nfolds)
    foldid = property(lambda self: self.rows.foldid)
    disjoint = property(lambda self: self.rows.disjoint)

    def fit(self, so: Dict[str, Any], *, n_threads: Optional[int] = None,
            with_iterate: bool = False) -> "_fit.Solution":
        res = _errors.solver_call(_core.fit_statistics, self.total, **self.arguments,
                                  **_fit._solver_kwargs(so, None))
        return _fit.decode(res, so, with_iterate)

    def check_scoring(self, measure: str, keep: bool) -> None:
        self.rows.check_scoring(measure, keep)

    def fit_on(self, so: Dict[str, Any], active: np.ndarray) -> "_fit.Solution":
        return _relax.excluding(self.fit)(so, active)

    weighted_rows = property(lambda self: self.rows.weighted_rows)

    predict = staticmethod(_memory.MemoryRows.predict)
    predict_for = staticmethod(_memory.MemoryRows.predict_for)

    def fit_fold(self, k: int, so: Dict[str, Any]) -> Any:
        """Fold k's fit, or the ValueError naming the fold."""
        others = self.heldout[:k] + self.heldout[k + 1:]
        train = bs.subtract(self.total, self.heldout[k], others)
        try:
            return _errors.solver_call(_core.fit_statistics, train, **self.arguments,
                                       **_fit._solver_kwargs(so, None))
        except ValueError as exc:
            return _errors.in_fold(exc, k)

    def fit_folds(self, ks: Sequence[int], options: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
        """The fits of folds ``ks``; the first fold that cannot be fitted
        raises, whatever order the threads end in."""
        fits = in_order([(self.fit_fold, (k, so)) for k, so in zip(ks, options)], self.how)
        for fit in fits:
            if isinstance(fit, ValueError):
                raise fit
        return fits

    def scores(self, ks: Sequence[int], fits: Sequence[tuple], measure: str) -> np.ndarray:
        return np.array([bs.heldout_squared_error(self.heldout[k], c, a)
                         for k, (c, a) in zip(ks, fits)])

    def fold_weights(self) -> np.ndarray:
        return np.array([s["weight"] for s in self.heldout])

    def training_weights(self) -> np.ndarray:
        return self.total["weight"] - self.fold_weights()

    def response_scale(self, intercept: bool, fold: Optional[int] = None) -> float:
        return self.rows.response_scale(intercept, fold)

    def run_folds(self, jobs: List[Any], full: List[Any], measure: str, keep: bool, how: Any,
                  progress: Any):
        return run_by_mix(self, jobs, full, measure, progress)



def uses_statistics(problem: "_fit.Problem", folds: Any, measure: str, keep: bool,
                    mix_options: Sequence[Dict[str, Any]]) -> bool:
    """Whether the in-memory cross-validation runs from per-fold statistics:
    least squares of one response (the family says so, whatever its name) on
    a dense X that the core would solve by the covariance solver (asked of
    the core, so that the rule is written once), folds that partition the
    rows, a measure the statistics give, and no relaxed fits."""
    family = problem.family
    if not family.least_squares or not isinstance(problem.X, np.ndarray):
        return False
    if any(_relax.BLENDS_KEY in so for so in mix_options):  # each fold refits its active sets
        return False
    if keep or folds.foldid is None or measure not in STATISTICS_MEASURES:
        return False
    n, p = problem.X.shape
    return all(_core.fit_solver(n, p, **family.core_arguments(), solver=so.get("solver", "auto"))
               == "covariance" for so in mix_options)


def run_by_mix(source: Any, jobs: List[Any], full: List[Any], measure: str, progress: Any):
    """The run_folds of a source that fits from statistics (FoldStatistics,
    the Dask folds): the full-data paths first, then mix by mix every fold
    fitted (``source.fit_folds``, kept dense: its coefficients meet p x p
    statistics) and, unless a fold has no solution, all of them scored at
    once (``source.scores``) over the fold's lambdas; ``progress`` counts
    the lambdas a path did not reach."""
    from . import FoldResult

    paths = {}
    for m, so in full:
        try:
            paths[m] = source.fit(so)
        except ValueError as exc:
            paths[m] = exc
        progress.done(0 if isinstance(paths[m], ValueError) else paths[m].n_lambdas,
                      len(so["user_lambda"]))
    results = []
    for m in sorted({job.mix for job in jobs}):
        mine = [job for job in jobs if job.mix == m]
        ks = [job.fold for job in mine]
        options = [dict(job.options, **{_fit.COEF_STORAGE: "dense"}) for job in mine]
        sols = [_fit.decode(res, so) for res, so in zip(source.fit_folds(ks, options), options)]
        for sol, so in zip(sols, options):
            progress.done(sol.n_lambdas, len(so["user_lambda"]))
        scores: List[Any] = [None] * len(sols)
        if all(sol.n_lambdas for sol in sols):
            L = [len(so["user_lambda"]) for so in options]
            scores = list(source.scores(ks, [padded(sol, n) for sol, n in zip(sols, L)], measure))
        results += [FoldResult(m, k, sc, sol.n_lambdas, sol.warning)
                    for k, sc, sol in zip(ks, scores, sols)]
    return paths, results
