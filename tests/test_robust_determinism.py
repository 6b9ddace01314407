"""The same call gives the same bits: on repeated calls, after unrelated
(also failing) calls in between, in other processes (other hash seeds, other
heap addresses) and from several threads at once."""
import hashlib
import json
import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
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


def test_repeated_and_disturbed_calls_are_bit_identical():
    assert CASES["warning"]()["warning"] is not None
    for _ in range(2):
        for name, fn in CASES.items():
            disturb()
            assert digest(fn()) == REFERENCE[name], name


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


def test_threads_at_once_give_the_same_bits():
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
