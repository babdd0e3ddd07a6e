"""Differential phase: specific differential phase by sliding least squares (multithreaded).

The low-level differential-phase interface of the ``bluster`` package: one function over
NumPy float64 arrays. These docstrings are the contract of the module; the documentation site
renders them (page "Low-level modules"), type checkers and editors read them from the
installed stubs, and ``tests/test_lowlevel_docs.py`` runs their examples and checks their
parameters and messages against the module.

The calling convention is that of ``_calibration``: array arguments are read as row-major,
contiguous, aligned float64 arrays (copied only when they are not one already) and never
modified; an optional array is left out by passing an array with no elements; a threshold
passes when value >= threshold (NaN on either side fails); ``n_threads`` (last, default 0)
is the number of threads, 0 or negative one per hardware thread, never more than there are
rays, with the GIL released and a result bit-identical for every thread count. Shape and
argument errors raise ``ValueError`` with a fixed message before anything is computed; a float
for an integer parameter raises ``TypeError``.
"""

from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def kdp_rays(
    phidp: ArrayLike,
    rhohv: ArrayLike,
    system_phase: SupportsFloat | SupportsIndex,
    gate_spacing: SupportsFloat | SupportsIndex,
    half_window: SupportsInt | SupportsIndex,
    min_gates: SupportsInt | SupportsIndex,
    rhohv_min: SupportsFloat | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Specific differential phase of every gate of every ray, by sliding least squares.

    The specific differential phase KDP is half the range derivative of the differential
    phase PhiDP. For each ray the system phase is removed, the 0/360 degree wrap unfolded,
    and a straight line fitted by least squares to the usable gates within ``half_window``
    gates of each gate; half its slope is the gate's KDP and its value at the gate the
    fitted (smoothed) differential phase.

    Parameters
    ----------
    phidp : array_like, shape (rays, gates)
        Differential phase, degrees, in any range (0 to 360, -180 to 180, unfolded).
    rhohv : array_like, shape (rays, gates), or empty
        Co-polar correlation; a gate needs rhohv >= ``rhohv_min``.
    system_phase : float
        System differential phase, degrees, subtracted from every gate.
    gate_spacing : float
        Distance between consecutive gates, km.
    half_window : int
        Gates on each side of the centre gate in its window (the window holds
        ``2 * half_window + 1`` gates, fewer at the ends of a ray).
    min_gates : int
        Fewest usable gates in a window for an estimate; below 2 acts as 2.
    rhohv_min : float
        Gate threshold on ``rhohv``.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (2, rays, gates)
        Plane 0: KDP, degrees per km; plane 1: fitted differential phase, degrees above the
        system phase, unfolded. NaN where the gate is not usable or its window holds fewer
        than ``min_gates`` usable gates (or only one distinct gate position).

    Raises
    ------
    ValueError
        "phidp must be 2-D (rays, gates)"; "rhohv must have the shape (rows, samples)";
        "gate_spacing must be positive and finite"; "half_window must be at least 1";
        checked in that order.

    Notes
    -----
    A gate is usable when its phase and ``system_phase`` are finite and it passes the
    ``rhohv`` test (a NaN ``rhohv`` fails it). The phase relative to the system phase is
    wrapped into [-180, 180); walking the usable gates of a ray in range order, a gate whose
    wrapped phase differs by more than 270 degrees from the one before (a wrap) gets the
    multiple of 360 degrees that brings it within 180 degrees of it; smaller steps (noise, a
    gate of random phase, the 180-degree ambiguity of some radars) are left as they are. The
    window of gate ``i`` spans gates ``i - half_window`` to ``i + half_window`` within the
    ray; with ``n`` usable gates at offsets ``x`` from ``i`` and phases ``y`` relative to gate
    ``i``'s, the slope is ``(n Sxy - Sx Sy) / (n Sxx - Sx^2)`` in degrees per gate, KDP is
    ``0.5 * slope / gate_spacing`` and the fitted phase gate ``i``'s plus
    ``(Sy - slope Sx) / n``. The sums slide along the ray and are restarted every 64 gates;
    they are taken about a nearby gate, so that no large terms cancel.

    References
    ----------
    .. [1] Ryzhkov, A. V., S. E. Giangrande, and T. J. Schuur, 2005: Rainfall estimation
       with a polarimetric prototype of WSR-88D. J. Appl. Meteor., 44, 502-515.
    .. [2] Wang, Y., and V. Chandrasekar, 2009: Algorithm for estimation of the specific
       differential phase. J. Atmos. Oceanic Technol., 26, 2565-2578.

    Examples
    --------
    >>> import _phase
    >>> phidp = [[358.0, 359.0, 0.0, 1.0, 2.0, 3.0]]  # 1 degree per 0.25 km across the wrap
    >>> _phase.kdp_rays(phidp, [], 358.0, 0.25, 2, 3, 0.9)
    array([[[2., 2., 2., 2., 2., 2.]],
    <BLANKLINE>
           [[0., 1., 2., 3., 4., 5.]]])
    """
