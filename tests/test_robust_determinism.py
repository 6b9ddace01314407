"""The same call gives the same bits, repeated, disturbed, in other processes and
on several threads at once; and a fit leaves the interpreter to other threads."""
import hashlib
import json
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import scipy.sparse as sp

from varnel import _core

RNG = np.random.default_rng(2024)
N, P = 150, 25
X = np.where(RNG.random((N, P)) < 0.5, 0.0, RNG.normal(size=(N, P)))
ETA = X[:, :5] @ np.array([1.0, -0.8, 0.6, 0.0, 0.4])
Y = ETA + RNG.normal(size=N)
YB = (RNG.random(N) < 1 / (1 + np.exp(-ETA))).astype(float)
YP = RNG.poisson(np.exp(0.4 * ETA)).astype(float)
W = RNG.uniform(0.2, 3.0, N)
M = sp.csc_matrix(X)
PF = np.linspace(0.5, 1.5, P)
CASES = {
    "gaussian": lambda: _core.elnet_path(X, Y, alpha=0.7, weights=W),
    "gaussian-fortran-raw": lambda: _core.elnet_path(np.asfortranarray(X), Y, standardize=False, intercept=False,
                                                     penalty_factor=PF),
    "binomial": lambda: _core.elnet_path(X, YB, family="binomial", alpha=0.5, weights=W,
                                         lower_limits=-np.ones(P), upper_limits=np.full(P, 0.5)),
    "poisson": lambda: _core.elnet_path(X, YP, family="poisson", penalty_factor=PF, exclude=[3, 7]),
    "sparse": lambda: _core.elnet_sparse(N, P, M.indptr, M.indices, M.data, Y, alpha=0.3, weights=W),
    "warning": lambda: _core.elnet_path(X, YB, family="binomial", maxit=40),
}


def digest(result):
    h = hashlib.sha256()
    for key, value in result.items():
        h.update(key.encode())
        h.update(repr((value.dtype.str, value.shape)).encode() + value.tobytes()
                 if isinstance(value, np.ndarray) else repr(value).encode())
    return h.hexdigest()


REFERENCE = {name: digest(fn()) for name, fn in CASES.items()}


def disturb():
    """Unrelated calls, failing ones included, with other sizes and options."""
    for kwargs in (dict(family="poisson", y=-YP[:40]), dict(nlambda=3, alpha=0.0), dict(penalty_factor=[1.0])):
        try:
            _core.elnet_path(X[:40, :7], **{"y": Y[:40], **kwargs})
        except ValueError:
            pass


def test_other_processes_give_the_same_bits():
    code = ("import json, os, sys\n"
            "junk = [bytearray(int(s)) for s in os.environ['JUNK'].split()]  # other heap addresses\n"
            f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
            "import test_robust_determinism as t\n"
            "print(json.dumps(t.REFERENCE))\n")
    for seed, junk in (("0", "1 7"), ("12345", "100003 24 4096 333")):
        env = dict(os.environ, PYTHONHASHSEED=seed, JUNK=junk)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr[-3000:]
        assert json.loads(out.stdout.strip().splitlines()[-1]) == REFERENCE


def test_repeated_disturbed_and_threaded_calls_give_the_same_bits():
    """Eight threads each repeat every case; every third one calls unrelated, failing ones between."""
    assert CASES["warning"]()["warning"] is not None
    threads, rounds = 8, 3
    barrier = threading.Barrier(threads, timeout=120)

    def work(k):
        names = list(CASES)[k % len(CASES):] + list(CASES)[:k % len(CASES)]  # each thread its own order
        barrier.wait()
        out = []
        for _ in range(rounds):
            for name in names:
                out.append((name, digest(CASES[name]())))
                if k % 3 == 0:
                    disturb()
        return out

    with ThreadPoolExecutor(threads) as pool:
        results = list(pool.map(work, range(threads)))  # a thread's exception is raised here
    assert [len(r) for r in results] == [rounds * len(CASES)] * threads
    assert all(d == REFERENCE[name] for r in results for name, d in r)


# ---- fits share the machine: the interpreter stays free while the core works ----------

BIG = np.random.default_rng(3).normal(size=(3000, 120))
BIG_Y = BIG[:, :8] @ np.linspace(1.0, 0.2, 8) + np.random.default_rng(4).normal(size=3000)
BIG_S = sp.csc_matrix(np.where(BIG > 0.5, BIG, 0.0))
TALL = np.random.default_rng(5).normal(size=(10000, 800))  # its products dominate
SLOW = dict(user_lambda=np.geomspace(1.0, 1e-4, 300), thresh=1e-14)
SHARED = {  # each about 0.3 s
    "elnet_path": lambda: _core.elnet_path(BIG, BIG_Y, **SLOW),
    "elnet_sparse": lambda: _core.elnet_sparse(*BIG_S.shape, BIG_S.indptr, BIG_S.indices, BIG_S.data,
                                               BIG_Y, **SLOW),
    "binomial": lambda: _core.fit(BIG, (BIG_Y > 0).astype(float), family="binomial", **SLOW),
    "multinomial": lambda: _core.fit(BIG, np.digitize(BIG_Y, [-1.0, 1.0]).astype(float),
                                     family="multinomial", grouped=True, nlambda=20),
    "covariance": lambda: _core.fit(TALL, TALL[:, 0], solver="covariance", nlambda=3),
}


@pytest.mark.parametrize("name", list(SHARED))
def test_a_fit_leaves_the_interpreter_to_other_threads(name):
    """A heartbeat thread beats during a fit, and two fits on two threads
    overlap (with the lock held they would take turns)."""
    gaps, done = [], threading.Event()

    def beat():
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.002)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    heart = threading.Thread(target=beat)
    heart.start()
    start = time.perf_counter()
    reference = digest(SHARED[name]())
    took = time.perf_counter() - start
    done.set()
    heart.join()
    assert max(gaps) < max(0.1, took / 4), (max(gaps), took)

    barrier, spans = threading.Barrier(2, timeout=60), []

    def work(_):
        barrier.wait()
        begin = time.perf_counter()
        d = digest(SHARED[name]())
        spans.append((begin, time.perf_counter()))
        return d

    with ThreadPoolExecutor(2) as pool:
        assert list(pool.map(work, range(2))) == [reference] * 2  # and the same bits
    (b0, e0), (b1, e1) = spans
    assert min(e0, e1) - max(b0, b1) > 0.5 * min(e0 - b0, e1 - b1)
