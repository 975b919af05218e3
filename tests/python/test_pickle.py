"""Pickling and copying. Every class that can be pickled comes back as an
object that answers bit for bit as the original; states cross processes;
truncated, corrupted or foreign states are refused with ValueError."""

import concurrent.futures
import copy
import multiprocessing
import os
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvik
from conftest import NAMES, lattice_grid
from pickle_workers import bits, probe_points, query_many, rich_models, rich_tree, tree_answers

HERE = pathlib.Path(__file__).resolve().parent

# Each way an object can be duplicated: through pickle at every protocol
# that can carry it, and through the copy module.
DUPLICATES = {
    **{
        f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
        for p in range(2, 6)
    },
    "pickle5-out-of-band": lambda o: out_of_band(o)[0],
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def out_of_band(obj):
    """A protocol-5 round trip with the buffers kept apart from the stream:
    the copy, the stream and the buffers."""
    buffers = []
    stream = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    return pickle.loads(stream, buffers=buffers), stream, buffers


def structure_text(tree, capfd):
    capfd.readouterr()
    tree.print_structure()
    return capfd.readouterr().out


def coastline():
    def ring(lo, hi):
        return [
            [[lo, lo], [hi, lo]],
            [[hi, lo], [hi, hi]],
            [[hi, hi], [lo, hi]],
            [[lo, hi], [lo, lo]],
        ]

    return orvik.coastline(np.array(ring(0, 10) + ring(3, 6), np.float32))


@pytest.mark.parametrize("how", list(DUPLICATES))
class TestRoundTrip:
    def test_model_tree(self, how, capfd):
        tree = rich_tree()
        twin = DUPLICATES[how](tree)
        assert type(twin) is orvik.PyModelTree and twin is not tree
        assert tree_answers(twin) == tree_answers(tree)
        assert structure_text(twin, capfd) == structure_text(tree, capfd)

    def test_mesh_model(self, how):
        for model in rich_models():
            twin = DUPLICATES[how](model)
            assert type(twin) is orvik.PyMeshModel and twin is not model
            x, y, z, _ = probe_points(1500)
            pts = list(zip(x.tolist(), y.tolist(), z.tolist()))
            assert [bits(twin.query(*p)) for p in pts] == [bits(model.query(*p)) for p in pts]
            assert bits(twin.view()) == bits(model.view())
            assert bits(twin.aabb()) == bits(model.aabb())
            assert (twin.name, twin.priority) == (model.name, model.priority)
            # The two are separate: consuming one leaves the other usable.
            view = bits(model.view())
            orvik.model_tree([twin])
            assert bits(model.view()) == view
            with pytest.raises(ValueError, match="consumed"):
                twin.view()

    def test_structured_grid(self, how):
        grid = lattice_grid(6, 7, 0.4)
        twin = DUPLICATES[how](grid)
        assert type(twin) is orvik.StructuredGrid and twin is not grid
        x = np.linspace(-3, 9, 701)
        y = np.linspace(9, -3, 701)
        for clamp in (True, False):
            assert bits(twin.query_many(x, y, clamp)) == bits(grid.query_many(x, y, clamp))
        assert bits(twin.query(1.25, 2.5)) == bits(grid.query(1.25, 2.5))

    def test_coastline(self, how):
        coast = coastline()
        twin = DUPLICATES[how](coast)
        assert type(twin) is orvik.PyCoastline and twin is not coast
        x, y = np.meshgrid(
            np.linspace(-2, 12, 60, dtype=np.float32), np.linspace(-2, 12, 60, dtype=np.float32)
        )
        x, y = x.ravel(), y.ravel()
        assert bits(twin.signed_distance(x, y)) == bits(coast.signed_distance(x, y))
        assert len(twin) == len(coast) == 8

    def test_query_holders(self, how):
        tree = rich_tree()
        x, y, z, depth = probe_points()
        mask = np.arange(len(x)) % 3 != 0
        coords = orvik.QueryCoordinates(x, y, z, depth, mask)
        params = orvik.QueryParams(2, 3)
        expect = query_many(tree, coords, params)
        got = query_many(tree, DUPLICATES[how](coords), DUPLICATES[how](params))
        assert bits(got) == bits(expect)
        # The mask and the range matter here, so a holder that lost either shows.
        assert bits(query_many(tree, orvik.QueryCoordinates(x, y, z, depth), params)) != bits(
            expect
        )
        assert bits(query_many(tree, coords, orvik.QueryParams(0, 255))) != bits(expect)
        assert bits(
            query_many(tree, DUPLICATES[how](orvik.QueryCoordinates(x, y, z, depth)), params)
        ) == bits(query_many(tree, orvik.QueryCoordinates(x, y, z, depth), params))


def test_copies_of_coordinates_share_arrays_and_pickles_carry_them():
    a, b = np.arange(4, dtype=np.float32), np.ones(4, np.float32)
    coords = orvik.QueryCoordinates(a, b, a, b)
    assert coords.__reduce__()[1][0] is a and coords.__reduce__()[1][4] is None
    x, y, z, depth, mask = pickle.loads(pickle.dumps(coords)).__reduce__()[1]
    assert x is not a and bits(x) == bits(a) and bits(depth) == bits(b) and mask is None


def test_consumed_model_and_builder_refuse():
    model = rich_models()[0]
    orvik.model_tree([model])
    for dup in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(ValueError, match=r"^MeshModel has been consumed by model_tree\(\)$"):
            dup(model)
    v = np.zeros((4, 3), np.float32)
    builder = orvik.MeshModelBuilder(v, np.zeros((0, 4), np.uint64), 0, "depth", (0, 0, 0, 1, 1, 1))
    for dup in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="cannot pickle 'MeshModelBuilder' object"):
            dup(builder)
    # The builder still builds afterwards.
    assert builder.interpolated(np.ones((4, 6), np.float32)).query(0, 0, 0) is None


def test_reduce_names_the_class_and_its_reader():
    tree = rich_tree()
    reader, (state,) = tree.__reduce__()
    assert reader == orvik.PyModelTree.__from_state and reader.__self__ is orvik.PyModelTree
    assert isinstance(state, bytes) and state[:8] == b"\x89ORVIK\r\n"
    # Any contiguous bytes-like object is read in place.
    for form in (bytearray(state), memoryview(state), np.frombuffer(state, np.uint8)):
        assert tree_answers(orvik.PyModelTree.__from_state(form)) == tree_answers(tree)
    # Pickles name only the class and its method.
    blob = pickle.dumps(tree, protocol=2)
    assert b"PyModelTree" in blob and b"__from_state" in blob
    assert orvik.__all__ == NAMES


def test_tree_read_from_bytes_keeps_them_while_it_lives_and_no_longer():
    tree = rich_tree()
    state = bytes(tree.__reduce__()[1][0])
    held = sys.getrefcount(state)
    twin = orvik.PyModelTree.__from_state(state)
    assert sys.getrefcount(state) == held + 1
    mutable = bytearray(state)
    copied = orvik.PyModelTree.__from_state(mutable)
    mutable[:] = bytes(len(mutable))  # a copy does not see the buffer change
    assert tree_answers(twin) == tree_answers(copied) == tree_answers(tree)
    del twin
    assert sys.getrefcount(state) == held


def test_states_travel_out_of_band_as_written():
    for obj in (rich_tree(), rich_models()[1], lattice_grid(), coastline()):
        state = obj.__reduce__()[1][0]
        twin, stream, buffers = out_of_band(obj)
        assert len(stream) < 200 and len(buffers) == 1
        assert buffers[0].raw().tobytes() == state
        assert twin.__reduce__()[1][0] == state
        # In band, protocol 5 writes the same bytes that protocol 4 does.
        assert pickle.dumps(obj, protocol=5).count(state) == 1


def states():
    """A real state of every class that has one."""
    return {
        orvik.PyModelTree: rich_tree().__reduce__()[1][0],
        orvik.PyMeshModel: rich_models()[1].__reduce__()[1][0],
        orvik.StructuredGrid: lattice_grid().__reduce__()[1][0],
        orvik.PyCoastline: coastline().__reduce__()[1][0],
    }


STATES = states()
CLASSES = list(STATES)


def test_foreign_newer_and_wrong_states_are_refused():
    tree_state = STATES[orvik.PyModelTree]
    newer = bytearray(tree_state)
    newer[8:12] = (3).to_bytes(4, "little")
    with pytest.raises(
        ValueError, match=r"format version 3 is newer than this orvik reads \(up to 2\)"
    ):
        orvik.PyModelTree.__from_state(bytes(newer))
    with pytest.raises(ValueError, match="it holds a structured grid, not a model tree"):
        orvik.PyModelTree.__from_state(STATES[orvik.StructuredGrid])
    with pytest.raises(ValueError, match="the magic tag is missing"):
        orvik.PyCoastline.__from_state(pickle.dumps(coastline()))
    with pytest.raises(TypeError, match="a bytes-like object is required") as e:
        orvik.PyMeshModel.__from_state("text")
    assert e.value.__notes__ == ["while processing 'state'"]
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'state'"):
        orvik.StructuredGrid.__from_state()


@settings(
    max_examples=300, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
@given(cls=st.sampled_from(CLASSES), data=st.data())
def test_flipped_and_truncated_states_raise_value_error(cls, data):
    state = bytearray(STATES[cls])
    if data.draw(st.booleans(), label="truncate"):
        cut = data.draw(st.integers(0, len(state) - 1), label="length")
        del state[cut:]
    else:
        where = st.lists(st.integers(0, len(state) - 1), min_size=1, max_size=4, unique=True)
        for at in data.draw(where, label="flipped bytes"):
            state[at] ^= data.draw(st.integers(1, 255), label="xor")
    with pytest.raises(ValueError, match="invalid orvik state"):
        cls.__from_state(bytes(state))


def test_unchanged_states_load():
    for cls, state in STATES.items():
        assert type(cls.__from_state(state)) is cls


def test_tree_queried_in_a_spawned_worker_process():
    tree = rich_tree()
    x, y, z, depth = probe_points()
    coords = orvik.QueryCoordinates(x, y, z, depth, np.arange(len(x)) % 5 != 0)
    params = orvik.QueryParams(0, 255)
    from pickle_workers import answers_in_worker, query_many_in_worker

    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=ctx) as pool:
        remote_many = pool.submit(query_many_in_worker, tree, coords, params)
        remote_answers = pool.submit(answers_in_worker, tree)
        got_many, got_answers = remote_many.result(timeout=120), remote_answers.result(timeout=120)
    expect = query_many(tree, coords, params)
    assert bits(got_many) == bits(expect)
    assert np.isfinite(expect[:, 0]).sum() > 500  # most rows did hit a model
    assert got_answers == tree_answers(tree)


def test_state_written_by_one_process_is_read_by_another(tmp_path):
    state_file, answers_file = tmp_path / "tree.pickle", tmp_path / "answers.pickle"
    script = (
        "import pickle, sys\n"
        "from pickle_workers import rich_tree, tree_answers\n"
        "tree = rich_tree()\n"
        f"pickle.dump(tree, open({str(state_file)!r}, 'wb'))\n"
        f"pickle.dump(tree_answers(tree), open({str(answers_file)!r}, 'wb'))\n"
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), *sys.path])
    subprocess.run([sys.executable, "-c", script], env=env, check=True, timeout=120)
    with open(state_file, "rb") as f:
        tree = pickle.load(f)
    with open(answers_file, "rb") as f:
        theirs = pickle.load(f)
    assert tree_answers(tree) == theirs
    assert tree_answers(tree) == tree_answers(rich_tree())
