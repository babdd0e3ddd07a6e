"""Wind: velocity-azimuth display retrieval and layer winds, helicity and mean wind."""

from typing import Any

import numpy as np
import xarray as xr

import _bluster

from ._apply import Layout, Operand, optional_operand, run
from ._inputs import as_array, as_float, as_int, as_optional, check_elevation

ArrayLike = Any  # NumPy, masked, xarray, pint or Dask-backed arrays, nested sequences

_VAD_OUTPUTS = ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2")
# A PPI's per-ray elevations that vary less than this are one elevation: the antenna's
# pointing noise. More means another scan (an RHI, a volume of several elevations).
ELEVATION_TOLERANCE = 0.1  # degrees


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
        so; units that name no angle, such as ``"1"``, are refused). One azimuth per
        sample, such as a sweep's ``azimuth`` coordinate, serves every ring.
    elevation : array_like, scalar or (rings...,)
        Elevation angle of each ring, degrees (converted when it carries units: an angle
        unit), from -2 to 90; NaN gives NaN fits. A DataArray
        along the samples dimension, such as an xradar sweep's ``elevation`` coordinate (one
        angle per ray), is taken by its mean when it varies by at most 0.1 degree.
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
        Operand("elevation", _ring_elevation(func, elevation, dim)),
    ]

    def kernel(
        velocity: np.ndarray, azimuth: np.ndarray, elevation: np.ndarray, n_threads: int
    ) -> np.ndarray:
        check_elevation(func, np.rad2deg(elevation))
        return _bluster.vad(velocity, azimuth, np.cos(elevation), gates, spread, n_threads)

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))


def _ring_elevation(func: str, elevation: ArrayLike, dim: str) -> Any:
    """The elevation of each ring, radians: per-sample elevations along ``dim`` (one per ray
    of a sweep) by their mean, when they vary by at most ``ELEVATION_TOLERANCE``."""
    radians = as_array(func, "elevation", elevation, "radian", plain="degree")
    if not isinstance(radians, xr.DataArray) or dim not in radians.dims:
        return radians
    spread = float(np.rad2deg((radians.max(dim) - radians.min(dim)).max()))
    if spread > ELEVATION_TOLERANCE:  # NaN (no elevation at all) gives NaN fits instead
        raise ValueError(
            f"{func}: elevation varies by {spread:.3g} degrees along {dim!r}; expected one "
            f"elevation per ring, or per-sample elevations within {ELEVATION_TOLERANCE} "
            "degree of each other (a PPI sweep)"
        )
    return radians.mean(dim, keep_attrs=True)


_PROFILE_OUTPUTS = ("u_bottom", "v_bottom", "u_top", "v_top", "helicity", "u_mean", "v_mean")


def profile(
    height: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    *,
    bottom: float,
    top: float,
    storm_u: ArrayLike = 0.0,
    storm_v: ArrayLike = 0.0,
    ground: ArrayLike | None = None,
    dim: str = "level",
    n_threads: int = 0,
) -> xr.Dataset:
    """Layer winds, storm-relative helicity and layer-mean wind of every column.

    For the layer from ``bottom`` to ``top`` above each column's ground: the wind at both
    ends (linear in height between levels), the storm-relative helicity against the storm
    motion (``storm_u``, ``storm_v``) and the height-weighted mean wind.

    Parameters
    ----------
    height : array_like, (columns..., levels)
        Height of each level, m (converted when it carries units), in upward order, in the
        reference of ``ground`` (e.g. above sea level, or above the radar).
    u, v : array_like, (columns..., levels)
        Eastward and northward wind, m s-1 (converted when they carry units).
    bottom, top : float
        The layer's bottom and top above ground, m (e.g. 0 and 3000 for 0-3 km).
    storm_u, storm_v : array_like, scalar or (columns...,), optional
        Storm motion, m s-1. Default 0: ground-relative helicity.
    ground : array_like, scalar or (columns...,), optional
        Ground height under each column, m, in the reference of ``height``. Default None:
        each column's first usable level is its ground.
    dim : str, optional
        Name of the levels dimension of DataArray inputs. Default ``"level"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the column dimensions (``column`` for NumPy input): ``u_bottom``, ``v_bottom``,
        ``u_top``, ``v_top`` (m s-1), ``helicity`` (storm-relative, m2 s-2, positive for a
        hodograph veering around the storm motion), ``u_mean``, ``v_mean`` (layer mean,
        m s-1).

    Notes
    -----
    A level is usable when its height and both winds are finite (masked values are
    missing); other levels are bridged. A layer end outside the usable levels (by more than
    1e-6 m) makes the column NaN in all variables; a missing storm motion makes only
    ``helicity`` NaN. If ``top <= bottom`` the mean wind is the bottom wind.

    References
    ----------
    Davies-Jones, R., D. Burgess, and M. Foster, 1990: Test of helicity as a tornado
    forecast parameter. Preprints, 16th Conf. on Severe Local Storms, Kananaskis Park,
    Alberta, Canada, Amer. Meteor. Soc., 588-592.

    Examples
    --------
    >>> import bluster
    >>> z = [[0.0, 1000.0, 2000.0, 3000.0]]
    >>> u = [[0.0, 10.0, 20.0, 20.0]]
    >>> v = [[0.0, 0.0, 10.0, 20.0]]
    >>> res = bluster.profile(z, u, v, bottom=500.0, top=2500.0, storm_u=10.0, storm_v=5.0)
    >>> print(res.helicity.item(), res.u_mean.item(), res.v_mean.item())
    -125.0 14.375 5.625
    """
    func = "profile"
    layer = as_float(func, "bottom", bottom, "m"), as_float(func, "top", top, "m")
    layout = Layout(func, (dim,), ("levels",), "column", _PROFILE_OUTPUTS)
    operands = [
        Operand("height", as_array(func, "height", height, "m"), (dim,)),
        Operand("u", as_array(func, "u", u, "m/s"), (dim,)),
        Operand("v", as_array(func, "v", v, "m/s"), (dim,)),
        Operand("storm_u", as_array(func, "storm_u", storm_u, "m/s")),
        Operand("storm_v", as_array(func, "storm_v", storm_v, "m/s")),
        optional_operand("ground", as_optional(func, "ground", ground, "m")),
    ]

    def kernel(
        height: np.ndarray,
        u: np.ndarray,
        v: np.ndarray,
        storm_u: np.ndarray,
        storm_v: np.ndarray,
        n_threads: int,
        ground: np.ndarray | None = None,
    ) -> np.ndarray:
        floor = np.full(height.shape[0], np.nan) if ground is None else ground
        return _bluster.profile(height, u, v, floor, *layer, storm_u, storm_v, n_threads)

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))
