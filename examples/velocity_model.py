"""A sample regional velocity model: a sedimentary basin over the ak135 Earth.

Two mesh models make up the velocity model:

* ``ak135`` - a layered background, a tetrahedral block queried by depth below
  the topography and finished with ``depth_profile`` from the ak135 table
  (``data/ak135_upper.tvel``); the gradient zones of the table are split into
  thin constant layers.
* ``basin`` - a bowl of soft sediments queried by elevation, with a quality per
  vertex: Vs grows with depth below the topography and Vp and density follow
  from Brocher's (2005) regressions. Its alpha fades from 1 in the basin to 0
  at the rim, so that the sediments blend smoothly into the crust below. The
  basin is meshed in its own local frame, centred on the origin, and placed by
  a world-to-local transform.

The basin has priority 0 and sits in front of the background (priority 10).
Horizontal coordinates, elevation and depth are in kilometres.
"""

from __future__ import annotations

import numpy as np

import orvik
from earth import ak135_profile, sediment_quality
from orvik import models

EXTENT_KM = 200.0  # the model is a square of this side
BASE_DEPTH_KM = 660.0  # the background reaches the transition zone
BASIN_CENTRE = (90.0, 110.0)
BASIN_RADII = (55.0, 35.0)  # elliptical outline, x and y half-axes
BASIN_DEPTH_KM = 6.0  # deepest sediment fill
BASIN_PRIORITY = 0
BACKGROUND_PRIORITY = 10


def topography(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Elevation of the ground in km: a gentle ridge to the north-east."""
    x = np.asarray(x, np.float64)
    y = np.asarray(y, np.float64)
    ridge = 1.2 * np.exp(-(((x - 170.0) / 40.0) ** 2 + ((y - 170.0) / 50.0) ** 2))
    return 0.2 + ridge + 0.05 * np.sin(x / 17.0) * np.cos(y / 23.0)


# --- the ak135 background ----------------------------------------------------


def background_model(spacing_km: float = 10.0, depth_step_km: float = 10.0):
    """The ak135 block: 0 to 660 km below the topography, queried by depth."""
    xs = np.arange(0.0, EXTENT_KM + 0.5 * spacing_km, spacing_km)
    ds = np.arange(0.0, BASE_DEPTH_KM + 0.5 * depth_step_km, depth_step_km)
    gx, gy, gd = np.meshgrid(xs, xs, ds, indexing="ij")
    vertices = np.column_stack([gx.ravel(), gy.ravel(), gd.ravel()]).astype(np.float32)
    faces = models.lattice_tetrahedra((len(xs), len(xs), len(ds)))
    profile = ak135_profile()
    # Bounds from the vertices: in depth mode they span every elevation.
    bounds = models.mesh_bounds(vertices, "depth")
    builder = orvik.MeshModelBuilder(vertices, faces, BACKGROUND_PRIORITY, "depth", bounds)
    builder.name("ak135")
    depth = vertices[:, 2].copy()  # each vertex's depth attribute
    alpha = np.ones(len(vertices), np.float32)
    return builder.depth_profile(alpha, depth, profile.tops, profile.layers)


# --- the basin -----------------------------------------------------------------


def basin_thickness(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Sediment thickness (km) at local position (u, v); a thin skin outside."""
    r2 = (u / BASIN_RADII[0]) ** 2 + (v / BASIN_RADII[1]) ** 2
    return np.maximum(BASIN_DEPTH_KM * (1.0 - r2), 0.0) + 0.05


def basin_model(spacing_km: float = 2.5, levels: int = 12):
    """The basin: a bowl under the topography, queried by elevation."""
    half = (BASIN_RADII[0] + 5.0, BASIN_RADII[1] + 5.0)
    us = np.arange(-half[0], half[0] + 0.5 * spacing_km, spacing_km)
    vs = np.arange(-half[1], half[1] + 0.5 * spacing_km, spacing_km)
    ss = np.linspace(0.0, 1.0, levels + 1)  # 0 at the ground, 1 at the basement
    gu, gv, gs = np.meshgrid(us, vs, ss, indexing="ij")
    cx, cy = BASIN_CENTRE
    ground = topography(gu + cx, gv + cy)
    thickness = basin_thickness(gu, gv)
    depth = gs * thickness
    vertices = np.column_stack([gu.ravel(), gv.ravel(), (ground - depth).ravel()]).astype(
        np.float32
    )
    faces = models.lattice_tetrahedra((len(us), len(vs), len(ss)))

    # Opaque inside the basin, fading to transparent over the outer part.
    r = np.sqrt((gu / BASIN_RADII[0]) ** 2 + (gv / BASIN_RADII[1]) ** 2)
    alpha = np.clip((1.0 - r) / 0.25, 0.0, 1.0).ravel()
    qualities = sediment_quality(depth.ravel(), alpha)

    # World to local: a translation, the fourth row of the row-vector transform.
    transform = np.eye(4, dtype=np.float32)
    transform[3, :3] = (-cx, -cy, 0.0)
    return models.mesh(
        vertices,
        faces,
        qualities,
        vertical="elevation",
        priority=BASIN_PRIORITY,
        name="basin",
        transform=transform,
    )


def build_velocity_model():
    """The compiled velocity model (a PyModelTree): the basin over ak135."""
    return orvik.model_tree([basin_model(), background_model()])


def query_points(tree, x, y, z, priority_lo: int = 0, priority_hi: int = 255) -> np.ndarray:
    """Qualities (N, 6) at elevation z, NaN where no model lies (the air)."""
    x = np.ascontiguousarray(x, np.float32)
    y = np.ascontiguousarray(y, np.float32)
    z = np.ascontiguousarray(z, np.float32)
    depth = (topography(x, y) - z).astype(np.float32)
    out = np.full((len(x), 6), np.nan, np.float32)
    tree.query_many(
        out, orvik.QueryCoordinates(x, y, z, depth), orvik.QueryParams(priority_lo, priority_hi)
    )
    return out
