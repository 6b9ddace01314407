"""The family contract: measures, links, the per-row helpers and the
:class:`Family` base class that every family subclasses (the registry of
families is the package's ``__init__``).
"""

from __future__ import annotations

import functools
from typing import Any, Callable, ClassVar, Dict, NamedTuple, Optional, Tuple

import numpy as np

from .. import _convert
from .._docstrings import fill
from .. import families as _registry  # the registry, read when a method runs (after import)


class Measure(NamedTuple):
    """A cross-validation measure: its name, the label of its axis, and
    whether larger values are better.

    Examples
    --------
    >>> from varnel import families
    >>> families.MEASURES["auc"]
    Measure(name='auc', label='AUC', maximise=True)
    """

    name: str
    label: str
    maximise: bool = False


MEASURES: Dict[str, Measure] = {m.name: m for m in (
    Measure("deviance", "Deviance"),
    Measure("mse", "Mean-squared error"),
    Measure("mae", "Mean absolute error"),
    Measure("class", "Misclassification error"),
    Measure("auc", "AUC", maximise=True),
    Measure("C", "Harrell's C", maximise=True),
)}


class PenaltyMap(NamedTuple):
    """scikit-learn's penalty in the solver's terms: ``lambda = factor *
    alpha_strength`` and the solver's mix ``alpha = mix``.

    Examples
    --------
    >>> from varnel import families
    >>> families.get_family("poisson").penalty_map(0.5, 1.0)
    PenaltyMap(factor=1.0, mix=0.5)
    """

    factor: float
    mix: float


def _sigmoid(eta: np.ndarray) -> np.ndarray:
    out = np.empty_like(eta, dtype=np.float64)
    pos = eta >= 0
    out[pos] = 1.0 / (1.0 + np.exp(-eta[pos]))
    e = np.exp(eta[~pos])
    out[~pos] = e / (1.0 + e)
    return out


def _normal_cdf(eta: np.ndarray) -> np.ndarray:
    try:
        from scipy.special import ndtr
    except ImportError:  # NumPy alone: the standard library's erfc, element by element
        import math

        return 0.5 * np.vectorize(math.erfc, otypes=[np.float64])(-np.asarray(eta) / math.sqrt(2.0))
    return ndtr(eta)


#: The inverse of each link, mu = g^-1(eta), as the compiled solver computes it.
LINKS: Dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "identity": lambda eta: eta,
    "log": np.exp,
    "logit": _sigmoid,
    "probit": _normal_cdf,
    "cloglog": lambda eta: -np.expm1(-np.exp(eta)),
    "inverse": lambda eta: 1.0 / eta,
    "inverse_squared": lambda eta: 1.0 / np.sqrt(eta),
    "sqrt": np.square,
}


def _normal_quantile(mu: np.ndarray) -> np.ndarray:
    from scipy.special import ndtri  # only the estimators' scores ask, and they have scipy

    return ndtri(mu)


#: Each link itself, eta = g(mu).
LINK_FUNCTIONS: Dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "identity": lambda mu: mu,
    "log": np.log,
    "logit": lambda mu: np.log(mu / (1.0 - mu)),
    "probit": _normal_quantile,
    "cloglog": lambda mu: np.log(-np.log1p(-mu)),
    "inverse": lambda mu: 1.0 / mu,
    "inverse_squared": lambda mu: 1.0 / (mu * mu),
    "sqrt": np.sqrt,
}


#: The slope of each inverse link, dmu/deta, at eta.
LINK_SLOPES: Dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "identity": np.ones_like,
    "log": np.exp,
    "logit": lambda eta: _sigmoid(eta) * _sigmoid(-eta),
    "probit": lambda eta: np.exp(-0.5 * eta * eta) / np.sqrt(2.0 * np.pi),
    "cloglog": lambda eta: np.exp(eta - np.exp(eta)),
    "inverse": lambda eta: -1.0 / (eta * eta),
    "inverse_squared": lambda eta: -0.5 * eta ** -1.5,
    "sqrt": lambda eta: 2.0 * eta,
}


def _xlogy(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """x log(y), 0 where x is 0."""
    return np.where(x != 0, x * np.log(np.where(x != 0, y, 1.0)), 0.0)


def _power_deviance(y: np.ndarray, mu: np.ndarray, p: float) -> np.ndarray:
    """The unit deviance of the power variance mu^p (Tweedie), for y (n, 1)."""
    if p == 0:
        return (y - mu) ** 2
    if p == 1:
        return 2.0 * (_xlogy(y, y / mu) - (y - mu))
    if p == 2:
        return 2.0 * (np.log(mu / y) + (y - mu) / mu)
    return 2.0 * (np.maximum(y, 0.0) ** (2 - p) / ((1 - p) * (2 - p)) - y * mu ** (1 - p) / (1 - p)
                  + mu ** (2 - p) / (2 - p))


def weighted_auc(score: np.ndarray, y: np.ndarray, w: np.ndarray) -> float:
    """Area under the ROC curve with observation weights (ties count one half);
    NaN when one class has no weight.

    Parameters
    ----------
    score : ndarray of shape (n,)
        The scores (larger: the positive class more likely).
    y : ndarray of shape (n,)
        1 for the positive class, 0 for the other.
    w : ndarray of shape (n,)
        Observation weights; a pair counts with the product of its weights.

    Returns
    -------
    float
        The weighted AUC in [0, 1], or NaN.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel.families import weighted_auc
    >>> weighted_auc(np.array([0.1, 0.4, 0.35, 0.8]), np.array([0, 0, 1, 1]), np.ones(4))
    0.75
    """
    pos = y > 0.5
    wp = np.where(pos, w, 0.0)
    wn = np.where(pos, 0.0, w)
    Wp, Wn = wp.sum(), wn.sum()
    if Wp <= 0 or Wn <= 0:
        return float("nan")
    uniq, inv = np.unique(score, return_inverse=True)
    P = np.bincount(inv.reshape(-1), weights=wp, minlength=uniq.shape[0])
    N = np.bincount(inv.reshape(-1), weights=wn, minlength=uniq.shape[0])
    below = np.cumsum(N) - N
    return float((P * (below + 0.5 * N)).sum() / (Wp * Wn))


# The sections every unit deviance shares, after its description of y.
_PER_ROW_SECTIONS = """
eta : ndarray of shape (n,) or (n, L)
    Linear predictors of the same rows (one column per lambda).

Returns
-------
ndarray of shape (n,) or (n, L), as ``eta``

Raises
------
ValueError
    When the shapes of y and eta do not go together.
"""


def _per_row(deviance: Callable[..., np.ndarray]) -> Callable[..., np.ndarray]:
    """A family's unit deviance on checked shapes: the formula sees y and
    eta with a lambda axis (see :meth:`Family.checked_rows`), and an eta
    given without one gets one value per row back."""

    @functools.wraps(deviance)
    def unit_deviance(self: "Family", y: Any, eta: Any) -> np.ndarray:
        y, eta, single = self.checked_rows(y, eta)
        out = deviance(self, y, eta)
        return out[:, 0] if single else out

    if deviance.__doc__:
        unit_deviance.__doc__ = fill(deviance.__doc__, per_row_sections=_PER_ROW_SECTIONS)
    return unit_deviance


class Family:
    """One GLM family.  Subclasses set the class attributes and override the
    maths that differs; an instance is what :func:`get_family` returns.

    Linear predictors ``eta`` have the rows first, then (for a family with K
    linear predictors per row) the class axis, then optionally the lambdas.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel import families
    >>> fam = families.get_family("binomial")
    >>> fam.name, fam.link, fam.measures[0]
    ('logistic', 'logit', 'deviance')
    >>> fam.inverse_link(np.array([0.0]))
    array([0.5])
    """

    #: the canonical name, kept in ``Path.family``
    name: ClassVar[str] = ""
    aliases: ClassVar[Tuple[str, ...]] = ()
    #: the family name of the compiled solver
    solver_name: ClassVar[str] = ""
    #: cross-validation measures; the first is the default
    measures: ClassVar[Tuple[str, ...]] = ("deviance", "mse", "mae")
    #: what ``predict(kind=...)`` offers
    kinds: ClassVar[Tuple[str, ...]] = ("link", "response")
    #: the label of the deviance axis of a cross-validation plot
    deviance_label: ClassVar[str] = "Deviance"
    #: several linear predictors per row whose coefficients of one variable
    #: may be penalized together (``grouped=True``)
    groups_coefficients: ClassVar[bool] = False
    #: what the K linear predictors of a row stand for (plots, messages)
    block_name: ClassVar[str] = "classes"
    #: one of them, as a message names it ("one value per row and class")
    block_unit: ClassVar[str] = "class"
    #: the scikit-learn estimator made for this family, when
    #: GeneralizedNetRegressor (one response value per row) cannot fit it
    own_estimator: ClassVar[Optional[str]] = None
    #: whether the model has an intercept
    intercept: ClassVar[bool] = True
    #: the keyword options of fit_path that configure the family (its
    #: constructor's arguments), with their defaults
    fit_options: ClassVar[Dict[str, Any]] = {}
    #: the links the family takes; the first is its default
    links: ClassVar[Tuple[str, ...]] = ("identity",)
    #: the name of the family's own parameter ("power", "theta", "ties",
    #: "standardize_response", "delta"), if any
    parameter: ClassVar[Optional[str]] = None
    #: values of the family's parameter that stand for the kinds of model it
    #: makes (every choice of a parameter with few, the landmarks of a
    #: number); the first is the registry's instance's (see ``variants``)
    parameter_examples: ClassVar[Tuple[Any, ...]] = ()
    #: the options of fit_path, besides the family's parameter, that only
    #: this family takes ("grouped", "strata")
    own_options: ClassVar[Tuple[str, ...]] = ()
    #: what a row's response is: "one" value, a "survival" time and status,
    #: or "several" responses
    response_form: ClassVar[str] = "one"
    #: whether a path keeps its training rows (for survival curves)
    keeps_rows: ClassVar[bool] = False
    #: the forms of the response the family takes besides its own one (the
    #: cox family's "counting": rows of start, stop and status)
    other_responses: ClassVar[Tuple[str, ...]] = ()
    #: whether fits from summed statistics of row blocks (the Dask route)
    #: serve the family, with every link and parameter it takes
    sums_blocks: ClassVar[bool] = False
    #: why they do not, when they do not
    blocks_refused_because: ClassVar[str] = "the fits from row blocks do not implement its loss"

    def __init__(self, link: Optional[str] = None) -> None:
        if link is None:
            link = self.links[0]
        if link not in self.links:
            raise ValueError(f"link={link!r} is not available for the {self.name} family; choose one of "
                             f"{self.links}")
        self.link = link

    def parameters(self) -> Dict[str, Any]:
        """What the family was made with: its own parameter, then its link."""
        out = {} if self.parameter is None else {self.parameter: getattr(self, self.parameter)}
        out["link"] = self.link
        return out

    def __repr__(self) -> str:
        given = self.parameters()
        if given.get("link") == self.links[0]:
            given.pop("link")
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in given.items())})"

    def __eq__(self, other: Any) -> bool:
        # a family with parameters compares them too
        return type(self) is type(other) and self.parameters() == other.parameters()

    def __hash__(self) -> int:
        return hash((type(self), tuple(self.parameters().items())))

    def solver_options(self) -> Dict[str, Any]:
        """The compiled solver's choices beyond its family name: the link
        when it is not the default, and the family's parameter."""
        out = {} if self.parameter is None else {self.parameter: getattr(self, self.parameter)}
        if self.link != self.links[0]:
            out["link"] = self.link
        return out

    def core_arguments(self) -> Dict[str, Any]:
        """Every argument by which the compiled solver knows the family: its
        name, the link when it is not the default, and its own parameter.
        Every call of the core that fits this family takes these."""
        return {"family": self.solver_name, **self.solver_options()}

    @property
    def least_squares(self) -> bool:
        """Whether the model is least squares of one response (its fits and
        held-out errors follow from the cross products of ``[X y]``)."""
        return False

    @property
    def fits_from_products(self) -> bool:
        """Whether the model is least squares of one response or of several
        (y of shape (n, K)): its fits and held-out squared errors follow
        from the cross products of ``[X Y]``, with no pass over the rows
        per reweighting step.

        Examples
        --------
        >>> from varnel.families import Gaussian, MultiTask, Poisson
        >>> Gaussian().fits_from_products, MultiTask().fits_from_products
        (True, True)
        >>> Gaussian(link="log").fits_from_products, Poisson().fits_from_products
        (False, False)
        """
        return self.least_squares

    def refusal_on_blocks(self) -> Optional[str]:
        """None when fits from summed statistics of row blocks (the Dask
        route) serve the family, otherwise why not and what to use instead.

        They serve every family whose loss is a sum over the rows (one
        response, class or K responses each), with any link and parameter;
        the cox family's risk sets couple rows across blocks.

        Examples
        --------
        >>> from varnel.families import Gamma, Cox
        >>> Gamma(link="identity").refusal_on_blocks() is None
        True
        >>> Cox().refusal_on_blocks().startswith("Cox(ties='breslow') is not served on Dask")
        True
        """
        if self.sums_blocks:
            return None
        served = ", ".join(type(f).__name__ for f in _registry.FAMILIES if f.sums_blocks)
        return (f"{self!r} is not served on Dask: {self.blocks_refused_because}. Dask collections "
                f"serve the families {served} with any link and parameter; for {self!r} compute "
                f"X and y into memory (e.g. X.compute()) and fit there")

    def variants(self) -> Tuple["Family", ...]:
        """The family with each of its links (its parameter as it is), then
        with each other example of its parameter (its link as it is).

        Returns
        -------
        tuple of Family
            Every link once, then every other value of ``parameter_examples``.

        Examples
        --------
        >>> from varnel import families
        >>> families.NegativeBinomial().variants()  # doctest: +NORMALIZE_WHITESPACE
        (NegativeBinomial(theta=1.0), NegativeBinomial(theta=1.0, link='identity'),
         NegativeBinomial(theta=1.0, link='sqrt'), NegativeBinomial(theta=0.2),
         NegativeBinomial(theta=5.0))
        """
        out = [self.with_link(link) for link in self.links]
        current = None if self.parameter is None else getattr(self, self.parameter)
        for value in self.parameter_examples:
            if value != current:
                out.append(type(self)(**{**self.parameters(), self.parameter: value}))
        return tuple(out)

    @classmethod
    def owners_of(cls, option: str) -> str:
        """The names of the families of the registry that take the fit_path
        option ``option`` as their own, for a message ("the cox family").

        Examples
        --------
        >>> from varnel.families import Family
        >>> Family.owners_of("grouped")
        'the multinomial family'
        """
        owners = [f.name for f in _registry.FAMILIES if option in f.own_options]
        return f"the {' and '.join(owners)} famil{'y' if len(owners) == 1 else 'ies'}"

    def with_link(self, link: Optional[str]) -> "Family":
        """The same family with another link (None: the default)."""
        given = self.parameters()
        given["link"] = link
        return type(self)(**given)

    def configured(self, **values: Any) -> "Family":
        """The family with the given fit_path options (None keeps the
        current value); a value for an option this family lacks, other than
        its default elsewhere, is a ValueError naming the option."""
        own = {k: v for k, v in values.items() if v is not None and k in self.fit_options}
        for k, v in values.items():
            if v is not None and k not in self.fit_options and v != _registry.FIT_OPTION_DEFAULTS[k]:
                owner = [f.name for f in _registry.FAMILIES if k in f.fit_options]
                raise ValueError(f"{k}={v!r} is an option of the {' and '.join(owner)} family, "
                                 f"not of the {self.name} family")
        if not own:
            return self
        return type(self)(**{**self.parameters(), **own})

    def check_options(self, options: Dict[str, Any]) -> None:
        """Refuses the solver's options that do not go with the family's
        parameters (a ValueError naming them)."""

    # ---- the response ------------------------------------------------------------
    @property
    def has_classes(self) -> bool:
        """True when the response holds class labels (folds are then
        stratified by class)."""
        return "class" in self.kinds

    def response(self, y: Any, n: int) -> Tuple[np.ndarray, Optional[np.ndarray]]:
        """``(y, classes)``: the response as the solver takes it (a contiguous
        float64 vector) and the labels of a class family (None otherwise)."""
        arr = _convert.response_array(y, n)
        out = np.ascontiguousarray(_convert.float_array(arr, "y"))
        _convert.check_finite(out, "y")
        self.check_values(out)
        return out, None

    def check_values(self, y: np.ndarray, start: int = 0) -> None:
        """Refuse values outside the family's support: a ValueError naming
        the first such row, counted from ``start`` (the first row of a block
        of a larger array).

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gamma
        >>> Gamma().check_values(np.array([1.0, 0.0]), start=100)
        Traceback (most recent call last):
        ...
        ValueError: the gamma family needs positive values in y, but y[101] is 0
        """

    def offset_shape(self, n: int, classes: Optional[np.ndarray]) -> Tuple[int, ...]:
        """The shape of an offset for n rows: one value per linear predictor."""
        return (n,)

    def with_strata(self, y: np.ndarray, strata: Any) -> Tuple[np.ndarray, np.ndarray]:
        """The response with the rows' strata, and the strata labels."""
        raise ValueError(f"strata are an option of {self.owners_of('strata')}, not of the {self.name} family")

    def solver_response(self, y: np.ndarray) -> Tuple[np.ndarray, Dict[str, Any]]:
        """The response as the compiled solver takes it, and the options that
        travel with its rows (the cox family's strata)."""
        return y, {}

    def fold_labels(self, y: np.ndarray) -> Optional[np.ndarray]:
        """The labels random folds are stratified by (None: not stratified)."""
        return y if self.has_classes else None

    def rows_per_subject(self, y: np.ndarray) -> bool:
        """Whether a subject may have several rows (so that random folds
        drawn row by row may split it)."""
        return False

    def scores_training_rows(self, measure: str) -> bool:
        """Whether a fold's score needs its training rows' predictions too."""
        return False

    # ---- links and predictions ---------------------------------------------------
    def inverse_link(self, eta: np.ndarray) -> np.ndarray:
        """The mean of the response given the linear predictor."""
        return LINKS[self.link](eta)

    def link_function(self, mu: np.ndarray) -> np.ndarray:
        """The linear predictor of a mean."""
        return LINK_FUNCTIONS[self.link](mu)

    def check_kind(self, kind: Any) -> str:
        """``kind`` when the family offers it (see ``kinds``), else a
        ValueError naming ``kind`` and the family's choices."""
        if kind not in self.kinds:
            raise ValueError(f"kind={kind!r} is not offered by the {self.name} family; "
                             f"choose one of {self.kinds}")
        return kind

    def predict(self, eta: np.ndarray, kind: str, classes: Optional[np.ndarray]) -> np.ndarray:
        """Linear predictors turned into ``kind``: the links themselves, the
        means (or class probabilities), or the most probable labels."""
        kind = self.check_kind(kind)
        if kind == "link":
            return eta
        if kind == "response":
            return self.inverse_link(eta)
        return self.labels(eta, classes)

    def labels(self, eta: np.ndarray, classes: Optional[np.ndarray]) -> np.ndarray:
        """The most probable label of each row (the class families only; the
        others raise a ValueError)."""
        raise ValueError(f"the {self.name} family predicts no classes")

    # ---- losses and measures ------------------------------------------------------
    def checked_rows(self, y: Any, eta: Any) -> Tuple[np.ndarray, np.ndarray, bool]:
        """``(y, eta, single)``: the response and the linear predictors of
        the same n rows, eta with a lambda axis last, and whether eta came
        without one.  y is (n,) with eta (n,) or (n, L), one column per
        lambda; any other pair of shapes (which would broadcast into an
        n x n array) is a ValueError naming both."""
        y, eta = np.asarray(y), np.asarray(eta)
        if y.ndim == 1 and eta.ndim in (1, 2) and eta.shape[0] == y.shape[0]:
            return y, (eta[:, None] if eta.ndim == 1 else eta), eta.ndim == 1
        raise ValueError(f"the {self.name} family takes y of shape (n,) with eta of shape (n,) or "
                         f"(n, L), one column per lambda, on the same rows; got y of shape {y.shape} "
                         f"and eta of shape {eta.shape}")

    def loss_measure(self, measure: Any) -> str:
        """``measure`` when it is one of the family's measures that average
        a loss over rows, else a ValueError listing the family's measures."""
        if not isinstance(measure, str) or measure not in self.measures:
            raise ValueError(f"measure={measure!r} is not a measure of the {self.name} family; "
                             f"choose one of {self.measures}")
        if MEASURES[measure].maximise:
            raise ValueError(f"measure={measure!r} ranks the rows of a whole fold and has no loss per "
                             "row; fold_score computes it")
        return measure

    @_per_row
    def unit_deviance(self, y: np.ndarray, eta: np.ndarray) -> np.ndarray:
        """Per-row deviance of ``y`` at the linear predictors ``eta``: the
        squared error ``(y - g^-1(eta))^2`` unless a family defines its own.

        Parameters
        ----------
        y : ndarray of shape (n,)
            The response, coded as the family's ``response`` codes it.
        {per_row_sections}

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import get_family
        >>> get_family("gaussian").unit_deviance(np.array([1.0, 2.0]), np.array([0.5, 2.0]))
        array([0.25, 0.  ])
        """
        r = y[:, None] - self.inverse_link(eta)
        return r * r

    # ---- the fitted objective's loss and its derivative -------------------------------
    def variance(self, mu: np.ndarray) -> np.ndarray:
        """The variance function V(mu) of the family (1 unless a family
        defines its own).

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian, Poisson
        >>> Gaussian().variance(np.array([2.0])), Poisson().variance(np.array([2.0]))
        (array([1.]), array([2.]))
        """
        return np.ones_like(mu)

    def loss_gradient(self, y: np.ndarray, eta: np.ndarray, weights: np.ndarray) -> np.ndarray:
        """The derivative, in every linear predictor, of the loss the solver
        minimises: ``sum_i w_i l_i(eta_i)`` with ``l_i`` half the unit
        deviance (the negative log-likelihood up to a constant) and ``w``
        the weights (normalized to sum 1 by the caller), so
        ``w_i (mu_i - y_i) / V(mu_i) * dmu/deta`` by default.

        Parameters
        ----------
        y : ndarray of shape (n,), (n, 2) or (n, K)
            The response as the family's ``response`` codes it.
        eta : ndarray of shape (n,) or (n, K)
            The linear predictors of the same rows (one per class or
            response for the families with K of them).
        weights : ndarray of shape (n,)
            The rows' weights.

        Returns
        -------
        ndarray of the shape of ``eta``

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian, Poisson
        >>> Gaussian().loss_gradient(np.array([1.0, 2.0]), np.array([0.5, 2.0]), np.full(2, 0.5))
        array([-0.25,  0.  ])
        >>> Poisson().loss_gradient(np.array([3.0]), np.log([2.0]), np.ones(1))
        array([-1.])
        """
        mu = self.inverse_link(eta)
        return weights * (mu - y) * self.slope_over_variance(eta, mu)

    def slope_over_variance(self, eta: np.ndarray, mu: np.ndarray) -> np.ndarray:
        """``(dmu/deta) / V(mu)``: the factor by which the residual ``mu - y``
        turns into the derivative of half the unit deviance in eta.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gamma
        >>> Gamma(link="identity").slope_over_variance(np.array([2.0]), np.array([2.0]))
        array([0.25])
        """
        return LINK_SLOPES[self.link](eta) / self.variance(mu)

    def half_deviance(self, y: np.ndarray, eta: np.ndarray) -> np.ndarray:
        """Half the unit deviance of each row, the loss of the fitted
        objective per unit of weight (without the safeguards that
        :meth:`unit_deviance` applies to held-out rows).

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian
        >>> Gaussian().half_deviance(np.array([1.0]), np.array([0.0]))
        array([0.5])
        """
        return 0.5 * self.unit_deviance(y, eta)

    def objective_scales(self, y: np.ndarray, weights: Optional[np.ndarray], intercept: bool,
                         offset: Optional[np.ndarray]) -> Tuple[Any, float]:
        """``(response, ridge)``: the divisors that bring the caller's
        response (and every linear predictor and coefficient with it) and
        the ridge term to the scale of the objective the family states;
        ``(1.0, 1.0)`` unless a family scales them.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian, Poisson
        >>> y = np.array([1.0, 3.0])
        >>> Gaussian().objective_scales(y, None, True, None), Poisson().objective_scales(y, None, True, None)
        ((1.0, 1.0), (1.0, 1.0))
        """
        return 1.0, 1.0

    def grouped_penalty(self, grouped: bool) -> bool:
        """Whether a variable's K coefficients share one Euclidean norm in
        the penalty, given fit_path's ``grouped``.

        Examples
        --------
        >>> from varnel.families import Multinomial, MultiTask
        >>> Multinomial().grouped_penalty(False), MultiTask().grouped_penalty(False)
        (False, True)
        """
        return bool(grouped)

    def loss_conjugate(self, y: np.ndarray, u: np.ndarray) -> Optional[np.ndarray]:
        """The convex conjugate of each row's loss as a function of eta,
        ``l_i*(u) = sup_t (u t - l_i(t))`` (inf outside its domain), which
        the duality gap of :meth:`varnel.Path.optimality` needs; None for a
        family without one in closed form (least squares and the logistic
        family have one).

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian, Poisson
        >>> Gaussian().loss_conjugate(np.array([1.0]), np.array([-0.5]))
        array([-0.375])
        >>> Poisson().loss_conjugate(np.array([1.0]), np.array([0.0])) is None
        True
        """
        return None

    def losses(self, y: np.ndarray, eta: np.ndarray, measure: str) -> np.ndarray:
        """Per-row loss (n, L) of a measure that averages over rows (of shape
        (n,) for an eta without a lambda axis; shapes as in
        :meth:`unit_deviance`).  A row whose mean is undefined (outside the
        family's domain, as a held-out row may be under a link other than
        log and logit) loses infinitely much, so that no lambda is chosen
        for leaving it out.  An unknown measure, or one that ranks whole
        folds ("auc", "C"), is a ValueError listing the family's measures."""
        measure = self.loss_measure(measure)
        y, eta, single = self.checked_rows(y, eta)
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            if measure == "deviance":
                out = self.unit_deviance(y, eta)
            elif measure == "class":
                out = self.misclassified(y, eta)
            else:
                r = y[:, None] - self.inverse_link(eta)
                out = np.abs(r) if measure == "mae" else r * r
            if measure != "class":
                out = np.where(np.isnan(out), np.inf, out)
        return out[:, 0] if single else out

    def misclassified(self, y: np.ndarray, eta: np.ndarray) -> np.ndarray:
        """1 where the most probable class at ``eta`` (n, L) is not ``y``'s,
        else 0 (the class families only; the others raise a ValueError)."""
        raise ValueError(f"the {self.name} family has no classes to misclassify")

    def fold_score(self, y: np.ndarray, w: np.ndarray, eta: np.ndarray, measure: str,
                   training: Optional[Tuple[np.ndarray, Optional[np.ndarray], np.ndarray]] = None,
                   subjects: Optional[np.ndarray] = None) -> np.ndarray:
        """The weighted mean loss of one fold's held-out rows at each lambda;
        NaN when they have no weight.  ``training`` (the training rows' y,
        weights and predictions) is given when scores_training_rows(measure);
        ``subjects`` (a subject code per row) when the folds were drawn by
        groups."""
        total = w.sum()
        if total <= 0:
            return np.full(eta.shape[-1], np.nan)
        return w @ self.losses(y, eta, measure) / total

    def check_measure(self, measure: Any) -> str:
        """The measure's name, or a ValueError naming ``measure``, what it
        is for and what this family offers."""
        if measure is None:
            return self.measures[0]
        if measure in self.measures:
            return measure
        serving = [f.name for f in _registry.FAMILIES if measure in f.measures]
        where = (f"; it serves the {' and '.join(serving)} famil{'y' if len(serving) == 1 else 'ies'}"
                 if serving else "")
        raise ValueError(f"measure={measure!r} is not available for the {self.name} family{where}; "
                         f"choose one of {self.measures}")

    def check_measure_of(self, measure: str, classes: Optional[np.ndarray]) -> None:
        """Refuse a measure that the response, as it was read (``classes``:
        its labels, None when it has none), cannot give."""

    def measure_label(self, measure: str) -> str:
        """The axis label of a measure (the deviance's is the family's own)."""
        return self.deviance_label if measure == "deviance" else MEASURES[measure].label

    # ---- scikit-learn's parametrisation ---------------------------------------------
    def response_scale(self, y: np.ndarray, weights: Optional[np.ndarray], intercept: bool,
                       offset: Optional[np.ndarray]) -> float:
        """The factor by which the solver divides the response (1: none)."""
        return 1.0

    def response_scale_of_moments(self, mean: float, var: float, intercept: bool) -> float:
        """response_scale from the weighted mean and variance of the fitted
        response (y less its offset) instead of the rows."""
        return 1.0

    def penalty_map(self, l1_ratio: float, scale: float) -> PenaltyMap:
        """``a*r*|b|_1 + a*(1-r)/2*|b|^2`` (scikit-learn's strength ``a`` and
        mix ``r``) as the solver's ``lambda*(mix*|b|_1 + (1-mix)/2*|b|^2)``:
        for a family that leaves the response as it is, lambda is ``a`` and
        the mix ``r``."""
        return PenaltyMap(1.0, l1_ratio)
