"""Models in the forms the field distributes them, ready for :func:`orvik.model_tree`.

One constructor per form, each checking what it is given, converting units
and deriving the model's bounds, so that the tree never culls a point the
model contains:

:func:`grid`
    A rectilinear grid of qualities (a published tomography model), from an
    xarray Dataset or plain arrays: a grid model, interpolated trilinearly;
    or, when the grid's horizontal CRS is not the tree's, a tetrahedral mesh
    over its projected nodes.
:func:`layered`
    A 1-D model (ak135, iasp91, PREM) from a table or a ``.tvel`` or ``.nd``
    file: linear inside layers, discontinuities at repeated depths.
:func:`columns`
    A horizontal grid of tiles, each with its own stack of layers (the form of
    crustal models such as CRUST1.0).
:func:`mesh`
    Tetrahedra of your own, with a quality per vertex (:func:`mesh_bounds`
    gives the bounds of meshes finished otherwise).

Units and frame, those of the model tree: lengths in metres, x and y
horizontal, z the elevation (up) and depth measured down from the surface;
speeds in km/s, density in g/cm^3. Constructors convert from the units that
files declare (``m/s``, ``kg/m^3``, ``km``, ...). Quality factors missing
from the input come from *q_rule*, by default :func:`olsen_q`.

Every constructor raises ValueError or TypeError naming the argument when
its input is wrong, and builds nothing then.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from . import _native
from ._model_meshing import lattice_tetrahedra, prism_tetrahedra
from ._model_tables import LayeredTable, QRule, read_nd, read_tvel
from ._model_units import (
    QUALITY_KINDS,
    check_keys,
    check_plausible,
    check_vertical,
    factor,
    is_angle,
)
from .orvik import MeshModelBuilder, PyMeshModel
from .qualities import QUALITIES

if TYPE_CHECKING:
    import xarray as xr

__all__ = [
    "LayeredTable",
    "columns",
    "grid",
    "lattice_tetrahedra",
    "layered",
    "mesh",
    "mesh_bounds",
    "olsen_q",
    "prism_tetrahedra",
    "read_nd",
    "read_tvel",
]


#: Dimension names that :func:`grid` recognises in a Dataset, by role.
_DIM_NAMES = {
    "x": ("x", "easting", "lon", "longitude"),
    "y": ("y", "northing", "lat", "latitude"),
    "z": ("z", "elevation", "altitude", "height"),
    "depth": ("depth",),
}
_GEOGRAPHIC = {"lon", "longitude", "lat", "latitude"}


def olsen_q(
    vp: npt.ArrayLike, vs: npt.ArrayLike
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Quality factors from speeds: Qs = 50 Vs with Vs in km/s and Qp = 2 Qs
    (Olsen, Day and Bradley, 2003), and Qs = Qp = 10000 in fluids (Vs = 0).
    """
    vs = np.asarray(vs, np.float64)
    qs = np.where(vs > 0, 50.0 * vs, 1e4)
    qp = np.where(vs > 0, 2.0 * qs, 1e4)
    return qp, qs


# --- shared checks ----------------------------------------------------------------


def _vertical(vertical: str) -> Literal["elevation", "depth"]:
    if vertical not in ("elevation", "depth"):
        raise ValueError(f"vertical must be 'elevation' or 'depth', got {vertical!r}")
    return vertical  # type: ignore[return-value]


def _float_array(values: Any, what: str, ndim: int | None = None) -> npt.NDArray[np.float64]:
    try:
        a = np.asarray(values, np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"{what} must be an array of numbers; got {type(values).__name__}") from e
    if ndim is not None and a.ndim != ndim:
        raise ValueError(f"{what} must have {ndim} dimension(s); got shape {a.shape}")
    return a


def _axis(values: Any, what: str, repeats: bool = False) -> tuple[npt.NDArray[np.float64], bool]:
    """A 1-D axis of finite nodes, strictly increasing or strictly decreasing
    (a value repeated once inside the axis allowed when *repeats*); returned
    increasing, with whether it was reversed."""
    a = _float_array(values, what, 1)
    if a.size < 2:
        raise ValueError(f"{what} must hold at least two nodes; got {a.size}")
    bad = np.flatnonzero(~np.isfinite(a))
    if bad.size:
        raise ValueError(f"{what} must hold finite numbers; node {bad[0]} is {a[bad[0]]}")
    sign = 1.0 if a[-1] > a[0] else -1.0
    step = np.diff(a) * sign
    broken = np.flatnonzero(step < 0) if repeats else np.flatnonzero(step <= 0)
    if broken.size:
        i = broken[0] + 1
        raise ValueError(
            f"{what} must be strictly increasing or strictly decreasing; node {i} ({a[i]}) "
            f"breaks the order of the nodes before it"
        )
    if repeats:
        flat = np.flatnonzero(step == 0)
        if flat.size and (flat[0] == 0 or flat[-1] == a.size - 2):
            raise ValueError(f"{what} must not repeat its first or last node")
        if np.any(np.diff(flat) == 1):
            i = flat[np.flatnonzero(np.diff(flat) == 1)[0]]
            raise ValueError(
                f"{what} may repeat a value only once (a discontinuity); nodes {i} to {i + 2} "
                f"all are {a[i]}"
            )
    return np.ascontiguousarray(a[::-1] if sign < 0 else a), bool(sign < 0)


def _transform(transform: Any) -> npt.NDArray[np.float32] | None:
    if transform is None:
        return None
    t = _float_array(transform, "transform")
    if t.shape != (4, 4):
        raise ValueError(f"transform must have shape (4, 4); got {t.shape}")
    if not np.all(np.isfinite(t)):
        raise ValueError("transform must hold finite numbers")
    return t.astype(np.float32)


def _quality_arguments(scope: Mapping[str, Any]) -> dict[str, Any]:
    """The quality keyword arguments of a constructor, from its locals."""
    return {q: scope[q] for q in QUALITIES}


def _qualities(
    values: Mapping[str, Any],
    shape: tuple[int, ...],
    q_rule: QRule,
    units: Mapping[str, str | None] | None = None,
) -> npt.NDArray[np.float32]:
    """The (..., 6) float32 qualities from arrays of *shape* in their *units*
    (the tree's when absent), each converted in float64 and rounded once;
    absent qp and qs from *q_rule*, absent alpha 1. Values implausible in
    their unit are refused. Filled a column at a time, so that a large grid
    needs little memory beyond the result."""
    for name in ("rho", "vp", "vs"):
        if values.get(name) is None:
            raise ValueError(f"{name} is missing: rho, vp and vs are required")
    given = {k: np.asarray(v) for k, v in values.items() if v is not None}
    scale = {k: factor((units or {}).get(k), QUALITY_KINDS[k], k) for k in given}
    for k, a in given.items():
        if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
            raise TypeError(f"{k} must be an array of numbers; got dtype {a.dtype}")
        if a.shape != shape:
            raise ValueError(f"{k} must have shape {shape}; got {a.shape}")
        fluid = given["vs"] == 0 if k == "qs" and "vs" in given else None
        check_plausible(k, a, (units or {}).get(k), fluid)

    def column(k: str) -> npt.NDArray[np.float64]:
        return given[k].astype(np.float64) * scale[k]

    out = np.empty((*shape, len(QUALITIES)), np.float32)
    for i, k in enumerate(QUALITIES):
        if k in given:
            out[..., i] = column(k)
    if "qp" not in given or "qs" not in given:
        qp, qs = q_rule(column("vp"), column("vs"))
        for k, q in (("qp", qp), ("qs", qs)):
            if k not in given:
                out[..., QUALITIES.index(k)] = np.broadcast_to(np.asarray(q, np.float64), shape)
    if "alpha" not in given:
        out[..., QUALITIES.index("alpha")] = 1.0
    return out


# --- grid -------------------------------------------------------------------------


def _dataset_axes(
    data: xr.Dataset, dims: Mapping[str, str] | None
) -> tuple[dict[str, str], Literal["elevation", "depth"]]:
    """Role ("x", "y", and "z" or "depth") to dimension name."""
    found: dict[str, str] = dict(dims or {})
    for role, names in _DIM_NAMES.items():
        if role in found:
            continue
        for name in names:
            if name in data.dims:
                found[role] = name
                break
    for role in found:
        if role not in _DIM_NAMES:
            raise ValueError(f"dims: unknown role {role!r} (known: x, y, z, depth)")
        if found[role] not in data.dims:
            raise ValueError(f"dims: the Dataset has no dimension {found[role]!r} for {role}")
    vertical = [r for r in ("z", "depth") if r in found]
    if "x" not in found or "y" not in found or len(vertical) != 1:
        raise ValueError(
            f"cannot tell the grid's axes from its dimensions {tuple(data.dims)}: name them "
            "x/y/z, x/y/depth or lon/lat/depth, or map them with dims={'x': ..., 'y': ..., "
            "'depth': ...}"
        )
    return found, "elevation" if vertical[0] == "z" else "depth"


def _from_dataset(
    data: xr.Dataset, dims: Mapping[str, str] | None, variables: Mapping[str, Any]
) -> tuple[dict[str, Any], dict[str, str | None], Literal["elevation", "depth"]]:
    roles, vertical = _dataset_axes(data, dims)
    v_role = "z" if vertical == "elevation" else "depth"
    order = [roles["x"], roles["y"], roles[v_role]]
    arrays: dict[str, Any] = {}
    units: dict[str, str | None] = {}
    for role, key in (("x", "x"), ("y", "y"), (v_role, "v")):
        coord = data[roles[role]]
        arrays[key] = coord.values
        units[key] = coord.attrs.get("units")
        if roles[role] in _GEOGRAPHIC and units[key] is None:
            units[key] = "degrees"
    arrays["v"] = _positive_down(data[roles[v_role]], arrays["v"], v_role)
    for q in QUALITIES:
        name = variables.get(q)
        name = q if name is None else name
        if not isinstance(name, str):
            raise TypeError(
                f"{q}: with a Dataset, give the name of its variable; got {type(name).__name__}"
            )
        if name not in data.data_vars:
            if variables.get(q) is not None or q in ("rho", "vp", "vs"):
                raise ValueError(f"{q}: the Dataset has no variable {name!r}")
            continue
        var = data[name]
        missing = set(order) - set(var.dims)
        if missing or len(var.dims) != 3:
            raise ValueError(
                f"{q}: variable {name!r} must have the dimensions {tuple(order)}; got {var.dims}"
            )
        arrays[q] = var.transpose(*order).values
        units[q] = var.attrs.get("units")
    return arrays, units, vertical


def _positive_down(coord: Any, values: Any, role: str) -> Any:
    """A vertical axis with the sign its role wants (depths down, elevations
    up), read from its CF ``positive`` attribute."""
    positive = coord.attrs.get("positive")
    if positive is None:
        return values
    wanted = "down" if role == "depth" else "up"
    if str(positive).lower() not in ("up", "down"):
        raise ValueError(
            f"{coord.name}: the attribute positive must be 'up' or 'down'; got {positive!r}"
        )
    return values if str(positive).lower() == wanted else -np.asarray(values, np.float64)


def grid(
    data: xr.Dataset | None = None,
    *,
    priority: int,
    name: str = "",
    x: Any = None,
    y: Any = None,
    z: Any = None,
    depth: Any = None,
    rho: Any = None,
    vp: Any = None,
    vs: Any = None,
    qp: Any = None,
    qs: Any = None,
    alpha: Any = None,
    dims: Mapping[str, str] | None = None,
    units: Mapping[str, str | None] | None = None,
    crs: Any = None,
    model_crs: Any = None,
    transform: Any = None,
    q_rule: QRule = olsen_q,
) -> _native.PyGridModel | PyMeshModel:
    """A model from a rectilinear grid of qualities.

    Give either an xarray *data* Dataset or plain arrays. A Dataset's
    dimensions name the axes: ``x``/``y``/``z`` (elevation), ``x``/``y``/
    ``depth``, ``lon``/``lat``/``depth`` (or ``longitude``, ``latitude``), or
    any names mapped by *dims* (``dims={"x": "easting", "depth": "d"}``); its
    variables ``vp``, ``vs``, ``rho`` and optionally ``qp``, ``qs`` and
    ``alpha`` hold the values (keywords such as ``vp="Vp"`` name other
    variables), each variable's ``units`` attribute saying its units. With
    plain arrays, *x*, *y* and one of *z* or *depth* are the 1-D axes and
    *rho*, *vp*, *vs* (*qp*, *qs*, *alpha*) arrays of shape ``(len(x),
    len(y), len(v))``, their units given by *units* (``units={"vp": "m/s",
    "depth": "km"}``); without units a value is taken in the tree's unit.
    A key of *units* that names no quality or axis is refused, and so are
    values implausible in their unit (speeds outside 0 to 15 km/s, densities
    outside 0.5 to 20 g/cm^3, quality factors not positive except a qs of
    0 where vs is 0, alpha outside [0, 1]): the message names the unit they look like (``vs up to 2000:
    looks like m/s; pass units={'vs': 'm/s'}``). A vertical axis without a
    unit whose nodes all lie within +-1000 under a grid 20 km wide or more
    is refused too: its nodes look like kilometres. A Dataset's vertical
    coordinate is read by its CF ``positive`` attribute: a ``depth`` with
    ``positive="up"`` (or a ``z`` with ``positive="down"``) has its sign
    flipped.

    An axis may run either way; the vertical one may repeat a value once, a
    discontinuity, where a point takes the values of the layer below (the
    deeper one). A node with a NaN value is a hole: the cells around it
    answer nothing, so models behind show through. Absent qp and qs come
    from *q_rule* (:func:`olsen_q`), absent alpha is 1.

    When *crs* (the grid's horizontal CRS; longitude/latitude axes mean
    ``EPSG:4326``) differs from *model_crs* (the tree's), the nodes are
    projected with pyproj and the result is a tetrahedral mesh over them,
    six tetrahedra per cell, exact at the nodes. Otherwise the result is a
    grid model in the tree's frame, placed by the optional 4x4 world-to-local
    *transform* (the grid's axes are then local coordinates).

    The model answers at elevation z (or at depth, with a depth axis) and
    its bounds are derived: in depth mode they span every elevation, so the
    tree never culls a point that the model contains.
    """
    variables = _quality_arguments(locals())
    unit_of: dict[str, str | None] = dict(units or {})
    check_keys(unit_of, ("x", "y", "z", "depth"))
    if data is not None:
        if not hasattr(data, "data_vars"):
            raise TypeError(f"data must be an xarray Dataset; got {type(data).__name__}")
        if any(a is not None for a in (x, y, z, depth)):
            raise TypeError("give the axes by the Dataset's dimensions, not as x, y, z or depth")
        arrays, file_units, vertical = _from_dataset(data, dims, variables)
        v_key = "z" if vertical == "elevation" else "depth"
        if v_key in unit_of:
            unit_of["v"] = unit_of.pop(v_key)
        unit_of = {**file_units, **unit_of}
    else:
        if (z is None) == (depth is None):
            raise TypeError("give exactly one vertical axis, z (elevation) or depth")
        if x is None or y is None:
            raise TypeError("give the horizontal axes x and y (or a Dataset)")
        vertical = "elevation" if z is not None else "depth"
        arrays = {"x": x, "y": y, "v": z if z is not None else depth, **variables}
        unit_of.setdefault("v", unit_of.pop("z" if z is not None else "depth", None))
    v_name = "z" if vertical == "elevation" else "depth"

    ax, flip_x = _axis(arrays["x"], "x")
    ay, flip_y = _axis(arrays["y"], "y")
    av, flip_v = _axis(arrays["v"], v_name, repeats=True)
    geographic = any(is_angle(unit_of.get(k)) for k in ("x", "y"))
    ax = ax * factor(unit_of.get("x"), "angle" if geographic else "length", "x")
    ay = ay * factor(unit_of.get("y"), "angle" if geographic else "length", "y")
    if unit_of.get("v") is None:
        check_vertical(f"{v_name}: nodes", av, _width(ax, ay, geographic), v_name)
    av = av * factor(unit_of.get("v"), "length", v_name)
    shape = (ax.size, ay.size, av.size)
    values = {}
    for q in QUALITIES:
        if arrays.get(q) is None:
            continue
        a = np.asarray(arrays[q])
        if a.shape != shape:
            raise ValueError(
                f"{q} must have shape (len(x), len(y), len({v_name})) = {shape}; got {a.shape}"
            )
        values[q] = a[:: -1 if flip_x else 1, :: -1 if flip_y else 1, :: -1 if flip_v else 1]
    qualities = _qualities(values, shape, q_rule, unit_of)

    if geographic and crs is None:
        crs = "EPSG:4326"
    if crs is not None and model_crs is not None and not _same_crs(crs, model_crs):
        if transform is not None:
            raise ValueError("transform: a grid projected into the tree's CRS takes no transform")
        return _projected_mesh(ax, ay, av, qualities, vertical, crs, model_crs, priority, name)
    if geographic:
        raise ValueError(
            "a longitude/latitude grid needs model_crs, the tree's projected CRS (metres), "
            "to be projected into"
        )
    return _native.grid_model(
        ax, ay, av, np.ascontiguousarray(qualities), vertical, priority, name, _transform(transform)
    )


#: Metres in a degree of latitude, near enough to judge a model's width.
_DEGREE = 111e3


def _width(x: Any, y: Any, geographic: bool) -> float:
    """The model's horizontal width in metres (finite edges only)."""
    spans = [np.ptp(a[np.isfinite(a)]) if np.isfinite(a).sum() > 1 else 0.0 for a in (x, y)]
    return float(max(spans)) * (_DEGREE if geographic else 1.0)


def _same_crs(a: Any, b: Any) -> bool:
    import pyproj

    return bool(pyproj.CRS.from_user_input(a) == pyproj.CRS.from_user_input(b))


def _projected_mesh(
    ax: npt.NDArray[np.float64],
    ay: npt.NDArray[np.float64],
    av: npt.NDArray[np.float64],
    qualities: npt.NDArray[np.float32],
    vertical: Literal["elevation", "depth"],
    crs: Any,
    model_crs: Any,
    priority: int,
    name: str,
) -> PyMeshModel:
    import pyproj

    to_model = pyproj.Transformer.from_crs(crs, model_crs, always_xy=True)
    gx, gy = np.meshgrid(ax, ay, indexing="ij")
    px, py = to_model.transform(gx, gy)
    if not (np.all(np.isfinite(px)) and np.all(np.isfinite(py))):
        raise ValueError("crs: some nodes of the grid do not project into model_crs")
    nv = av.size
    vertices = np.column_stack(
        [np.repeat(px.ravel(), nv), np.repeat(py.ravel(), nv), np.tile(av, px.size)]
    )
    q = qualities.reshape(-1, 6)
    tets = lattice_tetrahedra((ax.size, ay.size, nv))
    holes = np.isnan(q).any(axis=1)
    tets = tets[~holes[tets.astype(np.int64)].any(axis=1)]
    # Tetrahedra across a discontinuity have no volume: drop them.
    if np.any(np.diff(av) == 0):
        p = vertices[tets.astype(np.int64)]
        volume = np.einsum(
            "ij,ij->i", p[:, 0] - p[:, 3], np.cross(p[:, 1] - p[:, 3], p[:, 2] - p[:, 3])
        )
        tets = tets[volume != 0]
    return _mesh_in_local_frame(vertices, tets, q, vertical, priority, name)


# --- mesh -------------------------------------------------------------------------


def _bounds(
    world: npt.NDArray[np.float64], vertical: Literal["elevation", "depth"]
) -> tuple[list[float], list[float]]:
    """The box of *world* vertices, widened against float32 rounding; the z
    range unbounded in depth mode (the tree compares it with elevations)."""
    lo, hi = world.min(axis=0), world.max(axis=0)
    pad = 0.01 + 1e-5 * np.maximum(np.abs(lo), np.abs(hi))
    lo, hi = lo - pad, hi + pad
    if vertical == "depth":
        lo[2], hi[2] = -math.inf, math.inf
    return lo.tolist(), hi.tolist()


def _mesh_in_local_frame(
    world: npt.NDArray[np.float64],
    tetrahedra: npt.NDArray[np.uint64],
    qualities: npt.NDArray[np.float32],
    vertical: Literal["elevation", "depth"],
    priority: int,
    name: str,
) -> PyMeshModel:
    """A mesh of world vertices, stored relative to their centre (float32
    keeps its precision near the origin) and placed by a translation."""
    origin = np.round(world.mean(axis=0)).astype(np.float32).astype(np.float64)
    local = (world - origin).astype(np.float32)
    t = np.eye(4, dtype=np.float32)
    t[3, :3] = -origin
    builder = MeshModelBuilder(local, tetrahedra, priority, vertical, mesh_bounds(world, vertical))
    return builder.transform(t).name(name).interpolated(qualities)


def mesh(
    vertices: npt.ArrayLike,
    tetrahedra: npt.ArrayLike,
    qualities: npt.ArrayLike,
    *,
    vertical: Literal["elevation", "depth"],
    priority: int,
    name: str = "",
    transform: npt.ArrayLike | None = None,
    elevation: tuple[float, float] | None = None,
) -> PyMeshModel:
    """A tetrahedral mesh model of your own, bounds derived from its vertices.

    *vertices* is ``(V, 3)`` (x, y and the vertical coordinate, elevation or
    depth by *vertical*; local coordinates when a 4x4 world-to-local
    *transform* places the mesh), *tetrahedra* ``(T, 4)`` vertex indices and
    *qualities* ``(V, 6)`` ``rho, vp, vs, qp, qs, alpha`` per vertex,
    interpolated barycentrically (qp and qs harmonically), alpha in [0, 1]. Arrays are
    converted to the dtypes the core takes (float32, uint64).

    The bounds are the box of the vertices in the tree's frame (see
    :func:`mesh_bounds`): the tree compares their z range with a point's
    *elevation*, so in depth mode it is unbounded unless *elevation* gives
    the range of elevations that the model occupies (the sea lies below sea
    level, for instance): points outside it then skip the model.
    """
    vertical = _vertical(vertical)
    v = _float_array(vertices, "vertices", 2)
    if v.shape[1] != 3:
        raise ValueError(f"vertices must have shape (V, 3); got {v.shape}")
    if not np.all(np.isfinite(v)):
        raise ValueError("vertices must hold finite numbers")
    if np.any(np.abs(v) > np.finfo(np.float32).max):
        raise ValueError("vertices must lie within float32's range, |v| <= 3.4028235e38")
    tets = np.asarray(tetrahedra)
    if tets.ndim != 2 or tets.shape[1] != 4:
        raise ValueError(f"tetrahedra must have shape (T, 4); got {tets.shape}")
    if tets.size and (
        not np.issubdtype(tets.dtype, np.integer) or tets.min() < 0 or tets.max() >= len(v)
    ):
        raise ValueError(f"tetrahedra must hold vertex indices from 0 to {len(v) - 1}")
    q = _float_array(qualities, "qualities", 2)
    if q.shape != (len(v), 6):
        raise ValueError(f"qualities must have shape ({len(v)}, 6); got {q.shape}")
    check_plausible("alpha", q[:, QUALITIES.index("alpha")], None)
    t = _transform(transform)
    bounds = mesh_bounds(v, vertical, t, elevation=elevation)
    builder = MeshModelBuilder(
        v.astype(np.float32), tets.astype(np.uint64), priority, vertical, bounds
    )
    if t is not None:
        builder.transform(t)
    return builder.name(name).interpolated(q.astype(np.float32))


def mesh_bounds(
    vertices: npt.ArrayLike,
    vertical: Literal["elevation", "depth"],
    transform: npt.ArrayLike | None = None,
    *,
    elevation: tuple[float, float] | None = None,
) -> tuple[float, float, float, float, float, float]:
    """The bounds to give ``MeshModelBuilder`` for a mesh of *vertices*.

    The box of the vertices in the tree's frame (mapped back through the 4x4
    world-to-local *transform* when there is one), widened against float32
    rounding. The tree compares the z range of the bounds with a point's
    elevation, whatever the model's vertical mode: in depth mode it is
    therefore unbounded, or the range of elevations the model occupies when
    *elevation* gives one. Use it for models that :func:`mesh` does not
    make, such as those finished with ``depth_profile``.
    """
    vertical = _vertical(vertical)
    v = _float_array(vertices, "vertices", 2)
    if v.shape[1] < 3:
        raise ValueError(f"vertices must have shape (V, 3); got {v.shape}")
    if len(v) == 0:
        return (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    t = _transform(transform)
    world = v[:, :3]
    if t is not None:
        homogeneous = np.column_stack([world, np.ones(len(v))])
        world = (homogeneous @ np.linalg.inv(t.astype(np.float64)))[:, :3]
    lo, hi = _bounds(world, vertical)
    if elevation is not None:
        if vertical != "depth":
            raise ValueError("elevation: an elevation model's z range comes from its vertices")
        z = _float_array(elevation, "elevation", 1)
        if z.shape != (2,) or np.isnan(z).any() or not z[0] <= z[1]:
            raise ValueError(f"elevation must be (lowest, highest); got {tuple(z)}")
        lo[2], hi[2] = float(z[0]), float(z[1])
    return (lo[0], lo[1], lo[2], hi[0], hi[1], hi[2])


# --- layered and columns ----------------------------------------------------------


def _table(table: LayeredTable | str | os.PathLike[str] | Mapping[str, Any]) -> LayeredTable:
    if isinstance(table, LayeredTable):
        return table
    if isinstance(table, (str, os.PathLike)):
        path = os.fspath(table)
        if path.endswith(".tvel"):
            return read_tvel(path)
        if path.endswith(".nd"):
            return read_nd(path)
        raise ValueError(f"table: cannot tell the format of {path!r} (known: .tvel, .nd)")
    if isinstance(table, Mapping):
        missing = [k for k in ("depth", "vp", "vs", "rho") if k not in table]
        if missing:
            raise ValueError(
                f"table: the mapping has no {', '.join(map(repr, missing))}; it needs depth, "
                "vp, vs and rho (qp and qs optional)"
            )
        return LayeredTable(
            **{k: table[k] for k in ("depth", "vp", "vs", "rho")},
            qp=table.get("qp"),
            qs=table.get("qs"),
        )
    raise TypeError(
        f"table must be a LayeredTable, a path or a mapping; got {type(table).__name__}"
    )


def _edges(extent: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    if extent is None:
        whole = np.array([-math.inf, math.inf])
        return whole, whole
    e = _float_array(extent, "extent", 1)
    if e.shape != (4,) or np.isnan(e).any() or not (e[0] < e[1] and e[2] < e[3]):
        raise ValueError(f"extent must be (xmin, xmax, ymin, ymax) with min < max; got {tuple(e)}")
    return e[:2].copy(), e[2:].copy()


def layered(
    table: LayeredTable | str | os.PathLike[str] | Mapping[str, Any],
    *,
    priority: int,
    name: str = "",
    extent: Any = None,
    vertical: Literal["elevation", "depth"] = "depth",
    alpha: float = 1.0,
    transform: Any = None,
    q_rule: QRule = olsen_q,
) -> _native.PyColumnsModel:
    """A layered 1-D model over a horizontal *extent*.

    *table* is a :class:`LayeredTable`, a mapping of arrays ``depth`` (metres,
    increasing), ``vp``, ``vs`` (km/s), ``rho`` (g/cm^3) and optionally
    ``qp`` and ``qs``, or the path of a ``.tvel`` or ``.nd`` file
    (:func:`read_tvel`, :func:`read_nd`). Values are linear between
    consecutive depths, so the model reproduces the table exactly at its
    depths; a depth listed twice is a discontinuity, where a point takes the
    values of the layer below, and zero-thickness layers are skipped.

    With *vertical* ``"depth"`` the table's depths are depths below the
    surface that the tree's points carry; with ``"elevation"`` they are
    depths below elevation 0 (sea level), the model answering at elevation
    ``-depth``. *extent* is ``(xmin, xmax, ymin, ymax)`` in the tree's frame
    (degrees of longitude and latitude in a geographic tree), everywhere when
    None. Quality factors the table lacks come from *q_rule*. *alpha* lies
    in [0, 1] and the table's values must be plausible in the tree's units.
    """
    vertical = _vertical(vertical)
    if not 0.0 <= float(alpha) <= 1.0:  # NaN too
        raise ValueError(f"alpha must lie in [0, 1] (0: transparent, 1: opaque); got {alpha}")
    t = _table(table)
    for q in ("rho", "vp", "vs", "qp", "qs"):
        if getattr(t, q) is not None:
            check_plausible(q, getattr(t, q), None, t.vs == 0)
    values = t.qualities(q_rule, alpha)
    v = t.depth
    if vertical == "elevation":
        v, values = -v[::-1], values[::-1]
    x, y = _edges(extent)
    offsets = np.array([0, len(v)], np.uint64)
    return _native.columns_model(
        x,
        y,
        offsets,
        np.ascontiguousarray(v),
        np.ascontiguousarray(values),
        vertical,
        priority,
        name,
        _transform(transform),
    )


def _by_name(a: Any, what: str) -> Any:
    """An array in the order x, y, then the rest: a DataArray's by its
    dimensions' names, any other as it is."""
    dims = getattr(a, "dims", None)
    if dims is None or not hasattr(a, "transpose"):
        return a
    named = [next((d for d in dims if str(d).lower() in _DIM_NAMES[r]), None) for r in ("x", "y")]
    if None in named:
        raise ValueError(
            f"{what}: cannot tell x and y from the dimensions {tuple(dims)}; name them x/y, "
            "lon/lat, longitude/latitude or easting/northing"
        )
    return np.asarray(a.transpose(*named, ...).values)


def columns(
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    tops: npt.ArrayLike,
    *,
    bottom: npt.ArrayLike,
    rho: npt.ArrayLike,
    vp: npt.ArrayLike,
    vs: npt.ArrayLike,
    priority: int,
    name: str = "",
    qp: npt.ArrayLike | None = None,
    qs: npt.ArrayLike | None = None,
    alpha: npt.ArrayLike | None = None,
    vertical: Literal["elevation", "depth"] = "depth",
    units: Mapping[str, str] | None = None,
    transform: Any = None,
    q_rule: QRule = olsen_q,
) -> _native.PyColumnsModel:
    """A horizontal grid of tiles, each with its own stack of layers.

    *x* and *y* are the ``(nx + 1,)`` and ``(ny + 1,)`` tile edges,
    increasing or decreasing (the outer ones may be infinite); in a tree
    whose frame is geographic they are longitudes and latitudes in degrees
    (``units={"x": "degrees_east", "y": "degrees_north"}``). *tops* is ``(nx, ny, L)``:
    the top of each layer of each tile, layer 0 uppermost, and *bottom* the
    bottom of the last layer, ``(nx, ny)`` or one number. With *vertical*
    ``"depth"`` these are depths (increasing down the stack); with
    ``"elevation"``, elevations (decreasing down the stack), as crustal
    models such as CRUST1.0 give them. *rho*, *vp*, *vs* and optionally
    *qp*, *qs* and *alpha* are ``(nx, ny, L)``, constant through each layer:
    every layer boundary is a discontinuity, where a point takes the values
    of the layer below. Layers of zero thickness (absent in a tile) are
    allowed and skipped; storage grows with the layers, not the tiles' area.

    Arrays are in the order ``(nx, ny, ...)``, x first. A plain array is
    always read in that order (when nx == ny a transposed one cannot be told
    from it); an ``xarray.DataArray`` whose dimensions are named (``x``,
    ``lon``, ``longitude`` or ``easting``; ``y``, ``lat``, ``latitude`` or
    ``northing``; any name for the layers) is put in that order by name.

    *units* gives the units of any of these arrays (``{"tops": "km",
    "vp": "m/s"}``); without, values are taken in the tree's units. Keys
    that name no quality or axis, and values implausible in their unit, are
    refused as :func:`grid` refuses them; so are tops and bottom without a
    unit that all lie within +-1000 under tiles 20 km wide or more (they
    look like kilometres).
    """
    vertical = _vertical(vertical)
    units = dict(units or {})
    check_keys(units, ("x", "y", "tops", "bottom"))
    geographic = any(is_angle(units.get(k)) for k in ("x", "y"))
    edge_kind = "angle" if geographic else "length"
    ex = _float_array(x, "x", 1) * factor(units.get("x"), edge_kind, "x")
    ey = _float_array(y, "y", 1) * factor(units.get("y"), edge_kind, "y")
    top = _float_array(_by_name(tops, "tops"), "tops", 3)
    nx, ny, layers = top.shape
    if (nx + 1, ny + 1) != (ex.size, ey.size):
        turned = (ny + 1, nx + 1) == (ex.size, ey.size)
        raise ValueError(
            f"tops must have shape (len(x) - 1, len(y) - 1, L) = ({ex.size - 1}, {ey.size - 1}, L); "
            f"got {top.shape}"
            + (
                " (y first: give x first, or an xarray.DataArray with named dimensions)"
                if turned
                else ""
            )
        )
    base = _float_array(_by_name(bottom, "bottom"), "bottom")
    if base.ndim > 2 or not all(n in (1, m) for n, m in zip(base.shape[::-1], (ny, nx))):
        raise ValueError(
            f"bottom must be one number or of shape (len(x) - 1, len(y) - 1) = ({nx}, {ny}); "
            f"got shape {base.shape}"
        )
    base = np.broadcast_to(base, (nx, ny))
    if units.get("tops") is None and units.get("bottom") is None:
        levels = np.concatenate([top.ravel(), base.ravel()])
        check_vertical("tops and bottom", levels, _width(ex, ey, geographic), "tops bottom")
    top = top * factor(units.get("tops"), "length", "tops")
    base = base * factor(units.get("bottom"), "length", "bottom")
    # The stack's boundaries, down it: the tops, then the bottom.
    bounds = np.concatenate([top, base[:, :, None]], axis=2)
    if not np.all(np.isfinite(bounds)):
        raise ValueError("tops and bottom must hold finite numbers")
    down = np.diff(bounds, axis=2)
    wrong = down < 0 if vertical == "depth" else down > 0
    if wrong.any():
        i, j, layer = np.argwhere(wrong)[0]
        raise ValueError(
            f"tops must {'increase' if vertical == 'depth' else 'decrease'} down the stack "
            f"(then bottom); tile ({i}, {j}) turns at layer {layer + 1}"
        )
    values = _quality_arguments(locals())
    shape = (nx, ny, layers)

    def spread(k: str, a: Any) -> Any:
        a = np.asarray(_by_name(a, k))
        try:
            return np.broadcast_to(a, shape)
        except ValueError:
            raise ValueError(
                f"{k} must have shape {shape} (one value per tile and layer); got {np.shape(a)}"
            ) from None

    q = _qualities(
        {k: None if a is None else spread(k, a) for k, a in values.items()}, shape, q_rule, units
    )
    # Decreasing edges: the tiles, and everything over them, turned round.
    for axis, edges in ((0, ex), (1, ey)):
        if edges.size > 1 and edges[-1] < edges[0]:
            bounds, q = np.flip(bounds, axis), np.flip(q, axis)
    ex, ey = (e[::-1] if e.size > 1 and e[-1] < e[0] else e for e in (ex, ey))
    # Two nodes per layer, its top and its bottom, with the layer's values.
    v = np.stack([bounds[:, :, :-1], bounds[:, :, 1:]], axis=3).reshape(nx * ny, 2 * layers)
    nodes = np.repeat(q.reshape(nx * ny, layers, 6), 2, axis=1)
    if vertical == "elevation":
        v, nodes = v[:, ::-1], nodes[:, ::-1]
    offsets = np.arange(nx * ny + 1, dtype=np.uint64) * np.uint64(2 * layers)
    return _native.columns_model(
        np.ascontiguousarray(ex),
        np.ascontiguousarray(ey),
        offsets,
        np.ascontiguousarray(v.ravel()),
        np.ascontiguousarray(nodes.reshape(-1, 6)),
        vertical,
        priority,
        name,
        _transform(transform),
    )
