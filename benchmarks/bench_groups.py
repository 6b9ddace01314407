"""A wide group-lasso least-squares path: varnel's feature_groups against
skglm's group lasso (QuadraticGroup + WeightedGroupL2 + GroupBCD) at the
same penalties, with the objectives compared.

Both minimise 1/(2n) ||y - X w||^2 + lambda sum_g sqrt(p_g) ||w_g||_2 on
centred columns and response (no intercept, no standardization).  varnel
fits its whole path in one call; skglm is warm-started from one penalty to
the next.  The table gives each one's time and the largest relative excess
of its objective over the better of the two at every penalty.

    python benchmarks/bench_groups.py                  # 2,000 x 20,000 in 2,000 groups
    python benchmarks/bench_groups.py --n 1000 --p 5000 --size 10 --nlambda 20
"""

from __future__ import annotations

import argparse
import os
import sys
import time

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import numpy as np  # noqa: E402

import varnel  # noqa: E402


def problem(n: int, p: int, size: int, seed: int = 0):
    """Standard normal columns in groups of `size`, 20 true groups, SNR 3."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    x -= x.mean(axis=0)
    groups = np.arange(p) // size
    w = np.zeros(p)
    for g in rng.choice(p // size, 20, replace=False):
        w[g * size:(g + 1) * size] = rng.standard_normal(size)
    signal = x @ w
    y = signal + rng.standard_normal(n) * signal.std() / 3.0
    return np.asfortranarray(x), y - y.mean(), groups


def objective(x, y, w, lam, weights, groups):
    r = y - x @ w
    norms = np.sqrt(np.bincount(groups, weights=w * w))
    return 0.5 * r @ r / x.shape[0] + lam * weights @ norms


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--p", type=int, default=20000)
    ap.add_argument("--size", type=int, default=10)
    ap.add_argument("--nlambda", type=int, default=20)
    ap.add_argument("--ratio", type=float, default=0.05, help="smallest lambda / lambda_max")
    ap.add_argument("--thresh", type=float, default=1e-10)
    args = ap.parse_args(argv)
    x, y, groups = problem(args.n, args.p, args.size)
    ng = groups.max() + 1
    weights = np.sqrt(np.bincount(groups).astype(float))
    print(f"group lasso, least squares: {args.n} x {args.p} in {ng} groups of {args.size}, "
          f"{args.nlambda} penalties down to {args.ratio:g} lambda_max", file=sys.stderr)

    t0 = time.perf_counter()
    path = varnel.fit_path(x, y, feature_groups=groups, standardize=False, intercept=False,
                           nlambda=args.nlambda, lambda_min_ratio=args.ratio, thresh=args.thresh,
                           solver="naive")
    t_varnel = time.perf_counter() - t0
    lambdas = path.lambdas
    rows = [("varnel", t_varnel, [objective(x, y, path.coefs[:, k], lam, weights, groups)
                                  for k, lam in enumerate(lambdas)])]
    try:
        from skglm.datafits import QuadraticGroup
        from skglm.penalties import WeightedGroupL2
        from skglm.solvers import GroupBCD
    except ImportError:
        print("skglm is not installed: varnel's row only", file=sys.stderr)
    else:
        ptr = np.r_[0, np.cumsum(np.bincount(groups))].astype(np.int32)
        idx = np.arange(args.p, dtype=np.int32)
        # compile numba's functions on a small problem first, outside the timing
        small = slice(0, 3 * args.size)
        GroupBCD(tol=1e-4).solve(
            np.ascontiguousarray(x[:50, small]), y[:50],
            QuadraticGroup(ptr[:4], idx[:3 * args.size]),
            WeightedGroupL2(1.0, weights[:3], ptr[:4], idx[:3 * args.size]))
        t0 = time.perf_counter()
        w = np.zeros(args.p)
        objs = []
        datafit = QuadraticGroup(ptr, idx)
        for lam in lambdas:
            penalty = WeightedGroupL2(alpha=lam, weights=weights, grp_ptr=ptr, grp_indices=idx)
            w = GroupBCD(tol=1e-8, max_iter=5000, fit_intercept=False).solve(
                x, y, datafit, penalty, w_init=w.copy(), Xw_init=x @ w)[0]
            objs.append(objective(x, y, w, lam, weights, groups))
        rows.append(("skglm", time.perf_counter() - t0, objs))
    best = np.min([r[2] for r in rows], axis=0)
    print("| solver | time (s) | relative to varnel | largest objective excess |")
    print("| --- | --- | --- | --- |")
    for name, t, objs in rows:
        excess = np.max((np.asarray(objs) - best) / np.abs(best))
        print(f"| {name} | {t:.2f} | {t / t_varnel:.2f} | {excess:.1e} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
