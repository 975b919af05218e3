"""Site products as files that other tools read: vertical profiles as TauP
.nd (obspy.taup's travel times, read back by read_nd) and CSV; Vs30, Z1.0 and
Z2.5 maps as NetCDF (GMT's grdinfo and grd2xyz, GDAL) and GeoTIFF (rasterio);
and the commands orvik profile, orvik site --grid and orvik extract --layout
emc."""

import json
import subprocess
import sys

import numpy as np
import pytest

import orvik
from orvik.models import LayeredTable, layered, read_nd
from readers import LAT, LON, MODEL_CRS, run, utm_tree

xr = pytest.importorskip("xarray")
pytest.importorskip("pyproj")

F32 = np.float32
# A whole Earth with a crust, a Moho, a fluid outer core and an inner core:
# discontinuities at 20 and 35 km, the core-mantle and the inner-core boundary.
EARTH = LayeredTable(
    depth=np.array([0, 20, 20, 35, 35, 100, 2891, 2891, 5150, 5150, 6371]) * 1e3,
    vp=np.array([5.75, 6.5, 6.75, 7.0, 8.0, 8.25, 13.5, 8.0, 10.25, 11.0, 11.25]),
    vs=np.array([3.25, 3.75, 3.875, 4.0, 4.5, 4.625, 7.25, 0.0, 0.0, 3.5, 3.75]),
    rho=np.array([2.5, 2.75, 2.875, 3.0, 3.25, 3.375, 5.5, 9.875, 12.0, 12.75, 13.0]),
)


def earth_tree(table=EARTH):
    return orvik.model_tree([layered(table, priority=0)])


def same_table(a, b, depth_tol=0.0):
    np.testing.assert_allclose(a.depth, b.depth, rtol=0, atol=depth_tol)
    for name in ("vp", "vs", "rho"):
        np.testing.assert_array_equal(F32(getattr(a, name)), F32(getattr(b, name)))


def travel_times(nd_file, folder):
    from obspy.taup import TauPyModel
    from obspy.taup.taup_create import build_taup_model

    build_taup_model(str(nd_file), output_folder=str(folder), verbose=False)
    model = TauPyModel(model=str(folder / nd_file.with_suffix(".npz").name))
    arrivals = model.get_travel_times(10.0, 40.0, phase_list=["P", "S", "PKiKP"])
    return sorted((a.name, a.time) for a in arrivals)


def test_a_profile_as_taup_nd_gives_the_tables_travel_times(tmp_path):
    pytest.importorskip("obspy")
    profile = orvik.site.profile(earth_tree(), 0.0, 0.0)
    same_table(profile, EARTH)  # the discontinuities, as two rows at one depth
    ours = tmp_path / "profile.nd"
    orvik.site.write_profile(profile, ours)
    same_table(read_nd(ours), profile)
    direct = tmp_path / "direct.nd"
    columns = np.column_stack([EARTH.depth / 1e3, EARTH.vp, EARTH.vs, EARTH.rho])
    np.savetxt(direct, columns, fmt="%.17g")
    (tmp_path / "ours").mkdir(), (tmp_path / "direct").mkdir()
    times = travel_times(ours, tmp_path / "ours")
    assert [name for name, _ in times] == ["P", "PKiKP", "S"]
    assert times == travel_times(direct, tmp_path / "direct")


def test_a_profile_ends_where_the_models_end_and_writes_csv(tmp_path):
    crust = LayeredTable(depth=EARTH.depth[:6], vp=EARTH.vp[:6], vs=EARTH.vs[:6], rho=EARTH.rho[:6])
    profile = orvik.site.profile(earth_tree(crust), 0.0, 0.0, step=700.0)
    same_table(profile, crust, depth_tol=1e-3)
    path = tmp_path / "p.csv"
    orvik.site.write_profile(profile, path)
    text = path.read_text().splitlines()
    assert text[0] == "depth_m,vp_km_s,vs_km_s,rho_g_cm3,qp,qs"
    back = np.loadtxt(path, delimiter=",", skiprows=1)
    np.testing.assert_array_equal(back[:, 0], profile.depth)
    np.testing.assert_array_equal(F32(back[:, 2]), F32(profile.vs))
    with pytest.raises(ValueError, match="no model answers at the surface"):
        orvik.site.profile(orvik.model_tree([]), 0.0, 0.0)


@pytest.fixture(scope="module")
def tree():
    return utm_tree()


@pytest.fixture(scope="module")
def site_map(tree, tmp_path_factory):
    folder = tmp_path_factory.mktemp("map")
    data = orvik.site.site_grid(tree, LON, LAT, crs=("EPSG:4326", MODEL_CRS))
    return data, orvik.site.write_site_grid(data, folder / "map.nc")


def direct(tree, name):
    gx, gy = np.meshgrid(LON, LAT)
    function = {"vs30": orvik.site.vs30, "z1pt0": orvik.site.z1p0, "z2pt5": orvik.site.z2p5}
    return function[name](tree, gx, gy, crs=("EPSG:4326", MODEL_CRS))


@pytest.mark.parametrize("name", ["vs30", "z1pt0", "z2pt5"])
def test_gmt_reads_the_site_map(tree, site_map, name):
    _, path = site_map
    info = run("gmt", "grdinfo", f"{path}?{name}", quiet=True)  # no guessing
    assert "Gridline node registration used [Geographic grid]" in info
    columns = run("gmt", "grdinfo", "-C", f"{path}?{name}").split("\t")
    west, east, south, north = map(float, columns[1:5])
    dx, dy, nx, ny = float(columns[7]), float(columns[8]), int(columns[9]), int(columns[10])
    assert (west, east, south, north, nx, ny) == (LON[0], LON[-1], LAT[0], LAT[-1], 7, 4)
    assert (dx, dy) == pytest.approx((0.1, 0.1), rel=1e-12)
    xyz = np.loadtxt(run("gmt", "grd2xyz", f"{path}?{name}").splitlines())
    values = direct(tree, name)
    # grd2xyz goes north to south, west to east
    np.testing.assert_allclose(xyz[:, 2], values[::-1].ravel(), rtol=1e-7)


def test_gdal_reads_the_site_maps_crs_and_geotransform(site_map):
    _, path = site_map
    info = json.loads(run("gdalinfo", "-json", f'NETCDF:"{path}":vs30'))
    assert info["coordinateSystem"]["wkt"].startswith('GEOGCRS["WGS 84"')
    transform = np.array(info["geoTransform"])
    np.testing.assert_allclose(transform[[0, 1, 5]], [LON[0] - 0.05, 0.1, -0.1], rtol=1e-9)


def test_a_geotiff_holds_one_band_per_product(tree, site_map, tmp_path):
    rasterio = pytest.importorskip("rasterio")
    data, _ = site_map
    path = orvik.site.write_site_grid(data, tmp_path / "map.tif")
    with rasterio.open(path) as tif:
        assert tif.count == 3 and tif.descriptions == ("vs30", "z1pt0", "z2pt5")
        assert tif.crs.to_epsg() == 4326
        np.testing.assert_allclose(tif.transform[2], LON[0] - 0.05, rtol=1e-12)
        for band, name in enumerate(("vs30", "z1pt0", "z2pt5"), start=1):
            np.testing.assert_array_equal(tif.read(band)[::-1], direct(tree, name))


def orvik_command(*args):
    done = subprocess.run(
        [sys.executable, "-m", "orvik.cli", *map(str, args)], capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_the_commands_write_profiles_maps_and_emc_volumes(tree, tmp_path):
    saved = orvik.save(tree, tmp_path / "m.orvik", metadata={"crs": MODEL_CRS})
    profile = tmp_path / "p.nd"
    orvik_command("profile", saved, -123.5, 49.0, "--out", profile, "--max-depth", 6000)
    expected = orvik.site.profile(tree, -123.5, 49.0, crs=("EPSG:4326", MODEL_CRS), max_depth=6000)
    same_table(read_nd(profile), expected)
    assert np.sum(np.diff(expected.depth) == 0) == 1  # the jump at 500 m
    for args in ((), ("--grid", "-123.8:-123.2:7", "48.9:49.2:4")):  # no sites; no --out
        done = subprocess.run(
            [sys.executable, "-m", "orvik.cli", "site", str(saved), *args],
            capture_output=True,
            text=True,
        )
        assert done.returncode == 1 and "orvik site: " in done.stderr and not done.stdout
    maps = tmp_path / "map.nc"
    orvik_command("site", saved, "--grid", "-123.8:-123.2:7", "48.9:49.2:4", "--out", maps)
    with xr.open_dataset(maps) as data:
        np.testing.assert_array_equal(data["vs30"].values, direct(tree, "vs30"))
    emc = tmp_path / "emc.nc"
    orvik_command(
        "extract", saved, emc, "--lon", "-123.7:-123.3:5", "--lat", "48.9:49.1:3",
        "--depth", "0:2000:3", "--layout", "emc", "--attribute", "creator_name=A. Seismologist",
        "--no-progress",
    )  # fmt: skip
    with xr.open_dataset(emc) as data:
        assert data["vs"].dims == ("depth", "latitude", "longitude")
        assert data.attrs["creator_name"] == "A. Seismologist"
        np.testing.assert_array_equal(data["depth"].values, [0.0, 1.0, 2.0])
