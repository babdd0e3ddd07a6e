"""The screens operators put on calibration samples: range, melting level, attenuation.

- ``max_range`` (km): gates beyond it are left out (far gates sit high in the beam and fill
  it partially).
- ``melting_level`` (m above sea level, the height of the 0 degC level, which no volume file
  states): only gates whose beam top lies at least ``melting_margin`` (default 1 km, the
  margin of the operational rain method) below it are kept, so that melting snow (the bright
  band) and ice stay out of samples meant to be rain. The beam top is the beam centre of the
  upper half-power edge, ``elevation + beam_width / 2``, by the 4/3 effective-Earth-radius
  model of :func:`bluster.radar.beam_height`, above the radar's altitude from the volume; the
  beam width is the file's (``radar_beam_width_h``) or else 1 degree, the half-power width of
  the WSR-88D (0.95 degree) and of most operational C-band radars.
- ``max_phidp_rise`` (degrees above the system phase): gates whose fitted PhiDP (or, where it
  has none, the last fitted value before it along the ray) rose more than this above the
  system phase are left out: they lie behind enough rain to attenuate Z and ZDR. Defaults per
  band and number in :func:`bluster.radar.tables.max_phidp_rise_default`.
"""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

from .geometry import beam_height
from .tables import ATTENUATION_PER_DEGREE, max_phidp_rise_default
from .volume import Moments, Sweep

#: The moments that screen gates wherever a volume has them.
SCREENING_QUANTITIES = ("rhohv", "snr")

#: Beam width assumed when the volume states none, degrees.
DEFAULT_BEAM_WIDTH = 1.0

#: Margin between the beam top and the melting level, m (the operational rain method's).
DEFAULT_MELTING_MARGIN = 1000.0


@dataclass(frozen=True)
class Screens:
    """The screens of one number over one volume, resolved against the volume."""

    max_range: float | None  # km
    melting_level: float | None  # m above sea level
    melting_margin: float  # m
    max_phidp_rise: float | None  # degrees above the system phase
    rise_is_default: bool
    altitude: float  # m above sea level, of the antenna
    beam_width: float  # degrees
    beam_width_stated: bool

    def gates(self, sweep: Sweep) -> np.ndarray | None:
        """Gates of ``sweep`` that pass the range and melting-level screens (rays, gates), or
        None when neither screen is set."""
        if self.max_range is None and self.melting_level is None:
            return None
        rays, gates = sweep.data.sizes[sweep.ray_dim], sweep.data.sizes["range"]
        keep = np.ones((rays, gates), dtype=bool)
        distance = np.asarray(sweep.data.variables["range"].values, dtype=np.float64)
        if self.max_range is not None:
            keep &= distance[None, :] <= self.max_range * 1000.0
        if self.melting_level is not None:
            top = np.asarray(sweep.data.variables["elevation"].values, dtype=np.float64)[:, None]
            height = self.altitude + beam_height(distance[None, :], top + self.beam_width / 2)
            keep &= height <= self.melting_level - self.melting_margin
        return keep

    def unattenuated(self, fitted: np.ndarray, last: Callable[[], np.ndarray]) -> np.ndarray | None:
        """Gates not behind strong attenuation, from the fitted PhiDP above the system phase
        (rays, gates) carried forward over the gates without a fit (``last()``: its
        :func:`last_values`), or None without the screen or when it keeps every gate."""
        if self.max_phidp_rise is None:
            return None
        rose = fitted > self.max_phidp_rise
        if not rose.any():  # no fit rose that far, nor can a carried one
            return None
        # the test before the carrying: a gather of booleans moves an eighth of the bytes
        return ~np.take(rose, last())

    def describe(self) -> str:
        """The screens in words, for the reason of a flag."""
        parts = []
        if self.max_range is not None:
            parts.append(f"gates within {self.max_range:g} km")
        if self.melting_level is None:
            parts.append("no melting level given")
        else:
            width = f"{self.beam_width:g} deg" + ("" if self.beam_width_stated else " assumed")
            parts.append(
                f"beam tops at least {self.melting_margin:g} m below the melting level of "
                f"{self.melting_level:g} m (radar at {self.altitude:g} m, beam width {width})"
            )
        if self.max_phidp_rise is not None:
            default = " (the band's default)" if self.rise_is_default else ""
            parts.append(
                f"PhiDP at most {self.max_phidp_rise:.3g} deg above the system phase{default}"
            )
        return "; ".join(parts)


def resolve_screens(
    tree: xr.DataTree,
    number: str,
    band: str | None,
    *,
    max_range: float | None,
    melting_level: float | None,
    melting_margin: float,
    max_phidp_rise: float | None,
) -> Screens:
    """The screens of ``number`` (``"zdr_offset"`` or ``"z_bias"``) over the volume ``tree``:
    arguments checked, the band's default PhiDP rise, the radar's altitude and beam width."""
    max_range = _positive(number, "max_range", max_range, "km")
    margin = _positive(number, "melting_margin", melting_margin, "m", zero=True) or 0.0
    max_phidp_rise = _positive(number, "max_phidp_rise", max_phidp_rise, "degrees")
    rise_is_default = max_phidp_rise is None and _has_attenuation_default(band)
    if rise_is_default:
        max_phidp_rise = max_phidp_rise_default(str(band), number)
    altitude = 0.0
    if melting_level is not None:
        if not np.isfinite(melting_level):
            raise ValueError(
                f"{number}: melting_level={melting_level!r}, expected metres above sea level"
            )
        found = site_altitude(tree)
        if found is None:
            raise ValueError(
                f"{number}: melting_level needs the radar's altitude above sea level, which the "
                "volume does not state (no 'altitude' in its root or sweeps)"
            )
        altitude = found
    width = beam_width(tree)
    return Screens(
        max_range=max_range,
        melting_level=None if melting_level is None else float(melting_level),
        melting_margin=margin,
        max_phidp_rise=max_phidp_rise,
        rise_is_default=rise_is_default,
        altitude=altitude,
        beam_width=DEFAULT_BEAM_WIDTH if width is None else width,
        beam_width_stated=width is not None,
    )


def site_altitude(tree: xr.DataTree) -> float | None:
    """The antenna's altitude above sea level, m, from the volume (root or first sweep)."""
    for node in (tree, *tree.children.values()):
        value = _scalar(node, "altitude")
        if value is not None:
            return value
    return None


def beam_width(tree: xr.DataTree) -> float | None:
    """The horizontal half-power beam width the volume states, degrees, or None."""
    for node in (tree, *tree.children.values()):
        value = _scalar(node, "radar_beam_width_h")
        if value is not None and value > 0:
            return value
    return None


def screening_moments(sweep: Sweep, read: Moments) -> dict[str, np.ndarray]:
    """The optional screening moments the sweep holds (rhohv, snr), (rays, gates)."""
    found = {q: read(sweep, q, required=False) for q in SCREENING_QUANTITIES}
    return {quantity: values for quantity, values in found.items() if values is not None}


def _scalar(node: xr.DataTree, name: str) -> float | None:
    if name not in node.variables:
        return None
    try:
        values = np.asarray(node.variables[name].values, dtype=np.float64).ravel()
    except (TypeError, ValueError):  # xradar's None where the file has no value
        return None
    values = values[np.isfinite(values)]
    return float(values[0]) if values.size else None


def carried_forward(values: np.ndarray) -> np.ndarray:
    """Each NaN of every row replaced by the last value before it along the row (NaN before
    the first value, taken from the row's first gate, which is NaN there)."""
    carried: np.ndarray = np.take(values, last_values(values))
    return carried


def last_values(values: np.ndarray) -> np.ndarray:
    """The flat index (into ``values`` in C order) of the value :func:`carried_forward` puts
    at each place: the last one not NaN at or before it along its row, else the row's first."""
    gates = values.shape[-1]
    rows = values.reshape(-1, gates)
    last = np.where(np.isnan(rows), 0, np.arange(gates))
    np.maximum.accumulate(last, axis=-1, out=last)
    # one gather over the flattened rows: take_along_axis builds an index per axis
    last += (np.arange(rows.shape[0]) * gates)[:, np.newaxis]
    return last.reshape(values.shape)


def _has_attenuation_default(band: str | None) -> bool:
    return band is not None and str(band).strip().upper() in ATTENUATION_PER_DEGREE


def _positive(number: str, name: str, value: Any, unit: str, *, zero: bool = False) -> float | None:
    if value is None:
        return None
    try:
        number_value = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{number}: {name}={value!r}, expected a number in {unit}") from None
    if not np.isfinite(number_value) or number_value < 0 or (number_value == 0 and not zero):
        expected = "non-negative" if zero else "positive"
        raise ValueError(f"{number}: {name}={value!r}, expected a {expected} number in {unit}")
    return number_value
