"""orvik's main example: a sedimentary basin composited over the ak135 Earth.

Builds the velocity model of ``velocity_model.py``, prints its structure,
queries a vertical cross-section through the basin and a depth slice with
``query_many``, reports the query rate and writes Vs plots to
``examples/output/``.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import velocity_model as vm  # noqa: E402

OUTPUT = Path(__file__).resolve().parent / "output"
VS = 2  # column of Vs in a quality row


def timed_query(tree, x, y, z):
    start = time.perf_counter()
    out = vm.query_points(tree, x, y, z)
    return out, time.perf_counter() - start


def cross_section(tree, y_km: float, z_top: float, z_bottom: float, nx: int, nz: int):
    xs = np.linspace(0.0, vm.EXTENT_KM, nx)
    zs = np.linspace(z_top, z_bottom, nz)
    gx, gz = np.meshgrid(xs, zs)
    out, seconds = timed_query(tree, gx.ravel(), np.full(gx.size, y_km), gz.ravel())
    return xs, zs, out[:, VS].reshape(gz.shape), gx.size, seconds


def depth_slice(tree, depth_km: float, n: int):
    xs = np.linspace(0.0, vm.EXTENT_KM, n)
    gx, gy = np.meshgrid(xs, xs)
    z = vm.topography(gx, gy) - depth_km
    out, seconds = timed_query(tree, gx.ravel(), gy.ravel(), z.ravel())
    return xs, out[:, VS].reshape(gx.shape), gx.size, seconds


def plot_sections(sections, y_km: float, path: Path) -> None:
    fig, axes = plt.subplots(
        2, 1, figsize=(9, 8), constrained_layout=True, gridspec_kw={"height_ratios": [1.2, 1]}
    )
    for ax, (xs, zs, vs, title, vlim) in zip(axes, sections):
        mesh = ax.pcolormesh(xs, zs, vs, cmap="RdYlBu", shading="auto", vmin=vlim[0], vmax=vlim[1])
        ground = vm.topography(xs, np.full_like(xs, y_km))
        ax.plot(xs, ground, color="k", lw=0.8)
        ax.set_ylim(zs.min(), zs.max())
        ax.set_xlabel("x (km)")
        ax.set_ylabel("elevation (km)")
        ax.set_title(title)
        fig.colorbar(mesh, ax=ax, label="Vs (km/s)")
    fig.suptitle(f"Vs cross-section at y = {y_km:.0f} km: basin over ak135")
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_slice(xs, vs, depth_km: float, path: Path) -> None:
    fig, ax = plt.subplots(figsize=(7, 6), constrained_layout=True)
    mesh = ax.pcolormesh(xs, xs, vs, cmap="RdYlBu", shading="auto")
    cx, cy = vm.BASIN_CENTRE
    t = np.linspace(0, 2 * np.pi, 200)
    ax.plot(
        cx + vm.BASIN_RADII[0] * np.cos(t),
        cy + vm.BASIN_RADII[1] * np.sin(t),
        color="k",
        lw=0.8,
        ls="--",
        label="basin rim",
    )
    ax.set_aspect("equal")
    ax.set_xlabel("x (km)")
    ax.set_ylabel("y (km)")
    ax.legend(loc="upper right")
    ax.set_title(f"Vs at {depth_km:g} km below the ground")
    fig.colorbar(mesh, ax=ax, label="Vs (km/s)")
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main() -> None:
    OUTPUT.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    tree = vm.build_velocity_model()
    print(f"built the velocity model in {time.perf_counter() - start:.2f} s")
    sys.stdout.flush()  # print_structure writes to the process's stdout directly
    tree.print_structure()

    y_km = vm.BASIN_CENTRE[1]
    xs, zs_deep, vs_deep, n1, t1 = cross_section(tree, y_km, 3.0, -700.0, 400, 300)
    xs_top, zs_top, vs_top, n2, t2 = cross_section(tree, y_km, 3.0, -45.0, 800, 400)
    depth = 2.0
    sx, vs_slice, n3, t3 = depth_slice(tree, depth, 500)
    total, seconds = n1 + n2 + n3, t1 + t2 + t3
    print(
        f"queried {total:,} points in {seconds * 1e3:.0f} ms "
        f"({total / seconds / 1e6:.2f} million points per second)"
    )

    centre = tree.explain(
        vm.BASIN_CENTRE[0], y_km, vm.topography(vm.BASIN_CENTRE[0], y_km) - 1.0, 1.0
    )
    print("at 1 km depth under the basin centre:")
    for c in centre["contributions"]:
        q = c["quality"]
        print(f"  priority {c['priority']:3d}: vs {q['vs']:.2f} km/s, alpha {q['alpha']:.2f}")
    print(f"  composite vs {centre['output']['vs']:.2f} km/s")
    deep = vs_deep[~np.isnan(vs_deep)]
    print(
        f"Vs in the section: {np.nanmin(vs_top):.2f} km/s (basin) to {deep.max():.2f} km/s "
        f"(transition zone)"
    )

    sections = [
        (xs, zs_deep, vs_deep, "crust and upper mantle (ak135)", (0.3, 6.0)),
        (xs_top, zs_top, vs_top, "basin, crust and Moho", (0.3, 4.6)),
    ]
    plot_sections(sections, y_km, OUTPUT / "vs_cross_section.png")
    plot_slice(sx, vs_slice, depth, OUTPUT / "vs_depth_slice.png")
    print(f"wrote {OUTPUT / 'vs_cross_section.png'} and {OUTPUT / 'vs_depth_slice.png'}")


if __name__ == "__main__":
    main()
