"""Structured grid queries and the adaptive TIN against their usual peers.

(a) StructuredGrid.query_many on an axis-aligned 1000 x 1000 grid at one
    million random points, against scipy.interpolate.RegularGridInterpolator
    (linear) on the same nodes and points.
(b) adaptive_tin on the Mt Fuji tile of bench/data (512 x 512 Terrain-RGB
    elevations, see bench/data/README.md). One pixel is one grid unit: x is
    the column and y the row. A sample at every node, the tile's rectangle as
    boundary with test points one pixel apart, at maximum errors of 30, 10, 3
    and 1 m, against pydelatin's greedy Delatin at the same max_error on the
    same heights. Prints both times, the time per inserted vertex, the vertex
    counts and the time ratio (goal: at most 2x Delatin's time).
(c) adaptive_tin on a 1024 x 1024 fractal terrain (spectral synthesis, about
    400 m of relief, 10 m node spacing) set up the same way, at a maximum
    error of 1 m, against Delatin: four times the nodes of the tile.

The maximum error of every mesh is measured here over every node, by linear
interpolation over its triangles. TIN times are the process's CPU time (both
run on the calling thread alone), best of a few runs, ours and the peer's
taken in turn so that both see the same load on a shared machine. Prints the
figures and one `RESULT {json}` line per comparison.
"""

import pathlib
import time

import numpy as np
from matplotlib.image import imread
from matplotlib.tri import LinearTriInterpolator, Triangulation
from scipy.interpolate import RegularGridInterpolator

import orvik
from timing import best_of, report

try:
    from pydelatin import Delatin
except ImportError:  # pragma: no cover - reported below
    Delatin = None

DATA = pathlib.Path(__file__).resolve().parent / "data"
REPEATS = 3


def best_of_pair(ours, peer, repeats):
    """Best CPU times of two functions run in turn, and their last results."""
    t_ours = t_peer = float("inf")
    out_ours = out_peer = None
    for _ in range(repeats):
        start = time.process_time()
        out_ours = ours()
        t_ours = min(t_ours, time.process_time() - start)
        if peer is not None:
            start = time.process_time()
            out_peer = peer()
            t_peer = min(t_peer, time.process_time() - start)
    return t_ours, out_ours, (t_peer if peer is not None else None), out_peer


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

    t_ours, _, (ours, outside) = best_of(lambda: grid.query_many(px, py), REPEATS)
    rgi = RegularGridInterpolator((rows, cols), values, method="linear")
    pts = np.column_stack([py, px])
    t_peer, _, peer = best_of(lambda: rgi(pts), REPEATS)
    diff = np.abs(ours - peer).max()
    print(
        f"(a) query_many, {m}x{n} grid, {len(px):,} points: orvik {t_ours:.3f} s, "
        f"RegularGridInterpolator {t_peer:.3f} s; speed-up {t_peer / t_ours:.2f}x (goal >= 1x); "
        f"max |difference| {diff:.3g}; outside {int(outside.sum())}"
    )
    report(
        "StructuredGrid.query_many",
        f"{m}x{n} grid x {len(px):,} points",
        t_ours,
        "scipy RegularGridInterpolator",
        t_peer,
        ">= 1x",
    )


def fuji_heights():
    """The tile's elevations in metres, decoded from Terrain-RGB."""
    rgb = np.rint(imread(DATA / "fuji.png")[..., :3].astype(np.float64) * 255.0).astype(np.int64)
    return -10000.0 + (rgb[..., 0] * 65536 + rgb[..., 1] * 256 + rgb[..., 2]) * 0.1


def fractal_terrain(size, relief, seed=3):
    rng = np.random.default_rng(seed)
    kx = np.fft.fftfreq(size)[None, :]
    ky = np.fft.fftfreq(size)[:, None]
    k = np.hypot(kx, ky)
    k[0, 0] = 1.0
    spectrum = (rng.normal(size=(size, size)) + 1j * rng.normal(size=(size, size))) / k**1.8
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


def bench_tin(label, h, spacing, max_err, repeats):
    """adaptive_tin against Delatin on heights h, nodes `spacing` apart."""
    rows, cols = h.shape
    i, j = np.mgrid[0:rows, 0:cols].astype(np.float64)
    x, y = j * spacing, i * spacing
    grid = orvik.structured_grid(x, y, h)
    samples = np.column_stack([x.ravel(), y.ravel()])
    w, e = (cols - 1) * spacing, (rows - 1) * spacing
    boundary = np.array([[0.0, 0.0], [w, 0.0], [w, e], [0.0, e]])

    peer = (lambda: Delatin(h, max_error=max_err)) if Delatin is not None else None
    t_ours, (vertices, triangles), t_peer, tin = best_of_pair(
        lambda: orvik.adaptive_tin(boundary, [(grid, samples, spacing, max_err)]), peer, repeats
    )
    z_vert, _ = grid.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    err_ours = max_error(vertices[:, 0], vertices[:, 1], triangles, z_vert, x, y, h)
    print(
        f"    adaptive_tin: {len(vertices):,} vertices, {len(triangles):,} triangles, {t_ours:.3f} s "
        f"({t_ours / len(vertices) * 1e6:.2f} us per vertex), measured max error {err_ours:.4f} m"
    )
    if tin is None:
        print("    pydelatin is not installed: no peer to compare with")
        return
    dv = tin.vertices
    # Delatin counts rows from the bottom of the array.
    err_peer = max_error(
        dv[:, 0] * spacing, (rows - 1 - dv[:, 1]) * spacing, tin.triangles, dv[:, 2], x, y, h
    )
    print(
        f"    pydelatin:    {len(dv):,} vertices, {len(tin.triangles):,} triangles, {t_peer:.3f} s "
        f"({t_peer / len(dv) * 1e6:.2f} us per vertex), measured max error {err_peer:.4f} m"
    )
    print(
        f"    time ratio {t_ours / t_peer:.2f} (goal <= 2); vertex ratio {len(vertices) / len(dv):.3f}; "
        f"time per vertex ratio {(t_ours / len(vertices)) / (t_peer / len(dv)):.2f}"
    )
    report(
        "adaptive_tin",
        f"{label}, max error {max_err:g} m, {len(vertices):,} vs {len(dv):,} vertices",
        t_ours,
        "pydelatin",
        t_peer,
        "<= 2x pydelatin's time",
    )


def main():
    bench_grid()
    heights = fuji_heights()
    for max_err in (30.0, 10.0, 3.0, 1.0):
        print(f"(b) Mt Fuji tile {heights.shape[0]}x{heights.shape[1]}, max error {max_err:g} m:")
        bench_tin("Mt Fuji 512x512 tile", heights, 1.0, max_err, repeats=5)
    terrain = fractal_terrain(1024, 400.0)
    print("(c) fractal terrain 1024x1024, max error 1 m:")
    bench_tin("1024x1024 fractal terrain", terrain, 10.0, 1.0, repeats=2)


if __name__ == "__main__":
    main()
