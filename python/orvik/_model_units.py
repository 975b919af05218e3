"""Units of the quantities that model constructors read, and their conversion
to the tree's: metres for lengths, km/s for speeds, g/cm^3 for density,
plain numbers for quality factors and alpha, degrees for longitude and
latitude.

Unit texts are compared after removing spaces and dots and folding case, so
that the forms published files use (``"m/s"``, ``"m s-1"``, ``"m.s-1"``,
``"kg m-3"``, ``"km"``, ``"degrees_east"``) are all understood.
"""

from __future__ import annotations

from typing import Final

#: What each kind of quantity is converted to, and the factor from each unit.
_FACTORS: Final[dict[str, dict[str, float]]] = {
    "length": {
        "m": 1.0,
        "meter": 1.0,
        "meters": 1.0,
        "metre": 1.0,
        "metres": 1.0,
        "km": 1e3,
        "kilometer": 1e3,
        "kilometers": 1e3,
        "kilometre": 1e3,
        "kilometres": 1e3,
    },
    "speed": {
        "km/s": 1.0,
        "kms-1": 1.0,
        "km/sec": 1.0,
        "m/s": 1e-3,
        "ms-1": 1e-3,
        "m/sec": 1e-3,
    },
    "density": {
        "g/cm^3": 1.0,
        "g/cm3": 1.0,
        "g/cc": 1.0,
        "gcm-3": 1.0,
        "g/cm**3": 1.0,
        "kg/m^3": 1e-3,
        "kg/m3": 1e-3,
        "kgm-3": 1e-3,
        "kg/m**3": 1e-3,
    },
    "number": {"": 1.0, "1": 1.0, "dimensionless": 1.0, "none": 1.0},
    "angle": {
        "degrees": 1.0,
        "degree": 1.0,
        "deg": 1.0,
        "degrees_east": 1.0,
        "degree_east": 1.0,
        "degreeseast": 1.0,
        "degrees_north": 1.0,
        "degree_north": 1.0,
        "degreesnorth": 1.0,
    },
}

#: The tree's unit of each kind, as messages name it.
TREE_UNITS: Final = {
    "length": "m",
    "speed": "km/s",
    "density": "g/cm^3",
    "number": "1",
    "angle": "degrees",
}

#: The kind of each quality.
QUALITY_KINDS: Final = {
    "rho": "density",
    "vp": "speed",
    "vs": "speed",
    "qp": "number",
    "qs": "number",
    "alpha": "number",
}


def factor(units: str | None, kind: str, what: str) -> float:
    """The factor that takes values of *what* in *units* to the tree's unit
    of *kind*; ``None`` means the tree's unit already. A unit that is not one
    of *kind* raises ValueError naming *what*."""
    if units is None:
        return 1.0
    key = str(units).replace(" ", "").replace(".", "").lower()
    table = _FACTORS[kind]
    if key in table:
        return table[key]
    raise ValueError(
        f"{what}: unknown units {units!r} for a {kind} (known: "
        f"{', '.join(repr(u) for u in table if u)}; the tree's unit is {TREE_UNITS[kind]})"
    )
