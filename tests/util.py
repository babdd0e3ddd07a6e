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


def deflated_chunks(stored, chunk, rng, *, shuffled=False, level=6):
    """The moment ``stored`` as an HDF5 writer stores it in chunks of shape ``chunk`` (padded
    to whole chunks, each byte-shuffled if asked, deflated) at random places of one image:
    the image and the chunks' addresses, stored sizes and first elements."""
    import zlib

    rows, gates = stored.shape
    grid = (-(-rows // chunk[0]), -(-gates // chunk[1]))
    padded = np.zeros((grid[0] * chunk[0], grid[1] * chunk[1]), stored.dtype)
    padded[:rows, :gates] = stored
    starts = np.array([(r, g) for r in range(grid[0]) for g in range(grid[1])], np.int64)
    starts = starts.reshape(-1, 2) * chunk
    streams = []
    for r, g in starts:
        block = np.ascontiguousarray(padded[r : r + chunk[0], g : g + chunk[1]])
        raw = block.view(np.uint8).reshape(-1, block.itemsize).T.tobytes() if shuffled else block
        streams.append(zlib.compress(bytes(raw), level))
    order = rng.permutation(len(streams))  # stored in any order, with gaps between
    image, addresses = bytearray(), np.zeros(len(streams), np.int64)
    for k in order:
        image += rng.bytes(int(rng.integers(0, 5)))
        addresses[k] = len(image)
        image += streams[k]
    sizes = np.array([len(s) for s in streams], np.int64)
    return bytes(image), addresses, sizes, starts.reshape(-1, 2).astype(np.int64)
