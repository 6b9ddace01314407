"""K-fold cross-validation along the full-data lambda sequence."""

from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _coefs, _convert, _errors, _fit, _parallel, _progress, _relax, _sources, families
from ._docstrings import filled
from ._sources import FoldJob
from .families import Family
from ._fit_path import certified, finished_path
from ._progress import LambdaProgress
from .path import LambdaSpec, Path

__all__ = ["CVPath", "cv_path", "MEASURES"]

#: Measures available per family name; the first one is the default (each
#: family's ``measures``).
MEASURES: Dict[str, Tuple[str, ...]] = {f.name: f.measures for f in families.FAMILIES}


@filled(demo_cv="""
    Examples
    --------
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> cv = varnel.cv_path(data.X, data.y, nfolds=5, seed=0)
    """)
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
        The fit on all the data (with its relaxed fits, for ``relax=True``).
    blends : ndarray of shape (B,) or None
        The blends of the penalized and the relaxed fits cross-validated
        (``relax=True``; None otherwise).  ``cvm``, ``cvsd`` and
        ``fold_scores`` are then ``blend_min``'s.
    blend_min, blend_1se : float or None
        The blend chosen with ``lambda_min`` (the best pair of blend and
        lambda) and with ``lambda_1se``; see :func:`cv_path`.
    cvm_blends, cvsd_blends : ndarray of shape (B, L) or None
        The cross-validated measure and its standard error of every pair.

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
        self.blends: Optional[np.ndarray] = None
        self.blend_min: Optional[float] = None
        self.blend_1se: Optional[float] = None
        self.cvm_blends: Optional[np.ndarray] = None
        self.cvsd_blends: Optional[np.ndarray] = None

    def _blend(self, s: Union[str, LambdaSpec], blend: Optional[float]) -> Optional[float]:
        """The blend of a prediction at ``s``: the one given, else (after
        relax=True) the one chosen with ``s``, ``blend_min`` for a number."""
        if blend is not None or self.blends is None:
            return blend
        return self.blend_1se if isinstance(s, str) and s == "lambda_1se" else self.blend_min

    def _s(self, s: Union[str, LambdaSpec]):
        if isinstance(s, str):
            if s in ("lambda_1se", "lambda_min"):
                return getattr(self, s)
            raise ValueError(f"s must be a number, 'lambda_min' or 'lambda_1se', got {s!r}")
        return s

    def coef(self, s: Union[str, LambdaSpec] = "lambda_1se",
             blend: Optional[float] = None) -> np.ndarray:
        """Coefficients of the full-data path at ``s``.

        Parameters
        ----------
        s : {"lambda_1se", "lambda_min"}, float or sequence of float
            The penalty: one of the two chosen ones, or any lambda (see
            :meth:`Path.coef`).
        blend : float in [0, 1], optional
            After ``relax=True``: the blend of the penalized and the relaxed
            fit (see :meth:`Path.coef`); by default the one chosen with
            ``s`` (``blend_1se`` or ``blend_min``; ``blend_min`` for a
            number).

        Returns
        -------
        ndarray of shape (p,), (p, K) or (p, len(s))
            The coefficients on the features' scale.

        Raises
        ------
        ValueError
            When ``s`` is a string other than the two chosen lambdas' names.

        {demo_cv}
        >>> cv.coef().shape, cv.coef("lambda_min").shape
        ((12,), (12,))
        """
        return self.path.coef(self._s(s), blend=self._blend(s, blend))

    def intercept(self, s: Union[str, LambdaSpec] = "lambda_1se", blend: Optional[float] = None):
        """Intercept of the full-data path at ``s``.

        Parameters
        ----------
        s : {"lambda_1se", "lambda_min"}, float or sequence of float
            The penalty, as for :meth:`coef`.
        blend : float in [0, 1], optional
            The blend, as for :meth:`coef`.

        Returns
        -------
        float or ndarray
            The intercept (one per class or response for the block families).

        {demo_cv}
        >>> isinstance(cv.intercept(), float)
        True
        """
        return self.path.intercept(self._s(s), blend=self._blend(s, blend))

    def predict(self, X: Any, s: Union[str, LambdaSpec] = "lambda_1se", kind: str = "link",
                offset: Any = None, blend: Optional[float] = None) -> np.ndarray:
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
        blend : float in [0, 1], optional
            The blend, as for :meth:`coef`.

        Returns
        -------
        ndarray
            As :meth:`Path.predict` returns.

        {demo_cv}
        >>> cv.predict(data.X[:3]).shape
        (3,)
        >>> cv.predict(data.X[:3], s="lambda_min").shape
        (3,)
        """
        return self.path.predict(X, s=self._s(s), kind=kind, offset=offset,
                                 blend=self._blend(s, blend))

    def summary(self) -> str:
        """The two chosen lambdas with their measure, standard error and Df.

        Returns
        -------
        str
            A small table, the one that ``print(cv)`` shows under its header.

        {demo_cv}
        >>> print(cv.summary().splitlines()[0])
        Measure: Mean-squared error (5-fold cross-validation)
        """
        label = self.path.family_instance.measure_label(self.measure)
        head = f"Measure: {label} ({self.nfolds}-fold cross-validation)"
        if len(self.alphas) > 1:
            head += f"; alpha={self.alpha:g}, the best of {len(self.alphas)} mixes"
        rows = [head,
                f"{'':>10} {'Lambda':>11} {'Index':>6} {'Measure':>11} {'SE':>11} {'Nonzero':>8}"]
        if self.blends is not None:
            rows[1] += f" {'Blend':>6}"
        for name, i in (("min", self.index_min), ("1se", self.index_1se)):
            cvm, cvsd, blend = self.cvm[i], self.cvsd[i], ""
            if self.blends is not None:
                b = self.blend_min if name == "min" else self.blend_1se
                at = int(np.flatnonzero(self.blends == b)[0])
                cvm, cvsd, blend = self.cvm_blends[at, i], self.cvsd_blends[at, i], f" {b:>6.3g}"
            rows.append(f"{name:>10} {self.lambdas[i]:>11.5g} {i:>6} {cvm:>11.5g} "
                        f"{cvsd:>11.5g} {int(self.nzero[i]):>8}{blend}")
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
            **({} if self.blends is None else {
                "blends": self.blends.tolist(), "blend_min": self.blend_min,
                "blend_1se": self.blend_1se, "cvm_blends": self.cvm_blends.tolist(),
                "cvsd_blends": self.cvsd_blends.tolist()}),
        }

    @filled()
    def plot(self, ax: Any = None):
        """Plot the cross-validation curve with one-standard-error bars and
        both chosen lambdas marked (needs matplotlib); after ``relax=True``
        one curve per blend.

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Where to draw (default: a new figure's axes).

        {plot_sections}
        >>> ax = varnel.cv_path(data.X, data.y, nfolds=5, seed=0).plot()
        """
        from ._plot import plot_cv

        return plot_cv(self, ax=ax)


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


def _relaxed_options(relax: Any, blend: Any) -> Dict[str, Any]:
    """The solver options that carry the blends of a relaxed
    cross-validation (none without relax; a blend without relax is a
    ValueError)."""
    if not _relax.check_relax(relax):
        if blend is not None:
            raise ValueError(f"blend={blend!r} cross-validates relaxed fits: pass relax=True "
                             f"with it (or leave blend out)")
        return {}
    return {_relax.BLENDS_KEY: _relax.check_blends(_relax.DEFAULT_BLENDS if blend is None else blend)}


#: An estimator's options of fold k of mix m: ``fold_options(m, k, options)``.
FoldOptions = Callable[[int, int, Dict[str, Any]], Dict[str, Any]]


def _checked(path: Path, so: Dict[str, Any], option_names: Optional[Dict[str, str]]) -> Path:
    if path.n_lambdas == 0:
        raise _errors.no_solution("the path on all the data", path.warning, so, option_names)
    return path


def cross_validate(source: "_sources.Source", measure: str, mix_options: List[Dict[str, Any]], *,
                   n_jobs: Optional[int] = None, verbose: int = 0, keep: bool = False,
                   fold_options: Optional[FoldOptions] = None,
                   category: type = _fit.PathWarning, stacklevel: int = 3,
                   all_by_default: bool = True,
                   option_names: Optional[Dict[str, str]] = None,
                   callback: Optional[Callable[[LambdaProgress], Any]] = None) -> CVPath:
    """Cross-validate a source of rows (see :mod:`varnel._sources`), split
    into its folds, over one or several mixes: the one driver of every
    source.

    ``mix_options[m]`` are the solver options of mix ``m`` on all the data;
    every fold of mix ``m`` is fitted over that full-data path's lambdas (the
    caller's, when the options hold them and the source fits its folds over
    them), after ``fold_options(m, k, options)`` when given (the estimators
    use it to keep their own parametrisation in every fold).  Warnings use
    ``category``; ``stacklevel`` counts from here (3: the caller of cv_path).
    ``n_jobs=None`` runs the folds on every core when ``all_by_default``
    (one at a time otherwise), see :mod:`varnel._parallel`.  A fold whose
    training rows weigh nothing, or that cannot be fitted, raises a
    ValueError naming it (the first fold's, whatever the plan); a fold that
    stopped before its first solution leaves its mix out with a warning,
    or raises when that is every mix.  ``option_names`` are the caller's
    names of the solver's options in these messages (an estimator's
    ``{"maxit": "max_iter"}``).  ``verbose`` (0, 1 or 2) and ``callback``
    report every lambda of every path and fold (see :mod:`varnel._progress`).  Blends among the options (see _relax)
    cross-validate the relaxed fits: each fold's path is refitted relaxed
    and scored at every blend, the full-data paths keep their relaxed fits,
    and the pair of blend and lambda is chosen as :func:`choose_blend` says.
    """
    family = source.family
    measure = family.check_measure(measure)
    family.check_measure_of(measure, source.classes)
    source.check_scoring(measure, keep)
    blends = _relax.without_blends(mix_options[0])[1]
    if blends is not None:
        if source.relax_refusal is not None:
            raise ValueError(source.relax_refusal)
        if keep:
            raise ValueError("keep=True is not available with relax=True in cross-validation: "
                             "there would be out-of-fold predictions per blend; cross-validate "
                             "with keep=False, or with relax=False to keep them")
    plain = [_relax.without_blends(so)[0] for so in mix_options]
    M, K = len(mix_options), source.nfolds
    how = _parallel.plan(n_jobs, K * M, all_by_default)
    source = _sources.for_cross_validation(source, measure, keep, mix_options, how)
    for k, weight in enumerate(source.training_weights()):
        _errors.training_weights(k, weight)
    # With the caller's lambdas the folds need nothing from the full-data
    # paths, so on varnel's threads those paths run beside them; every fold
    # is fitted over the caller's lambdas (whatever the plan, so that the
    # bits do not depend on it), and its scores past its full-data path's
    # last solution are dropped (a solution depends only on the lambdas
    # before it).
    given = source.folds_on_caller_lambdas and all(so.get("user_lambda") is not None
                                                   for so in mix_options)
    warm = source.folds_start_from_full_path
    beside = given and how.mode == "threads" and not warm
    paths: List[Optional[Path]] = [None] * M
    full = []
    fitted: Dict[int, Any] = {}
    lengths = [_progress.path_length(so) for so in plain]
    progress = _progress.Progress(verbose, callback, total=(K + 1) * sum(lengths),
                                  desc="cross-validation", folds=True)
    with progress:
        for m, so in enumerate(plain):
            if beside:
                full.append((m, _progress.hooked(so, progress.hook())))
            else:
                fitted[m] = source.fit(_progress.hooked(so, progress.hook()))
                paths[m] = _checked(finished_path(fitted[m], source, so, stacklevel + 1, category),
                                    so, option_names)
                lengths[m] = paths[m].n_lambdas
        starts = [_full_path_starts(paths[m]) if warm else {} for m in range(M)]
        jobs = []
        for k in range(K):
            for m in range(M):
                lam = mix_options[m]["user_lambda"] if given else paths[m].lambdas
                so = dict(mix_options[m], user_lambda=lam.copy())
                so = so if fold_options is None else fold_options(m, k, so)
                jobs.append(FoldJob(m, k, _progress.hooked(dict(so, **starts[m]), progress.hook(k))))
        progress.set_total((K + 1) * sum(lengths))
        solutions, done = source.run_folds(jobs, full, measure, keep, how, progress)
    for m in sorted(solutions):  # a full-data path: its warning comes from this thread
        if isinstance(solutions[m], ValueError):
            raise solutions[m]
        fitted[m] = solutions[m]
        paths[m] = _checked(finished_path(solutions[m], source, plain[m], stacklevel + 1,
                                          category), plain[m], option_names)
    if blends is not None:
        for m, path in enumerate(paths):
            path.set_relaxed(_relax.path_refit(source, fitted[m], plain[m]))
    done = sorted(done, key=lambda r: (r.fold, r.mix))
    for r in done:
        if isinstance(r.scores, ValueError):
            raise r.scores
    shape = () if blends is None else (len(blends),)
    raw: List[Optional[np.ndarray]] = [np.empty((K,) + shape + (p.n_lambdas,)) for p in paths]
    lmus = np.zeros((M, K), dtype=np.intp)
    etas: Dict[Tuple[int, int], np.ndarray] = {}
    stopped = []
    failed: Dict[int, Tuple[int, Any]] = {}
    for m, k, scores, lmu, warn, eta in done:
        if lmu == 0:
            failed.setdefault(m, (k, warn))
            continue
        if scores is None:  # not scored: another fold of its mix has no solution
            continue
        L = paths[m].n_lambdas
        raw[m][k] = scores[:L] if blends is None else scores.reshape(len(blends), -1)[:, :L]
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
    if source.npasses_data is not None:  # every pass of the cross-validation
        for path in paths:
            path.npasses_data = source.npasses_data
    if blends is not None:
        return _relaxed_result(paths, raw, lmus, source, measure, blends)
    b, cvm, cvsd, imin, i1se = _best_mix(raw, source.fold_weights(), measure)
    preval = None
    if keep:
        # (n, L), or (n, K, L) for the multinomial family
        y_all = source.y
        preval = np.full((y_all.shape[0],) + etas[b, 0].shape[1:], np.nan)
        for k, test in enumerate(source.folds.test):
            preval[test] = etas[b, k]
    out = CVPath(paths[b], cvm, cvsd, measure, None, lmus[b], imin, i1se,
                 fold_scores=raw[b], alphas=[p.alpha for p in paths], fit_preval=preval)
    out.foldid = source.foldid  # as the source holds them (a Dask array on Dask)
    return out


#: Above this many coefficients (p x K x L) the folds start from their own
#: previous solution rather than from a dense copy of the full-data path.
WARM_START_VALUES = 1 << 22


def _full_path_starts(path: Path) -> Dict[str, np.ndarray]:
    """The solver options that start a fold's solve at each lambda from the
    full-data solution at that lambda (``starts_beta``, ``starts_a0``): the
    fold's rows are most of the full data's, so its solution is near and
    takes few reweighting steps; the fold's solution is its own, to the
    same threshold, from any start.  None for a path too large to copy."""
    if path.n_lambdas == 0 or np.prod(_coefs.dense_shape(path.coefs)) > WARM_START_VALUES:
        return {}
    return {"starts_beta": path.dense_coefs(), "starts_a0": np.asarray(path.intercepts)}


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


def choose_blend(cvm: np.ndarray, cvsd: np.ndarray, measure: str,
                 blends: Sequence[float]) -> Tuple[int, int, int, int]:
    """The chosen pairs of a relaxed cross-validation, from the measure
    ``cvm`` and its standard error ``cvsd`` of every (blend, lambda), shape
    (B, L), lambdas decreasing: the blend and lambda indices of the best
    pair (the first of equals, blends in the order given, then the largest
    lambda), and those of the one-standard-error pair: among the pairs
    within one standard error (the best pair's) of the best measure, the
    largest lambda (the sparsest fit: a relaxed fit has the penalized one's
    variables), and at that lambda the blend nearest 1 (the most
    penalized; the first of equals).

    Parameters
    ----------
    cvm, cvsd : ndarray of shape (B, L)
        The measure and its standard error of every blend and lambda.
    measure : str
        The measure's name (whether larger is better).
    blends : sequence of float
        The B blends.

    Returns
    -------
    tuple of int
        ``(blend_min, index_min, blend_1se, index_1se)``, blend and lambda
        indices.

    Raises
    ------
    ValueError
        When no pair has a score.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel.cv import choose_blend
    >>> cvm = np.array([[3.0, 1.0], [2.0, 1.2]])
    >>> choose_blend(cvm, np.full((2, 2), 0.5), "deviance", (0.0, 1.0))
    (0, 1, 1, 1)
    """
    if np.isnan(cvm).all():
        raise ValueError(f"the cross-validated {measure} could not be computed at any blend and "
                         f"lambda (for 'auc', every fold needs both classes)")
    better_high = families.MEASURES[measure].maximise
    flat = int(np.nanargmax(cvm) if better_high else np.nanargmin(cvm))
    bmin, imin = divmod(flat, cvm.shape[1])
    sd = cvsd[bmin, imin]
    if np.isnan(sd):
        return bmin, imin, bmin, imin
    with np.errstate(invalid="ignore"):
        ok = cvm >= cvm[bmin, imin] - sd if better_high else cvm <= cvm[bmin, imin] + sd
    i1se = int(np.flatnonzero(ok.any(axis=0))[0])
    candidates = np.flatnonzero(ok[:, i1se])
    distance = np.abs(1.0 - np.asarray(blends, dtype=np.float64)[candidates])
    return bmin, imin, int(candidates[int(np.argmin(distance))]), i1se


def _relaxed_result(paths: List[Path], raw: List[Optional[np.ndarray]], lmus: np.ndarray,
                    source: Any, measure: str, blends: Sequence[float]) -> CVPath:
    """The CVPath of a relaxed cross-validation: the mix whose best pair
    scores best, its pairs chosen by choose_blend."""
    fold_weights = source.fold_weights()
    fits = {}
    for m, scores in enumerate(raw):
        if scores is not None:
            stats = [_cv_stats(scores[:, b], fold_weights) for b in range(len(blends))]
            cvm, cvsd = np.array([c for c, _ in stats]), np.array([d for _, d in stats])
            fits[m] = (cvm, cvsd) + choose_blend(cvm, cvsd, measure, blends)
    pick = max if families.MEASURES[measure].maximise else min
    m = pick(fits, key=lambda m: fits[m][0][fits[m][2], fits[m][3]])
    cvm, cvsd, bmin, imin, b1se, i1se = fits[m]
    out = CVPath(paths[m], cvm[bmin], cvsd[bmin], measure, None, lmus[m], imin, i1se,
                 fold_scores=raw[m][:, bmin], alphas=[p.alpha for p in paths])
    out.foldid = source.foldid
    out.blends = np.array(blends, dtype=np.float64)
    out.blend_min, out.blend_1se = float(blends[bmin]), float(blends[b1se])
    out.cvm_blends, out.cvsd_blends = cvm, cvsd
    return out


def cv_path(X: Any, y: Any, family: Union[str, Family] = "gaussian", *, nfolds: int = 10,
            foldid: Optional[Sequence[int]] = None, splits: Optional[Iterable[Any]] = None,
            measure: str = "deviance", n_jobs: Optional[int] = None, seed: Any = None,
            verbose: Union[int, bool] = 0, keep: bool = False, offset: Any = None,
            certify: bool = False, callback: Optional[Callable[[LambdaProgress], Any]] = None,
            groups: Optional[Sequence[Any]] = None, relax: bool = False, blend: Any = None,
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
    verbose : {0, 1, 2}, default 0
        1 shows a progress bar over the lambdas of every path and fold on
        stderr (tqdm's, also in a notebook, when tqdm is installed; one
        updating line otherwise); 2 also prints a row per lambda: the fold
        ("all" for the path on all the data), then as :func:`fit_path`.
    keep : bool, default False
        Keep the out-of-fold linear predictors in ``CVPath.fit_preval``
        (needs test sets that hold out each observation at most once).
    offset : array-like of shape (n,), optional
        As for :func:`fit_path`; each fold fits with its training rows'
        offsets and scores its held-out rows with theirs.
    certify : bool, default False
        Check the chosen full-data path's solutions against the optimality
        conditions, as :func:`fit_path` does with ``certify=True``: the
        result is kept in ``cv.path.optimality_`` and a solution that is
        not optimal within 1e-3 of its lambda's scale warns.  Rows in
        memory only (a Dask collection is refused).
    callback : callable, optional
        As for :func:`fit_path`, called after each lambda of the path on all
        the data (``fold`` None) and of every fold (``fold`` its number).
        The calls of one path come in the order of its lambdas; folds fitted
        at once on threads interleave theirs, one call at a time.  Returning
        False stops that path (a fold's remaining lambdas are then scored
        with its last solution, as after ``maxit``); an exception propagates.
    relax : bool, default False
        Cross-validate the blends of the penalized and the relaxed fits
        (see ``relax`` of :func:`fit_path`): every fold's path is refitted
        relaxed and every pair of blend and lambda is scored on the same
        folds.  ``blend_min`` and ``lambda_min`` are the best pair;
        ``lambda_1se`` is the largest lambda with a pair within one
        standard error of the best, and ``blend_1se`` the blend nearest 1
        among that lambda's pairs within it.  Not available with
        ``keep=True``, nor on a Dask array (a ValueError says what to use).
    blend : float or sequence of float in [0, 1], optional
        The blends cross-validated with ``relax=True`` (default 0, 0.2,
        0.4, 0.6, 0.8, 1).
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
    relaxed = _relaxed_options(relax, blend)
    source = _sources.prepared(X, y, family, dict(options, alpha=mixes[0]), offset, foldid)
    verbose = _progress.as_verbose(verbose, "cv_path")
    callback = _progress.as_callback(callback, "cv_path")
    keep = _convert.as_bool(keep, "keep")
    source.split(nfolds, foldid, splits, seed, groups=groups)
    mix_options = [dict(source.solver_options, alpha=a, **relaxed) for a in mixes]
    certify = _convert.as_bool(certify, "certify")
    problem = getattr(source, "problem", None)  # the rows in memory, as prepared
    if certify and problem is None:
        raise ValueError("certify=True is not available for cv_path on a Dask collection: the "
                         "optimality check reads the rows in memory; cross-validate without certify "
                         "and call cv.path.optimality(X.compute(), y.compute(), ...) with the same "
                         "options")
    out = cross_validate(source, measure, mix_options, n_jobs=n_jobs, verbose=verbose,
                         keep=keep, stacklevel=3, callback=callback)
    if certify:
        certified(out.path, problem, stacklevel=3)
    return out
