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
    return X, {"gaussian": varnel.fit_path(X, eta + 0.5 * rng.standard_normal(len(eta))),
               "logistic": varnel.fit_path(X, np.where(rng.random(60) < 1 / (1 + np.exp(-2 * eta)), "b", "a"),
                                           family="logistic"),
               "poisson": varnel.fit_path(X, rng.poisson(np.exp(0.5 * eta)), family="poisson")}


def test_path_interpolates_and_predicts(paths):
    X, out = paths
    Xn = make_data(n=15, seed=9)[0]
    for family, path in out.items():
        L, lam = path.n_lambdas, path.lambdas
        assert path.family == family and len(path) == L > 5 and path.warning is None
        assert lam.shape == path.intercepts.shape == path.dev_ratio.shape == (L,) and np.all(np.diff(lam) < 0)
        assert path.coefs.shape == (X.shape[1], L) and path.nulldev > 0 and path.npasses > 0
        np.testing.assert_array_equal(path.df, np.count_nonzero(path.coefs, axis=0))
        assert path.df[0] == 0
        # coef and intercept: exact at the fitted lambdas, linear in lambda between them, clamped at both ends
        np.testing.assert_array_equal(path.coef(), path.coefs)
        np.testing.assert_array_equal(path.coef(lam), path.coefs)
        np.testing.assert_array_equal(path.intercept(), path.intercepts)
        for k in (0, 3, L - 2):
            s = 0.75 * lam[k] + 0.25 * lam[k + 1]
            np.testing.assert_allclose(path.coef(s), 0.75 * path.coefs[:, k] + 0.25 * path.coefs[:, k + 1],
                                       rtol=1e-10, atol=1e-12)
            assert path.intercept(s) == pytest.approx(0.75 * path.intercepts[k] + 0.25 * path.intercepts[k + 1])
        np.testing.assert_array_equal(path.coef(10 * lam[0]), path.coefs[:, 0])
        np.testing.assert_array_equal(path.coef(0.0), path.coefs[:, -1])
        assert path.coef([0.1, 0.05, 0.2]).shape == (X.shape[1], 3) and isinstance(path.intercept(0.1), float)
        # predict: the linear predictor, through the family's inverse link, or the class
        s = [lam[2], 0.5 * (lam[4] + lam[5])]
        eta = path.intercept(s) + Xn @ path.coef(s)
        np.testing.assert_allclose(path.predict(Xn, s=s), eta, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(path.predict(Xn), path.intercepts + Xn @ path.coefs, atol=1e-12)
        np.testing.assert_allclose(path.predict(Xn, s=s[1]), eta[:, 1], atol=1e-12)
        mean = {"gaussian": eta, "logistic": 1 / (1 + np.exp(-eta)), "poisson": np.exp(eta)}[family]
        np.testing.assert_allclose(path.predict(Xn, s=s, kind="response"), mean, rtol=1e-12, atol=1e-12)
        if family == "logistic":
            np.testing.assert_array_equal(path.predict(Xn, s=s, kind="class"), np.where(eta > 0, "b", "a"))


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
    assert np.all(varnel.fit_path(X, y, alpha=0.0).df[1:] == X.shape[1])


BLEND = r"blend=.* needs the relaxed fits of a path fitted with relax=True; fit the path with relax=True"
REFUSALS = [  # (the call on the gaussian path p, its X and y; the error; its message)
    (lambda p, X, y: p.coef([[0.1]]), ValueError, None),
    (lambda p, X, y: p.coef(float("nan")), ValueError, None),
    (lambda p, X, y: p.predict(X, kind="class"), ValueError, "class"),
    (lambda p, X, y: p.predict(X, kind="probability"), ValueError, "kind"),
    (lambda p, X, y: p.predict(X[:, :3]), ValueError, "features"),
    (lambda p, X, y: p.predict(X[0]), ValueError, r"^X must be 2-D \(n_samples, n_features\), got shape \(6,\); "
                                                  r"use X\.reshape\(1, -1\) for a single row$"),
    (lambda p, X, y: varnel.cv_path(X, y, nfold=3), TypeError, None),
    (lambda p, X, y: varnel.fit_path(X, y, family="gumbel"), ValueError, None),
    *[(lambda p, X, y, g=g: varnel.families.get_family(g), ValueError, m) for g, m in (
        ("tweedie", "needs its power"), ("gamma:2", "takes no parameter"), ("tweedie:x", "is not a number"),
        ("tweedie:0.5", "power must be 0"))],
    (lambda p, X, y: varnel.fit_path(X, y, family=3), TypeError, None),
    (lambda p, X, y: varnel.fit_path(X, y, nlambda=10.5), TypeError, None),
    (lambda p, X, y: varnel.fit_path(X[:, 0], y), ValueError, None),
    (lambda p, X, y: varnel.fit_path(X, y, strata=np.arange(len(y)) % 2), ValueError,
     "^strata are an option of the cox family, not of the gaussian family$"),
    (lambda p, X, y: varnel.fit_path(X, y, certify="yes"), TypeError, r"^certify must be True or False, got 'yes'$"),
    (lambda p, X, y: varnel.cv_path(X, y, nfolds=3, certify=1), TypeError, r"^certify must be True or False, got 1$"),
    (lambda p, X, y: p.optimality(X[:, :3], y), ValueError,
     r"^X has 3 features, the path was fitted with 6: X must have shape \(n, 6\)$"),
    (lambda p, X, y: p.optimality(X, y, weights=-np.ones(len(y))), ValueError, r"^weights must be non-negative"),
    (lambda p, X, y: p.optimality(X, y, grouped=True), ValueError,
     r"^grouped=True is for the multinomial family, not the gaussian family$"),
    (lambda p, X, y: p.optimality(X, y, strata=np.arange(len(y)) % 2), ValueError,
     r"^strata are an option of the cox family, not of the gaussian family$"),
    (lambda p, X, y: p.coef(0.1, blend=0.5), ValueError, BLEND),
    (lambda p, X, y: p.intercept(blend=0.0), ValueError, BLEND),
    (lambda p, X, y: p.predict(X, blend=1.0), ValueError, BLEND),
    *[(lambda p, X, y, b=b: varnel.fit_path(X, y, relax=True).coef(blend=b), ValueError, "blend")
      for b in (-0.1, 1.5, float("nan"))],
    (lambda p, X, y: varnel.fit_path(X, y, relax="yes"), TypeError, "relax must be True or False"),
    (lambda p, X, y: varnel.fit_path(X, y, verbose=3), ValueError, r"verbose of fit_path must be 0 \(silent\), 1"),
    (lambda p, X, y: varnel.fit_path(X, y, verbose=-1), ValueError, "verbose of fit_path"),
    (lambda p, X, y: varnel.fit_path(X, y, verbose="yes"), TypeError, "verbose of fit_path must be 0, 1 or 2"),
    (lambda p, X, y: varnel.fit_path(X, y, verbose=1.0), TypeError, "verbose of fit_path"),
    (lambda p, X, y: varnel.fit_path(X, y, callback=3), TypeError, "callback of fit_path must be a callable"),
]


@pytest.mark.parametrize("call, error, match", REFUSALS)
def test_path_calls_refuse_bad_arguments(paths, call, error, match):
    X, out = paths
    y = out["gaussian"].predict(X, s=0.05) + 0.3 * np.cos(np.arange(len(X)))
    with pytest.raises(error, match=match):
        call(out["gaussian"], X, y)


@pytest.mark.parametrize("name, made", [
    ("gaussian", "Gaussian()"), ("normal", "Gaussian()"), ("Binomial", "Binomial()"), ("logistic", "Binomial()"),
    ("poisson", "Poisson()"), ("multinomial", "Multinomial()"), ("gamma", "Gamma()"),
    ("negbin", "NegativeBinomial(theta=1.0)"), ("inverse_gaussian", "InverseGaussian()"),
    ("tweedie:1.5", "Tweedie(power=1.5)"), ("NEGBIN:2", "NegativeBinomial(theta=2.0)"),
    ("negative_binomial", "NegativeBinomial(theta=1.0)")])
def test_family_by_name_or_object(name, made):
    X, eta, rng = make_data(seed=3)
    obj, canonical = eval("varnel.families." + made), varnel.families.get_family(name)
    assert repr(canonical) == made and canonical == obj and hash(canonical) == hash(obj)
    assert varnel.families.get_family(obj) is obj
    y = {"gaussian": eta + rng.standard_normal(len(eta)), "logistic": eta > 0,
         "poisson": rng.poisson(np.exp(eta)), "multinomial": np.digitize(eta, [-0.3, 0.3]),
         "negative_binomial": rng.poisson(np.exp(eta))}.get(canonical.name, np.exp(eta) * rng.gamma(2, 0.5, len(eta)))
    a, b = varnel.fit_path(X, y, name), varnel.fit_path(X, y, obj)
    for attr in ("lambdas", "intercepts", "coefs", "dev_ratio"):
        assert same_bits(getattr(a, attr), getattr(b, attr)), attr
    assert a.family == b.family == obj.name and b.family_instance is obj
    cvs = [varnel.cv_path(X, y, f, foldid=np.arange(len(y)) % 3).cvm for f in (name, obj)]
    assert same_bits(*cvs)
    if ":" not in name and name != "negative_binomial":
        return
    other = canonical.with_link("identity")  # a family with a parameter
    assert other != canonical and other.link == "identity" and other.with_link(None) == canonical
    with pytest.raises(ValueError, match="link='probit' is not available for the"):
        canonical.with_link("probit")
    with pytest.raises(ValueError, match=r"needs non-negative values in y, but y\[0\] is -1"):
        varnel.fit_path(X, np.r_[-1.0, np.ones(len(X) - 1)], canonical)


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
    import oracles as o

    fam, glm = eval("varnel.families." + made), o.Glm(model)
    X, eta, rng = make_data(n=90, seed=4)
    y, fid = glm.response(eta, rng), np.arange(90) % 3
    Xs = pytest.importorskip("scipy.sparse").csc_matrix(X) if sparse else X
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
    """The same bits as the dense storage, the relaxed fits and their blends
    included, through coef, predict, pickling, cv_path and plots."""
    import pickle

    sp = pytest.importorskip("scipy.sparse")
    X, y = sparse_problem(family)
    dense = varnel.fit_path(X, y, family, coef_storage="dense", relax=True)
    path = varnel.fit_path(X, y, family, coef_storage="sparse", relax=True)
    block = family in ("multinomial", "multitask")
    mats = path.coefs if block else [path.coefs]

    def sparse_form(c):
        return isinstance(c, list) and all(sp.isspmatrix_csc(m) for m in c) if block else sp.isspmatrix_csc(c)

    assert path.sparse_coefs and not dense.sparse_coefs and len(mats) == dense.n_classes
    assert all(sp.isspmatrix_csc(m) and m.has_sorted_indices for m in mats)
    # the same bits, signed zeros included; stored zeros are -0.0 (or beside another class's value)
    assert same_bits(path.dense_coefs(), dense.coefs) and same_bits(dense.dense_coefs(), dense.coefs)
    stored = (dense.coefs != 0) | np.signbit(dense.coefs)
    kept = stored.any(axis=1) if block else stored
    assert all(m.nnz == np.count_nonzero(kept) for m in mats) and not kept[:, 0].any()
    for name in ("lambdas", "intercepts", "dev_ratio", "df", "relaxed_intercepts"):
        assert same_bits(getattr(path, name), getattr(dense, name)), name
    assert path.n_features == 30 and path.n_classes == dense.n_classes and path.summary() == dense.summary()
    assert sparse_form(path.relaxed_coefs) and same_bits(varnel._coefs.to_dense(path.relaxed_coefs),
                                                         dense.relaxed_coefs)
    lam = dense.lambdas
    grid, off = list(lam[[0, 4, 9]]), [0.6 * lam[3] + 0.4 * lam[4], 2 * lam[0], 0.0]
    for s in (grid, off, None, lam[5], off[0]):
        got = path.coef(s)
        assert sparse_form(got) if s is None or np.ndim(s) else same_bits(got, dense.coef(s))
        assert same_bits(varnel._coefs.to_dense(got), dense.coef(s))
        assert same_bits(np.asarray(path.intercept(s)), np.asarray(dense.intercept(s)))
        np.testing.assert_allclose(path.predict(X, s), dense.predict(X, s), rtol=1e-13, atol=1e-13)
    # predict(blend) is the blend's coefficients' prediction; blend=1 is the penalized fit bit for bit
    s = [lam[2], 0.5 * (lam[5] + lam[6])]
    for blend in (0.0, 0.3, 1.0):
        got = dense.predict(X, s, blend=blend)
        np.testing.assert_array_equal(got, dense.blended(blend).predict(X, s))
        np.testing.assert_allclose(path.predict(X, s, blend=blend), got, rtol=1e-12, atol=1e-12)
    assert same_bits(dense.coef(blend=1.0), dense.coefs)
    assert same_bits(np.asarray(dense.intercept(blend=1.0)), dense.intercepts)
    again = pickle.loads(pickle.dumps(path))
    assert again.sparse_coefs and same_bits(again.dense_coefs(), dense.coefs)
    assert again.to_dict()["coefs"] == path.to_dict()["coefs"]
    if family not in ("gaussian", "multinomial"):
        return
    pytest.importorskip("matplotlib").use("Agg")
    cvs = [varnel.cv_path(X, y, family, foldid=np.arange(80) % 4, n_jobs=1, coef_storage=c)
           for c in ("dense", "sparse")]
    assert cvs[1].path.sparse_coefs and same_bits(cvs[1].path.dense_coefs(), cvs[0].path.coefs)
    np.testing.assert_array_equal(cvs[1].cvm, cvs[0].cvm)
    np.testing.assert_array_equal(cvs[1].coef("lambda_min"), cvs[0].coef("lambda_min"))
    for xvar in ("lambda", "norm"):
        a, b = (c.path.plot(xvar=xvar, label=True) for c in cvs)
        assert [tuple(map(tuple, l.get_xydata())) for l in a.lines] == \
            [tuple(map(tuple, l.get_xydata())) for l in b.lines]


VARIANTS = [v for fam in __import__("varnel.families").families.FAMILIES for v in fam.variants()]


def _gradient_rows(fam, n=9):
    """Rows of the family with a positive mean under every link: y, eta
    (n,) or (n, K) and weights; the cox rows (time, status, stratum) with ties and two strata."""
    rng = np.random.default_rng(4)
    w = rng.uniform(0.2, 1.5, n)
    w /= w.sum()
    if fam.name == "cox":
        t = np.r_[1.0, 2.0, 2.0, 3.0, 3.0, 3.0, 4.0, 5.0, 5.0, 6 + np.arange(n - 9) // 2]
        return np.c_[t, np.arange(n) % 4 != 3, np.arange(n) % 2], 0.4 * rng.standard_normal(n), w
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


@pytest.mark.parametrize("fam", __import__("varnel.families").families.FAMILIES, ids=repr)
def test_family_losses_check_shapes_and_measures(fam):
    # every family of the registry: the deviance per row has one value per
    # row (never an n x n outer product), bad shapes and unknown measures
    # are ValueErrors naming them
    y, eta = _gradient_rows(fam)[:2]
    eta, n = np.stack([eta, -0.5 * eta], axis=-1), y.shape[0]  # L = 2 lambdas
    if fam.name == "cox":
        with pytest.raises(ValueError, match="does not split into rows"):
            fam.unit_deviance(y, eta[:, 0])
        with pytest.raises(ValueError, match=r"'deviance' and 'C' over whole folds, not 'bogus'"):
            fam.losses(y, eta, "bogus")
        return
    one, full = eta[..., 0], fam.unit_deviance(y, eta)
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
    bad = [(y, one[:-1]), (y[:-1], one), (y, one.reshape(1, -1)), (y, eta[None]), (np.c_[y, y], one)]
    for yb, eb in bad[:4] if fam.name == "multitask" else bad:
        with pytest.raises(ValueError, match=(rf"^the {fam.name} family takes y .*; got y of shape "
                                              rf"{re.escape(str(np.shape(yb)))} and eta of shape "
                                              rf"{re.escape(str(np.shape(eb)))}$")):
            fam.unit_deviance(yb, eb)


@pytest.mark.parametrize("fam", VARIANTS, ids=repr)
def test_loss_gradient_is_the_derivative_of_the_loss(fam):
    """Every family, link and parameter of the registry: loss_gradient is the derivative of sum_i w_i l_i(eta) (half
    the unit deviance; the cox family's minus log partial likelihood with its ties and strata), by central
    differences."""
    from varnel import _survival

    y, eta, w = _gradient_rows(fam)
    if fam.name == "cox":
        def loss(e):
            return -_survival.log_partial_likelihood(y, w, e[:, None], fam.ties)[0]
    else:
        def loss(e):
            return float(w @ np.asarray(fam.half_deviance(y, e)).reshape(len(w), -1).sum(axis=1))
    grad, h = fam.loss_gradient(y, eta, w), 1e-6
    assert grad.shape == eta.shape
    steps = h * np.eye(eta.size).reshape((eta.size,) + eta.shape)
    numeric = [(loss(eta + step) - loss(eta - step)) / (2 * h) for step in steps]
    np.testing.assert_allclose(grad.reshape(-1), numeric, rtol=1e-6, atol=1e-9)
    if fam.loss_conjugate(y[:1], np.zeros_like(eta[:1])) is not None:  # Fenchel-Young at u = l'(eta)
        u = grad / (w if grad.ndim == 1 else w[:, None])
        lhs = np.asarray(fam.half_deviance(y, eta)).reshape(len(w), -1).sum(axis=1)
        rhs = (u * eta).reshape(len(w), -1).sum(axis=1) - np.asarray(fam.loss_conjugate(y, u))
        np.testing.assert_allclose(lhs, rhs, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("ties", ["breslow", "efron"])
def test_cox_loss_gradient_of_counting_process_rows_is_the_partial_likelihoods(ties):
    """Rows entering late (start < t <= stop), tied times, two strata: the family's gradient is the oracle's, which
    forms every risk set by definition."""
    from oracles import cox_loglik
    from varnel.families import Cox

    rng, n, fam = np.random.default_rng(7), 40, Cox(ties=ties)
    stop = np.ceil(rng.uniform(1, 9, n))
    start = np.where(rng.random(n) < 0.6, np.floor(stop * rng.uniform(0, 0.95, n)), 0.0)
    status, strata = (rng.random(n) < 0.7).astype(float), np.arange(n) % 2
    w, eta = rng.uniform(0.2, 1.5, n), 0.5 * rng.standard_normal(n)
    y = np.c_[stop, status, strata, start]  # the prepared form: time, status, stratum, entry
    want = -cox_loglik(eta, np.c_[stop, status], w, strata, ties, entry=start)[1]
    np.testing.assert_allclose(fam.loss_gradient(y, eta, w), want, rtol=1e-12, atol=1e-14)
    # entry times ignored would be another gradient
    assert not np.allclose(fam.loss_gradient(y[:, :3], eta, w), want, atol=1e-3)


@pytest.mark.parametrize("fam", __import__("varnel.families").families.FAMILIES, ids=repr)
def test_certify_keeps_the_bits_and_cv_path_certifies_its_full_path(fam):
    """certify adds a check, never a change: the same solutions bit for bit;
    cv_path's full-data path gets the same certificate as Path.optimality."""
    X, eta, rng = make_data(n=80)
    y = eta + rng.standard_normal(80) if fam.name == "gaussian" else _gradient_rows(fam, n=80)[0]
    y = y[:, :2] if fam.name == "cox" else y  # (time, status)
    plain = varnel.fit_path(X, y, fam, nlambda=12)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked = varnel.fit_path(X, y, fam, nlambda=12, certify=True)
        cv = varnel.cv_path(X, y, fam, nlambda=12, nfolds=3, seed=0, certify=True)
    assert plain.optimality_ is None
    for key in ("lambdas", "intercepts", "coefs", "dev_ratio"):
        assert same_bits(getattr(plain, key), getattr(checked, key)), key
    assert checked.optimality_.violation.tobytes() == plain.optimality(X, y).violation.tobytes()
    assert cv.path.optimality_.violation.tobytes() == cv.path.optimality(X, y).violation.tobytes()
    assert (checked.optimality_.duality_gap is None) == (fam.loss_conjugate(
        y[:1], np.zeros_like(y[:1], dtype=float)) is None)


# ---- progress: the callback after each lambda, verbose output -------------------------------
def _progress_problem(case):
    """X, y, family and options of one route of fit_path."""
    X, eta, rng = make_data(n=200, p=12, seed=5)
    y = eta + 0.5 * rng.standard_normal(len(eta))
    binary = (eta + rng.logistic(size=len(eta)) > 0).astype(float)
    if case.endswith("logistic"):
        y = binary
    family = "logistic" if case.endswith("logistic") else "gaussian"
    if case in ("covariance", "covariance_c_order", "naive"):
        X = {"covariance": X, "covariance_c_order": np.ascontiguousarray(X), "naive": np.asfortranarray(X)}[case]
        return X, y, "gaussian", dict(solver="covariance") if case != "naive" else dict(solver="naive", alpha=0.5)
    if case == "sparse":
        return pytest.importorskip("scipy.sparse").csc_matrix(np.where(np.abs(X) > 0.7, X, 0.0)), y, family, {}
    if case == "poisson":
        return X, rng.poisson(np.exp(0.5 * eta)), "poisson", dict(user_lambda=[0.3, 0.1, 0.03, 0.01])
    if case == "multinomial":
        return X, np.digitize(eta + rng.logistic(size=len(eta)), [-0.5, 0.5]), "multinomial", {}
    if case == "cox":
        return X, np.column_stack([rng.exponential(np.exp(-eta)) + 0.01, rng.random(len(eta)) < 0.8]), "cox", {}
    if case.startswith("groups"):  # the penalty of groups of columns
        return X, y, family, dict(feature_groups=np.arange(X.shape[1]) // 3, l1_within=0.3)
    if case.startswith("dask"):  # from statistics (least squares) or by passes over the blocks
        da = pytest.importorskip("dask.array")
        return da.from_array(X, chunks=(50, 12)), da.from_array(y, chunks=50), family, {}
    assert case == "logistic"
    return X, y, family, {}


PROGRESS_ROUTES = ["covariance", "covariance_c_order", "naive", "sparse", "logistic", "poisson",
                   "multinomial", "cox", "groups", "groups_logistic", "dask", "dask_logistic"]


@pytest.mark.parametrize("case", PROGRESS_ROUTES)
def test_callback_reports_every_solution_stops_and_raises(case):
    X, y, family, opts = _progress_problem(case)
    seen = []
    path = varnel.fit_path(X, y, family, callback=seen.append, **opts)
    plain = varnel.fit_path(X, y, family, **opts)
    assert same_bits(path.coefs, plain.coefs)  # the hook changes nothing of the fit
    assert [r.index for r in seen] == list(range(path.n_lambdas)) and all(r.fold is None for r in seen)
    nonzero = plain.coefs != 0
    np.testing.assert_array_equal([r.df for r in seen], (nonzero.any(axis=1) if nonzero.ndim == 3 else nonzero).sum(0))
    np.testing.assert_array_equal([r.dev_ratio for r in seen], path.dev_ratio)
    np.testing.assert_allclose([r.lambda_ for r in seen], path.lambdas, rtol=1e-12)
    passes = [r.passes for r in seen]
    assert passes == sorted(passes) and 0 < passes[-1] <= path.npasses
    for k in (1, 3):  # a False answer at the k-th solution: exactly the solutions so far
        assert plain.n_lambdas > k
        calls = []
        with pytest.warns(varnel.PathWarning, match=rf"lambda index {k}: the callback asked it to "
                                                    rf"stop; the path keeps the {k} solution\(s\)"):
            stopped = varnel.fit_path(X, y, family, callback=lambda r: calls.append(r.index) or r.index + 1 < k,
                                      **opts)
        assert calls == list(range(k)) and stopped.n_lambdas == k and stopped.warning == ("Stopped", k)
        assert same_bits(stopped.coefs, plain.coefs[..., :k])
        np.testing.assert_array_equal(stopped.dev_ratio, plain.dev_ratio[:k])

    class Enough(Exception):
        pass

    def fail_at_2(record):
        if record.index == 2:
            raise Enough(record)

    with pytest.raises(Enough) as caught:
        varnel.fit_path(X, y, family, callback=fail_at_2, **opts)
    assert caught.value.args[0].index == 2
    assert same_bits(varnel.fit_path(X, y, family, **opts).coefs, plain.coefs)  # nothing is left behind


@pytest.mark.parametrize("answer, stops", [(None, False), (True, False), (1, False), (0, True),
                                           (False, True), (np.False_, True)])
def test_only_a_false_answer_other_than_none_stops(answer, stops):
    X, y, family, opts = _progress_problem("covariance")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", varnel.PathWarning)
        path = varnel.fit_path(X, y, family, callback=lambda r: answer, **opts)
    assert (path.n_lambdas == 1) == stops


HEADER = " index       lambda     df    %dev   passes"


@pytest.mark.parametrize("verbose, tqdm", [(0, False), (1, False), (2, False), (True, False), (False, False),
                                           (2, True)])
def test_verbose_output(monkeypatch, capfd, verbose, tqdm):
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(__import__("sys").modules, "tqdm", None)
        monkeypatch.setitem(__import__("sys").modules, "tqdm.auto", None)
    X, y, family, opts = _progress_problem("naive")
    path = varnel.fit_path(X, y, family, verbose=verbose, user_lambda=[0.5, 0.1, 0.01][:3 - tqdm], **opts)
    out, err = capfd.readouterr()
    assert out == "" and (verbose or err == "")
    if tqdm:
        assert "3/3" not in err and "2/2" in err and "lambda/s" in err and HEADER + "\n" in err
    if tqdm or not verbose:
        return
    assert err.endswith("path: 3/3 lambdas\n")  # one line written over on stderr
    rows = [ln.rstrip() for ln in re.split(r"[\r\n]", err) if ln and not ln.startswith("path:")]
    if verbose == 1:
        assert rows == []
        return
    assert rows[0] == HEADER
    want = [f"{i:>6d} {lam:>12.6g} {df:>6d} {100 * d:>7.2f}" for i, (lam, df, d) in
            enumerate(zip(path.lambdas, path.df, path.dev_ratio))]
    assert [r[:len(w)] for r, w in zip(rows[1:], want)] == want and len(rows) == 4


# ---- a dense X read once: its check in the pass that forms the products ---------------------
NON_FINITE_CELLS = [((0, 0), np.nan), ((7, 3), np.inf), ((199, 5), -np.inf), ((120, 11), np.nan)]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("solver, options", [
    ("covariance", {}), ("covariance", dict(intercept=False)), ("covariance", dict(standardize=False)),
    ("covariance", dict(weights="zero at the cell")), ("naive", {}), ("auto", {}),
])
@pytest.mark.parametrize("cell, value", NON_FINITE_CELLS)
def test_a_non_finite_value_of_x_is_named_by_its_cell(order, solver, options, cell, value):
    X, y = _progress_problem("covariance")[:2]
    X = np.array(X, order=order)
    X[cell], X[199, 11] = value, np.nan  # and a later cell in row order
    if options.get("weights"):  # a row of weight 0 still has to be finite
        options = dict(options, weights=np.where(np.arange(len(y)) == cell[0], 0.0, 1.0))
    with pytest.raises(ValueError, match=re.escape(f"X contains NaN or inf: X[{cell[0]}, {cell[1]}] is {value}")):
        varnel.fit_path(X, y, solver=solver, **options)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("solver", ["covariance", "naive"])
def test_the_core_names_the_first_non_finite_value_in_column_order(order, solver):
    X, y = _progress_problem("covariance")[:2]
    X = np.array(X, order=order)
    X[150, 2], X[7, 3] = np.inf, np.nan
    # the naive solver's column-major copy of a C-order X: 2 * 200 + 150
    want = "x[550] is inf" if solver == "naive" and order == "C" else "x[150, 2] is inf"
    with pytest.raises(ValueError, match=re.escape("x must be finite, but " + want)):
        varnel._core.fit(X, y, solver=solver)


@pytest.mark.parametrize("options", [{}, dict(intercept=False), dict(standardize=False),
                                     dict(weights="random"), dict(alpha=0.3, nlambda=20)])
def test_c_and_fortran_order_give_the_same_bits_on_the_covariance_route(options):
    X, y = _progress_problem("covariance")[:2]
    X = X * np.linspace(0.5, 40.0, X.shape[1]) + np.linspace(-300.0, 5.0, X.shape[1])
    if options.get("weights"):
        options = dict(options, weights=np.random.default_rng(3).uniform(0.0, 2.0, len(y)))
    wide = np.zeros((X.shape[0], 2 * X.shape[1]), order="F")
    wide[:, ::2] = X  # columns two apart: neither C nor Fortran order
    fits = [varnel.fit_path(Z, y, solver="covariance", **options)
            for Z in (np.ascontiguousarray(X), np.asfortranarray(X), wide[:, ::2])]
    for other in fits[1:]:
        for key in ("coefs", "intercepts", "lambdas", "dev_ratio"):
            assert same_bits(getattr(other, key), getattr(fits[0], key)), key


# ---- relaxed fits against independent unpenalized fits --------------------------------------
def _glm(peer, link, **options):
    """statsmodels' unpenalized GLM of the family, with the weights and offset."""
    def refit(X, y, opts):
        sm = pytest.importorskip("statsmodels.api")
        family = getattr(sm.families, peer)(link=getattr(sm.families.links, link)(), **options)
        return sm.GLM(y, sm.add_constant(X), var_weights=opts["weights"], offset=opts["offset"],
                      family=family).fit(tol=1e-13, maxiter=500).params
    return refit


def _least_squares(X, y, opts):  # scikit-learn's, one fit per response
    ols = pytest.importorskip("sklearn.linear_model").LinearRegression(fit_intercept=opts["intercept"])
    ols.fit(X, y, sample_weight=opts["weights"])
    return np.r_[np.broadcast_to(ols.intercept_, np.shape(y)[1:]).ravel(), np.ravel(ols.coef_.T)]


def _phreg(X, y, opts):  # statsmodels' PHReg, with the ties and strata
    sm = pytest.importorskip("statsmodels.api")
    return np.r_[0.0, sm.PHReg(y[:, 0], X, status=y[:, 1], ties=opts["ties"], strata=opts["strata"]).fit().params]


FAMS = varnel.families
RELAXED = [  # (the family, its response, the fit's options, the oracle's unpenalized fit, rtol, atol)
    (FAMS.Binomial(), "logistic", "glm", _glm("Binomial", "Logit"), 1e-5, 1e-5),
    (FAMS.Binomial(link="probit"), "logistic", "glm", _glm("Binomial", "Probit"), 1e-5, 1e-5),
    (FAMS.Poisson(), "poisson", "glm", _glm("Poisson", "Log"), 1e-5, 1e-5),
    (FAMS.Gamma(), "gamma", "glm", _glm("Gamma", "Log"), 1e-5, 1e-5),
    (FAMS.Gamma(link="inverse"), "gamma", "glm", _glm("Gamma", "InversePower"), 1e-5, 1e-5),
    (FAMS.Tweedie(1.5), "tweedie", "glm", _glm("Tweedie", "Log", var_power=1.5), 1e-5, 1e-5),
    (FAMS.NegativeBinomial(2.0), "negbin", "glm", _glm("NegativeBinomial", "Log", alpha=2.0), 1e-5, 1e-5),
    *[(fam, fam, opts, _least_squares, 1e-6, 1e-7) for fam in ("gaussian", "multitask")
      for opts in ("least squares", "least squares, no intercept")],
    *[(FAMS.Cox(ties=ties), "cox", "cox", _phreg, 1e-5, 1e-6) for ties in ("breslow", "efron")],
]


@pytest.mark.filterwarnings("ignore:The InversePower link function does not respect")
@pytest.mark.parametrize("family, response, options, refit, rtol, atol", RELAXED, ids=[
    f"{r[0]!r}-{r[2]}" for r in RELAXED])
def test_relaxed_refits_are_the_oracles_unpenalized_fits(family, response, options, refit, rtol, atol):
    """blend=0 is the unpenalized fit on the active columns: statsmodels' GLM with the same link, weights and
    offset; scikit-learn's least squares with the weights (the multitask family's refits one per response);
    statsmodels' PHReg with the same ties and strata."""
    X, eta, rng = make_data(n=200, seed=11)
    mu, n = np.exp(0.3 * eta), len(eta)
    y = {"logistic": lambda: (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float),
         "poisson": lambda: rng.poisson(mu).astype(float), "gamma": lambda: mu * rng.gamma(4.0, 0.25, n),
         "tweedie": lambda: np.where(rng.random(n) < 0.2, 0.0, mu * rng.gamma(4.0, 0.25, n)),
         "negbin": lambda: rng.poisson(mu * rng.gamma(2.0, 0.5, n)).astype(float),
         "gaussian": lambda: eta + 0.5 * rng.standard_normal(n),
         "multitask": lambda: np.c_[eta, 2 * eta - X[:, 1]] + 0.5 * rng.standard_normal((n, 2)),
         "cox": lambda: np.c_[np.ceil(4 * rng.exponential(np.exp(-eta))) / 4, rng.random(n) < 0.7]}[response]()
    w, offset = rng.uniform(0.5, 2.0, n), 0.1 * rng.standard_normal(n)
    if options == "cox":
        opts = dict(ties=family.ties, strata=rng.integers(0, 2, n))
    else:
        opts = dict(weights=w, offset=offset if options == "glm" and family.link != "inverse" else None,
                    intercept=options != "least squares, no intercept")
    path = varnel.fit_path(X, y, family, **{k: v for k, v in opts.items() if k != "ties"}, relax=True,
                           thresh=1e-14, nlambda=8, lambda_min_ratio=0.05)
    b, a0 = path.coef(blend=0.0), path.intercept(blend=0.0)
    assert path.n_lambdas >= 4 and not path.relaxed_capped.any()
    assert response != "cox" or not path.relaxed_intercepts.any()
    for l in range(1, path.n_lambdas):
        active = np.flatnonzero(np.any(path.coefs.reshape(X.shape[1], -1, path.n_lambdas)[..., l] != 0, axis=1))
        want = refit(X[:, active], y, opts)
        np.testing.assert_allclose(np.r_[np.ravel(a0[..., l]), np.ravel(b[active, ..., l])], want, rtol=rtol,
                                   atol=atol)
        assert not b[np.setdiff1d(np.arange(X.shape[1]), active), ..., l].any()


def test_relaxed_refits_cap_where_the_classes_separate_or_the_rows_run_out():
    """Separable classes: every refit past the null model is capped, with finite coefficients (a step of the capped
    path, not the unbounded refit) that explain more of the deviance than the penalized fit, up to about 0.999
    (where the capped path stops, or its end, 1e-4 times the lambda); blends interpolate. More active variables than
    rows: capped too, finite, and the uncapped refits keep the active set."""
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
    s = 0.5 * (path.lambdas[3] + path.lambdas[4])
    np.testing.assert_allclose(path.coef(s, blend=0.25), 0.25 * path.coef(s) + 0.75 * path.coef(s, blend=0.0),
                               rtol=1e-12)
    X, eta, rng = make_data(n=200)  # (no separation: nothing capped)
    ok = varnel.fit_path(X, (rng.random(200) < 1 / (1 + np.exp(-eta))).astype(float), "logistic", relax=True)
    assert not ok.relaxed_capped.any()
    rng = np.random.default_rng(2)
    X = rng.standard_normal((20, 40))
    wide = varnel.fit_path(X, X[:, :8] @ np.ones(8) + 0.3 * rng.standard_normal(20), relax=True)
    over, free = wide.df + 1 > 20, ~wide.relaxed_capped
    assert over.any() and wide.relaxed_capped[over].all() and np.isfinite(wide.relaxed_coefs).all()
    np.testing.assert_array_equal(wide.relaxed_coefs[:, free] != 0, wide.coefs[:, free] != 0)


def test_relaxed_refits_keep_the_limits_and_unpenalized_variables():
    """The refits are bounded least squares on the active columns (scipy's lsq_linear): the limits hold in the
    refit, a variable with penalty factor 0 is refitted with the others, and a lambda whose active variables are all
    unpenalized keeps the penalized fit, which is its refit."""
    optimize, rng = pytest.importorskip("scipy.optimize"), np.random.default_rng(4)
    X = rng.standard_normal((100, 5))
    y = X[:, 0] + X[:, 1] - 0.5 * X[:, 3] + rng.standard_normal(100)
    lower, upper = np.array([-np.inf, 0, 0, -0.2, -1]), 0.5
    path = varnel.fit_path(X, y, relax=True, penalty_factor=[0, 1, 1, 1, 1], lower_limits=lower,
                           upper_limits=upper, thresh=1e-14)
    assert not path.relaxed_capped.any() and path.df[0] == 1
    np.testing.assert_array_equal(path.relaxed_coefs[:, 0], path.coefs[:, 0])
    for l in range(0, path.n_lambdas, 5):
        active = np.flatnonzero(path.coefs[:, l])
        ref = optimize.lsq_linear(np.column_stack([np.ones(100), X[:, active]]), y, tol=1e-14, lsmr_tol="auto",
                                  bounds=(np.r_[-np.inf, lower[active]], np.r_[np.inf, [upper] * len(active)]))
        np.testing.assert_allclose(np.r_[path.relaxed_intercepts[l], path.relaxed_coefs[active, l]], ref.x,
                                   atol=1e-6)
    # (a limit holds on the standardized scale, to rounding on the original one)
    assert path.relaxed_coefs.max() <= upper + 1e-12 and (path.relaxed_coefs[3] >= -0.2 - 1e-12).all()


def test_relaxed_cox_refits_cap_a_monotone_likelihood():
    """Every event earlier than every censored time, and a variable that is 1 on the events, 0 elsewhere: the
    partial likelihood rises without end in its coefficient. Its refits are capped and finite; a variable with a
    finite optimum (no monotone direction) is not."""
    rng, status = np.random.default_rng(0), (np.arange(60) < 15).astype(float)
    X = np.c_[status, rng.standard_normal((60, 3))[:, 1:]]
    time = np.where(status == 1, rng.uniform(0, 1, 60), rng.uniform(1, 2, 60))
    path = varnel.fit_path(X, np.c_[time, status], "cox", relax=True)
    moving = path.coefs[0] != 0
    assert moving[1:].all() and path.relaxed_capped[moving].all()
    assert np.isfinite(path.relaxed_coefs).all() and (path.relaxed_coefs[0, moving] >= path.coefs[0, moving]).all()
    X[:, 0] = status + rng.standard_normal(60)  # no longer monotone
    finite = varnel.fit_path(X, np.c_[time, status], "cox", relax=True)
    assert not finite.relaxed_capped.any()
