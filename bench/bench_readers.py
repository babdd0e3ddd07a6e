"""Benchmark of reading ODIM_H5 volumes: `open_volume` through the lean reader (the moments of
`calibration`, the velocity alone, every moment), through xradar, and Py-ART's reader, against
the floor: h5py finding the same datasets by their quantity and reading them undecoded.

Two volumes, written once into bench/results/ by xradar with every moment stored as 16-bit
codes (gain, offset, "undetect", "nodata") and the rays' angles and times, as weather services
write them: the volume of the command-line benchmark (5 sweeps x 360 rays x 400 gates) and a
larger one (10 sweeps x 360 rays x 1,000 gates). Every variant is timed in interleaved rounds
and the best of each is kept. The lean reader inflates and decodes the moments' chunks on one
thread per core (as `open_volume` does), and on one thread (`read_odim(..., n_threads=1)`).

Then the inflation alone: the stored chunks of each volume's velocity datasets inflated by
`_readers.inflate` (one call per dataset, libdeflate) and by Python's `zlib.decompress` (chunk
by chunk, zlib), in CPU time, interleaved rounds, best of each.

Run with the built environment: .venv/bin/python bench/bench_readers.py
"""

import os
import sys
import time
import warnings
import zlib
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from radar_archive import Truth, volume, write_volume

import _readers
from bluster.radar import open_volume
from bluster.radar.calibration import CALIBRATION_QUANTITIES
from bluster.radar.readers._chunks import stored_chunks
from bluster.radar.readers.odim import read_odim
from harness import print_table

HERE = Path(__file__).resolve().parent
VOLUMES = {
    "5 sweeps x 360 rays x 400 gates": ((0.5, 1.5, 3.0, 6.0, 10.0), 360, 400),
    "10 sweeps x 360 rays x 1,000 gates": (
        (0.5, 1.0, 1.5, 2.0, 3.0, 4.5, 6.0, 8.0, 11.0, 15.0),
        360,
        1000,
    ),
}
ROUNDS = 9
REPEATS = 20  # inflations of a volume's velocity per timed round: milliseconds, not microseconds
# the stored quantities of the moments each reading needs
CALIBRATION_NAMES = {"DBZH", "ZDR", "PHIDP", "RHOHV", "KDP", "SNRH"}


def written(label: str) -> Path:
    elevations, rays, gates = VOLUMES[label]
    path = HERE / "results" / f"read_{len(elevations)}x{rays}x{gates}.h5"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        truth = Truth(time=__import__("numpy").datetime64("2026-06-01T12:00"), zdr_offset=0.2,
                      z_bias=1.0, system_phase=5.0)  # fmt: skip
        write_volume(path, volume(truth, elevations, rays, gates), pack=True)
    return path


def h5py_floor(path: Path, quantities: set[str]) -> None:
    """Open the file, find the datasets of the quantities, read them as stored."""
    import h5py

    with h5py.File(path, "r") as f:
        for name, group in f.items():
            if not name.startswith("dataset"):
                continue
            for key, moment in group.items():
                if (
                    key.startswith("data")
                    and moment["what"].attrs["quantity"].decode() in quantities
                ):
                    moment["data"][()]


def variants(path: Path) -> dict[str, object]:
    runs = {
        "h5py floor: calibration's datasets, undecoded": lambda: h5py_floor(
            path, CALIBRATION_NAMES
        ),
        "open_volume, calibration's moments": lambda: open_volume(
            path, quantities=CALIBRATION_QUANTITIES
        ),
        "read_odim, calibration's moments, one thread": lambda: read_odim(
            path, CALIBRATION_QUANTITIES, n_threads=1
        ),
        "h5py floor: the velocity datasets, undecoded": lambda: h5py_floor(path, {"VRADH"}),
        "open_volume, the velocity": lambda: open_volume(path, quantities=["velocity"]),
        "open_volume, every moment": lambda: open_volume(path),
        'open_volume through xradar (engine="odim")': lambda: open_volume(path, engine="odim"),
    }
    try:
        import pyart

        runs["Py-ART aux_io.read_odim_h5"] = lambda: pyart.aux_io.read_odim_h5(str(path))
    except ImportError:
        print("Py-ART not installed: its reader is not measured")
    return runs


def velocity_chunks(path: Path) -> list[tuple[list[bytes], int]]:
    """Each velocity dataset's chunks as stored, with the size each inflates to."""
    import math

    import h5py

    datasets = []
    with h5py.File(path, "r") as f:
        for name, group in f.items():
            for key, moment in group.items() if name.startswith("dataset") else ():
                if key.startswith("data") and moment["what"].attrs["quantity"] == b"VRADH":
                    chunks = stored_chunks(moment["data"].id)
                    assert chunks is not None, "the velocity is stored deflated"
                    size = math.prod(chunks.chunk) * chunks.dtype.itemsize
                    datasets.append(([bytes(raw) for _, raw in chunks.pieces], size))
    return datasets


def inflations(path: Path) -> dict[str, object]:
    datasets = velocity_chunks(path)
    count = sum(len(chunks) for chunks, _ in datasets)
    stored = sum(len(raw) for chunks, _ in datasets for raw in chunks) / count
    label = f"{count} chunks of {datasets[0][1]} bytes, {stored / 1e3:.1f} kB stored"

    def ours() -> None:
        for chunks, size in datasets:
            _readers.inflate(chunks, size)

    def zlibs() -> None:
        for chunks, _ in datasets:
            for raw in chunks:
                zlib.decompress(raw)

    return {"label": label, "_readers.inflate": ours, "zlib.decompress": zlibs}


def time_inflations(label: str) -> None:
    """The velocity's chunks inflated by ours and by zlib, in CPU time: interleaved rounds of
    REPEATS inflations of the whole volume's velocity each, the best per inflation kept."""
    runs = inflations(written(label))
    title = runs.pop("label")
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(ROUNDS):
        for name, run in runs.items():
            start = time.process_time()
            for _ in range(REPEATS):
                run()
            best[name] = min(best[name], (time.process_time() - start) / REPEATS)
    print_table(
        f"Inflating the velocity of the volume of {label} ({title})",
        [(name, best[name]) for name in ("zlib.decompress", "_readers.inflate")],
        reference="zlib.decompress",
    )


def main() -> None:
    warnings.simplefilter("ignore")
    print(f"load average at the start {os.getloadavg()[0]:.1f}")
    for label in VOLUMES:
        path = written(label)
        runs = variants(path)
        best = dict.fromkeys(runs, float("inf"))
        for _ in range(ROUNDS):
            for name, run in runs.items():
                start = time.perf_counter()
                run()
                best[name] = min(best[name], time.perf_counter() - start)
        size = path.stat().st_size / 1e6
        print_table(f"Reading one ODIM_H5 volume of {label} ({size:.1f} MB)", list(best.items()))
        cal = (
            best["open_volume, calibration's moments"]
            / best["h5py floor: calibration's datasets, undecoded"]
        )
        vel = (
            best["open_volume, the velocity"] / best["h5py floor: the velocity datasets, undecoded"]
        )
        one = (
            best["read_odim, calibration's moments, one thread"]
            / best["h5py floor: calibration's datasets, undecoded"]
        )
        print(
            f"calibration's moments: {cal:.2f}x the floor ({one:.2f}x on one thread); "
            f"the velocity: {vel:.2f}x the floor"
        )
    for label in VOLUMES:
        time_inflations(label)
    print(f"load average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
