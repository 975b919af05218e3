"""query_many with QueryCoordinates and QueryParams: equality with query row by
row, strides, masks, untouched rows, the checks and their order, borrows and
threads."""

import gc
import re
import threading
import weakref

import numpy as np
import pytest

import orvik
from conftest import (
    as_row,
    cube_model,
    is_internal,
    kuhn_block,
    quality_row,
    random_points,
    run_threads,
)


def make_tree():
    models = [
        cube_model((0, 0, 0), 8, quality_row(1.0, 0.5), 1),
        cube_model((4, 0, 0), 8, quality_row(2.0, 0.6), 2),
        cube_model(
            (0, 0, 0), 6, quality_row(3.0, 1.0), 3, vertical="depth", bounds=(0, 0, -20, 6, 6, 20)
        ),
        cube_model((20, 20, 0), 4, quality_row(4.0, 1.0), 0),
    ]
    return orvik.model_tree(models)


@pytest.fixture(scope="module")
def tree():
    return make_tree()


def points(n, seed=1):
    return random_points(n, seed, x=(-2, 26), y=(-2, 26), z=(-2, 10), depth=(-2, 8))


def expected(tree, x, y, z, d, lo=0, hi=255, fill=np.nan):
    out = np.full((len(x), 6), fill, np.float32)
    for i in range(len(x)):
        q = tree.query(float(x[i]), float(y[i]), float(z[i]), float(d[i]), lo, hi)
        if q is not None:
            out[i] = as_row(q)
    return out


def run(tree, x, y, z, d, mask=None, lo=0, hi=255, out=None):
    if out is None:
        out = np.full((len(x), 6), np.nan, np.float32)
    assert (
        tree.query_many(out, orvik.QueryCoordinates(x, y, z, d, mask), orvik.QueryParams(lo, hi))
        is None
    )
    return out


def same(a, b):
    return np.array_equal(a, b, equal_nan=True)


class TestResults:
    @pytest.mark.parametrize("lo,hi", [(0, 255), (1, 2), (3, 3), (5, 4)])
    def test_equals_query_row_by_row(self, tree, lo, hi):
        x, y, z, d = points(2000)
        got = run(tree, x, y, z, d, lo=lo, hi=hi)
        assert same(got, expected(tree, x, y, z, d, lo, hi))
        if (lo, hi) == (0, 255):
            hit = ~np.isnan(got[:, 0])
            assert 0 < hit.sum() < len(x)

    def test_rows_outside_keep_caller_values(self, tree):
        x, y, z, d = points(500)
        out = np.arange(500 * 6, dtype=np.float32).reshape(500, 6)
        before = out.copy()
        run(tree, x, y, z, d, out=out)
        ref = expected(tree, x, y, z, d)
        miss = np.isnan(ref[:, 0])
        assert miss.any()
        assert np.array_equal(out[miss], before[miss])
        assert np.array_equal(out[~miss], ref[~miss])

    def test_previous_contents_are_never_read(self, tree):
        x, y, z, d = points(300)
        a = run(tree, x, y, z, d, out=np.zeros((300, 6), np.float32))
        b = run(tree, x, y, z, d, out=np.full((300, 6), 7.0, np.float32))
        hit = a[:, 5] != 0
        assert np.array_equal(a[hit], b[hit])

    def test_mask_skips_rows(self, tree):
        x, y, z, d = points(400)
        mask = np.random.default_rng(3).random(400) < 0.5
        got = run(tree, x, y, z, d, mask=mask)
        ref = expected(tree, x, y, z, d)
        assert np.isnan(got[~mask]).all()
        assert same(got[mask], ref[mask])

    def test_mask_false_keeps_value_inside_a_model(self, tree):
        one = np.ones(1, np.float32)
        out = np.full((1, 6), -5.0, np.float32)
        run(tree, one, one, one, one, mask=np.zeros(1, bool), out=out)
        assert (out == -5.0).all()

    def test_none_mask_is_no_mask(self, tree):
        x, y, z, d = points(100)
        assert same(run(tree, x, y, z, d, mask=None), expected(tree, x, y, z, d))

    def test_empty(self, tree):
        e = np.zeros(0, np.float32)
        out = np.zeros((0, 6), np.float32)
        assert run(tree, e, e, e, e, out=out) is out

    def test_strided_inputs_match_contiguous(self, tree):
        x, y, z, d = points(600)
        wide = np.zeros((600, 3), np.float32)
        wide[:, 1] = x
        xs = wide[:, 1]  # column stride 12 bytes
        ys = np.ascontiguousarray(y[::-1])[::-1]  # negative stride
        zs = np.repeat(z, 2)[::2]  # every other element
        mask_full = np.ones(1200, bool)
        mask = mask_full[::2]
        out_f = np.asfortranarray(np.full((600, 6), np.nan, np.float32))
        run(tree, xs, ys, zs, d, mask=mask, out=out_f)
        big = np.full((600, 9), np.nan, np.float32)
        out_v = big[::-1, 1:7]  # reversed rows inside a wider array
        run(tree, x, y, z, d, out=out_v)
        ref = run(tree, x, y, z, d)
        assert same(out_f, ref)
        assert same(out_v, ref)
        assert np.isnan(big[:, 0]).all() and np.isnan(big[:, 7:]).all()

    def test_coordinates_hold_the_arrays_not_copies(self, tree):
        x, y, z, d = (np.full(1, 100.0, np.float32) for _ in range(4))
        coords = orvik.QueryCoordinates(x, y, z, d)
        params = orvik.QueryParams(0, 255)
        out = np.full((1, 6), np.nan, np.float32)
        tree.query_many(out, coords, params)
        assert np.isnan(out).all()
        for a in (x, y, z, d):
            a[0] = 1.0
        tree.query_many(out, coords, params)
        assert not np.isnan(out).any()

    def test_nan_filled_rows_after_large_call(self, tree):
        x, y, z, d = points(20000, seed=9)
        assert same(run(tree, x, y, z, d), expected(tree, x, y, z, d))


class TestChecks:
    def test_lengths(self, tree):
        a3, a2 = np.zeros(3, np.float32), np.zeros(2, np.float32)
        with pytest.raises(
            ValueError,
            match=re.escape("x, y, z, depth must have the same length; got x=3, y=2, z=3, depth=3"),
        ):
            run(tree, a3, a2, a3, a3, out=np.zeros((5, 5), np.float32))

    def test_out_shape(self, tree):
        a3 = np.zeros(3, np.float32)
        with pytest.raises(ValueError, match=re.escape("out must have shape (3, 6); got [3, 5]")):
            run(tree, a3, a3, a3, a3, out=np.zeros((3, 5), np.float32), mask=np.zeros(2, bool))
        with pytest.raises(ValueError, match=re.escape("out must have shape (3, 6); got [4, 6]")):
            run(tree, a3, a3, a3, a3, out=np.zeros((4, 6), np.float32))

    def test_mask_length(self, tree):
        a3 = np.zeros(3, np.float32)
        out = np.full((3, 6), 2.0, np.float32)
        with pytest.raises(ValueError, match=re.escape("where mask must have length 3; got 2")):
            run(tree, a3, a3, a3, a3, out=out, mask=np.zeros(2, bool))
        assert (out == 2.0).all()

    @pytest.mark.parametrize("param", ["x", "y", "z", "depth"])
    def test_coordinate_dtype(self, param):
        args = {k: np.zeros(3, np.float32) for k in ("x", "y", "z", "depth")}
        args[param] = np.zeros(3, np.float64)
        with pytest.raises(TypeError, match="is not an instance of") as e:
            orvik.QueryCoordinates(**args)
        assert e.value.__notes__ == [f"while processing '{param}'"]

    @pytest.mark.parametrize(
        "bad", [np.zeros(3, np.float32), np.zeros((3, 1), bool), [True, False, True]]
    )
    def test_mask_type(self, bad):
        a = np.zeros(3, np.float32)
        with pytest.raises(TypeError) as e:
            orvik.QueryCoordinates(a, a, a, a, mask=bad)
        assert e.value.__notes__ == ["while processing 'mask'"]

    def test_coordinates_two_dimensional_refused(self):
        a = np.zeros(3, np.float32)
        with pytest.raises(TypeError) as e:
            orvik.QueryCoordinates(a, a, a.reshape(3, 1), a)
        assert e.value.__notes__ == ["while processing 'z'"]

    def test_coordinates_lengths_not_checked_at_construction(self):
        orvik.QueryCoordinates(
            np.zeros(1, np.float32),
            np.zeros(2, np.float32),
            np.zeros(3, np.float32),
            np.zeros(4, np.float32),
            np.zeros(5, bool),
        )

    def test_argument_types(self, tree):
        a = np.zeros(1, np.float32)
        coords, params = orvik.QueryCoordinates(a, a, a, a), orvik.QueryParams(0, 255)
        out = np.zeros((1, 6), np.float32)
        with pytest.raises(TypeError) as e:
            tree.query_many(out.astype(np.float64), coords, params)
        assert e.value.__notes__ == ["while processing 'out'"]
        with pytest.raises(
            TypeError, match=re.escape("'tuple' object is not an instance of 'QueryCoordinates'")
        ) as e:
            tree.query_many(out, (a, a, a, a), params)
        assert e.value.__notes__ == ["while processing 'coords'"]
        with pytest.raises(
            TypeError, match=re.escape("'None' is not an instance of 'QueryParams'")
        ) as e:
            tree.query_many(out, coords, None)
        assert e.value.__notes__ == ["while processing 'params'"]
        with pytest.raises(
            TypeError,
            match=re.escape(
                "PyModelTree.query_many() missing 1 required positional argument: 'params'"
            ),
        ):
            tree.query_many(out, coords)

    def test_query_params(self):
        with pytest.raises(OverflowError, match="number too large to fit in target type") as e:
            orvik.QueryParams(256, 0)
        assert e.value.__notes__ == ["while processing 'priority_lo'"]
        with pytest.raises(OverflowError, match="number too small to fit in target type") as e:
            orvik.QueryParams(0, -1)
        assert e.value.__notes__ == ["while processing 'priority_hi'"]
        with pytest.raises(
            TypeError,
            match=re.escape(
                "QueryParams.__new__() missing 1 required positional argument: 'priority_hi'"
            ),
        ):
            orvik.QueryParams(0)
        orvik.QueryParams(priority_hi=3, priority_lo=1)

    def test_holders_expose_nothing(self):
        a = np.zeros(1, np.float32)
        for obj in (orvik.QueryParams(0, 1), orvik.QueryCoordinates(a, a, a, a)):
            assert [n for n in dir(obj) if not n.startswith("__")] == []
            with pytest.raises(AttributeError):
                obj.x = 1

    def test_holder_docs(self):
        # The interpreter keeps the text signature out of a class's __doc__.
        assert orvik.QueryParams.__doc__.startswith(
            "Parameters controlling a vectorised query (priority range)."
        )
        assert orvik.QueryCoordinates.__doc__.startswith(
            "Coordinate arrays and optional boolean mask for a vectorised query."
        )
        assert orvik.QueryParams.__text_signature__ == "(priority_lo, priority_hi)"
        assert orvik.QueryCoordinates.__text_signature__ == "(x, y, z, depth, mask=None)"


class TestBorrows:
    def test_read_only_out_rejected_before_writing(self, tree):
        one = np.ones(1, np.float32)
        out = np.full((1, 6), 3.0, np.float32)
        out.flags.writeable = False
        with pytest.raises(BaseException) as e:
            run(tree, one, one, one, one, out=out)
        assert is_internal(e.value)
        assert (out == 3.0).all()

    def test_coordinates_overlapping_out_rejected(self, tree):
        out = np.full((4, 6), 1.0, np.float32)
        x = out[:, 0]
        other = np.ones(4, np.float32)
        with pytest.raises(BaseException) as e:
            run(tree, x, other, other, other, out=out)
        assert is_internal(e.value)
        assert (out == 1.0).all()

    def test_mask_overlapping_out_rejected(self, tree):
        buf = np.zeros(4 * 6 * 4, np.uint8)
        out = buf.view(np.float32).reshape(4, 6)
        mask = buf[:4].view(bool)
        one = np.ones(4, np.float32)
        with pytest.raises(BaseException) as e:
            run(tree, one, one, one, one, mask=mask, out=out)
        assert is_internal(e.value)

    def test_interleaved_views_of_one_buffer(self, tree):
        # out and x lie on one 8-byte lattice of the same buffer: x between
        # the elements of out may be read while out is written, x on them not.
        n = 4
        base = np.zeros(12 * n + 2, np.float32)
        out = base[0 : 12 * n : 2].reshape(n, 6)
        one = np.ones(n, np.float32)
        between, on = base[1 : 2 * n : 2], base[2 : 2 * n + 2 : 2]
        run(tree, between, one, one, one, out=out)
        assert same(out, expected(tree, between, one, one, one, fill=0.0))
        with pytest.raises(BaseException) as e:
            run(tree, on, one, one, one, out=out)
        assert is_internal(e.value)

    @pytest.mark.parametrize("param", ["x", "depth", "mask"])
    @pytest.mark.parametrize("n,shape", [(1, ()), (2, (2, 1))])
    def test_arrays_reshaped_in_place_are_checked_again(self, tree, param, n, shape):
        # A same-size resize needs no reference check, so the bundled arrays
        # can change shape between QueryCoordinates() and query_many().
        arrays = {k: np.ones(n, np.float32) for k in ("x", "y", "z", "depth")}
        arrays["mask"] = np.ones(n, bool)
        coords = orvik.QueryCoordinates(**arrays)
        out = np.full((n, 6), 7.0, np.float32)
        arrays[param].resize(shape)
        with pytest.raises(TypeError, match="is not an instance of 'ndarray'") as e:
            tree.query_many(out, coords, orvik.QueryParams(0, 255))
        assert e.value.__notes__ == [f"while processing '{param}'"]
        assert (out == 7.0).all()
        arrays[param].resize((n,))
        tree.query_many(out, coords, orvik.QueryParams(0, 255))
        assert same(out, expected(tree, *(arrays[k] for k in ("x", "y", "z", "depth")), fill=7.0))

    def test_same_coordinate_array_several_times(self, tree):
        a = np.ones(5, np.float32)
        got = run(tree, a, a, a, a)
        assert same(got, expected(tree, a, a, a, a))

    def test_holders_are_collected_in_cycles(self):
        class Tagged(np.ndarray):
            pass

        x = np.zeros(3, np.float32).view(Tagged)
        coords = orvik.QueryCoordinates(x, x, x, x)
        x.coords = coords  # a cycle through the holder
        ref = weakref.ref(x)
        del x, coords
        gc.collect()
        assert ref() is None


class TestThreads:
    def test_conflicting_use_of_out_while_query_many_runs(self):
        tree = make_tree()
        n = 3_000_000
        x, y, z, d = points(n, seed=4)
        out = np.zeros((n, 6), np.float32)
        coords, params = orvik.QueryCoordinates(x, y, z, d), orvik.QueryParams(0, 255)
        started, done = threading.Event(), threading.Event()
        errors = []

        def worker():
            started.set()
            try:
                tree.query_many(out, coords, params)
            except BaseException as exc:  # noqa: BLE001 - reported below
                errors.append(exc)
            done.set()

        t = threading.Thread(target=worker)
        t.start()
        started.wait()
        conflicts, concurrent_queries = 0, 0
        small = np.zeros((1, 6), np.float32)
        one = np.ones(1, np.float32)
        while not done.is_set():
            try:
                orvik.blend_many(out, out)  # reads the buffer being written
            except BaseException as exc:  # noqa: BLE001
                assert is_internal(exc)
                conflicts += 1
            # the same tree answers other queries meanwhile
            tree.query_many(small, orvik.QueryCoordinates(one, one, one, one), params)
            if tree.query(1, 1, 1, 1, 0, 255) is not None:
                concurrent_queries += 1
            if conflicts >= 3 and concurrent_queries >= 3:
                break
        t.join()
        assert errors == []
        assert conflicts >= 1
        assert concurrent_queries >= 1
        # the long call completed correctly
        sample = slice(0, 2000)
        assert same(
            out[sample], expected(tree, x[sample], y[sample], z[sample], d[sample], fill=0.0)
        )

    def test_two_threads_share_one_tree(self):
        tree = make_tree()
        x, y, z, d = points(100_000, seed=6)
        halves = [slice(0, 50_000), slice(50_000, None)]
        outs = [np.full((50_000, 6), np.nan, np.float32) for _ in halves]

        def work(k):
            s = halves[k]
            tree.query_many(
                outs[k], orvik.QueryCoordinates(x[s], y[s], z[s], d[s]), orvik.QueryParams(0, 255)
            )

        run_threads(work, 2)
        assert same(np.concatenate(outs), run(tree, x, y, z, d))


# --- large batches: located in Morton order, a packet of points at a time -----


def lattice_model(lo, k, step, priority, alpha, vertical="elevation", transform=None, seed=0):
    """k^3 cubes of six tetrahedra with a different quality at every vertex."""
    vertices, faces = kuhn_block((k, k, k), lo, step)
    rng = np.random.default_rng(seed)
    q = rng.uniform(1, 9, (len(vertices), 6)).astype(np.float32)
    q[:, 3:5] *= 40
    q[:, 5] = rng.uniform(alpha / 2, alpha, len(vertices))
    bounds = tuple(float(v) for v in (*vertices.min(0), *vertices.max(0)))
    builder = orvik.MeshModelBuilder(vertices, faces, priority, vertical, bounds)
    if transform is not None:
        builder.transform(np.asarray(transform, np.float32))
    return builder.interpolated(q)


@pytest.fixture(scope="module")
def layered():
    """Overlapping lattices: transparent and opaque, one read by depth, one
    placed by a transform."""
    shift = np.eye(4, dtype=np.float32)
    shift[3, :3] = (-1.0, 0.5, 0.0)  # world to local: a translation
    return orvik.model_tree(
        [
            lattice_model((0, 0, 0), 10, 1.0, 2, 0.5, seed=1),
            lattice_model((3, 2, 1), 6, 1.0, 5, 1.0, seed=2),
            lattice_model((0, 0, 0), 4, 3.0, 9, 1.0, vertical="depth", seed=3),
            lattice_model((4, 4, 4), 5, 0.8, 2, 0.7, transform=shift, seed=4),
        ]
    )


def batch(n, seed):
    x, y, z, d = points(n, seed)
    for a in (x, y, z, d):
        a *= np.float32(0.5)
    rng = np.random.default_rng(seed + 100)
    x[rng.random(n) < 0.01] = np.nan
    d[rng.random(n) < 0.01] = np.nan
    z[rng.random(n) < 0.005] = np.inf
    return x, y, z, d


class TestOrderedBatches:
    @pytest.mark.parametrize("lo,hi", [(0, 255), (2, 2), (3, 9)])
    def test_rows_equal_query_row_by_row(self, layered, lo, hi):
        x, y, z, d = batch(6000, 21)
        got = run(layered, x, y, z, d, lo=lo, hi=hi)
        ref = expected(layered, x, y, z, d, lo, hi)
        np.testing.assert_array_equal(got.view(np.uint32), ref.view(np.uint32))
        assert 1000 < (~np.isnan(got[:, 0])).sum() < 6000

    def test_strided_masked_and_reversed(self, layered):
        n = 5000
        x, y, z, d = batch(n, 22)
        wide = np.zeros((n, 3), np.float32)
        wide[:, 2] = x
        xs = wide[:, 2]  # 12-byte stride
        ys = np.ascontiguousarray(y[::-1])[::-1]  # negative stride
        zs = np.repeat(z, 3)[::3]
        mask = np.random.default_rng(4).random(2 * n)[::2] < 0.8
        big = np.full((n, 9), -3.0, np.float32)
        out = big[::-1, 2:8]  # reversed rows inside a wider array
        run(layered, xs, ys, zs, d, mask=mask, out=out)
        ref = expected(layered, x, y, z, d, fill=-3.0)
        ref[~mask] = -3.0
        np.testing.assert_array_equal(out.view(np.uint32), ref.view(np.uint32))
        assert (big[:, :2] == -3.0).all() and (big[:, 8] == -3.0).all()

    def test_same_rows_whatever_the_order_of_the_batch(self, layered):
        x, y, z, d = batch(4000, 23)
        perm = np.random.default_rng(5).permutation(4000)
        a = run(layered, x, y, z, d)
        b = run(layered, x[perm], y[perm], z[perm], d[perm])
        np.testing.assert_array_equal(a[perm].view(np.uint32), b.view(np.uint32))

    def test_rows_outside_every_model_keep_their_values(self, layered):
        x, y, z, d = batch(3000, 24)
        out = np.arange(3000 * 6, dtype=np.float32).reshape(3000, 6)
        before = out.copy()
        run(layered, x, y, z, d, out=out)
        ref = expected(layered, x, y, z, d)
        miss = np.isnan(ref[:, 0])
        assert miss.sum() > 100
        np.testing.assert_array_equal(out[miss], before[miss])
        np.testing.assert_array_equal(out[~miss].view(np.uint32), ref[~miss].view(np.uint32))

    def test_batches_around_the_ordering_threshold(self, layered):
        # Just below, at and above the size from which batches are ordered:
        # the same rows either way.
        x, y, z, d = batch(1100, 25)
        whole = run(layered, x, y, z, d)
        for n in (1000, 1023, 1024, 1025):
            np.testing.assert_array_equal(
                run(layered, x[:n], y[:n], z[:n], d[:n]).view(np.uint32), whole[:n].view(np.uint32)
            )
