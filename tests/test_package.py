"""The bluster package: the core's bits through every input path, labels, units, errors."""

import doctest
import importlib
import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pint
import pytest
import xarray as xr

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


def assert_well_formed(result):
    """The Dataset the package assembles directly is the one xarray's constructor builds."""
    rebuilt = xr.Dataset({k: v.variable for k, v in result.data_vars.items()}, result.coords)
    xr.testing.assert_identical(result, rebuilt)
    assert dict(result.sizes) == dict(rebuilt.sizes) and set(result.xindexes) == set(
        rebuilt.xindexes
    )


def assert_core_bits(result, expected):
    assert_well_formed(result)
    assert list(result.data_vars) == list(expected)
    for name, values in expected.items():
        assert same_bits(result[name].values, values), name
        assert {"units", "long_name"} <= set(result[name].attrs) or name.startswith("df_")


@pytest.mark.parametrize("name", sorted(core_cases()))
def test_numpy_input_gives_the_core_bits(name):
    call, expected = core_cases()[name]
    assert_core_bits(call(), expected)


def sweep(rng, naz=72, nr=40):
    """A PPI sweep as xradar gives it: dims (azimuth, range), units in attributes."""
    az = np.arange(naz) * (360.0 / naz) + 0.5
    vr = gaps(rng, 12.0 * np.sin(np.deg2rad(az) + 0.3)[:, None] + rng.normal(0, 1, (naz, nr)))
    return xr.Dataset(
        {
            "VRADH": (("azimuth", "range"), vr, {"units": "meters per second"}),
            "PHIDP": (("azimuth", "range"), rng.normal(40.0, 8.0, (naz, nr)), {"units": "degrees"}),
        },
        coords={
            "azimuth": ("azimuth", az, {"units": "degrees"}),
            "range": ("range", 250.0 * np.arange(nr), {"units": "meters"}),
        },
    )


@pytest.mark.parametrize("order", [("azimuth", "range"), ("range", "azimuth")])
def test_sweep_rings_are_range_gates_whatever_the_dim_order(order):
    ds = sweep(np.random.default_rng(1)).transpose(*order)
    wind = bluster.vad(ds.VRADH, ds.azimuth, 0.5 * UNITS.degree, min_gates=20)
    vr = ds.VRADH.transpose("range", "azimuth").values
    az = np.tile(np.deg2rad(ds.azimuth.values), (vr.shape[0], 1))
    core = _bluster.vad(vr, az, np.full(vr.shape[0], np.cos(np.deg2rad(0.5))), 20, 0.1)
    assert_well_formed(wind)
    assert wind.u.dims == ("range",) and wind.range.attrs["units"] == "meters"
    assert same_bits(wind.to_array().values, core)
    assert wind.u.attrs["standard_name"] == "eastward_wind"


def test_a_sweep_as_xradar_gives_it():
    """vad(sweep.VRADH, sweep.azimuth, sweep.elevation): one elevation per ray, constant
    within 0.1 degree, is the ring's elevation (its mean); velocity units as Py-ART writes
    them (a sweep whose elevation varies more: test_errors_name_the_argument)."""
    ds = sweep(np.random.default_rng(4))
    wobble = 0.04 * np.sin(np.deg2rad(ds.azimuth.values))
    ds = ds.assign_coords(elevation=("azimuth", 2.5 + wobble))
    ds["VRADH"].attrs["units"] = "meters_per_second"
    wind = bluster.vad(ds.VRADH, ds.azimuth, ds.elevation, min_gates=20)
    mean = float(ds.elevation.mean())
    reference = bluster.vad(ds.VRADH.values.T, ds.azimuth.values, mean, min_gates=20)
    assert same_bits(wind.to_array().values, reference.to_array().values)


@pytest.mark.parametrize(
    "temperature, pressure, warned",
    [
        (np.array([26.85, 10.0]), [100000.0, 85000.0], ["temperature", "dewpoint"]),
        (np.array([300.0, 283.15]), [1000.0, 850.0], ["pressure"]),
        (np.array([300.0, 283.15]), [100000.0, 85000.0], []),
        (UNITS.Quantity([26.85, 10.0], "K"), UNITS.Quantity([10.0, 8.5], "kPa"), []),
    ],
    ids=["degC as K", "hPa as Pa", "K and Pa", "quantities"],
)
def test_plain_numbers_that_look_like_degc_or_hpa_are_warned_about(temperature, pressure, warned):
    dewpoint = temperature * 0.9  # below the temperature, in the same units
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        bluster.thermo(temperature, pressure, dewpoint)
    named = [str(w.message).split(" has no units")[0] for w in caught]
    assert named == [f"thermo: {name}" for name in warned]


def test_rows_of_several_dims_are_flattened_and_restored():
    rng = np.random.default_rng(2)
    phidp = xr.DataArray(rng.normal(20.0, 30.0, (3, 4, 60)), dims=("time", "azimuth", "range"))
    phidp = phidp.assign_coords(time=[10, 20, 30])
    res = bluster.phidp_rays(phidp.transpose("range", "time", "azimuth"), min_count=2)
    core = _calibration.phidp_rays(
        phidp.values.reshape(12, 60), NONE, NONE, NONE, 0, 30, 0.9, 10.0, 2
    )
    assert res.system_phase.dims == ("time", "azimuth")
    assert same_bits(res.system_phase.transpose("time", "azimuth").values.ravel(), core[:, 0])
    assert list(res.time.values) == [10, 20, 30]


def test_several_sample_dims_make_one_row_per_sweep():
    rng = np.random.default_rng(3)
    zdr = xr.DataArray(rng.normal(0.3, 0.2, (2, 5, 8)), dims=("sweep", "azimuth", "range"))
    elevation = xr.DataArray([0.5, 1.5], dims="sweep")
    res = bluster.offset_stats(zdr, elevation=elevation, dim=("azimuth", "range"))
    core = _calibration.offset_stats(
        zdr.values.reshape(2, 40),
        NONE,
        NONE,
        NONE,
        NONE,
        elevation.values,
        [0.0],
        [0.0],
        np.nan,
        np.nan,
        0.97,
        10.0,
    )
    assert res.offset.dims == ("sweep",) and same_bits(res.offset.values, core[:, 1])


def test_units_are_converted_by_pint():
    t_c, p_hpa, td_c = np.array([26.85, -10.0]), np.array([1000.0, 500.0]), np.array([16.85, -20])
    by_quantity = bluster.thermo(
        UNITS.Quantity(t_c, "degC"), p_hpa * UNITS.hPa, UNITS.Quantity(td_c, "degC")
    )
    by_attribute = bluster.thermo(
        xr.DataArray(t_c, dims="x", attrs={"units": "degree_Celsius"}),
        xr.DataArray(p_hpa, dims="x", attrs={"units": "hPa"}),
        xr.DataArray(td_c, dims="x", attrs={"units": "degC"}),
    )
    expected = _bluster.thermo(
        UNITS.Quantity(t_c, "degC").to("K").m, p_hpa * 100.0, UNITS.Quantity(td_c, "degC").to("K").m
    )
    assert same_bits(by_quantity.to_array().values, expected)
    assert same_bits(by_attribute.to_array().values, expected)
    assert by_quantity.theta.values[0] == 300.0  # 26.85 degC at 1000 hPa


def test_units_known_without_pint_convert_as_pint_does():
    """The spellings converted without pint (the units of every volume) give pint's factor,
    and units outside them still go through pint."""
    from bluster import _inputs

    spellings = [text for texts in _inputs._SPELLINGS.values() for text in texts]
    known = 0
    for source in spellings:
        for target in spellings:
            factor = _inputs.known_scale(source, target)
            if factor is None:
                continue
            known += 1
            pint_factor = _inputs.unit_registry().Quantity(1.0, _inputs.parse_unit(source))
            assert factor == pint_factor.to(_inputs.parse_unit(target)).magnitude, (source, target)
    assert known > len(spellings)
    with pytest.raises(pint.DimensionalityError):  # a number is not taken as radians
        _inputs.conversion_factor("unitless", "radian")


# MetPy, then every unit-aware path of bluster, then MetPy again (or bluster first): MetPy's
# quantities live in pint's application registry, which bluster must leave alone.
METPY_BESIDE_BLUSTER = """
import sys
import numpy as np, pint, xarray as xr
from metpy.calc import potential_temperature
from metpy.units import units


def metpy_theta():
    return potential_temperature(850 * units.hPa, 10 * units.degC).m_as("K")


def bluster_calls():
    import bluster, bluster.radar
    in_hpa = xr.DataArray([850.0], dims="x", attrs={"units": "hPa"})
    by_attribute = bluster.thermo(283.15, in_hpa, 273.15).theta.item()
    by_metpy = bluster.thermo(10 * units.degC, 850 * units.hPa, 0 * units.degC).theta.item()
    default = pint.get_application_registry()
    by_pint = bluster.thermo(default.Quantity(10.0, "degC"), 85000.0, 273.15).theta.item()
    assert by_attribute == by_metpy == by_pint, (by_attribute, by_metpy, by_pint)
    return by_attribute


application = pint.get_application_registry().get()
if sys.argv[1] == "metpy first":
    first = metpy_theta()
    ours = bluster_calls()
else:
    ours = bluster_calls()
    first = metpy_theta()
assert metpy_theta() == first and abs(first - ours) < 0.1, (first, ours)
assert pint.get_application_registry().get() is application
"""


@pytest.mark.parametrize("order", ["metpy first", "bluster first"])
def test_metpy_works_beside_bluster(order):
    pytest.importorskip("metpy")
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(METPY_BESIDE_BLUSTER), order],
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stderr


def test_heights_in_km_and_layer_limits_as_quantities():
    z_km = np.array([[0.0, 1.0, 2.0, 3.0]])
    u, v = [[0.0, 10.0, 20.0, 20.0]], [[0.0, 0.0, 10.0, 20.0]]
    res = bluster.profile(
        z_km * UNITS.km, u, v, bottom=0.5 * UNITS.km, top=2500.0, storm_u=10.0, storm_v=5.0
    )
    assert res.helicity.item() == -125.0 and res.u_mean.item() == 14.375


def test_masked_values_are_missing():
    phidp = np.ma.masked_array([[50.0, 10.0, 12.0, 14.0]], mask=[[True, False, False, False]])
    res = bluster.phidp_rays(phidp, min_count=1)
    assert res["count"].item() == 3.0 and abs(res.system_phase.item() - 12.0) < 0.01
    t = np.ma.masked_array([300.0, 290.0], mask=[False, True])
    assert np.isnan(bluster.thermo(t, 1e5, 280.0).theta.values[1])


def test_gradient_uses_the_field_coordinates_and_their_units():
    rng = np.random.default_rng(4)
    f = xr.DataArray(
        rng.normal(280.0, 2.0, (6, 5)),
        dims=("y", "x"),
        coords={"y": ("y", np.arange(6.0), {"units": "km"}), "x": ("x", np.arange(5.0) * 2)},
        attrs={"units": "K"},
    )
    f.x.attrs["units"] = "km"
    res = bluster.gradient(f.T)
    core = _bluster.gradient(f.values[None], f.x.values, f.y.values)
    assert res.df_dx.dims == ("x", "y") and res.df_dx.attrs["units"] == "K km-1"
    assert same_bits(res.df_dx.T.values, core[0, 0]) and same_bits(res.df_dy.T.values, core[1, 0])


def call_error(call):
    with pytest.raises((TypeError, ValueError)) as info:
        call()
    return info.type, str(info.value)


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (
            lambda: bluster.vad(np.zeros((1840, 366)), np.zeros(360), 0.5),
            ValueError,
            "vad: azimuth has shape (360,), expected (rings, samples) = (1840, 366) "
            "or one azimuth per sample",
        ),
        (
            lambda: bluster.vad(np.zeros((4, 6)), np.zeros(6), [1.0, 2.0]),
            ValueError,
            "vad: elevation has shape (2,), expected a scalar or (rings,) = (4,)",
        ),
        (
            lambda: bluster.vad(sweep(np.random.default_rng(0)).VRADH, 0.0, 0.5, dim="az"),
            ValueError,
            "vad: velocity has dims ('azimuth', 'range'), expected a dimension 'az' (the "
            "samples); name the dimension of the samples with dim=",
        ),
        (
            lambda: bluster.vad(
                sweep(np.random.default_rng(0)).VRADH,
                np.zeros(72),
                xr.DataArray(np.linspace(0.5, 1.0, 72), dims="azimuth"),  # an RHI's
            ),
            ValueError,
            "vad: elevation varies by 0.5 degrees along 'azimuth'; expected one elevation per "
            "ring, or per-sample elevations within 0.1 degree of each other (a PPI sweep)",
        ),
        (
            lambda: bluster.thermo(xr.DataArray(np.zeros(3), dims="x"), np.zeros(4), 280.0),
            ValueError,
            "thermo: pressure has shape (4,), expected a scalar or dims ('x',) = (3,)",
        ),
        (
            lambda: bluster.thermo(
                xr.DataArray(np.zeros(3), dims="x"), xr.DataArray(np.zeros(4), dims="x"), 1.0
            ),
            ValueError,
            "thermo: pressure has 4 along 'x', expected 3 as temperature has",
        ),
        (
            lambda: bluster.gradient(np.zeros(4), np.zeros(4), np.zeros(1)),
            ValueError,
            "gradient: field has shape (4,), expected 2-D or more (fields..., y, x)",
        ),
        (
            lambda: bluster.gradient(np.zeros((3, 4)), np.zeros(3), np.zeros(3)),
            ValueError,
            "gradient: x has shape (3,), expected (x,) = (4,)",
        ),
        (
            lambda: bluster.gradient(np.zeros((3, 4))),
            TypeError,
            "gradient: x is None and field has no coordinate 'x'; expected the coordinate of "
            "each point along 'x'",
        ),
        (
            lambda: bluster.phidp_rays(None),
            TypeError,
            "phidp_rays: phidp is None, expected an array of numbers",
        ),
        (
            lambda: bluster.cold_pool("z", [[1.0]]),
            TypeError,
            "cold_pool: height is a string ('z'), expected an array of numbers",
        ),
        (
            lambda: bluster.profile(np.array([[object()]]), [[1.0]], [[1.0]], bottom=0, top=1),
            TypeError,
            "profile: height has dtype object, expected numbers (bool, int or float)",
        ),
        (
            lambda: bluster.consistency_stats(
                [[1.0]], [[1.0]], [[1.0]], table=([0, 1], [0, 1]), z_min=None
            ),
            TypeError,
            "consistency_stats: z_min is None, expected a number",
        ),
        (
            lambda: bluster.vad([[1.0]], [[1.0]], 0.0, min_gates=3.0),
            TypeError,
            "vad: min_gates is 3.0, expected an integer",
        ),
        (
            lambda: bluster.vad([[1.0]], [[1.0]], 0.0, min_gate=3),
            TypeError,
            "vad() got an unexpected keyword argument 'min_gate'. Did you mean 'min_gates'?",
        ),
        (
            lambda: bluster.thermo(UNITS.Quantity([1.0], "m"), 1e5, 280.0),
            ValueError,
            "thermo: temperature has units 'm', expected a unit convertible to K",
        ),
        (
            lambda: bluster.thermo(xr.DataArray([1.0], attrs={"units": "bananas"}), 1e5, 280.0),
            ValueError,
            "thermo: temperature has units 'bananas', which pint does not know; "
            "expected a unit convertible to K",
        ),
        (
            lambda: bluster.offset_stats([[1.0]], elevation=0.0, table=([1.0, 2.0], [0.0])),
            ValueError,
            "ref_z and ref_v must be 1-D with the same size",
        ),  # the core's message
        (
            lambda: bluster.offset_stats([[1.0]], elevation=0.0, table="rain"),
            TypeError,
            "offset_stats: table is 'rain', expected a number or a pair (ref_z, ref_v)",
        ),
        (
            lambda: bluster.offset_stats(xr.DataArray(0.3), elevation=0.5),
            ValueError,
            "offset_stats: zdr has shape (), expected 1-D or more (rows..., samples)",
        ),
        (
            lambda: bluster.consistency_stats(
                xr.DataArray(40.0), 1.0, 1.0, table=([0.0, 1.0], [-4.0, -4.0])
            ),
            ValueError,
            "consistency_stats: z has shape (), expected 1-D or more (rows..., samples)",
        ),
        (
            lambda: bluster.vad([[1.0]], xr.DataArray([1.0], attrs={"units": "1"}), 0.5),
            ValueError,
            "vad: azimuth has units '1', expected an angle unit convertible to radian",
        ),
        (
            lambda: bluster.vad([[1.0]], [[1.0]], UNITS.Quantity(0.5, "percent")),
            ValueError,
            "vad: elevation has units '%', expected an angle unit convertible to radian",
        ),
        (
            lambda: bluster.vad(np.zeros((2, 4)), np.zeros(4), [0.5, -90.0]),
            ValueError,
            "vad: elevation -90 degrees is outside -2 to 90 degrees; expected elevation "
            "angles in degrees (or with units saying otherwise)",
        ),
        (
            lambda: bluster.offset_stats([[0.2]], elevation=UNITS.Quantity(1.6, "rad")),
            ValueError,
            "offset_stats: elevation 91.6732 degrees is outside -2 to 90 degrees; expected "
            "elevation angles in degrees (or with units saying otherwise)",
        ),
    ],
)
def test_errors_name_the_argument(call, kind, message):
    assert call_error(call) == (kind, message)


@pytest.mark.parametrize(
    "module", ["environment", "kinematics", "polarimetry", "thermodynamics", "wind"]
)
def test_docstring_examples(module):
    result = doctest.testmod(importlib.import_module(f"bluster.{module}"))
    assert result.attempted > 0 and result.failed == 0


def test_every_function_is_documented_and_versioned():
    assert bluster.__version__ == importlib.metadata.version("bluster")
    for name in bluster.__all__[1:]:
        doc = getattr(bluster, name).__doc__
        for section in ("Parameters", "Returns", "Notes", "Examples"):
            assert f"\n{section}\n---" in inspect.cleandoc(doc), (name, section)
