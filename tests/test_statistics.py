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
    positive = np.exp(0.3 * eta) * rng.gamma(4.0, 0.25, N)
    y = {"gaussian": eta + rng.normal(size=N),
         "binomial": (rng.random(N) < 1 / (1 + np.exp(-eta))).astype(float),
         "poisson": rng.poisson(np.exp(0.4 * eta)).astype(float),
         "multinomial": np.digitize(eta + rng.normal(size=N), [-0.7, 0.7]).astype(float),
         "gamma": positive,
         "inverse_gaussian": positive,
         "tweedie": np.where(rng.random(N) < 0.2, 0.0, positive),
         "negative_binomial": rng.poisson(positive).astype(float),
         "multitask": np.c_[eta, -0.5 * eta, x[:, 3]] + rng.normal(size=(N, 3))}[family]
    return x, y, rng


def blocks(n=N, parts=5):
    return np.array_split(np.arange(n), parts)


def merged(x, y, w, products=True, centre=None):
    """The block statistics of five blocks, merged (sums added, ranges
    widened); K > 1 responses (y n x K) are the last K columns."""
    if y.ndim == 2:
        s = merged(np.c_[x, y[:, :-1]], y[:, -1], w, products, centre)
        s["responses"] = y.shape[1]
        return s
    c = np.r_[x[:64].mean(0), y[:64].mean()] if centre is None else centre
    total, *rest = [_core.block_statistics(x[b], y[b], w[b], c, products=products) for b in blocks(len(y))]
    for s in rest:
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
        first, *rest = [_core.block_pass(x[b], y[b], w[b], None if offset is None else offset[b], request)
                        for b in blocks(len(y))]
        return {k: sum((s[k] for s in rest), first[k]) for k in first}
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


# The families with their own solvers, and models by variance and link
# (every family of that table with a link or parameter other than its own).
MODELS = {
    "gaussian": ("gaussian", {}),
    "binomial": ("binomial", {}),
    "poisson": ("poisson", {}),
    "multinomial": ("multinomial", {}),
    "gaussian-log": ("gaussian", dict(link="log")),
    "binomial-probit": ("binomial", dict(link="probit")),
    "binomial-cloglog": ("binomial", dict(link="cloglog")),
    "poisson-sqrt": ("poisson", dict(link="sqrt")),
    "gamma": ("gamma", {}),
    "gamma-inverse": ("gamma", dict(link="inverse")),
    "inverse_gaussian-inverse_squared": ("inverse_gaussian", dict(link="inverse_squared")),
    "tweedie-1.5": ("tweedie", dict(power=1.5)),
    "tweedie-1.2-identity": ("tweedie", dict(power=1.2, link="identity")),
    "negative_binomial-0.5": ("negative_binomial", dict(theta=0.5)),
    "negative_binomial-identity": ("negative_binomial", dict(link="identity")),
    "multitask": ("multitask", {}),
    "multitask-standardize_response": ("multitask", dict(standardize_response=True)),
}


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("model", list(MODELS))
def test_a_fit_from_statistics_is_the_covariance_fit(model, case):
    """Least squares from its merged sums, the others through passes over
    the blocks: the lambdas to 1e-10 and the solutions to rounding, against
    the in-memory covariance solver on the same rows; a model that the
    in-memory fit refuses (a null model outside its link's domain) is
    refused with the same error."""
    family, choices = MODELS[model]
    x, y, rng = data(family)
    kw = dict(CASES[case])
    k = 3 if family in ("multinomial", "multitask") else 1
    if case == "raw-no-intercept":
        x[:, 2] -= 1.7e9
    w = rng.uniform(0.2, 2.0, N) if kw.pop("weights", False) else np.ones(N)
    offset = rng.uniform(-0.4, 0.4, (N, k)).squeeze() if kw.pop("offset", False) else None
    kw.update(choices)
    if kw.pop("start", False):
        first = _core.fit(x, y, family=family, solver="covariance", nlambda=20, **choices)
        kw.update(start_a0=first["a0"][..., 5], start_beta=first["beta"][..., 5],
                  user_lambda=first["lambda"][5:])
    try:
        memory = _core.fit(x, y, family=family, solver="covariance", weights=w, offset=offset, **kw)
    except ValueError as refused:
        # only a model's null model may leave the domain (no intercept, eta 0)
        assert choices and "outside the domain" in str(refused)
        with pytest.raises(ValueError) as info:
            stats = merged(x, y, w, products=False)
            _core.fit_statistics(stats, family=family, source=source_of(x, y, w, offset), **kw)
        assert str(info.value) == str(refused)
        return
    calls = []
    if family == "multitask" or (family == "gaussian" and not choices):
        fitted = y if offset is None else y - offset
        r = _core.fit_statistics(merged(x, fitted, w), family=family, **kw)
        assert r["npasses_data"] == 0
    else:
        means = None
        if family == "multinomial":
            means = np.bincount(y.astype(int), weights=w) / w.sum()
        stats = merged(x, y, w, products=False)
        if offset is not None and family != "multinomial":
            stats.update(offset_sum=w @ offset, offset_min=offset.min(), offset_max=offset.max())
        r = _core.fit_statistics(stats, family=family, source=source_of(x, y, w, offset, calls),
                                 response_means=means, **kw)
        assert r["npasses_data"] == len(calls) and calls[0]["saturated"] and not calls[1]["saturated"]
        # every pass carries the model (its link, power and theta)
        for key in ("link", "power", "theta"):
            assert all(c.get(key) == choices.get(key) for c in calls), key
        # a pass per reweighting step: about 2 per lambda for the families with their own solvers (the multinomial
        # family's diagonal curvature bound needs more steps; a model's guarded steps halve as its loss asks)
        assert family == "multinomial" or choices or r["npasses_data"] <= 3 * r["lmu"] + 2
    C.check_result({k: v for k, v in r.items() if k != "npasses_data"}, P, nclass=k)
    assert r["lmu"] == memory["lmu"] and r["warning"] == memory["warning"]
    np.testing.assert_allclose(r["lambda"], memory["lambda"], rtol=1e-10)
    for key in ("a0", "beta", "dev_ratio"):
        np.testing.assert_allclose(r[key], memory[key], rtol=1e-7, atol=1e-9, err_msg=key)
    assert r["nulldev"] == pytest.approx(memory["nulldev"], rel=1e-10)
    assert not r["beta"][4].any()  # the constant column


@pytest.mark.parametrize("intercept, value", [(True, 1.7e4 / 3), (False, 0.0)])
def test_a_constant_response_among_several_is_left_as_it_is(intercept, value):
    """A response constant on the rows of positive weight (at 0 without an
    intercept) keeps the scale 1 under standardize_response, as on the rows,
    although its sum of squares from rounded sums need not be 0."""
    x, y, rng = data("multitask")
    w = rng.uniform(0.2, 2.0, N)
    y[:, 1] = value
    w[:40] = 0.0
    y[:40, 1] = 3.0  # another value on rows of weight 0 only
    kw = dict(standardize_response=True, intercept=intercept)
    memory = _core.fit(x, y, family="multitask", solver="covariance", weights=w, **kw)
    r = _core.fit_statistics(merged(x, y, w), family="multitask", **kw)
    assert r["lmu"] == memory["lmu"]
    np.testing.assert_allclose(r["beta"], memory["beta"], rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(r["a0"], memory["a0"], rtol=1e-7, atol=1e-9)
    # nothing to fit for that response, on either solver: its coefficients
    # are 0 and its intercept the constant (its rounded mean would leave
    # residuals of rounding, which standardize_response would blow up)
    naive = _core.fit(x, y, family="multitask", solver="naive", weights=w, **kw)
    for fit in (r, memory, naive):
        assert not fit["beta"][:, 1].any()
        assert np.all(fit["a0"][1] == value)


def _binomial():
    x, y, rng = data("binomial")
    return x, y, np.ones(N)


REFUSALS = [  # (family, statistics change, keywords, exception, message): a change sets statistics
    # entries, or with `to` sets the entry at an index (`to` a name: that statistic's last entry)
    # or keeps a slice of it
    ("gaussian", {}, dict(weights=np.ones(N)), ValueError, "the weights are in the statistics"),
    ("gaussian", {}, dict(offset=np.zeros(N)), ValueError, "the offset is in the rows"),
    ("gaussian", {}, dict(solver="naive"), ValueError, "solver 'naive' needs the rows of x"),
    ("gaussian", dict(products=None), {}, ValueError, "least squares needs the products"),
    ("binomial", {}, {}, ValueError, "the family needs passes over the rows"),
    ("binomial", dict(max=-1, to=3.0), dict(source=print), ValueError,
     "y must lie in [0, 1] for the binomial family, but y holds 3"),
    ("poisson", dict(min=-1, to=-1.0), dict(source=print), ValueError, C.FIT_ERRORS["NegativeResponse"]),
    ("gaussian", dict(weight=0.0), {}, ValueError, C.FIT_ERRORS["NonPositiveWeightSum"]),
    ("gaussian", dict(positive_max=-1, to="positive_min"), {}, ValueError, C.CONSTANT),
    ("gaussian", dict(squares=slice(0, -1)), {}, ValueError, "statistics['squares'] has 7 values, not 8"),
    ("gaussian", dict(centre=0, to=np.nan), {}, ValueError, "statistics['centre'] must be finite"),
    # sums that left the range of doubles name the column as a fit on the rows does
    ("gaussian", dict(squares=-1, to=np.inf), {}, ValueError,
     C.overflow("the weighted mean or sum of squares of y", "y")),
    ("gaussian", dict(products=(1, 3), to=np.inf), {}, ValueError,
     C.overflow("the weighted sum of squares of column 3 of x", "x")),
    ("binomial", dict(deviations=2, to=-np.inf), dict(source=print), ValueError,
     C.overflow("the weighted sum of squares of column 2 of x", "x")),
    ("binomial", {}, dict(source=1), TypeError, "source must be callable"),
    ("gamma", dict(min=-1, to=0.0), dict(source=print), ValueError,
     "y must be positive for the gamma family, but y holds 0"),
    ("tweedie", dict(min=-1, to=-1.0), dict(source=print, power=1.5), ValueError,
     "y must be non-negative for the tweedie family, but y holds -1"),
    ("binomial", dict(max=-1, to=3.0), dict(source=print, link="probit"), ValueError,
     "y must lie in [0, 1] for the binomial family, but y holds 3"),
    ("tweedie", {}, dict(source=print), ValueError, "the tweedie family needs power"),
    ("gamma", {}, dict(source=print, link="logit"), ValueError,
     'link "logit" is not available for the gamma family'),
    ("gamma", dict(offset_sum=np.nan, offset_min=0.0, offset_max=0.0), dict(source=print), ValueError,
     "statistics['offset_sum'], ['offset_min'] and ['offset_max'] must be finite"),
    ("cox", {}, {}, ValueError,
     "a fit from statistics fits the families whose loss is a sum over the rows, not the cox family"),
    ("gaussian", dict(responses=2), {}, ValueError,
     'statistics of 2 responses need family="multitask", but family is "gaussian"'),
    ("multitask", dict(responses=8), {}, ValueError,
     "statistics['responses'] must be at least 1 and less than the number of centres"),
]


@pytest.mark.parametrize("family, change, kw, error, text", REFUSALS)
def test_fit_statistics_refusals_name_what_is_wrong(family, change, kw, error, text):
    x, y, rng = data("gaussian" if family in ("cox", "multitask") else family)
    s = merged(x, y, np.ones(N), products=family in ("gaussian", "multitask"))
    change = dict(change)
    to = change.pop("to", None)
    for key, where in change.items():
        if isinstance(where, slice):
            s[key] = s[key][where]
        elif to is None:
            s[key] = where
        else:  # products: symmetric
            s[key][where] = s[key][where[::-1] if isinstance(where, tuple) else where] = (
                s[to][-1] if isinstance(to, str) else to)
    with pytest.raises(error) as info:
        _core.fit_statistics(s, family=family, **kw)
    assert text in str(info.value)


class Broken(Exception):
    pass


def _broken(sums):
    raise Broken("the source failed")


@pytest.mark.parametrize("answer, error, text", [
    (_broken, Broken, "the source failed"),
    (lambda sums: dict(sums, gradient=sums["gradient"][:-1]), ValueError, "the sums of a pass['gradient'] has"),
    (lambda sums: {k: v for k, v in sums.items() if k != "loss"}, KeyError, "lacks the item 'loss'"),
    (lambda sums: [sums], TypeError, "the sums of a pass must be a dict"),
], ids=["raise", "short", "missing", "not-a-dict"])
def test_a_failing_source_stops_the_fit_with_its_error(answer, error, text):
    x, y, w = _binomial()
    good = source_of(x, y, w, None)
    seen = []

    def source(request):
        seen.append(1)
        return good(request) if len(seen) < 3 else answer(good(request))
    with pytest.raises(error) as info:
        _core.fit_statistics(merged(x, y, w, products=False), family="binomial", source=source)
    assert text in str(info.value) and len(seen) == 3


REQUEST = dict(family="binomial", classes=1, weight_total=float(N), saturated=False, centre=np.zeros(P),
               scale=np.ones(P), coef=np.zeros(P), intercepts=np.zeros(1), active=np.zeros(0),
               columns=np.zeros(0))


@pytest.mark.parametrize("change, error, match", [
    (dict(columns=np.array([0.0, 9.0])), ValueError, r"request\['columns'\] out of range"),
    (dict(family="gaussian"), ValueError, "must name a reweighting family"),
    (dict(family="cox"), ValueError, "must name a reweighting family"),
    (dict(family="multitask"), ValueError, "must name a reweighting family"),
    (dict(scale=None), KeyError, "lacks the item 'scale'"),
    (dict(family="gamma", link="logit"), ValueError, 'link "logit" is not available for the gamma family'),
    (dict(family="tweedie"), ValueError, "the tweedie family needs power"),
    ("negative weight", ValueError, r"weights must be non-negative, but weights\[3\] is -0.5"),
    ("negative weight statistics", ValueError, r"weights must be non-negative, but weights\[3\] is -0.5"),
])
def test_block_pass_refuses_requests_it_cannot_serve(change, error, match):
    x, y, w = _binomial()
    request, w = dict(REQUEST), w.copy()
    if isinstance(change, str):
        w[3] = -0.5
    else:
        request.update(change)
        request = {k: v for k, v in request.items() if v is not None}
    with pytest.raises(error, match=match):
        if change == "negative weight statistics":
            _core.block_statistics(x, y, w, np.zeros(P + 1), products=True)
        else:
            _core.block_pass(x, y + (request["family"] != "binomial"), w, None, request)


def test_a_block_pass_sums_the_model_it_is_given():
    """The link, power and theta of a request choose the per-row maths: the
    loss at the intercept 0 is each model's half deviance per unit weight."""
    x, y, w = _binomial()
    y = y + 0.5
    request = dict(REQUEST, family="gaussian", saturated=True)
    for family, extra, deviance in [
            ("gaussian", dict(link="log"), (y - 1.0) ** 2),
            ("poisson", dict(link="sqrt"), None),
            ("gamma", {}, 2 * (np.log(1.0 / y) + (y - 1.0))),
            ("tweedie", dict(power=1.5), 2 * (y ** 0.5 / -0.25 - y / -0.5 + 1 / 0.5)),
            ("negative_binomial", dict(theta=2.0),
             2 * (y * np.log(y) - (y + 0.5) * np.log((1 + 2 * y) / 3.0)))]:
        sums = _core.block_pass(x, y, w, None, dict(request, family=family, **extra))
        if deviance is None:  # sqrt link at eta 0: the mean 0 is outside the domain
            assert sums["loss"] == np.inf
            continue
        assert sums["loss"] == pytest.approx(deviance.mean() / 2, rel=1e-12), family
        assert sums["saturated_loss"] == 0.0
