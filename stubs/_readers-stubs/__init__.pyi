"""Decoders of radar volume files: packed moments to float64 (multithreaded), deflated
chunks inflated.

The decoding core of the lean readers of ``bluster.radar`` (``bluster.radar.readers``): the
moments of radar files are stored as small integers (or floats) with a scale, an offset and
codes for gates without a value, and are decoded here in one pass per gate, without the GIL.
The chunks of the HDF5 datasets that hold them, stored with the deflate filter, are inflated
here too, without the GIL, so that threads inflate while the HDF5 library reads.

Calling convention: arrays are read as they are stored (no conversion of ``data``'s type);
results are new float64 arrays (or ``decode``'s ``out``); inputs are never modified.
``n_threads`` (last but ``out``, default 0): 1 or more means that many threads, 0 or negative
one per hardware thread, never more than there are rows. The result is bit-identical for
every thread count. Shape errors raise ``ValueError`` with a fixed message, checked before
anything is computed.
"""

from collections.abc import Buffer, Sequence
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def decode(
    data: NDArray[np.generic],
    scale: SupportsFloat | SupportsIndex | None,
    offset: SupportsFloat | SupportsIndex | None,
    codes: ArrayLike,
    rows: ArrayLike | None,
    n_threads: SupportsInt | SupportsIndex = 0,
    out: NDArray[np.generic] | None = None,
) -> NDArray[np.float64]:
    """The values of a packed moment: stored value * scale + offset, NaN for coded gates.

    Each gate's stored value is converted to float64 and compared with the codes (no data,
    undetect, range folded, fill values: whatever the format reserves); a gate equal to one of
    them is NaN, any other is ``value * scale + offset``, rounded after the product and after
    the sum (no fused multiply-add), the product only when ``scale`` is given and the sum only
    when ``offset`` is given. This is the arithmetic of NumPy's ``x * scale + offset`` in
    float64 and of xarray's CF decoding into float64, bit for bit.

    Parameters
    ----------
    data : numpy.ndarray, shape (rays, gates)
        The stored moment: uint8, int8, uint16, int16, uint32, int32, float32 or float64 in
        the machine's byte order (any strides; other types raise ``TypeError``).
    scale : float or None
        Factor of the stored value (ODIM gain, CF scale_factor); None: no product.
    offset : float or None
        Added after the product (ODIM offset, CF add_offset); None: no sum.
    codes : array_like, shape (n,)
        Stored values that mean "no value", compared after conversion to float64; NaN codes
        match nothing. May be empty.
    rows : array_like of int, shape (m,), or None
        Output row i is stored row ``rows[i]``: a sweep's rays sorted by azimuth, or the rays
        of one sweep of a volume stored as one array. None: every row in order.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.
    out : numpy.ndarray, shape (m, gates), optional
        Where to write the result: a writable C-contiguous float64 array sharing no memory
        with ``data`` (the moments of a volume decoded into one block: one allocation, whose
        memory the system maps in large pages, costs a fraction of many).

    Returns
    -------
    numpy.ndarray, shape (m, gates) (rays, gates without ``rows``)
        The decoded moment, float64: ``out`` when given.

    Raises
    ------
    ValueError
        The first failing check wins: "data must be 2-D (rays, gates)"; "codes must be 1-D";
        "rows must be 1-D"; "rows must hold row numbers of data" (a row number below 0 or not
        below ``rays``); "out must be a writable C-contiguous float64 array of the result's
        shape"; "out must not share memory with data".

    Examples
    --------
    An ODIM reflectivity stored as uint8 with gain 0.5 and offset -32 dBZ; 0 is "undetect"
    and 255 "nodata"; the second ray comes first:

    >>> import numpy as np, _readers
    >>> stored = np.array([[64, 0, 84], [255, 44, 66]], dtype=np.uint8)
    >>> _readers.decode(stored, 0.5, -32.0, [255.0, 0.0], [1, 0])
    array([[ nan, -10.,   1.],
           [  0.,  nan,  10.]])

    Into rows of a block:

    >>> block = np.zeros((3, 3))
    >>> rows = _readers.decode(stored, 0.5, -32.0, [255.0, 0.0], None, out=block[1:])
    >>> np.shares_memory(rows, block)
    True
    >>> block
    array([[  0.,   0.,   0.],
           [  0.,  nan, 10.],
           [ nan, -10.,   1.]])
    """

def inflate(chunks: Sequence[Buffer], size: SupportsInt | SupportsIndex) -> NDArray[np.uint8]:
    """The deflate (zlib) streams of a dataset's chunks, each inflated to exactly ``size`` bytes.

    HDF5's deflate filter stores each chunk of a dataset as one zlib stream; inflated, a
    chunk is the chunk's elements in C order (before any other filter of the dataset is
    undone, such as the byte shuffle). Each stream is inflated into its own row of the result
    and must fill it exactly: a damaged stream, or one that ends early or holds more, is an
    error, and never writes past its row. Runs on the calling thread, without the GIL.

    Parameters
    ----------
    chunks : sequence of bytes-like
        The chunks as stored (``bytes``, ``memoryview`` of bytes: contiguous, one byte per
        item), as ``h5py``'s ``read_direct_chunk`` gives them.
    size : int
        Bytes of every inflated chunk: elements per chunk times the item size.

    Returns
    -------
    numpy.ndarray, shape (len(chunks), size)
        The inflated chunks, uint8, one per row.

    Raises
    ------
    ValueError
        "size must be at least 0"; "chunks must be contiguous bytes"; "chunk i does not
        inflate to size bytes" (the first such chunk, counted from 0).
    TypeError
        A chunk without the buffer protocol.

    Examples
    --------
    Two chunks of three uint16 elements:

    >>> import zlib, numpy as np, _readers
    >>> chunks = [zlib.compress(np.arange(3, dtype=np.uint16).tobytes()), zlib.compress(bytes(6))]
    >>> _readers.inflate(chunks, 6).view(np.uint16)
    array([[0, 1, 2],
           [0, 0, 0]], dtype=uint16)
    >>> _readers.inflate(chunks, 8)
    Traceback (most recent call last):
    ...
    ValueError: chunk 0 does not inflate to 8 bytes
    """

def inflate_decode(
    image: Buffer,
    moments: Sequence[tuple[Any, ...]],
    n_threads: SupportsInt | SupportsIndex = 0,
) -> None:
    """Moments stored in deflated chunks of a file's bytes, inflated and decoded into float64.

    Each chunk of each moment is inflated (as ``inflate`` does, into a scratch of one chunk),
    its bytes put back in order when the byte shuffle was applied, and the part of each of its
    rows inside the moment decoded (as ``decode`` does) straight into the output row that
    takes that stored row: the codes of a moment are never laid out whole. The chunks of all
    the moments are shared out over the threads without the GIL; every output gate is written
    by exactly one chunk, so the result is bit-identical for every thread count and to
    ``decode`` of the moment laid out from ``inflate``'s chunks.

    Parameters
    ----------
    image : bytes-like
        The file's bytes (contiguous, one byte per item), where the chunks are.
    moments : sequence of tuples
        One tuple per moment: ``(addresses, sizes, starts, chunk, shape, dtype, shuffled,
        scale, offset, codes, rows, out)``. ``addresses`` and ``sizes`` (int64, shape (n,)):
        each chunk's offset in ``image`` and its size as stored; ``starts`` (int64, shape
        (n, 2)): each chunk's first row and gate in the moment; ``chunk`` and ``shape``: two
        sizes each, of a chunk and of the moment as stored (rays, gates); ``dtype``: the
        stored type (as ``decode`` reads it); ``shuffled``: whether the byte shuffle was
        applied before deflating; ``scale``, ``offset``, ``codes`` and ``rows`` as for
        ``decode``; ``out``: where to write, a writable C-contiguous float64 array of shape
        (m, gates) sharing no memory with ``image``.
    n_threads : int, default 0
        Threads; 0 or negative: one per hardware thread.

    Returns
    -------
    None
        The moments are written into their ``out``.

    Raises
    ------
    ValueError
        Checked moment by moment before anything is inflated, the first failing check wins:
        "image must be contiguous bytes"; "moments[k]: addresses, sizes and starts must
        describe the same chunks"; "moments[k]: chunk must be two sizes of at least 1";
        "moments[k]: shape must be two sizes of at least 0"; "moments[k]: a chunk must hold
        at most 2**28 bytes"; "moments[k]: codes must be 1-D"; "moments[k]: rows must be
        1-D"; "moments[k]: rows must hold row numbers of the moment"; "moments[k]: out must
        be a writable C-contiguous float64 array of the result's shape"; "moments[k]: out
        must not share memory with image"; "moments[k]: chunk c lies outside image";
        "moments[k]: starts must put one chunk on each cell of the grid" (a chunk off the grid
        of chunks or outside the moment, two on one cell, or a cell without one); then, over
        all the moments, "moments[k]: out must not share memory with another moment's out"
        (the later of two). Then "moments[k]: chunk c does not inflate to n bytes" (the first
        such chunk in order; the outputs are left unspecified).
    TypeError
        "moments[k]: dtype: expected 8-, 16- or 32-bit integers, float32 or float64 in native
        byte order, got dtype ..."; a tuple of another shape or types.

    Examples
    --------
    A moment of 3 rays x 4 gates stored as uint16 in chunks of 2 x 2 (the last row of chunks
    padded), gain 0.5, offset -32, 0 meaning "undetect"; the rays sorted in reverse:

    >>> import zlib, numpy as np, _readers
    >>> codes = np.arange(12, dtype=np.uint16).reshape(3, 4)
    >>> padded = np.zeros((4, 4), np.uint16); padded[:3] = codes
    >>> starts = np.array([[0, 0], [0, 2], [2, 0], [2, 2]])
    >>> streams = [zlib.compress(padded[r : r + 2, g : g + 2].tobytes()) for r, g in starts]
    >>> image = b"".join(streams)
    >>> sizes = np.array([len(s) for s in streams])
    >>> addresses = np.cumsum(sizes) - sizes
    >>> out = np.empty((3, 4))
    >>> moment = (addresses, sizes, starts, (2, 2), (3, 4), np.dtype(np.uint16), False,
    ...           0.5, -32.0, [0.0], [2, 1, 0], out)
    >>> _readers.inflate_decode(image, [moment])
    >>> out
    array([[-28. , -27.5, -27. , -26.5],
           [-30. , -29.5, -29. , -28.5],
           [  nan, -31.5, -31. , -30.5]])
    >>> _readers.inflate_decode(image[:-1], [moment])
    Traceback (most recent call last):
    ...
    ValueError: moments[0]: chunk 3 lies outside image
    """
