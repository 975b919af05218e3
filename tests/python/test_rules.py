"""Simulation rules (Vs floor, minimum Vp/Vs, Q from Vs, points outside every
model) applied by orvik.extract and orvik.rules.apply_rules, checked point by
point against a plain loop over the same points of orvik.sample."""

import json
import math

import numpy as np
import pytest

import orvik

xr = pytest.importorskip("xarray")
pytest.importorskip("zarr")
pytest.importorskip("dask")

from orvik.rules import RULES_ATTR, Rules, apply_rules  # noqa: E402
from test_extract import CHUNKS, GRID, expected, stored  # noqa: E402
from test_sampling import make_tree  # noqa: E402

F32 = np.float32


@pytest.fixture(scope="module")
def tree():
    return make_tree()


def oracle(volume, rules, down=1):
    """The rules on a (vertical, ...) volume, one point at a time."""
    v = np.array(volume, F32, order="C")  # so that reshape gives views
    if rules.get("outside") == "below":
        flat = v.reshape(v.shape[0], -1, 6)
        levels = range(v.shape[0]) if down > 0 else range(v.shape[0] - 1, -1, -1)
        for c in range(flat.shape[1]):
            order = list(levels)
            for n, i in enumerate(order):
                if np.isnan(flat[i, c]).all():
                    donor = next((j for j in order[n:] if not np.isnan(flat[j, c]).all()), None)
                    if donor is not None:
                        flat[i, c] = flat[donor, c]
    rows = v.reshape(-1, 6)
    fill = rules.get("fill")
    for row in rows:
        if fill is not None and np.isnan(row).all():
            row[:] = [fill.get(q, math.nan) for q in ("rho", "vp", "vs", "qp", "qs", "alpha")]
        vp, vs = float(row[1]), float(row[2])
        floor = rules.get("vs_min")
        if floor is not None and 0 < vs < floor:
            row[1], row[2] = vp * floor / vs, floor
            vp, vs = float(row[1]), float(row[2])
        ratio = rules.get("vp_vs_min")
        if ratio is not None and vs > 0 and vp < ratio * vs:
            row[1] = ratio * vs
        if rules.get("q") == "olsen" and not math.isnan(vs):
            row[3], row[4] = (100 * vs, 50 * vs) if vs > 0 else (1e4, 1e4)
    return v


RULE_SETS = [
    {"vs_min": 3.5, "vp_vs_min": 0.7, "q": "olsen"},
    {"vs_min": 3.3, "outside": "fill", "fill": {"vs": 1.5, "vp": 2.5, "rho": 2.0}},
    {"vp_vs_min": 0.75, "q": "olsen", "outside": "below"},
]


@pytest.mark.parametrize("rules", RULE_SETS, ids=["floors-q", "fill", "below"])
def test_extract_applies_the_rules_and_records_them(tree, tmp_path, rules):
    chunks = dict(CHUNKS)
    if rules.get("outside") == "below":
        del chunks["depth"]  # a block spans whole columns
    path = orvik.extract(tree, GRID, tmp_path / "v.zarr", chunks=chunks, rules=rules)
    data = xr.open_zarr(path)
    raw = expected(tree)
    want = oracle(raw, rules)
    # the grid has points outside every model, which a policy other than keep fills
    filled = np.isnan(raw).all(-1) & ~np.isnan(want).all(-1)
    assert filled.any() == (rules.get("outside", "keep") != "keep")
    np.testing.assert_allclose(stored(data), want, rtol=1e-6)
    record = json.loads(data.attrs[RULES_ATTR])
    assert {k: record[k] for k in rules if k != "fill"} == {
        k: v for k, v in rules.items() if k != "fill"
    }
    if rules.get("outside") == "below":
        assert data["vs"].encoding["chunks"][0] == GRID["depth"].size


def test_below_makes_blocks_of_whole_columns(tree, tmp_path):
    grid = {"x": GRID["x"][::6], "y": GRID["y"][::7], "depth": np.linspace(-1.0, 10.0, 100)}
    rules = {"outside": "below"}
    path = orvik.extract(tree, grid, tmp_path / "v.zarr", chunks={"x": 3}, rules=rules)
    data = xr.open_zarr(path)
    assert data["vs"].encoding["chunks"][:2] == (100, 5)
    np.testing.assert_array_equal(stored(data), oracle(expected(tree, grid), rules))


def test_below_fills_up_an_elevation_axis_and_refuses_split_columns(tree):
    z = xr.DataArray(np.linspace(-11.0, 1.0, 14), dims="z")
    volume = orvik.sample(
        tree, xr.DataArray(GRID["x"], dims="x"), xr.DataArray(GRID["y"], dims="y"), z
    )
    rules = {"outside": "below", "vs_min": 3.6}
    # z rises with the index: the point below is at the index before.
    got = apply_rules(volume.transpose("z", ...), rules)
    raw = volume.transpose("z", ...).values
    want = oracle(raw, rules, down=-1)
    np.testing.assert_allclose(got.values, want, rtol=1e-6)
    outside, still = np.isnan(raw).all(-1), np.isnan(want).all(-1)
    assert (outside & ~still).any()  # points above a model took its values
    np.testing.assert_array_equal(still[0], outside[0])  # nothing lies below the bottom
    with pytest.raises(ValueError, match="whole vertical axis 'z'"):
        apply_rules(volume.chunk({"z": 5}), rules)


def test_fluids_and_speeds_in_metres_per_second():
    rows = np.array([[1.0, 1500.0, 0.0, 7.0, 7.0, 1.0], [2.0, 900.0, 500.0, 7.0, 7.0, 1.0]], F32)
    rules = Rules(vs_min=600.0, vp_vs_min=2.0, q="olsen", speed_unit="m/s")
    got = rules.apply_block(rows)
    # The fluid keeps Vs = 0 and its Vp; the solid is floored at 600 m/s
    # (Vp 1080, then raised to 2 Vs); Q from Vs in km/s.
    np.testing.assert_allclose(got, [[1, 1500, 0, 1e4, 1e4, 1], [2, 1200, 600, 60, 30, 1]])


def test_other_rules_are_another_extraction(tree, tmp_path):
    store = tmp_path / "v.zarr"
    orvik.extract(tree, GRID, store, chunks=CHUNKS, rules={"vs_min": 3.5})
    orvik.extract(tree, GRID, store, chunks=CHUNKS, rules={"vs_min": 3.5})  # complete: kept
    with pytest.raises(ValueError, match="holds another extraction"):
        orvik.extract(tree, GRID, store, chunks=CHUNKS, rules={"vs_min": 3.4})
    with pytest.raises(ValueError, match="holds another extraction"):
        orvik.extract(tree, GRID, store, chunks=CHUNKS)


@pytest.mark.parametrize(
    ("rules", "message"),
    [
        ({"vs_min": -1.0}, "vs_min must be a positive finite number"),
        ({"vp_vs_min": math.nan}, "vp_vs_min must be a positive finite number"),
        ({"q": "brocher"}, "q must be one of"),
        ({"outside": "nearest"}, "outside must be one of"),
        ({"outside": "fill"}, 'fill must be given with outside="fill"'),
        ({"fill": 1.0}, 'fill must be given with outside="fill"'),
        ({"outside": "fill", "fill": {"vs": math.inf}}, "fill must hold finite numbers"),
        ({"outside": "fill", "fill": {"vx": 1.0}}, "does not know: \\['vx'\\]"),
        ({"floor": 1.0}, "rules may name"),
        ({"vs_min": 1.0, "speed_unit": "ft/s"}, "speed_unit must be"),
    ],
)
def test_bad_rules_name_the_argument(tree, tmp_path, rules, message):
    with pytest.raises(ValueError, match=message):
        orvik.extract(tree, GRID, tmp_path / "v.zarr", rules=rules)
    assert not (tmp_path / "v.zarr").exists()
