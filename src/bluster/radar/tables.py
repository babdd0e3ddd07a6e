"""Default calibration tables of rain physics for S, C and X band, kept here as data.

Two relations are needed, each a function of the radar band:

- ``LIGHT_RAIN_ZDR``: the differential reflectivity (dB, at horizontal incidence) that light
  rain shows at a given reflectivity (dBZ), for :func:`bluster.radar.zdr_offset`. Values of
  Ryzhkov and Zrnić (2019), pp. 155-156: the median ZDR of light rain in 2 dB steps from 20 to
  30 dBZ. The S-band row is the light-rain relation of Ryzhkov et al. (2005), obtained from
  drop-size distributions measured by a two-dimensional video disdrometer in Oklahoma; the
  book gives the C- and X-band rows beside it. Assumptions: liquid rain below the melting
  layer, ZDR at horizontal incidence (``offset_stats`` converts it to each sweep's
  elevation); the table is defined from 20 to 30 dBZ only, so that is the default
  reflectivity window of ``zdr_offset``.
- ``SELF_CONSISTENCY_POLYNOMIALS``: KDP / Z_h against ZDR for :func:`bluster.radar.z_bias`,
  as the cubic ``KDP / Z_h = 1e-5 (a0 + a1 ZDR + a2 ZDR^2 + a3 ZDR^3)`` with KDP in deg/km,
  Z_h linear (mm^6 m^-3) and ZDR in dB. The C-band coefficients are those of Gourley,
  Illingworth and Tabary (2009), a fit to scattering computations over measured drop-size
  distributions with the raindrop-shape model their C-band data supported (their paper
  compares several shape models); the S- and X-band coefficients are fits of the same form
  attributed to Gourley et al. in MeteoSwiss's open-source radar processing chain (pyrad /
  Py-ART-MCH), which uses all three operationally. Assumptions: rain only (no melting
  layer, no hail), Rayleigh-to-Mie effects as in those computations. The default table holds
  the cubic at 0.1 dB steps of ZDR from 0 to 3.5 dB, the range of the fits; the core
  interpolates linearly between nodes (within 0.001 in log10, 0.01 dB of Z, of the cubic).

- ``ATTENUATION_PER_DEGREE``: the two-way attenuation of reflectivity (alpha) and of ZDR
  (beta) in rain per degree of differential phase, dB per degree, for the screen of gates
  behind strong attenuation (``max_phidp_rise``). Typical values of the literature (Bringi
  and Chandrasekar 2001; Ryzhkov and Zrnić 2019), the same as the defaults of Py-ART's
  ``calculate_attenuation_philinear``: S 0.04 and 0.004, C 0.08 and 0.03, X 0.28 and 0.04.
  ``max_phidp_rise_default`` turns them into the rise of PhiDP above the system phase at
  which the attenuation reaches the accuracy each number aims for (``ATTENUATION_BUDGET``:
  0.1 dB for the ZDR offset, 0.5 dB for the Z bias): S 25 and 12.5 degrees, C 3.3 and 6.25,
  X 2.5 and 1.8.

A user's own table always replaces these (``table=`` on each function); a band without a
default is an error.

References
----------
Bringi, V. N., and V. Chandrasekar, 2001: Polarimetric Doppler Weather Radar: Principles and
Applications. Cambridge University Press, 636 pp.

Gourley, J. J., A. J. Illingworth, and P. Tabary, 2009: Absolute calibration of radar
reflectivity using redundancy of the polarization observations and implied constraints on drop
shapes. J. Atmos. Oceanic Technol., 26, 689-703, doi:10.1175/2008JTECHA1152.1.

Ryzhkov, A. V., S. E. Giangrande, V. M. Melnikov, and T. J. Schuur, 2005: Calibration issues
of dual-polarization radar measurements. J. Atmos. Oceanic Technol., 22, 1138-1155,
doi:10.1175/JTECH1772.1.

Ryzhkov, A. V., and D. S. Zrnić, 2019: Radar Polarimetry for Weather Observations. Springer,
486 pp., doi:10.1007/978-3-030-05093-1.

Examples
--------
>>> from bluster.radar.tables import light_rain_zdr_table, self_consistency_table
>>> ref_z, ref_v = light_rain_zdr_table("S")
>>> [float(v) for v in ref_v]
[0.23, 0.27, 0.32, 0.38, 0.46, 0.55]
>>> gz, glg = self_consistency_table("C")
>>> round(float(glg[0]), 4)  # log10(6.746e-5) at ZDR = 0 dB
-4.171
>>> from bluster.radar.tables import max_phidp_rise_default
>>> max_phidp_rise_default("C", "z_bias")  # 0.5 dB / 0.08 dB per degree
6.25
"""

from collections.abc import Mapping

import numpy as np
from numpy.typing import NDArray

#: Reflectivity nodes (dBZ) of the light-rain tables.
LIGHT_RAIN_DBZ: tuple[float, ...] = (20.0, 22.0, 24.0, 26.0, 28.0, 30.0)

#: Expected ZDR (dB, horizontal incidence) of light rain at ``LIGHT_RAIN_DBZ``, per band.
LIGHT_RAIN_ZDR: dict[str, tuple[float, ...]] = {
    "S": (0.23, 0.27, 0.32, 0.38, 0.46, 0.55),
    "C": (0.23, 0.27, 0.33, 0.40, 0.48, 0.56),
    "X": (0.23, 0.28, 0.33, 0.41, 0.49, 0.58),
}

#: Coefficients (a0, a1, a2, a3) of KDP / Z_h = 1e-5 * sum(a_k ZDR^k), per band.
SELF_CONSISTENCY_POLYNOMIALS: dict[str, tuple[float, float, float, float]] = {
    "S": (3.696, -1.963, 0.504, -0.051),
    "C": (6.746, -2.970, 0.711, -0.079),
    "X": (11.74, -4.020, -0.140, 0.130),
}

#: ZDR nodes (dB) at which the self-consistency polynomials are tabulated.
SELF_CONSISTENCY_ZDR: NDArray[np.float64] = np.round(np.arange(0.0, 3.5 + 1e-9, 0.1), 10)


def _band_key(band: str, defaults: Mapping[str, object], what: str) -> str:
    key = str(band).strip().upper()
    if key not in defaults:
        raise ValueError(
            f"band={band!r}: there is no default {what} table for this band; the defaults "
            f"cover {', '.join(sorted(defaults))}. Pass your own with table="
        )
    return key


def light_rain_zdr_table(band: str) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Expected ZDR of light rain against reflectivity for ``band`` (S, C or X).

    Returns
    -------
    (ref_z, ref_v) : two float64 arrays of 6 nodes: reflectivity (dBZ) and expected ZDR at
        horizontal incidence (dB), the ``table`` form of :func:`bluster.offset_stats`.
    """
    key = _band_key(band, LIGHT_RAIN_ZDR, "light-rain ZDR")
    return np.array(LIGHT_RAIN_DBZ), np.array(LIGHT_RAIN_ZDR[key])


def self_consistency_table(band: str) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Self-consistency table log10(KDP / Z_h) against ZDR for ``band`` (S, C or X).

    Returns
    -------
    (gz, glg) : ZDR nodes (dB, 0 to 3.5 by 0.1) and log10(KDP / Z_h) at each node, with KDP
        in deg/km and Z_h in mm^6 m^-3: the ``table`` form of :func:`bluster.consistency_stats`.
    """
    key = _band_key(band, SELF_CONSISTENCY_POLYNOMIALS, "self-consistency")
    coefficients = SELF_CONSISTENCY_POLYNOMIALS[key]
    ratio = 1e-5 * np.polynomial.polynomial.polyval(SELF_CONSISTENCY_ZDR, coefficients)
    return SELF_CONSISTENCY_ZDR.copy(), np.log10(ratio)


#: Two-way attenuation in rain per degree of PhiDP, dB per degree: (of Z, of ZDR), per band.
ATTENUATION_PER_DEGREE: dict[str, tuple[float, float]] = {
    "S": (0.04, 0.004),
    "C": (0.08, 0.03),
    "X": (0.28, 0.04),
}

#: The attenuation each number tolerates, dB: about the accuracy each calibration aims for.
ATTENUATION_BUDGET: dict[str, float] = {"zdr_offset": 0.1, "z_bias": 0.5}


def max_phidp_rise_default(band: str, number: str) -> float:
    """The default ``max_phidp_rise`` of ``number`` (``"zdr_offset"`` or ``"z_bias"``) at
    ``band``: the rise of PhiDP, degrees, at which the two-way attenuation of ZDR (of Z for
    the Z bias) reaches ``ATTENUATION_BUDGET[number]``."""
    key = _band_key(band, ATTENUATION_PER_DEGREE, "attenuation")
    alpha, beta = ATTENUATION_PER_DEGREE[key]
    per_degree = beta if number == "zdr_offset" else alpha
    return ATTENUATION_BUDGET[number] / per_degree
