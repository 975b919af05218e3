"""orvik.sample at scale: a 2x10^7-point volume of the tree benchmark's model.

Default run (a few tens of seconds), each figure the best of two:
* Dask's threaded scheduler on every core against the same graph on one
  thread, each block stored into one preallocated array (goal >= 1.8x on
  2 cores);
* a distributed LocalCluster of two single-threaded worker processes against
  one thread (goal >= 1.6x), the results kept on the workers, with the time
  spent sending the model tree in the first call and in the second (it is
  sent once per client), and the bytes each worker received;
* the layer's overhead on one thread: orvik.sample on three coordinate axes
  and a depth volume against one bare query_many over the same points,
  converted and laid out beforehand (goal <= 10 %).

* 64,000 small blocks (100 points each) through orvik.sample against Dask's
  own map_blocks running query_many on the same blocks (goal: no slower).

With --large: 10^9 points (1000^3, or --points N) of the Salish Sea model (the
example's four-model tree, built by examples/salish_model.py) on a longitude /
latitude / depth grid through orvik.extract into a compressed Zarr store on the
threaded scheduler; prints the time, points per second and peak resident
memory against the goal (at most 60 s and under 1 GB), and what bounds it: one
block's projection and surface, its query_many (points per second on one
core), its compression and writing, and the totals they imply on this machine.
The store is written to a temporary directory and removed afterwards.
"""

import argparse
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
import dask.array as da  # noqa: E402
import xarray as xr  # noqa: E402

import orvik  # noqa: E402
import velocity_model as vm  # noqa: E402
from bench_tree import build_tree  # noqa: E402
from orvik.qualities import QUALITIES  # noqa: E402
from timing import best_of, report  # noqa: E402
from traffic import count_received_bytes  # noqa: E402

SHAPE = (400, 250, 200)  # 2x10^7 points
LARGE_POINTS = 10**9
BLOCKS_SHAPE, BLOCKS_CHUNKS = (400, 400, 40), (10, 10, 1)  # 64,000 blocks
Z_RANGE = (-60.0, 2.0)


def axes(shape):
    nx, ny, nz = shape
    return (
        xr.DataArray(np.linspace(0.0, vm.EXTENT_KM, nx), dims="x", name="x"),
        xr.DataArray(np.linspace(0.0, vm.EXTENT_KM, ny), dims="y", name="y"),
        xr.DataArray(np.linspace(*Z_RANGE, nz), dims="z", name="z"),
    )


def topography_grid():
    """The model's topography as a structured grid (1 km nodes)."""
    gx, gy = np.meshgrid(
        np.linspace(0, vm.EXTENT_KM, 201), np.linspace(0, vm.EXTENT_KM, 201), indexing="ij"
    )
    return orvik.structured_grid(gx, gy, vm.topography(gx, gy))


def cpu_seconds(fn):
    """Process CPU time of one call: on a busy machine the wall time also
    counts the time other processes held the cores."""
    start = time.process_time()
    fn()
    return time.process_time() - start


def peak_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss():
    """Lets VmHWM restart from the current resident size (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def default_run():
    start = time.perf_counter()
    tree = build_tree()
    surface = topography_grid()
    print(f"model tree built in {time.perf_counter() - start:.1f} s")
    x, y, z = axes(SHAPE)
    n = int(np.prod(SHAPE))
    size = f"{n:,} points"
    lazy = orvik.sample(tree, x, y, z, surface=surface, chunks="auto")
    print(
        f"volume {SHAPE}: {lazy.data.npartitions} blocks of up to "
        f"{np.prod([max(c) for c in lazy.data.chunks[:3]]):,} points"
    )

    # Each block is stored into one preallocated array, so that the figures
    # time the extraction rather than the assembly of a new 480 MB result.
    one, threaded = np.zeros(lazy.shape, np.float32), np.zeros(lazy.shape, np.float32)
    cores = os.cpu_count()

    def run_one():
        da.store(lazy.data, one, lock=False, scheduler="sync")

    def run_threads():
        da.store(lazy.data, threaded, lock=False, scheduler="threads", num_workers=cores)

    t_one, _, _ = best_of(run_one, 2)
    t_threads, _, _ = best_of(run_threads, 2)
    same = np.array_equal(one.view(np.uint32), threaded.view(np.uint32))
    cpu_one = cpu_seconds(run_one)
    cpu_threads = cpu_seconds(run_threads)
    print(
        f"one thread: {t_one:.2f} s, {n / t_one / 1e6:.2f} M points/s; threaded scheduler on {cores} cores: "
        f"{t_threads:.2f} s, {n / t_threads / 1e6:.2f} M points/s, speed-up {t_one / t_threads:.2f}x "
        f"(goal >= 1.8x); CPU time {cpu_threads / cpu_one:.2f}x that of one thread; same bits: {same}"
    )
    report(f"orvik.sample, threads x{cores}", size, t_threads, "one thread", t_one, ">= 1.8x")

    distributed_run(tree, (x, y, z), surface, one, t_one, n, size, lazy.data.npartitions)
    threaded = None  # the second volume is not needed any more

    # The layer's overhead on one thread: the same points and depths, once
    # through orvik.sample, once as flat float32 arrays into query_many.
    top, _ = surface.query_many(
        *(np.ascontiguousarray(a.ravel()) for a in np.meshgrid(x.values, y.values, indexing="ij"))
    )
    depth = (top.reshape(SHAPE[0], SHAPE[1], 1) - z.values[None, None, :]).astype(np.float32)
    depth_da = xr.DataArray(depth, dims=("x", "y", "z"))
    t_layer, _, layered = best_of(lambda: orvik.sample(tree, x, y, z, depth=depth_da).values, 2)
    gx, gy, gz = (
        a.astype(np.float32).ravel()
        for a in np.meshgrid(x.values, y.values, z.values, indexing="ij")
    )
    coords = orvik.QueryCoordinates(gx, gy, gz, depth.ravel())
    params = orvik.QueryParams(0, 255)
    out = np.empty((n, 6), np.float32)

    def bare():
        out.fill(np.nan)
        tree.query_many(out, coords, params)
        return out

    t_bare, _, _ = best_of(bare, 2)
    cpu_layer = min(
        cpu_seconds(lambda: orvik.sample(tree, x, y, z, depth=depth_da)) for _ in range(2)
    )
    cpu_bare = min(cpu_seconds(bare) for _ in range(2))
    same = np.array_equal(layered.reshape(n, 6).view(np.uint32), out.view(np.uint32))
    same_as_surface = np.array_equal(layered.view(np.uint32), one.view(np.uint32))
    overhead = t_layer / t_bare - 1
    print(
        f"overhead on one thread: orvik.sample {t_layer:.2f} s, bare query_many {t_bare:.2f} s: "
        f"{overhead * 100:+.1f} % (goal <= 10 %); in CPU time {cpu_layer:.2f} s against {cpu_bare:.2f} s: "
        f"{(cpu_layer / cpu_bare - 1) * 100:+.1f} %; same bits: {same}; "
        f"depth from the surface grid gives the same bits: {same_as_surface}"
    )
    report(
        "orvik.sample layer, 1 thread",
        size,
        t_layer,
        "bare query_many",
        t_bare,
        "<= 10 % overhead",
        ratio=None,
    )
    with open("/proc/loadavg") as f:
        print(f"load average while measuring: {f.read().split()[0]} on {cores} cores")


def distributed_run(tree, xyz, surface, one, t_one, n, size, blocks):
    try:
        tree_bytes = len(pickle.dumps(tree))
    except TypeError as e:
        print(f"distributed LocalCluster: skipped, the model tree does not pickle here ({e})")
        return
    import distributed

    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=50,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        client.run(lambda: None)  # workers started and connected
        before = client.run(count_received_bytes)

        shipping = []

        def on_cluster():
            # Made under the client, the first call sends the tree and the
            # surface to every worker, later calls nothing; the results stay
            # on the workers.
            start = time.perf_counter()
            lazy = orvik.sample(tree, *xyz, surface=surface, chunks="auto")
            shipping.append(time.perf_counter() - start)
            kept = client.persist(lazy.data)
            distributed.wait(kept)
            return kept

        t_cluster, _, kept = best_of(on_cluster, 2)
        t_ship = shipping[0]
        received = client.run(count_received_bytes)
        t_gather, _, gathered = best_of(lambda: kept.compute(), 1)
        same = np.array_equal(np.asarray(gathered).view(np.uint32), one.view(np.uint32))
    per_worker = [received[w] - before[w] for w in received]
    print(
        f"distributed LocalCluster, 2 worker processes: {t_cluster:.2f} s (results kept on the workers), "
        f"speed-up {t_one / t_cluster:.2f}x (goal >= 1.6x); sending the tree to both workers took "
        f"{shipping[0]:.2f} s in the first call and {shipping[1]:.3f} s in the second (sent once per "
        f"client); gathering the {n * 24 / 1e6:.0f} MB "
        f"result to the client then took {t_gather:.2f} s; same bits: {same}"
    )
    print(
        f"each worker received, over two runs of {blocks} blocks: "
        + ", ".join(f"{b / 1e6:.1f} MB" for b in per_worker)
        + f"; the pickled model tree is {tree_bytes / 1e6:.1f} MB"
    )
    report(
        "orvik.sample, LocalCluster 2 processes",
        size,
        t_cluster,
        "one thread",
        t_one,
        ">= 1.6x",
        shipping_s=t_ship,
        worker_bytes=per_worker,
        tree_bytes=tree_bytes,
    )


def blocks_run():
    """64,000 blocks of 100 points: orvik.sample against map_blocks."""
    tree = build_tree()
    x, y, z = axes(BLOCKS_SHAPE)
    chunks = dict(zip("xyz", BLOCKS_CHUNKS))
    params = orvik.QueryParams(0, 255)

    def query_block(bx, by, bz):
        bx, by, bz = bx.ravel(), by.ravel(), bz.ravel()
        px, py, pz = (
            np.ascontiguousarray(a, np.float32).ravel()
            for a in np.broadcast_arrays(bx[:, None, None], by[None, :, None], bz[None, None, :])
        )
        out = np.full((px.size, 6), np.nan, np.float32)
        tree.query_many(out, orvik.QueryCoordinates(px, py, pz, -pz), params)
        return out.reshape(len(bx), len(by), len(bz), 6)

    dx, dy, dz = (da.from_array(a.values, chunks=c) for a, c in zip((x, y, z), BLOCKS_CHUNKS))

    def with_map_blocks():
        lazy = da.map_blocks(
            query_block,
            dx[:, None, None],
            dy[None, :, None],
            dz[None, None, :],
            new_axis=3,
            chunks=(*BLOCKS_CHUNKS, 6),
            dtype=np.float32,
        )
        return lazy.compute(scheduler="threads")

    def with_sample():
        return orvik.sample(tree, x, y, z, chunks=chunks).data.compute(scheduler="threads")

    t_map, _, mapped = best_of(with_map_blocks, 1)
    t_sample, _, sampled = best_of(with_sample, 1)
    same = np.array_equal(mapped.view(np.uint32), sampled.view(np.uint32))
    n = int(np.prod(BLOCKS_SHAPE))
    print(
        f"64,000 blocks of 100 points: orvik.sample {t_sample:.1f} s, Dask's map_blocks with "
        f"query_many {t_map:.1f} s (ratio {t_map / t_sample:.2f}x, goal >= 1); same bits: {same}"
    )
    report("orvik.sample, 64,000 blocks", f"{n:,} points", t_sample, "map_blocks", t_map, ">= 1x")


def salish_grid(points):
    """A longitude / latitude / depth grid of about `points` points inside
    the Salish Sea region: depth to 60 km, as many levels as columns a side."""
    side = round(points ** (1 / 3))
    lon = xr.DataArray(np.linspace(-125.9, -122.1, side), dims="longitude")
    lat = xr.DataArray(np.linspace(48.05, 49.95, side), dims="latitude")
    depth = xr.DataArray(np.linspace(0.0, 60e3, side), dims="depth")
    return {"x": lon, "y": lat, "depth": depth}


def block_costs(model, grid, block):
    """Seconds of one block's parts on one core: projection and surface (per
    vertical line), query_many, compression and writing of six variables."""
    import zarr

    nd, ny, nx = block
    # The block in the middle of the region: the strait, the basin, both crusts.
    mid = [max((a.size - n) // 2, 0) for a, n in ((grid["y"], ny), (grid["x"], nx))]
    lon, lat = np.meshgrid(
        grid["x"].values[mid[1] : mid[1] + nx], grid["y"].values[mid[0] : mid[0] + ny]
    )
    start = time.perf_counter()
    x, y = (np.asarray(a) for a in model.region.to_model.transform(lon.ravel(), lat.ravel()))
    top, _ = model.region.surface.query_many(x, y)
    t_columns = time.perf_counter() - start
    depth = grid["depth"].values[:nd, None]
    shape = (nd, x.size)
    flat = [
        np.broadcast_to(a, shape).astype(np.float32).ravel() for a in (x, y, top - depth, depth)
    ]
    out = np.full((flat[0].size, 6), np.nan, np.float32)
    start = time.perf_counter()
    model.tree.query_many(out, orvik.QueryCoordinates(*flat), orvik.QueryParams(0, 255))
    t_query = time.perf_counter() - start
    with tempfile.TemporaryDirectory() as tmp:
        arrays = [
            zarr.create_array(f"{tmp}/{q}", shape=block, chunks=block, dtype="f4") for q in range(6)
        ]
        start = time.perf_counter()
        for q, array in enumerate(arrays):
            array[...] = out[:, q].reshape(block)
        t_write = time.perf_counter() - start
    return t_columns, t_query, t_write, out.shape[0]


def large_run(points):
    import salish_model

    start = time.perf_counter()
    model = salish_model.build()
    print(
        f"Salish Sea model built in {time.perf_counter() - start:.1f} s "
        f"(the example's code: {len(model.tree.view()['models'])} models); "
        f"resident peak so far {peak_rss_bytes() / 2**20:.0f} MiB"
    )
    grid = salish_grid(points)
    n = int(np.prod([a.size for a in grid.values()]))
    crs = (salish_model.GEOGRAPHIC, salish_model.MODEL_CRS)
    surface = model.region.surface
    block = (64, 180, 180)
    t_columns, t_query, t_write, per_block = block_costs(model, grid, block)
    cores = os.cpu_count()
    print(
        f"one block of {per_block:,} points on one core: projection and surface {t_columns:.3f} s, "
        f"query_many {t_query:.2f} s ({per_block / t_query / 1e6:.2f} M points/s), compressing and "
        f"writing six variables {t_write:.2f} s; for {n:,} points on {cores} cores that is about "
        f"{n / per_block * t_query / cores:.0f} s of queries, {n / per_block * t_write / cores:.0f} s "
        f"of writing and {n / per_block * t_columns / cores:.1f} s of projection"
    )
    sys.stdout.flush()
    reset = reset_peak_rss()
    with tempfile.TemporaryDirectory(
        prefix="orvik-large-", dir=os.environ.get("ORVIK_BENCH_DIR")
    ) as tmp:
        store = Path(tmp) / "salish.zarr"
        chunks = dict(zip(("depth", "latitude", "longitude"), block))
        start, cpu = time.perf_counter(), time.process_time()
        orvik.extract(model.tree, grid, store, surface=surface, crs=crs, chunks=chunks)
        elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
        peak = peak_rss_bytes()
        stored = sum(f.stat().st_size for f in store.rglob("*") if f.is_file())
        back = xr.open_zarr(store)
        picks = {
            "depth": slice(None, None, 97),
            "latitude": slice(3, None, 89),
            "longitude": slice(5, None, 83),
        }
        check = np.stack([back[q][picks].values for q in QUALITIES], axis=-1)
    sub = {k: grid[k][picks[grid[k].dims[0]]] for k in grid}
    expected = orvik.sample(
        model.tree, sub["x"], sub["y"], depth=sub["depth"], surface=surface, crs=crs
    )
    expected = expected.transpose("depth", "latitude", "longitude", "quality").values
    same = np.array_equal(check.view(np.uint32), expected.view(np.uint32))
    print(
        f"{n:,} points of the Salish Sea model into Zarr with orvik.extract: {elapsed:.1f} s, "
        f"{n / elapsed / 1e6:.2f} M points/s, {cpu:.0f} s of CPU time ({cpu / elapsed:.2f} cores busy); store {stored / 2**20:.0f} MiB ({n * 24 / 2**30:.1f} GiB raw); "
        f"peak resident memory {'during the extraction' if reset else 'of the process'} "
        f"{peak / 2**20:.0f} MiB (goal: 10^9 points in <= 60 s and < 1 GB); a sample of the "
        f"store read back matches orvik.sample: {same}"
    )
    report(
        "orvik.extract, Salish Sea to Zarr",
        f"{n:,} points",
        elapsed,
        None,
        None,
        "10^9 points <= 60 s, < 1 GB",
        peak_rss_bytes=peak,
        query_points_per_s_per_core=per_block / t_query,
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--large", action="store_true", help="extract 10^9 points of the Salish Sea model"
    )
    parser.add_argument("--points", type=int, default=LARGE_POINTS, help="points of --large")
    args = parser.parse_args()
    if args.large:
        large_run(args.points)
    else:
        default_run()
        blocks_run()


if __name__ == "__main__":
    main()
