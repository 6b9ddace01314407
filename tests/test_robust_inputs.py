"""Nothing is written to the caller's objects: arrays, lists and tuples are
byte-for-byte unchanged after any call, successful or failing, also where a
solver mends or reorders the input internally (negative weights, an
increasing user_lambda, standardization); read-only arrays and read-only
memory maps are accepted everywhere and give the same bits as ordinary
arrays; arguments that alias one buffer are read correctly."""
import numpy as np
import pytest
import scipy.sparse as sp

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
FAMILIES = list(RESPONSES)


def csc_arrays(x):
    m = sp.csc_matrix(x)
    return [np.asarray(m.indptr, np.int64), np.asarray(m.indices, np.int32), m.data.copy()]


def fit(entry, family, x, y, options, csc=None):
    if entry == "sparse":
        ptr, idx, val = csc if csc is not None else csc_arrays(x)
        return _core.elnet_sparse(N, P, ptr, idx, val, y, **options)
    return _core.elnet_path(x, y, family=family, **options)


def cases():
    for family in FAMILIES:
        yield "dense", family
    yield "sparse", "gaussian"


def assert_identical(a, b):
    assert list(a) == list(b)
    for k in a:
        if isinstance(a[k], np.ndarray):
            assert a[k].shape == b[k].shape and a[k].tobytes() == b[k].tobytes(), k
        else:
            assert a[k] == b[k], k


def fingerprint(obj):
    if isinstance(obj, np.ndarray):
        return (obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable, obj.tobytes())
    if isinstance(obj, (list, tuple)):
        return type(obj), [fingerprint(v) for v in obj]
    return repr(obj)


def readonly(a):
    b = np.array(a, copy=True, order="K")
    b.setflags(write=False)
    return b


def memmap(tmp_path, name, a, order="C"):
    """A read-only memory map of a file holding a's values."""
    path = tmp_path / f"{name}.bin"
    np.asarray(a).tofile(path) if order == "C" else np.asfortranarray(a).T.tofile(path)
    m = np.memmap(path, dtype=a.dtype, mode="r", shape=a.shape, order=order)
    assert not m.flags.writeable and np.array_equal(m, a)
    return m


@pytest.mark.parametrize("entry, family", list(cases()))
def test_writable_inputs_are_unchanged_where_the_solver_mends_them(entry, family):
    y = RESPONSES[family].copy()
    x, options, csc = X.copy(), {k: v.copy() for k, v in OPTIONS.items()}, csc_arrays(X)
    if entry == "sparse":
        options.pop("lower_limits")  # keep the fit's intercept path simple; limits are checked dense
    before = [fingerprint(o) for o in (x, y, options, csc)]
    r = fit(entry, family, x, y, options, csc)
    assert r["lmu"] == 4
    assert [fingerprint(o) for o in (x, y, options, csc)] == before
    for a in (r["lambda"], r["a0"], r["beta"], r["dev_ratio"]):
        for inp in [x, y, *options.values(), *csc]:
            assert not np.may_share_memory(a, inp)


@pytest.mark.parametrize("entry, family", list(cases()))
def test_lists_and_tuples_are_unchanged(entry, family):
    y = RESPONSES[family]
    options = {k: (v.tolist() if i % 2 else tuple(v.tolist())) for i, (k, v) in enumerate(OPTIONS.items())}
    csc = [c.tolist() for c in csc_arrays(X)]
    before = fingerprint([options, csc])
    r = fit(entry, family, X, y, options, csc)
    assert fingerprint([options, csc]) == before
    assert_identical(r, fit(entry, family, X, y, OPTIONS))


@pytest.mark.parametrize("entry, family", list(cases()))
def test_read_only_arrays_are_accepted_everywhere(entry, family):
    y = RESPONSES[family]
    ref = fit(entry, family, X, y, OPTIONS)
    ro_options = {k: readonly(v) for k, v in OPTIONS.items()}
    r = fit(entry, family, readonly(X), readonly(y), ro_options, [readonly(c) for c in csc_arrays(X)])
    assert_identical(r, ref)
    # A read-only Fortran-ordered x and a read-only view.
    assert_identical(fit(entry, family, readonly(np.asfortranarray(X)), readonly(y), ro_options), ref)
    base = readonly(np.hstack([X, X]))
    assert_identical(fit(entry, family, base[:, :P], readonly(y), ro_options), ref)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("entry, family", list(cases()))
def test_read_only_memory_maps_are_accepted_and_unchanged(tmp_path, order, entry, family):
    y = RESPONSES[family]
    ref = fit(entry, family, X, y, OPTIONS)
    maps = {k: memmap(tmp_path, k, v) for k, v in OPTIONS.items()}
    mx, my = memmap(tmp_path, "x", X, order), memmap(tmp_path, "y", y)
    csc = [memmap(tmp_path, f"csc{i}", c) for i, c in enumerate(csc_arrays(X))]
    files = sorted(tmp_path.iterdir())
    contents = [f.read_bytes() for f in files]
    assert_identical(fit(entry, family, mx, my, maps, csc), ref)
    assert [f.read_bytes() for f in files] == contents


@pytest.mark.parametrize("entry, family", list(cases()))
def test_inputs_are_unchanged_when_the_call_fails(entry, family):
    y = RESPONSES[family].copy()
    x = X.copy()
    failing = [
        dict(OPTIONS, upper_limits=-np.ones(P)),  # refused after the weights were mended
        dict(OPTIONS, penalty_factor=np.zeros(P)),
        dict(OPTIONS, weights=-np.ones(N)),
        dict(OPTIONS, user_lambda=np.array([0.5, np.nan])),
        dict(OPTIONS, nlambda=2**62, user_lambda=None),
        dict(OPTIONS, thresh="tight"),
    ]
    for options in failing:
        options = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in options.items()}
        csc = csc_arrays(X)
        before = fingerprint([x, y, options, csc])
        with pytest.raises((TypeError, ValueError, MemoryError)):
            fit(entry, family, x, y, options, csc)
        assert fingerprint([x, y, options, csc]) == before
    # A response the solver refuses as constant, with writable inputs.
    yc = np.full(N, 1.0)
    with pytest.raises(ValueError):
        fit(entry, "gaussian" if family == "binomial" else family, x, yc, {"weights": OPTIONS["weights"].copy()})
    assert np.all(yc == 1.0) and np.array_equal(x, X)


@pytest.mark.parametrize("family", FAMILIES)
def test_arguments_aliasing_one_buffer(family):
    """x, y and the option vectors as views of one Fortran-ordered block."""
    y = RESPONSES[family]
    w = np.abs(OPTIONS["weights"]) + 0.5
    block = np.asfortranarray(np.column_stack([X, y, w, np.ones(N)]))
    snapshot = block.tobytes()
    x_view, y_view, w_view = block[:, :P], block[:, P], block[:, P + 1]
    pf_view = block[:P, P + 2]
    assert y_view.flags.c_contiguous and x_view.base is y_view.base is w_view.base is block
    r = _core.elnet_path(x_view, y_view, family=family, weights=w_view, penalty_factor=pf_view, nlambda=10)
    assert block.tobytes() == snapshot
    assert_identical(r, _core.elnet_path(X.copy(), y.copy(), family=family, weights=w.copy(),
                                         penalty_factor=np.ones(P), nlambda=10))


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_read_only_scipy_matrix_and_matrix_subclass():
    m = sp.csc_matrix(X)
    for a in (m.indptr, m.indices, m.data):
        a.setflags(write=False)
    y = RESPONSES["gaussian"]
    r = _core.elnet_sparse(N, P, m.indptr, m.indices, m.data, y)
    assert_identical(r, _core.elnet_sparse(N, P, *csc_arrays(X), y))
    # np.matrix is a 2-D float64 ndarray and is read like any other.
    assert_identical(_core.elnet_path(np.asmatrix(X), y), _core.elnet_path(X, y))


@pytest.mark.parametrize("entry", ["dense", "sparse"])
def test_arrays_reallocated_while_the_options_convert(entry):
    """An option's __float__ may run any code, also code that reallocates x
    or y in place; the arrays are read as they are after it."""
    x, y = X.copy(), RESPONSES["gaussian"].copy()
    half = N // 2

    class Shrink:
        def __float__(self):
            x.resize((half, P), refcheck=False)  # frees the old buffers
            y.resize(half, refcheck=False)
            return 1.0

    if entry == "dense":
        r = _core.elnet_path(x, y, alpha=Shrink())
        assert_identical(r, _core.elnet_path(X[:half].copy(), RESPONSES["gaussian"][:half].copy()))
    else:
        with pytest.raises(ValueError, match=f"expected y of length {N}, got {half}"):
            _core.elnet_sparse(N, P, *csc_arrays(X), y, alpha=Shrink())


def test_exceptions_of_the_callers_objects_pass_through():
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("from the caller's object")

    with pytest.raises(ZeroDivisionError) as info:
        _core.elnet_path(X, RESPONSES["gaussian"], penalty_factor=[1.0, Broken(), 1.0, 1.0, 1.0])
    assert getattr(info.value, "__notes__", ["while processing 'penalty_factor'"]) == [
        "while processing 'penalty_factor'"]
