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


def reference(prob, lam, iters=20000):
    """The objective of `prob` (an oracles.Problem) at lambda by restarted
    accelerated proximal gradient on c = b sd (limits: ungrouped only)."""
    (n, p), k = prob.x.shape, prob.yk.shape[1]
    sd, ni = prob.cond[:, None], int(prob.intercept)
    k1, k2 = (v[:, None] for v in prob.weights(lam))
    xs = np.hstack([np.ones((n, 1)), prob.x / prob.cond])  # curvature <= 1/2 x'Wx + k2
    step = 1 / (np.linalg.eigvalsh(xs.T @ (prob.wn[:, None] * xs))[-1] / 2 + (k2 / sd**2).max())
    c = prev = y = np.zeros((p + 1, k))
    t = 1.0
    for _ in range(iters):
        _, ga, gb = prob.loss_grad(y[0] * ni, y[1:] / sd)
        c = y - step * np.vstack([ga * ni, gb / sd + k2 * y[1:] / sd**2])
        tau, norm = step * k1 / sd, np.linalg.norm(c[1:], axis=1, keepdims=True)
        if prob.grouped:
            c[1:] *= np.maximum(1 - tau / np.maximum(norm, 1e-300), 0)
        else:
            c[1:] = np.clip(c[1:] - np.clip(c[1:], -tau, tau), prob.lower[:, None] * sd, prob.upper[:, None] * sd)
        if np.abs(c - prev).max() < 1e-14:
            break
        t = 1.0 if np.sum((y - c) * (c - prev)) > 0 else t  # restart the momentum
        t_next = (1 + np.sqrt(1 + 4 * t * t)) / 2
        y, prev, t = c + (t - 1) / t_next * (c - prev), c, t_next
    return prob.objective(lam, c[0] * ni, c[1:] / sd)


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
    prob = o.Problem("multinomial", X, Y, grouped=grouped, **opts)
    for k in range(1, r["lmu"]):  # the first is solved at an infinite penalty
        assert prob.kkt_residual(r["lambda"][k], r["a0"][:, k], r["beta"][..., k]) < 1e-6, k
    if case != "weights_pf":  # (an unpenalized variable joins the null model)
        assert r["lambda_max"] == pytest.approx(prob.lambda_max(), rel=1e-9)
    assert np.allclose(r["a0"].sum(0), 0.0) and np.all(r["beta"][opts.get("exclude", [])] == 0)
    s = mfit(X, Y, sparse=True, grouped=grouped, thresh=1e-14, **opts)
    assert s["lmu"] == r["lmu"] and s["nulldev"] == pytest.approx(r["nulldev"], rel=1e-12)
    for key in ("lambda", "a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(s[key], r[key], rtol=1e-7, atol=1e-9 * np.abs(r[key]).max())


@pytest.mark.parametrize("grouped", [False, True])
@pytest.mark.parametrize("seed", [1, 2])
def test_separated_classes_stay_optimal_where_steps_are_halved(grouped, seed):
    # well separated classes: confident rows, where the working curvature is
    # furthest below the Hessian and the outer iterations' steps get halved
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(400, 8))
    y = rng.integers(0, 4, 400)
    x += rng.normal(scale=3.0, size=(4, 8))[y]
    r = mfit(x, y * 1.0, grouped=grouped, nlambda=30, lambda_min_ratio=1e-4, thresh=1e-12)
    assert r["warning"] is None
    prob = o.Problem("multinomial", x, y * 1.0, grouped=grouped)
    for k in range(1, r["lmu"]):
        assert prob.kkt_residual(r["lambda"][k], r["a0"][:, k], r["beta"][..., k]) < 1e-6, k


@pytest.mark.parametrize("grouped", [False, True])
@pytest.mark.parametrize("sparse", [False, True])
def test_ten_classes_over_several_chunks_of_rows_are_optimal(grouped, sparse):
    # K = 10 over 517 rows: the dense kernels' full vectors, the rows past the
    # last group of sixteen and several chunks of rows, with most classes of a
    # moving variable standing still (ungrouped)
    rng = np.random.default_rng(10)
    x = rng.normal(size=(517, 9)) * np.linspace(0.5, 3.0, 9) + np.arange(9)
    b = rng.normal(size=(9, 10)) * (rng.uniform(size=(9, 10)) < 0.4)
    eta = ((x - x.mean(0)) / x.std(0)) @ b + rng.gumbel(size=(517, 10))
    y = np.argmax(eta, axis=1) * 1.0
    opts = dict(nlambda=25, lambda_min_ratio=1e-3, alpha=0.9, weights=rng.uniform(0.5, 1.5, 517))
    r = mfit(x, y, sparse=sparse, grouped=grouped, thresh=1e-14, **opts)
    assert r["warning"] is None and r["lmu"] > 10 and r["beta"].shape[1] == 10
    prob = o.Problem("multinomial", x, y, grouped=grouped, **opts)
    for k in range(1, r["lmu"]):
        assert prob.kkt_residual(r["lambda"][k], r["a0"][:, k], r["beta"][..., k]) < 1e-6, k
    if not sparse:  # the sparse design's kernels reach the same solutions
        s = mfit(x, y, sparse=True, grouped=grouped, thresh=1e-14, **opts)
        np.testing.assert_allclose(s["beta"], r["beta"], rtol=1e-7, atol=1e-8)


@pytest.mark.parametrize("grouped, case", [(False, "enet"), (False, "limits"), (False, "raw"),
                                           (True, "enet"), (True, "weights_pf")])
def test_objective_matches_reference_solver(grouped, case):
    opts = dict(OPTIONS[case], user_lambda=[0.05, 0.01, 0.002])
    r = mfit(X, Y, grouped=grouped, thresh=1e-13, **opts)
    prob = o.Problem("multinomial", X, Y, grouped=grouped, **opts)
    for k, lam in enumerate(r["lambda"]):
        ours = prob.objective(lam, r["a0"][:, k] * prob.intercept, r["beta"][..., k])
        assert abs(reference(prob, lam) - ours) < 1e-9, lam


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
