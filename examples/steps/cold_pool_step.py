"""Cold pools from soundings: a gust-front outflow in temperature, pressure and dew point,
turned into buoyancy with thermo and measured with cold_pool. The outflow's depth and
potential-temperature deficit are known in every column, so its intensity is known too."""

import numpy as np

import bluster

from .check import Check
from .thermo_step import KAPPA, dew_point_for
from .timing import timed

G = 9.81
CP = 1004.0
THETA_ENV = 300.0  # K, the mixed environment the outflow spreads into
R_ENV = 0.008  # kg/kg, mixing ratio everywhere
PRESCRIBED = 250.0  # m, the layer of the second, prescribed-depth measurement
HALF_WIDTH_KM = (45.0, 60.0)  # the grid spans +-45 km north-south, +-60 km east-west


def pressure_at(z):
    """Hydrostatic pressure (Pa) of the dry-adiabatic environment at height z (m)."""
    return 1e5 * (1.0 - G * z / (CP * THETA_ENV)) ** (1.0 / KAPPA)


def outflow(rng, ny, nx):
    yy, xx = np.meshgrid(np.linspace(-1, 1, ny), np.linspace(-1, 1, nx), indexing="ij")
    r = np.hypot(xx, yy)
    depth = 400.0 + 1100.0 * np.exp(-2.0 * r**2) + rng.uniform(-20, 20, (ny, nx))  # m
    deficit = 2.0 + 6.0 * np.exp(-3.0 * r**2)  # K, theta deficit at the ground
    return depth.ravel(), deficit.ravel()


def cold_pool_step(rng, size, n_threads, out, ctx):
    ny, nx = (20, 24) if size == "small" else (300, 400)
    z1 = np.linspace(0.0, 3000.0, 61)  # 50 m levels
    depth, deficit = outflow(rng, ny, nx)
    cols = depth.size

    # theta falls short of the environment by `deficit` at the ground and the shortfall shrinks
    # linearly to zero at `depth`, above which the outflow's head is capped by warmer air.
    z = np.broadcast_to(z1, (cols, z1.size))
    theta = THETA_ENV - deficit[:, None] * (1.0 - z / depth[:, None])
    p = pressure_at(z)
    t = theta * (p / 1e5) ** KAPPA
    td = dew_point_for(R_ENV, p)
    theta_v = timed(bluster.thermo, t, p, td, n_threads=n_threads).theta_v.values
    t_env = THETA_ENV * (p[0] / 1e5) ** KAPPA
    theta_v_env = timed(bluster.thermo, t_env, p[0], td[0], n_threads=n_threads).theta_v.values
    b = G * (theta_v - theta_v_env) / theta_v_env
    # Missing levels in a retrieval: the integration bridges them.
    b[(rng.random(b.shape) < 0.03) & (z > 0.0)] = np.nan

    threshold_mode = timed(bluster.cold_pool, z, b, n_threads=n_threads)
    prescribed = timed(bluster.cold_pool, z, b, depth=PRESCRIBED, n_threads=n_threads)

    # Buoyancy is linear in height, b0 (z / depth - 1): C^2 = 2 * integral of -b.
    b0 = G * deficit * (1.0 + R_ENV / 0.6219569156569429) / (1.0 + R_ENV) / theta_v_env[0]
    truth = np.sqrt(b0 * depth)
    truth_250 = np.sqrt(2.0 * b0 * (PRESCRIBED - PRESCRIBED**2 / (2.0 * depth)))

    out(f"   {cols} soundings x {z1.size} levels -> thermo -> buoyancy -> cold_pool")
    out("   location     depth (m)   true   C (m/s)  true   C 0-250 m  true")
    for label, (j, i) in {
        "centre": (ny // 2, nx // 2),
        "halfway": (ny // 2, 3 * nx // 4),
        "edge": (0, 0),
    }.items():
        k = j * nx + i
        c, d = threshold_mode.intensity[k].item(), threshold_mode.depth[k].item()
        c250 = prescribed.intensity[k].item()
        out(
            f"   {label:<11} {d:9.1f} {depth[k]:7.1f} {c:8.2f} {truth[k]:6.2f}"
            f" {c250:10.2f} {truth_250[k]:6.2f}"
        )
    worst = float(np.max(np.abs(threshold_mode.intensity.values - truth)))
    worst_depth = float(np.max(np.abs(threshold_mode.depth.values - depth)))
    worst_250 = float(np.max(np.abs(prescribed.intensity.values - truth_250)))
    out(f"   worst |C - truth|: {worst:.1e} m/s; worst depth error {worst_depth:.1e} m")
    ctx["cold_pool"] = {
        "intensity": threshold_mode.intensity.values.reshape(ny, nx),
        "truth": truth,
        "extent_km": (-HALF_WIDTH_KM[1], HALF_WIDTH_KM[1], -HALF_WIDTH_KM[0], HALF_WIDTH_KM[0]),
    }
    return [
        Check("cold-pool intensity, worst column (m/s)", worst, 0.0, 1e-6),
        Check("cold-pool depth, worst column (m)", worst_depth, 0.0, 1e-4),
        Check("0-250 m cold-pool intensity, worst column (m/s)", worst_250, 0.0, 1e-6),
        Check("open-top columns", float(np.nansum(threshold_mode.open_top.values)), 0.0, 0.0),
    ]
