"""The calibration numbers of one volume at once: one row of a monitoring time series, with
a quality flag on every number and NaN for the numbers the volume lacks the moments of."""

from collections.abc import Callable, Mapping
from typing import Any, Literal

import numpy as np
import xarray as xr

from .bias import (
    BIAS_SUMMARY,
    MIN_BIAS_SAMPLES,
    BiasOptions,
    bias_number,
    bias_selection,
    consistency_relation,
)
from .offset import (
    MIN_CATEGORIES,
    MIN_CATEGORY_SAMPLES,
    ZDR_SUMMARY,
    ZdrOptions,
    expected_zdr,
    zdr_number,
    zdr_selection,
)
from .phase import KDP_WINDOW, PhaseOptions, phase_number, phase_selection
from .quality import Number, Scalar, flag_attrs, flag_value
from .screens import DEFAULT_MELTING_MARGIN, SCREENING_QUANTITIES, resolve_screens
from .summary import Table, VolumeCache
from .volume import as_volume, check_moments, sweeps_of, volume_coords

#: The quantities :func:`calibration` reads from a volume file.
CALIBRATION_QUANTITIES = ("reflectivity", "zdr", "phidp", "kdp", *SCREENING_QUANTITIES)


def calibration(
    volume: Any,
    *,
    band: str | None = None,
    zdr_table: Table | float | None = None,
    consistency_table: Table | None = None,
    zdr_method: Literal["rain", "vertical"] = "rain",
    max_range: float | None = None,
    melting_level: float | None = None,
    melting_margin: float = DEFAULT_MELTING_MARGIN,
    max_phidp_rise: float | None = None,
    min_category_samples: int = MIN_CATEGORY_SAMPLES,
    min_categories: int = MIN_CATEGORIES,
    min_bias_samples: int = MIN_BIAS_SAMPLES,
    kdp_window: float = KDP_WINDOW,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """The calibration numbers of one volume: one row of a monitoring time series.

    Runs :func:`system_phase`, :func:`zdr_offset` and :func:`z_bias` (the latter with the
    ZDR offset just found, or 0 dB when there is none) with their default screening and the
    screens given here. A volume lacking what one number needs gives the others and NaN for
    that one, flagged ``missing_moment`` with the reason; KDP is estimated from PhiDP where
    the volume has none. The rain method of :func:`zdr_offset` reads the expected ZDR at
    the measured reflectivity, so a reflectivity bias of b dB moves the ZDR offset by b times
    the table's slope (0.02 to 0.05 dB per dBZ for the default tables) and, through it, the
    bias by about 0.1 b. Rows of many volumes concatenate along ``time``
    (``xarray.concat(rows, "time")``).

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    band : str, optional
        Radar band (``"S"``, ``"C"``, ``"X"``) for the default tables and screens.
    zdr_table, consistency_table : optional
        Own tables for :func:`zdr_offset` and :func:`z_bias` (they replace the band's).
    zdr_method : {"rain", "vertical"}, optional
        Method of :func:`zdr_offset`. Default "rain".
    max_range, melting_level, melting_margin, max_phidp_rise : optional
        The screens of :func:`zdr_offset` and :func:`z_bias` (a ``max_phidp_rise`` given
        applies to both; by default each has its band's).
    min_category_samples, min_categories : int, optional
        The minimums of :func:`zdr_offset`. Defaults 1,000 and 2.
    min_bias_samples : int, optional
        The ``min_samples`` of :func:`z_bias`. Default 1,000.
    kdp_window : float, optional
        Window of the KDP estimated where the volume has none, km (see :func:`kdp`).
    moments : mapping, optional
        Names of moments the alias table does not find.
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``time`` (length 1: the volume start; coordinate ``site``): ``system_phase``,
        ``system_phase_spread`` (degrees), ``n_rays``; ``zdr_offset``, ``zdr_offset_median``,
        ``zdr_offset_spread`` (dB), ``zdr_offset_count``, ``zdr_offset_categories``;
        ``z_bias``, ``z_bias_median``, ``z_bias_spread`` (dB), ``z_bias_count``; and for
        each number ``<number>_quality`` (the CF flag of :mod:`bluster.radar.quality`) and
        ``<number>_reason`` (its reason, a string per row, since rows concatenate).

    Raises
    ------
    ValueError
        A band without a default table, or neither band nor own tables; a screen out of
        range. A volume lacking moments is not an error: its numbers are NaN and flagged.

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
    ...                   band="S", zdr_table=([20.0, 30.0], [0.2, 0.7]), min_categories=1)
    >>> [round(float(row[name][0]), 3) for name in ("system_phase", "zdr_offset", "z_bias")]
    [-5.0, 0.25, 0.0]
    >>> str(row.z_bias_quality.attrs["flag_meanings"].split()[int(row.z_bias_quality[0])])
    'no_melting_level_given'
    """
    check_moments(moments)
    tree = as_volume(volume, CALIBRATION_QUANTITIES, moments)
    zdr_table = expected_zdr(zdr_method, zdr_table, band)
    consistency_table = consistency_relation(band, consistency_table)
    zdr_screens, bias_screens = (
        resolve_screens(
            tree,
            number,
            band,
            max_range=max_range,
            melting_level=melting_level,
            melting_margin=melting_margin,
            max_phidp_rise=max_phidp_rise,
        )
        for number in ("zdr_offset", "z_bias")
    )
    cache = VolumeCache(tree, moments, n_threads, kdp_window)
    sweeps = sweeps_of(tree)  # found once for the three numbers' selections

    phase = _or_missing(
        "system_phase",
        lambda: phase_selection(sweeps, moments),
        lambda selection: phase_number(selection, cache.read, PhaseOptions(), n_threads)[1],
    )
    cache.share_system_phase(phase.scalars["system_phase"][0])
    offset = _or_missing(
        "zdr_offset",
        lambda: zdr_selection(sweeps, zdr_method, zdr_table, moments),
        lambda selection: zdr_number(
            selection, zdr_screens,
            ZdrOptions(zdr_table, None, None, 0.98, 10.0, min_category_samples, min_categories),
            cache, n_threads,
        )[0],
    )  # fmt: skip
    found = float(offset.scalars["zdr_offset"][0])
    options = BiasOptions(
        consistency_table, found if np.isfinite(found) else 0.0, 30.0, 56.0, 1.0, 0.95, 10.0,
        0.3, 10, min_bias_samples,
    )  # fmt: skip
    bias = _or_missing(
        "z_bias",
        lambda: bias_selection(sweeps, moments),
        lambda chosen: bias_number(*chosen, bias_screens, options, cache, n_threads),
    )
    row = {**_row_part(phase), **_row_part(offset), **_row_part(bias)}
    coords = volume_coords(tree)
    # each scalar as a length-1 variable along time, in one Dataset (expanding each
    # DataArray on its own and merging them costs more than the numbers themselves)
    return xr.Dataset(
        {
            "time": ("time", [coords["time"]]),  # first, as a row's first variable
            **{
                name: ("time", np.asarray(value)[np.newaxis], attrs)
                for name, (value, attrs) in row.items()
            },
        },
        coords={"site": ("time", [coords["site"]])},
    )


def _or_missing[Chosen](
    name: str, select: Callable[[], Chosen], compute: Callable[[Chosen], Number]
) -> Number:
    """``compute(select())``, or, when no sweep of the volume has the moments the number needs
    (the ValueError that selecting sweeps raises), NaN flagged ``missing_moment``."""
    try:
        chosen = select()
    except ValueError as err:
        values = {
            "system_phase": {"system_phase": np.nan, "system_phase_spread": np.nan, "n_rays": 0},
            "zdr_offset": dict(
                zip(_suffixed(name, ZDR_SUMMARY), (np.nan,) * 3 + (0, 0), strict=True)
            ),
            "z_bias": dict(zip(_suffixed(name, BIAS_SUMMARY), (np.nan,) * 3 + (0,), strict=True)),
        }[name]
        scalars: dict[str, Scalar] = {n: (value, {}) for n, value in values.items()}
        return Number(name, {}, scalars, "missing_moment", _remedies(err))
    return compute(chosen)


def _remedies(err: ValueError) -> str:
    """The message of ``err`` with the remedy both for Python and for the command line, as a
    :class:`VolumeError` words it for each."""
    python, command_line = str(err), str(getattr(err, "command_line", "") or err)
    if python == command_line:
        return python
    head = _shared_start(python, command_line)
    tail = _shared_start(python[head:][::-1], command_line[head:][::-1])
    remedy, option = (
        python[head : len(python) - tail],
        command_line[head : len(command_line) - tail],
    )
    return f"{python[:head]}{remedy} (command line: {option}){python[len(python) - tail :]}"


def _shared_start(first: str, second: str) -> int:
    """The length of the text both strings start with."""
    length = 0
    for a, b in zip(first, second, strict=False):
        if a != b:
            break
        length += 1
    return length


def _suffixed(name: str, suffixes: tuple[str, ...]) -> tuple[str, ...]:
    return tuple(f"{name}{s}" for s in suffixes)


def _row_part(number: Number) -> dict[str, Scalar]:
    """The scalars of one number for the row: its scalars, its flag (without the reason,
    which becomes the string variable ``<name>_reason``)."""
    name = number.name
    return number.scalars | {
        f"{name}_quality": (np.int8(flag_value(number.flag)), flag_attrs(name)),
        f"{name}_reason": (
            np.array(number.reason, dtype=str),
            {"long_name": f"why {name} has its quality flag"},
        ),
    }
