"""Coordinates that are no place (NaN, infinite, a latitude beyond the poles,
a point the projection sends to infinity) answer NaN with a warning that
counts them, in sample, the site products and the command line; an input
whose latitudes and longitudes look swapped is refused. The oracle: the same
call on the good points alone."""

import subprocess
import sys

import numpy as np
import pytest

import orvik
from orvik import models, site
from orvik.sampling import NoPlaceWarning

pyproj = pytest.importorskip("pyproj")
UTM = "EPSG:32610"
# A background that answers everywhere, at any x and y (unbounded extent).
TABLE = {"depth": [0.0, 5e3], "vp": [5.0, 6.0], "vs": [0.9, 3.5], "rho": [2.7, 2.8]}


@pytest.fixture(scope="module")
def tree():
    return orvik.model_tree([models.layered(TABLE, priority=0)])


LON = np.array([-123.0, np.nan, -123.5, -124.0, np.inf, -123.2])
LAT = np.array([49.0, 49.0, 95.0, -91.0, 49.0, 48.5])
BAD = np.array([False, True, True, True, True, False])


def counted(record):
    [w] = [w for w in record if issubclass(w.category, NoPlaceWarning)]
    return w.message.count, str(w.message)


@pytest.mark.parametrize("crs", [("EPSG:4326", UTM), "EPSG:4326"])
@pytest.mark.parametrize("chunks", [None, {"point": 2}])
def test_sample_gives_nan_at_no_place_and_counts_them(tree, crs, chunks):
    pytest.importorskip("dask" if chunks else "xarray")
    depth = np.full(len(LON), 1e3)
    depth[-1] = np.nan  # a vertical coordinate that is no place either
    bad = BAD | np.isnan(depth)
    with pytest.warns(NoPlaceWarning) as record:
        got = orvik.sample(tree, LON, LAT, depth=depth, crs=crs, chunks=chunks).values
    counts = [w.message.count for w in record if issubclass(w.category, NoPlaceWarning)]
    assert sum(counts) == bad.sum()  # once, or once per block when lazy
    if chunks is None:
        assert str(record[0].message).startswith(f"{bad.sum()} of {len(LON)} points are no place")
    assert np.isnan(got[bad]).all()
    good = orvik.sample(tree, LON[~bad], LAT[~bad], depth=depth[~bad], crs=crs).values
    np.testing.assert_array_equal(got[~bad], good)


def test_a_point_that_the_projection_sends_to_infinity_is_no_place(tree):
    # An orthographic view of the Earth: a point 10,000 km from its centre
    # lies off the globe, and no latitude check can see it.
    ortho = "+proj=ortho +lat_0=49 +lon_0=-123 +ellps=WGS84"
    x, y = np.array([0.0, 1e7]), np.array([0.0, 0.0])
    with pytest.warns(NoPlaceWarning, match="1 of 2 points are no place"):
        got = orvik.sample(tree, x, y, depth=np.array([1e3, 1e3]), crs=(ortho, UTM)).values
    assert np.isfinite(got[0]).all() and np.isnan(got[1]).all()
    with pytest.warns(NoPlaceWarning, match="1 of 2 points are no place"):
        sites = site.vs30(tree, x, y, crs=(ortho, UTM))
    assert np.isfinite(sites[0]) and np.isnan(sites[1])


def test_swapped_latitudes_and_longitudes_are_refused(tree):
    message = "every latitude .y. lies outside .-90, 90. and every longitude .x. inside it: x and y look swapped"
    with pytest.raises(ValueError, match=message):
        orvik.sample(tree, LAT[:1], np.array([-123.0]), depth=[1e3], crs=("EPSG:4326", UTM))
    with pytest.raises(ValueError, match=message):
        site.vs30(tree, np.array([49.0, 48.0]), np.array([-123.0, -124.0]), crs=("EPSG:4326", UTM))
    # Most latitudes in range: not swapped, only one point that is no place.
    with pytest.warns(NoPlaceWarning, match="1 of 2"):
        site.vs30(tree, np.array([-123.0, -123.0]), np.array([49.0, 95.0]), crs=("EPSG:4326", UTM))


def test_site_products_give_nan_at_no_place_and_count_them(tree):
    with pytest.warns(NoPlaceWarning) as record:
        got = site.vs30(tree, LON, LAT, crs=("EPSG:4326", UTM))
    assert counted(record)[0] == BAD.sum()
    assert np.isnan(got[BAD]).all()
    np.testing.assert_array_equal(
        got[~BAD], site.vs30(tree, LON[~BAD], LAT[~BAD], crs=("EPSG:4326", UTM))
    )


def test_lazy_site_products_count_per_block(tree):
    da = pytest.importorskip("dask.array")
    import dask

    lazy = site.z1p0(
        tree, da.from_array(LON, chunks=3), da.from_array(LAT, chunks=3), crs=("EPSG:4326", UTM)
    )
    with dask.config.set(scheduler="synchronous"), pytest.warns(NoPlaceWarning) as record:
        got = lazy.compute()
    assert sum(w.message.count for w in record) == BAD.sum() and np.isnan(got[BAD]).all()


@pytest.fixture(scope="module")
def model_file(tree, tmp_path_factory):
    path = tmp_path_factory.mktemp("places") / "bg.orvik"
    orvik.save(tree, path, metadata={"crs": UTM})
    return path


def orvik_command(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "orvik.cli", *map(str, args)], input=stdin, capture_output=True
    )


def test_query_command_gives_nan_at_no_place_and_says_how_many(model_file):
    lines = "-123 49 1000\n-123 95 1000\n-123.5 48.5 1000\n-123 -91 1000\n"
    proc = orvik_command("query", model_file, stdin=lines.encode())
    assert proc.returncode == 0, proc.stderr
    rows = np.array(proc.stdout.split(), float).reshape(-1, 6)
    assert np.isnan(rows[[1, 3]]).all() and np.isfinite(rows[[0, 2]]).all()
    assert (
        proc.stderr.decode() == "orvik query: warning: 2 of 4 points are no place (a coordinate "
        "that is NaN or infinite, a latitude outside [-90, 90], or a point that the CRS maps to "
        "infinity): their values are NaN\n"
    )
    proc = orvik_command("query", model_file, stdin=b"49 -123 1000\n48 -124 1000\n")
    assert proc.returncode == 1 and b"x and y look swapped" in proc.stderr


def test_site_command_counts_no_place_then_applies_the_nan_policy(model_file, tmp_path):
    stations = tmp_path / "s.csv"
    stations.write_text("lon,lat\n-123,49\n-123,95\n")
    proc = orvik_command("site", model_file, stations, "--nan-policy", "drop")
    assert proc.returncode == 0, proc.stderr
    assert len(proc.stdout.decode().splitlines()) == 2
    assert proc.stderr.decode().splitlines() == [
        "orvik site: 1 of 2 stations left out: no value (nan)",
        "orvik site: warning: 1 of 2 points are no place (a coordinate that is NaN or infinite, a "
        "latitude outside [-90, 90], or a point that the CRS maps to infinity): their values are NaN",
    ]


def test_extract_command_counts_no_place_on_standard_error(model_file, tmp_path):
    xarray = pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    out = tmp_path / "v.zarr"
    proc = orvik_command(
        "extract", model_file, "--lon", "-123.5,-123", "--lat", "49,95", "--depth", "0,1000",
        "--qualities", "vs", "--no-progress", out,
    )  # fmt: skip
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.decode().startswith("orvik extract: warning: 4 of 8 points are no place")
    vs = xarray.open_dataset(out, engine="zarr")["vs"].transpose("latitude", ...).values
    assert np.isfinite(vs[0]).all() and np.isnan(vs[1]).all()
