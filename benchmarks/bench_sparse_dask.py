"""A text-scale logistic model on sparse Dask blocks: varnel on the blocks,
varnel on the same matrix in memory, and dask-ml's LogisticRegression.

The data: n rows of nnz terms each, drawn from p columns with a power-law
(Zipf, exponent 1.1) frequency, as bag-of-words features are; values are
term counts (1 to 3).  The label is drawn from a logistic model on 40 of
the 400 most frequent columns.  The blocks (CSR, n / blocks rows each) are
generated on the workers of a LocalCluster and persisted there, so that
every fit reads the same blocks from the workers' memory.

Fits, side by side in one run (standardize=False throughout, so that every
library minimises the same objective, -mean log-likelihood + lambda |b|_1):

  * varnel's lasso path on the Dask blocks (nlambda penalties down to
    lambda_min_ratio; one pass per reweighting step, each block sending the
    strong set's products only);
  * varnel's path on the computed CSR matrix in memory, at the same lambdas;
  * dask-ml's LogisticRegression (penalty="l1", C = 1 / (n lambda), solvers
    "admm" and "proximal_grad") at two penalties of varnel's path.  It
    cannot fit scipy.sparse blocks (its solvers concatenate and index the
    blocks as dense arrays): it is given them first, and on its failure the
    same blocks densified when X fits in DENSE_LIMIT bytes (noted in the
    table); else its failure is reported.

Reported: wall time, passes over the blocks (Path.npasses_data), the largest
difference between the Dask and in-memory coefficients, and each fit's
objective at the compared penalties relative to the best any solver reached.
"""

from __future__ import annotations

import time
from typing import Any, Dict, List, Tuple

import numpy as np

TARGET = (2_000_000, 200_000)  # the goal's size, 20 non-zeros per row in 20 blocks
DEFAULT = (200_000, 20_000)    # what a shared 2-core machine runs (see README.md)
QUICK = (20_000, 2_000)
NNZ, BLOCKS = 20, 20
NLAMBDA, LAMBDA_MIN_RATIO = 20, 0.1
DENSE_LIMIT = 4e8  # the largest X densified for dask-ml
DASK_ML_ITER = 20  # dask-ml's max_iter (its admm takes minutes per iteration batch here)


def _columns(p: int) -> np.ndarray:
    """The columns' sampling probabilities: a Zipf law of exponent 1.1."""
    f = 1.0 / np.arange(1, p + 1) ** 1.1
    return f / f.sum()


def _beta(p: int) -> np.ndarray:
    rng = np.random.default_rng(1)
    beta = np.zeros(p)
    cols = rng.choice(min(p, 400), 40, replace=False)
    beta[cols] = rng.uniform(0.3, 1.0, 40) * rng.choice([-1.0, 1.0], 40)
    return beta


def _block(rows: int, p: int, seed: int):
    """One block's rows (CSR) and labels, from its own seed."""
    import scipy.sparse as sp

    rng = np.random.default_rng(seed)
    cols = rng.choice(p, size=(rows, NNZ), p=_columns(p))
    x = sp.csr_matrix((rng.integers(1, 4, rows * NNZ).astype(np.float64), cols.ravel(),
                       np.arange(0, rows * NNZ + 1, NNZ)), shape=(rows, p))
    x.sum_duplicates()
    eta = x @ _beta(p) - 0.5
    y = (rng.random(rows) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
    return x, y


def make(n: int, p: int):
    """X (Dask array of CSR blocks) and y, generated on the workers."""
    import dask
    import dask.array as da
    import scipy.sparse as sp

    rows = n // BLOCKS
    parts = [dask.delayed(_block)(rows, p, 100 + b) for b in range(BLOCKS)]
    X = da.concatenate([da.from_delayed(part[0], (rows, p), dtype=np.float64,
                                        meta=sp.csr_matrix((0, 0))) for part in parts])
    y = da.concatenate([da.from_delayed(part[1], (rows,), dtype=np.float64) for part in parts])
    return X, y


def objective(X, y, coefs: np.ndarray, a0: np.ndarray, lambdas: np.ndarray) -> np.ndarray:
    """-mean log-likelihood + lambda |b|_1 of each solution (columns), one pass."""
    import dask.array as da

    def losses(x, yb):
        eta = np.asarray(x @ coefs) + a0
        return (np.logaddexp(0.0, eta) - yb * eta).sum(axis=0)[None]

    parts = da.map_blocks(losses, X, y[:, None], dtype=float,
                          chunks=((1,) * X.numblocks[0], (coefs.shape[1],)))
    return parts.sum(axis=0).compute() / X.shape[0] + lambdas * np.abs(coefs).sum(axis=0)


def measure(n: int, p: int, log) -> Dict[str, Any]:
    import distributed
    import scipy.sparse as sp

    import varnel

    out: Dict[str, Any] = {"fits": []}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="4GB",
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        X, y = make(n, p)
        t0 = time.perf_counter()
        X, y = X.persist(), y.persist()
        distributed.wait([X, y])
        log(f"sparse-dask: generated {n:,} x {p:,} on the workers in {time.perf_counter() - t0:.1f} s")
        t0 = time.perf_counter()
        path = varnel.fit_path(X, y, "logistic", standardize=False, nlambda=NLAMBDA,
                               lambda_min_ratio=LAMBDA_MIN_RATIO)
        t_dask = time.perf_counter() - t0
        log(f"  varnel on the blocks: {t_dask:.1f} s, {path.npasses_data} passes")
        x_mem, y_mem = sp.csr_matrix(X.compute()), y.compute()
        t0 = time.perf_counter()
        memory = varnel.fit_path(x_mem, y_mem, "logistic", standardize=False,
                                 user_lambda=path.lambdas)
        t_mem = time.perf_counter() - t0
        log(f"  varnel in memory: {t_mem:.1f} s")
        dense = lambda c: np.asarray(c.toarray() if hasattr(c, "toarray") else c)  # noqa: E731
        compared = [len(path.lambdas) // 2, len(path.lambdas) - 1]
        lams = path.lambdas[compared]
        candidates: List[Tuple[str, float, str, np.ndarray, np.ndarray]] = [
            ("varnel, Dask blocks", t_dask, f"{path.npasses_data} passes, whole path of "
             f"{path.n_lambdas}", dense(path.coefs)[:, compared], path.intercepts[compared]),
            ("varnel, in memory", t_mem, f"whole path of {memory.n_lambdas}",
             dense(memory.coefs)[:, compared], memory.intercepts[compared])]
        out["difference"] = float(np.abs(dense(path.coefs) - dense(memory.coefs)).max())
        try:
            from dask_ml.linear_model import LogisticRegression
        except ImportError:
            LogisticRegression = None
            out["skipped"] = "dask-ml (not installed)"
        for solver in ("admm", "proximal_grad") if LogisticRegression else ():
            coefs, a0, secs, note = [], [], 0.0, f"{len(lams)} fits, max_iter={DASK_ML_ITER}"
            try:
                try:
                    LogisticRegression(penalty="l1", C=1.0 / (n * lams[0]), solver=solver,
                                       max_iter=1).fit(X, y)
                    given = X
                except Exception as exc:
                    if n * p * 8 > DENSE_LIMIT:
                        raise
                    given = X.map_blocks(lambda b: b.toarray(), meta=np.zeros((0, 0))).persist()
                    distributed.wait(given)
                    note += f"; densified blocks (sparse ones fail: {type(exc).__name__})"
                for lam in lams:
                    est = LogisticRegression(penalty="l1", C=1.0 / (n * lam), solver=solver,
                                             max_iter=DASK_ML_ITER)
                    t0 = time.perf_counter()
                    est.fit(given, y)
                    secs += time.perf_counter() - t0
                    coefs.append(np.ravel(est.coef_))
                    a0.append(float(np.ravel(est.intercept_)[0]))
                    log(f"  dask-ml {solver} at lambda {lam:.3g}: {time.perf_counter() - t0:.1f} s")
                candidates.append((f"dask-ml LogisticRegression {solver}", secs, note,
                                   np.column_stack(coefs), np.array(a0)))
            except Exception as exc:  # a peer that cannot fit sparse blocks is reported
                out["fits"].append((f"dask-ml LogisticRegression {solver}", None,
                                    f"failed: {type(exc).__name__}: {str(exc)[:60]}", None))
        for name, secs, note, coefs, a0 in candidates:
            out["fits"].append((name, secs, note, objective(X, y, coefs, a0, lams)))
        out["lambdas"] = lams
    return out


def report(quick: bool, repeat: int, table, md: bool, log, size=None) -> List[List[str]]:
    """Prints the table; returns the target checks."""
    n, p = size or (QUICK if quick else DEFAULT)
    try:
        import distributed  # noqa: F401
        import scipy.sparse  # noqa: F401
    except ImportError as exc:
        print(f"Sparse Dask blocks: skipped ({exc.name} is not installed)\n")
        return []
    res = measure(n, p, log)
    good = [f for f in res["fits"] if f[3] is not None]
    best = np.min([f[3] for f in good], axis=0)
    base = next(f[1] for f in res["fits"] if f[0] == "varnel, Dask blocks")
    body = []
    for name, secs, note, obj in res["fits"]:
        excess = "—" if obj is None else " ".join(f"{e:.1e}" for e in (obj - best) / np.abs(best))
        body.append([name, "—" if secs is None else f"{secs:.2f} s",
                     "—" if secs is None else f"{secs / base:.2f}", excess, note])
    lams = " and ".join(f"{v:.3g}" for v in res["lambdas"])
    print(f"Sparse Dask blocks: logistic lasso on {n:,} x {p:,}, {NNZ} non-zeros per row, {BLOCKS} CSR "
          f"blocks on a LocalCluster of 2 workers x 1 thread (the goal's size is {TARGET[0]:,} x "
          f"{TARGET[1]:,}); objective excess at lambda = {lams} relative to the best; Dask and "
          f"in-memory coefficients differ by at most {res['difference']:.1e}:")
    if md:
        print()
    print(table(["solver", "time", "time / varnel Dask", "objective excess", "notes"], body, md, {1, 2}))
    if res.get("skipped"):
        print("Skipped: " + res["skipped"])
    print()
    fine = res["difference"] <= 1e-5
    return [["sparse-dask", "Dask fit equals the in-memory fit (coefficients within 1e-5)",
             f"{res['difference']:.1e}", "met" if fine else "MISSED"]]
