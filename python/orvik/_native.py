# Loads orvik._native, the package's second extension module, from the shared
# library of orvik.orvik, which defines both (PEP 489, "Multiple modules in
# one library": the import system can load such a module but not find it, so
# this file finds it). Both modules then share one frame and one set of types.
# The extension module replaces this file's module in sys.modules; the import
# statement returns it.

import importlib.machinery as _machinery
import importlib.util as _util
import sys as _sys

from . import orvik as _orvik

_loader = _machinery.ExtensionFileLoader(__name__, _orvik.__file__)
_spec = _util.spec_from_file_location(__name__, _orvik.__file__, loader=_loader)
_module = _util.module_from_spec(_spec)
_sys.modules[__name__] = _module
_loader.exec_module(_module)
