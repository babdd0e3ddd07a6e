"""A dataset's chunks read as stored, inflated outside the HDF5 library and the GIL.

h5py lets one thread at a time into the HDF5 library, and the library inflates a dataset's
chunks inside that call with the GIL held: reads of files on several threads inflate one at a
time. The library gives the addresses of a dataset's chunks in one call (``chunk_iter``), and
their bytes, written one after the other, are one read of the file (else
``read_direct_chunk`` reads each chunk as stored); ``_readers`` inflates all the chunks of a
dataset in one call without the GIL, and the decoder of ``_readers`` decodes them without it,
so that other threads read, inflate and decode at the same time.

A file read from its bytes (``_hdf5_bytes``) gives the places of all its moments' chunks
before any is inflated: ``moment_job`` describes each moment and ``inflate_decode`` inflates
and decodes the chunks of all of them in one call, on threads, each chunk straight into its
rows of float64, so that the codes of a moment are never laid out whole. (Inflating one file's
moments on a pool of threads while the reader reads the next ones was tried and measured
slower on a loaded 2-core machine: every call that releases the GIL takes it back on its
return, and a thread waiting for the GIL while the reader runs Python waits up to the
interpreter's switch interval, 5 ms, holding up the reader in turn. One call per file
releases the GIL once.)

Only what inflates here exactly as in the library is read this way: a chunked dataset of
numbers whose filters are deflate, optionally after the byte shuffle, every chunk written
(chunks never written read as the fill value) and none with a filter skipped. Anything else,
and any chunk that does not inflate to its size, is read by h5py as before, so that the
library's values and errors stay those of the file.
"""

import itertools
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

import _readers

if TYPE_CHECKING:
    from . import _decode, _hdf5_bytes


class NotInflatable(Exception):
    """A chunk that does not inflate to its size: left to the HDF5 library's own read."""


# Each chunk's first element and its bytes as stored
Pieces = list[tuple[tuple[int, ...], bytes | memoryview]]


@dataclass(frozen=True)
class StoredChunks:
    """The chunks of a dataset as stored, with what it takes to lay them out."""

    shape: tuple[int, ...]
    dtype: np.dtype
    chunk: tuple[int, ...]
    shuffled: bool
    pieces: Pieces

    def inflated(self) -> np.ndarray:
        """The dataset's values, from its chunks inflated (without the GIL): the chunks,
        inflated one after the other into one buffer, are the blocks of the dataset padded
        to whole chunks, laid out in the dataset by one copy."""
        size = math.prod(self.chunk) * self.dtype.itemsize
        grid = tuple(-(-n // c) for n, c in zip(self.shape, self.chunk, strict=True))
        pieces = sorted(self.pieces, key=lambda piece: piece[0])  # in C order of the grid
        try:  # one call for all the chunks, without the GIL
            buffer: np.ndarray = _readers.inflate([raw for _, raw in pieces], size).reshape(-1)
        except ValueError as err:  # a chunk that does not inflate to its size
            raise NotInflatable(str(err)) from err
        if self.shuffled:  # byte k of every element of a chunk stored together, for each k
            buffer = buffer.reshape(len(pieces), self.dtype.itemsize, -1).transpose(0, 2, 1)
            buffer = np.ascontiguousarray(buffer).reshape(-1)
        blocks = buffer.view(self.dtype).reshape(grid + self.chunk)
        # (grid rows, grid columns, chunk rows, chunk columns) into (rows, columns), for any
        # rank, by one copy into the dataset padded to whole chunks: cut to its shape, a view
        rank = len(self.shape)
        interleaved = [axis + offset for axis in range(rank) for offset in (0, rank)]
        padded = np.empty([g * c for g, c in zip(grid, self.chunk, strict=True)], self.dtype)
        padded.reshape([blocks.shape[axis] for axis in interleaved])[...] = blocks.transpose(
            interleaved
        )
        if padded.shape == self.shape:
            return padded
        return padded[tuple(slice(0, n) for n in self.shape)]


_DEFLATE, _SHUFFLE = 1, 2  # HDF5's filter identifiers


def stored_chunks(dataset: Any, file: "FileBytes | None" = None) -> StoredChunks | None:
    """The chunks of the h5py dataset ``dataset`` (a ``DatasetID``) as stored; None when the
    library's own read is needed (see the module's notes). With ``file``, the chunks' bytes
    are read from the file at the addresses the library gives (one call for all of them),
    else chunk by chunk through the library."""
    from h5py import h5d

    plist = dataset.get_create_plist()
    if plist.get_layout() != h5d.CHUNKED:
        return None
    filters = tuple(plist.get_filter(i)[0] for i in range(plist.get_nfilters()))
    dtype = np.dtype(dataset.dtype.str)  # NumPy's own dtype (h5py's is a copy of it)
    shape = tuple(dataset.shape)
    if not _inflatable(filters, dtype, shape):
        return None
    chunk = tuple(plist.get_chunk())
    count = math.prod(-(-n // c) for n, c in zip(shape, chunk, strict=True))
    pieces = (
        _pieces_by_address(dataset, file, count)
        if file is not None and hasattr(dataset, "chunk_iter")
        else _pieces_by_library(dataset, shape, chunk, count)
    )
    if pieces is None:
        return None
    return StoredChunks(shape, dtype, chunk, filters[0] == _SHUFFLE, pieces)


def _inflatable(filters: tuple[int, ...], dtype: np.dtype, shape: tuple[int, ...]) -> bool:
    """Whether chunks of numbers filtered by ``filters`` inflate here as in the library."""
    inflated_here = filters in ((_DEFLATE,), (_SHUFFLE, _DEFLATE)) and dtype.kind in "uif"
    return inflated_here and bool(shape) and 0 not in shape


def image_chunks(dataset: "_hdf5_bytes.Dataset", objects: "_hdf5_bytes.Objects") -> StoredChunks:
    """The chunks of ``dataset`` as stored in the bytes of the file of ``objects``
    (``_hdf5_bytes.Unreadable`` unless every chunk of its grid is written once, with every
    filter applied, inside the file)."""
    chunk, starts, addresses, sizes = _image_chunk_records(dataset, objects)
    view = memoryview(objects.image)
    pieces: Pieces = [
        (tuple(start), view[at : at + size])
        for start, at, size in zip(starts.tolist(), addresses.tolist(), sizes.tolist(), strict=True)
    ]
    shuffled = dataset.filters[0] == _SHUFFLE
    return StoredChunks(dataset.shape, dataset.dtype, chunk, shuffled, pieces)


# A moment of ``_readers.inflate_decode``: its chunks (addresses, sizes, first elements), the
# chunk's and its shapes, the stored type, the byte shuffle, the unpacking, rows and output.
MomentJob = tuple[Any, ...]


def moment_job(
    dataset: "_hdf5_bytes.Dataset",
    objects: "_hdf5_bytes.Objects",
    unpacking: "_decode.Unpacking",
    rows: np.ndarray | None,
    out: np.ndarray,
) -> MomentJob:
    """The 2-D moment ``dataset`` of the file of ``objects``, to be decoded into ``out``
    (output row i is stored row ``rows[i]``) by ``unpacking`` (``_decode.native_unpacking``)
    straight from its chunks by :func:`inflate_decode` (``_hdf5_bytes.Unreadable`` as for
    ``image_chunks``, but for chunks off the grid of chunks, which ``inflate_decode`` refuses
    as ``NotInflatable``)."""
    chunk, starts, addresses, sizes = _image_chunk_records(dataset, objects, on_the_grid=False)
    shuffled = dataset.filters[0] == _SHUFFLE
    return (addresses, sizes, starts, chunk, dataset.shape, dataset.dtype, shuffled,
            *unpacking, rows, out)  # fmt: skip


def inflate_decode(image: bytes, jobs: list[MomentJob], n_threads: int) -> None:
    """Decode the moments of ``jobs`` (:func:`moment_job`) of the file's bytes ``image``, each
    chunk inflated and decoded in cache, the chunks of all of them shared out over
    ``n_threads`` threads without the GIL (0: one per core); ``NotInflatable`` for chunks that
    do not tile a moment or a chunk that does not inflate to its size (any file read from its
    bytes that the library would read, or refuse, differently is left to the library)."""
    try:
        _readers.inflate_decode(image, jobs, n_threads)
    except ValueError as err:
        raise NotInflatable(str(err)) from err


def _image_chunk_records(
    dataset: "_hdf5_bytes.Dataset", objects: "_hdf5_bytes.Objects", *, on_the_grid: bool = True
) -> tuple[tuple[int, ...], np.ndarray, np.ndarray, np.ndarray]:
    """The shape of a chunk of ``dataset``, and the first element, address and stored size of
    each of its chunks (see ``image_chunks``). Without ``on_the_grid``, that every cell of the
    grid of chunks has one chunk is left to the caller (``_readers.inflate_decode`` checks
    it)."""
    from ._hdf5_bytes import Unreadable

    shape, chunk, chunks = dataset.shape, dataset.chunk, dataset.chunks
    if chunk is None or chunks is None:
        raise Unreadable("a dataset not stored in chunks indexed by a version 1 B-tree")
    if not _inflatable(dataset.filters, dataset.dtype, shape):
        raise Unreadable("chunks that do not inflate here")
    if chunks["filter_mask"].any():
        raise Unreadable("a chunk with a filter skipped")
    starts = chunks["start"][:, :-1].astype(np.int64)
    if on_the_grid:  # (the tree's keys are checked to be on it), inside the dataset, once each
        grid = [-(-n // c) for n, c in zip(shape, chunk, strict=True)]
        if len(chunks) != math.prod(grid) or ((starts < 0) | (starts >= shape)).any():
            raise Unreadable("chunks never written or outside")
        cells = np.ravel_multi_index(tuple((starts // chunk).T), grid)
        if np.unique(cells).size != cells.size:
            raise Unreadable("a chunk written twice")
    addresses, sizes = chunks["address"].astype(np.int64), chunks["size"].astype(np.int64)
    if len(chunks) and (addresses + sizes).max() > objects.end:
        raise Unreadable("a chunk past the end of the file")
    return chunk, starts, addresses, sizes


def _pieces_by_library(
    dataset: Any, shape: tuple[int, ...], chunk: tuple[int, ...], count: int
) -> Pieces | None:
    if dataset.get_num_chunks() != count:
        return None  # chunks never written: the fill value is the library's
    pieces = []
    for start in itertools.product(*(range(0, n, c) for n, c in zip(shape, chunk, strict=True))):
        mask, raw = dataset.read_direct_chunk(start)
        if mask:
            return None  # a filter skipped for this chunk
        pieces.append((start, raw))
    return pieces


def _pieces_by_address(dataset: Any, file: "FileBytes", count: int) -> Pieces | None:
    infos: list[Any] = []
    dataset.chunk_iter(infos.append)
    if len(infos) != count or any(info.filter_mask for info in infos):
        return None  # chunks never written, or a filter skipped for one
    return file.pieces(infos)


class FileBytes:
    """The bytes of an HDF5 file at the addresses its library gives, read without the library
    (a file without a user block, where addresses are offsets in the file)."""

    def __init__(self, descriptor: int) -> None:
        self._descriptor = descriptor
        self._size = os.fstat(descriptor).st_size

    def pieces(self, infos: list[Any]) -> Pieces | None:
        """Each chunk's first element and its bytes, from ``chunk_iter``'s records; None when
        a chunk is said to lie past the end of the file (a truncated or damaged file, left to
        the library's read and its error rather than read into a buffer of the size claimed)."""
        first = min(info.byte_offset for info in infos)
        end = max(info.byte_offset + info.size for info in infos)
        if end > self._size:
            return None
        stored = sum(info.size for info in infos)
        if end - first <= 2 * stored:  # chunks written together: one read
            span = memoryview(os.pread(self._descriptor, end - first, first))
            return [
                (tuple(info.chunk_offset), span[info.byte_offset - first :][: info.size])
                for info in infos
            ]
        return [
            (tuple(info.chunk_offset), os.pread(self._descriptor, info.size, info.byte_offset))
            for info in infos
        ]
