"""varnel.cv_path: folds, measures, weights, the chosen lambdas, memory."""

import contextlib
import os
import sys
import warnings
from unittest import mock

import numpy as np
import pytest

import contract as C
import varnel
from varnel._sources._memory import fold_task
from varnel.families import get_family, weighted_auc


def make_data(family="gaussian", n=80, p=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    eta = X[:, 0] - 0.8 * X[:, 1] + 0.5 * X[:, 2]
    if family == "gaussian":
        y = eta + rng.standard_normal(n)
    elif family == "logistic":
        y = (rng.random(n) < 1 / (1 + np.exp(-1.5 * eta))).astype(float)
    else:
        y = rng.poisson(np.exp(0.5 * eta)).astype(float)
    return X, y


def foldid_for(n, k=4):
    return np.arange(n) % k


@pytest.mark.parametrize("family,measure", [
    ("gaussian", "mae"), ("logistic", "class"), ("logistic", "auc"), ("poisson", "deviance")])
def test_chosen_lambdas_follow_the_cv_curve(family, measure):
    X, y = make_data(family)
    a = varnel.cv_path(X, y, family, foldid=foldid_for(len(y)), measure=measure)
    assert a.lambda_1se >= a.lambda_min
    np.testing.assert_array_equal(a.lambdas, a.path.lambdas)
    np.testing.assert_array_equal(a.nzero, a.path.df)
    best = np.nanmax(a.cvm) if measure == "auc" else np.nanmin(a.cvm)
    assert a.cvm[a.index_min] == best
    # lambda_1se: the largest lambda within one standard error of the best
    thr = a.cvm[a.index_min] + (-1 if measure == "auc" else 1) * a.cvsd[a.index_min]
    inside = a.cvm >= thr if measure == "auc" else a.cvm <= thr
    assert a.index_1se == np.flatnonzero(inside)[0]
    np.testing.assert_allclose(a.cvup - a.cvm, a.cvsd)
    np.testing.assert_allclose(a.cvm - a.cvlo, a.cvsd)
    if measure != "class":
        return
    for s, lam in (("lambda_1se", a.lambda_1se), ("lambda_min", a.lambda_min), (0.01, 0.01)):
        np.testing.assert_array_equal(a.coef(s), a.path.coef(lam))
        np.testing.assert_array_equal(a.predict(X, s=s, kind="class"), a.path.predict(X, s=lam, kind="class"))
    np.testing.assert_array_equal(a.coef(), a.coef("lambda_1se"))
    assert a.intercept() == a.path.intercept(a.lambda_1se)
    with pytest.raises(ValueError, match="lambda_1se"):
        a.coef("best")
    assert "Misclassification error" in repr(a) and a.to_dict()["lambda_1se"] == a.lambda_1se


@pytest.mark.parametrize("kind", ["folds", "folds, from statistics", "overlapping splits", "relaxed",
                                  "relaxed poisson"])
def test_cvm_matches_a_hand_computation(kind):
    """Every (blend, lambda) score is the weighted mean over the folds of the
    held-out loss of the fold's path (relaxed and blended with relax=True),
    fitted alone over the full path's lambdas."""
    relax, family = kind.startswith("relaxed"), "poisson" if kind.endswith("poisson") else "gaussian"
    X, y = make_data(family, n=90 if relax else 60)
    rng = np.random.default_rng(1)
    w, offset = rng.uniform(0.5, 2.0, len(y)), 0.2 * rng.standard_normal(len(y)) * relax
    # the folds in memory start each lambda from the full-data solution, the
    # fits here from their previous one: the same solutions to a tight thresh
    measure, tight, rtol, atol = "deviance" if family == "poisson" else "mae", dict(thresh=1e-14), 1e-6, 1e-6
    fid = foldid_for(len(y), 3)
    splits = [(np.flatnonzero(fid != k), np.flatnonzero(fid == k)) for k in range(3)]
    blends, extra = ((0.0, 0.25, 1.0), dict(relax=True, offset=offset)) if relax else ((None,), {})
    if kind == "folds":
        cvp = varnel.cv_path(X, y, foldid=fid, weights=w, measure=measure, keep=True, **tight)
    elif kind == "folds, from statistics":  # the covariance solver's folds from per-fold statistics; large
        # means (an intercept near 1e6 holds its fits' predictions to about 1e6 eps)
        measure, tight, rtol, X[:, 1], y = "mse", dict(thresh=1e-13), 1e-9, X[:, 1] + 1e6, y + 1e4
        cvp = varnel.cv_path(X, y, foldid=fid, weights=w, measure=measure, **tight)
    elif relax:
        rtol = 1e-9
        cvp = varnel.cv_path(X, y, family, foldid=fid, weights=w, measure=measure, blend=blends, **extra, **tight)
    else:  # rows 40-49 are held out twice, rows 50-59 never
        splits = [(np.arange(30), np.arange(30, 50)), (np.arange(10, 60), np.r_[0:10, 40:50])]
        cvp = varnel.cv_path(X, y, splits=splits, weights=w, measure="mae", **tight)
        assert cvp.foldid is None and cvp.fit_preval is None
    lam = cvp.path.lambdas
    per_fold, fold_w = [], []
    for tr, te in splits:
        fold = varnel.fit_path(X[tr], y[tr], family, weights=w[tr], user_lambda=lam, **tight,
                               **{k: v[tr] if k == "offset" else v for k, v in extra.items()})
        assert fold.n_lambdas == len(lam)
        scores = []
        for b in blends:
            pred = fold.predict(X[te], lam, kind="response", offset=offset[te] if relax else None,
                                **({} if b is None else dict(blend=b)))
            if cvp.fit_preval is not None:
                np.testing.assert_allclose(cvp.fit_preval[te], pred, rtol=rtol, atol=atol)
            yt = y[te][:, None]
            loss = (2 * (np.where(yt > 0, yt * np.log(np.where(yt > 0, yt, 1) / pred), 0) - (yt - pred))
                    if measure == "deviance" else np.abs(yt - pred) ** (2 if measure == "mse" else 1))
            scores.append(w[te] @ loss / w[te].sum())
        per_fold.append(scores)
        fold_w.append(w[te].sum())
    per_fold, fold_w = np.array(per_fold), np.array(fold_w)
    cvm = np.einsum("k,kbl->bl", fold_w, per_fold) / fold_w.sum()
    if relax:
        np.testing.assert_allclose(cvp.cvm_blends, cvm, rtol=rtol)
        b, l = np.unravel_index(np.argmin(cvm), cvm.shape)
        assert (cvp.blend_min, cvp.lambda_min) == (blends[b], lam[l])
        return
    cvsd = np.sqrt(fold_w @ (per_fold[:, 0] - cvm[0]) ** 2 / fold_w.sum() / (len(splits) - 1))
    np.testing.assert_allclose(cvp.fold_scores, per_fold[:, 0], rtol=rtol)
    np.testing.assert_allclose(cvp.cvm, cvm[0], rtol=rtol)
    np.testing.assert_allclose(cvp.cvsd, cvsd, rtol=max(rtol, 1e-8))


def test_integer_weights_equal_repeated_rows():
    X, y = make_data(n=40)
    rng = np.random.default_rng(2)
    w = rng.integers(1, 4, len(y)).astype(float)
    fid = foldid_for(len(y), 4)
    a = varnel.cv_path(X, y, foldid=fid, weights=w, thresh=1e-12)
    rep = np.repeat(np.arange(len(y)), w.astype(int))
    b = varnel.cv_path(X[rep], y[rep], foldid=fid[rep], thresh=1e-12)
    np.testing.assert_allclose(a.lambdas, b.lambdas, rtol=1e-10)
    np.testing.assert_allclose(a.cvm, b.cvm, rtol=1e-6)
    np.testing.assert_allclose(a.cvsd, b.cvsd, rtol=1e-6)


def test_weighted_auc_matches_scikit_learn():
    metrics = pytest.importorskip("sklearn.metrics")
    rng = np.random.default_rng(0)
    y = (rng.random(50) < 0.4).astype(float)
    score = np.round(rng.standard_normal(50) + y, 1)  # with ties
    w = rng.uniform(0.1, 3, 50)
    assert weighted_auc(score, y, w) == pytest.approx(metrics.roc_auc_score(y, score, sample_weight=w))
    assert weighted_auc(score, y, np.ones(50)) == pytest.approx(metrics.roc_auc_score(y, score))
    assert np.isnan(weighted_auc(score, np.zeros(50), w))


OVERLAPPING = [(np.arange(60), np.arange(50, 80)), (np.arange(30), np.arange(40, 80))]


@pytest.mark.parametrize("kwargs,exc,match", [
    (dict(measure="auc"), ValueError,
     r"measure='auc' is not available for the gaussian family; it serves the logistic family; choose one of"),
    (dict(measure="class"), ValueError, "it serves the logistic and multinomial families"),
    (dict(measure="r2"), ValueError, r"measure='r2' is not available for the gaussian family; choose"),
    (dict(alpha=[0.5, 2.0]), ValueError, r"alpha\[1\] must lie in \[0, 1\], got 2"),
    (dict(nfolds=81), ValueError, "n_samples=80"),
    (dict(nfolds=1), ValueError, "at least 2"),
    (dict(foldid=[0, 1]), ValueError, "foldid"),
    (dict(foldid=np.r_[np.nan, np.arange(79) % 4]), ValueError, "NaN"),
    (dict(foldid=np.arange(80) % 4 + 0.5), ValueError, "integers"),
    (dict(foldid=np.array(list("abcd") * 20)), TypeError, "foldid must hold integers"),
    (dict(splits=[(np.arange(40), [])]), ValueError, r"splits\[0\] has an empty test set"),
    (dict(splits=[(np.arange(40), [80])]), ValueError, r"splits\[0\] test holds row indices outside"),
    (dict(splits=OVERLAPPING, foldid=np.arange(80) % 2), ValueError, "not both"),
    (dict(splits=OVERLAPPING, keep=True), ValueError, "keep=True"),
    (dict(verbose="yes"), TypeError, "verbose of cv_path must be 0, 1 or 2"),
    (dict(verbose=5), ValueError, r"verbose of cv_path must be 0 \(silent\)"),
    (dict(callback="print"), TypeError, "callback of cv_path must be a callable"),
    (dict(intercept="False"), TypeError, "intercept"),
    (dict(alpha=[]), ValueError, "alpha"),
    (dict(blend=0.5), ValueError, r"blend=0.5 cross-validates relaxed fits: pass relax=True"),
    (dict(relax=True, blend=[0.5, 1.5]), ValueError, r"blend\[1\] must lie in \[0, 1\], got 1.5"),
    (dict(relax=True, blend=-0.5), ValueError, r"blend must lie in \[0, 1\]"),
    (dict(relax=True, blend=[]), ValueError, "blend must be a number in"),
    (dict(relax=True, blend=[1.0, 1]), ValueError, "blend holds a value twice"),
    (dict(relax=True, keep=True), ValueError, "keep=True is not available with relax=True in "
                                              "cross-validation.*relax=False to keep them"),
    (dict(relax="yes"), TypeError, "relax must be True or False"),
])
def test_invalid_arguments(kwargs, exc, match):
    X, y = make_data()
    with pytest.raises(exc, match=match):
        varnel.cv_path(X, y, nfolds=kwargs.pop("nfolds", 3), **kwargs)


# ---- folds that cannot be fitted: the same ValueError, naming the fold, in every plan ----

#: plan -> the options that choose it: the folds' fits on one or two threads,
#: or the covariance solver's folds from per-fold statistics
PLANS = {"folds, 1 thread": dict(solver="naive", n_jobs=1),
         "folds, 2 threads": dict(solver="naive", n_jobs=2),
         "from statistics": dict(n_jobs=2)}
FOLD_ADVICE = ("choose other folds (foldid, or nfolds and seed) so that the training rows of "
               "every fold can be fitted")


def _first_fold_without_solution(X, y, fid, solver, **limit):
    """The first fold whose own path over the full path's lambdas has no
    solution (fitted alone by fit_path), or None."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", varnel.PathWarning)
        lam = varnel.fit_path(X, y, solver=solver, **limit).lambdas
        for k in np.unique(fid):
            train = fid != k
            fold = varnel.fit_path(X[train], y[train], solver=solver, **dict(limit, user_lambda=lam))
            if fold.n_lambdas == 0:
                return int(k)
    return None


def _stops_before_first_solution(X, y, fid, solver, limit):
    [(name, value)] = limit.items()
    k = _first_fold_without_solution(X, y, fid, solver, **limit)
    assert k is not None  # the case is what it says
    return limit, f"cross-validation fold {k} stopped before its first solution: {name}={value} reached; raise {name}"


def _weightless_training_rows(X, y, fid, solver):
    w = (fid == 0).astype(float)  # fold 0 trains on rows of weight 0 only
    return dict(weights=w), ("cross-validation fold 0: the weights of its training rows sum to 0, so it "
                             f"has nothing to fit; {FOLD_ADVICE}")


def _constant_training_rows(X, y, fid, solver):
    X[fid != 2] = np.arange(1.0, X.shape[1] + 1)  # only fold 2's rows vary
    return {}, ("cross-validation fold 2: every column of X is constant on its training rows of "
                f"positive weight, or excluded: it has no variable to fit; {FOLD_ADVICE}")


def _overflowing(column):
    def case(X, y, fid, solver):
        (y if column == "y" else X[:, column])[...] *= 1e300
        with pytest.raises(ValueError) as info:
            varnel.fit_path(X, y, solver=solver)
        return {}, str(info.value)
    return case


FOLD_FAILURES = {
    "maxit": lambda X, y, fid, solver: _stops_before_first_solution(X, y, fid, solver, {"maxit": 1}),
    "pmax": lambda X, y, fid, solver: _stops_before_first_solution(X, y, fid, solver, {"pmax": 0}),
    "weightless training rows": _weightless_training_rows,
    "constant training rows": _constant_training_rows,
    "overflowing y": _overflowing("y"),
    "overflowing column 3 of X": _overflowing(3),
}


@pytest.mark.parametrize("plan", list(PLANS))
@pytest.mark.parametrize("case", list(FOLD_FAILURES))
def test_a_fold_that_cannot_be_fitted_is_named_in_every_plan(case, plan, monkeypatch):
    from varnel._sources import _statistics

    X, y = make_data(n=120, p=5)
    fid = foldid_for(len(y))
    options = dict(PLANS[plan])
    solver = options.get("solver", "covariance")
    kw, message = FOLD_FAILURES[case](X, y, fid, solver)
    routes = []  # whether the plan runs from per-fold statistics
    uses = _statistics.uses_statistics
    monkeypatch.setattr(_statistics, "uses_statistics", lambda *a: routes.append(uses(*a)) or routes[-1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", varnel.PathWarning)
        warnings.simplefilter("error", RuntimeWarning)  # an overflow is the error, not a warning
        with pytest.raises(ValueError) as info:
            varnel.cv_path(X, y, foldid=fid, **options, **kw)
    assert str(info.value) == message
    assert "jerr" not in message and "statistics[" not in message
    assert routes == [plan == "from statistics"]


@pytest.mark.parametrize("plan", ["every mix fits"] + list(PLANS))
def test_a_grid_of_mixes_is_its_best_mix_and_leaves_out_a_mix_without_a_solution(plan):
    """The grid's result is its best mix's own cross-validation on the same
    folds. At the caller's lambda 5 with maxit=2, a fold of the nearly ridge
    mix stops before its first solution: that mix is left out with a
    warning, and the result is the lasso's own cross-validation."""
    if plan == "every mix fits":
        X, y = make_data()
        grid = varnel.cv_path(X, y, foldid=foldid_for(len(y)), alpha=[0.1, 0.5, 1.0])
        best = min((varnel.cv_path(X, y, foldid=foldid_for(len(y)), alpha=a) for a in (0.1, 0.5, 1.0)),
                   key=lambda c: c.cvm[c.index_min])
        assert grid.alpha == best.alpha == grid.path.alpha and list(grid.alphas) == [0.1, 0.5, 1.0]
        assert grid.lambda_1se == best.lambda_1se and "best of 3 mixes" in grid.summary()
    else:
        rng = np.random.default_rng(0)
        X = rng.standard_normal((200, 10))
        y = X[:, 0] + rng.standard_normal(200)
        fid = foldid_for(len(y))
        kw = dict(PLANS[plan], user_lambda=[5.0, 2.5], maxit=2, foldid=fid)
        solver, limit = kw.get("solver", "covariance"), dict(user_lambda=[5.0, 2.5], maxit=2)
        k = _first_fold_without_solution(X, y, fid, solver, alpha=0.05, **limit)
        assert k is not None and _first_fold_without_solution(X, y, fid, solver, alpha=1.0, **limit) is None
        with pytest.warns(varnel.PathWarning) as rec:
            grid = varnel.cv_path(X, y, alpha=[0.05, 1.0], **kw)
        assert (f"cross-validation: alpha=0.05 is left out: fold {k} stopped before its first solution "
                "(maxit=2 reached; raise maxit)") in [str(r.message) for r in rec]
        assert all(r.filename == __file__ for r in rec)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", varnel.PathWarning)
            best = varnel.cv_path(X, y, alpha=1.0, **kw)
            with pytest.raises(ValueError, match=rf"^cross-validation fold {k} stopped before its first "
                                                 r"solution: maxit=2 reached; raise maxit$"):
                varnel.cv_path(X, y, alpha=0.05, **kw)
        assert grid.alpha == 1.0 and list(grid.alphas) == [0.05, 1.0]
    for name in ("lambdas", "cvm", "cvsd", "fold_scores", "fold_n_lambdas"):
        np.testing.assert_array_equal(getattr(grid, name), getattr(best, name))


def test_short_fold_paths_are_padded_with_their_last_solution():
    X, y = make_data(n=50)
    lam = varnel.fit_path(X, y).lambdas
    so = dict(alpha=1.0, nlambda=100, user_lambda=lam, standardize=True, intercept=True,
              thresh=1e-7, maxit=40)
    weights = np.r_[np.zeros(10), np.ones(40)]  # rows 0-9 held out
    k, eta, lmu, warn = fold_task(0, np.asfortranarray(X), y, weights, np.arange(10),
                                  get_family("gaussian"), so)
    assert warn is not None and 0 < lmu < len(lam)
    assert eta.shape == (10, len(lam))
    for j in range(lmu, len(lam)):
        np.testing.assert_array_equal(eta[:, j], eta[:, lmu - 1])


@pytest.mark.parametrize("family, largest, started", [
    ("logistic", None, True), ("multinomial", None, True), ("poisson", 0, False),
    ("gaussian", None, False)],  # least squares: the folds from per-fold statistics
    ids=["logistic", "multinomial", "over the size limit", "from statistics"])
def test_folds_start_from_the_full_data_solutions(family, largest, started, monkeypatch):
    """Every fold fitted in memory is given the full-data path's solutions
    (caller's scale) as the starts of its lambdas, unless the path is too
    large to copy, and its held-out predictions are those of the folds
    fitted without them (both converged tightly)."""
    from varnel import _fit, cv
    from varnel._sources import _memory

    X, y = make_data("gaussian" if family == "multinomial" else family, n=90)
    if family == "multinomial":  # three classes by the tertiles of a noisy response
        y = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    if largest is not None:
        monkeypatch.setattr(cv, "WARM_START_VALUES", largest)
    seen, original = [], _fit.solve
    monkeypatch.setattr(_memory._fit, "solve", lambda *a, **k: seen.append(a[3]) or original(*a, **k))
    fid = foldid_for(len(y), 3)
    kw = dict(foldid=fid, n_jobs=1, keep=family != "gaussian", nlambda=20, thresh=1e-13)
    cvp = varnel.cv_path(X, y, family, **kw)
    folds = [so for so in seen if "starts_beta" in so]
    assert len(folds) == (3 if started else 0)
    for so in folds:
        np.testing.assert_array_equal(so["starts_beta"], cvp.path.dense_coefs())
        np.testing.assert_array_equal(so["starts_a0"], cvp.path.intercepts)
    if started:
        monkeypatch.setattr(cv, "WARM_START_VALUES", -1)
        cold = varnel.cv_path(X, y, family, **kw)
        assert len(seen) == 8 and all("starts_beta" not in so for so in seen[4:])
        scale = np.abs(cold.fit_preval).max()
        np.testing.assert_allclose(cvp.fit_preval, cold.fit_preval, rtol=0, atol=1e-5 * scale)


@pytest.mark.parametrize("family, n_jobs, maxit, fold_warning", [
    (f, j, None, None) for f in ("poisson", "gaussian") for j in (None, 2, -1)] + [  # (gaussian: from statistics)
    ("logistic", 2, 55, None), ("logistic", 2, 120, "fold 0 at lambda index 12")])
def test_folds_on_threads_match_serial(family, n_jobs, maxit, fold_warning):
    # with the caller's lambdas the folds are fitted over every lambda, those
    # past the full-data path's last solution from their own previous one: a
    # path cut short at maxit must give the serial run's scores, predictions
    # and warnings on threads too
    X, y = make_data(family, n=120, p=8) if maxit else make_data(family)
    lam, keep = np.geomspace(0.2, 1e-4, 30), family != "gaussian"
    kw = dict(user_lambda=lam, maxit=maxit) if maxit else {}
    runs = []
    for jobs in (1, n_jobs):
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            cvp = varnel.cv_path(X, y, family, foldid=foldid_for(len(y), 5), n_jobs=jobs, keep=keep, **kw)
        runs.append((cvp, [str(w.message) for w in seen]))
    (a, said_a), (b, said_b) = runs
    assert said_a == said_b
    if maxit:
        assert said_a[0].startswith("path stopped at lambda index")
        assert (fold_warning is None) == (len(said_a) == 1)
        assert fold_warning is None or fold_warning in said_a[1]
        assert a.path.n_lambdas < len(lam) and a.fold_scores.shape == (5, a.path.n_lambdas)
    np.testing.assert_array_equal(a.path.lambdas, b.path.lambdas)
    for name in ("cvm", "fold_scores", "fold_n_lambdas") + (("fit_preval",) if keep else ()):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))


# ---- threads: the defaults fall back to the limits a caller set -------------------------

# context (a context manager, or None for a joblib worker's thread) -> (default
# threads, plan of cv_path's 10 folds, plan of an estimator's 10 folds)
THREAD_CONTEXTS = {
    "plain": (contextlib.nullcontext, 8, ("threads", 8, 1), ("serial", 1, 8)),
    "joblib thread": (None, 1, ("serial", 1, None), ("serial", 1, None)),
    "threadpoolctl": (lambda: pytest.importorskip("threadpoolctl").threadpool_limits(limits=2), 2,
                      ("threads", 2, 1), ("serial", 1, 2)),
    "OMP_NUM_THREADS": (lambda: mock.patch.dict(os.environ, OMP_NUM_THREADS="3"), 3, ("threads", 3, 1),
                        ("serial", 1, 3)),
    "backend": (lambda: pytest.importorskip("joblib").parallel_backend("multiprocessing", n_jobs=2),  # not in-process
                8, ("joblib", 2, None), ("joblib", 2, None)),
}


@pytest.mark.parametrize("case", list(THREAD_CONTEXTS))
def test_thread_defaults_follow_the_callers_limit(case, monkeypatch):
    """On a machine of 8 cores: every core, down to the limit of a joblib
    worker, threadpoolctl or OMP_NUM_THREADS; folds on threads for cv_path,
    one at a time for an estimator with n_jobs=None, on a backend the caller
    activated."""
    from varnel import _parallel

    context, threads, cv_plan, estimator_plan = THREAD_CONTEXTS[case]

    def within(fn):
        if context is None:
            joblib = pytest.importorskip("joblib")
            return joblib.Parallel(n_jobs=2, backend="threading")(joblib.delayed(fn)() for _ in range(2))[0]
        with context():
            return fn()

    monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    monkeypatch.setattr(_parallel, "available_cores", lambda: 8)
    if case != "threadpoolctl":  # the BLAS of this process may use fewer
        monkeypatch.setattr(_parallel, "_threadpoolctl_limit", lambda: None)
    assert within(_parallel.default_threads) == threads
    assert within(lambda: _parallel.plan(None, 10, True)) == cv_plan
    assert within(lambda: _parallel.plan(None, 10, False)) == estimator_plan
    if case == "plain":
        assert _parallel.plan(-2, 10, False) == ("threads", 7, 1)
        assert _parallel.plan(4, 3, True) == ("threads", 3, 2)
        with pytest.raises(ValueError, match="n_jobs == 0"):
            _parallel.plan(0, 3, True)


def test_loky_workers_and_grid_search_use_their_share_of_the_cores():
    """GridSearchCV(n_jobs=2) over an estimator that asks for every core:
    each loky worker gets cores // 2 threads (joblib's limit), and under the
    threading backend the folds of a worker run one at a time on one thread."""
    joblib = pytest.importorskip("joblib")
    model_selection = pytest.importorskip("sklearn.model_selection")
    from varnel import _core, _parallel

    shares = joblib.Parallel(n_jobs=2, backend="loky")(
        joblib.delayed(_parallel.default_threads)() for _ in range(2))
    assert shares == [max(1, _parallel.available_cores() // 2)] * 2
    X, y = make_data("logistic", n=120)
    seen, fit = [], _core.fit
    try:
        _core.fit = lambda *a, **k: seen.append(k["n_threads"]) or fit(*a, **k)
        with joblib.parallel_backend("threading"):
            model_selection.GridSearchCV(varnel.LogisticNetClassifier(n_jobs=-1, cv=3),
                                         {"l1_ratio": [0.5, 1.0]}, cv=2, n_jobs=2).fit(X, y)
    finally:
        _core.fit = fit
    assert len(seen) > 10 and set(seen) == {1}


# Peak memory of cv_path in a child process: X read in place by every fold.
MEMORY_CHILD = r"""
import ctypes, json, numpy as np, scipy.sparse as sp, varnel
libc = ctypes.CDLL("libc.so.6")
libc.mallopt(-3, 1 << 17)  # M_MMAP_THRESHOLD fixed: large blocks go back to the system when freed
def peak_kb():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
rng = np.random.default_rng(0)
n, p = 20000, 60
dense = np.asfortranarray(rng.normal(size=(n, p)))
sparse = sp.random(n, 4 * p, density=0.1, format="csc", random_state=1, dtype=np.float64)
sparse.indices = sparse.indices.astype(np.int32)
eta = dense[:, :4] @ np.array([1.0, -1.0, 0.5, 0.5]) + rng.normal(size=n)
ys = {"gaussian": eta, "logistic": (eta > 0).astype(float),
      "poisson": rng.poisson(np.exp(0.3 * eta)).astype(float),
      "multinomial": np.digitize(eta, [-0.5, 0.5]).astype(float)}
runs = {}
for family, y in ys.items():
    for kind, X in (("dense", dense), ("sparse", sparse)):
        varnel.cv_path(X[:300], y[:300], family, nfolds=3, nlambda=3)  # first calls
        libc.malloc_trim(0)
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        before = peak_kb()
        varnel.cv_path(X, y, family, nfolds=4, nlambda=10, n_jobs=2, seed=0, solver="naive")
        size = X.nbytes if kind == "dense" else X.data.nbytes + X.indices.nbytes + X.indptr.nbytes
        runs[f"{family}-{kind}"] = {"extra": (peak_kb() - before) * 1024, "x": size}
print(json.dumps(runs))
"""
MEMORY_RUNS = {}


@pytest.mark.parametrize("kind", ["dense", "sparse"])
@pytest.mark.parametrize("family", ["gaussian", "logistic", "poisson", "multinomial"])
def test_cv_memory_is_x_read_in_place(family, kind):
    """Two folds at a time on X read in place: the peak over the resident
    memory before the call stays under 1.5 X plus what every fold needs
    whatever its storage (per thread: a few vectors of n values, K of them
    for the multinomial family, and the held-out predictions n/4 x K x 10)."""
    import json
    import subprocess

    if not os.access("/proc/self/clear_refs", os.W_OK) or not sys.platform.startswith("linux"):
        pytest.skip("needs Linux's /proc/self/clear_refs to measure the peak of one call")
    if C.ASAN:
        pytest.skip("ASan keeps freed memory in quarantine")
    if not MEMORY_RUNS:
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True,
                             timeout=600)
        assert out.returncode == 0, out.stderr[-2000:]
        MEMORY_RUNS.update(json.loads(out.stdout.strip().splitlines()[-1]))
    got = MEMORY_RUNS[f"{family}-{kind}"]
    nk = 3 if family == "multinomial" else 1
    per_fold = 20000 * nk * 8 * (8 + 10 / 4)  # working vectors and held-out predictions
    assert got["extra"] <= 1.5 * got["x"] + 2 * per_fold + 3e6, got


# ---- progress: the callback after each lambda of every path and fold ------------------------
@pytest.mark.parametrize("route, relax", [(r, False) for r in ("memory", "statistics", "memory_logistic", "blocks",
                                                                   "blocks_logistic")]
                         + [(r, True) for r in ("memory", "statistics", "memory_logistic")])
def test_callback_reports_every_lambda_of_the_path_and_of_each_fold(route, relax):
    """On each route (rows in memory fitted fold by fold, per-fold
    statistics, Dask blocks from statistics or by passes); the relaxed
    refits of the path and of every fold report no lambdas of their own."""
    family = "logistic" if route.endswith("logistic") else "gaussian"
    X, y = make_data(family, n=120, p=5)
    fid = foldid_for(len(y), 4)
    if route.startswith("blocks"):
        da = pytest.importorskip("dask.array")
        X, y, fid = (da.from_array(a, chunks=(40,) + a.shape[1:]) for a in (X, y, fid))
    kw = dict(foldid=fid, measure="mse" if family == "gaussian" else "deviance", relax=relax,
              solver="naive" if route == "memory" else "auto", blend=(0.0, 1.0) if relax else None)
    seen = []
    cvp = varnel.cv_path(X, y, family, callback=seen.append, **kw)
    plain = varnel.cv_path(X, y, family, **kw)
    np.testing.assert_array_equal(cvp.cvm, plain.cvm)
    full = [r for r in seen if r.fold is None]
    assert [r.index for r in full] == list(range(cvp.path.n_lambdas))
    np.testing.assert_array_equal([r.dev_ratio for r in full], cvp.path.dev_ratio)
    np.testing.assert_array_equal([r.df for r in full], cvp.path.df)
    for k in range(4):  # each fold's lambdas in order, as far as the fold went
        mine = [r for r in seen if r.fold == k]
        assert [r.index for r in mine] == list(range(cvp.fold_n_lambdas[k]))
        np.testing.assert_allclose([r.lambda_ for r in mine], cvp.lambdas[:len(mine)], rtol=1e-12)
    assert {r.fold for r in seen} == {None, 0, 1, 2, 3}


def test_callbacks_of_folds_on_two_threads_come_one_at_a_time():
    import threading
    import time

    X, y = make_data(n=300, p=30)
    inside, overlaps, threads, seen = [0], [], set(), []

    def slow(record):  # sleeps (the lock released) while it is inside
        inside[0] += 1
        overlaps.append(inside[0] > 1)
        if record.fold is not None:  # (the full-data path comes first, on the caller's thread)
            threads.add(threading.get_ident())
        seen.append((record.fold, record.index))
        time.sleep(0.002)
        inside[0] -= 1

    cvp = varnel.cv_path(X, y, nfolds=4, seed=1, n_jobs=2, solver="naive", callback=slow,
                         user_lambda=np.geomspace(1.0, 0.01, 40))
    assert not any(overlaps) and len(threads) == 2  # the folds ran on two threads at once
    for k in [None, 0, 1, 2, 3]:
        assert [i for f, i in seen if f == k] == list(range(cvp.path.n_lambdas))


def test_a_false_answer_stops_a_fold_as_maxit_does_and_an_exception_propagates():
    X, y = make_data(n=120, p=5)
    fid = foldid_for(len(y), 4)
    with pytest.warns(varnel.PathWarning, match=r"fold 2 at lambda index 3 \(Stopped\)"):
        cvp = varnel.cv_path(X, y, foldid=fid, solver="naive",
                             callback=lambda r: not (r.fold == 2 and r.index == 2))
    assert list(cvp.fold_n_lambdas) == [cvp.path.n_lambdas] * 2 + [3, cvp.path.n_lambdas]

    def fail(record):  # from a fold's thread
        if record.fold == 1 and record.index == 4:
            raise KeyError("from fold 1")

    with pytest.raises(KeyError, match="from fold 1"):
        varnel.cv_path(X, y, nfolds=3, seed=0, n_jobs=2, solver="naive", callback=fail)


@pytest.mark.parametrize("verbose, tqdm", [(2, False), (1, False), (2, True)])
def test_cv_verbose_shows_every_path_and_fold(monkeypatch, capfd, verbose, tqdm):
    import re

    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    X, y = make_data(n=120, p=5)
    cvp = varnel.cv_path(X, y, nfolds=3, seed=0, solver="naive", verbose=verbose,
                         user_lambda=[0.5, 0.1, 0.01])
    out, err = capfd.readouterr()
    assert out == "" and cvp.path.n_lambdas == 3
    lines = [ln.rstrip() for ln in re.split(r"[\r\n]", err) if ln]
    if not tqdm:
        assert err.endswith("cross-validation: 12/12 lambdas\n")
    rows = [ln for ln in lines if re.match(r" *(all|\d) ", ln) or ln.startswith(" fold")]
    if verbose == 1:
        assert rows == []
        return
    assert rows[0] == " fold  index       lambda     df    %dev   passes"
    assert sorted(r.split()[0] for r in rows[1:]) == ["0"] * 3 + ["1"] * 3 + ["2"] * 3 + ["all"] * 3
    assert [r.split()[:2] for r in rows[1:] if r.split()[0] == "all"] == [["all", "0"], ["all", "1"],
                                                                           ["all", "2"]]


def test_the_blend_and_lambda_chosen_by_one_standard_error():
    """choose_blend: the best pair, then the largest lambda with a pair
    within one standard error, at it the blend nearest 1."""
    from varnel.cv import choose_blend

    cvm = np.array([[5.0, 3.0, 1.0, 1.2],    # blend 0
                    [5.0, 3.0, 1.5, 2.0],    # blend 0.5
                    [5.0, 1.4, 2.5, 2.6]])   # blend 1
    cvsd = np.full_like(cvm, 0.5)
    assert choose_blend(cvm, cvsd, "deviance", (0.0, 0.5, 1.0)) == (0, 2, 2, 1)
    cvm[2, 1] = 3.0  # now lambda 2 is the largest within 1.5; blends 0 and 0.5 are within it
    assert choose_blend(cvm, cvsd, "deviance", (0.0, 0.5, 1.0)) == (0, 2, 1, 2)
    assert choose_blend(-cvm, cvsd, "auc", (0.0, 0.5, 1.0)) == (0, 2, 1, 2)
    cvsd[0, 2] = np.nan
    assert choose_blend(cvm, cvsd, "deviance", (0.0, 0.5, 1.0)) == (0, 2, 0, 2)
    with pytest.raises(ValueError, match="could not be computed at any blend and lambda"):
        choose_blend(np.full((2, 3), np.nan), cvsd[:2, :3], "deviance", (0.0, 1.0))
