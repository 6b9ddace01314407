"""End-to-end tests of the least-squares elastic-net path (dense and sparse)."""
import re

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.linear_model import enet_path, lasso_path

from varnel._core import elnet_path, elnet_sparse

import oracles as o

BIG = 9.9e35


def sparse_fit(x, y, **kw):
    s = sp.csc_matrix(x)
    return elnet_sparse(x.shape[0], x.shape[1], s.indptr, s.indices, s.data, y, **kw)


@pytest.fixture(scope="module")
def diab():
    return o.diabetes()


@pytest.fixture(scope="module")
def sparse_data():
    rng = np.random.default_rng(1)
    x = sp.random(300, 12, density=0.3, random_state=rng).toarray()
    y = x @ rng.normal(size=12) + rng.normal(size=300)
    return x, y, rng.uniform(0.0, 2.0, 300)


# ---------------------------------------------------------------------------
# optimality


@pytest.mark.parametrize("standardize", [False, True])
@pytest.mark.parametrize("alpha", [1.0, 0.5])
def test_path_matches_sklearn(diab, standardize, alpha):
    # sklearn minimises 1/(2n)|y - Xb|^2 + a r |b|_1 + a (1 - r)/2 |b|^2 on
    # centred data; with the columns divided by s the two problems coincide
    # for a r = lambda alpha and a (1 - r) = lambda (1 - alpha) / y_scale.
    x, y = diab
    n, p = x.shape
    r = elnet_path(x, y, alpha=alpha, standardize=standardize, nlambda=30, thresh=1e-20)
    assert r["warning"] is None and r["lmu"] >= 25
    wn = np.full(n, 1.0 / n)
    s = o.weighted_sd(x, wn) if standardize else np.ones(p)
    ys = o.response_scale(y, wn, True)
    xc, yc = (x - x.mean(0)) / s, y - y.mean()
    lam = r["lambda"][1:]
    if alpha == 1.0:
        _, coefs, _ = lasso_path(xc, yc, alphas=lam, tol=1e-14, max_iter=10**6)
    else:
        a = lam * (alpha + (1 - alpha) / ys)
        _, coefs, _ = enet_path(xc, yc, l1_ratio=alpha / (alpha + (1 - alpha) / ys), alphas=a,
                                tol=1e-14, max_iter=10**6)
    ref = coefs / s[:, None]
    beta = r["beta"][:, 1:]
    np.testing.assert_allclose(beta, ref, rtol=1e-5, atol=1e-5 * np.abs(ref).max())
    np.testing.assert_allclose(r["a0"][1:], y.mean() - x.mean(0) @ ref, rtol=1e-9)
    # the null model comes first
    assert not r["beta"][:, 0].any() and r["a0"][0] == pytest.approx(y.mean(), rel=1e-14)


def _general_options(n, p):
    rng = np.random.default_rng(7)
    w = rng.uniform(0.2, 2.0, n)
    w[:5] = 0.0
    pf = np.ones(p)
    pf[2], pf[5] = 0.0, 2.0
    lo, up = np.full(p, -np.inf), np.full(p, np.inf)
    up[2], up[3], lo[8], lo[0] = 200.0, 100.0, 0.0, -5.0
    return dict(weights=w, penalty_factor=pf, lower_limits=lo, upper_limits=up)


GENERAL = {
    "lasso": dict(),
    "all-options": dict(alpha=0.4, general=True),
    "all-no-intercept": dict(alpha=0.4, general=True, intercept=False),
    "raw-scale-ridge": dict(alpha=0.05, general=True, standardize=False),
    "no-intercept-raw": dict(alpha=0.8, intercept=False, standardize=False),
}


@pytest.mark.parametrize("case", list(GENERAL))
def test_solutions_are_optimal(diab, case):
    x, y = diab
    n, p = x.shape
    kw = dict(GENERAL[case])
    if kw.pop("general", False):
        kw.update(_general_options(n, p))
    r = elnet_path(x, y, nlambda=20, thresh=1e-18, **kw)
    assert r["warning"] is None
    prob = o.Problem("gaussian", x, y, **kw)
    lmu = r["lmu"]
    for k in sorted({1, 4, lmu // 2, lmu - 1}):
        lam, a0, b = r["lambda"][k], r["a0"][k], r["beta"][:, k]
        assert np.all(b <= prob.upper) and np.all(b >= prob.lower)
        assert prob.kkt_residual(lam, a0, b) < 1e-6, k
        ra0, rb, fref = prob.solve(lam)
        assert prob.objective(lam, a0, b) <= fref + 1e-9 * abs(fref), k
        if prob.kkt_residual(lam, ra0, rb) < 1e-6:  # the reference converged too
            np.testing.assert_allclose(b, rb, rtol=0, atol=1e-4 * np.abs(rb).max())
    if not kw.get("intercept", True):
        assert not r["a0"].any()
    if "penalty_factor" in kw:  # the unpenalized variable is in every model
        assert np.all(r["beta"][2, :] != 0)


# ---------------------------------------------------------------------------
# invariances


def _views(x, y):
    """(name, x view, y, contiguous copy of the same values)."""
    out = [(k, v, y, np.ascontiguousarray(x)) for k, v in o.layouts(x).items() if k != "C"]
    out.append(("rows-reversed", x[::-1, :], y[::-1].copy(), np.ascontiguousarray(x[::-1, :])))
    out.append(("cols-reversed", x[:, ::-1], y, np.ascontiguousarray(x[:, ::-1])))
    out.append(("transposed", np.ascontiguousarray(x.T).T, y, np.ascontiguousarray(x)))
    return out


@pytest.mark.parametrize("opts", [dict(), dict(alpha=0.3, intercept=False, standardize=False)])
def test_memory_layout_is_invisible(diab, opts):
    x, y = diab
    w = np.linspace(0.5, 1.5, len(y))
    for name, view, yy, copy in _views(x, y):
        assert not view.flags.c_contiguous or name == "C"
        o.assert_identical(elnet_path(copy, yy, weights=w, **opts), elnet_path(view, yy, weights=w, **opts))


def test_reversed_columns_give_reversed_coefficients(diab):
    x, y = diab
    r1 = elnet_path(x, y, nlambda=15, thresh=1e-20)
    r2 = elnet_path(x[:, ::-1], y, nlambda=15, thresh=1e-20)
    assert r1["lmu"] == r2["lmu"]
    np.testing.assert_allclose(r2["beta"][::-1], r1["beta"], rtol=0, atol=1e-6 * np.abs(r1["beta"]).max())
    np.testing.assert_allclose(r2["lambda"], r1["lambda"], rtol=1e-13)


SPARSE_CASES = {
    "default": dict(),
    "no-intercept": dict(intercept=False),
    "raw": dict(standardize=False),
    "weights": dict(weights=True),
    "weights-raw-no-intercept": dict(weights=True, alpha=0.3, intercept=False, standardize=False),
    "factors-limits": dict(weights=True, alpha=0.5, penalty_factor=np.r_[1.0, 1, 1, 0, np.ones(8)],
                           lower_limits=np.r_[0.0, 0, 0, np.full(9, -np.inf)],
                           upper_limits=np.r_[np.full(5, np.inf), 0.1, np.full(6, np.inf)]),
    "exclude-pmax": dict(exclude=np.array([1, 2], dtype=np.uint64), intercept=False, pmax=4),
    "user-lambda": dict(user_lambda=np.array([0.01, 0.5, 0.2])),
    "maxit": dict(maxit=30),
}


@pytest.mark.parametrize("case", list(SPARSE_CASES))
def test_sparse_equals_dense(sparse_data, case):
    x, y, w = sparse_data
    opts = dict(SPARSE_CASES[case])
    if opts.pop("weights", False):
        opts["weights"] = w
    rd, rs = elnet_path(x, y, **opts), sparse_fit(x, y, **opts)
    assert rd["lmu"] >= 3
    o.assert_same_path(rd, rs, rtol=1e-9, check_npasses=case in ("maxit", "exclude-pmax"))
    if "maxit" in opts or "pmax" in opts:
        assert rd["warning"] is not None


@pytest.mark.parametrize("dense", [True, False])
def test_weight_scale_changes_only_nulldev(sparse_data, dense):
    x, y, w = sparse_data
    fit = elnet_path if dense else sparse_fit
    r1, r10 = fit(x, y, weights=w, alpha=0.7), fit(x, y, weights=10 * w, alpha=0.7)
    o.assert_same_path(r1, r10, rtol=1e-10, nulldev_factor=10.0)


# ---------------------------------------------------------------------------
# the penalty sequence and path-level behaviour


@pytest.mark.parametrize("opts", [dict(), dict(standardize=False), dict(intercept=False),
                                  dict(alpha=0.3, weights=True, penalty_factor=True)])
def test_first_lambda_is_lambda_max(diab, opts):
    x, y = diab
    n, p = x.shape
    opts = dict(opts)
    if opts.pop("weights", False):
        opts["weights"] = np.linspace(0.1, 3.0, n)
    if opts.pop("penalty_factor", False):
        opts["penalty_factor"] = np.linspace(0.5, 2.0, p)
    r = elnet_path(x, y, nlambda=50, lambda_min_ratio=1e-3, **opts)
    lam = r["lambda"]
    assert lam[0] == pytest.approx(np.exp(2 * np.log(lam[1]) - np.log(lam[2])), rel=1e-15)
    assert lam[0] == pytest.approx(o.lambda_max(x, y, **opts), rel=1e-12)
    np.testing.assert_allclose(lam[1:] / lam[:-1], 1e-3 ** (1 / 49), rtol=1e-13)
    assert not r["beta"][:, 0].any() and np.count_nonzero(r["beta"][:, 1]) >= 1


@pytest.mark.parametrize("n, p, ratio", [(50, 50, 1e-4), (49, 50, 0.01)])
def test_default_lambda_min_ratio(n, p, ratio):
    rng = np.random.default_rng(n)
    x = rng.normal(size=(n, p))
    y = x[:, :3].sum(axis=1) + rng.normal(size=n)
    lam = elnet_path(x, y, nlambda=20)["lambda"]
    assert lam[2] / lam[1] == pytest.approx(ratio ** (1 / 19), rel=1e-14)


def test_increasing_user_lambda_is_returned_decreasing(diab):
    x, y = diab
    inc = elnet_path(x, y, user_lambda=np.array([0.5, 2.0, 10.0]))
    dec = elnet_path(x, y, user_lambda=np.array([10.0, 2.0, 0.5]))
    o.assert_identical(inc, dec)
    assert inc["lmu"] == 3
    np.testing.assert_allclose(inc["lambda"], [10.0, 2.0, 0.5], rtol=1e-15)


@pytest.mark.parametrize("intercept", [True, False])
def test_single_lambda_is_big_times_y_scale(diab, intercept):
    x, y = diab
    w = np.linspace(1.0, 2.0, len(y))
    r = elnet_path(x, y, nlambda=1, weights=w, intercept=intercept)
    ys = o.response_scale(y, o.normalized_weights(w, len(y)), intercept)
    assert r["lmu"] == 1 and r["warning"] is None
    assert r["lambda"][0] == pytest.approx(BIG * ys, rel=1e-14)
    assert not r["beta"].any()
    assert r["a0"][0] == pytest.approx(np.average(y, weights=w) if intercept else 0.0, rel=1e-14)


def test_no_lambda_gives_empty_path(diab):
    x, y = diab
    r = elnet_path(x, y, nlambda=0)
    assert r["lmu"] == 0 and r["npasses"] == 0 and r["warning"] is None
    assert r["beta"].shape == (10, 0) and r["lambda"].shape == r["a0"].shape == (0,)
    assert r["nulldev"] == pytest.approx(((y - y.mean()) ** 2).sum(), rel=1e-12)
    assert elnet_path(x, y, user_lambda=np.array([]))["lmu"] == 0


@pytest.mark.parametrize("dense", [True, False])
def test_pmax_zero_stops_at_second_value(diab, dense):
    x, y = diab
    r = elnet_path(x, y, pmax=0) if dense else sparse_fit(x, y, pmax=0)
    assert r["lmu"] == 1 and not r["beta"].any()
    assert r["warning"] == ("MaxActiveReached { lambda_index: 1 }", -10002)


@pytest.mark.parametrize("maxit", [3, 40, 200])
def test_pass_limit(diab, maxit):
    x, y = diab
    full = elnet_path(x, y, thresh=1e-12)
    r = elnet_path(x, y, thresh=1e-12, maxit=maxit)
    m = r["lmu"]
    assert r["warning"] == (f"MaxIterReached {{ lambda_index: {m} }}", -(m + 1))
    assert r["npasses"] > maxit and m < full["lmu"]
    for k in ("a0", "beta", "dev_ratio"):
        assert np.array_equal(r[k], full[k][..., :m])
    if m >= 3:
        assert np.array_equal(r["lambda"], full["lambda"][:m])


def test_excluded_and_constant_columns_stay_zero(diab):
    x, y = diab
    x = np.column_stack([x, np.full(len(y), 3.0)])
    r = elnet_path(x, y, exclude=np.array([1, 4], dtype=np.uint64), thresh=1e-10)
    assert r["dev_ratio"][-1] > 0.4
    assert not r["beta"][[1, 4, 10]].any()
    assert np.count_nonzero(r["beta"][:, -1]) == 8
    # an index past the last variable is ignored
    o.assert_identical(r, elnet_path(x, y, exclude=np.array([1, 4, 11], dtype=np.uint64), thresh=1e-10))


@pytest.mark.parametrize("dense", [True, False])
@pytest.mark.parametrize("intercept", [True, False])
def test_nulldev_and_dev_ratio(diab, dense, intercept):
    x, y = diab
    w = np.linspace(0.2, 1.0, len(y))
    r = (elnet_path if dense else sparse_fit)(x, y, weights=w, alpha=0.5, intercept=intercept, thresh=1e-14)
    assert r["lmu"] > 5 and (intercept or not r["a0"].any())
    # without an intercept the null deviance is the weighted sum of squares about 0
    nulldev = w @ (y - np.average(y, weights=w)) ** 2 if intercept else w @ y**2
    assert r["nulldev"] == pytest.approx(nulldev, rel=1e-12)
    for k in range(r["lmu"]):
        dev = o.deviance("gaussian", y, r["a0"][k], r["beta"][:, k], x, w)
        assert r["dev_ratio"][k] == pytest.approx(1 - dev / nulldev, abs=1e-10)


def test_dfmax_stops_path(diab):
    x, y = diab
    full = elnet_path(x, y)
    r = elnet_path(x, y, dfmax=3)
    m = r["lmu"]
    nnz = np.count_nonzero(full["beta"], axis=0)
    # stops at the first solution (from the fifth on) with more than 3 nonzero
    assert m == 1 + next(k for k in range(4, full["lmu"]) if nnz[k] > 3)
    assert r["warning"] is None
    for k in ("lambda", "a0", "beta", "dev_ratio"):
        assert np.array_equal(r[k], full[k][..., :m])
    # a caller's sequence is never cut short by dfmax
    lam = full["lambda"][1:30].copy()
    assert elnet_path(x, y, dfmax=1, user_lambda=lam)["lmu"] == len(lam)


# ---------------------------------------------------------------------------
# weights, degenerate inputs and errors


@pytest.mark.parametrize("dense", [True, False])
def test_negative_weights_count_as_zero(sparse_data, dense):
    x, y, w = sparse_data
    fit = elnet_path if dense else sparse_fit
    neg, zero = w.copy(), w.copy()
    neg[::7], zero[::7] = -3.0, 0.0
    r = fit(x, y, weights=neg)
    o.assert_identical(r, fit(x, y, weights=zero))
    assert r["nulldev"] == pytest.approx(o.null_deviance("gaussian", y, zero), rel=1e-12)


@pytest.mark.parametrize("dense", [True, False])
def test_column_varying_only_on_zero_weight_rows(sparse_data, dense):
    x, y, w = sparse_data
    x = x.copy()
    w = w.copy()
    w[:10] = 0.0
    x[:, 4] = 0.0
    x[:10, 4] = np.arange(1.0, 11.0)
    fit = elnet_path if dense else sparse_fit
    r = fit(x, y, weights=w)
    assert np.all(np.isfinite(r["beta"])) and not r["beta"][4].any()
    o.assert_identical(r, fit(x, y, weights=w, exclude=np.array([4], dtype=np.uint64)))


@pytest.mark.parametrize("dense", [True, False])
@pytest.mark.parametrize("case", ["constant", "zero-no-intercept", "varies-on-zero-weight"])
def test_constant_response_is_rejected(sparse_data, dense, case):
    x, y, w = sparse_data
    intercept = case != "zero-no-intercept"
    y = np.full(len(y), 0.0 if case == "zero-no-intercept" else 2.5)
    w = w.copy()
    if case == "varies-on-zero-weight":
        w[:3], y[:3] = 0.0, [1.0, 2.0, 3.0]
    fit = elnet_path if dense else sparse_fit
    with pytest.raises(ValueError, match="response is constant"):
        fit(x, y, weights=w, intercept=intercept)


@pytest.mark.parametrize("dense", [True, False])
def test_zero_weight_sum(sparse_data, dense):
    x, y, _ = sparse_data
    fit = elnet_path if dense else sparse_fit
    for w in (np.zeros(len(y)), -np.ones(len(y))):
        with pytest.raises(ValueError, match=re.escape("observation weights sum to <= 0 (jerr 9999)")):
            fit(x, y, weights=w)


EXCLUDED = "all predictors are constant or excluded (jerr 7777)"
PENALTIES = "all penalty factors are <= 0 (jerr 10000)"
LOWER = "lower limits should be non-positive"
UPPER = "upper limits should be non-negative"


@pytest.mark.parametrize("dense", [True, False])
@pytest.mark.parametrize("first", range(4))
def test_error_order(sparse_data, dense, first):
    x, y, _ = sparse_data
    p = x.shape[1]
    bad = [dict(exclude=np.arange(p, dtype=np.uint64)),
           dict(penalty_factor=np.r_[-1.0, np.zeros(p - 1)]),
           dict(lower_limits=np.r_[np.zeros(p - 1), 0.5]),
           dict(upper_limits=np.r_[np.ones(p - 1), -0.5])]
    kw = {k: v for d in bad[first:] for k, v in d.items()}
    fit = elnet_path if dense else sparse_fit
    with pytest.raises(ValueError) as e:
        fit(x, y, **kw)
    assert str(e.value) == [EXCLUDED, PENALTIES, LOWER, UPPER][first]
