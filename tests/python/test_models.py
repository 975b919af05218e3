"""orvik.models against independent oracles: SciPy's RegularGridInterpolator
for grids, numpy.interp per layer for layered models, a brute-force tile
lookup for columns, per-model queries blended in priority order for trees of
every kind; pickling bit for bit; and bad input to every constructor."""

import math
import pickle
import re

import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

import orvik
from orvik import models
from orvik.qualities import QUALITIES

AK135 = "examples/data/ak135_upper.tvel"
ALL = orvik.QueryParams(0, 255)


def rows(model_or_tree, x, y, v, depth=None):
    """The qualities at the points: a tree through query_many (NaN where no
    model answers), a lone model through query."""
    x, y, v = (np.asarray(a, np.float32) for a in (x, y, v))
    if isinstance(model_or_tree, orvik.PyModelTree):
        d = v if depth is None else np.asarray(depth, np.float32)
        out = np.full((len(x), 6), np.nan, np.float32)
        model_or_tree.query_many(out, orvik.QueryCoordinates(x, y, v, d), ALL)
        return out
    found = [model_or_tree.query(*p) for p in zip(x.tolist(), y.tolist(), v.tolist())]
    return np.array([[q[k] for k in QUALITIES] if q else [np.nan] * 6 for q in found], np.float32)


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint32), np.asarray(b).view(np.uint32))


# ------------------------------------------------------------------ grids


def random_grid(seed, vertical="depth"):
    """Non-uniform axes and smooth random values (speeds in m/s, density in
    kg/m^3, as published files give them)."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(500, 2000, 7))
    y = np.cumsum(rng.uniform(500, 2000, 6)) - 4000
    v = np.cumsum(rng.uniform(200, 3000, 8))
    shape = (len(x), len(y), len(v))
    vs = rng.uniform(1500, 4500, shape)
    values = {
        "vp": vs * rng.uniform(1.6, 1.9, shape),
        "vs": vs,
        "rho": rng.uniform(2000, 3200, shape),
        "qp": rng.uniform(100, 900, shape),
        "qs": rng.uniform(50, 400, shape),
    }
    return x, y, v, values


def rgi_reference(x, y, v, values, points):
    """SciPy on the same nodes, in the tree's units, Q interpolated through 1/Q."""
    axes = (x, y, v)
    scale = {"vp": 1e-3, "vs": 1e-3, "rho": 1e-3, "qp": 1.0, "qs": 1.0}
    out = {}
    for k, a in values.items():
        if k in ("qp", "qs"):
            out[k] = 1 / RegularGridInterpolator(axes, 1 / a)(points)
        else:
            out[k] = RegularGridInterpolator(axes, a * scale[k])(points)
    return np.column_stack([out[k] for k in ("rho", "vp", "vs", "qp", "qs")])


@pytest.mark.parametrize("vertical", ["depth", "elevation"])
@pytest.mark.parametrize("source", ["arrays", "dataset"])
def test_grid_matches_regular_grid_interpolator(vertical, source):
    x, y, v, values = random_grid(3, vertical)
    units = {"vp": "m/s", "vs": "m/s", "rho": "kg/m^3"}
    v_name = "depth" if vertical == "depth" else "z"
    if source == "arrays":
        model = models.grid(x=x, y=y, **{v_name: v}, **values, units=units, priority=1)
    else:
        xr = pytest.importorskip("xarray")
        # A decreasing vertical axis in km, as files often run top down.
        data = xr.Dataset(
            {
                k: (("x", "y", v_name), a[:, :, ::-1], {"units": units.get(k, "1")})
                for k, a in values.items()
            },
            coords={"x": x, "y": y, v_name: (v_name, v[::-1] / 1e3, {"units": "km"})},
        )
        model = models.grid(data, priority=1)
    rng = np.random.default_rng(5)
    points = np.column_stack([rng.uniform(a[0] + 1, a[-1] - 1, 4000) for a in (x, y, v)]).astype(
        np.float32
    )
    want = rgi_reference(x, y, v, values, points.astype(np.float64))
    got = rows(orvik.model_tree([model]), points[:, 0], points[:, 1], points[:, 2])
    np.testing.assert_allclose(got[:, :5], want, rtol=3e-6)
    np.testing.assert_array_equal(got[:, 5], 1.0)


@pytest.mark.parametrize("vertical", ["depth", "elevation"])
def test_grid_discontinuity_gives_the_layer_below_and_holes_show_through(vertical):
    x, y = np.array([0.0, 100.0, 200.0]), np.array([0.0, 100.0])
    v = np.array([0.0, 50.0, 50.0, 100.0])
    vp = np.zeros((3, 2, 4)) + np.array([1.0, 2.0, 3.0, 4.0])
    vp[2, 1, 0] = np.nan  # a hole: a corner of the cells x in [100, 200], v in [0, 50]
    kwargs = {"depth" if vertical == "depth" else "z": v}
    g = models.grid(x=x, y=y, vp=vp, vs=vp / 2, rho=vp, **kwargs, priority=0)
    # The layer below the interface: deeper in depth mode, lower in elevation mode.
    below, above = (3.0, 2.0) if vertical == "depth" else (2.0, 3.0)
    assert g.query(10, 10, 50)["vp"] == below
    nearer_below = 50.001 if vertical == "depth" else 49.999
    nearer_above = 49.999 if vertical == "depth" else 50.001
    assert g.query(10, 10, nearer_below)["vp"] == pytest.approx(below, abs=1e-3)
    assert g.query(10, 10, nearer_above)["vp"] == pytest.approx(above, abs=1e-3)
    assert g.query(150, 10, 25) is None and g.query(150, 10, 75) is not None
    assert g.query(50, 10, 25) is not None
    background = models.layered(
        {"depth": [-500, 500], "vp": [9, 9], "vs": [5, 5], "rho": [3, 3]},
        priority=9,
        vertical=vertical,
    )
    tree = orvik.model_tree([g, background])
    assert tree.query(150, 10, 25, 25, 0, 255)["vp"] == 9.0
    assert tree.query(50, 10, 25, 25, 0, 255)["vp"] == pytest.approx(1.5)


def test_grid_in_another_crs_becomes_a_mesh_exact_at_its_nodes():
    pyproj = pytest.importorskip("pyproj")
    lon, lat = np.linspace(-124.0, -123.0, 5), np.linspace(48.5, 49.0, 4)
    depth = np.array([0.0, 5.0, 10.0])
    rng = np.random.default_rng(2)
    vp = rng.uniform(4, 7, (5, 4, 3))
    model = models.grid(
        x=lon,
        y=lat,
        depth=depth,
        vp=vp,
        vs=vp / 1.8,
        rho=vp / 2.5,
        units={"x": "degrees_east", "y": "degrees_north", "depth": "km"},
        model_crs="EPSG:32610",
        priority=2,
    )
    assert isinstance(model, orvik.PyMeshModel)
    glon, glat = np.meshgrid(lon, lat, indexing="ij")
    px, py = pyproj.Transformer.from_crs("EPSG:4326", "EPSG:32610", always_xy=True).transform(
        glon, glat
    )
    # Nodes strictly inside, where the mesh's tetrahedra meet in the node.
    for i, j, k in [(1, 1, 1), (2, 2, 1), (3, 1, 1)]:
        q = model.query(px[i, j], py[i, j], depth[k] * 1e3)
        assert q["vp"] == pytest.approx(vp[i, j, k], rel=1e-5)


# ------------------------------------------------------------------ layered


def layer_interp(depth, values, d, below=True):
    """numpy.interp inside the layer that holds d, the layer below at a
    repeated depth: the table cut at its discontinuities into runs."""
    cuts = np.flatnonzero(np.diff(depth) == 0) + 1
    for run_d, run_v in zip(np.split(depth, cuts), np.split(values, cuts)):
        if run_d[0] <= d < run_d[-1] or (d == run_d[-1] == depth[-1]):
            return np.interp(d, run_d, run_v)
    return math.nan


@pytest.mark.parametrize("vertical", ["depth", "elevation"])
def test_layered_reproduces_the_table_and_interpolates_each_layer(vertical):
    table = models.read_tvel(AK135)
    model = models.layered(AK135, priority=3, vertical=vertical)
    rng = np.random.default_rng(1)
    d = np.concatenate([table.depth, rng.uniform(0, table.depth[-1], 3000)]).astype(np.float32)
    sign = 1.0 if vertical == "depth" else -1.0
    got = rows(orvik.model_tree([model]), np.zeros_like(d), np.zeros_like(d), sign * d, d)
    for column, k in (("vp", 1), ("vs", 2), ("rho", 0)):
        want = [layer_interp(table.depth, getattr(table, column), float(z)) for z in d]
        np.testing.assert_allclose(got[:, k], want, rtol=4e-7, atol=0)
    # Exactly the table's float32 values at its depths: at a discontinuity,
    # those of the lower row, the layer below.
    for i, z in enumerate(table.depth):
        below = np.flatnonzero(table.depth == z)[-1]
        assert got[i, 1] == np.float32(table.vp[below])


def test_tvel_and_nd_readers(tmp_path):
    nd = tmp_path / "model.nd"
    nd.write_text(
        "# a model\n0 5.8 3.46 2.72 1340 600\n20 5.8 3.46 2.72 1340 600\n"
        "20 6.5 3.85 2.92 1340 600\nmantle\n35 8.04 4.48 3.32 1446 600\n"
    )
    t = models.read_nd(nd)
    np.testing.assert_array_equal(t.depth, [0, 20e3, 20e3, 35e3])
    np.testing.assert_array_equal(t.qs, [600] * 4)
    m = models.layered(t, priority=0)
    assert m.query(0, 0, 20e3)["vp"] == np.float32(6.5) and m.query(0, 0, 10e3)["qs"] == 600
    bad = tmp_path / "bad.tvel"
    bad.write_text("h1\nh2\n0 5.8 3.46 2.72\n20 5.8 x 2.72\n")
    with pytest.raises(ValueError, match=re.escape(f"{bad}, line 4: expected 4 numbers")):
        models.read_tvel(bad)
    bad.write_text("h1\nh2\n0 5.8 3.46 2.72\n20 5.8 3.46\n")
    with pytest.raises(ValueError, match="line 4"):
        models.read_tvel(bad)


# ------------------------------------------------------------------ columns


def random_columns(seed, vertical):
    rng = np.random.default_rng(seed)
    nx, ny, layers = 4, 3, 5
    thickness = rng.uniform(0, 3000, (nx, ny, layers)) * (rng.uniform(size=(nx, ny, layers)) > 0.3)
    top0 = rng.uniform(-500, 500, (nx, ny))
    depths = top0[..., None] + np.concatenate([np.zeros((nx, ny, 1)), np.cumsum(thickness, 2)], 2)
    x, y = np.cumsum(rng.uniform(1e3, 5e3, nx + 1)), np.cumsum(rng.uniform(1e3, 5e3, ny + 1))
    vp = rng.uniform(2, 8, (nx, ny, layers))
    sign = 1 if vertical == "depth" else -1
    return x, y, sign * depths[..., :-1], sign * depths[..., -1], vp


@pytest.mark.parametrize("vertical", ["depth", "elevation"])
def test_columns_match_a_brute_force_tile_lookup(vertical):
    x, y, tops, bottom, vp = random_columns(4, vertical)
    model = models.columns(
        x, y, tops, bottom=bottom, vp=vp, vs=vp / 2, rho=vp / 3, vertical=vertical, priority=1
    )
    rng = np.random.default_rng(6)
    n = 5000
    # Coordinates as the tree reads them, in float32.
    px = rng.uniform(x[0] - 1e3, x[-1] + 1e3, n).astype(np.float32)
    py = rng.uniform(y[0] - 1e3, y[-1] + 1e3, n).astype(np.float32)
    pv = rng.uniform(-16000, 16000, n).astype(np.float32)
    i = np.searchsorted(x, px.astype(float), "right") - 1
    j = np.searchsorted(y, py.astype(float), "right") - 1
    got = rows(orvik.model_tree([model]), px, py, pv)
    s = 1 if vertical == "depth" else -1  # depths, down the stack
    for k in range(n):
        want = math.nan
        if 0 <= i[k] < len(x) - 1 and 0 <= j[k] < len(y) - 1:
            down = s * np.append(tops[i[k], j[k]], bottom[i[k], j[k]])
            d = s * float(pv[k])
            # The last layer of some thickness whose top lies at or above the point.
            held = [m for m in range(len(down) - 1) if down[m] <= d and down[m] < down[m + 1]]
            if held and d <= down[-1]:
                want = vp[i[k], j[k], held[-1]]
        assert got[k, 1] == pytest.approx(want, nan_ok=True, rel=1e-6), k


# ------------------------------------------------------------------ meshes and trees


def test_mesh_bounds_let_a_depth_model_be_found_at_any_elevation():
    v = np.array([[0, 0, 0], [100, 0, 0], [0, 100, 0], [0, 0, 100]], float)
    q = np.tile([2.7, 6, 3.5, 600, 300, 1], (4, 1))
    far = np.array([[500, 500, 0], [600, 500, 0], [500, 600, 0], [500, 500, 100]], float)

    def tree(depth_model):
        other = orvik.MeshModelBuilder(
            far.astype(np.float32),
            np.array([[0, 1, 2, 3]], np.uint64),
            1,
            "elevation",
            (500, 500, 0, 600, 600, 100),
        )
        return orvik.model_tree([depth_model, other.interpolated(q.astype(np.float32))])

    # A point 1 km up a mountain, 10 m below the surface.
    good = tree(models.mesh(v, [[0, 1, 2, 3]], q, vertical="depth", priority=0))
    assert good.query(10, 10, 1000, 10, 0, 255)["vp"] == pytest.approx(6.0)
    hand = orvik.MeshModelBuilder(
        v.astype(np.float32),
        np.array([[0, 1, 2, 3]], np.uint64),
        0,
        "depth",
        (0, 0, 0, 100, 100, 100),
    ).interpolated(q.astype(np.float32))
    assert tree(hand).query(10, 10, 1000, 10, 0, 255) is None  # what the constructor avoids


@pytest.mark.parametrize("vertical", ["elevation", "depth"])
def test_mesh_bounds_hold_every_vertex_in_the_trees_frame(vertical):
    rng = np.random.default_rng(4)
    local = rng.uniform(-50, 50, (200, 3))
    c, s = np.cos(0.7), np.sin(0.7)
    t = np.array([[c, -s, 0, 0], [s, c, 0, 0], [0, 0, 1, 0], [3e5, -2e5, 10, 1]], np.float32)
    world = (np.column_stack([local, np.ones(200)]) @ np.linalg.inv(t.astype(float)))[:, :3]
    lo, hi = np.split(np.array(models.mesh_bounds(local, vertical, t)), 2)
    assert np.all(lo[:2] <= world[:, :2].min(0)) and np.all(world[:, :2].max(0) <= hi[:2])
    assert np.all(hi[:2] - lo[:2] < np.ptp(world[:, :2], axis=0) + 20)  # tight, up to the padding
    if vertical == "depth":
        assert (lo[2], hi[2]) == (-math.inf, math.inf)
        declared = models.mesh_bounds(local, vertical, t, elevation=(-500.0, 0.0))
        assert (declared[2], declared[5]) == (-500.0, 0.0)
    else:
        assert lo[2] <= world[:, 2].min() and world[:, 2].max() <= hi[2]
        with pytest.raises(ValueError, match="elevation: an elevation model's z range"):
            models.mesh_bounds(local, vertical, t, elevation=(-1.0, 1.0))


def blended(per_model, priorities):
    """Front to back in priority order, as the tree composites: the first hit
    as it is, later ones behind until the composite is opaque."""
    order = np.argsort(priorities, kind="stable")
    acc = None
    for k in order:
        q = per_model[k]
        if np.isnan(q).all():
            continue
        if acc is None:
            acc = q[None].copy()
        elif abs(acc[0, 5] - 1) > 1e-4:
            acc = orvik.blend_many(acc, q[None])
    return acc[0] if acc is not None else np.full(6, np.nan, np.float32)


def every_kind():
    x, y, v, values = random_grid(8)
    values = {k: a * (1e-3 if k in ("vp", "vs", "rho") else 1) for k, a in values.items()}
    grid = models.grid(
        x=x,
        y=y,
        depth=v,
        **values,
        alpha=np.full(x.shape + y.shape + v.shape, 0.6),
        priority=3,
        name="grid",
    )
    cx, cy, tops, bottom, vp = random_columns(2, "depth")
    cols = models.columns(
        cx,
        cy,
        tops,
        bottom=bottom,
        vp=vp,
        vs=vp / 2,
        rho=vp / 3,
        alpha=np.full(vp.shape, 0.5),
        priority=1,
        name="crust",
    )
    layer = models.layered(AK135, priority=7, name="ak135")
    vert = np.array([[0, 0, 0], [9e3, 0, 0], [0, 9e3, 0], [0, 0, 9e3]], float)
    mesh = models.mesh(
        vert,
        [[0, 1, 2, 3]],
        np.tile([2, 5, 3, 300, 100, 0.4], (4, 1)),
        vertical="depth",
        priority=2,
        name="wedge",
    )
    return [grid, cols, layer, mesh]


def test_tree_of_every_kind_blends_them_in_priority_order():
    rng = np.random.default_rng(3)
    n = 400
    px, py, pd = rng.uniform(0, 12e3, n), rng.uniform(-4e3, 9e3, n), rng.uniform(0, 12e3, n)
    alone = every_kind()
    per_model = [rows(m, px, py, pd) for m in alone]
    priorities = [m.priority for m in alone]
    tree = orvik.model_tree(every_kind())
    got = rows(tree, px, py, -pd, pd)
    want = np.array([blended([p[k] for p in per_model], priorities) for k in range(n)])
    assert same_bits(got, want)
    assert np.isfinite(got[:, 0]).all()
    kinds = {
        c.get("kind", "mesh")
        for k in range(n)
        for c in tree.explain(px[k], py[k], -pd[k], pd[k])["contributions"]
    }
    assert kinds == {"mesh", "grid", "columns"}


def test_views_explain_and_model_tree_name_every_kind():
    grid, cols, layer, mesh = every_kind()
    assert grid.view()["kind"] == "grid" and grid.view()["shape"] == (7, 6, 8)
    assert cols.view()["shape"] == (4, 3) and layer.view()["bounds"][0] == -math.inf
    tree = orvik.model_tree([grid, cols, layer, mesh])
    assert [m.get("kind", "mesh") for m in tree.view()["models"]] == [
        "grid",
        "columns",
        "columns",
        "mesh",
    ]
    described = [
        c
        for p in [(3e3, 0), (5e3, 2e3), (8e3, 4e3)]
        for c in tree.explain(*p, -1e3, 1e3)["contributions"]
        if "kind" in c
    ]
    assert described and all({"model", "name"} <= set(c) for c in described)
    assert all(("cell" in c) == (c["kind"] == "grid") for c in described)
    with pytest.raises(
        ValueError, match="GridModel has already been consumed by a previous model_tree"
    ):
        orvik.model_tree([grid])
    with pytest.raises(ValueError, match="ColumnsModel has been consumed by model_tree"):
        cols.query(0, 0, 0)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'PyMeshModel'"):
        orvik.model_tree([every_kind()[0], 3])


@pytest.mark.parametrize("which", [0, 1, 2, "tree"])
def test_pickles_answer_bit_for_bit(which):
    made = every_kind()
    obj = orvik.model_tree(made) if which == "tree" else made[which]
    again = pickle.loads(pickle.dumps(obj, protocol=5))
    assert type(again) is type(obj) and again.view() == obj.view()
    rng = np.random.default_rng(9)
    p = [rng.uniform(-1e3, 13e3, 2000) for _ in range(3)]
    assert same_bits(rows(again, *p, p[2]), rows(obj, *p, p[2]))


# ------------------------------------------------------------------ bad input


def _grid(**kw):
    x, y, v, values = random_grid(1)
    units = {"vp": "m/s", "vs": "m/s", "rho": "kg/m^3"}
    args = {"x": x, "y": y, "depth": v, **values, "units": units, "priority": 0, **kw}
    return lambda: models.grid(**args)


BAD = [
    (
        _grid(x=np.array([0.0, 2.0, 1.0, 3.0])),
        ValueError,
        r"x must be strictly increasing or strictly decreasing; node 2",
    ),
    (
        _grid(depth=np.array([0, 1, 1, 1, 2, 3, 4, 5.0])),
        ValueError,
        "depth may repeat a value only once",
    ),
    (
        _grid(y=np.array([0, np.nan, 2, 3, 4, 5])),
        ValueError,
        "y must hold finite numbers; node 1 is nan",
    ),
    (
        _grid(vp=np.ones((3, 3, 3))),
        ValueError,
        r"vp must have shape \(len\(x\), len\(y\), len\(depth\)\) = \(7, 6, 8\)",
    ),
    (
        _grid(units={"vp": "furlongs/fortnight"}),
        ValueError,
        "vp: unknown units 'furlongs/fortnight'",
    ),
    (_grid(rho=None), ValueError, "rho is missing"),
    (_grid(z=np.arange(8.0)), TypeError, "exactly one vertical axis"),
    (_grid(transform=np.eye(3)), ValueError, r"transform must have shape \(4, 4\)"),
    (_grid(transform=np.zeros((4, 4))), ValueError, "transform is not invertible"),
    (_grid(x=np.arange(7) * 1e-320), ValueError, "x has a cell too thin to interpolate across"),
    (lambda: models.layered("model.txt", priority=0), ValueError, "cannot tell the format"),
    (
        lambda: models.layered(
            {"depth": [0, 10, 5], "vp": [1, 2, 3], "vs": [1, 1, 1], "rho": [1, 1, 1]}, priority=0
        ),
        ValueError,
        "depth must not decrease; row 2",
    ),
    (
        lambda: models.layered(AK135, priority=0, vertical="down"),
        ValueError,
        "vertical must be 'elevation' or 'depth'",
    ),
    (lambda: models.layered(AK135, priority=0, extent=(1, 0, 0, 1)), ValueError, "extent must be"),
    (lambda: models.layered(AK135, priority=300), OverflowError, "too large"),
    (
        lambda: models.columns(
            [0, 1], [0, 1], np.zeros((2, 1, 1)), bottom=1, vp=1, vs=1, rho=1, priority=0
        ),
        ValueError,
        r"tops must have shape \(len\(x\) - 1, len\(y\) - 1, L\) = \(1, 1, L\)",
    ),
    (
        lambda: models.columns(
            [0, 1], [0, 1], [[[0, 5, 2]]], bottom=9, vp=np.ones((1, 1, 3)), vs=1, rho=1, priority=0
        ),
        ValueError,
        r"tops must increase down the stack \(then bottom\); tile \(0, 0\) turns at layer 2",
    ),
    (
        lambda: models.columns(
            [0, 1],
            [0, 1],
            [[[0, np.nan]]],
            bottom=9,
            vp=np.ones((1, 1, 2)),
            vs=np.ones((1, 1, 2)),
            rho=np.ones((1, 1, 2)),
            priority=0,
        ),
        ValueError,
        "tops and bottom must hold finite numbers",
    ),
    (
        lambda: models.columns(
            [0, 2, 1],
            [0, 1],
            np.zeros((2, 1, 1)),
            bottom=1,
            vp=np.ones((2, 1, 1)),
            vs=np.ones((2, 1, 1)),
            rho=np.ones((2, 1, 1)),
            priority=0,
        ),
        ValueError,
        "x must be strictly increasing",
    ),
    (
        lambda: models.mesh(
            np.zeros((4, 2)), [[0, 1, 2, 3]], np.ones((4, 6)), vertical="depth", priority=0
        ),
        ValueError,
        r"vertices must have shape \(V, 3\)",
    ),
    (
        lambda: models.mesh(
            np.eye(4)[:, :3], [[0, 1, 2, 4]], np.ones((4, 6)), vertical="depth", priority=0
        ),
        ValueError,
        "tetrahedra must hold vertex indices from 0 to 3",
    ),
    (
        lambda: models.mesh(
            np.eye(4)[:, :3], [[0, 1, 2, 3]], np.ones((3, 6)), vertical="depth", priority=0
        ),
        ValueError,
        r"qualities must have shape \(4, 6\)",
    ),
    (
        lambda: models.mesh(
            [[np.nan, 0, 0]] * 4, [[0, 1, 2, 3]], np.ones((4, 6)), vertical="depth", priority=0
        ),
        ValueError,
        "vertices must hold finite numbers",
    ),
]


@pytest.mark.parametrize("make, error, message", BAD)
def test_bad_input_names_the_argument(make, error, message):
    with pytest.raises(error, match=message):
        make()
