"""The path of a fit: :func:`fit_path` and the :class:`Path` it returns."""

from ._fit_path import fit_path
from ._path import ArrayLike, LambdaSpec, Path

# pickles and the documentation name the class where callers find it
Path.__module__ = __name__

__all__ = ["Path", "fit_path"]
