"""
Site products: Vs30, Z1.0 and Z2.5
==================================

What ground-motion models take from a velocity model: the time-averaged
shear-wave speed of the top 30 m (Vs30, m/s) and the depths at which Vs first
reaches 1.0 and 2.5 km/s (Z1.0, Z2.5, metres). :func:`orvik.site.site_model`
gives them for a list of stations as the table OpenQuake reads; the functions
it calls work on whole arrays of sites, so a map costs one call.

The model is the Salish Sea's (every third node of the data).
"""

import matplotlib.pyplot as plt
import numpy as np

import salish_model as sm
from orvik import site

model = sm.build(stride=3)
crs = (sm.GEOGRAPHIC, sm.MODEL_CRS)
surface = model.region.surface

stations = {
    "lon": np.array([-123.12, -123.37, -123.7, -123.43, -124.1]),
    "lat": np.array([49.28, 48.43, 49.27, 48.12, 48.8]),
}
table = site.site_model(model.tree, stations, crs=crs, surface=surface)
table.index = ["Vancouver", "Victoria", "Strait of Georgia", "Port Angeles", "Vancouver Island"]
print(table)

# %%
# Maps
# ----
# Z1.0 over the region: deepest in the Georgia basin under the strait. NaN
# (white) where the top 30 m is sea, which has no Vs30, or where no model lies.

lon, lat = np.meshgrid(np.linspace(-125.8, -122.2, 90), np.linspace(48.1, 49.9, 50))
vs30 = site.vs30(model.tree, lon, lat, crs=crs, surface=surface)
z1 = site.z1p0(model.tree, lon, lat, crs=crs, surface=surface)

fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), constrained_layout=True, sharey=True)
for ax, values, label, cmap in (
    (axes[0], vs30, "Vs30 (m/s)", "viridis"),
    (axes[1], z1 / 1000, "Z1.0 (km)", "cividis_r"),
):
    mesh = ax.pcolormesh(lon, lat, values, cmap=cmap, shading="auto")
    ax.plot(stations["lon"], stations["lat"], "r^", ms=6)
    ax.set_aspect(1.0 / np.cos(np.radians(49.0)))
    ax.set_xlabel("longitude (degrees)")
    ax.set_xticks([-125.5, -124.5, -123.5, -122.5])
    fig.colorbar(mesh, ax=ax, label=label, shrink=0.8)
axes[0].set_ylabel("latitude (degrees)")
axes[0].set_title("Vs30, stations as triangles")
axes[1].set_title("Z1.0")
