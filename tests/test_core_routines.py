"""The core's building blocks through varnel._test_core: the kernels' order of
summation bit for bit (the block row kernels on every instruction set this
CPU runs, for any class count; the batched and fused kernels that the fits use, and
the sparse designs' orders, are pinned with every result in
test_result_hashes.py and test_fit_hashes.py), the constant-column rules,
the empty penalty vector, and violated preconditions."""
import numpy as np
import pytest
import scipy.sparse as sp

import contract as C
from varnel import _test_core as tc


def four_way(terms):
    """The documented order: four interleaved partial sums over the full
    groups of four, combined as (s3 + s2) + (s0 + s1), then the tail added
    one term at a time."""
    n4 = len(terms) - len(terms) % 4
    s = [0.0] * 4
    for i in range(n4):
        s[i % 4] += terms[i]
    total = (s[3] + s[2]) + (s[0] + s[1])
    for t in terms[n4:]:
        total += t
    return total


def wide_range(rng, n):
    """Values of both signs over a few binades: sums cancel and every
    grouping rounds its own way."""
    return rng.standard_normal(n) * 2.0 ** rng.integers(-3, 4, n)


def bits(*values):
    return [np.asarray(v, dtype=np.float64).tobytes() for v in values]


def sparse(a, w=None, mean=None, scale=None):
    """The _test_core tuple of a scipy CSC matrix (unit statistics by default)."""
    n, p = a.shape
    w = np.full(n, 1.0 / max(n, 1)) if w is None else w
    return (a.indptr, a.indices, a.data, w, np.zeros(p) if mean is None else mean,
            np.ones(p) if scale is None else scale, n, p)


@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 7, 8, 9, 13, 64, 1001])
def test_kernels_sum_in_the_documented_order(n):
    for seed in range(6):
        rng = np.random.default_rng(1000 * n + seed)
        a, b, c = wide_range(rng, n), wide_range(rng, n), wide_range(rng, n)
        x = np.column_stack([np.full(n, 0.5), a, np.full(n, -2.0)])
        ref = four_way(list(a * b))
        assert bits(tc.grad(x, 1, b, 123.0)) == bits(ref)  # the shift is unused
        assert bits(tc.wdot4(a, b, c)) == bits(four_way(list((a * b) * c)))
        assert bits(tc.weighted_sumsq(x, 1, c)) == bits(four_way(list((c * a) * a)))
    assert tc.wdot4([2.0, 3.0, 99.0], [1.0, 1.0], [5.0, 7.0, 99.0]) == 31.0  # len(b) terms


@pytest.mark.parametrize("b, total", [
    ([1e16, 1.0, -1e16, 1.0], 0.0),  # (s3 + s2) + (s0 + s1); left to right gives 1, the exact sum 2
    ([1e16, 0.0, 0.0, 0.0, 1.0, 1.0], 1e16),  # the tail added one term at a time after the combination
    ([0.0, 0.0, 0.0, 1.0, 1e16, -1e16], 0.0),  # ... and not into the partial sums (that gives 1)
    ([1.0, 1e16, -1e16], 0.0),  # fewer than four terms: in increasing index order
])
def test_order_of_partial_sums_and_tail(b, total):
    ones = np.ones(len(b))
    assert tc.grad(ones[:, None], 0, b, 0.0) == tc.wdot4(ones, b, ones) == total


def runs(kernel):
    try:
        tc.block_rows(kernel, "dot", [1.0], [0.0], [1.0], [1.0], [0.0], 1)
    except ValueError:
        return False
    return True


BLOCK_KERNELS = [k for k in ("portable", "avx2", "avx512") if runs(k)]


def sixteen_chains(terms):
    """The block kernels' order per class: sixteen chains, chain l over the
    rows i = l (mod 16) in index order (np.cumsum adds left to right), then
    halved: s_l += s_(l+h) for h = 8, 4, 2, 1."""
    s = [np.cumsum(terms[l::16], axis=0)[-1] if len(terms[l::16]) else np.zeros(terms.shape[1:])
         for l in range(16)]
    for h in (8, 4, 2, 1):
        for l in range(h):
            s[l] = s[l] + s[l + h]
    return s[0]


# rows: inside one chunk of 128 (all tail, full groups of 16 and a tail), a chunk
# and a row, several chunks; classes: one, a slice of 16, more than one slice
@pytest.mark.parametrize("n, K", [(0, 3), (1, 1), (7, 5), (64, 8), (33, 10), (20, 16), (9, 17),
                                  (40, 35), (129, 3), (300, 5), (517, 10), (260, 18)])
def test_block_row_kernels_same_bits_on_every_instruction_set(n, K):
    rng = np.random.default_rng(100 * n + K)
    z, nxt = wide_range(rng, n), wide_range(rng, n)
    R, V = wide_range(rng, n * K).reshape(n, K), rng.uniform(0.0, 2.0, (n, K))
    d, c, cn = wide_range(rng, K), 0.375, -1.25
    d[::3] = 0.0  # a class that does not move keeps its residual
    zc, nc = (z - c)[:, None], (nxt - cn)[:, None]
    R_sub = R - (V * zc) * d
    zs, cs, bs = wide_range(rng, 6 * n).reshape(6, n), wide_range(rng, 6), wide_range(rng, (6, K))
    R_add = [R.copy()]
    for t in range(6):
        R_add.append(R_add[-1] + bs[t] * (zs[t] - cs[t])[:, None])
    wsumsq = [sixteen_chains(V * ((zs[t] - cs[t]) ** 2)[:, None]) for t in range(6)]
    dots = [sixteen_chains((zs[t] - cs[t])[:, None] * R) for t in range(6)]
    cases = [("dot", z, [c], R, {"out": sixteen_chains(zc * R)}),
             ("dot", zs.ravel(), cs, R, {"out": np.concatenate(dots)}),
             ("dot", zs[:2].ravel(), cs[:2], R, {"out": np.concatenate(dots[:2])}),
             ("wsumsq", z, [c], R, {"out": sixteen_chains(V * (zc * zc))}),
             ("wsumsq", zs.ravel(), cs, R, {"out": np.concatenate(wsumsq)}),
             ("wsumsq", zs[:3].ravel(), cs[:3], R, {"out": np.concatenate(wsumsq[:3])}),
             ("sub", z, [c], R, {"R": R_sub}),
             ("sub_dot", np.r_[z, nxt], [c, cn], R, {"R": R_sub, "out": sixteen_chains(nc * R_sub)}),
             ("add", zs[:4].ravel(), cs[:4], R, {"R": R_add[4]}),
             ("add", zs[:3].ravel(), cs[:3], R, {"R": R_add[3]}),
             ("add", zs.ravel(), cs, R, {"R": R_add[6]})]
    for op, zz, cc, RR, expected in cases:
        delta = bs[:len(cc)].ravel() if op == "add" else d
        for kernel in BLOCK_KERNELS:
            got = tc.block_rows(kernel, op, zz, cc, RR.ravel(), V.ravel(), delta, K)
            for key, value in expected.items():
                assert bits(got[key]) == bits(np.ravel(value)), (op, kernel, key)
    for kernel in BLOCK_KERNELS:  # no class moves: R comes back from the blocked layout as it was
        for op in ("sub", "sub_dot"):
            got = tc.block_rows(kernel, op, np.r_[z, nxt], [c, cn], R.ravel(), V.ravel(), 0 * d, K)
            assert bits(got["R"]) == bits(R.ravel()), (op, kernel)


def dirichlet_rows(rng, K):
    """Class probabilities from uniform to nearly certain, with ties and zeros."""
    rows = [rng.dirichlet(np.full(K, a)) for a in (0.05, 0.3, 1.0, 10.0) for _ in range(20)]
    sure = np.full(K, 1e-13)
    sure[0] = 1.0 - (K - 1) * 1e-13
    tie = np.zeros(K)
    tie[:2] = 0.5
    return rows + [np.full(K, 1.0 / K), sure, tie]


@pytest.mark.parametrize("K", [2, 3, 5, 10, 40])
def test_multinomial_curvature_between_the_diagonal_and_gershgorin(K):
    # never below the Hessian's diagonal, never above Gershgorin's bound, which it is
    # for two classes; at equal shares the diagonal times 1 + 1/(K - 1)^2
    rng = np.random.default_rng(K)
    for p in dirichlet_rows(rng, K):
        d = tc.curvature(p)
        exact = p * (1.0 - p)
        assert np.all(d >= exact) and np.all(d <= 2.0 * exact * (1.0 + 1e-15)), p
        if K == 2:
            assert bits(d) == bits(2.0 * exact), p
        if exact.all():  # no step overshoots the minimum by more than twice its distance
            scaled = (np.diag(p) - np.outer(p, p)) / np.sqrt(np.outer(d, d))
            assert np.linalg.eigvalsh(scaled)[-1] <= 2.0 + 1e-12, p
    uniform = np.full(K, 1.0 / K)
    np.testing.assert_allclose(tc.curvature(uniform), (1.0 + 1.0 / (K - 1) ** 2) * uniform * (1.0 - uniform),
                               rtol=1e-15)


def csc_columns(columns, n):
    """A CSC matrix from (rows, stored values) per column, explicit zeros kept."""
    ptr = np.cumsum([0] + [len(r) for r, _ in columns])
    idx = np.array([i for r, _ in columns for i in r], dtype=np.int64)
    val = np.array([v for _, vs in columns for v in vs], dtype=float)
    return sp.csc_matrix((val, idx, ptr), shape=(n, len(columns)))


def varies(column):
    return float(column.size > 0 and column.max() > column.min())


@pytest.mark.parametrize("seed", range(4))
def test_constant_column_rules(seed):
    """Dense and sparse rules against a direct computation: a column varies
    when two of its values differ (for the weighted rules: two values on rows
    of positive weight); stored zeros equal implicit ones, -0.0 equals 0.0."""
    rng = np.random.default_rng(seed)
    n = 1 if seed == 0 else 6
    columns = [([], []), (range(n), [2.0] * n), (range(n), [2.0] * (n - 1) + [3.0]),
               (range(n), ([0.0, -0.0] * n)[:n]), ([n - 1], [3.0])]
    for _ in range(10):
        rows = sorted(rng.choice(n, rng.integers(0, n + 1), replace=False))
        columns.append((rows, rng.integers(0, 3, len(rows)).astype(float)))  # stored zeros too
    a = csc_columns(columns, n)
    x, s = a.toarray(), sparse(a)
    flags = tc.chkvars(x).astype(int)
    assert flags.tolist() == tc.chkvars(s).tolist() == [varies(x[:, j]) for j in range(x.shape[1])]
    for _ in range(4):
        w = rng.integers(0, 2, n) * rng.uniform(0.5, 1.0, n)
        expected = [f * varies(x[w > 0, j]) for j, f in enumerate(flags)]
        assert tc.clear_weighted_constants(x, w, flags).tolist() == expected
        assert tc.clear_weighted_constants(s, w, flags).tolist() == expected


@pytest.mark.parametrize("nvars, given", [(0, None), (0, []), (3, [])])
def test_empty_penalty_factors_are_refused(nvars, given):
    with pytest.raises(ValueError) as info:
        tc.normalize_penalty(nvars, given)
    assert str(info.value) == C.FIT_ERRORS["NonPositivePenalties"]


ONE = csc_columns([([0], [1.0])], 2)


@pytest.mark.parametrize("call", [
    lambda: tc.wdot4([1.0], [1.0, 2.0], [1.0, 2.0]),
    lambda: tc.grad(np.ones((2, 1)), 1, [1.0, 1.0], 0.0),
    lambda: tc.grad(np.ones((2, 1)), 0, [1.0], 0.0),
    lambda: tc.weighted_sumsq(np.ones((2, 1)), 0, [1.0]),
    lambda: tc.grad(sparse(ONE), 1, [1.0, 1.0], 0.0),
    lambda: tc.grad((ONE.indptr, [2], ONE.data, [0.5, 0.5], [0.0], [1.0], 2, 1), 0, [1.0, 1.0], 0.0),
    lambda: tc.grad(sparse(ONE, w=[1.0]), 0, [1.0, 1.0], 0.0),
    lambda: tc.grad(sparse(ONE, mean=[]), 0, [1.0, 1.0], 0.0),
    lambda: tc.chkvars(np.ones((0, 1))),
    lambda: tc.clear_weighted_constants(np.ones((2, 1)), [1.0], [1]),
    lambda: tc.clear_weighted_constants(sparse(ONE), [1.0, 1.0], [1, 1]),
])
def test_violated_preconditions_raise_value_error(call):
    with pytest.raises(ValueError):
        call()
