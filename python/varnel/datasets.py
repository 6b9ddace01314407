"""The small data set bundled with varnel.

``data/demo.csv`` is synthetic: :func:`make_demo` wrote it (with the default
arguments, values rounded to 4 decimals).  It has 120 observations of 12
features ``x1`` ... ``x12`` drawn from a multivariate normal distribution with
correlation ``0.5 ** |i - j|`` between ``x_i`` and ``x_j``, and a response

    y = 1 + 3 x1 - 2 x2 + 1.5 x5 + x8 + e,   e ~ N(0, 1.5^2),

so four of the twelve features matter.  It is in the public domain.
"""

from __future__ import annotations

import csv
import io
from importlib import resources
from typing import List, NamedTuple, Optional, Sequence, Union

import numpy as np

__all__ = ["CellError", "Dataset", "load_demo", "make_demo", "read_csv"]

#: Coefficients of the demo response (1-based feature numbers).
DEMO_COEFS = {1: 3.0, 2: -2.0, 5: 1.5, 8: 1.0}
DEMO_INTERCEPT = 1.0
DEMO_NOISE_SD = 1.5


class Dataset(NamedTuple):
    """Features, response and their names."""

    X: np.ndarray
    y: np.ndarray
    feature_names: List[str]
    target_name: str


def make_demo(n: int = 120, p: int = 12, rho: float = 0.5, seed: int = 20240611) -> Dataset:
    """Draw the demo data (see the module documentation)."""
    rng = np.random.default_rng(seed)
    idx = np.arange(p)
    cov = rho ** np.abs(idx[:, None] - idx[None, :])
    X = rng.standard_normal((n, p)) @ np.linalg.cholesky(cov).T
    beta = np.zeros(p)
    for j, b in DEMO_COEFS.items():
        beta[j - 1] = b
    y = DEMO_INTERCEPT + X @ beta + DEMO_NOISE_SD * rng.standard_normal(n)
    return Dataset(X, y, [f"x{j + 1}" for j in range(p)], "y")


def write_csv(data: Dataset, stream, decimals: int = 4) -> None:
    """Write a data set as CSV, target last."""
    w = csv.writer(stream, lineterminator="\n")
    w.writerow([*data.feature_names, data.target_name])
    for row, t in zip(data.X, data.y):
        w.writerow([f"{v:.{decimals}f}" for v in row] + [f"{t:.{decimals}f}"])


#: Cells of a numeric column read as a missing value (any case).
MISSING = frozenset({"", "na", "n/a", "nan", "null", "none", "?"})


class CellError(ValueError):
    """A cell of a CSV file that cannot be read: where it is, what it holds,
    and whether it is a missing value."""

    def __init__(self, line: int, column: str, cell: str, missing: bool):
        what = "missing value" if missing else "not a number"
        super().__init__(f"line {line}, column {column!r}: {what}: {cell!r}")
        self.line, self.column, self.cell, self.missing = line, column, cell, missing


def read_csv(stream, target: Union[str, Sequence[str]], *, numeric_target: bool = True,
             delimiter: str = ",", drop: Sequence[str] = ()) -> Dataset:
    """Read a CSV file with a header row; every column but the target(s) and
    those in ``drop`` is a numeric feature.  ``target`` names one column (y
    of shape (n,)) or several (y of shape (n, k), their names joined by
    commas in ``target_name``).  With ``numeric_target=False`` the target
    column is kept as text (class labels).  A cell that cannot be read
    raises :class:`CellError`."""
    targets = [target] if isinstance(target, str) else list(target)
    reader = csv.reader(stream, delimiter=delimiter)
    try:
        header = [h.strip() for h in next(reader)]
    except StopIteration:
        raise ValueError("the CSV file is empty") from None
    for name in [*targets, *drop]:
        if name not in header:
            raise ValueError(f"no column named {name!r}; the columns are {', '.join(header)}")
    for name in targets:
        if name in drop:
            raise ValueError(f"the target {name!r} cannot be dropped")
    t = [header.index(name) for name in targets]
    keep = [i for i, h in enumerate(header) if i not in t and h not in drop]
    if not keep:
        raise ValueError("the CSV file has no feature column besides the target")
    rows: List[List[float]] = []
    ys: list = []
    for line, rec in enumerate(reader, start=2):
        if not rec or all(not c.strip() for c in rec):
            continue
        if len(rec) != len(header):
            raise ValueError(f"line {line}: expected {len(header)} fields, found {len(rec)}")
        rows.append([_number(rec[i], line, header[i]) for i in keep])
        ys.append([_target(rec[i].strip(), line, header[i], numeric_target) for i in t])
    if not rows:
        raise ValueError("the CSV file has no data rows")
    X = np.asarray(rows, dtype=np.float64)
    y = np.asarray(ys, dtype=np.float64 if numeric_target else object)
    return Dataset(X, y[:, 0] if isinstance(target, str) else y, [header[i] for i in keep],
                   ",".join(targets))


def _target(cell: str, line: int, column: str, numeric: bool) -> object:
    if numeric:
        return _number(cell, line, column)
    if not cell:  # any other text is a label ("none" may well be one)
        raise CellError(line, column, cell, missing=True)
    return cell


def _number(cell: str, line: int, column: str) -> float:
    text = cell.strip()
    try:
        value = float(text)
    except ValueError:
        raise CellError(line, column, cell, missing=text.lower() in MISSING) from None
    if value != value:  # "nan" reads as a number but stands for a missing one
        raise CellError(line, column, cell, missing=True)
    return value


def load_demo(as_frame: bool = False):
    """Load the bundled demo data.

    Parameters
    ----------
    as_frame : bool, default False
        Return a pandas DataFrame (features and ``y``) instead.

    Returns
    -------
    Dataset or pandas.DataFrame
        ``Dataset(X, y, feature_names, target_name)`` with X of shape (120, 12).

    Examples
    --------
    >>> import varnel
    >>> data = varnel.load_demo()
    >>> data.X.shape, data.feature_names[:3], data.target_name
    ((120, 12), ['x1', 'x2', 'x3'], 'y')
    """
    text = resources.files("varnel").joinpath("data", "demo.csv").read_text(encoding="utf-8")
    data = read_csv(io.StringIO(text), "y")
    if as_frame:
        import pandas as pd

        frame = pd.DataFrame(data.X, columns=data.feature_names)
        frame[data.target_name] = data.y
        return frame
    return data


def _main(path: Optional[str] = None) -> None:  # pragma: no cover - regenerates the file
    import sys

    out = open(path, "w", encoding="utf-8", newline="") if path else sys.stdout
    write_csv(make_demo(), out)


if __name__ == "__main__":  # pragma: no cover
    import sys

    _main(sys.argv[1] if len(sys.argv) > 1 else None)
