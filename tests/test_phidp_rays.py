import math

import numpy as np
import pytest

import _calibration
from util import assert_thread_invariant, same_bits

NAN = math.nan
INF = math.inf
EMPTY = np.zeros(0)


def rays(
    phidp,
    rhohv=EMPTY,
    snr=EMPTY,
    mask=EMPTY,
    first_gate=0,
    n_use=1000,
    rhohv_min=0.0,
    snr_min=0.0,
    min_count=1,
    n_threads=0,
):
    return _calibration.phidp_rays(
        np.atleast_2d(np.asarray(phidp, dtype=float)),
        rhohv,
        snr,
        mask,
        first_gate,
        n_use,
        rhohv_min,
        snr_min,
        min_count,
        n_threads,
    )


COS10 = math.cos(math.radians(10.0))


@pytest.mark.parametrize(
    "phases, expected",
    [
        ([170.0, -170.0], [180.0, 2.0, COS10]),
        ([10.0, 20.0, 30.0], [20.0, 3.0, (1.0 + 2.0 * COS10) / 3.0]),
        ([0.0, 90.0], [45.0, 2.0, math.sqrt(2.0) / 2.0]),
        ([350.0], [-10.0, 1.0, 1.0]),
        ([350.0, 10.0], [0.0, 2.0, COS10]),
        ([NAN, 42.0, INF, -INF], [42.0, 1.0, 1.0]),
    ],
)
def test_circular_mean(phases, expected):
    out = rays(phases)
    assert out.shape == (1, 3)
    np.testing.assert_allclose(out[0], expected, rtol=1e-13, atol=1e-12)


def test_wrap_gives_plus_180_not_zero():
    assert abs(rays([170.0, -170.0])[0, 0]) > 179.999


def test_n_use_stops_the_scan_before_unread_gates():
    # usable, unusable, usable, usable, usable: the fifth gate is never taken
    phidp = [[10.0, NAN, 20.0, 30.0, 1000.0]]
    out = rays(phidp, n_use=3)
    np.testing.assert_allclose(out[0], [20.0, 3.0, (1.0 + 2.0 * COS10) / 3.0], rtol=1e-13)


@pytest.mark.parametrize(
    "first_gate, n_use, min_count, expected",
    [
        (-5, 10, 1, [20.0, 3.0]),
        (1, 10, 1, [25.0, 2.0]),
        (3, 10, 1, [NAN, 0.0]),
        (2**62, 10, 1, [NAN, 0.0]),
        (0, 0, 1, [NAN, 0.0]),
        (0, -3, 1, [NAN, 0.0]),
        (0, 10, 0, [20.0, 3.0]),
        (0, 10, -7, [20.0, 3.0]),
        (0, 10, 3, [20.0, 3.0]),
        (0, 10, 5, [NAN, 3.0]),
        (0, 1, 1, [10.0, 1.0]),
    ],
)
def test_scalar_rules(first_gate, n_use, min_count, expected):
    out = rays([10.0, 20.0, 30.0], first_gate=first_gate, n_use=n_use, min_count=min_count)
    np.testing.assert_allclose(out[0, :2], expected, rtol=1e-13, equal_nan=True)
    assert np.isnan(out[0, 2]) == np.isnan(expected[0])


@pytest.mark.parametrize(
    "field, values, threshold, kept",
    [
        ("rhohv", [0.9, 0.95, NAN], 0.95, [False, True, False]),
        ("snr", [5.0, -INF, INF], 5.0, [True, False, True]),
        ("mask", [0.0, -0.0, NAN], None, [False, False, True]),
        ("mask", [-1.0, 0.5, 1.0], None, [True, True, True]),
        ("rhohv", [1.0, 1.0, 1.0], NAN, [False, False, False]),
    ],
)
def test_screening(field, values, threshold, kept):
    phases = np.array([[10.0, 20.0, 40.0]])
    kwargs = {field: np.array([values])}
    if field == "rhohv" and threshold is not None:
        kwargs["rhohv_min"] = threshold
    if field == "snr":
        kwargs["snr_min"] = threshold
    out = rays(phases, **kwargs)
    assert out[0, 1] == sum(kept)
    if any(kept):
        alone = rays(phases[:, np.array(kept)])
        assert same_bits(out, alone)


@pytest.mark.parametrize("shape", [(0,), (0, 0), (2, 0), (0, 5), (3, 0, 4)])
def test_empty_optional_arrays_are_absent(shape):
    phidp = np.array([[10.0, 20.0, 30.0, NAN, 5.0], [1.0, 2.0, 3.0, 4.0, 5.0]])
    reference = rays(phidp)
    assert same_bits(
        rays(
            phidp,
            rhohv=np.zeros(shape),
            snr=np.zeros(shape),
            mask=np.zeros(shape),
            rhohv_min=2.0,
            snr_min=2.0,
        ),
        reference,
    )


def valid_arguments():
    return {
        "phidp": np.zeros((2, 3)),
        "rhohv": EMPTY,
        "snr": EMPTY,
        "mask": EMPTY,
        "first_gate": 0,
        "n_use": 3,
        "rhohv_min": 0.0,
        "snr_min": 0.0,
        "min_count": 1,
    }


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"phidp": [1.0, 2.0]}, "phidp must be 2-D (rays, gates)"),
        ({"phidp": 5.0}, "phidp must be 2-D (rays, gates)"),
        ({"phidp": np.zeros((1, 2, 3))}, "phidp must be 2-D (rays, gates)"),
        ({"phidp": [1.0, 2.0], "rhohv": [1.0]}, "phidp must be 2-D (rays, gates)"),
        ({"rhohv": np.ones((3, 2))}, "rhohv must have the shape (rows, samples)"),
        ({"rhohv": np.float64(1.0)}, "rhohv must have the shape (rows, samples)"),
        ({"rhohv": np.ones(6)}, "rhohv must have the shape (rows, samples)"),
        ({"snr": np.ones((2, 3, 1))}, "snr must have the shape (rows, samples)"),
        ({"mask": np.ones((2, 4))}, "mask must have the shape (rows, samples)"),
        (
            {"rhohv": np.ones((3, 2)), "mask": np.ones((1, 1))},
            "rhohv must have the shape (rows, samples)",
        ),
        ({"snr": np.ones(1), "mask": np.ones((1, 1))}, "snr must have the shape (rows, samples)"),
    ],
)
def test_messages(kwargs, message):
    args = valid_arguments()
    args.update(kwargs)
    with pytest.raises(ValueError) as info:
        _calibration.phidp_rays(**args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, value",
    [
        ("first_gate", 1.5),
        ("n_use", 2**63),
        ("min_count", "3"),
        ("n_threads", 2**31),
        ("rhohv_min", "high"),
    ],
)
def test_binding_type_errors(name, value):
    args = valid_arguments()
    args[name] = value
    with pytest.raises(TypeError):
        _calibration.phidp_rays(**args)


@pytest.mark.parametrize("rays_, gates", [(0, 5), (0, 0), (3, 0)])
def test_empty_sweeps(rays_, gates):
    out = rays(np.zeros((rays_, gates)))
    assert out.shape == (rays_, 3)
    assert np.isnan(out[:, 0]).all() and (out[:, 1] == 0).all() and np.isnan(out[:, 2]).all()


def sweep(n_rays, gates, seed):
    rng = np.random.default_rng(seed)
    phidp = rng.uniform(-180.0, 180.0, (n_rays, gates))
    phidp[rng.random(phidp.shape) < 0.1] = NAN
    rhohv = rng.uniform(0.8, 1.0, (n_rays, gates))
    rhohv[rng.random(phidp.shape) < 0.05] = NAN
    snr = rng.normal(10.0, 5.0, (n_rays, gates))
    mask = (rng.random((n_rays, gates)) < 0.9).astype(float)
    return phidp, rhohv, snr, mask


def test_bit_identical_for_every_thread_count():
    phidp, rhohv, snr, mask = sweep(301, 60, 5)
    assert_thread_invariant(
        lambda n: _calibration.phidp_rays(phidp, rhohv, snr, mask, 3, 20, 0.9, 5.0, 4, n)
    )


def test_conversions_and_inputs_untouched():
    phidp, rhohv, snr, mask = sweep(7, 11, 9)
    copies = [a.copy() for a in (phidp, rhohv, snr, mask)]
    reference = _calibration.phidp_rays(phidp, rhohv, snr, mask, 1, 5, 0.9, 5.0, 2)
    for a, c in zip((phidp, rhohv, snr, mask), copies, strict=True):
        assert same_bits(a, c)
    converted = _calibration.phidp_rays(
        np.asfortranarray(phidp),
        rhohv.tolist(),
        snr[:, ::-1][:, ::-1],
        mask.astype(bool),
        1,
        5,
        0.9,
        5.0,
        2,
    )
    assert same_bits(converted, reference)


def test_matches_numpy_circular_mean():
    phidp, rhohv, snr, mask = sweep(50, 40, 11)
    out = _calibration.phidp_rays(phidp, rhohv, snr, mask, 0, 1000, 0.9, 5.0, 1)
    usable = np.isfinite(phidp) & (rhohv >= 0.9) & (snr >= 5.0) & (mask != 0)
    theta = np.radians(np.where(usable, phidp, 0.0))
    c = np.sum(np.where(usable, np.cos(theta), 0.0), axis=1)
    s = np.sum(np.where(usable, np.sin(theta), 0.0), axis=1)
    n = usable.sum(axis=1)
    np.testing.assert_array_equal(out[:, 1], n)
    np.testing.assert_allclose(out[:, 0], np.degrees(np.arctan2(s, c)), atol=1e-9)
    np.testing.assert_allclose(out[:, 2], np.hypot(c, s) / n, rtol=1e-12)
