"""The folds of a Dask collection, from per-fold statistics.

One pass forms every fold's statistics (on each block, those of the block's
rows of each fold; merged by a tree reduction, so that a task holds its
chunk and O(folds x p^2)).  Least squares (of one response or several)
fits the full path and every fold from them and scores the folds from them
too: the whole cross-validation is that one pass.  A reweighting family fits its folds at the same time, one
thread each: a pass over the blocks starts once every fold still fitting
has asked for its next reweighting step, and serves them all (each block
sums, for each fold, the family's per-row maths on its training rows); a
last pass scores the held-out rows of every fold at every lambda.
"""

from __future__ import annotations

import threading
from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np

from .. import _errors, _fit
from ..families import Family, get_family
from . import _blocks, _sparse_blocks
from . import _sums as bs
from ._statistics import STATISTICS_MEASURES


def draw_folds(y: np.ndarray, nfolds: int, seed: int, stratify: bool, block_id=None) -> np.ndarray:
    """The fold codes of one block's rows, balanced within the block (by
    class when stratifying), from the seed and the block's position."""
    rng = np.random.default_rng([seed, block_id[0]])
    n = y.shape[0]
    order = (np.concatenate([rng.permutation(np.flatnonzero(y == c)) for c in np.unique(y)])
             if stratify else rng.permutation(n))
    codes = np.empty(n, dtype=np.float64)
    codes[order] = (np.arange(n) + rng.integers(nfolds)) % nfolds
    return codes


def fold_codes(data: "_blocks.DaskData", nfolds: Any, foldid: Any, seed: Any):
    """(fold codes chunked like the rows, number of folds, the fold labels as
    given or drawn)."""
    import dask.array as da

    n = data.X.shape[0]
    if foldid is not None:
        fid = _blocks._rows_like(foldid, "foldid", data.X.chunks[0], (n,))
        labels = np.unique(np.asarray(da.unique(fid).compute()))
        if not np.isfinite(labels).all() or (labels != np.round(labels)).any():
            raise ValueError("foldid must hold integer fold labels (no NaN, no fractions)")
        if labels.shape[0] < 2:
            raise ValueError("foldid must hold at least two distinct folds")
        codes = fid.map_blocks(lambda b: np.searchsorted(labels, b).astype(np.float64),
                               dtype=np.float64)
        return codes, labels.shape[0], fid
    if isinstance(nfolds, bool) or not isinstance(nfolds, (int, np.integer)) or nfolds < 2:
        raise ValueError(f"nfolds must be an integer of at least 2, got {nfolds!r}")
    seed = int(np.random.default_rng(seed).integers(2**62)) if not isinstance(seed, (int, np.integer)) \
        else int(seed)
    rows = data.y if data.y.ndim == 1 else data.y[:, 0]  # K responses: one code per row
    codes = rows.map_blocks(draw_folds, int(nfolds), seed, data.family.has_classes,
                            dtype=np.float64)
    return codes, int(nfolds), codes


def block_fold_moments(x, y, w, o, fid, start, centre, family, classes, products, K, sparse=False):
    """A block's statistics of each fold's rows (a list of K), or K times
    the block's problem (see _blocks.block_problem)."""
    problem = _blocks.block_problem(x, y, w, o, family, start, sparse)
    if problem is not None:
        return [{"problem": problem}] * K
    out = []
    for k in range(K):
        rows = fid == k
        out.append(_blocks.block_moments(x[rows], y[rows], None if w is None else w[rows],
                                       None if o is None else o[rows], start, centre, family,
                                       classes, products, checked=True, sparse=sparse))
    return out


def merge_folds(*parts: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    return [_blocks.merged(*fold) for fold in zip(*parts)]


def pass_folds(x, y, w, o, fid, start, requests: Dict[int, Dict[str, Any]]):
    """Each fold's sums of a pass on its training rows of the block."""
    w = np.ones(np.shape(x)[0]) if w is None else w
    return {k: _blocks.pass_block(x, y, np.where(fid == k, 0.0, w), o, start, req)
            for k, req in requests.items()}


def add_folds(*parts: Dict[int, Dict[str, Any]]) -> Dict[int, Dict[str, Any]]:
    return {k: _blocks.add(*(p[k] for p in parts)) for k in parts[0]}


def score_folds(x, y, w, o, fid, start, fits, family: Family, classes, measure: str):
    """Each fold's weighted sum of losses on its held-out rows of the block
    at every lambda (K x L; ``fits``: the folds' (k, (coefs, intercepts)))."""
    w = np.ones(np.shape(x)[0]) if w is None else w
    out = np.zeros((len(fits), fits[0][1][0].shape[-1]))
    for i, (k, (coefs, a0)) in enumerate(fits):
        rows = fid == k
        if not rows.any():
            continue
        eta = _fit.linear_predictor(x[rows], coefs, a0)
        if o is not None:
            eta = eta + o[rows][..., None]
        out[i] = w[rows] @ family.losses(y[rows], eta, measure)
    return out


class FoldBatcher:
    """The passes of several fold fits run together: a pass starts when
    every fold still fitting has asked for one, and serves them all."""

    def __init__(self, run: Callable[[Dict[int, Any]], Dict[int, Any]], folds: Sequence[int]):
        self._run = run
        self._cond = threading.Condition()
        self._live = set(folds)
        self._pending: Dict[int, Any] = {}
        self._results: Dict[int, Any] = {}
        self._error: Optional[BaseException] = None
        self._running = False

    def source(self, k: int) -> Callable[[Dict[str, Any]], Dict[str, Any]]:
        return lambda request: self._ask(k, request)

    def finish(self, k: int) -> None:
        with self._cond:
            self._live.discard(k)
            self._launch()

    def fail(self, error: BaseException) -> None:
        with self._cond:
            self._error = self._error or error
            self._cond.notify_all()

    def _ask(self, k: int, request: Dict[str, Any]) -> Dict[str, Any]:
        with self._cond:
            self._pending[k] = request
            self._launch()
            while k not in self._results:
                if self._error is not None:
                    raise RuntimeError("another fold's fit failed") from self._error
                self._cond.wait()
            return self._results.pop(k)

    def _launch(self) -> None:
        # with the lock held; the pass itself runs without it
        if self._running or not self._pending or not set(self._pending) >= self._live:
            return
        batch, self._pending, self._running = self._pending, {}, True
        self._cond.release()
        try:
            out, error = self._run(batch), None
        except BaseException as exc:
            out, error = {}, exc
        finally:
            self._cond.acquire()
        self._running = False
        self._results.update(out)
        self._error = self._error or error
        self._cond.notify_all()


class DaskFolds:
    """The folds of a Dask collection (``blocks``, a _blocks.Blocks, counts
    the passes): each fold's held-out statistics from one pass, a fold's
    training statistics the whole's minus its own."""

    def __init__(self, blocks: Any, codes: Any, K: int):
        import dask
        from dask import delayed

        data = blocks.data
        self.owner, self.data, self.K = blocks, data, K
        self.fit = blocks.fit
        self.blocks = data.blocks(codes)
        self.least_squares = data.from_products
        self.classes = blocks.classes_count
        centre = _blocks.centres(data, self.least_squares)
        parts = [delayed(block_fold_moments)(x, y, w, o, f, start, centre, data.family,
                                             self.classes, self.least_squares, K, data.sparse)
                 for x, y, w, o, f, start in self.blocks]
        (self.heldout,) = dask.compute(_blocks.tree(parts, merge_folds))
        blocks.npasses_data += 1
        _blocks.raise_problem(self.heldout[0])
        self.total = bs.merge(*self.heldout)
        if not self.total["weight"] > 0:
            raise ValueError("weights are all zero: at least one weight must be positive")

    @property
    def fold_weights(self) -> np.ndarray:
        return np.array([s["weight"] for s in self.heldout])

    @property
    def training_weights(self) -> np.ndarray:
        return self.total["weight"] - self.fold_weights

    def train(self, k: int) -> Dict[str, Any]:
        """Fold k's training statistics."""
        others = self.heldout[:k] + self.heldout[k + 1:]
        train = bs.subtract(self.total, self.heldout[k], others)
        if self.classes:
            train["class_weights"] = self.total["class_weights"] - self.heldout[k]["class_weights"]
        return train

    def _run_passes(self, requests: Dict[int, Dict[str, Any]]) -> Dict[int, Dict[str, Any]]:
        import dask
        from dask import delayed

        parts = [delayed(pass_folds)(x, y, w, o, f, start, requests)
                 for x, y, w, o, f, start in self.blocks]
        self.owner.npasses_data += 1
        sums = dask.compute(_blocks.tree(parts, add_folds))[0]
        if self.data.sparse:  # the blocks' raw sums, centred and scaled
            sums = {k: _sparse_blocks.finish(v, requests[k]) for k, v in sums.items()}
        return sums

    def fit_folds(self, ks: Sequence[int], options: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
        """The fits of folds ``ks`` (every fold of a mix): from statistics
        alone for least squares, else at the same time, one thread each,
        their passes batched; the first fold's error is raised."""
        family = self.data.family
        if self.least_squares:
            fits = []
            for k, so in zip(ks, options):
                try:
                    fits.append(_blocks.statistics_fit(self.train(k), family, so))
                except ValueError as exc:
                    raise _errors.in_fold(exc, k) from None
            return fits
        batcher = FoldBatcher(self._run_passes, ks)
        results: Dict[int, Any] = {}

        def work(k: int, so: Dict[str, Any]) -> None:
            try:
                results[k] = _blocks.statistics_fit(self.train(k), family, so,
                                                  batcher.source(k), self.classes, self.data.sparse)
            except BaseException as exc:  # every fold stops; the first error is raised
                results[k] = exc
                batcher.fail(exc)
            finally:
                batcher.finish(k)

        threads = [threading.Thread(target=work, args=(k, so), daemon=True)
                   for k, so in zip(ks, options)]
        for t in threads:
            t.start()
        try:
            for t in threads:
                while t.is_alive():
                    t.join(0.1)
        except BaseException as exc:  # Ctrl-C: the folds stop at their next pass
            batcher.fail(exc)
            raise
        errors = [(k, results[k]) for k in ks if isinstance(results[k], BaseException)]
        k, first = next(((k, e) for k, e in errors if not isinstance(e, RuntimeError)),
                        errors[0] if errors else (None, None))
        if isinstance(first, ValueError):
            raise _errors.in_fold(first, k) from None
        if first is not None:
            raise first
        return [results[k] for k in ks]

    def scores(self, ks: Sequence[int], fits: Sequence[tuple], measure: str) -> np.ndarray:
        if self.least_squares and measure in STATISTICS_MEASURES:
            # per response; the deviance sums over the responses, "mse" averages
            errors = [bs.heldout_squared_errors(self.heldout[k], c, a) for k, (c, a) in zip(ks, fits)]
            return np.array([e.sum(0) if measure == "deviance" else e.mean(0) for e in errors])
        import dask
        from dask import delayed

        parts = [delayed(score_folds)(x, y, w, o, f, start, list(zip(ks, fits)), self.data.family,
                                      self.data.classes, measure)
                 for x, y, w, o, f, start in self.blocks]
        self.owner.npasses_data += 1
        (sums,) = dask.compute(_blocks.tree(parts, lambda *a: sum(a)))
        with np.errstate(invalid="ignore", divide="ignore"):
            return sums / self.fold_weights[list(ks), None]


def for_estimator(kind: Any, est: Any, X: Any, y: Any, sample_weight: Any, offset: Any) -> Any:
    """A scikit-learn estimator's source of Dask rows (``kind``:
    _blocks.Blocks), its classes and features set on the estimator."""
    if get_family(est._family).has_classes:  # a classifier: its labels first
        import dask.array as da

        labels = _blocks._as_array(y, "y") if _blocks.is_dask(y) else np.asarray(y)
        est.classes_ = np.unique(np.asarray(da.unique(labels).compute()) if _blocks.is_dask(labels)
                                 else labels)
        if len(est.classes_) < 2:
            raise ValueError("the classifier needs at least two classes in y, found "
                             f"{len(est.classes_)} class")
    family = get_family(est._fit_family())
    family.check_measure(est.measure)
    source = kind.prepare(X, y, family, est._path_options(sample_weight), offset)
    est.n_features_in_ = source.data.X.shape[1]
    return source
