"""Site products against analytic profiles: Vs30 within the documented bound
(exact where breakpoints lie on samples), first crossings, NaN rules, units,
vectorisation and Dask."""

import io
import math

import numpy as np
import pytest

import orvik
from orvik import _site_blocks, _site_profiles, site
from profiles import EXTENT, Profile, column_model, surface_plane

RESOLUTION = 1e-3
# float32 answers: a few units in the last place of each Vs.
ROUNDING = 2e-6

# (levels, Vs in km/s) of depth-queried columns; a level given twice is a jump.
COLUMNS = {
    "jumps off the samples": (
        [-1, 3.7, 3.7, 12.25, 12.25, 21.9, 21.9, 500],
        [0.18, 0.18, 0.35, 0.35, 0.76, 0.76, 1.5, 1.5],
    ),
    "kinks off the samples": (
        [-1, 0, 7.3, 18.1, 30, 60, 500],
        [0.1, 0.1, 0.3, 0.25, 0.9, 1.2, 3.0],
    ),
    "gradients and jumps": (
        [-1, 5.5, 5.5, 13.37, 13.37, 29.6, 29.6, 500],
        [0.12, 0.2, 0.4, 0.55, 0.5, 0.8, 1.1, 2.9],
    ),
    "jumps on the samples": ([-1, 4, 4, 17, 17, 500], [0.2, 0.2, 0.45, 0.45, 1.3, 1.3]),
}
# Breakpoints only at whole metres, each a kink (or none): integrated exactly.
EXACT = {
    "one gradient": ([-1, 0, 30, 500], [0.1, 0.1, 1.0, 3.0]),
    "kinks on the samples": ([-1, 0, 4, 9, 30, 500], [0.15, 0.15, 0.6, 0.2, 0.9, 2.6]),
}
SITES = (np.array([10.0, 50.0, 97.5, 3.0]), np.array([10.0, 50.0, 1.0, 88.0]))


def tree_of(levels, speeds, **kw):
    return orvik.model_tree([column_model(levels, speeds, **kw)])


def bound(profile, d0=0.0, d1=30.0, resolution=RESOLUTION):
    """The documented bound on the travel time's error."""
    vmin, vmax = profile.vs_range(d0, d1)
    return len(profile.breakpoints(d0, d1)) * resolution * (1 / vmin - 1 / vmax)


@pytest.mark.parametrize("name", COLUMNS)
def test_vs30_is_within_the_documented_bound(name):
    levels, speeds = COLUMNS[name]
    profile = Profile.of_model(levels, speeds)
    got = site.vs30(tree_of(levels, speeds), *SITES)
    exact_time = profile.time(0.0, 30.0)
    got_time = 30.0 / got
    assert profile.breakpoints(0, 30)
    assert np.all(np.abs(got_time - exact_time) <= bound(profile) + ROUNDING * exact_time)


@pytest.mark.parametrize("name", EXACT)
def test_vs30_of_kinks_on_the_samples_is_exact(name):
    levels, speeds = EXACT[name]
    profile = Profile.of_model(levels, speeds)
    got = site.vs30(tree_of(levels, speeds), *SITES)
    np.testing.assert_allclose(got, profile.vs30(), rtol=ROUNDING)


def test_vs30_of_a_gradient_is_the_log_mean_not_a_sample_average():
    levels, speeds = EXACT["one gradient"]
    got = site.vs30(tree_of(levels, speeds), 50.0, 50.0)
    # 100 to 1000 m/s linearly over 30 m: Vs30 = 900 / ln(10).
    assert got == pytest.approx(900.0 / math.log(10.0), rel=ROUNDING)
    # ... which the harmonic mean of the 1 m samples misses by far more.
    samples = 100.0 + 30.0 * np.arange(31)
    assert abs(31.0 / np.sum(1.0 / samples) - got) > 1000 * ROUNDING * got


@pytest.mark.parametrize("resolution", [0.25, 0.02])
def test_a_coarse_resolution_keeps_its_bound(resolution):
    levels, speeds = COLUMNS["jumps off the samples"]
    profile = Profile.of_model(levels, speeds)
    got = site.vs30(tree_of(levels, speeds), 50.0, 50.0, resolution=resolution)
    error = abs(30.0 / got - profile.time(0, 30))
    assert error <= bound(profile, resolution=resolution) + ROUNDING * profile.time(0, 30)


@pytest.mark.parametrize("step", [0.5, 2.0, 7.5])
def test_vs30_steps_that_divide_30_m(step):
    levels, speeds = COLUMNS["gradients and jumps"]
    profile = Profile.of_model(levels, speeds)
    got = float(site.vs30(tree_of(levels, speeds), 20.0, 70.0, step=step))
    assert abs(30.0 / got - profile.time(0, 30)) <= bound(profile) + ROUNDING * profile.time(0, 30)


def test_elevation_models_are_read_below_a_sloping_surface():
    # Layer boundaries at fixed elevations; the surface tilts, so each site
    # sees its own profile.
    levels, speeds = [-600, -20, -20, 30, 30, 80], [1.6, 1.6, 0.5, 0.2, 0.3, 0.15]
    tree = tree_of(levels, speeds, vertical="elevation")
    surface = surface_plane(top=10.0, slope=(0.4, -0.1))
    x, y = SITES
    got = site.vs30(tree, x, y, surface=surface)
    z1 = site.z1p0(tree, x, y, surface=surface)
    for k in range(len(x)):
        top = 10.0 + 0.4 * x[k] - 0.1 * y[k]
        profile = Profile.of_model(levels, speeds, vertical="elevation", top=top)
        t = profile.time(0, 30)
        assert abs(30.0 / got[k] - t) <= bound(profile) + 1e-5 * t
        assert z1[k] == pytest.approx(profile.crossing(1000.0), abs=RESOLUTION + 1e-4)


@pytest.mark.parametrize("name", [*COLUMNS, *EXACT])
@pytest.mark.parametrize("target", [150.0, 300.0, 500.0, 1000.0, 2500.0])
def test_first_crossing_matches_the_profile(name, target):
    levels, speeds = {**COLUMNS, **EXACT}[name]
    profile = Profile.of_model(levels, speeds)
    expected = profile.sampled_crossing(target, 10.0)
    got = site.z_isosurface(tree_of(levels, speeds), *SITES, target)
    if math.isnan(expected):
        assert np.isnan(got).all()
        return
    # Exact on a linear piece; within the resolution when a breakpoint is
    # in the last bracket (a jump to above the target, say).
    on_breakpoint = any(abs(b - expected) <= 10.0 for b in profile.breakpoints(0, 500))
    tolerance = RESOLUTION if on_breakpoint else 1e-4
    np.testing.assert_allclose(got, expected, atol=tolerance)


def test_an_excursion_between_samples_is_seen_with_a_finer_step():
    levels, speeds = EXACT["kinks on the samples"]  # 600 m/s at 4 m, 200 at 9 m
    tree = tree_of(levels, speeds)
    profile = Profile.of_model(levels, speeds)
    assert profile.sampled_crossing(500.0, 10.0) > 10.0 > profile.crossing(500.0)
    got = float(site.z_isosurface(tree, 50.0, 50.0, 500.0, step=2.0))
    assert got == pytest.approx(profile.crossing(500.0), abs=1e-4)


def test_shorthands_and_surface_rules():
    levels, speeds = [-1, 0, 100, 100, 900], [0.3, 0.3, 0.9, 2.0, 2.7]
    tree = tree_of(levels, speeds)
    profile = Profile.of_model(levels, speeds)
    assert float(site.z1p0(tree, 5.0, 5.0)) == pytest.approx(100.0, abs=RESOLUTION)
    assert float(site.z2p5(tree, 5.0, 5.0)) == pytest.approx(profile.crossing(2500.0), abs=1e-4)
    # Fast from the surface: 0. Never fast enough: NaN. Deeper than the search: NaN.
    assert float(site.z_isosurface(tree, 5.0, 5.0, 300.0)) == 0.0
    assert np.isnan(site.z_isosurface(tree, 5.0, 5.0, 3000.0))
    assert np.isnan(site.z2p5(tree, 5.0, 5.0, max_depth=500.0))


def test_nan_where_no_model_answers():
    levels, speeds = COLUMNS["kinks off the samples"]
    tree = tree_of(levels, speeds)
    x = np.array([50.0, -5.0, 50.0])
    y = np.array([50.0, 50.0, EXTENT + 1])
    v, z = site.vs30(tree, x, y), site.z1p0(tree, x, y)
    assert np.isfinite(v[0]) and np.isfinite(z[0])
    assert np.isnan(v[1:]).all() and np.isnan(z[1:]).all()


def test_a_gap_spoils_vs30_and_hides_crossings_below_it():
    upper = column_model([-1, 10.0], [0.4, 0.6], priority=0)
    lower = column_model([12.0, 500.0], [1.2, 3.0], priority=1)
    tree = orvik.model_tree([upper, lower])
    assert np.isnan(site.vs30(tree, 50.0, 50.0))
    assert float(site.z_isosurface(tree, 50.0, 50.0, 500.0)) == pytest.approx(
        Profile([-1, 10], [400, 600]).crossing(500.0), abs=1e-4
    )
    assert np.isnan(site.z1p0(tree, 50.0, 50.0))  # reached only below the gap
    # Without the gap, the same lower model gives a crossing.
    full = orvik.model_tree(
        [column_model([-1, 10.0], [0.4, 0.6]), column_model([10.0, 500.0], [1.2, 3.0], priority=1)]
    )
    assert float(site.z1p0(full, 50.0, 50.0)) == pytest.approx(10.0, abs=RESOLUTION)


def test_a_fluid_layer_makes_vs30_nan_but_is_slow_for_crossings():
    tree = tree_of([-1, 2.0, 2.0, 500], [0.0, 0.0, 1.5, 1.5])
    assert np.isnan(site.vs30(tree, 50.0, 50.0))
    assert float(site.z1p0(tree, 50.0, 50.0)) == pytest.approx(2.0, abs=RESOLUTION)


def test_a_sea_that_ends_at_the_surface_is_passed_over():
    # Water (Vs 0) above the surface, rock below: the sample at depth 0 meets
    # both, and the water in front.
    water = column_model([-40, 0.0], [0.0, 0.0], priority=0)
    levels, speeds = [0.0, 12.0, 500.0], [0.6, 1.4, 3.0]
    tree = orvik.model_tree([water, column_model(levels, speeds, priority=1)])
    profile = Profile.of_model(levels, speeds)
    assert tree.query(50.0, 50.0, 0.0, 0.0, 0, 255)["vs"] == 0.0
    got = float(site.vs30(tree, 50.0, 50.0))
    t = profile.time(0, 30)
    assert abs(30.0 / got - t) <= RESOLUTION / 600.0 + bound(profile) + ROUNDING * t
    assert float(site.z1p0(tree, 50.0, 50.0)) == pytest.approx(profile.crossing(1000.0), abs=1e-4)
    assert 0.0 < float(site.z_isosurface(tree, 50.0, 50.0, 500.0)) <= RESOLUTION


def test_speed_unit_and_priority():
    levels, speeds = COLUMNS["gradients and jumps"]
    in_km = tree_of(levels, speeds)
    in_m = tree_of(levels, [1000.0 * s for s in speeds])
    a = site.vs30(in_km, *SITES)
    b = site.vs30(in_m, *SITES, speed_unit="m/s")
    np.testing.assert_allclose(a, b, rtol=ROUNDING)
    assert np.isnan(site.vs30(in_km, *SITES, priority=(1, 255))).all()
    with pytest.raises(ValueError, match='speed_unit must be "km/s" or "m/s"'):
        site.vs30(in_km, *SITES, speed_unit="ft/s")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda t: site.vs30(t, 1.0, 1.0, step=0.7),
            "step must divide 30 m into whole steps; got 0.7",
        ),
        (lambda t: site.vs30(t, 1.0, 1.0, step=-1.0), "step must be a positive number of metres"),
        (lambda t: site.vs30(t, 1.0, 1.0, resolution=0.0), "resolution must be a positive"),
        (lambda t: site.z1p0(t, 1.0, 1.0, step=3.0), "step must divide max_depth into whole steps"),
        (lambda t: site.z1p0(t, 1.0, 1.0, max_depth=math.inf), "max_depth must be a positive"),
        (lambda t: site.z_isosurface(t, 1.0, 1.0, -5.0), "vs_target must be a positive speed"),
        (lambda t: site.vs30(t, 1.0, 1.0, priority=(0, 256)), "number too large"),
    ],
)
def test_bad_arguments(call, message):
    tree = tree_of(*EXACT["one gradient"])
    with pytest.raises((ValueError, OverflowError), match=message):
        call(tree)


def test_type_errors_name_the_argument():
    tree = tree_of(*EXACT["one gradient"])
    with pytest.raises(TypeError, match="tree must be an orvik.PyModelTree"):
        site.vs30("tree", 1.0, 1.0)
    with pytest.raises(TypeError, match="surface must be an orvik.StructuredGrid"):
        site.vs30(tree, 1.0, 1.0, surface=np.zeros((2, 2)))


def test_sites_broadcast_and_each_is_computed_on_its_own(monkeypatch):
    levels, speeds = COLUMNS["gradients and jumps"]
    tree = tree_of(levels, speeds)
    x = np.linspace(1.0, 99.0, 7)[:, None]
    y = np.linspace(1.0, 99.0, 5)[None, :]
    # Small query chunks and blocks exercise the chunking paths.
    monkeypatch.setattr(_site_profiles, "QUERY_POINTS", 97)
    monkeypatch.setattr(_site_blocks, "BLOCK_SITES", 4)
    v = site.vs30(tree, x, y)
    z = site.z1p0(tree, x, y, step=5.0)
    assert v.shape == z.shape == (7, 5)
    for i in range(7):
        for j in range(5):
            assert v[i, j] == site.vs30(tree, x[i, 0], y[0, j])
            assert z[i, j] == site.z1p0(tree, x[i, 0], y[0, j], step=5.0)


def test_dask_inputs_give_a_lazy_result_equal_to_the_eager_one():
    da = pytest.importorskip("dask.array")
    levels, speeds = COLUMNS["jumps off the samples"]
    tree = tree_of(levels, speeds)
    rng = np.random.default_rng(4)
    x, y = rng.uniform(0, EXTENT, 1000), rng.uniform(0, EXTENT, 1000)
    lazy = site.z1p0(tree, da.from_array(x, chunks=300), da.from_array(y, chunks=300))
    assert isinstance(lazy, da.Array) and lazy.chunks == ((300, 300, 300, 100),)
    np.testing.assert_array_equal(lazy.compute(), site.z1p0(tree, x, y))
    lazy = site.vs30(tree, da.from_array(x, chunks=250), y)
    np.testing.assert_array_equal(lazy.compute(), site.vs30(tree, x, y))


def test_geographic_sites_through_a_crs():
    pytest.importorskip("pyproj")
    levels, speeds = COLUMNS["kinks off the samples"]
    tree = tree_of(levels, speeds)
    local = "+proj=tmerc +lat_0=0 +lon_0=0 +k=1 +x_0=50 +y_0=50 +ellps=WGS84 +units=m"
    lon, lat = np.array([0.0, 0.0002]), np.array([0.0, -0.0001])
    got = site.vs30(tree, lon, lat, crs=("EPSG:4326", local))
    import pyproj

    x, y = pyproj.Transformer.from_crs("EPSG:4326", local, always_xy=True).transform(lon, lat)
    np.testing.assert_array_equal(got, site.vs30(tree, x, y))


def test_site_model_table_and_its_csv_file():
    pd = pytest.importorskip("pandas")
    levels, speeds = [-1, 0, 100, 100, 1400, 5000], [0.3, 0.3, 0.9, 2.0, 2.7, 3.4]
    tree = tree_of(levels, speeds)
    profile = Profile.of_model(levels, speeds)
    stations = pd.DataFrame(
        {"name": ["a", "b", "c"], "lon": [10.0, 55.5, -3.0], "lat": [20.0, 60.0, 5.0]}
    )
    table = site.site_model(tree, stations, nan_policy="keep")
    assert list(table.columns) == ["lon", "lat", "vs30", "z1pt0", "z2pt5"]
    np.testing.assert_allclose(table["vs30"][:2], profile.vs30(), rtol=ROUNDING)
    np.testing.assert_allclose(table["z1pt0"][:2], 100.0, atol=RESOLUTION)
    np.testing.assert_allclose(table["z2pt5"][:2], profile.crossing(2500.0), atol=1e-4)
    assert table.iloc[2][["vs30", "z1pt0", "z2pt5"]].isna().all()
    # The same from an (N, 2) array and from a mapping of columns.
    same = site.site_model(tree, stations[["lon", "lat"]].to_numpy(), nan_policy="keep")
    pd.testing.assert_frame_equal(same, table)

    buffer = io.BytesIO()
    site.write_site_model(table, buffer)
    lines = buffer.getvalue().decode().splitlines()
    assert lines[0] == "lon,lat,vs30,z1pt0,z2pt5"
    assert lines[1].startswith("10,20,") and lines[3].endswith(",nan,nan,nan")
    back = pd.read_csv(io.BytesIO(buffer.getvalue()))
    np.testing.assert_allclose(back["z2pt5"][:2], table["z2pt5"][:2] / 1000.0, rtol=1e-6)
    np.testing.assert_allclose(back["vs30"][:2], table["vs30"][:2], rtol=1e-6)
    buffer = io.BytesIO()
    site.write_site_model(table, buffer, z2pt5_unit="m")
    back = pd.read_csv(io.BytesIO(buffer.getvalue()))
    np.testing.assert_allclose(back["z2pt5"][:2], table["z2pt5"][:2], rtol=1e-6)
    with pytest.raises(ValueError, match="stations must have columns 'lon' and 'lat'"):
        site.site_model(tree, {"x": [1.0]})
