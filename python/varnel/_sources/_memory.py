"""Rows in memory: a dense or sparse X fitted by the compiled solvers.

The folds of a cross-validation read the prepared X in place, never a
copy: a fold's training rows are the rows it gives a positive weight, its
held-out rows are read where they are.  The folds (and, over the caller's
lambdas, the full-data paths beside them) run on the plan's threads, each
fold scored where it runs, so that only a row of scores travels back.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .. import _convert, _core, _errors, _fit, _parallel, _relax
from .._columns import as_matrix
from .._folds import Folds, check_splits, folds as make_folds, label_codes


def fold_task(k: int, X: Any, y: np.ndarray, weights: np.ndarray, test: np.ndarray,
              family: Any, so: Dict[str, Any], offset: Optional[np.ndarray] = None,
              n_threads: Optional[int] = None):
    """Fit fold k, the rows of positive `weights` (the held-out rows and any
    row outside the training set have weight 0), and return its linear
    predictors on the rows `test`, padded with the last solution when the
    fold's path stopped early.  X is read in place, never copied.  A
    relaxed cross-validation (blends among the options, see _relax) refits
    the fold's path relaxed and gives the predictors of every blend, one
    after the other along the lambda axis."""
    so, blends = _relax.without_blends(so)

    try:
        sol = _fit.solve(X, y, family, so, weights, offset, n_threads=n_threads)
        relaxed = None if blends is None or sol.n_lambdas == 0 else _relax.refit(
            _relax.on_columns(X, y, family, weights, offset, n_threads), sol, so,
            _relax.rows_with_weight(weights, y.shape[0]), family.fits_from_products)
    except ValueError as exc:
        raise _errors.in_fold(exc, k) from (None if _errors.is_solver_error(exc) else exc)
    L = len(so["user_lambda"])
    lmu = sol.n_lambdas
    if lmu == 0:
        return k, None, 0, sol.warning

    def predictors(coefs: Any, intercepts: np.ndarray) -> np.ndarray:
        eta = _fit.rows_predictor(X, test, coefs, intercepts)
        if offset is not None:
            eta += offset[test][..., None]
        if lmu < L:
            eta = np.concatenate([eta, np.repeat(eta[..., -1:], L - lmu, axis=-1)], axis=-1)
        return eta

    if relaxed is None:
        return k, predictors(sol.coefs, sol.intercepts), lmu, sol.warning
    eta = np.concatenate([predictors(_relax.blended(sol.coefs, relaxed.coefs, b),
                                     _relax.blended(sol.intercepts, relaxed.intercepts, b))
                          for b in blends], axis=-1)
    return k, eta, lmu, sol.warning


def _read_in_place(problem: "_fit.Problem") -> "_fit.Problem":
    """The problem with X as the solvers read it in place, converted once for
    every fold: a sparse X with 64-bit indices, a dense X in Fortran order
    for the naive solver (the covariance solver reads any order, so X is
    left as it is when the core says it alone runs)."""
    X = as_matrix(problem.X)
    if _convert.is_sparse(X):
        return problem._replace(X=_convert.with_wide_indices(X))
    if X.flags.f_contiguous:
        return problem
    solver = _core.fit_solver(*X.shape, **problem.family.core_arguments(),
                              solver=problem.solver_options.get("solver", "auto"))
    return problem if solver == "covariance" else problem._replace(X=np.asfortranarray(X))


_FULL = "full-data path"


class MemoryRows:
    """A prepared problem whose rows are in memory (``_fit.Problem``), as a
    source of rows (see varnel._sources)."""

    npasses_data: Optional[int] = None
    folds_on_caller_lambdas = True
    #: why a relaxed cross-validation is refused on these rows (None: it is not)
    relax_refusal: Optional[str] = None
    folds_start_from_full_path = True

    def __init__(self, problem: "_fit.Problem"):
        self.problem = problem
        self.folds: Optional[Folds] = None

    @classmethod
    def prepare(cls, X: Any, y: Any, family: Any, options: Dict[str, Any],
                offset: Any = None) -> "MemoryRows":
        return cls(_fit.prepare(X, y, family, options, offset))

    @classmethod
    def for_estimator(cls, est: Any, X: Any, y: Any, sample_weight: Any, offset: Any) -> tuple:
        """An estimator's source (and the validated X and y its splitter takes)."""
        problem, X, y = est._problem_in_memory(X, y, sample_weight, offset)
        return cls(problem), X, y

    # what a Path reads of its problem
    family = property(lambda self: self.problem.family)
    classes = property(lambda self: self.problem.classes)
    feature_names = property(lambda self: self.problem.feature_names)
    solver_options = property(lambda self: self.problem.solver_options)
    X = property(lambda self: self.problem.X)
    y = property(lambda self: self.problem.y)
    weights = property(lambda self: self.problem.weights)
    offset = property(lambda self: self.problem.offset)
    strata = property(lambda self: self.problem.strata)
    encoding = property(lambda self: self.problem.encoding)

    @property
    def n_samples(self) -> int:
        return int(self.problem.y.shape[0])

    def fit(self, so: Dict[str, Any], *, n_threads: Optional[int] = None,
            with_iterate: bool = False) -> "_fit.Solution":
        p = self.problem
        return _fit.solve(p.X, p.y, p.family, so, p.weights, p.offset, with_iterate, n_threads)

    def fit_on(self, so: Dict[str, Any], active: np.ndarray) -> "_fit.Solution":
        """The fit of the columns ``active`` alone: the solver gets them and
        their per-feature settings (see _relax.on_columns)."""
        p = self.problem
        return _relax.on_columns(as_matrix(p.X), p.y, p.family, p.weights, p.offset)(so, active)

    @property
    def weighted_rows(self) -> int:
        """The rows of positive weight."""
        return _relax.rows_with_weight(self.problem.weights, self.n_samples)

    # ---- folds --------------------------------------------------------------------
    def split(self, nfolds: Any = 10, foldid: Any = None, splits: Any = None, seed: Any = None,
              what: str = "splits", groups: Any = None) -> None:
        """The folds: drawn (stratified by the family's fold labels, keeping
        the rows of each of ``groups`` together), from fold labels, or
        explicit splits (``what`` names them in errors)."""
        n = self.n_samples
        if splits is not None and what != "splits":
            self.folds = check_splits(splits, n, what=what)
            return
        labels = self.family.fold_labels(self.problem.y)
        codes = None if groups is None else label_codes(groups, n, "groups")[0]
        self.folds = make_folds(n, nfolds, foldid, splits, seed, labels, stratify=labels is not None,
                                groups=codes, several_rows=self.family.rows_per_subject(self.problem.y))

    def read_in_place(self) -> "MemoryRows":
        """These rows and folds with X as every fold reads it in place."""
        out = MemoryRows(_read_in_place(self.problem))
        out.folds = self.folds
        return out

    nfolds = property(lambda self: len(self.folds.test))
    foldid = property(lambda self: self.folds.foldid)
    disjoint = property(lambda self: self.folds.disjoint)

    def check_scoring(self, measure: str, keep: bool) -> None:
        if keep and not self.folds.disjoint:
            raise ValueError("keep=True needs splits whose test sets hold out each observation at "
                             "most once")

    def _all_weights(self) -> np.ndarray:
        w = self.problem.weights
        return np.ones(self.n_samples) if w is None else w

    def fold_weights(self) -> np.ndarray:
        w = self._all_weights()
        return np.array([w[test].sum() for test in self.folds.test])

    def training_weights(self) -> List[float]:
        w = self.problem.weights
        return [] if w is None else [w[train].sum() for train in self.folds.train]

    def response_scale(self, intercept: bool, fold: Optional[int] = None) -> float:
        p = self.problem
        if fold is None:
            return p.family.response_scale(p.y, p.weights, intercept, p.offset)
        train = self.folds.train[fold]
        w = None if p.weights is None else p.weights[train]
        off = None if p.offset is None else p.offset[train]
        return p.family.response_scale(p.y[train], w, intercept, off)

    def run_folds(self, jobs: List[Any], full: List[Tuple[int, Dict[str, Any]]], measure: str,
                  keep: bool, how: "_parallel.Plan", progress: Any):
        """Every fold fitted and scored where it runs, and the full-data
        paths ``full`` beside them, on the plan's threads."""
        from . import FoldResult

        problem = self.problem
        calls: List[Tuple[Any, tuple]] = [(_full_path_task, (m, problem, so, how.fit_threads))
                                          for m, so in full]
        shared = (problem, self.folds, self._all_weights(), measure, keep)
        calls += [(_scored_fold_task, (job.mix, job.fold, shared, job.options, how.fit_threads))
                  for job in jobs]
        lengths = {(job.mix, job.fold): len(job.options["user_lambda"]) for job in jobs}
        lengths.update({(m, None): len(so["user_lambda"]) for m, so in full})
        done, paths = [], {}
        for result in _parallel.run(calls, how):
            if result[0] == _FULL:
                paths[result[1]] = result[2]
                reached = 0 if isinstance(result[2], ValueError) else result[2].n_lambdas
                progress.done(reached, lengths[result[1], None])
            else:
                done.append(FoldResult(*result))
                progress.done(result[3], lengths[result[0], result[1]])
        return paths, done

    # ---- predictions --------------------------------------------------------------
    @staticmethod
    def predict(path: Any, X: Any, s: Any, kind: str, offset: Any = None) -> np.ndarray:
        family = path.family_instance
        Xc = path._design(X)
        eta = _fit.linear_predictor(Xc, path.coef(s), path.intercept(s))
        off = _convert.as_offset(offset, family.offset_shape(Xc.shape[0], path.classes),
                                 family.block_unit)
        if off is not None:
            eta = eta + (off if eta.ndim == off.ndim else off[..., None])
        return family.predict(eta, kind, path.classes)

    @staticmethod
    def predict_for(estimator: Any, X: Any, kind: str, offset: Any = None) -> Any:
        return estimator._predict_in_memory(X, kind, offset)


def _full_path_task(m: int, problem: "_fit.Problem", so: Dict[str, Any], n_threads: Optional[int]):
    """The full-data path of mix m, fitted beside the folds; the driver turns
    its solution into a Path (and its warning) in its own thread, or raises
    its ValueError before any fold's."""
    try:
        return _FULL, m, _fit.solve(problem.X, problem.y, problem.family, so, problem.weights,
                                    problem.offset, n_threads=n_threads)
    except ValueError as exc:
        return _FULL, m, exc


def _scored_fold_task(m: int, k: int, shared: tuple, so: Dict[str, Any], n_threads: Optional[int]):
    """Fit fold k for mix m and score it where it runs, so that only a row
    of scores (and the predictions when kept) travels back; a fold that
    cannot be fitted gives its ValueError in place of the scores (the
    driver raises the first fold's, whatever order the folds end in)."""
    try:
        return _scored_fold(m, k, shared, so, n_threads)
    except ValueError as exc:
        return m, k, exc, 0, None, None


def _scored_fold(m: int, k: int, shared: tuple, so: Dict[str, Any], n_threads: Optional[int]):
    problem, folds, weights, measure, keep = shared
    w = np.zeros_like(weights)
    train = folds.train[k]
    w[train] = weights[train]
    test = folds.test[k]
    fam = problem.family
    tasks = [test]
    if fam.scores_training_rows(measure):  # the cox deviance's difference method
        tasks.append(train)
    _, eta, lmu, warn = fold_task(k, problem.X, problem.y, w, np.concatenate(tasks), fam, so,
                                  problem.offset, n_threads)
    if eta is None:
        return m, k, None, lmu, warn, None
    eta, eta_train = eta[:len(test)], eta[len(test):]
    training = None
    if len(tasks) > 1:
        training = (problem.y[train], weights[train], eta_train)
    by_subject = ({"subjects": folds.subjects[test]}
                  if folds.subjects is not None and fam.rows_per_subject(problem.y) else {})
    # a relaxed fold's blends one at a time, each scored as a plain fold's path
    blends = _relax.without_blends(so)[1]
    parts = 1 if blends is None else len(blends)
    trained = np.split(eta_train, parts, axis=-1) if training is not None else [None] * parts
    scores = np.concatenate([
        fam.fold_score(problem.y[test], weights[test], e, measure,
                       None if t is None else training[:2] + (t,), **by_subject)
        for e, t in zip(np.split(eta, parts, axis=-1), trained)])
    return m, k, scores, lmu, warn, eta if keep else None
