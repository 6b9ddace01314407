"""What varnel knows about each GLM family, in one place.

A family is one :class:`Family` instance: its name and aliases, how a
response is converted (and, for the class families, which labels there are
and how they are coded), its inverse link and the predictions it offers, its
per-row losses and cross-validation measures, the name of the compiled
solver's family, and how scikit-learn's penalty parametrisation (``alpha``
the strength, ``l1_ratio`` the mix) maps onto the solver's (lambda, alpha).
:func:`get_family` resolves what a user passes as ``family=``: a name
(``"gaussian"``, ``"logistic"`` or ``"binomial"``, ``"poisson"``,
``"multinomial"``, ``"cox"``, ``"multitask"``, ``"huber"``) or a
:class:`Family` instance.

A new family is one subclass here; a family with parameters (a power, a
link, a dispersion) carries them as constructor arguments, and
:func:`get_family` returns such an instance as it is.  A family by variance
and link lists its ``links`` (the first is its default, ``link=None``), names
its own parameter in ``parameter`` (``"power"``, ``"theta"``, ``"delta"``) and hands the
compiled solver its choices through :meth:`Family.solver_options`; equality,
hashing and ``repr`` follow ``link`` and the parameter.  A name with a
parameter, ``"tweedie:1.5"`` or ``"negbin:2"``, is that family with that
value (``"huber:2"`` too).
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

from ._base import (LINK_FUNCTIONS, LINKS, MEASURES, Family, Measure, PenaltyMap,
                    weighted_auc)
from ._common import Binomial, Gaussian, Huber, Multinomial, Poisson
from ._coupled import Cox, MultiTask
from ._variance import Gamma, InverseGaussian, NegativeBinomial, Tweedie

__all__ = ["Family", "Gaussian", "Binomial", "Poisson", "Multinomial", "Gamma", "InverseGaussian",
           "Tweedie", "NegativeBinomial", "Cox", "MultiTask", "Huber", "FAMILIES", "LINKS", "LINK_FUNCTIONS",
           "Measure", "MEASURES", "PenaltyMap", "get_family", "names", "weighted_auc"]

# The public names are documented, pickled and referred to as this package's.
for _public in (Family, Gaussian, Binomial, Poisson, Multinomial, Gamma, InverseGaussian, Tweedie,
                NegativeBinomial, Cox, MultiTask, Huber, Measure, PenaltyMap, weighted_auc):
    _public.__module__ = __name__
del _public


#: One instance of every family, in the order names are listed (Tweedie's
#: power 1.5 stands for every power: its name alone needs one).
FAMILIES: Tuple[Family, ...] = (Gaussian(), Binomial(), Poisson(), Multinomial(), Gamma(),
                                InverseGaussian(), Tweedie(1.5), NegativeBinomial(), Cox(), MultiTask(),
                                Huber())
#: The defaults of every family option of fit_path.
FIT_OPTION_DEFAULTS: Dict[str, Any] = {k: v for f in FAMILIES for k, v in f.fit_options.items()}
_BY_NAME: Dict[str, Family] = {name: f for f in FAMILIES for name in (f.name,) + f.aliases}


def names() -> Tuple[str, ...]:
    """Every name :func:`get_family` takes: canonical names, then aliases.

    Returns
    -------
    tuple of str
        The names.

    Examples
    --------
    >>> from varnel import families
    >>> families.names()[:3]
    ('gaussian', 'logistic', 'poisson')
    """
    return tuple(f.name for f in FAMILIES) + tuple(a for f in FAMILIES for a in f.aliases)


def get_family(family: Any, *, estimator: Optional[str] = None) -> Family:
    """The :class:`Family` for a name or a Family instance.

    Parameters
    ----------
    family : str or Family
        A name (case-insensitive; ``"binomial"`` is ``"logistic"``,
        ``"normal"`` is ``"gaussian"``, ``"negbin"`` is
        ``"negative_binomial"``), a name with the family's parameter after a
        colon (``"tweedie:1.5"``, ``"negbin:2"``), or a Family instance,
        returned as it is.
    estimator : str, optional
        The name of a generic estimator asking (``"GeneralizedNetRegressor"``):
        a family that has an estimator of its own (``Family.own_estimator``)
        is then refused with a ValueError naming that estimator, and the
        families listed for an unknown name leave it out.

    Returns
    -------
    Family
        The family (with its link and parameter).

    Raises
    ------
    TypeError
        For anything but a name or a Family.
    ValueError
        For an unknown name, a parameter the family does not take, or a
        family the ``estimator`` does not fit.

    Examples
    --------
    >>> from varnel.families import get_family
    >>> get_family("negbin:2")
    NegativeBinomial(theta=2.0)
    >>> get_family("gamma").links
    ('log', 'inverse', 'identity')
    """
    found = _get_family(family, estimator)
    if estimator is not None and found.own_estimator is not None:
        raise ValueError(f"{estimator} does not fit the {found.name} family (family={family!r}); "
                         f"use varnel.{found.own_estimator} for it")
    return found


def _get_family(family: Any, estimator: Optional[str]) -> Family:
    if isinstance(family, Family):
        return family
    if not isinstance(family, str):
        raise TypeError(f"family must be a name or a varnel.families.Family, got "
                        f"{type(family).__name__}")
    name, colon, value = family.lower().partition(":")
    found = _BY_NAME.get(name)
    if found is None:
        listed = [f for f in FAMILIES if estimator is None or f.own_estimator is None]
        raise ValueError(f"family must be one of {tuple(f.name for f in listed)} "
                         f"(or an alias: {', '.join(repr(a) for f in listed for a in f.aliases)}), "
                         f"got {family!r}")
    if not colon and not isinstance(found, Tweedie):
        return found
    if found.parameter is None:
        raise ValueError(f"the {found.name} family takes no parameter, got {family!r}")
    if not colon:
        raise ValueError(f"the tweedie family needs its power: family='tweedie:1.5' or "
                         f"varnel.families.Tweedie(1.5), got {family!r}")
    try:
        number = float(value)
    except ValueError:
        raise ValueError(f"the {found.parameter} of family={family!r} is not a number") from None
    return type(found)(number)
