"""Categorical columns of a data frame: indicator columns and their level table.

A column of a pandas or polars data frame is categorical when its dtype is
pandas ``category``, ``string`` or ``object`` (an object column whose values
are all numbers stays numeric, as before), or polars ``Categorical``,
``Enum`` or ``String``.  Each such column becomes one indicator column per
level, named ``col[level]``; the numeric columns keep their names.  When a
data frame has a categorical column, the whole design is held column by
column (``_columns.ColumnDesign``): the numeric columns read where they are
(their non-zero entries when they hold a zero), each level the rows that
have it, without any dense n x levels block; new rows at prediction become
the same matrix in compressed sparse columns.

The levels of a pandas ``category`` or a polars ``Enum`` column are its
declared categories, in their declared order (an unused one gives a column
of zeros); the levels of any other categorical column are its distinct
values, sorted.  The :class:`Encoding` made at fit time re-encodes new rows
the same way at prediction.

A data frame with only numeric columns is not touched here: it goes through
``_convert.as_design`` as before.
"""

from __future__ import annotations

import numbers
from typing import Any, Dict, List, NamedTuple, Optional, Sequence

import numpy as np

from . import _convert as cv
from ._columns import ColumnDesign

__all__ = ["Options", "Encoding", "Encoded", "check_options", "encode", "OPTION_NAMES"]

#: How an unseen level at prediction is treated.
UNKNOWN = ("error", "zero")
#: How a missing value (None, NaN, NA, a polars null) is treated.
MISSING = ("error", "level")
#: The fit options of the conversion, with their defaults.
OPTION_NAMES = {"drop_first": False, "handle_unknown": "error", "missing": "error"}
#: The name of the level that stands for a missing value (``missing="level"``).
MISSING_LEVEL = "NA"


class Options(NamedTuple):
    """The options of the conversion, checked."""

    drop_first: bool = False
    handle_unknown: str = "error"
    missing: str = "error"


def check_options(drop_first: Any = False, handle_unknown: Any = "error",
                  missing: Any = "error") -> Options:
    """The checked options (a ValueError names a bad one).

    Examples
    --------
    >>> from varnel import _categorical
    >>> _categorical.check_options(drop_first=True).drop_first
    True
    """
    drop = cv.as_bool(drop_first, "drop_first")
    for name, value, allowed in (("handle_unknown", handle_unknown, UNKNOWN),
                                 ("missing", missing, MISSING)):
        if not isinstance(value, str) or value not in allowed:
            raise ValueError(f"{name} must be one of {allowed}, got {value!r}")
    return Options(drop, handle_unknown, missing)


# ---- recognising the columns -------------------------------------------------------
_POLARS_TEXT = ("Categorical", "Enum", "String", "Utf8")


def _is_polars(frame: Any) -> bool:
    return type(frame).__module__.split(".")[0] == "polars"


def _column(frame: Any, label: Any) -> Any:
    """One column of a data frame, by its label (unique: duplicate labels
    are refused first), as a series."""
    if _is_polars(frame):
        return frame.get_column(label)
    return frame[label]


def _values(series: Any) -> tuple:
    """A series' values as an object array and its missing mask."""
    if hasattr(series, "is_null"):  # polars
        return np.array(series.to_list(), dtype=object), series.is_null().to_numpy()
    return series.to_numpy(dtype=object), np.asarray(series.isna().to_numpy(), dtype=bool)


def _codes(series: Any, lookup: Dict[Any, int], n: int) -> tuple:
    """Each row's level position (-1 for none), the missing mask and the
    values (an object array, or for a pandas category a lazy view of them).
    A pandas category maps its own categories once; other columns look
    every value up."""
    cat = getattr(series, "cat", None)
    if cat is not None and hasattr(cat, "codes") and hasattr(series, "isna"):
        own = np.asarray(cat.codes.to_numpy(), dtype=np.int64)
        categories = list(cat.categories.tolist())
        remap = np.array([lookup.get(v, -1) for v in categories] + [-1], dtype=np.int64)
        return remap[own], own < 0, _CategoryValues(own, categories)
    values, missing = _values(series)
    return np.fromiter((lookup.get(v, -1) for v in values), dtype=np.int64, count=n), missing, values


class _CategoryValues:
    """The value of a row of a pandas category, from its codes."""

    def __init__(self, codes: np.ndarray, categories: List[Any]):
        self.codes, self.categories = codes, categories

    def __getitem__(self, row: int) -> Any:
        return self.categories[self.codes[row]]


def _declared_levels(series: Any) -> Optional[List[Any]]:
    """The declared categories of a pandas category or a polars Enum column."""
    dtype = series.dtype
    if type(dtype).__name__ == "Enum":
        return list(dtype.categories.to_list())
    if type(dtype).__name__ == "CategoricalDtype":
        return list(dtype.categories.to_list())
    return None


def _is_categorical(series: Any, dtype: Any) -> bool:
    if type(dtype).__name__ in _POLARS_TEXT:
        return True
    if type(dtype).__name__ in ("CategoricalDtype", "StringDtype"):
        return True
    if getattr(dtype, "kind", None) != "O":
        return False
    # an object column of numbers (and missing values) stays numeric
    return any(not isinstance(v, numbers.Real) and not cv._is_missing(v)
               for v in series.to_numpy(dtype=object))


def categorical_columns(frame: Any) -> List[bool]:
    """For each column of a data frame, whether it is categorical (all False
    for anything that is not a data frame)."""
    if not cv.is_dataframe(frame) or cv.is_sparse(frame):
        return []
    if _is_polars(frame):
        return [type(t).__name__ in _POLARS_TEXT for t in frame.dtypes]
    return [_is_categorical(frame.iloc[:, j], t) for j, t in enumerate(frame.dtypes)]


# ---- the level table ---------------------------------------------------------------
def _sorted_levels(values: np.ndarray, label: Any, what: str) -> List[Any]:
    distinct = set(values.tolist())
    try:
        return sorted(distinct)
    except TypeError:
        kinds = sorted({type(v).__name__ for v in distinct})
        raise ValueError(f"{what} column {label!r} mixes values of the types {kinds}, which have "
                         "no order; convert the column to one type (or to a pandas category "
                         "with the levels in the order you want)") from None


def _shown_level(level: Any) -> str:
    value = level.item() if isinstance(level, np.generic) else level
    return str(value)


class Encoding:
    """The level table of a data frame's columns, made at fit time, which
    encodes rows with the same columns into the fitted design.

    Attributes
    ----------
    columns : list
        The data frame's column labels, in order.
    levels : list of (list or None)
        Each column's levels (None for a numeric column); with
        ``missing="level"`` a column that had missing values at fit time
        has ``None`` as its last level.
    options : Options
        ``drop_first``, ``handle_unknown`` and ``missing``.
    names : list
        The names of the design's columns: a numeric column's label, or
        ``col[level]`` (``col[NA]`` for the missing level).
    source_of_column : ndarray of int
        For each column of the design, the position of the data frame's
        column it came from.

    Examples
    --------
    >>> import pandas as pd
    >>> from varnel import _categorical
    >>> df = pd.DataFrame({"x": [1.0, 2.0, 3.0], "c": pd.Categorical(["a", "b", "a"])})
    >>> enc = _categorical.encode(df, _categorical.Options())
    >>> enc.names
    ['x', 'c[a]', 'c[b]']
    >>> enc.X.toarray().tolist()
    [[1.0, 1.0, 0.0], [2.0, 0.0, 1.0], [3.0, 1.0, 0.0]]
    """

    def __init__(self, columns: Sequence[Any], levels: Sequence[Optional[List[Any]]],
                 options: Options):
        self.columns = list(columns)
        self.levels = [None if lv is None else list(lv) for lv in levels]
        self.options = options
        names: List[Any] = []
        source: List[int] = []
        for j, (label, lv) in enumerate(zip(self.columns, self.levels)):
            if lv is None:
                names.append(label)
                source.append(j)
                continue
            for level in self._kept(lv):
                shown = MISSING_LEVEL if level is None else _shown_level(level)
                names.append(f"{label}[{shown}]")
                source.append(j)
        self.names = names
        self.source_of_column = np.asarray(source, dtype=np.intp)

    def _kept(self, levels: List[Any]) -> List[Any]:
        """The levels that have a column (the first dropped with drop_first,
        never the missing level)."""
        first = 1 if self.options.drop_first and levels and levels[0] is not None else 0
        return levels[first:]

    @property
    def categories(self) -> Dict[Any, np.ndarray]:
        """Each categorical column's levels (the missing level as None), by
        column label."""
        return {c: np.array(lv, dtype=object) for c, lv in zip(self.columns, self.levels)
                if lv is not None}

    def by_indicator(self, value: Any, name: str) -> Any:
        """A per-feature setting (or ``exclude``) whose labels may name a
        categorical column: each such label stands for every indicator of
        that column.  Values without labels are returned as they are."""
        groups = {c: [n for n, j in zip(self.names, self.source_of_column) if j == k]
                  for k, (c, lv) in enumerate(zip(self.columns, self.levels)) if lv is not None}
        if name == "exclude":
            if value is None:
                return None
            if isinstance(value, str) or not hasattr(value, "__iter__") or np.ndim(value) == 0:
                value = [value]
            out: List[Any] = []
            for item in value:
                out.extend(groups[item] if cv._hashable(item) and item in groups
                           and item not in self.names else [item])
            return out
        labels = cv._labels_of(value)
        if labels is None or not any(cv._hashable(c) and c in groups and c not in self.names
                                     for c in labels):
            return value
        values = list(cv._labelled_values(value))
        out_map: Dict[Any, Any] = {}
        for label, v in zip(labels, values):
            if cv._hashable(label) and label in groups and label not in self.names:
                for indicator in groups[label]:
                    if indicator in labels:
                        raise ValueError(f"{name} gives values to the categorical column {label!r} "
                                         f"and to its indicator {indicator!r}; give one of them")
                    out_map[indicator] = v
            else:
                out_map[label] = v
        return out_map

    def transform(self, frame: Any, what: str = "X") -> Any:
        """The design of rows with the fitted columns, as a float64 CSC matrix.

        Raises
        ------
        ValueError
            When ``frame`` is not a data frame with the fitted columns in the
            fitted order, when a categorical column holds a level not seen at
            fit time (unless ``handle_unknown="zero"``) or a missing value
            (unless ``missing="level"`` and the column had one at fit time).
        """
        cv.refuse_lazy(frame, what)
        if not cv.is_dataframe(frame):
            raise ValueError(f"{what} must be a data frame with the columns {_few(self.columns)}: "
                             "the model was fitted on a data frame with categorical columns, "
                             "whose levels are matched by value")
        given = list(frame.columns)
        if given != self.columns:
            missing = [c for c in self.columns if c not in given]
            extra = [c for c in given if c not in self.columns]
            why = (f"it lacks {_few(missing)}" if missing else
                   f"it has the unknown column(s) {_few(extra)}" if extra else
                   "they are in another order")
            raise ValueError(f"{what}'s columns {_few(given)} are not the fitted columns "
                             f"{_few(self.columns)}: {why}; pass the columns the model was "
                             f"fitted with, in the same order (e.g. {what}[fitted_columns])")
        return self._design(frame, what, fitted=True).tocsc()

    def _design(self, frame: Any, what: str, fitted: bool = False) -> ColumnDesign:
        """The design column by column (see _columns): a numeric column read
        where it is when it has no zero (else its non-zero entries), each
        kept level the ascending rows that have it, after the numbers and
        the levels are checked."""
        n = int(frame.shape[0])
        columns: List[Any] = []
        for j, (label, lv) in enumerate(zip(self.columns, self.levels)):
            series = _column(frame, label)
            if lv is None:
                values = np.ascontiguousarray(_numeric_column(series, j, label, what, fitted))
                rows = np.flatnonzero(values)
                columns.append(values if rows.shape[0] == n else (rows, values[rows]))
                continue
            codes = self._level_codes(series, label, lv, what, n)
            k = len(self._kept(lv))
            ends = np.cumsum(np.bincount(codes + 1, minlength=k + 1))  # -1: no indicator, first
            # the rows by level, ascending within each; 16-bit codes sort by radix
            order = np.argsort(codes.astype(np.int16) if k < 2**15 else codes, kind="stable")
            del codes
            columns.extend(order[ends[t]:ends[t + 1]] for t in range(k))
        return ColumnDesign(n, columns)

    def _level_codes(self, series: Any, label: Any, levels: List[Any], what: str,
                     n: int) -> np.ndarray:
        """Each row's indicator column among the column's kept levels, -1 for
        none (the dropped first level, or an unseen level or missing value
        with handle_unknown="zero")."""
        lookup = {level: k for k, level in enumerate(levels) if level is not None}
        codes, missing, values = _codes(series, lookup, n)
        if missing.any():
            if levels[-1] is None:  # the missing level, last
                codes[missing] = len(levels) - 1
            elif self.options.missing == "level" and self.options.handle_unknown == "zero":
                codes[missing] = -1
            else:
                row = int(np.argmax(missing))
                advice = ("drop or fill the rows with missing values first, or fit with "
                          "missing='level' to give them a level of their own")
                if self.options.missing == "level":
                    advice = ("the column had no missing value at fit time, so it has no missing "
                              "level; fill the value, or fit with handle_unknown='zero' to give "
                              "such rows no level")
                raise ValueError(f"{what} has a missing value (NA, None or NaN) in categorical "
                                 f"column {label!r}, row {row}; {advice}")
        unknown = (codes < 0) & ~missing
        if unknown.any() and self.options.handle_unknown == "error":
            row = int(np.argmax(unknown))
            raise ValueError(f"{what} has the level {cv._shown(values[row])} in categorical column "
                             f"{label!r} (row {row}), which was not seen at fit time; the fitted "
                             f"levels are {_few([v for v in levels if v is not None])}; fit with "
                             "handle_unknown='zero' to give unseen levels no indicator")
        if len(self._kept(levels)) < len(levels):  # drop_first
            codes -= 1
            np.maximum(codes, -1, out=codes)
        return codes


def _few(labels: Sequence[Any]) -> str:
    shown = list(labels[:10])
    return cv._shown(shown) if len(labels) <= 10 else cv._shown(shown)[:-1] + ", ...]"


def _numeric_column(series: Any, j: int, label: Any, what: str, fitted: bool) -> np.ndarray:
    """A numeric column as float64 (a missing value, text or inf named with
    its row and column; ``fitted``: the rows of a fitted model)."""
    arr = np.asarray(series.to_numpy())
    if arr.dtype.kind not in "biuf":
        arr = np.asarray(arr, dtype=object)
        for i, v in enumerate(arr):
            if cv._is_missing(v):
                raise ValueError(f"{what} has a missing value (NA, None or NaN) in row {i}, at "
                                 f"{what}[{i}, {j}] (column {label!r}); drop or fill the rows "
                                 "with missing values first")
            if not isinstance(v, numbers.Real):
                why = "which was numeric at fit time" if fitted else "which is not categorical"
                raise ValueError(f"{what} must hold numbers in column {label!r}, {why}, but "
                                 f"{what}[{i}, {j}] is {cv._shown(v)}")
    out = arr.astype(np.float64, copy=False)
    bad = ~np.isfinite(out)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{what} contains NaN or inf: {what}[{i}, {j}] (column {label!r}) is "
                         f"{out[i]:g}")
    return out


class Encoded(NamedTuple):
    """A data frame converted: the design (column by column, see
    _columns), its column names and the encoding that converts new rows the
    same way."""

    X: Any
    names: List[Any]
    encoding: Encoding


def encode(frame: Any, options: Options, what: str = "X") -> Optional[Encoded]:
    """The design of a data frame with categorical columns and its level
    table, or None when ``frame`` is not a data frame with a categorical
    column (it is then converted as before, by ``_convert.as_design``).

    Raises
    ------
    ValueError
        For a missing value in a categorical column (unless
        ``missing="level"``), a column whose values have no order, or when
        scipy, which holds the indicator columns of new rows, is not installed.

    Examples
    --------
    >>> import pandas as pd
    >>> from varnel import _categorical
    >>> df = pd.DataFrame({"c": ["b", "a", "b"]})
    >>> enc = _categorical.encode(df, _categorical.Options(drop_first=True))
    >>> enc.names, enc.X.toarray().ravel().tolist()
    (['c[b]'], [1.0, 0.0, 1.0])
    """
    cv.refuse_lazy(frame, what)
    kinds = categorical_columns(frame)
    if not any(kinds):
        return None
    columns = cv.feature_names_of(frame, what)
    try:
        import scipy.sparse  # noqa: F401
    except ImportError:
        raise ValueError(f"{what} has categorical columns, whose indicator columns are held in a "
                         "scipy sparse matrix: install scipy (pip install 'varnel[sparse]')"
                         ) from None
    levels: List[Optional[List[Any]]] = []
    for label, categorical in zip(columns, kinds):
        if not categorical:
            levels.append(None)
            continue
        series = _column(frame, label)
        cat = getattr(series, "cat", None)
        if cat is not None and hasattr(cat, "codes") and hasattr(series, "isna"):
            values, missing = None, np.asarray(cat.codes.to_numpy()) < 0  # levels: declared
        else:
            values, missing = _values(series)
        if missing.any() and options.missing == "error":
            row = int(np.argmax(missing))
            raise ValueError(f"{what} has a missing value (NA, None or NaN) in categorical column "
                             f"{label!r}, row {row}; drop or fill the rows with missing values "
                             "first, or pass missing='level' to give them a level of their own")
        declared = _declared_levels(series)
        lv = declared if declared is not None else _sorted_levels(values[~missing], label, what)
        if missing.any():
            lv = lv + [None]
        levels.append(lv)
    encoding = Encoding(columns, levels, options)
    X = encoding._design(frame, what)
    return Encoded(X, encoding.names, encoding)
