"""Adaptive TIN: properties of the refined triangulation and the binding's checks."""

import collections
import math
import pathlib
import re

import numpy as np
import pytest

import orvik

INVALID = "boundary must be a simple polygon with at least three vertices"
NON_POSITIVE = "tolerances, boundary spacings and max_edge must be positive"


def make_grid(f, size=64, step=1.0):
    i, j = np.mgrid[0 : size + 1, 0 : size + 1].astype(np.float64)
    x, y = j * step, i * step
    return orvik.structured_grid(x, y, f(x, y))


def bumpy(x, y):
    return 40.0 * np.sin(x / 7.0) * np.cos(y / 5.0) + 0.02 * x * y


def signed_areas(vertices, triangles):
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    return 0.5 * (
        (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])
    )


def polygon_area(poly):
    x, y = poly[:, 0], poly[:, 1]
    return 0.5 * (np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1)))


def point_in_polygon(poly, pts):
    """Even-odd rule; points on the outline may go either way."""
    inside = np.zeros(len(pts), dtype=bool)
    for k in range(len(poly)):
        (x1, y1), (x2, y2) = poly[k], poly[(k + 1) % len(poly)]
        crosses = (y1 > pts[:, 1]) != (y2 > pts[:, 1])
        with np.errstate(divide="ignore", invalid="ignore"):
            xi = x1 + (pts[:, 1] - y1) * (x2 - x1) / (y2 - y1)
        inside ^= crosses & (pts[:, 0] < xi)
    return inside


def interpolate(vertices, triangles, z, pts):
    """Linear interpolation over the triangle that holds each point (NaN when none).

    A point at a vertex takes the vertex's value; otherwise the triangle in
    which the point lies deepest is used, so that slivers along a refined
    outline cannot extrapolate.
    """
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    det = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])
    at_vertex = {tuple(p): k for k, p in enumerate(vertices)}
    out = np.full(len(pts), np.nan)
    for n, (px, py) in enumerate(pts):
        if (px, py) in at_vertex:
            out[n] = z[at_vertex[(px, py)]]
            continue
        u = ((px - a[:, 0]) * (c[:, 1] - a[:, 1]) - (py - a[:, 1]) * (c[:, 0] - a[:, 0])) / det
        v = ((py - a[:, 1]) * (b[:, 0] - a[:, 0]) - (px - a[:, 0]) * (b[:, 1] - a[:, 1])) / det
        depth = np.minimum(np.minimum(u, v), 1 - u - v)
        t = int(np.argmax(depth))
        if depth[t] >= -1e-12:
            tri = triangles[t]
            out[n] = (1 - u[t] - v[t]) * z[tri[0]] + u[t] * z[tri[1]] + v[t] * z[tri[2]]
    return out


def outline_edges(triangles):
    """Edges used by exactly one triangle: the polygon's outline after refinement."""
    count = collections.Counter()
    for tri in triangles:
        for k in range(3):
            count[tuple(sorted((tri[k], tri[(k + 1) % 3])))] += 1
    return [e for e, n in count.items() if n == 1]


def check_tiling(boundary, vertices, triangles):
    areas = signed_areas(vertices, triangles)
    assert np.all(areas > 0), "every triangle is counter-clockwise"
    assert areas.sum() == pytest.approx(abs(polygon_area(boundary)), rel=1e-9)
    assert set(map(tuple, boundary)) <= set(map(tuple, vertices))
    centroids = vertices[triangles].mean(axis=1)
    assert point_in_polygon(boundary, centroids).all()


SQUARE = np.array([[0.0, 0.0], [64.0, 0.0], [64.0, 64.0], [0.0, 64.0]])
# A concave outline with a deep notch from the top.
NOTCHED = np.array(
    [[2.0, 2.0], [60.0, 2.0], [60.0, 60.0], [40.0, 60.0], [32.0, 20.0], [24.0, 60.0], [2.0, 60.0]]
)


def distance_to_outline(poly, pts):
    d = np.full(len(pts), np.inf)
    for k in range(len(poly)):
        a, b = poly[k], poly[(k + 1) % len(poly)]
        t = np.clip(((pts - a) @ (b - a)) / ((b - a) @ (b - a)), 0.0, 1.0)
        d = np.minimum(d, np.hypot(*(pts - (a + t[:, None] * (b - a))).T))
    return d


def node_samples(boundary, step=2.0, size=64, margin=0.0):
    g = np.arange(0.0, size + step / 2, step)
    pts = np.stack(np.meshgrid(g, g), axis=-1).reshape(-1, 2)
    keep = point_in_polygon(boundary, pts) & (distance_to_outline(boundary, pts) > margin)
    return np.ascontiguousarray(pts[keep])


@pytest.mark.parametrize(
    "boundary", [SQUARE, NOTCHED, NOTCHED[::-1]], ids=["square", "notched", "clockwise"]
)
def test_refined_tin_fits_samples_and_boundary(boundary):
    grid = make_grid(bumpy)
    # Off the outline: a sample vertex a rounding error away from a boundary
    # edge could shield that edge's test points by the merge distance.
    samples = node_samples(boundary, margin=0.1)
    spacing, tol = 1.5, 0.75
    vertices, triangles = orvik.adaptive_tin(boundary, [(grid, samples, spacing, tol)])
    assert vertices.dtype == np.float64 and vertices.shape[1] == 2
    assert triangles.dtype == np.int64 and triangles.shape[1] == 3
    assert len(vertices) > len(boundary)
    check_tiling(boundary, vertices, triangles)

    z_vertex, _ = grid.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    z_sample, _ = grid.query_many(samples[:, 0].copy(), samples[:, 1].copy())
    z_tin = interpolate(vertices, triangles, z_vertex, samples)
    assert not np.isnan(z_tin).any()
    assert np.max(np.abs(z_tin - z_sample)) <= tol * (1 + 1e-9)

    for a, b in outline_edges(triangles):
        pa, pb = vertices[a], vertices[b]
        n = math.ceil(math.hypot(*(pb - pa)) / spacing)
        for k in range(1, n):
            t = k / n
            p = t * (pb - pa) + pa
            z_lin = t * (z_vertex[b] - z_vertex[a]) + z_vertex[a]
            assert abs(z_lin - grid.query(p[0], p[1])[0]) <= tol * (1 + 1e-9)


FUJI = pathlib.Path(__file__).resolve().parents[2] / "bench" / "data" / "fuji.png"


def test_real_terrain_fits_at_every_pixel():
    """Mt Fuji's tile, sampled at every pixel: steep, rough, and with samples on
    the edges and corners of triangles between pixels all the time."""
    from matplotlib.image import imread
    from matplotlib.tri import LinearTriInterpolator, Triangulation

    rgb = np.rint(imread(FUJI)[..., :3].astype(np.float64) * 255.0).astype(np.int64)
    h = -10000.0 + (rgb[..., 0] * 65536 + rgb[..., 1] * 256 + rgb[..., 2]) * 0.1
    i, j = np.mgrid[0 : h.shape[0], 0 : h.shape[1]].astype(np.float64)
    grid = orvik.structured_grid(j, i, h)
    samples = np.column_stack([j.ravel(), i.ravel()])
    e = h.shape[0] - 1.0
    boundary = np.array([[0.0, 0.0], [e, 0.0], [e, e], [0.0, e]])
    tol = 10.0
    vertices, triangles = orvik.adaptive_tin(boundary, [(grid, samples, 1.0, tol)])
    assert 1000 < len(vertices) < len(samples) // 2
    check_tiling(boundary, vertices, triangles)
    z_vertex, _ = grid.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    tin = Triangulation(vertices[:, 0], vertices[:, 1], triangles)
    z_tin = LinearTriInterpolator(tin, z_vertex)(samples[:, 0], samples[:, 1])
    assert np.ma.count_masked(z_tin) == 0
    # Matplotlib's interpolation rounds differently: a micrometre of slack.
    assert np.max(np.abs(np.asarray(z_tin) - h.ravel())) <= tol + 1e-6


@pytest.mark.parametrize("boundary", [NOTCHED, NOTCHED[::-1]], ids=["notched", "clockwise"])
def test_samples_on_the_outline_fit_too(boundary):
    grid = make_grid(bumpy)
    on_outline = np.array(
        [[38.0, 50.0], [36.0, 40.0], [34.0, 30.0], [26.0, 50.0], [28.0, 40.0], [30.0, 30.0]]
        + [[x, 2.0] for x in range(4, 60, 2)]
    )
    samples = np.concatenate([node_samples(boundary), on_outline])
    assert (distance_to_outline(boundary, samples) < 1e-12).sum() >= len(on_outline)
    vertices, triangles = orvik.adaptive_tin(boundary, [(grid, samples, 1.5, 0.75)])
    check_tiling(boundary, vertices, triangles)
    z_vertex, _ = grid.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    z_sample, _ = grid.query_many(samples[:, 0].copy(), samples[:, 1].copy())
    z_tin = interpolate(vertices, triangles, z_vertex, samples)
    # A sample on the outline may end up a rounding error outside the
    # refined outline, where no returned triangle holds it.
    held = ~np.isnan(z_tin)
    assert held.sum() > 0.95 * len(samples)
    assert np.max(np.abs(z_tin[held] - z_sample[held])) <= 0.75 * (1 + 1e-9)


def test_refinement_adds_no_vertex_for_a_plane():
    grid = make_grid(lambda x, y: 3.0 * x - 2.0 * y + 7.0)
    samples = node_samples(SQUARE, step=1.0)
    vertices, triangles = orvik.adaptive_tin(SQUARE, [(grid, samples, 0.5, 1e-6)])
    assert len(vertices) == 4
    assert len(triangles) == 2


@pytest.mark.parametrize("max_edge", [5.0, 17])
def test_max_edge_alone(max_edge):
    vertices, triangles = orvik.adaptive_tin(NOTCHED, [], max_edge=max_edge)
    check_tiling(NOTCHED, vertices, triangles)
    for k in range(3):
        d = vertices[triangles[:, k]] - vertices[triangles[:, (k + 1) % 3]]
        assert np.all(np.hypot(d[:, 0], d[:, 1]) <= max_edge)


def test_max_edge_with_a_surface():
    grid = make_grid(bumpy)
    samples = node_samples(SQUARE, step=4.0)
    vertices, triangles = orvik.adaptive_tin(SQUARE, [(grid, samples, 4.0, 2.0)], 6.0)
    check_tiling(SQUARE, vertices, triangles)
    for k in range(3):
        d = vertices[triangles[:, k]] - vertices[triangles[:, (k + 1) % 3]]
        assert np.all(np.hypot(d[:, 0], d[:, 1]) <= 6.0)


@pytest.mark.parametrize("boundary", [SQUARE, NOTCHED, NOTCHED[::-1]])
def test_polygon_without_refinement(boundary):
    vertices, triangles = orvik.adaptive_tin(boundary, [])
    np.testing.assert_array_equal(vertices, boundary)
    assert len(triangles) == len(boundary) - 2
    check_tiling(boundary, vertices, triangles)
    vertices, triangles = orvik.adaptive_tin(boundary, [], None)
    np.testing.assert_array_equal(vertices, boundary)


def test_surface_without_samples_is_fitted_along_the_boundary():
    grid = make_grid(bumpy)
    vertices, triangles = orvik.adaptive_tin(SQUARE, [(grid, np.empty((0, 2)), 2.0, 0.5)])
    # New vertices only on the outline.
    on_outline = np.isin(vertices[:, 0], [0.0, 64.0]) | np.isin(vertices[:, 1], [0.0, 64.0])
    assert len(vertices) > 4 and on_outline.all()
    check_tiling(SQUARE, vertices, triangles)


def test_excluded_samples_are_never_inserted():
    grid = make_grid(bumpy)
    samples = np.array(
        [[0.0, 0.0], [64.0, 64.0], [-5.0, 10.0], [30.0, 80.0], [np.nan, 5.0], [5.0, np.inf]]
    )
    vertices, triangles = orvik.adaptive_tin(SQUARE, [(grid, samples, math.inf, 1e-3)])
    assert len(vertices) == 4 and len(triangles) == 2


def test_sample_in_a_concavity_becomes_an_unused_vertex():
    grid = make_grid(bumpy)
    inside_notch = np.array([[32.0, 50.0]])  # inside the hull, outside the polygon
    vertices, triangles = orvik.adaptive_tin(NOTCHED, [(grid, inside_notch, math.inf, 1e-3)])
    k = np.flatnonzero((vertices == inside_notch[0]).all(axis=1))
    assert len(k) == 1
    assert k[0] not in triangles
    check_tiling(NOTCHED, vertices, triangles)


def test_nan_values_are_not_errors():
    grid = make_grid(lambda x, y: np.full_like(x, np.nan))
    samples = node_samples(SQUARE, step=8.0)
    vertices, triangles = orvik.adaptive_tin(SQUARE, [(grid, samples, 4.0, 0.1)])
    assert len(vertices) == 4 and len(triangles) == 2


def test_short_boundary_edges_get_no_test_points():
    grid = make_grid(bumpy)
    vertices, _ = orvik.adaptive_tin(SQUARE, [(grid, np.empty((0, 2)), 64.0, 1e-3)])
    assert len(vertices) == 4


@pytest.mark.parametrize(
    "boundary",
    [
        np.empty((0, 2)),
        np.array([[0.0, 0.0]]),
        np.array([[0.0, 0.0], [1.0, 1.0]]),
        np.array([[0.0, 0.0], [1.0, 1.0], [2.0, 2.0], [5.0, 5.0]]),
        np.array([[0.0, 0.0], [1.0, 1.0], [1.0, 0.0], [0.0, 1.0]]),
        np.array([[0.0, 0.0], [4.0, 0.0], [4.0, 4.0], [2.0, -1.0], [0.0, 4.0]]),
        np.array([[0.0, 0.0], [1.0, 0.0], [np.nan, 1.0]]),
        np.array([[0.0, 0.0], [1.0, 0.0], [np.inf, 1.0]]),
        np.array([[0.0, 0.0], [1e61, 0.0], [0.0, 1.0]]),
    ],
    ids=["empty", "one", "two", "collinear", "bow-tie", "crossing", "nan", "inf", "huge"],
)
def test_invalid_boundaries(boundary):
    with pytest.raises(ValueError, match=re.escape(INVALID)):
        orvik.adaptive_tin(boundary, [])


@pytest.mark.parametrize("bad", [0, -1.0, math.nan])
@pytest.mark.parametrize("where", ["spacing", "tolerance", "max_edge"])
def test_parameters_are_checked_before_the_boundary(bad, where):
    grid = make_grid(bumpy, size=4)
    spacing, tol, max_edge = 1.0, 1.0, None
    if where == "spacing":
        spacing = bad
    elif where == "tolerance":
        tol = bad
    else:
        max_edge = bad
    bow_tie = np.array([[0.0, 0.0], [1.0, 1.0], [1.0, 0.0], [0.0, 1.0]])
    with pytest.raises(ValueError, match=re.escape(NON_POSITIVE)):
        orvik.adaptive_tin(bow_tie, [(grid, np.empty((0, 2)), spacing, tol)], max_edge)


def test_infinite_parameters_are_accepted():
    grid = make_grid(bumpy, size=4)
    vertices, triangles = orvik.adaptive_tin(
        SQUARE, [(grid, np.empty((0, 2)), math.inf, math.inf)], math.inf
    )
    assert len(vertices) == 4 and len(triangles) == 2


Surface = collections.namedtuple("Surface", "grid samples boundary_spacing tolerance")


def test_named_tuple_integers_and_strided_arrays():
    grid = make_grid(bumpy)
    wide = np.zeros((8, 3))
    wide[::2, :2] = SQUARE
    wide[1::2] = 1e9  # rows skipped by the stride
    samples = np.column_stack(
        [node_samples(SQUARE, 8.0), np.full(len(node_samples(SQUARE, 8.0)), 5.0)]
    )
    a = orvik.adaptive_tin(wide[::2], [Surface(grid, samples[::-1], 2, 1)], max_edge=20)
    b = orvik.adaptive_tin(
        SQUARE, [(grid, np.ascontiguousarray(samples[::-1, :2]), 2.0, 1.0)], 20.0
    )
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


@pytest.mark.parametrize("columns", [0, 1, 5])
def test_samples_without_rows_accept_any_columns(columns):
    grid = make_grid(bumpy, size=4)
    vertices, _ = orvik.adaptive_tin(SQUARE, [(grid, np.empty((0, columns)), 100.0, 1.0)])
    assert len(vertices) == 4


@pytest.mark.parametrize("which", ["boundary", "samples"])
def test_rows_without_two_columns_are_refused(which):
    grid = make_grid(bumpy, size=4)
    boundary, samples = SQUARE, np.zeros((3, 2))
    if which == "boundary":
        boundary = SQUARE[:, :1].copy()
    else:
        samples = np.zeros((3, 1))
    with pytest.raises(
        ValueError,
        match=re.escape(
            f"{which} must have at least two columns (x, y); got shape ({len(boundary if which == 'boundary' else samples)}, 1)"
        ),
    ):
        orvik.adaptive_tin(boundary, [(grid, samples, 1.0, 1.0)])


def _raises(exc, message, notes, call):
    with pytest.raises(exc, match=re.escape(message)) as info:
        call()
    assert getattr(info.value, "__notes__", None) == notes


def test_argument_errors():
    grid = make_grid(bumpy, size=4)
    ok_samples = np.zeros((0, 2))
    cases = [
        (
            TypeError,
            "'ndarray' object is not an instance of 'ndarray'",
            ["while processing 'boundary'"],
            lambda: orvik.adaptive_tin(SQUARE.astype(np.float32), "abc"),
        ),
        (
            TypeError,
            "'list' object is not an instance of 'ndarray'",
            ["while processing 'boundary'"],
            lambda: orvik.adaptive_tin(SQUARE.tolist(), []),
        ),
        (
            TypeError,
            "Can't extract `str` to `Vec`",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, "abc"),
        ),
        (
            TypeError,
            "'int' object is not an instance of 'Sequence'",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, 3),
        ),
        (
            TypeError,
            "'list' object is not an instance of 'tuple'",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, [[grid, ok_samples, 1.0, 1.0]]),
        ),
        (
            ValueError,
            "expected tuple of length 4, but got tuple of length 3",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, [(grid, ok_samples, 1.0)]),
        ),
        (
            TypeError,
            "'int' object is not an instance of 'StructuredGrid'",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, [(1, ok_samples, 1.0, 1.0)]),
        ),
        (
            TypeError,
            "'ndarray' object is not an instance of 'ndarray'",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, [(grid, ok_samples.astype(np.float32), 1.0, 1.0)]),
        ),
        (
            TypeError,
            "must be real number, not str",
            ["while processing 'surfaces'"],
            lambda: orvik.adaptive_tin(SQUARE, [(grid, ok_samples, "x", 1.0)]),
        ),
        (
            TypeError,
            "must be real number, not str",
            ["while processing 'max_edge'"],
            lambda: orvik.adaptive_tin(SQUARE, [], "x"),
        ),
        (
            TypeError,
            "adaptive_tin() missing 1 required positional argument: 'surfaces'",
            None,
            lambda: orvik.adaptive_tin(SQUARE),
        ),
        (
            TypeError,
            "adaptive_tin() takes from 2 to 3 positional arguments but 4 were given",
            None,
            lambda: orvik.adaptive_tin(SQUARE, [], 1.0, 2.0),
        ),
    ]
    for exc, message, notes, call in cases:
        _raises(exc, message, notes, call)


def test_conversion_stops_at_the_first_bad_item():
    grid = make_grid(bumpy, size=4)
    # The second item is bad; the third would fail differently.
    with pytest.raises(ValueError, match="got tuple of length 2"):
        orvik.adaptive_tin(SQUARE, [(grid, np.zeros((0, 2)), 1.0, 1.0), (grid, 1), "x"])
    # Conversion errors come before the parameter check.
    with pytest.raises(TypeError, match="not an instance of 'StructuredGrid'"):
        orvik.adaptive_tin(SQUARE, [(grid, np.zeros((0, 2)), 0.0, 1.0), (None, 1, 2, 3)])


class ExplodingSequence(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, k):
        raise KeyError("boom")

    def __iter__(self):
        raise KeyError("boom")


def test_errors_while_iterating_surfaces_propagate():
    with pytest.raises(KeyError, match="boom") as info:
        orvik.adaptive_tin(SQUARE, ExplodingSequence())
    assert info.value.__notes__ == ["while processing 'surfaces'"]


def test_keywords_and_results_outlive_their_inputs():
    grid = make_grid(bumpy)
    samples = node_samples(SQUARE, 8.0)
    vertices, triangles = orvik.adaptive_tin(
        surfaces=[(grid, samples, 4.0, 1.0)], boundary=SQUARE.copy(), max_edge=None
    )
    for arr, dtype, width in ((vertices, np.float64, 2), (triangles, np.int64, 3)):
        assert arr.dtype == dtype and arr.ndim == 2 and arr.shape[1] == width
        assert arr.flags.c_contiguous and arr.flags.writeable
        assert type(arr.base).__name__ == "PySliceContainer"
    del grid, samples
    expected = triangles.copy()
    triangles[0, 0] = 99
    assert triangles[0, 0] == 99 and (triangles[1:] == expected[1:]).all()
    assert triangles.max() < len(vertices) + 99


def test_function_surface():
    assert orvik.adaptive_tin.__text_signature__ == "(boundary, surfaces, max_edge=None)"
    assert orvik.adaptive_tin.__doc__.splitlines()[0] == (
        "Triangulate a polygon to fit gridded surfaces within vertical tolerances."
    )


def test_shared_longest_edge_gives_one_vertex():
    # Both triangles of the unit square propose the midpoint of their shared diagonal.
    square = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])
    vertices, triangles = orvik.adaptive_tin(square, [], max_edge=1.2)
    assert len(vertices) == 5
    np.testing.assert_array_equal(vertices[4], [0.5, 0.5])
    assert len(triangles) == 4
    check_tiling(square, vertices, triangles)


def test_concurrent_calls_share_a_grid():
    import threading

    grid = make_grid(bumpy)
    samples = node_samples(SQUARE, 2.0)
    expected = orvik.adaptive_tin(SQUARE, [(grid, samples, 2.0, 0.5)])
    results, errors = [], []

    def work():
        try:
            results.append(orvik.adaptive_tin(SQUARE, [(grid, samples, 2.0, 0.5)]))
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    grid.query(1.0, 1.0)  # a shared borrow meanwhile is fine
    for t in threads:
        t.join()
    assert not errors
    for vertices, triangles in results:
        np.testing.assert_array_equal(vertices, expected[0])
        np.testing.assert_array_equal(triangles, expected[1])


@pytest.mark.parametrize("split", [False, True])
@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
def test_equal_misfits_insert_the_earlier_sample_first(split, order):
    # Two samples in the bottom triangle of a square, whatever its diagonal,
    # on two equal bumps of a surface that is zero at the corners: they
    # misfit equally, and the first in surface order, then sample order, wins.
    x, y = np.meshgrid(np.arange(0.0, 4.5, 0.5), np.arange(0.0, 4.5, 0.5))
    bumps = np.array([[1.5, 0.5], [2.5, 0.5]])
    values = np.zeros_like(x)
    for bx, by in bumps:
        values[(x == bx) & (y == by)] = 1.0
    grid = orvik.structured_grid(x, y, values)
    square = np.array([[0.0, 0.0], [4.0, 0.0], [4.0, 4.0], [0.0, 4.0]])
    first, second = bumps[list(order)]
    if split:
        surfaces = [(grid, first[None, :], math.inf, 0.5), (grid, second[None, :], math.inf, 0.5)]
    else:
        surfaces = [(grid, np.stack([first, second]), math.inf, 0.5)]
    vertices, _ = orvik.adaptive_tin(square, surfaces)
    np.testing.assert_array_equal(vertices[4], first)


def test_absurdly_small_boundary_spacing_is_refused_instead_of_running_for_hours():
    x, y = np.meshgrid(np.arange(3.0), np.arange(3.0))
    grid = orvik.structured_grid(x, y, x + y)
    square = np.array([[0.0, 0.0], [2.0, 0.0], [2.0, 2.0], [0.0, 2.0]])
    with pytest.raises(ValueError, match="boundary_spacing is too small"):
        orvik.adaptive_tin(square, [(grid, np.zeros((0, 2)), 1e-300, 0.1)])
    # A fine but reasonable spacing still works.
    vertices, triangles = orvik.adaptive_tin(square, [(grid, np.zeros((0, 2)), 1e-3, 0.1)])
    assert len(triangles) >= 2
