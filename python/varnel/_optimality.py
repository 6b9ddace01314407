"""How far each solution of a path is from optimal: the largest violation
of the optimality (KKT) conditions of the penalized objective, and for the
families whose loss has a conjugate in closed form (least squares, the
logistic family) the duality gap.

Everything is measured on the objective the family states (the loss per
unit of weight, the weights normalized to sum 1, plus lambda times the
penalty), with the coefficients on the scale the penalty applies to: the
standardized columns' when ``standardize=True``.  The family supplies the
derivative of its loss in the linear predictors (``Family.loss_gradient``),
so this module knows no family by name.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from . import _coefs, _convert
from ._columns import as_matrix

__all__ = ["Optimality", "certificate", "TOLERANCE", "warning_text"]

#: The relative violation above which a certified path warns.
TOLERANCE = 1e-3


class Optimality:
    """How far each solution of a path is from optimal.

    Attributes
    ----------
    lambdas : ndarray of shape (L,)
        The path's lambdas.
    violation : ndarray of shape (L,)
        The largest violation of the optimality conditions at each lambda,
        in the objective's units per unit of (standardized) coefficient or
        of intercept: for a zero coefficient ``max(0, |g_j| - lambda alpha
        v_j)``, for a non-zero one ``|g_j + lambda (alpha v_j sign(b_j) +
        (1 - alpha) v_j b_j)|`` (with the Gaussian family's ridge term
        divided by the response scale), g the gradient of the loss; a
        coefficient at a limit counts only the part of its gradient that
        would move it inside; a fitted intercept's derivative counts as it
        is.  A grouped penalty takes each variable's K coefficients
        together (Euclidean norms).  With ``feature_groups`` the conditions
        are the sparse-group penalty's, per group (see ``fit_path``): a
        zero group's soft-thresholded gradient norm beyond its group
        threshold, a non-zero group's largest residual entry.
    scale : ndarray of shape (L,)
        What ``relative`` divides by: the larger of lambda and 1e-3 times
        the weighted root mean square of the loss's derivatives per row
        (the largest gradient a standardized column can have), so that a
        lambda of 0 has a scale too.
    relative : ndarray of shape (L,)
        ``violation / scale``; a certified path warns where it exceeds
        ``TOLERANCE`` (1e-3).
    duality_gap : ndarray of shape (L,) or None
        Least squares (one response or several) and the logistic family
        with its logit link: the primal objective less the dual objective
        at the solution's dual point (the loss's derivatives after the
        best intercept for the coefficients, made orthogonal to the
        unpenalized columns and rescaled into the dual's domain, as
        scikit-learn's coordinate descent does for the elastic net); an
        upper bound of how far the objective is above its minimum.  NaN
        where limits are set.  None for the other families and with
        ``feature_groups``.

    Examples
    --------
    >>> import numpy as np, varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(80, 5)); y = X[:, 0] + rng.normal(size=80)
    >>> path = varnel.fit_path(X, y, thresh=1e-14)
    >>> opt = path.optimality(X, y)
    >>> bool(opt.relative.max() < 1e-3), bool(opt.duality_gap.max() < 1e-9)
    (True, True)
    """

    def __init__(self, lambdas: np.ndarray, violation: np.ndarray, scale: np.ndarray,
                 duality_gap: Optional[np.ndarray]):
        self.lambdas = lambdas
        self.violation = violation
        self.scale = scale
        with np.errstate(divide="ignore", invalid="ignore"):
            self.relative = np.where(scale > 0, violation / np.where(scale > 0, scale, 1.0),
                                     np.where(violation > 0, np.inf, 0.0))
        self.duality_gap = duality_gap

    def failing(self, tolerance: float = TOLERANCE) -> np.ndarray:
        """The indices of the lambdas whose relative violation exceeds
        ``tolerance``.

        Examples
        --------
        >>> import numpy as np, varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.normal(size=(80, 5)); y = X[:, 0] + rng.normal(size=80)
        >>> varnel.fit_path(X, y, thresh=1e-14).optimality(X, y).failing().tolist()
        []
        """
        return np.flatnonzero(~(self.relative <= tolerance))

    def __repr__(self) -> str:
        worst = int(np.argmax(self.relative)) if self.relative.size else None
        at = "" if worst is None else (f", worst relative violation {self.relative[worst]:.3g} at "
                                       f"lambda index {worst}")
        return f"Optimality(n_lambdas={self.lambdas.shape[0]}{at})"


def warning_text(opt: Optimality, thresh: float) -> Optional[str]:
    """The text of the warning of a certified path whose solutions violate
    the optimality conditions by more than TOLERANCE, else None."""
    bad = opt.failing()
    if bad.size == 0:
        return None
    k = int(bad[np.argmax(opt.relative[bad])])
    return (f"{bad.size} of the path's {opt.lambdas.shape[0]} solutions are not optimal within "
            f"{TOLERANCE:g} of their lambda's scale: the worst is lambda index {k} (lambda = "
            f"{opt.lambdas[k]:.6g}), violating the optimality conditions by {opt.relative[k]:.3g} "
            f"of its scale: the convergence threshold thresh={thresh:g} stopped the passes "
            f"before these solutions reached their optimum; refit with a smaller thresh, e.g. "
            f"thresh={_tighter(thresh):g}, and check path.optimality_ again")


def _tighter(thresh: float) -> float:
    """A threshold to suggest: 1e-12, or 1e-4 of one already below 1e-10."""
    return 1e-12 if thresh > 1e-10 else thresh * 1e-4


def _column_statistics(X: Any, wn: np.ndarray):
    """Weighted means and standard deviations of the columns, and whether
    each column is constant on the rows of positive weight."""
    m = np.asarray(X.T @ wn).reshape(-1)
    if _convert.is_sparse(X):
        Xc = X.tocsc()
        sq = np.asarray(Xc.multiply(Xc).T @ wn).reshape(-1)
        var = np.maximum(sq - m * m, 0.0)
        positive = wn > 0
        rows = Xc[positive]
        hi = np.asarray(rows.max(axis=0).todense()).reshape(-1)
        lo = np.asarray(rows.min(axis=0).todense()).reshape(-1)
    else:
        var = wn @ (X - m) ** 2
        rows = X[wn > 0]
        hi, lo = rows.max(axis=0), rows.min(axis=0)
    return m, np.sqrt(var), hi == lo


def _penalty_factors(pf: Optional[np.ndarray], p: int) -> np.ndarray:
    """The factors as the solver normalizes them: negative ones 0, an
    infinite one 0 in the normalization (its variable is left out), the
    rest scaled to sum to p."""
    v = np.ones(p) if pf is None else np.where(np.isfinite(pf), np.maximum(pf, 0.0), 0.0)
    return v * (p / v.sum())


def _violation(g: np.ndarray, c: np.ndarray, k1: np.ndarray, k2: np.ndarray, lo: np.ndarray,
               up: np.ndarray, grouped: bool) -> np.ndarray:
    """Per variable (rows of g and c, (p, K)): the largest violation of the
    optimality conditions, g the loss's gradient, k1 and k2 (p, 1) the
    lasso and ridge weights, lo and up (p, 1) the limits."""
    at_up = np.isclose(c, up, rtol=1e-9, atol=0.0)  # a zero at a limit of 0 too
    at_lo = np.isclose(c, lo, rtol=1e-9, atol=0.0)
    h = g + k2 * c
    # the moves from 0 that the limits allow: down when lo < 0, up when up > 0
    into = np.where(((h < 0) & (up > 0)) | ((h > 0) & (lo < 0)), h, 0.0)
    if grouped:
        norm = np.sqrt((c * c).sum(axis=1, keepdims=True))
        nonzero = norm[:, 0] > 0
        r = h + k1 * c / np.where(norm > 0, norm, 1.0)
        r = np.where(at_up, np.maximum(r, 0.0), np.where(at_lo, np.minimum(r, 0.0), r))
        moving = np.sqrt((r * r).sum(axis=1))
        still = np.maximum(np.sqrt((into * into).sum(axis=1)) - k1[:, 0], 0.0)
        return np.where(nonzero, moving, still)
    r = h + k1 * np.sign(c)
    r = np.where(at_up, np.maximum(r, 0.0), np.where(at_lo, np.maximum(-r, 0.0), np.abs(r)))
    out = np.where(c != 0, r, np.maximum(np.abs(into) - k1, 0.0))
    return out.max(axis=1)


def _group_violation(g: np.ndarray, c: np.ndarray, k1: np.ndarray, k2: np.ndarray,
                     groups: np.ndarray, tau: float, size: np.ndarray,
                     free: np.ndarray) -> np.ndarray:
    """Per variable: the largest violation of the sparse-group penalty's
    optimality conditions, every variable of a group (its K coefficients
    each) in one vector.  With h = g + k2 c and t = k1 (shared by the
    group): a zero group needs ||S(h_g, tau t)|| <= (1 - tau) s_g t; in a
    non-zero group a non-zero c_j needs h_j + tau t sign(c_j) + (1 - tau)
    s_g t c_j / ||c_g|| = 0, a zero one |h_j| <= tau t.  Variables left out
    (``free`` False) are in no group's vector."""
    h = g + k2 * c
    t = k1[:, 0]
    out = np.zeros(c.shape[0])
    for members in np.split(np.argsort(groups, kind="stable"),
                            np.flatnonzero(np.diff(np.sort(groups))) + 1):
        members = members[free[members]]
        if members.size == 0:
            continue
        tg, sg = t[members[0]], size[groups[members[0]]]
        cg, hg = c[members], h[members]
        soft = np.maximum(np.abs(hg) - tau * tg, 0.0)
        norm = float(np.sqrt((cg * cg).sum()))
        if norm == 0.0:
            out[members] = max(float(np.sqrt((soft * soft).sum())) - (1.0 - tau) * sg * tg, 0.0)
        else:
            r = np.where(cg != 0, np.abs(hg + tau * tg * np.sign(cg) + (1.0 - tau) * sg * tg * cg / norm),
                         soft)
            out[members] = r.max(axis=1)
    return out


def certificate(problem: Any, coefs: Any, intercepts: np.ndarray, lambdas: np.ndarray,
                alpha: float) -> Optimality:
    """The Optimality of the solutions (``coefs``, ``intercepts`` at
    ``lambdas``) of a prepared problem (``_fit.Problem``)."""
    family, so, X = problem.family, problem.solver_options, as_matrix(problem.X)
    y, (n, p) = problem.y, problem.X.shape
    wn = np.full(n, 1.0 / n) if problem.weights is None else problem.weights / problem.weights.sum()
    intercept = bool(so["intercept"]) and family.intercept
    grouped = family.grouped_penalty(so.get("grouped", False))
    m, sd, constant = _column_statistics(X, wn)
    colscale = np.where(sd > 0, sd, 1.0) if so["standardize"] else np.ones(p)
    pf = so["penalty_factor"]
    v = _penalty_factors(pf, p)
    free = ~constant
    if pf is not None:
        free &= np.isfinite(pf)
    if so["exclude"]:
        free[np.asarray(so["exclude"], dtype=np.intp)] = False
    resp, ridge = family.objective_scales(y, problem.weights, bool(so["intercept"]), problem.offset)
    resp = np.asarray(resp, dtype=np.float64).reshape(1, -1)  # (1, 1) or (1, K)
    lower = np.full(p, -np.inf) if so["lower_limits"] is None else so["lower_limits"]
    upper = np.full(p, np.inf) if so["upper_limits"] is None else so["upper_limits"]
    limited = bool(np.isfinite(lower[free]).any() or np.isfinite(upper[free]).any())
    lo, up = (lim[:, None] * colscale[:, None] / resp for lim in (lower, upper))
    groups = so.get("feature_groups")
    if groups is not None:  # the sparse-group penalty (its factors are the columns' v)
        groups = np.asarray(groups, dtype=np.int64)
        sizes = np.bincount(groups).astype(np.float64)
        size = np.sqrt(sizes) if so["group_size_weight"] else np.ones_like(sizes)
    with_gap = groups is None and family.loss_conjugate(
        y[:1], np.zeros_like(y[:1], dtype=np.float64)) is not None
    bases: dict = {}  # the unpenalized columns' basis at lambda > 0 and at lambda = 0
    dense = _coefs.to_dense(coefs)
    L = lambdas.shape[0]
    violation, spread = np.zeros(L), np.zeros(L)
    gaps = np.full(L, np.nan) if with_gap else None
    for k in range(L):
        b = dense[..., k]
        eta = np.asarray(X @ b) + intercepts[..., k]
        if problem.offset is not None:
            eta = eta + problem.offset
        G = family.loss_gradient(y, eta, wn)
        G = G / (resp if G.ndim == 2 else resp[0, 0])  # in the objective's response units
        G2 = G.reshape(n, -1)
        sumG = G2.sum(axis=0, keepdims=True)
        g = np.asarray(X.T @ G2).reshape(p, -1)
        if intercept:
            g = g - m[:, None] * sumG
        g /= colscale[:, None]
        c = b.reshape(p, -1) * colscale[:, None] / resp
        lam = lambdas[k]
        k1 = (lam * alpha * v)[:, None]
        k2 = (lam * (1.0 - alpha) * v / ridge)[:, None]
        per = _violation(g, c, k1, k2, lo, up, grouped) if groups is None else \
            _group_violation(g, c, k1, k2, groups, float(so["l1_within"]), size, free)
        worst = float(per[free].max(initial=0.0))
        if intercept:
            worst = max(worst, float(np.abs(sumG).max()))
        violation[k] = worst
        # the size of any standardized column's gradient can reach: the
        # weighted root mean square of the loss's derivatives per unit of weight
        u = G2[wn > 0] / wn[wn > 0, None]
        spread[k] = float(np.sqrt(wn[wn > 0] @ (u * u).sum(axis=1)))
        if with_gap and not limited:
            scaled = (y / resp if y.ndim == 2 else y / resp[0, 0],
                      eta / resp if eta.ndim == 2 else eta / resp[0, 0])
            if (lam > 0) not in bases:
                bases[lam > 0] = _unpenalized_basis(X, wn, free & ((v == 0) | (lam <= 0)), intercept)
            gaps[k] = _duality_gap(family, scaled, G, wn, X, m, colscale, c, k1, k2, free,
                                   grouped, intercept, problem.offset, resp, bases[lam > 0])
    return Optimality(lambdas, violation, np.maximum(lambdas, 1e-3 * spread), gaps)


def _unpenalized_basis(X: Any, wn: np.ndarray, unpenalized: np.ndarray,
                       intercept: bool) -> Optional[np.ndarray]:
    """An orthonormal basis, in the inner product weighted by ``wn`` and
    scaled by its square roots, of the unpenalized columns (centred with an
    intercept, as the dual point then is), which a dual point must be
    orthogonal to; None when there are none."""
    cols = []
    for j in np.flatnonzero(unpenalized):
        col = X[:, [j]]
        cols.append(np.asarray(col.todense() if _convert.is_sparse(X) else col).reshape(-1))
    if not cols:
        return None
    B = np.column_stack(cols)
    if intercept:
        B = B - wn @ B
    q, r = np.linalg.qr(B * np.sqrt(wn)[:, None])
    d = np.abs(np.diag(r))
    return q[:, d > 1e-12 * d.max()]


def _duality_gap(family, scaled, G, wn, X, m, colscale, c, k1, k2, free, grouped, intercept,
                 offset, resp, basis) -> float:
    """The primal objective less the dual objective at the solution's dual
    point: the loss's derivatives per unit of weight, made orthogonal to
    the intercept and the unpenalized columns, and rescaled so that no
    variable's gradient exceeds its lasso weight (scikit-learn's
    formulation A of the elastic net, the ridge term as extra rows of the
    loss); without a lasso term, formulation B (no rescaling)."""
    y, eta = scaled
    n, p = G.shape[0], c.shape[0]
    positive = wn > 0
    primal = float(wn @ _row_sums(family.half_deviance(y, eta)))
    if intercept:  # the dual point of the best intercept for these coefficients
        G = _best_intercept_gradient(family, y, eta, wn, G)
    u = np.zeros_like(G)
    u[positive] = G[positive] / (wn[positive] if G.ndim == 1 else wn[positive, None])
    if basis is not None:
        sq = np.sqrt(wn) if G.ndim == 1 else np.sqrt(wn)[:, None]
        U = u * sq
        U = U - basis @ (basis.T @ U.reshape(n, -1)).reshape((basis.shape[1],) + U.shape[1:])
        u = np.where(sq > 0, U / np.where(sq > 0, sq, 1.0), 0.0)
    # the standardized columns' inner products with the dual point
    wu = (wn * u if u.ndim == 1 else wn[:, None] * u).reshape(n, -1)
    g = np.asarray(X.T @ wu).reshape(p, -1)
    if intercept:
        g = g - m[:, None] * wu.sum(axis=0, keepdims=True)
    g = g / colscale[:, None]
    held = free & ~((k1[:, 0] == 0) & (k2[:, 0] == 0))  # the penalized columns
    k1f, k2f, cf = k1[held, 0], k2[held], c[held]
    primal += float(k1f @ _norms(cf, grouped) + 0.5 * (k2f * cf * cf).sum())
    if (k1f > 0).any():
        dual_norm = _dual_norms(g[held] + k2f * cf, grouped)
        over = (k1f > 0) & (dual_norm > k1f)
        s = float((k1f[over] / dual_norm[over]).min(initial=1.0))
        penalty = 0.5 * s * s * float((k2f * cf * cf).sum())
    else:
        s = 1.0
        with np.errstate(divide="ignore", invalid="ignore"):
            penalty = float(np.where(k2f[:, 0] > 0, _dual_norms(g[held], grouped) ** 2
                                     / (2.0 * np.where(k2f[:, 0] > 0, k2f[:, 0], 1.0)), 0.0).sum())
    su = s * u
    shifted = 0.0 if offset is None else _row_sums(su * (offset / (resp if offset.ndim == 2 else resp[0, 0])))
    conj = _row_sums(family.loss_conjugate(y, su)) - shifted
    return primal + float(wn @ conj) + penalty


def _best_intercept_gradient(family, y, eta, wn, G):
    """The loss's gradient after moving every linear predictor by the
    intercept's shift that zeroes its derivative (Newton's steps with a
    difference quotient; one step for least squares): a dual point that
    needs no projection onto the intercept's complement, which could leave
    the conjugate's domain (fitted probabilities of 0 or 1)."""
    shift = np.zeros(G.shape[1:])
    f = G.sum(axis=0)
    for _ in range(50):
        h = 1e-6 * (1.0 + np.abs(shift))
        slope = (family.loss_gradient(y, eta + shift + h, wn).sum(axis=0) - f) / h
        if not np.all(slope > 0):
            break
        shift = shift - f / slope
        G = family.loss_gradient(y, eta + shift, wn)
        f_new = G.sum(axis=0)
        if np.all(np.abs(f_new) >= np.abs(f)) or np.all(np.abs(f_new) <= 1e-15):
            f = f_new
            break
        f = f_new
    return G


def _row_sums(a: Any) -> Any:
    a = np.asarray(a)
    return a.sum(axis=1) if a.ndim == 2 else a


def _norms(a: np.ndarray, grouped: bool) -> np.ndarray:
    """The penalty's norm of every row: Euclidean when grouped, else the
    sum of absolute values."""
    return np.sqrt((a * a).sum(axis=1)) if grouped else np.abs(a).sum(axis=1)


def _dual_norms(a: np.ndarray, grouped: bool) -> np.ndarray:
    """The dual norm of every row: Euclidean when grouped, else the
    largest absolute value."""
    return np.sqrt((a * a).sum(axis=1)) if grouped else np.abs(a).max(axis=1)


def of_path(path: Any, X: Any, y: Any, options: dict, offset: Any) -> Optimality:
    """``Path.optimality``: the problem prepared from the rows in memory as
    ``fit_path`` prepares it (with the path's family), then certificate."""
    from . import _fit, _sources

    if _sources.rows_of(X, y, options.get("weights"), offset) is not _sources.rows_of(None):
        raise ValueError("Path.optimality reads X and y in memory; compute a Dask collection into "
                         "memory first (e.g. X.compute(), y.compute())")
    encoding = getattr(path, "encoding", None)
    if encoding is not None:  # a frame with categorical columns: the fitted levels' design
        X = encoding.transform(X)
    groups = getattr(path, "group_options", None) or {"feature_groups": None}
    if groups["feature_groups"] is not None and options.get("penalty_factor") is not None:
        raise ValueError("Path.optimality: the path was fitted with feature_groups, whose "
                         "penalty factors it keeps; leave penalty_factor out")
    problem = _fit.prepare(X, y, path.family_instance, {**options, **groups}, offset)
    p = problem.X.shape[1]
    if p != path.n_features:
        raise ValueError(f"X has {p} features, the path was fitted with {path.n_features}: "
                         f"X must have shape (n, {path.n_features})")
    return certificate(problem, path.coefs, path.intercepts, path.lambdas, path.alpha)
