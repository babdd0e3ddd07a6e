"""_readers.decode: the packed moments of radar files, bit for bit as NumPy and xarray's CF
decoding give them, in any row order, for every stored type and thread count."""

import numpy as np
import pytest
import xarray as xr

import _readers
from util import assert_thread_invariant, deflated_chunks, same_bits

STORED = [np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32, np.float32, np.float64]


def stored_values(dtype, shape, rng, codes=()):
    """Random values of the type over its whole range, with the codes sprinkled in."""
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        data = rng.integers(info.min, info.max, shape, endpoint=True, dtype=dtype)
    else:
        data = rng.normal(0.0, 1e3, shape).astype(dtype)
        data.flat[:4] = [np.nan, np.inf, -0.0, 0.0]
    for code in codes:
        data[rng.random(shape) < 0.1] = code
    return data


def numpy_decode(data, scale, offset, codes, rows=None):
    x = data[rows] if rows is not None else data
    x = x.astype(np.float64)
    coded = np.isin(x, codes)
    if scale is not None:
        x = x * scale
    if offset is not None:
        x = x + offset
    x[coded] = np.nan
    return x


@pytest.mark.parametrize("dtype", STORED, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("scale, offset", [(0.5, -32.0), (0.01, None), (None, 3.0), (None, None)])
def test_decodes_as_numpy_in_float64(dtype, scale, offset):
    rng = np.random.default_rng(1)
    codes = [0, 1, 2, 3, 120]
    data = stored_values(dtype, (37, 53), rng, codes)
    rows = rng.permutation(37)[:30]
    got = assert_thread_invariant(
        lambda n: _readers.decode(data, scale, offset, np.array(codes, float), rows, n)
    )
    assert same_bits(got, numpy_decode(data, scale, offset, codes, rows))
    # without rows; five codes: four tested together, the fifth in the loop beyond them
    assert same_bits(_readers.decode(data, scale, offset, codes, None),
                     numpy_decode(data, scale, offset, codes))  # fmt: skip


@pytest.mark.parametrize("dtype", [np.uint16, np.int16, np.float64], ids=str)
def test_decodes_as_xarray_cf_decoding(dtype):
    # What xradar hands over for a moment with a fill value, a scale factor and an offset.
    rng = np.random.default_rng(2)
    data = stored_values(dtype, (20, 30), rng, codes=[7])
    attrs = {"_FillValue": dtype(7), "scale_factor": 0.01, "add_offset": -327.68}
    decoded = xr.conventions.decode_cf_variable("v", xr.Variable(("a", "r"), data, attrs))
    assert decoded.dtype == np.float64
    assert same_bits(_readers.decode(data, 0.01, -327.68, [7.0], None), decoded.values)


def test_absent_steps_are_not_done_with_one_and_zero():
    data = np.array([[-0.0, 2.0, np.nan]])
    assert same_bits(_readers.decode(data, None, None, [], None), data)
    # -0.0 + 0.0 is +0.0: an offset of zero given is not the same as none
    assert same_bits(_readers.decode(data, None, 0.0, [], None), np.array([[0.0, 2.0, np.nan]]))
    assert np.isnan(_readers.decode(data, 1.0, 0.0, [2.0, np.nan], None)[0, 1:]).all()


def test_inputs_are_read_where_they_are_and_left_alone():
    rng = np.random.default_rng(3)
    base = stored_values(np.uint16, (40, 30), rng, [0])
    strided = base[::2, ::3]
    unaligned = np.frombuffer(b"\0" + base.tobytes(), np.uint16, offset=1)[: base.size]
    unaligned = unaligned.reshape(base.shape)
    assert not unaligned.flags.aligned
    assert same_bits(_readers.decode(strided, 0.5, 1.0, [0.0], None),
                     numpy_decode(strided, 0.5, 1.0, [0.0]))  # fmt: skip
    assert same_bits(_readers.decode(unaligned, 0.5, 1.0, [0.0], None),
                     numpy_decode(base, 0.5, 1.0, [0.0]))  # fmt: skip
    before = base.copy()
    _readers.decode(base, 0.5, 1.0, [0.0], [3, 3, 0])
    assert same_bits(base, before)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((np.zeros(4, np.uint8), None, None, [], None), ValueError, "data must be 2-D"),
        ((np.zeros((2, 2, 2), np.uint8), None, None, [], None), ValueError, "data must be 2-D"),
        ((np.zeros((2, 3), np.uint8), None, None, [[1.0]], None), ValueError, "codes must be 1-D"),
        ((np.zeros((2, 3), np.uint8), None, None, [], [[0]]), ValueError, "rows must be 1-D"),
        ((np.zeros((2, 3), np.uint8), None, None, [], [0, 2]), ValueError, "rows must hold"),
        ((np.zeros((2, 3), np.uint8), None, None, [], [-1]), ValueError, "rows must hold"),
        ((np.zeros((2, 3), np.int64), None, None, [], None), TypeError, "dtype int64"),
        ((np.zeros((2, 3), ">u2"), None, None, [], None), TypeError, "byte order"),
        ((np.zeros((2, 3), np.uint8), "1", None, [], None), TypeError, "incompatible"),
    ],
)
def test_errors(args, error, message):
    with pytest.raises(error, match=message):
        _readers.decode(*args)


def _read_only(shape):
    out = np.zeros(shape)
    out.flags.writeable = False
    return out


FLOATS = np.zeros((4, 3))


@pytest.mark.parametrize(
    "data, out, message",
    [
        (np.zeros((2, 3), np.uint16), np.zeros((2, 3), np.float32), "writable C-contiguous"),
        (np.zeros((2, 3), np.uint16), np.zeros((3, 2)), "writable C-contiguous"),
        (np.zeros((2, 3), np.uint16), np.zeros((3, 2)).T, "writable C-contiguous"),
        (np.zeros((2, 3), np.uint16), _read_only((2, 3)), "writable C-contiguous"),
        (FLOATS[:2], FLOATS[1:3], "must not share memory with data"),
    ],
)
def test_out_errors(data, out, message):
    before = out.copy()
    with pytest.raises(ValueError, match=message):
        _readers.decode(data, 0.5, 1.0, [0.0], None, out=out)
    assert same_bits(out, before)


@pytest.mark.parametrize("dtype", STORED)
def test_out_is_the_result(dtype):
    # into a block's rows, as a new array would be, rows reordered
    rng = np.random.default_rng(7)
    data = stored_values(dtype, (5, 19), rng, [0])
    rows = [4, 0, 2, 1, 3]
    block = np.full((7, 19), 3.0)
    result = _readers.decode(data, 0.5, -1.0, [0.0], rows, out=block[1:6])
    assert np.shares_memory(result, block)
    assert same_bits(block[1:6], _readers.decode(data, 0.5, -1.0, [0.0], rows))
    assert same_bits(block[[0, 6]], np.full((2, 19), 3.0))


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 2**48), (2**48, 0)])
def test_empty_moments(shape):
    data = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape, (0, 0))
    out = _readers.decode(data, 2.0, 1.0, [0.0], None)
    assert out.shape == shape and out.dtype == np.float64
    assert _readers.decode(data, 2.0, 1.0, [0.0], []).shape == (0, shape[1])


def test_inflate_gives_what_zlib_gives():
    import zlib

    rng = np.random.default_rng(3)
    raw = [rng.integers(0, 40, 4500, dtype=np.uint16).tobytes() for _ in range(5)]
    chunks = [zlib.compress(r, level) for r, level in zip(raw, (0, 1, 6, 9, 6), strict=True)]
    chunks[4] = memoryview(b"pad" + chunks[4])[3:]  # a slice of a larger read, as the reader has
    out = _readers.inflate(chunks, 9000)
    assert out.dtype == np.uint8 and out.shape == (5, 9000)
    assert [row.tobytes() for row in out] == raw
    assert _readers.inflate([], 9000).shape == (0, 9000)


@pytest.mark.parametrize("strategy", ["default", "fixed"])
@pytest.mark.parametrize("level", range(10))
def test_inflate_every_kind_of_block(level, strategy):
    """Stored blocks (level 0), fixed and dynamic Huffman codes, two blocks split by a full
    flush, and bytes after the stream's end, which zlib's inflate ignores too."""
    import zlib

    rng = np.random.default_rng(level)
    codes = np.cumsum(rng.integers(-2, 3, 4500), dtype=np.int64) % 256  # runs, as radar fields
    raw = codes.astype(np.uint16).tobytes() + rng.bytes(1000)  # and bytes that do not compress
    kind = {"default": zlib.Z_DEFAULT_STRATEGY, "fixed": zlib.Z_FIXED}[strategy]
    compressor = zlib.compressobj(level, zlib.DEFLATED, 15, 8, kind)
    stream = compressor.compress(raw[:4000]) + compressor.flush(zlib.Z_FULL_FLUSH)
    stream += compressor.compress(raw[4000:]) + compressor.flush()
    chunks = [stream, stream + b"bytes after the end"]
    out = _readers.inflate(chunks, len(raw))
    assert [row.tobytes() for row in out] == [zlib.decompress(c) for c in chunks] == [raw, raw]


def bad_adler32(stream):
    return stream[:-1] + bytes([stream[-1] ^ 1])


def random_after_header():
    """Random bytes behind a valid zlib header: decoded as Huffman codes (these, from seed 7,
    until a distance reaches back before the start)."""
    return b"\x78\x9c" + np.random.default_rng(7).bytes(1700)


@pytest.mark.parametrize(
    "chunks, size, error, message",
    [
        (lambda z: [z(bytes(10)), z(bytes(11))], 10, ValueError, "chunk 1 does not inflate to 10"),
        (lambda z: [z(bytes(10)), bad_adler32(z(bytes(10)))], 10, ValueError, "chunk 1 does not"),
        (lambda z: [random_after_header()], 9000, ValueError, "chunk 0 does not inflate"),
        (lambda z: [z(bytes(10))[:-3]], 10, ValueError, "chunk 0 does not inflate"),  # cut short
        (lambda z: [z(bytes(10)) + b"x"], 9, ValueError, "chunk 0 does not inflate"),
        (lambda z: [b"\xff" * 20], 10, ValueError, "chunk 0 does not inflate to 10 bytes"),
        (lambda z: [z(bytes(10))], -1, ValueError, "size must be at least 0"),
        (lambda z: [memoryview(bytes(8))[::2]], 4, ValueError, "chunks must be contiguous bytes"),
        (lambda z: [np.zeros(3, np.uint16)], 6, ValueError, "chunks must be contiguous bytes"),
        (lambda z: ["text"], 4, TypeError, "incompatible function arguments"),
    ],
    ids=[
        "longer",
        "adler32",
        "random",
        "truncated",
        "oversized",
        "damaged",
        "size",
        "strided",
        "items",
        "type",
    ],
)
def test_inflate_errors(chunks, size, error, message):
    import zlib

    with pytest.raises(error, match=message):
        _readers.inflate(chunks(zlib.compress), size)


@pytest.mark.parametrize("shuffled", [False, True], ids=["plain", "shuffled"])
def test_inflate_decode_gives_the_bits_of_decode(shuffled):
    """Moments of every stored type, chunks that do not divide them, rows reordered and
    repeated, in one call: each moment bit for bit what decode gives of it, for every thread
    count."""
    rng = np.random.default_rng(5)
    image, moments, expected = b"", [], []
    for k, dtype in enumerate(STORED):
        shape, chunk = (37 + k, 50 + 3 * k), (8, 45 - 2 * k)
        stored = stored_values(dtype, shape, rng, codes=(3,))
        rows = None if k % 2 else rng.integers(0, shape[0], shape[0] + 4)
        scale, offset = [(0.5, -32.0), (None, None), (0.01, None), (None, 3.0)][k % 4]
        part, addresses, sizes, starts = deflated_chunks(stored, chunk, rng, shuffled=shuffled)
        out = np.full((shape[0] if rows is None else rows.size, shape[1]), 7.0)
        moment = (addresses + len(image), sizes, starts, chunk, shape, np.dtype(dtype),
                  shuffled, scale, offset, np.array([3.0, 255.0]), rows, out)  # fmt: skip
        image += part
        moments.append(moment)
        expected.append(_readers.decode(stored, scale, offset, [3.0, 255.0], rows, 1))

    def call(n_threads):
        for moment in moments:
            moment[-1][...] = np.nan
        _readers.inflate_decode(image, moments, n_threads)
        return np.concatenate([moment[-1].ravel() for moment in moments])

    assert same_bits(assert_thread_invariant(call), np.concatenate([e.ravel() for e in expected]))


def inflate_decode_error(change):
    """The message of inflate_decode for a moment of 2 x 3 chunks changed by ``change``."""
    rng = np.random.default_rng(0)
    stored = np.arange(40 * 30, dtype=np.uint16).reshape(40, 30)
    image, addresses, sizes, starts = deflated_chunks(stored, (20, 10), rng)
    parts = {"image": image, "addresses": addresses, "sizes": sizes, "starts": starts,
             "chunk": (20, 10), "shape": (40, 30), "dtype": np.dtype(np.uint16), "rows": None,
             "out": np.empty((40, 30))}  # fmt: skip
    change(parts)
    moment = tuple(parts[k] for k in ("addresses", "sizes", "starts", "chunk", "shape", "dtype"))
    moment += (False, None, None, [], parts["rows"], parts["out"])
    with pytest.raises((ValueError, TypeError)) as error:
        _readers.inflate_decode(parts["image"], [moment], 2)
    return str(error.value)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda p: p.update(image=p["image"][:-1]), "lies outside image"),
        (lambda p: p["addresses"].__setitem__(0, -1), "chunk 0 lies outside image"),
        (lambda p: p["starts"].__setitem__(1, p["starts"][0]), "starts must put one chunk"),
        (lambda p: p["starts"].__setitem__((2, 1), 5), "starts must put one chunk"),
        (lambda p: p["starts"].__setitem__((3, 0), 40), "starts must put one chunk"),
        (lambda p: p.update(shape=(40, 31), out=np.empty((40, 31))), "starts must put one"),
        (lambda p: p.update(chunk=(20, 11)), "starts must put one chunk"),
        (lambda p: p.update(chunk=(2**14, 2**14)), "a chunk must hold at most 2**28 bytes"),
        (lambda p: p.update(chunk=(0, 10)), "chunk must be two sizes of at least 1"),
        (lambda p: p.update(rows=[0, 40]), "rows must hold row numbers of the moment"),
        (lambda p: p.update(out=np.empty((40, 30), np.float32)), "out must be a writable"),
        (lambda p: p.update(sizes=p["sizes"][:-1]), "must describe the same chunks"),
        (lambda p: p.update(dtype=np.dtype(">u2")), "native byte order, got dtype >u2"),
        (lambda p: p["sizes"].__setitem__(4, p["sizes"][4] - 1), "chunk 4 does not inflate to 400"),
    ],
)
def test_inflate_decode_checks_every_moment_before_it_reads(change, message):
    got = inflate_decode_error(change)
    assert got.startswith("moments[0]: ") and message in got


def test_inflate_decode_refuses_moments_writing_into_one_array():
    rng = np.random.default_rng(1)
    stored = np.arange(12, dtype=np.uint8).reshape(3, 4)
    image, addresses, sizes, starts = deflated_chunks(stored, (2, 2), rng)
    block = np.empty(23)
    chunks = (addresses, sizes, starts, (2, 2), (3, 4), np.dtype(np.uint8), False, None, None, [])
    moments = [(*chunks, None, block[11:].reshape(3, 4)), (*chunks, None, block[:12].reshape(3, 4))]
    with pytest.raises(ValueError, match=r"moments\[1\]: out must not share memory with another"):
        _readers.inflate_decode(image, moments)
    moments[0] = (*chunks, None, np.empty((3, 4)))
    _readers.inflate_decode(image, moments)
