"""The steps of the storm day, in the order they run. Each is step(rng, size, n_threads, out, ctx)
and returns a list of Check; ctx is a dict in which a step leaves what later steps need."""

from .check import Check  # noqa: F401
from .cold_pool_step import cold_pool_step
from .consistency_stats_step import consistency_stats_step
from .gradient_step import gradient_step
from .offset_stats_step import offset_stats_step
from .phidp_rays_step import phidp_rays_step
from .profile_step import profile_step
from .thermo_step import thermo_step
from .vad_profile_step import vad_profile_step
from .vad_step import vad_step

STEPS = [
    ("Wind profile from a Doppler volume scan (vad)", vad_step),
    ("Helicity from the retrieved winds (vad -> profile)", vad_profile_step),
    ("Storm-relative helicity of a supercell environment (profile)", profile_step),
    ("Thermodynamics of a sounding grid (thermo)", thermo_step),
    ("Cold pools from soundings (thermo -> buoyancy -> cold_pool)", cold_pool_step),
    ("Temperature gradient across a cold front (gradient)", gradient_step),
    ("ZDR offset from light rain at several elevations (offset_stats)", offset_stats_step),
    ("Reflectivity bias from rain self-consistency (consistency_stats)", consistency_stats_step),
    ("System differential phase of a sweep (phidp_rays)", phidp_rays_step),
]
