"""The three families' paths against independent solvers, their path rules
and invariances, each rule run over every family (and, where the input
matters, dense and sparse).  Optimality against the objective itself and
dense against sparse are in test_engine.py; error texts and orders in
test_binding.py."""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

import contract as C
import oracles as o
from varnel._core import fit

BIG = 9.9e35
FAMILIES = ("gaussian", "binomial", "poisson")
# families by variance and link on real data: positive (diabetes), counts (doctor visits), 0/1
GLMS = ("gamma/log", "gamma/inverse", "inverse_gaussian/log", "gaussian/log", "tweedie:2.5/log",
        "tweedie:1.5/log", "negative_binomial:1/log", "poisson/sqrt", "binomial/probit", "binomial/cloglog")


def data(family):
    """Real data of each family: diabetes, breast cancer, doctor visits."""
    name = family.split(":")[0].split("/")[0]
    return o.dataset({"gaussian": "diabetes", "gamma": "diabetes", "inverse_gaussian": "diabetes",
                      "binomial": "breast_cancer"}.get(name, "diabetes" if ":2" in family else "randhie"))


def path(family, x, y, sparse=False, **kw):
    if sparse:
        s = sp.csc_matrix(x)
        x = (x.shape[0], x.shape[1], s.indptr, s.indices, s.data)
    return fit(x, y, **(o.Glm(family).options() if "/" in family else dict(family=family)), **kw)


# ---- independent solvers --------------------------------------------------------------

def _sklearn_gaussian(x, y, lam, alpha, standardize):
    # sklearn minimises 1/(2n)|y - Xb|^2 + a r |b|_1 + a (1 - r)/2 |b|^2 on centred data;
    # with the columns divided by s that is our problem for a r = lambda alpha and
    # a (1 - r) = lambda (1 - alpha) / y_scale.
    from sklearn.linear_model import enet_path

    n, p = x.shape
    wn = np.full(n, 1.0 / n)
    s = o.weighted_sd(x, wn) if standardize else np.ones(p)
    ys = o.response_scale(y, wn, True)
    xc = (x - x.mean(0)) / s
    a = lam * (alpha + (1 - alpha) / ys)
    _, coefs, _ = enet_path(xc, y - y.mean(), l1_ratio=alpha / (alpha + (1 - alpha) / ys),
                            alphas=a, tol=1e-14, max_iter=10**6)
    b = coefs / s[:, None]
    return y.mean() - x.mean(0) @ b, b


def _sklearn_logistic(x, y, lam, alpha, standardize):
    # saga / lbfgs minimise C sum(logloss) + penalty: mean logloss + lambda P(b)
    # for C = 1 / (n lambda), on the standardized columns
    from sklearn.linear_model import LogisticRegression

    n = len(y)
    s = x.std(axis=0) if standardize else np.ones(x.shape[1])
    a0, b = [], []
    for lk in lam:
        kw = dict(penalty="l1", solver="saga") if alpha == 1.0 else {}
        m = LogisticRegression(C=1 / (n * lk), tol=1e-12, max_iter=100000, **kw)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            m.fit((x - x.mean(0)) / s, y)
        b.append(m.coef_[0] / s)
        a0.append(m.intercept_[0] - x.mean(0) @ b[-1])
    return np.array(a0), np.array(b).T


def _statsmodels_poisson(x, y, lam, alpha, standardize):
    # -loglik/n + sum_j a_j (w |b_j| + (1 - w)/2 b_j^2), the constant unpenalized
    sm = pytest.importorskip("statsmodels.api")
    s = x.std(0) if standardize else np.ones(x.shape[1])
    model = sm.GLM(y, sm.add_constant(x / s), family=sm.families.Poisson())
    params = np.array([model.fit_regularized(method="elastic_net", alpha=np.r_[0.0, np.full(x.shape[1], lk)],
                                             L1_wt=alpha, cnvrg_tol=1e-12, maxiter=1000).params
                       for lk in lam]).T
    return params[0], params[1:] / s[:, None]


@pytest.mark.parametrize("family, alpha, standardize, reference, tol", [
    ("gaussian", 1.0, True, _sklearn_gaussian, 1e-5),
    ("gaussian", 0.5, False, _sklearn_gaussian, 1e-5),
    ("binomial", 1.0, True, _sklearn_logistic, 1e-5),
    ("binomial", 0.0, True, _sklearn_logistic, 1e-5),
    ("poisson", 1.0, True, _statsmodels_poisson, 1e-3),
    ("poisson", 0.4, False, _statsmodels_poisson, 1e-3),
])
def test_path_matches_an_independent_solver(family, alpha, standardize, reference, tol):
    x, y = data(family)
    r = path(family, x, y, alpha=alpha, standardize=standardize, nlambda=30, thresh=1e-14)
    assert r["warning"] is None
    ks = [3, 10, 20]
    ref_a0, ref_b = reference(x, y, r["lambda"][ks], alpha, standardize)
    prob = o.Problem(family, x, y, alpha=alpha, standardize=standardize)
    for t, k in enumerate(ks):
        ours = prob.objective(r["lambda"][k], r["a0"][k], r["beta"][:, k])
        theirs = prob.objective(r["lambda"][k], ref_a0[t], ref_b[:, t])
        assert ours <= theirs + 1e-10 * abs(theirs), k
        if theirs <= ours + 1e-9 * abs(ours):  # the reference converged as far
            b = r["beta"][:, k]
            np.testing.assert_allclose(b, ref_b[:, t], rtol=0, atol=tol * np.abs(b).max())


# ---- the penalty sequence --------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES + GLMS)
@pytest.mark.parametrize("lmr, ratio", [(1e-4, 0.9111627561154892), (1e-8, 1e-6 ** (1 / 99))])
def test_generated_sequence(family, lmr, ratio):
    x, y = data(family)
    r = path(family, x, y, lambda_min_ratio=lmr)
    lam = r["lambda"]
    np.testing.assert_allclose(lam[2:] / lam[1:-1], ratio, rtol=1e-14)
    assert lam[0] == pytest.approx(np.exp(2 * np.log(lam[1]) - np.log(lam[2])), rel=1e-15)
    assert lam[0] == pytest.approx(o.Problem(family, x, y).lambda_max(), rel=1e-12)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("opts", [dict(), dict(intercept=False), dict(standardize=False, alpha=0.25),
                                  dict(weights=True, penalty_factor=True)])
def test_one_and_two_values(family, opts):
    x, y = data(family)
    opts = dict(opts)
    if opts.pop("weights", False):
        opts["weights"] = np.linspace(0.5, 2.0, len(y))
    if opts.pop("penalty_factor", False):
        opts["penalty_factor"] = np.linspace(0.5, 2.0, x.shape[1])
    one = path(family, x, y, nlambda=1, **opts)
    two = path(family, x, y, nlambda=2, lambda_min_ratio=0.05, **opts)
    scale = o.response_scale(y, o.normalized_weights(opts.get("weights"), len(y)),
                             opts.get("intercept", True)) if family == "gaussian" else 1.0
    assert one["lambda"][0] == pytest.approx(BIG * scale, rel=1e-14) and not one["beta"].any()
    assert one["dev_ratio"][0] == pytest.approx(0.0, abs=1e-12)
    assert one["nulldev"] == pytest.approx(o.null_deviance(family, y, opts.get("weights"),
                                                           opts.get("intercept", True)), rel=1e-12)
    lmax = o.Problem(family, x, y, **opts).lambda_max()
    assert two["lambda"][1] == pytest.approx(0.05 * lmax, rel=1e-12)
    assert one["lambda_max"] == pytest.approx(lmax, rel=1e-12)


@pytest.mark.parametrize("family", FAMILIES)
def test_user_sequence_is_sorted(family):
    x, y = data(family)
    r = path(family, x, y, user_lambda=[0.001, 0.01, 0.005])
    assert r["lambda"].tolist() == [0.01, 0.005, 0.001] and r["lmu"] == 3


# ---- limits on the path ----------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("sparse", [False, True])
def test_pmax_dfmax_and_maxit(family, sparse):
    x, y = data(family)
    r0 = path(family, x, y, sparse, pmax=0)
    assert (r0["lmu"], r0["warning"]) == (1, ("MaxActiveReached", 1))
    r1 = path(family, x, y, sparse, pmax=1)
    assert r1["warning"][0] == "MaxActiveReached" and (r1["beta"] != 0).sum(axis=0).max() <= 1
    ridge = path(family, x, y, sparse, alpha=0.0, pmax=2)  # ridge: every variable at once
    assert ridge["warning"] == ("MaxActiveReached", 0)
    d = path(family, x, y, sparse, dfmax=2)
    assert d["warning"] is None and (d["beta"][:, -1] != 0).sum() > 2
    assert ((d["beta"][:, :-1] != 0).sum(axis=0) <= 2).all()
    for maxit in (3, 40):
        m = path(family, x, y, sparse, maxit=maxit)
        assert m["warning"] == ("MaxIterReached", m["lmu"]) and m["npasses"] > maxit


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("sparse", [False, True])
def test_excluded_constant_and_zero_weight_columns_stay_zero(family, sparse):
    x, y = data(family)
    x = np.column_stack([x, np.full(len(y), 3.0), np.where(np.arange(len(y)) < 5, x[:, 0], 1.0)])
    w = np.where(np.arange(len(y)) < 5, 0.0, 1.0)
    r = path(family, x, y, sparse, exclude=[1], weights=w, thresh=1e-12)
    assert not r["beta"][[1, -2, -1]].any() and r["beta"][0].any()
    with pytest.raises(ValueError, match=r"^weights must be non-negative, but weights\[0\] is -2$"):
        path(family, x, y, sparse, exclude=[1], weights=np.where(w > 0, 1.0, -2.0))


# ---- invariances -----------------------------------------------------------------------

@pytest.mark.parametrize("family, intercept", [(f, i) for f in FAMILIES for i in (True, False)] +
                         [(g, True) for g in GLMS])
@pytest.mark.parametrize("sparse", [False, True])
def test_deviances_and_weight_scale(family, sparse, intercept):
    x, y = data(family)
    w = np.linspace(0.5, 1.5, len(y))
    r = path(family, x, y, sparse, weights=w, intercept=intercept, nlambda=20, thresh=1e-12)
    assert r["nulldev"] == pytest.approx(o.null_deviance(family, y, w, intercept), rel=1e-10)
    for k in (0, 5, r["lmu"] - 1):  # dev_ratio from the coefficients
        dev = o.deviance(family, y, r["a0"][k], r["beta"][:, k], x, w, pmin=1e-9)
        assert 1 - dev / r["nulldev"] == pytest.approx(r["dev_ratio"][k], abs=1e-9)
    scaled = path(family, x, y, sparse, weights=10 * w, intercept=intercept, nlambda=20, thresh=1e-12)
    for key in ("lambda", "a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(scaled[key], r[key], rtol=1e-9, atol=1e-12, err_msg=key)
    assert scaled["nulldev"] == pytest.approx(10 * r["nulldev"], rel=1e-12)


@pytest.mark.parametrize("family, x, y, a0, nulldev", [
    ("poisson", [[1.0, 0.0], [2.0, 1.0], [3.0, 0.0], [4.0, 1.0]], [0.0, 1.0, 2.0, 5.0],
     0.6931471805599453, 7.77661295762166),
    ("binomial", [[1.0], [2.0], [3.0], [4.0]], [0.0, 1.0, 0.0, 1.0], 0.0, 5.545177444479562),
    ("gaussian", [[1.0], [2.0], [3.0], [4.0]], [1.0, 3.0, 2.0, 6.0], 3.0, 14.0),
])
def test_worked_examples(family, x, y, a0, nulldev):
    r = path(family, np.array(x), np.array(y))
    assert r["a0"][0] == pytest.approx(a0, abs=1e-15) and not r["beta"][:, 0].any()
    assert r["nulldev"] == pytest.approx(nulldev, rel=1e-13)


def test_binomial_proportions_are_weighted_successes():
    # y = k/m with weight m is k successes and m - k failures
    x, y = data("binomial")
    x = x[:60]
    m = np.arange(60) % 4 + 1
    k = np.minimum(np.round(y[:60] * m + (np.arange(60) % 3 == 0)), m)
    lam = np.geomspace(0.1, 1e-3, 8)
    grouped = path("binomial", x, k / m, weights=m.astype(float), user_lambda=lam, thresh=1e-13)
    rows = np.repeat(np.arange(60), m)
    ones = np.concatenate([np.arange(mi) < ki for mi, ki in zip(m, k)]).astype(float)
    expanded = path("binomial", x[rows], ones, user_lambda=lam, thresh=1e-13)
    for key in ("lambda", "a0", "beta"):  # the deviances differ by the saturated models
        np.testing.assert_allclose(grouped[key], expanded[key], rtol=1e-5, atol=1e-7, err_msg=key)


@pytest.mark.parametrize("sparse", [False, True])
def test_separable_data_at_zero_penalty_stay_finite(sparse):
    # found by fuzzing: a saturated logistic fit must not run off to infinity
    x = np.zeros((3, 5))
    x[2, 4] = 1.0
    r = path("binomial", x, np.array([0.0, 0.0, 1.0]), sparse, alpha=0.0, user_lambda=[0.0, 0.0])
    assert np.isfinite(r["a0"]).all() and np.isfinite(r["beta"]).all()
    assert ((0.0 <= r["dev_ratio"]) & (r["dev_ratio"] <= 1.0)).all()


@pytest.mark.parametrize("sparse", [False, True])
def test_families_that_share_a_variance_fit_alike(sparse):
    # gamma, inverse Gaussian and Gaussian are the Tweedie powers 2, 3 and 0, bit for
    # bit; Tweedie power 1 and the negative binomial as theta -> 0 solve the Poisson
    # family's problem (which runs on its own solver)
    x, y = data("gamma/log")
    for a, b in (("gamma/log", "tweedie:2/log"), ("gamma/identity", "tweedie:2/identity"),
                 ("inverse_gaussian/log", "tweedie:3/log"), ("gaussian/log", "tweedie:0/log")):
        C.assert_identical(path(a, x, y, sparse, nlambda=20), path(b, x, y, sparse, nlambda=20))
    x, y = data("poisson")
    lam = path("poisson", x, y, sparse, nlambda=20, thresh=1e-14)["lambda"][1:]
    want = path("poisson", x, y, sparse, user_lambda=lam, thresh=1e-14)
    for other in ("tweedie:1/log", "negative_binomial:1e-10/log"):
        got = path(other, x, y, sparse, user_lambda=lam, thresh=1e-14)
        for key in ("a0", "beta", "dev_ratio", "nulldev"):
            np.testing.assert_allclose(got[key], want[key], rtol=1e-6, atol=1e-8, err_msg=(other, key))
