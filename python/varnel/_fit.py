"""Preparing a problem once, handing it to the compiled solvers and decoding
what they return.

This module, with ``_convert``, is the internal interface the public
modules share: ``prepare`` validates and converts a problem once,
``solve`` runs the solver on it (or on a fold's rows) and decodes the result
into a ``Solution``, and ``linear_predictor`` evaluates coefficients on a
design.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _categorical, _coefs
from . import _convert as cv
from . import _groups
from . import _core
from ._columns import is_column_design
from ._errors import solver_call
from ._parallel import fit_threads
from .families import FIT_OPTION_DEFAULTS, Family, get_family


class PathWarning(UserWarning):
    """A path stopped before its last lambda (``maxit`` or ``pmax`` was reached).

    The solutions computed before the stop are kept; the message names the
    lambda index (0-based) at which the solver gave up, and ``Path.warning``
    holds ``(kind, lambda_index)``.

    Examples
    --------
    >>> import warnings
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     path = varnel.fit_path(data.X, data.y, maxit=50)
    >>> any(issubclass(w.category, varnel.PathWarning) for w in caught)
    True
    >>> path.warning[0]
    'MaxIterReached'
    """


def _path_convergence_warning() -> type:
    """The class PathConvergenceWarning, made once, when first asked for: it
    derives from scikit-learn's ConvergenceWarning, and fit_path imports no
    scikit-learn before it must warn."""
    from sklearn.exceptions import ConvergenceWarning

    class PathConvergenceWarning(PathWarning, ConvergenceWarning):
        """A path stopped before its last lambda because ``max_iter`` was
        reached, raised by the estimators; or a path fitted with
        ``certify=True`` holds a solution that is not optimal within the
        tolerance (see :meth:`varnel.Path.optimality`).

        It is both a :class:`varnel.PathWarning` and a scikit-learn
        :class:`~sklearn.exceptions.ConvergenceWarning`, so a filter on either
        catches it.

        Examples
        --------
        >>> import warnings
        >>> from sklearn.exceptions import ConvergenceWarning
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> with warnings.catch_warnings(record=True) as caught:
        ...     warnings.simplefilter("ignore")
        ...     warnings.simplefilter("always", ConvergenceWarning)
        ...     model = varnel.ElasticNetRegressor(alpha=0.01, max_iter=5).fit(data.X, data.y)
        >>> [w.category.__name__ for w in caught]
        ['PathConvergenceWarning']
        """

    PathConvergenceWarning.__module__ = __name__
    return PathConvergenceWarning


def __getattr__(name: str) -> Any:
    if name == "PathConvergenceWarning":
        made = globals()[name] = _path_convergence_warning()
        return made
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class CoefficientBoundWarning(UserWarning):
    """A coefficient reached the bound of 9.9e35 that stands for an infinite limit.

    The solver keeps every coefficient within +-9.9e35 unless a limit says
    otherwise; a column whose values are tiny (x scaled by 1e-37, say) needs
    a coefficient beyond that, which is then held at the bound: the path's
    solutions from that lambda on are not optimal.  The message names the
    variable (and its feature name), the lambda index and the lambda, and
    asks for the column to be rescaled.  Raised once per fit, for the first
    solution with such a coefficient.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np, varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((50, 3)); y = X @ [1.0, 0.5, 2.0] + rng.standard_normal(50)
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     path = varnel.fit_path(X * 1e-37, y)
    >>> [w.category.__name__ for w in caught]
    ['CoefficientBoundWarning']
    """


#: The bound of every coefficient whose limit is infinite.
COEF_BOUND = 9.9e35


def bound_message(bound: Tuple[int, int], lambdas: np.ndarray,
                  feature_names: Optional[List[Any]]) -> str:
    """The text of a CoefficientBoundWarning, from the solver's (variable,
    lambda_index) and the path's lambdas and feature names."""
    j, k = bound
    name = f" ({cv.shown_label(feature_names[j])})" if feature_names is not None else ""
    at = f" (lambda = {lambdas[k]:.6g})" if k < lambdas.shape[0] else ""
    return (f"the coefficient of variable {j}{name} reached {COEF_BOUND:g}, the bound that stands "
            f"for an infinite limit, at lambda index {k}{at}: it is held there, so this solution "
            f"and the ones after it are not optimal; the column's values are too small for its "
            f"coefficient: rescale column {j} (multiply it by a large factor) and fit again")


#: Option names accepted by :func:`varnel.fit_path` (and passed on to the solver),
#: with their defaults (None: chosen from the data).
DEFAULTS: Dict[str, Any] = dict(_core.OPTION_DEFAULTS)

#: The option choosing how a path keeps its coefficients (see _coefs).
COEF_STORAGE = "coef_storage"


class Problem(NamedTuple):
    """A validated problem: the design (ndarray, CSC matrix or, for a data
    frame with categorical columns, _columns.ColumnDesign), the coded
    response, the weights, the solver keyword arguments other than weights,
    the offset and the strata labels (the cox family's response holds each
    row's stratum code)."""

    X: Any
    y: np.ndarray
    weights: Optional[np.ndarray]
    family: Family
    classes: Optional[np.ndarray]
    feature_names: Optional[List[str]]
    solver_options: Dict[str, Any]
    offset: Optional[np.ndarray] = None
    strata: Optional[np.ndarray] = None
    #: the level table of a data frame with categorical columns (None otherwise)
    encoding: Optional["_categorical.Encoding"] = None
    #: for each column of X, the position of the data frame's column it came
    #: from (None when X had no categorical column: each column is its own)
    source_of_column: Optional[np.ndarray] = None


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


#: The option of prepare naming the columns of an X without names of its own.
FEATURE_NAMES = "feature_names"

#: The option of prepare carrying a data frame an estimator has already
#: encoded (``_categorical.Encoded``): X is then its design.
ENCODED = "encoded"

#: The options of the categorical conversion, checked into one value.
CATEGORICAL = "categorical"

#: The yes/no options; only real bools are taken.
FLAGS = ("standardize", "intercept")


def prepare(X: Any, y: Any, family: Any, options: Dict[str, Any], offset: Any = None) -> Problem:
    """Validate and convert everything once, so that folds can reuse it.
    The family's parameters among the options (``ties``,
    ``standardize_response``; None keeps the family's own) configure it;
    ``strata`` (one label per row) goes with the cox family's response;
    ``feature_names`` name the columns of an X that has none of its own
    (the data frame an estimator converted), for the per-feature settings
    labelled by name."""
    options = dict(options)
    strata = options.pop("strata", None)
    given_names = options.pop(FEATURE_NAMES, None)
    encoded = options.pop(ENCODED, None)
    family, opts = checked_options(family, options)
    if encoded is None:
        encoded = _categorical.encode(X, opts[CATEGORICAL])
    # the solvers check X for finiteness as they read it
    Xc, names = cv.as_design(X, finite=False) if encoded is None else (encoded.X, encoded.names)
    encoding = None if encoded is None else encoded.encoding
    if encoding is not None:  # a categorical column's name stands for its indicators
        for name in ("penalty_factor", "lower_limits", "upper_limits", "exclude"):
            opts[name] = encoding.by_indicator(opts[name], name)
    n, p = Xc.shape
    by_name = names if names is not None or given_names is None else list(given_names)
    if by_name is not None and len(by_name) != p:
        raise ValueError(f"{len(by_name)} feature names for the {p} columns of X")
    if n < 1 or p < 1:
        raise ValueError(f"X must have at least one row and one column, got shape {Xc.shape}")
    yc, classes = family.response(y, n)
    labels = None
    if strata is not None:
        yc, labels = family.with_strata(yc, strata)
    w = cv.as_weights(opts["weights"], n)
    if family.has_classes and classes is not None:  # labels, not proportions
        weighted = np.unique(yc if w is None else yc[w > 0]).astype(np.intp)
        check_weighted_classes(family, classes, weighted)
    source_of_column = None if encoding is None else encoding.source_of_column
    return Problem(Xc, yc, w, family, classes, names,
                   solver_options(family, opts, p, by_name, source_of_column,
                                  None if encoding is None else encoding.columns),
                   cv.as_offset(offset, family.offset_shape(n, classes), family.block_unit), labels,
                   encoding, source_of_column)


def checked_options(family: Any, options: Dict[str, Any]) -> Tuple[Family, Dict[str, Any]]:
    """The family, configured by its parameters among the options, and every
    other option with its default, the yes/no ones checked and
    ``solver``/``grouped`` among them."""
    options = dict(options)
    family = get_family(family).configured(
        **{k: options.pop(k) for k in FIT_OPTION_DEFAULTS if k in options})
    if options.pop("strata", None) is not None:  # prepare takes them with the rows in memory
        raise ValueError(refused_strata(family))
    solver = options.pop("solver", "auto")
    storage = _coefs.check_storage(options.pop(COEF_STORAGE, "auto"))
    grouped = cv.as_bool(options.pop("grouped", False), "grouped")
    categorical = _categorical.check_options(
        **{k: options.pop(k) for k in _categorical.OPTION_NAMES if k in options})
    group_options = {k: options.pop(k) for k in _groups.OPTIONS if k in options}
    if grouped and not family.groups_coefficients:
        raise ValueError(f"grouped=True is for {family.owners_of('grouped')}, not the {family.name} family")
    for name in FLAGS:
        if name in options:
            cv.as_bool(options[name], name)
    return family, dict(check_options(options), solver=solver, grouped=grouped,
                        **group_options, **{COEF_STORAGE: storage, CATEGORICAL: categorical})


def refused_strata(family: Family) -> str:
    """Why strata are refused on a route that reads no rows in memory (the
    Dask one): the family is not served there, or takes no strata."""
    refusal = family.refusal_on_blocks()
    if refusal is not None:
        return refusal
    if "strata" not in family.own_options:
        return f"strata are an option of {family.owners_of('strata')}, not of the {family.name} family"
    return ("strata are taken with X and y in memory only: compute them into memory "
            "(e.g. X.compute()) to fit with strata")


def check_weighted_classes(family: Family, classes: np.ndarray, weighted: np.ndarray) -> None:
    """Every class needs an observation of positive weight (``weighted``:
    the codes that have one)."""
    if weighted.shape[0] < classes.shape[0]:
        missing = sorted(set(range(classes.shape[0])) - set(weighted))
        raise ValueError(f"class {cv.shown_label(classes[missing[0]])} has no observation of "
                         f"positive weight; the {family.name} family needs every class of y")


def solver_options(family: Family, opts: Dict[str, Any], p: int,
                   names: Optional[List[Any]],
                   source_of_column: Optional[np.ndarray] = None,
                   source_names: Optional[Sequence[Any]] = None) -> Dict[str, Any]:
    """The solver's keyword arguments from checked options (weights aside),
    for p columns named ``names`` (``source_of_column``: see Problem;
    ``source_names``: the data frame's column names)."""
    ratio = cv.as_float(opts["lambda_min_ratio"], "lambda_min_ratio", allow_none=True)
    so: Dict[str, Any] = {
        "alpha": cv.in_range(cv.as_float(opts["alpha"], "alpha"), "alpha", 0.0, 1.0),
        "nlambda": cv.as_int(opts["nlambda"], "nlambda"),
        "lambda_min_ratio": None if ratio is None else cv.in_range(
            ratio, "lambda_min_ratio", 0.0, 1.0, open_low=True, open_high=True),
        "user_lambda": cv.as_lambdas(opts["user_lambda"]),
        "standardize": bool(opts["standardize"]),
        "intercept": bool(opts["intercept"]),
        "thresh": cv.in_range(cv.as_float(opts["thresh"], "thresh"), "thresh", 0.0, np.inf,
                              open_low=True, open_high=True),
        "maxit": cv.as_int(opts["maxit"], "maxit"),
        "dfmax": cv.as_int(opts["dfmax"], "dfmax", allow_none=True),
        "pmax": cv.as_int(opts["pmax"], "pmax", allow_none=True),
        "penalty_factor": cv.per_feature(opts["penalty_factor"], p, "penalty_factor", names),
        "lower_limits": cv.per_feature(opts["lower_limits"], p, "lower_limits", names),
        "upper_limits": cv.per_feature(opts["upper_limits"], p, "upper_limits", names),
        "exclude": cv.as_exclude(opts["exclude"], p, names),
        "solver": check_solver(opts["solver"]),
    }
    cv.check_penalty_factor(so["penalty_factor"], names)
    if family.groups_coefficients:
        so["grouped"] = opts["grouped"]
    so[COEF_STORAGE] = opts.get(COEF_STORAGE, "auto")
    _groups.apply_options(so, opts, p, names, source_of_column, source_names)
    family.check_options(so)
    return so


def _solver_kwargs(so: Dict[str, Any], weights: Optional[np.ndarray]) -> Dict[str, Any]:
    kw = {k: v for k, v in so.items()
          if v is not None and k != COEF_STORAGE and k not in _groups.PATH_ONLY}
    if weights is not None:
        kw["weights"] = weights
    return kw


def run_solver(X: Any, y: np.ndarray, family: Family, so: Dict[str, Any],
               weights: Optional[np.ndarray], offset: Optional[np.ndarray] = None,
               n_threads: Optional[int] = None) -> Mapping[str, Any]:
    """One call of the compiled solver on already converted data; a sparse
    design stays sparse.  n_threads: the threads of the fit's passes over X
    (None: every core down to the caller's limits, see _parallel).  Input
    the solver cannot fit is a ValueError in the user's words (_errors)."""
    kw = _solver_kwargs(so, weights)
    kw["sparse_coefs"] = _coefs.wants_sparse(so.get(COEF_STORAGE, "auto"), X)
    x = X.core_x() if is_column_design(X) else (
        (*X.shape, X.indptr, X.indices, X.data) if cv.is_sparse(X) else X)
    if n_threads is None:
        n_threads = fit_threads(*X.shape)
    y, extra = family.solver_response(y)
    try:
        return solver_call(_core.fit, x, y, **family.core_arguments(), offset=offset,
                           n_threads=n_threads, **kw, **extra)
    except ValueError as exc:
        cv.name_non_finite(exc, X)
        raise


class Solution(NamedTuple):
    """The solutions of one solver call, decoded: the first ``lmu`` columns
    of every array (a class axis before the lambdas for the multinomial
    family); the coefficients in either storage of _coefs."""

    lambdas: np.ndarray
    intercepts: np.ndarray
    coefs: "_coefs.Coefs"
    dev_ratio: np.ndarray
    nulldev: float
    npasses: int
    warning: Optional[Tuple[str, int]]
    #: (variable, lambda_index) of the first solution with a coefficient at
    #: the bound (see CoefficientBoundWarning), or None
    bound: Optional[Tuple[int, int]] = None

    @property
    def n_lambdas(self) -> int:
        return int(self.lambdas.shape[0])


def decode(res: Mapping[str, Any], so: Mapping[str, Any], with_iterate: bool = False) -> Solution:
    """The one place where a solver's result dictionary is read.  With
    ``with_iterate``, the unconverged iterate of a path stopped at maxit is
    appended as its last solution (its deviance ratio unknown: NaN)."""
    lmu = int(res["lmu"])
    lambdas = np.array(res["lambda"][:lmu], dtype=np.float64)
    if lmu and lmu < 3 and so.get("user_lambda") is None:
        # too short to extrapolate: the solver's first value stands for
        # infinity; report the largest lambda whose solution is all zero
        lambdas[0] = res["lambda_max"]
    a0 = np.asarray(res["a0"], dtype=np.float64)[..., :lmu]
    beta = decoded_coefs(res["beta"], a0, so.get(COEF_STORAGE) == "sparse")
    dev = np.asarray(res["dev_ratio"], dtype=np.float64)[:lmu]
    it = res.get("iterate") if with_iterate else None
    if it is not None:
        lambdas = np.append(lambdas, float(it["lambda"]))
        a0 = np.concatenate([a0, np.asarray(it["a0"], dtype=np.float64)[..., None]], axis=-1)
        beta = _coefs.append(beta, np.asarray(it["beta"], dtype=np.float64))
        dev = np.append(dev, np.nan)
    bound = res.get("bound")
    return Solution(lambdas, a0, beta, dev, float(res["nulldev"]), int(res["npasses"]),
                    res.get("warning"), None if bound is None else (int(bound[0]), int(bound[1])))


def decoded_coefs(beta: Any, a0: np.ndarray, sparse: bool) -> "_coefs.Coefs":
    """A result's coefficients: the dense array, or the compressed columns
    (start, var, values, nvars) as the sparse form; a dense array is made
    sparse when ``sparse`` (a solver that has no compressed form)."""
    if isinstance(beta, tuple):
        start, var, values, nvars = beta
        block = a0.ndim == 2
        return _coefs.from_columns(start, var, values, nvars, a0.shape[0] if block else 1, block)
    beta = np.asarray(beta, dtype=np.float64)
    return _coefs.from_dense(beta) if sparse else beta


def solve(X: Any, y: np.ndarray, family: Family, so: Dict[str, Any],
          weights: Optional[np.ndarray], offset: Optional[np.ndarray] = None,
          with_iterate: bool = False, n_threads: Optional[int] = None) -> Solution:
    """Run the solver on converted data and decode its result (see decode)."""
    return decode(run_solver(X, y, family, so, weights, offset, n_threads), so, with_iterate)


def linear_predictor(X: Any, b: np.ndarray, a0: Any) -> np.ndarray:
    """a0 + X b, for b of shape (p,), (p, L), (p, K) or (p, K, L); the class
    axis, when there is one, comes after the rows."""
    if _coefs.is_sparse(b):
        return _coefs.product(X, b) + a0
    if b.ndim <= 2 and np.ndim(a0) <= 1:
        return np.asarray(X @ b) + a0
    p = b.shape[0]
    eta = np.asarray(X @ b.reshape(p, -1)).reshape((X.shape[0],) + b.shape[1:])
    return eta + a0


#: Values of X gathered at a time by rows_predictor (4 MiB).
GATHERED = 1 << 19


def rows_predictor(X: Any, rows: np.ndarray, b: np.ndarray, a0: Any) -> np.ndarray:
    """linear_predictor of the rows `rows` of X, read where they are: only
    the variables with a non-zero coefficient, a block of rows at a time
    (dense X), so that no copy of those rows is made."""
    active, nonzero = _coefs.active_rows(b)
    tail = nonzero.shape[1:]
    coefs = nonzero.reshape(active.shape[0], int(np.prod(tail)))
    m = rows.shape[0]
    if cv.is_sparse(X):
        eta = np.asarray(X[rows][:, active] @ coefs)
    else:
        eta = np.empty((m, coefs.shape[1]))
        step = max(1, GATHERED // max(active.shape[0], 1))
        for start in range(0, m, step):
            block = rows[start:start + step]
            eta[start:start + step] = X[np.ix_(block, active)] @ coefs
    return eta.reshape((m,) + tail) + a0


def warning_message(warning: Tuple[str, int], so: Dict[str, Any], n_lambdas: int) -> str:
    """The text of a path warning, from the solver's (kind, lambda_index)."""
    kind, k = warning
    if kind == "Stopped":
        return (f"path stopped at lambda index {k}: the callback asked it to stop; the path "
                f"keeps the {n_lambdas} solution(s) before it [{kind}]")
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
