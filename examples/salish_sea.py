"""orvik's main example: a velocity model of the Salish Sea from real
topography and bathymetry (see ``salish_model.py`` for how it is built).

Builds the model and saves it with ``orvik.save`` into
``examples/output/salish_sea.orvik``, with a digest of its inputs in the
metadata; a later run whose inputs (the data, the model's code, the stride,
the orvik version) are unchanged loads that file instead of building again,
and says which it did. Then extracts a volume on a regular longitude /
latitude / depth grid with ``orvik.extract`` (block by block with Dask) into a Zarr store with
CF metadata, and draws what a seismologist looks at
first: maps of Vs at a few depths below the surface with the coastline, a
west-east section from Vancouver Island across the Strait of Georgia to the
mainland, and the map of Vs30 that hazard work takes (with Z1.0 and Z2.5, in a
NetCDF raster that GMT and GDAL read). Outputs land in ``examples/output/``.

    python examples/salish_sea.py              # the full region
    python examples/salish_sea.py --coarse     # a quick run on a thinned grid
    python examples/salish_sea.py --rebuild    # build even when the saved model is current
"""

from __future__ import annotations

import argparse
import hashlib
import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import xarray as xr  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import orvik  # noqa: E402
import salish_model as sm  # noqa: E402

OUTPUT = Path(__file__).resolve().parent / "output"
MAP_DEPTHS_M = (500.0, 2000.0, 4000.0, 20500.0)
VOLUME_DEPTHS_M = np.array(
    [
        0,
        250,
        500,
        1000,
        1500,
        2000,
        3000,
        4000,
        5000,
        7500,
        10000,
        15000,
        20000,
        20500,
        25000,
        30000,
        35000,
        40000,
        50000,
        60000,
    ],
    np.float64,
)
SECTION_LATITUDE = 49.3  # through the middle of the Strait of Georgia
SECTION_LONGITUDES = (-125.6, -122.4)
# Speeds share one sequential colour map; the sea (Vs 0, below its range) is
# drawn in a blue that no rock takes, the air (no value) in white.
SPEED_CMAP = "magma"
SEA_COLOUR = "#3a8fd9"
VS_RANGE_KM_S = (0.3, 4.7)  # from the softest sediments to the upper mantle


def inputs_digest(stride: int) -> str:
    """SHA-256 of what the model is built from: the topography and bathymetry,
    the code that builds it, the stride and the orvik version."""
    from importlib.metadata import PackageNotFoundError, version

    from matplotlib.cbook import get_sample_data

    digest = hashlib.sha256(f"stride {stride}\n".encode())
    try:
        digest.update(f"orvik {version('orvik')}\n".encode())
    except PackageNotFoundError:
        pass
    digest.update(Path(get_sample_data("topobathy.npz", asfileobj=False)).read_bytes())
    for name in ("salish_model.py", "earth.py"):
        digest.update((Path(__file__).resolve().parent / name).read_bytes())
    return digest.hexdigest()


def saved_or_built(stride: int, path: Path, rebuild: bool) -> sm.SalishSea:
    """The model loaded from `path` when it was saved from the same inputs,
    else built and saved there; prints which, and the times."""
    digest = inputs_digest(stride)
    saved = None
    if path.exists() and not rebuild:
        try:
            saved = orvik.info(path)["metadata"]["provenance"].get("inputs_sha256")
        except ValueError as e:  # not a model file, or a damaged one: build again
            print(f"cannot use {path}: {e}")
    if saved == digest:
        start = time.perf_counter()
        region = sm.load_region(stride)  # the surface and the projections: milliseconds
        tree = orvik.load(path)
        seconds = time.perf_counter() - start
        print(
            f"loaded the Salish Sea model from {path} in {seconds * 1e3:.1f} ms (its inputs are "
            f"unchanged, sha256 {digest[:12]}...; --rebuild builds it again)"
        )
        return sm.SalishSea(region, None, sm.coastline_rings(region), None, tree)
    start = time.perf_counter()
    model = sm.build(stride)
    built = time.perf_counter() - start
    print(
        f"built the Salish Sea model in {built:.2f} s"
        + (" (the saved model's inputs have changed)" if saved else "")
        + f": a TIN of {len(model.background.vertices):,} vertices fitting the surface within "
        f"{sm.SURFACE_TOLERANCE_M:g} m, a coastline of {len(model.coast):,} segments"
    )
    start = time.perf_counter()
    orvik.save(
        model.tree,
        path,
        surface=model.region.surface,
        metadata={
            "crs": sm.MODEL_CRS,
            "description": "Salish Sea velocity model: topography and bathymetry, the coastline, "
            "continental and marine crust over ak135, the sea, the Georgia basin",
            "provenance": {
                "source": "matplotlib sample topobathy.npz; ak135; examples/salish_model.py",
                "stride": stride,
                "inputs_sha256": digest,
            },
        },
    )
    print(f"saved it to {path} in {time.perf_counter() - start:.2f} s")
    return model


def geographic_axes(step_deg: float, region: sm.Region):
    """Longitude and latitude axes inside the region, `step_deg` apart."""
    lon = np.arange(region.lon[0] + 0.05, region.lon[-1] - 0.05 + 1e-9, step_deg)
    lat = np.arange(region.lat[0] + 0.05, region.lat[-1] - 0.05 + 1e-9, step_deg)
    return (
        xr.DataArray(
            lon, dims="longitude", attrs={"units": "degrees_east", "long_name": "longitude"}
        ),
        xr.DataArray(
            lat, dims="latitude", attrs={"units": "degrees_north", "long_name": "latitude"}
        ),
    )


def surface_elevation(model: sm.SalishSea, lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    """Elevation of the surface (m) at longitude/latitude points."""
    x, y = model.region.to_model.transform(lon, lat)
    values, _ = model.region.surface.query_many(
        np.ravel(x).astype(np.float64), np.ravel(y).astype(np.float64)
    )
    return values.reshape(np.shape(lon))


def extract_volume(
    model: sm.SalishSea, step_deg: float, depths_m: np.ndarray, store: Path
) -> xr.Dataset:
    """The model on a longitude / latitude / depth-below-the-surface grid,
    written block by block into a Zarr store with CF metadata (the grid
    mapping is that of the longitude and latitude, not of the model's UTM)."""
    lon, lat = geographic_axes(step_deg, model.region)
    depth = xr.DataArray(depths_m, dims="depth")
    orvik.extract(
        model.tree,
        {"x": lon, "y": lat, "depth": depth},
        store,
        surface=model.region.surface,
        crs=(sm.GEOGRAPHIC, sm.MODEL_CRS),
        chunks={"latitude": 48},
        resume=False,
    )
    return xr.open_zarr(store)


def section(model: sm.SalishSea, points: int, levels: int, top_m: float, bottom_m: float):
    """Vs on a vertical west-east plane at SECTION_LATITUDE, by elevation."""
    lon = xr.DataArray(np.linspace(*SECTION_LONGITUDES, points), dims="longitude")
    z = xr.DataArray(np.linspace(top_m, bottom_m, levels), dims="elevation")
    lat = xr.DataArray(np.full(points, SECTION_LATITUDE), dims="longitude")
    vs = orvik.sample(
        model.tree, lon, lat, z, surface=model.region.surface, crs=(sm.GEOGRAPHIC, sm.MODEL_CRS)
    ).sel(quality="vs")
    ground = surface_elevation(model, lon.values, lat.values)
    return lon.values, z.values, vs.transpose("elevation", "longitude").values, ground


def coastline_lonlat(model: sm.SalishSea):
    """The coastline's rings in longitude and latitude, for drawing."""
    for ring in model.rings:
        yield model.region.to_geographic.transform(ring[:, 0], ring[:, 1])


def plot_maps(model: sm.SalishSea, data: xr.Dataset, path: Path) -> None:
    fig, axes = plt.subplots(
        2, 2, figsize=(12, 8.5), constrained_layout=True, sharex=True, sharey=True
    )
    region = model.region
    maps = [data["vs"].sel(depth=depth) for depth in MAP_DEPTHS_M]
    lo = min(float(vs.min()) for vs in maps)
    hi = max(float(vs.max()) for vs in maps)
    for ax, depth, vs in zip(axes.flat, MAP_DEPTHS_M, maps):
        mesh = ax.pcolormesh(
            data.longitude, data.latitude, vs, cmap=SPEED_CMAP, vmin=lo, vmax=hi, shading="auto"
        )
        for lon, lat in coastline_lonlat(model):
            ax.plot(lon, lat, color="#1ec8e6", lw=0.6)
        ax.set_xlim(region.lon[0], region.lon[-1])
        ax.set_ylim(region.lat[0], region.lat[-1])
        ax.set_aspect(1.0 / np.cos(np.radians(49.0)))
        ax.set_title(f"{depth / 1000:g} km below the surface")
    fig.colorbar(mesh, ax=axes, label="Vs (km/s)", shrink=0.85)
    for ax in axes[-1]:
        ax.set_xlabel("longitude (degrees)")
    for ax in axes[:, 0]:
        ax.set_ylabel("latitude (degrees)")
    fig.suptitle("Salish Sea: S-wave speed below the surface (one colour range), coastline in cyan")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_section(sections, path: Path) -> None:
    fig, axes = plt.subplots(
        2, 1, figsize=(12, 9), constrained_layout=True, gridspec_kw={"height_ratios": [1, 1.2]}
    )
    # Below the colour range: the sea (Vs is 0); no value: the air.
    cmap = plt.get_cmap(SPEED_CMAP).with_extremes(under=SEA_COLOUR, bad="white")
    lo, hi = VS_RANGE_KM_S
    titles = [
        "the crust: flat discontinuities at 20 km and at the Moho (35 km) below sea level",
        "the top 6 km: the Georgia basin under the strait, the sea, the weathered top layer",
    ]
    for ax, (lon, z, vs, ground), title in zip(axes, sections, titles):
        mesh = ax.pcolormesh(
            lon, z / 1000, np.ma.masked_invalid(vs), cmap=cmap, vmin=lo, vmax=hi, shading="auto"
        )
        ax.plot(lon, ground / 1000, color="k", lw=1.0, label="surface")
        ax.axhline(0.0, color="navy", lw=0.6, ls=":", label="sea level")
        ax.set_ylabel("elevation (km)")
        ax.set_title(title)
    fig.colorbar(mesh, ax=axes, label="Vs (km/s); blue: the sea; white: the air", extend="min")
    axes[0].legend(loc="lower left")
    axes[-1].set_xlabel("longitude (degrees)")
    fig.suptitle(
        f"Vs on a west-east section at {SECTION_LATITUDE:g} N: Vancouver Island, the Strait of "
        "Georgia, the Coast Mountains (one colour range)"
    )
    fig.savefig(path, dpi=110)
    plt.close(fig)


def site_maps(model: sm.SalishSea, step_deg: float, path: Path) -> xr.Dataset:
    """Vs30, Z1.0 and Z2.5 on a longitude / latitude grid, written as a CF
    NetCDF raster (``orvik site --grid`` writes the same)."""
    lon, lat = geographic_axes(step_deg, model.region)
    data = orvik.site.site_grid(
        model.tree,
        lon.values,
        lat.values,
        surface=model.region.surface,
        crs=(sm.GEOGRAPHIC, sm.MODEL_CRS),
    )
    orvik.site.write_site_grid(data, path)
    return data


def plot_vs30(model: sm.SalishSea, data: xr.Dataset, path: Path) -> None:
    fig, ax = plt.subplots(figsize=(9, 7), constrained_layout=True)
    cmap = plt.get_cmap(SPEED_CMAP).with_extremes(bad=SEA_COLOUR)
    mesh = ax.pcolormesh(
        data.lon, data.lat, np.ma.masked_invalid(data["vs30"]), cmap=cmap, shading="auto"
    )
    for lon, lat in coastline_lonlat(model):
        ax.plot(lon, lat, color="k", lw=0.6)
    ax.set_xlim(model.region.lon[0], model.region.lon[-1])
    ax.set_ylim(model.region.lat[0], model.region.lat[-1])
    ax.set_aspect(1.0 / np.cos(np.radians(49.0)))
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
    fig.colorbar(
        mesh,
        ax=ax,
        label="Vs30 (m/s); blue: none (a fluid or no model in the top 30 m)",
        shrink=0.85,
    )
    ax.set_title("Salish Sea: Vs30, the time-averaged S-wave speed of the top 30 m")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--coarse", action="store_true", help="every second node of the data, a coarse volume"
    )
    parser.add_argument("--output", type=Path, default=OUTPUT)
    parser.add_argument(
        "--rebuild", action="store_true", help="build the model even when the saved one is current"
    )
    args = parser.parse_args(argv)
    stride, step, section_size = (2, 0.08, (120, 60)) if args.coarse else (1, 0.01, (640, 260))
    args.output.mkdir(parents=True, exist_ok=True)

    name = "salish_sea.orvik" if stride == 1 else "salish_sea_coarse.orvik"
    model = saved_or_built(stride, args.output / name, args.rebuild)
    sys.stdout.flush()  # print_structure writes to the process's stdout directly
    model.tree.print_structure()

    store = args.output / "salish_sea.zarr"
    start = time.perf_counter()
    saved = extract_volume(model, step, VOLUME_DEPTHS_M, store)
    seconds = time.perf_counter() - start
    points = int(np.prod([saved.sizes[d] for d in ("depth", "latitude", "longitude")]))
    print(
        f"extracted {points:,} points in {seconds:.2f} s ({points / seconds / 1e6:.2f} million points per "
        f"second) into {store}"
    )

    plot_maps(model, saved, args.output / "salish_sea_vs_maps.png")
    sections = [
        section(model, *section_size, 2500.0, -45000.0),
        section(model, *section_size, 2500.0, -6000.0),
    ]
    plot_section(sections, args.output / "salish_sea_section.png")
    print(
        f"wrote {args.output / 'salish_sea_vs_maps.png'} and {args.output / 'salish_sea_section.png'}"
    )
    sites = site_maps(model, 2 * step, args.output / "salish_sea_site_maps.nc")
    plot_vs30(model, sites, args.output / "salish_sea_vs30.png")
    print(
        f"wrote {args.output / 'salish_sea_vs30.png'} and the NetCDF raster of Vs30, Z1.0 and "
        f"Z2.5, {args.output / 'salish_sea_site_maps.nc'}"
    )

    shallow = saved["vs"].sel(depth=2000.0)
    print(
        f"Vs 2 km below the surface: {float(shallow.min()):.2f} to {float(shallow.max()):.2f} km/s; "
        f"the Georgia basin is the slow band under the strait"
    )
    return {
        "model": model,
        "model_file": args.output / name,
        "store": store,
        "site_maps": sites,
        "points": points,
        "seconds": seconds,
    }


if __name__ == "__main__":
    main()
