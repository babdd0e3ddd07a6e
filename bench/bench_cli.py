"""Benchmark of the command line: a synthetic archive of ODIM_H5 volumes through `bluster
calibrate` and `bluster vad` with 1 and 2 local workers, against the loop a Py-ART user would
write over the same files (`pyart.aux_io.read_odim_h5`, `vad_browning` on every sweep, and for
calibration its system phase `det_sys_phase_gf`), all in one run, in volumes per second; then
where the time of one volume goes.

Py-ART's reader decodes every field unless told otherwise, while `bluster` reads only the
moments of its command; so each loop is also run reading only the fields it uses
(`include_fields`): the velocity for the VAD; for calibration the moments `bluster calibrate`
reads, with the system phase alone (Py-ART has no VAD-free calibration beyond the system phase:
no ZDR offset in rain, no Z bias), which is less work than `bluster calibrate` does.

The archive (written once with xradar into bench/results/cli_archive/, reused afterwards) is
the one of the command-line tests at an operational size: 40 volumes of 5 sweeps x 360 rays x
400 gates, every moment stored as 16-bit codes with a gain and an offset and the rays' angles
and times in the "how" groups, as weather services write them.

Then the same volumes over a longer archive (240 volumes, a day at six minutes, written once
into bench/results/cli_archive_long/): two workers on threads and on processes
(`--processes`), whose start (a second or two) a run of 40 volumes hardly repays; for
processes also the rate once started, from the difference of a run over 240 volumes and one
over 40.

Run with the built environment plus arm-pyart: bash scripts/bench cli
"""

import contextlib
import io
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

from bluster import radar
from bluster.cli import main

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from radar_archive import BAND, write_archive

from harness import machine

HERE = Path(__file__).resolve().parent
VOLUMES = 40
GEOMETRY = {"elevations": (0.5, 1.5, 3.0, 6.0, 10.0), "n_rays": 360, "n_gates": 400}
ARCHIVE = HERE / "results" / "cli_archive"
ROUNDS = 3  # each measurement is taken this many times, interleaved; the best is kept
# A longer run (a day of volumes at six minutes), where starting worker processes is paid once
LONG_VOLUMES = 240
LONG_ARCHIVE = HERE / "results" / "cli_archive_long"
LONG_ROUNDS = 2


def archive(folder: Path = ARCHIVE, count: int = VOLUMES) -> list[Path]:
    files = sorted(folder.glob("vol_*.h5"))
    if len(files) != count:
        for old in files:
            old.unlink()
        folder.mkdir(parents=True, exist_ok=True)
        write_archive(folder, count, pack=True, **GEOMETRY)
        files = sorted(folder.glob("vol_*.h5"))
    return files


def command_seconds(command: str, workers: int, *extra: str, folder: Path = ARCHIVE) -> float:
    """Seconds of one whole `bluster COMMAND` run over the archive in ``folder``."""
    with tempfile.TemporaryDirectory() as out:
        band = ["--band", BAND] if command == "calibrate" else []
        argv = [command, str(folder), *band, "--out", f"{out}/out.nc", "-w", str(workers), "-q"]
        start = time.perf_counter()
        status = main([*argv, *extra])
        seconds = time.perf_counter() - start
    assert status == 0, f"bluster {command} exited {status}"
    return seconds


#: The Py-ART fields of the moments each command reads (Py-ART's names of the archive's
#: VRADH; RHOHV and PHIDP; and the calibration's DBZH, ZDR, KDP), for the loops that read only
#: what they use, as `bluster` does (`include_fields`).
PYART_VELOCITY = ["velocity_horizontal"]
PYART_PHASE = ["differential_phase", "cross_correlation_ratio"]
PYART_CALIBRATION = [
    *PYART_PHASE,
    "reflectivity_horizontal",
    "differential_reflectivity",
    "specific_differential_phase",
]


def pyart_read(path: Path, fields: list[str] | None):
    import pyart

    return pyart.aux_io.read_odim_h5(str(path), include_fields=fields)


def pyart_vad(volume) -> None:
    """`vad_browning` on every sweep, as a Py-ART user gets a profile of each."""
    import pyart

    with contextlib.redirect_stdout(io.StringIO()):  # vad_browning prints its heights
        for sweep in range(volume.nsweeps):
            pyart.retrieve.vad_browning(
                volume.extract_sweeps([sweep]),
                "velocity_horizontal",
                z_want=np.arange(50.0, 5000.0, 100.0),
            )


def pyart_system_phase(volume) -> None:
    import pyart
    from pyart.correct.phase_proc import det_sys_phase_gf

    gates = pyart.filters.GateFilter(volume)
    gates.exclude_below("cross_correlation_ratio", 0.9)
    det_sys_phase_gf(volume, gates, phidp_field="differential_phase", first_gate=0)


def pyart_seconds(
    files: list[Path], vad: bool, phase: bool, fields: list[str] | None = None
) -> float:
    """Seconds of Py-ART's loop over the files, one process: read (every field, or
    ``fields``), VAD of every sweep, system phase."""
    start = time.perf_counter()
    for path in files:
        volume = pyart_read(path, fields)
        if vad:
            pyart_vad(volume)
        if phase:
            pyart_system_phase(volume)
    return time.perf_counter() - start


PEER_CALIBRATE = "Py-ART read + VAD + system phase, 1 process"
PEER_VAD = "Py-ART read + VAD, 1 process"
LEAN_PEER_CALIBRATE = "Py-ART read of calibration's 5 moments + system phase, 1 process"
LEAN_PEER_VAD = "Py-ART read of the velocity + VAD, 1 process"


def rates(files: list[Path]) -> tuple[dict[str, float], dict[str, float]]:
    """Volumes per second of each workflow, best of ROUNDS interleaved rounds, and its CPU
    time per volume (ms, of all its threads; the best round's): on a machine shared with
    other work, the steadier measure of the work one volume takes."""
    runs = {
        "`bluster calibrate -w 1`": lambda: command_seconds("calibrate", 1),
        "`bluster calibrate -w 2`": lambda: command_seconds("calibrate", 2),
        "`bluster vad -w 1`": lambda: command_seconds("vad", 1),
        "`bluster vad -w 2`": lambda: command_seconds("vad", 2),
    }
    try:
        import pyart  # noqa: F401

        runs[PEER_CALIBRATE] = lambda: pyart_seconds(files, True, True)
        runs[PEER_VAD] = lambda: pyart_seconds(files, True, False)
        runs[LEAN_PEER_CALIBRATE] = lambda: pyart_seconds(files, False, True, PYART_CALIBRATION)
        runs[LEAN_PEER_VAD] = lambda: pyart_seconds(files, True, False, PYART_VELOCITY)
    except ImportError:
        print("Py-ART (arm-pyart) is not installed: no comparison")
    best = dict.fromkeys(runs, float("inf"))
    cpu = dict.fromkeys(runs, float("inf"))
    for _ in range(ROUNDS):
        for label, run in runs.items():
            start = time.process_time()
            best[label] = min(best[label], run())
            cpu[label] = min(cpu[label], time.process_time() - start)
    return (
        {label: len(files) / seconds for label, seconds in best.items()},
        {label: seconds / len(files) * 1e3 for label, seconds in cpu.items()},
    )


def long_rates() -> dict[str, tuple[float, float | None]]:
    """Volumes per second over the long archive of two workers on threads and on processes
    (best of LONG_ROUNDS interleaved rounds; the time of a whole run, the processes' start
    included), and on processes the rate once started: the volumes the long run has beyond a
    run over the short archive, over the time it takes beyond it (the start cancels out)."""
    files = archive(LONG_ARCHIVE, LONG_VOLUMES)
    runs = {
        (f"`bluster {command} -w 2{extra}`", folder): (command, extra.split())
        for command in ("calibrate", "vad")
        for extra in ("", " --processes")
        for folder in ((LONG_ARCHIVE, ARCHIVE) if extra else (LONG_ARCHIVE,))
    }
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(LONG_ROUNDS):
        for (label, folder), (command, extra) in runs.items():
            seconds = command_seconds(command, 2, *extra, folder=folder)
            best[label, folder] = min(best[label, folder], seconds)
    rates: dict[str, tuple[float, float | None]] = {}
    for label in dict.fromkeys(label for label, _ in runs):
        started = None
        if (label, ARCHIVE) in best:
            started = (len(files) - VOLUMES) / (best[label, LONG_ARCHIVE] - best[label, ARCHIVE])
        rates[label] = (len(files) / best[label, LONG_ARCHIVE], started)
    return rates


def best_ms(files: list[Path], step) -> float:
    """CPU milliseconds per volume of ``step(path)`` over the files, best of ROUNDS passes
    (CPU time: the steps are compared with runs taken minutes apart, under another load)."""
    times = []
    for _ in range(ROUNDS):
        start = time.process_time()
        for path in files:
            step(path)
        times.append((time.process_time() - start) / len(files))
    return min(times) * 1e3


def per_volume(files: list[Path], cpu: dict[str, float]) -> list[tuple[str, float]]:
    """CPU milliseconds per volume of each step of the two commands and of the Py-ART loops,
    one thread; for each command at one worker, what the run spends beyond reading and
    computing (scheduling, merging and writing the rows): its CPU time per volume in the
    table above less its steps."""
    from bluster.cli import volumes

    steps = []
    for command, task in (
        ("calibrate", volumes.calibration_task(band=BAND)),
        ("vad", volumes.wind_task()),
    ):
        opened = {p: task.read(str(p)) for p in files}
        read = best_ms(files, lambda p, task=task: task.read(str(p)))
        compute = best_ms(
            files, lambda p, task=task, opened=opened: task.compute(opened[p], str(p))
        )
        steps += [(f"`{command}`: reading its moments", read), (f"`{command}`: its row", compute)]
        run = cpu.get(f"`bluster {command} -w 1`")
        if run:
            steps.append((f"`{command} -w 1`: the rest of the run", run - read - compute))
    steps.append(
        (
            'bluster open_volume through xradar (engine="odim"), every moment',
            best_ms(files[:10], lambda p: radar.open_volume(p, engine="odim")),
        )
    )
    try:
        import pyart  # noqa: F401
    except ImportError:
        return steps
    opened = {p: pyart_read(p, None) for p in files}
    steps += [
        ("Py-ART read_odim_h5, every field", best_ms(files, lambda p: pyart_read(p, None))),
        (
            "Py-ART read_odim_h5, the velocity",
            best_ms(files, lambda p: pyart_read(p, PYART_VELOCITY)),
        ),
        (
            "Py-ART read_odim_h5, calibration's 5 moments",
            best_ms(files, lambda p: pyart_read(p, PYART_CALIBRATION)),
        ),
        ("Py-ART vad_browning on every sweep", best_ms(files, lambda p: pyart_vad(opened[p]))),
        ("Py-ART det_sys_phase_gf", best_ms(files, lambda p: pyart_system_phase(opened[p]))),
    ]
    return steps


def main_bench() -> None:
    warnings.simplefilter("ignore")
    files = archive()
    load = os.getloadavg()
    sweeps, rays, gates = len(GEOMETRY["elevations"]), GEOMETRY["n_rays"], GEOMETRY["n_gates"]
    geometry = f"{sweeps} sweeps x {rays} rays x {gates} gates"
    print(f"\nbluster command line over {len(files)} ODIM_H5 volumes of {geometry}, 16-bit codes")
    print(f"{machine()}; load average at the start {load[0]:.1f}")
    found, cpu = rates(files)
    print(
        "\n| workflow | volumes/s | vs Py-ART's loop | vs Py-ART reading what it uses "
        "| CPU ms per volume |\n|---|---:|---:|---:|---:|"
    )
    for label, rate in found.items():
        calibrate = "calibrate" in label
        peers = (PEER_CALIBRATE, LEAN_PEER_CALIBRATE) if calibrate else (PEER_VAD, LEAN_PEER_VAD)
        ratios = [
            f"{rate / found[peer]:.1f}x" if peer in found and "Py-ART" not in label else ""
            for peer in peers
        ]
        print(f"| {label} | {rate:.2f} | {' | '.join(ratios)} | {cpu[label]:.0f} |")
    print(
        f"\nOver {LONG_VOLUMES} volumes of the same kind (Py-ART's loops as above: a rate per "
        "volume)\n| workflow | volumes/s | vs Py-ART's loop | once started | vs Py-ART's loop |"
        "\n|---|---:|---:|---:|---:|"
    )
    for label, (rate, started) in long_rates().items():
        peer = found.get(PEER_CALIBRATE if "calibrate" in label else PEER_VAD)
        cells = [f"{rate:.2f}", f"{rate / peer:.1f}x" if peer else ""]
        if started is not None:
            cells += [f"{started:.2f}", f"{started / peer:.1f}x" if peer else ""]
        else:
            cells += ["", ""]
        print(f"| {label} | {' | '.join(cells)} |")
    print("\nOne thread, CPU time per volume:\n| step | ms |\n|---|---:|")
    for label, ms in per_volume(files, cpu):
        print(f"| {label} | {ms:.1f} |")
    print(f"load average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main_bench()
