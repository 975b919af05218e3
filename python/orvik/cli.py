"""The ``orvik`` command: a model file's facts, queries and site products from the shell.

    orvik info MODEL                      the models, kinds, priorities, extent, CRS, metadata
    orvik query MODEL < points.txt        rho vp vs qp qs alpha at each point
    orvik site MODEL STATIONS.csv         the CSV site model: lon,lat,vs30,z1pt0,z2pt5
    orvik site MODEL --grid LON0:LON1:N LAT0:LAT1:M --out MAP.nc
                                          Vs30, Z1.0 and Z2.5 maps (NetCDF or GeoTIFF)
    orvik profile MODEL LON LAT           the vertical profile (TauP .nd or CSV)
    orvik extract MODEL --lon A:B:N --lat A:B:N --depth A:B:N OUT.zarr
                                          the model on a regular volume (Zarr or NetCDF)

Points come on standard input or from a file, one per line; results go to
standard output, one line per point; errors go to standard error with a
non-zero exit status (1 for bad input or a bad model file, 2 for bad usage).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from . import _commands, _extract_options, _output_commands
from ._commands import GEOGRAPHIC, CommandError

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    lo, hi = getattr(args, "priority", (0, 255))
    if lo > hi:
        parser.error(f"--priority: LO {lo} is above HI {hi}, so no model could take part")
    if sys.stdout is None:  # started with standard output closed (>&-)
        print(f"orvik {args.command}: standard output is closed", file=sys.stderr)
        return 1
    try:
        return int(args.run(args) or 0)
    except BrokenPipeError:
        # The reader went away (| head): not an error of ours. Standard output
        # goes to /dev/null so that the interpreter's final flush stays quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    except (CommandError, ValueError, OSError) as e:
        print(f"orvik {args.command}: {e}", file=sys.stderr)
        return 1


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvik",
        description="Query an orvik velocity model file (written by orvik.save) from the shell.",
        epilog="Run 'orvik COMMAND --help' for the options of each command.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_orvik_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _info_parser(commands)
    _query_parser(commands)
    _site_parser(commands)
    _extract_parser(commands)
    _output_commands.profile_parser(commands)
    return parser


def _orvik_version() -> str:
    from . import __version__

    return __version__


def _info_parser(commands: Any) -> None:
    p = commands.add_parser(
        "info",
        help="describe a model file",
        description="Print what a model file holds: its records, models (name, kind, priority, "
        "vertical mode, bounds), extent, CRS, units, description, provenance and attributes. "
        "Only the header and the metadata are read.",
    )
    _model_argument(p)
    p.add_argument("--json", action="store_true", help="print orvik.info(MODEL) as JSON instead")
    p.set_defaults(run=_info)


def _query_parser(commands: Any) -> None:
    p = commands.add_parser(
        "query",
        help="the model's qualities at points",
        description="Read points, one per line, and print the model's qualities at each: "
        "'rho vp vs qp qs alpha' (the model's units, by default g/cm^3, km/s, km/s, 1, 1, 1), "
        "one line per point in input order, 'nan' where no model lies. A point is three "
        "numbers separated by blanks or commas: x y v, by default longitude, latitude (degrees) "
        "and depth below the surface in metres. Blank lines and lines starting with '#' are "
        "skipped, and so is a first line of column names. A line that cannot be read stops the "
        "command with its line number and column.",
    )
    _model_argument(p)
    _crs_argument(p, "the points' x and y")
    vertical = p.add_mutually_exclusive_group()
    vertical.add_argument(
        "--depth",
        dest="vertical",
        action="store_const",
        const="depth",
        default="depth",
        help="the third value is the depth below the surface in metres (the default)",
    )
    vertical.add_argument(
        "--elevation",
        dest="vertical",
        action="store_const",
        const="elevation",
        help="the third value is the elevation in metres (up is positive)",
    )
    p.add_argument(
        "--csv",
        metavar="FILE",
        help="read the points from FILE instead of standard input",
    )
    _priority_argument(p)
    p.set_defaults(run=_commands.query)


def _site_parser(commands: Any) -> None:
    p = commands.add_parser(
        "site",
        help="Vs30, Z1.0 and Z2.5 at stations, as a CSV site model",
        description="Compute Vs30 (m/s), Z1.0 (m) and Z2.5 at each station and write the CSV site "
        "model that OpenQuake reads: 'lon,lat,vs30,z1pt0,z2pt5', with z2pt5 in kilometres as the "
        "engine expects (see --z2pt5-unit). Depths are below the model file's surface record, or "
        "below z = 0 without one. See orvik.site for the sampling and its error bounds.",
    )
    _model_argument(p)
    p.add_argument(
        "stations",
        metavar="STATIONS.csv",
        nargs="?",
        help="station longitudes and latitudes: CSV with columns named lon and lat (or longitude "
        "and latitude), or without a header, longitude and latitude first",
    )
    p.add_argument(
        "--grid",
        nargs=2,
        type=_axis,
        metavar=("LON0:LON1:N", "LAT0:LAT1:M"),
        help="instead of stations, the sites of a regular grid (longitudes and latitudes with the "
        "default --crs); writes the maps of Vs30 (m/s), Z1.0 and Z2.5 (m) to --out: a CF NetCDF "
        "raster (.nc, read by GMT and GDAL) or a GeoTIFF with one band each (.tif)",
    )
    p.add_argument(
        "--out", metavar="FILE", help="write the site model to FILE (default: standard output)"
    )
    _crs_argument(p, "the stations")
    p.add_argument(
        "--z2pt5-unit",
        choices=("km", "m"),
        default="km",
        help="the unit of the z2pt5 column (default km, as OpenQuake reads it)",
    )
    p.add_argument("--vs30-step", type=float, default=1.0, help="Vs30 sampling step, m (1)")
    p.add_argument("--z-step", type=float, default=10.0, help="Z1.0/Z2.5 scan step, m (10)")
    p.add_argument(
        "--max-depth", type=float, default=10_000.0, help="deepest Z1.0/Z2.5 searched, m (10000)"
    )
    p.add_argument(
        "--nan-policy",
        default="error",
        metavar="POLICY",
        help="stations without a value (nan), which OpenQuake cannot read: 'error' (the default) "
        "stops naming them, 'drop' leaves them out, 'fill=VALUE' writes VALUE, 'keep' writes nan",
    )
    p.add_argument(
        "--vs30measured",
        action="store_true",
        help="add the column vs30measured, false: Vs30 comes from the model, not a measurement",
    )
    p.add_argument(
        "--custom-site-id",
        action="store_true",
        help="add the column custom_site_id: the stations' own column of that name, or 1 to N",
    )
    _priority_argument(p)
    p.set_defaults(run=_output_commands.site)
    p._negative_number_matcher = re.compile(r"^-\.?\d")  # type: ignore[attr-defined]


def _extract_parser(commands: Any) -> None:
    p = commands.add_parser(
        "extract",
        help="the model on a regular volume, into Zarr or NetCDF",
        description="Sample the model on the regular volume that --lon, --lat and --depth (or "
        "--elevation) span and write it, block by block, into a Zarr store or (OUT ending in "
        ".nc) a NetCDF-4 file with CF metadata: one variable per quality, dimensions (vertical, "
        "y, x). Depths are below the model file's surface record, or below z = 0 without one. "
        "An interrupted extraction run again with the same arguments resumes where it stopped "
        "and gives the same bits; a progress bar shows on a terminal. Each axis is A:B:N (N "
        "values from A to B, both included) or a comma-separated list of values.",
    )
    _model_argument(p)
    p.add_argument(
        "out", metavar="OUT", help="the Zarr store (a directory) or NetCDF file (.nc) to write"
    )
    for flags, what in ((("--lon", "--x"), "longitudes"), (("--lat", "--y"), "latitudes")):
        p.add_argument(
            *flags,
            dest=flags[1][2:],
            type=_axis,
            required=True,
            metavar="A:B:N",
            help=f"the {flags[1][2:]} axis: {what} in degrees with the default --crs, else "
            f"{flags[1][2:]} in that CRS",
        )
    vertical = p.add_mutually_exclusive_group(required=True)
    vertical.add_argument(
        "--depth", type=_axis, metavar="A:B:N", help="the depths below the surface, in metres"
    )
    vertical.add_argument(
        "--elevation",
        type=_axis,
        metavar="A:B:N",
        help="the elevations, in metres (up is positive)",
    )
    _crs_argument(p, "--lon and --lat")
    p.add_argument(
        "--qualities",
        type=_names,
        default=None,
        metavar="NAMES",
        help="the qualities to write, comma-separated (default all: rho,vp,vs,qp,qs,alpha)",
    )
    p.add_argument(
        "--chunks",
        type=_chunk,
        nargs="+",
        default=None,
        metavar="DIM=LEN",
        help="block lengths along dimensions (longitude, latitude or x, y; depth or z), which "
        "are the store's chunks (default: up to 64 levels and about 2 million points a block)",
    )
    p.add_argument(
        "--format",
        choices=("zarr", "zarr2", "netcdf", "segy", "vtk"),
        default=None,
        help="Zarr format 3 (the default), Zarr format 2, NetCDF-4 (the default for .nc), "
        "SEG-Y (the default for .sgy and .segy: one file per quality, OUT's stem.QUALITY.sgy "
        "when there are several) or a VTK rectilinear grid (the default for .vtr); SEG-Y and "
        "VTK are written from a Zarr store OUT.partial.zarr, which resumes",
    )
    p.add_argument(
        "--restart",
        action="store_true",
        help="replace an existing OUT instead of resuming or keeping it",
    )
    p.add_argument(
        "--layout",
        choices=("cf", "emc"),
        default="cf",
        help="cf (the default) or emc: the layout of the IRIS Earth Model Collection (depth in "
        "km, positive down; dimensions latitude and longitude; needs --lon, --lat and --depth)",
    )
    p.add_argument(
        "--attribute",
        type=_attribute,
        action="append",
        default=None,
        metavar="NAME=TEXT",
        help="a global attribute by its ACDD name (title, summary, creator_name, creator_email, "
        "institution, ...); repeat for more",
    )
    p.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    _priority_argument(p)
    _extract_options.add_rule_arguments(p)
    p.set_defaults(run=_commands.extract)
    # Axes such as -125:-122:50 are values, not options (argparse takes only
    # plain negative numbers for values by default).
    p._negative_number_matcher = re.compile(r"^-\.?\d")  # type: ignore[attr-defined]


def _axis(text: str) -> np.ndarray:
    """An axis A:B:N or v1,v2,...; ArgumentTypeError says what is wrong."""
    try:
        if ":" in text:
            parts = text.split(":")
            if len(parts) != 3:
                raise ValueError
            a, b, n = float(parts[0]), float(parts[1]), int(parts[2])
            if n < 1 or (n == 1 and a != b):
                raise argparse.ArgumentTypeError(
                    f"{text!r}: N must be at least 1 (and 1 only when A equals B)"
                )
            values = np.linspace(a, b, n)
        else:
            values = np.array([float(v) for v in text.split(",")])
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is neither A:B:N nor a comma-separated list of numbers"
        ) from None
    if not np.isfinite(values).all():
        raise argparse.ArgumentTypeError(f"{text!r}: the values must be finite")
    return values


def _names(text: str) -> list[str]:
    return [n.strip() for n in text.split(",")]


def _chunk(text: str) -> tuple[str, int]:
    name, _, length = text.partition("=")
    try:
        value = int(length)
    except ValueError:
        value = 0
    if not name or value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not DIM=LEN with a positive length")
    return name, value


def _attribute(text: str) -> tuple[str, str]:
    name, sep, value = text.partition("=")
    if not name or not sep:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=TEXT")
    return name, value


def _model_argument(p: argparse.ArgumentParser) -> None:
    p.add_argument("model", metavar="MODEL", help="a model file written by orvik.save")


def _crs_argument(p: argparse.ArgumentParser, what: str) -> None:
    p.add_argument(
        "--crs",
        default=GEOGRAPHIC,
        help=f"the CRS of {what} (default %(default)s: longitude, latitude), mapped to the "
        "model's CRS with pyproj; 'model' for the model's own coordinates",
    )


def _priority_argument(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--priority",
        nargs=2,
        type=_priority,
        metavar=("LO", "HI"),
        default=(0, 255),
        help="the range of model priorities that take part (default 0 255)",
    )


def _priority(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer from 0 to 255")
    return value


# --- info ---------------------------------------------------------------------------


def _info(args: argparse.Namespace) -> int:
    from .files import info

    facts = info(args.model)
    if args.json:
        print(json.dumps(facts, indent=2, ensure_ascii=False))
        return 0
    sys.stdout.write("".join(_info_lines(facts)))
    return 0


def _info_lines(facts: dict[str, Any]) -> Iterator[str]:
    meta = facts["metadata"]
    yield f"{facts['path']}: orvik model file, format version {facts['format_version']}, "
    yield f"{_size(facts['bytes'])}\n"
    if meta.get("description"):
        yield f"description: {meta['description']}\n"
    yield f"CRS: {meta.get('crs') or '(none given)'}\n"
    units = meta.get("units") or {}
    if units:
        yield "units: " + ", ".join(f"{k} {v}" for k, v in units.items()) + "\n"
    extent = meta.get("extent")
    if extent:
        lo, hi = extent["min"], extent["max"]
        yield (
            "extent: "
            + ", ".join(f"{axis} {_num(a)} to {_num(b)}" for axis, a, b in zip("xyz", lo, hi))
            + "\n"
        )
    yield (
        "records: "
        + ", ".join(f"{r['name']} ({r['kind']}, {_size(r['bytes'])})" for r in facts["records"])
        + "\n"
    )
    models = meta.get("models") or []
    yield f"models ({len(models)}), in tree order:\n"
    for m in models:
        bounds = m.get("bounds") or []
        yield (
            f"  {m.get('id', '?')}: {json.dumps(m.get('name', ''), ensure_ascii=False)}, "
            f"{m.get('kind', '?')}, priority {m.get('priority', '?')}, "
            f"by {str(m.get('vertical', '?')).lower()}, bounds "
            f"[{', '.join(_num(b) for b in bounds)}]\n"
        )
    for section in ("provenance", "attributes"):
        values = meta.get(section) or {}
        if values:
            yield f"{section}:\n"
            for k, v in values.items():
                yield f"  {k}: {json.dumps(v, ensure_ascii=False)}\n"


def _size(n: int) -> str:
    for unit in ("bytes", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1000  # type: ignore[assignment]
    raise AssertionError


def _num(v: Any) -> str:
    return "null" if v is None else f"{v:.10g}"


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
