"""Extract the sample velocity model on a regular volume into a Zarr store.

The velocity model of ``velocity_model.py`` (a sedimentary basin over the
ak135 Earth) is sampled with ``orvik.sample`` on three coordinate axes, with
depth below the topography taken from a structured grid of the topography.
The extraction is lazy: Dask computes it block by block and ``to_zarr``
writes each block as soon as it is done, so the volume may be larger than
memory. A progress bar shows how far it got.

    python examples/zarr_volume.py                      # threads of this process
    python examples/zarr_volume.py --cluster 2          # two worker processes
    python examples/zarr_volume.py --shape 400 400 200  # 32 million points

The store lands in ``examples/output/volume.zarr``; read it back with
``xarray.open_zarr(path, consolidated=False)``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import dask
import numpy as np
import xarray as xr
from dask.diagnostics import ProgressBar

sys.path.insert(0, str(Path(__file__).resolve().parent))
import orvik  # noqa: E402
import velocity_model as vm  # noqa: E402

OUTPUT = Path(__file__).resolve().parent / "output"


def topography_grid(nodes: int = 201) -> orvik.StructuredGrid:
    """The model's ground elevation as a structured grid (1 km nodes)."""
    axis = np.linspace(0.0, vm.EXTENT_KM, nodes)
    gx, gy = np.meshgrid(axis, axis, indexing="ij")
    return orvik.structured_grid(gx, gy, vm.topography(gx, gy))


def volume_axes(nx: int, ny: int, nz: int):
    km = {"units": "km"}
    x = xr.DataArray(
        np.linspace(0.0, vm.EXTENT_KM, nx), dims="x", attrs={"long_name": "easting", **km}
    )
    y = xr.DataArray(
        np.linspace(0.0, vm.EXTENT_KM, ny), dims="y", attrs={"long_name": "northing", **km}
    )
    z = xr.DataArray(np.linspace(2.0, -60.0, nz), dims="z", attrs={"long_name": "elevation", **km})
    return x.assign_coords(x=x), y.assign_coords(y=y), z.assign_coords(z=z)


def write_volume(tree, shape, output: Path, cluster: bool) -> None:
    x, y, z = volume_axes(*shape)
    # Made while a distributed client is active, the graph sends the tree to
    # every worker once; each block then runs one query_many.
    volume = orvik.sample(tree, x, y, z, surface=topography_grid(), chunks="auto")
    print(f"{volume.size // 6:,} points in {volume.data.npartitions} blocks -> {output}")
    dataset = volume.to_dataset("quality")  # one variable per quality: rho, vp, vs, ...
    start = time.perf_counter()
    if cluster:
        from distributed import progress

        written = dataset.to_zarr(output, mode="w", consolidated=False, compute=False).persist()
        progress(written)
        written.compute()
        print()
    else:
        with ProgressBar(), dask.config.set(scheduler="threads"):
            dataset.to_zarr(output, mode="w", consolidated=False)
    seconds = time.perf_counter() - start
    print(
        f"written in {seconds:.1f} s ({volume.size // 6 / seconds / 1e6:.2f} million points per second)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--shape", type=int, nargs=3, default=(200, 200, 100), metavar=("NX", "NY", "NZ")
    )
    parser.add_argument(
        "--cluster",
        type=int,
        default=0,
        metavar="WORKERS",
        help="run on a dask.distributed LocalCluster of this many worker processes",
    )
    parser.add_argument("--output", type=Path, default=OUTPUT / "volume.zarr")
    args = parser.parse_args()

    tree = vm.build_velocity_model()
    args.output.parent.mkdir(parents=True, exist_ok=True)
    if args.cluster:
        from distributed import Client, LocalCluster

        with (
            LocalCluster(
                n_workers=args.cluster, threads_per_worker=1, dashboard_address=None
            ) as cluster,
            Client(cluster),
        ):
            write_volume(tree, args.shape, args.output, cluster=True)
    else:
        write_volume(tree, args.shape, args.output, cluster=False)

    back = xr.open_zarr(args.output, consolidated=False)
    vs = back["vs"].sel(x=90.0, y=110.0, method="nearest")
    shallow = vs.sel(z=slice(0.0, -8.0)).values
    print(
        f"Vs under the basin centre, 0 to 8 km below sea level: "
        f"{np.nanmin(shallow):.2f} to {np.nanmax(shallow):.2f} km/s"
    )


if __name__ == "__main__":
    main()
