"""A velocity model of the Salish Sea built from real topography and bathymetry.

The region is matplotlib's ``topobathy.npz`` sample: 91 x 120 elevations on a
longitude/latitude grid over 126-122 W, 48-50 N (Vancouver Island, the Strait
of Georgia, Puget Sound and the Coast Mountains), in metres. Everything is
built in UTM zone 10 N (EPSG:32610), in metres; depth is metres below the
solid surface (the ground on land, the sea floor at sea).

Four mesh models, composited front to back by the model tree:

* ``water`` (priority 0, by depth): the sea between the sea floor and sea
  level, wherever the surface lies below sea level. Like the crust below, it
  is queried by depth below the surface, so that the sea ends exactly where
  the rock begins.
* ``Georgia basin`` (priority 1, by elevation): soft sediments under the Strait
  of Georgia, a quality per vertex (Vs grows with depth below the sea floor),
  opaque inside and fading to transparent at its rim. It is meshed in a local
  frame of its own (kilometres, along and across the strait) and placed by a
  world-to-local transform.
* ``continental crust`` (priority 10, by depth) and ``marine crust`` (priority
  20, by depth): the background, an adaptive TIN of the surface extruded down
  to 120 km and finished with ``depth_profile``. The continental model is
  opaque on land and fades out across a band along the coastline (its alpha is
  the signed distance to the coastline, smoothed), so that offshore the
  marine model behind it shows through.

Why the background's layer tops are depths below *sea level*: a 1-D Earth
model such as ak135 has no topography, and its discontinuities (20 km, the
Moho at 35 km) are not bent by the relief at the top. Each background vertex
therefore carries its depth below sea level, depth below the surface minus the
surface elevation, and the profile is evaluated at that attribute. Inside a
tetrahedron both terms are linear (the depth is the vertical coordinate; the
surface is linear over each TIN triangle), so the interpolated attribute is
exact up to the TIN's fit of the surface: the Moho stays flat, the top layer
starts exactly at the modelled surface, and the TIN's tolerance bounds the
model's error. The TIN fits two surfaces at once: the elevation, and the
coastal blending weight, so that triangles are small where the crust changes
across the coast.
"""

from __future__ import annotations

from dataclasses import dataclass

import contourpy
import numpy as np
from matplotlib.cbook import get_sample_data
from pyproj import Transformer

import orvik
from earth import ak135_profile, layer, sediment_quality, tetrahedron_volumes
from orvik import models

GEOGRAPHIC = "EPSG:4326"
MODEL_CRS = "EPSG:32610"  # UTM zone 10 N, metres

# Background layering: the depths (m below the surface) of the extruded levels.
LEVELS_M = np.array([0.0, 2e3, 6e3, 15e3, 28e3, 45e3, 70e3, 120e3])
COAST_BAND_M = 6e3  # half-width of the band where the two crusts blend
SURFACE_TOLERANCE_M = 25.0  # the TIN fits the elevation this closely at every node
WEIGHT_TOLERANCE = 0.05  # ... and the coastal blending weight this closely
MAX_EDGE_M = 15e3

# The Georgia basin: an ellipse along the Strait of Georgia.
BASIN_CENTRE_LONLAT = (-123.72, 49.27)
BASIN_AZIMUTH_DEG = 305.0  # direction of its long axis, clockwise from north
BASIN_RADII_KM = (62.0, 13.0)
BASIN_THICKNESS_KM = 4.5

PRIORITY = {"water": 0, "basin": 1, "continental": 10, "marine": 20}


@dataclass
class Region:
    lon: np.ndarray  # (n,) degrees east
    lat: np.ndarray  # (m,) degrees north
    x: np.ndarray  # (m, n) projected node coordinates, metres
    y: np.ndarray
    elevation: np.ndarray  # (m, n) metres above sea level
    surface: object  # StructuredGrid of the elevation over (x, y)
    outline: np.ndarray  # (B, 2) the grid's border, counter-clockwise
    to_model: Transformer  # lon/lat -> x/y
    to_geographic: Transformer


def load_region(stride: int = 1) -> Region:
    """The topobathy sample projected to UTM zone 10 N; every `stride`-th node."""
    data = get_sample_data("topobathy.npz")
    lon = np.asarray(data["longitude"], np.float64)[::stride] - 360.0
    lat = np.asarray(data["latitude"], np.float64)[::stride]
    elevation = np.asarray(data["topo"], np.float64)[::stride, ::stride]
    to_model = Transformer.from_crs(GEOGRAPHIC, MODEL_CRS, always_xy=True)
    to_geographic = Transformer.from_crs(MODEL_CRS, GEOGRAPHIC, always_xy=True)
    glon, glat = np.meshgrid(lon, lat)
    x, y = to_model.transform(glon, glat)
    surface = orvik.structured_grid(x, y, elevation)
    return Region(lon, lat, x, y, elevation, surface, border(x, y), to_model, to_geographic)


def border(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The outermost nodes of a grid, once each, counter-clockwise (rows go north)."""
    rows, cols = x.shape
    index = (
        [(0, j) for j in range(cols)]
        + [(i, cols - 1) for i in range(1, rows)]
        + [(rows - 1, j) for j in range(cols - 2, -1, -1)]
        + [(i, 0) for i in range(rows - 2, 0, -1)]
    )
    i, j = np.array(index).T
    return np.column_stack([x[i, j], y[i, j]])


# --- the coastline ------------------------------------------------------------


def coastline_rings(region: Region, pad_m: float = 60e3) -> list[np.ndarray]:
    """The zero contour of the surface as closed rings around the land.

    The grid is padded with a ring of sea nodes `pad_m` outside its border, so
    that land reaching the border is closed far from the region, where the
    closing segments cannot come near any point of the model.
    """
    x, y, z = region.x, region.y, region.elevation

    px, py = np.pad(x, 1, mode="edge"), np.pad(y, 1, mode="edge")
    # Push the padded nodes straight out from the grid's centre.
    cx, cy = x.mean(), y.mean()
    dx, dy = px - cx, py - cy
    dist = np.hypot(dx, dy)
    edge = np.ones_like(px, dtype=bool)
    edge[1:-1, 1:-1] = False
    px = np.where(edge, px + dx / dist * pad_m, px)
    py = np.where(edge, py + dy / dist * pad_m, py)
    pz = np.pad(z, 1, constant_values=-1.0)
    lines = contourpy.contour_generator(px, py, pz, line_type=contourpy.LineType.Separate).lines(
        0.0
    )
    return [np.asarray(line, np.float64) for line in lines if len(line) >= 4]


def ring_segments(rings: list[np.ndarray]) -> np.ndarray:
    """(S, 2, 2) float32 segments of the rings."""
    parts = [np.stack([r[:-1], r[1:]], axis=1) for r in rings]
    return np.concatenate(parts).astype(np.float32)


def onshore_weight(signed_distance: np.ndarray) -> np.ndarray:
    """1 on land beyond the coastal band, 0 at sea beyond it, smooth between."""
    t = np.clip(0.5 - signed_distance / (2.0 * COAST_BAND_M), 0.0, 1.0)
    return t * t * (3.0 - 2.0 * t)


# --- the background -----------------------------------------------------------


def crust_profile(top_layer: list[float], top_depth_km: float):
    """ak135 down to 150 km below sea level under a layer of its own above `top_depth_km`.

    ak135's table is read by orvik.models' reader (earth.ak135_profile).
    Returns the tops in metres below sea level and the (L, 5) layers.
    """
    ak = ak135_profile(max_depth_km=150.0)
    first = (
        int(np.searchsorted(ak.tops, top_depth_km, side="right")) - 1
    )  # the layer holding that depth
    tops = np.concatenate(
        [[0.0, top_depth_km], ak.tops[first + 1 :]]
    )  # the first top is never read
    layers = np.vstack([top_layer, ak.layers[first:]])
    return (tops * 1e3).astype(np.float32), layers.astype(np.float32)


CONTINENTAL = crust_profile(layer(2.55, 4.8, 2.75, 200.0), 2.0)  # weathered and fractured top
MARINE = crust_profile(layer(2.2, 3.2, 1.6, 80.0), 3.0)  # young marine sedimentary cover


@dataclass
class Background:
    vertices: np.ndarray  # (V, 2) TIN vertices, metres
    triangles: np.ndarray  # (T, 3)
    elevation: np.ndarray  # (V,) surface elevation at the vertices
    weight: np.ndarray  # (V,) onshore weight at the vertices


def background_tin(region: Region, coast) -> Background:
    """An adaptive TIN of the region that fits the elevation and the coastal weight."""
    nodes = np.column_stack([region.x.ravel(), region.y.ravel()])
    sd = coast.signed_distance(nodes[:, 0].astype(np.float32), nodes[:, 1].astype(np.float32))
    weight_grid = orvik.structured_grid(
        region.x, region.y, onshore_weight(sd.astype(np.float64)).reshape(region.x.shape)
    )
    spacing = 0.5 * float(np.hypot(*(nodes[1] - nodes[0])))
    vertices, triangles = orvik.adaptive_tin(
        region.outline,
        [
            (region.surface, nodes, spacing, SURFACE_TOLERANCE_M),
            (weight_grid, nodes, spacing, WEIGHT_TOLERANCE),
        ],
        max_edge=MAX_EDGE_M,
    )
    elevation, _ = region.surface.query_many(vertices[:, 0].copy(), vertices[:, 1].copy())
    vsd = coast.signed_distance(
        vertices[:, 0].astype(np.float32), vertices[:, 1].astype(np.float32)
    )
    return Background(vertices, triangles, elevation, onshore_weight(vsd.astype(np.float64)))


def km_frame(x0: float, y0: float, azimuth_deg: float = 90.0) -> np.ndarray:
    """World (m) to local (km) transform: origin (x0, y0), local x along `azimuth_deg`.

    Row-vector convention: [x y v 1] times the array gives the local point.
    """
    a = np.radians(90.0 - azimuth_deg)  # from the x axis, counter-clockwise
    c, s = np.cos(a), np.sin(a)
    t = np.zeros((4, 4))
    t[0, :2] = (c, -s)
    t[1, :2] = (s, c)
    t[:2, :2] *= 1e-3
    t[2, 2] = 1e-3
    t[3, 0] = -(x0 * c + y0 * s) * 1e-3
    t[3, 1] = -(-x0 * s + y0 * c) * 1e-3
    t[3, 3] = 1.0
    return t


def to_local(t: np.ndarray, x, y, v) -> np.ndarray:
    p = np.column_stack([x, y, v, np.ones_like(x)])
    return (p @ t)[:, :3]


def crust_model(
    region: Region, bg: Background, name: str, profile, alpha: np.ndarray, priority: int
):
    """The TIN extruded to LEVELS_M below the surface, queried by depth."""
    n = len(bg.vertices)
    levels = len(LEVELS_M)
    x = np.tile(bg.vertices[:, 0], levels)
    y = np.tile(bg.vertices[:, 1], levels)
    depth = np.repeat(LEVELS_M, n)
    t = km_frame(region.x.mean(), region.y.mean())
    vertices = to_local(t, x, y, depth).astype(np.float32)
    faces = models.prism_tetrahedra(bg.triangles, n, levels)
    # Each vertex's depth below sea level (see the module's docstring).
    below_sea_level = (depth - np.tile(bg.elevation, levels)).astype(np.float32)
    # Bounds from the vertices: in depth mode they span every elevation.
    bounds = models.mesh_bounds(vertices, "depth", t)
    builder = orvik.MeshModelBuilder(vertices, faces, priority, "depth", bounds)
    builder.transform(t.astype(np.float32)).name(name)
    tops, layers = profile
    return builder.depth_profile(
        np.tile(alpha, levels).astype(np.float32), below_sea_level, tops, layers
    )


def water_model(region: Region, bg: Background):
    """The sea, queried by depth: from the sea floor (depth 0, where the rock
    below begins) up to sea level, wherever the surface lies below sea level."""
    n = len(bg.vertices)
    floor = np.minimum(bg.elevation, 0.0)
    wet = (bg.elevation < 0.0)[bg.triangles].any(axis=1)
    triangles = bg.triangles[wet]
    x = np.tile(bg.vertices[:, 0], 2)
    y = np.tile(bg.vertices[:, 1], 2)
    depth = np.concatenate([np.zeros(n), floor])  # sea level is -elevation below the sea floor
    t = km_frame(region.x.mean(), region.y.mean())
    vertices = to_local(t, x, y, depth).astype(np.float32)
    faces = models.prism_tetrahedra(triangles, n, 2)
    # Along the coast a column has no height: drop the flat pieces.
    faces = faces[np.abs(tetrahedron_volumes(vertices, faces)) > 1e-6]
    sea = np.array([1.03, 1.5, 0.0, 1e4, 1e4, 1.0], np.float32)
    qualities = np.tile(sea, (2 * n, 1))
    used = np.unique(faces)  # bounds from the vertices the sea's tetrahedra use
    return models.mesh(
        vertices[used],
        np.searchsorted(used, faces),
        qualities[used],
        vertical="depth",
        priority=PRIORITY["water"],
        name="water",
        transform=t,
        # Where a triangle crosses the coast, its prism reaches above the
        # ground on the land side: the sea lies below sea level.
        elevation=(float(floor.min()), 0.0),
    )


def basin_model(region: Region, along: int = 41, across: int = 13, levels: int = 10):
    """Sediments under the Strait of Georgia, meshed along and across the strait."""
    cx, cy = region.to_model.transform(*BASIN_CENTRE_LONLAT)
    t = km_frame(cx, cy, BASIN_AZIMUTH_DEG)
    inverse = np.linalg.inv(t)
    a, b = BASIN_RADII_KM
    xi, eta, zeta = np.meshgrid(
        np.linspace(-1, 1, along),
        np.linspace(-1, 1, across),
        np.linspace(0, 1, levels),
        indexing="ij",
    )
    # The square onto the ellipse (Fong's elliptical grid mapping), smooth inside.
    u = a * xi * np.sqrt(1 - eta**2 / 2)
    v = b * eta * np.sqrt(1 - xi**2 / 2)
    r = np.sqrt((u / a) ** 2 + (v / b) ** 2)
    world = to_local(inverse, u.ravel(), v.ravel(), np.zeros(u.size))
    top, _ = region.surface.query_many(world[:, 0].copy(), world[:, 1].copy())
    top = top.reshape(u.shape) * 1e-3  # km
    thickness = BASIN_THICKNESS_KM * (1 - np.minimum(r, 1) ** 2) + 0.05
    depth = zeta * thickness
    vertices = np.column_stack([u.ravel(), v.ravel(), (top - depth).ravel()]).astype(np.float32)
    faces = models.lattice_tetrahedra((along, across, levels))
    alpha = np.clip((1.0 - r) / 0.3, 0.0, 1.0).ravel()
    qualities = sediment_quality(depth.ravel(), alpha)
    return models.mesh(
        vertices,
        faces,
        qualities,
        vertical="elevation",
        priority=PRIORITY["basin"],
        name="Georgia basin",
        transform=t,
    )


@dataclass
class SalishSea:
    region: Region
    coast: object  # PyCoastline
    rings: list  # the coastline's rings, projected metres
    background: Background
    tree: object  # PyModelTree


def build(stride: int = 1) -> SalishSea:
    region = load_region(stride)
    rings = coastline_rings(region)
    coast = orvik.coastline(ring_segments(rings))
    bg = background_tin(region, coast)
    models = [
        water_model(region, bg),
        basin_model(region),
        crust_model(
            region, bg, "continental crust", CONTINENTAL, bg.weight, PRIORITY["continental"]
        ),
        crust_model(
            region, bg, "marine crust", MARINE, np.ones(len(bg.vertices)), PRIORITY["marine"]
        ),
    ]
    return SalishSea(region, coast, rings, bg, orvik.model_tree(models))
