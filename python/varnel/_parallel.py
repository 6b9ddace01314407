"""How many threads varnel may use, and running independent tasks on them.

varnel's own parallelism is threads: a fit releases the interpreter's lock,
so cross-validation folds run side by side on threads that share X (nothing
is copied or serialised), and the passes of a fit that form column moments
and products split their rows among threads.  The defaults take every core
the process may run on, down to the limit a caller has set, so that nested
parallelism never runs more threads than cores:

- inside a joblib worker (any backend), the number joblib gives its workers
  through ``OMP_NUM_THREADS`` (the loky backend sets cores // n_jobs), else 1;
- inside a Dask task, 1;
- ``OMP_NUM_THREADS`` when set;
- with threadpoolctl imported, the fewest threads any library it controls is
  allowed (so ``threadpool_limits(limits=k)`` gives k).

Folds are handed to joblib only when the caller activated a backend that is
not one of joblib's own in-process ones (Dask, Ray, multiprocessing...), or
asked for loky with ``parallel_config``/``parallel_backend`` and an n_jobs.
"""

from __future__ import annotations

import os
import sys
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from typing import Any, Callable, Iterator, List, NamedTuple, Optional, Tuple

__all__ = ["available_cores", "default_threads", "Plan", "plan", "run"]

#: Below this many values of x (n p) a fit's passes run on one thread (the
#: core decides the same), and the caller's limits are not even looked up.
THREADED_WORK = 1 << 20


def available_cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _env_limit() -> Optional[int]:
    """OMP_NUM_THREADS (its first level when it lists several), if valid."""
    text = os.environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
    try:
        value = int(text)
    except ValueError:
        return None
    return value if value > 0 else None


def _threadpoolctl_limit() -> Optional[int]:
    tc = sys.modules.get("threadpoolctl")
    if tc is None:
        return None
    try:
        counts = [i.get("num_threads") for i in tc.threadpool_info()]
    except Exception:  # a library threadpoolctl cannot query
        return None
    counts = [c for c in counts if isinstance(c, int) and c > 0]
    return min(counts) if counts else None


def _active_joblib_backend() -> Tuple[Any, Optional[int]]:
    """joblib's active backend in this thread and its n_jobs; (None, None)
    when joblib was never imported (no backend can then be active)."""
    jp = sys.modules.get("joblib.parallel")
    if jp is None:
        return None, None
    try:
        return jp.get_active_backend()
    except Exception:
        return None, None


def _in_worker() -> bool:
    """Inside a task of joblib (nested backend) or of a Dask worker."""
    backend, _ = _active_joblib_backend()
    if backend is not None and getattr(backend, "nesting_level", 0) > 0:
        return True
    distributed = sys.modules.get("distributed")
    if distributed is not None:
        try:
            distributed.get_worker()
            return True
        except (ValueError, AttributeError):
            pass
    return False


def default_threads() -> int:
    """Threads for one call: every available core, down to the caller's
    limit (see the module's text)."""
    if _in_worker():
        return _env_limit() or 1
    limit = available_cores()
    for other in (_env_limit(), _threadpoolctl_limit()):
        if other:
            limit = min(limit, other)
    return max(1, limit)


def fit_threads(n: int, p: int) -> int:
    """The threads of one fit of an n x p design."""
    return 1 if n * p < THREADED_WORK else default_threads()


class Plan(NamedTuple):
    """How a batch of tasks runs: "serial", "threads" (varnel's own, sharing
    every input) or "joblib" (the caller's backend), with `workers` at once
    and `fit_threads` threads for each fit (None: the task decides where it
    runs)."""

    mode: str
    workers: Optional[int]
    fit_threads: Optional[int]


def _workers(n_jobs: int) -> int:
    if n_jobs == 0:
        raise ValueError("n_jobs == 0 has no meaning; use None, a positive count or -1 (every core)")
    return n_jobs if n_jobs > 0 else max(1, default_threads() + 1 + n_jobs)


def plan(n_jobs: Optional[int], ntasks: int, all_by_default: bool) -> Plan:
    """The plan for `ntasks` tasks under n_jobs (None: every core when
    `all_by_default`, else one at a time, unless a joblib backend says
    otherwise)."""
    if n_jobs is not None and (isinstance(n_jobs, bool) or not isinstance(n_jobs, int)):
        raise TypeError(f"n_jobs must be an integer or None, got {n_jobs!r}")
    if _in_worker():
        return Plan("serial", 1, None)
    backend, context_jobs = _active_joblib_backend()
    kind = type(backend).__name__ if backend is not None else ""
    in_process = kind in ("LokyBackend", "ThreadingBackend", "SequentialBackend", "")
    if not in_process or (kind == "LokyBackend" and context_jobs is not None):
        return Plan("joblib", n_jobs if n_jobs is not None else context_jobs, None)
    if kind == "SequentialBackend":
        return Plan("serial", 1, default_threads())
    if n_jobs is None:
        n_jobs = context_jobs if context_jobs is not None else (-1 if all_by_default else 1)
    workers = min(_workers(n_jobs), max(ntasks, 1))
    per_fit = max(1, default_threads() // workers)
    return Plan("serial" if workers == 1 else "threads", workers, per_fit)


def _joblib_results(calls, n_jobs) -> Iterator[Any]:
    import joblib

    try:
        par = joblib.Parallel(n_jobs=n_jobs, return_as="generator_unordered")
    except (TypeError, ValueError):  # joblib < 1.3
        par = joblib.Parallel(n_jobs=n_jobs)
    return iter(par(joblib.delayed(f)(*a) for f, a in calls))


def _thread_results(calls, workers: int) -> Iterator[Any]:
    """Results as the tasks finish.  On an exception (Ctrl-C included) the
    tasks not started are dropped; the running ones finish in their threads."""
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="varnel")
    try:
        pending = {pool.submit(f, *a) for f, a in calls}
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                yield future.result()
    finally:
        pool.shutdown(wait=False, cancel_futures=True)


def run(calls: List[Tuple[Callable[..., Any], tuple]], how: Plan) -> Iterator[Any]:
    """The results of f(*args) for every (f, args), in the order they finish."""
    if how.mode == "joblib":
        try:
            import joblib  # noqa: F401
        except ImportError:  # a backend cannot be active without joblib
            how = Plan("serial", 1, None)
        else:
            return _joblib_results(calls, how.workers)
    if how.mode == "threads":
        return _thread_results(calls, how.workers)
    return (f(*a) for f, a in calls)
