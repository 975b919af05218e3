"""Sphinx configuration of orvik's documentation site.

Builds offline: the cross-reference inventories of the projects we link to
are kept in _inventories/ (see _inventories/README.md), and the gallery's
examples run at build time on data that ships with the repository or with
matplotlib.
"""

from __future__ import annotations

import os
import sys
from importlib.metadata import version as _installed_version
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The gallery's examples import the helpers of examples/ (the Salish Sea model,
# ak135); the gallery's sort key lives here.
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(HERE))
# Gallery examples draw off screen.
os.environ.setdefault("MPLBACKEND", "Agg")

project = "orvik"
author = "the orvik developers"
copyright = "the orvik developers"
release = _installed_version("orvik")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "_inventories", "examples/README.rst", "**/*.ipynb", "**.md5"]
templates_path: list[str] = []

# Every cross-reference must resolve: a broken one is a warning, and the build
# treats warnings as errors.
nitpicky = True
nitpick_ignore_regex = [
    # Type hints written for type checkers, not pages of any inventory.
    (r"py:.*", r"(npt|np|xr|os|typing|collections\.abc)\..*"),
    (r"py:.*", r"(Any|Literal|Mapping|Sequence|Iterable|Callable|QRule|PathLike|Hashable)"),
    (r"py:.*", r"_native\..*"),
]

# Each project's inventory is read from a file kept here, never fetched.
_INVENTORIES = {
    "python": "https://docs.python.org/3/",
    "numpy": "https://numpy.org/doc/stable/",
    "xarray": "https://docs.xarray.dev/en/stable/",
    "dask": "https://docs.dask.org/en/stable/",
    "distributed": "https://distributed.dask.org/en/stable/",
    "pyproj": "https://pyproj4.github.io/pyproj/stable/",
}
intersphinx_mapping = {
    name: (url, str(HERE / "_inventories" / f"{name}.inv")) for name, url in _INVENTORIES.items()
}
intersphinx_timeout = 1

autodoc_typehints = "none"  # the numpydoc sections state the types
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "gallery_order.GalleryOrder",
    "abort_on_example_error": True,
    # Run every example at every build: a change to the package must not hide
    # behind an example's unchanged source.
    "run_stale_examples": True,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    # What an example prints is shown; the value of its last line (a matplotlib
    # artist, mostly) is not.
    "capture_repr": (),
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
    "show_memory": False,
    "show_signature": False,
    "min_reported_time": 0,
    "backreferences_dir": None,
    "thumbnail_size": (320, 224),
}

html_theme = "pydata_sphinx_theme"
html_title = f"orvik {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars = {"**": ["sidebar-nav-bs"], "index": []}
