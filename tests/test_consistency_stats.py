import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _calibration
from util import assert_thread_invariant, same_bits

NAN, INF, EMPTY = math.nan, math.inf, np.zeros(0)
# A flat table of 0 with a mean KDP of 1 implies 0 dBZ, so a bin's bias is its mean z.
FLAT = ([0.0, 5.0], [0.0, 0.0])
SETTINGS = {
    "zdr_offset": 0.0, "z_min": 0.0, "z_max": 100.0, "bin_width": 1.0, "rhohv_min": 0.0,
    "snr_min": 0.0, "kdp_min": 0.0, "min_bin_count": 1,
}  # fmt: skip


def stats(z, zdr=None, kdp=None, rhohv=EMPTY, snr=EMPTY, mask=EMPTY, table=FLAT, **settings):
    z = np.atleast_2d(np.asarray(z, dtype=float))
    zdr = np.ones_like(z) if zdr is None else np.atleast_2d(zdr)
    kdp = np.ones_like(z) if kdp is None else np.atleast_2d(kdp)
    args = {**SETTINGS, **settings}
    return _calibration.consistency_stats(z, zdr, kdp, rhohv, snr, mask, *table, **args)


def bias(z, zdr, kdp, table, zdr_offset=0.0):
    """One bin's bias, in the kernel's order of evaluation."""
    c = float(len(z))
    g = float(np.interp(sum(zdr) / c - zdr_offset, *table))
    return sum(z) / c - 10.0 * (math.log10(sum(kdp) / c) - g)


def test_two_bins_weighted_mean_spread_and_median():
    out = stats([0.0, 4.0, 4.0, 4.0], bin_width=2.0)  # counts 1 and 3, biases 0 and 4
    assert same_bits(out, np.array([[4.0, 2.0, 2.0, 3.0, math.sqrt(8.0)]]))


@pytest.mark.parametrize("z_max, n, bins", [(60.0, 12, 12), (62.0, 14, 13)])
def test_bin_count_and_short_last_bin(z_max, n, bins):
    # 60 lies past a z_max of 60, and in the short last bin (60 to 62) of a z_max of 62
    out = stats([*np.arange(0.0, 60.0, 5.0), 60.0, 61.9], z_max=z_max, bin_width=5.0)
    assert out[0, :2].tolist() == [n, bins]


@pytest.mark.parametrize(
    "z, z_min, z_max, width, expected",
    [
        ([-10.0], -10.0, 0.0, 2.0, [1.0, 1.0, -10.0, -10.0, NAN]),
        ([0.0, np.nextafter(-10.0, -INF)], -10.0, 0.0, 2.0, [0.0, 0.0, NAN, NAN, NAN]),
        # 0.8999999999999999 / 0.3 rounds to 3.0, one past the last of the three bins
        ([0.6, 0.8999999999999999], 0.0, 0.9, 0.3, [2.0, 1.0, 0.75, 0.75, NAN]),
        # a width far beyond the range: the quotient underflows to 0, still one bin
        ([0.0, 5e-301], 0.0, 1e-300, 1e300, [2.0, 1.0, 2.5e-301, 2.5e-301, NAN]),
    ],
)
def test_range_edges(z, z_min, z_max, width, expected):
    out = stats(z, z_min=z_min, z_max=z_max, bin_width=width)
    np.testing.assert_array_equal(out[0], expected)


@pytest.mark.parametrize(
    "min_bin_count, accepted",
    [(1, [1, 2, 3]), (0, [1, 2, 3]), (-5, [1, 2, 3]), (2, [2, 3]), (3, [3]), (2**63 - 1, [])],
)
def test_min_bin_count(min_bin_count, accepted):
    # bins 1, 2 and 3 hold 1, 2 and 3 samples; their biases are 1.5, 2.5 and 3.5
    out = stats([1.5, 2.5, 2.5, 3.5, 3.5, 3.5], min_bin_count=min_bin_count)
    biases = [c + 0.5 for c in accepted]
    assert out[0, :2].tolist() == [sum(accepted), len(accepted)]
    if accepted:
        assert out[0, 2] == np.median(biases)
        assert out[0, 3] == sum(c * b for c, b in zip(accepted, biases, strict=True)) / sum(
            accepted
        )


@pytest.mark.parametrize(
    "kdp, kdp_min, accepted",
    [
        ([0.5, -0.5], -1.0, False),  # mean KDP 0 fails even a negative kdp_min
        ([-1.0, -2.0], -5.0, False),
        ([0.5, 0.5], 0.5, True),
        ([0.5, 0.5], 0.6, False),
        ([0.5, 0.5], NAN, False),
        ([1e-300, 1e-300], -INF, True),
    ],
)
def test_mean_kdp_rules(kdp, kdp_min, accepted):
    out = stats([20.0, 20.5], kdp=kdp, kdp_min=kdp_min)
    assert out[0, 1] == accepted
    if accepted:
        assert out[0, 2] == bias([20.0, 20.5], [1.0, 1.0], kdp, FLAT)


TABLE = ([0.0, 1.0, 3.0], [-4.0, -4.5, -5.5])


@pytest.mark.parametrize(
    "zdr, zdr_offset, accepted",
    [
        ([0.25, 0.25], 0.25, True),  # first node after the offset: glg[0]
        ([3.5, 3.5], 0.5, True),  # last node: glg[-1]
        ([1.0, 2.0], 0.0, True),  # between nodes
        ([-0.25, 0.0], 0.0, False),  # below the table
        ([3.0, 3.0], -1e-9, False),  # above the table
        ([3.0, 3.0], NAN, True),  # a NaN D passes the range test and gives a NaN bias
    ],
)
def test_table_lookup_and_ends(zdr, zdr_offset, accepted):
    z, kdp = [40.0, 40.5], [0.5, 1.5]
    out = stats(z, zdr=zdr, kdp=kdp, table=TABLE, zdr_offset=zdr_offset)
    if not accepted:
        assert out[0, :2].tolist() == [0.0, 0.0]
        return
    expected = bias(z, zdr, kdp, TABLE, zdr_offset)
    np.testing.assert_array_equal(out[0], [2.0, 1.0, expected, expected, NAN])


def test_nan_offset_counts_bins_with_nan_statistics():
    out = stats([10.5, 11.5, 11.5, 12.5], zdr_offset=NAN)
    np.testing.assert_array_equal(out[0], [4.0, 3.0, NAN, NAN, NAN])


@pytest.mark.parametrize(
    "field, values, kept",
    [
        ("rhohv", [0.9, 0.95, NAN, 1.0], [False, True, False, True]),
        ("snr", [5.0, -INF, INF, 4.9], [True, False, True, False]),
        ("mask", [0.0, -0.0, NAN, 2.0], [False, False, True, True]),
        ("z", [NAN, INF, -INF, 30.0], [False, False, False, True]),
        ("zdr", [NAN, INF, 1.0, 1.0], [False, False, True, True]),
        ("kdp", [1.0, -INF, NAN, 1.0], [True, False, False, True]),
    ],
)
def test_sample_screening(field, values, kept):
    data = {"z": [[10.0, 20.0, 30.0, 40.0]], "zdr": np.ones((1, 4)), "kdp": np.ones((1, 4))}
    data[field] = np.array([values])
    out = stats(**data, rhohv_min=0.95, snr_min=5.0)
    keep = np.array(kept)
    alone = stats(*(np.asarray(data[k])[:, keep] for k in ("z", "zdr", "kdp")))
    assert same_bits(out, alone)


def test_nan_threshold_excludes_every_sample():
    assert stats([[10.0, 20.0]], rhohv=np.ones((1, 2)), rhohv_min=NAN)[0, 0] == 0


@pytest.mark.parametrize("shape", [(0, 5), (0, 0), (3, 0)])
def test_empty_z(shape):
    for zdr in (np.zeros(shape), EMPTY):
        out = _calibration.consistency_stats(np.zeros(shape), zdr, zdr, [], [], [], *FLAT, 0, 0,
                                             60, 1, 0, 0, 0, 1)  # fmt: skip
        assert out.shape == (shape[0], 5)
        assert (out[:, :2] == 0).all() and np.isnan(out[:, 2:]).all()


LIMITS = "need bin_width > 0 and z_max > z_min"
NOT_FINITE = "need finite z_min, z_max, bin_width and z_max - z_min"
TOO_MANY = "need bin_width giving at most 1048576 bins between z_min and z_max"
TABLE_SIZE = "gz and glg must be 1-D with the same size, at least 2"


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"z": [1.0, 2.0]}, "z must be 2-D (rows, samples)"),
        ({"z": 1.0, "zdr": EMPTY}, "z must be 2-D (rows, samples)"),
        ({"zdr": np.zeros((3, 2))}, "zdr must have the shape (rows, samples)"),
        ({"kdp": np.zeros(6)}, "kdp must have the shape (rows, samples)"),
        ({"rhohv": np.zeros((2, 4)), "mask": [1.0]}, "rhohv must have the shape (rows, samples)"),
        ({"snr": np.zeros((1, 2, 3))}, "snr must have the shape (rows, samples)"),
        ({"mask": 1.0, "zdr": EMPTY}, "mask must have the shape (rows, samples)"),
        ({"zdr": EMPTY, "gz": [0.0]}, "zdr and kdp are needed"),
        ({"kdp": np.zeros((2, 0))}, "zdr and kdp are needed"),
        ({"gz": [0.0], "glg": [0.0], "bin_width": 0.0}, TABLE_SIZE),
        ({"gz": [0.0, 1.0, 2.0]}, TABLE_SIZE),
        ({"glg": [[0.0, 0.0]]}, TABLE_SIZE),
        ({"bin_width": 0.0}, LIMITS),
        ({"z_max": 0.0}, LIMITS),
        ({"z_min": NAN}, LIMITS),
        ({"bin_width": NAN, "z_min": -INF}, LIMITS),
        ({"z_min": -INF}, NOT_FINITE),
        ({"z_max": INF}, NOT_FINITE),
        ({"bin_width": INF}, NOT_FINITE),
        ({"z_min": -1e308, "z_max": 1e308, "bin_width": 1e300}, NOT_FINITE),
        ({"bin_width": 5e-324}, TOO_MANY),
        ({"z_max": 2.0**20 + 0.5}, TOO_MANY),
    ],
)
def test_messages(changes, message):
    args = {"z": np.zeros((2, 3)), "zdr": np.zeros((2, 3)), "kdp": np.zeros((2, 3)),
            "rhohv": EMPTY, "snr": EMPTY, "mask": EMPTY, "gz": FLAT[0], "glg": FLAT[1],
            **SETTINGS, **changes}  # fmt: skip
    with pytest.raises(ValueError) as info:
        _calibration.consistency_stats(**args)
    assert str(info.value) == message


def test_largest_bin_count_is_accepted():
    out = stats(np.full((2, 3), 2.0**20 - 0.5), z_max=2.0**20, n_threads=2)
    np.testing.assert_array_equal(out[:, :4], [[3.0, 1.0, 2.0**20 - 0.5, 2.0**20 - 0.5]] * 2)


def rain_rows(rows, samples, seed):
    rng = np.random.default_rng(seed)
    z = np.where(rng.random((rows, samples)) < 0.05, NAN, rng.uniform(-5.0, 65.0, (rows, samples)))
    zdr = rng.uniform(-0.5, 4.0, z.shape)
    kdp = np.where(rng.random(z.shape) < 0.02, INF, rng.normal(0.3, 1.0, z.shape))
    rhohv = rng.uniform(0.8, 1.0, z.shape)
    snr = rng.normal(10.0, 5.0, z.shape)
    return z, zdr, kdp, rhohv, snr, (rng.random(z.shape) < 0.9).astype(float)


RAIN = (np.linspace(0.0, 3.5, 8), -3.8 - 0.35 * np.linspace(0.0, 3.5, 8))


def numpy_consistency(z, zdr, kdp, rhohv, snr, mask, width, need):
    rows, nb = z.shape[0], math.ceil(61.0 / width)
    used = np.isfinite(z) & np.isfinite(zdr) & np.isfinite(kdp) & (z >= 0.0) & (z < 61.0)
    used &= (rhohv >= 0.9) & (snr >= 3.0) & (mask != 0)
    b = np.minimum(np.floor(z[used] / width), nb - 1).astype(np.int64)
    index = np.nonzero(used)[0] * nb + b
    c, sz, sd, sk = (np.bincount(index, w, rows * nb).reshape(rows, nb)
                     for w in (None, z[used], zdr[used], kdp[used]))  # fmt: skip
    k, d = sk / c, sd / c - 0.2
    ok = (c >= need) & (k >= 0.1) & (k > 0) & (d >= RAIN[0][0]) & (d <= RAIN[0][-1])
    beta = np.where(ok, sz / c - 10.0 * (np.log10(k) - np.interp(d, *RAIN)), NAN)
    n = np.where(ok, c, 0.0).sum(axis=1)
    mean = np.nansum(beta * c, axis=1) / n
    return np.stack([n, ok.sum(axis=1), np.nanmedian(beta, axis=1), mean,
                     np.nanstd(beta, axis=1, ddof=1)], axis=1)  # fmt: skip


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("min_bin_count, width", [(1, 1.0), (4, 2.5), (30, 7.0)])
def test_matches_numpy_bincount(min_bin_count, width):
    data = rain_rows(40, 2000, 3)
    out = _calibration.consistency_stats(
        *data, *RAIN, 0.2, 0.0, 61.0, width, 0.9, 3.0, 0.1, min_bin_count, 2
    )
    expected = numpy_consistency(*data, width, min_bin_count)
    assert (out[:, 1] >= 3).any()
    np.testing.assert_array_equal(out[:, :2], expected[:, :2])
    np.testing.assert_allclose(out[:, 2:], expected[:, 2:], rtol=1e-11, atol=1e-11)


def test_bit_identical_for_every_thread_count():
    data = rain_rows(301, 200, 7)
    settings = (*RAIN, 0.1, 0.0, 60.0, 1.5, 0.9, 3.0, 0.0, 2)
    assert_thread_invariant(lambda n: _calibration.consistency_stats(*data, *settings, n))


def test_odd_inputs_are_converted_and_left_untouched():
    data = rain_rows(6, 30, 11)
    copies = [a.copy() for a in data]
    settings = (0.1, 0.0, 60.0, 5.0, 0.9, 3.0, 0.0, 1)
    reference = _calibration.consistency_stats(*data, *RAIN, *settings)
    assert all(same_bits(a, c) for a, c in zip(data, copies, strict=True))
    z, zdr, kdp, rhohv, snr, mask = data
    odd = (np.asfortranarray(z), zdr.tolist(), np.repeat(kdp, 2, axis=1)[:, ::2], rhohv, snr,
           mask.astype(bool), RAIN[0].tolist(), tuple(RAIN[1]))  # fmt: skip
    assert same_bits(_calibration.consistency_stats(*odd, *settings), reference)


MEMORY_SCRIPT = textwrap.dedent(
    """
    import resource
    import numpy as np
    import _calibration

    z = np.full((8, 4), 1.0)
    one, empty = np.ones_like(z), np.zeros(0)

    def call(z_max, n):
        return _calibration.consistency_stats(z, one, one, empty, empty, empty, [0.0, 5.0],
                                              [0.0, 0.0], 0.0, 0.0, z_max, 1.0, 0, 0, 0, 1, n)

    reference = call(60.0, 2)  # maps the worker's stack once before the limit
    with open("/proc/self/status") as f:
        vm_size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    # 16 MiB of headroom: less than the 32 MiB of accumulators at the largest bin count
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (vm_size + 16 * 2**20, hard))
    for n in (1, 2):
        try:
            call(2.0**20, n)
            print("no error", n)
        except MemoryError:
            print("MemoryError", n)
    print("same" if np.array_equal(call(60.0, 2), reference, equal_nan=True) else "DIFFERENT")
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer runtime reserves address space itself",
)
def test_failed_row_allocation_raises_memory_error():
    # One malloc arena: otherwise a failed request is retried in the address space that a
    # worker's arena has already reserved, and may succeed there.
    env = {**os.environ, "MALLOC_ARENA_MAX": "1"}
    proc = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, timeout=120, env=env
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["MemoryError 1", "MemoryError 2", "same"], proc.stdout
