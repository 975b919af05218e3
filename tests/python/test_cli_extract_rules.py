"""orvik extract with simulation rules and into SEG-Y and VTK files, through
subprocesses: the values of the library's rules, files read back by segyio."""

import json

import numpy as np
import pytest

import orvik
from orvik.rules import apply_rules
from profiles import surface_plane
from test_cli import LOCAL, column_tree, orvik_command

xr = pytest.importorskip("xarray")
pytest.importorskip("zarr")


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    """The command-line tests' column model, with its CRS and surface."""
    path = tmp_path_factory.mktemp("cli") / "column.orvik"
    surface = surface_plane(top=5.0, slope=(0.05, 0.0))
    orvik.save(column_tree(), path, metadata={"crs": LOCAL}, surface=surface)
    return path


AXES = ["--crs", "model", "--x", "0:100:6", "--y", "10,50,90", "--elevation", "100:-40:8"]


def sampled(model):
    tree, surface = orvik.load(model), orvik.load(model, "surface")
    axis = {
        "x": np.linspace(0, 100, 6),
        "y": np.array([10.0, 50, 90]),
        "z": np.linspace(100, -40, 8),
    }
    x, y, z = (xr.DataArray(v, dims=k) for k, v in axis.items())
    volume = orvik.sample(tree, x, y, z, surface=surface, crs=LOCAL)
    return volume.transpose("z", "y", "x", "quality")


def test_extract_applies_the_rules_of_the_library(model, tmp_path):
    out = tmp_path / "v.zarr"
    flags = ["--vs-min", "0.6", "--vp-vs-min", "1.9", "--q", "olsen", "--outside", "below"]
    proc = orvik_command("extract", model, out, *AXES, *flags, "--no-progress")
    assert proc.returncode == 0, proc.stderr
    data = xr.open_zarr(out)
    rules = {"vs_min": 0.6, "vp_vs_min": 1.9, "q": "olsen", "outside": "below"}
    want = apply_rules(sampled(model), rules)
    raw = sampled(model).values
    assert np.isnan(raw).all(-1).any() and not np.isnan(want.values).any()  # air filled from below
    for q in orvik.qualities.QUALITIES:
        np.testing.assert_array_equal(data[q].values, want.sel(quality=q).values)
    assert json.loads(data.attrs["orvik_rules"])["speed_unit"] == "km/s"


@pytest.mark.parametrize("name", ["v.sgy", "v.vtr"])
def test_extract_into_segy_and_vtk(model, tmp_path, name):
    out = tmp_path / name
    proc = orvik_command("extract", model, out, *AXES, "--qualities", "vs,rho", "--no-progress")
    assert proc.returncode == 0, proc.stderr
    want = sampled(model)
    if name.endswith(".sgy"):
        segyio = pytest.importorskip("segyio")
        files = [tmp_path / "v.rho.sgy", tmp_path / "v.vs.sgy"]  # in the order of the columns
        assert proc.stdout.decode().splitlines() == [f"{f}: 6 x 3 x 8 points" for f in files]
        for q, f in zip(["rho", "vs"], files):
            with segyio.open(f) as segy:
                np.testing.assert_array_equal(segy.samples, -np.linspace(100, -40, 8))
                cube = segyio.tools.cube(segy)
                np.testing.assert_array_equal(cube, want.sel(quality=q).transpose("y", "x", "z"))
    else:
        vtk = pytest.importorskip("vtk")
        from vtk.util.numpy_support import vtk_to_numpy

        reader = vtk.vtkXMLRectilinearGridReader()
        reader.SetFileName(str(out))
        reader.Update()
        got = vtk_to_numpy(reader.GetOutput().GetPointData().GetArray("vs")).reshape(8, 3, 6)
        np.testing.assert_array_equal(got, want.sel(quality="vs").values[::-1])
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["v.vs.sgy", "v.rho.sgy"] if name.endswith(".sgy") else [name]
    )
    again = orvik_command("extract", model, out, *AXES, "--qualities", "rho,vs", "--no-progress")
    assert again.returncode == 1 and "exists; remove it or pass --restart" in again.stderr.decode()


@pytest.mark.parametrize(
    ("flags", "status", "message"),
    [
        (["--fill", "vs=x"], 2, "argument --fill: 'vs=x' is neither a number nor NAME=VALUE"),
        (["--outside", "fill"], 1, 'fill must be given with outside="fill"'),
        (["--outside", "fill", "--fill", "1", "vs=2"], 1, "--fill takes one value or NAME=VALUE"),
        (["--vs-min", "0"], 1, "vs_min must be a positive finite number"),
        (["--format", "vtk"], 1, "a VTK grid is written to a file ending in .vtr"),
    ],
)
def test_bad_rules_name_the_option(model, tmp_path, flags, status, message):
    proc = orvik_command("extract", model, tmp_path / "v.zarr", *AXES, *flags)
    assert proc.returncode == status
    assert message in proc.stderr.decode(), proc.stderr
