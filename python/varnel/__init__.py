"""varnel: elastic-net regularization paths for GLMs.

Fit a whole path of penalized Gaussian, two-class logistic, Poisson,
multinomial, gamma, inverse Gaussian, Tweedie, negative binomial (with a
choice of links), Cox proportional-hazards or multi-response least-squares
models with :func:`fit_path`, choose the penalty by K-fold cross-validation
with :func:`cv_path`, or use the scikit-learn estimators
:class:`ElasticNetRegressor`, :class:`LogisticNetClassifier`,
:class:`PoissonNetRegressor`, :class:`GeneralizedNetRegressor` for every
family and link, :class:`CoxPHNetSurvival` and :class:`MultiTaskNetRegressor`
(these need scikit-learn).  :mod:`varnel.families`
describes each family (links, losses, measures, predictions).

Only NumPy is required; matplotlib (plots), joblib (parallel folds), tqdm
(progress bars), pandas and scipy (inputs) are used when present.
"""

from ._fit import CoefficientBoundWarning, PathWarning
from ._progress import LambdaProgress
from ._folds import SubjectSplitWarning
from .cv import CVPath, cv_path
from ._fit_path import fit_path
from ._optimality import Optimality
from .path import Path

try:
    from importlib.metadata import PackageNotFoundError, version as _version

    try:
        __version__ = _version("varnel")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        __version__ = "0+unknown"
except ImportError:  # pragma: no cover
    __version__ = "0+unknown"

_ESTIMATORS = ("ElasticNetRegressor", "LogisticNetClassifier", "PoissonNetRegressor",
               "PathConvergenceWarning")
# estimators in modules of their own
_OWN_MODULES = {"GeneralizedNetRegressor": "generalized", "CoxPHNetSurvival": "survival",
                "MultiTaskNetRegressor": "multitask"}

__all__ = [
    "fit_path",
    "cv_path",
    "Path",
    "CVPath",
    "Optimality",
    "PathWarning",
    "CoefficientBoundWarning",
    "LambdaProgress",
    "SubjectSplitWarning",
    "load_demo",
    "ElasticNetRegressor",
    "LogisticNetClassifier",
    "PoissonNetRegressor",
    "PathConvergenceWarning",
    "GeneralizedNetRegressor",
    "CoxPHNetSurvival",
    "MultiTaskNetRegressor",
]


def __getattr__(name: str):
    # The estimators (and their warning class) import scikit-learn: load them
    # only when asked for.
    if name in _ESTIMATORS:
        from . import estimators

        return getattr(estimators, name)
    if name in _OWN_MODULES:
        from importlib import import_module

        return getattr(import_module(f".{_OWN_MODULES[name]}", __name__), name)
    if name == "load_demo":
        from .datasets import load_demo

        return load_demo
    raise AttributeError(f"module 'varnel' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
