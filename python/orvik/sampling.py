"""Extraction of a velocity model on grids and point sets, in memory or with Dask.

:func:`sample` evaluates a :class:`orvik.PyModelTree` wherever coordinate
arrays put points: NumPy arrays, Dask arrays or xarray objects that broadcast
together. It returns an xarray ``DataArray`` with the inputs' dimensions and
coordinates and a last dimension ``quality`` (``rho, vp, vs, qp, qs, alpha``).
Requires the ``xarray`` extra; Dask inputs need the ``dask`` extra and
geographic input the ``geo`` extra (pyproj).

Units and frame: metres, x and y horizontal, z the elevation (up), depth
measured down from the topography; speeds in km/s, density in g/cm^3.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Hashable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _inputs, _lazy, _places
from ._places import NoPlaceWarning
from ._shipping import OnWorkers, is_future
from .metadata import QUALITY_UNITS, label_coordinates
from .orvik import PyModelTree, QueryCoordinates, QueryParams, StructuredGrid
from .qualities import QUALITIES, QUALITY_DIM

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["BLOCK_POINTS", "NoPlaceWarning", "sample"]

#: Points per Dask block that `sample` aims at along dimensions that no Dask
#: input chunks: about 2 million points, so 50 MB of output per block.
BLOCK_POINTS = 1 << 21

_F32 = np.dtype(np.float32)
_F64 = np.dtype(np.float64)


def sample(
    tree: PyModelTree,
    x: Any,
    y: Any,
    z: Any = None,
    *,
    depth: Any = None,
    surface: StructuredGrid | None = None,
    priority: tuple[int, int] = (0, 255),
    crs: Any = None,
    chunks: Mapping[Hashable, int] | Literal["auto"] | None = None,
    dims: Sequence[Hashable] | None = None,
) -> xr.DataArray:
    """Sample a velocity model at every point that the coordinates describe.

    The coordinates broadcast together: xarray objects by dimension name
    (three 1-D axes along ``x``, ``y`` and ``z`` give a 3-D volume; arrays
    sharing one dimension ``point`` give a point set), NumPy and Dask arrays
    by NumPy's rules (``x[:, None, None]``, ``y[None, :, None]``, ... give a
    volume). Values are rounded to float32, as the model is queried, and the
    output is allocated here, so any real dtype will do. Units: metres; z is
    the elevation (up), depth is measured down from the topography.

    Parameters
    ----------
    tree : orvik.PyModelTree or distributed.Future
        The velocity model, or a future of one that the caller scattered.
    x, y : array_like, dask.array.Array or xarray.DataArray
        Horizontal coordinates (in the model's CRS, or in the caller's, see
        *crs*).
    z : array_like, optional
        Elevation (up is positive). Give *z*, *depth*, or both.
    depth : array_like, optional
        Depth below the topography, read by models queried by depth.
    surface : orvik.StructuredGrid, optional
        The elevation of the topography over the model's x and y (clamped
        onto its edge outside). With *z* alone, depth is ``surface - z``;
        with *depth* alone, z is ``surface - depth``; both computed in
        float64 and rounded once. Without a surface the topography is the
        plane z = 0. *z*, *depth* and *surface* together are refused: with
        a surface, z and depth determine each other.
    priority : (int, int), default (0, 255)
        The range of model priorities that take part, ``lo <= hi``.
    crs : CRS, (source, target) pair or pyproj.Transformer, optional
        A pair maps *x* and *y* from the caller's coordinate reference system
        (source) into the model's (target) with pyproj (``always_xy``: x is
        longitude or easting); a single CRS only states the model's, in which
        the coordinates already are. Any CRS that pyproj accepts. The output's
        coordinates are labelled in the caller's CRS. *z* is not transformed.
    chunks : "auto" or mapping of dimension name to block length, optional
        Compute lazily with Dask in blocks of these lengths; dimensions not
        named here keep the chunks of the Dask inputs, or are split so that a
        block holds about ``BLOCK_POINTS`` points. By default the result is
        lazy when any input is backed by Dask, and computed at once otherwise.
    dims : sequence of names, optional
        Names of the dimensions of the NumPy and Dask inputs' broadcast shape,
        in order. By default a dimension that one 1-D input spans alone takes
        that input's name (``x``, ``y``, ``z`` or ``depth``), one that several
        1-D inputs share is ``point``, any other ``dim_0``, ``dim_1``, ...
        Plain arrays next to xarray inputs need *dims*.

    Returns
    -------
    xarray.DataArray
        Float32 qualities named ``"material"``, with the broadcast dimensions
        of the inputs, then the dimension ``quality`` with the labels
        ``rho, vp, vs, qp, qs, alpha``. NaN where no model of the priority
        range contains the point, and at points that are no place (a
        coordinate NaN or infinite, a latitude outside [-90, 90] when the
        caller's CRS is geographic, a point that *crs* maps to infinity),
        which a ``NoPlaceWarning`` (``orvik.sampling.NoPlaceWarning``) counts (once per block when lazy).
        Geographic coordinates whose every latitude lies outside [-90, 90]
        while every longitude lies inside it raise ValueError: they look
        swapped. The coordinates are the inputs' own, and
        every one-dimensional input becomes one (the index of its dimension
        when it spans it alone), with CF ``units`` and ``standard_name``.
        ``orvik.to_dataset(result)`` gives one variable per quality with
        units, ready for ``to_zarr`` or ``to_netcdf``.

        A lazy result runs one ``query_many`` per block. The model tree and
        the surface enter the task graph once each; when a
        ``dask.distributed`` client is the default scheduler at the time of
        the call, they are sent to its workers once per client instead, and
        reused by every later call with the same objects (the result must
        then be computed on that client).

    Examples
    --------
    >>> import numpy as np, xarray as xr, orvik
    >>> cube = np.array([[i, j, k] for i in (0, 1) for j in (0, 1) for k in (0, 1)], np.float32)
    >>> tets = np.array([[0, 3, 5, 1], [0, 3, 6, 2], [0, 5, 6, 4], [3, 5, 6, 7], [0, 3, 5, 6]], np.uint64)
    >>> rock = np.tile(np.array([2.7, 6.0, 3.5, 600, 300, 1], np.float32), (8, 1))
    >>> model = orvik.MeshModelBuilder(cube, tets, 0, "elevation", (0, 0, 0, 1, 1, 1)).interpolated(rock)
    >>> tree = orvik.model_tree([model])
    >>> axis = np.linspace(0.25, 1.5, 4)
    >>> vol = orvik.sample(tree, axis[:, None, None], axis[None, :, None], axis)
    >>> vol.dims, vol.shape, vol.x.attrs["units"]
    (('x', 'y', 'z', 'quality'), (4, 4, 4, 6), 'm')
    >>> float(vol.sel(quality="vp")[0, 0, 0]), bool(np.isnan(vol.sel(quality="vp")[-1, -1, -1]))
    (6.0, True)
    """
    import xarray as xr

    model = _check_tree(tree)
    lo, hi = _inputs.check_priority(priority)
    vertical = _vertical_mode(z, depth, surface)
    transformer, output_crs = _places.resolve_crs(crs)
    geographic = _places.is_geographic(output_crs)
    chunks = _check_chunks(chunks)

    values = {"x": x, "y": y, "z": z, "depth": depth}
    values = {k: v for k, v in values.items() if v is not None}
    fields, plain_dims = _inputs.as_fields(xr, values, dims)
    dims_out = _inputs.broadcast_dims(fields, plain_dims)
    fields = dict(zip(fields, xr.align(*fields.values(), join="exact", copy=False)))
    fields = {k: f.transpose(*(d for d in dims_out if d in f.dims)) for k, f in fields.items()}
    axes = {k: tuple(dims_out.index(d) for d in f.dims) for k, f in fields.items()}
    lazy = (
        chunks is not None
        or is_future(model)
        or is_future(surface)
        or any(_inputs.is_dask(f.data) for f in fields.values())
    )

    if geographic:
        _places.check_swapped(*(_in_memory(fields[k].data) for k in ("x", "y")))
    kernel = _Kernel(len(dims_out), axes, vertical, lo, hi, geographic)
    if lazy:
        block = _inputs.block_chunks(fields, dims_out, chunks, BLOCK_POINTS)
        data = _lazy.blocks(kernel, fields, dims_out, block, (model, surface, transformer))
    else:
        data = kernel((model, surface, transformer), *(f.data for f in fields.values()))

    coords, roles = _inputs.coordinates(xr, fields)
    label_coordinates(coords, roles, output_crs)
    coords[QUALITY_DIM] = xr.DataArray(
        list(QUALITIES), dims=QUALITY_DIM, attrs={"long_name": "material quality"}
    )
    attrs: dict[str, Any] = {
        "long_name": "material quality",
        "quality_units": QUALITY_UNITS,
        "priority_range": [lo, hi],
    }
    if output_crs is not None:
        attrs["crs_wkt"] = output_crs.to_wkt()
    return xr.DataArray(
        data, dims=(*dims_out, QUALITY_DIM), coords=coords, name="material", attrs=attrs
    )


def _check_tree(tree: Any) -> Any:
    if isinstance(tree, PyModelTree) or is_future(tree):
        return tree
    raise TypeError(
        f"tree must be an orvik.PyModelTree (or a future of one); got {type(tree).__name__}"
    )


def _vertical_mode(z: Any, depth: Any, surface: Any) -> str:
    """ "z": depth follows from z; "depth": z follows from depth; "both"."""
    if surface is not None and not isinstance(surface, StructuredGrid):
        if not is_future(surface):
            raise TypeError(
                f"surface must be an orvik.StructuredGrid; got {type(surface).__name__}"
            )
    if z is None and depth is None:
        raise TypeError("sample() needs z (elevation) or depth; got neither")
    if z is not None and depth is not None:
        if surface is not None:
            raise ValueError(
                "z, depth and surface contradict each other: with a surface, depth is "
                "surface - z; give z or depth with the surface, or both without it"
            )
        return "both"
    return "z" if z is not None else "depth"


def _in_memory(data: Any) -> Any:
    """The values of an input held in memory; none of a Dask one's."""
    return np.empty(0) if _inputs.is_dask(data) else data


def _check_chunks(chunks: Any) -> Mapping[Hashable, int] | Literal["auto"] | None:
    if chunks is None or chunks == "auto" or isinstance(chunks, Mapping):
        return chunks
    kind = "a str other than 'auto'" if isinstance(chunks, str) else type(chunks).__name__
    raise (ValueError if isinstance(chunks, str) else TypeError)(
        "chunks must be None, 'auto' or a mapping of dimension name to block length; "
        f"got {kind}: {chunks!r}"
    )


class _Kernel:
    """One block of points through one `query_many` call.

    Holds only small literals (the dimension layout, how the vertical is
    given and the priority range), so that it pickles in a few bytes into
    every task; the model tree, the surface and the transformer come in as
    one argument.
    """

    def __init__(
        self,
        ndim: int,
        axes: Mapping[str, tuple[int, ...]],
        vertical: str,
        lo: int,
        hi: int,
        geographic: bool,
    ) -> None:
        self.ndim = ndim
        self.axes = dict(axes)
        self.vertical = vertical
        self.lo, self.hi = lo, hi
        self.geographic = geographic

    def __call__(self, model: tuple[Any, Any, Any], *blocks: np.ndarray) -> np.ndarray:
        tree, surface, transformer = (m.get() if isinstance(m, OnWorkers) else m for m in model)  # type: Any, Any, Any
        parts = {
            name: self._place(np.asarray(block), axes)
            for (name, axes), block in zip(self.axes.items(), blocks)
        }
        shape = np.broadcast_shapes(*(p.shape for p in parts.values()))
        n = math.prod(shape)

        def flat(a: np.ndarray) -> np.ndarray:
            # One float32 copy in the block's full shape, or none when the
            # input already is one.
            if a.shape == shape and a.dtype == _F32 and a.flags.c_contiguous:
                return a.reshape(n)
            buffer = np.empty(shape, _F32)
            np.copyto(buffer, a, casting="unsafe")  # rounds to nearest, as astype
            return buffer.reshape(n)

        # The map projection and the topography depend on x and y only: on a
        # volume they are evaluated once per vertical line, not per point.
        hx, hy = parts["x"], parts["y"]
        if self.geographic:
            _places.check_swapped(hx, hy)
        # Where the points are no place, kept apart by input so that a
        # volume never needs a mask of its full shape when all is well.
        bad = _places.no_place(hx, hy, self.geographic)
        levels = [~np.isfinite(parts[name]) for name in ("z", "depth") if name in parts]
        top = None
        if transformer is not None or surface is not None:
            plane = np.broadcast_shapes(hx.shape, hy.shape)
            hx, hy = (np.broadcast_to(a, plane).astype(_F64).reshape(-1) for a in (hx, hy))
            hx, hy, lost = _places.project(transformer, hx, hy)
            bad = bad | lost.reshape(plane)
            if surface is not None:
                top = surface.query_many(hx, hy)[0].reshape(plane)
            hx, hy = hx.reshape(plane), hy.reshape(plane)
        given = parts["z"] if self.vertical != "depth" else parts["depth"]
        if self.vertical == "both":
            other = flat(parts["depth"])
        elif top is not None:
            # surface - z or surface - depth, in float64 and rounded once.
            other = np.empty(shape, _F32)
            np.subtract(top, given, out=other, dtype=_F64, casting="same_kind")
            other = other.reshape(n)
        else:
            other = -flat(given)
        given = flat(given)
        z, depth = (given, other) if self.vertical != "depth" else (other, given)
        out = np.full((n, len(QUALITIES)), np.nan, _F32)
        x, y = flat(hx), flat(hy)
        tree.query_many(out, QueryCoordinates(x, y, z, depth), QueryParams(self.lo, self.hi))
        if bad.any() or any(level.any() for level in levels):
            lost = np.broadcast_to(functools.reduce(np.logical_or, levels, bad), shape).reshape(n)
            out[lost] = np.nan
            _places.warn(int(lost.sum()), n, stacklevel=4)
        return out.reshape(*shape, len(QUALITIES))

    def _place(self, block: np.ndarray, axes: tuple[int, ...]) -> np.ndarray:
        # A block covers only its own dimensions, already in output order:
        # give it length 1 along the others so that it broadcasts.
        shape = [1] * self.ndim
        for axis, length in zip(axes, block.shape):
            shape[axis] = length
        return block.reshape(shape)
