"""What the readers of HDF5 formats share: the signature, a look at the root, attribute text."""

import functools
import os
from dataclasses import dataclass
from typing import Any

import numpy as np

SIGNATURE = b"\x89HDF\r\n\x1a\n"


def is_hdf5(head: bytes) -> bool:
    """Whether a file starting with ``head`` is an HDF5 file (NetCDF4 files are)."""
    return head[:8] == SIGNATURE


#: The root attributes that tell the HDF5 formats apart.
FORMAT_ATTRIBUTES = ("Conventions", "conventions", "version")


@dataclass(frozen=True)
class Root:
    """The root of an HDF5 file: its attributes that tell the format (``FORMAT_ATTRIBUTES``,
    as text) and the names of its members."""

    attrs: dict[str, str]
    datasets: frozenset[str]
    groups: frozenset[str]

    def conventions(self) -> str:
        """Its Conventions, conventions and version attributes, lower case, in one text."""
        return " ".join(self.attrs[key] for key in FORMAT_ATTRIBUTES if key in self.attrs).lower()


def root_of(path: Any) -> Root | None:
    """The root of the HDF5 file at ``path``; None when the HDF5 library cannot open it
    (a truncated or damaged file), which is then left to the other readers' errors."""
    name = os.fspath(path)
    try:
        stat = os.stat(name)
    except OSError:
        return None
    return _root(name, stat.st_mtime_ns, stat.st_size)


# The detectors of the HDF5 formats each look at the root: the file is read once for all,
# from its bytes (see _hdf5_bytes), else through h5py's low-level interface (its File and Group
# objects cost several times as much, which a run over an archive pays for every file).
@functools.lru_cache(maxsize=16)
def _root(name: str, mtime_ns: int, size: int) -> Root | None:
    from ._hdf5_bytes import Unreadable

    try:
        return _root_from_bytes(name)
    except (Unreadable, KeyError, OSError):
        return _root_by_library(name)


def _root_from_bytes(name: str) -> Root:
    from ._hdf5_bytes import Objects, file_image

    objects = Objects(file_image(name))
    stored = objects.attributes("")
    attrs = {key: text(stored[key]) for key in FORMAT_ATTRIBUTES if key in stored}
    kinds = {member: objects.kind(member) for member in objects.members("")}
    datasets = frozenset(member for member, kind in kinds.items() if kind == "dataset")
    groups = frozenset(member for member, kind in kinds.items() if kind == "group")
    return Root(attrs, datasets, groups)


def _root_by_library(name: str) -> Root | None:
    from h5py import h5f, h5g, h5o

    try:
        file_id = h5f.open(os.fsencode(name), h5f.ACC_RDONLY)
    except (OSError, KeyError, ValueError, RuntimeError):
        return None
    try:
        root = h5o.open(file_id, b".")
        stored = Attributes(root)
        attrs = {key: text(stored.get(key)) for key in FORMAT_ATTRIBUTES if key in stored}
        datasets: set[str] = set()
        groups: set[str] = set()
        for member in h5g.open(file_id, b"."):
            kind = h5o.get_info(file_id, member).type
            if kind == h5o.TYPE_GROUP:
                groups.add(member.decode("utf-8", "surrogateescape"))
            elif kind == h5o.TYPE_DATASET:
                datasets.add(member.decode("utf-8", "surrogateescape"))
    except (OSError, KeyError, ValueError, RuntimeError):
        return None
    finally:
        file_id.close()
    return Root(attrs, frozenset(datasets), frozenset(groups))


def declared_bytes(dataset: Any) -> int:
    """What the h5py dataset ``dataset`` (a ``DatasetID``) declares uncompressed: its elements
    times their item size (that of the NumPy type h5py reads strings and compounds into); none
    for a null dataspace."""
    from h5py import h5s, h5t

    space = dataset.get_space()
    if space.get_simple_extent_type() == h5s.NULL:
        return 0
    stored = dataset.get_type()
    if stored.get_class() in (h5t.INTEGER, h5t.FLOAT):
        itemsize = int(stored.get_size())
    else:
        itemsize = int(dataset.dtype.itemsize)
    return int(np.prod(space.get_simple_extent_dims(), dtype=np.float64)) * itemsize


class Attributes:
    """The attributes of one HDF5 object, read through h5py's low-level interface: a fraction
    of the cost of ``obj.attrs[key]``, which translates the attribute's type anew at every
    read (a volume's metadata is some hundred attributes). Values as h5netcdf gives them
    (and through it xradar): numbers in their stored type, a one-element array as its element,
    strings decoded."""

    def __init__(self, object_id: Any) -> None:
        self._id = object_id

    def __contains__(self, key: str) -> bool:
        from h5py import h5a

        return bool(h5a.exists(self._id, key.encode()))

    def get(self, key: str, default: Any = None) -> Any:
        import h5py
        from h5py import h5a

        name = key.encode()
        if not h5a.exists(self._id, name):  # cheaper than the library's error for a failed open
            return default
        attr = h5a.open(self._id, name)
        stored = attr.get_type()
        memory = _memory_type(stored)
        size = stored.get_size()
        count = attr.get_storage_size() // size if size else 0
        if memory is None or count == 0:
            # variable-length strings, compounds, empty attributes: h5py's own way
            return _unwrapped(h5py.AttributeManager(_Parent(self._id))[key])
        mtype, dtype = memory
        out = np.empty(count, dtype)
        attr.read(out, mtype=mtype)
        return _unwrapped(out)


class _Parent:
    """What h5py's AttributeManager needs of the object whose attributes it reads."""

    def __init__(self, object_id: Any) -> None:
        self.id = object_id


def _unwrapped(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    if isinstance(value, np.ndarray) and value.ndim <= 1 and value.size == 1:
        return _unwrapped(value.reshape(-1)[0])
    return value


@functools.cache
def _native_types() -> dict[tuple[int, int, bool], tuple[Any, np.dtype]]:
    """Memory types of numbers by (HDF5 class, size, signed)."""
    from h5py import h5t

    types: dict[tuple[int, int, bool], tuple[Any, np.dtype]] = {
        (h5t.FLOAT, 4, True): (h5t.NATIVE_FLOAT, np.dtype("f4")),
        (h5t.FLOAT, 8, True): (h5t.NATIVE_DOUBLE, np.dtype("f8")),
    }
    for size in (1, 2, 4, 8):
        for signed in (True, False):
            dtype = np.dtype(f"{'i' if signed else 'u'}{size}")
            types[(h5t.INTEGER, size, signed)] = (h5t.py_create(dtype), dtype)
    return types


def _memory_type(stored: Any) -> tuple[Any, np.dtype] | None:
    """The memory type and NumPy dtype an attribute is read into, in its own type; None for
    what is left to h5py (variable-length strings, compounds)."""
    from h5py import h5t

    kind, size = stored.get_class(), stored.get_size()
    if kind == h5t.STRING:
        return None if stored.is_variable_str() else (stored, np.dtype(f"S{size}"))
    signed = kind != h5t.INTEGER or stored.get_sign() == h5t.SGN_2
    return _native_types().get((kind, size, signed))


def text(value: Any) -> str:
    """An attribute as text: bytes decoded as UTF-8 (bytes that are not kept as surrogate
    escapes), a one-element array by its element, a character array joined."""
    if isinstance(value, np.ndarray):
        if value.size == 1:
            return text(value.reshape(-1)[0])
        if value.dtype.kind == "S":  # a character array
            return b"".join(value.reshape(-1).tolist()).decode("ascii", "replace")
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    return str(value)
