"""One valid call of every function on generated data with missing values, for the tests that
exercise all of them together (concurrency, leaks, failure injection)."""

import numpy as np

import _bluster
import _calibration
import _phase
import _wind


def sprinkle(rng, a, share=0.05):
    a = np.array(a, dtype=float)
    hit = rng.random(a.shape) < share
    a[hit] = rng.choice([np.nan, np.inf, -np.inf], size=int(hit.sum()))
    return a


def make_calls(rows=300, seed=0):
    """name -> (function, positional arguments without n_threads)."""
    rng = np.random.default_rng(seed)
    levels = 25
    z = np.cumsum(rng.uniform(50.0, 150.0, (rows, levels)), axis=1)
    samples = 120
    calls = {
        "thermo": (
            _bluster.thermo,
            (
                sprinkle(rng, rng.uniform(250.0, 310.0, rows * 20)),
                sprinkle(rng, rng.uniform(20000.0, 105000.0, rows * 20)),
                sprinkle(rng, rng.uniform(230.0, 300.0, rows * 20)),
            ),
        ),
        "cold_pool": (
            _bluster.cold_pool,
            (
                sprinkle(rng, z),
                sprinkle(rng, rng.normal(-0.01, 0.02, (rows, levels))),
                sprinkle(rng, rng.uniform(0.0, 200.0, rows), 0.5),
                0.0,
                sprinkle(rng, rng.uniform(0.0, 2000.0, rows), 0.5),
            ),
        ),
        "profile": (
            _bluster.profile,
            (
                sprinkle(rng, z),
                sprinkle(rng, rng.normal(5.0, 10.0, (rows, levels))),
                sprinkle(rng, rng.normal(5.0, 10.0, (rows, levels))),
                sprinkle(rng, rng.uniform(0.0, 100.0, rows), 0.3),
                0.0,
                1000.0,
                sprinkle(rng, rng.normal(5.0, 3.0, rows)),
                sprinkle(rng, rng.normal(5.0, 3.0, rows)),
            ),
        ),
        "gradient": (
            _bluster.gradient,
            (
                sprinkle(rng, rng.normal(0.0, 1.0, (3, rows // 3 + 1, 40))),
                np.cumsum(rng.uniform(0.5, 1.5, 40)),
                np.cumsum(rng.uniform(0.5, 1.5, rows // 3 + 1)),
            ),
        ),
        "vad": (
            _bluster.vad,
            (
                sprinkle(rng, rng.normal(0.0, 10.0, (rows, samples)), 0.2),
                sprinkle(rng, rng.uniform(0.0, 2 * np.pi, (rows, samples))),
                rng.uniform(0.5, 1.0, rows),
                10,
                0.5,
            ),
        ),
        "offset_stats": (
            _calibration.offset_stats,
            (
                sprinkle(rng, rng.normal(0.2, 0.3, (rows, samples))),
                sprinkle(rng, rng.uniform(10.0, 40.0, (rows, samples))),
                sprinkle(rng, rng.uniform(0.9, 1.0, (rows, samples))),
                np.zeros(0),
                (rng.random((rows, samples)) < 0.9).astype(float),
                rng.uniform(0.0, 30.0, rows),
                np.array([10.0, 20.0, 30.0, 40.0]),
                np.array([0.1, 0.3, 0.6, 1.0]),
                15.0,
                35.0,
                0.95,
                0.0,
            ),
        ),
        "consistency_stats": (
            _calibration.consistency_stats,
            (
                sprinkle(rng, rng.uniform(20.0, 55.0, (rows, samples))),
                sprinkle(rng, rng.uniform(0.0, 3.0, (rows, samples))),
                sprinkle(rng, rng.uniform(0.0, 2.0, (rows, samples))),
                sprinkle(rng, rng.uniform(0.9, 1.0, (rows, samples))),
                np.zeros(0),
                np.zeros(0),
                np.array([0.0, 1.0, 2.0, 3.0]),
                np.array([-5.0, -4.8, -4.6, -4.5]),
                0.1,
                20.0,
                55.0,
                1.0,
                0.95,
                0.0,
                0.05,
                3,
            ),
        ),
        "phidp_rays": (
            _calibration.phidp_rays,
            (
                sprinkle(rng, rng.uniform(-180.0, 180.0, (rows, samples))),
                sprinkle(rng, rng.uniform(0.8, 1.0, (rows, samples))),
                np.zeros(0),
                (rng.random((rows, samples)) < 0.9).astype(float),
                2,
                30,
                0.9,
                0.0,
                5,
            ),
        ),
        "kdp_rays": (
            _phase.kdp_rays,
            (
                sprinkle(
                    rng, np.mod(np.cumsum(rng.normal(1.0, 3.0, (rows, samples)), axis=1), 360)
                ),
                sprinkle(rng, rng.uniform(0.8, 1.0, (rows, samples))),
                20.0,
                0.25,
                4,
                5,
                0.9,
            ),
        ),
        # A sweep of `rows` gates: most rings whole (the whole-ring passes), a few with gaps.
        "vad_sweep": (
            _wind.vad_sweep,
            (
                sprinkle(rng, rng.normal(0.0, 15.0, (samples, rows)), 0.002),
                np.sort(rng.uniform(0.0, 360.0, samples)),
                np.pi / 180.0,
                0.9,
                10,
                0.1,
            ),
        ),
    }
    return calls
