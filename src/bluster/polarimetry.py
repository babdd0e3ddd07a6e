"""Polarimetric calibration: ZDR offset, reflectivity bias by self-consistency, system PhiDP,
and the specific differential phase KDP from the differential phase.

The calibration functions screen the samples (gates) of every row with the optional ``rhohv``,
``snr`` and ``mask`` arrays: a sample passes a threshold when value >= threshold (NaN on either
side fails); ``mask`` keeps a sample where it is nonzero or True and excludes it where it is 0
or False. Leaving an optional array out (``None``) skips its test.
"""

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import xarray as xr

import _calibration
import _phase

from ._apply import Layout, Operand, optional_operand, run
from ._inputs import as_array, as_float, as_int, as_optional, check_elevation

ArrayLike = Any  # NumPy, masked, xarray, pint or Dask-backed arrays, nested sequences
Dim = str | Sequence[str] | None

_EMPTY = np.empty(0)


def _sample_dims(dim: Dim, data: object, default: str) -> tuple[str, ...]:
    """The core (samples) dimensions: `dim`, else a DataArray's last dim, else `default`."""
    if dim is None:
        # a 0-d DataArray has no samples: the shape check of run() says so
        if isinstance(data, xr.DataArray) and data.ndim > 0:
            return (str(data.dims[-1]),)
        return (default,)
    return (dim,) if isinstance(dim, str) else tuple(dim)


def _screening(func: str, dims: tuple[str, ...], **arrays: Any) -> list[Operand | None]:
    return [
        optional_operand(name, as_optional(func, name, value), dims)
        for name, value in arrays.items()
    ]


def _table(func: str, table: Any, names: tuple[str, str]) -> tuple[np.ndarray, np.ndarray]:
    """A lookup table given as a pair of 1-D arrays, or a number (a one-entry table)."""
    if isinstance(table, tuple | list) and len(table) == 2:
        first, second = (
            np.asarray(as_array(func, f"table {n}", t)) for n, t in zip(names, table, strict=True)
        )
        return first, second
    if table is None or isinstance(table, str) or np.ndim(table) != 0:
        raise TypeError(
            f"{func}: table is {table!r}, expected a number or a pair ({names[0]}, {names[1]})"
        )
    return np.zeros(1), np.full(1, as_float(func, "table", table))


def _limit(func: str, name: str, value: Any) -> float:
    """A window limit: None is no limit (NaN for the kernel)."""
    return math.nan if value is None else as_float(func, name, value)


def offset_stats(
    zdr: ArrayLike,
    *,
    elevation: ArrayLike,
    dbz: ArrayLike | None = None,
    rhohv: ArrayLike | None = None,
    snr: ArrayLike | None = None,
    mask: ArrayLike | None = None,
    table: tuple[ArrayLike, ArrayLike] | float | None = 0.0,
    z_min: float | None = None,
    z_max: float | None = None,
    rhohv_min: float = 0.97,
    snr_min: float = 10.0,
    dim: Dim = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """ZDR offset of every row: statistics of measured minus expected ZDR.

    In light rain the drops are nearly round, so the differential reflectivity they should
    show is known from the reflectivity; what the radar measures beyond that is the bias of
    its ZDR channel. Each usable sample's expected ZDR is read from ``table`` at its
    reflectivity and converted from horizontal incidence to the row's elevation.

    Parameters
    ----------
    zdr : array_like, (rows..., samples)
        Measured differential reflectivity, dB.
    elevation : array_like, scalar or (rows...,)
        Elevation angle of each row, degrees (converted when it carries units; an angle
        unit is needed then), from -2 to 90; NaN is a missing angle.
    dbz : array_like, (rows..., samples), optional
        Reflectivity, dBZ: the window ``z_min``, ``z_max`` and the table lookup. Needed
        for a table of more than one node or a finite window.
    rhohv : array_like, (rows..., samples), optional
        Co-polar correlation coefficient; a sample needs ``rhohv >= rhohv_min``.
    snr : array_like, (rows..., samples), optional
        Signal-to-noise ratio, dB; a sample needs ``snr >= snr_min``.
    mask : array_like, (rows..., samples), optional
        Samples to keep: nonzero (True) keeps, 0 (False) excludes.
    table : (array_like, array_like) or float, optional
        Expected ZDR of light rain at horizontal incidence: a pair ``(ref_z, ref_v)`` of
        reflectivity nodes (dBZ, ascending) and expected ZDR at each (dB), linear between
        nodes and constant beyond them; or one expected ZDR for every sample (dB).
        Default 0.0 (None too), the expectation of a vertically pointing scan.
    z_min, z_max : float, optional
        Closed reflectivity window, dBZ; None (default) is no limit on that side.
    rhohv_min : float, optional
        Default 0.97.
    snr_min : float, optional
        dB. Default 10.0.
    dim : str or sequence of str, optional
        The samples dimension(s) of DataArray inputs, several flattened into one; default
        the last dimension of ``zdr``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the row dimensions (``row`` for NumPy input): ``count`` (samples used),
        ``offset`` (mean of measured minus expected ZDR, dB), ``std`` (its standard
        deviation, divisor count - 1, dB), ``median`` (dB), ``expected`` (mean expected ZDR of
        the samples used after the elevation conversion, dB).

    Notes
    -----
    A sample is used when ``zdr`` is finite (masked values are missing), it passes the
    screening and, when ``dbz`` is given, ``dbz`` is finite and within the window. A row
    without usable samples gives count 0 and NaN elsewhere; one sample a NaN ``std``. The
    elevation conversion is ``e - 20 log10(10**(0.05 e) sin(el)**2 + cos(el)**2)``, 0 dB at
    vertical incidence; a non-finite elevation leaves the table values unconverted.

    References
    ----------
    Ryzhkov, A. V., S. E. Giangrande, V. M. Melnikov, and T. J. Schuur, 2005: Calibration
    issues of dual-polarization radar measurements. J. Atmos. Oceanic Technol., 22,
    1138-1155.

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> zdr = np.array([[0.62, 0.71, 0.55, 2.90, 0.66], [0.48, 0.57, np.nan, 0.51, 0.60]])
    >>> dbz = np.array([[18.0, 24.0, 21.0, 26.0, 29.5], [16.0, 22.0, 25.0, 27.0, 41.0]])
    >>> rhohv = np.array([[0.99, 0.98, 0.99, 0.80, 0.99], [0.99, 0.99, 0.99, 0.98, 0.99]])
    >>> table = ([10.0, 20.0, 30.0, 40.0], [0.10, 0.25, 0.60, 1.30])
    >>> res = bluster.offset_stats(zdr, elevation=[0.5, 20.0], dbz=dbz, rhohv=rhohv,
    ...                            table=table, z_min=15.0, z_max=30.0)
    >>> res.offset.round(3).values
    array([0.266, 0.225])
    """
    func = "offset_stats"
    dims = _sample_dims(dim, zdr, "sample")
    settings = _offset_settings(table, z_min, z_max, rhohv_min, snr_min)
    layout = Layout(func, dims, ("samples",) * len(dims), "row", _OFFSET_OUTPUTS)
    operands = [
        Operand("zdr", as_array(func, "zdr", zdr), dims),
        *_screening(func, dims, dbz=dbz, rhohv=rhohv, snr=snr, mask=mask),
        Operand("elevation", as_array(func, "elevation", elevation, "degree")),
    ]

    def kernel(
        zdr: np.ndarray,
        elevation: np.ndarray,
        n_threads: int,
        dbz: np.ndarray = _EMPTY,
        rhohv: np.ndarray = _EMPTY,
        snr: np.ndarray = _EMPTY,
        mask: np.ndarray = _EMPTY,
    ) -> np.ndarray:
        return _offset_core(zdr, dbz, rhohv, snr, mask, elevation, settings, n_threads).T

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))


# What each kernel takes after its arrays, in its order.
OffsetSettings = tuple[np.ndarray, np.ndarray, float, float, float, float]
ConsistencySettings = tuple[
    np.ndarray, np.ndarray, float, float, float, float, float, float, float, int
]
PhidpSettings = tuple[int, int, float, float, int]
KdpSettings = tuple[float, float, int, int, float]


def _offset_settings(
    table: Any, z_min: Any, z_max: Any, rhohv_min: Any, snr_min: Any
) -> OffsetSettings:
    """The table, window and thresholds of :func:`offset_stats` as its kernel takes them."""
    func = "offset_stats"
    ref_z, ref_v = _table(func, 0.0 if table is None else table, ("ref_z", "ref_v"))
    window = _limit(func, "z_min", z_min), _limit(func, "z_max", z_max)
    thresholds = as_float(func, "rhohv_min", rhohv_min), as_float(func, "snr_min", snr_min)
    return ref_z, ref_v, window[0], window[1], thresholds[0], thresholds[1]


def _offset_core(
    zdr: np.ndarray,
    dbz: np.ndarray,
    rhohv: np.ndarray,
    snr: np.ndarray,
    mask: np.ndarray,
    elevation: np.ndarray,
    settings: OffsetSettings,
    n_threads: int,
) -> np.ndarray:
    """The kernel of :func:`offset_stats` over C-contiguous float64 rows (an absent screen
    empty): (rows, 5) in the order of its outputs."""
    check_elevation("offset_stats", elevation)
    out: np.ndarray = _calibration.offset_stats(
        zdr, dbz, rhohv, snr, mask, elevation, *settings, n_threads
    )
    return out


def offset_rows(
    zdr: np.ndarray,
    *,
    elevation: float,
    dbz: np.ndarray | None = None,
    rhohv: np.ndarray | None = None,
    snr: np.ndarray | None = None,
    mask: np.ndarray | None = None,
    table: tuple[ArrayLike, ArrayLike] | float | None,
    z_min: float | None,
    z_max: float | None,
    rhohv_min: float,
    snr_min: float,
    n_threads: int = 0,
) -> np.ndarray:
    """:func:`offset_stats` of one row of float64 NumPy samples at one elevation, unlabelled:
    its outputs in order, as an array. For callers that label many results at once (the
    calibration numbers), to whom a Dataset per call costs more than the kernel; they pass
    every setting (the defaults are those of the labelled functions)."""
    settings = _offset_settings(table, z_min, z_max, rhohv_min, snr_min)
    elevations = np.array([elevation], dtype=np.float64)
    dbz_row, rhohv_row, snr_row, mask_row = (_row_or_empty(a) for a in (dbz, rhohv, snr, mask))
    result = _offset_core(
        _row_or_empty(zdr), dbz_row, rhohv_row, snr_row, mask_row, elevations, settings, n_threads
    )
    row: np.ndarray = result[0]
    return row


def _row_or_empty(values: np.ndarray | None) -> np.ndarray:
    """``values`` as one C-contiguous float64 row, or the kernels' empty array for None."""
    if values is None:
        return _EMPTY
    return np.ascontiguousarray(values, dtype=np.float64).reshape(1, -1)


_OFFSET_OUTPUTS = ("count", "offset", "std", "median", "expected")
_CONSISTENCY_OUTPUTS = ("count", "bins", "median", "bias", "std")
_PHIDP_OUTPUTS = ("system_phase", "count", "resultant_length")


def consistency_stats(
    z: ArrayLike,
    zdr: ArrayLike,
    kdp: ArrayLike,
    *,
    table: tuple[ArrayLike, ArrayLike],
    zdr_offset: float = 0.0,
    rhohv: ArrayLike | None = None,
    snr: ArrayLike | None = None,
    mask: ArrayLike | None = None,
    z_min: float = 30.0,
    z_max: float = 56.0,
    bin_width: float = 1.0,
    rhohv_min: float = 0.95,
    snr_min: float = 10.0,
    kdp_min: float = 0.3,
    min_bin_count: int = 10,
    dim: Dim = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """Reflectivity bias of every row from the self-consistency of Z, ZDR and KDP.

    In rain, KDP does not depend on the receiver calibration, and for a given ZDR the ratio of
    KDP to linear reflectivity is known from drop physics. The samples of each row are sorted
    into reflectivity bins; in every bin the reflectivity implied by the mean KDP at the
    offset-corrected mean ZDR is compared with the measured mean reflectivity.

    Parameters
    ----------
    z : array_like, (rows..., samples)
        Reflectivity, dBZ.
    zdr : array_like, (rows..., samples)
        Differential reflectivity, dB, raw (``zdr_offset`` is removed from each bin's mean).
    kdp : array_like, (rows..., samples)
        Specific differential phase, deg km-1 (converted when it carries units), the unit of
        the table.
    table : (array_like, array_like)
        The self-consistency relation ``(gz, glg)``: ZDR nodes (dB, ascending, at least 2)
        and log10(KDP / linear Z) at each node.
    zdr_offset : float, optional
        ZDR offset, dB, subtracted from each bin's mean ZDR before the lookup. Default 0.
    rhohv, snr, mask : array_like, (rows..., samples), optional
        Sample screening: ``rhohv >= rhohv_min``, ``snr >= snr_min`` (dB), ``mask``
        nonzero (True) keeps a sample.
    z_min, z_max, bin_width : float, optional
        Bins of ``bin_width`` dB from ``z_min`` (closed) to ``z_max`` (open), dBZ. Defaults
        30, 56 and 1: rain intense enough for a measurable KDP, below hail.
    rhohv_min : float, optional
        Default 0.95.
    snr_min : float, optional
        dB. Default 10.0.
    kdp_min : float, optional
        Smallest accepted bin-mean KDP, deg km-1 (the mean must also be > 0). Default 0.3.
    min_bin_count : int, optional
        Fewest samples of an accepted bin. Default 10.
    dim : str or sequence of str, optional
        The samples dimension(s) of DataArray inputs; default the last dimension of ``z``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the row dimensions (``row`` for NumPy input): ``count`` (samples in accepted
        bins), ``bins`` (accepted bins), ``median`` (median of the bin biases, dB), ``bias``
        (count-weighted mean bias, dB: subtract it from the reflectivity), ``std`` (standard
        deviation of the bin biases, dB).

    Notes
    -----
    A sample is used when ``z``, ``zdr`` and ``kdp`` are finite (masked values are missing),
    ``z`` lies in [z_min, z_max) and it passes the screening. A bin is accepted with at least
    ``min_bin_count`` samples, a mean KDP >= ``kdp_min`` and > 0 and a corrected mean ZDR
    within the table; its bias is mean Z - 10 (log10 K - G), G the table value at the
    corrected ZDR. A row without accepted bins gives counts 0 and NaN statistics.

    References
    ----------
    Gorgucci, E., G. Scarchilli, and V. Chandrasekar, 1992: Calibration of radars using
    polarimetric techniques. IEEE Trans. Geosci. Remote Sens., 30, 853-858.

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> gz = np.arange(0.0, 3.75, 0.25)
    >>> glg = -3.8 - 0.35 * gz
    >>> z = np.tile(np.linspace(32.0, 50.0, 400), (2, 1))  # two rows of rain, dBZ
    >>> zdr = 0.5 + 0.05 * (z - 30.0)
    >>> kdp = 10.0 ** (np.interp(zdr, gz, glg) + 0.1 * (z - 1.0))  # Z reads 1 dB too high
    >>> res = bluster.consistency_stats(z, zdr, kdp, table=(gz, glg))
    >>> res.bias.round(2).values  # the mean KDP of a bin is not that of its mean Z
    array([0.99, 0.99])
    """
    func = "consistency_stats"
    dims = _sample_dims(dim, z, "sample")
    settings = _consistency_settings(
        table, zdr_offset, z_min, z_max, bin_width, rhohv_min, snr_min, kdp_min, min_bin_count
    )
    layout = Layout(func, dims, ("samples",) * len(dims), "row", _CONSISTENCY_OUTPUTS)
    operands = [
        Operand("z", as_array(func, "z", z), dims),
        Operand("zdr", as_array(func, "zdr", zdr), dims),
        Operand("kdp", as_array(func, "kdp", kdp, "degree/km"), dims),
        *_screening(func, dims, rhohv=rhohv, snr=snr, mask=mask),
    ]

    def kernel(
        z: np.ndarray,
        zdr: np.ndarray,
        kdp: np.ndarray,
        n_threads: int,
        rhohv: np.ndarray = _EMPTY,
        snr: np.ndarray = _EMPTY,
        mask: np.ndarray = _EMPTY,
    ) -> np.ndarray:
        out = _calibration.consistency_stats(z, zdr, kdp, rhohv, snr, mask, *settings, n_threads)
        return out.T

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))


def _consistency_settings(
    table: Any,
    zdr_offset: Any,
    z_min: Any,
    z_max: Any,
    bin_width: Any,
    rhohv_min: Any,
    snr_min: Any,
    kdp_min: Any,
    min_bin_count: Any,
) -> ConsistencySettings:
    """The table, offset, bins and thresholds of :func:`consistency_stats` as its kernel takes
    them."""
    func = "consistency_stats"
    return (
        *_table(func, table, ("gz", "glg")),
        as_float(func, "zdr_offset", zdr_offset),
        as_float(func, "z_min", z_min),
        as_float(func, "z_max", z_max),
        as_float(func, "bin_width", bin_width),
        as_float(func, "rhohv_min", rhohv_min),
        as_float(func, "snr_min", snr_min),
        as_float(func, "kdp_min", kdp_min, "degree/km"),
        as_int(func, "min_bin_count", min_bin_count),
    )


def consistency_rows(
    z: np.ndarray,
    zdr: np.ndarray,
    kdp: np.ndarray,
    *,
    table: tuple[ArrayLike, ArrayLike],
    zdr_offset: float,
    rhohv: np.ndarray | None = None,
    snr: np.ndarray | None = None,
    mask: np.ndarray | None = None,
    z_min: float,
    z_max: float,
    bin_width: float,
    rhohv_min: float,
    snr_min: float,
    kdp_min: float,
    min_bin_count: int,
    n_threads: int = 0,
) -> np.ndarray:
    """:func:`consistency_stats` of one row of float64 NumPy samples, unlabelled: its outputs
    in order, as an array (see :func:`offset_rows`)."""
    settings = _consistency_settings(
        table, zdr_offset, z_min, z_max, bin_width, rhohv_min, snr_min, kdp_min, min_bin_count
    )
    z_row, zdr_row, kdp_row, rhohv_row, snr_row, mask_row = (
        _row_or_empty(a) for a in (z, zdr, kdp, rhohv, snr, mask)
    )
    out: np.ndarray = _calibration.consistency_stats(
        z_row, zdr_row, kdp_row, rhohv_row, snr_row, mask_row, *settings, n_threads
    )
    row: np.ndarray = out[0]
    return row


def phidp_rays(
    phidp: ArrayLike,
    *,
    rhohv: ArrayLike | None = None,
    snr: ArrayLike | None = None,
    mask: ArrayLike | None = None,
    first_gate: int = 0,
    n_use: int = 30,
    rhohv_min: float = 0.9,
    snr_min: float = 10.0,
    min_count: int = 10,
    dim: str = "range",
    n_threads: int = 0,
) -> xr.Dataset:
    """System differential phase of every ray: the circular mean of its first usable gates.

    The differential phase measured near the radar, before any propagation through rain, is
    the radar's own system phase. The first ``n_use`` usable gates of each ray from
    ``first_gate`` on are averaged as angles, so that phases on both sides of the +-180
    degree wrap average correctly.

    Parameters
    ----------
    phidp : array_like, (rays..., gates)
        Differential phase, degrees (converted when it carries units).
    rhohv, snr, mask : array_like, (rays..., gates), optional
        Gate screening: ``rhohv >= rhohv_min``, ``snr >= snr_min`` (dB), ``mask`` nonzero
        (True) keeps a gate.
    first_gate : int, optional
        First gate examined, 0-based; negative acts as 0. Default 0.
    n_use : int, optional
        The scan of a ray stops once this many usable gates were taken. Default 30.
    rhohv_min : float, optional
        Default 0.9.
    snr_min : float, optional
        dB. Default 10.0.
    min_count : int, optional
        Fewest usable gates for an estimate; below 1 acts as 1. Default 10.
    dim : str, optional
        Name of the gates dimension of DataArray inputs. Default ``"range"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the ray dimensions (``ray`` for NumPy input): ``system_phase`` (degrees, in
        [-180, 180]), ``count`` (usable gates taken), ``resultant_length`` (mean resultant
        length, 1 when all phases agree, towards 0 when they scatter).

    Notes
    -----
    A gate is usable when its phase is finite (masked values are missing) and it passes
    the screening. With fewer than ``min_count`` usable gates ``system_phase`` and
    ``resultant_length`` are NaN; ``count`` is always given.

    References
    ----------
    Mardia, K. V., and P. E. Jupp, 2000: Directional Statistics. John Wiley & Sons,
    Chichester, sections 2.2-2.3 (circular mean and mean resultant length).

    Examples
    --------
    >>> import bluster
    >>> res = bluster.phidp_rays([[170.0, -170.0, 175.0]], min_count=1)
    >>> print(f"{res.system_phase.item():.2f} {res.resultant_length.item():.4f}")
    178.32 0.9890
    """
    func = "phidp_rays"
    settings = _phidp_settings(first_gate, n_use, rhohv_min, snr_min, min_count)
    layout = Layout(func, (dim,), ("gates",), "ray", _PHIDP_OUTPUTS)
    operands = [
        Operand("phidp", as_array(func, "phidp", phidp, "degree"), (dim,)),
        *_screening(func, (dim,), rhohv=rhohv, snr=snr, mask=mask),
    ]

    def kernel(
        phidp: np.ndarray,
        n_threads: int,
        rhohv: np.ndarray = _EMPTY,
        snr: np.ndarray = _EMPTY,
        mask: np.ndarray = _EMPTY,
    ) -> np.ndarray:
        out = _calibration.phidp_rays(phidp, rhohv, snr, mask, *settings, n_threads)
        return out.T

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))


def _phidp_settings(
    first_gate: Any, n_use: Any, rhohv_min: Any, snr_min: Any, min_count: Any
) -> PhidpSettings:
    """The gates and thresholds of :func:`phidp_rays` as its kernel takes them."""
    func = "phidp_rays"
    return (
        as_int(func, "first_gate", first_gate),
        as_int(func, "n_use", n_use),
        as_float(func, "rhohv_min", rhohv_min),
        as_float(func, "snr_min", snr_min),
        as_int(func, "min_count", min_count),
    )


def phidp_rows(
    phidp: np.ndarray,
    *,
    rhohv: np.ndarray | None = None,
    snr: np.ndarray | None = None,
    first_gate: int,
    n_use: int,
    rhohv_min: float,
    snr_min: float,
    min_count: int,
    n_threads: int = 0,
) -> np.ndarray:
    """:func:`phidp_rays` of float64 NumPy (rays, gates), unlabelled: (rays, outputs) in the
    order of its outputs (see :func:`offset_rows`)."""
    settings = _phidp_settings(first_gate, n_use, rhohv_min, snr_min, min_count)
    phidp_rays, rhohv_rays, snr_rays = (_rays_or_empty(a) for a in (phidp, rhohv, snr))
    out: np.ndarray = _calibration.phidp_rays(
        phidp_rays, rhohv_rays, snr_rays, _EMPTY, *settings, n_threads
    )
    return out


def _rays_or_empty(values: np.ndarray | None) -> np.ndarray:
    """``values`` (rays, gates) as C-contiguous float64, or the kernels' empty array for
    None."""
    if values is None:
        return _EMPTY
    return np.ascontiguousarray(values, dtype=np.float64)


_KDP_OUTPUTS = ("kdp", "phidp")


def kdp_rays(
    phidp: ArrayLike,
    *,
    gate_spacing: float,
    system_phase: float = 0.0,
    window: float = 2.0,
    rhohv: ArrayLike | None = None,
    rhohv_min: float = 0.9,
    min_gates: int | None = None,
    dim: str = "range",
    n_threads: int = 0,
) -> xr.Dataset:
    """Specific differential phase KDP of every gate, by sliding least squares of PhiDP.

    KDP is half the range derivative of the differential phase. Along each ray the system
    phase is removed and the 0/360 degree wrap unfolded; a straight line is fitted by least
    squares to the usable gates of a window of ``window`` km centred on each gate, and half
    its slope is the gate's KDP (the linear-regression estimator of the operational
    polarimetric WSR-88D, Ryzhkov et al. 2005; Wang and Chandrasekar 2009 discuss its
    properties).

    Parameters
    ----------
    phidp : array_like, (rays..., gates)
        Differential phase, degrees (converted when it carries units), in any range.
    gate_spacing : float
        Distance between consecutive gates, km (converted when it carries units).
    system_phase : float, optional
        System differential phase, degrees (e.g. from :func:`phidp_rays`). Default 0.
    window : float, optional
        Length of the least-squares window, km: ``round(window / (2 gate_spacing))`` gates on
        each side of the centre, at least 1. Default 2 km, the window of the operational
        WSR-88D estimator in rain above 40 dBZ (9 gates of 250 m; Ryzhkov et al. 2005), where
        the self-consistency of Z, ZDR and KDP is evaluated.
    rhohv : array_like, (rays..., gates), optional
        Co-polar correlation coefficient; a gate needs ``rhohv >= rhohv_min``.
    rhohv_min : float, optional
        Default 0.9, the threshold of meteorological echo of the WSR-88D processing
        (Ryzhkov et al. 2005).
    min_gates : int, optional
        Fewest usable gates in a window for an estimate. Default: more than half of the
        window's gates.
    dim : str, optional
        Name of the gates dimension of DataArray inputs. Default ``"range"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        Over the input's dimensions (``ray``, ``range`` for 2-D NumPy input): ``kdp``
        (degrees per km) and ``phidp`` (the fitted differential phase, degrees above the
        system phase, unfolded). NaN where the gate itself is not usable or its window holds
        fewer than ``min_gates`` usable gates.

    Notes
    -----
    A gate is usable when its phase is finite and it passes the ``rhohv`` screen. The
    unfolding follows the usable gates along the ray: a step of more than 270 degrees from the
    usable gate before is a wrap, undone by a multiple of 360 degrees; smaller steps (noise, a
    gate of random phase, the 180-degree ambiguity of some radars) are left to the fit.
    Windows are cut at the ends of a ray. Backscatter differential phase (in hail, in the
    melting layer, at C and X band in large drops) is part of PhiDP and is not removed: it
    shows as KDP of alternating sign around it.

    References
    ----------
    Ryzhkov, A. V., S. E. Giangrande, and T. J. Schuur, 2005: Rainfall estimation with a
    polarimetric prototype of WSR-88D. J. Appl. Meteor., 44, 502-515.

    Wang, Y., and V. Chandrasekar, 2009: Algorithm for estimation of the specific
    differential phase. J. Atmos. Oceanic Technol., 26, 2565-2578.

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> r = 0.25 * np.arange(40)  # km
    >>> phidp = np.mod(350.0 + 2.0 * 1.5 * r, 360.0)  # KDP 1.5 deg/km, across the wrap
    >>> res = bluster.kdp_rays([phidp], gate_spacing=0.25, system_phase=350.0)
    >>> res.kdp.round(6).values[0, [0, 20, 39]]
    array([1.5, 1.5, 1.5])
    """
    func = "kdp_rays"
    scalars = _kdp_settings(gate_spacing, system_phase, window, rhohv_min, min_gates)
    _, spacing, half, *_ = scalars
    layout = Layout(func, (dim,), ("gates",), "ray", _KDP_OUTPUTS, keep_core=True)
    operands = [
        Operand("phidp", as_array(func, "phidp", phidp, "degree"), (dim,)),
        *_screening(func, (dim,), rhohv=rhohv),
    ]

    def kernel(phidp: np.ndarray, n_threads: int, rhohv: np.ndarray = _EMPTY) -> np.ndarray:
        return _phase.kdp_rays(phidp, rhohv, *scalars, n_threads)

    attrs = {"kdp": {"window_km": 2 * half * spacing, "window_gates": 2 * half + 1}}
    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads), attrs)


def _kdp_settings(
    gate_spacing: Any, system_phase: Any, window: Any, rhohv_min: Any, min_gates: Any
) -> KdpSettings:
    """The system phase, gate spacing, half window, fewest gates and threshold of
    :func:`kdp_rays` as its kernel takes them."""
    func = "kdp_rays"
    spacing = as_float(func, "gate_spacing", gate_spacing, "km")
    length = as_float(func, "window", window, "km")
    if not (spacing > 0.0 and math.isfinite(spacing)):
        raise ValueError(f"{func}: gate_spacing={gate_spacing!r}, expected a positive distance")
    if not (length > 0.0 and math.isfinite(length)):
        raise ValueError(f"{func}: window={window!r}, expected a positive length in km")
    half = max(1, round(length / (2.0 * spacing)))
    fewest = half + 1 if min_gates is None else as_int(func, "min_gates", min_gates)
    return (
        as_float(func, "system_phase", system_phase, "degree"),
        spacing,
        half,
        fewest,
        as_float(func, "rhohv_min", rhohv_min),
    )


def kdp_planes(
    phidp: np.ndarray,
    *,
    gate_spacing: float,
    system_phase: float = 0.0,
    window: float = 2.0,
    rhohv: np.ndarray | None = None,
    rhohv_min: float = 0.9,
    min_gates: int | None = None,
    n_threads: int = 0,
) -> np.ndarray:
    """:func:`kdp_rays` of float64 NumPy (rays, gates), unlabelled: (2, rays, gates), KDP and
    the fitted PhiDP (see :func:`offset_rows`)."""
    scalars = _kdp_settings(gate_spacing, system_phase, window, rhohv_min, min_gates)
    out: np.ndarray = _phase.kdp_rays(
        _rays_or_empty(phidp), _rays_or_empty(rhohv), *scalars, n_threads
    )
    return out
