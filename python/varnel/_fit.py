"""Preparing a problem once and handing it to the compiled solvers."""

from __future__ import annotations

import warnings
from typing import Any, Dict, List, Literal, Mapping, NamedTuple, Optional, Tuple

import numpy as np

from . import _convert as cv
from . import _core


class PathWarning(UserWarning):
    """A path stopped before its last lambda (``maxit`` or ``pmax`` was reached).

    The solutions computed before the stop are kept; the message names the
    lambda index (0-based) at which the solver gave up.
    """


#: Option names accepted by :func:`varnel.fit_path` (and passed on to the solver),
#: with their defaults (None: chosen from the data).
DEFAULTS: Dict[str, Any] = dict(_core.OPTION_DEFAULTS)


class Problem(NamedTuple):
    """A validated problem: the design (ndarray or CSC matrix), the coded
    response, the weights, the solver keyword arguments other than weights,
    and the offset."""

    X: Any
    y: np.ndarray
    weights: Optional[np.ndarray]
    family: str
    classes: Optional[np.ndarray]
    feature_names: Optional[List[str]]
    solver_options: Dict[str, Any]
    offset: Optional[np.ndarray] = None


def check_options(options: Dict[str, Any]) -> Dict[str, Any]:
    """Fill in defaults and refuse unknown option names."""
    unknown = sorted(set(options) - set(DEFAULTS))
    if unknown:
        raise TypeError(f"unknown option(s): {', '.join(unknown)}; valid options are {', '.join(DEFAULTS)}")
    full = dict(DEFAULTS)
    full.update(options)
    return full


#: The solvers fit_path takes; "auto" is resolved by the compiled core
#: (covariance updates for dense least squares with n >= 2 p and p <= 2000).
SOLVERS = ("auto", "naive", "covariance")


def check_solver(solver: Any) -> str:
    """A solver name of SOLVERS (the core refuses the ones a family cannot use)."""
    if not isinstance(solver, str) or solver not in SOLVERS:
        raise ValueError(f"solver must be one of {SOLVERS}, got {solver!r}")
    return solver


def prepare(X: Any, y: Any, family: str, options: Dict[str, Any], offset: Any = None) -> Problem:
    """Validate and convert everything once, so that folds can reuse it."""
    family = cv.check_family(family)
    options = dict(options)
    solver = options.pop("solver", "auto")
    grouped = cv.as_bool(options.pop("grouped", False), "grouped")
    if grouped and family != "multinomial":
        raise ValueError("grouped=True is for the multinomial family")
    opts = check_options(options)
    Xc, names = cv.as_design(X)
    n, p = Xc.shape
    if n < 1 or p < 1:
        raise ValueError(f"X must have at least one row and one column, got shape {Xc.shape}")
    yc, classes = cv.as_response(y, family, n)
    w = cv.as_weights(opts["weights"], n)
    if classes is not None:
        weighted = np.unique(yc if w is None else yc[w > 0]).astype(np.intp)
        if weighted.shape[0] < classes.shape[0]:
            missing = sorted(set(range(classes.shape[0])) - set(weighted))
            raise ValueError(f"class {classes[missing[0]]!r} has no observation of positive weight; "
                             f"the {family} family needs every class of y")
    so: Dict[str, Any] = {
        "alpha": cv.as_float(opts["alpha"], "alpha"),
        "nlambda": cv.as_int(opts["nlambda"], "nlambda"),
        "lambda_min_ratio": cv.as_float(opts["lambda_min_ratio"], "lambda_min_ratio", allow_none=True),
        "user_lambda": cv.as_lambdas(opts["user_lambda"]),
        "standardize": bool(opts["standardize"]),
        "intercept": bool(opts["intercept"]),
        "thresh": cv.as_float(opts["thresh"], "thresh"),
        "maxit": cv.as_int(opts["maxit"], "maxit"),
        "dfmax": cv.as_int(opts["dfmax"], "dfmax", allow_none=True),
        "pmax": cv.as_int(opts["pmax"], "pmax", allow_none=True),
        "penalty_factor": cv.per_feature(opts["penalty_factor"], p, "penalty_factor"),
        "lower_limits": cv.per_feature(opts["lower_limits"], p, "lower_limits"),
        "upper_limits": cv.per_feature(opts["upper_limits"], p, "upper_limits"),
        "exclude": cv.as_exclude(opts["exclude"], p, names),
        "solver": check_solver(solver),
    }
    nclass = None
    if family == "multinomial":
        so["grouped"] = grouped
        nclass = classes.shape[0]
    return Problem(Xc, yc, w, family, classes, names, so, cv.as_offset(offset, n, nclass))


def _solver_kwargs(so: Dict[str, Any], weights: Optional[np.ndarray]) -> Dict[str, Any]:
    kw = {k: v for k, v in so.items() if v is not None}
    if weights is not None:
        kw["weights"] = weights
    return kw


_SOLVER_FAMILY: Dict[str, Literal["gaussian", "binomial", "poisson", "multinomial"]] = {
    "gaussian": "gaussian", "logistic": "binomial", "poisson": "poisson",
    "multinomial": "multinomial"}


def run_solver(X: Any, y: np.ndarray, family: str, so: Dict[str, Any],
               weights: Optional[np.ndarray], offset: Optional[np.ndarray] = None
               ) -> Mapping[str, Any]:
    """One call of the compiled solver on already converted data; a sparse
    design stays sparse."""
    kw = _solver_kwargs(so, weights)
    x = (*X.shape, X.indptr, X.indices, X.data) if cv.is_sparse(X) else X
    return _core.fit(x, y, family=_SOLVER_FAMILY[family], offset=offset, **kw)


def iterate_as_solution(res: Mapping[str, Any]) -> Mapping[str, Any]:
    """The solver's result with the unconverged iterate of a path stopped at
    maxit appended as its last solution (its deviance ratio unknown: NaN);
    the result itself when there is no iterate."""
    it = res.get("iterate")
    if it is None:
        return res
    lmu = int(res["lmu"])
    out = dict(res, lmu=lmu + 1)
    out["lambda"] = np.append(res["lambda"][:lmu], it["lambda"])
    out["dev_ratio"] = np.append(res["dev_ratio"][:lmu], np.nan)
    for key in ("a0", "beta"):
        out[key] = np.concatenate([res[key][..., :lmu], np.asarray(it[key])[..., None]], axis=-1)
    return out


def warning_message(warning: Tuple[str, int], so: Dict[str, Any], n_lambdas: int) -> str:
    """The text of a path warning, from the solver's (kind, lambda_index)."""
    kind, k = warning
    if kind == "MaxActiveReached":
        limit = so.get("pmax")
        why = f"more variables became active than pmax={limit}" if limit is not None \
            else "the number of active variables reached its limit (pmax)"
        hint = "raise pmax"
    else:
        why = f"the solver hit maxit={so.get('maxit')} passes without converging"
        hint = "raise maxit or loosen thresh"
    return (f"path stopped at lambda index {k}: {why}; the path keeps the "
            f"{n_lambdas} solution(s) before it ({hint} for a longer path) [{kind}]")
