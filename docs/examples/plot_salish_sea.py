"""
The Salish Sea
==============

A velocity model of a real region, built from real topography and bathymetry:
matplotlib's ``topobathy.npz`` sample (Vancouver Island, the Strait of
Georgia, Puget Sound and the Coast Mountains) and the ak135 Earth model.
Four models are composited front to back: the sea, a sedimentary basin under
the strait, and a continental and a marine crust that blend across the
coastline (``examples/salish_model.py`` builds them; ``make demo`` runs the
full-resolution version).

Here every second node of the data is used, so the model builds in well under
a second.
"""

import time

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import orvik
import salish_model as sm

start = time.perf_counter()
model = sm.build(stride=2)
print(f"built in {time.perf_counter() - start:.2f} s")
print([m["name"] for m in model.tree.view()["models"]])

# %%
# Vs below the surface
# --------------------
# :func:`orvik.sample` maps longitude and latitude into the model's UTM frame
# with pyproj, and takes depth below the topography (the surface is a
# :class:`orvik.StructuredGrid` of the elevations).

lon = xr.DataArray(np.linspace(-125.9, -122.1, 160), dims="longitude")
lat = xr.DataArray(np.linspace(48.05, 49.95, 90), dims="latitude")
depth = xr.DataArray([1000.0, 20500.0], dims="depth")
vs = orvik.sample(
    model.tree,
    lon,
    lat,
    depth=depth,
    surface=model.region.surface,
    crs=(sm.GEOGRAPHIC, sm.MODEL_CRS),
).sel(quality="vs")

fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), constrained_layout=True, sharey=True)
for ax, d in zip(axes, depth.values):
    mesh = ax.pcolormesh(lon, lat, vs.sel(depth=d).T, cmap="magma", shading="auto")
    for ring in model.rings:
        rlon, rlat = model.region.to_geographic.transform(ring[:, 0], ring[:, 1])
        ax.plot(rlon, rlat, color="#1ec8e6", lw=0.6)
    ax.set_xlim(lon[0], lon[-1])
    ax.set_ylim(lat[0], lat[-1])
    ax.set_aspect(1.0 / np.cos(np.radians(49.0)))
    ax.set_title(f"Vs {d / 1000:g} km below the surface")
    ax.set_xlabel("longitude (degrees)")
    fig.colorbar(mesh, ax=ax, label="Vs (km/s)", shrink=0.8)
axes[0].set_ylabel("latitude (degrees)")

# %%
# A west-east section
# -------------------
# By elevation this time, through the middle of the strait: the sea, the slow
# basin under it, and the flat discontinuities of ak135 below.

lon = xr.DataArray(np.linspace(-125.6, -122.4, 200), dims="longitude")
lat = xr.DataArray(np.full(200, 49.3), dims="longitude")
z = xr.DataArray(np.linspace(2500.0, -8000.0, 120), dims="elevation")
section = orvik.sample(
    model.tree, lon, lat, z, surface=model.region.surface, crs=(sm.GEOGRAPHIC, sm.MODEL_CRS)
).sel(quality="vs")

fig, ax = plt.subplots(figsize=(11, 3.8), constrained_layout=True)
cmap = plt.get_cmap("magma").with_extremes(under="#3a8fd9", bad="white")
mesh = ax.pcolormesh(
    lon, z / 1000, section.transpose("elevation", "longitude"), cmap=cmap, vmin=0.3, shading="auto"
)
fig.colorbar(mesh, ax=ax, label="Vs (km/s); blue: the sea", extend="min")
ax.set_xlabel("longitude (degrees)")
ax.set_ylabel("elevation (km)")
ax.set_title("Vs at 49.3 N: Vancouver Island, the Strait of Georgia, the Coast Mountains")
