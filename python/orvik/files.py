"""Model files: a velocity model kept on disk, safe to share and quick to load.

:func:`save` writes a :class:`orvik.PyModelTree` (and, optionally, the
topography its depths are measured from) to a file of orvik's own: a header,
a block of JSON metadata (the CRS, units, the models, a description,
provenance and the caller's key-values) and the binary states that pickling
writes, each checked by its reader. :func:`load` reads the file into memory of
its own and reads a record back, its large arrays used in place there;
:func:`info` reads the header and the metadata only.

Loading never runs code from the file (nothing is unpickled), and a file that
is truncated, corrupted, foreign or from a newer format version raises
``ValueError`` saying what is wrong before anything is built from it. The
layout is described in ``src/core/model_file/model_file_format.hpp``.

A loaded model holds a copy of the file's bytes, not a mapping of the file:
whatever is done to the file afterwards (replaced by a rename, as :func:`save`
does, deleted, truncated, or overwritten in place by ``cp``) does not change
it. A path that is not a regular file (a FIFO, a device) is refused before it
is opened, and a file's header is checked before the file is read whole.

Needs NumPy only.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import secrets
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

from . import _native
from ._file_reading import read_model_file as _read
from .orvik import PyCoastline, PyMeshModel, PyModelTree, StructuredGrid
from .qualities import QUALITY_FACTS

__all__ = ["DEFAULT_UNITS", "info", "load", "save"]

#: What the file says it holds, in its metadata's "orvik_file".
FILE_KIND = "velocity model"

#: Units of the package's conventions, recorded unless the caller says otherwise.
DEFAULT_UNITS: dict[str, str] = {
    **dict.fromkeys(("x", "y", "z", "depth"), "m"),
    **{q: f.units for q, f in QUALITY_FACTS.items()},
}

# Record kinds by the classes that read them back; the state inside a record
# names its kind again, and the class's reader checks it.
_CLASSES: dict[str, type] = {
    "model tree": PyModelTree,
    "structured grid": StructuredGrid,
    "mesh model": PyMeshModel,
    "coastline": PyCoastline,
}
# Metadata keys that save fills in itself.
_WRITTEN = frozenset({"orvik_file", "records", "models", "extent"})
_KNOWN = frozenset({"crs", "units", "description", "provenance"})


def save(
    tree: PyModelTree,
    path: str | os.PathLike[str],
    *,
    metadata: Mapping[str, Any] | None = None,
    surface: StructuredGrid | None = None,
) -> Path:
    """Write *tree* to the model file *path*, safely.

    The file is written under a temporary name in the same folder, flushed to
    disk and then renamed into place, so that an interrupted save never
    leaves a half-written file under *path*; an existing file there is
    replaced only once the new one is whole (models loaded from it keep
    their contents). The records' states are streamed into the file: the
    model is never copied whole in memory.

    Parameters
    ----------
    tree : orvik.PyModelTree
        The velocity model, stored as its binary state (the bytes that
        pickling writes). It stays usable.
    path : str or os.PathLike
        Where to write; the folder must exist. ``.orvik`` is the customary
        suffix, not a requirement. A symbolic link is followed: the file it
        names is replaced, and the link stays.
    metadata : mapping, optional
        JSON-serialisable facts about the model. Keys with a meaning:
        ``"crs"`` (the CRS of the model's x and y: any string that pyproj
        reads, or a ``pyproj.CRS``), ``"units"`` (a mapping that overrides
        entries of :data:`DEFAULT_UNITS`; x and y are recorded in
        ``degrees_east`` and ``degrees_north`` when the CRS is geographic),
        ``"description"`` (text) and
        ``"provenance"`` (a mapping, e.g. the source data; ``orvik_version``,
        ``created``, ``python`` and ``platform`` are added). Every other key is
        kept under ``"attributes"``. NumPy scalars and arrays become numbers
        and lists; NaN is refused.
    surface : orvik.StructuredGrid, optional
        The topography (elevation over the model's x and y) that depths below
        the surface are measured from, stored as the record ``"surface"``;
        the command line and :func:`orvik.site` use it.

    Returns
    -------
    pathlib.Path
        The path written.
    """
    if not isinstance(tree, PyModelTree):
        raise TypeError(f"tree must be an orvik.PyModelTree; got {type(tree).__name__}")
    if surface is not None and not isinstance(surface, StructuredGrid):
        raise TypeError(f"surface must be an orvik.StructuredGrid; got {type(surface).__name__}")
    records: list[tuple[str, str, Any]] = [("tree", "model tree", tree)]
    if surface is not None:
        records.append(("surface", "structured grid", surface))
    document = _document(tree, metadata or {}, [(name, kind) for name, kind, _ in records])
    text = json.dumps(document, indent=1, ensure_ascii=False, allow_nan=False, default=_as_json)
    objects = [obj for *_, obj in records]
    lengths = [_native.state_size(obj) for obj in objects]
    prefix, spans, file_length = _native.model_file_layout(text.encode(), lengths)
    # Through a symbolic link to the file it names, which is replaced in its
    # own folder; the link stays.
    target = Path(os.path.realpath(path)) if os.path.islink(path) else Path(path)
    _write_atomically(target, lambda fd: _write_records(fd, prefix, spans, objects, file_length))
    return Path(path)


def load(path: str | os.PathLike[str], record: str = "tree", *, copy: bool = False) -> Any:
    """Read the record *record* of the model file *path* back.

    The file's header is checked first, from its first bytes; then the file
    is read whole into read-only memory of the process's own, its frame
    (header, record table, metadata) checked, and the record's state checked
    by the reader of its class, which checks every count, offset and
    invariant (and the checksum of every byte) before it builds anything. No
    code from the file is ever run. The model's large arrays (the meshes'
    nodes, simplices, faces and vertex values, the grid and columns models'
    nodes and profiles) are not copied again: the model uses them in place in
    that memory, which stays until the model is gone. Since it is a copy,
    nothing done to the file afterwards (replaced, deleted, truncated or
    overwritten in place) changes the loaded model.

    Parameters
    ----------
    path : str or os.PathLike
        A file written by :func:`save`: a regular file (a FIFO, a device or a
        folder is refused before it is opened for reading).
    record : str, default "tree"
        Which record: ``"tree"`` (the :class:`orvik.PyModelTree`) or
        ``"surface"`` (the :class:`orvik.StructuredGrid` saved with it).
    copy : bool, default False
        Copy the record's arrays into memory of its own and free the file's
        bytes at once: slower, but the rest of the file (the other records)
        is not kept in memory while the model lives.

    Raises
    ------
    ValueError
        The path is not a regular file, or the file is not a model file, is
        truncated or corrupted, comes from a newer format version, or holds
        no such record; the message starts with the path and says what is
        wrong.
    """
    name, facts, data = _read(path, whole=True)
    return _record(name, facts["records"], data, record, copy)


def _load_model(path: str | os.PathLike[str]) -> tuple[dict[str, Any], Any, Any]:
    """What the command line needs of a model file, read once: its
    :func:`info`, its tree, and its surface (None when it holds none)."""
    name, facts, data = _read(path, whole=True)
    records = facts["records"]
    for record, kind in (("tree", "model tree"), ("surface", "structured grid")):
        for r in records:
            if r["name"] == record and r["kind"] != kind:
                raise ValueError(f"{name}: record {record!r} holds a {r['kind']!r}, not a {kind}")
    surface = None
    if any(r["name"] == "surface" for r in records):
        surface = _record(name, records, data, "surface", False)
    return facts, _record(name, records, data, "tree", False), surface


def _record(name: str, records: list[dict[str, Any]], data: Any, record: str, copy: bool) -> Any:
    match = [r for r in records if r["name"] == record]
    if not match:
        held = ", ".join(repr(r["name"]) for r in records)
        raise ValueError(f"{name}: the file holds no record {record!r} (it holds {held})")
    entry = match[0]
    cls = _CLASSES.get(entry["kind"])
    if cls is None:
        raise ValueError(
            f"{name}: record {record!r} holds a {entry['kind']!r}, which this orvik does "
            "not read (a newer orvik may)"
        )
    start, length = entry["offset"], entry["bytes"]
    try:
        if copy:
            with memoryview(data) as view, view[start : start + length] as state:
                return getattr(cls, "__from_state")(state)
        return _native.read_state(cls, data, start, length)
    except ValueError as e:
        raise ValueError(f"{name}: record {record!r}: {e}") from None


def info(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The header and metadata of the model file *path*, without reading its records.

    Returns
    -------
    dict
        ``"path"`` (absolute), ``"format_version"``, ``"bytes"`` (the file's
        size), ``"records"`` (one dict per record: ``"name"``, ``"kind"``,
        ``"offset"``, ``"bytes"``) and ``"metadata"``, the file's JSON object
        as stored (for files written by :func:`save`: ``"crs"``, ``"units"``,
        ``"models"``, ``"extent"``, ``"description"``, ``"provenance"``,
        ``"attributes"``, ...).

    Raises
    ------
    ValueError
        As :func:`load`, for the frame and the metadata.
    """
    return _read(path, whole=False)[1]


# --- writing ------------------------------------------------------------------------


def _document(
    tree: PyModelTree, metadata: Mapping[str, Any], records: list[tuple[str, str]]
) -> dict[str, Any]:
    if not isinstance(metadata, Mapping):
        raise TypeError(f"metadata must be a mapping; got {type(metadata).__name__}")
    for key in metadata:
        if not isinstance(key, str):
            raise TypeError(f"metadata keys must be str; got {key!r}")
        if key in _WRITTEN:
            raise ValueError(f"metadata key {key!r} is written by save itself")
    view = tree.view()
    models = [_finite(dict(m, kind=m.get("kind", "tetrahedral mesh"))) for m in view["models"]]
    extent = None
    if models:
        lo, hi = tree.aabb()
        extent = _finite({"min": lo.tolist(), "max": hi.tolist()})
    document = {
        "orvik_file": FILE_KIND,
        "records": [{"name": n, "kind": k} for n, k in records],
        "description": _text(metadata.get("description", ""), "description"),
        "crs": _crs(metadata.get("crs")),
        "units": _units(metadata.get("units", {}), metadata.get("crs")),
        "models": models,
        "extent": extent,
        "provenance": _provenance(metadata.get("provenance", {})),
        "attributes": {k: v for k, v in metadata.items() if k not in _KNOWN},
    }
    for key, value in document.items():
        _check_json(key, value)
    return document


def _text(value: Any, key: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"metadata[{key!r}] must be a str; got {type(value).__name__}")
    return value


def _crs(crs: Any) -> str | None:
    if crs is None or isinstance(crs, str):
        return crs
    if hasattr(crs, "to_string"):  # pyproj.CRS
        return str(crs.to_string())
    raise TypeError(f"metadata['crs'] must be a str or a pyproj.CRS; got {type(crs).__name__}")


def _units(units: Any, crs: Any) -> dict[str, str]:
    if not isinstance(units, Mapping):
        raise TypeError(f"metadata['units'] must be a mapping; got {type(units).__name__}")
    merged = dict(DEFAULT_UNITS)
    if _is_geographic(crs):
        merged.update(x="degrees_east", y="degrees_north")
    for key, value in units.items():
        merged[_text(key, "units")] = _text(value, f"units'][{key!r}")
    return merged


def _is_geographic(crs: Any) -> bool:
    """Whether *crs* (text or a pyproj CRS) gives longitude and latitude;
    without pyproj, only the common names of WGS 84 are known."""
    if crs is None:
        return False
    try:
        import pyproj
    except ImportError:
        return str(crs).upper() in ("EPSG:4326", "OGC:CRS84", "WGS84", "CRS84")
    try:
        return bool(pyproj.CRS.from_user_input(crs).is_geographic)
    except pyproj.exceptions.CRSError:  # recorded as given, read by nobody here
        return False


def _provenance(given: Any) -> dict[str, Any]:
    if not isinstance(given, Mapping):
        raise TypeError(f"metadata['provenance'] must be a mapping; got {type(given).__name__}")
    own = {
        "orvik_version": _orvik_version(),
        "created": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "python": platform.python_version(),
        "platform": platform.platform(),
    }
    for key in given:
        if key in own:
            raise ValueError(f"metadata['provenance'] key {key!r} is written by save itself")
    return {**own, **given}


def _orvik_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("orvik")
    except metadata.PackageNotFoundError:
        return "unknown"


def _finite(value: Any) -> Any:
    """A model description with non-finite floats (declared bounds may hold
    them) as null: JSON has no NaN."""
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _as_json(value: Any) -> Any:
    if hasattr(value, "tolist"):  # NumPy scalars and arrays
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not JSON-serialisable")


def _check_json(key: str, value: Any) -> None:
    try:
        json.dumps(value, allow_nan=False, default=_as_json)
    except (TypeError, ValueError) as e:
        raise type(e)(f"metadata[{key!r}] cannot be written as JSON: {e}") from None


def _write_atomically(target: Path, write: Callable[[int], None]) -> None:
    """Runs *write* on the descriptor of a new temporary file beside *target*,
    then makes the file durable and renames it into place."""
    folder = target.parent
    temporary = folder / f".{target.name}.{secrets.token_hex(6)}.tmp"
    # O_EXCL: never write into a file that someone else made under that name.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        try:
            write(fd)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_folder(folder)


def _write_records(
    fd: int, prefix: bytes, spans: tuple[tuple[int, int], ...], objects: list[Any], length: int
) -> None:
    # The file's full length first: the bytes between records are then zero.
    os.ftruncate(fd, length)
    view = memoryview(prefix)
    while view:
        view = view[os.pwrite(fd, view, len(prefix) - len(view)) :]
    for (offset, expected), obj in zip(spans, objects):
        written = _native.write_state(obj, fd, offset)
        if written != expected:  # the object changed since its size was taken
            raise RuntimeError(f"a state of {expected} bytes was announced, {written} were written")


def _sync_folder(folder: Path) -> None:
    # The rename is durable once the folder's entry is on disk too.
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
