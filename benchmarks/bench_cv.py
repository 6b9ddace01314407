"""Cross-validation side by side: varnel.cv_path against scikit-learn's and
glum's cross-validated estimators on the same data, folds and penalty grid.

Every run is a child process of its own, so that its peak resident memory
(VmHWM) is its alone; the table gives the median wall time of --repeat runs
(each run in a fresh child), the peak memory over the data's own size, the
chosen penalty and the objective there, relative to the best objective any
solver reached at that penalty on the whole data:

    gaussian  F(a0, b) = 1/(2n) ||y - a0 - X b||^2 + lam ||b||_1
    binomial  F(a0, b) = 1/n sum log(1 + e^eta) - y eta + lam ||b||_1

X is standardised once here (population scale 1), so every solver fits it
without standardising.  Rows: `python benchmarks/bench_cv.py [--quick]
[--only gauss-100k,logistic] [--repeat 3]`.  Threads: the "1 core" rows set
every pool to one thread (varnel n_jobs=1, n_threads 1); the "2 cores" rows
give varnel its defaults (every core) and the peers n_jobs=2.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

NFOLDS = 10

# name -> (family, n, p, nlambda, lambda_min_ratio)
PROBLEMS = {
    "gauss-100k": ("gaussian", 100_000, 50, 100, 1e-3),
    "gauss-10k": ("gaussian", 10_000, 1_000, 100, 1e-3),
    "logistic": ("binomial", 20_000, 200, 20, 1e-2),
}
QUICK = {"gauss-100k": (5_000, 20), "gauss-10k": (1_000, 100), "logistic": (2_000, 40)}


def problem(name: str, quick: bool):
    family, n, p, nlambda, ratio = PROBLEMS[name]
    if quick:
        n, p = QUICK[name]
    rng = np.random.default_rng(7)
    X = rng.standard_normal((n, p))
    X[:, 1:] = 0.5 * X[:, :-1] + np.sqrt(0.75) * X[:, 1:]  # AR(1)-like neighbours
    X = np.asfortranarray((X - X.mean(0)) / X.std(0))
    beta = np.zeros(p)
    beta[: min(20, p)] = rng.choice([-1.0, 1.0], min(20, p)) * rng.uniform(0.3, 1.0, min(20, p))
    eta = X @ beta
    if family == "gaussian":
        y = eta + rng.standard_normal(n) * np.std(eta) / np.sqrt(3.0)
        lam_max = np.abs(X.T @ (y - y.mean())).max() / n
    else:
        y = (rng.random(n) < 1.0 / (1.0 + np.exp(0.5 - eta))).astype(float)
        lam_max = np.abs(X.T @ (y - y.mean())).max() / n
    lambdas = np.geomspace(lam_max, ratio * lam_max, nlambda)
    foldid = np.random.default_rng(3).permutation(np.arange(n) % NFOLDS)
    return family, X, y, lambdas, foldid


def objective(family, X, y, lam, a0, b):
    eta = X @ b + a0
    if family == "gaussian":
        loss = 0.5 * np.mean((y - eta) ** 2)
    else:
        loss = np.mean(np.logaddexp(0.0, eta) - y * eta)
    return loss + lam * np.abs(b).sum()


def _splits(foldid):
    return [(np.flatnonzero(foldid != k), np.flatnonzero(foldid == k)) for k in range(NFOLDS)]


def run_varnel(family, X, y, lambdas, foldid, cores):
    import varnel

    fam = "gaussian" if family == "gaussian" else "logistic"
    cvp = varnel.cv_path(X, y, fam, foldid=foldid, user_lambda=lambdas, standardize=False,
                         n_jobs=1 if cores == 1 else None)
    lam = cvp.lambda_min
    return lam, float(np.ravel(cvp.intercept(lam))[0]), np.ravel(cvp.coef(lam))


def run_lassocv(family, X, y, lambdas, foldid, cores):
    from sklearn.linear_model import LassoCV

    m = LassoCV(alphas=lambdas, cv=_splits(foldid), n_jobs=cores, tol=1e-4).fit(X, y)
    return m.alpha_, m.intercept_, m.coef_


def run_saga(family, X, y, lambdas, foldid, cores):
    import inspect
    import warnings

    from sklearn.linear_model import LogisticRegression, LogisticRegressionCV

    # newer releases spell the l1 penalty as l1_ratio 1
    deprecated = inspect.signature(LogisticRegression).parameters["penalty"].default == "deprecated"
    kw = {"l1_ratios": [1.0]} if deprecated else {"penalty": "l1"}
    n = X.shape[0]
    # sklearn: C sum loss + ||b||_1, so C = 1 / (n lam) (the same penalty)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = LogisticRegressionCV(Cs=1.0 / (n * lambdas), cv=_splits(foldid), solver="saga", tol=1e-4,
                                 max_iter=1000, n_jobs=cores, **kw).fit(X, y)
    return 1.0 / (n * float(np.ravel(m.C_)[0])), float(m.intercept_[0]), np.ravel(m.coef_)


def run_glum(family, X, y, lambdas, foldid, cores):
    import warnings

    from glum import GeneralizedLinearRegressorCV

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = GeneralizedLinearRegressorCV(family="binomial" if family == "binomial" else "normal",
                                         l1_ratio=[1.0], alphas=lambdas, cv=_splits(foldid),
                                         n_jobs=cores, scale_predictors=False).fit(X, y)
    return float(m.alpha_), float(m.intercept_), np.ravel(m.coef_)


SOLVERS = {"varnel": run_varnel, "LassoCV": run_lassocv, "LogisticRegressionCV-saga": run_saga,
           "glum-CV": run_glum}
PEERS = {"gaussian": ["LassoCV"], "binomial": ["LogisticRegressionCV-saga", "glum-CV"]}


def child(name: str, solver: str, cores: int, quick: bool) -> None:
    family, X, y, lambdas, foldid = problem(name, quick)
    # imports and first-call costs before the clock and the memory baseline
    small = slice(0, 20 * NFOLDS)
    SOLVERS[solver](family, X[small], y[small], lambdas[:3], foldid[small], cores)
    before = _hwm_reset()
    start = time.perf_counter()
    lam, a0, b = SOLVERS[solver](family, X, y, lambdas, foldid, cores)
    took = time.perf_counter() - start
    peak = _hwm_kb() * 1024
    print(json.dumps({"time": took, "peak": peak - before, "x": X.nbytes, "lambda": lam,
                      "objective": objective(family, X, y, lam, a0, b)}))


def _hwm_kb() -> int:
    with open("/proc/self/status") as fh:
        return int(next(line for line in fh if line.startswith("VmHWM")).split()[1])


def _hwm_reset() -> int:
    """Resets the peak to the present resident size (Linux), returns it in bytes."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    return _hwm_kb() * 1024


def spawn(name, solver, cores, quick) -> dict:
    env = dict(os.environ)
    if cores == 1:
        for v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[v] = "1"
    out = subprocess.run([sys.executable, __file__, "--child", name, solver, str(cores)]
                         + (["--quick"] if quick else []), capture_output=True, text=True, env=env)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr else "failed"}
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default=",".join(PROBLEMS))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--child", nargs=3)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]), args.quick)
        return 0
    print("| problem | solver | cores | time s | vs varnel 1 core | peak / X | lambda | objective - best |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    for name in args.only.split(","):
        family = PROBLEMS[name][0]
        rows = []
        for solver in ["varnel"] + PEERS[family]:
            for cores in (1, 2):
                runs = [spawn(name, solver, cores, args.quick) for _ in range(args.repeat)]
                ok = [r for r in runs if "error" not in r]
                if not ok:
                    print(f"| {name} | {solver} | {cores} | failed: {runs[0]['error']} |||||", flush=True)
                    continue
                r = dict(ok[0], time=float(np.median([r["time"] for r in ok])))
                rows.append((solver, cores, r))
        base = next((r["time"] for s, c, r in rows if s == "varnel" and c == 1), None)
        best = {}
        for _, _, r in rows:
            best[r["lambda"]] = min(best.get(r["lambda"], np.inf), r["objective"])
        for solver, cores, r in rows:
            rel = r["objective"] - best[r["lambda"]]
            print(f"| {name} | {solver} | {cores} | {r['time']:.2f} | {r['time'] / base:.2f}x | "
                  f"{r['peak'] / r['x']:.2f} | {r['lambda']:.3g} | {rel:.1e} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
