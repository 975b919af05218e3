"""Units of the quantities that model constructors read, their conversion to
the tree's (metres for lengths, km/s for speeds, g/cm^3 for density, plain
numbers for quality factors and alpha, degrees for longitude and latitude),
and the checks that values are plausible in the unit assumed.

Unit texts are read as UDUNITS and CF write them: symbols or words, products
by spaces, dots or ``*``, quotients by ``/`` or ``per``, powers as ``m3``,
``m^3``, ``m**3``, ``m-3`` or ``cubic metre``. So ``"m/s"``, ``"m s-1"``,
``"m.s-1"``, ``"metres per second"``, ``"kg m-3"``, ``"kg/m^3"`` and
``"kilograms per cubic meter"`` are all understood.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from typing import Final

import numpy as np
import numpy.typing as npt

from .qualities import QUALITIES, QUALITY_FACTS

#: The factor from each unit (in its canonical form, see `_canonical`) to the
#: tree's unit of its kind.
_FACTORS: Final[dict[str, dict[str, float]]] = {
    "length": {"m": 1.0, "km": 1e3},
    "speed": {"km/s": 1.0, "m/s": 1e-3},
    "density": {"g/cm3": 1.0, "g/cc": 1.0, "kg/m3": 1e-3},
    "number": {"": 1.0, "1": 1.0, "dimensionless": 1.0, "none": 1.0},
    "angle": dict.fromkeys(
        (
            "degrees",
            "degree",
            "deg",
            "degrees_east",
            "degree_east",
            "degreeseast",
            "degrees_north",
            "degree_north",
            "degreesnorth",
        ),
        1.0,
    ),
}

#: The tree's unit of each kind, as messages name it.
TREE_UNITS: Final = {
    "length": "m",
    "speed": "km/s",
    "density": "g/cm^3",
    "number": "1",
    "angle": "degrees",
}

#: The units a value of each kind is commonly published in, as messages
#: suggest them.
_COMMON: Final = {
    "length": ("m", "km"),
    "speed": ("km/s", "m/s"),
    "density": ("g/cm^3", "kg/m^3"),
}

#: The kind of each quality.
QUALITY_KINDS: Final = {q: f.kind for q, f in QUALITY_FACTS.items()}

# Words for unit symbols, longest first where one begins another.
_WORDS: Final = {
    **dict.fromkeys(("kilometers", "kilometres", "kilometer", "kilometre"), "km"),
    **dict.fromkeys(("centimeters", "centimetres", "centimeter", "centimetre"), "cm"),
    **dict.fromkeys(("meters", "metres", "meter", "metre"), "m"),
    **dict.fromkeys(("kilograms", "kilogram"), "kg"),
    **dict.fromkeys(("grams", "gram"), "g"),
    **dict.fromkeys(("seconds", "second", "sec"), "s"),
}
_POWERS: Final = {"square": 2, "cubic": 3}
_TOKEN: Final = re.compile(r"([a-z_]+)(-?\d+)?")


def _canonical(units: str) -> str:
    """*units* as a product of symbols over a product of symbols (``"kg/m3"``,
    ``"km/s"``), or folded to lower case without spaces when not a product
    of symbols (``"1"``, ``"degrees_east"``)."""
    text = units.strip().lower().replace("**", "").replace("^", "")
    folded = text.replace(" ", "").replace(".", "")
    over: list[str] = []
    under: list[str] = []
    for part, quotient in enumerate(re.sub(r"\bper\b", "/", text).split("/")):
        power = 1
        for token in re.split(r"[\s.*]+", quotient.strip()):
            if not token:
                continue
            if token in _POWERS:
                power = _POWERS[token]
                continue
            match = _TOKEN.fullmatch(token)
            if match is None:
                return folded
            exponent = int(match[2] or 1) * power * (-1 if part else 1)
            power = 1
            symbol = _WORDS.get(match[1], match[1])
            (over if exponent > 0 else under).append(
                symbol + (str(abs(exponent)) if abs(exponent) != 1 else "")
            )
    if not under:
        return "".join(over) or folded
    return "".join(over) + "/" + "".join(under)


def factor(units: str | None, kind: str, what: str) -> float:
    """The factor that takes values of *what* in *units* to the tree's unit
    of *kind*; ``None`` means the tree's unit already. A unit that is not one
    of *kind* raises ValueError naming *what*."""
    if units is None:
        return 1.0
    table = _FACTORS[kind]
    key = _canonical(str(units))
    if key in table:
        return table[key]
    known = _COMMON.get(kind, tuple(u for u in table if u))
    raise ValueError(
        f"{what}: unknown units {units!r} for a {kind} (known: "
        f"{', '.join(repr(u) for u in known)}; the tree's unit is {TREE_UNITS[kind]})"
    )


def is_angle(units: str | None) -> bool:
    """Whether *units* are those of a longitude or a latitude."""
    return units is not None and _canonical(str(units)) in _FACTORS["angle"]


def check_keys(units: Mapping[str, object], axes: Iterable[str]) -> None:
    """Refuses keys of a ``units=`` mapping that name no quality or axis."""
    known = [*axes, *QUALITIES]
    for key in units:
        if key not in known:
            near = [k for k in known if isinstance(key, str) and k == key.lower()]
            hint = f"; did you mean {near[0]!r}?" if near else ""
            raise ValueError(
                f"units: {key!r} names no quality or axis (known: {', '.join(known)}){hint}"
            )


def check_plausible(
    name: str, values: npt.ArrayLike, units: str | None, fluid: npt.ArrayLike | None = None
) -> None:
    """Refuses values of quality *name*, given in *units* (the tree's unit
    when None), that are implausible once converted, naming the unit in
    which they would be plausible when there is one. Where *fluid* (Vs = 0)
    a qs of 0 is taken as published models write it: no shear."""
    fact = QUALITY_FACTS[name]
    a = np.asarray(values, np.float64)
    if name == "qs" and fluid is not None:
        a = a[~((a == 0) & np.broadcast_to(np.asarray(fluid, bool), a.shape))]
    a = a[np.isfinite(a)]
    if not a.size:
        return
    f = factor(units, fact.kind, name)
    lo, hi = float(a.min()), float(a.max())
    if fact.plausible(lo * f) and fact.plausible(hi * f):
        return
    end, word = (hi, "up to") if hi * f > fact.high else (lo, "down to")
    if name == "alpha":
        raise ValueError(
            f"alpha must lie in [0, 1] (0: transparent, 1: opaque); got values {word} {end:g}"
        )
    for unit in _COMMON.get(fact.kind, ()):
        g = factor(unit, fact.kind, name)
        if g != f and fact.plausible(lo * g) and fact.plausible(hi * g):
            raise ValueError(
                f"{name} {word} {end:g}: looks like {unit}; pass units={{{name!r}: {unit!r}}}"
            )
    given = f" {units}" if units else ""
    raise ValueError(
        f"{name} {word} {end:g}{given}: not a plausible {fact.long_name} ({fact.range_text()})"
    )


#: A horizontal extent (m) over which a vertical axis of small numbers, read
#: as metres, is suspect: the nodes are more likely kilometres.
SUSPECT_WIDTH: Final = 20e3
#: The magnitude (m) below which every node of such an axis is suspect.
SUSPECT_DEPTH: Final = 1000.0


def check_vertical(what: str, values: npt.ArrayLike, width: float, keys: str) -> None:
    """Refuses a vertical axis whose nodes, read as metres because no unit
    was given, all lie within +-1000 under a model *width* metres wide
    (tens of kilometres): they look like kilometres. *keys* are the
    ``units=`` keys that settle it."""
    a = np.asarray(values, np.float64)
    top = float(np.nanmax(np.abs(a))) if a.size else 0.0
    if width >= SUSPECT_WIDTH and top < SUSPECT_DEPTH:
        km = ", ".join(f"{k!r}: 'km'" for k in keys.split())
        m = ", ".join(f"{k!r}: 'm'" for k in keys.split())
        raise ValueError(
            f"{what} within +-{top:g}, read as metres, under a model {width / 1e3:.0f} km wide: "
            f"looks like km; pass units={{{km}}}, or units={{{m}}} if they are metres"
        )
