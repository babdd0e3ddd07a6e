"""The objects of an HDF5 file read from its bytes: groups and their members, attributes, and
the layout of chunked datasets.

Through h5py, an attribute costs some 40 µs and an object opened some 30 µs (each call takes
h5py's lock and returns new Python objects), which made the metadata of an ODIM_H5 volume cost
more than inflating its moments. The metadata of a file follow the HDF5 File Format
Specification (version 3.0); this module reads the part of it that the writers of radar
volumes use:

- superblocks of versions 0 to 3 at the start of the file (no user block), base address 0;
- object headers of versions 1 and 2, with their continuation blocks;
- groups that hold their links in a symbol table (a version 1 B-tree and a local heap) or in
  link messages (compact storage);
- attributes in the object header, of fixed-point, IEEE floating-point, fixed-length string
  and variable-length string types (the last in global heap collections), scalar or simple;
- datasets' dataspace, datatype, filter pipeline and chunked layout (version 3: chunks
  indexed by a version 1 B-tree).

Anything else (dense storage of links or attributes, shared messages, other layouts and chunk
indexes, other types) raises :class:`Unreadable`, and so do bytes that contradict themselves
(an address past the end of the file, a B-tree that loops): the caller then reads the file
through the HDF5 library, whose values and errors stay those of the file. Values are those
h5py's low-level reads give (see ``_hdf5.Attributes``): numbers in their own type in the
machine's byte order, fixed-length strings with their trailing NULs dropped, variable-length
strings as ``str``.

References
----------
The HDF Group, 2016: HDF5 File Format Specification, version 3.0.
https://docs.hdfgroup.org/hdf5/develop/_f_m_t3.html
"""

import functools
import math
import os
import struct
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

from ._hdf5 import SIGNATURE

#: Files larger than this are left to the HDF5 library (this module reads a file whole).
MAX_FILE_BYTES = 1 << 28

# Header message types
_DATASPACE, _LINK_INFO, _DATATYPE, _LINK, _LAYOUT = 0x01, 0x02, 0x03, 0x06, 0x08
_OLD_FILL_VALUE, _FILL_VALUE = 0x04, 0x05
_FILTERS, _ATTRIBUTE, _CONTINUATION, _SYMBOL_TABLE, _ATTRIBUTE_INFO = 0x0B, 0x0C, 0x10, 0x11, 0x15
# the messages a dataset has at most one of (the library reads the first of a type)
_ONE_PER_DATASET = {_DATASPACE, _DATATYPE, _OLD_FILL_VALUE, _FILL_VALUE, _LAYOUT, _FILTERS}
_PLAIN_FLAGS = 0x01 | 0x04  # a message's flags read here: constant, not to be shared
# the types of message read here, or known to be safe to pass over: no message, fill values
# (two versions), group info. The library checks others (modification times, comments) as
# it opens an object, and files with them are left to it.
_KNOWN = {0x00, _DATASPACE, _LINK_INFO, _DATATYPE, _OLD_FILL_VALUE, _FILL_VALUE, _LINK, _LAYOUT}
_KNOWN |= {0x0A, _FILTERS}
_KNOWN |= {_ATTRIBUTE, _CONTINUATION, _SYMBOL_TABLE, _ATTRIBUTE_INFO}
_NO_FREE_BLOCK = 1  # the end of a local heap's free list
# Datatype classes
_FIXED_POINT, _FLOATING_POINT, _STRING, _VARIABLE_LENGTH = 0, 1, 3, 9
# The IEEE formats (size: bit offset, precision, exponent location and size, mantissa location
# and size, exponent bias)
_IEEE = {4: (0, 32, 23, 8, 0, 23, 127), 8: (0, 64, 52, 11, 0, 52, 1023)}


class Unreadable(Exception):
    """Bytes this module does not read: a feature it lacks, or a file that contradicts itself."""


def _checked[Method: Callable[..., Any]](method: Method) -> Method:
    """``method`` with bytes read past the end of the file (``struct.error``) and text that
    is not UTF-8 raised as ``Unreadable``."""

    @functools.wraps(method)
    def checked(*args: Any) -> Any:
        try:
            return method(*args)
        except (struct.error, IndexError, UnicodeDecodeError) as err:
            raise Unreadable(str(err)) from err

    return cast(Method, checked)


def file_image(path: Any) -> bytes:
    """The bytes of the file at ``path`` (``Unreadable`` past ``MAX_FILE_BYTES``)."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size > MAX_FILE_BYTES:
            raise Unreadable(f"{size} bytes: left to the HDF5 library")
        return file.read()


@functools.cache
def chunk_records(dimensions: int, offset_size: int) -> np.dtype:
    """The entries of a chunk B-tree node: each chunk's key (its stored size, the filters it
    skipped, its first element in ``dimensions`` coordinates, the last the byte in its
    element) and the address of its bytes (or of a child node)."""
    return np.dtype(
        [
            ("size", "<u4"),
            ("filter_mask", "<u4"),
            ("start", "<u8", (dimensions,)),
            ("address", f"<u{offset_size}"),
        ]
    )


@dataclass(frozen=True)
class Dataset:
    """What a dataset declares: shape, NumPy type, filters, and its chunks (records of
    ``chunk_records``; None for any layout but chunks indexed by a version 1 B-tree)."""

    shape: tuple[int, ...]
    dtype: np.dtype
    filters: tuple[int, ...]
    chunk: tuple[int, ...] | None
    chunks: np.ndarray | None  # of chunk_records

    def declared_bytes(self) -> int:
        return int(np.prod(self.shape, dtype=np.float64)) * self.dtype.itemsize


class Objects:
    """The objects of an HDF5 file, from its bytes ``image``, found by their paths."""

    @_checked
    def __init__(self, image: bytes) -> None:
        if image[:8] != SIGNATURE or len(image) < 64:
            raise Unreadable("no HDF5 signature at the start of the file")
        self.image = image
        self.end = len(image)  # until the superblock tells the end of what is allocated
        version = image[8]
        undefined = (1 << (8 * image[13 if version < 2 else 9])) - 1
        if version in (0, 1):
            self._o, self._l = image[13], image[14]
            base = 24 if version == 0 else 28
            # base address, free space, end of file, driver block, then the root's entry
            self._check_sizes()
            addresses = [self._offset(base + i * self._o) for i in range(6)]
            start, end, root = addresses[0], addresses[2], addresses[5]
            extension, driver = addresses[1], addresses[3]
            cache = self._uint(base + 6 * self._o, 4)  # of the root's symbol table entry
            # what the library checks as it opens the file: the versions of the free space,
            # the root's entry and shared headers, the B-trees' ranks, the status flags
            leaf, node, status = _SUPERBLOCK_V0.unpack_from(image, 16)
            chunk = self._uint(24, 2) if version == 1 else _CHUNK_RANK
            ranks = self._ranks = (leaf, node, chunk)
            versions = (image[9], image[10], image[12])
            known = (extension, driver) == (undefined, undefined) and cache <= 1
            if not known or status or any(versions) or 0 in ranks:
                raise Unreadable("a superblock of other versions, flags or parts than read here")
        elif version in (2, 3):
            self._o, self._l = image[9], image[10]
            self._check_sizes()
            start, end = self._offset(12), self._offset(12 + 2 * self._o)
            root = self._offset(12 + 3 * self._o)
            if image[11] or self._offset(12 + self._o) != undefined:
                raise Unreadable("a superblock with status flags or an extension")
            self._check_sum(0, 12 + 4 * self._o)
            self._ranks = (_LEAF_RANK, _NODE_RANK, _CHUNK_RANK)  # no extension: the defaults
        else:
            raise Unreadable(f"superblock version {version}")
        if start != 0:
            raise Unreadable("a base address other than 0")
        if end > len(image):  # a truncated file: the library's error
            raise Unreadable("the file ends before its end of file address")
        self.end = end  # what the library reads of the file: its allocated bytes
        self._undefined = undefined
        self._addresses: dict[str, int] = {"": root}
        self._headers: dict[int, list[tuple[int, int, int, int]]] = {}
        self._members: dict[int, dict[str, int]] = {}
        self._heaps: dict[int, dict[int, tuple[int, int]]] = {}

    # --- the objects by path

    def address(self, path: str) -> int:
        """The address of the object header at ``path`` (``KeyError`` when there is none)."""
        found = self._addresses.get(path)
        if found is None:
            parent, _, name = path.rpartition("/")
            found = self.members(parent)[name]
            self._addresses[path] = found
        return found

    @_checked
    def members(self, path: str) -> dict[str, int]:
        """The members of the group at ``path``, by name in the library's order (by name)."""
        address = self.address(path)
        if address not in self._members:
            self._members[address] = dict(sorted(self._links(address).items(), key=_name_order))
        return self._members[address]

    @_checked
    def attributes(self, path: str) -> dict[str, Any]:
        """The attributes of the object at ``path``, by name."""
        attrs: dict[str, Any] = {}
        address = self.address(path)
        self._kind(address)  # the library opens only objects it can tell
        for kind, start, size, _ in self._messages(address):
            if kind == _ATTRIBUTE:
                name, value = self._attribute(start, start + size)
                attrs[name] = value
            elif kind == _ATTRIBUTE_INFO and self._dense(start, 2):
                raise Unreadable("attributes in dense storage")
        return attrs

    @_checked
    def dataset(self, path: str) -> Dataset:
        """What the dataset at ``path`` declares."""
        address = self.address(path)
        if self._kind(address) != "dataset":
            raise Unreadable(f"{path} is not a dataset")
        found: dict[int, tuple[int, int]] = {}
        for kind, start, size, _ in self._messages(address):
            if kind in found and kind in _ONE_PER_DATASET:
                raise Unreadable(f"{path} has two messages of type {kind}")
            found[kind] = (start, size)
        for fill in (_OLD_FILL_VALUE, _FILL_VALUE):
            if fill in found:
                self._fill_value(fill, *found[fill])
        if _LAYOUT not in found or _DATASPACE not in found or _DATATYPE not in found:
            raise Unreadable(f"{path} is not a dataset")
        space, shape = self._dataspace(*found[_DATASPACE])
        dtype = self._datatype(*found[_DATATYPE])
        if space != "simple" or not isinstance(dtype, np.dtype) or dtype.kind not in "uif":
            raise Unreadable(f"{path} is not an array of numbers")
        filters = self._filters(*found[_FILTERS]) if _FILTERS in found else ()
        chunk, chunks = self._layout(found[_LAYOUT][0], len(shape))
        return Dataset(shape, dtype, filters, chunk, chunks)

    @_checked
    def kind(self, path: str) -> str:
        """What the object at ``path`` is: ``"group"``, ``"dataset"`` or ``"datatype"``, by
        the library's rule (``Unreadable`` when the library could not tell)."""
        return self._kind(self.address(path))

    def _kind(self, address: int) -> str:
        kinds = {kind for kind, _, _, _ in self._messages(address)}
        if kinds & {_SYMBOL_TABLE, _LINK_INFO}:
            return "group"
        if _DATATYPE in kinds:
            return "dataset" if _DATASPACE in kinds else "datatype"
        raise Unreadable("an object of no known kind")

    # --- object headers

    def _messages(self, address: int) -> list[tuple[int, int, int, int]]:
        """The messages of the object header at ``address``: (type, start, size, flags)."""
        if address not in self._headers:
            self._headers[address] = self._read_header(address)
        return self._headers[address]

    def _read_header(self, address: int) -> list[tuple[int, int, int, int]]:
        image = self.image
        if image[address : address + 4] == b"OHDR":
            return self._read_header_v2(address)
        if self._byte(address) != 1:
            raise Unreadable(f"no object header at {address}")
        blocks = [(address + 16, self._uint(address + 8, 4))]
        messages = []
        count = 0  # every message, continuations and empty ones too, as the prefix counts
        budget = len(self.image)  # the blocks of a header do not overlap: a loop exceeds it
        while blocks:
            start, size = blocks.pop()
            end = self._within(start, size)
            budget -= size
            if budget < 0:
                raise Unreadable("an object header that continues into itself")
            pos = start
            while pos < end:
                kind, size, flags = struct.unpack_from("<HHB", image, pos)
                pos += 8
                if flags & ~_PLAIN_FLAGS or kind not in _KNOWN:
                    raise Unreadable("a message of a type or with flags not read here")
                if size % 8 or pos + size > end:  # (no gap either, in this version)
                    raise Unreadable("a message not aligned to 8 bytes or past its block")
                count += 1
                if kind == _CONTINUATION:
                    length = self._length(pos + self._o)
                    if length == 0:  # refused by the library
                        raise Unreadable("an empty continuation block")
                    blocks.append((self._offset(pos), length))
                elif kind:
                    messages.append((kind, pos, size, flags))
                pos += size
        if count != self._uint(address + 2, 2):
            raise Unreadable("an object header of another count of messages than it says")
        return messages

    def _read_header_v2(self, address: int) -> list[tuple[int, int, int, int]]:
        image = self.image
        if self._byte(address + 4) != 2:
            raise Unreadable(f"object header version {image[address + 4]}")
        flags = self._byte(address + 5)
        pos = address + 6 + (16 if flags & 0x20 else 0) + (4 if flags & 0x10 else 0)
        width = 1 << (flags & 3)
        # each block: where its checksum starts, where its messages start, their size
        blocks = [(address, pos + width, self._uint(pos, width))]
        prefix = 6 if flags & 0x04 else 4  # type, size, flags, and the creation order
        messages = []
        budget = len(self.image)  # the blocks of a header do not overlap: a loop exceeds it
        while blocks:
            checked, start, size = blocks.pop()
            end = self._within(start, size)
            budget -= size
            if budget < 0:
                raise Unreadable("an object header that continues into itself")
            self._check_sum(checked, end)
            pos = start
            while pos + prefix <= end:
                kind, size, message_flags = struct.unpack_from("<BHB", image, pos)
                pos += prefix
                if message_flags & ~_PLAIN_FLAGS or kind not in _KNOWN or pos + size > end:
                    raise Unreadable("a message of a type or flags not read here, or too long")
                if kind == _CONTINUATION:
                    at, length = self._offset(pos), self._length(pos + self._o)
                    if image[at : at + 4] != b"OCHK" or length < 8:
                        raise Unreadable("a continuation block without its signature")
                    blocks.append((at, at + 4, length - 8))  # inside signature and checksum
                elif kind:
                    messages.append((kind, pos, size, message_flags))
                pos += size
        return messages

    def _check_sum(self, start: int, end: int) -> None:
        """Check the checksum that follows the bytes from ``start`` to ``end``, as the
        library checks the metadata of the newer format."""
        self._within(end, 4)
        if lookup3(self.image[start:end]) != self._uint(end, 4):
            raise Unreadable("metadata whose checksum does not match")

    # --- groups

    def _links(self, address: int) -> dict[str, int]:
        messages = list(self._messages(address))
        kinds = [kind for kind, _, _, _ in messages]
        tables, infos = kinds.count(_SYMBOL_TABLE), kinds.count(_LINK_INFO)
        if not tables and not infos:
            raise KeyError("not a group")
        if tables + infos > 1 or (tables and _LINK in kinds):
            # which of them the library reads is not repeated here
            raise Unreadable("a group with two tables or kinds of links")
        links: dict[str, int] = {}
        for kind, start, size, _ in messages:
            if kind == _SYMBOL_TABLE:
                tree, heap = self._offset(start), self._offset(start + self._o)
                names: list[tuple[bytes, int]] = []
                self._symbol_tree(tree, self._local_heap(heap), names, set())
                links.update((name.decode(), target) for name, target in names)
            elif kind == _LINK:
                name, target = self._link(start, start + size)
                if name in links:
                    raise Unreadable(f"two links named {name!r}")
                links[name] = target
            elif kind == _LINK_INFO and self._dense(start, 8):
                raise Unreadable("links in dense storage")
        return links

    def _dense(self, start: int, creation_index_bytes: int) -> bool:
        """Whether a link info or attribute info message points to a fractal heap."""
        flags = self._byte(start + 1)
        heap = self._offset(start + 2 + (creation_index_bytes if flags & 1 else 0))
        return heap != self._undefined

    def _local_heap(self, address: int) -> tuple[int, int]:
        """The data segment (start, end) of the local heap at ``address``."""
        if self.image[address : address + 4] != b"HEAP" or self._byte(address + 4) != 0:
            raise Unreadable(f"no local heap of version 0 at {address}")
        size = self._length(address + 8)
        start = self._offset(address + 8 + 2 * self._l)
        end = self._within(start, size)
        # the free blocks, each its next block and its size, as the library checks them
        free, blocks = self._length(address + 8 + self._l), 0
        while free != _NO_FREE_BLOCK:
            blocks += 1
            if free >= size or blocks > size:
                raise Unreadable("a local heap's free list outside it")
            after, length = self._length(start + free), self._length(start + free + self._l)
            if after == 0 or free + length > size:
                raise Unreadable("a local heap's free list outside it")
            free = after
        return start, end

    def _symbol_tree(
        self, address: int, heap: tuple[int, int], names: list[tuple[bytes, int]], seen: set[int]
    ) -> None:
        """The names and addresses of the group B-tree at ``address``, in order. The library
        finds a name by its keys (each the last name of the child to its left), and the
        keys must order the names as they do."""
        _visit(address, seen)
        if self.image[address : address + 4] != b"TREE" or self._byte(address + 4) != 0:
            raise Unreadable(f"no group B-tree node at {address}")
        level, entries = self.image[address + 5], self._uint(address + 6, 2)
        pos = address + 8 + 2 * self._o  # past the siblings
        step = self._o + self._l
        self._node(address, pos + 2 * self._ranks[1] * step + self._l, entries, self._ranks[1])
        keys = [self._heap_text(heap, self._length(pos + i * step)) for i in range(entries + 1)]
        for i in range(entries):
            child = self._offset(pos + self._l + i * step)
            first = len(names)
            if level:
                if self._byte(child + 5) != level - 1:
                    raise Unreadable("a group B-tree whose levels do not descend")
                self._symbol_tree(child, heap, names, seen)
            else:
                self._symbol_node(child, heap, names)
            if len(names) > first and not keys[i] < names[first][0] <= names[-1][0] <= keys[i + 1]:
                raise Unreadable("a group B-tree whose keys do not order its names")

    def _symbol_node(
        self, address: int, heap: tuple[int, int], names: list[tuple[bytes, int]]
    ) -> None:
        if self.image[address : address + 4] != b"SNOD":
            raise Unreadable(f"no symbol table node at {address}")
        if self._byte(address + 4) != 1:
            raise Unreadable("a symbol table node of an unknown version")
        entry = 2 * self._o + 24
        pos = address + 8
        symbols = self._uint(address + 6, 2)
        self._node(address, pos + 2 * self._ranks[0] * entry, symbols, self._ranks[0])
        for _ in range(symbols):
            name = self._heap_text(heap, self._offset(pos))
            if names and name <= names[-1][0]:
                raise Unreadable("a symbol table node whose names are out of order")
            names.append((name, self._offset(pos + self._o)))
            # no cache or a group's; a soft link's (2) names its target in the heap, which
            # the library follows: left to it, as are unknown types
            if self._uint(pos + 2 * self._o, 4) > 1:
                raise Unreadable("a symbol table entry of a soft link or an unknown cache type")
            pos += entry

    def _node(self, address: int, end: int, entries: int, rank: int) -> None:
        """Check a node of a tree (up to ``end``) and its count of ``entries`` as the library
        does, which reads a node whole, of the size its rank gives (at most twice the rank
        entries)."""
        self._within(address, end - address)
        if entries > 2 * rank:
            raise Unreadable("a tree node with more entries than its rank allows")

    def _heap_text(self, heap: tuple[int, int], offset: int) -> bytes:
        """The text at ``offset`` in the local heap's data segment ``heap`` (start, end)."""
        start, end = heap
        at = start + offset
        stop = self.image.find(b"\0", at, end)
        if offset >= end - start or stop < 0:
            raise Unreadable("a link name outside its heap")
        return self.image[at:stop]

    def _link(self, start: int, end: int) -> tuple[str, int]:
        image = self.image
        if self._byte(start) != 1:
            raise Unreadable("a link message of another version")
        flags = self._byte(start + 1)
        pos = start + 2
        if flags & 0x08:
            if image[pos] != 0:
                raise Unreadable("a soft or external link")
            pos += 1
        pos += 8 if flags & 0x04 else 0
        pos += 1 if flags & 0x10 else 0
        width = 1 << (flags & 3)
        length = self._uint(pos, width)
        pos += width
        if pos + length + self._o > end:
            raise Unreadable("a link message past its end")
        return image[pos : pos + length].decode(), self._offset(pos + length)

    # --- attributes

    def _attribute(self, start: int, end: int) -> tuple[str, Any]:
        version, flags, named, typed, spaced = _ATTRIBUTE_HEAD.unpack_from(self.image, start)
        if version == 1:
            pos = start + 8
            name_at, type_at = pos, pos + _padded(named)
            space_at = type_at + _padded(typed)
            data = space_at + _padded(spaced)
        elif version in (2, 3):
            if flags & 0x03:
                raise Unreadable("an attribute of a shared type or space")
            name_at = start + (9 if version == 3 else 8)
            type_at = name_at + named
            space_at = type_at + typed
            data = space_at + spaced
        else:
            raise Unreadable(f"attribute message version {version}")
        if data > end or named < 1:
            raise Unreadable("an attribute message past its end")
        text = self.image[name_at : name_at + named - 1]
        # the library's check: the text fills its size and ends with its NUL
        if b"\0" in text or self.image[name_at + named - 1] != 0:
            raise Unreadable("an attribute name not of its size")
        name = text.decode()
        kind, dims = self._dataspace(space_at, spaced)
        count = math.prod(dims) if kind == "simple" else 1 if kind == "scalar" else 0
        dtype = self._datatype(type_at, typed)
        if count == 0:
            raise Unreadable("an empty attribute")  # h5py's Empty
        if dtype == "vlen string":
            return name, self._vlen_strings(data, end, count)
        assert isinstance(dtype, np.dtype)
        if data + count * dtype.itemsize > end:
            raise Unreadable("an attribute's values past its message")
        values = np.frombuffer(self.image, dtype, count, data)
        if dtype.kind == "S":
            if count == 1:
                return name, values[0].decode("utf-8", "surrogateescape")
            return name, values.copy()
        if not dtype.isnative:
            values = values.astype(dtype.newbyteorder("="))
        return name, values[0] if count == 1 else values.copy()

    def _vlen_strings(self, data: int, end: int, count: int) -> Any:
        item = 4 + self._o + 4
        if data + count * item > end:
            raise Unreadable("an attribute's values past its message")
        texts = []
        for pos in range(data, data + count * item, item):
            length = self._uint(pos, 4)
            if length == 0:
                texts.append("")
                continue
            at, size = self._global_heap(self._offset(pos + 4)).get(
                self._uint(pos + 4 + self._o, 4), (0, -1)
            )
            if size != length:  # the library reads only an object of the string's size
                raise Unreadable("a variable-length string not of its heap object's size")
            texts.append(self.image[at : at + length].decode("utf-8", "surrogateescape"))
        if count == 1:
            return texts[0]
        return np.array(texts, dtype=object)

    def _global_heap(self, address: int) -> dict[int, tuple[int, int]]:
        """The objects (start, size) of the global heap collection at ``address``, by index."""
        if address not in self._heaps:
            if self.image[address : address + 4] != b"GCOL" or self._byte(address + 4) != 1:
                raise Unreadable(f"no global heap collection of version 1 at {address}")
            end = self._within(address, self._length(address + 8))
            objects = {}
            pos = address + 8 + self._l
            while pos + 8 + self._l <= end:
                index = self._uint(pos, 2)
                size = self._length(pos + 8)
                if index == 0:  # free space, to the end of the collection, its header in
                    if pos + size != end:  # its size (the library reads on after it otherwise)
                        raise Unreadable("a global heap's free space not at its end")
                    break
                at = pos + 8 + self._l
                objects[index] = (at, size)
                pos = at + _padded(size)
            self._within(address, pos - address)
            self._heaps[address] = objects
        return self._heaps[address]

    # --- datatypes, dataspaces, layouts, filters

    def _datatype(self, pos: int, length: int) -> np.dtype | str:
        """The NumPy type of the datatype message of ``length`` bytes at ``pos``, or
        ``"vlen string"``."""
        kind, low, high, size = _TYPE_HEAD.unpack_from(self.image, pos)
        kind, version = kind & 0x0F, kind >> 4
        if _TYPE_LENGTHS.get(kind, 0) > length or not 1 <= version <= 4:
            raise Unreadable("a datatype of another version or past its message")
        bits = low | high << 8
        order = ">" if bits & 1 else "<"
        if kind == _FIXED_POINT:
            offset, precision = struct.unpack_from("<HH", self.image, pos + 8)
            if size not in (1, 2, 4, 8) or (offset, precision) != (0, 8 * size) or bits & 0x06:
                raise Unreadable("an integer type of its own bits")
            return np.dtype(f"{order}{'i' if bits & 0x08 else 'u'}{size}")
        if kind == _FLOATING_POINT:
            layout = struct.unpack_from("<HHBBBBI", self.image, pos + 8)
            sign = (bits >> 8) & 0xFF
            ieee = size in _IEEE and layout == _IEEE[size] and sign == 8 * size - 1
            if not ieee or bits & 0x40 or (bits >> 4) & 0x03 != 2 or bits & 0x0E:
                raise Unreadable("a floating-point type other than IEEE's")
            return np.dtype(f"{order}f{size}")
        if kind == _STRING and size > 0:
            return np.dtype(f"S{size}")
        if kind == _VARIABLE_LENGTH and bits & 0x0F == 1:
            # a reference into the global heap of the file's sizes, to bytes of one byte each
            base = pos + 8
            byte = length >= 20 and self._byte(base) == 0x10 and self._uint(base + 4, 4) == 1
            if size != 8 + self._o or not byte or self._uint(base + 8, 4) != 8 << 16:
                raise Unreadable("a variable-length string of another size or base type")
            return "vlen string"
        raise Unreadable(f"datatype class {kind}")

    def _dataspace(self, pos: int, length: int) -> tuple[str, tuple[int, ...]]:
        """The kind and sizes of the dataspace message of ``length`` bytes at ``pos``."""
        version, rank, flags = struct.unpack_from("<BBB", self.image, pos)
        if version == 1:
            kind, dims = ("simple" if rank else "scalar"), pos + 8
        elif version == 2:
            kind = {0: "scalar", 1: "simple", 2: "null"}.get(self._byte(pos + 3), "")
            dims = pos + 4
        else:
            raise Unreadable(f"dataspace version {version}")
        if not kind:
            raise Unreadable("a dataspace of no known kind")
        if dims + rank * self._l * (2 if flags & 1 else 1) > pos + length:
            raise Unreadable("a dataspace past its message")
        sizes = tuple(self._length(dims + i * self._l) for i in range(rank))
        if flags & 1:  # the largest sizes, which the library checks the sizes against
            unlimited = (1 << (8 * self._l)) - 1
            for i, size in enumerate(sizes):
                largest = self._length(dims + (rank + i) * self._l)
                if size > largest != unlimited:
                    raise Unreadable("a dataspace larger than its largest size")
        return kind, sizes

    def _fill_value(self, kind: int, start: int, size: int) -> None:
        """Check a fill value message as the library decodes it when it opens the dataset
        (the value itself is not used here)."""
        if kind == _OLD_FILL_VALUE:
            value_at = start
        else:
            version, flags = self._byte(start), self._byte(start + 1)
            if version in (1, 2):
                value_at = start + 4 if version == 1 or self._byte(start + 3) else -1
            elif version == 3:
                value_at = start + 2 if flags & 0x20 else -1
            else:
                raise Unreadable(f"fill value message version {version}")
        if value_at >= 0 and value_at + 4 + self._uint(value_at, 4) > start + size:
            raise Unreadable("a fill value past its message")

    def _layout(self, pos: int, rank: int) -> tuple[tuple[int, ...] | None, np.ndarray | None]:
        version, layout = self._byte(pos), self._byte(pos + 1)
        if version != 3 or layout != 2:
            return None, None  # read by the library
        dimensions = self._byte(pos + 2)
        if dimensions != rank + 1:
            raise Unreadable("a chunk of another rank than its dataset")
        tree = self._offset(pos + 3)
        at = pos + 3 + self._o
        dims = tuple(self._uint(at + 4 * i, 4) for i in range(dimensions))  # and the element
        if 0 in dims:
            raise Unreadable("an empty chunk")
        chunks = [np.empty(0, chunk_records(dimensions, self._o))]
        if tree != self._undefined:
            self._chunk_tree(tree, dims, chunks, set())
        return dims[:-1], np.concatenate(chunks)

    def _chunk_tree(
        self, address: int, dims: tuple[int, ...], chunks: list[np.ndarray], seen: set[int]
    ) -> None:
        """The chunks (records of ``chunk_records``) of the chunk B-tree at ``address`` of
        chunks of ``dims`` (the chunk's shape and its element's size)."""
        image = self.image
        _visit(address, seen)
        if image[address : address + 4] != b"TREE" or self._byte(address + 4) != 1:
            raise Unreadable(f"no chunk B-tree node at {address}")
        level, entries = image[address + 5], self._uint(address + 6, 2)
        records = chunk_records(len(dims), self._o)
        pos = address + 8 + 2 * self._o
        rank = self._ranks[2]
        self._node(address, pos + (2 * rank + 1) * records.itemsize - self._o, entries, rank)
        found = np.frombuffer(image, records, entries, pos)
        last = np.frombuffer(image, "<u8", len(dims), pos + entries * records.itemsize + 8)
        if (found["start"] % dims).any() or (last % dims).any():
            raise Unreadable("a chunk B-tree key off the chunks' grid")  # as the library
        if not level:
            chunks.append(found)
            return
        for child in found["address"].tolist():
            if self._byte(child + 5) != level - 1:
                raise Unreadable("a chunk B-tree whose levels do not descend")
            self._chunk_tree(child, dims, chunks, seen)

    def _filters(self, pos: int, size: int) -> tuple[int, ...]:
        end = pos + size
        version, count = self._byte(pos), self._byte(pos + 1)
        if version not in (1, 2):
            raise Unreadable(f"filter pipeline version {version}")
        at = pos + (8 if version == 1 else 2)
        filters = []
        for _ in range(count):
            ident = self._uint(at, 2)
            named = version == 1 or ident >= 256
            length = self._uint(at + 2, 2) if named else 0
            at += 4 if named else 2
            values = self._uint(at + 2, 2)
            at += 4 + length + 4 * values
            if version == 1 and values % 2:
                at += 4
            filters.append(ident)
        if at > end:
            raise Unreadable("a filter pipeline past its message")
        return tuple(filters)

    # --- bytes

    def _check_sizes(self) -> None:
        if self._o not in _UNSIGNED or self._l not in _UNSIGNED:
            raise Unreadable("sizes of offsets or lengths other than 2, 4 or 8 bytes")
        self._offsets, self._lengths = _UNSIGNED[self._o], _UNSIGNED[self._l]

    def _within(self, start: int, size: int) -> int:
        """The end of ``size`` bytes at ``start``, when they lie inside the file."""
        end = start + size
        if start < 0 or end > self.end:
            raise Unreadable("an address past the end of the file")
        return end

    def _byte(self, pos: int) -> int:
        return int(_BYTE.unpack_from(self.image, pos)[0])  # struct.error past the end

    def _uint(self, pos: int, size: int) -> int:
        return int.from_bytes(self.image[pos : self._within(pos, size)], "little")

    def _offset(self, pos: int) -> int:
        return int(self._offsets.unpack_from(self.image, pos)[0])

    def _length(self, pos: int) -> int:
        return int(self._lengths.unpack_from(self.image, pos)[0])


_BYTE = struct.Struct("<B")
_SUPERBLOCK_V0 = struct.Struct("<HHI")  # the group B-trees' leaf and node ranks, status flags
_LEAF_RANK, _NODE_RANK, _CHUNK_RANK = 4, 16, 32  # the library's ranks where a file gives none
_ATTRIBUTE_HEAD = struct.Struct("<BBHHH")  # version, flags, sizes of name, type and space
_TYPE_HEAD = struct.Struct("<BBHI")  # class and version, class bits (8 and 16), size
# the encoded sizes of the datatypes read here (a variable-length string's with its base type)
_TYPE_LENGTHS = {_FIXED_POINT: 12, _FLOATING_POINT: 20, _STRING: 8, _VARIABLE_LENGTH: 20}
_UNSIGNED = {2: struct.Struct("<H"), 4: struct.Struct("<I"), 8: struct.Struct("<Q")}


_MASK = 0xFFFFFFFF


def _rotated(value: int, bits: int) -> int:
    return ((value << bits) | (value >> (32 - bits))) & _MASK


def lookup3(data: bytes) -> int:
    """Bob Jenkins' lookup3 hash (``hashlittle``, initial value 0) of ``data``: the checksum
    of the HDF5 format's newer metadata."""
    a = b = c = (0xDEADBEEF + len(data)) & _MASK
    blocks = len(data) // 12 - (len(data) % 12 == 0 and len(data) > 0)
    for i in range(blocks):  # every block of 12 bytes but the last: lookup3's mix
        x, y, z = struct.unpack_from("<III", data, 12 * i)
        a, b, c = (a + x) & _MASK, (b + y) & _MASK, (c + z) & _MASK
        for shift in (4, 6, 8, 16, 19, 4):  # each step on the next of (a, b, c)
            a = ((a - c) & _MASK) ^ _rotated(c, shift)
            c = (c + b) & _MASK
            a, b, c = b, c, a
    tail = data[12 * blocks :]
    if not tail:
        return int(c)
    x, y, z = struct.unpack("<III", tail + bytes(12 - len(tail)))
    a, b, c = (a + x) & _MASK, (b + y) & _MASK, (c + z) & _MASK
    for step, shift in enumerate((14, 11, 25, 16, 4, 14, 24)):  # lookup3's final
        if step:
            a, b, c = b, c, a
        c = ((c ^ b) - _rotated(b, shift)) & _MASK
    return int(c)


def _visit(node: int, seen: set[int]) -> None:
    """Mark a B-tree node seen: a tree whose nodes share a child would be read again and
    again (exponentially in its depth)."""
    if node in seen:
        raise Unreadable("a B-tree node reached twice")
    seen.add(node)


def _padded(size: int) -> int:
    return (size + 7) & ~7


def _name_order(item: tuple[str, int]) -> bytes:
    return item[0].encode()
