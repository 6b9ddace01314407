"""No call leaks: thousands of calls of both entry points, on success and on
every way of failing (binding, conversion, the entry checks, errors of the
solvers, mended input, exhausted memory), leave resident memory, the number
of live Python objects and the reference counts of the inputs as they were."""
import ctypes
import ctypes.util
import functools
import gc
import os
import sys

import numpy as np
import pytest

from varnel import _core

N, P = 300, 40  # large enough that leaking one copy of any input per call shows in RSS
RNG = np.random.default_rng(3)
X = RNG.normal(size=(N, P))
Y = X[:, :4] @ np.array([1.0, -2.0, 0.5, 1.5]) + RNG.normal(size=N)
YB = (Y > 0).astype(float)
YP = np.floor(np.exp(0.3 * np.clip(Y, -3, 3)))
W = RNG.uniform(0.5, 2.0, N)
PF = np.ones(P)
LAM = np.geomspace(1.0, 0.01, 8)
XS = np.where(np.abs(X) > 1.0, X, 0.0)
PTR = np.concatenate([[0], np.cumsum((XS != 0).sum(axis=0))]).astype(np.int64)
IDX = np.nonzero(XS.T)[1].astype(np.int32)
VAL = XS.T[XS.T != 0]
SMALL = dict(nlambda=8, maxit=2000)


@functools.lru_cache(maxsize=None)
def under_asan():
    if not os.path.exists("/proc/self/maps"):
        return False
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


class Endless:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return 1.0


def sparse(*, n=N, p=P, ptr=PTR, idx=IDX, val=VAL, y=Y, **kwargs):
    return _core.elnet_sparse(n, p, ptr, idx, val, y, **{**SMALL, **kwargs})


def dense(x=X, y=Y, **kwargs):
    return _core.elnet_path(x, y, **{**SMALL, **kwargs})


def late_bad_list(length, bad):
    """A list whose conversion fails at its last element, after the rest was converted."""
    return [1.0] * (length - 1) + [bad]


CALLS = {
    # successful fits, with and without warnings, every family
    "gaussian": lambda: dense(weights=W, penalty_factor=PF, user_lambda=LAM),
    "binomial": lambda: dense(y=YB, family="binomial", lower_limits=-PF, upper_limits=PF),
    "poisson": lambda: dense(y=YP, family="poisson", exclude=[0, 5, P + 3]),
    "sparse": lambda: sparse(weights=W, user_lambda=LAM),
    "max-iter warning": lambda: dense(y=YB, family="binomial", maxit=3),
    "max-active warning": lambda: sparse(pmax=1),
    "mended negative weights": lambda: dense(y=YP, family="poisson", weights=np.where(W > 1.5, -W, W)),
    # binding and conversion
    "missing argument": lambda: _core.elnet_path(X),
    "unknown keyword": lambda: dense(lambd=1.0),
    "too many positional": lambda: _core.elnet_sparse(N, P, PTR, IDX, VAL, Y, "x"),
    "x not an array": lambda: dense(x=X.tolist()),
    "x of float32": lambda: dense(x=X.astype(np.float32)),
    "flag given an int": lambda: dense(weights=W, standardize=1),
    "negative count": lambda: dense(weights=W, maxit=-1),
    "bad vector element": lambda: dense(penalty_factor=late_bad_list(P, "a")),
    "bad count element": lambda: sparse(idx=late_bad_list(len(IDX), -1)),
    "unconvertible sequence": lambda: dense(weights=W, user_lambda=Endless()),
    # entry checks
    "y length": lambda: dense(y=Y[:-1], weights=W),
    "y not contiguous": lambda: dense(y=np.repeat(Y, 2)[::2]),
    "unknown family": lambda: dense(family="gauss", weights=W),
    "option length": lambda: dense(penalty_factor=PF[:-1], weights=W),
    "non-finite x": lambda: dense(x=np.where(X > 2.5, np.nan, X)),
    "lambda_min_ratio": lambda: dense(lambda_min_ratio=1.0),
    "user_lambda NaN": lambda: sparse(user_lambda=[1.0, np.nan]),
    "malformed CSC": lambda: sparse(idx=np.where(IDX == 7, N, IDX)),
    "row twice in a column": lambda: sparse(n=3, p=1, ptr=[0, 2], idx=[1, 1], val=[1.0, 2.0], y=np.arange(3.0)),
    # errors of the solvers and refused input
    "all excluded": lambda: dense(y=YB, family="binomial", exclude=np.arange(P)),
    "penalty factors": lambda: sparse(penalty_factor=np.zeros(P)),
    "weight sum": lambda: dense(y=YP, family="poisson", weights=-W),
    "null probability": lambda: dense(y=np.ones(N), family="binomial", weights=W),
    "negative Poisson response": lambda: dense(y=-YP - 1.0, family="poisson"),
    "constant response": lambda: dense(y=np.full(N, 2.0), weights=W),
    "constant Poisson response": lambda: dense(y=np.full(N, 2.0), family="poisson"),
    "binomial response outside [0, 1]": lambda: dense(y=YB * 2.0, family="binomial"),
    # exhausted memory
    "huge penalty sequence": lambda: dense(nlambda=2**62, weights=W),
    "huge sparse penalty sequence": lambda: sparse(nlambda=2**61),
    "x too large to copy": lambda: dense(x=np.broadcast_to(1.0, (2**28, 2**31))),
}
if under_asan():  # ASan's operator new aborts on an impossible allocation instead of throwing
    del CALLS["x too large to copy"]


def call(fn):
    try:
        return fn()
    except (TypeError, ValueError, OverflowError, MemoryError):
        return None


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@functools.lru_cache(maxsize=None)
def libc():
    name = ctypes.util.find_library("c")
    return ctypes.CDLL(name) if name else None


def settle():
    """Collect garbage and hand free heap pages back, so RSS shows live memory."""
    gc.collect()
    trim = getattr(libc(), "malloc_trim", None)
    if trim is not None:
        trim(0)


def test_every_call_kind_takes_its_path():
    ok = {"gaussian", "binomial", "poisson", "sparse", "max-iter warning", "max-active warning",
          "mended negative weights"}
    for name, fn in CALLS.items():
        if name in ok:
            r = fn()
            assert r["lmu"] >= 1 or r["warning"] is not None, name
        else:
            with pytest.raises((TypeError, ValueError, OverflowError, MemoryError)):
                fn()
    assert dense(y=YB, family="binomial", maxit=3)["warning"][0].startswith("MaxIterReached")
    assert sparse(pmax=1)["warning"][0].startswith("MaxActiveReached")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_does_not_grow():
    if under_asan():
        pytest.skip("ASan keeps freed memory in quarantine; RSS says nothing there")
    for _ in range(3):  # warm-up: allocator pools, NumPy caches, interned texts
        for fn in CALLS.values():
            call(fn)
    settle()
    objects_before, rss_before = len(gc.get_objects()), rss_bytes()
    rounds = 60
    for _ in range(rounds):  # 60 x 37 calls
        for fn in CALLS.values():
            call(fn)
    settle()
    grown = rss_bytes() - rss_before
    # One leaked copy of x per call would be 96 KB x 2200 = 200 MB; allow 4 MB of noise.
    assert grown < 4 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB over {rounds * len(CALLS)} calls"
    assert len(gc.get_objects()) - objects_before < 100


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_in_use():
    """Bytes of the C heap in use (glibc's mallinfo2), or None where unknown.
    Exact to the byte: C++ vectors and NumPy buffers live there."""
    fn = getattr(libc(), "mallinfo2", None)
    if fn is None or under_asan():
        return None
    fn.restype = MallInfo2
    gc.collect()
    info = fn()
    return info.uordblks + info.hblkhd


def test_each_path_alone_leaves_the_heap_as_it_was():
    """Per call kind, so that a leak is attributed to its path: the C heap in
    use after 100 more calls is what it was (a leak of even 40 bytes per call
    would show)."""
    if heap_in_use() is None:
        pytest.skip("needs glibc's mallinfo2 and an allocator without quarantine")
    grown = {}
    for name, fn in CALLS.items():
        for _ in range(5):
            call(fn)
        before = heap_in_use()
        for _ in range(100):
            call(fn)
        delta = heap_in_use() - before
        if delta > 4096:
            grown[name] = delta
    assert not grown, f"heap bytes grown over 100 calls, per call kind: {grown}"


def test_reference_counts_of_inputs_are_unchanged():
    family = "".join(["bino", "mial"])  # a str object of our own
    pf, lam, excl = list(PF), tuple(LAM), [0, 3]
    objects = [X, Y, YB, W, PF, LAM, PTR, IDX, VAL, pf, lam, excl, family]
    objects += [pf[0], lam[0]]
    calls = [
        lambda: _core.elnet_path(X, YB, family=family, weights=W, penalty_factor=pf, user_lambda=lam, exclude=excl),
        lambda: _core.elnet_path(X, YB, family=family, penalty_factor=pf, lower_limits=PF),  # solver error
        lambda: _core.elnet_path(X, Y, family=family, penalty_factor=pf[:-1]),  # length check
        lambda: _core.elnet_path(X, Y, family=family, weights=W, user_lambda=[*lam, "x"]),  # conversion
        lambda: _core.elnet_path(X, Y, family=family, weights=W, exclude=excl, foo=pf),  # binding
        lambda: _core.elnet_path(X, Y[:-1], family=family, weights=W),
        lambda: _core.elnet_path(X, np.full(N, 1.0), weights=W, penalty_factor=pf),  # refused input
        lambda: _core.elnet_path(X, Y, nlambda=2**62, weights=W, penalty_factor=PF),  # MemoryError
        lambda: _core.elnet_sparse(N, P, PTR, IDX, VAL, Y, weights=W, user_lambda=lam),
        lambda: _core.elnet_sparse(N, P, PTR, IDX[::-1], VAL, Y, weights=W, penalty_factor=pf),
        lambda: _core.elnet_sparse(N, P + 1, PTR, IDX, VAL, Y, weights=W),  # malformed CSC
        lambda: _core.elnet_sparse(N, P, PTR, IDX, VAL, Y, weights=W, standardize=family),
    ]
    for fn in calls:
        call(fn)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        for fn in calls:
            call(fn)
    after = [sys.getrefcount(o) for o in objects]
    assert after == before


def test_results_are_released():
    """The result's arrays hold the only references to their buffers."""
    import weakref

    r = dense(weights=W)
    refs = [weakref.ref(r[k]) for k in ("lambda", "a0", "beta", "dev_ratio")]
    for k in ("lambda", "a0", "dev_ratio"):
        base = r[k].base
        assert base is not None and sys.getrefcount(base) == 3  # the array, `base` and the argument
    del r, base
    gc.collect()
    assert all(ref() is None for ref in refs)
