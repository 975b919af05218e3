"""Mesh model build and point location against SciPy on the same mesh.

A Delaunay tetrahedralisation of random points in a box (about one million
tetrahedra) with per-vertex qualities. Prints the build time of
`interpolated`; then, for one million random points, the throughput of the
native query loop (bench_mesh_query, built with -DORVIK_BUILD_TESTS=ON), of
the per-call Python `PyMeshModel.query`, and of SciPy's `find_simplex` plus
barycentric interpolation, with the ratios. RESULT lines feed bench/run_all.py.
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

N_POINTS = 1_000_000
N_VERTICES = 160_000  # about 6.6 tetrahedra per vertex
N_PYTHON_CALLS = 200_000


def native_executable():
    env = os.environ.get("ORVIK_BENCH_MESH_QUERY")
    if env:
        return pathlib.Path(env)
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
    points = rng.uniform(-10, 1010, (N_POINTS, 3)).astype(np.float32)
    print(f"mesh: {N_VERTICES:,} vertices, {n_tets:,} tetrahedra (SciPy Delaunay {t_delaunay:.1f} s)")

    v32 = vertices.astype(np.float32)
    bounds = (0, 0, 0, 1000, 1000, 1000)
    start = time.perf_counter()
    builder = orvik.MeshModelBuilder(v32, faces, 0, "elevation", bounds)
    t_ctor = time.perf_counter() - start
    start = time.perf_counter()
    model = builder.interpolated(qualities)
    t_build = time.perf_counter() - start
    per_million = t_build / (n_tets / 1e6)
    print(f"build: MeshModelBuilder {t_ctor * 1e3:.0f} ms, interpolated {t_build:.3f} s "
          f"({per_million:.3f} s per million tetrahedra, goal < 1.5 s)")

    # SciPy: find_simplex plus barycentric interpolation, vectorised.
    start = time.perf_counter()
    expect, inside = scipy_interpolate(tri, qualities.astype(np.float64), points.astype(np.float64))
    t_scipy = time.perf_counter() - start

    # Python, one call per point (a sample, extrapolated to N_POINTS).
    sample = points[:N_PYTHON_CALLS].tolist()
    query = model.query
    start = time.perf_counter()
    got = [query(x, y, z) for x, y, z in sample]
    t_python = (time.perf_counter() - start) * (N_POINTS / N_PYTHON_CALLS)
    found = np.array([g is not None for g in got])
    agree = np.mean(found == inside[:N_PYTHON_CALLS])
    rho = np.array([g["rho"] if g else np.nan for g in got])
    both = found & inside[:N_PYTHON_CALLS]
    max_rel = np.nanmax(np.abs(rho[both] - expect[:N_PYTHON_CALLS][both, 0]) / expect[:N_PYTHON_CALLS][both, 0])

    native = None
    exe = native_executable()
    if exe is not None:
        with tempfile.TemporaryDirectory() as tmp:
            path = pathlib.Path(tmp) / "mesh.bin"
            with open(path, "wb") as f:
                np.array([N_VERTICES, n_tets, N_POINTS], np.uint64).tofile(f)
                v32.tofile(f)
                tri.simplices.astype(np.uint32).tofile(f)
                qualities.tofile(f)
                points.tofile(f)
            proc = subprocess.run([str(exe), str(path)], capture_output=True, text=True, check=True)
            native = json.loads(proc.stdout)

    rate = lambda seconds: N_POINTS / seconds / 1e6  # noqa: E731
    print(f"locate + interpolate {N_POINTS:,} points ({inside.mean() * 100:.0f}% inside):")
    print(f"  SciPy find_simplex + barycentric: {t_scipy:.3f} s = {rate(t_scipy):.2f} M points/s")
    print(f"  orvik PyMeshModel.query per call: {t_python:.3f} s = {rate(t_python):.2f} M points/s "
          f"(extrapolated from {N_PYTHON_CALLS:,} calls; ratio {t_scipy / t_python:.2f}x)")
    if native:
        t_native = native["query_s"]
        print(f"  orvik native MeshModel::query loop: {t_native:.3f} s = {rate(t_native):.2f} M points/s "
              f"(ratio {t_scipy / t_native:.2f}x, goal >= 3x); native build {native['build_s']:.3f} s, "
              f"BVH depth {native['depth']}, {native['nodes']:,} nodes, found {native['found']:,} "
              f"(SciPy {int(inside.sum()):,})")
    else:
        print("  native bench_mesh_query not found: build it with -DORVIK_BUILD_TESTS=ON")
    print(f"  agreement with SciPy on inside/outside: {agree * 100:.3f}% of sampled points; "
          f"max relative rho difference {max_rel:.2e}")

    size = f"{n_tets:,} tetrahedra"
    print("RESULT " + json.dumps({"operation": "MeshModelBuilder.interpolated", "size": size,
                                  "ours_s": t_build, "peer": None, "peer_s": None,
                                  "goal": "< 1.5 s per million tetrahedra"}))
    if native:
        print("RESULT " + json.dumps({"operation": "MeshModel::query (native loop)",
                                      "size": f"{N_POINTS:,} points", "ours_s": native["query_s"],
                                      "peer": "SciPy find_simplex + barycentric", "peer_s": t_scipy,
                                      "goal": ">= 3x faster"}))
    print("RESULT " + json.dumps({"operation": "PyMeshModel.query (one call per point)",
                                  "size": f"{N_POINTS:,} points", "ours_s": t_python,
                                  "peer": "SciPy find_simplex + barycentric", "peer_s": t_scipy,
                                  "goal": "(one Python call per point)"}))


if __name__ == "__main__":
    main()
