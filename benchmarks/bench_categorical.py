"""A pricing-like Poisson path on categorical columns: varnel against glum.

The data: claim counts with an exposure (offset log exposure), 10 numeric
columns and 5 categorical ones (pandas ``category``) of 10, 30, 100, 300
and 1,000 levels, the levels' frequencies falling off like a Zipf law.
Both solvers take the same data frame and expand the categorical columns
themselves (varnel into a sparse indicator design, glum into its own
categorical matrix), and fit the lasso path over the same 50 penalties
(no standardization, an intercept):

    F(a0, b) = 1/n sum_i [exp(eta_i) - y_i eta_i] + lam ||b||_1,
    eta = log(exposure) + a0 + X b

Every run is a child process, so that its peak resident memory is its own;
the table gives the median wall time of --repeat runs, the time per
penalty, the growth of the peak resident set during the fit, and the
largest relative objective excess over the penalties, against the better
of the two solvers at each penalty.  Rows: ``python
benchmarks/bench_categorical.py [--quick] [--rows N] [--repeat 3]`` or
``python benchmarks/run.py --only categorical``.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

from peak_memory import peak_bytes, reset_peak

LEVELS = (10, 30, 100, 300, 1000)
N_NUMERIC = 10
N_LAMBDA = 50
RATIO = 1e-3
ROWS = 1_000_000
QUICK_ROWS = 20_000


def problem(n: int, seed: int = 11):
    """The frame (numbers first, then the categorical columns), the counts,
    the log exposures and the penalties."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    cols = {f"x{j}": rng.standard_normal(n) for j in range(N_NUMERIC)}
    eta = 0.2 * cols["x0"] - 0.1 * cols["x1"] + 0.05 * cols["x2"]
    for k, m in enumerate(LEVELS):
        weights = 1.0 / np.arange(1, m + 1)
        codes = rng.choice(m, n, p=weights / weights.sum())
        effect = rng.normal(0.0, 0.3, m) * (rng.random(m) < 0.3)
        eta = eta + effect[codes]
        cols[f"c{k}"] = pd.Categorical.from_codes(codes, categories=[f"L{i}" for i in range(m)])
    frame = pd.DataFrame(cols)
    exposure = rng.uniform(0.1, 1.0, n)
    y = rng.poisson(exposure * np.exp(-2.0 + eta)).astype(float)
    log_exposure = np.log(exposure)
    return frame, y, log_exposure


def _design(frame):
    from varnel import _categorical

    return _categorical.encode(frame, _categorical.Options()).X.tocsc()


def penalties(X, y, log_exposure):
    """50 penalties from the smallest one with an all-zero solution."""
    n = X.shape[0]
    e = np.exp(log_exposure)
    mu0 = e * y.sum() / e.sum()
    lam_max = np.abs(X.T @ (y - mu0)).max() / n
    return np.geomspace(lam_max, RATIO * lam_max, N_LAMBDA)


def objective(X, y, log_exposure, lam, a0, b):
    eta = log_exposure + a0 + X @ b
    return float(np.mean(np.exp(eta) - y * eta) + lam * np.abs(b).sum())


def run_varnel(frame, y, log_exposure, lambdas):
    import varnel

    # each indicator column penalized on its own, as glum's L1 does
    path = varnel.fit_path(frame, y, "poisson", offset=log_exposure, user_lambda=lambdas,
                           standardize=False, feature_groups=None)
    return path.dense_coefs(), path.intercepts


def run_glum(frame, y, log_exposure, lambdas):
    import warnings

    from glum import GeneralizedLinearRegressor

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = GeneralizedLinearRegressor(family="poisson", l1_ratio=1.0, alpha_search=True,
                                       alphas=lambdas, scale_predictors=False, fit_intercept=True)
        m.fit(frame, y, offset=log_exposure)
    return np.asarray(m.coef_path_).T, np.asarray(m.intercept_path_, dtype=float)


SOLVERS = {"varnel": run_varnel, "glum": run_glum}


def child(solver: str, n: int) -> None:
    frame, y, off = problem(n)
    X = _design(frame)
    lambdas = penalties(X, y, off)
    small = slice(0, 2000)  # imports and first-call costs before the clock
    SOLVERS[solver](frame[small], y[small], off[small], lambdas[:3])
    before = reset_peak()
    start = time.perf_counter()
    coefs, a0 = SOLVERS[solver](frame, y, off, lambdas)
    took = time.perf_counter() - start
    peak = peak_bytes() - before
    objs = [objective(X, y, off, lam, a0[k], coefs[:, k]) for k, lam in enumerate(lambdas)]
    print(json.dumps({"time": took, "peak": peak, "p": int(X.shape[1]), "lambdas": len(lambdas),
                      "objectives": objs, "frame": int(frame.memory_usage(deep=True).sum())}))


def spawn(solver: str, n: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", solver, str(n)],
                         capture_output=True, text=True, env=dict(os.environ))
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr else "failed"}
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure(n: int, repeat: int, solvers, log=lambda msg: None) -> dict:
    out = {}
    for solver in solvers:
        log(f"categorical: {solver}, {n:,} rows")
        runs = [spawn(solver, n) for _ in range(repeat)]
        ok = [r for r in runs if "error" not in r]
        out[solver] = dict(ok[0], time=float(np.median([r["time"] for r in ok]))) if ok else runs[0]
    return out


def report(quick: bool, repeat: int, table, md: bool, log, rows: int | None = None,
           solvers=None) -> list[list[str]]:
    """Prints the table; returns the target check (varnel against glum)."""
    n = rows or (QUICK_ROWS if quick else ROWS)
    solvers = list(solvers or (["varnel"] + ([] if quick else ["glum"])))
    try:
        import glum  # noqa: F401
    except ImportError:
        solvers = [s for s in solvers if s != "glum"]
    results = measure(n, repeat, solvers, log)
    good = {s: r for s, r in results.items() if "error" not in r}
    best = np.min([r["objectives"] for r in good.values()], axis=0) if good else None
    body = []
    for solver, r in results.items():
        if "error" in r:
            body.append([solver, "failed: " + r["error"][:60], "", "", "", ""])
            continue
        excess = np.max((np.asarray(r["objectives"]) - best) / np.abs(best))
        body.append([solver, f"{r['time']:.3g} s", f"{1e3 * r['time'] / r['lambdas']:.3g} ms",
                     f"{r['peak'] / 2**20:.0f}", f"{excess:.1e}",
                     f"{r['time'] / good['varnel']['time']:.2f}" if "varnel" in good else "—"])
    first = next(iter(good.values()), {})
    print(f"Categorical Poisson path: {n:,} rows, {N_NUMERIC} numeric and {len(LEVELS)} categorical "
          f"columns ({'/'.join(map(str, LEVELS))} levels, {first.get('p', 0):,} columns expanded), "
          f"offset log exposure, {N_LAMBDA} lasso penalties; medians of {repeat} runs, each in a fresh "
          f"process; peak = growth of the resident set during the fit (the frame itself: "
          f"{first.get('frame', 0) / 2**20:.0f} MB):")
    if md:
        print()
    print(table(["solver", "time", "per lambda", "peak MB", "max rel. objective excess",
                 "time / varnel"], body, md, {1, 2, 3, 4, 5}))
    print()
    checks = []
    if "varnel" in good and "glum" in good:
        ratio = good["varnel"]["time"] / good["glum"]["time"]
        checks.append(["categorical", "<= 0.5 x glum's time", f"{ratio:.2f}",
                       "met" if ratio <= 0.5 else "MISSED"])
    if "varnel" in good:  # the frame: the numbers and the categories' integer codes
        ratio = good["varnel"]["peak"] / good["varnel"]["frame"]
        checks.append(["categorical", "peak <= 2 x the frame (codes and numbers)",
                       f"{ratio:.2f}", "met" if ratio <= 2 else "MISSED"])
    return checks


def _table(headers, body, md, right):
    lines = ["| " + " | ".join(headers) + " |", "|" + "|".join("---" for _ in headers) + "|"]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in body])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help=f"{QUICK_ROWS:,} rows, varnel alone")
    ap.add_argument("--rows", type=int, default=None, help=f"rows (default {ROWS:,})")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--solvers", default="", help="comma-separated subset of " + ",".join(SOLVERS))
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return 0
    checks = report(args.quick, args.repeat, _table, True, lambda msg: print(msg, file=sys.stderr),
                    args.rows, [x for x in args.solvers.split(",") if x])
    for name, goal, value, status in checks:
        print(f"{name}: {goal}: {value}, {status}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
