"""Benchmark of offset_stats: 20 elevation rows x 200,000 samples with dbz and rhohv screens and
a 4-node table, at 1 and 2 threads, against NumPy and against the floor of its pow and log10
calls (timed by a small C++ program built here with the kernel's own flags).

The reflectivities are drawn from a continuous distribution, so that every used sample needs
its own pow and log10. Then the same samples with the reflectivities as a volume file holds
them, 16-bit codes of 0.01 dB, whose values repeat: the kernel reuses the expected value of
each one it has seen (the same bits)."""

import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from _calibration import offset_stats
from harness import best_time, print_table

ROWS, SAMPLES = 20, 200_000
REF_Z = np.array([0.0, 15.0, 30.0, 45.0])
REF_V = np.array([0.15, 0.45, 1.3, 2.5])
Z_MIN, Z_MAX, RHOHV_MIN = 5.0, 45.0, 0.97
FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pow_log10_floor.cpp")


def make_data(rng):
    """Precipitation with rhohv just below 1 and 15 % non-meteorological echoes (low rhohv)."""
    dbz = rng.uniform(-10.0, 55.0, (ROWS, SAMPLES))
    zdr = rng.normal(0.6, 0.4, (ROWS, SAMPLES))
    rhohv = 1.0 - np.abs(rng.normal(0.0, 0.012, (ROWS, SAMPLES)))
    clutter = rng.random((ROWS, SAMPLES)) < 0.15
    rhohv[clutter] = rng.uniform(0.5, 0.9, clutter.sum())
    elev = np.linspace(0.5, 19.5, ROWS)
    return zdr, dbz, rhohv, elev


def used_and_expected(zdr, dbz, rhohv):
    used = np.isfinite(zdr) & (rhohv >= RHOHV_MIN) & np.isfinite(dbz)
    used &= (dbz >= Z_MIN) & (dbz <= Z_MAX)
    return used, np.interp(dbz, REF_Z, REF_V)


def numpy_offset_stats(zdr, dbz, rhohv, elev):
    used, table = used_and_expected(zdr, dbz, rhohv)
    theta = np.pi * elev / 180.0
    s2 = (np.sin(theta) ** 2)[:, None]
    c2 = (np.cos(theta) ** 2)[:, None]
    expected = table - 20.0 * np.log10(10.0 ** (0.05 * table) * s2 + c2)
    diffs = zdr - expected
    out = np.full((ROWS, 5), np.nan)
    for r in range(ROWS):
        d = diffs[r][used[r]]
        out[r] = [d.size, d.mean(), d.std(ddof=1), np.median(d), expected[r][used[r]].mean()]
    return out


def write_floor_input(path, zdr, dbz, rhohv, elev):
    """The expected values of the used samples, row by row, with each row's sin^2 and cos^2."""
    used, table = used_and_expected(zdr, dbz, rhohv)
    theta = np.pi * elev / 180.0
    with open(path, "wb") as f:
        np.array([ROWS], dtype=np.int64).tofile(f)
        used.sum(axis=1).astype(np.int64).tofile(f)
        (np.sin(theta) ** 2).tofile(f)
        (np.cos(theta) ** 2).tofile(f)
        for r in range(ROWS):
            table[r][used[r]].tofile(f)


def floor_times(workdir, zdr, dbz, rhohv, elev, thread_counts):
    """{threads: seconds} of the pow/log10 floor, or {} when no C++ compiler is available."""
    compiler = shutil.which("g++")
    if compiler is None:
        return {}
    program = os.path.join(workdir, "pow_log10_floor")
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-pthread"]
    subprocess.run([compiler, *flags, FLOOR_SOURCE, "-o", program], check=True)
    data = os.path.join(workdir, "expected.bin")
    write_floor_input(data, zdr, dbz, rhohv, elev)
    times = {}
    for n in thread_counts:
        run = subprocess.run([program, data, str(n), "7"], check=True, capture_output=True)
        times[n] = float(run.stdout)
    return times


def main():
    rng = np.random.default_rng(1)
    zdr, dbz, rhohv, elev = make_data(rng)
    empty = np.empty(0)

    def kernel(n):
        return offset_stats(zdr, dbz, rhohv, empty, empty, elev, REF_Z, REF_V, Z_MIN, Z_MAX,
                            RHOHV_MIN, np.nan, n)  # fmt: skip

    np.testing.assert_allclose(kernel(2), numpy_offset_stats(zdr, dbz, rhohv, elev), rtol=1e-9)

    numpy_label = "NumPy (masks, interp, median per row)"
    rows = [
        (numpy_label, best_time(lambda: numpy_offset_stats(zdr, dbz, rhohv, elev), repeat=3)),
        ("offset_stats, 1 thread", best_time(lambda: kernel(1), repeat=7)),
        ("offset_stats, 2 threads", best_time(lambda: kernel(2), repeat=7)),
    ]
    with tempfile.TemporaryDirectory() as workdir:
        floor = floor_times(workdir, zdr, dbz, rhohv, elev, (1, 2))
    for n, seconds in floor.items():
        rows.append((f"pow + log10 floor, {n} thread{'s' if n > 1 else ''}", seconds))

    coded = np.round(dbz / 0.01) * 0.01  # decoded 16-bit codes

    def kernel_coded(n):
        return offset_stats(zdr, coded, rhohv, empty, empty, elev, REF_Z, REF_V, Z_MIN, Z_MAX,
                            RHOHV_MIN, np.nan, n)  # fmt: skip

    rows += [
        ("reflectivity in 0.01 dB codes: NumPy",
         best_time(lambda: numpy_offset_stats(zdr, coded, rhohv, elev), repeat=3)),
        ("reflectivity in 0.01 dB codes: offset_stats, 1 thread",
         best_time(lambda: kernel_coded(1), repeat=7)),
        ("reflectivity in 0.01 dB codes: offset_stats, 2 threads",
         best_time(lambda: kernel_coded(2), repeat=7)),
    ]  # fmt: skip

    used = int(used_and_expected(zdr, dbz, rhohv)[0].sum())
    print_table(
        f"offset_stats: {ROWS} rows x {SAMPLES:,} samples, {used:,} used, 4-node table",
        rows,
        reference=numpy_label,
    )
    times = dict(rows)
    two = times["offset_stats, 2 threads"]
    print(f"\noffset_stats at 2 threads against NumPy: {times[numpy_label] / two:.2f}x faster")
    if floor:
        print(f"offset_stats at 2 threads takes {two / floor[2]:.2f}x the floor at 2 threads")
    else:
        print("no g++ found: the pow/log10 floor was not measured")
    return 0


if __name__ == "__main__":
    sys.exit(main())
