"""Cold-pool, wind-profile and baroclinity kernels (multithreaded).

The low-level interface of the ``bluster`` package: five functions over NumPy float64 arrays,
with fixed units and layouts. These docstrings are the contract of the module; the
documentation site renders them (page "Low-level modules"), type checkers and editors read
them from the installed stubs, and ``tests/test_lowlevel_docs.py`` runs their examples and
checks their parameters and messages against the module.

Calling convention, common to every function:

- Every array argument accepts anything NumPy can turn into an array (nested lists, scalars,
  integer, boolean or float32 arrays, Fortran-order or strided views); it is converted to a
  row-major, contiguous, aligned float64 array, copied only when it is not one already.
  Inputs are never modified.
- Every parameter can be given by position or keyword; only ``n_threads`` has a default.
- ``n_threads`` (last, default 0): 1 or more means that many threads, 0 or a negative value one
  per hardware thread. Never more threads are used than there are blocks of work; with one
  thread nothing is started. The GIL is released while a kernel runs, and the result is
  bit-identical for every thread count.
- A value is present when it is finite: NaN and +-inf are missing data, skipped or bridged as
  each function says; insufficient data give NaN in the result, never an exception.
- Shape errors raise ``ValueError`` with a fixed message; a float given for an integer
  parameter raises ``TypeError``. Objects that NumPy turns into NaN (``None``) are missing data.
- Results are new float64 arrays with the output component on the first axis: ``out[k]`` is
  the whole field of quantity k.
"""

from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def thermo(
    t: ArrayLike,
    p: ArrayLike,
    td: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Mixing ratio and potential temperatures, point by point (Bolton 1980).

    Water-vapour mixing ratio r, potential temperature theta, virtual potential temperature
    theta_v and equivalent potential temperature theta_e from temperature, pressure and dew
    point. The three arrays need only the same number of elements n: element i of each, in
    row-major order, belongs to the same point, whatever the shapes. There is no broadcasting.

    Parameters
    ----------
    t : array_like, n elements
        Air temperature, K.
    p : array_like, n elements
        Pressure, Pa.
    td : array_like, n elements
        Dew-point temperature, K. A dew point above ``t`` is taken as saturation.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (4, n)
        ``out[0]`` mixing ratio r (kg/kg), ``out[1]`` theta (K, 1000 hPa reference),
        ``out[2]`` theta_v (K), ``out[3]`` theta_e (K). A 2-D input gives a flat row per
        quantity (``out.reshape(4, *t.shape)`` restores the grid); scalars give (4, 1), empty
        inputs (4, 0).

    Raises
    ------
    ValueError
        "size mismatch" when ``p`` or ``td`` has another number of elements than ``t``.

    Notes
    -----
    Formulas, evaluated in this order, which fixes the last bits: D = the dew point capped at
    the temperature; q = 100000 / p; theta = T q^0.28542059262205427; c = D - 273.15;
    e = exp(17.67 c / (c + 243.5)) * 611.2 Pa; r = 0.6219569156569429 e / (p - e);
    TL = 1 / (ln(T / D) / 800 + 1 / (D - 56)) + 56; with g = 1000 r in g/kg,
    theta_e = T q^(0.2854 (1 - 0.00028 g)) exp((3.376 / TL - 0.00254) g (1 + 0.00081 g));
    theta_v = (1 + r / 0.6219569156569429) theta / (1 + r). Power, exponential and logarithm
    are the C library's.

    Missing data: NaN in ``td`` makes r, theta_v and theta_e NaN while theta is still
    computed; NaN in ``t`` or ``p`` makes all four NaN. Nothing is range-checked:
    non-physical values follow IEEE arithmetic (p = 0 gives theta = +inf, p < 0 NaN, p equal
    to the vapour pressure r = +inf, D <= 0 NaN or infinities through the logarithm).

    References
    ----------
    .. [1] Bolton, D., 1980: The computation of equivalent potential temperature. Mon. Wea.
       Rev., 108, 1046-1053.

    Examples
    --------
    >>> import numpy as np, _bluster
    >>> t = [300.0, 293.15, 263.15]          # K
    >>> p = [100000.0, 85000.0, 50000.0]     # Pa
    >>> td = [290.0, 285.0, np.nan]          # K; humidity missing aloft
    >>> r, theta, theta_v, theta_e = _bluster.thermo(t, p, td)
    >>> theta.round(2)  # exactly 300 K at the reference pressure; computed without humidity
    array([300.  , 307.07, 320.72])
    >>> (1000 * r).round(2)  # g/kg
    array([12.16, 10.32,   nan])
    >>> theta_v.round(2), theta_e.round(2)
    (array([302.19, 308.98,    nan]), array([335.87, 338.52,    nan]))
    """

def cold_pool(
    z: ArrayLike,
    b: ArrayLike,
    bottom: ArrayLike,
    threshold: SupportsFloat | SupportsIndex,
    top: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Cold-pool intensity and depth of every vertical column.

    Integrates the buoyancy deficit of each column by trapezoids from the layer's start level
    (the first usable level at or above ``bottom``) to its top, which is either prescribed per
    column (``top``) or found where the buoyancy first reaches ``threshold``. The intensity
    C = sqrt(2 S), S the integral of -b dz, is the speed at which the gust front advances.

    Parameters
    ----------
    z : array_like, shape (rows, levels)
        Height of each level; a row's levels are scanned in array order, upward.
    b : array_like, shape (rows, levels)
        Buoyancy at each level, e.g. m s-2.
    bottom : array_like, rows elements, any shape
        Lowest height at which the layer may start; NaN or +-inf: no limit.
    threshold : float
        Buoyancy at or above which air no longer belongs to the cold pool.
    top : array_like, rows elements, any shape
        Prescribed depth above the start level; NaN or +-inf: threshold mode.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (3, rows)
        ``out[0]`` intensity sqrt(max(0, 2 S)) (units of sqrt(b z), m/s for m s-2 and m),
        ``out[1]`` depth of the layer, its top minus the start level's height (units of z),
        ``out[2]`` 1.0 when, in threshold mode, the threshold was never reached (open top),
        else 0.0.

    Raises
    ------
    ValueError
        "z and b must be 2-D"; "shape mismatch" when the shapes of ``z`` and ``b`` differ or
        ``bottom`` or ``top`` has not exactly rows elements.

    Notes
    -----
    A level is usable only when both its z and b are finite; unusable levels are bridged by
    one trapezoid. A column with no start level, or a prescribed top that no usable level
    reaches, gives NaN in all three rows. In threshold mode a start level already at or above
    the threshold gives 0, 0, 0; a layer that never reaches it runs to the last usable level
    with the open-top flag 1. A NaN integral (repeated heights in prescribed-depth mode) stays
    NaN.

    References
    ----------
    .. [1] Rotunno, R., J. B. Klemp, and M. L. Weisman, 1988: A theory for strong, long-lived
       squall lines. J. Atmos. Sci., 45, 463-485.

    Examples
    --------
    >>> import numpy as np, _bluster
    >>> z = [[0.0, 500.0, 1000.0]]; b = [[-0.04, -0.02, 0.02]]
    >>> _bluster.cold_pool(z, b, [np.nan], 0.0, [np.nan])[:, 0]   # top where b crosses 0
    array([  5.91607978, 750.        ,   0.        ])
    >>> _bluster.cold_pool(z, b, [np.nan], 0.0, [250.0])[:, 0]    # prescribed 250 m layer
    array([  4.18330013, 250.        ,   0.        ])
    """

def profile(
    z: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    ground: ArrayLike,
    bottom: SupportsFloat | SupportsIndex,
    top: SupportsFloat | SupportsIndex,
    cu: ArrayLike,
    cv: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Layer winds, storm-relative helicity and layer-mean wind of every column.

    For a layer given by its bottom and top above each column's ground (0-1 km, 0-3 km, ...)
    returns the wind at both ends, the storm-relative helicity against a per-column storm
    motion, and the height-weighted mean wind. Only element counts are checked for ``z``,
    ``v``, ``ground``, ``cu`` and ``cv``: ``z`` and ``v`` may be flat, and the per-column
    arrays may be (rows,), (rows, 1) or (1, rows).

    Parameters
    ----------
    z : array_like, rows * levels elements, read as (rows, levels)
        Height of each level (m, or any height unit); a row's levels are taken upward in
        array order.
    u : array_like, shape (rows, levels), must be 2-D
        First horizontal wind component (eastward), m/s.
    v : array_like, rows * levels elements
        Second horizontal wind component (northward), m/s.
    ground : array_like, rows elements
        Ground height under each column, unit of ``z``; NaN: the column's first usable level
        is the ground.
    bottom : float
        Bottom of the layer above ground, unit of ``z``, the same for all columns.
    top : float
        Top of the layer above ground, unit of ``z``, the same for all columns.
    cu : array_like, rows elements
        Eastward storm motion of each column, m/s.
    cv : array_like, rows elements
        Northward storm motion of each column, m/s.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (7, rows)
        ``out[0]``, ``out[1]``: u, v at the layer's bottom, linear in height between levels
        (m/s); ``out[2]``, ``out[3]``: u, v at its top; ``out[4]``: storm-relative helicity
        of the layer against (cu, cv), m2/s2; ``out[5]``, ``out[6]``: layer-mean u, v
        (trapezoids over height divided by the depth).

    Raises
    ------
    ValueError
        Checked in this order: "u must be 2-D"; "shape mismatch" when the element count of
        ``z``, ``v`` (rows * levels), ``ground``, ``cu`` or ``cv`` (rows) is wrong.

    Notes
    -----
    The helicity is the discrete hodograph sum over consecutive points from the bottom wind
    through every level strictly inside the layer to the top wind of
    (v1 - cv)(u2 - cu) - (u1 - cu)(v2 - cv): positive for a hodograph turning clockwise
    (veering) around the storm motion. If ``top`` <= ``bottom`` the mean wind is the bottom
    wind and the helicity the single term from the bottom to the top wind.

    Missing data: a level is usable when its z, u and v are all finite; other levels are
    skipped and bridged, in the lookups as in the sums. The layer's bottom and top must lie
    within the usable levels; one outside them by at most 1e-6 (units of z) takes the wind of
    the nearest level. Further out, with a non-finite ``bottom`` or ``top``, or with no usable
    level, all seven values are NaN. A non-finite storm motion makes only ``out[4]`` NaN.
    With zero levels every column is NaN; with zero rows the result is (7, 0).

    References
    ----------
    .. [1] Davies-Jones, R., D. Burgess, and M. Foster, 1990: Test of helicity as a tornado
       forecast parameter. Preprints, 16th Conf. on Severe Local Storms, Kananaskis Park,
       Alberta, Amer. Meteor. Soc., 588-592.

    Examples
    --------
    >>> import _bluster
    >>> z = [[0.0, 1000.0, 2000.0, 3000.0]]
    >>> u = [[0.0, 10.0, 20.0, 20.0]]
    >>> v = [[0.0, 0.0, 10.0, 20.0]]
    >>> _bluster.profile(z, u, v, [0.0], 500.0, 2500.0, cu=[10.0], cv=[5.0])[:, 0]
    array([   5.   ,    0.   ,   20.   ,   15.   , -125.   ,   14.375,    5.625])
    """

def gradient(
    f: ArrayLike,
    x: ArrayLike,
    y: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Horizontal derivatives df/dx and df/dy of a stack of gridded fields.

    Differences every field on the caller's coordinates, which may be unevenly spaced,
    working around missing values: centred across the two neighbours where both are present,
    one-sided where only one is, never extrapolated.

    Parameters
    ----------
    f : array_like, shape (batch, ny, nx)
        The fields; axis 1 is y, axis 2 (fastest varying) is x.
    x : array_like, nx elements, read flat
        Coordinate of each column (position along the last axis), any unit.
    y : array_like, ny elements, read flat
        Coordinate of each row (position along axis 1), any unit.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (2, batch, ny, nx)
        ``out[0]``: df/dx, differenced along the last axis with ``x`` (unit of f per unit of
        x); ``out[1]``: df/dy, differenced along axis 1 with ``y``. ``out[:, b]`` belongs to
        ``f[b]``; each field is differenced on its own.

    Raises
    ------
    ValueError
        Checked in this order: "f must be 3-D (batch, y, x)"; "coordinate size" when ``x``
        has not nx or ``y`` not ny elements.

    Notes
    -----
    The same rules along either axis, for the point g_i and its neighbours: a neighbour
    counts when it exists and is finite. Both count: (g_{i+1} - g_{i-1}) / (x_{i+1} -
    x_{i-1}), the plain quotient across the two neighbours without second-order weighting
    (so it differs from `numpy.gradient` on uneven coordinates). Only the right one counts
    (always so in the first column): forward difference; only the left one: backward
    difference. NaN where the point itself is missing or neither neighbour counts, so with
    nx = 1 the whole of ``out[0]`` is NaN. Coordinates are used as given, not checked for
    order, spacing or finiteness: a repeated coordinate gives the IEEE infinity (or NaN for
    0/0). A zero batch, ny or nx gives an empty result of shape (2, batch, ny, nx).

    Examples
    --------
    >>> import numpy as np, _bluster
    >>> f = np.array([[[0.0, 2.0, np.nan, 8.0, 9.0]]])  # one field, one row
    >>> _bluster.gradient(f, [0.0, 1.0, 2.0, 3.0, 4.0], [0.0])[0, 0, 0]
    array([ 2.,  2., nan,  1.,  1.])
    >>> _bluster.gradient([[[0.0, 2.0, 8.0]]], [0.0, 1.0, 3.0], [0.0])[0, 0, 0]
    array([2.        , 2.66666667, 3.        ])
    """

def vad(
    vr: ArrayLike,
    az: ArrayLike,
    cos_el: ArrayLike,
    min_gates: SupportsInt | SupportsIndex,
    min_spread: SupportsFloat | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Horizontal wind of every ring of radial velocities (velocity-azimuth display).

    For each ring (row) fits vr = c0 + a sin(az) + b cos(az) by least squares over the valid
    samples and reports u = a / cos_el and v = b / cos_el, the offset, the rms residual and
    the sample count; then fits a second model that adds sin(2 az) and cos(2 az). The offsets
    carry the divergence of the wind and the fall speed of the scatterers, the second-harmonic
    coefficients the deformation; a large rms residual flags a ring the uniform-wind model
    does not describe.

    Parameters
    ----------
    vr : array_like, shape (rows, samples)
        Radial velocity (m/s, or any unit), positive away from the radar; a row is one ring.
    az : array_like, shape (rows, samples)
        Azimuth of each sample in radians, clockwise from north.
    cos_el : array_like, rows elements, any shape
        Cosine of each ring's elevation angle.
    min_gates : int
        Least number of valid samples a ring needs; at least 3 are always needed.
    min_spread : float
        Least azimuthal spread: the determinant of the covariance of (sin az, cos az), 0 for
        one azimuth, 0.25 for a full circle.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (8, rows)
        ``out[0]`` u (eastward) and ``out[1]`` v (northward) wind, ``out[2]`` offset c0 and
        ``out[3]`` rms residual of the first fit (units of vr); ``out[4]`` number of valid
        samples (always written, 0 for an empty ring); ``out[5]`` offset and ``out[6]``,
        ``out[7]`` coefficients of sin(2 az) and cos(2 az) of the fit with the second
        harmonic.

    Raises
    ------
    ValueError
        Checked in this order: "vr, az must be 2-D" when either has not two dimensions;
        "shape mismatch" when ``az`` differs in shape from ``vr`` or ``cos_el`` has not one
        element per row.
    TypeError
        A float for ``min_gates`` or ``n_threads``.

    Notes
    -----
    A sample is valid only when both vr and az are finite. The first fit is accepted when the
    ring has at least max(3, min_gates) valid samples and a spread of at least
    ``min_spread``; otherwise only ``out[4]`` is written and the rest is NaN. A NaN
    ``min_spread`` rejects every ring; 0 or less lets a single azimuth through, whose
    coefficients are then the IEEE results of dividing by zero. The second fit is accepted
    when its 4 x 4 system is not singular and its determinant divided by N^4 is at least
    ``min_spread / 4``; three samples fit the wind but never the second harmonic. A
    ``cos_el`` of 0 or NaN is not rejected: u and v follow IEEE division.

    References
    ----------
    .. [1] Browning, K. A., and R. Wexler, 1968: The determination of kinematic properties of
       a wind field using Doppler radar. J. Appl. Meteor., 7, 105-113.

    Examples
    --------
    >>> import numpy as np, _bluster
    >>> az = np.deg2rad(np.arange(360) + 0.5)[None, :]  # one ring of 360 rays
    >>> el = np.deg2rad(2.5)
    >>> vr = (8.0 * np.sin(az) + 12.0 * np.cos(az)) * np.cos(el)  # u = 8, v = 12 m/s
    >>> vr[:, 40:65] = np.nan  # a blocked sector
    >>> out = _bluster.vad(vr, az, [np.cos(el)], min_gates=60, min_spread=0.1)
    >>> out[[0, 1, 4], 0].round(9)
    array([  8.,  12., 335.])
    """
