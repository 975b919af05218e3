"""The vertical profile of a velocity model below one site, as a layered
table, and its files: TauP's ``.nd`` (for travel times) and CSV (for site
response codes)."""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Any, Literal

import numpy as np

from . import _places
from ._model_tables import LayeredTable
from ._site_blocks import _metres_per_second, check
from ._site_profiles import QUERY_POINTS
from .orvik import PyModelTree, QueryCoordinates, QueryParams, StructuredGrid
from .qualities import QUALITIES

_F32 = np.dtype(np.float32)
# The table's columns vp, vs, rho, qp, qs in the rows of query_many; the
# first three decide where rows go (models may interpolate 1/Q, not Q).
_COLUMNS = [QUALITIES.index(q) for q in ("vp", "vs", "rho", "qp", "qs")]
_SHAPE = slice(0, 3)
# float32 answers are within a few units in the last place of a line.
_LINEAR = 2.0**-20
# A change across a piece no longer than the resolution that is larger than
# this (relative) is a jump; a smaller one is a kink.
_JUMP = 2.0**-14
EARTH_RADIUS = 6_371_000.0


def profile(
    tree: PyModelTree,
    x: float,
    y: float,
    *,
    surface: StructuredGrid | None = None,
    priority: tuple[int, int] = (0, 255),
    crs: Any = None,
    speed_unit: Literal["km/s", "m/s"] = "km/s",
    max_depth: float = EARTH_RADIUS,
    step: float = 100.0,
    resolution: float = 1e-3,
) -> LayeredTable:
    """The model's vertical profile below the site (*x*, *y*) as a layered table.

    Vp, Vs, density and the quality factors are sampled every *step* metres
    from the surface (the topography *surface*, or z = 0) down to
    *max_depth*; a step whose midpoint is off the line between its ends is
    halved until it is linear or no longer than *resolution*, so that every
    kink and discontinuity of the model is found within *resolution*. A
    discontinuity becomes two rows at one depth (the values above, then
    below); rows in the middle of a straight piece are dropped. Where rows
    go is decided by Vp, Vs and density; Qp and Qs are exact at the rows
    (models may interpolate 1/Q between them). The profile ends where the
    line leaves every model (a gap) or at *max_depth*.

    *crs*, *priority* and *speed_unit* are those of :func:`orvik.site.vs30`.
    Returns a :class:`orvik.models.LayeredTable` (depths in metres, speeds in
    km/s, density as the model's, g/cm^3) that :func:`orvik.models.layered`
    takes and :func:`write_profile` writes. ValueError when no model answers
    at the site's surface.
    """
    check(tree, surface, priority, speed_unit)
    for name, value in (("max_depth", max_depth), ("step", step), ("resolution", resolution)):
        if not (isinstance(value, int | float) and math.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive number of metres; got {value!r}")
    sx, sy = np.array([x], np.float64), np.array([y], np.float64)
    if not (np.isfinite(sx).all() and np.isfinite(sy).all()):
        raise ValueError(f"the site must be finite numbers; got ({x!r}, {y!r})")
    transformer, sites_crs = _places.resolve_crs(crs)
    if _places.no_place(sx, sy, _places.is_geographic(sites_crs)).any():
        raise ValueError(f"the site ({x!r}, {y!r}) is no place: a latitude outside [-90, 90]")
    if transformer is not None:
        sx, sy = (np.asarray(a, np.float64) for a in transformer.transform(sx, sy))
    top = 0.0 if surface is None else float(surface.query_many(sx, sy)[0][0])
    line = _Line(tree, float(sx[0]), float(sy[0]), top, priority, speed_unit)
    depth = _f32(np.minimum(np.arange(math.ceil(max_depth / step) + 1) * step, max_depth))
    values = line.values(depth)
    if not np.isfinite(values[0]).all():
        raise ValueError(f"no model answers at the surface of the site ({x}, {y})")
    gap = np.flatnonzero(~np.isfinite(values).all(axis=1))
    end = gap[0] + 1 if gap.size else len(depth)
    pieces = _refine(line, depth[:end], values[:end], resolution)
    rows = _simplify(_rows(pieces))
    d, v = np.array([r[0] for r in rows]), np.array([r[1] for r in rows])
    return LayeredTable(
        depth=d, vp=v[:, 0], vs=v[:, 1], rho=v[:, 2], qp=v[:, 3], qs=v[:, 4],
        source=f"profile at ({x}, {y})",
    )  # fmt: skip


def _f32(depth: np.ndarray) -> np.ndarray:
    """Depths as the float32 values that the query sees."""
    return np.asarray(depth, np.float64).astype(_F32).astype(np.float64)


class _Line:
    """The vertical line below the site: values (vp, vs, rho, qp, qs) at depths."""

    def __init__(
        self, tree: PyModelTree, x: float, y: float, top: float, priority: Any, unit: str
    ) -> None:
        self.tree, self.x, self.y, self.top = tree, x, y, top
        self.params = QueryParams(*priority)
        self.scale = _metres_per_second(unit) / 1000.0

    def values(self, depth: np.ndarray) -> np.ndarray:
        out = np.empty((len(depth), len(_COLUMNS)))
        for lo in range(0, len(depth), QUERY_POINTS):
            d = depth[lo : lo + QUERY_POINTS]
            z = np.empty(len(d), _F32)
            np.subtract(self.top, d, out=z, casting="same_kind")
            rows = np.full((len(d), len(QUALITIES)), np.nan, _F32)
            x, y = np.full(len(d), self.x, _F32), np.full(len(d), self.y, _F32)
            self.tree.query_many(rows, QueryCoordinates(x, y, z, d.astype(_F32)), self.params)
            out[lo : lo + len(d)] = rows[:, _COLUMNS]
        out[:, :2] *= self.scale
        return out


def _refine(line: _Line, depth: np.ndarray, values: np.ndarray, resolution: float) -> list:
    """Pieces (a, b, values at a, at b, kind) covering the sampled depths:
    kind "line" where linear, "break" for a kink or jump within resolution,
    "end" where the line leaves every model."""
    a, b, va, vb = depth[:-1], depth[1:], values[:-1], values[1:]
    pieces: list = []
    while len(a):
        m = _f32((a + b) / 2)
        vm = line.values(m)
        sa, sb, sm = va[:, _SHAPE], vb[:, _SHAPE], vm[:, _SHAPE]
        scale = np.maximum(np.maximum(np.abs(sa), np.abs(sb)), np.abs(sm))
        finite = np.isfinite(va).all(axis=1) & np.isfinite(vb).all(axis=1)
        linear = finite & (np.abs(sm - (sa + sb) / 2) <= _LINEAR * scale).all(axis=1)
        last = (b - a <= resolution) | (m <= a) | (m >= b)
        for i in np.flatnonzero(linear | last):
            kind = "line" if linear[i] else "break" if finite[i] else "end"
            pieces.append((a[i], b[i], va[i], vb[i], kind))
        split = ~(linear | last)
        a, b, va, vb, m, vm = a[split], b[split], va[split], vb[split], m[split], vm[split]
        a, b = np.concatenate([a, m]), np.concatenate([m, b])
        va, vb = np.concatenate([va, vm]), np.concatenate([vm, vb])
    pieces.sort(key=lambda p: p[0])
    return pieces


def _rows(pieces: list) -> list[tuple[float, np.ndarray, bool]]:
    """(depth, values, part of a discontinuity) from the top down."""
    rows = [(pieces[0][0], pieces[0][2], False)]
    for a, b, va, vb, kind in pieces:
        if kind == "end":
            break
        sa, sb = va[_SHAPE], vb[_SHAPE]
        change = np.abs(sb - sa) > _JUMP * np.maximum(np.abs(sa), np.abs(sb))
        if kind == "break" and change.any():
            # Both sides at the bottom of the piece, where the lower side
            # begins; the row at its top is dropped as on the line above.
            rows += [(b, va, True), (b, vb, True)]
        else:
            rows.append((b, vb, False))
    return rows


def _simplify(rows: list[tuple[float, np.ndarray, bool]]) -> list[tuple[float, np.ndarray]]:
    """The rows without those on the line between their neighbours."""
    kept = [rows[0]]
    for i in range(1, len(rows) - 1):
        d, v, fixed = rows[i]
        (d0, v0, _), (d1, v1, _) = kept[-1], rows[i + 1]
        if not fixed and d1 > d0:
            v, v0, v1 = v[_SHAPE], v0[_SHAPE], v1[_SHAPE]
            line = v0 + (v1 - v0) * (d - d0) / (d1 - d0)
            if (np.abs(v - line) <= _LINEAR * np.maximum(np.abs(v0), np.abs(v1))).all():
                continue
        kept.append(rows[i])
    kept.append(rows[-1])
    return [(d, v) for d, v, _ in kept]


# --- files --------------------------------------------------------------------------------


def write_profile(
    table: LayeredTable,
    path: str | os.PathLike[str] | Any,
    *,
    format: Literal["nd", "csv"] | None = None,
) -> None:
    """Write a layered table (:func:`profile`'s) as TauP's ``.nd`` or as CSV.

    ``nd``: one row per line, ``depth vp vs rho qp qs`` in km, km/s, g/cm^3,
    a discontinuity as two rows at one depth, as ``obspy.taup`` and TauP read
    it (and :func:`orvik.models.read_nd`). ``csv``: the header
    ``depth_m,vp_km_s,vs_km_s,rho_g_cm3,qp,qs`` and the same rows, depth in
    metres. *format* defaults to the suffix of *path* (``.nd`` or
    ``.csv``); *path* may be a binary file object when *format* is given.
    """
    writable = hasattr(path, "write")
    if format is None:
        suffix = "" if writable else Path(path).suffix.lower()
        if suffix not in (".nd", ".csv"):
            raise ValueError(
                f"format must be 'nd' or 'csv' (or a path ending in .nd or .csv); got {path!r}"
            )
        format = "nd" if suffix == ".nd" else "csv"  # type: ignore[assignment]
    if format not in ("nd", "csv"):
        raise ValueError(f"format must be 'nd' or 'csv'; got {format!r}")
    if table.qp is None or table.qs is None:
        raise ValueError("the table must have qp and qs (profile's tables do)")
    columns = [table.vp, table.vs, table.rho, table.qp, table.qs]
    cells = [[_short(v) for v in column] for column in columns]
    if format == "nd":
        depths = [repr(float(d) / 1000.0) for d in table.depth]
        head = f"# {table.source}: depth (km) vp vs (km/s) rho (g/cm^3) qp qs, written by orvik\n"
        text = head + "".join(" ".join(row) + "\n" for row in zip(depths, *cells))
    else:
        depths = [repr(float(d)) for d in table.depth]
        head = "depth_m,vp_km_s,vs_km_s,rho_g_cm3,qp,qs\n"
        text = head + "".join(",".join(row) + "\n" for row in zip(depths, *cells))
    if writable:
        path.write(text.encode())  # type: ignore[union-attr]
    else:
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)


def _short(value: float) -> str:
    """The shortest text of a float32 value (the model's precision)."""
    return np.format_float_positional(np.float32(value), unique=True, trim="-")
