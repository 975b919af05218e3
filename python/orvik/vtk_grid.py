"""VTK volumes: a sampled volume as a VTK XML rectilinear grid (``.vtr``),
written with pyevtk, that ParaView and VTK's readers open.

The grid's points are the volume's: x and y as the volume holds them (in
its CRS, or degrees), and z the elevation in metres, up (for a volume on
depths below the topography, z = -depth, so that up is up in the viewer).
Each axis is written increasing. Each quality is a float32 point-data array
of its name, NaN where no model lies. The file holds the whole volume, which
is read into memory to write it: it suits the sizes a viewer shows.

Requires the ``vtk`` extra (pyevtk) and xarray.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ._volume_axes import open_volume, quality_names, volume_axes

__all__ = ["to_vtk"]


def to_vtk(
    data: Any, path: str | os.PathLike[str], qualities: str | Sequence[str] | None = None
) -> Path:
    """Write a volume as a VTK rectilinear grid file (layout in the module).

    Parameters
    ----------
    data : xarray.Dataset or path
        The volume: what :func:`orvik.to_dataset` gives for a volume sampled
        on three axes, or the path of a store (or NetCDF file) that
        :func:`orvik.extract` wrote.
    path : path
        The file to write, ending in ``.vtr``.
    qualities : str or sequence of str, optional
        The qualities to write; by default every one the volume holds.

    Returns
    -------
    pathlib.Path
        The file.
    """
    from pyevtk.hl import gridToVTK  # type: ignore[import-untyped]

    target = Path(path)
    if target.suffix != ".vtr":
        raise ValueError(f"path must end in .vtr (a VTK rectilinear grid); got {str(target)!r}")
    volume = open_volume(data)
    names = quality_names(volume, qualities)
    axes = volume_axes(volume, names)
    level = np.asarray(volume[axes.vertical].values, np.float64)
    coords = {
        axes.x: np.asarray(volume[axes.x].values, np.float64),
        axes.y: np.asarray(volume[axes.y].values, np.float64),
        axes.vertical: level if axes.role == "z" else -level,
    }
    order = (axes.x, axes.y, axes.vertical)
    for name in order:
        steps = np.diff(coords[name])
        if steps.size and not ((steps > 0).all() or (steps < 0).all()):
            raise ValueError(f"axis {name!r} must be strictly monotonic to be a VTK grid axis")
    # VTK wants axes that increase: flip those that fall, with the data.
    flips = {
        n: slice(None, None, -1 if coords[n].size > 1 and coords[n][1] < coords[n][0] else 1)
        for n in order
    }
    point_data = {}
    for name in names:
        var = volume[name].transpose(*order).isel(flips)
        # (x, y, z) as a Fortran-ordered array: x varies fastest, as VTK reads it.
        point_data[name] = np.asfortranarray(np.asarray(var.values, np.float32))
    x, y, z = (np.ascontiguousarray(coords[n][flips[n]]) for n in order)
    staging = target.with_name(target.stem + ".partial")
    written = gridToVTK(str(staging), x, y, z, pointData=point_data)
    os.replace(written, target)
    return target
