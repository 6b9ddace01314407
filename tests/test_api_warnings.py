"""Paths cut short by maxit or pmax warn, naming the lambda index."""

import warnings

import numpy as np
import pytest

import varnel
from varnel import PathWarning


def make_data(n=60, p=8, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    y = X @ np.linspace(1.0, 0.3, p) + 0.3 * rng.standard_normal(n)
    return X, y


@pytest.mark.parametrize("family", ["gaussian", "logistic", "poisson"])
@pytest.mark.parametrize("sparse", [False, True])
def test_maxit_warning(family, sparse):
    X, y = make_data()
    if family == "logistic":
        y = (y > 0).astype(float)
    elif family == "poisson":
        y = np.random.default_rng(1).poisson(np.exp(0.3 * y)).astype(float)
    if sparse:
        X = pytest.importorskip("scipy.sparse").csc_matrix(X)
    with pytest.warns(PathWarning, match=r"lambda index \d+") as rec:
        path = varnel.fit_path(X, y, family=family, maxit=15)
    kind, k = path.warning
    assert kind == "MaxIterReached" and path.n_lambdas == k
    message = str(rec[0].message)
    assert f"lambda index {k}" in message and "maxit=15" in message
    assert rec[0].filename == __file__  # points at the caller


def test_pmax_warning():
    X, y = make_data()
    with pytest.warns(PathWarning, match="pmax=3") as rec:
        path = varnel.fit_path(X, y, pmax=3)
    kind, k = path.warning
    assert kind == "MaxActiveReached" and path.n_lambdas == k
    assert f"lambda index {k}" in str(rec[0].message)
    assert path.df.max() <= 3
    assert f"stopped early at lambda index {k}" in repr(path)


def test_no_warning_for_a_complete_path():
    X, y = make_data()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        path = varnel.fit_path(X, y)
    assert path.warning is None


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
