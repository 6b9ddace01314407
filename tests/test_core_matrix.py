"""Design-matrix kernels of the core: summation orders, sparse/dense agreement,
constant-column rules and CSC validation (through varnel._test_core)."""
import math

import numpy as np
import pytest
import scipy.sparse as sp

from varnel import _test_core as tc


# ---- reference summation orders, written out as plain loops -----------------

def four_way(terms, combine):
    """Four interleaved partial sums over full groups of four, combined by
    `combine`, then the tail added one term at a time."""
    n = len(terms)
    n4 = n - n % 4
    s = [0.0, 0.0, 0.0, 0.0]
    for i in range(0, n4, 4):
        for k in range(4):
            s[k] += terms[i + k]
    total = combine(*s)
    for i in range(n4, n):
        total += terms[i]
    return total


def documented(s0, s1, s2, s3):
    return (s3 + s2) + (s0 + s1)


def in_order(terms):
    total = 0.0
    for t in terms:
        total += t
    return total


def prod(a, b):
    return [x * y for x, y in zip(a, b)]


def prod3(a, b, c):
    return [(x * y) * z for x, y, z in zip(a, b, c)]


# Summation orders the kernels must NOT follow; each must round differently
# from the documented one on some of the inputs used below.
ALTERNATIVES = {
    "left to right": in_order,
    "pairs (s0+s2)+(s1+s3)": lambda t: four_way(t, lambda a, b, c, d: (a + c) + (b + d)),
    "partials in sequence": lambda t: four_way(t, lambda a, b, c, d: ((a + b) + c) + d),
    "tail into partials": lambda t: documented(*[in_order(t[k::4]) for k in range(4)]),
    "tail summed first": lambda t: four_way(t[: len(t) - len(t) % 4], documented)
    + in_order(t[len(t) - len(t) % 4:]),
    "numpy sum": lambda t: float(np.sum(np.array(t))),
    "fsum": math.fsum,
}


def wide_range(rng, n):
    """Values of both signs over a few binades: sums cancel and every
    grouping rounds its own way."""
    return (rng.standard_normal(n) * 2.0 ** rng.integers(-3, 4, n)).tolist()


SIZES = list(range(10)) + [13, 64, 1001]
CASES = [(n, seed) for n in SIZES for seed in range(6)]


def case(n, seed):
    rng = np.random.default_rng(1000 * n + seed)
    return wide_range(rng, n), wide_range(rng, n), wide_range(rng, n)


@pytest.mark.parametrize("n", SIZES)
def test_kernels_follow_the_documented_order_bit_for_bit(n):
    for seed in range(6):
        a, b, c = case(n, seed)
        ref = four_way(prod(a, b), documented)
        assert tc.dot4(a, b) == ref
        # Dense::dot and Dense::grad read column 1 of a 3-column matrix
        data = [0.5] * n + a + [-2.0] * n
        assert tc.dense_dot(data, n, 3, 1, b) == ref
        assert tc.dense_grad(data, n, 3, 1, b, 123.0) == ref  # shift is ignored
        # wdot4 and DenseGlm::weighted_sumsq: terms (a*b)*c
        wref = four_way(prod3(a, b, c), documented)
        assert tc.wdot4(a, b, c) == wref
        assert tc.weighted_sumsq(data, n, 3, 1, c) == four_way(prod3(c, a, a), documented)
        if n < 4:
            assert ref == in_order(prod(a, b)) and wref == in_order(prod3(a, b, c))


@pytest.mark.parametrize("name", sorted(ALTERNATIVES) + ["a * (b * c)"])
def test_inputs_tell_the_documented_order_from_others(name):
    # Without this the bit-for-bit test above could pass for the wrong order.
    if name == "a * (b * c)":
        assert any(tc.wdot4(*case(n, s)) != four_way(
            [x * (y * z) for x, y, z in zip(*case(n, s))], documented) for n, s in CASES)
        return
    terms = [prod(a, b) for a, b, _ in (case(n, s) for n, s in CASES if n >= 5)]
    assert any(ALTERNATIVES[name](t) != four_way(t, documented) for t in terms)


@pytest.mark.parametrize("kernel", ["dot4", "wdot4"])
def test_pairing_of_partial_sums_and_tail_order(kernel):
    def run(b):
        ones = [1.0] * len(b)
        return tc.dot4(ones, b) if kernel == "dot4" else tc.wdot4(ones, b, ones)

    # s3 + s2 = -1e16 + 1 rounds to -1e16, s0 + s1 to 1e16: the total is 0,
    # where left to right gives 1 and the exact sum 2.
    b = [1e16, 1.0, -1e16, 1.0]
    assert run(b) == 0.0 and in_order(b) == 1.0 and math.fsum(b) == 2.0
    # tail terms added one by one after the combination: each +1 is lost
    b = [1e16, 0.0, 0.0, 0.0, 1.0, 1.0]
    assert run(b) == 1e16 and 1e16 + (1.0 + 1.0) != 1e16
    # ... and not into the partial sums (that would give 1)
    assert run([0.0, 0.0, 0.0, 1.0, 1e16, -1e16]) == 0.0
    # fewer than four terms: plain sum in increasing index order
    assert run([1.0, 1e16, -1e16]) == 0.0 and in_order([-1e16, 1e16, 1.0]) == 1.0


def test_empty_sums_are_positive_zero_and_wdot4_reads_len_b_terms():
    for value in (tc.dot4([], []), tc.wdot4([], [], []), tc.dense_dot([], 0, 2, 1, [])):
        assert value == 0.0 and math.copysign(1.0, value) == 1.0
    assert tc.wdot4([2.0, 3.0, 99.0], [1.0, 1.0], [5.0, 7.0, 99.0]) == 31.0


def test_dense_update_residual_and_linear_predictor_in_order():
    rng = np.random.default_rng(5)
    n = 11
    data = wide_range(rng, 3 * n)
    r = wide_range(rng, n)
    out, shift = tc.dense_update_residual(data, n, 3, 2, -0.3711, r, 0.25)
    assert out == [ri - x * -0.3711 for ri, x in zip(r, data[2 * n:])] and shift == 0.25
    # eta = intercept + (((0 + b2 x2) + b0 x0) + b1 x1), in active-list order
    coef, active = [1.5, -2.25, 0.7], [2, 0, 1]

    def eta(order):
        e = [0.0] * n
        for k in order:
            e = [ei + coef[k] * x for ei, x in zip(e, data[k * n:(k + 1) * n])]
        return [-0.5 + ei for ei in e]

    assert tc.linear_predictor(data, n, 3, coef, active, -0.5) == eta(active)
    assert eta(active) != eta([0, 1, 2])  # the order is visible in the result


@pytest.mark.parametrize("n", [3, 9, 1001])
def test_batched_glm_kernels_equal_the_column_by_column_ones(n):
    # Four columns per sweep must not change a bit: the linear predictor over
    # six active columns (a group of four, then two) and the weighted sums of
    # squares of the flagged columns.
    rng = np.random.default_rng(n)
    p = 7
    data = wide_range(rng, p * n)
    coef = rng.normal(size=p).tolist()
    active = [5, 0, 3, 6, 1, 2]
    e = [0.0] * n
    for k in active:
        e = [ei + coef[k] * x for ei, x in zip(e, data[k * n:(k + 1) * n])]
    assert tc.linear_predictor(data, n, p, coef, active, 0.25) == [0.25 + ei for ei in e]
    v = rng.uniform(0.0, 2.0, n).tolist()
    flags = [1, 0, 1, 1, 1, 0, 1]
    out = tc.weighted_sumsq_flagged(data, n, p, flags, v)
    assert out == [tc.weighted_sumsq(data, n, p, j, v) if f else -1.0 for j, f in enumerate(flags)]


def test_sub_weighted_scaled_multiplies_weight_and_delta_first():
    r, w, x = case(1001, 3)
    out = tc.sub_weighted_scaled(r, w, x, 0.713)
    assert out == [ri - (wi * 0.713) * xi for ri, wi, xi in zip(r, w, x)]
    assert out != [ri - wi * (0.713 * xi) for ri, wi, xi in zip(r, w, x)]


def fused(name, *args):
    try:
        return getattr(tc, name)(*args)
    except NotImplementedError:
        pytest.skip(f"{name} is not built")


@pytest.mark.parametrize("n", SIZES)
def test_fused_dense_kernels_equal_the_separate_ones_bit_for_bit(n):
    cols = [x for s in range(2) for x in case(n, s)[:3]][:5]
    data = [v for col in cols for v in col]
    r = wide_range(np.random.default_rng(n), n)
    for js in ([0, 1, 2, 3], [4, 2, 0, 1], [3], [1, 4], [0, 1, 2]):
        expected = [four_way(prod(cols[j], r), documented) for j in js]
        assert fused("dense_grad_batch", data, n, 5, js, r, 0.5) == expected
    for j, k in ((0, 1), (2, 2), (4, 0)):
        r1, shift = tc.dense_update_residual(data, n, 5, j, -1.25, r, 0.5)
        expected = (r1, shift, tc.dense_grad(data, n, 5, k, r1, shift))
        assert fused("dense_update_then_grad", data, n, 5, j, -1.25, r, 0.5, k) == expected


@pytest.mark.parametrize("seed", range(3))
def test_fused_sparse_kernels_equal_the_separate_ones(seed):
    rng = np.random.default_rng(seed)
    a = random_csc(rng, 15, 5)
    w = rng.uniform(0.1, 1.0, 15)
    args = (a.indptr.tolist(), a.indices.tolist(), a.data.tolist(), (w / w.sum()).tolist(),
            rng.normal(size=5).tolist(), rng.uniform(0.5, 2.0, 5).tolist(), 15, 5)
    r = rng.normal(size=15).tolist()
    js = [4, 0, 2, 1]
    assert fused("sparse_grad_batch", *args, js, r, 0.3) == \
        [tc.sparse_grad(*args, j, r, 0.3) for j in js]
    for j, k in ((0, 4), (3, 3), (4, 1)):
        r1, shift = tc.sparse_update_residual(*args, j, 0.8, r, 0.3)
        expected = (r1, shift, tc.sparse_grad(*args, k, r1, shift))
        assert fused("sparse_update_then_grad", *args, j, 0.8, r, 0.3, k) == expected


# ---- Sparse against an explicitly centred, scaled and weighted dense matrix ----

def random_csc(rng, n, p):
    a = sp.random(n, p, density=0.4, format="csc", random_state=rng,
                  data_rvs=lambda k: rng.normal(2.0, 3.0, k))
    a = a.tolil()
    a[:, 0] = 0.0  # a column without stored entries
    a[:, p - 1] = rng.normal(size=(n, 1))  # a fully stored column
    a = a.tocsc()
    a.sort_indices()
    return a


@pytest.mark.parametrize("centre", [True, False])
@pytest.mark.parametrize("seed", range(4))
def test_sparse_grad_and_update_match_the_dense_reference(centre, seed):
    rng = np.random.default_rng(seed)
    n, p = 23, 6
    a = random_csc(rng, n, p)
    x = a.toarray()
    w = rng.uniform(0.1, 2.0, n)
    w[rng.integers(n)] = 0.0
    w /= w.sum()
    mean = w @ x if centre else np.zeros(p)
    scale = rng.uniform(0.5, 3.0, p)
    z = (x - mean) / scale
    shift = float(rng.normal())
    r = rng.normal(size=n)
    if centre:
        # the identity behind skipping the centring term needs a residual of
        # weighted mean 0, as the solver keeps it with an intercept
        r -= w @ (r + shift)
    args = (a.indptr.tolist(), a.indices.tolist(), a.data.tolist(), w.tolist(), mean.tolist(),
            scale.tolist(), n, p)
    for j in range(p):
        g = tc.sparse_grad(*args, j, r.tolist(), shift)
        terms = w * z[:, j] * (r + shift)
        assert abs(g - terms.sum()) <= 1e-13 * (np.abs(terms).sum() + 1e-300)
        # bit for bit: stored entries only, in storage order, then / scale; a
        # column that stores every row is held centred
        full = a.indptr[j + 1] - a.indptr[j] == n and mean[j] != 0.0
        vals = a.data.copy()
        centre_j = 0.0 if full else mean[j]
        if full:  # centred, then centred again by the weighted mean left
            ks = range(a.indptr[j], a.indptr[j + 1])
            drift, total = 0.0, 0.0
            for wi in w:
                total += wi
            for k in ks:
                vals[k] = a.data[k] - mean[j]
                drift += w[a.indices[k]] * vals[k]
            for k in ks:
                vals[k] = vals[k] - drift / total
        acc = 0.0
        for k in range(a.indptr[j], a.indptr[j + 1]):
            i = a.indices[k]
            acc += (r[i] + shift) * (vals[k] * w[i])
        assert g == acc / scale[j]

        delta = float(rng.normal())
        new_r, new_shift = tc.sparse_update_residual(*args, j, delta, r.tolist(), shift)
        expected = (r + shift) - delta * z[:, j]
        np.testing.assert_allclose(np.array(new_r) + new_shift, expected, rtol=0, atol=1e-13)
        d = delta / scale[j]
        exact = list(r)  # rows without a stored entry keep their residual
        for k in range(a.indptr[j], a.indptr[j + 1]):
            exact[a.indices[k]] = r[a.indices[k]] - vals[k] * d
        assert new_r == exact and new_shift == d * centre_j + shift


def test_sparse_grad_is_zero_where_the_shifted_residual_vanishes():
    r = [1.0, -0.37, 2.0, -0.37, 4.0]
    for x_mean in (0.0, 5.0, -1e3):
        assert tc.sparse_grad([0, 2], [1, 3], [3.0, -7.5], [0.2] * 5, [x_mean], [0.9], 5, 1, 0,
                              r, 0.37) == 0.0


def test_sparse_update_with_zero_mean_leaves_shift_unchanged():
    r, shift = tc.sparse_update_residual([0, 2], [1, 3], [3.0, -7.5], [0.2] * 5, [0.0], [0.5],
                                         5, 1, 0, 2.5, [1.0] * 5, 0.37)
    assert shift == 0.37 and r == [1.0, 1.0 - 15.0, 1.0, 1.0 + 37.5, 1.0]


# ---- CSC validation --------------------------------------------------------------

@pytest.mark.parametrize("col_ptr, row_idx, nvalues, nrows, ncols, words", [
    ([0, 2, 3], [0, 2, 1], 3, 3, 2, None),
    ([0], [], 0, 0, 0, None),
    ([0, 1, 2], [1, 1], 2, 2, 2, None),               # one row in two columns
    ([0, 2], [0, 2], 2, 3, 2, ["col_ptr", "3"]),      # p + 1 entries needed
    ([0, 1, 2], [0, 1], 3, 2, 2, ["row_idx", "values"]),
    ([0, 1, 4], [0, 1], 2, 2, 2, ["col_ptr[2]", "exceeds"]),
    ([0, 2, 1], [0, 1], 2, 2, 2, ["decreases", "2"]),
    ([0, 1, 2], [0, 5], 2, 3, 2, ["row_idx[1]", "5"]),
    ([0, 2], [1, 1], 2, 3, 1, ["row 1", "twice"]),
])
def test_csc_problem_names_each_malformation(col_ptr, row_idx, nvalues, nrows, ncols, words):
    problem = tc.csc_problem(col_ptr, row_idx, nvalues, nrows, ncols)
    if words is None:
        assert problem is None
    else:
        assert problem is not None and all(word in problem for word in words)


def test_sparse_matrix_refuses_malformed_arrays():
    good = ([0, 1], [0], [1.0], [0.5, 0.5], [0.0], [1.0], 2, 1)
    assert tc.sparse_grad(*good, 0, [2.0, 3.0], 0.0) == 1.0
    bad_row = ([0, 1], [2], [1.0], [0.5, 0.5], [0.0], [1.0], 2, 1)
    short_w = ([0, 1], [0], [1.0], [1.0], [0.0], [1.0], 2, 1)
    short_mean = ([0, 1], [0], [1.0], [0.5, 0.5], [], [1.0], 2, 1)
    for args in (bad_row, short_w, short_mean):
        with pytest.raises(ValueError):
            tc.sparse_grad(*args, 0, [2.0, 3.0], 0.0)


# ---- constant columns -----------------------------------------------------------

NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("column, flag", [
    ([1.0, 1.0, 1.0], 0), ([1.0, 1.0, 2.0], 1), ([NAN, 1.0], 1), ([NAN, NAN], 1),
    ([1.0, NAN, 1.0], 1), ([0.0, -0.0], 0), ([INF, INF], 0), ([0.0], 0), ([7.5], 0),
])
def test_chkvars_rule(column, flag):
    n = len(column)
    # the column sits between a constant and a varying one
    data = [2.0] * n + column + [float(i) for i in range(n)]
    assert tc.chkvars(data, n, 3) == [0, flag, 1 if n > 1 else 0]


def test_chkvars_edges():
    assert tc.chkvars([], 0, 0) == [] and tc.chkvars([], 5, 0) == []
    assert tc.chkvars([0.0, 0.0, 0.0], 1, 3) == [0, 0, 0]  # one row: all constant
    with pytest.raises(ValueError):
        tc.chkvars([], 0, 1)  # no first element to compare with


@pytest.mark.parametrize("stored, nrows, flag", [
    ([], 3, 0), ([0.0, -0.0], 3, 0), ([3.0], 3, 1), ([NAN], 3, 1), ([0.0, 2.0], 3, 1),
    ([3.0, 3.0, 3.0], 3, 0), ([3.0, 3.0, 4.0], 3, 1), ([3.0, NAN, 3.0], 3, 1),
    ([NAN, NAN, NAN], 3, 1), ([0.0, 0.0], 2, 0), ([3.0], 1, 0), ([NAN], 1, 0),
])
def test_chkvars_sparse_rule(stored, nrows, flag):
    col_ptr = [0, 1, 1 + len(stored)]
    assert tc.chkvars_sparse(col_ptr, [5.0] + stored, nrows) == [1 if nrows > 1 else 0, flag]


@pytest.mark.parametrize("seed", range(5))
def test_sparse_rules_agree_with_the_dense_rules(seed):
    rng = np.random.default_rng(seed)
    n, p = 6, 12
    a = sp.random(n, p, density=0.6, format="csc", random_state=rng,
                  data_rvs=lambda k: rng.integers(0, 3, k).astype(float))  # stored zeros too
    cp, ri, vals = a.indptr.tolist(), a.indices.tolist(), a.data.tolist()
    dense = a.toarray().ravel(order="F").tolist()
    flags = tc.chkvars(dense, n, p)
    assert tc.chkvars_sparse(cp, vals, n) == flags
    for _ in range(4):
        w = rng.integers(0, 2, n) * rng.uniform(0.5, 1.0, n)
        assert (tc.clear_weighted_constants_sparse(cp, ri, vals, w.tolist(), flags)
                == tc.clear_weighted_constants(dense, n, p, w.tolist(), flags))


# ---- precondition violations raise ValueError, never abort ---------------------

@pytest.mark.parametrize("call", [
    lambda: tc.dot4([1.0, 2.0], [1.0]),
    lambda: tc.wdot4([1.0], [1.0, 2.0], [1.0, 2.0]),
    lambda: tc.wdot4([1.0, 2.0], [1.0, 2.0], [1.0]),
    lambda: tc.dense_dot([1.0, 2.0], 2, 1, 0, [1.0]),
    lambda: tc.dense_dot([1.0, 2.0], 2, 1, 1, [1.0, 1.0]),
    lambda: tc.dense_dot([1.0, 2.0, 3.0], 2, 1, 0, [1.0, 1.0]),
    lambda: tc.dense_update_residual([1.0, 2.0], 2, 1, 0, 1.0, [1.0], 0.0),
    lambda: tc.weighted_sumsq([1.0, 2.0], 2, 1, 0, [1.0]),
    lambda: tc.linear_predictor([1.0, 2.0], 2, 1, [1.0, 1.0], [1], 0.0),
    lambda: tc.sparse_grad([0, 1], [0], [1.0], [1.0, 0.0], [0.0], [1.0], 2, 1, 1, [1.0, 1.0], 0.0),
    lambda: tc.sparse_grad([0, 1], [0], [1.0], [1.0, 0.0], [0.0], [1.0], 2, 1, 0, [1.0], 0.0),
    lambda: tc.sparse_update_residual([0, 1], [1], [1.0], [1.0, 0.0], [0.0], [1.0], 2, 1, 0,
                                      1.0, [1.0], 0.0),
    lambda: tc.sub_weighted_scaled([1.0, 2.0], [1.0], [1.0, 2.0], 1.0),
    lambda: tc.chkvars_sparse([], [], 3),
    lambda: tc.chkvars_sparse([0, 4], [1.0], 3),
    lambda: tc.clear_weighted_constants([1.0, 2.0], 2, 1, [1.0], [1]),
    lambda: tc.clear_weighted_constants([1.0, 2.0], 2, 1, [1.0, 1.0], [1, 1]),
    lambda: tc.clear_weighted_constants_sparse([0, 3], [0, 1], [1.0, 2.0], [1.0, 1.0], [1]),
    lambda: tc.clear_weighted_constants_sparse([0, 2], [0, 4], [1.0, 2.0], [1.0, 1.0], [1]),
    lambda: tc.clear_weighted_constants_sparse([0, 2], [0, 1], [1.0], [1.0, 1.0], [1]),
])
def test_precondition_violations_raise_value_error(call):
    with pytest.raises(ValueError):
        call()


def test_non_numeric_input_raises_type_error():
    with pytest.raises(TypeError):
        tc.dot4("ab", "cd")
    with pytest.raises(TypeError):
        tc.chkvars_sparse([0, None], [1.0], 2)
