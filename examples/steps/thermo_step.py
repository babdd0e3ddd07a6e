"""Thermodynamics of a sounding grid: a well-mixed boundary layer whose potential temperature
and mixing ratio are known in every column, under a stable free troposphere."""

import numpy as np

import bluster

from .check import Check
from .timing import timed

EPS = 0.6219569156569429
KAPPA = 0.28542059262205427
MIXED_TOP = 90000.0  # Pa


def dew_point_for(r, p):
    """Dew point (K) at which air at pressure p (Pa) holds mixing ratio r (kg/kg)."""
    ln_e = np.log(p * r / (EPS + r) / 611.2)
    return 273.15 + 243.5 * ln_e / (17.67 - ln_e)


def sounding_grid(rng, ny, nx):
    p1 = np.arange(100000.0, 29999.0, -2500.0)  # surface to 300 hPa
    # Warmer to the east, moister to the south: theta 298-306 K, r 5-11 g/kg in the mixed layer.
    theta_ml = 298.0 + 8.0 * np.linspace(0.0, 1.0, nx)[None, :] + np.zeros((ny, 1))
    r_ml = 0.005 + 0.006 * np.linspace(1.0, 0.0, ny)[:, None] + np.zeros((1, nx))
    theta_ml = theta_ml + rng.uniform(-0.5, 0.5, (ny, nx))

    p = np.broadcast_to(p1, (ny, nx, p1.size)).copy()
    mixed = p >= MIXED_TOP
    # Dry adiabatic with constant r below the mixed-layer top, 6.5 K/km lapse rate above.
    t_dry = theta_ml[..., None] * (p / 1e5) ** KAPPA
    t_top = theta_ml[..., None] * (MIXED_TOP / 1e5) ** KAPPA
    t = np.where(mixed, t_dry, t_top * (p / MIXED_TOP) ** 0.1902)
    td_ml = dew_point_for(r_ml[..., None], p)
    depression_top = t_top - dew_point_for(r_ml[..., None], MIXED_TOP)
    td_free = t - depression_top - 20.0 * (MIXED_TOP - p) / 60000.0
    td = np.where(mixed, td_ml, td_free)
    # The humidity sensor gives up at the top level in some columns.
    td[..., -1][rng.random((ny, nx)) < 0.1] = np.nan
    return p1, t, p, td, mixed, theta_ml, r_ml


def thermo_step(rng, size, n_threads, out, ctx):
    ny, nx = (8, 10) if size == "small" else (200, 250)
    p1, t, p, td, mixed, theta_ml, r_ml = sounding_grid(rng, ny, nx)
    res = timed(bluster.thermo, t, p, td, n_threads=n_threads)
    r, theta, theta_v, theta_e = (
        res[k].values for k in ("mixing_ratio", "theta", "theta_v", "theta_e")
    )

    theta_truth = np.broadcast_to(theta_ml[..., None], t.shape)
    r_truth = np.broadcast_to(r_ml[..., None], t.shape)
    theta_v_truth = theta_truth * (1.0 + r_truth / EPS) / (1.0 + r_truth)

    j, i = ny // 2, nx // 2
    out(f"   {ny * nx} soundings x {p1.size} levels; mixed layer up to {MIXED_TOP / 100:.0f} hPa")
    out(f"   centre column: theta {theta_ml[j, i]:.2f} K, r {1e3 * r_ml[j, i]:.2f} g/kg below")
    out("   level (hPa)   T (K)  Td (K)  r (g/kg)  theta (K)  theta-v (K)  theta-e (K)")
    for hpa in (1000, 950, 900, 850, 700, 500, 300):
        k = int(np.flatnonzero(p1 == 100.0 * hpa)[0])
        out(
            f"   {hpa:>11} {t[j, i, k]:7.2f} {td[j, i, k]:7.2f} {1e3 * r[j, i, k]:9.3f}"
            f" {theta[j, i, k]:10.3f} {theta_v[j, i, k]:12.3f} {theta_e[j, i, k]:12.3f}"
        )

    theta_e_ml = np.where(mixed, theta_e, np.nan)
    spread = np.nanmax(theta_e_ml, axis=-1) - np.nanmin(theta_e_ml, axis=-1)
    missing = np.isnan(td)
    out(f"   theta-e spread within the mixed layer, worst column: {spread.max():.3f} K")
    # A missing dew point leaves the moist fields undefined, but theta needs only T and p.
    as_expected = np.isfinite(theta) & np.isnan(r) & np.isnan(theta_v) & np.isnan(theta_e)
    out(
        f"   dew point missing at {missing.sum()} points: theta kept, moist fields NaN"
        f" at {as_expected[missing].sum()}"
    )
    return [
        Check(
            "theta in the mixed layer, worst (K)",
            np.abs(theta - theta_truth)[mixed].max(),
            0.0,
            1e-9,
        ),
        Check("r in the mixed layer, worst (kg/kg)", np.abs(r - r_truth)[mixed].max(), 0.0, 1e-12),
        Check(
            "theta-v in the mixed layer, worst (K)",
            np.abs(theta_v - theta_v_truth)[mixed].max(),
            0.0,
            1e-9,
        ),
        # Bolton's theta-e is conserved in dry-adiabatic ascent to a few hundredths of a kelvin.
        Check("theta-e spread in the mixed layer (K)", spread.max(), 0.0, 0.1),
        Check(
            "points with a missing dew point: theta kept, r, theta-v, theta-e NaN",
            as_expected[missing].sum(),
            missing.sum(),
            0,
        ),
    ]
