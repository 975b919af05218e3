# Types of the compiled core, orvik.orvik, checked against the built module by
# mypy.stubtest; the docstrings are the module's own (a test compares them).
# Arrays are taken exactly as typed: one dtype and number of dimensions per
# parameter (given in the docstrings), never converted.

from collections.abc import Sequence
from typing import (
    Literal,
    NotRequired,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    type_check_only,
)

import numpy as np
import numpy.typing as npt

# The model kinds of orvik._native, which model_tree takes beside mesh models.
from ._native import PyColumnsModel, PyGridModel, _PlacedView

# The extension's registration order; mypy.stubtest checks these names
# against the module's own __all__.
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

_F32: TypeAlias = npt.NDArray[np.float32]
_F64: TypeAlias = npt.NDArray[np.float64]
_Box: TypeAlias = tuple[_F32, _F32]

@type_check_only
class _Quality(TypedDict):
    rho: float
    vp: float
    vs: float
    qp: float
    qs: float
    alpha: float

@type_check_only
class _ModelView(TypedDict):
    id: int
    name: str
    bounds: tuple[float, float, float, float, float, float]
    transform: tuple[float, ...] | None
    priority: int
    vertical: Literal["Elevation", "Depth"]
    size: int

@type_check_only
class _TreeView(TypedDict):
    models: list[_ModelView | _PlacedView]
    size: int

@type_check_only
class _QueryStats(TypedDict):
    aabb_tests: int
    simplex_tests: int
    hit_count: int
    output: _Quality | None
    elapsed: int

@type_check_only
class _Contribution(TypedDict):
    priority: int
    quality: _Quality
    # A grid or columns model's contribution also says where the point fell.
    kind: NotRequired[Literal["grid", "columns"]]
    model: NotRequired[int]
    name: NotRequired[str]
    cell: NotRequired[tuple[int, int, int]]
    tile: NotRequired[tuple[int, int]]
    layer: NotRequired[int]

@type_check_only
class _Explanation(TypedDict):
    contributions: list[_Contribution]
    output: _Quality | None
    termination: int | None

@final
class QueryCoordinates:
    """Coordinate arrays and optional boolean mask for a vectorised query.

    Bundles the four ``(N,)`` coordinate arrays and an optional ``(N,)``
    boolean mask into a single object so that `query_many` stays under the
    argument-count limit of the linter. The object holds no interpreter lock:
    the arrays are borrowed only during the actual query call.
    """
    def __new__(
        cls, x: _F32, y: _F32, z: _F32, depth: _F32, mask: npt.NDArray[np.bool_] | None = None
    ) -> Self: ...

@final
class QueryParams:
    """Parameters controlling a vectorised query (priority range).

    Bundles `priority_lo` and `priority_hi` into a single object so that
    `query_many` has a compact signature.
    """
    def __new__(cls, priority_lo: SupportsIndex, priority_hi: SupportsIndex) -> Self: ...

@final
class PyMeshModel:
    """Python-facing single tetrahedral mesh model.

    Wraps one native mesh model (a `MeshModel`) and exposes query, AABB,
    name and priority. Consumed when passed to `model_tree`: the model moves
    into the new `PyModelTree`, and this object answers no more.
    """
    def query(self, x: SupportsFloat, y: SupportsFloat, z: SupportsFloat) -> _Quality | None:
        """Query the mesh model at a single point.

        Returns a dict with keys `rho`, `vp`, `vs`, `qp`, `qs`, `alpha`,
        or `None` if the point lies outside this model's region.

        # Errors

        Returns `ValueError` if the model has been consumed by `model_tree()`.
        """
    def aabb(self) -> _Box:
        """Return the 3-D axis-aligned bounding box of this mesh model.

        Returns a pair ``(min_xyz, max_xyz)`` of shape-``(3,)`` float32 arrays.

        # Errors

        Returns `ValueError` if the model has been consumed by `model_tree()`.
        """
    @property
    def name(self) -> str:
        """Human-readable name assigned at construction time.

        Raises
        ------
        ValueError
            If the model has been consumed by `model_tree()`.
        """
    @property
    def priority(self) -> int:
        """Model priority (lower number = higher priority in the tree).

        Raises
        ------
        ValueError
            If the model has been consumed by `model_tree()`.
        """
    def view(self) -> _ModelView:
        """Return a serialisable Python dict describing this mesh model.

        # Errors

        Returns `ValueError` if the model has been consumed by `model_tree()`.
        """

@final
class PyModelTree:
    """Python-facing velocity model (a compiled [`ModelTree`])."""
    def query(
        self,
        x: SupportsFloat,
        y: SupportsFloat,
        z: SupportsFloat,
        depth: SupportsFloat,
        priority_lo: SupportsIndex,
        priority_hi: SupportsIndex,
    ) -> _Quality | None:
        """Query the velocity model at a single point.

        Only models whose priority falls in ``[priority_lo, priority_hi]`` contribute;
        the range 0 to 255 queries all models. `depth` is the point's depth below the
        topography, which depth-queried models read in place of `z`.

        Returns a dict ``{rho, vp, vs, qp, qs, alpha}``, or `None` if the point is
        outside all models.
        """
    def aabb(self) -> _Box:
        """Return the combined 3-D axis-aligned bounding box of all mesh models.

        Returns a pair ``(min_xyz, max_xyz)`` of shape-``(3,)`` float32 arrays.
        """
    def query_stats(
        self, x: SupportsFloat, y: SupportsFloat, z: SupportsFloat, depth: SupportsFloat
    ) -> _QueryStats:
        """Query with BVH traversal statistics (AABB tests, simplex tests, etc.).

        Returns a dict with keys `aabb_tests`, `simplex_tests`, `hit_count`,
        `output` (quality dict or `None`) and `elapsed` (nanoseconds).
        """
    def explain(
        self, x: SupportsFloat, y: SupportsFloat, z: SupportsFloat, depth: SupportsFloat
    ) -> _Explanation:
        """Return a full diagnostic breakdown listing each model's contribution.

        Returns a dict with keys `contributions` (list of dicts), `output` (quality
        dict or `None`) and `termination` (int or `None`).
        """
    def view(self) -> _TreeView:
        """Return a serialisable Python dict describing the model tree structure."""
    def query_many(self, out: _F32, coords: QueryCoordinates, params: QueryParams) -> None:
        """Query the model for many points at once, writing results into a
        caller-supplied output buffer (ufunc style).

        Python is responsible for allocating (and zeroing) `out` before the call;
        this avoids an allocation in the native code and lets the caller reuse
        memory across calls.

        Parameters
        ----------
        out : ndarray
            ``(N, 6)`` float32 array that receives the results in place, columns
            ordered ``[rho, vp, vs, qp, qs, alpha]``. Rows for points outside all
            matching models are left unchanged.
        coords : QueryCoordinates
            The four ``(N,)`` float32 coordinate arrays and an optional boolean mask.
        params : QueryParams
            The priority bounds; ``QueryParams(0, 255)`` selects all models.

        The interpreter lock is released during the hot loop, so other Python
        threads can run concurrently.
        """
    def print_structure(self) -> None:
        """Print a human-readable summary of the model tree to stdout."""

@final
class MeshModelBuilder:
    def __new__(
        cls,
        vertices: _F32,
        faces: npt.NDArray[np.uint64],
        priority: SupportsIndex,
        vertical: Literal["elevation", "depth"],
        bounds: Sequence[SupportsFloat],
    ) -> Self: ...
    def transform(self, transform: _F32) -> Self:
        """Set the 4×4 world-to-local affine transform."""
    def name(self, name: str) -> Self:
        """Set the human-readable name (empty by default)."""
    def interpolated(self, qualities: _F32) -> PyMeshModel:
        """Finish with barycentric interpolation of the ``(N, 6)`` quality of
        each vertex.
        """
    def depth_profile(self, alpha: _F32, depth: _F32, tops: _F32, layers: _F32) -> PyMeshModel:
        """Finish with a 1-D depth profile, evaluated at the barycentrically
        interpolated depth below the profile's reference surface.

        Parameters
        ----------
        alpha
            ``(N,)`` alpha of each vertex.
        depth
            ``(N,)`` depth of each vertex below the reference surface.
        tops
            ``(L,)`` depth of the top of each layer, strictly increasing after
            the first, which is ignored: the first layer extends upwards
            without limit.
        layers
            ``(L, 5)`` ``[rho, vp, vs, qp, qs]`` of each layer.
        """

def model_tree(
    mesh_models: Sequence[PyMeshModel | PyGridModel | PyColumnsModel],
) -> PyModelTree:
    """Combine one or more [`PyMeshModel`]s into a queryable [`PyModelTree`].

    Each `PyMeshModel` is consumed (its inner data is moved out), so it cannot
    be reused after this call.

    # Errors

    Returns `ValueError` if a `PyMeshModel` has already been consumed.
    """

def blend_many(lhs: _F32, rhs: _F32) -> _F32:
    """Vectorised Porter-Duff "over" blend of two ``(N, 6)`` quality arrays.

    Each row of *lhs* (the foreground) is composited over the corresponding row
    of *rhs* (the background) with the same ``Quality::blend`` formula that the
    model tree's query loop uses. Columns are ordered rho, vp, vs, qp, qs, alpha.

    The package calls this from ``orvik.qualities.blend`` via xarray's
    ``apply_ufunc``, so that Python and xarray orchestrate the spatial
    dimensions while the hot loop runs natively with the interpreter lock
    released.
    """

@final
class StructuredGrid:
    """A structured grid of Cartesian nodes, interpolated bilinearly.

    Nodes need not lie on an axis-aligned lattice: the grid may be rotated,
    sheared or gently curved. Instances come only from `structured_grid`.
    """
    def query(
        self, x: SupportsFloat, y: SupportsFloat, clamp: bool | np.bool_ = True
    ) -> tuple[float, bool]:
        """Interpolate at one point, returning `(value, outside)`.

        A point outside the grid is clamped onto its edge when `clamp` is
        true, and takes NaN otherwise.
        """
    def query_many(
        self, x: _F64, y: _F64, clamp: bool | np.bool_ = True
    ) -> tuple[_F64, npt.NDArray[np.bool_]]:
        """Interpolate at many points, each as `query` does.

        `x` and `y` are `(N,)` float64 arrays; the loop runs with the
        interpreter lock released.

        Returns the `(N,)` interpolated values and an `(N,)` boolean mask
        of the points outside the grid.
        """

def structured_grid(x: _F64, y: _F64, values: _F64) -> StructuredGrid:
    """Create a [`PyStructuredGrid`] from `(m, n)` NumPy arrays of Cartesian node
    coordinates (`x`, `y`) and node values (`values`).

    The three float64 arrays must share one shape with at least two rows and
    two columns; they are copied, so later changes to them do not affect the
    grid. The result is a `StructuredGrid`: the class that the first line
    calls `PyStructuredGrid` is registered under that name.
    """

def adaptive_tin(
    boundary: _F64,
    surfaces: Sequence[tuple[StructuredGrid, _F64, SupportsFloat, SupportsFloat]],
    max_edge: SupportsFloat | None = None,
) -> tuple[_F64, npt.NDArray[np.int64]]:
    """Triangulate a polygon to fit gridded surfaces within vertical tolerances.

    The polygon is triangulated with its edges as constraints and refined,
    iteration by iteration, until linear interpolation over the triangles
    reproduces every surface within its tolerance at its samples and along
    the boundary (see the native ``adaptive_tin`` refinement for the rules).
    The refinement runs with the interpreter lock released.

    Parameters
    ----------
    boundary : numpy.ndarray
        ``(B, 2)`` float64 polygon vertices, without repeating the first.
    surfaces : sequence of tuple
        Per surface ``(grid, samples, boundary_spacing, tolerance)``: the
        surface's `StructuredGrid`; the ``(N, 2)`` float64 positions inside
        the polygon where the TIN must fit it; the spacing of the points
        along the boundary where it must also fit it; and the largest
        vertical error to leave there.
    max_edge : float, optional
        The longest edge length allowed for triangles inside the polygon.

    Returns
    -------
    vertices, triangles : numpy.ndarray
        The ``(V, 2)`` float64 vertex positions and the ``(T, 3)`` int64
        counter-clockwise vertex indices of the triangles inside the polygon.
    """

@final
class PyCoastline:
    """Python-facing coastline for signed-distance queries."""
    def __len__(self) -> int: ...
    def signed_distance(self, x: _F32, y: _F32) -> _F32:
        """Signed distance from each point to the coastline, negative inside.

        Parameters
        ----------
        x, y :
            Two 1-D float arrays of the same length.

        Returns
        -------
        numpy.ndarray
            Distances, negative where the point lies inside the coastline.
        """

def coastline(segments_py: _F32) -> PyCoastline:
    """Build a [`PyCoastline`] from an array of segments.

    Parameters
    ----------
    segments_py :
        A ``(S, 2, 2)`` float32 array of segment endpoints, indexed
        ``[segment, endpoint, (x, y)]``. The segments are expected to close
        into one or more rings.
    """
