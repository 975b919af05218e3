"""Bad input, systematically: every public function and method is called with
arrays of every wrong dtype, dimensionality, size, layout and content, with
scalars of every kind and with wrong argument counts and keywords. Each call
either returns the documented result or raises the documented exception, and
every object stays usable afterwards."""

import math
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvik
from conftest import (
    KUHN,
    box_model,
    box_vertices,
    is_internal,
    lattice_grid,
    layered_tree,
    quality_rows,
    reference_blend,
    same_bits,
    unit_square_coastline,
)

SETTINGS = settings(
    max_examples=150,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.function_scoped_fixture,
    ],
)

# ------------------------------------------------------------------ strategies

FLOAT_VALUES = [
    0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    7.0,
    100.0,
    1e-3,
    -0.0,
    np.nan,
    np.inf,
    -np.inf,
    3.4e38,
    -3.4e38,
    1e-45,
]
INT_VALUES = [0, 1, 2, 3, 7, 255]
WRONG_DTYPES = [
    np.float16,
    np.float64,
    np.float32,
    np.int32,
    np.int64,
    np.uint32,
    np.uint64,
    np.uint8,
    np.bool_,
    np.complex64,
    ">f4",
    ">f8",
    object,
]


class Sub(np.ndarray):
    """An ndarray subclass, which every array parameter accepts."""


def _values_for(dtype):
    kind = np.dtype(dtype).kind
    return FLOAT_VALUES if kind in "fc" else INT_VALUES


@st.composite
def arrays(draw, dtype, shape, values=None, layouts=("c", "f", "step", "rev", "sub", "readonly")):
    """An array of exactly this dtype and shape in one of several memory layouts."""
    values = values or _values_for(dtype)
    layout = draw(st.sampled_from(layouts))
    big = tuple(2 * s for s in shape) if layout == "step" else shape
    count = int(np.prod(big)) if big else 1
    flat = draw(st.lists(st.sampled_from(values), min_size=count, max_size=count))
    with np.errstate(all="ignore"):
        a = np.array(flat, dtype=dtype).reshape(big)
    if not shape:
        pass  # a 0-d array has no other layout
    elif layout == "f":
        a = np.asfortranarray(a)
    elif layout == "step":
        a = a[tuple(slice(None, None, 2) for _ in shape)]
    elif layout == "rev":
        a = a[tuple(slice(None, None, -1) for _ in shape)]
    elif layout == "sub":
        a = a.view(Sub)
    elif layout == "readonly":
        a.setflags(write=False)
    assert a.shape == tuple(shape)
    return a


def huge(dtype, shape):
    """A large array that costs no memory: one element repeated by a zero stride."""
    return np.broadcast_to(np.ones((), dtype=dtype), shape)


NON_ARRAYS = st.sampled_from(
    [None, "abc", [1.0, 2.0], (1.0,), {}, 1, 1.5, b"xy", np.float32(1.0), object()]
)


@st.composite
def array_arg(draw, dtype, ndim, sides=(0, 1, 2, 3, 4)):
    """Mostly the right kind of array with a random shape; sometimes a wrong
    dtype or dimensionality, a huge zero-stride array, or no array at all."""
    pick = draw(st.integers(0, 9))
    if pick <= 5:
        shape = tuple(draw(st.sampled_from(sides)) for _ in range(ndim))
        return draw(arrays(dtype, shape))
    if pick == 6:
        wrong = draw(st.sampled_from(WRONG_DTYPES))
        shape = tuple(draw(st.sampled_from(sides)) for _ in range(ndim))
        return draw(arrays(wrong, shape))
    if pick == 7:
        nd = draw(st.sampled_from([d for d in (0, 1, 2, 3) if d != ndim]))
        return draw(arrays(dtype, tuple(draw(st.integers(0, 3)) for _ in range(nd))))
    if pick == 8 and ndim >= 1:
        shape = tuple([20000] + [draw(st.sampled_from(sides)) for _ in range(ndim - 1)])
        return huge(dtype, shape)
    return draw(NON_ARRAYS)


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no float here")


class FloatWorks:
    def __float__(self):
        return 0.25


SCALARS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70),
    st.sampled_from(
        [
            None,
            "1.0",
            True,
            np.float64(2.5),
            np.float32(np.nan),
            np.int64(3),
            FloatRaises(),
            FloatWorks(),
            [1.0],
            1 + 2j,
        ]
    ),
)
PRIORITIES = st.one_of(
    st.integers(-300, 600),
    st.sampled_from([2**64, -(2**64), 1.0, "3", None, np.uint8(7), np.int64(300), True]),
)


# ------------------------------------------------------------------ expectations


def call(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - the internal error derives from BaseException
        return None, exc


def right(o, dtype, ndim):
    return isinstance(o, np.ndarray) and o.ndim == ndim and o.dtype == np.dtype(dtype)


def mismatch_text(o, required):
    if o is None:
        return f"'None' is not an instance of '{required}'"
    return f"'{type(o).__qualname__}' object is not an instance of '{required}'"


def assert_note(exc, param):
    assert f"while processing '{param}'" in getattr(exc, "__notes__", []), (exc, param)


def assert_type_mismatch(exc, o, required, param):
    assert isinstance(exc, TypeError), repr(exc)
    assert str(exc) == mismatch_text(o, required)
    assert_note(exc, param)


def first_wrong_array(params):
    """params: (name, value, dtype, ndim) in extraction order."""
    for name, value, dtype, ndim in params:
        if not right(value, dtype, ndim):
            return name, value
    return None


def float_conversion(o):
    """What the interpreter's float conversion does with o: (value, exception type).
    Unlike float(), it parses no text."""
    if isinstance(o, (str, bytes, bytearray)):
        return None, TypeError
    try:
        return float(o), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001
        return None, type(exc)


def f32(v):
    with np.errstate(over="ignore"):
        return np.float32(v)


def expected_scalar_failure(values):
    """values: (name, object) in conversion order; the first that float()
    rejects, with the exception type it raises."""
    for name, o in values:
        _, err = float_conversion(o)
        if err is not None:
            return name, err
    return None


def priority_failure(o):
    """None when o converts to a priority; else (exception type, message or None)."""
    if isinstance(o, (float, str)) or o is None or not hasattr(o, "__index__"):
        return TypeError, None
    v = o.__index__()
    if v < 0:
        return OverflowError, "number too small to fit in target type"
    if v > 255:
        return OverflowError, "number too large to fit in target type"
    return None


def priority_failed(exc, lo, hi):
    """True when lo or hi is not a valid priority, after checking that `exc`
    is the documented error for the first bad one."""
    for name, p in (("priority_lo", lo), ("priority_hi", hi)):
        pf = priority_failure(p)
        if pf:
            assert isinstance(exc, pf[0]), repr(exc)
            if pf[1]:
                assert str(exc) == pf[1]
            assert_note(exc, name)
            return True
    return False


# ------------------------------------------------------------------ blend_many


@SETTINGS
@given(
    lhs=array_arg(np.float32, 2, sides=(0, 3, 6, 6, 7)),
    rhs=array_arg(np.float32, 2, sides=(0, 3, 6, 6, 5)),
)
def test_blend_many_any_arrays(lhs, rhs):
    before = [np.array(a, copy=True) if isinstance(a, np.ndarray) else None for a in (lhs, rhs)]
    result, exc = call(orvik.blend_many, lhs, rhs)
    wrong = first_wrong_array([("lhs", lhs, np.float32, 2), ("rhs", rhs, np.float32, 2)])
    if wrong:
        assert_type_mismatch(exc, wrong[1], "ndarray", wrong[0])
        return
    if lhs.shape[0] != rhs.shape[0]:
        assert isinstance(exc, ValueError) and str(exc) == (
            f"lhs and rhs must have the same number of rows; got lhs={lhs.shape[0]}, rhs={rhs.shape[0]}"
        )
        return
    if lhs.shape[1] != 6 or rhs.shape[1] != 6:
        assert isinstance(exc, ValueError) and str(exc) == (
            "lhs and rhs must each have exactly 6 columns [rho, vp, vs, qp, qs, alpha]"
        )
        return
    assert exc is None, repr(exc)
    assert result.shape == (lhs.shape[0], 6) and result.dtype == np.float32
    assert result.flags.c_contiguous and result.flags.writeable
    if lhs.shape[0] <= 100:
        assert same_bits(result, reference_blend(lhs, rhs))
    for a, b in zip((lhs, rhs), before):
        assert same_bits(a, b)


def test_blend_many_same_array_twice_and_huge_inputs():
    q = quality_rows(4, alpha=0.5)
    assert same_bits(orvik.blend_many(q, q), reference_blend(q, q))
    big = np.broadcast_to(q[0], (100000, 6))
    out = orvik.blend_many(big, big)
    assert out.shape == (100000, 6)
    assert same_bits(out[:3], reference_blend(q[:3], q[:3]))
    assert np.all(out == out[0])


# ------------------------------------------------------------------ structured grid


@SETTINGS
@given(
    x=array_arg(np.float64, 2, sides=(1, 2, 3, 3)),
    y=array_arg(np.float64, 2, sides=(1, 2, 3, 3)),
    values=array_arg(np.float64, 2, sides=(0, 2, 3, 3)),
)
def test_structured_grid_any_arrays(x, y, values):
    grid, exc = call(orvik.structured_grid, x, y, values)
    wrong = first_wrong_array(
        [("x", x, np.float64, 2), ("y", y, np.float64, 2), ("values", values, np.float64, 2)]
    )
    if wrong:
        assert_type_mismatch(exc, wrong[1], "ndarray", wrong[0])
        return
    if not (x.shape == y.shape == values.shape):
        assert isinstance(exc, ValueError)
        assert (
            str(exc)
            == f"x, y and values must have the same shape; got {x.shape}, {y.shape} and {values.shape}"
        )
        return
    m, n = x.shape
    if m < 2 or n < 2:
        assert isinstance(exc, ValueError)
        assert str(exc) == f"grid must have at least two rows and columns; got {m}x{n}"
        return
    if exc is not None:
        assert isinstance(exc, ValueError) and str(exc) == "grid nodes are collinear"
        return
    assert type(grid).__name__ == "StructuredGrid"
    # Every node position yields a value, and the vectorised query agrees
    # bit for bit with the single-point one.
    px = np.ascontiguousarray(x, dtype=np.float64).ravel()
    py = np.ascontiguousarray(y, dtype=np.float64).ravel()
    for clamp in (True, False):
        vals, outside = grid.query_many(px, py, clamp)
        assert vals.dtype == np.float64 and outside.dtype == np.bool_
        for k in range(len(px)):
            v, o = grid.query(float(px[k]), float(py[k]), clamp)
            assert isinstance(v, float) and isinstance(o, bool)
            assert same_bits(np.float64(v), vals[k]) and o == outside[k]


@SETTINGS
@given(
    x=SCALARS,
    y=SCALARS,
    clamp=st.sampled_from([True, False, np.bool_(True), np.bool_(False), None, 1, 0, "yes", 1.0]),
)
def test_grid_query_any_scalars(x, y, clamp):
    grid = lattice_grid()
    result, exc = call(grid.query, x, y, clamp)
    failed = expected_scalar_failure([("x", x), ("y", y)])
    if failed:
        assert isinstance(exc, failed[1]), repr(exc)
        assert_note(exc, failed[0])
        return
    if not isinstance(clamp, (bool, np.bool_)):
        assert isinstance(exc, TypeError)
        assert_note(exc, "clamp")
        return
    assert exc is None, repr(exc)
    value, outside = result
    many = grid.query_many(np.array([float(x)]), np.array([float(y)]), clamp)
    assert same_bits(np.array([value]), many[0]) and outside == bool(many[1][0])
    if outside and not clamp:
        assert math.isnan(value)
    # Still usable: node (1, 2) of the rotated lattice has the value 2 * 1 + 3 * 2.
    c, s = math.cos(0.3), math.sin(0.3)
    assert grid.query(c * 2 - s * 1, s * 2 + c * 1)[0] == pytest.approx(8.0)


@SETTINGS
@given(
    x=array_arg(np.float64, 1),
    y=array_arg(np.float64, 1),
    clamp=st.sampled_from([True, False, np.bool_(False), None, 2]),
)
def test_grid_query_many_any_arrays(x, y, clamp):
    grid = lattice_grid()
    result, exc = call(grid.query_many, x, y, clamp)
    wrong = first_wrong_array([("x", x, np.float64, 1), ("y", y, np.float64, 1)])
    if wrong:
        assert_type_mismatch(exc, wrong[1], "ndarray", wrong[0])
        return
    if not isinstance(clamp, (bool, np.bool_)):
        assert isinstance(exc, TypeError)
        assert_note(exc, "clamp")
        return
    if len(x) != len(y):
        assert isinstance(exc, ValueError)
        assert str(exc) == f"x and y must have the same length; got x={len(x)}, y={len(y)}"
        return
    assert exc is None, repr(exc)
    values, outside = result
    assert values.shape == (len(x),) and outside.shape == (len(x),)
    assert values.flags.c_contiguous and values.flags.writeable and outside.flags.writeable
    for k in range(min(len(x), 50)):
        v, o = grid.query(float(x[k]), float(y[k]), bool(clamp))
        assert same_bits(np.float64(v), values[k]) and o == outside[k]


# ------------------------------------------------------------------ coastline

SEGMENT_VALUES = [0.0, 1.0, 2.0, -1.0, 0.5, 3.0]


def coastline_reference(seg, px, py):
    """Brute-force signed distance in float32 (nearest segment, ray crossings)."""
    seg = np.asarray(seg, np.float32)
    out = np.empty(len(px), np.float32)
    if len(seg) == 0:
        out[:] = np.inf
        return out
    ax, ay, bx, by = seg[:, 0, 0], seg[:, 0, 1], seg[:, 1, 0], seg[:, 1, 1]
    xs = np.concatenate([ax, bx])
    far = np.float32(np.max(xs[~np.isnan(xs)]) if np.any(~np.isnan(xs)) else -np.inf) + np.float32(
        10.0
    )
    with np.errstate(all="ignore"):
        for k, (x, y) in enumerate(zip(np.float32(px), np.float32(py))):
            dx = bx - ax
            dy = by - ay
            len2 = dy * dy + dx * dx
            t = ((y - ay) * dy + (x - ax) * dx) / np.where(len2 > 0, len2, np.float32(1))
            t = np.minimum(np.maximum(t, np.float32(0)), np.float32(1))
            qx = np.where(len2 > 0, ax + dx * t, ax)
            qy = np.where(len2 > 0, ay + t * dy, ay)
            d2 = (y - qy) * (y - qy) + (x - qx) * (x - qx)
            d = np.sqrt(np.min(d2))
            rx0, rx1 = min(x, far), max(x, far)
            overlap = (
                (np.minimum(ax, bx) <= rx1)
                & (np.maximum(ax, bx) >= rx0)
                & (np.minimum(ay, by) <= y)
                & (np.maximum(ay, by) >= y)
            )
            span = (np.minimum(ay, by) <= y) & (y < np.maximum(ay, by))
            xc = ((bx - ax) * (y - ay)) / (by - ay) + ax
            inside = bool(np.count_nonzero(overlap & span & (xc > x)) % 2)
            out[k] = -d if inside else d
    return out


@st.composite
def segments_arg(draw):
    pick = draw(st.integers(0, 9))
    if pick <= 6:
        s = draw(st.integers(0, 6))
        shape = (
            (s, 2, 2)
            if pick <= 4
            else (s, draw(st.sampled_from([1, 2, 3])), draw(st.sampled_from([1, 2, 3])))
        )
        values = SEGMENT_VALUES if pick <= 2 else FLOAT_VALUES
        return draw(arrays(np.float32, shape, values=values))
    return draw(array_arg(np.float32, 3))


@SETTINGS
@given(
    seg=segments_arg(),
    px=st.lists(st.sampled_from([-1.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 13.0, np.nan]), max_size=6),
)
def test_coastline_any_segments(seg, px):
    coast, exc = call(orvik.coastline, seg)
    wrong = first_wrong_array([("segments_py", seg, np.float32, 3)])
    if wrong:
        assert_type_mismatch(exc, seg, "ndarray", "segments_py")
        return
    if seg.shape[1:] != (2, 2):
        assert isinstance(exc, ValueError)
        assert str(exc) == "segments must have shape (S, 2, 2), got ({}, {}, {})".format(*seg.shape)
        return
    assert exc is None, repr(exc)
    assert len(coast) == seg.shape[0]
    x = np.array(px, np.float32)
    y = np.array(px[::-1], np.float32)
    d = coast.signed_distance(x, y)
    assert d.shape == x.shape and d.dtype == np.float32
    assert np.all(np.isnan(d[np.isnan(x) | np.isnan(y)]) | (seg.shape[0] == 0))
    if np.all(np.isfinite(seg)):
        ok = np.isfinite(x) & np.isfinite(y)
        assert same_bits(d[ok], coastline_reference(seg, x[ok], y[ok]))


@SETTINGS
@given(x=array_arg(np.float32, 1), y=array_arg(np.float32, 1))
def test_signed_distance_any_arrays(x, y):
    coast = unit_square_coastline()
    result, exc = call(coast.signed_distance, x, y)
    wrong = first_wrong_array([("x", x, np.float32, 1), ("y", y, np.float32, 1)])
    if wrong:
        assert_type_mismatch(exc, wrong[1], "ndarray", wrong[0])
        return
    if len(x) != len(y):
        assert isinstance(exc, ValueError)
        assert str(exc) == f"x and y must be the same length, got {len(x)} and {len(y)}"
        return
    assert exc is None, repr(exc)
    assert result.shape == (len(x),) and result.dtype == np.float32 and result.flags.writeable
    n = min(len(x), 40)
    seg = np.array(
        [[[0, 0], [1, 0]], [[1, 0], [1, 1]], [[1, 1], [0, 1]], [[0, 1], [0, 0]]], np.float32
    )
    xs, ys = np.array(x[:n]), np.array(y[:n])
    finite = np.isfinite(xs) & np.isfinite(ys) & (np.abs(xs) < 1e18) & (np.abs(ys) < 1e18)
    assert same_bits(result[:n][finite], coastline_reference(seg, xs[finite], ys[finite]))
    assert np.all(np.isnan(result[:n][np.isnan(xs) | np.isnan(ys)]))
    assert coast.signed_distance(np.array([0.5], np.float32), np.array([0.5], np.float32))[
        0
    ] == np.float32(-0.5)


# ------------------------------------------------------------------ mesh model builder


@st.composite
def faces_arg(draw):
    pick = draw(st.integers(0, 9))
    if pick <= 5:
        return KUHN.copy()
    if pick == 6:
        f = KUHN.copy()
        f[draw(st.integers(0, 5)), draw(st.integers(0, 3))] = draw(
            st.sampled_from([8, 2**32 - 1, 2**32, 2**64 - 1])
        )
        return f
    if pick == 7:
        return draw(
            arrays(
                np.uint64,
                (draw(st.integers(0, 3)), draw(st.sampled_from([0, 3, 4, 5]))),
                values=[0, 1, 2, 3, 7],
            )
        )
    return draw(array_arg(np.uint64, 2))


@st.composite
def vertices_arg(draw):
    pick = draw(st.integers(0, 9))
    if pick <= 5:
        v = box_vertices((0, 0, 0), (10, 10, 10))
        if pick == 5:
            v = np.hstack([v, np.full((8, 2), np.nan, np.float32)])
        return v
    if pick == 6:
        return draw(arrays(np.float32, (8, draw(st.sampled_from([0, 2, 3, 4])))))
    return draw(array_arg(np.float32, 2))


BOUNDS = st.one_of(
    st.just((0, 0, 0, 10, 10, 10)),
    st.lists(st.sampled_from([0.0, 1, 10.0, np.nan, np.float32(2)]), min_size=0, max_size=8),
    st.sampled_from(
        [
            "abcdef",
            None,
            3.0,
            {1: 2},
            np.zeros(6),
            (1, 2, 3, 4, 5, "x"),
            (1, 2, 3, 4, 5, FloatRaises()),
        ]
    ),
)
VERTICALS = st.sampled_from(["elevation", "depth", "Depth", "", 'a"b\\c\n', None, 1, b"depth"])


def quoted(text):
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\0":
            out.append("\\0")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def builder_expectation(vertices, faces, priority, vertical, bounds):
    """(exception type, message or None, note or None) for the constructor, or None when it succeeds."""
    wrong = first_wrong_array(
        [("vertices", vertices, np.float32, 2), ("faces", faces, np.uint64, 2)]
    )
    if wrong:
        return TypeError, mismatch_text(wrong[1], "ndarray"), wrong[0]
    p = priority_failure(priority)
    if p:
        return p[0], p[1], "priority"
    if not isinstance(vertical, str):
        return TypeError, None, "vertical"
    if vertical not in ("elevation", "depth"):
        return ValueError, f"vertical must be 'elevation' or 'depth', got {quoted(vertical)}", None
    if isinstance(bounds, str):
        return TypeError, None, "bounds"
    if not isinstance(bounds, (list, tuple)) and not isinstance(bounds, np.ndarray):
        return TypeError, None, "bounds"
    if len(bounds) != 6:
        return ValueError, f"expected a sequence of length 6 (got {len(bounds)})", None
    for item in bounds:
        _, err = float_conversion(item)
        if err:
            return err, None, "bounds"
    if faces.shape[0] and faces.shape[1] >= 4 and np.any(faces[:, :4] >= 2**32):
        return ValueError, "vertex indices must fit in 32 bits", None
    return None


@SETTINGS
@given(
    vertices=vertices_arg(),
    faces=faces_arg(),
    priority=PRIORITIES,
    vertical=VERTICALS,
    bounds=BOUNDS,
    qualities=st.one_of(st.just("good"), array_arg(np.float32, 2, sides=(0, 5, 6, 7, 8, 9))),
)
def test_builder_and_interpolated_any_input(vertices, faces, priority, vertical, bounds, qualities):
    Builder = orvik.MeshModelBuilder
    builder, exc = call(Builder, vertices, faces, priority, vertical, bounds)
    expected = builder_expectation(vertices, faces, priority, vertical, bounds)
    # Rows that cannot be read (fewer than 3 vertex columns, 4 face columns)
    # must fail somehow; the class and wording are free.
    unreadable = (
        right(vertices, np.float32, 2)
        and right(faces, np.uint64, 2)
        and (
            (vertices.shape[0] and vertices.shape[1] < 3) or (faces.shape[0] and faces.shape[1] < 4)
        )
    )
    if expected:
        if unreadable and exc is not None and not isinstance(exc, expected[0]):
            return
        etype, msg, note = expected
        assert isinstance(exc, etype), (repr(exc), expected)
        if msg is not None:
            assert str(exc) == msg
        if note is not None:
            assert_note(exc, note)
        return
    if unreadable:
        assert exc is not None
        return
    assert exc is None, repr(exc)
    if isinstance(qualities, str):
        qualities = quality_rows(vertices.shape[0])
    model, exc = call(builder.interpolated, qualities)
    if not right(qualities, np.float32, 2):
        assert_type_mismatch(exc, qualities, "ndarray", "qualities")
        # The builder stays collecting: a good finisher still works or fails in the build.
        model, exc = call(builder.interpolated, quality_rows(vertices.shape[0]))
    elif qualities.shape[0] and qualities.shape[1] < 6:
        assert exc is not None and not isinstance(exc, (SystemError,))
        model, exc = call(builder.interpolated, quality_rows(vertices.shape[0]))
    elif qualities.shape[0] != vertices.shape[0]:
        assert isinstance(exc, ValueError)
        assert str(exc) == 'Model "": the field doesn\'t cover every vertex or simplex of the mesh'
    # Whatever happened, the builder has built now.
    again, exc2 = call(builder.interpolated, quality_rows(vertices.shape[0]))
    assert (
        isinstance(exc2, ValueError) and str(exc2) == "MeshModelBuilder has already built a model"
    )
    if exc is not None:
        assert isinstance(exc, ValueError), repr(exc)
        assert str(exc).startswith('Model "": ') or "transform" in str(exc)
        return
    view = model.view()
    assert view["priority"] == priority.__index__() and view["id"] == 0
    assert len(view["bounds"]) == 6
    lo, hi = model.aabb()
    assert lo.dtype == np.float32 and hi.shape == (3,)
    for point in [(5.0, 5.0, 5.0), (np.nan, 1.0, 1.0), (1e30, 0, 0), (-0.0, 0.0, 0.0)]:
        q = model.query(*point)
        assert q is None or list(q) == ["rho", "vp", "vs", "qp", "qs", "alpha"]


@SETTINGS
@given(
    alpha=array_arg(np.float32, 1, sides=(7, 8, 8, 9)),
    depth=array_arg(np.float32, 1, sides=(8, 8, 9)),
    tops=array_arg(np.float32, 1, sides=(0, 1, 2, 3)),
    layers=array_arg(np.float32, 2, sides=(0, 1, 2, 3, 4, 5)),
)
def test_depth_profile_any_input(alpha, depth, tops, layers):
    builder = orvik.MeshModelBuilder(
        box_vertices((0, 0, 0), (1, 1, 1)), KUHN.copy(), 3, "depth", (0, 0, 0, 1, 1, 1)
    )
    model, exc = call(builder.depth_profile, alpha, depth, tops, layers)
    wrong = first_wrong_array(
        [
            ("alpha", alpha, np.float32, 1),
            ("depth", depth, np.float32, 1),
            ("tops", tops, np.float32, 1),
            ("layers", layers, np.float32, 2),
        ]
    )
    collecting = True
    if wrong:
        assert_type_mismatch(exc, wrong[1], "ndarray", wrong[0])
    elif layers.shape[1] != 5:
        assert isinstance(exc, ValueError)
        assert (
            str(exc)
            == f"profile qualities must have 5 columns [rho, vp, vs, qp, qs], got {layers.shape[1]}"
        )
    elif layers.shape[0] == 0:
        assert isinstance(exc, ValueError) and str(exc) == "depth profile has no layers"
    elif len(tops) != layers.shape[0]:
        assert (
            isinstance(exc, ValueError)
            and str(exc) == "profile tops and qualities differ in length"
        )
    elif np.any(np.isnan(tops[1:])) or any(not tops[k] > tops[k - 1] for k in range(2, len(tops))):
        assert (
            isinstance(exc, ValueError) and str(exc) == "profile layer tops must strictly increase"
        )
    elif len(alpha) != len(depth):
        assert (
            isinstance(exc, ValueError)
            and str(exc) == "depth profile needs one alpha and one depth per vertex"
        )
    elif len(alpha) != 8:
        collecting = False
        assert isinstance(exc, ValueError)
        assert str(exc) == 'Model "": the field doesn\'t cover every vertex or simplex of the mesh'
    else:
        collecting = False
        assert exc is None, repr(exc)
        assert model.view()["vertical"] == "Depth"
        for z in (0.5, np.nan, 0.0, 1.0, 2.0):
            q = model.query(0.25, 0.25, z)
            assert q is None or list(q) == ["rho", "vp", "vs", "qp", "qs", "alpha"]
    # A failed validation leaves the builder collecting; anything after it is built.
    good = np.ones(8, np.float32)
    second, exc2 = call(
        builder.depth_profile, good, good, np.array([0.0], np.float32), np.ones((1, 5), np.float32)
    )
    if collecting:
        assert exc2 is None, repr(exc2)
        assert second.query(0.25, 0.25, 0.25)["rho"] == 1.0
    else:
        assert (
            isinstance(exc2, ValueError)
            and str(exc2) == "MeshModelBuilder has already built a model"
        )


@SETTINGS
@given(
    transform=array_arg(np.float32, 2, sides=(0, 1, 2, 4, 4, 8)),
    name=st.one_of(st.text(max_size=6), NON_ARRAYS),
)
def test_builder_transform_and_name_any_input(transform, name):
    builder = orvik.MeshModelBuilder(
        box_vertices((0, 0, 0), (1, 1, 1)), KUHN.copy(), 0, "elevation", (0, 0, 0, 1, 1, 1)
    )
    result, exc = call(builder.transform, transform)
    if not right(transform, np.float32, 2):
        assert_type_mismatch(exc, transform, "ndarray", "transform")
    elif transform.size < 16:
        assert exc is not None  # unreadable: class and wording are free
    else:
        assert exc is None and result is builder
    result, exc = call(builder.name, name)
    if isinstance(name, str):
        assert exc is None and result is builder
    else:
        assert isinstance(exc, TypeError)
        assert_note(exc, "name")
    model, exc = call(builder.interpolated, quality_rows(8))
    if exc is None:
        if isinstance(name, str):
            assert model.name == name
    else:
        assert isinstance(exc, ValueError), repr(exc)


@SETTINGS
@given(x=SCALARS, y=SCALARS, z=SCALARS)
def test_mesh_model_query_any_scalars(x, y, z):
    model = box_model()
    result, exc = call(model.query, x, y, z)
    failed = expected_scalar_failure([("x", x), ("y", y), ("z", z)])
    if failed:
        assert isinstance(exc, failed[1]), repr(exc)
        assert_note(exc, failed[0])
    else:
        assert exc is None, repr(exc)
        fx, fy, fz = (f32(float(v)) for v in (x, y, z))
        inside = all(0 <= v <= 10 for v in (fx, fy, fz))
        strictly = all(0.01 < v < 9.99 for v in (fx, fy, fz))
        if strictly:
            assert result is not None and result["rho"] == pytest.approx(2000.0, rel=1e-5)
        if not inside and not any(math.isnan(v) for v in (fx, fy, fz)):
            far = any(v < -0.01 or v > 10.01 for v in (fx, fy, fz))
            if far:
                assert result is None
    assert model.query(5.0, 5.0, 5.0)["rho"] == pytest.approx(2000.0, rel=1e-5)


# ------------------------------------------------------------------ model tree


@st.composite
def model_items(draw):
    kinds = draw(
        st.lists(
            st.sampled_from(["fresh", "fresh", "consumed", "same", "str", "int", "grid", "none"]),
            max_size=4,
        )
    )
    items = []
    for kind in kinds:
        if kind == "fresh":
            items.append(box_model(priority=draw(st.integers(0, 255))))
        elif kind == "consumed":
            m = box_model()
            orvik.model_tree([m])
            items.append(m)
        elif kind == "same" and items:
            items.append(items[-1])
        elif kind == "str":
            items.append("x")
        elif kind == "int":
            items.append(1)
        elif kind == "grid":
            items.append(lattice_grid())
        elif kind == "none":
            items.append(None)
    container = draw(st.sampled_from(["list", "tuple", "str", "gen", "int", "dict"]))
    if container == "tuple":
        return items, tuple(items)
    if container == "str":
        return items, "abc"
    if container == "gen":
        return items, (m for m in items)
    if container == "int":
        return items, 5
    if container == "dict":
        return items, {}
    return items, list(items)


@SETTINGS
@given(data=model_items())
def test_model_tree_any_sequence(data):
    items, arg = data
    model_tree = orvik.model_tree
    PyMeshModel = orvik.PyMeshModel
    usable_before = [i for i in items if isinstance(i, PyMeshModel) and call(i.view)[1] is None]
    tree, exc = call(model_tree, arg)
    if isinstance(arg, str):
        assert isinstance(exc, TypeError) and str(exc) == "Can't extract `str` to `Vec`"
        assert_note(exc, "mesh_models")
        return
    if not isinstance(arg, (list, tuple)):
        assert isinstance(exc, TypeError) and str(exc) == mismatch_text(arg, "Sequence")
        assert_note(exc, "mesh_models")
        return
    bad = [i for i in items if not isinstance(i, PyMeshModel)]
    if bad:
        bad = bad[0]
        assert isinstance(exc, TypeError) and str(exc) == mismatch_text(bad, "PyMeshModel")
        assert_note(exc, "mesh_models")
        # No model was touched.
        for m in usable_before:
            assert call(m.view)[1] is None
        return
    seen = set()
    first_bad = None
    for k, m in enumerate(items):
        if id(m) in seen or m not in usable_before:
            first_bad = k
            break
        seen.add(id(m))
    if first_bad is not None:
        assert isinstance(exc, ValueError)
        assert str(exc) == "MeshModel has already been consumed by a previous model_tree() call"
        # All or nothing: a failing call leaves every model it was given usable.
        for m in usable_before:
            assert call(m.view)[1] is None
        return
    assert exc is None, repr(exc)
    view = tree.view()
    assert [d["id"] for d in view["models"]] == list(range(len(items)))
    for m in items:
        _, e = call(m.query, 0.0, 0.0, 0.0)
        assert isinstance(e, ValueError) and str(e) == "MeshModel has been consumed by model_tree()"


def test_model_tree_failing_call_leaves_every_model_usable():
    model_tree = orvik.model_tree
    consumed = box_model()
    model_tree([consumed])
    a = box_model()
    with pytest.raises(
        ValueError,
        match=re.escape("MeshModel has already been consumed by a previous model_tree() call"),
    ):
        model_tree([a, consumed])
    assert a.view()["id"] == 0
    b = box_model()
    with pytest.raises(
        ValueError,
        match=re.escape("MeshModel has already been consumed by a previous model_tree() call"),
    ):
        model_tree([b, b])
    assert b.query(0.0, 0.0, 0.0) is None or isinstance(b.query(0.0, 0.0, 0.0), dict)
    assert [m["id"] for m in model_tree([a, b]).view()["models"]] == [0, 1]


@SETTINGS
@given(x=SCALARS, y=SCALARS, z=SCALARS, depth=SCALARS, lo=PRIORITIES, hi=PRIORITIES)
def test_tree_query_any_scalars(x, y, z, depth, lo, hi):
    tree = layered_tree()
    try:
        check_tree_query(tree, x, y, z, depth, lo, hi)
    finally:
        assert_tree_usable(tree)


def assert_tree_usable(tree):
    # Inside the opaque base model (priority 5) only, and inside the lens too.
    assert tree.query(8.0, 8.0, 8.0, 0.0, 0, 255)["rho"] == pytest.approx(2000.0, rel=1e-5)
    q = tree.query(4.0, 4.0, 4.0, 0.0, 0, 255)
    assert q["alpha"] == pytest.approx(1.0) and q["rho"] == pytest.approx(2500.0, rel=1e-4)


def check_tree_query(tree, x, y, z, depth, lo, hi):
    result, exc = call(tree.query, x, y, z, depth, lo, hi)
    failed = expected_scalar_failure([("x", x), ("y", y), ("z", z), ("depth", depth)])
    if failed:
        assert isinstance(exc, failed[1]), repr(exc)
        assert_note(exc, failed[0])
        return
    if priority_failed(exc, lo, hi):
        return
    assert exc is None, repr(exc)
    # The vectorised query gives the same row bit for bit.
    pt = [np.array([f32(float(v))], np.float32) for v in (x, y, z, depth)]
    out = np.full((1, 6), -7.0, np.float32)
    tree.query_many(out, orvik.QueryCoordinates(*pt), orvik.QueryParams(lo, hi))
    if result is None:
        assert np.all(out == -7.0)
    else:
        assert same_bits(out[0], np.array(list(result.values()), np.float32))
    # The diagnostics over the full range agree with it.
    if lo.__index__() == 0 and hi.__index__() == 255:
        stats = tree.query_stats(x, y, z, depth)
        assert list(stats) == ["aabb_tests", "simplex_tests", "hit_count", "output", "elapsed"]
        assert stats["output"] == result or same_bits(
            np.array(list(stats["output"].values()), np.float32),
            np.array(list(result.values()), np.float32),
        )
        ex = tree.explain(x, y, z, depth)
        assert list(ex) == ["contributions", "output", "termination"]
        assert (ex["output"] is None) == (result is None)


orvik_params = {}


def query_params(lo, hi):
    """QueryParams exposes nothing; remember what it was made from."""
    p = orvik.QueryParams(lo, hi)
    orvik_params[id(p)] = (lo, hi)
    return p


@st.composite
def coords_arg(draw):
    n = draw(st.sampled_from([0, 3, 3, 3, 4]))
    pick = draw(st.integers(0, 9))
    arrays_ = [
        draw(arrays(np.float32, (n,), values=[1.0, 3.0, 5.0, 25.0, np.nan, 100.0]))
        for _ in range(4)
    ]
    if pick == 7:
        arrays_[draw(st.integers(0, 3))] = draw(
            arrays(np.float32, (draw(st.sampled_from([2, 5])),))
        )
    mask = None
    if pick >= 5:
        mask = draw(arrays(np.bool_, (draw(st.sampled_from([n, n, 2])),), values=[0, 1]))
    return orvik.QueryCoordinates(*arrays_, mask=mask), arrays_, mask


@SETTINGS
@given(
    out=array_arg(np.float32, 2, sides=(0, 3, 3, 3, 4, 5, 6, 6)),
    coords=st.one_of(coords_arg(), coords_arg(), NON_ARRAYS.map(lambda o: (o, None, None))),
    params=st.one_of(
        st.builds(lambda a, b: query_params(a, b), st.integers(0, 255), st.integers(0, 255)),
        NON_ARRAYS,
    ),
)
def test_query_many_any_input(out, coords, params):
    tree = layered_tree()
    try:
        check_query_many(tree, out, coords, params)
    finally:
        assert_tree_usable(tree)


def check_query_many(tree, out, coords, params):
    coords, columns, mask = coords
    before = np.array(out, copy=True) if isinstance(out, np.ndarray) else None
    result, exc = call(tree.query_many, out, coords, params)
    if not right(out, np.float32, 2):
        assert_type_mismatch(exc, out, "ndarray", "out")
        return
    if not out.flags.writeable:
        assert is_internal(exc), repr(exc)
        assert same_bits(out, before)
        return
    if not isinstance(coords, orvik.QueryCoordinates):
        assert_type_mismatch(exc, coords, "QueryCoordinates", "coords")
        return
    if not isinstance(params, orvik.QueryParams):
        assert_type_mismatch(exc, params, "QueryParams", "params")
        return
    # Length and shape checks, in this order; out is left unchanged on failure.
    if exc is not None:
        assert isinstance(exc, ValueError), repr(exc)
        msg = str(exc)
        assert (
            re.fullmatch(
                r"x, y, z, depth must have the same length; got x=\d+, y=\d+, z=\d+, depth=\d+", msg
            )
            or re.fullmatch(r"out must have shape \(\d+, 6\); got \[\d+, \d+\]", msg)
            or re.fullmatch(r"where mask must have length \d+; got \d+", msg)
        ), msg
        assert same_bits(out, before)
        return
    assert result is None
    lo, hi = orvik_params[id(params)] if id(params) in orvik_params else (0, 255)
    for i in range(out.shape[0]):
        q = tree.query(*(float(c[i]) for c in columns), lo, hi)
        if (mask is not None and not mask[i]) or q is None:
            assert same_bits(out[i], before[i])  # left as the caller had it
        else:
            assert same_bits(out[i], np.array(list(q.values()), np.float32))


@SETTINGS
@given(
    x=array_arg(np.float32, 1),
    y=array_arg(np.float32, 1),
    z=array_arg(np.float32, 1),
    depth=array_arg(np.float32, 1),
    mask=st.one_of(st.none(), array_arg(np.bool_, 1)),
)
def test_query_coordinates_any_arrays(x, y, z, depth, mask):
    QueryCoordinates = orvik.QueryCoordinates
    coords, exc = call(QueryCoordinates, x, y, z, depth, mask)
    wrong = first_wrong_array(
        [
            ("x", x, np.float32, 1),
            ("y", y, np.float32, 1),
            ("z", z, np.float32, 1),
            ("depth", depth, np.float32, 1),
        ]
    )
    if wrong:
        assert_type_mismatch(exc, wrong[1], "ndarray", wrong[0])
        return
    if mask is not None and not right(mask, np.bool_, 1):
        assert_type_mismatch(exc, mask, "ndarray", "mask")
        return
    assert exc is None, repr(exc)
    # Lengths are only checked by the query.
    n = len(x)
    out = np.zeros((n, 6), np.float32)
    tree = layered_tree()
    _, qexc = call(tree.query_many, out, coords, orvik.QueryParams(0, 255))
    lengths_ok = len(y) == len(z) == len(depth) == n
    mask_ok = mask is None or len(mask) == n
    if lengths_ok and mask_ok:
        assert qexc is None, repr(qexc)
    else:
        assert isinstance(qexc, ValueError), repr(qexc)


@SETTINGS
@given(lo=PRIORITIES, hi=PRIORITIES)
def test_query_params_any_values(lo, hi):
    params, exc = call(orvik.QueryParams, lo, hi)
    if priority_failed(exc, lo, hi):
        return
    assert exc is None, repr(exc)


# ------------------------------------------------------------------ adaptive TIN


@st.composite
def boundary_arg(draw):
    pick = draw(st.integers(0, 9))
    if pick <= 3:
        return np.array([[0, 0], [4, 0], [4, 3], [0, 3]], np.float64)[
            :: draw(st.sampled_from([1, -1]))
        ]
    if pick == 4:
        return np.array([[0, 0], [4, 4], [4, 0], [0, 4]], np.float64)  # bow-tie
    if pick <= 7:
        return draw(
            arrays(
                np.float64,
                (draw(st.integers(0, 5)), draw(st.sampled_from([2, 2, 3, 1]))),
                values=[0.0, 1.0, 3.0, -2.0, np.nan, np.inf, 1e300, 1e-300],
            )
        )
    return draw(array_arg(np.float64, 2))


@st.composite
def surfaces_arg(draw):
    pick = draw(st.integers(0, 9))
    if pick == 0:
        return "abc"
    if pick == 1:
        return 3
    items = []
    for _ in range(draw(st.integers(0, 2))):
        kind = draw(st.integers(0, 9))
        samples = draw(
            st.one_of(
                arrays(
                    np.float64, (draw(st.integers(0, 4)), 2), values=[0.5, 1.0, 2.0, 3.5, 10.0, 0.0]
                ),
                array_arg(np.float64, 2),
            )
        )
        spacing = draw(st.sampled_from([1.0, 2, 0.0, -1.0, np.nan, np.inf, "1", None, 0.7]))
        tol = draw(st.sampled_from([0.1, 1, 0.0, np.nan, np.inf, -2.0, FloatRaises(), 0.01]))
        grid = lattice_grid(5, 6, 0.0)
        if kind == 0:
            items.append([grid, samples, spacing, tol])
        elif kind == 1:
            items.append((grid, samples, spacing))
        elif kind == 2:
            items.append(("grid", samples, spacing, tol))
        else:
            items.append((grid, samples, spacing, tol))
    return items


@SETTINGS
@given(
    boundary=boundary_arg(),
    surfaces=surfaces_arg(),
    max_edge=st.sampled_from([None, None, 1.5, 2, 0.0, -1.0, np.nan, np.inf, "x"]),
)
def test_adaptive_tin_any_input(boundary, surfaces, max_edge):
    tin = orvik.adaptive_tin
    result, exc = call(tin, boundary, surfaces, max_edge)
    if not right(boundary, np.float64, 2):
        assert_type_mismatch(exc, boundary, "ndarray", "boundary")
        return
    if isinstance(surfaces, str):
        assert isinstance(exc, TypeError) and str(exc) == "Can't extract `str` to `Vec`"
        assert_note(exc, "surfaces")
        return
    if not isinstance(surfaces, (list, tuple)):
        assert_type_mismatch(exc, surfaces, "Sequence", "surfaces")
        return
    for item in surfaces:
        if not isinstance(item, tuple):
            assert_type_mismatch(exc, item, "tuple", "surfaces")
            return
        if len(item) != 4:
            assert isinstance(exc, ValueError)
            assert str(exc) == f"expected tuple of length 4, but got tuple of length {len(item)}"
            assert_note(exc, "surfaces")
            return
        grid, samples, spacing, tol = item
        if not isinstance(grid, orvik.StructuredGrid):
            assert_type_mismatch(exc, grid, "StructuredGrid", "surfaces")
            return
        if not right(samples, np.float64, 2):
            assert_type_mismatch(exc, samples, "ndarray", "surfaces")
            return
        for v in (spacing, tol):
            _, err = float_conversion(v)
            if err:
                assert isinstance(exc, err), repr(exc)
                assert_note(exc, "surfaces")
                return
    if max_edge is not None and float_conversion(max_edge)[1]:
        assert isinstance(exc, float_conversion(max_edge)[1])
        assert_note(exc, "max_edge")
        return
    unreadable = (
        boundary.shape[0]
        and boundary.shape[1] < 2
        or any(s[1].shape[0] and s[1].shape[1] < 2 for s in surfaces)
    )
    if unreadable:
        assert exc is not None
        return
    params = [float(v) for s in surfaces for v in (s[3], s[2])]
    if max_edge is not None:
        params.append(float(max_edge))
    if not all(p > 0 for p in params):
        assert isinstance(exc, ValueError)
        assert str(exc) == "tolerances, boundary spacings and max_edge must be positive"
        return
    if exc is not None:
        assert isinstance(exc, ValueError), repr(exc)
        assert str(exc) == "boundary must be a simple polygon with at least three vertices"
        return
    vertices, triangles = result
    assert vertices.dtype == np.float64 and vertices.ndim == 2 and vertices.shape[1] == 2
    assert triangles.dtype == np.int64 and triangles.ndim == 2 and triangles.shape[1] == 3
    assert vertices.flags.c_contiguous and triangles.flags.c_contiguous
    if len(triangles):
        assert triangles.min() >= 0 and triangles.max() < len(vertices)
        a, b, c = (vertices[triangles[:, k]] for k in range(3))
        area = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])
        assert np.all(area > 0)


# ------------------------------------------------------------------ argument counts and keywords


def _signatures():
    """(label, callable factory, parameter names, defaults, is_method)."""
    return [
        ("blend_many", lambda: orvik.blend_many, ["lhs", "rhs"], {}, False),
        ("structured_grid", lambda: orvik.structured_grid, ["x", "y", "values"], {}, False),
        ("coastline", lambda: orvik.coastline, ["segments_py"], {}, False),
        ("model_tree", lambda: orvik.model_tree, ["mesh_models"], {}, False),
        (
            "adaptive_tin",
            lambda: orvik.adaptive_tin,
            ["boundary", "surfaces", "max_edge"],
            {"max_edge": None},
            False,
        ),
        (
            "StructuredGrid.query",
            lambda: lattice_grid().query,
            ["x", "y", "clamp"],
            {"clamp": True},
            True,
        ),
        (
            "StructuredGrid.query_many",
            lambda: lattice_grid().query_many,
            ["x", "y", "clamp"],
            {"clamp": True},
            True,
        ),
        (
            "PyCoastline.signed_distance",
            lambda: unit_square_coastline().signed_distance,
            ["x", "y"],
            {},
            True,
        ),
        ("PyMeshModel.query", lambda: box_model().query, ["x", "y", "z"], {}, True),
        (
            "PyModelTree.query",
            lambda: layered_tree().query,
            ["x", "y", "z", "depth", "priority_lo", "priority_hi"],
            {},
            True,
        ),
        (
            "PyModelTree.query_stats",
            lambda: layered_tree().query_stats,
            ["x", "y", "z", "depth"],
            {},
            True,
        ),
        ("PyModelTree.explain", lambda: layered_tree().explain, ["x", "y", "z", "depth"], {}, True),
        (
            "PyModelTree.query_many",
            lambda: layered_tree().query_many,
            ["out", "coords", "params"],
            {},
            True,
        ),
        (
            "QueryParams.__new__",
            lambda: orvik.QueryParams,
            ["priority_lo", "priority_hi"],
            {},
            True,
        ),
        (
            "QueryCoordinates.__new__",
            lambda: orvik.QueryCoordinates,
            ["x", "y", "z", "depth", "mask"],
            {"mask": None},
            True,
        ),
        (
            "MeshModelBuilder.__new__",
            lambda: orvik.MeshModelBuilder,
            ["vertices", "faces", "priority", "vertical", "bounds"],
            {},
            True,
        ),
    ]


SIGNATURES = _signatures()


def reference_function(params, defaults):
    args = ", ".join(f"{p}=None" if p in defaults else p for p in params)
    namespace = {}
    exec(f"def ref({args}):\n    return None\n", namespace)  # noqa: S102 - the interpreter's own wording
    return namespace["ref"]


@pytest.mark.parametrize(
    "label, factory, params, defaults, is_method", SIGNATURES, ids=[s[0] for s in SIGNATURES]
)
@SETTINGS
@given(
    npos=st.integers(0, 8),
    keywords=st.lists(
        st.sampled_from(
            [
                "bogus",
                "x",
                "y",
                "lhs",
                "out",
                "mask",
                "priority_lo",
                "mesh_models",
                "clamp",
                "values",
                "surfaces",
                "faces",
                "segments_py",
            ]
        ),
        unique=True,
        max_size=3,
    ),
)
def test_binding_any_arity(label, factory, params, defaults, is_method, npos, keywords):
    fn = factory()
    positional = [object()] * npos
    kwargs = {k: object() for k in keywords}
    _, expected = call(reference_function(params, defaults), *positional, **kwargs)
    _, exc = call(fn, *positional, **kwargs)
    if expected is None:
        # Binding succeeded; the placeholder objects then fail some conversion.
        assert exc is not None and isinstance(exc, (TypeError, ValueError, OverflowError)), repr(
            exc
        )
        return
    assert isinstance(exc, TypeError), repr(exc)
    text = str(expected).replace("ref()", f"{label}()", 1)
    text = re.sub(r"\. Did you mean '[^']*'\?$", "", text)  # the plain wording, without suggestions
    if npos > len(params) and str(exc).startswith(f"{label}() takes "):
        # Which of several binding errors is reported first is the
        # interpreter's choice; too many positional arguments is one of them.
        return
    if "positional argument" in text and "takes" in text:
        # Whether a method's count includes self is the interpreter's business;
        # the name and the rest of the wording are fixed.
        assert str(exc).startswith(f"{label}() takes "), str(exc)
    else:
        assert str(exc) == text


@pytest.mark.parametrize("method", ["aabb", "view", "print_structure"])
def test_parameterless_methods_reject_arguments(method):
    tree = layered_tree()
    with pytest.raises(TypeError):
        getattr(tree, method)(1)
    with pytest.raises(TypeError):
        getattr(tree, method)(x=1)
    model = box_model()
    if hasattr(model, method):
        with pytest.raises(TypeError):
            getattr(model, method)(1)
