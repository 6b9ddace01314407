"""Contract of the extension module varnel._core: module definition, argument
binding and conversion with their exact errors, the checks made before any
fitting, the result dictionary and its memory, and the handling of the
caller's arrays."""
import inspect
import itertools
import random
import re
import sys

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.linear_model import ElasticNet

from varnel import _core

OPTIONS = (
    "alpha=1.0, nlambda=100, lambda_min_ratio=None, user_lambda=None, standardize=True, "
    "intercept=True, thresh=1e-7, maxit=100000, dfmax=None, pmax=None, penalty_factor=None, "
    "lower_limits=None, upper_limits=None, weights=None, exclude=None"
)
PATH_SIGNATURE = f'(x, y, *, family="gaussian", {OPTIONS})'
SPARSE_SIGNATURE = f"(n, p, col_ptr, row_idx, values, y, *, {OPTIONS})"
SPARSE_DOC = (
    "Sparse Gaussian path. `col_ptr`/`row_idx`/`values` are CSC arrays (as in a\n"
    "scipy `csc_matrix`). Gaussian only for now; the marshaling mirrors the dense\n"
    "entry point above."
)
FAMILIES = "; expected 'gaussian', 'binomial' or 'poisson'"
KEYS = ["lmu", "lambda", "a0", "beta", "dev_ratio", "nulldev", "npasses", "warning"]

# Pure-Python functions with the documented signatures: the interpreter's own
# binding errors for them are the reference texts.
REFERENCE = {}
exec(
    f"def elnet_path{PATH_SIGNATURE}: pass\n"
    f"def elnet_sparse{SPARSE_SIGNATURE}: pass\n",
    REFERENCE,
)


def problem(n=40, p=6, seed=0, sparsity=0.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    if sparsity:
        x[rng.random(x.shape) < sparsity] = 0.0
    beta = np.linspace(2.0, -1.5, p)
    y = x @ beta + rng.normal(size=n)
    return x, y


def csc(x):
    m = sp.csc_matrix(x)
    return m.shape[0], m.shape[1], m.indptr, m.indices, m.data


def raised(call):
    """The exception `call` raises (it must raise)."""
    with pytest.raises(Exception) as info:
        call()
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", None)


def note(name):
    """What a conversion error of parameter `name` carries: the note, where
    exceptions can hold notes (Python 3.11 on), else nothing."""
    return [f"while processing '{name}'"] if sys.version_info >= (3, 11) else None


def assert_same_result(a, b):
    assert list(a) == list(b)
    for key in KEYS:
        if isinstance(a[key], np.ndarray):
            assert a[key].shape == b[key].shape
            assert np.array_equal(a[key], b[key]), key
        else:
            assert a[key] == b[key], key


X, Y = problem()


# ---- module definition --------------------------------------------------------


def test_module_exports_both_functions_in_order_with_empty_docstring():
    assert _core.__all__ == ["elnet_path", "elnet_sparse"]
    assert _core.__doc__ == ""
    for name in _core.__all__:
        f = getattr(_core, name)
        assert f.__name__ == name
        assert f.__module__ == "varnel._core"
        assert f.__self__ is _core


def test_text_signatures_are_the_documented_first_lines():
    assert _core.elnet_path.__text_signature__ == PATH_SIGNATURE
    assert _core.elnet_sparse.__text_signature__ == SPARSE_SIGNATURE


@pytest.mark.parametrize("name", ["elnet_path", "elnet_sparse"])
def test_inspect_signature_equals_python_reference(name):
    got = inspect.signature(getattr(_core, name))
    want = inspect.signature(REFERENCE[name])
    assert got == want
    assert str(got) == str(want)
    kinds = [p.kind for p in got.parameters.values()]
    npos = 2 if name == "elnet_path" else 6
    assert kinds[:npos] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * npos
    assert set(kinds[npos:]) == {inspect.Parameter.KEYWORD_ONLY}


def test_docstring_bodies():
    assert _core.elnet_path.__doc__ is None  # empty body after the signature
    assert _core.elnet_sparse.__doc__ == SPARSE_DOC


# ---- argument binding -----------------------------------------------------------


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: _core.elnet_path(X), "elnet_path() missing 1 required positional argument: 'y'"),
        (lambda: _core.elnet_path(), "elnet_path() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda: _core.elnet_path(y=Y), "elnet_path() missing 1 required positional argument: 'x'"),
        (lambda: _core.elnet_path(X, Y, "gaussian"), "elnet_path() takes 2 positional arguments but 3 were given"),
        (
            lambda: _core.elnet_path(X, Y, "gaussian", alpha=0.5),
            "elnet_path() takes 2 positional arguments but 3 were given",
        ),
        (lambda: _core.elnet_path(X, Y, foo=1), "elnet_path() got an unexpected keyword argument 'foo'"),
        (lambda: _core.elnet_path(X, Y, x=X), "elnet_path() got multiple values for argument 'x'"),
        (lambda: _core.elnet_path(X, Y, 1, y=Y), "elnet_path() got multiple values for argument 'y'"),
        (
            lambda: _core.elnet_sparse(),
            "elnet_sparse() missing 6 required positional arguments: "
            "'n', 'p', 'col_ptr', 'row_idx', 'values', and 'y'",
        ),
        (
            lambda: _core.elnet_sparse(1, 2, [0], y=Y),
            "elnet_sparse() missing 2 required positional arguments: 'row_idx' and 'values'",
        ),
        (
            lambda: _core.elnet_sparse(1, 2, [0], [], [], Y, 7),
            "elnet_sparse() takes 6 positional arguments but 7 were given",
        ),
        (
            lambda: _core.elnet_sparse(*csc(X), Y, family="gaussian"),
            "elnet_sparse() got an unexpected keyword argument 'family'",
        ),
    ],
)
def test_binding_errors_have_the_interpreters_texts(call, text):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == text
    assert notes(exc) is None


def binding_cases():
    """Call patterns over both functions: positional counts, known, unknown
    and duplicated keywords, in several orders."""
    rnd = random.Random(20240611)
    cases = []
    for name, extra in (("elnet_path", ["family", "alpha"]), ("elnet_sparse", ["family"])):
        params = list(inspect.signature(REFERENCE[name]).parameters)
        pool = params + ["foo", "Alpha", "x_"] + extra
        for _ in range(150):
            npos = rnd.randint(0, len(params) // 2 + 2)
            keys = rnd.sample(pool, rnd.randint(0, 4))
            cases.append((name, npos, tuple(dict.fromkeys(keys))))
        for npos in range(0, 9):
            cases.append((name, npos, ()))
    return cases


@pytest.mark.parametrize("name, npos, keys", binding_cases())
def test_binding_matches_python_function(name, npos, keys):
    marker = object()
    args = (marker,) * npos
    kwargs = {k: marker for k in keys}
    try:
        REFERENCE[name](*args, **kwargs)
    except TypeError as ref:
        exc = raised(lambda: getattr(_core, name)(*args, **kwargs))
        assert type(exc) is TypeError
        # Newer interpreters append a spelling suggestion, and the interpreter
        # counts keyword-only arguments beside surplus positional ones; the
        # module keeps the short form.
        expected = re.sub(r"\. Did you mean '\w+'\?$", "", str(ref))
        expected = re.sub(r" positional arguments? \(and \d+ keyword-only arguments?\) were given$",
                          " were given", expected)
        assert str(exc) == expected
        assert notes(exc) is None
    else:
        # Binding succeeded: the first parameter fails its conversion instead.
        exc = raised(lambda: getattr(_core, name)(*args, **kwargs))
        first = next(iter(inspect.signature(REFERENCE[name]).parameters))
        assert notes(exc) == note(first)


# ---- conversion of arguments -------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, exc_type, text, param",
    [
        (dict(x=[[1.0]]), TypeError, "'list' object is not an instance of 'ndarray'", "x"),
        (dict(x=None), TypeError, "'None' is not an instance of 'ndarray'", "x"),
        (dict(y=None), TypeError, "'None' is not an instance of 'ndarray'", "y"),
        (dict(y=list(Y)), TypeError, "'list' object is not an instance of 'ndarray'", "y"),
        (dict(family=None), TypeError, "'None' is not an instance of 'str'", "family"),
        (dict(family=b"gaussian"), TypeError, "'bytes' object is not an instance of 'str'", "family"),
        (dict(standardize=1), TypeError, "'int' object is not an instance of 'bool'", "standardize"),
        (dict(intercept=None), TypeError, "'None' is not an instance of 'bool'", "intercept"),
        (dict(intercept=np.int8(1)), TypeError, "'int8' object is not an instance of 'bool'", "intercept"),
        (dict(nlambda=-1), OverflowError, None, "nlambda"),
        (dict(nlambda=2**64), OverflowError, None, "nlambda"),
        (dict(nlambda=10.0), TypeError, None, "nlambda"),
        (dict(nlambda=None), TypeError, None, "nlambda"),
        (dict(maxit="10"), TypeError, None, "maxit"),
        (dict(dfmax=-3), OverflowError, None, "dfmax"),
        (dict(alpha="a"), TypeError, None, "alpha"),
        (dict(alpha=None), TypeError, None, "alpha"),
        (dict(thresh=[1e-7]), TypeError, None, "thresh"),
        (dict(penalty_factor="abc"), TypeError, None, "penalty_factor"),
        (dict(penalty_factor={1.0, 2.0}), TypeError, "'set' object is not an instance of 'Sequence'", "penalty_factor"),
        (dict(penalty_factor=3.0), TypeError, "'float' object is not an instance of 'Sequence'", "penalty_factor"),
        (dict(weights=[1.0, "a"]), TypeError, None, "weights"),
        (dict(user_lambda=[1.0, None]), TypeError, None, "user_lambda"),
        (dict(exclude=[0.0]), TypeError, None, "exclude"),
        (dict(exclude=[-1]), OverflowError, None, "exclude"),
        (dict(exclude=np.array([2, -1], dtype=np.int32)), OverflowError, None, "exclude"),
        (dict(exclude="0"), TypeError, None, "exclude"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(kwargs, exc_type, text, param):
    args = dict(x=X, y=Y)
    args.update(kwargs)
    exc = raised(lambda: _core.elnet_path(**args))
    assert type(exc) is exc_type
    if text is not None:
        assert str(exc) == text
    assert notes(exc) == note(param)


def test_qualified_type_name_in_messages():
    class Outer:
        class Inner:
            pass

    exc = raised(lambda: _core.elnet_path(Outer.Inner(), Y))
    assert str(exc) == "'test_qualified_type_name_in_messages.<locals>.Outer.Inner' object is not an instance of 'ndarray'"


@pytest.mark.parametrize(
    "x",
    [
        X.astype(np.float32),
        X.astype(np.int64),
        X.astype(np.longdouble),
        X.astype(">f8" if sys.byteorder == "little" else "<f8"),
        X[:, 0],
        X[None],
    ],
    ids=["float32", "int64", "longdouble", "byteswapped", "1-D", "3-D"],
)
def test_wrong_array_type_or_dimensions_is_type_error_with_note(x):
    exc = raised(lambda: _core.elnet_path(x, Y))
    assert type(exc) is TypeError
    assert notes(exc) == note("x")
    assert str(exc)


def test_wrong_response_dimensions_is_type_error_with_note():
    exc = raised(lambda: _core.elnet_path(X, Y[:, None]))
    assert type(exc) is TypeError
    assert notes(exc) == note("y")


def test_conversion_runs_in_signature_order():
    exc = raised(lambda: _core.elnet_path(X, Y, exclude="a", alpha="a", family=1))
    assert notes(exc) == note("family")
    exc = raised(lambda: _core.elnet_path(X, None, exclude="a", alpha="a"))
    assert notes(exc) == note("y")
    exc = raised(lambda: _core.elnet_path(X, Y, exclude="a", weights="a", alpha="a"))
    assert notes(exc) == note("alpha")
    exc = raised(lambda: _core.elnet_sparse(3, 2, [0, 0, 0], "a", [], None))
    assert notes(exc) == note("row_idx")
    # A conversion error wins over a shape error of a later stage.
    exc = raised(lambda: _core.elnet_path(X, Y[:3], standardize=0))
    assert notes(exc) == note("standardize")


@pytest.mark.parametrize(
    "args, exc_type, text, param",
    [
        ((-1, 2, [0, 0, 0], [], []), OverflowError, None, "n"),
        ((3, 2.0, [0, 0, 0], [], []), TypeError, None, "p"),
        ((3, 2, None, [], []), TypeError, "'None' is not an instance of 'Sequence'", "col_ptr"),
        ((3, 2, [0.0, 0.0, 0.0], [], []), TypeError, None, "col_ptr"),
        ((3, 2, np.array([0, -1, 0]), [], []), OverflowError, None, "col_ptr"),
        ((3, 2, [0, 0, 0], "01", []), TypeError, None, "row_idx"),
        ((3, 2, [0, 0, 0], [], 5), TypeError, "'int' object is not an instance of 'Sequence'", "values"),
        ((3, 2, [0, 0, 0], [], ["a"]), TypeError, None, "values"),
    ],
)
def test_sparse_conversion_errors_carry_the_parameter_note(args, exc_type, text, param):
    exc = raised(lambda: _core.elnet_sparse(*args, np.zeros(3)))
    assert type(exc) is exc_type
    if text is not None:
        assert str(exc) == text
    assert notes(exc) == note(param)
    exc = raised(lambda: _core.elnet_sparse(3, 2, [0, 0, 0], [], [], [0.0, 0.0, 0.0]))
    assert str(exc) == "'list' object is not an instance of 'ndarray'"
    assert notes(exc) == note("y")


def test_exhausted_memory_while_converting_is_memory_error_with_note():
    class Endless:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            return 1.0

    exc = raised(lambda: _core.elnet_path(X, Y, penalty_factor=Endless()))
    assert type(exc) is MemoryError
    assert notes(exc) == note("penalty_factor")


def test_flags_accept_bool_and_numpy_bool():
    assert_same_result(_core.elnet_path(X, Y, standardize=np.False_), _core.elnet_path(X, Y, standardize=False))
    r = _core.elnet_path(X, Y, intercept=np.bool_(False))
    assert np.all(r["a0"] == 0.0)
    assert_same_result(r, _core.elnet_path(X, Y, intercept=False))


def test_floats_accept_int_and_index_objects():
    class Index:
        def __index__(self):
            return 1

    ref = _core.elnet_path(X, Y, alpha=1.0)
    assert_same_result(_core.elnet_path(X, Y, alpha=1), ref)
    assert_same_result(_core.elnet_path(X, Y, alpha=Index()), ref)
    assert_same_result(_core.elnet_path(X, Y, alpha=np.float32(1.0)), ref)


def test_counts_accept_int_and_index_objects():
    ref = _core.elnet_path(X, Y, nlambda=10)
    assert_same_result(_core.elnet_path(X, Y, nlambda=np.int64(10)), ref)
    assert_same_result(_core.elnet_path(X, Y, nlambda=np.uint8(10)), ref)


def test_float_vectors_accept_any_sequence():
    pf = [1.0, 2.0, 0.5, 1.0, 1.0, 3.0]
    ref = _core.elnet_path(X, Y, penalty_factor=pf)
    wide = np.zeros(12)
    wide[::2] = pf
    for given in (tuple(pf), np.array(pf), np.array(pf, dtype=np.float32), wide[::2],
                  np.array(pf)[::-1][::-1], np.array([1, 2, 0.5, 1, 1, 3], dtype=object)):
        assert_same_result(_core.elnet_path(X, Y, penalty_factor=given), ref)


def test_count_vectors_accept_any_sequence():
    ref = _core.elnet_path(X, Y, exclude=[1, 4])
    for given in ((1, 4), np.array([1, 4]), np.array([1, 4], dtype=np.int32),
                  np.array([1, 4], dtype=np.uint16), range(1, 5, 3), [np.int8(1), 4]):
        assert_same_result(_core.elnet_path(X, Y, exclude=given), ref)
    # An index at or past nvars is ignored.
    assert_same_result(_core.elnet_path(X, Y, exclude=[1, 4, 6, 2**64 - 1]), ref)
    assert np.all(ref["beta"][[1, 4]] == 0.0)


def test_optional_none_equals_omitted():
    ref = _core.elnet_path(X, Y)
    r = _core.elnet_path(X, Y, lambda_min_ratio=None, user_lambda=None, dfmax=None, pmax=None,
                         penalty_factor=None, lower_limits=None, upper_limits=None, weights=None,
                         exclude=None)
    assert_same_result(r, ref)


# ---- family ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "family, shown",
    [
        ("Gaussian", '"Gaussian"'),
        (" gaussian", '" gaussian"'),
        ("", '""'),
        ('a"b\\c\n', '"a\\"b\\\\c\\n"'),
        ("t\tr\r", '"t\\tr\\r"'),
        ("\x00\x1b\x7f\x85", '"\\u{0}\\u{1b}\\u{7f}\\u{85}"'),
        ("gaußian é", '"gaußian é"'),
    ],
)
def test_unknown_family_is_quoted_and_escaped(family, shown):
    exc = raised(lambda: _core.elnet_path(X, Y, family=family))
    assert type(exc) is ValueError
    assert str(exc) == f"unknown family {shown}{FAMILIES}"
    assert notes(exc) is None


def test_family_str_subclass_is_accepted():
    class Name(str):
        pass

    assert_same_result(_core.elnet_path(X, Y, family=Name("gaussian")), _core.elnet_path(X, Y))


def test_family_is_checked_after_shape_and_contiguity():
    exc = raised(lambda: _core.elnet_path(np.ones((5, 3)), np.ones(4), family="nope"))
    assert str(exc) == "x has 5 rows but y has length 4"
    c = np.ones((5, 3))
    exc = raised(lambda: _core.elnet_path(c, c[:, 1], family="nope"))
    assert str(exc) == "The given array is not contiguous or is misaligned."


def test_three_families_fit():
    xb = X[:, :3]
    yb = (X[:, 0] > 0).astype(float)
    yp = np.floor(np.exp(0.3 * X[:, 1]) * 2)
    for family, y in (("gaussian", Y), ("binomial", yb), ("poisson", yp)):
        r = _core.elnet_path(xb, y, family=family, nlambda=10)
        assert r["lmu"] >= 1
        assert r["beta"].shape == (3, r["lmu"])


# ---- shapes and contiguity ----------------------------------------------------------


def test_rows_differ_from_response_length():
    exc = raised(lambda: _core.elnet_path(np.ones((5, 3)), np.ones(4)))
    assert type(exc) is ValueError
    assert str(exc) == "x has 5 rows but y has length 4"
    assert notes(exc) is None


def test_response_must_be_contiguous_and_aligned():
    c = np.ascontiguousarray(X)
    exc = raised(lambda: _core.elnet_path(X, c[:, 0]))
    assert type(exc) is TypeError
    assert str(exc) == "The given array is not contiguous or is misaligned."
    assert notes(exc) is None
    _core.elnet_path(X, c[:, 0].copy())

    raw = np.zeros(Y.nbytes + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64)
    unaligned[:] = Y
    assert not unaligned.flags.aligned
    exc = raised(lambda: _core.elnet_path(X, unaligned))
    assert str(exc) == "The given array is not contiguous or is misaligned."


def test_empty_response_needs_no_contiguity():
    empty = np.zeros((0, 2))[:, 1]
    exc = raised(lambda: _core.elnet_path(np.zeros((0, 0)), empty))
    # The entry point's own tests pass; the core then finds no variable.
    assert type(exc) is ValueError
    assert str(exc) == "all predictors are constant or excluded (jerr 7777)"


def test_any_layout_of_x_gives_identical_results():
    ref = _core.elnet_path(np.ascontiguousarray(X), Y)
    big = np.zeros((2 * X.shape[0], 3 * X.shape[1]))
    big[::2, ::3] = X
    reversed_view = np.zeros_like(X)[::-1, ::-1]
    reversed_view[...] = X
    raw = np.zeros(X.nbytes + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(X.shape)
    unaligned[...] = X
    transposed = np.ascontiguousarray(X.T).T
    for x in (np.asfortranarray(X), big[::2, ::3], reversed_view, unaligned, transposed):
        assert_same_result(_core.elnet_path(x, Y), ref)


def test_read_only_inputs_are_accepted():
    x, y = X.copy(), Y.copy()
    w = np.ones(len(Y))
    for a in (x, y, w):
        a.setflags(write=False)
    assert_same_result(_core.elnet_path(x, y, weights=w), _core.elnet_path(X, Y))


def test_sparse_response_length_and_contiguity():
    exc = raised(lambda: _core.elnet_sparse(4, 3, [0, 0, 0, 0], [], [], np.ones(5)))
    assert type(exc) is ValueError
    assert str(exc) == "expected y of length 4, got 5"
    # Checked before the CSC arrays.
    exc = raised(lambda: _core.elnet_sparse(4, 3, [0], [1], [], np.ones(5)))
    assert str(exc) == "expected y of length 4, got 5"
    exc = raised(lambda: _core.elnet_sparse(4, 3, [0], [], [], np.ones((4, 2))[:, 0]))
    assert type(exc) is TypeError
    assert str(exc) == "The given array is not contiguous or is misaligned."


# ---- checks before fitting ----------------------------------------------------------


@pytest.mark.parametrize("name", ["penalty_factor", "lower_limits", "upper_limits"])
@pytest.mark.parametrize("length", [0, 5, 7])
def test_per_variable_vectors_need_one_entry_per_column(name, length):
    value = [0.0] * length if name != "penalty_factor" else [1.0] * length
    exc = raised(lambda: _core.elnet_path(X, Y, **{name: value}))
    assert type(exc) is ValueError
    assert str(exc) == f"{name} has {length} entries but x has 6 columns"
    n, p, ptr, idx, val = csc(X)
    exc = raised(lambda: _core.elnet_sparse(n, p, ptr, idx, val, Y, **{name: value}))
    assert type(exc) is ValueError
    assert str(exc) == f"{name} has {length} entries but p is 6"


@pytest.mark.parametrize("length", [0, 39, 41])
def test_weights_need_one_entry_per_row(length):
    exc = raised(lambda: _core.elnet_path(X, Y, weights=np.ones(length)))
    assert type(exc) is ValueError
    assert str(exc) == f"weights has {length} entries but x has 40 rows"
    exc = raised(lambda: _core.elnet_sparse(*csc(X), Y, weights=np.ones(length)))
    assert str(exc) == f"weights has {length} entries but n is 40"


@pytest.mark.parametrize("ratio", [1.0, 1.5, float("inf"), float("nan")])
def test_lambda_min_ratio_below_one_without_user_lambda(ratio):
    for call in (lambda: _core.elnet_path(X, Y, lambda_min_ratio=ratio),
                 lambda: _core.elnet_sparse(*csc(X), Y, lambda_min_ratio=ratio)):
        exc = raised(call)
        assert type(exc) is ValueError
        assert str(exc).startswith("lambda_min_ratio must be less than 1")
    # Not used, hence not checked, when the caller gives the penalty values.
    r = _core.elnet_path(X, Y, lambda_min_ratio=ratio, user_lambda=[1.0, 0.5, 0.1])
    assert r["lmu"] == 3
    np.testing.assert_allclose(r["lambda"], [1.0, 0.5, 0.1], rtol=1e-12)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), -0.5])
def test_user_lambda_must_be_finite_and_non_negative(bad):
    lam = [1.0, bad, 0.1]
    for call in (lambda: _core.elnet_path(X, Y, user_lambda=lam),
                 lambda: _core.elnet_sparse(*csc(X), Y, user_lambda=lam)):
        exc = raised(call)
        assert type(exc) is ValueError
        assert str(exc).startswith("user_lambda must hold finite, non-negative values")
        assert "user_lambda[1]" in str(exc)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_data_is_rejected_naming_the_argument(bad):
    x = X.copy()
    x[3, 2] = bad
    exc = raised(lambda: _core.elnet_path(x, Y))
    assert type(exc) is ValueError and str(exc).startswith("x must be finite")
    y = Y.copy()
    y[7] = bad
    exc = raised(lambda: _core.elnet_path(X, y))
    assert type(exc) is ValueError and str(exc).startswith("y must be finite")
    assert "y[7]" in str(exc)
    w = np.ones(len(Y))
    w[0] = bad
    exc = raised(lambda: _core.elnet_path(X, Y, weights=w))
    assert type(exc) is ValueError and str(exc).startswith("weights must be finite")

    n, p, ptr, idx, val = csc(X)
    val = val.copy()
    val[5] = bad
    exc = raised(lambda: _core.elnet_sparse(n, p, ptr, idx, val, Y))
    assert type(exc) is ValueError and str(exc).startswith("values must be finite")
    exc = raised(lambda: _core.elnet_sparse(*csc(X), y))
    assert type(exc) is ValueError and str(exc).startswith("y must be finite")


def test_columns_without_rows_are_rejected():
    exc = raised(lambda: _core.elnet_path(np.zeros((0, 3)), np.zeros(0)))
    assert type(exc) is ValueError
    assert str(exc).startswith("x has no rows but 3 columns")
    exc = raised(lambda: _core.elnet_sparse(0, 3, [0, 0, 0, 0], [], [], np.zeros(0)))
    assert type(exc) is ValueError
    assert str(exc).startswith("n is 0 but p is 3")


@pytest.mark.parametrize(
    "n, p, col_ptr, row_idx, values",
    [
        (3, 3, [0, 1, 2], [0, 1], [1.0, 2.0]),  # col_ptr of length p
        (3, 2, [0, 1, 2], [0, 1], [1.0]),  # row_idx and values differ
        (3, 2, [0, 2, 1], [0, 1], [1.0, 2.0]),  # decreasing pointers
        (3, 2, [0, 1, 5], [0, 1], [1.0, 2.0]),  # pointer past the entries
        (3, 2, [0, 1, 2], [0, 3], [1.0, 2.0]),  # row index not below n
        (3, 1, [0, 2], [1, 1], [1.0, 2.0]),  # a row stored twice in a column
        (3, 2**64 - 1, [0, 0, 0], [], []),  # p + 1 not representable
        (3, 2, [], [], []),  # no pointers at all
    ],
)
def test_malformed_csc_arrays_are_rejected_before_fitting(n, p, col_ptr, row_idx, values):
    y = np.arange(float(n))
    exc = raised(lambda: _core.elnet_sparse(n, p, col_ptr, row_idx, values, y))
    assert type(exc) is ValueError
    assert str(exc).startswith("malformed CSC matrix: ")


def test_checks_come_after_family_and_before_the_solver():
    # Unknown family first.
    exc = raised(lambda: _core.elnet_path(X, Y, family="nope", penalty_factor=[1.0]))
    assert str(exc).startswith("unknown family")
    # A length error wins over what the solver would report.
    exc = raised(lambda: _core.elnet_path(X, Y, penalty_factor=[0.0] * 5))
    assert str(exc) == "penalty_factor has 5 entries but x has 6 columns"
    exc = raised(lambda: _core.elnet_path(X, -np.abs(Y), family="poisson", weights=[1.0]))
    assert str(exc) == "weights has 1 entries but x has 40 rows"


def test_huge_penalty_sequence_is_memory_error():
    with pytest.raises(MemoryError):
        _core.elnet_path(X, Y, nlambda=2**62)
    with pytest.raises(MemoryError):
        _core.elnet_sparse(*csc(X), Y, nlambda=2**62)


# ---- errors of the core ------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, y, text",
    [
        (dict(penalty_factor=[0.0] * 6), Y, "all penalty factors are <= 0 (jerr 10000)"),
        (dict(lower_limits=[0.1] * 6), Y, "lower limits should be non-positive"),
        (dict(upper_limits=[-0.1] * 6), Y, "upper limits should be non-negative"),
        (dict(exclude=range(6)), Y, "all predictors are constant or excluded (jerr 7777)"),
        (dict(weights=[0.0] * 40), Y, "observation weights sum to <= 0 (jerr 9999)"),
        (dict(family="binomial"), np.ones(40), "null probability exceeded 1-pmin; response is ~constant (jerr 9001)"),
        (dict(family="binomial"), np.zeros(40), "null probability underflowed pmin; response is ~constant (jerr 8001)"),
        (dict(family="poisson"), -np.ones(40), "negative response; not permitted for the Poisson family (jerr 8888)"),
    ],
)
def test_fit_errors_become_value_error_with_their_text(kwargs, y, text):
    exc = raised(lambda: _core.elnet_path(X, y, **kwargs))
    assert type(exc) is ValueError
    assert str(exc) == text
    assert notes(exc) is None


def test_fit_error_from_sparse_entry():
    exc = raised(lambda: _core.elnet_sparse(*csc(X), Y, penalty_factor=[-1.0] * 6))
    assert type(exc) is ValueError
    assert str(exc) == "all penalty factors are <= 0 (jerr 10000)"


def test_input_the_core_refuses_is_value_error():
    with pytest.raises(ValueError):
        _core.elnet_path(X, np.full(40, 3.0))
    with pytest.raises(ValueError):
        _core.elnet_path(X, np.full(40, 2.0), family="binomial")


# ---- result dictionary ---------------------------------------------------------------


def check_result(r, p):
    assert type(r) is dict
    assert list(r) == KEYS
    lmu = r["lmu"]
    assert type(lmu) is int and lmu >= 0
    assert type(r["npasses"]) is int
    assert type(r["nulldev"]) is float
    arrays = [r[k] for k in ("lambda", "a0", "beta", "dev_ratio")]
    for a in arrays:
        assert type(a) is np.ndarray
        assert a.dtype == np.float64 and a.dtype.isnative
        assert a.flags.writeable and a.flags.aligned
    for k in ("lambda", "a0", "dev_ratio"):
        assert r[k].shape == (lmu,)
    assert r["beta"].shape == (p, lmu)
    assert r["beta"].flags.c_contiguous
    for a, b in itertools.combinations(arrays, 2):
        assert not np.shares_memory(a, b)
    w = r["warning"]
    assert w is None or (type(w) is tuple and len(w) == 2 and type(w[0]) is str and type(w[1]) is int)


def test_dense_result_layout_and_no_shared_memory():
    x, y, wts, pf = X.copy(), Y.copy(), np.ones(40), np.ones(6)
    r = _core.elnet_path(x, y, weights=wts, penalty_factor=pf)
    check_result(r, 6)
    assert r["warning"] is None
    assert r["lmu"] > 5
    assert np.all(np.diff(r["lambda"]) < 0)
    for k in ("lambda", "a0", "beta", "dev_ratio"):
        for given in (x, y, wts, pf):
            assert not np.shares_memory(r[k], given)


def test_sparse_result_layout_and_agreement_with_dense():
    x, y = problem(n=60, p=7, seed=3, sparsity=0.6)
    m = sp.csc_matrix(x)
    assert m.indptr.dtype == np.int32 and m.indices.dtype == np.int32
    r = _core.elnet_sparse(60, 7, m.indptr, m.indices, m.data, y)
    check_result(r, 7)
    for k in ("lambda", "a0", "beta", "dev_ratio"):
        assert not np.shares_memory(r[k], m.data) and not np.shares_memory(r[k], y)
    d = _core.elnet_path(x, y)
    assert r["lmu"] == d["lmu"]
    for k in ("lambda", "a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(r[k], d[k], rtol=1e-10, atol=1e-12)
    # Lists and tuples are read the same way as the arrays.
    r2 = _core.elnet_sparse(60, 7, list(m.indptr), tuple(m.indices), list(m.data), y)
    assert_same_result(r2, r)


def test_vector_arrays_own_their_buffers_through_a_base_object():
    r = _core.elnet_path(X, Y)
    for k in ("lambda", "a0", "dev_ratio"):
        a = r[k]
        assert not a.flags.owndata
        assert a.base is not None and not isinstance(a.base, np.ndarray)
        assert type(a.base).__name__ == "PyCapsule"
    assert r["beta"].flags.owndata
    # The arrays outlive the dictionary.
    lam = r["lambda"]
    first = lam.copy()
    del r
    assert np.array_equal(lam, first)


def test_beta_rows_are_variables_and_columns_solutions():
    # A least-squares path agrees with an independent solver at every
    # penalty value: with a response of unit (population) standard deviation
    # both minimise RSS / (2 n) plus the same elastic-net term.
    x, y = problem(n=50, p=5, seed=7)
    y = (y - y.mean()) / y.std() + 0.25
    for alpha in (1.0, 0.5):
        r = _core.elnet_path(x, y, alpha=alpha, standardize=False, thresh=1e-14, nlambda=20)
        for k in (1, r["lmu"] // 2, r["lmu"] - 1):
            ref = ElasticNet(alpha=r["lambda"][k], l1_ratio=alpha, tol=1e-12, max_iter=100000).fit(x, y)
            np.testing.assert_allclose(r["beta"][:, k], ref.coef_, atol=1e-6)
            np.testing.assert_allclose(r["a0"][k], ref.intercept_, atol=1e-6)
    r = _core.elnet_path(x, y, exclude=[2])
    assert np.all(r["beta"][2] == 0.0) and np.any(r["beta"][1] != 0.0)


def test_writing_into_results_is_allowed_and_isolated():
    r = _core.elnet_path(X, Y)
    before = {k: r[k].copy() for k in ("lambda", "a0", "beta", "dev_ratio")}
    r["lambda"][:] = -1.0
    r["beta"][:] = 7.0
    assert np.array_equal(r["a0"], before["a0"])
    assert np.array_equal(r["dev_ratio"], before["dev_ratio"])
    again = _core.elnet_path(X, Y)
    assert np.array_equal(again["lambda"], before["lambda"])
    assert np.array_equal(again["beta"], before["beta"])


def test_max_iterations_warning():
    r = _core.elnet_path(X, Y, maxit=1)
    check_result(r, 6)
    text, code = r["warning"]
    m = re.fullmatch(r"MaxIterReached \{ lambda_index: (\d+) \}", text)
    assert m is not None
    index = int(m.group(1))
    assert code == -(index + 1)
    assert r["lmu"] == index


def test_max_active_warning_at_first_penalty_value():
    r = _core.elnet_path(X, Y, pmax=0, user_lambda=[0.01, 0.001])
    check_result(r, 6)
    assert r["warning"] == ("MaxActiveReached { lambda_index: 0 }", -10001)
    assert r["lmu"] == 0
    assert r["beta"].shape == (6, 0)
    for k in ("lambda", "a0", "dev_ratio"):
        assert r[k].shape == (0,)
    r = _core.elnet_sparse(*csc(X), Y, pmax=0, user_lambda=[0.01])
    assert r["warning"] == ("MaxActiveReached { lambda_index: 0 }", -10001)
    assert r["beta"].shape == (6, 0)


def test_max_active_warning_on_a_generated_path():
    r = _core.elnet_path(X, Y, pmax=0)
    text, code = r["warning"]
    index = int(re.fullmatch(r"MaxActiveReached \{ lambda_index: (\d+) \}", text).group(1))
    assert code == -(10001 + index)
    assert r["lmu"] == index
    assert np.all(r["beta"] == 0.0)


# ---- the caller's objects -------------------------------------------------------------


def test_inputs_are_unchanged_after_calls():
    x, y = problem(n=30, p=4, seed=11)
    wts = np.linspace(0.5, 2.0, 30)
    pf = np.array([1.0, 0.5, 2.0, 1.0])
    lo, hi = np.full(4, -1.0), np.full(4, 1.0)
    lam = np.array([0.5, 0.1, 0.01])
    excl = np.array([3])
    arrays = [x, y, wts, pf, lo, hi, lam, excl]
    copies = [a.copy() for a in arrays]
    for family, resp in (("gaussian", y), ("binomial", (y > 0).astype(float)), ("poisson", np.abs(np.round(y)))):
        _core.elnet_path(x, resp, family=family, weights=wts, penalty_factor=pf, lower_limits=lo,
                         upper_limits=hi, user_lambda=lam, exclude=excl)
    m = sp.csc_matrix(x)
    csc_arrays = [m.indptr, m.indices, m.data]
    csc_copies = [a.copy() for a in csc_arrays]
    _core.elnet_sparse(30, 4, m.indptr, m.indices, m.data, y, weights=wts, penalty_factor=pf)
    for a, c in zip(arrays + csc_arrays, copies + csc_copies):
        assert np.array_equal(a, c)


def test_no_references_leak_on_success_or_failure():
    x, y = X.copy(), Y.copy()
    pf = [1.0] * 6
    fam = "gaussian" + ""
    before = [sys.getrefcount(o) for o in (x, y, pf, fam)]
    for _ in range(20):
        _core.elnet_path(x, y, penalty_factor=pf, family=fam)
        for bad in (dict(alpha="a"), dict(family="nope"), dict(weights=[1.0]), dict(foo=1),
                    dict(penalty_factor=[0.0] * 6), dict(exclude=[-1])):
            try:
                _core.elnet_path(x, y, **{"penalty_factor": pf, **bad})
            except (TypeError, ValueError, OverflowError):
                pass
    after = [sys.getrefcount(o) for o in (x, y, pf, fam)]
    assert after == before
