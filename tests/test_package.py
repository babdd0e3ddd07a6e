"""The bluster package: the core's bits through every input path, labels, units, errors."""

import numpy as np
import pint
import pytest

import _bluster
import _calibration
import bluster
from util import same_bits

UNITS = pint.UnitRegistry()
NONE = np.empty(0)
THERMO = ("mixing_ratio", "theta", "theta_v", "theta_e")


def gaps(rng, values, fraction=0.1):
    values = np.array(values, dtype=np.float64)
    values[rng.random(values.shape) < fraction] = np.nan
    return values


def core_cases():
    """For each function: the package call on NumPy input and the core's result, as
    {variable: values}, on the arrays the package should hand the core."""
    rng = np.random.default_rng(5)
    t = rng.uniform(250.0, 310.0, (6, 7))
    p = rng.uniform(3e4, 1e5, (6, 7))
    td = gaps(rng, t - rng.uniform(0.0, 20.0, t.shape))
    z = np.sort(rng.uniform(0.0, 4000.0, (2, 3, 30)), axis=-1)
    b = gaps(rng, rng.normal(-0.01, 0.02, z.shape))
    u, v = gaps(rng, rng.normal(10.0, 5.0, z.shape)), rng.normal(5.0, 5.0, z.shape)
    f = gaps(rng, rng.normal(280.0, 3.0, (2, 9, 11)), 0.05)
    x, y = np.cumsum(rng.uniform(1.0, 2.0, 11)), np.cumsum(rng.uniform(1.0, 2.0, 9))
    az = np.arange(0.5, 360.0, 4.0)
    vr = gaps(rng, 10.0 * np.sin(np.deg2rad(az) + 1.0) + rng.normal(0.0, 1.0, (5, az.size)))
    el = rng.uniform(0.5, 20.0, 5)
    zdr = gaps(rng, rng.normal(0.4, 0.3, (4, 200)))
    dbz = rng.uniform(10.0, 55.0, zdr.shape)
    rhohv = rng.uniform(0.9, 1.0, zdr.shape)
    kdp = 10 ** (-3.8 - 0.35 * np.abs(zdr) + 0.1 * dbz)
    table = ([10.0, 20.0, 30.0, 40.0], [0.1, 0.25, 0.6, 1.3])
    gz = np.arange(0.0, 3.75, 0.25)
    glg = -3.8 - 0.35 * gz
    phidp = gaps(rng, rng.normal(30.0, 20.0, (4, 50)))
    rows = z.reshape(6, 30)
    nan3 = np.full(3, np.nan)

    def component_first(out, names, shape):
        return {n: out[k].reshape(shape) for k, n in enumerate(names)}

    def rows_first(out, names):
        return {n: out[:, k] for k, n in enumerate(names)}

    return {
        "thermo": (
            lambda: bluster.thermo(t, p, td),
            component_first(_bluster.thermo(t, p, td), THERMO, t.shape),
        ),
        "cold_pool": (
            lambda: bluster.cold_pool(z, b, threshold=0.005, bottom=[[0.0, 50.0, np.nan]]),
            component_first(
                _bluster.cold_pool(
                    rows, b.reshape(6, 30), np.tile([0.0, 50.0, np.nan], 2), 0.005, nan3.repeat(2)
                ),
                ("intensity", "depth", "open_top"),
                (2, 3),
            ),
        ),
        "profile": (
            lambda: bluster.profile(z, u, v, bottom=0.0, top=3000.0, storm_u=7.0, ground=10.0),
            component_first(
                _bluster.profile(
                    rows,
                    u.reshape(6, 30),
                    v.reshape(6, 30),
                    np.full(6, 10.0),
                    0.0,
                    3000.0,
                    np.full(6, 7.0),
                    np.zeros(6),
                ),
                ("u_bottom", "v_bottom", "u_top", "v_top", "helicity", "u_mean", "v_mean"),
                (2, 3),
            ),
        ),
        "gradient": (
            lambda: bluster.gradient(f, x, y),
            component_first(_bluster.gradient(f, x, y), ("df_dx", "df_dy"), f.shape),
        ),
        "vad": (
            lambda: bluster.vad(vr, az, el, min_gates=20, min_spread=0.05),
            component_first(
                _bluster.vad(vr, np.tile(np.deg2rad(az), (5, 1)), np.cos(np.deg2rad(el)), 20, 0.05),
                ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2"),
                (5,),
            ),
        ),
        "offset_stats": (
            lambda: bluster.offset_stats(
                zdr, elevation=2.0, dbz=dbz, rhohv=rhohv, table=table, z_min=15.0, z_max=45.0
            ),
            rows_first(
                _calibration.offset_stats(
                    zdr, dbz, rhohv, NONE, NONE, np.full(4, 2.0), *table, 15.0, 45.0, 0.97, 10.0
                ),
                ("count", "offset", "std", "median", "expected"),
            ),
        ),
        "consistency_stats": (
            lambda: bluster.consistency_stats(
                dbz, zdr, kdp, table=(gz, glg), rhohv=rhohv, min_bin_count=2, z_min=20.0
            ),
            rows_first(
                _calibration.consistency_stats(
                    dbz,
                    zdr,
                    kdp,
                    rhohv,
                    NONE,
                    NONE,
                    gz,
                    glg,
                    0.0,
                    20.0,
                    56.0,
                    1.0,
                    0.95,
                    10.0,
                    0.3,
                    2,
                ),
                ("count", "bins", "median", "bias", "std"),
            ),
        ),
        "phidp_rays": (
            lambda: bluster.phidp_rays(phidp, mask=phidp > 0.0, first_gate=2, min_count=3),
            rows_first(
                _calibration.phidp_rays(
                    phidp, NONE, NONE, (phidp > 0.0) * 1.0, 2, 30, 0.9, 10.0, 3
                ),
                ("system_phase", "count", "resultant_length"),
            ),
        ),
    }


def assert_core_bits(result, expected):
    assert list(result.data_vars) == list(expected)
    for name, values in expected.items():
        assert same_bits(result[name].values, values), name
        assert {"units", "long_name"} <= set(result[name].attrs) or name.startswith("df_")


@pytest.mark.parametrize("name", sorted(core_cases()))
def test_numpy_input_gives_the_core_bits(name):
    call, expected = core_cases()[name]
    assert_core_bits(call(), expected)
