"""End-to-end tests of the logistic (binomial) elastic-net path."""
import warnings

import numpy as np
import pytest
from scipy import special
from sklearn.linear_model import LogisticRegression

from varnel._core import elnet_path

import oracles as o

BIG = 9.9e35
U64 = np.uint64


def fit(x, y, **kw):
    return elnet_path(x, y, family="binomial", **kw)


@pytest.fixture(scope="module")
def cancer():
    return o.breast_cancer()


@pytest.fixture(scope="module")
def small():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(60, 4))
    y = (rng.uniform(size=60) < special.expit(x @ [1.0, -0.5, 0.25, 0.0])).astype(float)
    return x, y


# ---------------------------------------------------------------------------
# errors

EXCLUDED = "all predictors are constant or excluded (jerr 7777)"
PENALTIES = "all penalty factors are <= 0 (jerr 10000)"
WEIGHTS = "observation weights sum to <= 0 (jerr 9999)"
LOWER = "lower limits should be non-positive"
UPPER = "upper limits should be non-negative"
UNDERFLOW = "null probability underflowed pmin; response is ~constant (jerr 8001)"
OVERFLOW = "null probability exceeded 1-pmin; response is ~constant (jerr 9001)"


def _bad_inputs(p, n):
    """Each entry breaks one rule; listed in the order they are tested."""
    return [dict(exclude=np.arange(p, dtype=U64)),
            dict(penalty_factor=np.r_[np.zeros(p - 1), -2.0]),
            dict(weights=np.r_[-np.ones(n - 1), 0.0]),
            dict(lower_limits=np.r_[np.zeros(p - 1), 0.1]),
            dict(upper_limits=np.r_[np.ones(p - 1), -0.1])]


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("response", ["zeros", "ones"])
@pytest.mark.parametrize("first", range(6))
def test_error_order(small, intercept, response, first):
    x, _ = small
    n, p = x.shape
    y = np.zeros(n) if response == "zeros" else np.ones(n)
    bad = _bad_inputs(p, n)
    kw = {k: v for d in bad[first:] for k, v in d.items()}
    with pytest.raises(ValueError) as e:
        fit(x, y, intercept=intercept, **kw)
    expected = [EXCLUDED, PENALTIES, WEIGHTS, LOWER, UPPER,
                UNDERFLOW if response == "zeros" else OVERFLOW][first]
    assert str(e.value) == expected


@pytest.mark.parametrize("intercept", [True, False])
def test_null_probability_uses_weights(small, intercept):
    x, y = small
    w = np.where(y == 1, 1.0, 0.0)
    with pytest.raises(ValueError) as e:
        fit(x, y, weights=w, intercept=intercept)
    assert str(e.value) == OVERFLOW
    with pytest.raises(ValueError) as e:
        fit(x, y, weights=1.0 - w, intercept=intercept)
    assert str(e.value) == UNDERFLOW


@pytest.mark.parametrize("bad", [-0.5, 1.5, np.nan])
def test_response_outside_unit_interval(small, bad):
    x, y = small
    y = y.copy()
    y[7] = bad
    with pytest.raises(ValueError, match=r"\by\b"):
        fit(x, y)


def test_proportions_are_accepted(small):
    x, y = small
    yp = np.clip(0.8 * y + 0.1 + 0.05 * np.sin(np.arange(len(y))), 0, 1)
    r = fit(x, yp, thresh=1e-12)
    k = r["lmu"] - 1
    dev = o.deviance("binomial", yp, r["a0"][k], r["beta"][:, k], x)
    assert r["nulldev"] == pytest.approx(o.null_deviance("binomial", yp), rel=1e-12)
    assert r["dev_ratio"][k] == pytest.approx(1 - dev / r["nulldev"], abs=1e-10)


# ---------------------------------------------------------------------------
# the penalty sequence and path-level behaviour


@pytest.mark.parametrize("lmr, ratio", [(1e-4, 0.9111627561154892), (1e-8, 1e-6 ** (1 / 99))])
def test_generated_ratio(small, lmr, ratio):
    x, y = small
    r = fit(x, y, nlambda=100, lambda_min_ratio=lmr)
    lam = r["lambda"]
    assert r["lmu"] >= 5
    assert lam[2] / lam[1] == pytest.approx(ratio, rel=1e-15)
    np.testing.assert_allclose(lam[2:] / lam[1:-1], ratio, rtol=1e-14)
    assert lam[0] == pytest.approx(np.exp(2 * np.log(lam[1]) - np.log(lam[2])), rel=1e-15)
    assert lam[0] == pytest.approx(o.lambda_max(x, y, family="binomial"), rel=1e-12)


@pytest.mark.parametrize("opts", [dict(), dict(intercept=False), dict(standardize=False),
                                  dict(alpha=0.4, penalty_factor=[1.0, 2.0, 0.5, 1.0]),
                                  dict(weights=True)])
@pytest.mark.parametrize("lmr", [0.01, 1e-8])
def test_two_values(small, opts, lmr):
    x, y = small
    opts = dict(opts)
    if opts.pop("weights", False):
        opts["weights"] = np.linspace(0.5, 2.0, len(y))
    r = fit(x, y, nlambda=2, lambda_min_ratio=lmr, **opts)
    assert r["lmu"] == 2 and r["lambda"][0] == BIG
    lmax = o.lambda_max(x, y, family="binomial", **opts)
    assert r["lambda"][1] == pytest.approx(max(1e-6, lmr) * lmax, rel=1e-12)


@pytest.mark.parametrize("intercept", [True, False])
def test_single_value_is_null_model(small, intercept):
    x, y = small
    w = np.linspace(1.0, 3.0, len(y))
    r = fit(x, y, nlambda=1, weights=w, intercept=intercept)
    assert r["lmu"] == 1 and r["warning"] is None
    assert r["lambda"].tolist() == [BIG] and not r["beta"].any()
    pbar = np.average(y, weights=w)
    assert r["a0"][0] == (pytest.approx(special.logit(pbar), rel=1e-14) if intercept else 0.0)
    assert r["dev_ratio"][0] == pytest.approx(0.0, abs=1e-13)
    assert r["nulldev"] == pytest.approx(o.null_deviance("binomial", y, w, intercept), rel=1e-12)


def test_empty_sequences(small):
    x, y = small
    for kw in (dict(nlambda=0), dict(user_lambda=np.array([]))):
        r = fit(x, y, **kw)
        assert r["lmu"] == 0 and r["warning"] is None and r["beta"].shape == (4, 0)
        assert r["nulldev"] == pytest.approx(o.null_deviance("binomial", y), rel=1e-12)


def test_user_lambda_order(small):
    x, y = small
    r = fit(x, y, user_lambda=np.array([0.1, 0.5, 0.2]))
    assert r["lmu"] == 3 and r["warning"] is None
    assert r["lambda"].tolist() == [0.5, 0.2, 0.1]
    o.assert_identical(r, fit(x, y, user_lambda=np.array([0.5, 0.2, 0.1])))


def test_pmax_zero(cancer):
    x, y = cancer
    r = fit(x, y, pmax=0)
    assert r["lmu"] == 1 and not r["beta"].any()
    assert r["warning"] == ("MaxActiveReached { lambda_index: 1 }", -10002)


@pytest.mark.parametrize("data", ["small", "cancer"])
def test_pmax_one_stops_before_second_variable(request, data):
    x, y = request.getfixturevalue(data)
    full = fit(x, y)
    r = fit(x, y, pmax=1)
    m = r["lmu"]
    assert r["warning"] == (f"MaxActiveReached {{ lambda_index: {m} }}", -(10001 + m))
    assert np.all(np.count_nonzero(r["beta"], axis=0) <= 1)
    for k in ("a0", "beta", "dev_ratio"):
        assert np.array_equal(r[k], full[k][..., :m])
    first_two = np.argmax((np.cumsum(full["beta"] != 0, axis=1) > 0).sum(axis=0) >= 2)
    if data == "small":
        assert m == first_two
    else:
        # collinear columns: a second variable may enter and fall back to 0
        # within one penalty value, which ends the path just the same
        assert 1 <= m <= first_two
    assert fit(x, y, pmax=2)["lmu"] > m


def test_ridge_with_more_variables_than_pmax(cancer):
    x, y = cancer
    r = fit(x, y, alpha=0.0, pmax=3)
    assert r["lmu"] == 0 and r["lambda"].size == 0
    assert r["warning"] == ("MaxActiveReached { lambda_index: 0 }", -10001)
    assert fit(x, y, alpha=0.0, nlambda=10)["warning"] is None


@pytest.mark.parametrize("maxit", [2, 60])
def test_pass_limit(cancer, maxit):
    x, y = cancer
    full = fit(x, y)
    r = fit(x, y, maxit=maxit)
    m = r["lmu"]
    assert r["warning"] == (f"MaxIterReached {{ lambda_index: {m} }}", -(m + 1))
    for k in ("a0", "beta", "dev_ratio"):
        assert np.array_equal(r[k], full[k][..., :m])


def test_excluded_constant_and_zero_weight_columns(cancer):
    x, y = cancer
    n = len(y)
    w = np.ones(n)
    w[:15] = 0.0
    z = np.zeros(n)
    z[:15] = np.arange(15.0)          # varies only where the weight is 0
    xx = np.column_stack([x, np.full(n, 2.0), z])
    r = fit(xx, y, weights=w, exclude=np.array([3], dtype=U64), nlambda=30)
    assert np.all(np.isfinite(r["beta"])) and not r["beta"][[3, 8, 9]].any()
    assert np.count_nonzero(r["beta"][:, -1]) >= 5
    o.assert_identical(r, fit(xx, y, weights=w, exclude=np.array([3, 9, 10], dtype=U64), nlambda=30))


def test_negative_weights_count_as_zero(cancer):
    x, y = cancer
    w = np.linspace(0.5, 1.5, len(y))
    neg, zero = w.copy(), w.copy()
    neg[::5], zero[::5] = -1.0, 0.0
    o.assert_identical(fit(x, y, weights=neg), fit(x, y, weights=zero))


# ---------------------------------------------------------------------------
# optimality


@pytest.mark.parametrize("standardize", [True, False])
def test_lasso_matches_sklearn(cancer, standardize):
    # saga minimises sum(logloss)/(n lambda) + |b|_1 with an unpenalized
    # intercept, i.e. mean logloss + lambda |b|_1 for C = 1 / (n lambda).
    x, y = cancer
    n = len(y)
    s = x.std(axis=0)
    xs = (x - x.mean(0)) / s
    r = fit(x if standardize else xs, y, standardize=standardize, nlambda=30, thresh=1e-14)
    assert r["warning"] is None
    for k in (3, 10, 20):
        m = LogisticRegression(penalty="l1", C=1 / (n * r["lambda"][k]), solver="saga",
                               tol=1e-12, max_iter=100000)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            m.fit(xs, y)
        b = r["beta"][:, k] * (s if standardize else 1.0)
        np.testing.assert_allclose(b, m.coef_[0], rtol=0, atol=1e-5 * np.abs(b).max())
        a0 = r["a0"][k] + (r["beta"][:, k] @ x.mean(0) if standardize else 0.0)
        assert a0 == pytest.approx(m.intercept_[0], abs=1e-6)
        assert np.array_equal(b == 0, m.coef_[0] == 0)


def test_ridge_matches_sklearn(cancer):
    # lbfgs minimises C sum(logloss) + |b|^2 / 2, i.e. mean logloss +
    # lambda/2 |b|^2 on standardized columns for C = 1 / (n lambda)
    x, y = cancer
    n = len(y)
    s = x.std(axis=0)
    xs = (x - x.mean(0)) / s
    r = fit(x, y, alpha=0.0, nlambda=30, thresh=1e-14)
    assert r["warning"] is None and r["lmu"] == 30
    for k in (5, 15, 25):
        m = LogisticRegression(C=1 / (n * r["lambda"][k]), tol=1e-12, max_iter=100000).fit(xs, y)
        b = r["beta"][:, k] * s
        np.testing.assert_allclose(b, m.coef_[0], rtol=0, atol=1e-5 * np.abs(b).max())
        assert r["a0"][k] + r["beta"][:, k] @ x.mean(0) == pytest.approx(m.intercept_[0], abs=1e-6)


def _general(n, p):
    rng = np.random.default_rng(5)
    w = rng.uniform(0.0, 2.0, n)
    pf = np.ones(p)
    pf[1], pf[4] = 0.0, 3.0
    lo, up = np.full(p, -np.inf), np.full(p, np.inf)
    up[0], lo[6], lo[2] = 0.5, 0.0, -20.0
    return dict(weights=w, penalty_factor=pf, lower_limits=lo, upper_limits=up)


CASES = {
    "lasso": dict(),
    "ridge-mix-raw": dict(alpha=0.3, standardize=False),
    "all-options": dict(alpha=0.7, general=True),
    "all-no-intercept": dict(alpha=0.7, general=True, intercept=False),
    "no-intercept-raw": dict(alpha=0.5, intercept=False, standardize=False),
}


@pytest.mark.parametrize("case", list(CASES))
def test_solutions_are_optimal(cancer, case):
    x, y = cancer
    n, p = x.shape
    kw = dict(CASES[case])
    if kw.pop("general", False):
        kw.update(_general(n, p))
    r = fit(x, y, nlambda=12, thresh=1e-14, maxit=10**6, **kw)
    assert r["warning"] is None
    prob = o.Problem("binomial", x, y, **kw)
    lmu = r["lmu"]
    for k in sorted({1, 3, lmu // 2, lmu - 1}):
        lam, a0, b = r["lambda"][k], r["a0"][k], r["beta"][:, k]
        assert prob.kkt_residual(lam, a0, b) < 1e-5, k
        ra0, rb, fref = prob.solve(lam)
        assert prob.objective(lam, a0, b) <= fref + 1e-9 * abs(fref), k
        if prob.kkt_residual(lam, ra0, rb) < 1e-6:
            np.testing.assert_allclose(b, rb, rtol=0, atol=1e-4 * np.abs(rb).max())
    if "upper_limits" in kw:  # pinned at 0.5 on the caller's scale
        assert np.all(r["beta"][0] <= 0.5 + 1e-15)
        assert abs(r["beta"][0, -1] - 0.5) < 1e-13
        assert np.all(r["beta"][6] >= 0) and np.all(r["beta"][1] != 0)
    if not kw.get("intercept", True):
        assert not r["a0"].any()


@pytest.mark.parametrize("opts", [dict(), dict(intercept=False, thresh=1e-10), dict(general=True, alpha=0.5)])
def test_dev_ratio_matches_coefficients(cancer, opts):
    x, y = cancer
    kw = dict(opts)
    if kw.pop("general", False):
        kw.update(_general(*x.shape))
    r = fit(x, y, nlambda=30, **kw)
    w = kw.get("weights")
    nulldev = o.null_deviance("binomial", y, w, kw.get("intercept", True))
    assert r["nulldev"] == pytest.approx(nulldev, rel=1e-12)
    for k in range(r["lmu"]):
        # fitted probabilities are kept 1e-9 away from 0 and 1 in the loss
        dev = o.deviance("binomial", y, r["a0"][k], r["beta"][:, k], x, w, pmin=1e-9)
        assert r["dev_ratio"][k] == pytest.approx(1 - dev / nulldev, abs=1e-10)
        exact = o.deviance("binomial", y, r["a0"][k], r["beta"][:, k], x, w)
        assert r["dev_ratio"][k] == pytest.approx(1 - exact / nulldev, abs=1e-8)


# ---------------------------------------------------------------------------
# invariances


@pytest.mark.parametrize("opts", [dict(), dict(alpha=0.5, intercept=False, standardize=False, nlambda=20)])
def test_memory_layout_is_invisible(cancer, opts):
    x, y = cancer
    w = np.linspace(0.5, 1.5, len(y))
    base = fit(np.ascontiguousarray(x), y, weights=w, **opts)
    for name, view in o.layouts(x).items():
        o.assert_identical(base, fit(view, y, weights=w, **opts))
    o.assert_identical(fit(np.ascontiguousarray(x[::-1]), y[::-1].copy(), weights=w, **opts),
                       fit(x[::-1], y[::-1].copy(), weights=w, **opts))
    o.assert_identical(fit(np.ascontiguousarray(x[:, ::-1]), y, weights=w, **opts),
                       fit(x[:, ::-1], y, weights=w, **opts))


@pytest.mark.parametrize("intercept", [True, False])
def test_weight_scale_changes_only_nulldev(cancer, intercept):
    x, y = cancer
    w = np.linspace(0.2, 1.8, len(y))
    kw = dict(alpha=0.8, intercept=intercept, nlambda=30)
    o.assert_same_path(fit(x, y, weights=w, **kw), fit(x, y, weights=10 * w, **kw),
                       rtol=1e-9, nulldev_factor=10.0)
