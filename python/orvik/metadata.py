"""Self-describing output: CF-1.10 metadata for sampled volumes.

The units and the frame, once: lengths in metres, x and y horizontal in the
model's coordinate reference system (or longitude and latitude in degrees
when the caller's coordinates are geographic), z the elevation (up is
positive), depth measured down from the topography; speeds in km/s, density
in g/cm^3; the quality factors and alpha are dimensionless.

:func:`to_dataset` turns what :func:`orvik.sample` returns into an
``xarray.Dataset`` with one variable per quality, each with ``units`` and
``long_name``, coordinates with ``units``, ``standard_name`` and ``axis``,
and a ``grid_mapping`` variable for the CRS of the coordinates; the
``Conventions`` attribute says "CF-1.10". Requires the ``xarray`` extra, and
pyproj for the grid mapping.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from itertools import groupby
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from ._discovery import caller_attrs
from .qualities import QUALITIES, QUALITY_DIM, QUALITY_FACTS

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["CONVENTIONS", "GRID_MAPPING", "QUALITY_ATTRS", "to_dataset"]

CONVENTIONS: Final = "CF-1.10"
#: The name of the variable that describes the coordinates' CRS.
GRID_MAPPING: Final = "crs"
#: Per quality: units (UDUNITS) and a long name. CF has no standard names
#: for seismic velocities, densities or quality factors.
QUALITY_ATTRS: Final[Mapping[str, Mapping[str, str]]] = {
    q: {"units": f.units, "long_name": f.long_name} for q, f in QUALITY_FACTS.items()
}
#: What `sample` writes in its result's attributes, in words
#: ("rho g/cm^3; vp, vs km/s; qp, qs, alpha 1").
QUALITY_UNITS: Final = "; ".join(
    f"{', '.join(q for q, _ in group)} {units}"
    for units, group in groupby(QUALITY_FACTS.items(), lambda item: item[1].units)
)

_VERTICAL: Final[Mapping[str, Mapping[str, str]]] = {
    "z": {
        "units": "m",
        "standard_name": "height_above_mean_sea_level",
        "long_name": "elevation",
        "positive": "up",
        "axis": "Z",
    },
    "depth": {
        "units": "m",
        "standard_name": "depth",
        "long_name": "depth below the topography",
        "positive": "down",
        "axis": "Z",
    },
}


def coordinate_attrs(role: str, crs: Any) -> dict[str, str]:
    """CF attributes of a coordinate that holds the inputs' `role` ("x", "y",
    "z" or "depth"), the horizontal ones in `crs` (a pyproj CRS or None)."""
    if role in _VERTICAL:
        return dict(_VERTICAL[role])
    axis = role.upper()
    if crs is None:
        return {"units": "m", "axis": axis, "long_name": f"{role} of the model"}
    if crs.is_geographic:
        name = "longitude" if role == "x" else "latitude"
        units = "degrees_east" if role == "x" else "degrees_north"
        return {"units": units, "standard_name": name, "long_name": name, "axis": axis}
    unit = crs.axis_info[0 if role == "x" else 1].unit_name if crs.axis_info else "metre"
    return {
        "units": {"metre": "m", "kilometre": "km"}.get(unit, unit),
        "standard_name": f"projection_{role}_coordinate",
        "long_name": "easting" if role == "x" else "northing",
        "axis": axis,
    }


def grid_mapping_attrs(crs: Any) -> dict[str, Any]:
    """The attributes of a CF grid-mapping variable for a pyproj CRS."""
    attrs = dict(crs.to_cf())
    attrs.setdefault("crs_wkt", crs.to_wkt())
    attrs.setdefault("long_name", "coordinate reference system")
    return attrs


def to_dataset(volume: xr.DataArray, *, attributes: Mapping[str, str] | None = None) -> xr.Dataset:
    """A sampled volume as a CF-1.10 dataset: one variable per quality.

    Parameters
    ----------
    volume : xarray.DataArray
        What :func:`orvik.sample` returns (any subset of the qualities along
        ``quality``), lazy or computed.
    attributes : mapping of str to str, optional
        Global attributes that say what the data is and who made it, by
        their ACDD names: ``title``, ``summary``, ``keywords``,
        ``institution``, ``creator_name``, ``creator_email``, ``creator_url``,
        ``license``, ... (other names raise ValueError).

    Returns
    -------
    xarray.Dataset
        One float32 variable per quality (``rho``, ``vp``, ...) with its
        ``units`` and ``long_name``; the coordinates of the volume; when the
        volume knows the CRS of its horizontal coordinates, a scalar variable
        ``crs`` with the CF grid-mapping attributes, named by every quality's
        ``grid_mapping``; global attributes ``Conventions`` ("CF-1.10"),
        ``title`` and ``priority_range``, and the caller's *attributes*. The
        coordinates carry no fill value (CF forbids one there).
    """
    import xarray as xr

    if not isinstance(volume, xr.DataArray) or QUALITY_DIM not in volume.dims:
        raise TypeError(
            "volume must be an xarray.DataArray with a dimension 'quality', as orvik.sample "
            f"returns; got {type(volume).__name__}"
        )
    names = [str(q) for q in volume[QUALITY_DIM].values]
    unknown = sorted(set(names) - set(QUALITIES))
    if unknown:
        raise ValueError(f"volume has qualities that orvik does not know: {unknown}")
    data = volume.to_dataset(QUALITY_DIM)
    wkt = volume.attrs.get("crs_wkt")
    for name in names:
        attrs = dict(QUALITY_ATTRS[name])
        if wkt is not None:
            attrs["grid_mapping"] = GRID_MAPPING
        data[name].attrs = attrs
    given = caller_attrs(attributes)
    if wkt is not None:
        import pyproj

        crs = pyproj.CRS.from_wkt(wkt)
        data[GRID_MAPPING] = xr.DataArray(np.int32(0), attrs=grid_mapping_attrs(crs))
        data = data.set_coords(GRID_MAPPING)
    for key, coord in data.coords.items():
        if key != GRID_MAPPING and coord.dtype.kind == "f":
            coord.encoding["_FillValue"] = None
    data.attrs = {
        "Conventions": CONVENTIONS,
        "title": "velocity model sampled by orvik",
        "priority_range": list(volume.attrs.get("priority_range", [0, 255])),
        **given,
    }
    return data


def label_coordinates(coords: dict[Hashable, Any], roles: Mapping[Hashable, str], crs: Any) -> None:
    """Adds CF attributes to the coordinates that hold an input's values
    (`roles`: coordinate name -> "x", "y", "z" or "depth"), keeping those
    that the caller set."""
    for name, role in roles.items():
        coord = coords[name]
        coord.attrs = {**coordinate_attrs(role, crs), **coord.attrs}
