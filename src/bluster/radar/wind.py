"""Wind profiles of radar volumes by the velocity-azimuth display of every ring."""

import warnings
from collections.abc import Mapping
from typing import Any, Literal, NamedTuple, overload

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

import _wind
from bluster._inputs import as_array, as_float, as_int, check_elevation, conversion_factor
from bluster._results import VARIABLES, assemble

from .geometry import beam_height
from .volume import (
    Sweep,
    as_volume,
    check_moments,
    moment,
    nyquist_velocity,
    select_sweeps,
    sweeps_of,
    volume_coords,
)

DEFAULT_BIN = 100.0  # m, height bins of the default profile
# Velocities folded at random over the Nyquist interval [-V_N, V_N] leave an rms residual of
# V_N / sqrt(3) = 0.58 V_N; a few folded samples in a ring already leave more than 0.3 V_N,
# while turbulence and noise in well-measured data leave 1 to 2 m/s (under 0.3 V_N for any
# V_N above 7 m/s).
ALIASING_RMS_FRACTION = 0.3
# A sweep whose speeds exceed its Nyquist velocity by more than this has been dealiased.
NYQUIST_MARGIN = 1.05
_FLAG = {"flag_values": np.array([0, 1], np.int8), "flag_meanings": "not_suspected suspected"}
#: The quantities a wind profile reads from a volume file.
WIND_QUANTITIES = ("velocity",)


class AliasedVelocityWarning(UserWarning):
    """The velocities of a volume look aliased (folded over the Nyquist interval): their VAD
    fits leave a large residual against the Nyquist velocity the file states. Name a
    dealiased velocity moment (``moments={"velocity": NAME}``)."""


@overload
def vad_profile(
    volume: Any,
    *,
    heights: ArrayLike | None = ...,
    min_gates: int = ...,
    min_spread: float = ...,
    sweeps: list[int] | None = ...,
    rings: Literal[False] = ...,
    moments: Mapping[str, str] | None = ...,
    n_threads: int = ...,
) -> xr.Dataset: ...
@overload
def vad_profile(
    volume: Any,
    *,
    heights: ArrayLike | None = ...,
    min_gates: int = ...,
    min_spread: float = ...,
    sweeps: list[int] | None = ...,
    rings: Literal[True],
    moments: Mapping[str, str] | None = ...,
    n_threads: int = ...,
) -> tuple[xr.Dataset, xr.Dataset]: ...
def vad_profile(
    volume: Any,
    *,
    heights: ArrayLike | None = None,
    min_gates: int = 30,
    min_spread: float = 0.1,
    sweeps: list[int] | None = None,
    rings: bool = False,
    moments: Mapping[str, str] | None = None,
    n_threads: int = 0,
) -> xr.Dataset | tuple[xr.Dataset, xr.Dataset]:
    """Horizontal wind profile above a radar from the radial velocities of a volume.

    Every range gate of every PPI sweep is a ring of samples around the radar; each ring is
    fitted by :func:`bluster.vad`. A ring's height is that of the beam at its range and the
    sweep's mean elevation by the 4/3 effective-Earth-radius model (Doviak and Zrnić 1993,
    eq. 2.28b). The accepted rings are then averaged onto height bins, weighted by their
    sample counts. RHI and vertically pointing sweeps are skipped, and so are sweeps without
    velocity (the reflectivity and dual-polarisation sweeps of NEXRAD's split cuts): the
    result names the sweeps it used and those it skipped.

    The velocity is the first of ``MOMENT_ALIASES["velocity"]`` a sweep holds, dealiased
    ones (``VRADDH``, ``corrected_velocity``, ...) first. Where the file states a sweep's
    Nyquist velocity V_N, the profile flags velocities that look aliased: the sweep's rings
    leave a count-weighted mean rms residual above 0.3 V_N while no speed exceeds V_N
    (a dealiased field exceeds it where winds are strong); an
    :class:`~bluster.radar.AliasedVelocityWarning` says so too.

    Parameters
    ----------
    volume : path, list of paths, xarray.DataTree or pyart.core.Radar
        The volume, as :func:`open_volume` takes it (or its result); of a file, only the
        velocities are read.
    heights : array_like, optional
        Edges of the height bins, m above the antenna, ascending. Default: 100 m bins from
        0 m up to the highest ring.
    min_gates, min_spread : optional
        A ring's fit needs at least ``min_gates`` valid samples and an azimuthal spread of
        ``min_spread`` (0.25 for a full circle); see :func:`bluster.vad`. Defaults 30, 0.1.
    sweeps : list of int, optional
        Positions of the sweeps to use (``[0, 2]``: the first and third); default all PPIs.
    rings : bool, optional
        Also return the per-ring Dataset. Default False.
    moments : mapping, optional
        Names of moments that the alias table does not find, e.g. ``{"velocity": "VCOR"}``.
    n_threads : int, optional
        Threads of the fits: 0 (default) one per hardware thread.

    Returns
    -------
    profile : xarray.Dataset
        Over ``height`` (bin centres, m above the antenna; coordinates ``height_bottom`` and
        ``height_top`` give the edges): ``u``, ``v`` (eastward, northward wind, m s-1),
        ``wind_speed`` (m s-1), ``wind_direction`` (degrees, the direction the wind blows
        from, clockwise from north), ``rms`` (count-weighted mean rms residual of the rings,
        m s-1), ``n_rings`` (accepted rings in the bin) and ``count`` (their valid samples);
        NaN where a bin has no accepted ring. Scalar coordinates ``time`` (volume start) and
        ``site``. ``aliasing_suspected`` (scalar, 1 when the velocities of a sweep used look
        aliased, see above; else 0). Attributes ``sweeps_used`` (the sweeps' names,
        space-separated) and ``sweeps_skipped`` (``"sweep_0: no velocity moment; sweep_5:
        RHI sweep"``) and ``moments_used`` (``"velocity=VRADDH"``).
    rings : xarray.Dataset, only with ``rings=True``
        Over (``sweep``, ``range``; the sweeps used): every variable of :func:`bluster.vad`
        and the ring's ``height``; per sweep, coordinates ``elevation`` and
        ``nyquist_velocity`` (m s-1, NaN when the file states none) and the variables
        ``mean_rms`` (count-weighted mean rms residual of its rings, m s-1) and
        ``aliasing_suspected``. Sweeps of other ranges are aligned on the union of ranges,
        NaN where a sweep has no gate. The same attributes.

    Raises
    ------
    ValueError
        The volume has no PPI sweep (RHI and vertically pointing sweeps are skipped), no
        PPI sweep with a velocity moment, or velocities in a unit that is not a speed;
        ``sweeps`` or ``heights`` are invalid.

    Warns
    -----
    AliasedVelocityWarning
        The velocities of a sweep used look aliased (``aliasing_suspected``).

    References
    ----------
    Browning, K. A., and R. Wexler, 1968: The determination of kinematic properties of a wind
    field using Doppler radar. J. Appl. Meteor., 7, 105-113.

    Doviak, R. J., and D. S. Zrnić, 1993: Doppler Radar and Weather Observations. 2nd ed.,
    Academic Press, eq. 2.28b.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import vad_profile
    >>> az = np.arange(360) + 0.5
    >>> def sweep(el):  # a uniform south-westerly wind of u = 8, v = 12 m/s
    ...     a, e = np.deg2rad(az)[:, None], np.deg2rad(el)
    ...     vr = (8.0 * np.sin(a) + 12.0 * np.cos(a)) * np.cos(e) * np.ones((1, 80))
    ...     return xr.Dataset({"VRADH": (("azimuth", "range"), vr, {"units": "m/s"})},
    ...                       coords={"azimuth": az, "range": 125.0 + 250.0 * np.arange(80),
    ...                               "elevation": ("azimuth", np.full(360, el))})
    >>> tree = xr.DataTree.from_dict({"sweep_0": sweep(0.5), "sweep_1": sweep(4.0)})
    >>> wind = vad_profile(tree, heights=[0.0, 500.0, 1000.0, 1500.0])
    >>> print(wind.wind_speed.round(2).values, wind.wind_direction.round(1).values)
    [14.42 14.42 14.42] [213.7 213.7 213.7]
    """
    check_moments(moments)
    tree = as_volume(volume, WIND_QUANTITIES, moments)
    selection = select_sweeps(
        _at_positions(sweeps_of(tree), sweeps),
        "vad_profile",
        kinds=("ppi",),
        needs=("velocity",),
        moments=moments,
    )
    chosen = selection.used
    fit = _FitSettings.of(min_gates, min_spread, n_threads)
    fits, peaks = zip(*(_ring_fits(s, fit, moments) for s in chosen), strict=True)
    ring_set = _ring_set(chosen, list(fits))
    _add_aliasing(ring_set, np.array(peaks))
    edges = _height_edges(heights, ring_set.variables["height"].values)
    coords = volume_coords(tree)
    profile = _binned(ring_set, edges, coords)
    if profile["aliasing_suspected"].values:
        _warn_aliasing(ring_set.dataset(), coords)
    profile.attrs.update(selection.attrs())
    if rings:
        return profile, ring_set.dataset(coords, selection.attrs())
    return profile


def _at_positions(all_sweeps: list[Sweep], positions: list[int] | None) -> list[Sweep]:
    if positions is None:
        return all_sweeps
    n = len(all_sweeps)
    bad = [p for p in positions if not -n <= p < n]
    if bad or not positions:
        raise ValueError(f"sweeps={positions!r}: expected positions among 0..{n - 1}")
    return [all_sweeps[p] for p in positions]


_SUSPECTED_ATTRS = _FLAG | {
    "long_name": "velocities look aliased: fit rms residual large against the Nyquist velocity",
}


def _add_aliasing(ring_set: "_RingSet", peaks: np.ndarray) -> None:
    """Adds each sweep's mean rms residual and whether its velocities look aliased: a
    count-weighted mean rms residual above ``ALIASING_RMS_FRACTION`` of the Nyquist velocity
    the file states, and no speed (``peaks``) beyond it."""
    nyquist = ring_set.coords["nyquist_velocity"].values
    rms = ring_set.variables["rms"].values
    weight = np.where(np.isfinite(rms), ring_set.variables["count"].values, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_rms = (weight * np.nan_to_num(rms)).sum(axis=1) / weight.sum(axis=1)
    suspected = (mean_rms > ALIASING_RMS_FRACTION * nyquist) & (peaks <= NYQUIST_MARGIN * nyquist)
    ring_set.variables["aliasing_suspected"] = xr.Variable(
        "sweep", suspected.astype(np.int8), _SUSPECTED_ATTRS
    )
    ring_set.variables["mean_rms"] = xr.Variable(
        "sweep", mean_rms, {"units": "m s-1", "long_name": "mean rms of the rings"}
    )


def _warn_aliasing(ring_set: xr.Dataset, coords: Mapping[str, Any]) -> None:
    flagged = ring_set.where(ring_set["aliasing_suspected"] == 1, drop=True)
    details = ", ".join(
        f"{name} ({float(r):.1f} m/s against {float(n):.1f} m/s)"
        for name, r, n in zip(
            flagged["sweep"].values,
            flagged["mean_rms"].values,
            flagged["nyquist_velocity"].values,
            strict=True,
        )
    )
    warnings.warn(
        f"vad_profile: the velocities of {coords['site'] or 'the volume'} at "
        f"{coords['time']} look aliased: the fits of {details} leave an rms residual above "
        f"{ALIASING_RMS_FRACTION} of the Nyquist velocity, and no speed exceeds it. Name a "
        "dealiased velocity with moments={'velocity': NAME}; the profile's "
        "aliasing_suspected is 1",
        AliasedVelocityWarning,
        stacklevel=3,
    )


_VAD = "vad"  # the function whose checks and messages the arguments go through


class _FitSettings(NamedTuple):
    """The fits' arguments, checked once for every sweep as :func:`bluster.vad` checks them."""

    min_gates: int
    min_spread: float
    n_threads: int

    @classmethod
    def of(cls, min_gates: Any, min_spread: Any, n_threads: Any) -> "_FitSettings":
        return cls(
            as_int(_VAD, "min_gates", min_gates),
            as_float(_VAD, "min_spread", min_spread),
            as_int(_VAD, "n_threads", n_threads),
        )


def _cos_elevation(elevation: float) -> float:
    """The cosine of a sweep's elevation (degrees) as :func:`bluster.vad` takes it: converted
    to radians by the same multiply, checked against the range of elevation angles, and its
    cosine taken by NumPy over the rings' array (here of one ring)."""
    radians = as_array(_VAD, "elevation", elevation, "radian", plain="degree")
    check_elevation(_VAD, np.rad2deg(radians))
    return float(np.cos(np.broadcast_to(radians, (1,)))[0])


def _ring_fits(sweep: Sweep, fit: _FitSettings, moments: Any) -> tuple[np.ndarray, float]:
    """The vad fits of a sweep's rings, one per gate, as the core's (8, gates) array; the
    sweep's largest speed where the file states a Nyquist velocity to compare it with (NaN
    otherwise).

    The rings are read by ``_wind.vad_sweep`` from the sweep's (rays, gates) layout: the same
    bits as :func:`bluster.vad` of the transposed velocities (rings = gates), without the
    transposed copy and the azimuths repeated for every ring. The azimuths go in degrees with
    the factor to radians that :func:`bluster.vad`'s conversion multiplies them by.
    """
    velocity = moment(sweep, "velocity", moments)
    azimuth = sweep.data.variables["azimuth"].values
    fits = _wind.vad_sweep(
        velocity,
        azimuth,
        conversion_factor("degree", "radian"),
        _cos_elevation(sweep.elevation),
        fit.min_gates,
        fit.min_spread,
        fit.n_threads,
    )
    if not np.isfinite(nyquist_velocity(sweep)):
        return fits, np.nan
    return fits, _largest_speed(velocity)


def _largest_speed(velocity: np.ndarray) -> float:
    """max |velocity| over the present values, 0 without any: by two reductions that skip NaN,
    without the temporary array of ``np.abs``."""
    fastest = np.fmax.reduce(velocity, axis=None, initial=0.0)
    slowest = np.fmin.reduce(velocity, axis=None, initial=0.0)
    return float(max(fastest, -slowest))


class _RingSet(NamedTuple):
    """The rings' variables over (``sweep``, ``range``) and their coordinates, assembled into
    a Dataset only when one is returned (xarray's merge of each added variable costs more
    than the binning)."""

    variables: dict[str, xr.Variable]
    coords: xr.Coordinates

    def dataset(
        self, scalars: Mapping[str, Any] | None = None, attrs: Mapping[str, Any] | None = None
    ) -> xr.Dataset:
        coords = self.coords if scalars is None else self.coords.assign(scalars)
        ds = assemble(dict(self.variables), coords)
        ds.attrs.update(attrs or {})
        return ds


def _ring_set(sweeps: list[Sweep], fits: list[np.ndarray]) -> _RingSet:
    """The sweeps' ring fits over (``sweep``, ``range``): the union of the sweeps' ranges,
    NaN where a sweep has no gate. Stacked with NumPy: xarray's outer join costs more than the
    fits of a sparse volume."""
    ranges = [s.data.variables["range"].values.astype(np.float64) for s in sweeps]
    same = all(np.array_equal(r, ranges[0]) for r in ranges)
    union = ranges[0] if same else np.unique(np.concatenate(ranges))
    elevation = np.array([s.elevation for s in sweeps])
    # each sweep's heights by its own call, as one sweep's profile computes them
    heights = [beam_height(r, el) for r, el in zip(ranges, elevation, strict=True)]
    if same:  # every sweep fills its whole row
        stacked, height = np.stack(fits, axis=1), np.stack(heights)
    else:
        stacked, height = _scattered(union, ranges, fits, heights)
    dims = ("sweep", "range")
    variables = {
        name: xr.Variable(dims, stacked[k], attrs)
        for k, (name, attrs) in enumerate(VARIABLES["vad"].items())
    }
    variables["height"] = xr.Variable(
        dims, height, {"units": "m", "long_name": "beam height above antenna"}
    )
    coords = xr.Coordinates(
        {
            "sweep": [s.name for s in sweeps],
            "range": ("range", union, {"units": "m"}),
            "elevation": ("sweep", elevation, {"units": "degree"}),
            "nyquist_velocity": (
                "sweep",
                [nyquist_velocity(s) for s in sweeps],
                {"units": "m s-1", "long_name": "Nyquist velocity stated by the file"},
            ),
        }
    )
    return _RingSet(variables, coords)


def _scattered(
    union: np.ndarray, ranges: list[np.ndarray], fits: list[np.ndarray], heights: list[np.ndarray]
) -> tuple[np.ndarray, np.ndarray]:
    """The fits (8, sweeps, union) and ring heights (sweeps, union) of sweeps of different
    ranges: each sweep's gates in their columns of the union, NaN elsewhere."""
    stacked = np.full((len(VARIABLES["vad"]), len(ranges), union.size), np.nan)
    height = np.full((len(ranges), union.size), np.nan)
    for row, (r, f, h) in enumerate(zip(ranges, fits, heights, strict=True)):
        column = np.searchsorted(union, r)
        stacked[:, row, column] = f
        height[row, column] = h
    return stacked, height


def _height_edges(heights: ArrayLike | None, ring_heights: np.ndarray) -> np.ndarray:
    if heights is None:
        top = float(np.nanmax(ring_heights))
        return np.arange(0.0, top + DEFAULT_BIN, DEFAULT_BIN)
    edges = np.asarray(heights, dtype=np.float64)
    if edges.ndim != 1 or edges.size < 2 or not np.all(np.diff(edges) > 0):
        raise ValueError(
            f"heights: expected at least two ascending bin edges in m, got {np.asarray(heights)!r}"
        )
    return edges


def _binned(ring_set: _RingSet, edges: np.ndarray, scalars: Mapping[str, Any]) -> xr.Dataset:
    """Count-weighted means of the accepted rings in each height bin (no loop over rows), and
    whether the velocities of a sweep look aliased; with the scalar coordinates."""
    rings = ring_set.variables
    u = rings["u"].values.ravel()
    accepted = np.isfinite(u)
    height = rings["height"].values.ravel()[accepted]
    index = np.searchsorted(edges, height, side="right") - 1
    inside = (index >= 0) & (index < edges.size - 1) & (height <= edges[-1])
    index = index[inside]
    weight = rings["count"].values.ravel()[accepted][inside]
    n_bins = edges.size - 1

    def weighted_mean(name: str) -> np.ndarray:
        values = rings[name].values.ravel()[accepted][inside]
        total = np.bincount(index, weights=weight * values, minlength=n_bins)
        with np.errstate(invalid="ignore", divide="ignore"):
            return total / np.bincount(index, weights=weight, minlength=n_bins)

    mean_u, mean_v = weighted_mean("u"), weighted_mean("v")
    speed = np.hypot(mean_u, mean_v)
    direction = np.mod(np.rad2deg(np.arctan2(-mean_u, -mean_v)), 360.0)
    ms = {"units": "m s-1"}
    suspected = rings["aliasing_suspected"]
    variables = {
        "u": xr.Variable("height", mean_u, ms | {"standard_name": "eastward_wind"}),
        "v": xr.Variable("height", mean_v, ms | {"standard_name": "northward_wind"}),
        "wind_speed": xr.Variable("height", speed, ms | {"standard_name": "wind_speed"}),
        "wind_direction": xr.Variable(
            "height", direction, {"units": "degree", "standard_name": "wind_from_direction"}
        ),
        "rms": xr.Variable(
            "height", weighted_mean("rms"), ms | {"long_name": "rms residual of rings"}
        ),
        "n_rings": xr.Variable("height", np.bincount(index, minlength=n_bins), {"units": "1"}),
        "count": xr.Variable(
            "height",
            np.bincount(index, weights=weight, minlength=n_bins).astype(np.int64),
            {"units": "1", "long_name": "valid samples of the accepted rings"},
        ),
        "aliasing_suspected": xr.Variable(
            (), np.int8(suspected.values.any()), dict(suspected.attrs)
        ),
    }
    coords = xr.Coordinates(
        {
            "height": ("height", 0.5 * (edges[:-1] + edges[1:]), {"units": "m"}),
            "height_bottom": ("height", edges[:-1], {"units": "m"}),
            "height_top": ("height", edges[1:], {"units": "m"}),
            **scalars,
        }
    )
    return assemble(variables, coords)
