"""varnel: elastic-net regularization paths for GLMs.

Fit a whole path of penalized Gaussian, two-class logistic, Poisson,
multinomial, gamma, inverse Gaussian, Tweedie or negative binomial models
(with a choice of links) with :func:`fit_path`, choose the penalty by K-fold
cross-validation with :func:`cv_path`, or use the scikit-learn estimators
:class:`ElasticNetRegressor`, :class:`LogisticNetClassifier` and
:class:`PoissonNetRegressor`, and :class:`GeneralizedNetRegressor` for every
family and link (these need scikit-learn).  :mod:`varnel.families`
describes each family (links, losses, measures, predictions).

Only NumPy is required; matplotlib (plots), joblib (parallel folds), tqdm
(progress bars), pandas and scipy (inputs) are used when present.
"""

from ._fit import PathWarning
from .cv import CVPath, cv_path
from .path import Path, fit_path

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

__all__ = [
    "fit_path",
    "cv_path",
    "Path",
    "CVPath",
    "PathWarning",
    "load_demo",
    "ElasticNetRegressor",
    "LogisticNetClassifier",
    "PoissonNetRegressor",
    "PathConvergenceWarning",
    "GeneralizedNetRegressor",
]


def __getattr__(name: str):
    # The estimators (and their warning class) import scikit-learn: load them
    # only when asked for.
    if name in _ESTIMATORS:
        from . import estimators

        return getattr(estimators, name)
    if name == "GeneralizedNetRegressor":
        from .generalized import GeneralizedNetRegressor

        return GeneralizedNetRegressor
    if name == "load_demo":
        from .datasets import load_demo

        return load_demo
    raise AttributeError(f"module 'varnel' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
