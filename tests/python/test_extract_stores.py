"""orvik.extract and the paths it writes: it replaces only its own stores,
refuses a store of another extraction naming what differs, survives a cut at
any step of creating or finishing a store, and reports a full disk as such."""

import errno
import os
import shutil
import sys

import pytest

import orvik

xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")
pytest.importorskip("dask")

from conftest import lattice_grid  # noqa: E402
from orvik import extraction  # noqa: E402
from orvik.extraction import STATUS_ATTR  # noqa: E402
from test_extract import CHUNKS, GRID, expected, same_bits, stored  # noqa: E402
from test_sampling import graded_cube, make_tree  # noqa: E402


@pytest.fixture(scope="module")
def tree():
    return make_tree()


def run(tree, path, **kw):
    return orvik.extract(tree, GRID, path, **{"chunks": CHUNKS, "progress": False, **kw})


def _contents(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


@pytest.mark.parametrize("resume", [True, False])
def test_only_a_store_of_an_extraction_is_ever_replaced(tree, tmp_path, monkeypatch, resume):
    data = tmp_path / "mydata"
    (data / "sub").mkdir(parents=True)
    (data / "a.txt").write_text("keep")
    (data / "sub" / "b.txt").write_text("keep")
    with pytest.raises(ValueError) as info:
        run(tree, data, resume=resume)
    assert str(info.value) == (
        f"store {str(data)!r} is not an orvik extraction: it is a folder that holds 'a.txt' "
        "and 'sub/'; choose another store, or remove it yourself"
    )
    foreign = tmp_path / "other.nc"
    foreign.write_bytes(b"CDF\x01 not ours")
    with pytest.raises(ValueError, match="is not an orvik extraction: it is a file of 13 bytes"):
        run(tree, foreign, resume=resume)
    assert foreign.read_bytes() == b"CDF\x01 not ours"
    assert _contents(data) == ["a.txt", "sub", "sub/b.txt"]

    monkeypatch.chdir(data)
    for given in ("", ".", str(tmp_path)):
        with pytest.raises(ValueError, match="working directory; give the store a path of its"):
            run(tree, given, resume=resume)
    monkeypatch.setenv("HOME", str(data / "sub"))
    with pytest.raises(ValueError, match="is a home directory"):
        run(tree, data / "sub", resume=resume)
    assert _contents(data) == ["a.txt", "sub", "sub/b.txt"]

    empty = tmp_path / "empty"
    empty.mkdir()
    run(tree, empty, resume=resume)  # an empty folder is taken
    run(tree, empty, resume=False)  # and our store replaced
    assert xr.open_zarr(empty).attrs[STATUS_ATTR]["status"] == "complete"


def _other_tree():
    # The same structure as make_tree's, other values.
    return orvik.model_tree(
        [
            graded_cube((0, 0, 0), 8, 0, "depth", 0.75),
            graded_cube((0, 0, -10), 10, 5, "elevation", 1.0),
        ]
    )


@pytest.mark.parametrize(
    "change, named",
    [
        ({"tree": "other"}, "model differs"),
        ({"surface": True}, "surface differs"),
        ({"chunks": {"x": 12, "y": 8, "depth": 6}}, "chunks differ"),
        ({"priority": (0, 4)}, "its priority range"),
    ],
)
@pytest.mark.parametrize("fmt", ["zarr", "netcdf"])
def test_a_store_of_another_extraction_is_refused_naming_what_differs(
    tree, tmp_path, change, named, fmt
):
    pytest.importorskip("netCDF4") if fmt == "netcdf" else None
    path = tmp_path / ("v.nc" if fmt == "netcdf" else "v.zarr")
    run(tree, path)
    kw = dict(change)
    other = _other_tree() if kw.pop("tree", None) else tree
    if kw.pop("surface", None):
        kw["surface"] = lattice_grid(4, 5)
    with pytest.raises(ValueError) as info:
        run(other, path, **kw)
    assert named in str(info.value) and "pass resume=False to replace it" in str(info.value)
    run(other, path, resume=False, **kw)
    opened = xr.open_dataset(path) if fmt == "netcdf" else xr.open_zarr(path)
    with opened as data:
        if other is not tree:
            same_bits(stored(data), expected(other))


def _cut_after(monkeypatch, owner, name, calls=1):
    """Makes owner.name run, then raise as a kill would, on its *calls*-th call."""
    original = getattr(owner, name)
    seen = []

    def cut(*args, **kwargs):
        result = original(*args, **kwargs)
        seen.append(1)
        if len(seen) == calls:
            raise KeyboardInterrupt("killed")
        return result

    monkeypatch.setattr(owner, name, cut)


@pytest.mark.parametrize(
    "window",
    [
        (xr.Dataset, "to_zarr"),  # while the store is created
        (zarr.Group, "__delitem__"),  # while it is finished
        (zarr, "consolidate_metadata"),
    ],
)
def test_a_cut_while_a_store_is_created_or_finished_resumes(tree, tmp_path, monkeypatch, window):
    path = tmp_path / "v.zarr"
    with monkeypatch.context() as patch:
        _cut_after(patch, *window)
        with pytest.raises(KeyboardInterrupt):
            run(tree, path)
    run(tree, path)
    with xr.open_zarr(path) as data:  # consolidated, warnings are errors here
        assert data.attrs[STATUS_ATTR]["status"] == "complete"
        same_bits(stored(data), expected(tree))
    assert "orvik_blocks_written" not in zarr.open_group(str(path), mode="r")


@pytest.mark.parametrize("fmt", ["zarr", "zarr2"])
def test_an_unfinished_store_opens_and_says_so(tree, tmp_path, monkeypatch, fmt):
    path = tmp_path / "v.zarr"
    monkeypatch.setattr(extraction, "_finish", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        run(tree, path, format=fmt)
    with xr.open_zarr(path, consolidated=False) as data:
        assert data.attrs[STATUS_ATTR]["status"] == "incomplete"
        same_bits(stored(data), expected(tree))


def test_a_finish_with_blocks_unwritten_is_refused(tree, tmp_path, monkeypatch):
    path = tmp_path / "v.zarr"
    original = extraction._run
    monkeypatch.setattr(extraction, "_run", lambda v, p, n, todo, b: original(v, p, n, todo[1:], b))
    with pytest.raises(RuntimeError, match="1 block was not written"):
        run(tree, path)
    monkeypatch.undo()
    run(tree, path)
    with xr.open_zarr(path) as data:
        same_bits(stored(data), expected(tree))


@pytest.mark.parametrize("when", ["before", "during"])
def test_a_full_disk_says_so_and_leaves_no_staging_file(tree, tmp_path, monkeypatch, when):
    pytest.importorskip("netCDF4")
    real = shutil.disk_usage
    calls = []

    def usage(path):
        calls.append(path)
        total, used, free = real(path)
        full = when == "before" or len(calls) > 1
        return type(real(path))(total, used, 1000 if full else free)

    monkeypatch.setattr(shutil, "disk_usage", usage)
    if when == "during":

        def failing(self, path, **kw):
            with open(path, "wb") as f:
                f.write(b"\x89HDF\r\n\x1a\n half")
            raise RuntimeError("NetCDF: HDF error")

        monkeypatch.setattr(xr.Dataset, "to_netcdf", failing)
    target = tmp_path / "v.nc"
    with pytest.raises(OSError) as info:
        run(tree, target)
    assert info.value.errno == errno.ENOSPC and "No space left on device" in str(info.value)
    assert not target.exists() and not (tmp_path / "v.nc.partial").exists()


def test_an_unreadable_store_is_not_called_another_extraction(tree, tmp_path, monkeypatch):
    path = run(tree, tmp_path / "v.zarr")

    def denied(*args, **kwargs):
        raise PermissionError(errno.EACCES, "Permission denied", str(path))

    monkeypatch.setattr(zarr, "open_group", denied)
    with pytest.raises(PermissionError):
        run(tree, path)
    monkeypatch.undo()
    pytest.importorskip("netCDF4")
    nc = run(tree, tmp_path / "v.nc")
    monkeypatch.setattr(xr, "open_dataset", denied)
    with pytest.raises(PermissionError):
        run(tree, nc)
    assert os.path.getsize(nc) > 0


def test_a_resumed_bar_starts_at_the_blocks_written_before(tree, tmp_path, monkeypatch):
    from test_extract import _Terminal

    path = tmp_path / "v.zarr"
    original = extraction._run
    with monkeypatch.context() as patch:
        patch.setattr(extraction, "_run", lambda v, p, n, todo, b: original(v, p, n, todo[:40], b))
        with pytest.raises(RuntimeError, match="24 blocks were not written"):
            run(tree, path)
    stream = _Terminal()
    monkeypatch.setattr(sys, "stderr", stream)
    run(tree, path, progress=True)
    shown = "".join(stream.text)
    assert " 40/64 " in shown and " 64/64 " in shown and " 0/64 " not in shown
