import math

import numpy as np
import pytest

import _bluster
from util import THREAD_COUNTS, assert_thread_invariant, same_bits

NAN = math.nan
INF = math.inf


def cp(z, b, bottom=NAN, threshold=0.0, top=NAN, n_threads=0):
    z = np.atleast_2d(np.asarray(z, dtype=float))
    b = np.atleast_2d(np.asarray(b, dtype=float))
    rows = z.shape[0]
    bottom = np.broadcast_to(np.asarray(bottom, dtype=float), (rows,))
    top = np.broadcast_to(np.asarray(top, dtype=float), (rows,))
    return _bluster.cold_pool(z, b, bottom, threshold, top, n_threads)


Z3 = [0.0, 500.0, 1000.0]
B3 = [-0.04, -0.02, 0.02]


@pytest.mark.parametrize(
    "z, b, threshold, top, expected",
    [
        (Z3, B3, 0.0, NAN, [math.sqrt(35.0), 750.0, 0.0]),
        (Z3, B3, 0.0, 250.0, [math.sqrt(17.5), 250.0, 0.0]),
        ([0.0, 100.0, 200.0], [-0.02, NAN, -0.02], 0.0, NAN, [math.sqrt(8.0), 200.0, 1.0]),
    ],
    ids=["threshold", "prescribed", "bridged"],
)
def test_worked_examples(z, b, threshold, top, expected):
    out = cp(z, b, threshold=threshold, top=top)
    assert out.shape == (3, 1)
    np.testing.assert_allclose(out[:, 0], expected, rtol=1e-15, atol=0)


@pytest.mark.parametrize(
    "z, b, bottom, threshold, top, expected",
    [
        # start level at the threshold or above: no cold pool
        (Z3, [0.01, -0.02, 0.02], NAN, 0.0, NAN, [0.0, 0.0, 0.0]),
        # the start level is the last usable level: closed at once, open top
        ([0.0, 100.0], [-0.01, NAN], NAN, 0.0, NAN, [0.0, 0.0, 1.0]),
        # no usable level at or above bottom
        (Z3, B3, 1001.0, 0.0, NAN, [NAN, NAN, NAN]),
        # bottom picks the start level; nothing is interpolated to it
        (Z3, B3, 400.0, 0.0, NAN, [math.sqrt(2 * 0.5 * 0.02 * 250.0), 250.0, 0.0]),
        # infinite bottoms set no limit
        (Z3, B3, INF, 0.0, NAN, [math.sqrt(35.0), 750.0, 0.0]),
        (Z3, B3, -INF, 0.0, NAN, [math.sqrt(35.0), 750.0, 0.0]),
        # prescribed depth beyond the last usable level
        (Z3, B3, NAN, 0.0, 1000.5, [NAN, NAN, NAN]),
        # prescribed depth of zero: the next level closes it at once
        (Z3, B3, NAN, 0.0, 0.0, [0.0, 0.0, 0.0]),
        # the start level alone cannot reach a prescribed top
        ([0.0], [-0.01], NAN, 0.0, 0.0, [NAN, NAN, NAN]),
        # NaN threshold: never reached, runs to the last usable level
        (Z3, B3, NAN, NAN, NAN, [math.sqrt(2 * (15.0 + 0.0)), 1000.0, 1.0]),
        # infinite top selects threshold mode, like NaN
        (Z3, B3, NAN, 0.0, INF, [math.sqrt(35.0), 750.0, 0.0]),
        # levels with infinite z or b are bridged
        ([0.0, INF, 200.0], [-0.02, -0.02, -0.02], NAN, 0.0, NAN, [math.sqrt(8.0), 200.0, 1.0]),
        ([0.0, 100.0, 200.0], [-0.02, -INF, -0.02], NAN, 0.0, NAN, [math.sqrt(8.0), 200.0, 1.0]),
        # a buoyancy that becomes positive inside the layer: S < 0 gives intensity 0, not NaN
        ([0.0, 100.0, 200.0], [-0.001, 1.0, 1.0], NAN, 0.0, 150.0, [0.0, 150.0, 0.0]),
    ],
)
def test_edge_cases(z, b, bottom, threshold, top, expected):
    out = cp(z, b, bottom=bottom, threshold=threshold, top=top)
    np.testing.assert_allclose(out[:, 0], expected, rtol=1e-14, atol=0, equal_nan=True)


def test_nan_sum_passes_through_the_square_root():
    # Repeated heights in prescribed-depth mode divide by zero; the IEEE NaN is passed on
    # (max(0, NaN) must not turn it into 0).
    out = cp([0.0, 0.0, 0.0], [-0.01, -0.02, -0.03], top=0.0)
    assert np.isnan(out[0, 0])
    assert out[1, 0] == 0.0 and out[2, 0] == 0.0


def test_intensity_is_never_negative_zero():
    out = cp([0.0, 100.0], [0.0, 0.0], threshold=1.0)
    assert out[0, 0] == 0.0 and not math.copysign(1.0, out[0, 0]) < 0


@pytest.mark.parametrize("rows, levels", [(0, 3), (0, 0), (4, 0)])
def test_empty_axes(rows, levels):
    out = _bluster.cold_pool(
        np.zeros((rows, levels)), np.zeros((rows, levels)), np.zeros(rows), 0.0, np.zeros(rows)
    )
    assert out.shape == (3, rows) and out.dtype == np.float64
    assert np.isnan(out).all()


@pytest.mark.parametrize(
    "args, message",
    [
        (([1.0, 2.0], [[1.0, 2.0]], [1.0], 0.0, [1.0]), "z and b must be 2-D"),
        (([[1.0, 2.0]], [1.0, 2.0], [1.0], 0.0, [1.0]), "z and b must be 2-D"),
        ((np.zeros((1, 2, 1)), np.zeros((1, 2, 1)), [1.0], 0.0, [1.0]), "z and b must be 2-D"),
        ((np.zeros((2, 3)), np.zeros((3, 2)), np.zeros(3), 0.0, np.zeros(3)), "shape mismatch"),
        ((np.zeros((2, 3)), np.zeros((2, 4)), np.zeros(2), 0.0, np.zeros(2)), "shape mismatch"),
        ((np.zeros((2, 3)), np.zeros((2, 3)), np.zeros(3), 0.0, np.zeros(2)), "shape mismatch"),
        ((np.zeros((2, 3)), np.zeros((2, 3)), np.zeros(2), 0.0, np.zeros(1)), "shape mismatch"),
        ((np.zeros((2, 3)), np.zeros((2, 3)), 1.0, 0.0, np.zeros(2)), "shape mismatch"),
    ],
)
def test_messages(args, message):
    with pytest.raises(ValueError) as info:
        _bluster.cold_pool(*args)
    assert str(info.value) == message


def test_b_is_checked_before_the_shape():
    # both wrong: the dimension message wins
    with pytest.raises(ValueError, match=r"^z and b must be 2-D$"):
        _bluster.cold_pool(np.zeros((2, 3)), np.zeros(6), np.zeros(5), 0.0, np.zeros(5))


@pytest.mark.parametrize(
    "kwargs",
    [
        {"n_threads": 1.0},
        {"n_threads": 2**31},
        {"threshold": "cold"},
        {"z": object()},
    ],
)
def test_binding_type_errors(kwargs):
    args = {"z": [[0.0, 1.0]], "b": [[-1.0, 1.0]], "bottom": [0.0], "threshold": 0.0, "top": [NAN]}
    args.update(kwargs)
    with pytest.raises(TypeError):
        _bluster.cold_pool(**args)


def test_keywords_and_default():
    out = _bluster.cold_pool(z=[Z3], b=[B3], bottom=[NAN], threshold=0.0, top=[NAN])
    assert out[1, 0] == 750.0


def random_columns(rows, levels, seed=7):
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(10.0, 100.0, (rows, levels)), axis=1)
    b = rng.normal(-0.01, 0.02, (rows, levels))
    b[rng.random(b.shape) < 0.05] = NAN
    z[rng.random(z.shape) < 0.02] = INF
    bottom = np.where(rng.random(rows) < 0.5, NAN, rng.uniform(0, 300, rows))
    top = np.where(rng.random(rows) < 0.5, NAN, rng.uniform(0, 2000, rows))
    return z, b, bottom, top


def test_conversions_give_the_same_bits():
    z, b, bottom, top = random_columns(9, 12)
    reference = _bluster.cold_pool(z, b, bottom, 0.0, top)
    variants = [
        (z.tolist(), b.tolist(), bottom.tolist(), top.tolist()),
        (np.asfortranarray(z), np.asfortranarray(b), bottom.reshape(-1, 1), top.reshape(1, -1)),
        (z[::-1][::-1], b.copy()[:, ::1], bottom[::-1].copy()[::-1], top),
    ]
    for args in variants:
        assert same_bits(_bluster.cold_pool(args[0], args[1], args[2], 0.0, args[3]), reference)
    # strided views
    zz = np.zeros((9, 24))
    zz[:, ::2] = z
    bb = np.zeros((9, 24))
    bb[:, ::2] = b
    assert same_bits(_bluster.cold_pool(zz[:, ::2], bb[:, ::2], bottom, 0.0, top), reference)


def test_integer_boolean_and_float32_inputs():
    z = np.array([[0, 500, 1000]], dtype=np.int32)
    b = np.array([[-4, -2, 2]], dtype=np.float32) / np.float32(100)
    out = _bluster.cold_pool(z, b, np.array([0], dtype=np.int64), np.float32(0.0), [True])
    expected = _bluster.cold_pool(
        z.astype(float), b.astype(float), [0.0], 0.0, [1.0]
    )  # True is a prescribed depth of 1
    assert same_bits(out, expected)


def test_inputs_are_not_modified():
    z, b, bottom, top = random_columns(70, 8)
    copies = [a.copy() for a in (z, b, bottom, top)]
    _bluster.cold_pool(z, b, bottom, 0.0, top, 2)
    for a, c in zip((z, b, bottom, top), copies, strict=True):
        assert same_bits(a, c)


@pytest.mark.parametrize("rows", [1, 64, 65, 1000])
def test_bit_identical_for_every_thread_count(rows):
    z, b, bottom, top = random_columns(rows, 30, seed=rows)
    assert_thread_invariant(lambda n: _bluster.cold_pool(z, b, bottom, -0.005, top, n))


def test_large_thread_counts():
    z, b, bottom, top = random_columns(200, 5)
    reference = _bluster.cold_pool(z, b, bottom, 0.0, top, 1)
    for n in (100, -(2**31)):
        assert same_bits(_bluster.cold_pool(z, b, bottom, 0.0, top, n), reference)


@pytest.mark.parametrize("n_threads", THREAD_COUNTS)
def test_columns_do_not_interact(n_threads):
    z, b, bottom, top = random_columns(150, 10, seed=3)
    out = _bluster.cold_pool(z, b, bottom, 0.0, top, n_threads)
    for r in (0, 63, 64, 149):
        one = _bluster.cold_pool(z[r : r + 1], b[r : r + 1], bottom[r : r + 1], 0.0, top[r : r + 1])
        assert same_bits(out[:, r], one[:, 0])
