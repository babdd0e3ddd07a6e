"""A dataset's chunks read as stored through h5py, inflated and decoded on other threads.

h5py lets one thread at a time into the HDF5 library, and the library inflates a dataset's
chunks inside that call with the GIL held: reading a volume's moments one after the other
spends most of its time inflating, one moment at a time. The library gives the addresses of
a dataset's chunks in one call (``chunk_iter``), and their bytes, written one after the
other, are one read of the file (else ``read_direct_chunk`` reads each chunk as stored);
Python's zlib inflates without the GIL and the decoder of ``_readers`` decodes without it, so
a pool of threads inflates and decodes the moments while the reader reads the next ones'
chunks and metadata. (Each chunk's inflation takes the GIL back for a moment; while the
reader itself runs Python, that wait is most of the pool's, so the pool catches up once the
reader waits for its results.)

Only what inflates here exactly as in the library is read this way: a chunked dataset of
numbers whose filters are deflate, optionally after the byte shuffle, every chunk written
(chunks never written read as the fill value) and none with a filter skipped. Anything else,
and any chunk that does not inflate to its size, is read by h5py as before, so that the
library's values and errors stay those of the file.
"""

import concurrent.futures
import itertools
import math
import os
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

# Threads inflating and decoding for one read: the machine's cores, at most 4 (a volume's
# moments are a few dozen tasks of about a millisecond)
MAX_THREADS = 4


class NotInflatable(Exception):
    """A chunk that does not inflate to its size: left to the HDF5 library's own read."""


@dataclass(frozen=True)
class StoredChunks:
    """The chunks of a dataset as stored, with what it takes to lay them out."""

    shape: tuple[int, ...]
    dtype: np.dtype
    chunk: tuple[int, ...]
    shuffled: bool
    pieces: list[tuple[tuple[int, ...], Any]]  # each chunk's first element, its bytes

    def inflated(self) -> np.ndarray:
        """The dataset's values, from its chunks inflated (without the GIL): the chunks,
        inflated one after the other into one buffer, are the blocks of the dataset padded
        to whole chunks, laid out in the dataset by one copy."""
        size = math.prod(self.chunk) * self.dtype.itemsize
        grid = tuple(-(-n // c) for n, c in zip(self.shape, self.chunk, strict=True))
        pieces = sorted(self.pieces, key=lambda piece: piece[0])  # in C order of the grid
        buffer = np.frombuffer(b"".join(_inflated(raw, size) for _, raw in pieces), np.uint8)
        if self.shuffled:  # byte k of every element of a chunk stored together, for each k
            buffer = buffer.reshape(len(pieces), self.dtype.itemsize, -1).transpose(0, 2, 1)
            buffer = np.ascontiguousarray(buffer).reshape(-1)
        blocks = buffer.view(self.dtype).reshape(grid + self.chunk)
        # (grid rows, grid columns, chunk rows, chunk columns) -> (rows, columns), for any rank
        rank = len(self.shape)
        padded = blocks.transpose([axis + offset for axis in range(rank) for offset in (0, rank)])
        padded = padded.reshape([g * c for g, c in zip(grid, self.chunk, strict=True)])
        out = np.empty(self.shape, self.dtype)
        out[...] = padded[tuple(slice(0, n) for n in self.shape)]
        return out


def _inflated(raw: bytes, size: int) -> bytes:
    """``raw`` inflated, which must give exactly ``size`` bytes (a chunk never inflates past
    its size here, whatever its stored bytes claim)."""
    inflater = zlib.decompressobj()
    try:
        data = inflater.decompress(raw, size)
    except zlib.error as err:
        raise NotInflatable(str(err)) from err
    if len(data) != size or not inflater.eof:
        raise NotInflatable(f"a chunk inflates to {len(data)} bytes, expected {size}")
    return data


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
    filters = [plist.get_filter(i)[0] for i in range(plist.get_nfilters())]
    if filters not in ([_DEFLATE], [_SHUFFLE, _DEFLATE]):
        return None
    dtype = np.dtype(dataset.dtype.str)  # NumPy's own dtype (h5py's is a copy of it)
    shape = tuple(dataset.shape)
    if dtype.kind not in "uif" or not shape or 0 in shape:
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


Pieces = list[tuple[tuple[int, ...], bytes]]


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

    def pieces(self, infos: list[Any]) -> Pieces:
        """Each chunk's first element and its bytes, from ``chunk_iter``'s records."""
        first = min(info.byte_offset for info in infos)
        end = max(info.byte_offset + info.size for info in infos)
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


class Pending:
    """Values on their way: inflated and decoded on the pool, or read by the library when
    they cannot be (``fallback``, called by the thread that holds the file)."""

    def __init__(
        self, future: concurrent.futures.Future[np.ndarray] | None, fallback: Callable[[], Any]
    ) -> None:
        self._future = future
        self._fallback = fallback

    def result(self) -> np.ndarray:
        if self._future is not None:
            try:
                return self._future.result()
            except NotInflatable:
                pass
        values: np.ndarray = self._fallback()
        return values


def pool() -> concurrent.futures.ThreadPoolExecutor:
    """A pool for one read (its threads end with it)."""
    threads = max(1, min(MAX_THREADS, os.cpu_count() or 1))
    return concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="bluster-inflate")
