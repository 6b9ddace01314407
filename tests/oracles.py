"""Independent reference computations for the path-solver tests.

Everything here is written from the model definitions alone, with numpy and
scipy: the penalized objectives on the caller's scale, their optimality
(KKT) conditions, deviances, and loaders for data sets that ship with
scikit-learn and statsmodels.
"""
from __future__ import annotations

import functools

import numpy as np
from scipy import optimize, sparse, special

FAMILIES = ("gaussian", "binomial", "poisson")


# ---- the partial likelihood, from its definition ---------------------------------------------


def cox_loglik(eta, y, wn, strata=None, ties="breslow", entry=None):
    """Weighted log partial likelihood l(eta) of survival data y (n, 2) of
    (time, status), and its gradient in eta: for every stratum and event
    time, sum_D w eta - e log S (Breslow) or (e/m) sum_k log(S - k/m E)
    (Efron, m the events of positive weight), S = sum_R w exp(eta), the
    risk set R the rows with time >= t (and entry < t, given entry times)."""
    time, status = y[:, 0], y[:, 1] > 0
    strata = np.zeros(len(time)) if strata is None else np.asarray(strata)
    entry = np.full(len(time), -np.inf) if entry is None else np.asarray(entry)
    ll, grad = 0.0, np.zeros(len(time))
    for s in np.unique(strata):
        for t in np.unique(time[(strata == s) & status & (wn > 0)]):
            risk = (strata == s) & (time >= t) & (entry < t) & (wn > 0)
            dead = risk & (time == t) & status
            e, m = wn[dead].sum(), dead.sum()
            u = wn * np.exp(eta - eta[risk].max()) * risk
            ll += wn[dead] @ eta[dead]
            grad += wn * dead
            steps = [0.0] if ties == "breslow" else np.arange(m) / m
            share = e if ties == "breslow" else e / m
            for f in steps:
                den = u.sum() - f * u[dead].sum()
                ll -= share * (np.log(den) + eta[risk].max())
                grad -= share * u * np.where(dead, 1.0 - f, 1.0) / den
    return ll, grad


def cox_saturated(y, wn, strata=None, ties="breslow"):
    time, status, ll = y[:, 0], y[:, 1] > 0, 0.0
    strata = np.zeros(len(time)) if strata is None else np.asarray(strata)
    for s in np.unique(strata):
        for t in np.unique(time[(strata == s) & status & (wn > 0)]):
            dead = (strata == s) & (time == t) & status & (wn > 0)
            e, m = wn[dead].sum(), dead.sum()
            ll -= e * np.log(e) + (e / m * np.log(1.0 - np.arange(m) / m).sum() if ties == "efron" else 0.0)
    return ll


def cox_breslow(eta, y, wn):
    """cox_loglik's Breslow l(eta) and gradient without strata, by running
    sums over the rows sorted by decreasing time (fast enough to iterate on):
    l = sum_i wn_i d_i (eta_i - log S(t_i)), S(t) = sum_{t_j >= t} wn_j e^eta_j."""
    time, event = y[:, 0], (y[:, 1] > 0) & (wn > 0)
    order = np.argsort(-time, kind="stable")
    ts = -time[order]
    top = eta[wn > 0].max()
    u = np.where(wn > 0, wn * np.exp(eta - top), 0.0)[order]
    last, first = np.searchsorted(ts, ts, side="right") - 1, np.searchsorted(ts, ts, side="left")
    risk = np.cumsum(u)[last]  # S of every row's own time (relative to e^top)
    d = np.where(event, wn, 0.0)[order]
    ll = d @ (eta[order] - top - np.log(np.where(d > 0, risk, 1.0)))
    later = np.cumsum((d / risk)[::-1])[::-1]  # sum of d_k / S_k over the rows from q on
    grad = np.empty_like(eta)
    grad[order] = d - u * later[first]
    return float(ll), grad


def cox_proximal_gradient(x, y, lam, alpha=1.0, standardize=True, tol=1e-12, maxiter=100_000):
    """Problem("cox", x, y, alpha=alpha, standardize=standardize) at one lambda (unit weights,
    Breslow ties, no strata) by accelerated proximal gradient with backtracking and restarts on
    the standardized columns: (b, objective, steps).  Stops when the prox step (times its
    curvature) is below tol, a plain step rises (rounding), or 100 steps have lowered the
    objective by less than 1e-15 of itself.  Columns without spread stay at 0."""
    n, p = x.shape
    wn = np.full(n, 1.0 / n)
    sd = weighted_sd(x.toarray() if sparse.issparse(x) else np.asarray(x), wn)
    s = np.where(sd > 0, sd if standardize else 1.0, np.inf)
    z = sparse.csr_matrix(sparse.csr_matrix(x) @ sparse.diags(1.0 / s))  # (dense x: its non-zeros)
    zt = z.T.tocsr()
    k1, k2 = lam * alpha, lam * (1.0 - alpha)
    pen = lambda c: k1 * np.abs(c).sum() + 0.5 * k2 * (c @ c)  # noqa: E731

    def smooth(c):
        ll, g = cox_breslow(np.asarray(z @ c), y, wn)
        return -ll, -np.asarray(zt @ g)

    c = np.zeros(p)
    v, t, curv = c, 1.0, 1.0
    f_c = smooth(c)[0] + pen(c)
    mark, steps = f_c, 0
    for steps in range(1, maxiter + 1):
        f_v, g_v = smooth(v)
        while True:
            w = v - g_v / curv
            nxt = np.sign(w) * np.maximum(np.abs(w) - k1 / curv, 0.0) / (1.0 + k2 / curv)
            d = nxt - v
            f_n = smooth(nxt)[0]
            if f_n <= f_v + g_v @ d + 0.5 * curv * (d @ d) + 1e-15 * abs(f_v):
                break
            curv *= 2.0
        f_n += pen(nxt)
        if f_n > f_c:  # momentum overshot: restart from the last iterate
            if t == 1.0:  # a plain step from it rises: the objective is at its rounding
                break
            v, t = c, 1.0
            continue
        t_next = (1.0 + np.sqrt(1.0 + 4.0 * t * t)) / 2.0
        v = nxt + (t - 1.0) / t_next * (nxt - c)
        step = np.abs(nxt - c).max() * curv
        c, f_c, t, curv = nxt, f_n, t_next, 0.9 * curv
        if step < tol:
            break
        if steps % 100 == 0:
            if mark - f_c <= 1e-15 * abs(f_c):
                break
            mark = f_c
    return c / s, float(f_c), steps


# ---- data that ships with the installed packages ---------------------------------------------


@functools.lru_cache(maxsize=None)
def _load(name):
    if name == "randhie":  # doctor visits (mdvis) and a few predictors
        import statsmodels.api as sm

        d = sm.datasets.randhie.load_pandas().data
        d = d.iloc[::len(d) // 600].iloc[:600]
        cols = ["lncoins", "idp", "lpi", "fmde", "physlm", "disea"]
        return d[cols].to_numpy(dtype=np.float64), d["mdvis"].to_numpy(dtype=np.float64)
    if name == "rossi":  # weeks to re-arrest (arrest: the status) of 432 released prisoners
        from lifelines.datasets import load_rossi

        d = load_rossi()
        return d.drop(columns=["week", "arrest"]).to_numpy(dtype=np.float64), \
            d[["week", "arrest"]].to_numpy(dtype=np.float64)
    from sklearn import datasets

    if name == "diabetes3":  # three of the diabetes measures from the eight others
        d = datasets.load_diabetes()
        return np.delete(d.data, [2, 8], axis=1), np.column_stack([d.target / 50, d.data[:, [2, 8]] * 20])
    d = getattr(datasets, f"load_{name}")()
    x = np.array(d.data, dtype=np.float64)
    return x[:, [0, 1, 4, 6, 8, 9, 10, 20]] if name == "breast_cancer" else x, np.array(d.target, float)


def dataset(name):
    """diabetes (442 x 10, continuous), breast_cancer (569 x 8 of its columns, 0/1), randhie
    (600 rows of the RAND health-insurance data: counts of doctor visits), rossi (432 x 7,
    (time, status) with many tied times) or diabetes3 (442 x 8, three responses); fresh copies."""
    x, y = _load(name)
    return np.ascontiguousarray(x), y.copy()


# ---- weights, penalty factors and scales as the caller sees them -----------------------------


def normalized_weights(weights, n):
    w = np.ones(n) if weights is None else np.maximum(np.asarray(weights, float), 0.0)
    return w / w.sum()


def normalized_penalty(penalty_factor, p):
    v = np.ones(p) if penalty_factor is None else np.maximum(np.asarray(penalty_factor, float), 0.0)
    return v * (p / v.sum())


def weighted_sd(x, wn):
    """Weighted population sd of every column (about its weighted mean)."""
    return np.sqrt(wn @ (x - wn @ x) ** 2)


def response_scale(y, wn, intercept):
    c = wn @ y if intercept else 0.0
    return float(np.sqrt(wn @ (y - c) ** 2))


# ---- the GLM families by variance and link, from their textbook definitions ------------------

LINKS = {  # name: (mu(eta), dmu/deta, g(mu))
    "identity": (lambda e: e, np.ones_like, lambda m: m),
    "log": (np.exp, np.exp, np.log),
    "logit": (special.expit, lambda e: special.expit(e) * special.expit(-e), special.logit),
    "probit": (special.ndtr, lambda e: np.exp(-0.5 * e * e) / np.sqrt(2 * np.pi), special.ndtri),
    "cloglog": (lambda e: -np.expm1(-np.exp(e)), lambda e: np.exp(e - np.exp(e)),
                lambda m: np.log(-np.log1p(-m))),
    "inverse": (lambda e: 1 / e, lambda e: -1 / e**2, lambda m: 1 / m),
    "inverse_squared": (lambda e: e**-0.5, lambda e: -0.5 * e**-1.5, lambda m: m**-2.0),
    "sqrt": (np.square, lambda e: 2 * e, np.sqrt),
}
POWERS = {"gaussian": 0.0, "poisson": 1.0, "gamma": 2.0, "inverse_gaussian": 3.0}


def fit_options(family):
    """The keyword arguments of `_core.fit` for a family written as in
    Problem: a name, "huber:delta", or a family by variance and link."""
    if "/" in family:
        return Glm(family).options()
    name, _, delta = family.partition(":")
    return dict(family=name, **({"delta": float(delta)} if delta else {}))


class Glm:
    """A family by variance and link, written "name/link" with the family's
    parameter after a colon: "gamma/log", "tweedie:1.5/log",
    "negative_binomial:0.5/sqrt", "binomial/probit".  The loss is half the
    weighted unit deviance d(y, mu) = 2 int_mu^y (y - t) / V(t) dt."""

    def __init__(self, model):
        self.model = model
        family, self.link = model.split("/")
        self.name, _, param = family.partition(":")
        self.param = float(param) if param else None
        self.mean, self.slope, self.g = LINKS[self.link]

    def options(self):
        """The keyword arguments of `_core.fit` for this family."""
        kw = dict(family=self.name, link=self.link)
        if self.param is not None:
            kw["power" if self.name == "tweedie" else "theta"] = self.param
        return kw

    def variance(self, mu):
        if self.name == "binomial":
            return mu * (1 - mu)
        if self.name == "negative_binomial":
            return mu + self.param * mu * mu
        return mu ** POWERS.get(self.name, self.param)

    def unit_deviance(self, y, mu):
        p = POWERS.get(self.name, self.param)
        if self.name == "binomial":
            return 2 * (special.xlogy(y, y / mu) + special.xlogy(1 - y, (1 - y) / (1 - mu)))
        if self.name == "negative_binomial":
            t = self.param
            return 2 * (special.xlogy(y, y / mu) - (y + 1 / t) * np.log((1 + t * y) / (1 + t * mu)))
        if p == 0:
            return (y - mu) ** 2
        if p == 1:
            return 2 * (special.xlogy(y, y / mu) - (y - mu))
        if p == 2:
            return 2 * (np.log(mu / y) + (y - mu) / mu)
        return 2 * (np.maximum(y, 0) ** (2 - p) / ((1 - p) * (2 - p)) - y * mu ** (1 - p) / (1 - p)
                    + mu ** (2 - p) / (2 - p))

    def response(self, lin, rng):
        """A response of the family's own model, eta = g(m0) + s lin, about a mean m0 of 0.4
        (binomial; 0.1 under its log link), 1 (log link) or 3, s = eta_scale()."""
        m0 = (0.1 if self.link == "log" else 0.4) if self.name == "binomial" else \
            1.0 if self.link == "log" else 3.0
        return self.sample(self.mean(self.g(m0) + lin * self.eta_scale()), rng)

    def eta_scale(self):
        """0.15 m0 / (dmu/deta at m0 = 3) for the links of a positive mean other than log (a
        move of 0.15 of the mean per unit), 0.25 for the binomial's log link, else 0.8."""
        if self.name == "binomial" and self.link == "log":
            return 0.25
        if self.link not in ("identity", "inverse", "inverse_squared", "sqrt"):
            return 0.8
        return float(0.45 / abs(self.slope(self.g(3.0))))

    def sample(self, mu, rng):
        """A response of mean mu."""
        if self.name == "binomial":
            return (rng.random(mu.shape) < mu).astype(float)
        if self.name == "negative_binomial":
            r = 1 / self.param
            return rng.negative_binomial(r, r / (r + mu)).astype(float)
        if self.name == "poisson":
            return rng.poisson(mu).astype(float)
        if self.name == "inverse_gaussian":
            return rng.wald(mu, 4.0)
        if self.name == "tweedie" and 1 < self.param < 2:  # a Poisson count of gamma claims
            p = self.param
            counts = rng.poisson(mu ** (2 - p) / (2 - p))
            return np.where(counts > 0, rng.gamma(np.maximum(counts, 1) * (2 - p) / (p - 1),
                                                  (p - 1) * mu ** (p - 1)), 0.0)
        if POWERS.get(self.name, self.param) == 0:
            return mu + rng.normal(size=mu.shape)
        return rng.gamma(2.0, mu / 2.0)


# ---- the penalized problem solved by every returned solution ---------------------------------


class Problem:
    """Penalized objective of one family on the caller's scale:

        loss(a0, b) + sum_j k1_j |b_j| + 1/2 sum_j k2_j |b_j|^2,  lower <= b <= upper,

    with eta = offset + a0 + x b, k1_j = lambda alpha v_j s_j and
    k2_j = lambda (1 - alpha) v_j s_j^2 c,
    where c = 1 / y_scale for least squares and 1 otherwise, wn the clipped
    weights normalised to sum 1, v the penalty factors normalised to sum p
    and s_j the weighted sd of column j when standardizing (else 1).
    Losses: 1/2 sum wn r^2; -sum wn (y eta - log(1 + e^eta));
    sum wn (e^eta - y eta); sum wn (logsumexp(eta_i) - eta_{i,y_i});
    -l(eta) of cox_loglik (no intercept); 1/2 sum wn ||y_i - eta_i||^2;
    Huber's sum wn rho(y - eta), rho(r) = r^2/2 for |r| <= delta, else
    delta |r| - delta^2/2 ("huber", delta 1.35, or "huber:delta").
    Multinomial: y holds class codes, a0 is (K,), b is (p, K) and b_j its
    row, |b_j| the L1 norm of the row (grouped, and always for the multitask
    family of K responses: the Euclidean one).
    """

    def __init__(self, family, x, y, *, alpha=1.0, weights=None, penalty_factor=None,
                 lower_limits=None, upper_limits=None, standardize=True, intercept=True,
                 offset=None, grouped=False, exclude=(), strata=None, ties="breslow",
                 entry=None, feature_groups=None, l1_within=0.0,
                 group_penalty_factor=None, group_size_weight=True, **path_options):
        self.glm = Glm(family) if "/" in family else None
        family, _, delta = family.partition(":") if not self.glm else (family, "", "")
        self.delta = float(delta) if delta else 1.35
        assert self.glm or family in FAMILIES + ("multinomial", "cox", "multitask", "huber")
        assert set(path_options) <= {"nlambda", "user_lambda", "lambda_min_ratio", "thresh"}  # no typos
        self.family, self.alpha, self.intercept = family, alpha, intercept and family != "cox"
        self.grouped = grouped or family == "multitask"
        self.strata, self.ties, self.entry = strata, ties, entry
        self.x = np.ascontiguousarray(x, dtype=np.float64)
        self.y = np.asarray(y, dtype=np.float64)
        n, p = self.x.shape
        if family in ("multinomial", "multitask"):  # the class indicators, or the responses
            self.yk = np.eye(int(self.y.max()) + 1)[self.y.astype(int)] if family == "multinomial" else self.y
        wide = family in ("multinomial", "multitask")
        self.offset = np.zeros((n, self.yk.shape[1]) if wide else n) if offset is None \
            else np.asarray(offset, dtype=np.float64)
        self.wn = normalized_weights(weights, n)
        self.v = normalized_penalty(penalty_factor, p)
        sd = weighted_sd(self.x, self.wn)
        self.s = sd if standardize else np.ones(p)
        # the yardstick of the optimality conditions (never changes the problem)
        self.cond = np.where(sd > 0, sd, 1.0)
        self.lower = np.full(p, -np.inf) if lower_limits is None else np.asarray(lower_limits, float)
        self.upper = np.full(p, np.inf) if upper_limits is None else np.asarray(upper_limits, float)
        self.free = ~np.isin(np.arange(p), exclude)
        self.ridge_c = 1.0 / response_scale(self.y - self.offset, self.wn, intercept) if family == "gaussian" else 1.0
        if family == "cox":
            self.saturated = cox_saturated(self.y, self.wn, strata, ties)
        # groups of columns (integer labels 0..G-1 here): the sparse-group
        # penalty lambda sum_g v_g [alpha (tau |beta_g|_1 + (1 - tau) s_g
        # |beta_g|_2) + (1 - alpha)/2 c |beta_g|^2] on beta = s b, the
        # group factors spread over the columns and normalised as v is
        self.groups = None if feature_groups is None else np.asarray(feature_groups, dtype=int)
        if self.groups is not None:
            assert penalty_factor is None
            gv = np.ones(self.groups.max() + 1) if group_penalty_factor is None else np.asarray(group_penalty_factor)
            self.v = normalized_penalty(gv[self.groups], p)
            self.tau = float(l1_within)
            sizes = np.bincount(self.groups)
            self.size_weight = np.sqrt(sizes) if group_size_weight else np.ones(sizes.shape[0])

    # -- pieces -----------------------------------------------------------
    def weights(self, lam):
        return lam * self.alpha * self.v * self.s, lam * (1.0 - self.alpha) * self.v * self.s**2 * self.ridge_c

    def zero(self):
        p = self.x.shape[1]
        return np.zeros((p, self.yk.shape[1]) if self.family in ("multinomial", "multitask") else p)

    def loss_grad(self, a0, b):
        """Loss, its derivative in a0 and its gradient in b."""
        eta = self.offset + a0 + self.x @ b
        wn, y = self.wn, self.y
        if self.glm:
            mu = self.glm.mean(eta)
            f = 0.5 * wn @ self.glm.unit_deviance(y, mu)
            d = -wn * (y - mu) / self.glm.variance(mu) * self.glm.slope(eta)
        elif self.family == "gaussian":
            r = y - eta
            f = 0.5 * wn @ (r * r)
            d = -wn * r
        elif self.family == "binomial":
            f = wn @ (np.logaddexp(0.0, eta) - y * eta)
            d = wn * (special.expit(eta) - y)
        elif self.family == "poisson":
            mu = np.exp(eta)
            f = wn @ (mu - y * eta)
            d = wn * (mu - y)
        elif self.family == "huber":
            r, dl = y - eta, self.delta
            f = wn @ np.where(np.abs(r) <= dl, 0.5 * r * r, dl * (np.abs(r) - 0.5 * dl))
            d = -wn * np.clip(r, -dl, dl)
        elif self.family == "cox":
            ll, g = cox_loglik(eta, y, wn, self.strata, self.ties, self.entry)
            f, d = -ll, -g
        elif self.family == "multitask":
            r = y - eta
            f = 0.5 * wn @ (r * r).sum(1)
            d = -wn[:, None] * r
        else:
            f = wn @ (special.logsumexp(eta, axis=1) - (self.yk * eta).sum(1))
            d = wn[:, None] * (special.softmax(eta, axis=1) - self.yk)
        return f, d.sum(0), self.x.T @ d

    def rows(self, b):
        """b as (p, K) and the penalty's norm of each row."""
        rows = np.reshape(b, (self.x.shape[1], -1))
        return rows, np.linalg.norm(rows, axis=1) if self.grouped else np.abs(rows).sum(1)

    def group_penalty(self, lam, b):
        """The sparse-group penalty of b ((p,) or (p, K): a group's vector is
        its rows' K coefficients each)."""
        p = self.x.shape[1]
        beta = self.s[:, None] * np.asarray(b, dtype=float).reshape(p, -1)
        t = lam * self.alpha * self.v
        total = 0.0
        for g in range(self.size_weight.shape[0]):
            m = self.groups == g
            total += t[m][0] * (self.tau * np.abs(beta[m]).sum()
                           + (1.0 - self.tau) * self.size_weight[g] * np.linalg.norm(beta[m]))
        ridge = float(self.v @ (beta * beta).sum(axis=1))
        return total + 0.5 * lam * (1.0 - self.alpha) * self.ridge_c * ridge

    def objective(self, lam, a0, b):
        if self.groups is not None:
            return float(self.loss_grad(a0, b)[0] + self.group_penalty(lam, b))
        k1, k2 = self.weights(lam)
        rows, norm = self.rows(b)
        return float(self.loss_grad(a0, b)[0] + k1 @ norm + 0.5 * k2 @ (rows * rows).sum(1))

    def null_intercept(self):
        if not self.intercept:
            return 0.0
        if self.family == "multitask":
            return self.wn @ (self.y - self.offset)
        if self.family == "multinomial":  # the root of the loss's gradient in a0 (up to a shift)
            return optimize.minimize(lambda a: self.loss_grad(a, self.zero())[:2], np.zeros(self.yk.shape[1]), jac=True,
                                     method="BFGS", options={"gtol": 1e-13}).x
        if self.glm and self.offset.any():  # Newton on the loss's derivative in a0
            return optimize.newton(lambda a: self.loss_grad(a, self.zero())[1],
                                   self.glm.g(self.wn @ self.y) - self.wn @ self.offset, tol=1e-14)
        if self.family == "huber":  # the root of the loss's derivative in a0, between the residuals
            z = (self.y - self.offset)[self.wn > 0]
            return optimize.brentq(lambda a: self.loss_grad(a, self.zero())[1], z.min(), z.max(),
                                   xtol=1e-14, rtol=4 * np.finfo(float).eps)
        if self.offset.any():  # the root of the loss's derivative in a0
            return optimize.brentq(lambda a: self.loss_grad(a, self.zero())[1], -50.0, 50.0, xtol=1e-14)
        m = self.wn @ self.y
        return self.glm.g(m) if self.glm else \
            {"gaussian": m, "binomial": special.logit(m), "poisson": np.log(m)}[self.family]

    def null_gradient(self):
        """|gradient| of the loss at the null model, per variable (the norm
        of its row when grouped, else the largest entry) and per unit of
        standardized coefficient."""
        g = self.loss_grad(self.null_intercept(), self.zero())[2]
        rows, _ = self.rows(np.abs(g))
        return np.linalg.norm(rows, axis=1) if self.grouped else rows.max(1)

    def group_zero_threshold(self, a, sg):
        """The smallest t with |S(a, tau t)|_2 <= (1 - tau) sg t, by bisection."""
        a = np.abs(a)
        if not a.any():
            return 0.0
        lo, hi = 0.0, np.linalg.norm(a) / max((1.0 - self.tau) * sg, 1e-300)
        hi = min(hi, a.max() / self.tau) if self.tau > 0 else hi
        for _ in range(200):
            mid = 0.5 * (lo + hi)
            if np.linalg.norm(np.maximum(a - self.tau * mid, 0.0)) > (1.0 - self.tau) * sg * mid:
                lo = mid
            else:
                hi = mid
        return hi

    def lambda_max(self):
        """The largest useful penalty: the null model's largest gradient per
        unit of standardized coefficient and of penalty factor, over alpha
        (at least 0.001); with groups, the largest over groups of the t
        solving the zero group's condition, over the group's factor."""
        if self.groups is not None:
            g = self.loss_grad(self.null_intercept(), self.zero())[2].reshape(len(self.s), -1) / self.s[:, None]
            q = 0.0
            for k in range(self.size_weight.shape[0]):
                m = (self.groups == k) & self.free
                if m.any() and self.v[m][0] > 0:
                    q = max(q, self.group_zero_threshold(g[m].ravel(), self.size_weight[k]) / self.v[m][0])
            return q / max(self.alpha, 1e-3)
        g = self.null_gradient() / self.s
        with np.errstate(divide="ignore", invalid="ignore"):
            q = np.where((self.v > 0) & self.free, g / self.v, 0.0)
        return float(q.max() / max(self.alpha, 1e-3))

    # -- optimality ---------------------------------------------------------
    def group_kkt_residual(self, lam, a0, b):
        """kkt_residual under the sparse-group penalty, on the coefficients
        beta = s b of the penalty's scale: a zero group needs
        |S(h_g, tau t_g)|_2 <= (1 - tau) s_g t_g (h the gradient there, ridge
        included, t_g = lambda alpha v_g); in a non-zero group a non-zero
        beta_j needs h_j + tau t_g sign(beta_j) + (1 - tau) s_g t_g beta_j /
        |beta_g| = 0, a zero one |h_j| <= tau t_g."""
        _, ga, gb = self.loss_grad(a0, b)
        p = self.x.shape[1]
        beta = self.s[:, None] * np.asarray(b, dtype=float).reshape(p, -1)
        t = lam * self.alpha * self.v
        h = gb.reshape(p, -1) / self.s[:, None] \
            + lam * (1.0 - self.alpha) * self.ridge_c * self.v[:, None] * beta
        worst = 0.0
        for g in range(self.size_weight.shape[0]):
            m = (self.groups == g) & self.free
            if not m.any():
                continue
            tg, sg, bg, hg = t[m][0], self.size_weight[g], beta[m].ravel(), h[m].ravel()
            norm = np.linalg.norm(bg)
            if norm == 0:
                r = max(np.linalg.norm(np.maximum(np.abs(hg) - self.tau * tg, 0.0))
                        - (1.0 - self.tau) * sg * tg, 0.0)
            else:
                shrink = (1.0 - self.tau) * sg * tg * bg / norm
                r = np.where(bg != 0, np.abs(hg + self.tau * tg * np.sign(bg) + shrink),
                             np.maximum(np.abs(hg) - self.tau * tg, 0.0)).max()
            worst = max(worst, float(r))
        if self.intercept:
            worst = max(worst, float(np.max(np.abs(ga))))
        null = self.loss_grad(self.null_intercept(), self.zero())[2].reshape(p, -1) / self.s[:, None]
        return worst / float(np.max(np.abs(null)))

    def kkt_residual(self, lam, a0, b):
        """Largest violation of the optimality conditions, per unit of
        standardized coefficient and relative to the null model's gradient."""
        if self.groups is not None:
            return self.group_kkt_residual(lam, a0, b)
        k1, k2 = (k[:, None] for k in self.weights(lam))
        lo, up = self.lower[:, None], self.upper[:, None]
        _, ga, gb = self.loss_grad(a0, b)
        rows, norm = self.rows(b)
        g = np.reshape(gb, rows.shape) + k2 * rows
        at_up, at_lo = (np.isclose(rows, lim, rtol=1e-10, atol=0.0) for lim in (up, lo))
        into = np.where(((g < 0) & (up > 0)) | ((g > 0) & (lo < 0)), -g, 0.0)  # moves the limits allow
        if self.grouped:
            norm = norm[:, None]
            h, nonzero = g + k1 * rows / np.where(norm > 0, norm, 1.0), norm > 0
            zero = np.maximum(np.linalg.norm(into, axis=1, keepdims=True) - k1, 0.0)
        else:
            h, nonzero, zero = g + k1 * np.sign(rows), rows != 0, np.maximum(np.abs(into) - k1, 0.0)
        r = np.where(at_up, np.maximum(h, 0.0), np.where(at_lo, np.maximum(-h, 0.0), np.abs(h)))
        r *= ~(at_up & at_lo)  # held at 0 by both limits
        r = np.where(nonzero, r, zero) + 1e6 * np.maximum(np.maximum(rows - up, lo - rows), 0.0)
        worst = float(np.max((r / self.cond[:, None])[self.free], initial=0.0))
        if self.intercept:
            worst = max(worst, float(np.max(np.abs(ga))))
        return worst / float(np.max(self.null_gradient() / self.cond))


# ---- deviances -------------------------------------------------------------------------------


def deviance(family, y, a0, b, x, weights=None, pmin=0.0):
    """Deviance of the fit (a0, b) with the caller's (clipped) weights;
    logistic probabilities are clamped into [pmin, 1 - pmin]."""
    n = len(y)
    w = np.ones(n) if weights is None else np.maximum(np.asarray(weights, float), 0.0)
    eta = a0 + (x @ b).reshape((n, -1) if family == "multitask" else n)
    if "/" in family:
        glm = Glm(family)
        mu = glm.mean(eta)
        return float(w @ glm.unit_deviance(y, np.clip(mu, pmin, 1 - pmin) if glm.name == "binomial" else mu))
    if family == "cox":  # no intercept; the partial likelihood's deviance
        wn = w / w.sum()
        return float(2.0 * w.sum() * (cox_saturated(y, wn) - cox_loglik(x @ b, y, wn)[0]))
    if family in ("gaussian", "multitask"):
        return float(w @ ((y - eta) ** 2).reshape(n, -1).sum(1))
    if family == "binomial":
        mu = np.clip(special.expit(eta), pmin, 1.0 - pmin)
        ll = special.xlogy(y, mu) + special.xlog1py(1.0 - y, -mu)
        sat = special.xlogy(y, y) + special.xlog1py(1.0 - y, -y)
        return float(2.0 * w @ (sat - ll))
    mu = np.exp(eta)
    return float(2.0 * w @ (special.xlogy(y, y) - special.xlogy(y, mu) - (y - mu)))


def null_deviance(family, y, weights=None, intercept=True):
    n, m = len(y), normalized_weights(weights, len(y)) @ y
    a0 = 0.0 if not intercept else Glm(family).g(m) if "/" in family else \
        {"binomial": special.logit, "poisson": np.log, "cox": lambda m: 0.0}.get(family, lambda m: m)(m)
    return deviance(family, y, a0, np.zeros(0), np.zeros((n, 0)), weights)
