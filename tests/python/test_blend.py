"""blend_many: the row-wise Porter-Duff "over" blend of two quality arrays."""

import re

import numpy as np
import pytest

import orvik
from conftest import reference_blend, run_threads


def random_qualities(rng, n):
    q = rng.uniform(0.5, 8.0, size=(n, 6)).astype(np.float32)
    q[:, 3:5] = rng.uniform(10, 1000, size=(n, 2))
    q[:, 5] = rng.choice([0.0, 1e-8, 2.0**-23, 0.3, 0.5, 1.0], size=n)
    return q


class TestValues:
    def test_matches_independent_reference_bit_for_bit(self):
        rng = np.random.default_rng(7)
        f, b = random_qualities(rng, 500), random_qualities(rng, 500)
        got = orvik.blend_many(f, b)
        np.testing.assert_array_equal(got.view(np.uint32), reference_blend(f, b).view(np.uint32))

    def test_half_over_half(self):
        got = orvik.blend_many(
            np.array([[3, 6, 9, 100, 100, 0.5]], np.float32),
            np.array([[6, 3, 0, 50, 50, 0.5]], np.float32),
        )
        assert got[0, 5] == np.float32(0.75)
        assert got[0, 3] == pytest.approx(75, rel=1e-6)
        assert got[0, 0] == pytest.approx(3 * 2 / 3 + 6 / 3, rel=1e-6)

    @pytest.mark.parametrize("alpha", [0.0, 1e-8, -1.0])
    def test_transparent_foreground_returns_background_bit_for_bit(self, alpha):
        b = np.array([[2.5, 6, 3.5, np.nan, 0, 0.25]], np.float32)
        got = orvik.blend_many(np.array([[1, 2, 3, 4, 5, alpha]], np.float32), b)
        np.testing.assert_array_equal(got.view(np.uint32), b.view(np.uint32))

    def test_transparent_background_returns_foreground(self):
        f = np.array([[2.5, 6, 3.5, 7, 9, 0.25]], np.float32)
        got = orvik.blend_many(f, np.array([[1, 2, 3, 4, 5, 0]], np.float32))
        np.testing.assert_array_equal(got.view(np.uint32), f.view(np.uint32))

    def test_opaque_over_opaque_round_trips_q_in_float32(self):
        got = orvik.blend_many(
            np.array([[2, 5, 3, 7, 7, 1]], np.float32), np.array([[9, 9, 9, 9, 9, 1]], np.float32)
        )
        assert got[0, :3].tolist() == [2, 5, 3]
        assert got[0, 3] == np.float32(6.9999995)
        assert got[0, 5] == 1

    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    def test_opaque_foreground_still_reads_background(self, bad):
        got = orvik.blend_many(
            np.array([[2, 5, 3, 7, 7, 1]], np.float32), np.array([[bad, 9, 9, 0, 9, 1]], np.float32)
        )
        assert np.isnan(got[0, 0])
        assert np.isnan(got[0, 3])

    def test_empty(self):
        got = orvik.blend_many(np.zeros((0, 6), np.float32), np.zeros((0, 6), np.float32))
        assert got.shape == (0, 6) and got.dtype == np.float32


class TestLanes:
    """The loop takes several rows per step; row counts that do not fill the
    last step, and results large enough to be written past the caches, give
    every row its own blend."""

    @pytest.mark.parametrize("n", list(range(1, 18)) + [1001])
    def test_every_row_count(self, n):
        rng = np.random.default_rng(n)
        f, b = random_qualities(rng, n), random_qualities(rng, n)
        np.testing.assert_array_equal(
            orvik.blend_many(f, b).view(np.uint32), reference_blend(f, b).view(np.uint32)
        )

    @pytest.mark.parametrize("layout", ["contiguous", "strided"])
    def test_large_results(self, layout):
        n = (1 << 20) + 13
        rng = np.random.default_rng(11)
        f, b = random_qualities(rng, n), random_qualities(rng, n)
        if layout == "strided":
            f = np.hstack([f, np.zeros((n, 2), np.float32)])[:, :6]
        got = orvik.blend_many(f, b)
        np.testing.assert_array_equal(got.view(np.uint32), reference_blend(f, b).view(np.uint32))


class TestLayouts:
    @pytest.mark.parametrize(
        "make_view",
        [
            pytest.param(lambda a: np.ascontiguousarray(np.hstack([a, a])[:, :6]), id="contiguous"),
            pytest.param(lambda a: np.hstack([a, np.zeros_like(a)])[:, :6], id="column-slice"),
            pytest.param(lambda a: np.ascontiguousarray(a[::-1])[::-1], id="reversed-rows"),
            pytest.param(lambda a: np.asfortranarray(a), id="fortran"),
            pytest.param(lambda a: np.repeat(a, 2, axis=0)[::2], id="every-second-row"),
        ],
    )
    def test_strided_inputs_read_in_place(self, make_view):
        rng = np.random.default_rng(3)
        f, b = random_qualities(rng, 64), random_qualities(rng, 64)
        fv, bv = make_view(f), make_view(b)
        np.testing.assert_array_equal(fv, f)
        expected = orvik.blend_many(f, b)
        np.testing.assert_array_equal(
            orvik.blend_many(fv, bv).view(np.uint32), expected.view(np.uint32)
        )

    def test_inputs_unchanged_and_same_array_twice(self):
        rng = np.random.default_rng(4)
        f = random_qualities(rng, 10)
        keep = f.copy()
        got = orvik.blend_many(f, f)
        np.testing.assert_array_equal(f, keep)
        np.testing.assert_array_equal(got.view(np.uint32), reference_blend(f, f).view(np.uint32))

    def test_result_owns_native_buffer(self):
        f = np.ones((3, 6), np.float32)
        got = orvik.blend_many(f, f)
        assert type(got.base).__name__ == "PySliceContainer"
        assert got.flags.c_contiguous and got.flags.writeable and got.flags.owndata is False
        del f
        got[:] = 2  # writeable, still valid after the inputs are gone
        assert got.sum() == 36

    def test_runs_while_other_threads_use_the_same_inputs(self):
        rng = np.random.default_rng(5)
        f, b = random_qualities(rng, 20000), random_qualities(rng, 20000)
        expected = orvik.blend_many(f, b)
        results = [None] * 4

        def work(k):
            results[k] = orvik.blend_many(f, b)

        run_threads(work, 4)
        for r in results:
            np.testing.assert_array_equal(r, expected)


class TestErrors:
    def test_row_mismatch_message_wins_over_columns(self):
        msg = "lhs and rhs must have the same number of rows; got lhs=3, rhs=4"
        with pytest.raises(ValueError, match=re.escape(msg)):
            orvik.blend_many(np.zeros((3, 6), np.float32), np.zeros((4, 5), np.float32))

    @pytest.mark.parametrize("cols", [(6, 7), (5, 6), (7, 7)])
    def test_column_message(self, cols):
        msg = "lhs and rhs must each have exactly 6 columns [rho, vp, vs, qp, qs, alpha]"
        with pytest.raises(ValueError, match=re.escape(msg)):
            orvik.blend_many(np.zeros((4, cols[0]), np.float32), np.zeros((4, cols[1]), np.float32))

    @pytest.mark.parametrize(
        "bad",
        [
            np.zeros((2, 6), np.float64),
            np.zeros(6, np.float32),
            np.zeros((1, 2, 6), np.float32),
            [[0.0] * 6] * 2,
            None,
        ],
        ids=["float64", "1-D", "3-D", "list", "None"],
    )
    @pytest.mark.parametrize("position", ["lhs", "rhs"])
    def test_argument_extraction_names_the_parameter(self, bad, position):
        good = np.zeros((2, 6), np.float32)
        args = {"lhs": good, "rhs": good, position: bad}
        with pytest.raises(TypeError) as info:
            orvik.blend_many(**args)
        assert info.value.__notes__ == [f"while processing '{position}'"]
        expected = (
            "'None' is not an instance of 'ndarray'"
            if bad is None
            else "is not an instance of 'ndarray'"
        )
        assert expected in str(info.value)
