"""``bluster info FILE_OR_DIR...``: what volume files hold, the quick check before a long run."""

import sys
from pathlib import Path

import numpy as np
import xarray as xr

from bluster import radar
from bluster.cli.archive import Sources
from bluster.radar.volume import Sweep, sweeps_of


def describe_files(sources: Sources, *, engine: str | None = None) -> int:
    """Print the description of every volume file, a blank line between two; the exit status
    (1: some file or folder cannot be read, 0: all described)."""
    status = 0
    for path, reason in sources.unreadable.items():
        print(f"bluster info: {path} cannot be read: {reason}", file=sys.stderr)
        status = 1
    for index, path in enumerate(sources.files):
        if index:
            print()
        status = max(status, describe_file(str(path), engine=engine))
    return status


def describe_file(path: str, *, engine: str | None = None) -> int:
    """Print the description of the volume at ``path``; the exit status (1: unreadable)."""
    try:
        volume = radar.open_volume(path, engine=engine)
    except Exception as exc:  # any reader failure is the answer to "can this file be read?"
        reason = getattr(exc, "command_line", None) or exc
        print(f"bluster info: {path} cannot be read: {reason}", file=sys.stderr)
        return 1
    fmt = engine or ("read by Py-ART" if volume.attrs.get("reader") == "pyart" else _format(path))
    print(describe(volume, Path(path), fmt))
    return 0


def describe(volume: xr.DataTree, path: Path, fmt: str) -> str:
    """Format, site, time and one line per sweep of ``volume``, read from ``path``."""
    sweeps = sweeps_of(volume)
    lines = [
        f"file    {path} ({path.stat().st_size / 1e6:.2f} MB)",
        f"format  {fmt}",
        f"site    {_site(volume)}",
        f"time    {volume.attrs['start_time']} (start); rays from {_ray_times(sweeps)}",
        f"sweeps  {len(sweeps)}",
        f"  {'sweep':<9}{'kind':<10}{'elev':>6}{'rays':>6}{'gates':>7}{'range km':>10}  moments",
    ]
    for sweep in sweeps:
        data = sweep.data
        gates = data.sizes.get("range", 0)
        rays = max((size for dim, size in data.sizes.items() if dim != "range"), default=0)
        lines.append(
            f"  {sweep.name:<9}{sweep.kind:<10}{sweep.elevation:>6.2f}{rays:>6}{gates:>7}"
            f"{_max_range_km(data):>10}  {' '.join(_moments(data))}"
        )
    return "\n".join(lines)


def _format(path: str) -> str:
    from bluster.radar import readers

    lean = readers.detect(path)
    if lean is not None:
        return f"{lean} (detected; read by {readers.ENGINE_PREFIX}{lean})"
    import xradar

    try:
        return f"{xradar.io.discover_engine(path)} (detected)"
    except ValueError:
        return "unknown"


def _moments(sweep: xr.Dataset) -> list[str]:
    return sorted(
        str(name) for name, var in sweep.data_vars.items() if var.ndim == 2 and "range" in var.dims
    )


def _max_range_km(sweep: xr.Dataset) -> str:
    if "range" not in sweep.coords or sweep.sizes["range"] == 0:
        return "?"
    return f"{float(sweep['range'].max()) / 1e3:.1f}"


def _site(volume: xr.DataTree) -> str:
    root = volume.ds
    where = [
        f"{name} {float(root[name]):.4f}" for name in ("latitude", "longitude") if name in root
    ]
    if "altitude" in root:
        where.append(f"altitude {float(root['altitude']):.0f} m")
    return ", ".join([volume.attrs.get("site") or "unnamed", *where])


def _ray_times(sweeps: list[Sweep]) -> str:
    times = [np.ravel(s.data["time"].values) for s in sweeps if "time" in s.data.coords]
    if not times:
        return "? (no ray times)"
    stacked = np.concatenate(times)
    first, last = (np.datetime_as_string(t, "s") for t in (stacked.min(), stacked.max()))
    return f"{first} to {last}"
