"""VAD winds: a volume scan of radial velocities from a known veering wind profile.

build_volume(rng, size) makes the volume deterministically from rng, and retrieve_winds turns
it into a wind profile (height, u, v per ring), so that a later step can rebuild the same
profile from a generator seeded the same way.
"""

from dataclasses import dataclass

import numpy as np

import bluster

from .check import Check
from .timing import timed

EARTH_RADIUS = 6371e3  # m
KE = 4.0 / 3.0  # effective-earth-radius factor of standard refraction
FALL_SPEED = 1.5  # m/s, fall speed of the scatterers: an offset of -FALL_SPEED sin(el)
NOISE = 1.0  # m/s, standard deviation of the radial-velocity noise
MIN_GATES, MIN_SPREAD = 60, 0.1


def true_wind(height):
    """Southerly 6 m/s at the ground, veering to a westerly of 30 m/s at 9 km."""
    frac = np.clip(height / 9000.0, 0.0, 1.0)
    speed = 6.0 + 24.0 * frac
    direction = np.deg2rad(180.0 + 90.0 * frac)  # where the wind blows from
    return -speed * np.sin(direction), -speed * np.cos(direction)


@dataclass
class VadVolume:
    vr: np.ndarray  # (rings, azimuths) radial velocity, m/s, NaN where missing
    azimuth: np.ndarray  # (azimuths,) degrees clockwise from north, the same for every ring
    elevation: np.ndarray  # (rings,) degrees
    height: np.ndarray  # (rings,) beam height above the radar, m
    u: np.ndarray  # (rings,) true eastward wind, m/s
    v: np.ndarray  # (rings,) true northward wind, m/s
    offset: np.ndarray  # (rings,) true offset, m/s


def build_volume(rng, size):
    """One ring per (elevation, range gate); a ring holds every ray of the sweep at that range."""
    if size == "small":
        elevations, ranges, rays = [0.5, 3.5, 10.0], [5e3, 15e3, 30e3, 45e3], 360
    else:
        elevations = [0.5, 1.5, 2.5, 3.5, 5.0, 7.0, 10.0, 14.0, 19.5]
        ranges, rays = np.arange(2e3, 62e3, 500.0), 360
    el, rng_m = (a.ravel() for a in np.meshgrid(np.deg2rad(elevations), ranges, indexing="ij"))
    re = KE * EARTH_RADIUS
    height = np.sqrt(rng_m**2 + re**2 + 2.0 * rng_m * re * np.sin(el)) - re
    u, v = true_wind(height)
    azimuth = np.arange(rays) + 0.5
    az = np.deg2rad(azimuth)
    cos_el = np.cos(el)[:, None]
    offset = -FALL_SPEED * np.sin(el)
    vr = (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * cos_el + offset[:, None]
    vr += rng.normal(0.0, NOISE, vr.shape)
    vr[rng.random(vr.shape) < 0.1] = np.nan  # clear-air gaps
    blocked = (azimuth > 40.0) & (azimuth < 65.0) & (el[:, None] < np.deg2rad(2.0))
    vr[blocked] = np.nan  # a hill blocks the lowest sweeps
    return VadVolume(vr, azimuth, np.rad2deg(el), height, u, v, offset)


def retrieve_winds(volume, n_threads=0):
    """The fits of every ring of a volume: a Dataset of u, v, offset, rms, count, ..."""
    return timed(
        bluster.vad,
        volume.vr,
        volume.azimuth,
        volume.elevation,
        min_gates=MIN_GATES,
        min_spread=MIN_SPREAD,
        n_threads=n_threads,
    )


def vad_step(rng, size, n_threads, out, ctx):
    vol = build_volume(rng, size)
    res = retrieve_winds(vol, n_threads)
    u, v, offset, rms, count = (res[k].values for k in ("u", "v", "offset", "rms", "count"))

    out(f"   {vol.vr.shape[0]} rings x {vol.vr.shape[1]} rays; {NOISE} m/s noise, gaps, blockage")
    out("   height (m)   u (m/s)  true    v (m/s)  true   samples")
    order = np.argsort(vol.height)
    for i in order[np.linspace(0, order.size - 1, min(order.size, 10)).astype(int)]:
        out(
            f"   {vol.height[i]:9.0f} {u[i]:9.2f} {vol.u[i]:6.2f} {v[i]:9.2f} {vol.v[i]:6.2f}"
            f" {count[i]:8.0f}"
        )
    ctx["vad"] = {"height": vol.height, "u": u, "v": v}
    err = np.hypot(u - vol.u, v - vol.v)
    out(f"   vector wind error: rms {np.sqrt(np.mean(err**2)):.3f} m/s, worst {err.max():.3f} m/s")
    return [
        Check("VAD wind, rms vector error (m/s)", np.sqrt(np.mean(err**2)), 0.0, 0.25),
        Check("VAD wind, worst vector error (m/s)", err.max(), 0.0, 0.8),
        Check(
            "VAD offset (fall speed), worst error (m/s)", np.abs(offset - vol.offset).max(), 0, 0.4
        ),
        Check("VAD rms residual, mean (m/s)", np.mean(rms), NOISE, 0.1),
    ]
