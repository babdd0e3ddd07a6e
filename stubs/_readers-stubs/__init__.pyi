"""Decoders of radar volume files: packed moments to float64 (multithreaded).

The decoding core of the lean readers of ``bluster.radar`` (``bluster.radar.readers``): the
moments of radar files are stored as small integers (or floats) with a scale, an offset and
codes for gates without a value, and are decoded here in one pass per gate, without the GIL.

Calling convention: arrays are read as they are stored (no conversion of ``data``'s type);
results are new float64 arrays; inputs are never modified. ``n_threads`` (last, default 0):
1 or more means that many threads, 0 or negative one per hardware thread, never more than
there are rows. The result is bit-identical for every thread count. Shape errors raise
``ValueError`` with a fixed message, checked before anything is computed.
"""

from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def decode(
    data: NDArray[np.generic],
    scale: SupportsFloat | SupportsIndex | None,
    offset: SupportsFloat | SupportsIndex | None,
    codes: ArrayLike,
    rows: ArrayLike | None,
    n_threads: SupportsInt | SupportsIndex = 0,
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

    Returns
    -------
    numpy.ndarray, shape (m, gates) (rays, gates without ``rows``)
        The decoded moment, float64.

    Raises
    ------
    ValueError
        The first failing check wins: "data must be 2-D (rays, gates)"; "codes must be 1-D";
        "rows must be 1-D"; "rows must hold row numbers of data" (a row number below 0 or not
        below ``rays``).

    Examples
    --------
    An ODIM reflectivity stored as uint8 with gain 0.5 and offset -32 dBZ; 0 is "undetect"
    and 255 "nodata"; the second ray comes first:

    >>> import numpy as np, _readers
    >>> stored = np.array([[64, 0, 84], [255, 44, 66]], dtype=np.uint8)
    >>> _readers.decode(stored, 0.5, -32.0, [255.0, 0.0], [1, 0])
    array([[ nan, -10.,   1.],
           [  0.,  nan,  10.]])
    """
