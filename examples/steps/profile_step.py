"""Storm-relative helicity: a veering supercell hodograph over terrain, whose 0-1 km and 0-3 km
helicity and mean winds are known exactly in every column."""

import numpy as np

import bluster

from .check import Check
from .timing import timed

# Hodograph knots: heights above ground (m) and wind (m/s). The wind turns clockwise with
# height (veering), the classic shape of a right-moving supercell's environment; between the
# knots it is linear in height, so trapezoids, interpolation and the hodograph sum are exact.
KNOT_Z = np.array([0.0, 500.0, 1000.0, 2000.0, 3000.0, 6000.0, 9000.0])
KNOT_U = np.array([-3.0, 2.0, 6.0, 11.0, 14.0, 20.0, 25.0])
KNOT_V = np.array([2.0, 7.0, 10.0, 11.0, 10.0, 8.0, 8.0])
DEVIATION = 7.5  # m/s, right-mover deviation from the 0-6 km mean wind


def knot_layer(scale, depth):
    """Exact mean wind of the layer from the ground to a knot height, per column."""
    n = int(np.searchsorted(KNOT_Z, depth)) + 1
    dz = np.diff(KNOT_Z[:n])
    mean_u = np.sum(0.5 * (KNOT_U[: n - 1] + KNOT_U[1:n]) * dz) / depth
    mean_v = np.sum(0.5 * (KNOT_V[: n - 1] + KNOT_V[1:n]) * dz) / depth
    return scale * mean_u, scale * mean_v


def knot_helicity(scale, depth, cu, cv):
    """Exact storm-relative helicity from the ground to a knot height, per column:
    the signed area swept by the storm-relative wind, twice over."""
    n = int(np.searchsorted(KNOT_Z, depth)) + 1
    su = scale[:, None] * KNOT_U[:n] - cu[:, None]
    sv = scale[:, None] * KNOT_V[:n] - cv[:, None]
    return np.sum(sv[:, :-1] * su[:, 1:] - su[:, :-1] * sv[:, 1:], axis=1)


def right_mover(mean_u, mean_v, shear_u, shear_v):
    """Storm motion of a right-moving supercell: the 0-6 km mean wind plus a fixed deviation
    to the right of the 0-6 km shear."""
    shear = np.hypot(shear_u, shear_v)
    return mean_u + DEVIATION * shear_v / shear, mean_v - DEVIATION * shear_u / shear


def synthetic_columns(rng, ny, nx, levels):
    cols = ny * nx
    yy, xx = np.meshgrid(np.linspace(-1, 1, ny), np.linspace(-1, 1, nx), indexing="ij")
    # Shear strengthens towards the domain's centre; terrain rises towards the west.
    scale = (0.6 + 0.8 * np.exp(-2.0 * (xx**2 + yy**2))).ravel()
    ground = (800.0 * (1.0 - xx) / 2.0).ravel() + rng.uniform(0.0, 30.0, cols)
    # Model levels: the knots plus irregular levels between them.
    extra = np.sort(rng.uniform(10.0, 9000.0, (cols, levels - KNOT_Z.size)), axis=1)
    agl = np.sort(np.concatenate([np.tile(KNOT_Z, (cols, 1)), extra], axis=1), axis=1)
    u = scale[:, None] * np.interp(agl, KNOT_Z, KNOT_U)
    v = scale[:, None] * np.interp(agl, KNOT_Z, KNOT_V)
    # Missing winds away from the knots: they lie on straight hodograph segments and are bridged.
    missing = (rng.random(u.shape) < 0.03) & ~np.isin(agl, KNOT_Z)
    u[missing] = np.nan
    return ground[:, None] + agl, u, v, ground, scale


def profile_step(rng, size, n_threads, out, ctx):
    ny, nx = (10, 12) if size == "small" else (200, 250)
    levels = 60
    z, u, v, ground, scale = synthetic_columns(rng, ny, nx, levels)
    cols = ny * nx

    def layer(top, cu=0.0, cv=0.0):
        res = timed(
            bluster.profile,
            z,
            u,
            v,
            bottom=0.0,
            top=top,
            storm_u=cu,
            storm_v=cv,
            ground=ground,
            n_threads=n_threads,
        )
        return {name: values.values for name, values in res.items()}

    # Storm motion from the 0-6 km layer, then helicity against it in the 0-1 and 0-3 km layers.
    deep = layer(6000.0)
    shear = deep["u_top"] - deep["u_bottom"], deep["v_top"] - deep["v_bottom"]
    cu, cv = right_mover(deep["u_mean"], deep["v_mean"], *shear)
    low = layer(1000.0, cu, cv)
    mid = layer(3000.0, cu, cv)

    mean6 = knot_layer(scale, 6000.0)
    shear6 = (scale * (KNOT_U[5] - KNOT_U[0]), scale * (KNOT_V[5] - KNOT_V[0]))
    true_cu, true_cv = right_mover(*mean6, *shear6)
    truth = {
        "0-1 km SRH (m2/s2)": (low["helicity"], knot_helicity(scale, 1000.0, true_cu, true_cv)),
        "0-3 km SRH (m2/s2)": (mid["helicity"], knot_helicity(scale, 3000.0, true_cu, true_cv)),
        "0-1 km mean u (m/s)": (low["u_mean"], knot_layer(scale, 1000.0)[0]),
        "0-1 km mean v (m/s)": (low["v_mean"], knot_layer(scale, 1000.0)[1]),
        "0-3 km mean u (m/s)": (mid["u_mean"], knot_layer(scale, 3000.0)[0]),
        "0-3 km mean v (m/s)": (mid["v_mean"], knot_layer(scale, 3000.0)[1]),
        "right-mover u (m/s)": (cu, true_cu),
        "right-mover v (m/s)": (cv, true_cv),
    }

    centre = (ny // 2) * nx + nx // 2
    out(f"   {cols} columns x {levels} levels over terrain, 3 % of the winds missing")
    out(f"   storm motion: 0-6 km right mover; centre column, ground {ground[centre]:.0f} m")
    out("   quantity               recovered     truth   worst |error| in the field")
    checks = []
    for name, (got, true) in truth.items():
        worst = float(np.max(np.abs(got - true)))
        out(f"   {name:<21} {got[centre]:10.3f} {true[centre]:9.3f}   {worst:.1e}")
        checks.append(Check(f"{name}, worst column", worst, 0.0, 1e-6))
    checks.append(
        Check(
            "0-3 km SRH at the centre (m2/s2)",
            mid["helicity"][centre],
            truth["0-3 km SRH (m2/s2)"][1][centre],
            1e-6,
        )
    )
    return checks
