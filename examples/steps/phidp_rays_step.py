"""System differential phase: a sweep whose PhiDP starts at a known offset near the +-180 wrap."""

import numpy as np

import bluster

from .check import Check
from .timing import timed


def wrap(deg):
    """Angles in degrees, wrapped to (-180, 180]."""
    return 180.0 - (180.0 - np.asarray(deg)) % 360.0


def phidp_rays_step(rng, size, n_threads, out, ctx):
    rays, gates = (36, 200) if size == "small" else (720, 1000)
    az = np.arange(rays) * 360.0 / rays
    # The system phase drifts with azimuth through the wrap at 180 degrees.
    system = wrap(165.0 + 25.0 * np.sin(np.radians(az)))
    rng_km = np.arange(gates) * 0.25
    # Propagation adds phase beyond the first 15 km in rain on half the sweep.
    rain = np.where(np.cos(np.radians(az))[:, None] > 0, 1.0, 0.0)
    propagation = rain * np.clip(rng_km - 15.0, 0.0, None) * 1.5
    phidp = wrap(system[:, None] + propagation + rng.normal(0.0, 3.0, (rays, gates)))
    rhohv = rng.uniform(0.97, 1.0, (rays, gates))
    clutter = rng.random((rays, gates)) < 0.08  # ground clutter: low rhohv, junk phase
    rhohv[clutter] = rng.uniform(0.3, 0.8, clutter.sum())
    phidp[clutter] = rng.uniform(-180.0, 180.0, clutter.sum())
    phidp[rng.random((rays, gates)) < 0.05] = np.nan  # missing gates
    snr = np.full((rays, gates), 20.0)

    first_gate, n_use = 4, 40  # the first 10 km, before propagation adds phase
    res = timed(
        bluster.phidp_rays, phidp, rhohv=rhohv, snr=snr, first_gate=first_gate, n_use=n_use,
        rhohv_min=0.9, snr_min=3.0, min_count=10, n_threads=n_threads,
    )  # fmt: skip
    phase, count, length = (res[k].values for k in ("system_phase", "count", "resultant_length"))
    error = wrap(phase - system)
    out(f"   {rays} rays x {gates} gates; first gate {first_gate}, {n_use} usable gates per ray")
    out("   azimuth   recovered     true   error   gates   length   (degrees; error wrapped)")
    for i in np.linspace(0, rays - 1, 6).astype(int):
        out(
            f"   {az[i]:7.1f} {phase[i]:11.2f} {system[i]:8.2f} {error[i]:7.2f}"
            f" {count[i]:7.0f} {length[i]:8.3f}"
        )
    worst = float(np.max(np.abs(error)))
    out(f"   largest error over the sweep: {worst:.2f} deg (noise 3 deg per gate)")
    return [Check("system PhiDP, worst ray error (deg)", worst, 0.0, 2.5)]
