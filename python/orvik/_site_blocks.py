"""Running a site kernel over many sites: checked arguments, blocks of
sites in memory, and lazily with Dask (threads or a ``dask.distributed``
cluster)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from . import _places
from ._inputs import check_priority
from ._model_units import factor
from ._site_profiles import Lines
from .orvik import PyModelTree, StructuredGrid

#: Sites per block of work in a call (a Dask task goes through its chunk block by block).
BLOCK_SITES = 1 << 15


def run(
    kernel: Callable[[Lines], list[np.ndarray]],
    outputs: int,
    tree: PyModelTree,
    x: Any,
    y: Any,
    surface: StructuredGrid | None,
    priority: tuple[int, int],
    crs: Any,
    speed_unit: str,
) -> list[Any]:
    """Checks the arguments, then runs `kernel` block by block over the sites,
    in memory, or lazily with Dask (one output only)."""
    from ._inputs import is_dask

    lo, hi = check(tree, surface, priority, speed_unit)
    transformer, sites_crs = _places.resolve_crs(crs)
    geographic = _places.is_geographic(sites_crs)
    block = _Block(kernel, outputs, (lo, hi), _metres_per_second(speed_unit), geographic)
    if is_dask(x) or is_dask(y):
        if outputs != 1:
            raise TypeError("the products of several outputs take sites in memory, not Dask")
        return [_run_lazy(block, tree, x, y, surface, transformer)]
    bx, by = np.broadcast_arrays(np.asarray(x, np.float64), np.asarray(y, np.float64))
    if geographic:
        _places.check_swapped(bx, by)
    return block(tree, surface, transformer, bx, by)


def check(tree: Any, surface: Any, priority: tuple[int, int], speed_unit: str) -> tuple[int, int]:
    """Checks the arguments that every site product takes, before any work."""
    if not isinstance(tree, PyModelTree):
        raise TypeError(f"tree must be an orvik.PyModelTree; got {type(tree).__name__}")
    if surface is not None and not isinstance(surface, StructuredGrid):
        raise TypeError(f"surface must be an orvik.StructuredGrid; got {type(surface).__name__}")
    _metres_per_second(speed_unit)
    return check_priority(priority)


def _metres_per_second(speed_unit: Any) -> float:
    """The factor from the model's Vs in *speed_unit* to m/s."""
    try:
        return 1e3 * factor(str(speed_unit), "speed", "speed_unit")
    except ValueError:
        raise ValueError(f'speed_unit must be "km/s" or "m/s"; got {speed_unit!r}') from None


class _Block:
    """One block of sites: positions in, products out (small, so that it
    pickles into every Dask task in a few bytes)."""

    def __init__(
        self,
        kernel: Callable[[Lines], list[np.ndarray]],
        outputs: int,
        priority: tuple[int, int],
        scale: float,
        geographic: bool,
    ) -> None:
        self.kernel, self.outputs, self.priority, self.scale = kernel, outputs, priority, scale
        self.geographic = geographic

    def __call__(
        self, tree: Any, surface: Any, transformer: Any, x: np.ndarray, y: np.ndarray
    ) -> list[np.ndarray]:
        """`tree` and `surface` are the objects, or on a cluster the
        references to them that wait on every worker."""
        from ._shipping import OnWorkers

        tree, surface = (m.get() if isinstance(m, OnWorkers) else m for m in (tree, surface))
        shape = np.broadcast_shapes(np.shape(x), np.shape(y))
        x, y = (np.broadcast_to(np.asarray(a, np.float64), shape).reshape(-1) for a in (x, y))
        if self.geographic:
            _places.check_swapped(x, y)
        bad = _places.no_place(x, y, self.geographic)
        x, y, lost = _places.project(transformer, x, y)
        bad |= lost
        results = [np.full(len(x), np.nan) for _ in range(self.outputs)]
        # Sites that are no place stay NaN, and are never queried.
        places = np.flatnonzero(~bad)
        for lo in range(0, len(places), BLOCK_SITES):
            at = places[lo : lo + BLOCK_SITES]
            bx, by = x[at], y[at]
            top = np.zeros(len(bx)) if surface is None else surface.query_many(bx, by)[0]
            lines = Lines(tree, bx, by, top, self.priority, self.scale)
            for out, part in zip(results, self.kernel(lines)):
                out[at] = part
        _places.warn(int(bad.sum()), len(x), stacklevel=4)
        return [r.reshape(shape) for r in results]


def _run_lazy(
    block: _Block,
    tree: PyModelTree,
    x: Any,
    y: Any,
    surface: StructuredGrid | None,
    transformer: Any,
) -> Any:
    import uuid

    import dask
    import dask.array as da

    from ._shipping import client_of_default_scheduler, ship

    x, y = da.broadcast_arrays(da.asarray(x), da.asarray(y))
    token = uuid.uuid4().hex
    # The tree and the surface go to a cluster's workers once per client (a
    # few bytes in each task), elsewhere into the graph once, as one key each.
    client = client_of_default_scheduler()
    shared = [
        None
        if obj is None
        else ship(client, obj)
        if client is not None and what != "transformer"
        else dask.delayed(obj, name=f"orvik-site-{what}-{token}", pure=True)
        for what, obj in (("tree", tree), ("surface", surface), ("transformer", transformer))
    ]
    index = tuple(range(x.ndim))
    return da.blockwise(
        _first,
        index,
        block,
        None,
        *[s for obj in shared for s in (obj, None)],
        x,
        index,
        y,
        index,
        dtype=np.float64,
        meta=np.empty((0,) * x.ndim, np.float64),
        name=f"orvik-site-{token}",
    )


def _first(block: _Block, *args: Any) -> np.ndarray:
    """The one product of a block of sites."""
    return block(*args)[0]
