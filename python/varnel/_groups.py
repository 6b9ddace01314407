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

#: The default ``feature_groups``: CATEGORICAL when X has categorical
#: columns, no groups otherwise.
AUTO = "auto"


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
                   source_of_column: Optional[np.ndarray] = None,
                   source_names: Optional[Sequence[Any]] = None) -> Optional[Groups]:
    """The groups of the p columns from a ``feature_groups`` setting (see
    :func:`resolve_feature_groups`), with the names of the groups (for
    CATEGORICAL, the data frame's column names ``source_names`` when
    given); None when ``setting`` is None, or AUTO without categorical
    columns."""
    if isinstance(setting, str) and setting == AUTO:
        setting = None if source_of_column is None else CATEGORICAL
    if setting is None:
        return None
    raw: List[Any]
    if isinstance(setting, str):
        if setting != CATEGORICAL:
            raise ValueError(f"feature_groups must be one label per column, a dict of group "
                             f"name -> columns, {CATEGORICAL!r}, {AUTO!r} or None, got {setting!r}")
        if source_of_column is None:
            raw = list(range(p))
        else:
            src = np.asarray(source_of_column)
            if src.shape != (p,):
                raise ValueError(f"feature_groups={CATEGORICAL!r}: the map of expanded columns "
                                 f"to source columns has shape {src.shape}, expected ({p},)")
            raw = [int(v) for v in src]
            if source_names is not None:
                labels = np.unique(src, return_inverse=True)[1].astype(np.int64)
                return Groups(labels, [source_names[k] for k in np.unique(src)])
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
                                 f"a dict of group name -> columns, {CATEGORICAL!r}, {AUTO!r} or "
                                 f"None, got "
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
    setting : sequence, dict, "categorical", "auto" or None
        One label per column (integers or strings; None or -1 puts a column
        in a group by itself), or a dict of group name -> column names or
        indices (columns not listed are groups by themselves), or
        ``"categorical"``: each source column of a data frame is one group
        (its expanded columns together, by ``source_of_column``; without
        that map every column is a group by itself).  ``"auto"``:
        ``"categorical"`` when there is that map, else no groups.  None: no
        groups.
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
OPTIONS: Dict[str, Any] = {"feature_groups": AUTO, "l1_within": 0.0,
                           "group_penalty_factor": None, "group_size_weight": True}

#: Entries of the solver options kept for the path, not passed to the core.
PATH_ONLY = ("group_names", "group_factors")


def path_options(so: Mapping[str, Any]) -> Dict[str, Any]:
    """The group options that give again the penalty of a fit whose solver
    options are ``so`` (to read its rows once more): its labels as
    ``feature_groups`` (None without groups), ``l1_within``,
    ``group_size_weight`` and ``group_penalty_factor``."""
    if so.get("feature_groups") is None:
        return {"feature_groups": None}
    return {"feature_groups": np.asarray(so["feature_groups"], dtype=np.int64),
            "l1_within": so["l1_within"], "group_size_weight": so["group_size_weight"],
            "group_penalty_factor": so.get("group_factors")}


def apply_options(so: Dict[str, Any], opts: Mapping[str, Any], p: int,
                  names: Optional[Sequence[Any]],
                  source_of_column: Optional[np.ndarray] = None,
                  source_names: Optional[Sequence[Any]] = None) -> None:
    """The group options among ``opts`` into the solver options ``so``:
    ``feature_groups`` as one label per column, ``l1_within``,
    ``group_size_weight``, ``group_names`` (for the path) and the group
    penalty factors as every column's ``penalty_factor``.  Without
    ``feature_groups`` every other group option must keep its default."""
    setting = opts.get("feature_groups", AUTO)
    by_default = isinstance(setting, str) and setting == AUTO and source_of_column is not None
    groups = resolve_groups(setting, p, names, source_of_column, source_names)
    if groups is None:
        given = {"l1_within": opts.get("l1_within", 0.0) not in (None, 0, 0.0),
                 "group_penalty_factor": opts.get("group_penalty_factor") is not None,
                 "group_size_weight": opts.get("group_size_weight", True) is not True}
        for key, set_ in given.items():
            if set_:
                raise ValueError(f"{key} applies to groups of columns: give feature_groups too, "
                                 f"or leave {key} at its default ({OPTIONS[key]!r})")
        return
    tau = cv.in_range(cv.as_float(opts.get("l1_within", 0.0), "l1_within"), "l1_within",
                      0.0, 1.0)
    size_weight = cv.as_bool(opts.get("group_size_weight", True), "group_size_weight")
    # the categorical columns are grouped by default: say how to fit them one by one
    why = (f" (X's categorical columns are groups by default, feature_groups={AUTO!r}; pass "
           f"feature_groups=None to fit each indicator column on its own)") if by_default else ""
    for key in ("lower_limits", "upper_limits"):
        if so.get(key) is not None:
            raise ValueError(f"feature_groups takes no {key}: fit the groups without limits, or "
                             f"the limits without feature_groups{why}")
    if so.get("penalty_factor") is not None:
        raise ValueError(f"penalty_factor weighs single columns; with feature_groups give "
                         f"group_penalty_factor (one factor per group) instead{why}")
    if so.get("grouped"):
        raise ValueError(f"grouped=True and feature_groups both group the coefficients: give "
                         f"feature_groups alone (a group of one column with l1_within=0 is "
                         f"grouped=True's penalty of that column){why}")
    given = opts.get("group_penalty_factor")
    factors = None if given is None else group_factors(given, groups)
    if factors is not None:
        so["penalty_factor"] = factors[groups.labels]
    so["group_factors"] = factors
    so["feature_groups"] = groups.labels.astype(np.uint64)
    so["l1_within"] = tau
    so["group_size_weight"] = size_weight
    so["group_names"] = groups.names
