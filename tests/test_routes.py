"""Every route fits the model the caller asked for, or refuses it by name.

The table crosses the family registry (each family, link, parameter example
and own option, without and with weights and an offset) with every route a
user reaches: the solvers, cross-validation on one and two threads, the
estimators, and Dask (the path, sparse blocks, cross-validation, the
estimators).  A cell equals the naive solver's tightly converged fit in
memory (to 1e-6 relative) or raises the route's refusal by name.  A family
added to the registry needs its response generator below, an option of its
own its value maker."""

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

# One row per other form of a response (Family.other_responses), from the family's own.
OTHER_RESPONSES = {
    # rows entering late (start a share of their time) beside rows at risk from 0
    "counting": lambda y, rng: np.c_[y[:, 0] * rng.uniform(0.0, 0.9, y.shape[0])
                                     * (rng.random(y.shape[0]) < 0.5), y],
}

# One row per option of a family's own (Family.own_options): its value for n rows.
OPTION_VALUES = {
    "grouped": lambda n, rng: True,
    "strata": lambda n, rng: rng.integers(0, 3, n),
}


class Case(NamedTuple):
    family: families.Family
    own: tuple  # the family's own options given (names of OPTION_VALUES)
    weighted: bool  # with weights and an offset
    response: str = ""  # another form of the response (a name of OTHER_RESPONSES)

    @property
    def id(self):
        return (repr(self.family) + "".join(f"+{o}" for o in self.own) + ("+weights+offset" if self.weighted else "")
                + (f"+{self.response}" if self.response else ""))


def _cases():
    for fam in families.FAMILIES:
        for variant in fam.variants():
            for response in ("",) + fam.other_responses:
                for own in [()] + [(o,) for o in fam.own_options]:
                    for weighted in (False, True):
                        yield Case(variant, own, weighted, response)


CASES = list(_cases())


def test_the_table_holds_every_link_parameter_and_option_of_the_registry():
    """What the table is made of, read back: a link, a parameter example or
    an option of the registry missing from the cases, or from the generators, fails here."""
    assert sorted(RESPONSES) == sorted({type(f).__name__ for f in families.FAMILIES})
    assert sorted(OPTION_VALUES) == sorted({o for f in families.FAMILIES for o in f.own_options})
    assert sorted(OTHER_RESPONSES) == sorted({r for f in families.FAMILIES for r in f.other_responses})
    seen = {(type(c.family).__name__, "link", c.family.link) for c in CASES}
    seen |= {(type(c.family).__name__, c.family.parameter, getattr(c.family, c.family.parameter))
             for c in CASES if c.family.parameter is not None}
    seen |= {(type(c.family).__name__, "option", o) for c in CASES for o in c.own}
    seen |= {(type(c.family).__name__, "response", c.response) for c in CASES if c.response}
    for fam in families.FAMILIES:
        name = type(fam).__name__
        assert {(name, "link", link) for link in fam.links} <= seen
        assert {(name, fam.parameter, v) for v in fam.parameter_examples} <= seen
        assert {(name, "option", o) for o in fam.own_options} <= seen
        assert {(name, "response", r) for r in fam.other_responses} <= seen
    assert {c.weighted for c in CASES} == {False, True}


def _neighbour(case):
    """The case with one thing less: weights and offset, else own options,
    else the other response, else the registry's instance of its family."""
    if case.weighted:
        return case._replace(weighted=False)
    if case.own:
        return case._replace(own=())
    if case.response:
        return case._replace(response="")
    return case._replace(family=next(f for f in families.FAMILIES if type(f) is type(case.family)))


DIFFERING = [c for c in CASES if _neighbour(c) != c]


@pytest.mark.parametrize("case", DIFFERING, ids=[c.id for c in DIFFERING])
def test_every_cell_asks_for_another_model_than_its_neighbour(case):
    """Each thing a cell adds changes the fit, so that a route that drops it
    fails its cell."""
    X, y, opts = given(case)
    near = _neighbour(case)
    kept = set(near.own) | ({"weights", "offset"} if near.weighted else set())
    a = naive(X, y, case.family, opts)
    b = naive(X, given(near)[1], near.family, {k: v for k, v in opts.items() if k in kept})
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


def given(case):
    """The case's data and the options of fit_path beyond the family: its
    own options, and positive weights with a small offset (K = 3 columns for
    a block family) when weighted."""
    X, y = problem(case.family)
    rng = np.random.default_rng(1)
    if case.response:
        y = OTHER_RESPONSES[case.response](y, np.random.default_rng(4))
    opts: Dict[str, Any] = {o: OPTION_VALUES[o](N, rng) for o in case.own}
    if case.weighted:
        opts["weights"] = rng.uniform(0.3, 2.0, N)
        opts["offset"] = 0.1 * rng.standard_normal(case.family.offset_shape(N, np.arange(3)))
    return X, y, opts


def same_path(got, want, lambda_rtol=1e-10):
    assert got.family_instance == want.family_instance
    assert got.n_lambdas == want.n_lambdas
    np.testing.assert_allclose(got.lambdas, want.lambdas, rtol=lambda_rtol)
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

@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_cross_validation_fits_the_family_it_was_given(case):
    """cv_path's full path is the naive solver's; its folds score as when
    every fold is fitted from its rows by the naive solver; two threads give
    the one thread's bits."""
    X, y, opts = given(case)
    fam = case.family
    # a subject per row (counting-process rows are drawn into folds by subject)
    by = dict(groups=np.arange(N)) if fam.rows_per_subject(fam.response(y, N)[0]) else {}
    one, two = (varnel.cv_path(X, y, fam, nfolds=3, seed=0, n_jobs=j, thresh=TIGHT, **FAST, **opts, **by)
                for j in (1, 2))
    same_path(one.path, naive(X, y, fam, opts))
    folds = varnel.cv_path(X, y, fam, foldid=one.foldid, solver="naive", n_jobs=1, thresh=TIGHT,
                           **FAST, **opts)
    np.testing.assert_allclose(one.cvm, folds.cvm, rtol=1e-6)
    np.testing.assert_array_equal(two.cvm, one.cvm)
    np.testing.assert_array_equal(two.path.coefs, one.path.coefs)


def _fold_solutions(sol):
    return np.asarray(_coefs.to_dense(sol.coefs)), np.asarray(sol.intercepts)


# Every case under the elastic net and, but with grouped=True, under GROUP_OPTIONS (below).
STARTED = [(c, False) for c in CASES] + [(c, True) for c in CASES if "grouped" not in c.own]


@pytest.mark.parametrize("case, groups", STARTED,
                         ids=[c.id + ("+groups" if g else "") for c, g in STARTED])
def test_a_fold_started_from_the_full_path_reaches_its_own_solutions(case, groups):
    """A fold started at the full-data solutions reaches the path fitted from
    its own previous ones (to 1e-6), and a fold started at its own optimum
    takes one pass per lambda; under the elastic net and the sparse-group
    penalty."""
    from varnel import _sources, cv
    from varnel._path import Path

    X, y, opts = given(case)
    if groups:
        opts.update(GROUP_OPTIONS)
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
@pytest.mark.parametrize("family", [c.family for c in CASES if not c.own and not c.weighted], ids=repr)
def test_the_response_scale_of_moments_is_the_rows_one(family, intercept):
    """The response's scale from its moments (the estimators on Dask) is the
    rows' one in memory (1 but for least squares)."""
    X, y = problem(family)
    y = y.reshape(N, -1)[:, 0]
    w = np.random.default_rng(2).uniform(0.3, 2.0, N)
    wn = w / w.sum()
    mean = wn @ y
    got = family.response_scale_of_moments(mean, wn @ (y - mean) ** 2, intercept)
    want = family.response_scale(y, w, intercept, None)
    assert got == pytest.approx(want, rel=1e-12)
    assert (want != 1.0) == family.least_squares


def categorical(case):
    """The case's data with its last column cut into three bands (a pandas
    category, levels declared unsorted), and by hand the bands' indicators
    but the first (drop_first)."""
    pd = pytest.importorskip("pandas")
    X, y, opts = given(case)
    codes = np.digitize(X[:, -1], [-0.4, 0.4])
    bands = np.array(["low", "mid", "high"])[codes]
    frame = pd.DataFrame({f"x{j}": X[:, j] for j in range(P - 1)})
    frame["band"] = pd.Categorical(bands, categories=["mid", "low", "high"])
    design = np.column_stack([X[:, :-1]] + [codes == k for k in (0, 2)]).astype(float)
    return frame, design, y, opts


# a fold of the log-binomial cell stops at maxit on both designs alike
@pytest.mark.filterwarnings("ignore:cross-validation. fold 0 at lambda index 2:varnel.PathWarning")
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_categorical_columns_fit_as_their_indicators_on_every_route(case):
    """A frame with a categorical column is its indicators' problem on the
    path, cross-validation and the estimator (Dask refuses it: test_api_inputs)."""
    frame, design, y, opts = categorical(case)
    fam = case.family
    # the band's indicators are one group by default (alone under grouped=True)
    alone = opts.get("grouped", False)
    labels = None if alone else np.r_[np.arange(P - 1), P - 1, P - 1]
    frame_opts = dict(opts, feature_groups=None) if alone else opts
    want = naive(design, y, fam, opts, feature_groups=labels)
    same_path(varnel.fit_path(frame, y, fam, thresh=TIGHT, drop_first=True, **FAST, **frame_opts), want)
    got = varnel.cv_path(frame, y, fam, nfolds=3, seed=0, thresh=TIGHT, drop_first=True, **FAST,
                         **frame_opts)
    same_path(got.path, want)
    folds = varnel.cv_path(design, y, fam, foldid=got.foldid, solver="naive", thresh=TIGHT, **FAST,
                           feature_groups=labels, **opts)
    np.testing.assert_allclose(got.cvm, folds.cvm, rtol=1e-6)
    if case.own or not pytest.importorskip("sklearn"):
        return
    est = estimator(fam, tol=TIGHT, alpha=0.01, drop_first=True, **FAST).fit(
        frame, y, sample_weight=opts.get("weights"), offset=opts.get("offset"))
    assert est.path_.feature_names[-3:] == [f"x{P - 2}", "band[low]", "band[high]"]
    assert est.path_.group_names[-1] == "band"
    same_path(est.path_, naive(design, y, fam, opts, user_lambda=est.path_.lambdas,
                               alpha=est.path_.alpha, feature_groups=labels))


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_a_frame_is_read_column_by_column_to_the_bits_of_its_sparse_design(case):
    """The solver reads a frame's columns one by one where they are (a
    column without zeros whole, one with zeros by its non-zero entries, a
    level by its rows): the same matrix as its CSC design, to the bit,
    standardized or not, and the frame's arrays are left as they were."""
    sp = pytest.importorskip("scipy.sparse")
    from varnel import _categorical

    frame, design, y, opts = categorical(case)
    frame["x1"] = np.where(np.abs(design[:, 1]) < 0.5, 0.0, design[:, 1])
    design[:, 1] = frame["x1"]
    alone = opts.get("grouped", False)
    labels = None if alone else np.r_[np.arange(P - 1), P - 1, P - 1]
    frame_opts = dict(opts, feature_groups=None) if alone else opts
    numbers = {c: frame[c].to_numpy(copy=True) for c in frame.columns[:-1]}
    columns = _categorical.encode(frame, _categorical.Options(drop_first=True)).X.columns
    assert np.shares_memory(columns[0], frame["x0"].to_numpy())  # read in place
    assert isinstance(columns[1], tuple) and columns[1][0].shape[0] == np.count_nonzero(design[:, 1])
    for standardize in (True, False):
        got = varnel.fit_path(frame, y, case.family, drop_first=True, standardize=standardize, **FAST,
                              **frame_opts)
        want = varnel.fit_path(sp.csc_matrix(design), y, case.family, standardize=standardize, **FAST,
                               feature_groups=labels, **opts)
        for name in ("lambdas", "coefs", "intercepts", "dev_ratio"):
            np.testing.assert_array_equal(getattr(got, name), getattr(want, name), err_msg=name)
    for c, values in numbers.items():
        np.testing.assert_array_equal(frame[c].to_numpy(), values)


# ---- the estimators, in memory and on Dask -----------------------------------------------

def estimator(family, **kw):
    """The family's estimator: its own, or GeneralizedNetRegressor with the
    family as it is configured."""
    if family.own_estimator is None:
        return varnel.GeneralizedNetRegressor(family=family, **kw)
    own = {k: v for k, v in family.parameters().items() if k != "link"}
    return getattr(varnel, family.own_estimator)(**own, **kw)


ESTIMATOR_SETTINGS = ["alpha", "cv", "relax-alpha", "relax-cv", "groups"]  # (groups: in memory)
ESTIMATOR_CELLS = [(c, False, s) for c in CASES for s in ESTIMATOR_SETTINGS] + \
    [(c, True, s) for c in CASES if c.weighted for s in ESTIMATOR_SETTINGS[:3]]


@pytest.mark.parametrize("case,on_dask,setting", ESTIMATOR_CELLS,
                         ids=[f"{c.id}-{'dask' if d else 'memory'}-{s}" for c, d, s in ESTIMATOR_CELLS])
def test_the_estimators_fit_the_family_they_were_given(request, case, on_dask, setting):
    """The family's estimator, fixed or cross-validated, in memory and on
    Dask (its weighted cases stand for the rest), keeps the naive path over
    its lambdas; with relax=True the naive relaxed path, predicting with the
    blend given or chosen; with groups the naive sparse-group path.  An
    option the estimators lack is no parameter."""
    pytest.importorskip("sklearn")
    X, y, opts = given(case)
    fam = case.family
    relax, validated, blends = setting.startswith("relax"), setting.endswith("cv"), (0.0, 0.5, 1.0)
    kw = dict(cv=3) if validated else dict(alpha=0.01)
    if relax:
        kw.update(relax=True, blend=blends if validated else 0.25)
    # the sparse-group penalty of GROUP_OPTIONS (below), converged to 1e-15
    grouped = dict(GROUP_OPTIONS, thresh=1e-15) if setting == "groups" else {}
    est = estimator(fam, tol=grouped.get("thresh", TIGHT), random_state=0, **FAST, **kw)
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
    path = est.set_params(**GROUP_OPTIONS if grouped else {}).fit(X, y, **fit).path_
    assert path.family_instance == fam and (not grouped or path.group_names == ["a", 2, "b"])
    X0, y0 = given(case)[:2]
    want = naive(X0, y0, fam, opts, user_lambda=path.lambdas, alpha=path.alpha, relax=relax, **grouped)
    if not relax:
        same_path(path, want)
        return
    # (the first lambda, lambda_max up to rounding, may let a variable in by 1e-17 in one fit
    # and not the other: their refits differ there by design)
    got, want = path.blended(0.0), want.blended(0.0)
    scale = np.abs(want.coefs).max() + 1e-12
    np.testing.assert_allclose(got.coefs[..., 1:], want.coefs[..., 1:], rtol=1e-6, atol=1e-6 * scale)
    np.testing.assert_allclose(got.intercepts[..., 1:], want.intercepts[..., 1:], rtol=1e-6,
                               atol=1e-6 * scale)
    assert est.blend_ == (est.cv_.blend_1se if validated else 0.25) and est.blend_ in blends + (0.25,)
    np.testing.assert_allclose(np.asarray(est._link(X, fit.get("offset"))),
                               path.predict(X0, est.lambda_, offset=opts.get("offset"), blend=est.blend_),
                               rtol=1e-6 if on_dask else 1e-12, atol=1e-9 if on_dask else 1e-12)
    if not validated:
        assert not np.allclose(path.predict(X0, est.lambda_, blend=0.25), path.predict(X0, est.lambda_))


def unpenalized_gradient(case, X, y, opts, b, a0):
    """The gradient per unit of weight of the weighted deviance in the
    intercepts and active coefficients: central differences of the family's
    unit deviance, or oracles' partial likelihood gradient (cox)."""
    from oracles import cox_loglik

    fam = case.family
    w = opts.get("weights", np.ones(N))
    offset = opts.get("offset")
    active = np.flatnonzero(np.any(b.reshape(P, -1) != 0, axis=1))
    if fam.keeps_rows:
        eta = X @ b + (0.0 if offset is None else offset)
        entry = y[:, 0] if y.shape[1] == 3 else None  # counting-process rows: (start, stop, status)
        _, grad = cox_loglik(eta, y[:, -2:], w / w.sum(), opts.get("strata"), fam.ties, entry)
        return -(X[:, active].T @ grad)
    codes = fam.response(y, N)[0]
    theta = np.concatenate([np.ravel(a0), b[active].ravel()])
    nk = np.size(a0)

    def objective(t):
        a, bb = t[:nk].reshape(np.shape(a0)), t[nk:].reshape((active.shape[0],) + b.shape[1:])
        eta = a + X[:, active] @ bb + (0.0 if offset is None else offset)
        return w @ fam.unit_deviance(codes, eta) / (2 * w.sum())

    h = 1e-6
    steps = np.eye(theta.shape[0]) * h
    return np.array([(objective(theta + e) - objective(theta - e)) / (2 * h) for e in steps])


@pytest.mark.parametrize("solver", ["naive", "covariance", "auto"])
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_every_solver_fits_the_family_it_was_given_and_its_relaxed_refits(case, solver):
    """Every solver reaches the naive solutions, or refuses the family by
    name; every relaxed refit (blend 0) is a stationary point of the
    family's unpenalized objective on its active variables; blend 1 is the
    penalized path bit for bit."""
    X, y, opts = given(case)
    fam = case.family
    if solver == "covariance" and fam.keeps_rows:  # its risk sets tie the rows together
        for relax in (False, True):
            with pytest.raises(ValueError, match=f"solver 'covariance' fits every family but the {fam.name}.*"
                                                 "use solver 'naive'"):
                varnel.fit_path(X, y, fam, solver=solver, relax=relax, **FAST, **opts)
        return
    path = varnel.fit_path(X, y, fam, solver=solver, thresh=TIGHT, relax=True, **FAST, **opts)
    plain = varnel.fit_path(X, y, fam, solver=solver, thresh=TIGHT, **FAST, **opts)
    if solver != "naive":
        same_path(plain, naive(X, y, fam, opts))
    np.testing.assert_array_equal(path.coefs, plain.coefs)
    np.testing.assert_array_equal(path.coef(blend=1.0), plain.coefs)
    np.testing.assert_array_equal(path.intercept(blend=1.0), plain.intercepts)
    assert not path.relaxed_capped.any()
    refit = path.coef(blend=0.0)
    a0 = path.intercept(blend=0.0)
    for l in range(1, path.n_lambdas):
        assert np.array_equal(refit[..., l] != 0, path.coefs[..., l] != 0) or fam.groups_coefficients
        grad = unpenalized_gradient(case, X, y, opts, refit[..., l], a0[..., l])
        # (a penalized solution's is lambda's order, 1e-2 here; the core's
        # reweighting of a non-canonical link stops within a few 1e-6)
        assert np.abs(grad).max() < 2e-5, (l, grad)
    if solver == "covariance":
        same_path(path.blended(0.0), naive(X, y, fam, opts, relax=True).blended(0.0))


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_relaxed_cross_validation_scores_every_blend_of_the_family_it_was_given(case):
    """cv_path(relax=True): blend 1 scores as plain cross-validation bit for
    bit, blend 0 otherwise; the choice is among the blends, the same on two
    threads, and coef/predict use it."""
    X, y, opts = given(case)
    fam = case.family
    foldid = np.arange(N) % 3
    blends = (0.0, 0.5, 1.0)
    kw = dict(foldid=foldid, solver="naive", **FAST, **opts)
    got = varnel.cv_path(X, y, fam, n_jobs=1, relax=True, blend=blends, **kw)
    plain = varnel.cv_path(X, y, fam, n_jobs=1, **kw)
    np.testing.assert_array_equal(got.cvm_blends[2], plain.cvm)
    np.testing.assert_array_equal(got.path.coefs, plain.path.coefs)
    assert not np.allclose(got.cvm_blends[0], got.cvm_blends[2])
    assert got.blend_min in blends and got.blend_1se in blends and got.lambda_1se >= got.lambda_min
    np.testing.assert_array_equal(got.cvm, got.cvm_blends[blends.index(got.blend_min)])
    again = varnel.cv_path(X, y, fam, n_jobs=2, relax=True, blend=blends, **kw)
    np.testing.assert_array_equal(again.cvm_blends, got.cvm_blends)
    assert (again.blend_min, again.blend_1se) == (got.blend_min, got.blend_1se)
    np.testing.assert_array_equal(got.coef(), got.path.coef(got.lambda_1se, blend=got.blend_1se))
    np.testing.assert_array_equal(got.predict(X, "lambda_min"),
                                  got.path.predict(X, got.lambda_min, blend=got.blend_min))


# ---- Dask: the path and cross-validation -------------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


# Every case on the path; on the other routes (the same prepared data) the weighted cases.
DASK_CELLS = [(c, "fit_path") for c in CASES] + [(c, r) for c in CASES if c.weighted
                                                  for r in ("cv_path", "sparse", "relaxed")]


def sparse_blocks(X, Xd):
    """X with about a third of its entries 0, and as a Dask array of CSR
    blocks chunked like Xd."""
    X = np.where(np.random.default_rng(5).random(X.shape) < 0.35, 0.0, X)
    sp = pytest.importorskip("scipy.sparse")
    return X, pytest.importorskip("dask.array").from_array(X, chunks=Xd.chunks).map_blocks(
        sp.csr_matrix)


@pytest.mark.parametrize("case,route", DASK_CELLS, ids=[f"{c.id}-{r}" for c, r in DASK_CELLS])
def test_dask_fits_the_family_it_was_given_or_refuses_it(client, case, route, monkeypatch):
    """The path, relaxed refits and cross-validation on two Dask blocks equal
    the naive ones in memory, or the family is refused by name."""
    X, y, opts = given(case)
    fam = case.family
    Xd, yd, lazy_opts = lazy(X, y, opts)
    if route == "relaxed":
        lazy_opts["relax"] = opts["relax"] = True
    if route == "sparse":
        X, Xd = sparse_blocks(X, Xd)
    refusal = refused_on_dask(fam)
    if refusal is None and route == "sparse" and fam.fits_from_products and not fam.least_squares:
        refusal = pytest.raises(ValueError, match=rf"^the {fam.name} family fits Dask arrays of "
                                rf"dense blocks only .* fit X in memory \(X\.compute\(\)\)")
    if refusal is not None:
        with refusal:
            if route != "cv_path":
                varnel.fit_path(Xd, yd, fam, **lazy_opts, **FAST)
            else:
                varnel.cv_path(Xd, yd, fam, nfolds=3, **lazy_opts, **FAST)
        return
    want = naive(X, y, fam, opts)
    if route != "cv_path":  # sparse blocks' sums, centred apart, round in another order
        got = varnel.fit_path(Xd, yd, fam, thresh=TIGHT, **lazy_opts, **FAST)
        if route == "relaxed":
            got, want = got.blended(0.0), want.blended(0.0)
        same_path(got, want, lambda_rtol=1e-9 if route == "sparse" else 1e-10)
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


@pytest.mark.parametrize("call, match", [
    (lambda X, y, w: varnel.fit_path(X, y * 3, "binomial"), r"exactly two classes in y, found \d+ class\(es\).*"
     r"read as proportions of successes only when every value lies in \[0, 1\]")] + [
    (lambda X, y, w, m=m: varnel.cv_path(X, y, "binomial", weights=w, measure=m, nfolds=3),
     f"measure='{m}' needs class labels, but y holds proportions") for m in ("class", "auc")])
def test_a_binomial_response_neither_labels_nor_proportions_is_refused(call, match):
    with pytest.raises(ValueError, match=match):
        call(*proportions_problem())


def test_only_cox_and_huber_are_refused_on_dask():
    """Every family whose loss is a sum over rows is served on Dask but Huber."""
    refused = {type(c.family).__name__ for c in CASES if c.family.refusal_on_blocks() is not None}
    assert refused == {"Cox", "Huber"}


# ---- groups of columns on every route ----------------------------------------------------

GROUP_LABELS = ["a", "a", None, "b", "b"]  # P columns: two groups and a column by itself
GROUP_OPTIONS = dict(feature_groups=GROUP_LABELS, l1_within=0.3, group_penalty_factor=[1.0, 0.5, 2.0])
GROUP_ROUTES = ["covariance", "auto", "sparse", "cv_path", "dask"]  # (the estimators: their own table)


def grouped_refusal():
    return pytest.raises(ValueError, match=re.escape(
        "grouped=True and feature_groups both group the coefficients: give feature_groups alone "
        "(a group of one column with l1_within=0 is grouped=True's penalty of that column)"))


@pytest.mark.parametrize("route", GROUP_ROUTES)
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_groups_reach_every_route_or_are_refused(request, case, route):
    """The sparse-group penalty on each route equals the naive path (checked
    against the group optimality conditions in test_engine), for every
    family; grouped=True with groups and a route refusing the family are
    refused by name."""
    X, y, opts = given(case)
    fam = case.family
    opts = {**opts, **GROUP_OPTIONS}
    run = {
        "covariance": lambda: varnel.fit_path(X, y, fam, solver="covariance", **FAST, **opts),
        "auto": lambda: varnel.fit_path(X, y, fam, solver="auto", **FAST, **opts),
        "sparse": lambda: varnel.fit_path(pytest.importorskip("scipy.sparse").csc_matrix(X), y,
                                          fam, **FAST, **opts),
        "cv_path": lambda: varnel.cv_path(X, y, fam, nfolds=3, seed=0, **FAST, **opts).path,
        "dask": lambda: varnel.fit_path(*lazy(X, y, opts)[:2], fam, **FAST, **lazy(X, y, opts)[2]),
    }[route]
    if route == "dask":
        request.getfixturevalue("client")
        refusal = refused_on_dask(fam)
        if refusal is not None:
            with refusal:
                run()
            return
    if "grouped" in case.own:
        with grouped_refusal():
            run()
        return
    if route == "covariance" and fam.keeps_rows:
        with pytest.raises(ValueError, match="solver 'covariance' fits every family but the"):
            run()
        return
    opts["thresh"] = 1e-15
    got = run()
    assert got.group_names == ["a", 2, "b"]
    same_path(got, naive(X, y, fam, opts))


def test_groups_change_the_fit_and_read_back_on_the_path():
    """feature_groups is another model (a group enters whole); the path reads
    back its groups."""
    X, y = problem(families.Gaussian())
    plain = varnel.fit_path(X, y, **FAST)
    path = varnel.fit_path(X, y, feature_groups=GROUP_LABELS, **FAST)
    assert np.abs(plain.coefs - path.coefs).max() > 1e-3
    assert path.group_names == ["a", 2, "b"]
    np.testing.assert_array_equal(path.feature_groups, [0, 0, 1, 2, 2])
    norms = np.sqrt(np.stack([(path.coefs[[0, 1]] ** 2).sum(0), path.coefs[2] ** 2,
                              (path.coefs[[3, 4]] ** 2).sum(0)]))
    np.testing.assert_allclose(path.group_norms(), norms)
    np.testing.assert_array_equal(path.groups_active, norms > 0)
    for g, members in enumerate([[0, 1], [2], [3, 4]]):  # whole groups (l1_within = 0)
        nonzero = path.coefs[members] != 0
        np.testing.assert_array_equal(nonzero.all(axis=0), nonzero.any(axis=0))
    assert path.df.tolist() == (path.coefs != 0).sum(axis=0).tolist()
    doc = path.to_dict()
    assert doc["feature_groups"] == [0, 0, 1, 2, 2] and doc["group_names"] == ["a", 2, "b"]
    assert "feature_groups" not in plain.to_dict()


def test_groups_by_dict_and_by_labels_are_one_model():
    """Dicts of names or indices and labels per column make the same groups;
    "categorical" without categorical columns makes single-column groups."""
    pd = pytest.importorskip("pandas")
    X, y = problem(families.Gaussian())
    frame = pd.DataFrame(X, columns=list("vwxyz"))
    want = varnel.fit_path(X, y, feature_groups=[0, 0, -1, 1, 1], **FAST)
    for setting, data in (({"a": ["v", "w"], "b": ["y", "z"]}, frame), ({"a": [0, 1], "b": [3, 4]}, X),
                       (["p", "p", None, "q", "q"], X), (np.array([5, 5, -1, 7, 7]), X)):
        got = varnel.fit_path(data, y, feature_groups=setting, **FAST)
        np.testing.assert_array_equal(got.coefs, want.coefs)
    # (and a group whose columns are all excluded is left out, as its columns are)
    for groups, plain in (("categorical", {}), ({"g": [0, 1]}, dict(exclude=[0, 1]))):
        got = varnel.fit_path(X, y, feature_groups=groups, **plain, **FAST, thresh=1e-15)
        np.testing.assert_allclose(got.coefs, varnel.fit_path(X, y, **plain, **FAST, thresh=1e-15).coefs,
                                   rtol=1e-8, atol=1e-10)
    assert not got.groups_active[0].any()
    # with the map of expanded columns to their source columns, one group per source
    from varnel._groups import resolve_feature_groups
    np.testing.assert_array_equal(
        resolve_feature_groups("categorical", 5, None, source_of_column=np.array([3, 3, 0, 1, 1])),
        [0, 0, 1, 2, 2])
    with pytest.raises(ValueError, match=r"the map of expanded columns to source columns has "
                                         r"shape \(4,\), expected \(5,\)"):
        resolve_feature_groups("categorical", 5, None, source_of_column=np.zeros(4, dtype=int))


# Hostile group settings: (options of fit_path, data frame X?, the message).
GROUP_REFUSALS = {
    "wrong-length": (dict(feature_groups=[0, 0, 1]), False,
                     "feature_groups has 3 labels but X has 5 columns; give one label per column "
                     "(None or -1 for a column by itself)"),
    "empty-group": (dict(feature_groups={"g": []}), False,
                    "feature_groups: group 'g' lists no columns; drop it or give it at least one column"),
    "factor-length": (dict(feature_groups=GROUP_LABELS, group_penalty_factor=[1.0, 2.0]), False,
                      "group_penalty_factor has 2 values but feature_groups makes 3 groups (columns "
                      "by themselves count as one group each); give one per group, or a dict of "
                      "group name -> factor"),
    "factor-negative": (dict(feature_groups=GROUP_LABELS, group_penalty_factor=[1.0, -1.0, 2.0]), False,
                        "group_penalty_factor must be non-negative, got -1.0 for group 2"),
    "factor-unknown-group": (dict(feature_groups=GROUP_LABELS, group_penalty_factor={"c": 2.0}), False,
                             "group_penalty_factor names the unknown group 'c'; the groups are 'a', 2, 'b'"),
    "unknown-column": (dict(feature_groups={"g": ["v", "nope"]}), True,
                       "feature_groups: group 'g' lists the unknown column 'nope', not among X's "
                       "column names"),
    "column-twice": (dict(feature_groups={"g": ["v", "w"], "h": ["w"]}), True,
                     "feature_groups: column 'w' is in group 'g' and in group 'h'; a column belongs "
                     "to one group"),
    "index-outside": (dict(feature_groups={"g": [0, 9]}), False,
                      "feature_groups: group 'g' lists column 9, outside 0..4"),
    "bad-label": (dict(feature_groups=[0, 0, 1.5, 1, 1]), False,
                  "feature_groups labels must be integers or strings (None or -1: a column by "
                  "itself), got 1.5"),
    "two-dimensional": (dict(feature_groups=np.zeros((5, 2), dtype=int)), False,
                        "feature_groups must be one label per column (a 1-D sequence), a dict of "
                        "group name -> columns, 'categorical', 'auto' or None, got ndarray of shape "
                        "(5, 2)"),
    "bad-word": (dict(feature_groups="columns"), False,
                 "feature_groups must be one label per column, a dict of group name -> columns, "
                 "'categorical', 'auto' or None, got 'columns'"),
    "column-factors": (dict(feature_groups=GROUP_LABELS, penalty_factor=[1.0] * 5), False,
                       "penalty_factor weighs single columns; with feature_groups give "
                       "group_penalty_factor (one factor per group) instead"),
    "limits": (dict(feature_groups=GROUP_LABELS, lower_limits=0.0), False,
               "feature_groups takes no lower_limits: fit the groups without limits, or the limits "
               "without feature_groups"),
    "share-outside": (dict(feature_groups=GROUP_LABELS, l1_within=1.5), False,
                      "l1_within must lie in [0, 1], got 1.5"),
    "share-without-groups": (dict(l1_within=0.5), False,
                             "l1_within applies to groups of columns: give feature_groups too, or "
                             "leave l1_within at its default (0.0)"),
    "factors-without-groups": (dict(group_penalty_factor=[1.0]), False,
                               "group_penalty_factor applies to groups of columns: give "
                               "feature_groups too, or leave group_penalty_factor at its default "
                               "(None)"),
}


@pytest.mark.parametrize("route", ["fit_path", "cv_path", "estimator"])
@pytest.mark.parametrize("case", list(GROUP_REFUSALS))
def test_hostile_group_settings_are_refused_by_name(case, route):
    options, frame, text = GROUP_REFUSALS[case]
    X, y = problem(families.Gaussian())
    if frame:
        X = pytest.importorskip("pandas").DataFrame(X, columns=list("vwxyz"))
    with pytest.raises(ValueError) as info:
        if route == "fit_path":
            varnel.fit_path(X, y, **FAST, **options)
        elif route == "cv_path":
            varnel.cv_path(X, y, nfolds=3, **FAST, **options)
        else:
            if set(options) - set(varnel.ElasticNetRegressor().get_params()):
                pytest.skip("not a parameter of the estimators")
            varnel.ElasticNetRegressor(alpha=0.1, **options).fit(X, y)
    assert str(info.value) == text
