"""The `gram` rows of run.py: the weighted, centred Gram kernel against numpy's
X.T @ X, as a share of one core's FMA peak, on one and two threads; and
fit_path's default (early-stopped) path on tall raw data against
scikit-learn's enet_path and varnel's core alone over the same penalties;
and what fit_path's callback costs per lambda.

The kernel is timed through varnel._test_core.gram (gram_full with weights,
centring at the weighted means, no column statistics).  Its useful work is
n p (p + 1) / 2 fused multiply-adds (one triangle); numpy's X.T @ X on a
float64 array also forms one triangle (BLAS syrk).  The FMA peak is
_test_core.fma_peak(): the best rate of twelve independent chains of vector
FMAs on registers only.
"""

from __future__ import annotations

import statistics
import time
import warnings

import numpy as np

KERNEL_SIZES = [(100_000, 50), (50_000, 200), (10_000, 1_000), (1_000_000, 50), (1_000_000, 20)]
KERNEL_SIZES_QUICK = [(3_000, 20), (2_000, 60)]
PATH_WORKLOADS = ["gram-100k", "gram-50k", "gram-10k"]  # built by bench_workloads (quick sizes with --quick)


def _median_times(fns, repeat: int) -> list[float]:
    """Median wall time of each function over `repeat` rounds, the functions
    taking turns within a round (after one warm-up call each: page faults,
    caches, the threads' first start), so that a change in the load of a
    shared machine falls on all of them alike."""
    for fn in fns:
        fn()
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, ts in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    return [statistics.median(ts) for ts in times]


def kernel_rows(quick: bool, repeat: int, log) -> tuple[float, list[dict], str]:
    """The FMA peak (FMA/s), per size the kernel's and numpy's times, and the
    kernel that ran."""
    from varnel import _test_core as tc

    peak = tc.fma_peak("best")
    kernel = tc.gram(np.zeros((1, 1)), [1.0])["kernel"]
    rows = []
    rng = np.random.default_rng(20240611)
    for n, p in KERNEL_SIZES_QUICK if quick else KERNEL_SIZES:
        log(f"gram kernel {n} x {p} ...")
        x = np.asfortranarray(rng.standard_normal((n, p)) * rng.uniform(0.5, 5, p) + rng.uniform(-10, 10, p))
        w = rng.uniform(0.5, 1.5, n)
        w /= w.sum()
        t_np, t1, t2 = _median_times(
            [lambda: x.T @ x] + [lambda t=t: tc.gram(x, w, at_mean=True, stats=False, n_threads=t)
                                 for t in (1, 2)], repeat)
        fmas = n * p * (p + 1) / 2
        rows.append(dict(n=n, p=p, numpy=t_np, one=t1, two=t2, share=fmas / t1 / peak))
        del x
    return peak, rows, kernel


def path_rows(quick: bool, repeat: int, log) -> list[dict]:
    """fit_path's default path on the raw data (in Fortran and in C order)
    against enet_path on the standardised copy over the penalties fit_path
    chose, and the core alone (varnel._core.fit, the covariance solver) on
    that copy, already standardised, centred and in Fortran order, over the
    same penalties (standardize=False, intercept=False)."""
    import bench_workloads as bw
    import varnel
    from varnel import _core

    try:
        from sklearn.linear_model import enet_path
    except ImportError:
        return []
    rows = []
    for name in PATH_WORKLOADS:
        wl = bw.build(name, quick)
        log(f"gram default path {wl.shape[0]} x {wl.shape[1]} ...")
        X, y = wl.raw
        Xc = np.ascontiguousarray(X)
        lambdas = np.asarray(varnel.fit_path(X, y).lambdas)

        def sk():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                enet_path(wl.X, wl.y, l1_ratio=1.0, alphas=lambdas)

        def core():
            _core.fit(wl.X, wl.y, solver="covariance", standardize=False, intercept=False,
                      user_lambda=lambdas, n_threads=1)

        t_varnel, t_c, t_sk, t_core = _median_times(
            [lambda: varnel.fit_path(X, y), lambda: varnel.fit_path(Xc, y), sk, core], repeat)
        rows.append(dict(name=name, shape=wl.shape, nlambda=len(lambdas), varnel=t_varnel,
                         c_order=t_c, sklearn=t_sk, core=t_core))
    return rows


def hook_cost(quick: bool, repeat: int) -> dict:
    """What fit_path's callback costs per lambda: a path of many lambdas on
    a small problem, with a callback that does nothing and without one; the
    least CPU time of 10 x `repeat` rounds each (CPU time, and the least of
    many, so that the load of a shared machine does not count)."""
    import varnel

    rng = np.random.default_rng(1)
    X = rng.standard_normal((200, 5))
    y = X[:, 0] + rng.standard_normal(200)
    lam = np.geomspace(1.0, 1e-4, 200 if quick else 2000)
    fns = [lambda: varnel.fit_path(X, y, user_lambda=lam),
           lambda: varnel.fit_path(X, y, user_lambda=lam, callback=lambda r: None)]
    times = [[] for _ in fns]
    for _ in range(10 * repeat):
        for fn, ts in zip(fns, times):
            t0 = time.process_time()
            fn()
            ts.append(time.process_time() - t0)
    plain, hooked = (min(ts) for ts in times)
    return dict(lambdas=len(lam), per_lambda=max(hooked - plain, 0.0) / len(lam))


def report(quick: bool, repeat: int, table, md: bool, log) -> list[list[str]]:
    """Prints the gram tables; returns the target checks."""
    peak, krows, kernel = kernel_rows(quick, repeat, log)
    prows = path_rows(quick, repeat, log)
    hook = hook_cost(quick, repeat)
    print(f"Gram kernel ({kernel}), weighted and centred at the weighted means, X in Fortran order; "
          f"FMA peak of one core {peak / 1e9:.1f} GFMA/s; medians of {repeat} runs:")
    if md:
        print()
    body = [[f"{r['n']:,} x {r['p']:,}", f"{r['numpy'] * 1e3:.3g} ms", f"{r['one'] * 1e3:.3g} ms",
             f"{r['one'] / r['numpy']:.2f}", f"{r['share']:.0%}", f"{r['two'] * 1e3:.3g} ms",
             f"{r['one'] / r['two']:.2f}"] for r in krows]
    print(table(["n x p", "numpy X.T @ X", "varnel 1 thread", "varnel / numpy", "share of FMA peak",
                 "varnel 2 threads", "2-thread speed-up"], body, md, {1, 2, 3, 4, 5, 6}))
    print()
    if prows:
        print("fit_path default path (raw data, standardize, intercept, covariance solver; X in "
              "Fortran and in C order) against sklearn enet_path (default precompute) and varnel's "
              "core alone (_core.fit, covariance solver) on the standardised data over the same "
              "penalties, one thread:")
        if md:
            print()
        body = [[r["name"], f"{r['shape'][0]:,} x {r['shape'][1]:,}", str(r["nlambda"]),
                 f"{r['varnel'] * 1e3:.3g} ms", f"{r['c_order'] * 1e3:.3g} ms",
                 f"{r['core'] * 1e3:.3g} ms", f"{r['sklearn'] * 1e3:.3g} ms",
                 f"{r['varnel'] / r['sklearn']:.2f}", f"{r['varnel'] / r['core']:.2f}"]
                for r in prows]
        print(table(["workload", "n x p", "penalties", "fit_path", "fit_path, C order", "core alone",
                     "sklearn", "fit_path / sklearn", "fit_path / core"], body, md,
                    {2, 3, 4, 5, 6, 7, 8}))
        print()
    print(f"fit_path's callback: {hook['per_lambda'] * 1e6:.2f} us of CPU per lambda (a path of "
          f"{hook['lambdas']} lambdas on 200 x 5, with a callback that does nothing and without)")
    print()
    checks = []
    for r in krows:
        if (r["n"], r["p"]) == (1_000_000, 50):
            ratio = r["one"] / r["numpy"]
            checks.append(["gram 1,000,000 x 50", "<= 0.5 x numpy X.T @ X", f"{ratio:.2f}",
                           "met" if ratio <= 0.5 else "MISSED"])
            checks.append(["gram 1,000,000 x 50", ">= 60% of FMA peak", f"{r['share']:.0%}",
                           "met" if r["share"] >= 0.6 else "MISSED"])
    for r in prows:
        ratio = r["varnel"] / r["sklearn"]
        if r["name"] == "gram-100k":
            checks.append([f"{r['name']} default path", "<= 0.6 x sklearn enet_path", f"{ratio:.2f}",
                           "met" if ratio <= 0.6 else "MISSED"])
            own = r["varnel"] / r["core"]
            checks.append([f"{r['name']} default path", "<= 1.1 x the core alone", f"{own:.2f}",
                           "met" if own <= 1.1 else "MISSED"])
            continue
        checks.append([f"{r['name']} default path", "<= 0.5 x sklearn enet_path", f"{ratio:.2f}",
                       "met" if ratio <= 0.5 else "MISSED"])
    fit = next((r for r in prows if r["name"] == "gram-100k"), None)
    if fit is not None:
        share = hook["per_lambda"] * fit["nlambda"] / fit["varnel"]
        checks.append(["gram-100k callback", "< 1% of the fit's time", f"{share:.2%}",
                       "met" if share < 0.01 else "MISSED"])
    return checks
