"""The storm environment above a radar: Bunkers motion, bulk shear and helicity from the VAD
wind profile of a volume."""

from collections.abc import Sequence
from typing import Any

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

import bluster

from .._inputs import as_array
from .wind import vad_profile

ANTENNA = 0.0  # m, the height of the profile's ground: the antenna
LEVEL = "height"  # the levels dimension of a VAD profile


def storm_environment(
    source: Any,
    *,
    surface_wind: Sequence[float] | None = None,
    storm_u: ArrayLike | None = None,
    storm_v: ArrayLike | None = None,
    deviation: float = 7.5,
    n_threads: int = 0,
    **vad_options: Any,
) -> xr.Dataset:
    """The storm environment above a radar from the VAD wind profile of a volume.

    The variables of :func:`bluster.storm_environment` (Bunkers motions, 0-1, 0-3 and 0-6 km
    bulk shear, 0-1 and 0-3 km storm-relative helicity, 0-6 km mean wind) computed on the
    volume's :func:`vad_profile`, with heights above the antenna as heights above ground.

    Parameters
    ----------
    source : path, list of paths, xarray.DataTree, pyart.core.Radar or xarray.Dataset
        A volume, as :func:`open_volume` takes it, or its wind profile as
        :func:`vad_profile` returns it (to reuse a profile already computed), or profiles
        over more dimensions, such as the time series of ``bluster vad``.
    surface_wind : (float, float), optional
        Eastward and northward wind at the antenna, m s-1, e.g. a surface station's at the
        radar site. Default None: the wind of the profile's lowest height bin (0 to 100 m
        above the antenna by default) when that bin starts at the antenna and has data.
    storm_u, storm_v : float or array_like, optional
        The storm motion of the helicity, m s-1, e.g. a tracked cell's (one per profile).
        Default None: the Bunkers right mover, which needs the profile to reach 6 km.
    deviation : float, optional
        The Bunkers deviation from the 0-6 km mean wind, m s-1. Default 7.5.
    n_threads : int, optional
        Threads of the VAD fits and of the layer computations: 0 (default) one per hardware
        thread.
    **vad_options
        Keywords of :func:`vad_profile` (``heights``, ``min_gates``, ``min_spread``,
        ``sweeps``, ``moments``), when ``source`` is a volume.

    Returns
    -------
    xarray.Dataset
        Over the profile's dimensions but ``height`` (none for the profile of one volume),
        with its coordinates (``time``, ``site``): ``storm_u_right``, ``storm_v_right``,
        ``storm_u_left``, ``storm_v_left``, ``u_mean_0_6km``, ``v_mean_0_6km``,
        ``u_shear_0_1km``, ``v_shear_0_1km``, ``shear_0_1km`` (and ``0_3km``, ``0_6km``),
        ``storm_u``, ``storm_v``, ``helicity_0_1km``, ``helicity_0_3km`` (see
        :func:`bluster.storm_environment`).

    Notes
    -----
    The profile's levels are the centres of its height bins, above the antenna; the ground
    of every layer is the antenna, whose wind is ``surface_wind`` or the lowest bin's (a
    constant wind below the bin's centre). Bins without an accepted ring are bridged by
    linear interpolation in height between the bins around them.

    A layer the profile does not reach is NaN, never a shorter layer. A VAD profile rarely
    reaches 6 km (echo thins out aloft): then the Bunkers motions, the 0-6 km mean wind and
    shear are NaN, and the helicity too unless ``storm_u`` and ``storm_v`` are given; the
    0-1 and 0-3 km shear need the profile to reach 1 and 3 km only. Without data at the
    antenna (no ``surface_wind`` and an empty lowest bin, or bins that start above it)
    every variable is NaN.

    The heights are above the antenna, not the ground: a radar on a tower or a hill has its
    layers shifted up by its height above the surrounding ground.

    References
    ----------
    Bunkers, M. J., B. A. Klimowski, J. W. Zeitler, R. L. Thompson, and M. L. Weisman,
    2000: Predicting supercell motion using a new hodograph technique. Wea. Forecasting,
    15, 61-79.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from bluster.radar import storm_environment
    >>> z = 50.0 + 100.0 * np.arange(40)  # bin centres, m above the antenna
    >>> profile = xr.Dataset(  # a westerly wind rising 2 m/s per km (what vad_profile gives)
    ...     {"u": ("height", 5.0 + 0.002 * z), "v": ("height", np.zeros(40))},
    ...     coords={"height": z, "height_bottom": ("height", z - 50.0)})
    >>> env = storm_environment(profile, surface_wind=(5.0, 0.0), storm_u=10.0, storm_v=0.0)
    >>> print(env.shear_0_1km.item(), env.shear_0_3km.item(), env.shear_0_6km.item())
    2.0 6.0 nan
    """
    profile = source if isinstance(source, xr.Dataset) else None
    if profile is None:
        profile = vad_profile(source, n_threads=n_threads, **vad_options)
    elif vad_options:
        raise TypeError(
            f"storm_environment: {', '.join(vad_options)} given with a wind profile; "
            "expected the options of vad_profile only with a volume"
        )
    height, u, v = _levels(profile, surface_wind)
    return bluster.storm_environment(
        height,
        u,
        v,
        storm_u=storm_u,
        storm_v=storm_v,
        ground=ANTENNA,
        deviation=deviation,
        dim=LEVEL,
        n_threads=n_threads,
    )


def _levels(
    profile: xr.Dataset, surface_wind: Sequence[float] | None
) -> tuple[xr.DataArray, xr.DataArray, xr.DataArray]:
    """The profile's levels along ``height``, the antenna first: heights (m), u, v (m s-1)."""
    for name in ("u", "v", LEVEL):
        if name not in profile.variables or LEVEL not in profile[name].dims:
            raise ValueError(
                f"storm_environment: the profile has no {name!r} over {LEVEL!r}; expected a "
                "Dataset of vad_profile (variables u and v over height)"
            )
    func = "storm_environment"
    if profile.sizes[LEVEL] == 0:
        raise ValueError(f"{func}: the profile has no height bin")
    height = np.asarray(as_array(func, LEVEL, profile[LEVEL], "m"))
    winds = []
    for name in ("u", "v"):
        wind = as_array(func, name, profile[name], "m/s")
        assert isinstance(wind, xr.DataArray)
        winds.append(wind.drop_vars([c for c in wind.coords if LEVEL in wind[c].dims]))
    surface = [w.isel({LEVEL: 0}) for w in winds]
    if surface_wind is not None:
        given = np.asarray(surface_wind, dtype=np.float64)
        if given.shape != (2,):
            raise ValueError(f"{func}: surface_wind is {surface_wind!r}, expected (u, v) in m/s")
        surface = [xr.full_like(s, value) for s, value in zip(surface, given, strict=True)]
    else:
        edges = profile["height_bottom"] if "height_bottom" in profile.coords else profile[LEVEL]
        if np.asarray(as_array(func, "height_bottom", edges, "m"))[0] > ANTENNA:
            surface = [xr.full_like(s, np.nan) for s in surface]
    u, v = (
        xr.concat([s.expand_dims(LEVEL), w], LEVEL) for s, w in zip(surface, winds, strict=True)
    )
    levels = xr.DataArray(np.concatenate([[ANTENNA], height]), dims=LEVEL)
    return levels, u, v
