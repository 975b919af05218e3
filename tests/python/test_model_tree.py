"""model_tree and PyModelTree construction, consumption of the mesh models, and
the structure views (aabb, view, print_structure)."""

import re

import numpy as np
import pytest

import orvik
from conftest import FIVE_TETS, cube_model, empty_model, is_internal, quality_row

CONSUMED_TWICE = "MeshModel has already been consumed by a previous model_tree() call"
CONSUMED = "MeshModel has been consumed by model_tree()"


def model(priority=0, lo=(0, 0, 0), size=8.0, **kw):
    return cube_model(lo, size, quality_row(1.0, 1.0), priority, **kw)


def assert_usable(m):
    assert m.query(1, 1, 1) is not None
    assert m.view()["id"] == 0


class TestSignatures:
    def test_model_tree_doc(self):
        doc = orvik.model_tree.__doc__
        assert orvik.model_tree.__text_signature__ == "(mesh_models)"
        assert (
            doc.splitlines()[0]
            == "Combine one or more [`PyMeshModel`]s into a queryable [`PyModelTree`]."
        )
        assert "Returns `ValueError` if a `PyMeshModel` has already been consumed." in doc

    def test_class_doc_and_method_order(self):
        assert (
            orvik.PyModelTree.__doc__ == "Python-facing velocity model (a compiled [`ModelTree`])."
        )
        names = [n for n in vars(orvik.PyModelTree) if not n.startswith("__")]
        assert names == [
            "query",
            "aabb",
            "query_stats",
            "explain",
            "view",
            "query_many",
            "print_structure",
        ]

    @pytest.mark.parametrize(
        "name,signature,first",
        [
            (
                "query",
                "($self, x, y, z, depth, priority_lo, priority_hi)",
                "Query the velocity model at a single point.",
            ),
            (
                "aabb",
                "($self)",
                "Return the combined 3-D axis-aligned bounding box of all mesh models.",
            ),
            (
                "query_stats",
                "($self, x, y, z, depth)",
                "Query with BVH traversal statistics (AABB tests, simplex tests, etc.).",
            ),
            (
                "explain",
                "($self, x, y, z, depth)",
                "Return a full diagnostic breakdown listing each model's contribution.",
            ),
            (
                "view",
                "($self)",
                "Return a serialisable Python dict describing the model tree structure.",
            ),
            (
                "query_many",
                "($self, out, coords, params)",
                "Query the model for many points at once, writing results into a",
            ),
            (
                "print_structure",
                "($self)",
                "Print a human-readable summary of the model tree to stdout.",
            ),
        ],
    )
    def test_method_docs(self, name, signature, first):
        method = getattr(orvik.PyModelTree, name)
        assert method.__text_signature__ == signature
        assert method.__doc__.splitlines()[0] == first

    def test_no_constructor_no_subclass_no_attributes(self):
        with pytest.raises(TypeError):
            orvik.PyModelTree()
        with pytest.raises(TypeError):
            type("Sub", (orvik.PyModelTree,), {})
        tree = orvik.model_tree([])
        with pytest.raises(AttributeError):
            tree.extra = 1

    @pytest.mark.parametrize("method", ["aabb", "view", "print_structure"])
    def test_parameterless_methods_reject_arguments(self, method):
        with pytest.raises(TypeError):
            getattr(orvik.model_tree([]), method)(1)


class TestArguments:
    def test_str_is_not_a_sequence_of_models(self):
        with pytest.raises(TypeError, match=re.escape("Can't extract `str` to `Vec`")) as e:
            orvik.model_tree("abc")
        assert e.value.__notes__ == ["while processing 'mesh_models'"]

    def test_non_sequence(self):
        with pytest.raises(
            TypeError, match=re.escape("'int' object is not an instance of 'Sequence'")
        ) as e:
            orvik.model_tree(5)
        assert e.value.__notes__ == ["while processing 'mesh_models'"]

    def test_item_of_wrong_type_leaves_models_usable(self):
        a = model()
        with pytest.raises(
            TypeError, match=re.escape("'str' object is not an instance of 'PyMeshModel'")
        ) as e:
            orvik.model_tree([a, "x"])
        assert e.value.__notes__ == ["while processing 'mesh_models'"]
        assert_usable(a)

    def test_binding_errors(self):
        with pytest.raises(
            TypeError,
            match=re.escape("model_tree() missing 1 required positional argument: 'mesh_models'"),
        ):
            orvik.model_tree()
        with pytest.raises(
            TypeError, match=re.escape("model_tree() got an unexpected keyword argument 'models'")
        ):
            orvik.model_tree(models=[])

    def test_keyword_and_tuple(self):
        tree = orvik.model_tree(mesh_models=(model(),))
        assert len(tree.view()["models"]) == 1


class TestConsumption:
    def test_models_are_consumed(self):
        a, b = model(), model(1)
        orvik.model_tree([a, b])
        for m in (a, b):
            with pytest.raises(ValueError, match=re.escape(CONSUMED)):
                m.query(0, 0, 0)
            with pytest.raises(ValueError, match=re.escape(CONSUMED)):
                m.view()
            with pytest.raises(ValueError, match=re.escape(CONSUMED)):
                m.aabb()

    def test_second_tree_from_a_consumed_model_fails(self):
        a, b = model(), model()
        orvik.model_tree([a, b])
        with pytest.raises(ValueError, match=re.escape(CONSUMED_TWICE)):
            orvik.model_tree([a])

    def test_model_listed_twice_fails_and_stays_usable(self):
        a = model()
        with pytest.raises(ValueError, match=re.escape(CONSUMED_TWICE)):
            orvik.model_tree([a, a])
        assert_usable(a)
        assert len(orvik.model_tree([a]).view()["models"]) == 1

    def test_failing_call_takes_nothing(self):
        a, b, c = model(), model(1), model(2)
        orvik.model_tree([c])
        with pytest.raises(ValueError, match=re.escape(CONSUMED_TWICE)):
            orvik.model_tree([a, b, c])
        assert_usable(a)
        assert_usable(b)
        tree = orvik.model_tree([b, a])
        assert [m["priority"] for m in tree.view()["models"]] == [1, 0]

    def test_iterable_sequence_error_is_passed_on(self):
        class Broken(list):
            def __iter__(self):
                raise RuntimeError("broken iteration")

        a = model()
        with pytest.raises(RuntimeError, match="broken iteration"):
            orvik.model_tree(Broken([a]))
        assert_usable(a)


class TestViews:
    def test_empty_tree(self, capfd):
        tree = orvik.model_tree([])
        view = tree.view()
        assert list(view) == ["models", "size"]
        assert view["models"] == []
        assert isinstance(view["size"], int) and view["size"] > 0
        tree.print_structure()
        assert capfd.readouterr().out == "ModelTree with 0 mesh models:\n"
        with pytest.raises(BaseException, match="ModelTree must contain at least one model") as e:
            tree.aabb()
        assert is_internal(e.value)
        assert tree.query(0, 0, 0, 0, 0, 255) is None

    def test_aabb_is_union_of_declared_bounds(self):
        a = model(bounds=(0, 0, 0, 1, 1, 1))
        b = model(bounds=(-1, 2, -3, 0.5, 4, 0))
        lo, hi = orvik.model_tree([a, b]).aabb()
        for arr in (lo, hi):
            assert arr.dtype == np.float32 and arr.shape == (3,)
            assert type(arr.base).__name__ == "PySliceContainer"
            assert arr.flags.c_contiguous and arr.flags.writeable
        assert lo.tolist() == [-1, 0, -3]
        assert hi.tolist() == [1, 4, 1]

    def test_aabb_rounds_bounds_to_float32(self):
        lo, hi = orvik.model_tree([model(bounds=(0.1, 0, 0, 1, 1, 1))]).aabb()
        assert lo[0] == np.float32(0.1)

    def test_view_lists_model_views_renumbered(self):
        models = [model(3, name="a"), model(1), model(2, vertical="depth", name="c")]
        before = [m.view() for m in models]
        view = orvik.model_tree(models).view()
        assert len(view["models"]) == 3
        for k, (got, old) in enumerate(zip(view["models"], before)):
            assert list(got) == [
                "id",
                "name",
                "bounds",
                "transform",
                "priority",
                "vertical",
                "size",
            ]
            assert got == {**old, "id": k}
        assert view["models"][2]["vertical"] == "Depth"

    def test_view_size_adds_nodes_and_models(self):
        empty = orvik.model_tree([]).view()["size"]
        one = [model()]
        sizes1 = [m.view()["size"] for m in one]
        node = orvik.model_tree(one).view()["size"] - empty - sum(sizes1)
        assert node > 0  # one node for one model
        three = [model(), model(1, lo=(20, 0, 0)), empty_model(2, name="x")]
        sizes3 = [m.view()["size"] for m in three]
        assert orvik.model_tree(three).view()["size"] == empty + 5 * node + sum(sizes3)

    def test_print_structure(self, capfd):
        models = [
            model(7, name="basin"),
            empty_model(200, name='say "hi"'),
            model(0),
            cube_model((0, 0, 0), 1, quality_row(1, 1), 9, tets=FIVE_TETS[:4]),
        ]
        tree = orvik.model_tree(models)
        tree.print_structure()
        # five simplices need one interior node (depth 1); four fit one leaf (depth 0)
        assert capfd.readouterr().out == (
            "ModelTree with 4 mesh models:\n"
            'Mesh model "basin" with 8 vertices and 5 simplices, tree depth = 1, priority = 7.\n'
            'Mesh model "say \\"hi\\"" with 0 vertices and 0 simplices, tree depth = 0, priority = 200.\n'
            "Mesh model (id=2) with 8 vertices and 5 simplices, tree depth = 1, priority = 0.\n"
            "Mesh model (id=3) with 8 vertices and 4 simplices, tree depth = 0, priority = 9.\n"
        )

    def test_print_structure_bypasses_sys_stdout(self, capfd, monkeypatch):
        import io
        import sys

        fake = io.StringIO()
        monkeypatch.setattr(sys, "stdout", fake)
        orvik.model_tree([]).print_structure()
        assert fake.getvalue() == ""
        assert capfd.readouterr().out == "ModelTree with 0 mesh models:\n"

    def test_returns_none(self, capfd):
        assert orvik.model_tree([]).print_structure() is None
        capfd.readouterr()


class TestHierarchy:
    def test_many_models_each_reached_once(self):
        rng = np.random.default_rng(5)
        n = 40
        prios = rng.integers(0, 256, n)
        models = [
            cube_model((float(i) * 3, 0, 0), 2.0, quality_row(1, 0.01), int(p))
            for i, p in enumerate(prios)
        ]
        tree = orvik.model_tree(models)
        for i, p in enumerate(prios):
            ex = tree.explain(i * 3 + 1.0, 1.0, 1.0, 0.0)
            assert [c["priority"] for c in ex["contributions"]] == [p]

    def test_same_models_give_same_order_for_equal_priorities(self):
        def build():
            rows = [quality_row(r, 0.3) for r in (1, 2, 3, 4, 5)]
            return orvik.model_tree([cube_model((0, 0, 0), 8, row, 4) for row in rows])

        a = build().explain(1, 1, 1, 0)
        b = build().explain(1, 1, 1, 0)
        assert a == b
        assert len(a["contributions"]) == 5
