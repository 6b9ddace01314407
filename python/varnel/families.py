"""What varnel knows about each GLM family, in one place.

A family is one :class:`Family` instance: its name and aliases, how a
response is converted (and, for the class families, which labels there are
and how they are coded), its inverse link and the predictions it offers, its
per-row losses and cross-validation measures, the name of the compiled
solver's family, and how scikit-learn's penalty parametrisation (``alpha``
the strength, ``l1_ratio`` the mix) maps onto the solver's (lambda, alpha).
:func:`get_family` resolves what a user passes as ``family=``: a name
(``"gaussian"``, ``"logistic"`` or ``"binomial"``, ``"poisson"``,
``"multinomial"``) or a :class:`Family` instance.

A new family is one subclass here; a family with parameters (a power, a
link, a dispersion) carries them as constructor arguments, and
:func:`get_family` returns such an instance as it is.
"""

from __future__ import annotations

from typing import Any, ClassVar, Dict, NamedTuple, Optional, Tuple

import numpy as np

from . import _convert

__all__ = ["Family", "Gaussian", "Binomial", "Poisson", "Multinomial", "FAMILIES", "Measure",
           "MEASURES", "PenaltyMap", "get_family", "names", "weighted_auc"]


class Measure(NamedTuple):
    """A cross-validation measure: its name, the label of its axis, and
    whether larger values are better."""

    name: str
    label: str
    maximise: bool = False


MEASURES: Dict[str, Measure] = {m.name: m for m in (
    Measure("deviance", "Deviance"),
    Measure("mse", "Mean-squared error"),
    Measure("mae", "Mean absolute error"),
    Measure("class", "Misclassification error"),
    Measure("auc", "AUC", maximise=True),
)}


class PenaltyMap(NamedTuple):
    """scikit-learn's penalty in the solver's terms: ``lambda = factor *
    alpha_strength`` and the solver's mix ``alpha = mix``."""

    factor: float
    mix: float


def _sigmoid(eta: np.ndarray) -> np.ndarray:
    out = np.empty_like(eta, dtype=np.float64)
    pos = eta >= 0
    out[pos] = 1.0 / (1.0 + np.exp(-eta[pos]))
    e = np.exp(eta[~pos])
    out[~pos] = e / (1.0 + e)
    return out


def weighted_auc(score: np.ndarray, y: np.ndarray, w: np.ndarray) -> float:
    """Area under the ROC curve with observation weights (ties count one half);
    NaN when one class has no weight."""
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


class Family:
    """One GLM family.  Subclasses set the class attributes and override the
    maths that differs; an instance is what :func:`get_family` returns.

    Linear predictors ``eta`` have the rows first, then (for a family with K
    linear predictors per row) the class axis, then optionally the lambdas.
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

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"

    def __eq__(self, other: Any) -> bool:
        # a family with parameters compares them too
        return type(self) is type(other)

    def __hash__(self) -> int:
        return hash(type(self))

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

    def check_values(self, y: np.ndarray) -> None:
        """Refuse values outside the family's support."""

    def offset_shape(self, n: int, classes: Optional[np.ndarray]) -> Tuple[int, ...]:
        """The shape of an offset for n rows: one value per linear predictor."""
        return (n,)

    # ---- links and predictions ---------------------------------------------------
    def inverse_link(self, eta: np.ndarray) -> np.ndarray:
        """The mean of the response given the linear predictor."""
        return eta

    def check_kind(self, kind: Any) -> str:
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
        raise ValueError(f"the {self.name} family predicts no classes")

    # ---- losses and measures ------------------------------------------------------
    def unit_deviance(self, y: np.ndarray, eta: np.ndarray) -> np.ndarray:
        """Per-row deviance of ``y`` (n,) at the links ``eta`` (n, L)."""
        r = y[:, None] - self.inverse_link(eta)
        return r * r

    def losses(self, y: np.ndarray, eta: np.ndarray, measure: str) -> np.ndarray:
        """Per-row loss (n, L) of a measure that averages over rows."""
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            if measure == "deviance":
                return self.unit_deviance(y, eta)
            if measure == "class":
                return self.misclassified(y, eta)
            r = y[:, None] - self.inverse_link(eta)
            return np.abs(r) if measure == "mae" else r * r

    def misclassified(self, y: np.ndarray, eta: np.ndarray) -> np.ndarray:
        raise ValueError(f"the {self.name} family has no classes to misclassify")

    def fold_score(self, y: np.ndarray, w: np.ndarray, eta: np.ndarray, measure: str) -> np.ndarray:
        """The weighted mean loss of one fold's held-out rows at each lambda;
        NaN when they have no weight."""
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

    def measure_label(self, measure: str) -> str:
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
    """Least squares: identity link; the deviance is the squared error."""

    name = "gaussian"
    aliases = ("normal",)
    solver_name = "gaussian"
    deviance_label = "Mean-squared error"

    def response_scale(self, y, weights, intercept, offset):
        """The solver works on ``y - offset`` divided by its weighted standard
        deviation (its root mean square without an intercept), weights
        summing to 1; 1 stands in for 0, which the solver refuses on its own."""
        fitted = y if offset is None else y - offset
        wn = np.full(fitted.shape[0], 1.0 / fitted.shape[0]) if weights is None else weights / weights.sum()
        c = wn @ fitted if intercept else 0.0
        s = float(np.sqrt(wn @ (fitted - c) ** 2))
        return s if s > 0 and np.isfinite(s) else 1.0

    def response_scale_of_moments(self, mean, var, intercept):
        s = float(np.sqrt(var if intercept else var + mean * mean))
        return s if s > 0 and np.isfinite(s) else 1.0

    def penalty_map(self, l1_ratio, scale):
        """Dividing y by ``s`` divides the ridge term by ``s``, so
        ``a r |b|_1 + a (1-r)/2 |b|^2 = lambda (mix |b|_1 + (1-mix)/(2 s) |b|^2)``
        for ``lambda = a (r + (1-r) s)`` and ``mix = r / (r + (1-r) s)``."""
        factor = l1_ratio + (1.0 - l1_ratio) * scale
        return PenaltyMap(factor, l1_ratio / factor if l1_ratio > 0 else 0.0)


class Poisson(Family):
    """Counts: log link, mean ``exp(eta)``."""

    name = "poisson"
    solver_name = "poisson"
    deviance_label = "Poisson deviance"

    def check_values(self, y):
        if (y < 0).any():
            raise ValueError(f"the poisson family needs non-negative counts in y, but "
                             f"y[{int(np.argmax(y < 0))}] is {y[y < 0][0]:g}")

    def inverse_link(self, eta):
        return np.exp(eta)

    def unit_deviance(self, y, eta):
        yc = y[:, None]
        mu = np.exp(eta)
        ylogy = np.where(yc > 0, yc * np.log(np.where(yc > 0, yc, 1.0)), 0.0)
        return 2.0 * (ylogy - yc * eta - (yc - mu))


class _ClassFamily(Family):
    """A response of class labels, coded 0, ..., K - 1 in sorted order."""

    kinds = ("link", "response", "class")

    def response(self, y, n):
        arr = _convert.response_array(y, n)
        if arr.dtype.kind == "c":
            raise TypeError("y is complex")
        classes, codes = np.unique(arr, return_inverse=True)
        self.check_classes(classes)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.float64), classes

    def check_classes(self, classes: np.ndarray) -> None:
        k = classes.shape[0]
        if k < 2:
            raise ValueError(f"the {self.name} family needs at least two classes in y, found {k}")


class Binomial(_ClassFamily):
    """Two classes: logit link; the second label (sorted) is coded 1."""

    name = "logistic"
    aliases = ("binomial",)
    solver_name = "binomial"
    measures = ("deviance", "mse", "mae", "class", "auc")
    deviance_label = "Binomial deviance"

    def check_classes(self, classes):
        if classes.shape[0] != 2:
            raise ValueError(
                "the logistic family needs exactly two classes in y, found "
                f"{classes.shape[0]} class(es)"
                + (f": {', '.join(map(_convert.shown_label, classes[:5]))}" if classes.shape[0] else "")
                + ("; use family='multinomial' for more" if classes.shape[0] > 2 else ""))

    def inverse_link(self, eta):
        return _sigmoid(eta)

    def labels(self, eta, classes):
        labels = np.asarray(classes) if classes is not None else np.array([0, 1])
        return labels[(eta > 0).astype(np.intp)]

    def unit_deviance(self, y, eta):
        yc = y[:, None]
        p = np.clip(_sigmoid(eta), 1e-5, 1 - 1e-5)
        return -2.0 * (yc * np.log(p) + (1.0 - yc) * np.log1p(-p))

    def misclassified(self, y, eta):
        return ((eta > 0) != (y[:, None] > 0.5)).astype(np.float64)

    def fold_score(self, y, w, eta, measure):
        if measure != "auc":
            return super().fold_score(y, w, eta, measure)
        if w.sum() <= 0:
            return np.full(eta.shape[-1], np.nan)
        return np.array([weighted_auc(eta[:, j], y, w) for j in range(eta.shape[1])])


class Multinomial(_ClassFamily):
    """K >= 2 classes: one linear predictor per class (the class axis comes
    after the rows), softmax probabilities."""

    name = "multinomial"
    solver_name = "multinomial"
    measures = ("deviance", "class", "mse", "mae")
    deviance_label = "Multinomial deviance"
    groups_coefficients = True

    def offset_shape(self, n, classes):
        return (n, classes.shape[0])

    def inverse_link(self, eta):
        e = np.exp(eta - eta.max(axis=1, keepdims=True))
        return e / e.sum(axis=1, keepdims=True)

    def labels(self, eta, classes):
        return np.asarray(classes)[np.argmax(eta, axis=1)]

    def losses(self, y, eta, measure):  # eta: (n, K, L); y: class codes
        codes = y.astype(np.intp)
        if measure == "class":
            return (np.argmax(eta, axis=1) != codes[:, None]).astype(np.float64)
        prob = self.inverse_link(eta)
        if measure == "deviance":
            mine = np.take_along_axis(prob, codes[:, None, None], axis=1)[:, 0]
            return -2.0 * np.log(np.clip(mine, 1e-5, 1.0))
        r = (codes[:, None, None] == np.arange(eta.shape[1])[None, :, None]) - prob
        return (np.abs(r) if measure == "mae" else r * r).sum(axis=1)

    def unit_deviance(self, y, eta):
        return self.losses(y, eta, "deviance")


#: One instance of every family, in the order names are listed.
FAMILIES: Tuple[Family, ...] = (Gaussian(), Binomial(), Poisson(), Multinomial())
_BY_NAME: Dict[str, Family] = {name: f for f in FAMILIES for name in (f.name,) + f.aliases}


def names() -> Tuple[str, ...]:
    """Every name :func:`get_family` takes: canonical names, then aliases."""
    return tuple(f.name for f in FAMILIES) + tuple(a for f in FAMILIES for a in f.aliases)


def get_family(family: Any) -> Family:
    """The :class:`Family` for a name (case-insensitive; ``"binomial"`` is
    ``"logistic"``, ``"normal"`` is ``"gaussian"``) or a Family instance,
    returned as it is."""
    if isinstance(family, Family):
        return family
    if not isinstance(family, str):
        raise TypeError(f"family must be a name or a varnel.families.Family, got "
                        f"{type(family).__name__}")
    found = _BY_NAME.get(family.lower())
    if found is None:
        raise ValueError(f"family must be one of {tuple(f.name for f in FAMILIES)} "
                         f"(or an alias: {', '.join(repr(a) for f in FAMILIES for a in f.aliases)}), "
                         f"got {family!r}")
    return found
