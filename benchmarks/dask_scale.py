"""Data larger than memory: paths on a file-backed array through Dask.

Writes an n x p float64 array (standard normal columns, chunked by rows, no
compression) with a Gaussian and a 0/1 response to a zarr store, opens it
with dask.array on a LocalCluster whose workers together may hold less than
X, and times, on the same data and cluster:

  * varnel's Gaussian path (one pass), its cross-validation (one pass for
    every fold), and its logistic path (a pass per reweighting step);
  * dask-ml's LinearRegression and LogisticRegression (penalty="l1",
    solver="admm" and "proximal_grad") at a few penalties of our path;
  * fit_path in memory on the first --reference-rows rows, the
    single-machine reference.

For every fit: wall time, passes over the data (varnel's Path.npasses_data),
the peak resident memory of the largest worker and of the client (growth
over the fit) and the objective at the compared penalties,
(1/2) mean (y - a0 - x'b)^2 + lambda |b|_1 for least squares and
-mean log-likelihood + lambda |b|_1 for the logistic family (standardize=False
throughout, so that every library minimises the same objective; dask-glm's
lamduh is 2 n lambda for its sum of squares and n lambda for its summed
log-likelihood).  The objectives come from one more pass over the data.

    python benchmarks/dask_scale.py                      # 1.5e7 x 100 (12 GB), 2 workers of 3 GB
    python benchmarks/dask_scale.py --rows 2000000 --memory-limit 600MB --nlambda 30
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import time
import warnings

for _v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_v, "1")

import numpy as np  # noqa: E402


def status_kb(field: str) -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak() -> int:
    """Resets this process's VmHWM to its current RSS (Linux); the RSS in kB."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    return status_kb("VmRSS")


def write_store(path: str, n: int, p: int, chunk: int, log) -> None:
    """X with unit-variance columns, y = X b + noise (20 nonzeros, SNR 3) and a
    logistic 0/1 label from X b, written block by block."""
    import dask.array as da

    if os.path.exists(os.path.join(path, "done")):
        log(f"reusing {path}")
        return
    shutil.rmtree(path, ignore_errors=True)
    rng = da.random.default_rng(0)
    X = rng.standard_normal((n, p), chunks=(chunk, p))
    beta = np.zeros(p)
    beta[:20] = np.linspace(1.0, 0.2, 20) * np.where(np.arange(20) % 2, -1, 1)
    eta = X @ beta
    sd = float(np.sqrt(beta @ beta / 3.0))
    y = eta + sd * rng.standard_normal(n, chunks=chunk)
    label = (rng.random(n, chunks=chunk) < 1.0 / (1.0 + da.exp(-eta))).astype(np.float64)
    t0 = time.perf_counter()
    da.to_zarr(X, path, component="X", compute=True, overwrite=True, compressors=None)
    da.to_zarr(da.stack([y, label], axis=1), path, component="y", compute=True, overwrite=True,
               compressors=None)
    open(os.path.join(path, "done"), "w").close()
    log(f"wrote {X.nbytes / 1e9:.1f} GB to {path} in {time.perf_counter() - t0:.0f} s")


def losses(x, y, coefs, a0, logistic):
    """The block's summed losses of every solution (columns of coefs)."""
    eta = x @ coefs + a0
    if logistic:
        return (np.logaddexp(0.0, eta) - y[:, None] * eta).sum(axis=0)
    return 0.5 * ((y[:, None] - eta) ** 2).sum(axis=0)


def objectives(X, y, coefs, a0, lambdas, logistic) -> np.ndarray:
    """Each solution's objective at its lambda, in one pass."""
    import dask.array as da

    parts = da.map_blocks(lambda xb, yb: losses(xb, yb[:, 0], coefs, a0, logistic)[None], X, y[:, None],
                          dtype=float, chunks=((1,) * X.numblocks[0], (coefs.shape[1],)))
    mean = parts.sum(axis=0).compute() / X.shape[0]
    return mean + lambdas * np.abs(coefs).sum(axis=0)


class Meter:
    """Wall time and the peak RSS growth of the largest worker and of the client."""

    def __init__(self, client):
        self.client = client

    def __enter__(self):
        self.base = self.client.run(reset_peak)
        self.client_base = reset_peak()
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.t0
        peaks = self.client.run(status_kb, "VmHWM")
        self.worker_mb = max(peaks[w] - self.base[w] for w in peaks) / 1024
        self.worker_peak_mb = max(peaks.values()) / 1024
        self.client_mb = (status_kb("VmHWM") - self.client_base) / 1024


def dask_ml_fits(X, y, lambdas, logistic, max_iter, solvers, log):
    """dask-ml's L1 fits at each lambda, per solver: (name, seconds, worker MB, coefs, a0)."""
    from dask_ml.linear_model import LinearRegression, LogisticRegression

    n = X.shape[0]
    model = LogisticRegression if logistic else LinearRegression
    out = []
    for solver in solvers:
        coefs, a0, secs, mb = [], [], 0.0, 0.0
        for lam in lambdas:
            lamduh = (1.0 if logistic else 2.0) * n * lam
            est = model(penalty="l1", C=1.0 / lamduh, solver=solver, max_iter=max_iter)
            with Meter(_client()) as m:
                est.fit(X, y)
            secs, mb = secs + m.seconds, max(mb, m.worker_mb)
            coefs.append(np.ravel(est.coef_))
            a0.append(float(np.ravel(est.intercept_)[0]))
            log(f"  dask-ml {solver} lambda {lam:.3g}: {m.seconds:.1f} s")
        name = f"dask-ml {model.__name__} {solver}, max_iter={max_iter}, {len(lambdas)} fits"
        out.append((name, secs, mb, np.column_stack(coefs), np.array(a0)))
    return out


def _client():
    from distributed import get_client

    return get_client()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=15_000_000)
    ap.add_argument("--cols", type=int, default=100)
    ap.add_argument("--chunk-rows", type=int, default=100_000)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--memory-limit", default="3GB", help="per worker")
    ap.add_argument("--store", default="/work/tmp/dask_scale.zarr")
    ap.add_argument("--reference-rows", type=int, default=1_000_000)
    ap.add_argument("--folds", type=int, default=5)
    ap.add_argument("--nlambda", type=int, default=100)
    ap.add_argument("--peer-penalties", type=int, default=5)
    ap.add_argument("--peer-max-iter", type=int, default=100)
    ap.add_argument("--peer-solvers", default="admm,proximal_grad")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--keep-store", action="store_true")
    args = ap.parse_args()

    import dask.array as da
    from distributed import Client, LocalCluster

    import varnel

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    n, p = args.rows, args.cols
    write_store(args.store, n, p, args.chunk_rows, log)
    rows = []
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      memory_limit=args.memory_limit, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        X = da.from_zarr(args.store, component="X")
        Y = da.from_zarr(args.store, component="y")
        y, label = Y[:, 0], Y[:, 1]
        log(f"X: {n} x {p}, {X.nbytes / 1e9:.2f} GB in {X.numblocks[0]} chunks; "
            f"{args.workers} workers of {args.memory_limit}")
        client.run(lambda: __import__("varnel"))  # the workers' imports, outside the timings
        common = dict(standardize=False, nlambda=args.nlambda)
        fits = {}
        for name, call in (
                ("varnel fit_path gaussian", lambda: varnel.fit_path(X, y, **common)),
                (f"varnel cv_path gaussian, {args.folds} folds",
                 lambda: varnel.cv_path(X, y, nfolds=args.folds, seed=0, **common)),
                ("varnel fit_path logistic", lambda: varnel.fit_path(X, label, "logistic", **common))):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                with Meter(client) as m:
                    res = call()
            path = res.path if hasattr(res, "path") else res
            fits[name] = path
            rows.append([name, m.seconds, path.npasses_data, m.worker_mb, m.worker_peak_mb,
                         m.client_mb, None])
            log(f"{name}: {m.seconds:.1f} s, {path.npasses_data} passes, {path.n_lambdas} lambdas")
        for fam, key, resp in (("gaussian", "varnel fit_path gaussian", y),
                               ("logistic", "varnel fit_path logistic", label)):
            path = fits[key]
            pick = np.unique(np.linspace(0, path.n_lambdas - 1, args.peer_penalties).round().astype(int))
            lams = path.lambdas[pick]
            logistic = fam == "logistic"
            ours = objectives(X, resp, path.coefs[:, pick], path.intercepts[pick], lams, logistic)
            rows[[r[0] for r in rows].index(key)][-1] = ours
            if not args.no_peers:
                for name, secs, mb, coefs, a0 in dask_ml_fits(
                        X, resp, lams, logistic, args.peer_max_iter, args.peer_solvers.split(","), log):
                    obj = objectives(X, resp, coefs, a0, lams, logistic)
                    rows.append([name, secs, None, mb, None, None, obj])
            m = min(args.reference_rows, n)
            xr, yr = X[:m].compute(), resp[:m].compute()
            t0 = time.perf_counter()
            ref = varnel.fit_path(xr, yr, fam, **common)
            rows.append([f"varnel fit_path {fam} in memory, {m} rows", time.perf_counter() - t0,
                         None, None, None, None, None])
            del xr, yr, ref
    print(f"\n{n:,} x {p} float64 ({n * p * 8 / 1e9:.1f} GB), chunks of {args.chunk_rows:,} rows, "
          f"{args.workers} workers of {args.memory_limit}, nlambda={args.nlambda}\n")
    print("| fit | time (s) | passes | worker peak growth (MB) | worker peak RSS (MB) | "
          "client growth (MB) | objective - best, at the compared lambdas |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | --- |")
    best = {}
    for r in rows:
        if r[-1] is not None:
            fam = "logistic" if "ogistic" in r[0] else "gaussian"
            best[fam] = r[-1] if fam not in best else np.minimum(best[fam], r[-1])
    for name, secs, passes, wmb, wpeak, cmb, obj in rows:
        fam = "logistic" if "ogistic" in name else "gaussian"
        gap = "" if obj is None else " ".join(f"{g:.1e}" for g in obj - best[fam])
        cells = [name, f"{secs:.1f}", "" if passes is None else str(passes)]
        cells += ["" if v is None else f"{v:.0f}" for v in (wmb, wpeak, cmb)]
        print("| " + " | ".join(cells + [gap]) + " |")
    if not args.keep_store:
        shutil.rmtree(args.store, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
