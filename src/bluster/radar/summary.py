"""What the calibration numbers share: the volume's moments and phase fits, each found once;
a number before it is labelled (its per-sweep statistics, scalars and flag); and the summary
of per-sweep statistics for the volume."""

from collections.abc import Hashable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

from bluster._results import VARIABLES, ordered

from .phase import KDP_WINDOW, phase_fit, volume_system_phase
from .quality import WITH_A_NUMBER, Number, Scalar
from .screens import Screens, last_values
from .volume import Moments, Selection, Sweep, moment_name, volume_coords

Table = tuple[ArrayLike, ArrayLike]


@dataclass
class VolumeCache:
    """What the numbers of one volume share, each found once when first needed: the sweeps'
    moments, the volume's system phase, each sweep's phase fit and the gates its screens
    keep. NumPy arrays: the results are labelled once, at the end."""

    tree: xr.DataTree
    moments: Mapping[str, str] | None
    n_threads: int
    window: float = KDP_WINDOW
    _offset: float | None = None
    _fits: dict[str, np.ndarray | None] = field(default_factory=dict)
    _last_fitted: dict[str, np.ndarray] = field(default_factory=dict)
    _kept: dict[tuple[str, Screens], tuple[np.ndarray | None, np.ndarray | None]] = field(
        default_factory=dict
    )

    read: Moments = field(init=False)

    def __post_init__(self) -> None:
        self.read = Moments(self.moments)

    def share_system_phase(self, found: float) -> None:
        """Take the volume's system phase ``found`` by :func:`system_phase` with its defaults
        instead of computing it a second time (0 when it is NaN, as :meth:`system_phase`
        gives)."""
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

    def fit(self, sweep: Sweep) -> np.ndarray:
        """KDP and fitted PhiDP of a sweep with PhiDP (:func:`phase_fit`: (2, rays, gates))."""
        if sweep.name not in self._fits:
            self._fits[sweep.name] = phase_fit(
                sweep, self.read, self.system_phase(), window=self.window, n_threads=self.n_threads
            )
        found = self._fits[sweep.name]
        if found is None:
            raise ValueError(f"{sweep.name} has no PhiDP to estimate KDP from")
        return found

    def kept(self, sweep: Sweep, screens: Screens) -> tuple[np.ndarray | None, np.ndarray | None]:
        """The gates of the sweep that the range and melting-level screens keep
        (:meth:`Screens.gates`), and those that all the screens keep, the attenuation screen
        too (None for no screen); found once per sweep and screens."""
        key = (sweep.name, screens)
        if key not in self._kept:
            gates = screens.gates(sweep)
            self._kept[key] = gates, both(gates, self._unattenuated(sweep, screens))
        return self._kept[key]

    def _unattenuated(self, sweep: Sweep, screens: Screens) -> np.ndarray | None:
        """:meth:`Screens.unattenuated` of the sweep's fitted PhiDP carried forward over the
        gates without a fit, or None without the screen or without PhiDP in the sweep."""
        if screens.max_phidp_rise is None or moment_name(sweep, "phidp", self.moments) is None:
            return None
        rise = self.fit(sweep)[1]

        def last() -> np.ndarray:  # found once, for both numbers' screens
            if sweep.name not in self._last_fitted:
                self._last_fitted[sweep.name] = last_values(rise)
            return self._last_fitted[sweep.name]

        return screens.unattenuated(rise, last)


def both(first: np.ndarray | None, second: np.ndarray | None) -> np.ndarray | None:
    if first is None:
        return second
    if second is None:
        return first
    kept: np.ndarray = first & second
    return kept


def kept_samples(
    kept: np.ndarray | None, candidates: np.ndarray, **arrays: np.ndarray | None
) -> dict[str, np.ndarray | None]:
    """The samples of ``arrays`` (rays, gates; None for an absent one) as the kernels take
    them, one row each, with ``kept`` (all gates for None) as their ``mask``. Where a ray keeps
    one of the ``candidates`` (every gate the kernel could use) only from a gate to another
    leaving out a quarter of the gates or more, only the columns between them: a slice that
    keeps the order of the samples, so that the kernels' sums and medians see the same values
    in the same order without scanning the others. (Gathering the samples themselves costs
    more than the kernels' scan of them; so does copying the slice, where it leaves out few.)"""
    usable = candidates if kept is None else candidates & kept
    columns = np.flatnonzero(usable.any(axis=0))
    span = slice(None)
    if columns.size and 4 * (int(columns[-1]) + 1 - int(columns[0])) <= 3 * usable.shape[1]:
        span = slice(int(columns[0]), int(columns[-1]) + 1)
    rows = {name: None if v is None else flat(v[:, span]) for name, v in arrays.items()}
    return rows | {"mask": None if kept is None else flat(kept[:, span])}


def flat(values: np.ndarray) -> np.ndarray:
    """All gates of a sweep as one row: the samples of one per-sweep statistic (a copy only
    where ``values`` is a slice of columns)."""
    return np.ascontiguousarray(values).reshape(1, -1)


def melting_flag(screens: Screens) -> str:
    return "ok" if screens.melting_level is not None else "no_melting_level_given"


def sweep_statistics(func: str, rows: list[np.ndarray]) -> dict[str, np.ndarray]:
    """The one-row results of a core function for the sweeps, by output name, over the
    sweeps."""
    stacked = np.array(rows, dtype=np.float64).reshape(len(rows), -1)
    return {name: stacked[:, i].copy() for i, name in enumerate(VARIABLES[func])}


def flagged(name: str, scalars: dict[str, Scalar], flag: str) -> dict[str, Scalar]:
    """The scalars of ``name`` for its flag: its numbers NaN unless the flag comes with a
    number, the number pointing at its flag variable."""
    if flag not in WITH_A_NUMBER:
        nan = {f"{name}{s}" for s in ("", "_median", "_spread")}
        scalars = {n: (np.nan, a) if n in nan else (v, a) for n, (v, a) in scalars.items()}
    value, attrs = scalars[name]
    return scalars | {name: (value, attrs | {"ancillary_variables": f"{name}_quality"})}


def volume_summary(
    name: str, value: np.ndarray, median: np.ndarray, count: np.ndarray
) -> dict[str, Scalar]:
    """Count-weighted mean, median and spread of per-sweep values, and the total count, as
    ``name``, ``name_median``, ``name_spread`` and ``name_count``. The spread of fewer than
    two sweeps is NaN: unknown, not zero."""
    weight = np.where(np.isfinite(value), count, 0.0)
    total = weight.sum()
    dB = {"units": "dB"}
    if total == 0:
        numbers: tuple[Any, ...] = (np.nan, np.nan, np.nan, 0)
    else:
        values = np.where(weight > 0, value, 0.0)
        mean = float((weight * values).sum() / total)
        spread = float(np.sqrt((weight * (values - mean) ** 2).sum() / total))
        numbers = (
            mean,
            _weighted_median(median, weight),
            spread if np.sum(weight > 0) >= 2 else np.nan,
            int(count.sum()),
        )
    units: tuple[dict[str, str], ...] = (dB, dB, dB, {})
    return {
        f"{name}{suffix}": (number, attrs)
        for suffix, number, attrs in zip(
            ("", "_median", "_spread", "_count"), numbers, units, strict=True
        )
    }


def _weighted_median(values: np.ndarray, weight: np.ndarray) -> float:
    keep = (weight > 0) & np.isfinite(values)
    order = np.argsort(values[keep])
    sorted_values, cumulative = values[keep][order], np.cumsum(weight[keep][order])
    return float(sorted_values[np.searchsorted(cumulative, 0.5 * cumulative[-1])])


def number_dataset(
    tree: xr.DataTree,
    selection: Selection,
    number: Number,
    func: str,
    *,
    between: Mapping[str, xr.Variable] | None = None,
    between_coords: tuple[str, ...] = (),
    attrs: Mapping[str, Any] | None = None,
) -> xr.Dataset:
    """The result of a number over ``sweep`` (the sweeps used; coordinate ``elevation``): the
    core's statistics of ``func`` per sweep, the volume's summary, its coordinates ``time``
    and ``site``, then ``between`` (of which ``between_coords`` are coordinates), the other
    scalars and the flag; attributes: the sweeps used and skipped, and ``attrs``."""
    sweeps = xr.Coordinates({"sweep": [s.name for s in selection.used]})
    variables: dict[Hashable, xr.Variable] = {
        name: xr.Variable("sweep", values, VARIABLES[func][name])
        for name, values in number.per_sweep.items()
    }
    variables["sweep"] = sweeps.variables["sweep"]
    variables["elevation"] = xr.Variable(
        "sweep", [s.elevation for s in selection.used], {"units": "degree"}
    )
    scalars: dict[Hashable, xr.Variable] = {
        n: xr.Variable((), value, a) for n, (value, a) in number.scalars.items()
    }
    summary = list(scalars)[:4]
    variables |= {n: scalars.pop(n) for n in summary}
    variables |= {n: xr.Variable((), value) for n, value in volume_coords(tree).items()}
    variables |= {name: variable for name, variable in (between or {}).items()}
    variables |= scalars
    variables[f"{number.name}_quality"] = number.quality().variable
    return ordered(
        variables,
        {"sweep", "elevation", "time", "site", *between_coords},
        dict(sweeps.xindexes),
        selection.attrs() | dict(attrs or {}),
    )
