"""Every public call, on its success and error paths, repeated many times:
resident memory, Python allocations and the reference counts of the objects
involved (arguments, receivers, the module's types) stay flat."""

import contextlib
import ctypes
import gc
import os
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import orvik
from conftest import (
    CLASSES,
    KUHN,
    box_model,
    box_vertices,
    is_internal,
    lattice_grid,
    layered_tree,
    quality_rows,
    unit_square_coastline,
)

PAGE = resource.getpagesize()


def _sanitized():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# AddressSanitizer keeps freed memory in quarantine and serves it from its own
# allocator, so resident memory and the C heap say nothing there; the
# sanitizer's own run (make asan) checks the memory, these checks the rest.
SANITIZED = _sanitized()


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_in_use():
    """Bytes the C heap has handed out and not taken back (native leaks show
    here long before they move resident memory by a page)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def swallow(fn, *args, **kwargs):
    """Calls fn; an expected exception (internal error included) is dropped."""
    try:
        return fn(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError):
        return None
    except BaseException as exc:  # noqa: BLE001
        if is_internal(exc):
            return None
        raise


@contextlib.contextmanager
def quiet_stdout():
    """print_structure writes to the process's stdout stream itself."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


# ------------------------------------------------------------------ scenarios
# Each returns (one call, objects whose reference counts must not move).


def types():
    return [getattr(orvik, n) for n in CLASSES]


def s_blend_ok():
    q = quality_rows(200, alpha=0.5)
    return (lambda: orvik.blend_many(q, q[::-1])), [q]


def s_blend_errors():
    a, b, c = quality_rows(3), quality_rows(4), np.zeros((3, 6))
    return (
        lambda: (
            swallow(orvik.blend_many, a, b),
            swallow(orvik.blend_many, c, a),
            swallow(orvik.blend_many, a, rhs=None),
            swallow(orvik.blend_many, a),
        )
    ), [a, b, c]


def grid_arrays():
    i, j = np.meshgrid(np.arange(20.0), np.arange(30.0), indexing="ij")
    return j.copy(), i.copy(), (i * j).copy()


def s_grid_build():
    x, y, v = grid_arrays()
    bad = np.zeros((2, 2))
    return (
        lambda: (
            orvik.structured_grid(x, y, v),
            swallow(orvik.structured_grid, x, y, v[:, :5]),
            swallow(orvik.structured_grid, bad, bad, bad),
            swallow(orvik.structured_grid, x, y, 1.0),
        )
    ), [x, y, v, bad]


def s_grid_query():
    grid = lattice_grid()
    return (
        lambda: (
            grid.query(1.5, 1.5),
            grid.query(100.0, 1.0, False),
            swallow(grid.query, "a", 1.0),
            swallow(grid.query, 1.0, 1.0, None),
        )
    ), [grid]


def s_grid_query_many():
    grid = lattice_grid()
    x = np.linspace(-2, 6, 300)
    short = x[:10]
    return (
        lambda: (
            grid.query_many(x, x[::-1], True),
            swallow(grid.query_many, x, short),
            swallow(grid.query_many, x.astype(np.float32), x),
        )
    ), [grid, x, short]


def s_coastline():
    seg = np.random.default_rng(1).uniform(-1, 1, (100, 2, 2)).astype(np.float32)
    bad = np.zeros((3, 2, 3), np.float32)
    coastline = orvik.coastline
    return (lambda: (len(coastline(seg)), swallow(coastline, bad), swallow(coastline, "s"))), [
        seg,
        bad,
    ]


def s_signed_distance():
    coast = unit_square_coastline()
    x = np.linspace(-1, 2, 300).astype(np.float32)
    return (
        lambda: (
            coast.signed_distance(x, x[::-1]),
            swallow(coast.signed_distance, x, x[:3]),
            len(coast),
        )
    ), [coast, x]


def s_builder():
    Builder = orvik.MeshModelBuilder
    v = box_vertices((0, 0, 0), (1, 1, 1))
    f = KUHN.copy()
    big = f.copy()
    big[0, 0] = 2**32
    t = np.eye(4, dtype=np.float32)
    bounds = (0, 0, 0, 1, 1, 1)

    def once():
        b = Builder(v, f, 3, "elevation", bounds)
        b.transform(t).name("leak check \u00e9")
        swallow(Builder, v, f, 3, "Depth", bounds)
        swallow(Builder, v, f, 3, "depth", bounds[:5])
        swallow(Builder, v, big, 3, "depth", bounds)
        swallow(Builder, v, f, 300, "depth", bounds)
        swallow(Builder, v, f.astype(np.int64), 3, "depth", bounds)

    return once, [v, f, big, t]


def s_interpolated():
    Builder = orvik.MeshModelBuilder
    v = box_vertices((0, 0, 0), (1, 1, 1))
    f = KUHN.copy()
    q = quality_rows(8)
    short = quality_rows(7)
    bad_faces = f.copy()
    bad_faces[1, 3] = 8

    def once():
        b = Builder(v, f, 0, "elevation", (0, 0, 0, 1, 1, 1))
        swallow(b.interpolated, q.astype(np.float64))  # argument error: still collecting
        m = b.interpolated(q)
        swallow(b.interpolated, q)  # already built
        swallow(Builder(v, f, 0, "elevation", (0, 0, 0, 1, 1, 1)).name("x").interpolated, short)
        swallow(Builder(v, bad_faces, 0, "elevation", (0, 0, 0, 1, 1, 1)).interpolated, q)
        return m

    return once, [v, f, q, short, bad_faces]


def s_depth_profile():
    Builder = orvik.MeshModelBuilder
    v = box_vertices((0, 0, 0), (1, 1, 1))
    f = KUHN.copy()
    a = np.ones(8, np.float32)
    tops = np.array([0.0, 1.0, 2.0], np.float32)
    layers = np.ones((3, 5), np.float32)
    bad_tops = np.array([0.0, 1.0, 1.0], np.float32)

    def once():
        b = Builder(v, f, 0, "depth", (0, 0, 0, 1, 1, 1))
        swallow(b.depth_profile, a, a, bad_tops, layers)
        swallow(b.depth_profile, a, a[:7], tops, layers)
        swallow(b.depth_profile, a, a, tops, layers[:, :4])
        m = b.depth_profile(a, a, tops, layers)
        m.query(0.2, 0.2, 0.2)
        return m

    return once, [v, f, a, tops, layers, bad_tops]


def s_mesh_model_methods():
    m = box_model(name="m")
    consumed = box_model()
    orvik.model_tree([consumed])
    return (
        lambda: (
            m.query(5.0, 5.0, 5.0),
            m.query(50.0, 5.0, 5.0),
            m.aabb(),
            m.name,
            m.priority,
            m.view(),
            swallow(m.query, "x", 0, 0),
            swallow(consumed.query, 1.0, 1.0, 1.0),
            swallow(consumed.view),
            swallow(lambda: consumed.name),
        )
    ), [m, consumed]


def s_model_tree():
    model_tree = orvik.model_tree
    consumed = box_model()
    model_tree([consumed])

    def once():
        t = model_tree([box_model(), box_model((1, 1, 1), (2, 2, 2), priority=2)])
        swallow(model_tree, "abc")
        swallow(model_tree, [box_model(), consumed])
        swallow(model_tree, [box_model(), 3])
        swallow(model_tree, 7)
        return t, model_tree([])

    return once, [consumed]


def s_tree_queries():
    tree = layered_tree()
    return (
        lambda: (
            tree.query(4.0, 4.0, 4.0, 0.0, 0, 255),
            tree.query(50.0, 4.0, 4.0, 0.0, 0, 255),
            swallow(tree.query, 4.0, 4.0, 4.0, 0.0, 0, 256),
            swallow(tree.query, 4.0, 4.0, 4.0, 0.0, -1, 3),
            swallow(tree.query, None, 4.0, 4.0, 0.0, 0, 3),
            swallow(tree.query, 4.0, 4.0, 4.0, 0.0, 0),
            tree.query_stats(4.0, 4.0, 4.0, 0.0),
            tree.explain(4.0, 4.0, 4.0, 0.0),
            tree.explain(50.0, 0.0, 0.0, 0.0),
            tree.view(),
            tree.aabb(),
        )
    ), [tree]


def s_tree_query_many():
    tree = layered_tree()
    n = 300
    x = np.linspace(0, 30, n).astype(np.float32)
    y = np.full(n, 4.0, np.float32)
    mask = np.arange(n) % 2 == 0
    coords = orvik.QueryCoordinates(x, y, y, y, mask)
    short = orvik.QueryCoordinates(x, y[:5], y, y)
    params = orvik.QueryParams(0, 255)
    out = np.zeros((n, 6), np.float32)
    wrong = np.zeros((n, 5), np.float32)
    ro = np.zeros((n, 6), np.float32)
    ro.setflags(write=False)
    return (
        lambda: (
            tree.query_many(out, coords, params),
            swallow(tree.query_many, wrong, coords, params),
            swallow(tree.query_many, out, short, params),
            swallow(tree.query_many, ro, coords, params),
            swallow(tree.query_many, out, params, coords),
        )
    ), [tree, x, y, mask, coords, short, params, out, wrong, ro]


def s_empty_tree():
    tree = orvik.model_tree([])
    return (
        lambda: (
            swallow(tree.aabb),
            tree.view(),
            tree.query(0.0, 0.0, 0.0, 0.0, 0, 255),
            tree.query_stats(0.0, 0.0, 0.0, 0.0),
        )
    ), [tree]


def s_print_structure():
    tree = layered_tree()
    return (lambda: tree.print_structure()), [tree]


def s_query_objects():
    QC, QP = orvik.QueryCoordinates, orvik.QueryParams
    x = np.zeros(10, np.float32)
    m = np.zeros(10, bool)
    return (
        lambda: (
            QC(x, x, x, x),
            QC(x, x, x, x, mask=m),
            swallow(QC, x, x, x, x.astype(np.float64)),
            swallow(QC, x, x, x, x, mask=x),
            QP(0, 255),
            swallow(QP, 0, 256),
            swallow(QP, "a", 1),
            swallow(QP, 1),
        )
    ), [x, m]


def s_adaptive_tin():
    tin = orvik.adaptive_tin
    grid = lattice_grid(10, 10, 0.0)
    boundary = np.array([[0, 0], [6, 0], [6, 5], [0, 5]], np.float64)
    samples = np.array([[1.0, 1.0], [3.0, 2.5]])
    bowtie = np.array([[0, 0], [4, 4], [4, 0], [0, 4]], np.float64)
    return (
        lambda: (
            tin(boundary, [(grid, samples, 1.5, 0.05)], 2.0),
            swallow(tin, bowtie, []),
            swallow(tin, boundary, [(grid, samples, 0.0, 0.1)]),
            swallow(tin, boundary, [[grid]]),
            swallow(tin, boundary, "s"),
            swallow(tin, boundary, [], "x"),
        )
    ), [grid, boundary, samples, bowtie]


def s_pickle():
    # __reduce__ and the readers themselves: the pickle module's own caches
    # and free lists would only blur the figures.
    tree, grid, coast = layered_tree(), lattice_grid(), unit_square_coastline()
    model, consumed = box_model(name="p"), box_model()
    orvik.model_tree([consumed])
    x = np.zeros(4, np.float32)
    holders = (orvik.QueryParams(1, 2), orvik.QueryCoordinates(x, x, x, x, np.ones(4, bool)))
    builder = orvik.MeshModelBuilder(
        box_vertices((0, 0, 0), (1, 1, 1)), KUHN.copy(), 0, "depth", (0,) * 6
    )
    tree_state = tree.__reduce__()[1][0]
    broken = tree_state[:-1]

    def once():
        for obj in (tree, grid, coast, model, *holders):
            make, args = obj.__reduce__()
            make(*args)
        swallow(consumed.__reduce__)
        swallow(builder.__reduce__)
        swallow(orvik.PyModelTree.__from_state, broken)
        swallow(orvik.PyModelTree.__from_state, 3)
        swallow(orvik.PyMeshModel.__from_state, tree_state)
        return orvik.PyModelTree.__from_state(memoryview(tree_state))

    return once, [tree, grid, coast, model, consumed, x, *holders, builder, tree_state, broken]


def s_placed_models():
    # Grid and columns models of orvik._native: builds, refusals, queries,
    # views, pickles and trees that consume them.
    from orvik import _native

    axis = np.linspace(0.0, 3.0, 4)
    values = np.ones((4, 4, 4, 6), np.float32)
    edges = np.array([-np.inf, 1.0, np.inf])
    offsets = np.array([0, 2, 4], np.uint64)
    depth = np.array([0.0, 1.0, 0.0, 2.0])
    rows = np.ones((4, 6), np.float32)
    bad = axis[::-1].copy()

    def once():
        grid = _native.grid_model(axis, axis, axis, values, "depth", 1, "g")
        cols = _native.columns_model(edges, axis[:2], offsets, depth, rows, "elevation", 2)
        swallow(_native.grid_model, bad, axis, axis, values, "depth", 1)
        swallow(_native.columns_model, edges, axis[:2], offsets[:2], depth, rows, "depth", 1)
        swallow(_native.grid_model, axis, axis, axis, values[..., :5], "up", 1)
        grid.query(1.0, 1.0, 1.0), cols.view(), grid.aabb()
        make, args = cols.__reduce__()
        tree = orvik.model_tree([grid, make(*args)])
        swallow(orvik.model_tree, [grid])
        swallow(grid.query, 0, 0, 0)
        return tree.explain(0.5, 0.5, 0.5, 0.5), tree.view()

    return once, [axis, values, edges, offsets, depth, rows, bad]


SCENARIOS = {
    "blend_ok": (s_blend_ok, 3000),
    "blend_errors": (s_blend_errors, 5000),
    "grid_build": (s_grid_build, 1000),
    "grid_query": (s_grid_query, 5000),
    "grid_query_many": (s_grid_query_many, 3000),
    "coastline": (s_coastline, 500),
    "signed_distance": (s_signed_distance, 3000),
    "builder": (s_builder, 1500),
    "interpolated": (s_interpolated, 600),
    "depth_profile": (s_depth_profile, 800),
    "mesh_model_methods": (s_mesh_model_methods, 2000),
    "model_tree": (s_model_tree, 300),
    "tree_queries": (s_tree_queries, 1500),
    "tree_query_many": (s_tree_query_many, 2000),
    "empty_tree": (s_empty_tree, 3000),
    "print_structure": (s_print_structure, 2000),
    "query_objects": (s_query_objects, 3000),
    "adaptive_tin": (s_adaptive_tin, 150),
    "pickle": (s_pickle, 2000),
    "placed_models": (s_placed_models, 1000),
}


def growth(once, rounds):
    """What `rounds` more calls add to Python allocations, the C heap and resident memory."""
    gc.collect()
    before = rss(), tracemalloc.get_traced_memory()[0], heap_in_use()
    for _ in range(rounds):
        once()
    gc.collect()
    after = rss(), tracemalloc.get_traced_memory()[0], heap_in_use()
    return [b - a for a, b in zip(before, after)]


def within_limits(rss_grew, py_grew, heap_grew):
    ok = py_grew < 16 * 1024
    if not SANITIZED:
        ok = ok and heap_grew < 64 * 1024 and rss_grew < 512 * 1024
    return ok


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_repeated_calls_do_not_leak(name):
    setup, rounds = SCENARIOS[name]
    once, tracked = setup()
    tracked = tracked + types()
    with quiet_stdout() if name == "print_structure" else contextlib.nullcontext():
        for _ in range(rounds // 4):  # warm up caches and allocator pools
            once()
        gc.collect()
        counts = [sys.getrefcount(o) for o in tracked]
        tracemalloc.start()
        try:
            growth(once, rounds // 2)
            # A leak grows with every call, so every long phase shows it; a
            # cache or pool of the interpreter that happens to grow once does
            # not, so a phase within the limits clears the call.
            phases = [growth(once, rounds)]
            while not within_limits(*phases[-1]) and len(phases) < 3:
                phases.append(growth(once, rounds))
        finally:
            tracemalloc.stop()
    assert [sys.getrefcount(o) for o in tracked] == counts
    rss_grew, py_grew, heap_grew = phases[-1]
    assert py_grew < 16 * 1024, (
        f"Python allocations grew by {py_grew} bytes in each of {len(phases)} phases"
    )
    if not SANITIZED:
        assert heap_grew < 64 * 1024, (
            f"the C heap grew by {heap_grew} bytes in each of {len(phases)} phases"
        )
        assert rss_grew < 512 * 1024, (
            f"resident memory grew by {rss_grew} bytes in each of {len(phases)} phases"
        )


def test_returned_arrays_release_their_buffers():
    """A PySliceContainer frees its buffer when the last array view goes."""
    q = quality_rows(20000)
    for _ in range(5):
        orvik.blend_many(q, q)
    gc.collect()
    base = rss()
    for _ in range(200):  # 200 x 480 kB, released one by one
        out = orvik.blend_many(q, q)
        assert type(out.base).__name__ == "PySliceContainer"
        view = out[::2]
        del out
        assert view.base.base is not None or view.base is not None
        del view
    gc.collect()
    if not SANITIZED:
        assert rss() - base < 8 * 1024 * 1024
