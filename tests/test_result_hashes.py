"""Every result of elnet_path and elnet_sparse over a grid of options, pinned
to the last bit by a hash recorded in data/result_hashes.json.

The grid's data come from integer arithmetic only, so they are the same on
every machine and NumPy version.  A change in any solver, kernel or
preparation step that moves a single bit of a result fails here; a change
that is meant to move results must regenerate the file
(VARNEL_WRITE_HASHES=1 python -m pytest tests/test_result_hashes.py) and say
why in its commit message.
"""
import hashlib
import json
import os
import pathlib

import numpy as np
import pytest
import scipy.sparse as sp

from varnel._core import elnet_path, elnet_sparse

HASH_FILE = pathlib.Path(__file__).with_name("data") / "result_hashes.json"


def _grid_data(n, p, seed):
    """x (n, p), a response driven by three columns, 0/1 labels and counts;
    about a third of the entries of x are exact zeros."""
    i = np.arange(n)[:, None]
    j = np.arange(p)[None, :]
    raw = (i * 7919 + j * 104729 + seed * 1299709) % 1009
    x = raw / 1009.0 - 0.5
    x = np.where(raw % 3 == 0, 0.0, x) * (1.0 + j)
    eta = x[:, 0] - 0.5 * x[:, 1] + 0.25 * x[:, min(2, p - 1)]
    noise = ((np.arange(n) * 104723) % 997) / 997.0 - 0.5
    y = 3.0 + eta + 0.5 * noise
    labels = (eta + 0.8 * noise > 0.0).astype(np.float64)
    counts = np.floor(1.5 + 2.0 * (eta - eta.min()) / (eta.max() - eta.min()) + noise + 0.5)
    return np.ascontiguousarray(x), y, labels, np.maximum(counts, 0.0)


DATA = {"tall": _grid_data(80, 10, 1), "wide": _grid_data(30, 60, 2)}


def _options(p, n):
    w = 0.5 + ((np.arange(n) * 31) % 7) / 4.0
    w[::9] = 0.0
    pf = np.ones(p)
    pf[0], pf[2] = 0.0, 2.0
    lower = np.full(p, -np.inf)
    upper = np.full(p, np.inf)
    lower[1], upper[3], lower[4] = -0.3, 0.4, 0.0
    return {
        "default": {},
        "alpha_half": {"alpha": 0.5},
        "ridge": {"alpha": 0.0, "nlambda": 20},
        "weights": {"weights": w},
        "penalty_factor": {"penalty_factor": pf},
        "limits": {"lower_limits": lower, "upper_limits": upper},
        "no_intercept": {"intercept": False},
        "no_standardize": {"standardize": False},
        "user_lambda": {"user_lambda": [0.3, 0.01, 0.1, 0.001]},
        "exclude": {"exclude": [1, 3]},
        "pmax": {"pmax": 3},
        "maxit_late": {"maxit": 150, "alpha": 0.5, "thresh": 1e-10},
        "dfmax": {"dfmax": 2},
        "nlambda_two": {"nlambda": 2},
        "tight": {"thresh": 1e-12, "nlambda": 30},
        "min_ratio": {"lambda_min_ratio": 0.05, "alpha": 0.8},
        "mixed": {"weights": w, "penalty_factor": pf, "lower_limits": lower,
                  "upper_limits": upper, "standardize": False, "alpha": 0.7},
        "mixed_no_intercept": {"weights": w, "penalty_factor": pf, "intercept": False,
                               "alpha": 0.9},
    }


def _digest(results):
    h = hashlib.sha256()
    for res in results if isinstance(results, list) else [results]:
        h.update(repr((res["lmu"], res["npasses"], res["warning"])).encode())
        for key in ("lambda", "a0", "beta", "dev_ratio"):
            h.update(np.ascontiguousarray(res[key], dtype=np.float64).tobytes())
        h.update(np.float64(res["nulldev"]).tobytes())
    return h.hexdigest()[:24]


SOLVERS = ("gaussian", "binomial", "poisson", "sparse")


def _cases():
    for dname, (x, y, labels, counts) in DATA.items():
        n, p = x.shape
        for oname in _options(p, n):
            for solver in SOLVERS:
                yield f"{dname}-{oname}-{solver}"
    # every pass limit up to 90: each point where the limit is checked shows
    for solver in SOLVERS:
        yield f"tall-maxit_sweep-{solver}"


def _run(case):
    dname, oname, solver = case.split("-")
    if oname == "maxit_sweep":
        return [_fit(dname, solver, {"maxit": m, "alpha": 0.6}) for m in range(1, 91)]
    x, y, labels, counts = DATA[dname]
    return _fit(dname, solver, _options(x.shape[1], x.shape[0])[oname])


def _fit(dname, solver, opts):
    x, y, labels, counts = DATA[dname]
    n, p = x.shape
    if solver == "sparse":
        s = sp.csc_matrix(x)
        return elnet_sparse(n, p, s.indptr, s.indices, s.data, y, **opts)
    resp = {"gaussian": y, "binomial": labels, "poisson": counts}[solver]
    return elnet_path(x, resp, family=solver, **opts)


CASES = list(_cases())


def _recorded():
    if not HASH_FILE.exists():
        return {}
    return json.loads(HASH_FILE.read_text())


def test_write_hashes_when_asked():
    if os.environ.get("VARNEL_WRITE_HASHES") != "1":
        pytest.skip("set VARNEL_WRITE_HASHES=1 to record the hashes")
    HASH_FILE.parent.mkdir(exist_ok=True)
    HASH_FILE.write_text(json.dumps({c: _digest(_run(c)) for c in CASES}, indent=1) + "\n")


@pytest.mark.parametrize("case", CASES)
def test_result_bits_unchanged(case):
    if os.environ.get("VARNEL_WRITE_HASHES") == "1":
        pytest.skip("recording")
    recorded = _recorded()
    assert case in recorded, "no recorded hash; regenerate the file"
    assert _digest(_run(case)) == recorded[case]
