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


def write_csv(path, header, rows, encoding="utf-8"):
    with open(path, "w", newline="", encoding=encoding) as fh:
        w = csv.writer(fh)
        w.writerow(header)
        w.writerows(rows)


def test_fit_csv_with_json_and_plot(tmp_path):
    pytest.importorskip("matplotlib")
    rng = np.random.default_rng(0)
    X = np.round(rng.standard_normal((60, 4)), 3)
    y = np.round(X[:, 1] - X[:, 3] + 0.3 * rng.standard_normal(60), 3)
    src = tmp_path / "data.csv"
    write_csv(src, ["a", "target", "b", "c", "d"],
              [[X[i, 0], y[i], X[i, 1], X[i, 2], X[i, 3]] for i in range(60)])
    proc = run("fit", str(src), "--target", "target", "--alpha", "0.5", "--cv", "5",
               "--json", "out.json", "--plot", "out.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads((tmp_path / "out.json").read_text())
    assert doc["path"]["feature_names"] == ["a", "b", "c", "d"]
    assert doc["path"]["alpha"] == 0.5
    assert doc["cv"]["nfolds"] == 5 and doc["cv"]["lambda_1se"] >= doc["cv"]["lambda_min"]
    ref = varnel.cv_path(X, y, nfolds=5, seed=0, alpha=0.5)
    np.testing.assert_allclose(doc["cv"]["cvm"], ref.cvm, rtol=1e-12)
    np.testing.assert_allclose(doc["cv"]["coef_lambda_1se"], ref.coef(), rtol=1e-12, atol=1e-15)
    assert (tmp_path / "out.png").read_bytes().startswith(PNG)


@pytest.mark.parametrize("family, classes", [("logistic", ["no", "yes"]), ("multinomial", ["maybe", "no", "yes"])])
def test_fit_labels_without_cv(tmp_path, monkeypatch, family, classes):
    from varnel.cli import main

    rng = np.random.default_rng(1)
    X = np.round(rng.standard_normal((50, 3)), 3)
    score = X[:, 0] + 0.5 * rng.standard_normal(50)
    labels = np.array(classes)[np.digitize(score, np.quantile(score, np.linspace(0, 1, len(classes) + 1)[1:-1]))]
    src = tmp_path / "labels.csv"  # with a byte-order mark before the target's name, and text to drop
    write_csv(src, ["label", "x1", "id", "x2", "note", "x3"],
              [[labels[i], X[i, 0], f"r{i}", X[i, 1], "text", X[i, 2]] for i in range(50)], "utf-8-sig")
    monkeypatch.chdir(tmp_path)
    assert main(["fit", str(src), "--target", "label", "--family", family, "--cv", "0",
                 "--json", "path.json", "--drop", "id", "note"]) == 0
    doc = json.loads((tmp_path / "path.json").read_text())
    assert doc["path"]["classes"] == classes and "cv" not in doc
    assert doc["path"]["feature_names"] == ["x1", "x2", "x3"]
    ref = varnel.fit_path(X, labels, family=family)
    np.testing.assert_allclose(doc["path"]["lambdas"], ref.lambdas, rtol=1e-12)


@pytest.mark.parametrize("family, link, made", [("tweedie:1.5", "identity", "Tweedie(1.5, link='identity')"),
                                              ("negbin:2", None, "NegativeBinomial(2)")])
def test_fit_a_family_with_a_parameter_and_a_link(tmp_path, monkeypatch, family, link, made):
    from varnel import families
    from varnel.cli import main

    rng = np.random.default_rng(2)
    X = np.round(rng.standard_normal((60, 3)), 3)
    y = rng.poisson(3 * np.exp(0.3 * X[:, 0])).astype(float)
    src = tmp_path / "counts.csv"
    write_csv(src, ["x1", "x2", "x3", "y"], [[*X[i], y[i]] for i in range(60)])
    monkeypatch.chdir(tmp_path)
    assert main(["fit", str(src), "--target", "y", "--family", family, "--cv", "0", "--json", "path.json"]
                + (["--link", link] if link else [])) == 0
    doc = json.loads((tmp_path / "path.json").read_text())
    ref = varnel.fit_path(X, y, family=eval("families." + made))
    assert doc["path"]["link"] == ref.family_instance.link
    np.testing.assert_allclose(doc["path"]["coefs"], ref.coefs, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("rows, args, code, message", [
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
def test_fit_errors(tmp_path, capsys, rows, args, code, message):
    from varnel.cli import main

    src = tmp_path / "bad.csv"
    write_csv(src, ["x", "y"], rows)
    if code == 2:  # refused by the argument parser
        with pytest.raises(SystemExit) as exc:
            main(["fit", str(src), *args])
        assert exc.value.code == 2
    else:
        assert main(["fit", str(src), *args]) == 1
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("family, columns", [("cox", ["--time", "t", "--status", "dead", "--ties", "efron"]),
                                             ("multitask", ["--target", "t", "dead"])])
def test_fit_survival_and_several_responses(tmp_path, monkeypatch, family, columns):
    from varnel.cli import main

    rng = np.random.default_rng(2)
    X = np.round(rng.standard_normal((60, 3)), 3)
    t = np.round(rng.exponential(np.exp(-X[:, 0])), 2) + 0.01
    dead = (rng.random(60) < 0.7).astype(float)
    write_csv(tmp_path / "surv.csv", ["x1", "t", "x2", "dead", "x3"],
              [[X[i, 0], t[i], X[i, 1], dead[i], X[i, 2]] for i in range(60)])
    monkeypatch.chdir(tmp_path)
    assert main(["fit", "surv.csv", "--family", family, *columns, "--cv", "3", "--json", "out.json"]) == 0
    doc = json.loads((tmp_path / "out.json").read_text())
    opts = dict(ties="efron") if family == "cox" else {}
    ref = varnel.cv_path(X, np.column_stack([t, dead]), family, nfolds=3, seed=0, **opts)
    np.testing.assert_allclose(doc["cv"]["cvm"], ref.cvm, rtol=1e-12)
    np.testing.assert_allclose(doc["path"]["coefs"], ref.path.coefs, rtol=1e-12, atol=1e-15)


def test_fit_with_groups_is_the_grouped_path(tmp_path, monkeypatch):
    """--group NAME=COLUMNS and --l1-within fit fit_path's groups (the
    others columns by themselves), and the plot draws the groups' norms."""
    from varnel.cli import main

    rng = np.random.default_rng(4)
    X = rng.standard_normal((80, 4))
    y = X[:, 0] + X[:, 1] - 0.5 * X[:, 3] + rng.standard_normal(80)
    write_csv(tmp_path / "g.csv", ["a", "b", "c", "d", "y"], np.column_stack([X, y]).tolist())
    monkeypatch.chdir(tmp_path)
    assert main(["fit", "g.csv", "--target", "y", "--group", "ab=a,b", "--group", "cd=c,d",
                 "--l1-within", "0.25", "--cv", "0", "--json", "g.json"]) == 0
    doc = json.loads((tmp_path / "g.json").read_text())
    ref = varnel.fit_path(X, y, feature_groups=[0, 0, 1, 1], l1_within=0.25)
    np.testing.assert_allclose(doc["path"]["coefs"], ref.coefs, rtol=1e-12, atol=1e-15)


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


@pytest.mark.parametrize("delimiter", ["tab", "TAB", "\\t", ";"])
def test_fit_honours_the_delimiter(tmp_path, monkeypatch, delimiter):
    from varnel.cli import main

    rng = np.random.default_rng(3)
    X = np.round(rng.standard_normal((40, 3)), 3)
    y = np.round(X[:, 0] + 0.3 * rng.standard_normal(40), 3)
    sep = ";" if delimiter == ";" else "\t"
    (tmp_path / "data.txt").write_text("\n".join([sep.join(["a", "b", "c", "y"])] +
                                                 [sep.join(map(str, [*X[i], y[i]])) for i in range(40)]) + "\n")
    monkeypatch.chdir(tmp_path)
    assert main(["fit", "data.txt", "--target", "y", "--delimiter", delimiter, "--cv", "0",
                 "--json", "out.json"]) == 0
    doc = json.loads((tmp_path / "out.json").read_text())
    assert doc["path"]["feature_names"] == ["a", "b", "c"]
    np.testing.assert_allclose(doc["path"]["coefs"], varnel.fit_path(X, y).coefs, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("args, code, stream, text", [
    (["--version"], 0, "out", f"varnel {varnel.__version__}\n"),
    (["demo", "--nfolds", "1"], 2, "err", "argument --nfolds: must be an integer of at least 2, got 1"),
    (["demo", "--seed", "-3"], 2, "err", "argument --seed: must be a non-negative integer, got -3"),
])
def test_version_and_demo_arguments(capsys, args, code, stream, text):
    from varnel.cli import main

    with pytest.raises(SystemExit) as exc:
        main(args)
    assert exc.value.code == code
    out, err = capsys.readouterr()
    assert text in (out if stream == "out" else err)


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
    rng = np.random.default_rng(2)
    X = np.round(rng.standard_normal((40, 3)), 3)
    write_csv(tmp_path / "d.csv", ["a", "b", "c", "y"],
              [[*X[i], round(X[i, 0] + 0.1 * i % 3, 3)] for i in range(40)])
    monkeypatch.chdir(tmp_path)
    assert main(["fit", "d.csv", "--target", "y", "--cv", cv, "--nlambda", "8", *flags]) == 0
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
