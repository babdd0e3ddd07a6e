"""Weather-radar and convective-storm analysis over a multithreaded native core.

The functions of this package take the data as users hold them (NumPy and masked arrays,
xarray objects, quantities with units, Dask-backed arrays) and return labelled
``xarray.Dataset`` results. The numeric work is done by the extension modules ``_bluster``,
``_calibration`` and ``_phase``, the low-level interface.
"""

from importlib.metadata import version as _version

from .environment import bulk_shear, storm_environment, storm_motion
from .kinematics import gradient
from .polarimetry import consistency_stats, kdp_rays, offset_stats, phidp_rays
from .thermodynamics import cold_pool, thermo
from .wind import profile, vad

__version__: str = _version("bluster")

__all__ = [
    "__version__",
    "bulk_shear",
    "cold_pool",
    "consistency_stats",
    "gradient",
    "kdp_rays",
    "offset_stats",
    "phidp_rays",
    "profile",
    "storm_environment",
    "storm_motion",
    "thermo",
    "vad",
]
