"""The same call gives the same bits: on repeated calls, after unrelated
(also failing) calls in between, in other processes (other hash seeds, other
heap addresses) and from several threads at once."""
import hashlib
import json
import os
import subprocess
import sys
import threading

import numpy as np
import scipy.sparse as sp

from varnel import _core

N, P = 150, 25


def data():
    rng = np.random.default_rng(2024)
    x = rng.normal(size=(N, P))
    x[rng.random((N, P)) < 0.5] = 0.0
    eta = x[:, :5] @ np.array([1.0, -0.8, 0.6, 0.0, 0.4])
    y = eta + rng.normal(size=N)
    yb = (rng.random(N) < 1 / (1 + np.exp(-eta))).astype(float)
    yp = rng.poisson(np.exp(0.4 * eta)).astype(float)
    w = rng.uniform(0.2, 3.0, N)
    return x, y, yb, yp, w


X, Y, YB, YP, W = data()
M = sp.csc_matrix(X)
PF = np.linspace(0.5, 1.5, P)

CASES = {
    "gaussian": lambda: _core.elnet_path(X, Y, alpha=0.7, weights=W),
    "gaussian-fortran-unstandardized": lambda: _core.elnet_path(np.asfortranarray(X), Y, standardize=False,
                                                                 intercept=False, penalty_factor=PF),
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
        if isinstance(value, np.ndarray):
            h.update(repr((value.dtype.str, value.shape)).encode())
            h.update(value.tobytes())
        else:
            h.update(repr(value).encode())
    return h.hexdigest()


def digests():
    return {name: digest(fn()) for name, fn in CASES.items()}


REFERENCE = digests()


def disturb():
    """Unrelated calls, failing ones included, with other sizes and options."""
    for kwargs in (dict(family="poisson", y=-YP), dict(nlambda=3, alpha=0.0), dict(penalty_factor=[1.0])):
        kw = dict(x=X[:40, :7], y=Y[:40])
        kw.update(kwargs)
        if "y" in kwargs:
            kw["y"] = kwargs["y"][:40]
        try:
            _core.elnet_path(kw.pop("x"), kw.pop("y"), **kw)
        except ValueError:
            pass


def test_every_case_fits():
    for name, fn in CASES.items():
        r = fn()
        assert r["lmu"] > 3, name
    assert CASES["warning"]()["warning"] is not None


def test_repeated_calls_are_bit_identical():
    for _ in range(3):
        assert digests() == REFERENCE


def test_no_state_survives_between_calls():
    for name, fn in CASES.items():
        disturb()
        assert digest(fn()) == REFERENCE[name]


def test_other_processes_give_the_same_bits():
    code = (
        "import json, os, sys\n"
        "junk = [bytearray(int(s)) for s in os.environ['JUNK'].split()]  # other heap addresses\n"
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "import test_robust_determinism as t\n"
        "print(json.dumps(t.REFERENCE))\n"
    )
    for seed, junk in (("0", "1 7"), ("12345", "100003 24 4096 333")):
        env = dict(os.environ, PYTHONHASHSEED=seed, JUNK=junk)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr[-3000:]
        assert json.loads(out.stdout.strip().splitlines()[-1]) == REFERENCE


def test_threads_at_once_give_the_same_bits():
    threads_n, rounds = 8, 3
    barrier = threading.Barrier(threads_n, timeout=120)
    results, errors = [[] for _ in range(threads_n)], []

    def work(k):
        try:
            names = list(CASES)
            names = names[k % len(names):] + names[:k % len(names)]  # each thread its own order
            barrier.wait()
            for _ in range(rounds):
                for name in names:
                    results[k].append((name, digest(CASES[name]())))
                    if k % 3 == 0:
                        disturb()
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(threads_n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not errors, errors
    assert all(len(r) == rounds * len(CASES) for r in results)
    for r in results:
        for name, d in r:
            assert d == REFERENCE[name], name
