"""Tetrahedra that fill lattices of hexahedra and stacks of triangular prisms,
for the mesh models that constructors and examples build."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["lattice_tetrahedra", "prism_tetrahedra"]


def lattice_tetrahedra(shape: tuple[int, int, int]) -> npt.NDArray[np.uint64]:
    """Six tetrahedra per cell of a lattice of ``shape = (ni, nj, nk)``
    vertices, vertex ``(i, j, k)`` being number ``(i * nj + j) * nk + k``.

    Every cell is cut around its main diagonal in the same way (one
    tetrahedron per order of the three axes), so neighbouring cells share
    their cut faces and the mesh is conforming. Returns ``(6 * cells, 4)``
    uint64 vertex indices: the first tetrahedron of every cell, then the
    second of every cell, and so on.
    """
    ni, nj, nk = shape
    if min(shape) < 2:
        return np.zeros((0, 4), np.uint64)
    i, j, k = np.meshgrid(np.arange(ni - 1), np.arange(nj - 1), np.arange(nk - 1), indexing="ij")
    base = ((i * nj + j) * nk + k).ravel()
    step = (nj * nk, nk, 1)
    tets = []
    for a, b, c in ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)):
        v1 = base + step[a]
        v2 = v1 + step[b]
        tets.append(np.stack([base, v1, v2, v2 + step[c]], axis=1))
    return np.concatenate(tets).astype(np.uint64)


def prism_tetrahedra(
    triangles: npt.ArrayLike, vertex_count: int, levels: int
) -> npt.NDArray[np.uint64]:
    """Three tetrahedra per prism of a triangle mesh stacked *levels* times,
    vertex ``v`` of level ``k`` being number ``k * vertex_count + v``.

    Each prism is cut by the rule "the diagonal of a side joins the smaller
    vertex index below to the larger above", which depends on that side's two
    vertices alone, so neighbouring prisms share their cut faces. Returns
    ``(3 * triangles * (levels - 1), 4)`` uint64 vertex indices.
    """
    t = np.sort(np.asarray(triangles, np.int64).reshape(-1, 3), axis=1)
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
