"""A synthetic storm day: data with known answers, run through the bluster functions.

Each step under steps/ makes its own synthetic data, calls one or more bluster functions (each
over its native kernel), prints what
it recovered beside the truth, and returns its checks so that a test can run the whole day
at a small size and compare every recovered quantity with its tolerance.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from steps import STEPS
from steps.timing import take_kernel_seconds


def run_day(size="full", n_threads=0, seed=2026, out=print):
    rng = np.random.default_rng(seed)
    checks = []
    ctx = {}  # what a step leaves for later steps and for the figure
    for name, step in STEPS:
        out(f"\n== {name} ==")
        take_kernel_seconds()
        start = time.perf_counter()
        step_checks = step(rng, size, n_threads, out, ctx)
        elapsed = time.perf_counter() - start
        kernels = take_kernel_seconds()
        out(
            f"   (kernels {kernels * 1e3:.1f} ms with n_threads={n_threads}; making the data"
            f" and checking it {(elapsed - kernels) * 1e3:.1f} ms)"
        )
        checks.extend(step_checks)
    return checks, ctx


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=["small", "full"], default="full")
    parser.add_argument("--threads", type=int, default=0, help="n_threads (0: all cores)")
    parser.add_argument("--figure", default="storm_day.png", help="PNG to write ('' for none)")
    args = parser.parse_args()
    print(f"Storm day: {args.size} size, n_threads={args.threads}")
    checks, ctx = run_day(args.size, args.threads)
    if args.figure:
        from figure import storm_day_figure

        storm_day_figure(ctx, args.figure)
        print(f"\nfigure written to {args.figure}")
    failed = [c for c in checks if not c.ok]
    print(f"\n{len(checks) - len(failed)} of {len(checks)} recovered quantities within tolerance")
    for c in failed:
        print(f"  outside tolerance: {c}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
