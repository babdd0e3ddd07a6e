"""The ZDR offset of radar volumes by the light-rain (or birdbath) method, screened as the
operational rain method screens it, with the minimum samples per reflectivity category."""

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import xarray as xr

from bluster.polarimetry import offset_rows

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
from .tables import light_rain_zdr_table
from .volume import Selection, Sweep, as_volume, check_moments, select_sweeps, sweeps_of

#: The operational rain method's minimums: samples in a reflectivity category, and
#: categories holding that many (Cunningham et al. 2013; Richardson et al. 2017).
MIN_CATEGORY_SAMPLES = 1000
MIN_CATEGORIES = 2
#: The quantities :func:`zdr_offset` reads from a volume file (PhiDP for the attenuation
#: screen).
OFFSET_QUANTITIES = ("zdr", "reflectivity", "phidp", *SCREENING_QUANTITIES)


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
    max_range: float | None = None,
    melting_level: float | None = None,
    melting_margin: float = DEFAULT_MELTING_MARGIN,
    max_phidp_rise: float | None = None,
    min_category_samples: int = MIN_CATEGORY_SAMPLES,
    min_categories: int = MIN_CATEGORIES,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """ZDR offset of a volume: measured minus expected ZDR, per sweep and for the volume.

    ``method="rain"`` compares the PPI sweeps' ZDR in light rain with the ZDR that rain of
    its reflectivity shows (a table of expected ZDR against dBZ, converted to each sweep's
    elevation by :func:`bluster.offset_stats`); ``method="vertical"`` uses the vertically
    pointing ("birdbath") sweeps, where rain shows 0 dB whatever its reflectivity. The
    samples are screened as the operational rain method screens them, and the volume's
    offset is NaN, flagged, below its minimums.

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
        :mod:`bluster.radar.tables`), for ``method="rain"`` without ``table``, and for the
        default ``max_phidp_rise``.
    z_min, z_max : float, optional
        Reflectivity window, dBZ. Default for a table of nodes: its first and last node
        (20 and 30 dBZ for the default tables); otherwise no limit.
    rhohv_min, snr_min : float, optional
        Sample thresholds (snr in dB), used when the volume has those moments.
        Defaults 0.98 and 10 dB.
    max_range : float, optional
        Only gates within this range, km. Default: no limit.
    melting_level : float, optional
        Height of the melting level (0 degC), m above sea level: only gates whose beam top
        lies at least ``melting_margin`` below it (see :mod:`bluster.radar.screens`). No
        volume file states it: take it from a sounding or a model. Without it the offset is
        flagged ``no_melting_level_given``.
    melting_margin : float, optional
        m. Default 1,000 m, the margin of the operational rain method.
    max_phidp_rise : float, optional
        Leave out gates whose PhiDP rose more than this above the system phase, degrees (the
        gates behind strong attenuation; volumes with PhiDP only). Default: the band's, 25,
        3.3 and 2.5 degrees at S, C and X band, the rise at which ZDR is attenuated by 0.1 dB
        (:func:`bluster.radar.tables.max_phidp_rise_default`); none without a band.
    min_category_samples, min_categories : int, optional
        The operational rain method's minimums: the offset needs ``min_categories``
        reflectivity categories with ``min_category_samples`` samples each, over all sweeps.
        The categories are the intervals between the table's nodes within the window (2 dB
        from 20 to 30 dBZ for the default tables). Defaults 1,000 and 2 (Cunningham et al.
        2013; Richardson et al. 2017). With one expected value (``method="vertical"`` or a
        number for ``table``) the window is one category.
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``zdr``, ``reflectivity``,
        ``rhohv``, ``snr``, ``phidp``).
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``sweep`` (the sweeps used; coordinate ``elevation``): ``count``, ``offset``,
        ``std``, ``median``, ``expected`` of :func:`bluster.offset_stats` per sweep (of the
        screened samples, whatever their number), and ``category_count`` over (``sweep``,
        ``category``; coordinates ``category_low`` and ``category_high``, dBZ). Scalars for
        the volume: ``zdr_offset`` (count-weighted mean of the sweep offsets: the mean over
        all samples, dB), ``zdr_offset_median`` (count-weighted median of the sweep medians,
        dB), ``zdr_offset_spread`` (count-weighted standard deviation of the sweep offsets
        about the volume's, dB; NaN with fewer than two sweeps), ``zdr_offset_count``
        (samples), ``zdr_offset_categories`` (categories holding the minimum), and
        ``zdr_offset_quality`` (:mod:`bluster.radar.quality`: ``ok``,
        ``no_melting_level_given``, ``too_few_samples``, ``too_few_categories`` or
        ``attenuated``, with its ``reason``). Below the minimums the three numbers are NaN.
        Coordinates ``time`` and ``site``. Sweeps without ZDR or, with a table of nodes,
        reflectivity are skipped: attributes ``sweeps_used`` and ``sweeps_skipped``, as in
        :func:`vad_profile`.

    Raises
    ------
    ValueError
        Neither ``table`` nor a ``band`` with a default table (method "rain"); a band
        without a default table; no sweep of the method's kind; a missing ZDR or
        reflectivity moment or one in a unit other than dB / dBZ; a screen out of range; a
        ``melting_level`` for a volume that does not state the radar's altitude.

    References
    ----------
    Cunningham, J. G., W. D. Zittel, R. R. Lee, R. L. Ice, and N. P. Hoban, 2013: Methods for
    identifying systematic differential reflectivity (ZDR) biases on the operational WSR-88D
    network. Preprints, 36th Conf. on Radar Meteorology, Breckenridge, CO, Amer. Meteor. Soc.

    Richardson, L. M., W. D. Zittel, R. R. Lee, V. M. Melnikov, R. L. Ice, and J. G.
    Cunningham, 2017: Bragg scatter detection by the WSR-88D. Part II: Assessment of ZDR bias
    estimation. J. Atmos. Oceanic Technol., 34, 479-493.

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
    >>> res = zdr_offset(xr.DataTree.from_dict({"sweep_0": sweep}), table=table,
    ...                  min_categories=1)
    >>> round(float(res.zdr_offset), 3), str(res.zdr_offset_quality.attrs["reason"][:40])
    (0.3, '18,000 samples; 1 of 1 reflectivity cate')
    """
    check_moments(moments)
    tree = as_volume(volume, OFFSET_QUANTITIES, moments)
    table = expected_zdr(method, table, band)
    selection = zdr_selection(sweeps_of(tree), method, table, moments)
    screens = resolve_screens(
        tree, "zdr_offset", band, max_range=max_range, melting_level=melting_level,
        melting_margin=melting_margin, max_phidp_rise=max_phidp_rise,
    )  # fmt: skip
    options = ZdrOptions(
        table, z_min, z_max, rhohv_min, snr_min, min_category_samples, min_categories
    )
    cache = VolumeCache(tree, moments, n_threads)
    number, counts, edges = zdr_number(selection, screens, options, cache, n_threads)
    between = {
        "category_count": xr.Variable(
            ("sweep", "category"),
            counts,
            {"long_name": "screened samples per reflectivity category", "units": "1"},
        ),
        "category_low": xr.Variable("category", edges[:-1], {"units": "dBZ"}),
        "category_high": xr.Variable("category", edges[1:], {"units": "dBZ"}),
    }
    return number_dataset(
        tree, selection, number, "offset_stats", between=between,
        between_coords=("category_low", "category_high"),
    )  # fmt: skip


@dataclass(frozen=True)
class ZdrOptions:
    table: Table | float
    z_min: float | None
    z_max: float | None
    rhohv_min: float
    snr_min: float
    min_category_samples: int
    min_categories: int


ZDR_SUMMARY = ("", "_median", "_spread", "_count", "_categories")


def expected_zdr(method: str, table: Table | float | None, band: str | None) -> Table | float:
    if method not in ("rain", "vertical"):
        raise ValueError(f"method={method!r}: expected 'rain' or 'vertical'")
    if table is not None:
        return table
    if method == "vertical":
        return 0.0
    if band is None:
        raise ValueError(
            "zdr_offset(method='rain') needs the expected ZDR of light rain: band= "
            "('S', 'C' or 'X', for a default table) or table="
        )
    return light_rain_zdr_table(band)


def zdr_selection(
    sweeps: Sequence[Sweep], method: str, table: Table | float, moments: Mapping[str, str] | None
) -> Selection:
    return select_sweeps(
        sweeps,
        f"zdr_offset(method={method!r})",
        kinds=("vertical",) if method == "vertical" else ("ppi",),
        needs=("zdr",) if np.isscalar(table) else ("zdr", "reflectivity"),
        moments=moments,
    )


def _categories(options: ZdrOptions) -> tuple[np.ndarray, float | None, float | None]:
    """The reflectivity categories (their edges, dBZ) and the window of the offset: the
    intervals between the table's nodes within the window, or the window as one."""
    z_min, z_max = options.z_min, options.z_max
    if np.isscalar(options.table):
        low = -np.inf if z_min is None else z_min
        high = np.inf if z_max is None else z_max
        return np.array([low, high]), z_min, z_max
    nodes = np.asarray(options.table[0], dtype=np.float64)
    z_min = float(nodes[0]) if z_min is None and nodes.size else z_min
    z_max = float(nodes[-1]) if z_max is None and nodes.size else z_max
    low = -np.inf if z_min is None else z_min
    high = np.inf if z_max is None else z_max
    inner = nodes[(nodes > low) & (nodes < high)]
    return np.unique(np.concatenate([[low], inner, [high]])), z_min, z_max


def zdr_number(
    selection: Selection,
    screens: Screens,
    options: ZdrOptions,
    cache: VolumeCache,
    n_threads: int,
) -> tuple[Number, np.ndarray, np.ndarray]:
    """The volume's ZDR offset, with the screened samples per sweep and reflectivity
    category (sweeps, categories) and the categories' edges (dBZ)."""
    edges, z_min, z_max = _categories(options)
    rows, counts, unscreened = [], [], []
    for sweep in selection.used:
        zdr = cache.read(sweep, "zdr")
        dbz = cache.read(sweep, "reflectivity", required=not np.isscalar(options.table))
        thresholds = screening_moments(sweep, cache.read)
        gates, kept = cache.kept(sweep, screens)
        usable = _usable(zdr, dbz, thresholds, z_min, z_max, options)
        at = np.flatnonzero(usable)  # the usable gates, in their order
        inside = np.zeros(at.size) if dbz is None else dbz.take(at)
        counts.append(_counts(inside, at, kept, edges))
        unscreened.append(counts[-1] if kept is gates else _counts(inside, at, gates, edges))
        samples = kept_samples(kept, usable, zdr=zdr, dbz=dbz, **thresholds)
        rows.append(
            offset_rows(
                **samples,  # type: ignore[arg-type]
                elevation=sweep.elevation,
                table=options.table,
                z_min=z_min,
                z_max=z_max,
                rhohv_min=options.rhohv_min,
                snr_min=options.snr_min,
                n_threads=n_threads,
            )
        )
    per_sweep = sweep_statistics("offset_stats", rows)
    total = np.sum(counts, axis=0)
    flag, reason = _zdr_flag(total, np.sum(unscreened, axis=0), edges, options, screens)
    held = (
        int(np.sum(total >= options.min_category_samples)),
        {"long_name": "reflectivity categories holding the minimum of samples"},
    )
    scalars = volume_summary(
        "zdr_offset", per_sweep["offset"], per_sweep["median"], per_sweep["count"]
    ) | {"zdr_offset_categories": held}
    number = Number("zdr_offset", per_sweep, flagged("zdr_offset", scalars, flag), flag, reason)
    return number, np.array(counts, dtype=np.int64), edges


def _usable(
    zdr: np.ndarray,
    dbz: np.ndarray | None,
    thresholds: dict[str, np.ndarray],
    z_min: float | None,
    z_max: float | None,
    options: ZdrOptions,
) -> np.ndarray:
    """The gates whose samples pass the tests of :func:`bluster.offset_stats` but its mask: ZDR
    present, reflectivity within the window, the thresholds met (every gate the kernel uses,
    and only those but gates of infinite reflectivity without a window)."""
    usable = np.isfinite(zdr)
    if dbz is not None:
        usable &= (dbz >= (-np.inf if z_min is None else z_min)) & (
            dbz <= (np.inf if z_max is None else z_max)
        )
    for quantity, minimum in (("rhohv", options.rhohv_min), ("snr", options.snr_min)):
        if quantity in thresholds:
            usable &= thresholds[quantity] >= minimum
    return usable


def _counts(
    inside: np.ndarray, usable: np.ndarray, kept: np.ndarray | None, edges: np.ndarray
) -> np.ndarray:
    """Samples per reflectivity category (edges[k] <= value < edges[k + 1], the last category
    closed) of the usable gates (their reflectivities ``inside``, at the flat indices
    ``usable``) that ``kept`` keeps (all without it): the samples at or above each category's
    lower edge less those at or above the next one's (above the upper edge, for the last)."""
    keep = None if kept is None else kept.take(usable)

    def counted(hit: np.ndarray) -> int:
        return int(np.count_nonzero(hit if keep is None else hit & keep))

    reached = [counted(inside >= edge) for edge in edges[:-1]] + [counted(inside > edges[-1])]
    return -np.diff(np.array(reached, dtype=np.int64))


def _zdr_flag(
    counts: np.ndarray,
    unscreened: np.ndarray,
    edges: np.ndarray,
    options: ZdrOptions,
    screens: Screens,
) -> tuple[str, str]:
    """The flag of a volume's ZDR offset and its reason, from the samples per category with
    and without the attenuation screen."""
    fewest = options.min_category_samples
    need = 1 if np.isscalar(options.table) else options.min_categories
    held = int(np.sum(counts >= fewest))
    described = (
        f"{int(counts.sum()):,} samples; {held} of {counts.size} reflectivity "
        f"{'category' if counts.size == 1 else 'categories'} "
        f"({_span(edges)}) hold {fewest:,} or more, {need} needed; {screens.describe()}"
    )
    if held >= need:
        return melting_flag(screens), described
    would = int(np.sum(unscreened >= fewest))
    if would >= need:
        return "attenuated", f"{described}; without the PhiDP screen, {would} would"
    if held == 0:
        return "too_few_samples", described
    return "too_few_categories", described


def _span(edges: np.ndarray) -> str:
    width = np.diff(edges)
    if edges.size == 2:
        return f"{edges[0]:g} to {edges[-1]:g} dBZ"
    if np.all(np.isfinite(edges)) and np.allclose(width, width[0]):
        return f"{edges[0]:g} to {edges[-1]:g} dBZ by {width[0]:g} dB"
    return "from " + ", ".join(f"{e:g}" for e in edges) + " dBZ"
