"""SEG-Y and VTK volumes read back by segyio and by VTK's own XML reader:
values, geometry and coordinates against the volume that orvik.sample gives."""

import numpy as np
import pytest

import orvik

xr = pytest.importorskip("xarray")
segyio = pytest.importorskip("segyio")

from orvik.segy import to_segy  # noqa: E402
from test_sampling import make_tree  # noqa: E402


@pytest.fixture(scope="module")
def tree():
    return make_tree()


def volume(tree, vertical="depth", levels=np.linspace(-1.0, 10.0, 23)):
    x = xr.DataArray(np.linspace(-1.0, 11.0, 13), dims="x")
    y = xr.DataArray(np.linspace(-0.5, 10.5, 12), dims="y")
    v = xr.DataArray(levels, dims=vertical)
    sampled = orvik.sample(tree, x, y, **{vertical: v})
    return orvik.to_dataset(sampled.transpose(vertical, "y", "x", "quality"))


def far_away(data, vertical):
    """The same values on coordinates that need the header scalars."""
    return data.assign_coords(
        x=("x", 512345.25 + 100.5 * np.arange(data.x.size), data.x.attrs),
        y=("y", 5401234.75 - 50.25 * np.arange(data.y.size), data.y.attrs),
    )


@pytest.mark.parametrize(
    ("vertical", "levels"),
    [("depth", np.linspace(-1.0, 10.0, 23)), ("z", np.linspace(-20.75, 0.25, 8))],
)
def test_segy_read_back_by_segyio(tree, tmp_path, vertical, levels):
    data = far_away(volume(tree, vertical, levels), vertical)
    paths = to_segy(data, tmp_path / "v.sgy", ["vs", "rho"])
    assert paths == [tmp_path / "v.vs.sgy", tmp_path / "v.rho.sgy"]
    # samples go down: depth as given, or -z (here z rises, so the traces are reversed)
    depth = levels if vertical == "depth" else -levels
    order = np.argsort(depth)
    for name, path in zip(["vs", "rho"], paths):
        with segyio.open(path, iline=189, xline=193) as f:
            np.testing.assert_array_equal(f.ilines, np.arange(1, 13))
            np.testing.assert_array_equal(f.xlines, np.arange(1, 14))
            np.testing.assert_allclose(f.samples, depth[order], atol=1e-9)
            assert f.sorting == segyio.TraceSortingFormat.INLINE_SORTING
            cube = segyio.tools.cube(f)  # (inline, crossline, sample)
            want = data[name].transpose("y", "x", vertical).values[..., order]
            np.testing.assert_array_equal(cube, want)
            assert np.isnan(cube).any() and not np.isnan(cube).all()
            field = segyio.TraceField
            for trace in (0, 27, 155):
                h = f.header[trace]
                scale = -1.0 / h[field.SourceGroupScalar]
                row, col = divmod(trace, 13)
                assert (h[field.INLINE_3D], h[field.CROSSLINE_3D]) == (row + 1, col + 1)
                assert h[field.CDP_X] * scale == data.x.values[col]
                assert h[field.CDP_Y] * scale == data.y.values[row]
                assert h[field.CoordinateUnits] == 1
            assert b"vs" in bytes(f.text[0]) if name == "vs" else b"rho" in bytes(f.text[0])


@pytest.mark.parametrize(
    ("levels", "message"),
    [
        (np.array([0.0, 1.0, 3.0]), "must be evenly spaced"),
        (np.array([0.0, 40.0, 80.0]), "whole number of millimetres up to 32.767 m"),
        (np.array([0.00001, 1.00001]), "has no SEG-Y delay"),
    ],
)
def test_segy_refuses_axes_it_cannot_hold(tree, tmp_path, levels, message):
    with pytest.raises(ValueError, match=message):
        to_segy(volume(tree, "depth", levels), tmp_path / "v.sgy", "vs")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("vertical", ["depth", "z"])
def test_vtk_grid_read_back_by_vtk(tree, tmp_path, vertical):
    vtk = pytest.importorskip("vtk")
    from vtk.util.numpy_support import vtk_to_numpy

    from orvik.vtk_grid import to_vtk

    levels = np.linspace(-1.0, 10.0, 23) if vertical == "depth" else np.linspace(1.0, -11.0, 13)
    data = volume(tree, vertical, levels)
    assert to_vtk(data, tmp_path / "v.vtr") == tmp_path / "v.vtr"
    reader = vtk.vtkXMLRectilinearGridReader()
    reader.SetFileName(str(tmp_path / "v.vtr"))
    reader.Update()
    grid = reader.GetOutput()
    elevation = -levels if vertical == "depth" else levels
    order = np.argsort(elevation)  # VTK's axes increase
    assert grid.GetDimensions() == (13, 12, levels.size)
    np.testing.assert_array_equal(vtk_to_numpy(grid.GetXCoordinates()), data.x.values)
    np.testing.assert_array_equal(vtk_to_numpy(grid.GetYCoordinates()), data.y.values)
    np.testing.assert_array_equal(vtk_to_numpy(grid.GetZCoordinates()), elevation[order])
    points = grid.GetPointData()
    assert sorted(points.GetArrayName(i) for i in range(points.GetNumberOfArrays())) == sorted(
        orvik.qualities.QUALITIES
    )
    for name in orvik.qualities.QUALITIES:
        values = vtk_to_numpy(points.GetArray(name)).reshape(levels.size, 12, 13)
        np.testing.assert_array_equal(values, data[name].values[order])
    # a point looked up by VTK's own locator holds the volume's value there
    inside = np.argwhere(np.isfinite(data["vs"].values[order]))
    k, j, i = inside[len(inside) // 2]
    found = grid.FindPoint((data.x.values[i], data.y.values[j], elevation[order][k]))
    assert points.GetArray("vs").GetValue(found) == data["vs"].values[order][k, j, i]


def test_segy_geographic_coordinates_in_ten_thousandths_of_a_degree(tree, tmp_path):
    data = volume(tree)
    lon = xr.DataArray(-123.5 + 0.0125 * np.arange(13), dims="x", attrs={"units": "degrees_east"})
    lat = xr.DataArray(48.75 + 0.0125 * np.arange(12), dims="y", attrs={"units": "degrees_north"})
    (path,) = to_segy(data.assign_coords(x=lon, y=lat), tmp_path / "v.sgy", "vp")
    field = segyio.TraceField
    with segyio.open(path) as f:
        h = f.header[12 * 13 - 1]  # the last inline's last crossline
        assert h[field.CoordinateUnits] == 3 and h[field.SourceGroupScalar] == -10000
        assert (h[field.SourceX], h[field.SourceY]) == (round(lon[-1].item() * 1e4), 488875)
