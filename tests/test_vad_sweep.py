"""_wind.vad_sweep: the rings of a sweep read from its (rays, gates) layout give the same bits
as _bluster.vad over the transposed velocities with the azimuths repeated for every ring, and
bluster.radar.vad_profile through it the same bits as bluster.vad sweep by sweep."""

import math

import numpy as np
import pytest
import xarray as xr
from hypothesis import given, settings
from hypothesis import strategies as st

import _bluster
import _wind
import bluster
from bluster._inputs import conversion_factor
from bluster.radar import open_volume, vad_profile
from bluster.radar.synthetic import synthetic_volume
from util import THREAD_COUNTS, assert_thread_invariant, same_bits

DEGREE = conversion_factor("degree", "radian")


def through_vad(velocity, azimuth, scale, cos_el, min_gates, min_spread, n_threads=1):
    """_bluster.vad as bluster.vad calls it on a sweep: rings = gates, each with every ray's
    azimuth in radians (NumPy's multiply by the factor), one cosine per ring."""
    velocity = np.asarray(velocity, dtype=np.float64)
    radians = np.asarray(azimuth, dtype=np.float64)
    radians = radians if scale == 1.0 else radians * scale
    rings = np.ascontiguousarray(velocity.T)
    az = np.ascontiguousarray(np.broadcast_to(radians, rings.shape))
    cos_el = np.full(rings.shape[0], cos_el)
    return _bluster.vad(rings, az, cos_el, min_gates, min_spread, n_threads)


@st.composite
def sweeps(draw):
    """A sweep of a wind with noise, some of its gates and azimuths missing (NaN, +-inf), whole
    gates empty or full; odd and even gate counts, one gate, no ray."""
    rays = draw(st.sampled_from([0, 1, 2, 3, 7, 36, 90]))
    gates = draw(st.integers(1, 20))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    degrees = draw(st.booleans())
    az = np.sort(rng.uniform(0.0, 360.0, rays)) if degrees else rng.uniform(-7.0, 7.0, rays)
    a = np.deg2rad(az) if degrees else az
    vr = rng.uniform(-30, 30) * np.sin(a)[:, None] + rng.uniform(-30, 30) * np.cos(a)[:, None]
    vr = vr + 0.3 * np.cos(2 * a)[:, None] + rng.normal(0.0, 1.5, (rays, gates))
    missing = draw(st.sampled_from([0.0, 0.05, 0.5]))
    vr[rng.random(vr.shape) < missing] = math.nan
    if gates > 1 and draw(st.booleans()):
        vr[:, rng.integers(gates)] = math.nan  # an empty ring beside full ones
    if rays and draw(st.booleans()):
        bad = rng.random(rays) < 0.1
        az[bad] = rng.choice([math.nan, math.inf, -math.inf], bad.sum())
    if draw(st.booleans()):
        vr[rng.random(vr.shape) < 0.02] = rng.choice([math.inf, -math.inf])
    return {
        "velocity": vr,
        "azimuth": az,
        "scale": DEGREE if degrees else 1.0,
        "cos_el": draw(st.sampled_from([1.0, 0.98, 0.5, math.nan])),
        "min_gates": draw(st.sampled_from([0, 3, 10, 30])),
        "min_spread": draw(st.sampled_from([0.0, 0.1, 0.2, math.nan])),
    }


@settings(max_examples=150, deadline=None, database=None)
@given(sweep=sweeps(), n_threads=st.sampled_from([1, 2]))
def test_same_bits_as_vad_on_the_transposed_sweep(sweep, n_threads):
    args = (sweep["velocity"], sweep["azimuth"], sweep["scale"], sweep["cos_el"])
    limits = (sweep["min_gates"], sweep["min_spread"])
    out = _wind.vad_sweep(*args, *limits, n_threads)
    assert same_bits(out, through_vad(*args, *limits))


@pytest.mark.parametrize("gates", [1, 127, 128, 300])
@pytest.mark.parametrize("missing", [0.0, 0.001, 0.3])
def test_thread_counts_and_blocks_of_gates(gates, missing):
    """Blocks of 64 gates: a sweep whose last block is short or a single ring, run by every
    thread count, against the core; every ring whole (eight at a time through the whole-ring
    passes), a few rings with a gap among whole ones, and most rings with gaps."""
    rng = np.random.default_rng(gates)
    az = np.sort(rng.uniform(0.0, 360.0, 360))
    a = np.deg2rad(az)[:, None]
    vr = 8.0 * np.sin(a) - 5.0 * np.cos(a) + rng.normal(0.0, 2.0, (360, gates))
    vr[rng.random(vr.shape) < missing] = math.nan
    out = assert_thread_invariant(
        lambda n: _wind.vad_sweep(vr, az, DEGREE, 0.9, 30, 0.1, n), THREAD_COUNTS
    )
    assert same_bits(out, through_vad(vr, az, DEGREE, 0.9, 30, 0.1))


def test_layouts_of_the_arguments_are_converted():
    """A Fortran-order float32 sweep and integer azimuths are read as their float64 values."""
    rng = np.random.default_rng(3)
    az = np.arange(0, 360, 2)
    vr = np.asfortranarray(rng.normal(0.0, 10.0, (180, 5)).astype(np.float32))
    out = _wind.vad_sweep(vr, az, DEGREE, 1.0, 3, 0.1)
    assert same_bits(out, through_vad(vr.astype(np.float64), az, DEGREE, 1.0, 3, 0.1))


@pytest.mark.parametrize(
    "args, message",
    [
        (([1.0, 2.0], [0.0, 1.0], 1.0), "velocity must be 2-D (rays, gates)"),
        (([[1.0, 2.0]], [0.0, 1.0], 1.0), "azimuth must be 1-D with one value per ray"),
        (([[1.0, 2.0]], [[0.0]], 1.0), "azimuth must be 1-D with one value per ray"),
        (([[1.0, 2.0]], [0.0], 0.0), "azimuth_scale must be positive and finite"),
        (([[1.0, 2.0]], [0.0], math.nan), "azimuth_scale must be positive and finite"),
        (([[1.0, 2.0]], [0.0], math.inf), "azimuth_scale must be positive and finite"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(ValueError, match=f"^{message.replace('(', '.').replace(')', '.')}$"):
        _wind.vad_sweep(*args, 1.0, 3, 0.1)


def test_empty_sweeps():
    assert _wind.vad_sweep(np.empty((5, 0)), np.zeros(5), 1.0, 1.0, 3, 0.1).shape == (8, 0)
    out = _wind.vad_sweep(np.empty((0, 3)), np.empty(0), 1.0, 1.0, 3, 0.1)
    assert same_bits(out, through_vad(np.empty((0, 3)), np.empty(0), 1.0, 1.0, 3, 0.1))


def patchy_volume():
    """The synthetic volume (a sheared wind in every gate, 201 gates) with echo in patches:
    rings empty, partly filled and full side by side."""
    tree = synthetic_volume(n_rays=360, n_gates=201)
    rng = np.random.default_rng(7)
    children = {}
    for name in tree.children:
        sweep = tree[name].to_dataset()
        blocks = rng.random((360 // 8, 201 // 3 + 1)) < 0.6
        echo = np.repeat(np.repeat(blocks, 8, axis=0), 3, axis=1)[:, :201]
        sweep["VRADH"] = sweep["VRADH"].where(echo)
        children[name] = sweep
    return open_volume(xr.DataTree.from_dict({"/": tree.to_dataset(), **children}))


@pytest.mark.parametrize("sweeps, n_threads", [(None, 2), ([1, 3], 1)])
def test_vad_profile_rings_are_bluster_vad_of_each_sweep(sweeps, n_threads):
    """The rings of vad_profile: the same bits as bluster.vad of each sweep's velocities
    (rings = gates), as vad_profile computed them before."""
    tree = patchy_volume()
    _, rings = vad_profile(tree, rings=True, sweeps=sweeps, n_threads=n_threads)
    names = list(tree.children)
    used = [names[i] for i in sweeps] if sweeps else names
    assert list(rings["sweep"].values) == used
    for name in used:
        sweep = tree[name].to_dataset()
        velocity = sweep["VRADH"].transpose("azimuth", "range").values
        expected = bluster.vad(
            np.ascontiguousarray(velocity.T),
            sweep["azimuth"].values,
            float(np.nanmean(sweep["elevation"].values)),
            n_threads=1,
        )
        for variable, values in expected.data_vars.items():
            assert same_bits(rings[variable].sel(sweep=name).values, values.values), variable
