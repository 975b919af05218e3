"""What the subcommands of the ``orvik`` command do (see :mod:`orvik.cli` for
their options): a model file opened for querying, the query pipeline, the
site model and the extraction of a volume."""

from __future__ import annotations

import argparse
import csv
import functools
import os
import sys
import threading
import warnings
from collections import deque
from collections.abc import Callable, Iterator
from typing import IO, Any, TypeVar, cast

import numpy as np

from . import _places
from ._model_units import factor

#: Bytes of input read and parsed at a time by ``orvik query``.
READ_BLOCK = 1 << 23
GEOGRAPHIC = "EPSG:4326"
_Command = TypeVar("_Command", bound=Callable[[argparse.Namespace], int])


class CommandError(Exception):
    """A failure to report on standard error (exit status 1)."""


def reporting_warnings(command: str) -> Callable[[_Command], _Command]:
    """The command, reporting the points that are no place in one line on
    standard error, ``orvik COMMAND: warning: ...``."""

    def wrap(run: _Command) -> _Command:
        @functools.wraps(run)
        def reporting(args: argparse.Namespace) -> int:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", _places.NoPlaceWarning)
                status = run(args)
            counts = [w.message for w in caught if isinstance(w.message, _places.NoPlaceWarning)]
            for w in caught:
                if not isinstance(w.message, _places.NoPlaceWarning):
                    warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
            lost = sum(w.count for w in counts)
            if lost:
                total = sum(w.total for w in counts)
                print(f"orvik {command}: warning: {_places.describe(lost, total)}", file=sys.stderr)
            return status

        return cast(_Command, reporting)

    return wrap


# --- query --------------------------------------------------------------------------


def _no_crs(crs: str, what: str) -> CommandError:
    return CommandError(
        f"the model file names no CRS, so {what} cannot be mapped from {crs}; give them in the "
        "model's own coordinates with --crs model"
    )


class Model:
    """A model file's tree, surface and CRS, as the commands use them."""

    def __init__(self, path: str, crs: str) -> None:
        from .files import _load_model

        facts, self.tree, self.surface = _load_model(path)
        self.meta = facts["metadata"]
        self.crs = crs
        self.transformer = self._transformer(crs)
        self._local = threading.local()
        vs_unit = (self.meta.get("units") or {}).get("vs", "km/s")
        try:
            factor(vs_unit, "speed", "vs")
        except ValueError:
            raise CommandError(f"the model's Vs unit {vs_unit!r} is neither km/s nor m/s") from None
        self.speed_unit = vs_unit
        # The CRS of the points as given (None when unknown): a geographic
        # one has latitudes to check.
        self.points_crs = self._points_crs(crs)
        self.geographic = _places.is_geographic(self.points_crs)

    def _points_crs(self, crs: str) -> Any:
        given = self.meta.get("crs") if crs == "model" else crs
        if not given:
            return None
        try:
            import pyproj
        except ImportError:
            return None
        try:
            return pyproj.CRS.from_user_input(given)
        except pyproj.exceptions.CRSError as e:
            raise CommandError(f"{given} is not a CRS that pyproj knows: {e}") from None

    def _transformer(self, crs: str) -> Any:
        if crs == "model":
            return None
        model_crs = self.meta.get("crs")
        if not model_crs:
            raise _no_crs(crs, "points")
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


def query(args: argparse.Namespace) -> int:
    from concurrent.futures import ThreadPoolExecutor

    model = Model(args.model, args.crs)
    out = sys.stdout.buffer
    # Blocks of lines go through parse, projection, query and formatting on
    # worker threads (all but pyproj's projection release the interpreter
    # lock), and their text is written in input order.
    workers = min(4, os.cpu_count() or 1)
    lost = total = 0

    def write(done: Any) -> None:
        nonlocal lost, total
        text, bad, n = done.result()
        out.write(text)
        lost, total = lost + bad, total + n

    with _input(args.csv) as source, ThreadPoolExecutor(workers) as pool:
        pending: deque[Any] = deque()
        for block, line in _text_blocks(source):
            pending.append(pool.submit(_query_block, model, args, block, line, source))
            if len(pending) > workers:
                write(pending.popleft())
        while pending:
            write(pending.popleft())
    out.flush()
    if lost:
        print(f"orvik query: warning: {_places.describe(lost, total)}", file=sys.stderr)
    return 0


def _query_block(
    model: Model, args: argparse.Namespace, block: bytes, line: int, source: Any
) -> tuple[bytes, int, int]:
    """The block's lines of output, its points that are no place, its points."""
    from . import _native
    from .orvik import QueryCoordinates, QueryParams

    try:
        points = _native.parse_rows(block, 3, line)
    except ValueError as e:
        raise CommandError(f"{_source_name(source)}: {e}") from None
    if model.geographic:
        _places.check_swapped(points[:, 0], points[:, 1])
    bad = _places.no_place(points[:, 0], points[:, 1], model.geographic)
    bad |= ~np.isfinite(points[:, 2])
    x, y = model.horizontal(points[:, 0], points[:, 1])
    bad |= ~np.isfinite(x) | ~np.isfinite(y)
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
    rows[bad] = np.nan
    return bytes(_native.format_rows(rows)), int(bad.sum()), len(rows)


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


@reporting_warnings("site")
def site(args: argparse.Namespace) -> int:
    from .site import site_model, write_site_model

    model = Model(args.model, args.crs)
    lon, lat, ids = _read_stations(args.stations)
    table = site_model(
        model.tree,
        {"lon": lon, "lat": lat, **({} if ids is None else {"custom_site_id": ids})},
        surface=model.surface,
        priority=tuple(args.priority),
        crs=model.transformer or model.points_crs,
        speed_unit=model.speed_unit,
        vs30_step=args.vs30_step,
        z_step=args.z_step,
        max_depth=args.max_depth,
        nan_policy=args.nan_policy,
        vs30measured=False if args.vs30measured else None,
        custom_site_id=True if args.custom_site_id else None,
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
    if len(table) < len(lon):
        print(
            f"orvik site: {len(lon) - len(table)} of {len(lon)} stations left out: no value (nan)",
            file=sys.stderr,
        )
    return 0


def _read_stations(path: str) -> tuple[np.ndarray, np.ndarray, list[str] | None]:
    """Longitudes, latitudes and (when a column has that name) custom site
    ids of a station CSV (see the site command's help)."""
    with open(path, newline="", encoding="utf-8") as f:
        rows = [
            (n, r) for n, r in enumerate(csv.reader(f), start=1) if r and any(c.strip() for c in r)
        ]
    rows = [(n, r) for n, r in rows if not r[0].lstrip().startswith("#")]
    if not rows:
        raise CommandError(f"{path}: no stations")
    columns = (0, 1)
    ids = None
    first = [c.strip().lower() for c in rows[0][1]]
    if first and first[0][:1].isalpha():
        if "custom_site_id" in first:
            at = first.index("custom_site_id")
            ids = [r[at].strip() if at < len(r) else "" for _, r in rows[1:]]
        columns = (
            _column(first, ("lon", "longitude"), path),
            _column(first, ("lat", "latitude"), path),
        )
        rows = rows[1:]
    values = np.empty((len(rows), 2))
    for i, (n, row) in enumerate(rows):
        for k, c in enumerate(columns):
            values[i, k] = _cell(row, c, n, path)
    return values[:, 0], values[:, 1], ids


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


# --- extract ------------------------------------------------------------------------


def _same_units(units: Any, qualities: Any) -> None:
    """Refuses a model file whose qualities are not in the units that the
    extraction's output states (it labels values, it does not convert them)."""
    from .qualities import QUALITY_FACTS

    for q in qualities:
        fact, stated = QUALITY_FACTS.get(q), units.get(q)
        if (
            fact is not None
            and stated is not None
            and factor(str(stated), fact.kind, f"units of {q}") != 1.0
        ):
            raise CommandError(
                f"the model file states {q} in {stated}; orvik extract writes {q} in "
                f"{fact.units} and does not convert: save the model with values in {fact.units}"
            )


@reporting_warnings("extract")
def extract(args: argparse.Namespace) -> int:
    from .files import _load_model
    from .qualities import QUALITIES

    facts, tree, surface = _load_model(args.model)
    _same_units(facts["metadata"].get("units") or {}, args.qualities or QUALITIES)
    model_crs = facts["metadata"].get("crs")
    if args.crs == "model":
        crs: Any = model_crs or None
        names = ("x", "y")
    elif not model_crs:
        raise _no_crs(args.crs, "the axes")
    else:
        crs = (args.crs, model_crs)
        names = ("longitude", "latitude") if args.crs == GEOGRAPHIC else ("x", "y")
    from . import _extract_options as options

    export = options.export_format(args.format, args.out)
    if export is not None:
        options.check_target(args.out, export, args.restart, args.qualities or QUALITIES)
    try:
        import xarray as xr

        from .extraction import extract as run
    except ImportError:
        raise CommandError(
            "extract needs xarray, Dask and Zarr: pip install 'orvik[dask]'"
        ) from None
    x, y = (xr.DataArray(v, dims=n) for v, n in zip((args.x, args.y), names))
    vertical = {"depth": args.depth} if args.depth is not None else {"z": args.elevation}
    from ._extraction_store import AnotherExtraction

    try:
        store = run(
            tree,
            {"x": x, "y": y, **vertical},
            options.staging_store(args.out) if export else args.out,
            surface=surface,
            crs=crs,
            qualities=args.qualities or QUALITIES,
            priority=tuple(args.priority),
            chunks=dict(args.chunks) if args.chunks else None,
            format=None if export else args.format,
            progress=not args.no_progress,
            resume=not args.restart,
            rules=options.rules_of(args, "km/s"),  # the units were checked above
            layout=args.layout,
            attributes=dict(args.attribute) if args.attribute else None,
        )
    except AnotherExtraction as e:
        raise CommandError(e.message("pass --restart")) from None
    levels = len(next(iter(vertical.values())))
    written = options.export(store, args.out, export) if export else [store]
    for path in written:
        print(f"{path}: {len(args.x)} x {len(args.y)} x {levels} points")
    return 0
