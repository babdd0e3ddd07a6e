"""Radar volumes: opening files and Py-ART radars as one DataTree of sweeps; moment lookup."""

import contextlib
import dataclasses
import importlib
import importlib.util
import io
import os
import stat
import threading
import warnings
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
import xarray as xr

from .._inputs import ELEVATION_RANGE, conversion_errors, conversion_factor

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

#: The largest volume file read, bytes: the uncompressed size its datasets declare (an
#: HDF5 file's compressed chunks, or chunks never written, read as the declared size). A
#: large operational volume (20 sweeps of 720 rays x 2000 gates, 16 moments of 16 bits)
#: declares under 1 GiB; a file declaring more than this is refused before it is read,
#: rather than read until memory runs out. Raise it for larger files.
MAX_VOLUME_BYTES = 2 * 2**30


class OversizedVolumeError(ValueError):
    """A file whose datasets declare more than :data:`MAX_VOLUME_BYTES` uncompressed (a
    damaged file or a decompression bomb), refused before its data are read."""


def refuse_oversized(path: Any, declared: int) -> None:
    """Raise :class:`OversizedVolumeError` when ``declared`` bytes (what the datasets of the
    file at ``path`` that are to be read declare uncompressed) exceed :data:`MAX_VOLUME_BYTES`."""
    if declared > MAX_VOLUME_BYTES:
        raise OversizedVolumeError(
            f"{os.fspath(path)} declares {declared / 2**30:.3g} GiB of data uncompressed "
            f"({os.path.getsize(path) / 1e6:.3g} MB on disk), more than the "
            f"{MAX_VOLUME_BYTES / 2**30:g} GiB read at most "
            "(bluster.radar.volume.MAX_VOLUME_BYTES): a damaged file or a decompression bomb"
        )


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
        return str(self.data.variables["azimuth"].dims[0])


def open_volume(
    source: Any,
    *,
    engine: str | None = None,
    quantities: Collection[str] | None = None,
    moments: Mapping[str, str] | None = None,
) -> xr.DataTree:
    """Open a radar volume as an xarray DataTree of sweeps.

    ODIM_H5 and CF/Radial (1 and 2, NetCDF4) files are read by the lean readers of
    :mod:`bluster.radar.readers`: one pass through the file, only the moments asked for, each
    decoded in one pass; every other format by xradar. Both give the same tree (the lean
    readers' differences of values from xradar, such as ODIM's "undetect" gates as NaN, are
    listed in their modules).

    Parameters
    ----------
    source : str, os.PathLike, list of paths, xarray.DataTree or pyart.core.Radar
        A volume file (format found from its content, or named by ``engine``); the files of
        one volume with a sweep each; a DataTree of sweeps as xradar gives; or a Py-ART
        ``Radar``, converted once (each moment copied once, to float64 with NaN where
        masked; a moment masked in every gate of a sweep is left out of that sweep, and the
        Nyquist velocity of each ray becomes the coordinate ``nyquist_velocity``).
    engine : str, optional
        Reader: a lean reader (``"bluster-odim"``, ``"bluster-cfradial1"``,
        ``"bluster-cfradial2"``, ``"bluster-nexradlevel2"``), one of xradar's engines
        (``"odim"``, ``"cfradial1"``, ``"cfradial2"``, ``"nexradlevel2"``, ``"iris"``,
        ``"gamic"``, ``"rainbow"``, ``"furuno"``, ``"uf"``, ...) or ``"pyart"`` (Py-ART's
        ``pyart.io.read``, for files only Py-ART reads, such as bzip2-compressed NEXRAD
        Level II, Sigmet or MDV). Default: found from the file's first bytes (and, for HDF5
        files, its conventions): the lean reader of the format if there is one (ODIM_H5,
        CfRadial in NetCDF4, NEXRAD Level II of message 31), else xradar's, and Py-ART when
        xradar recognises nothing and Py-ART is installed.
    quantities : collection of str, optional
        Read only the moments of these quantities (keys of
        :data:`bluster.radar.MOMENT_ALIASES`, such as ``["velocity"]``): each sweep's first
        moment of the quantity's aliases. Default: every moment. Ignored for a DataTree or a
        Py-ART ``Radar``.
    moments : mapping, optional
        Names of moments the alias table does not find, as the functions of this module take
        them (``{"velocity": "VCOR"}``); with ``quantities``, so that they are read too.

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
        no sweeps, a sweep has no azimuth or elevation angles or has them in units that
        are no angle, its ray times are not dates, or its datasets declare more than
        :data:`bluster.radar.volume.MAX_VOLUME_BYTES` uncompressed.
    PermissionError
        The file cannot be read.

    Notes
    -----
    Reads through netCDF4 (xradar's CfRadial readers) and Py-ART take one lock: netCDF4 is not
    thread-safe, and two threads reading such files at once would crash the process. Reads
    through h5py (ODIM_H5, GAMIC) and xradar's own decoders run in parallel.

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
        check_moments(moments)
        tree = _read_files(source, engine, _wanted(quantities, moments))
        return _normalised(tree, _describe(source), owned=True)
    else:
        raise TypeError(
            "source: expected a file path, a list of paths, an xarray.DataTree or a Py-ART "
            f"Radar, got {type(source).__name__}"
        )
    return _normalised(tree, _describe(source))


def sweeps_of(volume: xr.DataTree) -> list[Sweep]:
    """The sweeps of an opened volume, in order, with their scan kind and elevation."""
    return [_sweep(name, node.ds) for name, node in _sweep_nodes(volume)]


def as_volume(
    source: Any,
    quantities: Collection[str] | None = None,
    moments: Mapping[str, str] | None = None,
) -> xr.DataTree:
    """``source`` as an opened volume: an opened one as it is, anything else opened (a file
    for the moments of ``quantities`` only)."""
    if isinstance(source, xr.DataTree) and "start_time" in source.attrs:
        return source
    return open_volume(source, quantities=quantities, moments=moments)


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
    if variable.dims != (sweep.ray_dim, "range"):  # a transpose copies the variable
        variable = variable.transpose(sweep.ray_dim, "range")
    values = np.asarray(variable.values, dtype=np.float64)
    return values * factor if factor != 1.0 else values


@dataclass
class Moments:
    """The moments of a volume's sweeps as :func:`moment` gives them, each read once: the
    numbers of one volume read the same moments of the same sweeps."""

    names: Mapping[str, str] | None
    _read: dict[tuple[str, str], np.ndarray | None] = dataclasses.field(default_factory=dict)

    @overload
    def __call__(
        self, sweep: Sweep, quantity: str, *, required: Literal[True] = ...
    ) -> np.ndarray: ...
    @overload
    def __call__(self, sweep: Sweep, quantity: str, *, required: bool) -> np.ndarray | None: ...
    def __call__(self, sweep: Sweep, quantity: str, *, required: bool = True) -> np.ndarray | None:
        """:func:`moment` of ``sweep`` (a missing moment asked for as required raises each
        time)."""
        key = (sweep.name, quantity)
        found = self._read.get(key)
        if found is None and (required or key not in self._read):
            found = moment(sweep, quantity, self.names, required=required)
            self._read[key] = found
        return found


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
    _check_elevations(used, what)
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


def _check_elevations(sweeps: Sequence[Sweep], what: str) -> None:
    """Refuse a sweep whose elevation lies outside -2 to 90 degrees: damaged metadata, or
    angles in other units, which would give wrong numbers without a sign."""
    low, high = ELEVATION_RANGE
    for sweep in sweeps:
        if not low <= sweep.elevation <= high and np.isfinite(sweep.elevation):
            raise ValueError(
                f"{what}: {sweep.name} has an elevation of {sweep.elevation:g} degrees, outside "
                f"{low:g} to {high:g} degrees (damaged metadata, or angles in other units)"
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


def _wanted(
    quantities: Collection[str] | None, moments: Mapping[str, str] | None
) -> Collection[str] | None:
    """The quantities a reader reads, or None for every moment: a moment named by ``moments``
    is found by its name, which the readers' alias lookup does not know."""
    if quantities is None:
        return None
    wanted = [quantities] if isinstance(quantities, str) else list(quantities)
    unknown = sorted(set(wanted) - set(MOMENT_ALIASES))
    if unknown:
        raise ValueError(
            f"quantities: unknown quantity {', '.join(map(repr, unknown))}; expected names "
            f"among {', '.join(MOMENT_ALIASES)}"
        )
    if any(quantity in (moments or {}) for quantity in wanted):
        return None
    return wanted


def _read_files(source: Any, engine: str | None, quantities: Collection[str] | None) -> xr.DataTree:
    paths = [source] if isinstance(source, (str, os.PathLike)) else list(source)
    for path in paths:
        try:  # a folder that cannot be searched is a PermissionError, not a missing file
            is_file = stat.S_ISREG(os.stat(path).st_mode)
        except FileNotFoundError:
            is_file = False
        if not is_file:
            raise FileNotFoundError(f"source: no such file {os.fspath(path)!r}")
    if engine == "pyart":
        if len(paths) != 1:
            raise VolumeError(
                "{remedy} reads one file at a time",
                python='engine="pyart"',
                command_line="--engine pyart",
            )
        _check_declared_size(paths[0])
        return _from_pyart(_pyart_read(paths[0]))
    from . import readers  # h5py and the decoders, loaded when a file is read

    lean = readers.engine_format(engine)
    if lean is None and engine is None and len(paths) == 1:
        lean = readers.detect(paths[0])
    if lean is None or not readers.READERS[lean].bounded:
        for path in paths:
            _check_declared_size(path)
    what = _describe(source)
    if lean is not None:
        if len(paths) != 1:
            raise ValueError(f"engine={engine!r} reads one file at a time")
        try:
            return readers.read(lean, paths[0], quantities)
        except OversizedVolumeError:
            raise
        except Exception as err:  # h5py and the readers raise anything from KeyError to OSError
            raise ValueError(
                f"could not read {what} as a radar volume (engine "
                f"{readers.ENGINE_PREFIX + lean!r}): {type(err).__name__}: {err}"
            ) from err
    try:
        # imported by name: the optional readers ship no type information
        xradar = importlib.import_module("xradar")
    except ImportError as err:  # pragma: no cover - the radar extra is missing
        raise ImportError("reading radar files needs xradar: pip install 'bluster[radar]'") from err
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
        with _reading(engine):
            tree: xr.DataTree = xradar.io.open_datatree(target, engine=engine, **raw)
            tree = _only(tree, quantities, readers.moment_names)
            # read now, so that a truncated file fails here and not mid-computation, and
            # closed here, by the thread that holds the lock
            tree.load()
            tree.close()
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


# The netCDF-C library under netCDF4 (xradar's CfRadial readers, xarray's default NetCDF
# engine) and Py-ART's readers are not thread-safe: two threads reading CfRadial files at
# once crash the process. Such reads take this lock, so they run one at a time in a process
# (the command line's --processes reads them in parallel). The engines named here read
# through h5py, which has its own lock (ODIM_H5, GAMIC), or decode with Python and NumPy;
# any other engine is serialised, in doubt.
_CONCURRENT_ENGINES = frozenset(
    {"odim", "gamic", "nexradlevel2", "iris", "rainbow", "furuno", "uf"}
)
_SERIAL_READER = threading.Lock()


def _reading(engine: str | None) -> contextlib.AbstractContextManager[object]:
    """The lock a read with ``engine`` (``"pyart"`` for Py-ART) takes, if any."""
    if engine in _CONCURRENT_ENGINES:
        return contextlib.nullcontext()
    return _SERIAL_READER


def netcdf_library_lock() -> contextlib.AbstractContextManager[object]:
    """The lock of the reads through the netCDF-C library, for any other use of it in the
    process while volumes are read (the command line's NetCDF output)."""
    return _SERIAL_READER


_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


def _check_declared_size(path: Any) -> None:
    """Refuse a file whose datasets declare more than :data:`MAX_VOLUME_BYTES` uncompressed.

    Compressed HDF5 chunks (ODIM_H5, CfRadial in NetCDF4, GAMIC) are decompressed by the
    readers in full, and chunks never written read as fill values: a file of a few hundred
    kB can declare tens of GiB. The declared sizes (elements x item size of every dataset)
    are read from the file's metadata, before any data. Opening the file here also reports
    a file that cannot be read (permissions) as such.
    """
    with open(path, "rb") as file:
        if file.read(len(_HDF5_SIGNATURE)) != _HDF5_SIGNATURE:
            return  # other formats are not decompressed past their size here
    h5py = importlib.import_module("h5py")  # xradar's ODIM_H5 and GAMIC readers need it

    try:
        with h5py.File(path, "r") as file:
            declared = _declared_bytes(file.id)
    except (OSError, ValueError, TypeError):
        return  # the reader says what is wrong with the file
    refuse_oversized(path, declared)


def _declared_bytes(file_id: Any) -> int:
    """Elements x item size of every dataset of an open HDF5 file (a null dataspace declares
    none), through h5py's low-level interface: the high-level visit builds a Python object for
    every group and dataset, several times the cost of reading a small volume's metadata."""
    from h5py import h5d, h5o

    from .readers._hdf5 import declared_bytes

    sizes: list[int] = []

    def add(name: bytes, info: Any) -> None:
        if info.type == h5o.TYPE_DATASET:
            sizes.append(declared_bytes(h5d.open(file_id, name)))

    h5o.visit(file_id, add, info=True)
    return sum(sizes)


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
        decoded[name] = xr.Variable(variable.dims, values, attrs)  # the codings' attrs gone
    return ds.assign(decoded) if decoded else ds


def _only(tree: xr.DataTree, quantities: Collection[str] | None, select: Any) -> xr.DataTree:
    """The tree without the moments that ``quantities`` leaves out (before they are loaded)."""
    if quantities is None:
        return tree
    for _, node in _sweep_nodes(tree):
        held = _moment_names(node.to_dataset(inherit=False))
        unwanted = set(held) - set(select(held, quantities))
        if unwanted:
            node.dataset = node.to_dataset(inherit=False).drop_vars(sorted(unwanted))
    return tree


def _pyart_read(path: Any) -> Any:
    try:
        pyart = _import_pyart()
    except ImportError as err:
        raise ImportError("reading with Py-ART needs Py-ART: pip install arm-pyart") from err
    try:
        with _reading("pyart"):
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
    units = _text(radar.time.get("units", ""))
    _, since, epoch = units.partition("since")
    base: np.datetime64 | None
    try:
        base = np.datetime64(epoch.strip().rstrip("Z").replace(" ", "T"), "ns")
    except ValueError:
        base = None
    if not since or base is None or np.isnat(base):
        raise ValueError(
            f"the radar's ray times have units {units!r}: expected 'seconds since' a date"
        )
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
    elif np.ma.isMaskedArray(value):  # the masked characters of a NetCDF string
        kind = value.dtype.kind
        return _text(value.filled(b"" if kind == "S" else "" if kind == "U" else None))
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


def _normalised(tree: xr.DataTree, what: str, *, owned: bool = False) -> xr.DataTree:
    """The tree with each sweep's ray dimension named after its angle, plus site and time.

    A tree read here (``owned``) whose sweeps are laid out so already (the lean readers give
    them so) keeps its nodes and gets the two attributes: rebuilding a tree costs about as
    much as reading a small volume.
    """
    nodes = _sweep_nodes(tree)
    if not nodes:
        raise ValueError(f"{what} holds no sweeps (children sweep_0, sweep_1, ... with a range)")
    sweeps = {}
    unchanged = owned and len(nodes) == len(tree.children)
    for name, node in nodes:
        ds = node.to_dataset(inherit=False)
        # the checks read the variables: ds[name] would make a DataArray for each look
        variables = ds.variables
        for angle in ("azimuth", "elevation"):
            if angle not in variables:
                raise ValueError(
                    f"{what}: {name} has no {angle} angles; a sweep needs azimuth and "
                    "elevation of every ray"
                )
        azimuth, elevation = variables["azimuth"], variables["elevation"]
        ray_dim = str(azimuth.dims[0]) if azimuth.ndim == 1 else ""
        if azimuth.ndim != 1 or elevation.dims != (ray_dim,):
            raise ValueError(f"{what}: {name} needs one azimuth and elevation per ray")
        if ray_dim not in ("azimuth", "elevation"):
            target = "elevation" if _mode(ds) == "rhi" else "azimuth"
            ds = ds.swap_dims({ray_dim: target})
            unchanged = False
        where = f"{what}: {name}"
        checked = _checked_times(_in_degrees(ds, where), where)
        unchanged = unchanged and checked is ds
        sweeps[f"/{name}"] = checked
    attrs = dict(tree.attrs) | {"site": _site(tree), "start_time": _start_time(tree, sweeps)}
    if unchanged:
        tree.attrs = attrs
        return tree
    root = tree.to_dataset(inherit=False)
    return xr.DataTree.from_dict({"/": root.assign_attrs(attrs), **sweeps})


def _in_degrees(ds: xr.Dataset, where: str) -> xr.Dataset:
    """The sweep with its azimuth and elevation in degrees: converted from another angle unit,
    refused in a unit that is no angle ("1", "", "count", "percent", "dB"); no units attribute
    means degrees."""
    for angle in ("azimuth", "elevation"):
        units = ds.variables[angle].attrs.get("units")
        if units is None:
            continue
        factor = _factor(_text(units), "degree", f"{where}/{angle}", angle)
        if factor != 1.0:
            converted = ds[angle].copy(data=ds[angle].values * factor)
            ds = ds.assign_coords({angle: converted.assign_attrs(units="degrees")})
    return ds


def _checked_times(ds: xr.Dataset, where: str) -> xr.Dataset:
    """The sweep, whose ray times, if it has any, must be dates."""
    times = ds.variables.get("time")
    if times is not None and times.dtype.kind != "M":
        units = times.attrs.get("units", times.encoding.get("units"))
        raise ValueError(
            f"{where}: its ray times are not dates (units {units!r}; expected 'seconds since' "
            "a date)"
        )
    return ds


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


# Variables are read through ds.variables: indexing the Dataset builds a DataArray each time,
# which for every sweep of a volume costs more than the reads.


def _mode(ds: xr.Dataset) -> str:
    return _text(ds.variables["sweep_mode"].values).lower() if "sweep_mode" in ds else ""


def _sweep(name: str, ds: xr.Dataset) -> Sweep:
    angles = ds.variables["elevation"].values
    elevation = float(np.nanmean(angles)) if angles.size else np.nan
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
    if working in ("dB", "dBZ"):
        raise ValueError(
            f"{where}: units {text!r} cannot be taken as {quantity} (expected {working})"
        )
    return _factor(text, working, where, quantity)


def _factor(text: str, working: str, where: str, quantity: str) -> float:
    """The factor from the units ``text`` to ``working``; an angle needs an angle unit
    (pint would take a plain number as radians)."""
    try:
        return conversion_factor(text, working)
    except conversion_errors():
        pass
    raise ValueError(f"{where}: units {text!r} cannot be taken as {quantity} (expected {working})")
