"""The task graph of a lazy extraction, written out block by block.

One task per block and nothing else per block: the task names the model (one
key that every block shares), the blocks of the Dask inputs, and slices of
the in-memory inputs (one key each). Dask's generic machinery for the same
graph (`blockwise` over arrays made with `from_array`) costs more per block
than the query of a small block itself.
"""

from __future__ import annotations

import itertools
import uuid
from collections.abc import Hashable, Mapping
from typing import Any

import numpy as np

from ._inputs import is_dask
from ._shipping import client_of_default_scheduler, is_future, ship
from .qualities import QUALITIES


def _bundle(*parts: Any) -> tuple[Any, ...]:
    return parts


class _Block:
    """Cuts the in-memory inputs to one block and runs the kernel on it."""

    def __init__(self, kernel: Any) -> None:
        self.kernel = kernel

    def __call__(self, model: Any, cuts: tuple[Any, ...], *inputs: Any) -> np.ndarray:
        blocks = [a if cut is None else a[cut] for a, cut in zip(inputs, cuts)]
        return self.kernel(model, *blocks)


def blocks(
    kernel: Any,
    fields: Mapping[str, Any],
    dims: tuple[Hashable, ...],
    chunks: Mapping[Hashable, tuple[int, ...]],
    model: tuple[Any, ...],
) -> Any:
    """A Dask array of the kernel's output, one task per block of `chunks`."""
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph
    from dask.task_spec import DataNode, Task, TaskRef

    token = uuid.uuid4().hex
    name = f"orvik-sample-{token}"
    layer: dict[Any, Any] = {}

    model_key = f"orvik-model-{token}"
    layer[model_key] = Task(model_key, _bundle, *_model_parts(model))

    collections: list[Any] = []
    sources: list[tuple[Any, Any]] = []
    for k, f in fields.items():
        data = f.data
        if is_dask(data):
            data = data.rechunk(tuple(chunks[d] for d in f.dims))
            collections.append(data)
            sources.append((data.name, f.dims))
        else:
            key = ("orvik-input-" + token, k)
            layer[key] = DataNode(key, np.asarray(data))
            sources.append((key, None))

    cut = {
        d: [slice(a, a + n) for a, n in zip(itertools.accumulate(c, initial=0), c)]
        for d, c in chunks.items()
    }
    refs = [TaskRef(source) if fdims is None else None for source, fdims in sources]
    block = _Block(kernel)
    model_ref = TaskRef(model_key)
    for index in itertools.product(*(range(len(chunks[d])) for d in dims)):
        at = dict(zip(dims, index))
        args: list[Any] = []
        cuts: list[Any] = []
        for (source, fdims), ref in zip(sources, refs):
            if ref is not None:  # an in-memory input: all of it, then a slice
                args.append(ref)
                cuts.append(tuple(cut[d][at[d]] for d in fields[source[1]].dims))
            else:  # a Dask input: its block
                args.append(TaskRef((source, *(at[d] for d in fdims))))
                cuts.append(None)
        block_key = (name, *index, 0)
        layer[block_key] = Task(block_key, block, model_ref, tuple(cuts), *args)

    graph = HighLevelGraph.from_collections(name, layer, dependencies=collections)
    ndim = len(dims)
    return da.Array(
        graph,
        name,
        chunks=(*(chunks[d] for d in dims), (len(QUALITIES),)),
        dtype=np.float32,
        meta=np.empty((0,) * (ndim + 1), np.float32),
    )


def _model_parts(model: tuple[Any, ...]) -> list[Any]:
    """The tree, the surface and the transformer as task arguments: sent once
    per client to a distributed cluster, else carried by the one task that
    bundles them; a caller's future is referred to by its key."""
    client = client_of_default_scheduler()
    parts = []
    for i, obj in enumerate(model):
        if is_future(obj):
            parts.append(obj)
        elif client is not None and obj is not None and i < 2:
            parts.append(ship(client, obj))
        else:
            parts.append(obj)
    return parts
