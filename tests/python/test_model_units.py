"""Units and values that cannot be misread by the model constructors: unit
texts as CF and UDUNITS write them (against the definitions of the units),
implausible values refused with the unit they look like, unknown units keys,
alpha, vertical axes that look like kilometres, a Dataset's positive
attribute, and the order and direction of columns' tiles (against the same
model given in the documented order)."""

import re

import numpy as np
import pytest

import orvik
from orvik import models

AK135 = "examples/data/ak135_upper.tvel"


def box(**kw):
    """A 2 x 2 x 2 grid of constant values, 30 km wide and 10 km deep."""
    axes = {"x": [0.0, 30e3], "y": [0.0, 30e3], "depth": [0.0, 10e3]}
    values = {k: np.full((2, 2, 2), v) for k, v in (("rho", 2.7), ("vp", 6.0), ("vs", 3.5))}
    return models.grid(**{**axes, **values, "priority": 0, **kw})


def at_centre(model):
    return model.query(15e3, 15e3, 5e3)


# One definition per unit: its value in the tree's unit (km/s, g/cm^3, m).
SPELLINGS = [
    ("vs", "m/s", 3500.0, 3.5),
    ("vs", "m s-1", 3500.0, 3.5),
    ("vs", "m.s-1", 3500.0, 3.5),
    ("vs", "m s^-1", 3500.0, 3.5),
    ("vs", "metres per second", 3500.0, 3.5),
    ("vs", "km s-1", 3.5, 3.5),
    ("vs", "kilometers per second", 3.5, 3.5),
    ("rho", "kg m-3", 2700.0, 2.7),
    ("rho", "kg.m-3", 2700.0, 2.7),
    ("rho", "kg/m**3", 2700.0, 2.7),
    ("rho", "kilograms per cubic meter", 2700.0, 2.7),
    ("rho", "g cm-3", 2.7, 2.7),
    ("rho", "g/cc", 2.7, 2.7),
    ("depth", "km", 10.0, 10e3),
    ("depth", "kilometres", 10.0, 10e3),
]


@pytest.mark.parametrize("key, units, value, tree_value", SPELLINGS)
def test_cf_and_udunits_spellings_convert_by_the_units_definition(key, units, value, tree_value):
    if key == "depth":
        model = box(depth=[0.0, value], units={"depth": units})
        assert model.query(15e3, 15e3, tree_value) is not None
        assert model.query(15e3, 15e3, tree_value * 1.001) is None
    else:
        model = box(**{key: np.full((2, 2, 2), value)}, units={key: units})
        assert at_centre(model)[key] == np.float32(tree_value)


IMPLAUSIBLE = [
    # Values in a unit other than the one assumed: the message names it.
    (
        dict(vs=np.linspace(100.0, 2000.0, 8).reshape(2, 2, 2)),
        "vs up to 2000: looks like m/s; pass units={'vs': 'm/s'}",
    ),
    (dict(rho=np.full((2, 2, 2), 2700.0)), re.escape("rho up to 2700: looks like kg/m^3")),
    (
        dict(rho=np.full((2, 2, 2), 2.7), units={"rho": "kg/m^3"}),
        re.escape("rho down to 2.7: looks like g/cm^3; pass units={'rho': 'g/cm^3'}"),
    ),
    # Values that no unit makes plausible.
    (
        dict(vs=np.full((2, 2, 2), -1.0)),
        r"vs down to -1: not a plausible S-wave speed \(0 to 15 km/s\)",
    ),
    (
        dict(qs=np.zeros((2, 2, 2))),
        r"qs down to 0: not a plausible S-wave quality factor \(above 0\)",
    ),
    (dict(alpha=np.full((2, 2, 2), 5.0)), re.escape("alpha must lie in [0, 1]") + ".* up to 5"),
    (dict(units={"Vs": "m/s"}), "units: 'Vs' names no quality or axis .*did you mean 'vs'"),
    (dict(units={"speed": "m/s"}), "units: 'speed' names no quality or axis"),
    # Depths of a few hundred under a grid 30 km wide: kilometres, most likely.
    (
        dict(depth=[0.0, 40.0]),
        r"depth: nodes within \+-40, read as metres, under a model 30 km wide: looks like km; "
        r"pass units=\{'depth': 'km'\}",
    ),
]


@pytest.mark.parametrize("kw, message", IMPLAUSIBLE)
def test_grid_refuses_values_implausible_in_their_unit(kw, message):
    with pytest.raises(ValueError, match=message):
        box(**kw)


def test_a_qs_of_0_is_taken_in_a_fluid_only():
    table = {"depth": [0, 10, 10, 20], "vp": [1.5, 1.5, 6, 6], "vs": [0, 0, 3.5, 3.5]}
    q = {"rho": [1.0, 1, 2.7, 2.7], "qp": [1e4, 1e4, 600, 600]}
    fluid = models.layered({**table, **q, "qs": [0, 0, 300, 300]}, priority=0)
    assert fluid.query(0, 0, 5)["vs"] == 0 and fluid.query(0, 0, 15)["qs"] == 300
    with pytest.raises(ValueError, match="qs down to 0: not a plausible S-wave quality factor"):
        models.layered({**table, **q, "qs": [0, 0, 0, 300]}, priority=0)


def test_units_stated_settle_a_suspect_axis_and_plausible_values_pass():
    metres = box(depth=[0.0, 40.0], units={"depth": "m"})
    assert metres.query(15e3, 15e3, 39.0) is not None and metres.query(15e3, 15e3, 41.0) is None
    q = at_centre(box(vs=np.full((2, 2, 2), 2000.0), units={"vs": "m/s"}))
    assert q["vs"] == np.float32(2.0)


def test_a_dataset_variable_without_units_is_refused_when_it_looks_like_m_s():
    xr = pytest.importorskip("xarray")
    coords = {"x": [0.0, 30e3], "y": [0.0, 30e3], "depth": ("depth", [0.0, 10.0], {"units": "km"})}
    data = xr.Dataset(
        {
            k: (("x", "y", "depth"), np.full((2, 2, 2), v))
            for k, v in (("rho", 2.7), ("vp", 6000.0), ("vs", 3.5))
        },
        coords=coords,
    )
    with pytest.raises(
        ValueError, match=re.escape("vp up to 6000: looks like m/s; pass units={'vp': 'm/s'}")
    ):
        models.grid(data, priority=0)
    assert at_centre(models.grid(data, priority=0, units={"vp": "m/s"}))["vp"] == np.float32(6.0)


@pytest.mark.parametrize(
    "make",
    [
        lambda: box(alpha=np.full((2, 2, 2), 1.5)),
        lambda: models.layered(AK135, priority=0, alpha=5.0),
        lambda: models.layered(AK135, priority=0, alpha=-0.1),
        lambda: models.layered(AK135, priority=0, alpha=float("nan")),
        lambda: models.columns(
            [0, 1], [0, 1], [[[0.0]]], bottom=1, vp=6, vs=3.5, rho=2.7, alpha=5, priority=0
        ),
        lambda: models.mesh(
            np.eye(4)[:, :3],
            [[0, 1, 2, 3]],
            np.tile([2.7, 6, 3.5, 600, 300, 5], (4, 1)),
            vertical="depth",
            priority=0,
        ),
    ],
)
def test_every_constructor_refuses_alpha_outside_0_1(make):
    with pytest.raises(ValueError, match=re.escape("alpha must lie in [0, 1]")):
        make()


@pytest.mark.parametrize(
    "name, positive, sign", [("depth", "up", -1), ("z", "down", -1), ("depth", "down", 1)]
)
def test_a_datasets_positive_attribute_is_honoured(name, positive, sign):
    xr = pytest.importorskip("xarray")
    v = np.array([0.0, 400.0, 1000.0])
    vp = np.zeros((2, 2, 3)) + [5.0, 6.0, 7.0]
    plain = {"depth" if name == "depth" else "z": v}
    want = models.grid(
        x=[0.0, 1e3], y=[0.0, 1e3], **plain, vp=vp, vs=vp / 2, rho=vp / 2, priority=0
    )
    data = xr.Dataset(
        {k: (("x", "y", name), a) for k, a in (("vp", vp), ("vs", vp / 2), ("rho", vp / 2))},
        coords={"x": [0.0, 1e3], "y": [0.0, 1e3], name: (name, sign * v, {"positive": positive})},
    )
    got = models.grid(data, priority=0)
    for level in (0.0, 250.0, 700.0, 1000.0):
        assert got.query(500, 500, level) == want.query(500, 500, level)
    data[name].attrs["positive"] = "sideways"
    with pytest.raises(
        ValueError, match="the attribute positive must be 'up' or 'down'; got 'sideways'"
    ):
        models.grid(data, priority=0)


# ------------------------------------------------------------------ columns


def random_tiles(seed, nx=3, ny=2, layers=3):
    rng = np.random.default_rng(seed)
    x, y = np.cumsum(rng.uniform(1, 3, nx + 1)), np.cumsum(rng.uniform(1, 3, ny + 1))
    tops = np.cumsum(rng.uniform(0, 300, (nx, ny, layers)), axis=2)
    vp = rng.uniform(2, 8, (nx, ny, layers))
    return x, y, tops, vp


def tile_values(model, x, y):
    """vp at the centre of every tile and layer, by a brute-force scan of
    points through the model's tiles."""
    xs, ys = (0.5 * (e[1:] + e[:-1]) for e in (np.sort(x), np.sort(y)))
    depths = np.linspace(1, 1200, 60)
    return np.array([[[model.query(a, b, d) or {} for d in depths] for b in ys] for a in xs])


def columns_of(x, y, tops, vp, **kw):
    return models.columns(x, y, tops, bottom=1500.0, vp=vp, vs=vp / 2, rho=vp / 3, priority=0, **kw)


@pytest.mark.parametrize("flip", [(True, False), (False, True), (True, True)])
def test_decreasing_tile_edges_give_the_same_model(flip):
    x, y, tops, vp = random_tiles(1)
    want = tile_values(columns_of(x, y, tops, vp), x, y)
    fx, fy = flip
    ex, ey = (x[::-1] if fx else x), (y[::-1] if fy else y)
    turn = (slice(None, None, -1 if fx else 1), slice(None, None, -1 if fy else 1))
    got = tile_values(columns_of(ex, ey, tops[turn], vp[turn]), x, y)
    assert (got == want).all()


def test_columns_arrays_with_named_dimensions_are_put_in_order_by_name():
    xr = pytest.importorskip("xarray")
    x, y, tops, vp = random_tiles(2, nx=3, ny=3)  # nx == ny: only names can tell
    want = tile_values(columns_of(x, y, tops, vp), x, y)
    named = {
        k: xr.DataArray(np.transpose(a, (1, 0, 2)), dims=("lat", "lon", "layer"))
        for k, a in (("tops", tops), ("vp", vp))
    }
    got = tile_values(columns_of(x, y, named["tops"], named["vp"]), x, y)
    assert (got == want).all()
    x, y, tops, vp = random_tiles(3, nx=3, ny=2)
    with pytest.raises(
        ValueError, match=r"got \(2, 3, 3\) \(y first: give x first, or an xarray.DataArray"
    ):
        columns_of(x, y, np.transpose(tops, (1, 0, 2)), np.transpose(vp, (1, 0, 2)))
    bad = xr.DataArray(tops, dims=("a", "b", "c"))
    with pytest.raises(
        ValueError, match=r"tops: cannot tell x and y from the dimensions \('a', 'b', 'c'\)"
    ):
        columns_of(x, y, bad, vp)


def test_columns_tops_that_look_like_km_are_refused():
    def slab(**units):
        return models.columns(
            [0, 50e3], [0, 1e3], [[[0.0, 10.0]]], bottom=40.0, vp=[[[5, 6]]], vs=3, rho=2.7,
            priority=0, **units,
        )  # fmt: skip

    with pytest.raises(
        ValueError, match=r"tops and bottom within \+-40, read as metres, under a model 50 km wide"
    ):
        slab()
    assert slab(units={"tops": "km", "bottom": "km"}).query(1e3, 500, 20e3)["vp"] == 6.0


def test_degrees_in_a_geographic_tree_and_a_model_file_that_says_so(tmp_path):
    pytest.importorskip("pyproj")
    lon, lat = [-124.0, -123.5, -123.0], [48.5, 49.0]
    model = models.columns(
        lon,
        lat,
        np.zeros((2, 1, 1)),
        bottom=3e3,
        vp=[[[5.0]], [[6.0]]],
        vs=3,
        rho=2.7,
        priority=0,
        units={"x": "degrees_east", "y": "degrees_north"},
    )
    assert model.query(-123.2, 48.7, 1e3)["vp"] == 6.0
    path = tmp_path / "geo.orvik"
    orvik.save(orvik.model_tree([model]), path, metadata={"crs": "EPSG:4326"})
    units = orvik.info(path)["metadata"]["units"]
    assert (units["x"], units["y"], units["depth"]) == ("degrees_east", "degrees_north", "m")
