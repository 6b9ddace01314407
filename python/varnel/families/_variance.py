"""The families by variance and link of a positive response: gamma, inverse
Gaussian, Tweedie and the negative binomial.
"""

from __future__ import annotations

from typing import ClassVar, Optional

import numpy as np

from .. import _convert
from ._base import _xlogy, _power_deviance, _per_row, Family


class _PositiveFamily(Family):
    """A family by variance and link whose response must be positive (or
    non-negative, ``zero_allowed``); log link by default."""

    links = ("log", "inverse", "identity")
    zero_allowed: ClassVar[bool] = False

    def check_values(self, y, start=0):
        bad = y < 0 if self.zero_allowed else ~(y > 0)
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(f"the {self.name} family needs {'non-negative' if self.zero_allowed else 'positive'} "
                             f"values in y, but y[{start + i}] is {y[i]:g}")


class Gamma(_PositiveFamily):
    """Positive responses with a constant coefficient of variation: variance
    mu^2; log (default), inverse or identity link.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3)); y = rng.gamma(2.0, np.exp(0.3 * X[:, 0]))
    >>> varnel.fit_path(X, y, families.Gamma(link="inverse")).family_instance
    Gamma(link='inverse')
    """

    name = "gamma"
    solver_name = "gamma"
    sums_blocks = True
    deviance_label = "Gamma deviance"

    def variance(self, mu):
        return mu * mu

    @_per_row
    def unit_deviance(self, y, eta):
        """``2 (log(mu / y) + (y - mu) / mu)`` of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Positive values.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gamma
        >>> Gamma().unit_deviance(np.array([1.0, 2.0]), np.log([1.0, 1.0])).round(4)
        array([0.    , 0.6137])
        """
        return _power_deviance(y[:, None], self.inverse_link(eta), 2)


class InverseGaussian(_PositiveFamily):
    """Positive responses with variance mu^3; log (default), inverse,
    inverse_squared or identity link.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3)); y = rng.wald(np.exp(0.2 * X[:, 0]), 2.0)
    >>> varnel.fit_path(X, y, "inverse_gaussian").family
    'inverse_gaussian'
    """

    name = "inverse_gaussian"
    solver_name = "inverse_gaussian"
    sums_blocks = True
    deviance_label = "Inverse Gaussian deviance"
    links = ("log", "inverse", "inverse_squared", "identity")

    def variance(self, mu):
        return mu ** 3

    @_per_row
    def unit_deviance(self, y, eta):
        """``(y - mu)^2 / (y mu^2)`` of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Positive values.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import InverseGaussian
        >>> InverseGaussian().unit_deviance(np.array([1.0, 2.0]), np.log([1.0, 1.0]))
        array([0. , 0.5])
        """
        return _power_deviance(y[:, None], self.inverse_link(eta), 3)


class Tweedie(_PositiveFamily):
    """Variance mu^power for power 0 or in [1, 3]: 0 normal, 1 Poisson,
    1 < power < 2 compound Poisson-gamma (claims with exact zeros), 2 gamma,
    3 inverse Gaussian; log (default) or identity link.

    Examples
    --------
    >>> from varnel import families
    >>> families.get_family("tweedie:1.5") == families.Tweedie(1.5)
    True
    >>> families.Tweedie(1.5, link="identity").links
    ('log', 'identity')
    """

    name = "tweedie"
    solver_name = "tweedie"
    sums_blocks = True
    deviance_label = "Tweedie deviance"
    links = ("log", "identity")
    parameter = "power"
    #: normal, Poisson, compound Poisson-gamma, gamma and inverse Gaussian
    parameter_examples = (1.5, 0.0, 1.0, 2.0, 3.0)

    def __init__(self, power: float, link: Optional[str] = None) -> None:
        value = _convert.as_float(power, "power")
        if not (value == 0 or 1 <= value <= 3):
            raise ValueError(f"power must be 0 or lie in [1, 3] for the tweedie family, got {power!r}")
        self.power = value
        super().__init__(link)

    @property
    def zero_allowed(self) -> bool:  # type: ignore[override]
        return self.power < 2

    def check_values(self, y, start=0):
        if self.power > 0:
            super().check_values(y, start)

    def variance(self, mu):
        return mu ** self.power

    @_per_row
    def unit_deviance(self, y, eta):
        """The deviance of the power variance ``mu^power`` of each row,
        ``2 (y^(2-p) / ((1-p)(2-p)) - y mu^(1-p) / (1-p) + mu^(2-p) / (2-p))``
        for power p outside {0, 1, 2} (the normal, Poisson and gamma ones at
        those), ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Non-negative values (positive for power 2 or more).
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Tweedie
        >>> Tweedie(1.5).unit_deviance(np.array([0.0, 1.0]), np.log([1.0, 1.0]))
        array([4., 0.])
        """
        return _power_deviance(y[:, None], self.inverse_link(eta), self.power)


class NegativeBinomial(_PositiveFamily):
    """Overdispersed counts: variance mu + theta mu^2 (theta > 0, default 1;
    theta -> 0 is the Poisson family); log (default), identity or sqrt link.

    Examples
    --------
    >>> from varnel import families
    >>> families.get_family("negbin:2")
    NegativeBinomial(theta=2.0)
    """

    name = "negative_binomial"
    aliases = ("negbin",)
    solver_name = "negative_binomial"
    sums_blocks = True
    deviance_label = "Negative binomial deviance"
    links = ("log", "identity", "sqrt")
    parameter = "theta"
    parameter_examples = (1.0, 0.2, 5.0)
    zero_allowed = True

    def __init__(self, theta: float = 1.0, link: Optional[str] = None) -> None:
        value = _convert.as_float(theta, "theta")
        if not (value > 0 and np.isfinite(value)):
            raise ValueError(f"theta must be positive and finite, got {theta!r}")
        self.theta = value
        super().__init__(link)

    def variance(self, mu):
        return mu + self.theta * mu * mu

    @_per_row
    def unit_deviance(self, y, eta):
        """``2 (y log(y / mu) - (y + 1/theta) log((1 + theta y) / (1 + theta mu)))``
        of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Non-negative counts.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import NegativeBinomial
        >>> NegativeBinomial(1.0).unit_deviance(np.array([0.0, 1.0]), np.log([1.0, 1.0])).round(4)
        array([1.3863, 0.    ])
        """
        yc, t = y[:, None], self.theta
        mu = self.inverse_link(eta)
        return 2.0 * (_xlogy(yc, yc / mu) - (yc + 1.0 / t) * np.log((1.0 + t * yc) / (1.0 + t * mu)))
