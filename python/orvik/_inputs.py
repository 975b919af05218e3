"""The coordinates that `orvik.sample` is given, as labelled fields: checks
that name the argument, dimension names, output coordinates, block lengths."""

from __future__ import annotations

import math
from collections.abc import Hashable, Mapping, Sequence
from typing import Any

import numpy as np

from .orvik import QueryParams
from .qualities import QUALITY_DIM


def is_dask(data: Any) -> bool:
    return type(data).__module__.split(".")[0] == "dask"


def _check_real(name: str, dtype: np.dtype) -> None:
    if not (np.issubdtype(dtype, np.floating) or np.issubdtype(dtype, np.integer)):
        raise TypeError(f"{name} must hold real numbers; got dtype {dtype}")


def _check_chunks_known(name: str, data: Any) -> None:
    if is_dask(data) and any(math.isnan(c) for cs in data.chunks for c in cs):
        raise ValueError(
            f"{name} is a Dask array of unknown chunk sizes (NaN), as after boolean "
            f"indexing; call {name}.compute_chunk_sizes() first"
        )


def _as_plain(name: str, value: Any) -> Any:
    if isinstance(value, np.ma.MaskedArray):
        raise ValueError(
            f"{name} is a masked array, and sample does not read masks: fill the masked "
            f"points ({name}.filled(np.nan)) or leave them out"
        )
    if is_dask(value):
        _check_chunks_known(name, value)
        return value
    return np.asarray(value)


def as_fields(
    xr: Any, values: Mapping[str, Any], dims: Sequence[Hashable] | None
) -> tuple[dict[str, Any], list[Hashable]]:
    """Every input as a DataArray over the dimensions that it really spans,
    and the names of the dimensions of the plain arrays' broadcast shape.

    xarray objects are kept. Other arrays broadcast by NumPy's rules; an axis
    of length 1 that the broadcast stretches is dropped rather than copied, so
    three axes given as ``x[:, None, None]`` and so on stay three small arrays.
    """
    labelled = {k: v for k, v in values.items() if isinstance(v, xr.DataArray)}
    for k, v in labelled.items():
        _check_real(k, v.dtype)
        repeated = sorted({str(d) for d in v.dims if v.dims.count(d) > 1})
        if repeated:
            raise ValueError(f"{k} has the dimension {repeated[0]!r} more than once: {v.dims}")
        _check_chunks_known(k, v.data)
    plain = {}
    for k, v in values.items():
        if k in labelled:
            continue
        if isinstance(v, xr.Dataset):
            raise TypeError(f"{k} must be an array or an xarray.DataArray; got Dataset")
        plain[k] = _as_plain(k, v)
        _check_real(k, plain[k].dtype)
    try:
        shape = np.broadcast_shapes(*(a.shape for a in plain.values()))
    except ValueError:
        shapes = ", ".join(f"{k}={a.shape}" for k, a in plain.items())
        raise ValueError(f"the coordinates do not broadcast together; got {shapes}") from None

    spans = {}
    for k, a in plain.items():
        pad = len(shape) - a.ndim
        spans[k] = [
            i for i in range(pad, len(shape)) if not (a.shape[i - pad] == 1 and shape[i] != 1)
        ]
    if labelled and dims is None:
        for k, axes in spans.items():
            if axes:
                raise ValueError(
                    f"{k} is a plain array of shape {plain[k].shape} next to xarray inputs, so "
                    "its dimensions have no names: pass dims= or give it as an xarray.DataArray"
                )
    names = _plain_dim_names(shape, spans, dims)
    fields = {}
    for k, v in values.items():
        if k in labelled:
            fields[k] = v
            continue
        a = plain[k]
        pad = len(shape) - a.ndim
        index = tuple(slice(None) if i + pad in spans[k] else 0 for i in range(a.ndim))
        fields[k] = xr.DataArray(a[index], dims=[names[i] for i in spans[k]])
    return fields, names


def _plain_dim_names(
    shape: tuple[int, ...], spans: Mapping[str, list[int]], dims: Sequence[Hashable] | None
) -> list[Hashable]:
    if dims is not None:
        given: list[Hashable] = [dims] if isinstance(dims, str) else list(dims)
        if len(given) != len(shape) or len(set(given)) != len(given):
            raise ValueError(
                f"dims must name the {len(shape)} dimensions of the plain inputs' broadcast "
                f"shape {shape}, each once; got {dims!r}"
            )
        return given
    names: list[Hashable] = []
    for i in range(len(shape)):
        alone = [k for k, axes in spans.items() if axes == [i]]
        names.append(alone[0] if len(alone) == 1 else "point" if alone else f"dim_{i}")
    taken = [n for n in names if names.count(n) > 1]
    return [f"dim_{i}" if n in taken else n for i, n in enumerate(names)]


def broadcast_dims(
    fields: Mapping[str, Any], plain_dims: Sequence[Hashable]
) -> tuple[Hashable, ...]:
    """The result's dimensions in order of appearance, as xarray broadcasts;
    the plain arrays' dimensions stay together in NumPy's order."""
    dims: list[Hashable] = []
    sizes: dict[Hashable, int] = {}
    for name, f in fields.items():
        for d, n in f.sizes.items():
            if d not in sizes:
                sizes[d] = n
                dims += [p for p in plain_dims if p not in dims] if d in plain_dims else [d]
            elif sizes[d] != n:
                raise ValueError(
                    f"dimension {d!r} has length {sizes[d]} in one coordinate and {n} in {name}"
                )
    if QUALITY_DIM in sizes:
        raise ValueError(f"the coordinates may not have a dimension named {QUALITY_DIM!r}")
    return tuple(d for d in dims if d in sizes)


def coordinates(xr: Any, fields: Mapping[str, Any]) -> tuple[dict[Hashable, Any], dict]:
    """The output's coordinates: the inputs' own, and every one-dimensional
    input (the index of its dimension when it spans it alone, else a
    coordinate named after it); and which input each of those holds."""
    coords: dict[Hashable, Any] = {}
    for f in fields.values():
        for name, coord in f.coords.items():
            coords.setdefault(name, coord.copy(deep=False))
    dims = {d for f in fields.values() for d in f.dims}
    along: dict[Hashable, list[str]] = {}
    for k, f in fields.items():
        if f.ndim == 1:
            along.setdefault(f.dims[0], []).append(k)
    roles: dict[Hashable, str] = {}
    for d, inputs in along.items():
        for k in inputs:
            f = fields[k]
            lazy = is_dask(f.data)
            if len(inputs) == 1 and not lazy:
                if d not in coords:
                    coords[d] = xr.DataArray(np.asarray(f.data), dims=d, attrs=dict(f.attrs))
                    roles[d] = k
                elif np.array_equal(np.asarray(coords[d]), np.asarray(f.data)):
                    roles[d] = k
            elif k not in coords and k not in dims:
                coords[k] = xr.DataArray(f.data, dims=d, attrs=dict(f.attrs))
                roles[k] = k
    return coords, roles


def split(size: int, length: int) -> tuple[int, ...]:
    """Chunks of `length` along a dimension of `size` (the last one shorter)."""
    if size == 0:
        return (0,)
    full, rest = divmod(size, length)
    return (length,) * full + ((rest,) if rest else ())


def block_chunks(
    fields: Mapping[str, Any],
    dims: tuple[Hashable, ...],
    chunks: Mapping[Hashable, int] | str | None,
    budget_points: int,
) -> dict[Hashable, tuple[int, ...]]:
    """Chunks per dimension: asked, else those of the first Dask input along
    it, else split from the last dimension backwards to about
    `budget_points` points a block."""
    asked = {} if chunks is None or isinstance(chunks, str) else dict(chunks)
    unknown = set(asked) - set(dims)
    if unknown:
        raise ValueError(
            f"chunks names dimensions that the coordinates do not have: {sorted(map(str, unknown))}"
        )
    sizes = {d: n for f in fields.values() for d, n in f.sizes.items()}
    out: dict[Hashable, tuple[int, ...]] = {}
    for d, n in asked.items():
        if isinstance(n, bool) or not isinstance(n, int | np.integer):
            raise TypeError(f"chunk length of {d!r} must be an integer; got {n!r}")
        if int(n) < 1:
            raise ValueError(f"chunk length of {d!r} must be positive; got {n}")
        out[d] = split(sizes[d], min(int(n), max(sizes[d], 1)))
    for f in fields.values():
        if is_dask(f.data):
            for d, c in zip(f.dims, f.data.chunks):
                out.setdefault(d, tuple(c))
    budget = max(budget_points // max(math.prod(max(c) for c in out.values()) if out else 1, 1), 1)
    for d in reversed(dims):
        if d not in out:
            length = max(min(sizes[d], budget), 1)
            out[d] = split(sizes[d], length)
            budget = max(budget // length, 1)
    return {d: out[d] for d in dims}


def check_priority(priority: Any) -> tuple[int, int]:
    """The (lo, hi) priority range as two integers, checked before any work."""
    if (
        isinstance(priority, str | bytes)
        or not isinstance(priority, Sequence)
        or len(priority) != 2
    ):
        raise TypeError(f"priority must be a (lo, hi) pair of integers; got {priority!r}")
    lo, hi = priority
    QueryParams(lo, hi)  # the 8-bit range is checked before any work
    if int(lo) > int(hi):
        raise ValueError(
            f"priority must be a (lo, hi) range with lo <= hi; got {tuple(priority)!r}, "
            "which no model can match"
        )
    return int(lo), int(hi)
