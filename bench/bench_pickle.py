"""Pickling a velocity model: reload against build, and pickled size against
the memory the model holds.

One model tree over a Delaunay tetrahedralisation of random points (about one
million tetrahedra, as in bench_mesh.py). The build is what a worker would do
without pickling: MeshModelBuilder, interpolated and model_tree from the
arrays. The reload is pickle.loads of the pickled tree (and, for reference,
PyModelTree.__from_state on the state bytes alone, without pickle's own copy,
and a protocol-5 round trip with the state out of band).
The size is len(pickle.dumps(tree)) against the tree's own estimate of its
memory, view()["size"]. Times are the best of several runs, since other work
on the machine only ever adds time. RESULT lines feed bench/run_all.py.
"""

import pickle

import orvik
from delaunay_tree import DelaunayTree, same_answers
from timing import best_of, report

N_VERTICES = 160_000  # about 6.6 tetrahedra per vertex
BUILD_RUNS = 3
LOAD_RUNS = 7


def main() -> None:
    mesh = DelaunayTree(N_VERTICES)
    n_tets = len(mesh.faces)

    t_build, _, tree = best_of(mesh.build, BUILD_RUNS)
    t_dumps, _, blob = best_of(lambda: pickle.dumps(tree, protocol=pickle.HIGHEST_PROTOCOL), 3)
    state = tree.__reduce__()[1][0]
    t_loads, _, loaded = best_of(lambda: pickle.loads(blob), LOAD_RUNS)
    t_state, _, _ = best_of(lambda: orvik.PyModelTree.__from_state(state), LOAD_RUNS)
    # Protocol 5 with the state out of band, as Dask's and Ray's transports
    # pickle: no copy of the state in the stream, none when it is read back.
    buffers = []
    stream = pickle.dumps(tree, protocol=5, buffer_callback=buffers.append)
    t_band, _, _ = best_of(lambda: pickle.loads(stream, buffers=buffers), LOAD_RUNS)

    # The reloaded tree answers as the built one does.
    same = same_answers(tree, loaded)

    memory = tree.view()["size"]
    size_ratio = len(blob) / memory
    print(
        f"mesh: {N_VERTICES:,} vertices, {n_tets:,} tetrahedra; model memory {memory / 1e6:.1f} MB "
        f"(view()['size'])"
    )
    print(f"build from arrays (MeshModelBuilder + interpolated + model_tree): {t_build:.3f} s")
    print(
        f"pickle.dumps: {t_dumps * 1e3:.1f} ms, {len(blob) / 1e6:.1f} MB; state {len(state) / 1e6:.1f} MB"
    )
    print(
        f"pickle.loads: {t_loads * 1e3:.1f} ms = {t_build / t_loads:.1f}x faster than the build (goal >= 10x)"
    )
    print(
        f"pickle.loads, state out of band (protocol 5): {t_band * 1e3:.1f} ms = "
        f"{t_build / t_band:.1f}x faster than the build"
    )
    print(
        f"PyModelTree.__from_state: {t_state * 1e3:.1f} ms = {t_build / t_state:.1f}x faster than the build"
    )
    print(f"pickled size / model memory: {size_ratio:.4f} (goal <= 1.2)")
    print(f"reloaded tree answers 200,000 points bit for bit as the built one: {same}")

    size = f"{n_tets:,} tetrahedra"
    peer = "build from arrays"
    report(
        "pickle.loads(PyModelTree)", size, t_loads, peer, t_build, ">= 10x faster than the build"
    )
    report(
        "pickle.loads, out of band",
        size,
        t_band,
        peer,
        t_build,
        ">= 10x faster than the build",
    )
    report("PyModelTree.__from_state", size, t_state, peer, t_build, "(state bytes only)")
    report("pickle.dumps(PyModelTree)", size, t_dumps, None, None, "-")
    report(
        "pickled size / model memory",
        f"{len(blob):,} / {memory:,} bytes",
        None,
        None,
        None,
        "<= 1.2x",
        ratio=size_ratio,
    )


if __name__ == "__main__":
    main()
