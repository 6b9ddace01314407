"""Cross-validation side by side: varnel.cv_path against scikit-learn's and
glum's cross-validated estimators on the same data, folds and penalty grid.

Every run is a child process of its own, so that its peak resident memory
(VmHWM) is its alone; the table gives the median wall time of --repeat runs
(each run in a fresh child), the peak memory over the data's own size, the
chosen penalty and the objective there, relative to the best objective any
solver reached at that penalty on the whole data:

    gaussian  F(a0, b) = 1/(2n) ||y - a0 - X b||^2 + lam ||b||_1
    binomial  F(a0, b) = 1/n sum log(1 + e^eta) - y eta + lam ||b||_1
    poisson   F(a0, b) = 1/n sum e^eta - y eta + lam ||b||_1

X is standardised once here (population scale 1), so every solver fits it
without standardising.  Rows: `python benchmarks/bench_cv.py [--quick]
[--only gauss-100k,logistic] [--repeat 3]`, or `python benchmarks/run.py
--only cv` (also part of a full run).  Threads: the "1 core" rows set every
pool to one thread (varnel n_jobs=1); the "2 cores" rows give varnel its
defaults (every core) and the peers n_jobs=2, with the BLAS/OpenMP limits at
2.  --quick runs varnel alone on small sizes.

Besides varnel's cross-validation the reweighting problems have two rows of
reference: "varnel cold folds", the same call with every fold's path
started from its own previous solution (as before the folds started from
the full-data solutions), and "varnel one path", a single fit_path on all
the rows over the same penalties (the unit of the "at most 4 paths" goal).
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

NFOLDS = 10

# name -> (family, n, p, nlambda, lambda_min_ratio)
PROBLEMS = {
    "gauss-100k": ("gaussian", 100_000, 50, 100, 1e-3),
    "gauss-1m": ("gaussian", 1_000_000, 50, 100, 1e-3),
    "gauss-10k": ("gaussian", 10_000, 1_000, 100, 1e-3),
    "logistic": ("binomial", 20_000, 200, 20, 1e-2),
    "poisson": ("poisson", 20_000, 200, 20, 1e-2),
    "logistic-200k": ("binomial", 200_000, 50, 20, 1e-2),
    "poisson-200k": ("poisson", 200_000, 50, 20, 1e-2),
}
QUICK = {"gauss-100k": (5_000, 20), "gauss-1m": (20_000, 10), "gauss-10k": (1_000, 100),
         "logistic": (2_000, 40), "poisson": (2_000, 40), "logistic-200k": (5_000, 20),
         "poisson-200k": (5_000, 20)}
# the performance goals: varnel on one core against the best peer on one core
TARGETS = {"gauss-100k": 0.2, "gauss-1m": 0.2, "gauss-10k": 0.3, "logistic": 0.08, "poisson": 0.15,
           "logistic-200k": 0.15, "poisson-200k": 0.15}
PATHS_TARGET = 4.0  # varnel's cross-validation on one core over one full-data path
MEMORY_TARGET = 1.5  # (X + the growth of the resident set during cv_path) / X


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
    elif family == "binomial":
        y = (rng.random(n) < 1.0 / (1.0 + np.exp(0.5 - eta))).astype(float)
        lam_max = np.abs(X.T @ (y - y.mean())).max() / n
    else:
        y = rng.poisson(np.exp(0.5 + 0.7 * eta / np.std(eta))).astype(float)
        lam_max = np.abs(X.T @ (y - y.mean())).max() / n
    lambdas = np.geomspace(lam_max, ratio * lam_max, nlambda)
    foldid = np.random.default_rng(3).permutation(np.arange(n) % NFOLDS)
    return family, X, y, lambdas, foldid


def objective(family, X, y, lam, a0, b):
    eta = X @ b + a0
    if family == "gaussian":
        loss = 0.5 * np.mean((y - eta) ** 2)
    elif family == "binomial":
        loss = np.mean(np.logaddexp(0.0, eta) - y * eta)
    else:
        loss = np.mean(np.exp(eta) - y * eta)
    return loss + lam * np.abs(b).sum()


def _splits(foldid):
    return [(np.flatnonzero(foldid != k), np.flatnonzero(foldid == k)) for k in range(NFOLDS)]


def run_varnel(family, X, y, lambdas, foldid, cores):
    import varnel

    fam = {"binomial": "logistic"}.get(family, family)
    cvp = varnel.cv_path(X, y, fam, foldid=foldid, user_lambda=lambdas, standardize=False,
                         n_jobs=1 if cores == 1 else None)
    lam = cvp.lambda_min
    return lam, float(np.ravel(cvp.intercept(lam))[0]), np.ravel(cvp.coef(lam))


def run_varnel_cold(family, X, y, lambdas, foldid, cores):
    from varnel import cv

    cv.WARM_START_VALUES = -1  # no fold starts from the full-data path
    return run_varnel(family, X, y, lambdas, foldid, cores)


def run_varnel_path(family, X, y, lambdas, foldid, cores):
    import varnel

    fam = {"binomial": "logistic"}.get(family, family)
    path = varnel.fit_path(X, y, fam, user_lambda=lambdas, standardize=False)
    lam = path.lambdas[-1]
    return lam, float(np.ravel(path.intercept(lam))[0]), np.ravel(path.coef(lam))


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
        m = GeneralizedLinearRegressorCV(family={"gaussian": "normal"}.get(family, family),
                                         l1_ratio=[1.0], alphas=lambdas, cv=_splits(foldid),
                                         n_jobs=cores, scale_predictors=False).fit(X, y)
    return float(m.alpha_), float(m.intercept_), np.ravel(m.coef_)


SOLVERS = {"varnel": run_varnel, "varnel cold folds": run_varnel_cold,
           "varnel one path": run_varnel_path, "LassoCV": run_lassocv,
           "LogisticRegressionCV-saga": run_saga, "glum-CV": run_glum}
#: varnel's reference rows (not peers) of the reweighting families, and the
#: cores each runs on
REFERENCES = {"varnel cold folds": (1, 2), "varnel one path": (1,)}
PEERS = {"gaussian": ["LassoCV"], "binomial": ["LogisticRegressionCV-saga", "glum-CV"],
         "poisson": ["glum-CV"]}
PEERS_ALL = sorted({s for names in PEERS.values() for s in names})
#: the slow saga peer runs on the problem it was first measured on only
SKIP = {("LogisticRegressionCV-saga", "logistic-200k")}


def child(name: str, solver: str, cores: int, quick: bool) -> None:
    family, X, y, lambdas, foldid = problem(name, quick)
    # imports and first-call costs before the clock and the memory baseline
    small = slice(0, 20 * NFOLDS)
    SOLVERS[solver](family, X[small], y[small], lambdas[:3], foldid[small], cores)
    before = reset_peak()
    start = time.perf_counter()
    lam, a0, b = SOLVERS[solver](family, X, y, lambdas, foldid, cores)
    took = time.perf_counter() - start
    peak = peak_bytes()
    print(json.dumps({"time": took, "peak": peak - before, "x": X.nbytes, "lambda": lam,
                      "objective": objective(family, X, y, lam, a0, b)}))


def spawn(name, solver, cores, quick) -> dict:
    env = dict(os.environ)
    for v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[v] = str(cores)
    out = subprocess.run([sys.executable, __file__, "--child", name, solver, str(cores)]
                         + (["--quick"] if quick else []), capture_output=True, text=True, env=env)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr else "failed"}
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure(names, quick: bool, repeat: int, log=lambda msg: None, peers=None) -> dict:
    """name -> [(solver, cores, median run)], every run a child process;
    ``peers``: the peers to run (None: every one)."""
    out = {}
    for name in names:
        family = PROBLEMS[name][0]
        rows = []
        refs = [] if family == "gaussian" else list(REFERENCES)
        chosen = [] if quick else [s for s in PEERS[family] if (s, name) not in SKIP
                                   and (peers is None or s in peers)]
        for solver in ["varnel"] + refs + chosen:
            for cores in REFERENCES.get(solver, (1, 2)):
                log(f"cv {name}: {solver}, {cores} core(s)")
                runs = [spawn(name, solver, cores, quick) for _ in range(repeat)]
                ok = [r for r in runs if "error" not in r]
                if not ok:
                    rows.append((solver, cores, {"error": runs[0]["error"]}))
                    continue
                rows.append((solver, cores, dict(ok[0], time=float(np.median([r["time"] for r in ok])))))
        out[name] = rows
    return out


def report(quick: bool, repeat: int, table, md: bool, log, names=None, peers=None
           ) -> list[list[str]]:
    """Prints the cross-validation table; returns the target checks."""
    results = measure(names or list(PROBLEMS), quick, repeat, log, peers)
    body, checks = [], []
    for name, rows in results.items():
        family, n, p = PROBLEMS[name][:3]
        if quick:
            n, p = QUICK[name]
        good = [(s, c, r) for s, c, r in rows if "error" not in r]
        base = next((r["time"] for s, c, r in good if s == "varnel" and c == 1), None)
        best = {}
        for _, _, r in good:
            best[r["lambda"]] = min(best.get(r["lambda"], np.inf), r["objective"])
        for solver, cores, r in rows:
            if "error" in r:
                body.append([name, solver, str(cores), "failed: " + r["error"][:60], "", "", "", ""])
                continue
            body.append([f"{name} ({n:,} x {p:,})", solver, str(cores), f"{r['time']:.3g} s",
                         f"{r['time'] / base:.2f}" if base else "—", f"{(r['x'] + r['peak']) / r['x']:.2f}",
                         f"{r['lambda']:.3g}", f"{(r['objective'] - best[r['lambda']]) / best[r['lambda']]:.1e}"])
        one = {s: r for s, c, r in good if c == 1}
        two = {s: r for s, c, r in good if c == 2}
        peers = [r["time"] for s, r in one.items() if not s.startswith("varnel")]
        if "varnel" in one and peers:
            ratio = one["varnel"]["time"] / min(peers)
            checks.append([f"cv {name}", f"<= {TARGETS[name]} x best peer (1 core)", f"{ratio:.2f}",
                           "met" if ratio <= TARGETS[name] else "MISSED"])
        if "varnel" in one and "varnel one path" in one:
            paths = one["varnel"]["time"] / one["varnel one path"]["time"]
            checks.append([f"cv {name}", f"<= {PATHS_TARGET:g} x one full-data path (1 core)",
                           f"{paths:.2f}", "met" if paths <= PATHS_TARGET else "MISSED"])
        if "varnel" in one and "varnel" in two:
            speedup = one["varnel"]["time"] / two["varnel"]["time"]
            checks.append([f"cv {name}", ">= 1.7 x own one-core speed on 2 cores", f"{speedup:.2f}",
                           "met" if speedup >= 1.7 else "MISSED"])
        if name == "gauss-1m" and "varnel" in one:
            mem = (one["varnel"]["x"] + one["varnel"]["peak"]) / one["varnel"]["x"]
            checks.append([f"cv {name}", f"peak <= {MEMORY_TARGET} x X", f"{mem:.2f}",
                           "met" if mem <= MEMORY_TARGET else "MISSED"])
    print(f"Cross-validation, {NFOLDS} folds, the same folds and penalties for every solver; medians of "
          f"{repeat} runs, each in a fresh process; peak = (X + growth of the resident set) / X; objective "
          "at the chosen lambda on the whole data, relative to the best any solver reached there:")
    if md:
        print()
    print(table(["problem", "solver", "cores", "time", "time / varnel 1 core", "peak / X", "chosen lambda",
                 "rel. objective - best"], body, md, {2, 3, 4, 5, 6, 7}))
    print()
    return checks


def turns(names, repeat: int, quick: bool = False) -> None:
    """varnel's cross-validation, the same with cold folds and one path, on
    one core in this one process, taking turns round by round (so that a
    change of the machine's load falls on all three alike): the medians,
    and the passes of the fits (full-data path and folds) of each kind."""
    import varnel
    from varnel import cv
    from varnel._sources import _memory

    os.environ["OMP_NUM_THREADS"] = "1"
    limit = cv.WARM_START_VALUES
    passes: list = []
    original = _memory._fit.solve

    def counted(*a, **k):
        out = original(*a, **k)
        passes.append(out.npasses)
        return out

    _memory._fit.solve = counted
    print("| problem | one path | cross-validation | with cold folds | CV / path | cold / CV | "
          "passes of a fold (warm, cold; the full path) |")
    print("|:---|---:|---:|---:|---:|---:|:---|")
    for name in names:
        family, X, y, lambdas, foldid = problem(name, quick)
        fam = {"binomial": "logistic"}.get(family, family)
        times: dict = {"path": [], "warm": [], "cold": []}
        fold_passes: dict = {}
        for _ in range(repeat):
            for kind in times:
                cv.WARM_START_VALUES = -1 if kind == "cold" else limit
                passes.clear()
                start = time.perf_counter()
                if kind == "path":
                    full = varnel.fit_path(X, y, fam, user_lambda=lambdas, standardize=False)
                else:
                    varnel.cv_path(X, y, fam, foldid=foldid, user_lambda=lambdas, standardize=False,
                                   n_jobs=1)
                    fold_passes[kind] = float(np.median(passes))
                times[kind].append(time.perf_counter() - start)
        t = {k: float(np.median(v)) for k, v in times.items()}
        print(f"| {name} | {t['path']:.3g} s | {t['warm']:.3g} s | {t['cold']:.3g} s | "
              f"{t['warm'] / t['path']:.2f} | {t['cold'] / t['warm']:.2f} | "
              f"{fold_passes['warm']:.0f}, {fold_passes['cold']:.0f}; {full.npasses} |", flush=True)


def _table(headers, body, md, right):
    lines = ["| " + " | ".join(headers) + " |", "|" + "|".join("---" for _ in headers) + "|"]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in body])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default=",".join(PROBLEMS))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--child", nargs=3)
    ap.add_argument("--peers", default=None, help="comma-separated peers (default: every one)")
    ap.add_argument("--turns", action="store_true",
                    help="varnel, its cold folds and one path taking turns in one process, one core")
    args = ap.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]), args.quick)
        return 0
    if args.turns:
        turns(args.only.split(","), args.repeat, args.quick)
        return 0
    checks = report(args.quick, args.repeat, _table, True, lambda msg: print(msg, file=sys.stderr),
                    args.only.split(","), None if args.peers is None else args.peers.split(","))
    print(_table(["problem", "goal", "measured", "status"], checks, True, set()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
