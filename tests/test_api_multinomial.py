"""The multinomial family through the Python layer: labels, shapes,
prediction, interpolation, cross-validation and the command line."""
import numpy as np
import pytest

import varnel


def three_classes(n=150, p=5, seed=2):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    eta = np.column_stack([X[:, 0], -X[:, 0] + X[:, 1], 0.5 * X[:, 2]])
    labels = np.array(["b", "a", "c"])[np.argmax(3 * eta + rng.gumbel(size=eta.shape), axis=1)]
    return X, labels


@pytest.mark.parametrize("sparse", [False, True])
def test_path_shapes_predictions_and_interpolation(sparse):
    X, y = three_classes()
    Xf = pytest.importorskip("scipy.sparse").csr_matrix(X) if sparse else X
    path = varnel.fit_path(Xf, y, "multinomial", nlambda=20)
    L = path.n_lambdas
    assert list(path.classes) == ["a", "b", "c"] and path.n_classes == 3
    assert path.coefs.shape == (5, 3, L) and path.intercepts.shape == (3, L)
    np.testing.assert_allclose(path.intercepts.sum(axis=0), 0.0, atol=1e-12)
    s = 0.5 * (path.lambdas[4] + path.lambdas[5])
    np.testing.assert_allclose(path.coef(s), 0.5 * (path.coefs[..., 4] + path.coefs[..., 5]))
    prob = path.predict(X, s=[path.lambdas[-1], s], kind="response")
    assert prob.shape == (150, 3, 2)
    np.testing.assert_allclose(prob.sum(axis=1), 1.0)
    link = path.predict(X, s=s, offset=np.ones((150, 3)))
    np.testing.assert_allclose(link, X @ path.coef(s) + path.intercept(s) + 1.0)
    labels = path.predict(X, s=path.lambdas[-1], kind="class")
    assert set(labels) <= set("abc") and (labels == y).mean() > 0.6
    assert path.df[0] == 0 and path.df[-1] == 5


@pytest.mark.parametrize("measure", ["deviance", "class", "mse", "mae"])
def test_cross_validation(measure):
    X, y = three_classes()
    cvp = varnel.cv_path(X, y, "multinomial", nfolds=3, seed=0, measure=measure, keep=True,
                         grouped=True, nlambda=15)
    assert cvp.fit_preval.shape == (150, 3, cvp.path.n_lambdas)
    assert np.isfinite(cvp.cvm).all() and cvp.lambda_1se >= cvp.lambda_min
    # grouped: a variable enters for every class at once
    nz = cvp.path.coefs != 0
    assert (nz.any(axis=1) == nz.all(axis=1)).all()

