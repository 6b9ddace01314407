"""A design held column by column, as a data frame gives it.

A data frame's numeric columns are read where they are (a float64 column
of a pandas or polars frame is one contiguous array), and a categorical
column's indicator columns are the rows of each level, so that the design
of a frame with categorical columns costs 8 bytes per row and categorical
column beside the frame itself, not an n x levels block nor a copy of the
numbers.  The compiled solvers read it in place, as the same matrix as the
compressed sparse columns holding the same entries and to the same bits;
every other use (folds, relaxed fits, certificates, predictions on the
training rows) reads that CSC matrix, formed once on first use
(``as_matrix``).
"""

from __future__ import annotations

from typing import Any, Sequence, Tuple, Union

import numpy as np

#: One column: its n values (no zero among them), the ascending rows where
#: it is 1, or (rows, values) of its non-zero entries.
Column = Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]


class ColumnDesign:
    """An n x p design given column by column (see the module's text).

    Parameters
    ----------
    n : int
        The rows.
    columns : sequence of Column
        Column j: a float64 array of its n values, an int64 array of the
        ascending rows where it is 1, or a pair (rows, values) of its
        stored entries.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel._columns import ColumnDesign
    >>> d = ColumnDesign(3, [np.array([1.0, 2.0, 3.0]), np.array([0, 2])])
    >>> d.shape, d.toarray().tolist()
    ((3, 2), [[1.0, 1.0], [2.0, 0.0], [3.0, 1.0]])
    """

    dtype = np.dtype(np.float64)
    ndim = 2

    def __init__(self, n: int, columns: Sequence[Column]):
        self.columns = tuple(columns)
        self.shape = (int(n), len(self.columns))
        self._csc: Any = None

    def core_x(self) -> tuple:
        """The form the compiled ``fit`` reads in place: (n, p, columns)."""
        return (*self.shape, self.columns)

    def stored(self, j: int) -> int:
        """Column j's stored entries."""
        c = self.columns[j]
        return int((c[0] if isinstance(c, tuple) else c).shape[0])

    def tocsc(self) -> Any:
        """The same matrix in compressed sparse columns (64-bit indices,
        rows ascending), formed on the first call and kept."""
        if self._csc is None:
            import scipy.sparse as sp

            n, p = self.shape
            indptr = np.zeros(p + 1, dtype=np.int64)
            np.cumsum([self.stored(j) for j in range(p)], out=indptr[1:])
            data = np.ones(int(indptr[-1]))
            indices = np.empty(int(indptr[-1]), dtype=np.int64)
            for j, c in enumerate(self.columns):
                at = slice(indptr[j], indptr[j + 1])
                if isinstance(c, tuple):
                    indices[at], data[at] = c
                elif c.dtype == np.float64:
                    indices[at], data[at] = np.arange(n), c
                else:
                    indices[at] = c
            X = sp.csc_matrix((n, p), dtype=np.float64)
            X.data, X.indices, X.indptr = data, indices, indptr  # 64-bit: never widened by a fit
            X.has_sorted_indices = X.has_canonical_format = True
            self._csc = X
        return self._csc

    def toarray(self) -> np.ndarray:
        """The dense n x p matrix."""
        return self.tocsc().toarray()


def as_matrix(X: Any) -> Any:
    """X as a matrix (a ColumnDesign's CSC form; any other X as it is)."""
    return X.tocsc() if isinstance(X, ColumnDesign) else X


def is_column_design(X: Any) -> bool:
    return isinstance(X, ColumnDesign)
