"""What ``bluster calibrate`` and ``bluster vad`` read and compute for one volume file (on a
worker): each file is read once, for the moments its command needs."""

from collections.abc import Collection, Mapping
from functools import partial
from typing import Any

import numpy as np
import xarray as xr

from bluster import radar
from bluster.cli.tasks import VolumeTask, as_row
from bluster.radar.calibration import CALIBRATION_QUANTITIES
from bluster.radar.wind import WIND_QUANTITIES

# By default every core call of a task runs on one thread: the files themselves are the
# parallel work, and more threads per task would oversubscribe the cores. A run on fewer local
# workers than cores gives the core calls the cores left (``threads``).
THREADS_PER_TASK = 1


def calibration_task(
    engine: str | None = None,
    band: str | None = None,
    moments: Mapping[str, str] | None = None,
    screens: Mapping[str, Any] | None = None,
    threads: int = THREADS_PER_TASK,
) -> VolumeTask:
    """The task of ``bluster calibrate``: calibration's moments, then the calibration row
    (``screens``: keyword arguments of :func:`bluster.radar.calibration`; ``threads``: of each
    core call)."""
    return VolumeTask(
        read=partial(
            read_volume, engine=engine, quantities=CALIBRATION_QUANTITIES, moments=moments
        ),
        compute=partial(
            calibration_row, band=band, moments=moments, screens=screens, threads=threads
        ),
    )


def wind_task(
    engine: str | None = None,
    heights: np.ndarray | None = None,
    moments: Mapping[str, str] | None = None,
    environment: bool = False,
    storm_motion: tuple[float, float] | None = None,
    threads: int = THREADS_PER_TASK,
) -> VolumeTask:
    """The task of ``bluster vad``: the velocities, then the wind profile (and with
    ``environment`` its storm environment, the helicity about ``storm_motion`` if given;
    ``threads``: of each core call)."""
    return VolumeTask(
        read=partial(read_volume, engine=engine, quantities=WIND_QUANTITIES, moments=moments),
        compute=partial(
            wind_profile_row,
            heights=heights,
            moments=moments,
            environment=environment,
            storm_motion=storm_motion,
            threads=threads,
        ),
    )


def read_volume(
    path: str,
    *,
    engine: str | None,
    quantities: Collection[str],
    moments: Mapping[str, str] | None = None,
) -> xr.DataTree:
    """The volume at ``path`` with the moments of ``quantities`` only (and those named by
    ``moments``)."""
    return radar.open_volume(path, engine=engine, quantities=quantities, moments=moments)


def calibration_row(
    volume: xr.DataTree,
    path: str,
    *,
    band: str | None = None,
    moments: Mapping[str, str] | None = None,
    screens: Mapping[str, Any] | None = None,
    threads: int = THREADS_PER_TASK,
) -> xr.Dataset:
    """The volume's calibration summary as one row of the monitoring time series; ``screens``
    are keyword arguments of :func:`bluster.radar.calibration` (max_range, melting_level,
    ...). A volume lacking what a number needs gives a row with that number NaN and flagged."""
    row = radar.calibration(
        volume, band=band, moments=moments, n_threads=threads, **(screens or {})
    )
    return as_row(row, path)


def wind_profile_row(
    volume: xr.DataTree,
    path: str,
    *,
    heights: np.ndarray | None = None,
    moments: Mapping[str, str] | None = None,
    environment: bool = False,
    storm_motion: tuple[float, float] | None = None,
    threads: int = THREADS_PER_TASK,
) -> xr.Dataset:
    """The volume's VAD wind profile as one row (over height) of the time-height series; with
    ``environment``, its storm environment too (helicity about ``storm_motion`` if given)."""
    profile = radar.vad_profile(volume, heights=heights, moments=moments, n_threads=threads)
    if environment:
        storm_u, storm_v = storm_motion if storm_motion is not None else (None, None)
        found = radar.storm_environment(
            profile, storm_u=storm_u, storm_v=storm_v, n_threads=threads
        )
        profile = profile.assign(found.data_vars)
    return as_row(profile, path)
