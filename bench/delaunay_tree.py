"""The model that the load benchmarks build again: one mesh model over a
Delaunay tetrahedralisation of random points in a 1 km cube, with a quality
per vertex, and its build from the arrays (what a user does who has neither
a saved nor a pickled model)."""

import numpy as np
from scipy.spatial import Delaunay

import orvik


class DelaunayTree:
    def __init__(self, n_vertices: int, seed: int = 3) -> None:
        rng = np.random.default_rng(seed)
        vertices = rng.uniform(0, 1000, (n_vertices, 3))
        self.faces = Delaunay(vertices).simplices.astype(np.uint64)
        self.qualities = rng.uniform(1, 10, (n_vertices, 6)).astype(np.float32)
        self.qualities[:, 5] = 1
        self.vertices = vertices.astype(np.float32)

    def build(self) -> orvik.PyModelTree:
        model = orvik.MeshModelBuilder(
            self.vertices, self.faces, 0, "elevation", (0, 0, 0, 1000, 1000, 1000)
        ).interpolated(self.qualities)
        return orvik.model_tree([model])


def same_answers(a: orvik.PyModelTree, b: orvik.PyModelTree, n: int = 200_000) -> bool:
    """Whether two trees give the same bits at `n` random points over and
    around the cube."""
    points = np.random.default_rng(4).uniform(-10, 1010, (n, 3)).astype(np.float32)
    coords = orvik.QueryCoordinates(*(points[:, k].copy() for k in (0, 1, 2, 2)))
    outs = []
    for t in (a, b):
        out = np.full((n, 6), np.nan, np.float32)
        t.query_many(out, coords, orvik.QueryParams(0, 255))
        outs.append(out)
    return outs[0].tobytes() == outs[1].tobytes()
