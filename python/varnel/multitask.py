"""Multi-response elastic-net regression as a scikit-learn estimator.

This module imports scikit-learn (``pip install 'varnel[sklearn]'``).
"""

from __future__ import annotations

from typing import Any, Dict

import numpy as np
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.validation import validate_data

from ._estimator_base import NetEstimator, NetRegressor, estimator_doc, keep_parameters
from .families import get_family

__all__ = ["MultiTaskNetRegressor"]


class MultiTaskNetRegressor(NetRegressor):
    __doc__ = estimator_doc(
        "Multi-response elastic-net linear regression, variables selected jointly for\n"
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
""", """\
    >>> import numpy as np
    >>> from varnel.multitask import MultiTaskNetRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((60, 4)); Y = X[:, :1] * [1.0, -2.0] + rng.standard_normal((60, 2))
    >>> MultiTaskNetRegressor(alpha=0.1).fit(X, Y).coef_.shape
    (2, 4)
""", parameters={
        "solver": """\
    solver : {"auto", "naive", "covariance"}, default "auto"
        How least squares is solved (see :func:`varnel.fit_path`); the
        covariance solver forms the features' products once for every
        response.""",
        "standardize_response": """\
    standardize_response : bool, default False
        Scale each response to unit weighted variance before fitting."""})

    _family = "multitask"
    _offset_unit = "response"
    _parameter_constraints = {**NetEstimator._parameter_constraints,
                              "measure": [StrOptions(set(get_family("multitask").measures))],
                              "standardize_response": ["boolean"]}

    def __init__(self, alpha=None, l1_ratio=1.0, cv=5, select="lambda_1se", measure="deviance",
                 nlambda=100, lambda_min_ratio=None, standardize=True, fit_intercept=True,
                 penalty_factor=None, lower_limits=None, upper_limits=None, tol=1e-7,
                 max_iter=100000, n_jobs=None, random_state=None, solver="auto",
                 standardize_response=False, verbose=0, relax=False, blend=1.0, *,
                 drop_first=False, handle_unknown="error", missing="error", feature_groups="auto", l1_within=0.0,
                 group_penalty_factor=None, group_size_weight=True):
        keep_parameters(self, locals())

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

    def _one_linear_predictor(self) -> bool:
        return False
