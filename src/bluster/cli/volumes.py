"""What ``bluster calibrate`` and ``bluster vad`` compute for one volume file (on a worker)."""

from collections.abc import Mapping
from typing import Any

import numpy as np
import xarray as xr

from bluster import radar
from bluster.cli.tasks import as_row

# Every core call of a task runs on one thread: the files themselves are the parallel work,
# and more threads per task would oversubscribe the cores.
THREADS_PER_TASK = 1


def calibration_row(
    path: str,
    *,
    engine: str | None = None,
    band: str | None = None,
    moments: Mapping[str, str] | None = None,
    screens: Mapping[str, Any] | None = None,
) -> xr.Dataset:
    """The volume's calibration summary as one row of the monitoring time series; ``screens``
    are keyword arguments of :func:`bluster.radar.calibration` (max_range, melting_level,
    ...). A volume lacking what a number needs gives a row with that number NaN and flagged."""
    volume = radar.open_volume(path, engine=engine)
    row = radar.calibration(
        volume, band=band, moments=moments, n_threads=THREADS_PER_TASK, **(screens or {})
    )
    return as_row(row, path)


def wind_profile_row(
    path: str,
    *,
    engine: str | None = None,
    heights: np.ndarray | None = None,
    moments: Mapping[str, str] | None = None,
    environment: bool = False,
    storm_motion: tuple[float, float] | None = None,
) -> xr.Dataset:
    """The volume's VAD wind profile as one row (over height) of the time-height series; with
    ``environment``, its storm environment too (helicity about ``storm_motion`` if given)."""
    volume = radar.open_volume(path, engine=engine)
    profile = radar.vad_profile(
        volume, heights=heights, moments=moments, n_threads=THREADS_PER_TASK
    )
    if environment:
        storm_u, storm_v = storm_motion if storm_motion is not None else (None, None)
        found = radar.storm_environment(
            profile, storm_u=storm_u, storm_v=storm_v, n_threads=THREADS_PER_TASK
        )
        profile = profile.assign(found.data_vars)
    return as_row(profile, path)
