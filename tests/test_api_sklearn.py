"""The scikit-learn estimators."""

import numpy as np
import pytest

pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402
from sklearn.model_selection import GridSearchCV, KFold  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

import varnel  # noqa: E402
from varnel import ElasticNetRegressor, LogisticNetClassifier, PoissonNetRegressor  # noqa: E402

ESTIMATORS = [ElasticNetRegressor, LogisticNetClassifier, PoissonNetRegressor]


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.SkipTestWarning")
@pytest.mark.parametrize("Estimator", ESTIMATORS, ids=lambda e: e.__name__)
def test_check_estimator(Estimator):
    check_estimator(Estimator())


def make_data(family, n=80, p=5, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    eta = X[:, 0] - 0.7 * X[:, 1]
    if family == "gaussian":
        return X, eta + 0.5 * rng.standard_normal(n)
    if family == "logistic":
        return X, np.where(rng.random(n) < 1 / (1 + np.exp(-2 * eta)), "pos", "neg")
    return X, rng.poisson(np.exp(0.5 * eta))


@pytest.mark.parametrize("Estimator,family", [(ElasticNetRegressor, "gaussian"),
                                              (LogisticNetClassifier, "logistic"),
                                              (PoissonNetRegressor, "poisson")])
def test_fit_by_cross_validation(Estimator, family):
    X, y = make_data(family)
    model = Estimator(cv=4, random_state=0).fit(X, y)
    cvp = varnel.cv_path(X, y, family, nfolds=4, seed=0)
    assert model.lambda_ == cvp.lambda_1se
    np.testing.assert_allclose(np.ravel(model.coef_), cvp.coef())
    assert float(np.ravel(model.intercept_)[0]) == pytest.approx(cvp.intercept())
    np.testing.assert_array_equal(model.cv_.cvm, cvp.cvm)
    assert model.path_ is model.cv_.path
    assert model.n_features_in_ == X.shape[1]
    best = Estimator(cv=4, random_state=0, select="lambda_min").fit(X, y)
    assert best.lambda_ == cvp.lambda_min


def test_regressor_predictions():
    X, y = make_data("gaussian")
    model = ElasticNetRegressor(cv=4, random_state=0).fit(X, y)
    np.testing.assert_allclose(model.predict(X), model.intercept_ + X @ model.coef_)
    assert model.coef_.shape == (X.shape[1],) and isinstance(model.intercept_, float)
    assert model.score(X, y) > 0.5


def test_classifier_predictions():
    X, y = make_data("logistic")
    model = LogisticNetClassifier(cv=4, random_state=0).fit(X, y)
    assert list(model.classes_) == ["neg", "pos"]
    assert model.coef_.shape == (1, X.shape[1]) and model.intercept_.shape == (1,)
    eta = model.intercept_[0] + X @ model.coef_[0]
    np.testing.assert_allclose(model.decision_function(X), eta)
    proba = model.predict_proba(X)
    np.testing.assert_allclose(proba[:, 1], 1 / (1 + np.exp(-eta)))
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_allclose(np.exp(model.predict_log_proba(X)), proba)
    np.testing.assert_array_equal(model.predict(X), np.where(eta > 0, "pos", "neg"))
    assert model.score(X, y) > 0.7
    with pytest.raises(ValueError, match="Only binary"):
        LogisticNetClassifier().fit(X, np.arange(len(y)) % 3)


def test_poisson_predictions_and_score():
    X, y = make_data("poisson")
    model = PoissonNetRegressor(cv=4, random_state=0).fit(X, y)
    np.testing.assert_allclose(model.predict(X), np.exp(model.intercept_ + X @ model.coef_))
    d2 = model.score(X, y)
    assert 0 < d2 < 1
    # D^2 at the chosen lambda is the path's fraction of deviance explained there
    k = int(np.flatnonzero(model.path_.lambdas == model.lambda_)[0])
    assert d2 == pytest.approx(model.path_.dev_ratio[k], rel=1e-6)
    with pytest.raises(ValueError, match="non-negative"):
        PoissonNetRegressor().fit(X, -np.ones(len(y)))


def test_given_lambda_skips_cross_validation():
    X, y = make_data("gaussian")
    model = ElasticNetRegressor(lambda_value=0.05).fit(X, y)
    assert model.cv_ is None and model.lambda_ == 0.05
    ref = varnel.fit_path(X, y, user_lambda=[0.05])
    np.testing.assert_allclose(model.coef_, ref.coefs[:, 0])


def test_cv_splitters_and_weights():
    X, y = make_data("gaussian")
    fid = np.arange(len(y)) % 4
    splits = [(np.flatnonzero(fid != k), np.flatnonzero(fid == k)) for k in range(4)]
    w = np.linspace(0.5, 2, len(y))
    a = ElasticNetRegressor(cv=splits).fit(X, y, sample_weight=w)
    ref = varnel.cv_path(X, y, foldid=fid, weights=w)
    np.testing.assert_array_equal(a.cv_.cvm, ref.cvm)
    b = ElasticNetRegressor(cv=KFold(4)).fit(X, y)
    np.testing.assert_array_equal(b.cv_.foldid, np.repeat(np.arange(4), len(y) // 4))
    with pytest.raises(ValueError, match="disjoint"):
        ElasticNetRegressor(cv=splits + splits[:1]).fit(X, y)


def test_pandas_feature_names_and_sparse():
    pd = pytest.importorskip("pandas")
    sp = pytest.importorskip("scipy.sparse")
    X, y = make_data("gaussian")
    frame = pd.DataFrame(X, columns=list("abcde"))
    model = ElasticNetRegressor(random_state=0).fit(frame, y)
    assert list(model.feature_names_in_) == list("abcde")
    assert model.path_.feature_names == list("abcde")
    sparse = ElasticNetRegressor(random_state=0).fit(sp.csr_matrix(X), y)
    np.testing.assert_allclose(sparse.coef_, model.coef_, atol=1e-10)


def test_in_pipeline_and_grid_search():
    X, y = make_data("logistic")
    pipe = make_pipeline(StandardScaler(), LogisticNetClassifier(cv=3, random_state=0))
    assert pipe.fit(X, y).score(X, y) > 0.7
    grid = GridSearchCV(ElasticNetRegressor(cv=3, random_state=0), {"alpha": [0.5, 1.0]}, cv=2)
    Xg, yg = make_data("gaussian")
    grid.fit(Xg, yg)
    assert grid.best_params_["alpha"] in (0.5, 1.0)
    assert clone(grid.best_estimator_).get_params()["cv"] == 3
