"""PyModelTree.query: priority ranges, front-to-back compositing, the opacity
stop, and the vertical coordinate of depth and elevation models."""

import math
import re

import numpy as np
import pytest

import orvik
from conftest import as_row, cube_model, quality_row, reference_blend

P = (1.0, 1.0, 1.0)  # inside every 8 km cube at the origin


def tree_of(*layers):
    """Cubes at the origin: (priority, rho, alpha) each; returns the tree and each model's quality at P."""
    models = [
        cube_model((0, 0, 0), 8, quality_row(rho, alpha), prio) for prio, rho, alpha in layers
    ]
    own = [as_row(m.query(*P)) for m in models]
    return orvik.model_tree(models), own


def query(tree, lo=0, hi=255, point=P, depth=0.0):
    return tree.query(*point, depth, lo, hi)


class TestArguments:
    def test_missing_argument(self):
        tree, _ = tree_of((0, 1, 1))
        with pytest.raises(
            TypeError,
            match=re.escape(
                "PyModelTree.query() missing 1 required positional argument: 'priority_hi'"
            ),
        ):
            tree.query(0, 0, 0, 0, 0)

    @pytest.mark.parametrize(
        "value,message,exc",
        [
            (256, "number too large to fit in target type", OverflowError),
            (-1, "number too small to fit in target type", OverflowError),
            (1.5, None, TypeError),
        ],
    )
    def test_priority_conversion(self, value, message, exc):
        tree, _ = tree_of((0, 1, 1))
        with pytest.raises(exc, match=re.escape(message) if message else None) as e:
            tree.query(0, 0, 0, 0, 0, value)
        assert e.value.__notes__ == ["while processing 'priority_hi'"]

    def test_coordinate_conversion(self):
        tree, _ = tree_of((0, 1, 1))
        with pytest.raises(TypeError) as e:
            tree.query(0, 0, "z", 0, 0, 255)
        assert e.value.__notes__ == ["while processing 'z'"]

    def test_keywords_and_number_like_objects(self):
        tree, own = tree_of((0, 1, 1))
        got = tree.query(
            priority_hi=np.int64(255), priority_lo=0, depth=0, z=np.float64(1), y=1, x=1
        )
        assert np.array_equal(as_row(got), own[0])


class TestPriorityRange:
    def test_outside_and_empty_range_give_none(self):
        tree, _ = tree_of((5, 1, 1))
        assert query(tree, point=(9, 9, 9)) is None
        assert query(tree, 5, 4) is None
        assert query(tree, 6, 255) is None
        assert query(tree, 0, 4) is None
        assert query(tree, 5, 5) is not None

    def test_extreme_priorities(self):
        tree, (q0, q255) = tree_of((0, 1, 0.5), (255, 2, 1))
        assert np.array_equal(as_row(query(tree, 0, 255)), reference_blend(q0, q255))
        assert np.array_equal(as_row(query(tree, 1, 255)), q255)
        assert np.array_equal(as_row(query(tree, 0, 0)), q0)
        assert np.array_equal(as_row(query(tree, 255, 255)), q255)

    def test_result_is_dict_of_floats_in_order(self):
        tree, _ = tree_of((0, 1, 1))
        got = query(tree)
        assert list(got) == ["rho", "vp", "vs", "qp", "qs", "alpha"]
        assert all(type(v) is float for v in got.values())


class TestCompositing:
    @pytest.mark.parametrize("front_first", [True, False])
    def test_lower_priority_number_in_front(self, front_first):
        layers = [(1, 1.0, 0.5), (2, 3.0, 1.0)]
        tree, own = tree_of(*(layers if front_first else layers[::-1]))
        q1, q2 = own if front_first else own[::-1]
        got = as_row(query(tree))
        assert np.array_equal(got, reference_blend(q1, q2))
        assert got[5] == 1.0

    def test_swapping_priorities_swaps_foreground(self):
        tree, (qa, qb) = tree_of((2, 1.0, 0.5), (1, 3.0, 1.0))
        assert np.array_equal(as_row(query(tree)), reference_blend(qb, qa))

    def test_transparent_first_hit_yields_second_unchanged(self):
        tree, (q1, q2) = tree_of((1, 1.0, 0.0), (2, 3.0, 1.0))
        assert np.array_equal(as_row(query(tree)), q2)

    def test_opaque_first_hit_yields_it_exactly(self):
        # the background Q of 0 would turn a blend into something else
        models = [
            cube_model((0, 0, 0), 8, quality_row(1.0, 1.0), 1),
            cube_model((0, 0, 0), 8, quality_row(3.0, 1.0, qp=0.0), 2),
        ]
        own = as_row(models[0].query(*P))
        tree = orvik.model_tree(models)
        assert np.array_equal(as_row(query(tree)), own)
        assert tree.query_stats(*P, 0.0)["hit_count"] == 2  # the second is located, not blended

    def test_alpha_within_tolerance_stops(self):
        tree, (q1, q2, q3) = tree_of((1, 1.0, 0.99995), (2, 3.0, 1.0), (3, 5.0, 1.0))
        assert abs(q1[5] - 1) <= np.float32(1e-4) and q1[5] != 1
        assert np.array_equal(as_row(query(tree)), q1)

    def test_alpha_just_outside_tolerance_blends(self):
        tree, (q1, q2) = tree_of((1, 1.0, 0.9998), (2, 3.0, 1.0))
        assert np.array_equal(as_row(query(tree)), reference_blend(q1, q2))

    def test_three_translucent_layers_fold_in_order(self):
        tree, (a, b, c) = tree_of((9, 4.0, 0.25), (3, 2.0, 0.5), (5, 1.0, 0.5))
        assert np.array_equal(as_row(query(tree)), reference_blend(reference_blend(b, c), a))

    def test_models_apart_do_not_mix(self):
        left = cube_model((0, 0, 0), 8, quality_row(1.0, 0.5), 1)
        right = cube_model((100, 0, 0), 8, quality_row(2.0, 0.5), 1)
        q_left = as_row(left.query(*P))
        tree = orvik.model_tree([left, right])
        assert np.array_equal(as_row(query(tree)), q_left)
        assert query(tree, point=(50, 1, 1)) is None


class TestVerticalCoordinate:
    def depth_tree(self):
        # the depth model's mesh spans depths 0..8; its declared box is in elevation
        deep = cube_model(
            (0, 0, 0), 8, quality_row(2.0, 1.0), 1, vertical="depth", bounds=(0, 0, -100, 8, 8, 10)
        )
        other = cube_model((50, 50, 50), 1, quality_row(1.0, 1.0), 0)
        return orvik.model_tree([deep, other])

    def test_depth_model_reads_depth(self):
        tree = self.depth_tree()
        assert tree.query(1, 1, -50, 1.0, 0, 255)["rho"] == pytest.approx(2.0)
        # depth outside the mesh's depth range
        assert tree.query(1, 1, -50, 20.0, 0, 255) is None
        assert tree.query(1, 1, -50, -1.0, 0, 255) is None

    def test_depth_model_box_is_tested_by_elevation(self):
        tree = self.depth_tree()
        assert tree.query(1, 1, 50, 1.0, 0, 255) is None
        assert tree.query(1, 1, 10, 1.0, 0, 255) is not None

    def test_single_model_tree_never_tests_bounds(self):
        deep = cube_model(
            (0, 0, 0),
            8,
            quality_row(2.0, 1.0),
            1,
            vertical="depth",
            bounds=(100, 100, 100, 101, 101, 101),
        )
        tree = orvik.model_tree([deep])
        assert tree.query(1, 1, -1000, 1.0, 0, 255) is not None

    def test_elevation_model_ignores_depth(self):
        tree, own = tree_of((0, 1, 1))
        assert np.array_equal(as_row(tree.query(*P, 1e6, 0, 255)), own[0])

    def test_nan_passes_box_tests(self):
        tree = self.depth_tree()
        # NaN elevation passes the box tests; the depth model locates by depth
        assert tree.query(1, 1, math.nan, 1.0, 0, 255) is not None
        # a NaN horizontal coordinate passes too but no simplex contains it
        assert tree.query(math.nan, 1, 1, 1.0, 0, 255) is None
