"""Time spent in the kernels, kept apart from the time spent making the synthetic data.

A step calls each bluster function (its kernel with the package's thin layer of conversion and
labelling) through `timed(function, *args, **kwargs)`; the storm day reads and resets the total
around every step, so that it can report the kernels' time beside the step's own.
"""

import time

_kernel_seconds = 0.0


def timed(kernel, *args, **kwargs):
    """kernel(*args, **kwargs), its wall-clock time added to the running total."""
    global _kernel_seconds
    start = time.perf_counter()
    try:
        return kernel(*args, **kwargs)
    finally:
        _kernel_seconds += time.perf_counter() - start


def take_kernel_seconds() -> float:
    """The kernels' time since the last call, and the total reset to zero."""
    global _kernel_seconds
    seconds, _kernel_seconds = _kernel_seconds, 0.0
    return seconds
