"""The lean reader of ODIM_H5 polar volumes (OPERA Data Information Model, HDF5).

One pass through the file: the metadata of each ``datasetN`` group, the declared sizes of the
moments asked for (refused past ``bluster.radar.volume.MAX_VOLUME_BYTES`` before any is read),
and only the ``dataM`` groups of those moments, each read as its stored chunks, inflated and
decoded by ``_readers`` without the GIL and outside the HDF5 library (see ``_chunks``). The
metadata and the chunks' places are read from the file's bytes (see ``_hdf5_bytes``), at a
fraction of the cost of h5py's calls, and then the chunks of all the moments are inflated and
decoded in one call, on threads, each chunk straight into its rows of float64; a file that
uses what is not read there (or that contradicts itself) is read through h5py's low-level
interface instead, which gives the library's values and errors. The result is the DataTree
that xradar's ``odim`` engine gives, with these differences:

- Gates at the ``undetect`` code are NaN: xradar masks only ``nodata`` and keeps ``undetect``
  as a value (``undetect * gain + offset``: -32 dBZ for a common reflectivity coding, a
  velocity at the end of the Nyquist interval for a common velocity coding), which no
  computation may take as a measurement. Every other gate has xradar's bits.
- Every moment is float64 (xradar keeps float32 where xarray's decoding gives it; the values
  are the same).
- The classification ``legend`` datasets of quality groups are not read (xradar turns them
  into ``flag_values`` and ``flag_meanings`` attributes).

Thread safety: a read from the file's bytes shares nothing between calls; h5py serialises
every call into the HDF5 library behind one lock, so reads of several files on several threads
are safe either way (they inflate and decode their moments at once, without the GIL).
"""

import datetime as dt
import os
import re
from typing import Any

import numpy as np
import xarray as xr

from . import Quantities, _chunks, _layout, moment_names
from ._decode import decode, native_unpacking
from ._hdf5 import Attributes, declared_bytes, root_of
from ._hdf5_bytes import Dataset, Objects, file_image

# ODIM quantities that mean something else in xradar's (FM301) names
_RENAMED = {"TH": "DBTH", "TV": "DBTV"}
# the global attributes xradar takes from the "what/source" identifiers
_SOURCE_ATTRS = {
    "WMO": "wmo__id",
    "PLC": "site_name",
    "NOD": "node",
    "ORG": "wmo__originating_centre",
    "WIGOS": "wmo__wsi",
}
_DATASET = re.compile(r"dataset(\d+)$")
_MOMENT_GROUP = re.compile(r"(data|quality)\d+$")


def is_odim(path: Any) -> bool:
    """Whether the HDF5 file at ``path`` declares ODIM_H5 in its ``Conventions``."""
    root = root_of(path)
    return root is not None and root.attrs.get("Conventions", "").startswith("ODIM_H5")


def read_odim(
    path: str | os.PathLike[str], quantities: Quantities = None, *, n_threads: int = 0
) -> xr.DataTree:
    """Read an ODIM_H5 polar volume (or scan) as a DataTree of sweeps.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    quantities : collection of str, optional
        Quantities to read (keys of :data:`bluster.radar.MOMENT_ALIASES`): each sweep's first
        moment of the quantity's aliases. Default: every moment.
    n_threads : int, optional
        Threads inflating and decoding the moments' chunks: 1 or more means that many, 0
        (default) or negative one per CPU. The result is the same for every count.

    Returns
    -------
    xarray.DataTree
        As xradar's ``odim`` engine gives it (see the module's notes for the differences).

    Raises
    ------
    OSError, KeyError, ValueError
        The file is not ODIM_H5 or lacks a mandatory group or attribute.
    bluster.radar.volume.OversizedVolumeError
        The moments to read declare more than ``bluster.radar.volume.MAX_VOLUME_BYTES``
        uncompressed (checked before any of them is read).
    """
    from ..volume import OversizedVolumeError

    try:
        return _read(path, quantities, _ImageFile(Objects(file_image(path)), n_threads))
    except OversizedVolumeError:
        raise
    except Exception:  # what the bytes do not give here (a feature of HDF5 not read from
        pass  # them, damage) the library reads, with its values and errors
    import h5py

    with h5py.File(path, "r") as f, open(path, "rb") as raw:
        return _read(path, quantities, _LibraryFile(f.id, raw.fileno()))


def _read(path: str | os.PathLike[str], quantities: Quantities, file: "_File") -> xr.DataTree:
    version = file.attrs("").get("Conventions", "None")
    where = file.attrs("where")
    site = {
        "longitude": where.get("lon"),
        "latitude": where.get("lat"),
        "altitude": where.get("height"),
    }
    numbers = sorted(int(m.group(1)) for key in file.members("") if (m := _DATASET.match(key)))
    groups = {n: f"dataset{n}" for n in numbers}
    moments = {n: _moments(file, group, quantities) for n, group in groups.items()}
    chosen = [group for groups in moments.values() for group in groups.values()]
    file.refuse_oversized(path, chosen)
    file.allot(chosen)
    sweeps = [_sweep(file, groups[n], n - 1, version, moments[n]) for n in numbers]
    file.finish()
    source = file.attrs("what").get("source")
    if not sweeps:
        raise ValueError("the file holds no datasetN groups")
    return _layout.tree(_root(sweeps, site, source), sweeps)


class _File:
    """Groups, attributes and datasets of a file by path, and the places of the decoded
    moments. Attributes are mappings whose ``get`` gives values as h5py reads them."""

    def __init__(self) -> None:
        self._places: dict[str, np.ndarray] = {}

    def members(self, path: str) -> list[str]:
        """The names of the members of the group at ``path``."""
        raise NotImplementedError

    def attrs(self, path: str) -> Any:
        """The attributes of the object at ``path`` (empty when there is none)."""
        raise NotImplementedError

    def shape(self, path: str) -> tuple[int, ...]:
        """The shape of the dataset at ``path``."""
        raise NotImplementedError

    def declared_bytes(self, path: str) -> int:
        """What the dataset at ``path`` declares uncompressed (see ``_hdf5.declared_bytes``)."""
        raise NotImplementedError

    def stored(self, path: str) -> np.ndarray:
        """The 2-D dataset at ``path`` as stored."""
        raise NotImplementedError

    def decoded(
        self,
        path: str,
        coding: dict[str, Any],
        codes: tuple[float, ...],
        rows: np.ndarray | None,
        out: np.ndarray | None,
    ) -> np.ndarray:
        """The 2-D dataset at ``path`` decoded with the CF ``coding`` and the further
        ``codes``, output row i its row ``rows[i]`` (see ``_decode.decode``), into ``out``
        when given; its values may wait for :meth:`finish`."""
        return decode(self.stored(path), coding, codes=codes, rows=rows, out=out)

    def finish(self) -> None:
        """Give every array :meth:`decoded` returned its values."""

    def refuse_oversized(self, name: Any, moments: list[str]) -> None:
        """Refuse the file (named ``name``) when the data of the moment groups ``moments``
        declare more than ``bluster.radar.volume.MAX_VOLUME_BYTES`` uncompressed in all."""
        from ..volume import refuse_oversized  # the one limit (volume imports this lazily)

        refuse_oversized(name, sum(self.declared_bytes(f"{group}/data") for group in moments))

    def allot(self, moments: list[str]) -> None:
        """Allot the decoded values of the moment groups ``moments`` (those with 2-D data)
        their places in one float64 block. One allocation of a volume's moments costs a
        fraction of one per moment: the system maps a large block in large pages (NumPy asks
        for them), where every page of a new array otherwise costs a fault on first write,
        which took more than the decoding itself."""
        shapes = {}
        for group in moments:
            shape = self.shape(f"{group}/data")
            if len(shape) == 2:
                shapes[group] = shape
        block = np.empty(sum(rows * gates for rows, gates in shapes.values()))
        start = 0
        for group, (rows, gates) in shapes.items():
            self._places[group] = block[start : start + rows * gates].reshape(rows, gates)
            start += rows * gates

    def place(self, group: str, rows: int) -> np.ndarray | None:
        """The place allotted to the decoded values of the moment group ``group`` if it has
        ``rows`` rows (else None: a new array)."""
        place = self._places.get(group)
        return place if place is not None and place.shape[0] == rows else None


class _ImageFile(_File):
    """A file read from its bytes (see ``_hdf5_bytes``); its chunks inflated as in
    ``_chunks``, any other storage ``Unreadable``."""

    def __init__(self, objects: Objects, n_threads: int = 0) -> None:
        super().__init__()
        self._objects = objects
        self._attrs: dict[str, Any] = {}
        self._datasets: dict[str, Dataset] = {}
        self._jobs: list[_chunks.MomentJob] = []
        self._threads = n_threads

    def members(self, path: str) -> list[str]:
        return list(self._objects.members(path))

    def attrs(self, path: str) -> Any:
        if path not in self._attrs:
            try:
                self._attrs[path] = self._objects.attributes(path)
            except KeyError:
                self._attrs[path] = {}
        return self._attrs[path]

    def _dataset(self, path: str) -> Dataset:
        if path not in self._datasets:
            self._datasets[path] = self._objects.dataset(path)
        return self._datasets[path]

    def shape(self, path: str) -> tuple[int, ...]:
        return self._dataset(path).shape

    def declared_bytes(self, path: str) -> int:
        return self._dataset(path).declared_bytes()

    def stored(self, path: str) -> np.ndarray:
        dataset = self._dataset(path)
        _check_dimensions(path, len(dataset.shape))
        return _chunks.image_chunks(dataset, self._objects).inflated()

    def decoded(
        self,
        path: str,
        coding: dict[str, Any],
        codes: tuple[float, ...],
        rows: np.ndarray | None,
        out: np.ndarray | None,
    ) -> np.ndarray:
        """Where ``_readers`` decodes as xarray does, the moment waits for :meth:`finish`,
        which inflates and decodes the chunks of all of them at once; else as the base class
        does."""
        dataset = self._dataset(path)
        _check_dimensions(path, len(dataset.shape))
        unpacking = native_unpacking(dataset.dtype, coding, codes)
        if unpacking is None or not dataset.dtype.isnative:
            return super().decoded(path, coding, codes, rows, out)
        if out is None:
            out = np.empty((dataset.shape[0] if rows is None else rows.size, dataset.shape[1]))
        self._jobs.append(_chunks.moment_job(dataset, self._objects, unpacking, rows, out))
        return out

    def finish(self) -> None:
        jobs, self._jobs = self._jobs, []
        _chunks.inflate_decode(self._objects.image, jobs, self._threads)


class _LibraryFile(_File):
    """A file read through h5py's low-level interface."""

    def __init__(self, file_id: Any, descriptor: int) -> None:
        super().__init__()
        self.id = file_id
        self._opened: dict[str, Any] = {}
        self._datasets: dict[str, Any] = {}
        # the chunks' bytes read at their addresses, which are offsets in a file without a
        # user block
        unblocked = file_id.get_create_plist().get_userblock() == 0
        self.bytes = _chunks.FileBytes(descriptor) if unblocked else None

    def members(self, path: str) -> list[str]:
        from h5py import h5g

        group = h5g.open(self.id, (path or ".").encode())
        return [name.decode() for name in group]

    def attrs(self, path: str) -> Any:
        """Each object opened once (a moment's ``what`` is read for its quantity, then for
        its coding)."""
        from h5py import h5o

        if path not in self._opened:
            try:
                self._opened[path] = Attributes(h5o.open(self.id, (path or ".").encode()))
            except KeyError:
                self._opened[path] = {}
        return self._opened[path]

    def _dataset(self, path: str) -> Any:
        """The dataset at ``path`` (a ``DatasetID``), opened once."""
        from h5py import h5d

        if path not in self._datasets:
            self._datasets[path] = h5d.open(self.id, path.encode())
        return self._datasets[path]

    def shape(self, path: str) -> tuple[int, ...]:
        return tuple(self._dataset(path).shape)

    def declared_bytes(self, path: str) -> int:
        return declared_bytes(self._dataset(path))

    def stored(self, path: str) -> np.ndarray:
        """Its chunks inflated outside the HDF5 library when they allow it (see
        ``_chunks``), else read by the library."""
        import h5py

        dataset = self._dataset(path)
        _check_dimensions(path, len(dataset.shape))
        chunks = _chunks.stored_chunks(dataset, self.bytes)
        if chunks is not None:
            try:
                return chunks.inflated()
            except _chunks.NotInflatable:
                pass  # the library's read, and its error if it has one
        return np.asarray(h5py.Dataset(dataset)[()])


def _check_dimensions(path: str, ndim: int) -> None:
    if ndim != 2:
        raise ValueError(f"{path} has {ndim} dimensions, expected 2")


def _sweep(
    file: _File, group: str, number: int, version: str, moment_groups: dict[str, str]
) -> xr.Dataset:
    where, what, how = (file.attrs(f"{group}/{name}") for name in ("where", "what", "how"))
    m = _layout.model()
    dim, fixed_angle = _dim_and_fixed_angle(where)
    azimuth = _azimuth(how, where)
    elevation = _elevation(how, where)
    order = _layout.sorted_rows(azimuth if dim == "azimuth" else elevation)

    def rays(values: np.ndarray) -> np.ndarray:
        return values if order is None else values[order]

    moments = {name: _moment(file, name, path, dim, order) for name, path in moment_groups.items()}
    nyquist = how.get("NI")
    variables = {
        "sweep_mode": xr.Variable((), "azimuth_surveillance" if dim == "azimuth" else "rhi"),
        "sweep_number": xr.Variable((), number),
        "prt_mode": xr.Variable((), "not_set"),
        "follow_mode": xr.Variable((), "not_set"),
        "sweep_fixed_angle": xr.Variable((), fixed_angle),
        "nyquist_velocity": _layout.scalar(
            None if nyquist is None else float(nyquist), m.get_nyquist_velocity_attrs()
        ),
    }
    ranges = _range(where, version)
    coords = {
        "azimuth": xr.Variable((dim,), rays(azimuth), m.get_azimuth_attrs()),
        "elevation": xr.Variable((dim,), rays(elevation), m.get_elevation_attrs()),
        "time": _layout.decoded_times(rays(_ray_times(how, what, where)), dim, _TIME_UNITS),
        "range": xr.Variable(("range",), ranges, m.get_range_attrs(ranges)),
    }
    return xr.Dataset(moments | variables, coords=coords)


_TIME_UNITS = "seconds since 1970-01-01T00:00:00Z"


def _moments(file: _File, group: str, quantities: Quantities) -> dict[str, str]:
    """The moment groups of a sweep to read, by variable name (a later group of the same
    quantity replaces an earlier one, as in xradar)."""
    found: dict[str, str] = {}
    for key in sorted(file.members(group)):  # in HDF5 name order, as xradar sees them
        if not _MOMENT_GROUP.match(key):
            continue
        quantity = file.attrs(f"{group}/{key}/what").get("quantity", key)
        found[_RENAMED.get(quantity, quantity)] = f"{group}/{key}"
    return {name: found[name] for name in moment_names(list(found), quantities)}


def _moment(file: _File, name: str, group: str, dim: str, order: np.ndarray | None) -> xr.Variable:
    what = file.attrs(f"{group}/what")
    gain, offset = what.get("gain", 1.0), what.get("offset", 0.0)
    coding: dict[str, Any] = {"_FillValue": what.get("nodata")}
    if not (gain == 1.0 and offset == 0.0):
        coding |= {"scale_factor": gain, "add_offset": offset}
    undetect = what.get("undetect")
    codes = () if undetect is None else (undetect,)
    path = f"{group}/data"
    rows = file.shape(path)[0] if order is None else order.size
    values = file.decoded(path, coding, codes, order, file.place(group, rows))
    attrs = {"_Undetect": 0.0 if undetect is None else undetect}
    legend = what.get("legend")
    if legend is not None:
        attrs["legend"] = legend
    mapping = _layout.model().sweep_vars_mapping.get(name)
    if mapping is not None:
        attrs |= {key: mapping[key] for key in _layout.model().moment_attrs}
    return xr.Variable((dim, "range"), values, attrs)


def _dim_and_fixed_angle(where: Any) -> tuple[str, Any]:
    for key in ("az_angle", "azangle"):  # an RHI scan at a fixed azimuth
        angle = where.get(key)
        if angle is not None:
            return "elevation", angle
    return "azimuth", where.get("elangle")


def _azimuth(how: Any, where: Any) -> np.ndarray:
    """Ray azimuths: the middle of each ray's start and stop angles, or evenly spread."""
    start = how.get("startazA")
    if start is None:
        res = 360.0 / where.get("nrays")
        return np.arange(res / 2.0, 360.0, res, dtype="float32")
    stop = how.get("stopazA")
    if stop is None:
        stop = np.roll(start, -1)
        stop[-1] += 360
    stop[stop < start] += 360
    azimuth = (start + stop) / 2.0
    azimuth[azimuth >= 360] -= 360
    return np.asarray(azimuth, dtype=azimuth.dtype)


def _elevation(how: Any, where: Any) -> np.ndarray:
    start, stop = how.get("startelA"), how.get("stopelA")
    if start is not None and stop is not None:
        return np.asarray((start + stop) / 2.0)
    angles = how.get("elangles")
    if angles is not None:
        return np.asarray(angles)
    spread: np.ndarray = np.ones(where.get("nrays"), dtype="float32") * where.get("elangle")
    return spread


def _ray_times(how: Any, what: Any, where: Any) -> np.ndarray:
    """Ray times, s since 1970: the middle of each ray's start and stop, or spread evenly over
    the sweep's start and end (all at the start when they are equal)."""
    start_times, stop_times = how.get("startazT"), how.get("stopazT")
    if start_times is not None and stop_times is not None:
        return np.asarray((start_times + stop_times) / 2.0)
    start = _timestamp(what, "start")
    end = _timestamp(what, "end")
    nrays = where.get("nrays")
    if start == end:
        return np.ones(nrays) * start
    delta = (end - start) / nrays
    return np.roll(np.arange(start + delta / 2.0, end, delta), shift=+where.get("a1gate"))


def _timestamp(what: Any, point: str) -> float:
    """The sweep's start or end, s since 1970 (an end that is not given is the start)."""
    date = what.get(f"{point}date", what.get("startdate"))
    text = date + what.get(f"{point}time", what.get("starttime"))
    moment = dt.datetime.strptime(text, "%Y%m%d%H%M%S").replace(tzinfo=dt.UTC)
    return moment.timestamp()


def _range(where: Any, version: str) -> np.ndarray:
    """Gate centres, m (float32, as xradar gives them); rstart is in km before ODIM 2.4."""
    scale = 1.0 if version == "ODIM_H5/V2_4" else 1000.0
    start = where.get("rstart") * scale
    step = where.get("rscale")
    first = start + step / 2.0
    return np.arange(first, start + step * where.get("nbins"), step, dtype="float32")


def _root(sweeps: list[xr.Dataset], site: dict[str, Any], source: Any) -> xr.Dataset:
    start, end = _layout.time_coverage(sweeps)
    attrs = {
        "Conventions": "ODIM_H5/V2_2",
        "instrument_name": "None",
        "version": "None",
        "title": "None",
        "institution": "None",
        "references": "None",
        "source": "radar",
        "history": "None",
        "comment": "im/exported using xradar",
    }
    identifiers = _identifiers(source)
    attrs |= {name: identifiers[key] for key, name in _SOURCE_ATTRS.items() if key in identifiers}
    variables = {
        "volume_number": 0,
        "platform_type": "fixed",
        "instrument_type": "radar",
        "time_coverage_start": start,
        "time_coverage_end": end,
        "sweep_group_name": ("sweep", [int(s.variables["sweep_number"].values) for s in sweeps]),
        "sweep_fixed_angle": ("sweep", [s.variables["sweep_fixed_angle"].values for s in sweeps]),
    }
    return xr.Dataset(variables, coords=_layout.station(site), attrs=attrs)


def _identifiers(source: Any) -> dict[str, str]:
    """The ``KEY:value`` pairs of ODIM's ``what/source``."""
    pairs = {}
    for item in str(source or "").split(","):
        key, _, value = item.strip().partition(":")
        if key.strip() and value.strip():
            pairs[key.strip().upper()] = value.strip()
    return pairs
