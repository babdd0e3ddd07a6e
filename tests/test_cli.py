"""The bluster command line over a synthetic ODIM_H5 archive: bad files are reported and
skipped, the injected drift is recovered, a cluster gives the same bits, a killed run resumes."""

import contextlib
import io
import os
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
from bluster.radar.quality import FLAGS  # noqa: E402
from bluster.radar.synthetic import sheared_wind  # noqa: E402

VOLUMES = 10
BAD = {  # file name: words the reason must hold (bluster.radar words the rest), in options
    "vol_truncated.h5": "radar volume",
    "notes.txt": "name the format with --engine name, or --engine pyart",
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
    ZDR five minutes before the others (a partial row for ``bluster calibrate``)."""
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


def test_bad_files_are_reported_and_skipped(archive, calibrated):
    """Unreadable files are skipped; the volume without ZDR gives a partial row: its system
    phase, and its ZDR offset and Z bias NaN, flagged, with the reason in options."""
    status, stderr, series, plot = calibrated
    assert status == 1  # some files skipped
    summary = stderr[stderr.index(f"{VOLUMES + 1} of {VOLUMES + 3} volumes processed, 2 skipped") :]
    for name, reason in BAD.items():
        assert any(name in line and reason in line.lower() for line in summary.splitlines()), name
    assert "engine=" not in stderr and "moments=" not in stderr  # Python's words, not options
    assert (
        f"1 of {VOLUMES + 1} volumes have partial rows" in summary
        and "vol_nozdr.h5 (zdr_offset missing_moment, z_bias missing_moment)" in summary
    )
    assert "computed without a melting level" in summary
    folder = archive[0].resolve()  # a file is known by its resolved path
    assert list(series["source"].values) == [str(folder / "vol_nozdr.h5")] + [
        str(folder / f"vol_{i:03d}.h5") for i in range(VOLUMES)
    ]
    partial = series.isel(time=0)
    assert np.isfinite(partial.system_phase) and np.isnan(partial.zdr_offset)
    missing = FLAGS.index("missing_moment")
    assert int(partial.zdr_offset_quality) == int(partial.z_bias_quality) == missing
    assert "(command line: --moment zdr=NAME)" in str(partial.zdr_offset_reason.values)
    assert plot.stat().st_size > 10_000


def test_calibrate_recovers_the_drift(archive, calibrated):
    _, truths = archive
    series = calibrated[2].isel(time=slice(1, None))  # without the partial row
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


@pytest.mark.parametrize("engine", ["netcdf4", "h5netcdf"])
def test_both_netcdf_writers_give_the_series(calibrated, engine, tmp_path, monkeypatch):
    """The series reads back the same from either writer, without netCDF-C's unused buffer
    (it hands back 64 KiB for a file of a few)."""
    from bluster.cli import output

    monkeypatch.setattr(output, "_netcdf_engine", lambda: engine)
    out = tmp_path / "series.nc"
    output.write_atomic(calibrated[2], out)
    xr.testing.assert_identical(xr.load_dataset(out, engine="h5netcdf"), calibrated[2])
    assert out.stat().st_size < 65536


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0"
    ) as local:
        yield local


@pytest.mark.parametrize("where", ["cluster", "processes"])
def test_cluster_and_processes_give_the_same_bits(archive, calibrated, where, request, tmp_path):
    directory, _ = archive
    out = tmp_path / "monitor.nc"
    if where == "cluster":
        scheduler = ["--scheduler", request.getfixturevalue("cluster").scheduler_address]
    else:
        scheduler = ["--processes", "-w", "2"]
    status, _ = run("calibrate", directory, "--out", out, "--band", BAND, *scheduler, "-q")
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
    winds = xr.open_zarr(out).load()  # consolidated metadata: no warning, an error here
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


def test_a_run_over_lean_read_files_does_not_import_xradar(archive, tmp_path):
    """Each run of the command line pays for what it imports: the lean readers take only
    xradar's attribute model, not its readers and their dependencies."""
    directory, _ = archive
    script = f"""
import sys
from bluster.cli.main import main
status = main(["vad", {str(directory / "vol_001.h5")!r}, "--out", {str(tmp_path / "w.nc")!r}])
assert status == 0, status
assert "xradar" not in sys.modules, sorted(name for name in sys.modules if "xradar" in name)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


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


@pytest.mark.parametrize(
    "argv, message",
    [
        (["vad", "{dir}", "-o", "{tmp}/winds.csv"], "'{tmp}/winds.csv' names no output format"),
        (["vad", "{dir}", "-o", "{tmp}/w.nc", "--moment", "speed=V"], "quantity among"),
        (["calibrate", "{dir}", "-o", "{tmp}/m.nc", "--band", "C", "--moment", "zdr"],
         "expected QUANTITY=NAME"),
    ],
    ids=["output suffix", "unknown quantity", "no name"],
)  # fmt: skip
def test_usage_errors_come_before_any_work(archive, tmp_path, capsys, argv, message):
    directory, _ = archive
    fill = {"dir": str(directory), "tmp": str(tmp_path)}
    with pytest.raises(SystemExit) as exited:
        main([arg.format(**fill) for arg in argv])
    assert exited.value.code == 2
    assert message.format(**fill) in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []


def test_moment_option_names_a_moment(tmp_path):
    """--moment velocity=NAME: a name the alias table would not find, here the renamed VRADH."""
    renamed = volume(Truth(START, 0.0, 0.0, 0.0))
    for sweep in renamed.children.values():
        sweep.dataset = sweep.to_dataset(inherit=False).rename_vars({"VRADH": "VCOR"})
    write_volume(tmp_path / "renamed.h5", renamed)
    out = tmp_path / "winds.nc"
    status, stderr = run("vad", tmp_path / "renamed.h5", "-o", out, "-q")
    assert status == 3 and "--moment velocity=NAME" in stderr
    status, _ = run("vad", tmp_path / "renamed.h5", "-o", out, "-q", "--moment", "velocity=VCOR")
    assert status == 0
    assert xr.load_dataset(out).sizes["time"] == 1


def test_info_describes_every_file_of_a_directory(archive, capsys):
    directory, _ = archive
    assert main(["info", str(directory)]) == 1  # notes.txt and the truncated file
    out, err = capsys.readouterr()
    described = [line.split()[1] for line in out.splitlines() if line.startswith("file ")]
    assert [Path(name).name for name in described] == [
        *(f"vol_{i:03d}.h5" for i in range(VOLUMES)),
        "vol_nozdr.h5",
    ]
    assert "notes.txt cannot be read" in err and "vol_truncated.h5 cannot be read" in err


def test_progress_off_a_terminal_prints_the_last_line_once(monkeypatch):
    from bluster.cli import progress

    monkeypatch.setattr(progress, "PLAIN_INTERVAL", 0.0)  # a line after every file
    stream = io.StringIO()
    bar = progress.Progress(3, stream=stream)
    for _ in range(3):
        bar.advance()
    bar.close()
    lines = stream.getvalue().splitlines()
    assert [line.split()[0] for line in lines] == ["1/3", "2/3", "3/3"]


def test_plot_of_one_volume(archive):
    """One volume: a column ten minutes wide around its time, and heights up to the highest
    bin with a wind, not the whole grid."""
    from bluster.cli import plots
    from bluster.radar import vad_profile

    directory, _ = archive
    profile = vad_profile(directory / "vol_000.h5", heights=np.arange(0.0, 20001.0, 100.0))
    series = profile.expand_dims(time=[profile.time.values])
    ax = plots.wind_figure(series).axes[0]
    left, right = ax.get_xlim()
    assert (right - left) * 24 * 60 == pytest.approx(10.0)
    top = profile.height_top.values[np.isfinite(profile.wind_speed.values)].max()
    assert ax.get_ylim() == pytest.approx((0.0, top / 1e3))
    assert ax.collections[0].get_array().size == profile.sizes["height"]  # filled: one column


@pytest.mark.slow  # reads the 36 MB KATX volume
@pytest.mark.filterwarnings("ignore::UserWarning")  # Py-ART's notes on the legacy KLOT file
def test_nexrad_level2_without_engine(level2, tmp_path):
    """Both Level II files, found by their content: a profile each, and the KLOT velocities,
    aliased at far range, reported once for the run."""
    out = tmp_path / "winds.nc"
    status, stderr = run("vad", level2["KLOT"], level2["KATX"], "-o", out, "-q", "-w", "2")
    assert status == 0, stderr
    winds = xr.load_dataset(out)
    assert winds.sizes["time"] == 2 and (winds.n_rings.sum("height") > 100).all()
    assert winds.aliasing_suspected.values.tolist() == [1, 0]  # KLOT 2003, KATX later
    assert f"velocities of 1 volumes look aliased ({level2['KLOT'].resolve()})" in stderr


def test_pyart_fallback_keeps_its_banner_off_stdout(pyart_data):
    """An MDV file, which only Py-ART reads: found without --engine, and Py-ART's banner is
    not in the description (the environment says nothing about it)."""
    script = Path(sys.executable).with_name("bluster")
    environment = {k: v for k, v in os.environ.items() if k != "PYART_QUIET"}
    done = subprocess.run(
        [script, "info", pyart_data / "example_mdv_ppi.mdv"],
        capture_output=True,
        text=True,
        check=False,
        env=environment,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("file ") and "format  read by Py-ART" in done.stdout
    assert "Py-ART" not in done.stdout.replace("read by Py-ART", "")


def test_calibrate_screens_and_a_named_kdp(tmp_path):
    """The screen options reach every number (the reason says which screens were used), and
    --moment kdp=NAME names a KDP the usual names do not find; without it KDP is estimated
    from PhiDP, and the reason says so."""
    renamed = volume(Truth(START, 0.2, 1.0, 10.0))
    for sweep in renamed.children.values():
        sweep.dataset = sweep.to_dataset(inherit=False).rename_vars({"KDP": "KDP_F"})
    write_volume(tmp_path / "renamed.h5", renamed)
    out = tmp_path / "monitor.nc"
    args = ["calibrate", tmp_path / "renamed.h5", "-o", out, "--band", BAND, "-q"]
    status, stderr = run(*args, "--max-range", "0.5", "--melting-level", "3000")
    assert status == 0 and "1 of 1 volumes have partial rows" in stderr
    row = xr.load_dataset(out).isel(time=0)
    assert FLAGS[int(row.zdr_offset_quality)] == "too_few_samples"
    assert "gates within 0.5 km" in str(row.zdr_offset_reason.values)
    assert "melting level of 3000 m" in str(row.z_bias_reason.values)
    estimated = str(row.z_bias_reason.values)
    assert "KDP estimated from PhiDP (PHIDP)" in estimated
    status, _ = run(*args, "--moment", "kdp=KDP_F")
    row = xr.load_dataset(out).isel(time=0)
    assert status == 0 and "the KDP moment of the file (KDP_F)" in str(row.z_bias_reason.values)
    assert abs(float(row.z_bias) - 1.0) < 1e-9


@pytest.mark.slow  # reads the 36 MB KATX volume
@pytest.mark.filterwarnings("ignore::UserWarning")  # Py-ART's notes on the legacy KLOT file
def test_calibrate_the_wheels_nexrad_files(level2, pyart_data, tmp_path):
    """The Level II files as an archive holds them (KLOT, legacy, without dual polarisation;
    KATX, split cuts, dummy values) and the small KATX file of real data, all without
    --engine: a row each, with the numbers each can give and the others NaN and flagged. The
    small file is cut out of the same KATX volume (same site and start time), so it goes to
    an output of its own."""
    small = pyart_data / "example_nexrad_archive_msg31_compressed.ar2v"
    rows = {}
    for files, out in (([level2["KLOT"], level2["KATX"]], "archive.nc"), ([small], "small.nc")):
        status, stderr = run(
            "calibrate", *files, "-o", tmp_path / out, "--band", "S", "-q", "-w", "2"
        )
        assert status == 0, stderr
        series = xr.load_dataset(tmp_path / out)
        rows |= {str(name): series.isel(time=i) for i, name in enumerate(series.source.values)}
        assert f"{len(files)} of {len(files)} volumes have partial rows" in stderr
    klot, katx, small = (rows[str(p.resolve())] for p in (level2["KLOT"], level2["KATX"], small))
    assert np.isnan(klot.system_phase) and FLAGS[int(klot.zdr_offset_quality)] == "missing_moment"
    assert "--moment zdr=NAME" in str(klot.zdr_offset_reason.values)
    assert FLAGS[int(katx.z_bias_quality)] == "no_kdp_estimated"  # one dummy value everywhere
    assert abs(float(small.system_phase) - 32.4) < 0.5
    assert FLAGS[int(small.zdr_offset_quality)] == "too_few_samples"


@pytest.mark.parametrize("workers", [1, 2])
def test_local_threads_read_ahead_of_the_workers(workers):
    """One file read at a time, in order, while at most ``workers`` files compute: the next
    file is read while a file computes, even with one worker (each computing step waits here
    until the next read has begun, which a scheduler that does not overlap them never does)."""
    import threading

    from bluster.cli.driver import process_files
    from bluster.cli.tasks import VolumeTask

    paths = [f"vol_{i}" for i in range(8)]
    lock = threading.Lock()
    running = {"read": 0, "compute": 0}
    most = {"read": 0, "compute": 0}
    begun = {path: threading.Event() for path in paths}
    read_order: list[str] = []

    def busy(kind: str, change: int) -> None:
        with lock:
            running[kind] += change
            most[kind] = max(most[kind], running[kind])

    def read(path: str) -> str:
        begun[path].set()
        busy("read", 1)
        read_order.append(path)
        busy("read", -1)
        return path

    def compute(volume: str, path: str) -> xr.Dataset:
        busy("compute", 1)
        following = paths.index(path) + 1
        overlapped = following == len(paths) or begun[paths[following]].wait(timeout=30)
        busy("compute", -1)
        return xr.Dataset({"overlapped": overlapped})

    outcomes = []
    process_files(VolumeTask(read, compute), paths, outcomes.append, workers=workers)
    assert read_order == paths
    assert all(bool(outcome.row["overlapped"]) for outcome in outcomes)
    assert most["read"] == 1 and most["compute"] <= workers
