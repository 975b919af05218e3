"""PyMeshModel: point queries, interpolated and depth-profile finishers, box, views, consumption."""

import math
import re

import numpy as np
import pytest

import orvik

VERTS = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
FACES = np.array([[1, 2, 3, 0]], np.uint64)  # A=(1,0,0) B=(0,1,0) C=(0,0,1) D=origin
QUALS = np.array(
    [
        [1, 10, 5, 100, 50, 0.5],
        [2, 20, 6, 200, 60, 1],
        [3, 30, 7, 400, 70, 1],
        [4, 40, 8, 800, 80, 1],
    ],
    np.float32,
)
KEYS = ["rho", "vp", "vs", "qp", "qs", "alpha"]
CONSUMED = "MeshModel has been consumed by model_tree()"


def make(
    vertices=VERTS,
    faces=FACES,
    qualities=QUALS,
    priority=0,
    vertical="elevation",
    bounds=(0, 0, -10, 100, 100, 0),
    transform=None,
    name=None,
):
    b = orvik.MeshModelBuilder(vertices, faces, priority, vertical, bounds)
    if transform is not None:
        b.transform(transform)
    if name is not None:
        b.name(name)
    return b.interpolated(qualities)


def profile(tops, layers, depth=(0, 0, 0, 0), alpha=(1, 1, 1, 1), vertices=VERTS):
    b = orvik.MeshModelBuilder(vertices, FACES, 0, "depth", (0, 0, 0, 1, 1, 1))
    return b.depth_profile(
        np.array(alpha, np.float32),
        np.array(depth, np.float32),
        np.array(tops, np.float32),
        np.array(layers, np.float32).reshape(-1, 5),
    )


# --- the class ------------------------------------------------------------------


def test_class_shape():
    assert orvik.PyMeshModel.__doc__.startswith("Python-facing single tetrahedral mesh model.")
    with pytest.raises(TypeError):
        orvik.PyMeshModel()
    with pytest.raises(TypeError):
        type("Sub", (orvik.PyMeshModel,), {})
    m = make()
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(AttributeError):
        m.name = "renamed"
    with pytest.raises(AttributeError):
        m.priority = 3
    assert m.query.__doc__.startswith("Query the mesh model at a single point.\n\nReturns a dict")
    assert m.aabb.__text_signature__ == "($self)"
    assert m.view.__text_signature__ == "($self)"
    assert m.query.__text_signature__ == "($self, x, y, z)"
    assert orvik.PyMeshModel.name.__doc__.startswith(
        "Human-readable name assigned at construction time."
    )
    assert orvik.PyMeshModel.priority.__doc__.startswith(
        "Model priority (lower number = higher priority in the tree)."
    )


def test_members_in_order():
    names = [n for n in vars(orvik.PyMeshModel) if not n.startswith("__")]
    assert names == ["query", "aabb", "name", "priority", "view"]


def test_parameterless_methods_reject_arguments():
    m = make()
    with pytest.raises(TypeError):
        m.aabb(1)
    with pytest.raises(TypeError):
        m.view(x=1)


def test_query_binding_errors():
    with pytest.raises(
        TypeError,
        match=re.escape("PyMeshModel.query() missing 1 required positional argument: 'z'"),
    ):
        make().query(0, 0)


@pytest.mark.parametrize(
    "args,param", [(("a", 0, 0), "x"), ((0, None, 0), "y"), ((0, 0, [1]), "z")]
)
def test_query_conversion_errors(args, param):
    with pytest.raises(TypeError) as excinfo:
        make().query(*args)
    assert excinfo.value.__notes__ == [f"while processing '{param}'"]


def test_query_accepts_ints_numpy_scalars_and_keywords():
    m = make()
    a = m.query(0.25, 0.25, 0.25)
    assert m.query(x=np.float64(0.25), y=np.float32(0.25), z=0.25) == a
    assert m.query(0, 0, 0) == m.query(0.0, 0.0, 0.0)


# --- interpolated ---------------------------------------------------------------


def test_query_at_vertex_returns_its_quality():
    m = make()
    # D is vertex 0, the origin: its weights are exact.
    assert m.query(0, 0, 0) == dict(zip(KEYS, QUALS[0].astype(float)))
    for i, p in enumerate([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)]):
        got = m.query(*p)
        assert list(got) == KEYS
        assert [got[k] for k in KEYS] == pytest.approx(QUALS[i].astype(float), rel=1e-5)


def test_centroid_means():
    got = make().query(0.25, 0.25, 0.25)
    assert got["rho"] == pytest.approx(QUALS[:, 0].mean(), rel=1e-6)
    assert got["vs"] == pytest.approx(QUALS[:, 2].mean(), rel=1e-6)
    assert got["alpha"] == pytest.approx(QUALS[:, 5].mean(), rel=1e-6)
    assert got["qp"] == pytest.approx(4 / np.sum(1 / QUALS[:, 3].astype(float)), rel=1e-6)
    assert got["qs"] == pytest.approx(4 / np.sum(1 / QUALS[:, 4].astype(float)), rel=1e-6)
    for v in got.values():
        assert type(v) is float
        assert v == float(np.float32(v))  # float32 widened exactly


def test_result_is_float32_arithmetic():
    # At D the weights are (0, 0, 0, 1): every field is ((0 + 0*a) + 0*b + 0*c) + 1*d.
    q = QUALS.copy()
    q[0] = [0.1, 0.2, 0.3, 7, 0.7, 0.9]
    got = make(qualities=q).query(0, 0, 0)
    assert got["rho"] == float(np.float32(0.1))
    # Q is interpolated harmonically: 1 / (1 * (1/7)) in float32.
    assert got["qp"] == float(np.float32(1) / (np.float32(1) / np.float32(7)))


@pytest.mark.parametrize(
    "p,found",
    [
        ((-0.00005, 0.2, 0.2), True),  # 0.00005 outside the face x = 0
        ((-0.001, 0.2, 0.2), False),
        ((0.2, -0.00005, 0.2), True),
        ((0.2, 0.2, -0.001), False),
        ((0.4, 0.3, 0.30005), True),  # just beyond the face x + y + z = 1
        ((0.4, 0.3, 0.301), False),
        ((2, 2, 2), False),
        ((math.nan, 0.2, 0.2), False),
        ((0.2, 0.2, math.inf), False),
    ],
)
def test_tolerance_band(p, found):
    assert (make().query(*p) is not None) == found


def test_weights_in_the_band_are_not_clamped():
    got = make().query(-0.00005, 0.5, 0.25)  # weight of A slightly negative
    w = np.array([-0.00005, 0.5, 0.25, 0.25005])
    assert got["rho"] == pytest.approx(float(w @ QUALS[:, 0]), rel=1e-4)


def test_transform_translation():
    t = np.eye(4, dtype=np.float32)
    t[3, :3] = (10, 20, 30)
    m = make(transform=t)
    assert m.query(0.25 - 10, 0.25 - 20, 0.25 - 30) == pytest.approx(make().query(0.25, 0.25, 0.25))
    assert m.query(0.25, 0.25, 0.25) is None


def test_transform_scale_and_rotation():
    # local = world @ T: a quarter turn about z and a scale of 2.
    t = np.zeros((4, 4), np.float32)
    t[0, 1] = 2  # local y = 2 x
    t[1, 0] = -2  # local x = -2 y
    t[2, 2] = 2
    t[3, 3] = 1
    m = make(transform=t)
    # local (0.2, 0.3, 0.1) <- world x = 0.15, y = -0.1, z = 0.05
    assert m.query(0.15, -0.1, 0.05) == pytest.approx(make().query(0.2, 0.3, 0.1))


def test_qualities_extra_columns_and_strides():
    wide = np.concatenate([QUALS, np.full((4, 1), 99, np.float32)], axis=1)
    p = (0.1, 0.2, 0.3)
    assert make(qualities=wide).query(*p) == make().query(*p)
    assert make(qualities=np.asfortranarray(QUALS)).query(*p) == make().query(*p)


def test_zero_q_gives_ieee_results():
    q = QUALS.copy()
    q[0, 3] = 0
    got = make(qualities=q).query(0.25, 0.25, 0.25)
    assert got["qp"] == 0.0


def test_random_mesh_matches_scipy():
    spatial = pytest.importorskip("scipy.spatial")
    rng = np.random.default_rng(4)
    pts = rng.uniform(0, 10, (300, 3))
    tri = spatial.Delaunay(pts)
    vals = rng.uniform(1, 5, (300, 6)).astype(np.float32)
    m = make(vertices=pts.astype(np.float32), faces=tri.simplices.astype(np.uint64), qualities=vals)
    q = rng.uniform(-1, 11, (1500, 3)).astype(np.float32)
    simplex = tri.find_simplex(q.astype(np.float64))
    checked = 0
    for p, s in zip(q, simplex):
        got = m.query(*p)
        if s < 0:
            # Outside the hull (allowing the tolerance band near it).
            d = tri.plane_distance(p.astype(np.float64)).max()
            if d > 1e-2:
                assert got is None
            continue
        trans = tri.transform[s]
        b = trans[:3] @ (p - trans[3])
        w = np.append(b, 1 - b.sum())
        if w.min() < 1e-3:
            continue  # near a face: either neighbour may answer
        assert got is not None
        expect = w @ vals[tri.simplices[s]].astype(np.float64)
        assert got["rho"] == pytest.approx(expect[0], rel=1e-4)
        assert got["alpha"] == pytest.approx(expect[5], rel=1e-4)
        hq = 1 / (w @ (1 / vals[tri.simplices[s], 3].astype(np.float64)))
        assert got["qp"] == pytest.approx(hq, rel=1e-4)
        checked += 1
    assert checked > 300


# --- depth profile ----------------------------------------------------------------

LAYERS3 = [[1, 10, 5, 100, 50], [2, 20, 6, 200, 60], [3, 30, 7, 300, 70]]


@pytest.mark.parametrize(
    "depth,layer",
    [
        (50, 0),
        (100, 1),
        (199.9, 1),
        (200, 2),
        (1e6, 2),
        (-1e6, 0),
        (3.4e38, 2),
        (math.nan, 0),
        # 0 * inf is NaN, so infinite vertex depths land in layer 0
        (math.inf, 0),
        (-math.inf, 0),
    ],
)
def test_profile_layer_selection(depth, layer):
    m = profile([0, 100, 200], LAYERS3, depth=[depth] * 4, alpha=[0.25] * 4)
    got = m.query(0, 0, 0)  # at D: weights (0, 0, 0, 1) exactly
    assert [got[k] for k in KEYS[:5]] == LAYERS3[layer]
    assert got["alpha"] == 0.25


def test_profile_alpha_is_interpolated():
    m = profile([0], [[1, 2, 3, 4, 5]], alpha=[0.2, 0.4, 0.6, 0.8])
    got = m.query(0.25, 0.25, 0.25)
    assert got["alpha"] == pytest.approx(0.5, rel=1e-6)
    assert [got[k] for k in KEYS[:5]] == [1, 2, 3, 4, 5]


def test_profile_depth_is_interpolated():
    # depth = 300 x, so x = 0.5 lies in layer 1 and x = 0.9 in layer 2.
    m = profile([0, 100, 200], LAYERS3, depth=[0, 300, 0, 0])
    assert m.query(0.1, 0.1, 0.1)["rho"] == 1
    assert m.query(0.5, 0.1, 0.1)["rho"] == 2
    assert m.query(0.9, 0.05, 0.0)["rho"] == 3


@pytest.mark.parametrize("first", [math.nan, 1e9, -5])
def test_single_layer_any_first_top(first):
    m = profile([first], [[1, 2, 3, 4, 5]], depth=[-1e9, 0, 1e9, math.nan])
    for p in [(0, 0, 0), (0.2, 0.2, 0.2), (0.9, 0.05, 0.01)]:
        assert m.query(*p)["vp"] == 2


def test_profile_first_top_ignored():
    m = profile([5, 0, 10], LAYERS3, depth=[3] * 4)
    assert m.query(0, 0, 0)["rho"] == 2  # 0 <= 3 < 10


@pytest.mark.parametrize("tops", [[0, 10, 10], [0, math.nan], [0, 10, 5], [0, 10, math.nan]])
def test_profile_tops_must_increase(tops):
    layers = LAYERS3[: len(tops)]
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", (0,) * 6)
    with pytest.raises(ValueError, match=re.escape("profile layer tops must strictly increase")):
        b.depth_profile(
            np.ones(4, np.float32),
            np.ones(4, np.float32),
            np.array(tops, np.float32),
            np.array(layers, np.float32),
        )


@pytest.mark.parametrize(
    "shape,tops,message",
    [
        ((3, 6), 3, "profile qualities must have 5 columns [rho, vp, vs, qp, qs], got 6"),
        ((0, 5), 0, "depth profile has no layers"),
        ((0, 4), 0, "profile qualities must have 5 columns [rho, vp, vs, qp, qs], got 4"),
        ((2, 5), 3, "profile tops and qualities differ in length"),
        ((2, 5), 1, "profile tops and qualities differ in length"),
    ],
)
def test_profile_layer_validation(shape, tops, message):
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", (0,) * 6)
    with pytest.raises(ValueError, match=re.escape(message)):
        b.depth_profile(
            np.ones(4, np.float32),
            np.ones(4, np.float32),
            np.arange(tops, dtype=np.float32),
            np.ones(shape, np.float32),
        )
    # validation failures leave the builder collecting
    assert (
        b.depth_profile(
            np.ones(4, np.float32),
            np.ones(4, np.float32),
            np.zeros(1, np.float32),
            np.ones((1, 5), np.float32),
        )
        is not None
    )


def test_profile_validation_order():
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", (0,) * 6)
    # bad columns, no matching tops and bad alpha/depth lengths: the columns win
    with pytest.raises(ValueError, match="5 columns"):
        b.depth_profile(
            np.ones(3, np.float32),
            np.ones(4, np.float32),
            np.zeros(7, np.float32),
            np.ones((2, 4), np.float32),
        )
    with pytest.raises(ValueError, match="strictly increase"):
        b.depth_profile(
            np.ones(3, np.float32),
            np.ones(4, np.float32),
            np.array([0, 1, 1], np.float32),
            np.ones((3, 5), np.float32),
        )


def test_profile_alpha_depth_lengths():
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", (0,) * 6)
    args = (np.zeros(1, np.float32), np.ones((1, 5), np.float32))
    with pytest.raises(
        ValueError, match=re.escape("depth profile needs one alpha and one depth per vertex")
    ):
        b.depth_profile(np.ones(4, np.float32), np.ones(5, np.float32), *args)
    with pytest.raises(
        ValueError,
        match=re.escape('Model "": the field doesn\'t cover every vertex or simplex of the mesh'),
    ):
        b.depth_profile(np.ones(5, np.float32), np.ones(5, np.float32), *args)
    with pytest.raises(ValueError, match=re.escape("MeshModelBuilder has already built a model")):
        b.depth_profile(np.ones(4, np.float32), np.ones(4, np.float32), *args)


@pytest.mark.parametrize("param,index", [("alpha", 0), ("depth", 1), ("tops", 2), ("layers", 3)])
def test_profile_argument_errors(param, index):
    args = [
        np.ones(4, np.float32),
        np.ones(4, np.float32),
        np.zeros(1, np.float32),
        np.ones((1, 5), np.float32),
    ]
    args[index] = args[index].astype(np.float64)
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", (0,) * 6)
    with pytest.raises(TypeError) as excinfo:
        b.depth_profile(*args)
    assert excinfo.value.__notes__ == [f"while processing '{param}'"]


def test_profile_reads_strided_arrays():
    tops = np.array([[0, 9], [100, 9], [200, 9]], np.float32)[:, 0]
    layers = np.asfortranarray(np.array(LAYERS3, np.float32))
    depth = np.array([150] * 8, np.float32)[::2]
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", (0,) * 6)
    m = b.depth_profile(np.full(4, 0.5, np.float32)[::-1], depth, tops, layers)
    assert m.query(0, 0, 0)["vp"] == 20


# --- box, properties, views ---------------------------------------------------------


def test_aabb_is_the_declared_bounds():
    lo, hi = make(bounds=(0, 0, -10, 100, 100, 0)).aabb()
    assert lo.dtype == np.float32 and hi.dtype == np.float32
    assert lo.tolist() == [0, 0, -10] and hi.tolist() == [100, 100, 0]
    assert type(lo.base).__name__ == "PySliceContainer"
    assert lo.flags.c_contiguous and lo.flags.writeable
    assert lo.base is not hi.base


def test_name_and_priority():
    m = make(priority=200, name="north")
    assert (m.name, m.priority) == ("north", 200)
    assert make().name == ""


def test_view_record():
    m = make(priority=4, vertical="depth", bounds=(1, 2, 3, 4, 5, 6.1), name="n\u00e9")
    v = m.view()
    assert list(v) == ["id", "name", "bounds", "transform", "priority", "vertical", "size"]
    assert v["id"] == 0
    assert v["name"] == "n\u00e9"
    assert v["bounds"] == (1.0, 2.0, 3.0, 4.0, 5.0, float(np.float32(6.1)))
    assert v["transform"] is None
    assert v["priority"] == 4
    assert v["vertical"] == "Depth"
    # 328 + 48 + 16 per simplex + 24 per vertex + UTF-8 bytes of the name
    assert v["size"] == 328 + 64 + 24 * 4 + 3
    assert make().view()["vertical"] == "Elevation"


def test_view_transform_row_by_row():
    t = np.arange(16, dtype=np.float32).reshape(4, 4) + np.eye(4, dtype=np.float32) * 50
    assert make(transform=t).view()["transform"] == tuple(float(x) for x in t.ravel())


def test_size_estimate_of_a_larger_mesh():
    spatial = pytest.importorskip("scipy.spatial")
    rng = np.random.default_rng(1)
    pts = rng.uniform(0, 1, (60, 3))
    simplices = spatial.Delaunay(pts).simplices
    m = make(
        vertices=pts.astype(np.float32),
        faces=simplices.astype(np.uint64),
        qualities=np.ones((60, 6), np.float32),
    )
    s = len(simplices)
    rest = m.view()["size"] - (328 + 64 * s + 24 * 60)
    # The remainder is the compact nodes: at least one, fewer than the simplices.
    assert rest % 56 == 0 and 1 <= rest // 56 < s


def test_size_estimate_of_a_depth_profile():
    m = profile([0, 100, 200], LAYERS3)
    assert m.view()["size"] == 328 + 64 + 8 * 4 + 4 * 2 + 24 * 3


# --- consumption -----------------------------------------------------------------


def test_consumed_model_fails_everywhere():
    m = make()
    orvik.model_tree([m])
    for call in [lambda: m.query(0, 0, 0), m.aabb, lambda: m.name, lambda: m.priority, m.view]:
        with pytest.raises(ValueError, match=re.escape(CONSUMED)):
            call()
    with pytest.raises(TypeError) as excinfo:
        m.query("a", 0, 0)
    assert excinfo.value.__notes__ == ["while processing 'x'"]


def test_depth_model_query_takes_z_as_given():
    m = make(vertical="depth")
    assert m.query(0.25, 0.25, 0.25) == make().query(0.25, 0.25, 0.25)


def test_model_survives_its_builder():
    b = orvik.MeshModelBuilder(VERTS, FACES, 0, "elevation", (0,) * 6)
    m = b.interpolated(QUALS)
    del b
    assert m.query(0.25, 0.25, 0.25) is not None
