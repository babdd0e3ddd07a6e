"""Calibration numbers an operator can trust: truths recovered from synthetic storm volumes
written to ODIM_H5 by xradar (a melting layer with snow above it, a storm core attenuating the
rain behind it, a NEXRAD-like volume without KDP), KDP against the exact derivative of PhiDP,
the flags of every number, and the real files that once gave bare numbers."""

import numpy as np
import pytest
import xarray as xr

xradar = pytest.importorskip("xradar", reason="bluster.radar needs the radar extra (xradar)")

from bluster.radar import (  # noqa: E402
    calibration,
    kdp,
    open_volume,
    system_phase,
    z_bias,
    zdr_offset,
)
from bluster.radar.quality import FLAGS  # noqa: E402
from bluster.radar.synthetic import storm_truth, storm_volume, synthetic_volume  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")  # xradar's ODIM time notes

MELTING_LEVEL = 2000.0  # m above sea level


def flag(result, number):
    return FLAGS[int(result[f"{number}_quality"].squeeze())]


def written(tmp_path_factory, name, tree):
    path = tmp_path_factory.mktemp(name) / f"{name}.h5"
    xradar.io.to_odim(tree, path, source=f"NOD:{name}")
    return open_volume(path)


@pytest.fixture(scope="module")
def melting(tmp_path_factory):
    """S band, rain everywhere below a melting level of 2 km, snow above it: ZDR offset
    +0.4 dB, no reflectivity bias."""
    tree = storm_volume(
        band="S", core=False, melting_level=MELTING_LEVEL, zdr_offset=0.4, z_bias=0.0
    )
    return written(tmp_path_factory, "melting", tree)


@pytest.fixture(scope="module")
def storm(tmp_path_factory):
    """C band, a storm core from 15 to 30 km whose 40 degrees of PhiDP attenuate the rain
    behind it by 3 dB: Z bias -2 dB, ZDR offset +0.4 dB."""
    return written(tmp_path_factory, "storm", storm_volume(band="C", z_bias=-2.0))


def test_zdr_offset_below_the_melting_level(melting):
    """Snow above the melting level shows 0.15 dB where rain would show more: without a
    melting level the offset takes it in, and says so; with one, +0.4 dB within 0.05."""
    blind = zdr_offset(melting, band="S")
    assert flag(blind, "zdr_offset") == "no_melting_level_given"
    assert abs(float(blind.zdr_offset) - 0.4) > 0.05
    assert "no melting level given" in blind.zdr_offset_quality.attrs["reason"]
    screened = zdr_offset(melting, band="S", melting_level=MELTING_LEVEL)
    assert flag(screened, "zdr_offset") == "ok"
    assert abs(float(screened.zdr_offset) - 0.4) < 0.05
    assert int(screened.zdr_offset_categories) == 5
    assert int(screened.category_count.sum()) == int(screened.zdr_offset_count)
    assert "beam width 1 deg assumed" in screened.zdr_offset_quality.attrs["reason"]
    # the screen keeps the gates whose beam top is 1 km below the melting level
    kept = int(screened.zdr_offset_count)
    assert kept < int(zdr_offset(melting, band="S", melting_level=3500.0).zdr_offset_count)


def test_z_bias_before_the_attenuation_behind_a_storm_core(storm):
    """The band's default max_phidp_rise (6.25 degrees at C band) keeps the gates before the
    attenuation: -2 dB within 0.5 dB. Without it, the gates behind the core pull it off."""
    bias = z_bias(storm, band="C", zdr_offset=0.4, melting_level=5000.0)
    assert flag(bias, "z_bias") == "ok" and abs(float(bias.z_bias) + 2.0) < 0.5
    assert "at most 6.25 deg above the system phase" in bias.z_bias_quality.attrs["reason"]
    unscreened = z_bias(storm, band="C", zdr_offset=0.4, max_phidp_rise=1000.0)
    assert abs(float(unscreened.z_bias) + 2.0) > 0.5
    # too strict a screen for this volume: NaN, flagged as attenuated, not as a lack of rain
    strict = z_bias(storm, band="C", zdr_offset=0.4, max_phidp_rise=0.5)
    assert np.isnan(strict.z_bias) and flag(strict, "z_bias") == "attenuated"


def test_kdp_against_the_exact_derivative():
    """Without noise the 2 km least squares is within 0.1 deg/km of the exact KDP of the storm
    profile at every gate (it flattens the core's peak by 0.07). With PhiDP noise of 2 degrees
    the estimates scatter as least squares predicts and their mean is the noise-free one."""
    truth = storm_truth(band="C")
    clean = kdp(storm_volume((0.5,), band="C", n_rays=2, phidp_noise=0.0), system_phase=30.0)
    np.testing.assert_allclose(clean["sweep_0"]["kdp"].values, [truth["kdp"]] * 2, atol=0.1)
    noisy = kdp(storm_volume((0.5,), band="C", n_rays=720, seed=2), system_phase=30.0)
    estimates = noisy["sweep_0"]["kdp"].values
    offsets = np.arange(-4, 5) * 0.25  # km, of the 9 gates of a 2 km window
    predicted = 0.5 * 2.0 / np.sqrt(np.sum(offsets**2))  # deg/km
    spread = np.nanstd(estimates[:, 4:-4], axis=0)
    np.testing.assert_allclose(spread, predicted, rtol=0.15)
    error = np.nanmean(estimates, axis=0) - clean["sweep_0"]["kdp"].values[0]
    assert np.all(np.abs(error) < 4 * predicted / np.sqrt(720))
    assert noisy.attrs["window"] == 2.0 and noisy.attrs["sweeps_used"] == "sweep_0"


@pytest.fixture(scope="module")
def nexrad_like(tmp_path_factory):
    """S band as a NEXRAD Level II volume: no KDP, a system phase of 350 degrees."""
    tree = storm_volume(band="S", with_kdp=False, system_phase=350.0, z_bias=-2.0)
    return written(tmp_path_factory, "nexrad", tree)


def test_a_volume_without_kdp_gets_all_three_numbers(nexrad_like):
    row = calibration(nexrad_like, band="S", melting_level=5000.0)
    assert abs(float(row.system_phase[0]) + 10.0) < 0.5
    # the rain method reads the expected ZDR at the biased reflectivity: 2 dB of Z bias make
    # about 0.05 dB of ZDR offset (the table's slope)
    assert abs(float(row.zdr_offset[0]) - 0.4) < 0.1
    assert abs(float(row.z_bias[0]) + 2.0) < 0.5
    assert {flag(row, n) for n in ("system_phase", "zdr_offset", "z_bias")} == {"ok"}
    assert "KDP estimated from PhiDP (PHIDP)" in str(row.z_bias_reason.values[0])


@pytest.mark.parametrize("volume", ["storm", "nexrad_like"])
def test_calibration_row_is_the_three_functions_bit_for_bit(volume, request):
    """The row shares one system phase, one phase fit and one attenuation screen per sweep
    among its numbers: they are the bits of the functions called one by one, each finding
    its own (attenuation screens on; KDP of the file, or estimated from PhiDP)."""
    tree = request.getfixturevalue(volume)
    band = "C" if volume == "storm" else "S"
    row = calibration(tree, band=band, melting_level=5000.0, n_threads=1)
    offset = zdr_offset(tree, band=band, melting_level=5000.0, n_threads=1)
    bias = z_bias(
        tree, band=band, zdr_offset=float(offset.zdr_offset), melting_level=5000.0, n_threads=1
    )
    alone = {"system_phase": system_phase(tree, n_threads=1), "zdr_offset": offset}
    alone["z_bias"] = bias
    for number, result in alone.items():
        for name in (number, f"{number}_spread", f"{number}_quality"):
            assert row[name].values[0].tobytes() == result[name].values.tobytes(), name
        assert str(row[f"{number}_reason"].values[0]) == result[f"{number}_quality"].attrs["reason"]


def test_partial_rows_and_their_flags():
    """A volume without ZDR gives its system phase, and NaN flagged missing_moment for the
    ZDR offset and the Z bias with the remedy in Python and command-line words; one sweep of
    one ray gives NaN spreads; too few samples, or too few categories, give NaN."""
    tree = synthetic_volume((0.5,), n_rays=1, n_gates=200)
    row = calibration(tree, band="S")
    assert np.isfinite(row.system_phase[0]) and np.isnan(row.system_phase_spread[0])
    assert flag(row, "zdr_offset") == "too_few_samples" and np.isnan(row.zdr_offset[0])
    few = zdr_offset(synthetic_volume((0.5, 1.5), n_rays=36, n_gates=100), band="S")
    assert flag(few, "zdr_offset") == "too_few_samples"
    assert int(few.zdr_offset_count) > 0 and np.isnan(few.zdr_offset_median)
    categories = zdr_offset(
        synthetic_volume((0.5, 1.5), n_rays=36, n_gates=100), band="S",
        min_category_samples=400, min_categories=6,
    )  # fmt: skip
    assert flag(categories, "zdr_offset") == "too_few_categories"
    one = zdr_offset(synthetic_volume((0.5,), n_rays=360, n_gates=100), band="S")
    assert np.isfinite(one.zdr_offset) and np.isnan(one.zdr_offset_spread)
    no_zdr = xr.DataTree.from_dict(
        {n: tree[n].to_dataset().drop_vars("ZDR") for n in tree.children}
    )
    row = calibration(no_zdr, band="S")
    assert np.isfinite(row.system_phase[0])
    assert flag(row, "zdr_offset") == flag(row, "z_bias") == "missing_moment"
    reason = str(row.zdr_offset_reason.values[0])
    assert "moments={'zdr': NAME} (command line: --moment zdr=NAME)" in reason


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: zdr_offset(t, band="S", melting_level=2000.0), "does not state"),
        (lambda t: zdr_offset(t, band="S", max_range=-1.0), "max_range=-1.0, expected a pos"),
        (lambda t: z_bias(t, band="S", max_phidp_rise=0.0), "max_phidp_rise=0.0, expected"),
        (lambda t: calibration(t, band="Ku"), "no default light-rain ZDR table"),
    ],
    ids=["no altitude", "negative range", "zero rise", "band"],
)
def test_screen_errors(call, message):
    tree = synthetic_volume((0.5,), n_rays=10, n_gates=20)
    bare = xr.DataTree.from_dict(
        {n: tree[n].to_dataset().drop_vars("altitude") for n in tree.children}
    )
    with pytest.raises(ValueError, match=message):
        call(bare)


def test_real_katx_and_x_band_ray(pyart_data):
    """The real KATX sweep (S band, July, light-rain gates 150 to 210 km out) no longer gives
    +0.16 dB: too few samples per category. The X-band ray's Z bias (17 samples behind 22
    degrees of PhiDP rise) is NaN and flagged; without the screens it is the -8.7 dB of old."""
    katx = open_volume(pyart_data / "example_nexrad_archive_msg31_compressed.ar2v", engine="pyart")
    offset = zdr_offset(katx, band="S")
    assert np.isnan(offset.zdr_offset) and flag(offset, "zdr_offset") == "too_few_samples"
    assert int(offset.category_count.max()) < 1000 < int(offset.zdr_offset_count)
    phase = system_phase(katx)
    assert abs(float(phase.system_phase) - 32.4) < 0.5 and flag(phase, "system_phase") == "ok"
    ray = open_volume(pyart_data / "example_uf_ppi.uf", engine="pyart")
    bias = z_bias(ray, band="X")
    assert np.isnan(bias.z_bias) and flag(bias, "z_bias") == "too_few_samples"
    old = z_bias(ray, band="X", max_phidp_rise=1000.0, min_samples=1)
    assert int(old.z_bias_count) == 17 and abs(float(old.z_bias) + 8.7) < 0.05


def test_korpo_numbers_of_the_documentation(korpo):
    """FMI's Korpo volume (C band, August): the table of "Calibration in practice"."""
    volume = open_volume(korpo)
    loose = {"max_phidp_rise": 1000.0}
    lifted = {"min_category_samples": 1, "min_categories": 1}
    cases = [
        (loose, -0.089, 5106, "no_melting_level_given"),
        (loose | lifted | {"max_range": 150.0}, -0.004, 2462, "no_melting_level_given"),
        ({}, np.nan, 4036, "attenuated"),
        ({"melting_level": 3500.0}, np.nan, 6, "too_few_samples"),
    ]
    for options, value, count, expected in cases:
        offset = zdr_offset(volume, band="C", **options)
        assert flag(offset, "zdr_offset") == expected, options
        assert int(offset.zdr_offset_count) == count, options
        np.testing.assert_allclose(float(offset.zdr_offset), value, atol=5e-4)


@pytest.mark.parametrize(
    "row, expected",
    [
        ([np.nan, 1.0, np.nan, np.nan, 3.0, np.nan], [np.nan, 1.0, 1.0, 1.0, 3.0, 3.0]),
        ([2.0, np.nan, 5.0], [2.0, 2.0, 5.0]),
        ([np.nan, np.nan], [np.nan, np.nan]),
        ([4.0], [4.0]),
    ],
    ids=["leading NaN", "first valid", "all NaN", "one gate"],
)
def test_phidp_rise_carried_forward_along_each_ray(row, expected):
    """The attenuation screen's rise over gates without a fit is the last fit before them,
    ray by ray (never the previous ray's), in every shape of volume."""
    from bluster.radar.screens import carried_forward

    rays = np.array([row, np.full(len(row), np.nan)])  # a ray with no fit after one with
    want = np.array([expected, np.full(len(row), np.nan)])
    np.testing.assert_array_equal(carried_forward(rays), want)
    np.testing.assert_array_equal(carried_forward(rays[None]), want[None])


@pytest.mark.parametrize("max_range", [None, 25.0])
def test_sweep_statistics_are_the_kernels_over_whole_sweeps(storm, max_range):
    """The numbers hand the kernels only the columns of gates the screens can keep: each
    sweep's statistics are, bit for bit, the kernels' over the whole sweep with the range and
    attenuation screens (carried forward along each ray) as a mask."""
    import bluster
    from bluster.radar.screens import carried_forward
    from bluster.radar.tables import (
        light_rain_zdr_table,
        max_phidp_rise_default,
        self_consistency_table,
    )
    from bluster.radar.volume import moment, sweeps_of

    offset = zdr_offset(storm, band="C", max_range=max_range, n_threads=1)
    bias = z_bias(storm, band="C", zdr_offset=0.4, max_range=max_range, n_threads=1)
    fits = kdp(storm, n_threads=1)
    for sweep in sweeps_of(storm):
        z, zdr, k, rhohv = (moment(sweep, q, None) for q in ("reflectivity", "zdr", "kdp", "rhohv"))
        near = sweep.data["range"].values <= (np.inf if max_range is None else max_range * 1e3)
        rise = carried_forward(fits[sweep.name]["phidp"].values)
        kept = {
            number: near & ~(rise > max_phidp_rise_default("C", number))
            for number in ("zdr_offset", "z_bias")
        }
        alone = bluster.offset_stats(
            zdr.reshape(1, -1), elevation=sweep.elevation, dbz=z.reshape(1, -1),
            rhohv=rhohv.reshape(1, -1), mask=kept["zdr_offset"].reshape(1, -1),
            table=light_rain_zdr_table("C"), z_min=20.0, z_max=30.0, rhohv_min=0.98,
            n_threads=1,
        )  # fmt: skip
        consistency = bluster.consistency_stats(
            z.reshape(1, -1), zdr.reshape(1, -1), k.reshape(1, -1),
            table=self_consistency_table("C"), zdr_offset=0.4, rhohv=rhohv.reshape(1, -1),
            mask=kept["z_bias"].reshape(1, -1), n_threads=1,
        )  # fmt: skip
        for result, kernel in ((offset, alone), (bias, consistency)):
            for name in kernel.data_vars:
                got = result[name].sel(sweep=sweep.name).values
                assert got.tobytes() == kernel[name].values[0].tobytes(), (sweep.name, name)


@pytest.mark.parametrize("first, last", [(40, 90), (3, 396)])  # a slice of columns, or all
def test_kept_samples_give_the_kernel_the_whole_sweeps_samples(first, last):
    """Whether the kernels get the columns of the usable gates or whole rows, they see the
    samples of the whole sweep in its order: the same bits."""
    import bluster
    from bluster.radar.summary import kept_samples

    rng = np.random.default_rng(7)
    zdr = rng.normal(0.3, 0.5, (60, 400))
    z = np.full((60, 400), np.nan)
    z[:, first : last + 1] = rng.uniform(15.0, 35.0, (60, last + 1 - first))
    kept = rng.random((60, 400)) > 0.2
    usable = np.isfinite(zdr) & (z >= 20.0) & (z <= 30.0)
    settings = {"elevation": 1.0, "table": 0.2, "z_min": 20.0, "z_max": 30.0, "n_threads": 1}
    rows = kept_samples(kept, usable, zdr=zdr, dbz=z)
    whole = bluster.offset_stats(
        zdr.reshape(1, -1), dbz=z.reshape(1, -1), mask=kept.reshape(1, -1), **settings
    )
    got = bluster.offset_stats(rows["zdr"], dbz=rows["dbz"], mask=rows["mask"], **settings)
    for name in whole.data_vars:
        assert got[name].values.tobytes() == whole[name].values.tobytes(), name
