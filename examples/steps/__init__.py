"""The steps of the storm day, in the order they run. Each is step(rng, size, n_threads, out)
and returns a list of Check."""

from .check import Check  # noqa: F401
from .cold_pool_step import cold_pool_step
from .vad_step import vad_step

STEPS = [
    ("Cold pools behind a gust front (cold_pool)", cold_pool_step),
    ("Wind profile from a Doppler volume scan (vad)", vad_step),
]
