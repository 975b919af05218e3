"""Layered 1-D Earth models as tables, and the two text formats in which ak135,
iasp91 and PREM are distributed (TauP's ``.tvel`` and ``.nd``)."""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

__all__ = ["LayeredTable", "read_nd", "read_tvel"]


#: (vp, vs) in km/s to (qp, qs): the rule that fills in absent quality factors.
QRule = Callable[
    [npt.NDArray[np.float64], npt.NDArray[np.float64]],
    tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]],
]


@dataclass(frozen=True)
class LayeredTable:
    """A layered 1-D model: values at depths, linear between consecutive
    depths; a depth listed twice is a discontinuity (the upper row's values
    end the layer above, the lower row's begin the layer below).

    Depths are in metres below the model's reference surface, increasing;
    ``vp`` and ``vs`` in km/s, ``rho`` in g/cm^3; ``qp`` and ``qs`` are
    ``None`` when the table does not give them. ``source`` names the table
    in messages.
    """

    depth: npt.NDArray[np.float64]
    vp: npt.NDArray[np.float64]
    vs: npt.NDArray[np.float64]
    rho: npt.NDArray[np.float64]
    qp: npt.NDArray[np.float64] | None = None
    qs: npt.NDArray[np.float64] | None = None
    source: str = "table"

    def __post_init__(self) -> None:
        n = len(self.depth)
        for name in ("depth", "vp", "vs", "rho", "qp", "qs"):
            values = getattr(self, name)
            if values is None:
                continue
            values = np.asarray(values, np.float64)
            object.__setattr__(self, name, values)
            if values.shape != (n,):
                raise ValueError(
                    f"{self.source}: {name} must have the shape of depth, ({n},); got {values.shape}"
                )
        if (self.qp is None) != (self.qs is None):
            raise ValueError(f"{self.source}: give both qp and qs, or neither")
        if n < 2:
            raise ValueError(f"{self.source}: a layered model needs at least two depths; got {n}")
        if not np.all(np.isfinite(self.depth)):
            raise ValueError(f"{self.source}: depth must hold finite numbers")
        step = np.diff(self.depth)
        if np.any(step < 0):
            row = int(np.argmax(step < 0)) + 1
            raise ValueError(
                f"{self.source}: depth must not decrease; row {row} ({self.depth[row]} m) "
                f"lies above row {row - 1} ({self.depth[row - 1]} m)"
            )

    def qualities(self, q_rule: QRule, alpha: float = 1.0) -> npt.NDArray[np.float32]:
        """The (N, 6) float32 rows ``rho, vp, vs, qp, qs, alpha``; absent
        quality factors come from *q_rule*."""
        if self.qp is not None and self.qs is not None:
            qp, qs = self.qp, self.qs
        else:
            qp, qs = q_rule(self.vp, self.vs)
        columns = [self.rho, self.vp, self.vs, qp, qs, np.full_like(self.depth, alpha)]
        return np.column_stack(columns).astype(np.float32)


def _data_lines(path: Path, skip: int) -> Iterator[tuple[int, list[str]]]:
    """(line number, fields) of the lines after the first *skip*, without
    blank lines and comments (``#`` or ``//``)."""
    with open(path, "rb") as f:
        for number, raw in enumerate(f, start=1):
            if number <= skip:
                continue
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError:
                raise ValueError(
                    f"{path}, line {number}: not UTF-8 text (is it a table of numbers?)"
                ) from None
            text = line.split("#", 1)[0].split("//", 1)[0].strip()
            if text:
                yield number, text.split()


def _numbers(path: Path, number: int, fields: list[str], wanted: str) -> list[float]:
    try:
        values = [float(f) for f in fields]
    except ValueError:
        values = []
    if not values or any(math.isnan(v) for v in values):
        raise ValueError(f"{path}, line {number}: expected {wanted}, got {' '.join(fields)!r}")
    return values


def _table(path: Path, rows: list[list[float]], source: str) -> LayeredTable:
    if not rows:
        raise ValueError(f"{path}: the table holds no rows of numbers")
    a = np.asarray(rows, np.float64)
    q = a.shape[1] == 6
    return LayeredTable(
        depth=a[:, 0] * 1e3,
        vp=a[:, 1],
        vs=a[:, 2],
        rho=a[:, 3],
        qp=a[:, 4] if q else None,
        qs=a[:, 5] if q else None,
        source=source,
    )


def read_tvel(path: str | os.PathLike[str]) -> LayeredTable:
    """Read a ``.tvel`` table: two header lines, then rows of depth (km), Vp
    and Vs (km/s) and density (g/cm^3), a depth listed twice being a
    discontinuity. Depths come back in metres.

    A line that is not four numbers raises ValueError with its line number.
    """
    path = Path(path)
    rows = []
    wanted = "4 numbers (depth km, vp, vs, rho)"
    for number, fields in _data_lines(path, skip=2):
        values = _numbers(path, number, fields, wanted)
        if len(values) != 4:
            raise ValueError(f"{path}, line {number}: expected {wanted}, got {' '.join(fields)!r}")
        rows.append(values)
    return _table(path, rows, str(path))


def read_nd(path: str | os.PathLike[str]) -> LayeredTable:
    """Read a ``.nd`` ("named discontinuities") table: rows of depth (km), Vp
    and Vs (km/s), density (g/cm^3) and, in every row or in none, Qp and Qs;
    lines of one word (``mantle``, ``outer-core``, ``inner-core``) name the
    discontinuity that follows and are skipped, as are comments. Depths come
    back in metres.

    A line that is neither raises ValueError with its line number.
    """
    path = Path(path)
    rows: list[list[float]] = []
    wanted = "4 or 6 numbers (depth km, vp, vs, rho[, qp, qs]) or a discontinuity's name"
    for number, fields in _data_lines(path, skip=0):
        if len(fields) == 1 and not fields[0][:1].isdigit() and fields[0][:1] not in "+-.":
            continue  # the name of the discontinuity below
        values = _numbers(path, number, fields, wanted)
        if len(values) not in (4, 6) or (rows and len(values) != len(rows[0])):
            raise ValueError(f"{path}, line {number}: expected {wanted}, got {' '.join(fields)!r}")
        rows.append(values)
    return _table(path, rows, str(path))
