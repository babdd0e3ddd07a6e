"""Storm environment: a hand-computed column, MetPy on a real sounding, the NaN rules, the
profile kernel's bits, labelled and lazy input."""

from pathlib import Path

import numpy as np
import pytest
import xarray as xr

import bluster
from util import same_bits

# A column whose numbers are worked out by hand. The 0-0.5 km mean wind is (0, 0) and the
# 5.5-6 km mean (15, 20): a shear of length 25, so the right mover deviates by 7.5 * (20, -15)
# / 25 = (6, -4.5) from the 0-6 km mean, whose trapezoids over the five layers sum to
# (55000, 75000) m2 s-1 over 6000 m. The 0-1 km helicity about the right mover
# (91/6, 8) is the single term of the segment from 500 m to 1000 m, 215/6; the segment to
# 3000 m adds 520/6.
Z = [0.0, 500.0, 1000.0, 3000.0, 5500.0, 6000.0]
U = [0.0, 0.0, 5.0, 10.0, 15.0, 15.0]
V = [0.0, 0.0, 5.0, 15.0, 20.0, 20.0]
HAND = {
    "storm_u_right": 55000 / 6000 + 6.0,
    "storm_v_right": 12.5 - 4.5,
    "storm_u_left": 55000 / 6000 - 6.0,
    "storm_v_left": 12.5 + 4.5,
    "u_mean_0_6km": 55000 / 6000,
    "v_mean_0_6km": 12.5,
    "u_shear_0_1km": 5.0,
    "v_shear_0_1km": 5.0,
    "shear_0_1km": np.sqrt(50.0),
    "shear_0_3km": np.sqrt(325.0),
    "shear_0_6km": 25.0,
    "helicity_0_1km": 215 / 6,
    "helicity_0_3km": 735 / 6,
}


def test_hand_computed_column():
    env = bluster.storm_environment([Z], [U], [V])
    for name, expected in HAND.items():
        np.testing.assert_allclose(env[name].item(), expected, rtol=1e-14, err_msg=name)
    motion = bluster.storm_motion(Z, U, V)
    shear = bluster.bulk_shear(Z, U, V, bottom=0.0, top=3000.0)
    for name in motion.data_vars:
        assert same_bits(motion[name].values, env[name].values[0]), name
    assert same_bits(shear.shear.values, env.shear_0_3km.values[0])
    assert env.helicity_0_1km.attrs["units"] == "m2 s-2"


def test_helicity_is_the_profile_kernels_about_the_motion():
    """The helicity is the profile call's, bit for bit, about the right mover or a given
    motion; a given motion changes nothing else."""
    rng = np.random.default_rng(3)
    z = np.cumsum(rng.uniform(100.0, 300.0, (40, 50)), axis=1)
    u = np.cumsum(rng.normal(1.0, 1.5, z.shape), axis=1)
    v = np.cumsum(rng.normal(0.5, 1.5, z.shape), axis=1)
    env = bluster.storm_environment(z, u, v)
    given = bluster.storm_environment(z, u, v, storm_u=rng.normal(8.0, 3.0, 40), storm_v=4.0)
    for res in (env, given):
        for top in (1000.0, 3000.0):
            layer = bluster.profile(
                z, u, v, bottom=0.0, top=top, storm_u=res.storm_u, storm_v=res.storm_v
            )
            assert same_bits(layer.helicity, res[f"helicity_0_{top / 1000:g}km"])
    assert same_bits(env.storm_u, env.storm_u_right)
    unchanged = [
        n for n in env.data_vars if n not in ("storm_u", "storm_v") and "helicity" not in n
    ]
    xr.testing.assert_identical(env[unchanged], given[unchanged])


def test_layers_the_data_do_not_reach_are_nan():
    z = np.array([[*Z[:4], np.nan, np.nan], Z, Z])  # the first column stops at 3 km
    u, v = np.array([U] * 3), np.array([V] * 3)
    ground = [np.nan, np.nan, -100.0]  # the third column's levels start above its ground
    env = bluster.storm_environment(z, u, v, ground=ground)
    got = {name: env[name].values for name in env.data_vars}
    assert np.isnan(got["storm_u_right"][0]) and np.isnan(got["shear_0_6km"][0])
    assert np.isnan(got["helicity_0_1km"][0])  # no Bunkers motion: no helicity
    assert got["shear_0_3km"][0] == np.sqrt(325.0) and got["shear_0_1km"][1] == np.sqrt(50.0)
    assert all(np.isnan(values[2]) for values in got.values())
    with_motion = bluster.storm_environment(z[:1], u[:1], v[:1], storm_u=10.0, storm_v=5.0)
    assert np.isfinite(with_motion.helicity_0_3km.item())
    calm = bluster.storm_motion(Z, np.full(6, 5.0), np.zeros(6))  # no shear: no direction
    assert np.isnan(calm.storm_u_right.item()) and calm.u_mean_0_6km.item() == 5.0


def test_labelled_lazy_and_with_units():
    """Heights in km through a DataArray's units, levels along a named dim, Dask chunks:
    the numbers of the NumPy call on metres."""
    pytest.importorskip("dask")
    rng = np.random.default_rng(8)
    z = np.cumsum(rng.uniform(100.0, 300.0, (6, 5, 40)), axis=-1)
    u, v = rng.normal(10.0, 5.0, z.shape), rng.normal(5.0, 5.0, z.shape)
    dims = ("y", "x", "height")
    km = xr.DataArray(z / 1000.0, dims=dims, attrs={"units": "km"}).chunk({"y": 2})
    lazy = bluster.storm_environment(km, xr.DataArray(u, dims=dims), v, dim="height")
    assert lazy.helicity_0_3km.chunks == ((2, 2, 2), (5,))
    eager = bluster.storm_environment(z, u, v)
    for name in eager.data_vars:
        np.testing.assert_allclose(lazy[name].values, eager[name].values, rtol=1e-12)


def test_a_storm_motion_needs_both_components():
    with pytest.raises(TypeError, match="storm_environment: storm_u is given alone"):
        bluster.storm_environment(Z, U, V, storm_u=3.0)


# --- MetPy on the ARM interpolated sonde (Lamont, Oklahoma, 10 May 2011, 10 profiles) ------


@pytest.fixture(scope="module")
def sonde():
    """Heights (m above sea level, on the 20 m grid: every layer limit is a level) and
    winds of the ten profiles, levels without data dropped."""
    pyart = pytest.importorskip("pyart")
    path = Path(pyart.__file__).parent / "testing" / "data" / "example_interpolatedsonde.cdf"
    with xr.open_dataset(path) as ds:
        height = np.round(ds["height"].values.astype(np.float64) * 1000.0, 3)
        speed = ds["wspd"].values.astype(np.float64)
        direction = np.deg2rad(ds["wdir"].values.astype(np.float64))
    speed[speed > 1e30] = np.nan  # the file's fill value, above 29.8 km
    u, v = -speed * np.sin(direction), -speed * np.cos(direction)
    keep = np.isfinite(u).all(axis=0)
    return height[keep], u[:, keep], v[:, keep]


def test_equal_to_metpy_on_a_real_sounding(sonde):
    """MetPy's bunkers_storm_motion, bulk_shear and storm_relative_helicity profile by
    profile, with a pressure that falls linearly with height: MetPy's mean wind, an integral
    over pressure, is then the height-weighted one of Bunkers et al. (2000); its winds at the
    layer limits, interpolated in log-pressure, are the levels' own."""
    mpcalc = pytest.importorskip("metpy.calc")
    from metpy.units import units

    height, u, v = sonde
    env = bluster.storm_environment(height, u, v)
    pressure = (1000.0 - 0.02 * (height - height[0])) * units.hPa  # 410 hPa at the top
    z = height * units.m
    for t in range(u.shape[0]):
        wind = u[t] * units("m/s"), v[t] * units("m/s")
        col = env.isel(column=t)
        right, left, mean = mpcalc.bunkers_storm_motion(pressure, *wind, z)
        for name, metpy in (("right", right), ("left", left)):
            got = [col[f"storm_u_{name}"], col[f"storm_v_{name}"]]
            np.testing.assert_allclose(got, metpy.m_as("m/s"), rtol=0, atol=1e-12)
        np.testing.assert_allclose(
            [col.u_mean_0_6km, col.v_mean_0_6km], mean.m_as("m/s"), rtol=0, atol=1e-12
        )
        for depth in (1000, 3000, 6000):
            metpy = mpcalc.bulk_shear(pressure, *wind, height=z, depth=depth * units.m)
            got = [col[f"{c}_shear_0_{depth // 1000}km"] for c in "uv"]
            np.testing.assert_allclose(got, [m.m_as("m/s") for m in metpy], rtol=0, atol=1e-12)
        motion = {k: col[k].item() * units("m/s") for k in ("storm_u", "storm_v")}
        for depth in (1000, 3000):
            *_, total = mpcalc.storm_relative_helicity(z, *wind, depth * units.m, **motion)
            got = col[f"helicity_0_{depth // 1000}km"].item()
            np.testing.assert_allclose(got, total.m_as("m^2/s^2"), rtol=1e-13)
    assert (env.helicity_0_1km > 300).all()  # the morning of a tornado outbreak


def test_metpy_mass_weighted_mean_differs(sonde):
    """With a hydrostatic pressure, MetPy's mean wind weights each layer by its mass: on this
    sounding its right mover lies 0.1 to 0.3 m s-1 from the height-weighted one."""
    mpcalc = pytest.importorskip("metpy.calc")
    from metpy.units import units

    height, u, v = sonde
    env = bluster.storm_environment(height, u, v)
    pressure = 1000.0 * np.exp(-(height - height[0]) / 8000.0) * units.hPa
    right, _, _ = mpcalc.bunkers_storm_motion(
        pressure, u[0] * units("m/s"), v[0] * units("m/s"), height * units.m
    )
    ours = np.array([env.storm_u_right[0], env.storm_v_right[0]])
    assert 0.1 < np.hypot(*(right.m_as("m/s") - ours)) < 0.3
