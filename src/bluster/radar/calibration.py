"""Calibration numbers of radar volumes: system phase, ZDR offset, reflectivity bias."""

from collections.abc import Mapping
from typing import Any, Literal

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

import bluster

from .tables import light_rain_zdr_table, self_consistency_table
from .volume import (
    Selection,
    Sweep,
    as_volume,
    check_moments,
    moment,
    select_sweeps,
    sweeps_of,
    volume_coords,
)

Table = tuple[ArrayLike, ArrayLike]

# The quantities each function reads from a volume file (the screens rhohv and snr when the
# volume has them).
SCREENS = ("rhohv", "snr")
PHASE_QUANTITIES = ("phidp", *SCREENS)
OFFSET_QUANTITIES = ("zdr", "reflectivity", *SCREENS)
BIAS_QUANTITIES = ("reflectivity", "zdr", "kdp", *SCREENS)
#: The quantities of :func:`calibration`.
CALIBRATION_QUANTITIES = ("reflectivity", "zdr", "phidp", "kdp", *SCREENS)


def system_phase(
    volume: Any,
    *,
    first_gate: int = 0,
    n_use: int = 30,
    rhohv_min: float = 0.9,
    snr_min: float = 10.0,
    min_count: int = 10,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """System differential phase of every ray of a volume and of the volume.

    Each ray's system phase is the circular mean of its first ``n_use`` usable PhiDP gates
    (:func:`bluster.phidp_rays`); the volume's is the circular mean of the rays that have
    one, with their circular spread, so that phases on both sides of 0/360 average
    correctly. ``rhohv`` and ``snr`` screen the gates when the volume has them.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    first_gate, n_use, rhohv_min, snr_min, min_count : optional
        As in :func:`bluster.phidp_rays`: first gate examined, usable gates per ray, gate
        thresholds (snr in dB), fewest usable gates for a ray's estimate.
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``phidp``, ``rhohv``, ``snr``).
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``ray`` (all sweeps in order; coordinates ``sweep``, ``azimuth``,
        ``elevation``): ``ray_system_phase`` (degrees in [-180, 180]), ``ray_count``
        (usable gates), ``ray_resultant_length``. Scalars: ``system_phase`` (circular mean
        of the rays, degrees in [-180, 180]), ``system_phase_spread`` (circular standard
        deviation ``sqrt(-2 ln R)``, degrees), ``n_rays`` (rays with an estimate).
        Coordinates ``time`` (volume start) and ``site``. Sweeps without PhiDP (the
        velocity sweeps of NEXRAD's split cuts) are skipped: attributes ``sweeps_used`` and
        ``sweeps_skipped``, as in :func:`vad_profile`.

    References
    ----------
    Mardia, K. V., and P. E. Jupp, 2000: Directional Statistics. Wiley, sections 2.2-2.3.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import system_phase
    >>> phase = np.where(np.arange(40) % 2 == 0, 359.0, 3.0) * np.ones((360, 1))
    >>> sweep = xr.Dataset({"PHIDP": (("azimuth", "range"), phase, {"units": "degrees"})},
    ...                    coords={"azimuth": np.arange(360.0), "range": np.arange(40.0),
    ...                            "elevation": ("azimuth", np.full(360, 0.5))})
    >>> res = system_phase(xr.DataTree.from_dict({"sweep_0": sweep}))
    >>> round(float(res.system_phase), 3), int(res.n_rays)
    (1.0, 360)
    """
    check_moments(moments)
    tree = as_volume(volume, PHASE_QUANTITIES, moments)
    options = dict(
        first_gate=first_gate, n_use=n_use, rhohv_min=rhohv_min, snr_min=snr_min,
        min_count=min_count, n_threads=n_threads,
    )  # fmt: skip
    selection = select_sweeps(
        sweeps_of(tree),
        "system_phase",
        kinds=("ppi", "rhi", "vertical"),
        needs=("phidp",),
        moments=moments,
    )
    per_sweep = []
    for sweep in selection.used:
        phidp = moment(sweep, "phidp", moments)
        rays = bluster.phidp_rays(phidp, **_screens(sweep, moments), **options)  # type: ignore[arg-type]
        per_sweep.append(
            rays.assign_coords(
                sweep=("ray", [sweep.name] * rays.sizes["ray"]),
                azimuth=("ray", sweep.data["azimuth"].values),
                elevation=("ray", sweep.data["elevation"].values),
            )
        )
    rays = xr.concat(per_sweep, dim="ray")
    rays = rays.rename({k: f"ray_{k}" for k in ("system_phase", "count", "resultant_length")})
    return (
        rays.assign(_circular_summary(rays["ray_system_phase"].values))
        .assign_coords(volume_coords(tree))
        .assign_attrs(selection.attrs())
    )


def zdr_offset(
    volume: Any,
    *,
    method: Literal["rain", "vertical"] = "rain",
    table: Table | float | None = None,
    band: str | None = None,
    z_min: float | None = None,
    z_max: float | None = None,
    rhohv_min: float = 0.98,
    snr_min: float = 10.0,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """ZDR offset of a volume: measured minus expected ZDR, per sweep and for the volume.

    ``method="rain"`` compares the PPI sweeps' ZDR in light rain with the ZDR that rain of
    its reflectivity shows (a table of expected ZDR against dBZ, converted to each sweep's
    elevation by :func:`bluster.offset_stats`); ``method="vertical"`` uses the vertically
    pointing ("birdbath") sweeps, where rain shows 0 dB whatever its reflectivity.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    method : {"rain", "vertical"}, optional
        Default "rain".
    table : (array_like, array_like) or float, optional
        Expected ZDR: ``(dbz_nodes, zdr_at_horizontal_incidence)`` (dBZ, dB) or one value,
        dB. It replaces the default of ``band``; "vertical" defaults to 0.0.
    band : str, optional
        Radar band with a default table (``"S"``, ``"C"``, ``"X"``; see
        :mod:`bluster.radar.tables`), for ``method="rain"`` without ``table``.
    z_min, z_max : float, optional
        Reflectivity window, dBZ. Default for a table of nodes: its first and last node
        (20 and 30 dBZ for the default tables); otherwise no limit.
    rhohv_min, snr_min : float, optional
        Sample thresholds (snr in dB), used when the volume has those moments.
        Defaults 0.98 and 10 dB.
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``zdr``, ``reflectivity``,
        ``rhohv``, ``snr``).
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``sweep`` (the sweeps used; coordinate ``elevation``): ``count``, ``offset``,
        ``std``, ``median``, ``expected`` of :func:`bluster.offset_stats` per sweep.
        Scalars for the volume: ``zdr_offset`` (count-weighted mean of the sweep offsets:
        the mean over all samples, dB), ``zdr_offset_median`` (count-weighted median of the
        sweep medians, dB), ``zdr_offset_spread`` (count-weighted standard deviation of the
        sweep offsets about the volume's, dB), ``zdr_offset_count`` (samples). Coordinates
        ``time`` and ``site``. Sweeps without ZDR or, with a table of nodes, reflectivity
        are skipped: attributes ``sweeps_used`` and ``sweeps_skipped``, as in
        :func:`vad_profile`.

    Raises
    ------
    ValueError
        Neither ``table`` nor a ``band`` with a default table (method "rain"); a band
        without a default table; no sweep of the method's kind; a missing ZDR or
        reflectivity moment or one in a unit other than dB / dBZ.

    References
    ----------
    Ryzhkov, A. V., S. E. Giangrande, V. M. Melnikov, and T. J. Schuur, 2005: Calibration
    issues of dual-polarization radar measurements. J. Atmos. Oceanic Technol., 22,
    1138-1155.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import zdr_offset
    >>> dbz = np.linspace(20.0, 30.0, 50) * np.ones((360, 1))
    >>> zdr = 0.02 + 0.05 * (dbz - 20.0) + 0.3  # about the S-band table, plus 0.3 dB
    >>> sweep = xr.Dataset({"DBZH": (("azimuth", "range"), dbz, {"units": "dBZ"}),
    ...                     "ZDR": (("azimuth", "range"), zdr, {"units": "dB"})},
    ...                    coords={"azimuth": np.arange(360.0), "range": np.arange(50.0),
    ...                            "elevation": ("azimuth", np.full(360, 0.5))})
    >>> table = ([20.0, 30.0], [0.02, 0.52])
    >>> res = zdr_offset(xr.DataTree.from_dict({"sweep_0": sweep}), table=table)
    >>> round(float(res.zdr_offset), 3)
    0.3
    """
    check_moments(moments)
    if method not in ("rain", "vertical"):
        raise ValueError(f"method={method!r}: expected 'rain' or 'vertical'")
    tree = as_volume(volume, OFFSET_QUANTITIES, moments)
    if table is None:
        if method == "vertical":
            table = 0.0
        elif band is None:
            raise ValueError(
                "zdr_offset(method='rain') needs the expected ZDR of light rain: band= "
                "('S', 'C' or 'X', for a default table) or table="
            )
        else:
            table = light_rain_zdr_table(band)
    if not np.isscalar(table):
        nodes = np.asarray(table[0], dtype=np.float64)
        z_min = float(nodes[0]) if z_min is None and nodes.size else z_min
        z_max = float(nodes[-1]) if z_max is None and nodes.size else z_max
    selection = select_sweeps(
        sweeps_of(tree),
        f"zdr_offset(method={method!r})",
        kinds=("vertical",) if method == "vertical" else ("ppi",),
        needs=("zdr",) if np.isscalar(table) else ("zdr", "reflectivity"),
        moments=moments,
    )
    rows = []
    for sweep in selection.used:
        zdr = moment(sweep, "zdr", moments)
        dbz = moment(sweep, "reflectivity", moments, required=not np.isscalar(table))
        rows.append(
            bluster.offset_stats(
                _flat(zdr),
                elevation=sweep.elevation,
                dbz=None if dbz is None else _flat(dbz),
                table=table,
                z_min=z_min,
                z_max=z_max,
                rhohv_min=rhohv_min,
                snr_min=snr_min,
                n_threads=n_threads,
                **_screens(sweep, moments, flat=True),  # type: ignore[arg-type]
            )
        )
    return _with_volume_summary(tree, selection, rows, "zdr_offset", "offset")


def z_bias(
    volume: Any,
    *,
    band: str | None = None,
    table: Table | None = None,
    zdr_offset: float = 0.0,
    z_min: float = 30.0,
    z_max: float = 56.0,
    bin_width: float = 1.0,
    rhohv_min: float = 0.95,
    snr_min: float = 10.0,
    kdp_min: float = 0.3,
    min_bin_count: int = 10,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """Reflectivity bias of a volume by the self-consistency of Z, ZDR and KDP in rain.

    For each PPI sweep, :func:`bluster.consistency_stats` bins the rain samples by
    reflectivity and compares each bin's mean Z with the Z that its mean KDP implies at its
    offset-corrected mean ZDR, by a table of log10(KDP / Z) against ZDR. A positive bias
    means the radar reads too high.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    band : str, optional
        Radar band with a default table (``"S"``, ``"C"``, ``"X"``; see
        :mod:`bluster.radar.tables`), used without ``table``.
    table : (array_like, array_like), optional
        ``(zdr_nodes, log10_kdp_over_z)``: ZDR nodes (dB, ascending) and log10(KDP / Z) with
        KDP in deg/km and Z in mm6 m-3. Replaces the default of ``band``.
    zdr_offset : float, optional
        ZDR offset to remove, dB (e.g. from :func:`zdr_offset`). Default 0.
    z_min, z_max, bin_width, rhohv_min, snr_min, kdp_min, min_bin_count : optional
        As in :func:`bluster.consistency_stats`: bins of ``bin_width`` dB from ``z_min``
        to ``z_max`` (dBZ), sample thresholds (snr in dB), smallest bin-mean KDP (deg/km)
        and sample count of an accepted bin. Defaults 30, 56, 1, 0.95, 10, 0.3, 10.
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``reflectivity``, ``zdr``,
        ``kdp``, ``rhohv``, ``snr``).
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``sweep`` (the PPI sweeps; coordinate ``elevation``): ``count``, ``bins``,
        ``median``, ``bias``, ``std`` of :func:`bluster.consistency_stats`. Scalars for the
        volume: ``z_bias`` (count-weighted mean of the sweep biases, dB), ``z_bias_median``
        (count-weighted median of the sweep medians, dB), ``z_bias_spread`` (count-weighted
        standard deviation of the sweep biases about the volume's, dB), ``z_bias_count``
        (samples in accepted bins). Coordinates ``time`` and ``site``. Sweeps without one of
        the three moments are skipped: attributes ``sweeps_used`` and ``sweeps_skipped``, as
        in :func:`vad_profile`.

    Raises
    ------
    ValueError
        Neither ``table`` nor ``band``; a band without a default table; no PPI sweep; a
        missing reflectivity, ZDR or KDP moment, or one in a unit it cannot be taken in.

    References
    ----------
    Gourley, J. J., A. J. Illingworth, and P. Tabary, 2009: Absolute calibration of radar
    reflectivity using redundancy of the polarization observations and implied constraints
    on drop shapes. J. Atmos. Oceanic Technol., 26, 689-703.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import z_bias
    >>> from bluster.radar.tables import self_consistency_table
    >>> gz, glg = self_consistency_table("C")
    >>> z = np.repeat(np.arange(30.5, 50.5), 20) * np.ones((360, 1))  # dBZ, true
    >>> zdr = 0.5 + 0.08 * (z - 30.0)
    >>> kdp = 10.0 ** (np.interp(zdr, gz, glg) + z / 10.0)  # deg/km, consistent with z
    >>> moments = {"DBZH": (z + 1.5, "dBZ"), "ZDR": (zdr, "dB"), "KDP": (kdp, "deg/km")}
    >>> sweep = xr.Dataset({k: (("azimuth", "range"), v, {"units": u})
    ...                     for k, (v, u) in moments.items()},
    ...                    coords={"azimuth": np.arange(360.0), "range": np.arange(400.0),
    ...                            "elevation": ("azimuth", np.full(360, 0.5))})
    >>> res = z_bias(xr.DataTree.from_dict({"sweep_0": sweep}), band="C")
    >>> round(float(res.z_bias), 3)
    1.5
    """
    check_moments(moments)
    tree = as_volume(volume, BIAS_QUANTITIES, moments)
    if table is None:
        if band is None:
            raise ValueError(
                "z_bias needs the self-consistency relation: band= ('S', 'C' or 'X', for a "
                "default table) or table="
            )
        table = self_consistency_table(band)
    selection = select_sweeps(
        sweeps_of(tree),
        "z_bias",
        kinds=("ppi",),
        needs=("reflectivity", "zdr", "kdp"),
        moments=moments,
    )
    rows = []
    for sweep in selection.used:
        z = moment(sweep, "reflectivity", moments)
        zdr = moment(sweep, "zdr", moments)
        kdp = moment(sweep, "kdp", moments)
        rows.append(
            bluster.consistency_stats(
                _flat(z),
                _flat(zdr),
                _flat(kdp),
                table=table,
                zdr_offset=zdr_offset,
                z_min=z_min,
                z_max=z_max,
                bin_width=bin_width,
                rhohv_min=rhohv_min,
                snr_min=snr_min,
                kdp_min=kdp_min,
                min_bin_count=min_bin_count,
                n_threads=n_threads,
                **_screens(sweep, moments, flat=True),  # type: ignore[arg-type]
            )
        )
    return _with_volume_summary(tree, selection, rows, "z_bias", "bias")


def calibration(
    volume: Any,
    *,
    band: str | None = None,
    zdr_table: Table | float | None = None,
    consistency_table: Table | None = None,
    zdr_method: Literal["rain", "vertical"] = "rain",
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """The calibration numbers of one volume: one row of a monitoring time series.

    Runs :func:`system_phase`, :func:`zdr_offset` and :func:`z_bias` (the latter with the
    ZDR offset just found, or 0 dB when there is none) with their default screening. The
    rain method of :func:`zdr_offset` reads the expected ZDR at the measured reflectivity,
    so a reflectivity bias of b dB moves the ZDR offset by b times the table's slope (0.02 to
    0.05 dB per dBZ for the default tables) and, through it, the bias by about 0.1 b.
    Results of many volumes concatenate along ``time`` (``xarray.concat(rows, "time")``).

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result); of a file, only the
        moments of the three (Z, ZDR, PhiDP, KDP, RhoHV, SNR) are read, once.
    band : str, optional
        Radar band (``"S"``, ``"C"``, ``"X"``) for the default tables.
    zdr_table, consistency_table : optional
        Own tables for :func:`zdr_offset` and :func:`z_bias` (they replace the band's).
    zdr_method : {"rain", "vertical"}, optional
        Method of :func:`zdr_offset`. Default "rain".
    moments : mapping, optional
        Names of moments the alias table does not find.
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``time`` (length 1: the volume start; coordinate ``site``): ``system_phase``,
        ``system_phase_spread`` (degrees), ``n_rays``; ``zdr_offset``, ``zdr_offset_median``,
        ``zdr_offset_spread`` (dB), ``zdr_offset_count``; ``z_bias``, ``z_bias_median``,
        ``z_bias_spread`` (dB), ``z_bias_count``.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import calibration
    >>> from bluster.radar.tables import self_consistency_table
    >>> gz, glg = self_consistency_table("S")
    >>> z = np.repeat(np.arange(20.5, 50.5), 20) * np.ones((360, 1))  # dBZ
    >>> zdr = 0.2 + 0.05 * (z - 20.0)
    >>> kdp = 10.0 ** (np.interp(zdr, gz, glg) + z / 10.0)
    >>> phidp = np.full_like(z, 355.0)
    >>> moments = {"DBZH": (z, "dBZ"), "ZDR": (zdr + 0.25, "dB"),
    ...            "KDP": (kdp, "deg/km"), "PHIDP": (phidp, "degrees")}
    >>> sweep = xr.Dataset({k: (("azimuth", "range"), v, {"units": u})
    ...                     for k, (v, u) in moments.items()},
    ...                    coords={"azimuth": np.arange(360.0), "range": np.arange(600.0),
    ...                            "elevation": ("azimuth", np.full(360, 0.5))})
    >>> row = calibration(xr.DataTree.from_dict({"sweep_0": sweep}),
    ...                   band="S", zdr_table=([20.0, 30.0], [0.2, 0.7]))
    >>> [round(float(row[name][0]), 3) for name in ("system_phase", "zdr_offset", "z_bias")]
    [-5.0, 0.25, 0.0]
    """
    check_moments(moments)
    tree = as_volume(volume, CALIBRATION_QUANTITIES, moments)
    phase = system_phase(tree, moments=moments, n_threads=n_threads)
    offset = zdr_offset(
        tree, method=zdr_method, table=zdr_table, band=band, moments=moments, n_threads=n_threads
    )
    found = float(offset["zdr_offset"])
    bias = z_bias(
        tree,
        band=band,
        table=consistency_table,
        zdr_offset=found if np.isfinite(found) else 0.0,
        moments=moments,
        n_threads=n_threads,
    )
    names = (
        [n for n in phase.data_vars if not str(n).startswith("ray_")]
        + [n for n in offset.data_vars if str(n).startswith("zdr_offset")]
        + [n for n in bias.data_vars if str(n).startswith("z_bias")]
    )
    # the sweeps each number used are in the results of the three functions, not in the row
    merged = xr.merge([phase, offset, bias], compat="override", combine_attrs="drop")[names]
    coords = volume_coords(tree)
    return (
        merged.reset_coords(drop=True)
        .expand_dims(time=[coords["time"]])
        .assign_coords(site=("time", [coords["site"]]))
    )


# --- shared plumbing ---------------------------------------------------------------------


def _screens(sweep: Sweep, moments: Any, *, flat: bool = False) -> dict[str, np.ndarray]:
    """The optional screening moments the sweep holds (rhohv, snr), as rows of gates or,
    ``flat``, as one row of all the sweep's gates."""
    screens = {}
    for quantity in ("rhohv", "snr"):
        values = moment(sweep, quantity, moments, required=False)
        if values is not None:
            screens[quantity] = _flat(values) if flat else values
    return screens


def _flat(values: np.ndarray) -> np.ndarray:
    """All gates of a sweep as one row: the samples of one per-sweep statistic."""
    return values.reshape(1, -1)


def _stacked(sweeps: list[Sweep], rows: list[xr.Dataset]) -> xr.Dataset:
    """One-row results of the sweeps as one Dataset over ``sweep`` (attributes of the first)."""
    first = rows[0]
    return xr.Dataset(
        {
            name: ("sweep", np.concatenate([r[name].values for r in rows]), first[name].attrs)
            for name in first.data_vars
        },
        coords={
            "sweep": [s.name for s in sweeps],
            "elevation": ("sweep", [s.elevation for s in sweeps], {"units": "degree"}),
        },
    )


def _with_volume_summary(
    tree: xr.DataTree, selection: Selection, rows: list[xr.Dataset], name: str, value: str
) -> xr.Dataset:
    """The sweeps' rows over ``sweep`` with the volume's summary of their ``value`` as
    ``name``, ``name_median``, ``name_spread`` and ``name_count``, the volume's coordinates
    and the names of the sweeps used and skipped."""
    per_sweep = _stacked(selection.used, rows)
    summary = _volume_summary(per_sweep[value], per_sweep["median"], per_sweep["count"])
    return (
        per_sweep.assign({f"{name}{suffix}": variable for suffix, variable in summary.items()})
        .assign_coords(volume_coords(tree))
        .assign_attrs(selection.attrs())
    )


def _volume_summary(
    value: xr.DataArray, median: xr.DataArray, count: xr.DataArray
) -> dict[str, xr.DataArray]:
    """Count-weighted mean, median and spread of per-sweep values, and the total count."""
    weight = np.where(np.isfinite(value.values), count.values, 0.0)
    total = weight.sum()
    dB = {"units": "dB"}
    if total == 0:
        nan = xr.DataArray(np.nan, attrs=dB)
        return {"": nan, "_median": nan, "_spread": nan, "_count": xr.DataArray(0)}
    values = np.where(weight > 0, value.values, 0.0)
    mean = float((weight * values).sum() / total)
    spread = float(np.sqrt((weight * (values - mean) ** 2).sum() / total))
    return {
        "": xr.DataArray(mean, attrs=dB),
        "_median": xr.DataArray(_weighted_median(median.values, weight), attrs=dB),
        "_spread": xr.DataArray(spread, attrs=dB),
        "_count": xr.DataArray(int(count.values.sum())),
    }


def _weighted_median(values: np.ndarray, weight: np.ndarray) -> float:
    keep = (weight > 0) & np.isfinite(values)
    order = np.argsort(values[keep])
    sorted_values, cumulative = values[keep][order], np.cumsum(weight[keep][order])
    return float(sorted_values[np.searchsorted(cumulative, 0.5 * cumulative[-1])])


def _circular_summary(phase_deg: np.ndarray) -> dict[str, xr.DataArray]:
    angles = np.deg2rad(phase_deg[np.isfinite(phase_deg)])
    deg = {"units": "degree"}
    if angles.size == 0:
        nan = xr.DataArray(np.nan, attrs=deg)
        return {"system_phase": nan, "system_phase_spread": nan, "n_rays": xr.DataArray(0)}
    s, c = np.sin(angles).mean(), np.cos(angles).mean()
    length = min(float(np.hypot(s, c)), 1.0)
    return {
        "system_phase": xr.DataArray(float(np.rad2deg(np.arctan2(s, c))), attrs=deg),
        "system_phase_spread": xr.DataArray(
            float(np.rad2deg(np.sqrt(max(-2.0 * np.log(length), 0.0)))) if length > 0 else np.inf,
            attrs=deg,
        ),
        "n_rays": xr.DataArray(angles.size),
    }
