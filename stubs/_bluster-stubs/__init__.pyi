"""Cold-pool, wind-profile and baroclinity kernel (multithreaded).

Every array argument accepts anything NumPy turns into an array and is read as a row-major
float64 array; inputs are never modified. Results are new float64 arrays with the output
component on the first axis: ``out[k]`` is the whole field of quantity k. A value counts as
present only when it is finite (NaN and +-inf are missing data); missing data give NaN in the
result, never an exception. ``n_threads``: 1 or more means that many threads, 0 or negative one
per hardware thread; the result is bit-identical for every value. The GIL is released while a
kernel runs. Shape errors raise ``ValueError``; arguments that cannot be converted (a float for
an int parameter) raise ``TypeError``.
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

    Parameters (any shapes with the same number n of elements, paired in row-major order,
    no broadcasting):
        t: air temperature, K.
        p: pressure, Pa.
        td: dew-point temperature, K; a dew point above ``t`` is taken as saturation.

    Returns:
        (4, n): mixing ratio r (kg/kg), potential temperature theta (K), virtual potential
        temperature theta_v (K), equivalent potential temperature theta_e (K).

    NaN: NaN ``t`` or ``p`` makes all four NaN; NaN ``td`` makes r, theta_v and theta_e NaN
    while theta is still computed. Non-physical values follow IEEE arithmetic.

    Raises:
        ValueError: "size mismatch" when ``p`` or ``td`` has another size than ``t``.
    """

def cold_pool(
    z: ArrayLike,
    b: ArrayLike,
    bottom: ArrayLike,
    threshold: SupportsFloat | SupportsIndex,
    top: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Cold-pool intensity sqrt(2 * integral of -b dz) and depth of every column.

    Parameters:
        z: (rows, levels), height of each level, levels in upward order.
        b: (rows, levels), buoyancy (e.g. m s-2).
        bottom: rows elements, any shape: lowest height the layer may start at
            (non-finite: no limit).
        threshold: buoyancy at or above which air leaves the cold pool.
        top: rows elements, any shape: prescribed depth above the start level
            (non-finite: the top is where b first reaches ``threshold``).

    Returns:
        (3, rows): intensity (units of sqrt(b * z)), depth (units of z), open-top flag
        (1.0 when the threshold was never reached, else 0.0).

    NaN: a level is usable only when its z and b are finite; unusable levels are bridged.
    A column without a usable start level, or whose prescribed top is never reached, is NaN
    in all three rows.

    Raises:
        ValueError: "z and b must be 2-D"; "shape mismatch".
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

    Parameters:
        z: rows * levels elements, read as (rows, levels): height of each level, upward.
        u: (rows, levels), first wind component (e.g. eastward, m/s).
        v: rows * levels elements, read as (rows, levels): second wind component.
        ground: rows elements: ground height under each column, units of z (non-finite:
            the first usable level is the ground).
        bottom: height of the layer's bottom above ground, units of z.
        top: height of the layer's top above ground, units of z.
        cu: rows elements: first component of the storm motion.
        cv: rows elements: second component of the storm motion.

    Returns:
        (7, rows): u and v at the bottom, u and v at the top (linear in height),
        storm-relative helicity (units of u * v, e.g. m2 s-2), layer-mean u and v.

    NaN: a level is usable only when its z, u and v are finite. A column whose layer does
    not lie within its usable levels (1e-6 tolerance, units of z) is NaN in all seven rows;
    a non-finite storm motion makes only the helicity NaN.

    Raises:
        ValueError: "u must be 2-D"; "shape mismatch".
    """

def gradient(
    f: ArrayLike,
    x: ArrayLike,
    y: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Horizontal derivatives df/dx and df/dy of a stack of gridded fields.

    Parameters:
        f: (batch, ny, nx), the fields; axis 1 is y, axis 2 is x.
        x: nx elements: coordinate of each column (may be unevenly spaced).
        y: ny elements: coordinate of each row.

    Returns:
        (2, batch, ny, nx): df/dx (units of f per unit of x), df/dy (per unit of y).
        Centred differences across the two neighbours, one-sided at the edges and next
        to missing values.

    NaN: NaN where the point is not finite or neither neighbour is; coordinates are used
    as given.

    Raises:
        ValueError: "f must be 3-D (batch, y, x)"; "coordinate size".
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

    Parameters:
        vr: (rows, samples), radial velocity (m/s), positive away from the radar.
        az: (rows, samples), azimuth in radians, clockwise from north.
        cos_el: rows elements: cosine of each ring's elevation.
        min_gates: fewest valid samples a ring needs (at least 3 always).
        min_spread: least azimuthal spread, the determinant of the covariance of
            (sin az, cos az): 0 for one azimuth, 0.25 for a full circle.

    Returns:
        (8, rows): u (eastward) and v (northward) wind, offset and rms residual of the
        first-harmonic fit, number of valid samples, offset and sin(2 az), cos(2 az)
        coefficients of the fit with the second harmonic. Units of vr.

    NaN: a sample is valid when both vr and az are finite. The sample count is always
    written; the other rows are NaN where a fit is rejected (too few samples, too little
    spread, singular second-harmonic system).

    Raises:
        ValueError: "vr, az must be 2-D"; "shape mismatch".
    """
