"""Earth-model pieces shared by the examples: the ak135 layers, sediment
properties after Brocher (2005) and the meshing of stacked cells.

Units: depth in km, speeds in km/s, density in g/cm^3.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parent / "data"


@dataclass
class Profile:
    tops: np.ndarray  # (L,) km
    layers: np.ndarray  # (L, 5) rho, vp, vs, qp, qs


def read_tvel(path: Path = DATA / "ak135_upper.tvel") -> np.ndarray:
    """Rows of depth (km), Vp, Vs (km/s), density (g/cm^3)."""
    return np.loadtxt(path, skiprows=2)


def shear_q(depth_km: float) -> float:
    """Qmu by depth, after the ak135-F attenuation model (rounded)."""
    if depth_km < 80.0:
        return 600.0
    if depth_km < 220.0:
        return 80.0
    return 143.0


def layer(rho: float, vp: float, vs: float, qs: float) -> list[float]:
    """[rho, vp, vs, qp, qs]; Qkappa is large, so Qp follows from Qs and Vs/Vp."""
    qp = 1.0 / ((4.0 / 3.0) * (vs / vp) ** 2 / qs)
    return [rho, vp, vs, qp, qs]


def ak135_profile(max_step_km: float = 5.0, max_depth_km: float = np.inf) -> Profile:
    """Piecewise-constant layers from the tvel table.

    A depth listed twice is a discontinuity; between listed depths the table
    grades linearly, and each graded interval is cut into layers no thicker
    than `max_step_km`, each with the value at its mid-depth.
    """
    rows = read_tvel()
    tops, layers = [], []
    for upper, lower in zip(rows[:-1], rows[1:]):
        d0, d1 = upper[0], lower[0]
        if d1 <= d0:
            continue  # a discontinuity: the next interval starts the new values
        if d0 >= max_depth_km:
            break
        count = max(1, int(np.ceil((d1 - d0) / max_step_km)))
        for s in range(count):
            top = d0 + (d1 - d0) * s / count
            mid = d0 + (d1 - d0) * (s + 0.5) / count
            f = (mid - d0) / (d1 - d0)
            vp, vs, rho = (1 - f) * upper[1:] + f * lower[1:]
            tops.append(top)
            layers.append(layer(rho, vp, vs, shear_q(mid)))
    return Profile(np.asarray(tops, np.float32), np.asarray(layers, np.float32))


def brocher_vp(vs: np.ndarray) -> np.ndarray:
    """Vp from Vs (km/s), Brocher (2005) eq. 9."""
    return 0.9409 + 2.0947 * vs - 0.8206 * vs**2 + 0.2683 * vs**3 - 0.0251 * vs**4


def brocher_rho(vp: np.ndarray) -> np.ndarray:
    """Density (g/cm^3) from Vp (km/s), Brocher (2005) eq. 1 (Nafe-Drake)."""
    return 1.6612 * vp - 0.4721 * vp**2 + 0.0671 * vp**3 - 0.0043 * vp**4 + 0.000106 * vp**5


def sediment_quality(depth_km: np.ndarray, alpha: np.ndarray) -> np.ndarray:
    """Rows [rho, vp, vs, qp, qs, alpha] of sediments `depth_km` below their top."""
    d = np.maximum(depth_km, 0.0)
    vs = 0.35 + 0.55 * d**0.7
    vp = brocher_vp(vs)
    rho = brocher_rho(vp)
    qs = 50.0 * vs
    qp = 2.0 * qs
    return np.column_stack([rho, vp, vs, qp, qs, alpha]).astype(np.float32)


def hex_grid_tetrahedra(nx: int, ny: int, nz: int) -> np.ndarray:
    """Six tetrahedra per cell of an (nx, ny, nz) vertex grid (Kuhn split).

    Every cell is cut along its main diagonal in the same way, so the faces of
    neighbouring cells match. Vertex (i, j, k) has index (i * ny + j) * nz + k.
    """
    i, j, k = np.meshgrid(np.arange(nx - 1), np.arange(ny - 1), np.arange(nz - 1), indexing="ij")
    base = ((i * ny + j) * nz + k).ravel()
    step = np.array([ny * nz, nz, 1])
    tets = []
    for a, b, c in ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)):
        v0 = base
        v1 = v0 + step[a]
        v2 = v1 + step[b]
        v3 = v2 + step[c]
        tets.append(np.stack([v0, v1, v2, v3], axis=1))
    return np.concatenate(tets).astype(np.uint64)


def prism_tetrahedra(triangles: np.ndarray, vertex_count: int, levels: int) -> np.ndarray:
    """Three tetrahedra per prism of a triangle mesh stacked `levels` times.

    Vertex v of level k has index k * vertex_count + v. Each prism is cut by
    the rule "the diagonal of a side joins the smaller vertex index below to
    the larger above", which depends on that side's two vertices alone, so
    that neighbouring prisms share their cut faces.
    """
    t = np.sort(np.asarray(triangles, np.int64), axis=1)
    a, b, c = t[:, 0], t[:, 1], t[:, 2]
    tets = []
    for k in range(levels - 1):
        lo, hi = k * vertex_count, (k + 1) * vertex_count
        tets += [
            np.stack([a + lo, b + lo, c + lo, c + hi], 1),
            np.stack([a + lo, b + lo, b + hi, c + hi], 1),
            np.stack([a + lo, a + hi, b + hi, c + hi], 1),
        ]
    return np.concatenate(tets).astype(np.uint64) if tets else np.zeros((0, 4), np.uint64)


def tetrahedron_volumes(vertices: np.ndarray, tets: np.ndarray) -> np.ndarray:
    """Signed volume (times 6) of each tetrahedron."""
    p = vertices.astype(np.float64)[tets.astype(np.int64)]
    return np.einsum("ij,ij->i", p[:, 0] - p[:, 3], np.cross(p[:, 1] - p[:, 3], p[:, 2] - p[:, 3]))
