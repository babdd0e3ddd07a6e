"""Benchmark of profile: 200,000 columns x 50 levels, layer 0-3 km above ground, against a
NumPy-vectorised equivalent that handles missing levels and the height tolerance the same way."""

import numpy as np

import _bluster
from harness import best_time, print_table

ROWS, LEVELS = 200_000, 50
BOTTOM, TOP = 0.0, 3000.0
TOLERANCE = 1e-6


def soundings(rng, rows, levels):
    """Rising model levels from the ground to about 8 km, veering winds, 2 % missing values."""
    ground = rng.uniform(0.0, 1500.0, rows)
    steps = rng.uniform(120.0, 200.0, (rows, levels))
    steps[:, 0] = 0.0
    z = ground[:, None] + np.cumsum(steps, axis=1)
    u = np.cumsum(rng.normal(1.0, 1.5, (rows, levels)), axis=1)
    v = np.cumsum(rng.normal(0.6, 1.5, (rows, levels)), axis=1)
    for a in (z, u, v):
        hole = rng.random(a.shape) < 0.02
        hole[:, 0] = False
        a[hole] = np.nan
    cu = rng.normal(8.0, 3.0, rows)
    cv = rng.normal(4.0, 3.0, rows)
    return z, u, v, ground, cu, cv


def gather(a, idx):
    return np.take_along_axis(a, np.clip(idx, 0, a.shape[1] - 1)[:, None], axis=1)[:, 0]


def numpy_wind_at(zz, u, v, usable, h):
    """Wind at heights h (one per column) for rising levels; NaN where h cannot be placed."""
    levels = zz.shape[1]
    hh = h[:, None]
    above = usable & (zz >= hh)
    below = usable & (zz < hh)
    hi = np.where(above.any(axis=1), np.argmax(above, axis=1), -1)
    lo = np.where(below.any(axis=1), levels - 1 - np.argmax(below[:, ::-1], axis=1), -1)
    zh, uh, vh = gather(zz, hi), gather(u, hi), gather(v, hi)
    zl, ul, vl = gather(zz, lo), gather(u, lo), gather(v, lo)
    with np.errstate(invalid="ignore", divide="ignore"):
        w = (h - zl) / (zh - zl)
        both = (hi >= 0) & (lo >= 0) & (zh != h)
        only_hi = (hi >= 0) & ((lo < 0) | (zh == h)) & (zh - h <= TOLERANCE)
        only_lo = (hi < 0) & (lo >= 0) & (h - zl <= TOLERANCE)
    out_u = np.where(both, (uh - ul) * w + ul, np.where(only_hi, uh, np.where(only_lo, ul, np.nan)))
    out_v = np.where(both, (vh - vl) * w + vl, np.where(only_hi, vh, np.where(only_lo, vl, np.nan)))
    return out_u, out_v


def numpy_profile(z, u, v, ground, bottom, top, cu, cv):
    rows, levels = u.shape
    usable = np.isfinite(z) & np.isfinite(u) & np.isfinite(v)
    zz = np.where(usable, z, np.nan)
    first = np.argmax(usable, axis=1)
    g = np.where(
        np.isfinite(ground), ground, np.where(usable.any(axis=1), gather(zz, first), np.nan)
    )
    zb, zt = bottom + g, top + g
    ub, vb = numpy_wind_at(zz, u, v, usable, zb)
    ut, vt = numpy_wind_at(zz, u, v, usable, zt)

    # Hodograph points: bottom wind, interior levels moved to the front of each row in level
    # order, then the top wind, which also fills the unused tail (zero-length segments).
    inner = usable & (zz > zb[:, None]) & (zz < zt[:, None])
    order = np.argsort(~inner, axis=1, kind="stable")
    keep = np.take_along_axis(inner, order, axis=1)
    pz = np.empty((rows, levels + 2))
    pu = np.empty_like(pz)
    pv = np.empty_like(pz)
    for p, a, b, t in ((pz, zz, zb, zt), (pu, u, ub, ut), (pv, v, vb, vt)):
        p[:, 0] = b
        p[:, 1:-1] = np.where(keep, np.take_along_axis(a, order, axis=1), t[:, None])
        p[:, -1] = t

    su = pu - cu[:, None]
    sv = pv - cv[:, None]
    srh = np.sum(sv[:, :-1] * su[:, 1:] - su[:, :-1] * sv[:, 1:], axis=1)
    srh = np.where(np.isfinite(cu) & np.isfinite(cv), srh, np.nan)
    dz = np.diff(pz, axis=1)
    depth = zt - zb
    with np.errstate(invalid="ignore", divide="ignore"):
        mu = np.sum(0.5 * (pu[:, :-1] + pu[:, 1:]) * dz, axis=1) / depth
        mv = np.sum(0.5 * (pv[:, :-1] + pv[:, 1:]) * dz, axis=1) / depth
    mu = np.where(depth > 0, mu, ub)
    mv = np.where(depth > 0, mv, vb)
    out = np.stack([ub, vb, ut, vt, srh, mu, mv])
    out[:, ~(np.isfinite(ub) & np.isfinite(ut))] = np.nan
    return out


def main():
    rng = np.random.default_rng(42)
    z, u, v, ground, cu, cv = soundings(rng, ROWS, LEVELS)
    args = (z, u, v, ground, BOTTOM, TOP, cu, cv)

    native = _bluster.profile(*args, n_threads=1)
    vectorised = numpy_profile(*args)
    assert np.array_equal(np.isnan(native), np.isnan(vectorised))
    np.testing.assert_allclose(native, vectorised, rtol=1e-9, atol=1e-7)

    rows = [
        ("NumPy vectorised", best_time(lambda: numpy_profile(*args), repeat=3)),
        ("_bluster.profile, 1 thread", best_time(lambda: _bluster.profile(*args, n_threads=1))),
        ("_bluster.profile, 2 threads", best_time(lambda: _bluster.profile(*args, n_threads=2))),
    ]
    print_table(
        f"profile: {ROWS:,} columns x {LEVELS} levels, layer {BOTTOM:g}-{TOP:g} m",
        rows,
        reference="NumPy vectorised",
    )


if __name__ == "__main__":
    main()
