"""Every route fits the model the caller asked for, or refuses it by name.

The table is the family registry crossed with every link and with the
routes a user reaches: cross-validation's full path in memory (which may run
from per-fold statistics), the estimator-free Dask path, and Dask's
cross-validation.  A cell either equals the in-memory fit of the same family
with the same options, or raises the route's refusal; a family or link added
to the registry joins the table by itself (its response generator below is
the one row to add)."""

import numpy as np
import pytest

import varnel
from varnel import families

N, P = 300, 5
FAST = dict(nlambda=6, lambda_min_ratio=0.1)


def _variants():
    for fam in families.FAMILIES:
        for link in fam.links:
            yield fam.with_link(link)


VARIANTS = list(_variants())
IDS = [repr(f) for f in VARIANTS]


def _positive(mu, rng):
    return mu * rng.gamma(4.0, 0.25, mu.shape[0])


# One row per family: a response drawn from the family at the mean mu.
RESPONSES = {
    "Gaussian": lambda mu, eta, rng: mu + 0.3 * rng.standard_normal(mu.shape[0]),
    # (the log link's mean exp(eta) is a probability below eta = 0: the predictor moved there)
    "Binomial": lambda mu, eta, rng: (rng.random(mu.shape[0]) < np.where(mu.max() < 1, mu, np.exp(eta - 3.0))
                                      ).astype(float),
    "Poisson": lambda mu, eta, rng: rng.poisson(mu).astype(float),
    "Multinomial": lambda mu, eta, rng: np.argmax(
        np.c_[eta, -eta, 0 * eta] + rng.gumbel(size=(eta.shape[0], 3)), axis=1).astype(float),
    "Gamma": lambda mu, eta, rng: _positive(mu, rng),
    "InverseGaussian": lambda mu, eta, rng: _positive(mu, rng),
    "Tweedie": lambda mu, eta, rng: np.where(rng.random(mu.shape[0]) < 0.2, 0.0, _positive(mu, rng)),
    "NegativeBinomial": lambda mu, eta, rng: rng.poisson(_positive(mu, rng)).astype(float),
    "Cox": lambda mu, eta, rng: np.c_[rng.exponential(1.0 / np.exp(eta - 1.5)),
                                      rng.random(eta.shape[0]) < 0.7],
    "MultiTask": lambda mu, eta, rng: np.c_[eta, -eta, 2 * eta] + 0.3 * rng.standard_normal((eta.shape[0], 3)),
    "Huber": lambda mu, eta, rng: mu + rng.standard_t(2, mu.shape[0]),  # heavy tails, beyond delta
}


def test_every_family_of_the_registry_has_a_response():
    assert sorted(RESPONSES) == sorted({type(f).__name__ for f in families.FAMILIES})


def problem(family, seed=0):
    rng = np.random.default_rng(seed)
    X = np.clip(rng.standard_normal((N, P)), -2.5, 2.5)
    # a linear predictor inside every link's domain (positive, moderate)
    eta = 1.5 + 0.3 * X[:, 0] - 0.2 * X[:, 1]
    with np.errstate(all="ignore"):
        mu = family.inverse_link(eta) if not family.groups_coefficients else None
    y = RESPONSES[type(family).__name__](mu, eta, rng)
    return X, y


def same_path(got, want):
    assert got.family_instance == want.family_instance
    assert got.n_lambdas == want.n_lambdas
    np.testing.assert_allclose(got.lambdas, want.lambdas, rtol=1e-10)
    scale = np.abs(want.coefs).max() + 1e-12
    np.testing.assert_allclose(got.coefs, want.coefs, rtol=1e-6, atol=1e-6 * scale)
    np.testing.assert_allclose(got.intercepts, want.intercepts, rtol=1e-6, atol=1e-6 * scale)


@pytest.mark.parametrize("family", VARIANTS, ids=IDS)
def test_cross_validation_fits_the_family_it_was_given(family):
    X, y = problem(family)
    want = varnel.fit_path(X, y, family, **FAST)
    got = varnel.cv_path(X, y, family, nfolds=3, seed=0, n_jobs=1, **FAST)
    same_path(got.path, want)
    # the folds too: scored as when every fold is fitted from its rows
    folds = varnel.cv_path(X, y, family, foldid=got.foldid, solver="naive", n_jobs=1, **FAST)
    np.testing.assert_allclose(got.cvm, folds.cvm, rtol=1e-4)


@pytest.mark.parametrize("solver", ["covariance", "auto"])
@pytest.mark.parametrize("family", VARIANTS, ids=IDS)
def test_every_solver_fits_the_family_it_was_given(family, solver):
    """The covariance solver and the automatic choice reach the naive
    solver's solutions (to the tight threshold used here), or the covariance
    solver refuses the family by name."""
    X, y = problem(family)
    tight = dict(FAST, thresh=1e-12)
    want = varnel.fit_path(X, y, family, solver="naive", **tight)
    if solver == "covariance" and family.keeps_rows:  # its risk sets tie the rows together
        with pytest.raises(ValueError, match=f"solver 'covariance' fits every family but the {family.name}"):
            varnel.fit_path(X, y, family, solver=solver, **tight)
        return
    same_path(varnel.fit_path(X, y, family, solver=solver, **tight), want)


@pytest.mark.parametrize("family", VARIANTS, ids=IDS)
def test_cross_validation_on_two_threads_is_the_one_thread_result(family):
    X, y = problem(family)
    one = varnel.cv_path(X, y, family, nfolds=3, seed=0, n_jobs=1, **FAST)
    two = varnel.cv_path(X, y, family, nfolds=3, seed=0, n_jobs=2, **FAST)
    np.testing.assert_array_equal(two.cvm, one.cvm)
    np.testing.assert_array_equal(two.path.coefs, one.path.coefs)


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("family", VARIANTS, ids=IDS)
def test_the_response_scale_of_moments_is_the_rows_one(family, intercept):
    """The estimators on Dask scale the penalty by the response's scale
    from its moments; it is the one the rows in memory give (1 for every
    model but least squares)."""
    X, y = problem(family)
    y = y.reshape(N, -1)[:, 0]
    w = np.random.default_rng(2).uniform(0.3, 2.0, N)
    wn = w / w.sum()
    mean = wn @ y
    got = family.response_scale_of_moments(mean, wn @ (y - mean) ** 2, intercept)
    want = family.response_scale(y, w, intercept, None)
    assert got == pytest.approx(want, rel=1e-12)
    assert (want != 1.0) == family.least_squares


@pytest.mark.parametrize("validated", [False, True], ids=["alpha", "cv"])
@pytest.mark.parametrize("family", VARIANTS, ids=IDS)
def test_the_estimators_fit_the_family_they_were_given(family, validated):
    """The family's estimator (its own, or GeneralizedNetRegressor with the
    family as it is configured), with a fixed penalty and with the penalty
    cross-validated, keeps the path of that family: the path on all the data
    over the same lambdas (to the default threshold's accuracy)."""
    pytest.importorskip("sklearn")
    X, y = problem(family)
    kw = dict(cv=3) if validated else dict(alpha=0.01)
    if family.own_estimator is None:
        est = varnel.GeneralizedNetRegressor(family=family, **kw)
    else:
        own = {k: v for k, v in family.parameters().items() if k != "link"}
        est = getattr(varnel, family.own_estimator)(**own, **kw)
    path = est.fit(X, y).path_
    assert path.family_instance == family
    want = varnel.fit_path(X, y, family, user_lambda=path.lambdas, alpha=path.alpha)
    scale = np.abs(want.coefs).max() + 1e-12
    np.testing.assert_allclose(path.coefs, want.coefs, rtol=0, atol=1e-3 * scale)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def weights_offset(family, n, rng):
    """Positive weights and a small offset (one column per class or
    response of a family with K = 3 linear predictors) that keeps every mean
    inside its link's domain."""
    w = rng.uniform(0.3, 2.0, n)
    offset = 0.1 * rng.standard_normal(family.offset_shape(n, np.arange(3)))
    return w, offset


@pytest.mark.parametrize("case", ["plain", "weights-offset"])
@pytest.mark.parametrize("route", ["fit_path", "cv_path"])
@pytest.mark.parametrize("family", VARIANTS, ids=IDS)
def test_dask_fits_the_family_it_was_given_or_refuses_it(client, family, route, case):
    da = pytest.importorskip("dask.array")
    X, y = problem(family)
    Xd = da.from_array(X, chunks=(100, P))
    yd = da.from_array(y, chunks=(100,) + y.shape[1:])
    given, lazy = {}, {}
    if case == "weights-offset":
        w, offset = weights_offset(family, N, np.random.default_rng(1))
        given = dict(weights=w, offset=offset)
        lazy = {k: da.from_array(v, chunks=(100,) + v.shape[1:]) for k, v in given.items()}
    refusal = family.refusal_on_blocks()
    if refusal is not None:
        assert "is not served on Dask" in refusal and "compute X and y into memory" in refusal
        with pytest.raises(ValueError, match=f"^{__import__('re').escape(repr(family))} is not served on Dask"):
            if route == "fit_path":
                varnel.fit_path(Xd, yd, family, **lazy, **FAST)
            else:
                varnel.cv_path(Xd, yd, family, nfolds=3, **lazy, **FAST)
        return
    want = varnel.fit_path(X, y, family, solver="covariance", **given, **FAST)
    if route == "fit_path":
        same_path(varnel.fit_path(Xd, yd, family, **lazy, **FAST), want)
        return
    got = varnel.cv_path(Xd, yd, family, nfolds=3, seed=0, **lazy, **FAST)
    same_path(got.path, want)
    foldid = np.asarray(got.foldid.compute() if hasattr(got.foldid, "compute") else got.foldid)
    memory = varnel.cv_path(X, y, family, foldid=foldid, solver="covariance", n_jobs=1, **given,
                            **FAST)
    np.testing.assert_allclose(got.cvm, memory.cvm, rtol=1e-4)


# ---- the binomial response: proportions or labels ----------------------------------

def proportions_problem(seed=3):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((400, 3))
    trials = rng.integers(1, 6, 400).astype(float)
    p = 1 / (1 + np.exp(-(0.2 + X[:, 0] - 0.5 * X[:, 1])))
    y = rng.binomial(trials.astype(int), p) / trials
    return X, y, trials


def test_binomial_proportions_with_trials_as_weights_are_the_binomial_glm():
    sm = pytest.importorskip("statsmodels.api")
    X, y, trials = proportions_problem()
    want = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial(), var_weights=trials).fit(tol=1e-12)
    path = varnel.fit_path(X, y, "binomial", weights=trials, user_lambda=[0.0], thresh=1e-14)
    assert path.classes is None
    np.testing.assert_allclose(np.r_[path.intercepts[0], path.coefs[:, 0]], want.params, rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("route", ["cv_path", "dask"])
def test_binomial_proportions_are_read_alike_on_every_route(route):
    X, y, trials = proportions_problem()
    # two distinct proportions are still proportions, not the labels 0.3 and 0.7
    y2 = np.where(y > 0.5, 0.7, 0.3)
    for resp in (y, y2):
        want = varnel.fit_path(X, resp, "binomial", weights=trials, solver="covariance", **FAST)
        if route == "cv_path":
            got = varnel.cv_path(X, resp, "binomial", weights=trials, nfolds=3, seed=0, n_jobs=1,
                                 solver="covariance", **FAST).path
        else:
            da = pytest.importorskip("dask.array")
            got = varnel.fit_path(da.from_array(X, chunks=(100, 3)), da.from_array(resp, chunks=100),
                                  "binomial", weights=da.from_array(trials, chunks=100), **FAST)
        same_path(got, want)
        assert got.classes is None


@pytest.mark.parametrize("labels", [np.array(["no", "yes"]), np.array([1, 2]), np.array([-1, 1]),
                                    np.array([False, True]), np.array([0.0, 1.0])],
                         ids=["strings", "1-2", "minus-plus", "booleans", "zero-one"])
def test_two_labels_are_classes_the_larger_one_coded_one(labels):
    X, y, _ = proportions_problem()
    coded = (y > 0.5).astype(float)
    want = varnel.fit_path(X, coded, "binomial", **FAST)
    got = varnel.fit_path(X, labels[coded.astype(int)], "binomial", **FAST)
    assert list(got.classes) == list(labels)
    np.testing.assert_array_equal(got.coefs, want.coefs)


def test_a_binomial_response_that_is_neither_says_both_readings():
    X, y, _ = proportions_problem()
    with pytest.raises(ValueError, match=r"exactly two classes in y, found \d+ class\(es\).*"
                                         r"read as proportions of successes only when every value lies in \[0, 1\]"):
        varnel.fit_path(X, y * 3, "binomial")


@pytest.mark.parametrize("measure", ["class", "auc"])
def test_label_measures_refuse_proportions(measure):
    X, y, trials = proportions_problem()
    with pytest.raises(ValueError, match=f"measure='{measure}' needs class labels, but y holds proportions"):
        varnel.cv_path(X, y, "binomial", weights=trials, measure=measure, nfolds=3)


def test_only_cox_and_huber_are_refused_on_dask():
    """Every family whose loss is a sum over rows is served on Dask with
    every link and parameter, but Huber's robust loss, whose block passes
    are not written; the table above then compares it."""
    refused = {type(f).__name__ for f in VARIANTS if f.refusal_on_blocks() is not None}
    assert refused == {"Cox", "Huber"}
    assert "Huber(delta=1.35) is not served on Dask" in families.Huber().refusal_on_blocks()
    assert families.MultiTask(standardize_response=True).refusal_on_blocks() is None
    assert families.Tweedie(2.5, link="identity").refusal_on_blocks() is None
    assert families.NegativeBinomial(0.3, link="sqrt").refusal_on_blocks() is None
