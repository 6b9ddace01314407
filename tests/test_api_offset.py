"""Offsets through the Python layer, and short paths reporting their true
largest lambda."""
import numpy as np
import pytest

import varnel


def rate_data(n=150, p=6, seed=4):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    exposure = rng.uniform(0.5, 4.0, n)
    y = rng.poisson(exposure * np.exp(0.4 * X[:, 0] - 0.3 * X[:, 1])).astype(float)
    return X, y, np.log(exposure)


@pytest.mark.parametrize("sparse", [False, True])
def test_cv_folds_fit_and_score_with_their_offsets(sparse):
    X, y, off = rate_data()
    Xf = pytest.importorskip("scipy.sparse").csr_matrix(X) if sparse else X
    foldid = np.arange(len(y)) % 3
    # the fold starts each lambda from the full-data solution, the fit alone
    # from its previous one: the same solutions to a tight thresh
    cvp = varnel.cv_path(Xf, y, "poisson", foldid=foldid, keep=True, offset=off, nlambda=20,
                         thresh=1e-14)
    test = foldid == 1
    fold = varnel.fit_path(Xf[~test], y[~test], "poisson", offset=off[~test],
                           user_lambda=cvp.lambdas, thresh=1e-14)
    np.testing.assert_allclose(cvp.fit_preval[test], fold.predict(Xf[test], offset=off[test]),
                               rtol=1e-7, atol=1e-7)
    mu = cvp.predict(X, kind="response", offset=off)
    np.testing.assert_allclose(mu, np.exp(cvp.predict(X) + off), rtol=1e-12)


@pytest.mark.parametrize("family", ["gaussian", "logistic", "poisson"])
@pytest.mark.parametrize("nlambda", [1, 2])
def test_short_paths_report_the_true_largest_lambda(family, nlambda):
    X, y, _ = rate_data()
    y = {"gaussian": X[:, 0] + y, "logistic": y > np.median(y), "poisson": y}[family]
    full = varnel.fit_path(X, y, family)
    short = varnel.fit_path(X, y, family, nlambda=nlambda)
    assert short.lambdas[0] == pytest.approx(full.lambdas[0], rel=1e-9)
    assert not short.coefs[:, 0].any()
    model = varnel.ElasticNetRegressor(max_iter=3) if family == "gaussian" else None
    if model is not None:
        with pytest.warns(varnel.PathWarning):
            model.fit(X, y)
        assert model.lambda_ <= full.lambdas[0] * (1 + 1e-9)


@pytest.mark.parametrize("shape, family, sparse, given, chosen", [
    ((200, 10), "gaussian", False, "auto", "covariance"),
    ((200, 100), "gaussian", False, "auto", "covariance"),
    ((199, 100), "gaussian", False, "auto", "naive"),
    ((4_002, 2_001), "gaussian", False, "auto", "naive"),
    ((200, 10), "gaussian", True, "auto", "naive"),
    ((200, 10), "poisson", False, "auto", "naive"),
    ((200, 10), "poisson", False, "covariance", "covariance"),
    ((200, 10), ("gaussian", "log"), False, "auto", "naive"),
    ((20, 100), "gaussian", False, "covariance", "covariance"),
    ((200, 10), "gaussian", False, "naive", "naive"),
    ((200, 10), "negative_binomial", False, "auto", "naive"),
    ((200, 10), "negative_binomial", False, "covariance", "covariance"),
    ((200, 10), "negative_binomial", True, "auto", "naive"),
])
def test_solver_selection(shape, family, sparse, given, chosen):
    """The solver fit runs, and fit_solver (which the folds ask before
    converting X) names the same one."""
    from varnel import _core

    family, link = family if isinstance(family, tuple) else (family, None)
    rng = np.random.default_rng(0)
    X = rng.random(shape)
    y = rng.poisson(1.0, shape[0]).astype(float) + 0.5
    if sparse:
        s = pytest.importorskip("scipy.sparse").csc_matrix(X)
        X = (*shape, s.indptr, s.indices, s.data)
    r = _core.fit(X, y, family=family, solver=given, link=link, user_lambda=[1e9])
    assert r["solver"] == chosen
    assert _core.fit_solver(*shape, sparse=sparse, family=family, solver=given, link=link) == chosen


@pytest.mark.parametrize("family, sparse", [("poisson", True), ("gaussian", True)])
def test_covariance_solver_is_refused_where_it_does_not_apply(family, sparse):
    X, y, _ = rate_data()
    X = pytest.importorskip("scipy.sparse").csc_matrix(X) if sparse else X
    with pytest.raises(ValueError, match="solver 'covariance'"):
        varnel.fit_path(X, y, family, solver="covariance")
    with pytest.raises(ValueError, match="solver must be one of"):
        varnel.fit_path(X, y, family, solver="gram")
