# orvik._native: the package's native pieces beyond the twelve names of
# orvik.orvik (loaded from the same shared library by _native.py).

from collections.abc import Buffer, Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["model_file_layout", "open_model_file", "parse_rows", "format_rows"]

def model_file_layout(
    metadata: Buffer, record_lengths: Sequence[int]
) -> tuple[bytes, tuple[tuple[int, int], ...], int]:
    """The frame of a model file that holds *metadata* (UTF-8 JSON text, an
    object) and records of the given byte lengths.

    Returns ``(prefix, records, file_length)``: the file's first bytes (header,
    record table, metadata and zero padding up to the first record), the
    ``(offset, length)`` of each record, and the length of the whole file. The
    bytes between records are zero. Raises `ValueError` when the metadata is
    not a JSON object that `open_model_file` accepts, or when there are not 1
    to 64 records."""

def open_model_file(data: Buffer) -> tuple[int, str, tuple[tuple[int, int], ...]]:
    """Check the frame of a model file given as its bytes (any contiguous
    buffer: bytes, a memory map, ...).

    Returns ``(version, metadata, records)``: the file format version, the
    metadata as a str (a JSON object, checked strictly) and the ``(offset,
    length)`` of each record. Every byte but the records' own is checked;
    the records are binary states, checked by the class that reads them.
    Raises `ValueError` "invalid orvik model file: ..." saying what is
    wrong (truncated, corrupted, foreign, a newer format version, ...)."""

def parse_rows(data: Buffer, columns: int, first_line: int = 1) -> npt.NDArray[np.float64]:
    """Read lines of exactly *columns* finite numbers from the bytes *data*.

    Values are separated by spaces or tabs, optionally with one comma among
    them; CR LF ends a line like LF; blank lines and lines whose first
    non-blank character is ``#`` are skipped. Returns a float64 array of shape
    ``(rows, columns)``. Raises `ValueError` "line {L}, column {C}: ..." at the
    first value it cannot read (the first line of *data* is line
    *first_line*, columns count bytes from 1). Runs with the interpreter lock
    released."""

def format_rows(
    values: npt.NDArray[np.float32] | npt.NDArray[np.float64], separator: str = " "
) -> bytes:
    """The rows of the float32 or float64 array *values* ``(rows, columns)`` as
    bytes of text: one line per row, its values separated by *separator*. Each
    value is the shortest decimal that reads back to the same float (``nan``,
    ``inf``, ``-inf`` for the others). Runs with the interpreter lock
    released."""
