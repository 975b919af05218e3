"""Extracted volumes read by the tools of the field: the IOOS
compliance-checker (CF-1.10 and ACDD), netCDF-C's ncdump and GDAL's gdalinfo
on Zarr format 2, and the EMC layout read back by orvik.models.grid."""

import datetime
import json
import re

import numpy as np
import pytest

import orvik
from readers import LAT, LON, MODEL_CRS, run, utm_tree

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("pyproj")

DEPTH = np.array([0.0, 250.0, 1000.0, 2500.0])
CREATOR = {
    "creator_name": "A. Seismologist",
    "creator_email": "a@example.org",
    "creator_url": "https://example.org",
}


@pytest.fixture(scope="module")
def tree():
    return utm_tree()


def geographic(tree, path, **options):
    grid = {
        "x": xr.DataArray(LON, dims="longitude"),
        "y": xr.DataArray(LAT, dims="latitude"),
        "depth": DEPTH,
    }
    return orvik.extract(tree, grid, path, crs=("EPSG:4326", MODEL_CRS), progress=False, **options)


def projected(tree, path, **options):
    grid = {"x": np.linspace(430e3, 490e3, 6), "y": np.linspace(5.42e6, 5.45e6, 4), "z": -DEPTH}
    return orvik.extract(tree, grid, path, crs=MODEL_CRS, progress=False, **options)


def checker(path):
    report = run(
        "compliance-checker",
        "--test",
        "cf:1.10",
        "--test",
        "acdd",
        "-f",
        "json",
        "-o",
        "-",
        path,
        memory=4 << 30,
        ok=(0, 1),  # 1: some check below full marks
    )
    return json.loads(report)


def failures(result):
    return [
        (c["name"], m)
        for level in ("high_priorities", "medium_priorities", "low_priorities")
        for c in result.get(level, [])
        if c["value"][0] != c["value"][1]
        for m in c["msgs"]
    ]


@pytest.mark.parametrize("volume", [geographic, projected])
def test_compliance_checker_full_cf_score_and_our_acdd_attributes(tree, tmp_path, volume):
    path = volume(tree, tmp_path / "v.nc", attributes=CREATOR)
    report = checker(path)
    cf = report["cf:1.10"]
    assert failures(cf) == [] and cf["scored_points"] == cf["possible_points"] > 150
    ours = re.compile(
        r"geospatial|creator|title|summary|keywords|date_created|history|coverage_content_type"
    )
    acdd = failures(report["acdd"])
    if volume is projected:  # the checker takes projected x and y for degrees
        acdd = [f for f in acdd if not f[0].endswith("_extents_match")]
    # The vertical datum is the model's, which orvik does not know.
    assert [m for _, m in acdd if ours.search(m)] == ["geospatial_bounds_vertical_crs not present"]
    with xr.open_dataset(path) as data:
        assert data.attrs["creator_name"] == CREATOR["creator_name"]
        assert data.attrs["Conventions"] == "CF-1.10"
        created = datetime.datetime.fromisoformat(data.attrs["date_created"])
        assert abs(created - datetime.datetime.now(datetime.UTC)).total_seconds() < 600
        assert data.attrs["history"].splitlines()[-1].startswith(f"{data.attrs['date_created']} ")
        if volume is geographic:
            assert (data.attrs["geospatial_lon_min"], data.attrs["geospatial_lat_max"]) == (
                LON[0],
                LAT[-1],
            )
            assert data.attrs["geospatial_vertical_positive"] == "down"


def ncdump_values(text, name):
    """The values of variable `name` in ncdump's text (NaN for its NaNf)."""
    body = text.split("data:", 1)[1]
    found = re.search(rf"\b{name} =\s*(.*?);", body, re.S)
    return np.array([float(v.replace("NaNf", "nan")) for v in found.group(1).split(",")])


def test_netcdf_c_reads_a_zarr2_store(tree, tmp_path):
    path = geographic(tree, tmp_path / "v.zarr", format="zarr2", qualities=("vs", "rho"))
    url = f"file://{path.resolve()}#mode=zarr,file"
    header = run("ncdump", "-h", url)
    assert "float vs(depth, latitude, longitude)" in header
    assert 'vs:units = "km/s"' in header and "crs:grid_mapping_name" in header
    for name in ("longitude", "latitude", "depth"):  # CF: no fill value on coordinates
        assert json.loads((path / name / ".zarray").read_text())["fill_value"] is None
    text = run("ncdump", url)  # every variable, the grid mapping's too
    with xr.open_zarr(path) as data:
        for name in ("vs", "rho", "longitude", "depth"):
            np.testing.assert_allclose(
                ncdump_values(text, name), data[name].values.ravel(), rtol=1e-6
            )
        assert np.isfinite(data["vs"].values).all()


def test_gdal_reads_the_crs_and_geotransform_of_a_zarr2_store(tree, tmp_path):
    path = geographic(tree, tmp_path / "v.zarr", format="zarr2", qualities=("vs",))
    info = json.loads(run("gdalinfo", "-json", f'ZARR:"{path}":/vs:0'))
    assert info["coordinateSystem"]["wkt"].startswith('GEOGCRS["WGS 84"')
    step = (LON[1] - LON[0], LAT[1] - LAT[0])
    expected = [LON[0] - step[0] / 2, step[0], 0.0, LAT[0] - step[1] / 2, 0.0, step[1]]
    np.testing.assert_allclose(info["geoTransform"], expected, rtol=1e-12)
    assert info["size"] == [len(LON), len(LAT)]


def test_emc_layout_reads_back_through_models_grid(tree, tmp_path):
    path = geographic(tree, tmp_path / "emc.nc", layout="emc", attributes=CREATOR)
    with xr.open_dataset(path) as data:
        assert data["vs"].dims == ("depth", "latitude", "longitude")
        assert data["depth"].attrs["units"] == "km" and data["depth"].attrs["positive"] == "down"
        np.testing.assert_array_equal(data["depth"].values, DEPTH / 1000)
        assert data["vs"].attrs["units"] == "km/s" and data["rho"].attrs["units"] == "g/cm^3"
        model = orvik.models.grid(data, priority=0, model_crs=MODEL_CRS)
        stored = np.stack([data[q].values for q in ("rho", "vp", "vs")], axis=-1)
    # At the inner nodes (those on the edge may fall outside the mesh once
    # projected into float32 metres, 0.5 m apart at this northing).
    inner = (slice(None), slice(1, -1), slice(1, -1))
    again = orvik.sample(
        orvik.model_tree([model]),
        LON[None, None, 1:-1],
        LAT[None, 1:-1, None],
        depth=DEPTH[:, None, None],
        crs=("EPSG:4326", MODEL_CRS),
    )
    back = again.sel(quality=["rho", "vp", "vs"]).values
    np.testing.assert_allclose(back, stored[inner], rtol=1e-5)


@pytest.mark.parametrize(
    "grid, message",
    [
        ({"x": LON, "y": LAT, "z": -DEPTH}, "needs a depth axis"),
        (
            {"x": np.array([450e3, 460e3]), "y": np.array([5.42e6, 5.43e6]), "depth": DEPTH},
            "needs longitude and latitude",
        ),
    ],
)
def test_emc_layout_refuses_other_axes(tree, tmp_path, grid, message):
    crs = ("EPSG:4326", MODEL_CRS) if grid["x"][0] < 0 else MODEL_CRS
    with pytest.raises(ValueError, match=message):
        orvik.extract(tree, grid, tmp_path / "e.nc", crs=crs, layout="emc", progress=False)
    assert not (tmp_path / "e.nc").exists()
