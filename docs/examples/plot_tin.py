"""
An adaptive TIN of the topography
=================================

:func:`orvik.adaptive_tin` triangulates a polygon and refines it until linear
interpolation over the triangles reproduces a gridded surface within a
vertical tolerance at every sample: small triangles where the relief is
rough, large ones where it is smooth. The Salish Sea model's background crust
is such a TIN, extruded into tetrahedra.
"""

import matplotlib.pyplot as plt
import numpy as np

import orvik
import salish_model as sm

region = sm.load_region(stride=2)
samples = np.column_stack([region.x.ravel(), region.y.ravel()])
inside = region.outline  # the grid's border, counter-clockwise

fig, axes = plt.subplots(1, 2, figsize=(11, 4.6), constrained_layout=True, sharey=True)
for ax, tolerance in zip(axes, (200.0, 50.0)):
    vertices, triangles = orvik.adaptive_tin(
        inside, [(region.surface, samples, 5e3, tolerance)], max_edge=40e3
    )
    # The TIN's error at the samples never exceeds the tolerance.
    elevation, _ = region.surface.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    ax.tripcolor(
        vertices[:, 0] / 1e3,
        vertices[:, 1] / 1e3,
        triangles,
        elevation,
        cmap="gist_earth",
        shading="gouraud",
        vmin=-2500,
        vmax=2500,
    )
    ax.triplot(vertices[:, 0] / 1e3, vertices[:, 1] / 1e3, triangles, color="k", lw=0.2)
    ax.set_aspect("equal")
    ax.set_title(f"within {tolerance:g} m: {len(triangles):,} triangles")
    ax.set_xlabel("easting, UTM 10 N (km)")
axes[0].set_ylabel("northing (km)")
print(f"{len(samples):,} samples of the elevation")
