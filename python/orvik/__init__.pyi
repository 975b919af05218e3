# The package as type checkers see it: the twelve names of the compiled
# module, and the package's own layers that __init__.py serves on first use.

from . import orvik as orvik
from . import qualities as qualities
from . import sampling as sampling
from .orvik import (
    MeshModelBuilder as MeshModelBuilder,
    PyCoastline as PyCoastline,
    PyMeshModel as PyMeshModel,
    PyModelTree as PyModelTree,
    QueryCoordinates as QueryCoordinates,
    QueryParams as QueryParams,
    StructuredGrid as StructuredGrid,
    adaptive_tin as adaptive_tin,
    blend_many as blend_many,
    coastline as coastline,
    model_tree as model_tree,
    structured_grid as structured_grid,
)
from .sampling import sample as sample

__all__ = [
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
