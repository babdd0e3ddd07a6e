"""Benchmark of storm_environment: 200,000 model columns x 50 levels, side by side with the
five profile calls it makes (arrays already in the kernel's layout) and with MetPy looped over
the columns (bunkers_storm_motion, bulk_shear over 0-1, 0-3 and 0-6 km, storm_relative_helicity
over 0-1 and 0-3 km), timed on a subset and scaled to all columns."""

import os
import time

import numpy as np
from bench_profile import LEVELS, ROWS, soundings

import _bluster
import bluster
from harness import best_time, machine

METPY_COLUMNS = 100  # MetPy is timed on this many columns and scaled
LAYERS = [(0.0, 6000.0), (0.0, 500.0), (5500.0, 6000.0), (0.0, 1000.0), (0.0, 3000.0)]


def profile_calls(z, u, v, ground, cu, cv, n_threads):
    """The five kernel calls of storm_environment, storm motion given (no arithmetic)."""
    still = np.zeros(z.shape[0])
    for k, (bottom, top) in enumerate(LAYERS):
        motion = (cu, cv) if k >= 3 else (still, still)
        _bluster.profile(z, u, v, ground, bottom, top, *motion, n_threads)


def metpy_columns(z, u, v, ground, count):
    """MetPy over the first ``count`` columns, each with its missing levels dropped (MetPy
    needs whole profiles) and a hydrostatic pressure (Bunkers needs one); the results."""
    import warnings

    import metpy.calc as mpcalc
    from metpy.units import units

    out = []
    for r in range(count):
        keep = np.isfinite(z[r]) & np.isfinite(u[r]) & np.isfinite(v[r])
        height = (z[r][keep] - ground[r]) * units.m
        pressure = 1000.0 * np.exp(-height.m / 8000.0) * units.hPa
        wind = u[r][keep] * units("m/s"), v[r][keep] * units("m/s")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            right, _, _ = mpcalc.bunkers_storm_motion(pressure, *wind, height)
            for depth in (1000, 3000, 6000):
                mpcalc.bulk_shear(pressure, *wind, height=height, depth=depth * units.m)
            srh = [
                mpcalc.storm_relative_helicity(
                    height, *wind, depth * units.m, storm_u=right[0], storm_v=right[1]
                )[2]
                for depth in (1000, 3000)
            ]
        out.append([s.m_as("m^2/s^2") for s in srh])
    return np.array(out)


def cpu_load():
    return ", ".join(f"{x:.1f}" for x in os.getloadavg())


def main():
    rng = np.random.default_rng(42)
    z, u, v, ground, _, _ = soundings(rng, ROWS, LEVELS)
    print(f"\nstorm_environment: {ROWS:,} columns x {LEVELS} levels\n{machine()}")
    print(f"load average before: {cpu_load()}")

    env = bluster.storm_environment(z, u, v, ground=ground, n_threads=2)
    cu, cv = env.storm_u.values, env.storm_v.values
    reach = float(np.isfinite(env.helicity_0_3km.values).mean())
    print(
        f"columns with a Bunkers motion: {float(np.isfinite(cu).mean()):.1%}; 0-3 km: {reach:.1%}"
    )

    # MetPy's helicity, about its own (pressure-weighted) right mover, on its subset
    start = time.perf_counter()
    srh = metpy_columns(z, u, v, ground, METPY_COLUMNS)
    metpy_per_column = (time.perf_counter() - start) / METPY_COLUMNS

    rows = []
    for n in (1, 2):
        core = best_time(lambda n=n: profile_calls(z, u, v, ground, cu, cv, n), repeat=5)
        ours = best_time(
            lambda n=n: bluster.storm_environment(z, u, v, ground=ground, n_threads=n), repeat=5
        )
        rows.append((n, core, ours))
    metpy_all = metpy_per_column * ROWS

    print("| variant | time (ms) | vs its profile calls | vs MetPy (scaled) |")
    print("|---|---:|---:|---:|")
    print(
        f"| MetPy looped over the columns ({METPY_COLUMNS} timed, x {ROWS // METPY_COLUMNS:,}) "
        f"| {metpy_all * 1e3:,.0f} | | 1x |"
    )
    for n, core, ours in rows:
        print(
            f"| its 5 `_bluster.profile` calls, {n} thread(s) | {core * 1e3:.1f} | 1.00x | "
            f"{metpy_all / core:,.0f}x |"
        )
        print(
            f"| `storm_environment`, {n} thread(s) | {ours * 1e3:.1f} | {ours / core:.2f}x | "
            f"{metpy_all / ours:,.0f}x |"
        )
    print(f"MetPy per column: {metpy_per_column * 1e3:.1f} ms; load average after: {cpu_load()}")
    # MetPy's helicity is about a mass-weighted right mover: close to ours, not equal
    ours_srh = env.helicity_0_1km.values[:METPY_COLUMNS]
    both = np.isfinite(ours_srh) & np.isfinite(srh[:, 0])
    print(
        f"0-1 km helicity, median |MetPy - ours| on the subset: "
        f"{np.median(np.abs(srh[both, 0] - ours_srh[both])):.2f} m2 s-2"
    )


if __name__ == "__main__":
    main()
