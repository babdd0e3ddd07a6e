"""``bluster info FILE``: what a volume file holds, the quick check before a long run."""

import sys
from pathlib import Path

import numpy as np
import xarray as xr

from bluster import radar


def describe_file(path: str, *, engine: str | None = None) -> int:
    """Print the description of the volume at ``path``; the exit status (1: unreadable)."""
    try:
        volume = radar.open_volume(path, engine=engine)
    except Exception as exc:  # any reader failure is the answer to "can this file be read?"
        print(f"bluster info: {path}: cannot be read: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    print(describe(volume, Path(path)))
    return 0


def describe(volume: xr.DataTree, path: Path) -> str:
    """Format, site, time and one line per sweep of ``volume`` read from ``path``."""
    root = volume.ds
    lines = [
        f"file      {path} ({path.stat().st_size / 1e6:.1f} MB)",
        f"format    {volume.attrs.get('bluster_format', 'unknown')}",
        f"site      {_site(root)}",
        f"time      {_time_range(volume)}",
        f"sweeps    {len(_sweeps(volume))}",
        f"  {'sweep':<9}{'mode':<22}{'elev':>6}{'rays':>6}{'gates':>7}{'range km':>10}  moments",
    ]
    for name, sweep in _sweeps(volume).items():
        lines.append(
            f"  {name:<9}{_text(sweep, 'sweep_mode'):<22}{_elevation(sweep):>6}"
            f"{sweep.sizes.get('azimuth', 0):>6}{sweep.sizes.get('range', 0):>7}"
            f"{_max_range_km(sweep):>10}  {' '.join(_moments(sweep))}"
        )
    return "\n".join(lines)


def _sweeps(volume: xr.DataTree) -> dict[str, xr.Dataset]:
    return {name: child.ds for name, child in volume.children.items() if "range" in child.ds.dims}


def _moments(sweep: xr.Dataset) -> list[str]:
    return sorted(
        name for name, var in sweep.data_vars.items() if {"azimuth", "range"} <= set(var.dims)
    )


def _text(dataset: xr.Dataset, name: str) -> str:
    return str(dataset[name].values) if name in dataset else "?"


def _elevation(sweep: xr.Dataset) -> str:
    if "sweep_fixed_angle" in sweep:
        return f"{float(sweep['sweep_fixed_angle']):.2f}"
    if "elevation" in sweep.coords:
        return f"{float(sweep['elevation'].median()):.2f}"
    return "?"


def _max_range_km(sweep: xr.Dataset) -> str:
    if "range" not in sweep.coords or sweep.sizes["range"] == 0:
        return "?"
    return f"{float(sweep['range'].max()) / 1e3:.1f}"


def _site(root: xr.Dataset) -> str:
    position = [f"{float(root[name]):.4f}" for name in ("latitude", "longitude") if name in root]
    altitude = f"{float(root['altitude']):.0f} m" if "altitude" in root else ""
    name = root.attrs.get("instrument_name") or root.attrs.get("source") or "unnamed"
    return " ".join([str(name), *position, altitude]).strip()


def _time_range(volume: xr.DataTree) -> str:
    times = [
        sweep["time"].values for sweep in _sweeps(volume).values() if "time" in sweep.variables
    ]
    if not times:
        return "?"
    stacked = np.concatenate([np.ravel(t) for t in times])
    return f"{np.nanmin(stacked)} to {np.nanmax(stacked)}"
