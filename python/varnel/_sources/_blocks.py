"""Paths on data beyond one machine: Dask arrays and data frames of numeric
columns, chunked by rows.

Nothing of size n leaves a worker.  One pass over the blocks of rows
(``_core.block_statistics`` on each, merged by a tree reduction) gives the
columns' moments and, for least squares (of one response, or of the K
responses of the multitask family), every product the path needs: that
path is fitted on the client from the merged sums.  The families that
reweight (every family whose loss is a sum over the rows, with any link
and parameter) run the covariance solver on the client with one pass per
reweighting step: each block sums the family's per-row maths at the
current coefficients (``_core.block_pass``) and only the p-sized sums travel
back.  A family whose rows couple (the cox family's risk sets) is refused,
as the family says.  The passes are Dask graphs run by ``dask.compute`` (a
distributed ``Client`` when one is active); no scheduler of varnel's own.
Blocks that are ``scipy.sparse`` matrices follow the same protocol, every
family (least squares too) through passes, each block's sums formed from
sparse products (``_sparse_blocks``).  ``Blocks`` is this source of rows
(see varnel._sources); its folds are in ``_block_folds``.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence

import numpy as np

from .. import _coefs, _convert, _core, _errors, _fit, _relax
from ..families import Family
from . import _sparse_blocks as sb
from . import _sums as bs

#: Blocks merged by one task of a tree reduction.
TREE_WIDTH = 8


def sparse_blocks(arr: Any) -> bool:
    """Whether a Dask array's blocks are scipy.sparse matrices (by its meta)."""
    return sb.is_sparse(getattr(arr, "_meta", None))


def is_dask(obj: Any) -> bool:
    """A Dask collection (array, data frame, series), recognised without
    importing Dask."""
    if "dask" not in sys.modules or obj is None:
        return False
    from dask.base import is_dask_collection

    return bool(is_dask_collection(obj))


def _as_array(obj: Any, what: str) -> Any:
    """A Dask array from a Dask array, data frame or series (the lengths of
    a data frame's partitions computed)."""
    import dask.array as da

    if isinstance(obj, da.Array):
        meta = getattr(obj, "_meta", None)
        if meta is not None and not isinstance(meta, np.ndarray) and not (
                what == "X" and sb.is_sparse(meta)):
            raise TypeError(f"{what} is a Dask array of {type(meta).__name__} blocks; varnel fits "
                            f"Dask arrays of dense NumPy blocks"
                            f"{' or of scipy.sparse matrices' if what == 'X' else ''} only: "
                            f"convert them, e.g. {what}.map_blocks("
                            f"{'lambda b: b.toarray()' if sb.is_sparse(meta) else 'np.asarray'})")
        return obj
    if hasattr(obj, "to_dask_array"):
        return obj.to_dask_array(lengths=True)
    raise TypeError(f"{what} must be a Dask array or data frame, got {type(obj).__name__}")


def known_rows(arr: Any, what: str) -> Any:
    """A Dask array whose blocks' sizes are known (a fit pairs the rows of
    every block), else a ValueError saying how to get them."""
    if any(np.isnan(c) for sizes in arr.chunks for c in sizes):
        raise ValueError(f"{what} is a Dask array of unknown chunk sizes (shape {arr.shape}), "
                         f"as boolean indexing or a data frame's to_dask_array() make them; "
                         f"varnel needs the rows of every block: call "
                         f"{what}.compute_chunk_sizes() first, or make it with "
                         f"to_dask_array(lengths=True)")
    return arr


def _rows_like(obj: Any, what: str, chunks: tuple, shape: tuple) -> Any:
    """``obj`` (Dask or in memory) as a float64 Dask array of ``shape``
    chunked like the rows of X."""
    import dask.array as da

    if obj is None:
        return None
    if is_dask(obj):
        arr = known_rows(_as_array(obj, what), what)
    else:
        arr = da.from_array(_convert.float_array(obj.to_numpy() if hasattr(obj, "to_numpy")
                                                 else obj, what), chunks=-1)
    if arr.ndim == 2 and len(shape) == 1 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if tuple(arr.shape) != tuple(shape):
        raise ValueError(f"{what} must have shape {tuple(shape)}, one value per row of X"
                         f"{' and class' if len(shape) == 2 else ''}, got shape {arr.shape}")
    if arr.dtype.kind == "c":
        raise TypeError(f"{what} is complex; only real numbers are supported")
    return arr.rechunk((chunks,) + tuple((s,) for s in shape[1:]))


class DaskData(NamedTuple):
    """The converted inputs: X (n x p float64, chunked by rows only), the
    coded response, weights and offset chunked like the rows of X (None when
    not given), the family, the class labels and X's column names."""

    X: Any
    y: Any
    weights: Any
    offset: Any
    family: Family
    classes: Optional[np.ndarray]
    feature_names: Optional[List[Any]]
    sparse: bool = False

    @property
    def from_products(self) -> bool:
        """Whether the fit takes every product from one pass (least squares
        on dense blocks); sparse blocks form the strong set's in passes."""
        return self.family.fits_from_products and not self.sparse

    @property
    def starts(self) -> np.ndarray:
        return np.r_[0, np.cumsum(self.X.chunks[0])[:-1]]

    def blocks(self, *extra: Any) -> List[tuple]:
        """The delayed (x, y, w, offset, *extra, first row) of every block of rows."""
        parts = [self.X.to_delayed()[:, 0], self.y.to_delayed().reshape(-1)]
        for arr in (self.weights, self.offset) + extra:
            parts.append([None] * len(parts[0]) if arr is None else arr.to_delayed().reshape(-1))
        return [(*blocks, int(start)) for *blocks, start in zip(*parts, self.starts)]


def prepare(X: Any, y: Any, family: Any, options: Dict[str, Any], offset: Any = None):
    """Check and convert the inputs and options; the data stay lazy (only
    the labels of a class family are computed, a pass over y)."""
    family, opts = _fit.checked_options(family, options)
    refusal = family.refusal_on_blocks()
    if refusal is not None:
        raise ValueError(refusal)
    names = None
    if hasattr(X, "columns"):  # a Dask data frame: its column names, as in memory
        names = list(X.columns)
        if len(set(names)) < len(names):
            raise ValueError("X has duplicate column names; every column needs its own name")
        text = [c for c, t in zip(X.columns, X.dtypes) if getattr(t, "kind", None) == "O"]
        if text:  # category, string and object columns
            raise ValueError(f"X has the categorical column(s) {text[:5]}: categorical columns "
                             "are encoded for X in memory only, not for a Dask data frame; "
                             "compute X into memory (X.compute()) to fit them, or encode them "
                             "as numbers first")
        bad = [c for c, t in zip(X.columns, X.dtypes) if np.dtype(t).kind not in "biuf"]
        if bad:
            raise TypeError(f"X must hold numeric columns, but column(s) {bad[:5]} are not")
    Xd = known_rows(_as_array(X, "X"), "X")
    if Xd.ndim != 2:
        raise ValueError(f"X must be 2-D (n_samples, n_features), got shape {Xd.shape}")
    if Xd.dtype.kind not in "biuf":
        raise TypeError(f"X must hold real numbers, got dtype {Xd.dtype}")
    n, p = Xd.shape
    if n < 1 or p < 1:
        raise ValueError(f"X must have at least one row and one column, got shape {Xd.shape}")
    sparse = sparse_blocks(Xd)
    if sparse:
        whole_rows(Xd)
        if family.fits_from_products and not family.least_squares:
            raise ValueError(f"the {family.name} family fits Dask arrays of dense blocks only "
                             f"(its K responses take every product of X); on sparse blocks fit "
                             f"X in memory (X.compute()) or densify the blocks")
        Xd = sb.as_rows(Xd)
    else:
        Xd = Xd.astype(np.float64).rechunk({1: -1})
    if opts["solver"] == "naive":
        raise ValueError("solver='naive' needs X in memory; a Dask array is fitted by the "
                         "covariance solver from the statistics of its blocks (solver='auto')")
    chunks = Xd.chunks[0]
    classes = None
    if family.has_classes:
        import dask.array as da

        if is_dask(y):
            labels = known_rows(_as_array(y, "y"), "y")
            if labels.ndim == 2 and labels.shape[1] == 1:
                labels = labels[:, 0]
            if labels.shape != (n,):
                raise ValueError(f"y must have shape ({n},), one value per row of X, got shape "
                                 f"{labels.shape}")
            labels = labels.rechunk((chunks,))
            classes = family.classes_of(np.unique(np.asarray(da.unique(labels).compute())))
        else:
            labels = _convert.response_array(y, n)
            classes = family.classes_of(np.unique(labels))
        if classes is None:  # taken as they are (proportions)
            yd = labels.astype(np.float64) if is_dask(labels) else \
                _rows_like(labels.astype(np.float64), "y", chunks, (n,))
        else:
            yd = labels.map_blocks(_codes, classes, dtype=np.float64) if is_dask(labels) else \
                _rows_like(np.searchsorted(classes, labels).astype(np.float64), "y", chunks, (n,))
    elif family.fits_from_products and not family.least_squares:  # K responses: y is (n, K)
        K = _response_columns(y, n)
        yd = _rows_like(y, "y", chunks, (n, K)).astype(np.float64)
        names_y = list(y.columns) if hasattr(y, "columns") else None
        classes = np.array(names_y if names_y is not None else range(K), dtype=object)
    else:
        yd = _rows_like(y, "y", chunks, (n,)).astype(np.float64)
    w = _rows_like(opts.pop("weights"), "weights", chunks, (n,))
    off = _rows_like(offset, "offset", chunks, family.offset_shape(n, classes))
    so = _fit.solver_options(family, dict(opts, weights=None), p, names)
    return DaskData(Xd, yd, w, off, family, classes, names, sparse), so


def whole_rows(Xd: Any) -> None:
    """Sparse blocks must hold whole rows (they are not concatenated across
    columns): else a ValueError saying how to rechunk."""
    if len(Xd.chunks[1]) > 1:
        raise ValueError(f"X is a Dask array of sparse blocks chunked across its columns "
                         f"({len(Xd.chunks[1])} chunks of columns); the sparse route takes "
                         f"blocks of whole rows: rechunk it with X.rechunk({{1: -1}})")


def _response_columns(y: Any, n: int) -> int:
    """K, the columns of a response of shape (n, K) (Dask or in memory)."""
    shape = tuple(_as_array(y, "y").shape) if is_dask(y) else np.shape(y)
    if len(shape) != 2 or shape[1] < 1 or shape[0] != n:
        raise ValueError(f"the multitask family needs y of shape ({n}, K), one column per "
                         f"response, got shape {shape}")
    return int(shape[1])


def _codes(block: np.ndarray, classes: np.ndarray) -> np.ndarray:
    codes = np.searchsorted(classes, block)
    return codes.astype(np.float64)


def tree(parts: Sequence[Any], combine: Callable[..., Any]) -> Any:
    """A tree reduction of delayed parts, TREE_WIDTH at a time."""
    from dask import delayed

    parts = list(parts)
    while len(parts) > 1:
        parts = [delayed(combine)(*parts[i:i + TREE_WIDTH]) for i in range(0, len(parts), TREE_WIDTH)]
    return parts[0]


def add(*sums: Dict[str, Any]) -> Dict[str, Any]:
    """Entry-wise sums of dicts of the same keys."""
    out = dict(sums[0])
    for s in sums[1:]:
        for key, value in s.items():
            out[key] = out[key] + value
    return out


def block_problem(x, y, w, o, family: Family, start: int, sparse: bool = False
                  ) -> Optional[tuple]:
    """What is wrong with a block's rows (not of the array's kind, dense or
    ``sparse``; not finite, a negative weight, a response outside the
    family's support), with the rows named as in the whole array: ``(check,
    row, message)`` of the first check that fails and its first row, or
    None.  A worker reports it and the client raises it (the smallest over
    the blocks, see merged), so that no task fails."""
    problem = sb.kind_problem(x, sparse, start) or (sb.non_finite(x, start) if sparse else None)
    if problem is not None:
        return problem
    for check, (what, a) in enumerate((("X", None if sparse else x), ("y", y), ("weights", w),
                                       ("offset", o))):
        if a is not None and not np.isfinite(a).all():
            bad = np.argwhere(~np.isfinite(a))[0]
            where = ", ".join(str(int(v) + start * (i == 0)) for i, v in enumerate(bad))
            return check, start + int(bad[0]), (f"{what} contains NaN or inf: {what}[{where}] is "
                                                f"{a[tuple(bad)]:g}")
    if w is not None and (w < 0).any():
        i = int(np.argmax(w < 0))
        return 4, start + i, f"weights must be non-negative, but weights[{start + i}] is {w[i]:g}"
    if family.has_classes:
        return None
    try:
        family.check_values(y)
        return None
    except ValueError:
        pass
    lo, hi = 0, y.shape[0]  # y[:lo] passes, y[:hi] fails: the first bad row is hi - 1
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            family.check_values(y[:mid])
            lo = mid
        except ValueError:
            hi = mid
    try:
        family.check_values(y[hi - 1:hi], start + hi - 1)
    except ValueError as exc:
        return 5, start + hi - 1, str(exc)
    return None  # pragma: no cover - a prefix that fails has a row that fails


def prepared_block(x, y, w, o, least_squares: bool):
    """A checked block's rows as the statistics take them: the weights (ones
    when none) and the response a least-squares fit takes (y less the offset)."""
    x = x if sb.is_sparse(x) else np.asarray(x, dtype=np.float64)
    w = np.ones(x.shape[0]) if w is None else w
    if least_squares and o is not None:
        y = y - o
    return x, np.ascontiguousarray(y, dtype=np.float64), np.ascontiguousarray(w, dtype=np.float64)


def block_moments(x, y, w, o, start, centre, family, classes, products, checked=False,
                  sparse=False):
    """A block's statistics (and each class's weight, or the offset's
    weighted sum and range for a family of one linear predictor that reads
    the offset in its passes), or ``{"problem": ...}`` (see block_problem)
    unless the rows were ``checked`` already."""
    problem = None if checked else block_problem(x, y, w, o, family, start, sparse)
    if problem is not None:
        return {"problem": problem}
    x, yy, w = prepared_block(x, y, w, o, products)
    s = sb.block_statistics(x, yy, w, centre) if sparse else \
        bs.block_statistics(x, yy, w, centre, products)
    if classes > 1:
        s["class_weights"] = np.bincount(y.astype(np.intp), weights=w, minlength=classes)
    if o is not None and not products and np.ndim(o) == 1 and np.size(o):
        s.update(bs.offset_summary(np.asarray(o, dtype=np.float64), w))
    return s


def merged(*stats: Dict[str, Any]) -> Dict[str, Any]:
    """Block statistics merged (bs.merge), or the first problem of any block
    (by check, then row)."""
    problems = [s["problem"] for s in stats if "problem" in s]
    if problems:
        return {"problem": min(problems)}
    return bs.merge(*stats)


def raise_problem(stats: Dict[str, Any]) -> None:
    """On the client: the ValueError of a block's problem."""
    if "problem" in stats:
        raise ValueError(stats["problem"][2])


def centres(data: DaskData, least_squares: bool) -> np.ndarray:
    """The provisional centres: weighted means of the first rows (finite)."""
    import dask
    from dask import delayed

    rows = min(bs.CENTRE_ROWS, data.X.shape[0])
    head = slice(0, rows)
    first = data.X.to_delayed()[:int(np.searchsorted(np.cumsum(data.X.chunks[0]), rows)) + 1, 0]
    parts = [delayed(sb.head_rows)(rows, *first), data.y[head],
             None if data.weights is None else data.weights[head],
             None if data.offset is None or not least_squares else data.offset[head]]
    x, y, w, o = dask.compute(*parts)
    if x is None or (data.sparse and not sb.is_sparse(x)):  # the blocks' checks name the mix
        return np.zeros(data.X.shape[1] + 1)
    if sb.is_sparse(x) and not data.sparse:
        raise ValueError(sb.META_ADVICE)
    if data.sparse:
        return sb.centres(x, y - o if o is not None else y, w)
    return bs.centres(x, y - o if o is not None else y, w)


def moments(data: DaskData) -> Dict[str, Any]:
    """One pass over the blocks: their statistics merged (every product for
    least squares of one response or several, the squares only for the
    other families)."""
    import dask
    from dask import delayed

    ls = data.from_products
    c = centres(data, ls)
    k = 0 if data.classes is None or not data.family.groups_coefficients else len(data.classes)
    parts = [delayed(block_moments)(x, y, w, o, start, c, data.family, k, ls, sparse=data.sparse)
             for x, y, w, o, start in data.blocks()]
    (stats,) = dask.compute(tree(parts, merged))
    raise_problem(stats)
    if not stats["weight"] > 0:
        raise ValueError("weights are all zero: at least one weight must be positive")
    if k:
        _fit.check_weighted_classes(data.family, data.classes, np.flatnonzero(stats["class_weights"] > 0))
    return stats


def pass_block(x, y, w, o, start, request):
    if w is None:
        w = np.ones(np.shape(x)[0])
    if sb.is_sparse(x):
        return sb.block_pass(x, np.asarray(y, dtype=np.float64), np.asarray(w, dtype=np.float64),
                             o, request)
    return _core.block_pass(np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64),
                            np.asarray(w, dtype=np.float64), o, request)


class Passes:
    """The source of a fit from statistics: each request is one pass over
    the blocks, their sums added by a tree reduction."""

    def __init__(self, data: DaskData):
        self.blocks = data.blocks()
        self.sparse = data.sparse

    def __call__(self, request: Dict[str, Any]) -> Dict[str, Any]:
        import dask
        from dask import delayed

        parts = [delayed(pass_block)(x, y, w, o, start, request) for x, y, w, o, start in self.blocks]
        sums = dask.compute(tree(parts, add))[0]
        return sb.finish(sums, request) if self.sparse else sums


def statistics_fit(stats: Dict[str, Any], family: Family, so: Dict[str, Any],
                   source: Optional[Callable] = None, classes: int = 0,
                   sparse: bool = False) -> Dict[str, Any]:
    """_core.fit_statistics with the solver options ``so``; a class family's
    shares from the statistics' class weights.  On ``sparse`` blocks least
    squares runs through passes (sb.summed_arguments) and the lambdas the
    path reaches are followed, for the passes' refusal to name them."""
    kw = _fit._solver_kwargs(so, None)
    means = stats["class_weights"] / stats["weight"] if classes else None
    arguments = family.core_arguments()
    if sparse:
        arguments = sb.summed_arguments(family, arguments)
        progress = sb.PathProgress(so, kw.get("callback"))
        kw["callback"] = progress
        source = progress.checked(source)
    return _errors.solver_call(_core.fit_statistics, stats, **arguments,
                               source=source, response_means=means, **kw)


def predict(path: Any, X: Any, s: Any, kind: str, offset: Any = None):
    """Path.predict on a Dask array or data frame: a Dask array, computed
    block by block when asked for."""
    import dask.array as da

    family = path.family_instance
    family.check_kind(kind)
    if getattr(path, "encoding", None) is not None:
        raise ValueError("the path was fitted with categorical columns, which are encoded for X "
                         "in memory only, not for a Dask collection; predict on X.compute()")
    if path.feature_names is not None and hasattr(X, "columns"):
        X = X[path.feature_names]
    Xd = _as_array(X, "X")
    if offset is not None:  # its rows pair with X's
        known_rows(Xd, "X")
    if Xd.ndim != 2 or Xd.shape[1] != path.n_features:
        raise ValueError(f"X has {Xd.shape[1] if Xd.ndim == 2 else Xd.shape} features, the path was "
                         f"fitted with {path.n_features}: X must have shape (n, {path.n_features})")
    if sparse_blocks(Xd):
        whole_rows(Xd)
        Xd = sb.as_rows(Xd)
    else:
        Xd = Xd.astype(np.float64).rechunk({1: -1})
    coef, a0 = path.coef(s), path.intercept(s)
    tail = _coefs.dense_shape(coef)[1:]
    if kind == "class" and family.groups_coefficients:
        tail = tail[1:]
    off = _rows_like(offset, "offset", Xd.chunks[0], family.offset_shape(Xd.shape[0], path.classes))
    # the offset as columns beside X, so that its blocks pair with X's
    args = [Xd] + ([] if off is None else [off if off.ndim == 2 else off[:, None]])
    dtype = np.asarray(path.classes).dtype if kind == "class" and path.classes is not None \
        else np.float64
    return da.map_blocks(_predict_block, *args, coef=coef, a0=a0, family=family, kind=kind,
                         classes=path.classes, dtype=dtype,
                         chunks=(Xd.chunks[0],) + tuple((t,) for t in tail),
                         drop_axis=1, new_axis=list(range(1, 1 + len(tail))) or None)


def _predict_block(x, offset=None, *, coef, a0, family, kind, classes):
    eta = _fit.linear_predictor(x, coef, a0)
    if offset is not None:
        offset = offset if len(family.offset_shape(1, classes)) == 2 else offset[:, 0]
        eta = eta + (offset if eta.ndim == offset.ndim else offset[..., None])
    return family.predict(eta, kind, classes)


def response_moments(stats: Dict[str, Any]) -> tuple:
    """The weighted mean and variance of the response column of statistics."""
    W, d, sq, c = stats["weight"], stats["deviations"][-1], stats["squares"][-1], stats["centre"][-1]
    return c + d / W, max((sq - d * d / W) / W, 0.0)


class Blocks:
    """A Dask collection chunked by rows as a source of rows (see
    varnel._sources): every fit from statistics summed on the workers;
    ``npasses_data`` counts the passes over the blocks."""

    folds_on_caller_lambdas = False
    # A fold moved to the full-data solution refits there: one more pass over
    # the blocks at every lambda, more than the reweighting steps it saves
    # (20,000 x 20 in 4 blocks, 5 folds, 20 lambdas: 88 passes against 72).
    folds_start_from_full_path = False
    disjoint = True
    #: why a relaxed cross-validation is refused on Dask collections
    relax_refusal = ("relax=True is not available for cross-validation on a Dask array: its folds "
                     "are fitted from per-fold statistics, which cannot refit each fold's active "
                     "sets; fit_path(X, y, relax=True), or an estimator with a fixed alpha, fits "
                     "relaxed on the Dask array; to cross-validate the blend compute X and y into "
                     "memory (e.g. X.compute())")

    def __init__(self, data: DaskData, so: Dict[str, Any]):
        self.data, self.solver_options = data, so
        self.npasses_data = 0
        self.foldid: Any = None
        self._codes: Any = None  # the fold codes and their count, once split
        self._folds: Any = None  # their _block_folds.DaskFolds, formed when first needed
        self._stats: Optional[Dict[str, Any]] = None
        self._weighted_rows: Optional[int] = None

    @classmethod
    def prepare(cls, X: Any, y: Any, family: Any, options: Dict[str, Any],
                offset: Any = None) -> "Blocks":
        return cls(*prepare(X, y, family, options, offset))

    @classmethod
    def for_estimator(cls, est: Any, X: Any, y: Any, sample_weight: Any, offset: Any) -> tuple:
        """An estimator's source (and the X and y its splitter would take)."""
        from ._block_folds import for_estimator

        return for_estimator(cls, est, X, y, sample_weight, offset), X, y

    family = property(lambda self: self.data.family)
    classes = property(lambda self: self.data.classes)
    feature_names = property(lambda self: self.data.feature_names)
    n_samples = property(lambda self: int(self.data.X.shape[0]))

    @property
    def classes_count(self) -> int:
        """K for a family with a coefficient per class, else 0."""
        return len(self.data.classes) if self.data.family.groups_coefficients else 0

    def statistics(self) -> Dict[str, Any]:
        """The statistics of every row (one pass: the folds' when split)."""
        if self._stats is None and self._codes is not None:
            self._stats = self.folds.total
        if self._stats is None:
            self._stats = moments(self.data)
            self.npasses_data += 1
        return self._stats

    def fit(self, so: Dict[str, Any], *, n_threads: Optional[int] = None,
            with_iterate: bool = False) -> "_fit.Solution":
        stats = self.statistics()
        source = None if self.data.from_products else Passes(self.data)
        res = statistics_fit(stats, self.family, so, source, self.classes_count, self.data.sparse)
        self.npasses_data += int(res["npasses_data"])
        return _fit.decode(res, so, with_iterate)

    def fit_on(self, so: Dict[str, Any], active: np.ndarray) -> "_fit.Solution":
        """The fit of the columns ``active`` alone: the others excluded from
        the statistics of every column."""
        return _relax.excluding(self.fit)(so, active)

    @property
    def weighted_rows(self) -> int:
        """The rows of positive weight (a pass over the weights, once)."""
        if self._weighted_rows is None:
            w = self.data.weights
            self._weighted_rows = self.n_samples if w is None else int((w > 0).sum().compute())
        return self._weighted_rows

    # ---- folds --------------------------------------------------------------------
    def split(self, nfolds: Any = 10, foldid: Any = None, splits: Any = None, seed: Any = None,
              what: str = "splits", groups: Any = None) -> None:
        from ._block_folds import fold_codes

        if groups is not None:
            raise ValueError("groups are not taken on a Dask array (its folds are drawn block by "
                             "block): give foldid, a Dask array of fold labels that gives each "
                             "group's rows one fold")
        if splits is not None:
            raise ValueError(
                "on a Dask array, cv must be a number of folds (drawn block by block from "
                "random_state); splitters and groups need the rows in memory" if what == "cv" else
                "splits of row indices are not taken on a Dask array: give foldid (a Dask array "
                "of fold labels) or nfolds and seed")
        codes, K, self.foldid = fold_codes(self.data, nfolds, foldid, seed)
        self._codes, self._folds, self._stats = (codes, K), None, None

    @property
    def folds(self) -> Any:
        """The folds' statistics (one pass, when first needed)."""
        from ._block_folds import DaskFolds

        if self._folds is None:
            self._folds = DaskFolds(self, *self._codes)
        return self._folds

    nfolds = property(lambda self: self._codes[1])

    def check_scoring(self, measure: str, keep: bool) -> None:
        if keep:
            raise ValueError("keep=True is not available on a Dask array: the out-of-fold "
                             "predictions have one row per observation")
        if measure == "auc":
            raise ValueError("measure='auc' needs every held-out score at once; on a Dask array "
                             "cross-validate with another measure of the family")

    def fold_weights(self) -> np.ndarray:
        return self.folds.fold_weights

    def training_weights(self) -> np.ndarray:
        return self.folds.training_weights

    def response_scale(self, intercept: bool, fold: Optional[int] = None) -> float:
        stats = self.statistics() if fold is None else self.folds.train(fold)
        return self.family.response_scale_of_moments(*response_moments(stats), intercept)

    def run_folds(self, jobs: List[Any], full: List[Any], measure: str, keep: bool, how: Any,
                  progress: Any):
        from ._statistics import run_by_mix

        return run_by_mix(self.folds, jobs, full, measure, progress)

    # ---- predictions --------------------------------------------------------------
    predict = staticmethod(predict)

    @staticmethod
    def predict_for(estimator: Any, X: Any, kind: str, offset: Any = None) -> Any:
        return estimator.path_.predict(X, s=estimator.lambda_, kind=kind, offset=offset,
                                       blend=getattr(estimator, "blend_", None))
