"""cold_pool on 400,000 columns x 40 levels (threshold mode) against NumPy, at 1 and 2 threads."""

import numpy as np

import _bluster
from harness import best_time, print_table


def make_columns(rows=400_000, levels=40, seed=0):
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(50.0, 150.0, (rows, levels)), axis=1)
    depth = rng.uniform(300.0, 2500.0, (rows, 1))
    b = -0.03 * (1.0 - z / depth) + rng.normal(0.0, 0.002, (rows, levels))
    b[rng.random(b.shape) < 0.02] = np.nan
    return z, b


def cold_pool_numpy(z, b, threshold):
    """Threshold mode, bottom unset: the same walk, vectorised over columns."""
    rows, levels = z.shape
    usable = np.isfinite(z) & np.isfinite(b)
    idx = np.arange(rows)
    start = usable.argmax(axis=1)
    has_start = usable[idx, start]
    z0 = z[idx, start]
    b0 = b[idx, start]
    zp, bp, s = z0.copy(), b0.copy(), np.zeros(rows)
    intensity = np.full(rows, np.nan)
    depth = np.full(rows, np.nan)
    flag = np.full(rows, np.nan)
    closed = has_start & (b0 >= threshold)
    intensity[closed] = depth[closed] = flag[closed] = 0.0
    active = has_start & ~closed
    with np.errstate(invalid="ignore", divide="ignore"):
        for j in range(levels):
            zj, bj = z[:, j], b[:, j]
            step = active & usable[:, j] & (j > start)
            cross = step & (bj >= threshold)
            zc = zp + (threshold - bp) * (zj - zp) / (bj - bp)
            s_cross = s + 0.5 * (-bp - threshold) * (zc - zp)
            intensity = np.where(cross, np.sqrt(np.maximum(0.0, 2.0 * s_cross)), intensity)
            depth = np.where(cross, zc - z0, depth)
            flag = np.where(cross, 0.0, flag)
            active &= ~cross
            walk = step & ~cross
            s = np.where(walk, s + 0.5 * (-bp - bj) * (zj - zp), s)
            zp = np.where(walk, zj, zp)
            bp = np.where(walk, bj, bp)
    intensity = np.where(active, np.sqrt(np.maximum(0.0, 2.0 * s)), intensity)
    depth = np.where(active, zp - z0, depth)
    flag = np.where(active, 1.0, flag)
    return np.stack([intensity, depth, flag])


def main():
    z, b = make_columns()
    rows = z.shape[0]
    nan = np.full(rows, np.nan)
    native = _bluster.cold_pool(z, b, nan, 0.0, nan, 1)
    np.testing.assert_allclose(cold_pool_numpy(z, b, 0.0), native, rtol=1e-9, equal_nan=True)

    rows_timed = [
        ("NumPy, vectorised over columns", best_time(lambda: cold_pool_numpy(z, b, 0.0), 3))
    ]
    for n in (1, 2):
        t = best_time(lambda n=n: _bluster.cold_pool(z, b, nan, 0.0, nan, n))
        rows_timed.append((f"cold_pool, n_threads={n}", t))
    print_table(
        "cold_pool: 400,000 columns x 40 levels", rows_timed, "NumPy, vectorised over columns"
    )
    t1, t2 = rows_timed[1][1], rows_timed[2][1]
    print(f"scaling 1 -> 2 threads: {t1 / t2:.2f}x")


if __name__ == "__main__":
    main()
