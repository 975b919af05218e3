"""Mesh model build and point location, single thread, against SciPy.

A Delaunay tetrahedralisation of random points in a cube (about one million
tetrahedra) with per-vertex qualities, in a model tree of that one model.
Two sets of a million query points: uniformly random (random order) and the
centres of a 100 x 100 x 100 grid in C order (grid order). For each set it
prints the throughput of

* `query_many` (the batch is put in Morton order and located a packet of
  nearby points at a time);
* the row-by-row loop that `query_many` ran before, kept as the reference
  (native bench_mesh_query, built with -DORVIK_BUILD_TESTS=ON; it also checks
  that both loops give identical bits);
* SciPy's `find_simplex` plus barycentric interpolation (in random order it
  walks from one point's simplex to the next across the mesh, so it is timed
  on a sample of 50,000 points and extrapolated);

and the build time of `interpolated` and the per-call Python `query`. Times
are the best of three, wall clock and CPU time of the process (the machine
may be shared); the ratios use wall clock. RESULT lines feed bench/run_all.py.
Goals: at least 2.5 million points per second in random order and 3 million
in grid order.
"""

import json
import os
import pathlib
import subprocess
import tempfile
import time

import numpy as np
from scipy.spatial import Delaunay

import orvik
from timing import best_of, report

N_VERTICES = 160_000  # about 6.7 tetrahedra per vertex
GRID_SIDE = 100  # grid order: GRID_SIDE ** 3 points
N_PYTHON_CALLS = 200_000
SCIPY_SAMPLE = {"random": 50_000, "grid": None}  # None: every point
GOALS = {"random": 2.5e6, "grid": 3.0e6}


def native_executable():
    env = os.environ.get("ORVIK_BENCH_MESH_QUERY")
    if env:
        return pathlib.Path(env) if pathlib.Path(env).exists() else None
    # Next to the module being benchmarked: <build>/python/orvik*.so -> <build>/bench/.
    candidate = pathlib.Path(orvik.__file__).resolve().parent.parent / "bench" / "bench_mesh_query"
    if candidate.exists():
        return candidate
    root = pathlib.Path(__file__).resolve().parent.parent / "build"
    found = sorted(root.glob("*/bench/bench_mesh_query"), key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


def scipy_interpolate(tri, qualities, points):
    s = tri.find_simplex(points)
    inside = s >= 0
    t = tri.transform[s[inside]]
    b = np.einsum("nij,nj->ni", t[:, :3], points[inside] - t[:, 3])
    w = np.concatenate([b, 1 - b.sum(axis=1, keepdims=True)], axis=1)
    q = qualities[tri.simplices[s[inside]]]  # (n, 4, 6)
    out = np.full((len(points), 6), np.nan)
    out[inside] = np.einsum("nk,nkc->nc", w, q)
    return out, inside


def grid_points(lo, hi, side):
    """Cell centres of a side^3 grid over the box, x slowest, z fastest."""
    axes = [
        lo[a]
        + (hi[a] - lo[a]) * (np.arange(side, dtype=np.float32) + np.float32(0.5)) / np.float32(side)
        for a in range(3)
    ]
    gx, gy, gz = np.meshgrid(*axes, indexing="ij")
    return np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()]).astype(np.float32)


def main() -> None:
    rng = np.random.default_rng(3)
    vertices = rng.uniform(0, 1000, (N_VERTICES, 3))
    start = time.perf_counter()
    tri = Delaunay(vertices)
    t_delaunay = time.perf_counter() - start
    faces = tri.simplices.astype(np.uint64)
    n_tets = len(faces)
    qualities = rng.uniform(1, 10, (N_VERTICES, 6)).astype(np.float32)
    qualities[:, 5] = 1
    v32 = vertices.astype(np.float32)
    lo, hi = v32.min(axis=0), v32.max(axis=0)
    sets = {
        "random": rng.uniform(lo, hi, (GRID_SIDE**3, 3)).astype(np.float32),
        "grid": grid_points(lo, hi, GRID_SIDE),
    }
    print(
        f"mesh: {N_VERTICES:,} vertices, {n_tets:,} tetrahedra (SciPy Delaunay {t_delaunay:.1f} s)"
    )

    bounds = tuple(float(v) for v in (*lo, *hi))
    start = time.perf_counter()
    builder = orvik.MeshModelBuilder(v32, faces, 0, "elevation", bounds)
    t_ctor = time.perf_counter() - start
    start = time.perf_counter()
    model = builder.interpolated(qualities)
    t_build = time.perf_counter() - start
    print(
        f"build: MeshModelBuilder {t_ctor * 1e3:.0f} ms, interpolated {t_build:.3f} s "
        f"({t_build / (n_tets / 1e6):.3f} s per million tetrahedra, goal < 1.5 s)"
    )

    # Python, one call per point (a sample, extrapolated to a million).
    sample = sets["random"][:N_PYTHON_CALLS].tolist()
    query = model.query
    start = time.perf_counter()
    [query(x, y, z) for x, y, z in sample]
    t_python = (time.perf_counter() - start) * (len(sets["random"]) / N_PYTHON_CALLS)

    tree = orvik.model_tree([model])
    params = orvik.QueryParams(0, 255)
    _ = tri.transform  # SciPy computes its barycentric transforms once, on first use: not timed
    ours, scipy = {}, {}
    for name, pts in sets.items():
        x, y, z = (np.ascontiguousarray(pts[:, k]) for k in range(3))
        coords = orvik.QueryCoordinates(x, y, z, z)
        out = np.full((len(pts), 6), np.nan, np.float32)
        ours[name] = best_of(lambda: tree.query_many(out, coords, params), 3)[:2]
        m = SCIPY_SAMPLE[name] or len(pts)
        start = time.perf_counter()
        expect, inside = scipy_interpolate(
            tri, qualities.astype(np.float64), pts[:m].astype(np.float64)
        )
        scipy[name] = (time.perf_counter() - start) * len(pts) / m
        found = ~np.isnan(out[:m, 0])
        both = found & inside
        rel = np.abs(out[:m][both, 0] - expect[both, 0]) / expect[both, 0]
        print(
            f"{name} order, {m:,} points compared with SciPy: located {found.sum():,} (SciPy {inside.sum():,}), "
            f"agreement on inside/outside {np.mean(found == inside) * 100:.3f}%, "
            f"max relative rho difference {rel.max():.1e}"
        )

    native = None
    exe = native_executable()
    if exe is not None:
        with tempfile.TemporaryDirectory() as tmp:
            path = pathlib.Path(tmp) / "mesh.bin"
            with open(path, "wb") as f:
                np.array(
                    [N_VERTICES, n_tets, len(sets["random"]), len(sets["grid"])], np.uint64
                ).tofile(f)
                v32.tofile(f)
                tri.simplices.astype(np.uint32).tofile(f)
                qualities.tofile(f)
                sets["random"].tofile(f)
                sets["grid"].tofile(f)
            proc = subprocess.run([str(exe), str(path)], capture_output=True, text=True)
            if proc.stdout.strip():
                native = json.loads(proc.stdout)
    else:
        print("native bench_mesh_query not found: build it with -DORVIK_BUILD_TESTS=ON")

    for name in sets:
        wall, cpu = ours[name]
        n = len(sets[name])
        print(
            f"{name} order: query_many {wall * 1e3:.0f} ms = {n / wall / 1e6:.2f} M points/s "
            f"({n / cpu / 1e6:.2f} M per CPU second; goal >= {GOALS[name] / 1e6:g} M); "
            f"SciPy {scipy[name] * 1e3:.0f} ms{' (extrapolated)' if SCIPY_SAMPLE[name] else ''} = "
            f"{n / scipy[name] / 1e6:.2f} M points/s, "
            f"ratio {scipy[name] / wall:.1f}x"
        )
        if native:
            r = native[name]
            rr, oo = r["row_by_row"], r["ordered"]
            print(
                f"  native loops: row by row {rr['wall_s'] * 1e3:.0f} ms "
                f"({n / rr['wall_s'] / 1e6:.2f} M points/s, {n / rr['cpu_s'] / 1e6:.2f} M per CPU second), "
                f"ordered {oo['wall_s'] * 1e3:.0f} ms ({n / oo['wall_s'] / 1e6:.2f} M points/s, "
                f"{n / oo['cpu_s'] / 1e6:.2f} M per CPU second); query_many is "
                f"{rr['wall_s'] / wall:.1f}x the row-by-row loop"
            )
    if native:
        print(
            f"  native: BVH depth {native['depth']}, {native['nodes']:,} nodes; both loops give identical "
            f"bits: {native['identical']}"
        )
    print(f"PyMeshModel.query, one call per point: {t_python:.2f} s per million points")
    with open("/proc/loadavg") as f:
        print(f"load average while measuring: {f.read().split()[0]} on {os.cpu_count()} cores")

    size = f"{n_tets:,} tetrahedra"
    report(
        "MeshModelBuilder.interpolated", size, t_build, None, None, "< 1.5 s per million tetrahedra"
    )
    for name in sets:
        n = len(sets[name])
        wall = ours[name][0]
        what = f"query_many, {name} order ({n / wall / 1e6:.2f} M points/s)"
        goal = f">= {GOALS[name] / 1e6:g} M points/s"
        if native:
            report(
                what,
                f"{n:,} points, {size}",
                wall,
                "row-by-row loop",
                native[name]["row_by_row"]["wall_s"],
                goal,
            )
        report(
            what,
            f"{n:,} points, {size}",
            wall,
            "SciPy find_simplex + barycentric",
            scipy[name],
            goal,
        )
    report(
        "PyMeshModel.query (one call per point)",
        f"{len(sets['random']):,} points",
        t_python,
        "SciPy find_simplex + barycentric",
        scipy["random"],
        "(one Python call per point)",
    )


if __name__ == "__main__":
    main()
