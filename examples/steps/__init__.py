"""The steps of the storm day, in the order they run. Each is step(rng, size, n_threads, out)
and returns a list of Check."""

from .check import Check  # noqa: F401
from .cold_pool_step import cold_pool_step
from .profile_step import profile_step

STEPS = [
    ("Cold pools behind a gust front (cold_pool)", cold_pool_step),
    ("Storm-relative helicity of a supercell environment (profile)", profile_step),
]
