"""The figures of ``--plot``: calibration against time, and winds over time and height."""

from pathlib import Path
from typing import Any

import numpy as np
import xarray as xr
from matplotlib.axes import Axes
from matplotlib.figure import Figure

# (variable, its spread, panel title): the spread is drawn as a band of +- one spread
CALIBRATION_PANELS = (
    ("zdr_offset", "zdr_offset_spread", "ZDR offset"),
    ("z_bias", "z_bias_spread", "Z bias"),
    ("system_phase", "system_phase_spread", "System differential phase"),
)
KNOTS_PER_M_S = 3600.0 / 1852.0
MAX_BARBS = 40  # per axis, so that a long archive stays readable
# Time axis of a single volume: about the time a volume takes and the usual interval of two
SINGLE_VOLUME_SPAN = np.timedelta64(10, "m")


def calibration_figure(series: xr.Dataset) -> Figure:
    """ZDR offset, Z bias and system phase against time, each with a band of +- its spread
    (an error bar for a single volume, where a band has no width)."""
    figure = Figure(figsize=(9, 7), layout="constrained")
    axes = figure.subplots(len(CALIBRATION_PANELS), 1, sharex=True)
    time = series["time"].values
    for ax, (name, spread_name, title) in zip(axes, CALIBRATION_PANELS, strict=True):
        value = series[name]
        spread = series[spread_name].values if spread_name in series else None
        if time.size == 1 and spread is not None:
            ax.errorbar(time, value, yerr=spread, fmt="o", capsize=4)
        else:
            ax.plot(time, value, marker=".", lw=1)
            if spread is not None:
                ax.fill_between(time, value - spread, value + spread, alpha=0.3, lw=0)
        ax.set_title(title, loc="left")
        ax.set_ylabel(value.attrs.get("units", ""))
        ax.grid(alpha=0.3)
    axes[-1].set_xlim(*_time_edges(time)[[0, -1]])
    axes[-1].set_xlabel("volume time (UTC)")
    return figure


def wind_figure(series: xr.Dataset) -> Figure:
    """Wind speed shaded over time and height, with wind barbs (knots) on top; the height
    axis ends at the highest bin with a wind. Below, the storm environment against time when
    the series holds it (``--environment``)."""
    below: list[Axes] = []
    if ENVIRONMENT_PANELS[0][1][0] not in series:
        figure = Figure(figsize=(10, 5), layout="constrained")
        ax = figure.subplots()
    else:
        figure = Figure(figsize=(10, 9), layout="constrained")
        ax, *below = figure.subplots(3, 1, sharex=True, height_ratios=(3, 1.2, 1.2))
        environment_panels(series, below)
    time = series["time"].values
    height_km = series["height"].values / 1e3
    speed = series["wind_speed"].transpose("height", "time")
    # one cell per volume and height bin, whatever their number (one volume: one column)
    height_edges = _height_edges(series) / 1e3
    mesh = ax.pcolormesh(
        _time_edges(time), height_edges, speed.values, shading="flat", cmap="viridis"
    )
    figure.colorbar(
        mesh,
        ax=[ax, *below],  # the panels below keep the time axis of the winds
        shrink=1.0 if not below else 0.55,
        anchor=(0.0, 1.0),
        label=f"wind speed ({speed.attrs.get('units', 'm s-1')})",
    )
    every_t = max(1, len(time) // MAX_BARBS)
    every_h = max(1, len(height_km) // MAX_BARBS)
    thin = {"time": slice(None, None, every_t), "height": slice(None, None, every_h)}
    u = series["u"].isel(thin).transpose("height", "time").values * KNOTS_PER_M_S
    v = series["v"].isel(thin).transpose("height", "time").values * KNOTS_PER_M_S
    t, h = np.meshgrid(time[::every_t], height_km[::every_h])
    ax.barbs(t, h, np.ma.masked_invalid(u), np.ma.masked_invalid(v), length=5.5, linewidth=0.6)
    with_wind = np.flatnonzero(np.isfinite(speed.values).any(axis=1))
    if with_wind.size:
        ax.set_ylim(height_edges[0], height_edges[with_wind[-1] + 1])
    ax.set_xlim(*_time_edges(time)[[0, -1]])
    if not below:
        ax.set_xlabel("volume time (UTC)")
    ax.set_ylabel("height above the radar (km)")
    ax.set_title("VAD winds (barbs in knots)", loc="left")
    return figure


def _time_edges(time: np.ndarray) -> np.ndarray:
    """Edges of one cell per volume time (a cell of ``SINGLE_VOLUME_SPAN`` for a lone one)."""
    return _edges(time, SINGLE_VOLUME_SPAN)


def _height_edges(series: xr.Dataset) -> np.ndarray:
    """Edges of the height bins, m (bins of equal width, as the command line makes them)."""
    return _edges(series["height"].values.astype(np.float64), 100.0)


def _edges(centres: np.ndarray, lone_span: Any) -> np.ndarray:
    """Cell edges halfway between sorted centres, the outer ones as far out as the inner."""
    if centres.size == 1:
        return np.array([centres[0] - lone_span / 2, centres[0] + lone_span / 2])
    middle = centres[:-1] + (centres[1:] - centres[:-1]) / 2
    first, last = centres[0] - (middle[0] - centres[0]), centres[-1] + (centres[-1] - middle[-1])
    return np.concatenate([[first], middle, [last]])


# (panel title, variables, their labels) of the storm environment below the winds
ENVIRONMENT_PANELS = (
    (
        "Storm-relative helicity",
        ("helicity_0_1km", "helicity_0_3km"),
        ("0-1 km", "0-3 km"),
    ),
    (
        "Bulk shear",
        ("shear_0_1km", "shear_0_3km", "shear_0_6km"),
        ("0-1 km", "0-3 km", "0-6 km"),
    ),
)


def environment_panels(series: xr.Dataset, axes: list[Axes]) -> None:
    """Helicity and bulk shear against time, one line per layer; a layer that no profile
    reaches is named as such in the legend."""
    time = series["time"].values
    for ax, (title, names, labels) in zip(axes, ENVIRONMENT_PANELS, strict=True):
        for name, label in zip(names, labels, strict=True):
            values = series[name].values
            missing = "" if np.isfinite(values).any() else " (not reached)"
            ax.plot(time, values, marker=".", lw=1, label=label + missing)
        ax.set_title(title, loc="left")
        ax.set_ylabel(series[names[0]].attrs.get("units", ""))
        ax.legend(loc="upper left", fontsize="small", ncols=len(names))
        ax.grid(alpha=0.3)
    axes[-1].set_xlabel("volume time (UTC)")


def save(figure: Figure, path: Path) -> None:
    figure.savefig(path, dpi=120)
