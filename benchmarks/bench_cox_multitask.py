#!/usr/bin/env python
"""Whole 100-penalty paths of the cox and multitask families beside their
peers, in one process: time and objective.

    python benchmarks/bench_cox_multitask.py             full sizes (several minutes)
    python benchmarks/bench_cox_multitask.py --quick     small sizes, one repetition
    python benchmarks/bench_cox_multitask.py --only cox --repeat 3 --budget 300

cox: 500 x 20,000 standardized AR(1) columns, 20 true non-zeros, 30% of the
rows censored; the lasso of the Breslow partial likelihood,
F(b) = -l(b)/n + lam ||b||_1, over 100 penalties from lambda_max down to
0.05 lambda_max (below that, 500 rows leave the fit close to saturation).
Peers: statsmodels PHReg.fit_regularized looped over the penalties with
warm starts, skglm's Cox datafit with ProxNewton (warm-started, after one
untimed call that compiles it).  A peer is stopped after --budget seconds
(an alarm interrupts the penalty it is on); its time is then extrapolated
from the penalties it finished.  varnel runs with its default threshold
and with thresh=1e-10.

multitask: 20,000 x 500 standardized AR(1) columns, K = 10 responses, 20
true non-zero rows, SNR 3; F(b0, W) = 1/(2n) ||Y - b0 - X W||_F^2 +
lam sum_j ||W_j.||_2 over 100 penalties down to 1e-3 lambda_max.  Peer:
scikit-learn's MultiTaskElasticNet (l1_ratio=1), warm-started over the grid.

Every solver runs with its default tolerance; "objective" is the largest
relative excess of its objective over the best of all solvers at 5 points
of the path.  Single-threaded: the BLAS pools are set to one thread before
numpy is imported.
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import signal  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_workloads as bw  # noqa: E402
import varnel  # noqa: E402
from varnel import _survival  # noqa: E402

POINTS = (19, 39, 59, 79, 99)  # path positions whose objectives are compared


# ------------------------------------------------------------------ workloads

def cox_workload(quick: bool):
    rng = np.random.default_rng(21)
    n, p = (100, 500) if quick else (500, 20_000)
    X = bw.ar1_design(rng, n, p)
    eta = X @ bw.sparse_coefficients(rng, p, 20, scale=0.5)
    t = rng.exponential(np.exp(-eta))
    censored = rng.random(n) < 0.3
    time_ = np.where(censored, t * rng.random(n), t)
    y = np.column_stack([time_, ~censored]).astype(float)
    lmax = varnel.fit_path(X, y, "cox", nlambda=1, standardize=False).lambdas[0]
    return X, y, np.geomspace(lmax, 0.05 * lmax, 100)


def cox_objective(X, y, lam, b):
    yy = np.column_stack([y, np.zeros(len(y))])
    return -_survival.log_partial_likelihood(yy, np.ones(len(y)), X @ b, "breslow")[0] / len(y) \
        + lam * np.abs(b).sum()


def multitask_workload(quick: bool):
    rng = np.random.default_rng(22)
    n, p, k = (2000, 100, 10) if quick else (20_000, 500, 10)
    X = bw.ar1_design(rng, n, p)
    W = np.zeros((p, k))
    rows = rng.choice(p, 20, replace=False)
    W[rows] = rng.standard_normal((20, k))
    signal = X @ W
    Y = signal + rng.standard_normal((n, k)) * (signal.std() / np.sqrt(3.0))
    lmax = np.sqrt(((X.T @ (Y - Y.mean(0))) ** 2).sum(1)).max() / n
    return X, Y, np.geomspace(lmax, 1e-3 * lmax, 100)


def multitask_objective(X, Y, lam, w_and_b):
    W, b0 = w_and_b
    r = Y - b0 - X @ W
    return 0.5 * (r * r).sum() / len(Y) + lam * np.sqrt((W * W).sum(1)).sum()


# -------------------------------------------------------------------- solvers

def varnel_cox(X, y, grid, budget):
    path = varnel.fit_path(X, y, "cox", user_lambda=grid, standardize=False)
    return [path.coefs[:, m] for m in range(path.n_lambdas)]


def varnel_cox_tight(X, y, grid, budget):
    path = varnel.fit_path(X, y, "cox", user_lambda=grid, standardize=False, thresh=1e-10)
    return [path.coefs[:, m] for m in range(path.n_lambdas)]


def within_budget(budget, step, grid):
    """step(lam) for every penalty until `budget` seconds have passed (an
    alarm interrupts a step that runs past it): the solutions so far."""
    out = []

    def expire(signum, frame):
        raise TimeoutError

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, budget)
    try:
        for lam in grid:
            out.append(step(lam))
    except TimeoutError:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return out


def statsmodels_cox(X, y, grid, budget):
    import statsmodels.api as sm

    model, start = sm.PHReg(y[:, 0], X, status=y[:, 1]), [None]

    def step(lam):
        start[0] = model.fit_regularized(method="elastic_net", alpha=lam, L1_wt=1.0,
                                         start_params=start[0]).params
        return start[0]
    return within_budget(budget, step, grid)


def skglm_cox(X, y, grid, budget, _compiled=[]):
    from skglm.datafits import Cox
    from skglm.penalties import L1
    from skglm.solvers import ProxNewton

    datafit, solver, w = Cox(), ProxNewton(fit_intercept=False, warm_start=True), [None]
    datafit.initialize(X, y)

    def step(lam):  # the warm start needs its linear predictor too
        w[0] = solver.solve(X, y, datafit, L1(float(lam)), w_init=w[0],
                            Xw_init=None if w[0] is None else X @ w[0])[0]
        return w[0].copy()

    if not _compiled:  # numba compiles on the first call: not timed
        step(grid[0])
        w[0] = None
        _compiled.append(True)
    return within_budget(budget, step, grid)


def varnel_multitask(solver):
    def fit(X, Y, grid, budget):
        path = varnel.fit_path(X, Y, "multitask", user_lambda=grid, standardize=False, solver=solver)
        return [(path.coefs[:, :, m], path.intercepts[:, m]) for m in range(path.n_lambdas)]
    return fit


def sklearn_multitask(X, Y, grid, budget):
    from sklearn.linear_model import MultiTaskElasticNet

    model = MultiTaskElasticNet(l1_ratio=1.0, warm_start=True)

    def step(lam):
        model.set_params(alpha=lam).fit(X, Y)
        return model.coef_.T.copy(), model.intercept_.copy()
    return within_budget(budget, step, grid)


WORKLOADS = {
    "cox": (cox_workload, cox_objective,
            {"varnel": varnel_cox, "varnel thresh=1e-10": varnel_cox_tight,
             "statsmodels PHReg": statsmodels_cox, "skglm Cox": skglm_cox}),
    "multitask": (multitask_workload, multitask_objective,
                  {"varnel naive": varnel_multitask("naive"),
                   "varnel covariance": varnel_multitask("covariance"),
                   "sklearn MultiTaskElasticNet": sklearn_multitask}),
}


# ------------------------------------------------------------------- running

def run(name, quick, repeat, budget):
    make, objective, solvers = WORKLOADS[name]
    X, y, grid = make(quick)
    print(f"\n### {name}: {X.shape[0]} x {X.shape[1]}"
          + (f", K = {y.shape[1]}" if name == "multitask" else f", {1 - y[:, 1].mean():.0%} censored"),
          file=sys.stderr)
    results = {}
    for label, fit in solvers.items():
        times, sols = [], None
        try:
            for _ in range(repeat):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    begun = time.perf_counter()
                    sols = fit(X, y, grid, budget)
                    times.append(time.perf_counter() - begun)
                if len(sols) < len(grid):
                    break  # out of budget: not repeated
        except Exception as exc:  # a peer that does not run is reported, not fatal
            results[label] = (None, None, f"failed: {type(exc).__name__}: {str(exc)[:80]}")
            continue
        done = len(sols)
        t = statistics.median(times)
        if done == 0:
            results[label] = (None, None, f"no penalty done in {budget:.0f} s")
            continue
        note = "" if done == len(grid) else f"{done} of {len(grid)} penalties in {t:.0f} s; time extrapolated"
        results[label] = (t * len(grid) / done, sols, note)
    best = {m: min(objective(X, y, grid[m], r[1][m]) for r in results.values()
                   if r[1] is not None and len(r[1]) > m) for m in POINTS}
    base = next(iter(results.values()))[0]
    print("| solver | time (s) | time / varnel | objective (largest relative excess) | note |")
    print("| --- | ---: | ---: | ---: | --- |")
    for label, (t, sols, note) in results.items():
        if sols is None:
            print(f"| {label} | - | - | - | {note} |")
            continue
        gaps = [(objective(X, y, grid[m], sols[m]) - best[m]) / abs(best[m]) for m in POINTS if len(sols) > m]
        gap = f"{max(gaps):.1e}" if gaps else "-"
        print(f"| {label} | {t:.2f} | {t / base:.1f} | {gap} | {note} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one repetition")
    parser.add_argument("--only", default="cox,multitask", help="cox, multitask or both")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs; the median is reported")
    parser.add_argument("--budget", type=float, default=300.0,
                        help="seconds after which a peer's path stops (time then extrapolated)")
    args = parser.parse_args()
    for name in args.only.split(","):
        run(name, args.quick, 1 if args.quick else args.repeat, args.budget)


if __name__ == "__main__":
    main()
