"""Fitting a regularization path: :func:`fit_path`, and the Path of a
solver's solution with its warnings."""

from __future__ import annotations

import warnings
from typing import Any, Callable, Dict, Optional, Sequence, Union

from . import _convert, _fit, _optimality, _progress, _relax, _sources
from ._progress import LambdaProgress
from .families import Family
from ._path import ArrayLike, Path

__all__ = ["fit_path"]


def fit_path(X: ArrayLike, y: ArrayLike, family: Union[str, Family] = "gaussian", *,
             alpha: float = 1.0, nlambda: int = 100, lambda_min_ratio: Optional[float] = None,
             user_lambda: Optional[Sequence[float]] = None, standardize: bool = True,
             intercept: bool = True, thresh: float = 1e-7, maxit: int = 100000,
             dfmax: Optional[int] = None, pmax: Optional[int] = None,
             penalty_factor: Optional[ArrayLike] = None, lower_limits: Optional[ArrayLike] = None,
             upper_limits: Optional[ArrayLike] = None, weights: Optional[ArrayLike] = None,
             exclude: Optional[Sequence[Union[int, str]]] = None,
             offset: Optional[ArrayLike] = None, solver: str = "auto",
             grouped: bool = False, strata: Optional[ArrayLike] = None,
             ties: Optional[str] = None, standardize_response: Optional[bool] = None,
             coef_storage: str = "auto", certify: bool = False, verbose: Union[int, bool] = 0,
             callback: Optional[Callable[[LambdaProgress], Any]] = None,
             drop_first: bool = False, handle_unknown: str = "error",
             missing: str = "error", relax: bool = False,
             feature_groups: Any = "auto", l1_within: float = 0.0,
             group_penalty_factor: Any = None, group_size_weight: bool = True) -> Path:
    """Fit an elastic-net penalized GLM over a decreasing sequence of lambdas.

    This is the solver's own parametrisation: ``alpha`` is the mix and lambda
    the strength (the scikit-learn estimators call them ``l1_ratio`` and
    ``alpha``).  With the weights ``w`` rescaled to sum to 1 and the penalty
    factors ``v`` to sum to p, each lambda minimises::

        logistic, Poisson:  -sum_i w_i loglik_i + lambda * P(b)
        Gaussian:           1/2 sum_i w_i (y_i - b0 - x_i b)^2 + lambda * P_s(b)

    with ``P(b) = sum_j v_j (alpha |b_j| + (1 - alpha)/2 b_j^2)`` and, because
    the Gaussian solver works on ``y / s`` where ``s`` is the weighted
    standard deviation of y (its root mean square without an intercept),
    ``P_s(b) = sum_j v_j (alpha |b_j| + (1 - alpha)/(2 s) b_j^2)``.  So
    scikit-learn's ``ElasticNet(alpha=a, l1_ratio=r)`` is ``lambda =
    a (r + (1 - r) s)`` with ``alpha = r / (r + (1 - r) s)``, and for the
    other families ``lambda = a``, ``alpha = r``.  With ``standardize=True``
    the penalty applies to the coefficients of the standardized columns.

    Parameters
    ----------
    X : array-like or scipy.sparse matrix of shape (n, p)
        Features: a NumPy array of any real dtype and memory layout, nested
        lists, a pandas DataFrame (its column names are kept) or a sparse
        matrix, which every family fits as it is (centring and scaling stay
        implicit; it is never densified).
    y : array-like of shape (n,), (n, 2) or (n, K)
        Response.  Gaussian: real values; logistic: any two labels (kept in
        ``Path.classes``; the larger one is coded 1); Poisson, negative
        binomial and Tweedie with power below 2: non-negative values; gamma,
        inverse Gaussian and Tweedie with power 2 or more: positive values;
        multinomial: any K >= 2 labels (kept sorted in ``Path.classes``);
        cox: each row's time and status (1 an event, 0 censored), as an
        (n, 2) array, a structured array of a boolean or integer status field
        and a float time field, or a two-column data frame; multitask: K
        responses, (n, K).
    family : str or varnel.families.Family
        The GLM family (``"binomial"`` is accepted for ``"logistic"``), by
        name (``"gaussian"``, ``"logistic"``, ``"poisson"``,
        ``"multinomial"``, ``"gamma"``, ``"inverse_gaussian"``,
        ``"tweedie:1.5"``, ``"negbin:2"``, ``"cox"``, ``"multitask"``) or as
        an instance of
        :mod:`varnel.families`, which also chooses the link
        (``families.Gamma(link="inverse")``, ``families.Binomial(link="probit")``).
        A family other than the Gaussian one with the identity link
        minimises half the weighted mean deviance plus the penalty (for the
        logistic and Poisson families with their default links this is
        their mean negative log-likelihood, up to a constant).  The
        multinomial family fits one coefficient per variable and class
        (``coefs`` of shape (p, K, L), ``intercepts`` (K, L)) and minimises
        the mean multinomial negative log-likelihood plus the penalty summed
        over the classes.  The cox family minimises the negative log partial
        likelihood divided by the total weight (no intercept); the multitask
        family least squares of K responses, each variable's K coefficients
        penalized by their Euclidean norm.
    alpha : float in [0, 1], default 1.0
        Elastic-net mixing: 1 is the lasso, 0 is ridge.
    nlambda : int, default 100
        Number of lambdas when no ``user_lambda`` is given.
    lambda_min_ratio : float in (0, 1), optional
        Smallest lambda as a fraction of the largest; the solver's default
        depends on whether n > p.
    user_lambda : sequence of float, optional
        Your own lambdas (sorted into decreasing order).
    standardize : bool, default True
        Standardize the columns internally; coefficients are always reported
        on the original scale.
    intercept : bool, default True
        Fit an intercept.
    thresh : float > 0, default 1e-7
        Convergence threshold of coordinate descent.
    maxit : int, default 100000
        Maximum total number of passes over the data.
    dfmax : int, optional
        Stop the path once more than ``dfmax`` variables are non-zero.
    pmax : int, optional
        Maximum number of variables ever non-zero; reaching it stops the path
        with a :class:`PathWarning`.
    penalty_factor : float, array-like of shape (p,) or dict, optional
        Relative penalty per feature, non-negative (0 leaves a feature
        unpenalized, ``inf`` leaves it out).  An array, a list or a polars
        Series (which has no index) goes by position.  A setting labelled
        by feature name, a dict, a pandas Series or a one-row data frame,
        is matched to the column names of a data frame X by name, in any
        order; every column needs a value, and an unknown or missing name
        is a ValueError naming it.  A pandas Series with the default index
        0, ..., p - 1 goes by position, unless those are X's column names.
        The name of a categorical column stands for all its indicators.
    lower_limits, upper_limits : float, array-like of shape (p,) or dict, optional
        Box constraints on the coefficients, by position or by feature name
        as ``penalty_factor``.
    weights : array-like of shape (n,), optional
        Non-negative observation weights.
    exclude : sequence of int or str, optional
        Features to leave out (indices, or names for a data frame; a
        categorical column's name leaves out all its indicators).
    offset : array-like of shape (n,) or (n, K), optional
        A known part of every linear predictor, ``eta = offset + a0 + X b``
        (one column per class for the multinomial family):
        for a Poisson rate, the log of each observation's exposure.  For the
        Gaussian family it is the fit of ``y - offset``.  Pass the new
        observations' offsets to :meth:`Path.predict`.
    grouped : bool, default False
        Multinomial only: penalize each variable's K coefficients together
        by their Euclidean norm (``alpha * ||b_j||_2`` in place of
        ``alpha * sum_k |b_jk|``), so that a variable enters or leaves the
        model for every class at once.
    solver : {"auto", "naive", "covariance"}, default "auto"
        How a dense X is solved.  "naive" updates the residual after every
        coordinate step (cost O(n) per step; bit-reproducible in any memory
        layout); "covariance" forms the inner products of the columns that
        enter the model, at BLAS-like speed, after which a step costs O(p)
        (same objective and path rules; the same bits for the same input in
        any layout, though not the naive solver's bits); for the families
        that reweight it forms them again at every reweighting step.
        "auto" takes "covariance" for least squares on a dense X with
        n >= 2 p and p <= 2000, else "naive"; sparse X always uses
        "naive".

    strata : array-like of shape (n,), optional
        Cox only: a stratum label per row; each stratum has its own baseline
        hazard.
    ties : {"breslow", "efron"}, optional
        Cox only: how tied event times enter the partial likelihood
        (default "breslow", or the family instance's own).
    standardize_response : bool, optional
        Multitask only: scale each response to unit weighted variance before
        fitting (default False); coefficients stay on the original scale.
    coef_storage : {"auto", "dense", "sparse"}, default "auto"
        How the path keeps its coefficients: "dense" as an ndarray,
        "sparse" as a ``scipy.sparse.csc_matrix`` (a list of K for the
        multinomial and multitask families; see ``Path.coefs``), which
        holds only the non-zero values of each solution.  "auto" is
        "sparse" for a sparse X with more than 100,000 columns
        (``varnel._coefs.SPARSE_MIN_FEATURES``), else "dense".  The values
        are the same in either storage, bit for bit.
    certify : bool, default False
        After the fit, check every solution against the optimality (KKT)
        conditions of its objective (one more pass over the rows per
        lambda) and keep the result in ``Path.optimality_`` (see
        :meth:`Path.optimality`); a solution that violates them by more
        than 1e-3 of its lambda's scale warns.  The solutions themselves
        are the same, bit for bit.  Rows in memory only: a Dask collection
        is refused (certify its path with ``Path.optimality`` on the rows
        computed into memory).
    verbose : {0, 1, 2}, default 0
        1 shows a progress bar over the lambdas on stderr (tqdm's, also in a
        notebook, when tqdm is installed; one updating line otherwise); 2
        also prints a row per lambda: its index, lambda, df, %dev (100 times
        the deviance ratio) and the coordinate-descent passes so far.
    callback : callable, optional
        Called after each lambda with a :class:`varnel.LambdaProgress`
        record (index, ``lambda_``, df, dev_ratio, passes, fold), in the order
        of the lambdas, from the thread that runs the fit.  Returning False
        (any false value but None) stops the path there, as ``maxit`` does:
        the path keeps the solutions so far, this one included, with a
        :class:`PathWarning` (``Path.warning`` is ``("Stopped", index +
        1)``).  An exception raised in the callback ends the fit and
        propagates to the caller.
    drop_first : bool, default False
        Leave out the indicator column of each categorical column's first
        level (for a categorical column left unpenalized beside the
        intercept).  A data frame's column is categorical when its dtype is
        pandas ``category``, ``string`` or ``object`` (holding text), or
        polars ``Categorical``, ``Enum`` or ``String``: it becomes one
        indicator column per level, named ``col[level]``, and X becomes a
        sparse matrix of every column; the indicator columns are
        standardized like any other under ``standardize``.  The path keeps
        the levels (``Path.categories``) to encode new rows at prediction.
    handle_unknown : {"error", "zero"}, default "error"
        What a level of a categorical column not seen at fit time does at
        prediction: a ValueError naming the column and the level, or
        ("zero") no indicator at all.
    missing : {"error", "level"}, default "error"
        A missing value (None, NaN, NA, a polars null) in a categorical
        column: a ValueError naming the column and the first such row, or
        ("level") a level of its own, ``col[NA]``.
    relax : bool, default False
        Also refit, at every lambda, the model on that lambda's active set
        (the variables with a non-zero coefficient) without penalty, with
        every other option as given (family, link and parameters, weights,
        offset, limits, intercept, standardize, solver), started from the
        penalized solution.  The refits are kept in
        ``Path.relaxed_coefs`` and ``Path.relaxed_intercepts`` (shaped and
        stored like ``coefs`` and ``intercepts``), and ``Path.coef``,
        ``Path.intercept`` and ``Path.predict`` take ``blend``: ``blend *
        penalized + (1 - blend) * refit``.  A refit with no finite solution
        (separated classes, more active variables than rows of positive
        weight, a monotone partial likelihood...) is recognised when its
        active variables and the intercept outnumber the rows of positive
        weight, or when the unpenalized fit fails, stops at ``maxit``,
        holds a coefficient at the bound or explains more than 0.999 of the
        deviance, or (for the families other than least squares) when the
        same fit started one step further, at the refit plus its distance
        from the penalized solution, stays more than half that step away
        instead of coming back.  It is then approached along 20 penalties
        on the active set, from the lambda down to 1e-4 times it, and the
        first fit whose deviance ratio passes 0.999 or gains less than 1e-5
        is kept (else the last); ``Path.relaxed_capped`` marks those
        lambdas.
    feature_groups : sequence, dict, "categorical", "auto" or None, default "auto"
        Penalize groups of columns together (for the multinomial and
        multitask families a group holds its columns' K coefficients each):
        one label per column (integers or strings; None or -1
        puts a column in a group by itself), a dict of group name ->
        column names or indices (columns not listed are groups by
        themselves), or ``"categorical"`` (each source column of a data
        frame is one group; without categorical expansion every column is
        its own group).  ``"auto"``: ``"categorical"`` when X has
        categorical columns, so that a categorical enters or leaves the
        model as a whole, else no groups.  None: no groups (each indicator
        column of a categorical penalized on its own).  The penalty becomes ``lambda * sum_g v_g [alpha
        (tau ||b_g||_1 + (1 - tau) s_g ||b_g||_2) + (1 - alpha)/2
        ||b_g||_2^2]`` on the (standardized) coefficients, ``s_g =
        sqrt(p_g)``, so a group enters or leaves the model as a whole
        (``tau = 0``).  Takes no limits, and ``group_penalty_factor``
        instead of ``penalty_factor``.  ``Path.groups_active`` and
        ``Path.plot(kind="groups")`` show the groups along the path.
    l1_within : float in [0, 1], default 0.0
        ``tau`` above: 0 the group elastic net, between 0 and 1 the
        sparse-group lasso (columns are also selected within a group), 1
        the plain elastic net.
    group_penalty_factor : array-like of shape (G,) or dict, optional
        ``v_g``: one non-negative factor per group in the order of
        ``Path.group_names`` (groups in order of first appearance), or a
        dict of group name -> factor (others keep 1).  Scaled as
        ``penalty_factor`` is, per column, to sum to p.
    group_size_weight : bool, default True
        Whether a group's norm is weighted by ``s_g = sqrt(p_g)`` (False:
        ``s_g = 1``).

    Returns
    -------
    Path

    Raises
    ------
    ValueError
        Besides invalid arguments: when the deviances of the fit mean
        nothing, so that no deviance ratio in [0, 1] could be reported.  The
        message says which (the null deviance is not finite, or cancels to
        rounding noise; the deviance at a lambda index is not finite; a
        deviance ratio lies outside [0, 1]) and what to change: a huge
        ``theta`` of the negative binomial family (fit the Poisson family),
        a huge offset, or a huge y (scale it down).

    Warns
    -----
    PathWarning
        When ``maxit``, ``pmax`` or the callback stopped the path; the
        message names the lambda index.  The warning is also kept in ``Path.warning``.
    PathConvergenceWarning
        With ``certify=True``, when a solution violates the optimality
        conditions by more than 1e-3 of its lambda's scale: the message
        names the worst lambda (index and value) and says to refit with a
        smaller ``thresh``.  (A :class:`PathWarning`; PathWarning itself
        when scikit-learn is not installed.)
    CoefficientBoundWarning
        When a coefficient reached the bound of 9.9e35 that stands for an
        infinite limit (a column of tiny values); the message names the
        variable and the lambda, and asks for the column to be rescaled.

    Examples
    --------
    >>> import numpy as np, varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((50, 5)); y = X[:, 0] + 0.1 * rng.standard_normal(50)
    >>> path = varnel.fit_path(X, y)
    >>> path.coef(0.1).shape
    (5,)
    >>> relaxed = varnel.fit_path(X, y, relax=True)
    >>> relaxed.coef(0.1, blend=0.5).shape
    (5,)
    """
    relax = _relax.check_relax(relax)
    options = dict(alpha=alpha, nlambda=nlambda, lambda_min_ratio=lambda_min_ratio,
                   user_lambda=user_lambda, standardize=standardize, intercept=intercept,
                   thresh=thresh, maxit=maxit, dfmax=dfmax, pmax=pmax,
                   penalty_factor=penalty_factor, lower_limits=lower_limits,
                   upper_limits=upper_limits, weights=weights, exclude=exclude, solver=solver,
                   grouped=grouped, strata=strata, ties=ties,
                   standardize_response=standardize_response, coef_storage=coef_storage,
                   drop_first=drop_first, handle_unknown=handle_unknown, missing=missing,
                   feature_groups=feature_groups, l1_within=l1_within,
                   group_penalty_factor=group_penalty_factor,
                   group_size_weight=group_size_weight)
    verbose = _progress.as_verbose(verbose, "fit_path")
    callback = _progress.as_callback(callback, "fit_path")
    source = _sources.prepared(X, y, family, options, offset)
    certify = _convert.as_bool(certify, "certify")
    problem = getattr(source, "problem", None)  # the rows in memory, as prepared
    if certify and problem is None:
        raise ValueError("certify=True is not available for fit_path on a Dask collection: the "
                         "optimality check reads the rows in memory; fit without certify and call "
                         "path.optimality(X.compute(), y.compute(), ...) with the same options")
    so = source.solver_options
    with _progress.Progress(verbose, callback, total=_progress.path_length(so)) as progress:
        solution = source.fit(_progress.hooked(so, progress.hook()))
    path = finished_path(solution, source, so, stacklevel=3)
    if relax:
        path.set_relaxed(_relax.path_refit(source, solution, so))
    path.npasses_data = source.npasses_data
    if certify:
        certified(path, problem, stacklevel=3)
    return path


def certified(path: Path, problem: "_fit.Problem", stacklevel: int = 3) -> Path:
    """The path with its optimality checked on ``problem`` (kept in
    ``path.optimality_``), warning where a solution is not optimal within
    the tolerance (``stacklevel`` counted from here)."""
    opt = _optimality.certificate(problem, path.coefs, path.intercepts, path.lambdas, path.alpha)
    path.optimality_ = opt
    text = _optimality.warning_text(opt, problem.solver_options["thresh"])
    if text is not None:
        try:
            category = _fit.PathConvergenceWarning
        except ImportError:  # without scikit-learn
            category = _fit.PathWarning
        warnings.warn(text, category, stacklevel=stacklevel)
    return path


def finished_path(solution: "_fit.Solution", meta: Any, so: Dict[str, Any], stacklevel: int = 3,
                  category: type = _fit.PathWarning) -> Path:
    """The Path of a solution fitted with solver options ``so`` (``meta``:
    the family, classes and feature names); a path cut short warns with
    ``category``, ``stacklevel`` counted from here."""
    path = Path.from_solution(solution, meta, so["alpha"])
    warn_bound(solution, path, stacklevel + 1)
    if path.warning is not None:
        warnings.warn(_fit.warning_message(path.warning, so, path.n_lambdas),
                      category, stacklevel=stacklevel)
    return path


def warn_bound(solution: "_fit.Solution", path: Path, stacklevel: int) -> None:
    """A CoefficientBoundWarning when a coefficient of the solution reached
    the bound (``stacklevel`` counted from here)."""
    if solution.bound is not None:
        warnings.warn(_fit.bound_message(solution.bound, path.lambdas, path.feature_names),
                      _fit.CoefficientBoundWarning, stacklevel=stacklevel)
