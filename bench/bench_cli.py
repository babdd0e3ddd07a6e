"""Benchmark of the command line: a synthetic archive of ODIM_H5 volumes through `bluster
calibrate` and `bluster vad` with 1 and 2 local workers, against the loop a Py-ART user would
write over the same files (`pyart.aux_io.read_odim_h5`, `vad_browning` on every sweep, and for
calibration its system phase `det_sys_phase_gf`), all in one run, in volumes per second; then
where the time of one volume goes.

The archive (written once with xradar into bench/results/cli_archive/, reused afterwards) is
the one of the command-line tests at an operational size: 40 volumes of 5 sweeps x 360 rays x
400 gates, every moment stored as 16-bit codes with a gain and an offset and the rays' angles
and times in the "how" groups, as weather services write them.

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
ROUNDS = 2  # each measurement is taken this many times, interleaved; the best is kept


def archive() -> list[Path]:
    files = sorted(ARCHIVE.glob("vol_*.h5"))
    if len(files) != VOLUMES:
        for old in files:
            old.unlink()
        ARCHIVE.mkdir(parents=True, exist_ok=True)
        write_archive(ARCHIVE, VOLUMES, pack=True, **GEOMETRY)
        files = sorted(ARCHIVE.glob("vol_*.h5"))
    return files


def command_seconds(command: str, workers: int, *extra: str) -> float:
    """Seconds of one whole `bluster COMMAND` run over the archive."""
    with tempfile.TemporaryDirectory() as out:
        band = ["--band", BAND] if command == "calibrate" else []
        argv = [command, str(ARCHIVE), *band, "--out", f"{out}/out.nc", "-w", str(workers), "-q"]
        start = time.perf_counter()
        status = main([*argv, *extra])
        seconds = time.perf_counter() - start
    assert status == 0, f"bluster {command} exited {status}"
    return seconds


def pyart_seconds(files: list[Path], phase: bool) -> float:
    """Seconds of Py-ART's read + VAD (+ system phase) loop over the files, one process."""
    import pyart
    from pyart.correct.phase_proc import det_sys_phase_gf

    start = time.perf_counter()
    for path in files:
        volume = pyart.aux_io.read_odim_h5(str(path))
        with contextlib.redirect_stdout(io.StringIO()):  # vad_browning prints its heights
            for sweep in range(volume.nsweeps):
                pyart.retrieve.vad_browning(
                    volume.extract_sweeps([sweep]),
                    "velocity_horizontal",
                    z_want=np.arange(50.0, 5000.0, 100.0),
                )
        if phase:
            gates = pyart.filters.GateFilter(volume)
            gates.exclude_below("cross_correlation_ratio", 0.9)
            det_sys_phase_gf(volume, gates, phidp_field="differential_phase", first_gate=0)
    return time.perf_counter() - start


def rates(files: list[Path]) -> dict[str, float]:
    """Volumes per second of each workflow, best of ROUNDS interleaved rounds."""
    runs = {
        "`bluster calibrate -w 1`": lambda: command_seconds("calibrate", 1),
        "`bluster calibrate -w 2`": lambda: command_seconds("calibrate", 2),
        "`bluster vad -w 1`": lambda: command_seconds("vad", 1),
        "`bluster vad -w 2`": lambda: command_seconds("vad", 2),
    }
    try:
        import pyart  # noqa: F401

        runs["Py-ART read + VAD + system phase, 1 process"] = lambda: pyart_seconds(files, True)
        runs["Py-ART read + VAD, 1 process"] = lambda: pyart_seconds(files, False)
    except ImportError:
        print("Py-ART (arm-pyart) is not installed: no comparison")
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(ROUNDS):
        for label, run in runs.items():
            best[label] = min(best[label], run())
    return {label: len(files) / seconds for label, seconds in best.items()}


def per_volume(files: list[Path]) -> list[tuple[str, float]]:
    """Milliseconds per volume of each step, one thread, best of ROUNDS passes."""
    from bluster.radar.calibration import CALIBRATION_QUANTITIES

    def best(fn) -> float:
        times = []
        for _ in range(ROUNDS):
            start = time.perf_counter()
            for path in files:
                fn(path)
            times.append((time.perf_counter() - start) / len(files))
        return min(times) * 1e3

    steps = [
        (
            "open_volume, calibration's moments",
            lambda p: radar.open_volume(p, quantities=CALIBRATION_QUANTITIES),
        ),
        ("open_volume, the velocity", lambda p: radar.open_volume(p, quantities=["velocity"])),
        (
            'open_volume through xradar (engine="odim")',
            lambda p: radar.open_volume(p, engine="odim"),
        ),
    ]
    opened = {p: radar.open_volume(p) for p in files}
    steps += [
        (
            "calibration of the opened volume",
            lambda p: radar.calibration(opened[p], band=BAND, n_threads=1),
        ),
        ("vad_profile of the opened volume", lambda p: radar.vad_profile(opened[p], n_threads=1)),
    ]
    return [(label, best(fn)) for label, fn in steps]


def main_bench() -> None:
    warnings.simplefilter("ignore")
    files = archive()
    load = os.getloadavg()
    sweeps, rays, gates = len(GEOMETRY["elevations"]), GEOMETRY["n_rays"], GEOMETRY["n_gates"]
    geometry = f"{sweeps} sweeps x {rays} rays x {gates} gates"
    print(f"\nbluster command line over {len(files)} ODIM_H5 volumes of {geometry}, 16-bit codes")
    print(f"{machine()}; load average at the start {load[0]:.1f}")
    found = rates(files)
    print("\n| workflow | volumes/s | vs Py-ART's loop |\n|---|---:|---:|")
    for label, rate in found.items():
        peer = found.get(
            "Py-ART read + VAD + system phase, 1 process"
            if "calibrate" in label
            else "Py-ART read + VAD, 1 process"
        )
        ratio = f"{rate / peer:.1f}x" if peer and "Py-ART" not in label else ""
        print(f"| {label} | {rate:.2f} | {ratio} |")
    print("\nOne thread, per volume (ms):\n| step | ms |\n|---|---:|")
    for label, ms in per_volume(files):
        print(f"| {label} | {ms:.1f} |")
    print(f"load average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main_bench()
