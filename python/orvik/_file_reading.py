"""Reading model files: a regular file opened once, its header checked from
its first bytes, then the whole file read into memory of its own and its
frame and metadata checked (see :mod:`orvik.files`)."""

from __future__ import annotations

import json
import os
import stat
from typing import Any

from . import _native

#: The first bytes read of a model file: its header, and the rest of the
#: frame as well when the metadata is short.
_PROBE = 4096
_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def read_model_file(path: str | os.PathLike[str], whole: bool) -> tuple[str, dict[str, Any], Any]:
    """The path as given, the checked frame of a model file as :func:`info`
    gives it, and with *whole* the file's bytes in memory of their own (else
    None)."""
    name = os.fspath(path)
    fd = _open_regular(name)
    try:
        size = os.fstat(fd).st_size
        head = os.pread(fd, min(size, _PROBE), 0)
        need = min(_native.model_frame_end(head), size)
        if need > len(head):
            head = os.pread(fd, need, 0)
        if len(head) < need:
            raise ValueError(f"{name}: the file shrank while it was read")
        # A foreign or damaged file is refused from its first bytes, before it is read whole.
        version, records, document = _open(name, head, size)
        data = None
        if whole:
            try:
                data = _native.read_file(fd, size)
            except ValueError as e:
                raise ValueError(f"{name}: {e}") from None
            version, records, document = _open(name, data)  # what was read is what is used
    finally:
        os.close(fd)
    facts = {
        "path": os.path.abspath(name),
        "format_version": version,
        "bytes": size,
        "records": records,
        "metadata": document,
    }
    return name, facts, data


def _open_regular(name: str) -> int:
    """A descriptor of the regular file *name*; anything else is refused
    before it is opened (opening a FIFO or a device may block or act)."""
    mode = os.stat(name).st_mode
    for test, kind in _KINDS:
        if test(mode):
            raise ValueError(
                f"{name}: not a regular file but {kind}; a model file is a regular file"
            )
    # O_NONBLOCK: should the path have become a FIFO since, the open does not wait.
    fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ValueError(f"{name}: not a regular file; a model file is a regular file")
    return fd


def _open(
    name: str, data: Any, size: int | None = None
) -> tuple[int, list[dict[str, Any]], dict[str, Any]]:
    """The checked frame: format version, records (with where they lie) and metadata."""
    try:
        version, text, spans = _native.open_model_file(data, size)
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None
    try:
        document = json.loads(text)
    except ValueError as e:  # numbers past Python's limits, say
        raise ValueError(f"{name}: invalid orvik model file: the metadata: {e}") from None
    listed = document.get("records")
    if (
        not isinstance(listed, list)
        or len(listed) != len(spans)
        or not all(
            isinstance(r, dict)
            and isinstance(r.get("name"), str)
            and isinstance(r.get("kind"), str)
            for r in listed
        )
    ):
        raise ValueError(
            f'{name}: invalid orvik model file: the metadata\'s "records" must list one '
            f'object with a "name" and a "kind" per record; the file holds {len(spans)}'
        )
    _check_types(name, document)
    records = [
        {"name": r["name"], "kind": r["kind"], "offset": offset, "bytes": length}
        for r, (offset, length) in zip(listed, spans)
    ]
    return version, records, document


# The types of the metadata's keys that have a meaning, as save writes them.
_TYPES: dict[str, tuple[tuple[type, ...], str]] = {
    "orvik_file": ((str,), "a string"),
    "description": ((str,), "a string"),
    "crs": ((str, type(None)), "a string or null"),
    "units": ((dict,), "an object of strings"),
    "models": ((list,), "a list of objects"),
    "extent": ((dict, type(None)), "an object or null"),
    "provenance": ((dict,), "an object"),
    "attributes": ((dict,), "an object"),
}


def _check_types(name: str, document: dict[str, Any]) -> None:
    for key, (types, said) in _TYPES.items():
        if key not in document:
            continue
        value: Any = document[key]
        bad = not isinstance(value, types)
        if key == "units" and not bad:
            bad = not all(isinstance(v, str) for v in value.values())
        if key == "models" and not bad:
            bad = not all(isinstance(m, dict) for m in value)
        if bad:
            raise ValueError(
                f"{name}: invalid orvik model file: the metadata's {key!r} must be {said}; "
                f"got {json.dumps(value)[:80]}"
            )
