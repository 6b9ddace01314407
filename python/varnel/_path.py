"""A fitted regularization path, :class:`Path` (made by :func:`varnel.fit_path`),
and working with it."""

from __future__ import annotations

import copy
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Union

import numpy as np

from . import _coefs, _convert, _fit, _groups, _relax, _sources, _survival
from ._columns import as_matrix
from ._docstrings import filled
from .families import Family, get_family

if TYPE_CHECKING:
    from ._optimality import Optimality

__all__ = ["Path"]

ArrayLike = Any
LambdaSpec = Union[None, float, Sequence[float], np.ndarray]


def _interp_positions(lambdas: np.ndarray, s: np.ndarray):
    """For each ``s``, the neighbouring fitted columns ``lo``/``hi`` and the
    weight ``frac`` of ``hi``, linear in lambda and clamped at both ends."""
    L = lambdas.shape[0]
    if L == 1:
        zeros = np.zeros(s.shape, dtype=np.intp)
        return zeros, zeros, np.zeros(s.shape)
    # lambdas decrease; np.interp wants increasing abscissae.
    asc = lambdas[::-1]
    pos = np.interp(s, asc, np.arange(L - 1, -1, -1, dtype=np.float64))
    lo = np.clip(np.floor(pos).astype(np.intp), 0, L - 1)
    hi = np.minimum(lo + 1, L - 1)
    frac = pos - lo
    # Exactly on a fitted lambda: take that solution as it is.
    e = np.minimum(np.searchsorted(asc, s), L - 1)
    hit = asc[e] == s
    lo[hit] = hi[hit] = L - 1 - e[hit]
    frac[hit] = 0.0
    return lo, hi, frac


# a cox path of the survival methods' examples
_COX_PATH = """
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 4))
    >>> t = rng.exponential(np.exp(-X[:, 0]))
    >>> path = varnel.fit_path(X, np.column_stack([t, np.ones(100)]), "cox")
    """


@filled(demo_path="""
    Examples
    --------
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> path = varnel.fit_path(data.X, data.y)
    """)
class Path:
    """A fitted elastic-net regularization path.

    Produced by :func:`fit_path`; one column per lambda, lambdas decreasing.

    Attributes
    ----------
    lambdas : ndarray of shape (L,)
        The penalty values, largest first, on the caller's scale.
    intercepts : ndarray of shape (L,), or (K, L) for the multinomial and multitask families
        Intercept at each lambda (per class: they sum to 0; 0 for the cox
        family).
    coefs : ndarray of shape (p, L), or (p, K, L) for the multinomial and multitask families; or sparse
        Coefficients at each lambda, on the scale of the original features.
        A path fitted with sparse storage (``coef_storage`` of
        :func:`fit_path`) keeps them as a ``scipy.sparse.csc_matrix`` of
        shape (p, L), or for the multinomial and multitask families as a
        list of K such matrices (``coefs[k]`` holds what ``[:, k, :]`` of
        the dense array would); :meth:`dense_coefs` makes the dense array.
    dev_ratio : ndarray of shape (L,)
        Fraction of the null deviance explained at each lambda.
    df : ndarray of shape (L,)
        Number of variables with a non-zero coefficient (for any class) at
        each lambda.
    nulldev : float
        Deviance of the intercept-only model.
    npasses : int
        Total number of coordinate-descent passes over the data.
    warning : tuple (str, int) or None
        When the path stopped early, ``(kind, lambda_index)``: kind is
        ``"MaxIterReached"`` (``maxit`` passes) or ``"MaxActiveReached"``
        (``pmax`` variables), at the 0-based lambda index that could not be
        completed.
    family : str
        The family's canonical name (its link and parameter are in
        ``family_instance``): ``"gaussian"``, ``"logistic"``,
        ``"poisson"``, ``"multinomial"``, ``"gamma"``,
        ``"inverse_gaussian"``, ``"tweedie"``, ``"negative_binomial"``,
        ``"cox"``, ``"multitask"`` or ``"huber"``.
    family_instance : varnel.families.Family
        The family itself (its links, losses and measures).
    feature_names : list or None
        Column labels, as they were, when the data were a data frame; a
        categorical column stands for one indicator column per level, named
        ``col[level]``.
    categories : dict
        The levels of each categorical column of the data frame fitted, by
        column label (empty when there was none); ``predict`` encodes new
        rows with them.
    source_of_column : ndarray of int or None
        For each column of the fitted design, the position of the data
        frame's column it came from (None when there was no categorical
        column: each column is its own).
    classes : ndarray or None
        The two labels of a logistic response (``classes[1]`` is modelled as
        the "success", coded 1), the K labels of a multinomial one, or the
        names of a multitask path's K responses.
    alpha : float
        The elastic-net mixing parameter used.
    relaxed_coefs, relaxed_intercepts : ndarray, sparse or None
        For a path fitted with ``relax=True``: at each lambda, the fit
        without penalty on that lambda's active set, shaped and stored as
        ``coefs`` and ``intercepts`` (None otherwise; see :func:`fit_path`).
    relaxed_capped : ndarray of bool of shape (L,) or None
        Which of those refits had no finite solution and were stopped on a
        short path of decreasing penalty instead.

    Examples
    --------
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> path = varnel.fit_path(data.X, data.y, alpha=0.9)
    >>> path.coefs.shape == (12, path.n_lambdas)
    True
    >>> path.n_features
    12
    """

    def __init__(self, lambdas, intercepts, coefs, dev_ratio, nulldev, npasses, warning=None,
                 family: Union[str, Family] = "gaussian", feature_names=None, classes=None,
                 alpha=1.0):
        self.lambdas = np.asarray(lambdas, dtype=np.float64)
        self.intercepts = np.asarray(intercepts, dtype=np.float64)
        self.coefs = coefs if _coefs.is_sparse(coefs) else np.asarray(coefs, dtype=np.float64)
        self.dev_ratio = np.asarray(dev_ratio, dtype=np.float64)
        # variables with a non-zero coefficient (for any class)
        self.df = _coefs.nonzero_counts(self.coefs)
        self.nulldev = float(nulldev)
        self.npasses = int(npasses)
        self.warning = None if warning is None else (str(warning[0]), int(warning[1]))
        self.family_instance = get_family(family)
        self.family = self.family_instance.name
        self.feature_names = None if feature_names is None else list(feature_names)
        self.classes = classes
        self.alpha = float(alpha)
        #: passes over the data of a path fitted on a Dask collection (None in memory)
        self.npasses_data: Optional[int] = None
        #: the optimality of each solution, when fit_path was asked to certify it
        self.optimality_: Optional["Optimality"] = None
        #: the level table of a data frame with categorical columns (see _categorical)
        self.encoding: Any = None

    #: a cox path's training rows, for the Breslow estimate of its baseline
    #: hazard (None for the other families)
    baseline: Optional[_survival.Baseline] = None
    #: the relaxed fits of a path fitted with relax=True (see fit_path)
    relaxed_coefs: Any = None
    relaxed_intercepts: Optional[np.ndarray] = None
    relaxed_capped: Optional[np.ndarray] = None

    def set_relaxed(self, relaxed: "_relax.Relaxed") -> None:
        """Keep the relaxed fits of this path (see :func:`fit_path`).

        Parameters
        ----------
        relaxed : varnel._relax.Relaxed
            The refits: intercepts, coefficients and the capped flags, one
            per lambda of this path.

        Raises
        ------
        ValueError
            When the refits do not have the shapes of the path's fits.

        Examples
        --------
        >>> import numpy as np, varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.standard_normal((40, 3)); y = X[:, 0] + rng.standard_normal(40)
        >>> path = varnel.fit_path(X, y, relax=True)
        >>> path.relaxed_capped.shape == path.lambdas.shape
        True
        """
        if (_coefs.dense_shape(relaxed.coefs) != _coefs.dense_shape(self.coefs)
                or np.shape(relaxed.intercepts) != self.intercepts.shape):
            raise ValueError("the relaxed fits must have the shapes of the path's fits")
        self.relaxed_coefs = relaxed.coefs
        self.relaxed_intercepts = np.asarray(relaxed.intercepts, dtype=np.float64)
        self.relaxed_capped = np.asarray(relaxed.capped, dtype=bool)

    @property
    def relaxed(self) -> bool:
        """Whether the path holds relaxed fits (fitted with ``relax=True``)."""
        return self.relaxed_coefs is not None

    def _blend(self, blend: Optional[float]):
        """The coefficients and intercepts of ``blend`` (None: the penalized
        ones, as they are)."""
        if blend is None:
            return self.coefs, self.intercepts
        b = _relax.check_blend(blend)
        if not self.relaxed:
            raise ValueError(f"blend={blend!r} needs the relaxed fits of a path fitted with "
                             f"relax=True; fit the path with relax=True (or leave blend out)")
        return (_relax.blended(self.coefs, self.relaxed_coefs, b),
                _relax.blended(self.intercepts, self.relaxed_intercepts, b))

    def blended(self, blend: Optional[float]) -> "Path":
        """This path with its coefficients and intercepts replaced by those
        of ``blend`` (itself for None).

        Parameters
        ----------
        blend : float in [0, 1] or None
            ``blend * penalized + (1 - blend) * relaxed``.

        Returns
        -------
        Path
            A shallow copy without relaxed fits (or this path for None).

        Raises
        ------
        ValueError
            For a blend outside [0, 1], or any blend on a path fitted
            without ``relax=True``.

        Examples
        --------
        >>> import numpy as np, varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.standard_normal((40, 3)); y = X[:, 0] + rng.standard_normal(40)
        >>> path = varnel.fit_path(X, y, relax=True)
        >>> bool(np.array_equal(path.blended(0.0).coefs, path.relaxed_coefs))
        True
        """
        if blend is None:
            return self
        coefs, intercepts = self._blend(blend)
        out = copy.copy(self)
        out.coefs, out.intercepts = coefs, intercepts
        out.relaxed_coefs = out.relaxed_intercepts = out.relaxed_capped = None
        return out

    #: the group (0, 1, ..., G - 1) of every column of a path fitted with
    #: ``feature_groups`` (None otherwise), and the groups' names
    feature_groups: Optional[np.ndarray] = None
    group_names: Optional[List[Any]] = None
    #: the group options of the fit, for reading its rows again
    group_options: Optional[Dict[str, Any]] = None

    def group_norms(self) -> np.ndarray:
        """The Euclidean norm of every group's coefficients at every lambda.

        Returns
        -------
        ndarray of shape (G, L)
            Row g is group g's (``group_names[g]``); for a path fitted
            without ``feature_groups`` every column is a group by itself.

        Examples
        --------
        >>> import numpy as np, varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.standard_normal((60, 6)); y = X[:, 0] + X[:, 1] + rng.standard_normal(60)
        >>> path = varnel.fit_path(X, y, feature_groups=[0, 0, 1, 1, 2, 2])
        >>> path.group_norms().shape == (3, path.n_lambdas)
        True
        """
        coefs = _coefs.to_dense(self.coefs)
        sq = (coefs * coefs).reshape(coefs.shape[0], -1, coefs.shape[-1]).sum(axis=1)
        labels = self.feature_groups if self.feature_groups is not None \
            else np.arange(coefs.shape[0])
        out = np.zeros((int(labels.max()) + 1 if labels.size else 0, coefs.shape[-1]))
        np.add.at(out, labels, sq)
        return np.sqrt(out)

    @property
    def groups_active(self) -> np.ndarray:
        """Which groups have a non-zero coefficient at each lambda.

        Returns
        -------
        ndarray of bool, shape (G, L)
            ``groups_active[g, l]``: group g (``group_names[g]``) is in the
            model at lambda l.  Without ``feature_groups`` the groups are the
            single columns.

        Examples
        --------
        >>> import numpy as np, varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.standard_normal((60, 6)); y = X[:, 0] + X[:, 1] + rng.standard_normal(60)
        >>> path = varnel.fit_path(X, y, feature_groups=["a", "a", "b", "b", "c", "c"])
        >>> bool(path.groups_active[0, -1]), path.group_names
        (True, ['a', 'b', 'c'])
        """
        return self.group_norms() > 0.0

    @classmethod
    def from_solution(cls, solution: "_fit.Solution", problem: "_fit.Problem",
                      alpha: float) -> "Path":
        """The path of a decoded solver result on a prepared problem (a cox
        path keeps a reference to its training rows)."""
        path = cls(solution.lambdas, solution.intercepts, solution.coefs, solution.dev_ratio,
                   solution.nulldev, solution.npasses, solution.warning, problem.family,
                   problem.feature_names, problem.classes, alpha)
        path.encoding = getattr(problem, "encoding", None)
        so = getattr(problem, "solver_options", None) or {}
        path.group_options = _groups.path_options(so)
        if so.get("feature_groups") is not None:
            path.feature_groups = np.asarray(so["feature_groups"], dtype=np.int64)
            path.group_names = list(so["group_names"])
        if problem.family.keeps_rows:
            path.baseline = _survival.Baseline(as_matrix(problem.X), problem.y, problem.weights, problem.offset,
                                               problem.strata)
        return path

    # ---- sizes ------------------------------------------------------------------
    @property
    def n_features(self) -> int:
        """Number of features p."""
        return int(_coefs.dense_shape(self.coefs)[0])

    @property
    def categories(self) -> Dict[Any, np.ndarray]:
        """The levels of each categorical column, by column label (empty when
        the data had none); a level None stands for missing values
        (``missing="level"``)."""
        return {} if self.encoding is None else self.encoding.categories

    @property
    def source_of_column(self) -> Optional[np.ndarray]:
        """For each column of the design, the position of the data frame's
        column it came from, or None when there was no categorical column."""
        return None if self.encoding is None else self.encoding.source_of_column.copy()

    @property
    def n_classes(self) -> int:
        """K, the number of classes of a multinomial path (1 otherwise)."""
        shape = _coefs.dense_shape(self.coefs)
        return int(shape[1]) if len(shape) == 3 else 1

    @property
    def sparse_coefs(self) -> bool:
        """Whether the coefficients are kept sparse (see ``coefs``)."""
        return _coefs.is_sparse(self.coefs)

    def dense_coefs(self) -> np.ndarray:
        """The coefficients as a new dense array, (p, L) or (p, K, L), in
        either storage (the same values, bit for bit).

        Returns
        -------
        ndarray of shape (p, L) or (p, K, L)
            A new array.

        {demo_path}
        >>> path.dense_coefs().shape == path.coefs.shape
        True
        """
        return _coefs.to_dense(self.coefs)

    @property
    def n_lambdas(self) -> int:
        """Number of fitted lambdas L."""
        return int(self.lambdas.shape[0])

    def __len__(self) -> int:
        return self.n_lambdas

    # ---- coefficients -----------------------------------------------------------
    def _resolve(self, s: LambdaSpec):
        if self.n_lambdas == 0:
            raise ValueError("this path holds no solution")
        if s is None:
            return None, False
        arr = np.asarray(s, dtype=np.float64)
        if arr.ndim > 1:
            raise ValueError(f"s must be a scalar or a 1-D sequence of lambda values, got shape {arr.shape}")
        if np.isnan(arr).any():
            raise ValueError("s contains NaN")
        return _interp_positions(self.lambdas, np.atleast_1d(arr)), arr.ndim == 0

    def coef(self, s: LambdaSpec = None, blend: Optional[float] = None) -> np.ndarray:
        """Coefficients at the lambda value(s) ``s``.

        Parameters
        ----------
        s : float or sequence of float, optional
            Lambda values.  Between two fitted lambdas the coefficients are
            interpolated linearly in lambda; outside the fitted range the
            nearest end of the path is used.  ``None`` (default) returns every
            fitted column.
        blend : float in [0, 1], optional
            For a path fitted with ``relax=True``: ``blend * penalized + (1 -
            blend) * relaxed`` (1, like None, the penalized fit, 0 the
            refit).  A ValueError on a path fitted without relax.

        Returns
        -------
        ndarray or sparse
            Shape (p,) for a scalar ``s``, (p, len(s)) for a sequence and
            (p, L) for ``None`` (a class axis after the variables for the
            multinomial and multitask families).  A path with sparse
            coefficients gives a scalar ``s``'s as a dense array and the
            others in its sparse form (see ``coefs``), with the values the
            dense form would have.

        Raises
        ------
        ValueError
            When the path holds no solution.

        {demo_path}
        >>> path.coef(0.05).shape, path.coef([0.2, 0.05]).shape
        ((12,), (12, 2))
        """
        coefs = self._blend(blend)[0]
        pos, scalar = self._resolve(s)
        if pos is None:
            return _coefs.copy(coefs)
        lo, hi, frac = pos
        out = _coefs.interpolate(coefs, lo, hi, frac)
        return _coefs.column(out, 0) if scalar else out

    def intercept(self, s: LambdaSpec = None,
                  blend: Optional[float] = None) -> Union[float, np.ndarray]:
        """Intercept(s) at the lambda value(s) ``s``, interpolated as in :meth:`coef`.

        Parameters
        ----------
        s : float or sequence of float, optional
            Lambda values; ``None`` (default) gives every fitted lambda's.
        blend : float in [0, 1], optional
            The blend of the penalized and the relaxed fit, as in :meth:`coef`.

        Returns
        -------
        float or ndarray
            A float for a scalar ``s`` (K values for the block families),
            else one per lambda.

        {demo_path}
        >>> isinstance(path.intercept(0.05), float)
        True
        """
        intercepts = self._blend(blend)[1]
        pos, scalar = self._resolve(s)
        if pos is None:
            return intercepts.copy()
        lo, hi, frac = pos
        out = intercepts[..., lo] * (1.0 - frac) + intercepts[..., hi] * frac
        if scalar:
            return float(out[0]) if out.ndim == 1 else out[..., 0]
        return out

    # ---- prediction -------------------------------------------------------------
    def _design(self, X: ArrayLike):
        _convert.refuse_lazy(X, "X")
        if self.encoding is not None:
            return self.encoding.transform(X)
        if self.feature_names is not None and _convert.is_dataframe(X):
            # Columns are matched by their labels exactly as given: 0 and "0"
            # are different columns.
            given = _convert.feature_names_of(X)
            have = set(given)
            missing = [c for c in self.feature_names if c not in have]
            if missing:
                raise ValueError(f"X lacks the fitted feature(s) {missing[:5]}")
            if given != self.feature_names:
                X = X[self.feature_names]
        Xc, _ = _convert.as_design(X, n_features=self.n_features)
        if Xc.shape[1] != self.n_features:
            raise ValueError(f"X has {Xc.shape[1]} features, the path was fitted with {self.n_features}: "
                             f"X must have shape (n, {self.n_features})")
        return Xc

    def predict(self, X: ArrayLike, s: LambdaSpec = None, kind: str = "link",
                offset: Optional[ArrayLike] = None, blend: Optional[float] = None) -> np.ndarray:
        """Predictions for new data.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n, p)
            New observations (a data frame is matched by column name when the
            path was fitted on one).  A path fitted on a data frame with
            categorical columns takes a data frame with the same columns in
            the same order, whose categorical columns are encoded with the
            fitted levels (see ``categories``).
        s : float or sequence of float, optional
            Lambda value(s), interpolated as in :meth:`coef`; ``None`` means
            every fitted lambda.
        kind : {"link", "response", "class"}
            ``"link"``: the linear predictor ``offset + a0 + X b``;
            ``"response"``: the mean (identity, logistic sigmoid or exp; the
            class probabilities, softmax over the classes, for the
            multinomial family); ``"class"`` (logistic and multinomial): the
            label of the most probable class.  ``family_instance.kinds``
            lists what a family offers.
        offset : array-like of shape (n,) or (n, K), optional
            The new observations' offsets (for a path fitted with one: the
            log exposure of a rate, say); none means 0.
        blend : float in [0, 1], optional
            Predict with the blend of the penalized and the relaxed fit, as
            in :meth:`coef` (paths fitted with ``relax=True``).

        Returns
        -------
        ndarray
            Shape (n,) for a scalar ``s``, else (n, number of lambdas); the
            multinomial family's links and probabilities have a class axis
            after the rows: (n, K) or (n, K, number of lambdas).

        Raises
        ------
        ValueError
            For a ``kind`` the family does not offer, or new rows or offsets
            of the wrong shape; for a path with categorical columns, also a
            level not seen at fit time (unless fitted with
            ``handle_unknown="zero"``), a missing value in a categorical
            column (unless fitted with ``missing="level"``), or other columns.

        {demo_path}
        >>> path.predict(data.X[:5], s=[0.2, 0.05]).shape
        (5, 2)
        """
        self.family_instance.check_kind(kind)
        return _sources.rows_of(X, offset).predict(self.blended(blend), X, s, kind, offset)

    # ---- optimality ---------------------------------------------------------------
    def optimality(self, X: ArrayLike, y: ArrayLike, *, weights: Optional[ArrayLike] = None,
                   offset: Optional[ArrayLike] = None, penalty_factor: Optional[ArrayLike] = None,
                   lower_limits: Optional[ArrayLike] = None,
                   upper_limits: Optional[ArrayLike] = None,
                   exclude: Optional[Sequence[Any]] = None, standardize: bool = True,
                   intercept: bool = True, grouped: bool = False,
                   strata: Optional[ArrayLike] = None) -> "Optimality":
        """How far each solution is from optimal, on the data it was fitted to.

        Give the rows and the options that define the problem exactly as
        :func:`fit_path` was given them (the family, its link and
        parameter, and ``alpha`` are the path's own).  Per lambda, the
        result holds the largest violation of the optimality (KKT)
        conditions of the objective the family states (its loss per unit
        of weight plus lambda times the penalty), with the coefficients on
        the scale the penalty applies to (the standardized columns' when
        ``standardize=True``), and the duality gap for least squares and
        the logistic family; see :class:`varnel.Optimality`.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n, p)
            The rows the path was fitted to.
        y : array-like
            Their response, as given to fit_path.
        weights, offset, penalty_factor, lower_limits, upper_limits, exclude, standardize, intercept, grouped, strata
            As given to :func:`fit_path`.

        Returns
        -------
        varnel.Optimality
            ``violation``, ``relative`` and ``duality_gap`` per lambda.

        Raises
        ------
        ValueError
            For a Dask collection (compute it into memory first), or rows
            that do not fit the path (another number of features).

        Examples
        --------
        >>> import numpy as np, varnel
        >>> rng = np.random.default_rng(0)
        >>> X = rng.normal(size=(60, 4)); y = X[:, 0] + rng.normal(size=60)
        >>> path = varnel.fit_path(X, y, thresh=1e-14)
        >>> opt = path.optimality(X, y)
        >>> opt.violation.shape == path.lambdas.shape, bool(opt.relative.max() < 1e-3)
        (True, True)
        """
        from ._optimality import of_path

        options = dict(weights=weights, penalty_factor=penalty_factor, lower_limits=lower_limits,
                       upper_limits=upper_limits, exclude=exclude, standardize=standardize,
                       intercept=intercept, grouped=grouped, strata=strata)
        return of_path(self, X, y, options, offset)

    # ---- survival ---------------------------------------------------------------
    @filled(cox_path=_COX_PATH)
    def cumulative_hazard(self, X: ArrayLike, times: ArrayLike, s: LambdaSpec = None,
                          strata: Optional[ArrayLike] = None,
                          offset: Optional[ArrayLike] = None,
                          blend: Optional[float] = None, *,
                          intervals: Optional[ArrayLike] = None,
                          subjects: Optional[ArrayLike] = None) -> np.ndarray:
        """Cumulative hazards of new rows at ``times`` (cox paths only).

        ``H(t | x) = H0(t) exp(eta(x))``, where the baseline H0 of the row's
        stratum is Breslow's estimate from the training rows at the same
        lambda: the sum, over the stratum's event times up to t, of the
        events' weight divided by the weighted sum of ``exp(eta)`` over the
        rows still at risk.  ``strata`` (the new rows' labels) is needed when
        the path was fitted with strata; ``offset`` is the new rows' offset.

        Covariates that change over time are given as covariate paths: each
        row of X holds a subject's covariates over its interval (start,
        stop] of ``intervals``, and ``subjects`` labels the rows of each
        subject.  A subject's cumulative hazard adds, for each of its rows,
        ``exp(eta(row))`` times the baseline's increase over the part of the
        row's interval before t; past the subject's last stop its covariates
        are unknown and the result is NaN.

        Parameters
        ----------
        X : array-like of shape (n, p)
            The new rows.
        times : array-like of shape (T,)
            The times at which to evaluate.
        s : float or sequence of float, optional
            Lambda value(s), interpolated as in :meth:`coef`.
        strata : array-like of shape (n,), optional
            The new rows' strata, for a path fitted with strata.
        offset : array-like of shape (n,), optional
            The new rows' offsets.
        intervals : array-like of shape (n, 2), optional
            The (start, stop] of every row: the rows are covariate paths.
        subjects : array-like of shape (n,), optional
            With ``intervals``, a subject label per row (any hashable
            values); None: every row is a subject of its own.
        blend : float in [0, 1], optional
            The blend of the penalized and the relaxed fit, as in
            :meth:`coef`, in the new rows' and the baseline's risk scores.

        Returns
        -------
        ndarray
            Shape (n, T) for a scalar ``s``, else (n, T, number of lambdas);
            with ``subjects``, one row per distinct subject (in sorted order
            of the labels) instead of n.

        Raises
        ------
        ValueError
            For a path of another family than cox; for intervals whose
            start is negative or not before their stop (naming the row).

        Examples
        --------
        {cox_path}
        >>> path.cumulative_hazard(X[:2], [0.5, 1.0], s=0.01).shape
        (2, 2)

        One subject whose first covariate changes at time 0.5:

        >>> rows = np.array([[0.0, 0.0, 0.0, 0.0], [1.0, 0.0, 0.0, 0.0]])
        >>> H = path.cumulative_hazard(rows, [0.25, 1.0, 2.0], s=0.01,
        ...                            intervals=[[0.0, 0.5], [0.5, 1.5]], subjects=[7, 7])
        >>> H.shape, bool(np.isnan(H[0, 2]))
        ((1, 3), True)
        """
        if self.baseline is None:
            raise ValueError(f"the {self.family} family has no baseline hazard; only cox paths do")
        base = self.baseline
        t = np.atleast_1d(_convert.float_array(times, "times"))
        if t.ndim != 1:
            raise ValueError(f"times must be a number or a 1-D sequence, got shape {t.shape}")
        _convert.check_finite(t, "times")
        eta_new = np.atleast_1d(self.predict(X, s, offset=offset, blend=blend))
        eta_train = np.atleast_1d(_fit.linear_predictor(base.X, self.coef(s, blend=blend),
                                                        self.intercept(s, blend=blend)))
        if base.offset is not None:
            eta_train = eta_train + (base.offset if eta_train.ndim == 1 else base.offset[:, None])
        codes = base.stratum_codes(strata, eta_new.shape[0])
        spans = None if intervals is None else _survival.checked_intervals(intervals, eta_new.shape[0])
        if subjects is not None and spans is None:
            raise ValueError("subjects label the rows of covariate paths: give their intervals too")
        if eta_new.ndim == 1:
            out = base.cumulative_hazard(eta_train, t, codes, eta_new, spans)
        else:
            out = np.stack([base.cumulative_hazard(eta_train[:, m], t, codes, eta_new[:, m], spans)
                            for m in range(eta_new.shape[1])], axis=-1)
        if spans is None:
            return out
        who = (np.arange(eta_new.shape[0]) if subjects is None
               else _survival.subject_codes(subjects, eta_new.shape[0])[0])
        return _survival.by_subject(out, spans, who, t)

    @filled(cox_path=_COX_PATH)
    def survival_function(self, X: ArrayLike, times: ArrayLike, s: LambdaSpec = None,
                          strata: Optional[ArrayLike] = None,
                          offset: Optional[ArrayLike] = None,
                          blend: Optional[float] = None, *,
                          intervals: Optional[ArrayLike] = None,
                          subjects: Optional[ArrayLike] = None) -> np.ndarray:
        """Survival probabilities ``exp(-H(t | x))`` of new rows at ``times``
        (cox paths only), with the arguments and shapes of
        :meth:`cumulative_hazard`.

        Parameters
        ----------
        X, times, s, strata, offset, blend, intervals, subjects
            As for :meth:`cumulative_hazard` (covariate paths: a subject's
            rows with their (start, stop] intervals).

        Returns
        -------
        ndarray
            Shape (n, T) for a scalar ``s``, else (n, T, number of lambdas),
            values in [0, 1].

        Examples
        --------
        {cox_path}
        >>> S = path.survival_function(X[:2], [0.5, 1.0], s=0.01)
        >>> bool(np.all((S > 0) & (S <= 1)))
        True
        """
        return np.exp(-self.cumulative_hazard(X, times, s, strata, offset, blend,
                                              intervals=intervals, subjects=subjects))

    # ---- display ----------------------------------------------------------------
    def summary(self) -> str:
        """A table with one row per lambda: index, Df, %Dev and Lambda.

        Returns
        -------
        str
            The table that ``print(path)`` shows.

        {demo_path}
        >>> len(path.summary().splitlines()) > path.n_lambdas
        True
        """
        rows = [f"{'':>4} {'Df':>5} {'%Dev':>7} {'Lambda':>11}"]
        for i in range(self.n_lambdas):
            rows.append(f"{i:>4} {int(self.df[i]):>5} {100 * self.dev_ratio[i]:>7.2f} {self.lambdas[i]:>11.5g}")
        return "\n".join(rows)

    def _header(self) -> str:
        head = (f"varnel.Path(family={self.family!r}, alpha={self.alpha:g}, "
                f"n_features={self.n_features}, n_lambdas={self.n_lambdas})")
        if self.warning is not None:
            head += f"\n  stopped early at lambda index {self.warning[1]}: {self.warning[0]}"
        return head

    def __repr__(self) -> str:
        return self._header() + "\n" + self.summary()

    def to_dict(self) -> Dict[str, Any]:
        """A JSON-serialisable description of the path.

        Returns
        -------
        dict
            The family, the lambdas, intercepts, coefficients (dense lists,
            or the CSC arrays of sparse ones), ``dev_ratio``, ``df`` and the
            rest of the path's attributes (and the relaxed fits of a
            path fitted with relax=True).

        {demo_path}
        >>> import json
        >>> doc = json.loads(json.dumps(path.to_dict()))
        >>> len(doc["lambdas"]) == path.n_lambdas
        True
        """
        relaxed = {} if not self.relaxed else {
            "relaxed_intercepts": self.relaxed_intercepts.tolist(),
            "relaxed_coefs": _coefs.to_json(self.relaxed_coefs),
            "relaxed_capped": self.relaxed_capped.tolist()}
        return {
            "family": self.family,
            **self.family_instance.parameters(),
            "alpha": self.alpha,
            "feature_names": None if self.feature_names is None else [_json_label(c) for c in self.feature_names],
            "classes": None if self.classes is None else [c.item() if hasattr(c, "item") else c
                                                          for c in self.classes],
            "lambdas": self.lambdas.tolist(),
            "intercepts": self.intercepts.tolist(),
            "coefs": _coefs.to_json(self.coefs),
            "dev_ratio": self.dev_ratio.tolist(),
            "df": self.df.tolist(),
            "nulldev": self.nulldev,
            "npasses": self.npasses,
            "warning": None if self.warning is None else list(self.warning),
            "categories": {str(_json_label(c)): [_json_label(v) for v in levels]
                           for c, levels in self.categories.items()},
            **relaxed,
            **({} if self.feature_groups is None else {
                "feature_groups": self.feature_groups.tolist(),
                "group_names": [_json_label(g) for g in self.group_names]}),
        }

    @filled()
    def plot(self, xvar: str = "lambda", ax: Any = None, label: bool = False, *,
             kind: str = "coefs"):
        """Plot the coefficient paths, or the groups' norms (needs matplotlib).

        Parameters
        ----------
        xvar : {"lambda", "norm", "dev"}
            Horizontal axis: log(lambda), the L1 norm of the coefficients, or
            the fraction of deviance explained.
        ax : matplotlib Axes, optional
            Where to draw; a new figure is made when omitted.
        label : bool
            Write the feature names (or indices) at the end of each curve.
        kind : {{"coefs", "groups"}}
            "coefs": one curve per coefficient; "groups": one curve per
            group, its coefficients' Euclidean norm (``group_norms``),
            labelled by ``group_names``.

        {plot_sections}
        >>> ax = varnel.fit_path(data.X, data.y).plot(xvar="dev", label=True)
        """
        from ._plot import plot_groups, plot_path

        if kind not in ("coefs", "groups"):
            raise ValueError(f"plot kind must be 'coefs' or 'groups', got {kind!r}")
        if kind == "groups":
            return plot_groups(self, xvar=xvar, ax=ax, label=label)

        shown = self
        if self.feature_names is not None and not all(isinstance(c, str) for c in self.feature_names):
            # Legends and curve labels are text; a tuple label (a MultiIndex
            # column) would otherwise be read as one label per curve.
            shown = copy.copy(self)
            shown.feature_names = _names_or_indices(self)
        return plot_path(shown, xvar=xvar, ax=ax, label=label)


def _json_label(label: Any) -> Any:
    if hasattr(label, "item"):
        label = label.item()
    return label if isinstance(label, (str, int, float)) or label is None else str(label)


def _names_or_indices(path: Path) -> List[str]:
    if path.feature_names is not None:
        return [str(c) for c in path.feature_names]
    return [str(j) for j in range(path.n_features)]
