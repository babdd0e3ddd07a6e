import math

import numpy as np
import pytest

from _calibration import offset_stats
from util import THREAD_COUNTS, assert_thread_invariant, same_bits

NAN = math.nan
INF = math.inf
EMPTY = np.empty(0)
EMPTY_ROW = [0.0, NAN, NAN, NAN, NAN]


def stats(
    zdr,
    dbz=EMPTY,
    rhohv=EMPTY,
    snr=EMPTY,
    mask=EMPTY,
    elev=None,
    ref_z=(0.0,),
    ref_v=(0.0,),
    z_min=NAN,
    z_max=NAN,
    rhohv_min=NAN,
    snr_min=NAN,
    n_threads=1,
):
    """offset_stats with every screen off, one-entry zero table and horizontal rows."""
    zdr = np.asarray(zdr, dtype=float)
    if elev is None:
        elev = np.zeros(zdr.shape[0])
    return offset_stats(
        zdr, dbz, rhohv, snr, mask, elev, ref_z, ref_v, z_min, z_max, rhohv_min, snr_min, n_threads
    )


def expected_of(ref_z, ref_v, dbz):
    """Expected ZDR of one sample at horizontal incidence, read from column 4."""
    row = stats([[0.0]], dbz=[[dbz]], ref_z=ref_z, ref_v=ref_v)[0]
    assert row[0] == 1
    return row[4]


# --- table lookup ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("ref_z", "ref_v", "dbz", "expected"),
    [
        # clamped at both ends, linear inside
        ((0, 10), (1, 3), -5, 1),
        ((0, 10), (1, 3), 0, 1),
        ((0, 10), (1, 3), 5, 2),
        ((0, 10), (1, 3), 10, 3),
        ((0, 10), (1, 3), 20, 3),
        # a step at an interior node: the last row with that abscissa decides
        ((0, 1, 1, 2), (0, 10, 20, 30), 1, 20),
        ((0, 1, 1, 2), (0, 10, 20, 30), 1.5, 25),
        ((0, 1, 1, 2), (0, 10, 20, 30), 0.5, 5),
        # steps at the ends: the end rules decide before the search
        ((0, 0, 1), (5, 7, 9), 0, 5),
        ((0, 1, 1), (5, 7, 9), 1, 9),
        # an interior node hit exactly returns its own ordinate
        ((0, 10, 20, 30, 40), (0.1, 0.7, 1.9, 2.3, 3.1), 20, 1.9),
        # the upper-bound search on a longer table: every interval is found
        (np.arange(9.0), np.arange(9.0) ** 2, 6.5, 36 + 0.5 * 13),
        (np.arange(9.0), np.arange(9.0) ** 2, 7.75, 49 + 0.75 * 15),
    ],
)
def test_table_lookup(ref_z, ref_v, dbz, expected):
    assert expected_of(ref_z, ref_v, dbz) == expected


def test_one_entry_table_ignores_reflectivity_and_abscissa():
    # dbz present only for the window; the single ordinate is used and ref_z never matters
    res = stats([[1.0, 2.0]], dbz=[[-30.0, 70.0]], ref_z=[NAN], ref_v=[0.25])
    assert res[0].tolist() == [2.0, 1.25, math.sqrt(0.5), 1.25, 0.25]


@pytest.mark.parametrize(
    "ref_z",
    [
        (NAN, NAN, NAN, NAN),
        (0.0, NAN, 20.0, 30.0),
        (30.0, 20.0, 10.0, 0.0),
        (0.0, 30.0, 10.0, 20.0),
    ],
)
def test_unordered_or_nan_abscissae_stay_inside_table(ref_z):
    # the values are unspecified, but each lies between two ordinates or is NaN
    dbz = np.linspace(-10.0, 40.0, 51).reshape(1, -1)
    res = stats(np.zeros_like(dbz), dbz=dbz, ref_z=ref_z, ref_v=(1.0, 2.0, 3.0, 4.0))
    assert res[0, 0] == 51
    assert math.isnan(res[0, 4]) or 1.0 <= res[0, 4] <= 4.0


# --- median ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("values", "median"),
    [
        ([7.5], 7.5),
        ([1.0, 4.0], 2.5),
        ([3.0, 1.0, 2.0], 2.0),
        ([4.0, 1.0, 3.0, 2.0], 2.5),
        ([2.0, 2.0, 2.0, 5.0], 2.0),
        ([5.0, 2.0, 2.0, 2.0, 9.0, 2.0], 2.0),
        ([9.0, 8.0, 7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0], 4.5),
    ],
)
def test_median(values, median):
    assert stats([values])[0, 3] == median


def test_median_ignores_unused_tail_of_buffer():
    # samples dropped at the end leave zeros in the row buffer; they must not join the median
    res = stats([[5.0, 6.0, 7.0, NAN, NAN], [5.0, NAN, 6.0, INF, 8.0]])
    assert res[:, 3].tolist() == [6.0, 6.0]


def test_median_nan_differences():
    # a NaN ordinate makes every difference NaN
    assert np.isnan(stats([[1.0, 2.0, 3.0, 4.0]], ref_v=[NAN])[0, 1:]).all()
    # only some NaN: the median is unspecified but the count and the run are sound
    dbz = np.linspace(0.0, 30.0, 101).reshape(1, -1)
    res = stats(np.ones_like(dbz), dbz=dbz, ref_z=(0, 10, 20, 30), ref_v=(0.0, NAN, 1.0, 2.0))
    assert res[0, 0] == 101


# --- statistics of a row --------------------------------------------------------------------


def test_no_rows():
    assert stats(np.empty((0, 4)), elev=[]).shape == (0, 5)


def test_no_samples():
    res = stats(np.empty((3, 0)), rhohv=np.empty((3, 0)), ref_v=[1.0], rhohv_min=0.5)
    assert same_bits(res, [EMPTY_ROW] * 3)


def test_one_usable_sample():
    res = stats([[NAN, 0.9, NAN]], dbz=[[20.0, 20.0, 20.0]], ref_z=(10, 30), ref_v=(0.2, 0.6))
    assert same_bits(res[0], [1.0, 0.9 - 0.4, NAN, 0.9 - 0.4, 0.4])


def test_worked_row():
    # differences 1, 2, 3, 4 against a constant 0.5
    res = stats([[1.5, 2.5, 3.5, 4.5]], ref_v=[0.5])
    assert res[0].tolist() == [4.0, 2.5, math.sqrt(5.0 / 3.0), 2.5, 0.5]


def test_agrees_with_numpy():
    rng = np.random.default_rng(5)
    rows, samples = 12, 301
    ref_z = np.array([0.0, 15.0, 30.0, 45.0])
    ref_v = np.array([0.2, 0.5, 1.4, 2.6])
    dbz = rng.uniform(-5.0, 50.0, (rows, samples))
    zdr = rng.normal(0.8, 0.4, (rows, samples))
    rhohv = rng.uniform(0.9, 1.0, (rows, samples))
    elev = np.linspace(0.5, 40.0, rows)
    res = stats(zdr, dbz=dbz, rhohv=rhohv, elev=elev, ref_z=ref_z, ref_v=ref_v, z_min=0, z_max=45,
                rhohv_min=0.95)  # fmt: skip
    theta = np.pi * elev / 180.0
    for r in range(rows):
        used = (dbz[r] >= 0) & (dbz[r] <= 45) & (rhohv[r] >= 0.95)
        e = np.interp(dbz[r][used], ref_z, ref_v)
        e = e - 20.0 * np.log10(10.0 ** (0.05 * e) * np.sin(theta[r]) ** 2 + np.cos(theta[r]) ** 2)
        d = zdr[r][used] - e
        assert res[r, 0] == used.sum()
        want = [np.mean(d), np.std(d, ddof=1), np.median(d), np.mean(e)]
        np.testing.assert_allclose(res[r, 1:], want, rtol=1e-12, atol=1e-13)


# --- elevation ------------------------------------------------------------------------------


@pytest.mark.parametrize("elev", [0.0, -0.0, NAN, INF, -INF])
def test_table_values_unchanged_without_conversion(elev):
    res = stats([[1.0, 1.0]], dbz=[[10.0, 25.0]], elev=[elev], ref_z=(0, 20, 30), ref_v=(0, 1, 3))
    assert res[0, 4] == (0.5 + 2.0) / 2


def test_vertical_incidence_expects_zero():
    res = stats([[0.0]] * 3, dbz=[[35.0]] * 3, elev=[90.0, -90.0, 270.0], ref_z=(0, 40),
                ref_v=(0.0, 3.2))  # fmt: skip
    assert np.all(np.abs(res[:, 4]) < 1e-12)


# --- screening ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("z_min", "z_max", "used"),
    [
        (10.0, 30.0, [False, True, True, True, False]),  # closed at both ends
        (NAN, 30.0, [True, True, True, True, False]),
        (10.0, NAN, [False, True, True, True, True]),
        (NAN, NAN, [True] * 5),
        (-INF, INF, [True] * 5),
        (INF, -INF, [True] * 5),  # an infinite limit is no limit, whatever its sign
        (20.0, 20.0, [False, False, True, False, False]),
        (30.0, 10.0, [False] * 5),
    ],
)
def test_reflectivity_window(z_min, z_max, used):
    dbz = [[9.999, 10.0, 20.0, 30.0, 30.001]]
    zdr = [[1.0, 2.0, 4.0, 8.0, 16.0]]
    res = stats(zdr, dbz=dbz, z_min=z_min, z_max=z_max)
    assert res[0, 0] == sum(used)
    if any(used):
        assert res[0, 1] == np.mean(np.array(zdr[0])[used])


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_missing_zdr_or_reflectivity_drops_sample(bad):
    # a present dbz screens even without limits and with a one-entry table
    assert stats([[bad, 3.0, 5.0]])[0, :2].tolist() == [2.0, 4.0]
    assert stats([[1.0, 3.0]], dbz=[[bad, 12.0]])[0, :2].tolist() == [1.0, 3.0]


@pytest.mark.parametrize(
    ("mask", "count"),
    [([1.0, 1.0, 1.0], 3), ([0.0, -0.0, 2.0], 1), ([NAN, INF, -3.0], 3)],
)
def test_mask(mask, count):
    assert stats([[1.0, 2.0, 3.0]], mask=[mask])[0, 0] == count


@pytest.mark.parametrize("name", ["rhohv", "snr"])
@pytest.mark.parametrize(
    ("values", "minimum", "count"),
    [
        ([0.9, 0.95, 0.99], 0.95, 2),  # the threshold itself passes
        ([NAN, 0.96, INF], 0.95, 2),
        ([0.9, 0.95, 0.99], NAN, 0),
        ([0.9, 0.95, 0.99], -INF, 3),
    ],
)
def test_quality_thresholds(name, values, minimum, count):
    res = stats([[1.0, 2.0, 3.0]], **{name: [values], f"{name}_min": minimum})
    assert res[0, 0] == count


# --- errors and conversions -----------------------------------------------------------------

GOOD = {
    "zdr": np.zeros((2, 3)),
    "dbz": np.zeros((2, 3)),
    "rhohv": EMPTY,
    "snr": EMPTY,
    "mask": EMPTY,
    "elev": np.zeros(2),
    "ref_z": [0.0, 10.0],
    "ref_v": [0.0, 1.0],
    "z_min": NAN,
    "z_max": NAN,
    "rhohv_min": 0.9,
    "snr_min": 0.0,
}


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"zdr": np.zeros(3)}, "zdr must be 2-D (rows, samples)"),
        ({"zdr": 1.0}, "zdr must be 2-D (rows, samples)"),
        ({"dbz": np.zeros((3, 2))}, "dbz must have the shape (rows, samples)"),
        ({"dbz": 0.0}, "dbz must have the shape (rows, samples)"),
        ({"rhohv": np.zeros((2, 3, 1))}, "rhohv must have the shape (rows, samples)"),
        ({"mask": np.zeros((1, 3))}, "mask must have the shape (rows, samples)"),
        ({"rhohv": np.zeros(6), "mask": np.zeros(6)}, "rhohv must have the shape (rows, samples)"),
        ({"dbz": np.zeros(6), "elev": [0.0]}, "dbz must have the shape (rows, samples)"),
        ({"elev": np.zeros((2, 1))}, "elev must have one value per row"),
        ({"elev": np.zeros(3)}, "elev must have one value per row"),
        ({"elev": [0.0], "ref_v": []}, "elev must have one value per row"),
        ({"ref_v": []}, "ref_z and ref_v must be 1-D with the same size"),
        ({"ref_v": [0.0, 1.0, 2.0]}, "ref_z and ref_v must be 1-D with the same size"),
        ({"ref_z": [[0.0, 10.0]]}, "ref_z and ref_v must be 1-D with the same size"),
        ({"ref_z": 0.0, "ref_v": 0.0}, "ref_z and ref_v must be 1-D with the same size"),
        ({"dbz": EMPTY}, "dbz is needed for the reflectivity limits or a table"),
        (
            {"zdr": np.zeros((2, 0)), "dbz": np.zeros((2, 0))},  # no elements: absent
            "dbz is needed for the reflectivity limits or a table",
        ),
        (
            {"dbz": EMPTY, "ref_z": [0.0], "ref_v": [0.0], "z_min": 10.0},
            "dbz is needed for the reflectivity limits or a table",
        ),
        (
            {"dbz": EMPTY, "ref_z": [0.0], "ref_v": [0.0], "z_max": -5.0},
            "dbz is needed for the reflectivity limits or a table",
        ),
    ],
)
def test_errors(changes, message):
    with pytest.raises(ValueError) as info:
        offset_stats(**(GOOD | changes))
    assert str(info.value) == message


@pytest.mark.parametrize(("z_min", "z_max"), [(NAN, NAN), (-INF, INF), (INF, NAN)])
def test_one_entry_table_needs_no_reflectivity(z_min, z_max):
    args = GOOD | {"dbz": EMPTY, "ref_z": [5.0], "ref_v": [0.3], "z_min": z_min, "z_max": z_max}
    res = offset_stats(**args)
    assert res[:, 0].tolist() == [3.0, 3.0]
    assert res[:, 4].tolist() == [0.3, 0.3]


def test_odd_inputs_are_converted():
    rng = np.random.default_rng(2)
    zdr = rng.normal(0.5, 0.3, (4, 6))
    dbz = rng.uniform(0, 40, (4, 6))
    mask = rng.random((4, 6)) < 0.8
    elev = np.array([0.5, 1.5, 2.5, 3.5])
    reference = offset_stats(zdr, dbz, EMPTY, EMPTY, mask.astype(float), elev, [0, 20, 40],
                             [0.1, 0.6, 1.8], 5, 35, 0.9, 0)  # fmt: skip
    odd = offset_stats(
        np.asfortranarray(zdr),
        np.repeat(dbz, 2, axis=0)[::2],  # strided view of the same values
        [],
        [],
        mask,  # booleans
        elev.astype(np.float32).astype(np.float64).tolist(),
        np.array([0, 20, 40], dtype=np.int32),
        [0.1, 0.6, 1.8],
        5,  # ints for float limits
        35,
        0.9,
        0,
        n_threads=2,
    )
    assert same_bits(odd, reference)


@pytest.mark.parametrize("steps", [0.01, None], ids=["quantised", "continuous"])
def test_long_rows_have_the_bits_of_each_sample_computed_alone(steps):
    """A long row of reflectivities decoded from codes (few distinct values) reuses expected
    values; each must be the one its sample gives computed alone (a row of one sample)."""
    rng = np.random.default_rng(3)
    samples = 20001  # past the samples a row probes before it stops looking values up
    dbz = rng.uniform(20.0, 30.0, samples)
    if steps is not None:
        dbz = np.round(dbz / steps) * steps
    zdr = rng.normal(0.5, 0.3, samples)
    ref_z, ref_v = [20.0, 25.0, 30.0, 40.0], [0.2, 0.45, 0.7, 1.4]
    row = stats([zdr], dbz=[dbz], elev=[2.5], ref_z=ref_z, ref_v=ref_v)[0]
    alone = stats(zdr[:, None], dbz=dbz[:, None], elev=np.full(samples, 2.5), ref_z=ref_z,
                  ref_v=ref_v)  # fmt: skip
    expected = alone[:, 4]
    differences = zdr - expected
    expected_sum = difference_sum = 0.0
    for e, d in zip(expected.tolist(), differences.tolist(), strict=True):
        expected_sum += e  # in sample order, as the kernel adds
        difference_sum += d
    assert same_bits(
        row[[0, 1, 3, 4]],
        [samples, difference_sum / samples, np.median(differences), expected_sum / samples],
    )


# --- threads --------------------------------------------------------------------------------


def test_bit_identical_for_every_thread_count():
    rng = np.random.default_rng(11)
    rows, samples = 97, 257
    zdr = rng.normal(0.4, 0.5, (rows, samples))
    zdr[rng.random(zdr.shape) < 0.05] = NAN
    dbz = rng.uniform(-10, 55, (rows, samples))
    rhohv = rng.uniform(0.85, 1.0, (rows, samples))
    snr = rng.uniform(0, 40, (rows, samples))
    mask = (rng.random((rows, samples)) < 0.9).astype(float)
    elev = rng.uniform(0, 30, rows)
    elev[::17] = NAN
    ref_z, ref_v = [0, 10, 25, 40, 50], [0.1, 0.3, 0.9, 2.0, 2.8]
    res = assert_thread_invariant(
        lambda n: offset_stats(zdr, dbz, rhohv, snr, mask, elev, ref_z, ref_v, 0, 50, 0.95, 10, n),
        THREAD_COUNTS,
    )
    assert res.shape == (rows, 5)
    assert np.all(res[:, 0] > 1)
