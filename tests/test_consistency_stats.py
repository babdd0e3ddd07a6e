import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _calibration
from util import assert_thread_invariant, same_bits

NAN = math.nan
INF = math.inf
EMPTY = np.zeros(0)
# With a flat table of 0 and a mean KDP of 1 the implied reflectivity is 0 dBZ, so a bin's
# bias is simply its mean reflectivity.
FLAT_GZ = [0.0, 5.0]
FLAT_GLG = [0.0, 0.0]


def stats(
    z,
    zdr=None,
    kdp=None,
    rhohv=EMPTY,
    snr=EMPTY,
    mask=EMPTY,
    gz=FLAT_GZ,
    glg=FLAT_GLG,
    zdr_offset=0.0,
    z_min=0.0,
    z_max=100.0,
    bin_width=1.0,
    rhohv_min=0.0,
    snr_min=0.0,
    kdp_min=0.0,
    min_bin_count=1,
    n_threads=0,
):
    z = np.atleast_2d(np.asarray(z, dtype=float))
    zdr = np.ones_like(z) if zdr is None else np.atleast_2d(np.asarray(zdr, dtype=float))
    kdp = np.ones_like(z) if kdp is None else np.atleast_2d(np.asarray(kdp, dtype=float))
    return _calibration.consistency_stats(
        z, zdr, kdp, rhohv, snr, mask, gz, glg, zdr_offset, z_min, z_max, bin_width,
        rhohv_min, snr_min, kdp_min, min_bin_count, n_threads,
    )  # fmt: skip


def table_value(gz, glg, x):
    """Clamped piecewise-linear lookup, in the kernel's order of evaluation."""
    if x <= gz[0]:
        return glg[0]
    if x >= gz[-1]:
        return glg[-1]
    i = int(np.searchsorted(gz, x, side="right"))
    t = (x - gz[i - 1]) / (gz[i] - gz[i - 1])
    return t * (glg[i] - glg[i - 1]) + glg[i - 1]


def bias(z_values, zdr_values, kdp_values, gz, glg, zdr_offset=0.0):
    """One bin's bias, in the kernel's order of evaluation."""
    c = float(len(z_values))
    k = sum(kdp_values) / c
    d = sum(zdr_values) / c - zdr_offset
    return sum(z_values) / c - 10.0 * (math.log10(k) - table_value(gz, glg, d))


def test_two_bins_weighted_mean_spread_and_median():
    # counts 1 and 3, biases 0 and 4
    out = stats([0.0, 4.0, 4.0, 4.0], bin_width=2.0)
    assert same_bits(out, np.array([[4.0, 2.0, 2.0, 3.0, math.sqrt(8.0)]]))


@pytest.mark.parametrize(
    "z_max, n, bins",
    [(60.0, 12, 12), (62.0, 14, 13)],
)
def test_bin_count_and_short_last_bin(z_max, n, bins):
    # one sample per 5 dB step, plus samples at 60 and 61.9: 60 lies past a z_max of 60 and
    # in the short last bin of a z_max of 62
    z = [*np.arange(0.0, 60.0, 5.0), 60.0, 61.9]
    out = stats(z, z_max=z_max, bin_width=5.0)
    assert out[0, 0] == n and out[0, 1] == bins


@pytest.mark.parametrize(
    "z, z_min, z_max, bin_width, expected",
    [
        ([-10.0], -10.0, 0.0, 2.0, [1.0, 1.0, -10.0, -10.0, NAN]),
        ([0.0], -10.0, 0.0, 2.0, [0.0, 0.0, NAN, NAN, NAN]),
        ([np.nextafter(-10.0, -INF)], -10.0, 0.0, 2.0, [0.0, 0.0, NAN, NAN, NAN]),
        # 0.8999999999999999 / 0.3 rounds to 3.0, one past the last of the three bins
        ([0.6, 0.8999999999999999], 0.0, 0.9, 0.3, [2.0, 1.0, 0.75, 0.75, NAN]),
        # a width far beyond the range: the quotient underflows, still one bin
        ([0.0, 5e-301], 0.0, 1e-300, 1e300, [2.0, 1.0, 2.5e-301, 2.5e-301, NAN]),
    ],
)
def test_range_edges(z, z_min, z_max, bin_width, expected):
    out = stats(z, z_min=z_min, z_max=z_max, bin_width=bin_width)
    np.testing.assert_allclose(out[0], expected, rtol=1e-15, equal_nan=True)


@pytest.mark.parametrize(
    "min_bin_count, accepted",
    [(1, [1, 2, 3]), (0, [1, 2, 3]), (-5, [1, 2, 3]), (3, [3]), (2, [2, 3]), (2**63 - 1, [])],
)
def test_min_bin_count(min_bin_count, accepted):
    # bins 1, 2 and 3 hold 1, 2 and 3 samples
    z = [1.5, 2.5, 2.5, 3.5, 3.5, 3.5]
    out = stats(z, min_bin_count=min_bin_count)
    biases = [b + 0.5 for b in accepted]
    assert out[0, 0] == sum(accepted) and out[0, 1] == len(accepted)
    if accepted:
        assert out[0, 2] == float(np.median(biases))
        assert out[0, 3] == sum(w * b for w, b in zip(accepted, biases, strict=True)) / sum(
            accepted
        )


@pytest.mark.parametrize(
    "kdp, kdp_min, accepted",
    [
        ([0.5, -0.5], -1.0, False),
        ([-1.0, -2.0], -5.0, False),
        ([0.5, 0.5], 0.5, True),
        ([0.5, 0.5], 0.6, False),
        ([0.5, 0.5], NAN, False),
        ([1e-300, 1e-300], -INF, True),
    ],
)
def test_mean_kdp_rules(kdp, kdp_min, accepted):
    out = stats([20.0, 20.5], kdp=kdp, kdp_min=kdp_min)
    assert out[0, 1] == (1.0 if accepted else 0.0)
    if accepted:
        assert out[0, 2] == bias([20.0, 20.5], [1.0, 1.0], kdp, FLAT_GZ, FLAT_GLG)


GZ = [0.0, 1.0, 3.0]
GLG = [-4.0, -4.5, -5.5]


@pytest.mark.parametrize(
    "zdr, zdr_offset, accepted",
    [
        ([0.0, 0.0], 0.0, True),  # first node: glg[0]
        ([0.25, 0.25], 0.25, True),  # first node after the offset
        ([3.5, 3.5], 0.5, True),  # last node: glg[-1]
        ([3.0, 3.0], 0.0, True),
        ([1.0, 2.0], 0.0, True),  # between nodes
        ([-0.25, 0.0], 0.0, False),  # below the table
        ([3.0, 3.5], 0.0, False),  # above the table
        ([3.0, 3.0], -1e-9, False),
    ],
)
def test_table_ends(zdr, zdr_offset, accepted):
    z = [40.0, 40.5]
    kdp = [0.5, 1.5]
    out = stats(z, zdr=zdr, kdp=kdp, gz=GZ, glg=GLG, zdr_offset=zdr_offset)
    if not accepted:
        assert out[0, :2].tolist() == [0.0, 0.0]
        return
    expected = bias(z, zdr, kdp, GZ, GLG, zdr_offset)
    np.testing.assert_array_equal(out[0], [2.0, 1.0, expected, expected, NAN])


def test_nan_offset_counts_bins_but_gives_nan_statistics():
    z = [10.5, 11.5, 11.5, 12.5]
    for rows_z, bins in ((z, 3.0), (z[:1], 1.0)):
        out = stats(rows_z, zdr_offset=NAN)
        assert out[0, 0] == len(rows_z) and out[0, 1] == bins
        assert np.isnan(out[0, 2:]).all()


@pytest.mark.parametrize(
    "field, values, threshold, kept",
    [
        ("rhohv", [0.9, 0.95, NAN, 1.0], 0.95, [False, True, False, True]),
        ("rhohv", [1.0, 1.0, 1.0, 1.0], NAN, [False, False, False, False]),
        ("snr", [5.0, -INF, INF, 4.9], 5.0, [True, False, True, False]),
        ("mask", [0.0, -0.0, NAN, 2.0], None, [False, False, True, True]),
        ("z", [NAN, INF, -INF, 30.0], None, [False, False, False, True]),
        ("zdr", [NAN, INF, 1.0, 1.0], None, [False, False, True, True]),
        ("kdp", [1.0, -INF, NAN, 1.0], None, [True, False, False, True]),
    ],
)
def test_sample_screening(field, values, threshold, kept):
    data = {
        "z": np.array([[10.0, 20.0, 30.0, 40.0]]),
        "zdr": np.ones((1, 4)),
        "kdp": np.ones((1, 4)),
    }
    kwargs = {}
    if field in data:
        data[field] = np.array([values])
    else:
        kwargs[field] = np.array([values])
        if threshold is not None:
            kwargs[f"{field}_min"] = threshold
    out = stats(data["z"], data["zdr"], data["kdp"], **kwargs)
    assert out[0, 0] == sum(kept)
    if any(kept):
        keep = np.array(kept)
        alone = stats(data["z"][:, keep], data["zdr"][:, keep], data["kdp"][:, keep])
        assert same_bits(out, alone)


@pytest.mark.parametrize("rows, samples", [(0, 5), (0, 0), (3, 0)])
def test_empty_inputs(rows, samples):
    z = np.zeros((rows, samples))
    out = _calibration.consistency_stats(
        z, np.ones_like(z), np.ones_like(z), EMPTY, EMPTY, EMPTY, FLAT_GZ, FLAT_GLG,
        0.0, 0.0, 60.0, 1.0, 0.0, 0.0, 0.0, 1,
    )  # fmt: skip
    assert out.shape == (rows, 5)
    assert (out[:, :2] == 0).all() and np.isnan(out[:, 2:]).all()


def call_args(**changes):
    args = {
        "z": np.zeros((2, 3)),
        "zdr": np.zeros((2, 3)),
        "kdp": np.zeros((2, 3)),
        "rhohv": EMPTY,
        "snr": EMPTY,
        "mask": EMPTY,
        "gz": FLAT_GZ,
        "glg": FLAT_GLG,
        "zdr_offset": 0.0,
        "z_min": 0.0,
        "z_max": 60.0,
        "bin_width": 1.0,
        "rhohv_min": 0.0,
        "snr_min": 0.0,
        "kdp_min": 0.0,
        "min_bin_count": 1,
    }
    args.update(changes)
    return args


LIMITS = "need bin_width > 0 and z_max > z_min"
NOT_FINITE = "need finite z_min, z_max, bin_width and z_max - z_min"
TOO_MANY = "need bin_width giving at most 1048576 bins between z_min and z_max"
TABLE = "gz and glg must be 1-D with the same size, at least 2"


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"z": [1.0, 2.0]}, "z must be 2-D (rows, samples)"),
        ({"z": 1.0, "zdr": EMPTY}, "z must be 2-D (rows, samples)"),
        ({"z": np.zeros((2, 3, 1))}, "z must be 2-D (rows, samples)"),
        ({"zdr": np.zeros((3, 2))}, "zdr must have the shape (rows, samples)"),
        ({"zdr": 1.0}, "zdr must have the shape (rows, samples)"),
        ({"kdp": np.zeros(6)}, "kdp must have the shape (rows, samples)"),
        ({"rhohv": np.zeros((2, 4)), "mask": [1.0]}, "rhohv must have the shape (rows, samples)"),
        ({"snr": np.zeros((1, 2, 3))}, "snr must have the shape (rows, samples)"),
        ({"mask": np.zeros((2, 2)), "zdr": EMPTY}, "mask must have the shape (rows, samples)"),
        ({"zdr": EMPTY, "gz": [0.0]}, "zdr and kdp are needed"),
        ({"kdp": np.zeros((2, 0))}, "zdr and kdp are needed"),
        ({"gz": [0.0], "glg": [0.0], "bin_width": 0.0}, TABLE),
        ({"gz": [0.0, 1.0, 2.0]}, TABLE),
        ({"glg": [[0.0, 0.0]]}, TABLE),
        ({"gz": 1.0, "glg": 1.0}, TABLE),
        ({"bin_width": 0.0}, LIMITS),
        ({"bin_width": -1.0}, LIMITS),
        ({"z_max": 0.0}, LIMITS),
        ({"z_max": -5.0}, LIMITS),
        ({"z_min": NAN}, LIMITS),
        ({"z_max": NAN}, LIMITS),
        ({"bin_width": NAN, "z_min": -INF}, LIMITS),
        ({"z_min": -INF}, NOT_FINITE),
        ({"z_max": INF}, NOT_FINITE),
        ({"bin_width": INF}, NOT_FINITE),
        ({"z_min": -1e308, "z_max": 1e308, "bin_width": 1e300}, NOT_FINITE),
        ({"bin_width": 5e-324}, TOO_MANY),
        ({"bin_width": 1e-300}, TOO_MANY),
        ({"z_max": 2.0**20 + 0.5}, TOO_MANY),
        ({"z_min": -1e300, "z_max": 1e300}, TOO_MANY),
    ],
)
def test_messages(changes, message):
    with pytest.raises(ValueError) as info:
        _calibration.consistency_stats(**call_args(**changes))
    assert str(info.value) == message


def test_largest_bin_count_is_accepted():
    out = _calibration.consistency_stats(**call_args(z_max=2.0**20), n_threads=2)
    assert out.shape == (2, 5)


@pytest.mark.parametrize(
    "name, value",
    [("min_bin_count", 1.5), ("min_bin_count", 2**63), ("n_threads", 2**31), ("z_min", "0")],
)
def test_binding_type_errors(name, value):
    with pytest.raises(TypeError):
        _calibration.consistency_stats(**call_args(**{name: value}))


def rain_rows(rows, samples, seed):
    rng = np.random.default_rng(seed)
    z = rng.uniform(-5.0, 65.0, (rows, samples))
    z[rng.random(z.shape) < 0.05] = NAN
    zdr = rng.uniform(-0.5, 4.0, (rows, samples))
    kdp = rng.normal(0.3, 1.0, (rows, samples))
    kdp[rng.random(z.shape) < 0.02] = INF
    rhohv = rng.uniform(0.8, 1.0, (rows, samples))
    snr = rng.normal(10.0, 5.0, (rows, samples))
    mask = (rng.random((rows, samples)) < 0.9).astype(float)
    return z, zdr, kdp, rhohv, snr, mask


GZ_RAIN = np.linspace(0.0, 3.5, 8)
GLG_RAIN = -3.8 - 0.35 * GZ_RAIN


def numpy_consistency(z, zdr, kdp, rhohv, snr, mask, zdr_offset, z_min, z_max, width, need):
    rows = z.shape[0]
    nb = math.ceil((z_max - z_min) / width)
    with np.errstate(invalid="ignore", divide="ignore"):
        used = np.isfinite(z) & np.isfinite(zdr) & np.isfinite(kdp) & (z >= z_min) & (z < z_max)
        used &= (rhohv >= 0.9) & (snr >= 3.0) & (mask != 0)
        b = np.minimum(np.floor((z - z_min) / width), nb - 1)
        index = (np.arange(rows)[:, None] * nb + b)[used].astype(np.int64)
        sums = [np.bincount(index, w, rows * nb).reshape(rows, nb) for w in (None, z[used])]
        sums += [np.bincount(index, w[used], rows * nb).reshape(rows, nb) for w in (zdr, kdp)]
        c, sz, sd, sk = sums
        k = sk / c
        d = sd / c - zdr_offset
        ok = (c >= need) & (k >= 0.1) & (k > 0) & (d >= GZ_RAIN[0]) & (d <= GZ_RAIN[-1])
        beta = np.where(ok, sz / c - 10.0 * (np.log10(k) - np.interp(d, GZ_RAIN, GLG_RAIN)), NAN)
        n = np.where(ok, c, 0.0).sum(axis=1)
        h = ok.sum(axis=1)
        mean = np.nansum(beta * c, axis=1) / n
        spread = np.nanstd(beta, axis=1, ddof=1)
        return np.stack([n, h, np.nanmedian(beta, axis=1), mean, spread], axis=1)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("min_bin_count, width", [(1, 1.0), (4, 2.5), (30, 7.0)])
def test_matches_numpy_bincount(min_bin_count, width):
    data = rain_rows(40, 2000, 3)
    out = _calibration.consistency_stats(
        *data, GZ_RAIN, GLG_RAIN, 0.2, 0.0, 61.0, width, 0.9, 3.0, 0.1, min_bin_count, 2
    )
    expected = numpy_consistency(*data, 0.2, 0.0, 61.0, width, min_bin_count)
    assert (out[:, 1] >= 1).any() and (out[:, 1] >= 3).any()
    np.testing.assert_array_equal(out[:, :2], expected[:, :2])
    np.testing.assert_allclose(out[:, 2:], expected[:, 2:], rtol=1e-11, atol=1e-11)


def test_bit_identical_for_every_thread_count():
    data = rain_rows(301, 200, 7)
    settings = (GZ_RAIN, GLG_RAIN, 0.1, 0.0, 60.0, 1.5, 0.9, 3.0, 0.0, 2)
    assert_thread_invariant(lambda n: _calibration.consistency_stats(*data, *settings, n))


def test_conversions_and_inputs_untouched():
    data = rain_rows(6, 30, 11)
    copies = [a.copy() for a in data]
    settings = (GZ_RAIN, GLG_RAIN, 0.1, 0.0, 60.0, 5.0, 0.9, 3.0, 0.0, 1)
    reference = _calibration.consistency_stats(*data, *settings)
    for a, c in zip(data, copies, strict=True):
        assert same_bits(a, c)
    z, zdr, kdp, rhohv, snr, mask = data
    converted = _calibration.consistency_stats(
        np.asfortranarray(z),
        zdr.tolist(),
        np.repeat(kdp, 2, axis=1)[:, ::2],
        rhohv,
        snr,
        mask.astype(bool),
        GZ_RAIN.tolist(),
        tuple(GLG_RAIN),
        *settings[2:],
    )
    assert same_bits(converted, reference)
    whole = np.round(np.nan_to_num(z, nan=-99.0))
    rounded = _calibration.consistency_stats(whole.astype(np.int64), *data[1:], *settings)
    expected = _calibration.consistency_stats(whole, *data[1:], *settings)
    assert same_bits(rounded, expected)


MEMORY_SCRIPT = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import _calibration

    z = np.full((8, 4), 1.0)
    one = np.ones_like(z)
    empty = np.zeros(0)
    table = ([0.0, 5.0], [0.0, 0.0])

    def call(z_max, n):
        return _calibration.consistency_stats(
            z, one, one, empty, empty, empty, *table, 0.0, 0.0, z_max, 1.0, 0.0, 0.0, 0.0, 1, n
        )

    reference = call(60.0, 1)
    call(60.0, 2)  # the worker's stack and arena are mapped once before the limit

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    # 16 MiB of headroom: less than the 32 MiB of accumulators of the largest bin count
    limit = vm_size() + 16 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    for n in (1, 2):
        try:
            call(2.0**20, n)
        except MemoryError:
            print("MemoryError", n)
        else:
            print("no error", n)
    again = call(60.0, 2)
    print("same" if np.array_equal(again, reference, equal_nan=True) else "DIFFERENT")
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
