import math

import numpy as np
import pytest

import _bluster
from util import assert_thread_invariant, same_bits

NAN = float("nan")
U, V, C0 = 7.5, -4.25, 1.5  # the ring's wind and offset in the exact-sinusoid cases


def ring(n=36, c0=C0, a=U, b=V, start=0.0):
    az = start + np.arange(n) * (2.0 * np.pi / n)
    return c0 + a * np.sin(az) + b * np.cos(az), az


def vad1(vr, az, cos_el=1.0, min_gates=3, min_spread=0.2, n_threads=1):
    """The eight components of a single ring."""
    return _bluster.vad([vr], [az], [cos_el], min_gates, min_spread, n_threads)[:, 0]


def only_count(res, n):
    return res[4] == n and np.isnan(np.delete(res, 4)).all()


def reference_row(vr, az, cos_el, min_gates, min_spread):
    """The retrieval written out plainly with Python floats, to compare bit for bit."""
    out = [NAN] * 8
    pts = [(v, a) for v, a in zip(vr, az, strict=True) if math.isfinite(v) and math.isfinite(a)]
    n = float(len(pts))
    out[4] = n
    if not (n >= min_gates and n >= 3):
        return out
    ss = sc = sv = 0.0
    for v, a in pts:
        ss, sc, sv = ss + math.sin(a), sc + math.cos(a), sv + v
    ms, mc, mv = ss / n, sc / n, sv / n
    sss = scc = ssc = ssv = scv = 0.0
    for v, a in pts:
        ds, dc, dv = math.sin(a) - ms, math.cos(a) - mc, v - mv
        sss, scc, ssc = sss + ds * ds, scc + dc * dc, ssc + ds * dc
        ssv, scv = ssv + ds * dv, scv + dc * dv
    det = sss * scc - ssc * ssc
    if not det / (n * n) >= min_spread:
        return out
    a1 = (scc * ssv - ssc * scv) / det
    b1 = (sss * scv - ssc * ssv) / det
    c0 = (mv - ms * a1) - mc * b1
    ssr = 0.0
    for v, a in pts:
        ssr += (((v - c0) - a1 * math.sin(a)) - b1 * math.cos(a)) ** 2
    out[:4] = [a1 / cos_el, b1 / cos_el, c0, math.sqrt(ssr / n)]
    ss2 = sc2 = 0.0  # not sum(): it compensates rounding since Python 3.12
    for _, a in pts:
        ss2, sc2 = ss2 + math.sin(a + a), sc2 + math.cos(a + a)
    ms2, mc2 = ss2 / n, sc2 / n
    m = [[0.0] * 4 for _ in range(4)]
    y = [0.0] * 4
    for v, a in pts:
        g = [math.sin(a) - ms, math.cos(a) - mc, math.sin(a + a) - ms2, math.cos(a + a) - mc2]
        for p in range(4):
            for q in range(4):
                m[p][q] += g[p] * g[q]
            y[p] += g[p] * (v - mv)
    d = 1.0
    for k in range(3):
        r = max(range(k, 4), key=lambda i: (abs(m[i][k]), -i))
        if m[r][k] == 0.0:
            return out
        if r != k:
            m[k], m[r], y[k], y[r], d = m[r], m[k], y[r], y[k], -d
        d *= m[k][k]
        for r in range(k + 1, 4):
            f = m[r][k] / m[k][k]
            m[r][k:] = [m[r][q] - m[k][q] * f for q in range(k, 4)]
            y[r] -= f * y[k]
    if m[3][3] == 0.0:
        return out
    x3 = y[3] / m[3][3]
    x2 = (y[2] - m[2][3] * x3) / m[2][2]
    x1 = ((y[1] - m[1][2] * x2) - m[1][3] * x3) / m[1][1]
    x0 = (((y[0] - m[0][1] * x1) - m[0][2] * x2) - m[0][3] * x3) / m[0][0]
    d4 = d * m[3][3]
    if d4 == 0.0 or not d4 / (((n * n) * n) * n) >= min_spread * 0.25:
        return out
    out[5:] = [(((mv - ms * x0) - mc * x1) - ms2 * x2) - mc2 * x3, x2, x3]
    return out


def noisy_volume(rng, rows, samples, missing=0.1):
    az = np.sort(rng.uniform(0.0, 2.0 * np.pi, (rows, samples)), axis=1)
    u = rng.uniform(-30, 30, (rows, 1))
    v = rng.uniform(-30, 30, (rows, 1))
    vr = u * np.sin(az) + v * np.cos(az) + 0.3 * np.cos(2 * az) + rng.normal(0, 1.5, az.shape)
    vr[rng.random(az.shape) < missing] = NAN
    bad = rng.random(az.shape) < missing / 4
    az[bad] = rng.choice([NAN, np.inf, -np.inf], bad.sum())
    return vr, az, rng.uniform(0.5, 1.0, rows)


@pytest.mark.parametrize("cos_el, scale", [(1.0, 1.0), (0.5, 2.0)])
def test_exact_sinusoid_is_reproduced(cos_el, scale):
    res = vad1(*ring(), cos_el=cos_el)
    np.testing.assert_allclose(res[[0, 1, 2, 4, 5]], [U * scale, V * scale, C0, 36, C0], rtol=1e-13)
    np.testing.assert_allclose(res[[3, 6, 7]], 0.0, atol=1e-13)


def test_cos_el_divides_only_the_wind():
    full, half = vad1(*ring(), cos_el=1.0), vad1(*ring(), cos_el=0.5)
    assert same_bits(half[:2], full[:2] * 2.0)
    assert same_bits(half[2:], full[2:])


def test_matches_plain_reference_bit_for_bit():
    rng = np.random.default_rng(7)
    vr, az, cos_el = noisy_volume(rng, 48, 40)
    # sectors from a tenth of the circle to all of it: the elimination swaps rows, and the
    # narrowest sectors pass the first spread test only
    az = az * np.linspace(0.1, 1.0, 48)[:, None] + rng.uniform(0, 6.3, (48, 1))
    vr[3] = NAN  # exactly 3 samples: the second fit is singular up to rounding
    vr[3, [5, 20, 33]], az[3, [5, 20, 33]] = [1.0, -2.0, 4.0], [0.1, 2.2, 4.3]
    res = _bluster.vad(vr, az, cos_el, 3, 1e-6, 1)
    assert np.isfinite(res[:5]).all() and 10 < np.isnan(res[5]).sum() < 20
    for i in range(vr.shape[0]):
        expected = reference_row(vr[i].tolist(), az[i].tolist(), cos_el[i], 3, 1e-6)
        assert same_bits(res[:, i], expected), f"row {i}"


def test_agrees_with_least_squares():
    rng = np.random.default_rng(3)
    vr, az, cos_el = noisy_volume(rng, 20, 90)
    res = _bluster.vad(vr, az, cos_el, 3, 0.1)
    for i in range(20):
        ok = np.isfinite(vr[i]) & np.isfinite(az[i])
        a = az[i, ok]
        x1 = np.column_stack([np.ones_like(a), np.sin(a), np.cos(a)])
        coef, ssr, *_ = np.linalg.lstsq(x1, vr[i, ok], rcond=None)
        x2 = np.column_stack([x1, np.sin(2 * a), np.cos(2 * a)])
        coef2 = np.linalg.lstsq(x2, vr[i, ok], rcond=None)[0]
        expected = [*(coef[1:] / cos_el[i]), coef[0], np.sqrt(ssr[0] / ok.sum()), ok.sum()]
        np.testing.assert_allclose(res[:5, i], expected, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(res[5:, i], coef2[[0, 3, 4]], rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize(
    "case, min_gates, min_spread, count",
    [
        ("all missing", 3, 0.2, 0),
        ("two valid", 1, 0.0, 2),
        ("fewer than min_gates", 37, 0.2, 36),
        ("one azimuth", 3, 0.01, 36),
        ("NaN min_spread", 3, NAN, 36),
    ],
)
def test_rows_that_cannot_be_fitted_keep_only_the_count(case, min_gates, min_spread, count):
    vr, az = ring()
    if case == "all missing":
        vr[:] = NAN
    elif case == "two valid":
        vr[2:] = NAN
    elif case == "one azimuth":
        az[:] = 0.7
    assert only_count(vad1(vr, az, min_gates=min_gates, min_spread=min_spread), count)


def test_three_samples_fit_the_wind_but_not_the_second_harmonic():
    vr, az = ring(3)
    res = vad1(vr, az, min_gates=3, min_spread=0.1)
    np.testing.assert_allclose(res[:3], [U, V, C0], rtol=1e-13)
    assert res[3] < 1e-13 and res[4] == 3
    assert np.isnan(res[5:]).all()


@pytest.mark.parametrize("bad", [NAN, np.inf, -np.inf])
def test_non_finite_azimuths_drop_their_samples(bad):
    vr, az = ring(40)
    az_bad = az.copy()
    az_bad[[1, 17, 30]] = bad
    vr_bad = vr.copy()
    vr_bad[[1, 17, 30]] = NAN
    assert same_bits(vad1(vr, az_bad, min_spread=0.1), vad1(vr_bad, az, min_spread=0.1))
    assert vad1(vr, az_bad)[4] == 37


def test_infinite_velocity_is_missing():
    vr, az = ring()
    vr[5] = np.inf
    assert vad1(vr, az)[4] == 35
    assert np.isfinite(vad1(vr, az)).all()


@pytest.mark.parametrize("min_gates", [-5, -(2**63)])
def test_negative_min_gates_still_needs_three(min_gates):
    vr, az = ring()
    np.testing.assert_allclose(vad1(vr, az, min_gates=min_gates)[:3], [U, V, C0], rtol=1e-13)
    vr[2:] = NAN
    assert only_count(vad1(vr, az, min_gates=min_gates, min_spread=-1.0), 2)


@pytest.mark.parametrize("rows", [0, 3])
def test_rings_without_samples(rows):
    res = _bluster.vad(np.empty((rows, 0)), np.empty((rows, 0)), np.ones(rows), 3, 0.2)
    assert res.shape == (8, rows)
    assert (res[4] == 0).all() and np.isnan(np.delete(res, 4, axis=0)).all()


def test_ieee_division_for_cos_el_zero_and_single_azimuth():
    res = vad1(*ring(), cos_el=0.0)
    assert res[0] == np.inf and res[1] == -np.inf and res[2] == pytest.approx(C0)
    vr, az = ring()
    az[:] = 0.0  # zero determinant let through by min_spread = 0
    res = vad1(vr, az, min_spread=0.0)
    assert np.isnan(res[:4]).all() and res[4] == 36


def test_bit_identical_for_every_thread_count():
    vr, az, cos_el = noisy_volume(np.random.default_rng(11), 64 * 9 + 5, 48)
    res = assert_thread_invariant(lambda n: _bluster.vad(vr, az, cos_el, 10, 0.05, n))
    assert np.isfinite(res).all(axis=0).mean() > 0.9


@pytest.mark.parametrize(
    "vr_shape, az_shape, cos_size, message",
    [
        ((4,), (4,), 1, "vr, az must be 2-D"),
        ((2, 4), (8,), 2, "vr, az must be 2-D"),
        ((2, 4, 1), (2, 4, 1), 2, "vr, az must be 2-D"),
        ((2, 4), (3, 4), 5, "shape mismatch"),
        ((2, 4), (2, 5), 2, "shape mismatch"),
        ((2, 4), (2, 4), 3, "shape mismatch"),
    ],
)
def test_shape_errors(vr_shape, az_shape, cos_size, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _bluster.vad(np.zeros(vr_shape), np.zeros(az_shape), np.ones(cos_size), 3, 0.2)


@pytest.mark.parametrize(
    "kwargs",
    [{"min_gates": 3.0}, {"min_gates": 2**63}, {"n_threads": 2**31}, {"cos_el": object()}],
)
def test_unconvertible_arguments_raise_type_error(kwargs):
    args = {"vr": [[1.0]], "az": [[0.0]], "cos_el": [1.0], "min_gates": 3, "min_spread": 0.2}
    with pytest.raises(TypeError):
        _bluster.vad(**(args | kwargs))


@pytest.mark.parametrize("cos_shape", [(5,), (5, 1), (1, 5)])
def test_odd_inputs_are_converted(cos_shape):
    vr, az, cos_el = noisy_volume(np.random.default_rng(5), 5, 30)
    vr32 = vr.astype(np.float32)
    expected = _bluster.vad(vr32.astype(np.float64), az, cos_el, 3, 0.1)
    got = _bluster.vad(
        vr=np.asfortranarray(vr32),
        az=np.repeat(az, 2, axis=1)[:, ::2],
        cos_el=cos_el.reshape(cos_shape).tolist(),
        min_gates=3,
        min_spread=0.1,
    )
    assert same_bits(got, expected)


def test_integer_lists_and_a_scalar_cos_el():
    res = _bluster.vad([[1, 2, 3, 4]], [[0, 1, 2, 3]], 1, 3, 0.1)
    assert same_bits(res, _bluster.vad([[1.0, 2, 3, 4]], [[0.0, 1, 2, 3]], [1.0], 3, 0.1))
    assert res.shape == (8, 1) and res[4, 0] == 4
