"""What the user reads when the compiled solvers cannot fit some rows, and
when a cross-validation fold has no solution.

The compiled solvers name the input they cannot fit with fixed texts (which
the low-level entry points keep); the Python layer says the same in words
that name the argument and the remedy, and, for a cross-validation fold,
the fold and what to do about the folds.
"""

from __future__ import annotations

import warnings
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple

#: What a fold's text advises: folds whose training rows can be fitted.
FOLD_ADVICE = ("choose other folds (foldid, or nfolds and seed) so that the training rows of "
               "every fold can be fitted")

#: The solvers' texts of input they cannot fit: (kind, what fit_path says,
#: what a cross-validation fold says after "cross-validation fold k: ").
_WEIGHTS = "observation weights sum to <= 0 (jerr 9999)"
_SOLVER_TEXTS: Dict[str, Tuple[str, str, str]] = {
    _WEIGHTS: (
        "weights",
        "the weights sum to 0: at least one weight must be positive",
        "the weights of its training rows sum to 0, so it has nothing to fit"),
    "all predictors are constant or excluded (jerr 7777)": (
        "columns",
        "every column of X is constant on the rows of positive weight, or excluded: "
        "there is no variable to fit",
        "every column of X is constant on its training rows of positive weight, or "
        "excluded: it has no variable to fit"),
    "all penalty factors are <= 0 (jerr 10000)": (
        "penalty",
        "penalty_factor must be positive for at least one variable that is not excluded",
        "penalty_factor must be positive for at least one variable that is not excluded"),
    "null probability underflowed pmin; response is ~constant (jerr 8001)": (
        "classes",
        "y is almost always the first class on the rows of positive weight: the share of the "
        "second class is too small to fit",
        "its training rows of positive weight are almost all of the first class: the share of "
        "the second class is too small to fit"),
    "null probability exceeded 1-pmin; response is ~constant (jerr 9001)": (
        "classes",
        "y is almost always the second class on the rows of positive weight: the share of the "
        "first class is too small to fit",
        "its training rows of positive weight are almost all of the second class: the share of "
        "the first class is too small to fit"),
    "negative response; not permitted for the Poisson family (jerr 8888)": (
        "response",
        "the poisson family needs non-negative counts in y",
        "the poisson family needs non-negative counts in y"),
}


def solver_error(kind: str, text: str, fold_text: str) -> ValueError:
    """A ValueError of input the solvers cannot fit, with how a fold says it
    (its ``fold_text``) and what was wrong (its ``kind``) beside its text."""
    exc = ValueError(text)
    exc.kind, exc.fold_text = kind, fold_text  # type: ignore[attr-defined]
    return exc


def translated(exc: ValueError) -> ValueError:
    """A solver's fixed text as the ValueError solver_error makes; any other
    error as it is."""
    found = _SOLVER_TEXTS.get(str(exc))
    return exc if found is None else solver_error(*found)


def is_solver_error(exc: BaseException) -> bool:
    """Whether ``exc`` came from translated (its text is the user's)."""
    return hasattr(exc, "fold_text")


def solver_call(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """``fn(*args, **kwargs)`` with the solvers' fixed texts translated."""
    try:
        return fn(*args, **kwargs)
    except ValueError as exc:
        plain = translated(exc)
        if plain is exc:
            raise
        raise plain from None


def in_fold(exc: ValueError, k: int) -> ValueError:
    """A fold's fit failed: the error naming fold k (for input the solvers
    cannot fit, in the fold's words, with the advice on folds when the
    folds are the cause)."""
    if not is_solver_error(exc):
        return ValueError(f"cross-validation fold {k}: {exc}")
    advice = "" if exc.kind in ("penalty", "response") else f"; {FOLD_ADVICE}"  # type: ignore[attr-defined]
    return ValueError(f"cross-validation fold {k}: {exc.fold_text}{advice}")  # type: ignore[attr-defined]


def stop_reason(warning: Optional[Tuple[str, int]], options: Mapping[str, Any],
                names: Optional[Mapping[str, str]] = None) -> str:
    """Why a path stopped (the solver's warning), naming the limit as the
    caller set it (``names``: the caller's names of the solver's options,
    such as an estimator's ``max_iter`` for ``maxit``) and the remedy."""
    if warning is None:
        return "the solver returned no solution"
    if warning[0] == "Stopped":
        return "the callback asked the path to stop"
    option = "pmax" if warning[0] == "MaxActiveReached" else "maxit"
    name = (names or {}).get(option, option)
    value = options.get(option)
    if value is None:
        return f"the limit on active variables was reached; set {name} higher"
    return f"{name}={value} reached; raise {name}"


def training_weights(k: int, total: float) -> None:
    """Refuse cross-validation fold k when its training rows weigh nothing
    (``total``: their weights' sum)."""
    if not total > 0:
        raise in_fold(solver_error(*_SOLVER_TEXTS[_WEIGHTS]), k)


def no_solution(where: str, warning: Optional[Tuple[str, int]], options: Mapping[str, Any],
                names: Optional[Mapping[str, str]] = None) -> ValueError:
    """A path (``where``: "cross-validation fold 3", "the path on all the
    data") that stopped before its first solution."""
    return ValueError(f"{where} stopped before its first solution: "
                      f"{stop_reason(warning, options, names)}")


def without_solution(failed: Dict[int, Tuple[int, Any]], alphas: Sequence[float],
                     mix_options: Sequence[Mapping[str, Any]],
                     option_names: Optional[Mapping[str, str]], category: type,
                     stacklevel: int) -> None:
    """The mixes with a fold that stopped before its first solution
    (``failed[m]``: the first such fold and its warning) are left out with
    a warning; when that is every mix, the first one's fold raises."""
    M = len(alphas)
    if len(failed) == M:
        m = min(failed)
        k, warning = failed[m]
        mix = f" (alpha={alphas[m]:g})" if M > 1 else ""
        raise no_solution(f"cross-validation fold {k}{mix}", warning, mix_options[m], option_names)
    for m in sorted(failed):
        k, warning = failed[m]
        warnings.warn(f"cross-validation: alpha={alphas[m]:g} is left out: fold {k} stopped before "
                      f"its first solution ({stop_reason(warning, mix_options[m], option_names)})",
                      category, stacklevel=stacklevel + 1)
