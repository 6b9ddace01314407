"""Peak memory of a sparse logistic path with its coefficients kept dense
and kept sparse (``coef_storage``), each in a fresh process.

    python benchmarks/sparse_coef_memory.py [N P NNZ_PER_ROW]

Default 200,000 x 1,000,000 with 10 stored entries per row (2M entries).
"peak" is the process's peak resident set; "fit added" its growth over the
peak before the fit (the data, y and the imports).
"""

import resource
import subprocess
import sys
import time


def one(storage: str, n: int, p: int, per_row: int) -> None:
    import numpy as np
    import scipy.sparse as sp

    import varnel

    rng = np.random.default_rng(0)
    nnz = n * per_row
    X = sp.csc_matrix((rng.standard_normal(nnz), (rng.integers(0, n, nnz), rng.integers(0, p, nnz))),
                      shape=(n, p))
    X.sum_duplicates()
    beta = np.zeros(p)
    beta[:50] = 2 * rng.standard_normal(50)
    y = (X @ beta + rng.standard_normal(n) > 0).astype(float)

    def peak_mb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    before = peak_mb()
    start = time.perf_counter()
    path = varnel.fit_path(X, y, "logistic", coef_storage=storage)
    seconds = time.perf_counter() - start
    c = path.coefs
    held = c.data.nbytes + c.indices.nbytes + c.indptr.nbytes if path.sparse_coefs else c.nbytes
    print(f"| {storage} | {n:,} x {p:,} | {path.n_lambdas} | {path.df[-1]:,} | {held / 2**20:.0f} | "
          f"{peak_mb():.0f} | {peak_mb() - before:.0f} | {seconds:.1f} |", flush=True)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--one":
        one(sys.argv[2], *map(int, sys.argv[3:6]))
        return
    sizes = sys.argv[1:4] or ["200000", "1000000", "10"]
    print("| coefs | n x p | L | df at the end | coefs MB | peak MB | fit added MB | s |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |", flush=True)
    for storage in ("dense", "sparse"):
        subprocess.run([sys.executable, __file__, "--one", storage, *sizes], check=True)


if __name__ == "__main__":
    main()
