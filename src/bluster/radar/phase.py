"""The differential phase of radar volumes: the system phase, and KDP where the file has none."""

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import xarray as xr

import bluster

from .quality import quality_variable
from .screens import SCREENING_QUANTITIES, screening_moments
from .volume import (
    Sweep,
    as_volume,
    check_moments,
    moment,
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
    options = dict(
        first_gate=first_gate, n_use=n_use, rhohv_min=rhohv_min, snr_min=snr_min,
        min_count=min_count, n_threads=n_threads,
    )  # fmt: skip
    selection = select_sweeps(
        sweeps_of(tree),
        "system_phase",
        kinds=("ppi", "rhi", "vertical"),
        needs=("phidp",),
        moments=moments,
    )
    per_sweep = []
    for sweep in selection.used:
        phidp = moment(sweep, "phidp", moments)
        screens = screening_moments(sweep, moments)
        rays = bluster.phidp_rays(phidp, **screens, **options)  # type: ignore[arg-type]
        per_sweep.append(rays)
    rays = _rays_of(selection.used, per_sweep)
    summary = _circular_summary(rays["ray_system_phase"].values)
    found = int(summary["n_rays"])
    flag, reason = (
        ("ok", f"circular mean of {found} rays")
        if found
        else ("too_few_samples", f"no ray has {min_count} usable gates among its first {n_use}")
    )
    summary["system_phase_quality"] = quality_variable("system_phase", flag, reason)
    return rays.assign(summary).assign_coords(volume_coords(tree)).assign_attrs(selection.attrs())


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
    for sweep in sweeps:
        fit = phase_fit(
            sweep, moments, offset, window=window, rhohv_min=rhohv_min, min_gates=min_gates,
            n_threads=n_threads,
        )  # fmt: skip
        if fit is None:
            continue
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
    sweep: Sweep,
    moments: Mapping[str, str] | None,
    offset: float,
    *,
    window: float = KDP_WINDOW,
    rhohv_min: float = 0.9,
    min_gates: int | None = None,
    n_threads: int = 0,
) -> xr.Dataset | None:
    """KDP and the fitted PhiDP of one sweep as :func:`bluster.kdp_rays` gives them (over its
    rays and gates, without the sweep's labels: what the calibration numbers screen with),
    or None when the sweep has no PhiDP."""
    phidp = moment(sweep, "phidp", moments, required=False)
    if phidp is None:
        return None
    rhohv = moment(sweep, "rhohv", moments, required=False)
    return bluster.kdp_rays(
        phidp,
        gate_spacing=gate_spacing(sweep),
        system_phase=offset,
        window=window,
        rhohv=rhohv,
        rhohv_min=rhohv_min,
        min_gates=min_gates,
        n_threads=n_threads,
    )


def gate_spacing(sweep: Sweep) -> float:
    """The sweep's distance between consecutive gates, km (the median of its range steps)."""
    distance = np.asarray(sweep.data["range"].values, dtype=np.float64)
    steps = np.diff(distance)
    if steps.size == 0:
        return 1.0  # one gate: no window holds two, whatever the spacing
    if not np.all(steps > 0):
        raise ValueError(
            f"{sweep.name}: its range coordinate is not increasing, as KDP needs: {distance[:5]}"
        )
    return float(np.median(steps)) / 1000.0


def _rays_of(sweeps: Sequence[Sweep], per_sweep: Sequence[xr.Dataset]) -> xr.Dataset:
    """The rays' estimates of all sweeps in one Dataset over ``ray``, named ``ray_<name>``,
    with each ray's sweep, azimuth and elevation: the sweeps' results labelled and
    concatenated, built in one step (a labelled Dataset per sweep costs more than the
    sweep's estimates)."""
    first = per_sweep[0]
    rays = {
        f"ray_{name}": ("ray", np.concatenate([r[name].values for r in per_sweep]), value.attrs)
        for name, value in first.data_vars.items()
    }
    names = [np.full(r.sizes["ray"], s.name) for s, r in zip(sweeps, per_sweep, strict=True)]
    coords = {
        "sweep": ("ray", np.concatenate(names)),
        **{
            angle: ("ray", np.concatenate([s.data[angle].values for s in sweeps]))
            for angle in ("azimuth", "elevation")
        },
    }
    return xr.Dataset(rays, coords=coords, attrs=first.attrs)


def _circular_summary(phase_deg: np.ndarray) -> dict[str, xr.DataArray]:
    angles = np.deg2rad(phase_deg[np.isfinite(phase_deg)])
    deg = {"units": "degree"}
    if angles.size == 0:
        nan = xr.DataArray(np.nan, attrs=deg)
        return {"system_phase": nan, "system_phase_spread": nan, "n_rays": xr.DataArray(0)}
    s, c = np.sin(angles).mean(), np.cos(angles).mean()
    length = min(float(np.hypot(s, c)), 1.0)
    if angles.size < 2:
        spread = np.nan  # a spread of one value is unknown, not zero
    elif length > 0:
        spread = float(np.rad2deg(np.sqrt(max(-2.0 * np.log(length), 0.0))))
    else:
        spread = np.inf
    return {
        "system_phase": xr.DataArray(float(np.rad2deg(np.arctan2(s, c))), attrs=deg),
        "system_phase_spread": xr.DataArray(spread, attrs=deg),
        "n_rays": xr.DataArray(angles.size),
    }
