"""The scikit-learn estimators."""

import functools

import numpy as np
import pytest

pytest.importorskip("sklearn")

from sklearn import linear_model as sklm  # noqa: E402
from sklearn.model_selection import GroupKFold, KFold, ShuffleSplit, TimeSeriesSplit  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

import oracles as o  # noqa: E402
import varnel  # noqa: E402
from varnel import (ElasticNetRegressor, GeneralizedNetRegressor, LogisticNetClassifier,  # noqa: E402
                    PoissonNetRegressor)
from varnel.multitask import MultiTaskNetRegressor  # noqa: E402

ESTIMATORS = [ElasticNetRegressor, LogisticNetClassifier, PoissonNetRegressor, GeneralizedNetRegressor,
              lambda: GeneralizedNetRegressor(family="tweedie:1.5"), MultiTaskNetRegressor,
              lambda: ElasticNetRegressor(relax=True, blend=0.5),
              lambda: LogisticNetClassifier(relax=True, alpha=0.01, blend=0.5)]


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.SkipTestWarning")
@pytest.mark.parametrize("Estimator", ESTIMATORS, ids=lambda e: getattr(e, "__name__", "configured"))
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
    if family == "gamma":
        return X, rng.gamma(2.0, np.exp(0.5 * eta) / 2.0)
    if family == "multitask":
        return X, np.column_stack([eta, X[:, 2] - eta, 0.3 * eta]) + 0.5 * rng.standard_normal((n, 3))
    return X, rng.poisson(np.exp(0.5 * eta))


@pytest.mark.parametrize("Estimator,family", [(ElasticNetRegressor, "gaussian"),
                                              (LogisticNetClassifier, "logistic"),
                                              (LogisticNetClassifier, "multinomial"),
                                              (PoissonNetRegressor, "poisson"),
                                              (functools.partial(GeneralizedNetRegressor, "gamma"), "gamma")])
def test_fit_by_cross_validation(Estimator, family):
    X, y = make_data("logistic" if family == "multinomial" else family)
    y = np.where(X[:, 0] > 0.5, "c", y) if family == "multinomial" else y
    model = Estimator(cv=4, random_state=0).fit(X, y)
    cvp = varnel.cv_path(X, y, family, nfolds=4, seed=0)
    assert model.lambda_ == model.alpha_ == cvp.lambda_1se and model.l1_ratio_ == 1.0
    assert model.n_iter_ == cvp.path.npasses
    np.testing.assert_allclose(np.ravel(np.transpose(model.coef_)), np.ravel(cvp.coef()))
    np.testing.assert_allclose(np.ravel(model.intercept_), np.ravel(cvp.intercept()))
    np.testing.assert_array_equal(model.cv_.cvm, cvp.cvm)
    best = Estimator(cv=4, random_state=0, select="lambda_min").fit(X, y)
    assert best.lambda_ == cvp.lambda_min
    # explicit splits and weights: cv_path's folds and weights
    fid, w = np.arange(len(y)) % 4, np.linspace(0.5, 2, len(y))
    given = Estimator(cv=[(np.flatnonzero(fid != k), np.flatnonzero(fid == k)) for k in range(4)]).fit(
        X, y, sample_weight=w)
    np.testing.assert_array_equal(given.cv_.cvm, varnel.cv_path(X, y, family, foldid=fid, weights=w).cvm)
    np.testing.assert_array_equal(given.cv_.foldid, fid)
    if family in ("poisson", "gamma"):  # D² at the chosen lambda: the path's fraction of deviance explained
        k = int(np.flatnonzero(model.path_.lambdas == model.lambda_)[0])
        assert model.score(X, y) == pytest.approx(model.path_.dev_ratio[k], rel=1e-6)
        with pytest.raises(ValueError, match="non-negative|positive"):
            Estimator().fit(X, -np.ones(len(y)))
        same = GeneralizedNetRegressor(family, cv=4, random_state=0).fit(X, y)  # one objective
        np.testing.assert_array_equal(same.coef_, model.coef_)
        np.testing.assert_allclose(same.predict(X), np.exp(same.intercept_ + X @ same.coef_), rtol=1e-12)
    if Estimator is not LogisticNetClassifier:
        return
    k = 1 if family == "logistic" else 3  # the classifier's predictions
    assert list(model.classes_) == sorted(set(y)) and model.coef_.shape == (k, X.shape[1])
    eta = model.intercept_ + X @ model.coef_.T
    np.testing.assert_allclose(model.decision_function(X), eta[:, 0] if k == 1 else eta)
    proba = model.predict_proba(X)
    full = np.column_stack([np.zeros(len(y)), eta]) if k == 1 else eta  # softmax of the two-class link
    np.testing.assert_allclose(proba, np.exp(full) / np.exp(full).sum(axis=1, keepdims=True))
    np.testing.assert_allclose(np.exp(model.predict_log_proba(X)), proba)
    np.testing.assert_array_equal(model.predict(X), model.classes_[full.argmax(axis=1)])
    assert model.score(X, y) > 0.7
    # an offset per linear predictor: (n,) for two classes, (n, K) for more
    off = np.random.default_rng(3).normal(size=(len(y), k))[:, 0 if k == 1 else slice(None)]
    given = LogisticNetClassifier(alpha=0.02).fit(X, y, offset=off)
    ref = varnel.fit_path(X, y, family, offset=off, user_lambda=[0.02])
    np.testing.assert_allclose(given.coef_, ref.coefs[..., 0].T.reshape(k, -1), rtol=1e-12)
    np.testing.assert_allclose(given.decision_function(X, offset=off), ref.predict(X, 0.02, offset=off),
                               rtol=1e-12)
    np.testing.assert_array_equal(given.predict(X, offset=off), ref.predict(X, 0.02, "class", off))
    assert given.score(X, y, offset=off) == np.mean(given.predict(X, offset=off) == y)
    with pytest.raises(ValueError, match=rf"offset must have shape \({len(y)}, 3\)" if k > 1 else "offset"):
        given.predict(X, offset=np.zeros(len(y)) if k > 1 else np.zeros((len(y), 2)))
    if k > 1:  # the measure of two classes is refused for more, naming its family
        with pytest.raises(ValueError, match="measure='auc' is not available for the multinomial family; "
                                             "it serves the logistic family"):
            LogisticNetClassifier(measure="auc").fit(X, y)


def test_offsets_route_through_model_selection():
    # With metadata routing, cross_val_score hands each fold's fit its
    # training rows' offsets and its score the held-out rows' offsets.
    sklearn = pytest.importorskip("sklearn")
    from sklearn.metrics import d2_tweedie_score
    from sklearn.model_selection import GridSearchCV, cross_val_score

    rng = np.random.default_rng(5)
    X = rng.standard_normal((240, 4))
    exposure = rng.uniform(0.5, 5.0, 240)
    counts = rng.poisson(exposure * np.exp(0.4 * X[:, 0] - 0.3 * X[:, 1]))
    off = np.log(exposure)
    expected = []
    for train, test in KFold(3).split(X):
        fold = PoissonNetRegressor(alpha=0.01).fit(X[train], counts[train], offset=off[train])
        mu = np.exp(off[test] + fold.intercept_ + X[test] @ fold.coef_)
        expected.append(d2_tweedie_score(counts[test], mu, power=1))
    with sklearn.config_context(enable_metadata_routing=True):
        model = PoissonNetRegressor(alpha=0.01).set_fit_request(offset=True).set_score_request(offset=True)
        scores = cross_val_score(model, X, counts, params={"offset": off}, cv=KFold(3))
        np.testing.assert_allclose(scores, expected, rtol=1e-12)
        assert min(scores) > 0.3  # without the held-out offsets D² is negative here
        groups = np.arange(240) % 8
        inner = PoissonNetRegressor(cv=GroupKFold(4)).set_fit_request(offset=True, groups=True)
        search = GridSearchCV(inner.set_score_request(offset=True), {"l1_ratio": [0.5, 1.0]}, cv=GroupKFold(3))
        search.fit(X, counts, offset=off, groups=groups)
    best = search.best_estimator_
    assert all(len(set(best.cv_.foldid[groups == g])) == 1 for g in range(8))
    np.testing.assert_allclose(best.predict(X, offset=off), np.exp(off + best.intercept_ + X @ best.coef_))


# (estimator, scikit-learn model of the same objective, alpha, l1_ratio, options)
OBJECTIVES = [
    (ElasticNetRegressor, lambda a, r: sklm.Lasso(alpha=a), 0.05, 1.0, {}),
    (ElasticNetRegressor, lambda a, r: sklm.ElasticNet(alpha=a, l1_ratio=r), 0.1, 0.5, {}),
    (ElasticNetRegressor, lambda a, r: sklm.ElasticNet(alpha=a, l1_ratio=r), 0.3, 0.1, {"weighted": True}),
    (ElasticNetRegressor, lambda a, r: sklm.ElasticNet(alpha=a, l1_ratio=r, fit_intercept=False), 0.02, 0.0,
     {"fit_intercept": False, "weighted": True}),
    (ElasticNetRegressor, lambda a, r: sklm.ElasticNet(alpha=a, l1_ratio=r), 0.2, 0.7,
     {"standardize": True, "weighted": True}),
    (LogisticNetClassifier, lambda a, r: sklm.LogisticRegression(C=1 / (80 * a)), 0.05, 0.0, {}),
    (PoissonNetRegressor, lambda a, r: sklm.PoissonRegressor(alpha=a), 0.05, 0.0, {}),
    (MultiTaskNetRegressor, lambda a, r: sklm.MultiTaskLasso(alpha=a), 0.05, 1.0, {}),
    (MultiTaskNetRegressor, lambda a, r: sklm.MultiTaskElasticNet(alpha=a, l1_ratio=r), 0.2, 0.3, {}),
    (MultiTaskNetRegressor, lambda a, r: sklm.MultiTaskElasticNet(alpha=a, l1_ratio=r, fit_intercept=False),
     0.1, 0.6, {"fit_intercept": False, "solver": "covariance"}),
]


@pytest.mark.parametrize("Estimator,oracle,a,r,opts", OBJECTIVES)
def test_given_alpha_minimises_the_scikit_learn_objective(Estimator, oracle, a, r, opts):
    family = {ElasticNetRegressor: "gaussian", LogisticNetClassifier: "logistic",
              MultiTaskNetRegressor: "multitask"}.get(Estimator, "poisson")
    X, y = make_data(family)
    X = X * [1.0, 2.0, 0.5, 3.0, 1.0] + 1.0
    opts = dict(opts)
    w = np.random.default_rng(1).uniform(0.2, 2.0, len(y)) if opts.pop("weighted", False) else None
    standardize = opts.setdefault("standardize", False)
    model = Estimator(alpha=a, l1_ratio=r, tol=1e-14, **opts).fit(X, y, sample_weight=w)
    assert model.cv_ is None and model.alpha_ == a and model.l1_ratio_ == r
    wn = np.ones(len(y)) / len(y) if w is None else w / w.sum()
    sd = np.sqrt(wn @ (X - wn @ X) ** 2) if standardize else np.ones(X.shape[1])
    ref = oracle(a, r).set_params(tol=1e-13, max_iter=10**6).fit(X / sd, y, **({} if w is None else dict(
        sample_weight=w)))
    np.testing.assert_allclose(np.ravel(model.coef_), np.ravel(ref.coef_ / sd), atol=1e-7)
    np.testing.assert_allclose(model.intercept_, np.broadcast_to(ref.intercept_, np.shape(model.intercept_)),
                               atol=1e-7)


@pytest.mark.parametrize("cv", [KFold(4), TimeSeriesSplit(3), ShuffleSplit(3, test_size=0.3, random_state=0),
                                "multitask"], ids=["kfold", "time-series", "shuffle", "multitask"])
def test_cross_validation_matches_elastic_net_cv(cv):
    # Every fold solves scikit-learn's objective at the same alphas, so the
    # fold scores are ElasticNetCV's (MultiTaskElasticNetCV's), whether or
    # not the test sets partition the rows.
    multi = cv == "multitask"
    X, y = make_data("multitask" if multi else "gaussian")
    X = X if multi else X * [1.0, 2.0, 0.5, 3.0, 1.0]
    cv = KFold(4) if multi else cv
    Estimator = MultiTaskNetRegressor if multi else ElasticNetRegressor
    opts = dict(l1_ratio=0.5, nlambda=20, measure="mse") if multi else dict(l1_ratio=[0.2, 0.8], nlambda=30)
    model = Estimator(cv=cv, standardize=False, tol=1e-14, select="lambda_min", **opts).fit(X, y)
    alphas = model.cv_.lambdas * (model.alpha_ / model.lambda_)
    ref = (sklm.MultiTaskElasticNetCV if multi else sklm.ElasticNetCV)(
        l1_ratio=model.l1_ratio_, alphas=alphas, cv=cv, tol=1e-13, max_iter=10**6).fit(X, y)
    np.testing.assert_allclose(model.cv_.fold_scores.T, ref.mse_path_, rtol=1e-6)
    assert model.alpha_ == pytest.approx(ref.alpha_, rel=1e-12)
    np.testing.assert_allclose(model.coef_, ref.coef_, atol=1e-8)
    if not multi:
        other = ElasticNetRegressor(cv=cv, standardize=False, tol=1e-14, select="lambda_min",
                                    **dict(opts, l1_ratio=1.0 - model.l1_ratio_)).fit(X, y)
        assert np.nanmin(model.cv_.cvm) <= np.nanmin(other.cv_.cvm)


@pytest.mark.parametrize("params,fit_kw,exc,match", [
    (dict(alpha=-1), {}, ValueError, "'alpha' parameter"),
    (dict(alpha=np.inf), {}, ValueError, "'alpha' parameter"),
    (dict(l1_ratio=2), {}, ValueError, "'l1_ratio' parameter"),
    (dict(l1_ratio=[0.5, 1.5]), {}, ValueError, "'l1_ratio' parameter"),
    (dict(standardize="False"), {}, TypeError, "'standardize' parameter"),
    (dict(fit_intercept=np.int64(1)), {}, TypeError, "'fit_intercept' parameter"),
    (dict(measure="auc"), {}, ValueError, "'measure' parameter"),
    (dict(tol=0), {}, ValueError, "'tol' parameter"),
    (dict(cv=1), {}, ValueError, "'cv' parameter"),
    (dict(cv=[(np.arange(40), np.arange(80, 90))]), {}, ValueError, r"cv\[0\] test"),
    (dict(), dict(groups=np.zeros(80)), ValueError, "groups"),
    (dict(), dict(group=np.zeros(80)), TypeError, "'group'"),
    (dict(), dict(sample_weight=np.zeros(80)), ValueError, "(?i)sample.weight"),
    (dict(penalty_factor=[1, 1, -2, 1, 1]), {}, ValueError,
     r"^penalty_factor must be non-negative \(0 leaves a feature unpenalized\), but penalty_factor\[2\] is -2$"),
    (dict(penalty_factor={"a": 1.0}), {}, ValueError, r"^penalty_factor is labelled by feature name .* X has no "
                                                      r"column names"),
    (dict(handle_unknown="ignore"), {}, ValueError, "'handle_unknown' parameter"),
    (dict(missing="drop"), {}, ValueError, "'missing' parameter"),
    (dict(drop_first="yes"), {}, ValueError, "'drop_first' parameter"),
    (dict(verbose=3), {}, ValueError, r"verbose of ElasticNetRegressor must be 0 \(silent\)"),
    (dict(cv=3, blend=0.5), {}, ValueError, r"blend=0.5 blends the penalized fit with its relaxed refit: set "
                                            r"relax=True"),
    (dict(cv=3, blend=None), {}, ValueError, r"blend=None blends the penalized fit with its relaxed refit: set "
                                             r"relax=True"),
    (dict(cv=3, relax=True, alpha=0.1, blend=[0.0, 1.0]), {}, ValueError,
     r"blend=\[0.0, 1.0\] is cross-validated only when alpha is None or l1_ratio a list; with a fixed alpha "
     r"give one blend in \[0, 1\]"),
    (dict(cv=3, relax=True, blend=[0.5, 2.0]), {}, ValueError, r"blend\[1\] must lie in \[0, 1\], got 2"),
])
def test_invalid_parameters(params, fit_kw, exc, match):
    X, y = make_data("gaussian")
    with pytest.raises(exc, match=match):
        ElasticNetRegressor(**params).fit(X, y, **fit_kw)


@pytest.mark.parametrize("fam", __import__("varnel.families").families.FAMILIES, ids=repr)
def test_generalized_regressor_refuses_the_families_with_their_own_estimator(fam, monkeypatch):
    # every family of the registry: GeneralizedNetRegressor fits it, or
    # refuses it before any work (X and y are not even read), naming the
    # estimator made for it; its list of families for a bad name omits those
    from varnel import _fit

    own = fam.own_estimator
    assert (own is None) == (fam.name not in ("multinomial", "cox", "multitask"))
    if own is None:
        X, y = make_data("gamma")
        assert GeneralizedNetRegressor(family=fam, alpha=0.01).fit(X, y > 2 if fam.has_classes else y + 1)
        return
    assert hasattr(varnel, own)
    monkeypatch.setattr(_fit, "prepare", lambda *a, **k: pytest.fail("the fit went on"))
    for given in (fam.name, fam):
        with pytest.raises(ValueError, match=(rf"^GeneralizedNetRegressor does not fit the {fam.name} family "
                                              rf"\(family=.*\); use varnel\.{own} for it$")):
            GeneralizedNetRegressor(family=given, alpha=0.1).fit(None, None)
    with pytest.raises(ValueError, match=r"^family must be one of \('gaussian', 'logistic', 'poisson', "
                                         r"'gamma', 'inverse_gaussian', 'tweedie', 'negative_binomial', 'huber'\) "
                                         r"\(or an alias: 'normal', 'binomial', 'negbin'\), got 'bogus'$"):
        GeneralizedNetRegressor(family="bogus").fit(None, None)


# (family as the estimator takes it, as the oracle writes it, glum's family and link)
GLUM = [("gamma", "gamma/log", "gamma", "log"),
        ("tweedie:1.5", "tweedie:1.5/log", "tweedie", "log"),
        ("negbin:0.5", "negative_binomial:0.5/log", "negative.binomial", "log"),
        ("InverseGaussian(link='identity')", "inverse_gaussian/identity", "inverse.gaussian", "identity"),
        ("Gamma(link='inverse')", "gamma/inverse", "gamma", "tweedie(2)"),
        ("Binomial(link='cloglog')", "binomial/cloglog", "binomial", "cloglog"),
        ("poisson", "poisson/log", "poisson", "log"),
        ("binomial", "binomial/logit", "binomial", "logit"),
        ("gaussian", "tweedie:0/identity", "normal", "identity"),
        ("Gaussian(link='log')", "gaussian/log", "normal", "log")]


@pytest.mark.parametrize("family, model, glum_family, glum_link", GLUM)
@pytest.mark.parametrize("sparse", [False, True])
def test_objective_of_glum_at_five_penalties(family, model, glum_family, glum_link, sparse):
    # GeneralizedNetRegressor(alpha, l1_ratio) reaches glum's objective (or a
    # lower one) with the same alpha and l1_ratio, at five penalties of a path
    glum = pytest.importorskip("glum")
    import scipy.sparse as sps

    from varnel import families

    fam = eval("families." + family) if "(" in family else family
    glm = o.Glm(model)
    rng = np.random.default_rng(8)
    X = rng.standard_normal((300, 6)) * [1.0, 2.0, 0.5, 1.0, 1.5, 1.0]
    y = glm.response(0.5 * X[:, 0] - 0.3 * X[:, 1] + 0.2 * X[:, 4], rng)
    w = rng.uniform(0.3, 2.0, len(y))
    Xs = sps.csc_matrix(X) if sparse else X
    r = 0.7
    m = GeneralizedNetRegressor(fam, l1_ratio=r, cv=3, random_state=0, standardize=False).fit(Xs, y)
    alphas = m.path_.lambdas[[5, 10, 20, 30, 40]] * (m.alpha_ / m.lambda_)
    prob = o.Problem(model, X, y, alpha=r, weights=w, standardize=False)
    for a in alphas:
        ours = GeneralizedNetRegressor(fam, alpha=a, l1_ratio=r, standardize=False, tol=1e-13).fit(
            Xs, y, sample_weight=w)
        theirs = glum.GeneralizedLinearRegressor(family=glum_family, link=glum_link, alpha=a, l1_ratio=r,
                                                 gradient_tol=1e-9, max_iter=200).fit(Xs, y, sample_weight=w)
        f = [prob.objective(a, m.intercept_, np.ravel(m.coef_)) for m in (ours, theirs)]
        assert f[0] <= f[1] + 1e-9 * abs(f[1]), (a, f)
        np.testing.assert_allclose(ours.predict(X), glm.mean(ours.intercept_ + X @ ours.coef_), rtol=1e-12)


@pytest.mark.parametrize("params, shown", [
    (dict(verbose=0), None), (dict(verbose=2, cv=3), "cross-validation"),
    (dict(verbose=1, alpha=0.1), "path"), (dict(verbose=True, l1_ratio=[0.5, 1.0], cv=3),
                                           "cross-validation"),
])
def test_estimator_verbose_shows_its_paths_and_folds(monkeypatch, capfd, params, shown):
    import re
    import sys

    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    data = varnel.load_demo()
    model = ElasticNetRegressor(random_state=0, nlambda=10, **params).fit(data.X, data.y)
    quiet = ElasticNetRegressor(random_state=0, nlambda=10,
                                **dict(params, verbose=0)).fit(data.X, data.y)
    np.testing.assert_array_equal(model.coef_, quiet.coef_)
    out, err = capfd.readouterr()
    assert out == ""
    if shown is None:
        assert err == ""
        return
    done = re.search(shown + r": (\d+)/(\d+) lambdas\n\Z", err)
    assert done and done.group(1) == done.group(2)
    assert (" fold  index       lambda" in err) == (params["verbose"] == 2)


# ---- categorical columns ------------------------------------------------------------
CATEGORICAL_ESTIMATORS = [
    (ElasticNetRegressor, {}, "gaussian"),
    (LogisticNetClassifier, {}, "logistic"),
    (PoissonNetRegressor, {}, "poisson"),
    (GeneralizedNetRegressor, {"family": "gamma"}, "gamma"),
    (MultiTaskNetRegressor, {}, "multitask"),
    (varnel.CoxPHNetSurvival, {}, "cox"),
]


def categorical_problem(family, n=90, seed=2):
    """A frame of two numbers and two categoricals (pandas category and
    text), its indicators by hand (scikit-learn's OneHotEncoder) and y."""
    pd = pytest.importorskip("pandas")
    from sklearn.preprocessing import OneHotEncoder

    rng = np.random.default_rng(seed)
    X, y = make_data(family if family != "cox" else "gamma", n=n, p=3, seed=seed)
    c = rng.choice(["lo", "mid", "hi"], n)
    d = rng.choice(["p", "q", "r", "s"], n)
    frame = pd.DataFrame({"x0": X[:, 0], "c": pd.Categorical(c, categories=["mid", "lo", "hi"]),
                          "x1": X[:, 1], "d": d})
    oh = OneHotEncoder(categories=[["mid", "lo", "hi"], ["p", "q", "r", "s"]], sparse_output=False)
    ind = oh.fit_transform(np.column_stack([c, d]))
    design = np.column_stack([X[:, 0], ind[:, :3], X[:, 1], ind[:, 3:]])
    if family == "cox":
        y = np.column_stack([y, np.arange(n) % 4 != 0])
    return frame, design, y, oh


@pytest.mark.parametrize("Estimator,params,family", CATEGORICAL_ESTIMATORS,
                         ids=[f for *_, f in CATEGORICAL_ESTIMATORS])
def test_estimators_fit_categorical_columns_as_their_indicators(Estimator, params, family):
    import pickle

    frame, design, y, oh = categorical_problem(family)
    model = Estimator(alpha=0.02, **params).fit(frame, y)  # each categorical one group
    ref = Estimator(alpha=0.02, feature_groups=[0, 1, 1, 1, 2, 3, 3, 3, 3], **params).fit(design, y)
    np.testing.assert_allclose(model.coef_, ref.coef_, rtol=1e-9, atol=1e-12)
    assert list(model.categories_) == ["c", "d"]
    for got, want in zip(model.categories_.values(), oh.categories_):
        assert got.tolist() == want.tolist()
    assert model.n_features_in_ == 4 and model.feature_names_in_.tolist() == ["x0", "c", "x1", "d"]
    assert model.path_.feature_names[1:4] == ["c[mid]", "c[lo]", "c[hi]"]
    rows = slice(5, 25)
    predict = "predict_proba" if family == "logistic" else "predict"
    np.testing.assert_allclose(getattr(model, predict)(frame[rows]), getattr(ref, predict)(design[rows]),
                               rtol=1e-9)
    again = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(again.predict(frame[rows]), model.predict(frame[rows]))
    with pytest.raises(ValueError, match=r"the level 'zz' in categorical column 'd' \(row 0\)"):
        model.predict(frame[rows].assign(d="zz"))
    zero = Estimator(alpha=0.02, handle_unknown="zero", **params).fit(frame, y)
    unseen = design[rows].copy()
    unseen[:, 5:] = 0.0
    np.testing.assert_allclose(getattr(zero, predict)(frame[rows].assign(d="zz")),
                               getattr(ref, predict)(unseen), rtol=1e-9)


def test_categorical_columns_in_a_pipeline_and_a_grid_search():
    # the estimator beside scikit-learn's own encoding: a ColumnTransformer
    # of OneHotEncoder puts the indicators first, the same model otherwise
    # (drop_first against the indicators by hand: test_routes, on every family)
    from sklearn.compose import ColumnTransformer
    from sklearn.model_selection import GridSearchCV
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer, OneHotEncoder

    frame, _, y, oh = categorical_problem("gaussian", n=150)
    ours = make_pipeline(FunctionTransformer(), ElasticNetRegressor(alpha=0.02, tol=1e-12)).fit(frame, y)
    theirs = make_pipeline(
        ColumnTransformer([("oh", OneHotEncoder(categories=oh.categories_), ["c", "d"])],
                          remainder="passthrough"),
        ElasticNetRegressor(alpha=0.02, tol=1e-12, feature_groups=[0, 0, 0, 1, 1, 1, 1, 2, 3])).fit(frame, y)
    np.testing.assert_allclose(ours.predict(frame), theirs.predict(frame), rtol=1e-6, atol=1e-6)
    search = GridSearchCV(ElasticNetRegressor(), {"alpha": [0.01, 0.1], "drop_first": [False, True]},
                          cv=KFold(3)).fit(frame, y)
    best = search.best_estimator_
    assert best.coef_.shape == (9 - 2 * best.drop_first,)
