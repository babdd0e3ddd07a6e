"""What ``bluster calibrate`` and ``bluster vad`` compute for one volume file (on a worker)."""

import numpy as np
import xarray as xr

from bluster import radar
from bluster.cli.tasks import as_row
from bluster.radar.calibration import CALIBRATION_QUANTITIES
from bluster.radar.wind import WIND_QUANTITIES

# Every core call of a task runs on one thread: the files themselves are the parallel work,
# and more threads per task would oversubscribe the cores.
THREADS_PER_TASK = 1


def calibration_row(path: str, *, engine: str | None = None, band: str | None = None) -> xr.Dataset:
    """The volume's calibration summary as one row of the monitoring time series."""
    volume = radar.open_volume(path, engine=engine, quantities=CALIBRATION_QUANTITIES)
    return as_row(radar.calibration(volume, band=band, n_threads=THREADS_PER_TASK), path)


def wind_profile_row(
    path: str, *, engine: str | None = None, heights: np.ndarray | None = None
) -> xr.Dataset:
    """The volume's VAD wind profile as one row (over height) of the time-height series."""
    volume = radar.open_volume(path, engine=engine, quantities=WIND_QUANTITIES)
    profile = radar.vad_profile(volume, heights=heights, n_threads=THREADS_PER_TASK)
    return as_row(profile, path)
