"""Site products on a regular grid of sites: a raster of Vs30, Z1.0 and Z2.5
as a CF NetCDF file (GMT's ``grdimage`` and GDAL read it) or a GeoTIFF with
one band per product (written by rioxarray)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _places
from ._discovery import stamp, version
from .metadata import CONVENTIONS, GRID_MAPPING, coordinate_attrs, grid_mapping_attrs

if TYPE_CHECKING:
    import xarray as xr

#: The rasters of a site grid: name, units and long name.
PRODUCTS = (
    ("vs30", "m/s", "time-averaged shear-wave speed in the top 30 m (Vs30)"),
    ("z1pt0", "m", "depth to a shear-wave speed of 1.0 km/s (Z1.0)"),
    ("z2pt5", "m", "depth to a shear-wave speed of 2.5 km/s (Z2.5)"),
)


def site_grid(tree: Any, x: Any, y: Any, *, crs: Any = None, **options: Any) -> xr.Dataset:
    """Vs30, Z1.0 and Z2.5 on the grid of sites spanned by the 1-D axes *x*
    and *y*, as a CF-1.10 raster dataset.

    Parameters
    ----------
    tree : orvik.PyModelTree
        The velocity model.
    x, y : array_like, 1-D
        The axes of the grid: longitudes and latitudes with
        ``crs=("EPSG:4326", <the model's CRS>)``, else x and y in the source
        CRS of *crs*, or in the model's coordinates without *crs*.
        Regularly spaced for GMT and GDAL.
    crs : (source, target), optional
        Maps the grid's coordinates into the model's (pyproj).
    **options
        Those of :func:`orvik.site.site_model` (``surface``, ``priority``,
        ``speed_unit``, ``vs30_step``, ``z_step``, ``max_depth``,
        ``resolution``).

    Returns
    -------
    xarray.Dataset
        Variables ``vs30`` (m/s), ``z1pt0`` and ``z2pt5`` (m), float64, NaN
        where :func:`orvik.site.site_model` gives NaN, dimensions ``(lat,
        lon)`` for a geographic grid (``(y, x)`` otherwise); a ``crs`` grid
        mapping when the grid's CRS is known. :func:`write_site_grid` writes it.
    """
    import xarray as xr

    from .site import site_model

    ax, ay = (np.asarray(a, np.float64) for a in (x, y))
    for name, a in (("x", ax), ("y", ay)):
        if a.ndim != 1 or a.size < 2 or not np.isfinite(a).all():
            raise ValueError(f"{name} must be a 1-D axis of at least two finite values")
    grid_crs = _source_crs(crs)
    gx, gy = np.meshgrid(ax, ay)
    table = site_model(tree, np.column_stack([gx.ravel(), gy.ravel()]), crs=crs, **options)
    geographic = grid_crs is not None and grid_crs.is_geographic
    names = ("lon", "lat") if geographic else ("x", "y")
    # actual_range tells GMT the registration (the nodes are the grid's
    # points) and the range of the values without reading them.
    coords = {
        name: xr.DataArray(
            a, dims=name, attrs={**coordinate_attrs(role, grid_crs), **_actual_range(a)}
        )
        for name, role, a in ((names[0], "x", ax), (names[1], "y", ay))
    }
    data = xr.Dataset(coords=coords)
    for name, units, long_name in PRODUCTS:
        values = np.asarray(table[name], np.float64).reshape(gy.shape)
        attrs = {"units": units, "long_name": long_name, **_actual_range(values)}
        if grid_crs is not None:
            attrs["grid_mapping"] = GRID_MAPPING
        data[name] = xr.DataArray(values, dims=names[::-1], attrs=attrs)
    if grid_crs is not None:
        gm = xr.DataArray(np.int32(0), attrs=grid_mapping_attrs(grid_crs))
        data = data.assign_coords({GRID_MAPPING: gm})
    data.attrs = {
        "Conventions": CONVENTIONS,
        "title": "site products of a velocity model, computed by orvik",
        "source": f"orvik {version()}",
    }
    return data


def _actual_range(values: np.ndarray) -> dict[str, Any]:
    finite = values[np.isfinite(values)]
    return {"actual_range": [finite.min(), finite.max()]} if finite.size else {}


def _source_crs(crs: Any) -> Any:
    """The pyproj CRS of the grid's coordinates, or None (the model's, unknown)."""
    _, source = _places.resolve_crs(crs)
    if source is None:
        return None
    import pyproj

    return pyproj.CRS.from_user_input(source)


def write_site_grid(
    data: xr.Dataset,
    path: str | os.PathLike[str],
    *,
    format: Literal["netcdf", "geotiff"] | None = None,
) -> Path:
    """Write a :func:`site_grid` dataset as a CF NetCDF raster (``.nc``) or
    a GeoTIFF (``.tif``, ``.tiff``; one band per product, north up, needs
    rioxarray). *format* defaults to the suffix of *path*."""
    target = Path(path)
    if format is None:
        suffix = target.suffix.lower()
        format = "netcdf" if suffix == ".nc" else "geotiff" if suffix in (".tif", ".tiff") else None  # type: ignore[assignment]
        if format is None:
            raise ValueError(
                f"format must be 'netcdf' or 'geotiff' (or a path ending in .nc, .tif or .tiff); "
                f"got {str(target)!r}"
            )
    if format == "netcdf":
        encoding = {name: {"_FillValue": None} for name in data.coords if name != GRID_MAPPING}
        data.assign_attrs(stamp(data.attrs, "orvik.site.site_grid")).to_netcdf(
            target, encoding=encoding
        )
    elif format == "geotiff":
        _write_geotiff(data, target)
    else:
        raise ValueError(f"format must be 'netcdf' or 'geotiff'; got {format!r}")
    return target


def _write_geotiff(data: xr.Dataset, target: Path) -> None:
    import xarray as xr

    try:
        import rioxarray  # noqa: F401 -- registers the .rio accessor
    except ImportError:
        raise ImportError("a GeoTIFF needs rioxarray: pip install 'orvik[maps]'") from None
    x, y = (str(d) for d in data[PRODUCTS[0][0]].dims[::-1])
    bands = xr.concat([data[name] for name, _, _ in PRODUCTS], dim="band")
    bands = bands.assign_coords(band=np.arange(1, len(PRODUCTS) + 1))
    if bands[y].size > 1 and bands[y][1] > bands[y][0]:
        bands = bands.isel({y: slice(None, None, -1)})  # north up
    bands.attrs = {"long_name": [name for name, _, _ in PRODUCTS]}
    bands = bands.rio.set_spatial_dims(x_dim=x, y_dim=y)
    if GRID_MAPPING in data.coords:
        bands = bands.drop_vars(GRID_MAPPING).rio.write_crs(data[GRID_MAPPING].attrs["crs_wkt"])
    bands.rio.to_raster(target)
