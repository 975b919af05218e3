"""Helpers shared by the tests: small models, grids and coastlines; random
query points; an independent float32 reference of the "over" blend; a thread
runner; comparisons bit for bit. Test files import them by name
(`from conftest import ...`); pytest has already imported this module."""

import threading

import numpy as np

import orvik

F32 = np.float32

# ------------------------------------------------------------------ names

# The extension's twelve names in the order it registers them, and its
# classes: the one list the tests hold the module (its registration table),
# the package's __all__ and the stub against.
NAMES = [
    "QueryCoordinates",
    "QueryParams",
    "PyMeshModel",
    "PyModelTree",
    "MeshModelBuilder",
    "model_tree",
    "blend_many",
    "StructuredGrid",
    "structured_grid",
    "adaptive_tin",
    "PyCoastline",
    "coastline",
]
CLASSES = [n for n in NAMES if n[0].isupper()]

# ------------------------------------------------------------------ meshes

# The unit cube split into five tetrahedra: four corner ones and a central one.
CUBE = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32)
FIVE_TETS = np.array(
    [[0, 3, 5, 1], [0, 3, 6, 2], [0, 5, 6, 4], [3, 5, 6, 7], [0, 3, 5, 6]], np.uint64
)

# Kuhn's decomposition of a cube into six tetrahedra along the diagonal 0-7;
# corner k has bit 0 for x, bit 1 for y, bit 2 for z.
KUHN = np.array(
    [[0, 1, 3, 7], [0, 1, 5, 7], [0, 2, 3, 7], [0, 2, 6, 7], [0, 4, 5, 7], [0, 4, 6, 7]],
    dtype=np.uint64,
)
_CORNERS = np.array([[(k >> 0) & 1, (k >> 1) & 1, (k >> 2) & 1] for k in range(8)], np.float32)


def box_vertices(lo, hi):
    """The eight corners of the box [lo, hi], numbered as KUHN expects."""
    lo = np.asarray(lo, np.float32)
    hi = np.asarray(hi, np.float32)
    return (lo + _CORNERS * (hi - lo)).astype(np.float32)


def kuhn_block(cubes, origin=(0, 0, 0), step=1.0):
    """Vertices and faces of a block of nx x ny x nz cubes of side `step` at
    `origin`, six tetrahedra each, on shared lattice vertices."""
    nx, ny, nz = cubes
    axes = [np.arange(n + 1, dtype=np.float32) * np.float32(step) for n in (nx, ny, nz)]
    grid = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
    vertices = (grid + np.asarray(origin, np.float32)).astype(np.float32)
    index = np.arange(len(vertices)).reshape(nx + 1, ny + 1, nz + 1)

    def corner(bits):
        i, j, k = bits & 1, (bits >> 1) & 1, (bits >> 2) & 1
        return index[i : i + nx, j : j + ny, k : k + nz].reshape(-1)

    faces = np.concatenate([np.stack([corner(int(c)) for c in tet], 1) for tet in KUHN])
    return vertices, faces.astype(np.uint64)


# --------------------------------------------------------------- qualities


def quality_row(rho, alpha, vp=None, vs=None, qp=80.0, qs=40.0):
    vp = 2.0 * rho if vp is None else vp
    vs = rho if vs is None else vs
    return np.array([rho, vp, vs, qp, qs, alpha], np.float32)


def quality_rows(n, rho=2000.0, alpha=1.0):
    q = np.empty((n, 6), np.float32)
    q[:] = (rho, 5000.0, 3000.0, 200.0, 100.0, alpha)
    return q


def as_row(d):
    """A quality dict as its (6,) float32 row."""
    return np.array([d[k] for k in ("rho", "vp", "vs", "qp", "qs", "alpha")], np.float32)


def reference_blend(lhs, rhs):
    """Foreground `lhs` "over" background `rhs`, row by row (or one row), every
    step a float32 operation in the documented order."""
    f = np.atleast_2d(np.asarray(lhs, np.float32))
    b = np.atleast_2d(np.asarray(rhs, np.float32))
    one = F32(1)
    eps = F32(2.0**-23)
    fa, ba = f[:, 5:6], b[:, 5:6]
    with np.errstate(all="ignore"):
        wb = (one - fa) * ba
        a = fa + wb
        fw, bw = fa / a, wb / a
        out = np.empty_like(f)
        out[:, :3] = b[:, :3] * bw + f[:, :3] * fw
        # Q factors average harmonically.
        out[:, 3:5] = one / ((one / f[:, 3:5]) * fw + (one / b[:, 3:5]) * bw)
        out[:, 5:6] = a
    # A transparent background gives the foreground, a transparent foreground
    # the background (which wins when both are).
    only_f = ba[:, 0] < eps
    only_b = fa[:, 0] < eps
    out[only_f] = f[only_f]
    out[only_b] = b[only_b]
    return out if np.ndim(lhs) == 2 else out[0]


# ------------------------------------------------------------------ models


def cube_model(
    lo, size, row, priority, vertical="elevation", name=None, bounds=None, tets=FIVE_TETS
):
    """A cube of side `size` at corner `lo` with the same quality at every vertex."""
    vertices = (CUBE * F32(size) + np.asarray(lo, np.float32)).astype(np.float32)
    if bounds is None:
        bounds = tuple(float(v) for v in (*vertices.min(axis=0), *vertices.max(axis=0)))
    builder = orvik.MeshModelBuilder(vertices, tets, priority, vertical, bounds)
    if name is not None:
        builder.name(name)
    qualities = np.repeat(np.asarray(row, np.float32)[None, :], len(vertices), axis=0)
    return builder.interpolated(qualities)


def empty_model(priority=0, bounds=(0, 0, 0, 1, 1, 1), name=None):
    builder = orvik.MeshModelBuilder(
        np.zeros((0, 3), np.float32), np.zeros((0, 4), np.uint64), priority, "elevation", bounds
    )
    if name is not None:
        builder.name(name)
    return builder.interpolated(np.zeros((0, 6), np.float32))


def box_model(
    lo=(0, 0, 0), hi=(10, 10, 10), priority=0, vertical="elevation", rho=2000.0, alpha=1.0, name=""
):
    """A PyMeshModel filling the box [lo, hi] with constant qualities."""
    builder = orvik.MeshModelBuilder(
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
    return orvik.model_tree([a, b, c])


def unit_square_coastline():
    seg = np.array(
        [[[0, 0], [1, 0]], [[1, 0], [1, 1]], [[1, 1], [0, 1]], [[0, 1], [0, 0]]], dtype=np.float32
    )
    return orvik.coastline(seg)


def lattice_grid(m=4, n=5, angle=0.3):
    """A rotated m x n lattice whose node value is 2 * row + 3 * column."""
    i, j = np.meshgrid(
        np.arange(m, dtype=np.float64), np.arange(n, dtype=np.float64), indexing="ij"
    )
    c, s = np.cos(angle), np.sin(angle)
    x = c * j - s * i
    y = s * j + c * i
    return orvik.structured_grid(x, y, 2.0 * i + 3.0 * j)


# ------------------------------------------------------------------ points


def random_points(n, seed, x, y, z, depth):
    """Float32 coordinates x, y, z and depth, each uniform in its (lo, hi)
    range, drawn in that order from default_rng(seed)."""
    rng = np.random.default_rng(seed)
    return tuple(rng.uniform(lo, hi, n).astype(np.float32) for lo, hi in (x, y, z, depth))


# ----------------------------------------------------------------- threads


def run_threads(target, count=4):
    """Runs target(k) for k in range(count), each on its own thread, released
    together; re-raises the first failure in the calling thread."""
    barrier = threading.Barrier(count)
    errors = []

    def body(k):
        try:
            barrier.wait()
            target(k)
        except BaseException as exc:  # noqa: BLE001 - reported to the calling thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


# -------------------------------------------------------------- comparisons


def is_internal(exc):
    """The module's internal error: derived directly from BaseException."""
    return type(exc).__bases__ == (BaseException,) and type(exc).__module__ == "orvik"


def same_bits(a, b):
    """Same dtype and shape, NaN matching NaN (any payload), every other value
    bit for bit (so -0 differs from +0)."""
    a = np.asarray(a)
    b = np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(nan | ((a == b) & (np.signbit(a) == np.signbit(b)))))
