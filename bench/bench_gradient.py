"""gradient on 8 fields x 1,000 x 1,000 points with uneven coordinates, at 1 and 2 threads,
against numpy.gradient, a NaN-aware NumPy equivalent, and the memory bandwidth of a copy."""

import numpy as np

import _bluster
from harness import best_time, print_table

BATCH, NY, NX = 8, 1000, 1000


def make_fields(seed=0):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(500.0, 1500.0, NX))  # m, uneven
    y = np.cumsum(rng.uniform(500.0, 1500.0, NY))
    f = 290.0 + 0.004 * x + 0.002 * y[:, None] + rng.normal(0.0, 0.3, (BATCH, NY, NX))
    f[rng.random(f.shape) < 0.01] = np.nan
    return f, x, y


def along_last_numpy(g, c, out):
    """The same rules along the last axis: each side falls back to the point itself when its
    neighbour is beyond the edge or missing; NaN where no difference can be formed."""
    valid = np.isfinite(g)
    left = np.zeros_like(valid)
    left[..., 1:] = valid[..., :-1]
    right = np.zeros_like(valid)
    right[..., :-1] = valid[..., 1:]
    upper = g.copy()
    upper[..., :-1] = np.where(right[..., :-1], g[..., 1:], g[..., :-1])
    lower = g.copy()
    lower[..., 1:] = np.where(left[..., 1:], g[..., :-1], g[..., 1:])
    c_upper = np.where(right, np.append(c[1:], c[-1]), c)
    c_lower = np.where(left, np.insert(c[:-1], 0, c[0]), c)
    with np.errstate(all="ignore"):
        np.divide(upper - lower, c_upper - c_lower, out=out)
    out[~(valid & (left | right))] = np.nan


def gradient_numpy(f, x, y):
    out = np.empty((2, *f.shape))
    along_last_numpy(f, x, out[0])
    along_last_numpy(f.swapaxes(1, 2), y, out[1].swapaxes(1, 2))
    return out


def main():
    f, x, y = make_fields()
    native = _bluster.gradient(f, x, y, 1)
    assert np.array_equal(gradient_numpy(f, x, y), native, equal_nan=True)

    rows = [
        (
            "numpy.gradient (uneven, edge_order=1)",
            best_time(lambda: np.gradient(f, y, x, axis=(1, 2)), 3),
        ),
        ("NumPy, NaN-aware, vectorised", best_time(lambda: gradient_numpy(f, x, y), 3)),
    ]
    for n in (1, 2):
        t = best_time(lambda n=n: _bluster.gradient(f, x, y, n))
        rows.append((f"gradient, n_threads={n}", t))
    dst = np.empty_like(f)
    t_copy = best_time(lambda: np.copyto(dst, f), 10)
    rows.append(("numpy.copyto of f (64 MB, preallocated)", t_copy))
    # Every call returns a new 128 MB result, whose pages the system must supply and clear
    # on first touch; this is the cost of that alone.
    t_fresh = best_time(lambda: np.ones((2, *f.shape)), 5)
    rows.append(("numpy.ones of a result-sized array (fresh)", t_fresh))
    print_table(
        f"gradient: {BATCH} fields x {NY:,} x {NX:,}, uneven coordinates, 1% missing",
        rows,
        "numpy.gradient (uneven, edge_order=1)",
    )

    points = f.size
    copy_rate = 2 * 8 * points / t_copy  # bytes read and written per second
    print(f"\nnumpy.copyto: {copy_rate / 1e9:.1f} GB/s read + written")
    for label, t in rows[2:4]:
        # f is read once, both components are written; the coordinates are negligible
        rate = 3 * 8 * points / t
        print(f"{label}: {rate / 1e9:.1f} GB/s, {100 * rate / copy_rate:.0f}% of numpy.copyto")
    print(f"scaling 1 -> 2 threads: {rows[2][1] / rows[3][1]:.2f}x")


if __name__ == "__main__":
    main()
