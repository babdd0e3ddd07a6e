"""The bluster command line over a synthetic ODIM_H5 archive: bad files are reported and
skipped, the injected drift is recovered, a cluster gives the same bits, a killed run resumes."""

import contextlib
import io
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

pytest.importorskip("xradar")
distributed = pytest.importorskip("distributed")

from radar_archive import (  # noqa: E402
    BAND,
    EVERY,
    START,
    Truth,
    volume,
    write_archive,
    write_volume,
)

from bluster.cli import main  # noqa: E402
from bluster.radar.synthetic import sheared_wind  # noqa: E402

VOLUMES = 10
BAD = {  # file name: a word the reason must hold (bluster.radar words the rest)
    "vol_truncated.h5": "radar volume",
    "notes.txt": "radar volume",
    "vol_nozdr.h5": "zdr",
}


def run(*argv: object) -> tuple[int, str]:
    """Exit status and standard error of ``bluster ARGV``, run in this process."""
    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        status = main([str(arg) for arg in argv])
    return status, stderr.getvalue()


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Ten good volumes five minutes apart; a truncated one, a text file, and a volume without
    ZDR five minutes before the others (which only ``bluster vad`` can use)."""
    directory = tmp_path_factory.mktemp("archive")
    truths = write_archive(directory, VOLUMES)
    whole = (directory / "vol_000.h5").read_bytes()
    (directory / "vol_truncated.h5").write_bytes(whole[: len(whole) // 2])
    (directory / "notes.txt").write_text("campaign notes, not radar data\n")
    no_zdr = volume(Truth(START - EVERY, 0.0, 0.0, 0.0))
    for sweep in no_zdr.children.values():
        sweep.dataset = sweep.to_dataset(inherit=False).drop_vars("ZDR")
    write_volume(directory / "vol_nozdr.h5", no_zdr)
    return directory, truths


@pytest.fixture(scope="module")
def calibrated(archive, tmp_path_factory):
    """``bluster calibrate`` of the archive on two local threads, with a plot."""
    directory, _ = archive
    out = tmp_path_factory.mktemp("calibrated")
    status, stderr = run(
        "calibrate",
        directory,
        "--out",
        out / "monitor.nc",
        "--plot",
        out / "monitor.png",
        "--band",
        BAND,
        "-w",
        "2",
        "-q",
    )
    return status, stderr, xr.load_dataset(out / "monitor.nc"), out / "monitor.png"


def test_bad_files_are_reported_and_skipped(calibrated):
    status, stderr, series, plot = calibrated
    assert status == 1  # some files skipped
    summary = stderr[stderr.index(f"{VOLUMES} of {VOLUMES + 3} volumes processed, 3 skipped") :]
    for name, reason in BAD.items():
        assert any(name in line and reason in line.lower() for line in summary.splitlines()), name
    assert list(series["source"].values) == [f"vol_{i:03d}.h5" for i in range(VOLUMES)]
    assert plot.stat().st_size > 10_000


def test_calibrate_recovers_the_drift(archive, calibrated):
    _, truths = archive
    series = calibrated[2]
    np.testing.assert_array_equal(series["time"].values, [t.time for t in truths])
    # The synthetic rain sits on the tables' nodes and the ODIM round trip of float64 moments
    # is exact, so only rounding is left.
    np.testing.assert_allclose(series["zdr_offset"], [t.zdr_offset for t in truths], atol=1e-9)
    np.testing.assert_allclose(series["z_bias"], [t.z_bias for t in truths], atol=1e-9)
    phase_error = np.angle(
        np.exp(1j * np.deg2rad(series["system_phase"] - [t.system_phase for t in truths]))
    )
    assert np.abs(phase_error).max() < 1e-9
    # the drift itself, as a monitoring plot would show it: slope of a least-squares line
    days = (series["time"] - series["time"][0]) / np.timedelta64(1, "D")
    slope = np.polyfit(days, series["zdr_offset"], 1)[0]
    truth = np.polyfit(days, [t.zdr_offset for t in truths], 1)[0]
    assert slope == pytest.approx(truth, rel=0.02)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0"
    ) as local:
        yield local


def test_cluster_gives_the_same_bits(archive, calibrated, cluster, tmp_path):
    directory, _ = archive
    out = tmp_path / "monitor.nc"
    status, _ = run(
        "calibrate",
        directory,
        "--out",
        out,
        "--band",
        BAND,
        "--scheduler",
        cluster.scheduler_address,
        "-q",
    )
    assert status == 1
    xr.testing.assert_identical(xr.load_dataset(out), calibrated[2])


def test_killed_run_resumes_to_the_same_result(archive, calibrated, tmp_path):
    directory, _ = archive
    out = tmp_path / "monitor.nc"
    command = [sys.executable, "-m", "bluster", "calibrate", str(directory), "--out", str(out)]
    command += ["--band", BAND, "-w", "1", "--checkpoint", "0", "-q"]
    process = subprocess.Popen(command, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while not out.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    process.send_signal(signal.SIGKILL)
    process.wait()
    partial = xr.load_dataset(out)  # whatever was written is a complete file
    assert 1 <= partial.sizes["time"] <= VOLUMES

    status, _ = run(
        "calibrate", directory, "--out", out, "--band", BAND, "--resume", "--keep-going", "-q"
    )
    assert status == 0  # --keep-going: the bad files no longer fail the run
    xr.testing.assert_identical(xr.load_dataset(out), calibrated[2])


def test_vad_gives_winds_over_time_and_height(archive, tmp_path):
    directory, truths = archive
    out = tmp_path / "winds.zarr"
    status, _ = run(
        "vad",
        directory,
        "--out",
        out,
        "--top",
        "1500",
        "--step",
        "100",
        "--plot",
        tmp_path / "winds.png",
        "--environment",
        "--storm-motion",
        "10,0",
        "-q",
    )
    assert status == 1
    winds = xr.open_zarr(out, consolidated=False).load()
    assert dict(winds["u"].sizes) == {"time": VOLUMES + 1, "height": 15}
    np.testing.assert_array_equal(winds["time"].values, [START - EVERY] + [t.time for t in truths])
    filled = winds["n_rings"] > 0
    u, v = sheared_wind(winds["height"])
    # The rings of a 100 m bin average the linear wind at their heights, which lie up to 50 m
    # from the bin centre: up to 0.2 m/s for u (0.004 s-1 of shear), 0.1 m/s for v.
    assert float(abs(winds["u"] - u).where(filled).max()) < 0.2
    assert float(abs(winds["v"] - v).where(filled).max()) < 0.1
    assert int(filled.sum()) > 0.8 * filled.size
    assert (tmp_path / "winds.png").stat().st_size > 10_000
    # --environment: the profiles reach 1.3 km; the wind at the antenna is the lowest bin's,
    # the linear wind at about 50 m, and on a straight hodograph the helicity about c is
    # (w_bottom - c) x (w_top - c)
    (u0, u1), (v0, v1) = sheared_wind(np.array([50.0, 1000.0]))
    assert winds["shear_0_1km"].dims == ("time",)
    np.testing.assert_allclose(winds["u_shear_0_1km"], u1 - u0, atol=0.2)
    np.testing.assert_allclose(winds["v_shear_0_1km"], v1 - v0, atol=0.1)
    np.testing.assert_allclose(
        winds["helicity_0_1km"], v0 * (u1 - 10.0) - (u0 - 10.0) * v1, atol=0.5
    )
    assert winds["shear_0_3km"].isnull().all() and winds["storm_u_right"].isnull().all()


def test_storm_motion_needs_environment(archive, tmp_path):
    status, stderr = run("vad", archive[0], "--out", tmp_path / "w.nc", "--storm-motion", "1,2")
    assert status == 2 and "--storm-motion is the storm motion of --environment" in stderr


def test_info_through_the_console_script(archive):
    directory, _ = archive
    script = Path(sys.executable).with_name("bluster")  # installed beside the interpreter
    done = subprocess.run(
        [script, "info", directory / "vol_000.h5"], capture_output=True, text=True, check=False
    )
    assert done.returncode == 0, done.stderr
    sweeps = [line.split() for line in done.stdout.splitlines() if line.startswith("  sweep_")]
    assert [(s[0], s[1], float(s[2]), int(s[3]), int(s[4])) for s in sweeps] == [
        (f"sweep_{i}", "ppi", elevation, 90, 100) for i, elevation in enumerate((0.5, 1.5, 3.0))
    ]
    assert sweeps[0][6:] == ["DBZH", "KDP", "PHIDP", "RHOHV", "VRADH", "ZDR"]

    status, stderr = run("info", directory / "notes.txt")
    assert status == 1
    assert "notes.txt cannot be read" in stderr
