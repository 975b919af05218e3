"""orvik.extract: a regular volume into Zarr (formats 3 and 2) and NetCDF with
CF metadata, read back bit for bit against orvik.sample; the completion mark;
resumption after SIGINT and SIGKILL to the bits of an uninterrupted run; the
blocks written by the workers of a distributed cluster."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import orvik

xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")
pytest.importorskip("dask")

from orvik.extraction import STATUS_ATTR  # noqa: E402
from orvik.qualities import QUALITIES  # noqa: E402
from test_sampling import make_tree  # noqa: E402

GRID = {
    "x": np.linspace(-1.0, 11.0, 37),
    "y": np.linspace(-0.5, 10.5, 29),
    "depth": np.linspace(-1.0, 10.0, 23),
}
CHUNKS = {"x": 10, "y": 8, "depth": 6}


@pytest.fixture(scope="module")
def tree():
    return make_tree()


def expected(tree, grid=GRID):
    """The same volume from orvik.sample, as (depth, y, x, quality)."""
    return orvik.sample(
        tree, grid["x"][None, None, :], grid["y"][None, :, None], depth=grid["depth"][:, None, None]
    ).values


def stored(data, names=QUALITIES):
    return np.stack([data[q].values for q in names], axis=-1)


def same_bits(a, b):
    assert a.shape == b.shape
    np.testing.assert_array_equal(a.view(np.uint32), b.view(np.uint32))


@pytest.mark.parametrize("fmt", ["zarr", "zarr2"])
def test_zarr_stores_read_back_with_cf_metadata(tree, tmp_path, fmt):
    path = orvik.extract(tree, GRID, tmp_path / "v.zarr", chunks=CHUNKS, format=fmt)
    assert zarr.open_group(str(path), mode="r").metadata.zarr_format == (2 if fmt == "zarr2" else 3)
    data = xr.open_zarr(path)  # consolidated, CF-decoded, warnings are errors here
    assert data.attrs["Conventions"] == "CF-1.10"
    assert data.attrs[STATUS_ATTR]["status"] == "complete"
    assert data["vs"].dims == ("depth", "y", "x") and data["vs"].attrs["units"] == "km/s"
    assert data["rho"].attrs["units"] == "g/cm^3" and data["depth"].attrs["positive"] == "down"
    assert data["vs"].encoding["chunks"] == (6, 8, 10)
    for name in ("x", "y", "depth"):
        np.testing.assert_array_equal(data[name].values, GRID[name])
    same_bits(stored(data), expected(tree))
    assert "orvik_blocks_written" not in zarr.open_group(str(path), mode="r")


def test_netcdf_with_a_grid_mapping_in_the_callers_crs(tree, tmp_path):
    netcdf4 = pytest.importorskip("netCDF4")
    pytest.importorskip("pyproj")
    model_crs = "+proj=tmerc +lat_0=45 +lon_0=10 +x_0=5 +y_0=5 +units=km +ellps=WGS84"
    lon = xr.DataArray(np.linspace(9.95, 10.05, 21), dims="longitude")
    lat = xr.DataArray(np.linspace(44.96, 45.04, 17), dims="latitude")
    grid = {"x": lon, "y": lat, "z": xr.DataArray(np.linspace(-9.0, 0.5, 11), dims="z")}
    path = orvik.extract(
        tree, grid, tmp_path / "v.nc", crs=("EPSG:4326", model_crs), qualities=("vs", "rho")
    )
    with netcdf4.Dataset(path) as nc:
        assert set(nc.variables) == {"vs", "rho", "longitude", "latitude", "z", "crs"}
        assert nc.variables["vs"].grid_mapping == "crs"
        assert nc.variables["crs"].grid_mapping_name == "latitude_longitude"
        assert nc.variables["longitude"].units == "degrees_east"
        assert nc.Conventions == "CF-1.10"
    data = xr.open_dataset(path)
    direct = orvik.sample(tree, lon, lat, grid["z"], crs=("EPSG:4326", model_crs))
    direct = direct.transpose("z", "latitude", "longitude", "quality").sel(quality=["vs", "rho"])
    same_bits(stored(data, ["vs", "rho"]), direct.values)
    assert not (tmp_path / "v.nc.partial.zarr").exists()
    again = orvik.extract(
        tree, grid, tmp_path / "v.nc", crs=("EPSG:4326", model_crs), qualities=("vs", "rho")
    )
    assert again == path
    with pytest.raises(ValueError, match="holds another extraction"):
        orvik.extract(tree, grid, tmp_path / "v.nc", crs=("EPSG:4326", model_crs))


class _Terminal:
    """Standard error as a terminal, recording what is written to it."""

    def __init__(self):
        self.text = []

    def isatty(self):
        return True

    def write(self, text):
        self.text.append(text)

    def flush(self):
        pass


@pytest.mark.parametrize("terminal", [True, False])
def test_a_progress_bar_on_a_terminal_only(tree, tmp_path, monkeypatch, terminal):
    stream = _Terminal()
    if not terminal:
        stream.isatty = lambda: False
    monkeypatch.setattr(sys, "stderr", stream)
    orvik.extract(tree, GRID, tmp_path / "v.zarr", chunks=CHUNKS)
    shown = "".join(stream.text)
    blocks = 4 * 4 * 4  # ceil(23 / 6), ceil(29 / 8), ceil(37 / 10)
    assert (f"{blocks}/{blocks}" in shown) == terminal and ("" if terminal else shown) == ""


def test_bad_requests_name_the_argument(tree, tmp_path):
    with pytest.raises(ValueError, match="^grid must have the axes 'x', 'y' and one of"):
        orvik.extract(tree, {"x": [0.0], "y": [0.0]}, tmp_path / "a.zarr")
    with pytest.raises(ValueError, match="^qualities must be distinct names"):
        orvik.extract(tree, GRID, tmp_path / "a.zarr", qualities=("vs", "speed"))
    with pytest.raises(ValueError, match=r"^grid\['x'\] must be one-dimensional"):
        orvik.extract(tree, {**GRID, "x": np.zeros((2, 2))}, tmp_path / "a.zarr")
    with pytest.raises(ValueError, match="^format must be one of"):
        orvik.extract(tree, GRID, tmp_path / "a.zarr", format="hdf")
    orvik.extract(tree, GRID, tmp_path / "a.zarr", chunks=CHUNKS)
    with pytest.raises(ValueError, match="holds another extraction"):
        orvik.extract(tree, GRID, tmp_path / "a.zarr", chunks=CHUNKS, qualities=("vs",))


CHILD = textwrap.dedent(
    """
    import sys
    import numpy as np, orvik
    sys.path.insert(0, {tests!r})
    from test_sampling import make_tree
    grid = {{"x": np.linspace(-1, 11, 60), "y": np.linspace(-1, 11, 50),
             "depth": np.linspace(-1, 10, 32)}}
    orvik.extract(make_tree(), grid, sys.argv[1], chunks={{"x": 5, "y": 5, "depth": 32}},
                  progress=False)
    """
)


def marks(store):
    root = store / "orvik_blocks_written"
    return sum(1 for p in root.rglob("*") if p.is_file() and p.name != "zarr.json")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGKILL])
def test_an_interrupted_extraction_resumes_to_the_same_bits(tmp_path, sig):
    script = tmp_path / "child.py"
    script.write_text(CHILD.format(tests=os.path.dirname(__file__)))
    whole, cut = tmp_path / "whole.zarr", tmp_path / "cut.zarr"
    subprocess.run([sys.executable, str(script), str(whole)], check=True, timeout=300)

    child = subprocess.Popen([sys.executable, str(script), str(cut)], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and child.poll() is None:
        if (cut / "orvik_blocks_written").exists() and marks(cut) >= 20:
            break
        time.sleep(0.01)
    child.send_signal(sig)
    child.wait(timeout=60)
    assert child.returncode != 0
    interrupted = zarr.open_group(str(cut), mode="r")
    assert interrupted.attrs[STATUS_ATTR]["status"] == "incomplete"
    written = marks(cut)
    assert 20 <= written < 12 * 10  # midway

    subprocess.run([sys.executable, str(script), str(cut)], check=True, timeout=300)
    a, b = xr.open_zarr(whole), xr.open_zarr(cut)
    assert b.attrs[STATUS_ATTR]["status"] == "complete"
    same_bits(stored(b), stored(a))


def test_blocks_written_by_the_workers_of_a_cluster(tree, tmp_path):
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=50
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        path = orvik.extract(tree, GRID, tmp_path / "v.zarr", chunks=CHUNKS, progress=False)
        writers = client.run(os.getpid)
    assert os.getpid() not in writers.values()
    same_bits(stored(xr.open_zarr(path)), expected(tree))
