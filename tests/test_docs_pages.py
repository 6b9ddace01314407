"""The code blocks of the guide's pages (docs/**/*.md) and of README.md run,
so that the pages cannot drift from the package.

The ```python blocks of one page run in order in one namespace, in a
temporary directory.  A block preceded by the line ``<!-- no-run -->`` is
skipped (kept for the few that cannot run here); every other block runs.
"""

import pathlib
import re
import warnings

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if "_build" not in p.parts) if DOCS.exists() else []
PAGES += [ROOT / "README.md"] if (ROOT / "README.md").exists() else []
BLOCK = re.compile(r"(<!-- no-run -->\s*\n)?```python\n(.*?)```", flags=re.S)


def blocks(page):
    return [(m.group(2), m.group(1) is not None,
             page.read_text()[:m.start()].count("\n") + 2)
            for m in BLOCK.finditer(page.read_text())]


def test_the_guide_is_there():
    if not DOCS.exists():
        pytest.skip("docs/ is not next to the tests")
    names = {p.relative_to(DOCS).as_posix() for p in PAGES if DOCS in p.parents}
    assert {"getting_started.md", "paths.md", "cross_validation.md", "estimators.md", "dask.md",
            "cli.md", "reliability.md", "models/glm.md", "models/cox.md"} <= names
    assert sum(len(blocks(p)) for p in PAGES) >= 25
    # the opt-out stays rare
    assert sum(skip for p in PAGES for _, skip, _ in blocks(p)) <= 3


@pytest.mark.parametrize("page", [p for p in PAGES if blocks(p)],
                         ids=[p.relative_to(ROOT).as_posix() for p in PAGES if blocks(p)])
def test_page_code_runs(page, tmp_path, monkeypatch):
    for name in ("sklearn", "matplotlib", "joblib", "distributed", "scipy"):
        pytest.importorskip(name)
    import matplotlib

    matplotlib.use("Agg")
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__docs__"}
    ran = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # a page may show a warning on purpose
        for code, skip, line in blocks(page):
            if skip:
                continue
            exec(compile("\n" * (line - 1) + code, str(page), "exec"), namespace)
            ran += 1
    assert ran
    if page.name == "paths.md":
        assert (tmp_path / "cv.png").exists()
        assert namespace["cv"].lambda_1se >= namespace["cv"].lambda_min
