"""Dask collections: paths, cross-validation and estimators from the statistics of their blocks (dense or
scipy.sparse) against the in-memory fits of the same rows, lazy predictions, worker memory, the refusals, and
the folds of an in-memory cv_path on a Dask cluster through joblib's dask backend."""

import contextlib

import numpy as np
import pytest

import varnel

joblib = pytest.importorskip("joblib")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

N, P, CHUNK = 900, 5, 200
FAST = dict(nlambda=8, lambda_min_ratio=0.05)


def family_data(family, seed=1):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((N, P))
    eta = X[:, 0] - 0.8 * X[:, 1] + 0.5 * X[:, 2]
    X[:, 3] += 1e6  # a large mean
    y = {"gaussian": eta + rng.standard_normal(N),
         "logistic": np.where(rng.random(N) < 1 / (1 + np.exp(-eta)), "yes", "no"),
         "poisson": rng.poisson(np.exp(0.4 * eta)).astype(float),
         "multinomial": np.array(["a", "b", "c"])[np.digitize(eta + rng.standard_normal(N), [-0.6, 0.6])],
         "gamma": np.exp(0.3 * eta) * rng.gamma(4.0, 0.25, N),
         "multitask": np.c_[eta, -eta, X[:, 4]] + rng.standard_normal((N, 3))}
    return X, y[family], rng


def lazy(a):
    return None if a is None else da.from_array(a, chunks=(CHUNK,) + np.shape(a)[1:])


@pytest.fixture(scope="module")
def client():
    # In-process workers: no subprocesses and no sockets (inproc transport).
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_dask_gives_the_serial_result(client):
    X, y, _ = family_data("gaussian")
    fid = np.arange(N) % 5
    serial = varnel.cv_path(X, y, foldid=fid, solver="naive")
    with distributed.get_task_stream(client) as stream:
        with joblib.parallel_backend("dask"):
            remote = varnel.cv_path(X, y, foldid=fid, solver="naive")
    assert len(stream.data) >= 5  # the folds ran on the cluster
    np.testing.assert_array_equal(remote.cvm, serial.cvm)
    np.testing.assert_array_equal(remote.cvsd, serial.cvsd)
    assert remote.lambda_min == serial.lambda_min
    assert remote.lambda_1se == serial.lambda_1se


def test_a_dask_task_runs_its_fits_on_one_thread(client):
    """Inside a Dask task the defaults fall back to one thread per fit and
    one fold at a time, so that the workers' threads are not multiplied."""
    from varnel import _parallel

    got = client.submit(lambda: (_parallel.default_threads(), _parallel.plan(None, 10, True))).result()
    assert got[0] == 1 and got[1].mode == "serial"


OPTIONS = {
    "plain": dict(),
    "weights-offset-limits": dict(weights=True, offset=True, alpha=0.6,
                                  lower_limits=np.r_[-0.3, [-np.inf] * (P - 1)],
                                  penalty_factor=np.r_[1.0, 0.0, np.ones(P - 2)]),
}


# ---- sparse blocks ----------------------------------------------------------------------

SPARSE_FORMATS = ("csr", "csc")  # COO blocks: see REFUSALS (Dask cannot carry their meta)
SPARSE_OPTIONS = {
    "plain": dict(),
    "weights-offset": dict(weights=True, offset=True),
    "unstandardized-no-intercept": dict(standardize=False, intercept=False),
    "weights-offset-unstandardized-mix": dict(weights=True, offset=True, standardize=False, alpha=0.5,
                                              penalty_factor=np.r_[0.0, np.ones(P - 1)]),
}
SPARSE_CELLS = [(f, c) for f in ("gaussian", "logistic", "poisson") for c in SPARSE_OPTIONS] + \
    [(f, "weights-offset") for f in ("multinomial", "gamma")]


def sparse_data(family, seed=1):
    """family_data with about 60% of X's entries 0 (column 3 then holds 0
    and values near 1e6: a large mean and a large spread)."""
    X, y, rng = family_data(family, seed)
    X = np.where(rng.random(X.shape) < 0.6, 0.0, X)
    return X, y, rng


def sparse_lazy(X, fmt):
    """X as a Dask array of scipy.sparse blocks of format ``fmt``."""
    sp = pytest.importorskip("scipy.sparse")
    kind = getattr(sp, f"{fmt}_matrix")
    return lazy(X).map_blocks(lambda b: kind(b), meta=kind((0, 0)))


PATH_CELLS = [(f, c, None) for f in ("gaussian", "logistic", "poisson") for c in OPTIONS] + \
    [(f, "weights-offset-limits", None) for f in ("multinomial", "gamma", "multitask")] + \
    [(f, c, SPARSE_FORMATS[i % 2]) for i, (f, c) in enumerate(SPARSE_CELLS)]


@pytest.mark.parametrize("family, case, fmt", PATH_CELLS)
def test_a_dask_path_is_the_in_memory_path(client, family, case, fmt):
    """Dense blocks fit the in-memory covariance path; sparse blocks (of
    format fmt) the model of the in-memory fit of the same sparse matrix (to
    the solver's tolerance), with every option; predictions on them are
    lazy and equal."""
    sp = pytest.importorskip("scipy.sparse")
    X, y, rng = (sparse_data if fmt else family_data)(family)
    kw = dict((SPARSE_OPTIONS if fmt else OPTIONS)[case], **(dict(thresh=1e-13) if fmt else FAST))
    w = rng.uniform(0.2, 2.0, N) if kw.pop("weights", False) else None
    k = 3 if family in ("multinomial", "multitask") else 1
    off = rng.uniform(-0.3, 0.3, (N, k)).squeeze() if kw.pop("offset", False) else None
    if fmt:
        Xm, Xd = sp.csc_matrix(X), sparse_lazy(X, fmt)
        # the same lambdas (a computed sequence's end is a rule on the deviance's
        # last changes; the routes' sequences are compared in test_routes)
        kw["user_lambda"] = varnel.fit_path(Xm, y, family, weights=w, offset=off, **kw, **FAST).lambdas
        memory = varnel.fit_path(Xm, y, family, weights=w, offset=off, **kw)
    else:
        Xd = lazy(X)
        memory = varnel.fit_path(X, y, family, solver="covariance", weights=w, offset=off, **kw)
    path = varnel.fit_path(Xd, lazy(y), family, weights=lazy(w), offset=lazy(off), **kw)
    assert path.n_lambdas == memory.n_lambdas and path.family == memory.family
    np.testing.assert_allclose(path.lambdas, memory.lambdas, rtol=1e-9 if fmt else 1e-10)
    for name in ("intercepts", "coefs", "dev_ratio"):
        got, want = (np.asarray(a.toarray() if hasattr(a, "toarray") else a)
                     for a in (getattr(path, name), getattr(memory, name)))
        np.testing.assert_allclose(got, want, **(dict(rtol=1e-6, atol=1e-8) if fmt else dict(rtol=1e-7, atol=1e-9)))
    assert fmt or memory.npasses_data is None
    if family in ("logistic", "poisson"):  # a pass per reweighting step (few: warm starts;
        # a coarse path of 8 lambdas needs more per lambda than a default one)
        assert path.npasses_data <= 4 * path.n_lambdas + 6
    kind = "class" if family in ("logistic", "multinomial") else "response"
    pred = path.predict(Xd, s=path.lambdas[3], kind=kind, offset=lazy(off))
    assert isinstance(pred, da.Array)  # lazy, computed block by block
    want = memory.predict(sp.csr_matrix(X) if fmt else X, s=path.lambdas[3], kind=kind, offset=off)
    if kind == "class":
        assert (pred.compute() == want).mean() > 0.99
    else:
        np.testing.assert_allclose(pred.compute(), want, **(dict(rtol=1e-6, atol=1e-8) if fmt else dict(rtol=1e-7)))
    if fmt:
        with pytest.raises(ValueError, match=r"chunked across its columns .* X\.rechunk\(\{1: -1\}\)$"):
            path.predict(Xd.rechunk((CHUNK, 3)), s=path.lambdas[3])
        return
    # rows taken by a mask (blocks of unknown sizes) are predicted block by block
    rows = X[:, 0] > 0
    masked = lazy(X)[lazy(rows)]
    assert np.isnan(masked.shape[0])
    if off is None:
        np.testing.assert_allclose(path.predict(masked, s=path.lambdas[3]).compute(),
                                   memory.predict(X[rows], s=path.lambdas[3]), rtol=1e-7, atol=1e-9)
    else:  # an offset pairs its rows with X's
        with pytest.raises(ValueError, match=r"^X is a Dask array of unknown chunk sizes"):
            path.predict(masked, s=path.lambdas[3], offset=lazy(off[rows]))


def test_the_strong_set_on_sparse_blocks_is_bounded_and_the_advice_works(client, monkeypatch):
    """More product columns than the bound is refused naming the count, the
    lambda and what to do; a path stopped early by a larger
    lambda_min_ratio, as the refusal advises, fits within it and equals the
    in-memory path."""
    from varnel._sources import _sparse_blocks

    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(8)
    X = np.where(rng.random((300, 80)) < 0.8, 0.0, rng.standard_normal((300, 80)))
    y = (X[:, :3].sum(1) + rng.standard_normal(300) > 0).astype(float)
    Xd, yd = sparse_lazy(X, "csr"), da.from_array(y, chunks=100)
    monkeypatch.setattr(_sparse_blocks, "MAX_PRODUCT_COLUMNS", 40)
    with pytest.raises(ValueError, match=r"^the path on sparse Dask blocks needs the products of (\d+) "
                                         r"columns at the lambda after [0-9.e-]+ \(number \d+ of the "
                                         r"path\), more than the 40 that one pass forms .* larger "
                                         r"lambda_min_ratio, fewer lambdas or dfmax, or fit X in memory "
                                         r"\(X\.compute\(\)\)$"):
        varnel.fit_path(Xd, yd, "logistic", nlambda=30)
    lambdas = varnel.fit_path(X, y, "logistic", nlambda=30).lambdas
    with pytest.raises(ValueError, match=rf"at lambda {lambdas[-1]:g} \(number 2 of the path\)"):
        varnel.fit_path(Xd, yd, "logistic", user_lambda=lambdas[[0, -1]])
    path = varnel.fit_path(Xd, yd, "logistic", nlambda=30, lambda_min_ratio=0.3)
    memory = varnel.fit_path(sp.csr_matrix(X), y, "logistic", nlambda=30, lambda_min_ratio=0.3)
    assert path.n_lambdas == memory.n_lambdas == 30
    np.testing.assert_allclose(path.coefs, memory.coefs.toarray() if hasattr(memory.coefs, "toarray")
                               else memory.coefs, rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("fmt, family, classes, extra", [(f, None, 0, {}) for f in SPARSE_FORMATS] + [
    ("csr", "binomial", 1, {}), ("csr", "poisson", 1, {}), ("csr", "multinomial", 3, {}),
    ("csr", "gamma", 1, {"link": "identity"}), ("csr", "tweedie", 1, {"power": 0.0, "link": "identity"})])
def test_the_sums_of_a_sparse_block_are_the_dense_blocks(fmt, family, classes, extra):
    """A sparse block of format fmt with an empty column, a full one, a
    column of one stored entry and weights with zeros: its moments (family
    None), and the sums a pass returns from sparse blocks (two blocks' raw
    sums added, then centred and scaled), equal the core's on the same rows
    densified, the pass at an iterate with active columns, centres, scales,
    an offset and product columns."""
    from varnel import _core
    from varnel._sources import _blocks, _sparse_blocks

    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(11 if family is None else 12)
    n, p = 60, 7
    X = np.where(rng.random((n, p)) < 0.7, 0.0, rng.standard_normal((n, p)) * 3 + 1)
    X[:, 0] = X[:, 2] = 0.0
    X[:, 1] = rng.standard_normal(n) + 5.0
    X[7, 2] = -4.0
    w = np.where(rng.random(n) < 0.2, 0.0, rng.uniform(0.1, 2.0, n))
    w[7] = 0.0  # column 2's only entry has weight 0: its positive range is 0 alone
    if family is None:
        y = rng.standard_normal(n)
        centre = np.r_[rng.standard_normal(p), 0.3]
        got = _sparse_blocks.block_statistics(getattr(sp, f"{fmt}_matrix")(X), y, w, centre)
        want = _core.block_statistics(X, y, w, centre, products=False)
        assert got["products"] is None and got["nobs"] == want["nobs"] and got["weight"] == want["weight"]
        for key in ("centre", "min", "max", "positive_min", "positive_max"):
            np.testing.assert_array_equal(got[key], want[key], err_msg=key)
        for key in ("deviations", "squares"):
            np.testing.assert_allclose(got[key], want[key], rtol=1e-13, atol=1e-13, err_msg=key)
        np.testing.assert_allclose(_sparse_blocks.centres(sp.coo_matrix(X[:20]), y[:20], w[:20]),
                                   np.average(np.c_[X, y][:20], axis=0, weights=w[:20]), rtol=1e-14)
        return
    X = np.abs(X) if family == "gamma" else X
    y = {"binomial": (rng.random(n) < 0.4).astype(float), "poisson": rng.poisson(2.0, n).astype(float),
         "multinomial": rng.integers(0, 3, n).astype(float), "gamma": rng.gamma(2.0, 1.0, n) + 0.1,
         "tweedie": rng.standard_normal(n)}[family]
    offset = 0.1 * rng.standard_normal((n, classes)).squeeze()
    request = dict(family=family, classes=classes, weight_total=float(w.sum()) * 1.7,
                   centre=X.mean(0) + 0.1, scale=X.std(0) + 0.5,
                   coef=0.05 * rng.standard_normal(p * classes) * np.repeat([1, 1, 0, 1, 1, 0, 1], classes),
                   active=np.array([0, 1, 3, 4, 6], dtype=float), intercepts=np.full(classes, 1.0),
                   columns=np.array([4, 1, 2], dtype=float), saturated=True, **extra)
    want = _core.block_pass(X, y, w, offset, request)
    halves = [_sparse_blocks.block_pass(sp.csr_matrix(X[rows]), y[rows], w[rows], offset[rows], request)
              for rows in (slice(0, 25), slice(25, None))]  # two blocks' raw sums, added
    got = _sparse_blocks.finish(_blocks.add(*halves), request)
    assert sorted(got) == sorted(want)
    for key in want:
        np.testing.assert_allclose(got[key], want[key], rtol=1e-11, atol=1e-14, err_msg=key)


@pytest.mark.parametrize("family, measure, sparse", [
    ("gaussian", "deviance", False), ("gaussian", "mae", False), ("logistic", "class", False),
    ("poisson", "deviance", False), ("gamma", "deviance", False), ("multitask", "deviance", False),
    ("multitask", "mse", False), ("multitask", "mae", False),
    ("gaussian", "mse", True), ("logistic", "deviance", True), ("poisson", "mae", True)])
def test_dask_cross_validation_is_the_in_memory_one_on_the_same_folds(client, family, measure, sparse,
                                                                     monkeypatch):
    """On dense blocks as the covariance solver's folds in memory, on
    sparse blocks as the in-memory sparse matrix's."""
    from varnel import cv

    X, y, rng = (sparse_data if sparse else family_data)(family, seed=3)
    w = rng.uniform(0.5, 1.5, N)
    fid = rng.integers(0, 4, N)
    kw = dict(measure=measure, **FAST)
    if sparse:
        kw["thresh"] = 1e-13
        memory = varnel.cv_path(pytest.importorskip("scipy.sparse").csr_matrix(X), y, family, foldid=fid,
                                weights=w, **kw)
    else:  # the folds in memory started as the blocks' folds are, from their previous solutions
        monkeypatch.setattr(cv, "WARM_START_VALUES", -1)
        memory = varnel.cv_path(X, y, family, foldid=fid, weights=w, solver="covariance", **kw)
    cvp = varnel.cv_path(sparse_lazy(X, "csr") if sparse else lazy(X), lazy(y), family, foldid=lazy(fid),
                         weights=lazy(w), **kw)
    np.testing.assert_allclose(cvp.lambdas, memory.lambdas, rtol=1e-9 if sparse else 1e-10)
    np.testing.assert_allclose(cvp.fold_scores, memory.fold_scores, rtol=1e-6 if sparse else 1e-7)
    assert cvp.index_min == memory.index_min and cvp.index_1se == memory.index_1se
    if sparse:
        return
    np.testing.assert_allclose(cvp.cvsd, memory.cvsd, rtol=1e-6)
    np.testing.assert_array_equal(cvp.fold_n_lambdas, memory.fold_n_lambdas)
    if family in ("gaussian", "multitask"):  # the whole cross-validation is one pass over the data
        assert cvp.path.npasses_data == 1 + (measure == "mae")


def test_folds_drawn_per_block_and_a_cross_validated_estimator(client):
    X, _, rng = family_data("logistic", seed=5)
    yg = X[:, 0] - X[:, 1] + rng.standard_normal(N)
    a, b = (varnel.cv_path(lazy(X), lazy(yg), nfolds=3, seed=7, **FAST) for _ in range(2))
    np.testing.assert_array_equal(a.cvm, b.cvm)
    fid = a.foldid.compute()
    np.testing.assert_array_equal(fid, b.foldid.compute())
    assert set(fid) == {0, 1, 2} and np.bincount(fid.astype(int)).min() >= N // 3 - 3 * 3
    chosen = varnel.ElasticNetRegressor(cv=3, random_state=0, nlambda=8).fit(lazy(X), lazy(yg))
    assert chosen.cv_.nfolds == 3 and chosen.path_.npasses_data == 1
    assert chosen.lambda_ == chosen.cv_.lambda_1se


ESTIMATORS = {  # (data, estimator, parameters, sparse blocks?), a fixed penalty (every family's: test_routes)
    "logistic-sparse": ("logistic", "LogisticNetClassifier", dict(alpha=0.02, l1_ratio=0.5), True),
    "gamma-identity": ("gamma", "GeneralizedNetRegressor",
                       dict(family=varnel.families.Gamma(link="identity"), alpha=0.02, l1_ratio=0.5), False),
    "multitask": ("multitask", "MultiTaskNetRegressor", dict(alpha=0.05, standardize_response=True), False),
}


@pytest.mark.parametrize("name", list(ESTIMATORS))
def test_an_estimator_fits_on_dask_as_in_memory_and_predicts_lazily(client, name):
    """The Dask fit of an estimator (on dense or sparse blocks) is its
    in-memory fit, its predictions a lazy Dask array of the same values."""
    data, estimator, params, sparse = ESTIMATORS[name]
    X, y, rng = (sparse_data if sparse else family_data)(data, seed=6 if data != "logistic" else 5)
    w = rng.uniform(0.3, 2.0, N)
    if sparse:
        sp = pytest.importorskip("scipy.sparse")
        Xd, Xm, Xp = sparse_lazy(X, "csr"), sp.csr_matrix(X), sparse_lazy(X, "csc")
    else:
        Xd, Xm, Xp = lazy(X), X, lazy(X)
    model = getattr(varnel, estimator)(**params).fit(Xd, lazy(y), sample_weight=lazy(w))
    same = getattr(varnel, estimator)(**params).fit(Xm, y, sample_weight=w)
    np.testing.assert_allclose(model.coef_, same.coef_, rtol=1e-7, atol=1e-10)
    np.testing.assert_allclose(model.intercept_, same.intercept_, rtol=1e-7, atol=1e-10)
    method = "predict_proba" if data == "logistic" else "predict"
    pred, want = getattr(model, method)(Xp), getattr(same, method)(Xm)
    assert isinstance(pred, da.Array) and pred.shape == want.shape
    np.testing.assert_allclose(pred.compute(), want, rtol=1e-8)


def test_a_worker_never_holds_more_than_its_chunks(client):
    """X (16 MB, generated on the workers) is more than a worker may hold
    (memory_limit 6 MB); the largest amount any worker kept at once is its
    chunks in flight and the p x p sums."""
    class Peak(distributed.WorkerPlugin):
        name = "peak"

        def setup(self, worker):
            self.worker, self.peak = worker, 0

        def transition(self, key, start, finish, **kw):
            self.peak = max(self.peak, self.worker.state.nbytes)

    X = da.random.default_rng(0).standard_normal((200_000, 10), chunks=(10_000, 10))
    y = X[:, 0] - X[:, 1] + da.random.default_rng(1).standard_normal(200_000, chunks=10_000)
    # in-process workers share the process's memory: the limit is what a
    # worker's own data may reach, measured below (no pausing or spilling)
    quiet = {f"distributed.worker.memory.{k}": False for k in ("target", "spill", "pause", "terminate")}
    with dask.config.set(quiet), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                     memory_limit="6MB", dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as small:
        small.register_plugin(Peak())
        path = varnel.fit_path(X, y, nlambda=5)
        labels = (y > 0).astype(float)
        varnel.fit_path(X, labels, "logistic", nlambda=3)
        peaks = small.run(lambda dask_worker: dask_worker.plugins["peak"].peak)
    assert X.nbytes > 2.5 * 6e6 and path.n_lambdas == 5
    assert 0 < max(peaks.values()) < 6e6


def _sparse(X):
    return X.map_blocks(lambda b: __import__("scipy.sparse").sparse.csr_matrix(b))


def _densified(X):
    return X.map_blocks(lambda b: b.toarray(), meta=np.zeros((0, 0)))


REFUSALS = [
    (lambda X, y: (X, _sparse(y[:, None])), {}, TypeError,
     r"^y is a Dask array of csr_matrix blocks; varnel fits Dask arrays of dense NumPy blocks only: "
     r"convert them, e.g. y.map_blocks\(lambda b: b.toarray\(\)\)$"),
    # sparse blocks: a NaN named as in the whole array, blocks across columns, kinds mixed
    (lambda X, y: (_sparse(da.where((da.arange(N)[:, None] == 450) & (da.arange(P) == 3), np.nan, X)), y),
     {}, ValueError, r"^X contains NaN or inf: X\[450, 3\] is nan$"),
    (lambda X, y: (_sparse(X).rechunk((CHUNK, 2)), y), {}, ValueError,
     r"^X is a Dask array of sparse blocks chunked across its columns \(3 chunks of columns\); .*"
     r"rechunk it with X\.rechunk\(\{1: -1\}\)$"),
    (lambda X, y: (da.concatenate([_densified(_sparse(X[:400])), _sparse(X[400:])]), y), {}, ValueError,
     r"^X mixes dense and sparse blocks: the block of rows from 400 is a csr_matrix, but X's blocks "
     r"are dense NumPy arrays; make every block one kind"),
    (lambda X, y: (da.concatenate([_sparse(X[:400]), _densified(_sparse(X[400:]))]), y),
     dict(nfolds=3), ValueError, r"^X's first blocks are scipy.sparse matrices, but .* else make every "
     r"block one kind$"),
    (lambda X, y: (X.map_blocks(lambda b: __import__("scipy.sparse").sparse.coo_matrix(b)), y), {},
     ValueError, r"^X's first blocks are scipy.sparse matrices, but the Dask array's meta says dense "
     r"NumPy blocks .*: if every block is sparse, make them CSR with X.map_blocks\(scipy.sparse.csr_matrix\) "
     r"or give map_blocks meta=scipy.sparse.csr_matrix\(\(0, 0\)\); else make every block one kind$"),
    (lambda X, y: (_sparse(X)[y > -1e9], y), {}, ValueError,
     r"^X is a Dask array of unknown chunk sizes \(shape \(nan, 5\)\)"),
    (lambda X, y: (_sparse(X), da.stack([y, -y], axis=1)), dict(family="multitask"), ValueError,
     r"^the multitask family fits Dask arrays of dense blocks only \(its K responses take every "
     r"product of X\); on sparse blocks fit X in memory \(X\.compute\(\)\) or densify the blocks$"),
    (lambda X, y: (X, y), dict(solver="naive"), ValueError, "solver='naive' needs X in memory"),
    (lambda X, y: (X, y), dict(splits=[(np.arange(10), np.arange(10, 20))]), ValueError,
     "splits of row indices are not taken on a Dask array"),
    (lambda X, y: (X, y), dict(keep=True), ValueError, "keep=True is not available on a Dask array"),
    (lambda X, y: (X, y), dict(certify=True), ValueError,
     r"^certify=True is not available for fit_path on a Dask collection: .*path\.optimality\(X\.compute\(\)"),
    (lambda X, y: (X, y), dict(certify=True, nfolds=3), ValueError,
     r"^certify=True is not available for cv_path on a Dask collection"),
    (lambda X, y: (X, y), dict(groups=np.arange(N) // 3), ValueError,
     r"^groups are not taken on a Dask array \(its folds are drawn block by block\): give foldid, a Dask "
     r"array of fold labels that gives each group's rows one fold$"),
    (lambda X, y: (X, y), dict(measure="auc", family="logistic"), ValueError,
     "measure='auc' needs every held-out score at once"),
    (lambda X, y: (X, y), dict(relax=True, nfolds=3), ValueError,
     r"^relax=True is not available for cross-validation on a Dask array: .*fit_path\(X, y, relax=True\), or an "
     r"estimator with a fixed alpha, fits relaxed on the Dask array; to cross-validate the blend compute X and y "
     r"into memory"),
    (lambda X, y: (X, y), dict(estimator=dict(relax=True, cv=3)), ValueError,
     r"^relax=True is not available for cross-validation on a Dask array"),
    (lambda X, y: (da.where(da.arange(N)[:, None] == 450, np.nan, X), y), {}, ValueError,
     r"X contains NaN or inf: X\[450, 0\] is nan"),
    (lambda X, y: (X, y), dict(weights=np.where(np.arange(N) == 450, -1.0, 1.0)), ValueError,
     r"weights must be non-negative, but weights\[450\] is -1"),
    # responses outside the family's support, and the family the blocks' sums cannot fit
    (lambda X, y: (X, da.where(da.arange(N) == 450, 0.0, abs(y) + 1.0)), dict(family="gamma"),
     ValueError, r"the gamma family needs positive values in y, but y\[450\] is 0"),
    (lambda X, y: (X, da.where(da.arange(N) == 450, -2.0, abs(y))), dict(family="negbin:2"),
     ValueError, r"the negative_binomial family needs non-negative values in y, but y\[450\] is -2"),
    (lambda X, y: (X, y), dict(family="cox"), ValueError,
     r"^Cox\(ties='breslow'\) is not served on Dask: its partial likelihood couples the rows of each risk set"),
    # rows named as in the whole array, whichever block and fold holds them
    (lambda X, y: (X, y), dict(weights=np.where(np.arange(N) == 650, np.inf, 1.0), nfolds=3), ValueError,
     r"^weights contains NaN or inf: weights\[650\] is inf$"),
    (lambda X, y: (X, da.where(da.arange(N) == 777, -2.0, abs(y))), dict(family="poisson"), ValueError,
     r"^the poisson family needs non-negative counts in y, but y\[777\] is -2$"),
    (lambda X, y: (X, da.where(da.arange(N) == 777, -2.0, abs(y))), dict(family="poisson", nfolds=3),
     ValueError, r"^the poisson family needs non-negative counts in y, but y\[777\] is -2$"),
    (lambda X, y: (X, y), dict(weights=np.where(np.arange(N) == 450, -1.0, 1.0), nfolds=4), ValueError,
     r"^weights must be non-negative, but weights\[450\] is -1$"),
    # unknown chunk sizes (boolean indexing)
    (lambda X, y: (X[y > -1e9], y), {}, ValueError,
     r"^X is a Dask array of unknown chunk sizes \(shape \(nan, 5\)\).*call X\.compute_chunk_sizes\(\) "
     r"first, or make it with to_dask_array\(lengths=True\)$"),
    (lambda X, y: (X, y[y > -1e9]), dict(nfolds=3), ValueError,
     r"^y is a Dask array of unknown chunk sizes .*y\.compute_chunk_sizes\(\)"),
]


@pytest.fixture
def worker_errors():
    """The messages the workers log at level ERROR (a task that failed logs
    "Compute Failed" with its traceback)."""
    import logging

    seen, handler = [], logging.Handler(logging.ERROR)
    handler.emit = lambda record: seen.append(record.getMessage())
    logger = logging.getLogger("distributed.worker")
    logger.addHandler(handler)
    yield seen
    logger.removeHandler(handler)


@pytest.mark.parametrize("change, kw, error, match", REFUSALS)
def test_dask_refusals_say_what_to_do(client, worker_errors, change, kw, error, match):
    X, y, _ = family_data("gaussian")
    kw = dict(kw)
    family = kw.pop("family", "gaussian")
    if family == "logistic":
        y = (y > 0).astype(float)
    Xd, yd = change(lazy(X), lazy(y))
    if "weights" in kw:
        kw["weights"] = lazy(kw["weights"])
    cv_only = {k: kw.pop(k) for k in ("splits", "keep", "measure", "nfolds", "groups") if k in kw}
    estimator = kw.pop("estimator", None)
    with pytest.raises(error, match=match):
        if estimator is not None:
            varnel.ElasticNetRegressor(**estimator).fit(Xd, yd)
        elif cv_only:
            varnel.cv_path(Xd, yd, family, **cv_only, **kw)
        else:
            varnel.fit_path(Xd, yd, family, **kw)
    assert not [m for m in worker_errors if "Compute Failed" in m]  # no task failed


def _weightless(X, y, fid):
    return dict(weights=(fid == 0).astype(float))  # fold 0 trains on rows of weight 0 only


def _constant(X, y, fid):
    X[fid != 2] = np.arange(1.0, P + 1)  # only fold 2's rows vary
    return {}


def _overflowing_y(X, y, fid):
    y *= 1e300
    return {}


# case -> (the data's change, returning the options), family
DASK_FOLD_FAILURES = {
    "maxit": (lambda X, y, fid: dict(maxit=1), "gaussian"),
    "pmax": (lambda X, y, fid: dict(pmax=0), "gaussian"),
    "reweighting maxit": (lambda X, y, fid: dict(maxit=1), "poisson"),
    "weightless training rows": (_weightless, "gaussian"),
    "weightless training rows, reweighting": (_weightless, "logistic"),
    "constant training rows": (_constant, "gaussian"),
    "constant training rows, reweighting": (_constant, "poisson"),
    "overflowing y": (_overflowing_y, "gaussian"),
}


@pytest.mark.filterwarnings("error::varnel.PathWarning")
@pytest.mark.parametrize("case", list(DASK_FOLD_FAILURES))
def test_dask_cross_validation_errors_are_the_in_memory_ones(client, worker_errors, case):
    """A fold that cannot be fitted, or that stops before its first
    solution, is the same ValueError on Dask as in memory from per-fold
    statistics (the same folds), naming the fold."""
    change, family = DASK_FOLD_FAILURES[case]
    X, y, rng = family_data(family, seed=4)
    fid = np.arange(N) % 4
    kw = change(X, y, fid)
    stops = "maxit" in kw or "pmax" in kw  # the full-data path warns, a fold raises
    with pytest.warns(varnel.PathWarning) if stops else contextlib.nullcontext():
        with pytest.raises(ValueError) as memory:
            varnel.cv_path(X, y, family, foldid=fid, solver="covariance", **FAST, **kw)
    kw.update({"weights": lazy(kw["weights"])} if "weights" in kw else {})
    with pytest.warns(varnel.PathWarning) if stops else contextlib.nullcontext():
        with pytest.raises(ValueError) as dask_error:
            varnel.cv_path(lazy(X), lazy(y), family, foldid=lazy(fid), **FAST, **kw)
    assert str(dask_error.value) == str(memory.value)
    assert str(memory.value).startswith("cross-validation fold ") or case == "overflowing y"
    assert "jerr" not in str(memory.value) and "statistics[" not in str(memory.value)
    assert not [m for m in worker_errors if "Compute Failed" in m]


def test_optimality_of_a_path_needs_the_rows_in_memory():
    X, y, _ = family_data("gaussian")
    path = varnel.fit_path(X, y, nlambda=5)
    with pytest.raises(ValueError, match=r"^Path.optimality reads X and y in memory; compute a Dask "
                                         r"collection into memory first"):
        path.optimality(lazy(X), lazy(y))
