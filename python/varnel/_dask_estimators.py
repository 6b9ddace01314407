"""The scikit-learn estimators on Dask collections: the same objective and
parametrisation as in memory, every fit from statistics (see _dask and
_dask_cv); the predictions of a Dask X are Dask arrays."""

from __future__ import annotations

import numbers
from typing import Any, Dict, List

import numpy as np

from . import _dask, _dask_cv, _cv_statistics, _fit
from .cv import summarise_folds
from .families import get_family


def _response_moments(stats: Dict[str, Any]):
    """The weighted mean and variance of the response column."""
    W, d, sq, c = stats["weight"], stats["deviations"][-1], stats["squares"][-1], stats["centre"][-1]
    return c + d / W, max((sq - d * d / W) / W, 0.0)


def fit_dask(est: Any, mixes: List[float], X: Any, y: Any, sample_weight: Any, offset: Any,
             groups: Any, category: type):
    """est.fit on Dask collections (``category``: the warnings' class)."""
    cv = 5 if est.cv is None else est.cv
    if groups is not None or not isinstance(cv, numbers.Integral):
        raise ValueError("on a Dask array, cv must be a number of folds (drawn block by block "
                         "from random_state); splitters and groups need the rows in memory")
    if get_family(est._family).has_classes:  # a classifier: its labels first
        import dask.array as da

        labels = _dask._as_array(y, "y") if _dask.is_dask(y) else np.asarray(y)
        est.classes_ = np.unique(np.asarray(da.unique(labels).compute()) if _dask.is_dask(labels)
                                 else labels)
        if len(est.classes_) < 2:
            raise ValueError("the classifier needs at least two classes in y, found "
                             f"{len(est.classes_)} class")
    family = get_family(est._fit_family())
    family.check_measure(est.measure)
    data, so = _dask.prepare(X, y, family, est._path_options(sample_weight), offset)
    family = data.family  # configured by the estimator's family options (standardize_response)
    est.n_features_in_ = data.X.shape[1]
    a = None if est.alpha is None else float(est.alpha)
    validate = a is None or len(mixes) > 1
    if validate:
        codes, K, labels = _dask_cv.fold_codes(data, int(cv), None, _seed(est.random_state))
        source = _dask_cv.DaskFolds(data, codes, K)
        stats = source.total
    else:
        stats = _dask.moments(data)
    scale = family.response_scale_of_moments(*_response_moments(stats), est.fit_intercept)
    maps = [family.penalty_map(r, scale) for r in mixes]
    mix_options = est._mix_options(so, maps, a)
    if validate:
        def fold_options(m: int, k: int, fso: Dict[str, Any]) -> Dict[str, Any]:
            s = family.response_scale_of_moments(*_response_moments(source._train(k)),
                                                 est.fit_intercept)
            fold = family.penalty_map(mixes[m], s)
            return dict(fso, alpha=fold.mix,
                        user_lambda=fso["user_lambda"] * (fold.factor / maps[m].factor))

        scores = _cv_statistics.cross_validate(source, data, est.measure, mix_options,
                                               fold_options, category, 4, {"maxit": "max_iter"})
        cvp = summarise_folds(scores, est.measure, labels)
        m = int(np.flatnonzero(cvp.alphas == cvp.alpha)[0])
        return est._finish(cvp.path, getattr(cvp, est.select), mixes[m], maps[m], a, cvp)
    so = mix_options[0]
    classes = len(data.classes) if family.groups_coefficients else 0
    source = None if family.fits_from_products else _dask.Passes(data)
    res = _dask.statistics_fit(stats, family, so, source, classes)
    path, lam = est._one_penalty(_fit.decode(res, so, with_iterate=True), data, so, 4)
    path.npasses_data = int(res["npasses_data"]) + 1
    return est._finish(path, lam, mixes[0], maps[0], a, None)


def _seed(random_state: Any) -> Any:
    if random_state is None or isinstance(random_state, (numbers.Integral, np.random.Generator)):
        return random_state
    return int(random_state.randint(np.iinfo(np.int32).max))
