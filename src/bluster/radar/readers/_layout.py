"""The DataTree of a volume as xradar lays it out, shared by the lean readers."""

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import xarray as xr

STATION = ("latitude", "longitude", "altitude")


def model() -> Any:
    """xradar's data model (attribute sets of coordinates and moments): the one definition of
    what xradar's readers attach, so that a lean reader attaches the same."""
    import xradar.model

    return xradar.model


def decoded_times(seconds: np.ndarray, dim: str, units: str) -> xr.Variable:
    """Ray times given in ``units`` (``"seconds since ..."``) as xarray decodes them for
    xradar: datetime64[ns], with the attributes that stay after decoding."""
    from xarray.coding.times import decode_cf_datetime

    return xr.Variable((dim,), decode_cf_datetime(seconds, units), {"standard_name": "time"})


def sorted_rows(angles: np.ndarray) -> np.ndarray | None:
    """The order of the rays that ``Dataset.sortby`` gives by their angle (stable, NaN last);
    None when they are in order already."""
    order = np.argsort(angles, kind="stable")
    return None if np.array_equal(order, np.arange(order.size)) else order


def time_coverage(sweeps: Sequence[xr.Dataset]) -> tuple[str, str]:
    """First and last ray time of the sweeps, written as xradar's root holds them."""
    times = [
        t for sweep in sweeps for t in (sweep["time"].values.min(), sweep["time"].values.max())
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
