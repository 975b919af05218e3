"""How large objects (a model tree, a surface grid) reach the tasks of a lazy
extraction: in the graph for local schedulers, once per client for a
``dask.distributed`` cluster.

On a cluster an object is registered as a worker plugin: the client sends it
to the scheduler once, the scheduler forwards it to every worker, and to every
worker that joins later, including the ones that replace workers that died.
Tasks then carry only the plugin's name and look the object up on the worker
they run on. Unlike scattered data, nothing is lost when every worker dies at
once: the blocks are recomputed on the new workers, which got the object when
they joined. The client remembers what it sent, keyed by the object, so that
every later call with the same object sends nothing.
"""

from __future__ import annotations

import sys
import threading
import uuid
import weakref
from typing import Any

__all__ = ["OnWorkers", "client_of_default_scheduler", "is_future", "ship"]

try:  # the base that distributed requires of worker plugins, when it is installed
    from distributed.diagnostics.plugin import WorkerPlugin as _WorkerPlugin
except ImportError:  # pragma: no cover -- then nothing is ever shipped
    _WorkerPlugin = object  # type: ignore[assignment,misc]

_LOCK = threading.Lock()
# client -> {id(object): (object, plugin name)}. The entry holds the object, so
# that its id is not reused while the entry lives; an entry whose object no
# one else holds any more, or whose client has closed, is released by the next
# call to `ship` (through another client of the same scheduler when its own
# has closed).
_SENT: weakref.WeakKeyDictionary[Any, dict[int, tuple[object, str]]] = weakref.WeakKeyDictionary()
_ADDRESS: weakref.WeakKeyDictionary[Any, str] = weakref.WeakKeyDictionary()


class OnWorkers:
    """A reference, a few dozen bytes when pickled, to an object that the
    client has registered on every worker of its cluster.

    On the client it also holds the object itself, so that the object stays
    registered for as long as a task graph refers to it.
    """

    __slots__ = ("name", "_held")

    def __init__(self, name: str, held: object = None) -> None:
        self.name = name
        self._held = held

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        return OnWorkers, (self.name,)

    def get(self) -> object:
        from distributed import get_worker

        try:
            plugin = get_worker().plugins.get(self.name)
        except ValueError:  # not on a worker
            plugin = None
        if not isinstance(plugin, _Shipment):
            raise RuntimeError(
                "this result was made while a dask.distributed client was the default "
                "scheduler, and its model was sent to that client's workers only: compute "
                "it on that client, or call orvik.sample again without the client"
            )
        return plugin.obj


class _Shipment(_WorkerPlugin):  # type: ignore[misc,valid-type]
    """Carries one object to every worker; tasks read `obj`."""

    def __init__(self, obj: object) -> None:
        self.obj = obj


def client_of_default_scheduler() -> Any:
    """The dask.distributed client that computes by default, if any."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    from dask.base import get_scheduler

    client = getattr(get_scheduler(), "__self__", None)
    return client if isinstance(client, distributed.Client) else None


def is_future(obj: object) -> bool:
    """True for a dask.distributed Future (data the caller scattered)."""
    distributed = sys.modules.get("distributed")
    return distributed is not None and isinstance(obj, distributed.Future)


def ship(client: Any, obj: object) -> OnWorkers:
    """`obj` registered on every worker of `client`, sent only the first time."""
    with _LOCK:
        _ADDRESS.setdefault(client, client.scheduler.address)
        _SENT.setdefault(client, {})
        _release_unused()
        sent = _SENT.setdefault(client, {})
        entry = sent.get(id(obj))
        if entry is not None and entry[0] is obj:
            return OnWorkers(entry[1], obj)
        name = f"orvik-{type(obj).__name__}-{uuid.uuid4().hex}"
        client.register_plugin(_Shipment(obj), name=name)
        sent[id(obj)] = (obj, name)
        return OnWorkers(name, obj)


def _running(client: Any) -> bool:
    return getattr(client, "status", "closed") == "running"


def _release_unused() -> None:
    # References to an object held only by its entry: the entry's tuple, the
    # loop variable below and getrefcount's own argument.
    for client in list(_SENT):
        sent = _SENT[client]
        via = client if _running(client) else _live_client_of(_ADDRESS.get(client))
        for key, (obj, name) in list(sent.items()):
            if not _running(client) or sys.getrefcount(obj) <= 3:
                del sent[key]
                if via is not None:
                    try:
                        via.unregister_worker_plugin(name)
                    except Exception:  # noqa: BLE001 -- the cluster may be gone already
                        pass
            del obj
        if not sent:
            del _SENT[client]


def _live_client_of(address: str | None) -> Any:
    for other in list(_SENT):
        if _running(other) and _ADDRESS.get(other) == address:
            return other
    return None
