"""Helicity from the radar: the VAD-retrieved wind profile, fed to profile, against the truth."""

import numpy as np

import bluster

from .check import Check
from .timing import timed
from .vad_step import true_wind

LAYERS = (1000.0, 3000.0)  # m above the radar


def retrieved_column(vad):
    """One column of the rings' heights and winds, sorted upward, rings that failed dropped."""
    ok = np.isfinite(vad["u"]) & np.isfinite(vad["v"])
    order = np.argsort(vad["height"][ok])
    return (vad["height"][ok][order], vad["u"][ok][order], vad["v"][ok][order])


def true_layer(top, cu, cv, dz=1.0, base=0.0):
    """Helicity and mean wind of the analytic wind profile from base to base + top, 1 m grid."""
    z = base + np.arange(0.0, top + dz / 2, dz)
    u, v = true_wind(z)
    su, sv = u - cu, v - cv
    helicity = np.sum(su[1:] * sv[:-1] - su[:-1] * sv[1:])
    mean_u = np.sum(0.5 * (u[1:] + u[:-1]) * dz) / top
    mean_v = np.sum(0.5 * (v[1:] + v[:-1]) * dz) / top
    return helicity, mean_u, mean_v


def vad_profile_step(rng, size, n_threads, out, ctx):
    z, u, v = retrieved_column(ctx["vad"])
    # Storm motion: a right mover, 7.5 m/s to the right of the 0-6 km shear of the true winds.
    u6, v6 = true_wind(np.array([0.0, 6000.0]))
    shear = np.array([u6[1] - u6[0], v6[1] - v6[0]])
    mean6 = true_layer(6000.0, 0.0, 0.0, dz=10.0)[1:]
    cu, cv = (
        mean6[0] + 7.5 * shear[1] / np.hypot(*shear),
        mean6[1] - 7.5 * shear[0] / np.hypot(*shear),
    )

    ctx["vad"]["storm_motion"] = (cu, cv)

    # The lowest ring serves as the ground (no ground given): layers start there.
    out(f"   {z.size} retrieved rings from {z.min():.0f} to {z.max():.0f} m above the radar")
    out(f"   storm motion ({cu:.1f}, {cv:.1f}) m/s; layers above the lowest ring")
    out("   layer      SRH (m2/s2)  true    mean u  true   mean v  true")
    checks = []
    for top in LAYERS:
        layer = timed(
            bluster.profile,
            z,
            u,
            v,
            bottom=0.0,
            top=top,
            storm_u=cu,
            storm_v=cv,
            n_threads=n_threads,
        )
        res = [layer[k].item() for k in ("helicity", "u_mean", "v_mean")]
        srh, mu, mv = true_layer(top, cu, cv, base=z[0])
        out(
            f"   0-{top / 1000:.0f} km {res[0]:12.1f} {srh:7.1f} {res[1]:8.2f} {mu:5.2f}"
            f" {res[2]:8.2f} {mv:5.2f}"
        )
        checks += [
            Check(f"0-{top / 1000:.0f} km SRH from the VAD winds (m2/s2)", res[0], srh,
                  0.1 * abs(srh) + 10.0),
            Check(f"0-{top / 1000:.0f} km mean u from the VAD winds (m/s)", res[1], mu, 0.5),
            Check(f"0-{top / 1000:.0f} km mean v from the VAD winds (m/s)", res[2], mv, 0.5),
        ]  # fmt: skip
    return checks
