"""Bilinear interpolation on structured grids of Cartesian nodes."""

import math
import re

import numpy as np
import pytest

import orvik
from conftest import run_threads


def lattice(m, n):
    """Axis-aligned nodes with x = column index and y = row index."""
    i, j = np.mgrid[0:m, 0:n].astype(np.float64)
    return j, i


def node_values(m, n):
    i, j = np.mgrid[0:m, 0:n].astype(np.float64)
    # Deliberately not bilinear overall, so neighbouring cells differ.
    return 3.0 * i * i + 7.0 * j - i * j * j + 0.5


def textbook(v, i, j, a, b):
    """Bilinear value at fraction a along the rows and b along the columns of cell (i, j)."""
    return (
        (1 - a) * (1 - b) * v[i, j]
        + (1 - a) * b * v[i, j + 1]
        + a * (1 - b) * v[i + 1, j]
        + a * b * v[i + 1, j + 1]
    )


@pytest.fixture
def axis_grid():
    x, y = lattice(4, 5)
    v = node_values(4, 5)
    return orvik.structured_grid(x, y, v), v


@pytest.mark.parametrize("i", [0, 1, 2])
@pytest.mark.parametrize("j", [0, 1, 3])
@pytest.mark.parametrize("a,b", [(0.25, 0.5), (0.75, 0.125), (0.5, 0.875)])
def test_axis_aligned_textbook_values(axis_grid, i, j, a, b):
    grid, v = axis_grid
    value, outside = grid.query(j + b, i + a)
    assert outside is False
    assert value == pytest.approx(textbook(v, i, j, a, b), rel=1e-14, abs=1e-13)


def test_two_by_two_grid_has_one_cell():
    x, y = lattice(2, 2)
    v = np.array([[1.0, 2.0], [4.0, 8.0]])
    grid = orvik.structured_grid(x, y, v)
    assert grid.query(0.5, 0.5) == (pytest.approx(3.75), False)
    # Beyond the corner (1, 1) with clamping: the corner value.
    assert grid.query(3.0, 7.0) == (8.0, True)


def affine_nodes(m, n, matrix, offset):
    x, y = lattice(m, n)
    pts = np.stack([x, y], axis=-1) @ np.asarray(matrix).T + np.asarray(offset)
    return np.ascontiguousarray(pts[..., 0]), np.ascontiguousarray(pts[..., 1])


@pytest.mark.parametrize(
    "matrix,offset",
    [
        ([[math.cos(0.7), -math.sin(0.7)], [math.sin(0.7), math.cos(0.7)]], [1000.0, -250.0]),
        ([[2.0, 0.6], [0.0, 0.5]], [-3.0, 4.0]),  # sheared and stretched
        ([[-1.0, 0.0], [0.0, 1.0]], [0.0, 0.0]),  # mirrored
    ],
)
def test_rotated_and_sheared_grid_matches_axis_aligned(matrix, offset):
    m, n = 6, 7
    v = node_values(m, n)
    x, y = affine_nodes(m, n, matrix, offset)
    grid = orvik.structured_grid(x, y, v)
    rng = np.random.default_rng(5)
    local = rng.uniform([0, 0], [n - 1, m - 1], size=(200, 2))
    world = local @ np.asarray(matrix).T + np.asarray(offset)
    for (lj, li), (wx, wy) in zip(local, world):
        i, j = min(int(li), m - 2), min(int(lj), n - 2)
        expect = textbook(v, i, j, li - i, lj - j)
        value, outside = grid.query(wx, wy)
        assert outside is False
        assert value == pytest.approx(expect, rel=1e-9, abs=1e-9)


def test_curved_grid_inverts_each_cell_exactly():
    m, n = 8, 9
    i, j = np.mgrid[0:m, 0:n].astype(np.float64)
    x = j + 0.15 * np.sin(i * 0.9)
    y = i + 0.1 * np.cos(j * 1.3) + 0.02 * j * j
    v = node_values(m, n)
    grid = orvik.structured_grid(x, y, v)
    rng = np.random.default_rng(9)
    for _ in range(300):
        ci, cj = rng.integers(0, m - 1), rng.integers(0, n - 1)
        a, b = rng.uniform(0.01, 0.99, size=2)
        # Forward bilinear map of the cell's corners.
        px = textbook(x, ci, cj, a, b)
        py = textbook(y, ci, cj, a, b)
        value, outside = grid.query(px, py)
        assert outside is False
        assert value == pytest.approx(textbook(v, ci, cj, a, b), rel=1e-9, abs=1e-9)


@pytest.mark.parametrize(
    "px,py,node",
    [(2.0, 1.0, (1, 2)), (4.0, 3.0, (3, 4)), (0.0, 0.0, (0, 0)), (3.0, 2.0, (2, 3))],
)
def test_points_on_shared_nodes_are_inside(axis_grid, px, py, node):
    grid, v = axis_grid
    value, outside = grid.query(px, py)
    assert outside is False
    assert value == pytest.approx(v[node], rel=1e-15)


def test_point_on_shared_edge_is_inside(axis_grid):
    grid, v = axis_grid
    value, outside = grid.query(2.0, 1.5)  # on the column line j = 2 between rows 1 and 2
    assert outside is False
    assert value == pytest.approx(0.5 * (v[1, 2] + v[2, 2]), rel=1e-15)


def test_beyond_last_column(axis_grid):
    grid, v = axis_grid
    value, outside = grid.query(6.5, 1.25)
    assert outside is True
    assert value == pytest.approx(0.75 * v[1, 4] + 0.25 * v[2, 4], rel=1e-15)
    value, outside = grid.query(6.5, 1.25, clamp=False)
    assert outside is True
    assert math.isnan(value)


@pytest.mark.parametrize(
    "px,py,node",
    [(-5.0, -5.0, (0, 0)), (10.0, -1.0, (0, 4)), (-2.0, 9.0, (3, 0)), (9.0, 9.0, (3, 4))],
)
def test_beyond_corner_gives_corner_value(axis_grid, px, py, node):
    grid, v = axis_grid
    assert grid.query(px, py) == (v[node], True)
    value, outside = grid.query(px, py, False)
    assert outside is True and math.isnan(value)


def test_within_tolerance_band_is_inside(axis_grid):
    grid, v = axis_grid
    value, outside = grid.query(4.0 + 5e-10, 3.0 + 5e-10)
    assert outside is False
    assert value == v[3, 4]
    assert grid.query(4.0 + 1e-6, 1.0)[1] is True


def test_numpy_bool_clamp_and_nan_point(axis_grid):
    grid, _ = axis_grid
    value, outside = grid.query(np.float64(9.0), 1.0, clamp=np.bool_(False))
    assert outside is True and math.isnan(value)
    value, outside = grid.query(float("nan"), 1.0)
    assert outside is True and math.isnan(value)


def test_collapsed_cell_gives_nan_even_with_clamp():
    # The second cell of this 2 x 3 grid collapses to the point (1, 0).
    x = np.array([[0.0, 1.0, 1.0], [0.0, 1.0, 1.0]])
    y = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
    grid = orvik.structured_grid(x, y, np.ones((2, 3)))
    value, outside = grid.query(5.0, 0.0)
    assert outside is True
    assert math.isnan(value)


def test_query_many_matches_query_and_reads_strides(axis_grid):
    grid, _ = axis_grid
    rng = np.random.default_rng(1)
    pts = rng.uniform(-2.0, 7.0, size=(2, 400))
    xs, ys = pts[0, ::2], pts[1, ::2]  # strided views
    for clamp in (True, False):
        values, outside = grid.query_many(xs, ys, clamp)
        assert values.dtype == np.float64 and outside.dtype == np.bool_
        assert values.shape == (200,) and outside.shape == (200,)
        assert values.flags.c_contiguous and values.flags.writeable
        assert outside.flags.c_contiguous and outside.flags.writeable
        assert type(values.base).__name__ == "PySliceContainer"
        assert type(outside.base).__name__ == "PySliceContainer"
        for k in range(200):
            v, o = grid.query(xs[k], ys[k], clamp)
            assert outside[k] == o
            assert (math.isnan(v) and math.isnan(values[k])) or values[k] == v


def test_query_many_empty(axis_grid):
    grid, _ = axis_grid
    values, outside = grid.query_many(np.empty(0), np.empty(0))
    assert values.shape == (0,) and values.dtype == np.float64
    assert outside.shape == (0,) and outside.dtype == np.bool_


def test_query_many_length_mismatch(axis_grid):
    grid, _ = axis_grid
    with pytest.raises(
        ValueError, match=re.escape("x and y must have the same length; got x=3, y=4")
    ):
        grid.query_many(np.zeros(3), np.zeros(4))


def test_grid_copies_its_arrays():
    x, y = lattice(3, 3)
    v = node_values(3, 3)
    grid = orvik.structured_grid(x, y, v)
    before = grid.query(0.5, 0.5)
    x += 100.0
    v[:] = -1.0
    assert grid.query(0.5, 0.5) == before


def test_strided_input_arrays():
    x, y = lattice(6, 8)
    v = node_values(6, 8)
    grid = orvik.structured_grid(x[::2, ::-2], y[::2, ::-2], v[::2, ::-2])
    # Node (1, 1) of the view is node (2, 5) of the full arrays.
    assert grid.query(5.0, 2.0) == (pytest.approx(v[2, 5], rel=1e-15), False)


def test_shape_mismatch_message():
    a = np.zeros((3, 4))
    with pytest.raises(
        ValueError,
        match=re.escape("x, y and values must have the same shape; got (3, 4), (3, 4) and (3, 5)"),
    ):
        orvik.structured_grid(a, a, np.zeros((3, 5)))


@pytest.mark.parametrize("shape,text", [((1, 5), "1x5"), ((5, 1), "5x1"), ((0, 0), "0x0")])
def test_size_message(shape, text):
    a = np.zeros(shape)
    with pytest.raises(
        ValueError, match=re.escape(f"grid must have at least two rows and columns; got {text}")
    ):
        orvik.structured_grid(a, a, a)


@pytest.mark.parametrize("kind", ["line", "point"])
def test_collinear_nodes(kind):
    t = np.arange(12, dtype=np.float64).reshape(3, 4)
    if kind == "line":
        x, y = t, 2.0 * t + 1.0
    else:
        x, y = np.full((3, 4), 2.5), np.full((3, 4), -1.0)
    with pytest.raises(ValueError, match=re.escape("grid nodes are collinear")):
        orvik.structured_grid(x, y, t)


@pytest.mark.parametrize("bad_index", [0, 1, 2])
@pytest.mark.parametrize("bad", [np.zeros((3, 3), np.float32), np.zeros(9), [[0.0] * 3] * 3])
def test_argument_types(bad_index, bad):
    x, y = lattice(3, 3)
    args = [x, y, node_values(3, 3)]
    args[bad_index] = bad
    with pytest.raises(TypeError, match="is not an instance of 'ndarray'") as info:
        orvik.structured_grid(*args)
    assert info.value.__notes__ == [f"while processing '{('x', 'y', 'values')[bad_index]}'"]


def test_clamp_none_is_not_the_default(axis_grid):
    grid, _ = axis_grid
    with pytest.raises(TypeError, match=re.escape("'None' is not an instance of 'bool'")) as info:
        grid.query(1.0, 1.0, None)
    assert info.value.__notes__ == ["while processing 'clamp'"]
    with pytest.raises(TypeError, match=re.escape("'int' object is not an instance of 'bool'")):
        grid.query_many(np.zeros(2), np.zeros(2), clamp=1)


def test_query_coordinate_conversion(axis_grid):
    grid, _ = axis_grid
    with pytest.raises(TypeError) as info:
        grid.query("a", 1.0)
    assert info.value.__notes__ == ["while processing 'x'"]
    assert grid.query(1, 2) == grid.query(1.0, 2.0)


def test_binding_errors(axis_grid):
    grid, _ = axis_grid
    with pytest.raises(
        TypeError,
        match=re.escape("StructuredGrid.query() missing 1 required positional argument: 'y'"),
    ):
        grid.query(1.0)
    with pytest.raises(
        TypeError,
        match=re.escape("StructuredGrid.query_many() got an unexpected keyword argument 'z'"),
    ):
        grid.query_many(np.zeros(1), np.zeros(1), z=1)
    with pytest.raises(
        TypeError,
        match=re.escape("structured_grid() missing 1 required positional argument: 'values'"),
    ):
        orvik.structured_grid(np.zeros((2, 2)), np.zeros((2, 2)))


def test_class_surface():
    assert orvik.StructuredGrid.__doc__.splitlines()[0] == (
        "A structured grid of Cartesian nodes, interpolated bilinearly."
    )
    assert orvik.structured_grid.__text_signature__ == "(x, y, values)"
    assert orvik.structured_grid.__doc__.splitlines()[0] == (
        "Create a [`PyStructuredGrid`] from `(m, n)` NumPy arrays of Cartesian node"
    )
    assert orvik.StructuredGrid.query.__text_signature__ == "($self, x, y, clamp=True)"
    assert orvik.StructuredGrid.query.__doc__.splitlines()[0] == (
        "Interpolate at one point, returning `(value, outside)`."
    )
    assert orvik.StructuredGrid.query_many.__text_signature__ == "($self, x, y, clamp=True)"
    assert (
        "Returns the `(N,)` interpolated values and an `(N,)` boolean mask\n"
        "of the points outside the grid." in orvik.StructuredGrid.query_many.__doc__
    )
    with pytest.raises(TypeError):
        orvik.StructuredGrid()
    with pytest.raises(TypeError):
        type("Sub", (orvik.StructuredGrid,), {})
    x, y = lattice(2, 2)
    grid = orvik.structured_grid(x, y, x)
    with pytest.raises(AttributeError):
        grid.extra = 1


def test_query_many_from_several_threads():
    x, y = lattice(300, 300)
    grid = orvik.structured_grid(x, y, node_values(300, 300))
    rng = np.random.default_rng(3)
    px, py = rng.uniform(-1, 300, 200_000), rng.uniform(-1, 300, 200_000)
    expected = grid.query_many(px, py)
    outputs = []
    run_threads(lambda k: outputs.append(grid.query_many(px, py)), 4)
    assert len(outputs) == 4
    for values, outside in outputs:
        np.testing.assert_array_equal(values, expected[0])
        np.testing.assert_array_equal(outside, expected[1])
