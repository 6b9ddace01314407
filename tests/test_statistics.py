"""Fits from the statistics of row blocks (varnel._core.fit_statistics,
block_statistics, block_pass): the blocks' sums merge into the whole's, and
a path from them is the in-memory covariance path of the same rows, for
every family, with the same checks."""
import numpy as np
import pytest

import contract as C
from varnel import _core

N, P = 600, 7


def data(family, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(N, P))
    x[:, 2] = x[:, 2] * 1e-3 + 1.7e9  # a large mean, a small spread
    x[:, 4] = np.where(np.arange(N) % 3 == 0, 2.5, 2.5)  # constant: its squares round away from 0
    eta = x[:, 0] - 0.7 * x[:, 1] + 400 * (x[:, 2] - 1.7e9)
    y = {"gaussian": eta + rng.normal(size=N),
         "binomial": (rng.random(N) < 1 / (1 + np.exp(-eta))).astype(float),
         "poisson": rng.poisson(np.exp(0.4 * eta)).astype(float),
         "multinomial": np.digitize(eta + rng.normal(size=N), [-0.7, 0.7]).astype(float)}[family]
    return x, y, rng


def blocks(n=N, parts=5):
    return np.array_split(np.arange(n), parts)


def merged(x, y, w, products=True, centre=None):
    """The block statistics of five blocks, merged (sums added, ranges widened)."""
    c = np.r_[x[:64].mean(0), y[:64].mean()] if centre is None else centre
    total = None
    for b in blocks(len(y)):
        s = _core.block_statistics(x[b], y[b], w[b], c, products=products)
        if total is None:
            total = s
            continue
        for k in ("products", "squares", "deviations", "weight", "nobs"):
            total[k] = None if s[k] is None else total[k] + s[k]
        for k, pick in (("min", np.minimum), ("positive_min", np.minimum), ("max", np.maximum),
                        ("positive_max", np.maximum)):
            total[k] = pick(total[k], s[k])
    return total


def source_of(x, y, w, offset, calls=None):
    """Passes over the blocks: each request summed over block_pass of every block."""
    def source(request):
        if calls is not None:
            calls.append(request)
        sums = None
        for b in blocks(len(y)):
            s = _core.block_pass(x[b], y[b], w[b], None if offset is None else offset[b], request)
            sums = s if sums is None else {k: sums[k] + s[k] for k in s}
        return sums
    return source


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("products", [True, False])
def test_block_statistics_merge_into_the_whole(order, products):
    x, y, rng = data("gaussian")
    w = rng.uniform(0.0, 2.0, N)
    w[:50] = 0.0
    x[:, 6] = np.where(np.arange(N) < 50, 9.0, 1.0)  # varies on rows of weight 0 only
    s = merged(np.asarray(x, order=order), y, w, products)
    xy = np.column_stack([x, y])
    W = w.sum()
    mean = xy[0] + w @ (xy - xy[0]) / W  # precise for the large mean too
    assert s["nobs"] == N and s["weight"] == pytest.approx(W, rel=1e-14)
    spread = xy.std(0) + 1e-300
    np.testing.assert_allclose(s["centre"] + s["deviations"] / s["weight"], mean, rtol=0,
                               atol=1e-12 * spread.max())
    assert np.all(np.abs(s["centre"] + s["deviations"] / s["weight"] - mean) <= 1e-12 * spread + 1e-16)
    dev = xy - mean
    centred = (dev.T * w) @ dev
    got = s["squares"] - s["deviations"] ** 2 / s["weight"]
    np.testing.assert_allclose(got, np.diag(centred), rtol=1e-9, atol=1e-12 * np.diag(centred).max())
    if products:
        full = s["products"] - np.outer(s["deviations"], s["deviations"]) / s["weight"]
        np.testing.assert_allclose(full, centred, rtol=1e-9, atol=1e-10 * np.abs(centred).max())
    else:
        assert s["products"] is None
    np.testing.assert_array_equal(s["min"], xy.min(0))
    np.testing.assert_array_equal(s["max"], xy.max(0))
    np.testing.assert_array_equal(s["positive_max"], xy[w > 0].max(0))
    assert s["positive_min"][6] == s["positive_max"][6] != s["max"][6]


CASES = {
    "plain": dict(),
    "weights-limits": dict(weights=True, alpha=0.6, lower_limits=np.r_[-0.2, [-np.inf] * (P - 1)],
                           upper_limits=np.r_[np.inf, 0.3, [np.inf] * (P - 2)]),
    "offset-penalties": dict(offset=True, penalty_factor=np.r_[0.0, 2.0, np.ones(P - 2)], exclude=[3]),
    "raw-no-intercept": dict(standardize=False, intercept=False, alpha=0.8),
    "start": dict(start=True, nlambda=20),
}


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson", "multinomial"])
def test_a_fit_from_statistics_is_the_covariance_fit(family, case):
    """Least squares from its merged sums, the others through passes over
    the blocks: the lambdas to 1e-10 and the solutions to rounding, against
    the in-memory covariance solver on the same rows."""
    x, y, rng = data(family)
    kw = dict(CASES[case])
    k = 3 if family == "multinomial" else 1
    if case == "raw-no-intercept":
        x[:, 2] -= 1.7e9
    w = rng.uniform(0.2, 2.0, N) if kw.pop("weights", False) else np.ones(N)
    offset = rng.uniform(-0.4, 0.4, (N, k)).squeeze() if kw.pop("offset", False) else None
    if kw.pop("start", False):
        first = _core.fit(x, y, family=family, solver="covariance", nlambda=20)
        kw.update(start_a0=first["a0"][..., 5], start_beta=first["beta"][..., 5],
                  user_lambda=first["lambda"][5:])
    memory = _core.fit(x, y, family=family, solver="covariance", weights=w, offset=offset, **kw)
    calls = []
    if family == "gaussian":
        fitted = y if offset is None else y - offset
        r = _core.fit_statistics(merged(x, fitted, w), **kw)
        assert r["npasses_data"] == 0
    else:
        means = None
        if family == "multinomial":
            means = np.bincount(y.astype(int), weights=w) / w.sum()
        r = _core.fit_statistics(merged(x, y, w, products=False), family=family,
                                 source=source_of(x, y, w, offset, calls), response_means=means, **kw)
        assert r["npasses_data"] == len(calls) and calls[0]["saturated"] and not calls[1]["saturated"]
        # a pass per reweighting step: about 2 per lambda (the multinomial
        # family's diagonal bound on the curvature needs more steps)
        assert family == "multinomial" or r["npasses_data"] <= 3 * r["lmu"] + 2
    C.check_result({k: v for k, v in r.items() if k != "npasses_data"}, P, nclass=k)
    assert r["lmu"] == memory["lmu"] and r["warning"] == memory["warning"]
    np.testing.assert_allclose(r["lambda"], memory["lambda"], rtol=1e-10)
    for key in ("a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(r[key], memory[key], rtol=1e-7, atol=1e-9, err_msg=key)
    assert r["nulldev"] == pytest.approx(memory["nulldev"], rel=1e-10)
    assert not r["beta"][4].any()  # the constant column


def _binomial():
    x, y, rng = data("binomial")
    return x, y, np.ones(N)


REFUSALS = [  # (family, statistics change, keywords, exception, message)
    ("gaussian", {}, dict(weights=np.ones(N)), ValueError, "the weights are in the statistics"),
    ("gaussian", {}, dict(offset=np.zeros(N)), ValueError, "the offset is in the rows"),
    ("gaussian", {}, dict(solver="naive"), ValueError, "solver 'naive' needs the rows of x"),
    ("gaussian", {"products": None}, {}, ValueError, "least squares needs the products"),
    ("binomial", {}, {}, ValueError, "the family needs passes over the rows"),
    ("binomial", {"max": "y3"}, dict(source=print), ValueError,
     "y must lie in [0, 1] for the binomial family, but y holds 3"),
    ("poisson", {"min": "y-1"}, dict(source=print), ValueError, C.FIT_ERRORS["NegativeResponse"]),
    ("gaussian", {"weight": 0.0}, {}, ValueError, C.FIT_ERRORS["NonPositiveWeightSum"]),
    ("gaussian", {"positive_max": "y=min"}, {}, ValueError, C.CONSTANT),
    ("gaussian", {"squares": "short"}, {}, ValueError, "statistics['squares'] has 7 values, not 8"),
    ("gaussian", {"centre": "nan"}, {}, ValueError, "statistics['centre'] must be finite"),
    ("binomial", {}, dict(source=1), TypeError, "source must be callable"),
    ("cox", {}, {}, ValueError, "a fit from statistics fits the families whose loss is a sum over the rows of one response"),
    ("multitask", {}, {}, ValueError, "a fit from statistics fits the families whose loss is a sum over the rows of one response"),
]


@pytest.mark.parametrize("family, change, kw, error, text", REFUSALS)
def test_fit_statistics_refusals_name_what_is_wrong(family, change, kw, error, text):
    x, y, rng = data("gaussian" if family in ("cox", "multitask") else family)
    s = merged(x, y, np.ones(N), products=family == "gaussian")
    for key, how in change.items():
        if how == "y3":
            s[key][-1] = 3.0
        elif how == "y-1":
            s[key][-1] = -1.0
        elif how == "y=min":
            s[key][-1] = s["positive_min"][-1]
        elif how == "short":
            s[key] = s[key][:-1]
        elif how == "nan":
            s[key] = np.r_[np.nan, s[key][1:]]
        else:
            s[key] = how
    with pytest.raises(error) as info:
        _core.fit_statistics(s, family=family, **kw)
    assert text in str(info.value)


class Broken(Exception):
    pass


@pytest.mark.parametrize("answer, error, text", [
    ("raise", Broken, "the source failed"),
    ("short", ValueError, "the sums of a pass['gradient'] has"),
    ("missing", KeyError, "lacks the item 'loss'"),
    ("not-a-dict", TypeError, "the sums of a pass must be a dict"),
])
def test_a_failing_source_stops_the_fit_with_its_error(answer, error, text):
    x, y, w = _binomial()
    good = source_of(x, y, w, None)
    seen = []

    def source(request):
        seen.append(1)
        sums = good(request)
        if len(seen) < 3:
            return sums
        if answer == "raise":
            raise Broken("the source failed")
        if answer == "short":
            return dict(sums, gradient=sums["gradient"][:-1])
        if answer == "missing":
            return {k: v for k, v in sums.items() if k != "loss"}
        return [sums]
    with pytest.raises(error) as info:
        _core.fit_statistics(merged(x, y, w, products=False), family="binomial", source=source)
    assert text in str(info.value) and len(seen) == 3


def test_block_pass_refuses_requests_it_cannot_serve():
    x, y, w = _binomial()
    request = dict(family="binomial", classes=1, weight_total=float(N), saturated=False,
                   centre=np.zeros(P), scale=np.ones(P), coef=np.zeros(P), intercepts=np.zeros(1),
                   active=np.zeros(0), columns=np.array([0.0, 9.0]))
    with pytest.raises(ValueError, match=r"request\['columns'\] out of range"):
        _core.block_pass(x, y, w, None, request)
    with pytest.raises(ValueError, match="must name a reweighting family"):
        _core.block_pass(x, y, w, None, dict(request, family="gaussian"))
    with pytest.raises(KeyError, match="lacks the item 'scale'"):
        _core.block_pass(x, y, w, None, {k: v for k, v in request.items() if k != "scale"})
