"""The command line: ``python -m varnel demo`` and ``python -m varnel fit``."""

import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import varnel

PNG = b"\x89PNG\r\n\x1a\n"


def run(*args, cwd):
    env = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-m", "varnel", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def test_demo_end_to_end(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "plots"
    proc = run("demo", "--out", str(out), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout
    assert "Df" in text and "%Dev" in text and "Lambda" in text
    assert "lambda_min" in text and "lambda_1se" in text
    data = varnel.load_demo()
    cvp = varnel.cv_path(data.X, data.y, nfolds=10, seed=0)
    assert f"{cvp.lambda_min:.5g}" in text and f"{cvp.lambda_1se:.5g}" in text
    for name in ("varnel_demo_path.png", "varnel_demo_cv.png"):
        png = (out / name).read_bytes()
        assert png.startswith(PNG) and len(png) > 5000


def write_csv(path, header, rows, encoding="utf-8", delimiter=","):
    with open(path, "w", newline="", encoding=encoding) as fh:
        w = csv.writer(fh, delimiter=delimiter)
        w.writerow(header)
        w.writerows(rows)


def write_data(folder, header, encoding="utf-8-sig", delimiter=","):
    """data.txt in the folder, the named columns of one data set; returns its features and every column."""
    rng = np.random.default_rng(2)
    X = np.round(rng.standard_normal((60, 3)), 3)
    score = X[:, 0] + 0.5 * rng.standard_normal(60)
    t = np.round(rng.exponential(np.exp(-X[:, 0])), 2) + 0.01
    cols = dict(x1=X[:, 0], x2=X[:, 1], x3=X[:, 2], y=np.round(X[:, 1] - X[:, 2] + 0.3 * rng.standard_normal(60), 3),
                two=np.where(score > 0, "yes", "no"), three=np.array(["maybe", "no", "yes"])[
                    np.digitize(score, np.quantile(score, [1 / 3, 2 / 3]))],
                counts=rng.poisson(3 * np.exp(0.3 * X[:, 0])).astype(float), t=t,
                dead=(rng.random(60) < 0.7).astype(float), id=[f"r{i}" for i in range(60)], note=["text"] * 60)
    write_csv(folder / "data.txt", header, list(zip(*(cols[c] for c in header))), encoding, delimiter)
    return X, cols


FITS = [  # (the file's columns, the CLI's arguments, family, response columns, the reference's options)
    (["x1", "y", "x2", "x3"], ["--target", "y", "--alpha", "0.5", "--cv", "5", "--plot", "out.png"], "gaussian",
     ["y"], dict(alpha=0.5)),
    # a byte-order mark before the target's name, and text columns to drop
    (["two", "x1", "id", "x2", "note", "x3"], ["--target", "two", "--family", "logistic", "--drop", "id", "note"],
     "logistic", ["two"], {}),
    (["three", "x1", "id", "x2", "note", "x3"], ["--target", "three", "--family", "multinomial", "--drop", "id",
                                                 "note"], "multinomial", ["three"], {}),
    (["x1", "x2", "x3", "counts"], ["--target", "counts", "--family", "tweedie:1.5", "--link", "identity"],
     "Tweedie(1.5, link='identity')", ["counts"], {}),
    (["x1", "x2", "x3", "counts"], ["--target", "counts", "--family", "negbin:2"], "NegativeBinomial(2)",
     ["counts"], {}),
    (["x1", "t", "x2", "dead", "x3"], ["--family", "cox", "--time", "t", "--status", "dead", "--ties", "efron",
                                       "--cv", "3"], "cox", ["t", "dead"], dict(ties="efron")),
    (["x1", "t", "x2", "dead", "x3"], ["--family", "multitask", "--target", "t", "dead", "--cv", "3"],
     "multitask", ["t", "dead"], {}),
    # groups of columns (x3 by itself); the plot draws the groups' norms
    (["x1", "x2", "x3", "y"], ["--target", "y", "--group", "g=x1,x2", "--l1-within", "0.25", "--plot", "out.png"],
     "gaussian", ["y"], dict(feature_groups=[0, 0, 1], l1_within=0.25)),
    *[(["x1", "x2", "x3", "y"], ["--target", "y", "--delimiter", d], "gaussian", ["y"], {})
      for d in ("tab", "TAB", "\\t", ";")],
]


@pytest.mark.parametrize("header, args, family, response, options", FITS)
def test_fit_writes_the_path_of_the_file(tmp_path, monkeypatch, header, args, family, response, options):
    from varnel import families
    from varnel.cli import main

    sep = ";" if ";" in args else "\t" if "--delimiter" in args else ","
    X, cols = write_data(tmp_path, header, "utf-8" if "--delimiter" in args else "utf-8-sig", sep)
    monkeypatch.chdir(tmp_path)
    nfolds = int(args[args.index("--cv") + 1]) if "--cv" in args else 0
    assert main(["fit", "data.txt", *args, "--json", "out.json"] + ([] if nfolds else ["--cv", "0"])) == 0
    doc = json.loads((tmp_path / "out.json").read_text())
    y = np.column_stack([cols[c] for c in response]) if len(response) > 1 else cols[response[0]]
    family = eval("families." + family) if "(" in family else family
    assert doc["path"]["feature_names"] == ["x1", "x2", "x3"]
    if nfolds:
        ref = varnel.cv_path(X, y, family, nfolds=nfolds, seed=0, **options)
        assert doc["cv"]["nfolds"] == nfolds and doc["cv"]["lambda_1se"] >= doc["cv"]["lambda_min"]
        np.testing.assert_allclose(doc["cv"]["cvm"], ref.cvm, rtol=1e-12)
        np.testing.assert_allclose(doc["cv"]["coef_lambda_1se"], ref.coef(), rtol=1e-12, atol=1e-15)
        ref = ref.path
    else:
        ref = varnel.fit_path(X, y, family, **options)
        assert "cv" not in doc
    assert doc["path"]["alpha"] == options.get("alpha", 1.0) and doc["path"]["link"] == ref.family_instance.link
    assert doc["path"]["classes"] == (None if ref.classes is None else list(ref.classes))
    np.testing.assert_allclose(doc["path"]["lambdas"], ref.lambdas, rtol=1e-12)
    np.testing.assert_allclose(doc["path"]["coefs"], ref.coefs, rtol=1e-12, atol=1e-15)
    if "--plot" in args:
        assert (tmp_path / "out.png").read_bytes().startswith(PNG)


@pytest.mark.parametrize("rows, args, code, message", [  # (rows of the file x, y, or None for no file)
    (None, ["--version"], 0, f"varnel {varnel.__version__}\n"),
    (None, ["demo", "--nfolds", "1"], 2, "argument --nfolds: must be an integer of at least 2, got 1"),
    (None, ["demo", "--seed", "-3"], 2, "argument --seed: must be a non-negative integer, got -3"),
    ([[1, 2], ["oops", 3], [2, 1]], ["--target", "y", "--cv", "0"], 1,
     "line 3, column 'x': not a number: 'oops'; every column but the target must be numeric: "
     "leave this one out with --drop x"),
    ([[1, 2], ["NA", 3], [2, 1]], ["--target", "y"], 1,
     "line 3, column 'x': missing value: 'NA'; remove or fill the rows with missing values, or "
     "leave the column out with --drop x"),
    ([[1, 2], [3, "nan"], [2, 1]], ["--target", "y"], 1,
     "line 3, column 'y': missing value: 'nan'; remove or fill the rows with missing values\n"),
    ([[1, "yes"], [3, "no"], [2, "no"]], ["--target", "y"], 1,
     "the target holds text: for class labels use --family logistic (two classes) or --family multinomial"),
    ([[1, "yes"], [3, ""], [2, "no"]], ["--target", "y", "--family", "logistic"], 1,
     "line 3, column 'y': missing value: ''"),
    ([[1, 2]], ["--target", "z"], 1, "no column named 'z'; the columns are x, y"),
    ([[1, 2]], ["--target", "y", "--drop", "z"], 1, "no column named 'z'"),
    ([[1, 2]], ["--target", "y", "--drop", "y"], 1, "the target 'y' cannot be dropped"),
    ([[1, 2]], ["--target", "y", "--drop", "x"], 1, "no feature column besides the target"),
    ([[1, 2]], ["--target", "y", "--alpha", "2"], 2, "argument --alpha: must lie in [0, 1]"),
    ([[1, 2]], ["--target", "y", "--alpha", "nan"], 2, "argument --alpha: must lie in [0, 1]"),
    ([[1, 2]], [], 1, "the response needs --target COLUMN"),
    ([[1, 2]], ["--target", "y", "--family", "tweedie"], 2, "argument --family: the tweedie family needs its power"),
    ([[1, 2]], ["--target", "y", "--family", "gamma", "--link", "logit"], 1,
     "link='logit' is not available for the gamma family"),
    ([[1, 0], [2, 1]], ["--target", "y", "--family", "gamma"], 1,
     "the gamma family needs positive values in y, but y[0] is 0"),
    ([[1, 2]], ["--target", "x", "y"], 1, "--family gaussian takes one --target column"),
    ([[1, 2]], ["--target", "y", "--family", "cox"], 1, "--family cox takes the survival times"),
    ([[1, 2]], ["--target", "y", "--time", "x"], 1, "--time, --status and --ties are for --family cox"),
    ([[1, 2]], ["--family", "cox", "--time", "x"], 1,
     "--family cox needs both --time COLUMN (the survival times) and --status COLUMN (1 an event, "
     "0 censored); add --status COLUMN\n"),
    ([[1, 2]], ["--family", "cox", "--status", "y"], 1, "; add --time COLUMN\n"),
    ([[1, 2]], ["--family", "cox"], 1, "; add --time COLUMN and --status COLUMN\n"),
    # integers checked before anything is read, with argparse's messages
    ([[1, 2]], ["--target", "y", "--nlambda", "-5"], 2, "argument --nlambda: must be a positive integer, got -5"),
    ([[1, 2]], ["--target", "y", "--nlambda", "0"], 2, "argument --nlambda: must be a positive integer, got 0"),
    ([[1, 2]], ["--target", "y", "--nlambda", "1e3"], 2, "argument --nlambda: not an integer: '1e3'"),
    ([[1, 2]], ["--target", "y", "--seed", "-1"], 2, "argument --seed: must be a non-negative integer, got -1"),
    ([[1, 2]], ["--target", "y", "--cv", "1"], 2, "argument --cv: must be 0 (the path only) or at least 2 folds"),
    ([[1, 2]], ["--target", "y", "--cv", "-1"], 2, "argument --cv: must be 0 (the path only) or at least 2 folds"),
    ([[1, 2]], ["--target", "y", "--jobs", "0"], 2, "argument --jobs: must be a positive count, or -1 for every core"),
    # a link only where the family offers a choice of links
    ([[1, 2]], ["--family", "cox", "--time", "x", "--status", "y", "--link", "log"], 2,
     "argument --link: the cox family has no choice of link (its linear predictor is always on the log "
     "scale); leave --link out"),
    ([[1, 2]], ["--target", "y", "--family", "multinomial", "--link", "logit"], 2,
     "argument --link: the multinomial family has no choice of link"),
    ([[1, 2]], ["--target", "y", "--delimiter", ";;"], 2,
     "argument --delimiter: must be one character, or 'tab' (or '\\t') for a tab, got ';;'"),
    # groups of columns
    ([[1, 2]], ["--target", "y", "--group", "g"], 2,
     "argument --group: must be NAME=COLUMN,COLUMN,... (a group's name and its columns), got 'g'"),
    ([[1, 2]], ["--target", "y", "--group", "g=x,z"], 1,
     "--group g: no feature column 'z' (the target and the --drop columns are not features)"),
    ([[1, 2]], ["--target", "y", "--group", "g=x", "--group", "g=x"], 1,
     "--group g is given twice; list all its columns in one --group"),
    ([[1, 2]], ["--target", "y", "--l1-within", "0.5"], 1,
     "--l1-within applies to groups of columns: add --group NAME=COLUMN,..."),
    ([[1, 2]], ["--target", "y", "--group", "g=x", "--l1-within", "2"], 2,
     "argument --l1-within: must lie in [0, 1] (0 whole groups, 1 single columns), got 2"),
])
def test_refusals_and_version(tmp_path, capsys, rows, args, code, message):
    from varnel.cli import main

    if rows is not None:
        write_csv(tmp_path / "bad.csv", ["x", "y"], rows)
        args = ["fit", str(tmp_path / "bad.csv"), *args]
    if code == 1:
        assert main(args) == 1
    else:  # the argument parser's exit: 2 for a refusal
        with pytest.raises(SystemExit) as exc:
            main(args)
        assert exc.value.code == code
    out, err = capsys.readouterr()
    assert message in (out if code == 0 else err)


def test_cli_page_synopsis_lists_every_flag_and_family():
    import pathlib
    import re

    from varnel import families
    from varnel.cli import build_parser

    page = pathlib.Path(__file__).resolve().parents[1] / "docs" / "cli.md"
    if not page.exists():
        pytest.skip("docs/cli.md is not next to the tests")
    synopsis = re.search(r"# The command line\n\n```sh\n(.*?)```", page.read_text(), flags=re.S).group(1)
    sub = next(a for a in build_parser()._actions if a.dest == "command")
    for command, parser in sub.choices.items():
        assert f"python -m varnel {command}" in synopsis
        for action in parser._actions:
            for flag in action.option_strings:
                assert flag in ("-h", "--help") or flag in synopsis, flag
            for choice in action.choices or ():
                assert choice in synopsis, (action.dest, choice)
    assert all(name in synopsis for name in families.names())


@pytest.mark.parametrize("flags, tty, shown", [
    ([], False, None), ([], True, "bar"), (["--verbose"], False, "bar"), (["-v"], False, "bar"),
    (["-vv"], False, "rows"), (["--quiet"], True, None), (["-q"], False, None),
])
@pytest.mark.parametrize("cv", ["0", "3"])
def test_progress_on_stderr(tmp_path, monkeypatch, capsys, flags, tty, shown, cv):
    import sys

    from varnel.cli import main

    monkeypatch.setitem(sys.modules, "tqdm", None)  # the one updating line: exact text
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: tty)
    write_data(tmp_path, ["x1", "x2", "x3", "y"])
    monkeypatch.chdir(tmp_path)
    assert main(["fit", "data.txt", "--target", "y", "--cv", cv, "--nlambda", "8", *flags]) == 0
    out, err = capsys.readouterr()
    assert "Df" in out and " lambdas\n" not in out and "passes" not in out
    if shown is None:
        assert err == ""
        return
    import re

    desc = "path" if cv == "0" else "cross-validation"
    done = re.search(desc + r": (\d+)/(\d+) lambdas\n\Z", err)  # the line ends full
    assert done and done.group(1) == done.group(2), err[-80:]
    header = " index       lambda     df    %dev   passes"
    assert (header in err) == (shown == "rows")
