"""The orvik command, end to end through subprocesses: info, query and site
on a saved model, their options, and their errors."""

import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import orvik
from orvik import site
from profiles import column_model, surface_plane

pyproj = pytest.importorskip("pyproj")

# A transverse Mercator frame whose origin (0 E, 0 N) lies in the middle of
# the test models ([0, 100] m in x and y).
LOCAL = "+proj=tmerc +lat_0=0 +lon_0=0 +k=1 +x_0=50 +y_0=50 +ellps=WGS84 +units=m +no_defs"
LEVELS, SPEEDS = [-50, 0, 12.5, 12.5, 40, 40, 3000], [0.2, 0.2, 0.5, 0.8, 0.9, 1.9, 3.1]


def orvik_command(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "orvik.cli", *map(str, args)],
        input=stdin,
        capture_output=True,
    )


def column_tree(vertical="depth"):
    return orvik.model_tree([column_model(LEVELS, SPEEDS, vertical=vertical, name="column")])


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "column.orvik"
    orvik.save(
        column_tree(),
        path,
        metadata={"crs": LOCAL, "description": "a test column", "source": "profiles.py"},
        surface=surface_plane(top=5.0, slope=(0.05, 0.0)),
    )
    return path


def lonlat(x, y):
    return pyproj.Transformer.from_crs(LOCAL, "EPSG:4326", always_xy=True).transform(x, y)


def rows(text):
    """Result lines as float32 rows (parsed in float64, which rounds to the
    same float32 as reading the shortest digits directly)."""
    return np.array(text.split(), np.float64).reshape(-1, 6).astype(np.float32)


def expected_rows(x, y, z, depth):
    out = np.full((len(x), 6), np.nan, np.float32)
    coords = orvik.QueryCoordinates(*(np.asarray(a, np.float32) for a in (x, y, z, depth)))
    column_tree().query_many(out, coords, orvik.QueryParams(0, 255))
    return out


def test_the_console_script_is_installed():
    script = shutil.which("orvik", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("running from a build tree without the installed script")
    proc = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert proc.returncode == 0 and "info" in proc.stdout and "site" in proc.stdout


@pytest.mark.parametrize(
    "command, words",
    [
        ([], ["info", "query", "site", "extract"]),
        (["info"], ["MODEL", "--json"]),
        (["query"], ["--crs", "--depth", "--elevation", "--csv", "--priority", "line number"]),
        (["site"], ["STATIONS.csv", "--out", "--z2pt5-unit", "OpenQuake", "--max-depth"]),
        (
            ["extract"],
            ["OUT", "--lon", "--lat", "--depth", "--elevation", "--crs", "--qualities"]
            + ["--chunks", "--format", "--restart", "--no-progress", "--priority", "A:B:N"],
        ),
    ],
)
def test_help_documents_every_option(command, words):
    proc = orvik_command(*command, "--help")
    assert proc.returncode == 0
    text = proc.stdout.decode()
    for word in words:
        assert word in text, word


def test_info_prints_the_models_crs_and_metadata(model):
    proc = orvik_command("info", model)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout.decode()
    assert text.startswith(f"{model}: orvik model file, format version 1")
    for line in [
        "description: a test column",
        f"CRS: {LOCAL}",
        "records: tree (model tree,",
        "surface (structured grid,",
        '  0: "column", tetrahedral mesh, priority 0, by depth, bounds [0, 0, -100000, 100, 100, 100000]',
        '  source: "profiles.py"',
    ]:
        assert line in text, line
    as_json = json.loads(orvik_command("info", model, "--json").stdout)
    assert as_json == json.loads(json.dumps(orvik.info(model)))


def test_query_geographic_points_by_depth(model):
    rng = np.random.default_rng(3)
    x, y = rng.uniform(1, 99, 500), rng.uniform(1, 99, 500)
    depth = rng.uniform(0, 80, 500).round(3)
    lon, lat = lonlat(x, y)
    text = "".join(
        f"{a!r} {b!r} {d!r}\n" for a, b, d in zip(*(map(float, c) for c in (lon, lat, depth)))
    )
    proc = orvik_command("query", model, stdin=text.encode())
    assert proc.returncode == 0, proc.stderr
    got = rows(proc.stdout)
    # The oracle: the same projection and surface, then query_many.
    mx, my = pyproj.Transformer.from_crs("EPSG:4326", LOCAL, always_xy=True).transform(lon, lat)
    top = 5.0 + 0.05 * np.asarray(mx)
    expected = expected_rows(mx, my, (top - depth).astype(np.float32), depth)
    np.testing.assert_array_equal(got, expected)
    assert np.isfinite(got).all()


def test_query_by_elevation_from_a_csv_file_in_model_coordinates(model, tmp_path):
    points = tmp_path / "points.csv"
    points.write_bytes(b"x,y,z\r\n10,20,-7.5\r\n\r\n# a comment\r\n60, 70, 4\r\n200,0,0\r\n")
    proc = orvik_command("query", model, "--crs", "model", "--elevation", "--csv", points)
    assert proc.returncode == 0, proc.stderr
    got = rows(proc.stdout)
    x, y, z = np.array([10, 60, 200.0]), np.array([20, 70, 0.0]), np.array([-7.5, 4, 0])
    top = 5.0 + 0.05 * np.clip(x, -10, 110)
    np.testing.assert_array_equal(got, expected_rows(x, y, z, (top - z).astype(np.float32)))
    assert np.isnan(got[2]).all()
    assert proc.stdout.decode().splitlines()[2] == "nan nan nan nan nan nan"


def test_priority_range_selects_models(model):
    proc = orvik_command(
        "query", model, "--crs", "model", "--priority", "1", "255", stdin=b"50 50 5\n"
    )
    assert proc.returncode == 0 and proc.stdout == b"nan nan nan nan nan nan\n"


@pytest.mark.parametrize(
    "text, message",
    [
        (b"0 0 1\n0 0\n", "standard input: line 2: expected 3 values, found 2"),
        (
            b"lon lat depth\n0 0 1\n0 north 1\n",
            "standard input: line 3, column 3: 'north' is not a number (value 2 of 3)",
        ),
        (b"0 0 1 9\n", "standard input: line 1, column 7: expected 3 values, found more"),
        (
            b"0 0 nan\n",
            "standard input: line 1, column 5: 'nan' is not a finite number (value 3 of 3)",
        ),
        (
            b"nan inf 1\n",  # not a line of column names
            "standard input: line 1, column 1: 'nan' is not a finite number (value 1 of 3)",
        ),
    ],
)
def test_a_bad_line_names_its_line_and_column(model, text, message):
    proc = orvik_command("query", model, stdin=text)
    assert proc.returncode == 1
    assert proc.stderr.decode() == f"orvik query: {message}\n"
    assert proc.stdout == b""


def test_a_bad_line_after_many_blocks_keeps_its_number(model, tmp_path):
    points = tmp_path / "many.txt"
    n = 2_000_000  # more than one block of input
    points.write_bytes(b"0 0 1\n" * n + b"0 0 x\n")
    proc = orvik_command("query", model, "--csv", points)
    assert proc.returncode == 1
    assert proc.stderr.decode() == (
        f"orvik query: {points}: line {n + 1}, column 5: 'x' is not a number (value 3 of 3)\n"
    )


def test_query_errors(model, tmp_path):
    plain = tmp_path / "plain.orvik"
    orvik.save(column_tree(), plain)
    proc = orvik_command("query", plain, stdin=b"0 0 0\n")
    assert proc.returncode == 1
    assert b"the model file names no CRS" in proc.stderr and b"--crs model" in proc.stderr
    assert orvik_command("query", plain, "--crs", "model", stdin=b"50 50 0\n").returncode == 0
    proc = orvik_command("query", model, "--crs", "EPSG:999999", stdin=b"0 0 0\n")
    assert proc.returncode == 1 and proc.stderr.startswith(b"orvik query: cannot map EPSG:999999")
    junk = tmp_path / "junk.orvik"
    junk.write_bytes(b"not a model at all")
    proc = orvik_command("query", junk, stdin=b"")
    assert proc.returncode == 1
    assert proc.stderr.decode() == (
        f"orvik query: {junk}: invalid orvik model file: the magic tag is missing (not an "
        "orvik model file)\n"
    )
    proc = orvik_command("query", tmp_path / "missing.orvik", stdin=b"")
    assert proc.returncode == 1 and b"No such file or directory" in proc.stderr
    assert orvik_command("query", model, "--depth", "--elevation").returncode == 2
    assert orvik_command("nonsense").returncode == 2


def test_a_closed_pipe_is_not_an_error(model):
    proc = subprocess.run(
        f"yes '0 0 1' | head -n 200000 | {sys.executable} -m orvik.cli query {model} | head -n 1",
        shell=True,
        capture_output=True,
    )
    assert proc.stdout.count(b"\n") == 1 and proc.stderr == b""


def test_site_writes_the_site_model(model, tmp_path):
    x, y = np.array([10.0, 50.0, 90.0]), np.array([10.0, 80.0, 40.0])
    lon, lat = lonlat(x, y)
    stations = tmp_path / "stations.csv"
    stations.write_text(
        "station,latitude,longitude\n"
        + "".join(f"s{k},{float(b)!r},{float(a)!r}\n" for k, (a, b) in enumerate(zip(lon, lat)))
    )
    out = tmp_path / "site_model.csv"
    proc = orvik_command("site", model, stations, "--out", out)
    assert proc.returncode == 0, proc.stderr
    lines = out.read_text().splitlines()
    assert lines[0] == "lon,lat,vs30,z1pt0,z2pt5" and len(lines) == 4
    values = np.array([[float(v) for v in line.split(",")] for line in lines[1:]])
    np.testing.assert_array_equal(values[:, 0], lon)
    np.testing.assert_array_equal(values[:, 1], lat)
    # The same as orvik.site below the saved surface, z2pt5 in kilometres.
    transformer = pyproj.Transformer.from_crs("EPSG:4326", LOCAL, always_xy=True)
    table = site.site_model(
        column_tree(),
        {"lon": lon, "lat": lat},
        surface=surface_plane(5.0, (0.05, 0.0)),
        crs=transformer,
    )
    expected = np.column_stack([table["vs30"], table["z1pt0"], table["z2pt5"] / 1000.0])
    np.testing.assert_allclose(values[:, 2:], expected, rtol=1e-6)
    # Standard output and metres on request.
    proc = orvik_command("site", model, stations, "--z2pt5-unit", "m")
    metres = np.array(
        [[float(v) for v in line.split(",")] for line in proc.stdout.decode().splitlines()[1:]]
    )
    np.testing.assert_allclose(metres[:, 4], table["z2pt5"], rtol=1e-6)


def test_site_reads_headerless_stations_and_reports_bad_ones(model, tmp_path):
    stations = tmp_path / "s.csv"
    stations.write_text("0.0,0.0\n0.0001,0.0002\n")
    proc = orvik_command("site", model, stations)
    assert proc.returncode == 0 and len(proc.stdout.decode().splitlines()) == 3
    stations.write_text("0.0,0.0\n5.0,0.0\n")  # the second lies outside the model
    proc = orvik_command("site", model, stations, "--nan-policy", "keep")
    assert proc.returncode == 0
    assert proc.stdout.decode().splitlines()[2].endswith(",nan,nan,nan")
    assert proc.stderr.decode() == (
        "orvik site: 1 of 2 stations have no Vs30 (nan): no model, or a fluid, in their top 30 m\n"
    )
    for text, message in [
        ("lon,lat\n0,0\n1,x\n", "line 3, column 2: 'x' is not a number"),
        ("lon,height\n0,0\n", "line 1: no column named lat or latitude"),
        ("0\n", "line 1: expected a value in column 2, found 1 columns"),
        ("", "no stations"),
    ]:
        stations.write_text(text)
        proc = orvik_command("site", model, stations)
        assert proc.returncode == 1
        assert proc.stderr.decode() == f"orvik site: {stations}: {message}\n"


@pytest.mark.parametrize("out", ["volume.zarr", "volume.nc"])
def test_extract_writes_the_volume_that_sample_gives(model, tmp_path, out):
    # Western longitudes: axes that start with a minus sign are values.
    lon, lat = (list(map(float, a)) for a in lonlat([10.0, 90.0], [20.0, 80.0]))
    xarray = pytest.importorskip("xarray")
    axes = [f"{lon[0]!r}:{lon[1]!r}:5", f"{lat[0]!r},{(lat[0] + lat[1]) / 2!r},{lat[1]!r}"]
    proc = orvik_command(
        "extract", model, "--lon", axes[0], "--lat", axes[1], "--depth", "0:60:7",
        "--qualities", "vs,rho", "--chunks", "depth=3", "--no-progress", tmp_path / out,
    )  # fmt: skip
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode() == f"{tmp_path / out}: 5 x 3 x 7 points\n"
    opened = xarray.open_dataset(tmp_path / out, engine="zarr" if out.endswith("zarr") else None)
    # The oracle: sample on the same axes, through pyproj and the surface.
    grid = {
        "longitude": np.linspace(lon[0], lon[1], 5),
        "latitude": np.array([lat[0], (lat[0] + lat[1]) / 2, lat[1]]),
    }
    expected = orvik.sample(
        orvik.load(model),
        xarray.DataArray(grid["longitude"], dims="longitude"),
        xarray.DataArray(grid["latitude"], dims="latitude"),
        depth=xarray.DataArray(np.linspace(0, 60, 7), dims="depth"),
        surface=orvik.load(model, "surface"),
        crs=("EPSG:4326", LOCAL),
    ).transpose("depth", "latitude", "longitude", "quality")
    assert sorted(opened.data_vars) == ["rho", "vs"]
    for name in ("vs", "rho"):
        np.testing.assert_array_equal(opened[name].values, expected.sel(quality=name).values)
    assert np.isfinite(opened["vs"].values).all()


@pytest.mark.parametrize(
    "args, message",
    [
        (["--lon", "1:2"], "argument --lon/--x: '1:2' is neither A:B:N nor a comma-separated"),
        (["--lat", "1:2:0"], "argument --lat/--y: '1:2:0': N must be at least 1"),
        (["--depth", "0,nan"], "argument --depth: '0,nan': the values must be finite"),
        (["--chunks", "depth"], "argument --chunks: 'depth' is not DIM=LEN"),
        (["--qualities", "vs,foo"], "qualities must be distinct names from"),
        (["--chunks", "q=2"], "chunks names dimensions that the coordinates do not have"),
    ],
)
def test_extract_names_the_bad_argument(model, tmp_path, args, message):
    options = {"--lon": "0:0.0001:2", "--lat": "0:0.0001:2", "--depth": "0:10:2"}
    options.update(zip(args[::2], args[1::2]))
    flat = [a for pair in options.items() for a in pair]
    proc = orvik_command("extract", model, tmp_path / "v.zarr", *flat)
    # Usage errors (2) are found before the model is opened; others (1) by extract.
    assert proc.returncode == (2 if "argument" in message else 1)
    assert message in proc.stderr.decode(), proc.stderr
