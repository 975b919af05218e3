"""orvik.sample at scale: a 2x10^7-point volume of the tree benchmark's model.

Default run (a few tens of seconds), each figure the best of two:
* Dask's threaded scheduler on every core against the same graph on one
  thread, each block stored into one preallocated array (goal >= 1.8x on
  2 cores);
* a distributed LocalCluster of two single-threaded worker processes against
  one thread (goal >= 1.6x), the results kept on the workers, with the time
  spent sending the model tree; the bytes each worker received, and how often
  the tree came into a worker's memory;
* the layer's overhead on one thread: orvik.sample on three coordinate axes
  and a depth volume against one bare query_many over the same points,
  converted and laid out beforehand (goal <= 10 %).

With --large: 10^9 points (1000^3) through orvik.sample into a compressed Zarr
store on the threaded scheduler, with Dask's progress bar; prints the time,
points per second and peak resident memory (goal: at most 4 minutes and under
1 GB). The store is written to a temporary directory and removed afterwards.
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
import dask  # noqa: E402
import dask.array as da  # noqa: E402
import xarray as xr  # noqa: E402

import orvik  # noqa: E402
import velocity_model as vm  # noqa: E402
from bench_tree import build_tree  # noqa: E402
from timing import best_of, report  # noqa: E402

SHAPE = (400, 250, 200)  # 2x10^7 points
LARGE_SHAPE = (1000, 1000, 1000)  # 10^9 points
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


def count_received_bytes(dask_worker=None):
    """Bytes this worker has received over TCP since the first call: the
    payload of every message, counted where distributed reads it."""
    import distributed.comm.tcp as tcp

    if not hasattr(tcp, "orvik_received"):
        tcp.orvik_received = 0
        read = tcp.read_bytes_rw

        async def counting(stream, n):
            tcp.orvik_received += n
            return await read(stream, n)

        tcp.read_bytes_rw = counting
    return tcp.orvik_received


def tree_arrivals(dask_worker=None):
    """How often the model tree came into this worker's memory: computed
    from the graph, or fetched from another worker."""
    return sum(
        1
        for e in dask_worker.state.log
        if len(e) > 2
        and str(e[0]).startswith("orvik-tree-")
        and e[1] in ("executing", "flight", "released")
        and e[2] == "memory"
    )


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
            # Made under the client, the graph scatters the tree to every
            # worker once; the results stay on the workers.
            start = time.perf_counter()
            lazy = orvik.sample(tree, *xyz, surface=surface, chunks="auto")
            shipping.append(time.perf_counter() - start)
            kept = client.persist(lazy.data)
            distributed.wait(kept)
            return kept

        t_cluster, _, kept = best_of(on_cluster, 2)
        t_ship = min(shipping)
        received = client.run(count_received_bytes)
        arrived = client.run(tree_arrivals)
        t_gather, _, gathered = best_of(lambda: kept.compute(), 1)
        same = np.array_equal(np.asarray(gathered).view(np.uint32), one.view(np.uint32))
    per_worker = [received[w] - before[w] for w in received]
    print(
        f"distributed LocalCluster, 2 worker processes: {t_cluster:.2f} s (results kept on the workers), "
        f"speed-up {t_one / t_cluster:.2f}x (goal >= 1.6x); of which {t_ship:.2f} s to send the tree to both "
        f"workers, the blocks alone {t_one / (t_cluster - t_ship):.2f}x; gathering the {n * 24 / 1e6:.0f} MB "
        f"result to the client then took {t_gather:.2f} s; same bits: {same}"
    )
    print(
        f"each worker received, over two runs of {blocks} blocks: "
        + ", ".join(f"{b / 1e6:.1f} MB" for b in per_worker)
        + f"; the pickled model tree is {tree_bytes / 1e6:.1f} MB and came into the workers' memory "
        + ", ".join(str(v) for v in arrived.values())
        + " times (two runs)"
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


def large_run():
    from dask.diagnostics import ProgressBar

    start = time.perf_counter()
    tree = build_tree()
    surface = topography_grid()
    print(
        f"model tree built in {time.perf_counter() - start:.1f} s; "
        f"resident peak so far {peak_rss_bytes() / 2**20:.0f} MiB"
    )
    reset = reset_peak_rss()
    x, y, z = axes(LARGE_SHAPE)
    n = int(np.prod(LARGE_SHAPE))
    with tempfile.TemporaryDirectory(
        prefix="orvik-large-", dir=os.environ.get("ORVIK_BENCH_DIR")
    ) as tmp:
        store = Path(tmp) / "volume.zarr"
        start = time.perf_counter()
        volume = orvik.sample(tree, x, y, z, surface=surface, chunks="auto")
        with ProgressBar(minimum=1, dt=5.0), dask.config.set(scheduler="threads"):
            volume.to_dataset().to_zarr(store, mode="w", consolidated=False)
        elapsed = time.perf_counter() - start
        stored = sum(f.stat().st_size for f in store.rglob("*") if f.is_file())
        check = xr.open_zarr(store, consolidated=False)["material"][::97, ::89, ::83].values
    expected = orvik.sample(tree, x[::97], y[::89], z[::83], surface=surface).values
    same = np.array_equal(check.view(np.uint32), expected.view(np.uint32))
    peak = peak_rss_bytes()
    print(
        f"{n:,} points into Zarr: {elapsed:.1f} s, {n / elapsed / 1e6:.2f} M points/s, "
        f"{volume.data.npartitions} blocks; store {stored / 2**30:.2f} GiB "
        f"({n * 24 / 2**30:.1f} GiB raw); peak resident memory "
        f"{'during the extraction' if reset else 'of the process'} {peak / 2**20:.0f} MiB "
        f"(goal: <= 4 min and < 1 GB); a sample of the store read back matches: {same}"
    )
    report(
        "orvik.sample to Zarr",
        f"{n:,} points",
        elapsed,
        None,
        None,
        "<= 240 s, < 1 GB",
        peak_rss_bytes=peak,
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="write 10^9 points into a Zarr store")
    args = parser.parse_args()
    if args.large:
        large_run()
    else:
        default_run()


if __name__ == "__main__":
    main()
