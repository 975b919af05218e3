"""coastline and PyCoastline: signed distances to closed rings of segments."""

import inspect
import re

import numpy as np
import pytest

import orvik
from conftest import run_threads, same_bits

F32 = np.float32


def rings_to_segments(*rings):
    """(S, 2, 2) float32 segments from closed rings given as vertex lists."""
    segs = []
    for ring in rings:
        pts = np.asarray(ring, dtype=np.float32)
        segs.append(np.stack([pts, np.roll(pts, -1, axis=0)], axis=1))
    if not segs:
        return np.zeros((0, 2, 2), dtype=np.float32)
    return np.ascontiguousarray(np.concatenate(segs), dtype=np.float32)


def square(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def star(rng, n, cx, cy, r):
    a = 2.0 * np.pi * np.arange(n) / n
    rr = rng.uniform(0.3 * r, r, size=n)
    return np.stack([cx + rr * np.cos(a), cy + rr * np.sin(a)], axis=1).astype(np.float32)


def reference(segs, px, py):
    """The signed distance of one point by the stated float32 rules, over every segment."""
    if len(segs) == 0:
        return F32(np.inf)
    px, py = F32(px), F32(py)
    if np.isnan(px) or np.isnan(py):
        return F32(np.nan)
    ax, ay, bx, by = segs[:, 0, 0], segs[:, 0, 1], segs[:, 1, 0], segs[:, 1, 1]
    with np.errstate(all="ignore"):
        dx = bx - ax
        dy = by - ay
        len2 = dy * dy + dx * dx
        t = ((py - ay) * dy + (px - ax) * dx) / len2
        t = np.where(t < 0, F32(0), np.where(t > 1, F32(1), t)).astype(np.float32)
        proper = len2 > 0
        qx = np.where(proper, ax + dx * t, ax)
        qy = np.where(proper, ay + t * dy, ay)
        d2 = (py - qy) * (py - qy) + (px - qx) * (px - qx)
        d = np.sqrt(F32(np.nanmin(d2))) if not np.all(np.isnan(d2)) else F32(np.nan)
        far = F32(np.nanmax(np.concatenate([ax, bx]))) + F32(10.0)
        rx0, rx1 = np.fmin(px, far), np.fmax(px, far)
        overlap = (
            (np.fmin(ax, bx) <= rx1)
            & (np.fmax(ax, bx) >= rx0)
            & (np.fmin(ay, by) <= py)
            & (np.fmax(ay, by) >= py)
        )
        half_open = (np.minimum(ay, by) <= py) & (py < np.maximum(ay, by))
        xc = ((bx - ax) * (py - ay)) / (by - ay) + ax
        inside = np.count_nonzero(overlap & half_open & (xc > px)) % 2 == 1
    return F32(-d) if inside else F32(d)


def query(c, xs, ys):
    return c.signed_distance(np.asarray(xs, dtype=np.float32), np.asarray(ys, dtype=np.float32))


# --- the stated cases ---------------------------------------------------------


def test_unit_square():
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    out = query(c, [0.5, 2.0, 0.5], [0.5, 0.5, -3.0])
    assert out.dtype == np.float32
    assert out.tolist() == [-0.5, 1.0, 3.0]


@pytest.mark.parametrize(
    ("point", "expected"),
    [
        ((1.0, 5.0), -1.0),  # on the island
        ((4.0, 5.0), 0.5),  # in the lake
        ((5.0, 5.0), -0.5),  # on the islet in the lake
        ((-2.0, 5.0), 2.0),  # at sea
    ],
)
def test_nested_rings_alternate_the_sign(point, expected):
    segs = rings_to_segments(square(0, 0, 10, 10), square(3, 3, 7, 7), square(4.5, 4.5, 5.5, 5.5))
    c = orvik.coastline(segs)
    assert query(c, [point[0]], [point[1]]).tolist() == [expected]


@pytest.mark.parametrize(
    ("point", "inside"),
    [
        ((0.0, 0.0), True),  # level with the left and right vertices, inside
        ((-2.0, 0.0), False),  # level with them, outside on the left
        ((-0.5, 1.0), False),  # only touches the top vertex
        ((-0.5, -1.0), False),  # only touches the bottom vertex
        ((0.25, 0.0), True),
    ],
)
def test_point_level_with_a_vertex(point, inside):
    segs = rings_to_segments([(0, -1), (1, 0), (0, 1), (-1, 0)])
    c = orvik.coastline(segs)
    (d,) = query(c, [point[0]], [point[1]])
    assert (d < 0) == inside
    assert same_bits(d, reference(segs, *point))


def test_point_on_a_segment_is_zero():
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    left, right, bottom = query(c, [0.0, 1.0, 0.5], [0.5, 0.5, 0.0])
    assert left == 0.0 and np.signbit(left)  # the right edge's crossing lies right of it
    assert right == 0.0 and not np.signbit(right)
    assert bottom == 0.0 and np.signbit(bottom)  # half-open: counts as the bottom row


def test_far_right_is_outside():
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    assert query(c, [100.0, 11.0, 12.0], [0.5, 0.5, 0.5]).tolist() == [99.0, 10.0, 11.0]


def test_empty_coastline_is_infinitely_far():
    c = orvik.coastline(np.zeros((0, 2, 2), dtype=np.float32))
    assert len(c) == 0
    out = query(c, [0.0, np.nan, -5.0], [0.0, 1.0, np.inf])
    assert np.all(np.isposinf(out))


def test_nan_points_give_nan():
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    out = query(c, [np.nan, 0.5, np.nan], [0.5, np.nan, np.nan])
    assert np.all(np.isnan(out))


@pytest.mark.parametrize("shape", [(3, 2, 3), (3, 3, 2), (0, 1, 2), (2, 2, 1)])
def test_shape_message(shape):
    arr = np.zeros(shape, dtype=np.float32)
    msg = f"segments must have shape (S, 2, 2), got ({shape[0]}, {shape[1]}, {shape[2]})"
    with pytest.raises(ValueError, match=re.escape(msg)):
        orvik.coastline(arr)


@pytest.mark.parametrize(
    "bad",
    [
        np.zeros((3, 2, 2), dtype=np.float64),
        np.zeros((3, 4), dtype=np.float32),
        np.zeros((1, 3, 2, 2), dtype=np.float32),
        [[[0.0, 0.0], [1.0, 1.0]]],
        None,
    ],
)
def test_segments_argument_errors(bad):
    with pytest.raises(TypeError) as info:
        orvik.coastline(bad)
    assert "while processing 'segments_py'" in info.value.__notes__


def test_segments_keyword_and_binding_errors():
    segs = rings_to_segments(square(0, 0, 1, 1))
    assert len(orvik.coastline(segments_py=segs)) == 4
    with pytest.raises(
        TypeError,
        match=re.escape("coastline() missing 1 required positional argument: 'segments_py'"),
    ):
        orvik.coastline()
    with pytest.raises(
        TypeError, match=re.escape("coastline() got an unexpected keyword argument 'segments'")
    ):
        orvik.coastline(segments=segs)


def test_length_message_and_empty_query():
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    with pytest.raises(ValueError, match=re.escape("x and y must be the same length, got 2 and 3")):
        c.signed_distance(np.zeros(2, dtype=np.float32), np.zeros(3, dtype=np.float32))
    out = c.signed_distance(np.zeros(0, dtype=np.float32), np.zeros(0, dtype=np.float32))
    assert out.shape == (0,) and out.dtype == np.float32


@pytest.mark.parametrize(
    ("x", "y", "param"),
    [
        (np.zeros(2, dtype=np.float64), np.zeros(2, dtype=np.float32), "x"),
        (np.zeros(2, dtype=np.float32), np.zeros(2, dtype=np.float64), "y"),
        (np.zeros((2, 1), dtype=np.float32), np.zeros(2, dtype=np.float32), "x"),
        (np.zeros(2, dtype=np.float32), [0.0, 1.0], "y"),
        (np.float32(1.0), np.zeros(2, dtype=np.float32), "x"),
    ],
)
def test_signed_distance_argument_errors(x, y, param):
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    with pytest.raises(TypeError) as info:
        c.signed_distance(x, y)
    assert f"while processing '{param}'" in info.value.__notes__


def test_signed_distance_binding():
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    x = np.array([0.5], dtype=np.float32)
    assert c.signed_distance(y=x, x=x).tolist() == [-0.5]
    with pytest.raises(
        TypeError,
        match=re.escape(
            "PyCoastline.signed_distance() missing 1 required positional argument: 'y'"
        ),
    ):
        c.signed_distance(x)
    with pytest.raises(
        TypeError,
        match=re.escape("PyCoastline.signed_distance() got multiple values for argument 'x'"),
    ):
        c.signed_distance(x, x=x)


def test_result_array_and_strided_inputs():
    segs = rings_to_segments(square(0, 0, 1, 1))
    c = orvik.coastline(segs[::-1])  # negative stride along segments
    base = np.array([0.5, 9.0, 2.0, 9.0, 0.5, 9.0], dtype=np.float32)
    ys = np.array([-3.0, 0.5, 0.5], dtype=np.float32)[::-1]  # 0.5, 0.5, -3.0
    out = c.signed_distance(base[::2], ys)  # x: 0.5, 2.0, 0.5
    assert out.tolist() == [-0.5, 1.0, 3.0]
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata is False
    assert type(out.base).__name__ == "PySliceContainer"
    del c
    assert out.tolist() == [-0.5, 1.0, 3.0]


def test_len_and_copy_of_segments():
    segs = rings_to_segments(square(0, 0, 1, 1), square(3, 3, 4, 4))
    c = orvik.coastline(segs)
    assert len(c) == 8
    segs[:] = 100.0  # the coastline keeps its own copy
    assert query(c, [0.5], [0.5]).tolist() == [-0.5]


def test_class_and_docstrings():
    assert orvik.PyCoastline.__doc__ == "Python-facing coastline for signed-distance queries."
    assert orvik.PyCoastline.__module__ == "orvik"
    assert orvik.coastline.__doc__.startswith("Build a [`PyCoastline`] from an array of segments.")
    assert str(inspect.signature(orvik.coastline)) == "(segments_py)"
    assert orvik.PyCoastline.signed_distance.__doc__ == (
        "Signed distance from each point to the coastline, negative inside.\n\nParameters\n----------\n"
        "x, y :\n    Two 1-D float arrays of the same length.\n\nReturns\n-------\nnumpy.ndarray\n"
        "    Distances, negative where the point lies inside the coastline."
    )
    assert orvik.PyCoastline.signed_distance.__text_signature__ == "($self, x, y)"
    with pytest.raises(TypeError):
        orvik.PyCoastline()
    with pytest.raises(TypeError):
        type("Sub", (orvik.PyCoastline,), {})
    c = orvik.coastline(rings_to_segments(square(0, 0, 1, 1)))
    with pytest.raises(AttributeError):
        c.extra = 1


# --- agreement with the rules over every segment -------------------------------


def probe_points(rng, segs, n, lo, hi):
    xs = [rng.uniform(lo, hi, size=n)]
    ys = [rng.uniform(lo, hi, size=n)]
    pick = segs[:: max(1, len(segs) // 300)]
    # level with vertices, on vertices, on segment midpoints
    xs += [
        rng.uniform(lo, hi, size=len(pick)),
        pick[:, 0, 0],
        (pick[:, 0, 0] + pick[:, 1, 0]) * F32(0.5),
    ]
    ys += [pick[:, 0, 1], pick[:, 0, 1], (pick[:, 0, 1] + pick[:, 1, 1]) * F32(0.5)]
    return np.concatenate(xs).astype(np.float32), np.concatenate(ys).astype(np.float32)


def check_against_reference(segs, xs, ys):
    c = orvik.coastline(segs)
    got = c.signed_distance(xs, ys)
    want = np.array([reference(segs, x, y) for x, y in zip(xs, ys)], dtype=np.float32)
    bad = ~np.array([same_bits(g, w) for g, w in zip(got, want)])
    assert not bad.any(), list(zip(xs[bad][:5], ys[bad][:5], got[bad][:5], want[bad][:5]))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_islands_with_lakes_match_the_rules(seed):
    rng = np.random.default_rng(seed)
    rings = [
        star(rng, 400, 0, 0, 20),
        star(rng, 150, 0, 0, 4),
        star(rng, 60, 0, 0, 1),
        star(rng, 300, 50, 10, 15),
    ]
    segs = rings_to_segments(*rings)
    xs, ys = probe_points(rng, segs, 600, -25, 70)
    check_against_reference(segs, xs, ys)


def test_segment_soup_matches_the_rules():
    rng = np.random.default_rng(7)
    a = rng.uniform(-500, 500, size=(1500, 2))
    b = a + rng.uniform(-30, 30, size=(1500, 2))
    b[::5] = a[::5]  # zero-length
    b[1::5, 1] = a[1::5, 1]  # horizontal
    b[2::5, 0] = a[2::5, 0]  # vertical
    segs = np.stack([a, b], axis=1).astype(np.float32)
    xs, ys = probe_points(rng, segs, 800, -600, 600)
    check_against_reference(segs, xs, ys)


def test_non_finite_segments_match_the_rules():
    rng = np.random.default_rng(11)
    segs = rings_to_segments(star(rng, 200, 0, 0, 10))
    segs[3, 1, 0] = np.nan
    segs[10, 0, 1] = np.nan
    segs[20] = np.nan
    segs[30, 1, 1] = np.inf
    segs[40, 0, 0] = -np.inf
    xs, ys = probe_points(rng, segs, 400, -15, 15)
    check_against_reference(segs, xs, ys)


def test_order_and_orientation_do_not_change_results():
    rng = np.random.default_rng(5)
    segs = rings_to_segments(star(rng, 500, 0, 0, 10), star(rng, 200, 0, 0, 3))
    xs, ys = probe_points(rng, segs, 2000, -12, 12)
    base = orvik.coastline(segs).signed_distance(xs, ys)
    perm = rng.permutation(len(segs))
    shuffled = segs[perm]
    assert same_bits(orvik.coastline(shuffled).signed_distance(xs, ys), base)
    flipped = shuffled.copy()
    flipped[::2] = flipped[::2, ::-1]
    other = orvik.coastline(flipped).signed_distance(xs, ys)
    # Reversing a segment changes only how its closest point is rounded.
    np.testing.assert_allclose(other, base, rtol=0, atol=1e-5)
    clear = np.abs(base) > 1e-5
    assert np.array_equal(np.signbit(other[clear]), np.signbit(base[clear]))
    # Axis-aligned rings with exact coordinates give identical results either way.
    sq = rings_to_segments(square(0, 0, 4, 4), square(1, 1, 2, 2))
    grid = np.linspace(-1, 5, 25, dtype=np.float32)
    gx, gy = (a.ravel() for a in np.meshgrid(grid, grid))
    rev = sq[::-1, ::-1].copy()
    assert same_bits(
        orvik.coastline(rev).signed_distance(gx, gy), orvik.coastline(sq).signed_distance(gx, gy)
    )


def test_concurrent_queries_share_the_coastline():
    rng = np.random.default_rng(3)
    segs = rings_to_segments(star(rng, 2000, 0, 0, 10))
    c = orvik.coastline(segs)
    xs = rng.uniform(-12, 12, size=20000).astype(np.float32)
    ys = rng.uniform(-12, 12, size=20000).astype(np.float32)
    expected = c.signed_distance(xs, ys)
    results = [None] * 4

    def work(i):
        results[i] = c.signed_distance(xs, ys)

    run_threads(work, 4)
    assert all(same_bits(r, expected) for r in results)
