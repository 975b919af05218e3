"""Model tree throughput: query_many over a million points in a velocity model
of three overlapping mesh models with about a million tetrahedra in total.

Prints points per second on one thread (wall clock, and per CPU second of
the process, since the machine may be shared), the ratio against a Python
loop over PyModelTree.query on a subset, and the speed-up when two Python
threads each query half of the points (query_many releases the interpreter
lock). Goals: at least 4 million points per second on one core; at least
1.7x with two threads.
"""

import os
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import orvik  # noqa: E402
import velocity_model as vm  # noqa: E402
from timing import best_of, report  # noqa: E402

N = 1_000_000
LOOP_N = 20_000


def crustal_body():
    """A partly transparent fast body in the mid crust (elevation model)."""
    nx, ny, nz = 41, 41, 21
    xs = np.linspace(40.0, 160.0, nx)
    ys = np.linspace(40.0, 160.0, ny)
    zs = np.linspace(-30.0, -8.0, nz)
    gx, gy, gz = np.meshgrid(xs, ys, zs, indexing="ij")
    vertices = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()]).astype(np.float32)
    faces = orvik.models.lattice_tetrahedra((nx, ny, nz))
    r = np.sqrt(((gx - 100) / 60) ** 2 + ((gy - 100) / 60) ** 2 + ((gz + 19) / 11) ** 2).ravel()
    alpha = np.clip(1.0 - r, 0.0, 0.6)
    q = np.column_stack(
        [
            np.full_like(r, 3.0),
            np.full_like(r, 7.0),
            np.full_like(r, 4.0),
            np.full_like(r, 900.0),
            np.full_like(r, 400.0),
            alpha,
        ]
    ).astype(np.float32)
    bounds = (40.0, 40.0, -30.0, 160.0, 160.0, -8.0)
    builder = orvik.MeshModelBuilder(vertices, faces, 5, "elevation", bounds)
    return builder.name("crustal body").interpolated(q)


def build_tree():
    models = [
        vm.basin_model(spacing_km=1.8, levels=16),
        crustal_body(),
        vm.background_model(spacing_km=5.0, depth_step_km=10.0),
    ]
    return orvik.model_tree(models)


def sample(n, seed=7):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, vm.EXTENT_KM, n).astype(np.float32)
    y = rng.uniform(0, vm.EXTENT_KM, n).astype(np.float32)
    z = rng.uniform(-60.0, 2.0, n).astype(np.float32)
    d = (vm.topography(x, y) - z).astype(np.float32)
    return x, y, z, d


def cpu_seconds(fn):
    """Process CPU time of one call: on a busy machine the wall time also
    counts the time other processes held the cores."""
    start = time.process_time()
    fn()
    return time.process_time() - start


def main() -> None:
    start = time.perf_counter()
    tree = build_tree()
    build_s = time.perf_counter() - start
    sys.stdout.flush()
    tree.print_structure()
    print(f"tree built in {build_s:.2f} s")

    x, y, z, d = sample(N)
    params = orvik.QueryParams(0, 255)
    out = np.zeros((N, 6), np.float32)
    coords = orvik.QueryCoordinates(x, y, z, d)
    t_one = best_of(lambda: tree.query_many(out, coords, params), 3)[0]
    rate = N / t_one
    hit = np.count_nonzero(out[:, 5])
    cpu_one = cpu_seconds(lambda: tree.query_many(out, coords, params))
    print(
        f"query_many, {N:,} points ({hit:,} inside a model): {t_one * 1e3:.0f} ms, "
        f"{rate / 1e6:.2f} million points per second (goal >= 4); "
        f"{N / cpu_one / 1e6:.2f} million per CPU second"
    )

    # A Python loop over query for a subset.
    sub = slice(0, LOOP_N)
    xs, ys, zs, ds = (a[sub].tolist() for a in (x, y, z, d))

    def loop():
        q = tree.query
        return [q(xs[i], ys[i], zs[i], ds[i], 0, 255) for i in range(LOOP_N)]

    t_loop = best_of(loop, 1)[0]
    loop_rate = LOOP_N / t_loop
    print(
        f"Python loop over query, {LOOP_N:,} points: {loop_rate / 1e6:.3f} million points per second; "
        f"query_many is {rate / loop_rate:.1f}x faster"
    )
    ref = loop()
    rows = np.array(
        [[r[k] for k in ("rho", "vp", "vs", "qp", "qs", "alpha")] if r else [0.0] * 6 for r in ref],
        np.float32,
    )
    print(f"query_many equals the loop on the subset: {np.array_equal(rows, out[sub])}")

    # Two Python threads, one half each.
    half = N // 2
    outs = [np.zeros((half, 6), np.float32), np.zeros((N - half, 6), np.float32)]
    parts = [
        orvik.QueryCoordinates(x[:half], y[:half], z[:half], d[:half]),
        orvik.QueryCoordinates(x[half:], y[half:], z[half:], d[half:]),
    ]

    def two_threads():
        threads = [
            threading.Thread(target=tree.query_many, args=(outs[k], parts[k], params))
            for k in range(2)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_two = best_of(two_threads, 3)[0]
    cpu_two = cpu_seconds(two_threads)
    same = np.array_equal(np.concatenate(outs), out)
    print(
        f"two threads: {t_two * 1e3:.0f} ms, speed-up {t_one / t_two:.2f}x (goal >= 1.7x); "
        f"CPU time {cpu_two / cpu_one:.2f}x that of one thread; results identical: {same}"
    )
    with open("/proc/loadavg") as f:
        print(f"load average while measuring: {f.read().split()[0]} on {os.cpu_count()} cores")

    report(
        f"query_many (3 models, {rate / 1e6:.2f} M points/s)",
        f"{N:,} points",
        t_one,
        "Python loop over query",
        t_loop * N / LOOP_N,
        ">= 4 M points/s",
    )
    report(
        "query_many, 2 threads", f"{N:,} points", t_two, "query_many, 1 thread", t_one, ">= 1.7x"
    )


if __name__ == "__main__":
    main()
