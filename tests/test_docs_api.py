"""Every public name has a numpydoc docstring with an example, and the
examples run.

The public names: ``varnel.__all__``, ``varnel.families.__all__``, the
public methods of their classes, and the extension module's stable entries
``varnel._core.elnet_path`` and ``elnet_sparse`` (whose docstrings are the
signature the interpreter shows; their reference, with its example, is
``docs/api/core.rst``).
"""

import doctest
import inspect
import pathlib
import re

import numpy as np
import pytest

import varnel
from varnel import _core, families

ROOT = pathlib.Path(__file__).resolve().parents[1]

pytest.importorskip("sklearn")


def _public_objects():
    """(qualified name, object, kind) of every public function, class,
    method and property."""
    out = []
    for modname, module in (("varnel", varnel), ("varnel.families", families)):
        for name in module.__all__:
            obj = getattr(module, name)
            if inspect.isclass(obj):
                out.append((f"{modname}.{name}", obj, "class"))
                for klass in obj.__mro__:
                    if not (klass.__module__ or "").startswith("varnel"):
                        continue
                    for attr, value in vars(klass).items():
                        if attr.startswith("_"):
                            continue
                        if isinstance(value, property):
                            out.append((f"{modname}.{name}.{attr}", value, "property"))
                        elif isinstance(value, (classmethod, staticmethod)) or inspect.isfunction(value):
                            out.append((f"{modname}.{name}.{attr}", getattr(obj, attr), "method"))
            elif callable(obj):
                out.append((f"{modname}.{name}", obj, "function"))
    seen, unique = set(), []
    for item in out:
        if item[0] not in seen:
            seen.add(item[0])
            unique.append(item)
    return unique


PUBLIC = _public_objects()
DOCUMENTED_CLASSES = {"varnel.Path", "varnel.CVPath", "varnel.ElasticNetRegressor",
                      "varnel.LogisticNetClassifier", "varnel.PoissonNetRegressor",
                      "varnel.GeneralizedNetRegressor", "varnel.CoxPHNetSurvival",
                      "varnel.MultiTaskNetRegressor"}


# Public by name, but built only from the solver's internal results (no
# caller constructs them): a docstring suffices.
INTERNAL_CONSTRUCTORS = {"varnel.Path.from_solution"}


def test_the_walk_finds_the_public_names():
    names = {name for name, _, _ in PUBLIC}
    assert {"varnel.fit_path", "varnel.cv_path", "varnel.Path.predict", "varnel.CVPath.coef",
            "varnel.families.get_family", "varnel.families.Family.unit_deviance",
            "varnel.LogisticNetClassifier.predict_proba"} <= names
    assert len(names) > 100


@pytest.mark.parametrize("name,obj,kind", PUBLIC, ids=[p[0] for p in PUBLIC])
def test_public_name_has_a_docstring(name, obj, kind):
    doc = inspect.getdoc(obj)
    assert doc and doc.strip(), f"{name} has no docstring"
    if kind in ("function", "class"):
        assert re.search(r"^Examples\n-+$", doc, flags=re.M), f"{name} has no Examples section"
        assert ">>>" in doc, f"{name}'s Examples section holds no example"
    if (kind == "method" and name.rsplit(".", 1)[0] in DOCUMENTED_CLASSES
            and name not in INTERNAL_CONSTRUCTORS):
        assert re.search(r"^Examples\n-+$", doc, flags=re.M), f"{name} has no Examples section"


@pytest.mark.parametrize("name,obj,kind", [p for p in PUBLIC if p[2] == "function"],
                         ids=[p[0] for p in PUBLIC if p[2] == "function"])
def test_function_docstring_has_parameters_and_returns(name, obj, kind):
    doc = inspect.getdoc(obj)
    if inspect.signature(obj).parameters:
        assert re.search(r"^Parameters\n-+$", doc, flags=re.M), f"{name} has no Parameters section"
    assert re.search(r"^Returns\n-+$", doc, flags=re.M), f"{name} has no Returns section"


def _section_names(doc, title):
    """The entry names of a numpydoc section (``a, b : type`` names two)."""
    match = re.search(rf"^{title}\n-+\n(.*?)(?=^\w+\n-+$|\Z)", doc, flags=re.M | re.S)
    assert match, f"no {title} section"
    return [name.strip() for line in match.group(1).splitlines() if line and not line.startswith(" ")
            for name in line.split(" : ")[0].split(",")]


@pytest.mark.parametrize("name", sorted(n for n in DOCUMENTED_CLASSES if n.endswith(("Regressor", "Classifier",
                                                                                     "Survival"))))
def test_estimator_documents_its_own_parameters_and_attributes(name):
    # the estimators' sections are composed from shared entries: each
    # documents exactly the parameters of its own signature, in order, and
    # only warnings under Warns
    cls = getattr(varnel, name.split(".")[-1])
    doc = inspect.getdoc(cls)
    assert _section_names(doc, "Parameters") == list(inspect.signature(cls).parameters)
    attributes = _section_names(doc, "Attributes")
    assert "coef_" in attributes and all(a.endswith("_") for a in attributes)
    assert all(w.endswith("Warning") for w in _section_names(doc, "Warns"))
    for title in ("Parameters", "Attributes", "Warns", "Examples"):
        assert len(re.findall(rf"^{title}\n-+$", doc, flags=re.M)) == 1, title


@pytest.mark.parametrize("entry", ["elnet_path", "elnet_sparse"])
def test_core_entries_have_their_signature_and_a_reference_with_an_example(entry):
    func = getattr(_core, entry)
    # the binding's docstring is the signature (and, for elnet_sparse, three
    # fixed lines): what help() shows
    assert func.__text_signature__ is not None and "thresh=1e-7" in func.__text_signature__
    reference = (ROOT / "docs" / "api" / "core.rst")
    if not reference.exists():
        pytest.skip("docs/ is not next to the tests")
    text = reference.read_text()
    start = text.index(f".. py:function:: {entry}(")
    end = text.find(".. py:function::", start + 1)
    section = text[start:end if end > 0 else None]
    for heading in ("Parameters", "Returns", "Raises", "Examples"):
        assert f".. rubric:: {heading}" in section, (entry, heading)
    # the reference's signature is the one the interpreter shows
    directive = section.splitlines()[0]
    for parameter in inspect.signature(func).parameters:
        assert f"{parameter}" in directive, (entry, parameter)
    assert directive.count("=") == func.__text_signature__.count("=")


def _examples():
    finder = doctest.DocTestFinder(exclude_empty=True)
    seen, tests = set(), []
    for name, obj, kind in PUBLIC:
        if kind == "property":
            continue
        for test in finder.find(obj, name, globs={}):
            if test.examples and (test.filename, test.lineno, test.name) not in seen:
                seen.add((test.filename, test.lineno, test.name))
                tests.append(test)
    reference = ROOT / "docs" / "api" / "core.rst"
    if reference.exists():
        parser = doctest.DocTestParser()
        text = reference.read_text()
        for entry in ("elnet_path", "elnet_sparse"):
            start = text.index(f".. py:function:: {entry}(")
            end = text.find(".. py:function::", start + 1)
            block = text[start:end if end > 0 else None]
            tests.append(parser.get_doctest(block, {}, f"varnel._core.{entry}", str(reference), 0))
    return tests


EXAMPLES = _examples()


@pytest.mark.parametrize("test", EXAMPLES, ids=[t.name for t in EXAMPLES])
def test_docstring_example_runs(test, monkeypatch, tmp_path):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    with np.printoptions(legacy="1.25"):
        result = runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
    assert result.failed == 0
