"""consistency_stats on 360 rows x 2,000 samples, 1 dB bins, against NumPy built on bincount."""

import numpy as np

import _calibration
from harness import best_time, print_table

ROWS, SAMPLES = 360, 2000
Z_MIN, Z_MAX, WIDTH = 0.0, 60.0, 1.0
ZDR_OFFSET, RHOHV_MIN, SNR_MIN, KDP_MIN, MIN_BIN_COUNT = 0.2, 0.9, 3.0, 0.1, 5
GZ = np.linspace(0.0, 3.5, 8)
GLG = -3.8 - 0.35 * GZ
NB = int(np.ceil((Z_MAX - Z_MIN) / WIDTH))


def make_rows(seed=0):
    rng = np.random.default_rng(seed)
    z = rng.uniform(-10.0, 70.0, (ROWS, SAMPLES))
    z[rng.random(z.shape) < 0.05] = np.nan
    zdr = np.clip(0.05 * (z - 15.0), 0.1, 3.4) + rng.normal(0.2, 0.3, z.shape)
    kdp = 10.0 ** (0.1 * z + np.interp(zdr - 0.2, GZ, GLG)) + rng.normal(0.0, 0.2, z.shape)
    rhohv = rng.uniform(0.85, 1.0, z.shape)
    snr = rng.normal(15.0, 8.0, z.shape)
    return z, zdr, kdp, rhohv, snr


def consistency_stats_numpy(z, zdr, kdp, rhohv, snr):
    """The same statistics, vectorised over rows: one bincount per accumulator."""
    rows = z.shape[0]
    with np.errstate(invalid="ignore", divide="ignore"):
        used = np.isfinite(z) & np.isfinite(zdr) & np.isfinite(kdp) & (z >= Z_MIN) & (z < Z_MAX)
        used &= (rhohv >= RHOHV_MIN) & (snr >= SNR_MIN)
        b = np.minimum(np.floor((z[used] - Z_MIN) / WIDTH), NB - 1).astype(np.int64)
        index = np.nonzero(used)[0] * NB + b
        size = rows * NB

        def total(weights):
            return np.bincount(index, weights, size).reshape(rows, NB)

        c, sz, sd, sk = total(None), total(z[used]), total(zdr[used]), total(kdp[used])
        k = sk / c
        d = sd / c - ZDR_OFFSET
        ok = (c >= MIN_BIN_COUNT) & (k >= KDP_MIN) & (k > 0.0) & (d >= GZ[0]) & (d <= GZ[-1])
        beta = np.where(ok, sz / c - 10.0 * (np.log10(k) - np.interp(d, GZ, GLG)), np.nan)
        n = np.where(ok, c, 0.0).sum(axis=1)
        h = ok.sum(axis=1)
        mean = np.where(ok, beta * c, 0.0).sum(axis=1) / n
        u = np.where(ok, beta, 0.0).sum(axis=1) / h
        spread = np.sqrt(np.where(ok, (beta - u[:, None]) ** 2, 0.0).sum(axis=1) / (h - 1))
        spread[h < 2] = np.nan
        ordered = np.sort(beta, axis=1)  # rejected bins (NaN) sort last
        lower = np.take_along_axis(ordered, np.maximum(h - 1, 0)[:, None] // 2, axis=1)[:, 0]
        upper = np.take_along_axis(ordered, h[:, None] // 2, axis=1)[:, 0]
        median = np.where(h % 2 == 1, upper, (upper + lower) * 0.5)
        median[h == 0] = np.nan
    return np.stack([n, h, median, mean, spread], axis=1)


def main():
    z, zdr, kdp, rhohv, snr = make_rows()
    empty = np.zeros(0)

    def native(n):
        return _calibration.consistency_stats(
            z, zdr, kdp, rhohv, snr, empty, GZ, GLG, ZDR_OFFSET, Z_MIN, Z_MAX, WIDTH,
            RHOHV_MIN, SNR_MIN, KDP_MIN, MIN_BIN_COUNT, n,
        )  # fmt: skip

    def numpy_version():
        return consistency_stats_numpy(z, zdr, kdp, rhohv, snr)

    reference = native(1)
    assert (reference[:, 1] >= 2).all()
    np.testing.assert_allclose(numpy_version(), reference, rtol=1e-10, atol=1e-10)
    label = "NumPy, bincount over all rows"
    rows = [(label, best_time(numpy_version))]
    for n in (1, 2):
        rows.append((f"consistency_stats, n_threads={n}", best_time(lambda n=n: native(n), 20)))
    print_table(f"consistency_stats: {ROWS} rows x {SAMPLES:,} samples, 1 dB bins", rows, label)


if __name__ == "__main__":
    main()
