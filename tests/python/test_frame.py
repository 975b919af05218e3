"""The call frame shared by every function: registration, argument binding and
conversion messages, notes, and results over native buffers."""

import re
import subprocess
import sys

import numpy as np
import pytest

import orvik
from conftest import CLASSES, NAMES

NO_CONSTRUCTOR = ["PyMeshModel", "PyModelTree", "StructuredGrid", "PyCoastline"]

Q = np.zeros((1, 6), np.float32)


class TestRegistration:
    def test_package_holds_the_extension_as_orvik_orvik(self):
        extension = sys.modules["orvik.orvik"]
        assert orvik.__name__ == "orvik"
        assert extension.__file__.endswith(".so")
        assert extension.__doc__ == "" and orvik.__doc__
        assert extension.__all__ == NAMES
        for name in NAMES:
            assert getattr(orvik, name) is getattr(extension, name)

    def test_all_lists_exactly_the_registered_names_in_order(self):
        assert orvik.__all__ == NAMES
        extension = sys.modules["orvik.orvik"]
        public = [n for n in vars(extension) if not (n.startswith("__") and n.endswith("__"))]
        assert sorted(public) == sorted(NAMES)

    @pytest.mark.parametrize("name", NAMES)
    def test_module_of_every_name(self, name):
        obj = getattr(orvik, name)
        assert obj.__module__ == "orvik"
        assert obj.__name__ == name
        if isinstance(obj, type):
            assert obj.__qualname__ == name

    @pytest.mark.parametrize("name", CLASSES)
    def test_classes_cannot_be_subclassed(self, name):
        with pytest.raises(TypeError):
            type("Sub", (getattr(orvik, name),), {})

    @pytest.mark.parametrize("name", NO_CONSTRUCTOR)
    def test_classes_without_constructor(self, name):
        with pytest.raises(TypeError, match="cannot create"):
            getattr(orvik, name)()

    def test_instances_take_no_new_attributes_and_no_weakrefs(self):
        import weakref

        params = orvik.QueryParams(0, 255)
        with pytest.raises(AttributeError):
            params.extra = 1
        assert not hasattr(params, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(params)

    def test_signatures_are_readable(self):
        import inspect

        assert str(inspect.signature(orvik.blend_many)) == "(lhs, rhs)"
        assert str(inspect.signature(orvik.adaptive_tin)) == "(boundary, surfaces, max_edge=None)"
        assert str(inspect.signature(orvik.QueryCoordinates)) == "(x, y, z, depth, mask=None)"
        assert orvik.blend_many.__doc__.splitlines()[0] == (
            'Vectorised Porter-Duff "over" blend of two ``(N, 6)`` quality arrays.'
        )

    def test_import_in_fresh_interpreter_runs_nothing_else(self):
        out = subprocess.run(
            [sys.executable, "-c", "import orvik, sys; print(len(orvik.__all__))"],
            capture_output=True,
            text=True,
            check=True,
        )
        assert out.stdout.strip() == "12" and out.stderr == ""


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda: orvik.blend_many(Q, Q, Q),
                "blend_many() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda: orvik.blend_many(Q),
                "blend_many() missing 1 required positional argument: 'rhs'",
            ),
            (
                lambda: orvik.blend_many(),
                "blend_many() missing 2 required positional arguments: 'lhs' and 'rhs'",
            ),
            (
                lambda: orvik.blend_many(Q, Q, out=Q),
                "blend_many() got an unexpected keyword argument 'out'",
            ),
            (
                lambda: orvik.blend_many(Q, lhs=Q),
                "blend_many() got multiple values for argument 'lhs'",
            ),
            (
                lambda: orvik.QueryParams(1, 2, 3),
                "QueryParams.__new__() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda: orvik.QueryParams(),
                "QueryParams.__new__() missing 2 required positional arguments: "
                "'priority_lo' and 'priority_hi'",
            ),
            (
                lambda: orvik.QueryCoordinates(*[np.zeros(1, np.float32)] * 6),
                "QueryCoordinates.__new__() takes from 4 to 5 positional arguments but 6 were given",
            ),
            (
                lambda: orvik.QueryCoordinates(),
                "QueryCoordinates.__new__() missing 4 required positional arguments: 'x', 'y', 'z', and 'depth'",
            ),
            (
                lambda: orvik.adaptive_tin(np.zeros((3, 2))),
                "adaptive_tin() missing 1 required positional argument: 'surfaces'",
            ),
            (
                lambda: orvik.adaptive_tin(1, 2, 3, 4),
                "adaptive_tin() takes from 2 to 3 positional arguments but 4 were given",
            ),
            (
                lambda: orvik.coastline(),
                "coastline() missing 1 required positional argument: 'segments_py'",
            ),
        ],
    )
    def test_interpreter_wordings(self, call, message):
        with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
            call()

    def test_one_positional_given_says_was(self):
        with pytest.raises(
            TypeError, match=re.escape("model_tree() takes 1 positional arguments but 2 were given")
        ):
            orvik.model_tree([], [])
        with pytest.raises(
            TypeError, match=re.escape("coastline() takes 1 positional arguments but 2 were given")
        ):
            orvik.coastline(1, 2)

    def test_keywords_bind_by_name(self):
        a = np.ones((2, 6), np.float32)
        b = np.zeros((2, 6), np.float32)
        np.testing.assert_array_equal(orvik.blend_many(rhs=b, lhs=a), orvik.blend_many(a, b))


class TestConversion:
    @pytest.mark.parametrize(
        "value, message",
        [
            (256, "number too large to fit in target type"),
            (-1, "number too small to fit in target type"),
            (10**30, "number too large to fit in target type"),
            (-(10**30), "number too small to fit in target type"),
        ],
    )
    def test_priority_overflow(self, value, message):
        with pytest.raises(OverflowError, match=message) as info:
            orvik.QueryParams(0, value)
        assert info.value.__notes__ == ["while processing 'priority_hi'"]

    @pytest.mark.parametrize("value", [0, 255, np.uint8(7), True])
    def test_priority_accepts_integers(self, value):
        orvik.QueryParams(value, 255)

    def test_priority_refuses_floats_with_the_interpreters_error(self):
        with pytest.raises(TypeError, match="cannot be interpreted as an integer") as info:
            orvik.QueryParams(1.0, 2)
        assert info.value.__notes__ == ["while processing 'priority_lo'"]

    def test_str_where_a_sequence_is_required(self):
        with pytest.raises(TypeError, match=re.escape("Can't extract `str` to `Vec`")) as info:
            orvik.model_tree("abc")
        assert info.value.__notes__ == ["while processing 'mesh_models'"]

    def test_non_sequence_names_sequence(self):
        with pytest.raises(
            TypeError, match=re.escape("'int' object is not an instance of 'Sequence'")
        ) as info:
            orvik.model_tree(5)
        assert info.value.__notes__ == ["while processing 'mesh_models'"]

    def test_float64_where_float32_is_required(self):
        with pytest.raises(TypeError) as info:
            orvik.QueryCoordinates(
                np.zeros(3),
                np.zeros(3, np.float32),
                np.zeros(3, np.float32),
                np.zeros(3, np.float32),
            )
        assert info.value.__notes__ == ["while processing 'x'"]

    def test_array_subclasses_are_accepted(self):
        class Tagged(np.ndarray):
            pass

        a = np.ones((2, 6), np.float32).view(Tagged)
        assert orvik.blend_many(a, a).shape == (2, 6)

    def test_equivalent_dtype_spellings_are_accepted(self):
        a = np.ones((2, 6), dtype=np.dtype("<f4"))
        assert orvik.blend_many(a, a).dtype == np.float32

    def test_byte_swapped_dtype_is_refused(self):
        a = np.ones((2, 6), dtype=np.dtype(">f4"))
        with pytest.raises(TypeError):
            orvik.blend_many(a, a)
