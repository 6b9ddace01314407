"""Contract of the extension module varnel._core in every family and for both
entry points: argument binding and conversion with their exact errors, the
checks made before any fitting, the core's refusals, the order in which
faults are reported, equivalent spellings of one call, and the result
dictionary."""
import inspect
import random
import re
import sys
import time

import numpy as np
import pytest
import scipy.sparse as sp

import contract as C
from varnel import _core

NAN, INF, U64 = float("nan"), float("inf"), 2**64 - 1
RNG = np.random.default_rng(5)
N, P = 40, 6
X = RNG.normal(size=(N, P))
Y = X @ np.linspace(2.0, -1.5, P) + RNG.normal(size=N)
RESP = {"gaussian": Y, "binomial": (X[:, 0] + RNG.normal(size=N) > 0).astype(float),
        "poisson": RNG.poisson(np.exp(0.5 * X[:, 0])).astype(float), "sparse": Y}
LABELS = list(RESP)  # the three families of elnet_path, and elnet_sparse


def fit(label, x=X, y=None, csc=None, **kwargs):
    y = RESP[label] if y is None else y
    if label != "sparse":
        return _core.elnet_path(x, y, **{"family": label, **kwargs})
    m = sp.csc_matrix(x)
    parts = csc(m) if csc else (m.indptr, m.indices, m.data)
    return _core.elnet_sparse(x.shape[0], x.shape[1], *parts, y, **kwargs)


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", None)


# ---- binding: the interpreter's own texts -----------------------------------------


@pytest.mark.parametrize("name", ["elnet_path", "elnet_sparse"])
def test_binding_errors_are_the_interpreters(name):
    """Call patterns (positional counts, known, unknown and duplicated keywords)
    against a Python function of the same signature.  Newer interpreters add
    a spelling suggestion and count keyword-only arguments beside surplus
    positional ones; the module keeps the short form."""
    scope, params = {}, list(inspect.signature(getattr(_core, name)).parameters)
    exec(f"def {name}{inspect.signature(getattr(_core, name))}: pass", scope)
    rnd, pool, marker = random.Random(20240611), params + ["foo", "Alpha", "x_", "family", "alpha"], object()
    cases = [(npos, ()) for npos in range(9)] + [
        (rnd.randint(0, len(params) // 2 + 2), tuple(dict.fromkeys(rnd.sample(pool, rnd.randint(0, 4)))))
        for _ in range(150)]
    for npos, keys in cases:
        args, kwargs = (marker,) * npos, dict.fromkeys(keys, marker)
        exc = raised(lambda: getattr(_core, name)(*args, **kwargs))
        try:
            scope[name](*args, **kwargs)
        except TypeError as ref:
            expected = re.sub(r"\. Did you mean '\w+'\?$", "", str(ref))
            expected = re.sub(r" positional arguments? \(and \d+ keyword-only arguments?\) were given$",
                              " were given", expected)
            assert (type(exc), str(exc), notes(exc)) == (TypeError, expected, None), (npos, keys)
        else:  # bound: the first parameter fails its conversion
            assert notes(exc) == C.note(params[0]), (npos, keys)


# ---- conversion: exact errors, each with the parameter's note -----------------------


class Outer:
    class Inner:
        pass


class Broken:
    def __float__(self):
        raise ZeroDivisionError("from the caller's object")


NI = C.not_instance
C_ORDER = np.ones((5, 3))
ERRORS = [  # (entry, arguments, exception, text or None, parameter of the note or None)
    ("gaussian", dict(x=[[1.0]]), TypeError, NI("list", "ndarray"), "x"),
    ("gaussian", dict(x=None), TypeError, NI("None", "ndarray"), "x"),
    ("gaussian", dict(x=Outer.Inner()), TypeError, NI("Outer.Inner", "ndarray"), "x"),
    ("gaussian", dict(x=X.astype(np.float32)), TypeError, C.wrong_dtype("float32"), "x"),
    ("gaussian", dict(x=X.astype(np.longdouble)), TypeError, None, "x"),
    ("gaussian", dict(x=X.astype(">f8" if sys.byteorder == "little" else "<f8")), TypeError, None, "x"),
    ("gaussian", dict(x=X[:, 0]), TypeError, C.wrong_ndim(2, 1), "x"),
    ("gaussian", dict(y=list(Y)), TypeError, NI("list", "ndarray"), "y"),
    ("gaussian", dict(y=Y[:, None]), TypeError, C.wrong_ndim(1, 2), "y"),
    ("gaussian", dict(family=None), TypeError, NI("None", "str"), "family"),
    ("gaussian", dict(family=b"gaussian"), TypeError, NI("bytes", "str"), "family"),
    ("gaussian", dict(standardize=1), TypeError, NI("int", "bool"), "standardize"),
    ("gaussian", dict(intercept=np.int8(1)), TypeError, NI("int8", "bool"), "intercept"),
    ("gaussian", dict(nlambda=-1), OverflowError, None, "nlambda"),
    ("gaussian", dict(nlambda=2**64), OverflowError, None, "nlambda"),
    ("gaussian", dict(nlambda=10.0), TypeError, None, "nlambda"),
    ("gaussian", dict(maxit="10"), TypeError, None, "maxit"),
    ("gaussian", dict(alpha="a"), TypeError, None, "alpha"),
    ("gaussian", dict(thresh=[1e-7]), TypeError, None, "thresh"),
    ("gaussian", dict(penalty_factor="abc"), TypeError, C.not_numbers("str"), "penalty_factor"),
    ("gaussian", dict(penalty_factor={1.0, 2.0}), TypeError, NI("set", "Sequence"), "penalty_factor"),
    ("gaussian", dict(penalty_factor=3.0), TypeError, NI("float", "Sequence"), "penalty_factor"),
    ("gaussian", dict(penalty_factor=C.Endless()), MemoryError, None, "penalty_factor"),
    ("gaussian", dict(penalty_factor=[1.0, Broken()] + [1.0] * 4), ZeroDivisionError,
     "from the caller's object", "penalty_factor"),  # the caller's own exception, passed on
    ("gaussian", dict(weights=[1.0, "a"]), TypeError, None, "weights"),
    ("gaussian", dict(user_lambda=[1.0, None]), TypeError, None, "user_lambda"),
    ("gaussian", dict(exclude=[0.0]), TypeError, None, "exclude"),
    ("gaussian", dict(exclude=[-1]), OverflowError, None, "exclude"),
    ("gaussian", dict(exclude=np.array([2, -1], dtype=np.int32)), OverflowError, None, "exclude"),
    ("sparse", dict(n=-1), OverflowError, None, "n"),
    ("sparse", dict(p=2.0), TypeError, None, "p"),
    ("sparse", dict(col_ptr=None), TypeError, NI("None", "Sequence"), "col_ptr"),
    ("sparse", dict(col_ptr=[0.0, 0.0, 0.0]), TypeError, None, "col_ptr"),
    ("sparse", dict(col_ptr=np.array([0, -1, 0])), OverflowError, None, "col_ptr"),
    ("sparse", dict(row_idx="01"), TypeError, None, "row_idx"),
    ("sparse", dict(values=5), TypeError, NI("int", "Sequence"), "values"),
    ("sparse", dict(y=[0.0] * 3), TypeError, NI("list", "ndarray"), "y"),
    # several faults: the first in this order is reported
    ("gaussian", dict(exclude="a", alpha="a", family=1), TypeError, None, "family"),  # signature order
    ("gaussian", dict(y=None, exclude="a", alpha="a"), TypeError, None, "y"),
    ("gaussian", dict(exclude="a", weights="a", alpha="a"), TypeError, None, "alpha"),
    ("sparse", dict(row_idx="a", y=None), TypeError, None, "row_idx"),
    ("gaussian", dict(y=Y[:3], standardize=0), TypeError, None, "standardize"),  # conversion, then shapes
    ("gaussian", dict(x=C_ORDER, y=np.ones(4), family="nope"), ValueError, C.rows_differ(5, 4, False), None),
    ("gaussian", dict(x=C_ORDER, y=C_ORDER[:, 1], family="nope"), TypeError, C.NOT_CONTIGUOUS, None),
    ("gaussian", dict(y=np.frombuffer(b"\0" + Y.tobytes(), offset=1), family="nope"), TypeError,  # unaligned
     C.NOT_CONTIGUOUS, None),
    ("sparse", dict(n=4, col_ptr=[0], row_idx=[1], y=np.ones(5)), ValueError, C.rows_differ(4, 5, True), None),
    ("sparse", dict(n=4, col_ptr=[0], y=np.ones((4, 2))[:, 0]), TypeError, C.NOT_CONTIGUOUS, None),
    ("sparse", dict(col_ptr=[0], y=np.full(3, NAN), lambda_min_ratio=2.0), ValueError,
     C.CSC + "col_ptr has 1 entries but p + 1 = 3 are needed", None),
    ("gaussian", dict(family="nope", x=np.zeros((0, 3)), y=np.zeros(0), penalty_factor=[1.0]), ValueError,
     C.unknown_family('"nope"'), None),
    ("gaussian", dict(x=np.zeros((0, 3)), y=np.zeros(0), lambda_min_ratio=2.0), ValueError,
     C.no_rows(3, False), None),
    ("gaussian", dict(x=np.where(X > 1, NAN, X), y=np.full(N, INF), lambda_min_ratio=2.0), ValueError,
     C.not_finite("x", int(np.flatnonzero(X.T.ravel() > 1)[0]), NAN), None),
    ("gaussian", dict(y=np.full(N, INF), lambda_min_ratio=2.0), ValueError, C.not_finite("y", 0, INF), None),
    ("gaussian", dict(lambda_min_ratio=2.0, penalty_factor=[1.0]), ValueError, C.bad_ratio(2.0), None),
    ("gaussian", dict(user_lambda=[-1.0], penalty_factor=[1.0]), ValueError, C.bad_lambda(0, -1.0), None),
    ("gaussian", dict(penalty_factor=[0.0] * 5, upper_limits=[1.0]), ValueError,  # before the core's refusal
     C.wrong_length("penalty_factor", 5, False, cols=P), None),
    ("gaussian", dict(y=-np.abs(Y), family="poisson", weights=[1.0]), ValueError,
     C.wrong_length("weights", 1, False, rows=N), None),
    ("gaussian", dict(weights=[NAN] * N, exclude=range(P)), ValueError, C.not_finite("weights", 0, NAN), None),
    ("gaussian", dict(y=np.full(N, 2.0), family="binomial", exclude=range(P)), ValueError,
     C.binomial_range(0, 2.0), None),
]


def call(entry, **over):
    """elnet_path(X, Y) or elnet_sparse on 3 x 2 all-zero CSC arrays, with
    the given arguments replaced (every argument by keyword)."""
    if entry == "gaussian":
        return _core.elnet_path(**{"x": X, "y": Y, **over})
    return _core.elnet_sparse(**{"n": 3, "p": 2, "col_ptr": [0, 0, 0], "row_idx": [], "values": [],
                                 "y": np.zeros(3), **over})


@pytest.mark.parametrize("entry, over, kind, text, param", ERRORS)
def test_reported_error(entry, over, kind, text, param):
    exc = raised(lambda: call(entry, **over))
    assert type(exc) is kind
    assert text is None or str(exc) == text
    assert notes(exc) == (C.note(param) if param else None)


@pytest.mark.parametrize("n, p, col_ptr, row_idx, values, problem", [
    (3, 3, [0, 1, 2], [0, 1], [1.0, 2.0], "col_ptr has 3 entries but p + 1 = 4 are needed"),
    (3, 2, [], [], [], "col_ptr has 0 entries but p + 1 = 3 are needed"),
    (3, 2**64 - 1, [0, 0, 0], [], [], None),  # p + 1 not representable
    (3, 2, [0, 1, 2], [0, 1], [1.0], "row_idx has 2 entries but values has 1"),
    (3, 2, [0, 2, 1], [0, 1], [1.0, 2.0], "col_ptr decreases at index 2"),
    (3, 2, [1, 1, 2], [0, 1], [1.0, 2.0], "col_ptr[0] = 1 but the first column starts at 0"),
    (3, 2, [0, 1, 5], [0, 1], [1.0, 2.0], "col_ptr[2] = 5 exceeds the 2 stored entries"),
    (3, 2, [0, 1, 2], [0, 3], [1.0, 2.0], "row_idx[1] = 3 is not below n = 3"),
    (3, 1, [0, 2], [1, 1], [1.0, 2.0], "row 1 is stored twice in column 0"),
    # far more rows than stored entries (fit): checked without a marker per row
    (2**53, 1, [0, 3], [9, 2**60, 9], [1.0, 2.0, 3.0],
     f"row_idx[1] = {2**60} is not below n = {2**53}"),
    (2**53, 2, [0, 1, 4], [0, 7, 2, 7], [1.0] * 4, "row 7 is stored twice in column 1"),
])
def test_malformed_csc_is_refused(n, p, col_ptr, row_idx, values, problem):
    calls = [lambda: _core.fit((n, p, col_ptr, row_idx, values), np.arange(3.0))]
    if n == 3:  # elnet_sparse compares y's length with n first
        calls.append(lambda: _core.elnet_sparse(n, p, col_ptr, row_idx, values, np.arange(3.0)))
    for call in calls:
        exc = raised(call)
        assert type(exc) is ValueError and notes(exc) is None
        assert str(exc) == C.CSC + problem if problem else str(exc).startswith(C.CSC)


U = np.uint64
COLUMN_TYPE = ("x's column {} must be a contiguous float64 array of its values, a contiguous array "
               "of 64-bit rows, or a pair (rows, values) of them of one length")


@pytest.mark.parametrize("p, columns, kind, text", [
    (1, (np.array([2, 1], U),), ValueError, "malformed columns: column 0: row 1 follows row 2, but the rows must ascend"),
    (1, (np.array([1, 1], U),), ValueError, "malformed columns: column 0: row 1 follows row 1, but the rows must ascend"),
    (1, (np.array([0, 3], U),), ValueError, "malformed columns: column 0: row 3 is not below n = 3"),
    (1, (np.ones(2),), ValueError, "malformed columns: column 0 has 2 values but n = 3"),
    (1, (np.array([0, 1, 2, 2], U),), ValueError, "malformed columns: column 0 has 4 entries but n = 3"),
    (1, (np.array([0.0, np.inf, 1.0]),), ValueError, "x must be finite, but x[1, 0] is inf"),
    (2, (np.ones(3), (np.array([0, 2], U), np.array([1.0, np.nan]))), ValueError,
     "x must be finite, but x[2, 1] is nan"),
    (1, (np.array([-1, 0]),), TypeError, COLUMN_TYPE.format(0)),  # a negative row
    (1, (np.ones(3, np.float32),), TypeError, COLUMN_TYPE.format(0)),
    (1, (np.ones(6)[::2],), TypeError, COLUMN_TYPE.format(0)),
    (2, (np.ones(3), [0, 1]), TypeError, COLUMN_TYPE.format(1)),
    (1, ((np.array([0, 1], U), np.ones(3)),), TypeError, COLUMN_TYPE.format(0)),
    (1, [np.ones(3)], TypeError, "x given as (n, p, columns) needs a tuple of p columns"),
    (1, (np.ones(3), np.ones(3)), TypeError, "x given as (n, p, columns) needs a tuple of p columns"),
])
def test_malformed_columns_are_refused(p, columns, kind, text):
    exc = raised(lambda: _core.fit((3, p, columns), np.arange(3.0)))
    assert type(exc) is kind and str(exc) == text


@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson", "multinomial", "cox"])
def test_columns_given_one_by_one_are_their_csc_matrix(family):
    """Whole columns, indicator rows and (rows, values) pairs, given one by
    one, fit to the bits of the CSC arrays holding the same entries, and the
    caller's arrays are read, never written (standardized: a whole column is
    centred in a copy)."""
    rng = np.random.default_rng(3)
    n = 60
    whole = rng.standard_normal(n)
    ones = np.flatnonzero(rng.random(n) < 0.4).astype(U)
    rows = np.flatnonzero(rng.random(n) < 0.3)
    values = rng.standard_normal(rows.shape[0])
    columns = (whole, ones, (rows, values), np.zeros(0, U))
    kept = [np.array(a, copy=True) for a in (whole, ones, rows, values)]
    indptr = np.cumsum([0, n, ones.shape[0], rows.shape[0], 0]).astype(U)
    indices = np.concatenate([np.arange(n), ones, rows]).astype(U)
    data = np.concatenate([whole, np.ones(ones.shape[0]), values])
    eta = whole + 0.5 * np.isin(np.arange(n), ones)
    y = {"gaussian": eta, "binomial": (eta > 0).astype(float), "poisson": rng.poisson(np.exp(eta / 2)) * 1.0,
         "multinomial": np.digitize(eta, [-0.5, 0.5]).astype(float),
         "cox": np.c_[rng.exponential(np.exp(-eta)), rng.random(n) < 0.8]}[family]
    for standardize in (True, False):
        a = _core.fit((n, 4, indptr, indices, data), y, family=family, standardize=standardize)
        b = _core.fit((n, 4, columns), y, family=family, standardize=standardize)
        for key in ("beta", "a0", "lambda", "dev_ratio", "npasses"):
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)
    for given, kept_values in zip((whole, ones, rows, values), kept):
        np.testing.assert_array_equal(given, kept_values)


def test_a_column_changed_during_the_fit_stops_it():
    """The arrays read in place are watched: one reshaped by the callback
    (its memory kept) stops the fit at the next poll, which the pause makes
    due, before the column is read again."""
    n = 50_000
    rng = np.random.default_rng(5)
    whole, other = rng.standard_normal(n), rng.standard_normal(n)

    def callback(index, *_):
        if index == 0:
            whole.shape = (n // 2, 2)
            time.sleep(0.25)
        return True

    with pytest.raises(RuntimeError, match="^x was changed while the fit was reading it$"):
        _core.fit((n, 2, (whole, other)), whole + other + rng.standard_normal(n), callback=callback)


# ---- checks before fitting and the core's refusals, in every family -----------------


def at(a, index, value):
    a = np.array(a, dtype=float)
    a[index] = value
    return a


W0 = at(np.ones(N), 0, 0.0)
ENTRY_CHECKS = [  # (arguments, text or text(sparse))
    *[({name: [1.0] * k}, lambda s, name=name, k=k: C.wrong_length(name, k, s, cols=P))
      for name in ("penalty_factor", "lower_limits", "upper_limits") for k in (0, P - 1, P + 1)],
    *[(dict(weights=np.ones(k)), lambda s, k=k: C.wrong_length("weights", k, s, rows=N)) for k in (0, N + 1)],
    *[(dict(lambda_min_ratio=v), lambda s, v=v: C.bad_ratio(v)) for v in (1.0, 1.5, INF, NAN)],
    *[(dict(user_lambda=[1.0, v, 0.1]), lambda s, v=v: C.bad_lambda(1, v)) for v in (NAN, INF, -INF, -0.5)],
    *[(dict(x=at(X, (3, 2), v)), lambda s, v=v: C.not_finite("values" if s else "x", 83, v)) for v in (NAN, INF, -INF)],
    (dict(y=at(Y, 7, NAN)), lambda s: C.not_finite("y", 7, NAN)),
    (dict(weights=at(np.ones(N), 4, -INF)), lambda s: C.not_finite("weights", 4, -INF)),
    (dict(x=np.zeros((0, 3)), y=np.zeros(0)), lambda s: C.no_rows(3, s)),
    # the core's refusals
    *[(dict(x=np.ones(shape), y=np.array([0.0, 0.5, 1.0][:shape[0]])), C.FIT_ERRORS["AllPredictorsExcluded"])
      for shape in ((0, 0), (3, 0), (1, 3))],  # no column, or one row (every column constant)
    (dict(exclude=range(P)), C.FIT_ERRORS["AllPredictorsExcluded"]),
    (dict(penalty_factor=[0.0] * P), C.FIT_ERRORS["NonPositivePenalties"]),
    (dict(penalty_factor=[NAN] * P), C.FIT_ERRORS["NonPositivePenalties"]),
    (dict(lower_limits=[0.1] * P), C.FIT_ERRORS["PositiveLowerLimit"]),
    (dict(lower_limits=[-1.0] * (P - 1) + [INF]), C.FIT_ERRORS["PositiveLowerLimit"]),
    (dict(lower_limits=[-1.0] * (P - 1) + [1e-300]), C.FIT_ERRORS["PositiveLowerLimit"]),
    (dict(upper_limits=[1.0] * (P - 1) + [-1e-300]), C.FIT_ERRORS["NegativeUpperLimit"]),
    (dict(upper_limits=[-INF] + [1.0] * (P - 1)), C.FIT_ERRORS["NegativeUpperLimit"]),
    (dict(weights=np.zeros(N)), C.FIT_ERRORS["NonPositiveWeightSum"]),
    (dict(weights=-W0), C.FIT_ERRORS["NonPositiveWeightSum"]),  # negative weights count as 0
    (dict(y=np.full(N, 0.5)), C.CONSTANT),
    (dict(x=X * 1e160), C.overflow("the weighted sum of squares of column 0 of x", "x")),
    (dict(x=X * 1e160, standardize=False, intercept=False),
     C.overflow("the weighted sum of squares of column 0 of x", "x")),
    (dict(weights=np.full(N, 1e308)), C.overflow("the sum of the weights", "weights")),
    (dict(y=at(np.full(N, 0.5), 0, 0.0), weights=W0), C.CONSTANT),  # varies on a row of weight 0
]


@pytest.mark.parametrize("label, over, text", [  # every family's, then one family's
    *[(label, over, text(label == "sparse") if callable(text) else text) for over, text in ENTRY_CHECKS
      for label in LABELS],
    ("binomial", dict(y=np.ones(N)), C.FIT_ERRORS["NullProbOverflow"]),
    ("binomial", dict(y=np.zeros(N)), C.FIT_ERRORS["NullProbUnderflow"]),
    ("binomial", dict(y=at(RESP["binomial"], 4, 1.5)), C.binomial_range(4, 1.5)),
    ("poisson", dict(y=-np.ones(N)), C.FIT_ERRORS["NegativeResponse"]),
    ("gaussian", dict(y=np.zeros(N), intercept=False), C.CONSTANT_AT_0),
    ("sparse", dict(y=np.zeros(N), intercept=False), C.CONSTANT_AT_0),
    *[(label, dict(y=Y * 1e160), C.overflow("the weighted mean or sum of squares of y", "y"))
      for label in ("gaussian", "sparse")],
    ("poisson", dict(y=RESP["poisson"] * 1e306), C.overflow("the null deviance of y", "y")),
    # a response too small to square: scale it up, never down
    *[(label, dict(y=Y * 1e-200), C.underflow("the weighted sum of squares of y", "y"))
      for label in ("gaussian", "sparse")],
    ("gaussian", dict(y=Y * 1e-200, intercept=False), C.underflow("the weighted sum of squares of y", "y")),
    # an unknown family, quoted and escaped
    *[("gaussian", dict(family=family), C.unknown_family(shown)) for family, shown in [
        ("Gaussian", '"Gaussian"'), (" gaussian", '" gaussian"'), ("", '""'), ('a"b\\c\n', '"a\\"b\\\\c\\n"'),
        ("t\tr\r", '"t\\tr\\r"'), ("\x00\x1b\x7f\x85", '"\\u{0}\\u{1b}\\u{7f}\\u{85}"'),
        ("gaußian é", '"gaußian é"')]],
])
def test_entry_checks_and_refusals(label, over, text):
    exc = raised(lambda: fit(label, **over))
    assert (type(exc), str(exc), notes(exc)) == (ValueError, text, None)


@pytest.mark.parametrize("label", LABELS)
def test_impossible_allocations_are_memory_errors(label):
    for nlambda in (C.IMPOSSIBLE, 2**61, U64):
        with pytest.raises(MemoryError):
            fit(label, nlambda=nlambda)
    if label == "gaussian" and not C.ASAN:
        with pytest.raises(MemoryError):  # 2**59 values, no memory behind them
            _core.elnet_path(np.broadcast_to(1.0, (2**28, 2**31)), np.zeros(3))


# ---- equivalent spellings give the same bits ------------------------------------------


PF = [1.0, 2.0, 0.5, 1.0, 1.0, 3.0]
WIDE = np.random.default_rng(1).normal(size=(N, 30))
SPELLINGS = [  # (label, arguments, arguments that must give the same result)
    ("gaussian", dict(standardize=np.False_, intercept=np.bool_(False)), dict(standardize=False, intercept=False)),
    ("gaussian", dict(alpha=1), dict(alpha=1.0)),
    ("gaussian", dict(alpha=C.Index(1)), dict(alpha=np.float32(1.0))),
    ("gaussian", dict(nlambda=np.int64(10)), dict(nlambda=np.uint8(10))),
    ("gaussian", dict(family=np.str_("gaussian")), {}),  # a str subclass
    *[("gaussian", dict(penalty_factor=pf), dict(penalty_factor=PF)) for pf in (
        tuple(PF), np.array(PF), np.array(PF, dtype=np.float32), np.repeat(PF, 2)[::2],
        np.array(PF)[::-1][::-1], np.array([1, 2, 0.5, 1, 1, 3], dtype=object))],
    *[("gaussian", dict(exclude=e), dict(exclude=[1, 4])) for e in (
        (1, 4), np.array([1, 4]), np.array([1, 4], dtype=np.int32), np.array([1, 4], dtype=np.uint16),
        range(1, 5, 3), [np.int8(1), 4], [4, 1, 4], [1, 4, P, U64])],  # indices of p or more: ignored
    ("gaussian", dict(penalty_factor=[NAN, 1, 1, 1, -1, -INF]), dict(penalty_factor=[0, 1, 1, 1, 0, 0])),
    ("gaussian", dict(penalty_factor=[5e-324] + [0.0] * 5), dict(penalty_factor=[1.0] + [0.0] * 5)),
    ("gaussian", dict(lambda_min_ratio=1.5, user_lambda=[1.0, 0.5, 0.1]), dict(user_lambda=[1.0, 0.5, 0.1])),
    ("gaussian", {k: None for k in ("lambda_min_ratio", "user_lambda", "dfmax", "pmax", "penalty_factor",
                                   "lower_limits", "upper_limits", "weights", "exclude")}, {}),
    ("gaussian", dict(x=WIDE, dfmax=U64), dict(x=WIDE)),  # 2 * dfmax + 20 saturates
    ("sparse", dict(csc=lambda m: (list(m.indptr), tuple(m.indices), list(m.data))), {}),
    *[(label, dict(nlambda=20, maxit=U64, dfmax=U64, pmax=U64, exclude=[U64, P]), dict(nlambda=20))
      for label in LABELS],
]


@pytest.mark.parametrize("label, a, b", SPELLINGS)
def test_equivalent_spellings(label, a, b):
    C.assert_identical(fit(label, **a), fit(label, **b))


# ---- results -----------------------------------------------------------------------


@pytest.mark.parametrize("label, over, kind, index", [
    ("gaussian", {}, None, None),
    ("sparse", {}, None, None),
    ("gaussian", dict(maxit=1), "MaxIterReached", None),
    ("binomial", dict(maxit=3), "MaxIterReached", None),
    ("gaussian", dict(pmax=0), "MaxActiveReached", None),
    ("gaussian", dict(pmax=0, user_lambda=[0.01, 0.001]), "MaxActiveReached", 0),
    ("sparse", dict(pmax=0, user_lambda=[0.01]), "MaxActiveReached", 0),
    *[(label, dict(nlambda=0), None, 0) for label in LABELS],  # nothing to walk: an empty path
    *[(label, dict(user_lambda=[]), None, 0) for label in LABELS],
    ("poisson", dict(y=np.zeros(N), intercept=False), None, None),  # well defined without an intercept
])
def test_result_dictionary(label, over, kind, index):
    r = fit(label, **over)
    C.check_result(r, P, [X, Y])
    assert all(np.all(np.isfinite(r[k])) for k in C.ARRAYS)
    assert (r["warning"] or ("",))[0].split(" ")[0] == (kind or "")
    assert index is None or r["lmu"] == index
    for k in ("lambda", "a0", "dev_ratio") if r["lmu"] else ():  # vectors handed over to a capsule
        assert not r[k].flags.owndata and type(r[k].base).__name__ == "PyCapsule"
    assert r["beta"].flags.owndata


# ---- penalty sequences without a usable largest value ----------------------------------


NULL_X = np.array([[1.0], [-1.0], [0.0], [0.0]])  # centred: x . y = 1 - 1 = 0 exactly


@pytest.mark.parametrize("label, over, decreasing", [
    # every gradient of the null model exactly 0: a sequence of zeros, whose
    # first value must not be extrapolated from logarithms of 0
    ("gaussian", dict(x=NULL_X, y=np.array([1.0, 1.0, 0.0, 2.0]), nlambda=5), False),
    ("sparse", dict(x=NULL_X, y=np.array([1.0, 1.0, 0.0, 2.0]), nlambda=5), False),
    ("binomial", dict(x=np.random.default_rng(0).normal(size=(200, 20)), y=np.full(200, 0.5), intercept=False), False),
    # a tiny positive penalty factor: the largest value must not overflow
    ("gaussian", dict(penalty_factor=[0.0, 5e-324, 1.0, 1.0, 1.0, 1.0], nlambda=3), True),
    ("gaussian", dict(penalty_factor=[0.0, 0.0, 1.0, 1.0, 1.0, 3e-215], nlambda=2), True),
])
def test_penalty_sequence_stays_finite(label, over, decreasing):
    lam = fit(label, **over)["lambda"]
    assert lam.size > 1 and np.all(np.isfinite(lam)), lam
    assert not decreasing or np.all(np.diff(lam) < 0), lam
