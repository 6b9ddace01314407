"""What varnel knows about each GLM family, in one place.

A family is one :class:`Family` instance: its name and aliases, how a
response is converted (and, for the class families, which labels there are
and how they are coded), its inverse link and the predictions it offers, its
per-row losses and cross-validation measures, the name of the compiled
solver's family, and how scikit-learn's penalty parametrisation (``alpha``
the strength, ``l1_ratio`` the mix) maps onto the solver's (lambda, alpha).
:func:`get_family` resolves what a user passes as ``family=``: a name
(``"gaussian"``, ``"logistic"`` or ``"binomial"``, ``"poisson"``,
``"multinomial"``, ``"cox"``, ``"multitask"``) or a :class:`Family`
instance.

A new family is one subclass here; a family with parameters (a power, a
link, a dispersion) carries them as constructor arguments, and
:func:`get_family` returns such an instance as it is.  A family by variance
and link lists its ``links`` (the first is its default, ``link=None``), names
its own parameter in ``parameter`` (``"power"``, ``"theta"``) and hands the
compiled solver its choices through :meth:`Family.solver_options`; equality,
hashing and ``repr`` follow ``link`` and the parameter.  A name with a
parameter, ``"tweedie:1.5"`` or ``"negbin:2"``, is that family with that
value.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, ClassVar, Dict, NamedTuple, Optional, Tuple

import numpy as np

from . import _convert, _survival

__all__ = ["Family", "Gaussian", "Binomial", "Poisson", "Multinomial", "Gamma", "InverseGaussian",
           "Tweedie", "NegativeBinomial", "Cox", "MultiTask", "FAMILIES", "LINKS", "LINK_FUNCTIONS",
           "Measure", "MEASURES", "PenaltyMap", "get_family", "names", "weighted_auc"]


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


def _per_row(deviance: Callable[..., np.ndarray]) -> Callable[..., np.ndarray]:
    """A family's unit deviance on checked shapes: the formula sees y and
    eta with a lambda axis (see :meth:`Family.checked_rows`), and an eta
    given without one gets one value per row back."""

    @functools.wraps(deviance)
    def unit_deviance(self: "Family", y: Any, eta: Any) -> np.ndarray:
        y, eta, single = self.checked_rows(y, eta)
        out = deviance(self, y, eta)
        return out[:, 0] if single else out

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
    #: "standardize_response"), if any
    parameter: ClassVar[Optional[str]] = None
    #: what a row's response is: "one" value, a "survival" time and status,
    #: or "several" responses
    response_form: ClassVar[str] = "one"
    #: whether a path keeps its training rows (for survival curves)
    keeps_rows: ClassVar[bool] = False
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
        served = ", ".join(type(f).__name__ for f in FAMILIES if f.sums_blocks)
        return (f"{self!r} is not served on Dask: {self.blocks_refused_because}. Dask collections "
                f"serve the families {served} with any link and parameter; for {self!r} compute "
                f"X and y into memory (e.g. X.compute()) and fit there")

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
            if v is not None and k not in self.fit_options and v != FIT_OPTION_DEFAULTS[k]:
                owner = [f.name for f in FAMILIES if k in f.fit_options]
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
        raise ValueError(f"strata are an option of the cox family, not of the {self.name} family")

    def solver_response(self, y: np.ndarray) -> Tuple[np.ndarray, Dict[str, Any]]:
        """The response as the compiled solver takes it, and the options that
        travel with its rows (the cox family's strata)."""
        return y, {}

    def fold_labels(self, y: np.ndarray) -> Optional[np.ndarray]:
        """The labels random folds are stratified by (None: not stratified)."""
        return y if self.has_classes else None

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
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import get_family
        >>> get_family("gaussian").unit_deviance(np.array([1.0, 2.0]), np.array([0.5, 2.0]))
        array([0.25, 0.  ])
        """
        r = y[:, None] - self.inverse_link(eta)
        return r * r

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
                   training: Optional[Tuple[np.ndarray, Optional[np.ndarray], np.ndarray]] = None
                   ) -> np.ndarray:
        """The weighted mean loss of one fold's held-out rows at each lambda;
        NaN when they have no weight.  ``training`` (the training rows' y,
        weights and predictions) is given when scores_training_rows(measure)."""
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
        serving = [f.name for f in FAMILIES if measure in f.measures]
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


class Gaussian(Family):
    """Least squares (identity link, the default) or a normal response with
    a log link; the deviance is the squared error.

    Examples
    --------
    >>> import varnel
    >>> from varnel import families
    >>> data = varnel.load_demo()
    >>> path = varnel.fit_path(data.X, data.y, families.Gaussian())
    >>> path.family
    'gaussian'
    """

    name = "gaussian"
    aliases = ("normal",)
    solver_name = "gaussian"
    deviance_label = "Mean-squared error"
    links = ("identity", "log")
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
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Gaussian
        >>> Gaussian().unit_deviance(np.array([1.0, 2.0]), np.array([0.5, 2.0]))
        array([0.25, 0.  ])
        """
        r = y[:, None] - self.inverse_link(eta)
        return r * r

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
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

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
    """Two classes: logit link (the default), probit or complementary
    log-log; the second label (sorted) is coded 1.

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
    """

    name = "logistic"
    aliases = ("binomial",)
    solver_name = "binomial"
    sums_blocks = True
    measures = ("deviance", "mse", "mae", "class", "auc")
    deviance_label = "Binomial deviance"
    links = ("logit", "probit", "cloglog")

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
        """Where the second class is the more probable one."""
        return eta > 0 if self.link != "cloglog" else self.inverse_link(eta) > 0.5

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
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

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

    @_per_row
    def unit_deviance(self, y, eta):
        """``2 (log(mu / y) + (y - mu) / mu)`` of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Positive values.
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

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

    @_per_row
    def unit_deviance(self, y, eta):
        """``(y - mu)^2 / (y mu^2)`` of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Positive values.
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

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
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

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
    zero_allowed = True

    def __init__(self, theta: float = 1.0, link: Optional[str] = None) -> None:
        value = _convert.as_float(theta, "theta")
        if not (value > 0 and np.isfinite(value)):
            raise ValueError(f"theta must be positive and finite, got {theta!r}")
        self.theta = value
        super().__init__(link)

    @_per_row
    def unit_deviance(self, y, eta):
        """``2 (y log(y / mu) - (y + 1/theta) log((1 + theta y) / (1 + theta mu)))``
        of each row, ``mu = g^-1(eta)``.

        Parameters
        ----------
        y : ndarray of shape (n,)
            Non-negative counts.
        eta : ndarray of shape (n,) or (n, L)
            Linear predictors of the same rows (one column per lambda).

        Returns
        -------
        ndarray of shape (n,) or (n, L), as ``eta``

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

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


class Cox(Family):
    """Cox proportional hazards: the response is a survival time and an event
    status per row (an (n, 2) array, a structured array with a boolean or
    integer status field and a float time field, or a two-column data
    frame); the linear predictor is the log relative risk (no intercept),
    ``exp(eta)`` the relative risk.  ``ties`` is "breslow" or "efron".

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3))
    >>> y = np.column_stack([rng.exponential(np.exp(-X[:, 0])), np.ones(100)])
    >>> varnel.fit_path(X, y, families.Cox(ties="efron")).family_instance
    Cox(ties='efron')
    """

    name = "cox"
    solver_name = "cox"
    keeps_rows = True
    response_form = "survival"
    blocks_refused_because = ("its partial likelihood couples the rows of each risk set, which "
                              "spans row blocks")
    measures = ("deviance", "C")
    deviance_label = "Partial likelihood deviance"
    links = ("log",)
    parameter = "ties"
    fit_options = {"ties": "breslow"}
    intercept = False
    own_estimator = "CoxPHNetSurvival"

    def __init__(self, ties: str = "breslow", link: Optional[str] = None) -> None:
        if ties not in ("breslow", "efron"):
            raise ValueError(f"ties must be 'breslow' or 'efron', got {ties!r}")
        self.ties = ties
        super().__init__(link)

    def response(self, y, n):
        _convert.refuse_lazy(y, "y")
        return _survival.survival_response(y, n), None

    def with_strata(self, y, strata):
        codes, labels = _survival.strata_codes(strata, y.shape[0])
        out = y.copy()
        out[:, 2] = codes
        return out, labels

    def solver_response(self, y):
        extra = {"strata": y[:, 2].astype(np.uint64)} if y[:, 2].any() else {}
        return y[:, :2], extra

    def fold_labels(self, y):
        return y[:, 1]

    def scores_training_rows(self, measure):
        return measure == "deviance"

    def unit_deviance(self, y, eta):
        """The cox family has no deviance per row: its partial likelihood
        compares each event with the rows at risk, so it only splits over
        whole risk sets (``fold_score`` scores a fold with it).

        Parameters
        ----------
        y : ndarray of shape (n, 2)
            Times and statuses.
        eta : ndarray of shape (n,) or (n, L)
            Log relative risks.

        Raises
        ------
        ValueError
            Always.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Cox
        >>> Cox().unit_deviance(np.array([[1.0, 1.0]]), np.zeros(1))
        Traceback (most recent call last):
        ...
        ValueError: the partial likelihood of the cox family does not split into rows
        """
        raise ValueError("the partial likelihood of the cox family does not split into rows")

    def losses(self, y, eta, measure):
        raise ValueError(f"the cox family measures 'deviance' and 'C' over whole folds, not {measure!r}")

    def fold_score(self, y, w, eta, measure, training=None):
        """'C': Harrell's concordance of the held-out rows; 'deviance': the
        partial likelihood's difference method, -2 (l(beta; all rows) -
        l(beta; training rows)) per unit of held-out weight."""
        if w.sum() <= 0:
            return np.full(eta.shape[-1], np.nan)
        if measure == "C":
            return _survival.concordance(y, w, eta)
        y_train, w_train, eta_train = training
        w_train = np.ones(y_train.shape[0]) if w_train is None else w_train
        both = _survival.log_partial_likelihood(np.vstack([y_train, y]), np.r_[w_train, w],
                                                np.vstack([eta_train, eta]), self.ties)
        alone = _survival.log_partial_likelihood(y_train, w_train, eta_train, self.ties)
        return -2.0 * (both - alone) / w.sum()


class MultiTask(Family):
    """Several responses on the same rows (y of shape (n, K)), one
    least-squares fit each, with each variable's K coefficients penalized
    together (the group elastic net), so that a variable enters or leaves
    every response's model at once.  The deviance of a row is its sum of
    squared errors over the responses; "mse" and "mae" average over them.
    ``standardize_response`` scales each response to unit variance first.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 4)); Y = X[:, :2] + rng.normal(size=(100, 2))
    >>> varnel.fit_path(X, Y, "multitask").coefs.shape[:2]
    (4, 2)
    """

    name = "multitask"
    solver_name = "multitask"
    sums_blocks = True
    response_form = "several"
    deviance_label = "Sum of squared errors"
    block_name = "responses"
    block_unit = "response"
    own_estimator = "MultiTaskNetRegressor"
    parameter = "standardize_response"
    fit_options = {"standardize_response": False}

    def __init__(self, standardize_response: bool = False, link: Optional[str] = None) -> None:
        self.standardize_response = _convert.as_bool(standardize_response, "standardize_response")
        super().__init__(link)

    def response(self, y, n):
        _convert.refuse_lazy(y, "y")
        names = _convert.feature_names_of(y, "y")
        arr = np.asarray(y.to_numpy() if names is not None else y)
        if arr.ndim != 2 or arr.shape[1] < 1:
            raise ValueError(f"the multitask family needs y of shape ({n}, K), one column per response, "
                             f"got shape {arr.shape}")
        if arr.shape[0] != n:
            raise ValueError(f"X has {n} rows but y has {arr.shape[0]}; y must have shape ({n}, K)")
        _convert.check_missing(arr, "y", names)
        out = np.ascontiguousarray(_convert.float_array(arr, "y", names))
        _convert.check_finite(out, "y")
        return out, np.array(names if names is not None else range(arr.shape[1]), dtype=object)

    def offset_shape(self, n, classes):
        return (n, classes.shape[0])

    @property
    def fits_from_products(self) -> bool:
        return True

    def check_options(self, options):
        if self.standardize_response and (options.get("lower_limits") is not None
                                          or options.get("upper_limits") is not None):
            raise ValueError("lower_limits and upper_limits bound the coefficients of the responses as "
                             "given; they cannot be combined with standardize_response=True")

    def checked_rows(self, y, eta):
        """y is (n, K), one column per response, and eta (n, K), or
        (n, K, L) with the lambdas last."""
        y, eta = np.asarray(y), np.asarray(eta)
        if y.ndim == 2 and eta.ndim in (2, 3) and eta.shape[:2] == y.shape:
            return y, (eta[..., None] if eta.ndim == 2 else eta), eta.ndim == 2
        raise ValueError(f"the multitask family takes y of shape (n, K) with eta of shape (n, K) or "
                         f"(n, K, L), one linear predictor per response (and lambda), on the same "
                         f"rows; got y of shape {y.shape} and eta of shape {eta.shape}")

    def losses(self, y, eta, measure):  # eta: (n, K, L)
        measure = self.loss_measure(measure)
        y, eta, single = self.checked_rows(y, eta)
        r = y[:, :, None] - eta
        if measure == "deviance":
            out = (r * r).sum(axis=1)
        else:
            out = (np.abs(r) if measure == "mae" else r * r).mean(axis=1)
        return out[:, 0] if single else out

    @_per_row
    def unit_deviance(self, y, eta):
        """The sum of squared errors of each row over its K responses.

        Parameters
        ----------
        y : ndarray of shape (n, K)
            One column per response.
        eta : ndarray of shape (n, K) or (n, K, L)
            One linear predictor per response (and lambda) of the same rows.

        Returns
        -------
        ndarray of shape (n,) for an eta of shape (n, K), else (n, L)

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import MultiTask
        >>> MultiTask().unit_deviance(np.array([[1.0, 2.0]]), np.array([[0.0, 0.0]]))
        array([5.])
        """
        r = y[:, :, None] - eta
        return (r * r).sum(axis=1)


#: One instance of every family, in the order names are listed (Tweedie's
#: power 1.5 stands for every power: its name alone needs one).
FAMILIES: Tuple[Family, ...] = (Gaussian(), Binomial(), Poisson(), Multinomial(), Gamma(),
                                InverseGaussian(), Tweedie(1.5), NegativeBinomial(), Cox(), MultiTask())
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
