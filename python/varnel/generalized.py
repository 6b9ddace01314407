"""The scikit-learn estimator of every family and link:
:class:`GeneralizedNetRegressor` (``pip install 'varnel[sklearn]'``)."""

from __future__ import annotations

from typing import Any

import numpy as np
from sklearn.utils._param_validation import StrOptions

from ._estimator_base import (NetEstimator, NetRegressor, estimator_doc, keep_parameters, sample_weights,
                              scored_response)
from .families import MEASURES, Family, Gamma, InverseGaussian, NegativeBinomial, Poisson, Tweedie, get_family

__all__ = ["GeneralizedNetRegressor"]


class GeneralizedNetRegressor(NetRegressor):
    __doc__ = estimator_doc(
        "Elastic-net generalized linear model of any family and link; the penalty\n"
        "    strength is chosen by cross-validation unless ``alpha`` is given.\n" + """
    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise::

        1/(2 n) sum_i d(y_i, mu_i) + a r ||b||_1 + a (1 - r)/2 ||b||^2

    with ``mu = g^-1(X b + b0)`` and ``d`` the family's unit deviance (with
    ``sample_weight``, the deviances are weighted by the weights divided by
    their mean): the objective of glum's ``GeneralizedLinearRegressor`` with
    the same ``alpha`` and ``l1_ratio``.  For the Gaussian family with the
    identity link this is :class:`ElasticNetRegressor`'s objective, and for
    the logistic and Poisson families with their default links it is their
    mean negative log-likelihood up to a constant (so that
    ``GeneralizedNetRegressor(family="poisson")`` fits what
    :class:`PoissonNetRegressor` fits).  With ``standardize=True`` (the
    default) X stands for the standardized features, and ``coef_`` is on the
    original scale.
""", """\
    >>> import numpy as np
    >>> from varnel import GeneralizedNetRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((200, 4))
    >>> cost = rng.gamma(2.0, np.exp(0.3 * X[:, 0]))
    >>> model = GeneralizedNetRegressor(family="gamma", alpha=0.01).fit(X, cost)
    >>> model.coef_.shape, model.score(X, cost) < 1
    ((4,), True)
""", first_parameters={"family": """\
    family : str or varnel.families.Family, default "gaussian"
        The family and its link: a name (``"gamma"``, ``"tweedie:1.5"``,
        ``"negbin:2"``, ...) or an object
        (``varnel.families.Gamma(link="inverse")``).  The families with an
        estimator of their own are refused: use
        :class:`~varnel.LogisticNetClassifier` for the multinomial family,
        :class:`~varnel.CoxPHNetSurvival` for the cox family and
        :class:`~varnel.MultiTaskNetRegressor` for the multitask family."""})

    _parameter_constraints = {**NetEstimator._parameter_constraints,
                              "family": [str, Family],
                              "measure": [StrOptions(set(MEASURES))]}

    def __init__(self, family="gaussian", alpha=None, l1_ratio=1.0, cv=5, select="lambda_1se",
                 measure="deviance", nlambda=100, lambda_min_ratio=None, standardize=True,
                 fit_intercept=True, penalty_factor=None, lower_limits=None, upper_limits=None,
                 tol=1e-7, max_iter=100000, n_jobs=None, random_state=None, solver="auto",
                 verbose=0, relax=False, blend=1.0, *,
                 drop_first=False, handle_unknown="error", missing="error", feature_groups="auto", l1_within=0.0,
                 group_penalty_factor=None, group_size_weight=True):
        keep_parameters(self, locals())

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        try:
            family = get_family(self.family)
        except (TypeError, ValueError):
            return tags
        tags.target_tags.positive_only = isinstance(family, (Poisson, Gamma, InverseGaussian,
                                                             NegativeBinomial, Tweedie))
        return tags

    def _check_more_params(self):
        # before any work: a family with an estimator of its own (several
        # classes, survival times, several responses) is refused here
        get_family(self.family, estimator=type(self).__name__)
        return super()._check_more_params()

    def _fit_family(self) -> Any:
        return self.family

    def _mean(self, eta):
        return get_family(self.family).inverse_link(eta)

    def _explained(self, y, X, offset, sample_weight) -> float:
        family = get_family(self.family)
        eta = self._link(X, offset)
        y = scored_response(y, eta)
        w = sample_weights(sample_weight, y)
        coded, _ = family.response(y, y.shape[0])
        null = np.full((coded.shape[0], 1), family.link_function(np.average(coded, weights=w)))
        dev = np.average(family.unit_deviance(coded, eta[:, None])[:, 0], weights=w)
        return 1.0 - dev / np.average(family.unit_deviance(coded, null)[:, 0], weights=w)
