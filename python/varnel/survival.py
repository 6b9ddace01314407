"""Penalized Cox regression as a scikit-learn estimator, following
scikit-survival's conventions (``y`` a structured array of an event
indicator and a time, as ``sksurv.util.Surv`` makes it, an (n, 2) array of
time and status, or a two-column data frame).

This module imports scikit-learn (``pip install 'varnel[sklearn]'``).
"""

from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.validation import check_is_fitted, validate_data

from . import _survival
from ._docstrings import filled
from ._estimator_base import PASSAGES, NetEstimator, estimator_doc, keep_parameters, sample_weights
from .families import get_family

__all__ = ["CoxPHNetSurvival", "StepFunction"]


class StepFunction:
    """A right-continuous step function of time: ``y[i]`` on
    ``[x[i], x[i + 1])``, ``y[-1]`` from ``x[-1]`` on and ``before`` (1 for a
    survival function, 0 for a cumulative hazard) before ``x[0]``.

    Calling it on times gives its values there.

    Parameters
    ----------
    x : ndarray of shape (T,)
        The times at which it steps, increasing.
    y : ndarray of shape (T,)
        Its value from each step on.
    before : float
        Its value before ``x[0]``.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel.survival import StepFunction
    >>> f = StepFunction(np.array([1.0, 2.0]), np.array([0.8, 0.5]), before=1.0)
    >>> f([0.5, 1.0, 1.5, 3.0]).tolist()
    [1.0, 0.8, 0.8, 0.5]
    >>> f.domain
    (1.0, 2.0)
    """

    def __init__(self, x: np.ndarray, y: np.ndarray, before: float):
        self.x, self.y, self.before = x, y, before

    @property
    def domain(self):
        """The first and the last time at which the function steps."""
        return float(self.x[0]), float(self.x[-1])

    def __call__(self, t: Any) -> np.ndarray:
        i = np.searchsorted(self.x, np.asarray(t, dtype=np.float64), side="right") - 1
        return np.where(i < 0, self.before, self.y[np.maximum(i, 0)])

    def __repr__(self) -> str:
        return f"StepFunction(x={self.x!r}, y={self.y!r})"


# the passages of the estimator's method docstrings
_PASSAGES = dict(PASSAGES, cox_offset="""
    offset : array-like of shape (n_samples,), optional
        The samples' offsets, as given to ``fit``.
    """, cox_example="""
    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3))
    >>> y = np.column_stack([rng.exponential(np.exp(-X[:, 0])), rng.uniform(size=100) < 0.8])
    >>> model = varnel.CoxPHNetSurvival(alpha=0.01).fit(X, y)
    """, function_sections="""
    Parameters
    ----------
    {samples}
    return_array : bool, default False
        Return the values at ``unique_times_`` instead of functions.
    {cox_offset}
    intervals : array-like of shape (n_samples, 2), optional
        Covariate paths: the (start, stop] over which each row holds its
        subject's covariates (see :meth:`varnel.Path.cumulative_hazard`);
        NaN past a subject's last stop.
    subjects : array-like of shape (n_samples,), optional
        With ``intervals``, a subject label per row (None: every row a
        subject); one function per subject, in sorted order of the labels.

    Returns
    -------
    ndarray
        (n_samples,) step functions, or (n_samples, n_times) values (one per
        subject with ``subjects``).
    """)


@filled(**_PASSAGES)
class CoxPHNetSurvival(NetEstimator):
    __doc__ = estimator_doc(
        "Elastic-net penalized Cox proportional-hazards regression; the penalty\n"
        "    strength is chosen by cross-validation unless ``alpha`` is given.\n" + """
    With ``alpha=a`` and ``l1_ratio=r`` the coefficients minimise::

        -1/n l(b) + a r ||b||_1 + a (1 - r)/2 ||b||^2

    where l is the log partial likelihood of ``eta = X b`` (Breslow's or
    Efron's handling of tied times; with ``sample_weight``, the weighted one
    divided by the total weight); there is no intercept.  ``measure`` is
    "deviance" (the cross-validated partial likelihood, by the difference
    method) or "C" (Harrell's concordance of the held-out rows); random
    folds are stratified by the event status.  ``predict`` gives the risk
    score ``eta``, ``score`` Harrell's concordance, and the survival and
    cumulative hazard functions come from Breslow's estimate of the
    baseline hazard.
""", """\
    >>> import numpy as np
    >>> from varnel.survival import CoxPHNetSurvival
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((80, 5))
    >>> y = np.column_stack([rng.exponential(np.exp(-X[:, 0])), rng.random(80) < 0.7])
    >>> model = CoxPHNetSurvival(alpha=0.05).fit(X, y)
    >>> model.predict_survival_function(X[:2], return_array=True).shape[0]
    2
""", parameters={
        "fit_intercept": None, "solver": None,
        "ties": """\
    ties : {"breslow", "efron"}, default "breslow"
        How tied event times enter the partial likelihood."""},
        attributes={"intercept_": None, "unique_times_": """\
    unique_times_ : ndarray
        The distinct event times of the training data, at which
        ``predict_survival_function`` steps."""})

    _family = "cox"
    _parameter_constraints = {**{k: v for k, v in NetEstimator._parameter_constraints.items()
                                 if k not in ("fit_intercept", "solver")},
                              "measure": [StrOptions(set(get_family("cox").measures))],
                              "ties": [StrOptions({"breslow", "efron"})]}

    # the partial likelihood has no intercept; least squares' solvers do not apply
    fit_intercept = False
    solver = "naive"

    def __init__(self, alpha=None, l1_ratio=1.0, cv=5, select="lambda_1se", measure="deviance",
                 nlambda=100, lambda_min_ratio=None, standardize=True, penalty_factor=None,
                 lower_limits=None, upper_limits=None, tol=1e-7, max_iter=100000, n_jobs=None,
                 random_state=None, ties="breslow", verbose=0, relax=False, blend=1.0, *,
                 drop_first=False, handle_unknown="error", missing="error", feature_groups="auto", l1_within=0.0,
                 group_penalty_factor=None, group_size_weight=True):
        keep_parameters(self, locals())

    def _family_options(self) -> Dict[str, Any]:
        return {"ties": self.ties}

    def _validate_xy(self, X, y):
        X = validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64)
        y = _survival.survival_response(y, X.shape[0])
        events = np.unique(y[y[:, 1] > 0, 0])
        if events.shape[0] == 0:
            raise ValueError("y holds no event: every observation is censored, so there is nothing to fit")
        self.unique_times_ = events
        if _survival.has_start(y):  # counting-process rows: start, stop, status
            return X, y[:, [3, 0, 1]]
        return X, y[:, :2]

    def fit(self, X, y, sample_weight=None, offset=None, groups=None):
        """Fit the model (see the class documentation); ``y`` holds the event
        status and time of every sample.

        Parameters
        ----------
        {samples}
        y : array-like of shape (n_samples, 2) or (n_samples, 3), or structured array
            The time and event status of every sample (as scikit-survival's
            ``Surv.from_arrays`` makes, or an (n, 2) array of time, status),
            or counting-process rows: start, stop and status (an (n, 3)
            array, three fields or three columns in that order), a row at
            risk at t when start < t <= stop.  A subject may have several
            rows: cross-validate with a group splitter (``cv=GroupKFold(5)``
            and ``groups``, a subject label per row) to keep them together.
        {sample_weight}
        offset : array-like of shape (n_samples,), optional
            A known part of every risk score; give the new samples' offsets
            to ``predict`` and ``score``.
        groups : array-like of shape (n_samples,), optional
            Group labels for a ``cv`` splitter.

        Returns
        -------
        self
            The fitted estimator.

        {cox_example}
        >>> model.coef_.shape
        (3,)
        """
        return super().fit(X, y, sample_weight=sample_weight, offset=offset, groups=groups)

    def predict(self, X, offset=None):
        """The risk score (the linear predictor ``offset + X @ coef_``): higher
        means an earlier event.

        Parameters
        ----------
        {samples}
        {cox_offset}

        Returns
        -------
        ndarray of shape (n_samples,)
            The risk scores.

        {cox_example}
        >>> model.predict(X[:3]).shape
        (3,)
        """
        return self._link(X, offset)

    def score(self, X, y, sample_weight=None, offset=None, subjects=None):
        """Harrell's concordance index of ``predict(X, offset)`` with the
        survival data ``y`` (weighted, ties as scikit-survival's
        concordance_index_censored counts them).  Counting-process rows
        (start, stop, status) are scored by each subject's last row (its
        latest stop): its status, stop, weight and risk score; without
        ``subjects`` every row counts as a subject.

        Parameters
        ----------
        {samples}
        y : array-like of shape (n_samples, 2) or (n_samples, 3), or structured array
            Their times and event statuses, or start, stop and status.
        sample_weight : array-like of shape (n_samples,), optional
            Weights of the samples (a pair counts with the product of its
            weights).
        {cox_offset}
        subjects : array-like of shape (n_samples,), optional
            A subject label per row of counting-process data.

        Returns
        -------
        float
            The concordance, in [0, 1] (0.5 for a random score).

        {cox_example}
        >>> model.score(X, y) > 0.5
        True
        """
        eta = self.predict(X, offset)
        yy = _survival.survival_response(y, eta.shape[0])
        w = sample_weights(sample_weight, eta)
        w = np.ones(eta.shape[0]) if w is None else w
        codes = None if subjects is None else _survival.subject_codes(subjects, eta.shape[0])[0]
        return float(_survival.concordance(yy, w, eta[:, None], subjects=codes)[0])

    def _function(self, X, offset, return_array, survival, intervals, subjects):
        check_is_fitted(self)
        if self.path_.encoding is None:  # else the path encodes the data frame's levels
            X = validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64, reset=False)
        h = self.path_.cumulative_hazard(X, self.unique_times_, s=self.lambda_, offset=offset,
                                         blend=getattr(self, "blend_", None),
                                         intervals=intervals, subjects=subjects)
        values = np.exp(-h) if survival else h
        if return_array:
            return values
        return np.array([StepFunction(self.unique_times_, v, 1.0 if survival else 0.0) for v in values],
                        dtype=object)

    def predict_survival_function(self, X, return_array=False, offset=None, *, intervals=None,
                                  subjects=None):
        """Survival functions of the samples: one
        :class:`~varnel.survival.StepFunction` each, or with
        ``return_array=True`` their values at ``unique_times_``, shape
        (n_samples, n_times).

        {function_sections}

        {cox_example}
        >>> curves = model.predict_survival_function(X[:2])
        >>> float(curves[0](0.0))
        1.0
        >>> model.predict_survival_function(X[:2], return_array=True).shape == (2, len(model.unique_times_))
        True
        """
        return self._function(X, offset, return_array, survival=True, intervals=intervals,
                              subjects=subjects)

    def predict_cumulative_hazard_function(self, X, return_array=False, offset=None, *,
                                           intervals=None, subjects=None):
        """Cumulative hazard functions of the samples, as
        :meth:`predict_survival_function` gives the survival functions.

        {function_sections}

        {cox_example}
        >>> H = model.predict_cumulative_hazard_function(X[:2], return_array=True)
        >>> bool((H >= 0).all())
        True
        """
        return self._function(X, offset, return_array, survival=False, intervals=intervals,
                              subjects=subjects)
