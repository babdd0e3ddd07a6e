"""bluster.radar: truths recovered from synthetic volumes written by xradar's own writers, the
real KLOT volume through Py-ART, and the error paths."""

import os

import numpy as np
import pytest
import xarray as xr

import bluster

xradar = pytest.importorskip("xradar", reason="bluster.radar needs the radar extra (xradar)")

from bluster.radar import (  # noqa: E402
    AliasedVelocityWarning,
    calibration,
    open_volume,
    storm_environment,
    synthetic,
    system_phase,
    vad_profile,
    z_bias,
    zdr_offset,
)
from bluster.radar.quality import FLAGS  # noqa: E402
from bluster.radar.synthetic import sheared_wind, synthetic_volume  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")  # xradar's ODIM time notes

TRUTH = {"system_phase": -3.0, "zdr_offset": 0.3, "z_bias": 1.7}
ELEVATIONS = (0.5, 1.5, 3.0, 6.0)
BIN = 100.0


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """The synthetic volume as ODIM_H5 and CfRadial2 files."""
    tree = synthetic_volume(ELEVATIONS, n_rays=360, n_gates=160)
    folder = tmp_path_factory.mktemp("volumes")
    odim, cfradial2 = folder / "volume.h5", folder / "volume.nc"
    xradar.io.to_odim(tree, odim, source="NOD:synth")
    xradar.io.to_cfradial2(tree, cfradial2)
    return {"odim": odim, "cfradial2": cfradial2}


@pytest.fixture(scope="module", params=["odim", "cfradial2"])
def volume(request, written):
    return open_volume(written[request.param])


def true_heights(sweep):
    """Beam heights from xradar's georeferencing (its own 4/3-Earth implementation)."""
    # float64 angles and ranges: ODIM stores them as float32, which xradar's formula keeps
    r, el = np.meshgrid(sweep["range"].values.astype(float), sweep["elevation"].values)
    _, _, z = xradar.georeference.antenna_to_cartesian(r, 0.0 * r, el, site_altitude=0.0)
    return z[0]


def test_volume_identity(volume):
    assert volume.attrs["site"] == "synth"
    assert volume.attrs["start_time"] == "2024-05-01T12:00:00Z"
    assert [volume[n].ds.sizes["azimuth"] for n in volume.children] == [360] * 4


def test_files_of_one_sweep_each(tmp_path):
    paths = []
    for i, el in enumerate((1.5, 0.5)):
        paths.append(tmp_path / f"sweep_{i}.h5")
        xradar.io.to_odim(synthetic_volume((el,), n_rays=90, n_gates=40), paths[-1], source="NOD:x")
    volume = open_volume(paths)
    elevations = [float(volume[n].ds.elevation.mean()) for n in volume.children]
    assert sorted(elevations) == [0.5, 1.5] and volume.attrs["site"] == "x"


def test_sheared_wind_profile(volume):
    """Every ring recovers the wind at its height (noise-free data, float64 written exactly,
    heights from xradar's geometry): 1e-9 m/s. The profile is a count-weighted mean over rings
    within a 100 m bin of a wind linear in height, so it may differ from the truth at the bin
    centre by the shear times half a bin: 0.004 s-1 x 50 m = 0.2 m/s."""
    profile, rings = vad_profile(volume, heights=np.arange(0.0, 4001.0, BIN), rings=True)
    for name in volume.children:
        u, v = sheared_wind(true_heights(volume[name].ds))
        ring = rings.sel(sweep=name).dropna("range", subset=["u"])
        np.testing.assert_allclose(ring.u, u[: ring.sizes["range"]], rtol=0, atol=1e-9)
        np.testing.assert_allclose(ring.v, v[: ring.sizes["range"]], rtol=0, atol=1e-9)
    filled = profile.dropna("height", subset=["u"])
    assert filled.sizes["height"] >= 30
    u, v = sheared_wind(filled.height.values)
    np.testing.assert_allclose(filled.u, u, atol=0.004 * BIN / 2)
    np.testing.assert_allclose(filled.v, v, atol=0.002 * BIN / 2)
    direction = np.rad2deg(np.arctan2(-filled.u, -filled.v)) % 360
    np.testing.assert_allclose(filled.wind_direction, direction, atol=1e-9)
    assert profile.time == np.datetime64("2024-05-01T12:00:00") and profile.site == "synth"


def test_calibration_truths(volume):
    """Noise-free truths, written exactly: recovered to 1e-9 (phase: degrees, others: dB).
    The phase pattern straddles 0/360 (354.5 to 1.5 degrees); a linear mean would be 183.
    The light-rain ZDR follows the S-band table at each sweep's elevation, the rain KDP the
    S-band self-consistency table at the true reflectivity."""
    phase = system_phase(volume)
    assert abs(float(phase.system_phase) - TRUTH["system_phase"]) < 1e-9
    assert int(phase.n_rays) == 4 * 360
    offset = zdr_offset(volume, band="S")
    np.testing.assert_allclose(offset.offset, TRUTH["zdr_offset"], atol=1e-9)
    assert abs(float(offset.zdr_offset) - TRUTH["zdr_offset"]) < 1e-9
    bias = z_bias(volume, band="S", zdr_offset=TRUTH["zdr_offset"])
    assert abs(float(bias.z_bias) - TRUTH["z_bias"]) < 1e-9
    row = calibration(volume, band="S")
    assert row.sizes == {"time": 1} and row.site.values.tolist() == ["synth"]
    for name, truth in TRUTH.items():
        assert abs(float(row[name][0]) - truth) < 1e-9, name
    assert int(row.zdr_offset_count[0]) == int(offset["count"].sum())


def test_birdbath_offset():
    tree = synthetic_volume((0.5, 90.0), n_rays=90, n_gates=40, zdr_offset=-0.2)
    offset = zdr_offset(tree, method="vertical", z_min=20.0, z_max=30.0)
    assert offset.sweep.values.tolist() == ["sweep_1"]
    # at vertical incidence the light-rain ZDR is 0 dB: only the offset remains
    assert abs(float(offset.zdr_offset) + 0.2) < 1e-9


@pytest.fixture(scope="module")
def veering(tmp_path_factory):
    """The VAD profile of a volume whose wind veers through a quarter circle over 0-3 km,
    written to ODIM_H5; sweeps up to 20 degrees reach 6.9 km within 20 km of the radar."""
    tree = synthetic_volume(
        (0.5, 2.0, 5.0, 10.0, 20.0), n_rays=72, n_gates=80, wind=synthetic.veering_wind
    )
    path = tmp_path_factory.mktemp("veering") / "volume.h5"
    xradar.io.to_odim(tree, path, source="NOD:synth")
    return vad_profile(open_volume(path))


def veering_truth(top, motion):
    """The helicity of the veering wind over 0 to ``top`` m (top <= 3 km) about ``motion``:
    R**2 times the turn about the circle's centre C, plus (c - C) x (the layer's shear), as
    H(c) = H(0) + c_u dv - c_v du."""
    radius, (cu, cv) = synthetic.VEERING_RADIUS, synthetic.VEERING_CENTRE
    (u0, u1), (v0, v1) = synthetic.veering_wind(np.array([0.0, top]))
    about_centre = radius**2 * 0.5 * np.pi * top / synthetic.VEERING_DEPTH
    return about_centre + (motion[0] - cu) * (v1 - v0) - (motion[1] - cv) * (u1 - u0)


@pytest.mark.parametrize("given", [True, False], ids=["given motion", "right mover"])
def test_environment_recovers_the_helicity_of_a_veering_wind(veering, given):
    """Within 10 %: the profile's lowest bin (0-100 m) stands for the wind at the antenna,
    which misses the turn below the bin's centre (5 % of the 0-1 km helicity). The right
    mover is the Bunkers motion of the true wind on a 1 m grid, recovered within 0.1 m/s."""
    z = np.arange(0.0, 7001.0)
    truth = bluster.storm_motion(z, *synthetic.veering_wind(z))
    right = truth.storm_u_right.item(), truth.storm_v_right.item()
    if given:
        motion = synthetic.VEERING_CENTRE
        env = storm_environment(veering, storm_u=motion[0], storm_v=motion[1])
    else:
        env = storm_environment(veering)
        found = env.storm_u_right.item(), env.storm_v_right.item()
        assert np.hypot(found[0] - right[0], found[1] - right[1]) < 0.1
        motion = right  # the known helicity: about the true right mover
    for top in (1000.0, 3000.0):
        expected = veering_truth(top, motion)
        got = env[f"helicity_0_{top / 1000:g}km"].item()
        assert abs(got - expected) < 0.1 * abs(expected), (top, got, expected)
    assert env.time == np.datetime64("2024-05-01T12:00:00") and env.site == "synth"


def test_environment_where_the_profile_does_not_reach(veering):
    """A profile cut at 2.5 km: 0-1 km shear, no 0-3 km shear, no Bunkers motion and so no
    helicity without a given motion. Bins from 300 m up: no wind at the antenna, all NaN
    unless a surface wind is given. The time series of ``bluster vad``: one row per time."""
    low = veering.where(veering.height < 2500.0)
    env = storm_environment(low)
    assert np.isfinite(env.shear_0_1km) and np.isnan(env.shear_0_3km)
    assert np.isnan(env.storm_u_right) and np.isnan(env.helicity_0_1km)
    raised = veering.isel(height=slice(3, None))
    blank = storm_environment(raised)
    assert all(np.isnan(blank[n]) for n in blank.data_vars)
    surface = synthetic.veering_wind(np.array([0.0]))
    at_antenna = storm_environment(raised, surface_wind=[float(w[0]) for w in surface])
    assert np.isfinite(at_antenna.helicity_0_3km)
    series = xr.concat([veering, low], "time")
    rows = storm_environment(series)
    assert rows.shear_0_1km.dims == ("time",) and np.isnan(rows.shear_0_3km[1])
    with pytest.raises(TypeError, match="min_gates given with a wind profile"):
        storm_environment(veering, min_gates=10)


@pytest.fixture(scope="module")
def klot():
    pyart = pytest.importorskip("pyart", reason="the KLOT volume ships with arm-pyart")
    path = os.path.join(os.path.dirname(pyart.testing.__file__), "data")
    return pyart.io.read_nexrad_archive(os.path.join(path, "example_nexrad_archive_msg1.bz2"))


def least_squares(vr, az_deg, el_deg):
    """u, v of vr = c + a sin(az) + b cos(az) per ring (rows), by numpy.linalg.lstsq."""
    u, v = np.full(vr.shape[0], np.nan), np.full(vr.shape[0], np.nan)
    a = np.deg2rad(az_deg)
    for i, ring in enumerate(vr):
        ok = np.isfinite(ring)
        design = np.stack([np.ones(ok.sum()), np.sin(a[ok]), np.cos(a[ok])], axis=1)
        coef = np.linalg.lstsq(design, ring[ok], rcond=None)[0]
        u[i], v[i] = coef[1:] / np.cos(np.deg2rad(el_deg))
    return u, v


def test_klot_rings_and_profile(klot):
    """The real KLOT volume (legacy Level II, read by Py-ART): every ring counts its valid
    samples, every accepted ring equals an independent least-squares fit to 1e-9; the profile
    has a value in every height bin holding an accepted ring, and only there."""
    with pytest.warns(AliasedVelocityWarning, match="sweep_1 .9.0 m/s against 28.3 m/s"):
        profile, rings = vad_profile(klot, rings=True)
    assert int(profile.aliasing_suspected) == 1
    velocity = np.ma.filled(klot.fields["velocity"]["data"].astype(np.float64), np.nan)
    checked = 0
    # the surveillance sweeps (0 and 2) measure no velocity and are skipped
    skipped = "sweep_0: no velocity moment; sweep_2: no velocity moment"
    assert rings.attrs["sweeps_skipped"] == skipped
    for name in rings.sweep.values:
        i = int(name.removeprefix("sweep_"))
        rays = klot.get_slice(i)
        ring = rings.sel(sweep=name)
        np.testing.assert_array_equal(ring["count"], np.isfinite(velocity[rays]).sum(axis=0))
        accepted = np.flatnonzero(np.isfinite(ring.u.values))
        el = float(np.mean(klot.elevation["data"][rays]))
        u, v = least_squares(velocity[rays].T[accepted], klot.azimuth["data"][rays], el)
        np.testing.assert_allclose(ring.u.values[accepted], u, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(ring.v.values[accepted], v, rtol=1e-9, atol=1e-9)
        checked += accepted.size
    assert checked > 100
    heights = rings.height.values[np.isfinite(rings.u.values)]
    holding = np.unique(np.floor(heights / BIN).astype(int))
    holding = holding[(holding >= 0) & (holding < profile.sizes["height"])]
    finite = np.flatnonzero(np.isfinite(profile.u.values))
    np.testing.assert_array_equal(finite, holding)
    assert np.all(profile.n_rings.values[finite] > 0)


def ppi(el, n_rays=360, n_gates=20, **moments):
    az = (np.arange(n_rays) + 0.5) * 360.0 / n_rays
    return xr.Dataset(
        {k: (("azimuth", "range"), np.broadcast_to(v, (n_rays, n_gates)), {"units": u})
         for k, (v, u) in moments.items()},
        coords={"azimuth": az, "range": 500.0 + 250.0 * np.arange(n_gates),
                "elevation": ("azimuth", np.full(n_rays, el))},
    )  # fmt: skip


def uniform_wind(n_rays, el, units="m/s", factor=1.0):
    a = np.deg2rad((np.arange(n_rays) + 0.5) * 360.0 / n_rays)[:, None]
    return ((6.0 * np.sin(a) - 4.0 * np.cos(a)) * np.cos(np.deg2rad(el)) * factor, units)


@pytest.mark.parametrize(
    "sweeps, unit_factor",
    [
        ({"sweep_0": ppi(0.5, 360, VRADH=uniform_wind(360, 0.5)),
          "sweep_1": ppi(2.0, 720, VRADH=uniform_wind(720, 2.0))}, 1.0),
        ({"sweep_0": ppi(1.0, velocity=uniform_wind(360, 1.0, "knots", 3600 / 1852))}, 1.0),
    ],
    ids=["sweeps of 360 and 720 rays", "velocity in knots"],
)  # fmt: skip
def test_volumes_handled_sweep_by_sweep(sweeps, unit_factor):
    profile = vad_profile(xr.DataTree.from_dict(sweeps))
    filled = profile.dropna("height", subset=["u"])
    np.testing.assert_allclose(filled.u, 6.0 * unit_factor, atol=1e-6)
    np.testing.assert_allclose(filled.v, -4.0 * unit_factor, atol=1e-6)


@pytest.fixture(scope="module")
def bad_files(written, tmp_path_factory):
    folder = tmp_path_factory.mktemp("bad")
    text = folder / "notes.h5"
    text.write_text("not a radar volume\n" * 100)
    truncated = folder / "truncated.h5"
    truncated.write_bytes(written["odim"].read_bytes()[:20000])
    return {"text": text, "truncated": truncated}


@pytest.mark.parametrize("units", ["", "1", "dB", "count", "percent"])
def test_angles_need_angle_units(units):
    """pint takes a radian as a plain number: a PhiDP of 10 in units "1" would be 573
    degrees. Units that name no angle are refused; no units at all means degrees."""
    phase = np.full((360, 1), 10.0)
    assert float(system_phase(_tree(PHIDP=(phase, None))).system_phase) == pytest.approx(10.0)
    with pytest.raises(ValueError, match=f"units {units!r} cannot be taken as phidp"):
        system_phase(_tree(PHIDP=(phase, units)))


def test_pyart_radar_from_cfradial(pyart_data):
    """Py-ART's CfRadial reader gives masked character arrays (sweep_mode)."""
    pyart = pytest.importorskip("pyart")
    path = pyart_data / "example_cfradial_ppi.nc"
    volume = open_volume(pyart.io.read(str(path)))
    assert volume["sweep_0"].ds.sweep_mode.item() == "azimuth_surveillance"
    # the same gates as xradar reads them (which sorts the rays by azimuth)
    name = "reflectivity_horizontal"
    xradar_sweep = open_volume(path)["sweep_0"].ds.sortby("azimuth")
    pyart_sweep = volume["sweep_0"].ds.sortby("azimuth")
    np.testing.assert_allclose(pyart_sweep[name], xradar_sweep[name].values, atol=1e-4)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: open_volume(f["text"]), "not a readable radar volume"),
        (lambda f: open_volume(f["truncated"]), "not a readable radar volume"),
        (lambda f: open_volume(f["truncated"], engine="odim"),
         "could not read .*engine 'odim'.*truncated"),
        (lambda f: open_volume(f["text"], engine="pyart"), "could not read .* with Py-ART"),
        (lambda f: open_volume(42), "source: expected a file path"),
        (lambda f: zdr_offset(_tree(VRADH=uniform_wind(360, 0.5)), band="S"),
         r"no sweep has the zdr and reflectivity moments it needs \(sweep_0: no zdr or "
         r"reflectivity moment\)\. In sweep_0, looked for ZDR, .*; its moments are VRADH"),
        (lambda f: vad_profile(_tree(VRADH=uniform_wind(360, 0.5)), moments={"velocity": "V"}),
         r"no velocity moment\)\. In sweep_0, looked for 'V'"),
        (lambda f: vad_profile(_tree(VRADH=(np.zeros((360, 1)), "dBZ"))),
         "units 'dBZ' cannot be taken as velocity"),
        (lambda f: vad_profile(_tree(drop="elevation")), "sweep_0 has no elevation angles"),
        (lambda f: vad_profile(_tree(mode="rhi")),
         "vad_profile needs a PPI sweep; the volume has sweep_0: RHI sweep"),
        (lambda f: zdr_offset(_tree()), "needs the expected ZDR of light rain: band="),
        (lambda f: zdr_offset(_tree(), band="Ku"), "no default light-rain ZDR table"),
        (lambda f: z_bias(_tree(), band="L"), "no default self-consistency table"),
        (lambda f: zdr_offset(_tree(), method="vertical"), "needs a vertically pointing sweep"),
        (lambda f: vad_profile(_tree(), moments={"speed": "V"}), "moments: unknown quantity"),
        (lambda f: vad_profile(_tree(azimuth_units="1")),
         r"sweep_0/azimuth: units '1' cannot be taken as azimuth \(expected degree\)"),
        (lambda f: vad_profile(_tree(el=-90.0)),
         "vad_profile: sweep_0 has an elevation of -90 degrees, outside -2 to 90 degrees"),
    ],
    ids=[
        "not radar data", "truncated", "truncated, engine named", "not radar data, Py-ART",
        "not a source", "missing moment", "named moment absent", "unit", "no elevation",
        "only RHI", "no table", "band without default", "band without default (Z)",
        "no birdbath", "unknown quantity", "azimuth not in an angle unit", "elevation -90",
    ],
)  # fmt: skip
def test_errors(bad_files, call, message):
    with pytest.raises((ValueError, TypeError), match=message):
        call(bad_files)


def _tree(mode="azimuth_surveillance", drop=None, el=0.5, azimuth_units=None, **moments):
    sweep = ppi(el, **(moments or {"VRADH": uniform_wind(360, 0.5)}))
    sweep["sweep_mode"] = mode
    if drop:
        sweep = sweep.drop_vars(drop)
    if azimuth_units is not None:
        sweep.azimuth.attrs["units"] = azimuth_units
    return xr.DataTree.from_dict({"sweep_0": sweep})


def test_split_cuts_each_number_uses_the_sweeps_with_its_moments():
    """NEXRAD's split cuts: the lowest elevation twice, once with the dual-polarisation
    moments (RhoHV in units '-', as formats write it), once with velocity; above, one sweep
    with all. Each result names the sweeps it used and those it skipped."""
    rhohv = np.where(np.arange(20) < 10, 0.99, 0.5)  # half the gates fail the 0.9 screen
    dualpol = {"DBZH": (25.0, "dBZ"), "ZDR": (0.5, "dB"), "PHIDP": (20.0, "degrees"),
               "RHOHV": (rhohv, "-")}  # fmt: skip
    tree = xr.DataTree.from_dict({
        "sweep_0": ppi(0.5, **dualpol),
        "sweep_1": ppi(0.5, VRADH=uniform_wind(360, 0.5)),
        "sweep_2": ppi(1.5, VRADH=uniform_wind(360, 1.5), **dualpol),
    })  # fmt: skip
    profile = vad_profile(tree)
    assert profile.attrs == {
        "sweeps_used": "sweep_1 sweep_2",
        "sweeps_skipped": "sweep_0: no velocity moment",
        "moments_used": "velocity=VRADH",
    }
    np.testing.assert_allclose(profile.dropna("height", subset=["u"]).u, 6.0, atol=1e-9)
    phase = system_phase(tree)
    assert phase.attrs["sweeps_used"] == "sweep_0 sweep_2"
    assert phase.attrs["sweeps_skipped"] == "sweep_1: no phidp moment"
    assert (phase.ray_count == 10).all() and abs(float(phase.system_phase) - 20.0) < 1e-9
    offset = zdr_offset(tree, band="S")
    assert offset.sweep.values.tolist() == ["sweep_0", "sweep_2"]
    assert offset.attrs["sweeps_skipped"] == "sweep_1: no zdr or reflectivity moment"
    # no KDP: estimated from the constant PhiDP, 0 deg/km, so no bin is accepted
    bias = z_bias(tree, band="S")
    assert bias.attrs["moments_used"] == "reflectivity=DBZH zdr=ZDR phidp=PHIDP"
    assert bias.attrs["kdp_source"].startswith("estimated from PhiDP (PHIDP)")
    assert np.isnan(bias.z_bias) and int(bias.z_bias_quality) == FLAGS.index("too_few_samples")
    with pytest.raises(ValueError, match="z_bias: no sweep has the reflectivity, zdr and kdp"):
        z_bias(tree, band="S", moments={"kdp": "KDP"})  # a named KDP is never estimated


def test_klot_through_the_default_reader(level2, klot):
    """The legacy Level II file, as an archive holds it: read by Py-ART (xradar misplaces the
    gates of message-1 files), the same profile as from Py-ART's own reading of the wheel's
    compressed file; its surveillance sweeps, without velocity, skipped."""
    with pytest.warns(AliasedVelocityWarning):
        from_file = vad_profile(level2["KLOT"])
        from_radar = vad_profile(klot)
    xr.testing.assert_identical(from_file, from_radar)
    assert int(from_file.n_rings.sum()) > 100


@pytest.mark.slow  # reading the 36 MB volume takes seconds
def test_katx_split_cuts_through_the_default_reader(level2):
    """KATX (message 31, xradar): velocity sweeps and dual-polarisation sweeps at the same
    elevations. Every gate holds one dummy code, so only the sweeps are checked, and that
    codes 0 and 1 (below threshold, range folded) are no values."""
    katx = open_volume(level2["KATX"])
    assert all(np.nanmin(katx[name].ds.VRADH) > -64.0 for name in ("sweep_1", "sweep_4"))
    assert vad_profile(katx).attrs["sweeps_skipped"] == (
        "sweep_0: no velocity moment; sweep_2: no velocity moment"
    )
    used = " ".join(f"sweep_{i}" for i in (0, 2, *range(4, 16)))
    for result in (system_phase(katx), zdr_offset(katx, band="S")):
        assert result.attrs["sweeps_used"] == used
        assert result.attrs["sweeps_skipped"].startswith("sweep_1: no ")


def test_korpo_profile_uses_the_dealiased_velocity(korpo):
    profile = vad_profile(korpo)
    assert profile.attrs["moments_used"] == "velocity=VRADDH"
    xr.testing.assert_identical(profile, vad_profile(korpo, moments={"velocity": "VRADDH"}))


@pytest.fixture(scope="module")
def folded(tmp_path_factory):
    """The synthetic volume's radial velocities (up to 5 m/s) written as ODIM_H5 with a
    Nyquist velocity (how/NI) of 2.5 m/s: folded into [-2.5, 2.5) as a radar would measure
    them, and as they are (what a dealiaser gives back)."""
    import h5py

    nyquist = 2.5
    tree = synthetic_volume((0.5, 2.0), n_rays=180, n_gates=80)
    folder = tmp_path_factory.mktemp("folded")
    paths = {}
    for name, fold in (("folded", True), ("dealiased", False)):
        sweeps = {}
        for key, node in tree.children.items():
            ds = node.to_dataset(inherit=False)
            if fold:
                ds["VRADH"] = (ds.VRADH + nyquist) % (2 * nyquist) - nyquist
            sweeps[key] = ds
        paths[name] = folder / f"{name}.h5"
        xradar.io.to_odim(
            xr.DataTree.from_dict({"/": tree.to_dataset(inherit=False), **sweeps}),
            paths[name],
            source="NOD:fold",
        )
        with h5py.File(paths[name], "r+") as file:
            for group in ("dataset1", "dataset2"):
                file[group].require_group("how").attrs["NI"] = nyquist
    return paths


def test_aliased_velocities_are_flagged(folded):
    with pytest.warns(AliasedVelocityWarning, match="fold at .* look aliased"):
        profile, rings = vad_profile(folded["folded"], rings=True)
    assert int(profile.aliasing_suspected) == 1
    np.testing.assert_array_equal(rings.nyquist_velocity, [2.5, 2.5])
    assert (rings.mean_rms > 0.3 * 2.5).all()
    dealiased = vad_profile(folded["dealiased"])
    assert int(dealiased.aliasing_suspected) == 0


def test_declared_size_counts_every_kind_of_dataset(tmp_path, monkeypatch):
    """The declared size of an HDF5 file is the elements times h5py's item size of every
    dataset, whatever its type (numbers, fixed and variable-length strings, compounds) and
    none for a dataset without a dataspace: a file one byte over the limit is refused."""
    h5py = pytest.importorskip("h5py")
    from bluster.radar import volume as volume_module

    path = tmp_path / "kinds.h5"
    with h5py.File(path, "w") as file:
        file.create_dataset("how/codes", (360, 500), "u2", chunks=(36, 500), compression="gzip")
        file.create_dataset("what/values", data=np.zeros((3, 7)))
        file["what/name"] = np.array([b"DBZH", b"VRADH"])
        file.create_dataset("what/notes", (4,), h5py.string_dtype())
        file.create_dataset("where/pairs", (5,), np.dtype([("a", "i1"), ("b", "f8")]))
        file["where/empty"] = h5py.Empty("f8")
    declared = 360 * 500 * 2 + 3 * 7 * 8 + 2 * 5 + 4 * h5py.string_dtype().itemsize + 5 * 9
    for limit, refused in ((declared, False), (declared - 1, True)):
        monkeypatch.setattr(volume_module, "MAX_VOLUME_BYTES", limit)
        if refused:
            with pytest.raises(ValueError, match=r"declares .* of data uncompressed"):
                volume_module._check_declared_size(path)
        else:
            volume_module._check_declared_size(path)
