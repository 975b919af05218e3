"""Grid model throughput and size.

A grid model of 216^3 (about 10^7) nodes, alone in a model tree, queried by
query_many at 10^6 random points on one thread, against SciPy's
RegularGridInterpolator(method="linear") on the same grid, all six values,
and the same points. The two are timed in alternation (best of each), since
the machine may be shared; both wall time and process CPU time are printed.
Then the bytes of a grid model against the same grid stored as six
tetrahedra per cell (measured on a 48^3-node grid: the ratio per node does
not depend on the size). Goals: at least 20 M points/s on one core, at
least 10x RegularGridInterpolator, and at least 25x fewer bytes.
"""

import os
import time

import numpy as np
from scipy.interpolate import RegularGridInterpolator

import orvik
from orvik import models
from timing import report

NODES = 216  # per axis
N = 1_000_000
ROUNDS = 3


def grid_values(n, seed=1):
    """(n, n, n, 6) float32 qualities, smooth in depth, random across."""
    rng = np.random.default_rng(seed)
    vs = np.linspace(1.0, 4.5, n, dtype=np.float32)[None, None, :] + rng.uniform(
        0, 0.3, (n, n, n)
    ).astype(np.float32)
    values = np.empty((n, n, n, 6), np.float32)
    values[..., 0] = 1.7 + 0.2 * vs
    values[..., 1] = 1.8 * vs
    values[..., 2] = vs
    values[..., 3] = 100 * vs
    values[..., 4] = 50 * vs
    values[..., 5] = 1.0
    return values


def build(axes, values, vertical="depth"):
    x, y, v = axes
    columns = {k: values[..., i] for i, k in enumerate(("rho", "vp", "vs", "qp", "qs", "alpha"))}
    return models.grid(x=x, y=y, depth=v, **columns, priority=0, name="grid")


def cpu_and_wall(fn):
    w, c = time.perf_counter(), time.process_time()
    result = fn()
    return time.perf_counter() - w, time.process_time() - c, result


def throughput():
    axes = (
        np.linspace(0.0, 200e3, NODES),
        np.linspace(0.0, 200e3, NODES),
        np.linspace(0.0, 100e3, NODES),
    )
    values = grid_values(NODES)
    start = time.perf_counter()
    tree = orvik.model_tree([build(axes, values)])
    print(f"grid model of {NODES**3:,} nodes built in {time.perf_counter() - start:.2f} s")

    rng = np.random.default_rng(7)
    points = np.column_stack([rng.uniform(a[0], a[-1], N) for a in axes]).astype(np.float32)
    x, y, d = (np.ascontiguousarray(points[:, k]) for k in range(3))
    coords = orvik.QueryCoordinates(x, y, -d, d)
    params = orvik.QueryParams(0, 255)
    out = np.zeros((N, 6), np.float32)
    rgi = RegularGridInterpolator(axes, values, method="linear")
    p64 = points.astype(np.float64)

    ours_wall = ours_cpu = peer_wall = peer_cpu = float("inf")
    peer_out = None
    for _ in range(ROUNDS):
        w, c, _ = cpu_and_wall(lambda: tree.query_many(out, coords, params))
        ours_wall, ours_cpu = min(ours_wall, w), min(ours_cpu, c)
        w, c, peer_out = cpu_and_wall(lambda: rgi(p64))
        peer_wall, peer_cpu = min(peer_wall, w), min(peer_cpu, c)
    # The two interpolate rho, vp, vs and alpha alike (Q harmonically here).
    diff = np.max(np.abs(out[:, 1] - peer_out[:, 1]) / peer_out[:, 1])
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    print(
        f"query_many, {N:,} points: {ours_wall * 1e3:.0f} ms wall ({N / ours_wall / 1e6:.1f} M "
        f"points/s; goal >= 20), {N / ours_cpu / 1e6:.1f} M points per CPU second; "
        f"RegularGridInterpolator: {peer_wall:.2f} s wall, {peer_cpu:.2f} s CPU; "
        f"{peer_wall / ours_wall:.1f}x (goal >= 10x); largest relative difference in vp "
        f"{diff:.1e}; load average {load} on {os.cpu_count()} cores"
    )
    report(
        f"grid model alone in a tree, query_many ({N / ours_wall / 1e6:.1f} M points/s)",
        f"{NODES**3:,} nodes, {N:,} points",
        ours_wall,
        "RegularGridInterpolator (linear, 6 values)",
        peer_wall,
        ">= 20 M points/s and >= 10x",
    )


def footprint(n=48):
    axis = np.linspace(0.0, 1e3, n)
    values = grid_values(n, seed=3)
    grid = build((axis, axis, axis), values)
    gx, gy, gz = np.meshgrid(axis, axis, axis, indexing="ij")
    vertices = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()])
    mesh = models.mesh(
        vertices,
        models.lattice_tetrahedra((n, n, n)),
        values.reshape(-1, 6),
        vertical="depth",
        priority=0,
    )
    grid_bytes, mesh_bytes = grid.view()["size"], mesh.view()["size"]
    per_tet = (mesh_bytes - 24 * n**3) / (6 * (n - 1) ** 3)
    print(
        f"{n}^3 nodes: grid model {grid_bytes / 1e6:.2f} MB ({grid_bytes / n**3:.1f} bytes a node), "
        f"six tetrahedra per cell {mesh_bytes / 1e6:.1f} MB ({per_tet:.0f} bytes a tetrahedron "
        f"besides the vertex qualities): {mesh_bytes / grid_bytes:.1f}x (goal >= 25x); "
        f"at {NODES}^3 nodes the grid model takes {24 * NODES**3 / 1e6:.0f} MB"
    )
    report(
        "bytes: grid model vs six tetrahedra per cell",
        f"{n**3:,} nodes",
        None,
        f"mesh {mesh_bytes:,} B vs grid {grid_bytes:,} B",
        None,
        ">= 25x",
        ratio=mesh_bytes / grid_bytes,
    )


def main():
    footprint()
    throughput()


if __name__ == "__main__":
    main()
