"""The inputs users have give the same path as a float64 NumPy array."""

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
])
def test_bad_inputs(change, exc, match):
    pytest.importorskip("pandas")
    X, y, kwargs = change(*make_data())
    with pytest.raises(exc, match=match):
        varnel.fit_path(X, y, **kwargs)
