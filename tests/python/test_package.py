"""The orvik package around the extension: a clean namespace, lazy layers,
names that pickle by reference, and a stub that matches the module."""

import ast
import doctest
import importlib
import inspect
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import orvik
from conftest import NAMES, cube_model

EXTRAS = ("xarray", "dask", "distributed", "zarr", "pyproj", "pandas")


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout


# What the import system gives every package, and the package's __all__.
class TestNamespace:
    def test_all_is_the_extensions_registration_order(self):
        assert orvik.__all__ == NAMES
        assert orvik.__all__ is not sys.modules["orvik.orvik"].__all__

    def test_import_loads_numpy_and_the_extension_only(self):
        out = run_python(
            "import sys, orvik\n"
            f"print(sorted({{m.split('.')[0] for m in sys.modules}} & set({EXTRAS!r})))\n"
            "print(sorted(n for n in vars(orvik) if not n.startswith('_')))\n"
        )
        loaded, names = out.splitlines()
        assert loaded == "[]"
        assert names == str(sorted({*NAMES, "orvik"}))

    @pytest.mark.parametrize(
        "name, module",
        [
            ("qualities", "orvik.qualities"),
            ("sampling", "orvik.sampling"),
            ("metadata", "orvik.metadata"),
            ("extraction", "orvik.extraction"),
            ("files", "orvik.files"),
            ("site", "orvik.site"),
            ("orvik", "orvik.orvik"),
        ],
    )
    def test_submodules_are_served_on_access(self, name, module):
        assert getattr(orvik, name) is importlib.import_module(module)
        assert name in dir(orvik)

    def test_sample_is_served_from_its_module(self):
        from orvik.sampling import sample

        assert orvik.sample is sample
        assert "sample" in dir(orvik)

    def test_model_file_functions_are_served_from_their_module(self):
        from orvik import files

        assert (orvik.save, orvik.load, orvik.info) == (files.save, files.load, files.info)
        assert {"save", "load", "info"} <= set(dir(orvik))

    def test_help_shows_the_package_layers(self):
        out = run_python(
            "import orvik, pydoc; print(pydoc.render_doc(orvik, renderer=pydoc.plaintext))"
        )
        for name in ("orvik.sample(", "orvik.qualities", "orvik.extract(", "orvik.to_dataset("):
            assert name in out
        assert {"sample", "qualities", "extract", "to_dataset", "model_tree"} <= set(dir(orvik))

    def test_the_package_pickles_by_reference(self):
        cloudpickle = pytest.importorskip("cloudpickle")
        assert cloudpickle.loads(cloudpickle.dumps(orvik)) is orvik

    def test_unknown_attribute(self):
        with pytest.raises(AttributeError, match="^module 'orvik' has no attribute 'nothing'$"):
            orvik.nothing  # noqa: B018

    def test_native_module_shares_the_library(self):
        native = importlib.import_module("orvik._native")
        assert native.__name__ == "orvik._native"
        assert native.__file__ == sys.modules["orvik.orvik"].__file__
        assert isinstance(native.__all__, list)

    def test_quality_names_are_the_dict_keys_and_the_row_columns(self):
        """The names the package reads from the extension label the columns
        that the extension writes: a value per column, checked by name."""
        from orvik.qualities import QUALITIES

        row = [2.5, 6.0, 3.5, 600.0, 300.0, 1.0]
        tree = orvik.model_tree([cube_model((0, 0, 0), 1.0, row, 0)])
        answer = tree.query(0.5, 0.5, 0.5, 0.5, 0, 255)
        assert QUALITIES == tuple(answer) == ("rho", "vp", "vs", "qp", "qs", "alpha")
        out = np.full((1, len(QUALITIES)), np.nan, np.float32)
        xyz = [np.array([0.5], np.float32) for _ in range(4)]
        tree.query_many(out, orvik.QueryCoordinates(*xyz), orvik.QueryParams(0, 255))
        assert out[0].tolist() == [answer[k] for k in QUALITIES] == row


class TestPickleByReference:
    @pytest.mark.parametrize("name", NAMES)
    def test_registered_names_load_as_themselves(self, name):
        obj = getattr(orvik, name)
        assert obj.__module__ == "orvik"
        assert pickle.loads(pickle.dumps(obj)) is obj

    @pytest.mark.parametrize("path", ["orvik.qualities.blend", "orvik.sampling.sample"])
    def test_package_functions(self, path):
        module, _, name = path.rpartition(".")
        obj = getattr(importlib.import_module(module), name)
        assert pickle.loads(pickle.dumps(obj)) is obj

    def test_help_names_the_public_home(self):
        out = run_python(
            "import orvik, pydoc; print(pydoc.render_doc(orvik.blend_many, renderer=pydoc.plaintext))"
        )
        assert "in module orvik\n" in out and "blend_many(lhs, rhs)" in out


STUB = Path(orvik.__path__[0]) / "orvik.pyi"


def stub_docstrings():
    """(dotted name, docstring) for every documented class, function, method
    and property of the stub."""
    tree = ast.parse(STUB.read_text())
    found = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef | ast.FunctionDef) and not node.name.startswith("_"):
            found.append((node.name, ast.get_docstring(node)))
            if isinstance(node, ast.ClassDef):
                found += [
                    (f"{node.name}.{m.name}", ast.get_docstring(m))
                    for m in node.body
                    if isinstance(m, ast.FunctionDef) and not m.name.startswith("__")
                ]
    return found


class TestStub:
    def test_py_typed_ships_beside_the_stub(self):
        assert (STUB.parent / "py.typed").is_file() and STUB.is_file()

    def test_stub_names_the_twelve(self):
        names = [n for n, _ in stub_docstrings() if "." not in n]
        assert sorted(names) == sorted(NAMES)

    @pytest.mark.parametrize(
        "name, doc",
        stub_docstrings(),
        ids=lambda v: v if isinstance(v, str) and "\n" not in v and len(v) < 40 else "",
    )
    def test_docstrings_are_the_modules(self, name, doc):
        obj = orvik
        for part in name.split("."):
            obj = inspect.getattr_static(obj, part)
        assert doc == (inspect.cleandoc(obj.__doc__) or None)

    def test_every_method_is_in_the_stub(self):
        documented = {n for n, _ in stub_docstrings()}
        for name in NAMES:
            obj = getattr(orvik, name)
            if isinstance(obj, type):
                for attr in vars(obj):
                    if not attr.startswith("_"):
                        assert f"{name}.{attr}" in documented

    def test_type_checkers_see_dtypes_and_results(self, tmp_path):
        """The stubs as a user's type checker reads them: a float64 array
        where float32 is required, and a missing None check, are errors."""
        api = pytest.importorskip("mypy.api")
        user = tmp_path / "user.py"
        user.write_text(
            "import numpy as np\n"
            "import orvik\n"
            "rows = np.zeros((1, 6), np.float32)\n"
            "tree = orvik.model_tree([])\n"
            "reveal_type(orvik.blend_many(rows, rows))\n"
            "reveal_type(orvik.sample)\n"
            "orvik.blend_many(np.zeros((1, 6)), rows)\n"
            "tree.query(1.0, 2.0, 3.0, 0.0, 0, 255)['vp']\n"
        )
        out, _, status = api.run(
            [str(user), "--cache-dir", str(tmp_path / "cache"), "--no-error-summary"]
        )
        lines = out.splitlines()
        assert status == 1
        assert (
            'Revealed type is "numpy.ndarray[tuple[Any, ...], numpy.dtype[numpy.floating['
            in lines[0]
        )
        assert "_32Bit]]]" in lines[0]
        assert (
            "def (tree: orvik.orvik.PyModelTree, x: Any, y: Any, z: Any =, *, depth: Any ="
            in lines[1]
        )
        assert lines[2].startswith(
            f'{user}:7: error: Argument 1 to "blend_many" has incompatible type'
        )
        assert "dtype[float64]" in lines[2]
        assert lines[3].startswith(
            f'{user}:8: error: Value of type "_Quality | None" is not indexable'
        )

    def test_stubtest_passes(self, tmp_path):
        """mypy.stubtest compares the stub with the module that this suite
        imports, and type-checks the package's Python modules on the way."""
        proc = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "orvik"],
            capture_output=True,
            text=True,
            cwd=tmp_path,
        )
        assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("module", ["orvik.qualities", "orvik.sampling"])
def test_examples_in_docstrings(module):
    pytest.importorskip("xarray")
    result = doctest.testmod(
        importlib.import_module(module), optionflags=doctest.NORMALIZE_WHITESPACE
    )
    assert result.attempted > 0 and result.failed == 0
