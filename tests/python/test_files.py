"""Model files: a bit-equal round trip, the metadata, refusal of bad files
(truncated at every section boundary, flipped bytes, foreign, newer), atomic
writes, and no code run on load. The frame's every check, huge declared
lengths included, is tested natively (tests/cpp/test_model_file.cpp)."""

import json
import os
import pickle
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvik
from conftest import lattice_grid
from orvik import _native, files
from pickle_workers import rich_tree, tree_answers

HEADER = 64


def state_of(obj):
    return type(obj).__reduce__(obj)[1][0]


@pytest.fixture
def tree():
    return rich_tree()


@pytest.fixture
def surface():
    return lattice_grid(4, 5)


@pytest.fixture
def saved(tmp_path, tree, surface):
    path = tmp_path / "model.orvik"
    orvik.save(tree, path, surface=surface, metadata={"crs": "EPSG:32610", "description": "d"})
    return path


def layout(path):
    """Where the parts of a saved file lie: metadata span and record spans."""
    data = path.read_bytes()
    count, json_length = struct.unpack_from("<IQ", data, 12)
    table = [struct.unpack_from("<QQ", data, HEADER + 16 * k) for k in range(count)]
    json_at = HEADER + 16 * count
    return data, (json_at, json_at + json_length), table


def refusal(path, record="tree"):
    with pytest.raises(ValueError) as info:
        orvik.load(path, record)
    message = str(info.value)
    assert message.startswith(f"{path}: ")
    return message[len(f"{path}: ") :]


# --- round trip ---------------------------------------------------------------------


def test_round_trip_is_bit_equal(saved, tree, surface):
    loaded = orvik.load(saved)
    assert state_of(loaded) == state_of(tree)
    assert tree_answers(loaded) == tree_answers(tree)
    assert loaded.view() == tree.view()
    grid = orvik.load(saved, "surface")
    assert state_of(grid) == state_of(surface)
    assert files.info(saved)["records"][1]["kind"] == "structured grid"


def test_the_file_is_header_metadata_and_the_states_on_page_boundaries(saved, tree, surface):
    data, (j0, j1), table = layout(saved)
    assert data[:8] == b"\x89ORVM\r\n\x1a"
    assert struct.unpack_from("<IIQQ", data, 8) == (1, 2, j1 - j0, len(data))
    assert data[40:56] == bytes(16)
    states = [state_of(tree), state_of(surface)]
    end = j1
    for (offset, length), state in zip(table, states):
        assert offset % 4096 == 0 and offset == -(-end // 4096) * 4096
        assert data[end:offset] == bytes(offset - end)
        assert data[offset : offset + length] == state
        end = offset + length
    assert end == len(data)
    meta = json.loads(data[j0:j1])
    assert meta["records"] == [
        {"name": "tree", "kind": "model tree"},
        {"name": "surface", "kind": "structured grid"},
    ]


def test_a_loaded_tree_outlives_its_file_being_replaced_and_deleted(tmp_path, tree):
    # The tree uses the mapped file in place; save renames a new file over
    # the old one, which the mapping keeps alive.
    path = tmp_path / "model.orvik"
    orvik.save(tree, path)
    loaded = orvik.load(path)
    expected = tree_answers(tree)
    other = orvik.model_tree(
        [
            orvik.MeshModelBuilder(*_tet(), 0, "elevation", (0, 0, 0, 1, 1, 1)).interpolated(
                np.full((4, 6), 2, np.float32)
            )
        ]
    )
    orvik.save(other, path)
    assert tree_answers(loaded) == expected
    assert tree_answers(orvik.load(path)) == tree_answers(other)
    path.unlink()
    assert tree_answers(loaded) == expected
    assert state_of(loaded) == state_of(tree)


def test_a_copied_load_survives_its_file_being_truncated(saved, tree):
    loaded = orvik.load(saved, copy=True)
    with open(saved, "r+b") as f:
        f.truncate(0)
    assert tree_answers(loaded) == tree_answers(tree)
    assert state_of(loaded) == state_of(tree)


def test_out_of_band_pickles_never_borrow_the_callers_buffers(tree):
    # The pickle's buffers belong to the caller, who may reuse them at once.
    buffers = []
    stream = pickle.dumps(tree, protocol=5, buffer_callback=buffers.append)
    mine = [bytearray(b.raw()) for b in buffers]
    twin = pickle.loads(stream, buffers=mine)
    for b in mine:
        b[:] = bytes(len(b))
    assert tree_answers(twin) == tree_answers(tree)


def test_states_are_streamed_into_files_and_read_back(tmp_path, tree, surface):
    path = tmp_path / "states"
    expected = [state_of(tree), state_of(surface)]
    with open(path, "w+b") as f:
        assert _native.state_size(tree) == len(expected[0])
        assert _native.write_state(tree, f, 8) == len(expected[0])
        assert _native.write_state(surface, f.fileno(), 8 + len(expected[0])) == len(expected[1])
        assert f.tell() == 0  # the file's position is left alone
        mapping = _native.read_file(f, os.fstat(f.fileno()).st_size)
    assert path.read_bytes() == bytes(8) + expected[0] + expected[1]
    assert (
        len(mapping) == path.stat().st_size and bytes(memoryview(mapping)[8:16]) == expected[0][:8]
    )
    back = _native.read_state(orvik.PyModelTree, mapping, 8, len(expected[0]))
    del mapping
    assert tree_answers(back) == tree_answers(tree)
    with open(path, "rb") as f:
        grid = _native.read_state(
            orvik.StructuredGrid,
            _native.read_file(f, os.fstat(f.fileno()).st_size),
            8 + len(expected[0]),
            len(expected[1]),
        )
    assert state_of(grid) == expected[1]


def test_state_functions_refuse_what_they_cannot_use(tmp_path, tree):
    path = tmp_path / "states"
    path.write_bytes(state_of(tree))
    with open(path, "rb") as f:
        mapping = _native.read_file(f, os.fstat(f.fileno()).st_size)
        with pytest.raises(OSError) as info:
            _native.write_state(tree, f, 0)  # open for reading only
        assert info.value.errno == 9  # EBADF
    size = len(mapping)
    with pytest.raises(TypeError, match="cls must be an orvik class with a binary state"):
        _native.read_state(dict, mapping, 0, size)
    with pytest.raises(TypeError, match="mapping must be an orvik._native.MappedFile"):
        _native.read_state(orvik.PyModelTree, state_of(tree), 0, size)
    with pytest.raises(ValueError, match=f"runs past the end of the {size}-byte mapping"):
        _native.read_state(orvik.PyModelTree, mapping, 1, size)
    with pytest.raises(ValueError, match="it holds a model tree, not a structured grid"):
        _native.read_state(orvik.StructuredGrid, mapping, 0, size)
    with pytest.raises(TypeError, match="dict has no binary state"):
        _native.state_size({})
    with pytest.raises(IsADirectoryError):
        with open(tmp_path, "rb") as folder:
            _native.read_file(folder, 0)
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    with open(empty, "rb") as f:
        assert len(_native.read_file(f, os.fstat(f.fileno()).st_size)) == 0
    with pytest.raises(ValueError, match="the file is empty"):
        orvik.load(empty)


def _tet():
    vertices = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
    return vertices, np.array([[0, 1, 2, 3]], np.uint64)


def test_metadata_describes_the_model(tmp_path, tree):
    path = tmp_path / "m.orvik"
    orvik.save(
        tree,
        str(path),
        metadata={
            "crs": "EPSG:26910",
            "units": {"vs": "m/s"},
            "description": "Salish \u00e9",
            "provenance": {"source": "topobathy.npz"},
            "grid_step": np.float32(0.5),
            "layers": np.arange(3),
            "nested": {"a": [1, None, True]},
        },
    )
    facts = orvik.info(path)
    meta = facts["metadata"]
    assert facts["path"] == str(path) and facts["format_version"] == 1
    assert facts["bytes"] == path.stat().st_size
    assert meta["orvik_file"] == "velocity model"
    assert meta["crs"] == "EPSG:26910" and meta["description"] == "Salish \u00e9"
    assert meta["units"] == {**files.DEFAULT_UNITS, "vs": "m/s"}
    assert meta["attributes"] == {
        "grid_step": 0.5,
        "layers": [0, 1, 2],
        "nested": {"a": [1, None, True]},
    }
    assert meta["provenance"]["source"] == "topobathy.npz"
    assert {"orvik_version", "created", "python", "platform"} <= set(meta["provenance"])
    view = tree.view()["models"]
    assert [m["name"] for m in meta["models"]] == [m["name"] for m in view]
    assert [m["priority"] for m in meta["models"]] == [m["priority"] for m in view]
    assert [m["vertical"] for m in meta["models"]] == [m["vertical"] for m in view]
    assert all(m["kind"] == "tetrahedral mesh" for m in meta["models"])
    lo, hi = tree.aabb()
    assert meta["extent"] == {"min": lo.tolist(), "max": hi.tolist()}
    assert [r["name"] for r in facts["records"]] == ["tree"]


def test_crs_objects_and_empty_trees(tmp_path):
    pyproj = pytest.importorskip("pyproj")
    path = tmp_path / "empty.orvik"
    orvik.save(orvik.model_tree([]), path, metadata={"crs": pyproj.CRS("EPSG:4326")})
    meta = orvik.info(path)["metadata"]
    assert meta["crs"] == "EPSG:4326" and meta["models"] == [] and meta["extent"] is None
    assert orvik.load(path).view()["models"] == []


@pytest.mark.parametrize(
    "metadata, error, message",
    [
        ({"models": []}, ValueError, "metadata key 'models' is written by save itself"),
        ({"provenance": {"created": "x"}}, ValueError, "key 'created' is written by save"),
        ({"x": float("nan")}, ValueError, "metadata\\['attributes'\\] cannot be written as JSON"),
        ({"x": object()}, TypeError, "metadata\\['attributes'\\] cannot be written as JSON"),
        ({1: "a"}, TypeError, "metadata keys must be str"),
        ({"crs": 4326}, TypeError, "metadata\\['crs'\\] must be a str or a pyproj.CRS"),
        ({"description": 5}, TypeError, "metadata\\['description'\\] must be a str"),
        ([("a", 1)], TypeError, "metadata must be a mapping"),
    ],
)
def test_bad_metadata_is_refused_before_anything_is_written(
    tmp_path, tree, metadata, error, message
):
    with pytest.raises(error, match=message):
        orvik.save(tree, tmp_path / "m.orvik", metadata=metadata)
    assert os.listdir(tmp_path) == []


def test_save_checks_its_objects(tmp_path, tree):
    with pytest.raises(TypeError, match="tree must be an orvik.PyModelTree"):
        orvik.save(lattice_grid(2, 2), tmp_path / "m")
    with pytest.raises(TypeError, match="surface must be an orvik.StructuredGrid"):
        orvik.save(tree, tmp_path / "m", surface=tree)


# --- refusal ---------------------------------------------------------------------------


def test_truncation_at_every_section_boundary(saved, tmp_path):
    data, (j0, j1), table = layout(saved)
    (r0, n0), (r1, n1) = table
    cut = tmp_path / "cut.orvik"
    for n in sorted(
        {
            0,
            1,
            8,
            63,
            64,
            j0 - 1,
            j0,
            (j0 + j1) // 2,
            j1,
            r0 - 1,
            r0,
            r0 + n0 // 2,
            r0 + n0,
            r1,
            r1 + n1 - 1,
        }
    ):
        cut.write_bytes(data[:n])
        why = refusal(cut)
        if n == 0:
            assert why == "invalid orvik model file: the file is empty"
        elif n < HEADER:
            assert why.endswith("shorter than the 64-byte header")
        elif n < j0:
            assert why.endswith("bytes, inside the record table")
        else:
            assert why == (
                f"invalid orvik model file: truncated: the header announces {len(data)} bytes, "
                f"{n} are present"
            )


def test_flipped_bytes_in_each_section(saved, tmp_path):
    data, (j0, j1), table = layout(saved)
    (r0, n0), (r1, n1) = table
    bad = tmp_path / "bad.orvik"
    cases = {
        20: "the header checksum does not match",  # the metadata length
        70: "the header checksum does not match",  # the record table
        j0 + 5: "the metadata checksum does not match",
        j1 + 1: "the padding before record 0 is not zero",
        r0 + n0 + 3: "the padding before record 1 is not zero",
    }
    for at, what in cases.items():
        flipped = bytearray(data)
        flipped[at] ^= 0x10
        bad.write_bytes(flipped)
        assert what in refusal(bad), at
    # Inside a record the state's own checksum speaks, naming the record.
    for at, record in ((r0 + 100, "tree"), (r1 + 40, "surface")):
        flipped = bytearray(data)
        flipped[at] ^= 0x01
        bad.write_bytes(flipped)
        assert refusal(bad, record) == (
            f"record '{record}': invalid orvik state: the checksum does not match (the bytes "
            "are corrupted)"
        )
        other = "surface" if record == "tree" else "tree"
        orvik.load(bad, other)  # the other record is whole


def test_foreign_files(tmp_path, tree):
    bad = tmp_path / "bad"
    marker = tmp_path / "ran"

    class Evil:
        def __reduce__(self):
            return (os.mkdir, (str(marker),))

    for content, what in [
        (b"", "the file is empty"),
        (b"lon lat depth\n1 2 3\n", "the magic tag is missing (not an orvik model file)"),
        (pickle.dumps(tree), "it looks like a pickle, which is never loaded (it could run code)"),
        (pickle.dumps(Evil()), "it looks like a pickle, which is never loaded (it could run code)"),
        (
            state_of(tree),
            "it is a bare orvik state (the bytes that pickling writes), not a model file",
        ),
    ]:
        bad.write_bytes(content)
        assert refusal(bad) == f"invalid orvik model file: {what}"
        with pytest.raises(ValueError):
            orvik.info(bad)
    assert not marker.exists()


def test_newer_format_versions_are_named(saved, tmp_path):
    data, _, table = layout(saved)
    newer = bytearray(data)
    struct.pack_into("<I", newer, 8, 2)
    path = tmp_path / "newer.orvik"
    path.write_bytes(newer)
    assert (
        refusal(path)
        == "invalid orvik model file: format version 2 is newer than this orvik reads (up to 1)"
    )
    # A newer state inside a current file: the container takes it, the state
    # reader names it.
    inner = bytearray(data)
    struct.pack_into("<I", inner, table[0][0] + 8, 7)
    path.write_bytes(inner)
    assert refusal(path) == (
        "record 'tree': invalid orvik state: format version 7 is newer than this orvik reads "
        "(up to 2)"
    )


def test_metadata_that_does_not_list_the_records(tmp_path, tree):
    state = state_of(tree)
    path = tmp_path / "m.orvik"
    for meta in [{"records": [{"name": "tree"}]}, {"records": []}, {}, {"records": {"a": 1}}]:
        prefix, spans, _ = _native.model_file_layout(json.dumps(meta).encode(), [len(state)])
        path.write_bytes(prefix + state)
        assert refusal(path) == (
            'invalid orvik model file: the metadata\'s "records" must list one object with a '
            '"name" and a "kind" per record; the file holds 1'
        )
    meta = {"records": [{"name": "tree", "kind": "velocity cube"}]}
    prefix, _, _ = _native.model_file_layout(json.dumps(meta).encode(), [len(state)])
    path.write_bytes(prefix + state)
    assert refusal(path) == (
        "record 'tree' holds a 'velocity cube', which this orvik does not read (a newer orvik may)"
    )
    assert refusal(path, "surface") == "the file holds no record 'surface' (it holds 'tree')"
    assert orvik.info(path)["records"][0]["kind"] == "velocity cube"  # info stays generic


# --- writing safely --------------------------------------------------------------------


def test_an_interrupted_save_leaves_the_old_file_and_no_temporary(saved, tree, monkeypatch):
    before = saved.read_bytes()

    def half(fd, prefix, spans, objects, length):
        os.write(fd, prefix[: len(prefix) // 2])
        raise KeyboardInterrupt

    monkeypatch.setattr(files, "_write_records", half)
    with pytest.raises(KeyboardInterrupt):
        orvik.save(tree, saved)
    assert saved.read_bytes() == before
    assert sorted(os.listdir(saved.parent)) == [saved.name]


def test_a_killed_save_never_leaves_a_file_under_the_real_name(tmp_path):
    path = tmp_path / "model.orvik"
    child = textwrap.dedent(
        f"""
        import os, sys
        sys.path.insert(0, {str(os.path.dirname(__file__))!r})
        import orvik
        from orvik import files
        from pickle_workers import rich_tree

        def half(fd, prefix, spans, objects, length):
            os.write(fd, prefix)
            os._exit(9)  # as if killed mid-write

        files._write_records = half
        orvik.save(rich_tree(), {str(path)!r})
        """
    )
    proc = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True)
    assert proc.returncode == 9, proc.stderr
    assert not path.exists()
    left = os.listdir(tmp_path)
    assert len(left) == 1 and left[0].startswith(".model.orvik.") and left[0].endswith(".tmp")


def test_saved_files_follow_the_umask(tmp_path, tree):
    old = os.umask(0o027)
    try:
        path = orvik.save(tree, tmp_path / "m.orvik")
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o640


# --- the metadata's JSON against Python's json -------------------------------------------

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(10**30), 10**30)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda inner: (
        st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4)
    ),
    max_leaves=20,
)


@settings(max_examples=100, deadline=None, derandomize=True)
@given(st.dictionaries(st.text(max_size=8), json_values, max_size=5), st.booleans())
def test_every_json_object_frames_and_reads_back(obj, ascii_only):
    text = json.dumps(obj, ensure_ascii=ascii_only)
    prefix, _, _ = _native.model_file_layout(text.encode(), [0])
    version, metadata, spans = _native.open_model_file(prefix)
    assert (version, metadata, spans) == (1, text, ((len(prefix), 0),))
    assert json.loads(metadata) == obj


def python_reads(text):
    """Python's strict reading: an object, no duplicate keys, no NaN."""

    def pairs(items):
        keys = [k for k, _ in items]
        if len(set(keys)) != len(keys):
            raise ValueError("duplicate")
        return dict(items)

    def constant(name):
        raise ValueError(name)

    value = json.loads(text, object_pairs_hook=pairs, parse_constant=constant)
    return isinstance(value, dict)


@settings(max_examples=300, deadline=None, derandomize=True)
@given(
    st.dictionaries(st.text(max_size=4), json_values, max_size=3),
    st.lists(
        st.tuples(st.integers(0, 10**6), st.sampled_from(list('{}[]",:0-.eE\\ u\ud800nNa1'))),
        max_size=3,
    ),
)
def test_the_native_check_agrees_with_pythons_json(obj, edits):
    text = json.dumps(obj)
    for at, c in edits:
        at %= len(text) + 1
        text = text[:at] + c + text[at + 1 :]
    data = text.encode("utf-8", "surrogatepass")
    try:
        accepted_by_python = python_reads(data.decode("utf-8"))
    except (ValueError, UnicodeDecodeError, RecursionError):
        accepted_by_python = False
    try:
        _native.model_file_layout(data, [1])
        accepted = True
    except ValueError as e:
        assert str(e).startswith("the metadata is not valid JSON: ")
        accepted = False
    if accepted:
        assert accepted_by_python, text
    elif accepted_by_python:
        # Stricter than Python only on lone surrogates (U+D800 to U+DFFF) in escapes.
        assert re.search(r"\\u[dD][89a-fA-F][0-9a-fA-F]{2}", text), text
