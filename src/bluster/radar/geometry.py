"""Beam geometry: the height of a radar beam above the antenna.

References
----------
Doviak, R. J., and D. S. Zrnić, 1993: Doppler Radar and Weather Observations. 2nd ed.,
Academic Press, 562 pp. (eq. 2.28b).
"""

import numpy as np
from numpy.typing import ArrayLike, NDArray

#: Mean radius of the Earth, m.
EARTH_RADIUS = 6_371_000.0
#: Effective-Earth-radius factor of the standard atmosphere (refractivity gradient -1/4a).
EFFECTIVE_RADIUS_FACTOR = 4.0 / 3.0


def beam_height(range_m: ArrayLike, elevation_deg: ArrayLike) -> NDArray[np.float64]:
    """Height of the beam centre above the antenna by the 4/3 effective-Earth-radius model.

    ``h = sqrt(r^2 + (k a)^2 + 2 r k a sin(el)) - k a`` with k = 4/3 and a the Earth's
    radius (Doviak and Zrnić 1993, eq. 2.28b); the arguments broadcast against each other.

    Parameters
    ----------
    range_m : array_like
        Slant range along the beam, m.
    elevation_deg : array_like
        Elevation angle of the beam, degrees.

    Returns
    -------
    numpy.ndarray
        Height above the antenna, m.

    References
    ----------
    Doviak, R. J., and D. S. Zrnić, 1993: Doppler Radar and Weather Observations. 2nd ed.,
    Academic Press, eq. 2.28b.

    Examples
    --------
    >>> from bluster.radar.geometry import beam_height
    >>> round(float(beam_height(100_000.0, 0.5)), 1)  # 100 km out at 0.5 degrees
    1461.1
    """
    r = np.asarray(range_m, dtype=np.float64)
    el = np.deg2rad(np.asarray(elevation_deg, dtype=np.float64))
    ka = EFFECTIVE_RADIUS_FACTOR * EARTH_RADIUS
    return np.sqrt(r * r + ka * ka + 2.0 * r * ka * np.sin(el)) - ka
