"""Packaging: optional dependencies stay optional, data and typing files ship."""

import ast
import re
import inspect
import io
import pathlib
import subprocess
import sys
import textwrap
from importlib import resources

import numpy as np
import pytest

import varnel
from varnel.datasets import load_demo, make_demo, write_csv

OPTIONAL = ["sklearn", "matplotlib", "pandas", "joblib", "scipy", "tqdm", "dask", "distributed"]


def run_python(code, cwd=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, cwd=cwd)


def test_works_with_numpy_only(tmp_path):
    # Importing loads no optional package; then every one is made unimportable.
    proc = run_python(f"""
        import sys
        import importlib.abc
        import varnel
        assert not [m for m in {OPTIONAL!r} if m in sys.modules]

        class Block(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in {OPTIONAL!r}:
                    raise ImportError("blocked: " + name)

        sys.meta_path.insert(0, Block())
        import numpy as np

        rng = np.random.default_rng(0)
        X = rng.standard_normal((40, 4)); y = X[:, 0] + 0.3 * rng.standard_normal(40)
        path = varnel.fit_path(X.tolist(), y)
        cvp = varnel.cv_path(X, y, nfolds=4, seed=0, verbose=True)
        assert cvp.lambda_1se >= cvp.lambda_min
        print(path.summary().splitlines()[0])
        for call in (lambda: path.plot(), lambda: varnel.ElasticNetRegressor,
                     lambda: varnel.cv_path(X, y, nfolds=3, n_jobs=2, solver="naive")):
            try:
                call()
            except ImportError as exc:
                print("ImportError:", exc)
        from varnel.cli import main
        assert main(["demo", "--nfolds", "3"]) == 0
    """, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["Df", "%Dev", "Lambda"]
    errors = [ln for ln in lines if ln.startswith("ImportError")]
    assert len(errors) == 2  # folds run on threads of their own without joblib
    assert "matplotlib" in errors[0] and "sklearn" in errors[1]
    assert "no plots written" in proc.stdout
    # without tqdm, one line over the lambdas of the path and its 4 folds, ending full
    done = re.search(r"cross-validation: (\d+)/(\d+) lambdas\n\Z", proc.stderr)
    assert done and done.group(1) == done.group(2) and int(done.group(2)) % 5 == 0


def test_stubs_match_the_extension():
    from varnel import _core

    stub = ast.parse(resources.files("varnel").joinpath("_core.pyi").read_text())
    funcs = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)}
    options = next(c for c in stub.body if isinstance(c, ast.ClassDef) and c.name == "Options")
    option_names = [a.target.id for a in options.body if isinstance(a, ast.AnnAssign)]
    assert option_names == list(_core.OPTION_DEFAULTS)
    assert set(funcs) == {"elnet_path", "elnet_sparse", "fit"}
    for name, node in funcs.items():
        real = inspect.signature(getattr(_core, name))
        assert node.args.kwarg.arg == "options", name
        stub_args = [a.arg for a in node.args.args]
        stub_kw = [a.arg for a in node.args.kwonlyargs] + option_names
        positional = [p.name for p in real.parameters.values() if p.kind != p.KEYWORD_ONLY]
        keyword = [p.name for p in real.parameters.values() if p.kind == p.KEYWORD_ONLY]
        assert stub_args == positional and stub_kw == keyword, name
        defaults = [ast.literal_eval(d) for d in node.args.kw_defaults]
        defaults += [_core.OPTION_DEFAULTS[k] for k in option_names]
        assert defaults == [real.parameters[k].default for k in keyword], name


def test_modules_import_no_circle_and_no_private_name():
    # Each module of the package imports others' public names only (the
    # private modules _convert and _fit are the internal interface), and no
    # chain of imports, lazy ones included, leads back to where it started.
    package = pathlib.Path(varnel.__file__).parent
    graph = {}
    for source in package.glob("*.py"):
        edges = set()
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                if node.module is None:
                    edges.update(a.name for a in node.names)
                else:
                    edges.add(node.module)
                    private = [a.name for a in node.names if a.name.startswith("_")]
                    assert not private, f"{source.name} imports {private} from {node.module}"
        graph[source.stem] = edges - {"_core"}
    state = {}

    def visit(name, trail):
        if state.get(name) == "open":
            raise AssertionError("import circle: " + " -> ".join(trail + [name]))
        if state.get(name) is None:
            state[name] = "open"
            for other in sorted(graph.get(name, ())):
                visit(other, trail + [name])
            state[name] = "done"

    for name in sorted(graph):
        visit(name, [])


def test_demo_data_is_what_make_demo_writes():
    shipped = resources.files("varnel").joinpath("data", "demo.csv").read_text()
    buf = io.StringIO()
    write_csv(make_demo(), buf)
    regenerated = np.loadtxt(io.StringIO(buf.getvalue()), delimiter=",", skiprows=1)
    data = load_demo()
    assert data.X.shape == (120, 12) and data.feature_names[0] == "x1" and data.target_name == "y"
    np.testing.assert_allclose(np.column_stack([data.X, data.y]), regenerated, atol=1e-4)
    assert shipped.splitlines()[0] == ",".join(data.feature_names + ["y"])


def test_public_names_keep_their_modules():
    # names that moved between private modules stay where callers found them
    import pickle

    import varnel.path

    assert varnel.path.fit_path is varnel.fit_path
    assert varnel.path.Path is varnel.Path
    assert varnel.Path.__module__ == "varnel.path"
    rng = np.random.default_rng(0)
    path = varnel.fit_path(rng.normal(size=(30, 3)), rng.normal(size=30), nlambda=3)
    assert pickle.loads(pickle.dumps(path)).lambdas.tolist() == path.lambdas.tolist()
