"""K-fold cross-validation along the full-data lambda sequence."""

from __future__ import annotations

import sys
import warnings
from collections.abc import Iterable
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _convert, _fit
from .path import LambdaSpec, Path, _fit_problem, _prepare, _sigmoid, linear_predictor, link_to

__all__ = ["CVPath", "cv_path", "MEASURES"]

#: Measures available per family; the first one is the default.
MEASURES: Dict[str, Tuple[str, ...]] = {
    "gaussian": ("deviance", "mse", "mae"),
    "logistic": ("deviance", "mse", "mae", "class", "auc"),
    "poisson": ("deviance", "mse", "mae"),
    "multinomial": ("deviance", "class", "mse", "mae"),
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
                "poisson": "Poisson deviance", "multinomial": "Multinomial deviance"}[family]
    return _LABELS[measure]


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
        """Coefficients of the full-data path at ``s`` (default ``lambda_1se``);
        see :meth:`Path.coef`."""
        return self.path.coef(self._s(s))

    def intercept(self, s: Union[str, LambdaSpec] = "lambda_1se"):
        """Intercept of the full-data path at ``s`` (default ``lambda_1se``)."""
        return self.path.intercept(self._s(s))

    def predict(self, X: Any, s: Union[str, LambdaSpec] = "lambda_1se", kind: str = "link",
                offset: Any = None) -> np.ndarray:
        """Predictions of the full-data path at ``s`` (default ``lambda_1se``);
        see :meth:`Path.predict`."""
        return self.path.predict(X, s=self._s(s), kind=kind, offset=offset)

    def summary(self) -> str:
        """The two chosen lambdas with their measure, standard error and Df."""
        label = measure_label(self.measure, self.family)
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
        """A JSON-serialisable description (the full path included)."""
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
        both chosen lambdas marked (needs matplotlib).  Returns the Axes."""
        from ._plot import plot_cv

        return plot_cv(self, ax=ax)


# ---- folds --------------------------------------------------------------------------

class Folds(NamedTuple):
    """Training and held-out rows of every fold (or split)."""

    train: List[np.ndarray]
    test: List[np.ndarray]
    foldid: Optional[np.ndarray]  # a label per row when every row is held out exactly once
    disjoint: bool  # no row is held out twice


def _check_foldid(foldid: Any, n: int) -> np.ndarray:
    fid = np.asarray(foldid)
    if fid.ndim != 1 or fid.shape[0] != n:
        raise ValueError(f"foldid must be a vector of length {n}, got shape {fid.shape}")
    kind = fid.dtype.kind
    if kind == "f":
        if np.isnan(fid).any():
            raise ValueError("foldid contains NaN; every observation needs an integer fold label")
        if not (np.isfinite(fid).all() and (fid == np.round(fid)).all()):
            raise ValueError("foldid must hold integers, found values with a fractional part")
    elif kind not in "iu":
        raise TypeError(f"foldid must hold integers, got values of type {fid.dtype}")
    return fid


def _make_folds(n: int, nfolds: Any, foldid: Any, seed: Any, y: np.ndarray,
                stratify: bool) -> Tuple[np.ndarray, np.ndarray]:
    """Return (foldid as given or drawn, fold codes 0..K-1)."""
    if foldid is not None:
        fid = _check_foldid(foldid, n)
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
        order = np.concatenate([rng.permutation(np.flatnonzero(y == c)) for c in np.unique(y)])
    else:
        order = rng.permutation(n)
    codes = np.empty(n, dtype=np.intp)
    codes[order] = np.arange(n) % nfolds
    return codes.copy(), codes


def _split_rows(rows: Any, n: int, what: str) -> np.ndarray:
    arr = np.asarray(rows)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be a 1-D array of row indices or a boolean mask, got shape {arr.shape}")
    if arr.dtype.kind == "b":
        if arr.shape[0] != n:
            raise ValueError(f"{what}: a boolean mask needs {n} entries, got {arr.shape[0]}")
        return np.flatnonzero(arr)
    if arr.size == 0:
        return np.empty(0, dtype=np.intp)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integer row indices, got values of type {arr.dtype}")
    if arr.min() < 0 or arr.max() >= n:
        raise ValueError(f"{what} holds row indices outside [0, {n})")
    return arr.astype(np.intp, copy=False)


def _check_splits(splits: Any, n: int, what: str = "splits") -> Folds:
    """Explicit (train, test) splits; a row may be held out in none, one or
    several of them.  ``what`` names the argument in errors."""
    if isinstance(splits, (str, bytes)) or not isinstance(splits, Iterable):
        raise TypeError(f"{what} must be an iterable of (train, test) pairs, got {splits!r}")
    train, test = [], []
    for k, split in enumerate(splits):
        try:
            tr, te = split
        except (TypeError, ValueError):
            raise ValueError(f"{what}[{k}] must be a (train, test) pair of row indices") from None
        tr, te = _split_rows(tr, n, f"{what}[{k}] train"), _split_rows(te, n, f"{what}[{k}] test")
        if tr.size == 0 or te.size == 0:
            raise ValueError(f"{what}[{k}] has an empty {'training' if tr.size == 0 else 'test'} set")
        train.append(tr)
        test.append(te)
    if not train:
        raise ValueError(f"{what} holds no (train, test) pair")
    held = np.zeros(n, dtype=np.intp)
    for te in test:
        np.add.at(held, te, 1)
    foldid = None
    if (held == 1).all():
        foldid = np.empty(n, dtype=np.intp)
        for k, te in enumerate(test):
            foldid[te] = k
    return Folds(train, test, foldid, bool(held.max() <= 1))


def _folds(n: int, nfolds: Any, foldid: Any, splits: Any, seed: Any, y: np.ndarray,
           stratify: bool) -> Folds:
    if splits is not None:
        if foldid is not None:
            raise ValueError("give either foldid or splits, not both")
        return _check_splits(splits, n)
    fid, codes = _make_folds(n, nfolds, foldid, seed, y, stratify)
    K = int(codes.max()) + 1
    return Folds([np.flatnonzero(codes != k) for k in range(K)],
                 [np.flatnonzero(codes == k) for k in range(K)], fid, True)


def _fold_task(k: int, X_train: Any, y_train: np.ndarray, w_train: Optional[np.ndarray],
               X_test: Any, family: str, so: Dict[str, Any], o_train: Optional[np.ndarray] = None,
               o_test: Optional[np.ndarray] = None):
    """Fit one fold and return its out-of-fold linear predictors (padded with
    the last solution when the fold's path stopped early)."""
    try:
        res = _fit.run_solver(X_train, y_train, family, so, w_train, o_train)
    except ValueError as exc:
        raise ValueError(f"cross-validation fold {k}: {exc}") from exc
    L = len(so["user_lambda"])
    lmu = int(res["lmu"])
    if lmu == 0:
        return k, None, 0, res.get("warning")
    eta = linear_predictor(X_test, np.asarray(res["beta"], dtype=np.float64)[..., :lmu],
                           np.asarray(res["a0"], dtype=np.float64)[..., :lmu])
    if o_test is not None:
        eta += o_test[..., None]
    if lmu < L:
        eta = np.concatenate([eta, np.repeat(eta[..., -1:], L - lmu, axis=-1)], axis=-1)
    return k, eta, lmu, res.get("warning")


def _scored_fold_task(m: int, k: int, X_train: Any, y_train: np.ndarray, w_train: Optional[np.ndarray],
                      X_test: Any, y_test: np.ndarray, w_test: np.ndarray,
                      o_train: Optional[np.ndarray], o_test: Optional[np.ndarray], family: str,
                      so: Dict[str, Any], measure: str, keep: bool):
    """Fit one fold for mix ``m`` and score it where it runs, so that only a
    row of scores (and the predictions when kept) travels back."""
    _, eta, lmu, warn = _fold_task(k, X_train, y_train, w_train, X_test, family, so, o_train,
                                   o_test)
    scores = None if eta is None else _fold_score(y_test, w_test, eta, family, measure)
    return m, k, scores, lmu, warn, eta if keep else None


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
    if family == "multinomial":  # eta: (n, K, L); y: class codes
        codes = y.astype(np.intp)
        prob = link_to(eta, family, "response", None)
        if measure == "class":
            return (np.argmax(eta, axis=1) != codes[:, None]).astype(np.float64)
        if measure == "deviance":
            mine = np.take_along_axis(prob, codes[:, None, None], axis=1)[:, 0]
            return -2.0 * np.log(np.clip(mine, 1e-5, 1.0))
        r = (codes[:, None, None] == np.arange(eta.shape[1])[None, :, None]) - prob
        return (np.abs(r) if measure == "mae" else r * r).sum(axis=1)
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


def _fold_score(y: np.ndarray, w: np.ndarray, eta: np.ndarray, family: str, measure: str) -> np.ndarray:
    """The weighted mean loss of one fold's held-out rows at each lambda (for
    ``"auc"``, the fold's weighted AUC); NaN when they have no weight."""
    total = w.sum()
    if total <= 0:
        return np.full(eta.shape[-1], np.nan)
    if measure == "auc":
        return np.array([weighted_auc(eta[:, j], y, w) for j in range(eta.shape[1])])
    return w @ _losses(y, eta, family, measure) / total


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
    better_high = measure == "auc"
    imin = int(np.nanargmax(cvm) if better_high else np.nanargmin(cvm))
    sd = cvsd[imin]
    if np.isnan(sd):
        return imin, imin
    with np.errstate(invalid="ignore"):
        ok = cvm >= cvm[imin] - sd if better_high else cvm <= cvm[imin] + sd
    i1se = int(np.flatnonzero(ok)[0])
    return imin, min(i1se, imin)


def _check_measure(measure: Optional[str], family: str) -> str:
    if measure is None:
        return "deviance"
    if measure not in MEASURES[family]:
        raise ValueError(f"measure {measure!r} is not available for the {family} family; "
                         f"choose one of {MEASURES[family]}")
    return measure


def _mixes(alpha: Any) -> List[float]:
    """The elastic-net mix as a grid: a number or a non-empty 1-D sequence."""
    if np.ndim(alpha) == 0:
        return [_convert.as_float(alpha, "alpha")]
    if np.ndim(alpha) != 1 or len(alpha) == 0:
        raise ValueError("alpha must be a number or a non-empty 1-D sequence of mixes")
    return [_convert.as_float(a.item() if isinstance(a, np.generic) else a, "alpha") for a in alpha]


FoldOptions = Callable[[int, np.ndarray, Dict[str, Any]], Dict[str, Any]]


def _cross_validate(problem: "_fit.Problem", folds: Folds, measure: str,
                    mix_options: List[Dict[str, Any]], *, n_jobs: Optional[int] = None,
                    verbose: bool = False, keep: bool = False,
                    fold_options: Optional[FoldOptions] = None,
                    category: type = _fit.PathWarning, stacklevel: int = 3) -> CVPath:
    """Cross-validate a prepared problem over one or several mixes.

    ``mix_options[m]`` are the solver options of mix ``m`` on all the data;
    every fold of mix ``m`` is fitted over that full-data path's lambdas, after
    ``fold_options(m, train_rows, options)`` when given (the estimators use it
    to keep their own parametrisation in every fold).  Warnings use
    ``category``; ``stacklevel`` counts from here (3: the caller of cv_path).
    """
    if keep and not folds.disjoint:
        raise ValueError("keep=True needs splits whose test sets hold out each observation at most once")
    fam = problem.family
    paths = []
    for so in mix_options:
        path = _fit_problem(problem._replace(solver_options=so), stacklevel=stacklevel + 1,
                            category=category)
        if path.n_lambdas == 0:
            raise ValueError("the full-data path holds no solution")
        paths.append(path)
    X_all, y_all = problem.X, problem.y
    w_all = np.ones(y_all.shape[0]) if problem.weights is None else problem.weights
    sparse = _convert.is_sparse(X_all)
    calls = []
    for k, (train, test) in enumerate(zip(folds.train, folds.test)):
        X_train = X_all[train]
        if sparse:
            X_train = X_train.tocsc()
            X_train.sort_indices()
        w_train = None if problem.weights is None else w_all[train]
        off = problem.offset
        fold = (X_train, y_all[train], w_train, X_all[test], y_all[test], w_all[test],
                None if off is None else off[train], None if off is None else off[test])
        for m, path in enumerate(paths):
            so = dict(mix_options[m], user_lambda=path.lambdas.copy())
            if fold_options is not None:
                so = fold_options(m, train, so)
            calls.append((_scored_fold_task, (m, k, *fold, fam, so, measure, keep)))
    K, M = len(folds.train), len(paths)
    raw = [np.empty((K, p.n_lambdas)) for p in paths]
    lmus = np.zeros((M, K), dtype=np.intp)
    etas: Dict[Tuple[int, int], np.ndarray] = {}
    stopped = []
    for m, k, scores, lmu, warn, eta in _run(calls, n_jobs, verbose):
        if scores is None:
            raise RuntimeError(f"cross-validation fold {k} produced no solution ({warn})")
        raw[m][k] = scores
        lmus[m, k] = lmu
        if eta is not None:
            etas[m, k] = eta
        if warn is not None:
            mix = f" (alpha={paths[m].alpha:g})" if M > 1 else ""
            stopped.append((m, k, f"fold {k}{mix} at lambda index {warn[1]} ({warn[0]})"))
    if stopped:
        warnings.warn("cross-validation: " + "; ".join(t for *_, t in sorted(stopped))
                      + "; later lambdas reuse the fold's last solution", category, stacklevel=stacklevel)
    fold_weights = np.array([w_all[test].sum() for test in folds.test])
    fits = []
    for m in range(M):
        cvm, cvsd = _cv_stats(raw[m], fold_weights)
        fits.append((cvm, cvsd) + choose(cvm, cvsd, measure))
    best = [cvm[imin] for cvm, _, imin, _ in fits]
    b = int(np.argmax(best) if measure == "auc" else np.argmin(best))
    cvm, cvsd, imin, i1se = fits[b]
    preval = None
    if keep:
        # (n, L), or (n, K, L) for the multinomial family
        preval = np.full((y_all.shape[0],) + etas[b, 0].shape[1:], np.nan)
        for k, test in enumerate(folds.test):
            preval[test] = etas[b, k]
    return CVPath(paths[b], cvm, cvsd, measure, folds.foldid, lmus[b], imin, i1se,
                  fold_scores=raw[b], alphas=[p.alpha for p in paths], fit_preval=preval)


def cv_path(X: Any, y: Any, family: str = "gaussian", *, nfolds: int = 10,
            foldid: Optional[Sequence[int]] = None, splits: Optional[Iterable[Any]] = None,
            measure: str = "deviance", n_jobs: Optional[int] = None, seed: Any = None,
            verbose: bool = False, keep: bool = False, offset: Any = None,
            **options: Any) -> CVPath:
    """Choose lambda (and the elastic-net mix) by cross-validation.

    The path is first fitted on all the data; each fold is then fitted on its
    training rows over that same lambda sequence, and the held-out predictions
    are scored with ``measure``.

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
        Folds are drawn at random (stratified by class for the logistic
        family).
    foldid : array-like of int, shape (n,), optional
        Fold label of every observation (any integers; each distinct value is
        a fold).  Makes the result deterministic.
    splits : iterable of (train, test) pairs, optional
        Explicit splits instead of folds, as a scikit-learn splitter's
        ``split`` yields them: row indices (or boolean masks) of the rows to
        fit and of the rows to score.  The test sets need not partition the
        rows: an observation may be held out in no split or in several.
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
    hit ``maxit`` or ``pmax``.
    """
    mixes = _mixes(options.get("alpha", _fit.DEFAULTS["alpha"]))
    problem = _prepare(X, y, family, dict(options, alpha=mixes[0]), offset)
    measure = _check_measure(measure, problem.family)
    verbose = _convert.as_bool(verbose, "verbose")
    keep = _convert.as_bool(keep, "keep")
    folds = _folds(problem.y.shape[0], nfolds, foldid, splits, seed, problem.y,
                   stratify=problem.family in _convert.CLASS_FAMILIES)
    mix_options = [dict(problem.solver_options, alpha=a) for a in mixes]
    return _cross_validate(problem, folds, measure, mix_options, n_jobs=n_jobs, verbose=verbose,
                           keep=keep, stacklevel=3)
