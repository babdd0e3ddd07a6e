"""What ``bluster calibrate`` and ``bluster vad`` read and compute for one volume file (on a
worker): each file is read once, for the moments its command needs."""

from collections.abc import Collection
from functools import partial

import numpy as np
import xarray as xr

from bluster import radar
from bluster.cli.tasks import VolumeTask, as_row
from bluster.radar.calibration import CALIBRATION_QUANTITIES
from bluster.radar.wind import WIND_QUANTITIES

# Every core call of a task runs on one thread: the files themselves are the parallel work,
# and more threads per task would oversubscribe the cores.
THREADS_PER_TASK = 1


def calibration_task(engine: str | None = None, band: str | None = None) -> VolumeTask:
    """The task of ``bluster calibrate``: calibration's moments, then the calibration row."""
    return VolumeTask(
        read=partial(read_volume, engine=engine, quantities=CALIBRATION_QUANTITIES),
        compute=partial(calibration_row, band=band),
    )


def wind_task(engine: str | None = None, heights: np.ndarray | None = None) -> VolumeTask:
    """The task of ``bluster vad``: the velocities, then the wind profile."""
    return VolumeTask(
        read=partial(read_volume, engine=engine, quantities=WIND_QUANTITIES),
        compute=partial(wind_profile_row, heights=heights),
    )


def read_volume(path: str, *, engine: str | None, quantities: Collection[str]) -> xr.DataTree:
    """The volume at ``path`` with the moments of ``quantities`` only."""
    return radar.open_volume(path, engine=engine, quantities=quantities)


def calibration_row(volume: xr.DataTree, path: str, *, band: str | None = None) -> xr.Dataset:
    """The volume's calibration summary as one row of the monitoring time series."""
    return as_row(radar.calibration(volume, band=band, n_threads=THREADS_PER_TASK), path)


def wind_profile_row(
    volume: xr.DataTree, path: str, *, heights: np.ndarray | None = None
) -> xr.Dataset:
    """The volume's VAD wind profile as one row (over height) of the time-height series."""
    profile = radar.vad_profile(volume, heights=heights, n_threads=THREADS_PER_TASK)
    return as_row(profile, path)
