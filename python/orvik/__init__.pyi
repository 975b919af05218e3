# The package as type checkers see it: the twelve names of the compiled
# module, and the package's own layers that __init__.py serves on first use.

from . import orvik as orvik
from . import qualities as qualities
from . import sampling as sampling
from .orvik import (
    MeshModelBuilder as MeshModelBuilder,
)
from .orvik import (
    PyCoastline as PyCoastline,
)
from .orvik import (
    PyMeshModel as PyMeshModel,
)
from .orvik import (
    PyModelTree as PyModelTree,
)
from .orvik import (
    QueryCoordinates as QueryCoordinates,
)
from .orvik import (
    QueryParams as QueryParams,
)
from .orvik import (
    StructuredGrid as StructuredGrid,
)
from .orvik import (
    adaptive_tin as adaptive_tin,
)
from .orvik import (
    blend_many as blend_many,
)
from .orvik import (
    coastline as coastline,
)
from .orvik import (
    model_tree as model_tree,
)
from .orvik import (
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
