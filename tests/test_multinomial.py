"""The multinomial path of `_core.fit`: optimality, a reference solver, scikit-learn,
dense against sparse, offsets, two classes against the binomial family, errors."""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from scipy import special
from sklearn.linear_model import LogisticRegression

from varnel._core import elnet_path, fit

import oracles as o


def _data(n=150, p=6, k=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p)) * (1.0 + np.arange(p)) + np.arange(p)
    x[rng.uniform(size=x.shape) < 0.3] = 0.0
    b = rng.normal(size=(p, k)) * [[1.0], [-1.0], [0.5], [0.0], [0.0], [0.3]][:p]
    cdf = np.cumsum(special.softmax(((x - x.mean(0)) / x.std(0)) @ b, axis=1), axis=1)
    return x, (rng.uniform(size=(n, 1)) > cdf).sum(1) * 1.0


def mfit(x, y, sparse=False, **kw):
    if sparse:
        s = sp.csc_matrix(x)
        x = (x.shape[0], x.shape[1], s.indptr, s.indices, s.data)
    return fit(x, y, family="multinomial", **kw)


class Multinomial:
    """The objective on the caller's scale, eta = offset + a0 + x b, k1 = lambda alpha v s,
    k2 = lambda (1 - alpha) v s^2, |.| the L1 norm (grouped: the Euclidean one):
    mean_w(logsumexp(eta_i) - eta_{i,y_i}) + sum_j k1_j |b_j.| + k2_j ||b_j.||^2 / 2."""

    def __init__(self, x, y, *, alpha=1.0, grouped=False, weights=None, penalty_factor=None,
                 lower_limits=None, upper_limits=None, standardize=True, intercept=True,
                 offset=None, exclude=(), **_):
        n, p = x.shape
        self.x, self.alpha, self.grouped, self.intercept = x, alpha, grouped, intercept
        self.yk = np.eye(int(y.max()) + 1)[y.astype(int)]
        self.wn, self.v = o.normalized_weights(weights, n), o.normalized_penalty(penalty_factor, p)
        self.cond = o.weighted_sd(x, self.wn)
        self.s = self.cond if standardize else np.ones(p)
        self.lo = np.full((p, 1), -np.inf) if lower_limits is None else np.c_[lower_limits]
        self.up = np.full((p, 1), np.inf) if upper_limits is None else np.c_[upper_limits]
        self.off = 0.0 if offset is None else offset
        self.free = ~np.isin(np.arange(p), exclude)

    def loss_grad(self, a0, b):
        eta = self.off + a0 + self.x @ b
        d = self.wn[:, None] * (special.softmax(eta, axis=1) - self.yk)
        f = self.wn @ (special.logsumexp(eta, axis=1) - (self.yk * eta).sum(1))
        return f, d.sum(0), self.x.T @ d

    def penalty(self, lam, b):
        k1, k2 = lam * self.alpha * self.v * self.s, lam * (1 - self.alpha) * self.v * self.s**2
        norm = np.linalg.norm(b, axis=1) if self.grouped else np.abs(b).sum(1)
        return k1[:, None], k2[:, None], k1 @ norm + 0.5 * k2 @ (b * b).sum(1)

    def objective(self, lam, a0, b):
        return self.loss_grad(a0, b)[0] + self.penalty(lam, b)[2]

    def kkt(self, lam, a0, b):
        """Largest violation of the optimality conditions per standardized coefficient."""
        k1, k2, _ = self.penalty(lam, b)
        _, ga, g = self.loss_grad(a0, b)
        g = g + k2 * b
        # at 0: the part of the descent direction that the limits allow
        into = np.where(((g < 0) & (self.up > 0)) | ((g > 0) & (self.lo < 0)), -g, 0.0)
        if self.grouped:
            norm = np.linalg.norm(b, axis=1, keepdims=True)
            h, nonzero = g + k1 * b / np.where(norm > 0, norm, 1.0), norm > 0
            zero = np.maximum(np.linalg.norm(into, axis=1, keepdims=True) - k1, 0.0) + 0 * b
        else:
            h, nonzero, zero = g + k1 * np.sign(b), b != 0, np.maximum(np.abs(into) - k1, 0.0)
        up, lo = (np.isclose(b, lim, rtol=1e-10, atol=0) for lim in (self.up, self.lo))
        r = np.where(up, np.maximum(h, 0), np.where(lo, np.maximum(-h, 0), abs(h))) * ~(up & lo)
        r = np.where(nonzero, r, zero) + 1e6 * np.maximum(np.maximum(b - self.up, self.lo - b), 0)
        worst = np.max((r / self.cond[:, None])[self.free])
        return max(worst, np.abs(ga).max()) if self.intercept else worst

    def reference(self, lam, iters=20000):
        """Restarted accelerated proximal gradient on c = b sd (limits: ungrouped only)."""
        (n, p), k = self.x.shape, self.yk.shape[1]
        sd, ni = self.cond[:, None], int(self.intercept)
        k1, k2, _ = self.penalty(lam, np.zeros((p, k)))
        xs = np.hstack([np.ones((n, 1)), self.x / self.cond])  # curvature <= 1/2 x'Wx + k2
        step = 1 / (np.linalg.eigvalsh(xs.T @ (self.wn[:, None] * xs))[-1] / 2 + (k2 / sd**2).max())
        c = prev = y = np.zeros((p + 1, k))
        t = 1.0
        for _ in range(iters):
            _, ga, gb = self.loss_grad(y[0] * ni, y[1:] / sd)
            c = y - step * np.vstack([ga * ni, gb / sd + k2 * y[1:] / sd**2])
            tau, norm = step * k1 / sd, np.linalg.norm(c[1:], axis=1, keepdims=True)
            if self.grouped:
                c[1:] *= np.maximum(1 - tau / np.maximum(norm, 1e-300), 0)
            else:
                c[1:] = np.clip(c[1:] - np.clip(c[1:], -tau, tau), self.lo * sd, self.up * sd)
            if np.abs(c - prev).max() < 1e-14:
                break
            t = 1.0 if np.sum((y - c) * (c - prev)) > 0 else t  # restart the momentum
            t_next = (1 + np.sqrt(1 + 4 * t * t)) / 2
            y, prev, t = c + (t - 1) / t_next * (c - prev), c, t_next
        return self.objective(lam, c[0] * ni, c[1:] / sd)


def _options(n, p, inf=np.inf):
    rng = np.random.default_rng(3)
    return {
        "lasso": {},
        "enet": {"alpha": 0.5},
        "ridge": {"alpha": 0.0, "nlambda": 20},
        "weights_pf": {"weights": rng.uniform(0, 2, n), "penalty_factor": [1, 0, 2, 1, 1, 1.0],
                       "alpha": 0.8},
        "limits": {"lower_limits": [-inf, -0.2, -inf, -inf, -inf, 0.0],
                   "upper_limits": [inf, inf, 0.3, inf, inf, inf]},
        "raw": {"standardize": False, "intercept": False},
        "offset": {"offset": rng.normal(size=(n, 3))},
        "exclude": {"exclude": [0, 3], "alpha": 0.9},
    }


X, Y = _data()
OPTIONS = _options(*X.shape)


@pytest.mark.parametrize("grouped", [False, True])
@pytest.mark.parametrize("case", list(OPTIONS))
def test_every_solution_is_optimal_dense_and_sparse(case, grouped):
    opts = OPTIONS[case]
    r = mfit(X, Y, grouped=grouped, thresh=1e-14, **opts)
    assert r["warning"] is None and r["lmu"] > 5
    prob = Multinomial(X, Y, grouped=grouped, **opts)
    yardstick = prob.kkt(0.0, r["a0"][:, 0], 0 * r["beta"][..., 0])
    for k in range(1, r["lmu"]):  # the first is solved at an infinite penalty
        assert prob.kkt(r["lambda"][k], r["a0"][:, k], r["beta"][..., k]) < 1e-6 * yardstick, k
    assert np.allclose(r["a0"].sum(0), 0.0) and np.all(r["beta"][opts.get("exclude", [])] == 0)
    s = mfit(X, Y, sparse=True, grouped=grouped, thresh=1e-14, **opts)
    assert s["lmu"] == r["lmu"] and s["nulldev"] == pytest.approx(r["nulldev"], rel=1e-12)
    for key in ("lambda", "a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(s[key], r[key], rtol=1e-7, atol=1e-9 * np.abs(r[key]).max())


@pytest.mark.parametrize("grouped, case", [(False, "enet"), (False, "limits"), (False, "raw"),
                                           (True, "enet"), (True, "weights_pf")])
def test_objective_matches_reference_solver(grouped, case):
    opts = dict(OPTIONS[case], user_lambda=[0.05, 0.01, 0.002])
    r = mfit(X, Y, grouped=grouped, thresh=1e-13, **opts)
    prob = Multinomial(X, Y, grouped=grouped, **opts)
    for k, lam in enumerate(r["lambda"]):
        ours = prob.objective(lam, r["a0"][:, k] * prob.intercept, r["beta"][..., k])
        assert abs(prob.reference(lam) - ours) < 1e-9, lam


def test_lasso_matches_sklearn():
    # saga minimises C sum_i logloss_i + |W|_1, i.e. mean logloss + lambda |W|_1
    # for C = 1 / (n lambda), on standardized columns with standardize=False.
    # Three classes: with an even count the L1 penalty can be flat over a
    # range of common shifts of a variable's coefficients (only differences
    # enter the loss), and the minimiser is then not unique.
    x, y = _data(n=200, p=5, k=3, seed=2)
    xs = (x - x.mean(0)) / x.std(0)
    r = mfit(xs, y, standardize=False, user_lambda=[0.03, 0.01, 0.003], thresh=1e-14)
    for k, lam in enumerate(r["lambda"]):
        m = LogisticRegression(penalty="l1", C=1 / (len(y) * lam), solver="saga", tol=1e-12,
                               max_iter=100000)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            m.fit(xs, y)
        b = r["beta"][..., k]
        np.testing.assert_allclose(b, m.coef_.T, rtol=0, atol=1e-5 * np.abs(b).max())
        prob = special.softmax(r["a0"][:, k] + xs @ b, axis=1)
        np.testing.assert_allclose(prob, m.predict_proba(xs), atol=1e-6)


@pytest.mark.parametrize("alpha", [1.0, 0.5, 0.0])
@pytest.mark.parametrize("grouped", [False, True])
def test_two_classes_match_the_binomial_family(alpha, grouped):
    # With K = 2 only d_j = b_j2 - b_j1 enters the loss, and the penalty is
    # least at b_j1 = -b_j2: alpha |d| (grouped alpha |d| / sqrt 2) plus
    # (1 - alpha) d^2 / 4, a binomial penalty at lambda' alpha' and
    # lambda' (1 - alpha') / 2.
    x, y = _data(n=200, p=5, k=2, seed=4)
    lam, w = np.geomspace(0.1, 0.001, 12), np.linspace(0.5, 1.5, len(y))
    l1, l2 = lam * alpha / (np.sqrt(2) if grouped else 1.0), lam * (1 - alpha) / 2
    r = mfit(x, y, grouped=grouped, alpha=alpha, user_lambda=lam, weights=w, thresh=1e-14)
    b = elnet_path(x, y, family="binomial", alpha=(l1 / (l1 + l2))[0], user_lambda=l1 + l2,
                   weights=w, thresh=1e-14)
    np.testing.assert_allclose(r["beta"][:, 1] - r["beta"][:, 0], b["beta"], atol=1e-7)
    np.testing.assert_allclose(r["a0"][1] - r["a0"][0], b["a0"], atol=1e-7)
    np.testing.assert_allclose(r["dev_ratio"], b["dev_ratio"], atol=1e-9)
    assert r["nulldev"] == pytest.approx(b["nulldev"], rel=1e-12)


@pytest.mark.parametrize("grouped", [False, True])
def test_dfmax_and_pmax_count_variables(grouped):
    def nonzero(r):
        return (r["beta"] != 0).any(axis=1).sum(axis=0)
    r = mfit(X, Y, grouped=grouped, dfmax=2)
    assert np.all(nonzero(r)[:-1] <= 2) and nonzero(r)[-1] > 2
    r = mfit(X, Y, grouped=grouped, pmax=2)
    assert r["warning"][0] == "MaxActiveReached" and np.all(nonzero(r) <= 2)


@pytest.mark.parametrize("call, match", [
    (lambda: fit(X, Y, family="binomial", grouped=True), "grouped=True needs"),
    (lambda: mfit(X, np.where(Y == 1, 2.0, Y)), "no observation of class 1"),
    (lambda: mfit(X, Y + 0.5), "class codes"),
    (lambda: mfit(X, 0 * Y), "single class"),
    (lambda: mfit(X, Y, weights=(Y != 2) * 1.0), "class 2 with a positive weight"),
    (lambda: mfit(X, Y, offset=np.zeros((len(Y), 2))), r"offset has shape \(150, 2\)"),
    (lambda: elnet_path(X, Y, family="multinomial"), "unknown family"),
])
def test_input_errors(call, match):
    with pytest.raises(ValueError, match=match):
        call()
