"""varnel.cv_path: folds, measures, weights, the chosen lambdas."""


import numpy as np
import pytest

import varnel
from varnel.cv import fold_task
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
    assert a.nfolds == 4 and a.measure == measure
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


@pytest.mark.parametrize("kind", ["folds", "folds, from statistics", "overlapping splits"])
def test_cvm_matches_a_hand_computation(kind):
    X, y = make_data(n=60)
    w = np.random.default_rng(1).uniform(0.5, 2.0, len(y))
    measure, tight, rtol = "mae", {}, 1e-10
    if kind.startswith("folds"):
        fid = foldid_for(len(y), 3)
        splits = [(np.flatnonzero(fid != k), np.flatnonzero(fid == k)) for k in range(3)]
        if kind == "folds":
            cvp = varnel.cv_path(X, y, foldid=fid, weights=w, measure=measure, keep=True)
        else:  # the covariance solver's folds and scores from per-fold statistics; large means
            # (an intercept near 1e6 holds its fits' predictions to about 1e6 eps)
            measure, tight, rtol, X[:, 1], y = "mse", dict(thresh=1e-13), 1e-9, X[:, 1] + 1e6, y + 1e4
            cvp = varnel.cv_path(X, y, foldid=fid, weights=w, measure=measure, **tight)
    else:  # rows 40-49 are held out twice, rows 50-59 never
        splits = [(np.arange(30), np.arange(30, 50)), (np.arange(10, 60), np.r_[0:10, 40:50])]
        cvp = varnel.cv_path(X, y, splits=splits, weights=w, measure="mae")
        assert cvp.foldid is None and cvp.fit_preval is None
    lam = cvp.path.lambdas
    per_fold, fold_w = [], []
    for tr, te in splits:
        fold = varnel.fit_path(X[tr], y[tr], weights=w[tr], user_lambda=lam, **tight)
        pred = fold.predict(X[te])
        if fold.n_lambdas < len(lam):
            pred = np.column_stack([pred] + [pred[:, -1]] * (len(lam) - fold.n_lambdas))
        if cvp.fit_preval is not None:
            np.testing.assert_allclose(cvp.fit_preval[te], pred, rtol=1e-12, atol=1e-12)
        loss = np.abs(y[te][:, None] - pred) ** (2 if measure == "mse" else 1)
        per_fold.append(w[te] @ loss / w[te].sum())
        fold_w.append(w[te].sum())
    per_fold, fold_w = np.array(per_fold), np.array(fold_w)
    cvm = fold_w @ per_fold / fold_w.sum()
    cvsd = np.sqrt(fold_w @ (per_fold - cvm) ** 2 / fold_w.sum() / (len(splits) - 1))
    np.testing.assert_allclose(cvp.fold_scores, per_fold, rtol=rtol)
    np.testing.assert_allclose(cvp.cvm, cvm, rtol=rtol)
    np.testing.assert_allclose(cvp.cvsd, cvsd, rtol=1e-8)


def test_grid_of_mixes_shares_the_folds():
    X, y = make_data()
    fid = foldid_for(len(y))
    grid = varnel.cv_path(X, y, foldid=fid, alpha=[0.1, 0.5, 1.0])
    best = min((varnel.cv_path(X, y, foldid=fid, alpha=a) for a in (0.1, 0.5, 1.0)),
               key=lambda c: c.cvm[c.index_min])
    assert grid.alpha == best.alpha == grid.path.alpha and list(grid.alphas) == [0.1, 0.5, 1.0]
    for name in ("lambdas", "cvm", "cvsd", "fold_scores", "fold_n_lambdas"):
        np.testing.assert_array_equal(getattr(grid, name), getattr(best, name))
    assert grid.lambda_1se == best.lambda_1se
    assert "best of 3 mixes" in grid.summary()


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
    (dict(verbose="yes"), TypeError, "verbose"),
    (dict(intercept="False"), TypeError, "intercept"),
    (dict(alpha=[]), ValueError, "alpha"),
])
def test_invalid_arguments(kwargs, exc, match):
    X, y = make_data()
    with pytest.raises(exc, match=match):
        varnel.cv_path(X, y, nfolds=kwargs.pop("nfolds", 3), **kwargs)


def test_short_fold_paths_are_padded_with_their_last_solution():
    X, y = make_data(n=50)
    lam = varnel.fit_path(X, y).lambdas
    so = dict(alpha=1.0, nlambda=100, user_lambda=lam, standardize=True, intercept=True,
              thresh=1e-7, maxit=40)
    k, eta, lmu, warn = fold_task(0, X[10:], y[10:], None, X[:10], get_family("gaussian"), so)
    assert warn is not None and 0 < lmu < len(lam)
    assert eta.shape == (10, len(lam))
    for j in range(lmu, len(lam)):
        np.testing.assert_array_equal(eta[:, j], eta[:, lmu - 1])


def test_chosen_lambda_defaults():
    X, y = make_data("logistic")
    cvp = varnel.cv_path(X, y, "logistic", foldid=foldid_for(len(y)), measure="class")
    for s, lam in (("lambda_1se", cvp.lambda_1se), ("lambda_min", cvp.lambda_min), (0.01, 0.01)):
        np.testing.assert_array_equal(cvp.coef(s), cvp.path.coef(lam))
        np.testing.assert_array_equal(cvp.predict(X, s=s, kind="class"), cvp.path.predict(X, s=lam, kind="class"))
    np.testing.assert_array_equal(cvp.coef(), cvp.coef("lambda_1se"))
    assert cvp.intercept() == cvp.path.intercept(cvp.lambda_1se)
    with pytest.raises(ValueError, match="lambda_1se"):
        cvp.coef("best")
    assert "Misclassification error" in repr(cvp) and cvp.to_dict()["lambda_1se"] == cvp.lambda_1se


def test_parallel_folds_match_serial():
    pytest.importorskip("joblib")
    X, y = make_data("poisson")
    fid = foldid_for(len(y), 5)
    a = varnel.cv_path(X, y, "poisson", foldid=fid)
    b = varnel.cv_path(X, y, "poisson", foldid=fid, n_jobs=2)
    np.testing.assert_array_equal(a.cvm, b.cvm)
    np.testing.assert_array_equal(a.fold_n_lambdas, b.fold_n_lambdas)
