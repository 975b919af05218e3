"""Reading model files: a loaded model never changes with its file, and what
is not a model file is refused from its first bytes, before it is read whole."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

import orvik

# Loads a model, then overwrites its file in place three ways (same size with
# other values, a larger model, truncation) and checks the answers each time.
# Run in a child, since a model that reads a changed file may die of a signal.
_OVERWRITE_IN_PLACE = textwrap.dedent(
    """
    import os, shutil, sys
    import numpy as np
    import orvik

    def tet_tree(scale, copies=1):
        verts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
        models = []
        for k in range(copies):
            values = np.arange(24, dtype=np.float32).reshape(4, 6) * scale + k
            build = orvik.MeshModelBuilder(verts, np.array([[0, 1, 2, 3]], np.uint64), 0,
                                           "elevation", (0, 0, 0, 1, 1, 1))
            models.append(build.interpolated(values))
        return orvik.model_tree(models)

    folder = sys.argv[1]
    path, same, larger = (f"{folder}/{n}.orvik" for n in ("model", "same", "larger"))
    orvik.save(tet_tree(1.0), path)
    orvik.save(tet_tree(3.0), same)
    orvik.save(tet_tree(5.0, copies=40), larger)
    assert os.path.getsize(path) == os.path.getsize(same)
    loaded = orvik.load(path)
    x = [np.random.default_rng(k).uniform(0, 0.3, 2000).astype(np.float32) for k in range(3)]
    def answers():
        out = np.full((2000, 6), np.nan, np.float32)
        loaded.query_many(out, orvik.QueryCoordinates(*x, x[2]), orvik.QueryParams(0, 255))
        return out
    before = answers()
    assert np.isfinite(before).all()
    with open(same, "rb") as src, open(path, "r+b") as dst:
        dst.write(src.read())
    assert np.array_equal(answers(), before), "same size"
    shutil.copyfile(larger, path)
    assert np.array_equal(answers(), before), "larger"
    open(path, "wb").close()
    assert np.array_equal(answers(), before), "truncated"
    print("unchanged")
    """
)


def test_a_loaded_model_never_changes_with_its_file(tmp_path):
    child = subprocess.run(
        [sys.executable, "-c", _OVERWRITE_IN_PLACE, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == "unchanged"


def test_a_foreign_file_is_refused_from_its_first_bytes(tmp_path):
    # A large sparse file: reading it whole first would take its size in memory.
    path = tmp_path / "sparse.orvik"
    with open(path, "wb") as f:
        f.truncate(1 << 30)
    child = subprocess.run(
        [
            sys.executable,
            "-c",
            # The peak resident memory of this process since its exec (VmHWM):
            # unlike ru_maxrss, it owes nothing to the parent's size.
            "import re, sys, orvik\n"
            "try:\n    orvik.load(sys.argv[1])\nexcept ValueError as e:\n    print(e)\n"
            "status = open('/proc/self/status').read()\n"
            "print(re.search(r'VmHWM:\\s+(\\d+) kB', status).group(1))",
            str(path),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    message, peak_kib = child.stdout.strip().splitlines()
    assert (
        message
        == f"{path}: invalid orvik model file: the magic tag is missing (not an orvik model file)"
    )
    assert int(peak_kib) < 256 << 10


@pytest.mark.parametrize("how", ["load", "info"])
def test_paths_that_are_no_regular_file_are_refused_without_waiting(tmp_path, how):
    fifo = tmp_path / "fifo.orvik"
    os.mkfifo(fifo)
    outcome = []

    def read(path):
        try:
            getattr(orvik, how)(path)
        except ValueError as e:
            outcome.append(str(e))

    for path, kind in (
        (fifo, "a FIFO"),
        ("/dev/null", "a character device"),
        (tmp_path, "a folder"),
    ):
        worker = threading.Thread(target=read, args=(path,), daemon=True)
        worker.start()
        worker.join(30)
        assert not worker.is_alive(), f"{how} waits on {kind}"
        assert (
            outcome.pop()
            == f"{path}: not a regular file but {kind}; a model file is a regular file"
        )


def test_saving_through_a_symbolic_link_replaces_the_file_it_names(tmp_path):
    target, link = tmp_path / "real.orvik", tmp_path / "link.orvik"
    first = orvik.model_tree([])
    orvik.save(first, target)
    link.symlink_to(target.name)
    tree = orvik.model_tree([_column(7.0)])
    assert orvik.save(tree, link) == link
    assert link.is_symlink() and os.readlink(link) == target.name
    assert orvik.info(target)["metadata"]["models"] == orvik.info(link)["metadata"]["models"]
    assert len(orvik.load(target).view()["models"]) == 1


def _column(vs):
    import numpy as np

    verts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
    build = orvik.MeshModelBuilder(
        verts, np.array([[0, 1, 2, 3]], np.uint64), 0, "elevation", (0, 0, 0, 1, 1, 1)
    )
    return build.interpolated(np.full((4, 6), vs, np.float32))
