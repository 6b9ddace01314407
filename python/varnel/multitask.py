"""Multi-response elastic-net regression as a scikit-learn estimator.

This module imports scikit-learn (``pip install 'varnel[sklearn]'``).
"""

from __future__ import annotations

from typing import Any, Dict

import numpy as np
from sklearn.base import RegressorMixin
from sklearn.metrics import r2_score
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.validation import validate_data

from ._convert import as_offset
from .estimators import PARAMS_DOC, NetEstimator
from .families import get_family

__all__ = ["MultiTaskNetRegressor"]


class MultiTaskNetRegressor(RegressorMixin, NetEstimator):
    __doc__ = ("Multi-response elastic-net linear regression, variables selected jointly for\n"
               "    every response; the penalty strength is chosen by cross-validation unless\n"
               "    ``alpha`` is given.\n" + """
    With ``alpha=a`` and ``l1_ratio=r`` the coefficients W (n_targets x
    n_features) minimise, as in :class:`sklearn.linear_model.MultiTaskElasticNet`::

        1/(2 n) ||Y - X W' - b0||_F^2 + a r sum_j ||W_.j||_2 + a (1 - r)/2 ||W||_F^2

    (with ``sample_weight``, the squared errors of each sample are weighted
    by its weight divided by their mean).  With ``standardize=True`` (the
    default) X stands for the standardized features and ``coef_`` is on the
    original scale; ``standardize_response=True`` scales each response to
    unit variance first, which changes the objective (each response then
    weighs the same).  ``measure`` is "deviance" (the sum of squared errors
    over the responses), "mse" or "mae" (their means over the responses).
""" + PARAMS_DOC.replace("""    solver : {"auto", "naive", "covariance"}, default "auto"
        How least squares is solved (see :func:`varnel.fit_path`); the other
        families always use "naive".
""", """    solver : {"auto", "naive", "covariance"}, default "auto"
        How least squares is solved (see :func:`varnel.fit_path`); the
        covariance solver forms the features' products once for every
        response.
    standardize_response : bool, default False
        Scale each response to unit weighted variance before fitting.
""") + """
    Examples
    --------
    >>> import numpy as np
    >>> from varnel.multitask import MultiTaskNetRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((60, 4)); Y = X[:, :1] * [1.0, -2.0] + rng.standard_normal((60, 2))
    >>> MultiTaskNetRegressor(alpha=0.1).fit(X, Y).coef_.shape
    (2, 4)
""")

    _family = "multitask"
    _parameter_constraints = {**NetEstimator._parameter_constraints,
                              "measure": [StrOptions(set(get_family("multitask").measures))],
                              "standardize_response": ["boolean"]}

    def __init__(self, alpha=None, l1_ratio=1.0, cv=5, select="lambda_1se", measure="deviance",
                 nlambda=100, lambda_min_ratio=None, standardize=True, fit_intercept=True,
                 penalty_factor=None, lower_limits=None, upper_limits=None, tol=1e-7,
                 max_iter=100000, n_jobs=None, random_state=None, solver="auto",
                 standardize_response=False):
        super().__init__(alpha=alpha, l1_ratio=l1_ratio, cv=cv, select=select, measure=measure,
                         nlambda=nlambda, lambda_min_ratio=lambda_min_ratio, standardize=standardize,
                         fit_intercept=fit_intercept, penalty_factor=penalty_factor,
                         lower_limits=lower_limits, upper_limits=upper_limits, tol=tol,
                         max_iter=max_iter, n_jobs=n_jobs, random_state=random_state, solver=solver)
        self.standardize_response = standardize_response

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        tags.target_tags.single_output = False
        return tags

    def _family_options(self) -> Dict[str, Any]:
        return {"standardize_response": self.standardize_response}

    def _validate_xy(self, X, y):
        X, y = validate_data(self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64,
                             multi_output=True, y_numeric=True)
        if y.ndim != 2:
            raise ValueError(f"MultiTaskNetRegressor needs a 2-D y of shape (n_samples, n_targets), got "
                             f"shape {y.shape}; use ElasticNetRegressor for one response")
        return X, y

    def _set_coef(self, coef, intercept):
        # (n_features, K) and (K,) from the path; (K, n_features) as scikit-learn has it
        self.coef_ = np.ascontiguousarray(np.asarray(coef, dtype=np.float64).T)
        self.intercept_ = np.asarray(intercept, dtype=np.float64)

    def _predict_in_memory(self, X, kind, offset=None):
        X = validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64, reset=False)
        eta = np.asarray(X @ self.coef_.T) + self.intercept_
        off = as_offset(offset, eta.shape, "response")
        return eta if off is None else eta + off

    def predict(self, X, offset=None):
        """Predicted responses, ``offset + intercept_ + X @ coef_.T``, shape
        (n_samples, n_targets).

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        offset : array-like of shape (n_samples, n_targets), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        ndarray of shape (n_samples, n_targets)
            The predictions.

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.normal(size=(100, 5))
        >>> Y = X[:, :2] @ [[1.0, 2.0], [-1.0, 0.5]] + rng.normal(size=(100, 2))
        >>> model = varnel.MultiTaskNetRegressor(alpha=0.05).fit(X, Y)
        >>> model.predict(X[:3]).shape
        (3, 2)
        """
        return self._link(X, offset)

    def score(self, X, y, sample_weight=None, offset=None):
        """R² of ``predict(X, offset)``, averaged over the targets.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples, n_targets)
            The true targets.
        sample_weight : array-like of shape (n_samples,), optional
            Weights of the samples.
        offset : array-like of shape (n_samples, n_targets), optional
            The samples' offsets, as given to ``fit``.

        Returns
        -------
        float
            The mean R².

        Examples
        --------
        >>> import numpy as np
        >>> import varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.normal(size=(100, 5))
        >>> Y = X[:, :2] @ [[1.0, 2.0], [-1.0, 0.5]] + rng.normal(size=(100, 2))
        >>> model = varnel.MultiTaskNetRegressor(alpha=0.05).fit(X, Y)
        >>> 0 < model.score(X, Y) <= 1
        True
        """
        return float(r2_score(y, self.predict(X, offset), sample_weight=sample_weight))
