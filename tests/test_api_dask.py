"""Cross-validation folds on a Dask cluster through joblib's dask backend."""

import numpy as np
import pytest

import varnel

joblib = pytest.importorskip("joblib")
distributed = pytest.importorskip("distributed")


def make_data(n=90, p=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    eta = X[:, 0] - 0.8 * X[:, 1] + 0.5 * X[:, 2]
    return X, eta, rng


@pytest.fixture(scope="module")
def client():
    # In-process workers: no subprocesses and no sockets (inproc transport).
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_dask_gives_the_serial_result(client):
    X, eta, rng = make_data()
    y = eta + rng.standard_normal(len(eta))
    fid = np.arange(len(y)) % 5
    serial = varnel.cv_path(X, y, foldid=fid)
    with distributed.get_task_stream(client) as stream:
        with joblib.parallel_backend("dask"):
            remote = varnel.cv_path(X, y, foldid=fid)
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
