"""Cold pools: a gust-front outflow whose depth and buoyancy deficit are known in every column."""

import numpy as np

import _bluster

from .check import Check

G = 9.81


def cold_pool_step(rng, size, n_threads, out):
    ny, nx = (20, 24) if size == "small" else (300, 400)
    levels = 61
    z1 = np.linspace(0.0, 3000.0, levels)  # 50 m levels

    # An outflow centred in the domain: deeper and colder towards the centre.
    yy, xx = np.meshgrid(np.linspace(-1, 1, ny), np.linspace(-1, 1, nx), indexing="ij")
    r = np.hypot(xx, yy)
    depth = 400.0 + 1100.0 * np.exp(-2.0 * r**2) + rng.uniform(-20, 20, (ny, nx))  # m
    deficit_k = 2.0 + 6.0 * np.exp(-3.0 * r**2)  # potential-temperature deficit at the ground
    b0 = G * deficit_k / 300.0  # buoyancy deficit at the ground, m s-2

    # Buoyancy rises linearly from -b0 at the ground and crosses zero at the outflow's top,
    # so the trapezoids and the crossing are exact: C = sqrt(b0 * depth).
    cols = ny * nx
    z = np.broadcast_to(z1, (cols, levels)).copy()
    b = -b0.reshape(-1, 1) * (1.0 - z / depth.reshape(-1, 1))
    # A few missing levels from a radar-derived retrieval; they are bridged.
    missing = rng.random(b.shape) < 0.02
    missing[:, 0] = False
    b[missing & (z < depth.reshape(-1, 1) - 60) & (z > 60)] = np.nan

    res = _bluster.cold_pool(z, b, np.full(cols, np.nan), 0.0, np.full(cols, np.nan), n_threads)
    intensity = res[0].reshape(ny, nx)
    found_depth = res[1].reshape(ny, nx)
    truth = np.sqrt(b0 * depth)

    out(f"   {cols} columns x {levels} levels; threshold mode at b = 0")
    out("   location          depth (m)  true    C (m/s)  true")
    for label, (j, i) in {
        "centre": (ny // 2, nx // 2),
        "halfway": (ny // 2, 3 * nx // 4),
        "edge": (0, 0),
    }.items():
        out(
            f"   {label:<16} {found_depth[j, i]:9.1f} {depth[j, i]:7.1f}"
            f" {intensity[j, i]:9.2f} {truth[j, i]:6.2f}"
        )
    worst = np.max(np.abs(intensity - truth))
    out(f"   largest |C - truth| over the field: {worst:.2e} m/s")
    return [
        Check("cold-pool intensity, worst column (m/s)", worst, 0.0, 1e-9),
        Check(
            "cold-pool depth at the centre (m)",
            found_depth[ny // 2, nx // 2],
            depth[ny // 2, nx // 2],
            1e-6,
        ),
    ]
