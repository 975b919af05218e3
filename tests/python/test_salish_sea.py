"""The Salish Sea example: its coastline, its surface, and the volume it writes."""

import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pyproj")
pytest.importorskip("xarray")
pytest.importorskip("zarr")

import orvik  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import salish_model as sm  # noqa: E402
import salish_sea  # noqa: E402

LAND = {
    "Vancouver Island, Strathcona": (-125.6, 49.65),
    "Coast Mountains": (-122.9, 49.75),
    "Vancouver Island, Cowichan": (-124.1, 48.8),
}
SEA = {
    "Strait of Georgia": (-123.6, 49.2),
    "Strait of Juan de Fuca": (-124.0, 48.3),
    "Pacific off Vancouver Island": (-125.8, 48.3),
}


@pytest.fixture(scope="module")
def model():
    return sm.build(stride=2)


def model_xy(model, places):
    x, y = model.region.to_model.transform(*np.array(list(places.values())).T)
    return np.asarray(x), np.asarray(y)


def test_coastline_puts_known_places_on_their_side(model):
    for places, sign in ((LAND, -1), (SEA, 1)):
        x, y = model_xy(model, places)
        distance = model.coast.signed_distance(x.astype(np.float32), y.astype(np.float32))
        elevation, outside = model.region.surface.query_many(x, y)
        assert not outside.any()
        assert (np.sign(distance) == sign).all(), dict(zip(places, distance))
        assert (np.sign(elevation) == sign * -1).all(), dict(zip(places, elevation))


def test_the_model_starts_at_the_surface(model):
    # Depth below the surface is zero on the surface: just below it lies rock
    # everywhere, just above it the air on land and the sea offshore.
    rng = np.random.default_rng(3)
    lon = rng.uniform(-125.7, -122.3, 400)
    lat = rng.uniform(48.2, 49.8, 400)
    x, y = model.region.to_model.transform(lon, lat)
    ground, _ = model.region.surface.query_many(np.asarray(x), np.asarray(y))
    below = (
        orvik.sample(model.tree, x, y, ground - 1.0, surface=model.region.surface)
        .sel(quality="vs")
        .values
    )
    above = (
        orvik.sample(model.tree, x, y, ground + 1.0, surface=model.region.surface)
        .sel(quality="vs")
        .values
    )
    assert (below > 0.3).all()
    # The sea's top follows sea level as closely as the TIN follows the surface.
    land = ground > 5.0
    sea = ground < -(sm.SURFACE_TOLERANCE_M + 5.0)
    assert land.any() and sea.any()
    assert np.isnan(above[land]).all()
    assert (above[sea] == 0.0).all()  # the water column: Vs 0


def test_the_example_writes_a_volume_that_matches_direct_queries(tmp_path, capsys, monkeypatch):
    xr = pytest.importorskip("xarray")
    result = salish_sea.main(["--coarse", "--output", str(tmp_path)])
    assert "built the Salish Sea model" in capsys.readouterr().out
    for name in ("salish_sea_vs_maps.png", "salish_sea_section.png", "salish_sea_vs30.png"):
        assert (tmp_path / name).stat().st_size > 10_000
    sites = result["site_maps"]  # Vs30 at every node as orvik.site.vs30 gives it
    lon, lat = np.meshgrid(sites.lon.values, sites.lat.values)
    direct = orvik.site.vs30(
        result["model"].tree,
        lon,
        lat,
        surface=result["model"].region.surface,
        crs=(salish_sea.sm.GEOGRAPHIC, salish_sea.sm.MODEL_CRS),
    )
    np.testing.assert_array_equal(sites["vs30"].values, direct)
    assert np.isfinite(direct).mean() > 0.5
    with xr.open_dataset(tmp_path / "salish_sea_site_maps.nc") as saved:
        np.testing.assert_array_equal(saved["z2pt5"].values, sites["z2pt5"].values)
    volume = xr.open_zarr(result["store"])  # consolidated, CF-decoded
    assert volume["vs"].dims == ("depth", "latitude", "longitude")
    assert volume["vs"].attrs["units"] == "km/s" and volume["depth"].attrs["units"] == "m"
    assert volume["longitude"].attrs["units"] == "degrees_east"
    assert volume["crs"].attrs["grid_mapping_name"] == "latitude_longitude"
    assert result["points"] == volume["vs"].size

    # A few points of the volume against query_many on the same model, z from
    # the surface in float64.
    model = result["model"]
    rng = np.random.default_rng(5)
    picks = {d: rng.integers(0, volume.sizes[d], 12) for d in ("depth", "latitude", "longitude")}
    lon = volume.longitude.values[picks["longitude"]]
    lat = volume.latitude.values[picks["latitude"]]
    depth = volume.depth.values[picks["depth"]]
    elevation = salish_sea.surface_elevation(model, lon, lat)
    x, y = model.region.to_model.transform(lon, lat)
    z = elevation - depth
    out = np.full((len(lon), 6), np.nan, np.float32)
    coords = [np.asarray(a, np.float32) for a in (x, y, z, depth)]
    model.tree.query_many(out, orvik.QueryCoordinates(*coords), orvik.QueryParams(0, 255))
    stored = np.stack(
        [
            volume[q].values[picks["depth"], picks["latitude"], picks["longitude"]]
            for q in ("rho", "vp", "vs", "qp", "qs", "alpha")
        ],
        axis=1,
    )
    np.testing.assert_array_equal(stored, out)

    # A second run loads the saved model, which gives the same volume; new
    # inputs (another digest) build it again.
    built_vs = volume["vs"].values  # read now: the next run rewrites the store
    provenance = orvik.info(result["model_file"])["metadata"]["provenance"]
    assert provenance["inputs_sha256"] == salish_sea.inputs_digest(2)
    again = salish_sea.main(["--coarse", "--output", str(tmp_path)])
    assert capsys.readouterr().out.startswith(
        f"loaded the Salish Sea model from {result['model_file']} in "
    )
    np.testing.assert_array_equal(xr.open_zarr(again["store"])["vs"].values, built_vs)
    monkeypatch.setattr(salish_sea, "inputs_digest", lambda stride: "another")
    salish_sea.main(["--coarse", "--output", str(tmp_path)])
    assert "built the Salish Sea model in" in capsys.readouterr().out
