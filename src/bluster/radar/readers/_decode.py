"""Packed moments to float64, bit for bit as xarray's CF decoding gives them to xradar.

xarray unpacks a moment in the floating type its attributes choose (float32 for a float32
scale factor, for instance) and ``bluster.radar`` then takes it to float64. The decoder of
``_readers`` unpacks in float64 in one pass: where xarray's type is float64, or where nothing
is unpacked (a float32 conversion of a stored value up to 16 bits, or of a float32, is exact),
the two agree bit for bit, and the decoder is used. The rare moment unpacked in float32 is
decoded by xarray itself, so that its bits are those of xarray too.
"""

import functools
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import xarray as xr

import _readers

# The stored types the decoder reads as they are.
_NATIVE = {np.dtype(t) for t in ("u1", "i1", "u2", "i2", "u4", "i4", "f4", "f8")}
_CF_CODING = ("_FillValue", "missing_value", "scale_factor", "add_offset", "_Unsigned")


def decode(
    stored: np.ndarray,
    attrs: Mapping[str, Any],
    *,
    codes: Sequence[float] = (),
    rows: np.ndarray | None = None,
    out: np.ndarray | None = None,
) -> np.ndarray:
    """The moment ``stored`` (rays, gates) as xarray decodes it with the CF attributes
    ``attrs`` (``_FillValue``, ``missing_value``, ``scale_factor``, ``add_offset``), in
    float64; NaN also where the stored value is one of ``codes``; output row i is stored row
    ``rows[i]`` (default: all rows in order); written into ``out`` when given (a C-contiguous
    float64 array of the result's shape)."""
    unpacking = native_unpacking(stored.dtype, attrs, codes)
    if unpacking is None:
        values = _decoded_by_xarray(stored, _coding(attrs), codes, rows)
        if out is None:
            return values
        out[...] = values
        return out
    if not stored.dtype.isnative:
        stored = stored.astype(stored.dtype.newbyteorder("="))
    # the files are the parallel work: one thread each
    return _readers.decode(stored, *unpacking, rows, 1, out)


Unpacking = tuple[float | None, float | None, np.ndarray]


def native_unpacking(
    dtype: np.dtype, attrs: Mapping[str, Any], codes: Sequence[float] = ()
) -> Unpacking | None:
    """The scale, offset and codes with which ``_readers`` decodes values stored as ``dtype``
    (in any byte order) with the CF attributes ``attrs`` and the further ``codes`` as xarray
    does; None when only xarray's decoding gives xarray's bits (see the module's notes)."""
    coding = _coding(attrs)
    scale, offset = coding.get("scale_factor"), coding.get("add_offset")
    unpacked = scale is not None or offset is not None
    exact = (
        dtype.newbyteorder("=") in _NATIVE
        and "_Unsigned" not in coding
        and (not unpacked or _decoded_type(dtype, _types(coding)) == np.float64)
    )
    if not exact:
        return None
    fills = [
        v for key in ("_FillValue", "missing_value") if key in coding for v in _values(coding[key])
    ]
    return (
        None if scale is None else _number(scale),
        None if offset is None else _number(offset),
        np.array([*fills, *codes], dtype=np.float64),
    )


def _coding(attrs: Mapping[str, Any]) -> dict[str, Any]:
    return {key: attrs[key] for key in _CF_CODING if key in attrs and attrs[key] is not None}


def _values(value: Any) -> list[float]:
    return [float(v) for v in np.ravel(value)]


def _number(value: Any) -> float:
    return float(np.ravel(value)[0])


def _types(coding: Mapping[str, Any]) -> tuple[tuple[str, str], ...]:
    """What xarray's choice of a decoded type depends on: which attributes there are and of
    what type (a one-element array counts as its element's Python type, as xarray takes it)."""
    return tuple(
        (key, type(value).__name__ if np.ndim(value) == 0 else "float")
        for key, value in sorted(coding.items())
    )


@functools.lru_cache(maxsize=256)
def _decoded_type(stored: np.dtype, types: tuple[tuple[str, str], ...]) -> np.dtype:
    """The type xarray decodes a moment into, from a one-gate moment with attributes of the
    same types."""
    samples = {"float": 1.0, "float64": np.float64(1.0), "float32": np.float32(1.0)}
    attrs = {}
    for key, kind in types:
        attrs[key] = samples.get(kind, np.dtype(kind).type(1) if kind in np.sctypeDict else 1.0)
    one = xr.Variable(("ray", "gate"), np.zeros((1, 1), stored), attrs)
    decoded: np.dtype = np.dtype(xr.conventions.decode_cf_variable("moment", one).dtype)
    return decoded


def _decoded_by_xarray(
    stored: np.ndarray, coding: Mapping[str, Any], codes: Sequence[float], rows: np.ndarray | None
) -> np.ndarray:
    chosen = stored if rows is None else stored[rows]
    variable = xr.Variable(("ray", "gate"), chosen, dict(coding))
    values = np.array(xr.conventions.decode_cf_variable("moment", variable).values, np.float64)
    if len(codes):
        values[np.isin(chosen, np.asarray(codes))] = np.nan
    return values
