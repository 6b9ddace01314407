"""The cox family through the Python layer: the survival response as users
hold it, the baseline hazard, the cross-validated partial likelihood and
concordance, CoxPHNetSurvival."""
import warnings

import numpy as np
import pytest

import oracles as o
import varnel
from varnel._core import fit

pd = pytest.importorskip("pandas")


def make_data(n=150, p=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    eta = X[:, 0] - 0.7 * X[:, 1]
    t, c = rng.exponential(np.exp(-eta)), rng.exponential(1.5, size=n)
    return X, np.round(np.minimum(t, c), 1) + 0.05, t <= c


def _structured(time, event, kind):
    return np.array(list(zip(event.astype(kind), time)), dtype=[("event", kind), ("time", "f8")])


RESPONSES = {  # every form of (time, status), with the rows as they are
    "list": lambda t, e: np.column_stack([t, e]).tolist(),
    "structured bool": lambda t, e: _structured(t, e, "?"),
    "structured int": lambda t, e: _structured(t, e, "i4"),
    "frame bool status first": lambda t, e: pd.DataFrame({"dead": e, "t": t}),
    "frame of floats": lambda t, e: pd.DataFrame({"t": t, "dead": e.astype(float)}),
}


@pytest.mark.parametrize("form", list(RESPONSES))
def test_survival_responses_give_one_path(form):
    X, t, e = make_data()
    ref = varnel.fit_path(X, np.column_stack([t, e]), "cox", nlambda=10)
    other = varnel.fit_path(X, RESPONSES[form](t, e), "cox", nlambda=10)
    np.testing.assert_array_equal(other.coefs, ref.coefs)
    assert not ref.intercepts.any()


@pytest.mark.parametrize("change, match", [
    (lambda t, e: np.column_stack([np.r_[t[:4], -1.0, t[5:]], e]), "row 4 of y has time -1"),
    (lambda t, e: np.column_stack([t, np.r_[e[:2], 2, e[3:]]]), "row 2 of y has status 2"),
    (lambda t, e: np.column_stack([np.r_[t[:3], np.nan, t[4:]], e]), "missing value .* in row 3"),
    (lambda t, e: pd.DataFrame({"t": t, "e": pd.array(np.r_[e[:6], None, e[7:]], "boolean")}),
     "missing value .* in row 6"),
    (lambda t, e: t, r"shape \(150, 2\)"),
    (lambda t, e: np.array(list(zip(t, t)), dtype=[("a", "f8"), ("b", "f8")]), "one boolean or integer field"),
    (lambda t, e: np.column_stack([t, 0 * e]), "needs an event"),
])
def test_bad_survival_responses(change, match):
    X, t, e = make_data()
    with pytest.raises(ValueError, match=match):
        varnel.fit_path(X, change(t, e), "cox")
    with pytest.raises(ValueError, match="strata are an option of the cox family"):
        varnel.fit_path(X, t, strata=np.arange(150) % 2)


@pytest.mark.parametrize("strata", [False, True])
def test_baseline_hazard_matches_lifelines(strata):
    lifelines = pytest.importorskip("lifelines")
    X, t, e = make_data()
    groups = np.where(np.arange(150) % 3 == 0, "a", "b") if strata else None
    path = varnel.fit_path(X, np.column_stack([t, e]), "cox", ties="efron", user_lambda=[0.0],
                           standardize=False, thresh=1e-15, strata=groups)
    df = pd.DataFrame(X, columns=[f"x{j}" for j in range(6)]).assign(t=t, e=e)
    if strata:
        df["s"] = groups
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = lifelines.CoxPHFitter().fit(df, "t", "e", strata="s" if strata else None,
                                          fit_options={"precision": 1e-12})
    times = np.unique(t)[[1, 4, 9, 15]]  # lifelines interpolates between the durations
    theirs = ref.predict_cumulative_hazard(df.iloc[:5], times=times)[list(range(5))].to_numpy().T
    ours = path.cumulative_hazard(X[:5], times, s=0.0, strata=None if groups is None else groups[:5])
    np.testing.assert_allclose(ours, theirs, rtol=1e-5)
    np.testing.assert_allclose(path.survival_function(X[:5], times, s=[0.0, 0.0], strata=None if groups is None
                                                      else groups[:5])[..., 1], np.exp(-ours), rtol=1e-12)
    with pytest.raises(ValueError, match="strata" if strata else "only cox paths"):
        (path if strata else varnel.fit_path(X, t)).cumulative_hazard(X[:5], times)


def test_cross_validated_deviance_and_concordance_by_hand():
    from sksurv.metrics import concordance_index_censored

    X, t, e = make_data()
    y = np.column_stack([t, e])
    fid = np.arange(150) % 4
    # tight: the folds start from the full-data solutions, the fits below do not
    dev = varnel.cv_path(X, y, "cox", foldid=fid, nlambda=12, thresh=1e-13)
    conc = varnel.cv_path(X, y, "cox", foldid=fid, nlambda=12, measure="C", keep=True)
    lam = dev.lambdas
    for k in range(4):
        train, test = fid != k, fid == k
        beta = fit(X[train], y[train], family="cox", user_lambda=lam, thresh=1e-13)["beta"]
        ll = [o.cox_loglik(X @ b, y, np.ones(150))[0] - o.cox_loglik(X[train] @ b, y[train], np.ones(train.sum()))[0]
              for b in beta.T]
        np.testing.assert_allclose(dev.fold_scores[k, :beta.shape[1]], -2 * np.array(ll) / test.sum(), rtol=1e-6)
        ref = [concordance_index_censored(e[test], t[test], eta)[0] for eta in conc.fit_preval[test].T]
        np.testing.assert_allclose(conc.fold_scores[k], ref, rtol=1e-12)
    assert conc.cvm[conc.index_min] == np.nanmax(conc.cvm) and conc.lambda_1se >= conc.lambda_min
    events = np.bincount(varnel.cv_path(X, y, "cox", nfolds=7, seed=3, nlambda=5).foldid, weights=e)
    assert events.max() - events.min() <= 1  # folds stratified by event status


def test_estimator_follows_the_path_and_scikit_survival():
    from sklearn.base import clone
    from sksurv.metrics import concordance_index_censored
    from varnel.survival import CoxPHNetSurvival

    X, t, e = make_data()
    y = _structured(t, e, "?")
    w = np.linspace(0.5, 1.5, 150)
    model = CoxPHNetSurvival(alpha=0.05, l1_ratio=0.5, ties="efron").fit(X, y, sample_weight=w)
    path = varnel.fit_path(X, y, "cox", alpha=0.5, ties="efron", user_lambda=[0.05], weights=w)
    np.testing.assert_array_equal(model.coef_, path.coefs[:, 0])
    assert model.score(X, y) == pytest.approx(concordance_index_censored(e, t, model.predict(X))[0], rel=1e-12)
    functions = model.predict_survival_function(X[:3])
    assert (functions[1].x == np.unique(t[e])).all()
    np.testing.assert_allclose(functions[1](t[:4]), path.survival_function(X[1:2], t[:4], s=0.05)[0], rtol=1e-12)
    np.testing.assert_allclose(model.predict_cumulative_hazard_function(X[:3], return_array=True),
                               -np.log(model.predict_survival_function(X[:3], return_array=True)), rtol=1e-10)
    chosen = clone(model).set_params(alpha=None, measure="C", random_state=0).fit(X, y)
    assert chosen.cv_.measure == "C" and chosen.alpha_ == chosen.cv_.lambda_1se
