"""Every route fits the model the caller asked for, or refuses it by name.

The table crosses the family registry (every family with each of its links,
each example of its parameter and each option of its own, without and with
weights and an offset) with every route a user reaches: the covariance
solver and the automatic choice, cross-validation's full path on one and on
two threads (in memory it may run from per-fold statistics), the estimators
with a fixed penalty and cross-validated, and on Dask the path,
cross-validation and the estimators.  A cell either equals the naive
solver's fit in memory of the same problem (to 1e-6 relative, the solvers
converged tightly) or raises the route's refusal, which names the family or
option, the route and what to use instead.  A family, link or parameter
example added to the registry joins every route by itself; a family needs
its response generator below, an option of its own its value maker."""

import re
from typing import Any, Dict, NamedTuple

import numpy as np
import pytest

import varnel
from varnel import _coefs, _fit, families

N, P = 300, 5
FAST = dict(nlambda=3, lambda_min_ratio=0.1)
TIGHT = 1e-12  # every solver at this threshold reaches the optimum to far below 1e-6
CHUNKS = 150  # rows per Dask block: two blocks


def _positive(mu, rng):
    return mu * rng.gamma(4.0, 0.25, mu.shape[0])


def _tweedie(family, mu, rng):
    if family.power == 0:  # normal
        return mu + 0.3 * rng.standard_normal(mu.shape[0])
    y = _positive(mu, rng)
    return np.where(rng.random(mu.shape[0]) < 0.2, 0.0, y) if family.zero_allowed else y


# One row per family: a response drawn from the family at the mean mu.
RESPONSES = {
    "Gaussian": lambda f, mu, eta, rng: mu + 0.3 * rng.standard_normal(mu.shape[0]),
    # (the log link's mean exp(eta) is a probability below eta = 0: the predictor moved there)
    "Binomial": lambda f, mu, eta, rng: (rng.random(mu.shape[0]) < np.where(mu.max() < 1, mu, np.exp(eta - 3.0))
                                         ).astype(float),
    "Poisson": lambda f, mu, eta, rng: rng.poisson(mu).astype(float),
    "Multinomial": lambda f, mu, eta, rng: np.argmax(
        np.c_[eta, -eta, 0 * eta] + rng.gumbel(size=(eta.shape[0], 3)), axis=1).astype(float),
    "Gamma": lambda f, mu, eta, rng: _positive(mu, rng),
    "InverseGaussian": lambda f, mu, eta, rng: _positive(mu, rng),
    "Tweedie": lambda f, mu, eta, rng: _tweedie(f, mu, rng),
    "NegativeBinomial": lambda f, mu, eta, rng: rng.poisson(_positive(mu, rng)).astype(float),
    # times with ties (rounded), so that breslow and efron differ
    "Cox": lambda f, mu, eta, rng: np.c_[np.ceil(4 * rng.exponential(1.0 / np.exp(eta - 1.5))) / 4,
                                         rng.random(eta.shape[0]) < 0.7],
    "MultiTask": lambda f, mu, eta, rng: np.c_[eta, -eta, 2 * eta] + 0.3 * rng.standard_normal((eta.shape[0], 3)),
    "Huber": lambda f, mu, eta, rng: mu + rng.standard_t(2, mu.shape[0]),  # heavy tails, beyond delta
}

# One row per option a family takes as its own (Family.own_options): its
# value for n rows.
OPTION_VALUES = {
    "grouped": lambda n, rng: True,
    "strata": lambda n, rng: rng.integers(0, 3, n),
}


class Case(NamedTuple):
    family: families.Family
    own: tuple  # the family's own options given (names of OPTION_VALUES)
    weighted: bool  # with weights and an offset

    @property
    def id(self):
        return repr(self.family) + "".join(f"+{o}" for o in self.own) + ("+weights+offset" if self.weighted else "")


def _cases():
    for fam in families.FAMILIES:
        for variant in fam.variants():
            for own in [()] + [(o,) for o in fam.own_options]:
                for weighted in (False, True):
                    yield Case(variant, own, weighted)


CASES = list(_cases())


def test_every_family_and_option_of_the_registry_has_a_generator():
    assert sorted(RESPONSES) == sorted({type(f).__name__ for f in families.FAMILIES})
    assert sorted(OPTION_VALUES) == sorted({o for f in families.FAMILIES for o in f.own_options})


def test_the_table_holds_every_link_parameter_and_option_of_the_registry():
    """What the table is made of, read back: a link, a parameter example or
    an option of the registry missing from the cases fails here."""
    seen = {(type(c.family).__name__, "link", c.family.link) for c in CASES}
    seen |= {(type(c.family).__name__, c.family.parameter, getattr(c.family, c.family.parameter))
             for c in CASES if c.family.parameter is not None}
    seen |= {(type(c.family).__name__, "option", o) for c in CASES for o in c.own}
    for fam in families.FAMILIES:
        name = type(fam).__name__
        assert {(name, "link", link) for link in fam.links} <= seen
        assert {(name, fam.parameter, v) for v in fam.parameter_examples} <= seen
        assert {(name, "option", o) for o in fam.own_options} <= seen
    assert {c.weighted for c in CASES} == {False, True}


def _neighbour(case):
    """The case with one thing less: without its weights and offset, else
    without its own options, else the registry's instance of its family."""
    if case.weighted:
        return case._replace(weighted=False)
    if case.own:
        return case._replace(own=())
    return case._replace(family=next(f for f in families.FAMILIES if type(f) is type(case.family)))


DIFFERING = [c for c in CASES if _neighbour(c) != c]


@pytest.mark.parametrize("case", DIFFERING, ids=[c.id for c in DIFFERING])
def test_every_cell_asks_for_another_model_than_its_neighbour(case):
    """Each link, parameter example, own option, and the weights with the
    offset change the fit of the same data, so that a route that drops one
    fits another model and fails its cell."""
    X, y, opts = given(case)
    near = _neighbour(case)
    kept = set(near.own) | ({"weights", "offset"} if near.weighted else set())
    a = naive(X, y, case.family, opts)
    b = naive(X, y, near.family, {k: v for k, v in opts.items() if k in kept})
    scale = np.abs(a.coefs).max() + np.abs(b.coefs).max()
    change = max(np.abs(a.coefs - b.coefs).max(), np.abs(a.intercepts - b.intercepts).max())
    assert change > 1e-3 * scale


def problem(family, seed=0):
    rng = np.random.default_rng(seed)
    X = np.clip(rng.standard_normal((N, P)), -2.5, 2.5)
    # a linear predictor inside every link's domain (positive, moderate)
    eta = 1.5 + 0.3 * X[:, 0] - 0.2 * X[:, 1]
    with np.errstate(all="ignore"):
        mu = family.inverse_link(eta) if not family.groups_coefficients else None
    y = RESPONSES[type(family).__name__](family, mu, eta, rng)
    return X, y


def weights_offset(family, n, rng):
    """Positive weights and a small offset (one column per class or
    response of a family with K = 3 linear predictors) that keeps every mean
    inside its link's domain."""
    w = rng.uniform(0.3, 2.0, n)
    offset = 0.1 * rng.standard_normal(family.offset_shape(n, np.arange(3)))
    return w, offset


def given(case):
    """The case's data and the options of fit_path beyond the family: its
    own options, and the weights and offset of a weighted case."""
    X, y = problem(case.family)
    rng = np.random.default_rng(1)
    opts: Dict[str, Any] = {o: OPTION_VALUES[o](N, rng) for o in case.own}
    if case.weighted:
        opts["weights"], opts["offset"] = weights_offset(case.family, N, rng)
    return X, y, opts


def same_path(got, want):
    assert got.family_instance == want.family_instance
    assert got.n_lambdas == want.n_lambdas
    np.testing.assert_allclose(got.lambdas, want.lambdas, rtol=1e-10)
    scale = np.abs(want.coefs).max() + 1e-12
    np.testing.assert_allclose(got.coefs, want.coefs, rtol=1e-6, atol=1e-6 * scale)
    np.testing.assert_allclose(got.intercepts, want.intercepts, rtol=1e-6, atol=1e-6 * scale)


def naive(X, y, family, opts, **kw):
    """The reference: the naive solver in memory, converged tightly."""
    return varnel.fit_path(X, y, family, solver="naive", **{**FAST, "thresh": TIGHT, **opts, **kw})


def lazy(X, y, opts):
    da = pytest.importorskip("dask.array")
    out = {k: (da.from_array(v, chunks=(CHUNKS,) + v.shape[1:]) if isinstance(v, np.ndarray) else v)
           for k, v in opts.items()}
    return (da.from_array(X, chunks=(CHUNKS, P)), da.from_array(y, chunks=(CHUNKS,) + y.shape[1:]),
            out)


def refused_on_dask(family):
    refusal = family.refusal_on_blocks()
    if refusal is None:
        return None
    assert "is not served on Dask" in refusal and "compute X and y into memory" in refusal
    return pytest.raises(ValueError, match="^" + re.escape(refusal) + "$")


# ---- the solvers and cross-validation in memory ------------------------------------------

@pytest.mark.parametrize("solver", ["covariance", "auto"])
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_every_solver_fits_the_family_it_was_given(case, solver):
    """The covariance solver and the automatic choice reach the naive
    solver's solutions, or the covariance solver refuses the family by name."""
    X, y, opts = given(case)
    fam = case.family
    if solver == "covariance" and fam.keeps_rows:  # its risk sets tie the rows together
        with pytest.raises(ValueError, match=f"solver 'covariance' fits every family but the {fam.name}.*"
                                             "use solver 'naive'"):
            varnel.fit_path(X, y, fam, solver=solver, **FAST, **opts)
        return
    same_path(varnel.fit_path(X, y, fam, solver=solver, thresh=TIGHT, **FAST, **opts),
              naive(X, y, fam, opts))


@pytest.mark.parametrize("n_jobs", [1, 2])
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_cross_validation_fits_the_family_it_was_given(case, n_jobs):
    """cv_path's full path is the naive solver's; its folds score as when
    every fold is fitted from its rows by the naive solver; two threads give
    the one thread's bits."""
    X, y, opts = given(case)
    fam = case.family
    got = varnel.cv_path(X, y, fam, nfolds=3, seed=0, n_jobs=n_jobs, thresh=TIGHT, **FAST, **opts)
    same_path(got.path, naive(X, y, fam, opts))
    folds = varnel.cv_path(X, y, fam, foldid=got.foldid, solver="naive", n_jobs=1, thresh=TIGHT,
                           **FAST, **opts)
    np.testing.assert_allclose(got.cvm, folds.cvm, rtol=1e-6)
    if n_jobs == 2:
        one = varnel.cv_path(X, y, fam, nfolds=3, seed=0, n_jobs=1, thresh=TIGHT, **FAST, **opts)
        np.testing.assert_array_equal(got.cvm, one.cvm)
        np.testing.assert_array_equal(got.path.coefs, one.path.coefs)


def _fold_solutions(sol):
    return np.asarray(_coefs.to_dense(sol.coefs)), np.asarray(sol.intercepts)


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_a_fold_started_from_the_full_path_reaches_its_own_solutions(case):
    """Cross-validation in memory starts each lambda of a fold at the
    full-data solution there: the fold's path is still the one fitted from
    its own previous solutions (converged tightly, to 1e-6), and a fold
    started at those very solutions is not moved: each lambda takes a
    single pass (the starts are read, and the fold stays at its optimum)."""
    from varnel import _sources, cv
    from varnel._path import Path

    X, y, opts = given(case)
    offset = opts.pop("offset", None)
    # converged to 1e-15: coefficients to about sqrt(1e-15) of their curvature's scale
    source = _sources.prepared(X, y, case.family, dict(FAST, thresh=1e-15, solver="naive", **opts),
                               offset).read_in_place()
    p = source.problem
    so = dict(source.solver_options, nlambda=5)
    full = Path.from_solution(source.fit(so), source, so["alpha"])
    w = np.ones(N) if p.weights is None else p.weights.copy()
    w[::3] = 0.0  # the held-out rows
    so = dict(so, user_lambda=full.lambdas)
    cold = _fit.solve(p.X, p.y, p.family, so, w, p.offset)
    starts = cv._full_path_starts(full)
    assert starts["starts_beta"].shape[-1] == full.n_lambdas > 2
    warm = _fit.solve(p.X, p.y, p.family, dict(so, **starts), w, p.offset)
    assert warm.n_lambdas == cold.n_lambdas == full.n_lambdas
    (b, a0), (b_cold, a0_cold) = _fold_solutions(warm), _fold_solutions(cold)
    scale = np.abs(b_cold).max() + 1e-12
    np.testing.assert_allclose(b, b_cold, rtol=1e-6, atol=1e-6 * scale)
    np.testing.assert_allclose(a0, a0_cold, rtol=1e-6, atol=1e-6 * scale)
    own = _fit.solve(p.X, p.y, p.family, dict(so, starts_beta=b_cold, starts_a0=a0_cold), w, p.offset)
    assert own.npasses == own.n_lambdas < cold.npasses
    np.testing.assert_allclose(_fold_solutions(own)[0], b_cold, rtol=1e-6, atol=1e-6 * scale)


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("family", [c.family for c in CASES if not c.own and not c.weighted],
                         ids=[repr(c.family) for c in CASES if not c.own and not c.weighted])
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


# ---- the estimators, in memory and on Dask -----------------------------------------------

def estimator(family, **kw):
    """The family's estimator: its own, or GeneralizedNetRegressor with the
    family as it is configured."""
    if family.own_estimator is None:
        return varnel.GeneralizedNetRegressor(family=family, **kw)
    own = {k: v for k, v in family.parameters().items() if k != "link"}
    return getattr(varnel, family.own_estimator)(**own, **kw)


ESTIMATOR_CELLS = [(c, False) for c in CASES] + [(c, True) for c in CASES if c.weighted]


@pytest.mark.parametrize("validated", [False, True], ids=["alpha", "cv"])
@pytest.mark.parametrize("case,on_dask", ESTIMATOR_CELLS,
                         ids=[c.id + ("-dask" if d else "-memory") for c, d in ESTIMATOR_CELLS])
def test_the_estimators_fit_the_family_they_were_given(request, case, on_dask, validated):
    """The family's estimator, with a fixed penalty and with the penalty
    cross-validated, in memory and on Dask, keeps the path of that family
    with the sample weights and offset it was given: the naive path on all
    the data over the same lambdas.  An option of fit_path that the
    estimators do not take is not one of their parameters.  On Dask the
    cases with weights and an offset stand for the ones without (the route
    is the one Dask fit_path takes, whose table has both)."""
    pytest.importorskip("sklearn")
    X, y, opts = given(case)
    fam = case.family
    est = estimator(fam, tol=TIGHT, random_state=0, **FAST,
                    **(dict(cv=3) if validated else dict(alpha=0.01)))
    if case.own:  # no estimator offers the option: there is nothing to cross
        assert not set(case.own) & set(est.get_params())
        return
    fit = dict(sample_weight=opts.get("weights"), offset=opts.get("offset"))
    if on_dask:
        request.getfixturevalue("client")
        X, y, fit = lazy(X, y, {k: v for k, v in fit.items() if v is not None})
        refusal = refused_on_dask(fam)
        if refusal is not None:
            with refusal:
                est.fit(X, y, **fit)
            return
    path = est.fit(X, y, **fit).path_
    assert path.family_instance == fam
    same_path(path, naive(*given(case)[:2], fam, opts, user_lambda=path.lambdas, alpha=path.alpha))


# ---- Dask: the path and cross-validation -------------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


# Every case on the path; cross-validation reads the same prepared data,
# so its cases with weights and an offset stand for the ones without.
DASK_CELLS = [(c, "fit_path") for c in CASES] + [(c, "cv_path") for c in CASES if c.weighted]


@pytest.mark.parametrize("case,route", DASK_CELLS, ids=[f"{c.id}-{r}" for c, r in DASK_CELLS])
def test_dask_fits_the_family_it_was_given_or_refuses_it(client, case, route, monkeypatch):
    """The path and cross-validation on Dask arrays (two blocks of rows)
    equal the naive path in memory, and cross-validation's scores the folds
    fitted in memory, or the family is refused by name."""
    X, y, opts = given(case)
    fam = case.family
    Xd, yd, lazy_opts = lazy(X, y, opts)
    refusal = refused_on_dask(fam)
    if refusal is not None:
        with refusal:
            if route == "fit_path":
                varnel.fit_path(Xd, yd, fam, **lazy_opts, **FAST)
            else:
                varnel.cv_path(Xd, yd, fam, nfolds=3, **lazy_opts, **FAST)
        return
    want = naive(X, y, fam, opts)
    if route == "fit_path":
        same_path(varnel.fit_path(Xd, yd, fam, thresh=TIGHT, **lazy_opts, **FAST), want)
        return
    got = varnel.cv_path(Xd, yd, fam, nfolds=3, seed=0, thresh=TIGHT, **lazy_opts, **FAST)
    same_path(got.path, want)
    foldid = np.asarray(got.foldid.compute() if hasattr(got.foldid, "compute") else got.foldid)
    # the folds in memory as the blocks' folds are fitted, from their previous
    # solutions (a held-out mean near 0 makes a score sensitive to the last digits)
    from varnel import cv

    monkeypatch.setattr(cv, "WARM_START_VALUES", -1)
    memory = varnel.cv_path(X, y, fam, foldid=foldid, solver="naive", n_jobs=1, thresh=TIGHT,
                            **opts, **FAST)
    np.testing.assert_allclose(got.cvm, memory.cvm, rtol=1e-6)


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
    refused = {type(c.family).__name__ for c in CASES if c.family.refusal_on_blocks() is not None}
    assert refused == {"Cox", "Huber"}
    assert "Huber(delta=1.35) is not served on Dask" in families.Huber().refusal_on_blocks()
    assert families.MultiTask(standardize_response=True).refusal_on_blocks() is None
    assert families.Tweedie(2.5, link="identity").refusal_on_blocks() is None
    assert families.NegativeBinomial(0.3, link="sqrt").refusal_on_blocks() is None
