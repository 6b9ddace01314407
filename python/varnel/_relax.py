"""Relaxed fits along a path: at every lambda, the model refitted without
penalty on that lambda's active set, and blends of the two fits.

The refit of lambda ``l`` goes through the same fit entry as the path (a
source's ``fit_on``, or a fold's solve), with every option of the path (the
family with its link and parameters, weights, offset, limits, intercept,
standardize, the solver) and three changes: only the active columns are
fitted (rows in memory hand the solver those columns, with their
per-feature settings; a fit from statistics excludes the others), the
penalty is 0 (``user_lambda=[0]``), and the fit starts from the penalized
solution at ``l``.

A refit with no finite solution is approached instead along a short path
of decreasing penalty on the active set (see :func:`refit`).
"""

from __future__ import annotations

from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple

import numpy as np

from . import _coefs, _fit
from . import _convert as cv

#: The deviance ratio past which a fit counts as saturated (the path's own
#: stopping rule), and the smallest change of it that continues a path.
MAX_DEV_RATIO = 0.999
MIN_DEV_CHANGE = 1e-5
#: The penalties of the path towards a refit with no finite solution:
#: CAPPED_STEPS values from the penalized fit's lambda down to CAPPED_RATIO
#: times it.
CAPPED_STEPS = 20
CAPPED_RATIO = 1e-4

#: The blends cross-validated by default.
DEFAULT_BLENDS = (0.0, 0.2, 0.4, 0.6, 0.8, 1.0)

#: The key of the solver options that carries the blends of a relaxed
#: cross-validation to the folds (taken out before the solver sees them).
BLENDS_KEY = "relax_blends"


class Relaxed(NamedTuple):
    """The refits of a path: intercepts and coefficients shaped (and
    stored) like the path's, and whether each was capped."""

    intercepts: np.ndarray
    coefs: Any
    capped: np.ndarray


def check_relax(relax: Any) -> bool:
    """``relax`` as a bool (only real bools are taken)."""
    return cv.as_bool(relax, "relax")


def check_blend(blend: Any, name: str = "blend") -> float:
    """One blend, a number in [0, 1]."""
    return cv.in_range(cv.as_float(blend, name), name, 0.0, 1.0)


def check_blends(blends: Any) -> Tuple[float, ...]:
    """A grid of blends: a number or a non-empty 1-D sequence of numbers in
    [0, 1], without repeats."""
    if np.ndim(blends) == 0:
        return (check_blend(blends),)
    if np.ndim(blends) != 1 or len(blends) == 0:
        raise ValueError("blend must be a number in [0, 1] or a non-empty 1-D sequence of them")
    out = tuple(check_blend(b.item() if isinstance(b, np.generic) else b, f"blend[{i}]")
                for i, b in enumerate(blends))
    if len(set(out)) < len(out):
        raise ValueError(f"blend holds a value twice: {list(out)}")
    return out


def without_blends(so: Dict[str, Any]) -> Tuple[Dict[str, Any], Optional[Tuple[float, ...]]]:
    """The solver options without the blends of a relaxed cross-validation,
    and those blends (None for a fit that is not relaxed)."""
    if BLENDS_KEY not in so:
        return so, None
    so = dict(so)
    return so, so.pop(BLENDS_KEY)


#: The per-feature solver options, restricted with the columns they go with.
PER_FEATURE = ("penalty_factor", "lower_limits", "upper_limits", "start_beta")

#: ``fit(options, active)``: the decoded solution of the solver options
#: ``options`` (p columns, the ones outside ``active`` excluded) on the same
#: rows, its coefficients either for every column or for ``active`` only.
ColumnsFit = Callable[[Dict[str, Any], np.ndarray], Any]


def on_columns(X: Any, y: np.ndarray, family: Any, weights: Optional[np.ndarray],
               offset: Optional[np.ndarray], n_threads: Optional[int] = None) -> ColumnsFit:
    """The ColumnsFit of rows in memory: the solver gets the active columns
    of X (a copy of n x |active| values) and their per-feature settings."""
    def fit(options: Dict[str, Any], active: np.ndarray) -> Any:
        Xa = X[:, active]
        Xa = Xa.tocsc() if cv.is_sparse(Xa) else np.asfortranarray(Xa)
        sub = dict(options, exclude=None)
        for name in PER_FEATURE:
            value = sub.get(name)
            if value is not None and np.ndim(value) >= 1:
                sub[name] = np.ascontiguousarray(np.asarray(value)[active])
        return _fit.solve(Xa, y, family, sub, weights, offset, n_threads=n_threads)
    return fit


def excluding(fit: Callable[[Dict[str, Any]], Any]) -> ColumnsFit:
    """The ColumnsFit of a fit from statistics of every column: the
    columns outside the active set are excluded."""
    return lambda options, active: fit(options)


def _solution_column(sol: Any, m: int, active: np.ndarray, p: int) -> np.ndarray:
    """Solution m's coefficients for all p columns."""
    c = _coefs.column(sol.coefs, m)
    if c.shape[0] == p:
        return c
    full = np.zeros((p,) + c.shape[1:])
    full[active] = c
    return full


def _active(b: np.ndarray) -> np.ndarray:
    """The variables of a solution ((p,) or (p, K)) with a non-zero
    coefficient (for any class)."""
    return np.flatnonzero(np.any(b.reshape(b.shape[0], -1) != 0, axis=1))


def _usable(sol: Any) -> bool:
    """A refit that reached a finite, unsaturated solution without a limit."""
    if sol.n_lambdas == 0 or sol.warning is not None or sol.bound is not None:
        return False
    last = _coefs.column(sol.coefs, sol.n_lambdas - 1)
    dev = sol.dev_ratio[sol.n_lambdas - 1]
    return bool(np.all(np.isfinite(last)) and np.all(np.isfinite(sol.intercepts[..., -1]))
                and np.isfinite(dev) and dev <= MAX_DEV_RATIO)


def _capped_stop(dev: np.ndarray) -> int:
    """The index where the path towards a refit stops: the first solution
    whose deviance ratio passes MAX_DEV_RATIO or gains less than
    MIN_DEV_CHANGE on the one before, else the last."""
    for m in range(dev.shape[0]):
        if not np.isfinite(dev[m]):
            return max(m - 1, 0)
        if dev[m] > MAX_DEV_RATIO or (m > 0 and dev[m] - dev[m - 1] < MIN_DEV_CHANGE):
            return m
    return dev.shape[0] - 1


def refit(fit: ColumnsFit, solution: Any, so: Dict[str, Any], weighted_rows: int,
          least_squares: bool = False) -> Relaxed:
    """The relaxed fits of a decoded path ``solution`` fitted with solver
    options ``so``; ``fit`` fits the same rows on some of the columns with
    other options (see ColumnsFit); ``weighted_rows`` counts the rows of
    positive weight; ``least_squares``: the family's fits follow from the
    cross products of ``[X Y]`` (``Family.fits_from_products``), whose
    unpenalized fits are finite when the rows outnumber the variables.

    At lambda ``l`` with active set A (the variables with a non-zero
    coefficient, for any class): no variable, or no penalized one: the
    penalized fit itself (it is the refit).  Otherwise, when ``|A|`` plus
    the intercept is at most ``weighted_rows``, the fit with penalty 0 on A
    started from the penalized solution; it is kept when it converges (no
    ``maxit`` stop, no coefficient at the bound, finite values, no error)
    with a deviance ratio of at most 0.999 and, for a family other than
    least squares, when the same fit started beyond it (at the refit plus
    its step from the penalized solution) comes back: one that stays more
    than half that step away has no finite optimum in that direction (a
    likelihood still rising there, as a cox model's monotone one).  Else
    the refit has no finite solution and is capped: A is fitted along 20
    penalties from lambda ``l`` down to 1e-4 times it, started from the
    penalized solution, and the fit kept is the first whose deviance ratio
    passes 0.999 or gains less than 1e-5 on the one before (the path's own
    rules), else the last; when even that path cannot be fitted the
    penalized fit is kept.
    """
    # refits report no progress, and start from the penalized solutions
    so = {k: v for k, v in so.items() if k not in ("callback", "starts_beta", "starts_a0")}
    coefs = _coefs.to_dense(solution.coefs)
    L = solution.n_lambdas
    p = coefs.shape[0]
    out_b = np.zeros_like(coefs)
    out_a = np.array(solution.intercepts, dtype=np.float64, copy=True)
    capped = np.zeros(L, dtype=bool)
    excluded = set() if so.get("exclude") is None else {int(j) for j in so["exclude"]}
    with_intercept = 1 if so.get("intercept", True) else 0
    factors = so.get("penalty_factor")
    factors = np.asarray(factors) if factors is not None and np.ndim(factors) == 1 else None
    done: Dict[Tuple[int, ...], Tuple[np.ndarray, Any]] = {}
    for l in range(L):
        b = coefs[..., l]
        a0 = solution.intercepts[..., l]
        active = _active(b)
        if active.shape[0] == 0 or (factors is not None and not factors[active].any()):
            # no variable, or none penalized: the penalized fit is the refit
            out_b[..., l], out_a[..., l] = b, a0
            continue
        key = tuple(active.tolist())
        if key in done:
            out_b[..., l], out_a[..., l] = done[key]
            continue
        options = dict(so, exclude=sorted(excluded | (set(range(p)) - set(key))),
                       start_beta=np.ascontiguousarray(b), start_a0=np.array(a0, dtype=np.float64))
        sol = None
        if active.shape[0] + with_intercept <= weighted_rows:
            try:
                sol = fit(dict(options, user_lambda=np.zeros(1)), active)
            except ValueError:
                sol = None
        if sol is not None and _usable(sol):
            found = (_solution_column(sol, 0, active, p), sol.intercepts[..., 0])
            if least_squares or _comes_back(fit, options, active, b, found):
                done[key] = found
                out_b[..., l], out_a[..., l] = found
                continue
        capped[l] = True
        out_b[..., l], out_a[..., l] = _capped(fit, options, active, float(solution.lambdas[l]), b, a0)
    stored = _coefs.from_dense(out_b) if _coefs.is_sparse(solution.coefs) else out_b
    return Relaxed(out_a, stored, capped)


def _comes_back(fit: ColumnsFit, options: Dict[str, Any], active: np.ndarray, b: np.ndarray,
                found: Tuple[np.ndarray, Any]) -> bool:
    """Whether the unpenalized fit started beyond the refit ``found`` (one
    more step from the penalized solution ``b``) returns to it; a start
    the solver refuses (means outside the family's domain) settles
    nothing, and the refit stands."""
    step = found[0] - b
    size = float(np.abs(step).max())
    if size == 0.0:
        return True
    further = dict(options, user_lambda=np.zeros(1), start_beta=np.ascontiguousarray(found[0] + step),
                   start_a0=np.array(found[1], dtype=np.float64))
    try:
        sol = fit(further, active)
    except ValueError:
        return True
    if sol.n_lambdas == 0:
        return True
    moved = float(np.abs(_solution_column(sol, 0, active, b.shape[0]) - found[0]).max())
    return moved <= 0.5 * size


def _capped(fit: ColumnsFit, options: Dict[str, Any], active: np.ndarray, lam: float,
            b: np.ndarray, a0: Any) -> Tuple[np.ndarray, Any]:
    """The fit kept for a refit with no finite solution (see refit)."""
    if not (np.isfinite(lam) and lam > 0):
        return b, a0
    lambdas = lam * CAPPED_RATIO ** (np.arange(1, CAPPED_STEPS + 1) / CAPPED_STEPS)
    try:
        sol = fit(dict(options, user_lambda=lambdas), active)
    except ValueError:
        return b, a0
    if sol.n_lambdas == 0:
        return b, a0
    m = _capped_stop(sol.dev_ratio)
    return _solution_column(sol, m, active, b.shape[0]), sol.intercepts[..., m]


def blended(penalized: Any, relaxed: Any, blend: float) -> Any:
    """``blend * penalized + (1 - blend) * relaxed`` of two coefficient
    (or intercept) arrays in the same storage; blend 1 is ``penalized``
    itself."""
    if blend == 1.0:
        return penalized
    if isinstance(penalized, list):
        return [blended(p, r, blend) for p, r in zip(penalized, relaxed)]
    out = penalized * blend + relaxed * (1.0 - blend)
    return out.tocsc() if cv.is_sparse(out) else out


def rows_with_weight(weights: Optional[np.ndarray], n: int) -> int:
    """The rows of positive weight (all n without weights)."""
    return n if weights is None else int(np.count_nonzero(np.asarray(weights) > 0))


def path_refit(source: Any, solution: Any, so: Dict[str, Any]) -> Relaxed:
    """The relaxed fits of a full-data path, through the source's own fit
    on the active columns (``fit_on``)."""
    return refit(source.fit_on, solution, so, source.weighted_rows, source.family.fits_from_products)
