"""Running a site kernel over many sites: checked arguments, blocks of
sites in memory, and lazily with Dask (threads or a ``dask.distributed``
cluster)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from ._site_profiles import Lines
from .orvik import PyModelTree, StructuredGrid
from .sampling import _check_priority

#: Sites per block of work in a call (a Dask task goes through its chunk block by block).
BLOCK_SITES = 1 << 15
_SPEED_SCALE = {"km/s": 1000.0, "m/s": 1.0}


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
    in memory or lazily with Dask."""
    from ._inputs import is_dask

    if not isinstance(tree, PyModelTree):
        raise TypeError(f"tree must be an orvik.PyModelTree; got {type(tree).__name__}")
    if surface is not None and not isinstance(surface, StructuredGrid):
        raise TypeError(f"surface must be an orvik.StructuredGrid; got {type(surface).__name__}")
    if speed_unit not in _SPEED_SCALE:
        raise ValueError(f'speed_unit must be "km/s" or "m/s"; got {speed_unit!r}')
    lo, hi = _check_priority(priority)  # before any work
    block = _Block(kernel, outputs, (lo, hi), _SPEED_SCALE[speed_unit])
    transformer = _transformer(crs)
    if is_dask(x) or is_dask(y):
        return _run_lazy(block, tree, x, y, surface, transformer)
    bx, by = np.broadcast_arrays(np.asarray(x, np.float64), np.asarray(y, np.float64))
    return block(tree, surface, transformer, bx, by)


def _transformer(crs: Any) -> Any:
    """The pyproj transformer from the sites' CRS into the model's, if any."""
    if crs is None:
        return None
    from .sampling import _crs

    transformer, _ = _crs(crs)
    if transformer is None:
        raise TypeError(
            "crs must be a (source, target) pair of coordinate reference systems or a "
            f"pyproj.Transformer; got {type(crs).__name__}"
        )
    return transformer


class _Block:
    """One block of sites: positions in, products out (small, so that it
    pickles into every Dask task in a few bytes)."""

    def __init__(
        self,
        kernel: Callable[[Lines], list[np.ndarray]],
        outputs: int,
        priority: tuple[int, int],
        scale: float,
    ) -> None:
        self.kernel, self.outputs, self.priority, self.scale = kernel, outputs, priority, scale

    def __call__(
        self, tree: Any, surface: Any, transformer: Any, x: np.ndarray, y: np.ndarray
    ) -> list[np.ndarray]:
        """`tree` and `surface` are the objects, or on a cluster the
        references to them that wait on every worker."""
        from ._shipping import OnWorkers

        tree, surface = (m.get() if isinstance(m, OnWorkers) else m for m in (tree, surface))
        shape = np.broadcast_shapes(np.shape(x), np.shape(y))
        x, y = (np.broadcast_to(np.asarray(a, np.float64), shape).reshape(-1) for a in (x, y))
        if transformer is not None:
            x, y = (np.asarray(a, np.float64) for a in transformer.transform(x, y))
        results = [np.empty(len(x)) for _ in range(self.outputs)]
        for lo in range(0, len(x), BLOCK_SITES):
            bx, by = x[lo : lo + BLOCK_SITES], y[lo : lo + BLOCK_SITES]
            top = np.zeros(len(bx)) if surface is None else surface.query_many(bx, by)[0]
            lines = Lines(tree, bx, by, top, self.priority, self.scale)
            for out, part in zip(results, self.kernel(lines)):
                out[lo : lo + len(bx)] = part
        return [r.reshape(shape) for r in results]


def _run_lazy(
    block: _Block,
    tree: PyModelTree,
    x: Any,
    y: Any,
    surface: StructuredGrid | None,
    transformer: Any,
) -> list[Any]:
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
    results = []
    for k in range(block.outputs):
        results.append(
            da.blockwise(
                _Output(block, k),
                index,
                *[s for obj in shared for s in (obj, None)],
                x,
                index,
                y,
                index,
                dtype=np.float64,
                meta=np.empty((0,) * x.ndim, np.float64),
                name=f"orvik-site-{k}-{token}",
            )
        )
    return results


class _Output:
    """The k-th product of a block (each lazy output is its own graph)."""

    def __init__(self, block: _Block, k: int) -> None:
        self.block, self.k = block, k

    def __call__(self, *args: Any) -> np.ndarray:
        return self.block(*args)[self.k]
