"""scikit-learn estimators over varnel's path solver.

This module imports scikit-learn (``pip install 'varnel[sklearn]'``); the rest
of varnel does not need it.

The estimators speak scikit-learn's language: ``alpha`` is the penalty
strength and ``l1_ratio`` the mix, and the Gaussian objective is exactly the
one of :class:`sklearn.linear_model.ElasticNet`.  :func:`varnel.fit_path` and
:func:`varnel.cv_path` keep the solver's own parametrisation (``alpha`` the
mix, lambda the strength, and a ridge term that carries a ``1/sd(y)`` factor
for the Gaussian family); the conversion happens here.
"""

from __future__ import annotations

import numbers
import warnings
from numbers import Integral, Real
from typing import Any, Dict, List, Optional

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.exceptions import ConvergenceWarning
from sklearn.metrics import accuracy_score, d2_tweedie_score, r2_score
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import (_check_sample_weight, check_array, check_consistent_length,
                                      check_is_fitted, column_or_1d, validate_data)

from . import _fit, _sources
from ._convert import as_offset, column_labels, refuse_lazy
from .cv import cross_validate
from .families import get_family
from .path import Path, warn_bound

__all__ = ["ElasticNetRegressor", "LogisticNetClassifier", "PoissonNetRegressor",
           "PathConvergenceWarning"]


class PathConvergenceWarning(_fit.PathWarning, ConvergenceWarning):
    """A path stopped before its last lambda because ``max_iter`` was
    reached, raised by the estimators.

    It is both a :class:`varnel.PathWarning` and a scikit-learn
    :class:`~sklearn.exceptions.ConvergenceWarning`, so a filter on either
    catches it.

    Examples
    --------
    >>> import warnings
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     model = varnel.ElasticNetRegressor(alpha=0.01, max_iter=5).fit(data.X, data.y)
    >>> any(issubclass(w.category, varnel.PathConvergenceWarning) for w in caught)
    True
    """


_OBJECTIVE = {
    "gaussian": """
    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise, as in
    :class:`sklearn.linear_model.ElasticNet`::

        1/(2 n) ||y - X b - b0||^2 + a r ||b||_1 + a (1 - r)/2 ||b||^2

    (with ``sample_weight``, the squared errors are weighted by the weights
    divided by their mean).  With ``standardize=True`` (the default) X here
    stands for the features divided by their (weighted, population) standard
    deviations, and ``coef_`` is reported on the original scale.
""",
    "logistic": """
    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise::

        -1/n sum_i [y_i eta_i - log(1 + exp(eta_i))] + a r ||b||_1 + a (1 - r)/2 ||b||^2

    with ``eta = X b + b0`` and ``y_i`` 1 for ``classes_[1]``, 0 otherwise
    (with ``sample_weight``, the terms are weighted by the weights divided by
    their mean).  This is :class:`sklearn.linear_model.LogisticRegression`
    with ``C = 1 / (n a)`` for the lasso or ridge.  With ``standardize=True``
    X stands for the standardized features, as for
    :class:`ElasticNetRegressor`.  With K > 2 classes the loss is the mean
    multinomial negative log-likelihood, ``-1/n sum_i [eta_i,y_i -
    log sum_k exp(eta_ik)]``, and the penalty sums over the K rows of
    ``coef_`` (one per class).
""",
    "poisson": """
    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise::

        1/n sum_i [exp(eta_i) - y_i eta_i] + a r ||b||_1 + a (1 - r)/2 ||b||^2

    with ``eta = X b + b0`` (the mean half Poisson deviance up to a constant,
    as in :class:`sklearn.linear_model.PoissonRegressor`, which has the ridge
    term only).  Weights and ``standardize`` work as for
    :class:`ElasticNetRegressor`.
""",
}

_PARAMS_DOC = """
    Parameters
    ----------
    alpha : float >= 0 or None, default None
        Penalty strength.  None chooses it by cross-validation along the
        whole path.
    l1_ratio : float in [0, 1] or list of them, default 1.0
        Elastic-net mix: 1 is the lasso, 0 is ridge.  A list is
        cross-validated over (on the same folds), like
        :class:`sklearn.linear_model.ElasticNetCV`.
    cv : int, cross-validation splitter or iterable of (train, test), default 5
        Folds for choosing ``alpha`` and/or ``l1_ratio``: a number of random
        folds (stratified by class for the classifier), or any scikit-learn
        splitter or explicit splits.  Test sets need not partition the
        samples (``TimeSeriesSplit``, ``ShuffleSplit``): each split is scored
        on its own test rows.  ``fit(..., groups=g)`` passes the groups on to
        the splitter.
    select : {"lambda_1se", "lambda_min"}, default "lambda_1se"
        Which cross-validated penalty to use: the largest one within one
        standard error of the best, or the best one.
    measure : str, default "deviance"
        Cross-validation measure (see :func:`varnel.cv_path`).
    nlambda : int, default 100
        Length of the penalty sequence cross-validated over.
    lambda_min_ratio : float in (0, 1), optional
        Smallest penalty of the sequence as a fraction of the largest.
    standardize : bool, default True
        Standardize the features internally (the penalty then applies to the
        coefficients of the standardized features).
    fit_intercept : bool, default True
        Fit an intercept.
    penalty_factor : float, array-like of shape (n_features,) or dict, optional
        Relative penalty per feature (0 leaves a feature unpenalized); the
        factors are rescaled to sum to n_features and multiply both penalty
        terms.  An array or list goes by position; a pandas Series or a
        dict keyed by feature name is matched to the columns of a data
        frame X by name (see :func:`varnel.fit_path`).
    lower_limits, upper_limits : float, array-like of shape (n_features,) or dict, optional
        Bounds on the coefficients, by position or by feature name as
        ``penalty_factor``.
    tol : float > 0, default 1e-7
        Convergence threshold of coordinate descent.
    max_iter : int, default 100000
        Maximum total number of coordinate-descent passes over the data, for
        the whole path.
    n_jobs : int, optional
        Folds fitted at once, on threads that share X (None: one at a time,
        or as an active joblib backend says; -1: every core).  The passes
        over X that form column moments and products use the cores left,
        down to the limit a caller has set (see :func:`varnel.cv_path`).
    random_state : int, RandomState, Generator or None
        Seed of the random fold assignment when ``cv`` is an integer.
    solver : {"auto", "naive", "covariance"}, default "auto"
        How a dense X is solved (see :func:`varnel.fit_path`).

    Attributes
    ----------
    alpha_ : float
        The penalty strength used (``alpha`` when given).
    l1_ratio_ : float
        The mix used (the cross-validated choice when ``l1_ratio`` is a list).
    coef_ : ndarray
        Coefficients.
    intercept_ : float or ndarray
        Intercept.
    n_iter_ : int
        Coordinate-descent passes of the full-data fit (the whole path when
        ``alpha`` is chosen by cross-validation).
    lambda_ : float
        The chosen penalty in the solver's parametrisation, i.e. the lambda of
        ``path_`` at which ``coef_`` is taken.
    path_ : varnel.Path
        The full-data path of the chosen mix (a single lambda when ``alpha``
        is given), in the solver's parametrisation of :func:`varnel.fit_path`.
    cv_ : varnel.CVPath or None
        The cross-validation result (None when ``alpha`` and a single
        ``l1_ratio`` are given), in the parametrisation of
        :func:`varnel.cv_path`.
    n_features_in_ : int
        Number of features seen in fit.
    feature_names_in_ : ndarray of str
        Feature names, when X had string column names.

    Warns
    -----
    PathConvergenceWarning
        When ``max_iter`` stopped a path; a :class:`varnel.PathWarning` and a
        scikit-learn ``ConvergenceWarning``.
"""


def _seed(random_state: Any) -> Any:
    if random_state is None or isinstance(random_state, (numbers.Integral, np.random.Generator)):
        return random_state
    return int(random_state.randint(np.iinfo(np.int32).max))


class _NetEstimator(BaseEstimator):
    _family = "gaussian"

    _parameter_constraints: Dict[str, List[Any]] = {
        "alpha": [Interval(Real, 0, None, closed="left"), None],
        "l1_ratio": [Interval(Real, 0, 1, closed="both"), "array-like"],
        "cv": ["cv_object"],
        "select": [StrOptions({"lambda_1se", "lambda_min"})],
        "measure": [StrOptions(set(get_family("gaussian").measures))],
        "nlambda": [Interval(Integral, 1, None, closed="left")],
        "lambda_min_ratio": [Interval(Real, 0, 1, closed="neither"), None],
        "standardize": ["boolean"],
        "fit_intercept": ["boolean"],
        "penalty_factor": ["array-like", Real, dict, None],
        "lower_limits": ["array-like", Real, dict, None],
        "upper_limits": ["array-like", Real, dict, None],
        "tol": [Interval(Real, 0, None, closed="neither")],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "n_jobs": [Integral, None],
        "random_state": ["random_state", np.random.Generator],
        "solver": [StrOptions(set(_fit.SOLVERS))],
    }

    def __init__(self, alpha=None, l1_ratio=1.0, cv=5, select="lambda_1se", measure="deviance",
                 nlambda=100, lambda_min_ratio=None, standardize=True, fit_intercept=True,
                 penalty_factor=None, lower_limits=None, upper_limits=None, tol=1e-7,
                 max_iter=100000, n_jobs=None, random_state=None, solver="auto"):
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.cv = cv
        self.select = select
        self.measure = measure
        self.nlambda = nlambda
        self.lambda_min_ratio = lambda_min_ratio
        self.standardize = standardize
        self.fit_intercept = fit_intercept
        self.penalty_factor = penalty_factor
        self.lower_limits = lower_limits
        self.upper_limits = upper_limits
        self.tol = tol
        self.max_iter = max_iter
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.solver = solver

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        return tags

    # ---- fitting ----------------------------------------------------------------
    def _check_more_params(self) -> List[float]:
        """What the declared constraints cannot say; returns the mixes."""
        if self.alpha is not None and not np.isfinite(self.alpha):
            raise ValueError(f"The 'alpha' parameter must be finite or None. Got {self.alpha!r} instead.")
        if np.ndim(self.l1_ratio) == 0:
            return [float(self.l1_ratio)]
        try:
            r = np.asarray(self.l1_ratio, dtype=np.float64)
        except (TypeError, ValueError):
            r = None
        if r is None or r.ndim != 1 or r.size == 0 or not ((r >= 0) & (r <= 1)).all():
            raise ValueError("The 'l1_ratio' parameter must be a float in [0, 1] or a non-empty "
                             f"list of them. Got {self.l1_ratio!r} instead.")
        return [float(v) for v in r]

    def _validate_xy(self, X, y):
        return validate_data(self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64, y_numeric=True)

    def _split(self, source: Any, X: Any, y: Any, groups: Any) -> None:
        """The folds of ``cv`` on the source's rows."""
        cv = 5 if self.cv is None else self.cv
        if isinstance(cv, numbers.Integral):
            if groups is not None:
                raise ValueError("groups are only used by a cv splitter that takes them (such as "
                                 f"GroupKFold); cv={cv} draws random folds")
            n = source.n_samples
            if n < cv:
                raise ValueError(f"cannot cross-validate with cv={cv} folds on n_samples={n}")
            source.split(nfolds=int(cv), seed=_seed(self.random_state))
        else:  # a splitter's splits are drawn only when the rows are in memory
            source.split(splits=cv.split(X, y, groups) if hasattr(cv, "split") else cv, what="cv")

    def _problem_in_memory(self, X, y, sample_weight, offset):
        """The problem of rows in memory, validated as scikit-learn does, and
        the validated X and y."""
        for arg, what in ((X, "X"), (y, "y"), (sample_weight, "sample_weight"), (offset, "offset")):
            refuse_lazy(arg, what)
        names = column_labels(X)  # for the settings labelled by feature name
        X, y = self._validate_xy(X, y)
        weights = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
            if not (weights > 0).any():
                raise ValueError("sample_weight is zero everywhere; at least one weight must be positive")
        family = get_family(self._fit_family())
        family.check_measure(self.measure)
        problem = _fit.prepare(X, y, family, dict(self._path_options(weights), feature_names=names),
                               offset)
        return problem, X, y

    def fit(self, X, y, sample_weight=None, offset=None, groups=None):
        """Fit the model, choosing ``alpha`` and/or ``l1_ratio`` by
        cross-validation when they are not given.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative observation weights, used in the fits and in the
            cross-validation measure.
        offset : array-like of shape (n_samples,), optional
            A known part of every linear predictor (for a Poisson rate, the
            log exposure; (n_samples, K) for a classifier of K > 2 classes);
            give the new samples' offsets to ``predict`` and ``score``.
        groups : array-like of shape (n_samples,), optional
            Group labels passed to the ``split`` method of a ``cv`` splitter
            (such as ``GroupKFold``).

        Returns
        -------
        self
            The fitted estimator.

        Raises
        ------
        ValueError
            For a parameter or an input out of its range, named in the
            message (a ``TypeError`` for a wrong type).

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> model = varnel.ElasticNetRegressor(l1_ratio=[0.5, 1.0], random_state=0)
        >>> model.fit(data.X, data.y).l1_ratio_ in (0.5, 1.0)
        True
        """
        self._validate_params()
        mixes = self._check_more_params()
        kind = _sources.rows_of(X, y, sample_weight, offset)
        source, X, y = kind.for_estimator(self, X, y, sample_weight, offset)
        family = source.family
        a = None if self.alpha is None else float(self.alpha)
        validate = a is None or len(mixes) > 1
        if validate:
            self._split(source, X, y, groups)
        scale = source.response_scale(self.fit_intercept)
        maps = [family.penalty_map(r, scale) for r in mixes]  # each mix's on all the data
        mix_options = self._mix_options(source.solver_options, maps, a)

        def fold_options(m: int, k: int, so: Dict[str, Any]) -> Dict[str, Any]:
            # Every fold solves the same (alpha, l1_ratio) problem on its own
            # rows, so its solver parameters follow its own response scale.
            fold = family.penalty_map(mixes[m], source.response_scale(self.fit_intercept, k))
            return dict(so, alpha=fold.mix, user_lambda=so["user_lambda"] * (fold.factor / maps[m].factor))

        if validate:
            cvp = cross_validate(source, self.measure, mix_options, n_jobs=self.n_jobs,
                                 fold_options=fold_options, category=PathConvergenceWarning,
                                 stacklevel=3, all_by_default=False,
                                 option_names={"maxit": "max_iter"})
            m = int(np.flatnonzero(cvp.alphas == cvp.alpha)[0])
            path, lam = cvp.path, getattr(cvp, self.select)
        else:
            # One penalty cut short by max_iter keeps the solver's last
            # iterate, as scikit-learn's estimators do, with a warning.
            m, cvp, so = 0, None, mix_options[0]
            path, lam = self._one_penalty(source.fit(so, with_iterate=True), source, so)
            path.npasses_data = source.npasses_data
        return self._finish(path, lam, mixes[m], maps[m], a, cvp)

    def _path_options(self, weights: Any) -> Dict[str, Any]:
        """The options of fit_path these parameters stand for."""
        return dict(nlambda=self.nlambda, lambda_min_ratio=self.lambda_min_ratio,
                    standardize=self.standardize, intercept=self.fit_intercept,
                    penalty_factor=self.penalty_factor, lower_limits=self.lower_limits,
                    upper_limits=self.upper_limits, thresh=self.tol, maxit=self.max_iter,
                    weights=weights, solver=self.solver, **self._family_options())

    @staticmethod
    def _mix_options(solver_options: Dict[str, Any], maps: List[Any], a: Optional[float]
                     ) -> List[Dict[str, Any]]:
        """Each mix's solver options on all the data (its one lambda when
        ``a`` is given)."""
        out = []
        for pm in maps:
            so = dict(solver_options, alpha=pm.mix)
            if a is not None:
                so["user_lambda"] = np.array([a * pm.factor])
            out.append(so)
        return out

    def _one_penalty(self, solution: Any, meta: Any, so: Dict[str, Any], stacklevel: int = 3):
        """The path of a single penalty (the solver's last iterate when
        max_iter cut it short, with a warning; ``stacklevel`` from here) and
        its lambda."""
        path = Path.from_solution(solution, meta, so["alpha"])
        warn_bound(solution, path, stacklevel + 1)
        if path.warning is not None:
            warnings.warn(f"the solver hit max_iter={self.max_iter} passes before it converged; "
                          "the coefficients are its last iterate (raise max_iter or tol) "
                          f"[{path.warning[0]}]", PathConvergenceWarning, stacklevel=stacklevel)
        if path.n_lambdas == 0:
            raise ValueError(f"the solver stopped before its first solution (max_iter={self.max_iter}); "
                             "raise max_iter or tol")
        return path, float(path.lambdas[0])

    def _finish(self, path: Path, lam: float, r: float, pmap: Any, a: Optional[float], cvp: Any):
        """The fitted attributes, from the chosen mix's path and lambda."""
        if hasattr(self, "feature_names_in_"):
            path.feature_names = [str(c) for c in self.feature_names_in_]
        self.cv_ = cvp
        self.path_ = path
        self.lambda_ = float(lam)
        self.l1_ratio_ = r
        self.alpha_ = a if a is not None else float(lam / pmap.factor)
        self.n_iter_ = path.npasses
        self._set_coef(path.coef(lam), path.intercept(lam))
        return self

    def _fit_family(self) -> str:
        return self._family

    def _family_options(self) -> Dict[str, Any]:
        """The family's own options (fit_path's ``ties``, ``standardize_response``)."""
        return {}

    def _set_coef(self, coef, intercept):
        self.coef_ = coef
        self.intercept_ = float(intercept)

    def _predict(self, X, kind, offset=None):
        """The predictions of ``kind`` ("link", "response", "class") where
        the rows are (lazily for a Dask collection)."""
        check_is_fitted(self)
        return _sources.rows_of(X, offset).predict_for(self, X, kind, offset)

    def _link(self, X, offset=None):
        return self._predict(X, "link", offset)

    def _predict_in_memory(self, X, kind, offset=None):
        """The linear predictor of rows in memory (``kind`` "link")."""
        X = validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64, reset=False)
        eta = np.asarray(X @ np.ravel(self.coef_)).reshape(-1) + float(np.ravel(self.intercept_)[0])
        off = as_offset(offset, (X.shape[0],))
        return eta if off is None else eta + off


#: The estimators' base and the parameters' documentation, for the
#: estimators of other modules (varnel.generalized, varnel.survival,
#: varnel.multitask).
NetEstimator = _NetEstimator
PARAMS_DOC = _PARAMS_DOC


class ElasticNetRegressor(RegressorMixin, _NetEstimator):
    __doc__ = ("Elastic-net linear regression; the penalty strength is chosen by\n"
               "    cross-validation unless ``alpha`` is given.\n" + _OBJECTIVE["gaussian"]
               + _PARAMS_DOC + """
    Examples
    --------
    >>> import numpy as np
    >>> from varnel import ElasticNetRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((60, 4)); y = 2 * X[:, 0] + rng.standard_normal(60)
    >>> model = ElasticNetRegressor(random_state=0).fit(X, y)
    >>> model.coef_.shape
    (4,)
""")

    _family = "gaussian"

    def predict(self, X, offset=None):
        """Predicted means, ``offset + intercept_ + X @ coef_``.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples,)
            The predictions.

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> model = varnel.ElasticNetRegressor(alpha=0.05).fit(data.X, data.y)
        >>> model.predict(data.X[:4]).shape
        (4,)
        """
        return self._link(X, offset)

    def score(self, X, y, sample_weight=None, offset=None):
        """R², the coefficient of determination of ``predict(X, offset)``.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,)
            The true targets.
        sample_weight : array-like of shape (n_samples,), optional
            Weights of the samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        float
            R² (1 is perfect).

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> model = varnel.ElasticNetRegressor(alpha=0.05).fit(data.X, data.y)
        >>> 0 < model.score(data.X, data.y) <= 1
        True
        """
        return float(r2_score(y, self.predict(X, offset), sample_weight=sample_weight))


class PoissonNetRegressor(RegressorMixin, _NetEstimator):
    __doc__ = ("Elastic-net Poisson regression (log link) for non-negative counts; the\n"
               "    penalty strength is chosen by cross-validation unless ``alpha`` is given.\n"
               + _OBJECTIVE["poisson"] + _PARAMS_DOC + """
    Examples
    --------
    >>> import numpy as np
    >>> from varnel import PoissonNetRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((200, 4)); exposure = rng.uniform(0.5, 2, 200)
    >>> counts = rng.poisson(exposure * np.exp(0.4 * X[:, 0]))
    >>> model = PoissonNetRegressor(random_state=0).fit(X, counts, offset=np.log(exposure))
    >>> model.predict(X[:2], offset=np.log(exposure[:2])).shape
    (2,)
""")

    _family = "poisson"
    _parameter_constraints = {**_NetEstimator._parameter_constraints,
                              "measure": [StrOptions(set(get_family("poisson").measures))]}

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.positive_only = True
        return tags

    def _validate_xy(self, X, y):
        X, y = super()._validate_xy(X, y)
        if (y < 0).any():
            raise ValueError("PoissonNetRegressor needs non-negative targets y")
        return X, y

    def predict(self, X, offset=None):
        """Predicted means, ``exp(offset + intercept_ + X @ coef_)``.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples,)
            The expected counts.

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.normal(size=(200, 3))
        >>> counts = rng.poisson(np.exp(0.5 * X[:, 0]))
        >>> model = varnel.PoissonNetRegressor(alpha=0.01).fit(X, counts)
        >>> bool((model.predict(X[:4]) > 0).all())
        True
        """
        return np.exp(self._link(X, offset))

    def score(self, X, y, sample_weight=None, offset=None):
        """D², the fraction of Poisson deviance explained by ``predict(X,
        offset)`` (1 is perfect).

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,)
            The true targets.
        sample_weight : array-like of shape (n_samples,), optional
            Weights of the samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        float
            D².

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.normal(size=(200, 3))
        >>> counts = rng.poisson(np.exp(0.5 * X[:, 0]))
        >>> model = varnel.PoissonNetRegressor(alpha=0.01).fit(X, counts)
        >>> 0 < model.score(X, counts) < 1
        True
        """
        mu = self.predict(X, offset)
        y = column_or_1d(check_array(y, ensure_2d=False, dtype=np.float64, input_name="y"), warn=True)
        check_consistent_length(mu, y)
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, y, dtype=np.float64, ensure_non_negative=True)
        return float(d2_tweedie_score(y, mu, sample_weight=sample_weight, power=1))


class LogisticNetClassifier(ClassifierMixin, _NetEstimator):
    __doc__ = ("Elastic-net logistic regression, two-class or multinomial; the penalty\n"
               "    strength is chosen by cross-validation unless ``alpha`` is given.\n"
               + _OBJECTIVE["logistic"] + _PARAMS_DOC + """
    classes_ : ndarray of shape (K,)
        The labels, sorted; with two, ``classes_[1]`` is the positive class.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel import LogisticNetClassifier
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((120, 4))
    >>> y = np.array(["a", "b", "c"])[np.argmax(X[:, :3] + rng.gumbel(size=(120, 3)), axis=1)]
    >>> model = LogisticNetClassifier(l1_ratio=0.5, random_state=0).fit(X, y)
    >>> model.classes_.tolist(), model.predict_proba(X[:2]).shape
    (['a', 'b', 'c'], (2, 3))
""")

    _family = "logistic"
    _parameter_constraints = {**_NetEstimator._parameter_constraints,
                              "measure": [StrOptions(set(get_family("logistic").measures))]}

    def _fit_family(self) -> str:
        return "logistic" if len(self.classes_) == 2 else "multinomial"

    def _validate_xy(self, X, y):
        X, y = validate_data(self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64)
        check_classification_targets(y)
        self.classes_ = np.unique(y)
        if len(self.classes_) < 2:
            raise ValueError("the classifier needs at least two classes in y, found "
                             f"{len(self.classes_)} class")
        return X, y

    def _set_coef(self, coef, intercept):
        # (p,) and a float for two classes; (p, K) and (K,) for K
        self.coef_ = np.asarray(coef, dtype=np.float64).T.reshape(-1, np.shape(coef)[0])
        self.intercept_ = np.atleast_1d(np.asarray(intercept, dtype=np.float64))

    def _predict_in_memory(self, X, kind, offset=None):
        if len(self.classes_) == 2:
            eta = super()._predict_in_memory(X, "link", offset)
        else:
            X = validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64, reset=False)
            eta = np.asarray(X @ self.coef_.T) + self.intercept_
            off = as_offset(offset, (X.shape[0], len(self.classes_)))
            eta = eta if off is None else eta + off
        if kind == "link":
            return eta
        if kind == "response":  # one column of probabilities for two classes, as on Dask
            return get_family("multinomial" if eta.ndim == 2 else "logistic").inverse_link(eta)
        if eta.ndim == 2:
            return self.classes_[np.argmax(eta, axis=1)]
        return self.classes_[(eta > 0).astype(np.intp)]

    def decision_function(self, X, offset=None):
        """Linear predictor: the log-odds of ``classes_[1]`` for two classes,
        shape (n_samples,); one column per class otherwise, (n_samples, K).

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples,) or (n_samples, K)
            The linear predictors.

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> labels = np.where(data.y > np.median(data.y), "high", "low")
        >>> model = varnel.LogisticNetClassifier(alpha=0.01).fit(data.X, labels)
        >>> model.decision_function(data.X[:3]).shape
        (3,)
        """
        return self._link(X, offset)

    def predict_proba(self, X, offset=None):
        """Class probabilities, shape (n_samples, K), columns in ``classes_`` order.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples, K)
            Rows summing to 1 (a Dask array for Dask input).

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> labels = np.where(data.y > np.median(data.y), "high", "low")
        >>> model = varnel.LogisticNetClassifier(alpha=0.01).fit(data.X, labels)
        >>> proba = model.predict_proba(data.X[:3])
        >>> proba.shape, bool(np.allclose(proba.sum(axis=1), 1))
        ((3, 2), True)
        """
        p = self._predict(X, "response", offset)
        # two classes: (1 - p, p), as arithmetic that a Dask array keeps lazy
        return p if p.ndim == 2 else p[:, None] * np.array([-1.0, 1.0]) + np.array([1.0, 0.0])

    def predict_log_proba(self, X, offset=None):
        """Logarithm of :meth:`predict_proba`.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples, K)
            The log-probabilities.

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> labels = np.where(data.y > np.median(data.y), "high", "low")
        >>> model = varnel.LogisticNetClassifier(alpha=0.01).fit(data.X, labels)
        >>> bool(np.allclose(np.exp(model.predict_log_proba(data.X[:3])), model.predict_proba(data.X[:3])))
        True
        """
        eta = self._link(X, offset)
        if eta.ndim == 2:
            return eta - np.logaddexp.reduce(eta, axis=1, keepdims=True)
        return np.column_stack([-np.logaddexp(0.0, eta), -np.logaddexp(0.0, -eta)])

    def predict(self, X, offset=None):
        """The most probable label.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples,)
            Labels from ``classes_``.

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> labels = np.where(data.y > np.median(data.y), "high", "low")
        >>> model = varnel.LogisticNetClassifier(alpha=0.01).fit(data.X, labels)
        >>> set(model.predict(data.X)) <= {"high", "low"}
        True
        """
        return self._predict(X, "class", offset)

    def score(self, X, y, sample_weight=None, offset=None):
        """The (weighted) fraction of ``predict(X, offset)`` that is right.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,)
            The true labels.
        sample_weight : array-like of shape (n_samples,), optional
            Weights of the samples.
        offset : array-like of shape (n_samples,), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        float
            The accuracy.

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> labels = np.where(data.y > np.median(data.y), "high", "low")
        >>> model = varnel.LogisticNetClassifier(alpha=0.01).fit(data.X, labels)
        >>> model.score(data.X, labels) > 0.5
        True
        """
        return float(accuracy_score(y, self.predict(X, offset), sample_weight=sample_weight))
