"""Which rows each cross-validation fold (or explicit split) trains on and
scores."""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Sequence
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

__all__ = ["Folds", "make_folds", "check_splits", "folds", "SubjectSplitWarning"]


class SubjectSplitWarning(UserWarning):
    """Random folds were drawn row by row on data whose subjects may have
    several rows (counting-process survival data), so that one subject's
    rows may be fitted and scored in different folds.

    Give ``groups`` (a subject label per row) to :func:`varnel.cv_path` to
    keep each subject's rows in one fold.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> import varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(60, 2))
    >>> stop = rng.exponential(size=60) + 0.1
    >>> y = np.column_stack([np.zeros(60), stop, np.ones(60)])
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     cv = varnel.cv_path(X, y, "cox", nfolds=3, seed=0)
    >>> any(issubclass(w.category, varnel.SubjectSplitWarning) for w in caught)
    True
    >>> cv = varnel.cv_path(X, y, "cox", nfolds=3, seed=0, groups=np.arange(60))
    """


class Folds(NamedTuple):
    """Training and held-out rows of every fold (or split)."""

    train: Sequence[np.ndarray]
    test: List[np.ndarray]
    foldid: Optional[np.ndarray]  # a label per row when every row is held out exactly once
    disjoint: bool  # no row is held out twice
    subjects: Optional[np.ndarray] = None  # a subject code per row, when groups were given


class _OtherRows(Sequence):
    """The training rows of generated folds, formed when asked for (fold k:
    every row whose code is not k), so that the K lists never exist at once."""

    def __init__(self, codes: np.ndarray, nfolds: int):
        self.codes, self.nfolds = codes, nfolds

    def __len__(self) -> int:
        return self.nfolds

    def __getitem__(self, k):
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(self.nfolds))]
        if not -self.nfolds <= k < self.nfolds:
            raise IndexError("fold index out of range")
        return np.flatnonzero(self.codes != k % self.nfolds)


def _check_foldid(foldid: Any, n: int) -> np.ndarray:
    fid = np.asarray(foldid)
    if fid.ndim != 1 or fid.shape[0] != n:
        raise ValueError(f"foldid must have shape ({n},), one fold label per row, got shape {fid.shape}")
    kind = fid.dtype.kind
    if kind == "f":
        if np.isnan(fid).any():
            raise ValueError("foldid contains NaN; every observation needs an integer fold label")
        if not (np.isfinite(fid).all() and (fid == np.round(fid)).all()):
            raise ValueError("foldid must hold integers, found values with a fractional part")
    elif kind not in "iu":
        raise TypeError(f"foldid must hold integers, got values of type {fid.dtype}")
    return fid


def make_folds(n: int, nfolds: Any, foldid: Any, seed: Any, y: np.ndarray,
                stratify: bool) -> Tuple[np.ndarray, np.ndarray]:
    """Return (foldid as given or drawn, fold codes 0..K-1)."""
    if foldid is not None:
        fid = _check_foldid(foldid, n)
        labels, codes = np.unique(fid, return_inverse=True)
        if labels.shape[0] < 2:
            raise ValueError("foldid must hold at least two distinct folds")
        return fid, codes.reshape(-1)
    if isinstance(nfolds, bool) or not isinstance(nfolds, (int, np.integer)):
        raise TypeError(f"nfolds must be an integer, got {nfolds!r}")
    nfolds = int(nfolds)
    if nfolds < 2:
        raise ValueError(f"nfolds must be at least 2, got {nfolds}")
    if n < nfolds:
        raise ValueError(f"nfolds={nfolds} is larger than the number of observations (n_samples={n})")
    rng = np.random.default_rng(seed)
    if stratify:
        order = np.concatenate([rng.permutation(np.flatnonzero(y == c)) for c in np.unique(y)])
    else:
        order = rng.permutation(n)
    codes = np.empty(n, dtype=np.intp)
    codes[order] = np.arange(n) % nfolds
    return codes.copy(), codes


def _split_rows(rows: Any, n: int, what: str) -> np.ndarray:
    arr = np.asarray(rows)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be a 1-D array of row indices or a boolean mask, got shape {arr.shape}")
    if arr.dtype.kind == "b":
        if arr.shape[0] != n:
            raise ValueError(f"{what}: a boolean mask needs {n} entries, got {arr.shape[0]}")
        return np.flatnonzero(arr)
    if arr.size == 0:
        return np.empty(0, dtype=np.intp)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integer row indices, got values of type {arr.dtype}")
    if arr.min() < 0 or arr.max() >= n:
        raise ValueError(f"{what} holds row indices outside [0, {n})")
    return arr.astype(np.intp, copy=False)


def check_splits(splits: Any, n: int, what: str = "splits") -> Folds:
    """Explicit (train, test) splits; a row may be held out in none, one or
    several of them.  ``what`` names the argument in errors."""
    if isinstance(splits, (str, bytes)) or not isinstance(splits, Iterable):
        raise TypeError(f"{what} must be an iterable of (train, test) pairs, got {splits!r}")
    train, test = [], []
    for k, split in enumerate(splits):
        try:
            tr, te = split
        except (TypeError, ValueError):
            raise ValueError(f"{what}[{k}] must be a (train, test) pair of row indices") from None
        tr, te = _split_rows(tr, n, f"{what}[{k}] train"), _split_rows(te, n, f"{what}[{k}] test")
        if tr.size == 0 or te.size == 0:
            raise ValueError(f"{what}[{k}] has an empty {'training' if tr.size == 0 else 'test'} set")
        train.append(tr)
        test.append(te)
    if not train:
        raise ValueError(f"{what} holds no (train, test) pair")
    held = np.zeros(n, dtype=np.intp)
    for te in test:
        np.add.at(held, te, 1)
    foldid = None
    if (held == 1).all():
        foldid = np.empty(n, dtype=np.intp)
        for k, te in enumerate(test):
            foldid[te] = k
    return Folds(train, test, foldid, bool(held.max() <= 1))


def label_codes(labels: Any, n: int, what: str) -> Tuple[np.ndarray, np.ndarray]:
    """(codes, labels): one label per row (any hashable values) coded 0, 1,
    ... in sorted order of the labels (by first appearance when they do not
    sort); a missing label is a ValueError naming ``what`` and its row."""
    from . import _convert

    arr = np.asarray(labels.to_numpy() if hasattr(labels, "to_numpy") else labels)
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"{what} must have shape ({n},), one label per row, got shape {arr.shape}")
    _convert.check_missing(arr, what)
    try:
        distinct, codes = np.unique(arr, return_inverse=True)
    except TypeError:  # labels of mixed types
        first: dict = {}
        codes = np.array([first.setdefault(v, len(first)) for v in arr.tolist()], dtype=np.intp)
        distinct = np.array(list(first), dtype=object)
    return codes.reshape(-1), distinct


def group_folds(subjects: np.ndarray, nfolds: Any, seed: Any, y: np.ndarray,
                stratify: bool) -> Tuple[np.ndarray, np.ndarray]:
    """(foldid, codes) of random folds that keep each subject (a code per
    row, 0 .. S-1) in one fold: the subjects are dealt to the folds, by the
    largest label of their rows when stratifying."""
    if isinstance(nfolds, bool) or not isinstance(nfolds, (int, np.integer)):
        raise TypeError(f"nfolds must be an integer, got {nfolds!r}")
    nfolds, count = int(nfolds), int(subjects.max()) + 1
    if nfolds < 2:
        raise ValueError(f"nfolds must be at least 2, got {nfolds}")
    if count < nfolds:
        raise ValueError(f"nfolds={nfolds} is larger than the number of groups in groups ({count}); "
                         "give fewer folds")
    labels = None
    if stratify:
        labels = np.full(count, -np.inf)
        np.maximum.at(labels, subjects, np.asarray(y, dtype=np.float64))
    _, subject_fold = make_folds(count, nfolds, None, seed, labels, stratify)
    codes = subject_fold[subjects]
    return codes.copy(), codes


def folds(n: int, nfolds: Any, foldid: Any, splits: Any, seed: Any, y: np.ndarray,
          stratify: bool, *, groups: Optional[np.ndarray] = None,
          several_rows: bool = False) -> Folds:
    """The folds of a cross-validation: explicit ``splits``, fold labels
    ``foldid``, or drawn at random, keeping the rows of each subject of
    ``groups`` (a code per row) in one fold.  ``several_rows`` (a subject
    may have several rows) warns when folds are drawn without groups."""
    if groups is not None:
        if foldid is not None or splits is not None:
            raise ValueError(f"groups draw the folds; they cannot be combined with "
                             f"{'foldid' if foldid is not None else 'splits'}: give either groups "
                             f"(and nfolds) or {'foldid' if foldid is not None else 'splits'}")
        fid, codes = group_folds(groups, nfolds, seed, y, stratify)
        K = int(codes.max()) + 1
        return Folds(_OtherRows(codes, K), [np.flatnonzero(codes == k) for k in range(K)], fid,
                     True, groups)
    if splits is not None:
        if foldid is not None:
            raise ValueError("give either foldid or splits, not both")
        return check_splits(splits, n)
    if several_rows and foldid is None:
        warnings.warn("the folds are drawn row by row, but a subject may have several rows (start, "
                      "stop] here, so that its rows may be split between folds: give groups (a "
                      "subject label per row; to an estimator, with a group splitter such as "
                      "GroupKFold) to keep each subject in one fold",
                      SubjectSplitWarning, stacklevel=4)
    fid, codes = make_folds(n, nfolds, foldid, seed, y, stratify)
    K = int(codes.max()) + 1
    return Folds(_OtherRows(codes, K), [np.flatnonzero(codes == k) for k in range(K)], fid, True)
