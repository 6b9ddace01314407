"""Nothing is written to the caller's objects, on success or failure; every
memory layout (read-only, memory maps, views) gives the same bits; arguments
aliasing one buffer, or reallocated while the options convert, are read as they are."""
import numpy as np
import pytest
import scipy.sparse as sp

import contract as C
from varnel import _core

RNG = np.random.default_rng(7)
N, P = 30, 5
X = np.round(RNG.normal(size=(N, P)) * 3, 1)
X[RNG.random((N, P)) < 0.4] = 0.0
ETA = X @ np.array([0.8, -0.5, 0.0, 0.3, 0.0])
RESPONSES = {
    "gaussian": ETA + RNG.normal(size=N),
    "binomial": (ETA + RNG.normal(size=N) > 0).astype(float),
    "poisson": RNG.poisson(np.exp(0.3 * ETA)).astype(float),
}
OPTIONS = dict(
    weights=np.where(np.arange(N) % 7 == 0, -1.0, RNG.uniform(0.5, 2.0, N)),  # negatives: mended to 0
    penalty_factor=np.array([1.0, 0.5, 2.0, 1.0, 0.0]),
    lower_limits=np.array([-1.0, -np.inf, -2.0, -0.5, -1.0]),
    upper_limits=np.array([1.0, np.inf, 0.5, 2.0, 1.0]),
    user_lambda=np.array([0.01, 0.5, 0.05, 0.2]),  # increasing: sorted inside
    exclude=np.array([4, 2, 4, 99], dtype=np.uint64),
)
CASES = [("dense", f) for f in RESPONSES] + [("sparse", "gaussian"), ("covariance", "gaussian")]


def csc_arrays(x):
    m = sp.csc_matrix(x)
    return [np.asarray(m.indptr, np.int64), np.asarray(m.indices, np.int32), m.data.copy()]


def fit(entry, family, x, y, options, csc=None):
    if entry == "sparse":
        return _core.elnet_sparse(N, P, *(csc_arrays(x) if csc is None else csc), y, **options)
    if entry == "covariance":  # x read in place; the warning as data; weights as given
        w = options.get("weights")
        r = _core.fit(x, y, solver="covariance", **dict(
            options, weights=None if w is None else np.where(np.asarray(w) < 0, 0.0, w)))
        for key in ("lambda_max", "iterate", "bound", "solver"):
            del r[key]
        return dict(r, warning=r["warning"] and C.warning(*r["warning"]))
    return _core.elnet_path(x, y, family=family, **options)


FAILING = [
    dict(OPTIONS, upper_limits=-np.ones(P)),  # refused after the weights were mended
    dict(OPTIONS, penalty_factor=np.zeros(P)),
    dict(OPTIONS, weights=-np.ones(N)),
    dict(OPTIONS, user_lambda=np.array([0.5, np.nan])),
    dict(OPTIONS, nlambda=2**62, user_lambda=None),
    dict(OPTIONS, thresh="tight"),
]


@pytest.mark.parametrize("entry, family", CASES)
def test_inputs_are_unchanged(entry, family):
    """Writable arrays, lists and tuples, on success and on every kind of failure."""
    x, y = X.copy(), RESPONSES[family].copy()
    arrays = {k: v.copy() for k, v in OPTIONS.items()}
    seqs = {k: (v.tolist() if i % 2 else tuple(v.tolist())) for i, (k, v) in enumerate(OPTIONS.items())}
    calls = [(arrays, csc_arrays(X)), (seqs, [c.tolist() for c in csc_arrays(X)])]
    calls += [({k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in o.items()}, csc_arrays(X))
              for o in FAILING]
    calls += [({"weights": OPTIONS["weights"].copy()}, csc_arrays(X))]  # y below: refused as constant
    results = []
    for k, (options, csc) in enumerate(calls):
        yy = np.full(N, 1.0) if k == len(calls) - 1 else y
        before = C.fingerprint([x, yy, options, csc])
        try:
            results.append(fit(entry, family, x, yy, options, csc))
            C.check_result(results[-1], P, [x, yy, *options.values(), *csc])
        except (TypeError, ValueError, MemoryError):
            assert k >= 2, k
        assert C.fingerprint([x, yy, options, csc]) == before, k
    assert len(results) == 2 and results[0]["lmu"] == 4
    C.assert_identical(*results)


def readonly(a):
    b = np.array(a, copy=True, order="K")
    b.setflags(write=False)
    return b


def memmap(tmp_path, name, a, order="C"):
    """A read-only memory map of a file holding a's values."""
    path = tmp_path / f"{name}.bin"
    np.asarray(a).tofile(path) if order == "C" else np.asfortranarray(a).T.tofile(path)
    return np.memmap(path, dtype=a.dtype, mode="r", shape=a.shape, order=order)


def unaligned(a):
    view = np.zeros(a.nbytes + 1, np.uint8)[1:].view(np.float64).reshape(a.shape)
    view[...] = a
    return view


def strided(a):
    big = np.full(tuple(2 * s + 1 for s in a.shape), 7, dtype=a.dtype)
    view = big[tuple(slice(1, None, 2) for _ in a.shape)]
    view[...] = a
    return view


LAYOUTS = {  # of x, y (contiguous ones only), options and CSC arrays: (tmp_path, name, array)
    "read-only": lambda t, k, a: readonly(a),
    "read-only Fortran": lambda t, k, a: readonly(np.asfortranarray(a)),
    "read-only view": lambda t, k, a: readonly(np.hstack([a, a]))[:, :P] if a.ndim == 2 else readonly(a),
    "memory map": memmap,
    "Fortran memory map": lambda t, k, a: memmap(t, k, a, "F" if a.ndim == 2 else "C"),
    "unaligned": lambda t, k, a: unaligned(a) if a.ndim == 2 else a,
    "strided": lambda t, k, a: strided(a) if k != "y" else a,
    "reversed": lambda t, k, a: np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])[
        (slice(None, None, -1),) * a.ndim] if k != "y" else a,
    "matrix": lambda t, k, a: np.asmatrix(a) if a.ndim == 2 else a,
}


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("entry, family", CASES)
def test_same_bits_in_any_layout(tmp_path, layout, entry, family):
    y = RESPONSES[family]
    ref = fit(entry, family, X, y, OPTIONS)
    make = LAYOUTS[layout]
    options = {k: make(tmp_path, k, v) for k, v in OPTIONS.items()}
    csc = [make(tmp_path, f"csc{i}", c) for i, c in enumerate(csc_arrays(X))]
    files = {f: f.read_bytes() for f in tmp_path.iterdir()}
    C.assert_identical(fit(entry, family, make(tmp_path, "x", X), make(tmp_path, "y", y), options, csc), ref)
    assert {f: f.read_bytes() for f in files} == files


@pytest.mark.parametrize("family", RESPONSES)
def test_arguments_aliasing_one_buffer(family):
    """x, y and the option vectors as views of one Fortran-ordered block."""
    y = RESPONSES[family]
    w = np.abs(OPTIONS["weights"]) + 0.5
    block = np.asfortranarray(np.column_stack([X, y, w, np.ones(N)]))
    snapshot = block.tobytes()
    r = _core.elnet_path(block[:, :P], block[:, P], family=family, weights=block[:, P + 1],
                         penalty_factor=block[:P, P + 2], nlambda=10)
    assert block.tobytes() == snapshot
    C.assert_identical(r, _core.elnet_path(X.copy(), y.copy(), family=family, weights=w.copy(),
                                           penalty_factor=np.ones(P), nlambda=10))


@pytest.mark.parametrize("entry", ["dense", "sparse"])
def test_arrays_reallocated_while_the_options_convert(entry):
    """An option's __float__ may reallocate x or y in place: they are read after it."""
    x, y = X.copy(), RESPONSES["gaussian"].copy()
    half = N // 2

    class Shrink:
        def __float__(self):
            x.resize((half, P), refcheck=False)  # frees the old buffers
            y.resize(half, refcheck=False)
            return 1.0

    if entry == "dense":
        r = _core.elnet_path(x, y, alpha=Shrink())
        C.assert_identical(r, _core.elnet_path(X[:half].copy(), RESPONSES["gaussian"][:half].copy()))
    else:
        with pytest.raises(ValueError) as info:
            _core.elnet_sparse(N, P, *csc_arrays(X), y, alpha=Shrink())
        assert str(info.value) == C.rows_differ(N, half, True)
