"""Writes numpy.inv, pyproj.inv and xarray.inv, the cross-reference inventories
of the NumPy, pyproj and xarray objects that these pages name.

Neither NumPy's nor pyproj's documentation is packaged for Debian or PyPI,
Debian's python-xarray-doc leaves its API pages out, and the build must not
fetch anything, so the entries are listed here by hand, each with the
address of its page in that project's published documentation. Run it again
after adding an entry: `python docs/_inventories/make_inventories.py`.
"""

import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent

NUMPY = {
    "numpy.ndarray": ("py:class", "reference/generated/numpy.ndarray.html#numpy.ndarray"),
    "numpy.dtype": ("py:class", "reference/generated/numpy.dtype.html#numpy.dtype"),
    "numpy.float32": ("py:attribute", "reference/arrays.scalars.html#numpy.float32"),
    "numpy.float64": ("py:attribute", "reference/arrays.scalars.html#numpy.float64"),
    "numpy.uint64": ("py:attribute", "reference/arrays.scalars.html#numpy.uint64"),
    "numpy.bool": ("py:attribute", "reference/arrays.scalars.html#numpy.bool"),
    "numpy.nan": ("py:data", "reference/constants.html#numpy.nan"),
    "numpy.typing.ArrayLike": ("py:data", "reference/typing.html#numpy.typing.ArrayLike"),
    "numpy.typing.NDArray": ("py:data", "reference/typing.html#numpy.typing.NDArray"),
    "numpy.testing.assert_allclose": (
        "py:function",
        "reference/generated/numpy.testing.assert_allclose.html#numpy.testing.assert_allclose",
    ),
}

XARRAY = (
    {
        name: ("py:class", f"generated/{name}.html#{name}")
        for name in ("xarray.DataArray", "xarray.Dataset")
    }
    | {
        name: ("py:function", f"generated/{name}.html#{name}")
        for name in ("xarray.apply_ufunc", "xarray.open_dataset", "xarray.open_zarr")
    }
    | {
        name: ("py:method", f"generated/{name}.html#{name}")
        for name in ("xarray.Dataset.to_zarr", "xarray.Dataset.to_netcdf")
    }
)

PYPROJ = {
    "pyproj.crs.CRS": ("py:class", "api/crs/crs.html#pyproj.crs.CRS"),
    "pyproj.CRS": ("py:class", "api/crs/crs.html#pyproj.crs.CRS"),
    "pyproj.transformer.Transformer": (
        "py:class",
        "api/transformer.html#pyproj.transformer.Transformer",
    ),
    "pyproj.Transformer": ("py:class", "api/transformer.html#pyproj.transformer.Transformer"),
}


def write(path: Path, project: str, entries: dict[str, tuple[str, str]]) -> None:
    header = (
        "# Sphinx inventory version 2\n"
        f"# Project: {project}\n"
        "# Version: stable\n"
        "# The remainder of this file is compressed using zlib.\n"
    )
    body = "".join(f"{name} {role} 1 {uri} -\n" for name, (role, uri) in sorted(entries.items()))
    path.write_bytes(header.encode() + zlib.compress(body.encode(), 9))


if __name__ == "__main__":
    write(HERE / "numpy.inv", "NumPy", NUMPY)
    write(HERE / "pyproj.inv", "pyproj", PYPROJ)
    write(HERE / "xarray.inv", "xarray", XARRAY)
