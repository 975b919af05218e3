"""The examples in the docstrings of the installed package and in the pages of
the documentation run as doctests."""

import doctest
import importlib
import pkgutil
from pathlib import Path

import pytest

import orvik

DOCS = Path(__file__).resolve().parents[2] / "docs"
OPTIONS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
MODULES = sorted(m.name for m in pkgutil.iter_modules(orvik.__path__, "orvik."))
PAGES = sorted(
    p.relative_to(DOCS).as_posix()
    for p in DOCS.rglob("*.rst")
    if not {"_build", "gallery"} & set(p.relative_to(DOCS).parts)
)


def run(tests) -> doctest.TestResults:
    runner = doctest.DocTestRunner(optionflags=OPTIONS)
    for test in tests:
        runner.run(test)
    return runner.summarize(verbose=False)


def module_tests(name):
    return doctest.DocTestFinder().find(importlib.import_module(name), name)


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    assert run(module_tests(name)).failed == 0


@pytest.mark.parametrize("page", PAGES)
def test_page_examples(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # an example that writes a file writes it here
    text = (DOCS / page).read_text(encoding="utf-8")
    result = run([doctest.DocTestParser().get_doctest(text, {}, page, str(DOCS / page), 0)])
    assert result.failed == 0
    # Every example on the page was found and run.
    assert result.attempted == sum(line.lstrip().startswith(">>> ") for line in text.splitlines())


def test_examples_are_found():
    assert sum(run(module_tests(name)).attempted for name in MODULES) > 0
    guide = [p for p in PAGES if p.startswith("user_guide/")]
    with_examples = [p for p in guide if ">>> " in (DOCS / p).read_text(encoding="utf-8")]
    assert len(with_examples) >= 7
