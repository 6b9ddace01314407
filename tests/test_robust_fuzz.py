"""Property-based fuzzing of elnet_path and elnet_sparse with hostile input.

The hypothesis loops run in child interpreters, so that a crash of the
extension (a signal, an abort, a sanitizer report) fails a test instead of
ending the test run.  Every call must either return a well-formed result
dictionary or raise TypeError, ValueError, OverflowError or MemoryError, and
must leave the caller's objects as they were.

    VARNEL_FUZZ_EXAMPLES=100000 python -m pytest tests/test_robust_fuzz.py   # a long run
    VARNEL_FUZZ_SEED=<seed> ...   # replay the seed a failure printed
    VARNEL_FUZZ_TRACE=1 ...       # print every case before calling (find a crashing one)

The default budget (3000 examples over both entry points) keeps CI short.
"""
import os
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

EXAMPLES = int(os.environ.get("VARNEL_FUZZ_EXAMPLES", "3000"))
SHARES = {"dense": 0.6, "sparse": 0.4}
WARNING = re.compile(r"(MaxIterReached|MaxActiveReached) \{ lambda_index: (\d+) \}")
KEYS = ["lmu", "lambda", "a0", "beta", "dev_ratio", "nulldev", "npasses", "warning"]
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)


# ---- parent side: run each batch in a child process ------------------------------------


@pytest.fixture(scope="module")
def children(request):
    """Starts the selected batches at once (they run in parallel)."""
    wanted = {item.callspec.params["target"] for item in request.session.items
              if item.module is request.module and hasattr(item, "callspec")}
    seed = os.environ.get("VARNEL_FUZZ_SEED") or str(int.from_bytes(os.urandom(4), "little"))
    procs = {}
    for target in sorted(wanted):
        count = max(1, round(EXAMPLES * SHARES[target]))
        procs[target] = (seed, count, subprocess.Popen(
            [sys.executable, "-X", "faulthandler", __file__, target, str(count), seed],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    yield procs
    for _, _, proc in procs.values():
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize("target", sorted(SHARES))
def test_fuzz(children, target):
    seed, count, proc = children[target]
    try:
        out, _ = proc.communicate(timeout=300 + 0.5 * count)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        pytest.fail(f"{target} fuzzing hung (seed {seed}); output:\n{out[-6000:]}")
    assert proc.returncode == 0, (f"{target} fuzzing failed with exit status {proc.returncode} "
                                  f"(replay: VARNEL_FUZZ_SEED={seed}); output:\n{out[-6000:]}")
    assert f"{target}: {count} examples passed" in out


# ---- the property ------------------------------------------------------------------------


def snapshot(obj):
    if isinstance(obj, np.ndarray):
        if obj.size > 10**6:  # a stride-0 view: its few distinct bytes
            return ("view", obj.shape, obj.strides, obj.base.tobytes() if obj.base is not None else b"")
        return ("array", obj.dtype.str, obj.shape, np.asarray(obj).tobytes())
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [snapshot(v) for v in obj])
    return ("other", repr(obj))


def check_call(case):
    from varnel import _core

    inputs = list(case["args"]) + list(case["kwargs"].values())
    before = [snapshot(v) for v in inputs]
    try:
        result = getattr(_core, case["entry"])(*case["args"], **case["kwargs"])
    except ALLOWED as exc:
        result = exc
    assert [snapshot(v) for v in inputs] == before, "an input was changed"
    if isinstance(result, BaseException):
        if not case["hostile"]:
            assert type(result) is ValueError, f"well-typed input raised {type(result).__name__}: {result}"
        if not isinstance(result, MemoryError):
            assert isinstance(str(result), str) and str(result), "empty message"
        return
    check_result(result, case["p"], inputs)
    if sane(case):
        for key in ("lambda", "a0", "beta", "dev_ratio", "nulldev"):
            assert np.all(np.isfinite(result[key])), f"non-finite {key} from ordinary input: {result[key]}"


def check_result(r, p, inputs=()):
    assert type(r) is dict and list(r) == KEYS
    lmu = r["lmu"]
    assert type(lmu) is int and lmu >= 0 and type(r["npasses"]) is int and r["npasses"] >= 0
    assert type(r["nulldev"]) is float
    arrays = [r[k] for k in ("lambda", "a0", "beta", "dev_ratio")]
    for a in arrays:
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.dtype.isnative
        assert a.flags.writeable and a.flags.aligned
        for other in inputs:
            if isinstance(other, np.ndarray):
                assert not np.may_share_memory(a, other)
    assert r["lambda"].shape == r["a0"].shape == r["dev_ratio"].shape == (lmu,)
    assert r["beta"].shape == (p, lmu) and r["beta"].flags.c_contiguous
    lam = r["lambda"][np.isfinite(r["lambda"])]
    assert np.all(lam[1:] <= lam[:-1]), f"finite penalty values not decreasing: {r['lambda']}"
    w = r["warning"]
    if w is not None:
        assert type(w) is tuple and len(w) == 2 and type(w[0]) is str and type(w[1]) is int
        m = WARNING.fullmatch(w[0])
        assert m, w
        index = int(m.group(2))
        assert index == lmu, w
        assert w[1] == (-(index + 1) if m.group(1) == "MaxIterReached" else -(10001 + index)), w


def sane(case):
    """Ordinary numbers everywhere (finite, neither huge nor subnormal-small, a
    penalty factor of 0 or at least 1e-6): then every result must be finite."""
    if case["hostile"]:
        return False
    k = case["kwargs"]
    data = case["args"][:2] if case["entry"] == "elnet_path" else case["args"][4:6]
    arrays = [np.asarray(a, dtype=float) for a in data]
    arrays += [np.asarray(k[name], dtype=float) for name in ("weights", "user_lambda") if k.get(name) is not None]
    if k.get("penalty_factor") is not None:
        if tiny_penalty_factor(case):
            return False
        arrays.append(np.asarray(k["penalty_factor"], dtype=float))
    for a in arrays:
        a = np.abs(a[a != 0])
        if not (np.all(np.isfinite(a)) and np.all(a <= 1e6) and np.all(a >= 1e-100)):
            return False
    return True


def tiny_penalty_factor(case):
    """A positive penalty factor below 1e-6 leaves its variable all but
    unpenalized: coefficients may be as large as least squares makes them."""
    try:
        pf = np.abs(np.asarray(case["kwargs"].get("penalty_factor"), dtype=float))
    except (TypeError, ValueError, OverflowError):
        return False
    return pf.ndim == 1 and bool(np.any((pf > 0) & (pf < 1e-6)))


def test_result_checker_tells_good_from_bad():
    """The oracle itself: a real result passes, each kind of damage is caught."""
    from varnel import _core

    x = np.random.default_rng(0).normal(size=(20, 3))
    good = _core.elnet_path(x, x[:, 0] + 0.5 * x[:, 1], pmax=1)
    assert good["lmu"] > 2 and good["warning"] is not None
    check_result(good, 3, [x])
    damages = [
        lambda r: r.update(lmu=r["lmu"] + 1),
        lambda r: r.update({"lambda": r["lambda"][::-1].copy()}),
        lambda r: r.update(beta=r["beta"].T.copy()),
        lambda r: r.update(warning=(r["warning"][0], r["warning"][1] - 1)),
        lambda r: r.update(warning=(r["warning"][0] + " ", r["warning"][1])),
        lambda r: r.update(nulldev=np.float32(1.0)),
        lambda r: r.update(a0=x[:, 0]),
        lambda r: r.pop("npasses"),
    ]
    for damage in damages:
        r = dict(good)
        damage(r)
        try:
            check_result(r, 3, [x])
        except AssertionError:
            continue
        raise AssertionError(f"damage not caught: {r}")


@pytest.mark.filterwarnings("ignore")  # NumPy's, while building hostile arrays
def test_strategies_reach_every_kind_of_case():
    """Guards the fuzzer's coverage: both entry points, well-typed and hostile
    calls, every family, empty and one-row data, malformed CSC arrays."""
    from hypothesis import HealthCheck, given, settings, strategies as st

    import test_robust_fuzz_cases

    seen = set()
    both = test_robust_fuzz_cases.strategies()

    @settings(max_examples=150, derandomize=True, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(st.one_of(both["dense"], both["sparse"]))
    def collect(case):
        seen.add((case["entry"], case["hostile"]))
        seen.add(case["kwargs"].get("family") if isinstance(case["kwargs"].get("family"), str) else None)
        args, at = case["args"], 1 if case["entry"] == "elnet_path" else 5
        y = args[at] if len(args) > at else None
        if isinstance(y, np.ndarray) and y.ndim == 1:
            seen.add(("rows", min(len(y), 2)))

    collect()
    wanted = {("elnet_path", False), ("elnet_path", True), ("elnet_sparse", False), ("elnet_sparse", True),
              "gaussian", "binomial", "poisson", ("rows", 0), ("rows", 1), ("rows", 2)}
    assert wanted <= seen, wanted - seen


def run(target, count, seed):
    from hypothesis import HealthCheck, given, seed as use_seed, settings

    import test_robust_fuzz_cases

    trace = os.environ.get("VARNEL_FUZZ_TRACE")

    @use_seed(seed)
    @settings(max_examples=count, deadline=None, database=None, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(test_robust_fuzz_cases.strategies()[target])
    def fuzz(case):
        if trace:
            print(repr(case), flush=True)
        check_call(case)

    warnings.simplefilter("ignore")
    fuzz()
    print(f"{target}: {count} examples passed (seed {seed})")


if __name__ == "__main__":
    run(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
