"""Small mesh models for the model tree tests, and a float32 reference blend."""

import numpy as np

import orvik

# The unit cube split into five tetrahedra: four corner ones and a central one.
CUBE = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32)
FIVE_TETS = np.array([[0, 3, 5, 1], [0, 3, 6, 2], [0, 5, 6, 4], [3, 5, 6, 7], [0, 3, 5, 6]], np.uint64)

F32 = np.float32


def quality_row(rho, alpha, vp=None, vs=None, qp=80.0, qs=40.0):
    vp = 2.0 * rho if vp is None else vp
    vs = rho if vs is None else vs
    return np.array([rho, vp, vs, qp, qs, alpha], np.float32)


def cube_model(lo, size, row, priority, vertical="elevation", name=None, bounds=None,
               tets=FIVE_TETS):
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
    builder = orvik.MeshModelBuilder(np.zeros((0, 3), np.float32), np.zeros((0, 4), np.uint64),
                                     priority, "elevation", bounds)
    if name is not None:
        builder.name(name)
    return builder.interpolated(np.zeros((0, 6), np.float32))


def as_row(d):
    return np.array([d[k] for k in ("rho", "vp", "vs", "qp", "qs", "alpha")], np.float32)


def ref_blend(f, b):
    """Porter-Duff "over" in float32, step by step (foreground f over b)."""
    f = np.asarray(f, np.float32)
    b = np.asarray(b, np.float32)
    eps = F32(2.0**-23)
    if f[5] < eps:
        return b.copy()
    if b[5] < eps:
        return f.copy()
    one = F32(1)
    wb = F32((one - f[5]) * b[5])
    a = F32(f[5] + wb)
    fw = F32(f[5] / a)
    bw = F32(wb / a)
    out = np.empty(6, np.float32)
    for k in range(3):
        out[k] = F32(F32(b[k] * bw) + F32(f[k] * fw))
    for k in (3, 4):
        out[k] = F32(one / F32(F32(F32(one / f[k]) * fw) + F32(F32(one / b[k]) * bw)))
    out[5] = a
    return out


def internal_error(excinfo):
    """True when the raised exception is the module's internal error."""
    t = excinfo.type
    return t.__bases__ == (BaseException,) and not issubclass(t, Exception)
