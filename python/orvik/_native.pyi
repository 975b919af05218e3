# orvik._native: the package's native pieces beyond the twelve names of
# orvik.orvik (loaded from the same shared library by _native.py): the model
# file frame, text rows, and the model kinds that users meet through
# orvik.models. The model constructors take arrays exactly as typed (float64
# axes and coordinates, float32 qualities and transforms, uint64 offsets),
# never converted; each model keeps its own copy of what it is given.

from collections.abc import Buffer, Sequence
from typing import (
    Final,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypedDict,
    final,
    type_check_only,
)

import numpy as np
import numpy.typing as npt

from .orvik import (
    _F32,
    _F64,
    PyCoastline,
    PyMeshModel,
    PyModelTree,
    StructuredGrid,
    _Box,
    _ModelView,
    _Quality,
)

__all__ = [
    "model_file_layout",
    "open_model_file",
    "model_frame_end",
    "MappedFile",
    "read_file",
    "read_state",
    "state_size",
    "write_state",
    "parse_rows",
    "format_rows",
    "PyGridModel",
    "PyColumnsModel",
    "grid_model",
    "columns_model",
    "QUALITIES",
]

#: The names of a quality's columns, in column order (``orvik.qualities``).
QUALITIES: Final[tuple[str, ...]]

def model_file_layout(
    metadata: Buffer, record_lengths: Sequence[int]
) -> tuple[bytes, tuple[tuple[int, int], ...], int]:
    """The frame of a model file that holds *metadata* (UTF-8 JSON text, an
    object) and records of the given byte lengths.

    Returns ``(prefix, records, file_length)``: the file's first bytes (header,
    record table, metadata and zero padding up to the first record), the
    ``(offset, length)`` of each record, and the length of the whole file. The
    bytes between records are zero.

    Raises
    ------
    ValueError
        If the metadata is not a JSON object that `open_model_file` accepts,
        or there are not 1 to 64 records.
    """

def open_model_file(
    data: Buffer, file_size: int | None = None
) -> tuple[int, str, tuple[tuple[int, int], ...]]:
    """Check the frame of a model file given as its bytes (any contiguous
    buffer: bytes, a memory map, ...), or as its first bytes (at least
    `model_frame_end` of them) and its size *file_size*; the zero bytes
    between records are then checked as far as *data* reaches.

    Returns ``(version, metadata, records)``: the file format version, the
    metadata as a str (a JSON object, checked strictly) and the ``(offset,
    length)`` of each record. Every byte but the records' own is checked;
    the records are binary states, checked by the class that reads them.

    Raises
    ------
    ValueError
        "invalid orvik model file: ...", saying what is wrong (truncated,
        corrupted, foreign, a newer format version, ...).
    """

def model_frame_end(head: Buffer) -> int:
    """How many first bytes of a model file `open_model_file` needs, as the
    header in *head* (the file's first bytes) announces them: header,
    record table and metadata, each capped at the format's limits."""

@final
class MappedFile:
    """The bytes of a file, read into read-only memory of their own
    (read_file makes one).

    A bytes-like object: ``memoryview(mapping)`` reads the bytes in place.
    Records read from it with read_state borrow their arrays from it, and
    it stays until the last of them is gone. They are a copy: whatever
    is done to the file afterwards does not reach them."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

def read_file(fd: int | _HasFileno, length: int) -> MappedFile:
    """Read the first *length* bytes of the open regular file *fd* (an int or
    an object with ``fileno()``; its position is left alone) into read-only
    memory of their own.

    Returns a `MappedFile`; *fd* may be closed afterwards. Raises `OSError`
    when the file cannot be read, `ValueError` when it ends before *length*
    bytes."""

def read_state[
    T: (PyModelTree, StructuredGrid, PyCoastline, PyMeshModel, PyGridModel, PyColumnsModel)
](cls: type[T], mapping: MappedFile, offset: int, length: int) -> T:
    """Read the binary state of *length* bytes at byte *offset* of the
    `MappedFile` *mapping* into a new instance of *cls* (PyModelTree,
    StructuredGrid, PyMeshModel, ...), as ``cls.__from_state`` does, with
    every check. The record's large arrays are not copied: it borrows them
    from the mapping, which it keeps mapped for as long as it lives. Raises
    `ValueError` saying what is wrong with the state."""

def state_size(
    obj: PyModelTree | StructuredGrid | PyCoastline | PyMeshModel | PyGridModel | PyColumnsModel,
) -> int:
    """The length in bytes of the binary state of *obj* (the bytes that
    pickling writes and `write_state` streams)."""

def write_state(
    obj: PyModelTree | StructuredGrid | PyCoastline | PyMeshModel | PyGridModel | PyColumnsModel,
    fd: int | _HasFileno,
    offset: int,
) -> int:
    """Write the binary state of *obj* into the open file *fd* (an int or an
    object with ``fileno()``) from byte *offset* on, streamed through a
    small buffer: the state is never whole in memory. The file's own
    position is left alone. Returns the state's length in bytes; raises
    `OSError` when the file cannot be written."""

@type_check_only
class _HasFileno(Protocol):
    def fileno(self) -> int: ...

def parse_rows(data: Buffer, columns: int, first_line: int = 1) -> npt.NDArray[np.float64]:
    """Read lines of exactly *columns* finite numbers from the bytes *data*.

    Values are separated by spaces or tabs, optionally with one comma among
    them; CR LF ends a line like LF; blank lines and lines whose first
    non-blank character is ``#`` are skipped. Returns a float64 array of shape
    ``(rows, columns)``. Runs with the interpreter lock released.

    Raises
    ------
    ValueError
        "line {L}, column {C}: ..." at the first value it cannot read (the
        first line of *data* is line *first_line*, columns count bytes from 1).
    """

def format_rows(
    values: npt.NDArray[np.float32] | npt.NDArray[np.float64], separator: str = " "
) -> bytes:
    """The rows of the float32 or float64 array *values* ``(rows, columns)`` as
    bytes of text: one line per row, its values separated by *separator*. Each
    value is the shortest decimal that reads back to the same float (``nan``,
    ``inf``, ``-inf`` for the others). Runs with the interpreter lock
    released."""

@type_check_only
class _Axes(TypedDict):
    x: tuple[float, float]
    y: tuple[float, float]
    v: tuple[float, float]

@type_check_only
class _PlacedView(_ModelView):
    # The keys of a mesh model's view, then the kind's own.
    kind: Literal["grid", "columns"]
    shape: tuple[int, ...]
    nodes: int
    axes: _Axes

@final
class PyGridModel:
    """Python-facing grid model: a rectilinear 3-D grid of qualities,
    interpolated trilinearly.

    Made by `grid_model` (users call `orvik.models.grid`); consumed (moved
    into a model tree) when passed to `model_tree`.
    """
    def query(self, x: SupportsFloat, y: SupportsFloat, z: SupportsFloat) -> _Quality | None:
        """Query the model at a single point; `z` is its vertical coordinate (the
        elevation or the depth, by the model's vertical mode).

        Returns a dict with keys `rho`, `vp`, `vs`, `qp`, `qs`, `alpha`, or `None`
        outside the model or in a hole.
        """
    def aabb(self) -> _Box:
        """Return the box the model tree sees, ``(min_xyz, max_xyz)``, two ``(3,)``
        float32 arrays: derived from the model's extent, with z from -inf to +inf
        in depth mode.
        """
    def view(self) -> _PlacedView:
        """Return a serialisable Python dict describing this model."""
    @property
    def name(self) -> str:
        """Human-readable name assigned at construction time."""
    @property
    def priority(self) -> int:
        """Model priority (lower number = higher priority in the tree)."""

@final
class PyColumnsModel:
    """Python-facing columns model: a horizontal grid of tiles, each with
    its own piecewise-linear profile in the vertical coordinate.

    Made by `columns_model` (users call `orvik.models.layered` or
    `orvik.models.columns`); consumed (moved into a model tree) when
    passed to `model_tree`.
    """
    def query(self, x: SupportsFloat, y: SupportsFloat, z: SupportsFloat) -> _Quality | None:
        """Query the model at a single point; `z` is its vertical coordinate (the
        elevation or the depth, by the model's vertical mode).

        Returns a dict with keys `rho`, `vp`, `vs`, `qp`, `qs`, `alpha`, or `None`
        outside the model or in a hole.
        """
    def aabb(self) -> _Box:
        """Return the box the model tree sees, ``(min_xyz, max_xyz)``, two ``(3,)``
        float32 arrays: derived from the model's extent, with z from -inf to +inf
        in depth mode.
        """
    def view(self) -> _PlacedView:
        """Return a serialisable Python dict describing this model."""
    @property
    def name(self) -> str:
        """Human-readable name assigned at construction time."""
    @property
    def priority(self) -> int:
        """Model priority (lower number = higher priority in the tree)."""

def grid_model(
    x: _F64,
    y: _F64,
    v: _F64,
    values: _F32,
    vertical: Literal["elevation", "depth"],
    priority: SupportsIndex,
    name: str | None = None,
    transform: _F32 | None = None,
) -> PyGridModel:
    """Build a [`PyGridModel`]: a rectilinear grid of qualities, interpolated
    trilinearly (qp and qs harmonically).

    `x`, `y` and `v` are the ``(nx,)``, ``(ny,)`` and ``(nv,)`` float64 node
    coordinates in the model's local frame, each strictly increasing, except
    that `v` (the elevation or the depth, by `vertical`) may repeat a value
    once inside the axis, a discontinuity: a point on it takes the values of
    the layer below (deeper, or lower). `values` is the ``(nx, ny, nv, 6)``
    float32 array of ``[rho, vp, vs, qp, qs, alpha]`` per node; a cell with a
    NaN node answers nothing. `vertical` is 'elevation' or 'depth',
    `priority` 0 to 255, `transform` an optional ``(4, 4)`` float32
    world-to-local array as `MeshModelBuilder.transform` takes it. The
    model keeps its own copy of the arrays; its bounds are derived.
    """

def columns_model(
    x: _F64,
    y: _F64,
    offsets: npt.NDArray[np.uint64],
    v: _F64,
    values: _F32,
    vertical: Literal["elevation", "depth"],
    priority: SupportsIndex,
    name: str | None = None,
    transform: _F32 | None = None,
) -> PyColumnsModel:
    """Build a [`PyColumnsModel`]: tiles with a piecewise-linear profile each.

    `x` and `y` are the ``(nx + 1,)`` and ``(ny + 1,)`` float64 tile edges,
    strictly increasing (the first may be -inf and the last +inf). Tile
    ``(i, j)`` is number ``t = i * ny + j``; its profile nodes are entries
    ``offsets[t]`` to ``offsets[t + 1] - 1`` (`offsets`: ``(nx * ny + 1,)``
    uint64) of `v`, the ``(K,)`` float64 vertical coordinates, non-decreasing
    within a profile, and of `values`, the ``(K, 6)`` float32 qualities
    ``[rho, vp, vs, qp, qs, alpha]``. Values are linear between nodes; a
    value given twice is a discontinuity (a point on it takes the layer
    below), and zero-thickness layers are dropped. The other arguments are
    those of `grid_model`.
    """
