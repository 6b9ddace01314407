"""Paths cut short by maxit or pmax warn, naming the lambda index; a
coefficient held at the bound that stands for an infinite limit warns,
naming the variable."""

import warnings

import numpy as np
import pytest

import varnel
from varnel import PathWarning


def make_data(family="gaussian", n=60, p=8, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    y = X @ np.linspace(1.0, 0.3, p) + 0.3 * rng.standard_normal(n)
    if family == "logistic":
        y = (y > 0).astype(float)
    elif family == "poisson":
        y = np.random.default_rng(1).poisson(np.exp(0.3 * y)).astype(float)
    return X, y


@pytest.mark.parametrize("family", ["gaussian", "logistic", "poisson"])
@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("limit, kind", [({"maxit": 15}, "MaxIterReached"), ({"pmax": 3}, "MaxActiveReached"),
                                         ({}, None)])
def test_warning_names_the_limit_and_lambda_index(family, sparse, limit, kind):
    X, y = make_data(family)
    if sparse:
        X = pytest.importorskip("scipy.sparse").csc_matrix(X)
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        path = varnel.fit_path(X, y, family=family, **limit)
    assert path.warning is None if kind is None else path.warning == (kind, path.n_lambdas)
    assert [type(r.message) for r in rec] == [PathWarning] * (kind is not None)
    if kind:
        k, message, [(name, value)] = path.n_lambdas, str(rec[0].message), limit.items()
        assert f"lambda index {k}" in message and f"{name}={value}" in message
        assert rec[0].filename == __file__  # points at the caller
        assert f"stopped early at lambda index {k}" in repr(path)
        assert kind != "MaxActiveReached" or path.df.max() <= 3


def test_cv_warns_for_the_full_path_and_folds():
    X, y = make_data()
    with pytest.warns(PathWarning) as rec:
        cvp = varnel.cv_path(X, y, nfolds=3, seed=0, pmax=4)
    messages = [str(r.message) for r in rec]
    assert any(m.startswith("path stopped at lambda index") for m in messages)
    assert cvp.path.warning is not None
    # the folds cover every lambda of the (shortened) full path
    assert cvp.cvm.shape == cvp.path.lambdas.shape
    assert np.isfinite(cvp.cvm).all()
    assert cvp.lambda_1se >= cvp.lambda_min


def test_estimators_warn_with_a_convergence_warning():
    exceptions = pytest.importorskip("sklearn.exceptions")
    X, y = make_data()
    with pytest.warns(exceptions.ConvergenceWarning) as rec:
        varnel.ElasticNetRegressor(cv=3, random_state=0, max_iter=15).fit(X, y)
    assert all(isinstance(r.message, PathWarning) for r in rec)
    assert {r.filename for r in rec} == {__file__}
    with pytest.warns(PathWarning) as rec:
        varnel.fit_path(X, y, maxit=15)
    assert not isinstance(rec[0].message, exceptions.ConvergenceWarning)


@pytest.mark.parametrize("estimator, family", [("ElasticNetRegressor", "gaussian"),
                                               ("LogisticNetClassifier", "logistic"),
                                               ("PoissonNetRegressor", "poisson")])
def test_one_alpha_cut_short_keeps_the_last_iterate(estimator, family):
    exceptions = pytest.importorskip("sklearn.exceptions")
    X, y = make_data(family)
    with pytest.warns(exceptions.ConvergenceWarning, match="last iterate") as rec:
        model = getattr(varnel, estimator)(alpha=0.001, max_iter=1).fit(X, y)
    assert rec[0].filename == __file__ and isinstance(rec[0].message, varnel.PathConvergenceWarning)
    assert model.coef_.any() and np.isfinite(model.predict(X)).all()
    converged = getattr(varnel, estimator)(alpha=0.001, tol=1e-12).fit(X, y)
    assert 0 < np.abs(model.coef_ - converged.coef_).max() < np.abs(converged.coef_).max()


@pytest.mark.parametrize("estimator, family", [("ElasticNetRegressor", "gaussian"),
                                               ("PoissonNetRegressor", "poisson")])
def test_estimators_cross_validation_without_a_solution_names_max_iter(estimator, family):
    """max_iter=1 stops a fold before its first solution: the estimator
    names the fold (found by fitting each alone) and its own max_iter."""
    model_selection = pytest.importorskip("sklearn.model_selection")
    X, y = make_data(family, n=120)
    splitter = model_selection.KFold(3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PathWarning)
        full = varnel.fit_path(X, y, family, maxit=1)
        first = next(k for k, (train, _) in enumerate(splitter.split(X))
                     if varnel.fit_path(X[train], y[train], family, maxit=1,
                                        user_lambda=full.lambdas).n_lambdas == 0)
        with pytest.raises(ValueError) as info:
            getattr(varnel, estimator)(max_iter=1, cv=splitter).fit(X, y)
    assert str(info.value) == (f"cross-validation fold {first} stopped before its first solution: "
                               "max_iter=1 reached; raise max_iter")


BOUND_ROUTES = ["fit_path", "sparse", "frame", "covariance", "logistic", "poisson", "multitask",
                "multitask-covariance", "cv_path", "estimator", "estimator-cv", "dask", "finite-limit"]


@pytest.mark.parametrize("route", BOUND_ROUTES)
def test_a_coefficient_held_at_the_bound_warns_once_naming_it(route):
    """Column 5 scaled by 1e-38 needs a coefficient beyond 9.9e35, the bound
    for an infinite limit: every route warns once, naming the variable, the
    lambda and the remedy; a finite limit of the caller's holds it silently."""
    family = route.split("-")[0] if route.split("-")[0] in ("logistic", "poisson", "multitask") \
        else "gaussian"
    X, y = make_data(family)
    kw = dict(family=family, nlambda=20)
    if family == "multitask":  # responses scaled to unit variance: the bound holds on that scale
        y = np.column_stack([y, X[:, 5] - y]) * 1e-3
        kw["standardize_response"] = True
    unbounded = varnel.fit_path(X, y, **kw).coefs[5] * 1e38
    assert np.abs(unbounded).max() > 9.9e35 * (1e-3 if family == "multitask" else 1)  # the bound binds
    X[:, 5] *= 1e-38
    if route == "sparse":
        X = pytest.importorskip("scipy.sparse").csc_matrix(X)
    elif route == "frame":
        X = pytest.importorskip("pandas").DataFrame(X, columns=[f"x{j}" for j in range(8)])
    elif route.endswith("covariance"):
        kw["solver"] = "covariance"
    elif route == "finite-limit":
        kw.update(upper_limits=[np.inf] * 5 + [1e30] + [np.inf] * 2,
                  lower_limits=[-np.inf] * 5 + [-1e30] + [-np.inf] * 2)
    elif route == "dask":
        da = pytest.importorskip("dask.array")
        X, y = da.from_array(X, chunks=(20, 8)), da.from_array(y, chunks=20)
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        if route == "cv_path":
            path = varnel.cv_path(X, y, nfolds=3, seed=0, **kw).path
        elif route.startswith("estimator"):
            pytest.importorskip("sklearn")
            one = {} if route.endswith("cv") else dict(alpha=0.01)
            path = varnel.ElasticNetRegressor(cv=3, random_state=0, **one).fit(X, y).path_
        else:
            path = varnel.fit_path(X, y, **kw)
    bound = [r for r in rec if r.category is varnel.CoefficientBoundWarning]
    # (a multitask coefficient at the bound on the responses' scale: the first that moved)
    held = np.flatnonzero((np.abs(path.coefs[5]) >= 9.9e35 * (1 - 1e-9)) if family != "multitask"
                          else np.abs(path.coefs[5]).max(axis=0) > 0)
    if route == "finite-limit":
        assert not bound and np.abs(path.coefs[5]).max() == pytest.approx(1e30, rel=1e-12)
        return
    assert len(held) and len(bound) == 1 and bound[0].filename == __file__
    k, message = held[0], str(bound[0].message)
    assert message.startswith("the coefficient of variable 5 " + "('x5') " * (route == "frame") +
                              f"reached 9.9e+35, the bound that stands for an infinite limit, at "
                              f"lambda index {k} (lambda = {path.lambdas[k]:.6g}): ")
    assert message.endswith("rescale column 5 (multiply it by a large factor) and fit again")
    assert not isinstance(bound[0].message, PathWarning)


def certified_data(name):
    import statsmodels.api as sm

    data = getattr(sm.datasets, name).load_pandas()
    X, y = data.exog.to_numpy(float), data.endog.to_numpy(float)
    if name == "longley":
        return X, y, "gaussian", dict(user_lambda=[0.0]), sm.OLS(y, sm.add_constant(X)).fit().params[1:]
    trials = y.sum(axis=1)
    return X, y[:, 0] / trials, "binomial", dict(weights=trials, user_lambda=[1e-4]), None


@pytest.mark.parametrize("name", ["longley", "star98"])
def test_certify_warns_where_thresh_stopped_short_of_the_optimum(name):
    """Ill-conditioned columns (Longley's least squares, star98's binomial
    proportions): at the default thresh certify warns, naming the lambda and
    a thresh to use; at thresh=1e-16 the fit is optimal (Longley: statsmodels'
    OLS) and certify is silent."""
    pytest.importorskip("sklearn")
    from varnel import PathConvergenceWarning

    X, y, family, kw, reference = certified_data(name)
    with pytest.warns(PathConvergenceWarning) as caught:
        loose = varnel.fit_path(X, y, family, certify=True, **kw)
    message = str(caught[0].message)
    lam = kw["user_lambda"][0]
    assert f"the worst is lambda index 0 (lambda = {lam:.6g})" in message
    assert "thresh=1e-07" in message and "e.g. thresh=1e-12" in message
    assert loose.optimality_.relative[0] > 0.1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tight = varnel.fit_path(X, y, family, certify=True, thresh=1e-16, **kw)
    assert tight.optimality_.relative[0] < 1e-3
    assert tight.optimality_.duality_gap[0] < 1e-4 * loose.optimality_.duality_gap[0]
    if reference is not None:
        assert np.abs(loose.coefs[:, 0] / reference - 1).max() > 0.5
        np.testing.assert_allclose(tight.coefs[:, 0], reference, rtol=1e-3)
