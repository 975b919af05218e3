r"""Site products for ground-motion work: Vs30 and the depths Z1.0 and Z2.5.

Every function takes horizontal site positions (NumPy or Dask arrays that
broadcast together) and follows each site's vertical line down from the
surface, querying the velocity model with one ``query_many`` per block of
sites and samples (about a million points, so memory stays bounded
whatever the number of sites). Dask inputs give a lazy result computed block
by block, on threads or on a ``dask.distributed`` cluster.

Units: depths in metres, speeds in m/s, as hazard codes expect. The model's
Vs is read in ``speed_unit`` (``"km/s"``, the package's convention, or
``"m/s"``) and converted.

Depth below the surface
-----------------------
Depth is measured down from the topography: ``surface`` (a
:class:`orvik.StructuredGrid` of elevations over the model's x and y,
clamped onto its edge outside) or, without one, the plane z = 0. The point at
depth d below a site (x, y) is queried at elevation z = surface(x, y) - d
(subtracted in float64, rounded once to float32) and depth d: models
queried by elevation read z, models queried by depth read d.

Vs30: the sampling and why it is exact
--------------------------------------
Vs30 = 30 / T with the travel time T = \int_0^{30} dz / Vs(z).

*Integration.* On an interval [a, b] where Vs is linear, from A at a to B at b,

    \int_a^b dz / Vs = (b - a) ln(B / A) / (B - A)      ((b - a) / A when B = A),

so a linear piece is integrated exactly, whatever its gradient (a trapezoid
or midpoint sum of 1/Vs would not be).

*Sampling.* The top 30 m is cut into steps of ``step`` metres (default 1 m);
Vs is sampled at their ends and midpoints. A step is taken as linear when its
midpoint value M equals (A + B) / 2 within 2^-20 of the largest of the three
(float32 rounding of the model's answers). Otherwise it is halved, each half
is tested with its own new midpoint, and so on, until every piece passes or is
no longer than ``resolution`` (default 1 mm); each round is one query over
all the pieces still open.

*Claim.* Let Vs be piecewise linear and positive on [0, 30 m], with at most
one breakpoint (a kink or a jump) in any open step. Then::

    |T_computed - T| <= sum over breakpoints j of  resolution * (1/Vmin_j - 1/Vmax_j)

(plus rounding), where Vmin_j and Vmax_j bound Vs on the last piece around
breakpoint j; a kink that falls on a sample depth costs nothing. So a
velocity contrast of 3 moves Vs30 by at most (1 mm / 30 m) * 2 = 7e-5 of
itself per breakpoint, at the default resolution.

*Proof.* A piece with no breakpoint inside is linear and passes the test,
and is integrated exactly. A piece [a, b] with one kink c inside, say in
(a, m] with m the midpoint, is linear on [c, b] which holds m; the chord's
value at m equals that line's only if A also lies on it, which a kink
excludes, so the test fails and the piece is halved (likewise for c in
[m, b)). A piece with one jump fails the test too, unless B happens to lie on
the extension of the line of the other side (a special case of measure zero
among profiles). Halving leaves the breakpoint in one half, so refinement ends
with a piece of length at most ``resolution`` around it, and on that piece
both the true integral and the formula lie between (b - a) / Vmax and
(b - a) / Vmin. QED. A step that holds two breakpoints (a layer thinner than
``step``) can pass the test by coincidence, and then carries the error bound
step * (1/Vmin - 1/Vmax) of its own: choose ``step`` below the thinnest
layer.

Z1.0, Z2.5: first crossing
--------------------------
Z_t = the depth at which Vs first reaches the target t going down from the
surface, inf{d >= 0 : Vs(d) >= t}. Vs is sampled every ``step`` metres
(default 10 m) down to ``max_depth`` (default 10 km), block by block, sites
leaving the scan as soon as they cross. Between the last sample below t and
the first at or above it, the bracket is tested and refined as above
(midpoint test, halving towards the crossing) until it is linear, where the
crossing is interpolated exactly, or no longer than ``resolution``, where the
interpolated depth is within ``resolution`` of it. Z_t is 0 when Vs at the
surface already reaches t. An excursion above t that begins and ends between
two samples (a fast layer thinner than ``step``) is not seen.

NaN rules
---------
* Vs30 is NaN where the line meets no model (NaN Vs), or a fluid (Vs <= 0),
  over any length in the top 30 m. Only a gap or fluid no longer than
  ``resolution`` is passed over: the sea above a sea floor that is the
  surface meets the rock below at depth 0 itself, and is not counted.
* Z_t is NaN where the line meets no model above the crossing (a sample with
  NaN Vs, at the surface included), since the gap could hide the crossing. A
  fluid is simply below the target.
* Z_t is NaN when the target is not reached above ``max_depth``.
* Every product is NaN at a site that is no place: a coordinate NaN or
  infinite, a latitude outside [-90, 90] (sites in a geographic CRS), or a
  point that the map projection sends to infinity. Such sites are not
  queried, and a ``NoPlaceWarning`` (``orvik.site.NoPlaceWarning``) counts
  them (once per block of a lazy result). Geographic sites whose every
  latitude lies outside [-90, 90] while every longitude lies inside it
  raise ValueError: they look swapped.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _site_table
from ._places import NoPlaceWarning
from ._site_blocks import run
from ._site_maps import site_grid, write_site_grid
from ._site_profiles import QUERY_POINTS, Lines, crossings, travel_time
from ._vertical_profiles import profile, write_profile
from .orvik import PyModelTree, StructuredGrid

if TYPE_CHECKING:
    import pyproj

__all__ = [
    "SITE_COLUMNS",
    "NoPlaceWarning",
    "profile",
    "site_grid",
    "site_model",
    "vs30",
    "write_profile",
    "write_site_grid",
    "write_site_model",
    "z1p0",
    "z2p5",
    "z_isosurface",
]

#: The columns of a site model table, in order.
SITE_COLUMNS = ("lon", "lat", "vs30", "z1pt0", "z2pt5")
_F32 = np.dtype(np.float32)


def vs30(
    tree: PyModelTree,
    x: Any,
    y: Any,
    *,
    surface: StructuredGrid | None = None,
    priority: tuple[int, int] = (0, 255),
    crs: tuple[Any, Any] | pyproj.Transformer | None = None,
    speed_unit: Literal["km/s", "m/s"] = "km/s",
    step: float = 1.0,
    resolution: float = 1e-3,
) -> Any:
    """Time-averaged shear-wave speed over the top 30 m, 30 / int dz / Vs, in m/s.

    Parameters
    ----------
    tree : orvik.PyModelTree
        The velocity model.
    x, y : array_like or dask.array.Array
        Site positions in the model's coordinates (or in the source CRS of
        *crs*); they broadcast together.
    surface : orvik.StructuredGrid, optional
        The topography that depth is measured from; the plane z = 0 without.
    priority : (int, int), default (0, 255)
        The range of model priorities that take part.
    crs : CRS, (source, target) or pyproj.Transformer, optional
        Map *x* and *y* into the model's coordinates with pyproj
        (``always_xy``); a single CRS only states the one that *x* and *y*
        (and the model) are in, so that geographic sites are checked.
    speed_unit : {"km/s", "m/s"}, default "km/s"
        The unit of the model's Vs.
    step : float, default 1.0
        The sampling step in metres; it must divide 30 m into whole steps.
    resolution : float, default 0.001
        The length in metres at which refinement around a breakpoint stops.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        Float64 Vs30 in m/s with the broadcast shape of *x* and *y*; NaN where
        a model is missing or Vs <= 0 in the top 30 m (see the module's
        documentation for the NaN rules, the sampling and its error bound).
    """
    steps = _whole_steps(30.0, step, "step", "30 m")
    _positive(resolution, "resolution")

    def kernel(lines: Lines) -> list[np.ndarray]:
        return [30.0 / travel_time(lines, steps, 30.0 / steps, resolution)]

    return run(kernel, 1, tree, x, y, surface, priority, crs, speed_unit)[0]


def z_isosurface(
    tree: PyModelTree,
    x: Any,
    y: Any,
    vs_target: float,
    *,
    surface: StructuredGrid | None = None,
    priority: tuple[int, int] = (0, 255),
    crs: tuple[Any, Any] | pyproj.Transformer | None = None,
    speed_unit: Literal["km/s", "m/s"] = "km/s",
    step: float = 10.0,
    max_depth: float = 10_000.0,
    resolution: float = 1e-3,
) -> Any:
    """Depth in metres at which Vs first reaches *vs_target* (m/s), going down.

    Parameters are those of :func:`vs30`, and:

    vs_target : float
        The target speed in m/s (1000 for Z1.0, 2500 for Z2.5).
    step : float, default 10.0
        The scan's sampling step in metres; it must divide *max_depth*.
    max_depth : float, default 10000.0
        Below this depth the target counts as not reached (NaN).
    resolution : float, default 0.001
        The bracket length in metres at which refinement stops.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        Float64 depths in metres; 0 where the surface already reaches the
        target, NaN where a model is missing above the crossing or the target
        is not reached above *max_depth*. See the module's documentation.
    """
    targets = [float(vs_target)]
    _positive(max_depth, "max_depth")
    samples = _whole_steps(max_depth, step, "step", "max_depth")
    _positive(resolution, "resolution")
    if not targets[0] > 0:
        raise ValueError(f"vs_target must be a positive speed in m/s; got {vs_target}")

    def kernel(lines: Lines) -> list[np.ndarray]:
        return crossings(lines, targets, max_depth / samples, samples, resolution)

    return run(kernel, 1, tree, x, y, surface, priority, crs, speed_unit)[0]


def z1p0(tree: PyModelTree, x: Any, y: Any, **options: Any) -> Any:
    """Z1.0: the depth in metres to Vs = 1000 m/s (:func:`z_isosurface`)."""
    return z_isosurface(tree, x, y, 1000.0, **options)


def z2p5(tree: PyModelTree, x: Any, y: Any, **options: Any) -> Any:
    """Z2.5: the depth in metres to Vs = 2500 m/s (:func:`z_isosurface`)."""
    return z_isosurface(tree, x, y, 2500.0, **options)


def site_model(
    tree: PyModelTree,
    stations: Any,
    *,
    surface: StructuredGrid | None = None,
    priority: tuple[int, int] = (0, 255),
    crs: tuple[Any, Any] | pyproj.Transformer | None = None,
    speed_unit: Literal["km/s", "m/s"] = "km/s",
    vs30_step: float = 1.0,
    z_step: float = 10.0,
    max_depth: float = 10_000.0,
    resolution: float = 1e-3,
    nan_policy: str = "error",
    vs30measured: bool | None = None,
    custom_site_id: Any = None,
) -> Any:
    """Vs30, Z1.0 and Z2.5 at every station, as a site model table.

    Parameters
    ----------
    stations : DataFrame, mapping or array
        The stations' longitude and latitude: a table (pandas DataFrame,
        mapping of arrays, NumPy structured array) with columns ``lon`` and
        ``lat``, or an ``(N, 2)`` array of them.
    crs : (source, target) or pyproj.Transformer, optional
        Maps the stations' lon and lat into the model's x and y, e.g.
        ``("EPSG:4326", "EPSG:32610")``; without it they are taken as the
        model's x and y.
    vs30_step, z_step : float
        The *step* of :func:`vs30` and of :func:`z_isosurface`.
    nan_policy : str, default "error"
        What becomes of stations where vs30, z1pt0 or z2pt5 is NaN (hazard
        engines cannot read NaN): ``"error"`` raises ValueError naming them,
        ``"drop"`` leaves them out of the table, ``"fill=VALUE"`` gives those
        values VALUE, and ``"keep"`` keeps the NaN.
    vs30measured : bool, optional
        Adds the column ``vs30measured`` with this value for every station
        (``False``: Vs30 comes from a model, not from a measurement).
    custom_site_id : True or array_like, optional
        Adds the column ``custom_site_id``: with True, the stations' own
        ``custom_site_id`` column, or the numbers 1 to N without one; or
        the ids given, one per station (text without commas).

    The other parameters are those of :func:`vs30` and :func:`z_isosurface`.

    Returns
    -------
    pandas.DataFrame
        Columns ``lon, lat, vs30, z1pt0, z2pt5`` (degrees as given, m/s,
        metres, metres), then ``vs30measured`` and ``custom_site_id`` when
        asked for, one row per station kept. :func:`write_site_model` writes
        it as the CSV site model file that OpenQuake reads.
    """
    import importlib

    pd: Any = importlib.import_module("pandas")  # the `cli` extra; no type stubs
    lon, lat = _station_columns(stations)
    policy = _site_table.nan_policy(nan_policy)
    ids = _site_table.site_ids(stations, custom_site_id, len(lon))
    steps = _whole_steps(30.0, vs30_step, "vs30_step", "30 m")
    _positive(max_depth, "max_depth")
    samples = _whole_steps(max_depth, z_step, "z_step", "max_depth")
    _positive(resolution, "resolution")

    def kernel(lines: Lines) -> list[np.ndarray]:
        v = 30.0 / travel_time(lines, steps, 30.0 / steps, resolution)
        z1, z2 = crossings(lines, [1000.0, 2500.0], max_depth / samples, samples, resolution)
        return [v, z1, z2]

    v, z1, z2 = run(kernel, 3, tree, lon, lat, surface, priority, crs, speed_unit)
    columns: dict[str, Any] = dict(zip(SITE_COLUMNS, (lon, lat, v, z1, z2)))
    kept = _site_table.apply_nan_policy(columns, policy)
    if vs30measured is not None:
        columns["vs30measured"] = np.full(len(lon), bool(vs30measured))
    if ids is not None:
        columns["custom_site_id"] = ids
    table = pd.DataFrame({k: np.asarray(c)[kept] for k, c in columns.items()})
    return table


def write_site_model(table: Any, path: Any, *, z2pt5_unit: Literal["km", "m"] = "km") -> None:
    """Write a :func:`site_model` table as a CSV site model file.

    The header is ``lon,lat,vs30,z1pt0,z2pt5``, then ``vs30measured``
    (``true`` or ``false``) and ``custom_site_id`` when the table has them.
    OpenQuake reads ``z1pt0`` in metres but ``z2pt5`` in kilometres, so by
    default ``z2pt5`` is written in km (``z2pt5_unit="m"`` keeps metres).
    NaN is written as ``nan``. *path* is a path or a binary file object.
    """
    from . import _native

    if z2pt5_unit not in ("km", "m"):
        raise ValueError(f'z2pt5_unit must be "km" or "m"; got {z2pt5_unit!r}')
    columns = [np.asarray(table[c], np.float64) for c in SITE_COLUMNS]
    if z2pt5_unit == "km":
        columns[4] = columns[4] / 1000.0
    optional = [c for c in _site_table.OPTIONAL if c in table]
    header = ",".join((*SITE_COLUMNS, *optional)).encode() + b"\n"
    body = b"".join(_csv_lines(_native, columns, table))
    if hasattr(path, "write"):
        path.write(header + body)
    else:
        with open(path, "wb") as out:
            out.write(header + body)


def _csv_lines(native: Any, columns: list[np.ndarray], table: Any) -> Any:
    # Coordinates in their shortest float64 form (as given), the products in
    # float32's: they come from float32 speeds and depths.
    n = len(columns[0])
    for lo in range(0, n, QUERY_POINTS):
        part = [c[lo : lo + QUERY_POINTS] for c in columns]
        cells = [
            native.format_rows(c.astype(np.float64 if k < 2 else _F32)[:, None]).splitlines()
            for k, c in enumerate(part)
        ]
        cells += _site_table.optional_cells(table, lo, lo + QUERY_POINTS)
        yield b"".join(b",".join(row) + b"\n" for row in zip(*cells))


# --- sites, blocks and Dask --------------------------------------------------------


def _whole_steps(length: float, step: float, name: str, what: str) -> int:
    """The number of steps of `step` metres in `length` (`what` in messages)."""
    _positive(step, name)
    count = round(length / step)
    if count < 1 or not math.isclose(count * step, length, rel_tol=1e-9):
        raise ValueError(f"{name} must divide {what} into whole steps; got {step}")
    return int(count)


def _positive(value: float, name: str) -> None:
    if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive number of metres; got {value!r}")


def _station_columns(stations: Any) -> tuple[np.ndarray, np.ndarray]:
    if isinstance(stations, np.ndarray) and stations.dtype.names is None:
        if stations.ndim != 2 or stations.shape[1] != 2:
            raise ValueError(
                f"stations as an array must have shape (N, 2) [lon, lat]; got {stations.shape}"
            )
        return stations[:, 0].astype(np.float64), stations[:, 1].astype(np.float64)
    try:
        lon, lat = stations["lon"], stations["lat"]
    except (KeyError, ValueError, IndexError, TypeError):
        raise ValueError("stations must have columns 'lon' and 'lat'") from None
    return np.asarray(lon, np.float64).reshape(-1), np.asarray(lat, np.float64).reshape(-1)
