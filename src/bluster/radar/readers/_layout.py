"""The DataTree of a volume as xradar lays it out, shared by the lean readers."""

import functools
import importlib.util
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import xarray as xr

STATION = ("latitude", "longitude", "altitude")


@functools.cache
def model() -> Any:
    """xradar's data model (attribute sets of coordinates and moments): the one definition of
    what xradar's readers attach, so that a lean reader attaches the same.

    Importing xradar imports its readers and what they use (SciPy's interpolation and
    optimisation, pyproj, Dask arrays): half a second before the first volume, which a run of
    the command line pays each time, for a module that needs only NumPy and xarray. So unless
    xradar is imported already, its model module is loaded by itself from xradar's files,
    without entering it in ``sys.modules``; if it cannot be (a later xradar whose model needs
    the rest of the package), xradar is imported as usual."""
    imported = sys.modules.get("xradar.model")
    if imported is not None:
        return imported
    package = importlib.util.find_spec("xradar")
    locations = package.submodule_search_locations if package is not None else None
    if locations:
        spec = importlib.util.spec_from_file_location(
            "bluster.radar.readers._xradar_model", Path(next(iter(locations))) / "model.py"
        )
        if spec is not None and spec.loader is not None:
            module = importlib.util.module_from_spec(spec)
            try:
                spec.loader.exec_module(module)
            except ImportError:
                pass
            else:
                return module
    import xradar.model

    return xradar.model


def decoded_times(seconds: np.ndarray, dim: str, units: str) -> xr.Variable:
    """Ray times given in ``units`` (``"seconds since ..."``) as xarray decodes them for
    xradar: datetime64[ns], with the attributes that stay after decoding."""
    return xr.Variable((dim,), _decoded_seconds(seconds, units), {"standard_name": "time"})


_EPOCH_SECONDS = "seconds since 1970-01-01T00:00:00Z"
# Seconds from 1970 that nanoseconds in int64 hold (about 292 years either side)
_NS_RANGE = 9.2e9


def _decoded_seconds(seconds: np.ndarray, units: str) -> np.ndarray:
    """``seconds`` in ``units`` as datetime64[ns]. Seconds since 1970, finite and in range, by
    xarray's own arithmetic (float64 seconds times 10^9, truncated to int64 nanoseconds from
    the epoch) without its checks and unit parsing (a millisecond per sweep); anything else
    by xarray itself."""
    values = np.asarray(seconds, dtype=np.float64)
    if units == _EPOCH_SECONDS and values.size and np.all(np.abs(values) < _NS_RANGE):
        nanoseconds: np.ndarray = (values * np.int64(1_000_000_000)).astype(np.int64)
        return nanoseconds.view("datetime64[ns]")
    from xarray.coding.times import decode_cf_datetime

    decoded: np.ndarray = decode_cf_datetime(seconds, units)
    return decoded


def scalar(value: Any, attrs: Mapping[str, Any]) -> xr.Variable:
    """A scalar variable of ``value`` with ``attrs``; a missing value (None) as xarray holds
    it, an object, copied from one made once: xarray makes each through pandas, 0.7 ms."""
    if value is None:
        missing = _missing().copy(deep=True)
        missing.attrs = dict(attrs)
        return missing
    return xr.Variable((), value, attrs)


@functools.cache
def _missing() -> xr.Variable:
    return xr.Variable((), None)


def sorted_rows(angles: np.ndarray) -> np.ndarray | None:
    """The order of the rays that ``Dataset.sortby`` gives by their angle (stable, NaN last);
    None when they are in order already."""
    order = np.argsort(angles, kind="stable")
    return None if np.array_equal(order, np.arange(order.size)) else order


def time_coverage(sweeps: Sequence[xr.Dataset]) -> tuple[str, str]:
    """First and last ray time of the sweeps, written as xradar's root holds them."""
    times = [
        t
        for sweep in sweeps
        for t in (sweep.variables["time"].values.min(), sweep.variables["time"].values.max())
    ]
    return str(min(times))[:19] + "Z", str(max(times))[:19] + "Z"


def station(values: Mapping[str, Any]) -> dict[str, xr.Variable]:
    """The radar's position (``latitude``, ``longitude``, ``altitude``) with xradar's
    attributes."""
    m = model()
    attrs = {
        "latitude": m.get_latitude_attrs(),
        "longitude": m.get_longitude_attrs(),
        "altitude": m.get_altitude_attrs(),
    }
    return {name: xr.Variable((), values[name], attrs[name]) for name in STATION}


def tree(root: xr.Dataset, sweeps: Sequence[xr.Dataset]) -> xr.DataTree:
    """The volume's DataTree: the root and children ``sweep_0``, ``sweep_1``, ..."""
    return xr.DataTree.from_dict(
        {"/": root, **{f"sweep_{i}": sweep for i, sweep in enumerate(sweeps)}}
    )
