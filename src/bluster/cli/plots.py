"""The figures of ``--plot``: calibration against time, and winds over time and height."""

from pathlib import Path

import numpy as np
import xarray as xr
from matplotlib.figure import Figure

# (variable, its spread, panel title): the spread is drawn as a band of +- one spread
CALIBRATION_PANELS = (
    ("zdr_offset", "zdr_offset_spread", "ZDR offset"),
    ("z_bias", "z_bias_spread", "Z bias"),
    ("system_phase", "system_phase_spread", "System differential phase"),
)
KNOTS_PER_M_S = 3600.0 / 1852.0
MAX_BARBS = 40  # per axis, so that a long archive stays readable


def calibration_figure(series: xr.Dataset) -> Figure:
    """ZDR offset, Z bias and system phase against time, each with a band of +- its spread."""
    figure = Figure(figsize=(9, 7), layout="constrained")
    axes = figure.subplots(len(CALIBRATION_PANELS), 1, sharex=True)
    time = series["time"].values
    for ax, (name, spread_name, title) in zip(axes, CALIBRATION_PANELS, strict=True):
        value = series[name]
        ax.plot(time, value, marker=".", lw=1)
        if spread_name in series:
            spread = series[spread_name].values
            ax.fill_between(time, value - spread, value + spread, alpha=0.3, lw=0)
        ax.set_title(title, loc="left")
        ax.set_ylabel(value.attrs.get("units", ""))
        ax.grid(alpha=0.3)
    axes[-1].set_xlabel("volume time (UTC)")
    return figure


def wind_figure(series: xr.Dataset) -> Figure:
    """Wind speed shaded over time and height, with wind barbs (knots) on top."""
    figure = Figure(figsize=(10, 5), layout="constrained")
    ax = figure.subplots()
    time = series["time"].values
    height_km = series["height"].values / 1e3
    speed = series["wind_speed"].transpose("height", "time")
    mesh = ax.pcolormesh(time, height_km, speed.values, shading="nearest", cmap="viridis")
    figure.colorbar(mesh, ax=ax, label=f"wind speed ({speed.attrs.get('units', 'm s-1')})")
    every_t = max(1, len(time) // MAX_BARBS)
    every_h = max(1, len(height_km) // MAX_BARBS)
    thin = {"time": slice(None, None, every_t), "height": slice(None, None, every_h)}
    u = series["u"].isel(thin).transpose("height", "time").values * KNOTS_PER_M_S
    v = series["v"].isel(thin).transpose("height", "time").values * KNOTS_PER_M_S
    t, h = np.meshgrid(time[::every_t], height_km[::every_h])
    ax.barbs(t, h, u, v, length=5.5, linewidth=0.6)
    ax.set_xlabel("volume time (UTC)")
    ax.set_ylabel("height above the radar (km)")
    ax.set_title("VAD winds (barbs in knots)", loc="left")
    return figure


def save(figure: Figure, path: Path) -> None:
    figure.savefig(path, dpi=120)
