"""query_stats and explain: traversal counts, hit counts, timing, and where the
compositing stops."""

import re

import numpy as np
import pytest

import orvik
from conftest import as_row, cube_model, quality_row, reference_blend

P = (1.0, 1.0, 1.0, 0.0)


def cubes(*layers, size=8.0):
    """(priority, rho, alpha) per cube at the origin; the models and their qualities at P."""
    models = [
        cube_model((0, 0, 0), size, quality_row(rho, alpha), prio) for prio, rho, alpha in layers
    ]
    return models, [as_row(m.query(*P[:3])) for m in models]


class TestQueryStats:
    def test_keys_and_types(self):
        models, _ = cubes((0, 1, 1))
        stats = orvik.model_tree(models).query_stats(*P)
        assert list(stats) == ["aabb_tests", "simplex_tests", "hit_count", "output", "elapsed"]
        for key in ("aabb_tests", "simplex_tests", "hit_count", "elapsed"):
            assert type(stats[key]) is int and stats[key] >= 0

    def test_single_model(self):
        models, own = cubes((3, 1, 1))
        tree = orvik.model_tree(models)
        for point in (P, (100.0, 100.0, 100.0, 0.0)):
            stats = tree.query_stats(*point)
            assert stats["aabb_tests"] == 0
            assert stats["simplex_tests"] == 1
        stats = tree.query_stats(*P)
        assert stats["hit_count"] == 1
        assert np.array_equal(as_row(stats["output"]), own[0])

    @pytest.mark.parametrize("n", [2, 3, 7])
    def test_point_inside_every_model(self, n):
        models, _ = cubes(*[(k, 1.0, 0.01) for k in range(n)])
        stats = orvik.model_tree(models).query_stats(*P)
        assert stats["aabb_tests"] == 2 * (n - 1)
        assert stats["simplex_tests"] == n
        assert stats["hit_count"] == n

    def test_point_outside_every_model(self):
        models = [cube_model((10.0 * k, 0, 0), 8, quality_row(1, 1), k) for k in range(4)]
        stats = orvik.model_tree(models).query_stats(5.0, 50.0, 1.0, 0.0)
        assert stats["output"] is None
        assert stats["hit_count"] == 0
        assert stats["simplex_tests"] == 0
        assert stats["aabb_tests"] == 2  # the root's two children, both rejected

    def test_hit_count_includes_the_hit_taken_at_the_stop(self):
        models, (q1, q2, q3) = cubes((1, 1.0, 1.0), (2, 2.0, 1.0), (3, 3.0, 1.0))
        stats = orvik.model_tree(models).query_stats(*P)
        assert stats["hit_count"] == 2
        assert stats["simplex_tests"] == 3
        assert np.array_equal(as_row(stats["output"]), q1)

    def test_output_equals_query(self):
        models, _ = cubes((4, 1.0, 0.3), (1, 2.0, 0.4), (9, 3.0, 1.0))
        tree = orvik.model_tree(models)
        assert tree.query_stats(*P)["output"] == tree.query(*P, 0, 255)

    def test_empty_tree(self):
        stats = orvik.model_tree([]).query_stats(*P)
        assert {k: v for k, v in stats.items() if k != "elapsed"} == {
            "aabb_tests": 0,
            "simplex_tests": 0,
            "hit_count": 0,
            "output": None,
        }
        assert stats["elapsed"] >= 0

    def test_arguments(self):
        tree = orvik.model_tree([])
        with pytest.raises(
            TypeError,
            match=re.escape(
                "PyModelTree.query_stats() missing 1 required positional argument: 'depth'"
            ),
        ):
            tree.query_stats(0, 0, 0)
        with pytest.raises(TypeError) as e:
            tree.query_stats(0, None, 0, 0)
        assert e.value.__notes__ == ["while processing 'y'"]
        assert tree.query_stats(x=0, y=0, z=0, depth=0)["hit_count"] == 0


class TestExplain:
    def test_keys(self):
        models, _ = cubes((0, 1, 1))
        ex = orvik.model_tree(models).explain(*P)
        assert list(ex) == ["contributions", "output", "termination"]
        assert list(ex["contributions"][0]) == ["priority", "quality"]

    def test_no_hit(self):
        models, _ = cubes((0, 1, 1))
        tree = orvik.model_tree(models)
        assert tree.explain(50, 50, 50, 0) == {
            "contributions": [],
            "output": None,
            "termination": None,
        }
        assert orvik.model_tree([]).explain(*P) == {
            "contributions": [],
            "output": None,
            "termination": None,
        }

    def test_opaque_first_of_two(self):
        models, (q1, q2) = cubes((1, 1.0, 1.0), (2, 3.0, 1.0))
        tree = orvik.model_tree(models)
        ex = tree.explain(*P)
        assert [c["priority"] for c in ex["contributions"]] == [1, 2]
        assert np.array_equal(as_row(ex["contributions"][0]["quality"]), q1)
        assert np.array_equal(as_row(ex["contributions"][1]["quality"]), q2)
        assert ex["termination"] == 1
        assert np.array_equal(as_row(ex["output"]), reference_blend(q1, q2))
        assert ex["output"]["rho"] == q1[0]
        assert tree.query_stats(*P)["hit_count"] == 2

    def test_single_opaque_model_has_no_termination(self):
        models, (q1,) = cubes((1, 1.0, 1.0))
        ex = orvik.model_tree(models).explain(*P)
        assert ex["termination"] is None
        assert len(ex["contributions"]) == 1

    def test_opaque_only_with_last_hit(self):
        models, (q1, q2) = cubes((1, 1.0, 0.5), (2, 3.0, 1.0))
        tree = orvik.model_tree(models)
        ex = tree.explain(*P)
        assert ex["termination"] is None
        assert ex["output"] == tree.query(*P, 0, 255)

    def test_termination_counts_hits_blended_before_the_stop(self):
        models, (q1, q2, q3, q4) = cubes((1, 1.0, 0.5), (2, 2.0, 1.0), (3, 3.0, 0.5), (4, 4.0, 1.0))
        tree = orvik.model_tree(models)
        ex = tree.explain(*P)
        assert ex["termination"] == 2
        assert [c["priority"] for c in ex["contributions"]] == [1, 2, 3, 4]
        every = reference_blend(reference_blend(reference_blend(q1, q2), q3), q4)
        assert np.array_equal(as_row(ex["output"]), every)
        assert np.array_equal(as_row(tree.query(*P, 0, 255)), reference_blend(q1, q2))

    def test_full_priority_range_always(self):
        models, _ = cubes((0, 1.0, 0.2), (255, 2.0, 0.2))
        ex = orvik.model_tree(models).explain(*P)
        assert [c["priority"] for c in ex["contributions"]] == [0, 255]
