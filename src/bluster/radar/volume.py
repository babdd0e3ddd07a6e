"""Radar volumes: opening files and Py-ART radars as one DataTree of sweeps; moment lookup."""

import contextlib
import importlib
import importlib.util
import io
import os
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
import pint
import xarray as xr

from .._inputs import parse_unit, unit_registry

#: Names of each moment in the formats and readers in use (xradar's ODIM-style names first,
#: then Py-ART's and CfRadial's; dealiased velocities before the raw ones). The first name a
#: sweep holds is used; ``moments=`` on each function names a moment explicitly.
MOMENT_ALIASES: dict[str, tuple[str, ...]] = {
    "reflectivity": ("DBZH", "DBZ", "TH", "reflectivity", "corrected_reflectivity"),
    "velocity": (
        "VRADDH",
        "VRADD",
        "dealiased_velocity",
        "corrected_velocity",
        "VRADH",
        "VRAD",
        "VEL",
        "velocity",
    ),
    "zdr": ("ZDR", "differential_reflectivity", "corrected_differential_reflectivity"),
    "rhohv": ("RHOHV", "RHO", "cross_correlation_ratio"),
    "phidp": ("PHIDP", "UPHIDP", "differential_phase", "uncorrected_differential_phase"),
    "kdp": ("KDP", "specific_differential_phase"),
    "snr": ("SNRH", "SNR", "signal_to_noise_ratio"),
}

# The working unit of each moment, and the spellings of the logarithmic units (dBZ, dB),
# which pint does not define and formats spell freely. Other units are read by pint with the
# spellings of real files (``meters per seconds``, ``meters_per_second``, ``-``,
# ``unitless``); an absent units attribute means the working unit.
_UNITS: dict[str, tuple[str, dict[str, float]]] = {
    "reflectivity": ("dBZ", {"dbz": 1.0, "dbz_e": 1.0}),
    "zdr": ("dB", {"db": 1.0}),
    "snr": ("dB", {"db": 1.0}),
    "rhohv": ("1", {"ratio": 1.0, "none": 1.0}),
    "velocity": ("m/s", {}),
    "phidp": ("degree", {}),
    "kdp": ("degree/km", {}),
}

Kind = Literal["ppi", "rhi", "vertical"]


class VolumeError(ValueError):
    """A fault of a volume, or of what was asked of it, whose remedy is an argument to give.

    ``str()`` names the Python argument (``moments={'velocity': NAME}``), ``command_line``
    the command line's option (``--moment velocity=NAME``): ``text`` holds ``{remedy}``
    where each goes.
    """

    def __init__(self, text: str, *, python: str, command_line: str) -> None:
        super().__init__(text.replace("{remedy}", python))
        self.command_line = text.replace("{remedy}", command_line)


def moment_remedy(quantity: str) -> dict[str, str]:
    """How to name the moment of ``quantity``, as :class:`VolumeError` takes it."""
    return {
        "python": f"moments={{{quantity!r}: NAME}}",
        "command_line": f"--moment {quantity}=NAME",
    }


@dataclass(frozen=True)
class Sweep:
    """One sweep of a volume, as the functions of this module read it."""

    name: str
    data: xr.Dataset  # dims (ray dim, "range")
    kind: Kind
    elevation: float  # mean elevation angle, degrees

    @property
    def ray_dim(self) -> str:
        return str(self.data["azimuth"].dims[0])


def open_volume(source: Any, *, engine: str | None = None) -> xr.DataTree:
    """Open a radar volume as an xarray DataTree of sweeps.

    Parameters
    ----------
    source : str, os.PathLike, list of paths, xarray.DataTree or pyart.core.Radar
        A volume file (format found from its content, or named by ``engine``); the files of
        one volume with a sweep each; a DataTree of sweeps as xradar gives; or a Py-ART
        ``Radar``, converted once (each moment copied once, to float64 with NaN where
        masked; a moment masked in every gate of a sweep is left out of that sweep, and the
        Nyquist velocity of each ray becomes the coordinate ``nyquist_velocity``).
    engine : str, optional
        Reader: one of xradar's engines (``"odim"``, ``"cfradial1"``, ``"cfradial2"``,
        ``"nexradlevel2"``, ``"iris"``, ``"gamic"``, ``"rainbow"``, ``"furuno"``, ``"uf"``,
        ...) or ``"pyart"`` (Py-ART's ``pyart.io.read``, for files only Py-ART reads, such
        as bzip2-compressed NEXRAD Level II, Sigmet or MDV). Default: found from the file,
        by xradar, and by Py-ART when xradar recognises nothing and Py-ART is installed.

    Returns
    -------
    xarray.DataTree
        Children ``sweep_0``, ``sweep_1``, ... with dims (``azimuth``, ``range``)
        (``elevation``, ``range`` for RHI sweeps) and coordinates ``azimuth``,
        ``elevation`` (degrees) and ``range`` (m). The root's attributes ``site`` (the
        radar's name from the file: instrument name or ODIM node/source; ``""`` when the
        file has none) and ``start_time`` (ISO 8601, UTC) identify the volume; every
        result of this module carries them as the coordinates ``site`` and ``time``.

    Raises
    ------
    ValueError
        The file is not a radar volume of a known format, is truncated or unreadable, holds
        no sweeps, or a sweep has no azimuth or elevation angles.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, xarray as xr, xradar
    >>> from bluster.radar import open_volume
    >>> def sweep(number, el):
    ...     az = np.arange(360) + 0.5
    ...     t = np.datetime64("2024-05-01T12:00", "ns") + np.arange(360) * np.timedelta64(50, "ms")
    ...     return xr.Dataset(
    ...         {"VRADH": (("azimuth", "range"), np.zeros((360, 50)), {"units": "m/s"}),
    ...          "sweep_mode": "azimuth_surveillance", "sweep_fixed_angle": el,
    ...          "sweep_number": number},
    ...         coords={"azimuth": az, "range": 125.0 + 250.0 * np.arange(50),
    ...                 "elevation": ("azimuth", np.full(360, el)), "time": ("azimuth", t)})
    >>> root = xr.Dataset({"time_coverage_start": "2024-05-01T12:00:00Z",
    ...                    "time_coverage_end": "2024-05-01T12:05:00Z", "latitude": 50.0,
    ...                    "longitude": 8.0, "altitude": 100.0})
    >>> sweeps = {"sweep_0": sweep(0, 0.5), "sweep_1": sweep(1, 1.5)}
    >>> tree = xr.DataTree.from_dict({"/": root, **sweeps})
    >>> path = os.path.join(tempfile.mkdtemp(), "volume.h5")
    >>> xradar.io.to_odim(tree, path, source="NOD:demo1")
    >>> volume = open_volume(path)
    >>> list(volume.children), volume.attrs["site"], volume.attrs["start_time"]
    (['sweep_0', 'sweep_1'], 'demo1', '2024-05-01T12:00:00Z')
    """
    if isinstance(source, xr.DataTree):
        tree = source
    elif _is_pyart_radar(source):
        tree = _from_pyart(source)
    elif isinstance(source, (str, os.PathLike)) or _is_path_list(source):
        tree = _read_files(source, engine)
    else:
        raise TypeError(
            "source: expected a file path, a list of paths, an xarray.DataTree or a Py-ART "
            f"Radar, got {type(source).__name__}"
        )
    return _normalised(tree, _describe(source))


def sweeps_of(volume: xr.DataTree) -> list[Sweep]:
    """The sweeps of an opened volume, in order, with their scan kind and elevation."""
    return [_sweep(name, node.ds) for name, node in _sweep_nodes(volume)]


def as_volume(source: Any) -> xr.DataTree:
    """``source`` as an opened volume: an opened one as it is, anything else opened."""
    if isinstance(source, xr.DataTree) and "start_time" in source.attrs:
        return source
    return open_volume(source)


@overload
def moment(
    sweep: Sweep,
    quantity: str,
    moments: Mapping[str, str] | None,
    *,
    required: Literal[True] = ...,
) -> np.ndarray: ...
@overload
def moment(
    sweep: Sweep, quantity: str, moments: Mapping[str, str] | None, *, required: bool
) -> np.ndarray | None: ...
def moment(
    sweep: Sweep, quantity: str, moments: Mapping[str, str] | None, *, required: bool = True
) -> np.ndarray | None:
    """A sweep's moment of ``quantity``: float64 (rays, gates) in its working unit.

    The name is ``moments[quantity]`` when given, else the first alias the sweep holds. A
    missing required moment, a named one that is absent, or a unit the quantity cannot take
    raises ``ValueError``; a missing optional moment gives None. NumPy arrays, not
    DataArrays: the sweep's labels are put on the results once, by the caller.
    """
    name = moment_name(sweep, quantity, moments)
    if name is None:
        if not required and not (moments or {}).get(quantity):
            return None
        raise VolumeError(
            f"{sweep.name} has no {quantity} moment ({_looked_for(sweep, quantity, moments)}). "
            "Name the moment with {remedy}",
            **moment_remedy(quantity),
        )
    variable = sweep.data.variables[name]
    factor = _unit_factor(quantity, variable.attrs.get("units"), f"{sweep.name}/{name}")
    values = np.asarray(variable.transpose(sweep.ray_dim, "range").values, dtype=np.float64)
    return values * factor if factor != 1.0 else values


def moment_name(sweep: Sweep, quantity: str, moments: Mapping[str, str] | None) -> str | None:
    """The name of the sweep's moment of ``quantity`` (``moments[quantity]`` when given,
    else the first alias it holds), or None when it has none."""
    named = (moments or {}).get(quantity)
    candidates = (named,) if named else MOMENT_ALIASES[quantity]
    return next((n for n in candidates if n in sweep.data.data_vars), None)


def _looked_for(sweep: Sweep, quantity: str, moments: Mapping[str, str] | None) -> str:
    named = (moments or {}).get(quantity)
    looked = repr(named) if named else ", ".join(MOMENT_ALIASES[quantity])
    held = ", ".join(_moment_names(sweep.data)) or "none"
    return f"looked for {looked}; its moments are {held}"


@dataclass(frozen=True)
class Selection:
    """The sweeps a function uses, and those it skips with the reason."""

    used: list[Sweep]
    skipped: dict[str, str]  # sweep name: reason
    moments: dict[str, str]  # quantity: the names it has in the sweeps used

    def attrs(self) -> dict[str, str]:
        """``sweeps_used`` (names, space-separated), ``sweeps_skipped`` ("name: reason",
        semicolon-separated) and ``moments_used`` ("velocity=VRADDH"), the attributes of
        every result of :mod:`bluster.radar`."""
        return {
            "sweeps_used": " ".join(s.name for s in self.used),
            "sweeps_skipped": "; ".join(f"{n}: {why}" for n, why in self.skipped.items()),
            "moments_used": " ".join(f"{q}={name}" for q, name in self.moments.items()),
        }


def select_sweeps(
    sweeps: Sequence[Sweep],
    what: str,
    *,
    kinds: Sequence[Kind],
    needs: Sequence[str],
    moments: Mapping[str, str] | None,
) -> Selection:
    """The sweeps of ``kinds`` that hold every moment ``needs`` names; the others skipped.

    A volume's sweeps need not all carry every moment: modern NEXRAD Level II volumes split
    their lowest elevations into a sweep of reflectivity and the dual-polarisation moments
    and another of velocity. Raises :class:`VolumeError` when no sweep serves.
    """
    used: list[Sweep] = []
    skipped: dict[str, str] = {}
    for sweep in sweeps:
        missing = [q for q in needs if moment_name(sweep, q, moments) is None]
        if sweep.kind not in kinds:
            skipped[sweep.name] = _KIND_NAMES[sweep.kind]
        elif missing:
            skipped[sweep.name] = f"no {' or '.join(missing)} moment"
        else:
            used.append(sweep)
    if not used:
        raise _no_sweep_error(sweeps, what, kinds, needs, moments, skipped)
    names = {
        q: ",".join(dict.fromkeys(str(moment_name(s, q, moments)) for s in used)) for q in needs
    }
    return Selection(used, skipped, names)


def _no_sweep_error(
    sweeps: Sequence[Sweep],
    what: str,
    kinds: Sequence[Kind],
    needs: Sequence[str],
    moments: Mapping[str, str] | None,
    skipped: Mapping[str, str],
) -> ValueError:
    reasons = "; ".join(f"{name}: {why}" for name, why in skipped.items())
    eligible = [s for s in sweeps if s.kind in kinds]
    if not eligible:
        wanted = " or ".join(_KIND_NAMES[k] for k in kinds)
        return ValueError(f"{what} needs a {wanted}; the volume has {reasons or 'no sweeps'}")
    first = eligible[0]
    quantity = next(q for q in needs if moment_name(first, q, moments) is None)
    named = " and ".join([", ".join(needs[:-1]), needs[-1]] if len(needs) > 1 else needs)
    plural = "s" if len(needs) > 1 else ""
    return VolumeError(
        f"{what}: no sweep has the {named} moment{plural} it needs ({reasons}). "
        f"In {first.name}, {_looked_for(first, quantity, moments)}. "
        "Name the moment with {remedy}",
        **moment_remedy(quantity),
    )


_KIND_NAMES: dict[str, str] = {
    "ppi": "PPI sweep",
    "rhi": "RHI sweep",
    "vertical": "vertically pointing sweep",
}


def nyquist_velocity(sweep: Sweep) -> float:
    """The Nyquist velocity the file states for a sweep, m/s (the median over its rays); NaN
    when it states none (no ``nyquist_velocity``, or only zeros and missing values)."""
    if "nyquist_velocity" not in sweep.data.variables:
        return np.nan
    variable = sweep.data.variables["nyquist_velocity"]
    try:
        values = np.asarray(variable.values, dtype=np.float64).ravel()
    except (TypeError, ValueError):  # xradar's None when the file has no value
        return np.nan
    values = values[np.isfinite(values) & (values > 0)]
    if values.size == 0:
        return np.nan
    factor = _unit_factor("velocity", variable.attrs.get("units"), f"{sweep.name}/nyquist_velocity")
    return float(np.median(values)) * factor


def check_moments(moments: Mapping[str, str] | None) -> None:
    """Reject keys of ``moments=`` that name no known quantity."""
    unknown = sorted(set(moments or {}) - set(MOMENT_ALIASES))
    if unknown:
        raise ValueError(
            f"moments: unknown quantity {', '.join(map(repr, unknown))}; expected keys among "
            f"{', '.join(MOMENT_ALIASES)}"
        )


def volume_coords(volume: xr.DataTree) -> dict[str, Any]:
    """The scalar coordinates ``time`` (volume start) and ``site`` of every result."""
    return {
        "time": np.datetime64(volume.attrs["start_time"].rstrip("Z"), "ns"),
        "site": volume.attrs["site"],
    }


# --- reading -----------------------------------------------------------------------------


def _describe(source: Any) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    if _is_path_list(source):
        return f"{len(source)} files from {os.fspath(source[0])}"
    return type(source).__name__


def _is_path_list(source: Any) -> bool:
    return (
        isinstance(source, Sequence)
        and not isinstance(source, (str, bytes))
        and len(source) > 0
        and all(isinstance(p, (str, os.PathLike)) for p in source)
    )


def _is_pyart_radar(source: Any) -> bool:
    return all(hasattr(source, a) for a in ("fields", "sweep_start_ray_index", "nsweeps"))


def _read_files(source: Any, engine: str | None) -> xr.DataTree:
    paths = [source] if isinstance(source, (str, os.PathLike)) else list(source)
    for path in paths:
        if not os.path.isfile(path):
            raise FileNotFoundError(f"source: no such file {os.fspath(path)!r}")
    if engine == "pyart":
        if len(paths) != 1:
            raise VolumeError(
                "{remedy} reads one file at a time",
                python='engine="pyart"',
                command_line="--engine pyart",
            )
        return _from_pyart(_pyart_read(paths[0]))
    try:
        # imported by name: the optional readers ship no type information
        xradar = importlib.import_module("xradar")
    except ImportError as err:  # pragma: no cover - the radar extra is missing
        raise ImportError("reading radar files needs xradar: pip install 'bluster[radar]'") from err
    what = _describe(source)
    if engine is None and len(paths) == 1 and _legacy_level2(paths[0]) and _has_pyart():
        # xradar 0.13 misplaces the gates of legacy (message 1) Level II files; Py-ART does not
        return _from_pyart(_pyart_read(paths[0]))
    discovered = engine is None
    try:
        engine = engine or (xradar.io.discover_engine(paths[0]) if len(paths) == 1 else None)
    except ValueError:
        engines = ", ".join(xradar.io.list_engines())
        if len(paths) == 1 and _has_pyart():
            # legacy or bzip2-wrapped NEXRAD Level II, Sigmet, MDV, ...: Py-ART may read it
            try:
                return _from_pyart(_pyart_read(paths[0]))
            except ValueError as err:
                cause = err.__cause__ or err
                engines += f"; nor does Py-ART: {type(cause).__name__}: {cause}"
        raise VolumeError(
            f"{what} is not a readable radar volume: none of xradar's readers ({engines}) "
            "recognises it (another format, or a truncated or damaged file); name the "
            "format with {remedy}",
            python='engine=NAME, or engine="pyart" for files only Py-ART reads',
            command_line="--engine NAME, or --engine pyart for files only Py-ART reads",
        ) from None
    try:
        target = paths[0] if len(paths) == 1 else paths
        # Level II codes 0 and 1 (below threshold, range folded) are no values; xradar 0.13
        # decodes them as values (-64.5 m/s, -33 dBZ), so they are decoded here
        raw = {"mask_and_scale": False} if engine == "nexradlevel2" else {}
        tree: xr.DataTree = xradar.io.open_datatree(target, engine=engine, **raw)
        tree.load()  # read now, so that a truncated file fails here and not mid-computation
        if raw:
            tree = tree.map_over_datasets(_decoded_level2)
    except Exception as err:  # readers raise anything from KeyError to OSError
        raise ValueError(
            f"could not read {what} as a radar volume (engine {engine!r}): "
            f"{type(err).__name__}: {err}"
        ) from err
    if discovered and len(paths) == 1 and not _sweep_nodes(tree) and _has_pyart():
        # a file xradar recognises but finds no sweep in (a Level II file of compressed
        # records, as in Py-ART's test data): Py-ART may read it
        return _from_pyart(_pyart_read(paths[0]))
    return tree


def _has_pyart() -> bool:
    return importlib.util.find_spec("pyart") is not None


def _legacy_level2(path: Any) -> bool:
    """A legacy NEXRAD Level II file (message 1, before 2008): its volume header."""
    with open(path, "rb") as file:
        return file.read(8) == b"ARCHIVE2"


def _decoded_level2(ds: xr.Dataset) -> xr.Dataset:
    """A Level II sweep's moments from their codes: NaN for codes 0 (below threshold) and 1
    (range folded), ``code * scale_factor + add_offset`` otherwise."""
    decoded = {}
    for name, variable in ds.data_vars.items():
        attrs = dict(variable.attrs)
        if variable.dtype.kind != "u" or "scale_factor" not in attrs:
            continue
        scale, offset = attrs.pop("scale_factor"), attrs.pop("add_offset", 0.0)
        codes = variable.values
        values = np.where(codes > 1, codes * np.float64(scale) + np.float64(offset), np.nan)
        decoded[name] = variable.copy(data=values).assign_attrs(attrs)
    return ds.assign(decoded) if decoded else ds


def _pyart_read(path: Any) -> Any:
    try:
        pyart = _import_pyart()
    except ImportError as err:
        raise ImportError("reading with Py-ART needs Py-ART: pip install arm-pyart") from err
    try:
        return pyart.io.read(os.fspath(path))
    except Exception as err:
        raise ValueError(
            f"could not read {os.fspath(path)} with Py-ART: {type(err).__name__}: {err}"
        ) from err


def _import_pyart() -> Any:
    """Py-ART, imported without its banner on standard output (ours, the command line's,
    may be a pipe of results) and without the warnings of its own imports."""
    with (
        contextlib.redirect_stdout(io.StringIO()),
        warnings.catch_warnings(),
    ):
        warnings.simplefilter("ignore")
        return importlib.import_module("pyart")


def _from_pyart(radar: Any) -> xr.DataTree:
    """A Py-ART Radar as a DataTree of sweeps; each moment is copied once, NaN where masked."""
    units = radar.time["units"]
    base = np.datetime64(units.split("since", 1)[1].strip().rstrip("Z").replace(" ", "T"), "ns")
    times = base + np.round(np.asarray(radar.time["data"], dtype=np.float64) * 1e9).astype(
        "timedelta64[ns]"
    )
    starts = radar.sweep_start_ray_index["data"]
    ends = radar.sweep_end_ray_index["data"]
    modes = [_text(m) for m in radar.sweep_mode["data"]]
    nyquist = (radar.instrument_parameters or {}).get("nyquist_velocity")
    nodes: dict[str, xr.Dataset] = {}
    for i, (start, end) in enumerate(zip(starts, ends, strict=True)):
        rays = slice(int(start), int(end) + 1)
        ray_dim = "elevation" if "rhi" in modes[i] else "azimuth"
        # Py-ART fills the moments a sweep did not measure (the velocity of a legacy NEXRAD
        # surveillance cut) with masked values: such a sweep has no such moment
        variables = {
            name: ((ray_dim, "range"), values, _field_attrs(field))
            for name, field in radar.fields.items()
            if np.isfinite(values := _filled(field["data"][rays])).any()
        }
        nodes[f"sweep_{i}"] = xr.Dataset(
            variables | {"sweep_mode": modes[i], "sweep_fixed_angle": radar.fixed_angle["data"][i]},
            coords={
                "azimuth": (ray_dim, np.asarray(radar.azimuth["data"][rays], np.float64)),
                "elevation": (ray_dim, np.asarray(radar.elevation["data"][rays], np.float64)),
                "time": (ray_dim, times[rays]),
                "range": ("range", np.asarray(radar.range["data"], np.float64)),
            },
        )
        if nyquist is not None:
            nodes[f"sweep_{i}"].coords["nyquist_velocity"] = (
                ray_dim,
                _filled(nyquist["data"][rays]),
                _field_attrs(nyquist),
            )
    site = _text(radar.metadata.get("instrument_name", ""))
    root = xr.Dataset(attrs={"instrument_name": site, "reader": "pyart"})
    # what the screens of the calibration numbers need: the antenna's altitude, the beam width
    beam_width = (radar.instrument_parameters or {}).get("radar_beam_width_h")
    for name, field in (("altitude", radar.altitude), ("radar_beam_width_h", beam_width)):
        if field is not None and np.size(field["data"]):
            root[name] = float(np.ravel(_filled(field["data"]))[0])
    root["time_coverage_start"] = str(np.datetime_as_string(times.min(), "s")) + "Z"
    return xr.DataTree.from_dict({"/": root, **nodes})


def _filled(data: Any) -> np.ndarray:
    values = np.array(np.ma.getdata(data), dtype=np.float64)  # the one copy
    values[np.ma.getmaskarray(data)] = np.nan
    return values


def _field_attrs(field: Mapping[str, Any]) -> dict[str, Any]:
    return {k: v for k, v in field.items() if k in ("units", "long_name", "standard_name")}


def _text(value: Any) -> str:
    if isinstance(value, bytes):
        value = value.decode("ascii", "replace")
    elif isinstance(value, np.ndarray):
        value = value.item() if value.ndim == 0 else b"".join(value.tolist())
        return _text(value)
    return str(value).replace("\x00", "").strip()


# --- normalisation -----------------------------------------------------------------------


def _sweep_nodes(tree: xr.DataTree) -> list[tuple[str, xr.DataTree]]:
    return [
        (name, node)
        for name, node in tree.children.items()
        if name.startswith("sweep") and "range" in node.dims
    ]


def _normalised(tree: xr.DataTree, what: str) -> xr.DataTree:
    """The tree with each sweep's ray dimension named after its angle, plus site and time."""
    nodes = _sweep_nodes(tree)
    if not nodes:
        raise ValueError(f"{what} holds no sweeps (children sweep_0, sweep_1, ... with a range)")
    sweeps = {}
    for name, node in nodes:
        ds = node.to_dataset(inherit=False)
        for angle in ("azimuth", "elevation"):
            if angle not in ds.coords and angle not in ds.data_vars:
                raise ValueError(
                    f"{what}: {name} has no {angle} angles; a sweep needs azimuth and "
                    "elevation of every ray"
                )
        ray_dim = str(ds["azimuth"].dims[0]) if ds["azimuth"].ndim == 1 else ""
        if ds["azimuth"].ndim != 1 or ds["elevation"].dims != (ray_dim,):
            raise ValueError(f"{what}: {name} needs one azimuth and elevation per ray")
        if ray_dim not in ("azimuth", "elevation"):
            target = "elevation" if _mode(ds) == "rhi" else "azimuth"
            ds = ds.swap_dims({ray_dim: target})
        sweeps[f"/{name}"] = ds
    root = tree.to_dataset(inherit=False)
    attrs = dict(tree.attrs) | {"site": _site(tree), "start_time": _start_time(tree, sweeps)}
    return xr.DataTree.from_dict({"/": root.assign_attrs(attrs), **sweeps})


def _site(tree: xr.DataTree) -> str:
    attrs = tree.attrs
    for key in ("site", "instrument_name", "node", "site_name"):
        text = _text(attrs.get(key) or "")
        if text and text != "None":
            return text
    # ODIM what/source: comma-separated KEY:value pairs
    pairs = dict(p.split(":", 1) for p in _text(attrs.get("source") or "").split(",") if ":" in p)
    return next((pairs[k] for k in ("NOD", "RAD", "WMO", "PLC") if k in pairs), "")


def _start_time(tree: xr.DataTree, sweeps: Mapping[str, xr.Dataset]) -> str:
    if "start_time" in tree.attrs:
        return str(tree.attrs["start_time"])
    if "time_coverage_start" in tree.ds:
        text = _text(tree.ds["time_coverage_start"].values)
        try:
            stamp = np.datetime64(text.rstrip("Z").replace(" ", "T"), "s")
        except ValueError:
            stamp = None
        if stamp is not None and not np.isnat(stamp):
            return f"{stamp}Z"
    times = [ds["time"].values.min() for ds in sweeps.values() if "time" in ds.coords]
    if not times:
        return "NaT"
    return f"{np.datetime64(min(times), 's')}Z"


# --- sweeps --------------------------------------------------------------------------------


def _mode(ds: xr.Dataset) -> str:
    return _text(ds["sweep_mode"].values).lower() if "sweep_mode" in ds else ""


def _sweep(name: str, ds: xr.Dataset) -> Sweep:
    elevation = float(np.nanmean(ds["elevation"].values)) if ds["elevation"].size else np.nan
    mode = _mode(ds)
    kind: Kind
    if "rhi" in mode:
        kind = "rhi"
    elif "vertical" in mode or elevation >= 85.0:
        kind = "vertical"  # a birdbath scan, written as a PPI at 90 degrees by some formats
    else:
        kind = "ppi"
    return Sweep(name, ds, kind, elevation)


def _moment_names(ds: xr.Dataset) -> list[str]:
    return [str(n) for n, v in ds.data_vars.items() if v.dims[-1:] == ("range",) and v.ndim == 2]


def _unit_factor(quantity: str, units: Any, where: str) -> float:
    working, spellings = _UNITS[quantity]
    if units is None:
        return 1.0
    text = _text(units)
    key = text.lower().replace(" ", "")
    if key in spellings:
        return spellings[key]
    if working not in ("dB", "dBZ"):
        try:
            return float(unit_registry().Quantity(1.0, parse_unit(text)).to(working).magnitude)
        except (pint.errors.PintError, AttributeError, TypeError, ValueError, AssertionError):
            pass
    raise ValueError(f"{where}: units {text!r} cannot be taken as {quantity} (expected {working})")
