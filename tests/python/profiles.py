"""Velocity models whose Vs along every vertical line is a known piecewise
linear function, and the exact travel times and crossings of such profiles:
the analytic oracle of the site product tests."""

import math

import numpy as np

import orvik
from conftest import kuhn_block

EXTENT = 100.0  # the models span [0, EXTENT] in x and y


def column_model(levels, speeds, *, vertical="depth", priority=0, cubes=2, name=""):
    """A mesh model whose Vs (km/s) is `speeds[k]` at vertical coordinate
    `levels[k]` and linear in between. A level given twice is a jump: the
    slabs on either side have vertices of their own. `vertical` chooses
    whether the coordinate is the depth or the elevation."""
    vertices, faces = [], []
    for k in range(len(levels) - 1):
        lo, hi = levels[k], levels[k + 1]
        if hi == lo:
            continue
        v, f = kuhn_block((cubes, cubes, 1))
        v = v.astype(np.float64)
        v[:, :2] *= EXTENT / cubes
        top = v[:, 2] > 0.5
        v[:, 2] = np.where(top, hi, lo)
        s = np.where(top, speeds[k + 1], speeds[k])
        faces.append(f + sum(len(p) for p in vertices))
        vertices.append(np.column_stack([v, s]))
    block = np.concatenate(vertices)
    q = np.empty((len(block), 6), np.float32)
    q[:, 0] = 2.0
    q[:, 1] = 2.0 * block[:, 3]
    q[:, 2] = block[:, 3]
    q[:, 3:5] = (100.0, 50.0)
    q[:, 5] = 1.0
    xyz = block[:, :3].astype(np.float32)
    # The tree tests the elevation against the declared box, whatever the
    # vertical mode: a depth model's box spans every elevation of interest.
    low, high = (min(levels), max(levels)) if vertical == "elevation" else (-1e5, 1e5)
    bounds = (0.0, 0.0, float(low), EXTENT, EXTENT, float(high))
    builder = orvik.MeshModelBuilder(xyz, np.concatenate(faces), priority, vertical, bounds)
    return builder.name(name).interpolated(q)


class Profile:
    """Vs in m/s against depth below the surface: pieces (d0, d1, v0, v1),
    linear within each, in depth order (the float32 values the model holds)."""

    def __init__(self, depths, speeds_m_s):
        d = [float(np.float32(v)) for v in depths]
        s = [float(v) for v in speeds_m_s]
        self.pieces = [
            (d[k], d[k + 1], s[k], s[k + 1]) for k in range(len(d) - 1) if d[k + 1] > d[k]
        ]

    @classmethod
    def of_model(cls, levels, speeds_km_s, vertical="depth", top=0.0):
        """The profile below a site whose surface is at elevation `top`, for
        a column_model built with these levels and speeds."""
        speeds = [float(np.float32(v)) * 1000.0 for v in speeds_km_s]
        levels = [float(np.float32(v)) for v in levels]
        if vertical == "depth":
            return cls(levels, speeds)
        depths = [top - v for v in levels]
        return cls(depths[::-1], speeds[::-1])

    def time(self, d0, d1):
        """The exact travel time from depth d0 down to d1."""
        total = 0.0
        for a, b, va, vb in self.pieces:
            lo, hi = max(a, d0), min(b, d1)
            if hi <= lo:
                continue
            slope = (vb - va) / (b - a)
            u, w = va + slope * (lo - a), va + slope * (hi - a)
            total += (hi - lo) / u if u == w else (hi - lo) * math.log(w / u) / (w - u)
        return total

    def sampled_crossing(self, target, step):
        """The crossing as a scan every `step` metres finds it: the first
        crossing after the last sample below the target before the first
        sample at or above it."""
        k = 0
        while k * step <= 1e4:
            if self.at(k * step) >= target:
                return 0.0 if k == 0 else self.crossing(target, (k - 1) * step)
            k += 1
        return math.nan

    def vs30(self):
        return 30.0 / self.time(0.0, 30.0)

    def at(self, depth):
        """Vs at `depth` (the upper piece's value at a jump)."""
        for a, b, va, vb in self.pieces:
            if a <= depth <= b:
                return va + (vb - va) * (depth - a) / (b - a)
        return math.nan

    def crossing(self, target, start=0.0):
        """The first depth below `start` at which Vs reaches `target` (NaN
        if never)."""
        for a, b, va, vb in self.pieces:
            if b <= start:
                continue
            if a < start:
                va, a = va + (vb - va) * (start - a) / (b - a), start
            if va >= target:
                return a
            if vb >= target:
                return a + (target - va) * (b - a) / (vb - va)
        return math.nan

    def breakpoints(self, d0, d1):
        """Depths in (d0, d1) where the profile kinks or jumps."""
        points = []
        for (a, b, va, vb), (c, e, vc, ve) in zip(self.pieces, self.pieces[1:]):
            smooth = (
                b == c
                and vb == vc
                and math.isclose((vb - va) / (b - a), (ve - vc) / (e - c), rel_tol=1e-12)
            )
            if not smooth and d0 < b < d1:
                points.append(b)
        return points

    def vs_range(self, d0, d1):
        values = [v for a, b, va, vb in self.pieces if b > d0 and a < d1 for v in (va, vb)]
        return min(values), max(values)


def surface_plane(top=0.0, slope=(0.0, 0.0)):
    """A StructuredGrid of elevations over the models' extent: a plane."""
    g = np.linspace(-10.0, EXTENT + 10.0, 5)
    x, y = np.meshgrid(g, g, indexing="ij")
    return orvik.structured_grid(x, y, top + slope[0] * x + slope[1] * y)
