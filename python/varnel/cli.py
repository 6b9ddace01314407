"""Command line: ``python -m varnel demo`` and ``python -m varnel fit FILE.csv``."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Callable, List, Optional, Tuple

import numpy as np

from . import __version__, families
from .cv import CVPath, cv_path
from .datasets import CellError, load_demo, read_csv
from ._fit_path import fit_path
from .path import Path


def _have_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _figure(ncols: int = 1):
    # A bare Figure renders with the Agg canvas: no display, no pyplot state.
    from matplotlib.figure import Figure

    fig = Figure(figsize=(6.4 * ncols, 4.8), layout="constrained")
    axes = fig.subplots(1, ncols, squeeze=False)[0]
    return fig, list(axes)


def _coef_table(path: Path, lambdas: List[float], labels: List[str]) -> str:
    names = [str(c) for c in path.feature_names] if path.feature_names is not None \
        else [f"x{j}" for j in range(path.n_features)]
    cols = [path.coef(s) for s in lambdas]
    a0 = [path.intercept(s) for s in lambdas]
    if path.n_classes > 1:  # a column per lambda and class
        labels = [f"{lab}:{c}" for lab in labels for c in path.classes]
        cols = [c[:, k] for c in cols for k in range(path.n_classes)]
        a0 = [a[k] for a in a0 for k in range(path.n_classes)]
    width = max([len("(Intercept)")] + [len(n) for n in names])
    lines = [f"{'':<{width}} " + " ".join(f"{lab:>12}" for lab in labels)]
    if path.family_instance.intercept:
        lines.append(f"{'(Intercept)':<{width}} " + " ".join(f"{v:>12.5g}" for v in a0))
    for j, name in enumerate(names):
        vals = [c[j] for c in cols]
        if any(v != 0 for v in vals):
            lines.append(f"{name:<{width}} " + " ".join(
                f"{v:>12.5g}" if v != 0 else f"{'.':>12}" for v in vals))
    return "\n".join(lines)


def _report(path: Path, cvp: Optional[CVPath], out) -> None:
    print(repr(path), file=out)
    print(file=out)
    if cvp is None:
        return
    print(cvp.summary(), file=out)
    print(file=out)
    print("Coefficients at the chosen lambdas:", file=out)
    print(_coef_table(path, [cvp.lambda_min, cvp.lambda_1se], ["lambda_min", "lambda_1se"]), file=out)


def _json(path: Path, cvp: Optional[CVPath]) -> dict:
    doc: dict = {"path": path.to_dict()}
    if cvp is not None:
        cv = cvp.to_dict()
        cv.pop("path")
        for s in ("lambda_min", "lambda_1se"):
            cv[f"coef_{s}"] = cvp.coef(s).tolist()
            cv[f"intercept_{s}"] = np.asarray(cvp.intercept(s)).tolist()
        doc["cv"] = cv
    return doc


def _demo(args: argparse.Namespace) -> int:
    data = load_demo()
    print(f"Demo data: {data.X.shape[0]} observations, {data.X.shape[1]} features "
          "(synthetic; the response depends on x1, x2, x5 and x8).\n")
    cvp = cv_path(_frame_or_array(data), data.y, nfolds=args.nfolds, seed=args.seed,
                  verbose=_verbosity(args))
    _report(cvp.path, cvp, sys.stdout)
    if not _have_matplotlib():
        print("\nmatplotlib is not installed: no plots written (pip install 'varnel[plot]').")
        return 0
    os.makedirs(args.out, exist_ok=True)
    written = []
    for name, draw in (("varnel_demo_path.png", lambda ax: cvp.path.plot(ax=ax, label=True)),
                       ("varnel_demo_cv.png", lambda ax: cvp.plot(ax=ax))):
        fig, (ax,) = _figure()
        draw(ax)
        target = os.path.join(args.out, name)
        fig.savefig(target, dpi=100)
        written.append(target)
    print("\nWrote " + " and ".join(written))
    return 0


def _frame_or_array(data):
    try:
        import pandas as pd
    except ImportError:
        return data.X
    return pd.DataFrame(data.X, columns=data.feature_names)


def _hint(exc: CellError, targets: List[str]) -> str:
    """What to do about a cell that cannot be read."""
    if exc.missing:
        drop = f", or leave the column out with --drop {exc.column}" if exc.column not in targets else ""
        return f"remove or fill the rows with missing values{drop}"
    if exc.column in targets:
        return ("the target holds text: for class labels use --family logistic (two classes) "
                "or --family multinomial (two or more)")
    return f"every column but the target must be numeric: leave this one out with --drop {exc.column}"


def _unit_interval(meaning: str) -> Callable[[str], float]:
    """The type of an option that takes a number in [0, 1]; ``meaning``
    says what its ends mean in the refusal."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not 0.0 <= value <= 1.0:
            raise argparse.ArgumentTypeError(f"must lie in [0, 1] ({meaning}), got {value:g}")
        return value
    return parse


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _at_least(low: int, wording: str) -> Callable[[str], int]:
    """An argparse type: an integer of at least ``low``, refused as "must
    be ``wording``"."""
    def check(text: str) -> int:
        value = _integer(text)
        if value < low:
            raise argparse.ArgumentTypeError(f"must be {wording}, got {value}")
        return value
    return check


_positive = _at_least(1, "a positive integer")  # --nlambda
_non_negative = _at_least(0, "a non-negative integer")  # --seed
_nfolds = _at_least(2, "an integer of at least 2")  # demo's --nfolds


def _cv_folds(text: str) -> int:
    """The value of --cv: 0 (no cross-validation) or a number of folds."""
    value = _integer(text)
    if value != 0 and value < 2:
        raise argparse.ArgumentTypeError(f"must be 0 (the path only) or at least 2 folds, got {value}")
    return value


def _jobs(text: str) -> int:
    """The value of --jobs: a positive count, or -1 for every core (-2 all but one...)."""
    value = _integer(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be a positive count, or -1 for every core, got 0")
    return value


def _delimiter(text: str) -> str:
    """The value of --delimiter: one character, or "tab" (or the two
    characters backslash and t) for a tab."""
    if text.lower() == "tab" or text == "\\t":
        return "\t"
    if len(text) != 1:
        raise argparse.ArgumentTypeError(f"must be one character, or 'tab' (or '\\t') for a tab, "
                                         f"got {text!r}")
    return text


def _family(text: str) -> families.Family:
    """The value of --family: a family's name, with its parameter after a colon."""
    try:
        return families.get_family(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _response_columns(args: argparse.Namespace, family: families.Family):
    """The column(s) of the response: --time and --status for the cox family,
    several --target columns for the multitask family, else one."""
    if family.response_form == "survival":
        if args.target:
            raise ValueError(f"--family {family.name} takes the survival times and the event status from "
                             "--time COLUMN and --status COLUMN, not from --target")
        missing = [flag for flag, given in (("--time COLUMN", args.time), ("--status COLUMN", args.status))
                   if not given]
        if missing:
            raise ValueError(f"--family {family.name} needs both --time COLUMN (the survival times) and "
                             f"--status COLUMN (1 an event, 0 censored); add {' and '.join(missing)}")
        return [args.time, args.status]
    if args.time or args.status or args.ties:
        raise ValueError("--time, --status and --ties are for --family cox (its survival times, "
                         "event status and ties); add --family cox, or leave them out")
    if not args.target:
        raise ValueError("the response needs --target COLUMN")
    if family.response_form == "several":
        return list(args.target)
    if len(args.target) > 1:
        raise ValueError(f"--family {family.name} takes one --target column; several are for "
                         "--family multitask")
    return args.target[0]


def _group(text: str) -> Tuple[str, List[str]]:
    """The value of --group: NAME=COLUMN,COLUMN,..."""
    name, sep, columns = text.partition("=")
    listed = [c for c in columns.split(",") if c]
    if not sep or not name or not listed:
        raise argparse.ArgumentTypeError(f"must be NAME=COLUMN,COLUMN,... (a group's name and its "
                                         f"columns), got {text!r}")
    return name, listed


def _feature_groups(groups: List[Tuple[str, List[str]]], names: List[str]) -> Optional[dict]:
    """The groups of --group as feature_groups: each name -> its columns'
    positions among the features (an unknown column is a ValueError)."""
    if not groups:
        return None
    out: dict = {}
    for name, columns in groups:
        if name in out:
            raise ValueError(f"--group {name} is given twice; list all its columns in one --group")
        missing = [c for c in columns if c not in names]
        if missing:
            raise ValueError(f"--group {name}: no feature column {missing[0]!r} (the target and "
                             f"the --drop columns are not features)")
        out[name] = [names.index(c) for c in columns]
    return out


def _fit(args: argparse.Namespace) -> int:
    family = args.family if args.link is None else args.family.with_link(args.link)
    target = _response_columns(args, family)
    family = family.configured(ties=args.ties)
    # utf-8-sig: spreadsheet programs often start a UTF-8 file with a byte-order
    # mark, which would otherwise become part of the first column's name.
    with open(args.file, newline="", encoding="utf-8-sig") as fh:
        try:
            data = read_csv(fh, target, numeric_target=not family.has_classes,
                            delimiter=args.delimiter, drop=args.drop)
        except CellError as exc:
            raise ValueError(f"{exc}; {_hint(exc, [target] if isinstance(target, str) else target)}") from None
    X = _frame_or_array(data)
    options = dict(alpha=args.alpha, nlambda=args.nlambda, standardize=not args.no_standardize)
    groups = _feature_groups(args.group, list(data.feature_names))
    if groups is not None:
        options.update(feature_groups=groups, l1_within=args.l1_within)
    elif args.l1_within != 0.0:
        raise ValueError("--l1-within applies to groups of columns: add --group NAME=COLUMN,...")
    cvp: Optional[CVPath] = None
    if args.cv and args.cv > 0:
        cvp = cv_path(X, data.y, family, nfolds=args.cv, measure=args.measure or "deviance",
                      seed=args.seed, n_jobs=args.jobs, verbose=_verbosity(args), **options)
        path = cvp.path
    else:
        path = fit_path(X, data.y, family, verbose=_verbosity(args), **options)
    if path.feature_names is None:
        path.feature_names = list(data.feature_names)
    print(f"{args.file}: {data.X.shape[0]} observations, {data.X.shape[1]} features, "
          f"target {data.target_name!r}, family {family.name}"
          f"{'' if repr(family) == type(family).__name__ + '()' else f' ({family!r})'}\n")
    _report(path, cvp, sys.stdout)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump(_json(path, cvp), fh, indent=1)
        print(f"\nWrote {args.json}")
    if args.plot:
        if not _have_matplotlib():
            print("varnel: error: --plot needs matplotlib (pip install 'varnel[plot]')", file=sys.stderr)
            return 1
        fig, axes = _figure(2 if cvp is not None else 1)
        path.plot(ax=axes[0], label=True, kind="groups" if groups is not None else "coefs")
        if cvp is not None:
            cvp.plot(ax=axes[1])
        fig.savefig(args.plot, dpi=100)
        print(f"Wrote {args.plot}")
    return 0


def _verbosity(args: argparse.Namespace) -> int:
    """The progress shown on stderr: --quiet 0, --verbose 1 (twice: 2, a row
    per lambda besides the bar), by default a bar when stderr is a terminal."""
    if args.verbose is not None:
        return min(int(args.verbose), 2)
    isatty = getattr(sys.stderr, "isatty", None)
    return int(bool(isatty is not None and isatty()))


def _progress_arguments(parser: argparse.ArgumentParser) -> None:
    """--verbose / --quiet, the progress on stderr."""
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--verbose", "-v", action="count", default=None,
                       help="show a progress bar over the lambdas on stderr (the default when "
                            "stderr is a terminal); twice also prints a row per lambda")
    group.add_argument("--quiet", "-q", action="store_const", const=0, dest="verbose",
                       help="show no progress")


def build_parser() -> argparse.ArgumentParser:
    """The parser of ``python -m varnel``: the ``demo`` and ``fit`` commands
    and ``--version``.

    Returns
    -------
    argparse.ArgumentParser

    Examples
    --------
    >>> from varnel.cli import build_parser
    >>> args = build_parser().parse_args(["fit", "data.csv", "--target", "y", "--delimiter", "tab"])
    >>> args.delimiter == "\\t", args.nlambda
    (True, 100)
    """
    parser = argparse.ArgumentParser(
        prog="varnel", description="Elastic-net regularization paths for GLMs.")
    parser.add_argument("--version", action="version", version=f"varnel {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    demo = sub.add_parser("demo", help="cross-validate a path on the bundled demo data",
                          description="Fit the bundled demo data with 10-fold cross-validation, "
                                      "print the path and the chosen lambdas, and write "
                                      "varnel_demo_path.png and varnel_demo_cv.png "
                                      "(when matplotlib is installed).")
    demo.add_argument("--out", default=".", metavar="DIR", help="folder for the PNG files (default: .)")
    demo.add_argument("--nfolds", type=_nfolds, default=10, help="number of folds (default: 10)")
    demo.add_argument("--seed", type=_non_negative, default=0,
                      help="seed of the fold assignment (default: 0)")
    _progress_arguments(demo)
    demo.set_defaults(run=_demo)

    fit = sub.add_parser("fit", help="fit a path to a CSV file",
                         description="Fit an elastic-net path to a CSV file with a header row; "
                                     "every column but the target and the dropped ones is a "
                                     "numeric feature.")
    fit.add_argument("file", metavar="FILE.csv")
    fit.add_argument("--target", nargs="+", metavar="COLUMN",
                     help="name of the response column (several for --family multitask)")
    fit.add_argument("--family", default=families.get_family("gaussian"), type=_family, metavar="FAMILY",
                     help="the GLM family: gaussian (normal), logistic (binomial), poisson, multinomial, "
                          "gamma, inverse_gaussian, tweedie:POWER (0 or 1 to 3), "
                          "negative_binomial[:THETA] (negbin; variance mu + THETA mu^2, default 1), "
                          "cox (with --time and --status), multitask (several --target columns), "
                          "huber[:DELTA] (robust, default 1.35) "
                          "(default: gaussian)")
    fit.add_argument("--link", choices=list(families.LINKS),
                     help="the family's link (default: its own; see the table of families in the documentation)")
    fit.add_argument("--time", metavar="COLUMN", help="--family cox: the column of survival times")
    fit.add_argument("--status", metavar="COLUMN",
                     help="--family cox: the column of event indicators (1 an event, 0 censored)")
    fit.add_argument("--ties", choices=["breslow", "efron"],
                     help="--family cox: how tied event times count (default: breslow)")
    fit.add_argument("--alpha", type=_unit_interval("1 the lasso, 0 ridge"), default=1.0,
                     help="elastic-net mixing in [0, 1] (default: 1, the lasso; 0 is ridge)")
    fit.add_argument("--nlambda", type=_positive, default=100, help="number of lambdas (default: 100)")
    fit.add_argument("--no-standardize", action="store_true", help="do not standardize the features")
    fit.add_argument("--cv", type=_cv_folds, default=10, metavar="K",
                     help="K-fold cross-validation (default: 10; 0 fits the path only)")
    fit.add_argument("--measure", choices=list(families.MEASURES),
                     help="cross-validation measure (default: deviance)")
    fit.add_argument("--seed", type=_non_negative, default=0,
                     help="seed of the fold assignment (default: 0)")
    fit.add_argument("--jobs", type=_jobs, default=None, metavar="N",
                     help="folds fitted at once (-1: every core)")
    fit.add_argument("--delimiter", type=_delimiter, default=",",
                     help="field delimiter: one character, or tab (default: ,)")
    fit.add_argument("--drop", nargs="+", action="extend", default=[], metavar="COLUMN",
                     help="columns to leave out (identifiers, text, dates)")
    fit.add_argument("--group", type=_group, action="append", default=[], metavar="NAME=COLUMNS",
                     help="penalize these comma-separated columns together as group NAME "
                          "(repeat for each group; other columns are groups by themselves)")
    fit.add_argument("--l1-within", type=_unit_interval("0 whole groups, 1 single columns"),
                     default=0.0, metavar="TAU",
                     help="with --group: the lasso's share inside each group, 0 (whole groups, "
                          "the default) to 1 (single columns)")
    fit.add_argument("--plot", metavar="FILE", help="write the path (and CV) plot to this image file")
    fit.add_argument("--json", metavar="FILE", help="write the path (and CV) results as JSON")
    _progress_arguments(fit)
    fit.set_defaults(run=_fit)
    return parser


def _check_link(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """--link only for a family that offers a choice of links."""
    family = getattr(args, "family", None)
    if getattr(args, "link", None) is not None and len(family.links) < 2:
        parser.error(f"argument --link: the {family.name} family has no choice of link (its "
                     f"linear predictor is always on the {family.links[0]} scale); leave --link out")


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``).

    Parameters
    ----------
    argv : list of str, optional
        The arguments after ``python -m varnel``.

    Returns
    -------
    int
        0 on success, 1 when the data or the fit fail (the reason is written
        to stderr).  Arguments the parser refuses exit with status 2, as
        argparse does.

    Examples
    --------
    >>> from varnel.cli import main
    >>> main(["--version"])  # doctest: +SKIP
    varnel 0.1.0
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    _check_link(parser, args)
    try:
        return int(args.run(args))
    except (OSError, ValueError, TypeError, ImportError) as exc:
        print(f"varnel: error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print("varnel: error: not enough memory for this fit (fewer lambdas with --nlambda, or "
              "fewer rows or columns)", file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
