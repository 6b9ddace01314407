"""Sources of rows: where a fit reads its rows, behind one protocol.

A source holds a prepared problem (the family with every option, the
solver options, the class labels, the feature names) and the rows it reads:

- ``_memory.MemoryRows``: X in memory (dense or sparse), every fit by the
  compiled solvers over the rows; the folds of a cross-validation are fitted
  and scored on threads that share X;
- ``_statistics.FoldStatistics``: the same rows cross-validated from
  per-fold statistics of one pass (least squares the core solves by the
  covariance solver);
- ``_blocks.Blocks``: a Dask collection chunked by rows, every fit from
  statistics summed on the workers (``_block_folds`` its folds).

Every source offers what :class:`Source` lists: fit a path, split the rows
into folds, fit and score the folds, predict new rows; ``varnel.cv``'s one
driver cross-validates any of them.  Which source serves a call is decided
here and nowhere else: by the kind of the arrays given (:func:`rows_of`)
and, for a cross-validation in memory, by what the family and the core
allow (:func:`for_cross_validation`).  A new kind of rows is one module
with the protocol's methods and a line in :func:`rows_of`.
"""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Protocol, Sequence, Tuple

import numpy as np

from . import _blocks, _memory, _statistics


__all__ = ["Source", "FoldJob", "FoldResult", "rows_of", "prepared", "for_cross_validation"]


class FoldJob(NamedTuple):
    """One fold fit of a cross-validation: mix ``mix``, fold ``fold``, with
    the solver options ``options`` (the fold's lambdas among them)."""

    mix: int
    fold: int
    options: Dict[str, Any]


class FoldResult(NamedTuple):
    """What a fold fit gives the driver: its scores at each of its lambdas
    (None when it has no solution or was not scored), a ValueError naming
    the fold in their place when it could not be fitted, the lambdas its
    path reached, its warning ``(kind, lambda_index)`` and, when kept, its
    held-out linear predictors."""

    mix: int
    fold: int
    scores: Any
    n_lambdas: int
    warning: Optional[Tuple[str, int]]
    eta: Optional[np.ndarray] = None


class Source(Protocol):
    """The protocol of a source of rows (see the module's text).

    Attributes read by ``Path.from_solution`` and the drivers: ``family``,
    ``classes``, ``feature_names``, ``solver_options``; ``npasses_data``,
    the passes over the data so far (None when the rows are in memory);
    ``folds_on_caller_lambdas``, whether the folds are fitted over the
    caller's lambdas (so that they need not wait for the full-data path)
    rather than over the full-data path's; ``relax_refusal``, why the
    source cannot cross-validate relaxed fits (None when it can);
    ``folds_start_from_full_path``,
    whether each fold's solve of a lambda starts from the full-data
    solution at that lambda (the full-data paths are then fitted first).
    """

    family: Any
    classes: Optional[np.ndarray]
    feature_names: Optional[List[Any]]
    solver_options: Dict[str, Any]
    npasses_data: Optional[int]
    folds_on_caller_lambdas: bool
    #: why a relaxed cross-validation is refused on this source (None: it is not)
    relax_refusal: Optional[str]
    folds_start_from_full_path: bool

    def fit(self, so: Dict[str, Any], *, n_threads: Optional[int] = None,
            with_iterate: bool = False) -> Any:
        """The decoded solution (``_fit.Solution``) of a path on every row."""

    def fit_on(self, so: Dict[str, Any], active: np.ndarray) -> Any:
        """The decoded solution of the columns ``active`` alone (the relaxed
        refits; its coefficients for every column or for ``active``)."""

    weighted_rows: int

    def split(self, nfolds: Any = 10, foldid: Any = None, splits: Any = None, seed: Any = None,
              what: str = "splits", groups: Any = None) -> None:
        """Draw (or take) the folds of a cross-validation (``groups``: a
        label per row whose rows stay in one fold)."""

    nfolds: int
    foldid: Any
    disjoint: bool

    def fold_weights(self) -> np.ndarray:
        """Each fold's held-out weight."""

    def training_weights(self) -> Sequence[float]:
        """Each fold's training weight (empty when every row weighs 1)."""

    def response_scale(self, intercept: bool, fold: Optional[int] = None) -> float:
        """The family's response scale on every row, or on fold ``fold``'s
        training rows (the estimators' penalty maps)."""

    def run_folds(self, jobs: List[FoldJob], full: List[Tuple[int, Dict[str, Any]]], measure: str,
                  keep: bool, how: Any, progress: Any
                  ) -> Tuple[Dict[int, Any], List[FoldResult]]:
        """Fit and score every job (and the full-data paths ``full``, beside
        them where the source can): the full-data solutions (or their
        ValueError) by mix, and every job's FoldResult.  Each job's options
        carry the solver's hook after each lambda; ``progress``
        (``_progress.Progress``) is told of each path that ended before its
        last lambda."""

    @staticmethod
    def predict(path: Any, X: Any, s: Any, kind: str, offset: Any = None) -> Any:
        """``Path.predict`` on rows of this kind."""

    @staticmethod
    def predict_for(estimator: Any, X: Any, kind: str, offset: Any = None) -> Any:
        """An estimator's predictions (``kind``: link, response, class) on
        rows of this kind."""


def rows_of(*arrays: Any) -> Any:
    """The kind of source that reads these arrays (X, y, weights, offset,
    fold labels: any of them may be None): Dask blocks when any is a Dask
    collection, else rows in memory.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel import _sources
    >>> _sources.rows_of(np.ones((3, 2)), None).__name__
    'MemoryRows'
    """
    if any(_blocks.is_dask(a) for a in arrays):
        return _blocks.Blocks
    return _memory.MemoryRows


def prepared(X: Any, y: Any, family: Any, options: Dict[str, Any], offset: Any = None,
             foldid: Any = None) -> Any:
    """The source of these inputs, with the problem validated once (the
    options as ``fit_path`` takes them)."""
    kind = rows_of(X, y, options.get("weights"), offset, foldid)
    return kind.prepare(X, y, family, options, offset)


def for_cross_validation(source: Any, measure: str, keep: bool,
                         mix_options: Sequence[Dict[str, Any]], how: Any) -> Any:
    """The source that cross-validates ``source`` with its folds drawn: the
    rows in memory from per-fold statistics when least squares is solved by
    the covariance solver (see ``_statistics.uses_statistics``), else the
    source itself (rows in memory with X as every fold reads it in place)."""
    if isinstance(source, _memory.MemoryRows) and _statistics.uses_statistics(
            source.problem, source.folds, measure, keep, mix_options):
        return _statistics.FoldStatistics(source, how)
    if isinstance(source, _memory.MemoryRows):
        return source.read_in_place()
    return source

