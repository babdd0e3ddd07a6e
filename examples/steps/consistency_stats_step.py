"""Z self-consistency: rain whose reflectivity reads high by a known, drifting amount."""

import numpy as np

import bluster

from .check import Check
from .timing import timed

# Self-consistency table for S-band rain: log10(KDP / Z) against ZDR. Bigger drops (higher ZDR)
# give less KDP per unit of reflectivity; at ZDR 2 dB, 45 dBZ means about 1 deg/km.
GZ = np.arange(0.0, 3.75, 0.25)
GLG = -3.8 - 0.35 * GZ
ZDR_OFFSET = 0.25  # known from a ZDR offset estimate, removed before the table lookup


def rain_volumes(rng, volumes, samples, z_bias):
    """Rain samples of each volume scan; volume v reads z_bias[v] dB too high."""
    shape = (volumes, samples)
    z_true = rng.uniform(20.0, 58.0, shape)
    zdr_true = np.clip(0.5 + 0.08 * (z_true - 25.0) + rng.normal(0.0, 0.15, shape), 0.1, 3.4)
    kdp_true = 10.0 ** (0.1 * z_true + np.interp(zdr_true, GZ, GLG))
    z = z_true + z_bias[:, None] + rng.normal(0.0, 0.5, shape)
    zdr = zdr_true + ZDR_OFFSET + rng.normal(0.0, 0.2, shape)
    kdp = kdp_true + rng.normal(0.0, 0.15, shape)  # KDP noise swamps light rain
    rhohv = rng.uniform(0.97, 1.0, shape)
    clutter = rng.random(shape) < 0.05  # ground clutter: low rhohv, junk Z and KDP
    rhohv[clutter] = rng.uniform(0.5, 0.9, clutter.sum())
    z[clutter] = rng.uniform(30.0, 60.0, clutter.sum())
    kdp[clutter] = rng.uniform(-2.0, 6.0, clutter.sum())
    snr = rng.normal(25.0, 8.0, shape)
    mask = np.ones(shape)
    mask[:, : samples // 20] = 0.0  # a blocked sector
    return z, zdr, kdp, rhohv, snr, mask


def consistency_stats_step(rng, size, n_threads, out, ctx):
    volumes, samples = (12, 400) if size == "small" else (360, 2000)
    z_bias = np.linspace(0.5, 2.5, volumes)  # the calibration drifts through the day
    z, zdr, kdp, rhohv, snr, mask = rain_volumes(rng, volumes, samples, z_bias)
    # 1 dB bins from 30 to 56 dBZ; bins need 10 samples and a mean KDP of 0.3 deg/km
    res = timed(
        bluster.consistency_stats, z, zdr, kdp, table=(GZ, GLG), zdr_offset=ZDR_OFFSET,
        rhohv=rhohv, snr=snr, mask=mask, z_min=30.0, z_max=56.0, bin_width=1.0, rhohv_min=0.95,
        snr_min=10.0, kdp_min=0.3, min_bin_count=10, n_threads=n_threads,
    )  # fmt: skip
    error = res.bias.values - z_bias
    out(f"   {volumes} volume scans x {samples} rain samples; ZDR offset {ZDR_OFFSET} dB removed")
    out("   volume   true bias   recovered   median   spread   bins   samples")
    for i in np.linspace(0, volumes - 1, 6).astype(int):
        n, h, median, mean, spread = (res[k].values[i] for k in res.data_vars)
        out(
            f"   {i:6d} {z_bias[i]:11.2f} {mean:11.2f} {median:8.2f} {spread:8.2f}"
            f" {h:6.0f} {n:9.0f}"
        )
    worst = float(np.max(np.abs(error)))
    mean_error = float(np.mean(error))
    out(f"   mean error {mean_error:+.3f} dB, largest {worst:.2f} dB (Z noise 0.5 dB per sample)")
    tolerance = 0.6 if size == "small" else 0.4
    return [
        Check("Z bias, mean error over volumes (dB)", mean_error, 0.0, 0.25),
        Check("Z bias, worst volume error (dB)", worst, 0.0, tolerance),
    ]
