"""End-to-end tests of the Poisson (log-link) elastic-net path."""
import numpy as np
import pytest
import statsmodels.api as sm

from varnel._core import elnet_path

import oracles as o

BIG = 9.9e35
U64 = np.uint64
Y4 = np.array([0.0, 1.0, 2.0, 5.0])
X4 = np.array([[1.0, 0.5], [2.0, -1.0], [3.0, 0.0], [5.0, 2.0]])


def fit(x, y, **kw):
    return elnet_path(x, y, family="poisson", **kw)


@pytest.fixture(scope="module")
def visits():
    return o.randhie(1500)


# ---------------------------------------------------------------------------
# errors

NEGATIVE = "negative response; not permitted for the Poisson family (jerr 8888)"
EXCLUDED = "all predictors are constant or excluded (jerr 7777)"
PENALTIES = "all penalty factors are <= 0 (jerr 10000)"
WEIGHTS = "observation weights sum to <= 0 (jerr 9999)"
LOWER = "lower limits should be non-positive"
UPPER = "upper limits should be non-negative"
ORDER = [NEGATIVE, EXCLUDED, PENALTIES, WEIGHTS, LOWER, UPPER]


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("first", range(6))
def test_error_order(intercept, first):
    n, p = X4.shape
    y = Y4.copy()
    bad = [dict(y=np.array([0.0, 1.0, -1e-300, 5.0])),
           dict(exclude=np.arange(p, dtype=U64)),
           dict(penalty_factor=np.zeros(p)),
           dict(weights=np.array([-1.0, 0.0, -2.0, 0.0])),
           dict(lower_limits=np.array([0.0, 1.0])),
           dict(upper_limits=np.array([-1.0, 1.0]))]
    kw = {k: v for d in bad[first:] for k, v in d.items()}
    y = kw.pop("y", y)
    with pytest.raises(ValueError) as e:
        fit(X4, y, intercept=intercept, **kw)
    assert str(e.value) == ORDER[first]


def test_negative_response_beats_constant_columns():
    with pytest.raises(ValueError) as e:
        fit(np.ones((4, 2)), np.array([1.0, -2.0, 1.0, 1.0]), nlambda=0)
    assert str(e.value) == NEGATIVE


@pytest.mark.parametrize("value", [0.0, 3.0])
def test_constant_response_with_intercept(value):
    with pytest.raises(ValueError, match="response is constant"):
        fit(X4, np.full(4, value))
    # only the observations of positive weight count
    with pytest.raises(ValueError, match="response is constant"):
        fit(X4, np.array([value, 7.0, value, value]), weights=np.array([1.0, 0.0, 2.0, 1.0]))
    # without an intercept a constant positive response is fitted
    assert fit(X4, np.full(4, 3.0), intercept=False, nlambda=5)["lmu"] >= 1


# ---------------------------------------------------------------------------
# the worked example and the penalty sequence


def test_worked_example():
    r = fit(X4, Y4)
    assert r["a0"][0] == 0.6931471805599453
    assert r["nulldev"] == pytest.approx(7.77661295762166, rel=1e-13)
    assert r["dev_ratio"][0] == pytest.approx(0.0, abs=1e-13)
    assert not r["beta"][:, 0].any()
    assert r["nulldev"] == pytest.approx(o.null_deviance("poisson", Y4), rel=1e-13)


@pytest.mark.parametrize("lmr, ratio", [(1e-4, 0.9111627561154892), (1e-8, 1e-6 ** (1 / 99))])
def test_generated_ratio(visits, lmr, ratio):
    x, y = visits
    for xx, yy in ((X4, Y4), (x, y)):
        r = fit(xx, yy, nlambda=100, lambda_min_ratio=lmr)
        lam = r["lambda"]
        assert r["lmu"] >= 5
        assert lam[2] / lam[1] == pytest.approx(ratio, rel=1e-15)
        np.testing.assert_allclose(lam[2:] / lam[1:-1], ratio, rtol=1e-14)
        assert lam[0] == pytest.approx(np.exp(2 * np.log(lam[1]) - np.log(lam[2])), rel=1e-15)
        assert lam[0] == pytest.approx(o.lambda_max(xx, yy, family="poisson"), rel=1e-12)


@pytest.mark.parametrize("opts", [dict(), dict(intercept=False), dict(standardize=False),
                                  dict(alpha=0.25, penalty_factor=[1.0, 0.5, 2.0, 1.0, 1.0, 1.0]),
                                  dict(weights=True)])
@pytest.mark.parametrize("lmr", [0.05, 1e-8])
def test_two_values(visits, opts, lmr):
    x, y = visits
    opts = dict(opts)
    if opts.pop("weights", False):
        opts["weights"] = np.linspace(0.5, 2.0, len(y))
    r = fit(x, y, nlambda=2, lambda_min_ratio=lmr, **opts)
    assert r["lmu"] == 2 and r["lambda"][0] == BIG
    lmax = o.lambda_max(x, y, family="poisson", **opts)
    assert r["lambda"][1] == pytest.approx(max(1e-6, lmr) * lmax, rel=1e-12)


@pytest.mark.parametrize("intercept", [True, False])
def test_single_value_is_null_model(visits, intercept):
    x, y = visits
    w = np.linspace(1.0, 3.0, len(y))
    r = fit(x, y, nlambda=1, weights=w, intercept=intercept)
    assert r["lmu"] == 1 and r["warning"] is None
    assert r["lambda"].tolist() == [BIG] and not r["beta"].any()
    assert r["a0"][0] == (pytest.approx(np.log(np.average(y, weights=w)), rel=1e-14) if intercept else 0.0)
    assert r["dev_ratio"][0] == pytest.approx(0.0, abs=1e-13)
    assert r["nulldev"] == pytest.approx(o.null_deviance("poisson", y, w, intercept), rel=1e-12)


def test_empty_sequences():
    for kw in (dict(nlambda=0), dict(user_lambda=np.array([]))):
        r = fit(X4, Y4, **kw)
        assert r["lmu"] == 0 and r["warning"] is None and r["beta"].shape == (2, 0)
        assert r["nulldev"] == pytest.approx(7.77661295762166, rel=1e-13)


def test_user_lambda_order():
    r = fit(X4, Y4, user_lambda=np.array([0.1, 0.5, 0.2]))
    assert r["lmu"] == 3 and r["warning"] is None
    assert r["lambda"].tolist() == [0.5, 0.2, 0.1]
    o.assert_identical(r, fit(X4, Y4, user_lambda=np.array([0.5, 0.2, 0.1])))


def test_pmax_zero(visits):
    x, y = visits
    r = fit(x, y, pmax=0)
    assert r["lmu"] == 1 and not r["beta"].any()
    assert r["warning"] == ("MaxActiveReached { lambda_index: 1 }", -10002)


def test_pmax_one_stops_before_second_variable(visits):
    x, y = visits
    full = fit(x, y)
    r = fit(x, y, pmax=1)
    m = r["lmu"]
    assert r["warning"] == (f"MaxActiveReached {{ lambda_index: {m} }}", -(10001 + m))
    assert m == np.argmax((np.cumsum(full["beta"] != 0, axis=1) > 0).sum(axis=0) >= 2)
    assert np.count_nonzero(r["beta"][:, -1]) == 1
    for k in ("a0", "beta", "dev_ratio"):
        assert np.array_equal(r[k], full[k][..., :m])


def test_ridge_with_more_variables_than_pmax(visits):
    x, y = visits
    r = fit(x, y, alpha=0.0, pmax=5)
    assert r["lmu"] == 0 and r["lambda"].size == 0 and r["beta"].shape == (6, 0)
    assert r["warning"] == ("MaxActiveReached { lambda_index: 0 }", -10001)
    assert fit(x, y, alpha=0.0, pmax=6, nlambda=10)["warning"] is None


@pytest.mark.parametrize("maxit", [1, 30])
def test_pass_limit(visits, maxit):
    x, y = visits
    full = fit(x, y)
    r = fit(x, y, maxit=maxit)
    m = r["lmu"]
    assert r["warning"] == (f"MaxIterReached {{ lambda_index: {m} }}", -(m + 1))
    for k in ("a0", "beta", "dev_ratio"):
        assert np.array_equal(r[k], full[k][..., :m])


def test_excluded_constant_and_zero_weight_columns(visits):
    x, y = visits
    n = len(y)
    w = np.ones(n)
    w[-20:] = 0.0
    z = np.zeros(n)
    z[-20:] = 1.0                     # varies only where the weight is 0
    xx = np.column_stack([z, x, np.full(n, -1.5)])
    r = fit(xx, y, weights=w, exclude=np.array([2], dtype=U64), lambda_min_ratio=1e-3)
    assert np.all(np.isfinite(r["beta"])) and not r["beta"][[0, 2, 7]].any()
    assert np.count_nonzero(r["beta"][:, -1]) == 5
    o.assert_identical(r, fit(xx, y, weights=w, exclude=np.array([0, 2, 8], dtype=U64),
                              lambda_min_ratio=1e-3))


def test_negative_weights_count_as_zero(visits):
    x, y = visits
    w = np.linspace(0.5, 1.5, len(y))
    neg, zero = w.copy(), w.copy()
    neg[1::4], zero[1::4] = -0.5, 0.0
    r = fit(x, y, weights=neg)
    o.assert_identical(r, fit(x, y, weights=zero))
    assert r["nulldev"] == pytest.approx(o.null_deviance("poisson", y, zero), rel=1e-12)


# ---------------------------------------------------------------------------
# optimality


@pytest.mark.parametrize("alpha", [1.0, 0.4])
def test_matches_statsmodels_elastic_net(visits, alpha):
    # statsmodels minimises -loglik/n + sum_j a_j (w |b_j| + (1 - w)/2 b_j^2)
    # with a_0 = 0 for the constant: on pre-standardized columns that is the
    # penalized problem with a_j = lambda v_j and w = alpha.
    x, y = visits
    xs = (x - x.mean(0)) / x.std(0)
    pf = np.array([1.0, 1.0, 2.0, 1.0, 0.5, 1.0])
    v = o.normalized_penalty(pf, 6)
    r = fit(xs, y, alpha=alpha, standardize=False, penalty_factor=pf, nlambda=20, thresh=1e-14)
    prob = o.Problem("poisson", xs, y, alpha=alpha, penalty_factor=pf, standardize=False)
    model = sm.GLM(y, sm.add_constant(xs), family=sm.families.Poisson())
    for k in (3, 8, 15):
        lam = r["lambda"][k]
        ref = model.fit_regularized(method="elastic_net", alpha=np.r_[0.0, lam * v], L1_wt=alpha,
                                    cnvrg_tol=1e-12, maxiter=1000).params
        b = r["beta"][:, k]
        assert prob.objective(lam, r["a0"][k], b) <= prob.objective(lam, ref[0], ref[1:]) + 1e-12
        np.testing.assert_allclose(b, ref[1:], rtol=0, atol=1e-3 * np.abs(b).max())
        assert r["a0"][k] == pytest.approx(ref[0], abs=1e-4)


def _general(n, p):
    rng = np.random.default_rng(3)
    w = rng.uniform(0.0, 2.0, n)
    pf = np.array([0.0, 1.0, 1.0, 2.0, 1.0, 1.0])
    lo = np.array([-np.inf, -0.1, -np.inf, -np.inf, 0.0, -np.inf])
    up = np.array([np.inf, np.inf, np.inf, 0.02, np.inf, 0.01])
    return dict(weights=w, penalty_factor=pf, lower_limits=lo, upper_limits=up)


CASES = {
    "lasso": dict(),
    "ridge-mix-raw": dict(alpha=0.5, standardize=False),
    "no-intercept": dict(intercept=False),
    "all-options": dict(alpha=0.6, general=True),
    "all-no-intercept-raw": dict(alpha=0.6, general=True, intercept=False, standardize=False),
}


@pytest.mark.parametrize("case", list(CASES))
def test_solutions_are_optimal(visits, case):
    x, y = visits
    x, y = x[:1000], y[:1000]
    n, p = x.shape
    kw = dict(CASES[case])
    if kw.pop("general", False):
        kw.update(_general(n, p))
    r = fit(x, y, nlambda=15, thresh=1e-14, **kw)
    assert r["warning"] is None
    prob = o.Problem("poisson", x, y, **kw)
    lmu = r["lmu"]
    for k in sorted({1, 3, lmu // 2, lmu - 1}):
        lam, a0, b = r["lambda"][k], r["a0"][k], r["beta"][:, k]
        assert prob.kkt_residual(lam, a0, b) < 1e-6, k
        ra0, rb, fref = prob.solve(lam)
        assert prob.objective(lam, a0, b) <= fref + 1e-9 * abs(fref), k
        if prob.kkt_residual(lam, ra0, rb) < 1e-6:
            np.testing.assert_allclose(b, rb, rtol=0, atol=1e-4 * np.abs(rb).max())
    if "upper_limits" in kw:
        assert np.all(r["beta"] <= prob.upper[:, None]) and np.all(r["beta"] >= prob.lower[:, None])
        assert abs(r["beta"][5, -1] - 0.01) < 1e-15 and np.all(r["beta"][0, 1:] != 0)
    if not kw.get("intercept", True):
        assert not r["a0"].any()


@pytest.mark.parametrize("opts", [dict(), dict(intercept=False), dict(general=True, alpha=0.5)])
def test_dev_ratio_matches_coefficients(visits, opts):
    x, y = visits
    kw = dict(opts)
    if kw.pop("general", False):
        kw.update(_general(*x.shape))
    r = fit(x, y, **kw)
    w = kw.get("weights")
    nulldev = o.null_deviance("poisson", y, w, kw.get("intercept", True))
    assert r["nulldev"] == pytest.approx(nulldev, rel=1e-12)
    for k in range(r["lmu"]):
        dev = o.deviance("poisson", y, r["a0"][k], r["beta"][:, k], x, w)
        assert r["dev_ratio"][k] == pytest.approx(1 - dev / nulldev, abs=1e-10)


# ---------------------------------------------------------------------------
# invariances


@pytest.mark.parametrize("opts", [dict(), dict(alpha=0.5, intercept=False, standardize=False)])
def test_memory_layout_is_invisible(visits, opts):
    x, y = visits
    w = np.linspace(0.5, 1.5, len(y))
    base = fit(np.ascontiguousarray(x), y, weights=w, **opts)
    for name, view in o.layouts(x).items():
        o.assert_identical(base, fit(view, y, weights=w, **opts))
    o.assert_identical(fit(np.ascontiguousarray(x[::-1]), y[::-1].copy(), weights=w, **opts),
                       fit(x[::-1], y[::-1].copy(), weights=w, **opts))
    o.assert_identical(fit(np.ascontiguousarray(x[:, ::-1]), y, weights=w, **opts),
                       fit(x[:, ::-1], y, weights=w, **opts))


@pytest.mark.parametrize("intercept", [True, False])
def test_weight_scale_changes_only_nulldev(visits, intercept):
    x, y = visits
    w = np.linspace(0.2, 1.8, len(y))
    kw = dict(alpha=0.8, intercept=intercept)
    o.assert_same_path(fit(x, y, weights=w, **kw), fit(x, y, weights=10 * w, **kw),
                       rtol=1e-9, nulldev_factor=10.0)
