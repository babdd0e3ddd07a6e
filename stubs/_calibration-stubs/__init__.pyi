"""Calibration statistics: ZDR offset, Z self-consistency, system PhiDP

Every array argument accepts anything NumPy turns into an array and is read as a row-major
float64 array; inputs are never modified. Results are new float64 arrays with one row per
input row and the statistics along the second axis. An optional per-sample array (``dbz``,
``rhohv``, ``snr``, ``mask``) is left out by passing an array with no elements, e.g.
``numpy.empty(0)``; its test is then skipped.
Screening: a sample passes a threshold when value >= threshold (NaN on either side fails); a
mask value of 0 excludes it, any other value (NaN too) admits it. Missing data never raise.
``n_threads``: 1 or more means that many threads, 0 or negative one per hardware thread; the
result is bit-identical for every value. The GIL is released while the rows are computed.
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
    """Per-row statistics of measured minus expected ZDR (the ZDR offset).

    Parameters:
        zdr: (rows, samples), measured differential reflectivity, dB.
        dbz: (rows, samples) or empty: reflectivity, dBZ (window and table lookup).
        rhohv: (rows, samples) or empty: co-polar correlation coefficient.
        snr: (rows, samples) or empty: signal-to-noise ratio, dB.
        mask: (rows, samples) or empty: 0 excludes a sample.
        elev: (rows,), elevation angle of each row, degrees.
        ref_z: (n,), n >= 1: reflectivity nodes of the expected-ZDR table, dBZ, ascending.
        ref_v: (n,): expected ZDR at horizontal incidence at each node, dB.
        z_min, z_max: closed dBZ window; NaN or +-inf means no limit on that side.
        rhohv_min, snr_min: smallest admitted rhohv and snr.

    Returns:
        (rows, 5): number k of samples used, mean, standard deviation (divisor k - 1) and
        median of the differences (dB), mean expected ZDR after the elevation conversion.

    NaN: a sample is used when zdr is finite, passes the screening and, when dbz is given,
    dbz is finite and within the window. k = 0 gives [0, NaN, NaN, NaN, NaN]; k = 1 a NaN
    standard deviation. A non-finite elev leaves the table values unconverted.

    Raises:
        ValueError: "zdr must be 2-D (rows, samples)"; "<name> must have the shape
            (rows, samples)"; "elev must have one value per row"; "ref_z and ref_v must be
            1-D with the same size"; "dbz is needed for the reflectivity limits or a table".
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

    Parameters:
        z: (rows, samples), reflectivity, dBZ.
        zdr: (rows, samples), differential reflectivity, dB (required).
        kdp: (rows, samples), specific differential phase in the unit of glg (required).
        rhohv, snr, mask: (rows, samples) or empty: sample screening.
        gz: (m,), m >= 2: ZDR nodes of the self-consistency table, dB, ascending.
        glg: (m,): log10(KDP / linear Z) at each node.
        zdr_offset: subtracted from each bin's mean ZDR before the lookup, dB.
        z_min, z_max, bin_width: bins of bin_width dB from z_min (closed) to z_max (open).
        rhohv_min, snr_min: sample thresholds.
        kdp_min: smallest accepted bin-mean KDP (the mean must also be > 0).
        min_bin_count: fewest samples of an accepted bin; values below 1 act as 1.

    Returns:
        (rows, 5): samples in accepted bins N, accepted bins H, median of the bin biases,
        count-weighted mean bias, standard deviation of the biases (divisor H - 1); dB.
        Bias = mean Z - 10 * (log10(mean KDP) - table value at the corrected mean ZDR).

    NaN: a sample is used when z, zdr and kdp are finite, z is in range and it passes the
    screening. No accepted bin gives [0, 0, NaN, NaN, NaN]; one bin a NaN deviation.

    Raises:
        ValueError: "z must be 2-D (rows, samples)"; "<name> must have the shape
            (rows, samples)"; "zdr and kdp are needed"; "gz and glg must be 1-D with the
            same size, at least 2"; "need bin_width > 0 and z_max > z_min"; "need finite
            z_min, z_max, bin_width and z_max - z_min"; "need bin_width giving at most
            1048576 bins between z_min and z_max".
        MemoryError: a row's bins could not be allocated.
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

    Parameters:
        phidp: (rays, gates), differential phase, degrees.
        rhohv, snr, mask: (rays, gates) or empty: gate screening.
        first_gate: first gate examined, 0-based; negative acts as 0.
        n_use: the scan of a ray stops once this many usable gates were taken.
        rhohv_min, snr_min: gate thresholds.
        min_count: fewest usable gates for an estimate; below 1 acts as 1.

    Returns:
        (rays, 3): system phase in degrees within [-180, 180], number of gates taken,
        mean resultant length (0 to 1).

    NaN: a gate is usable when its phase is finite and it passes the screening. With fewer
    than min_count gates the phase and the length are NaN; the count is always written.

    Raises:
        ValueError: "phidp must be 2-D (rays, gates)"; "<name> must have the shape
            (rows, samples)".
    """
