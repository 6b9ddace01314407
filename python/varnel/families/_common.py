"""Least squares, Huber's robust regression, Poisson counts and the class
families (two classes with any of their links, K classes).
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from .. import _convert
from ._base import PenaltyMap, _xlogy, weighted_auc, _per_row, Family


class Gaussian(Family):
    """Least squares (identity link, the default) or a normal response with
    a log link or an inverse link (mean ``1 / eta``: its predictors keep
    one sign, that of the data's mean); the deviance is the squared error.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> data = varnel.load_demo()
    >>> path = varnel.fit_path(data.X, data.y, families.Gaussian())
    >>> path.family
    'gaussian'
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(200, 3)); y = 1 / (0.5 + 0.1 * X[:, 0]) + 0.1 * rng.normal(size=200)
    >>> varnel.fit_path(X, y, families.Gaussian(link="inverse")).family_instance
    Gaussian(link='inverse')
    """

    name = "gaussian"
    aliases = ("normal",)
    solver_name = "gaussian"
    deviance_label = "Mean-squared error"
    links = ("identity", "log", "inverse")
    sums_blocks = True

    @property
    def least_squares(self) -> bool:
        return self.link == "identity"

    @_per_row
    def unit_deviance(self, y, eta):
        """The squared error ``(y - mu)^2`` of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            The response.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian
        >>> Gaussian().unit_deviance(np.array([1.0, 2.0]), np.array([0.5, 2.0]))
        array([0.25, 0.  ])
        """
        r = y[:, None] - self.inverse_link(eta)
        return r * r

    def loss_conjugate(self, y, u):
        """``u^2 / 2 + u y``, the conjugate of ``(y - t)^2 / 2`` (identity
        link; None under the others)."""
        if self.link != "identity":
            return None
        return 0.5 * u * u + u * y

    def response_scale(self, y, weights, intercept, offset):
        """The solver works on ``y - offset`` divided by its weighted standard
        deviation (its root mean square without an intercept), weights
        summing to 1; 1 stands in for 0, which the solver refuses on its own.
        With the log link the response stays as it is (1)."""
        if self.link != "identity":
            return 1.0
        fitted = y if offset is None else y - offset
        wn = np.full(fitted.shape[0], 1.0 / fitted.shape[0]) if weights is None else weights / weights.sum()
        c = wn @ fitted if intercept else 0.0
        s = float(np.sqrt(wn @ (fitted - c) ** 2))
        return s if s > 0 and np.isfinite(s) else 1.0

    def objective_scales(self, y, weights, intercept, offset):
        """The ridge term of least squares is divided by the response scale
        (see :meth:`response_scale`); y keeps its own scale."""
        return 1.0, self.response_scale(y, weights, intercept, offset)

    def response_scale_of_moments(self, mean, var, intercept):
        if self.link != "identity":
            return 1.0
        s = float(np.sqrt(var if intercept else var + mean * mean))
        return s if s > 0 and np.isfinite(s) else 1.0

    def penalty_map(self, l1_ratio, scale):
        """Dividing y by ``s`` divides the ridge term by ``s``, so
        ``a r |b|_1 + a (1-r)/2 |b|^2 = lambda (mix |b|_1 + (1-mix)/(2 s) |b|^2)``
        for ``lambda = a (r + (1-r) s)`` and ``mix = r / (r + (1-r) s)``."""
        if self.link != "identity":
            return super().penalty_map(l1_ratio, scale)
        factor = l1_ratio + (1.0 - l1_ratio) * scale
        return PenaltyMap(factor, l1_ratio / factor if l1_ratio > 0 else 0.0)


class Huber(Family):
    """Huber's robust regression: per row the loss ``r^2 / 2`` of the
    residual ``r = y - eta`` for ``|r| <= delta`` and ``delta |r| - delta^2 / 2``
    beyond (identity link), so that gross errors in y pull the fit far less
    than under least squares; the deviance is twice the loss.  ``delta``
    (positive, default 1.35) is on the scale of y: 1.35 keeps 95% of least
    squares' efficiency under normal errors of unit variance.

    The fit reweights by iteratively reweighted least squares (working
    weights ``min(1, delta / |r|)``), each step lowering the penalized
    objective.  Fits from the statistics of row blocks (the Dask route)
    do not serve it.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(200, 3))
    >>> y = X[:, 0] + rng.standard_t(2, size=200)
    >>> path = varnel.fit_path(X, y, families.Huber(delta=1.0))
    >>> path.family_instance
    Huber(delta=1.0)
    >>> families.get_family("huber:2")
    Huber(delta=2.0)
    """

    name = "huber"
    solver_name = "huber"
    deviance_label = "Huber deviance"
    parameter = "delta"
    parameter_examples = (1.35, 0.5)
    blocks_refused_because = ("its fits from row blocks are not implemented; the robust loss is "
                              "per row, but the block passes carry no delta")

    def __init__(self, delta: float = 1.35, link: Optional[str] = None) -> None:
        value = _convert.as_float(delta, "delta")
        if not (value > 0 and np.isfinite(value)):
            raise ValueError(f"delta must be positive and finite for the huber family, got {delta!r}")
        self.delta = value
        super().__init__(link)

    @_per_row
    def unit_deviance(self, y, eta):
        """Twice Huber's loss of each row's residual ``r = y - eta``: ``r^2``
        for ``|r| <= delta``, ``2 delta |r| - delta^2`` beyond.

        Parameters
        ----------
        y : ndarray of shape (n,)
            The response.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Huber
        >>> Huber(1.0).unit_deviance(np.array([0.5, 3.0]), np.array([0.0, 0.0]))
        array([0.25, 5.  ])
        """
        r = np.abs(y[:, None] - eta)
        d = self.delta
        return np.where(r <= d, r * r, 2.0 * d * r - d * d)

    def loss_gradient(self, y, eta, weights):
        """``-w (y - eta)`` clipped to ``[-w delta, w delta]``: the derivative
        of Huber's loss."""
        return -weights * np.clip(y - eta, -self.delta, self.delta)


class Poisson(Family):
    """Counts: log link (the default, mean ``exp(eta)``), identity or
    square-root link.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3)); y = rng.poisson(np.exp(X[:, 0]))
    >>> varnel.fit_path(X, y, families.Poisson(link="sqrt")).family_instance
    Poisson(link='sqrt')
    """

    name = "poisson"
    solver_name = "poisson"
    sums_blocks = True
    deviance_label = "Poisson deviance"
    links = ("log", "identity", "sqrt")

    def variance(self, mu):
        return mu

    def check_values(self, y, start=0):
        if (y < 0).any():
            raise ValueError(f"the poisson family needs non-negative counts in y, but "
                             f"y[{start + int(np.argmax(y < 0))}] is {y[y < 0][0]:g}")

    @_per_row
    def unit_deviance(self, y, eta):
        """``2 (y log(y / mu) - (y - mu))`` of each row, ``mu = g^-1(eta)``
        (``y log y`` is 0 at y = 0).

        Parameters
        ----------
        y : ndarray of shape (n,)
            Non-negative counts.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Poisson
        >>> Poisson().unit_deviance(np.array([0.0, 2.0]), np.log([1.0, 2.0]))
        array([2., 0.])
        """
        yc = y[:, None]
        mu = self.inverse_link(eta)
        log_mu = eta if self.link == "log" else np.log(mu)
        ylogy = np.where(yc > 0, yc * np.log(np.where(yc > 0, yc, 1.0)), 0.0)
        return 2.0 * (ylogy - yc * log_mu - (yc - mu))


class _ClassFamily(Family):
    """A response of class labels, coded 0, ..., K - 1 in sorted order."""

    kinds = ("link", "response", "class")

    def response(self, y, n):
        arr = _convert.response_array(y, n)
        if arr.dtype.kind == "c":
            raise TypeError("y is complex")
        values, codes = np.unique(arr, return_inverse=True)
        classes = self.classes_of(values)
        if classes is None:
            out = np.ascontiguousarray(_convert.float_array(arr, "y")).reshape(-1)
            _convert.check_finite(out, "y")
            return out, None
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.float64), classes

    def classes_of(self, values: np.ndarray) -> Optional[np.ndarray]:
        """The class labels of a response whose distinct values (sorted) are
        ``values``, checked; None when the values are taken as they are."""
        self.check_classes(values)
        return values

    def check_classes(self, classes: np.ndarray) -> None:
        """A ValueError when the labels found in y do not suit the family."""
        k = classes.shape[0]
        if k < 2:
            raise ValueError(f"the {self.name} family needs at least two classes in y, found {k}")


class Binomial(_ClassFamily):
    """Two classes: logit link (the default), probit, complementary log-log
    or log (relative-risk regression: ``exp(b_j)`` is the factor by which a
    unit of x_j multiplies the probability; every mean is kept below 1);
    the second label (sorted) is coded 1.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3)); y = X[:, 0] + rng.normal(size=100) > 0
    >>> path = varnel.fit_path(X, y, families.Binomial(link="probit"))
    >>> path.family, path.classes.tolist()
    ('logistic', [False, True])
    >>> y = rng.random(100) < np.exp(-1.5 + 0.3 * X[:, 0])
    >>> risk = varnel.fit_path(X, y, families.Binomial(link="log"))
    >>> bool(risk.predict(X, s=risk.lambdas[-1], kind="response").max() < 1)
    True
    """

    name = "logistic"
    aliases = ("binomial",)
    solver_name = "binomial"
    sums_blocks = True
    measures = ("deviance", "mse", "mae", "class", "auc")
    deviance_label = "Binomial deviance"
    links = ("logit", "probit", "cloglog", "log")

    @staticmethod
    def reads_proportions(values: np.ndarray) -> bool:
        """Whether a response with these (distinct) values is a proportion of
        successes: numbers, every one in [0, 1], not only 0 and 1 (which read
        the same as labels).  Observation weights are then the trials."""
        values = np.asarray(values)
        if values.dtype.kind not in "fiu" or values.size == 0:
            return False
        with np.errstate(invalid="ignore"):
            inside = bool(np.all((values >= 0) & (values <= 1)))
        return inside and not np.all((values == 0) | (values == 1))

    def classes_of(self, values):
        """Two class labels (coded 0 and 1, the second sorted label 1), or
        None for proportions of successes in [0, 1], taken as they are."""
        return None if self.reads_proportions(values) else super().classes_of(values)

    def check_classes(self, classes):
        if classes.shape[0] != 2:
            numeric = np.asarray(classes).dtype.kind in "fiu" and classes.shape[0] > 2
            raise ValueError(
                "the logistic family needs exactly two classes in y, found "
                f"{classes.shape[0]} class(es)"
                + (f": {', '.join(map(_convert.shown_label, classes[:5]))}" if classes.shape[0] else "")
                + ("; use family='multinomial' for more" if classes.shape[0] > 2 else "")
                + ("; a numeric y is read as proportions of successes only when every value lies "
                   "in [0, 1] (with the trials as weights)" if numeric else ""))

    def fold_labels(self, y):
        # proportions are not stratified: their values are no classes
        return y if np.all((y == 0) | (y == 1)) else None

    def check_measure_of(self, measure, classes):
        if classes is None and measure in ("class", "auc"):
            raise ValueError(f"measure={measure!r} needs class labels, but y holds proportions "
                             "(values in [0, 1] other than 0 and 1); choose 'deviance', 'mse' or 'mae'")

    def _second(self, eta):
        """Where the second class is the more probable one (eta > 0 under
        the links symmetric about it)."""
        return eta > 0 if self.link in ("logit", "probit") else self.inverse_link(eta) > 0.5

    def labels(self, eta, classes):
        labels = np.asarray(classes) if classes is not None else np.array([0, 1])
        return labels[self._second(eta).astype(np.intp)]

    @_per_row
    def unit_deviance(self, y, eta):
        """``-2 (y log p + (1 - y) log(1 - p))`` of each row, ``p = g^-1(eta)``
        held within [1e-5, 1 - 1e-5].

        Parameters
        ----------
        y : ndarray of shape (n,)
            0 or 1 (the second class), or proportions in [0, 1].
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Binomial
        >>> Binomial().unit_deviance(np.array([0.0, 1.0]), np.array([0.0, 0.0])).round(4)
        array([1.3863, 1.3863])
        """
        yc = y[:, None]
        p = np.clip(self.inverse_link(eta), 1e-5, 1 - 1e-5)
        # the saturated model's log-likelihood is 0 for labels, not for proportions
        saturated = _xlogy(yc, yc) + _xlogy(1.0 - yc, 1.0 - yc)
        return 2.0 * (saturated - yc * np.log(p) - (1.0 - yc) * np.log1p(-p))

    def variance(self, mu):
        return mu * (1.0 - mu)

    def slope_over_variance(self, eta, mu):
        # the logit link's slope is the variance itself (also where mu rounds to 0 or 1)
        return np.ones_like(mu) if self.link == "logit" else super().slope_over_variance(eta, mu)

    def half_deviance(self, y, eta):
        """``-(y log p + (1 - y) log(1 - p))`` less the saturated model's,
        without holding p away from 0 and 1."""
        saturated = _xlogy(y, y) + _xlogy(1.0 - y, 1.0 - y)
        if self.link == "logit":  # log(1 + e^eta) - y eta, formed without overflow
            return np.logaddexp(0.0, eta) - y * eta + saturated
        p = self.inverse_link(eta)
        with np.errstate(divide="ignore"):
            return saturated - _xlogy(y, p) - _xlogy(1.0 - y, 1.0 - p)

    def loss_conjugate(self, y, u):
        """With ``q = u + y`` in [0, 1]: ``q log q + (1 - q) log(1 - q)``
        less the saturated model's ``y log y + (1 - y) log(1 - y)`` (logit
        link; None under the others); inf outside."""
        if self.link != "logit":
            return None
        q = u + y
        inside = (q >= -1e-12) & (q <= 1.0 + 1e-12)  # rounding of a dual point made orthogonal
        qc = np.clip(q, 0.0, 1.0)
        value = _xlogy(qc, qc) + _xlogy(1.0 - qc, 1.0 - qc) - _xlogy(y, y) - _xlogy(1.0 - y, 1.0 - y)
        return np.where(inside, value, np.inf)

    def misclassified(self, y, eta):
        return (self._second(eta) != (y[:, None] > 0.5)).astype(np.float64)

    def fold_score(self, y, w, eta, measure, training=None):
        if measure != "auc":
            return super().fold_score(y, w, eta, measure)
        if w.sum() <= 0:
            return np.full(eta.shape[-1], np.nan)
        return np.array([weighted_auc(eta[:, j], y, w) for j in range(eta.shape[1])])


class Multinomial(_ClassFamily):
    """K >= 2 classes: one linear predictor per class (the class axis comes
    after the rows), softmax probabilities.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(90, 3)); y = np.repeat(["a", "b", "c"], 30)
    >>> path = varnel.fit_path(X, y, "multinomial", nlambda=5)
    >>> path.coefs.shape[:2], path.classes.tolist()
    ((3, 3), ['a', 'b', 'c'])
    """

    name = "multinomial"
    solver_name = "multinomial"
    sums_blocks = True
    measures = ("deviance", "class", "mse", "mae")
    deviance_label = "Multinomial deviance"
    groups_coefficients = True
    own_options = ("grouped",)
    links = ("logit",)
    own_estimator = "LogisticNetClassifier"

    def offset_shape(self, n, classes):
        return (n, classes.shape[0])

    def inverse_link(self, eta):
        e = np.exp(eta - eta.max(axis=1, keepdims=True))
        return e / e.sum(axis=1, keepdims=True)

    def labels(self, eta, classes):
        return np.asarray(classes)[np.argmax(eta, axis=1)]

    def checked_rows(self, y, eta):
        """y (n,) holds class codes 0, ..., K - 1 and eta is (n, K), one
        linear predictor per class, or (n, K, L) with the lambdas last."""
        y, eta = np.asarray(y), np.asarray(eta)
        if y.ndim == 1 and eta.ndim in (2, 3) and eta.shape[0] == y.shape[0]:
            codes = y.astype(np.intp)
            if y.shape[0] and (codes.min() < 0 or codes.max() >= eta.shape[1] or (codes != y).any()):
                raise ValueError(f"the multinomial family takes y as class codes 0, ..., "
                                 f"{eta.shape[1] - 1} (one per column of eta)")
            return y, (eta[..., None] if eta.ndim == 2 else eta), eta.ndim == 2
        raise ValueError(f"the multinomial family takes y (class codes) of shape (n,) with eta of "
                         f"shape (n, K) or (n, K, L), one linear predictor per class (and lambda), "
                         f"on the same rows; got y of shape {y.shape} and eta of shape {eta.shape}")

    def losses(self, y, eta, measure):  # eta: (n, K, L); y: class codes
        measure = self.loss_measure(measure)
        y, eta, single = self.checked_rows(y, eta)
        out = self._losses(y, eta, measure)
        return out[:, 0] if single else out

    def _losses(self, y, eta, measure):
        codes = y.astype(np.intp)
        if measure == "class":
            return (np.argmax(eta, axis=1) != codes[:, None]).astype(np.float64)
        prob = self.inverse_link(eta)
        if measure == "deviance":
            mine = np.take_along_axis(prob, codes[:, None, None], axis=1)[:, 0]
            return -2.0 * np.log(np.clip(mine, 1e-5, 1.0))
        r = (codes[:, None, None] == np.arange(eta.shape[1])[None, :, None]) - prob
        return (np.abs(r) if measure == "mae" else r * r).sum(axis=1)

    @_per_row
    def unit_deviance(self, y, eta):
        """``-2 log p`` of each row, p the softmax probability of its class
        (held at 1e-5 or more).

        Parameters
        ----------
        y : ndarray of shape (n,)
            Class codes 0, ..., K - 1.
        eta : ndarray of shape (n, K) or (n, K, L)
            One linear predictor per class (and lambda) of the same rows.

        Returns
        -------
        ndarray of shape (n,) for an eta of shape (n, K), else (n, L)

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together, or y holds other than class codes.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Multinomial
        >>> Multinomial().unit_deviance(np.array([0, 2]), np.zeros((2, 3))).round(4)
        array([2.1972, 2.1972])
        """
        return self._losses(y, eta, "deviance")

    def loss_gradient(self, y, eta, weights):
        """``w_i (p_ik - [y_i = k])``, p the softmax probabilities: the
        derivative of the negative log-likelihood in every class's
        predictor."""
        onehot = (y.astype(np.intp)[:, None] == np.arange(eta.shape[1])[None, :])
        return weights[:, None] * (self.inverse_link(eta) - onehot)
