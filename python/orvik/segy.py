"""SEG-Y volumes: a sampled volume as SEG-Y files written with segyio, one
file per quality, read by any SEG-Y reader.

The layout, also written into each file's textual header:

- inline *i* is the *i*-th value of the y axis, crossline *j* the *j*-th of
  the x axis, both counted from 1 (trace header bytes 189 and 193); traces
  are sorted by inline, then crossline;
- each trace holds one column, top down: its sample axis is the depth in
  metres (for a volume on elevations, the depth below z = 0, that is -z).
  As is usual for depth data, the sample interval fields hold the step in
  millimetres (read as microseconds, so readers that give times in
  milliseconds give depths in metres) and the delay recording time (byte
  109, scaled by byte 215) the first depth in metres. The step must be a
  whole number of millimetres up to 32.767 m (the fields have 16 bits), the
  axis evenly spaced;
- the x and y of each trace are in the CDP, source and group coordinates
  (bytes 181, 185, 73, 77, 81, 85) times 10^k, with the scalar (byte 71) set
  to -10^k, the largest k <= 4 for which every coordinate fits; the
  coordinate units (byte 89) are 1 (length) or 3 (decimal degrees);
- samples are IEEE float32 (format 5); NaN where no model lies.

Requires the ``segy`` extra (segyio) and xarray.
"""

from __future__ import annotations

import os
import textwrap
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ._volume_axes import Axes, open_volume, quality_names, regular_step, volume_axes
from .metadata import QUALITY_ATTRS

__all__ = ["segy_paths", "to_segy"]

#: Values read at a time while writing: a slab of whole inlines.
SLAB_VALUES = 1 << 24
_INT32 = 2**31 - 1


def to_segy(
    data: Any, path: str | os.PathLike[str], qualities: str | Sequence[str] | None = None
) -> list[Path]:
    """Write a volume as SEG-Y files, one per quality (layout in the module).

    Parameters
    ----------
    data : xarray.Dataset or path
        The volume: what :func:`orvik.to_dataset` gives for a volume sampled
        on three evenly spaced axes, or the path of a store (or NetCDF file)
        that :func:`orvik.extract` wrote. It is read a slab of inlines at a
        time.
    path : path
        The file to write. With several qualities, quality *q* goes to
        ``<stem>.<q><suffix>`` beside it (``vol.sgy`` gives ``vol.vp.sgy``,
        ``vol.vs.sgy``, ...).
    qualities : str or sequence of str, optional
        The qualities to write; by default every one the volume holds.

    Returns
    -------
    list of pathlib.Path
        The files written, in the order of *qualities*.
    """
    import segyio  # type: ignore[import-untyped]

    volume = open_volume(data)
    names = quality_names(volume, qualities)
    axes = volume_axes(volume, names)
    paths = segy_paths(path, names)
    layout = _Layout(volume, axes)
    for name, out in zip(names, paths):
        _write(segyio, volume[name], out, layout, _text(volume, name, layout))
    return paths


def segy_paths(path: str | os.PathLike[str], names: Sequence[str]) -> list[Path]:
    """The files that :func:`to_segy` writes for the qualities *names*."""
    target = Path(path)
    if len(names) == 1:
        return [target]
    return [target.with_name(f"{target.stem}.{q}{target.suffix}") for q in names]


class _Layout:
    """The geometry of the files: sample axis, trace order and headers."""

    def __init__(self, volume: Any, axes: Axes) -> None:
        self.axes = axes
        level = np.asarray(volume[axes.vertical].values, np.float64)
        depth = level if axes.role == "depth" else -level
        # Samples go down: flip an axis whose depth falls.
        self.flip = depth.size > 1 and depth[1] < depth[0]
        depth = depth[::-1] if self.flip else depth
        self.step = regular_step(depth, axes.vertical)
        self.first = float(depth[0])
        self.interval = round(self.step * 1000) if depth.size > 1 else 1000
        if depth.size > 1 and (
            not 0 < self.interval <= 32767 or abs(self.interval - self.step * 1000) > 1e-6
        ):
            raise ValueError(
                f"the vertical step of {self.step} m must be a whole number of millimetres "
                "up to 32.767 m to be a SEG-Y sample interval (16 bits, in mm)"
            )
        delay_scale = _delay_scale(self.first)
        if delay_scale is None:
            raise ValueError(
                f"the first depth {self.first} m has no SEG-Y delay (-32767 to 32767 m, at "
                "most 4 decimals)"
            )
        self.delay_scale: int = delay_scale
        self.x = np.asarray(volume[axes.x].values, np.float64)
        self.y = np.asarray(volume[axes.y].values, np.float64)
        largest = max(np.abs(self.x).max(initial=0.0), np.abs(self.y).max(initial=0.0))
        self.coordinate_scale = _coordinate_scale(largest) or 0
        if not self.coordinate_scale:
            raise ValueError(f"coordinates up to {largest} do not fit SEG-Y trace headers")
        self.samples = self.first + self.step * np.arange(depth.size)

    def headers(self, segyio: Any, row: int) -> list[dict[int, int]]:
        """The trace headers of inline *row* (0-based)."""
        field = segyio.TraceField
        s = self.coordinate_scale
        y = round(self.y[row] * s)
        delay = round(self.first * self.delay_scale)
        base = {
            field.INLINE_3D: row + 1,
            field.SourceGroupScalar: -s if s > 1 else 1,
            field.CoordinateUnits: 3 if self.axes.geographic else 1,
            field.TRACE_SAMPLE_COUNT: self.samples.size,
            field.TRACE_SAMPLE_INTERVAL: self.interval,
            field.DelayRecordingTime: delay,
            field.ScalarTraceHeader: -self.delay_scale if self.delay_scale > 1 else 1,
        }
        out = []
        for col, xv in enumerate(self.x):
            x = round(xv * s)
            out.append(
                {
                    **base,
                    field.TRACE_SEQUENCE_FILE: row * self.x.size + col + 1,
                    field.CROSSLINE_3D: col + 1,
                    field.CDP_X: x,
                    field.CDP_Y: y,
                    field.SourceX: x,
                    field.SourceY: y,
                    field.GroupX: x,
                    field.GroupY: y,
                }
            )
        return out


def _delay_scale(first: float) -> int | None:
    """The fewest decimals, as 10^j (j <= 4), that hold *first* as a 16-bit delay."""
    for j in range(5):
        scaled = first * 10**j
        if abs(scaled - round(scaled)) <= 1e-6 * max(1.0, abs(scaled)):
            return 10**j if abs(round(scaled)) <= 32767 else None
    return None


def _coordinate_scale(largest: float) -> int | None:
    """The largest 10^k, k <= 4, that keeps every coordinate within 32 bits."""
    return next((10**k for k in (4, 3, 2, 1, 0) if largest * 10**k <= _INT32), None)


def _write(segyio: Any, var: Any, path: Path, layout: _Layout, text: bytes) -> None:
    axes = layout.axes
    geometry = segyio.spec()  # segyio's description of the file to create
    geometry.format = 5  # IEEE float
    geometry.sorting = segyio.TraceSortingFormat.INLINE_SORTING
    geometry.samples = layout.samples
    geometry.ilines = np.arange(1, layout.y.size + 1, dtype=np.intc)
    geometry.xlines = np.arange(1, layout.x.size + 1, dtype=np.intc)
    column = var.transpose(axes.y, axes.x, axes.vertical)
    rows = max(1, SLAB_VALUES // max(layout.x.size * layout.samples.size, 1))
    staging = path.with_name(path.name + ".partial")
    with segyio.create(str(staging), geometry) as f:
        f.text[0] = text
        f.bin.update(hdt=layout.interval, dto=layout.interval)
        for start in range(0, layout.y.size, rows):
            slab = np.asarray(column[start : start + rows].values, np.float32)
            if layout.flip:
                slab = slab[..., ::-1]
            for k, values in enumerate(slab):
                row = start + k
                first = row * layout.x.size
                for trace, header in enumerate(layout.headers(segyio, row)):
                    f.header[first + trace] = header
                f.iline[row + 1] = np.ascontiguousarray(values)
    os.replace(staging, path)


def _text(volume: Any, name: str, layout: _Layout) -> bytes:
    axes = layout.axes
    units = QUALITY_ATTRS.get(name, {}).get("units", "")
    x_units = volume[axes.x].attrs.get("units", "")
    y_units = volume[axes.y].attrs.get("units", "")
    vertical = "depth" if axes.role == "depth" else "depth below z = 0 (-z)"
    lines = [
        f"orvik velocity model volume: {name} ({units}), IEEE float32, NaN where no model",
        f"inline i = y[i-1]: {layout.y.size} lines, y {_span(layout.y)} {y_units}",
        f"crossline j = x[j-1]: {layout.x.size} lines, x {_span(layout.x)} {x_units}",
        f"samples: {vertical} in m, from {layout.first:g} by {layout.step:g}, "
        f"{layout.samples.size} samples",
        "sample interval (bytes 3217, 117) = step in mm; delay (109) = first depth in m, "
        "scaled by byte 215",
        f"x, y in bytes 181/185 (also 73/77, 81/85) times {layout.coordinate_scale}; scalar "
        "at byte 71",
        f"coordinate units (byte 89): {'3 decimal degrees' if axes.geographic else '1 length'}",
    ]
    crs = volume.get("crs")
    if crs is not None and "crs_wkt" in crs.attrs:
        lines.append("CRS: " + str(crs.attrs.get("grid_mapping_name", "see crs_wkt")))
    rules = volume.attrs.get("orvik_rules")
    if rules:
        lines.append(f"simulation rules: {rules}")
    wrapped = [part for line in lines for part in textwrap.wrap(line, 76)][:40]
    text = "".join(f"C{n:2d} {line}".ljust(80) for n, line in enumerate(wrapped, 1))
    return text.ljust(3200).encode("ascii", "replace")


def _span(values: np.ndarray) -> str:
    return f"{values[0]:.10g} to {values[-1]:.10g}" if values.size else "(none)"
