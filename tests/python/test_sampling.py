"""orvik.sample: a velocity model evaluated on grids and point sets given as
NumPy, Dask or xarray coordinates, in memory, lazily, into Zarr and on a
distributed cluster. Every result is compared bit for bit with one bare
query_many call over the same float32 points."""

import pickle
import re

import numpy as np
import pytest

import orvik
from conftest import CUBE, FIVE_TETS

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

from orvik import sampling  # noqa: E402
from orvik.qualities import QUALITIES  # noqa: E402

F32 = np.float32


def graded_cube(lo, size, priority, vertical, alpha):
    """A cube whose qualities vary from vertex to vertex, so that a point put
    in the wrong place gets other values."""
    vertices = (CUBE * F32(size) + np.asarray(lo, F32)).astype(F32)
    rows = np.column_stack(
        [
            1 + CUBE[:, 0],
            2 + CUBE[:, 1],
            3 + CUBE[:, 2],
            100 + 50 * CUBE.sum(axis=1),
            50 + 10 * CUBE[:, 0],
            np.full(8, alpha),
        ]
    ).astype(F32)
    bounds = tuple(float(v) for v in (*vertices.min(axis=0), *vertices.max(axis=0)))
    return orvik.MeshModelBuilder(vertices, FIVE_TETS, priority, vertical, bounds).interpolated(
        rows
    )


def make_tree():
    """An opaque crust queried by elevation behind a half-transparent layer
    queried by depth, so that results depend on x, y, z and depth."""
    return orvik.model_tree(
        [
            graded_cube((0, 0, 0), 8, 0, "depth", 0.5),
            graded_cube((0, 0, -10), 10, 5, "elevation", 1.0),
        ]
    )


@pytest.fixture(scope="module")
def tree():
    return make_tree()


def reference(tree, x, y, z, depth=None, priority=(0, 255)):
    """One query_many over the broadcast points, rounded to float32 first."""
    if depth is None:
        x, y, z = np.broadcast_arrays(*(np.asarray(a, np.float64) for a in (x, y, z)))
        d = -z.astype(F32)
    else:
        x, y, z, d = np.broadcast_arrays(*(np.asarray(a, np.float64) for a in (x, y, z, depth)))
    flat = [np.ascontiguousarray(a, F32).ravel() for a in (x, y, z, d)]
    out = np.full((x.size, 6), np.nan, F32)
    tree.query_many(out, orvik.QueryCoordinates(*flat), orvik.QueryParams(*priority))
    return out.reshape(*x.shape, 6)


def same_bits(actual, expected):
    actual = np.asarray(actual)
    assert actual.dtype == F32 and actual.shape == expected.shape
    np.testing.assert_array_equal(actual.view(np.uint32), expected.view(np.uint32))


def axis(name, values):
    return xr.DataArray(np.asarray(values), dims=name, coords={name: np.asarray(values)}, name=name)


XS, YS, ZS = np.linspace(-1.0, 11.0, 13), np.linspace(-0.5, 10.5, 12), np.linspace(-11.0, 1.0, 14)


class TestInMemory:
    def test_three_axes_give_a_volume_with_their_coordinates(self, tree):
        vol = orvik.sample(tree, axis("x", XS), axis("y", YS), axis("z", ZS))
        assert isinstance(vol, xr.DataArray) and vol.name == "material"
        assert vol.dims == ("x", "y", "z", "quality")
        np.testing.assert_array_equal(vol.x, XS)
        np.testing.assert_array_equal(vol.z, ZS)
        assert list(vol.quality.values) == list(QUALITIES)
        same_bits(
            vol.values, reference(tree, XS[:, None, None], YS[None, :, None], ZS[None, None, :])
        )
        assert np.isnan(vol.values).any() and not np.isnan(vol.values).all()

    def test_point_set_keeps_its_coordinates(self, tree):
        rng = np.random.default_rng(1)
        pts = rng.uniform(-1, 11, (3, 50))
        station = [f"s{i}" for i in range(50)]
        coords = {"station": station, "network": ("station", ["XX"] * 50)}
        x, y = (xr.DataArray(p, dims="station", coords=coords) for p in pts[:2])
        z = xr.DataArray(pts[2] - 10, dims="station", coords=coords)
        out = orvik.sample(tree, x, y, z)
        assert out.dims == ("station", "quality")
        assert list(out.station.values) == station and out.network.dims == ("station",)
        same_bits(out.values, reference(tree, pts[0], pts[1], pts[2] - 10))

    def test_numpy_arrays_broadcast_by_numpy_rules(self, tree):
        out = orvik.sample(tree, XS[:, None, None], YS[None, :, None], ZS)
        assert out.dims == ("x", "y", "z", "quality") and out.shape == (13, 12, 14, 6)
        for name, values in (("x", XS), ("y", YS), ("z", ZS)):
            np.testing.assert_array_equal(out[name].values, values)
        same_bits(out.values, reference(tree, XS[:, None, None], YS[None, :, None], ZS))

    def test_scalars_and_a_profile(self, tree):
        out = orvik.sample(tree, 4.5, 3.25, axis("z", ZS))
        assert out.dims == ("z", "quality")
        same_bits(out.values, reference(tree, 4.5, 3.25, ZS))

    @pytest.mark.parametrize("dtype", [np.float64, np.float32, np.float16, np.int32])
    def test_any_real_dtype_is_rounded_to_float32(self, tree, dtype):
        rng = np.random.default_rng(2)
        pts = (rng.uniform(-1, 11, (3, 200)) - [[0], [0], [10]]).astype(dtype)
        out = orvik.sample(tree, *pts)
        same_bits(out.values, reference(tree, *(p.astype(F32) for p in pts)))

    def test_without_depth_the_surface_is_z_zero(self, tree):
        zs = np.array([0.5, -0.5, -3.0, -9.0])
        out = orvik.sample(tree, 2.0, 2.0, zs)
        same_bits(out.values, reference(tree, 2.0, 2.0, zs, depth=-zs))
        assert np.isnan(out.values[0]).all()  # above the crust and above ground

    def test_depth_broadcasts_with_the_coordinates(self, tree):
        depth = axis("d", [-1.0, 2.0, 7.5])
        out = orvik.sample(tree, 3.0, 3.0, axis("z", ZS), depth=depth)
        assert out.dims == ("z", "d", "quality")
        same_bits(out.values, reference(tree, 3.0, 3.0, ZS[:, None], depth=depth.values[None, :]))

    def test_depth_from_a_surface_grid(self, tree):
        gx, gy = np.meshgrid(np.linspace(-2, 12, 8), np.linspace(-2, 12, 9))
        top = 0.3 * gx - 0.2 * gy + 1.0  # a tilted plane, which the grid reproduces exactly
        surface = orvik.structured_grid(gx, gy, top)
        rng = np.random.default_rng(3)
        x, y, z = rng.uniform(0, 10, 300), rng.uniform(0, 10, 300), rng.uniform(-10, 2, 300)
        out = orvik.sample(tree, x, y, z, surface=surface)
        grid_top, _ = surface.query_many(x, y)
        same_bits(out.values, reference(tree, x, y, z, depth=grid_top - z))
        assert not np.array_equal(out.values, reference(tree, x, y, z), equal_nan=True)

    @pytest.mark.parametrize("priority", [(0, 0), (5, 5), (1, 255)])
    def test_priority_range(self, tree, priority):
        out = orvik.sample(tree, XS, 4.0, -1.5, priority=priority)
        same_bits(out.values, reference(tree, XS, 4.0, -1.5, priority=priority))
        assert out.attrs["priority_range"] == list(priority)

    def test_geographic_coordinates_through_pyproj(self, tree):
        pyproj = pytest.importorskip("pyproj")
        model_crs = "+proj=tmerc +lat_0=45 +lon_0=10 +x_0=5 +y_0=5 +units=km +ellps=WGS84"
        lon, lat = (
            axis("lon", np.linspace(9.95, 10.05, 11)),
            axis("lat", np.linspace(44.96, 45.04, 9)),
        )
        out = orvik.sample(tree, lon, lat, -2.0, crs=("EPSG:4326", model_crs))
        assert out.dims == ("lon", "lat", "quality")
        to_model = pyproj.Transformer.from_crs("EPSG:4326", model_crs, always_xy=True)
        x, y = to_model.transform(*np.meshgrid(lon.values, lat.values, indexing="ij"))
        same_bits(out.values, reference(tree, x, y, -2.0))
        same = orvik.sample(tree, lon, lat, -2.0, crs=to_model)
        same_bits(same.values, out.values)

    def test_result_as_one_variable_per_quality(self, tree):
        ds = orvik.sample(tree, axis("x", XS), 2.0, -3.0).to_dataset("quality")
        assert list(ds.data_vars) == list(QUALITIES)


class TestBadInput:
    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            (
                {"tree": "tree"},
                TypeError,
                "tree must be an orvik.PyModelTree (or a future of one); got str",
            ),
            (
                {"depth": 1.0, "surface": "grid"},
                ValueError,
                "z, depth and surface contradict each other",
            ),
            (
                {"surface": np.zeros((2, 2))},
                TypeError,
                "surface must be an orvik.StructuredGrid; got ndarray",
            ),
            (
                {"x": np.zeros(3), "y": np.zeros(4)},
                ValueError,
                "the coordinates do not broadcast together; got x=(3,), y=(4,), z=()",
            ),
            (
                {
                    "x": xr.DataArray(np.zeros(3), dims="p"),
                    "y": xr.DataArray(np.zeros(4), dims="p"),
                },
                ValueError,
                "dimension 'p' has length 3 in one coordinate and 4 in y",
            ),
            ({"x": np.array(["a", "b"])}, TypeError, "x must hold real numbers; got dtype <U1"),
            (
                {"z": xr.DataArray(np.array([1j]), dims="p")},
                TypeError,
                "z must hold real numbers; got dtype complex128",
            ),
            (
                {"x": xr.Dataset()},
                TypeError,
                "x must be an array or an xarray.DataArray; got Dataset",
            ),
            (
                {"x": xr.DataArray(np.zeros(6), dims="quality")},
                ValueError,
                "the coordinates may not have a dimension named 'quality'",
            ),
            ({"crs": ("EPSG:4326",)}, TypeError, "crs must be a CRS, a (source, target) pair"),
            ({"crs": "no such crs"}, ValueError, "crs is not a coordinate reference system"),
            (
                {"chunks": {"w": 3}},
                ValueError,
                "chunks names dimensions that the coordinates do not have: ['w']",
            ),
            (
                {"chunks": {"x": 0}},
                ValueError,
                "chunk length of 'x' must be positive; got 0",
            ),
        ],
    )
    def test_clear_errors(self, tree, kwargs, error, message):
        args = {"tree": tree, "x": np.zeros(3), "y": 0.0, "z": 0.0, **kwargs}
        if isinstance(args.get("surface"), str):
            args["surface"] = orvik.structured_grid(
                *np.meshgrid([0.0, 1.0], [0.0, 1.0]), np.zeros((2, 2))
            )
        with pytest.raises(error, match="^" + re.escape(message)):
            orvik.sample(**args)

    @pytest.mark.parametrize("priority, message", [((0, 256), "too large"), ((-1, 3), "too small")])
    def test_priority_out_of_range(self, tree, priority, message):
        with pytest.raises(OverflowError, match=message):
            orvik.sample(tree, 0.0, 0.0, 0.0, priority=priority)

    def test_misaligned_indexes(self, tree):
        with pytest.raises(ValueError):
            orvik.sample(
                tree,
                axis("x", [0.0, 1.0]),
                xr.DataArray([0.0, 1.0], dims="x", coords={"x": [5.0, 6.0]}),
                0.0,
            )


def sample_tasks(result):
    graph = dict(result.data.__dask_graph__())
    return graph, {
        k: v
        for k, v in graph.items()
        if isinstance(k, tuple) and str(k[0]).startswith("orvik-sample")
    }


class TestLazy:
    def test_dask_input_gives_a_lazy_result_with_the_same_bits(self, tree):
        x = da.from_array(np.linspace(-1, 11, 40), chunks=9)
        out = orvik.sample(tree, x, np.linspace(0, 10, 30)[:, None], -2.5)
        assert isinstance(out.data, da.Array) and out.data.chunks[1] == (9, 9, 9, 9, 4)
        with dask.config.set(scheduler="threads"):
            values = out.values
        same_bits(
            values, reference(tree, np.linspace(-1, 11, 40), np.linspace(0, 10, 30)[:, None], -2.5)
        )

    def test_chunks_make_numpy_input_lazy(self, tree):
        eager = orvik.sample(tree, axis("x", XS), axis("y", YS), axis("z", ZS))
        lazy = orvik.sample(
            tree, axis("x", XS), axis("y", YS), axis("z", ZS), chunks={"x": 5, "z": 4}
        )
        assert lazy.data.chunks[:3] == ((5, 5, 3), (12,), (4, 4, 4, 2))
        same_bits(lazy.compute(scheduler="threads").values, eager.values)
        xr.testing.assert_identical(lazy.compute(scheduler="sync"), eager)

    def test_automatic_blocks_stay_within_the_budget(self, tree, monkeypatch):
        monkeypatch.setattr(sampling, "BLOCK_POINTS", 100)
        out = orvik.sample(tree, axis("x", XS), axis("y", YS), axis("z", ZS), chunks="auto")
        sizes = [
            np.prod([c[i] for c, i in zip(out.data.chunks[:3], idx)])
            for idx in np.ndindex(*out.data.numblocks[:3])
        ]
        assert len(sizes) > 1 and max(sizes) <= 100
        same_bits(
            out.compute(scheduler="sync").values,
            reference(tree, XS[:, None, None], YS[None, :, None], ZS[None, None, :]),
        )

    def test_each_block_is_one_task_that_refers_to_the_tree_by_key(self, tree):
        out = orvik.sample(
            tree, axis("x", XS), axis("y", YS), axis("z", ZS), chunks={"x": 4, "y": 5}
        )
        graph, tasks = sample_tasks(out)
        assert len(tasks) == np.prod(out.data.numblocks)
        model_keys = [k for k in graph if str(k).startswith("orvik-model-")]
        assert len(model_keys) == 1
        for task in tasks.values():
            assert model_keys[0] in task.dependencies
            # The tree is not inside the task: a task pickles in a few hundred bytes.
            assert len(pickle.dumps(task)) < 2000

    def test_surface_and_crs_lazily(self, tree):
        pytest.importorskip("pyproj")
        gx, gy = np.meshgrid(np.linspace(-5, 15, 6), np.linspace(-5, 15, 7))
        surface = orvik.structured_grid(gx, gy, 0.5 + 0.1 * gx)
        crs = ("EPSG:4326", "+proj=tmerc +lat_0=45 +lon_0=10 +x_0=5 +y_0=5 +units=km +ellps=WGS84")
        lon, lat = (
            axis("lon", np.linspace(9.95, 10.05, 11)),
            axis("lat", np.linspace(44.96, 45.04, 9)),
        )
        kwargs = {"surface": surface, "crs": crs}
        eager = orvik.sample(tree, lon, lat, axis("z", ZS), **kwargs)
        lazy = orvik.sample(tree, lon.chunk(4), lat, axis("z", ZS), **kwargs)
        assert isinstance(lazy.data, da.Array)
        same_bits(lazy.compute(scheduler="threads").values, eager.values)

    def test_to_zarr_writes_block_by_block_and_reads_back(self, tree, tmp_path):
        zarr = pytest.importorskip("zarr")
        vol = orvik.sample(
            tree, axis("x", XS), axis("y", YS), axis("z", ZS), chunks={"x": 4, "y": 6}
        )
        store = tmp_path / "volume.zarr"
        vol.to_dataset().to_zarr(store, mode="w", consolidated=False)
        stored = zarr.open_group(store, mode="r")["material"]
        assert stored.chunks == (4, 6, 14, 6)
        back = xr.open_zarr(store, consolidated=False)["material"]
        assert isinstance(back.data, da.Array)
        same_bits(back.values, vol.compute(scheduler="sync").values)
        np.testing.assert_array_equal(back.z, ZS)


class TestLabelledOutput:
    def test_unlabelled_axes_become_coordinates_with_units(self, tree):
        x = xr.DataArray(XS, dims="x")  # no coordinate of its own
        out = orvik.sample(tree, x, xr.DataArray(YS, dims="y"), xr.DataArray(ZS, dims="z"))
        for name, values in (("x", XS), ("y", YS), ("z", ZS)):
            np.testing.assert_array_equal(out[name].values, values)
            assert out[name].attrs["units"] == "m"
        assert out.z.attrs["positive"] == "up" and out.attrs["quality_units"].startswith("rho")

    def test_numpy_dimensions_are_named_by_the_caller(self, tree):
        out = orvik.sample(tree, XS[:, None], YS[None, :], -2.0, dims=("easting", "northing"))
        assert out.dims == ("easting", "northing", "quality")
        np.testing.assert_array_equal(out.easting.values, XS)
        same_bits(out.values, reference(tree, XS[:, None], YS[None, :], -2.0))

    def test_a_point_set_keeps_its_coordinates_as_variables(self, tree):
        rng = np.random.default_rng(11)
        x, y, z = rng.uniform(-1, 11, (3, 40)) - [[0], [0], [10]]
        out = orvik.sample(tree, x, y, z)
        assert out.dims == ("point", "quality")
        for name, values in (("x", x), ("y", y), ("z", z)):
            np.testing.assert_array_equal(out[name].values, values)

    def test_the_dataset_carries_cf_metadata_and_the_grid_mapping(self, tree):
        pytest.importorskip("pyproj")
        model_crs = "+proj=tmerc +lat_0=45 +lon_0=10 +x_0=5 +y_0=5 +units=km +ellps=WGS84"
        out = orvik.sample(tree, axis("x", XS), 2.0, -3.0, crs=model_crs)
        ds = orvik.to_dataset(out)
        assert ds.attrs["Conventions"] == "CF-1.10"
        assert ds["vp"].attrs == {
            "units": "km/s",
            "long_name": "P-wave speed",
            "grid_mapping": "crs",
        }
        assert ds["crs"].attrs["grid_mapping_name"] == "transverse_mercator"
        assert ds.x.attrs["standard_name"] == "projection_x_coordinate"
        assert ds.x.attrs["units"] == "km"
        geo = orvik.sample(
            tree, axis("lon", [9.99, 10.0]), 45.0, -3.0, crs=("EPSG:4326", model_crs)
        )
        assert geo.lon.attrs["units"] == "degrees_east"
        assert orvik.to_dataset(geo)["crs"].attrs["grid_mapping_name"] == "latitude_longitude"


class TestVertical:
    def test_depth_below_a_surface_gives_the_elevation(self, tree):
        gx, gy = np.meshgrid(np.linspace(-2, 12, 8), np.linspace(-2, 12, 9))
        surface = orvik.structured_grid(gx, gy, 0.3 * gx - 0.2 * gy + 1.0)
        rng = np.random.default_rng(12)
        x, y, depth = rng.uniform(0, 10, 300), rng.uniform(0, 10, 300), rng.uniform(-1, 11, 300)
        out = orvik.sample(tree, x, y, depth=depth, surface=surface)
        top, _ = surface.query_many(x, y)
        z = (top - depth).astype(np.float32)  # from the float64 inputs, rounded once
        same_bits(out.values, reference(tree, x, y, z, depth=depth))

    def test_depth_alone_is_below_the_plane_z_zero(self, tree):
        depth = np.linspace(-1, 11, 25)
        out = orvik.sample(tree, 3.0, 4.0, depth=depth)
        same_bits(out.values, reference(tree, 3.0, 4.0, -depth.astype(np.float32), depth=depth))

    def test_neither_z_nor_depth(self, tree):
        with pytest.raises(TypeError, match="needs z"):
            orvik.sample(tree, 1.0, 1.0)


class TestInputsThatHidFaults:
    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"x": "repeated"}, ValueError, "x has the dimension 'a' more than once"),
            (
                {"y": np.ma.masked_array([0.5, 0.5], [True, False])},
                ValueError,
                "y is a masked array",
            ),
            ({"chunks": "fast"}, ValueError, "chunks must be None, 'auto' or a mapping"),
            ({"chunks": 4}, TypeError, "chunks must be None, 'auto' or a mapping"),
            ({"priority": (3, 1)}, ValueError, "priority must be a (lo, hi) range with lo <= hi"),
            ({"priority": 3}, TypeError, "priority must be a (lo, hi) pair"),
            (
                {"x": xr.DataArray(np.full(4, 0.5), dims="point"), "y": np.full(4, 0.5)},
                ValueError,
                "y is a plain array of shape (4,) next to xarray inputs",
            ),
        ],
    )
    def test_clear_errors(self, tree, kwargs, error, message):
        args = {"tree": tree, "x": np.full(2, 0.5), "y": 0.5, "z": -0.5, **kwargs}
        if isinstance(args["x"], str):
            with pytest.warns(UserWarning, match="Duplicate dimension names"):
                args["x"] = xr.DataArray(np.zeros((2, 2)), dims=("a", "a"))
        with pytest.raises(error, match="^" + re.escape(message)):
            orvik.sample(**args)

    def test_dask_input_of_unknown_chunk_sizes(self, tree):
        x = da.from_array(np.arange(10.0), chunks=3)
        with pytest.raises(ValueError, match="^x is a Dask array of unknown chunk sizes"):
            orvik.sample(tree, x[x > 3], 0.5, -0.5)

    def test_named_dimensions_let_plain_arrays_join_xarray_ones(self, tree):
        x = xr.DataArray(np.linspace(0, 9, 4), dims="point")
        out = orvik.sample(tree, x, np.full(4, 0.5), -0.5, dims=["point"])
        assert out.dims == ("point", "quality")
        same_bits(out.values, reference(tree, x.values, 0.5, -0.5))

    def test_read_only_and_broadcast_views(self, tree):
        x = np.broadcast_to(np.float32(2.5), (6,))
        z = np.linspace(-9, 0, 6).astype(np.float32)
        z.flags.writeable = False
        same_bits(orvik.sample(tree, x, x, z).values, reference(tree, 2.5, 2.5, z))
