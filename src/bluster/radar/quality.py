"""The quality flag of every calibration number: a CF flag variable with the reason.

Each number of :mod:`bluster.radar.calibration` (system phase, ZDR offset, Z bias) comes with
``<number>_quality``: an integer with CF's ``flag_values`` and ``flag_meanings`` naming what
became of it, and ``reason``, a sentence saying why. A number below its minimums is NaN with
its flag, never a bare number; ``ok`` and ``no_melting_level_given`` carry a number.
"""

from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

#: The flags, in the order of their values 0, 1, 2, ...
FLAGS: tuple[str, ...] = (
    "ok",
    "too_few_samples",
    "too_few_categories",
    "no_kdp_estimated",
    "no_melting_level_given",
    "attenuated",
    "missing_moment",
)

#: What each flag says, for the documentation and the command line's summary.
MEANINGS: dict[str, str] = {
    "ok": "the number passed every screen and minimum",
    "too_few_samples": "too few samples passed the screens: NaN",
    "too_few_categories": (
        "too few reflectivity categories hold the minimum number of samples: NaN"
    ),
    "no_kdp_estimated": "the volume has no KDP and none could be estimated from PhiDP: NaN",
    "no_melting_level_given": (
        "computed without a melting level: gates in or above the melting layer may be in it"
    ),
    "attenuated": (
        "too few samples once the gates behind strong attenuation were left out (max_phidp_rise): "
        "NaN"
    ),
    "missing_moment": "the volume lacks a moment the number needs: NaN",
}

#: The flags that come with a number (every other flag comes with NaN).
WITH_A_NUMBER: frozenset[str] = frozenset({"ok", "no_melting_level_given"})


def flag_value(flag: str) -> int:
    """The value of ``flag`` in the flag variables."""
    return FLAGS.index(flag)


def flag_attrs(number: str) -> dict[str, object]:
    """The CF attributes of the flag variable of ``number`` (without its reason)."""
    return {
        "long_name": f"quality flag of {number}",
        "standard_name": "quality_flag",
        "flag_values": np.arange(len(FLAGS), dtype=np.int8),
        "flag_meanings": " ".join(FLAGS),
    }


def quality_variable(number: str, flag: str, reason: str) -> xr.DataArray:
    """The scalar flag variable of ``number``: ``flag`` with ``reason`` in its attributes.

    Examples
    --------
    >>> from bluster.radar.quality import quality_variable
    >>> flag = quality_variable("zdr_offset", "too_few_samples", "12 samples; 1,000 needed")
    >>> int(flag), flag.attrs["flag_meanings"].split()[int(flag)]
    (1, 'too_few_samples')
    """
    return xr.DataArray(np.int8(flag_value(flag)), attrs=flag_attrs(number) | {"reason": reason})


#: A scalar of a volume's result and its attributes.
Scalar = tuple[Any, dict[str, Any]]


@dataclass(frozen=True)
class Number:
    """One number of a volume before it is labelled: the statistics of each sweep used (the
    core's, by name), the volume's scalars (the number first), its flag and the reason."""

    name: str
    per_sweep: dict[str, np.ndarray]
    scalars: dict[str, Scalar]
    flag: str
    reason: str

    def quality(self) -> xr.DataArray:
        """The flag variable of the number, with the reason."""
        return quality_variable(self.name, self.flag, self.reason)
