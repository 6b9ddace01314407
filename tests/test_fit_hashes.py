"""Every result of `_core.fit` over family x input x solver x options, pinned
to the last bit by a hash recorded in data/fit_hashes.json (the data and the
digest of test_result_hashes.py).

A change that is meant to move these bits regenerates the file
(VARNEL_WRITE_FIT_HASHES=1 python -m pytest tests/test_fit_hashes.py) and says
in its commit message which ones moved and why.
"""
import json
import os
import pathlib

import numpy as np
import pytest
import scipy.sparse as sp

import test_result_hashes as pinned
from varnel._core import fit

HASH_FILE = pathlib.Path(__file__).with_name("data") / "fit_hashes.json"
X, Y, LABELS, COUNTS = pinned.DATA["tall"]
N, P = X.shape
CLASSES = np.digitize(Y, np.quantile(Y, [0.3, 0.65])).astype(float)
RESPONSE = {"gaussian": Y, "binomial": LABELS, "poisson": COUNTS, "multinomial": CLASSES,
            "grouped": CLASSES, "tweedie": COUNTS, "probit": LABELS}
# the families by variance and link, under their case names
GLM = {"tweedie": dict(family="tweedie", power=1.5), "probit": dict(family="binomial", link="probit")}
# (family, input, solver)
RUNS = [(f, i, "naive") for f in RESPONSE for i in ("dense", "sparse")] + [
    ("gaussian", "dense", "covariance")]


def _options(family):
    w = 0.5 + ((np.arange(N) * 31) % 7) / 4.0
    w[::9] = 0.0
    pf = np.ones(P)
    pf[0], pf[2] = 0.0, 2.0
    lower, upper = np.full(P, -np.inf), np.full(P, np.inf)
    lower[1], upper[3] = -0.3, 0.4
    wide = family in ("multinomial", "grouped")
    offset = ((np.arange(N * (3 if wide else 1)) * 13) % 11 / 22.0 - 0.25).reshape(N, -1)
    return {
        "default": {},
        "general": {"weights": w, "penalty_factor": pf, "lower_limits": lower,
                    "upper_limits": upper, "alpha": 0.7,
                    "offset": offset if wide else offset[:, 0]},
        "raw": {"intercept": False, "standardize": False, "nlambda": 30},
        "maxit": {"maxit": 60, "alpha": 0.5, "thresh": 1e-10},
    }


CASES = [f"{f}-{i}-{s}-{o}" for f, i, s in RUNS for o in _options(f)]


def _run(case):
    family, kind, solver, oname = case.split("-")
    x = X if kind == "dense" else (N, P, *(lambda m: (m.indptr, m.indices, m.data))(sp.csc_matrix(X)))
    opts = dict(_options(family)[oname])
    if family == "grouped":
        family, opts["grouped"] = "multinomial", True
    return fit(x, RESPONSE[family], **GLM.get(family, dict(family=family)), solver=solver, **opts)


def test_write_hashes_when_asked():
    if os.environ.get("VARNEL_WRITE_FIT_HASHES") != "1":
        pytest.skip("set VARNEL_WRITE_FIT_HASHES=1 to record the hashes")
    HASH_FILE.write_text(json.dumps({c: pinned._digest(_run(c)) for c in CASES}, indent=1) + "\n")


@pytest.mark.parametrize("case", CASES)
def test_fit_bits_unchanged(case):
    if os.environ.get("VARNEL_WRITE_FIT_HASHES") == "1":
        pytest.skip("recording")
    recorded = json.loads(HASH_FILE.read_text()) if HASH_FILE.exists() else {}
    assert case in recorded, "no recorded hash; regenerate the file"
    assert pinned._digest(_run(case)) == recorded[case]
