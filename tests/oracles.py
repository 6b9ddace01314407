"""Independent reference computations for the path-solver tests.

Everything here is written from the model definitions alone, with numpy and
scipy: the penalized objectives on the caller's scale, their optimality
(KKT) conditions, deviances, and loaders for data sets that ship with
scikit-learn and statsmodels.
"""
from __future__ import annotations

import functools

import numpy as np
from scipy import optimize, special

FAMILIES = ("gaussian", "binomial", "poisson")


# ---------------------------------------------------------------------------
# data that ships with the installed packages


@functools.lru_cache(maxsize=None)
def _load(name):
    if name == "randhie":  # doctor visits (mdvis) and a few predictors
        import statsmodels.api as sm

        d = sm.datasets.randhie.load_pandas().data
        d = d.iloc[::len(d) // 600].iloc[:600]
        cols = ["lncoins", "idp", "lpi", "fmde", "physlm", "disea"]
        return d[cols].to_numpy(dtype=np.float64), d["mdvis"].to_numpy(dtype=np.float64)
    from sklearn import datasets

    d = getattr(datasets, f"load_{name}")()
    x = np.array(d.data, dtype=np.float64)
    return x[:, [0, 1, 4, 6, 8, 9, 10, 20]] if name == "breast_cancer" else x, np.array(d.target, float)


def dataset(name):
    """diabetes (442 x 10, continuous), breast_cancer (569 x 8 of its
    columns, 0/1) or randhie (600 rows of the RAND health-insurance data:
    counts of doctor visits); fresh copies."""
    x, y = _load(name)
    return np.ascontiguousarray(x), y.copy()


# ---------------------------------------------------------------------------
# weights, penalty factors and scales as the caller sees them


def normalized_weights(weights, n):
    w = np.ones(n) if weights is None else np.maximum(np.asarray(weights, float), 0.0)
    return w / w.sum()


def normalized_penalty(penalty_factor, p):
    v = np.ones(p) if penalty_factor is None else np.maximum(np.asarray(penalty_factor, float), 0.0)
    return v * (p / v.sum())


def weighted_sd(x, wn):
    """Weighted population sd of every column (about its weighted mean)."""
    m = wn @ x
    return np.sqrt(wn @ (x - m) ** 2)


def response_scale(y, wn, intercept):
    c = wn @ y if intercept else 0.0
    return float(np.sqrt(wn @ (y - c) ** 2))


# ---------------------------------------------------------------------------
# the penalized problem solved by every returned solution


class Problem:
    """Penalized objective of one family on the caller's scale:

        loss(a0, b) + sum_j k1_j |b_j| + 1/2 sum_j k2_j b_j^2,  lower <= b <= upper,

    with eta = offset + a0 + x b, k1_j = lambda alpha v_j s_j and
    k2_j = lambda (1 - alpha) v_j s_j^2 c,
    where c = 1 / y_scale for least squares and 1 otherwise, wn the clipped
    weights normalised to sum 1, v the penalty factors normalised to sum p
    and s_j the weighted sd of column j when standardizing (else 1).
    Losses: 1/2 sum wn r^2; -sum wn (y eta - log(1 + e^eta));
    sum wn (e^eta - y eta).
    """

    def __init__(self, family, x, y, *, alpha=1.0, weights=None, penalty_factor=None,
                 lower_limits=None, upper_limits=None, standardize=True, intercept=True,
                 offset=None):
        assert family in FAMILIES
        self.family = family
        self.x = np.ascontiguousarray(x, dtype=np.float64)
        self.y = np.asarray(y, dtype=np.float64)
        n, p = self.x.shape
        self.offset = np.zeros(n) if offset is None else np.asarray(offset, dtype=np.float64)
        self.alpha = alpha
        self.intercept = intercept
        self.wn = normalized_weights(weights, n)
        self.v = normalized_penalty(penalty_factor, p)
        sd = weighted_sd(self.x, self.wn)
        self.s = sd if standardize else np.ones(p)
        # the yardstick of the optimality conditions (never changes the problem)
        self.cond = np.where(sd > 0, sd, 1.0)
        self.lower = np.full(p, -np.inf) if lower_limits is None else np.asarray(lower_limits, float)
        self.upper = np.full(p, np.inf) if upper_limits is None else np.asarray(upper_limits, float)
        self.ridge_c = 1.0 / response_scale(self.y - self.offset, self.wn, intercept) if family == "gaussian" else 1.0

    # -- pieces -----------------------------------------------------------
    def weights(self, lam):
        k1 = lam * self.alpha * self.v * self.s
        k2 = lam * (1.0 - self.alpha) * self.v * self.s**2 * self.ridge_c
        return k1, k2

    def loss_grad(self, a0, b):
        """Loss, its derivative in a0 and its gradient in b."""
        eta = self.offset + a0 + self.x @ b
        wn, y = self.wn, self.y
        if self.family == "gaussian":
            r = y - eta
            f = 0.5 * wn @ (r * r)
            d = -wn * r
        elif self.family == "binomial":
            f = wn @ (np.logaddexp(0.0, eta) - y * eta)
            d = wn * (special.expit(eta) - y)
        else:
            mu = np.exp(eta)
            f = wn @ (mu - y * eta)
            d = wn * (mu - y)
        return f, d.sum(), self.x.T @ d

    def objective(self, lam, a0, b):
        k1, k2 = self.weights(lam)
        f = self.loss_grad(a0, b)[0]
        return float(f + k1 @ np.abs(b) + 0.5 * k2 @ (b * b))

    def null_intercept(self):
        if not self.intercept:
            return 0.0
        if self.offset.any():  # the root of the loss's derivative in a0
            return optimize.brentq(lambda a: self.loss_grad(a, np.zeros(self.x.shape[1]))[1],
                                   -50.0, 50.0, xtol=1e-14)
        m = self.wn @ self.y
        return {"gaussian": m, "binomial": special.logit(m), "poisson": np.log(m)}[self.family]

    def lambda_max(self):
        """The largest useful penalty: the null model's largest gradient per
        unit of standardized coefficient and of penalty factor, over alpha
        (at least 0.001)."""
        g = np.abs(self.loss_grad(self.null_intercept(), np.zeros(self.x.shape[1]))[2]) / self.s
        with np.errstate(divide="ignore", invalid="ignore"):
            q = np.where(self.v > 0, g / self.v, 0.0)
        return float(q.max() / max(self.alpha, 1e-3))

    def gradient_scale(self):
        """Size of the loss gradient at the null model, per unit of
        standardized coefficient: the yardstick for the KKT residuals."""
        _, _, g = self.loss_grad(self.null_intercept(), np.zeros(self.x.shape[1]))
        return float(np.max(np.abs(g) / self.cond))

    # -- optimality ---------------------------------------------------------
    def kkt_residual(self, lam, a0, b):
        """Largest violation of the optimality conditions, per unit of
        standardized coefficient and relative to gradient_scale()."""
        k1, k2 = self.weights(lam)
        _, ga, gb = self.loss_grad(a0, b)
        g = gb + k2 * b
        at_up = (b > 0) & np.isclose(b, self.upper, rtol=1e-10, atol=0.0)
        at_lo = (b < 0) & np.isclose(b, self.lower, rtol=1e-10, atol=0.0)
        inside = (b != 0) & ~at_up & ~at_lo
        r = np.zeros_like(b)
        r[inside] = np.abs(g[inside] + k1[inside] * np.sign(b[inside]))
        r[at_up] = np.maximum(0.0, g[at_up] + k1[at_up])
        r[at_lo] = np.maximum(0.0, -(g[at_lo] - k1[at_lo]))
        z = b == 0
        up = np.maximum(0.0, -g - k1)    # a step up would pay
        down = np.maximum(0.0, g - k1)   # a step down would pay
        r[z] = np.where(self.upper[z] > 0, up[z], 0.0) + np.where(self.lower[z] < 0, down[z], 0.0)
        # limits must hold
        r = np.maximum(r, np.maximum(b - self.upper, 0.0) * 1e6)
        r = np.maximum(r, np.maximum(self.lower - b, 0.0) * 1e6)
        worst = float(np.max(r / self.cond)) if b.size else 0.0
        if self.intercept:
            worst = max(worst, abs(ga))
        return worst / self.gradient_scale()


# ---------------------------------------------------------------------------
# deviances


def deviance(family, y, a0, b, x, weights=None, pmin=0.0):
    """Deviance of the fit (a0, b) with the caller's (clipped) weights;
    logistic probabilities are clamped into [pmin, 1 - pmin]."""
    n = len(y)
    w = np.ones(n) if weights is None else np.maximum(np.asarray(weights, float), 0.0)
    eta = a0 + x @ b
    if family == "gaussian":
        return float(w @ (y - eta) ** 2)
    if family == "binomial":
        mu = np.clip(special.expit(eta), pmin, 1.0 - pmin)
        ll = special.xlogy(y, mu) + special.xlog1py(1.0 - y, -mu)
        sat = special.xlogy(y, y) + special.xlog1py(1.0 - y, -y)
        return float(2.0 * w @ (sat - ll))
    mu = np.exp(eta)
    return float(2.0 * w @ (special.xlogy(y, y) - special.xlogy(y, mu) - (y - mu)))


def null_deviance(family, y, weights=None, intercept=True):
    n = len(y)
    wn = normalized_weights(weights, n)
    if intercept:
        m = wn @ y
        a0 = {"gaussian": m, "binomial": special.logit(m), "poisson": np.log(m)}[family]
    else:
        a0 = 0.0
    return deviance(family, y, a0, np.zeros(0), np.zeros((n, 0)), weights)
