"""What an extraction writes its mark with, and the rules for touching a path:
the fingerprint of everything that decides the values, the mark that makes a
store provably ours, and the refusals that keep other data safe."""

from __future__ import annotations

import hashlib
import json
import os
import pickle
import pwd
import secrets
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

#: The root attribute that records how far an extraction got: "complete" once
#: every block is written, "incomplete" until then.
STATUS_ATTR = "orvik_extraction"
# What the fingerprint covers, in the words of a refusal.
PART_NAMES = {
    "model": "model",
    "surface": "surface",
    "axes": "axes",
    "chunks": "chunks",
    "qualities": "qualities",
    "priority": "priority range",
    "crs": "CRS",
    "metadata": "metadata",
}
_NETCDF_SIGNATURES = (b"\x89HDF\r\n\x1a\n", b"CDF\x01", b"CDF\x02", b"CDF\x05")


class AnotherExtraction(ValueError):
    """A store that holds an extraction other than the one asked for."""

    def __init__(self, store: Path, differs: list[str]) -> None:
        self.store, self.differs = store, differs
        super().__init__(self.message("pass resume=False"))

    def message(self, replace: str) -> str:
        what = ""
        if self.differs:
            names = [PART_NAMES.get(d, d) for d in self.differs]
            what = f" (its {_listed(names)} {'differ' if len(names) > 1 else 'differs'})"
        return (
            f"store {str(self.store)!r} holds another extraction{what}; remove it, choose "
            f"another store, or {replace} to replace it"
        )


def fingerprint_parts(
    tree: Any, surface: Any, data: Any, qualities: list[str], priority: Any, crs: Any
) -> dict[str, str]:
    """A digest of each thing that decides the values written."""
    axes = hashlib.sha256()
    for name, coord in sorted(data.coords.items(), key=lambda kv: str(kv[0])):
        values = np.ascontiguousarray(coord.values)
        axes.update(f"{name}{coord.dims}{values.dtype.str}{values.shape}".encode())
        axes.update(values.tobytes())
    chunks = {str(n): [list(c) for c in (v.data.chunks or ())] for n, v in data.data_vars.items()}
    metadata = {"attrs": data.attrs, **{str(n): v.attrs for n, v in data.variables.items()}}
    return {
        "model": _state_digest(tree),
        "surface": _state_digest(surface) if surface is not None else "none",
        "axes": axes.hexdigest(),
        "chunks": _digest(chunks),
        "qualities": _digest(list(qualities)),
        "priority": _digest([int(p) for p in priority]),
        "crs": _digest(_crs_text(crs)),
        "metadata": _digest(metadata),
    }


def combined(parts: Mapping[str, str]) -> str:
    return _digest(dict(parts))


def differing(mark: Mapping[str, Any], parts: Mapping[str, str]) -> list[str]:
    """The parts in which a store's mark differs from *parts* (none known for
    a mark without them)."""
    theirs = mark.get("parts")
    if not isinstance(theirs, Mapping):
        return []
    return [k for k in parts if theirs.get(k) != parts[k]]


def _digest(value: Any) -> str:
    text = json.dumps(value, sort_keys=True, default=str)
    return hashlib.sha256(text.encode()).hexdigest()


def _state_digest(obj: Any) -> str:
    """SHA-256 of an object's binary state, its large arrays hashed where
    they lie (pickle protocol 5 hands them out of band, uncopied)."""
    digest = hashlib.sha256(type(obj).__qualname__.encode())
    buffers: list[pickle.PickleBuffer] = []
    try:
        digest.update(pickle.dumps(obj, protocol=5, buffer_callback=buffers.append))
    except (TypeError, AttributeError, pickle.PicklingError):
        # No state to compare: such a model never matches a store.
        return "unpicklable " + secrets.token_hex(16)
    for buffer in buffers:
        with buffer.raw() as raw:
            digest.update(raw)
    return digest.hexdigest()


def _crs_text(crs: Any) -> Any:
    if isinstance(crs, (tuple, list)):
        return [_crs_text(c) for c in crs]
    if hasattr(crs, "to_wkt"):
        return crs.to_wkt()
    return None if crs is None else str(crs)


# --- paths ---------------------------------------------------------------------------


def refuse_protected(path: Path) -> None:
    """Refuses a store path that names the working directory or one above it,
    a home directory or a file system root: never ours to fill or remove."""
    here = Path(os.path.abspath(path))
    resolved = here.resolve()
    cwd = Path.cwd().resolve()
    what = None
    if resolved == cwd:
        what = "the working directory"
    elif resolved in cwd.parents:
        what = "a folder that holds the working directory"
    elif resolved.parent == resolved or os.path.ismount(resolved):
        what = "a file system root"
    elif resolved in _homes():
        what = "a home directory"
    if what is not None:
        raise ValueError(f"store {str(path)!r} is {what}; give the store a path of its own")


def _homes() -> set[Path]:
    homes = {Path.home().resolve()}
    try:
        homes.update(Path(p.pw_dir).resolve() for p in pwd.getpwall() if p.pw_dir)
    except OSError:
        pass
    return homes


def describe(path: Path) -> str:
    """What a path that is not ours holds, for a refusal."""
    if path.is_symlink():
        return f"a symbolic link to {os.readlink(path)!r}"
    if path.is_dir():
        names = sorted(p.name + ("/" if p.is_dir() else "") for p in path.iterdir())
        shown = [repr(n) for n in names[:3]]
        if len(names) > 3:
            shown.append(f"{len(names) - 3} more")
        return f"a folder that holds {_listed(shown)}"
    if path.is_file():
        size = path.stat().st_size
        return f"a file of {size} byte{'' if size == 1 else 's'}"
    return "neither a file nor a folder"


def not_ours(path: Path) -> ValueError:
    return ValueError(
        f"store {str(path)!r} is not an orvik extraction: it is {describe(path)}; choose "
        "another store, or remove it yourself"
    )


def is_empty_folder(path: Path) -> bool:
    return path.is_dir() and not path.is_symlink() and next(path.iterdir(), None) is None


def zarr_mark(path: Path) -> dict | None:
    """The mark of the extraction whose Zarr store *path* is, or None when it
    is not one (or there is nothing). Errors reading a store propagate."""
    import zarr
    import zarr.errors

    if path.is_symlink() or not path.is_dir():
        return None
    try:
        attrs = zarr.open_group(str(path), mode="r").attrs
    except (
        zarr.errors.NodeNotFoundError,
        zarr.errors.ContainsArrayError,
        zarr.errors.MetadataValidationError,
        json.JSONDecodeError,
    ):
        return None
    return _mark(attrs.get(STATUS_ATTR))


def netcdf_mark(path: Path) -> dict | None:
    """The mark of the extraction whose NetCDF file *path* is, or None when it
    is not one. A file that cannot be read raises its own error."""
    import xarray as xr

    if path.is_symlink() or not path.is_file():
        return None
    with open(path, "rb") as f:  # an unreadable file says so here
        head = f.read(8)
    if not head.startswith(_NETCDF_SIGNATURES):
        return None
    try:
        with xr.open_dataset(path) as data:
            text = data.attrs.get(STATUS_ATTR)
    except PermissionError:
        raise
    except (OSError, ValueError):  # readable (above), but no NetCDF that xarray opens
        return None
    try:
        return _mark(json.loads(text)) if isinstance(text, str) else None
    except ValueError:
        return None


def _mark(value: Any) -> dict | None:
    if isinstance(value, Mapping) and isinstance(value.get("fingerprint"), str):
        return dict(value)
    return None


def _listed(items: list[str]) -> str:
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " and " + items[-1]
