"""Groups of columns for the sparse-group penalty: the one place where a
``feature_groups`` setting is read and turned into one integer label per
column, and where the per-group options (``group_penalty_factor``) are
checked against it."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence

import numpy as np

from . import _convert as cv

__all__ = ["resolve_feature_groups", "Groups"]

#: The ``feature_groups`` value that makes each source column of a data
#: frame one group (its expanded columns together).
CATEGORICAL = "categorical"


class Groups(NamedTuple):
    """Resolved groups: ``labels[j]`` is column j's group (0, 1, ..., G - 1,
    numbered in the order the groups first appear) and ``names[g]`` the
    name group g is known by (a column's own name or index when it is a
    group by itself)."""

    labels: np.ndarray
    names: List[Any]

    @property
    def count(self) -> int:
        return len(self.names)


def _is_ungrouped(label: Any) -> bool:
    if label is None:
        return True
    if isinstance(label, (int, np.integer)) and not isinstance(label, (bool, np.bool_)):
        return int(label) == -1
    return False


def _column_name(j: int, column_names: Optional[Sequence[Any]]) -> Any:
    return column_names[j] if column_names is not None else j


def _column_index(item: Any, p: int, column_names: Optional[Sequence[Any]], group: Any) -> int:
    """The index of a column named or numbered ``item`` in a dict of groups."""
    if isinstance(item, (int, np.integer)) and not isinstance(item, (bool, np.bool_)):
        if column_names is not None and item in column_names:
            return list(column_names).index(item)
        j = int(item)
        if not 0 <= j < p:
            raise ValueError(f"feature_groups: group {cv.shown_label(group)} lists column {j}, "
                             f"outside 0..{p - 1}")
        return j
    if column_names is not None and item in column_names:
        return list(column_names).index(item)
    where = "X's column names" if column_names is not None else \
        "the columns of an X without names (give column indices)"
    raise ValueError(f"feature_groups: group {cv.shown_label(group)} lists the unknown column "
                     f"{cv.shown_label(item)}, not among {where}")


def resolve_groups(setting: Any, p: int, column_names: Optional[Sequence[Any]],
                   source_of_column: Optional[np.ndarray] = None) -> Optional[Groups]:
    """The groups of the p columns from a ``feature_groups`` setting (see
    :func:`resolve_feature_groups`), with the names of the groups; None
    when ``setting`` is None."""
    if setting is None:
        return None
    raw: List[Any]
    if isinstance(setting, str):
        if setting != CATEGORICAL:
            raise ValueError(f"feature_groups must be one label per column, a dict of group "
                             f"name -> columns or {CATEGORICAL!r}, got {setting!r}")
        if source_of_column is None:
            raw = list(range(p))
        else:
            src = np.asarray(source_of_column)
            if src.shape != (p,):
                raise ValueError(f"feature_groups={CATEGORICAL!r}: the map of expanded columns "
                                 f"to source columns has shape {src.shape}, expected ({p},)")
            raw = [int(v) for v in src]
    elif isinstance(setting, Mapping):
        raw = [None] * p
        for group, columns in setting.items():
            if _is_ungrouped(group):
                raise ValueError(f"feature_groups: {group!r} cannot name a group (None and -1 "
                                 f"mean a column by itself)")
            items = [columns] if isinstance(columns, (str, int, np.integer)) else list(columns)
            if not items:
                raise ValueError(f"feature_groups: group {cv.shown_label(group)} lists no columns; "
                                 f"drop it or give it at least one column")
            for item in items:
                j = _column_index(item, p, column_names, group)
                if raw[j] is not None:
                    raise ValueError(f"feature_groups: column {cv.shown_label(_column_name(j, column_names))} "
                                     f"is in group {cv.shown_label(raw[j])} and in group "
                                     f"{cv.shown_label(group)}; a column belongs to one group")
                raw[j] = group
    else:
        if isinstance(setting, (list, tuple)):
            raw = list(setting)
        else:
            try:
                labels = np.asarray(setting, dtype=object)
            except (TypeError, ValueError):
                labels = np.empty(0, dtype=object).reshape(0, 0)
            if labels.ndim != 1:
                raise ValueError(f"feature_groups must be one label per column (a 1-D sequence), "
                                 f"a dict of group name -> columns or {CATEGORICAL!r}, got "
                                 f"{type(setting).__name__} of shape {np.shape(labels)}")
            raw = list(labels)
        if len(raw) != p:
            raise ValueError(f"feature_groups has {len(raw)} labels but X has {p} columns; give "
                             f"one label per column (None or -1 for a column by itself)")
        for label in raw:
            ok = label is None or isinstance(label, str) or (
                isinstance(label, (int, np.integer)) and not isinstance(label, (bool, np.bool_)))
            if not ok:
                raise ValueError(f"feature_groups labels must be integers or strings (None or -1: "
                                 f"a column by itself), got {label!r}")
    labels = np.empty(p, dtype=np.int64)
    index: Dict[Any, int] = {}
    names: List[Any] = []
    for j, label in enumerate(raw):
        if _is_ungrouped(label):
            labels[j] = len(names)
            names.append(_column_name(j, column_names))
            continue
        key = label.item() if isinstance(label, np.generic) else label
        if key not in index:
            index[key] = len(names)
            names.append(key)
        labels[j] = index[key]
    return Groups(labels, names)


def resolve_feature_groups(setting: Any, p: int, column_names: Optional[Sequence[Any]],
                           source_of_column: Optional[np.ndarray] = None) -> Optional[np.ndarray]:
    """One integer label per column (0, 1, ..., G - 1) from a
    ``feature_groups`` setting.

    Parameters
    ----------
    setting : sequence, dict, "categorical" or None
        One label per column (integers or strings; None or -1 puts a column
        in a group by itself), or a dict of group name -> column names or
        indices (columns not listed are groups by themselves), or
        ``"categorical"``: each source column of a data frame is one group
        (its expanded columns together, by ``source_of_column``; without
        that map every column is a group by itself).  None: no groups.
    p : int
        The number of columns.
    column_names : sequence or None
        X's column names, for a dict that names columns.
    source_of_column : array of int, optional
        For each column, the index of the data-frame column it was expanded
        from.

    Returns
    -------
    ndarray of int64 or None
        The labels, numbered in the order the groups first appear.

    Examples
    --------
    >>> from varnel._groups import resolve_feature_groups
    >>> resolve_feature_groups(["a", "a", None, "b"], 4, None)
    array([0, 0, 1, 2])
    >>> resolve_feature_groups({"g": ["x1", "x2"]}, 3, ["x0", "x1", "x2"])
    array([0, 1, 1])
    """
    groups = resolve_groups(setting, p, column_names, source_of_column)
    return None if groups is None else groups.labels


def group_factors(given: Any, groups: Groups) -> np.ndarray:
    """The penalty factor of every group from ``group_penalty_factor``: one
    value per group in the order of ``groups.names``, or a dict of group
    name -> factor (groups not listed keep 1); non-negative, inf leaves a
    group out."""
    if isinstance(given, Mapping):
        out = np.ones(groups.count)
        where = {name: g for g, name in enumerate(groups.names)}
        for name, value in given.items():
            if name not in where:
                raise ValueError(f"group_penalty_factor names the unknown group "
                                 f"{cv.shown_label(name)}; the groups are "
                                 f"{', '.join(cv.shown_label(n) for n in groups.names[:10])}"
                                 f"{', ...' if groups.count > 10 else ''}")
            out[where[name]] = cv.as_float(value, "group_penalty_factor")
    else:
        try:
            out = np.array(given, dtype=np.float64).ravel()
        except (TypeError, ValueError):
            raise ValueError("group_penalty_factor must be numbers, one per group, or a dict of "
                             "group name -> number") from None
        if out.shape[0] != groups.count:
            raise ValueError(f"group_penalty_factor has {out.shape[0]} values but feature_groups "
                             f"makes {groups.count} groups (columns by themselves count as one "
                             f"group each); give one per group, or a dict of group name -> factor")
    if np.isnan(out).any() or (out < 0).any():
        bad = int(np.flatnonzero(np.isnan(out) | (out < 0))[0])
        raise ValueError(f"group_penalty_factor must be non-negative, got {out[bad]} for group "
                         f"{cv.shown_label(groups.names[bad])}")
    return out


#: The options of fit_path that set up the groups, with their defaults.
OPTIONS: Dict[str, Any] = {"feature_groups": None, "l1_within": 0.0,
                           "group_penalty_factor": None, "group_size_weight": True}

#: Entries of the solver options kept for the path, not passed to the core.
PATH_ONLY = ("group_names",)


def apply_options(so: Dict[str, Any], opts: Mapping[str, Any], p: int,
                  names: Optional[Sequence[Any]],
                  source_of_column: Optional[np.ndarray] = None) -> None:
    """The group options among ``opts`` into the solver options ``so``:
    ``feature_groups`` as one label per column, ``l1_within``,
    ``group_size_weight``, ``group_names`` (for the path) and the group
    penalty factors as every column's ``penalty_factor``.  Without
    ``feature_groups`` every other group option must keep its default."""
    setting = opts.get("feature_groups")
    if setting is None:
        given = {"l1_within": opts.get("l1_within", 0.0) not in (None, 0, 0.0),
                 "group_penalty_factor": opts.get("group_penalty_factor") is not None,
                 "group_size_weight": opts.get("group_size_weight", True) is not True}
        for key, set_ in given.items():
            if set_:
                raise ValueError(f"{key} applies to groups of columns: give feature_groups too, "
                                 f"or leave {key} at its default ({OPTIONS[key]!r})")
        return
    groups = resolve_groups(setting, p, names, source_of_column)
    tau = cv.in_range(cv.as_float(opts.get("l1_within", 0.0), "l1_within"), "l1_within",
                      0.0, 1.0)
    size_weight = cv.as_bool(opts.get("group_size_weight", True), "group_size_weight")
    for key in ("lower_limits", "upper_limits"):
        if so.get(key) is not None:
            raise ValueError(f"feature_groups takes no {key}: fit the groups without limits, or "
                             f"the limits without feature_groups")
    if so.get("penalty_factor") is not None:
        raise ValueError("penalty_factor weighs single columns; with feature_groups give "
                         "group_penalty_factor (one factor per group) instead")
    excluded = np.zeros(p, dtype=bool)
    if so.get("exclude") is not None:
        excluded[np.asarray(so["exclude"], dtype=np.int64)] = True
    kept = np.bincount(groups.labels[~excluded], minlength=groups.count)
    if (kept == 0).any():
        g = int(np.flatnonzero(kept == 0)[0])
        raise ValueError(f"feature_groups: every column of group {cv.shown_label(groups.names[g])} "
                         f"is excluded; drop the group from feature_groups or its columns from "
                         f"exclude")
    given = opts.get("group_penalty_factor")
    if given is not None:
        factors = group_factors(given, groups)
        so["penalty_factor"] = factors[groups.labels]
    so["feature_groups"] = groups.labels.astype(np.uint64)
    so["l1_within"] = tau
    so["group_size_weight"] = size_weight
    so["group_names"] = groups.names
