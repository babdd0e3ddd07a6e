"""The differential phase of radar volumes: the system phase, and KDP where the file has none."""

import dataclasses
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

import bluster
from bluster._results import VARIABLES, ordered
from bluster.polarimetry import kdp_planes, phidp_rows

from .quality import Number, Scalar
from .screens import SCREENING_QUANTITIES, screening_moments
from .volume import (
    Moments,
    Selection,
    Sweep,
    as_volume,
    check_moments,
    select_sweeps,
    sweeps_of,
    volume_coords,
)

#: Default length of the least-squares window of :func:`kdp`, km.
KDP_WINDOW = 2.0
#: The quantities :func:`system_phase` and :func:`kdp` read from a volume file.
PHASE_QUANTITIES = ("phidp", *SCREENING_QUANTITIES)


def system_phase(
    volume: Any,
    *,
    first_gate: int = 0,
    n_use: int = 30,
    rhohv_min: float = 0.9,
    snr_min: float = 10.0,
    min_count: int = 10,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset:
    """System differential phase of every ray of a volume and of the volume.

    Each ray's system phase is the circular mean of its first ``n_use`` usable PhiDP gates
    (:func:`bluster.phidp_rays`); the volume's is the circular mean of the rays that have
    one, with their circular spread, so that phases on both sides of 0/360 average
    correctly. ``rhohv`` and ``snr`` screen the gates when the volume has them.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    first_gate, n_use, rhohv_min, snr_min, min_count : optional
        As in :func:`bluster.phidp_rays`: first gate examined, usable gates per ray, gate
        thresholds (snr in dB), fewest usable gates for a ray's estimate.
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``phidp``, ``rhohv``, ``snr``).
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.Dataset
        Over ``ray`` (all sweeps in order; coordinates ``sweep``, ``azimuth``,
        ``elevation``): ``ray_system_phase`` (degrees in [-180, 180]), ``ray_count``
        (usable gates), ``ray_resultant_length``. Scalars: ``system_phase`` (circular mean
        of the rays, degrees in [-180, 180]; NaN without a ray), ``system_phase_spread``
        (circular standard deviation ``sqrt(-2 ln R)``, degrees; NaN with fewer than two
        rays), ``n_rays`` (rays with an estimate), ``system_phase_quality`` (the flag of
        :mod:`bluster.radar.quality`: ``ok`` or ``too_few_samples``, with its ``reason``).
        Coordinates ``time`` (volume start) and ``site``. Sweeps without PhiDP (the
        velocity sweeps of NEXRAD's split cuts) are skipped: attributes ``sweeps_used`` and
        ``sweeps_skipped``, as in :func:`vad_profile`.

    References
    ----------
    Mardia, K. V., and P. E. Jupp, 2000: Directional Statistics. Wiley, sections 2.2-2.3.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import system_phase
    >>> phase = np.where(np.arange(40) % 2 == 0, 359.0, 3.0) * np.ones((360, 1))
    >>> sweep = xr.Dataset({"PHIDP": (("azimuth", "range"), phase, {"units": "degrees"})},
    ...                    coords={"azimuth": np.arange(360.0), "range": np.arange(40.0),
    ...                            "elevation": ("azimuth", np.full(360, 0.5))})
    >>> res = system_phase(xr.DataTree.from_dict({"sweep_0": sweep}))
    >>> round(float(res.system_phase), 3), int(res.n_rays)
    (1.0, 360)
    """
    check_moments(moments)
    tree = as_volume(volume, PHASE_QUANTITIES, moments)
    options = PhaseOptions(first_gate, n_use, rhohv_min, snr_min, min_count)
    selection = phase_selection(sweeps_of(tree), moments)
    rays, number = phase_number(selection, Moments(moments), options, n_threads)
    variables: dict[Hashable, xr.Variable] = {
        f"ray_{name}": xr.Variable("ray", values, VARIABLES["phidp_rays"][name])
        for name, values in zip(VARIABLES["phidp_rays"], rays.T, strict=True)
    }
    names = [np.full(s.data.sizes[s.ray_dim], s.name) for s in selection.used]
    variables["sweep"] = xr.Variable("ray", np.concatenate(names))
    for angle in ("azimuth", "elevation"):
        angles = [s.data.variables[angle].values for s in selection.used]
        variables[angle] = xr.Variable("ray", np.concatenate(angles))
    variables |= {n: xr.Variable((), value, a) for n, (value, a) in number.scalars.items()}
    variables["system_phase_quality"] = number.quality().variable
    variables |= {n: xr.Variable((), value) for n, value in volume_coords(tree).items()}
    coords: set[Hashable] = {"sweep", "azimuth", "elevation", "time", "site"}
    return ordered(variables, coords, attrs=selection.attrs())


@dataclass(frozen=True)
class PhaseOptions:
    """The options of :func:`system_phase` (those of :func:`bluster.phidp_rays`)."""

    first_gate: int = 0
    n_use: int = 30
    rhohv_min: float = 0.9
    snr_min: float = 10.0
    min_count: int = 10


def phase_selection(sweeps: Sequence[Sweep], moments: Mapping[str, str] | None) -> Selection:
    """The sweeps of :func:`system_phase`: those with PhiDP, of every kind."""
    return select_sweeps(
        sweeps, "system_phase", kinds=("ppi", "rhi", "vertical"), needs=("phidp",),
        moments=moments,
    )  # fmt: skip


def phase_number(
    selection: Selection, read: Moments, options: PhaseOptions, n_threads: int
) -> tuple[np.ndarray, Number]:
    """The estimates of every ray of the sweeps (rays, outputs of :func:`bluster.phidp_rays`)
    and the volume's system phase, their circular mean, with its flag."""
    settings = dataclasses.asdict(options)

    def rows(sweep: Sweep) -> np.ndarray:
        screens = screening_moments(sweep, read)
        return phidp_rows(
            read(sweep, "phidp"),
            rhohv=screens.get("rhohv"),
            snr=screens.get("snr"),
            **settings,
            n_threads=n_threads,
        )

    rays = np.concatenate([rows(sweep) for sweep in selection.used])
    summary = _circular_summary(rays[:, 0])
    found = int(summary["n_rays"][0])
    flag, reason = (
        ("ok", f"circular mean of {found} rays")
        if found
        else (
            "too_few_samples",
            f"no ray has {options.min_count} usable gates among its first {options.n_use}",
        )
    )
    return rays, Number("system_phase", {}, summary, flag, reason)


def kdp(
    volume: Any,
    *,
    window: float = KDP_WINDOW,
    system_phase: float | None = None,
    rhohv_min: float = 0.9,
    min_gates: int | None = None,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.DataTree:
    """Specific differential phase KDP of every gate of a volume, from its PhiDP.

    For volumes without KDP, such as every NEXRAD Level II file: the range derivative of the
    differential phase by least squares over a sliding window of gates
    (:func:`bluster.kdp_rays`), after removing the system phase and unfolding the 0/360
    wrap, with gates of low co-polar correlation left out. :func:`z_bias` and
    :func:`calibration` use it when the volume has no KDP. Every sweep with PhiDP, all rays
    at once.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result).
    window : float, optional
        Length of the least-squares window, km. Default 2 km: the window of the operational
        WSR-88D estimator in rain above 40 dBZ (9 gates of 250 m; Ryzhkov et al. 2005).
    system_phase : float, optional
        System differential phase, degrees. Default: the volume's, by :func:`system_phase`
        (0 when it has none).
    rhohv_min : float, optional
        Gates need ``RhoHV >= rhohv_min`` where the volume has RhoHV. Default 0.9, the
        threshold of meteorological echo of the WSR-88D processing (Ryzhkov et al. 2005).
    min_gates : int, optional
        Fewest usable gates in a window. Default: more than half of its gates.
    moments : mapping, optional
        Names of moments the alias table does not find (keys ``phidp``, ``rhohv``).
    n_threads : int, optional
        Threads of the core: 0 (default) one per hardware thread.

    Returns
    -------
    xarray.DataTree
        One child per sweep with PhiDP, named as in the volume, holding over the sweep's
        (``azimuth``, ``range``) and coordinates: ``kdp`` (degrees per km) and ``phidp``
        (the fitted differential phase above the system phase, unfolded, degrees); NaN where
        the gate is not usable or its window holds too few usable gates. The root's
        attributes: ``system_phase`` (degrees), ``window`` (km), and ``sweeps_used``,
        ``sweeps_skipped`` and ``moments_used`` as in :func:`vad_profile`.

    References
    ----------
    Ryzhkov, A. V., S. E. Giangrande, and T. J. Schuur, 2005: Rainfall estimation with a
    polarimetric prototype of WSR-88D. J. Appl. Meteor., 44, 502-515.

    Wang, Y., and V. Chandrasekar, 2009: Algorithm for estimation of the specific
    differential phase. J. Atmos. Oceanic Technol., 26, 2565-2578.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import kdp
    >>> r = 125.0 + 250.0 * np.arange(80)  # m
    >>> phidp = np.mod(350.0 + 2.0 * 1.2 * r / 1000.0, 360.0) * np.ones((360, 1))
    >>> sweep = xr.Dataset({"PHIDP": (("azimuth", "range"), phidp, {"units": "degrees"})},
    ...                    coords={"azimuth": np.arange(360.0), "range": r,
    ...                            "elevation": ("azimuth", np.full(360, 0.5))})
    >>> res = kdp(xr.DataTree.from_dict({"sweep_0": sweep}), system_phase=350.0)
    >>> float(res["sweep_0"]["kdp"].mean().round(6))
    1.2
    """
    check_moments(moments)
    tree = as_volume(volume, PHASE_QUANTITIES, moments)
    selection = select_sweeps(
        sweeps_of(tree), "kdp", kinds=("ppi", "rhi", "vertical"), needs=("phidp",), moments=moments
    )
    offset = volume_system_phase(tree, moments, n_threads) if system_phase is None else system_phase
    fits = phase_fits(
        selection.used, moments, offset, window=window, rhohv_min=rhohv_min,
        min_gates=min_gates, n_threads=n_threads,
    )  # fmt: skip
    root = xr.Dataset(attrs={"system_phase": offset, "window": float(window)} | selection.attrs())
    return xr.DataTree.from_dict({"/": root, **fits})


def volume_system_phase(
    tree: xr.DataTree, moments: Mapping[str, str] | None, n_threads: int
) -> float:
    """The volume's system phase with the defaults of :func:`system_phase`, degrees; 0 when
    it has none (the phase fits only need a reference to unfold about)."""
    found = float(system_phase(tree, moments=moments, n_threads=n_threads)["system_phase"])
    return found if np.isfinite(found) else 0.0


def phase_fits(
    sweeps: Sequence[Sweep],
    moments: Mapping[str, str] | None,
    offset: float,
    *,
    window: float = KDP_WINDOW,
    rhohv_min: float = 0.9,
    min_gates: int | None = None,
    n_threads: int = 0,
) -> dict[str, xr.Dataset]:
    """KDP and the fitted PhiDP of each sweep holding PhiDP, by sweep name, over the sweep's
    dimensions and coordinates."""
    fits = {}
    read = Moments(moments)
    for sweep in sweeps:
        inputs = _phase_inputs(sweep, read)
        if inputs is None:
            continue
        phidp, rhohv, spacing = inputs
        fit = bluster.kdp_rays(
            phidp, gate_spacing=spacing, system_phase=offset, window=window, rhohv=rhohv,
            rhohv_min=rhohv_min, min_gates=min_gates, n_threads=n_threads,
        )  # fmt: skip
        dims = (sweep.ray_dim, "range")
        coords = {
            name: coord for name, coord in sweep.data.coords.items() if set(coord.dims) <= set(dims)
        }
        fits[sweep.name] = xr.Dataset(
            {name: (dims, fit[name].values, fit[name].attrs) for name in ("kdp", "phidp")},
            coords=coords,
        )
    return fits


def phase_fit(
    sweep: Sweep, read: Moments, offset: float, *, window: float = KDP_WINDOW, n_threads: int = 0
) -> np.ndarray | None:
    """KDP and the fitted PhiDP of one sweep with the defaults of :func:`kdp`, as
    :func:`bluster.kdp_rays` gives them but unlabelled ((2, rays, gates): what the calibration
    numbers screen with), or None when the sweep has no PhiDP."""
    inputs = _phase_inputs(sweep, read)
    if inputs is None:
        return None
    phidp, rhohv, spacing = inputs
    return kdp_planes(
        phidp, gate_spacing=spacing, system_phase=offset, window=window, rhohv=rhohv,
        n_threads=n_threads,
    )  # fmt: skip


def _phase_inputs(
    sweep: Sweep, read: Moments
) -> tuple[np.ndarray, np.ndarray | None, float] | None:
    """The sweep's PhiDP, RhoHV (None without) and gate spacing (km) for KDP, or None when
    the sweep has no PhiDP."""
    phidp = read(sweep, "phidp", required=False)
    if phidp is None:
        return None
    return phidp, read(sweep, "rhohv", required=False), gate_spacing(sweep)


def gate_spacing(sweep: Sweep) -> float:
    """The sweep's distance between consecutive gates, km (the median of its range steps)."""
    distance = np.asarray(sweep.data.variables["range"].values, dtype=np.float64)
    steps = np.diff(distance)
    if steps.size == 0:
        return 1.0  # one gate: no window holds two, whatever the spacing
    if not np.all(steps > 0):
        raise ValueError(
            f"{sweep.name}: its range coordinate is not increasing, as KDP needs: {distance[:5]}"
        )
    return float(np.median(steps)) / 1000.0


def _circular_summary(phase_deg: np.ndarray) -> dict[str, Scalar]:
    """The circular mean of the rays' phases, their circular spread and their number."""
    angles = np.deg2rad(phase_deg[np.isfinite(phase_deg)])
    deg = {"units": "degree"}
    if angles.size == 0:
        return {
            "system_phase": (np.nan, deg),
            "system_phase_spread": (np.nan, deg),
            "n_rays": (0, {}),
        }
    s, c = np.sin(angles).mean(), np.cos(angles).mean()
    length = min(float(np.hypot(s, c)), 1.0)
    if angles.size < 2:
        spread = np.nan  # a spread of one value is unknown, not zero
    elif length > 0:
        spread = float(np.rad2deg(np.sqrt(max(-2.0 * np.log(length), 0.0))))
    else:
        spread = np.inf
    return {
        "system_phase": (float(np.rad2deg(np.arctan2(s, c))), deg),
        "system_phase_spread": (spread, deg),
        "n_rays": (angles.size, {}),
    }
