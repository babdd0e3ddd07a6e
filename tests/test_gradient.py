import math
import threading

import numpy as np
import pytest

import _bluster
from util import assert_thread_invariant, same_bits

NAN = math.nan
INF = math.inf
BIG = 1.7976931348623157e308  # the largest finite double, still a valid value


def along_last(g, c):
    """The differencing rules along the last axis, written case by case with np.select."""
    n = g.shape[-1]
    exists_before = np.arange(n) > 0
    exists_after = np.arange(n) < n - 1
    before = np.concatenate([g[..., :1], g[..., :-1]], axis=-1)
    after = np.concatenate([g[..., 1:], g[..., -1:]], axis=-1)
    c_before = np.concatenate([c[:1], c[:-1]])
    c_after = np.concatenate([c[1:], c[-1:]])
    valid = np.isfinite(g)
    left = exists_before & np.isfinite(before)
    right = exists_after & np.isfinite(after)
    with np.errstate(all="ignore"):
        centred = (after - before) / (c_after - c_before)
        forward = (after - g) / (c_after - c)
        backward = (g - before) / (c - c_before)
    return np.select(
        [~valid, left & right, right, left], [NAN, centred, forward, backward], default=NAN
    )


def reference(f, x, y):
    f = np.asarray(f, dtype=float)
    x = np.ravel(np.asarray(x, dtype=float))
    y = np.ravel(np.asarray(y, dtype=float))
    dfdy = along_last(f.swapaxes(1, 2), y).swapaxes(1, 2)
    return np.stack([along_last(f, x), dfdy])


def row(values, coords):
    """df/dx of the values laid out as a row, and df/dy of them laid out as three equal
    columns (points are differenced in pairs and singly; both must agree)."""
    values = np.asarray(values, dtype=float)
    dx = _bluster.gradient(values.reshape(1, 1, -1), coords, [0.0])
    columns = np.repeat(values.reshape(1, -1, 1), 3, axis=2)
    dy = _bluster.gradient(columns, [0.0, 1.0, 2.0], coords)
    assert np.isnan(dx[1]).all()
    assert same_bits(dy[1, 0, :, 1], dy[1, 0, :, 0]) and same_bits(dy[1, 0, :, 2], dy[1, 0, :, 0])
    return dx[0, 0, 0, :], dy[1, 0, :, 0]


@pytest.mark.parametrize(
    "values, coords, expected",
    [
        ([0.0, 2.0, 8.0], [0.0, 1.0, 3.0], [2.0, 8.0 / 3.0, 3.0]),
        ([0.0, 2.0, NAN, 8.0, 9.0], [0.0, 1.0, 2.0, 3.0, 4.0], [2.0, 2.0, NAN, 1.0, 1.0]),
        # a valid point between two missing ones, and at an edge beside a missing one
        ([1.0, NAN, 5.0, INF, 7.0], [0.0, 1.0, 2.0, 3.0, 4.0], [NAN, NAN, NAN, NAN, NAN]),
        ([4.0, -INF, 5.0, 6.0], [0.0, 1.0, 2.0, 4.0], [NAN, NAN, 0.5, 0.5]),
        # the largest finite double counts; its difference overflows to infinity
        ([-BIG, 0.0, BIG], [0.0, 1.0, 2.0], [BIG, INF, BIG]),
        # repeated coordinates: IEEE infinity and 0/0, no special case
        ([1.0, 2.0, 3.0], [0.0, 0.0, 1.0], [INF, 2.0, 1.0]),
        ([1.0, 1.0], [5.0, 5.0], [NAN, NAN]),
        # coordinates are not screened: a NaN one spoils only the quotients that use it
        ([0.0, 1.0, 2.0], [0.0, NAN, 2.0], [NAN, 1.0, NAN]),
        ([3.0], [0.0], [NAN]),
        ([3.0, 5.0], [1.0, 3.0], [1.0, 1.0]),
    ],
    ids=[
        "uneven",
        "missing",
        "isolated",
        "infinite",
        "largest-double",
        "repeated",
        "zero-over-zero",
        "nan-coordinate",
        "single",
        "pair",
    ],
)
def test_rules_along_each_axis(values, coords, expected):
    dx, dy = row(values, coords)
    np.testing.assert_array_equal(dx, expected)
    np.testing.assert_array_equal(dy, expected)


def random_stack(rng, shape, missing):
    f = rng.normal(280.0, 5.0, shape)
    f[rng.random(shape) < missing] = NAN
    f[rng.random(shape) < missing / 4] = INF
    f[rng.random(shape) < missing / 4] = -INF
    x = np.cumsum(rng.uniform(0.2, 3.0, shape[2]))
    y = np.cumsum(rng.uniform(0.2, 3.0, shape[1])) - 50.0
    return f, x, y


@pytest.mark.parametrize(
    "shape", [(1, 1, 1), (1, 1, 7), (2, 9, 1), (3, 2, 2), (2, 17, 13), (5, 3, 40)]
)
@pytest.mark.parametrize("missing", [0.0, 0.1, 0.5])
def test_matches_case_by_case_reference(shape, missing):
    rng = np.random.default_rng(hash((shape, missing)) % 2**32)
    f, x, y = random_stack(rng, shape, missing)
    out = _bluster.gradient(f, x, y)
    assert out.shape == (2, *shape) and out.dtype == np.float64
    assert same_bits(out, reference(f, x, y))


def test_fields_of_a_stack_do_not_see_each_other():
    rng = np.random.default_rng(3)
    f, x, y = random_stack(rng, (3, 4, 5), 0.2)
    out = _bluster.gradient(f, x, y)
    for k in range(3):
        assert same_bits(out[:, k], _bluster.gradient(f[k : k + 1], x, y)[:, 0])


def test_agrees_with_numpy_gradient_on_even_finite_grids():
    rng = np.random.default_rng(7)
    f = rng.normal(size=(3, 30, 41))
    x = 0.25 * np.arange(41) - 3.0
    y = 2.0 * np.arange(30)
    out = _bluster.gradient(f, x, y)
    gy, gx = np.gradient(f, 2.0, 0.25, axis=(1, 2), edge_order=1)
    np.testing.assert_allclose(out[0], gx, rtol=1e-14, atol=0)
    np.testing.assert_allclose(out[1], gy, rtol=1e-14, atol=0)


@pytest.mark.parametrize(
    "x_shape, y_shape", [((2, 3), (4,)), ((6,), (2, 2)), ((1, 6, 1), (4, 1)), ((3, 2), (1, 4))]
)
def test_coordinates_of_any_shape_are_read_flat(x_shape, y_shape):
    rng = np.random.default_rng(11)
    f, x, y = random_stack(rng, (2, 4, 6), 0.1)
    expected = _bluster.gradient(f, x, y)
    assert same_bits(_bluster.gradient(f, x.reshape(x_shape), y.reshape(y_shape)), expected)


@pytest.mark.parametrize("shape", [(0, 4, 5), (3, 0, 5), (3, 4, 0), (0, 0, 0)])
def test_empty_axes(shape):
    out = _bluster.gradient(np.zeros(shape), np.zeros(shape[2]), np.zeros(shape[1]), 2)
    assert out.shape == (2, *shape) and out.dtype == np.float64


def test_rows_without_columns_are_not_visited():
    # An empty stack of 2^48 rows with no columns: visiting its rows one by one would spin
    # for days, so the call must come back at once (here: in a thread given 60 seconds).
    f = np.empty((2**48, 1, 0))
    done = []
    call = threading.Thread(
        target=lambda: done.append(_bluster.gradient(f, np.zeros(0), [0.0], 2)), daemon=True
    )
    call.start()
    call.join(60.0)
    assert done, "gradient visits the rows of an empty stack"
    assert done[0].shape == (2, 2**48, 1, 0)


def test_odd_inputs_are_converted():
    rng = np.random.default_rng(5)
    f, x, y = random_stack(rng, (3, 6, 8), 0.0)
    f = np.round(f)
    expected = _bluster.gradient(f, x, y)
    big = np.zeros((3, 12, 16))
    big[:, ::2, ::2] = f
    for variant in [
        f.astype(np.int64),
        f.astype(np.float32),
        np.asfortranarray(f),
        big[:, ::2, ::2],
    ]:
        assert same_bits(_bluster.gradient(variant, x, y), expected)
    assert same_bits(_bluster.gradient(f.tolist(), x.tolist(), tuple(y)), expected)
    ints = _bluster.gradient([[[0, 2, 8]]], [0, 1, 3], [0])
    np.testing.assert_array_equal(ints[0, 0, 0], [2.0, 8.0 / 3.0, 3.0])
    scalar_x = _bluster.gradient(f=[[[1.0], [3.0]]], x=7.0, y=[0.0, 1.0], n_threads=1)
    np.testing.assert_array_equal(scalar_x[:, 0, :, 0], [[NAN, NAN], [2.0, 2.0]])


def test_thread_count_does_not_change_a_bit():
    rng = np.random.default_rng(13)
    f, x, y = random_stack(rng, (5, 61, 37), 0.1)  # 305 rows: 39 blocks of 8
    out = assert_thread_invariant(lambda n: _bluster.gradient(f, x, y, n_threads=n))
    assert same_bits(out, reference(f, x, y))


@pytest.mark.parametrize(
    "f, x, y, message",
    [
        (np.zeros((4, 5)), np.zeros(5), np.zeros(4), "f must be 3-D (batch, y, x)"),
        (np.zeros((1, 4, 5, 1)), np.zeros(5), np.zeros(4), "f must be 3-D (batch, y, x)"),
        (3.0, [0.0], [0.0], "f must be 3-D (batch, y, x)"),
        (np.zeros((4, 5)), np.zeros(3), np.zeros(3), "f must be 3-D (batch, y, x)"),
        (np.zeros((2, 4, 5)), np.zeros(4), np.zeros(4), "coordinate size"),
        (np.zeros((2, 4, 5)), np.zeros((2, 3)), np.zeros(4), "coordinate size"),
        (np.zeros((2, 4, 5)), np.zeros(5), np.zeros(5), "coordinate size"),
        (np.zeros((2, 4, 5)), np.zeros(5), 0.0, "coordinate size"),
        (np.zeros((2, 4, 0)), 0.0, np.zeros(4), "coordinate size"),
    ],
)
def test_messages(f, x, y, message):
    with pytest.raises(ValueError) as info:
        _bluster.gradient(f, x, y)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [
        {"f": "warm", "x": [0.0], "y": [0.0]},
        {"f": np.zeros((1, 1, 1)), "x": object(), "y": [0.0]},
        {"f": np.zeros((1, 1, 1)), "x": [0.0], "y": [0.0], "n_threads": 1.5},
        {"f": np.zeros((1, 1, 1)), "x": [0.0], "y": [0.0], "n_threads": 2**31},
        {"f": np.zeros((1, 1, 1)), "x": [0.0]},
    ],
)
def test_unconvertible_arguments_raise_type_error(kwargs):
    with pytest.raises(TypeError):
        _bluster.gradient(**kwargs)
