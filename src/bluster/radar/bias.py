"""The reflectivity bias of radar volumes by the self-consistency of Z, ZDR and KDP in rain,
with KDP estimated from PhiDP where the volume has none."""

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

from bluster.polarimetry import consistency_rows

from .phase import KDP_WINDOW
from .quality import Number
from .screens import (
    DEFAULT_MELTING_MARGIN,
    SCREENING_QUANTITIES,
    Screens,
    resolve_screens,
    screening_moments,
)
from .summary import (
    Table,
    VolumeCache,
    flagged,
    kept_samples,
    melting_flag,
    number_dataset,
    sweep_statistics,
    volume_summary,
)
from .tables import self_consistency_table
from .volume import (
    Selection,
    Sweep,
    as_volume,
    check_moments,
    moment_name,
    select_sweeps,
    sweeps_of,
)

#: Fewest samples in the accepted bins of a Z bias.
MIN_BIAS_SAMPLES = 1000
#: The quantities :func:`z_bias` reads from a volume file (PhiDP for KDP where the volume has
#: none, and for the attenuation screen).
BIAS_QUANTITIES = ("reflectivity", "zdr", "kdp", "phidp", *SCREENING_QUANTITIES)


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
    max_range: float | None = None,
    melting_level: float | None = None,
    melting_margin: float = DEFAULT_MELTING_MARGIN,
    max_phidp_rise: float | None = None,
    min_samples: int = MIN_BIAS_SAMPLES,
    kdp_window: float = KDP_WINDOW,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """Reflectivity bias of a volume by the self-consistency of Z, ZDR and KDP in rain.

    For each PPI sweep, :func:`bluster.consistency_stats` bins the rain samples by
    reflectivity and compares each bin's mean Z with the Z that its mean KDP implies at its
    offset-corrected mean ZDR, by a table of log10(KDP / Z) against ZDR. A positive bias
    means the radar reads too high. A volume without KDP (NEXRAD Level II never has it) gets
    KDP estimated from its PhiDP by :func:`kdp`.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    band : str, optional
        Radar band with a default table (``"S"``, ``"C"``, ``"X"``; see
        :mod:`bluster.radar.tables`), used without ``table``, and for the default
        ``max_phidp_rise``.
    table : (array_like, array_like), optional
        ``(zdr_nodes, log10_kdp_over_z)``: ZDR nodes (dB, ascending) and log10(KDP / Z) with
        KDP in deg/km and Z in mm6 m-3. Replaces the default of ``band``.
    zdr_offset : float, optional
        ZDR offset to remove, dB (e.g. from :func:`zdr_offset`). Default 0.
    z_min, z_max, bin_width, rhohv_min, snr_min, kdp_min, min_bin_count : optional
        As in :func:`bluster.consistency_stats`: bins of ``bin_width`` dB from ``z_min``
        to ``z_max`` (dBZ), sample thresholds (snr in dB), smallest bin-mean KDP (deg/km)
        and sample count of an accepted bin. Defaults 30, 56, 1, 0.95, 10, 0.3, 10.
    max_range, melting_level, melting_margin : optional
        The screens of :func:`zdr_offset`: range (km), melting level (m above sea level;
        without it the bias is flagged ``no_melting_level_given``) and margin (m).
    max_phidp_rise : float, optional
        Leave out gates whose PhiDP rose more than this above the system phase, degrees.
        Default: the band's, 12.5, 6.25 and 1.8 degrees at S, C and X band, the rise at
        which Z is attenuated by 0.5 dB (:func:`bluster.radar.tables.max_phidp_rise_default`);
        none without a band.
    min_samples : int, optional
        Fewest samples in the accepted bins for a bias. Default 1,000: with KDP estimated
        over 2 km windows (about 9 gates that share their noise) a bin-mean KDP of 1 deg/km
        from 1,000 gates of 2 degrees of PhiDP noise is good to about 10 %, 0.4 dB of Z.
    kdp_window : float, optional
        Window of the KDP estimated where the volume has none, km (see :func:`kdp`).
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``reflectivity``, ``zdr``,
        ``kdp``, ``phidp``, ``rhohv``, ``snr``). Naming ``kdp`` uses that moment and never
        an estimate.
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``sweep`` (the PPI sweeps; coordinate ``elevation``): ``count``, ``bins``,
        ``median``, ``bias``, ``std`` of :func:`bluster.consistency_stats`. Scalars for the
        volume: ``z_bias`` (count-weighted mean of the sweep biases, dB), ``z_bias_median``
        (count-weighted median of the sweep medians, dB), ``z_bias_spread`` (count-weighted
        standard deviation of the sweep biases about the volume's, dB; NaN with fewer than
        two sweeps), ``z_bias_count`` (samples in accepted bins), ``z_bias_quality``
        (:mod:`bluster.radar.quality`: ``ok``, ``no_melting_level_given``,
        ``too_few_samples``, ``no_kdp_estimated`` or ``attenuated``, with its ``reason``).
        Below the minimum the three numbers are NaN. Coordinates ``time`` and ``site``.
        Attributes ``sweeps_used``, ``sweeps_skipped`` and ``moments_used`` as in
        :func:`vad_profile`, and ``kdp_source``: the file's KDP moment, or the estimate.

    Raises
    ------
    ValueError
        Neither ``table`` nor ``band``; a band without a default table; no PPI sweep; a
        missing reflectivity or ZDR moment, neither KDP nor PhiDP, or a moment in a unit it
        cannot be taken in; a screen out of range.

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
    >>> round(float(res.z_bias), 3), res.attrs["kdp_source"]
    (1.5, 'the KDP moment of the file (KDP)')
    """
    check_moments(moments)
    tree = as_volume(volume, BIAS_QUANTITIES, moments)
    table = consistency_relation(band, table)
    selection, estimated = bias_selection(sweeps_of(tree), moments)
    screens = resolve_screens(
        tree, "z_bias", band, max_range=max_range, melting_level=melting_level,
        melting_margin=melting_margin, max_phidp_rise=max_phidp_rise,
    )  # fmt: skip
    options = BiasOptions(
        table, zdr_offset, z_min, z_max, bin_width, rhohv_min, snr_min, kdp_min,
        min_bin_count, min_samples,
    )  # fmt: skip
    cache = VolumeCache(tree, moments, n_threads, kdp_window)
    number = bias_number(selection, estimated, screens, options, cache, n_threads)
    source = kdp_source(selection, estimated, cache)
    return number_dataset(
        tree, selection, number, "consistency_stats", attrs={"kdp_source": source}
    )


@dataclass(frozen=True)
class BiasOptions:
    table: Table
    zdr_offset: float
    z_min: float
    z_max: float
    bin_width: float
    rhohv_min: float
    snr_min: float
    kdp_min: float
    min_bin_count: int
    min_samples: int


BIAS_SUMMARY = ("", "_median", "_spread", "_count")


def consistency_relation(band: str | None, table: Table | None) -> Table:
    if table is not None:
        return table
    if band is None:
        raise ValueError(
            "z_bias needs the self-consistency relation: band= ('S', 'C' or 'X', for a "
            "default table) or table="
        )
    return self_consistency_table(band)


def bias_selection(
    sweeps: Sequence[Sweep], moments: Mapping[str, str] | None
) -> tuple[Selection, bool]:
    """The sweeps of the Z bias and whether their KDP is to be estimated from PhiDP: the
    file's KDP where any PPI sweep has it (or ``moments`` names it), else PhiDP."""
    try:
        return select_sweeps(
            sweeps, "z_bias", kinds=("ppi",), needs=("reflectivity", "zdr", "kdp"),
            moments=moments,
        ), False  # fmt: skip
    except ValueError:
        if (moments or {}).get("kdp") or not any(moment_name(s, "phidp", moments) for s in sweeps):
            raise
    return select_sweeps(
        sweeps, "z_bias", kinds=("ppi",), needs=("reflectivity", "zdr", "phidp"),
        moments=moments,
    ), True  # fmt: skip


def bias_number(
    selection: Selection,
    estimated: bool,
    screens: Screens,
    options: BiasOptions,
    cache: VolumeCache,
    n_threads: int,
) -> Number:
    """The volume's Z bias from the sweeps of ``selection`` (with KDP estimated from PhiDP
    when ``estimated``)."""
    rows, inputs = [], []
    estimates = 0
    for sweep in selection.used:
        z = cache.read(sweep, "reflectivity")
        zdr = cache.read(sweep, "zdr")
        if estimated:
            kdp = cache.fit(sweep)[0]
            estimates += int(np.isfinite(kdp).sum())
        else:
            kdp = cache.read(sweep, "kdp")
        thresholds = screening_moments(sweep, cache.read)
        gates, kept = cache.kept(sweep, screens)
        inputs.append((z, zdr, kdp, thresholds, gates, kept))
        rows.append(_consistency(z, zdr, kdp, thresholds, kept, options, n_threads))
    per_sweep = sweep_statistics("consistency_stats", rows)
    scalars = volume_summary("z_bias", per_sweep["bias"], per_sweep["median"], per_sweep["count"])
    count = int(scalars["z_bias_count"][0])
    described = (
        f"{count:,} samples in accepted bins, {options.min_samples:,} needed; "
        f"KDP {kdp_source(selection, estimated, cache)}; {screens.describe()}"
    )
    if estimated and estimates == 0:
        flag = "no_kdp_estimated"
    elif count >= options.min_samples:
        flag = melting_flag(screens)
    else:
        flag = "too_few_samples"
        if any(kept is not None and kept is not gates for *_, gates, kept in inputs):
            unscreened = sum(
                int(_consistency(z, zdr, kdp, thr, gates, options, n_threads)[0])
                for z, zdr, kdp, thr, gates, _ in inputs
            )
            if unscreened >= options.min_samples:
                flag = "attenuated"
                described += f"; without the PhiDP screen, {unscreened:,} would be"
    return Number("z_bias", per_sweep, flagged("z_bias", scalars, flag), flag, described)


def kdp_source(selection: Selection, estimated: bool, cache: VolumeCache) -> str:
    """Where the KDP of the Z bias comes from, in words."""
    if estimated:
        return (
            f"estimated from PhiDP ({selection.moments.get('phidp', 'phidp')}) over "
            f"{cache.window:g} km windows, system phase {cache.system_phase():.1f} deg"
        )
    return f"the KDP moment of the file ({selection.moments['kdp']})"


def _consistency(
    z: np.ndarray,
    zdr: np.ndarray,
    kdp: np.ndarray,
    thresholds: dict[str, np.ndarray],
    kept: np.ndarray | None,
    options: BiasOptions,
    n_threads: int,
) -> np.ndarray:
    """:func:`bluster.consistency_stats` of the sweep's samples at the gates ``kept``."""
    # the kernel's reflectivity window: it uses no gate outside it
    window = (z >= options.z_min) & (z < options.z_max)
    samples = kept_samples(kept, window, z=z, zdr=zdr, kdp=kdp, **thresholds)
    return consistency_rows(
        **samples,  # type: ignore[arg-type]
        table=options.table,
        zdr_offset=options.zdr_offset,
        z_min=options.z_min,
        z_max=options.z_max,
        bin_width=options.bin_width,
        rhohv_min=options.rhohv_min,
        snr_min=options.snr_min,
        kdp_min=options.kdp_min,
        min_bin_count=options.min_bin_count,
        n_threads=n_threads,
    )
