"""NEXRAD Level II records: the walk over their messages and the decode of moments.

The native half of ``bluster.radar.readers.nexrad`` (use ``read_nexrad_level2`` there): it
works on records already decompressed, reads only inside the buffers it is given, and turns
damaged bytes into ``ValueError``. ``n_threads``: 1 or more means that many threads, 0 or
negative one per hardware thread; the GIL is released while records are walked and rows
decoded, and results are the same for every thread count.
"""

from collections.abc import Buffer, Sequence
from typing import SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def scan(
    records: Sequence[Buffer],
    first_record: SupportsInt | SupportsIndex = 0,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> tuple[NDArray[np.void], NDArray[np.void]]:
    """Walk the messages of every record: the radials (message 31) and the other messages.

    Parameters
    ----------
    records : sequence of bytes-like
        The decompressed records of a volume in file order (for an uncompressed file, its
        bytes after the 24-byte volume header as one record). Each is a run of messages: a
        12-byte prefix, the 16-byte message header, the body.
    first_record : int, optional
        The number of the first record in the file, for the ``record`` field and the
        messages of errors.
    n_threads : int, optional
        Threads walking records (one record per thread at a time).

    Returns
    -------
    radials : numpy.ndarray
        Structured array, one element per message 31 in file order, with the fields
        ``message`` (byte offset of the message in its record), ``vol`` (offset of its VOL
        block, -1 if none), ``data`` (7 offsets of the first gate code of the moments REF,
        VEL, SW, ZDR, PHI, RHO, CFP, -1 where absent), ``record``, ``collect_ms``,
        ``collect_date``, ``azimuth_number``, ``azimuth`` and ``elevation`` (degrees,
        float32), ``azimuth_resolution``, ``radial_status``, ``elevation_number`` and per
        moment ``word`` (8 or 16 bits; 0 where absent), ``ngates``, ``first_gate`` and
        ``gate_spacing`` (m), ``scale`` and ``offset`` (float32).
    messages : numpy.ndarray
        Structured array of the other messages (empty slots left out): ``position``,
        ``record``, ``size`` (halfwords, header included) and ``type``.

    Raises
    ------
    ValueError
        "record R, message at byte B: ..." for the first damaged record in file order: a
        message that runs past the end of its record, a block pointer outside its message,
        a moment whose gates run past its message or whose codes are not 8 or 16 bits.

    Examples
    --------
    >>> import _nexrad
    >>> radials, messages = _nexrad.scan([b"\\0" * 2432])
    >>> radials.size, messages.size
    (0, 0)
    """

def decode(
    records: Sequence[Buffer],
    outputs: Sequence[NDArray[np.float64]],
    index: ArrayLike,
    factors: ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> None:
    """Decode rows of gate codes into float64 outputs.

    Row i reads ``ngates`` codes of ``word`` bits (big-endian) at byte ``position`` of
    ``records[record]``, keeps the bits of ``mask``, and writes ``width`` values to
    ``outputs[output].flat[start:start + width]``: NaN for code 0 (below threshold) and 1
    (range folded) and for gates past ``ngates``, else ``code * scale_factor +
    add_offset`` (the product rounded, then the sum).

    Parameters
    ----------
    records : sequence of bytes-like
        The decompressed records.
    outputs : sequence of numpy.ndarray
        C-contiguous, writeable float64 arrays that share no memory.
    index : array_like
        int64, shape (rows, 8): record, position, ngates, word (8 or 16), mask (0 to
        65535), output, start, width. The rows of one output lie inside it, in increasing
        ``start`` and without overlap.
    factors : array_like
        float64, shape (rows, 2): scale_factor, add_offset.
    n_threads : int, optional
        Threads decoding rows.

    Returns
    -------
    None
        The values are written into ``outputs``.

    Raises
    ------
    ValueError
        "index row i: ..." for a row outside its record or output, or out of order; a
        badly shaped table; outputs of the wrong type or sharing memory.

    Examples
    --------
    >>> import numpy as np, _nexrad
    >>> out = np.empty(4)
    >>> _nexrad.decode([bytes([0, 1, 2, 66])], [out], [[0, 0, 4, 8, 255, 0, 0, 4]],
    ...                [[0.5, -33.0]])
    >>> out
    array([ nan,  nan, -32.,   0.])
    """
