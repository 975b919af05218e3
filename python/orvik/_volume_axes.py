"""The axes of a regular volume dataset, as the SEG-Y and VTK writers read
them: the dataset that :func:`orvik.to_dataset` makes, or a store that
:func:`orvik.extract` wrote."""

from __future__ import annotations

import os
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from .qualities import QUALITIES

if TYPE_CHECKING:
    import xarray as xr


@dataclass(frozen=True)
class Axes:
    """The dimension names of a volume and its vertical axis's sense."""

    vertical: Hashable
    y: Hashable
    x: Hashable
    #: "depth" (positive down) or "z" (elevation, positive up)
    role: str
    geographic: bool


def open_volume(source: Any) -> xr.Dataset:
    """A dataset, or the store or NetCDF file at a path, opened lazily."""
    import xarray as xr

    if isinstance(source, xr.Dataset):
        return source
    if isinstance(source, str | os.PathLike):
        path = os.fspath(source)
        if path.endswith(".nc"):
            return xr.open_dataset(path, chunks={})
        return xr.open_zarr(path, chunks={})
    raise TypeError(
        "data must be an xarray.Dataset (as orvik.to_dataset returns) or the path of a store "
        f"that orvik.extract wrote; got {type(source).__name__}"
    )


def volume_axes(data: xr.Dataset, names: Sequence[str]) -> Axes:
    """The dimensions of the qualities *names* (all three-dimensional, on the
    same dimensions): the vertical one is labelled ``positive``, x and y by
    their ``axis`` attribute (or by the order vertical, y, x)."""
    if not names:
        raise ValueError("no quality to write")
    dims = data[names[0]].dims
    for name in names:
        if data[name].dims != dims or len(dims) != 3:
            raise ValueError(
                f"every quality must span the same three dimensions; {name!r} spans "
                f"{data[name].dims}"
            )
    missing = [d for d in dims if d not in data.coords]
    if missing:
        raise ValueError(f"the volume has no coordinate for its dimensions {missing}")
    labels = {d: data[d].attrs for d in dims}
    vertical = [d for d in dims if labels[d].get("positive") in ("up", "down")]
    if len(vertical) != 1:
        raise ValueError(
            "the volume must have one vertical coordinate labelled positive 'up' or 'down'; "
            f"got {len(vertical)} among {list(dims)}"
        )
    others = [d for d in dims if d != vertical[0]]
    by_axis = {labels[d].get("axis"): d for d in others}
    y, x = (by_axis["Y"], by_axis["X"]) if {"X", "Y"} <= set(by_axis) else others
    role = "depth" if labels[vertical[0]]["positive"] == "down" else "z"
    geographic = str(labels[x].get("units", "")).startswith("degree")
    return Axes(vertical[0], y, x, role, geographic)


def quality_names(data: xr.Dataset, qualities: str | Sequence[str] | None) -> list[str]:
    """The qualities to write: those asked for, or every quality the data holds."""
    if qualities is None:
        names = [q for q in QUALITIES if q in data.data_vars]
    else:
        names = [qualities] if isinstance(qualities, str) else list(qualities)
    absent = [q for q in names if q not in data.data_vars]
    if absent or not names:
        raise ValueError(
            f"qualities must name variables of the volume {sorted(map(str, data.data_vars))}; "
            f"got {names}"
        )
    return names


def regular_step(values: np.ndarray, name: Hashable) -> float:
    """The step of an evenly spaced axis (ValueError when it is not)."""
    values = np.asarray(values, np.float64)
    if values.size < 2:
        return 0.0
    steps = np.diff(values)
    step = (values[-1] - values[0]) / (values.size - 1)
    if not np.allclose(steps, step, rtol=1e-6, atol=0.0) or step == 0:
        raise ValueError(
            f"axis {name!r} must be evenly spaced; its steps run {steps.min()} to {steps.max()}"
        )
    return float(step)
