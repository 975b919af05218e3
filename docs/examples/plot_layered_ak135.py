"""
A layered model from ak135
==========================

A 1-D Earth model such as ak135 is a table of depths and speeds; a depth listed
twice is a discontinuity. :func:`orvik.models.read_tvel` reads the ``.tvel``
form, :func:`orvik.models.layered` makes a model of it that is linear between
the table's depths and takes the layer below at a discontinuity.
"""

import matplotlib.pyplot as plt
import numpy as np

import orvik
from earth import AK135  # examples/data/ak135_upper.tvel
from orvik import models

table = models.read_tvel(AK135)
print(f"{len(table.depth)} rows, down to {table.depth[-1] / 1000:g} km")
ak135 = models.layered(table, priority=0, name="ak135")
tree = orvik.model_tree([ak135])

# %%
# The profile, queried
# --------------------
# Many points at once with :meth:`orvik.PyModelTree.query_many`: the model is
# queried by depth below the surface, which every point carries.

depth = np.linspace(0.0, 800e3, 4001, dtype=np.float32)
zeros = np.zeros_like(depth)
out = np.full((depth.size, 6), np.nan, np.float32)
tree.query_many(out, orvik.QueryCoordinates(zeros, zeros, -depth, depth), orvik.QueryParams(0, 255))

fig, ax = plt.subplots(figsize=(5, 6), constrained_layout=True)
for column, name in ((1, "Vp (km/s)"), (2, "Vs (km/s)"), (0, "density (g/cm^3)")):
    ax.plot(out[:, column], depth / 1000, label=name)
ax.plot(table.vp, table.depth / 1000, "k.", ms=3, label="table rows")
ax.invert_yaxis()
ax.set_xlabel("value")
ax.set_ylabel("depth (km)")
ax.set_title("ak135, upper 800 km")
ax.legend(loc="upper right")

# %%
# At the Moho, 35 km deep, the model takes the mantle's values:
print(tree.query(0.0, 0.0, -35e3, 35e3, 0, 255)["vp"])
