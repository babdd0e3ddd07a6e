"""Thermodynamics: mixing ratio and potential temperatures; cold-pool intensity and depth."""

import math
from typing import Any

import numpy as np
import xarray as xr

import _bluster

from ._apply import Layout, Operand, optional_operand, run
from ._inputs import as_array, as_float, as_int, as_optional, warn_if_plain_below

ArrayLike = Any  # NumPy, masked, xarray, pint or Dask-backed arrays, nested sequences

_THERMO = Layout("thermo", (), (), "point", ("mixing_ratio", "theta", "theta_v", "theta_e"))

# Plain numbers below these cannot be air temperatures in K or sounding pressures in Pa: no
# air of the troposphere or stratosphere is colder than 100 K (-173 degC), and 2000 Pa
# (20 hPa) is about 26 km up, while 100 degC and 2000 hPa are beyond any real atmosphere.
PLAIN_KELVIN_FLOOR = 100.0
PLAIN_PASCAL_FLOOR = 2000.0


def thermo(
    temperature: ArrayLike, pressure: ArrayLike, dewpoint: ArrayLike, *, n_threads: int = 0
) -> xr.Dataset:
    """Water-vapour mixing ratio and potential temperatures, point by point (Bolton 1980).

    Parameters
    ----------
    temperature : array_like
        Air temperature, K (converted when it carries units, e.g. degC). Plain numbers all
        below 100 (degrees Celsius, most likely) are taken as K with a warning.
    pressure : array_like
        Pressure, Pa (converted when it carries units, e.g. hPa). Plain numbers all below
        2000 (hPa, most likely) are taken as Pa with a warning.
    dewpoint : array_like
        Dew-point temperature, K (converted when it carries units); a dew point above the
        temperature is taken as saturation.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the broadcast dimensions (``point`` for 1-D NumPy input): ``mixing_ratio``
        (kg kg-1), ``theta`` (potential temperature, 1000 hPa reference, K), ``theta_v``
        (virtual potential temperature, K), ``theta_e`` (equivalent potential temperature,
        K).

    Notes
    -----
    The three arrays broadcast against each other: NumPy arrays by the NumPy rules,
    DataArrays by dimension name (a pressure profile against a temperature grid).
    A missing temperature or pressure (NaN, masked) makes all four NaN; a missing dew point
    makes ``mixing_ratio``, ``theta_v`` and ``theta_e`` NaN while ``theta`` is still
    computed. Values are not range-checked (non-physical values follow IEEE arithmetic); only
    plain numbers that look like degrees Celsius or hPa are warned about.

    References
    ----------
    Bolton, D., 1980: The computation of equivalent potential temperature. Mon. Wea. Rev.,
    108, 1046-1053.

    Examples
    --------
    >>> import bluster
    >>> res = bluster.thermo([300.0, 293.15], [100000.0, 85000.0], [290.0, 285.0])
    >>> res.theta.round(2).values
    array([300.  , 307.07])
    >>> res.theta_e.round(2).values
    array([335.87, 338.52])
    """
    func = "thermo"
    operands = [
        Operand("temperature", as_array(func, "temperature", temperature, "K")),
        Operand("pressure", as_array(func, "pressure", pressure, "Pa")),
        Operand("dewpoint", as_array(func, "dewpoint", dewpoint, "K")),
    ]

    def kernel(
        temperature: np.ndarray, pressure: np.ndarray, dewpoint: np.ndarray, n_threads: int
    ) -> np.ndarray:
        return _bluster.thermo(temperature, pressure, dewpoint, n_threads)

    result = run(_THERMO, kernel, operands, as_int(func, "n_threads", n_threads))
    for name, value in (("temperature", temperature), ("dewpoint", dewpoint)):
        warn_if_plain_below(func, name, value, PLAIN_KELVIN_FLOOR, "K", "degrees Celsius")
    warn_if_plain_below(func, "pressure", pressure, PLAIN_PASCAL_FLOOR, "Pa", "hPa")
    return result


_COLD_POOL_OUTPUTS = ("intensity", "depth", "open_top")


def cold_pool(
    height: ArrayLike,
    buoyancy: ArrayLike,
    *,
    threshold: float = 0.0,
    depth: ArrayLike | None = None,
    bottom: ArrayLike | None = None,
    dim: str = "level",
    n_threads: int = 0,
) -> xr.Dataset:
    """Cold-pool intensity and depth of every column.

    A thunderstorm's outflow is a layer of negatively buoyant air at the ground; its
    intensity ``C = sqrt(2 * integral of -b dz)`` is the speed at which the gust front
    advances. The buoyancy deficit is integrated by trapezoids from the column's start level
    (its first usable level at or above ``bottom``) to the layer's top: where the buoyancy
    first reaches ``threshold`` (threshold mode, the default), or ``depth`` above the start
    level (prescribed-depth mode, chosen by giving ``depth``).

    Parameters
    ----------
    height : array_like, (columns..., levels)
        Height of each level, m (converted when it carries units), in upward order; any
        reference (above ground, sea level), the same as that of ``bottom``.
    buoyancy : array_like, (columns..., levels)
        Buoyancy, m s-2 (converted when it carries units).
    threshold : float, optional
        Buoyancy at or above which air no longer belongs to the cold pool, m s-2. Default 0.
    depth : array_like, scalar or (columns...,), optional
        Prescribed depth of the layer above its start level, m; NaN in a column selects
        threshold mode there. Default None: threshold mode everywhere.
    bottom : array_like, scalar or (columns...,), optional
        Lowest height at which the layer may start, m, in the reference of ``height``.
        Default None: no limit.
    dim : str, optional
        Name of the levels dimension of DataArray inputs. Default ``"level"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the column dimensions (``column`` for NumPy input): ``intensity`` (m s-1),
        ``depth`` (m, from the start level to the top), ``open_top`` (1.0 when in threshold
        mode the threshold was never reached and the layer runs to the last usable level,
        else 0.0; a float so that it can be NaN).

    Notes
    -----
    A level is usable when its height and buoyancy are finite (masked values are missing);
    unusable levels are bridged by one trapezoid. A column without a start level, or whose
    prescribed top no usable level reaches, is NaN in all three variables. In threshold mode
    a start level already at or above the threshold gives 0, 0, 0.

    References
    ----------
    Rotunno, R., J. B. Klemp, and M. L. Weisman, 1988: A theory for strong, long-lived squall
    lines. J. Atmos. Sci., 45, 463-485.

    Examples
    --------
    >>> import bluster
    >>> z = [[0.0, 500.0, 1000.0]]
    >>> b = [[-0.04, -0.02, 0.02]]
    >>> res = bluster.cold_pool(z, b)  # the top where b crosses 0
    >>> print(f"{res.intensity.item():.4f} {res.depth.item():.1f}")
    5.9161 750.0
    >>> print(f"{bluster.cold_pool(z, b, depth=250.0).intensity.item():.4f}")
    4.1833
    """
    func = "cold_pool"
    level = as_float(func, "threshold", threshold, "m/s**2")
    layout = Layout(func, (dim,), ("levels",), "column", _COLD_POOL_OUTPUTS)
    operands = [
        Operand("height", as_array(func, "height", height, "m"), (dim,)),
        Operand("buoyancy", as_array(func, "buoyancy", buoyancy, "m/s**2"), (dim,)),
        optional_operand("depth", as_optional(func, "depth", depth, "m")),
        optional_operand("bottom", as_optional(func, "bottom", bottom, "m")),
    ]

    def kernel(
        height: np.ndarray,
        buoyancy: np.ndarray,
        n_threads: int,
        depth: np.ndarray | None = None,
        bottom: np.ndarray | None = None,
    ) -> np.ndarray:
        unset = np.full(height.shape[0], math.nan)
        top = unset if depth is None else depth
        start = unset if bottom is None else bottom
        return _bluster.cold_pool(height, buoyancy, start, level, top, n_threads)

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))
