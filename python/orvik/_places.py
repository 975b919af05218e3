"""From the caller's coordinates to places in the model's frame: the ``crs``
argument of :func:`orvik.sample` and the site products, and the rule for
coordinates that are no place.

A point is no place when a coordinate is NaN or infinite, when its latitude
lies outside [-90, 90] (the caller's coordinates being geographic), or when
the map projection sends it to infinity. Such points answer NaN, whatever the
models (a background model with unbounded extent would otherwise answer
them), and a :class:`NoPlaceWarning` counts them. An input whose every
latitude is outside [-90, 90] while every longitude is inside it is refused:
the two look swapped.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pyproj

_F64 = np.dtype(np.float64)


class NoPlaceWarning(RuntimeWarning):
    """Some points are no place and answer NaN; ``count`` of ``total``."""

    count: int = 0
    total: int = 0


def resolve_crs(crs: Any) -> tuple[pyproj.Transformer | None, Any]:
    """The transformer into the model's CRS, and the CRS of the caller's
    horizontal coordinates (None when unknown): a (source, target) pair or a
    transformer maps, a single CRS only states the model's."""
    if crs is None:
        return None, None
    import pyproj

    if isinstance(crs, pyproj.Transformer):
        return crs, crs.source_crs
    if isinstance(crs, Sequence) and not isinstance(crs, str):
        if len(crs) != 2:
            raise TypeError(
                "crs must be a CRS, a (source, target) pair of them or a pyproj.Transformer; "
                f"got a sequence of {len(crs)}"
            )
        source = as_crs(crs[0], "crs[0]")
        transformer = pyproj.Transformer.from_crs(source, as_crs(crs[1], "crs[1]"), always_xy=True)
        return transformer, source
    return None, as_crs(crs, "crs")


def as_crs(value: Any, name: str) -> Any:
    import pyproj

    try:
        return pyproj.CRS.from_user_input(value)
    except pyproj.exceptions.CRSError as e:
        raise ValueError(f"{name} is not a coordinate reference system pyproj knows: {e}") from None


def is_geographic(crs: Any) -> bool:
    """Whether the coordinates in *crs* (a pyproj CRS or None) are longitude
    and latitude."""
    return bool(crs is not None and crs.is_geographic)


def check_swapped(x: Any, y: Any) -> None:
    """Refuses longitudes *x* and latitudes *y* when every finite latitude
    lies outside [-90, 90] and every finite longitude inside it."""
    lon, lat = (np.asarray(a, _F64) for a in (x, y))
    lon, lat = lon[np.isfinite(lon)], lat[np.isfinite(lat)]
    if lat.size and lon.size and np.all(np.abs(lat) > 90) and np.all(np.abs(lon) <= 90):
        raise ValueError(
            "every latitude (y) lies outside [-90, 90] and every longitude (x) inside it: "
            "x and y look swapped; give longitude as x and latitude as y"
        )


def no_place(x: np.ndarray, y: np.ndarray, geographic: bool) -> np.ndarray:
    """Where the caller's horizontal coordinates are no place (broadcast)."""
    bad = ~np.isfinite(x) | ~np.isfinite(y)
    if geographic:
        with np.errstate(invalid="ignore"):
            bad = bad | (np.abs(y) > 90)
    return bad


def project(
    transformer: Any, x: np.ndarray, y: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """*x* and *y* (float64, 1-D) in the model's CRS, and where the
    projection gave no finite point."""
    if transformer is None:
        return x, y, np.zeros(x.shape, bool)
    px, py = (np.asarray(a, _F64) for a in transformer.transform(x, y))
    return px, py, ~np.isfinite(px) | ~np.isfinite(py)


def describe(count: int, total: int) -> str:
    return (
        f"{count} of {total} points are no place (a coordinate that is NaN or infinite, a "
        "latitude outside [-90, 90], or a point that the CRS maps to infinity): their values "
        "are NaN"
    )


def warn(count: int, total: int, stacklevel: int = 3) -> None:
    """Warns that *count* of *total* points are no place (nothing when none)."""
    if not count:
        return
    w = NoPlaceWarning(describe(count, total))
    w.count, w.total = int(count), int(total)
    warnings.warn(w, stacklevel=stacklevel)
