"""Gram kernels (core/kernels/gram.hpp, via varnel._test_core.gram): centred products against long
double, the same bits for every layout, micro-kernel and thread count, column statistics, interrupts."""
import numpy as np
import pytest

from varnel import _test_core as tc

LD = np.longdouble
KERNELS = tc.gram(np.zeros((1, 1)), [1.0])["available"]


def layouts(x):
    """The same matrix in C order, Fortran order, with gaps, and reversed."""
    wide = np.zeros((x.shape[0], 2 * x.shape[1] + 1), order="F")
    wide[:, 1::2] = x
    return [np.ascontiguousarray(x), np.asfortranarray(x), wide[:, 1::2],
            np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]]


def problem(n, p, weights, large, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p)) * rng.uniform(0.1, 3.0, p) + rng.normal(size=p)
    if large:  # timestamp-like columns: a huge mean and O(1) spread
        x[:, ::3] += 1.7e9
    w = {"equal": np.ones(n), "random": rng.uniform(0.0, 2.0, n),
         "zeros": rng.integers(0, 2, n) * rng.uniform(0.5, 1.5, n)}[weights]
    w[:1] = 1.0
    return x, w / w.sum()


def exact(x, w, y):
    """Long-double moments of the values shifted by row 0 (an exact shift here,
    so 1e12-sized means cost no digits): mean, mean - row 0, var, cov, y mean."""
    xy = np.column_stack([x, y]).astype(LD)
    d, wl = xy - xy[:1], w.astype(LD)
    dm = wl @ d / wl.sum()
    var, cov = wl @ (d - dm) ** 2 / wl.sum(), wl @ ((d - dm) * (d - dm)[:, -1:]) / wl.sum()
    return xy[0, :-1] + dm[:-1], dm[:-1], var[:-1], cov[:-1], xy[0, -1] + dm[-1]


def reference(x, w, dc, s):
    """The products centred at row 0 + dc, scaled by s."""
    a = (x.astype(LD) - x[:1].astype(LD)) - dc
    return ((a * w.astype(LD)[:, None]).T @ a) / np.outer(s, s).astype(LD)


def close(got, want, scale, tol):
    return np.all(np.abs(np.array(got, dtype=LD) - want) <= tol * scale)


CASES = [  # n, p, weights, centring, scaled, large means
    (1, 1, "equal", "none", False, False), (1, 7, "random", "given", True, False),
    (5, 1, "random", "mean", False, True), (257, 5, "equal", "auto", True, True),
    (600, 25, "random", "given", False, True), (513, 50, "zeros", "mean", True, False),
    (300, 9, "random", "none", True, False), (1100, 37, "random", "auto", True, True),
    (2500, 13, "zeros", "auto", False, True),  # several blocks, the last chunk partial
    # several blocks each, enough work for threads
    (9000, 60, "zeros", "auto", False, True), (4100, 130, "zeros", "given", True, True),
    (100_000, 9, "zeros", "mean", False, True)]


@pytest.mark.parametrize("n, p, weights, centring, scaled, large", CASES)
def test_products_match_reference_with_the_same_bits_everywhere(n, p, weights, centring, scaled,
                                                                 large):
    """Products and column statistics: the same bits for every kernel, layout and thread count."""
    x, w = problem(n, p, weights, large)
    y = x[:, 0] - 0.5 * x[:, -1]
    m, dm = exact(x, w, y)[:2]
    c = {"none": None, "given": [float(v) for v in m], "mean": list(x[-1]), "auto": None}[centring]
    at_mean, s = centring in ("mean", "auto"), list(np.random.default_rng(1).uniform(0.5, 2, p)) if scaled else None
    dc = dm if at_mean else np.asarray(c if c else np.zeros(p), dtype=LD) - x[0].astype(LD)
    ref = reference(x, w, dc, s or np.ones(p))
    cols, first = list(np.random.default_rng(2).permutation(p)[: max(1, p // 3)]) + [0], None
    runs = [(k, xv, t) for k in KERNELS for xv in layouts(x) for t in (1, 2, 7)
            if t == 1 or n > 4000 and k == KERNELS[-1]]  # threads: on the long cases
    for kernel, xv, t in runs:
        r = tc.gram(xv, w, y=y, centre=c, scale=s, kernel=kernel, at_mean=at_mean, n_threads=t)
        block = tc.gram(xv, w, centre=c, scale=s, cols=cols, kernel=kernel, at_mean=at_mean, n_threads=t)
        g = r["gram"]
        if first is None:  # entrywise, relative to the Cauchy-Schwarz bound of the entry
            first = r
            assert close(g, ref, np.sqrt(np.outer(np.diag(ref), np.diag(ref))), 1e-13)
            assert not at_mean or close(r["gram_mean"], m, 1e-15 * np.abs(m) + 1e-14, 1.0)
        for key in ("gram", "gram_mean", "mean", "var", "cov", "ymean"):
            assert np.array_equal(r.get(key, 0), first.get(key, 0)), (kernel, t, key)
        assert np.array_equal(g, g.T), kernel
        assert np.array_equal(block["gram"].T, g[:, cols]), kernel
        assert not at_mean or np.array_equal(block["gram_mean"], r["gram_mean"])
        if p > 1 and t == 1:  # the last column passed as an extra column: the same bits
            e = tc.gram(xv[:, :-1], w, centre=c, scale=s, kernel=kernel, at_mean=at_mean, extra=xv[:, -1:])
            assert np.array_equal(e["gram"], g) and np.array_equal(e.get("gram_mean", 0), r.get("gram_mean", 0))


STATS = [(1, 3, "equal", True, False), (700, 70, "zeros", True, False),  # n, p, w, large, clock
         (256, 64, "random", False, False), (999, 3, "random", True, False), (20_000, 3, "random", True, True)]


@pytest.mark.parametrize("n, p, weights, large, clock", STATS)
def test_column_stats_and_standardized_products_keep_full_precision(n, p, weights, large, clock):
    x, w = problem(n, p, weights, large, seed=4)
    if clock:  # the first rows lie far from the mean; a mean 1e12 that no double holds well
        x[:, 0] = 1.7e9 + np.arange(n) * 1e-3 + np.random.default_rng(6).normal(size=n)
        x[:, 1] = 1e12 + x[:, 1] * 1e-2
    y = x[:, 0] * 0.5 + np.random.default_rng(5).normal(size=n)
    m, dm, var, cov, ym = exact(x, w, y)
    results = [tc.gram(xv, w, y=y) for xv in layouts(x)]
    for key in ("mean", "var", "cov", "ymean"):
        assert all(np.array_equal(r[key], results[0][key]) for r in results), key
    r, sd, ysd = results[0], np.sqrt(var), np.sqrt(np.dot(w, (y - ym) ** 2))
    assert close(r["mean"], m, 1e-15 * np.abs(m) + 1e-14 * sd, 1) and close(r["var"], var, var, 1e-13)
    assert close(r["cov"], cov, sd * ysd, 1e-13)
    assert abs(r["ymean"] - ym) <= 1e-15 * abs(ym) + 1e-14 * ysd
    if n > 1:  # centred at the exact means although they are rounded to doubles
        g = tc.gram(x, w, centre=r["mean"], scale=list(sd), at_mean=True)["gram"]
        assert close(g, reference(x, w, dm, sd), 1.0, 1e-13) and close(np.diag(g), 1, 1, 1e-13)


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("cols, stats", [(None, False), ([2, 0], False), (None, True)])
def test_an_interrupt_stops_every_thread(n_threads, cols, stats):
    x, w = problem(20_000, 60, "random", large=False)
    kw = dict(cols=cols, at_mean=True, stats=stats, products=not stats, n_threads=n_threads)
    # the calling thread polls once per block it takes: with helpers it may
    # take only one, so only its first poll is sure to come
    with pytest.raises(KeyboardInterrupt):
        tc.gram(x, w, interrupt_after=2 if n_threads == 1 else 0, **kw)
    r = tc.gram(x, w, interrupt_after=10**6, **kw)
    # once per block of rows on the calling thread; the products (long blocks) once per chunk too
    assert n_threads > 1 or (r["polls"] == 20 if stats else r["polls"] > 2 * 20)
    with pytest.raises(ValueError, match="n_threads must be at least 1"):
        tc.gram(x, w, **dict(kw, n_threads=0))


def test_fma_peak_of_every_kernel():
    rates = [tc.fma_peak(k) for k in KERNELS]
    assert all(np.isfinite(r) and r > 1e6 for r in rates), rates
    with pytest.raises(ValueError, match="unknown kernel name"):
        tc.fma_peak("sse9")
