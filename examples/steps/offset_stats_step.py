"""ZDR offset: light rain seen at several elevations by a radar whose ZDR reads too high by a
known amount; clutter and heavy rain mixed in must be screened out."""

import numpy as np

import bluster

from .check import Check
from .timing import timed

ZDR_OFFSET = 0.35  # dB, the calibration error to recover
ELEVATIONS = np.array([0.5, 1.5, 3.0, 6.0, 10.0, 15.0, 20.0])  # degrees
# Intrinsic ZDR of rain at horizontal incidence against reflectivity (small drops are round).
RAIN_Z = np.array([10.0, 20.0, 30.0, 40.0, 50.0])
RAIN_ZDR = np.array([0.10, 0.25, 0.60, 1.30, 2.20])


def zdr_at_elevation(zdr_h, elev_deg):
    """What the radar sees at elevation: drops look rounder as the beam tilts up."""
    theta = np.pi * elev_deg / 180.0
    return zdr_h - 20.0 * np.log10(10.0 ** (0.05 * zdr_h) * np.sin(theta) ** 2 + np.cos(theta) ** 2)


def offset_stats_step(rng, size, n_threads, out, ctx):
    samples = 4_000 if size == "small" else 250_000
    rows = ELEVATIONS.size

    # Light rain (15-30 dBZ, high rhohv) with measurement noise and the offset added.
    dbz = rng.uniform(15.0, 30.0, (rows, samples))
    rhohv = rng.uniform(0.975, 0.999, (rows, samples))
    intrinsic = zdr_at_elevation(np.interp(dbz, RAIN_Z, RAIN_ZDR), ELEVATIONS[:, None])
    zdr = intrinsic + ZDR_OFFSET + rng.normal(0.0, 0.25, (rows, samples))
    # A tenth of the samples is ground clutter (low rhohv, wild ZDR), a tenth heavy rain
    # above the window, where the drop-size spread makes the table unreliable.
    kind = rng.random((rows, samples))
    clutter = kind < 0.1
    heavy = (kind >= 0.1) & (kind < 0.2)
    rhohv[clutter] = rng.uniform(0.5, 0.85, clutter.sum())
    zdr[clutter] = rng.normal(3.0, 3.0, clutter.sum())
    dbz[heavy] = rng.uniform(40.0, 55.0, heavy.sum())
    zdr[heavy] += rng.normal(0.8, 0.5, heavy.sum())

    stats = timed(
        bluster.offset_stats, zdr, elevation=ELEVATIONS, dbz=dbz, rhohv=rhohv,
        table=(RAIN_Z, RAIN_ZDR), z_min=15.0, z_max=30.0, rhohv_min=0.95, n_threads=n_threads,
    )  # fmt: skip
    count, offset, median = (stats[k].values for k in ("count", "offset", "median"))
    rain = ~(clutter | heavy)

    out(f"   {rows} elevations x {samples} samples; true ZDR offset {ZDR_OFFSET:+.3f} dB")
    out("   elev (deg)   used   mean (dB)  median (dB)  std (dB)  expected ZDR (dB)")
    for r, elev in enumerate(ELEVATIONS):
        out(
            f"   {elev:9.1f} {int(count[r]):7d} {offset[r]:+10.3f} {median[r]:+12.3f}"
            f" {stats['std'].values[r]:9.3f} {stats.expected.values[r]:11.3f}"
        )
    # The differences themselves, for the figure's histogram (the kernel returns statistics).
    used = rain & (dbz >= 15.0) & (dbz <= 30.0) & (rhohv >= 0.95)
    expected = zdr_at_elevation(np.interp(dbz, RAIN_Z, RAIN_ZDR), ELEVATIONS[:, None])
    ctx["offset"] = {
        "stats": stats,
        "elevations": ELEVATIONS,
        "diffs": (zdr - expected)[used],
        "truth": ZDR_OFFSET,
    }
    worst = np.max(np.abs(offset - ZDR_OFFSET))
    out(f"   largest |mean offset - truth| over the elevations: {worst:.4f} dB")
    return [
        Check("ZDR offset, worst elevation (dB)", offset[np.argmax(np.abs(offset - ZDR_OFFSET))],
              ZDR_OFFSET, 0.03),
        Check("ZDR offset by median, 20 deg (dB)", median[-1], ZDR_OFFSET, 0.03),
        Check("light-rain samples kept, all elevations", count.sum(), rain.sum(), 0),
    ]  # fmt: skip
