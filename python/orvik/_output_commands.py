"""The commands that write files for other tools (see :mod:`orvik.cli`):
``orvik site`` (a site model table, or with ``--grid`` the maps of Vs30, Z1.0
and Z2.5) and ``orvik profile`` (a vertical profile as TauP ``.nd`` or CSV)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from . import _commands
from ._commands import CommandError, Model


def site(args: argparse.Namespace) -> int:
    """``orvik site``: the stations' table, or the maps of a grid of sites."""
    if (args.stations is None) == (args.grid is None):
        raise CommandError("give either STATIONS.csv or --grid LON0:LON1:N LAT0:LAT1:M")
    if args.grid is None:
        return _commands.site(args)
    if not args.out:
        raise CommandError("--grid writes a map file: give it with --out MAP.nc (or MAP.tif)")
    from .site import site_grid, write_site_grid

    model = Model(args.model, args.crs)
    data = site_grid(
        model.tree,
        args.grid[0],
        args.grid[1],
        crs=model.transformer or model.points_crs,
        surface=model.surface,
        priority=tuple(args.priority),
        speed_unit=model.speed_unit,
        vs30_step=args.vs30_step,
        z_step=args.z_step,
        max_depth=args.max_depth,
    )
    path = write_site_grid(data, args.out)
    print(f"{path}: {len(args.grid[0])} x {len(args.grid[1])} sites, vs30 z1pt0 z2pt5")
    return 0


def profile_parser(commands: Any) -> None:
    from .cli import _crs_argument, _model_argument, _priority_argument

    p = commands.add_parser(
        "profile",
        help="the vertical profile below a site, as TauP .nd or CSV",
        description="Write the model's vertical profile below the site LON LAT: Vp, Vs (km/s), "
        "density (g/cm^3), Qp and Qs from the surface down, sampled every --step metres and "
        "refined to --resolution around each kink and discontinuity (written as two lines at "
        "one depth). As TauP's .nd (depths in km; obspy.taup and TauP read it) or as CSV "
        "(depths in metres). The profile ends where the line leaves every model, or at "
        "--max-depth.",
    )
    _model_argument(p)
    p.add_argument("lon", type=float, metavar="LON", help="the site's longitude (or x)")
    p.add_argument("lat", type=float, metavar="LAT", help="the site's latitude (or y)")
    p.add_argument("--out", metavar="FILE", help="write to FILE (default: standard output, as .nd)")
    p.add_argument(
        "--format",
        choices=("nd", "csv"),
        default=None,
        help="nd or csv (default: from the suffix of --out, nd on standard output)",
    )
    _crs_argument(p, "the site")
    p.add_argument("--step", type=float, default=100.0, help="sampling step, m (100)")
    p.add_argument(
        "--max-depth", type=float, default=6_371_000.0, help="deepest depth, m (6371000)"
    )
    p.add_argument("--resolution", type=float, default=1e-3, help="refinement length, m (0.001)")
    _priority_argument(p)
    p.set_defaults(run=profile)


def profile(args: argparse.Namespace) -> int:
    from .site import profile as site_profile
    from .site import write_profile

    model = Model(args.model, args.crs)
    table = site_profile(
        model.tree,
        args.lon,
        args.lat,
        surface=model.surface,
        priority=tuple(args.priority),
        crs=model.transformer,
        speed_unit=model.speed_unit,
        max_depth=args.max_depth,
        step=args.step,
        resolution=args.resolution,
    )
    if args.out:
        write_profile(table, args.out, format=args.format)
    else:
        write_profile(table, sys.stdout.buffer, format=args.format or "nd")
        sys.stdout.buffer.flush()
    return 0
