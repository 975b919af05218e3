"""Simulation rules: the post-processing that wave-propagation codes ask of a
velocity model, declared once and applied to every point of a sampled volume
in the pass that samples it.

:class:`Rules` declares them; :func:`apply_rules` applies them to what
:func:`orvik.sample` returns, and :func:`orvik.extract` takes them as its
``rules`` argument and records them in the output's metadata (the global
attribute ``orvik_rules``, JSON text). The rules act in this order, each on
the result of the one before:

1. ``outside``: points outside every model (all six values NaN) are kept,
   filled with given values, or given the values of the nearest point inside
   a model below them in their column ("below");
2. ``vs_min``: a Vs floor. Where 0 < Vs < vs_min, Vs becomes vs_min and Vp is
   multiplied by the same factor, so that Vp/Vs is kept; density is
   unchanged. Fluids (Vs = 0) are left as they are;
3. ``vp_vs_min``: a minimum Vp/Vs. Where Vs > 0 and Vp < vp_vs_min * Vs, Vp
   becomes vp_vs_min * Vs; Vs and density are unchanged;
4. ``q``: Qp and Qs from Vs by a named rule, at every point with a Vs.
   "olsen" is :func:`orvik.models.olsen_q`: Qs = 50 Vs (Vs in km/s), Qp = 2
   Qs, and Qs = Qp = 10000 in fluids.

Arithmetic is in float64, rounded once to float32. Speeds are in the volume's
speed unit, km/s unless *speed_unit* says m/s (which only the Q rule needs).
"""

from __future__ import annotations

import json
import math
from collections.abc import Hashable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from .qualities import QUALITIES, QUALITY_DIM

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["OUTSIDE_POLICIES", "Q_RULES", "RULES_ATTR", "Rules", "apply_rules"]

#: The global attribute of an extraction's output that records its rules.
RULES_ATTR: Final = "orvik_rules"
OUTSIDE_POLICIES: Final = ("keep", "fill", "below")
Q_RULES: Final = ("olsen",)
_RHO, _VP, _VS, _QP, _QS = (QUALITIES.index(q) for q in ("rho", "vp", "vs", "qp", "qs"))

_WORDS: Final = {
    "vs_min": "where 0 < Vs < vs_min: Vs = vs_min and Vp scaled by the same factor (Vp/Vs "
    "kept); density unchanged; fluids (Vs = 0) unchanged",
    "vp_vs_min": "where Vs > 0 and Vp < vp_vs_min * Vs: Vp = vp_vs_min * Vs; Vs and density "
    "unchanged",
    "olsen": "Qs = 50 Vs (Vs in km/s), Qp = 2 Qs; Qs = Qp = 10000 where Vs = 0",
    "fill": "points outside every model take the values of fill (qualities not named stay NaN)",
    "below": "points outside every model take the values of the nearest point inside a model "
    "below them in their column (NaN when there is none)",
}


@dataclass(frozen=True)
class Rules:
    """Rules applied to every point of a sampled volume (see the module).

    Parameters
    ----------
    vs_min : float, optional
        The Vs floor, in the volume's speed unit; positive.
    vp_vs_min : float, optional
        The minimum Vp/Vs; positive.
    q : "olsen", optional
        The rule that sets Qp and Qs from Vs.
    outside : "keep", "fill" or "below", default "keep"
        What points outside every model become.
    fill : float or mapping of quality name to float, optional
        With ``outside="fill"``: one value for every quality, or values for
        the named qualities (the others stay NaN).
    speed_unit : "km/s" or "m/s", default "km/s"
        The unit of the volume's speeds, for the Q rule.
    """

    vs_min: float | None = None
    vp_vs_min: float | None = None
    q: str | None = None
    outside: str = "keep"
    fill: float | Mapping[str, float] | None = None
    speed_unit: str = "km/s"
    _fill_row: tuple[float, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        for name in ("vs_min", "vp_vs_min"):
            value = getattr(self, name)
            if value is not None and not (_real(value) and math.isfinite(value) and value > 0):
                raise ValueError(f"{name} must be a positive finite number; got {value!r}")
        if self.q is not None and self.q not in Q_RULES:
            raise ValueError(f"q must be one of {list(Q_RULES)}; got {self.q!r}")
        if self.outside not in OUTSIDE_POLICIES:
            raise ValueError(
                f"outside must be one of {list(OUTSIDE_POLICIES)}; got {self.outside!r}"
            )
        if self.speed_unit not in ("km/s", "m/s"):
            raise ValueError(f'speed_unit must be "km/s" or "m/s"; got {self.speed_unit!r}')
        if (self.fill is None) != (self.outside != "fill"):
            raise ValueError('fill must be given with outside="fill", and only then')
        object.__setattr__(self, "_fill_row", _fill_row(self.fill))

    @classmethod
    def of(cls, rules: Rules | Mapping[str, Any] | None) -> Rules:
        """*rules* as a Rules: a Rules, a mapping of its arguments, or None."""
        if rules is None:
            return cls()
        if isinstance(rules, Rules):
            return rules
        if not isinstance(rules, Mapping):
            raise TypeError(f"rules must be an orvik.rules.Rules or a mapping; got {rules!r}")
        try:
            return cls(**rules)
        except TypeError:
            known = ["vs_min", "vp_vs_min", "q", "outside", "fill", "speed_unit"]
            raise ValueError(f"rules may name {known}; got {sorted(map(str, rules))}") from None

    @property
    def active(self) -> bool:
        return self != Rules(speed_unit=self.speed_unit)

    @property
    def whole_columns(self) -> bool:
        """Whether a block must span its whole vertical axis."""
        return self.outside == "below"

    def record(self) -> dict[str, Any]:
        """What the output's metadata records: the rules set, in the order
        they act, with each rule in words."""
        out: dict[str, Any] = {"order": ["outside", "vs_min", "vp_vs_min", "q"]}
        out["outside"] = self.outside
        if self.outside in _WORDS:
            out["outside_rule"] = _WORDS[self.outside]
        if self.outside == "fill":
            out["fill"] = dict(
                zip(QUALITIES, (None if math.isnan(v) else v for v in self._fill_row))
            )
        for name in ("vs_min", "vp_vs_min"):
            if getattr(self, name) is not None:
                out[name] = float(getattr(self, name))
                out[f"{name}_rule"] = _WORDS[name]
        if self.q is not None:
            out["q"], out["q_rule"] = self.q, _WORDS[self.q]
        out["speed_unit"] = self.speed_unit
        return out

    def attrs(self) -> dict[str, str]:
        """The global attributes that record the rules (none when no rule is set)."""
        return {RULES_ATTR: json.dumps(self.record())} if self.active else {}

    def apply_block(self, block: np.ndarray, down: int = 1) -> np.ndarray:
        """The rules on a float32 array whose last axis holds the six
        qualities; with the "below" policy its first axis is vertical, *down*
        (+1 or -1) the direction of increasing depth along it."""
        out = np.array(block, np.float32, copy=True)
        if self.outside == "fill":
            outside = np.isnan(out).all(axis=-1)
            out[outside] = np.asarray(self._fill_row, np.float32)
        elif self.outside == "below":
            out = _fill_from_below(out, down)
        # Each rule reads the float32 values the rule before it wrote.
        if self.vs_min is not None:
            vp, vs = _speeds(out)
            low = (vs > 0) & (vs < self.vs_min)
            out[..., _VP] = np.where(low, vp * self.vs_min / np.where(low, vs, 1.0), vp)
            out[..., _VS] = np.where(low, self.vs_min, vs)
        if self.vp_vs_min is not None:
            vp, vs = _speeds(out)
            raise_vp = (vs > 0) & (vp < self.vp_vs_min * vs)
            out[..., _VP] = np.where(raise_vp, self.vp_vs_min * vs, vp)
        if self.q == "olsen":
            from .models import olsen_q

            vp, vs = _speeds(out)
            known = ~np.isnan(vs)
            scale = 1e-3 if self.speed_unit == "m/s" else 1.0
            qp, qs = olsen_q(vp[known], vs[known] * scale)
            out[..., _QP][known], out[..., _QS][known] = qp, qs
        return out


def _speeds(block: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return block[..., _VP].astype(np.float64), block[..., _VS].astype(np.float64)


def _real(value: Any) -> bool:
    return isinstance(value, int | float | np.integer | np.floating) and not isinstance(value, bool)


def _fill_row(fill: Any) -> tuple[float, ...]:
    if fill is None:
        return (math.nan,) * len(QUALITIES)
    if isinstance(fill, Mapping):
        unknown = sorted(set(map(str, fill)) - set(QUALITIES))
        if unknown:
            raise ValueError(f"fill names qualities that orvik does not know: {unknown}")
        values = [fill.get(q, math.nan) for q in QUALITIES]
        given = [fill[q] for q in fill]
    else:
        values = given = [fill] * len(QUALITIES)
    if not all(_real(v) and math.isfinite(v) for v in given):
        raise ValueError(f"fill must hold finite numbers; got {fill!r}")
    return tuple(float(v) for v in values)


def _fill_from_below(block: np.ndarray, down: int) -> np.ndarray:
    """Each point with no value takes the values of the nearest point with
    values at a greater depth in its column (axis 0)."""
    view = block if down > 0 else block[::-1]
    levels = view.shape[0]
    inside = ~np.isnan(view).all(axis=-1)
    shape = (levels,) + (1,) * (inside.ndim - 1)
    index = np.where(inside, np.arange(levels).reshape(shape), levels)
    # The nearest inside level at or below each level: a minimum from the bottom up.
    nearest = np.minimum.accumulate(index[::-1], axis=0)[::-1]
    found = nearest < levels
    taken = np.take_along_axis(view, np.minimum(nearest, levels - 1)[..., None], axis=0)
    filled = np.where(found[..., None], taken, view)
    return filled if down > 0 else filled[::-1]


def down_direction(coord: np.ndarray, role: str, name: Hashable) -> int:
    """+1 when depth grows with the index of the vertical axis *coord*, -1
    when it falls; *role* is "depth" (positive down) or "z" (positive up)."""
    steps = np.diff(np.asarray(coord, np.float64))
    if steps.size and not ((steps > 0).all() or (steps < 0).all()):
        raise ValueError(f'outside="below" needs a monotonic vertical axis; {name!r} is not')
    rising = not steps.size or steps[0] > 0
    return 1 if rising == (role == "depth") else -1


def apply_rules(
    volume: xr.DataArray,
    rules: Rules | Mapping[str, Any] | None,
    *,
    vertical: Hashable | None = None,
) -> xr.DataArray:
    """The rules applied to every point of *volume*.

    Parameters
    ----------
    volume : xarray.DataArray
        What :func:`orvik.sample` returns with all six qualities, in memory
        or lazy. With ``outside="below"`` one dimension must have a
        coordinate whose attribute ``positive`` is "up" (elevation) or "down"
        (depth), as ``sample`` labels z and depth, and a lazy volume must be
        in one block along it.
    rules : Rules or mapping of its arguments
    vertical : dimension name, optional
        The vertical dimension; by default the one labelled ``positive``.

    Returns
    -------
    xarray.DataArray
        A new array of the same shape, coordinates and chunks, whose
        attribute ``orvik_rules`` records the rules.
    """
    import xarray as xr

    rules = Rules.of(rules)
    if not isinstance(volume, xr.DataArray) or QUALITY_DIM not in volume.dims:
        raise TypeError(
            "volume must be an xarray.DataArray with a dimension 'quality', as orvik.sample "
            f"returns; got {type(volume).__name__}"
        )
    if [str(q) for q in volume[QUALITY_DIM].values] != list(QUALITIES):
        raise ValueError(f"volume must hold the qualities {list(QUALITIES)} in this order")
    labelled = [d for d in volume.dims if d in volume.coords and "positive" in volume[d].attrs]
    vertical_dims = labelled if vertical is None else [vertical]
    order = [*(vertical_dims[:1] if rules.whole_columns else []), QUALITY_DIM]
    moved = volume.transpose(*order[:-1], ..., QUALITY_DIM)
    down = 1
    if rules.whole_columns:
        if not vertical_dims or volume[vertical_dims[0]].attrs.get("positive") not in (
            "up",
            "down",
        ):
            raise ValueError(
                'outside="below" needs a vertical coordinate labelled positive "up" or "down"'
            )
        name = vertical_dims[0]
        role = "depth" if volume[name].attrs["positive"] == "down" else "z"
        down = down_direction(volume[name].values, role, name)
        chunks = getattr(moved.data, "chunks", None)
        if chunks is not None and len(chunks[0]) > 1:
            raise ValueError(
                f'outside="below" needs blocks that span the whole vertical axis {name!r}; '
                f"got blocks of {chunks[0]} levels"
            )
    if getattr(moved.data, "chunks", None) is not None:
        if len(moved.data.chunks[-1]) > 1:
            moved = moved.chunk({QUALITY_DIM: -1})
        data = moved.data.map_blocks(rules.apply_block, down, dtype=np.float32)
    else:
        data = rules.apply_block(moved.values, down)
    out = moved.copy(data=data).transpose(*volume.dims)
    out.attrs.update(rules.attrs())
    return out
