"""Progress of long fits: a bar over the lambdas (and folds), rows per
lambda, and the caller's callback after each solution.

The compiled solver calls a hook after each solution it stores (from the
thread that runs the fit, with the interpreter's lock taken back); a
:class:`Progress` turns those calls into a :class:`LambdaProgress` record,
shows it (``verbose``) and hands it to the caller's ``callback``.  The
calls of one fit come in the order of its lambdas; the folds of a
cross-validation fitted on several threads interleave theirs, one call at
a time (a lock serializes them, the bar and the rows).
"""

from __future__ import annotations

import sys
import threading
from numbers import Integral
from typing import Any, Callable, Dict, NamedTuple, Optional

__all__ = ["LambdaProgress", "Progress", "as_verbose", "as_callback", "hooked", "path_length",
           "HEADER", "FOLD_HEADER"]


class LambdaProgress(NamedTuple):
    """What a path reports after each of its solutions.

    Attributes
    ----------
    index : int
        The solution's index along the path (0 for the first lambda).
    lambda_ : float
        Its lambda (for a generated sequence's first solution, the largest
        lambda whose solution is all zero, as ``Path.lambdas[0]``).
    df : int
        The number of variables with a non-zero coefficient.
    dev_ratio : float
        The fraction of the null deviance explained.
    passes : int
        The coordinate-descent passes of the fit so far.
    fold : int or None
        The cross-validation fold being fitted (None for a path on all the
        data).

    Examples
    --------
    >>> import numpy as np, varnel
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((50, 4)); y = X[:, 0] + rng.standard_normal(50)
    >>> seen = []
    >>> path = varnel.fit_path(X, y, nlambda=5, callback=seen.append)
    >>> [r.index for r in seen] == list(range(path.n_lambdas))
    True
    >>> seen[-1].df == int((path.coefs[:, -1] != 0).sum())
    True
    """

    index: int
    lambda_: float
    df: int
    dev_ratio: float
    passes: int
    fold: Optional[int] = None


#: The header of the rows ``verbose=2`` prints for a path.
HEADER = f"{'index':>6} {'lambda':>12} {'df':>6} {'%dev':>7} {'passes':>8}"
#: The same for a cross-validation (its first column the fold, "all" for a
#: path on all the data).
FOLD_HEADER = f"{'fold':>5} " + HEADER


def row(record: LambdaProgress, folds: bool) -> str:
    """The row ``verbose=2`` prints for a record (with its fold first in a
    cross-validation).

    Examples
    --------
    >>> row(LambdaProgress(3, 0.125, 2, 0.5, 17), folds=False)
    '     3        0.125      2   50.00       17'
    """
    text = (f"{record.index:>6d} {record.lambda_:>12.6g} {record.df:>6d} "
            f"{100.0 * record.dev_ratio:>7.2f} {record.passes:>8d}")
    if not folds:
        return text
    fold = "all" if record.fold is None else str(record.fold)
    return f"{fold:>5} " + text


def hooked(so: Dict[str, Any], hook: Optional[Callable[..., bool]]) -> Dict[str, Any]:
    """Solver options ``so`` with the solver's hook after each solution
    (``so`` itself without one).

    Examples
    --------
    >>> hooked({"alpha": 1.0}, None)
    {'alpha': 1.0}
    """
    return so if hook is None else dict(so, callback=hook)


def path_length(so: Dict[str, Any]) -> int:
    """The lambdas a path of solver options ``so`` is asked for.

    Examples
    --------
    >>> path_length({"user_lambda": None, "nlambda": 100})
    100
    """
    lam = so.get("user_lambda")
    return int(so["nlambda"]) if lam is None else len(lam)


def as_verbose(verbose: Any, where: str) -> int:
    """``verbose`` as 0, 1 or 2 (False and True are 0 and 1); a TypeError
    or a ValueError naming it and ``where`` otherwise.

    Examples
    --------
    >>> as_verbose(True, "fit_path"), as_verbose(2, "fit_path")
    (1, 2)
    """
    if isinstance(verbose, bool):
        return int(verbose)
    if not isinstance(verbose, Integral):
        raise TypeError(f"verbose of {where} must be 0, 1 or 2 (or a bool), got "
                        f"{type(verbose).__name__}")
    if int(verbose) not in (0, 1, 2):
        raise ValueError(f"verbose of {where} must be 0 (silent), 1 (a progress bar) or 2 (a bar "
                         f"and a row per lambda), got {verbose!r}")
    return int(verbose)


def as_callback(callback: Any, where: str) -> Optional[Callable[[LambdaProgress], Any]]:
    """The callback, None or a callable (a TypeError naming ``where``).

    Examples
    --------
    >>> as_callback(None, "fit_path") is None
    True
    """
    if callback is not None and not callable(callback):
        raise TypeError(f"callback of {where} must be a callable taking a LambdaProgress record, "
                        f"got {type(callback).__name__}")
    return callback


class _Line:
    """One line on stderr that is written over (without tqdm)."""

    def __init__(self, total: int, desc: str):
        self.total, self.desc, self.n, self.width = total, desc, 0, 0
        self.file = sys.stderr

    def update(self, k: int) -> None:
        self.n = min(self.total, self.n + k)
        self._draw()

    def _draw(self) -> None:
        text = f"{self.desc}: {self.n}/{self.total} lambdas"
        self.file.write("\r" + text.ljust(self.width))
        self.file.flush()
        self.width = len(text)

    def write(self, text: str, file: Any = None) -> None:  # tqdm.write's signature
        self.file.write("\r" + text.ljust(self.width) + "\n")
        self._draw()

    def close(self) -> None:
        self.file.write("\n")
        self.file.flush()


def _bar(total: int, desc: str) -> Any:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return _Line(total, desc)
    return tqdm(total=total, desc=desc, unit="lambda", file=sys.stderr, leave=True)


class Progress:
    """The progress of one fit or cross-validation: ``total`` lambdas in
    all (over every path and fold), shown when ``verbose`` (1: a bar, 2:
    also a row per lambda), each solution handed to ``callback``.

    ``hook(fold)`` is the function the compiled solver calls after each
    solution of a path (None when there is nothing to do); ``done(n,
    length)`` counts a path of ``length`` lambdas that ended after ``n``;
    ``close()`` ends the bar.  Use it as a context manager.

    Examples
    --------
    >>> seen = []
    >>> with Progress(0, seen.append, total=2) as progress:
    ...     hook = progress.hook()
    ...     hook(0, 1.0, 0, 0.0, 1), hook(1, 0.5, 1, 0.3, 3)
    (True, True)
    >>> [r.df for r in seen]
    [0, 1]
    """

    def __init__(self, verbose: int, callback: Optional[Callable[[LambdaProgress], Any]], *,
                 total: int, desc: str = "path", folds: bool = False):
        self.verbose, self.callback, self.folds = verbose, callback, folds
        self.total, self.desc = total, desc
        self._lock = threading.Lock()
        self._bar: Any = None
        self._shown = 0

    @property
    def active(self) -> bool:
        return self.verbose > 0 or self.callback is not None

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, kind: Any, *exc: Any) -> None:
        self.close(complete=kind is None)

    def _started(self) -> Any:
        if self._bar is None and self.verbose:
            self._bar = _bar(self.total, self.desc)
            if self.verbose > 1:
                self._bar.write(FOLD_HEADER if self.folds else HEADER, file=sys.stderr)
        return self._bar

    def hook(self, fold: Optional[int] = None) -> Optional[Callable[..., bool]]:
        """The solver's hook for a path of fold ``fold`` (None: all the
        data): it returns whether the path goes on."""
        if not self.active:
            return None
        if not self.verbose:  # the callback alone: as little as possible per lambda
            callback, lock, new = self.callback, self._lock, tuple.__new__

            def told(index: int, lam: float, df: int, dev_ratio: float, passes: int) -> bool:
                with lock:
                    answer = callback(new(LambdaProgress, (index, lam, df, dev_ratio, passes, fold)))
                return answer is None or bool(answer)

            return told

        def solved(index: int, lam: float, df: int, dev_ratio: float, passes: int) -> bool:
            record = LambdaProgress(index, lam, df, dev_ratio, passes, fold)
            with self._lock:
                bar = self._started()
                if bar is not None:
                    if self.verbose > 1:
                        bar.write(row(record, self.folds), file=sys.stderr)
                    bar.update(1)
                    self._shown += 1
                if self.callback is None:
                    return True
                answer = self.callback(record)
            return answer is None or bool(answer)

        return solved

    def set_total(self, total: int) -> None:
        """The lambdas in all, once the paths' lengths are known."""
        with self._lock:
            self.total = total
            if self._bar is not None:
                self._bar.total = total
                if hasattr(self._bar, "refresh"):
                    self._bar.refresh()

    def done(self, n: int, length: int) -> None:
        """A path of ``length`` lambdas ended after ``n`` solutions: its
        remaining lambdas count as done."""
        if length > n and self.verbose:
            with self._lock:
                bar = self._started()
                bar.update(length - n)
                self._shown += length - n

    def close(self, complete: bool = True) -> None:
        """Ends the bar, full unless the fit failed (``complete`` False)."""
        with self._lock:
            if self._bar is not None:
                if complete and self._shown < self.total:
                    self._bar.update(self.total - self._shown)
                    self._shown = self.total
                self._bar.close()
                self._bar = None
