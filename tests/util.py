"""Helpers shared by the test modules."""

import numpy as np

# Thread counts every kernel is run with: one, a few, more than the machine has, and the
# "one per hardware thread" values 0 and -1.
THREAD_COUNTS = [1, 2, 3, 8, 0, -1]


def same_bits(a, b):
    """True when two float64 arrays have the same shape and identical bit patterns."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    b = np.ascontiguousarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def assert_thread_invariant(call, counts=THREAD_COUNTS):
    """call(n_threads) must give bit-identical results for every thread count."""
    reference = call(1)
    for n in counts:
        assert same_bits(call(n), reference), f"n_threads={n} differs from n_threads=1"
    return reference
