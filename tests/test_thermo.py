"""thermo: mixing ratio, theta, theta-v and theta-e point by point."""

import math

import numpy as np
import pytest

import _bluster
from util import assert_thread_invariant, same_bits

EPS = 0.6219569156569429
NAN = float("nan")


def sounding_points(rng, n, nan_fraction=0.0):
    """Temperature (K), pressure (Pa) and dew point (K) spanning the troposphere; about one in
    ten dew points lies above the temperature (supersaturated input)."""
    p = rng.uniform(10000.0, 105000.0, n)
    t = 215.0 + 95.0 * (p / 105000.0) + rng.uniform(-10.0, 10.0, n)
    td = t - rng.uniform(-2.0, 25.0, n)
    if nan_fraction:
        for a in (t, p, td):
            a[rng.random(n) < nan_fraction] = NAN
    return t, p, td


def bolton_numpy(t, p, td):
    """Bolton (1980) written afresh in his own units (hPa, deg C, g/kg), powers taken through
    exp and log, and the dew point capped with np.minimum."""
    p_hpa = p / 100.0
    d = np.minimum(td, t)
    d_c = d - 273.15
    e_hpa = 6.112 * np.exp(17.67 * d_c / (d_c + 243.5))
    r = EPS * e_hpa / (p_hpa - e_hpa)
    r_g = 1e3 * r
    ln_q = np.log(1000.0 / p_hpa)
    theta = t * np.exp(0.28542059262205427 * ln_q)
    t_lcl = 56.0 + 1.0 / (1.0 / (d - 56.0) + np.log(t / d) / 800.0)
    theta_e = (
        t
        * np.exp(0.2854 * (1.0 - 0.28e-3 * r_g) * ln_q)
        * np.exp((3.376 / t_lcl - 0.00254) * r_g * (1.0 + 0.81e-3 * r_g))
    )
    theta_v = theta * (1.0 + r / EPS) / (1.0 + r)
    return np.stack([r, theta, theta_v, theta_e])


def in_stated_order(t, p, td):
    """One point with the operations in the order that fixes the last bits; Python's math
    module calls the same C library pow, exp and log as the kernel."""
    d = td if math.isnan(td) or td < t else t
    q = 100000.0 / p
    theta = t * math.pow(q, 0.28542059262205427)
    c = d - 273.15
    e = math.exp(17.67 * c / (c + 243.5)) * 611.2
    r = (EPS * e) / (p - e)
    big_l = math.log(t / d)
    g = 1000.0 * r
    m = math.pow(q, (1.0 - 0.00028 * g) * 0.2854)
    tl = 1.0 / (big_l / 800.0 + 1.0 / (d - 56.0)) + 56.0
    f = math.exp(((3.376 / tl) - 0.00254) * g * (g * 0.00081 + 1.0))
    return [r, theta, ((1.0 + r / EPS) * theta) / (r + 1.0), (t * m) * f]


def test_matches_independent_bolton_formulation():
    t, p, td = sounding_points(np.random.default_rng(1), 20000)
    np.testing.assert_allclose(_bluster.thermo(t, p, td), bolton_numpy(t, p, td), rtol=1e-12)


def test_last_bits_follow_the_order_of_evaluation():
    t, p, td = sounding_points(np.random.default_rng(2), 300)
    expected = np.array([in_stated_order(*point) for point in zip(t, p, td, strict=True)]).T
    assert same_bits(_bluster.thermo(t, p, td), expected)


def test_theta_is_exactly_the_temperature_at_the_reference_pressure():
    res = _bluster.thermo(300.0, 100000.0, 290.0)
    assert res[1, 0] == 300.0


@pytest.mark.parametrize("t", [250.0, 288.15, 305.0])
def test_supersaturated_dew_point_is_taken_as_saturation(t):
    above = _bluster.thermo(t, 85000.0, t + 7.5)
    assert same_bits(above, _bluster.thermo(t, 85000.0, t))
    # r is the saturation mixing ratio at T, and theta-e that of a saturated parcel
    np.testing.assert_allclose(above[:, 0], bolton_numpy(t, 85000.0, t), rtol=1e-12)


def test_missing_dew_point_leaves_theta():
    res = _bluster.thermo([293.0, 293.0], [90000.0, 90000.0], [NAN, 280.0])
    assert np.isnan(res[[0, 2, 3], 0]).all()
    assert res[1, 0] == res[1, 1]


@pytest.mark.parametrize("t, p", [(NAN, 90000.0), (293.0, NAN), (NAN, NAN)])
def test_missing_temperature_or_pressure_gives_nan_everywhere(t, p):
    assert np.isnan(_bluster.thermo(t, p, 280.0)).all()


@pytest.mark.parametrize(
    "p, theta",
    [(0.0, math.inf), (-0.0, math.inf), (-50000.0, NAN), (math.inf, 0.0)],
)
def test_non_physical_pressure_follows_ieee(p, theta):
    res = _bluster.thermo(300.0, p, 280.0)
    np.testing.assert_equal(res[1, 0], theta)


def test_pressure_equal_to_vapour_pressure_gives_infinite_mixing_ratio():
    # at a dew point of 0 deg C the vapour pressure is exactly 611.2 Pa
    res = _bluster.thermo(280.0, 611.2, 273.15)
    assert res[0, 0] == math.inf
    assert np.isfinite(res[1, 0])


def test_zero_dew_point_does_not_raise():
    res = _bluster.thermo(280.0, 90000.0, 0.0)
    assert res.shape == (4, 1)
    assert np.isfinite(res[1, 0])


def test_shapes_need_only_agree_in_size():
    t, p, td = sounding_points(np.random.default_rng(3), 6)
    res = _bluster.thermo(t.reshape(2, 3), p, td.reshape(3, 2))
    assert res.shape == (4, 6)
    assert same_bits(res, _bluster.thermo(t, p, td))


def test_views_are_paired_in_their_row_major_order():
    t, p, td = sounding_points(np.random.default_rng(4), 12)
    t_view = t.reshape(3, 4).T  # a Fortran-ordered (4, 3) view
    res = _bluster.thermo(t_view, p.reshape(4, 3), td[::-1])
    assert same_bits(res, _bluster.thermo(t_view.ravel(), p, td[::-1].copy()))


@pytest.mark.parametrize(
    "t, p, td",
    [
        (300, 100000, 290),
        ([300], [100000], [290]),
        (np.float32(300.0), np.int64(100000), [[290.0]]),
        (np.array([300], dtype=np.int32), [100000.0], np.array([290.0], dtype=np.float32)),
    ],
)
def test_odd_inputs_are_converted(t, p, td):
    assert same_bits(_bluster.thermo(t, p, td), _bluster.thermo([300.0], [1e5], [290.0]))


@pytest.mark.parametrize("shape", [(0,), (0, 5), (3, 0)])
def test_empty_input_gives_no_points(shape):
    res = _bluster.thermo(np.zeros(shape), np.zeros(shape), np.zeros(shape), n_threads=4)
    assert res.shape == (4, 0)


@pytest.mark.parametrize(
    "t, p, td",
    [
        (np.ones(4), np.ones(3), np.ones(4)),
        (np.ones(4), np.ones(4), np.ones(5)),
        (np.ones(4), 1.0, np.ones(4)),  # no broadcasting
        (np.ones((2, 3)), np.ones((3, 3)), np.ones((2, 3))),
        ([], 1.0, []),
    ],
)
def test_size_mismatch(t, p, td):
    with pytest.raises(ValueError, match=r"^size mismatch$"):
        _bluster.thermo(t, p, td)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"t": "warm", "p": 1e5, "td": 290.0},
        {"t": 300.0, "p": 1e5},
        {"t": 300.0, "p": 1e5, "td": 290.0, "n_threads": 1.5},
        {"t": 300.0, "p": 1e5, "td": 290.0, "n_threads": 2**31},
    ],
)
def test_unconvertible_arguments_raise_type_error(kwargs):
    with pytest.raises(TypeError):
        _bluster.thermo(**kwargs)


def test_bit_identical_for_any_thread_count():
    # several blocks of 4096 points and a ragged last one, with missing values scattered in
    t, p, td = sounding_points(np.random.default_rng(5), 7 * 4096 + 123, nan_fraction=0.01)
    res = assert_thread_invariant(lambda n: _bluster.thermo(t, p, td, n_threads=n))
    assert res.shape == (4, t.size)


def test_registered_first():
    functions = [name for name, obj in vars(_bluster).items() if callable(obj)]
    assert functions[0] == "thermo"
