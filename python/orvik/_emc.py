"""The layout of the IRIS Earth Model Collection (EMC): dimensions
``depth``, ``latitude``, ``longitude``; depth in km, positive down; speeds in
km/s and density in g/cm^3 (the package's units already)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import xarray as xr

#: Attributes of the three coordinates in the EMC layout.
EMC_COORDS = {
    "longitude": {
        "units": "degrees_east",
        "standard_name": "longitude",
        "long_name": "longitude",
        "axis": "X",
    },
    "latitude": {
        "units": "degrees_north",
        "standard_name": "latitude",
        "long_name": "latitude",
        "axis": "Y",
    },
    "depth": {
        "units": "km",
        "standard_name": "depth",
        "long_name": "depth below the surface",
        "positive": "down",
        "axis": "Z",
    },
}


def emc_layout(data: xr.Dataset) -> xr.Dataset:
    """A dataset of :func:`orvik.to_dataset` on longitude, latitude and depth
    axes (metres), laid out as the EMC accepts it; ValueError otherwise."""
    dims = [str(d) for d in data.dims]
    by_axis = {data[d].attrs.get("axis"): d for d in dims if d in data.coords}
    horizontal = [data[by_axis[a]] if a in by_axis else None for a in ("X", "Y")]
    names = [h.attrs.get("standard_name") if h is not None else None for h in horizontal]
    if names != ["longitude", "latitude"]:
        raise ValueError(
            'layout="emc" needs longitude and latitude axes: give x and y in degrees with '
            "crs=('EPSG:4326', <the model's CRS>)"
        )
    vertical = by_axis.get("Z")
    if vertical is None or data[vertical].attrs.get("standard_name") != "depth":
        raise ValueError('layout="emc" needs a depth axis (grid key "depth"), not elevations')
    if data[vertical].attrs.get("units") != "m":
        raise ValueError(
            f"the depth axis must be in metres; got {data[vertical].attrs.get('units')}"
        )
    data = data.rename({by_axis["X"]: "longitude", by_axis["Y"]: "latitude", vertical: "depth"})
    data = data.assign_coords(depth=data["depth"].values / 1000.0)
    for name, attrs in EMC_COORDS.items():
        data[name].attrs = dict(attrs)
        data[name].encoding["_FillValue"] = None
    data.attrs = {
        **data.attrs,
        "geospatial_vertical_units": "km",
        "geospatial_vertical_min": float(data["depth"].min()),
        "geospatial_vertical_max": float(data["depth"].max()),
    }
    return data.transpose("depth", "latitude", "longitude", ...)
