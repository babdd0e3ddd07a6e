"""One group of a NetCDF4 file, read through h5netcdf (h5py underneath): the small variables as
xarray decodes them, the moments raw, to be decoded in one pass each."""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

from ._decode import decode


@dataclass(frozen=True)
class Moment:
    """A moment as stored: its dims, the raw values and the attributes that code them."""

    dims: tuple[str, ...]
    stored: np.ndarray
    attrs: dict[str, Any]

    def decoded(self, rows: np.ndarray | slice | None = None) -> np.ndarray:
        """The values as xarray decodes them (float64), rays in ``rows`` order (or a slice)."""
        stored = self.stored
        order = None
        if isinstance(rows, slice):
            stored = stored[rows]
        elif rows is not None:
            order = rows
        return decode(stored, self.attrs, rows=order)

    def plain_attrs(self) -> dict[str, Any]:
        """The attributes that stay after decoding (the coding ones go to the encoding)."""
        coding = {"_FillValue", "missing_value", "scale_factor", "add_offset", "_Unsigned"}
        return {k: v for k, v in self.attrs.items() if k not in coding and k != "coordinates"}


def read_group(
    group: Any,
    is_moment: Callable[[str, tuple[str, ...]], bool],
    wanted: Callable[[list[str]], list[str]],
) -> tuple[xr.Dataset, dict[str, Moment]]:
    """The group's small variables decoded by xarray (times, strings, masks), and its moments
    (``is_moment(name, dims)``) that ``wanted(names)`` keeps, raw."""
    small: dict[str, xr.Variable] = {}
    moments: dict[str, Any] = {}
    for name, variable in group.variables.items():
        dims = tuple(variable.dimensions)
        if is_moment(name, dims):
            moments[name] = variable
        else:
            small[name] = xr.Variable(dims, _strings(variable[...]), _attrs(variable.attrs))
    decoded = xr.decode_cf(xr.Dataset(small, attrs=_attrs(group.attrs)), decode_timedelta=False)
    chosen = {
        name: Moment(
            tuple(moments[name].dimensions), moments[name][...], _attrs(moments[name].attrs)
        )
        for name in wanted(list(moments))
    }
    return decoded, chosen


def _attrs(attrs: Any) -> dict[str, Any]:
    """Attributes as xradar's reader (netCDF4) gives them: one-character strings as str too
    (h5netcdf keeps them as bytes)."""
    return {
        key: value.decode("utf-8", "surrogateescape") if isinstance(value, bytes) else value
        for key, value in attrs.items()
    }


def _strings(values: Any) -> Any:
    """Variable-length strings as fixed-width str, as xradar's reader (netCDF4) gives them."""
    values = np.asarray(values)
    if values.dtype != object:
        return values
    items = [
        v.decode("utf-8", "surrogateescape") if isinstance(v, bytes) else v for v in values.ravel()
    ]
    if not all(isinstance(v, str) for v in items):
        return values
    return np.array(items, dtype=str).reshape(values.shape)
