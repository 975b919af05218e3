"""orvik.qualities.blend: quality fields as xarray objects, blended by blend_many
through apply_ufunc, in memory and lazily with Dask."""

import numpy as np
import pytest

import orvik

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")

from orvik.qualities import QUALITIES, blend  # noqa: E402


def random_rows(rng, n):
    rows = rng.uniform(0.5, 900.0, size=(n, 6)).astype(np.float32)
    # Transparent, barely opaque, half and fully opaque alphas, and a NaN.
    rows[:, 5] = rng.choice(
        np.array([0.0, 2.0**-24, 2.0**-23, 0.5, 1.0, np.nan], np.float32), size=n
    )
    return rows


def bits(a):
    return np.asarray(a, np.float32).view(np.uint32)


def field(rows, shape, dims):
    return xr.DataArray(
        rows.reshape(*shape, 6), dims=(*dims, "quality"), coords={"quality": list(QUALITIES)}
    )


class TestBlend:
    def test_same_bits_as_blend_many_on_a_volume(self):
        rng = np.random.default_rng(3)
        f, b = random_rows(rng, 4 * 5 * 3), random_rows(rng, 4 * 5 * 3)
        out = blend(field(f, (4, 5, 3), "xyz"), field(b, (4, 5, 3), "xyz"))
        assert out.dims == ("x", "y", "z", "quality") and out.dtype == np.float32
        np.testing.assert_array_equal(bits(out.values.reshape(-1, 6)), bits(orvik.blend_many(f, b)))
        assert list(out.quality.values) == list(QUALITIES)

    def test_broadcasts_like_xarray(self):
        rng = np.random.default_rng(4)
        f, b = random_rows(rng, 4 * 5), random_rows(rng, 5)
        out = blend(field(f, (4, 5), "xy"), field(b, (5,), "y"))
        assert out.sizes == {"x": 4, "y": 5, "quality": 6}
        expected = orvik.blend_many(f, np.tile(b, (4, 1)))
        np.testing.assert_array_equal(bits(out.values.reshape(-1, 6)), bits(expected))

    def test_quality_dimension_anywhere(self):
        rng = np.random.default_rng(5)
        f, b = random_rows(rng, 7), random_rows(rng, 7)
        lhs = xr.DataArray(f.T.copy(), dims=("quality", "point"))
        out = blend(lhs, field(b, (7,), ["point"]))
        assert out.dims == ("point", "quality")
        np.testing.assert_array_equal(bits(out.values), bits(orvik.blend_many(f, b)))

    def test_float64_fields_are_rounded_to_float32_first(self):
        rng = np.random.default_rng(6)
        f, b = rng.uniform(0.1, 9.0, (2, 10, 6))
        out = blend(field(f, (10,), ["p"]), field(b, (10,), ["p"]))
        expected = orvik.blend_many(f.astype(np.float32), b.astype(np.float32))
        np.testing.assert_array_equal(bits(out.values), bits(expected))

    def test_lazy_and_parallel_on_dask(self):
        rng = np.random.default_rng(7)
        f, b = random_rows(rng, 60 * 40), random_rows(rng, 60 * 40)
        lhs = field(f, (60, 40), "xy").chunk({"x": 16, "y": 25, "quality": 3})
        rhs = field(b, (60, 40), "xy").chunk({"x": 16})
        out = blend(lhs, rhs)
        assert isinstance(out.data, da.Array)
        assert out.data.numblocks[0] > 1 and out.data.numblocks[-1] == 1
        with __import__("dask").config.set(scheduler="threads"):
            values = out.values
        np.testing.assert_array_equal(bits(values.reshape(-1, 6)), bits(orvik.blend_many(f, b)))

    def test_empty_field(self):
        empty = field(np.zeros((0, 6), np.float32), (0,), ["p"])
        assert blend(empty, empty).shape == (0, 6)

    @pytest.mark.parametrize("dims, shape", [(("p", "quality"), (3, 5)), (("p", "q"), (3, 6))])
    def test_quality_dimension_of_length_six_required(self, dims, shape):
        good = field(np.zeros((3, 6), np.float32), (3,), ["p"])
        bad = xr.DataArray(np.zeros(shape, np.float32), dims=dims)
        with pytest.raises(ValueError, match="^rhs must have a dimension 'quality' of length 6"):
            blend(good, bad)

    def test_plain_arrays_are_refused(self):
        rows = np.zeros((3, 6), np.float32)
        with pytest.raises(TypeError, match="^lhs must be an xarray.DataArray; got ndarray$"):
            blend(rows, field(rows, (3,), ["p"]))


class TestLabels:
    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_a_labelled_quality_dimension_is_matched_by_name(self, seed):
        rng = np.random.default_rng(seed)
        f, b = random_rows(rng, 9), random_rows(rng, 9)
        order = rng.permutation(6)
        shuffled = xr.DataArray(
            f[:, order], dims=("p", "quality"), coords={"quality": [QUALITIES[i] for i in order]}
        )
        out = blend(shuffled, field(b, (9,), ["p"]))
        assert list(out.quality.values) == list(QUALITIES)
        np.testing.assert_array_equal(bits(out.values), bits(orvik.blend_many(f, b)))

    def test_unknown_labels_are_refused(self):
        good = field(np.zeros((3, 6), np.float32), (3,), ["p"])
        odd = good.assign_coords(quality=["rho", "vp", "vs", "qp", "qs", "opacity"])
        with pytest.raises(ValueError, match="^rhs labels its 'quality' dimension"):
            blend(good, odd)

    @pytest.mark.parametrize("dtype", ["U3", bool, complex])
    def test_values_that_are_not_real_numbers_are_refused(self, dtype):
        good = field(np.ones((3, 6), np.float32), (3,), ["p"])
        bad = good.astype(dtype)
        with pytest.raises(TypeError, match=f"^lhs must hold real numbers; got dtype {bad.dtype}$"):
            blend(bad, good)

    def test_read_only_and_broadcast_views_blend_as_copies_do(self):
        rng = np.random.default_rng(8)
        row = random_rows(rng, 1)[0]
        view = np.broadcast_to(row, (4, 6))
        lhs = xr.DataArray(view, dims=("p", "quality"))
        rhs = field(random_rows(rng, 4), (4,), ["p"])
        out = blend(lhs, rhs)
        np.testing.assert_array_equal(
            bits(out.values), bits(orvik.blend_many(view.copy(), rhs.values.copy()))
        )
