"""Large extractions: a regular volume of a velocity model into a store, with
progress, a completion mark, and resumption after an interruption.

:func:`extract` samples the model on three 1-D axes block by block and writes
each block as soon as it is computed into a Zarr store (format 3, or 2 for
tools built on netCDF-C) or a NetCDF file, with CF-1.10 metadata. Requires the
``dask`` extra; a NetCDF file needs netCDF4 or h5netcdf.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import shutil
import sys
import warnings
from collections.abc import Hashable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
from dask.callbacks import Callback

from ._discovery import described, stamp
from ._emc import emc_layout
from ._store_readers import for_zarr
from .metadata import to_dataset
from .orvik import PyModelTree, StructuredGrid
from .qualities import QUALITIES, QUALITY_DIM
from .rules import Rules, apply_rules

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["STATUS_ATTR", "extract"]

#: The root attribute that records how far an extraction got: "complete" once
#: every block is written, "incomplete" until then.
STATUS_ATTR = "orvik_extraction"
_DONE = "orvik_blocks_written"  # one mark per block, removed on completion
_FORMATS = ("zarr", "zarr2", "netcdf")
#: Points per block that `extract` aims at by default.
BLOCK_POINTS = 1 << 21


def extract(
    tree: PyModelTree,
    grid: Mapping[str, Any],
    store: str | os.PathLike[str],
    *,
    surface: StructuredGrid | None = None,
    crs: Any = None,
    qualities: Sequence[str] = QUALITIES,
    priority: tuple[int, int] = (0, 255),
    chunks: Mapping[Hashable, int] | None = None,
    format: Literal["zarr", "zarr2", "netcdf"] | None = None,
    progress: bool = True,
    resume: bool = True,
    rules: Rules | Mapping[str, Any] | None = None,
    layout: Literal["cf", "emc"] = "cf",
    attributes: Mapping[str, str] | None = None,
) -> Path:
    """Write the model on a regular volume into a Zarr store or a NetCDF file.

    Parameters
    ----------
    tree : orvik.PyModelTree
        The velocity model.
    grid : mapping
        The volume's axes, each 1-D: ``"x"`` and ``"y"`` (in the model's CRS,
        or in the caller's, see *crs*) and one vertical axis, ``"z"``
        (elevation, up) or ``"depth"`` (below the topography). An axis given
        as an ``xarray.DataArray`` keeps its dimension name and attributes
        (``dims="longitude"``); otherwise the key names the dimension.
    store : path
        Where to write: a Zarr store (a directory) or, with ``format="netcdf"``
        or a name ending in ``.nc``, a NetCDF-4 file.
    surface, crs, priority
        As for :func:`orvik.sample`: the topography (a depth axis then gives
        z = surface - depth), the CRS of the axes, the priority range.
    qualities : sequence of str, default all six
        The qualities to write, one variable each (``("vs",)`` writes Vs only).
    chunks : mapping of dimension name to block length, optional
        Blocks of the computation, which are the store's chunks. By default a
        block spans up to 64 levels of the vertical axis and about two
        million points.
    format : "zarr", "zarr2" or "netcdf", optional
        Zarr format 3 (the default), Zarr format 2, or NetCDF-4; a store
        ending in ``.nc`` is NetCDF.
    progress : bool, default True
        Show a progress bar (tqdm's when installed) when standard error is a
        terminal; nothing otherwise.
    resume : bool, default True
        Continue an interrupted extraction of the same volume into the same
        store, skipping the blocks it wrote; the result is bit for bit that of
        an uninterrupted run. A store that is complete is left as it is; one
        that holds another extraction is refused (``ValueError``). With False
        an existing store is replaced.
    rules : orvik.rules.Rules or mapping of its arguments, optional
        Simulation rules applied to every point as it is sampled: a Vs floor,
        a minimum Vp/Vs, Q from Vs, and what points outside every model
        become (see :mod:`orvik.rules`), recorded in the global attribute
        ``orvik_rules``. ``{"outside": "below"}`` makes each block span the
        whole vertical axis.
    layout : "cf" or "emc", default "cf"
        "emc" writes the layout of the IRIS Earth Model Collection: dimensions
        ``depth`` (km, positive down), ``latitude`` and ``longitude``; it needs
        a depth axis and x and y in degrees (``crs=("EPSG:4326", ...)``).
        :func:`orvik.models.grid` reads such a file back.
    attributes : mapping of str to str, optional
        Global attributes by their ACDD names (``title``, ``summary``,
        ``creator_name``, ``creator_email``, ``institution``, ...), as
        :func:`orvik.to_dataset` takes them. Every store also carries
        ``date_created`` and a line of ``history``.

    Returns
    -------
    pathlib.Path
        The store. A Zarr store carries the root attribute
        ``orvik_extraction``: "incomplete" while blocks are missing, "complete"
        when every block is written (then its metadata is consolidated). A
        NetCDF file appears only when complete (the blocks are written to a
        Zarr store beside it, ``<name>.partial.zarr``, which resumes).

    The blocks run on Dask's default scheduler: the threaded one, or a
    ``dask.distributed`` client when one is the default, whose workers then
    write the blocks themselves (the store must be a path they can reach).
    """
    target = Path(store)
    fmt = _format(format, target)
    if layout not in ("cf", "emc"):
        raise ValueError(f'layout must be "cf" or "emc"; got {layout!r}')
    rules = Rules.of(rules)
    volume = _volume(tree, grid, surface, crs, qualities, priority, chunks, rules)
    # the fingerprint covers the rules
    data = described(to_dataset(volume, attributes=attributes)).assign_attrs(rules.attrs())
    if layout == "emc":
        data = emc_layout(data)
    if fmt != "netcdf":
        data = for_zarr(data, 2 if fmt == "zarr2" else 3)
    fingerprint = _fingerprint(tree, data)
    data.attrs = stamp(data.attrs, "orvik.extract")  # after the fingerprint: it varies
    zarr_path = target.with_name(target.name + ".partial.zarr") if fmt == "netcdf" else target
    if fmt == "netcdf" and target.exists():
        if resume and _netcdf_fingerprint(target) == fingerprint:
            return target
        if resume:
            raise ValueError(
                f"store {str(target)!r} holds another extraction; remove it, choose another "
                "store, or pass resume=False to replace it"
            )
        target.unlink()
    zarr_format = 2 if fmt == "zarr2" else 3
    blocks = _prepare(zarr_path, data, volume, fingerprint, resume, zarr_format)
    if blocks is not None:
        _run(volume, zarr_path, [str(v) for v in data.data_vars], blocks, progress)
        _finish(zarr_path, zarr_format)
    if fmt == "netcdf":
        _to_netcdf(zarr_path, target)
    return target


def _format(format: str | None, target: Path) -> str:
    if format is None:
        return "netcdf" if target.suffix == ".nc" else "zarr"
    if format not in _FORMATS:
        raise ValueError(f"format must be one of {list(_FORMATS)}; got {format!r}")
    return format


def _volume(
    tree: Any,
    grid: Mapping[str, Any],
    surface: Any,
    crs: Any,
    qualities: Sequence[str],
    priority: tuple[int, int],
    chunks: Mapping[Hashable, int] | None,
    rules: Rules = Rules(),
) -> xr.DataArray:
    """The lazy volume, dimensions (vertical, y, x, quality)."""
    import xarray as xr

    from .sampling import sample

    if not isinstance(grid, Mapping):
        raise TypeError(f"grid must be a mapping of axis name to values; got {type(grid).__name__}")
    vertical = [k for k in ("z", "depth") if k in grid]
    extra = sorted(set(grid) - {"x", "y", "z", "depth"})
    if extra or "x" not in grid or "y" not in grid or len(vertical) != 1:
        raise ValueError(
            "grid must have the axes 'x', 'y' and one of 'z' and 'depth'; "
            f"got {sorted(map(str, grid))}"
        )
    axes = {}
    for key in ("x", "y", vertical[0]):
        value = grid[key]
        if np.ndim(value) != 1:
            raise ValueError(f"grid[{key!r}] must be one-dimensional; got shape {np.shape(value)}")
        axes[key] = value if isinstance(value, xr.DataArray) else xr.DataArray(value, dims=key)
    names = list(qualities) if not isinstance(qualities, str) else [qualities]
    unknown = [q for q in names if q not in QUALITIES]
    if unknown or not names or len(set(names)) != len(names):
        raise ValueError(f"qualities must be distinct names from {list(QUALITIES)}; got {names}")
    dims = [axes[k].dims[0] for k in (vertical[0], "y", "x")]
    sizes = dict(zip(dims, (axes[k].size for k in (vertical[0], "y", "x"))))
    asked = dict(chunks or {})
    if rules.whole_columns:
        asked.setdefault(dims[0], max(sizes[dims[0]], 1))
    blocks = _default_chunks(sizes, asked)
    level = axes[vertical[0]]
    volume = sample(
        tree,
        axes["x"],
        axes["y"],
        level if vertical[0] == "z" else None,
        depth=level if vertical[0] == "depth" else None,
        surface=surface,
        crs=crs,
        priority=priority,
        chunks=blocks,
    )
    volume = volume.transpose(*dims, QUALITY_DIM)
    if rules.active:
        volume = apply_rules(volume, rules, vertical=dims[0])
    return volume.sel({QUALITY_DIM: names}) if names != list(QUALITIES) else volume


def _default_chunks(sizes: Mapping[Hashable, int], asked: dict) -> dict:
    levels, rows, cols = sizes
    asked.setdefault(levels, min(max(sizes[levels], 1), 64))
    side = max(int(math.sqrt(BLOCK_POINTS / asked[levels])), 1)
    asked.setdefault(rows, side)
    asked.setdefault(cols, max(BLOCK_POINTS // (asked[levels] * asked[rows]), 1))
    return asked


def _fingerprint(tree: Any, data: xr.Dataset) -> str:
    """What the extraction writes: the tree's structure, the axes, the
    variables and their chunks, and the metadata."""
    digest = hashlib.sha256()
    if isinstance(tree, PyModelTree):
        digest.update(json.dumps(tree.view(), sort_keys=True, default=str).encode())
    for name, coord in data.coords.items():
        digest.update(str(name).encode() + np.ascontiguousarray(coord.values).tobytes())
    for name, var in data.data_vars.items():
        digest.update(f"{name}{var.dims}{var.data.chunks}".encode())
    digest.update(json.dumps(data.attrs, sort_keys=True, default=str).encode())
    return digest.hexdigest()


def _prepare(
    path: Path, data: xr.Dataset, volume: xr.DataArray, fingerprint: str, resume: bool, fmt: int
) -> list[tuple[int, ...]] | None:
    """Creates the store or reopens an interrupted one: the blocks still to
    write, or None when the store is complete."""
    import zarr

    numblocks = volume.data.numblocks[:3]
    status = _status(path)
    if status is not None and resume:
        if status.get("fingerprint") != fingerprint:
            raise ValueError(
                f"store {str(path)!r} holds another extraction; remove it, choose another "
                "store, or pass resume=False to replace it"
            )
        if status.get("status") == "complete":
            return None
        written = np.asarray(zarr.open_array(str(path), path=_DONE, mode="r")[...])
        return [i for i in np.ndindex(*numblocks) if not written[i]]
    _forget(path)
    if path.exists():
        shutil.rmtree(path) if path.is_dir() else path.unlink()
    attrs = {**data.attrs, STATUS_ATTR: {"status": "incomplete", "fingerprint": fingerprint}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", category=UserWarning)  # zarr 3 on consolidated data
        data.assign_attrs(attrs).to_zarr(
            str(path), mode="w", compute=False, consolidated=False, zarr_format=fmt
        )
    group = zarr.open_group(str(path), mode="r+", zarr_format=_zarr_format(fmt))
    group.create_array(_DONE, shape=numblocks, chunks=(1, 1, 1), dtype="u1", fill_value=0)
    return list(np.ndindex(*numblocks))


def _forget(path: Path) -> None:
    for key in [k for k in _OPEN if k[0] == str(path)]:
        del _OPEN[key]


def _zarr_format(fmt: int) -> Literal[2, 3]:
    return 2 if fmt == 2 else 3


def _status(path: Path) -> dict | None:
    import zarr

    if not path.exists():
        return None
    try:
        attrs = zarr.open_group(str(path), mode="r").attrs
    except Exception:  # noqa: BLE001 -- not a store of ours
        return {}
    status = attrs.get(STATUS_ATTR)
    return dict(status) if isinstance(status, Mapping) else {}


class _WriteBlock:
    """Writes one computed block into its region of every variable, then
    marks it written. Runs wherever the block was computed."""

    def __init__(self, path: str, names: list[str], chunks: tuple[tuple[int, ...], ...]) -> None:
        self.path, self.names = path, names
        self.offsets = [np.concatenate([[0], np.cumsum(c)]) for c in chunks]

    def __call__(self, block: np.ndarray, index: tuple[int, ...]) -> int:
        region = tuple(slice(int(o[i]), int(o[i + 1])) for o, i in zip(self.offsets, index))
        for q, name in enumerate(self.names):
            _array(self.path, name)[region] = block[..., q]
        _array(self.path, _DONE)[index] = 1
        return 1


_OPEN: dict[tuple[str, str], Any] = {}


def _array(path: str, name: str) -> Any:
    """A Zarr array of the store, opened once per process (its metadata
    does not change while blocks are written)."""
    import zarr

    array = _OPEN.get((path, name))
    if array is None:
        array = _OPEN.setdefault((path, name), zarr.open_array(path, path=name, mode="r+"))
    return array


def _run(
    volume: xr.DataArray, path: Path, names: list[str], todo: list[tuple[int, ...]], progress: bool
) -> None:
    import dask

    from ._shipping import client_of_default_scheduler

    write = _WriteBlock(str(path), names, volume.data.chunks[:3])
    pieces = volume.data.to_delayed()
    tasks = [
        dask.delayed(write, pure=False)(
            pieces[i + (0,)], i, dask_key_name=f"orvik-write-{path.name}-{i}"
        )
        for i in todo
    ]
    bar = _progress_bar(len(todo), progress)
    try:
        client = client_of_default_scheduler()
        if client is not None:
            from distributed import as_completed

            for _ in as_completed(client.compute(tasks)):
                bar.update(1)
        else:
            with _Counting(bar):
                dask.compute(*tasks)
    finally:
        bar.close()


def _finish(path: Path, fmt: int) -> None:
    import zarr

    _forget(path)
    group = zarr.open_group(str(path), mode="r+", zarr_format=_zarr_format(fmt))
    del group[_DONE]
    status: dict[str, Any] = dict(group.attrs[STATUS_ATTR])  # type: ignore[arg-type]
    group.attrs[STATUS_ATTR] = {**status, "status": "complete"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", category=UserWarning)  # zarr 3 on consolidated data
        zarr.consolidate_metadata(str(path), zarr_format=_zarr_format(fmt))


def _to_netcdf(partial: Path, target: Path) -> None:
    import importlib.util

    import xarray as xr

    engine = "netcdf4" if importlib.util.find_spec("netCDF4") else "h5netcdf"
    with xr.open_zarr(str(partial), chunks={}) as data:
        # NetCDF attributes hold no mappings: the status goes as JSON text.
        data.attrs[STATUS_ATTR] = json.dumps(dict(data.attrs[STATUS_ATTR]))
        for name, var in data.variables.items():
            var.encoding = {k: v for k, v in var.encoding.items() if k in ("_FillValue", "dtype")}
            if name in data.coords:
                var.encoding["_FillValue"] = None  # CF: coordinates have none
        staging = target.with_name(target.name + ".partial")
        data.to_netcdf(staging, engine=engine)
    os.replace(staging, target)
    shutil.rmtree(partial)


def _netcdf_fingerprint(path: Path) -> str | None:
    import xarray as xr

    try:
        with xr.open_dataset(path) as data:
            return json.loads(data.attrs[STATUS_ATTR]).get("fingerprint")
    except (OSError, ValueError, KeyError):
        return None


class _Counting(Callback):  # type: ignore[misc]
    """Counts finished write tasks of Dask's local schedulers into a bar."""

    def __init__(self, bar: Any) -> None:
        super().__init__()
        self.bar = bar

    def _posttask(self, key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
        if str(key).startswith("orvik-write-"):
            self.bar.update(1)


class _Quiet:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


def _progress_bar(total: int, wanted: bool) -> Any:
    if not wanted or not sys.stderr.isatty():
        return _Quiet()
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return _TextBar(total)
    return tqdm(total=total, unit="block", desc="orvik.extract")


class _TextBar:
    """A bar on standard error for when tqdm is not installed."""

    def __init__(self, total: int) -> None:
        self.total, self.done = total, 0
        self.update(0)

    def update(self, n: int) -> None:
        self.done += n
        width = 40
        filled = width * self.done // max(self.total, 1)
        sys.stderr.write(
            f"\rorvik.extract [{'#' * filled}{' ' * (width - filled)}] {self.done}/{self.total} blocks"
        )
        sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\n")
