"""orvik: a three-dimensional seismic velocity model, built from overlapping
models and queried at millions of points.

Units and frame: lengths in metres, x and y horizontal, z the elevation (up is
positive) and depth measured down from the topography; speeds in km/s,
density in g/cm^3; a quality is the six float32 values ``rho, vp, vs, qp, qs,
alpha`` (alpha is the opacity of the "over" blend).

The compiled core, the extension module ``orvik.orvik``, registers twelve
names, re-exported here in its order: ``__all__`` lists exactly them, taken
from the extension's own ``__all__``.

The package's own layers are imported on first use, so that ``import orvik``
needs NumPy only:

``orvik.sample(tree, x, y, z, ...)``
    The model at every point of coordinate arrays (NumPy, Dask or xarray), as
    a labelled xarray ``DataArray`` (the ``xarray`` extra; Dask inputs the
    ``dask`` extra, map projections the ``geo`` extra).
``orvik.qualities``
    The names of the six values and ``blend``, the "over" blend of two
    quality fields.
``orvik.to_dataset(volume)``
    A sampled volume as a CF-1.10 dataset, one variable per quality with its
    units, ready for ``to_zarr`` or ``to_netcdf`` (module ``orvik.metadata``).
``orvik.extract(tree, grid, store, ...)``
    A regular volume into a Zarr store or a NetCDF file, block by block, with
    a progress bar, a completion mark, and resumption after an interruption
    (module ``orvik.extraction``; the ``dask`` extra).
``orvik.sampling``
    The module of ``sample``.
``orvik.save(tree, path, ...)``, ``orvik.load(path)``, ``orvik.info(path)``
    Model files: a tree (and its topography) on disk with JSON metadata,
    written atomically, read into memory of their own and checked on load, never unpickled
    (``orvik.files``).
``orvik.site``
    Site products for hazard work: ``vs30``, ``z1p0``, ``z2p5``,
    ``z_isosurface`` and ``site_model`` (Vs30 in m/s, depths in metres).
``orvik.models``
    Models in the forms the field distributes them: ``grid``, ``layered``
    (and the ``.tvel`` and ``.nd`` readers), ``columns`` and ``mesh``.
"""

from . import orvik as orvik
from .orvik import *  # noqa: F403
from .orvik import __all__

# The twelve names of the extension, in its registration order: a star import
# of the package gives what a star import of the extension gives.
__all__ = list(__all__)

# Submodules, and functions with the submodule that defines them, imported on
# first access (PEP 562).
_LAZY_SUBMODULES = frozenset(
    {"qualities", "sampling", "metadata", "extraction", "files", "site", "models"}
)
_LAZY_FUNCTIONS = {
    "sample": "sampling",
    "to_dataset": "metadata",
    "extract": "extraction",
    "save": "files",
    "load": "files",
    "info": "files",
}


def __getattr__(name: str) -> object:
    import importlib

    if name == "__version__":
        # Written once, in pyproject.toml; read from the installed package's metadata.
        return importlib.import_module("importlib.metadata").version(__name__)
    if name in _LAZY_SUBMODULES:
        return importlib.import_module(f"{__name__}.{name}")
    if name in _LAZY_FUNCTIONS:
        module = importlib.import_module(f"{__name__}.{_LAZY_FUNCTIONS[name]}")
        return getattr(module, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _LAZY_SUBMODULES | set(_LAZY_FUNCTIONS) | {"__version__"})
