"""Benchmark of thermo: 4,000,000 points at 1 and 2 threads, against the same formulas in
NumPy and against the floor set by the five library calls per point (two pow, two exp, one
log), measured by bench/thermo_floor.cpp on the same data and the same arguments."""

import ctypes
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _bluster
from harness import best_time, print_table

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
N = 4_000_000
EPS = 0.6219569156569429
# The kernel's own optimisation and floating-point flags, as a shared library for ctypes.
FLOOR_FLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-pthread"]


def sounding(n, seed=2026):
    """Temperature (K), pressure (Pa) and dew point (K) through the troposphere."""
    rng = np.random.default_rng(seed)
    p = rng.uniform(10000.0, 105000.0, n)
    t = 215.0 + 95.0 * (p / 105000.0) + rng.uniform(-10.0, 10.0, n)
    td = t - rng.uniform(-2.0, 25.0, n)
    return t, p, td


def thermo_numpy(t, p, td):
    """The kernel's formulas, in the kernel's order, as whole-array NumPy operations."""
    d = np.where(np.isnan(td), td, np.where(td < t, td, t))
    q = 100000.0 / p
    theta = t * q**0.28542059262205427
    c = d - 273.15
    e = np.exp(17.67 * c / (c + 243.5)) * 611.2
    r = (EPS * e) / (p - e)
    big_l = np.log(t / d)
    g = 1000.0 * r
    m = q ** ((1.0 - 0.00028 * g) * 0.2854)
    tl = 1.0 / (big_l / 800.0 + 1.0 / (d - 56.0)) + 56.0
    f = np.exp(((3.376 / tl) - 0.00254) * g * (g * 0.00081 + 1.0))
    out = np.empty((4, t.size))
    out[0] = r
    out[1] = theta
    out[2] = ((1.0 + r / EPS) * theta) / (r + 1.0)
    out[3] = (t * m) * f
    return out


def load_floor():
    """Builds thermo_floor.cpp with the kernel's own flags and loads it."""
    build = os.path.join(ROOT, "build", "bench")
    os.makedirs(build, exist_ok=True)
    lib = os.path.join(build, "thermo_floor.so")
    source = os.path.join(ROOT, "bench", "thermo_floor.cpp")
    include = os.path.join(ROOT, "native")  # the kernels are included by path from native/
    subprocess.run(["g++", *FLOOR_FLAGS, "-I", include, source, "-o", lib], check=True)
    floor = ctypes.CDLL(lib)
    pointers = [ctypes.c_void_p] * 5
    floor.floor_arguments.argtypes = [ctypes.c_void_p] * 3 + [ctypes.c_int64] + pointers
    floor.floor_arguments.restype = None
    floor.floor_run.argtypes = [*pointers, ctypes.c_int64, ctypes.c_int32]
    floor.floor_run.restype = ctypes.c_double
    return floor


def main():
    t, p, td = sounding(N)
    floor = load_floor()
    args = [np.empty(N) for _ in range(5)]
    floor.floor_arguments(
        t.ctypes.data, p.ctypes.data, td.ctypes.data, N, *(a.ctypes.data for a in args)
    )
    arg_ptrs = [a.ctypes.data for a in args]

    reference = thermo_numpy(t, p, td)
    np.testing.assert_allclose(_bluster.thermo(t, p, td, n_threads=2), reference, rtol=1e-12)

    times = {
        "NumPy, same formulas": best_time(lambda: thermo_numpy(t, p, td), repeat=3),
        "floor (5 library calls), 1 thread": best_time(
            lambda: floor.floor_run(*arg_ptrs, N, 1), repeat=7
        ),
        "floor (5 library calls), 2 threads": best_time(
            lambda: floor.floor_run(*arg_ptrs, N, 2), repeat=7
        ),
        "thermo, 1 thread": best_time(lambda: _bluster.thermo(t, p, td, n_threads=1), repeat=7),
        "thermo, 2 threads": best_time(lambda: _bluster.thermo(t, p, td, n_threads=2), repeat=7),
    }
    print_table(
        f"thermo: {N:,} points (speed-up against NumPy)",
        list(times.items()),
        reference="NumPy, same formulas",
    )
    k1, k2 = times["thermo, 1 thread"], times["thermo, 2 threads"]
    f1, f2 = times["floor (5 library calls), 1 thread"], times["floor (5 library calls), 2 threads"]
    print(f"\nthermo takes {k1 / f1:.2f}x the floor at 1 thread, {k2 / f2:.2f}x at 2 threads")
    print(f"thermo from 1 to 2 threads: {k1 / k2:.2f}x faster")
    print(f"thermo at 2 threads against NumPy: {times['NumPy, same formulas'] / k2:.2f}x faster")


if __name__ == "__main__":
    main()
