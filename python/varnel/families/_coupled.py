"""The families whose rows are not one response each: Cox proportional
hazards (rows coupled through their risk sets) and several least-squares
responses per row.
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from .. import _convert, _survival
from ._base import _per_row, Family


class Cox(Family):
    """Cox proportional hazards: the response is a survival time and an event
    status per row (an (n, 2) array, a structured array with a boolean or
    integer status field and a float time field, or a two-column data
    frame); the linear predictor is the log relative risk (no intercept),
    ``exp(eta)`` the relative risk.  ``ties`` is "breslow" or "efron".

    Counting-process data (time-varying covariates, late entry) give each
    row an interval (start, stop] and a status: an (n, 3) array, a
    structured array of three fields or a three-column data frame, in the
    order start, stop, status.  A row is at risk at an event time t when
    start < t <= stop, and its status tells whether the event happened at
    its stop.  A subject may have several rows; cross-validation keeps a
    subject's rows in one fold with ``groups``.  The loss is per unit weight
    of the rows (and standardization weighs rows), so splitting a subject's
    interval leaves the unpenalized fit as it is but rescales lambda.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> from varnel import families
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 3))
    >>> y = np.column_stack([rng.exponential(np.exp(-X[:, 0])), np.ones(100)])
    >>> varnel.fit_path(X, y, families.Cox(ties="efron")).family_instance
    Cox(ties='efron')

    The same subjects followed in two intervals each, split at time 0.1:

    >>> t = y[:, 0]
    >>> early = np.column_stack([np.zeros(100), np.minimum(t, 0.1), (t <= 0.1) * 1.0])
    >>> late = np.column_stack([np.full(100, 0.1), t, np.ones(100)])[t > 0.1]
    >>> split = varnel.fit_path(np.vstack([X, X[t > 0.1]]), np.vstack([early, late]), "cox",
    ...                         user_lambda=[0.1, 0.0], thresh=1e-12)
    >>> whole = varnel.fit_path(X, y, "cox", user_lambda=[0.1, 0.0], thresh=1e-12)
    >>> bool(np.allclose(split.coefs[:, -1], whole.coefs[:, -1], atol=1e-5))
    True
    """

    name = "cox"
    solver_name = "cox"
    keeps_rows = True
    response_form = "survival"
    other_responses = ("counting",)
    blocks_refused_because = ("its partial likelihood couples the rows of each risk set, which "
                              "spans row blocks")
    measures = ("deviance", "C")
    deviance_label = "Partial likelihood deviance"
    links = ("log",)
    parameter = "ties"
    parameter_examples = ("breslow", "efron")
    own_options = ("strata",)
    fit_options = {"ties": "breslow"}
    intercept = False
    own_estimator = "CoxPHNetSurvival"

    def __init__(self, ties: str = "breslow", link: Optional[str] = None) -> None:
        if ties not in ("breslow", "efron"):
            raise ValueError(f"ties must be 'breslow' or 'efron', got {ties!r}")
        self.ties = ties
        super().__init__(link)

    def response(self, y, n):
        _convert.refuse_lazy(y, "y")
        return _survival.survival_response(y, n), None

    def with_strata(self, y, strata):
        codes, labels = _survival.strata_codes(strata, y.shape[0])
        out = y.copy()
        out[:, 2] = codes
        return out, labels

    def solver_response(self, y):
        extra = {"strata": y[:, 2].astype(np.uint64)} if y[:, 2].any() else {}
        if _survival.has_start(y):
            extra["entry"] = np.ascontiguousarray(y[:, 3])
        return np.ascontiguousarray(y[:, :2]) if _survival.has_start(y) else y[:, :2], extra

    def rows_per_subject(self, y):
        return _survival.has_start(y)

    def fold_labels(self, y):
        return y[:, 1]

    def scores_training_rows(self, measure):
        return measure == "deviance"

    def unit_deviance(self, y, eta):
        """The cox family has no deviance per row: its partial likelihood
        compares each event with the rows at risk, so it only splits over
        whole risk sets (``fold_score`` scores a fold with it).

        Parameters
        ----------
        y : ndarray of shape (n, 2)
            Times and statuses.
        eta : ndarray of shape (n,) or (n, L)
            Log relative risks.

        Raises
        ------
        ValueError
            Always.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Cox
        >>> Cox().unit_deviance(np.array([[1.0, 1.0]]), np.zeros(1))
        Traceback (most recent call last):
        ...
        ValueError: the partial likelihood of the cox family does not split into rows
        """
        raise ValueError("the partial likelihood of the cox family does not split into rows")

    def loss_gradient(self, y, eta, weights):
        """The derivative in each row's eta of minus the log partial
        likelihood (weights ``w``, Breslow's or Efron's ties, per stratum):
        ``-w_j d_j + u_j sum_g a_g``, ``u_j = w_j exp(eta_j)``, over the event
        times g whose risk set holds row j, where ``a_g = e_g / S_g``
        (Breslow: e_g the weight of the events at g, S_g the sum of u over
        its risk set) or ``sum_k (e_g / m) c_k / (S_g - (k / m) E_g)``
        (Efron: m tied events of positive weight, E_g their sum of u, c_k
        = 1 - k / m for the tied events themselves and 1 for the others).

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import Cox
        >>> y = np.array([[1.0, 1.0, 0.0], [2.0, 0.0, 0.0]])
        >>> Cox().loss_gradient(y, np.zeros(2), np.full(2, 0.5))
        array([-0.25,  0.25])
        """
        out = np.zeros(eta.shape[0])
        dead = (y[:, 1] > 0) & (weights > 0)
        entered = _survival.has_start(y)
        for s in np.unique(y[:, 2]):
            rows = np.flatnonzero(y[:, 2] == s)
            w, e, d = weights[rows], eta[rows], dead[rows]
            if not d.any():
                continue
            w_event = np.where(d, w, 0.0)
            order, starts, last, events, counts = _survival._groups(y[rows, 0], w_event)
            top = e[w > 0].max()
            u = np.where(w > 0, w * np.exp(np.where(w > 0, e, top) - top), 0.0)[order]
            risk = np.cumsum(u)[last]
            times = y[rows, 0][order][last]  # each group's time, latest first
            entry = y[rows, 3][order] if entered else None
            if entered:  # less the rows that enter at or after each time
                by_start = np.argsort(-entry, kind="stable")
                cum = np.r_[0.0, np.cumsum(u[by_start])]
                risk = risk - cum[np.searchsorted(-entry[by_start], -times, side="right")]
            tied = np.add.reduceat(np.where(d[order], u, 0.0), starts)
            m = np.maximum(counts, 1) if self.ties == "efron" else np.ones_like(counts)
            others, own = np.zeros(len(starts)), np.zeros(len(starts))
            for k in range(int(m.max())):
                g = (events > 0) & (m > k)
                f = k / m[g]
                share = events[g] / m[g] / (risk[g] - f * tied[g])
                others[g] += share
                own[g] += share * (1.0 - f)
            later = np.cumsum(others[::-1])[::-1]  # the event times from g on (g and earlier ones)
            group = np.repeat(np.arange(len(starts)), np.diff(np.r_[starts, len(order)]))
            beyond = np.r_[later[1:], 0.0][group]
            if entered:  # not the event times at or before a row's entry
                before = np.r_[later, 0.0][np.searchsorted(-times, -entry, side="left")]
                beyond = beyond - np.minimum(before, beyond)
            mine = np.where(d[order], own[group], others[group])
            grad = u * (beyond + mine) - w_event[order]
            out[rows[order]] = grad
        return out

    def losses(self, y, eta, measure):
        raise ValueError(f"the cox family measures 'deviance' and 'C' over whole folds, not {measure!r}")

    def fold_score(self, y, w, eta, measure, training=None, subjects=None):
        """'C': Harrell's concordance of the held-out rows (of counting-process
        data, each subject's last row; every row a subject without
        ``subjects``); 'deviance': the partial likelihood's difference method,
        -2 (l(beta; all rows) - l(beta; training rows)) per unit of held-out
        weight."""
        if w.sum() <= 0:
            return np.full(eta.shape[-1], np.nan)
        if measure == "C":
            return _survival.concordance(y, w, eta, subjects=subjects)
        y_train, w_train, eta_train = training
        w_train = np.ones(y_train.shape[0]) if w_train is None else w_train
        both = _survival.log_partial_likelihood(np.vstack([y_train, y]), np.r_[w_train, w],
                                                np.vstack([eta_train, eta]), self.ties)
        alone = _survival.log_partial_likelihood(y_train, w_train, eta_train, self.ties)
        return -2.0 * (both - alone) / w.sum()


class MultiTask(Family):
    """Several responses on the same rows (y of shape (n, K)), one
    least-squares fit each, with each variable's K coefficients penalized
    together (the group elastic net), so that a variable enters or leaves
    every response's model at once.  The deviance of a row is its sum of
    squared errors over the responses; "mse" and "mae" average over them.
    ``standardize_response`` scales each response to unit variance first.

    Examples
    --------
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 4)); Y = X[:, :2] + rng.normal(size=(100, 2))
    >>> varnel.fit_path(X, Y, "multitask").coefs.shape[:2]
    (4, 2)
    """

    name = "multitask"
    solver_name = "multitask"
    sums_blocks = True
    response_form = "several"
    deviance_label = "Sum of squared errors"
    block_name = "responses"
    block_unit = "response"
    own_estimator = "MultiTaskNetRegressor"
    parameter = "standardize_response"
    parameter_examples = (False, True)
    fit_options = {"standardize_response": False}

    def __init__(self, standardize_response: bool = False, link: Optional[str] = None) -> None:
        self.standardize_response = _convert.as_bool(standardize_response, "standardize_response")
        super().__init__(link)

    def response(self, y, n):
        _convert.refuse_lazy(y, "y")
        names = _convert.feature_names_of(y, "y")
        arr = np.asarray(y.to_numpy() if names is not None else y)
        if arr.ndim != 2 or arr.shape[1] < 1:
            raise ValueError(f"the multitask family needs y of shape ({n}, K), one column per response, "
                             f"got shape {arr.shape}")
        if arr.shape[0] != n:
            raise ValueError(f"X has {n} rows but y has {arr.shape[0]}; y must have shape ({n}, K)")
        _convert.check_missing(arr, "y", names)
        out = np.ascontiguousarray(_convert.float_array(arr, "y", names))
        _convert.check_finite(out, "y")
        return out, np.array(names if names is not None else range(arr.shape[1]), dtype=object)

    def offset_shape(self, n, classes):
        return (n, classes.shape[0])

    @property
    def fits_from_products(self) -> bool:
        return True

    def check_options(self, options):
        if self.standardize_response and (options.get("lower_limits") is not None
                                          or options.get("upper_limits") is not None):
            raise ValueError("lower_limits and upper_limits bound the coefficients of the responses as "
                             "given; they cannot be combined with standardize_response=True")

    def checked_rows(self, y, eta):
        """y is (n, K), one column per response, and eta (n, K), or
        (n, K, L) with the lambdas last."""
        y, eta = np.asarray(y), np.asarray(eta)
        if y.ndim == 2 and eta.ndim in (2, 3) and eta.shape[:2] == y.shape:
            return y, (eta[..., None] if eta.ndim == 2 else eta), eta.ndim == 2
        raise ValueError(f"the multitask family takes y of shape (n, K) with eta of shape (n, K) or "
                         f"(n, K, L), one linear predictor per response (and lambda), on the same "
                         f"rows; got y of shape {y.shape} and eta of shape {eta.shape}")

    def losses(self, y, eta, measure):  # eta: (n, K, L)
        measure = self.loss_measure(measure)
        y, eta, single = self.checked_rows(y, eta)
        r = y[:, :, None] - eta
        if measure == "deviance":
            out = (r * r).sum(axis=1)
        else:
            out = (np.abs(r) if measure == "mae" else r * r).mean(axis=1)
        return out[:, 0] if single else out

    def grouped_penalty(self, grouped):
        return True

    def objective_scales(self, y, weights, intercept, offset):
        """With ``standardize_response``, each response (less its offset)
        divided by its weighted standard deviation (root mean square
        without an intercept)."""
        if not self.standardize_response:
            return 1.0, 1.0
        fitted = y if offset is None else y - offset
        wn = np.full(y.shape[0], 1.0 / y.shape[0]) if weights is None else weights / weights.sum()
        centre = wn @ fitted if intercept else 0.0
        s = np.sqrt(wn @ (fitted - centre) ** 2)
        return np.where(s > 0, s, 1.0), 1.0

    def loss_gradient(self, y, eta, weights):
        """``w_i (eta_ik - y_ik)``: the derivative of half the squared
        errors in every response's predictor."""
        return weights[:, None] * (eta - y)

    def loss_conjugate(self, y, u):
        """``|u|^2 / 2 + u . y`` per row, the conjugate of half the squared
        errors."""
        return (0.5 * u * u + u * y).sum(axis=1)

    @_per_row
    def unit_deviance(self, y, eta):
        """The sum of squared errors of each row over its K responses.

        Parameters
        ----------
        y : ndarray of shape (n, K)
            One column per response.
        eta : ndarray of shape (n, K) or (n, K, L)
            One linear predictor per response (and lambda) of the same rows.

        Returns
        -------
        ndarray of shape (n,) for an eta of shape (n, K), else (n, L)

        Raises
        ------
        ValueError
            When the shapes of y and eta do not go together.

        Examples
        --------
        >>> import numpy as np
        >>> from varnel.families import MultiTask
        >>> MultiTask().unit_deviance(np.array([[1.0, 2.0]]), np.array([[0.0, 0.0]]))
        array([5.])
        """
        r = y[:, :, None] - eta
        return (r * r).sum(axis=1)
