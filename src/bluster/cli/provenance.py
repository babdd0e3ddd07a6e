"""What an output records about the run that wrote it, and the check ``--resume`` makes.

Every output holds, as global attributes, the command, the bluster version and the options
that change its numbers. ``--resume`` adds rows to an output only when this run would write
the same attributes: rows computed with another band, other tables, another reader or
another version are never mixed into one series without a word.
"""

import argparse
import hashlib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from bluster import __version__

COMMAND = "bluster_command"

#: Each attribute, and what sets it, for the message of a mismatch.
SET_BY: dict[str, str] = {
    COMMAND: "the command",
    "bluster_version": "the bluster version",
    "bluster_band": "--band",
    "bluster_tables": "the tables of --band",
    "bluster_engine": "--engine",
    "bluster_moments": "--moment",
    "bluster_heights": "--top and --step",
    "bluster_environment": "--environment",
    "bluster_storm_motion": "--storm-motion",
    "bluster_screens": "the screens (--max-range, --melting-level, --melting-margin, "
    "--max-phidp-rise, --min-category-samples, --min-categories, --min-bias-samples)",
}


def run_attributes(args: argparse.Namespace) -> dict[str, str]:
    """The attributes the output of the run that ``args`` describe records."""
    moments = " ".join(f"{quantity}={name}" for quantity, name in sorted(args.moment))
    attrs = {
        COMMAND: args.command,
        "bluster_version": __version__,
        "bluster_engine": args.engine or "detected from each file",
        "bluster_moments": moments or "the usual names",
    }
    if args.command == "calibrate":
        attrs["bluster_band"] = args.band
        attrs["bluster_tables"] = _default_tables(args.band)
        attrs["bluster_screens"] = _screens(args)
    else:
        top = "each volume's highest ring" if args.top is None else f"{args.top:g} m"
        attrs["bluster_heights"] = f"top {top}, step {args.step:g} m"
        attrs["bluster_environment"] = "yes" if args.environment else "no"
        if args.environment:
            motion = args.storm_motion
            attrs["bluster_storm_motion"] = (
                "Bunkers right mover" if motion is None else f"{motion[0]:g},{motion[1]:g}"
            )
    return attrs


def _screens(args: argparse.Namespace) -> str:
    """The screens of ``bluster calibrate`` as given (unset ones take their defaults, which
    the version and the band fix)."""
    from bluster.cli.parser import SCREEN_OPTIONS

    given = [
        f"--{name.replace('_', '-')} {getattr(args, name):g}"
        for name in SCREEN_OPTIONS
        if getattr(args, name) is not None
    ]
    return " ".join(given) or "defaults"


def _default_tables(band: str) -> str:
    """The band's default tables, named by a digest of their values: a new bluster version
    with other tables is told apart even when nothing else changed."""
    from bluster.radar.tables import light_rain_zdr_table, self_consistency_table

    digest = hashlib.sha256()
    for table in (light_rain_zdr_table(band), self_consistency_table(band)):
        for values in table:
            digest.update(np.ascontiguousarray(values, dtype=np.float64).tobytes())
    return f"{band}-band defaults, sha256 {digest.hexdigest()[:16]}"


def check_resumable(recorded: Mapping[str, Any], attrs: Mapping[str, str], out: Path) -> None:
    """Refuse to add rows to ``out``, whose attributes are ``recorded``, unless this run
    would record the same ``attrs``.

    Raises
    ------
    ValueError
        A difference, in words that name the option to give.
    """
    for key, value in attrs.items():
        was = recorded.get(key)
        was = was.decode(errors="replace") if isinstance(was, bytes) else was
        if was is None:
            raise ValueError(
                f"--resume: {out} does not record {SET_BY[key]} of its rows (written by an "
                "older bluster?): its rows and this run's could differ; write to a new --out, "
                "or leave out --resume to compute every volume again"
            )
        if str(was) == value:
            continue
        if key == "bluster_version":
            raise ValueError(
                f"--resume: {out} was written by bluster {was}, this is bluster {value}, and "
                "rows of two versions may differ; write to a new --out, or leave out --resume "
                "to compute every volume again"
            )
        raise ValueError(
            f"--resume: {out} was written with {SET_BY[key]} {was!r}, this run has "
            f"{value!r}, and its rows would be mixed with the others; give the same options "
            "as the run that wrote it, or write to a new --out"
        )
