"""From radar volume files to wind profiles and calibration numbers.

Open a volume (ODIM_H5, NEXRAD Level II, CfRadial, IRIS/Sigmet, GAMIC, Rainbow, Furuno, UF
through xradar; anything Py-ART reads through a ``Radar``) with :func:`open_volume`, then
derive the wind profile above the radar (:func:`vad_profile`) and its storm environment
(:func:`storm_environment`: Bunkers motion, bulk shear, helicity) or the calibration numbers of
the volume (:func:`system_phase`, :func:`zdr_offset`, :func:`z_bias`, all three at once with
:func:`calibration`), screened as operators screen them and each with a quality flag
(:mod:`bluster.radar.screens`, :mod:`bluster.radar.quality`); :func:`kdp` estimates KDP from
PhiDP for volumes without it. Every function also takes a path or a Py-ART ``Radar`` directly.
Moments are found by the names of :data:`MOMENT_ALIASES` (dealiased velocities first);
``moments=`` names others. Each function uses the sweeps that carry the moments it needs and
skips the others (the reflectivity and velocity sweeps of NEXRAD's split cuts, RHIs for a
VAD): every result says which in its attributes ``sweeps_used`` and ``sweeps_skipped`` (with
the reason), and the moments it read in ``moments_used``; an error comes only when no sweep
serves.

Needs the optional dependency xradar: ``pip install 'bluster[radar]'``.
"""

from .bias import z_bias
from .calibration import calibration
from .environment import storm_environment
from .geometry import beam_height
from .offset import zdr_offset
from .phase import kdp, system_phase
from .tables import light_rain_zdr_table, self_consistency_table
from .volume import MOMENT_ALIASES, VolumeError, open_volume
from .wind import AliasedVelocityWarning, vad_profile

__all__ = [
    "MOMENT_ALIASES",
    "AliasedVelocityWarning",
    "VolumeError",
    "beam_height",
    "calibration",
    "kdp",
    "light_rain_zdr_table",
    "open_volume",
    "self_consistency_table",
    "storm_environment",
    "system_phase",
    "vad_profile",
    "z_bias",
    "zdr_offset",
]
