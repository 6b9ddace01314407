"""The documented contract of varnel._core, written down once for every test:
the texts of the core's errors, the warnings with their codes, the binding's
exact messages, the form of a result dictionary, and what a call must leave
untouched.  Each text is checked against behaviour in test_binding.py (the
core's own routines in test_core_routines.py)."""
import dataclasses
import pathlib
import re
import sys

import numpy as np

# The core's refusals of an input, by FitError variant.
FIT_ERRORS = {
    "AllPredictorsExcluded": "all predictors are constant or excluded (jerr 7777)",
    "NonPositivePenalties": "all penalty factors are <= 0 (jerr 10000)",
    "PositiveLowerLimit": "lower limits should be non-positive",
    "NegativeUpperLimit": "upper limits should be non-negative",
    "NullProbUnderflow": "null probability underflowed pmin; response is ~constant (jerr 8001)",
    "NullProbOverflow": "null probability exceeded 1-pmin; response is ~constant (jerr 9001)",
    "NegativeResponse": "negative response; not permitted for the Poisson family (jerr 8888)",
    "NonPositiveWeightSum": "observation weights sum to <= 0 (jerr 9999)",
}
CONSTANT = ("the response is constant: y takes a single value on every observation of "
            "positive weight, so there is nothing to fit")
CONSTANT_AT_0 = ("the response is constant at 0: y is 0 on every observation of positive "
                 "weight and no intercept is fitted, so there is nothing to fit")


def overflow(what, name):
    return f"the data overflow: {what} is not finite; scale {name} down"


def underflow(what, name):
    return f"the data underflow: {what} is too small to be represented; scale {name} up"


def binomial_range(i, v):
    return f"y must lie in [0, 1] for the binomial family, but y[{i}] = {v:g}"


# A path that stopped early: (text, code).
WARNING = re.compile(r"(MaxIterReached|MaxActiveReached) \{ lambda_index: (\d+) \}")


def warning(kind, index):
    return (f"{kind} {{ lambda_index: {index} }}",
            -(index + 1) if kind == "MaxIterReached" else -(10001 + index))


# The binding's messages.
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
CSC = "malformed CSC matrix: "


def wrong_dtype(dtype):
    return f"expected an array of dtype float64, got dtype {dtype}"


def wrong_ndim(want, got):
    return f"expected a {want}-dimensional array, got a {got}-dimensional one"


def not_numbers(type_name):
    return f"expected a sequence of numbers, got a '{type_name}' object"


def rows_differ(n, length, sparse):
    return f"expected y of length {n}, got {length}" if sparse else f"x has {n} rows but y has length {length}"


def no_rows(p, sparse):
    have = f"n is 0 but p is {p}" if sparse else f"x has no rows but {p} columns"
    return have + "; at least one observation is needed"


def note(name):
    """The note on a conversion error of parameter `name`, where exceptions
    hold notes (Python 3.11 on)."""
    return [f"while processing '{name}'"] if sys.version_info >= (3, 11) else None


def not_instance(type_name, expected):
    if type_name == "None":
        return f"'None' is not an instance of '{expected}'"
    return f"'{type_name}' object is not an instance of '{expected}'"


def unknown_family(shown):
    return f"unknown family {shown}; expected 'gaussian', 'binomial' or 'poisson'"


def wrong_length(name, k, sparse, rows=None, cols=None):
    have = (f"n is {rows}" if sparse else f"x has {rows} rows") if cols is None else \
        (f"p is {cols}" if sparse else f"x has {cols} columns")
    return f"{name} has {k} entries but {have}"


def not_finite(name, i, v):
    return f"{name} must be finite, but {name}[{i}] is {v!r}"


def bad_ratio(v):
    return f"lambda_min_ratio must be less than 1 when user_lambda is not given, got {v!r}"


def bad_lambda(i, v):
    return f"user_lambda must hold finite, non-negative values, but user_lambda[{i}] is {v!r}"


# ---- the result dictionary ------------------------------------------------------

KEYS = ["lmu", "lambda", "a0", "beta", "dev_ratio", "nulldev", "npasses", "warning"]
FIT_KEYS = KEYS + ["lambda_max", "iterate", "bound", "solver"]
ARRAYS = ["lambda", "a0", "beta", "dev_ratio"]


def check_result(r, p, inputs=(), nclass=None, wide=None, bound_scale=1.0):
    """Keys in order, types, shapes, fresh writable arrays sharing no memory
    with each other or with any input array, decreasing finite penalty
    values, and a warning whose index is the number of solutions.  `nclass`:
    a result of fit (multinomial when > 1), whose warning is (kind, index),
    and `wide` whether its coefficients carry a column per response (by
    default when `nclass` > 1; several responses keep the column even when
    there is one; `bound_scale` the scale of the responses the bound of
    9.9e35 holds on),
    with the iterate of a path stopped at maxit and the first coefficient
    held at the bound of 9.9e35."""
    fit = nclass is not None
    wide = fit and (nclass > 1 if wide is None else wide)
    assert type(r) is dict and list(r) == (FIT_KEYS if fit else KEYS)
    lmu = r["lmu"]
    assert type(lmu) is int and lmu >= 0 and type(r["npasses"]) is int and r["npasses"] >= 0
    assert type(r["nulldev"]) is float
    arrays = [r[k] for k in ARRAYS]
    for i, a in enumerate(arrays):
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.dtype.isnative
        assert a.flags.writeable and a.flags.aligned
        for other in arrays[i + 1:] + [v for v in inputs if isinstance(v, np.ndarray)]:
            assert not np.may_share_memory(a, other)
    assert r["lambda"].shape == r["dev_ratio"].shape == (lmu,)
    k = (nclass,) if wide else ()
    assert r["a0"].shape == k + (lmu,)
    assert r["beta"].shape == (p,) + k + (lmu,) and r["beta"].flags.c_contiguous
    lam = r["lambda"][np.isfinite(r["lambda"])]
    assert np.all(lam[1:] <= lam[:-1]), f"finite penalty values not decreasing: {r['lambda']}"
    w = r["warning"]
    if fit:
        assert r["solver"] in ("naive", "covariance")
        b = r["bound"]
        if b is not None:  # (variable, lambda_index) of a coefficient at the bound
            assert type(b) is tuple and list(map(type, b)) == [int, int] and b[1] < lmu
            assert np.abs(r["beta"][b[0], ..., b[1]]).max() >= 9.9e35 * bound_scale * (1 - 1e-9)
        it = r["iterate"]
        assert (it is not None) == (w is not None and w[0] == "MaxIterReached")
        if it is not None:
            assert list(it) == ["lambda", "a0", "beta"] and type(it["lambda"]) is float
            assert it["beta"].shape == ((p, nclass) if wide else (p,))
            assert np.shape(it["a0"]) == ((nclass,) if wide else ())
    if w is not None and fit:
        assert w in (("MaxIterReached", lmu), ("MaxActiveReached", lmu)), w
    elif w is not None:
        m = type(w) is tuple and type(w[0]) is str and WARNING.fullmatch(w[0])
        assert m and w == warning(m.group(1), lmu), w


def fingerprint(obj):
    """What a call must leave as it was: the bytes, type, shape and flags of
    an argument (of a huge stride-0 view, its few distinct bytes)."""
    if isinstance(obj, np.ndarray):
        data = obj.base if obj.size > 10**6 and obj.base is not None else np.asarray(obj)
        return (type(obj), obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable, data.tobytes())
    if isinstance(obj, (list, tuple, dict)):
        return type(obj), [fingerprint(v) for v in (obj.values() if isinstance(obj, dict) else obj)]
    return repr(obj)


def assert_identical(a, b):
    """Bit-for-bit equality of two result dictionaries."""
    assert list(a) == list(b)
    for k in a:
        if isinstance(a[k], np.ndarray):
            assert a[k].shape == b[k].shape and a[k].tobytes() == b[k].tobytes(), k
        else:
            assert a[k] == b[k], k


# ---- objects of the caller's that the conversions must handle ---------------------


@dataclasses.dataclass(frozen=True)
class Index:
    """An integer by __index__ only (counts and floats accept it)."""
    v: int

    def __index__(self):
        return self.v


class Endless:
    """A sequence too long to store: converting it is a MemoryError."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return 1.0


# ---- the sanitizer run ------------------------------------------------------------

# tools/sanitize.sh preloads ASan.  Its operator new aborts on an impossible
# allocation instead of throwing std::bad_alloc: under it only requests beyond
# std::vector's max_size (a std::length_error, also a MemoryError) are made,
# elsewhere anything beyond the address space.  It also keeps freed memory in
# quarantine, so that memory use says nothing there.
MAPS = pathlib.Path("/proc/self/maps")
ASAN = MAPS.exists() and "libasan" in MAPS.read_text()
IMPOSSIBLE = 2**61 if ASAN else 2**50
