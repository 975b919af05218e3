"""The ``orvik`` command: a model file's facts, queries and site products from the shell.

    orvik info MODEL                      the models, kinds, priorities, extent, CRS, metadata
    orvik query MODEL < points.txt        rho vp vs qp qs alpha at each point
    orvik site MODEL STATIONS.csv         the CSV site model: lon,lat,vs30,z1pt0,z2pt5

Points come on standard input or from a file, one per line; results go to
standard output, one line per point; errors go to standard error with a
non-zero exit status (1 for bad input or a bad model file, 2 for bad usage).
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import sys
import threading
from collections import deque
from collections.abc import Iterator, Sequence
from typing import IO, Any

import numpy as np

__all__ = ["main"]

#: Bytes of input read and parsed at a time by ``orvik query``.
READ_BLOCK = 1 << 23
GEOGRAPHIC = "EPSG:4326"


class CommandError(Exception):
    """A failure to report on standard error (exit status 1)."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
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
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _info_parser(commands)
    _query_parser(commands)
    _site_parser(commands)
    return parser


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
    p.set_defaults(run=_query)


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
        help="station longitudes and latitudes: CSV with columns named lon and lat (or longitude "
        "and latitude), or without a header, longitude and latitude first",
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
    _priority_argument(p)
    p.set_defaults(run=_site)


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
        type=int,
        metavar=("LO", "HI"),
        default=(0, 255),
        help="the range of model priorities that take part (default 0 255)",
    )


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


# --- query --------------------------------------------------------------------------


class _Model:
    """A model file's tree, surface and CRS, as the commands use them."""

    def __init__(self, path: str, crs: str) -> None:
        from .files import info, load

        facts = info(path)
        self.meta = facts["metadata"]
        names = {r["name"] for r in facts["records"]}
        self.tree = load(path)
        self.surface = load(path, "surface") if "surface" in names else None
        self.crs = crs
        self.transformer = self._transformer(crs)
        self._local = threading.local()
        vs_unit = (self.meta.get("units") or {}).get("vs", "km/s")
        if vs_unit not in ("km/s", "m/s"):
            raise CommandError(f"the model's Vs unit {vs_unit!r} is neither km/s nor m/s")
        self.speed_unit = vs_unit

    def _transformer(self, crs: str) -> Any:
        if crs == "model":
            return None
        model_crs = self.meta.get("crs")
        if not model_crs:
            raise CommandError(
                "the model file names no CRS, so points cannot be mapped from "
                f"{crs}; give them in the model's own coordinates with --crs model"
            )
        try:
            import pyproj
        except ImportError:
            raise CommandError(
                "mapping coordinates needs pyproj (pip install 'orvik[geo]'), or --crs model"
            ) from None
        try:
            return pyproj.Transformer.from_crs(crs, model_crs, always_xy=True)
        except pyproj.exceptions.CRSError as e:
            raise CommandError(f"cannot map {crs} to the model's CRS {model_crs}: {e}") from None

    def horizontal(self, x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        if self.transformer is None:
            return x, y
        # A transformer of its own for each thread, as pyproj asks.
        transformer = getattr(self._local, "transformer", None)
        if transformer is None:
            transformer = self._local.transformer = self._transformer(self.crs)
        tx, ty = transformer.transform(x, y)
        return np.asarray(tx, np.float64), np.asarray(ty, np.float64)

    def top(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        if self.surface is None:
            return np.zeros(len(x))
        return self.surface.query_many(x, y)[0]


def _query(args: argparse.Namespace) -> int:
    from concurrent.futures import ThreadPoolExecutor

    model = _Model(args.model, args.crs)
    out = sys.stdout.buffer
    # Blocks of lines go through parse, projection, query and formatting on
    # worker threads (all but pyproj's projection release the interpreter
    # lock), and their text is written in input order.
    workers = min(4, os.cpu_count() or 1)
    with _input(args.csv) as source, ThreadPoolExecutor(workers) as pool:
        pending: deque[Any] = deque()
        for block, line in _text_blocks(source):
            pending.append(pool.submit(_query_block, model, args, block, line, source))
            if len(pending) > workers:
                out.write(pending.popleft().result())
        while pending:
            out.write(pending.popleft().result())
    out.flush()
    return 0


def _query_block(
    model: _Model, args: argparse.Namespace, block: bytes, line: int, source: Any
) -> bytes:
    from . import _native
    from .orvik import QueryCoordinates, QueryParams

    try:
        points = _native.parse_rows(block, 3, line)
    except ValueError as e:
        raise CommandError(f"{_source_name(source)}: {e}") from None
    x, y = model.horizontal(points[:, 0], points[:, 1])
    top = model.top(x, y)
    v = points[:, 2]
    z = np.empty(len(v), np.float32)
    depth = np.empty(len(v), np.float32)
    if args.vertical == "depth":
        depth[:] = v
        np.subtract(top, v, out=z, casting="same_kind")
    else:
        z[:] = v
        np.subtract(top, v, out=depth, casting="same_kind")
    rows = np.full((len(v), len(_native.QUALITIES)), np.nan, np.float32)
    coords = QueryCoordinates(x.astype(np.float32), y.astype(np.float32), z, depth)
    model.tree.query_many(rows, coords, QueryParams(*args.priority))
    return bytes(_native.format_rows(rows))


class _input:
    """Standard input, or the named file, as a binary stream."""

    def __init__(self, name: str | None) -> None:
        self.name = name
        self.file: IO[bytes] | None = None

    def __enter__(self) -> IO[bytes]:
        if self.name is None:
            return sys.stdin.buffer
        self.file = open(self.name, "rb")
        return self.file

    def __exit__(self, *exc: object) -> None:
        if self.file is not None:
            self.file.close()


def _text_blocks(source: IO[bytes]) -> Iterator[tuple[bytes, int]]:
    """Whole lines of the input, a block at a time, with the number of each
    block's first line; a first line of column names is dropped."""
    line = 1
    pending = b""
    first = True
    while True:
        data = source.read(READ_BLOCK)
        text = pending + data
        cut = len(text) if not data else text.rfind(b"\n") + 1
        block, pending = text[:cut], text[cut:]
        if first and block:
            block, skipped = _without_header(block)
            line += skipped
            first = False
        if block:
            yield block, line
            line += block.count(b"\n")
        if not data:
            return


def _without_header(block: bytes) -> tuple[bytes, int]:
    """The block without a first line of column names, and the lines dropped.

    A line of names is one whose every field starts with a letter or a quote
    and is not a spelling of NaN or infinity (which are bad values, and are
    reported as such)."""
    end = block.find(b"\n")
    first = block if end < 0 else block[:end]
    fields = first.replace(b",", b" ").split()
    names = fields and all(
        (f[:1].isalpha() or f[:1] == b'"') and f.lower().lstrip(b"+-") not in _NOT_NAMES
        for f in fields
    )
    if names:
        return (b"" if end < 0 else block[end + 1 :]), 1
    return block, 0


_NOT_NAMES = frozenset({b"nan", b"inf", b"infinity"})


def _source_name(source: IO[bytes]) -> str:
    name = getattr(source, "name", "")
    return "standard input" if source is sys.stdin.buffer or not isinstance(name, str) else name


# --- site ---------------------------------------------------------------------------


def _site(args: argparse.Namespace) -> int:
    from .site import site_model, write_site_model

    model = _Model(args.model, args.crs)
    lon, lat = _read_stations(args.stations)
    table = site_model(
        model.tree,
        {"lon": lon, "lat": lat},
        surface=model.surface,
        priority=tuple(args.priority),
        crs=model.transformer,
        speed_unit=model.speed_unit,
        vs30_step=args.vs30_step,
        z_step=args.z_step,
        max_depth=args.max_depth,
    )
    if args.out:
        write_site_model(table, args.out, z2pt5_unit=args.z2pt5_unit)
    else:
        write_site_model(table, sys.stdout.buffer, z2pt5_unit=args.z2pt5_unit)
        sys.stdout.buffer.flush()
    missing = int(np.isnan(table["vs30"]).sum())
    if missing:
        print(
            f"orvik site: {missing} of {len(table)} stations have no Vs30 (nan): no model, or "
            "a fluid, in their top 30 m",
            file=sys.stderr,
        )
    return 0


def _read_stations(path: str) -> tuple[np.ndarray, np.ndarray]:
    """Longitudes and latitudes of a station CSV (see the site command's help)."""
    with open(path, newline="", encoding="utf-8") as f:
        rows = [
            (n, r) for n, r in enumerate(csv.reader(f), start=1) if r and any(c.strip() for c in r)
        ]
    rows = [(n, r) for n, r in rows if not r[0].lstrip().startswith("#")]
    if not rows:
        raise CommandError(f"{path}: no stations")
    columns = (0, 1)
    first = [c.strip().lower() for c in rows[0][1]]
    if first and first[0][:1].isalpha():
        columns = (
            _column(first, ("lon", "longitude"), path),
            _column(first, ("lat", "latitude"), path),
        )
        rows = rows[1:]
    values = np.empty((len(rows), 2))
    for i, (n, row) in enumerate(rows):
        for k, c in enumerate(columns):
            values[i, k] = _cell(row, c, n, path)
    return values[:, 0], values[:, 1]


def _column(header: list[str], names: tuple[str, ...], path: str) -> int:
    for name in names:
        if name in header:
            return header.index(name)
    raise CommandError(f"{path}: line 1: no column named {' or '.join(names)}")


def _cell(row: list[str], column: int, line: int, path: str) -> float:
    if column >= len(row):
        raise CommandError(
            f"{path}: line {line}: expected a value in column {column + 1}, found {len(row)} columns"
        )
    text = row[column].strip()
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not np.isfinite(value):
        raise CommandError(f"{path}: line {line}, column {column + 1}: {text!r} is not a number")
    return value


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
