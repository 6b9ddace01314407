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


def make_counting(subjects=90, p=4, seed=0):
    """Subjects over one to three intervals of a grid of tenths (so that events tie), a third entering late, the
    last covariate changing from one interval to the next; returns X, (start, stop, status) and the subject of every
    row."""
    rng = np.random.default_rng(seed)
    base = rng.standard_normal((subjects, p))
    rows, y, who = [], [], []
    for s in range(subjects):
        start = np.round(rng.uniform(0.1, 1.0), 1) if rng.random() < 0.35 else 0.0
        end = start + 0.1 + np.round(rng.exponential(np.exp(-0.8 * base[s, 0] + 0.4 * base[s, 1])), 1)
        event = rng.random() < 0.75
        cuts = np.unique(np.r_[start, np.round(rng.uniform(start, end, rng.integers(0, 3)), 1), end])
        for k, (a, b) in enumerate(zip(cuts[:-1], cuts[1:])):
            rows.append(base[s] + np.r_[np.zeros(p - 1), 0.5 * k])
            y.append((a, b, float(event and b == end)))
            who.append(s)
    return np.array(rows), np.round(np.array(y), 1), np.array(who)


def right_censored():
    X, t, e = make_data()
    return X, np.column_stack([t, e])


RESPONSES = [  # every form of (time, status) or (start, stop, status), with the rows as they are
    (right_censored, lambda y: y.tolist()),
    (right_censored, lambda y: _structured(y[:, 0], y[:, 1] > 0, "?")),
    (right_censored, lambda y: _structured(y[:, 0], y[:, 1] > 0, "i4")),
    (right_censored, lambda y: pd.DataFrame({"dead": y[:, 1] > 0, "t": y[:, 0]})),
    (right_censored, lambda y: pd.DataFrame({"t": y[:, 0], "dead": y[:, 1]})),
    (make_counting, lambda y: y.tolist()),
    (make_counting, lambda y: np.array(list(zip(y[:, 0], y[:, 1], y[:, 2] > 0)),
                                       dtype=[("start", "f8"), ("stop", "f8"), ("event", "?")])),
    (make_counting, lambda y: np.array(list(map(tuple, y)), dtype=[("a", "f8"), ("b", "f8"), ("c", "f8")])),
    (make_counting, lambda y: pd.DataFrame({"entry": y[:, 0], "exit": y[:, 1], "dead": y[:, 2] > 0})),
]


@pytest.mark.parametrize("data, form", RESPONSES)
def test_survival_responses_give_one_path(data, form):
    X, y = data()[:2]
    ref = varnel.fit_path(X, y, "cox", nlambda=10)
    np.testing.assert_array_equal(varnel.fit_path(X, form(y), "cox", nlambda=10).coefs, ref.coefs)
    assert not ref.intercepts.any()


def _row(y, i, **set_):
    out = np.array(y, dtype=float)
    for k, v in set_.items():
        out[i, ("start stop status".split() if y.shape[1] == 3 else ["time", "status"]).index(k)] = v
    return out


MISSING = ("y's {} has a missing value (NA, None or NaN) in row {}, at y's {}[{}]; drop or fill the rows with "
           "missing values first")
SHAPES = ("y must hold the time and the status of every row, an array of shape ({n}, 2), a structured array or a "
          "two-column data frame, or the start, stop and status of every row, an array of shape ({n}, 3); got shape {}")
NO_EVENT = "the cox family needs an event: no row with status 1 has a positive weight, so there is nothing to fit"
HOSTILE = [  # (the data, the rows made hostile, the exact message)
    (right_censored, lambda y: _row(y, 4, time=-1.0),
     "survival times must be positive and finite, but row 4 of y has time -1"),
    (right_censored, lambda y: _row(y, 2, status=2.0),
     "the status must be 0 (censored) or 1 (event), but row 2 of y has status 2"),
    (right_censored, lambda y: _row(y, 3, time=np.nan), MISSING.format("time", 3, "time", 3)),
    (right_censored, lambda y: pd.DataFrame({"t": y[:, 0], "e": pd.array([None] + list(y[1:, 1] > 0), "boolean")}),
     MISSING.format("status", 0, "status", 0)),
    (right_censored, lambda y: y[:, 0], SHAPES.format("({n},)", n="{n}")),
    (right_censored, lambda y: np.array(list(zip(y[:, 0], y[:, 0])), dtype=[("a", "f8"), ("b", "f8")]),
     "y as a structured array needs one boolean or integer field (the status) and one float field (the time), "
     "got ['a', 'b'] of types ['float64', 'float64']"),
    (right_censored, lambda y: _row(y, slice(None), status=0.0), NO_EVENT),
    (make_counting, lambda y: _row(y, 3, start=2.0, stop=2.0),
     "each row's interval (start, stop] must have start < stop, but row 3 of y has start 2 and stop 2"),
    (make_counting, lambda y: _row(y, 6, start=1.5, stop=0.5),
     "each row's interval (start, stop] must have start < stop, but row 6 of y has start 1.5 and stop 0.5"),
    (make_counting, lambda y: _row(y, 1, start=-0.5), "start times must be 0 or more, but row 1 of y has start -0.5"),
    (make_counting, lambda y: _row(y, 2, start=np.inf), "start times must be finite, but row 2 of y has start inf"),
    (make_counting, lambda y: _row(y, 0, stop=np.inf), "stop times must be finite, but row 0 of y has stop inf"),
    (make_counting, lambda y: _row(y, 5, status=3.0),
     "the status must be 0 (censored) or 1 (event), but row 5 of y has status 3"),
    (make_counting, lambda y: _row(y, 4, start=np.nan), MISSING.format("start", 4, "start", 4)),
    (make_counting, lambda y: np.c_[y, y[:, :1]], SHAPES.format("({n}, 4)", n="{n}")),
    (make_counting, lambda y: np.array(list(map(tuple, np.c_[y, y[:, :1]])), dtype=[(c, "f8") for c in "abcd"]),
     "y as a structured array needs two fields (status and time) or three (start, stop and status), "
     "got ['a', 'b', 'c', 'd']"),
    (make_counting, lambda y: _row(y, slice(None), status=0.0), NO_EVENT),
]


@pytest.mark.parametrize("data, change, text", HOSTILE)
def test_hostile_survival_responses_are_refused_by_row(data, change, text):
    X, y = data()[:2]
    with pytest.raises(ValueError) as info:
        varnel.fit_path(X, change(y), "cox")
    assert str(info.value) == text.format(n=len(y))


@pytest.mark.parametrize("strata", [False, True])
def test_baseline_hazard_matches_lifelines(strata):
    lifelines = pytest.importorskip("lifelines")
    X, t, e = make_data()
    groups = np.where(np.arange(150) % 3 == 0, "a", "b") if strata else None
    path = varnel.fit_path(X, np.column_stack([t, e]), "cox", ties="efron", user_lambda=[0.0],
                           standardize=False, thresh=1e-15, strata=groups)
    df = pd.DataFrame(X, columns=[f"x{j}" for j in range(6)]).assign(t=t, e=e, s=groups)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = lifelines.CoxPHFitter().fit(df if strata else df.drop(columns="s"), "t", "e",
                                          strata="s" if strata else None, fit_options={"precision": 1e-12})
    times = np.unique(t)[[1, 4, 9, 15]]  # lifelines interpolates between the durations
    theirs = ref.predict_cumulative_hazard(df.iloc[:5], times=times)[list(range(5))].to_numpy().T
    ours = path.cumulative_hazard(X[:5], times, s=0.0, strata=None if groups is None else groups[:5])
    np.testing.assert_allclose(ours, theirs, rtol=1e-5)


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


def test_estimator_follows_the_path_and_scikit_survival_relaxed_or_not():
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
    chosen = clone(model).set_params(alpha=None, measure="C", random_state=0).fit(X, y)
    assert chosen.cv_.measure == "C" and chosen.alpha_ == chosen.cv_.lambda_1se
    # relaxed: the survival functions and Path's hazards take the blend in the new rows' and the baseline's risk scores
    model = varnel.CoxPHNetSurvival(alpha=0.05, relax=True, blend=0.0).fit(X, np.column_stack([t, e]))
    path, times = model.path_, model.unique_times_
    got = model.predict_survival_function(X[:5], return_array=True)
    np.testing.assert_allclose(got, path.blended(0.0).survival_function(X[:5], times, s=model.lambda_), rtol=1e-13)
    np.testing.assert_array_equal(got, path.survival_function(X[:5], times, s=model.lambda_, blend=0.0))
    assert not np.allclose(got, path.survival_function(X[:5], times, s=model.lambda_))
    np.testing.assert_allclose(model.predict(X[:5]), X[:5] @ path.coef(model.lambda_, blend=0.0))


@pytest.mark.parametrize("ties", ["breslow", "efron"])
def test_counting_process_rows_of_weight_zero_are_rows_left_out(ties):
    # the latest times of a stratum held only by rows of weight 0 (as a
    # cross-validation fold holds its test rows) leave the fit as if the
    # rows were not there
    X, y, _ = make_counting()
    n = len(y)
    # and six rows of weight 0 after every other time of stratum 0, each entering after the time of the one before
    stops = y[:, 1].max() + 1.0 + np.arange(6.0)
    X = np.vstack([X, np.random.default_rng(3).standard_normal((6, X.shape[1]))])
    y = np.vstack([y, np.c_[stops - 1.5, stops, np.arange(6) % 2]])
    strata, w = np.r_[np.arange(n) % 2, np.zeros(6)], np.r_[np.arange(n) % 5 != 0, np.zeros(6)]
    keep, opts = w > 0, dict(ties=ties, nlambda=8, thresh=1e-13)
    with_zeros = varnel.fit_path(X, y, "cox", weights=w, strata=strata, **opts)
    without = varnel.fit_path(X[keep], y[keep], "cox", strata=strata[keep], **opts)
    assert np.isfinite(with_zeros.coefs).all()
    np.testing.assert_allclose(with_zeros.coefs, without.coefs, rtol=1e-8, atol=1e-10)


UNPENALIZED = dict(user_lambda=[0.05, 0.0], thresh=1e-15, standardize=False)


@pytest.mark.parametrize("ties", ["breslow", "efron"])
@pytest.mark.parametrize("strata", [False, True])
def test_counting_process_fit_and_baseline_hazard_match_statsmodels(ties, strata):
    sm = pytest.importorskip("statsmodels.api")
    X, y, who = make_counting()
    groups = who % 2 if strata else None
    path = varnel.fit_path(X, y, "cox", ties=ties, strata=groups, **UNPENALIZED)
    # statsmodels counts a row at risk at its entry time itself: entered a hair later
    # (the times are tenths), it is at risk over (start, stop]
    model = sm.PHReg(y[:, 1], X, status=y[:, 2], entry=y[:, 0] + 1e-6, ties=ties, strata=groups)
    want = model.fit().params
    np.testing.assert_allclose(path.coefs[:, -1], want, rtol=1e-5, atol=1e-7)
    # and the late entries matter: dropping them moves the fit
    later = varnel.fit_path(X, y[:, 1:], "cox", ties=ties, strata=groups, **UNPENALIZED)
    assert np.abs(later.coefs[:, -1] - want).max() > 1e-3
    if ties == "breslow" and not strata:  # statsmodels gives each event time the hazard just before it
        times, cumhaz, _ = model.baseline_cumulative_hazard(path.coefs[:, -1])[0]
        ours = path.cumulative_hazard(np.zeros((1, X.shape[1])), times[:-1], s=0.0)[0]
        np.testing.assert_allclose(ours, cumhaz[1:], rtol=1e-10)
        assert cumhaz[0] == 0.0


def test_an_offset_that_dwarfs_the_late_rows_keeps_the_risk_sets():
    """Rows entering late with an offset of 40 make every earlier risk set a difference of two sums some 1e17 times
    larger than itself: the fit is still the partial likelihood's optimum (its definition's gradient is zero)."""
    X, y, who = make_counting()
    offset = np.where(y[:, 0] > 0, 40.0, 0.0)
    path = varnel.fit_path(X, y, "cox", offset=offset, **UNPENALIZED)
    prob = o.Problem("cox", X, y[:, 1:], entry=y[:, 0], offset=offset, standardize=False)
    assert prob.kkt_residual(0.0, 0.0, path.coefs[:, -1]) < 1e-6
    assert np.abs(varnel.fit_path(X, y, "cox", **UNPENALIZED).coefs[:, -1] - path.coefs[:, -1]).max() > 1e-2
    # the partial likelihood the cross-validation scores with, on the same rows
    from varnel import _survival

    eta, w = offset[:, None] + X @ path.coefs, np.linspace(0.5, 1.5, len(y))
    for ties in ("breslow", "efron"):
        got = _survival.log_partial_likelihood(_survival.survival_response(y, len(y)), w, eta, ties)
        want = [o.cox_loglik(e, y[:, 1:], w, ties=ties, entry=y[:, 0])[0] for e in eta.T]
        np.testing.assert_allclose(got, want, rtol=1e-12)


@pytest.mark.parametrize("penalizer", [0.0, 0.05])
def test_counting_process_fit_matches_lifelines_time_varying(penalizer):
    """lifelines' CoxTimeVaryingFitter maximises l(b) - n penalizer/2 ||b s1||^2 (Efron's ties, n rows, s1 the
    columns' sd with n - 1): our ridge (alpha=0) on standardized columns (sd s0 with n) at lambda = penalizer n / (n
    - 1) is the same problem divided by n."""
    lifelines = pytest.importorskip("lifelines")
    X, y, who = make_counting()
    df = pd.DataFrame(X, columns=[f"x{j}" for j in range(X.shape[1])]).assign(
        id=who, start=y[:, 0], stop=y[:, 1], event=y[:, 2])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = lifelines.CoxTimeVaryingFitter(penalizer=penalizer).fit(
            df, id_col="id", event_col="event", start_col="start", stop_col="stop",
            fit_options={"precision": 1e-12})
    lam = penalizer * len(y) / (len(y) - 1)
    path = varnel.fit_path(X, y, "cox", ties="efron", alpha=0.0, user_lambda=[lam + 0.1, lam], thresh=1e-15)
    np.testing.assert_allclose(path.coefs[:, -1], ref.params_.to_numpy(), rtol=1e-5, atol=1e-7)


_RNG = np.random.default_rng(4)
ENTRY_AT_ZERO = [  # options under which entry at 0 is right-censored data, bit for bit
    ({}, False), (dict(ties="efron", strata=np.arange(150) % 3), False),
    (dict(weights=_RNG.uniform(0.2, 2.0, 150), offset=_RNG.normal(0.0, 0.3, 150)), False), (dict(alpha=0.5), True),
]


@pytest.mark.parametrize("kw, sparse", ENTRY_AT_ZERO)
def test_entry_at_zero_is_right_censored_data_bit_for_bit(kw, sparse):
    X, t, e = make_data()
    rows, strata = X[:4], kw["strata"][:4] if "strata" in kw else None
    if sparse:
        X = pytest.importorskip("scipy.sparse").csc_matrix(np.where(np.abs(X) < 0.5, 0.0, X))
        rows = X[:4].toarray()
    ys = (np.column_stack([t, e]), np.column_stack([np.zeros(len(t)), t, e]))
    a, b = (varnel.fit_path(X, y, "cox", nlambda=20, **kw) for y in ys)
    for key in ("lambdas", "coefs", "dev_ratio"):
        assert getattr(a, key).tobytes() == getattr(b, key).tobytes(), key
    np.testing.assert_array_equal(b.cumulative_hazard(rows, [0.3, 1.0, 2.0], s=[0.05, 0.01], strata=strata),
                                  a.cumulative_hazard(rows, [0.3, 1.0, 2.0], s=[0.05, 0.01], strata=strata))
    for m in ("deviance", "C"):
        want, got = (varnel.cv_path(X, y, "cox", foldid=np.arange(len(t)) % 3, measure=m, nlambda=8, **kw).cvm
                     for y in ys)
        np.testing.assert_allclose(got, want, rtol=1e-12, err_msg=m)


@pytest.mark.parametrize("ties", ["breslow", "efron"])
def test_splitting_an_interval_keeps_the_fit(ties):
    """A subject's (0, t] cut at a time that is no event time into two rows with the same covariates: the
    unpenalized fit, the path (lambda rescaled by the rows' count, the columns unstandardized) and each subject's
    cumulative hazard as a covariate path are the ones of the uncut rows."""
    X, t, e = make_data()
    n = len(t)
    cut = t > 0.5
    mid = np.full(n, 0.52)  # the times are tenths plus 0.05: 0.52 is none
    rows = np.vstack([X, X[cut]])
    y = np.vstack([np.column_stack([np.zeros(n), np.where(cut, mid, t), np.where(cut, 0.0, e)]),
                   np.column_stack([mid, t, e])[cut]])
    who = np.r_[np.arange(n), np.flatnonzero(cut)]
    whole = varnel.fit_path(X, np.column_stack([t, e]), "cox", ties=ties, **UNPENALIZED)
    split = varnel.fit_path(rows, y, "cox", ties=ties, **UNPENALIZED)
    np.testing.assert_allclose(split.coefs[:, -1], whole.coefs[:, -1], rtol=1e-7, atol=1e-9)
    lam = np.geomspace(0.2, 0.002, 8)
    a, b = (varnel.fit_path(Z, yy, "cox", ties=ties, user_lambda=lam * n / len(yy), standardize=False, thresh=1e-14)
            for Z, yy in ((X, np.column_stack([t, e])), (rows, y)))
    np.testing.assert_allclose(b.coefs, a.coefs, rtol=1e-6, atol=1e-8)
    times, alive = np.array([0.3, 0.52, 0.8, 1.5]), t >= 1.5
    H = b.cumulative_hazard(rows, times, s=lam[4] * n / len(y), intervals=y[:, :2], subjects=who)
    np.testing.assert_allclose(H[alive], a.cumulative_hazard(X[alive], times, s=lam[4]), rtol=1e-6)
    assert np.isnan(H[~alive][:, -1]).all()  # past a subject's last stop


GROUPED = {  # family: (X, y, subjects) with several rows per subject
    "cox": lambda: (*make_counting(), "cox"),
    "gaussian": lambda: (*_repeated(lambda X, rng: X[:, 0] + rng.normal(size=len(X))), "gaussian"),
    "binomial": lambda: (*_repeated(lambda X, rng: (rng.random(len(X)) < 0.5) * 1.0), "binomial"),
}


def _repeated(response):
    rng = np.random.default_rng(2)
    who = np.repeat(np.arange(60), rng.integers(1, 4, 60))
    X = rng.standard_normal((60, 3))[who] + 0.1 * rng.standard_normal((len(who), 3))
    return X, response(X, rng), np.array([f"s{k}" for k in who], dtype=object)


@pytest.mark.parametrize("family", list(GROUPED))
def test_groups_keep_each_subject_in_one_fold(family):
    X, y, who, fam = GROUPED[family]()
    kw = dict(nlambda=6, nfolds=4, seed=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # with groups, no warning
        cv = varnel.cv_path(X, y, fam, groups=who, **kw)
    assert all(len(set(cv.foldid[who == s])) == 1 for s in np.unique(who))
    assert len(np.unique(cv.foldid)) == 4
    np.testing.assert_array_equal(varnel.cv_path(X, y, fam, foldid=cv.foldid, nlambda=6).cvm, cv.cvm)
    m = len(np.unique(who))
    for bad, text in ((dict(groups=who, foldid=cv.foldid), "groups draw the folds; they cannot be combined with "
                       "foldid: give either groups (and nfolds) or foldid"),
                      (dict(groups=who, splits=[(np.arange(5), np.arange(5, 9))]), "groups draw the folds; they "
                       "cannot be combined with splits: give either groups (and nfolds) or splits"),
                      (dict(groups=who, nfolds=m + 1), f"nfolds={m + 1} is larger than the number of groups in "
                       f"groups ({m}); give fewer folds"),
                      (dict(groups=who[:3]), f"groups must have shape ({len(y)},), one label per row, got shape (3,)")):
        with pytest.raises(ValueError) as info:
            varnel.cv_path(X, y, fam, **bad)
        assert str(info.value) == text
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        varnel.cv_path(X, y, fam, **kw)
    split = [w for w in caught if issubclass(w.category, varnel.SubjectSplitWarning)]
    assert len(split) == (family == "cox") and (not split or split[0].filename == __file__)


def test_concordance_of_counting_rows_scores_each_subjects_last_row():
    from sksurv.metrics import concordance_index_censored
    from varnel.survival import CoxPHNetSurvival

    X, y, who = make_counting()
    cv = varnel.cv_path(X, y, "cox", groups=who, measure="C", nfolds=3, seed=2, nlambda=6, keep=True)
    last = np.array([np.flatnonzero(who == s)[np.argmax(y[who == s, 1])] for s in np.unique(who)])
    for k in range(3):
        rows = last[cv.foldid[last] == k]
        ref = [concordance_index_censored(y[rows, 2] > 0, y[rows, 1], eta)[0] for eta in cv.fit_preval[rows].T]
        np.testing.assert_allclose(cv.fold_scores[k], ref, rtol=1e-12)
    model, path = CoxPHNetSurvival(alpha=0.02).fit(X, y), varnel.fit_path(X, y, "cox", user_lambda=[0.02])
    np.testing.assert_array_equal(model.coef_, path.coefs[:, 0])
    eta = model.predict(X)
    assert model.score(X, y, subjects=who) == pytest.approx(
        concordance_index_censored(y[last, 2] > 0, y[last, 1], eta[last])[0], rel=1e-12)
    assert model.score(X, y) == pytest.approx(concordance_index_censored(y[:, 2] > 0, y[:, 1], eta)[0], rel=1e-12)
    H = model.predict_cumulative_hazard_function(X, return_array=True, intervals=y[:, :2], subjects=who)
    np.testing.assert_array_equal(H, path.cumulative_hazard(X, model.unique_times_, s=0.02,
                                                            intervals=y[:, :2], subjects=who))
    assert H.shape == (len(last), len(model.unique_times_))


COVARIATE_PATH_REFUSALS = [  # (the path's fit, the call's options, the exact message)
    ("cox", dict(intervals=[[0.0, 1.0], [1.0, 1.0]]),
     "each interval (start, stop] needs start < stop, but row 1 is (1, 1]"),
    ("cox", dict(intervals=[[-1.0, 1.0], [1.0, 2.0]]), "intervals must start at 0 or later, but row 0 is (-1, 1]"),
    ("cox", dict(intervals=[[0.0, np.inf], [1.0, 2.0]]), "intervals must be finite, but row 0 is (0, inf]"),
    ("cox", dict(intervals=[[0.0, 1.0]]), "intervals must have shape (2, 2), the (start, stop] of every row of X, "
                                          "got shape (1, 2)"),
    ("cox", dict(subjects=[1, 1]), "subjects label the rows of covariate paths: give their intervals too"),
    ("cox", dict(intervals=[[0.0, 1.0], [1.0, 2.0]], subjects=[1]),
     "subjects must have shape (2,), one label per row, got shape (1,)"),
    ("strata", {}, "the path was fitted with strata: give the new rows' strata"),
    ("gaussian", {}, "the gaussian family has no baseline hazard; only cox paths do"),
]


@pytest.mark.parametrize("fitted, given, text", COVARIATE_PATH_REFUSALS)
def test_cumulative_hazards_refuse_bad_rows_by_row(fitted, given, text):
    X, y, who = make_counting()
    path = varnel.fit_path(X, y[:, 1] if fitted == "gaussian" else y, "cox" if fitted != "gaussian" else "gaussian",
                           nlambda=5, **(dict(strata=who % 2) if fitted == "strata" else {}))
    with pytest.raises(ValueError) as info:
        path.cumulative_hazard(X[:2], [0.5], **given)
    assert str(info.value) == text
