"""varnel.fit_path and varnel.Path: interpolation, prediction, display."""

import re
import warnings

import numpy as np
import pytest

import varnel


def make_data(n=60, p=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    eta = 0.8 * X[:, 0] - 0.6 * X[:, 2] + 0.3 * X[:, 4]
    return X, eta, rng


@pytest.fixture(scope="module")
def paths():
    X, eta, rng = make_data()
    out = {
        "gaussian": varnel.fit_path(X, eta + 0.5 * rng.standard_normal(len(eta))),
        "logistic": varnel.fit_path(X, np.where(rng.random(len(eta)) < 1 / (1 + np.exp(-2 * eta)), "b", "a"),
                                    family="logistic"),
        "poisson": varnel.fit_path(X, rng.poisson(np.exp(0.5 * eta)), family="poisson"),
    }
    return X, out


def test_path_attributes(paths):
    X, out = paths
    for family, path in out.items():
        L = path.n_lambdas
        assert path.family == family and len(path) == L > 5 and path.warning is None
        assert path.lambdas.shape == path.intercepts.shape == path.dev_ratio.shape == (L,)
        assert path.coefs.shape == (X.shape[1], L) and np.all(np.diff(path.lambdas) < 0)
        np.testing.assert_array_equal(path.df, np.count_nonzero(path.coefs, axis=0))
        assert path.df[0] == 0 and path.nulldev > 0 and path.npasses > 0


def test_coef_and_intercept_interpolate_linearly_in_lambda(paths):
    X, out = paths
    for path in out.values():
        lam = path.lambdas
        np.testing.assert_array_equal(path.coef(), path.coefs)
        np.testing.assert_array_equal(path.coef(lam), path.coefs)  # exact at the fitted lambdas
        np.testing.assert_array_equal(path.intercept(), path.intercepts)
        for k in (0, 3, path.n_lambdas - 2):
            s = 0.75 * lam[k] + 0.25 * lam[k + 1]
            np.testing.assert_allclose(path.coef(s), 0.75 * path.coefs[:, k] + 0.25 * path.coefs[:, k + 1],
                                       rtol=1e-10, atol=1e-12)
            assert path.intercept(s) == pytest.approx(0.75 * path.intercepts[k] + 0.25 * path.intercepts[k + 1])
        # clamped at both ends; the shapes follow s
        np.testing.assert_array_equal(path.coef(10 * lam[0]), path.coefs[:, 0])
        np.testing.assert_array_equal(path.coef(0.0), path.coefs[:, -1])
        assert path.coef([0.1, 0.05, 0.2]).shape == (X.shape[1], 3) and isinstance(path.intercept(0.1), float)
        for bad in ([[0.1]], float("nan")):
            with pytest.raises(ValueError):
                path.coef(bad)


def test_predict_matches_hand_computation(paths):
    X, out = paths
    Xn = make_data(n=15, seed=9)[0]
    for family, path in out.items():
        s = [path.lambdas[2], 0.5 * (path.lambdas[4] + path.lambdas[5])]
        eta = path.intercept(s) + Xn @ path.coef(s)
        np.testing.assert_allclose(path.predict(Xn, s=s), eta, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(path.predict(Xn), path.intercepts + Xn @ path.coefs, atol=1e-12)
        one = path.predict(Xn, s=s[1])
        assert one.shape == (15,)
        np.testing.assert_allclose(one, eta[:, 1], atol=1e-12)
        resp = path.predict(Xn, s=s, kind="response")
        if family == "gaussian":
            np.testing.assert_allclose(resp, eta, atol=1e-12)
        elif family == "logistic":
            np.testing.assert_allclose(resp, 1 / (1 + np.exp(-eta)), rtol=1e-12)
            labels = path.predict(Xn, s=s, kind="class")
            np.testing.assert_array_equal(labels, np.where(eta > 0, "b", "a"))
        else:
            np.testing.assert_allclose(resp, np.exp(eta), rtol=1e-12)


def test_predict_errors(paths):
    X, out = paths
    with pytest.raises(ValueError, match="class"):
        out["gaussian"].predict(X, kind="class")
    with pytest.raises(ValueError, match="kind"):
        out["gaussian"].predict(X, kind="probability")
    with pytest.raises(ValueError, match="features"):
        out["gaussian"].predict(X[:, :3])
    # one row given as a 1-D array: the message says how to make it a row
    with pytest.raises(ValueError, match=r"^X must be 2-D \(n_samples, n_features\), got shape \(6,\); "
                                         r"use X\.reshape\(1, -1\) for a single row$"):
        out["gaussian"].predict(X[0])


def test_summary_and_options(paths):
    _, out = paths
    path = out["gaussian"]
    lines = path.summary().splitlines()
    assert lines[0].split() == ["Df", "%Dev", "Lambda"] and len(lines) == path.n_lambdas + 1
    assert [float(v) for v in lines[-1].split()[1:3]] == [path.df[-1], round(100 * path.dev_ratio[-1], 2)]
    assert repr(path).startswith("varnel.Path(family='gaussian'") and lines[-1] in repr(path)
    X, eta, rng = make_data(seed=6)
    y = eta + 0.2 * rng.standard_normal(len(eta))
    assert np.all(varnel.fit_path(X, y, lower_limits=0.0).coefs >= 0)  # a scalar for every column
    ridge = varnel.fit_path(X, y, alpha=0.0)
    assert ridge.alpha == 0.0 and np.all(ridge.df[1:] == X.shape[1])
    for call, exc in ((lambda: varnel.cv_path(X, y, nfold=3), TypeError),
                      (lambda: varnel.fit_path(X, y, family="gumbel"), ValueError),
                      (lambda: varnel.fit_path(X, y, family=3), TypeError),
                      (lambda: varnel.fit_path(X, y, nlambda=10.5), TypeError),
                      (lambda: varnel.fit_path(X[:, 0], y), ValueError)):
        with pytest.raises(exc):
            call()


@pytest.mark.parametrize("name, family", [("gaussian", "Gaussian"), ("normal", "Gaussian"),
                                          ("Binomial", "Binomial"), ("logistic", "Binomial"),
                                          ("poisson", "Poisson"), ("multinomial", "Multinomial"),
                                          ("gamma", "Gamma"), ("negbin", "NegativeBinomial"),
                                          ("inverse_gaussian", "InverseGaussian")])
def test_family_by_name_or_object(name, family):
    from varnel import families

    X, eta, rng = make_data(seed=3)
    obj = getattr(families, family)()
    canonical = families.get_family(name)
    assert canonical == obj and families.get_family(obj) is obj
    y = {"gaussian": eta + rng.standard_normal(len(eta)), "logistic": eta > 0,
         "poisson": rng.poisson(np.exp(eta)), "multinomial": np.digitize(eta, [-0.3, 0.3]),
         "negative_binomial": rng.poisson(np.exp(eta))}.get(canonical.name, np.exp(eta) * rng.gamma(2, 0.5, len(eta)))
    a, b = varnel.fit_path(X, y, name), varnel.fit_path(X, y, obj)
    for attr in ("lambdas", "intercepts", "coefs", "dev_ratio"):
        np.testing.assert_array_equal(getattr(a, attr), getattr(b, attr))
    assert a.family == b.family == obj.name and b.family_instance is obj
    fid = np.arange(len(y)) % 3
    np.testing.assert_array_equal(varnel.cv_path(X, y, name, foldid=fid).cvm,
                                  varnel.cv_path(X, y, obj, foldid=fid).cvm)


# (family, the oracle's name for it)
LINKED = [("Gamma(link='inverse')", "gamma/inverse"), ("Tweedie(1.5)", "tweedie:1.5/log"),
          ("NegativeBinomial(2, link='sqrt')", "negative_binomial:2/sqrt"),
          ("Binomial(link='cloglog')", "binomial/cloglog"), ("Poisson(link='identity')", "poisson/identity"),
          ("Gaussian(link='log')", "gaussian/log"), ("InverseGaussian(link='inverse_squared')",
                                                     "inverse_gaussian/inverse_squared")]


@pytest.mark.parametrize("made, model", LINKED)
@pytest.mark.parametrize("sparse", [False, True])
def test_every_link_predicts_and_cross_validates(made, model, sparse):
    # predictions through the family's link and held-out deviances against the
    # oracle's formulas, on a dense or a sparse X
    import scipy.sparse as sps

    import oracles as o
    from varnel import families

    fam, glm = eval("families." + made), o.Glm(model)
    X, eta, rng = make_data(n=90, seed=4)
    y = glm.response(eta, rng)
    Xs = sps.csc_matrix(X) if sparse else X
    fid = np.arange(len(y)) % 3
    cv = varnel.cv_path(Xs, y, fam, foldid=fid, keep=True, nlambda=20)
    path = cv.path
    assert path.family == ("logistic" if glm.name == "binomial" else glm.name) and path.family_instance == fam
    link = path.predict(X[:7], s=[path.lambdas[3], 0.0])
    np.testing.assert_allclose(path.predict(X[:7], s=[path.lambdas[3], 0.0], kind="response"),
                               glm.mean(link), rtol=1e-12)
    yc = (y == y.max()).astype(float) if glm.name == "binomial" else y
    with np.errstate(invalid="ignore"):  # a held-out mean outside the domain loses infinitely
        dev = np.nan_to_num(glm.unit_deviance(yc[:, None], glm.mean(cv.fit_preval)), nan=np.inf)
    np.testing.assert_allclose(cv.fold_scores, [dev[fid == k].mean(0) for k in range(3)], rtol=1e-9)
    # the family's own unit deviance, on one lambda (n,) or several (n, L)
    with np.errstate(invalid="ignore"):
        want = glm.unit_deviance(yc[:7, None], glm.mean(link))
    np.testing.assert_allclose(fam.unit_deviance(yc[:7], link), want, rtol=1e-10)
    np.testing.assert_allclose(fam.unit_deviance(yc[:7], link[:, 1]), want[:, 1], rtol=1e-10)
    assert np.isfinite(cv.cvm[path.lambdas == cv.lambda_min]).all()
    mae = varnel.cv_path(Xs, y, fam, foldid=fid, measure="mae", nlambda=20)
    assert mae.cvm.shape == cv.cvm.shape and np.isfinite(mae.cvm[np.isfinite(cv.cvm)]).all()


@pytest.mark.parametrize("given, want", [
    ("tweedie:1.5", "Tweedie(power=1.5)"), ("NEGBIN:2", "NegativeBinomial(theta=2.0)"),
    ("negative_binomial", "NegativeBinomial(theta=1.0)"),
    ("tweedie", ValueError("needs its power")), ("gamma:2", ValueError("takes no parameter")),
    ("tweedie:x", ValueError("is not a number")), ("tweedie:0.5", ValueError("power must be 0")),
])
def test_family_names_with_a_parameter(given, want):
    from varnel import families

    if isinstance(want, Exception):
        with pytest.raises(type(want), match=str(want)):
            families.get_family(given)
        return
    fam = families.get_family(given)
    assert repr(fam) == want and fam == eval("families." + want) and hash(fam) == hash(eval("families." + want))
    other = fam.with_link("identity")
    assert other != fam and other.link == "identity" and other.with_link(None) == fam
    with pytest.raises(ValueError, match="link='probit' is not available for the"):
        fam.with_link("probit")
    X, eta, rng = make_data(seed=5)
    with pytest.raises(ValueError, match=r"needs non-negative values in y, but y\[0\] is -1"):
        varnel.fit_path(X, np.r_[-1.0, np.ones(len(eta) - 1)], fam)


def sparse_problem(family, seed=3):
    """A sparse X (80 x 30) and a response of the family."""
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(seed)
    X = sp.random(80, 30, density=0.2, format="csc", random_state=rng)
    eta = X @ np.where(np.arange(30) < 6, rng.standard_normal(30), 0.0)
    ys = {"gaussian": lambda: eta + 0.3 * rng.standard_normal(80),
          "logistic": lambda: eta + 0.3 * rng.standard_normal(80) > 0,
          "poisson": lambda: rng.poisson(np.exp(eta)),
          "multinomial": lambda: np.digitize(eta + 0.3 * rng.standard_normal(80), [-0.3, 0.3]),
          "multitask": lambda: np.c_[eta, -eta] + 0.3 * rng.standard_normal((80, 2)),
          "cox": lambda: np.c_[rng.exponential(np.exp(-eta)), rng.random(80) < 0.8]}
    return X, ys[family]()


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("family", ["gaussian", "logistic", "poisson", "multinomial", "multitask", "cox"])
def test_sparse_coefficient_storage_holds_the_dense_values(family):
    import pickle

    sp = pytest.importorskip("scipy.sparse")
    X, y = sparse_problem(family)
    dense = varnel.fit_path(X, y, family, coef_storage="dense")
    path = varnel.fit_path(X, y, family, coef_storage="sparse")
    block = family in ("multinomial", "multitask")
    mats = path.coefs if block else [path.coefs]
    assert path.sparse_coefs and not dense.sparse_coefs and len(mats) == dense.n_classes
    assert all(sp.isspmatrix_csc(m) and m.has_sorted_indices for m in mats)
    # the same bits, signed zeros included; stored zeros are -0.0 (or beside another class's value)
    assert same_bits(path.dense_coefs(), dense.coefs) and same_bits(dense.dense_coefs(), dense.coefs)
    stored = (dense.coefs != 0) | np.signbit(dense.coefs)
    kept = stored.any(axis=1) if block else stored
    assert all(m.nnz == np.count_nonzero(kept) for m in mats) and not kept[:, 0].any()
    for name in ("lambdas", "intercepts", "dev_ratio", "df"):
        assert same_bits(getattr(path, name), getattr(dense, name)), name
    assert path.n_features == 30 and path.n_classes == dense.n_classes and path.summary() == dense.summary()
    lam = dense.lambdas
    grid, off = list(lam[[0, 4, 9]]), [0.6 * lam[3] + 0.4 * lam[4], 2 * lam[0], 0.0]
    for s in (grid, off, None):
        got = path.coef(s)
        assert _is_sparse_form(got, block)
        np.testing.assert_array_equal(varnel._coefs.to_dense(got), dense.coef(s))
        np.testing.assert_allclose(path.predict(X, s), dense.predict(X, s), rtol=1e-13, atol=1e-13)
    for s in (lam[5], off[0]):
        assert same_bits(path.coef(s), dense.coef(s))
        assert path.intercept(s) == pytest.approx(dense.intercept(s), rel=0, abs=0)
    again = pickle.loads(pickle.dumps(path))
    assert again.sparse_coefs and same_bits(again.dense_coefs(), dense.coefs)
    assert again.to_dict()["coefs"] == path.to_dict()["coefs"]


def _is_sparse_form(c, block):
    import scipy.sparse as sp

    return isinstance(c, list) and all(sp.isspmatrix_csc(m) for m in c) if block else sp.isspmatrix_csc(c)


@pytest.mark.parametrize("family", ["gaussian", "multinomial"])
def test_sparse_coefficients_cross_validate_and_plot_as_the_dense_ones(family):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    X, y = sparse_problem(family, seed=5)
    folds = np.arange(80) % 4
    dense = varnel.cv_path(X, y, family, foldid=folds, n_jobs=1, coef_storage="dense")
    path = varnel.cv_path(X, y, family, foldid=folds, n_jobs=1, coef_storage="sparse")
    assert path.path.sparse_coefs and same_bits(path.path.dense_coefs(), dense.path.coefs)
    np.testing.assert_array_equal(path.cvm, dense.cvm)
    np.testing.assert_array_equal(path.coef("lambda_min"), dense.coef("lambda_min"))
    for xvar in ("lambda", "norm"):
        a, b = path.path.plot(xvar=xvar, label=True), dense.path.plot(xvar=xvar, label=True)
        assert [tuple(map(tuple, l.get_xydata())) for l in a.lines] == \
            [tuple(map(tuple, l.get_xydata())) for l in b.lines]


def _family_rows(fam, n=6):
    """A response of the family and linear predictors of n rows: eta with
    the family's block axis (K = 3) when it has one, and L = 2 lambdas."""
    rng = np.random.default_rng(8)
    block = fam.name in ("multinomial", "multitask")
    eta = 0.3 * rng.standard_normal((n, 3, 2) if block else (n, 2))
    y = {"multinomial": np.arange(n) % 3, "multitask": rng.standard_normal((n, 3)),
         "logistic": (np.arange(n) % 2).astype(float), "cox": np.c_[np.arange(1.0, n + 1), np.ones(n)],
         "gaussian": rng.standard_normal(n)}.get(fam.name, rng.poisson(2.0, n) + 1.0)
    return y, eta


@pytest.mark.parametrize("fam", __import__("varnel.families").families.FAMILIES, ids=repr)
def test_family_losses_check_shapes_and_measures(fam):
    # every family of the registry: the deviance per row has one value per
    # row (never an n x n outer product), bad shapes and unknown measures
    # are ValueErrors naming them, and the docstring's example runs
    import doctest

    y, eta = _family_rows(fam)
    n = y.shape[0]
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    tests = doctest.DocTestFinder().find(type(fam).unit_deviance, "unit_deviance", globs={})
    assert tests and tests[0].examples
    for t in tests:
        runner.run(t, out=lambda text: None)
    assert runner.summarize(verbose=False).failed == 0
    if fam.name == "cox":
        with pytest.raises(ValueError, match="does not split into rows"):
            fam.unit_deviance(y, eta[:, 0])
        with pytest.raises(ValueError, match=r"'deviance' and 'C' over whole folds, not 'bogus'"):
            fam.losses(y, eta, "bogus")
        return
    one = eta[..., 0]
    full = fam.unit_deviance(y, eta)
    assert full.shape == (n, 2)
    np.testing.assert_array_equal(fam.unit_deviance(y, one), full[:, 0])
    np.testing.assert_array_equal(fam.unit_deviance(y, one[..., None]), full[:, :1])
    for m in fam.measures:
        if m in ("auc", "C"):
            with pytest.raises(ValueError, match=f"measure='{m}' ranks the rows of a whole fold"):
                fam.losses(y, eta, m)
            continue
        np.testing.assert_array_equal(fam.losses(y, one, m), fam.losses(y, eta, m)[:, 0])
    np.testing.assert_array_equal(fam.losses(y, eta, "deviance"), full)
    with pytest.raises(ValueError, match=r"^measure='bogus' is not a measure of the " + fam.name
                       + r" family; choose one of \('deviance', "):
        fam.losses(y, eta, "bogus")
    bad = [(y, one[:-1]), (y[:-1], one), (y, one.reshape(1, -1)), (y, eta[None])]
    if fam.name != "multitask":
        bad.append((np.c_[y, y], one))
    for yb, eb in bad:
        with pytest.raises(ValueError, match=(rf"^the {fam.name} family takes y .*; got y of shape "
                                              rf"{re.escape(str(np.shape(yb)))} and eta of shape "
                                              rf"{re.escape(str(np.shape(eb)))}$")):
            fam.unit_deviance(yb, eb)


VARIANTS = [v for fam in __import__("varnel.families").families.FAMILIES for v in fam.variants()]


def _gradient_rows(fam, n=9):
    """Rows of the family with a positive mean under every link: y, eta
    (n,) or (n, K) and weights; the cox rows with ties and two strata."""
    rng = np.random.default_rng(4)
    w = rng.uniform(0.2, 1.5, n)
    w /= w.sum()
    if fam.name == "cox":
        t = np.array([1.0, 2.0, 2.0, 3.0, 3.0, 3.0, 4.0, 5.0, 5.0])
        return np.c_[t, [1, 1, 1, 0, 1, 1, 1, 0, 1], np.arange(n) % 2], 0.4 * rng.standard_normal(n), w
    if fam.name in ("multinomial", "multitask"):
        y = np.arange(n) % 3 if fam.name == "multinomial" else rng.standard_normal((n, 3))
        return y.astype(float), 0.4 * rng.standard_normal((n, 3)), w
    mean = rng.uniform(0.2, 0.8, n)
    y = (rng.random(n) < mean).astype(float) if fam.name == "logistic" else rng.poisson(2.0, n) + 1.0
    if fam.name in ("gaussian", "huber"):
        y = rng.standard_normal(n) * 3
        mean = np.abs(y) + 0.5 if fam.link != "identity" else y + rng.standard_normal(n)
    elif fam.name != "logistic":
        mean = y * rng.uniform(0.5, 1.5, n)
    return y, fam.link_function(mean), w


@pytest.mark.parametrize("fam", VARIANTS, ids=repr)
def test_loss_gradient_is_the_derivative_of_the_loss(fam):
    """Every family, link and parameter of the registry: loss_gradient is
    the derivative of sum_i w_i l_i(eta) (half the unit deviance; the cox
    family's minus log partial likelihood with its ties and strata), by
    central differences."""
    from varnel import _survival

    y, eta, w = _gradient_rows(fam)
    if fam.name == "cox":
        def loss(e):
            return -_survival.log_partial_likelihood(y, w, e[:, None], fam.ties)[0]
    else:
        def loss(e):
            return float(w @ np.asarray(fam.half_deviance(y, e)).reshape(len(w), -1).sum(axis=1))
    grad = fam.loss_gradient(y, eta, w)
    assert grad.shape == eta.shape
    h = 1e-6
    numeric = np.zeros(eta.size)
    for i in range(eta.size):
        step = np.zeros(eta.size)
        step[i] = h
        numeric[i] = (loss(eta + step.reshape(eta.shape)) - loss(eta - step.reshape(eta.shape))) / (2 * h)
    np.testing.assert_allclose(grad.reshape(-1), numeric, rtol=1e-6, atol=1e-9)
    if fam.loss_conjugate(y[:1], np.zeros_like(eta[:1])) is not None:  # Fenchel-Young at u = l'(eta)
        u = grad / (w if grad.ndim == 1 else w[:, None])
        lhs = np.asarray(fam.half_deviance(y, eta)).reshape(len(w), -1).sum(axis=1)
        rhs = (u * eta).reshape(len(w), -1).sum(axis=1) - np.asarray(fam.loss_conjugate(y, u))
        np.testing.assert_allclose(lhs, rhs, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("ties", ["breslow", "efron"])
def test_cox_loss_gradient_of_counting_process_rows_is_the_partial_likelihoods(ties):
    """Rows entering late (start < t <= stop), tied times, two strata: the
    family's gradient is the oracle's, which forms every risk set by
    definition."""
    from oracles import cox_loglik
    from varnel.families import Cox

    rng = np.random.default_rng(7)
    n = 40
    stop = np.ceil(rng.uniform(1, 9, n))
    start = np.where(rng.random(n) < 0.6, np.floor(stop * rng.uniform(0, 0.95, n)), 0.0)
    status = (rng.random(n) < 0.7).astype(float)
    strata = np.arange(n) % 2
    w = rng.uniform(0.2, 1.5, n)
    eta = 0.5 * rng.standard_normal(n)
    fam = Cox(ties=ties)
    y = np.c_[stop, status, strata, start]  # the prepared form: time, status, stratum, entry
    want = -cox_loglik(eta, np.c_[stop, status], w, strata, ties, entry=start)[1]
    np.testing.assert_allclose(fam.loss_gradient(y, eta, w), want, rtol=1e-12, atol=1e-14)
    # entry times ignored would be another gradient
    assert not np.allclose(fam.loss_gradient(y[:, :3], eta, w), want, atol=1e-3)


CERTIFY_ERRORS = [
    (lambda path, X, y: varnel.fit_path(X, y, certify="yes"), TypeError,
     r"^certify must be True or False, got 'yes'$"),
    (lambda path, X, y: varnel.cv_path(X, y, nfolds=3, certify=1), TypeError,
     r"^certify must be True or False, got 1$"),
    (lambda path, X, y: path.optimality(X[:, :3], y), ValueError,
     r"^X has 3 features, the path was fitted with 6: X must have shape \(n, 6\)$"),
    (lambda path, X, y: path.optimality(X, y, weights=-np.ones(len(y))), ValueError,
     r"^weights must be non-negative"),
    (lambda path, X, y: path.optimality(X, y, grouped=True), ValueError,
     r"^grouped=True is for the multinomial family, not the gaussian family$"),
    (lambda path, X, y: path.optimality(X, y, strata=np.arange(len(y)) % 2), ValueError,
     r"^strata are an option of the cox family, not of the gaussian family$"),
]


@pytest.mark.parametrize("call, error, match", CERTIFY_ERRORS)
def test_certify_and_optimality_refuse_what_they_cannot_check(paths, call, error, match):
    X, out = paths
    y = out["gaussian"].predict(X, s=0.05)
    with pytest.raises(error, match=match):
        call(out["gaussian"], X, y)


@pytest.mark.parametrize("fam", __import__("varnel.families").families.FAMILIES, ids=repr)
def test_certify_keeps_the_bits_and_cv_path_certifies_its_full_path(fam):
    """certify adds a check, never a change: the same solutions bit for bit;
    cv_path's full-data path gets the same certificate as Path.optimality."""
    X, eta, rng = make_data(n=80)
    y, _ = _family_rows(fam, n=80)
    if fam.name == "gaussian":
        y = eta + rng.standard_normal(80)
    plain = varnel.fit_path(X, y, fam, nlambda=12)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked = varnel.fit_path(X, y, fam, nlambda=12, certify=True)
        cv = varnel.cv_path(X, y, fam, nlambda=12, nfolds=3, seed=0, certify=True)
    assert plain.optimality_ is None
    for key in ("lambdas", "intercepts", "coefs", "dev_ratio"):
        assert getattr(plain, key).tobytes() == getattr(checked, key).tobytes(), key
    assert checked.optimality_.violation.tobytes() == plain.optimality(X, y).violation.tobytes()
    assert cv.path.optimality_.violation.tobytes() == cv.path.optimality(X, y).violation.tobytes()
    assert (checked.optimality_.duality_gap is None) == (fam.loss_conjugate(
        y[:1], np.zeros_like(y[:1], dtype=float)) is None)


# ---- progress: the callback after each lambda, verbose output -------------------------------
def _progress_problem(case):
    """X, y, family and options of one route of fit_path."""
    X, eta, rng = make_data(n=200, p=12, seed=5)
    y = eta + 0.5 * rng.standard_normal(len(eta))
    if case == "covariance":
        return X, y, "gaussian", dict(solver="covariance")
    if case == "covariance_c_order":
        return np.ascontiguousarray(X), y, "gaussian", dict(solver="covariance")
    if case == "naive":
        return np.asfortranarray(X), y, "gaussian", dict(solver="naive", alpha=0.5)
    if case == "sparse":
        sp = pytest.importorskip("scipy.sparse")
        return sp.csc_matrix(np.where(np.abs(X) > 0.7, X, 0.0)), y, "gaussian", {}
    if case == "logistic":
        return X, (eta + rng.logistic(size=len(eta)) > 0).astype(float), "logistic", {}
    if case == "poisson":
        return X, rng.poisson(np.exp(0.5 * eta)), "poisson", dict(user_lambda=[0.3, 0.1, 0.03, 0.01])
    if case == "multinomial":
        return X, np.digitize(eta + rng.logistic(size=len(eta)), [-0.5, 0.5]), "multinomial", {}
    if case.startswith("groups"):  # the penalty of groups of columns
        family = "logistic" if case.endswith("logistic") else "gaussian"
        if family == "logistic":
            y = (eta + rng.logistic(size=len(eta)) > 0).astype(float)
        return X, y, family, dict(feature_groups=np.arange(X.shape[1]) // 3, l1_within=0.3)
    if case == "cox":
        t = rng.exponential(np.exp(-eta)) + 0.01
        return X, np.column_stack([t, rng.random(len(t)) < 0.8]), "cox", {}
    if case.startswith("dask"):  # from statistics (least squares) or by passes over the blocks
        da = pytest.importorskip("dask.array")
        family = "logistic" if case.endswith("logistic") else "gaussian"
        if family == "logistic":
            y = (eta + rng.logistic(size=len(eta)) > 0).astype(float)
        return da.from_array(X, chunks=(50, 12)), da.from_array(y, chunks=50), family, {}
    raise AssertionError(case)


PROGRESS_ROUTES = ["covariance", "covariance_c_order", "naive", "sparse", "logistic", "poisson",
                   "multinomial", "cox", "groups", "groups_logistic", "dask", "dask_logistic"]


def _variables_in(path):
    """Each solution's number of variables with a non-zero coefficient."""
    coefs = path.coefs
    if coefs.ndim == 3:  # (p, K, L): a variable counts once
        return (coefs != 0).any(axis=1).sum(axis=0)
    return (coefs != 0).sum(axis=0)


@pytest.mark.parametrize("case", PROGRESS_ROUTES)
def test_callback_reports_every_solution_of_the_path(case):
    X, y, family, opts = _progress_problem(case)
    seen = []
    path = varnel.fit_path(X, y, family, callback=seen.append, **opts)
    plain = varnel.fit_path(X, y, family, **opts)
    same_bits(path.coefs, plain.coefs)  # the hook changes nothing of the fit
    assert [r.index for r in seen] == list(range(path.n_lambdas))
    assert all(r.fold is None for r in seen)
    np.testing.assert_array_equal([r.df for r in seen], _variables_in(path))
    np.testing.assert_array_equal([r.dev_ratio for r in seen], path.dev_ratio)
    np.testing.assert_allclose([r.lambda_ for r in seen], path.lambdas, rtol=1e-12)
    passes = [r.passes for r in seen]
    assert passes == sorted(passes) and 0 < passes[-1] <= path.npasses


@pytest.mark.parametrize("case", PROGRESS_ROUTES)
@pytest.mark.parametrize("k", [1, 3])
def test_a_false_answer_stops_the_path_with_exactly_the_solutions_so_far(case, k):
    X, y, family, opts = _progress_problem(case)
    full = varnel.fit_path(X, y, family, **opts)
    assert full.n_lambdas > k
    calls = []

    def stop_at_k(record):
        calls.append(record.index)
        return record.index + 1 < k  # False at the k-th solution

    with pytest.warns(varnel.PathWarning, match=rf"lambda index {k}: the callback asked it to "
                                                rf"stop; the path keeps the {k} solution\(s\)"):
        path = varnel.fit_path(X, y, family, callback=stop_at_k, **opts)
    assert calls == list(range(k)) and path.n_lambdas == k and path.warning == ("Stopped", k)
    # the solutions kept are the full path's first k, bit for bit
    same_bits(path.coefs, full.coefs[..., :k])
    np.testing.assert_array_equal(path.dev_ratio, full.dev_ratio[:k])


@pytest.mark.parametrize("case", PROGRESS_ROUTES)
def test_an_exception_in_the_callback_reaches_the_caller(case):
    X, y, family, opts = _progress_problem(case)

    class Enough(Exception):
        pass

    def fail_at_2(record):
        if record.index == 2:
            raise Enough(record)

    with pytest.raises(Enough) as caught:
        varnel.fit_path(X, y, family, callback=fail_at_2, **opts)
    assert caught.value.args[0].index == 2
    again = varnel.fit_path(X, y, family, **opts)  # nothing is left behind
    same_bits(again.coefs, varnel.fit_path(X, y, family, **opts).coefs)


@pytest.mark.parametrize("answer, stops", [(None, False), (True, False), (1, False), (0, True),
                                           (False, True), (np.False_, True)])
def test_only_a_false_answer_other_than_none_stops(answer, stops):
    X, y, family, opts = _progress_problem("covariance")
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", varnel.PathWarning)
        path = varnel.fit_path(X, y, family, callback=lambda r: answer, **opts)
    assert (path.n_lambdas == 1) == stops


@pytest.mark.parametrize("kwargs, exc, match", [
    (dict(verbose=3), ValueError, r"verbose of fit_path must be 0 \(silent\), 1"),
    (dict(verbose=-1), ValueError, "verbose of fit_path"),
    (dict(verbose="yes"), TypeError, "verbose of fit_path must be 0, 1 or 2"),
    (dict(verbose=1.0), TypeError, "verbose of fit_path"),
    (dict(callback=3), TypeError, "callback of fit_path must be a callable"),
])
def test_progress_arguments_are_checked(kwargs, exc, match):
    X, y, family, opts = _progress_problem("naive")
    with pytest.raises(exc, match=match):
        varnel.fit_path(X, y, family, **kwargs)


def _without_tqdm(monkeypatch):
    import sys
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)


@pytest.mark.parametrize("verbose", [0, 1, 2, True, False])
def test_verbose_output_without_tqdm(monkeypatch, capfd, verbose):
    _without_tqdm(monkeypatch)
    X, y, family, opts = _progress_problem("naive")
    path = varnel.fit_path(X, y, family, verbose=verbose, user_lambda=[0.5, 0.1, 0.01], **opts)
    out, err = capfd.readouterr()
    assert out == ""
    if not verbose:
        assert err == ""
        return
    assert err.endswith("path: 3/3 lambdas\n")  # one line written over on stderr
    rows = [ln.rstrip() for ln in re.split(r"[\r\n]", err) if ln and not ln.startswith("path:")]
    if verbose == 1:
        assert rows == []
        return
    assert rows[0] == " index       lambda     df    %dev   passes"
    want = [f"{i:>6d} {lam:>12.6g} {df:>6d} {100 * d:>7.2f}" for i, (lam, df, d) in
            enumerate(zip(path.lambdas, path.df, path.dev_ratio))]
    assert [r[:len(w)] for r, w in zip(rows[1:], want)] == want and len(rows) == 4


def test_verbose_uses_tqdm_when_installed(capfd):
    pytest.importorskip("tqdm")
    X, y, family, opts = _progress_problem("naive")
    varnel.fit_path(X, y, family, verbose=2, user_lambda=[0.5, 0.1], **opts)
    out, err = capfd.readouterr()
    assert out == "" and "3/3" not in err and "2/2" in err and "lambda/s" in err
    assert " index       lambda     df    %dev   passes\n" in err


# ---- a dense X read once: its check in the pass that forms the products ---------------------
NON_FINITE_CELLS = [((0, 0), np.nan), ((7, 3), np.inf), ((199, 5), -np.inf), ((120, 11), np.nan)]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("solver, options", [
    ("covariance", {}), ("covariance", dict(intercept=False)), ("covariance", dict(standardize=False)),
    ("covariance", dict(weights="zero at the cell")), ("naive", {}), ("auto", {}),
])
@pytest.mark.parametrize("cell, value", NON_FINITE_CELLS)
def test_a_non_finite_value_of_x_is_named_by_its_cell(order, solver, options, cell, value):
    X, y, _, _ = _progress_problem("covariance")
    X = np.array(X, order=order)
    X[cell] = value
    X[199, 11] = np.nan  # a later cell in row order
    if options.get("weights"):
        w = np.ones(len(y))
        w[cell[0]] = 0.0  # a row of weight 0 still has to be finite
        options = dict(options, weights=w)
    shown = {"nan": "nan", "inf": "inf", "-inf": "-inf"}[repr(float(value))]
    with pytest.raises(ValueError, match=re.escape(f"X contains NaN or inf: X[{cell[0]}, {cell[1]}] "
                                                   f"is {shown}")):
        varnel.fit_path(X, y, solver=solver, **options)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("solver", ["covariance", "naive"])
def test_the_core_names_the_first_non_finite_value_in_column_order(order, solver):
    from varnel import _core

    X, y, _, _ = _progress_problem("covariance")
    X = np.array(X, order=order)
    X[150, 2], X[7, 3] = np.inf, np.nan
    if solver == "naive" and order == "C":
        want = "x must be finite, but x[550] is inf"  # the column-major copy: 2 * 200 + 150
    else:
        want = "x must be finite, but x[150, 2] is inf"
    with pytest.raises(ValueError, match=re.escape(want)):
        _core.fit(X, y, solver=solver)


@pytest.mark.parametrize("options", [{}, dict(intercept=False), dict(standardize=False),
                                     dict(weights="random"), dict(alpha=0.3, nlambda=20)])
def test_c_and_fortran_order_give_the_same_bits_on_the_covariance_route(options):
    X, y, _, _ = _progress_problem("covariance")
    X = X * np.linspace(0.5, 40.0, X.shape[1]) + np.linspace(-300.0, 5.0, X.shape[1])
    if options.get("weights"):
        options = dict(options, weights=np.random.default_rng(3).uniform(0.0, 2.0, len(y)))
    wide = np.zeros((X.shape[0], 2 * X.shape[1]), order="F")
    wide[:, ::2] = X  # columns two apart: neither C nor Fortran order
    fits = [varnel.fit_path(Z, y, solver="covariance", **options)
            for Z in (np.ascontiguousarray(X), np.asfortranarray(X), wide[:, ::2])]
    for other in fits[1:]:
        same_bits(other.coefs, fits[0].coefs)
        assert other.intercepts.tobytes() == fits[0].intercepts.tobytes()
        assert other.lambdas.tobytes() == fits[0].lambdas.tobytes()
        assert other.dev_ratio.tobytes() == fits[0].dev_ratio.tobytes()
# ---- relaxed fits against independent unpenalized fits --------------------------------------


def _glm_peer(link, family_of):
    """A statsmodels GLM family factory with the named link."""
    def make():
        sm = pytest.importorskip("statsmodels.api")
        links = {"log": sm.families.links.Log, "logit": sm.families.links.Logit,
                 "probit": sm.families.links.Probit, "cloglog": sm.families.links.CLogLog,
                 "inverse": sm.families.links.InversePower, "identity": sm.families.links.Identity}
        return family_of(sm)(links[link]())
    return make


def _relax_response(name, eta, rng):
    mu = np.exp(0.3 * eta)
    return {"logistic": lambda: (rng.random(eta.shape[0]) < 1 / (1 + np.exp(-eta))).astype(float),
            "poisson": lambda: rng.poisson(mu).astype(float),
            "gamma": lambda: mu * rng.gamma(4.0, 0.25, eta.shape[0]),
            "tweedie": lambda: np.where(rng.random(eta.shape[0]) < 0.2, 0.0, mu * rng.gamma(4.0, 0.25, eta.shape[0])),
            "negbin": lambda: rng.poisson(mu * rng.gamma(2.0, 0.5, eta.shape[0])).astype(float)}[name]()


# the family as varnel takes it, its response, and statsmodels' family
GLM_PEERS = [
    ("logistic", varnel.families.Binomial(), _glm_peer("logit", lambda sm: sm.families.Binomial)),
    ("logistic", varnel.families.Binomial(link="probit"), _glm_peer("probit", lambda sm: sm.families.Binomial)),
    ("poisson", varnel.families.Poisson(), _glm_peer("log", lambda sm: sm.families.Poisson)),
    ("gamma", varnel.families.Gamma(), _glm_peer("log", lambda sm: sm.families.Gamma)),
    ("gamma", varnel.families.Gamma(link="inverse"), _glm_peer("inverse", lambda sm: sm.families.Gamma)),
    ("tweedie", varnel.families.Tweedie(1.5), _glm_peer(
        "log", lambda sm: lambda link: sm.families.Tweedie(link=link, var_power=1.5))),
    ("negbin", varnel.families.NegativeBinomial(2.0), _glm_peer(
        "log", lambda sm: lambda link: sm.families.NegativeBinomial(link=link, alpha=2.0))),
]


@pytest.mark.filterwarnings("ignore:The InversePower link function does not respect")
@pytest.mark.parametrize("response,family,peer", GLM_PEERS, ids=[repr(f) for _, f, _ in GLM_PEERS])
def test_relaxed_glm_refits_are_statsmodels_unpenalized_fits(response, family, peer):
    """blend=0 is statsmodels' unpenalized GLM on the active columns, with
    the same link, weights and offset."""
    sm = pytest.importorskip("statsmodels.api")
    X, eta, rng = make_data(n=200, seed=11)
    y = _relax_response(response, eta, rng)
    w, offset = rng.uniform(0.5, 2.0, 200), 0.1 * rng.standard_normal(200)
    if family.link == "inverse":
        offset = np.zeros(200)
    path = varnel.fit_path(X, y, family, weights=w, offset=offset if offset.any() else None,
                           relax=True, thresh=1e-12, nlambda=8, lambda_min_ratio=0.05)
    b, a0 = path.coef(blend=0.0), path.intercept(blend=0.0)
    checked = 0
    for l in range(1, path.n_lambdas):
        active = np.flatnonzero(path.coefs[:, l])
        fit = sm.GLM(y, sm.add_constant(X[:, active]), family=peer(), var_weights=w,
                     offset=offset).fit(tol=1e-13, maxiter=500)
        np.testing.assert_allclose(np.r_[a0[l], b[active, l]], fit.params, rtol=1e-5, atol=1e-5)
        assert not b[np.setdiff1d(np.arange(X.shape[1]), active), l].any()
        checked += 1
    assert checked >= 3 and not path.relaxed_capped.any()


@pytest.mark.parametrize("intercept", [True, False])
def test_relaxed_gaussian_refits_are_least_squares(intercept):
    """blend=0 is scikit-learn's LinearRegression on the active columns (with
    the weights), and the multitask family's refits are one least-squares fit
    per response."""
    LinearRegression = pytest.importorskip("sklearn.linear_model").LinearRegression
    X, eta, rng = make_data(n=80, seed=12)
    w = rng.uniform(0.5, 2.0, 80)
    Y = np.c_[eta, 2 * eta - X[:, 1]] + 0.5 * rng.standard_normal((80, 2))
    for y, family in ((Y[:, 0], "gaussian"), (Y, "multitask")):
        path = varnel.fit_path(X, y, family, weights=w, intercept=intercept, relax=True, thresh=1e-14)
        for l in range(1, path.n_lambdas, 7):
            active = np.flatnonzero(np.any(path.coefs.reshape(6, -1, path.n_lambdas)[..., l] != 0, axis=1))
            ols = LinearRegression(fit_intercept=intercept).fit(X[:, active], y, sample_weight=w)
            np.testing.assert_allclose(path.coef(blend=0.0)[active, ..., l], ols.coef_.T, rtol=1e-6, atol=1e-7)
            np.testing.assert_allclose(path.intercept(blend=0.0)[..., l], ols.intercept_, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("ties", ["breslow", "efron"])
def test_relaxed_cox_refits_are_statsmodels_phreg(ties):
    """blend=0 of the cox family is statsmodels' unpenalized PHReg on the
    active columns, with the same ties and strata."""
    sm = pytest.importorskip("statsmodels.api")
    X, eta, rng = make_data(n=150, seed=13)
    time = np.ceil(4 * rng.exponential(np.exp(-eta))) / 4  # tied times
    status = (rng.random(150) < 0.7).astype(float)
    strata = rng.integers(0, 2, 150)
    path = varnel.fit_path(X, np.c_[time, status], "cox", ties=ties, strata=strata, relax=True,
                           thresh=1e-13, nlambda=10, lambda_min_ratio=0.05)
    b = path.coef(blend=0.0)
    for l in range(1, path.n_lambdas, 2):
        active = np.flatnonzero(path.coefs[:, l])
        fit = sm.PHReg(time, X[:, active], status=status, ties=ties, strata=strata).fit()
        np.testing.assert_allclose(b[active, l], fit.params, rtol=1e-5, atol=1e-6)
    assert not path.relaxed_intercepts.any()


def test_relaxed_refits_cap_where_the_classes_separate():
    """Separable classes: every refit past the null model is capped, with
    finite coefficients (a step of the capped path, not the unbounded
    refit) that explain more of the deviance than the penalized fit, up to
    about 0.999 (where the capped path stops, or its end, 1e-4 times the
    lambda); blends interpolate."""
    rng = np.random.default_rng(1)
    X = rng.standard_normal((60, 5))
    y = (X[:, 0] > 0).astype(float)
    path = varnel.fit_path(X, y, "logistic", relax=True)
    assert not path.relaxed_capped[0] and path.relaxed_capped[1:].all()
    refit = path.coef(blend=0.0)
    assert np.isfinite(refit).all() and np.abs(refit).max() < 1e3
    for l in (1, path.n_lambdas // 2, path.n_lambdas - 1):
        eta = path.intercept(blend=0.0)[l] + X @ refit[:, l]
        ratio = 1 - 2 * np.sum(np.logaddexp(0.0, eta) - y * eta) / path.nulldev
        assert max(0.99, path.dev_ratio[l]) < ratio < 0.9995
    # (no separation: nothing capped)
    X, eta, rng = make_data(n=200)
    ok = varnel.fit_path(X, (rng.random(200) < 1 / (1 + np.exp(-eta))).astype(float), "logistic", relax=True)
    assert not ok.relaxed_capped.any()
    s = 0.5 * (path.lambdas[3] + path.lambdas[4])
    np.testing.assert_allclose(path.coef(s, blend=0.25),
                               0.25 * path.coef(s) + 0.75 * path.coef(s, blend=0.0), rtol=1e-12)


def test_more_active_variables_than_rows_are_capped():
    rng = np.random.default_rng(2)
    X = rng.standard_normal((20, 40))
    y = X[:, :8] @ np.ones(8) + 0.3 * rng.standard_normal(20)
    path = varnel.fit_path(X, y, relax=True)
    over = path.df + 1 > 20
    assert over.any() and path.relaxed_capped[over].all()
    assert np.isfinite(path.relaxed_coefs).all()
    np.testing.assert_array_equal(path.relaxed_coefs[:, ~path.relaxed_capped] != 0,
                                  path.coefs[:, ~path.relaxed_capped] != 0)


@pytest.mark.parametrize("family", ["gaussian", "logistic", "multinomial", "multitask", "cox"])
def test_relaxed_fits_blend_predict_and_store_like_the_path(family):
    """Shapes and storage follow the path (K classes, sparse coefficients);
    predict(blend) is the blend's coefficients' prediction; blend=1 is the
    penalized fit bit for bit."""
    X, y = sparse_problem(family)
    dense = varnel.fit_path(X, y, family, relax=True, coef_storage="dense")
    path = varnel.fit_path(X, y, family, relax=True, coef_storage="sparse")
    assert path.sparse_coefs and _is_sparse_form(path.relaxed_coefs, family in ("multinomial", "multitask"))
    assert same_bits(varnel._coefs.to_dense(path.relaxed_coefs), dense.relaxed_coefs)
    assert dense.relaxed_coefs.shape == dense.coefs.shape
    assert dense.relaxed_intercepts.shape == dense.intercepts.shape == path.relaxed_intercepts.shape
    s = [dense.lambdas[2], 0.5 * (dense.lambdas[5] + dense.lambdas[6])]
    for blend in (0.0, 0.3, 1.0):
        got = dense.predict(X, s, blend=blend)
        want = dense.blended(blend).predict(X, s)
        np.testing.assert_array_equal(got, want)
        np.testing.assert_allclose(path.predict(X, s, blend=blend), got, rtol=1e-12, atol=1e-12)
        coef = dense.coef(s, blend=blend)
        np.testing.assert_allclose(coef, blend * dense.coef(s) + (1 - blend) * dense.coef(s, blend=0.0),
                                   rtol=1e-12, atol=1e-14)
    assert same_bits(dense.coef(blend=1.0), dense.coefs)
    assert same_bits(np.asarray(dense.intercept(blend=1.0)), dense.intercepts)


def test_blend_errors():
    X, eta, rng = make_data()
    y = eta + rng.standard_normal(len(eta))
    plain = varnel.fit_path(X, y)
    for call in (lambda p: p.coef(0.1, blend=0.5), lambda p: p.intercept(blend=0.0),
                 lambda p: p.predict(X, blend=1.0)):
        with pytest.raises(ValueError, match=r"blend=.* needs the relaxed fits of a path fitted with "
                                             r"relax=True; fit the path with relax=True"):
            call(plain)
    relaxed = varnel.fit_path(X, y, relax=True)
    for bad in (-0.1, 1.5, float("nan")):
        with pytest.raises(ValueError, match="blend"):
            relaxed.coef(blend=bad)
    with pytest.raises(TypeError, match="relax must be True or False"):
        varnel.fit_path(X, y, relax="yes")
    assert plain.relaxed_coefs is None and not plain.relaxed


def test_relaxed_refits_keep_the_limits_and_unpenalized_variables():
    """The refits are bounded least squares on the active columns (scipy's
    lsq_linear): the limits hold in the refit, a variable with penalty
    factor 0 is refitted with the others, and a lambda whose active
    variables are all unpenalized keeps the penalized fit, which is its
    refit."""
    optimize = pytest.importorskip("scipy.optimize")
    rng = np.random.default_rng(4)
    X = rng.standard_normal((100, 5))
    y = X[:, 0] + X[:, 1] - 0.5 * X[:, 3] + rng.standard_normal(100)
    lower, upper = np.array([-np.inf, 0, 0, -0.2, -1]), 0.5
    path = varnel.fit_path(X, y, relax=True, penalty_factor=[0, 1, 1, 1, 1], lower_limits=lower,
                           upper_limits=upper, thresh=1e-14)
    assert not path.relaxed_capped.any() and path.df[0] == 1
    np.testing.assert_array_equal(path.relaxed_coefs[:, 0], path.coefs[:, 0])
    for l in range(0, path.n_lambdas, 5):
        active = np.flatnonzero(path.coefs[:, l])
        design = np.column_stack([np.ones(100), X[:, active]])
        ref = optimize.lsq_linear(design, y, bounds=(np.r_[-np.inf, lower[active]], np.r_[np.inf, [upper] * len(active)]),
                                  tol=1e-14, lsmr_tol="auto")
        np.testing.assert_allclose(np.r_[path.relaxed_intercepts[l], path.relaxed_coefs[active, l]], ref.x,
                                   atol=1e-6)
    # (a limit holds on the standardized scale, to rounding on the original one)
    assert path.relaxed_coefs.max() <= upper + 1e-12 and (path.relaxed_coefs[3] >= -0.2 - 1e-12).all()


def test_relaxed_cox_refits_cap_a_monotone_likelihood():
    """Every event earlier than every censored time, and a variable that is
    1 on the events, 0 elsewhere: the partial likelihood rises without end
    in its coefficient.  Its refits are capped and finite; a variable with
    a finite optimum (no monotone direction) is not."""
    rng = np.random.default_rng(0)
    status = (np.arange(60) < 15).astype(float)
    X = rng.standard_normal((60, 3))
    X[:, 0] = status
    time = np.where(status == 1, rng.uniform(0, 1, 60), rng.uniform(1, 2, 60))
    path = varnel.fit_path(X, np.c_[time, status], "cox", relax=True)
    moving = path.coefs[0] != 0
    assert moving[1:].all() and path.relaxed_capped[moving].all()
    assert np.isfinite(path.relaxed_coefs).all() and (path.relaxed_coefs[0, moving] >= path.coefs[0, moving]).all()
    X[:, 0] = status + rng.standard_normal(60)  # no longer monotone
    finite = varnel.fit_path(X, np.c_[time, status], "cox", relax=True)
    assert not finite.relaxed_capped.any()
