"""Discovery attributes (ACDD-1.3) of a sampled dataset: where it lies in
longitude, latitude and depth, what it is, who made it and when, as data
catalogues and the IRIS EMC collection read them."""

from __future__ import annotations

import datetime
from collections.abc import Mapping
from typing import Any

import numpy as np

#: Global attributes that a caller may give (ACDD's names for who made the
#: data and what it is); anything else is refused, so that a typo is seen.
CALLER_ATTRS = (
    "title",
    "summary",
    "keywords",
    "id",
    "naming_authority",
    "comment",
    "references",
    "license",
    "institution",
    "project",
    "acknowledgement",
    "creator_name",
    "creator_email",
    "creator_url",
    "creator_institution",
    "creator_type",
    "publisher_name",
    "publisher_email",
    "publisher_url",
    "contributor_name",
    "contributor_role",
)
KEYWORDS = "seismic velocity model, P-wave speed, S-wave speed, density, quality factor"
SUMMARY = (
    "Qualities of a seismic velocity model (densities, P- and S-wave speeds, quality "
    "factors) sampled by orvik on the grid of the coordinates."
)


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("orvik")
    except PackageNotFoundError:  # pragma: no cover -- run from a source tree
        return "unknown"


def caller_attrs(given: Mapping[str, Any] | None) -> dict[str, str]:
    """The caller's global attributes, checked: known names, text values."""
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise TypeError(f"attributes must be a mapping of name to text; got {type(given).__name__}")
    unknown = sorted(set(map(str, given)) - set(CALLER_ATTRS))
    if unknown:
        raise ValueError(f"attributes: unknown names {unknown}; known: {list(CALLER_ATTRS)}")
    bad = [k for k, v in given.items() if not isinstance(v, str)]
    if bad:
        raise TypeError(f"attributes: the values must be text; {bad[0]!r} is not")
    return dict(given)


def described(data: Any) -> Any:
    """*data* (what :func:`orvik.to_dataset` gives) with the attributes that
    data catalogues look for: ``summary``, ``keywords``, ``source``,
    ``history``, the extent (``geospatial_*``) and each quality's
    ``coverage_content_type``; the caller's values are kept."""
    from .metadata import GRID_MAPPING

    crs = None
    if GRID_MAPPING in data.variables and "crs_wkt" in data[GRID_MAPPING].attrs:
        import pyproj

        crs = pyproj.CRS.from_wkt(data[GRID_MAPPING].attrs["crs_wkt"])
    data = data.copy()
    for var in data.data_vars.values():
        var.attrs = {**var.attrs, "coverage_content_type": "modelResult"}
    data.attrs = {
        "summary": SUMMARY,
        "keywords": KEYWORDS,
        "source": f"orvik {version()}",
        "standard_name_vocabulary": "CF Standard Name Table",
        **extent_attrs(data, crs),
        **data.attrs,
    }
    return data


def extent_attrs(data: Any, crs: Any) -> dict[str, Any]:
    """``geospatial_*`` attributes from the coordinates that carry an
    ``axis`` (X, Y, Z) and from *crs* (a pyproj CRS of X and Y, or None); a
    projected extent is mapped to longitude and latitude by its edges."""
    axes: dict[str, Any] = {}
    for coord in data.coords.values():
        axis = coord.attrs.get("axis")
        if axis in ("X", "Y", "Z") and axis not in axes and coord.chunks is None:
            values = np.asarray(coord.values, np.float64)
            if values.size and np.isfinite(values).any():
                axes[axis] = (coord, float(np.nanmin(values)), float(np.nanmax(values)))
    attrs: dict[str, Any] = {}
    if "X" in axes and "Y" in axes and crs is not None:
        (_, x0, x1), (_, y0, y1) = axes["X"], axes["Y"]
        if crs.is_geographic:
            west, south, east, north = x0, y0, x1, y1
        else:
            import pyproj

            to_geographic = pyproj.Transformer.from_crs(crs, "EPSG:4326", always_xy=True)
            west, south, east, north = to_geographic.transform_bounds(
                x0, y0, x1, y1, densify_pts=21
            )
        box = f"{south} {west}, {south} {east}, {north} {east}, {north} {west}, {south} {west}"
        attrs.update(
            geospatial_bounds=f"POLYGON (({box}))",
            geospatial_bounds_crs="EPSG:4326",  # latitude first, as the WKT above
            geospatial_lat_min=south,
            geospatial_lat_max=north,
            geospatial_lat_units="degrees_north",
            geospatial_lon_min=west,
            geospatial_lon_max=east,
            geospatial_lon_units="degrees_east",
        )
    if "Z" in axes:
        coord, lo, hi = axes["Z"]
        attrs.update(
            geospatial_vertical_min=lo,
            geospatial_vertical_max=hi,
            geospatial_vertical_units=coord.attrs.get("units", "m"),
            geospatial_vertical_positive=coord.attrs.get("positive", "up"),
        )
    return attrs


def stamp(attrs: Mapping[str, Any], what: str) -> dict[str, Any]:
    """*attrs* with ``date_created`` (now, UTC) and a line of ``history``
    saying that orvik's *what* made the data."""
    now = datetime.datetime.now(datetime.UTC).replace(microsecond=0).isoformat()
    now = now.replace("+00:00", "Z")
    line = f"{now} {what} (orvik {version()})"
    history = attrs.get("history")
    return {**attrs, "date_created": now, "history": f"{history}\n{line}" if history else line}
