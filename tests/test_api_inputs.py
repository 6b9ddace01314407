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
    eta = X[:, 0] - 0.7 * X[:, 1] + 0.4 * X[:, 3]
    if family == "gaussian":
        y = eta + 0.3 * rng.standard_normal(n)
    elif family == "logistic":
        y = (rng.random(n) < 1 / (1 + np.exp(-2 * eta))).astype(float)
    else:
        y = rng.poisson(np.exp(0.5 * eta)).astype(float)
    return X, y


def exact(text):
    """A pattern matching exactly ``text``."""
    return "^" + re.escape(text) + "$"


def assert_same_path(a, b, tol=0.0):
    assert a.n_lambdas == b.n_lambdas
    for name in ("lambdas", "intercepts", "coefs", "dev_ratio"):
        np.testing.assert_allclose(getattr(a, name), getattr(b, name), rtol=tol, atol=tol, err_msg=name)


FAMILIES = ["gaussian", "logistic", "poisson"]


@pytest.mark.parametrize("family", FAMILIES)
def test_layouts_lists_and_other_dtypes(family):
    X, y = make_data(family)
    ref = varnel.fit_path(X, y, family=family)
    wide = np.zeros((X.shape[0], 2 * X.shape[1]))
    wide[:, ::2] = X
    for Xv, yv in ((np.asfortranarray(X), y), (X[::-1][::-1], y), (X.tolist(), y.tolist()), (wide[:, ::2], y)):
        assert_same_path(ref, varnel.fit_path(Xv, yv, family=family))
    Xi = np.round(3 * X).astype(np.int8)  # integers, bools, single precision: converted exactly
    assert_same_path(varnel.fit_path(Xi.astype(float), y, family=family), varnel.fit_path(Xi, y, family=family))
    assert_same_path(varnel.fit_path((X > 0).astype(float), y, family=family),
                     varnel.fit_path(X > 0, y, family=family))
    X32 = X.astype(np.float32)
    assert_same_path(varnel.fit_path(X32.astype(np.float64), y, family=family),
                     varnel.fit_path(X32, y, family=family))


def _frame(lib, X, names):
    mod = pytest.importorskip(lib)
    return mod.DataFrame(X, columns=names) if lib == "pandas" else mod.DataFrame(X, schema=names)


@pytest.mark.parametrize("lib", ["pandas", "polars"])
@pytest.mark.parametrize("family", FAMILIES)
def test_data_frame_inputs(family, lib):
    X, y = make_data(family)
    names = ["age", "dose", "bmi", "score", "time"]
    frame = _frame(lib, X, names)
    mod = pytest.importorskip(lib)
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
    mixed = frame.copy()
    mixed["age"] = (X[:, 0] * 100).astype(np.int64)
    Xm = X.copy()
    Xm[:, 0] = mixed["age"].to_numpy()
    assert_same_path(varnel.fit_path(Xm, y), varnel.fit_path(mixed, y))
    # labels are matched exactly as given: 0 and "0" are two columns
    odd = frame.iloc[:, :4].set_axis([0, 1, "0", "x"], axis=1)
    fit = varnel.fit_path(odd, y, family=family, exclude=["x"])
    assert fit.feature_names == [0, 1, "0", "x"] and not fit.coefs[3].any()
    ref = fit.predict(X[:, :4])
    np.testing.assert_array_equal(fit.predict(odd), ref)
    np.testing.assert_array_equal(fit.predict(odd[["x", "0", 1, 0]]), ref)
    with pytest.raises(ValueError, match=r"duplicate column names \['0'\]"):
        varnel.fit_path(odd.rename(columns={"x": "0"}), y, family=family)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("fmt", ["csr_matrix", "csc_matrix", "coo_matrix", "csr_array"])
def test_sparse_input_gives_the_dense_path(family, fmt):
    sp = pytest.importorskip("scipy.sparse")
    X, y = make_data(family)
    path = varnel.fit_path(getattr(sp, fmt)(X), y, family=family)
    assert_same_path(varnel.fit_path(X, y, family=family), path, tol=1e-10)
    s = path.lambdas[5]
    np.testing.assert_allclose(path.predict(sp.csr_matrix(X), s=s), path.predict(X, s=s), atol=1e-12)


@pytest.mark.parametrize("fmt", ["csc", "csr", "csc unsorted", "coo duplicates"])
def test_sparse_input_is_copied_at_most_once(fmt, monkeypatch):
    # A canonical float64 CSC matrix reaches the solver as it is; a CSR one is
    # converted once (the peak memory of the conversion is one matrix); an
    # unsorted one, or a COO one with duplicates, int64 indices and single
    # precision, is mended on a copy, never in the caller's arrays.
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


@pytest.mark.parametrize("change,exc,match", [
    (lambda X, y: (X.astype(complex), y, {}), TypeError, "complex"),
    (lambda X, y: (np.array([["a", "b"], ["c", "d"]], dtype=object), [1.0, 2.0], {}), ValueError, "numbers"),
    (lambda X, y: (X, y[:-1], {}), ValueError, "rows"),
    (lambda X, y: (X, np.column_stack([y, y]), {}), ValueError, "1-D"),
    (lambda X, y: (X, y, dict(weights=y[:-1])), ValueError, "weights"),
    (lambda X, y: (X, y, dict(weights=np.zeros(len(y)))), ValueError, "zero"),
    (lambda X, y: (X, y, dict(penalty_factor=[1, 2])), ValueError, "penalty_factor"),
    # what the solvers cannot fit, in words (no internal code)
    (lambda X, y: (np.ones_like(X), y, {}), ValueError,
     r"^every column of X is constant on the rows of positive weight, or excluded: there is no variable to fit$"),
    (lambda X, y: (X, y, dict(exclude=list(range(X.shape[1])))), ValueError, r"^every column of X is constant"),
    (lambda X, y: (X, y, dict(standardize="False")), TypeError, "standardize must be True or False"),
    (lambda X, y: (X, y, dict(intercept=1)), TypeError, "intercept must be True or False"),
    (lambda X, y: (X, y, dict(exclude=True)), TypeError, "exclude"),
    (lambda X, y: (X, y, dict(exclude=[0.5])), TypeError, "exclude"),
    (lambda X, y: (X, y, dict(exclude=["a"])), ValueError, "unknown feature name 'a'"),
    (lambda X, y: (X, y, dict(alpha=np.nan)), ValueError, r"alpha must lie in \[0, 1\], got nan"),
    (lambda X, y: (X, y > 0, dict(alpha=-0.5, family="logistic")), ValueError, r"alpha must lie in \[0, 1\]"),
    (lambda X, y: (X, y, dict(lambda_min_ratio=-0.5)), ValueError, r"lambda_min_ratio must lie in \(0, 1\)"),
    (lambda X, y: (X, y, dict(lambda_min_ratio=1.0, user_lambda=[0.1])), ValueError, "lambda_min_ratio"),
    (lambda X, y: (X, y, dict(thresh=0.0)), ValueError, r"thresh must lie in \(0, inf\), got 0"),
    (lambda X, y: (X, y, dict(coef_storage="csc")), ValueError,
     r"coef_storage must be one of \('auto', 'dense', 'sparse'\), got 'csc'$"),
    (lambda X, y: (X, y, dict(coef_storage=None)), ValueError, r"coef_storage must be one of .*, got None$"),
    (lambda X, y: (X, y, dict(thresh=np.inf)), ValueError, "thresh must lie in"),
    (lambda X, y: (X, y, dict(offset=np.zeros((50, 2)))), ValueError, r"offset must have shape \(50,\)"),
    (lambda X, y: (X, y, dict(weights=np.r_[np.ones(49), -1e-300])), ValueError,
     r"weights must be non-negative, but weights\[49\] is -1e-300"),
    (lambda X, y: (X, np.r_[np.zeros(25), np.ones(24), 1e300], dict(family="logistic")), ValueError,
     r"found 3 class\(es\): 0, 1, 1e\+300; use family='multinomial'"),
    (lambda X, y: (X, np.ones(50), dict(family="logistic")), ValueError, r"found 1 class\(es\): 1$"),
    # a missing response is named with its row, whatever holds it
    (lambda X, y: (X, np.r_[y[:7], np.nan, y[8:]], {}), ValueError, r"y has a missing value .* in row 7"),
    (lambda X, y: (X, np.where(np.arange(50) == 3, np.nan, y > 0), dict(family="logistic")),
     ValueError, r"in row 3, at y\[3\]"),
    (lambda X, y: (X, np.array(["a", "b", None, "c", "a"] * 10, dtype=object), dict(family="multinomial")),
     ValueError, "missing value .* in row 2"),
    (lambda X, y: (X, np.array(["a", "b", float("nan")] * 16 + ["a", "b"], dtype=object),
                   dict(family="multinomial")), ValueError, "missing value .* in row 2"),
    (lambda X, y: (X, __import__("pandas").Series(["a", "b", None, "a"] * 12 + ["a", "b"], dtype="string"),
                   dict(family="logistic")), ValueError, "missing value .* in row 2"),
    (lambda X, y: (X, __import__("pandas").Series([True, False, None] * 16 + [True, False], dtype="boolean"),
                   dict(family="logistic")), ValueError, "missing value .* in row 2"),
    (lambda X, y: (X, __import__("pandas").array([1, None] + [2] * 48, dtype="Int64"), dict(family="poisson")),
     ValueError, "missing value .* in row 1"),
    # each message names the argument at fault and the right remedy
    (lambda X, y: (None, y, {}), ValueError,
     exact("X is None; X must be an array-like or sparse matrix of shape (n_samples, n_features)")),
    (lambda X, y: (X, None, {}), ValueError, r"^y is None; y must be an array-like of shape \(50,\)"),
    (lambda X, y: (__import__("polars").DataFrame(X).lazy(), y, {}), ValueError,
     exact("X is a polars LazyFrame, whose rows are not computed yet; call X.collect() first and pass "
           "the DataFrame it returns")),
    (lambda X, y: (X, y, dict(weights=__import__("polars").DataFrame({"w": np.ones(50)}).lazy())),
     ValueError, r"^weights is a polars LazyFrame.*call weights\.collect\(\) first"),
    (lambda X, y: (X, __import__("polars").DataFrame(np.c_[y, -y]).lazy(), dict(family="multitask")), ValueError,
     r"^y is a polars LazyFrame.*call y\.collect\(\) first"),
    (lambda X, y: (X, y, dict(offset=__import__("polars").DataFrame({"o": y}).lazy())), ValueError,
     r"^offset is a polars LazyFrame"),
    (lambda X, y: (X[:, 0], y, {}), ValueError,
     exact("X must be 2-D (n_samples, n_features), got shape (50,); use X.reshape(-1, 1) for a single "
           "feature or X.reshape(1, -1) for a single row")),
    (lambda X, y: (X, y, dict(penalty_factor=[1, -0.5, 1, 1, 1])), ValueError,
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
])
def test_bad_inputs(change, exc, match):
    pytest.importorskip("pandas")
    X, y, kwargs = change(*make_data())
    with pytest.raises(exc, match=match):
        varnel.fit_path(X, y, **kwargs)


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
    # a setting keyed by feature name, in any order, is the positional one in
    # the order of the columns: the same path bit for bit, and not the path of
    # the values taken in the order given
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
    # a list, a NumPy array, a polars Series and a pandas Series with the
    # default index 0..p-1 (not the column names) go by position
    plain = [np.array(values), list(values), pd.Series(values)]
    if kind == "polars row":
        plain.append(pytest.importorskip("polars").Series(values))
    for given in plain:
        assert_same_path(ref, varnel.fit_path(frame, y, family, **{setting: given}))
    # the estimators align the same way (ElasticNetRegressor's objective has
    # its own lambda, so compare two fits of the same estimator)
    if family == "gaussian":
        sk = pytest.importorskip("varnel.estimators")
        a = sk.ElasticNetRegressor(alpha=0.05, **{setting: np.array(values)}).fit(frame, y)
        b = sk.ElasticNetRegressor(alpha=0.05, **{setting: _labelled(kind, values, order)}).fit(frame, y)
        np.testing.assert_array_equal(a.coef_, b.coef_)


@pytest.mark.parametrize("setting", list(SETTINGS))
@pytest.mark.parametrize("given, X_kind, match", [
    (lambda v: {**dict(zip("abcd", v)), "x": 1.0}, "frame", r"names the unknown feature 'x'; the features of X are"),
    (lambda v: dict(zip("abcd", v)), "frame", exact("has no value for the feature(s) ['e']; a labelled setting "
                                                   "needs one value per column of X")),
    (lambda v: dict(zip("abcde", v)), "array", r"is labelled by feature name \(\['a', 'b', 'c', 'd', 'e'\]\), "
                                               r"but X has no column names to match them with"),
    (lambda v: __import__("pandas").Series(v, index=[4, 3, 2, 1, 0]), "array", "is labelled by feature name"),
    (lambda v: __import__("pandas").Series(v, index=[0, 1, 2, 3, 5]), "frame", r"names the unknown feature 0;"),
])
def test_labelled_settings_refuse_unknown_and_missing_names(setting, given, X_kind, match):
    pd = pytest.importorskip("pandas")
    X, y = make_data()
    value = given(SETTINGS[setting][0])
    data = {"frame": pd.DataFrame(X, columns=COLUMNS), "array": X}[X_kind]
    with pytest.raises(ValueError, match="^" + re.escape(setting) + " " + match.lstrip("^")):
        varnel.fit_path(data, y, **{setting: value})


# every family of the registry with an intercept; without one, the families
# whose all-zero response has nothing to fit
@pytest.mark.parametrize("family, intercept", [
    (f.name, True) for f in __import__("varnel.families").families.FAMILIES] + [
    ("gaussian", False), ("multitask", False)])
def test_a_constant_response_is_refused_in_every_family(family, intercept):
    # every family of the registry: a response with nothing to fit is a
    # ValueError before any path (never a path of lambdas near 1e-31)
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
