"""Model files: orvik.load against building the model again and against
pickle.loads, for a model tree of about 1.08 million tetrahedra.

The tree is the one of bench_pickle.py: a Delaunay tetrahedralisation of
random points, finished with per-vertex qualities. The build is what a user
without a saved model does (MeshModelBuilder, interpolated, model_tree from
the arrays); orvik.load reads the file into memory of its own and reads the
tree's state there (the page cache is warm: the file was just written and is
read again each run), and the time of that read alone is what it costs that
no change to the file reaches a loaded model; pickle.loads reads the same state from an in-memory pickle. Times
are the best of several runs, since other work on the machine only ever adds
time. RESULT lines feed bench/run_all.py.
"""

import os
import pickle
import tempfile

import orvik
from delaunay_tree import DelaunayTree, same_answers
from orvik import _native
from timing import best_of, report

N_VERTICES = 160_500  # about 6.7 tetrahedra per vertex: 1.08 million
BUILD_RUNS = 2
LOAD_RUNS = 7
GOAL = 50.0


def main() -> None:
    mesh = DelaunayTree(N_VERTICES)

    t_build, _, tree = best_of(mesh.build, BUILD_RUNS)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.orvik")
        t_save, _, _ = best_of(lambda: orvik.save(tree, path, metadata={"crs": "EPSG:32610"}), 3)
        size = os.path.getsize(path)
        t_load, _, loaded = best_of(lambda: orvik.load(path), LOAD_RUNS)
        t_info, _, _ = best_of(lambda: orvik.info(path), LOAD_RUNS)
        t_read, _, _ = best_of(lambda: _read_whole(path), LOAD_RUNS)
    blob = pickle.dumps(tree, protocol=pickle.HIGHEST_PROTOCOL)
    t_pickle, _, _ = best_of(lambda: pickle.loads(blob), LOAD_RUNS)

    same = same_answers(tree, loaded)

    n_tets = len(mesh.faces)
    print(f"mesh: {N_VERTICES:,} vertices, {n_tets:,} tetrahedra; file {size / 1e6:.1f} MB")
    print(f"build from arrays: {t_build:.3f} s")
    print(f"orvik.save: {t_save:.3f} s (temporary file, fsync, rename)")
    print(
        f"orvik.load: {t_load * 1e3:.1f} ms = {t_build / t_load:.1f}x faster than the build "
        f"(goal >= {GOAL:.0f}x{'' if t_build / t_load >= GOAL else ', not met'})"
    )
    print(
        f"  of which reading the file into memory of its own: {t_read * 1e3:.1f} ms "
        f"({t_read / t_load:.0%}), the price of a model that no change to its file reaches "
        f"(a mapping of the file would not cost it)"
    )
    print(
        f"pickle.loads of the same tree: {t_pickle * 1e3:.1f} ms = {t_build / t_pickle:.1f}x "
        f"faster than the build; orvik.load / pickle.loads = {t_load / t_pickle:.2f}"
    )
    print(f"orvik.info: {t_info * 1e6:.0f} us (header and metadata only)")
    print(f"loaded tree answers 200,000 points bit for bit as the built one: {same}")

    size_label = f"{n_tets:,} tetrahedra"
    peer = "build from arrays"
    goal = f">= {GOAL:.0f}x faster than the build"
    report("orvik.load(model file)", size_label, t_load, peer, t_build, goal)
    report("pickle.loads (same tree)", size_label, t_pickle, peer, t_build, "(for comparison)")
    report("orvik.save(model file)", size_label, t_save, None, None, "-")
    report("read the file (within load)", f"{size / 1e6:.0f} MB file", t_read, None, None, "-")
    report("orvik.info(model file)", f"{size / 1e6:.0f} MB file", t_info, None, None, "-")


def _read_whole(path: str) -> None:
    with open(path, "rb") as f:
        _native.read_file(f, os.fstat(f.fileno()).st_size)


if __name__ == "__main__":
    main()
