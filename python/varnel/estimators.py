"""scikit-learn estimators over :func:`varnel.cv_path` and :func:`varnel.fit_path`.

This module imports scikit-learn (``pip install 'varnel[sklearn]'``); the rest
of varnel does not need it.
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets, type_of_target
from sklearn.utils.validation import check_is_fitted, validate_data

from ._convert import as_weights
from .cv import cv_path
from .path import _sigmoid, fit_path

__all__ = ["ElasticNetRegressor", "LogisticNetClassifier", "PoissonNetRegressor"]

_SELECT = ("lambda_1se", "lambda_min")

_PARAMS_DOC = """
    Parameters
    ----------
    alpha : float, default 1.0
        Elastic-net mixing parameter: 1 is the lasso, 0 is ridge.
    lambda_value : float, optional
        Fit at this penalty only.  When omitted (the default) the penalty is
        chosen by cross-validation along the whole path.
    cv : int, cross-validation splitter or iterable of (train, test), default 5
        Folds for choosing the penalty: a number of random folds, or a
        scikit-learn splitter / explicit splits whose test sets partition the
        samples.
    select : {"lambda_1se", "lambda_min"}, default "lambda_1se"
        Which cross-validated penalty to use: the largest one within one
        standard error of the best, or the best one.
    measure : str, default "deviance"
        Cross-validation measure (see :func:`varnel.cv_path`).
    nlambda : int, default 100
        Length of the lambda sequence.
    lambda_min_ratio : float, optional
        Smallest lambda as a fraction of the largest.
    standardize : bool, default True
        Standardize the features internally.
    fit_intercept : bool, default True
        Fit an intercept.
    penalty_factor, lower_limits, upper_limits : array-like, optional
        Per-feature penalty factors and coefficient bounds.
    thresh : float, default 1e-7
        Convergence threshold.
    maxit : int, default 100000
        Maximum number of coordinate-descent passes.
    n_jobs : int, optional
        Folds fitted at once through joblib.
    random_state : int, RandomState or None
        Seed of the random fold assignment.

    Attributes
    ----------
    coef_ : ndarray
        Coefficients at the chosen penalty.
    intercept_ : float or ndarray
        Intercept at the chosen penalty.
    lambda_ : float
        The chosen penalty.
    path_ : varnel.Path
        The fitted path (a single lambda when ``lambda_value`` is given).
    cv_ : varnel.CVPath or None
        The cross-validation result (None when ``lambda_value`` is given).
    n_features_in_ : int
        Number of features seen in fit.
    feature_names_in_ : ndarray of str
        Feature names, when X had string column names.
"""


def _seed(random_state: Any) -> Any:
    if random_state is None or isinstance(random_state, (numbers.Integral, np.random.Generator)):
        return random_state
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(np.iinfo(np.int32).max))
    raise ValueError(f"random_state must be None, an int or a RandomState, got {random_state!r}")


def _foldid_from_splits(splits, n: int) -> np.ndarray:
    foldid = np.full(n, -1, dtype=np.intp)
    for k, (_, test) in enumerate(splits):
        test = np.asarray(test)
        if test.dtype == bool:
            test = np.flatnonzero(test)
        if (foldid[test] >= 0).any():
            raise ValueError("cv splits must have disjoint test sets (each sample in exactly one)")
        foldid[test] = k
    if (foldid < 0).any():
        raise ValueError("cv splits must cover every sample with exactly one test set")
    return foldid


class _NetEstimator(BaseEstimator):
    _family = "gaussian"

    def __init__(self, alpha=1.0, lambda_value=None, cv=5, select="lambda_1se", measure="deviance",
                 nlambda=100, lambda_min_ratio=None, standardize=True, fit_intercept=True,
                 penalty_factor=None, lower_limits=None, upper_limits=None, thresh=1e-7,
                 maxit=100000, n_jobs=None, random_state=None):
        self.alpha = alpha
        self.lambda_value = lambda_value
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
        self.thresh = thresh
        self.maxit = maxit
        self.n_jobs = n_jobs
        self.random_state = random_state

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        return tags

    # ---- fitting ----------------------------------------------------------------
    def _validate_xy(self, X, y):
        return validate_data(self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64, y_numeric=True)

    def _folds(self, X, y):
        cv = self.cv
        if isinstance(cv, numbers.Integral) and not isinstance(cv, bool):
            return int(cv), None
        if hasattr(cv, "split"):
            splits = list(cv.split(X, y))
        else:
            try:
                splits = list(cv)
            except TypeError:
                raise ValueError(f"cv must be an int, a splitter or an iterable of splits, got {cv!r}") from None
        return None, _foldid_from_splits(splits, X.shape[0])

    def fit(self, X, y, sample_weight=None):
        """Fit the path and choose the penalty.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        sample_weight : array-like of shape (n_samples,), optional
            Observation weights, used in the fits and in the cross-validation
            measure.

        Returns
        -------
        self
        """
        X, y = self._validate_xy(X, y)
        if self.select not in _SELECT:
            raise ValueError(f"select must be one of {_SELECT}, got {self.select!r}")
        weights = as_weights(sample_weight, X.shape[0])
        options = dict(alpha=self.alpha, nlambda=self.nlambda, lambda_min_ratio=self.lambda_min_ratio,
                       standardize=self.standardize, intercept=self.fit_intercept,
                       penalty_factor=self.penalty_factor, lower_limits=self.lower_limits,
                       upper_limits=self.upper_limits, thresh=self.thresh, maxit=self.maxit,
                       weights=weights)
        if self.lambda_value is None:
            nfolds, foldid = self._folds(X, y)
            if nfolds is not None and X.shape[0] < nfolds:
                raise ValueError(f"cannot cross-validate with cv={nfolds} folds on "
                                 f"n_samples={X.shape[0]}")
            cvp = cv_path(X, y, self._family, nfolds=nfolds or 10, foldid=foldid,
                          measure=self.measure, n_jobs=self.n_jobs, seed=_seed(self.random_state),
                          **options)
            self.cv_ = cvp
            self.path_ = cvp.path
            lam = getattr(cvp, self.select)
        else:
            lam = float(self.lambda_value)
            self.cv_ = None
            self.path_ = fit_path(X, y, self._family, user_lambda=[lam], **options)
        if hasattr(self, "feature_names_in_"):
            self.path_.feature_names = [str(c) for c in self.feature_names_in_]
        self.lambda_ = float(lam)
        self._set_coef(self.path_.coef(lam), self.path_.intercept(lam))
        return self

    def _set_coef(self, coef, intercept):
        self.coef_ = coef
        self.intercept_ = float(intercept)

    def _link(self, X):
        check_is_fitted(self)
        X = validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64, reset=False)
        return np.asarray(X @ np.ravel(self.coef_)).reshape(-1) + float(np.ravel(self.intercept_)[0])


class ElasticNetRegressor(RegressorMixin, _NetEstimator):
    __doc__ = ("Elastic-net linear regression, penalty chosen by cross-validation.\n"
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

    def predict(self, X):
        """Predicted means, ``intercept_ + X @ coef_``."""
        return self._link(X)


class PoissonNetRegressor(RegressorMixin, _NetEstimator):
    __doc__ = ("Elastic-net Poisson regression (log link) for non-negative counts,\n"
               "penalty chosen by cross-validation.\n" + _PARAMS_DOC)

    _family = "poisson"

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.positive_only = True
        return tags

    def _validate_xy(self, X, y):
        X, y = super()._validate_xy(X, y)
        if (y < 0).any():
            raise ValueError("PoissonNetRegressor needs non-negative targets y")
        return X, y

    def predict(self, X):
        """Predicted means, ``exp(intercept_ + X @ coef_)``."""
        return np.exp(self._link(X))

    def score(self, X, y, sample_weight=None):
        """D², the fraction of Poisson deviance explained (1 is perfect)."""
        mu = self.predict(X)
        y = np.asarray(y, dtype=np.float64).reshape(-1)
        w = np.ones_like(y) if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
        ybar = np.average(y, weights=w)

        def dev(m):
            with np.errstate(divide="ignore", invalid="ignore"):
                t = np.where(y > 0, y * np.log(np.where(y > 0, y, 1.0) / m), 0.0)
            return 2.0 * np.sum(w * (t - (y - m)))

        d0 = dev(np.full_like(y, ybar))
        return 1.0 - dev(mu) / d0 if d0 > 0 else float("nan")


class LogisticNetClassifier(ClassifierMixin, _NetEstimator):
    __doc__ = ("Elastic-net logistic regression for two classes, penalty chosen by\n"
               "cross-validation.\n" + _PARAMS_DOC + """
    classes_ : ndarray of shape (2,)
        The two labels; ``classes_[1]`` is the positive class.
""")

    _family = "logistic"

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = False
        return tags

    def _validate_xy(self, X, y):
        X, y = validate_data(self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64)
        check_classification_targets(y)
        kind = type_of_target(y, input_name="y")
        if kind != "binary":
            raise ValueError(f"Only binary classification is supported. The type of the target is {kind}.")
        self.classes_ = np.unique(y)
        return X, y

    def _set_coef(self, coef, intercept):
        self.coef_ = np.asarray(coef, dtype=np.float64).reshape(1, -1)
        self.intercept_ = np.array([float(intercept)])

    def decision_function(self, X):
        """Linear predictor (log-odds of ``classes_[1]``)."""
        return self._link(X)

    def predict_proba(self, X):
        """Class probabilities, shape (n_samples, 2), columns in ``classes_`` order."""
        p = _sigmoid(self._link(X))
        return np.column_stack([1.0 - p, p])

    def predict_log_proba(self, X):
        """Logarithm of :meth:`predict_proba`."""
        eta = self._link(X)
        return np.column_stack([-np.logaddexp(0.0, eta), -np.logaddexp(0.0, -eta)])

    def predict(self, X):
        """The more probable label."""
        eta = self._link(X)
        return self.classes_[(eta > 0).astype(np.intp)]
