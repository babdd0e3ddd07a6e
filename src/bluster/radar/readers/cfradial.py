"""The lean readers of CF/Radial volumes: CfRadial 1 (one group, rays of all sweeps along
``time``) and CfRadial 2 (a group per sweep), in NetCDF4 (HDF5) files.

Each file is read once through h5netcdf (h5py underneath): the small variables (angles, times,
sweep metadata) decoded by xarray, the moments asked for decoded by ``_readers`` in one pass
each. The result is the DataTree that xradar's ``cfradial1`` and ``cfradial2`` engines give,
with these differences:

- CfRadial 1: each sweep holds the rays of its own ``sweep_start_ray_index`` to
  ``sweep_end_ray_index``. xradar sorts the rays of the whole volume by time before it cuts
  them into sweeps, so that sweeps whose rays share times (two sweeps at once, or a volume
  whose time stamps are not increasing) get each other's rays.
- Every moment is float64 (xradar keeps float32 where xarray's decoding gives it; the values
  are the same).

CfRadial 1 files in NetCDF3 classic format (``CDF\\x01``, ``CDF\\x02``), which the HDF5 library
cannot read, and CfRadial 1 files whose rays have different numbers of gates
(``ray_n_gates``) are left to xradar.

Thread safety: h5py serialises every call into the HDF5 library behind one lock, so reads of
several files on several threads are safe; the decoding runs without the GIL.
"""

import os
from typing import Any

import numpy as np
import xarray as xr

from . import Quantities, _layout, moment_names
from ._hdf5 import root_of
from ._netcdf import Moment, read_group

Path = str | os.PathLike[str]


def is_cfradial1(path: Any) -> bool:
    """Whether the HDF5 file at ``path`` is a CfRadial 1 volume this reader takes."""
    root = root_of(path)
    return (
        root is not None
        and "radial" in root.conventions()
        and "sweep_start_ray_index" in root.datasets
        and "ray_n_gates" not in root.datasets
    )


def is_cfradial2(path: Any) -> bool:
    """Whether the HDF5 file at ``path`` is a CfRadial 2 volume (sweep groups)."""
    root = root_of(path)
    return (
        root is not None
        and "radial" in root.conventions()
        and bool(root.groups)
        and {"sweep_group_name", "time_coverage_start"} <= root.datasets
        and "sweep_start_ray_index" not in root.datasets
    )


# --- CfRadial 1 ------------------------------------------------------------------------------


def read_cfradial1(path: Path, quantities: Quantities = None) -> xr.DataTree:
    """Read a CfRadial 1 volume as a DataTree of sweeps.

    Parameters
    ----------
    path : str or os.PathLike
        The file (NetCDF4).
    quantities : collection of str, optional
        Quantities to read (keys of :data:`bluster.radar.MOMENT_ALIASES`); default every
        moment.

    Returns
    -------
    xarray.DataTree
        As xradar's ``cfradial1`` engine gives it (see the module's notes for the
        differences).
    """
    import h5netcdf

    with h5netcdf.File(path, "r") as f:
        small, moments = read_group(
            f, _is_ray_moment, lambda names: moment_names(names, quantities)
        )
    sweeps = [_cfradial1_sweep(small, moments, i) for i in range(small.sizes["sweep"])]
    return _layout.tree(_cfradial1_root(small), sweeps)


def _is_ray_moment(name: str, dims: tuple[str, ...]) -> bool:
    return dims == ("time", "range")


def _cfradial1_root(small: xr.Dataset) -> xr.Dataset:
    m = _layout.model()
    kept = set(m.required_root_vars) | set(m.optional_root_vars) | {"sweep_number", "fixed_angle"}
    root = small.drop_vars([name for name in small.variables if name not in kept])
    renames = {k: new for k, new in m.optional_root_vars.items() if new and k in root.data_vars}
    root = root.rename_vars(renames)
    allowed = set(m.required_global_attrs) | set(m.optional_root_attrs)
    root.attrs = {k: v for k, v in root.attrs.items() if k in allowed}
    root = root.rename_vars(
        {"sweep_number": "sweep_group_name", "fixed_angle": "sweep_fixed_angle"}
    )
    names = np.array([f"sweep_{i}" for i in root["sweep_group_name"].values])
    root["sweep_group_name"] = xr.Variable(("sweep",), names)
    return root.set_coords([name for name in _layout.STATION if name in root.data_vars])


def _cfradial1_sweep(small: xr.Dataset, moments: dict[str, Moment], index: int) -> xr.Dataset:
    m = _layout.model()
    first = int(small["sweep_start_ray_index"].values[index])
    last = int(small["sweep_end_ray_index"].values[index])
    extra = set(small.dims) - {"time", "range", "sweep", "n_points"}
    data = small.drop_vars(["sweep_start_ray_index", "sweep_end_ray_index"]).drop_dims(extra)
    data = data.rename_vars({"fixed_angle": "sweep_fixed_angle"})
    keep = (
        set(m.sweep_coordinate_vars)
        | set(m.required_sweep_metadata_vars)
        | {name for name, v in data.data_vars.items() if "time" in v.dims or "range" in v.dims}
    )
    data = data.drop_vars([name for name in data.variables if name not in keep])
    ds = data.isel(time=slice(first, last + 1), sweep=slice(index, index + 1)).squeeze("sweep")
    ds["sweep_mode"] = ds["sweep_mode"].astype(str).str.rstrip()  # as xradar decodes it
    dim = "elevation" if str(ds["sweep_mode"].values) == "rhi" else "azimuth"
    order = np.argsort(ds[dim].values, kind="stable")  # as sortby orders the rays
    ds = ds.isel(time=order)
    rows = first + order
    for name, moment in moments.items():
        ds[name] = xr.Variable(("time", "range"), moment.decoded(rows), moment.plain_attrs())
    ds = ds.assign_coords({name: small[name].variable for name in _layout.STATION if name in small})
    ds = ds.swap_dims({"time": dim}).set_coords(["azimuth", "elevation"])
    ds.attrs = {}
    return ds.drop_vars(list(_layout.STATION), errors="ignore")


# --- CfRadial 2 ------------------------------------------------------------------------------

_SWEEP_RENAMES = {
    "time_us": "time",
    "range_m": "range",
    "azimuth_deg": "azimuth",
    "elevation_deg": "elevation",
    "fixed_angle": "sweep_fixed_angle",
}
_SWEEP_METADATA = {"sweep_number", "sweep_mode", "follow_mode", "prt_mode", "sweep_fixed_angle"}


def read_cfradial2(path: Path, quantities: Quantities = None) -> xr.DataTree:
    """Read a CfRadial 2 volume (a group per sweep) as a DataTree of sweeps.

    Parameters
    ----------
    path : str or os.PathLike
        The file (NetCDF4).
    quantities : collection of str, optional
        Quantities to read (keys of :data:`bluster.radar.MOMENT_ALIASES`); default every
        moment.

    Returns
    -------
    xarray.DataTree
        As xradar's ``cfradial2`` engine gives it, rays in time order (see the module's notes
        for the differences).
    """
    import h5netcdf

    with h5netcdf.File(path, "r") as f:
        root, _ = read_group(f, lambda name, dims: False, lambda names: [])
        groups = _sweep_groups(root, set(f.groups))
        fixed = _listed_fixed_angles(root)
        sweeps = []
        for number, group in enumerate(groups):
            small, moments = read_group(
                f.groups[group], _is_sweep_moment, lambda names: moment_names(names, quantities)
            )
            sweeps.append(_cfradial2_sweep(small, moments, number, fixed.get(group)))
    return _layout.tree(_cfradial2_root(root, sweeps), sweeps)


def _is_sweep_moment(name: str, dims: tuple[str, ...]) -> bool:
    return len(dims) == 2 and dims[1] in ("range", "nrange")


def _sweep_groups(root: xr.Dataset, groups: set[str]) -> list[str]:
    """The sweep groups, as the root's ``sweep_group_name`` lists them or ``sweep_N`` ones."""
    listed = []
    if "sweep_group_name" in root:
        listed = [_name(v) for v in np.ravel(root["sweep_group_name"].values)]
        listed = [name for name in listed if name in groups]
    if listed:
        return listed
    numbered = [g for g in groups if g.startswith("sweep_") and g[6:].isdigit()]
    return sorted(numbered, key=lambda g: int(g[6:]))


def _name(value: Any) -> str:
    return (value.decode() if isinstance(value, bytes) else str(value)).strip()


def _listed_fixed_angles(root: xr.Dataset) -> dict[str, Any]:
    if "sweep_fixed_angle" not in root or "sweep_group_name" not in root:
        return {}
    names = [_name(v) for v in np.ravel(root["sweep_group_name"].values)]
    return dict(zip(names, np.ravel(root["sweep_fixed_angle"].values), strict=False))


def _cfradial2_sweep(
    small: xr.Dataset, moments: dict[str, Moment], number: int, listed_angle: Any
) -> xr.Dataset:
    m = _layout.model()
    dims = {str(d) for d in small.dims}
    ds = small.rename_dims(
        {
            k: v
            for k, v in {"ntime": "time", "nrange": "range"}.items()
            if k in dims and v not in dims
        }
    )
    renames = {k: v for k, v in _SWEEP_RENAMES.items() if k in ds and v not in ds}
    ds = ds.rename_vars(renames)
    if listed_angle is not None and "sweep_fixed_angle" not in ds:
        ds["sweep_fixed_angle"] = xr.Variable((), listed_angle)
    for angle in ("azimuth", "elevation"):
        if angle in ds.dims and "time" not in ds.dims:
            ds = ds.swap_dims({angle: "time"})
    mode = _sweep_mode(ds)
    fixed = "azimuth" if mode == "rhi" else "elevation"  # the angle the sweep holds
    if "sweep_number" not in ds:
        ds["sweep_number"] = xr.Variable((), number)
    mode_attrs = ds["sweep_mode"].attrs if "sweep_mode" in ds else {}
    ds["sweep_mode"] = xr.Variable((), mode, mode_attrs)
    if "follow_mode" not in ds:
        ds["follow_mode"] = xr.Variable((), "none")
    if "prt_mode" not in ds:
        ds["prt_mode"] = xr.Variable((), "fixed")
    if "sweep_fixed_angle" not in ds and fixed in ds:
        ds["sweep_fixed_angle"] = ds[fixed].median(skipna=True)
    if "frequency" not in ds:
        ds["frequency"] = ("frequency", np.array([np.nan], dtype="float32"))
    order = np.argsort(ds["time"].values, kind="stable")  # as sortby("time") orders the rays
    ds = ds.isel(time=order)
    for name, moment in moments.items():
        attrs = moment.plain_attrs()
        attrs.setdefault("coordinates", "elevation azimuth range")
        if name in m.sweep_vars_mapping:
            attrs = m.get_moment_attrs(name) | attrs
        ds[name] = xr.Variable(("time", "range"), moment.decoded(order), attrs)
    coords = [c for c in ("time", "range", "azimuth", "elevation", "frequency") if c in ds]
    ds = ds.set_coords(coords)
    _update_attrs(ds, "time", m.get_time_attrs())
    _update_attrs(ds, "range", _derived_range_attrs(ds["range"]))
    _update_attrs(ds, "range", m.get_range_attrs(ds["range"].values))
    az = ds["azimuth"].values
    _update_attrs(ds, "azimuth", m.get_azimuth_attrs(az) if az.size > 2 else m.get_azimuth_attrs())
    _update_attrs(ds, "elevation", m.get_elevation_attrs())
    _update_attrs(ds, "frequency", {"units": "s-1", "standard_name": ""})
    ds = ds.drop_vars(list(_layout.STATION), errors="ignore")
    ds.attrs = {}
    return ds


def _sweep_mode(ds: xr.Dataset) -> str:
    if "sweep_mode" in ds.variables and ds["sweep_mode"].size == 1:
        return _name(np.ravel(ds["sweep_mode"].values)[0])
    if "sweep_mode" in ds.attrs:
        return str(ds.attrs["sweep_mode"])
    return "rhi" if ds.attrs.get("ScanType") in (1, "1") else "azimuth_surveillance"


def _derived_range_attrs(rng: xr.DataArray) -> dict[str, Any]:
    attrs: dict[str, Any] = {
        "units": "meters",
        "standard_name": "projection_range_coordinate",
        "long_name": "range_to_measurement_volume",
        "axis": "radial_range_coordinate",
    }
    if rng.size > 1:
        values = rng.values
        attrs |= {
            "spacing_is_constant": "true",
            "meters_to_center_of_first_gate": float(values[0]),
            "meters_between_gates": float(np.diff(values[:2])[0]),
        }
    return attrs | dict(rng.attrs)


def _update_attrs(ds: xr.Dataset, name: str, attrs: dict[str, Any]) -> None:
    if name in ds:
        ds[name].attrs = dict(ds[name].attrs) | attrs


def _cfradial2_root(root: xr.Dataset, sweeps: list[xr.Dataset]) -> xr.Dataset:
    m = _layout.model()
    ds = root.copy()
    if "RadarName" in ds.attrs:
        ds.attrs["instrument_name"] = ds.attrs.pop("RadarName")
    for attr, name in {
        "Latitude": "latitude",
        "Longitude": "longitude",
        "Height": "altitude",
    }.items():
        if name not in ds and attr in ds.attrs:
            ds[name] = ds.attrs.pop(attr)
    ds = ds.drop_vars(["sweep_group_name", "sweep_fixed_angle"], errors="ignore")
    ds["sweep_group_name"] = ("sweep", np.array([f"sweep_{i}" for i in range(len(sweeps))], str))
    angles = [s["sweep_fixed_angle"].values if "sweep_fixed_angle" in s else np.nan for s in sweeps]
    ds["sweep_fixed_angle"] = ("sweep", np.asarray(angles, dtype="float32"))
    if "time_coverage_start" not in ds or "time_coverage_end" not in ds:
        times = [s["time"] for s in sweeps]
        ds["time_coverage_start"] = xr.Variable((), min(t.min().values for t in times))
        ds["time_coverage_end"] = xr.Variable((), max(t.max().values for t in times))
    for name, value in {
        "volume_number": 0,
        "platform_type": "fixed",
        "instrument_type": "radar",
    }.items():
        if name not in ds:
            ds[name] = xr.Variable((), value)
    ds.attrs.setdefault("Conventions", "CF-1.8, WMO CF-1.0, ACDD-1.3")
    ds.attrs.setdefault("wmo__cf_profile", "FM 301-XX")
    ds.attrs.setdefault("platform_is_mobile", "false")
    ds.attrs.setdefault("history", "")
    allowed = set(m.required_global_attrs) | set(m.optional_root_attrs) | {"wmo__cf_profile"}
    ds.attrs = {k: v for k, v in ds.attrs.items() if k in allowed}
    ds = ds.set_coords([name for name in _layout.STATION if name in ds.data_vars])
    kept = (set(m.required_root_vars) | set(m.optional_root_vars)) & set(ds.data_vars)
    ds = ds.drop_vars([name for name in ds.data_vars if name not in kept])
    time_attrs = m.get_time_attrs()
    station = {
        "latitude": m.get_latitude_attrs(),
        "longitude": m.get_longitude_attrs(),
        "altitude": m.get_altitude_attrs(),
    }
    for name, attrs in station.items():
        _update_attrs(ds, name, attrs)
    for name in ("time_coverage_start", "time_coverage_end"):
        if name in ds:
            string = ds[name].dtype.kind in "USO"
            _update_attrs(
                ds, name, {k: v for k, v in time_attrs.items() if not (string and k == "units")}
            )
    return ds
