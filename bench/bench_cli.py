"""Benchmark of the command line: a synthetic archive of 100 ODIM_H5 volumes through
`bluster calibrate` and `bluster vad` with 1 and 2 local workers, the share of time spent
reading the files against computing, and the same archive through Py-ART (read, VAD by
`vad_browning` on every sweep, system phase by `det_sys_phase_gf`) for comparison.

The archive (written once with xradar into bench/results/cli_archive/, reused afterwards) is
the one of the command-line tests scaled to 100 volumes of 4 sweeps x 360 rays x 160 gates.

Run with the built environment plus arm-pyart: bash scripts/bench cli
"""

import contextlib
import io
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bluster import radar
from bluster.cli import main

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from radar_archive import BAND, write_archive

from harness import machine

HERE = Path(__file__).resolve().parent
VOLUMES = 100
GEOMETRY = {"elevations": (0.5, 1.5, 3.0, 6.0), "n_rays": 360, "n_gates": 160}
ARCHIVE = HERE / "results" / "cli_archive"


def archive() -> list[Path]:
    files = sorted(ARCHIVE.glob("vol_*.h5"))
    if len(files) != VOLUMES:
        ARCHIVE.mkdir(parents=True, exist_ok=True)
        write_archive(ARCHIVE, VOLUMES, **GEOMETRY)
        files = sorted(ARCHIVE.glob("vol_*.h5"))
    return files


def command_rate(command: str, workers: int, *extra: str) -> float:
    """Volumes per second of one whole `bluster COMMAND` run over the archive."""
    with tempfile.TemporaryDirectory() as out:
        band = ["--band", BAND] if command == "calibrate" else []
        argv = [command, str(ARCHIVE), *band, "--out", f"{out}/out.nc", "-w", str(workers), "-q"]
        start = time.perf_counter()
        status = main([*argv, *extra])
        seconds = time.perf_counter() - start
    assert status == 0, f"bluster {command} exited {status}"
    return VOLUMES / seconds


def read_and_compute(files: list[Path]) -> tuple[float, float, float]:
    """Seconds per volume to open and load a file, then for calibration and vad_profile."""
    read = calibrate = vad = 0.0
    for path in files:
        start = time.perf_counter()
        volume = radar.open_volume(str(path)).load()
        loaded = time.perf_counter()
        radar.calibration(volume, band=BAND, n_threads=1)
        calibrated = time.perf_counter()
        radar.vad_profile(volume, n_threads=1)
        read, calibrate, vad = (
            read + loaded - start,
            calibrate + calibrated - loaded,
            vad + time.perf_counter() - calibrated,
        )
    return read / len(files), calibrate / len(files), vad / len(files)


def pyart_per_volume(files: list[Path]) -> tuple[float, float, float] | None:
    """Seconds per volume for Py-ART to read, to fit the VAD of every sweep, system phase."""
    try:
        import pyart
    except ImportError:
        return None
    from pyart.correct.phase_proc import det_sys_phase_gf

    read = vad = phase = 0.0
    for path in files:
        start = time.perf_counter()
        volume = pyart.aux_io.read_odim_h5(str(path))
        loaded = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):  # vad_browning prints its heights
            for sweep in range(volume.nsweeps):
                pyart.retrieve.vad_browning(
                    volume.extract_sweeps([sweep]),
                    "velocity_horizontal",
                    z_want=np.arange(50.0, 5000.0, 100.0),
                )
        fitted = time.perf_counter()
        gates = pyart.filters.GateFilter(volume)
        gates.exclude_below("cross_correlation_ratio", 0.9)
        det_sys_phase_gf(volume, gates, phidp_field="differential_phase", first_gate=0)
        read, vad, phase = (
            read + loaded - start,
            vad + fitted - loaded,
            phase + time.perf_counter() - fitted,
        )
    return read / len(files), vad / len(files), phase / len(files)


def main_bench() -> None:
    files = archive()
    print(
        f"\nbluster command line over {VOLUMES} volumes of {len(GEOMETRY['elevations'])} sweeps x "
        f"{GEOMETRY['n_rays']} rays x {GEOMETRY['n_gates']} gates (ODIM_H5)\n{machine()}"
    )
    print("| command | 1 worker (volumes/s) | 2 workers (volumes/s) |")
    print("|---|---:|---:|")
    for command in ("calibrate", "vad"):
        for extra in ((), ("--processes",)):
            rates = [command_rate(command, workers, *extra) for workers in (1, 2)]
            label = " ".join([f"`bluster {command}", *extra]) + "`"
            print(f"| {label} | {rates[0]:.1f} | {rates[1]:.1f} |")

    read, calibrate, vad = read_and_compute(files)
    print("\nOne thread, per volume (ms):")
    print("| step | bluster | share of calibrate | share of vad |\n|---|---:|---:|---:|")
    print(
        f"| read (open_volume + load) | {read * 1e3:.1f} | {read / (read + calibrate):.0%} | "
        f"{read / (read + vad):.0%} |"
    )
    print(f"| calibration | {calibrate * 1e3:.1f} | {calibrate / (read + calibrate):.0%} | |")
    print(f"| vad_profile | {vad * 1e3:.1f} | | {vad / (read + vad):.0%} |")

    peer = pyart_per_volume(files)
    if peer is None:
        print("\nPy-ART (arm-pyart) is not installed: no comparison")
        return
    p_read, p_vad, p_phase = peer
    ours = read + calibrate + vad
    theirs = p_read + p_vad + p_phase
    print("\nPy-ART, one thread, per volume (ms):")
    print("| step | Py-ART | bluster |\n|---|---:|---:|")
    print(f"| read | {p_read * 1e3:.1f} | {read * 1e3:.1f} |")
    print(f"| VAD of every sweep | {p_vad * 1e3:.1f} | {vad * 1e3:.1f} (vad_profile) |")
    print(
        f"| system phase (+ ZDR offset, Z bias for bluster) | {p_phase * 1e3:.1f} | "
        f"{calibrate * 1e3:.1f} (calibration) |"
    )
    print(
        f"| total | {theirs * 1e3:.1f} ({1 / theirs:.1f} volumes/s) | "
        f"{ours * 1e3:.1f} ({1 / ours:.1f} volumes/s) |"
    )


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main_bench()
