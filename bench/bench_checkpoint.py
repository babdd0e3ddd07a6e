"""Benchmark of the command line's checkpoints: what writing the time series costs as it grows,
and what `--checkpoint 0` costs over a whole archive.

Each write replaces the whole file (a new file renamed over the old one, so that a killed run
leaves a complete file). Before, each write also merged every row anew (an xarray concat of
one Dataset per volume), and `--checkpoint 0` wrote after every volume: over an archive of N
volumes, the sum over n of merge(n) + write(n), which grows faster than N**2. Now the rows new
since the last write are merged into the series kept in memory, and the next write waits at
least WRITE_SHARE times as long as the last one took. The totals apply both rules to the
times measured here (fitted by a quadratic in the number of rows) for an archive of 5,000
volumes (17 days of 5-minute volumes) processed at 0.1 s a volume.

Run with the built environment: bash scripts/bench checkpoint
"""

import os
import sys
import tempfile
from pathlib import Path

import numpy as np
import xarray as xr

from bluster.cli.output import merge_rows, write_atomic
from bluster.cli.run import WRITE_SHARE
from bluster.cli.tasks import as_row
from bluster.radar import calibration, synthetic

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, machine

ROWS = (100, 1_000, 4_000)
ARCHIVE = 5_000
VOLUME_SECONDS = 0.1


def series(rows: int) -> xr.Dataset:
    """A calibration series of ``rows`` volumes, five minutes apart, as the command writes."""
    volume = synthetic.synthetic_volume((0.5, 1.5), n_rays=90, n_gates=100, band="C")
    row = as_row(calibration(volume, band="C"), "/archive/radar/vol_000000.h5")
    times = row.time.values[0] + np.arange(rows) * np.timedelta64(5, "m")
    tiled = xr.concat([row] * rows, dim="time").assign_coords(time=times)
    names = [f"/archive/radar/vol_{index:06d}.h5" for index in range(rows)]
    return tiled.assign(source=("time", np.array(names)))


def total_write_seconds(cost, every_volume: bool) -> float:
    """Seconds spent merging and writing over the archive, a write of n rows taking
    ``cost(n)``: after every volume, or spaced as the command does."""
    if every_volume:
        return float(sum(cost(n) for n in range(1, ARCHIVE + 1)))
    clock = last_end = last_cost = spent = 0.0
    for n in range(1, ARCHIVE + 1):
        clock += VOLUME_SECONDS
        if clock - last_end >= WRITE_SHARE * last_cost or n == ARCHIVE:
            last_cost = cost(n)
            spent += last_cost
            clock += last_cost
            last_end = clock
    return spent


def timed(whole: xr.Dataset, out: Path) -> tuple[float, float, float]:
    """Seconds to write ``whole``, to merge all its rows, and to merge its last row in."""
    rows = [whole.isel(time=[i]) for i in range(whole.sizes["time"])]
    head = merge_rows(None, rows[:-1])
    return (
        best_time(lambda: write_atomic(whole, out), repeat=3),
        best_time(lambda: merge_rows(None, rows), repeat=1, warmup=0),
        best_time(lambda: merge_rows(head, rows[-1:])),
    )


def main() -> None:
    times: dict[str, list[float]] = {"write": [], "merge all": [], "merge new": []}
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "monitor.nc"
        for count in ROWS:
            for name, seconds in zip(times, timed(series(count), out), strict=True):
                times[name].append(seconds)
    fits = {name: np.polyfit(ROWS, values, 2) for name, values in times.items()}

    def before(rows: int) -> float:
        return float(np.polyval(fits["merge all"], rows) + np.polyval(fits["write"], rows))

    def now(rows: int) -> float:
        return float(np.polyval(fits["merge new"], rows) + np.polyval(fits["write"], rows))

    print(f"\nCheckpoints of bluster calibrate: one write of the time series\n{machine()}")
    print(f"| {'rows':>6} | {'write (ms)':>10} | {'merge all (ms)':>14} | {'merge new (ms)':>14} |")
    print(f"|{'-' * 8}|{'-' * 12}|{'-' * 16}|{'-' * 16}|")
    for index, count in enumerate(ROWS):
        cells = [times[name][index] * 1e3 for name in ("write", "merge all", "merge new")]
        print(f"| {count:>6,} | {cells[0]:>10.1f} | {cells[1]:>14.1f} | {cells[2]:>14.1f} |")
    processing = ARCHIVE * VOLUME_SECONDS
    print(
        f"\n--checkpoint 0 over {ARCHIVE:,} volumes at {VOLUME_SECONDS} s a volume "
        f"({processing / 60:.0f} min of processing): time spent merging and writing"
    )
    print(f"| {'rule':<46} | {'writing (s)':>11} | {'share of run':>12} |")
    print(f"|{'-' * 48}|{'-' * 13}|{'-' * 14}|")
    for label, cost, every in (
        ("before: all rows merged, after every volume", before, True),
        ("now: new rows merged, writes spaced", now, False),
    ):
        spent = total_write_seconds(cost, every)
        print(f"| {label:<46} | {spent:>11.1f} | {spent / (spent + processing):>11.1%} |")


if __name__ == "__main__":
    main()
