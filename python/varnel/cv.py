"""K-fold cross-validation along the full-data lambda sequence."""

from __future__ import annotations

import sys
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _convert, _fit
from .path import LambdaSpec, Path, _fit_problem, _prepare, _sigmoid, link_to

__all__ = ["CVPath", "cv_path", "MEASURES"]

#: Measures available per family; the first one is the default.
MEASURES: Dict[str, Tuple[str, ...]] = {
    "gaussian": ("deviance", "mse", "mae"),
    "logistic": ("deviance", "mse", "mae", "class", "auc"),
    "poisson": ("deviance", "mse", "mae"),
}

_LABELS = {
    "deviance": "Deviance",
    "mse": "Mean-squared error",
    "mae": "Mean absolute error",
    "class": "Misclassification error",
    "auc": "AUC",
}


def measure_label(measure: str, family: str) -> str:
    if measure == "deviance":
        return {"gaussian": "Mean-squared error", "logistic": "Binomial deviance",
                "poisson": "Poisson deviance"}[family]
    return _LABELS[measure]


class CVPath:
    """Result of :func:`cv_path`.

    Attributes
    ----------
    lambdas : ndarray of shape (L,)
        The full-data lambda sequence (``path.lambdas``).
    cvm : ndarray of shape (L,)
        Cross-validated mean of the measure at each lambda.
    cvsd : ndarray of shape (L,)
        Its estimated standard error.
    cvup, cvlo : ndarray of shape (L,)
        ``cvm + cvsd`` and ``cvm - cvsd``.
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
    foldid : ndarray of shape (n,)
        Fold label of every observation.
    nfolds : int
        Number of folds.
    fold_n_lambdas : ndarray of shape (nfolds,)
        How many lambdas each fold's path reached.  A fold whose path stopped
        early is evaluated at the remaining lambdas with its last solution.
    path : Path
        The fit on all the data.
    """

    def __init__(self, path: Path, cvm, cvsd, measure, foldid, fold_n_lambdas, index_min, index_1se):
        self.path = path
        self.family = path.family
        self.lambdas = path.lambdas
        self.cvm = np.asarray(cvm, dtype=np.float64)
        self.cvsd = np.asarray(cvsd, dtype=np.float64)
        self.cvup = self.cvm + self.cvsd
        self.cvlo = self.cvm - self.cvsd
        self.nzero = path.df
        self.measure = measure
        self.foldid = np.asarray(foldid)
        self.nfolds = int(len(fold_n_lambdas))
        self.fold_n_lambdas = np.asarray(fold_n_lambdas, dtype=np.intp)
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
        """Coefficients of the full-data path at ``s`` (default ``lambda_1se``);
        see :meth:`Path.coef`."""
        return self.path.coef(self._s(s))

    def intercept(self, s: Union[str, LambdaSpec] = "lambda_1se"):
        """Intercept of the full-data path at ``s`` (default ``lambda_1se``)."""
        return self.path.intercept(self._s(s))

    def predict(self, X: Any, s: Union[str, LambdaSpec] = "lambda_1se", kind: str = "link") -> np.ndarray:
        """Predictions of the full-data path at ``s`` (default ``lambda_1se``);
        see :meth:`Path.predict`."""
        return self.path.predict(X, s=self._s(s), kind=kind)

    def summary(self) -> str:
        """The two chosen lambdas with their measure, standard error and Df."""
        label = measure_label(self.measure, self.family)
        rows = [f"Measure: {label} ({self.nfolds}-fold cross-validation)",
                f"{'':>10} {'Lambda':>11} {'Index':>6} {'Measure':>11} {'SE':>11} {'Nonzero':>8}"]
        for name, i in (("min", self.index_min), ("1se", self.index_1se)):
            rows.append(f"{name:>10} {self.lambdas[i]:>11.5g} {i:>6} {self.cvm[i]:>11.5g} "
                        f"{self.cvsd[i]:>11.5g} {int(self.nzero[i]):>8}")
        return "\n".join(rows)

    def __repr__(self) -> str:
        return (f"varnel.CVPath(family={self.family!r}, measure={self.measure!r}, "
                f"nfolds={self.nfolds}, n_lambdas={len(self.lambdas)})\n" + self.summary())

    def to_dict(self) -> Dict[str, Any]:
        """A JSON-serialisable description (the full path included)."""
        return {
            "measure": self.measure,
            "nfolds": self.nfolds,
            "lambda_min": self.lambda_min,
            "lambda_1se": self.lambda_1se,
            "index_min": self.index_min,
            "index_1se": self.index_1se,
            "cvm": self.cvm.tolist(),
            "cvsd": self.cvsd.tolist(),
            "nzero": self.nzero.tolist(),
            "fold_n_lambdas": self.fold_n_lambdas.tolist(),
            "path": self.path.to_dict(),
        }

    def plot(self, ax: Any = None):
        """Plot the cross-validation curve with one-standard-error bars and
        both chosen lambdas marked (needs matplotlib).  Returns the Axes."""
        from ._plot import plot_cv

        return plot_cv(self, ax=ax)


# ---- folds --------------------------------------------------------------------------

def _make_folds(n: int, nfolds: Any, foldid: Any, seed: Any, y: np.ndarray,
                stratify: bool) -> Tuple[np.ndarray, np.ndarray]:
    """Return (foldid as given or drawn, fold codes 0..K-1)."""
    if foldid is not None:
        fid = np.asarray(foldid)
        if fid.ndim != 1 or fid.shape[0] != n:
            raise ValueError(f"foldid must be a vector of length {n}, got shape {fid.shape}")
        labels, codes = np.unique(fid, return_inverse=True)
        if labels.shape[0] < 2:
            raise ValueError("foldid must hold at least two distinct folds")
        return fid, codes.reshape(-1)
    if isinstance(nfolds, bool) or not isinstance(nfolds, (int, np.integer)):
        raise TypeError(f"nfolds must be an integer, got {nfolds!r}")
    nfolds = int(nfolds)
    if nfolds < 2:
        raise ValueError(f"nfolds must be at least 2, got {nfolds}")
    if n < nfolds:
        raise ValueError(f"nfolds={nfolds} is larger than the number of observations (n_samples={n})")
    rng = np.random.default_rng(seed)
    if stratify:
        order = np.concatenate([rng.permutation(np.flatnonzero(y == c)) for c in (0.0, 1.0)])
    else:
        order = rng.permutation(n)
    codes = np.empty(n, dtype=np.intp)
    codes[order] = np.arange(n) % nfolds
    return codes.copy(), codes


def _fold_task(k: int, X_train: Any, y_train: np.ndarray, w_train: Optional[np.ndarray],
               X_test: Any, family: str, so: Dict[str, Any]):
    """Fit one fold and return its out-of-fold linear predictors (padded with
    the last solution when the fold's path stopped early)."""
    try:
        res = _fit.run_solver(X_train, y_train, family, so, w_train)
    except ValueError as exc:
        raise ValueError(f"cross-validation fold {k}: {exc}") from exc
    L = len(so["user_lambda"])
    lmu = int(res["lmu"])
    if lmu == 0:
        return k, None, 0, res.get("warning")
    beta = np.asarray(res["beta"], dtype=np.float64).reshape(-1, lmu)
    eta = np.asarray(X_test @ beta) + np.asarray(res["a0"], dtype=np.float64)[:lmu]
    if lmu < L:
        eta = np.concatenate([eta, np.repeat(eta[:, -1:], L - lmu, axis=1)], axis=1)
    return k, eta, lmu, res.get("warning")


def _run(calls: List[Tuple[Any, tuple]], n_jobs: Optional[int], verbose: bool) -> list:
    try:
        import joblib
    except ImportError:
        joblib = None
    if joblib is None:
        if n_jobs not in (None, 1):
            raise ImportError("running folds in parallel needs joblib (pip install 'varnel[cv]')")
        results = (f(*a) for f, a in calls)
    else:
        try:
            par = joblib.Parallel(n_jobs=n_jobs, return_as="generator_unordered")
        except (TypeError, ValueError):  # joblib < 1.3
            par = joblib.Parallel(n_jobs=n_jobs)
        results = par(joblib.delayed(f)(*a) for f, a in calls)
    if not verbose:
        return list(results)
    try:
        from tqdm.auto import tqdm
    except ImportError:
        out = []
        for i, r in enumerate(results, 1):
            print(f"cross-validation: {i}/{len(calls)} folds done", file=sys.stderr, flush=True)
            out.append(r)
        return out
    return list(tqdm(results, total=len(calls), desc="cross-validation", unit="fold"))


# ---- measures -----------------------------------------------------------------------

def _losses(y: np.ndarray, eta: np.ndarray, family: str, measure: str) -> np.ndarray:
    yc = y[:, None]
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        if measure == "class":
            return ((eta > 0) != (yc > 0.5)).astype(np.float64)
        if measure == "deviance" and family == "logistic":
            p = np.clip(_sigmoid(eta), 1e-5, 1 - 1e-5)
            return -2.0 * (yc * np.log(p) + (1.0 - yc) * np.log1p(-p))
        if measure == "deviance" and family == "poisson":
            mu = np.exp(eta)
            ylogy = np.where(yc > 0, yc * np.log(np.where(yc > 0, yc, 1.0)), 0.0)
            return 2.0 * (ylogy - yc * eta - (yc - mu))
        r = yc - link_to(eta, family, "response", None)
        return np.abs(r) if measure == "mae" else r * r


def weighted_auc(score: np.ndarray, y: np.ndarray, w: np.ndarray) -> float:
    """Area under the ROC curve with observation weights (ties count one half);
    NaN when one class has no weight."""
    pos = y > 0.5
    wp = np.where(pos, w, 0.0)
    wn = np.where(pos, 0.0, w)
    Wp, Wn = wp.sum(), wn.sum()
    if Wp <= 0 or Wn <= 0:
        return float("nan")
    uniq, inv = np.unique(score, return_inverse=True)
    P = np.bincount(inv.reshape(-1), weights=wp, minlength=uniq.shape[0])
    N = np.bincount(inv.reshape(-1), weights=wn, minlength=uniq.shape[0])
    below = np.cumsum(N) - N
    return float((P * (below + 0.5 * N)).sum() / (Wp * Wn))


def _cv_stats(y, w, eta, codes, K, family, measure):
    """Per-fold weighted means, then the fold-weighted mean and its standard error."""
    L = eta.shape[1]
    raw = np.full((K, L), np.nan)
    fw = np.zeros(K)
    losses = None if measure == "auc" else _losses(y, eta, family, measure)
    for k in range(K):
        idx = np.flatnonzero(codes == k)
        wk = w[idx]
        fw[k] = wk.sum()
        if fw[k] <= 0:
            continue
        if measure == "auc":
            raw[k] = [weighted_auc(eta[idx, j], y[idx], wk) for j in range(L)]
        else:
            raw[k] = wk @ losses[idx] / fw[k]
    ok = ~np.isnan(raw)
    W = np.where(ok, fw[:, None], 0.0)
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
    better_high = measure == "auc"
    imin = int(np.nanargmax(cvm) if better_high else np.nanargmin(cvm))
    sd = cvsd[imin]
    if np.isnan(sd):
        return imin, imin
    with np.errstate(invalid="ignore"):
        ok = cvm >= cvm[imin] - sd if better_high else cvm <= cvm[imin] + sd
    i1se = int(np.flatnonzero(ok)[0])
    return imin, min(i1se, imin)


def cv_path(X: Any, y: Any, family: str = "gaussian", *, nfolds: int = 10,
            foldid: Optional[Sequence[Any]] = None, measure: str = "deviance",
            n_jobs: Optional[int] = None, seed: Any = None, verbose: bool = False,
            **options: Any) -> CVPath:
    """Choose lambda by K-fold cross-validation.

    The path is first fitted on all the data; each fold is then fitted on the
    other folds over that same lambda sequence, and the held-out predictions
    are scored with ``measure``.

    Parameters
    ----------
    X, y, family
        As for :func:`fit_path`.
    nfolds : int, default 10
        Number of folds (ignored when ``foldid`` is given).  Folds are drawn
        at random (stratified by class for the logistic family).
    foldid : array-like of shape (n,), optional
        Fold label of every observation (any values; each distinct value is a
        fold).  Makes the result deterministic.
    measure : {"deviance", "mse", "mae", "class", "auc"}, default "deviance"
        Loss to cross-validate; ``"class"`` (misclassification rate) and
        ``"auc"`` are for the logistic family only.  For the Gaussian family
        the deviance is the mean-squared error.
    n_jobs : int, optional
        Number of folds fitted at once, through joblib (``None`` defers to the
        active joblib backend, e.g. ``joblib.parallel_backend("dask")`` to run
        on a Dask cluster).  Without joblib installed the folds run one after
        the other.
    seed : int or numpy Generator, optional
        Seed of the random fold assignment.
    verbose : bool, default False
        Show a progress bar over the folds (tqdm if installed, else lines on
        stderr).
    **options
        Any option of :func:`fit_path` (``alpha``, ``weights``, ...).  The
        weights are used both in each fold's fit and in the measure.

    Returns
    -------
    CVPath

    Notes
    -----
    The measure of a fold is the weighted mean of the per-observation loss
    over its held-out observations (for ``"auc"``, the weighted AUC of the
    fold); ``cvm`` is the mean of the fold values weighted by each fold's
    total weight, and ``cvsd`` the standard error of that mean across folds.

    A fold's path can stop before the last full-data lambda (the solver ends
    a path early once the deviance stops changing, or at ``maxit``/``pmax``).
    Its remaining lambdas are then scored with the fold's last solution, so
    ``cvm`` always covers every lambda of ``path``; ``fold_n_lambdas`` records
    how far each fold went, and a :class:`PathWarning` is raised when a fold
    hit ``maxit`` or ``pmax``.
    """
    problem = _prepare(X, y, family, options)
    fam = problem.family
    if measure is None:
        measure = "deviance"
    if measure not in MEASURES[fam]:
        raise ValueError(f"measure {measure!r} is not available for the {fam} family; "
                         f"choose one of {MEASURES[fam]}")
    n = problem.y.shape[0]
    fid, codes = _make_folds(n, nfolds, foldid, seed, problem.y, stratify=(fam == "logistic"))
    K = int(codes.max()) + 1
    path = _fit_problem(problem, stacklevel=3)
    L = path.n_lambdas
    if L == 0:
        raise ValueError("the full-data path holds no solution")
    so = dict(problem.solver_options, user_lambda=path.lambdas.copy())
    X_all, y_all, w_all = problem.X, problem.y, problem.weights
    sparse = _convert.is_sparse(X_all)
    calls = []
    for k in range(K):
        test = np.flatnonzero(codes == k)
        train = np.flatnonzero(codes != k)
        X_train = X_all[train]
        if sparse:
            X_train = X_train.tocsc()
            X_train.sort_indices()
        calls.append((_fold_task, (k, X_train, y_all[train],
                                   None if w_all is None else w_all[train],
                                   X_all[test], fam, so)))
    results = _run(calls, n_jobs, verbose)
    eta = np.empty((n, L))
    lmus = np.zeros(K, dtype=np.intp)
    stopped = []
    for k, eta_k, lmu, warn in results:
        if eta_k is None:
            raise RuntimeError(f"cross-validation fold {k} produced no solution ({warn})")
        eta[codes == k] = eta_k
        lmus[k] = lmu
        if warn is not None:
            stopped.append(f"fold {k} at lambda index {_fit.warning_index(warn)} ({warn[0]})")
    if stopped:
        warnings.warn("cross-validation: " + "; ".join(stopped) + "; later lambdas reuse the fold's "
                      "last solution", _fit.PathWarning, stacklevel=2)
    w = np.ones(n) if w_all is None else w_all
    cvm, cvsd = _cv_stats(y_all, w, eta, codes, K, fam, measure)
    imin, i1se = choose(cvm, cvsd, measure)
    return CVPath(path, cvm, cvsd, measure, fid, lmus, imin, i1se)
