"""Data beyond one machine: paths, cross-validation and estimators on Dask
collections (from the statistics of their blocks) against the in-memory
covariance solver on the same rows, lazy predictions, worker memory, and
the refusals; and the folds of an in-memory cv_path on a Dask cluster
through joblib's dask backend."""

import numpy as np
import pytest

import varnel

joblib = pytest.importorskip("joblib")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

N, P, CHUNK = 900, 5, 200
FAST = dict(nlambda=8, lambda_min_ratio=0.05)


def make_data(n=90, p=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    eta = X[:, 0] - 0.8 * X[:, 1] + 0.5 * X[:, 2]
    return X, eta, rng


def family_data(family, seed=1):
    X, eta, rng = make_data(N, P, seed)
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
    X, eta, rng = make_data()
    y = eta + rng.standard_normal(len(eta))
    fid = np.arange(len(y)) % 5
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


@pytest.mark.parametrize("family, case", [(f, c) for f in ("gaussian", "logistic", "poisson")
                                           for c in OPTIONS] +
                         [(f, "weights-offset-limits") for f in ("multinomial", "gamma", "multitask")])
def test_a_dask_path_is_the_in_memory_covariance_path(client, family, case):
    X, y, rng = family_data(family)
    kw = dict(OPTIONS[case], **FAST)
    w = rng.uniform(0.2, 2.0, N) if kw.pop("weights", False) else None
    k = 3 if family in ("multinomial", "multitask") else 1
    off = rng.uniform(-0.3, 0.3, (N, k)).squeeze() if kw.pop("offset", False) else None
    memory = varnel.fit_path(X, y, family, solver="covariance", weights=w, offset=off, **kw)
    path = varnel.fit_path(lazy(X), lazy(y), family, weights=lazy(w), offset=lazy(off), **kw)
    assert path.n_lambdas == memory.n_lambdas and path.family == memory.family
    np.testing.assert_allclose(path.lambdas, memory.lambdas, rtol=1e-10)
    for name in ("intercepts", "coefs", "dev_ratio"):
        np.testing.assert_allclose(getattr(path, name), getattr(memory, name), rtol=1e-7, atol=1e-9)
    assert memory.npasses_data is None
    if family in ("logistic", "poisson"):  # a pass per reweighting step (few: warm starts;
        # a coarse path of 8 lambdas needs more per lambda than a default one)
        assert path.npasses_data <= 4 * path.n_lambdas + 6
    kind = "class" if family in ("logistic", "multinomial") else "response"
    pred = path.predict(lazy(X), s=path.lambdas[3], kind=kind, offset=lazy(off))
    assert isinstance(pred, da.Array)  # lazy, computed block by block
    want = memory.predict(X, s=path.lambdas[3], kind=kind, offset=off)
    if kind == "class":
        assert (pred.compute() == want).mean() > 0.99
    else:
        np.testing.assert_allclose(pred.compute(), want, rtol=1e-7)
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


@pytest.mark.parametrize("family, measure", [("gaussian", "deviance"), ("gaussian", "mae"),
                                             ("logistic", "class"), ("poisson", "deviance"),
                                             ("gamma", "deviance"), ("multitask", "deviance"),
                                             ("multitask", "mse"), ("multitask", "mae")])
def test_dask_cross_validation_is_the_in_memory_one_on_the_same_folds(client, family, measure,
                                                                     monkeypatch):
    from varnel import cv

    X, y, rng = family_data(family, seed=3)
    w = rng.uniform(0.5, 1.5, N)
    fid = rng.integers(0, 4, N)
    # the folds in memory started as the blocks' folds are, from their previous solutions
    monkeypatch.setattr(cv, "WARM_START_VALUES", -1)
    memory = varnel.cv_path(X, y, family, foldid=fid, weights=w, measure=measure,
                            solver="covariance", **FAST)
    cvp = varnel.cv_path(lazy(X), lazy(y), family, foldid=lazy(fid), weights=lazy(w),
                         measure=measure, **FAST)
    np.testing.assert_allclose(cvp.lambdas, memory.lambdas, rtol=1e-10)
    np.testing.assert_allclose(cvp.fold_scores, memory.fold_scores, rtol=1e-7)
    np.testing.assert_allclose(cvp.cvsd, memory.cvsd, rtol=1e-6)
    assert cvp.index_min == memory.index_min and cvp.index_1se == memory.index_1se
    np.testing.assert_array_equal(cvp.fold_n_lambdas, memory.fold_n_lambdas)
    if family in ("gaussian", "multitask"):  # the whole cross-validation is one pass over the data
        assert cvp.path.npasses_data == 1 + (measure == "mae")


def test_folds_drawn_per_block_and_estimators(client):
    X, y, rng = family_data("logistic", seed=5)
    yg = X[:, 0] - X[:, 1] + rng.standard_normal(N)
    a, b = (varnel.cv_path(lazy(X), lazy(yg), nfolds=3, seed=7, **FAST) for _ in range(2))
    np.testing.assert_array_equal(a.cvm, b.cvm)
    fid = a.foldid.compute()
    np.testing.assert_array_equal(fid, b.foldid.compute())
    assert set(fid) == {0, 1, 2} and np.bincount(fid.astype(int)).min() >= N // 3 - 3 * 3
    model = varnel.LogisticNetClassifier(alpha=0.02, l1_ratio=0.5).fit(lazy(X), lazy(y))
    same = varnel.LogisticNetClassifier(alpha=0.02, l1_ratio=0.5).fit(X, y)
    np.testing.assert_allclose(model.coef_, same.coef_, rtol=1e-7, atol=1e-10)
    proba = model.predict_proba(lazy(X))
    assert isinstance(proba, da.Array) and proba.shape == (N, 2)
    np.testing.assert_allclose(proba.compute(), same.predict_proba(X), rtol=1e-8)
    chosen = varnel.ElasticNetRegressor(cv=3, random_state=0, nlambda=8).fit(lazy(X), lazy(yg))
    assert chosen.cv_.nfolds == 3 and chosen.path_.npasses_data == 1
    assert chosen.lambda_ == chosen.cv_.lambda_1se


ESTIMATORS = {  # (data, module, estimator, parameters): a fixed penalty
    "gamma-identity": ("gamma", "generalized", "GeneralizedNetRegressor",
                       dict(family=varnel.families.Gamma(link="identity"), alpha=0.02, l1_ratio=0.5)),
    "tweedie": ("gamma", "generalized", "GeneralizedNetRegressor", dict(family="tweedie:1.5", alpha=0.01)),
    "multitask": ("multitask", "multitask", "MultiTaskNetRegressor",
                  dict(alpha=0.05, standardize_response=True)),
}


@pytest.mark.parametrize("name", list(ESTIMATORS))
def test_an_estimator_of_any_served_family_fits_on_dask_as_in_memory(client, name):
    """The Dask fit of an estimator is its in-memory fit, its predictions a
    lazy Dask array of the same values."""
    import importlib

    data, module, estimator, params = ESTIMATORS[name]
    make = lambda: getattr(importlib.import_module(f"varnel.{module}"), estimator)(**params)  # noqa: E731
    X, y, rng = family_data(data, seed=6)
    w = rng.uniform(0.3, 2.0, N)
    model = make().fit(lazy(X), lazy(y), sample_weight=lazy(w))
    same = make().fit(X, y, sample_weight=w)
    np.testing.assert_allclose(model.coef_, same.coef_, rtol=1e-7, atol=1e-10)
    np.testing.assert_allclose(model.intercept_, same.intercept_, rtol=1e-7, atol=1e-10)
    pred = model.predict(lazy(X))
    assert isinstance(pred, da.Array) and pred.shape == np.shape(y)
    np.testing.assert_allclose(pred.compute(), same.predict(X), rtol=1e-8)


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


REFUSALS = [
    (lambda X, y: (X.map_blocks(lambda b: __import__("scipy.sparse").sparse.csr_matrix(b)), y), {},
     TypeError, "sparse blocks are not supported"),
    (lambda X, y: (X, y), dict(solver="naive"), ValueError, "solver='naive' needs X in memory"),
    (lambda X, y: (X, y), dict(splits=[(np.arange(10), np.arange(10, 20))]), ValueError,
     "splits of row indices are not taken on a Dask array"),
    (lambda X, y: (X, y), dict(keep=True), ValueError, "keep=True is not available on a Dask array"),
    (lambda X, y: (X, y), dict(measure="auc", family="logistic"), ValueError,
     "measure='auc' needs every held-out score at once"),
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

    seen = []

    class Keep(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())

    handler = Keep(level=logging.ERROR)
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
    cv_only = {k: kw.pop(k) for k in ("splits", "keep", "measure", "nfolds") if k in kw}
    with pytest.raises(error, match=match):
        if cv_only:
            varnel.cv_path(Xd, yd, family, **cv_only, **kw)
        else:
            varnel.fit_path(Xd, yd, family, **kw)
    assert not [m for m in worker_errors if "Compute Failed" in m]  # no task failed


def _weightless_fold(X, y, fid):
    return dict(weights=(fid == 0).astype(float))  # fold 0 trains on rows of weight 0 only


def _constant_fold(X, y, fid):
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
    "weightless training rows": (_weightless_fold, "gaussian"),
    "weightless training rows, reweighting": (_weightless_fold, "logistic"),
    "constant training rows": (_constant_fold, "gaussian"),
    "constant training rows, reweighting": (_constant_fold, "poisson"),
    "overflowing y": (_overflowing_y, "gaussian"),
}


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
    with pytest.warns(varnel.PathWarning) if stops else _no_warning():
        with pytest.raises(ValueError) as memory:
            varnel.cv_path(X, y, family, foldid=fid, solver="covariance", **FAST, **kw)
    if "weights" in kw:
        kw["weights"] = lazy(kw["weights"])
    with pytest.warns(varnel.PathWarning) if stops else _no_warning():
        with pytest.raises(ValueError) as dask_error:
            varnel.cv_path(lazy(X), lazy(y), family, foldid=lazy(fid), **FAST, **kw)
    assert str(dask_error.value) == str(memory.value)
    assert str(memory.value).startswith("cross-validation fold ") or case == "overflowing y"
    assert "jerr" not in str(memory.value) and "statistics[" not in str(memory.value)
    assert not [m for m in worker_errors if "Compute Failed" in m]


def _no_warning():
    import contextlib
    import warnings

    @contextlib.contextmanager
    def strict():
        with warnings.catch_warnings():
            warnings.simplefilter("error", varnel.PathWarning)
            yield
    return strict()
