"""What the calibration numbers share: the volume's phase fits, computed once, the flag of a
number, and the summary of per-sweep statistics for the volume."""

from collections.abc import Mapping
from dataclasses import dataclass, field

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

from .phase import KDP_WINDOW, phase_fit, volume_system_phase
from .quality import WITH_A_NUMBER, quality_variable
from .screens import Screens, carried_forward
from .volume import Selection, Sweep, moment_name, volume_coords

Table = tuple[ArrayLike, ArrayLike]


@dataclass
class PhaseCache:
    """The volume's system phase and each sweep's phase fit, computed once when first needed
    and shared by the numbers of one volume."""

    tree: xr.DataTree
    moments: Mapping[str, str] | None
    n_threads: int
    window: float = KDP_WINDOW
    _offset: float | None = None
    _fits: dict[str, xr.Dataset | None] = field(default_factory=dict)
    _rises: dict[str, np.ndarray] = field(default_factory=dict)

    def share_system_phase(self, result: xr.Dataset) -> None:
        """Take the volume's system phase from ``result``, the :func:`system_phase` of this
        volume with its defaults, instead of computing it a second time (0 when it has none,
        as :meth:`system_phase` gives)."""
        found = float(result["system_phase"])
        self._offset = found if np.isfinite(found) else 0.0

    def system_phase(self) -> float:
        """The volume's system phase, degrees (one for all rays: it is the radar's); 0 when it
        has none, the phase fits only needing a reference to unfold about."""
        if self._offset is None:
            try:
                self._offset = volume_system_phase(self.tree, self.moments, self.n_threads)
            except ValueError:  # no sweep with PhiDP
                self._offset = 0.0
        return self._offset

    def fit(self, sweep: Sweep) -> xr.Dataset:
        """KDP and fitted PhiDP of a sweep with PhiDP (:func:`phase_fit`: over its rays and
        gates, unlabelled)."""
        if sweep.name not in self._fits:
            self._fits[sweep.name] = phase_fit(
                sweep, self.moments, self.system_phase(), window=self.window,
                n_threads=self.n_threads,
            )  # fmt: skip
        found = self._fits[sweep.name]
        if found is None:
            raise ValueError(f"{sweep.name} has no PhiDP to estimate KDP from")
        return found

    def rise(self, sweep: Sweep, screens: Screens) -> np.ndarray | None:
        """The fitted PhiDP of the sweep above the system phase, carried forward over the gates
        without a fit (:meth:`Screens.unattenuated` takes it); None without the screen or
        without PhiDP in the sweep. Computed once per sweep: both numbers screen with it."""
        if screens.max_phidp_rise is None or moment_name(sweep, "phidp", self.moments) is None:
            return None
        if sweep.name not in self._rises:
            self._rises[sweep.name] = carried_forward(np.asarray(self.fit(sweep)["phidp"].values))
        return self._rises[sweep.name]


def both(first: np.ndarray | None, second: np.ndarray | None) -> np.ndarray | None:
    if first is None:
        return second
    if second is None:
        return first
    kept: np.ndarray = first & second
    return kept


def melting_flag(screens: Screens) -> str:
    return "ok" if screens.melting_level is not None else "no_melting_level_given"


def flagged(
    result: xr.Dataset, name: str, numbers: tuple[str, ...], flag: str, reason: str
) -> xr.Dataset:
    """``result`` with the flag variable of ``name``; its numbers NaN unless the flag comes
    with a number."""
    if flag not in WITH_A_NUMBER:
        result = result.assign(
            {f"{name}{s}": result[f"{name}{s}"].copy(data=np.nan) for s in numbers}
        )
    result[name] = result[name].assign_attrs(ancillary_variables=f"{name}_quality")
    result[f"{name}_quality"] = quality_variable(name, flag, reason)
    return result


def flat(values: np.ndarray) -> np.ndarray:
    """All gates of a sweep as one row: the samples of one per-sweep statistic."""
    return values.reshape(1, -1)


def _stacked(sweeps: list[Sweep], rows: list[xr.Dataset]) -> xr.Dataset:
    """One-row results of the sweeps as one Dataset over ``sweep`` (attributes of the first)."""
    first = rows[0]
    return xr.Dataset(
        {
            name: ("sweep", np.concatenate([r[name].values for r in rows]), first[name].attrs)
            for name in first.data_vars
        },
        coords={
            "sweep": [s.name for s in sweeps],
            "elevation": ("sweep", [s.elevation for s in sweeps], {"units": "degree"}),
        },
    )


def with_volume_summary(
    tree: xr.DataTree, selection: Selection, rows: list[xr.Dataset], name: str, value: str
) -> xr.Dataset:
    """The sweeps' rows over ``sweep`` with the volume's summary of their ``value`` as
    ``name``, ``name_median``, ``name_spread`` and ``name_count``, the volume's coordinates
    and the names of the sweeps used and skipped."""
    per_sweep = _stacked(selection.used, rows)
    summary = _volume_summary(per_sweep[value], per_sweep["median"], per_sweep["count"])
    return (
        per_sweep.assign({f"{name}{suffix}": variable for suffix, variable in summary.items()})
        .assign_coords(volume_coords(tree))
        .assign_attrs(selection.attrs())
    )


def _volume_summary(
    value: xr.DataArray, median: xr.DataArray, count: xr.DataArray
) -> dict[str, xr.DataArray]:
    """Count-weighted mean, median and spread of per-sweep values, and the total count. The
    spread of fewer than two sweeps is NaN: unknown, not zero."""
    weight = np.where(np.isfinite(value.values), count.values, 0.0)
    total = weight.sum()
    dB = {"units": "dB"}
    if total == 0:
        nan = xr.DataArray(np.nan, attrs=dB)
        return {"": nan, "_median": nan, "_spread": nan, "_count": xr.DataArray(0)}
    values = np.where(weight > 0, value.values, 0.0)
    mean = float((weight * values).sum() / total)
    spread = float(np.sqrt((weight * (values - mean) ** 2).sum() / total))
    return {
        "": xr.DataArray(mean, attrs=dB),
        "_median": xr.DataArray(_weighted_median(median.values, weight), attrs=dB),
        "_spread": xr.DataArray(spread if np.sum(weight > 0) >= 2 else np.nan, attrs=dB),
        "_count": xr.DataArray(int(count.values.sum())),
    }


def _weighted_median(values: np.ndarray, weight: np.ndarray) -> float:
    keep = (weight > 0) & np.isfinite(values)
    order = np.argsort(values[keep])
    sorted_values, cumulative = values[keep][order], np.cumsum(weight[keep][order])
    return float(sorted_values[np.searchsorted(cumulative, 0.5 * cumulative[-1])])
