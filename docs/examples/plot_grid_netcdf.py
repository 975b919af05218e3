"""
A grid model from a NetCDF file
===============================

Published tomography models are often distributed as NetCDF files of speeds
on a rectilinear grid, with CF ``units`` attributes. :func:`orvik.models.grid`
reads such a dataset, converts each variable from the units it declares (here
m/s and kg/m^3) and interpolates trilinearly between the nodes.

The file here is written first, from a made-up basin model, so that the
example is self-contained.
"""

import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import orvik
from orvik import models

# A 40 x 30 km region, 0 to 8 km deep: a bowl-shaped basin of slow sediments.
x = np.linspace(0.0, 40e3, 41)
y = np.linspace(0.0, 30e3, 31)
depth = np.linspace(0.0, 8e3, 17)
X, Y, D = np.meshgrid(x, y, depth, indexing="ij")
floor = 5e3 * np.exp(-(((X - 20e3) / 12e3) ** 2) - ((Y - 15e3) / 8e3) ** 2)
vs = np.where(D < floor, 600.0 + 0.35 * D, 3200.0 + 0.05 * D)  # m/s
data = xr.Dataset(
    {
        "vs": (("x", "y", "depth"), vs, {"units": "m/s"}),
        "vp": (("x", "y", "depth"), 1.8 * vs + 300.0, {"units": "m/s"}),
        "rho": (("x", "y", "depth"), 1700.0 + 0.25 * vs, {"units": "kg/m^3"}),
    },
    coords={
        "x": ("x", x, {"units": "m"}),
        "y": ("y", y, {"units": "m"}),
        "depth": ("depth", depth, {"units": "m", "positive": "down"}),
    },
)
path = Path(tempfile.mkdtemp()) / "basin.nc"
data.to_netcdf(path)

# %%
# Reading it back
# ---------------
# Speeds come out in km/s and density in g/cm^3; the missing Q factors follow
# the empirical rule :func:`orvik.models.olsen_q`.

with xr.open_dataset(path) as dataset:
    basin = models.grid(dataset, priority=1, name="basin")
tree = orvik.model_tree([basin])
print(tree.query(20e3, 15e3, -1000.0, 1000.0, 0, 255))

# %%
# A vertical section
# ------------------

xs = xr.DataArray(np.linspace(0.0, 40e3, 161), dims="x")
ds = xr.DataArray(np.linspace(0.0, 8e3, 81), dims="depth")
section = orvik.sample(tree, xs, xr.DataArray(15e3), depth=ds).sel(quality="vs")
fig, ax = plt.subplots(figsize=(9, 3.6), constrained_layout=True)
mesh = ax.pcolormesh(xs / 1e3, ds / 1e3, section.T, cmap="viridis", shading="auto")
ax.invert_yaxis()
ax.set_xlabel("x (km)")
ax.set_ylabel("depth (km)")
ax.set_title("Vs at y = 15 km, read from a NetCDF grid")
fig.colorbar(mesh, ax=ax, label="Vs (km/s)")
