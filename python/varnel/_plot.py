"""Drawing paths and cross-validation curves (matplotlib is imported here only)."""

from __future__ import annotations

from typing import Any

import numpy as np

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


def plot_path(path: Any, xvar: str = "lambda", ax: Any = None, label: bool = False):
    if xvar not in _XVARS:
        raise ValueError(f"xvar must be one of {_XVARS}, got {xvar!r}")
    if path.n_lambdas == 0:
        raise ValueError("this path holds no solution")
    ax = _axes(ax)
    coefs = path.coefs
    ylabel = "Coefficients"
    if coefs.ndim == 3:  # multinomial: one curve per variable, its norm over the classes
        coefs = np.sqrt((coefs ** 2).sum(axis=1))
        ylabel = "Coefficient norm over the classes"
    if xvar == "lambda":
        with np.errstate(divide="ignore"):
            x = np.log(path.lambdas)
        if not np.isfinite(x).all():  # a user lambda of 0
            x = np.where(np.isfinite(x), x, np.nanmin(x[np.isfinite(x)]) - 1 if np.isfinite(x).any() else 0)
        xlabel = "log(Lambda)"
    elif xvar == "norm":
        x = np.abs(coefs).sum(axis=0)
        xlabel = "L1 norm"
    else:
        x = path.dev_ratio
        xlabel = "Fraction of deviance explained"
    names = path.feature_names or [str(j) for j in range(path.n_features)]
    active = np.flatnonzero(np.any(coefs != 0, axis=1))
    for j in active:
        ax.plot(x, coefs[j], lw=1.2, label=names[j])
        if label:
            end = int(np.argmax(x)) if xvar != "lambda" else int(np.argmin(x))
            ax.annotate(names[j], (x[end], coefs[j, end]), fontsize="small",
                        xytext=(3, 0), textcoords="offset points", va="center")
    ax.axhline(0.0, color="0.6", lw=0.6, zorder=0)
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
    ax.errorbar(x, cvp.cvm, yerr=cvp.cvsd, fmt="o", ms=3, color="tab:red",
                ecolor="0.6", elinewidth=1, capsize=2)
    ax.axvline(np.log(cvp.lambda_min), ls="--", color="0.3", lw=1,
               label=f"lambda_min = {cvp.lambda_min:.4g}")
    ax.axvline(np.log(cvp.lambda_1se), ls=":", color="0.3", lw=1,
               label=f"lambda_1se = {cvp.lambda_1se:.4g}")
    ax.set_xlabel("log(Lambda)")
    ax.set_ylabel(cvp.path.family_instance.measure_label(cvp.measure))
    ax.legend(loc="best", fontsize="small")
    _top_axis(ax, x, cvp.nzero, "Non-zero coefficients")
    return ax
