"""Drawing paths and cross-validation curves (matplotlib is imported here only)."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _coefs

_XVARS = ("lambda", "norm", "dev")


def _axes(ax: Any):
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib (pip install 'varnel[plot]')") from None
    _, ax = plt.subplots()
    return ax


def _top_axis(ax: Any, x: np.ndarray, counts: np.ndarray, label: str) -> None:
    """A top axis giving ``counts`` (number of non-zero coefficients) at the
    bottom axis' ticks, read from the nearest fitted point."""
    lo, hi = ax.get_xlim()
    ticks = [t for t in ax.get_xticks() if min(lo, hi) <= t <= max(lo, hi)]
    top = ax.secondary_xaxis("top")
    labels = [str(int(counts[int(np.argmin(np.abs(x - t)))])) for t in ticks]
    top.set_xticks(ticks)
    top.set_xticklabels(labels)
    top.set_xlabel(label)


LABEL_SIZE = "small"
#: the height a label takes, in multiples of its font size
LABEL_LINE = 1.2


def spread(ends: np.ndarray, gap: float) -> np.ndarray:
    """Heights for labels of lines ending at ``ends``: in the same order, at
    least ``gap`` apart, and as close to the ends as that allows (least
    squares).  With ``z_i = h_i - i * gap`` over the sorted ends the gaps
    ask for a non-decreasing z, the closest of which pools adjacent
    violators."""
    order = np.argsort(ends, kind="stable")
    target = ends[order] - gap * np.arange(ends.shape[0])
    means: list = []
    sizes: list = []
    for t in target:
        means.append(float(t))
        sizes.append(1)
        while len(means) > 1 and means[-2] > means[-1]:
            m, k = means.pop(), sizes.pop()
            means[-1] = (means[-1] * sizes[-1] + m * k) / (sizes[-1] + k)
            sizes[-1] += k
    fitted = np.repeat(means, sizes) + gap * np.arange(ends.shape[0])
    out = np.empty_like(fitted)
    out[order] = fitted
    return out


def _label_ends(ax: Any, x_end: float, ends: np.ndarray, names: list) -> None:
    """Write each name beside its line's end, moved up or down just enough
    that no two labels overlap."""
    from matplotlib.font_manager import FontProperties
    from matplotlib.transforms import offset_copy

    points = FontProperties(size=LABEL_SIZE).get_size_in_points()
    lo, hi = ax.get_ylim()
    height_px = ax.get_window_extent().height
    gap = LABEL_LINE * points * ax.figure.dpi / 72.0 * (hi - lo) / height_px if height_px > 0 else 0.0
    beside = offset_copy(ax.transData, fig=ax.figure, x=3, y=0, units="points")
    for name, y, h in zip(names, ends, spread(np.asarray(ends, dtype=np.float64), gap)):
        ax.annotate(name, (x_end, y), xytext=(x_end, h), textcoords=beside, fontsize=LABEL_SIZE,
                    va="center", ha="left", annotation_clip=False,
                    arrowprops=None if h == y else dict(arrowstyle="-", color="0.6", lw=0.5))


def _x_of(path: Any, xvar: str, l1_norm: np.ndarray):
    """The horizontal axis of a path plot and its label (``l1_norm``: the
    coefficients' L1 norm at each lambda, for xvar="norm")."""
    if xvar == "lambda":
        with np.errstate(divide="ignore"):
            x = np.log(path.lambdas)
        if not np.isfinite(x).all():  # a user lambda of 0
            x = np.where(np.isfinite(x), x, np.nanmin(x[np.isfinite(x)]) - 1 if np.isfinite(x).any() else 0)
        return x, "log(Lambda)"
    if xvar == "norm":
        return l1_norm, "L1 norm"
    return path.dev_ratio, "Fraction of deviance explained"


def plot_groups(path: Any, xvar: str = "lambda", ax: Any = None, label: bool = False):
    """One curve per group that enters the path: the Euclidean norm of its
    coefficients against xvar; the top axis counts the groups in the model."""
    if xvar not in _XVARS:
        raise ValueError(f"xvar must be one of {_XVARS}, got {xvar!r}")
    if path.n_lambdas == 0:
        raise ValueError("this path holds no solution")
    ax = _axes(ax)
    norms = path.group_norms()
    names = path.group_names if path.group_names is not None else \
        (path.feature_names or list(range(path.n_features)))
    names = [str(n) for n in names]
    shown = np.flatnonzero((norms > 0).any(axis=1))
    x, xlabel = _x_of(path, xvar, np.abs(_coefs.to_dense(path.coefs)).reshape(
        path.n_features, -1, path.n_lambdas).sum(axis=(0, 1)))
    for g in shown:
        ax.plot(x, norms[g], lw=1.2, label=names[g])
    if label and shown.size:
        end = int(np.argmax(x)) if xvar != "lambda" else int(np.argmin(x))
        _label_ends(ax, x[end], norms[shown, end], [names[g] for g in shown])
    ax.set_xlabel(xlabel)
    ax.set_ylabel("Group norm")
    if x.shape[0] > 1 and x.min() != x.max():
        ax.set_xlim(x.min(), x.max())
    _top_axis(ax, x, (norms > 0).sum(axis=0), "Groups in the model")
    return ax


def plot_path(path: Any, xvar: str = "lambda", ax: Any = None, label: bool = False):
    if xvar not in _XVARS:
        raise ValueError(f"xvar must be one of {_XVARS}, got {xvar!r}")
    if path.n_lambdas == 0:
        raise ValueError("this path holds no solution")
    ax = _axes(ax)
    # the curves of the variables non-zero somewhere, in either storage
    active, coefs = _coefs.active_rows(path.coefs)
    ylabel = "Coefficients"
    if coefs.ndim == 3:  # one curve per variable, its norm over the classes or responses
        coefs = np.sqrt((coefs ** 2).sum(axis=1))
        ylabel = f"Coefficient norm over the {path.family_instance.block_name}"
    x, xlabel = _x_of(path, xvar, np.abs(coefs).sum(axis=0))
    names = path.feature_names or [str(j) for j in range(path.n_features)]
    for i, j in enumerate(active):
        ax.plot(x, coefs[i], lw=1.2, label=names[j])
    ax.axhline(0.0, color="0.6", lw=0.6, zorder=0)
    if label and active.size:
        end = int(np.argmax(x)) if xvar != "lambda" else int(np.argmin(x))
        _label_ends(ax, x[end], coefs[:, end], [names[j] for j in active])
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    if x.shape[0] > 1 and x.min() != x.max():
        ax.set_xlim(x.min(), x.max())
    _top_axis(ax, x, path.df, "Non-zero coefficients")
    return ax


def plot_cv(cvp: Any, ax: Any = None):
    ax = _axes(ax)
    with np.errstate(divide="ignore"):
        x = np.log(cvp.lambdas)
    if cvp.blends is None:
        ax.errorbar(x, cvp.cvm, yerr=cvp.cvsd, fmt="o", ms=3, color="tab:red",
                    ecolor="0.6", elinewidth=1, capsize=2)
    else:  # one curve per blend of the penalized and the relaxed fits
        for b, cvm, cvsd in zip(cvp.blends, cvp.cvm_blends, cvp.cvsd_blends):
            ax.errorbar(x, cvm, yerr=cvsd, fmt="o-", ms=2, lw=1, elinewidth=0.6, capsize=1,
                        label=f"blend = {b:g}")
    ax.axvline(np.log(cvp.lambda_min), ls="--", color="0.3", lw=1,
               label=f"lambda_min = {cvp.lambda_min:.4g}")
    ax.axvline(np.log(cvp.lambda_1se), ls=":", color="0.3", lw=1,
               label=f"lambda_1se = {cvp.lambda_1se:.4g}")
    ax.set_xlabel("log(Lambda)")
    ax.set_ylabel(cvp.path.family_instance.measure_label(cvp.measure))
    ax.legend(loc="best", fontsize="small")
    _top_axis(ax, x, cvp.nzero, "Non-zero coefficients")
    return ax
