"""_phase.kdp_rays and bluster.kdp_rays: every window's fit against numpy.polyfit, the
unfolding of the 0/360 wrap, the known answers of straight and curved profiles, the edge cases,
the error messages and the bit-identity over threads and argument forms."""

import numpy as np
import pint
import pytest
import xarray as xr

import _phase
import bluster
from util import assert_thread_invariant, same_bits

NAN = np.nan


def noisy_rays(rays, gates, seed, wraps=True):
    """PhiDP of rays rising at random rates with noise, across the wrap, with gaps and a
    RhoHV that fails the screen at some gates."""
    rng = np.random.default_rng(seed)
    rise = np.cumsum(rng.uniform(0.0, 4.0 if wraps else 0.5, (rays, gates)), axis=1)
    phidp = np.mod(300.0 + rise + rng.normal(0.0, 2.0, (rays, gates)), 360.0)
    phidp[rng.random(phidp.shape) < 0.1] = NAN
    rhohv = rng.uniform(0.88, 1.0, (rays, gates))
    return phidp, rhohv


def polyfit_windows(phidp, rhohv, system_phase, spacing, half, need, rhohv_min):
    """KDP and fitted phase of every gate by numpy.polyfit over its window of unfolded phases
    (np.unwrap over the usable gates: the same unfolding where no step is a 180-degree one)."""
    kdp, fit = np.full(phidp.shape, NAN), np.full(phidp.shape, NAN)
    for r in range(phidp.shape[0]):
        usable = np.flatnonzero(np.isfinite(phidp[r]) & (rhohv[r] >= rhohv_min))
        relative = np.mod(phidp[r, usable] - system_phase + 180.0, 360.0) - 180.0
        unfolded = np.full(phidp.shape[1], NAN)
        unfolded[usable] = np.unwrap(relative, period=360.0)
        for i in usable:
            near = usable[abs(usable - i) <= half]
            if near.size >= need:
                slope, level = np.polyfit(near - i, unfolded[near], 1)
                kdp[r, i], fit[r, i] = 0.5 * slope / spacing, level
    return kdp, fit


@pytest.mark.parametrize("half, need, spacing", [(1, 2, 0.25), (4, 5, 0.25), (12, 14, 0.15)])
def test_every_window_is_the_least_squares_line(half, need, spacing):
    phidp, rhohv = noisy_rays(6, 300, seed=half)
    out = _phase.kdp_rays(phidp, rhohv, 310.0, spacing, half, need, 0.9)
    kdp, fit = polyfit_windows(phidp, rhohv, 310.0, spacing, half, need, 0.9)
    np.testing.assert_array_equal(np.isnan(out[0]), np.isnan(kdp))
    np.testing.assert_allclose(out[0], kdp, rtol=0, atol=1e-9)
    np.testing.assert_allclose(out[1], fit, rtol=0, atol=1e-9)
    assert np.isfinite(out[0]).sum() > 600


def test_known_profiles():
    """A straight rise of 1,000 degrees (many wraps) gives its slope at every gate; a parabola
    its exact derivative wherever the window is whole (a least-squares line over a symmetric
    window of a parabola has the parabola's slope at the centre)."""
    r = 0.25 * np.arange(200)
    ramp = np.mod(20.0 + 2.0 * 2.5 * r, 360.0)  # KDP 2.5 deg/km
    parabola = np.mod(20.0 + 0.04 * r**2, 360.0)  # KDP 0.04 r
    out = _phase.kdp_rays([ramp, parabola], [], 20.0, 0.25, 4, 5, 0.9)
    np.testing.assert_allclose(out[0, 0], 2.5, rtol=0, atol=1e-9)
    np.testing.assert_allclose(out[1, 0], 5.0 * r, rtol=0, atol=1e-9)
    np.testing.assert_allclose(out[0, 1, 4:-4], 0.04 * r[4:-4], rtol=0, atol=1e-9)


def test_steps_that_are_not_wraps_stay_local():
    """A gate of random phase and a gate 180 degrees off (the ambiguity of some radars) spoil
    only the windows that hold them; the phase beyond them is not shifted by a turn."""
    r = 0.25 * np.arange(60)
    clean = 350.0 + 2.0 * 1.0 * r  # KDP 1 deg/km
    spoilt = clean.copy()
    spoilt[20] += 180.0
    spoilt[40] = clean[40] + 200.0
    out = _phase.kdp_rays([np.mod(spoilt, 360.0)], [], 350.0, 0.25, 2, 3, 0.9)
    far = np.r_[0:18, 23:38, 43:60]
    np.testing.assert_allclose(out[0, 0, far], 1.0, atol=1e-9)
    np.testing.assert_allclose(out[1, 0, far], clean[far] - 350.0, atol=1e-9)


@pytest.mark.parametrize(
    "phidp, rhohv, system_phase, half, need, expected",
    [
        ([[NAN] * 8], [], 0.0, 2, 3, "all"),  # no phase
        ([[10.0] * 8], [[0.5] * 8], 0.0, 2, 3, "all"),  # every gate fails the screen
        ([[10.0] * 8], [], NAN, 2, 3, "all"),  # no system phase
        ([[10.0] * 8], [[NAN] * 8], 0.0, 2, 3, "all"),  # NaN rhohv fails
        ([[10.0]], [], 0.0, 2, -5, "all"),  # one gate: no line
        ([[10.0] * 8], [], 0.0, 2, 6, "all"),  # more gates needed than a window has
        ([[10.0, NAN, 12.0, NAN, 14.0]], [], 0.0, 1, 2, "all"),  # no two usable in a window
        ([[10.0, 11.0, 12.0]], [], 0.0, 2**62, 2, "none"),  # a window wider than the ray
    ],
)
def test_edge_cases(phidp, rhohv, system_phase, half, need, expected):
    out = _phase.kdp_rays(phidp, rhohv, system_phase, 0.5, half, need, 0.9)
    assert out.shape == (2, *np.shape(phidp))
    missing = np.isnan(out)
    assert missing.all() if expected == "all" else not missing.any()


@pytest.mark.parametrize(
    "args, message",
    [
        (([1.0, 2.0], [], 0.0, 0.25, 2, 3, 0.9), "phidp must be 2-D (rays, gates)"),
        (([[1.0, 2.0]], [[0.9]], 0.0, 0.25, 2, 3, 0.9), "rhohv must have the shape"),
        (([[1.0, 2.0]], [], 0.0, 0.0, 2, 3, 0.9), "gate_spacing must be positive and finite"),
        (([[1.0, 2.0]], [], 0.0, np.inf, 2, 3, 0.9), "gate_spacing must be positive"),
        (([[1.0, 2.0]], [], 0.0, NAN, 2, 3, 0.9), "gate_spacing must be positive"),
        (([[1.0, 2.0]], [], 0.0, 0.25, 0, 3, 0.9), "half_window must be at least 1"),
        # the order of the checks: shape first, then gate_spacing, then half_window
        (([[1.0, 2.0]], [[0.9]], 0.0, -1.0, 0, 3, 0.9), "rhohv must have the shape"),
        (([[1.0, 2.0]], [], 0.0, -1.0, 0, 3, 0.9), "gate_spacing must be"),
    ],
)
def test_errors(args, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        _phase.kdp_rays(*args)
    with pytest.raises(TypeError):
        _phase.kdp_rays([[1.0]], [], 0.0, 0.25, 2.0, 3, 0.9)


@pytest.mark.parametrize("rays", [37, 39])  # groups of four and a ray, or a pair and a ray
def test_bit_identical_for_every_thread_count_argument_form_and_neighbour(rays):
    phidp, rhohv = noisy_rays(rays, 150, seed=3)
    reference = assert_thread_invariant(
        lambda n: _phase.kdp_rays(phidp, rhohv, 310.0, 0.25, 4, 5, 0.9, n)
    )
    copies = [phidp.copy(), rhohv.copy()]
    converted = _phase.kdp_rays(
        np.asfortranarray(phidp), rhohv.astype(np.float32).astype(np.float64).tolist(),
        np.float32(310.0), 0.25, np.int64(4), 5, 0.9,
    )  # fmt: skip
    assert same_bits(converted, reference)
    assert same_bits(phidp, copies[0]) and same_bits(rhohv, copies[1])
    # rays go through the fit in groups: each must have the bits it has alone
    alone = [_phase.kdp_rays(phidp[r : r + 1], rhohv[r : r + 1], 310.0, 0.25, 4, 5, 0.9, 1)
             for r in range(len(phidp))]  # fmt: skip
    assert same_bits(np.concatenate(alone, axis=1), reference)


@pytest.fixture
def labelled():
    """Rays as a DataArray in radians over (azimuth, range), and the core's result."""
    phidp, rhohv = noisy_rays(4, 120, seed=5)
    core = _phase.kdp_rays(phidp, rhohv, 310.0, 0.25, 4, 5, 0.9)
    dims = ("azimuth", "range")
    coords = {"azimuth": [10.0, 20.0, 30.0, 40.0], "range": 125.0 + 250.0 * np.arange(120)}
    radians = xr.DataArray(np.deg2rad(phidp), dims=dims, coords=coords, attrs={"units": "rad"})
    return radians, xr.DataArray(rhohv, dims=dims), core


def package_layer(phidp, rhohv):
    return bluster.kdp_rays(
        phidp, gate_spacing=pint.UnitRegistry().Quantity(250.0, "m"), system_phase=310.0,
        window=2.0, rhohv=rhohv,
    )  # fmt: skip


def test_package_layer_labels_and_converts(labelled):
    """bluster.kdp_rays: a DataArray keeps its dims and coordinates, units are converted
    (radians, metres), and a window in km becomes gates."""
    phidp, rhohv, core = labelled
    res = package_layer(phidp, rhohv)
    assert res.kdp.dims == phidp.dims and res.kdp.attrs["units"] == "degree km-1"
    assert res.kdp.attrs["window_gates"] == 9
    np.testing.assert_allclose(res.kdp.values, core[0], rtol=0, atol=1e-9)
    np.testing.assert_allclose(res.phidp.values, core[1], rtol=0, atol=1e-9)
    np.testing.assert_array_equal(res.range.values, phidp.range.values)
    with pytest.raises(ValueError, match=r"kdp_rays: window=0\.0, expected a positive length"):
        bluster.kdp_rays(phidp.values, gate_spacing=0.25, window=0.0)


def test_package_layer_stays_lazy(labelled):
    pytest.importorskip("dask")
    phidp, rhohv, core = labelled
    res = package_layer(phidp.chunk({"azimuth": 2}), rhohv)
    assert res.kdp.chunks is not None
    np.testing.assert_allclose(res.kdp.values, core[0], rtol=0, atol=1e-9)
