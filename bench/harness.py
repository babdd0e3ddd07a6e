"""Timing helpers for the benchmark scripts: best of several runs, printed as a table."""

import os
import platform
import time


def best_time(fn, repeat=5, warmup=1):
    """Smallest wall-clock time of fn() over `repeat` runs, in seconds."""
    for _ in range(warmup):
        fn()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} hardware threads, Python {platform.python_version()}"


def print_table(title, rows, reference=None):
    """rows: list of (label, seconds). Ratios are against the row labelled `reference`."""
    print(f"\n{title}\n{machine()}")
    base = dict(rows).get(reference)
    print(f"| {'variant':<44} | {'time (ms)':>10} | {'speed-up':>9} |")
    print(f"|{'-' * 46}|{'-' * 12}|{'-' * 11}|")
    for label, seconds in rows:
        ratio = f"{base / seconds:.2f}x" if base else ""
        print(f"| {label:<44} | {seconds * 1e3:>10.2f} | {ratio:>9} |")
