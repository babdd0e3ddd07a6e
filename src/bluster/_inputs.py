"""Conversion of the arguments, as users hold them, into what the kernels read.

One place for every input path: NumPy arrays and array-likes, ``numpy.ma`` masked arrays
(masked values become NaN, the kernels' missing value), pint quantities and
``xarray.DataArray`` objects whose ``units`` attribute names a physical unit (converted with
pint to the unit the kernel needs), Dask-backed DataArrays (kept lazy).

pint is imported on first need: its import and the registry cost a process most of a second,
which a command-line run would pay in every worker process for nothing but the units of its
files, which the spellings below convert without it. A value cannot be a pint quantity
before pint is imported.
"""

import functools
import math
import operator
import re
import sys
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import xarray as xr

if TYPE_CHECKING:
    import pint

Array = np.ndarray | xr.DataArray


# CF and UDUNITS spellings pint does not know by itself (the definitions cf-xarray and MetPy
# add to theirs), and the spellings of radar files.
_DEFINITIONS = (
    "percent = 0.01 = %",
    "@alias meter = gpm",
    "@alias degC = C = deg_C = Celsius = degrees_Celsius",
    "@alias degK = deg_K",
    "degrees_north = degree = degree_north = degrees_N = degreesN = degree_N",
    "degrees_east = degree = degree_east = degrees_E = degreesE = degree_E",
)
# What files write for a dimensionless quantity (a ratio such as RhoHV): CF's "1", and the
# "-" and "unitless" of radar formats.
_DIMENSIONLESS = frozenset({"", "1", "-", "unitless"})
# The units the radar functions meet in every volume, by the spellings files give them: a
# conversion between two of these is the same unit (a factor of 1) or a factor of the table,
# which is pint's own (the tests check both against pint), found without pint.
_SPELLINGS: dict[str, tuple[str, ...]] = {
    "1": tuple(sorted(_DIMENSIONLESS)),
    "degree": ("degree", "degrees", "deg"),
    "radian": ("radian", "radians", "rad"),
    "m": ("m", "meter", "meters", "metre", "metres"),
    "km": ("km", "kilometer", "kilometers", "kilometre", "kilometres"),
    "m/s": ("m/s", "m s-1", "meters per second", "meters per seconds", "metres per second"),
    "degree/km": ("degree/km", "degrees/km", "deg/km", "degrees per kilometer"),
}
_UNIT_OF = {spelling: unit for unit, spellings in _SPELLINGS.items() for spelling in spellings}
_KNOWN_SCALES = {
    ("degree", "radian"): math.pi / 180.0,
    ("radian", "degree"): 180.0 / math.pi,
    ("m", "km"): 0.001,
    ("km", "m"): 1000.0,
}
# UDUNITS powers: "m2 s-2" is m**2 s**-2 (a digit or minus sign right after a letter)
_UDUNITS_POWER = re.compile(r"(?<=[A-Za-z])(?![A-Za-z])(?<![0-9\-][eE])(?<![0-9\-])(?=[0-9\-])")


@functools.cache
def unit_registry() -> "pint.UnitRegistry":
    """bluster's own pint registry, which reads the CF spellings (``m s-1``, ``degC``,
    ``degree_Celsius``, ``%``).

    Its own, never pint's application registry: MetPy and other libraries keep theirs, and
    their quantities are converted by their own registry (see :func:`as_array`). Built on
    first use: making a registry takes a noticeable fraction of a second.
    """
    import pint

    registry = pint.UnitRegistry(
        autoconvert_offset_to_baseunit=True,
        preprocessors=[
            str,
            functools.partial(_UDUNITS_POWER.sub, "**"),
            lambda text: text.replace("%", "percent"),
        ],
        force_ndarray_like=True,
    )
    for definition in _DEFINITIONS:
        registry.define(definition)
    return registry


@functools.lru_cache(maxsize=256)
def parse_unit(text: str) -> "pint.Unit":
    """The unit a file's ``units`` text names, in :func:`unit_registry`.

    Accepts the spellings of real files beside pint's own: ``-`` and ``unitless`` for
    dimensionless, and names written with underscores (``meters_per_second``, as Py-ART
    writes) where pint knows the words.

    Raises
    ------
    pint.UndefinedUnitError, pint.DefinitionSyntaxError
        A text pint cannot read in any of these spellings.
    """
    import pint

    registry = unit_registry()
    spelled = text.strip()
    if spelled.lower() in _DIMENSIONLESS:
        return registry.dimensionless
    try:
        return registry.parse_units(spelled)
    except pint.UndefinedUnitError:
        if "_" not in spelled:
            raise
        # "meters_per_second", but "degree_Celsius" is pint's own name and found above
        return registry.parse_units(spelled.replace("_", " "))


def _is_quantity(value: object) -> bool:
    pint = sys.modules.get("pint")
    return pint is not None and isinstance(value, pint.Quantity)


def is_lazy(value: object) -> bool:
    """True for a DataArray whose data is a Dask array (or another chunked array)."""
    return isinstance(value, xr.DataArray) and value.chunks is not None


def _reject_non_numeric(
    func: str, name: str, value: object, expected: str = "an array of numbers"
) -> None:
    if value is None:
        raise TypeError(f"{func}: {name} is None, expected {expected}")
    if isinstance(value, str | bytes):
        raise TypeError(f"{func}: {name} is a string ({value!r}), expected {expected}")


def _numeric_dtype(func: str, name: str, dtype: np.dtype) -> None:
    if dtype.kind not in "biuf":
        raise TypeError(f"{func}: {name} has dtype {dtype}, expected numbers (bool, int or float)")


def _radian_power(unit: "pint.Unit") -> Any:
    """The power of radian in a unit's root units: 1 for angles (degree, turn), -1 for
    per-angle units, 0 for numbers ("1", "percent", "count", "dB")."""
    return dict(unit._REGISTRY.get_root_units(unit)[1]._units).get("radian", 0)


def check_angles(unit: "pint.Unit", target: str) -> None:
    """Refuse a conversion between an angle and a plain number.

    pint takes the radian as dimensionless, so it would convert "1", "" or "percent" to
    degrees as if they were radians (and a degree to the number 0.0175). A value is an angle
    only when its unit says so; no units at all is handled by the caller (the working unit).

    Raises
    ------
    pint.DimensionalityError
        One of ``unit`` and ``target`` is an angle and the other is not.
    """
    import pint

    wanted = parse_unit(target)
    if _radian_power(unit) != _radian_power(wanted):
        raise pint.DimensionalityError(unit, wanted)


def conversion_factor(source: str, target: str) -> float:
    """The factor from the units text ``source`` to ``target``, for quantities without offset.

    Raises
    ------
    pint.PintError
        ``source`` is not a unit pint reads, or cannot be converted to ``target`` (an angle
        and a plain number never convert into each other: see :func:`check_angles`).
    """
    scale = _scale(source, target)
    if scale is None:
        import pint

        raise pint.OffsetUnitCalculusError(parse_unit(source), parse_unit(target))
    return scale


@functools.lru_cache(maxsize=256)
def _scale(source: str, target: str) -> float | None:
    """The factor from `source` to `target` units, or None where the conversion has an offset
    (degC to K). Cached: parsing and converting with pint costs far more than the multiply."""
    known = known_scale(source, target)
    if known is not None:
        return known
    registry = unit_registry()
    unit = parse_unit(source)
    check_angles(unit, target)
    if registry.Quantity(0.0, unit).to(target).magnitude != 0.0:
        return None
    return float(registry.Quantity(1.0, unit).to(target).magnitude)


def _unit_errors() -> tuple[type[Exception], ...]:
    """The errors of a unit pint cannot read or convert, and of a value that is no unit.
    For ``except`` clauses, which evaluate it only while an error is handled: pint is
    imported only then."""
    import pint

    return (pint.UndefinedUnitError, pint.DefinitionSyntaxError, AttributeError, TypeError)


def conversion_errors() -> tuple[type[Exception], ...]:
    """Every error :func:`conversion_factor` raises for units it cannot convert (pint's own
    among them); like ``_unit_errors``, for ``except`` clauses."""
    import pint

    return (pint.errors.PintError, AttributeError, TypeError, ValueError, AssertionError)


def known_scale(source: str, target: str) -> float | None:
    """The factor from `source` to `target` units where both are spellings of
    ``_SPELLINGS`` and the table knows it (pint's factor), else None."""
    units = _UNIT_OF.get(source.strip()), _UNIT_OF.get(target.strip())
    if units[0] is None or units[1] is None:
        return None
    return 1.0 if units[0] == units[1] else _KNOWN_SCALES.get((units[0], units[1]))


def _convert(
    func: str, name: str, data: Any, unit: Any, target: str | None, registry: Any = None
) -> Any:
    """data (NumPy or Dask) given in `unit` (pint unit or string) expressed in `target`."""
    if target is None or unit is None or unit == target:
        return data
    try:
        if isinstance(unit, str) and registry is None:
            scale = _scale(unit, target)
            if scale is not None:
                return data if scale == 1.0 else data * scale
        if registry is None:
            registry, unit = unit_registry(), parse_unit(unit)
        check_angles(unit, target)
        return registry.Quantity(data, unit).to(target).magnitude
    except _unit_errors() as e:
        import pint

        shown = unit if isinstance(unit, str) else format(unit, "~")
        if isinstance(e, pint.DimensionalityError):
            kind = "an angle unit" if _radian_power(parse_unit(target)) else "a unit"
            raise ValueError(
                f"{func}: {name} has units {shown!r}, expected {kind} convertible to {target}"
            ) from None
        raise ValueError(
            f"{func}: {name} has units {shown!r}, which pint does not know; "
            f"expected a unit convertible to {target}"
        ) from None


def _float64(data: Any) -> Any:
    """data as float64, without a copy when it is float64 already (NumPy or Dask)."""
    if isinstance(data, np.ma.MaskedArray):
        return np.ma.filled(data.astype(np.float64), np.nan)
    if isinstance(data, np.ndarray) or not hasattr(data, "astype"):
        return np.asarray(data, dtype=np.float64)
    return data.astype(np.float64, copy=False)


def as_array(
    func: str, name: str, value: Any, unit: str | None = None, plain: str | None = None
) -> Array:
    """One array argument as a float64 NumPy array or DataArray (NumPy or Dask data).

    `unit` is the unit the kernel needs; values with units (pint quantities, a DataArray's
    ``units`` attribute) are converted to it, plain numbers are taken to be in `plain`
    (default: `unit`). ``unit=None``: the values are taken as they are (logarithmic radar
    quantities, ratios, flags).
    """
    plain = plain or unit
    _reject_non_numeric(func, name, value)
    if isinstance(value, xr.DataArray):
        data = value.data
        if _is_quantity(data):  # pint-xarray's layout: a quantity inside the DataArray
            data = _convert(func, name, data.magnitude, data.units, unit, data._REGISTRY)
        else:
            _numeric_dtype(func, name, value.dtype)
            data = _convert(func, name, data, value.attrs.get("units", plain), unit)
        attrs = dict(value.attrs)
        if unit is not None and "units" in attrs:
            attrs["units"] = unit
        return value.copy(deep=False, data=_float64(data)).assign_attrs(attrs)
    if _is_quantity(value):
        magnitude = np.asarray(value.magnitude)
        _numeric_dtype(func, name, magnitude.dtype)
        converted = _convert(func, name, magnitude, value.units, unit, value._REGISTRY)
        return np.asarray(_float64(converted))
    if not isinstance(value, np.ndarray):
        value = np.asarray(value)
    _numeric_dtype(func, name, value.dtype)
    return np.asarray(_convert(func, name, _float64(value), plain, unit))


#: Elevation angles of weather radars, degrees: a little below the horizon (a mountain site
#: looking down) to vertical. An angle outside is in other units or damaged metadata, and
#: the cosine and sine of a wrong elevation give wrong winds and ZDR offsets without a sign.
ELEVATION_RANGE = (-2.0, 90.0)


def check_elevation(func: str, degrees: np.ndarray) -> None:
    """Refuse finite elevations outside :data:`ELEVATION_RANGE` (NaN is a missing angle)."""
    low, high = ELEVATION_RANGE
    finite = degrees[np.isfinite(degrees)]
    if not finite.size:
        return
    # a tolerance for angles converted from radians (pi/2 is 90.00000000000001 degrees)
    worst = float(finite.min()) if finite.min() < low else float(finite.max())
    if not low - 1e-9 <= worst <= high + 1e-9:
        raise ValueError(
            f"{func}: elevation {worst:g} degrees is outside {low:g} to {high:g} degrees; "
            "expected elevation angles in degrees (or with units saying otherwise)"
        )


def as_optional(func: str, name: str, value: Any, unit: str | None = None) -> Array | None:
    """An optional array argument: ``None`` stays ``None`` (the kernel's test is skipped)."""
    return None if value is None else as_array(func, name, value, unit)


def as_float(func: str, name: str, value: Any, unit: str | None = None) -> float:
    """A scalar parameter as a float, converted to `unit` when it carries units."""
    _reject_non_numeric(func, name, value, "a number")
    if _is_quantity(value):
        value = _convert(func, name, value.magnitude, value.units, unit, value._REGISTRY)
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{func}: {name} is {value!r}, expected a number") from None


def as_int(func: str, name: str, value: Any) -> int:
    """An integer parameter; a float is refused, as the kernels refuse it."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{func}: {name} is {value!r}, expected an integer") from None


def warn_if_plain_below(
    func: str, name: str, value: Any, limit: float, unit: str, looks_like: str
) -> None:
    """Warn when ``value`` is plain numbers (no units) whose largest finite value is below
    ``limit``: they are taken in ``unit`` but look like ``looks_like`` (degC given as K, hPa
    given as Pa). Lazy (Dask-backed) values are not looked at: that would compute them."""
    if _is_quantity(value) or units_of(value) is not None or is_lazy(value):
        return
    data = value.data if isinstance(value, xr.DataArray) else value
    try:
        values = np.ma.filled(np.ma.asarray(data, dtype=np.float64), np.nan)
    except (TypeError, ValueError):
        return
    finite = values[np.isfinite(values)]
    largest = float(finite.max()) if finite.size else np.inf
    if largest >= limit:
        return
    warnings.warn(
        f"{func}: {name} has no units and its largest value, {largest:g}, is below "
        f"{limit:g}: taken as {unit}, it looks like {looks_like}. Give the values with units "
        f"(a pint quantity, or a DataArray with a 'units' attribute) or in {unit}",
        UserWarning,
        stacklevel=3,
    )


def units_of(value: Any) -> str | None:
    """The units a value carries (pint quantity, DataArray attribute), or None."""
    if isinstance(value, xr.DataArray):
        value = value.data if _is_quantity(value.data) else value.attrs.get("units")
    if _is_quantity(value):
        return format(value.units, "~")
    return value if isinstance(value, str) else None


def ratio_units(numerator: str | None, denominator: str | None) -> str | None:
    """The CF spelling of numerator / denominator, e.g. 'K km-1'; None if either is unknown."""
    if numerator is None or denominator is None:
        return None
    try:
        unit = parse_unit(numerator) / parse_unit(denominator)
    except _unit_errors():
        return f"{numerator} ({denominator})-1"
    return cf_units(unit)


def cf_units(unit: "pint.Unit") -> str:
    """The CF spelling of a unit: symbols, powers as digits, ``1`` for dimensionless
    ('K km-1', 'm2 s-2')."""
    if unit.dimensionless and not unit._units:
        return "1"
    registry = unit._REGISTRY
    exponents: dict[str, Any] = dict(unit._units)  # pint types them as any number
    powers = sorted(exponents.items(), key=lambda item: item[1] < 0)  # the numerator first
    return " ".join(
        f"{registry.get_symbol(name)}{'' if power == 1 else f'{power:g}'}" for name, power in powers
    )
