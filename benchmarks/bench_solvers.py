"""Adapters: each solver fits a whole path over ``wl.lambdas`` and returns the
coefficients (p x L) and intercepts (L) of every penalty, on the caller's scale.

Every peer runs with its own default tolerances; the accuracy column of the
report shows what those defaults buy.
"""

from __future__ import annotations

import dataclasses
import importlib.util
import warnings

import numpy as np

from bench_workloads import GLMS, Workload


@dataclasses.dataclass
class PathFit:
    coef: np.ndarray  # p x L (L may be shorter than the grid if the path stopped)
    intercept: np.ndarray  # L
    npasses: int | None = None
    note: str = ""


@dataclasses.dataclass
class Solver:
    key: str
    label: str
    module: str  # importable module the solver needs
    fit: object  # callable(Workload) -> PathFit
    applies: object  # callable(Workload) -> None if it applies, else a reason
    scored: bool = True  # solves the workload's objective (accuracy is comparable)
    companion_of: str = ""  # selected with this solver's key too (--solvers)

    def available(self) -> bool:
        try:
            return importlib.util.find_spec(self.module) is not None
        except (ImportError, ValueError):  # parent package missing
            return False


# ---------------------------------------------------------------- varnel

def _varnel_call(wl: Workload, standardize: bool, intercept: bool, solver: str = "auto",
                 pinned: bool = False) -> dict:
    # `pinned`: the stable entry (elnet_sparse) instead of fit on sparse
    # Gaussian data, whose summation order and full optimality sweeps are fixed
    from varnel._core import elnet_path, elnet_sparse, fit

    opts = dict(alpha=1.0, user_lambda=wl.lambdas, standardize=standardize, intercept=intercept)
    if wl.family in GLMS:
        return fit(wl.X, wl.y, **GLMS[wl.family][0], **opts, solver=solver)
    if wl.family == "multinomial":
        return fit(wl.X, wl.y, family="multinomial", **opts)
    if wl.sparse:
        n, p = wl.shape
        X = wl.X
        if pinned:
            return elnet_sparse(n, p, X.indptr, X.indices, X.data, wl.y, **opts)
        return fit((n, p, X.indptr, X.indices, X.data), wl.y, family=wl.family, **opts)
    return elnet_path(wl.X, wl.y, family=wl.family, **opts)


def _varnel_defaults(wl: Workload) -> dict:
    # the raw data with fit_path's defaults (standardize, intercept) and
    # its choice of solver; coefficients brought to the standardized scale
    from varnel._core import fit

    X, y = wl.raw
    f = fit(X, y, user_lambda=wl.lambdas, solver="auto")
    return dict(f, beta=np.asarray(f["beta"]) * wl.scales[:, None], a0=np.zeros(f["lmu"]))


def _varnel_fit(wl: Workload, standardize: bool = False, intercept: bool | None = None,
                solver: str = "auto", pinned: bool = False) -> PathFit:
    if intercept is None:
        intercept = wl.intercept
    f = _varnel_defaults(wl) if wl.raw is not None else _varnel_call(wl, standardize, intercept,
                                                                     solver, pinned)
    lmu = int(f["lmu"])
    note = ""
    if f.get("warning") is not None:
        note = f"warning: {f['warning'][0]}"
    a0 = np.asarray(f["a0"], dtype=float)[..., :lmu]
    return PathFit(np.asarray(f["beta"])[..., :lmu], a0, int(f["npasses"]), note)


def fit_varnel(wl: Workload) -> PathFit:
    return _varnel_fit(wl)


def fit_varnel_naive(wl: Workload) -> PathFit:
    return _varnel_fit(wl, solver="naive")


def fit_varnel_cov(wl: Workload) -> PathFit:
    return _varnel_fit(wl, solver="covariance")


def _glm_only(wl):
    if wl.family in GLMS or wl.name.startswith("tall-"):
        return None
    return "the families by variance and link and the tall reweighting rows only"


def fit_varnel_pinned(wl: Workload) -> PathFit:
    return _varnel_fit(wl, pinned=True)


def fit_varnel_std(wl: Workload) -> PathFit:
    # standardize=True, intercept=True: centring and scaling done implicitly on
    # the sparse matrix; a different objective, so not scored for accuracy.
    return _varnel_fit(wl, standardize=True, intercept=True)


# ---------------------------------------------------------------- scikit-learn

def _sk_enet(wl: Workload, precompute) -> PathFit:
    from sklearn.linear_model import enet_path

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, coefs, _ = enet_path(wl.X, wl.y, l1_ratio=1.0, alphas=wl.lambdas, precompute=precompute)
    return PathFit(np.asarray(coefs), np.zeros(coefs.shape[1]))


def _sk_auto_gram(wl: Workload) -> bool:
    # what enet_path's precompute="auto" resolves to
    n, p = wl.shape
    return (not wl.sparse) and n > p


def _sk_l1_kwargs() -> dict:
    import inspect

    from sklearn.linear_model import LogisticRegression

    default = inspect.signature(LogisticRegression).parameters["penalty"].default
    if default == "deprecated":  # newer releases: the l1 penalty is l1_ratio=1
        return {"l1_ratio": 1.0}
    return {"penalty": "l1"}


# liblinear penalises its intercept like any coefficient (as a synthetic
# feature of value intercept_scaling); a large scaling makes that penalty
# negligible so it solves (nearly) the same problem as the others.
LIBLINEAR_INTERCEPT_SCALING = 100.0


def fit_sk_liblinear(wl: Workload) -> PathFit:
    from sklearn.linear_model import LogisticRegression

    n = wl.shape[0]
    kw = _sk_l1_kwargs()
    coefs, icpts = [], []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for lam in wl.lambdas:
            m = LogisticRegression(C=1.0 / (n * lam), solver="liblinear", fit_intercept=True,
                                   intercept_scaling=LIBLINEAR_INTERCEPT_SCALING, **kw)
            m.fit(wl.X, wl.y)
            coefs.append(m.coef_[0].copy())
            icpts.append(float(m.intercept_[0]))
    return PathFit(np.array(coefs).T, np.array(icpts))


def fit_sk_saga(wl: Workload) -> PathFit:
    # multinomial: the K x p coef_ of the softmax model, transposed
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.linear_model import LogisticRegression

    n = wl.shape[0]
    m = LogisticRegression(solver="saga", warm_start=True, fit_intercept=True, **_sk_l1_kwargs())
    multi = wl.family == "multinomial"
    coefs, icpts = [], []
    unconverged = 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ConvergenceWarning)
        for lam in wl.lambdas:
            m.set_params(C=1.0 / (n * lam))
            m.fit(wl.X, wl.y)
            coefs.append(m.coef_.T.copy() if multi else m.coef_[0].copy())
            icpts.append(m.intercept_.copy() if multi else float(m.intercept_[0]))
        unconverged = sum(issubclass(w.category, ConvergenceWarning) for w in caught)
    note = f"{unconverged} fits hit max_iter" if unconverged else ""
    return PathFit(np.moveaxis(np.array(coefs), 0, -1), np.moveaxis(np.array(icpts), 0, -1),
                   note=note)


# ---------------------------------------------------------------- glum

_GLUM_FAMILY = {"gaussian": "normal", "binomial": "binomial", "poisson": "poisson", "gamma": "gamma",
                "probit": "binomial"}


def _glum_family_and_link(family: str):
    """glum's family and link of a workload; glum has no probit link, so it
    gets one written on its Link class."""
    import glum
    from scipy.special import ndtr, ndtri

    class ProbitLink(glum.Link):
        def link(self, mu):
            return ndtri(mu)

        def derivative(self, mu):
            return 1.0 / _pdf(ndtri(mu))

        def inverse(self, eta):
            return ndtr(eta)

        def inverse_derivative(self, eta):
            return _pdf(eta)

        def inverse_derivative2(self, eta):
            return -eta * _pdf(eta)

    def _pdf(x):
        return np.exp(-0.5 * x * x) / np.sqrt(2.0 * np.pi)

    if family == "tweedie":
        return glum.TweedieDistribution(1.5), "log"
    link = {"gamma": "log", "probit": ProbitLink()}.get(family, "auto")
    return _GLUM_FAMILY[family], link


def fit_glum(wl: Workload) -> PathFit:
    from glum import GeneralizedLinearRegressor

    family, link = _glum_family_and_link(wl.family)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = GeneralizedLinearRegressor(family=family, link=link, l1_ratio=1.0,
                                       alpha_search=True, alphas=wl.lambdas,
                                       fit_intercept=wl.intercept)
        m.fit(wl.X, wl.y)
    coef = np.asarray(m.coef_path_).T
    icpt = np.asarray(m.intercept_path_, dtype=float) if wl.intercept else np.zeros(coef.shape[1])
    return PathFit(coef, np.broadcast_to(icpt, (coef.shape[1],)).copy())


# ---------------------------------------------------------------- skglm

def fit_skglm(wl: Workload) -> PathFit:
    import skglm

    coefs, icpts = [], []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if wl.family == "gaussian" and not wl.intercept:
            _, c, *_ = skglm.Lasso(fit_intercept=False).path(wl.X, wl.y, wl.lambdas)
            c = np.asarray(c)
            return PathFit(c, np.zeros(c.shape[1]))
        if wl.family == "gaussian":
            est = skglm.Lasso(fit_intercept=True, warm_start=True)
            for lam in wl.lambdas:
                est.set_params(alpha=lam)
                est.fit(wl.X, wl.y)
                coefs.append(np.ravel(est.coef_).copy())
                icpts.append(float(np.ravel(est.intercept_)[0]) if np.ndim(est.intercept_) else float(est.intercept_))
        elif wl.family == "binomial":
            est = skglm.SparseLogisticRegression(fit_intercept=wl.intercept, warm_start=True)
            for lam in wl.lambdas:
                est.set_params(alpha=lam)
                est.fit(wl.X, wl.y)
                coefs.append(np.ravel(est.coef_).copy())
                icpts.append(float(np.ravel(est.intercept_)[0]))
        else:
            from skglm.datafits import Poisson
            from skglm.penalties import L1
            from skglm.solvers import ProxNewton

            est = skglm.GeneralizedLinearEstimator(
                Poisson(), L1(float(wl.lambdas[0])),
                ProxNewton(fit_intercept=wl.intercept, warm_start=True))
            for lam in wl.lambdas:
                est.penalty = L1(float(lam))
                est.fit(wl.X, wl.y)
                coefs.append(np.ravel(est.coef_).copy())
                icpts.append(float(np.ravel(est.intercept_)[0]) if wl.intercept else 0.0)
    return PathFit(np.array(coefs).T, np.array(icpts))


# ---------------------------------------------------------------- celer

def fit_celer(wl: Workload) -> PathFit:
    from celer import celer_path

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, c, *_ = celer_path(wl.X, wl.y, "lasso", alphas=wl.lambdas)
    c = np.asarray(c)
    return PathFit(c, np.zeros(c.shape[1]))


# ---------------------------------------------------------------- registry

def _gaussian_only(wl):
    return None if wl.family == "gaussian" else "Gaussian only"


def _binomial_only(wl):
    return None if wl.family == "binomial" else "logistic only"


def _classes(wl):
    return None if wl.family in ("binomial", "multinomial") else "logistic and multinomial only"


def _sk_gram_variant(wl):
    if wl.family != "gaussian":
        return "Gaussian only"
    if wl.sparse:
        return "sparse input never uses a Gram matrix"
    return None


def _varnel_std_applies(wl):
    return None if wl.sparse and wl.family == "gaussian" else "sparse Gaussian workload only"


def _celer_applies(wl):
    if wl.family != "gaussian":
        return "celer's logistic path has no intercept; no Poisson"
    return None


def _skglm_applies(wl):
    if wl.family in GLMS:
        return "glum is the peer of the families by variance and link"
    return "no multinomial path here" if wl.family == "multinomial" else None


SOLVERS = [
    Solver("varnel", "varnel", "varnel._core", fit_varnel, lambda wl: None),
    # the GLM rows' two solvers side by side ("varnel" is solver="auto")
    Solver("varnel-naive", "varnel solver='naive'", "varnel._core", fit_varnel_naive, _glm_only),
    Solver("varnel-cov", "varnel solver='covariance'", "varnel._core", fit_varnel_cov, _glm_only),
    # the stable low-level entry beside fit on the sparse Gaussian row
    Solver("varnel-elnet-sparse", "varnel elnet_sparse", "varnel._core", fit_varnel_pinned,
           _varnel_std_applies, companion_of="varnel"),
    Solver("varnel-std", "varnel standardize+intercept", "varnel._core", fit_varnel_std,
           _varnel_std_applies, scored=False),
    Solver("sk-enet", "sklearn enet_path (default)", "sklearn", lambda wl: _sk_enet(wl, "auto"),
           _gaussian_only),
    # the precompute setting that the default does not pick
    Solver("sk-enet-alt", "sklearn enet_path precompute=?", "sklearn",
           lambda wl: _sk_enet(wl, not _sk_auto_gram(wl)), _sk_gram_variant),
    Solver("sk-liblinear", "sklearn LogisticRegression liblinear", "sklearn", fit_sk_liblinear,
           _binomial_only),
    Solver("sk-saga", "sklearn LogisticRegression saga warm", "sklearn", fit_sk_saga, _classes),
    Solver("glum", "glum alpha path", "glum", fit_glum,
           lambda wl: "no multinomial family" if wl.family == "multinomial" else None),
    Solver("skglm", "skglm", "skglm", fit_skglm, _skglm_applies),
    Solver("celer", "celer celer_path", "celer", fit_celer, _celer_applies),
]

BY_KEY = {s.key: s for s in SOLVERS}


def label_for(solver: Solver, wl: Workload) -> str:
    if solver.key == "sk-enet":
        if wl.sparse:
            return "sklearn enet_path (default)"
        return f"sklearn enet_path (default: {'Gram' if _sk_auto_gram(wl) else 'no Gram'})"
    if solver.key == "sk-enet-alt":
        return f"sklearn enet_path precompute={not _sk_auto_gram(wl)}"
    if solver.key == "skglm":
        if wl.family == "gaussian":
            return "skglm Lasso.path" if not wl.intercept else "skglm Lasso warm"
        if wl.family == "binomial":
            return "skglm SparseLogisticRegression warm"
        return "skglm ProxNewton Poisson warm"
    return solver.label
