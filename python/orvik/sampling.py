"""Extraction of a velocity model on grids and point sets, in memory or with Dask.

:func:`sample` evaluates a :class:`orvik.PyModelTree` wherever coordinate
arrays put points: NumPy arrays, Dask arrays or xarray objects that broadcast
together. It returns an xarray ``DataArray`` with the inputs' dimensions and
coordinates and a last dimension ``quality`` (``rho, vp, vs, qp, qs, alpha``).
Requires the ``xarray`` extra; Dask inputs need the ``dask`` extra and
geographic input the ``geo`` extra (pyproj).
"""

from __future__ import annotations

import math
import sys
import uuid
from collections.abc import Hashable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from .orvik import PyModelTree, QueryCoordinates, QueryParams, StructuredGrid
from .qualities import QUALITIES, QUALITY_DIM

if TYPE_CHECKING:
    import pyproj
    import xarray as xr

__all__ = ["BLOCK_POINTS", "sample"]

#: Points per Dask block that `sample` aims at along dimensions that no Dask
#: input chunks: about 2 million points, so 50 MB of output per block.
BLOCK_POINTS = 1 << 21

_F32 = np.dtype(np.float32)
_F64 = np.dtype(np.float64)


def sample(
    tree: PyModelTree,
    x: Any,
    y: Any,
    z: Any,
    *,
    depth: Any = None,
    surface: StructuredGrid | None = None,
    priority: tuple[int, int] = (0, 255),
    crs: tuple[Any, Any] | pyproj.Transformer | None = None,
    chunks: Mapping[Hashable, int] | Literal["auto"] | None = None,
) -> xr.DataArray:
    """Sample a velocity model at every point that *x*, *y* and *z* describe.

    The coordinates broadcast together: xarray objects by dimension name
    (three 1-D axes along ``x``, ``y`` and ``z`` give a 3-D volume; arrays
    sharing one dimension ``point`` give a point set), NumPy and Dask arrays
    by NumPy's rules (``x[:, None, None]``, ``y[None, :, None]``, ... give a
    volume). Values are rounded to float32, as the model is queried, and the
    output is allocated here, so any real dtype will do.

    Parameters
    ----------
    tree : orvik.PyModelTree
        The velocity model.
    x, y, z : array_like, dask.array.Array or xarray.DataArray
        The points: horizontal coordinates and elevation (up is positive).
    depth : array_like, optional
        Depth below the topography, read by models queried by depth. It
        broadcasts with the coordinates. Give *depth* or *surface*, not both.
    surface : orvik.StructuredGrid, optional
        The elevation of the topography: depth is ``surface(x, y) - z``,
        computed in float64 (the grid is clamped onto its edge outside). With
        neither *depth* nor *surface*, the topography is the plane z = 0 and
        depth is ``-z``.
    priority : (int, int), default (0, 255)
        The range of model priorities that take part.
    crs : (source, target) or pyproj.Transformer, optional
        Map *x* and *y* from the caller's coordinate reference system into the
        model's with pyproj (``always_xy``: x is longitude or easting). Any
        CRS that pyproj accepts (``"EPSG:4326"``, a PROJ string, a ``CRS``).
        *z* is not transformed.
    chunks : "auto" or mapping of dimension name to chunk length, optional
        Compute lazily with Dask in blocks of these lengths; dimensions not
        named here keep the chunks of the Dask inputs, or are split so that a
        block holds about ``BLOCK_POINTS`` points. By default the result is
        lazy when any input is backed by Dask, and computed at once otherwise.

    Returns
    -------
    xarray.DataArray
        Float32 qualities named ``"material"``, with the broadcast dimensions of
        the inputs and their coordinates, then the dimension ``quality`` with
        the labels ``rho, vp, vs, qp, qs, alpha``. NaN where no model of the
        priority range contains the point. ``.to_dataset("quality")`` gives one
        variable per quality.

        A lazy result runs one ``query_many`` per block, and ``to_zarr``
        writes volumes larger than memory block by block. The model tree, the
        surface and the transformer enter the task graph once each, as keys
        that every block refers to, so each worker receives them once, not
        once per block. When a ``dask.distributed`` client is the default
        scheduler at the time of the call, they are scattered from here to
        every worker (the result must then be computed on that client);
        otherwise the scheduler ships them from the graph.

    Examples
    --------
    >>> import numpy as np, xarray as xr, orvik
    >>> cube = np.array([[i, j, k] for i in (0, 1) for j in (0, 1) for k in (0, 1)], np.float32)
    >>> tets = np.array([[0, 3, 5, 1], [0, 3, 6, 2], [0, 5, 6, 4], [3, 5, 6, 7], [0, 3, 5, 6]], np.uint64)
    >>> rock = np.tile(np.array([2.7, 6.0, 3.5, 600, 300, 1], np.float32), (8, 1))
    >>> model = orvik.MeshModelBuilder(cube, tets, 0, "elevation", (0, 0, 0, 1, 1, 1)).interpolated(rock)
    >>> tree = orvik.model_tree([model])
    >>> axis = lambda name, n: xr.DataArray(np.linspace(0.25, 1.5, n), dims=name, name=name)
    >>> vol = orvik.sample(tree, axis("x", 3), axis("y", 4), axis("z", 5))
    >>> vol.dims, vol.shape
    (('x', 'y', 'z', 'quality'), (3, 4, 5, 6))
    >>> float(vol.sel(quality="vp")[0, 0, 0]), bool(np.isnan(vol.sel(quality="vp")[-1, -1, -1]))
    (6.0, True)
    """
    import xarray as xr

    if not isinstance(tree, PyModelTree):
        raise TypeError(f"tree must be an orvik.PyModelTree; got {type(tree).__name__}")
    lo, hi = priority
    QueryParams(lo, hi)  # the priority range is checked before any work
    if depth is not None and surface is not None:
        raise ValueError("give depth or surface, not both")
    if surface is not None and not isinstance(surface, StructuredGrid):
        raise TypeError(f"surface must be an orvik.StructuredGrid; got {type(surface).__name__}")
    transformer = _transformer(crs)

    names = ["x", "y", "z"] + ([] if depth is None else ["depth"])
    fields, plain_dims = _as_fields(xr, dict(zip(names, (x, y, z, depth))))
    dims = _broadcast_dims(fields, plain_dims)
    fields = dict(zip(names, xr.align(*fields.values(), join="exact", copy=False)))
    fields = {k: f.transpose(*(d for d in dims if d in f.dims)) for k, f in fields.items()}
    axes = {k: tuple(dims.index(d) for d in f.dims) for k, f in fields.items()}
    lazy = chunks is not None or any(_is_dask(f.data) for f in fields.values())

    kernel = _Kernel(len(dims), axes, lo, hi)
    if lazy:
        data = _sample_lazy(kernel, fields, dims, chunks, tree, surface, transformer)
    else:
        data = kernel(tree, surface, transformer, *(f.data for f in fields.values()))

    coords: dict[Hashable, Any] = {}
    for f in fields.values():
        for name, coord in f.coords.items():
            coords.setdefault(name, coord)
    coords[QUALITY_DIM] = list(QUALITIES)
    return xr.DataArray(
        data,
        dims=(*dims, QUALITY_DIM),
        coords=coords,
        name="material",
        attrs={"long_name": "material quality", "priority_range": [lo, hi]},
    )


class _Kernel:
    """One block of points through one `query_many` call.

    Holds only small literals (the dimension layout and the priority range), so
    that it pickles in a few bytes into every task; the model tree, the surface
    and the transformer come in as arguments.
    """

    def __init__(self, ndim: int, axes: Mapping[str, tuple[int, ...]], lo: int, hi: int) -> None:
        self.ndim = ndim
        self.axes = dict(axes)
        self.lo, self.hi = lo, hi

    def __call__(
        self,
        tree: PyModelTree,
        surface: StructuredGrid | None,
        transformer: pyproj.Transformer | None,
        *blocks: np.ndarray,
    ) -> np.ndarray:
        parts = {
            name: self._place(np.asarray(block), axes)
            for (name, axes), block in zip(self.axes.items(), blocks)
        }
        shape = np.broadcast_shapes(*(p.shape for p in parts.values()))
        n = math.prod(shape)

        def flat(a: np.ndarray) -> np.ndarray:
            # One float32 copy in the block's full shape, or none when the
            # input already is one.
            return np.broadcast_to(a, shape).astype(_F32, copy=False).reshape(n)

        # The map projection and the topography depend on x and y only: on a
        # volume they are evaluated once per vertical line, not per point.
        hx, hy = parts["x"], parts["y"]
        top = None
        if transformer is not None or surface is not None:
            plane = np.broadcast_shapes(hx.shape, hy.shape)
            hx, hy = (np.broadcast_to(a, plane).astype(_F64).reshape(-1) for a in (hx, hy))
            if transformer is not None:
                hx, hy = (np.asarray(a, _F64) for a in transformer.transform(hx, hy))
            if surface is not None:
                top = surface.query_many(hx, hy)[0].reshape(plane)
            hx, hy = hx.reshape(plane), hy.reshape(plane)
        x, y, z = flat(hx), flat(hy), flat(parts["z"])
        if "depth" in parts:
            depth = flat(parts["depth"])
        elif top is not None:
            # Subtracted in float64 and rounded once, into the float32 buffer.
            depth = np.empty(shape, _F32)
            np.subtract(top, parts["z"], out=depth, dtype=_F64, casting="same_kind")
            depth = depth.reshape(n)
        else:
            depth = -z
        out = np.full((n, len(QUALITIES)), np.nan, _F32)
        tree.query_many(out, QueryCoordinates(x, y, z, depth), QueryParams(self.lo, self.hi))
        return out.reshape(*shape, len(QUALITIES))

    def _place(self, block: np.ndarray, axes: tuple[int, ...]) -> np.ndarray:
        # A block covers only its own dimensions, already in output order:
        # give it length 1 along the others so that it broadcasts.
        shape = [1] * self.ndim
        for axis, length in zip(axes, block.shape):
            shape[axis] = length
        return block.reshape(shape)


def _transformer(crs: Any) -> pyproj.Transformer | None:
    if crs is None:
        return None
    import pyproj

    if isinstance(crs, pyproj.Transformer):
        return crs
    if isinstance(crs, Sequence) and not isinstance(crs, str) and len(crs) == 2:
        return pyproj.Transformer.from_crs(crs[0], crs[1], always_xy=True)
    raise TypeError(
        "crs must be a (source, target) pair of coordinate reference systems or a "
        f"pyproj.Transformer; got {type(crs).__name__}"
    )


def _is_dask(data: Any) -> bool:
    return type(data).__module__.split(".")[0] == "dask"


def _as_fields(
    xr: Any, values: Mapping[str, Any]
) -> tuple[dict[str, xr.DataArray], list[Hashable]]:
    """Every input as a DataArray over the dimensions that it really spans,
    and the dimensions of the broadcast shape of the plain arrays.

    xarray objects are kept. Other arrays broadcast by NumPy's rules and get
    the dimensions ``dim_0, dim_1, ...`` of the broadcast shape; an axis of
    length 1 that the broadcast stretches is dropped rather than copied, so
    three axes given as ``x[:, None, None]`` and so on stay three small arrays.
    """
    plain = {k: v for k, v in values.items() if not isinstance(v, xr.DataArray)}
    for k, v in plain.items():
        if isinstance(v, xr.Dataset):
            raise TypeError(f"{k} must be an array or an xarray.DataArray; got {type(v).__name__}")
    arrays = {k: v if _is_dask(v) else np.asarray(v) for k, v in plain.items()}
    for k, a in arrays.items():
        if not (np.issubdtype(a.dtype, np.floating) or np.issubdtype(a.dtype, np.integer)):
            raise TypeError(f"{k} must hold real numbers; got dtype {a.dtype}")
    try:
        shape = np.broadcast_shapes(*(a.shape for a in arrays.values()))
    except ValueError:
        shapes = ", ".join(f"{k}={a.shape}" for k, a in arrays.items())
        raise ValueError(f"the coordinates do not broadcast together; got {shapes}") from None
    fields = {}
    for k, v in values.items():
        if k not in arrays:
            if not (np.issubdtype(v.dtype, np.floating) or np.issubdtype(v.dtype, np.integer)):
                raise TypeError(f"{k} must hold real numbers; got dtype {v.dtype}")
            fields[k] = v
            continue
        a = arrays[k]
        pad = len(shape) - a.ndim
        keep = [
            i
            for i in range(len(shape))
            if i >= pad and not (a.shape[i - pad] == 1 and shape[i] != 1)
        ]
        index = tuple(slice(None) if i + pad in keep else 0 for i in range(a.ndim))
        fields[k] = xr.DataArray(a[index], dims=[f"dim_{i}" for i in keep])
    return fields, [f"dim_{i}" for i in range(len(shape))] if arrays else []


def _broadcast_dims(
    fields: Mapping[str, xr.DataArray], plain_dims: Sequence[Hashable]
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


def _sample_lazy(
    kernel: _Kernel,
    fields: Mapping[str, xr.DataArray],
    dims: tuple[Hashable, ...],
    chunks: Mapping[Hashable, int] | Literal["auto"] | None,
    tree: PyModelTree,
    surface: StructuredGrid | None,
    transformer: pyproj.Transformer | None,
) -> Any:
    import dask.array as da

    asked = {} if chunks in (None, "auto") else dict(chunks)  # type: ignore[arg-type]
    unknown = set(asked) - set(dims)
    if unknown:
        raise ValueError(
            f"chunks names dimensions that the coordinates do not have: {sorted(map(str, unknown))}"
        )
    block = _block_lengths(fields, dims, asked)

    args: list[Any] = []
    for f in fields.values():
        lengths = tuple(block[d] for d in f.dims)
        data = f.data
        if _is_dask(data):
            data = data.rechunk(
                {i: n for i, (d, n) in enumerate(zip(f.dims, lengths)) if d in asked}
            )
        else:
            data = da.from_array(
                np.asarray(data), chunks=lengths, name=f"orvik-coordinates-{uuid.uuid4().hex}"
            )
        args += [data, tuple(dims.index(d) for d in f.dims)]

    # Heavy objects enter the graph once, as keys that every block refers to:
    # a distributed scheduler sends each to a worker once, and the threaded
    # one hands the same object to every block. When the default scheduler
    # is a distributed client they are scattered from here to the workers
    # instead, so that the scheduler never holds them.
    token = uuid.uuid4().hex
    client = _distributed_client()
    shared = [
        None if obj is None else _share(client, obj, f"orvik-{what}-{token}")
        for what, obj in (("tree", tree), ("surface", surface), ("transformer", transformer))
    ]
    ndim = len(dims)
    return da.blockwise(
        kernel,
        tuple(range(ndim + 1)),
        *[s for obj in shared for s in (obj, None)],
        *args,
        new_axes={ndim: len(QUALITIES)},
        dtype=np.float32,
        meta=np.empty((0,) * (ndim + 1), np.float32),
        align_arrays=True,
        concatenate=True,
        name=f"orvik-sample-{token}",
    )


def _distributed_client() -> Any:
    """The dask.distributed client that computes by default, if any."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    from dask.base import get_scheduler

    client = getattr(get_scheduler(), "__self__", None)
    return client if isinstance(client, distributed.Client) else None


def _share(client: Any, obj: object, key: str) -> Any:
    if client is not None:
        # On every worker before the blocks are placed: a single copy would
        # draw every block to the one worker that holds it.
        return client.scatter({key: obj}, broadcast=True, hash=False)[key]
    import dask

    return dask.delayed(obj, name=key, pure=True)


def _block_lengths(
    fields: Mapping[str, xr.DataArray], dims: tuple[Hashable, ...], asked: Mapping[Hashable, int]
) -> dict[Hashable, int]:
    """Block length per dimension: asked, else the Dask inputs' largest chunk,
    else split from the last dimension backwards to about BLOCK_POINTS points."""
    sizes = {d: n for f in fields.values() for d, n in f.sizes.items()}
    block: dict[Hashable, int] = {}
    for d, n in asked.items():
        if int(n) < 1:
            raise ValueError(f"chunk length of {d!r} must be positive; got {n}")
        block[d] = min(int(n), max(sizes[d], 1))
    for f in fields.values():
        if _is_dask(f.data):
            for d, c in zip(f.dims, f.data.chunks):
                if d not in block:
                    block[d] = max(max(c, default=1), 1)
    budget = max(BLOCK_POINTS // max(math.prod(block.values()), 1), 1)
    for d in reversed(dims):
        if d not in block:
            block[d] = max(min(sizes[d], budget), 1)
            budget = max(budget // block[d], 1)
    return block
