"""The site model table as hazard engines take it: what becomes of sites
without a value (the NaN policy), and the optional columns ``vs30measured``
and ``custom_site_id``."""

from __future__ import annotations

from typing import Any

import numpy as np

#: The products of a site model table, the columns a NaN policy looks at.
PRODUCTS = ("vs30", "z1pt0", "z2pt5")
#: The optional columns, in the order they follow the others.
OPTIONAL = ("vs30measured", "custom_site_id")
#: Sites a NaN error names before it gives up listing.
_LISTED = 10


def nan_policy(policy: Any) -> tuple[str, float]:
    """A NaN policy as (``"error"``, ``"drop"``, ``"fill"`` or ``"keep"``,
    the fill value)."""
    text = str(policy).strip() if isinstance(policy, str) else None
    if text in ("error", "drop", "keep"):
        return text, float("nan")
    if text is not None and text.startswith("fill="):
        try:
            value = float(text[5:])
        except ValueError:
            value = float("nan")
        if np.isfinite(value):
            return "fill", value
    raise ValueError(
        "nan_policy must be 'error', 'drop', 'fill=VALUE' (a finite number) or 'keep'; "
        f"got {policy!r}"
    )


def apply_nan_policy(columns: dict[str, np.ndarray], policy: tuple[str, float]) -> np.ndarray:
    """Applies *policy* to the products of *columns* (in place for a fill)
    and returns the rows to keep; raises ValueError listing the sites when
    the policy is an error."""
    kind, value = policy
    missing = np.zeros(len(columns["lon"]), bool)
    for name in PRODUCTS:
        missing |= np.isnan(columns[name])
    if kind == "keep" or not missing.any():
        return np.ones(len(missing), bool)
    if kind == "drop":
        return ~missing
    if kind == "fill":
        for name in PRODUCTS:
            columns[name] = np.where(np.isnan(columns[name]), value, columns[name])
        return np.ones(len(missing), bool)
    rows = np.flatnonzero(missing)
    listed = "; ".join(
        f"site {i} (lon {columns['lon'][i]:g}, lat {columns['lat'][i]:g}): "
        + ", ".join(n for n in PRODUCTS if np.isnan(columns[n][i]))
        for i in rows[:_LISTED]
    )
    more = f"; and {len(rows) - _LISTED} more" if len(rows) > _LISTED else ""
    raise ValueError(
        f"{len(rows)} of {len(missing)} sites have no value (NaN), which hazard engines do not "
        f"read: {listed}{more}. No model there, a fluid in the top 30 m, the speed not reached "
        "above max_depth, or a site that is no place; pass nan_policy='drop' to leave them "
        "out or 'fill=VALUE' to give them a value"
    )


def site_ids(stations: Any, given: Any, n: int) -> np.ndarray | None:
    """The ``custom_site_id`` column: None for none; True for the stations'
    own ``custom_site_id`` column, or 1 to n without one; or the ids given."""
    if given is None or given is False:
        return None
    if given is True:
        try:
            ids = stations["custom_site_id"]
        except (KeyError, ValueError, IndexError, TypeError):
            return np.arange(1, n + 1)
        given = ids
    ids = np.asarray(given).reshape(-1)
    if len(ids) != n:
        raise ValueError(f"custom_site_id must give one id per station ({n}); got {len(ids)}")
    text = [str(i) for i in ids.tolist()]
    bad = [t for t in text if not t or any(c in t for c in ',"\r\n')]
    if bad:
        raise ValueError(
            f"custom_site_id must be text without commas, quotes or line breaks; got {bad[0]!r}"
        )
    return ids


def optional_cells(table: Any, start: int, stop: int) -> list[list[bytes]]:
    """The cells of the optional columns that *table* has, for rows start to
    stop, as CSV text."""
    cells = []
    if "vs30measured" in table:
        flags = np.asarray(table["vs30measured"], bool)[start:stop]
        cells.append([b"true" if f else b"false" for f in flags])
    if "custom_site_id" in table:
        ids = np.asarray(table["custom_site_id"])[start:stop]
        cells.append([str(i).encode() for i in ids.tolist()])
    return cells
