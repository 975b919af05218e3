"""Several Python threads on the same model tree, grid and coastline at once:
the loops release the interpreter lock, results match the single-threaded
ones bit for bit, and conflicting borrows fail at once with the documented
errors without corrupting anything."""

import threading

import numpy as np
import pytest

import orvik
from conftest import (
    KUHN,
    box_model,
    box_vertices,
    is_internal,
    lattice_grid,
    layered_tree,
    quality_rows,
    random_points,
    run_threads,
    same_bits,
)

ROUNDS = 3


def points(n, seed=7):
    return random_points(n, seed, x=(-2, 32), y=(-2, 12), z=(-2, 12), depth=(-2, 12))


@pytest.fixture(scope="module")
def shared():
    tree = layered_tree()
    grid = lattice_grid(40, 50, 0.3)
    ring = np.array(
        [[np.cos(a), np.sin(a)] for a in np.linspace(0, 2 * np.pi, 200, endpoint=False)]
    )
    seg = np.stack([ring, np.roll(ring, -1, axis=0)], axis=1).astype(np.float32) * 10
    coast = orvik.coastline(seg)
    x, y, z, depth = points(60000)
    coords = orvik.QueryCoordinates(x, y, z, depth)
    params = orvik.QueryParams(0, 255)
    ref_out = np.full((len(x), 6), np.nan, np.float32)
    tree.query_many(ref_out, coords, params)
    gx = (x.astype(np.float64) - 5) * 3
    gy = (y.astype(np.float64) - 5) * 3
    ref_grid = grid.query_many(gx, gy, True)
    ref_coast = coast.signed_distance(x - 10, y - 5)
    return dict(
        tree=tree,
        grid=grid,
        coast=coast,
        x=x,
        y=y,
        coords=coords,
        params=params,
        ref_out=ref_out,
        gx=gx,
        gy=gy,
        ref_grid=ref_grid,
        ref_coast=ref_coast,
    )


def test_reference_results_are_meaningful(shared):
    # Some rows hit models and some do not, some points lie outside the grid.
    hit = ~np.isnan(shared["ref_out"][:, 5])
    assert 0 < hit.sum() < len(hit)
    assert 0 < shared["ref_grid"][1].sum() < len(shared["gx"])
    assert (shared["ref_coast"] < 0).any() and (shared["ref_coast"] > 0).any()


def test_concurrent_queries_match_single_threaded_results(shared):
    def work(k):
        for _ in range(ROUNDS):
            if k % 3 == 0:
                out = np.full_like(shared["ref_out"], np.nan)
                shared["tree"].query_many(out, shared["coords"], shared["params"])
                assert same_bits(out, shared["ref_out"])
            elif k % 3 == 1:
                values, outside = shared["grid"].query_many(shared["gx"], shared["gy"], True)
                assert same_bits(values, shared["ref_grid"][0])
                assert np.array_equal(outside, shared["ref_grid"][1])
            else:
                d = shared["coast"].signed_distance(shared["x"] - 10, shared["y"] - 5)
                assert same_bits(d, shared["ref_coast"])
            # Single-point calls interleave with the loops of the others.
            q = shared["tree"].query(4.0, 4.0, 4.0, 0.0, 0, 255)
            assert q is not None and q["alpha"] == pytest.approx(1.0)

    run_threads(work, 6)


def test_all_threads_on_one_object_at_once(shared):
    def work(k):
        for _ in range(ROUNDS):
            out = np.full_like(shared["ref_out"], np.nan)
            shared["tree"].query_many(out, shared["coords"], shared["params"])
            assert same_bits(out, shared["ref_out"])

    run_threads(work)


@pytest.mark.parametrize("kind", ["tree", "grid", "coast", "blend"])
def test_loops_release_the_interpreter_lock(shared, kind):
    """A Python thread keeps running in the middle of the native loop, which
    it could not if the loop held the lock."""
    import time

    big = 6
    x = np.tile(shared["x"], big)
    y = np.tile(shared["y"], big)
    if kind == "tree":
        z = np.tile(points(len(shared["x"]))[2], big)
        out = np.zeros((len(x), 6), np.float32)
        coords = orvik.QueryCoordinates(x, y, z, z)
        call = lambda: shared["tree"].query_many(out, coords, shared["params"])  # noqa: E731
    elif kind == "grid":
        gx, gy = np.tile(shared["gx"], big * 4), np.tile(shared["gy"], big * 4)
        call = lambda: shared["grid"].query_many(gx, gy, True)  # noqa: E731
    elif kind == "coast":
        call = lambda: shared["coast"].signed_distance(x, y)  # noqa: E731
    else:
        q = np.ones((len(x) * 8, 6), np.float32)
        call = lambda: orvik.blend_many(q, q)  # noqa: E731

    ticks = []
    running = threading.Event()
    done = threading.Event()

    def counter():
        running.set()
        while not done.is_set():
            ticks.append(time.perf_counter())

    t = threading.Thread(target=counter)
    t.start()
    running.wait()
    try:
        t0 = time.perf_counter()
        call()
        t1 = time.perf_counter()
    finally:
        done.set()
        t.join()
    if t1 - t0 < 0.02:
        pytest.skip("the call was too short to tell")
    lo, hi = t0 + 0.25 * (t1 - t0), t0 + 0.75 * (t1 - t0)
    assert any(lo < tick < hi for tick in ticks)


def test_shared_out_between_two_concurrent_query_many(shared):
    """The second writer of one `out` fails at once with the internal error;
    the buffer ends with the right results, never a mixture."""
    tree, coords, params = shared["tree"], shared["coords"], shared["params"]
    out = np.full_like(shared["ref_out"], np.nan)
    started = threading.Event()
    finished = threading.Event()
    conflicts = []
    others = []

    def writer():
        # Either side may be the one refused, whichever comes second.
        try:
            started.set()
            for _ in range(4):
                try:
                    tree.query_many(out, coords, params)
                except BaseException as exc:  # noqa: BLE001
                    (conflicts if is_internal(exc) else others).append(exc)
        finally:
            finished.set()

    t = threading.Thread(target=writer)
    t.start()
    started.wait()
    attempts = 0
    while not finished.is_set():
        attempts += 1
        try:
            tree.query_many(out, coords, params)
        except BaseException as exc:  # noqa: BLE001
            (conflicts if is_internal(exc) else others).append(exc)
    t.join()
    assert not others, others[:3]
    assert conflicts, "no overlap was observed"
    assert all("orrow" in str(e) for e in conflicts), str(conflicts[0])
    assert same_bits(out, shared["ref_out"])

    # Reading an array that another call is writing is refused as well.
    conflicts.clear()
    finished.clear()
    started.clear()
    t = threading.Thread(target=writer)
    t.start()
    started.wait()
    while not finished.is_set():
        try:
            orvik.blend_many(out, out)
        except BaseException as exc:  # noqa: BLE001
            (conflicts if is_internal(exc) or isinstance(exc, RuntimeError) else others).append(exc)
    t.join()
    assert not others, others[:3]
    assert conflicts
    assert same_bits(out, shared["ref_out"])


def test_coordinate_array_overlapping_out_is_refused(shared):
    tree = shared["tree"]
    buf = np.zeros((4, 6), np.float32)
    x = buf[:, 0]  # views into out itself
    coords = orvik.QueryCoordinates(x, buf[:, 1], buf[:, 2], buf[:, 3])
    before = buf.copy()
    with pytest.raises(BaseException) as info:
        tree.query_many(buf, coords, orvik.QueryParams(0, 255))
    assert is_internal(info.value)
    assert same_bits(buf, before)
    # Nothing stays borrowed: the same arrays work in separate roles afterwards.
    other = np.zeros((4, 6), np.float32)
    assert tree.query_many(other, coords, orvik.QueryParams(0, 255)) is None


def test_model_consumed_while_another_thread_queries_it():
    model = box_model(rho=1234.0)
    results = []
    errors = []
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            try:
                results.append(model.query(5.0, 5.0, 5.0))
            except ValueError as exc:
                errors.append(str(exc))
                return
            except BaseException as exc:  # noqa: BLE001
                errors.append(repr(exc))
                return

    threads = [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    tree_result = None
    for _ in range(10000):
        if len(results) > 50:
            break
        threading.Event().wait(0.0005)
    try:
        tree_result = orvik.model_tree([model])
    except BaseException as exc:  # noqa: BLE001
        # Only a conflicting borrow may stop the take, as the internal error.
        assert is_internal(exc) and str(exc).startswith("Already borrowed"), repr(exc)
    if tree_result is None:
        stop.set()
    for t in threads:
        t.join(timeout=10)
    stop.set()
    assert all(r is not None and r["rho"] == pytest.approx(1234.0, rel=1e-5) for r in results)
    if tree_result is not None:
        assert errors and all(e == "MeshModel has been consumed by model_tree()" for e in errors), (
            errors[:3]
        )
        q = tree_result.query(5.0, 5.0, 5.0, 0.0, 0, 255)
        assert q["rho"] == pytest.approx(1234.0, rel=1e-5)


def test_builder_used_from_two_threads_builds_once():
    """Exclusive borrows: concurrent finishers on one builder produce at most one model."""
    builder = orvik.MeshModelBuilder(
        box_vertices((0, 0, 0), (1, 1, 1)), KUHN.copy(), 0, "elevation", (0, 0, 0, 1, 1, 1)
    )
    models = []
    failures = []

    def finish(k):
        try:
            models.append(builder.interpolated(quality_rows(8)))
        except ValueError as exc:
            failures.append(str(exc))
        except RuntimeError as exc:
            failures.append(str(exc))

    run_threads(finish)
    assert len(models) == 1
    assert all(
        f in ("MeshModelBuilder has already built a model", "Already borrowed") for f in failures
    )


def test_tin_alongside_grid_queries(shared):
    tin = getattr(orvik, "adaptive_tin", None)
    if tin is None:
        pytest.skip("orvik.adaptive_tin is not available in this build")
    grid = lattice_grid(30, 30, 0.0)
    boundary = np.array([[0, 0], [25, 0], [25, 25], [0, 25]], np.float64)
    samples = np.array([[3.0, 4.0], [10.0, 12.0], [20.0, 5.5]])
    ref = tin(boundary, [(grid, samples, 2.0, 0.01)], 3.0)
    gx = np.linspace(-5, 35, 200000)

    def work(k):
        if k == 0:
            for _ in range(ROUNDS):
                v, t = tin(boundary, [(grid, samples, 2.0, 0.01)], 3.0)
                assert same_bits(v, ref[0]) and np.array_equal(t, ref[1])
        else:
            first = grid.query_many(gx, gx, True)
            for _ in range(ROUNDS):
                again = grid.query_many(gx, gx, True)
                assert same_bits(first[0], again[0])

    run_threads(work, 3)
