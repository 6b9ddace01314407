"""Inputs whose handling is the implementation's own decision, pinned down
for every family and both entry points where the other test files cover
only some of them: empty and one-row samples, option vectors of the wrong
length, unusable penalty sequences and non-finite data in the logistic and
Poisson families, the largest counts, and responses with nothing to fit."""
import os

import numpy as np
import pytest
import scipy.sparse as sp

from varnel import _core

RNG = np.random.default_rng(5)
N, P = 24, 4
X = RNG.normal(size=(N, P))
Y = {"gaussian": X[:, 0] - X[:, 1] + RNG.normal(size=N),
     "binomial": (X[:, 0] + RNG.normal(size=N) > 0).astype(float),
     "poisson": RNG.poisson(np.exp(0.5 * X[:, 0])).astype(float)}
FAMILIES = list(Y)
EXCLUDED = "all predictors are constant or excluded (jerr 7777)"
U64 = 2**64 - 1
# ASan's operator new reports an impossible allocation and aborts instead of
# throwing std::bad_alloc; only requests beyond std::vector's max_size (a
# std::length_error, also a MemoryError) can be made under it.
def _asan_loaded():
    if not os.path.exists("/proc/self/maps"):
        return False
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


ASAN = _asan_loaded()


def dense(family, x=X, y=None, **kwargs):
    return _core.elnet_path(x, Y[family] if y is None else y, family=family, **kwargs)


def sparse(x=X, y=None, **kwargs):
    m = sp.csc_matrix(x)
    return _core.elnet_sparse(x.shape[0], x.shape[1], m.indptr, m.indices, m.data,
                              Y["gaussian"] if y is None else y, **kwargs)


def fits():
    """(label, call) for every family of the dense entry and for the sparse one."""
    return [(f, lambda f=f, **kw: dense(f, **kw)) for f in FAMILIES] + [("sparse", sparse)]


def fit_error(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


# ---- empty and one-row samples ----------------------------------------------------


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("shape", [(0, 0), (3, 0), (1, 3)])
def test_no_columns_or_one_row_leaves_nothing_to_fit(family, shape):
    """No column, or a single row (every column constant): all predictors are constant."""
    y = np.full(shape[0], 0.5 if family == "binomial" else 1.0)
    if shape[0] > 1:
        y[0] = 0.0
    assert fit_error(lambda: dense(family, np.ones(shape), y)) == EXCLUDED
    if family == "gaussian":
        assert fit_error(lambda: sparse(np.ones(shape), y)) == EXCLUDED


@pytest.mark.parametrize("family", FAMILIES)
def test_rows_are_needed_for_columns_in_every_family(family):
    assert fit_error(lambda: dense(family, np.zeros((0, 2)), np.zeros(0))).startswith("x has no rows but 2 columns")


# ---- option checks made before any fitting, in every family ----------------------


@pytest.mark.parametrize("name", ["penalty_factor", "lower_limits", "upper_limits", "weights"])
@pytest.mark.parametrize("label, fit", fits())
def test_option_vectors_of_the_wrong_length(label, fit, name):
    length = N + 1 if name == "weights" else P - 1
    text = fit_error(lambda: fit(**{name: np.zeros(length)}))
    assert text.startswith(f"{name} has {length} entries but ")


@pytest.mark.parametrize("label, fit", fits())
def test_unusable_penalty_sequences(label, fit):
    assert fit_error(lambda: fit(lambda_min_ratio=1.0)).startswith("lambda_min_ratio must be less than 1")
    assert fit_error(lambda: fit(lambda_min_ratio=float("nan"))).startswith("lambda_min_ratio must be less than 1")
    for bad in (np.nan, np.inf, -1.0):
        assert fit_error(lambda: fit(user_lambda=[0.5, bad])).startswith("user_lambda must hold finite")
    # Without values to walk the path is empty, not an error.
    for kwargs in (dict(nlambda=0), dict(user_lambda=[])):
        r = fit(**kwargs)
        assert r["lmu"] == 0 and r["beta"].shape == (P, 0) and r["warning"] is None


@pytest.mark.parametrize("label, fit", fits())
def test_non_finite_data_in_every_family(label, fit):
    x = X.copy()
    x[2, 1] = np.inf
    y = Y["gaussian" if label == "sparse" else label].copy()
    y[3] = np.nan
    w = np.ones(N)
    w[4] = -np.inf
    assert fit_error(lambda: fit(x=x)).startswith("values must be finite" if label == "sparse" else "x must be finite")
    assert fit_error(lambda: fit(y=y)).startswith("y must be finite")
    assert fit_error(lambda: fit(weights=w)).startswith("weights must be finite")


# ---- counts at the limits of their range -------------------------------------------


@pytest.mark.parametrize("label, fit", fits())
def test_largest_counts_are_accepted(label, fit):
    ref = fit(nlambda=20)
    r = fit(nlambda=20, maxit=U64, dfmax=U64, pmax=U64, exclude=[U64, P])
    for key in ("lambda", "a0", "beta", "dev_ratio"):
        assert np.array_equal(r[key], ref[key]), key
    for value in (2**64, -1):
        with pytest.raises(OverflowError):
            fit(maxit=value)


@pytest.mark.parametrize("label, fit", fits())
def test_penalty_sequence_too_long_to_store_is_memory_error(label, fit):
    for nlambda in ((2**61, U64) if ASAN else (2**50, 2**61, U64)):  # beyond any address space
        with pytest.raises(MemoryError):
            fit(nlambda=nlambda)


@pytest.mark.skipif(ASAN, reason="ASan aborts on an impossible allocation instead of throwing")
def test_matrix_too_large_to_copy_is_memory_error():
    huge = np.broadcast_to(1.0, (2**28, 2**31))  # 2**59 values, no memory behind them
    with pytest.raises(MemoryError):
        _core.elnet_path(huge, np.zeros(3))


# ---- responses with nothing to fit ------------------------------------------------------


@pytest.mark.parametrize("label, fit", fits())
def test_constant_response_with_intercept(label, fit):
    value = 0.5 if label == "binomial" else 2.0
    w = np.ones(N)
    w[0] = 0.0
    y = np.full(N, value)
    y[0] = 0.0  # varies only on a row of weight 0
    assert "response is constant" in fit_error(lambda: fit(y=np.full(N, value)))
    assert "response is constant" in fit_error(lambda: fit(y=y, weights=w))


def test_all_zero_response_without_intercept():
    """Gaussian: nothing to fit.  Poisson: a fit towards mean 0 (its null model has mean 1)."""
    assert "response is constant at 0" in fit_error(lambda: dense("gaussian", y=np.zeros(N), intercept=False))
    assert "response is constant at 0" in fit_error(lambda: sparse(y=np.zeros(N), intercept=False))
    r = dense("poisson", y=np.zeros(N), intercept=False)
    assert r["lmu"] > 1 and r["nulldev"] == 2.0 * N and np.all(np.isfinite(r["beta"]))


@pytest.mark.parametrize("label, fit", fits())
def test_weights_that_sum_to_zero_after_mending(label, fit):
    w = -np.ones(N)
    w[5] = 0.0
    assert fit_error(lambda: fit(weights=w)) == "observation weights sum to <= 0 (jerr 9999)"


# ---- a null model that no penalty value can improve ---------------------------------
# Every gradient of the null model is exactly 0 (here y is orthogonal to the
# centred column; for the logistic family without intercept, y = 0.5).  The
# generated sequence then holds only zeros; its first value must not be
# extrapolated from them (the logarithm of 0 would make it NaN).

NULL_X = np.array([[1.0], [-1.0], [0.0], [0.0]])  # centred: x . y = 1 - 1 = 0 exactly
NULL_Y = np.array([1.0, 1.0, 0.0, 2.0])


@pytest.mark.parametrize("case", ["dense", "sparse", "logistic-no-intercept"])
def test_zero_null_gradient_gives_finite_penalty_values(case):
    if case == "dense":
        call = lambda: _core.elnet_path(NULL_X, NULL_Y, nlambda=5)  # noqa: E731
    elif case == "sparse":
        call = lambda: sparse(NULL_X, NULL_Y, nlambda=5)  # noqa: E731
    else:
        x = np.random.default_rng(0).normal(size=(200, 20))
        call = lambda: _core.elnet_path(x, np.full(200, 0.5), family="binomial", intercept=False)  # noqa: E731
    try:
        r = call()
    except ValueError:
        return
    assert np.all(np.isfinite(r["lambda"])), r["lambda"]


# ---- tiny positive penalty factors -----------------------------------------------------
# The largest penalty value is max |gradient_j| / factor_j; a factor near the
# smallest doubles would make it overflow or exceed the stand-in for infinity
# that opens the sequence.  The sequence stays finite and decreasing.


@pytest.mark.parametrize("factors, nlambda", [([0.0, 5e-324, 1.0, 1.0], 3), ([0.0, 0.0, 1.0, 3e-215], 2)])
def test_tiny_penalty_factors_give_a_finite_decreasing_sequence(factors, nlambda):
    lam = dense("gaussian", penalty_factor=factors, nlambda=nlambda)["lambda"]
    assert np.all(np.isfinite(lam)) and np.all(np.diff(lam) < 0), lam
