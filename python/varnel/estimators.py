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

import numpy as np
from sklearn.base import ClassifierMixin
from sklearn.metrics import accuracy_score, d2_tweedie_score
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import validate_data

from ._docstrings import filled
from ._estimator_base import (PASSAGES, NetEstimator, NetRegressor, PathConvergenceWarning,
                              estimator_doc, sample_weights, scored_response)
from .families import get_family

__all__ = ["ElasticNetRegressor", "LogisticNetClassifier", "PoissonNetRegressor",
           "PathConvergenceWarning"]


#: The estimators' descriptions: what they fit and the objective they minimise.
_DESCRIPTION = {
    "gaussian": """Elastic-net linear regression; the penalty strength is chosen by
    cross-validation unless ``alpha`` is given.

    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise, as in
    :class:`sklearn.linear_model.ElasticNet`::

        1/(2 n) ||y - X b - b0||^2 + a r ||b||_1 + a (1 - r)/2 ||b||^2

    (with ``sample_weight``, the squared errors are weighted by the weights
    divided by their mean).  With ``standardize=True`` (the default) X here
    stands for the features divided by their (weighted, population) standard
    deviations, and ``coef_`` is reported on the original scale.
""",
    "logistic": """Elastic-net logistic regression, two-class or multinomial; the penalty
    strength is chosen by cross-validation unless ``alpha`` is given.

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
    "poisson": """Elastic-net Poisson regression (log link) for non-negative counts; the
    penalty strength is chosen by cross-validation unless ``alpha`` is given.

    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise::

        1/n sum_i [exp(eta_i) - y_i eta_i] + a r ||b||_1 + a (1 - r)/2 ||b||^2

    with ``eta = X b + b0`` (the mean half Poisson deviance up to a constant,
    as in :class:`sklearn.linear_model.PoissonRegressor`, which has the ridge
    term only).  Weights and ``standardize`` work as for
    :class:`ElasticNetRegressor`.
""",
}


class ElasticNetRegressor(NetRegressor):
    __doc__ = estimator_doc(_DESCRIPTION["gaussian"], """\
    >>> import numpy as np
    >>> from varnel import ElasticNetRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((60, 4)); y = 2 * X[:, 0] + rng.standard_normal(60)
    >>> model = ElasticNetRegressor(random_state=0).fit(X, y)
    >>> model.coef_.shape
    (4,)
""")

    _family = "gaussian"


class PoissonNetRegressor(NetRegressor):
    __doc__ = estimator_doc(_DESCRIPTION["poisson"], """\
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
    _parameter_constraints = {**NetEstimator._parameter_constraints,
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

    def _mean(self, eta):
        return np.exp(eta)

    def _explained(self, y, X, offset, sample_weight) -> float:
        mu = self.predict(X, offset)
        y = scored_response(y, mu)
        return d2_tweedie_score(y, mu, sample_weight=sample_weights(sample_weight, y), power=1)


# the model of the classifier's method examples: two labels of the demo data
_CLASSIFIER_EXAMPLE = """
    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> labels = np.where(data.y > np.median(data.y), "high", "low")
    >>> model = varnel.LogisticNetClassifier(alpha=0.01).fit(data.X, labels)
    """


@filled(**PASSAGES, classifier_example=_CLASSIFIER_EXAMPLE)
class LogisticNetClassifier(ClassifierMixin, NetEstimator):
    __doc__ = estimator_doc(_DESCRIPTION["logistic"], """\
    >>> import numpy as np
    >>> from varnel import LogisticNetClassifier
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((120, 4))
    >>> y = np.array(["a", "b", "c"])[np.argmax(X[:, :3] + rng.gumbel(size=(120, 3)), axis=1)]
    >>> model = LogisticNetClassifier(l1_ratio=0.5, random_state=0).fit(X, y)
    >>> model.classes_.tolist(), model.predict_proba(X[:2]).shape
    (['a', 'b', 'c'], (2, 3))
""", attributes={"classes_": """\
    classes_ : ndarray of shape (K,)
        The labels, sorted; with two, ``classes_[1]`` is the positive class."""})

    _family = "logistic"
    _parameter_constraints = {**NetEstimator._parameter_constraints,
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

    def _one_linear_predictor(self) -> bool:
        return len(self.classes_) == 2

    def _predict_in_memory(self, X, kind, offset=None):
        eta = super()._predict_in_memory(X, "link", offset)
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

        {predict_parameters}

        Returns
        -------
        ndarray of shape (n_samples,) or (n_samples, K)
            The linear predictors.

        {classifier_example}
        >>> model.decision_function(data.X[:3]).shape
        (3,)
        """
        return self._link(X, offset)

    def predict_proba(self, X, offset=None):
        """Class probabilities, shape (n_samples, K), columns in ``classes_`` order.

        {predict_parameters}

        Returns
        -------
        ndarray of shape (n_samples, K)
            Rows summing to 1 (a Dask array for Dask input).

        {classifier_example}
        >>> proba = model.predict_proba(data.X[:3])
        >>> proba.shape, bool(np.allclose(proba.sum(axis=1), 1))
        ((3, 2), True)
        """
        p = self._predict(X, "response", offset)
        # two classes: (1 - p, p), as arithmetic that a Dask array keeps lazy
        return p if p.ndim == 2 else p[:, None] * np.array([-1.0, 1.0]) + np.array([1.0, 0.0])

    def predict_log_proba(self, X, offset=None):
        """Logarithm of :meth:`predict_proba`.

        {predict_parameters}

        Returns
        -------
        ndarray of shape (n_samples, K)
            The log-probabilities.

        {classifier_example}
        >>> bool(np.allclose(np.exp(model.predict_log_proba(data.X[:3])), model.predict_proba(data.X[:3])))
        True
        """
        eta = self._link(X, offset)
        if eta.ndim == 2:
            return eta - np.logaddexp.reduce(eta, axis=1, keepdims=True)
        return np.column_stack([-np.logaddexp(0.0, eta), -np.logaddexp(0.0, -eta)])

    def predict(self, X, offset=None):
        """The most probable label.

        {predict_parameters}

        Returns
        -------
        ndarray of shape (n_samples,)
            Labels from ``classes_``.

        {classifier_example}
        >>> set(model.predict(data.X)) <= {"high", "low"}
        True
        """
        return self._predict(X, "class", offset)

    def score(self, X, y, sample_weight=None, offset=None):
        """The (weighted) fraction of ``predict(X, offset)`` that is right.

        Parameters
        ----------
        {samples}
        y : array-like of shape (n_samples,)
            The true labels.
        {sample_weight}
        {offsets}

        Returns
        -------
        float
            The accuracy.

        {classifier_example}
        >>> model.score(data.X, labels) > 0.5
        True
        """
        return float(accuracy_score(y, self.predict(X, offset), sample_weight=sample_weight))
