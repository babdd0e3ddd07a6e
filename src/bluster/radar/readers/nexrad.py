"""NEXRAD Level II volumes (message 31) read at the speed of their decompression.

The file is a 24-byte volume header and, in every volume since 2008, LDM records: each a
4-byte signed size and a bzip2 stream of whole messages. Records are independent, so they
are decompressed ahead on a thread pool (Python's ``bz2`` releases the GIL) while the
calling thread works on those already in: the native module ``_nexrad`` walks each record's
messages (radial headers and block pointers, each checked against its record), and every
sweep, once its records are in, has its requested moments decoded from their gate codes
straight into float64 rows without the GIL, and is labelled.

The result is the DataTree that xradar's ``nexradlevel2`` engine gives for the same file
(names, dims, coordinates, attributes, sweep splitting), with these differences, each a
fault of that reader:

- codes 0 (below threshold) and 1 (range folded) are NaN, as in Py-ART; xradar decodes them
  as values (-33 and -32.5 dBZ, -64.5 and -64 m/s, ...), so noise enters every computation;
- gates a ray does not have (a moment with fewer gates than the sweep) are NaN; xradar
  fills them with code 0 decoded as a value;
- ray times are exact to the millisecond the format stores; xradar's float64 conversion of
  milliseconds since 1970 to nanoseconds is off by up to 128 ns;
- a sweep the file ends in (a volume still being written) is kept, as Py-ART keeps it;
  xradar drops it and reads a file holding only such a sweep as an empty tree;
- each ray's moments are found through that ray's own block pointers and decoded with its
  own gate count, scale and offset; xradar takes them from the first ray of the sweep;
- the root's ``comment`` names this reader.

Values equal xradar's bit for bit elsewhere: ``code * (1 / scale) + (-offset / scale)`` in
float64, the same two roundings. Py-ART computes ``(code - offset) / scale`` in float32;
rounded to float32, the values here equal Py-ART's.

References: NOAA Radar Operations Center, Interface Control Document for the RDA/RPG
(2620002) and for the Archive II/User (2620010).
"""

import bz2
import contextlib
import itertools
import os
import struct
import threading
from collections.abc import Collection, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import xarray as xr

import _nexrad

from ..volume import MOMENT_ALIASES

#: Most bytes all records of one volume may decompress to: about five times the largest
#: volume the radars write (20 cuts x 720 radials x 1,832 gates x 7 bytes of moments, about
#: 185 MB), so that a small damaged or hostile file (40 kB of bzip2 can hold 30 GiB) is
#: refused once this much is decompressed, before it fills the memory.
MAX_DECOMPRESSED_BYTES = 1 << 30

# Output of one decompression step: the limit is checked between steps.
_STEP_BYTES = 1 << 24

# The moments of message 31 in the order of the native tables and xradar's variables, with
# their names in the tree and the bits of a 16-bit code that carry the value.
_MOMENTS = ("REF", "VEL", "SW", "ZDR", "PHI", "RHO", "CFP")
_NAMES = ("DBZH", "VRADH", "WRADH", "ZDR", "PHIDP", "RHOHV", "CCORH")
_MASK_16 = (0xFFFF, 0xFFFF, 0xFFFF, 0x7FF, 0x3FF, 0xFFFF, 0xFFFF)
_QUANTITIES = {"reflectivity": 0, "velocity": 1, "zdr": 3, "phidp": 4, "rhohv": 5}

_METERS_PER_SECOND = "meters per seconds"  # xradar's spelling, kept for equal trees
_ATTRS: tuple[dict[str, str], ...] = tuple(
    {"units": units, "standard_name": standard, "long_name": long}
    for units, standard, long in (
        ("dBZ", "radar_equivalent_reflectivity_factor_h", "Equivalent reflectivity factor H"),
        (
            _METERS_PER_SECOND,
            "radial_velocity_of_scatterers_away_from_instrument_h",
            "Radial velocity of scatterers away from instrument H",
        ),
        (_METERS_PER_SECOND, "radar_doppler_spectrum_width_h", "Doppler spectrum width H"),
        ("dB", "radar_differential_reflectivity_hv", "Log differential reflectivity H/V"),
        ("degrees", "radar_differential_phase_hv", "Differential phase HV"),
        ("unitless", "radar_correlation_coefficient_hv", "Correlation coefficient HV"),
        ("unitless", "clutter_correction_h", "Clutter Correction H"),
    )
)
_AZIMUTH_ATTRS = {
    "standard_name": "ray_azimuth_angle",
    "long_name": "azimuth_angle_from_true_north",
    "units": "degrees",
    "axis": "radial_azimuth_coordinate",
}
_ELEVATION_ATTRS = {
    "standard_name": "ray_elevation_angle",
    "long_name": "elevation_angle_from_horizontal_plane",
    "units": "degrees",
    "axis": "radial_elevation_coordinate",
}
_SITE_ATTRS = {
    "latitude": {
        "long_name": "latitude",
        "units": "degrees_north",
        "positive": "up",
        "standard_name": "latitude",
    },
    "longitude": {"long_name": "longitude", "units": "degrees_east", "standard_name": "longitude"},
    "altitude": {"long_name": "altitude", "units": "meters", "standard_name": "altitude"},
}

# Message 5 (volume coverage pattern) and one elevation cut of it; message 2 (RDA status).
_VCP = struct.Struct(">HHHHHBB4sHH2s")
_CUT = struct.Struct(">HBBBBHHhhhhhhHHHHHHH2sHHH2s")
_STATUS = struct.Struct(">HHHHHhHhHHHHHH")
_BODY = 28  # a message's prefix and header, before its body
_WAVEFORMS = {
    0: "not_applicable",
    1: "contiguous_surveillance",
    2: "contiguous_doppler",
    3: "batch",
    4: "staggered_pulse_pair",
}
_CHANNELS = {0: "constant_phase", 1: "random_phase", 2: "sz2_phase_coding"}


def is_nexrad_level2(head: bytes) -> bool:
    """Whether a file starting with ``head`` is a volume :func:`read_nexrad_level2` reads.

    Parameters
    ----------
    head : bytes
        The first bytes of the file (8 are enough).

    Returns
    -------
    bool
        True for the volume header of a message-31 volume: ``AR2V00xx`` with ``xx`` 02 or
        later (2008 onwards, dual polarisation from 2011). False for anything else, including
        the legacy message-1 volumes (``ARCHIVE2``, ``AR2V0001``), which xradar and Py-ART
        read.

    Examples
    --------
    >>> is_nexrad_level2(b"AR2V0006.501"), is_nexrad_level2(b"ARCHIVE2.000")
    (True, False)
    """
    version = head[6:8]
    return head[:6] == b"AR2V00" and version.isdigit() and int(version) >= 2


def read_nexrad_level2(
    path: str | os.PathLike[str], quantities: Collection[str] | None = None, *, n_threads: int = 0
) -> xr.DataTree:
    """Read a NEXRAD Level II (message 31) volume as a DataTree of sweeps.

    Parameters
    ----------
    path : str or os.PathLike
        The volume file, as the radars and archives write it (bzip2-compressed LDM records,
        or the messages uncompressed).
    quantities : collection of str, optional
        The quantities to read, named as the keys of ``bluster.radar.volume.MOMENT_ALIASES``
        (``"reflectivity"``, ``"velocity"``, ``"zdr"``, ``"phidp"``, ``"rhohv"``, ...); only
        their moments are decoded. Quantities the format does not carry (``"kdp"``,
        ``"snr"``) are accepted and give nothing. Default: every moment of the file,
        spectrum width (``WRADH``) and clutter filter power removed (``CCORH``) included.
    n_threads : int, optional
        Threads decompressing and decoding: 1 or more means that many, 0 (default) or
        negative one per CPU. The result is the same for every count.

    Returns
    -------
    xarray.DataTree
        As xradar's ``nexradlevel2`` engine gives it: children ``sweep_0``, ``sweep_1``, ...
        in the order of the file, one per cut (the two cuts of a split cut at one elevation,
        reflectivity and dual polarisation first, then velocity, are two sweeps), with dims
        (``azimuth``, ``range``) sorted by azimuth, coordinates ``azimuth`` and ``elevation``
        (degrees), ``time`` and ``range`` (m, float32); variables named in the ODIM style
        (``DBZH`` dBZ, ``VRADH`` and ``WRADH`` m/s, ``ZDR`` dB, ``PHIDP`` degrees,
        ``RHOHV``, ``CCORH``) in float64, NaN where the code says below threshold or range
        folded; ``sweep_mode``, ``sweep_number``, ``sweep_fixed_angle`` (the cut's angle in
        the volume coverage pattern). The root holds ``time_coverage_start`` and
        ``time_coverage_end``, ``latitude``, ``longitude`` and ``altitude``, and the
        attributes ``instrument_name`` (the site's ICAO name) and ``scan_name`` (``VCP-nn``).
        The differences from xradar are listed in the module's documentation.

    Raises
    ------
    ValueError
        The file is not a message-31 Level II volume (legacy message-1 volumes name the
        readers that take them); a record is truncated or damaged (the message names the
        file and the record); the records decompress to more than
        ``MAX_DECOMPRESSED_BYTES``; an unknown quantity.

    Examples
    --------
    >>> import os, pyart
    >>> from bluster.radar.readers.nexrad import read_nexrad_level2
    >>> data = os.path.join(os.path.dirname(pyart.testing.__file__), "data")
    >>> path = os.path.join(data, "example_nexrad_archive_msg31_compressed.ar2v")
    >>> tree = read_nexrad_level2(path, quantities=["reflectivity", "rhohv"])
    >>> tree["sweep_0"]["DBZH"].shape, sorted(tree["sweep_0"].data_vars)[:2]
    ((120, 1832), ['DBZH', 'RHOHV'])
    >>> tree.attrs["instrument_name"], str(tree["time_coverage_start"].values)
    ('KATX', '2013-07-17T19:50:21Z')
    """
    name = os.fspath(path)
    wanted = _wanted(quantities)
    threads = n_threads if n_threads >= 1 else os.cpu_count() or 1
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] in (b"ARCHIVE2", b"AR2V0001"):
        raise ValueError(_legacy(name))
    if not is_nexrad_level2(data[:8]):
        raise ValueError(
            f"{name} is not a NEXRAD Level II volume (it starts with {data[:8]!r}, not AR2V00xx)"
        )
    volume = _Volume(name, data[:24], wanted, threads)
    if data[28:30] != b"BZ":
        volume.add(memoryview(data)[24:], last=True)  # the messages, uncompressed
    else:
        compressed = _records(name, data)
        with _inflated(name, compressed, threads) as records:
            for number, record in enumerate(records):
                volume.add(record, last=number == len(compressed) - 1)
    return volume.tree()


# --- records -------------------------------------------------------------------------------


def _legacy(name: str) -> str:
    return (
        f"{name} is a legacy NEXRAD Level II volume (message 1), which this reader does not "
        'read: open it with engine="nexradlevel2" (xradar) or engine="pyart"'
    )


def _wanted(quantities: Collection[str] | None) -> list[int]:
    if quantities is None:
        return list(range(len(_MOMENTS)))
    if isinstance(quantities, str):
        quantities = [quantities]
    unknown = sorted(set(quantities) - set(MOMENT_ALIASES))
    if unknown:
        raise ValueError(
            f"quantities: unknown quantity {', '.join(map(repr, unknown))}; expected names "
            f"among {', '.join(MOMENT_ALIASES)}"
        )
    return sorted({_QUANTITIES[q] for q in quantities if q in _QUANTITIES})


def _records(name: str, data: bytes) -> list[memoryview]:
    """The bzip2 streams of the records, each after its size word."""
    view = memoryview(data)
    records: list[memoryview] = []
    pos = 24
    while pos < len(data):
        if len(data) - pos < 4 or data[pos : pos + 4] == b"\0\0\0\0":
            if any(data[pos:]):
                raise ValueError(
                    f"could not read {name} as a NEXRAD Level II volume: no record size at "
                    f"byte {pos} (record {len(records)})"
                )
            break  # padding at the end
        size = int.from_bytes(data[pos : pos + 4], "big", signed=True)
        left = len(data) - pos - 4
        if abs(size) > left:
            raise ValueError(
                f"could not read {name} as a NEXRAD Level II volume: record {len(records)} at "
                f"byte {pos} declares {abs(size)} bytes, {left} are left (truncated file)"
            )
        records.append(view[pos + 4 : pos + 4 + abs(size)])
        pos += 4 + abs(size)
        if size < 0:
            break  # the last record of the volume
    return records


class _Budget:
    """What is left of MAX_DECOMPRESSED_BYTES, shared by the decompressing threads."""

    def __init__(self) -> None:
        self.left = MAX_DECOMPRESSED_BYTES
        self.lock = threading.Lock()

    def take(self, n: int) -> bool:
        with self.lock:
            self.left -= n
            return self.left >= 0


@contextlib.contextmanager
def _inflated(name: str, records: list[memoryview], threads: int) -> Iterator[Iterator[bytes]]:
    """The decompressed records in file order; with threads, decompressed ahead on a pool
    while the caller works on those already done (and on exit, none left running)."""
    budget = _Budget()

    def one(index: int) -> bytes:
        return _decompress(name, index, records[index], budget)

    if threads == 1 or len(records) == 1:
        yield (one(i) for i in range(len(records)))
        return
    pool = ThreadPoolExecutor(min(threads, len(records)))
    try:
        yield pool.map(one, range(len(records)))
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _decompress(name: str, index: int, record: memoryview, budget: _Budget) -> bytes:
    where = f"could not read {name} as a NEXRAD Level II volume: record {index}"
    decompressor = bz2.BZ2Decompressor()
    parts = []
    try:
        part = decompressor.decompress(record, _STEP_BYTES)
        while True:
            if not budget.take(len(part)):
                raise ValueError(
                    f"{name}: the records decompress to more than MAX_DECOMPRESSED_BYTES "
                    f"({MAX_DECOMPRESSED_BYTES} bytes; refused at record {index}): not a "
                    "NEXRAD Level II volume, or a damaged one"
                )
            parts.append(part)
            if decompressor.eof:
                break
            if decompressor.needs_input:
                raise ValueError(f"{where}: its bzip2 stream ends early (truncated or damaged)")
            part = decompressor.decompress(b"", _STEP_BYTES)
    except OSError as err:  # not bzip2 data, or a damaged stream
        raise ValueError(f"{where}: {err}") from None
    if decompressor.unused_data:
        raise ValueError(
            f"{where}: {len(decompressor.unused_data)} bytes follow the end of its bzip2 stream"
        )
    return parts[0] if len(parts) == 1 else b"".join(parts)


# --- the tree ------------------------------------------------------------------------------


class _Volume:
    """The tree, built record by record: each sweep is decoded and labelled as soon as the
    records holding it are in, while the pool decompresses the next ones."""

    def __init__(self, name: str, header: bytes, wanted: list[int], threads: int) -> None:
        self.name = name
        self.header = header
        self.wanted = wanted
        self.threads = threads
        self.decoding = 1  # threads decoding a sweep: one while the pool decompresses
        self.records: list[bytes | memoryview] = []
        self.pending: np.ndarray | None = None  # radials of the sweep not yet complete
        self.sweeps: dict[str, xr.Dataset] = {}
        self.vcp: dict[str, Any] | None = None  # message 5, before the first radial
        self.status: tuple[int, ...] | None = None  # message 2
        self.site: tuple[float, float, Any] | None = None
        self.legacy = False
        self.times: list[np.datetime64] = []

    def add(self, record: bytes | memoryview, last: bool) -> None:
        """Walk the next record and complete the sweeps it ends; after the last record,
        sweeps decode on all threads (the pool has the other cores until then)."""
        if last:
            self.decoding = self.threads
        number = len(self.records)
        self.records.append(record)
        try:
            radials, messages = _nexrad.scan([record], number, 1)
        except ValueError as err:
            raise ValueError(
                f"could not read {self.name} as a NEXRAD Level II volume: {err}"
            ) from None
        self._read_messages(record, messages)
        if radials.size == 0:
            return
        if self.site is None:
            self.site = self._site(radials)
        pending = radials if self.pending is None else np.concatenate([self.pending, radials])
        starts = _sweep_starts(pending)
        for first, end in itertools.pairwise(starts):
            self._add_sweep(pending[first:end])
        self.pending = pending[starts[-1] :]

    def tree(self) -> xr.DataTree:
        if self.pending is not None:
            self._add_sweep(self.pending)  # the last sweep, complete or not
            self.pending = None
        if not self.sweeps:
            if self.legacy:
                raise ValueError(_legacy(self.name))
            raise ValueError(f"{self.name} holds no radials (message 31): no sweeps to read")
        return xr.DataTree.from_dict({"/": self._root(), **self.sweeps})

    def _read_messages(self, record: bytes | memoryview, messages: np.ndarray) -> None:
        self.legacy |= bool(np.any(messages["type"] == 1))
        for message in messages:
            kind = int(message["type"])
            body = int(message["position"]) + _BODY
            size = int(message["size"]) * 2 - 16
            if kind == 5 and self.vcp is None and size >= _VCP.size:
                self.vcp = _read_vcp(record, body, size)
            elif kind == 2 and self.status is None and size >= _STATUS.size:
                self.status = _STATUS.unpack_from(record, body)

    def _site(self, radials: np.ndarray) -> tuple[float, float, Any] | None:
        """Latitude, longitude (degrees) and the antenna's height (m: site plus feedhorn)
        from the first VOL block."""
        with_vol = np.flatnonzero(radials["vol"] >= 0)
        if with_vol.size == 0:
            return None
        r = radials[with_vol[0]]
        pos = int(r["vol"]) + 8  # after the block name, its size and version
        lat, lon, height, feedhorn = struct.unpack_from(">ffhH", self.records[r["record"]], pos)
        return lat, lon, height + feedhorn

    def _add_sweep(self, radials: np.ndarray) -> None:
        """Decode and label one sweep (radials in file order)."""
        first = radials[0]
        number = len(self.sweeps)
        held, distance = self._layout(first)
        rays = radials[np.argsort(radials["azimuth"], kind="stable")]
        decoded = [m for m in self.wanted if m in held]
        values = [np.empty((rays.size, distance.size)) for _ in decoded]  # one per variable
        if decoded:
            tables = [self._rows(rays, m, k, distance.size) for k, m in enumerate(decoded)]
            _nexrad.decode(
                self.records,
                values,
                np.concatenate([rows for rows, _ in tables]),
                np.concatenate([factors for _, factors in tables]),
                self.decoding,
            )
        days = rays["collect_date"].astype(np.int64) - 1
        milliseconds = days * 86_400_000 + rays["collect_ms"].astype(np.int64)
        time = milliseconds.astype("datetime64[ms]").astype("datetime64[ns]")
        self.times += [time.min(), time.max()]
        cut = int(first["elevation_number"]) - 1
        cuts = self.vcp["cuts"] if self.vcp else []
        if 0 <= cut < len(cuts):
            fixed_angle = 360.0 * cuts[cut][0] / 65536
        else:
            fixed_angle = float(first["elevation"])
        dims = ("azimuth", "range")
        variables: dict[str, Any] = {
            _NAMES[m]: xr.Variable(dims, values[k], dict(_ATTRS[m])) for k, m in enumerate(decoded)
        }
        variables |= {
            "sweep_mode": "azimuth_surveillance",
            "sweep_number": number,
            "prt_mode": "not_set",
            "follow_mode": "not_set",
            "sweep_fixed_angle": fixed_angle,
        }
        coords = {
            "azimuth": ("azimuth", rays["azimuth"].astype(np.float64), _AZIMUTH_ATTRS),
            "elevation": ("azimuth", rays["elevation"].astype(np.float64), _ELEVATION_ATTRS),
            "time": ("azimuth", time, {"standard_name": "time"}),
            "range": ("range", distance, _range_attrs(distance)),
        }
        attrs = _cut_attrs(cuts[cut]) if 0 <= cut < len(cuts) else {}
        self.sweeps[f"sweep_{number}"] = xr.Dataset(variables, coords=coords, attrs=attrs)

    def _layout(self, first: np.void) -> tuple[list[int], np.ndarray]:
        """The moments of a sweep (those of its first radial, as xradar takes them) and its
        range: the first of them sets the gate geometry, the longest the count."""
        held = [m for m in range(len(_MOMENTS)) if first["word"][m]]
        if not held:
            return held, np.empty(0, dtype=np.float32)
        gates = max(int(first["ngates"][m]) for m in held)
        start = int(first["first_gate"][held[0]])
        spacing = int(first["gate_spacing"][held[0]])
        last = start + spacing * (gates - 0.5)
        distance = np.arange(start, last, spacing, dtype=np.float32) if spacing > 0 else np.empty(0)
        if distance.size != gates:
            raise ValueError(
                f"could not read {self.name} as a NEXRAD Level II volume: {_where(first)}: "
                f"moment {_MOMENTS[held[0]]} has a gate spacing of {spacing} m, which cannot "
                f"place {gates} gates"
            )
        return held, distance

    def _rows(self, rays: np.ndarray, m: int, k: int, width: int) -> tuple[np.ndarray, np.ndarray]:
        """The decode table of moment m of a sweep, into output k."""
        present = rays["data"][:, m] >= 0
        word = np.where(present, rays["word"][:, m], 8).astype(np.int64)
        rows = np.empty((rays.size, 8), dtype=np.int64)
        rows[:, 0] = rays["record"]
        rows[:, 1] = np.where(present, rays["data"][:, m], 0)
        rows[:, 2] = np.where(present, rays["ngates"][:, m], 0)  # a ray without it: all NaN
        rows[:, 3] = word
        rows[:, 4] = np.where(word == 16, _MASK_16[m], 0xFF)
        rows[:, 5] = k
        rows[:, 6] = np.arange(rays.size) * width
        rows[:, 7] = width
        scale = rays["scale"][:, m].astype(np.float64)
        offset = rays["offset"][:, m].astype(np.float64)
        usable = ~present | (np.isfinite(scale) & (scale != 0.0) & np.isfinite(offset))
        if not usable.all():
            bad = rays[np.argmin(usable)]
            raise ValueError(
                f"could not read {self.name} as a NEXRAD Level II volume: {_where(bad)}: "
                f"moment {_MOMENTS[m]} has the scale {bad['scale'][m]} and offset "
                f"{bad['offset'][m]}"
            )
        scale = np.where(present, scale, 1.0)
        offset = np.where(present, offset, 0.0)
        # xradar's decode, the same two roundings: code * (1 / scale) + (-offset / scale)
        return rows, np.stack([1.0 / scale, -offset / scale], axis=1)

    def _root(self) -> xr.Dataset:
        first, last = min(self.times), max(self.times)
        latitude, longitude, altitude = self.site or (np.nan, np.nan, np.nan)
        attrs: dict[str, Any] = {
            "Conventions": "None",
            "instrument_name": self.header[20:24].decode("ascii", "replace"),
            "version": "None",
            "title": "None",
            "institution": "None",
            "references": "None",
            "source": "None",
            "history": "None",
            "comment": "read by bluster.radar.readers.nexrad",
        }
        attrs |= _vcp_attrs(self.vcp) | _status_attrs(self.status)
        attrs["actual_elevation_cuts"] = len(self.sweeps)
        site = {"latitude": latitude, "longitude": longitude, "altitude": altitude}
        return xr.Dataset(
            {
                "volume_number": 0,
                "platform_type": "fixed",
                "instrument_type": "radar",
                "time_coverage_start": f"{np.datetime_as_string(first, 's')}Z",
                "time_coverage_end": f"{np.datetime_as_string(last, 's')}Z",
            },
            coords={k: ((), v, _SITE_ATTRS[k]) for k, v in site.items()},
            attrs=attrs,
        )


def _sweep_starts(radials: np.ndarray) -> list[int]:
    """Where sweeps start: at a start-of-elevation or start-of-volume radial,
    after an end-of-elevation or end-of-volume radial, and where the cut number changes."""
    status = radials["radial_status"]
    cut = radials["elevation_number"]
    starts = np.ones(status.size, dtype=bool)
    begins = (status == 0) | (status == 3) | (status == 5)
    ends = (status == 2) | (status == 4)
    starts[1:] = begins[1:] | ends[:-1] | (cut[1:] != cut[:-1])
    return [int(i) for i in np.flatnonzero(starts)]


def _where(radial: np.void) -> str:
    return f"record {radial['record']}, message at byte {radial['message']}"


def _read_vcp(record: bytes | memoryview, body: int, size: int) -> dict[str, Any]:
    fields = _VCP.unpack_from(record, body)
    n_cuts = fields[3]
    cuts = []
    if 0 <= n_cuts <= 25:  # more is a maintenance pattern without cut data
        fit = min(n_cuts, (size - _VCP.size) // _CUT.size)
        cuts = [_CUT.unpack_from(record, body + _VCP.size + k * _CUT.size) for k in range(fit)]
    return {"fields": fields, "cuts": cuts}


def _range_attrs(distance: np.ndarray) -> dict[str, Any]:
    attrs: dict[str, Any] = {
        "units": "meters",
        "standard_name": "projection_range_coordinate",
        "long_name": "range_to_measurement_volume",
        "axis": "radial_range_coordinate",
    }
    if distance.size:
        step = np.diff(distance)
        even = step.size == 0 or bool(
            np.all(np.abs(step - step[0]) <= 2 * np.max(np.spacing(distance)))
        )
        if even and step.size:
            attrs["meters_between_gates"] = step[0]
        attrs["spacing_is_constant"] = "true" if even else "false"
        attrs["meters_to_center_of_first_gate"] = distance[0]
    return attrs


def _vcp_attrs(vcp: dict[str, Any] | None) -> dict[str, Any]:
    if vcp is None:
        return {}
    _, _, pattern, n_cuts, _, resolution, pulse, _, sequencing, supplement, _ = vcp["fields"]
    if supplement & 0x1:
        count = (supplement >> 1) & 0x7
        dynamic = f"SAILS x {count}" if count else "SAILS"
    elif supplement & 0x10:
        count = (supplement >> 5) & 0x7
        dynamic = f"MRLE x {count}" if count else "MRLE"
    else:
        dynamic = "standard"
    return {
        "scan_name": f"VCP-{pattern}",
        "dynamic_scan_type": dynamic,
        "mpda_vcp": bool(supplement & 0x800),
        "base_tilt_vcp": bool(supplement & 0x1000),
        "num_base_tilts": (supplement >> 13) & 0x7,
        "vcp_truncated": bool(sequencing & 0x4000),
        "vcp_sequence_active": bool(sequencing & 0x2000),
        "number_elevation_cuts": n_cuts,
        "doppler_velocity_resolution": 0.5 if resolution == 2 else 1.0,
        "vcp_pulse_width": "short" if pulse == 2 else "long" if pulse == 4 else str(pulse),
    }


def _status_attrs(status: tuple[int, ...] | None) -> dict[str, Any]:
    if status is None:
        return {}
    flags = status[13]
    return {
        "avset_enabled": bool(flags & 0x2),
        "ebc_enabled": bool(flags & 0x8),
        "super_res_status": status[11],
        "rda_build_number": status[9],
        "operational_mode": status[10],
    }


def _cut_attrs(cut: tuple[Any, ...]) -> dict[str, Any]:
    channel, waveform, super_resolution = cut[1], cut[2], cut[3]
    supplement = cut[16]
    return {
        "waveform_type": _WAVEFORMS.get(waveform, str(waveform)),
        "channel_config": _CHANNELS.get(channel, str(channel)),
        "super_resolution": super_resolution,
        "sails_cut": bool(supplement & 0x1),
        "sails_sequence_number": (supplement >> 1) & 0x7,
        "mrle_cut": bool(supplement & 0x10),
        "mrle_sequence_number": (supplement >> 5) & 0x7,
        "mpda_cut": bool(supplement & 0x200),
        "base_tilt_cut": bool(supplement & 0x400),
    }
