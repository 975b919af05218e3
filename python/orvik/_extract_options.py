"""The options of ``orvik extract`` for simulation rules and for SEG-Y and
VTK output, and what the command does with them."""

from __future__ import annotations

import argparse
import shutil
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .qualities import QUALITIES
from .rules import OUTSIDE_POLICIES, Q_RULES, Rules

#: Output formats written from a finished Zarr store, by file name ending.
EXPORTS = {".sgy": "segy", ".segy": "segy", ".vtr": "vtk"}


def add_rule_arguments(p: argparse.ArgumentParser) -> None:
    rules = p.add_argument_group(
        "simulation rules",
        "applied to every point as it is sampled, in this order, and recorded in the output's "
        "attribute orvik_rules; speeds in the model file's unit (km/s unless it says m/s)",
    )
    rules.add_argument(
        "--outside",
        choices=OUTSIDE_POLICIES,
        default="keep",
        help="points outside every model: keep them NaN (the default), fill them with --fill, "
        "or give them the values of the nearest point inside a model below them in their "
        "column (NaN when there is none; each block then spans the whole vertical axis)",
    )
    rules.add_argument(
        "--fill",
        nargs="+",
        type=_fill_item,
        default=None,
        metavar="VALUE",
        help="with --outside fill: one value for every quality, or NAME=VALUE pairs (the "
        "qualities not named stay NaN)",
    )
    rules.add_argument(
        "--vs-min",
        type=float,
        default=None,
        metavar="VS",
        help="a Vs floor: where 0 < Vs < VS, Vs becomes VS and Vp is scaled by the same "
        "factor (Vp/Vs kept); density unchanged; fluids (Vs = 0) unchanged",
    )
    rules.add_argument(
        "--vp-vs-min",
        type=float,
        default=None,
        metavar="RATIO",
        help="a minimum Vp/Vs: where Vp < RATIO * Vs, Vp becomes RATIO * Vs",
    )
    rules.add_argument(
        "--q",
        choices=Q_RULES,
        default=None,
        help="Qp and Qs from Vs: olsen is Qs = 50 Vs (km/s), Qp = 2 Qs, 10000 in fluids",
    )


def _fill_item(text: str) -> tuple[str | None, float]:
    name, sep, value = text.rpartition("=")
    try:
        number = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a number nor NAME=VALUE") from None
    return (name if sep else None), number


def rules_of(args: argparse.Namespace, speed_unit: str) -> Rules:
    fill: Any = None
    if args.fill is not None:
        named = {n: v for n, v in args.fill if n is not None}
        plain = [v for n, v in args.fill if n is None]
        if plain and (named or len(plain) > 1):
            raise ValueError("--fill takes one value or NAME=VALUE pairs, not both")
        fill = plain[0] if plain else named
    return Rules(
        vs_min=args.vs_min,
        vp_vs_min=args.vp_vs_min,
        q=args.q,
        outside=args.outside,
        fill=fill,
        speed_unit=speed_unit,
    )


def export_format(fmt: str | None, out: str) -> str | None:
    """ "segy" or "vtk" when OUT is written from a Zarr store, else None."""
    if fmt in ("segy", "vtk"):
        return fmt
    return EXPORTS.get(Path(out).suffix.lower()) if fmt is None else None


def staging_store(out: str) -> Path:
    """The Zarr store that an exported volume is extracted into first (and
    resumed from, when the command is run again)."""
    return Path(out).with_name(Path(out).name + ".partial.zarr")


def check_target(out: str, fmt: str, restart: bool, qualities: Sequence[str]) -> None:
    """Refuses to replace files unless asked to, before any work."""
    if fmt == "vtk" and Path(out).suffix != ".vtr":
        raise ValueError(f"a VTK grid is written to a file ending in .vtr; got {out}")
    if fmt == "segy":
        from .segy import segy_paths

        targets = segy_paths(out, [q for q in QUALITIES if q in qualities])
    else:
        targets = [Path(out)]
    for target in targets:
        if target.exists() and not restart:
            raise ValueError(f"{target} exists; remove it or pass --restart to replace it")


def export(store: Path, out: str, fmt: str) -> list[Path]:
    """Writes the finished store as SEG-Y or VTK and removes it."""
    if fmt == "segy":
        from .segy import to_segy

        written = to_segy(store, out)
    else:
        from .vtk_grid import to_vtk

        written = [to_vtk(store, out)]
    shutil.rmtree(store)
    return written
