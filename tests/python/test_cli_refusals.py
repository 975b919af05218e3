"""The orvik command on what it must refuse without a traceback: odd metadata,
records of the wrong kind, priority ranges, a closed standard output; and an
elevation model queried by depth, where the surface decides the answer."""

import json

import numpy as np
import pytest

import orvik
from orvik import _native, cli, site
from test_cli import LEVELS, LOCAL, SPEEDS, column_model, orvik_command, rows, surface_plane


@pytest.fixture(scope="module")
def elevation_model(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "elevation.orvik"
    tree = orvik.model_tree([column_model(LEVELS, SPEEDS, vertical="elevation")])
    orvik.save(tree, path, metadata={"crs": LOCAL}, surface=surface_plane(top=5.0, slope=(0.05, 0)))
    return path


def test_an_elevation_model_queried_by_depth(elevation_model):
    x, y = np.array([10.0, 50.0, 90.0]), np.array([20.0, 50.0, 80.0])
    depth = np.array([3.0, 20.0, 40.0])
    text = "".join(f"{a} {b} {d}\n" for a, b, d in zip(x, y, depth))
    proc = orvik_command("query", elevation_model, "--crs", "model", stdin=text.encode())
    assert proc.returncode == 0, proc.stderr
    z = (5.0 + 0.05 * x - depth).astype(np.float32)
    out = np.full((3, 6), np.nan, np.float32)
    coords = orvik.QueryCoordinates(*(np.asarray(a, np.float32) for a in (x, y, z, depth)))
    orvik.load(elevation_model).query_many(out, coords, orvik.QueryParams(0, 255))
    np.testing.assert_array_equal(rows(proc.stdout), out)
    assert np.isfinite(out).all()


def _rewritten(source, target, metadata=None, kinds=None):
    """A model file with *source*'s records and other metadata or record kinds."""
    facts = orvik.info(source)
    document = dict(facts["metadata"], **(metadata or {}))
    if kinds:
        document["records"] = [{"name": n, "kind": k} for n, k in kinds]
    data = source.read_bytes()
    states = [data[r["offset"] : r["offset"] + r["bytes"]] for r in facts["records"]]
    if kinds:
        states = states[-len(kinds) :]
    prefix, spans, length = _native.model_file_layout(
        json.dumps(document).encode(), map(len, states)
    )
    out = bytearray(length)
    out[: len(prefix)] = prefix
    for (offset, n), state in zip(spans, states):
        out[offset : offset + n] = state
    target.write_bytes(bytes(out))
    return target


@pytest.mark.parametrize(
    "change, message",
    [
        ({"metadata": {"units": ["m"]}}, "the metadata's 'units' must be an object of strings"),
        ({"metadata": {"models": "column"}}, "the metadata's 'models' must be a list of objects"),
        ({"kinds": [("tree", "structured grid")]}, "record 'tree' holds a 'structured grid'"),
    ],
)
@pytest.mark.parametrize("command", ["info", "query"])
def test_odd_files_are_refused_without_a_traceback(
    elevation_model, tmp_path, change, message, command
):
    path = _rewritten(elevation_model, tmp_path / "odd.orvik", **change)
    proc = (
        orvik_command(command, path, "--crs", "model", stdin=b"1 1 1\n")
        if command == "query"
        else orvik_command(command, path)
    )
    text = proc.stderr.decode()
    if command == "info" and "kinds" in change:
        assert proc.returncode == 0, text  # info reads no record
        return
    assert proc.returncode == 1 and "Traceback" not in text and message in text, text


@pytest.mark.parametrize(
    "priority, message",
    [
        (["0", "300"], "'300' is not an integer from 0 to 255"),
        (["5", "1"], "--priority: LO 5 is above HI 1"),
    ],
)
@pytest.mark.parametrize("command", ["query", "site"])
def test_a_priority_range_that_no_model_could_match_is_refused(
    elevation_model, priority, message, command
):
    stations = ["stations.csv"] if command == "site" else []
    proc = orvik_command(command, elevation_model, *stations, "--priority", *priority)
    assert proc.returncode == 2 and message in proc.stderr.decode(), proc.stderr


def test_site_products_refuse_an_empty_priority_range(elevation_model):
    tree = orvik.load(elevation_model)
    with pytest.raises(ValueError, match="priority must be a .lo, hi. range with lo <= hi"):
        site.vs30(tree, np.array([1.0]), np.array([1.0]), priority=(5, 1))


def test_a_closed_standard_output_is_said(elevation_model):
    import subprocess
    import sys

    proc = subprocess.run(
        ["sh", "-c", f'"{sys.executable}" -m orvik.cli info "{elevation_model}" >&-'],
        capture_output=False,
        stderr=subprocess.PIPE,
    )
    assert proc.returncode == 1
    assert proc.stderr.decode() == "orvik info: standard output is closed\n"


def test_extract_names_its_own_flag_and_lets_bugs_through(elevation_model, tmp_path, monkeypatch):
    pytest.importorskip("zarr")
    out = tmp_path / "v.zarr"
    base = ["extract", elevation_model, "--crs", "model", "--x", "0:10:3", "--y", "0:10:3"]
    first = orvik_command(*base, "--depth", "0:10:3", "--no-progress", out)
    assert first.returncode == 0, first.stderr
    again = orvik_command(*base, "--depth", "0:20:3", "--no-progress", out)
    text = again.stderr.decode()
    assert again.returncode == 1 and "pass --restart to replace it" in text and "resume" not in text

    from orvik import extraction

    def broken(*args, **kwargs):
        raise TypeError("a bug, not the user's")

    monkeypatch.setattr(extraction, "extract", broken)
    with pytest.raises(TypeError, match="a bug"):
        cli.main([str(a) for a in base] + ["--depth", "0:10:3", str(tmp_path / "w.zarr")])


@pytest.mark.parametrize("stated, refused", [("m/s", True), ("km s-1", False)])
def test_extract_refuses_speeds_it_would_mislabel(elevation_model, tmp_path, stated, refused):
    pytest.importorskip("zarr")
    import xarray as xr

    path = _rewritten(elevation_model, tmp_path / "units.orvik", {"units": {"vs": stated}})
    out = tmp_path / "v.zarr"
    proc = orvik_command(
        "extract", path, "--crs", "model", "--x", "0:10:3", "--y", "0:10:3", "--depth", "0:10:3",
        "--qualities", "vp,vs", "--no-progress", out,
    )  # fmt: skip
    text = proc.stderr.decode()
    if refused:
        assert proc.returncode == 1 and "states vs in m/s" in text and "Traceback" not in text
        assert not out.exists()
    else:
        assert proc.returncode == 0, text
        assert xr.open_zarr(out)["vs"].attrs["units"] == "km/s"
