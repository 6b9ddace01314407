"""The three families' paths against independent solvers, their path rules
and invariances, each rule run over every family (and, where the input
matters, dense and sparse).  Optimality against the objective itself and
dense against sparse are in test_engine.py; error texts and orders in
test_binding.py."""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from scipy import optimize

import contract as C
import oracles as o
from varnel._core import fit

BIG = 9.9e35
FAMILIES = ("gaussian", "binomial", "poisson", "cox", "multitask")
# families by variance and link on real data: positive (diabetes), counts (doctor visits), 0/1
# (the binomial's log link runs on test_engine's data: these labels, nearly separable, press
# its means against 1)
GLMS = ("gamma/log", "gamma/inverse", "inverse_gaussian/log", "gaussian/log", "tweedie:2.5/log",
        "tweedie:1.5/log", "negative_binomial:1/log", "poisson/sqrt", "binomial/probit", "binomial/cloglog",
        "gaussian/inverse")


def data(family):
    """Real data of each family: diabetes, breast cancer, doctor visits,
    re-arrests, three diabetes measures."""
    name = family.split(":")[0].split("/")[0]
    return o.dataset({"gaussian": "diabetes", "gamma": "diabetes", "inverse_gaussian": "diabetes", "huber": "diabetes",
                      "binomial": "breast_cancer", "cox": "rossi", "multitask": "diabetes3"}.get(
                          name, "diabetes" if ":2" in family else "randhie"))


def nonzero(beta):
    """Variables with a non-zero coefficient (for any response) per solution."""
    b = beta != 0
    return (b.any(axis=1) if b.ndim == 3 else b).sum(axis=0)


def path(family, x, y, sparse=False, **kw):
    if sparse:
        s = sp.csc_matrix(x)
        x = (x.shape[0], x.shape[1], s.indptr, s.indices, s.data)
    return fit(x, y, **o.fit_options(family), **kw)


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


def _statsmodels(x, y, lam, alpha, standardize):
    # Poisson: -loglik/n + sum_j a_j (w |b_j| + (1 - w)/2 b_j^2), the constant unpenalized;
    # PHReg (y time and status): -l/n + lambda (alpha |b|_1 + (1 - alpha)/2 |b|^2)
    sm = pytest.importorskip("statsmodels.api")
    s = x.std(0) if standardize else np.ones(x.shape[1])
    if y.ndim == 2:
        model = sm.PHReg(y[:, 0], x / s, status=y[:, 1])
        b = np.array([model.fit_regularized(method="elastic_net", alpha=lk, L1_wt=alpha).params for lk in lam])
        return np.zeros(len(lam)), b.T / s[:, None]
    model = sm.GLM(y, sm.add_constant(x / s), family=sm.families.Poisson())
    params = np.array([model.fit_regularized(method="elastic_net", alpha=np.r_[0.0, np.full(x.shape[1], lk)],
                                             L1_wt=alpha, cnvrg_tol=1e-12, maxiter=1000).params
                       for lk in lam]).T
    return params[0], params[1:] / s[:, None]


def _sklearn_multitask(x, y, lam, alpha, standardize):
    # 1/(2n) ||Y - XW - b0||^2 + a r ||W||_21 + a (1 - r)/2 ||W||^2: our objective for a = lambda
    from sklearn.linear_model import MultiTaskElasticNet, MultiTaskLasso

    s = o.weighted_sd(x, np.full(len(y), 1 / len(y))) if standardize else np.ones(x.shape[1])
    a0, b = [], []
    for lk in lam:
        m = (MultiTaskLasso(alpha=lk, tol=1e-14, max_iter=10**6) if alpha == 1.0 else
             MultiTaskElasticNet(alpha=lk, l1_ratio=alpha, tol=1e-14, max_iter=10**6)).fit(x / s, y)
        a0.append(m.intercept_)
        b.append(m.coef_.T / s[:, None])
    return np.array(a0).T, np.moveaxis(np.array(b), 0, -1)


# Huber's loss on the diabetes data: delta about half the response's spread
HUBER = "huber:40"


def _direct_huber(x, y, lam, alpha, standardize):
    # L-BFGS-B on the penalized objective itself, b split into its positive and
    # negative parts (the L1 term linear in them, under bounds)
    prob = o.Problem(HUBER, x, y, alpha=alpha, standardize=standardize)
    p = x.shape[1]
    a0, b = [], []
    for lk in lam:
        k1, k2 = prob.weights(lk)

        def objective(z):
            bp, bn = z[1:p + 1], z[p + 1:]
            c = bp - bn
            f, ga, gb = prob.loss_grad(z[0], c)
            return f + k1 @ (bp + bn) + 0.5 * k2 @ (c * c), np.r_[ga, gb + k1 + k2 * c, -gb + k1 - k2 * c]

        z = optimize.minimize(objective, np.r_[prob.null_intercept(), np.zeros(2 * p)], jac=True,
                              method="L-BFGS-B", bounds=[(None, None)] + [(0.0, None)] * (2 * p),
                              options=dict(ftol=1e-16, gtol=1e-13, maxiter=100000, maxcor=30)).x
        a0.append(z[0])
        b.append(z[1:p + 1] - z[p + 1:])
    return np.array(a0), np.array(b).T


def _proximal_cox(x, y, lam, alpha, standardize):
    # accelerated proximal gradient on -l/n + lambda (alpha |b|_1 + (1 - alpha)/2 |b|^2)
    b = [o.cox_proximal_gradient(x, y, lk, alpha, standardize)[0] for lk in lam]
    return np.zeros(len(lam)), np.array(b).T


def wide_survival(n=500, p=500, seed=0):
    """Sparse columns (1% non-zeros, some empty), exponential times, ~70% events: a diagonal
    curvature that overshoots far, with a finite optimum at the WIDE_LAMBDAS."""
    rng = np.random.default_rng(seed)
    x = sp.random(n, p, density=0.01, format="csc", random_state=rng, data_rvs=rng.standard_normal)
    y = np.column_stack([rng.exponential(1.0, n), (rng.random(n) < 0.7).astype(float)])
    return x.toarray(), y


WIDE_LAMBDAS = [0.1, 0.05, 0.03]


@pytest.mark.parametrize("family, alpha, standardize, reference, tol, case", [
    ("gaussian", 1.0, True, _sklearn_gaussian, 1e-5, "real"),
    ("gaussian", 0.5, False, _sklearn_gaussian, 1e-5, "real"),
    ("binomial", 1.0, True, _sklearn_logistic, 1e-5, "real"),
    ("binomial", 0.0, True, _sklearn_logistic, 1e-5, "real"),
    ("poisson", 1.0, True, _statsmodels, 1e-3, "real"),
    ("poisson", 0.4, False, _statsmodels, 1e-3, "real"),
    ("cox", 1.0, True, _statsmodels, 1e-3, "real"),
    ("cox", 0.3, False, _statsmodels, 1e-3, "real"),
    ("cox", 1.0, True, _proximal_cox, 1e-3, "wide-dense"),
    ("cox", 1.0, True, _proximal_cox, 1e-3, "wide-sparse"),
    ("cox", 0.5, False, _proximal_cox, 1e-3, "wide-sparse"),
    ("multitask", 1.0, True, _sklearn_multitask, 1e-4, "real"),
    ("multitask", 0.3, False, _sklearn_multitask, 1e-4, "real"),
    (HUBER, 1.0, True, _direct_huber, 1e-4, "real"),
    (HUBER, 0.3, False, _direct_huber, 1e-4, "real"),
])
def test_path_matches_an_independent_solver(family, alpha, standardize, reference, tol, case):
    """Real data along a generated path, or wide sparse survival data at a
    few lambdas: no worse than the reference's objective, optimal, and at
    its coefficients where it converged as far; on the wide data the default
    thresh and maxit come within 1e-5 of the optimum."""
    x, y = data(family) if case == "real" else wide_survival()
    sparse = case.endswith("sparse")
    opts = dict(nlambda=30) if case == "real" else dict(user_lambda=WIDE_LAMBDAS)
    r = path(family, x, y, sparse, alpha=alpha, standardize=standardize, thresh=1e-14, **opts)
    assert r["warning"] is None
    ks = [3, 10, min(20, r["lmu"] - 1)] if case == "real" else list(range(len(WIDE_LAMBDAS)))
    ref_a0, ref_b = reference(x, y, r["lambda"][ks], alpha, standardize)
    prob = o.Problem(family, x, y, alpha=alpha, standardize=standardize)
    if case != "real":  # the oracle's running sums against the partial likelihood's definition
        eta, wn = x @ ref_b[:, -1], np.full(len(y), 1.0 / len(y))
        (ll, g), (ll_def, g_def) = o.cox_breslow(eta, y, wn), o.cox_loglik(eta, y, wn)
        assert ll == pytest.approx(ll_def, rel=1e-13)
        np.testing.assert_allclose(g, g_def, rtol=0, atol=1e-15)
    default = None if case == "real" else path(family, x, y, sparse, alpha=alpha,
                                               standardize=standardize, **opts)
    for t, k in enumerate(ks):
        ours = prob.objective(r["lambda"][k], r["a0"][..., k], r["beta"][..., k])
        theirs = prob.objective(r["lambda"][k], ref_a0[..., t], ref_b[..., t])
        assert ours <= theirs + 1e-10 * abs(theirs), k
        assert prob.kkt_residual(r["lambda"][k], r["a0"][..., k], r["beta"][..., k]) < 1e-6, k
        if case != "real":  # the proximal-gradient oracle reached the optimum itself
            assert prob.kkt_residual(r["lambda"][k], 0.0, ref_b[..., t]) < 1e-6, k
        if theirs <= ours + 1e-9 * abs(ours):  # the reference converged as far
            b = r["beta"][..., k]
            np.testing.assert_allclose(b, ref_b[..., t], rtol=0, atol=tol * np.abs(b).max())
        if default is not None:
            assert default["warning"] is None
            near = prob.objective(r["lambda"][k], 0.0, default["beta"][:, k])
            assert near <= theirs + 1e-5 * abs(theirs), k


@pytest.mark.parametrize("epsilon, strength", [(1.35, 1e-4), (1.5, 1.0), (2.0, 30.0)])
def test_huber_matches_scikit_learns_huber_regressor_at_its_scale(epsilon, strength):
    """HuberRegressor minimises sum_i (s + s H(r_i / s)) + a |b|^2 over b, b0 and the scale s; at its
    optimum s* that is the huber family's ridge at delta = epsilon s* and lambda = a s* / n,
    unstandardized: both meet the same optimality conditions (the reference to its tolerance)."""
    from sklearn.linear_model import HuberRegressor

    rng = np.random.default_rng(5)
    n = 400
    x = rng.normal(size=(n, 6)) * [1.0, 2.0, 0.5, 1.0, 3.0, 1.0]
    y = 0.5 + x @ [1.0, -0.5, 2.0, 0.0, 0.3, 0.0] + rng.standard_t(2, n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = HuberRegressor(epsilon=epsilon, alpha=strength, tol=1e-13, max_iter=100000).fit(x, y)
    delta, lam = float(epsilon * ref.scale_), float(strength * ref.scale_ / n)
    r = path(f"huber:{delta!r}", x, y, alpha=0.0, user_lambda=[lam], standardize=False, thresh=1e-16)
    assert r["warning"] is None
    prob = o.Problem(f"huber:{delta!r}", x, y, alpha=0.0, standardize=False)
    assert prob.kkt_residual(lam, r["a0"][0], r["beta"][:, 0]) < 1e-7
    theirs = prob.objective(lam, ref.intercept_, ref.coef_)
    assert prob.objective(lam, r["a0"][0], r["beta"][:, 0]) <= theirs + 1e-12 * abs(theirs)
    scale = np.abs(ref.coef_).max()
    np.testing.assert_allclose(r["beta"][:, 0], ref.coef_, rtol=0, atol=1e-4 * scale)
    assert r["a0"][0] == pytest.approx(ref.intercept_, abs=1e-4 * scale)


COX_UNPENALIZED = [  # (reference, ties, extra)
    ("statsmodels", "breslow", "plain"), ("statsmodels", "efron", "plain"),
    ("statsmodels", "breslow", "strata"), ("statsmodels", "efron", "offset"),
    ("lifelines", "efron", "plain"), ("lifelines", "efron", "weights"),
    ("lifelines", "efron", "strata"),
]


@pytest.mark.parametrize("reference, ties, extra", COX_UNPENALIZED)
def test_unpenalized_cox_matches_statsmodels_and_lifelines(reference, ties, extra):
    x, y = data("cox")
    n = len(y)
    w = 1.0 + (np.arange(n) % 3) * 0.5 if extra == "weights" else np.ones(n)
    strata = np.arange(n) % 2 if extra == "strata" else np.zeros(n, dtype=int)
    off = np.linspace(-0.3, 0.3, n) if extra == "offset" else None
    kw = dict(weights=w) if extra == "weights" else dict(strata=strata) if extra == "strata" else {}
    r = fit(x, y, family="cox", ties=ties, offset=off, user_lambda=[0.0], standardize=False,
            thresh=1e-15, **kw)
    if reference == "statsmodels":
        sm = pytest.importorskip("statsmodels.api")
        ref = sm.PHReg(y[:, 0], x, status=y[:, 1], ties=ties, offset=off,
                       strata=strata if extra == "strata" else None).fit().params
    else:
        lifelines = pytest.importorskip("lifelines")
        df = pytest.importorskip("pandas").DataFrame(x).rename(columns=str).assign(
            time=y[:, 0], status=y[:, 1], w=w, s=strata).drop(columns=[c for c in ("w", "s") if c != extra[0]])
        opts = dict(weights_col="w") if extra == "weights" else dict(strata="s") if extra == "strata" else {}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # lifelines' notes on non-integer weights
            ref = lifelines.CoxPHFitter().fit(df, "time", "status", fit_options={"precision": 1e-12},
                                              **opts).params_.to_numpy()
    assert r["a0"][0] == 0.0
    np.testing.assert_allclose(r["beta"][:, 0], ref, rtol=1e-5, atol=1e-6)


def _set(y, w, strata, rows, cols, value, drop=None):
    y, w = y.copy(), w.copy()
    (w if cols is None else y)[(rows, cols) if cols is not None else rows] = value
    return y, w, np.ones(len(y), dtype=bool) if drop is None else strata != drop


HOSTILE_SURVIVAL = {  # case: (the change to y or the weights, the error or None for a path to check)
    "all censored": (lambda y, w, s: _set(y, w, s, slice(None), 1, 0.0),
                     "the cox family needs an event: no row with status 1 has a positive weight, "
                     "so there is nothing to fit"),
    "one event": (lambda y, w, s: _set(y, w, s, slice(None), 1, np.arange(len(y)) == 7), None),
    "tied times everywhere": (lambda y, w, s: _set(y, w, s, slice(None), 0, 5.0), None),
    "zero-weight stratum": (lambda y, w, s: _set(y, w, s, s == 1, None, 0.0, drop=1), None),
    "stratum without events": (lambda y, w, s: _set(y, w, s, s == 2, 1, 0.0, drop=2), None),
    "only tied events": (lambda y, w, s: _set(y, w, s, slice(None), slice(None), [5.0, 1.0]),
                         "the cox family has nothing to fit: the null model already attains the "
                         "largest partial likelihood (every risk set holds only tied events)"),
    "time 0": (lambda y, w, s: _set(y, w, s, 3, 0, 0.0),
               "the cox family needs positive, finite survival times, but row 3 has time 0"),
    "status 2": (lambda y, w, s: _set(y, w, s, 5, 1, 2.0),
                 "the cox family needs a status of 0 (censored) or 1 (event), but row 5 has status 2"),
}


@pytest.mark.parametrize("ties", ["breslow", "efron"])
@pytest.mark.parametrize("case", list(HOSTILE_SURVIVAL))
def test_hostile_survival_inputs(case, ties):
    x, y = data("cox")
    x, y = x[:150], y[:150]
    strata = np.arange(150) % 3
    change, error = HOSTILE_SURVIVAL[case]
    y, w, keep = change(y, np.ones(150), strata)
    opts = dict(family="cox", ties=ties, standardize=False, thresh=1e-13,
                user_lambda=np.geomspace(0.1, 0.002, 8))
    if error is not None:
        with pytest.raises(ValueError) as info:
            fit(x, y, weights=w, strata=strata, **opts)
        assert str(info.value) == error
        return
    r = fit(x, y, weights=w, strata=strata, **opts)
    assert np.isfinite(r["beta"]).all() and ((0 <= r["dev_ratio"]) & (r["dev_ratio"] <= 1)).all()
    # the rows that matter by themselves: their loss has the full weight sum's share
    alone = fit(x[keep], y[keep], strata=strata[keep],
                **dict(opts, user_lambda=opts["user_lambda"] * w.sum() / w[keep].sum()))
    np.testing.assert_allclose(r["beta"], alone["beta"], rtol=0, atol=1e-5 * np.abs(r["beta"]).max())
    prob = o.Problem("cox", x, y, weights=w, strata=strata, ties=ties, standardize=False)
    for k in range(r["lmu"]):
        assert prob.kkt_residual(r["lambda"][k], 0.0, r["beta"][:, k]) < 1e-6, k


# ---- the penalty sequence --------------------------------------------------------------

@pytest.mark.parametrize("family, opts", [(f, o) for f in FAMILIES for o in (
    dict(), dict(intercept=False), dict(standardize=False, alpha=0.25), dict(weights=True, penalty_factor=True))]
    + [(g, {}) for g in GLMS])
def test_generated_one_two_and_caller_sequences(family, opts):
    x, y = data(family)
    opts = dict(opts)
    if opts.pop("weights", False):
        opts["weights"] = np.linspace(0.5, 2.0, len(y))
    if opts.pop("penalty_factor", False):
        opts["penalty_factor"] = np.linspace(0.5, 2.0, x.shape[1])
    lmax = o.Problem(family, x, y, **opts).lambda_max()
    for lmr, ratio in [(1e-4, 0.9111627561154892), (1e-8, 1e-6 ** (1 / 99))]:
        lam = path(family, x, y, lambda_min_ratio=lmr, **opts)["lambda"]
        np.testing.assert_allclose(lam[2:] / lam[1:-1], ratio, rtol=1e-14)
        assert lam[0] == pytest.approx(np.exp(2 * np.log(lam[1]) - np.log(lam[2])), rel=1e-15)
        assert lam[0] == pytest.approx(lmax, rel=1e-12)
    one = path(family, x, y, nlambda=1, **opts)
    two = path(family, x, y, nlambda=2, lambda_min_ratio=0.05, **opts)
    scale = o.response_scale(y, o.normalized_weights(opts.get("weights"), len(y)),
                             opts.get("intercept", True)) if family == "gaussian" else 1.0
    assert one["lambda"][0] == pytest.approx(BIG * scale, rel=1e-14) and not one["beta"].any()
    assert one["dev_ratio"][0] == pytest.approx(0.0, abs=1e-12)
    assert one["nulldev"] == pytest.approx(o.null_deviance(family, y, opts.get("weights"),
                                                           opts.get("intercept", True)), rel=1e-12)
    assert two["lambda"][1] == pytest.approx(0.05 * lmax, rel=1e-12)
    assert one["lambda_max"] == pytest.approx(lmax, rel=1e-12)
    r = path(family, x, y, user_lambda=[0.001, 0.01, 0.005], **opts)  # a caller's sequence, sorted
    assert r["lambda"].tolist() == [0.01, 0.005, 0.001] and r["lmu"] == 3


# ---- limits on the path ----------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("sparse", [False, True])
def test_limits_and_columns_left_out(family, sparse):
    x, y = data(family)
    r0 = path(family, x, y, sparse, pmax=0)
    assert (r0["lmu"], r0["warning"]) == (1, ("MaxActiveReached", 1))
    r1 = path(family, x, y, sparse, pmax=1)
    assert r1["warning"][0] == "MaxActiveReached" and nonzero(r1["beta"]).max() <= 1
    ridge = path(family, x, y, sparse, alpha=0.0, pmax=2)  # ridge: every variable at once
    assert ridge["warning"] == ("MaxActiveReached", 0)
    d = path(family, x, y, sparse, dfmax=2)
    assert d["warning"] is None and nonzero(d["beta"])[-1] > 2
    assert (nonzero(d["beta"])[:-1] <= 2).all()
    for maxit in (3, 40):
        m = path(family, x, y, sparse, maxit=maxit)
        assert m["warning"] == ("MaxIterReached", m["lmu"]) and m["npasses"] > maxit
    # excluded, constant and zero-weight columns stay at zero
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
        dev = o.deviance(family, y, r["a0"][..., k], r["beta"][..., k], x, w, pmin=1e-9)
        assert 1 - dev / r["nulldev"] == pytest.approx(r["dev_ratio"][k], abs=1e-9)
    scaled = path(family, x, y, sparse, weights=10 * w, intercept=intercept, nlambda=20, thresh=1e-12)
    for key in ("lambda", "a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(scaled[key], r[key], rtol=1e-9, atol=1e-12, err_msg=key)
    assert scaled["nulldev"] == pytest.approx(10 * r["nulldev"], rel=1e-12)


def _separated(rows, cols):
    x = np.zeros((rows, cols))
    x[-1, -2] = 1.0
    return x


@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("family, x, y, kw", [
    ("binomial", _separated(3, 5), [0.0, 0.0, 1.0], dict(user_lambda=[0.0, 0.0])),
    # a generated path whose early stops start only at the fifth solution, after the
    # working weights have all reached 0: the coordinates and the intercept are flat
    ("binomial", _separated(5, 6), [0.0, 0.0, 0.0, 0.0, 1.0],
     dict(penalty_factor=[0.0] * 5 + [1.0], weights=[0.0, 0.0, 0.0, 1.0, 2.0])),
    ("multinomial", _separated(5, 6), [0.0, 0.0, 1.0, 1.0, 2.0],
     dict(penalty_factor=[0.0] * 5 + [1.0], weights=[0.0, 1.0, 0.0, 1.0, 2.0])),
], ids=["caller-sequence", "generated", "multinomial"])
def test_separable_data_at_zero_penalty_stay_finite(sparse, family, x, y, kw):
    # found by fuzzing: a saturated fit must not run off to infinity
    r = path(family, x, np.asarray(y), sparse, alpha=0.0, **kw)
    assert np.isfinite(r["a0"]).all() and np.isfinite(r["beta"]).all()
    assert (np.abs(r["beta"]) < 1e3).all()
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
