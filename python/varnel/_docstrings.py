"""Passages that several docstrings share, written once.

A docstring names a passage by a line that holds only ``{name}``;
:func:`fill` puts the passage there, indented as that line is.  Passages are
plain numpydoc text, written flush left; a passage may name others.  The
shared ones are in :data:`PASSAGES`; a module passes its own as keywords.
"""

from __future__ import annotations

import inspect
import re
import textwrap
from typing import Any, Callable, Dict, TypeVar

T = TypeVar("T")

#: A line that holds only ``{name}``.
_PLACE = re.compile(r"^([ \t]*)\{([a-z][a-z0-9_]*)\}[ \t]*$", re.M)

#: The passages of several modules, by name.
PASSAGES: Dict[str, str] = {
    # the sections of a plot method, up to its own example lines
    "plot_sections": """
        Returns
        -------
        matplotlib Axes
            The axes drawn on.

        Raises
        ------
        ImportError
            Without matplotlib.

        Examples
        --------
        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> import varnel
        >>> data = varnel.load_demo()
        """,
}


def fill(text: str, **passages: str) -> str:
    """``text`` with every line ``{name}`` replaced by the passage ``name``
    (from ``passages``, else :data:`PASSAGES`), indented as that line; a
    name that no passage has is a KeyError."""
    def put(match: "re.Match[str]") -> str:
        indent, name = match.groups()
        body = fill(textwrap.dedent(passages[name] if name in passages else PASSAGES[name]),
                    **passages)
        return textwrap.indent(body.strip("\n"), indent)

    return _PLACE.sub(put, text)


def filled(**passages: str) -> Callable[[T], T]:
    """A decorator that fills the docstring of a function, or of a class and
    of the functions its body defines (see :func:`fill`)."""
    def decorate(obj: Any) -> Any:
        if obj.__doc__:
            obj.__doc__ = fill(obj.__doc__, **passages)
        if isinstance(obj, type):
            for value in vars(obj).values():
                if inspect.isfunction(value) and value.__doc__:
                    value.__doc__ = fill(value.__doc__, **passages)
        return obj

    return decorate
