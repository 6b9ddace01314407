"""Fit configuration defaults, error texts and path-warning rendering of the
core (through varnel._test_core)."""
import re

import pytest

from varnel import _test_core as tc

FIXED = {
    "min_dev_change": 1e-5,
    "min_lambda_ratio": 1e-6,
    "big": 9.9e35,
    "min_lambdas": 5,
    "max_dev_ratio": 0.999,
    "pmin": 1e-9,
}

CALLER_DEFAULTS = {
    "alpha": 1.0, "nlambda": 100, "user_lambda": None, "standardize": True, "intercept": True,
    "thresh": 1e-7, "maxit": 100000, "penalty_factor": None, "lower_limits": None,
    "upper_limits": None, "weights": None, "exclude": [],
}


@pytest.mark.parametrize("nobs, nvars, ratio", [
    (50, 50, 1e-4), (51, 50, 1e-4), (49, 50, 0.01), (1, 1000, 0.01), (0, 0, 1e-4),
])
def test_lambda_min_ratio_default(nobs, nvars, ratio):
    assert tc.build_config(nobs, nvars)["lambda_min_ratio"] == ratio


def test_lambda_min_ratio_given_is_kept():
    assert tc.build_config(10, 50, lambda_min_ratio=0.5)["lambda_min_ratio"] == 0.5
    assert tc.build_config(50, 10, lambda_min_ratio=0.0)["lambda_min_ratio"] == 0.0


@pytest.mark.parametrize("nvars, given, dfmax, pmax", [
    (10, {}, 11, 10),
    (100, {}, 101, 100),
    (100, {"dfmax": 5}, 5, 30),          # pmax from the caller's dfmax
    (100, {"dfmax": 10}, 10, 40),
    (30, {"dfmax": 10}, 10, 30),
    (100, {"dfmax": 0}, 0, 20),
    (10, {"pmax": 500}, 11, 500),        # a caller's pmax above nvars is kept
    (10, {"dfmax": 3, "pmax": 2}, 3, 2),
    (0, {}, 1, 0),
    (2**64 - 1, {}, 2**64 - 1, 2**64 - 1),             # saturates, never wraps
    (2**64 - 1, {"dfmax": 2**63}, 2**63, 2**64 - 1),
])
def test_dfmax_and_pmax_defaults(nvars, given, dfmax, pmax):
    config = tc.build_config(1000, nvars, **given)
    assert (config["dfmax"], config["pmax"]) == (dfmax, pmax)


def test_fixed_constants_and_caller_defaults():
    config = tc.build_config(20, 5)
    assert {k: config[k] for k in FIXED} == FIXED
    assert {k: config[k] for k in CALLER_DEFAULTS} == CALLER_DEFAULTS
    assert set(config) == set(FIXED) | set(CALLER_DEFAULTS) | {"lambda_min_ratio", "dfmax", "pmax"}


def test_given_options_are_stored_unvalidated():
    given = dict(alpha=-3.0, nlambda=0, user_lambda=[0.1, 5.0, float("inf")], standardize=False,
                 intercept=False, thresh=0.0, maxit=0, penalty_factor=[1.0],
                 lower_limits=[2.0, 3.0], upper_limits=[-1.0], weights=[-1.0],
                 exclude=[7, 0, 7])
    config = tc.build_config(3, 4, **given)
    assert {k: config[k] for k in given} == given
    # the fixed constants cannot be set by the caller
    assert {k: config[k] for k in FIXED} == FIXED
    with pytest.raises(TypeError):
        tc.build_config(3, 4, big=1.0)


FIT_ERRORS = [
    ("AllPredictorsExcluded", "all predictors are constant or excluded (jerr 7777)"),
    ("NonPositivePenalties", "all penalty factors are <= 0 (jerr 10000)"),
    ("PositiveLowerLimit", "lower limits should be non-positive"),
    ("NegativeUpperLimit", "upper limits should be non-negative"),
    ("NullProbUnderflow", "null probability underflowed pmin; response is ~constant (jerr 8001)"),
    ("NullProbOverflow", "null probability exceeded 1-pmin; response is ~constant (jerr 9001)"),
    ("NegativeResponse", "negative response; not permitted for the Poisson family (jerr 8888)"),
    ("NonPositiveWeightSum", "observation weights sum to <= 0 (jerr 9999)"),
]


def test_fit_error_texts_in_declaration_order():
    assert tc.fit_errors() == FIT_ERRORS


@pytest.mark.parametrize("kind, index, text, code", [
    ("MaxIterReached", 0, "MaxIterReached { lambda_index: 0 }", -1),
    ("MaxIterReached", 12, "MaxIterReached { lambda_index: 12 }", -13),
    ("MaxIterReached", 99, "MaxIterReached { lambda_index: 99 }", -100),
    ("MaxActiveReached", 0, "MaxActiveReached { lambda_index: 0 }", -10001),
    ("MaxActiveReached", 7, "MaxActiveReached { lambda_index: 7 }", -10008),
    ("MaxActiveReached", 12345, "MaxActiveReached { lambda_index: 12345 }", -22346),
])
def test_path_warning_text_and_code(kind, index, text, code):
    assert tc.path_warning(kind, index) == (text, code)


@pytest.mark.parametrize("kind", ["MaxIterReached", "MaxActiveReached"])
def test_path_warning_text_form_for_many_indices(kind):
    base = -1 if kind == "MaxIterReached" else -10001
    for index in list(range(0, 25)) + [10**6, 2**31 - 1]:
        text, code = tc.path_warning(kind, index)
        match = re.fullmatch(r"(\w+) \{ lambda_index: (\d+) \}", text)
        assert match and match.groups() == (kind, str(index))
        assert code == base - index


def test_bad_arguments_raise_python_exceptions():
    with pytest.raises(ValueError):
        tc.path_warning("Other", 1)
    with pytest.raises(OverflowError):
        tc.build_config(-1, 5)
    with pytest.raises(TypeError):
        tc.build_config(5, 5, dfmax=1.5)
