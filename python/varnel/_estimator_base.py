"""What the scikit-learn estimators of varnel share: the base class that
fits, cross-validates and predicts, the validation of their inputs, and the
documentation of their parameters and attributes.

This module imports scikit-learn (``pip install 'varnel[sklearn]'``).
"""

from __future__ import annotations

import numbers
import warnings
from numbers import Integral, Real
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.metrics import r2_score
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import (_check_sample_weight, check_array, check_consistent_length,
                                      check_is_fitted, column_or_1d, validate_data)

from . import _categorical, _fit, _groups, _progress, _relax, _sources
from ._convert import as_offset, column_labels, refuse_lazy
from ._docstrings import filled
from .cv import cross_validate
from .families import get_family
from ._fit_path import warn_bound
from .path import Path


#: made by _fit when first asked for, so that fit_path imports no scikit-learn
PathConvergenceWarning = _fit.PathConvergenceWarning


# ---- documentation ------------------------------------------------------------------
def _entries(text: str) -> Dict[str, str]:
    """The entries of a numpydoc section (indented four spaces), by name: the
    text before " : " of each entry's first line."""
    out: Dict[str, str] = {}
    for line in text.strip("\n").split("\n"):
        if not line.startswith("     "):
            name = line.strip().split(" : ")[0]
            out[name] = line
        else:
            out[name] += "\n" + line
    return out


#: The parameters of every estimator, in their documented order.
PARAMETERS = _entries("""
    alpha : float >= 0 or None, default None
        Penalty strength.  None chooses it by cross-validation along the
        whole path.
    l1_ratio : float in [0, 1] or list of them, default 1.0
        Elastic-net mix: 1 is the lasso, 0 is ridge.  A list is
        cross-validated over (on the same folds), like
        :class:`sklearn.linear_model.ElasticNetCV`.
    cv : int, cross-validation splitter or iterable of (train, test), default 5
        Folds for choosing ``alpha`` and/or ``l1_ratio``: a number of random
        folds (stratified by class for the classifier), or any scikit-learn
        splitter or explicit splits.  Test sets need not partition the
        samples (``TimeSeriesSplit``, ``ShuffleSplit``): each split is scored
        on its own test rows.  ``fit(..., groups=g)`` passes the groups on to
        the splitter.
    select : {"lambda_1se", "lambda_min"}, default "lambda_1se"
        Which cross-validated penalty to use: the largest one within one
        standard error of the best, or the best one.
    measure : str, default "deviance"
        Cross-validation measure (see :func:`varnel.cv_path`).
    nlambda : int, default 100
        Length of the penalty sequence cross-validated over.
    lambda_min_ratio : float in (0, 1), optional
        Smallest penalty of the sequence as a fraction of the largest.
    standardize : bool, default True
        Standardize the features internally (the penalty then applies to the
        coefficients of the standardized features).
    fit_intercept : bool, default True
        Fit an intercept.
    penalty_factor : float, array-like of shape (n_features,) or dict, optional
        Relative penalty per feature (0 leaves a feature unpenalized); the
        factors are rescaled to sum to n_features and multiply both penalty
        terms.  An array or list goes by position; a pandas Series or a
        dict keyed by feature name is matched to the columns of a data
        frame X by name (see :func:`varnel.fit_path`).
    lower_limits, upper_limits : float, array-like of shape (n_features,) or dict, optional
        Bounds on the coefficients, by position or by feature name as
        ``penalty_factor``.
    tol : float > 0, default 1e-7
        Convergence threshold of coordinate descent.
    max_iter : int, default 100000
        Maximum total number of coordinate-descent passes over the data, for
        the whole path.
    n_jobs : int, optional
        Folds fitted at once, on threads that share X (None: one at a time,
        or as an active joblib backend says; -1: every core).  The passes
        over X that form column moments and products use the cores left,
        down to the limit a caller has set (see :func:`varnel.cv_path`).
    random_state : int, RandomState, Generator or None
        Seed of the random fold assignment when ``cv`` is an integer.
    solver : {"auto", "naive", "covariance"}, default "auto"
        How a dense X is solved (see :func:`varnel.fit_path`).
""")

#: The parameters every estimator takes last, after its own (the categorical
#: and group ones keyword-only).
LAST_PARAMETERS = _entries("""
    verbose : int in {0, 1, 2} or bool, default 0
        1 shows a progress bar over the lambdas of every path and fold on
        stderr (tqdm's when installed, else one updating line); 2 also
        prints a row per lambda (see :func:`varnel.cv_path`).
    relax : bool, default False
        Also refit the model without penalty on the variables the
        penalized fit selects (see ``relax`` of :func:`varnel.fit_path`),
        and predict with the blend ``blend * penalized + (1 - blend) *
        refit``.
    blend : float in [0, 1], sequence of float or None, default 1.0
        With ``relax=True``: the blend, or the blends to cross-validate
        beside the penalty (a sequence, or None for 0, 0.2, ..., 1; only
        when cross-validating: ``alpha`` None or a list of ``l1_ratio``).
        A blend other than 1.0 needs ``relax=True``.
    drop_first : bool, default False
        Leave out the indicator of each categorical column's first level.
        A data frame's column is categorical when its dtype is pandas
        ``category``, ``string`` or ``object`` (holding text), or polars
        ``Categorical``, ``Enum`` or ``String``; it becomes one indicator
        column (a coefficient) per level, standardized like any other
        column under ``standardize`` (see :func:`varnel.fit_path`).
    handle_unknown : {"error", "zero"}, default "error"
        A level not seen in ``fit`` at prediction: a ValueError naming the
        column and the level, or ("zero") no indicator at all.
    missing : {"error", "level"}, default "error"
        A missing value in a categorical column: a ValueError naming the
        column and the row, or ("level") a level of its own.
    feature_groups : array-like of shape (n_features,), dict, "categorical", "auto" or None, default "auto"
        Groups of features penalized together (one label per feature, None
        or -1 for a feature by itself, or a dict of group name -> features;
        ``"categorical"``: each categorical column's indicators; ``"auto"``:
        that when X has categorical columns, else no groups; None: no
        groups; see :func:`varnel.fit_path`): the L1 part of the penalty becomes
        ``l1_within ||b_g||_1 + (1 - l1_within) sqrt(p_g) ||b_g||_2`` per
        group, so that a group enters or leaves the model as a whole.
    l1_within : float in [0, 1], default 0.0
        The lasso's share of each group's L1 part (0: group lasso, 1: the
        plain elastic net); with ``feature_groups`` only.
    group_penalty_factor : array-like of shape (n_groups,) or dict, optional
        Relative penalty per group (by the order groups first appear, or a
        dict of group name -> factor); replaces ``penalty_factor``.
    group_size_weight : bool, default True
        Weight each group's norm by the square root of its size.
""")

#: The fitted attributes of every estimator.
ATTRIBUTES = _entries("""
    alpha_ : float
        The penalty strength used (``alpha`` when given).
    l1_ratio_ : float
        The mix used (the cross-validated choice when ``l1_ratio`` is a list).
    coef_ : ndarray
        Coefficients.
    intercept_ : float or ndarray
        Intercept.
    n_iter_ : int
        Coordinate-descent passes of the full-data fit (the whole path when
        ``alpha`` is chosen by cross-validation).
    lambda_ : float
        The chosen penalty in the solver's parametrisation, i.e. the lambda of
        ``path_`` at which ``coef_`` is taken.
    path_ : varnel.Path
        The full-data path of the chosen mix (a single lambda when ``alpha``
        is given), in the solver's parametrisation of :func:`varnel.fit_path`.
    cv_ : varnel.CVPath or None
        The cross-validation result (None when ``alpha`` and a single
        ``l1_ratio`` are given), in the parametrisation of
        :func:`varnel.cv_path`.
    blend_ : float or None
        The blend used (the cross-validated choice for a sequence of
        blends) with ``relax=True``; None without.
    n_features_in_ : int
        Number of features seen in fit.
    feature_names_in_ : ndarray of str
        Feature names, when X had string column names.
    categories_ : dict
        The levels of each categorical column of X, by column name (empty
        when X had none), as ``OneHotEncoder.categories_`` holds them;
        ``coef_`` then has one entry per level (``path_.feature_names``
        names them ``col[level]``).
""")

_WARNS = """
    Warns
    -----
    PathConvergenceWarning
        When ``max_iter`` stopped a path; a :class:`varnel.PathWarning` and a
        scikit-learn ``ConvergenceWarning``.
"""

Entries = Dict[str, Optional[str]]


def _section(title: str, shared: Dict[str, str], changes: Entries, first: Entries,
             last: Entries = {}) -> str:
    """A numpydoc section: the ``first`` entries, then the shared ones with
    ``changes`` (an entry in place of the shared one of its name; None
    drops it; a new name comes after the shared ones), then the ``last``
    ones."""
    entries = {**first, **shared}
    entries.update(changes)
    entries.update(last)
    body = "\n".join(text for text in entries.values() if text is not None)
    return f"\n    {title}\n    {'-' * len(title)}\n{body}\n"


def estimator_doc(summary: str, example: str, *, first_parameters: Entries = {},
                  parameters: Entries = {}, attributes: Entries = {}) -> str:
    """An estimator's docstring: its summary (and objective), its Parameters
    and Attributes sections (the shared entries, changed as :func:`_section`
    says; each entry written as its section has it, indented four spaces),
    the warning it raises and its example."""
    return (summary + _section("Parameters", PARAMETERS, parameters, first_parameters,
                               LAST_PARAMETERS)
            + _section("Attributes", ATTRIBUTES, attributes, {}) + _WARNS
            + "\n    Examples\n    --------\n" + example)


#: The passages of the estimators' method docstrings (see varnel._docstrings).
PASSAGES = {
    "samples": """
        X : array-like or sparse matrix of shape (n_samples, n_features)
            The samples.
        """,
    "offsets": """
        offset : array-like of shape (n_samples,) or (n_samples, K), optional
            The samples' offsets, as given to ``fit`` (K columns for K > 2
            classes or for K targets).
        """,
    "sample_weight": """
        sample_weight : array-like of shape (n_samples,), optional
            Weights of the samples.
        """,
    "predict_parameters": """
        Parameters
        ----------
        {samples}
        {offsets}
        """,
    "score_parameters": """
        Parameters
        ----------
        {samples}
        y : array-like of shape (n_samples,) or (n_samples, n_targets)
            The true targets.
        {sample_weight}
        {offsets}
        """,
}


def _seed(random_state: Any) -> Any:
    if random_state is None or isinstance(random_state, (numbers.Integral, np.random.Generator)):
        return random_state
    return int(random_state.randint(np.iinfo(np.int32).max))


def keep_parameters(estimator: Any, given: Dict[str, Any]) -> None:
    """Store the arguments of an estimator's ``__init__`` (its ``locals()``)
    as they were given, as scikit-learn asks of an ``__init__``."""
    for name, value in given.items():
        if name != "self":
            setattr(estimator, name, value)


def sample_weights(sample_weight: Any, like: Any) -> Optional[np.ndarray]:
    """Observation weights as scikit-learn checks them (one per row of
    ``like``, finite and non-negative), or None."""
    if sample_weight is None:
        return None
    return _check_sample_weight(sample_weight, like, dtype=np.float64, ensure_non_negative=True)


def scored_response(y: Any, predicted: Any) -> np.ndarray:
    """The true targets of a score, as a float vector as long as the
    predictions."""
    y = column_or_1d(check_array(y, ensure_2d=False, dtype=np.float64, input_name="y"), warn=True)
    check_consistent_length(predicted, y)
    return y


class NetEstimator(BaseEstimator):
    """The estimators' base: parameters, fit (with cross-validation over any
    source of rows), the fitted attributes and the linear predictor.  A
    subclass names its family (``_family``, or ``_fit_family``), its own
    options (``_family_options``), how it validates X and y
    (``_validate_xy``) and stores coefficients (``_set_coef``)."""

    _family = "gaussian"
    #: what the columns of a K-column offset stand for (as_offset's ``unit``)
    _offset_unit = "class"

    _parameter_constraints: Dict[str, List[Any]] = {
        "alpha": [Interval(Real, 0, None, closed="left"), None],
        "l1_ratio": [Interval(Real, 0, 1, closed="both"), "array-like"],
        "cv": ["cv_object"],
        "select": [StrOptions({"lambda_1se", "lambda_min"})],
        "measure": [StrOptions(set(get_family("gaussian").measures))],
        "nlambda": [Interval(Integral, 1, None, closed="left")],
        "lambda_min_ratio": [Interval(Real, 0, 1, closed="neither"), None],
        "standardize": ["boolean"],
        "fit_intercept": ["boolean"],
        "penalty_factor": ["array-like", Real, dict, None],
        "lower_limits": ["array-like", Real, dict, None],
        "upper_limits": ["array-like", Real, dict, None],
        "tol": [Interval(Real, 0, None, closed="neither")],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "n_jobs": [Integral, None],
        "random_state": ["random_state", np.random.Generator],
        "solver": [StrOptions(set(_fit.SOLVERS))],
        "verbose": ["verbose"],
        "drop_first": ["boolean"],
        "handle_unknown": [StrOptions(set(_categorical.UNKNOWN))],
        "missing": [StrOptions(set(_categorical.MISSING))],
        "relax": ["boolean"],
        "blend": [Interval(Real, 0, 1, closed="both"), "array-like", None],
        # (the values are checked where fit_path checks them, with its messages)
        "feature_groups": ["array-like", dict, str, None],
        "l1_within": [Real],
        "group_penalty_factor": ["array-like", dict, None],
        "group_size_weight": ["boolean"],
    }

    def __init__(self, alpha=None, l1_ratio=1.0, cv=5, select="lambda_1se", measure="deviance",
                 nlambda=100, lambda_min_ratio=None, standardize=True, fit_intercept=True,
                 penalty_factor=None, lower_limits=None, upper_limits=None, tol=1e-7,
                 max_iter=100000, n_jobs=None, random_state=None, solver="auto", verbose=0,
                 relax=False, blend=1.0, *,
                 drop_first=False, handle_unknown="error", missing="error", feature_groups="auto", l1_within=0.0,
                 group_penalty_factor=None, group_size_weight=True):
        keep_parameters(self, locals())

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        return tags

    # ---- fitting ----------------------------------------------------------------
    def _check_more_params(self) -> List[float]:
        """What the declared constraints cannot say; returns the mixes."""
        if self.alpha is not None and not np.isfinite(self.alpha):
            raise ValueError(f"The 'alpha' parameter must be finite or None. Got {self.alpha!r} instead.")
        if np.ndim(self.l1_ratio) == 0:
            return [float(self.l1_ratio)]
        try:
            r = np.asarray(self.l1_ratio, dtype=np.float64)
        except (TypeError, ValueError):
            r = None
        if r is None or r.ndim != 1 or r.size == 0 or not ((r >= 0) & (r <= 1)).all():
            raise ValueError("The 'l1_ratio' parameter must be a float in [0, 1] or a non-empty "
                             f"list of them. Got {self.l1_ratio!r} instead.")
        return [float(v) for v in r]

    def _blends(self, validate: bool) -> Optional[Tuple[float, ...]]:
        """The blends to fit: None without relax; one blend for a fixed
        penalty; the blends to cross-validate when ``validate``."""
        if not self.relax:
            if self.blend is None or np.ndim(self.blend) != 0 or float(self.blend) != 1.0:
                raise ValueError(f"blend={self.blend!r} blends the penalized fit with its relaxed "
                                 f"refit: set relax=True (or leave blend at 1.0)")
            return None
        if validate:
            return _relax.check_blends(_relax.DEFAULT_BLENDS if self.blend is None else self.blend)
        if self.blend is None or np.ndim(self.blend) != 0:
            raise ValueError(f"blend={self.blend!r} is cross-validated only when alpha is None or "
                             f"l1_ratio a list; with a fixed alpha give one blend in [0, 1]")
        return (_relax.check_blend(self.blend),)

    def _validate_xy(self, X, y):
        return validate_data(self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64, y_numeric=True)

    def _split(self, source: Any, X: Any, y: Any, groups: Any) -> None:
        """The folds of ``cv`` on the source's rows."""
        cv = 5 if self.cv is None else self.cv
        if isinstance(cv, numbers.Integral):
            if groups is not None:
                raise ValueError("groups are only used by a cv splitter that takes them (such as "
                                 f"GroupKFold); cv={cv} draws random folds")
            n = source.n_samples
            if n < cv:
                raise ValueError(f"cannot cross-validate with cv={cv} folds on n_samples={n}")
            source.split(nfolds=int(cv), seed=_seed(self.random_state))
        else:  # a splitter's splits are drawn only when the rows are in memory
            source.split(splits=cv.split(X, y, groups) if hasattr(cv, "split") else cv, what="cv")

    def _problem_in_memory(self, X, y, sample_weight, offset):
        """The problem of rows in memory, validated as scikit-learn does, and
        the validated X and y."""
        for arg, what in ((X, "X"), (y, "y"), (sample_weight, "sample_weight"), (offset, "offset")):
            refuse_lazy(arg, what)
        names = column_labels(X)  # for the settings labelled by feature name
        encoded = _categorical.encode(X, self._categorical_options())
        if encoded is not None:  # the indicator columns, validated as any sparse X
            names = encoded.names
            X, y = self._validate_xy(encoded.X.tocsc(), y)
            self._keep_columns(encoded.encoding.columns)
        else:
            X, y = self._validate_xy(X, y)
        weights = sample_weights(sample_weight, X)
        if weights is not None and not (weights > 0).any():
            raise ValueError("sample_weight is zero everywhere; at least one weight must be positive")
        family = get_family(self._fit_family())
        family.check_measure(self.measure)
        problem = _fit.prepare(X, y, family, dict(self._path_options(weights), feature_names=names,
                                                  **{_fit.ENCODED: encoded}), offset)
        return problem, X, y

    def _categorical_options(self) -> "_categorical.Options":
        return _categorical.check_options(self.drop_first, self.handle_unknown, self.missing)

    def _keep_columns(self, columns: List[Any]) -> None:
        """The data frame's columns as the features seen in fit (their
        number, and their names when they are all strings), as scikit-learn
        keeps them, though ``coef_`` has a coefficient per level."""
        self.n_features_in_ = len(columns)
        if all(isinstance(c, str) for c in columns):
            self.feature_names_in_ = np.asarray(columns, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_

    def fit(self, X, y, sample_weight=None, offset=None, groups=None):
        """Fit the model, choosing ``alpha`` and/or ``l1_ratio`` by
        cross-validation when they are not given.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative observation weights, used in the fits and in the
            cross-validation measure.
        offset : array-like of shape (n_samples,), optional
            A known part of every linear predictor (for a Poisson rate, the
            log exposure; (n_samples, K) for a classifier of K > 2 classes);
            give the new samples' offsets to ``predict`` and ``score``.
        groups : array-like of shape (n_samples,), optional
            Group labels passed to the ``split`` method of a ``cv`` splitter
            (such as ``GroupKFold``).

        Returns
        -------
        self
            The fitted estimator.

        Raises
        ------
        ValueError
            For a parameter or an input out of its range, named in the
            message (a ``TypeError`` for a wrong type).

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> model = varnel.ElasticNetRegressor(l1_ratio=[0.5, 1.0], random_state=0)
        >>> model.fit(data.X, data.y).l1_ratio_ in (0.5, 1.0)
        True
        """
        self._validate_params()
        mixes = self._check_more_params()
        kind = _sources.rows_of(X, y, sample_weight, offset)
        source, X, y = kind.for_estimator(self, X, y, sample_weight, offset)
        family = source.family
        a = None if self.alpha is None else float(self.alpha)
        validate = a is None or len(mixes) > 1
        blends = self._blends(validate)
        if validate:
            self._split(source, X, y, groups)
        scale = source.response_scale(self.fit_intercept)
        maps = [family.penalty_map(r, scale) for r in mixes]  # each mix's on all the data
        mix_options = self._mix_options(source.solver_options, maps, a)
        if blends is not None and validate:
            mix_options = [dict(so, **{_relax.BLENDS_KEY: blends}) for so in mix_options]

        def fold_options(m: int, k: int, so: Dict[str, Any]) -> Dict[str, Any]:
            # Every fold solves the same (alpha, l1_ratio) problem on its own
            # rows, so its solver parameters follow its own response scale.
            fold = family.penalty_map(mixes[m], source.response_scale(self.fit_intercept, k))
            return dict(so, alpha=fold.mix, user_lambda=so["user_lambda"] * (fold.factor / maps[m].factor))

        if validate:
            cvp = cross_validate(source, self.measure, mix_options, n_jobs=self.n_jobs,
                                 fold_options=fold_options, category=PathConvergenceWarning,
                                 stacklevel=3, all_by_default=False,
                                 option_names={"maxit": "max_iter"},
                                 verbose=_progress.as_verbose(self.verbose, type(self).__name__))
            m = int(np.flatnonzero(cvp.alphas == cvp.alpha)[0])
            path, lam = cvp.path, getattr(cvp, self.select)
            blend = None if blends is None else getattr(cvp, self.select.replace("lambda", "blend"))
        else:
            # One penalty cut short by max_iter keeps the solver's last
            # iterate, as scikit-learn's estimators do, with a warning.
            m, cvp, so = 0, None, mix_options[0]
            verbose = _progress.as_verbose(self.verbose, type(self).__name__)
            with _progress.Progress(verbose, None, total=_progress.path_length(so)) as progress:
                solution = source.fit(_progress.hooked(so, progress.hook()), with_iterate=True)
            path, lam = self._one_penalty(solution, source, so)
            blend = None
            if blends is not None:
                path.set_relaxed(_relax.path_refit(source, solution, so))
                blend = blends[0]
            path.npasses_data = source.npasses_data
        return self._finish(path, lam, mixes[m], maps[m], a, cvp, blend)

    def _path_options(self, weights: Any) -> Dict[str, Any]:
        """The options of fit_path these parameters stand for."""
        return dict(nlambda=self.nlambda, lambda_min_ratio=self.lambda_min_ratio,
                    standardize=self.standardize, intercept=self.fit_intercept,
                    penalty_factor=self.penalty_factor, lower_limits=self.lower_limits,
                    upper_limits=self.upper_limits, thresh=self.tol, maxit=self.max_iter,
                    weights=weights, solver=self.solver, **self._family_options(),
                    **self._categorical_options()._asdict(),
                    **{k: getattr(self, k) for k in _groups.OPTIONS if hasattr(self, k)})

    @staticmethod
    def _mix_options(solver_options: Dict[str, Any], maps: List[Any], a: Optional[float]
                     ) -> List[Dict[str, Any]]:
        """Each mix's solver options on all the data (its one lambda when
        ``a`` is given)."""
        out = []
        for pm in maps:
            so = dict(solver_options, alpha=pm.mix)
            if a is not None:
                so["user_lambda"] = np.array([a * pm.factor])
            out.append(so)
        return out

    def _one_penalty(self, solution: Any, meta: Any, so: Dict[str, Any], stacklevel: int = 3):
        """The path of a single penalty (the solver's last iterate when
        max_iter cut it short, with a warning; ``stacklevel`` from here) and
        its lambda."""
        path = Path.from_solution(solution, meta, so["alpha"])
        warn_bound(solution, path, stacklevel + 1)
        if path.warning is not None:
            warnings.warn(f"the solver hit max_iter={self.max_iter} passes before it converged; "
                          "the coefficients are its last iterate (raise max_iter or tol) "
                          f"[{path.warning[0]}]", PathConvergenceWarning, stacklevel=stacklevel)
        if path.n_lambdas == 0:
            raise ValueError(f"the solver stopped before its first solution (max_iter={self.max_iter}); "
                             "raise max_iter or tol")
        return path, float(path.lambdas[0])

    def _finish(self, path: Path, lam: float, r: float, pmap: Any, a: Optional[float], cvp: Any,
                blend: Optional[float] = None):
        """The fitted attributes, from the chosen mix's path, lambda and
        blend (None: the penalized fit of a path without relaxed fits)."""
        if hasattr(self, "feature_names_in_") and path.encoding is None:
            path.feature_names = [str(c) for c in self.feature_names_in_]
        self.categories_ = path.categories
        self.cv_ = cvp
        self.path_ = path
        self.lambda_ = float(lam)
        self.l1_ratio_ = r
        self.alpha_ = a if a is not None else float(lam / pmap.factor)
        self.n_iter_ = path.npasses
        self.blend_ = blend
        self._set_coef(path.coef(lam, blend=blend), path.intercept(lam, blend=blend))
        return self

    def _fit_family(self) -> str:
        return self._family

    def _family_options(self) -> Dict[str, Any]:
        """The family's own options (fit_path's ``ties``, ``standardize_response``)."""
        return {}

    def _set_coef(self, coef, intercept):
        self.coef_ = coef
        self.intercept_ = float(intercept)

    def _predict(self, X, kind, offset=None):
        """The predictions of ``kind`` ("link", "response", "class") where
        the rows are (lazily for a Dask collection)."""
        check_is_fitted(self)
        return _sources.rows_of(X, offset).predict_for(self, X, kind, offset)

    def _rows(self, X):
        """New rows in memory as the fitted coefficients read them: validated
        as scikit-learn does, or, after a fit with categorical columns,
        encoded with the fitted levels."""
        encoding = self.path_.encoding
        if encoding is None:
            return validate_data(self, X, accept_sparse=("csr", "csc"), dtype=np.float64, reset=False)
        return encoding.transform(X)

    def _link(self, X, offset=None):
        return self._predict(X, "link", offset)

    def _one_linear_predictor(self) -> bool:
        """Whether a row has one linear predictor (else one per class or
        response: a column of ``coef_`` each)."""
        return True

    def _predict_in_memory(self, X, kind, offset=None):
        """The linear predictor of rows in memory (``kind`` "link"):
        (n_samples,), or (n_samples, K) with one column per row of ``coef_``."""
        X = self._rows(X)
        if self._one_linear_predictor():
            eta = np.asarray(X @ np.ravel(self.coef_)).reshape(-1) + float(np.ravel(self.intercept_)[0])
        else:
            eta = np.asarray(X @ self.coef_.T) + self.intercept_
        off = as_offset(offset, eta.shape, self._offset_unit)
        return eta if off is None else eta + off


@filled(**PASSAGES)
class NetRegressor(RegressorMixin, NetEstimator):
    """The regressors' predictions and score: the mean of the family,
    ``_mean`` of the linear predictor, and the deviance it explains
    (``_explained``, R² for least squares)."""

    def _mean(self, eta):
        """The mean of linear predictors (the identity of least squares)."""
        return eta

    def _explained(self, y, X, offset, sample_weight) -> float:
        """The fraction of the deviance explained on (X, y)."""
        return r2_score(y, self.predict(X, offset), sample_weight=sample_weight)

    def predict(self, X, offset=None):
        """Predicted means, ``g^-1(offset + intercept_ + X @ coef_.T)``, where
        g^-1 is the inverse link of the estimator's family: the identity for
        :class:`~varnel.ElasticNetRegressor` and
        :class:`~varnel.MultiTaskNetRegressor`, exp for
        :class:`~varnel.PoissonNetRegressor`, the inverse of ``family``'s
        link for :class:`~varnel.GeneralizedNetRegressor`.

        {predict_parameters}

        Returns
        -------
        ndarray of shape (n_samples,), or (n_samples, n_targets) for several targets
            The means on the response's scale (a Dask array for Dask input).

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> model = varnel.ElasticNetRegressor(alpha=0.05).fit(data.X, data.y)
        >>> model.predict(data.X[:4]).shape
        (4,)
        """
        return self._mean(self._link(X, offset))

    def score(self, X, y, sample_weight=None, offset=None):
        """D², the fraction of the family's deviance about the (weighted) mean
        of y that ``predict(X, offset)`` explains (1 is perfect): for least
        squares the coefficient of determination R² (averaged over the
        targets of :class:`~varnel.MultiTaskNetRegressor`), for
        :class:`~varnel.PoissonNetRegressor` the fraction of Poisson deviance
        explained.

        {score_parameters}

        Returns
        -------
        float
            D² (R² for least squares).

        Examples
        --------
        >>> import varnel
        >>> data = varnel.load_demo()
        >>> model = varnel.ElasticNetRegressor(alpha=0.05).fit(data.X, data.y)
        >>> 0 < model.score(data.X, data.y) <= 1
        True
        """
        return float(self._explained(y, X, offset, sample_weight))
