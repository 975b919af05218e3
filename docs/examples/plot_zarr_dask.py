"""
Extraction to Zarr with Dask
============================

:func:`orvik.extract` writes the model on a regular volume into a Zarr store,
block by block: each block is one ``query_many`` call with the interpreter
lock released, run by Dask's scheduler (its threads here, or the workers of a
``dask.distributed`` client), and written as soon as it is computed, so the
volume may be larger than memory. The store is self-describing (CF-1.10
coordinates, units, a grid mapping) and records whether it is complete; an
interrupted extraction resumes where it stopped.
"""

import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import orvik
from velocity_model import EXTENT_KM, build_velocity_model, topography
from zarr_volume import topography_grid

tree = build_velocity_model()
store = Path(tempfile.mkdtemp()) / "volume.zarr"
axes = {
    "x": np.linspace(0.0, EXTENT_KM, 81),
    "y": np.linspace(0.0, EXTENT_KM, 81),
    "depth": np.linspace(0.0, 12.0, 25),
}
orvik.extract(
    tree, axes, store, surface=topography_grid(), chunks={"x": 27, "y": 27}, progress=False
)

volume = xr.open_zarr(store)
print(volume)
print(volume.attrs["orvik_extraction"], volume["vs"].attrs)

# %%
# Reading it back
# ---------------
# A horizontal slice 2 km below the surface and a vertical one, from the store.

fig, (top, side) = plt.subplots(1, 2, figsize=(11, 4), constrained_layout=True)
vs = volume["vs"]
mesh = top.pcolormesh(
    volume.x, volume.y, vs.sel(depth=2.0).transpose("y", "x"), cmap="magma", shading="auto"
)
top.set_aspect("equal")
top.set_title("Vs 2 km below the surface")
top.set_xlabel("x (km)")
top.set_ylabel("y (km)")
fig.colorbar(mesh, ax=top, label="Vs (km/s)")
middle = float(volume.y[40])
mesh = side.pcolormesh(
    volume.x, volume.depth, vs.sel(y=middle).transpose("depth", "x"), cmap="magma", shading="auto"
)
side.invert_yaxis()
side.set_title(f"Vs at y = {middle:g} km")
side.set_xlabel("x (km)")
side.set_ylabel("depth below the surface (km)")
fig.colorbar(mesh, ax=side, label="Vs (km/s)")
print(f"ground elevation at the centre: {float(topography(EXTENT_KM / 2, EXTENT_KM / 2)):.2f} km")
