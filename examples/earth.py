"""Earth-model pieces shared by the examples: the ak135 layers and sediment
properties after Brocher (2005). The table is read, and cells are meshed, by
orvik.models.

Units: depth in km, speeds in km/s, density in g/cm^3.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

from orvik import models

DATA = Path(__file__).resolve().parent / "data"


@dataclass
class Profile:
    tops: np.ndarray  # (L,) km
    layers: np.ndarray  # (L, 5) rho, vp, vs, qp, qs


AK135 = DATA / "ak135_upper.tvel"


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
    table = models.read_tvel(AK135)
    # Rows of depth (km), Vp, Vs (km/s), density (g/cm^3).
    rows = np.column_stack([table.depth / 1e3, table.vp, table.vs, table.rho])
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


def tetrahedron_volumes(vertices: np.ndarray, tets: np.ndarray) -> np.ndarray:
    """Signed volume (times 6) of each tetrahedron."""
    p = vertices.astype(np.float64)[tets.astype(np.int64)]
    return np.einsum("ij,ij->i", p[:, 0] - p[:, 3], np.cross(p[:, 1] - p[:, 3], p[:, 2] - p[:, 3]))
