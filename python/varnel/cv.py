"""K-fold cross-validation along the full-data lambda sequence."""

from __future__ import annotations

import sys
import warnings
from collections.abc import Iterable
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _convert, _core, _cv_statistics, _dask, _dask_cv, _errors, _fit, _parallel, families
from ._folds import Folds, folds as make_cv_folds
from .families import Family
from .path import LambdaSpec, Path, finished_path, fit_problem

__all__ = ["CVPath", "cv_path", "MEASURES"]

#: Measures available per family name; the first one is the default (each
#: family's ``measures``).
MEASURES: Dict[str, Tuple[str, ...]] = {f.name: f.measures for f in families.FAMILIES}


class CVPath:
    """Result of :func:`cv_path`.

    Every attribute but ``alphas`` refers to the chosen mix ``alpha``.

    Attributes
    ----------
    alpha : float
        The chosen elastic-net mix (the only one when a single mix was given).
    alphas : ndarray of shape (M,)
        The mixes cross-validated, as given.
    lambdas : ndarray of shape (L,)
        The full-data lambda sequence (``path.lambdas``).
    cvm : ndarray of shape (L,)
        Cross-validated mean of the measure at each lambda.
    cvsd : ndarray of shape (L,)
        Its estimated standard error.
    cvup, cvlo : ndarray of shape (L,)
        ``cvm + cvsd`` and ``cvm - cvsd``.
    fold_scores : ndarray of shape (nfolds, L)
        The measure of every fold at each lambda (NaN for a fold whose
        held-out observations have no weight, or, for ``"auc"``, lack a class).
    nzero : ndarray of shape (L,)
        Non-zero coefficients of the full-data fit at each lambda.
    lambda_min : float
        Lambda with the best ``cvm`` (smallest; largest for ``"auc"``).
    lambda_1se : float
        Largest lambda whose ``cvm`` is within one standard error of the best
        one; always ``>= lambda_min``.
    index_min, index_1se : int
        Their positions in ``lambdas``.
    measure : str
        The measure used.
    foldid : ndarray of shape (n,) or None
        Fold label of every observation; None for explicit ``splits`` whose
        test sets do not hold out every observation exactly once.
    nfolds : int
        Number of folds (or splits).
    fold_n_lambdas : ndarray of shape (nfolds,)
        How many lambdas each fold's path reached.  A fold whose path stopped
        early is evaluated at the remaining lambdas with its last solution.
    fit_preval : ndarray of shape (n, L) or None
        With ``keep=True``, the out-of-fold linear predictor of every
        observation at each lambda (NaN for an observation never held out).
    path : Path
        The fit on all the data.

    Examples
    --------
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
    >>> cv.lambda_1se >= cv.lambda_min
    True
    >>> cv.cvm.shape == cv.lambdas.shape
    True
    """

    def __init__(self, path: Path, cvm, cvsd, measure, foldid, fold_n_lambdas, index_min, index_1se,
                 fold_scores=None, alphas=None, fit_preval=None):
        self.path = path
        self.family = path.family
        self.alpha = path.alpha
        self.alphas = np.array([path.alpha] if alphas is None else alphas, dtype=np.float64)
        self.lambdas = path.lambdas
        self.cvm = np.asarray(cvm, dtype=np.float64)
        self.cvsd = np.asarray(cvsd, dtype=np.float64)
        self.cvup = self.cvm + self.cvsd
        self.cvlo = self.cvm - self.cvsd
        self.nzero = path.df
        self.measure = measure
        self.foldid = None if foldid is None else np.asarray(foldid)
        self.nfolds = int(len(fold_n_lambdas))
        self.fold_n_lambdas = np.asarray(fold_n_lambdas, dtype=np.intp)
        self.fold_scores = (np.full((self.nfolds, len(self.lambdas)), np.nan) if fold_scores is None
                            else np.asarray(fold_scores, dtype=np.float64))
        self.fit_preval = fit_preval
        self.index_min = int(index_min)
        self.index_1se = int(index_1se)
        self.lambda_min = float(self.lambdas[self.index_min])
        self.lambda_1se = float(self.lambdas[self.index_1se])

    def _s(self, s: Union[str, LambdaSpec]):
        if isinstance(s, str):
            if s in ("lambda_1se", "lambda_min"):
                return getattr(self, s)
            raise ValueError(f"s must be a number, 'lambda_min' or 'lambda_1se', got {s!r}")
        return s

    def coef(self, s: Union[str, LambdaSpec] = "lambda_1se") -> np.ndarray:
        """Coefficients of the full-data path at ``s``.

        Parameters
        ----------
        s : {"lambda_1se", "lambda_min"}, float or sequence of float
            The penalty: one of the two chosen ones, or any lambda (see
            :meth:`Path.coef`).

        Returns
        -------
        ndarray of shape (p,), (p, K) or (p, len(s))
            The coefficients on the features' scale.

        Raises
        ------
        ValueError
            When ``s`` is a string other than the two chosen lambdas' names.

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
        >>> cv.coef().shape, cv.coef("lambda_min").shape
        ((12,), (12,))
        """
        return self.path.coef(self._s(s))

    def intercept(self, s: Union[str, LambdaSpec] = "lambda_1se"):
        """Intercept of the full-data path at ``s``.

        Parameters
        ----------
        s : {"lambda_1se", "lambda_min"}, float or sequence of float
            The penalty, as for :meth:`coef`.

        Returns
        -------
        float or ndarray
            The intercept (one per class or response for the block families).

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
        >>> isinstance(cv.intercept(), float)
        True
        """
        return self.path.intercept(self._s(s))

    def predict(self, X: Any, s: Union[str, LambdaSpec] = "lambda_1se", kind: str = "link",
                offset: Any = None) -> np.ndarray:
        """Predictions of the full-data path at ``s``.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n, p)
            The new rows.
        s : {"lambda_1se", "lambda_min"}, float or sequence of float
            The penalty, as for :meth:`coef`.
        kind : {"link", "response", "class"}
            What to predict, as for :meth:`Path.predict`.
        offset : array-like, optional
            The new rows' offsets.

        Returns
        -------
        ndarray
            As :meth:`Path.predict` returns.

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
        >>> cv.predict(data.X[:3]).shape
        (3,)
        >>> cv.predict(data.X[:3], s="lambda_min").shape
        (3,)
        """
        return self.path.predict(X, s=self._s(s), kind=kind, offset=offset)

    def summary(self) -> str:
        """The two chosen lambdas with their measure, standard error and Df.

        Returns
        -------
        str
            A small table, the one that ``print(cv)`` shows under its header.

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
        >>> print(cv.summary().splitlines()[0])
        Measure: Mean-squared error (5-fold cross-validation)
        """
        label = self.path.family_instance.measure_label(self.measure)
        head = f"Measure: {label} ({self.nfolds}-fold cross-validation)"
        if len(self.alphas) > 1:
            head += f"; alpha={self.alpha:g}, the best of {len(self.alphas)} mixes"
        rows = [head,
                f"{'':>10} {'Lambda':>11} {'Index':>6} {'Measure':>11} {'SE':>11} {'Nonzero':>8}"]
        for name, i in (("min", self.index_min), ("1se", self.index_1se)):
            rows.append(f"{name:>10} {self.lambdas[i]:>11.5g} {i:>6} {self.cvm[i]:>11.5g} "
                        f"{self.cvsd[i]:>11.5g} {int(self.nzero[i]):>8}")
        return "\n".join(rows)

    def __repr__(self) -> str:
        return (f"varnel.CVPath(family={self.family!r}, measure={self.measure!r}, alpha={self.alpha:g}, "
                f"nfolds={self.nfolds}, n_lambdas={len(self.lambdas)})\n" + self.summary())

    def to_dict(self) -> Dict[str, Any]:
        """A JSON-serialisable description (the full path included).

        Returns
        -------
        dict
            The measure, the mixes, the chosen lambdas and their indices,
            ``cvm``, ``cvsd``, ``nzero``, the fold scores and lambdas, and
            ``path`` (:meth:`Path.to_dict`).

        Examples
        --------
        >>> import json
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
        >>> doc = json.loads(json.dumps(cv.to_dict()))
        >>> doc["lambda_1se"] == cv.lambda_1se
        True
        """
        return {
            "measure": self.measure,
            "alpha": self.alpha,
            "alphas": self.alphas.tolist(),
            "nfolds": self.nfolds,
            "lambda_min": self.lambda_min,
            "lambda_1se": self.lambda_1se,
            "index_min": self.index_min,
            "index_1se": self.index_1se,
            "cvm": self.cvm.tolist(),
            "cvsd": self.cvsd.tolist(),
            "nzero": self.nzero.tolist(),
            "fold_scores": self.fold_scores.tolist(),
            "fold_n_lambdas": self.fold_n_lambdas.tolist(),
            "path": self.path.to_dict(),
        }

    def plot(self, ax: Any = None):
        """Plot the cross-validation curve with one-standard-error bars and
        both chosen lambdas marked (needs matplotlib).

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Where to draw (default: a new figure's axes).

        Returns
        -------
        matplotlib Axes
            The axes drawn on.

        Raises
        ------
        ImportError
            Without matplotlib.

        Examples
        --------
        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> ax = varnel.cv_path(data.X, data.y, nfolds=5, seed=0).plot()
        """
        from ._plot import plot_cv

        return plot_cv(self, ax=ax)


def fold_task(k: int, X: Any, y: np.ndarray, weights: np.ndarray, test: np.ndarray,
              family: Family, so: Dict[str, Any], offset: Optional[np.ndarray] = None,
              n_threads: Optional[int] = None):
    """Fit fold k, the rows of positive `weights` (the held-out rows and any
    row outside the training set have weight 0), and return its linear
    predictors on the rows `test`, padded with the last solution when the
    fold's path stopped early.  X is read in place, never copied."""
    try:
        sol = _fit.solve(X, y, family, so, weights, offset, n_threads=n_threads)
    except ValueError as exc:
        raise _errors.in_fold(exc, k) from (None if _errors.is_solver_error(exc) else exc)
    L = len(so["user_lambda"])
    lmu = sol.n_lambdas
    if lmu == 0:
        return k, None, 0, sol.warning
    eta = _fit.rows_predictor(X, test, sol.coefs, sol.intercepts)
    if offset is not None:
        eta += offset[test][..., None]
    if lmu < L:
        eta = np.concatenate([eta, np.repeat(eta[..., -1:], L - lmu, axis=-1)], axis=-1)
    return k, eta, lmu, sol.warning


class _Shared(NamedTuple):
    """What every fold of one cross-validation reads: the prepared data (X
    read in place by every fold, never sliced), the folds and the measure."""

    X: Any
    y: np.ndarray
    weights: np.ndarray  # the caller's weights, or ones
    offset: Optional[np.ndarray]
    folds: Folds
    family: Family
    measure: str
    keep: bool


def _scored_fold_task(m: int, k: int, shared: _Shared, so: Dict[str, Any],
                      n_threads: Optional[int]):
    """Fit fold k for mix m and score it where it runs, so that only a row
    of scores (and the predictions when kept) travels back; a fold that
    cannot be fitted gives its ValueError in place of the scores (the
    caller raises the first fold's, whatever order the folds end in)."""
    try:
        return _scored_fold(m, k, shared, so, n_threads)
    except ValueError as exc:
        return m, k, exc, 0, None, None


def _scored_fold(m: int, k: int, shared: _Shared, so: Dict[str, Any], n_threads: Optional[int]):
    w = np.zeros_like(shared.weights)
    train = shared.folds.train[k]
    w[train] = shared.weights[train]
    test = shared.folds.test[k]
    fam = shared.family
    tasks = [test]
    if fam.scores_training_rows(shared.measure):  # the cox deviance's difference method
        tasks.append(train)
    _, eta, lmu, warn = fold_task(k, shared.X, shared.y, w, np.concatenate(tasks), fam, so,
                                  shared.offset, n_threads)
    if eta is None:
        return m, k, None, lmu, warn, None
    eta, eta_train = eta[:len(test)], eta[len(test):]
    training = None
    if len(tasks) > 1:
        training = (shared.y[train], shared.weights[train], eta_train)
    scores = fam.fold_score(shared.y[test], shared.weights[test], eta, shared.measure, training)
    return m, k, scores, lmu, warn, eta if shared.keep else None


def _progress(results, total: int, verbose: bool):
    if not verbose:
        return results
    try:
        from tqdm.auto import tqdm
    except ImportError:
        def lines():
            for i, r in enumerate(results, 1):
                print(f"cross-validation: {i}/{total} folds done", file=sys.stderr, flush=True)
                yield r
        return lines()
    return tqdm(results, total=total, desc="cross-validation", unit="fold")


def _cv_stats(raw: np.ndarray, fold_weights: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The mean of the fold scores weighted by each fold's held-out weight, and
    its standard error; NaN scores are left out."""
    ok = ~np.isnan(raw)
    W = np.where(ok, fold_weights[:, None], 0.0)
    tot = W.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        cvm = (np.where(ok, raw, 0.0) * W).sum(axis=0) / tot
        dev2 = (np.where(ok, raw - cvm, 0.0) ** 2 * W).sum(axis=0) / tot
        cvsd = np.sqrt(dev2 / (ok.sum(axis=0) - 1))
    return cvm, cvsd


def choose(cvm: np.ndarray, cvsd: np.ndarray, measure: str) -> Tuple[int, int]:
    """Indices of lambda_min and lambda_1se (lambdas decreasing)."""
    if np.isnan(cvm).all():
        raise ValueError(f"the cross-validated {measure} could not be computed at any lambda "
                         "(for 'auc', every fold needs both classes)")
    better_high = families.MEASURES[measure].maximise
    imin = int(np.nanargmax(cvm) if better_high else np.nanargmin(cvm))
    sd = cvsd[imin]
    if np.isnan(sd):
        return imin, imin
    with np.errstate(invalid="ignore"):
        ok = cvm >= cvm[imin] - sd if better_high else cvm <= cvm[imin] + sd
    i1se = int(np.flatnonzero(ok)[0])
    return imin, min(i1se, imin)


def _mixes(alpha: Any) -> List[float]:
    """The elastic-net mix as a grid: a number or a non-empty 1-D sequence,
    every entry in [0, 1]."""
    if np.ndim(alpha) == 0:
        return [_convert.in_range(_convert.as_float(alpha, "alpha"), "alpha", 0.0, 1.0)]
    if np.ndim(alpha) != 1 or len(alpha) == 0:
        raise ValueError("alpha must be a number or a non-empty 1-D sequence of mixes")
    return [_convert.in_range(_convert.as_float(a.item() if isinstance(a, np.generic) else a,
                                                f"alpha[{i}]"), f"alpha[{i}]", 0.0, 1.0)
            for i, a in enumerate(alpha)]


FoldOptions = Callable[[int, np.ndarray, Dict[str, Any]], Dict[str, Any]]


def _read_in_place(problem: "_fit.Problem") -> "_fit.Problem":
    """The problem with X as the solvers read it in place, converted once for
    every fold: a sparse X with 64-bit indices, a dense X in Fortran order
    for the naive solver (the covariance solver reads any order, so X is
    left as it is when the core says it alone runs)."""
    X = problem.X
    if _convert.is_sparse(X):
        return problem._replace(X=_convert.with_wide_indices(X))
    if X.flags.f_contiguous:
        return problem
    fam = problem.family
    solver = _core.fit_solver(*X.shape, **fam.core_arguments(),
                              solver=problem.solver_options.get("solver", "auto"))
    return problem if solver == "covariance" else problem._replace(X=np.asfortranarray(X))


_FULL = "full-data path"


def _full_path_task(m: int, problem: "_fit.Problem", n_threads: Optional[int]):
    """The full-data path of mix m, fitted beside the folds; the caller turns
    its solution into a Path (and its warning) in its own thread, or raises
    its ValueError before any fold's."""
    so = problem.solver_options
    try:
        return _FULL, m, _fit.solve(problem.X, problem.y, problem.family, so, problem.weights,
                                    problem.offset, n_threads=n_threads)
    except ValueError as exc:
        return _FULL, m, exc


def _checked(path: Path, so: Dict[str, Any], option_names: Optional[Dict[str, str]]) -> Path:
    if path.n_lambdas == 0:
        raise _errors.no_solution("the path on all the data", path.warning, so, option_names)
    return path


def check_training_weights(weights: Optional[np.ndarray], folds: Folds) -> None:
    """Refuse the first fold whose training rows weigh nothing."""
    if weights is None:
        return
    for k, train in enumerate(folds.train):
        _errors.training_weights(k, weights[train].sum())


def cross_validate(problem: "_fit.Problem", folds: Folds, measure: str,
                   mix_options: List[Dict[str, Any]], *, n_jobs: Optional[int] = None,
                   verbose: bool = False, keep: bool = False,
                   fold_options: Optional[FoldOptions] = None,
                   category: type = _fit.PathWarning, stacklevel: int = 3,
                   all_by_default: bool = True,
                   option_names: Optional[Dict[str, str]] = None) -> CVPath:
    """Cross-validate a prepared problem over one or several mixes.

    ``mix_options[m]`` are the solver options of mix ``m`` on all the data;
    every fold of mix ``m`` is fitted over that full-data path's lambdas (the
    caller's, when the options hold them), after
    ``fold_options(m, train_rows, options)`` when given (the estimators use it
    to keep their own parametrisation in every fold).  Warnings use
    ``category``; ``stacklevel`` counts from here (3: the caller of cv_path).
    Every fold reads the prepared X in place: its training rows are the rows
    it gives a positive weight, its held-out rows are read where they are.
    ``n_jobs=None`` runs the folds on every core when ``all_by_default``
    (one at a time otherwise), see :mod:`varnel._parallel`.  A fold whose
    training rows weigh nothing, or that cannot be fitted, raises a
    ValueError naming it (the first fold's, whatever the plan); a fold that
    stopped before its first solution leaves its mix out with a warning,
    or raises when that is every mix.  ``option_names`` are the caller's
    names of the solver's options in these messages (an estimator's
    ``{"maxit": "max_iter"}``).
    """
    measure = problem.family.check_measure(measure)
    problem.family.check_measure_of(measure, problem.classes)
    if keep and not folds.disjoint:
        raise ValueError("keep=True needs splits whose test sets hold out each observation at most once")
    # Statistics route (_cv_statistics): least squares by the covariance solver
    # fits and scores every fold from per-fold statistics of one pass over X.
    fam = problem.family
    how = _parallel.plan(n_jobs, len(folds.test) * len(mix_options), all_by_default)
    if _cv_statistics.uses_statistics(problem, folds, measure, keep, mix_options):
        scores = _cv_statistics.cross_validate_in_memory(problem, folds, measure, mix_options,
                                                         fold_options, category, stacklevel + 1, how,
                                                         option_names)
        if verbose:
            K = len(folds.test)
            print(f"cross-validation: {K}/{K} folds done (from per-fold statistics)",
                  file=sys.stderr, flush=True)
        return summarise_folds(scores, measure, folds.foldid)
    # End of the statistics route.
    check_training_weights(problem.weights, folds)
    problem = _read_in_place(problem)
    M, K = len(mix_options), len(folds.test)
    # With the caller's lambdas the folds need nothing from the full-data
    # paths, so on varnel's threads those paths run beside the folds; every
    # fold is fitted over the caller's lambdas (whatever the plan, so that
    # the bits do not depend on it), and its scores past its full-data
    # path's last solution are dropped (a solution depends only on the
    # lambdas before it).
    given = all(so.get("user_lambda") is not None for so in mix_options)
    beside = given and how.mode == "threads"
    paths: List[Optional[Path]] = [None] * M
    calls: List[Tuple[Callable[..., Any], tuple]] = []
    for m, so in enumerate(mix_options):
        if beside:
            calls.append((_full_path_task, (m, problem._replace(solver_options=so), how.fit_threads)))
        else:
            paths[m] = _checked(fit_problem(problem._replace(solver_options=so),
                                            stacklevel=stacklevel + 1, category=category),
                                so, option_names)
    y_all = problem.y
    w_all = np.ones(y_all.shape[0]) if problem.weights is None else problem.weights
    shared = _Shared(problem.X, y_all, w_all, problem.offset, folds, fam, measure, keep)
    for k in range(K):
        for m in range(M):
            lam = mix_options[m]["user_lambda"] if given else paths[m].lambdas
            so = dict(mix_options[m], user_lambda=lam.copy())
            if fold_options is not None:
                so = fold_options(m, folds.train[k], so)
            calls.append((_scored_fold_task, (m, k, shared, so, how.fit_threads)))
    done, full = [], {}
    for result in _progress(_parallel.run(calls, how), len(calls), verbose):
        if result[0] == _FULL:
            full[result[1]] = result[2]
        else:
            done.append(result)
    for m in sorted(full):  # a full-data path: its warning comes from this thread
        if isinstance(full[m], ValueError):
            raise full[m]
        paths[m] = _checked(finished_path(full[m], problem, mix_options[m], stacklevel + 1,
                                          category), mix_options[m], option_names)
    done.sort(key=lambda r: (r[1], r[0]))
    for m, k, scores, *_ in done:
        if isinstance(scores, ValueError):
            raise scores
    raw: List[Optional[np.ndarray]] = [np.empty((K, p.n_lambdas)) for p in paths]
    lmus = np.zeros((M, K), dtype=np.intp)
    etas: Dict[Tuple[int, int], np.ndarray] = {}
    stopped = []
    failed: Dict[int, Tuple[int, Any]] = {}
    for m, k, scores, lmu, warn, eta in done:
        if scores is None:
            failed.setdefault(m, (k, warn))
            continue
        L = paths[m].n_lambdas
        raw[m][k] = scores[:L]
        lmus[m, k] = min(lmu, L)
        if eta is not None:
            etas[m, k] = eta[..., :L]
        if warn is not None and warn[1] < L:
            mix = f" (alpha={paths[m].alpha:g})" if M > 1 else ""
            stopped.append((m, k, f"fold {k}{mix} at lambda index {warn[1]} ({warn[0]})"))
    _errors.without_solution(failed, [p.alpha for p in paths], mix_options, option_names, category,
                      stacklevel)
    stopped = [s for s in stopped if s[0] not in failed]
    for m in failed:
        raw[m] = None
    if stopped:
        warnings.warn("cross-validation: " + "; ".join(t for *_, t in sorted(stopped))
                      + "; later lambdas reuse the fold's last solution", category, stacklevel=stacklevel)
    fold_weights = np.array([w_all[test].sum() for test in folds.test])
    b, cvm, cvsd, imin, i1se = _best_mix(raw, fold_weights, measure)
    preval = None
    if keep:
        # (n, L), or (n, K, L) for the multinomial family
        preval = np.full((y_all.shape[0],) + etas[b, 0].shape[1:], np.nan)
        for k, test in enumerate(folds.test):
            preval[test] = etas[b, k]
    return CVPath(paths[b], cvm, cvsd, measure, folds.foldid, lmus[b], imin, i1se,
                  fold_scores=raw[b], alphas=[p.alpha for p in paths], fit_preval=preval)


def _best_mix(raws: List[Optional[np.ndarray]], fold_weights: np.ndarray, measure: str
              ) -> Tuple[int, np.ndarray, np.ndarray, int, int]:
    """The mix with the best score at its lambda_min (the first of equals;
    a mix left out has None for its scores): its index, the mean score and
    its standard error, and the indices of lambda_min and lambda_1se."""
    fits = {}
    for m, raw in enumerate(raws):
        if raw is not None:
            cvm, cvsd = _cv_stats(raw, fold_weights)
            fits[m] = (cvm, cvsd) + choose(cvm, cvsd, measure)
    pick = max if families.MEASURES[measure].maximise else min
    b = pick(fits, key=lambda m: fits[m][0][fits[m][2]])
    return (b,) + fits[b]


def summarise_folds(scores: "_cv_statistics.FoldScores", measure: str, foldid: Any) -> CVPath:
    """The CVPath of the folds' scores of every mix (from statistics): the
    mix with the best score at its lambda_min, and its lambdas."""
    b, cvm, cvsd, imin, i1se = _best_mix(scores.raws, scores.fold_weights, measure)
    out = CVPath(scores.paths[b], cvm, cvsd, measure, None, scores.lmus[b], imin, i1se,
                 fold_scores=scores.raws[b], alphas=[p.alpha for p in scores.paths])
    out.foldid = foldid
    return out


def cv_path(X: Any, y: Any, family: Union[str, Family] = "gaussian", *, nfolds: int = 10,
            foldid: Optional[Sequence[int]] = None, splits: Optional[Iterable[Any]] = None,
            measure: str = "deviance", n_jobs: Optional[int] = None, seed: Any = None,
            verbose: bool = False, keep: bool = False, offset: Any = None,
            **options: Any) -> CVPath:
    """Choose lambda (and the elastic-net mix) by cross-validation.

    The path is fitted on all the data, and each fold on its training rows
    over that path's lambda sequence; the held-out predictions are scored with
    ``measure``.  With ``user_lambda`` the folds are fitted over the caller's
    lambdas, so on threads the full-data path runs beside them.

    This function keeps the solver's parametrisation: ``alpha`` is the mix
    (1 the lasso, 0 ridge) and lambda the strength, as in :func:`fit_path`.
    The scikit-learn estimators use scikit-learn's names instead (``alpha``
    the strength, ``l1_ratio`` the mix).

    Parameters
    ----------
    X, y, family
        As for :func:`fit_path`.
    nfolds : int, default 10
        Number of folds (ignored when ``foldid`` or ``splits`` is given).
        Folds are drawn at random (stratified by class for the logistic and
        multinomial families, by event status for the cox family).
    foldid : array-like of int, shape (n,), optional
        Fold label of every observation (any integers; each distinct value is
        a fold).  Makes the result deterministic.
    splits : iterable of (train, test) pairs, optional
        Explicit splits instead of folds, as a scikit-learn splitter's
        ``split`` yields them: row indices (or boolean masks) of the rows to
        fit and of the rows to score.  The test sets need not partition the
        rows: an observation may be held out in no split or in several.
    measure : {"deviance", "mse", "mae", "class", "auc", "C"}, default "deviance"
        Loss to cross-validate, one of the family's ``measures`` (see
        :mod:`varnel.families`): ``"class"`` (misclassification rate) is for
        the logistic and multinomial families, ``"auc"`` for the logistic
        family only (two classes), ``"C"`` (Harrell's concordance) for the
        cox family, whose ``"deviance"`` is the partial likelihood's
        difference method.  For the Gaussian family the deviance is the
        mean-squared error.
    n_jobs : int, optional
        Number of folds fitted at once.  ``None`` (the default) takes every
        core, down to the limit a caller has set (inside a joblib worker or a
        Dask task, ``OMP_NUM_THREADS``, ``threadpoolctl.threadpool_limits``);
        ``-1`` is every core too, ``-2`` all but one.  The folds run on
        threads that share X (each reads it in place), each fit's passes
        over X on the cores left to it.  Under a joblib backend the caller
        activated (``joblib.parallel_backend("dask")`` for a Dask cluster,
        or loky with an ``n_jobs``), the folds go to that backend.
    seed : int or numpy Generator, optional
        Seed of the random fold assignment.
    verbose : bool, default False
        Show a progress bar over the folds (tqdm if installed, else lines on
        stderr).
    keep : bool, default False
        Keep the out-of-fold linear predictors in ``CVPath.fit_preval``
        (needs test sets that hold out each observation at most once).
    offset : array-like of shape (n,), optional
        As for :func:`fit_path`; each fold fits with its training rows'
        offsets and scores its held-out rows with theirs.
    **options
        Any option of :func:`fit_path` (``weights``, ...).  The weights are
        used both in each fold's fit and in the measure.  ``alpha`` may be a
        sequence of mixes: each gets its own full-data path, all of them are
        cross-validated on the same folds, and the mix with the best
        cross-validated measure (at its ``lambda_min``) is kept.

    Returns
    -------
    CVPath
        Describes the chosen mix (``alpha``; the grid is in ``alphas``).

    Raises
    ------
    ValueError
        For invalid arguments; for a fold that cannot be fitted (its
        training rows weigh nothing, every column is constant on them...)
        or that stopped before its first solution, naming the fold; when
        the data overflow, naming X or y.

    Notes
    -----
    The measure of a fold is the weighted mean of the per-observation loss
    over its held-out observations (for ``"auc"``, the weighted AUC of the
    fold); ``cvm`` is the mean of the fold values weighted by each fold's
    total held-out weight, and ``cvsd`` the standard error of that mean
    across folds.

    A fold's path can stop before the last full-data lambda (the solver ends
    a path early once the deviance stops changing, or at ``maxit``/``pmax``).
    Its remaining lambdas are then scored with the fold's last solution, so
    ``cvm`` always covers every lambda of ``path``; ``fold_n_lambdas`` records
    how far each fold went, and a :class:`PathWarning` is raised when a fold
    hit ``maxit`` or ``pmax``.  A fold stopped by them before its first
    solution leaves its mix out of a grid of mixes, with a warning; when
    that leaves no mix (with a single mix, always), cv_path raises a
    ValueError naming the fold and the limit, as it does for a fold whose
    training rows have no positive weight or cannot be fitted.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
    >>> cv.lambda_1se >= cv.lambda_min
    True
    >>> grid = varnel.cv_path(data.X, data.y, alpha=[0.5, 1.0], nfolds=5, seed=0)
    >>> float(grid.alpha) in (0.5, 1.0)
    True
    """
    mixes = _mixes(options.get("alpha", _fit.DEFAULTS["alpha"]))
    if _dask.any_dask(X, y, offset, foldid, options.get("weights")):
        scores, labels, measure = _dask_cv.cv_path(
            X, y, family, mixes, nfolds=nfolds, foldid=foldid, splits=splits, measure=measure,
            seed=seed, keep=keep, offset=offset, options=options)
        return summarise_folds(scores, measure, labels)
    problem = _fit.prepare(X, y, family, dict(options, alpha=mixes[0]), offset)
    verbose = _convert.as_bool(verbose, "verbose")
    keep = _convert.as_bool(keep, "keep")
    labels = problem.family.fold_labels(problem.y)
    folds = make_cv_folds(problem.y.shape[0], nfolds, foldid, splits, seed, labels,
                          stratify=labels is not None)
    mix_options = [dict(problem.solver_options, alpha=a) for a in mixes]
    return cross_validate(problem, folds, measure, mix_options, n_jobs=n_jobs, verbose=verbose,
                          keep=keep, stacklevel=3)
