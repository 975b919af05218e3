"""Structured grid queries and the adaptive TIN against their usual peers.

(a) StructuredGrid.query_many on an axis-aligned 1000 x 1000 grid at one
    million random points, against scipy.interpolate.RegularGridInterpolator
    (linear) on the same nodes and points.
(b) adaptive_tin on a 1024 x 1024 fractal terrain (spectral synthesis, about
    400 m of relief, 10 m node spacing) with a sample at every node and the
    grid's rectangle as boundary, against pydelatin's greedy Delatin at the
    same maximum error. The maximum error of both meshes is measured here
    over every node, by linear interpolation over their triangles.

Prints the figures and one `RESULT {json}` line per comparison.
"""

import json
import time

import numpy as np
from matplotlib.tri import LinearTriInterpolator, Triangulation
from scipy.interpolate import RegularGridInterpolator

import orvik

try:
    from pydelatin import Delatin
except ImportError:  # pragma: no cover - reported below
    Delatin = None

REPEATS = 3


def best_of(fn, repeats=REPEATS):
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def bench_grid():
    m = n = 1000
    rng = np.random.default_rng(7)
    rows = np.arange(m, dtype=np.float64) * 25.0
    cols = np.arange(n, dtype=np.float64) * 25.0 + 5000.0
    y, x = np.meshgrid(rows, cols, indexing="ij")
    values = np.sin(x / 900.0) * 300.0 + np.cos(y / 1300.0) * 200.0 + rng.normal(0.0, 5.0, (m, n))
    grid = orvik.structured_grid(x, y, values)
    px = rng.uniform(cols[0], cols[-1], 1_000_000)
    py = rng.uniform(rows[0], rows[-1], 1_000_000)

    t_ours, (ours, outside) = best_of(lambda: grid.query_many(px, py))
    rgi = RegularGridInterpolator((rows, cols), values, method="linear")
    pts = np.column_stack([py, px])
    t_peer, peer = best_of(lambda: rgi(pts))
    diff = np.abs(ours - peer).max()
    print(f"(a) query_many, {m}x{n} grid, {len(px):,} points: orvik {t_ours:.3f} s, "
          f"RegularGridInterpolator {t_peer:.3f} s; speed-up {t_peer / t_ours:.2f}x (goal >= 1x); "
          f"max |difference| {diff:.3g}; outside {int(outside.sum())}")
    print("RESULT " + json.dumps({
        "operation": "StructuredGrid.query_many", "size": f"{m}x{n} grid x {len(px):,} points",
        "ours_s": t_ours, "peer": "scipy RegularGridInterpolator", "peer_s": t_peer, "goal": ">= 1x",
    }))


def fractal_terrain(size, relief, seed=3):
    rng = np.random.default_rng(seed)
    kx = np.fft.fftfreq(size)[None, :]
    ky = np.fft.fftfreq(size)[:, None]
    k = np.hypot(kx, ky)
    k[0, 0] = 1.0
    spectrum = (rng.normal(size=(size, size)) + 1j * rng.normal(size=(size, size))) / k ** 1.8
    spectrum[0, 0] = 0.0
    h = np.real(np.fft.ifft2(spectrum))
    return (h - h.min()) / (h.max() - h.min()) * relief


def max_error(px, py, triangles, z_vertices, x_nodes, y_nodes, h):
    tri = Triangulation(px, py, triangles)
    interp = LinearTriInterpolator(tri, z_vertices)
    z = interp(x_nodes.ravel(), y_nodes.ravel())
    if np.ma.is_masked(z) and z.mask.any():
        raise AssertionError(f"{int(z.mask.sum())} nodes are not covered by the mesh")
    return float(np.abs(np.asarray(z) - h.ravel()).max())


def bench_tin(max_err):
    size, spacing = 1024, 10.0
    h = fractal_terrain(size, 400.0)
    i, j = np.mgrid[0:size, 0:size].astype(np.float64)
    x, y = j * spacing, i * spacing
    grid = orvik.structured_grid(x, y, h)
    samples = np.column_stack([x.ravel(), y.ravel()])
    edge = (size - 1) * spacing
    boundary = np.array([[0.0, 0.0], [edge, 0.0], [edge, edge], [0.0, edge]])

    t_ours, (vertices, triangles) = best_of(
        lambda: orvik.adaptive_tin(boundary, [(grid, samples, spacing, max_err)]))
    z_vert, _ = grid.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    err_ours = max_error(vertices[:, 0], vertices[:, 1], triangles, z_vert, x, y, h)
    print(f"(b) adaptive_tin, {size}x{size} terrain, max error {max_err} m: {len(vertices):,} vertices, "
          f"{len(triangles):,} triangles, {t_ours:.3f} s, measured max error {err_ours:.4f} m")
    if Delatin is None:
        print("    pydelatin is not installed: no peer to compare with")
        return
    t_peer, tin = best_of(lambda: Delatin(h, max_error=max_err))
    dv = tin.vertices
    # Delatin counts rows from the bottom of the array.
    err_peer = max_error(dv[:, 0] * spacing, (size - 1 - dv[:, 1]) * spacing, tin.triangles, dv[:, 2],
                         x, y, h)
    print(f"    pydelatin: {len(dv):,} vertices, {len(tin.triangles):,} triangles, {t_peer:.3f} s, "
          f"measured max error {err_peer:.4f} m")
    print(f"    vertex ratio {len(vertices) / len(dv):.3f} (goal <= 1.3); "
          f"time ratio {t_ours / t_peer:.2f} (goal <= 2)")
    print("RESULT " + json.dumps({
        "operation": "adaptive_tin",
        "size": f"{size}x{size} terrain, max error {max_err} m, {len(vertices) / len(dv):.2f}x Delatin's vertices",
        "ours_s": t_ours, "peer": "pydelatin", "peer_s": t_peer,
        "goal": "<= 1.3x vertices, ratio >= 0.5x (at most 2x the time)",
    }))


def main():
    bench_grid()
    for max_err in (1.0, 0.25):
        bench_tin(max_err)


if __name__ == "__main__":
    main()
