#!/usr/bin/env python
"""Side-by-side timings of varnel and its peers on whole 100-penalty lasso paths.

    python benchmarks/run.py                  full run (several minutes)
    python benchmarks/run.py --quick          tiny sizes, 1 repetition (CI smoke run)
    python benchmarks/run.py --only tall,tiny --repeat 5 --markdown
    python benchmarks/run.py --only gram      the Gram kernel and the default-path rows
    python benchmarks/run.py --only cv        cross-validation against LassoCV, saga and glum
    python benchmarks/run.py --only categorical  a Poisson path on categorical columns against glum
    python benchmarks/run.py --only sparse-dask  a logistic path on sparse Dask blocks against dask-ml

See benchmarks/README.md for what every column means.
"""

from __future__ import annotations

import os

import sys

# Single-threaded everywhere unless --threads N asks for more (the peers' BLAS
# and OpenMP pools; varnel runs on one thread); must happen before numpy (or
# any BLAS/OpenMP user) is imported. Child processes inherit it.
_THREADS = "1"
for _i, _a in enumerate(sys.argv):
    if _a == "--threads" and _i + 1 < len(sys.argv):
        _THREADS = sys.argv[_i + 1]
    elif _a.startswith("--threads="):
        _THREADS = _a.split("=", 1)[1]
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
             "NUMBA_NUM_THREADS", "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_var] = _THREADS

import argparse  # noqa: E402
import datetime  # noqa: E402
import gc  # noqa: E402
import importlib.metadata  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import resource  # noqa: E402
import signal  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import bench_categorical  # noqa: E402
import bench_cv  # noqa: E402
import bench_gram  # noqa: E402
import bench_solvers as bs  # noqa: E402
import bench_sparse_dask  # noqa: E402
import bench_workloads as bw  # noqa: E402

ORDER = list(bw.WORKLOADS) + ["gram", "cv", "categorical", "sparse-dask"]


# ====================================================================== memory

def _status_kb(field: str) -> int | None:
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak_rss() -> bool:
    """Linux: writing 5 to clear_refs resets VmHWM to the current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return _status_kb("VmHWM") is not None
    except OSError:
        return False


def memory_child(workload: str, solver_key: str, quick: bool) -> None:
    """Runs in its own process: peak resident-memory growth of one fit."""
    wl = bw.build(workload, quick)
    solver = bs.BY_KEY[solver_key]
    _warm_up(solver, wl)  # imports and JIT compilation are not counted
    gc.collect()
    exact = _reset_peak_rss()
    if exact:
        before = _status_kb("VmRSS")
    else:  # fallback: ru_maxrss (kB on Linux); can miss growth under an earlier peak
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    solver.fit(wl)
    if exact:
        peak = _status_kb("VmHWM")
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"peak_mb": max(peak - before, 0) / 1024.0,
                      "method": "VmHWM" if exact else "ru_maxrss"}))


def measure_memory(workload: str, solver_key: str, quick: bool, timeout: float) -> tuple[float | None, str]:
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-child", workload, solver_key]
    if quick:
        cmd.append("--quick")
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "memory run timed out"
    if out.returncode != 0:
        tail = (out.stderr.strip().splitlines() or ["?"])[-1]
        return None, f"memory run failed: {tail[:80]}"
    for line in reversed(out.stdout.strip().splitlines()):
        try:
            d = json.loads(line)
            return float(d["peak_mb"]), ("" if d["method"] == "VmHWM" else "mem via ru_maxrss")
        except (ValueError, KeyError):
            continue
    return None, "memory run printed nothing"


# =================================================================== bandwidth

def stream_bandwidth(quick: bool) -> dict[str, float]:
    """STREAM-like single-core bandwidth in GB/s (best of several runs).

    Arrays are far larger than the last-level cache. Bytes are counted as
    STREAM does (no write-allocate traffic):
      copy  b = a        16 bytes per element
      scale b = 3 a      16 bytes per element
      add   c = a + b    24 bytes per element
      read  a . b (BLAS ddot, read only)  16 bytes per element
    """
    n = (1 << 23) if quick else (1 << 26)  # 64 MiB or 512 MiB per array
    reps = 3 if quick else 6
    a = np.full(n, 1.0)
    b = np.full(n, 2.0)
    c = np.empty(n)
    kernels = {
        "copy": (lambda: np.copyto(b, a), 16),
        "scale": (lambda: np.multiply(a, 3.0, out=b), 16),
        "add": (lambda: np.add(a, b, out=c), 24),
        "read": (lambda: float(np.dot(a, b)), 16),
    }
    best = {}
    for name, (fn, per) in kernels.items():
        fn()
        t = min(_timed(fn) for _ in range(reps))
        best[name] = per * n / t / 1e9
    del a, b, c
    return best


def _timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def column_traffic(wl: bw.Workload, fit: bs.PathFit) -> dict:
    """Lower-bound estimate of the bytes varnel's column passes read.

    bytes = npasses * mean_nnz * bytes_per_column, where mean_nnz is the mean
    number of nonzero coefficients over the path's solutions (a pass visits at
    least the active variables; full strong-set passes and the per-penalty
    optimality sweeps visit more and are not counted), and bytes_per_column is
    8 n for a dense column and 16 * (nonzeros per column) for a CSC column
    (8-byte value + 8-byte row index). Residual and weight vectors are assumed
    cache-resident and not counted, except for the multinomial: there a step
    on variable j forms K gradients from the n x K residuals, which do not
    stay in the first-level caches, so a visit reads the column and the
    residuals, 8 n (1 + K) bytes (the weights read and the residuals written
    for the classes that move are not counted), and mean_nnz counts the
    variables with a nonzero coefficient in any class.
    """
    n, p = wl.shape
    multinomial = wl.family == "multinomial"
    nnz = (fit.coef != 0).any(axis=1).sum(axis=0) if multinomial else (fit.coef != 0).sum(axis=0)
    mean_nnz = float(nnz.mean()) if nnz.size else 0.0
    per_col = 16.0 * wl.X.nnz / p if wl.sparse else 8.0 * n
    if multinomial:
        per_col *= 1 + fit.coef.shape[1]
    return {"npasses": fit.npasses, "mean_nnz": mean_nnz, "per_col": per_col,
            "bytes": (fit.npasses or 0) * mean_nnz * per_col}


# ===================================================================== timing

def _warm_up(solver: bs.Solver, wl: bw.Workload) -> None:
    small = bw.warmup_sparse(wl.family) if wl.sparse else bw.warmup_workload(wl.family)
    solver.fit(small)


class SolverTimeout(Exception):
    pass


def _on_alarm(signum, frame):
    raise SolverTimeout()


def call_with_timeout(fn, seconds: float):
    """Runs fn(); raises SolverTimeout once `seconds` have passed (checked
    whenever the solver returns to Python code)."""
    if seconds <= 0 or not hasattr(signal, "setitimer"):
        return fn()
    old = signal.signal(signal.SIGALRM, _on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        return fn()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


class Row:
    def __init__(self, solver: bs.Solver, label: str):
        self.solver = solver
        self.label = label
        self.times: list[float] = []
        self.calls = 1
        self.fit: bs.PathFit | None = None
        self.error = ""
        self.timed_out = False
        self.notes: list[str] = []
        self.excess: float | None = None
        self.mem: float | None = None

    @property
    def time(self) -> float | None:
        return statistics.median(self.times) if self.times else None


def run_workload(wl: bw.Workload, args, log) -> tuple[list[Row], list[str]]:
    rows: list[Row] = []
    skipped: list[str] = []
    for s in bs.SOLVERS:
        if args.solver_keys and not ({s.key, s.companion_of} & args.solver_keys):
            continue
        reason = s.applies(wl)
        if reason is not None:
            continue
        if not s.available():
            skipped.append(s.module)
            continue
        rows.append(Row(s, bs.label_for(s, wl)))

    # warm-up (imports, JIT compilation) outside the timings
    for r in rows:
        try:
            _warm_up(r.solver, wl)
        except Exception as e:  # noqa: BLE001
            r.error = f"{type(e).__name__}: {e}"
            if args.verbose:
                traceback.print_exc()

    live = [r for r in rows if not r.error]
    # call-overhead workload: batches of calls, timed per call
    if wl.per_call:
        target = 0.05 if args.quick else 0.25
        for r in live:
            try:
                t1 = min(_timed(lambda: r.solver.fit(wl)) for _ in range(3))
                r.calls = max(1, min(20000, math.ceil(target / max(t1, 1e-7))))
            except Exception as e:  # noqa: BLE001
                r.error = f"{type(e).__name__}: {e}"
        live = [r for r in live if not r.error]

    repeat = args.repeat if not wl.per_call else max(args.repeat, 1 if args.quick else 5)
    for rep in range(repeat):
        k = rep % len(live) if live else 0
        for r in live[k:] + live[:k]:  # alternate and rotate the order
            if r.error or (rep > 0 and r.times and r.times[0] * r.calls > args.budget):
                continue
            def batch():
                for _ in range(r.calls):
                    out = r.solver.fit(wl)
                return out

            try:
                t0 = time.perf_counter()
                fit = call_with_timeout(batch, args.timeout)
                dt = (time.perf_counter() - t0) / r.calls
            except SolverTimeout:
                r.timed_out = True
                r.error = "timeout"
                log(f"    {wl.name:9s} {r.label:42s} run {rep + 1}: timed out after {args.timeout:g} s")
                continue
            except Exception as e:  # noqa: BLE001
                r.error = f"{type(e).__name__}: {e}"
                if args.verbose:
                    traceback.print_exc()
                continue
            r.times.append(dt)
            r.fit = fit
            log(f"    {wl.name:9s} {r.label:42s} run {rep + 1}: {dt:.4g} s")
    for r in live:
        if r.times and len(r.times) < repeat:
            r.notes.append(f"{len(r.times)} run(s): over the {args.budget:g} s budget")
        if r.fit is not None and r.fit.note:
            r.notes.append(r.fit.note)
        if r.fit is not None and r.fit.coef.shape[-1] < len(wl.lambdas):
            r.notes.append(f"path stopped at {r.fit.coef.shape[-1]} of {len(wl.lambdas)} penalties")
    score_accuracy(wl, rows)

    if not args.no_memory:
        for r in rows:
            if r.error or not r.times:
                continue
            if args.quick and not r.solver.key.startswith("varnel"):
                continue  # quick runs measure varnel only (peer JIT warm-ups are slow)
            timeout = max(120.0, 3 * (r.time or 0) * r.calls + 60.0)
            r.mem, note = measure_memory(wl.name, r.solver.key, args.quick, timeout)
            if note:
                r.notes.append(note)
    return rows, skipped


def score_accuracy(wl: bw.Workload, rows: list[Row]) -> None:
    """Relative excess of each solver's objective over the best one's, max over
    the comparison penalties."""
    idx = wl.accuracy_indices()
    scored = [r for r in rows if r.solver.scored and r.fit is not None]
    if not scored:
        return
    vals = {}
    for r in scored:
        v = np.full(idx.size, np.nan)
        for t, m in enumerate(idx):
            if m < r.fit.coef.shape[-1]:
                v[t] = bw.objective(wl, r.fit.intercept[..., m], r.fit.coef[..., m], float(wl.lambdas[m]))
        vals[id(r)] = v
    best = np.nanmin(np.vstack(list(vals.values())), axis=0)
    for r in scored:
        v = vals[id(r)]
        if np.all(np.isnan(v)):
            continue
        rel = (v - best) / np.maximum(np.abs(best), 1e-300)
        r.excess = float(np.nanmax(rel))
        if np.any(np.isnan(v)):
            r.notes.append("accuracy over the penalties it reached")


# ==================================================================== output

def fmt_time(t: float | None, per_call: bool) -> str:
    if t is None:
        return "—"
    if per_call or t < 0.1:
        return f"{t * 1e3:.3g} ms"
    return f"{t:.3g} s"


def fmt_excess(x: float | None) -> str:
    if x is None:
        return "—"
    if x <= 0:
        return "0 (best)"
    return f"{x:.1e}"


def table(headers: list[str], body: list[list[str]], markdown: bool, right: set[int]) -> str:
    if markdown:
        lines = ["| " + " | ".join(headers) + " |",
                 "|" + "|".join(("---:" if i in right else ":---") for i in range(len(headers))) + "|"]
        lines += ["| " + " | ".join(c.replace("|", "/") for c in row) + " |" for row in body]
        return "\n".join(lines)
    widths = [max(len(h), *(len(row[i]) for row in body)) if body else len(h) for i, h in enumerate(headers)]

    def line(cells):
        return "  ".join((c.rjust(w) if i in right else c.ljust(w)) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in body])


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def versions() -> str:
    out = []
    for dist in ("varnel", "numpy", "scipy", "scikit-learn", "glum", "skglm", "celer"):
        try:
            out.append(f"{dist} {importlib.metadata.version(dist)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return ", ".join(out)


def targets(results: dict, bw_ref: float | None, timeout: float) -> list[list[str]]:
    """Checks of the performance goals (see README)."""
    out = []

    def row(wl, key):
        for r in results.get(wl, ([], None))[0]:
            if r.solver.key == key:
                return r
        return None

    def ratio_check(wl, name, key, factor):
        goal = (f"no slower than {name}" if factor == 1 else f"<= 1/{factor:g} of {name}"
                if factor == round(factor) else f"<= {1 / factor:.2g} x {name}")
        v, o = row(wl, "varnel"), row(wl, key)
        if v is None or v.time is None or o is None or (o.time is None and not o.timed_out):
            out.append([wl, goal, "—", "not measured"])
            return
        if o.timed_out:  # the peer's time is only known to exceed the timeout
            ok = v.time <= timeout / factor
            out.append([wl, goal, f"varnel/peer < {v.time / timeout:.3g} (peer timed out)",
                        "met" if ok else "unknown"])
            return
        ok = v.time <= o.time / factor
        out.append([wl, goal, f"varnel/peer = {v.time / o.time:.3g}", "met" if ok else "MISSED"])

    ratio_check("tall", "sklearn default", "sk-enet", 5)
    tr = results.get("tall", (None, None))[1]
    if tr is not None and bw_ref:
        pct = tr["gbs"] / bw_ref
        out.append(["tall", "effective bandwidth >= 70% of DRAM", f"{pct:.0%}", "met" if pct >= 0.7 else "MISSED"])
    for wl in ("wide", "sparse"):
        ratio_check(wl, "sklearn default", "sk-enet", 10)
        ratio_check(wl, "skglm", "skglm", 1)
        ratio_check(wl, "celer", "celer", 1)
    for key, name in (("sk-liblinear", "sklearn liblinear loop"), ("sk-saga", "sklearn saga loop")):
        ratio_check("logistic", name, key, 20)
    ratio_check("logistic", "glum", "glum", 1)
    for key, name in (("sk-liblinear", "sklearn liblinear loop"), ("sk-saga", "sklearn saga loop"),
                      ("skglm", "skglm")):
        ratio_check("sparse-logistic", name, key, 1)
    ratio_check("multinomial", "sklearn saga loop", "sk-saga", 1)
    for wl, limit in (("multinomial", 3.0), ("multinomial-100k", 10.0)):
        v = row(wl, "varnel")
        if v is None or v.time is None:
            out.append([wl, f"<= {limit:g} s", "—", "not measured"])
            continue
        out.append([wl, f"<= {limit:g} s", f"{v.time:.3g} s", "met" if v.time <= limit else "MISSED"])
        if v.excess is not None:
            out.append([wl, "objective within 2e-6 of the best", fmt_excess(v.excess),
                        "met" if v.excess <= 2e-6 else "MISSED"])
        tr = results.get(wl, (None, None))[1]
        if tr is not None and bw_ref:
            pct = tr["gbs"] / bw_ref
            out.append([wl, "effective bandwidth >= 30% of DRAM", f"{pct:.0%}",
                        "met" if pct >= 0.3 else "MISSED"])
    for wl, share in (("gram-100k", 0.7), ("gram-50k", 0.6), ("gram-10k", 0.8)):
        ratio_check(wl, "sklearn default", "sk-enet", 1 / share)
    ratio_check("poisson", "glum", "glum", 1)
    for wl in ("tweedie", "gamma", "probit"):
        ratio_check(wl, "glum", "glum", 3)
    v = row("tiny", "varnel")
    if v is None or v.time is None:
        out.append(["tiny", "< 1 ms per call", "—", "not measured"])
    else:
        out.append(["tiny", "< 1 ms per call", f"{v.time * 1e3:.3g} ms", "met" if v.time < 1e-3 else "MISSED"])
    return [r for r in out if r[0] in results]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="tiny sizes, 1 repetition (CI smoke run)")
    ap.add_argument("--only", default="", help="comma-separated workloads: " + ",".join(ORDER))
    ap.add_argument("--repeat", type=int, default=None, help="timed runs per solver (median; default 3, 1 with --quick)")
    ap.add_argument("--markdown", action="store_true", help="print the tables in Markdown")
    ap.add_argument("--no-memory", action="store_true", help="skip the per-solver peak-memory subprocesses")
    ap.add_argument("--budget", type=float, default=60.0,
                    help="a solver whose first run takes longer than this many seconds is not repeated")
    ap.add_argument("--timeout", type=float, default=120.0,
                    help="a solver run still going after this many seconds is abandoned (0: never)")
    ap.add_argument("--solvers", default="",
                    help="comma-separated subset of solvers: " + ",".join(s.key for s in bs.SOLVERS))
    ap.add_argument("--verbose", action="store_true", help="tracebacks of failing solvers")
    ap.add_argument("--cv-peers", default=None,
                    help="comma-separated peers of the cv section: " + ",".join(bench_cv.PEERS_ALL))
    ap.add_argument("--threads", type=int, default=1,
                    help="threads for the peers' BLAS/OpenMP pools (default 1; varnel uses one)")
    ap.add_argument("--sparse-size", default="",
                    help="rows,cols of the sparse-dask section (default 200000,20000; the goal 2000000,200000)")
    ap.add_argument("--memory-child", nargs=2, metavar=("WORKLOAD", "SOLVER"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args.memory_child[0], args.memory_child[1], args.quick)
        return 0
    if args.repeat is None:
        args.repeat = 1 if args.quick else 3
    args.repeat = max(1, args.repeat)
    names = [w.strip() for w in args.only.split(",") if w.strip()] or ORDER
    bad = [w for w in names if w not in ORDER]
    if bad:
        ap.error(f"unknown workload(s) {', '.join(bad)}; choose from {', '.join(ORDER)}")
    args.solver_keys = {k.strip() for k in args.solvers.split(",") if k.strip()}
    bad = sorted(args.solver_keys - set(bs.BY_KEY))
    if bad:
        ap.error(f"unknown solver(s) {', '.join(bad)}; choose from {', '.join(bs.BY_KEY)}")

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    started = time.perf_counter()
    log("measuring memory bandwidth ...")
    stream = stream_bandwidth(args.quick)
    dram = max(stream.values())

    results: dict[str, tuple[list[Row], dict | None]] = {}
    descriptions = {}
    skipped_all: dict[str, list[str]] = {}
    gram, cv, categorical = "gram" in names, "cv" in names, "categorical" in names
    sparse_dask = "sparse-dask" in names
    names = [n for n in names if n not in ("gram", "cv", "categorical", "sparse-dask")]
    for name in names:
        wl = bw.build(name, args.quick)
        descriptions[name] = wl.describe()
        log(f"{name}: {wl.describe()}")
        rows, skipped = run_workload(wl, args, log)
        traffic = None
        for r in rows:
            # (the covariance solver of the raw-data workloads streams no columns per pass)
            if r.solver.key == "varnel" and r.fit is not None and r.time and not wl.per_call \
                    and wl.raw is None:
                traffic = column_traffic(wl, r.fit)
                traffic["gbs"] = traffic["bytes"] / r.time / 1e9
                traffic["time"] = r.time
        results[name] = (rows, traffic)
        skipped_all[name] = skipped
        del wl
        gc.collect()

    md = args.markdown
    print()
    print(f"Date: {datetime.date.today().isoformat()}; CPU: {cpu_model()} ({os.cpu_count()} logical cores, {_THREADS} thread(s) for the peers); "
          f"Python {platform.python_version()}; {versions()}"
          + ("; QUICK sizes" if args.quick else ""))
    print()
    print("Memory bandwidth, one core, best of several runs (GB/s): "
          + ", ".join(f"{k} {v:.1f}" for k, v in stream.items())
          + f"; reference (best) {dram:.1f} GB/s")
    print()

    right = {2, 3, 4, 5}
    body = []
    for name in names:
        rows, _ = results[name]
        vt = next((r.time for r in rows if r.solver.key == "varnel"), None)
        per_call = any(r.calls > 1 for r in rows) or name == "tiny"
        for r in rows:
            ratio = "—" if (r.time is None or not vt) else f"{r.time / vt:.3g}"
            mem = "—" if r.mem is None else f"{r.mem:.1f}"
            shown = fmt_time(r.time, per_call)
            if r.timed_out:
                shown = f"> {args.timeout:g} s"
                ratio = f"> {args.timeout / vt:.3g}" if vt else "—"
            notes = "; ".join(([f"error: {r.error[:90]}"] if r.error and not r.timed_out else [])
                              + (["timed out, not repeated"] if r.timed_out else []) + r.notes)
            if r.calls > 1:
                notes = "; ".join(x for x in (f"{r.calls} calls per run", notes) if x)
            body.append([name, r.label, shown, ratio, fmt_excess(r.excess), mem, notes])
    if names:
        print(table(["workload", "solver", "time (median)", "time / varnel", "max rel. objective excess",
                     "peak MB", "notes"], body, md, right))
        print()
        print("Workloads: " + "; ".join(f"{k}: {v}" for k, v in descriptions.items()))
    missing = sorted({s for v in skipped_all.values() for s in v})
    if missing:
        print("Skipped (not installed): " + ", ".join(missing))
    print()

    tbody = []
    for name in names:
        tr = results[name][1]
        if tr is None:
            continue
        tbody.append([name, str(tr["npasses"]), f"{tr['mean_nnz']:.1f}", f"{tr['per_col'] / 1e3:.3g}",
                      f"{tr['bytes'] / 1e9:.3g}", fmt_time(tr["time"], False), f"{tr['gbs']:.2f}",
                      f"{tr['gbs'] / dram:.0%}"])
    if tbody:
        print("varnel column traffic (lower bound: npasses x mean nonzeros x bytes per column):")
        if md:
            print()
        print(table(["workload", "npasses", "mean nonzeros", "kB per column", "est. GB read", "time",
                     "effective GB/s", "% of DRAM"], tbody, md, {1, 2, 3, 4, 5, 6, 7}))
        print()

    checks = targets(results, dram, args.timeout)
    if gram:
        checks += bench_gram.report(args.quick, args.repeat, table, md, log)
    if cv:
        checks += bench_cv.report(args.quick, args.repeat, table, md, log,
                                  peers=None if args.cv_peers is None else args.cv_peers.split(","))
    if categorical:
        checks += bench_categorical.report(args.quick, args.repeat, table, md, log)
    if sparse_dask:
        size = tuple(int(v) for v in args.sparse_size.split(",")) if args.sparse_size else None
        checks += bench_sparse_dask.report(args.quick, args.repeat, table, md, log, size)
    if not args.quick:
        print("Targets:")
        if md:
            print()
        print(table(["workload", "goal", "measured", "status"], checks, md, set()))
        print()
    log(f"total {time.perf_counter() - started:.1f} s")

    # varnel must work: the smoke run fails when it does not
    failed = [n for n in names for r in results[n][0]
              if r.solver.key.startswith("varnel") and (r.error or r.time is None)]
    if names and not any(r.solver.key == "varnel" for n in names for r in results[n][0]):
        log("varnel is not installed")
        return 1
    if failed:
        log(f"varnel failed on: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
