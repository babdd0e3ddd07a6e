"""Calibration statistics: ZDR offset, Z self-consistency, system PhiDP (multithreaded).

The low-level calibration interface of the ``bluster`` package: three functions over NumPy
float64 arrays. These docstrings are the contract of the module; the documentation site
renders them (page "Low-level modules"), type checkers and editors read them from the
installed stubs, and ``tests/test_lowlevel_docs.py`` runs their examples and checks their
parameters and messages against the module.

Calling convention, common to every function:

- Every array argument accepts anything NumPy can turn into an array and is read as a
  row-major, contiguous, aligned float64 array (copied only when it is not one already);
  inputs are never modified. Every parameter can be given by position or keyword; only
  ``n_threads`` has a default.
- Results are new float64 arrays with one row per input row and the statistics along the
  second axis.
- An optional per-sample array (``dbz``, ``rhohv``, ``snr``, ``mask``) is left out by passing
  an array with no elements (``numpy.empty(0)``, ``[]``, any shape with a zero axis); its test
  is then skipped.
- Screening: a sample passes a threshold when value >= threshold (NaN on either side fails,
  so a NaN threshold fails every sample); a mask value of 0 (or -0) excludes it, any other
  value, NaN included, admits it. Missing data never raise.
- ``n_threads`` (last, default 0): 1 or more means that many threads, 0 or negative one per
  hardware thread, never more than there are rows. The GIL is released while the rows are
  computed; the result is bit-identical for every thread count.
- Shape errors raise ``ValueError`` with a fixed message, checked before anything is
  computed; a float for an integer parameter raises ``TypeError``.
"""

from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def offset_stats(
    zdr: ArrayLike,
    dbz: ArrayLike,
    rhohv: ArrayLike,
    snr: ArrayLike,
    mask: ArrayLike,
    elev: ArrayLike,
    ref_z: ArrayLike,
    ref_v: ArrayLike,
    z_min: SupportsFloat | SupportsIndex,
    z_max: SupportsFloat | SupportsIndex,
    rhohv_min: SupportsFloat | SupportsIndex,
    snr_min: SupportsFloat | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Per-row statistics of measured minus expected ZDR: the ZDR offset.

    In light rain the drops are nearly round, so the differential reflectivity they should
    show is known from the reflectivity alone; what the radar measures beyond that is the bias
    of its ZDR channel. Screens the samples of each row (one elevation per row), reads the
    expected ZDR of every usable sample from a reflectivity table, converts it from horizontal
    incidence to the row's elevation and returns statistics of measured minus expected ZDR.

    Parameters
    ----------
    zdr : array_like, shape (rows, samples)
        Measured differential reflectivity, dB.
    dbz : array_like, shape (rows, samples), or empty
        Reflectivity, dBZ; used for the window and the table lookup.
    rhohv : array_like, shape (rows, samples), or empty
        Co-polar correlation coefficient.
    snr : array_like, shape (rows, samples), or empty
        Signal-to-noise ratio, dB.
    mask : array_like, shape (rows, samples), or empty
        0 excludes a sample; any other value (NaN too) admits it.
    elev : array_like, shape (rows,)
        Elevation angle of each row, degrees.
    ref_z : array_like, shape (n,), n >= 1
        Reflectivity nodes of the expected-ZDR table, dBZ, ascending.
    ref_v : array_like, shape (n,)
        Expected ZDR at horizontal incidence at each node, dB.
    z_min : float
        Lower end of the closed reflectivity window, dBZ; NaN or -inf: no limit.
    z_max : float
        Upper end of the window, dBZ; NaN or +inf: no limit.
    rhohv_min : float
        Smallest admitted ``rhohv``.
    snr_min : float
        Smallest admitted ``snr``, dB.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (rows, 5)
        Column 0: k, the number of samples used; 1: mean of d = measured - expected ZDR (the
        offset estimate, dB); 2: standard deviation of d, divisor k - 1; 3: median of d (mean
        of the two middle values for even k); 4: mean expected ZDR of the samples used, after
        the elevation conversion.

    Raises
    ------
    ValueError
        The first failing check wins: "zdr must be 2-D (rows, samples)"; "dbz must have the
        shape (rows, samples)", then the same for ``rhohv``, ``snr``, ``mask``; "elev must
        have one value per row"; "ref_z and ref_v must be 1-D with the same size" (also for
        n = 0); "dbz is needed for the reflectivity limits or a table" (no ``dbz`` with
        n != 1 or a finite ``z_min`` or ``z_max``).

    Notes
    -----
    A sample is used when ``zdr`` is finite, it passes the ``rhohv``, ``snr`` and ``mask``
    tests and, when ``dbz`` is given, ``dbz`` is finite and z_min <= dbz <= z_max.

    Expected ZDR: piecewise linear in ``dbz`` between the table nodes, the end values outside
    the table; a repeated node is a step (the later row applies from the node on). With a
    one-entry table, or without ``dbz``, every sample expects ``ref_v[0]`` and ``ref_z`` is
    not read. Elevation conversion for oblate drops: e - 20 log10(10^(0.05 e) sin^2(el) +
    cos^2(el)), so 0 dB at vertical incidence; a NaN or infinite ``elev`` leaves the table
    values as they are. The table is not checked: unordered or NaN nodes give unspecified
    values but are never read outside their n entries.

    k = 0 gives [0, NaN, NaN, NaN, NaN]; k = 1 gives [1, d, NaN, d, e].

    References
    ----------
    .. [1] Ryzhkov, A. V., S. E. Giangrande, V. M. Melnikov, and T. J. Schuur, 2005:
       Calibration issues of dual-polarization radar measurements. J. Atmos. Oceanic
       Technol., 22, 1138-1155.
    .. [2] Gorgucci, E., G. Scarchilli, and V. Chandrasekar, 1999: A procedure to calibrate
       multiparameter weather radar using properties of the rain medium. IEEE Trans. Geosci.
       Remote Sens., 37, 269-276.

    Examples
    --------
    Two sweeps of light rain, at 0.5 and 20 degrees; the 0.80 rhohv sample is clutter:

    >>> import numpy as np, _calibration
    >>> zdr = [[0.62, 0.71, 0.55, 2.90, 0.66], [0.48, 0.57, np.nan, 0.51, 0.60]]
    >>> dbz = [[18.0, 24.0, 21.0, 26.0, 29.5], [16.0, 22.0, 25.0, 27.0, 41.0]]
    >>> rhohv = [[0.99, 0.98, 0.99, 0.80, 0.99], [0.99, 0.99, 0.99, 0.98, 0.99]]
    >>> ref_z, ref_v = [10.0, 20.0, 30.0, 40.0], [0.10, 0.25, 0.60, 1.30]
    >>> _calibration.offset_stats(zdr, dbz, rhohv, [], [], [0.5, 20.0], ref_z, ref_v,
    ...                           15.0, 30.0, 0.95, np.nan).round(3)
    array([[4.   , 0.266, 0.137, 0.293, 0.369],
           [3.   , 0.225, 0.131, 0.288, 0.295]])
    """

def consistency_stats(
    z: ArrayLike,
    zdr: ArrayLike,
    kdp: ArrayLike,
    rhohv: ArrayLike,
    snr: ArrayLike,
    mask: ArrayLike,
    gz: ArrayLike,
    glg: ArrayLike,
    zdr_offset: SupportsFloat | SupportsIndex,
    z_min: SupportsFloat | SupportsIndex,
    z_max: SupportsFloat | SupportsIndex,
    bin_width: SupportsFloat | SupportsIndex,
    rhohv_min: SupportsFloat | SupportsIndex,
    snr_min: SupportsFloat | SupportsIndex,
    kdp_min: SupportsFloat | SupportsIndex,
    min_bin_count: SupportsInt | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Per-row reflectivity bias from the self-consistency of Z, ZDR and KDP.

    In rain KDP does not depend on the receiver calibration, and for a given ZDR the ratio of
    KDP to linear reflectivity is known from drop physics (a table of log10(KDP / Z) against
    ZDR). Sorts the samples of each row into reflectivity bins, averages Z, ZDR and KDP in
    every bin, works out the reflectivity the bin's mean KDP implies at its offset-corrected
    mean ZDR, and reports statistics of the bin biases, measured minus implied reflectivity. A
    positive bias means the radar reads too high.

    Parameters
    ----------
    z : array_like, shape (rows, samples)
        Reflectivity, dBZ.
    zdr : array_like, shape (rows, samples)
        Differential reflectivity, dB; required, raw (the offset is removed per bin).
    kdp : array_like, shape (rows, samples)
        Specific differential phase in the unit the table was built for, e.g. deg/km;
        required.
    rhohv : array_like, shape (rows, samples), or empty
        Co-polar correlation; a sample needs rhohv >= ``rhohv_min``.
    snr : array_like, shape (rows, samples), or empty
        Signal-to-noise ratio, dB; a sample needs snr >= ``snr_min``.
    mask : array_like, shape (rows, samples), or empty
        0 (or -0) excludes the sample; any other value, NaN included, admits it.
    gz : array_like, shape (m,), m >= 2
        ZDR nodes of the self-consistency table, dB, ascending.
    glg : array_like, shape (m,)
        log10(KDP / linear Z) at each node.
    zdr_offset : float
        Subtracted from each bin's mean ZDR before the table lookup, dB.
    z_min : float
        Start of the binned range (closed), dBZ.
    z_max : float
        End of the binned range (open), dBZ.
    bin_width : float
        Bin width, dB; the last bin ends at ``z_max`` and may be narrower.
    rhohv_min : float
        Sample threshold on ``rhohv``.
    snr_min : float
        Sample threshold on ``snr``, dB.
    kdp_min : float
        Smallest accepted bin-mean KDP (a bin also needs a mean KDP > 0).
    min_bin_count : int
        Smallest sample count of an accepted bin; values below 1 act as 1.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (rows, 5)
        Column 0: N, samples in the accepted bins; 1: H, number of accepted bins; 2: median
        of the bin biases (dB); 3: mean of the bin biases weighted by their sample counts
        (dB); 4: standard deviation of the bin biases about their unweighted mean, divisor
        H - 1 (dB).

    Raises
    ------
    ValueError
        Checked in this order, before anything is computed: "z must be 2-D (rows, samples)";
        "zdr must have the shape (rows, samples)", and likewise for ``kdp``, ``rhohv``,
        ``snr``, ``mask``; "zdr and kdp are needed" (either is empty while ``z`` is not);
        "gz and glg must be 1-D with the same size, at least 2"; "need bin_width > 0 and
        z_max > z_min" (a NaN in any of the three fails here too); "need finite z_min, z_max,
        bin_width and z_max - z_min"; "need bin_width giving at most 1048576 bins between
        z_min and z_max".
    MemoryError
        A row's bins could not be allocated; raised after every worker has stopped.

    Notes
    -----
    Bin b covers z_min + b bin_width (inclusive) to z_min + (b + 1) bin_width; there are
    ceil((z_max - z_min) / bin_width) bins. A bin is accepted when it holds at least
    ``min_bin_count`` samples, its mean KDP K is >= ``kdp_min`` and > 0, and its corrected
    mean ZDR D lies within [gz[0], gz[m-1]]; its bias is mean Z - 10 (log10 K - G), with G
    the table value at D (linear between nodes).

    A sample is used only when ``z``, ``zdr`` and ``kdp`` are all finite, ``z`` lies in
    [z_min, z_max) and it passes the ``rhohv``, ``snr`` and ``mask`` tests. A row without
    accepted bins gives [0, 0, NaN, NaN, NaN]; one accepted bin gives a NaN standard
    deviation. A NaN ``zdr_offset`` still counts the bins that pass the count and KDP tests,
    with NaN in columns 2 to 4; a NaN ``kdp_min`` rejects every bin. An empty ``z`` (no rows
    or no samples) returns rows of [0, 0, NaN, NaN, NaN] even when ``zdr`` and ``kdp`` are
    empty too.

    References
    ----------
    .. [1] Gorgucci, E., G. Scarchilli, and V. Chandrasekar, 1992: Calibration of radars
       using polarimetric techniques. IEEE Trans. Geosci. Remote Sens., 30, 853-858.
    .. [2] Vivekanandan, J., G. Zhang, S. M. Ellis, D. Rajopadhyaya, and S. K. Avery, 2003:
       Radar reflectivity calibration using differential propagation phase measurement.
       Radio Sci., 38, 8049.

    Examples
    --------
    Rain samples whose reflectivity reads 1.5 dB high, with a ZDR offset of 0.25 dB; the
    bias recovered from 25 bins of 1 dB:

    >>> import numpy as np, _calibration
    >>> gz = np.arange(0.0, 3.75, 0.25)  # dB
    >>> glg = -3.8 - 0.35 * gz           # log10(KDP / Z)
    >>> z = np.linspace(30.0, 55.0, 2000)[None, :]
    >>> zdr_true = 0.05 * (z - 25.0)
    >>> kdp = 10.0 ** (-3.8 - 0.35 * zdr_true + z / 10.0)
    >>> res = _calibration.consistency_stats(z + 1.5, zdr_true + 0.25, kdp, [], [], [],
    ...                                      gz, glg, 0.25, 30.0, 56.0, 1.0, 0.0, 0.0, 0.0, 10)
    >>> res[:, :2], res[:, 3].round(2)
    (array([[1960.,   25.]]), array([1.49]))
    """

def phidp_rays(
    phidp: ArrayLike,
    rhohv: ArrayLike,
    snr: ArrayLike,
    mask: ArrayLike,
    first_gate: SupportsInt | SupportsIndex,
    n_use: SupportsInt | SupportsIndex,
    rhohv_min: SupportsFloat | SupportsIndex,
    snr_min: SupportsFloat | SupportsIndex,
    min_count: SupportsInt | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> NDArray[np.float64]:
    """System differential phase of every ray, by a circular mean.

    The differential phase measured near the radar, before any propagation through rain, is
    the radar's own system phase. Takes the first ``n_use`` usable gates of each ray from
    ``first_gate`` on and returns their circular mean, so that phases on both sides of the
    +-180 degree wrap average correctly, with the number of gates used and the mean resultant
    length (1 when all phases agree, towards 0 when they scatter).

    Parameters
    ----------
    phidp : array_like, shape (rays, gates)
        Differential phase, degrees.
    rhohv : array_like, shape (rays, gates), or empty
        Co-polar correlation; a gate needs rhohv >= ``rhohv_min``.
    snr : array_like, shape (rays, gates), or empty
        Signal-to-noise ratio; a gate needs snr >= ``snr_min``.
    mask : array_like, shape (rays, gates), or empty
        0 (or -0) excludes a gate; any other value, NaN included, keeps it.
    first_gate : int
        First gate examined, 0-based; negative acts as 0.
    n_use : int
        The scan of a ray stops once this many usable gates were taken.
    rhohv_min : float
        Gate threshold on ``rhohv``.
    snr_min : float
        Gate threshold on ``snr``.
    min_count : int
        Fewest usable gates for an estimate; below 1 acts as 1.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    numpy.ndarray, shape (rays, 3)
        Column 0: system phase in degrees, in [-180, 180], NaN with fewer than
        ``min_count`` gates; 1: number of usable gates taken (always written); 2: mean
        resultant length, 0 to 1, NaN together with column 0.

    Raises
    ------
    ValueError
        "phidp must be 2-D (rays, gates)"; "rhohv must have the shape (rows, samples)",
        likewise for ``snr`` and ``mask``, checked in that order.

    Notes
    -----
    A gate is usable when its phase is finite and it passes the ``rhohv``, ``snr`` and
    ``mask`` tests, in that order; a NaN ``rhohv`` or ``snr`` fails its test. Gates beyond the
    ``n_use``-th usable one are never read.

    References
    ----------
    .. [1] Mardia, K. V., and P. E. Jupp, 2000: Directional Statistics. John Wiley & Sons,
       Chichester, 429 pp.

    Examples
    --------
    >>> import _calibration
    >>> _calibration.phidp_rays([[170.0, -170.0]], [], [], [], 0, 10, 0.0, 0.0, 1)
    array([[180.        ,   2.        ,   0.98480775]])
    """
