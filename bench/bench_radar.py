"""Benchmark of bluster.radar on a full synthetic volume: 14 PPI sweeps x 720 rays x 1,000
gates (bluster.radar.synthetic), held in memory (file reading is not timed).

- vad_profile end to end against the 14 calls of _wind.vad_sweep it makes (each sweep's
  velocities as they are), against the previous path (the same profile with each sweep's rings
  fitted through bluster.vad: a transposed copy of the velocities, the azimuths repeated for
  every ring), against the 14 calls of the core's vad on arrays prepared beforehand (the layout
  of every sweep as the core wants it) and the same 14 calls through bluster.vad;
- Py-ART's vad_browning over the same sweeps (one Py-ART Radar per sweep, as it fits one);
- the variants of the dense volume run in turns, best of each kept, so that they share the
  load of the machine; the load average is printed with the table;
- both on the full volume and with velocities in 20 % of the gates only (echo patches): the
  core fits only valid samples, Py-ART's NumPy code works on every gate;
- calibration against its core calls alone: phidp_rays, offset_stats and consistency_stats
  of every sweep on prepared arrays.

Run with the built environment (after bash scripts/test): .venv/bin/python bench/bench_radar.py
"""

import contextlib
import io
import os
import sys
import time
import warnings
from unittest import mock

import numpy as np
import xarray as xr

import _bluster
import _calibration
import _wind
import bluster
from bluster._inputs import conversion_factor
from bluster.radar import calibration, open_volume, vad_profile, wind
from bluster.radar.synthetic import synthetic_volume
from bluster.radar.tables import light_rain_zdr_table, self_consistency_table

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_table

ELEVATIONS = tuple(np.round(np.linspace(0.5, 19.5, 14), 2))
RAYS, GATES = 720, 1000
REPEAT = 5
ROUNDS = 9  # of the variants run in turns
NONE = np.empty(0)


def core_vad_inputs(volume):
    """Per sweep: (vr, az, cos_el) laid out as the core takes them: rings = gates."""
    inputs = []
    for name in volume.children:
        ds = volume[name].ds
        vr = np.ascontiguousarray(ds["VRADH"].values.T)
        az = np.ascontiguousarray(np.broadcast_to(np.deg2rad(ds["azimuth"].values), vr.shape))
        cos_el = np.full(vr.shape[0], np.cos(np.deg2rad(float(ds["elevation"].mean()))))
        inputs.append((vr, az, cos_el))
    return inputs


def sweep_vad_inputs(volume):
    """Per sweep: (velocity, azimuth, factor to radians, cos_el) as _wind.vad_sweep takes them."""
    inputs = []
    for name in volume.children:
        ds = volume[name].ds
        el = np.deg2rad(float(ds["elevation"].mean()))
        scale = conversion_factor("degree", "radian")
        inputs.append((ds["VRADH"].values, ds["azimuth"].values, scale, np.cos(el)))
    return inputs


def previous_ring_fits(sweep, fit, moments):
    """The fits of a sweep's rings as vad_profile made them before _wind: bluster.vad of a
    transposed C-ordered copy of the velocities (rings = gates), the same bits."""
    velocity = wind.moment(sweep, "velocity", moments)
    fits = bluster.vad(
        np.ascontiguousarray(velocity.T),
        sweep.data["azimuth"].values,
        sweep.elevation,
        min_gates=fit.min_gates,
        min_spread=fit.min_spread,
        n_threads=fit.n_threads,
    )
    stacked = np.stack([v.values for v in fits.data_vars.values()])
    if not np.isfinite(wind.nyquist_velocity(sweep)):
        return stacked, np.nan
    return stacked, float(np.nanmax(np.abs(velocity), initial=0.0))


def previous_vad_profile(volume):
    with mock.patch.object(wind, "_ring_fits", previous_ring_fits):
        return vad_profile(volume)


def best_times_in_turns(variants, rounds):
    """Best wall-clock time of each (label, fn) over `rounds` rounds that run every variant in
    turn (after one warm-up round), so that all of them meet the same load."""
    best = {label: float("inf") for label, _ in variants}
    for round_ in range(rounds + 1):
        for label, fn in variants:
            start = time.perf_counter()
            fn()
            if round_:
                best[label] = min(best[label], time.perf_counter() - start)
    return list(best.items())


def load_average():
    return "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def core_calibration_inputs(volume):
    """Per sweep: the arrays of the three calibration calls, one row per call as bluster.radar
    makes them (samples = every gate of the sweep)."""
    inputs = []
    for name in volume.children:
        ds = volume[name].ds
        flat = {k: ds[k].values.reshape(1, -1) for k in ("DBZH", "ZDR", "KDP", "RHOHV")}
        el = float(ds["elevation"].mean())
        inputs.append((ds["PHIDP"].values, ds["RHOHV"].values, flat, el))
    return inputs


def core_calibration(inputs, ref, sc):
    for phidp, rhohv, flat, el in inputs:
        _calibration.phidp_rays(phidp, rhohv, NONE, NONE, 0, 30, 0.9, 10.0, 10, 0)
        _calibration.offset_stats(
            flat["ZDR"], flat["DBZH"], flat["RHOHV"], NONE, NONE, [el], *ref,
            20.0, 30.0, 0.98, 10.0, 0,
        )  # fmt: skip
        _calibration.consistency_stats(
            flat["DBZH"], flat["ZDR"], flat["KDP"], flat["RHOHV"], NONE, NONE, *sc, 0.3,
            30.0, 56.0, 1.0, 0.95, 10.0, 0.3, 10, 0,
        )  # fmt: skip


def pyart_sweeps(volume):
    """One Py-ART Radar per sweep holding its velocities: vad_browning fits one sweep (it
    takes the first fixed angle as the elevation of all rays)."""
    import pyart

    radars = []
    for name in volume.children:
        sweep = volume[name].ds
        radar = pyart.testing.make_empty_ppi_radar(GATES, RAYS, 1)
        radar.range["data"] = sweep["range"].values
        radar.azimuth["data"] = sweep["azimuth"].values
        radar.elevation["data"] = sweep["elevation"].values
        radar.fixed_angle["data"] = np.array([float(sweep["elevation"].mean())])
        velocity = np.ma.masked_invalid(sweep["VRADH"].values)
        radar.add_field("velocity", {"data": velocity, "units": "m/s"})
        radars.append(radar)
    return radars


def pyart_vad(radars, heights):
    import pyart

    with contextlib.redirect_stdout(io.StringIO()):  # it prints each sweep's height range
        for radar in radars:
            pyart.retrieve.vad_browning(radar, "velocity", z_want=heights)


def with_echo_fraction(volume, fraction, seed=1):
    """The volume with velocities only in patches of echo covering about ``fraction`` of the
    gates (blocks of 8 rays x 40 gates), as in a volume of scattered showers."""
    rng = np.random.default_rng(seed)
    children = {}
    for name in volume.children:
        sweep = volume[name].to_dataset()
        blocks = rng.random((RAYS // 8, GATES // 40)) < fraction
        echo = np.repeat(np.repeat(blocks, 8, axis=0), 40, axis=1)
        sweep["VRADH"] = sweep["VRADH"].where(echo)
        children[name] = sweep
    return open_volume(xr.DataTree.from_dict({"/": volume.to_dataset(), **children}))


def vad_rows(volume, heights):
    vad_inputs = core_vad_inputs(volume)
    sweep_inputs = sweep_vad_inputs(volume)
    sweeps = [volume[name].ds for name in volume.children]
    variants = [
        ("vad_profile end to end", lambda: vad_profile(volume)),
        ("vad_profile end to end, one thread", lambda: vad_profile(volume, n_threads=1)),
        (
            "its 14 _wind.vad_sweep calls alone",
            lambda: [_wind.vad_sweep(*a, 30, 0.1, 0) for a in sweep_inputs],
        ),
        ("previous path: fits through bluster.vad", lambda: previous_vad_profile(volume)),
        (
            "the core's 14 vad calls, prepared arrays",
            lambda: [_bluster.vad(*a, 30, 0.1, 0) for a in vad_inputs],
        ),
        (
            "the same 14 calls through bluster.vad",
            lambda: [
                bluster.vad(s["VRADH"], s["azimuth"], float(s["elevation"].mean())) for s in sweeps
            ],
        ),
    ]
    try:
        radars = pyart_sweeps(volume)
        variants.append(("Py-ART vad_browning, same 14 sweeps", lambda: pyart_vad(radars, heights)))
    except ImportError:
        print("Py-ART not installed: its vad_browning is not measured")
    before = load_average()
    rows = best_times_in_turns(variants, ROUNDS)
    print(f"before: {before}; after: {load_average()}")
    return rows


def klot_rows():
    """The real KLOT volume (arm-pyart's test data): vad_profile of the opened volume against
    Py-ART's vad_browning over its sweeps with velocities, one sweep at a time."""
    import pyart

    path = os.path.join(os.path.dirname(pyart.testing.__file__), "data")
    radar = pyart.io.read_nexrad_archive(os.path.join(path, "example_nexrad_archive_msg1.bz2"))
    volume = open_volume(radar)
    doppler = [i for i in range(radar.nsweeps) if radar.get_field(i, "velocity").count() > 1000]
    radars = [radar.extract_sweeps([i]) for i in doppler]
    heights = np.arange(0.0, 10_001.0, 100.0)
    return [
        ("vad_profile end to end", best_time(lambda: vad_profile(volume), REPEAT)),
        (
            f"Py-ART vad_browning, {len(radars)} Doppler sweeps",
            best_time(lambda: pyart_vad(radars, heights)),
        ),
    ]


def main():
    warnings.simplefilter("ignore")
    volume = open_volume(synthetic_volume(ELEVATIONS, n_rays=RAYS, n_gates=GATES))
    heights = np.arange(0.0, 10_001.0, 100.0)
    size = f"{len(ELEVATIONS)} sweeps x {RAYS} rays x {GATES} gates"
    print_table(
        f"bluster.radar.vad_profile: {size}, velocity in every gate",
        vad_rows(volume, heights),
        reference="vad_profile end to end",
    )
    print_table(
        f"bluster.radar.vad_profile: {size}, velocity in 20 % of the gates (echo patches)",
        vad_rows(with_echo_fraction(volume, 0.2), heights),
        reference="vad_profile end to end",
    )

    try:
        print_table(
            "bluster.radar.vad_profile: the KLOT volume (7 sweeps x 1,840 gates, sparse echo)",
            klot_rows(),
            reference="vad_profile end to end",
        )
    except ImportError:
        print("Py-ART not installed: the KLOT volume is not measured")

    cal_inputs = core_calibration_inputs(volume)
    ref, sc = light_rain_zdr_table("S"), self_consistency_table("S")
    print_table(
        f"bluster.radar.calibration: {len(ELEVATIONS)} sweeps x {RAYS} rays x {GATES} gates",
        [
            ("calibration end to end", best_time(lambda: calibration(volume, band="S"), REPEAT)),
            (
                "its core calls alone (3 per sweep)",
                best_time(lambda: core_calibration(cal_inputs, ref, sc), REPEAT),
            ),
        ],
        reference="calibration end to end",
    )


if __name__ == "__main__":
    main()
