"""The command line under real faults: what a run does, and keeps, when threads race in a
reader, the disk fills, permissions deny, a second run writes the same output, a batch system
sends SIGTERM, a user presses Ctrl-C twice, a file kills its worker, or the options change
between a run and its --resume.

Faults of a process (signals, resource limits, permissions, crashes) are tried through the
installed ``bluster`` command in a subprocess; the rest through ``main`` in this process."""

import contextlib
import ctypes
import io
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import xarray as xr

pytest.importorskip("xradar")
distributed = pytest.importorskip("distributed")
h5py = pytest.importorskip("h5py")

from radar_archive import BAND, write_archive, write_bomb  # noqa: E402

from bluster import __version__  # noqa: E402
from bluster.cli import interrupts, main  # noqa: E402
from bluster.cli.lock import OutputLock  # noqa: E402
from bluster.cli.run import WRITE_SHARE, Run, RunOptions  # noqa: E402
from bluster.cli.tasks import Outcome  # noqa: E402

SCRIPT = Path(sys.executable).with_name("bluster")  # installed beside the interpreter
VOLUMES = 6

# Loaded by every Python process of a run (the command and its workers) through PYTHONPATH:
# each file's task waits BLUSTER_TEST_DELAY seconds, so that a signal finds the run busy, and
# a file named "killer*" kills its process as the kernel's out-of-memory killer would.
HOOKS = """\
import os, signal, time


def run_task(task, path):
    if os.path.basename(path).startswith("killer"):
        os.kill(os.getpid(), signal.SIGKILL)
    time.sleep(float(os.environ.get("BLUSTER_TEST_DELAY", "0")))
    return _original(task, path)


if os.environ.get("BLUSTER_TEST_HOOKS"):
    import bluster.cli.driver as _driver

    _original = _driver.run_task
    _driver.run_task = run_task
"""


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Six good volumes of one radar, five minutes apart."""
    directory = tmp_path_factory.mktemp("faults")
    write_archive(directory, VOLUMES)
    return directory


@pytest.fixture(scope="module")
def hooks(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hooks")
    (folder / "sitecustomize.py").write_text(HOOKS)

    def environment(delay=0.0):
        return os.environ | {
            "PYTHONPATH": str(folder),
            "BLUSTER_TEST_HOOKS": "1",
            "BLUSTER_TEST_DELAY": str(delay),
        }

    return environment


def bluster(*argv, **options):
    """``bluster ARGV`` in a subprocess: its exit status and standard error."""
    options.setdefault("timeout", 300)
    done = subprocess.run(
        [SCRIPT, *map(str, argv)], capture_output=True, text=True, check=False, **options
    )
    return done.returncode, done.stderr


def run(*argv):
    """Exit status and standard error of ``bluster ARGV``, run in this process."""
    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        status = main([str(arg) for arg in argv])
    return status, stderr.getvalue()


def leftovers(out):
    """The temporary and lock files of ``out`` still beside it."""
    return sorted(p.name for p in out.parent.iterdir() if p.name.startswith(f".{out.name}."))


def test_cfradial_files_on_threads(pyart_data, tmp_path):
    """netCDF4, under xradar's CfRadial reader, is not thread-safe: two threads reading
    CfRadial files crashed the run (SIGSEGV) in most runs. Reads through it take turns."""
    folder = tmp_path / "cfradial"
    folder.mkdir()
    for index in range(30):
        shutil.copy(pyart_data / "example_cfradial_ppi.nc", folder / f"ppi_{index:02d}.nc")
    status, stderr = bluster("calibrate", folder, "--band", "C", "-o", tmp_path / "m.nc", "-w", 2)
    # every file read (not a crash, -11): one volume under 30 names, a row of NaN numbers
    # flagged missing_moment (the file holds reflectivity only)
    assert status == 0, stderr
    assert "30 of 30 volumes processed" in stderr and "29 volumes not added" in stderr


@pytest.fixture(scope="module")
def radars(tmp_path_factory):
    """Two radars with the same scan times, and one radar's per-day folders with the same
    file names: six volumes, each its own (site, start time)."""
    top = tmp_path_factory.mktemp("radars")
    for folder, site, first in (("one/day1", "one", 0), ("one/day2", "one", 2), ("two", "two", 0)):
        (top / folder).mkdir(parents=True)
        write_archive(top / folder, 2, site=site, first=first)
    return top


def test_resume_keeps_every_volume_and_refuses_other_options(radars, tmp_path):
    out = tmp_path / "m.nc"
    assert run("calibrate", radars / "one" / "day1", "--band", BAND, "-o", out, "-q")[0] == 0
    status, stderr = run("calibrate", radars, "--band", BAND, "-o", out, "--resume", "-q")
    assert status == 0, stderr
    series = xr.load_dataset(out)
    assert sorted(zip(series.site.values, series.source.values, strict=True)) == sorted(
        ("one" if "one" in path.parts else "two", str(path))
        for path in (p.resolve() for p in radars.rglob("*.h5"))
    )
    assert series.attrs["bluster_band"] == BAND and series.attrs["bluster_version"] == __version__

    status, stderr = run("calibrate", radars, "--band", "S", "-o", out, "--resume", "-q")
    assert status == 2 and "was written with --band 'C', this run has 'S'" in stderr
    with h5py.File(out, "r+") as file:
        file.attrs["bluster_version"] = "0.0.1"
    status, stderr = run("calibrate", radars, "--band", BAND, "-o", out, "--resume", "-q")
    assert status == 2 and f"written by bluster 0.0.1, this is bluster {__version__}" in stderr
    assert xr.load_dataset(out).sizes["time"] == 6  # untouched


@pytest.mark.parametrize(
    "source, target, message",
    [
        ("{dir}/vol_002.h5", "{dir}/vol_000.h5",
         "-o/--out {dir}/vol_000.h5 exists and is not an output of bluster calibrate; name a "
         "new file, or give --overwrite to replace it"),
        ("{dir}", "{dir}/vol_000.h5", "-o/--out {dir}/vol_000.h5 is one of the input files"),
        ("{dir}", "{tmp}/missing/m.nc", "-o/--out {tmp}/missing/m.nc: there is no folder"),
        ("{dir}", "{tmp}", "-o/--out {tmp} is a folder; name a file"),
    ],
    ids=["a volume", "an input", "no folder", "a folder"],
)  # fmt: skip
def test_output_checked_before_any_work(archive, tmp_path, source, target, message):
    tmp_path = tmp_path / "run.nc"  # -o naming a folder needs an output suffix
    tmp_path.mkdir()
    fill = {"dir": str(archive), "tmp": str(tmp_path)}
    before = (archive / "vol_000.h5").read_bytes()
    argv = [source.format(**fill), "--band", BAND, "-q", "-o", target.format(**fill)]
    status, stderr = run("calibrate", *argv)
    assert status == 2 and message.format(**fill) in stderr, stderr
    assert (archive / "vol_000.h5").read_bytes() == before
    assert list(tmp_path.iterdir()) == []


def test_output_name_forgotten(archive, tmp_path):
    """``bluster calibrate --band C -o radar/*.h5``: the shell makes the first volume the
    output; it is refused, not replaced by a time series."""
    folder = tmp_path / "radar"
    shutil.copytree(archive, folder)
    volumes = sorted(folder.glob("*.h5"))
    before = volumes[0].read_bytes()
    status, stderr = bluster("calibrate", "--band", BAND, "-o", *volumes)
    assert status == 2 and "is not an output of bluster calibrate" in stderr
    assert volumes[0].read_bytes() == before


def test_file_name_that_is_not_utf8(archive, tmp_path):
    folder = tmp_path / "radar"
    folder.mkdir()
    try:
        shutil.copy(archive / "vol_000.h5", os.fsencode(folder) + b"/d\xe9j\xe0.h5")
    except OSError:  # a file system that takes only Unicode names
        pytest.skip("the file system refuses names that are not UTF-8")
    out = tmp_path / "m.nc"
    status, stderr = run("calibrate", folder, "--band", BAND, "-o", out, "-q")
    assert status == 0
    summary = f"bluster: 1 of 1 volumes processed, 0 skipped; {out} holds 1 volumes\n"
    assert stderr.startswith(summary)
    assert xr.load_dataset(out).source.values.tolist() == [f"{folder.resolve()}/d\\xe9j\\xe0.h5"]
    status, stderr = run("calibrate", folder, "--band", BAND, "-o", out, "-q", "--resume")
    assert status == 0 and "1 of 1 files already in" in stderr


def without_permission_override():
    """For a subprocess of root: without the capabilities that override file permissions."""
    if os.geteuid() != 0:
        return None
    libc = ctypes.CDLL(None, use_errno=True)

    def drop():
        for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
            if libc.prctl(24, capability, 0, 0, 0):  # PR_CAPBSET_DROP
                raise OSError(ctypes.get_errno(), "prctl")

    try:  # a container may not allow it
        subprocess.run(["true"], preexec_fn=drop, check=True)
    except (OSError, subprocess.SubprocessError):
        pytest.skip("root, and its capabilities cannot be dropped: permissions do not apply")
    return drop


def test_permissions_reported_per_file(archive, tmp_path):
    drop = without_permission_override()
    top = tmp_path / "radar"
    for folder, name in (("open", "vol_000.h5"), ("open", "vol_001.h5"), ("unlisted", "vol_002.h5"),
                         ("unsearchable", "vol_003.h5")):  # fmt: skip
        (top / folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(archive / name, top / folder / name)
    (top / "open" / "vol_001.h5").chmod(0)
    (top / "unlisted").chmod(0o300)  # not readable
    (top / "unsearchable").chmod(0o600)  # readable, not searchable
    (tmp_path / "read-only").mkdir(mode=0o555)
    try:
        status, stderr = bluster("calibrate", top, "--band", BAND, "-o", tmp_path / "m.nc",
                                 preexec_fn=drop)  # fmt: skip
        refused = bluster("calibrate", top, "--band", BAND, "-o", tmp_path / "read-only/m.nc",
                          preexec_fn=drop)  # fmt: skip
    finally:
        for folder in ("unlisted", "unsearchable"):
            (top / folder).chmod(0o755)
    assert status == 1, stderr
    summary = stderr[stderr.index("1 of 3 volumes processed, 2 skipped, 1 not searched") :]
    for path, reason in (
        ("open/vol_001.h5", "PermissionError: [Errno 13] Permission denied"),
        ("unsearchable/vol_003.h5", "PermissionError: [Errno 13] Permission denied"),
        ("unlisted", "PermissionError: the folder cannot be listed (permission denied)"),
    ):
        assert f"  skipped {top.resolve() / path}: {reason}" in summary, path
    assert refused[0] == 2 and "-o/--out" in refused[1] and "is not writable" in refused[1]
    assert "volumes" not in refused[1]  # before any work


def test_full_disk_costs_a_checkpoint(archive, tmp_path):
    """A file-size limit makes the writes past the first checkpoints fail as a full disk
    would: reported, the run goes on, and the file keeps its last complete write."""
    whole = tmp_path / "whole.nc"
    assert run("calibrate", archive, "--band", BAND, "-o", whole, "-q")[0] == 0
    out = tmp_path / "m.nc"
    limit = whole.stat().st_size - 64  # a row takes more: the last write cannot be made

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a killed process
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    argv = ("calibrate", archive, "--band", BAND, "-o", out, "-w", 1, "--checkpoint", 0, "-q")
    status, stderr = bluster(*argv, preexec_fn=small_files)
    assert status == 4, stderr
    assert "Traceback" not in stderr and f"could not write {out}: [Errno 27]" in stderr
    held = xr.load_dataset(out).sizes["time"]  # complete
    assert 1 <= held < VOLUMES
    assert f"{out} could not be written: it holds the {held} volumes" in stderr
    assert leftovers(out) == []


def test_second_writer_refused_and_leftovers_removed(archive, tmp_path):
    out = tmp_path / "m.nc"
    stale = tmp_path / ".m.nc.4242-0123abcd.tmp"  # of a run killed with SIGKILL
    stale.write_bytes(b"half a file")
    with OutputLock(out):
        status, stderr = bluster("calibrate", archive, "--band", BAND, "-o", out)
    assert status == 2
    assert f"-o/--out: {out} is being written by another bluster run (process {os.getpid()})" in (
        stderr
    )
    assert stale.exists()  # the lock's holder may be writing it
    # a relative and an absolute path to one file: one file, one row
    relative = os.path.relpath(archive / "vol_000.h5")
    status, stderr = bluster("calibrate", relative, archive / "vol_000.h5", "--band", BAND,
                             "-o", out, "-q")  # fmt: skip
    assert status == 0, stderr
    assert xr.load_dataset(out).source.values.tolist() == [str(archive.resolve() / "vol_000.h5")]
    assert leftovers(out) == []


def test_zarr_store_moved_aside_by_a_killed_run_is_put_back(archive, tmp_path):
    """A Zarr store is replaced by two renames: a run killed between them leaves the previous
    store only under its temporary name, which the next run puts back rather than removing."""
    out = tmp_path / "m.zarr"
    argv = ("calibrate", archive / "vol_000.h5", "--band", BAND, "-o", out, "-q")
    assert run(*argv)[0] == 0
    out.rename(tmp_path / ".m.zarr.4242-0123abcd.old")
    status, stderr = run(*argv[:1], archive / "vol_001.h5", *argv[2:], "--resume")
    assert status == 0, stderr
    assert xr.open_zarr(out).sizes["time"] == 2
    assert leftovers(out) == []


@pytest.mark.parametrize(
    "signals, statuses, message",
    [
        ([signal.SIGTERM], {143}, "terminated (SIGTERM) after"),
        ([signal.SIGINT, signal.SIGINT], {130, -signal.SIGINT}, "interrupted (SIGINT)"),
    ],
    ids=["SIGTERM", "two Ctrl-Cs"],
)
def test_signals_end_a_run_cleanly(archive, hooks, tmp_path, signals, statuses, message):
    out = tmp_path / "m.nc"
    argv = [SCRIPT, "calibrate", archive, "--band", BAND, "-o", out, "-w", 1, "--checkpoint", 0]
    process = subprocess.Popen(
        [*map(str, argv), "-q"], stderr=subprocess.PIPE, text=True, env=hooks(delay=0.5)
    )
    deadline = time.monotonic() + 120
    while not out.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    for number in signals:
        process.send_signal(number)
        time.sleep(0.05)
    stderr = process.communicate(timeout=120)[1]
    assert process.returncode in statuses, stderr
    assert message in stderr and "Traceback" not in stderr
    assert 1 <= xr.load_dataset(out).sizes["time"] <= VOLUMES
    assert leftovers(out) == []


def test_a_signal_during_a_finaliser_is_raised_after_it(capfd):
    """Python cannot raise in a finaliser or a weak reference's callback: a signal arriving
    in one would be printed ("Exception ignored ...") and lost."""

    class Finalised:
        def __del__(self) -> None:
            signal.raise_signal(signal.SIGTERM)
            sum(range(10))  # a call: where Python runs the handler

    with pytest.raises(interrupts.Interrupted) as raised, interrupts.handled():
        Finalised()
        time.sleep(30)  # woken by the signal delivered again
    assert raised.value.signum == signal.SIGTERM
    assert "Exception ignored" not in capfd.readouterr().err


@pytest.mark.slow  # two local clusters of worker processes
def test_processes_lose_only_the_file_that_kills_its_worker(archive, hooks, tmp_path):
    folder = tmp_path / "radar"
    shutil.copytree(archive, folder)
    shutil.copy(archive / "vol_000.h5", folder / "killer.h5")
    out = tmp_path / "m.nc"
    argv = ("calibrate", folder, "--band", BAND, "-o", out, "--processes", "-w", 2, "-q")
    status, stderr = bluster(*argv, env=hooks())
    assert status == 1, stderr
    killer = folder.resolve() / "killer.h5"
    assert f"  skipped {killer}: the worker process reading it died 2 times" in stderr
    assert xr.load_dataset(out).sizes["time"] == VOLUMES  # the killer's twin is the same volume

    # Ctrl-C reaches every process of the terminal's process group: twice, no traceback
    out = tmp_path / "n.nc"
    argv = ("calibrate", archive, "--band", BAND, "-o", out, "--processes", "-w", 2, "-q")
    process = subprocess.Popen(
        [str(SCRIPT), *map(str, argv), "--checkpoint", "0"],
        stderr=subprocess.PIPE,
        text=True,
        env=hooks(delay=1.0),
        start_new_session=True,  # its own process group, as a terminal's command has
    )
    deadline = time.monotonic() + 120
    while not out.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    for _ in range(2):
        os.killpg(process.pid, signal.SIGINT)
        time.sleep(0.2)
    stderr = process.communicate(timeout=120)[1]
    assert process.returncode in (130, -signal.SIGINT), stderr
    assert "Traceback" not in stderr and "KeyboardInterrupt" not in stderr


def test_decompression_bomb_refused(archive, tmp_path):
    """336 kB on disk, 30 GiB declared: refused before it is read (the address space is
    limited here, so that a regression fails the test instead of the machine)."""
    bomb = tmp_path / "bomb.h5"
    write_bomb(bomb, archive / "vol_000.h5")
    assert bomb.stat().st_size < 10**6

    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (8 * 2**30, 8 * 2**30))

    status, stderr = bluster("calibrate", bomb, "--band", BAND, "-o", tmp_path / "m.nc", "-q",
                             preexec_fn=limited)  # fmt: skip
    assert status == 3
    assert re.search(r"declares \d+(\.\d+)? GiB of data uncompressed", stderr)
    assert "bluster.radar.volume.MAX_VOLUME_BYTES" in stderr


def test_info_of_cfradial_with_ray_times_in_seconds(pyart_data, tmp_path):
    netcdf4 = pytest.importorskip("netCDF4")
    path = tmp_path / "seconds.nc"
    shutil.copy(pyart_data / "example_cfradial_ppi.nc", path)
    with netcdf4.Dataset(path, "a") as file:
        file["time"].units = "seconds"  # no epoch
    status, stderr = run("info", path)
    assert status == 1
    assert "its ray times are not dates (units 'seconds'; expected 'seconds since' a date)" in (
        stderr
    )


class FakeRows:
    """What merge_rows gives, as far as Run looks at it: its number of rows."""

    def __init__(self, count):
        self.sizes = {"time": count}

    def assign_attrs(self, attrs):
        return self


def test_checkpoint_zero_costs_linear_in_the_archive(monkeypatch):
    """Each write rewrites every row (1 ms a row here) while a volume takes 10 ms: writing
    after every volume would cost the square of the archive; the writes are spaced instead."""
    from bluster.cli import run as run_module

    clock = [0.0]
    written = []

    def write(rows, out):
        written.append(rows.sizes["time"])
        clock[0] += 1e-3 * rows.sizes["time"]

    monkeypatch.setattr(run_module.time, "monotonic", lambda: clock[0])
    monkeypatch.setattr(run_module, "merge_rows", lambda previous, rows: FakeRows(len(rows)))
    monkeypatch.setattr(run_module, "write_atomic", write)

    class Quiet:
        def advance(self):
            pass

    archive = 5000
    work = Run(RunOptions(Path("m.nc"), checkpoint=0.0), None, Quiet())
    for _ in range(archive):
        clock[0] += 0.01
        work.add(Outcome("f", row=xr.Dataset()))
    assert work.write() and written[-1] == archive
    assert sum(written) < 3 * archive  # every volume: archive**2 / 2 = 2500 * archive
    # and writing took a bounded share of the run (here, where a row costs 10 % of a volume)
    assert 1e-3 * sum(written) < 2 * clock[0] / (1 + WRITE_SHARE)
