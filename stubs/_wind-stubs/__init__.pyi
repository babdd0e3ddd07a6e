"""Wind of radar sweeps: velocity-azimuth display of every ring of a sweep (multithreaded).

The low-level wind interface of the radar layer of the ``bluster`` package: one function over
NumPy float64 arrays. These docstrings are the contract of the module; the documentation site
renders them (page "Low-level modules"), type checkers and editors read them from the
installed stubs, and ``tests/test_lowlevel_docs.py`` runs their examples and checks their
parameters and messages against the module.

The calling convention is that of ``_bluster``: array arguments are read as row-major,
contiguous, aligned float64 arrays (copied only when they are not one already) and never
modified; ``n_threads`` (last, default 0) is the number of threads, 0 or negative one per
hardware thread, never more than there are blocks of 64 gates, with the GIL released and a
result bit-identical for every thread count. Shape and argument errors raise ``ValueError``
with a fixed message before anything is computed; a float for an integer parameter raises
``TypeError``.
"""

from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def vad_sweep(
    velocity: ArrayLike,
    azimuth: ArrayLike,
    azimuth_scale: SupportsFloat | SupportsIndex,
    cos_elevation: SupportsFloat | SupportsIndex,
    min_gates: SupportsInt | SupportsIndex,
    min_spread: SupportsFloat | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Horizontal wind of every ring of a sweep (velocity-azimuth display), one per gate.

    Ring g is gate g of every ray. Each ring is fitted as ``_bluster.vad`` fits a row, and
    the result is the same bits as ``_bluster.vad(velocity.T, az, cos_el, ...)`` with the
    azimuths in radians (``azimuth * azimuth_scale``) repeated for every ring and
    ``cos_elevation`` for every ring: this function reads the sweep as it is laid out, with
    neither the transposed copy nor the repeated azimuths, and takes the sines and cosines of
    the azimuths once for the sweep.

    Parameters
    ----------
    velocity : array_like, shape (rays, gates)
        Radial velocity (m/s, or any unit), positive away from the radar.
    azimuth : array_like, shape (rays,)
        Azimuth of each ray, clockwise from north, in radians times ``1 / azimuth_scale``.
    azimuth_scale : float
        Factor from the unit of ``azimuth`` to radians: 1 for radians, ``pi / 180`` for
        degrees. Each azimuth other than radians is multiplied by it once, the one rounding
        of a NumPy ``azimuth * azimuth_scale``.
    cos_elevation : float
        Cosine of the sweep's elevation angle.
    min_gates : int
        Least number of valid samples a ring needs; at least 3 are always needed.
    min_spread : float
        Least azimuthal spread: the determinant of the covariance of (sin az, cos az), 0 for
        one azimuth, 0.25 for a full circle.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (8, gates)
        As ``_bluster.vad``'s, one column per gate: ``out[0]`` u (eastward) and ``out[1]`` v
        (northward) wind, ``out[2]`` offset and ``out[3]`` rms residual of the first fit;
        ``out[4]`` number of valid samples (0 for an empty ring); ``out[5]`` offset and
        ``out[6]``, ``out[7]`` coefficients of sin(2 az) and cos(2 az) of the fit with the
        second harmonic.

    Raises
    ------
    ValueError
        Checked in this order: "velocity must be 2-D (rays, gates)"; "azimuth must be 1-D with
        one value per ray"; "azimuth_scale must be positive and finite".
    TypeError
        A float for ``min_gates`` or ``n_threads``.

    Notes
    -----
    A sample is valid only when its velocity and its ray's azimuth are finite; the fits, their
    acceptance and the NaN they leave are those of ``_bluster.vad``. Two adjacent gates go
    through the passes together, one per lane of a vector; eight adjacent gates whose samples
    are all valid (with every azimuth present) go through them together, summing only what
    involves their velocities. Threads take blocks of 64 adjacent gates.

    Examples
    --------
    >>> import numpy as np, _wind
    >>> az = np.arange(360) + 0.5  # degrees, one per ray
    >>> a, el = np.deg2rad(az)[:, None], np.deg2rad(2.5)
    >>> vr = (8.0 * np.sin(a) + 12.0 * np.cos(a)) * np.cos(el) * np.ones((1, 3))  # 3 gates
    >>> vr[40:65, 1] = np.nan  # a blocked sector in the second gate
    >>> out = _wind.vad_sweep(vr, az, np.pi / 180.0, np.cos(el), 30, 0.1)
    >>> out[[0, 1, 4]].round(9)
    array([[  8.,   8.,   8.],
           [ 12.,  12.,  12.],
           [360., 335., 360.]])
    """
