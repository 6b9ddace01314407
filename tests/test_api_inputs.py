"""The inputs users have give the same path as a float64 NumPy array."""

import re

import numpy as np
import pytest

import varnel
import varnel._core  # noqa: F401 - patched below


def make_data(family="gaussian", n=50, p=5, seed=0):
    rng = np.random.default_rng(seed)
    X = np.round(rng.standard_normal((n, p)), 2)
    X[rng.random((n, p)) < 0.4] = 0.0
    return X, response(family, X[:, 0] - 0.7 * X[:, 1] + 0.4 * X[:, 3], rng)


def response(family, eta, rng):
    if family == "gaussian":
        return eta + 0.3 * rng.standard_normal(len(eta))
    if family == "logistic":
        return (rng.random(len(eta)) < 1 / (1 + np.exp(-2 * eta))).astype(float)
    return rng.poisson(np.exp(0.5 * eta)).astype(float)


def exact(text):
    """A pattern matching exactly ``text``."""
    return "^" + re.escape(text) + "$"


def assert_same_path(a, b, tol=0.0):
    assert a.n_lambdas == b.n_lambdas
    for name in ("lambdas", "intercepts", "coefs", "dev_ratio"):
        np.testing.assert_allclose(getattr(a, name), getattr(b, name), rtol=tol, atol=tol, err_msg=name)


FAMILIES = ["gaussian", "logistic", "poisson"]


@pytest.mark.parametrize("family", FAMILIES)
def test_layouts_lists_sparse_formats_and_other_dtypes(family):
    sp = pytest.importorskip("scipy.sparse")
    X, y = make_data(family)
    ref = varnel.fit_path(X, y, family=family)
    s = ref.lambdas[5]
    for fmt in ("csr_matrix", "csc_matrix", "coo_matrix", "csr_array"):
        path = varnel.fit_path(getattr(sp, fmt)(X), y, family=family)
        assert_same_path(ref, path, tol=1e-10)
        np.testing.assert_allclose(path.predict(sp.csr_matrix(X), s=s), path.predict(X, s=s), atol=1e-12)
    wide = np.zeros((X.shape[0], 2 * X.shape[1]))
    wide[:, ::2] = X
    for Xv, yv in ((np.asfortranarray(X), y), (X.tolist(), y.tolist()), (wide[:, ::2], y)):
        assert_same_path(ref, varnel.fit_path(Xv, yv, family=family))
    # integers, bools, single precision: converted exactly
    for Xv in (np.round(3 * X).astype(np.int8), X > 0, X.astype(np.float32)):
        assert_same_path(varnel.fit_path(Xv.astype(float), y, family=family), varnel.fit_path(Xv, y, family=family))


@pytest.mark.parametrize("lib", ["pandas", "polars"])
@pytest.mark.parametrize("family", FAMILIES)
def test_data_frame_inputs(family, lib):
    X, y = make_data(family)
    names = ["age", "dose", "bmi", "score", "time"]
    mod = pytest.importorskip(lib)
    frame = mod.DataFrame(X, columns=names) if lib == "pandas" else mod.DataFrame(X, schema=names)
    w = np.linspace(0.5, 2.0, len(y))
    series = mod.Series(y)
    if family == "logistic":  # categorical labels
        series = mod.Series(np.where(y > 0, "yes", "no"), dtype=mod.Categorical if lib == "polars" else "category")
    path = varnel.fit_path(frame, series, family=family, weights=mod.Series(w))
    assert_same_path(varnel.fit_path(X, y, family=family, weights=w), path)
    assert path.feature_names == names and (family != "logistic" or list(path.classes) == ["no", "yes"])
    # prediction matches columns by name, whatever their order
    s = path.lambdas[path.n_lambdas // 2]
    np.testing.assert_allclose(path.predict(frame[names[::-1]], s=s), path.predict(X, s=s), atol=1e-12)
    with pytest.raises(ValueError, match="lacks"):
        path.predict(frame[[c for c in names if c != "bmi"]], s=s)
    # exclude by name; cross-validation takes the frame too
    ex = varnel.fit_path(frame, y, family=family, exclude=["age"])
    assert np.all(ex.coefs[0] == 0)
    fid = np.arange(len(y)) % 3
    np.testing.assert_array_equal(varnel.cv_path(frame, series, family, foldid=fid).cvm,
                                  varnel.cv_path(X, y, family, foldid=fid).cvm)
    if lib != "pandas" or family != "gaussian":
        return
    # mixed column dtypes
    mixed = frame.assign(age=(X[:, 0] * 100).astype(np.int64))
    assert_same_path(varnel.fit_path(mixed.to_numpy(float), y), varnel.fit_path(mixed, y))
    # labels are matched exactly as given: 0 and "0" are two columns
    odd = frame.iloc[:, :4].set_axis([0, 1, "0", "x"], axis=1)
    fit = varnel.fit_path(odd, y, family=family, exclude=["x"])
    assert fit.feature_names == [0, 1, "0", "x"] and not fit.coefs[3].any()
    ref = fit.predict(X[:, :4])
    np.testing.assert_array_equal(fit.predict(odd), ref)
    np.testing.assert_array_equal(fit.predict(odd[["x", "0", 1, 0]]), ref)
    with pytest.raises(ValueError, match=r"duplicate column names \['0'\]"):
        varnel.fit_path(odd.rename(columns={"x": "0"}), y, family=family)


@pytest.mark.parametrize("fmt", ["csc", "csr", "csc unsorted", "coo duplicates"])
def test_sparse_input_is_copied_at_most_once(fmt, monkeypatch):
    # A float64 CSC matrix reaches the solver as it is, a CSR one converted once (peak: one
    # matrix); an unsorted or COO one (duplicates, int64, float32) is mended on a copy.
    import tracemalloc

    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(0)
    X = sp.random(4000, 60, density=0.1, format="csc", random_state=rng)
    y = X @ rng.normal(size=60) + rng.normal(size=4000)
    given = X.tocsr() if fmt == "csr" else X
    if fmt == "csc unsorted":
        order = np.concatenate([np.arange(a, b)[::-1] for a, b in zip(X.indptr[:-1], X.indptr[1:])])
        given = sp.csc_matrix((X.data[order], X.indices[order], X.indptr), shape=X.shape)
    elif fmt == "coo duplicates":
        coo = X.tocoo()
        given = sp.coo_matrix((np.tile(coo.data / 2, 2).astype(np.float32),
                               (np.tile(coo.row, 2).astype(np.int64), np.tile(coo.col, 2).astype(np.int64))),
                              shape=X.shape)
    arrays = [getattr(given, a) for a in ("data", "indices", "indptr", "row", "col") if hasattr(given, a)]
    before = [a.copy() for a in arrays]
    seen = []
    fit = varnel._core.fit
    monkeypatch.setattr(varnel._core, "fit", lambda x, *a, **k: seen.append(x) or fit(x, *a, **k))
    tracemalloc.start()
    path = varnel.fit_path(given, y, nlambda=5)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert np.shares_memory(seen[0][4], given.data) == (fmt == "csc")
    if fmt == "csr":
        assert peak < 1.5 * sum(a.nbytes for a in before)
    for a, b in zip(arrays, before):
        np.testing.assert_array_equal(a, b)
    assert_same_path(varnel.fit_path(given.toarray(), y, nlambda=5), path, tol=1e-10)


def test_sparse_input_is_never_densified():
    # 50,000 x 100,001 dense would take 37 GiB; just over SPARSE_MIN_FEATURES
    # columns, the coefficients stay sparse too
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(0)
    p = varnel._coefs.SPARSE_MIN_FEATURES + 1
    X = sp.random(50_000, p, density=1e-5, format="csr", random_state=rng)
    y = (X @ rng.normal(size=p) + 0.1 * rng.normal(size=50_000) > 0).astype(float)
    path = varnel.fit_path(X, y, "logistic", nlambda=4, lambda_min_ratio=0.5)
    assert sp.isspmatrix_csc(path.coefs) and path.coefs.shape == (p, 4) and path.df[-1] > 0
    dense = varnel.fit_path(X, y, "logistic", nlambda=4, lambda_min_ratio=0.5, coef_storage="dense")
    assert not dense.sparse_coefs and np.array_equal(path.dense_coefs(), dense.coefs)
    assert not varnel.fit_path(X[:, :-1], y, "logistic", nlambda=2).sparse_coefs


# ---- per-feature settings labelled by feature name ----------------------------------

COLUMNS = ["a", "b", "c", "d", "e"]
#: each setting's values in the column order of X, and a second setting with it
SETTINGS = {"penalty_factor": ([1.0, 2.0, 1.0, 0.0, 0.5], {}),
            "lower_limits": ([-9.0, -9.0, -0.2, 0.0, -9.0], {}),
            "upper_limits": ([9.0, 0.0, 9.0, 0.1, 9.0], {})}


def _labelled(kind, values, order):
    """The values keyed by column name, in the order ``order`` of names."""
    pd = pytest.importorskip("pandas")
    by_name = dict(zip(COLUMNS, values))
    keyed = {c: by_name[c] for c in order}
    if kind == "dict":
        return keyed
    if kind == "pandas":
        return pd.Series(keyed)
    if kind == "polars row":
        return pytest.importorskip("polars").DataFrame({c: [v] for c, v in keyed.items()})
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["pandas", "dict", "polars row"])
@pytest.mark.parametrize("setting", list(SETTINGS))
@pytest.mark.parametrize("family", FAMILIES)
def test_labelled_settings_go_by_name(family, setting, kind):
    # a setting keyed by feature name, in any order, is the positional one in the
    # columns' order, bit for bit, and not the values in the order given
    pd = pytest.importorskip("pandas")
    X, y = make_data(family)
    frame = pd.DataFrame(X, columns=COLUMNS)
    values, _ = SETTINGS[setting]
    ref = varnel.fit_path(frame, y, family, **{setting: np.array(values)})
    order = COLUMNS[::-1]
    got = varnel.fit_path(frame, y, family, **{setting: _labelled(kind, values, order)})
    assert_same_path(ref, got)
    by_position = varnel.fit_path(frame, y, family, **{setting: [dict(zip(COLUMNS, values))[c] for c in order]})
    assert not np.array_equal(by_position.coefs[:, -1], ref.coefs[:, -1])
    # lists, arrays and Series with the default index 0..p-1 go by position
    plain = [np.array(values), list(values), pd.Series(values)]
    if kind == "polars row":
        plain.append(pytest.importorskip("polars").Series(values))
    for given in plain:
        assert_same_path(ref, varnel.fit_path(frame, y, family, **{setting: given}))
    # the estimators align the same way (two fits of the same estimator)
    if family == "gaussian":
        sk = pytest.importorskip("varnel.estimators")
        a = sk.ElasticNetRegressor(alpha=0.05, **{setting: np.array(values)}).fit(frame, y)
        b = sk.ElasticNetRegressor(alpha=0.05, **{setting: _labelled(kind, values, order)}).fit(frame, y)
        np.testing.assert_array_equal(a.coef_, b.coef_)


#: a labelled setting that names an unknown feature or misses one: (value from the
#: values in column order, X as a data frame or an array, the error after the setting's name)
LABELLED_REFUSALS = [
    (lambda v: {**dict(zip("abcd", v)), "x": 1.0}, "frame", r"names the unknown feature 'x'; the features of X are"),
    (lambda v: dict(zip("abcd", v)), "frame", exact("has no value for the feature(s) ['e']; a labelled setting "
                                                   "needs one value per column of X")),
    (lambda v: dict(zip("abcde", v)), "array", r"is labelled by feature name \(\['a', 'b', 'c', 'd', 'e'\]\), "
                                               r"but X has no column names to match them with"),
    (lambda v: __import__("pandas").Series(v, index=[4, 3, 2, 1, 0]), "array", "is labelled by feature name"),
    (lambda v: __import__("pandas").Series(v, index=[0, 1, 2, 3, 5]), "frame", r"names the unknown feature 0;"),
]


@pytest.mark.parametrize("change,exc,match", [
    (lambda X, y: (X.astype(complex), y, {}), TypeError, "complex"),
    (lambda X, y: (np.array([["a", "b"], ["c", "d"]], dtype=object), [1.0, 2.0], {}), ValueError, "numbers"),
    (lambda X, y: (X, y[:-1], {}), ValueError, "rows"),
    (lambda X, y: (X, np.column_stack([y, y]), {}), ValueError, "1-D"),
    (dict(weights=np.ones(49)), ValueError, "weights"),
    (dict(weights=np.zeros(50)), ValueError, "zero"),
    (dict(penalty_factor=[1, 2]), ValueError, "penalty_factor"),
    # what the solvers cannot fit, in words (no internal code)
    (lambda X, y: (np.ones_like(X), y, {}), ValueError,
     r"^every column of X is constant on the rows of positive weight, or excluded: there is no variable to fit$"),
    (dict(exclude=list(range(5))), ValueError, r"^every column of X is constant"),
    (dict(standardize="False"), TypeError, "standardize must be True or False"),
    (dict(intercept=1), TypeError, "intercept must be True or False"),
    (dict(exclude=True), TypeError, "exclude"),
    (dict(exclude=[0.5]), TypeError, "exclude"),
    (dict(exclude=["a"]), ValueError, "unknown feature name 'a'"),
    (dict(alpha=np.nan), ValueError, r"alpha must lie in \[0, 1\], got nan"),
    (lambda X, y: (X, y > 0, dict(alpha=-0.5, family="logistic")), ValueError, r"alpha must lie in \[0, 1\]"),
    (dict(lambda_min_ratio=-0.5), ValueError, r"lambda_min_ratio must lie in \(0, 1\)"),
    (dict(lambda_min_ratio=1.0, user_lambda=[0.1]), ValueError, "lambda_min_ratio"),
    (dict(thresh=0.0), ValueError, r"thresh must lie in \(0, inf\), got 0"),
    (dict(coef_storage="csc"), ValueError, r"coef_storage must be one of \('auto', 'dense', 'sparse'\), got 'csc'$"),
    (dict(coef_storage=None), ValueError, r"coef_storage must be one of .*, got None$"),
    (dict(thresh=np.inf), ValueError, "thresh must lie in"),
    (dict(offset=np.zeros((50, 2))), ValueError, r"offset must have shape \(50,\)"),
    (dict(weights=np.r_[np.ones(49), -1e-300]), ValueError,
     r"weights must be non-negative, but weights\[49\] is -1e-300"),
    (lambda X, y: (X, np.r_[np.zeros(25), np.ones(24), 1e300], dict(family="logistic")), ValueError,
     r"found 3 class\(es\): 0, 1, 1e\+300; use family='multinomial'"),
    (lambda X, y: (X, np.ones(50), dict(family="logistic")), ValueError, r"found 1 class\(es\): 1$"),
    # a missing response is named with its row, whatever holds it
    (lambda X, y: (X, np.r_[y[:7], np.nan, y[8:]], {}), ValueError, r"y has a missing value .* in row 7"),
    (lambda X, y: (X, np.where(np.arange(50) == 3, np.nan, y > 0), dict(family="logistic")),
     ValueError, r"in row 3, at y\[3\]"),
    *[(lambda X, y, f=f, v=v: (X, v(), dict(family=f)), ValueError, "missing value .* in row 2") for f, v in [
        ("multinomial", lambda: np.array(["a", "b", None, "c", "a"] * 10, dtype=object)),
        ("multinomial", lambda: np.array(["a", "b", float("nan")] * 16 + ["a", "b"], dtype=object)),
        ("logistic", lambda: __import__("pandas").Series(["a", "b", None, "a"] * 12 + ["a", "b"], dtype="string")),
        ("logistic", lambda: __import__("pandas").Series([True, False, None] * 16 + [True, False], dtype="boolean"))]],
    (lambda X, y: (X, __import__("pandas").array([1, None] + [2] * 48, dtype="Int64"), dict(family="poisson")),
     ValueError, "missing value .* in row 1"),
    # each message names the argument at fault and the right remedy
    (lambda X, y: (None, y, {}), ValueError,
     exact("X is None; X must be an array-like or sparse matrix of shape (n_samples, n_features)")),
    (lambda X, y: (X, None, {}), ValueError, r"^y is None; y must be an array-like of shape \(50,\)"),
    (lambda X, y: (__import__("polars").DataFrame(X).lazy(), y, {}), ValueError,
     exact("X is a polars LazyFrame, whose rows are not computed yet; call X.collect() first and pass "
           "the DataFrame it returns")),
    (lambda X, y: (X, y, dict(weights=__import__("polars").DataFrame({"w": np.ones(50)}).lazy())), ValueError,
     r"^weights is a polars LazyFrame.*call weights\.collect\(\) first"),
    (lambda X, y: (X, __import__("polars").DataFrame(np.c_[y, -y]).lazy(), dict(family="multitask")), ValueError,
     r"^y is a polars LazyFrame.*call y\.collect\(\) first"),
    (lambda X, y: (X, y, dict(offset=__import__("polars").DataFrame({"o": y}).lazy())), ValueError,
     r"^offset is a polars LazyFrame"),
    (lambda X, y: (X[:, 0], y, {}), ValueError,
     exact("X must be 2-D (n_samples, n_features), got shape (50,); use X.reshape(-1, 1) for a single "
           "feature or X.reshape(1, -1) for a single row")),
    (dict(penalty_factor=[1, -0.5, 1, 1, 1]), ValueError,
     exact("penalty_factor must be non-negative (0 leaves a feature unpenalized), but penalty_factor[1] "
           "is -0.5")),
    (lambda X, y: (__import__("pandas").DataFrame(X, columns=list("abcde")), y,
                   dict(penalty_factor=[1, 1, 1, -np.inf, 1])), ValueError,
     exact("penalty_factor must be non-negative (0 leaves a feature unpenalized), but penalty_factor[3] "
           "(feature 'd') is -inf")),
    (lambda X, y: (X, y * 1e-200, {}), ValueError,
     exact("the data underflow: the weighted sum of squares of y is too small to be represented; "
           "scale y up")),
    (lambda X, y: (X, y * 1e-200, dict(solver="covariance")), ValueError, "^the data underflow: .*; scale y up$"),
    (lambda X, y: (X, np.c_[y, -y] * 1e-200, dict(family="multitask")), ValueError,
     exact("the data underflow: the sum of squares of y is too small to be represented; scale y up")),
    (lambda X, y: (X, np.abs(np.round(y)), dict(family="poisson", offset=np.full(50, 1000.0))), ValueError,
     exact("the data overflow: the null deviance is not finite at this offset, whose exp() leaves the range "
           "of doubles; scale the offset down (it is added to the linear predictor: the log of an "
           "exposure, not the exposure)")),
    (lambda X, y: (X, np.c_[y, -y], dict(family="multitask", offset=np.zeros(50))), ValueError,
     exact("offset must have shape (50, 2), one value per row and response, got shape (50,)")),
    (lambda X, y: (X, np.digitize(y, [-0.5, 0.5]), dict(family="multinomial", offset=np.zeros(50))),
     ValueError, exact("offset must have shape (50, 3), one value per row and class, got shape (50,)")),
] + [(lambda X, y, s=s, g=g, k=k: (__import__("pandas").DataFrame(X, columns=COLUMNS) if k == "frame" else X, y,
                                  {s: g(SETTINGS[s][0])}), ValueError, "^" + re.escape(s) + " " + m.lstrip("^"))
      for s in SETTINGS for g, k, m in LABELLED_REFUSALS])
def test_bad_inputs(change, exc, match):
    # change: the options of fit_path, or a function of X and y giving X, y and the options
    pytest.importorskip("pandas")
    X, y = make_data()
    X, y, kwargs = change(X, y) if callable(change) else (X, y, change)
    with pytest.raises(exc, match=match):
        varnel.fit_path(X, y, **kwargs)


# every family of the registry with an intercept; without one, those whose all-zero response has nothing to fit
@pytest.mark.parametrize("family, intercept", [
    (f.name, True) for f in __import__("varnel.families").families.FAMILIES] + [
    ("gaussian", False), ("multitask", False)])
def test_a_constant_response_is_refused_in_every_family(family, intercept):
    # a ValueError before any path (never a path of lambdas near 1e-31)
    X, _ = make_data(n=80, p=4)
    value = 1.0 if intercept else 0.0
    y = {"multitask": np.full((80, 3), value), "cox": np.c_[np.full(80, 2.0), np.ones(80)]}.get(
        family, np.full(80, value))
    fam = __import__("varnel.families").families.get_family(family + (":1.5" if family == "tweedie" else ""))
    text = {"multitask": ("the responses are constant: every column of y takes a single value on every "
                          "observation of positive weight, so there is nothing to fit") if intercept else
            ("the responses are constant at 0: y is 0 on every observation of positive weight and no "
             "intercept is fitted, so there is nothing to fit"),
            "cox": "the cox family has nothing to fit: the null model already attains the largest partial "
                   "likelihood (every risk set holds only tied events)",
            "logistic": "the logistic family needs exactly two classes in y, found 1 class(es): 1",
            "multinomial": "the multinomial family needs at least two classes in y, found 1"}.get(
        family, "the response is constant: y takes a single value on every observation of positive weight, "
                "so there is nothing to fit" if intercept else
                "the response is constant at 0: y is 0 on every observation of positive weight and no "
                "intercept is fitted, so there is nothing to fit")
    with pytest.raises(ValueError, match=exact(text)):
        varnel.fit_path(X, y, fam, intercept=intercept)
    if family == "multitask":  # one constant response among varying ones is fitted
        y2 = np.c_[X[:, 0] + 0.1 * X[:, 1], y[:, 1:]]
        assert varnel.fit_path(X, y2, fam, intercept=intercept).n_lambdas > 1


# ---- categorical columns ------------------------------------------------------------
#: the levels of the two categorical columns as drawn, and in declared order
DRAWN = (["lo", "mid", "hi"], ["p", "q", "r", "s"])
DECLARED = (["mid", "lo", "hi"], ["s", "q", "r", "p"])
#: how a frame holds a categorical column; whether its levels are the declared ones (else sorted)
CATEGORICAL_KINDS = {
    "pandas category": ("pandas", lambda pd, v, lv: pd.Categorical(v, categories=lv), True),
    "pandas string": ("pandas", lambda pd, v, lv: pd.Series(v, dtype="string"), False),
    "pandas object": ("pandas", lambda pd, v, lv: np.asarray(v, dtype=object), False),
    "polars Categorical": ("polars", lambda pl, v, lv: pl.Series(v, dtype=pl.Categorical), False),
    "polars Enum": ("polars", lambda pl, v, lv: pl.Series(v, dtype=pl.Enum(lv)), True),
    "polars String": ("polars", lambda pl, v, lv: pl.Series(v, dtype=pl.String), False),
}


def categorical_data(family="gaussian", n=120, seed=0):
    """Two numeric and two categorical columns (as text), and a response
    that depends on both kinds."""
    rng = np.random.default_rng(seed)
    x = np.round(rng.standard_normal((n, 2)), 2)
    c, d = rng.choice(DRAWN[0], n), rng.choice(DRAWN[1], n)
    return x, c, d, response(family, x[:, 0] + 0.8 * (c == "hi") - 0.6 * (d == "q") + 0.5 * (d == "s"), rng)


def categorical_frame(kind, x, c, d, sparse_numbers=False):
    """Columns x0, c, x1, d: a frame of the kind, and the levels the
    conversion takes."""
    lib, make, declared = CATEGORICAL_KINDS[kind]
    mod = pytest.importorskip(lib)
    levels = DECLARED if declared else tuple(sorted(set(v)) for v in (c, d))
    num = [mod.arrays.SparseArray(x[:, j]) if sparse_numbers else x[:, j] for j in (0, 1)]
    cols = {"x0": num[0], "c": make(mod, c, levels[0]), "x1": num[1], "d": make(mod, d, levels[1])}
    return mod.DataFrame(cols), levels


def one_hot(x, c, d, levels, drop=None):
    """The same design by hand: scikit-learn's OneHotEncoder of c and d
    beside the numbers, as a dense array."""
    from sklearn.preprocessing import OneHotEncoder

    enc = OneHotEncoder(categories=[list(levels[0]), list(levels[1])], drop=drop,
                        sparse_output=False)
    oh = enc.fit_transform(np.column_stack([c, d]).astype(object))
    k = len(levels[0]) - (drop is not None)
    return np.column_stack([x[:, 0], oh[:, :k], x[:, 1], oh[:, k:]])


@pytest.mark.parametrize("standardize", [True, False])
@pytest.mark.parametrize("kind, numbers", [(k, "dense") for k in CATEGORICAL_KINDS] + [
    (k, "pandas sparse") for k, (lib, *_) in CATEGORICAL_KINDS.items() if lib == "pandas"] + [
    (k, "dense, drop_first") for k in ("pandas category", "polars Enum", "pandas object")])
@pytest.mark.parametrize("family", FAMILIES)
def test_categorical_columns_fit_as_their_one_hot_indicators(family, kind, numbers, standardize):
    sp = pytest.importorskip("scipy.sparse")
    x, c, d, y = categorical_data(family)
    frame, levels = categorical_frame(kind, x, c, d, numbers == "pandas sparse")
    first = int(numbers.endswith("drop_first"))  # the first level of each left out
    path = varnel.fit_path(frame, y, family, standardize=standardize, drop_first=bool(first))
    ref = one_hot(x, c, d, levels, drop="first" if first else None)
    # by default each categorical column's indicators are one group: the indicators'
    # design with those groups gives the same bits (dense: to the sparse solver's rounding)
    src = np.repeat([0, 1, 2, 3], [1, 3 - first, 1, 4 - first])
    grouped = dict(standardize=standardize, feature_groups=src)
    assert_same_path(varnel.fit_path(sp.csc_matrix(ref), y, family, **grouped), path)
    dense = varnel.fit_path(ref, y, family, **grouped)
    assert_same_path(dense, path, tol=1e-9)
    assert path.group_names == ["x0", "c", "x1", "d"] and path.groups_active.shape == (4, path.n_lambdas)
    # without groups, each indicator is a column of the elastic net
    assert_same_path(varnel.fit_path(sp.csc_matrix(ref), y, family, standardize=standardize),
                     varnel.fit_path(frame, y, family, standardize=standardize, drop_first=bool(first),
                                     feature_groups=None))
    assert path.feature_names == (["x0"] + [f"c[{v}]" for v in levels[0][first:]] + ["x1"]
                                  + [f"d[{v}]" for v in levels[1][first:]])
    np.testing.assert_array_equal(path.source_of_column, src)
    assert {k: v.tolist() for k, v in path.categories.items()} == {"c": list(levels[0]),
                                                                  "d": list(levels[1])}
    # new rows are encoded with the fitted levels, whatever rows they hold
    rows = np.arange(len(y))[::-7]
    new, _ = categorical_frame(kind, x[rows], c[rows], d[rows])
    s = path.lambdas[path.n_lambdas // 2]
    np.testing.assert_allclose(path.predict(new, s=s, kind="response"),
                               dense.predict(ref[rows], s=s, kind="response"), rtol=1e-8, atol=1e-12)
    if kind == "pandas category":  # levels match by value, whatever a new frame declares
        other = new.assign(c=new["c"].cat.set_categories(["hi", "zz", "lo", "mid"]))
        np.testing.assert_array_equal(path.predict(other, s=s), path.predict(new, s=s))
    # cross-validation encodes once, with every fold on the full data's levels
    fid = np.arange(len(y)) % 4
    np.testing.assert_allclose(varnel.cv_path(frame, y, family, foldid=fid, drop_first=bool(first)).cvm,
                               varnel.cv_path(sp.csc_matrix(ref), y, family, foldid=fid,
                                              feature_groups=src).cvm,
                               rtol=1e-12)
    if not first or family != "gaussian" or not standardize:
        return
    # the optimality of the path is checked on the design it was fitted on, with its groups
    np.testing.assert_allclose(path.optimality(frame, y).violation,
                               varnel.fit_path(ref, y, feature_groups=src).optimality(ref, y).violation,
                               rtol=1e-6, atol=1e-12)
    # unpenalized, the dropped levels are the intercept's: the same predictions as with
    # every level (penalty factors sum to p: lambda of 7 columns is 9/7 that of 9)
    full = varnel.fit_path(frame, y, user_lambda=[0.05], thresh=1e-14, feature_groups=None,
                           penalty_factor=[1, 0, 0, 0, 1, 0, 0, 0, 0])
    dropped = varnel.fit_path(frame, y, user_lambda=[0.05 * 9 / 7], thresh=1e-14, drop_first=True,
                              feature_groups=None, penalty_factor=[1, 0, 0, 1, 0, 0, 0])
    np.testing.assert_allclose(dropped.predict(frame), full.predict(frame), rtol=1e-6, atol=1e-6)


def _pd():
    return pytest.importorskip("pandas")


def _cat_frame(n=60, seed=3, **columns):
    """A frame x (numbers), c (levels a, b, c) and the given columns."""
    rng = np.random.default_rng(seed)
    frame = _pd().DataFrame({"x": np.round(rng.standard_normal(n), 2),
                             "c": _pd().Categorical(rng.choice(["a", "b", "c"], n))})
    for name, values in columns.items():
        frame[name] = values
    return frame


def _cat_y(frame):
    return frame["x"].to_numpy() + (frame["c"] == "b").to_numpy() + \
        0.1 * np.random.default_rng(1).standard_normal(len(frame))


def _with(frame, row, column, value):
    out = frame.copy()
    if isinstance(out[column].dtype, _pd().CategoricalDtype):
        out[column] = out[column].astype(object)
    out.loc[row, column] = value
    return out


UNSEEN = exact("X has the level 'zz' in categorical column 'c' (row 4), which was not seen at fit time; the "
               "fitted levels are ['a', 'b', 'c']; fit with handle_unknown='zero' to give unseen levels no indicator")
# (what is fitted, its options, what is predicted; the error, or None)
CATEGORICAL_HOSTILE = {
    "unseen level at predict": (_cat_frame, {}, lambda f: _with(f, 4, "c", "zz"), UNSEEN),
    "unseen category at predict": (
        _cat_frame, {}, lambda f: f.assign(c=_pd().Categorical(f["c"].astype(object).where(f.index != 4, "zz"))),
        UNSEEN),
    "missing category at predict": (
        _cat_frame, {}, lambda f: f.assign(c=f["c"].where(f.index != 6)),
        r"^X has a missing value \(NA, None or NaN\) in categorical column 'c', row 6; drop or fill"),
    "missing value at fit": (
        lambda: _with(_cat_frame(), 7, "c", None), {}, None,
        exact("X has a missing value (NA, None or NaN) in categorical column 'c', row 7; drop or fill "
              "the rows with missing values first, or pass missing='level' to give them a level of "
              "their own")),
    "polars null at fit": (
        lambda: __import__("polars").DataFrame({"x": np.arange(6.0), "s": ["u", "v", None, "u", "v", "u"]}),
        {}, None, r"in categorical column 's', row 2; drop or fill"),
    "missing value at predict": (
        _cat_frame, {}, lambda f: _with(f, 2, "c", np.nan),
        exact("X has a missing value (NA, None or NaN) in categorical column 'c', row 2; drop or fill "
              "the rows with missing values first, or fit with missing='level' to give them a level "
              "of their own")),
    "missing at predict, none at fit": (
        _cat_frame, {"missing": "level"}, lambda f: _with(f, 2, "c", None),
        r"row 2; the column had no missing value at fit time, so it has no missing level; fill the "
        r"value, or fit with handle_unknown='zero'"),
    "a column missing at predict": (
        _cat_frame, {}, lambda f: f[["c"]],
        exact("X's columns ['c'] are not the fitted columns ['x', 'c']: it lacks ['x']; pass the "
              "columns the model was fitted with, in the same order (e.g. X[fitted_columns])")),
    "an extra column at predict": (
        _cat_frame, {}, lambda f: f.assign(z=1.0), r"it has the unknown column\(s\) \['z'\]"),
    "columns reordered at predict": (
        _cat_frame, {}, lambda f: f[["c", "x"]], r"are not the fitted columns \['x', 'c'\]: they are "
                                                  r"in another order"),
    "an array at predict": (
        _cat_frame, {}, lambda f: np.ones((3, 4)),
        exact("X must be a data frame with the columns ['x', 'c']: the model was fitted on a data "
              "frame with categorical columns, whose levels are matched by value")),
    "text in a numeric column at predict": (
        _cat_frame, {}, lambda f: f.assign(x=f["x"].astype(object).where(f.index != 5, "7")),
        exact("X must hold numbers in column 'x', which was numeric at fit time, but X[5, 0] is '7'")),
    "a date beside a categorical": (
        lambda: _cat_frame(when=_pd().Timestamp("2024-01-01")), {}, None,
        r"^X must hold numbers in column 'when', which is not categorical, but X\[0, 2\] is datetime"),
    "NaN in a numeric column": (
        lambda: _cat_frame().assign(x=lambda f: f["x"].where(f.index != 9)), {}, None,
        exact("X contains NaN or inf: X[9, 0] (column 'x') is nan")),
    "values without order": (
        lambda: _cat_frame(o=np.array([1, "a"] * 30, dtype=object)), {}, None,
        r"^X column 'o' mixes values of the types \['int', 'str'\], which have no order"),
    "a bad handle_unknown": (_cat_frame, {"handle_unknown": "ignore"}, None,
                             exact("handle_unknown must be one of ('error', 'zero'), got 'ignore'")),
    "a bad missing": (_cat_frame, {"missing": None}, None,
                      exact("missing must be one of ('error', 'level'), got None")),
    "a categorical Dask data frame": (
        lambda: __import__("dask.dataframe").dataframe.from_pandas(_cat_frame(), npartitions=2), {},
        None, exact("X has the categorical column(s) ['c']: categorical columns are encoded for X in "
                    "memory only, not for a Dask data frame; compute X into memory (X.compute()) to "
                    "fit them, or encode them as numbers first")),
}


@pytest.mark.parametrize("case", list(CATEGORICAL_HOSTILE))
def test_categorical_hostile_inputs(case):
    make, options, predicted, match = CATEGORICAL_HOSTILE[case]
    fitted = make()
    y = np.arange(len(fitted), dtype=float) % 5
    with pytest.raises(ValueError, match=match):
        path = varnel.fit_path(fitted, y, **options)
        new = predicted(_pd().DataFrame(fitted) if hasattr(fitted, "loc") else fitted)
        before = new.copy()
        try:
            path.predict(new)
        finally:  # nothing is written to the caller's frame
            assert before.equals(new) if hasattr(new, "equals") else np.array_equal(before, new)
    if predicted is not None:  # only the prediction is refused
        assert varnel.fit_path(fitted, y, **options).n_lambdas > 1
    if "bad" not in case and "Dask" not in case:
        with pytest.raises(ValueError, match=match):  # and so do the estimators
            model = pytest.importorskip("varnel.estimators").ElasticNetRegressor(alpha=0.1, **options)
            model.fit(fitted, y).predict(predicted(fitted))


@pytest.mark.parametrize("options", [dict(handle_unknown="zero", missing="level"), dict(missing="level"),
                                     dict(handle_unknown="zero", missing="level", drop_first=True)])
def test_unseen_and_missing_levels_are_encoded_as_asked(options):
    frame = _cat_frame()
    frame["c"] = frame["c"].astype(object)
    frame.loc[[3, 11], "c"] = None
    y = _cat_y(frame.fillna("a"))
    path = varnel.fit_path(frame, y, **options)
    first = int(options.get("drop_first", False))
    names = ["x"] + [f"c[{v}]" for v in "abc"[first:]] + ["c[NA]"]
    assert path.feature_names == names and path.categories["c"].tolist() == ["a", "b", "c", None]
    # the missing level is a column of its own: the rows without a value
    design = np.column_stack([frame["x"]] + [(frame["c"] == v).to_numpy() for v in "abc"[first:]]
                             + [frame["c"].isna().to_numpy()]).astype(float)
    ref = varnel.fit_path(design, y, feature_groups=path.source_of_column)
    assert_same_path(ref, path, tol=1e-9)
    new = _pd().DataFrame({"x": [0.5, 0.5, 0.5], "c": ["zz", None, "b"]})
    by_hand = np.array([[0.5] + [0.0] * (len(names) - 1),
                        [0.5] + [0.0] * (len(names) - 2) + [1.0],
                        [0.5] + [float(v == "b") for v in "abc"[first:]] + [0.0]])
    s = path.lambdas[-1]
    if options.get("handle_unknown") == "zero":  # an unseen level has no indicator
        np.testing.assert_allclose(path.predict(new, s=s), ref.predict(by_hand, s=s), rtol=1e-9)
    else:
        np.testing.assert_allclose(path.predict(new[1:], s=s), ref.predict(by_hand[1:], s=s), rtol=1e-9)
        with pytest.raises(ValueError, match="the level 'zz' in categorical column 'c' .row 0."):
            path.predict(new)


def test_levels_that_no_row_of_positive_weight_holds():
    # a categorical of one level, a declared level no row holds, a level whose rows weigh 0:
    # constant columns on the rows of positive weight, left at zero; the rest fits without them
    frame = _cat_frame(one=_pd().Categorical(["k"] * 60),
                       e=_pd().Categorical(["u", "v"] * 30, categories=["u", "v", "w"]))
    y = _cat_y(frame)
    w = np.where(frame["c"] == "c", 0.0, 1.0)
    path = varnel.fit_path(frame, y, weights=w, feature_groups=None)
    assert path.feature_names == ["x", "c[a]", "c[b]", "c[c]", "one[k]", "e[u]", "e[v]", "e[w]"]
    zero = [3, 4, 7]
    assert not path.coefs[zero].any()
    rest = [0, 1, 2, 5, 6]
    design = np.column_stack([frame["x"], frame["c"] == "a", frame["c"] == "b", frame["e"] == "u",
                              frame["e"] == "v"]).astype(float)
    ref = varnel.fit_path(design[w > 0], y[w > 0])
    np.testing.assert_allclose(path.coefs[rest], ref.coefs, rtol=1e-9, atol=1e-12)
    # grouped, those columns stay at zero too
    assert not varnel.fit_path(frame, y, weights=w).coefs[zero].any()
    # dropped, a categorical of one level leaves no column at all
    assert "one[k]" not in varnel.fit_path(frame, y, drop_first=True).feature_names


def test_a_level_held_by_one_fold_only():
    # a level whose rows are all in one fold is a column of zeros in its training rows
    frame = _cat_frame(n=80)
    c = frame["c"].astype(object)
    c[:10] = "rare"
    frame["c"] = c
    y = _cat_y(frame)
    fid = np.r_[np.zeros(10, int), np.arange(70) % 3 + 1]
    cvp = varnel.cv_path(frame, y, foldid=fid)
    assert np.isfinite(cvp.cvm).all()
    design = np.column_stack([frame["x"]] + [(c == v).to_numpy() for v in ["a", "b", "c", "rare"]])
    # (the indicators' design as the sparse storage it is encoded to)
    ref = varnel.cv_path(__import__("scipy.sparse").sparse.csc_matrix(design.astype(float)), y, foldid=fid,
                         feature_groups=[0, 1, 1, 1, 1])
    np.testing.assert_allclose(cvp.cvm, ref.cvm, rtol=1e-9)
    np.testing.assert_allclose(cvp.predict(frame[:12]), ref.predict(design[:12]), atol=1e-12)
    # and the path keeps the levels through a JSON round trip of its description
    import json
    assert json.loads(json.dumps(cvp.path.to_dict()))["categories"] == {"c": ["a", "b", "c", "rare"]}


@pytest.mark.parametrize("setting, given, positional", [
    ("penalty_factor", {"x": 1.0, "c": 0.0}, [1.0, 0.0, 0.0, 0.0]),
    ("penalty_factor", "series", [1.0, 0.0, 0.0, 0.0]),
    ("upper_limits", {"c": 0.3, "x": 2.0}, [2.0, 0.3, 0.3, 0.3]),
    ("exclude", "c", None),
    ("exclude", ["c[b]"], None),
])
def test_a_categorical_column_name_stands_for_its_indicators(setting, given, positional):
    # a categorical column's name gives its value to every indicator of the column
    # (each penalized on its own: the per-column settings take no groups)
    frame = _cat_frame()
    y = _cat_y(frame)
    if given == "series":
        given = _pd().Series({"c": 0.0, "x": 1.0})
    alone = dict(feature_groups=None)
    got = varnel.fit_path(frame, y, **{setting: given}, **alone)
    if setting == "exclude":
        gone = [1, 2, 3] if given == "c" else [2]
        assert not got.coefs[gone].any() and got.coefs[[j for j in range(4) if j not in gone]].any()
        want = varnel.fit_path(frame, y, exclude=[got.feature_names[j] for j in gone], **alone)
    else:
        want = varnel.fit_path(frame, y, **{setting: positional}, **alone)
        # grouped by default, a per-column setting is refused with the way out
        with pytest.raises(ValueError, match=r"X's categorical columns are groups by default, "
                                             r"feature_groups='auto'; pass feature_groups=None to "
                                             r"fit each indicator column on its own\)$"):
            varnel.fit_path(frame, y, **{setting: given})
    assert_same_path(want, got)
    model = pytest.importorskip("varnel.estimators").ElasticNetRegressor
    if setting != "exclude":
        np.testing.assert_array_equal(
            model(alpha=0.05, **{setting: given}, **alone).fit(frame, y).coef_,
            model(alpha=0.05, **{setting: positional}, **alone).fit(frame, y).coef_)
    with pytest.raises(ValueError, match=exact(
            "penalty_factor gives values to the categorical column 'c' and to its indicator 'c[a]'; "
            "give one of them")):
        varnel.fit_path(frame, y, penalty_factor={"x": 1.0, "c": 1.0, "c[a]": 0.0})
