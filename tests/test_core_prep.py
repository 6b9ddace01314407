"""Input preparation of the core: weighted standardization (three variants),
penalty factors, coefficient limits, observation weights (and the columns
that vary only on rows of weight 0), exclusions
(through varnel._test_core)."""
import math

import numpy as np
import pytest
import scipy.sparse as sp

from varnel import _test_core as tc

NAN, INF, BIG = math.nan, math.inf, 9.9e35
FLAGS = [(s, i) for s in (True, False) for i in (True, False)]
close = dict(rtol=1e-12, atol=1e-13)


def flat(x):
    return np.asarray(x, dtype=float).ravel(order="F").tolist()


def unflat(values, n):
    return np.array(values).reshape((n, -1), order="F")


def problem(seed, n=17, p=4):
    rng = np.random.default_rng(seed)
    x = rng.normal(1.5, 2.0, (n, p)) * rng.uniform(0.5, 4.0, p)
    x[rng.random((n, p)) < 0.3] = 0.0
    y = rng.normal(3.0, 2.0, n)
    w = rng.uniform(0.2, 1.0, n)
    return x, y, w / w.sum()


# ---- numpy references, vectorized (an order different from the core's) ---------

def ref_naive(x, y, w, std, icpt):
    s = np.sqrt(w)
    if icpt:
        m = w @ x
        xc = (x - m) * s[:, None]
        ss = (xc ** 2).sum(axis=0)
        scale = np.sqrt(ss) if std else np.ones(x.shape[1])
        sumsq = np.ones(x.shape[1]) if std else ss
        ym = w @ y
        yc = (y - ym) * s
    else:
        m = np.zeros(x.shape[1])
        xc = x * s[:, None]
        ss = (xc ** 2).sum(axis=0)
        mu = w @ x
        v = ss - mu ** 2
        scale = np.sqrt(v) if std else np.ones(x.shape[1])
        sumsq = mu ** 2 / v + 1 if std else ss
        ym = 0.0
        yc = y * s
    ys = np.sqrt((yc ** 2).sum())
    return dict(x=xc / scale, x_mean=m, x_scale=scale, x_sumsq=sumsq, y=yc / ys, y_mean=ym,
                y_scale=ys)


def ref_sparse(x, y, w, std, icpt):
    s1, s2 = w @ x, w @ x ** 2
    v = s2 - s1 ** 2
    scale = np.sqrt(v) if std else np.ones(x.shape[1])
    if icpt:
        ym = w @ y
        sumsq = np.ones(x.shape[1]) if std else v
        m = s1
    else:
        ym, m = 0.0, np.zeros(x.shape[1])
        sumsq = s1 ** 2 / v + 1 if std else s2
    ys = math.sqrt(w @ (y - ym) ** 2)
    return dict(x_mean=m, x_scale=scale, x_sumsq=sumsq, y=(y - ym) / ys, y_mean=ym, y_scale=ys)


def ref_lognet(x, w, std, icpt):
    m = w @ x if icpt else np.zeros(x.shape[1])
    if not std:
        return dict(x=x - m, x_mean=m, x_scale=np.ones(x.shape[1]))
    scale = np.sqrt(w @ (x - m) ** 2) if icpt else np.sqrt(w @ x ** 2 - (w @ x) ** 2)
    return dict(x=(x - m) / scale, x_mean=m, x_scale=scale)


def run(variant, x, y, w, include, std, icpt):
    """The core's result, with the dense output reshaped to n x p."""
    n, p = x.shape
    if variant == "naive":
        out = tc.standardize_naive(flat(x), n, p, y.tolist(), w.tolist(), include, std, icpt)
    elif variant == "sparse":
        a = sp.csc_matrix(x)
        out = tc.standardize_naive_sparse(a.indptr.tolist(), a.indices.tolist(), a.data.tolist(),
                                          y.tolist(), w.tolist(), include, std, icpt)
    else:
        out = tc.standardize_lognet(flat(x), n, p, w.tolist(), std, icpt, include)
    if "x" in out:
        out["x"] = unflat(out["x"], n)
    return out


REFERENCE = {
    "naive": ref_naive,
    "sparse": ref_sparse,
    "lognet": lambda x, y, w, std, icpt: ref_lognet(x, w, std, icpt),
}


VARIANTS = ["naive", "sparse", "lognet"]


@pytest.mark.parametrize("std, icpt", FLAGS)
@pytest.mark.parametrize("variant", VARIANTS)
def test_standardization_matches_the_reference(variant, std, icpt):
    x, y, w = problem(7)
    include = [1, 0, 1, 1]
    out = run(variant, x, y, w, include, std, icpt)
    ref = REFERENCE[variant](x, y, w, std, icpt)
    inc = [j for j in range(4) if include[j]]
    assert out["include"] == include
    for key in ("x_mean", "x_scale", "x_sumsq"):
        if key in out:
            np.testing.assert_allclose(np.array(out[key])[inc], ref[key][inc], **close)
    if "x" in out:
        np.testing.assert_allclose(out["x"][:, inc], ref["x"][:, inc], **close)
        assert out["x"][:, 1].tolist() == x[:, 1].tolist()  # skipped column untouched
    assert out["x_mean"][1] == 0.0
    if variant == "sparse" and std and icpt:
        assert out["x_sumsq"] == [1.0] * 4  # skipped entries included
    if variant == "naive" and icpt and not std:
        assert out["x_scale"] == [1.0] * 4
    if variant == "lognet":
        assert out["x_scale"][1] == 1.0
    else:
        np.testing.assert_allclose(out["y"], ref["y"], **close)
        assert out["y_mean"] == pytest.approx(ref["y_mean"], rel=1e-13, abs=0)
        assert out["y_scale"] == pytest.approx(ref["y_scale"], rel=1e-13)


@pytest.mark.parametrize("variant", VARIANTS)
def test_centred_scaled_columns_have_weighted_mean_0_and_unit_sum_of_squares(variant):
    x, y, w = problem(11)
    out = run(variant, x, y, w, [1] * 4, True, True)
    if variant == "naive":  # rows already carry sqrt(w)
        z, zw = out["x"], np.sqrt(w)
        np.testing.assert_allclose(zw @ z, 0.0, atol=1e-14)
        np.testing.assert_allclose((z ** 2).sum(axis=0), 1.0, rtol=1e-14)
        assert out["x_sumsq"] == [1.0] * 4
    else:
        z = out["x"] if variant == "lognet" else \
            (x - np.array(out["x_mean"])) / np.array(out["x_scale"])
        np.testing.assert_allclose(w @ z, 0.0, atol=1e-14)
        np.testing.assert_allclose(w @ z ** 2, 1.0, rtol=1e-14)


@pytest.mark.parametrize("variant", VARIANTS)
def test_without_intercept_scale_is_the_sd_about_the_weighted_mean(variant):
    x, y, w = problem(3)
    out = run(variant, x, y, w, [1] * 4, True, False)
    mean = w @ x
    sd = np.sqrt(w @ (x - mean) ** 2)
    np.testing.assert_allclose(out["x_scale"], sd, rtol=1e-12)
    assert out["x_mean"] == [0.0] * 4
    if variant != "lognet":
        np.testing.assert_allclose(out["x_sumsq"], 1 + mean ** 2 / sd ** 2, rtol=1e-12)
    if variant != "sparse":
        s = np.sqrt(w) if variant == "naive" else np.ones_like(w)
        np.testing.assert_allclose(out["x"], x * s[:, None] / sd, rtol=1e-12)


@pytest.mark.parametrize("variant", ["naive", "sparse"])
@pytest.mark.parametrize("icpt", [True, False])
def test_y_scale_with_equal_weights(variant, icpt):
    x, y, _ = problem(5, n=9)
    out = run(variant, x, y, np.full(9, 1 / 9), [1] * 4, True, icpt)
    expected = np.std(y) if icpt else math.sqrt(np.mean(y ** 2))
    assert out["y_scale"] == pytest.approx(expected, rel=1e-14)
    assert out["y_mean"] == (pytest.approx(np.mean(y), rel=1e-14) if icpt else 0.0)


def test_the_column_1_2_3_with_weights_one_third():
    w = [1 / 3] * 3
    lg = tc.standardize_lognet([1.0, 2.0, 3.0], 3, 1, w, True, True, [1])
    assert lg["x_mean"] == [2.0] and lg["x_scale"] == [0.816496580927726]
    assert lg["x"] == [-1.224744871391589, 0.0, 1.224744871391589]
    nv = tc.standardize_naive([1.0, 2.0, 3.0], 3, 1, [1.0, 2.0, 4.0], w, [1], True, True)
    assert nv["x_mean"] == [2.0] and nv["x_scale"] == [0.816496580927726]
    assert nv["x_sumsq"] == [1.0]
    assert nv["x"] == pytest.approx([-1 / math.sqrt(2), 0.0, 1 / math.sqrt(2)], rel=1e-15)
    # without intercept: s2 - s1^2 in observation order; agrees to rounding
    # with the sd about the mean (sqrt(2/3)), here a few ulps away from it
    lg = tc.standardize_lognet([1.0, 2.0, 3.0], 3, 1, w, True, False, [1])
    assert lg["x_mean"] == [0.0]
    assert lg["x_scale"][0] == pytest.approx(0.816496580927726, rel=1e-14)
    assert lg["x"] == pytest.approx([1.2247448713915887, 2.4494897427831774, 3.674234614174766],
                                    rel=1e-14)


@pytest.mark.parametrize("variant, std, icpt", [
    (v, s, i) for v in VARIANTS for s, i in FLAGS if s or (i and v != "lognet")])
def test_zero_weighted_variance_drops_the_column_without_dividing_by_0(variant, std, icpt):
    # column 0 varies only on the zero-weight row; weights 1/4 keep the
    # arithmetic exact, so the variance comes out exactly 0
    x = np.array([[5.0, 1.0], [5.0, 2.0], [5.0, 0.0], [5.0, 4.0], [7.0, 3.0]])
    w = np.array([0.25, 0.25, 0.25, 0.25, 0.0])
    y = np.array([1.0, 2.0, 0.5, 3.0, 9.0])
    out = run(variant, x, y, w, [1, 1], std, icpt)
    assert out["include"] == [0, 1]
    assert out["x_scale"][0] != 0.0 and math.isfinite(out["x_scale"][0])
    assert out["x_scale"][1] > 0.0
    for key in ("x", "y", "x_mean", "x_scale", "x_sumsq"):
        if key in out:
            assert np.all(np.isfinite(out[key])), key


# ---- penalty factors ---------------------------------------------------------------

def failure(call):
    with pytest.raises(tc.FitFailure) as info:
        call()
    return info.value.args


@pytest.mark.parametrize("given, expected", [
    (None, [1.0, 1.0, 1.0]),
    ([1.0, 3.0], [0.5, 1.5]),
    ([0.0, 2.0], [0.0, 2.0]),
    ([-1.0, 2.0], [0.0, 2.0]),
    ([NAN, 2.0], [0.0, 2.0]),          # a NaN factor leaves the variable unpenalized
    ([NAN, 1.0, 3.0], [0.0, 0.75, 2.25]),
    ([-INF, 4.0, 4.0], [0.0, 1.5, 1.5]),
])
def test_normalize_penalty_values(given, expected):
    out = tc.normalize_penalty(len(expected), given)
    assert out == expected and all(math.copysign(1.0, v) == 1.0 for v in out)


def test_normalize_penalty_multiplies_by_one_factor_from_an_in_order_sum():
    rng = np.random.default_rng(2)
    diffs = 0
    for _ in range(20):
        pf = (rng.uniform(0, 3, 7) * rng.integers(0, 2, 7)).tolist() + [0.1]
        total = -0.0
        for v in pf:
            total += v
        factor = len(pf) / total
        assert tc.normalize_penalty(len(pf), pf) == [v * factor for v in pf]
        diffs += [v * factor for v in pf] != [v / (total / len(pf)) for v in pf]
    assert diffs > 0  # dividing by the mean factor would round differently


@pytest.mark.parametrize("nvars, given", [
    (2, [0.0, 0.0]), (2, [-1.0, -0.5]), (2, [NAN, NAN]), (2, [-0.0, NAN]), (0, []), (0, None),
    (3, []),
])
def test_normalize_penalty_failures(nvars, given):
    assert failure(lambda: tc.normalize_penalty(nvars, given)) == (
        "NonPositivePenalties", "all penalty factors are <= 0 (jerr 10000)")


# ---- coefficient limits ------------------------------------------------------------

@pytest.mark.parametrize("lower, upper, expected_lower, expected_upper, dev_change", [
    (None, None, [-BIG] * 3, [BIG] * 3, 1e-5),
    ([-INF, -1.0, NAN], [INF, 2.0, NAN], [-BIG, -1.0, NAN], [BIG, 2.0, NAN], 1e-5),
    ([-1.0, 0.0, -2.0], None, [-1.0, 0.0, -2.0], [BIG] * 3, 0.0),
    ([-1.0, -0.0, -2.0], None, [-1.0, -0.0, -2.0], [BIG] * 3, 0.0),
    (None, [1.0, 2.0, 0.0], [-BIG] * 3, [1.0, 2.0, 0.0], 0.0),
    (None, [1.0, -0.0, 3.0], [-BIG] * 3, [1.0, -0.0, 3.0], 0.0),
])
def test_box_limits_values(lower, upper, expected_lower, expected_upper, dev_change):
    lo, up, mdc = tc.box_limits(3, lower, upper)
    np.testing.assert_array_equal(lo, expected_lower)
    np.testing.assert_array_equal(up, expected_upper)
    assert [math.copysign(1.0, v) for v in lo + up] == \
        [math.copysign(1.0, v) for v in expected_lower + expected_upper]
    assert mdc == dev_change


@pytest.mark.parametrize("lower, upper, variant", [
    ([0.5, -1.0], [-1.0, 1.0], "PositiveLowerLimit"),    # lower checked first
    ([INF, -1.0], None, "PositiveLowerLimit"),           # +inf becomes big, then fails
    ([-1.0, 1e-300], None, "PositiveLowerLimit"),
    ([-1.0, -1.0], [1.0, -1e-300], "NegativeUpperLimit"),
    (None, [-INF, 1.0], "NegativeUpperLimit"),
])
def test_box_limits_failures(lower, upper, variant):
    texts = dict(tc.fit_errors())
    assert failure(lambda: tc.box_limits(2, lower, upper)) == (variant, texts[variant])


# ---- weights and exclusions ------------------------------------------------------

def test_prepare_weights_clips_negatives_and_sums_in_order():
    raw, total, norm = tc.prepare_weights(4, [1e16, -3.0, 1.0, 1.0])
    assert raw == [1e16, 0.0, 1.0, 1.0]
    assert total == 1e16 != math.fsum(raw)  # each +1 is lost in index order
    assert norm == [v / 1e16 for v in raw]
    assert tc.prepare_weights(3) == ([1.0] * 3, 3.0, [1 / 3] * 3)


@pytest.mark.parametrize("weights", [[0.0, 0.0], [-1.0, -2.0], [-1.0, 0.0], [NAN, 1.0]])
def test_prepare_weights_non_positive_sum(weights):
    assert failure(lambda: tc.prepare_weights(2, weights)) == (
        "NonPositiveWeightSum", "observation weights sum to <= 0 (jerr 9999)")


# columns that vary only on rows of weight 0 count as constant
W = [0.25, 0.25, 0.0, 0.5]


@pytest.mark.parametrize("column, include, flag", [
    ([1.0, 1.0, 9.0, 1.0], 1, 0),    # varies only on the zero-weight row
    ([1.0, 2.0, 9.0, 1.0], 1, 1),
    ([NAN, 1.0, 1.0, 1.0], 1, 1),
    ([1.0, 2.0, 9.0, 1.0], 0, 0),    # a cleared flag is never set
])
def test_clear_weighted_constants_dense(column, include, flag):
    assert tc.clear_weighted_constants([3.0, 4.0, 5.0, 6.0] + column, 4, 2, W, [1, include]) \
        == [1, flag]


@pytest.mark.parametrize("rows, stored, flag", [
    ([2], [9.0], 0),                          # only nonzero on the zero-weight row
    ([0, 1, 3], [2.0, 2.0, 2.0], 0),          # constant on every weighted row
    ([0, 1, 2, 3], [2.0, 2.0, 9.0, 2.0], 0),
    ([0, 1, 2], [2.0, 2.0, 2.0], 1),          # implicit zero on weighted row 3
    ([0, 3], [0.0, 0.0], 0),
    ([0, 1, 3], [2.0, 2.0, 2.5], 1),
])
def test_clear_weighted_constants_sparse(rows, stored, flag):
    col_ptr = [0, 2, 2 + len(rows)]
    out = tc.clear_weighted_constants_sparse(col_ptr, [0, 1] + rows, [1.0, 2.0] + stored, W, [1, 1])
    assert out == [1, flag]


@pytest.mark.parametrize("include, exclude, expected, any_left", [
    ([1, 1, 0], [], [1, 1, 0], True),
    ([1, 1, 0], [3, 99], [1, 1, 0], True),    # indices >= nvars are ignored
    ([1, 1, 1], [0, 0, 2], [0, 1, 0], True),
    ([1, 0, 1], [2, 0], [0, 0, 0], False),
])
def test_apply_exclude(include, exclude, expected, any_left):
    assert tc.apply_exclude(include, exclude) == (expected, any_left)


@pytest.mark.parametrize("call", [
    lambda: tc.normalize_penalty(3, [1.0, 2.0]),
    lambda: tc.box_limits(3, [-1.0], None),
    lambda: tc.box_limits(2, None, [1.0, 1.0, 1.0]),
    lambda: tc.prepare_weights(3, [1.0, 1.0]),
    lambda: tc.standardize_naive([1.0, 2.0], 2, 1, [1.0], [0.5, 0.5], [1], True, True),
    lambda: tc.standardize_naive([1.0, 2.0], 2, 1, [1.0, 2.0], [1.0], [1], True, True),
    lambda: tc.standardize_naive([1.0, 2.0], 2, 1, [1.0, 2.0], [0.5, 0.5], [1, 1], True, True),
    lambda: tc.standardize_lognet([1.0, 2.0], 2, 1, [0.5, 0.5], True, True, []),
    lambda: tc.standardize_naive_sparse([0, 2], [0, 5], [1.0, 2.0], [1.0, 2.0], [0.5, 0.5], [1],
                                        True, True),
    lambda: tc.standardize_naive_sparse([0, 3], [0, 1], [1.0, 2.0], [1.0, 2.0], [0.5, 0.5], [1],
                                        True, True),
    lambda: tc.standardize_naive_sparse([], [], [], [1.0], [1.0], [], True, True),
])
def test_precondition_violations_raise_value_error(call):
    with pytest.raises(ValueError):
        call()
