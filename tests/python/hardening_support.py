"""Shared builders and references for the hardening tests (bad input,
threads, leaks): small well-formed models, grids and coastlines, plus
independent float32 references derived from the documented arithmetic."""

import numpy as np
import pytest

import orvik


def api(name):
    """The public name, or skip while it is not registered yet."""
    obj = getattr(orvik, name, None)
    if obj is None:
        pytest.skip(f"orvik.{name} is not available in this build")
    return obj


def is_internal(exc):
    """The module's internal error derives directly from BaseException."""
    return type(exc).__bases__ == (BaseException,) and type(exc).__module__ == "orvik"


# The 8 corners of a box, corner k having bit 0 for x, bit 1 for y, bit 2 for z.
_CORNERS = np.array([[(k >> 0) & 1, (k >> 1) & 1, (k >> 2) & 1] for k in range(8)], dtype=np.float32)
# Kuhn's decomposition of a cube into six tetrahedra along the diagonal 0-7.
KUHN = np.array(
    [[0, 1, 3, 7], [0, 1, 5, 7], [0, 2, 3, 7], [0, 2, 6, 7], [0, 4, 5, 7], [0, 4, 6, 7]], dtype=np.uint64
)


def box_vertices(lo, hi):
    lo = np.asarray(lo, np.float32)
    hi = np.asarray(hi, np.float32)
    return (lo + _CORNERS * (hi - lo)).astype(np.float32)


def quality_rows(n, rho=2000.0, alpha=1.0):
    q = np.empty((n, 6), np.float32)
    q[:, 0] = rho
    q[:, 1] = 5000.0
    q[:, 2] = 3000.0
    q[:, 3] = 200.0
    q[:, 4] = 100.0
    q[:, 5] = alpha
    return q


def box_model(lo=(0, 0, 0), hi=(10, 10, 10), priority=0, vertical="elevation", rho=2000.0, alpha=1.0, name=""):
    """A PyMeshModel filling the box [lo, hi] with constant qualities."""
    builder = api("MeshModelBuilder")(
        box_vertices(lo, hi), KUHN.copy(), priority, vertical, tuple(float(v) for v in (*lo, *hi))
    )
    if name:
        builder.name(name)
    return builder.interpolated(quality_rows(8, rho, alpha))


def layered_tree():
    """Three overlapping models: an opaque one, a half transparent one in
    front of it, and a depth-mode one beside them."""
    a = box_model((0, 0, 0), (10, 10, 10), priority=5, rho=2000.0, alpha=1.0, name="base")
    b = box_model((2, 2, 2), (6, 6, 6), priority=1, rho=3000.0, alpha=0.5, name="lens")
    c = box_model((20, 0, 0), (30, 10, 10), priority=3, vertical="depth", rho=2500.0, alpha=1.0)
    return api("model_tree")([a, b, c])


def unit_square_coastline():
    seg = np.array(
        [[[0, 0], [1, 0]], [[1, 0], [1, 1]], [[1, 1], [0, 1]], [[0, 1], [0, 0]]], dtype=np.float32
    )
    return api("coastline")(seg)


def lattice_grid(m=4, n=5, angle=0.3):
    """A rotated m x n lattice whose node value is 2 * row + 3 * column."""
    i, j = np.meshgrid(np.arange(m, dtype=np.float64), np.arange(n, dtype=np.float64), indexing="ij")
    c, s = np.cos(angle), np.sin(angle)
    x = c * j - s * i
    y = s * j + c * i
    return api("structured_grid")(x, y, 2.0 * i + 3.0 * j)


# ---------------------------------------------------------------- references

def blend_reference(lhs, rhs):
    """Row-wise "over" blend, every step a float32 operation in the documented order."""
    f = np.asarray(lhs, np.float32)
    b = np.asarray(rhs, np.float32)
    out = np.empty((len(f), 6), np.float32)
    eps = np.float32(2.0**-23)
    one = np.float32(1)
    with np.errstate(all="ignore"):
        for i in range(len(f)):
            F, B = f[i], b[i]
            if F[5] < eps:
                out[i] = B
            elif B[5] < eps:
                out[i] = F
            else:
                wb = (one - F[5]) * B[5]
                a = F[5] + wb
                fw = F[5] / a
                bw = wb / a
                for k in range(3):
                    out[i, k] = B[k] * bw + F[k] * fw
                for k in (3, 4):
                    out[i, k] = one / ((one / F[k]) * fw + (one / B[k]) * bw)
                out[i, 5] = a
    return out


def coastline_reference(seg, px, py):
    """Brute-force signed distance in float32 (nearest segment, ray crossings)."""
    seg = np.asarray(seg, np.float32)
    out = np.empty(len(px), np.float32)
    if len(seg) == 0:
        out[:] = np.inf
        return out
    ax, ay, bx, by = seg[:, 0, 0], seg[:, 0, 1], seg[:, 1, 0], seg[:, 1, 1]
    xs = np.concatenate([ax, bx])
    far = np.float32(np.max(xs[~np.isnan(xs)]) if np.any(~np.isnan(xs)) else -np.inf) + np.float32(10.0)
    with np.errstate(all="ignore"):
        for k, (x, y) in enumerate(zip(np.float32(px), np.float32(py))):
            dx = bx - ax
            dy = by - ay
            len2 = dy * dy + dx * dx
            t = ((y - ay) * dy + (x - ax) * dx) / np.where(len2 > 0, len2, np.float32(1))
            t = np.minimum(np.maximum(t, np.float32(0)), np.float32(1))
            qx = np.where(len2 > 0, ax + dx * t, ax)
            qy = np.where(len2 > 0, ay + t * dy, ay)
            d2 = (y - qy) * (y - qy) + (x - qx) * (x - qx)
            d = np.sqrt(np.min(d2))
            rx0, rx1 = min(x, far), max(x, far)
            overlap = (
                (np.minimum(ax, bx) <= rx1) & (np.maximum(ax, bx) >= rx0)
                & (np.minimum(ay, by) <= y) & (np.maximum(ay, by) >= y)
            )
            span = (np.minimum(ay, by) <= y) & (y < np.maximum(ay, by))
            xc = ((bx - ax) * (y - ay)) / (by - ay) + ax
            inside = bool(np.count_nonzero(overlap & span & (xc > x)) % 2)
            out[k] = -d if inside else d
    return out


def same_bits(a, b):
    """Equal values, NaN matching NaN (any payload), -0 distinct from +0."""
    a = np.asarray(a)
    b = np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(nan | ((a == b) & (np.signbit(a) == np.signbit(b)))))
