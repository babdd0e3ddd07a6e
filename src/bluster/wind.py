"""Wind: velocity-azimuth display retrieval and layer winds, helicity and mean wind."""

from typing import Any

import numpy as np
import xarray as xr

import _bluster

from ._apply import Layout, Operand, run
from ._inputs import as_array, as_float, as_int

ArrayLike = Any  # NumPy, masked, xarray, pint or Dask-backed arrays, nested sequences

_VAD_OUTPUTS = ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2")


def vad(
    velocity: ArrayLike,
    azimuth: ArrayLike,
    elevation: ArrayLike,
    *,
    min_gates: int = 30,
    min_spread: float = 0.1,
    dim: str = "azimuth",
    n_threads: int = 0,
) -> xr.Dataset:
    """Horizontal wind of every ring of radial velocities (velocity-azimuth display).

    On a ring of samples at one range and elevation, the radial velocity of a uniform wind
    traces a sinusoid of azimuth. Each ring is fitted by least squares with
    ``vr = offset + u cos(el) sin(az) + v cos(el) cos(az)``, and a second time with the
    harmonics ``sin(2 az)`` and ``cos(2 az)`` added.

    Parameters
    ----------
    velocity : array_like, (rings..., samples)
        Radial velocity, m s-1 (converted when it carries units), positive away from the
        radar. A sweep DataArray with dims ``azimuth`` and ``range`` (either order) gives one
        ring per range gate.
    azimuth : array_like, (rings..., samples) or (samples,)
        Azimuth of each sample, degrees clockwise from north (radians when its units say
        so). One azimuth per sample, such as a sweep's ``azimuth`` coordinate, serves every
        ring.
    elevation : array_like, scalar or (rings...,)
        Elevation angle of each ring, degrees (converted when it carries units).
    min_gates : int, optional
        Fewest valid samples a ring needs; at least 3 are always needed. Default 30.
    min_spread : float, optional
        Least azimuthal spread of the valid samples: the determinant of the covariance of
        (sin az, cos az), 0 for a single azimuth and 0.25 for a full circle. Default 0.1.
    dim : str, optional
        Name of the samples dimension of DataArray inputs. Default ``"azimuth"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs, whose chunks the scheduler runs in parallel).

    Returns
    -------
    xarray.Dataset
        Over the ring dimensions (the input's other dims and their coordinates; ``ring``
        for NumPy input), variables ``u``, ``v`` (eastward and northward wind, m s-1),
        ``offset`` and ``rms`` (offset and rms residual of the first fit, m s-1), ``count``
        (valid samples), ``offset2``, ``sin2``, ``cos2`` (offset and second-harmonic
        coefficients of the second fit, m s-1).

    Notes
    -----
    A sample is valid when its velocity and azimuth are finite (masked values are missing).
    The first fit is accepted with at least ``max(3, min_gates)`` valid samples and a spread
    of at least ``min_spread``; otherwise only ``count`` is given and the rest is NaN. The
    second fit is accepted when its 4 x 4 system is regular and its determinant over N**4 is
    at least ``min_spread / 4``.

    References
    ----------
    Browning, K. A., and R. Wexler, 1968: The determination of kinematic properties of a
    wind field using Doppler radar. J. Appl. Meteor., 7, 105-113.

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> az = np.arange(360) + 0.5  # degrees
    >>> a, el = np.deg2rad(az), np.deg2rad(2.5)
    >>> vr = (8.0 * np.sin(a) + 12.0 * np.cos(a)) * np.cos(el)  # a south-westerly wind
    >>> wind = bluster.vad(vr[np.newaxis], az, 2.5)
    >>> print(f"u={wind.u.item():.3f} v={wind.v.item():.3f} count={wind['count'].item():.0f}")
    u=8.000 v=12.000 count=360
    """
    func = "vad"
    gates = as_int(func, "min_gates", min_gates)
    spread = as_float(func, "min_spread", min_spread)
    layout = Layout(func, (dim,), ("samples",), "ring", _VAD_OUTPUTS)
    operands = [
        Operand("velocity", as_array(func, "velocity", velocity, "m/s"), (dim,)),
        Operand(
            "azimuth",
            as_array(func, "azimuth", azimuth, "radian", plain="degree"),
            (dim,),
            hint="or one azimuth per sample",
        ),
        Operand("elevation", as_array(func, "elevation", elevation, "radian", plain="degree")),
    ]

    def kernel(velocity: np.ndarray, azimuth: np.ndarray, elevation: np.ndarray, n_threads: int):
        return _bluster.vad(velocity, azimuth, np.cos(elevation), gates, spread, n_threads)

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))
