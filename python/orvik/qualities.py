"""Quality fields as xarray objects: the names of the six values and their blend.

A quality field is an xarray object with a dimension ``quality`` of length 6
holding ``rho, vp, vs, qp, qs, alpha`` in that order, the layout that
:func:`orvik.sample` returns. Requires the ``xarray`` extra.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from . import _native
from .orvik import blend_many

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["QUALITIES", "QUALITY_DIM", "QUALITY_FACTS", "QualityFact", "blend"]

#: The names of a quality's values, in column order (the extension's own).
QUALITIES: Final = _native.QUALITIES
#: The name of the dimension that holds them.
QUALITY_DIM: Final = "quality"


@dataclass(frozen=True)
class QualityFact:
    """What the package knows of one quality: its unit in the model tree
    (a UDUNITS spelling, as outputs record it), the kind of unit that input
    converts from, its CF ``long_name`` (CF has no standard names for
    seismic qualities) and the range of values that are physically plausible
    in that unit (*low* excluded when *low_open*)."""

    name: str
    units: str
    kind: str
    long_name: str
    low: float
    high: float
    low_open: bool = False

    def plausible(self, value: float) -> bool:
        above = value > self.low if self.low_open else value >= self.low
        return bool(above and value <= self.high)

    def range_text(self) -> str:
        if self.high == float("inf"):
            return f"above {self.low:g}" if self.low_open else f"{self.low:g} or more"
        unit = "" if self.units == "1" else f" {self.units}"
        return f"{self.low:g} to {self.high:g}{unit}"


#: One fact per quality, in column order. Plausible ranges come from rocks,
#: sediments, water and ice: no seismic speed in the Earth exceeds about
#: 15 km/s and none is negative (0 in fluids); densities lie between about
#: 0.5 and 20 g/cm^3; quality factors are positive; alpha is an opacity.
QUALITY_FACTS: Final[Mapping[str, QualityFact]] = {
    f.name: f
    for f in (
        QualityFact("rho", "g/cm^3", "density", "density", 0.5, 20.0),
        QualityFact("vp", "km/s", "speed", "P-wave speed", 0.0, 15.0),
        QualityFact("vs", "km/s", "speed", "S-wave speed", 0.0, 15.0),
        QualityFact("qp", "1", "number", "P-wave quality factor", 0.0, float("inf"), True),
        QualityFact("qs", "1", "number", "S-wave quality factor", 0.0, float("inf"), True),
        QualityFact("alpha", "1", "number", "opacity of the model (1: opaque)", 0.0, 1.0),
    )
}
assert tuple(QUALITY_FACTS) == tuple(QUALITIES)


def blend(lhs: xr.DataArray, rhs: xr.DataArray) -> xr.DataArray:
    """Composite the quality field *lhs* over *rhs* (Porter-Duff "over").

    Every point of *lhs* (the foreground) is blended over the same point of
    *rhs* (the background) with the rule that the model tree uses to composite
    overlapping models, by :func:`orvik.blend_many` on the flattened rows:
    the results are the same bits as ``blend_many`` on the same rows.

    Parameters
    ----------
    lhs, rhs : xarray.DataArray
        Quality fields with a dimension ``quality`` of length 6. When it has
        labels, they name the six qualities in any order and the values are
        matched by label; without labels the order is ``rho, vp, vs, qp, qs,
        alpha``. Their other dimensions are aligned and broadcast as xarray
        does; real values (floats, integers) are converted to float32.

    Returns
    -------
    xarray.DataArray
        The float32 composite, with the broadcast dimensions followed by
        ``quality``, labelled ``rho, vp, vs, qp, qs, alpha``. Lazy and computed chunk by chunk in parallel when either
        input is backed by Dask (``dask="parallelized"``).

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from orvik.qualities import blend, QUALITIES
    >>> fg = xr.DataArray(np.array([[2.0, 4.0, 2.0, 100.0, 50.0, 0.5]]), dims=("point", "quality"))
    >>> bg = xr.DataArray(np.array([[3.0, 6.0, 3.0, 50.0, 25.0, 0.5]]), dims=("point", "quality"))
    >>> blend(fg, bg).isel(quality=3).item()  # qp: 1 / (2/3 / 100 + 1/3 / 50)
    75.0
    >>> blend(fg, bg).isel(quality=5).item()  # alpha
    0.75
    """
    import xarray as xr

    lhs, rhs = (_in_column_order(xr, name, f) for name, f in (("lhs", lhs), ("rhs", rhs)))
    out = xr.apply_ufunc(
        _blend_rows,
        lhs,
        rhs,
        input_core_dims=[[QUALITY_DIM], [QUALITY_DIM]],
        output_core_dims=[[QUALITY_DIM]],
        dask="parallelized",
        output_dtypes=[np.float32],
        # The blend reads whole rows: a chunked quality dimension is joined.
        dask_gufunc_kwargs={"allow_rechunk": True},
    )
    return out.assign_coords({QUALITY_DIM: list(QUALITIES)})


def _in_column_order(xr: Any, name: str, field: Any) -> xr.DataArray:
    """The field with its qualities in column order: by label when the
    ``quality`` dimension has labels, by position otherwise."""
    if not isinstance(field, xr.DataArray):
        raise TypeError(f"{name} must be an xarray.DataArray; got {type(field).__name__}")
    if field.sizes.get(QUALITY_DIM) != len(QUALITIES):
        raise ValueError(
            f"{name} must have a dimension {QUALITY_DIM!r} of length {len(QUALITIES)} "
            f"[{', '.join(QUALITIES)}]; got dimensions {dict(field.sizes)}"
        )
    if not (np.issubdtype(field.dtype, np.floating) or np.issubdtype(field.dtype, np.integer)):
        raise TypeError(f"{name} must hold real numbers; got dtype {field.dtype}")
    if QUALITY_DIM not in field.coords:
        return field
    labels = [str(q) for q in field[QUALITY_DIM].values]
    if sorted(labels) != sorted(QUALITIES):
        raise ValueError(
            f"{name} labels its {QUALITY_DIM!r} dimension {labels}; expected the "
            f"qualities {list(QUALITIES)} in any order"
        )
    return field.sel({QUALITY_DIM: list(QUALITIES)}) if labels != list(QUALITIES) else field


def _blend_rows(lhs: np.ndarray, rhs: np.ndarray) -> np.ndarray:
    # apply_ufunc hands over arrays whose last axis is `quality` and whose
    # other axes broadcast together (missing ones have length 1).
    shape = np.broadcast_shapes(lhs.shape, rhs.shape)
    rows = [
        np.broadcast_to(np.asarray(a, np.float32), shape).reshape(-1, len(QUALITIES))
        for a in (lhs, rhs)
    ]
    return blend_many(rows[0], rows[1]).reshape(shape)
