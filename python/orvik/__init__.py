# The orvik package: the compiled core, the extension module orvik.orvik, under
# its public name, and the Python layers that drive it at scale.
#
# `import orvik` loads NumPy and the extension and nothing else. Afterwards the
# package holds, besides the standard module attributes, exactly the twelve
# names that the extension registers, and `__all__` lists them in the same
# order, so code written against the bare module keeps working. The package's
# own functions (`orvik.sample`, `orvik.qualities.blend`, ...) are served on
# first use by the lazy `__getattr__` of PEP 562, and import xarray, Dask or
# pyproj only then. Both hooks live on the package's module class rather than
# in its namespace, which therefore stays exactly as described. Submodules
# never become attributes of the package, not even after an explicit
# `import orvik.qualities`: `__setattr__` drops the attribute that the import
# system sets, and `__getattr__` serves the module from `sys.modules` instead.
#
# The extension's module definition has an empty docstring; the package keeps
# it, and documents itself in its submodules and the README.

import sys as _sys
import types as _types


class _Package(_types.ModuleType):
    _SUBMODULES = frozenset({"orvik", "qualities", "sampling"})
    _FUNCTIONS = {"sample": "sampling"}

    def __getattr__(self, name: str) -> object:
        import importlib

        if name in self._SUBMODULES:
            return importlib.import_module(f"{self.__name__}.{name}")
        if name in self._FUNCTIONS:
            return getattr(
                importlib.import_module(f"{self.__name__}.{self._FUNCTIONS[name]}"), name
            )
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")

    def __setattr__(self, name: str, value: object) -> None:
        import types

        if name in self._SUBMODULES and isinstance(value, types.ModuleType):
            return
        super().__setattr__(name, value)


_sys.modules[__name__].__class__ = _Package

# The twelve names, in the extension's registration order; the package keeps
# the extension's docstring.
from .orvik import *  # noqa: E402, F403
from .orvik import __all__, __doc__  # noqa: E402, F401

__all__ = list(__all__)

del _Package, _sys, _types
