"""phidp_rays on 3,600 rays x 1,000 gates (first_gate 5, n_use 30, rhohv screen) against NumPy."""

import numpy as np

import _calibration
from harness import best_time, print_table

FIRST_GATE, N_USE, RHOHV_MIN, MIN_COUNT = 5, 30, 0.9, 10


def make_sweep(rays=3600, gates=1000, seed=0):
    rng = np.random.default_rng(seed)
    system = rng.uniform(-180.0, 180.0, (rays, 1))
    phidp = system + rng.normal(0.0, 4.0, (rays, gates)) + np.linspace(0.0, 60.0, gates)
    phidp = (phidp + 180.0) % 360.0 - 180.0
    phidp[rng.random(phidp.shape) < 0.1] = np.nan
    rhohv = rng.uniform(0.7, 1.0, (rays, gates))
    return phidp, rhohv


def phidp_rays_numpy(phidp, rhohv):
    """The same circular mean over the first N_USE usable gates, vectorised over rays."""
    tail = phidp[:, FIRST_GATE:]
    usable = np.isfinite(tail) & (rhohv[:, FIRST_GATE:] >= RHOHV_MIN)
    taken = usable & (np.cumsum(usable, axis=1) <= N_USE)
    theta = np.where(taken, tail, 0.0) * np.pi / 180.0
    c = np.where(taken, np.cos(theta), 0.0).sum(axis=1)
    s = np.where(taken, np.sin(theta), 0.0).sum(axis=1)
    count = taken.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        ok = count >= MIN_COUNT
        phase = np.where(ok, np.arctan2(s, c) * 180.0 / np.pi, np.nan)
        length = np.where(ok, np.sqrt(c * c + s * s) / count, np.nan)
    return np.stack([phase, count, length], axis=1)


def main():
    phidp, rhohv = make_sweep()
    empty = np.zeros(0)

    def native(n):
        return _calibration.phidp_rays(
            phidp, rhohv, empty, empty, FIRST_GATE, N_USE, RHOHV_MIN, 0.0, MIN_COUNT, n
        )

    np.testing.assert_allclose(phidp_rays_numpy(phidp, rhohv), native(1), atol=1e-9, equal_nan=True)
    rows = [("NumPy, vectorised over rays", best_time(lambda: phidp_rays_numpy(phidp, rhohv)))]
    for n in (1, 2):
        rows.append((f"phidp_rays, n_threads={n}", best_time(lambda n=n: native(n), repeat=20)))
    print_table("phidp_rays: 3,600 rays x 1,000 gates", rows, "NumPy, vectorised over rays")


if __name__ == "__main__":
    main()
