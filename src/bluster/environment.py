"""Storm environment of wind profiles: Bunkers storm motion, bulk shear, helicity, mean wind.

Every quantity is put together from the layer winds, helicities and mean winds of the
``profile`` kernel, each layer one kernel call over all columns at once; what is left (the
storm motion from three layer means, shear vectors and their lengths) is arithmetic on one
value per column.
"""

from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np
import xarray as xr

import _bluster

from ._apply import Layout, Operand, optional_operand, run
from ._inputs import as_array, as_float, as_int, as_optional

ArrayLike = Any  # NumPy, masked, xarray, pint or Dask-backed arrays, nested sequences

# Bunkers et al. (2000): the layers of the mean wind and of the shear that orients the
# deviation, m above ground, and the deviation, m s-1
MEAN_LAYER = (0.0, 6000.0)
SHEAR_BOTTOM_LAYER = (0.0, 500.0)
SHEAR_TOP_LAYER = (5500.0, 6000.0)
DEVIATION = 7.5
# The standard layers of bulk shear and of storm-relative helicity, m above ground
SHEAR_LAYERS = (1000.0, 3000.0, 6000.0)
HELICITY_LAYERS = (1000.0, 3000.0)

_MOTION_OUTPUTS = (
    "storm_u_right",
    "storm_v_right",
    "storm_u_left",
    "storm_v_left",
    "u_mean_0_6km",
    "v_mean_0_6km",
)
_SHEAR_OUTPUTS = ("u_shear", "v_shear", "shear")


def _km(top: float) -> str:
    return f"0_{top / 1000:g}km"


_ENVIRONMENT_OUTPUTS = (
    *_MOTION_OUTPUTS,
    *(f"{name}_{_km(top)}" for top in SHEAR_LAYERS for name in _SHEAR_OUTPUTS),
    "storm_u",
    "storm_v",
    *(f"helicity_{_km(top)}" for top in HELICITY_LAYERS),
)

# The kernel's rows (see _bluster.profile)
U_BOTTOM, V_BOTTOM, U_TOP, V_TOP, HELICITY, U_MEAN, V_MEAN = range(7)

Profile = Callable[[float, float, np.ndarray, np.ndarray], np.ndarray]


def _layers(
    height: np.ndarray, u: np.ndarray, v: np.ndarray, ground: np.ndarray | None, n_threads: int
) -> Profile:
    """profile(bottom, top, cu, cv): the kernel's (7, rows) result for one layer."""
    floor = np.full(height.shape[0], np.nan) if ground is None else ground

    def layer(bottom: float, top: float, cu: np.ndarray, cv: np.ndarray) -> np.ndarray:
        return _bluster.profile(height, u, v, floor, bottom, top, cu, cv, n_threads)

    return layer


def _bunkers(profile: Profile, deviation: float, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Right and left mover and 0-6 km mean wind, as (6, rows); and the 0-6 km layer."""
    still = np.zeros(rows)
    deep = profile(*MEAN_LAYER, still, still)
    low = profile(*SHEAR_BOTTOM_LAYER, still, still)
    high = profile(*SHEAR_TOP_LAYER, still, still)
    shear_u = high[U_MEAN] - low[U_MEAN]
    shear_v = high[V_MEAN] - low[V_MEAN]
    with np.errstate(invalid="ignore", divide="ignore"):  # no shear at all: no direction
        scale = deviation / np.hypot(shear_u, shear_v)
        # the deviation is perpendicular to the shear, to its right: (shear_v, -shear_u)
        dev_u, dev_v = shear_v * scale, -shear_u * scale
    mean_u, mean_v = deep[U_MEAN], deep[V_MEAN]
    motion = np.stack([mean_u + dev_u, mean_v + dev_v, mean_u - dev_u, mean_v - dev_v])
    return np.concatenate([motion, deep[[U_MEAN, V_MEAN]]]), deep


def _shear(layer: np.ndarray) -> np.ndarray:
    """(u, v, magnitude) of the wind at the layer's top minus the wind at its bottom."""
    du = layer[U_TOP] - layer[U_BOTTOM]
    dv = layer[V_TOP] - layer[V_BOTTOM]
    return np.stack([du, dv, np.hypot(du, dv)])


def _column_operands(
    func: str, height: ArrayLike, u: ArrayLike, v: ArrayLike, ground: ArrayLike | None, dim: str
) -> list[Operand | None]:
    return [
        Operand("height", as_array(func, "height", height, "m"), (dim,)),
        Operand("u", as_array(func, "u", u, "m/s"), (dim,)),
        Operand("v", as_array(func, "v", v, "m/s"), (dim,)),
        optional_operand("ground", as_optional(func, "ground", ground, "m")),
    ]


_HEIGHTS = """\
    height : array_like, (columns..., levels)
        Height of each level, m (converted when it carries units), in upward order, in the
        reference of ``ground``.
    u, v : array_like, (columns..., levels)
        Eastward and northward wind, m s-1 (converted when they carry units)."""

_GROUND = """\
    ground : array_like, scalar or (columns...,), optional
        Height of the ground under each column, m, in the reference of ``height``: the
        layers are measured from it. Heights above sea level: pass the terrain height here.
        Default None: each column's first usable level is its ground (a sounding's surface
        report, heights above ground)."""

_COMMON = """\
    dim : str, optional
        Name of the levels dimension of DataArray inputs. Default ``"level"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs)."""

_REACH = """\
    A level is usable when its height and both winds are finite (masked values are
    missing); other levels are bridged. A layer needs data at both its ends (within 1e-6 m):
    where the column's usable levels do not reach a layer's top, or start above the ground,
    everything computed from that layer is NaN, never a shorter layer. A model column whose
    lowest level lies above the terrain has no wind at 0 m: add the 10 m wind as the level
    at the ground, or leave ``ground=None`` so that the lowest level counts as the ground."""

_BUNKERS_REFERENCE = """\
    Bunkers, M. J., B. A. Klimowski, J. W. Zeitler, R. L. Thompson, and M. L. Weisman,
    2000: Predicting supercell motion using a new hodograph technique. Wea. Forecasting,
    15, 61-79."""


F = TypeVar("F", bound=Callable[..., Any])


def _docstring(template: str) -> Callable[[F], F]:
    """The function's docstring: ``template`` with the parts the three functions share."""

    def apply(function: F) -> F:
        function.__doc__ = template.format(
            heights=_HEIGHTS,
            ground=_GROUND,
            common=_COMMON,
            reach=_REACH,
            bunkers=_BUNKERS_REFERENCE,
        )
        return function

    return apply


@_docstring(
    """Bunkers storm motion of every column: right mover, left mover and 0-6 km mean wind.

    The internal-dynamics method of Bunkers et al. (2000): a supercell moves with the 0-6 km
    mean wind (height-weighted, not pressure-weighted) plus a deviation of 7.5 m s-1
    perpendicular to the vertical wind shear, to its right for the right mover and to its
    left for the left mover. The shear is the 5.5-6 km mean wind minus the 0-0.5 km mean
    wind, both height-weighted.

    Parameters
    ----------
{heights}
{ground}
    deviation : float, optional
        The deviation from the mean wind, m s-1. Default 7.5.
{common}

    Returns
    -------
    xarray.Dataset
        Over the column dimensions (``column`` for NumPy input): ``storm_u_right``,
        ``storm_v_right``, ``storm_u_left``, ``storm_v_left`` (m s-1), ``u_mean_0_6km``,
        ``v_mean_0_6km`` (0-6 km mean wind, m s-1).

    Notes
    -----
    Mean winds are trapezoidal integrals over height divided by the depth, with the winds at
    the layer's ends interpolated linearly in height (``profile``). MetPy's
    ``bunkers_storm_motion`` integrates over pressure instead (a mass-weighted mean, with
    winds interpolated in log-pressure); on a real sounding the two differ by a few tenths
    of a m s-1.

{reach}
    Where the shear is exactly zero the deviation has no direction and the right and left
    movers are NaN.

    References
    ----------
{bunkers}

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> z = np.arange(0.0, 6001.0, 500.0)  # m above ground
    >>> motion = bluster.storm_motion(z, 0.004 * z, np.zeros_like(z))  # westerly shear
    >>> for name in ("storm_u_right", "storm_v_right", "u_mean_0_6km"):
    ...     print(name, round(motion[name].item(), 6))
    storm_u_right 12.0
    storm_v_right -7.5
    u_mean_0_6km 12.0
    """
)
def storm_motion(
    height: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    *,
    ground: ArrayLike | None = None,
    deviation: float = DEVIATION,
    dim: str = "level",
    n_threads: int = 0,
) -> xr.Dataset:
    func = "storm_motion"
    shift = as_float(func, "deviation", deviation, "m/s")
    layout = Layout(func, (dim,), ("levels",), "column", _MOTION_OUTPUTS)

    def kernel(
        height: np.ndarray,
        u: np.ndarray,
        v: np.ndarray,
        n_threads: int,
        ground: np.ndarray | None = None,
    ) -> np.ndarray:
        profile = _layers(height, u, v, ground, n_threads)
        return _bunkers(profile, shift, height.shape[0])[0]

    operands = _column_operands(func, height, u, v, ground, dim)
    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))


@_docstring(
    """Bulk wind shear of a layer in every column: the wind at its top minus the wind at its
    bottom.

    The definition of the Storm Prediction Center and of MetPy's ``bulk_shear``: the vector
    difference of the winds at the two heights, interpolated linearly in height between
    levels (not a difference of layer means).

    Parameters
    ----------
{heights}
    bottom, top : float
        The layer's bottom and top above ground, m (e.g. 0 and 6000 for 0-6 km shear).
{ground}
{common}

    Returns
    -------
    xarray.Dataset
        Over the column dimensions (``column`` for NumPy input): ``u_shear``, ``v_shear``
        (the shear vector, m s-1) and ``shear`` (its length, m s-1).

    Notes
    -----
{reach}

    References
    ----------
    Markowski, P., and Y. Richardson, 2010: Mesoscale Meteorology in Midlatitudes.
    Wiley-Blackwell, section 8.4.

    Examples
    --------
    >>> import bluster
    >>> z = [[0.0, 1000.0, 2000.0, 3000.0]]
    >>> u = [[0.0, 10.0, 20.0, 20.0]]
    >>> v = [[0.0, 0.0, 10.0, 20.0]]
    >>> res = bluster.bulk_shear(z, u, v, bottom=500.0, top=2500.0)
    >>> print(res.u_shear.item(), res.v_shear.item(), res.shear.item())
    15.0 15.0 21.213203435596427
    """
)
def bulk_shear(
    height: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    *,
    bottom: float,
    top: float,
    ground: ArrayLike | None = None,
    dim: str = "level",
    n_threads: int = 0,
) -> xr.Dataset:
    func = "bulk_shear"
    layer = as_float(func, "bottom", bottom, "m"), as_float(func, "top", top, "m")
    layout = Layout(func, (dim,), ("levels",), "column", _SHEAR_OUTPUTS)

    def kernel(
        height: np.ndarray,
        u: np.ndarray,
        v: np.ndarray,
        n_threads: int,
        ground: np.ndarray | None = None,
    ) -> np.ndarray:
        still = np.zeros(height.shape[0])
        return _shear(_layers(height, u, v, ground, n_threads)(*layer, still, still))

    operands = _column_operands(func, height, u, v, ground, dim)
    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))


@_docstring(
    """The standard storm environment of every column in one Dataset.

    Bunkers right- and left-mover motion and the 0-6 km mean wind (:func:`storm_motion`),
    the 0-1, 0-3 and 0-6 km bulk shear (:func:`bulk_shear`) and the 0-1 and 0-3 km
    storm-relative helicity (:func:`profile`) with respect to the right mover or to a given
    storm motion.

    Parameters
    ----------
{heights}
    storm_u, storm_v : array_like, scalar or (columns...,), optional
        The storm motion of the helicity, m s-1 (e.g. an observed cell motion), both or
        neither. Default None: the Bunkers right mover of each column.
{ground}
    deviation : float, optional
        The Bunkers deviation from the mean wind, m s-1. Default 7.5.
{common}

    Returns
    -------
    xarray.Dataset
        Over the column dimensions (``column`` for NumPy input), all in m s-1 but the
        helicity:

        - ``storm_u_right``, ``storm_v_right``, ``storm_u_left``, ``storm_v_left``,
          ``u_mean_0_6km``, ``v_mean_0_6km``: as :func:`storm_motion`;
        - ``u_shear_0_1km``, ``v_shear_0_1km``, ``shear_0_1km`` and the same for ``0_3km``
          and ``0_6km``: as :func:`bulk_shear`;
        - ``storm_u``, ``storm_v``: the storm motion of the helicity;
        - ``helicity_0_1km``, ``helicity_0_3km``: storm-relative helicity, m2 s-2,
          positive for a hodograph turning clockwise about the storm motion.

    Notes
    -----
{reach}
    Columns that reach 3 km but not 6 km get their 0-1 and 0-3 km shear, but no Bunkers
    motion and so no helicity unless a storm motion is given.

    The numbers are those of the kernel ``profile`` for each layer (five calls over all
    columns: 0-6, 0-0.5, 5.5-6 km, then 0-1 and 0-3 km with the storm motion); only the
    storm motions and the shear vectors and lengths are computed above it.

    References
    ----------
{bunkers}

    Davies-Jones, R., D. Burgess, and M. Foster, 1990: Test of helicity as a tornado
    forecast parameter. Preprints, 16th Conf. on Severe Local Storms, Kananaskis Park,
    Alberta, Canada, Amer. Meteor. Soc., 588-592.

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> z = np.arange(0.0, 8001.0, 250.0)  # m above ground
    >>> turn = np.deg2rad(90.0) * np.minimum(z, 3000.0) / 3000.0  # veering over 0-3 km
    >>> u, v = 10.0 - 10.0 * np.cos(turn), 10.0 * np.sin(turn)  # a quarter circle of 10 m/s
    >>> env = bluster.storm_environment(z, u, v, storm_u=10.0, storm_v=0.0)  # its centre
    >>> print(f"{{env.shear_0_3km.item():.2f}} m/s, {{env.helicity_0_3km.item():.1f}} m2/s2")
    14.14 m/s, 156.6 m2/s2

    The helicity is twice the area swept on the hodograph, here by 12 chords of the arc: 12 x
    100 sin(7.5 deg) = 156.6 m2 s-2 (100 pi / 2 = 157.1 for the arc itself).
    """
)
def storm_environment(
    height: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    *,
    storm_u: ArrayLike | None = None,
    storm_v: ArrayLike | None = None,
    ground: ArrayLike | None = None,
    deviation: float = DEVIATION,
    dim: str = "level",
    n_threads: int = 0,
) -> xr.Dataset:
    func = "storm_environment"
    if (storm_u is None) != (storm_v is None):
        given = "storm_u" if storm_v is None else "storm_v"
        raise TypeError(
            f"{func}: {given} is given alone, expected both storm_u and storm_v (a storm "
            "motion) or neither (the Bunkers right mover)"
        )
    shift = as_float(func, "deviation", deviation, "m/s")
    layout = Layout(func, (dim,), ("levels",), "column", _ENVIRONMENT_OUTPUTS)

    def kernel(
        height: np.ndarray,
        u: np.ndarray,
        v: np.ndarray,
        n_threads: int,
        ground: np.ndarray | None = None,
        storm_u: np.ndarray | None = None,
        storm_v: np.ndarray | None = None,
    ) -> np.ndarray:
        rows = height.shape[0]
        profile = _layers(height, u, v, ground, n_threads)
        motion, deep = _bunkers(profile, shift, rows)
        if storm_u is None or storm_v is None:
            storm_u, storm_v = motion[0], motion[1]
        near = {top: profile(0.0, top, storm_u, storm_v) for top in HELICITY_LAYERS}
        values = dict(zip(_MOTION_OUTPUTS, motion, strict=True))
        for top in SHEAR_LAYERS:
            shear = _shear(near.get(top, deep))
            values |= {
                f"{name}_{_km(top)}": s for name, s in zip(_SHEAR_OUTPUTS, shear, strict=True)
            }
        values |= {"storm_u": storm_u, "storm_v": storm_v}
        values |= {f"helicity_{_km(top)}": near[top][HELICITY] for top in HELICITY_LAYERS}
        return np.stack([values[name] for name in _ENVIRONMENT_OUTPUTS])

    operands = [
        *_column_operands(func, height, u, v, ground, dim),
        optional_operand("storm_u", as_optional(func, "storm_u", storm_u, "m/s")),
        optional_operand("storm_v", as_optional(func, "storm_v", storm_v, "m/s")),
    ]
    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads))
