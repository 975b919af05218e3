"""What the tools built on netCDF-C and GDAL need to read a Zarr store.

* GDAL takes the CRS of a Zarr array from its ``_CRS`` attribute (the WKT),
  not from the CF grid mapping.
* netCDF-C 4.9 (Debian 12's) reads Zarr format 2 only when:
  - no chunk is compressed: its Zarr reader has no codec at all (a blosc or
    zlib chunk comes back as its compressed bytes, read as numbers);
  - no array is a scalar: a 0-d array crashes it (or asks for gigabytes),
    so the grid mapping is a one-element array there;
  - a list of integers fits the type of its first value (it takes [0, 255]
    for bytes and fails), so such lists are written as floats.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .metadata import GRID_MAPPING

if TYPE_CHECKING:
    import xarray as xr


def for_zarr(data: xr.Dataset, zarr_format: int) -> xr.Dataset:
    """*data* as a Zarr store of *zarr_format* is written for those readers."""
    import xarray as xr

    data = data.copy()
    if GRID_MAPPING in data.variables:
        wkt = data[GRID_MAPPING].attrs.get("crs_wkt")
        for name, var in data.data_vars.items():
            if var.attrs.get("grid_mapping") == GRID_MAPPING and wkt:
                var.attrs = {**var.attrs, "_CRS": {"wkt": wkt}}
    if zarr_format != 2:
        return data
    if GRID_MAPPING in data.variables:
        attrs = dict(data[GRID_MAPPING].attrs)
        data = data.drop_vars(GRID_MAPPING)
        data[GRID_MAPPING] = xr.DataArray(np.zeros(1, np.int32), dims=GRID_MAPPING, attrs=attrs)
    for variable in data.variables.values():
        variable.encoding = {**variable.encoding, "compressors": None}
        variable.attrs = {k: _plain(v) for k, v in variable.attrs.items()}
    data.attrs = {k: _plain(v) for k, v in data.attrs.items()}
    return data


def _plain(value: Any) -> Any:
    """A list of integers as floats (see the module's documentation)."""
    if isinstance(value, list | tuple) and value and all(_is_int(v) for v in value):
        return [float(v) for v in value]
    return value


def _is_int(value: Any) -> bool:
    return isinstance(value, int | np.integer) and not isinstance(value, bool)
