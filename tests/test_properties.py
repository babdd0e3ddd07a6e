"""Property-based tests of all the functions of the extension modules over random shapes, odd
argument types and missing values.

Every generated call must either raise the binding layer's TypeError or a ValueError with one
of the function's documented messages, the same whatever values the arrays hold, or return a
new float64 C-contiguous array of the documented shape that is bit-identical for every thread
count and for a contiguous float64 copy of the same arguments, leaving the caller's objects
untouched.

The normal run tries a few dozen calls per function. Set BLUSTER_FUZZ_EXAMPLES=N for the
long run (CI does so under AddressSanitizer and UndefinedBehaviorSanitizer).
"""

import math
import os
import pickle
import re

import numpy as np
import pytest
from calls import make_calls
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _bluster
import _calibration
import _phase
import _readers
from util import deflated_chunks, same_bits

FUZZ_EXAMPLES = int(os.environ.get("BLUSTER_FUZZ_EXAMPLES", "0"))
_COMMON = dict(
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("properties", max_examples=40, **_COMMON)
settings.register_profile("fuzz", max_examples=max(FUZZ_EXAMPLES, 1), **_COMMON)
PROFILE = settings.get_profile("fuzz" if FUZZ_EXAMPLES > 0 else "properties")

NAN, INF = math.nan, math.inf
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
MAX_BINS = 2**20
HUGE = 2**48  # an extent no array with elements can have
LARGE = 2**20  # beyond this, nothing is materialised element by element

# --- values ---------------------------------------------------------------------------------

STYLES = ["uniform"] * 3 + ["ascending"] * 3 + ["pool", "constant", "extreme"]
MISSING_SHARES = [0.0, 0.0, 0.03, 0.03, 0.3, 1.0]
EXTREMES = [
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e308,
    -1e308,
    1.7976931348623157e308,
]
SPECIAL_FLOATS = [NAN, INF, -INF, 0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e300, -1e300]


def field(draw, rng, shape, low, high):
    """Values in [low, high] in one of several styles, with NaN and ±infinity sprinkled in."""
    style = draw(st.sampled_from(STYLES))
    share = draw(st.sampled_from(MISSING_SHARES))
    if style == "uniform":
        a = rng.uniform(low, high, shape)
    elif style == "ascending":  # sorted along the last axis: heights, table nodes
        a = np.sort(rng.uniform(low, high, shape), axis=-1) if shape else np.array(low)
    elif style == "pool":  # few distinct values: ties, repeated heights, singular fits
        a = rng.choice([low, high, 0.5 * (low + high), 0.0, -0.0], size=shape)
    elif style == "constant":
        a = np.full(shape, rng.uniform(low, high))
    else:
        a = rng.choice([*EXTREMES, low, high], size=shape)
    a = np.array(a, dtype=np.float64)
    hit = rng.random(a.shape) < share
    a[hit] = rng.choice([NAN, INF, -INF], size=int(hit.sum()))
    return a


def real(draw, low, high):
    """A float parameter: mostly typical, sometimes NaN, ±infinity or another edge value."""
    roll = draw(st.integers(0, 19))
    if roll < 18:
        return draw(st.floats(low, high))
    if roll < 19:
        return draw(st.sampled_from(SPECIAL_FLOATS))
    return draw(st.floats())


def int64(draw, low, high):
    """An int parameter: mostly typical, sometimes at the ends of the 64-bit range."""
    if draw(st.integers(0, 9)) < 9:
        return draw(st.integers(low, high))
    return draw(st.sampled_from([INT64_MIN, INT64_MIN + 1, -1, 0, 1, 2**62, INT64_MAX]))


def count(draw, small, many=None):
    """An extent: mostly 1 to small, sometimes 0, sometimes (many) enough for several blocks."""
    roll = draw(st.integers(0, 11))
    if roll == 0:
        return 0
    if roll >= 9 and many:
        return draw(st.integers(*many))
    return draw(st.integers(1, small))


def widen(draw, other, extent):
    """Sometimes a huge extent where the other one is 0: an empty array whose products of
    extents must not overflow, and whose empty items must not be visited one by one."""
    return HUGE if other == 0 and draw(st.integers(0, 3)) == 3 else extent


def same_count_shape(draw, natural):
    """The natural shape, or another one with the same element count."""
    n = math.prod(natural)
    shapes = [natural, natural, (n,), (1, n), (n, 1)]
    shapes += [()] if n == 1 else [(0, HUGE), (HUGE, 0)] if n == 0 else []
    return draw(st.sampled_from(shapes))


def optional(draw, rng, rows, samples, low, high, absent=4):
    """An optional per-sample array: present, or absent (no elements) one time in `absent`."""
    if draw(st.integers(1, absent)) < absent:
        return field(draw, rng, (rows, samples), low, high)
    return np.zeros(draw(st.sampled_from([(0,), (0, 0), (rows, 0), (0, samples), (0, 2, 3)])))


# --- the functions: argument generators, documented messages and result shapes ----------
# A generator returns [(kind, value)], kind "array" (a float64 array), "float" or "int".


def thermo_args(draw, rng):
    n = count(draw, 6, (4097, 9000))
    return [
        ("array", field(draw, rng, same_count_shape(draw, (n,)), 150.0, 330.0)),
        ("array", field(draw, rng, same_count_shape(draw, (n,)), 1000.0, 110000.0)),
        ("array", field(draw, rng, same_count_shape(draw, (n,)), 150.0, 330.0)),
    ]


def cold_pool_args(draw, rng):
    rows = count(draw, 4, (65, 160))
    levels = widen(draw, rows, count(draw, 8))
    return [
        ("array", field(draw, rng, (rows, levels), 0.0, 5000.0)),
        ("array", field(draw, rng, (rows, levels), -0.1, 0.05)),
        ("array", field(draw, rng, same_count_shape(draw, (rows,)), -100.0, 1000.0)),
        ("float", real(draw, -0.05, 0.05)),
        ("array", field(draw, rng, same_count_shape(draw, (rows,)), 0.0, 3000.0)),
    ]


def profile_args(draw, rng):
    rows = count(draw, 4, (65, 160))
    levels = widen(draw, rows, count(draw, 8))
    return [
        ("array", field(draw, rng, same_count_shape(draw, (rows, levels)), 0.0, 5000.0)),
        ("array", field(draw, rng, (rows, levels), -30.0, 50.0)),
        ("array", field(draw, rng, same_count_shape(draw, (rows, levels)), -30.0, 50.0)),
        ("array", field(draw, rng, same_count_shape(draw, (rows,)), -100.0, 500.0)),
        ("float", real(draw, 0.0, 3000.0)),
        ("float", real(draw, 0.0, 6000.0)),
        ("array", field(draw, rng, same_count_shape(draw, (rows,)), -10.0, 20.0)),
        ("array", field(draw, rng, same_count_shape(draw, (rows,)), -10.0, 20.0)),
    ]


def gradient_args(draw, rng):
    ny, nx = count(draw, 5, (9, 40)), count(draw, 6)
    batch = widen(draw, ny * nx, count(draw, 3))
    return [
        ("array", field(draw, rng, (batch, ny, nx), -100.0, 100.0)),
        ("array", field(draw, rng, same_count_shape(draw, (nx,)), -1000.0, 1000.0)),
        ("array", field(draw, rng, same_count_shape(draw, (ny,)), -1000.0, 1000.0)),
    ]


def vad_args(draw, rng):
    rows = count(draw, 4, (65, 160))
    samples = widen(draw, rows, count(draw, 12, (13, 40)))
    return [
        ("array", field(draw, rng, (rows, samples), -50.0, 50.0)),
        ("array", field(draw, rng, (rows, samples), 0.0, 2 * math.pi)),
        ("array", field(draw, rng, same_count_shape(draw, (rows,)), -1.0, 1.0)),
        ("int", int64(draw, -3, 20)),
        ("float", real(draw, -0.05, 0.3)),
    ]


def offset_stats_args(draw, rng):
    rows = count(draw, 5, (6, 12))
    samples = widen(draw, rows, count(draw, 10))
    n = draw(st.integers(1, 6))
    return [
        ("array", field(draw, rng, (rows, samples), -2.0, 4.0)),
        ("array", optional(draw, rng, rows, samples, -10.0, 70.0, absent=8)),
        ("array", optional(draw, rng, rows, samples, 0.7, 1.0)),
        ("array", optional(draw, rng, rows, samples, -5.0, 40.0)),
        ("array", optional(draw, rng, rows, samples, -1.0, 1.0)),
        ("array", field(draw, rng, (rows,), -10.0, 95.0)),
        ("array", field(draw, rng, (n,), -10.0, 70.0)),
        ("array", field(draw, rng, (n,), -1.0, 3.0)),
        ("float", real(draw, -10.0, 30.0)),
        ("float", real(draw, 20.0, 70.0)),
        ("float", real(draw, 0.5, 1.0)),
        ("float", real(draw, -5.0, 20.0)),
    ]


def consistency_stats_args(draw, rng):
    rows = count(draw, 5, (6, 12))
    samples = widen(draw, rows, count(draw, 10))
    m = draw(st.integers(2, 6))
    return [
        ("array", field(draw, rng, (rows, samples), -10.0, 70.0)),
        ("array", optional(draw, rng, rows, samples, -1.0, 4.0, absent=8)),
        ("array", optional(draw, rng, rows, samples, -0.5, 3.0, absent=8)),
        ("array", optional(draw, rng, rows, samples, 0.7, 1.0)),
        ("array", optional(draw, rng, rows, samples, -5.0, 40.0)),
        ("array", optional(draw, rng, rows, samples, -1.0, 1.0)),
        ("array", field(draw, rng, (m,), -1.0, 4.0)),
        ("array", field(draw, rng, (m,), -6.0, -3.0)),
        ("float", real(draw, -1.0, 1.0)),
        ("float", real(draw, -10.0, 30.0)),
        ("float", real(draw, 30.0, 80.0)),
        ("float", real(draw, 0.5, 20.0)),
        ("float", real(draw, 0.5, 1.0)),
        ("float", real(draw, -5.0, 20.0)),
        ("float", real(draw, -1.0, 1.0)),
        ("int", int64(draw, -2, 5)),
    ]


def phidp_rays_args(draw, rng):
    rays = count(draw, 5, (6, 12))
    gates = widen(draw, rays, count(draw, 12))
    return [
        ("array", field(draw, rng, (rays, gates), -400.0, 400.0)),
        ("array", optional(draw, rng, rays, gates, 0.7, 1.0)),
        ("array", optional(draw, rng, rays, gates, -5.0, 40.0)),
        ("array", optional(draw, rng, rays, gates, -1.0, 1.0)),
        ("int", int64(draw, -3, 15)),
        ("int", int64(draw, -2, 20)),
        ("float", real(draw, 0.5, 1.0)),
        ("float", real(draw, -5.0, 20.0)),
        ("int", int64(draw, -2, 8)),
    ]


def kdp_rays_args(draw, rng):
    rays = count(draw, 5, (6, 12))
    gates = widen(draw, rays, count(draw, 40))
    return [
        ("array", field(draw, rng, (rays, gates), -400.0, 400.0)),
        ("array", optional(draw, rng, rays, gates, 0.7, 1.0)),
        ("float", real(draw, -400.0, 400.0)),
        ("float", real(draw, -0.5, 2.0)),
        ("int", int64(draw, -1, 30)),
        ("int", int64(draw, -2, 30)),
        ("float", real(draw, 0.5, 1.0)),
    ]


FUNCTIONS = {
    "thermo": (_bluster.thermo, thermo_args),
    "cold_pool": (_bluster.cold_pool, cold_pool_args),
    "profile": (_bluster.profile, profile_args),
    "gradient": (_bluster.gradient, gradient_args),
    "vad": (_bluster.vad, vad_args),
    "offset_stats": (_calibration.offset_stats, offset_stats_args),
    "consistency_stats": (_calibration.consistency_stats, consistency_stats_args),
    "phidp_rays": (_calibration.phidp_rays, phidp_rays_args),
    "kdp_rays": (_phase.kdp_rays, kdp_rays_args),
}


def per_sample(names):
    return [f"{name} must have the shape (rows, samples)" for name in names]


# The ValueError messages each function documents (README, stubs). Which one a call must get,
# and in which order the checks run, is held by each function's own tests.
MESSAGES = {
    "thermo": {"size mismatch"},
    "cold_pool": {"z and b must be 2-D", "shape mismatch"},
    "profile": {"u must be 2-D", "shape mismatch"},
    "gradient": {"f must be 3-D (batch, y, x)", "coordinate size"},
    "vad": {"vr, az must be 2-D", "shape mismatch"},
    "offset_stats": {
        "zdr must be 2-D (rows, samples)",
        *per_sample(["dbz", "rhohv", "snr", "mask"]),
        "elev must have one value per row",
        "ref_z and ref_v must be 1-D with the same size",
        "dbz is needed for the reflectivity limits or a table",
    },
    "consistency_stats": {
        "z must be 2-D (rows, samples)",
        *per_sample(["zdr", "kdp", "rhohv", "snr", "mask"]),
        "zdr and kdp are needed",
        "gz and glg must be 1-D with the same size, at least 2",
        "need bin_width > 0 and z_max > z_min",
        "need finite z_min, z_max, bin_width and z_max - z_min",
        f"need bin_width giving at most {MAX_BINS} bins between z_min and z_max",
    },
    "phidp_rays": {"phidp must be 2-D (rays, gates)", *per_sample(["rhohv", "snr", "mask"])},
    "kdp_rays": {
        "phidp must be 2-D (rays, gates)",
        *per_sample(["rhohv"]),
        "gate_spacing must be positive and finite",
        "half_window must be at least 1",
    },
}

# The documented shape of a result, from the leading array arguments.
RESULT_SHAPE = {
    "thermo": lambda t, *_: (4, t.size),
    "cold_pool": lambda z, b, *_: (3, b.shape[0]),
    "profile": lambda z, u, *_: (7, u.shape[0]),
    "gradient": lambda f, *_: (2, *f.shape),
    "vad": lambda vr, *_: (8, vr.shape[0]),
    "offset_stats": lambda zdr, *_: (zdr.shape[0], 5),
    "consistency_stats": lambda z, *_: (z.shape[0], 5),
    "phidp_rays": lambda phidp, *_: (phidp.shape[0], 3),
    "kdp_rays": lambda phidp, *_: (2, *phidp.shape),
}

# --- faults and conversion paths --------------------------------------------------------------

# Objects the binding layer cannot convert, per parameter kind.
UNCONVERTIBLE = {
    "array": ["not a number", object(), [[1.0], [1.0, 2.0]], {"a": 1.0}],
    "float": ["1.5", None, 1j, np.zeros(2), 2**1100],
    "int": [3.5, np.float64(2.0), "3", None, 2**63, INT64_MIN - 1],
}


def wrong_shape(draw, rng, a):
    """The same kind of values in a shape near the given one."""
    shape = a.shape
    choices = ["scalar", "empty", "add_axis"]
    if shape:
        choices += ["shrink", "drop_axis", "transpose"]
    if shape and max(shape) < LARGE:
        choices.append("grow")
    how = draw(st.sampled_from(choices))
    if how == "scalar":
        shape = ()
    elif how == "empty":
        shape = (0,)
    elif how == "add_axis":
        shape = (*shape, draw(st.integers(1, 2)))
    elif how == "drop_axis":
        shape = shape[:-1]
    elif how == "transpose":
        shape = shape[::-1]
    else:
        axis = draw(st.integers(0, len(shape) - 1))
        step = 1 if how == "grow" else -1
        shape = (*shape[:axis], max(shape[axis] + step, 0), *shape[axis + 1 :])
    # Dropping the empty axis of a huge empty array, or moving its huge extent first (one
    # result row per item: an allocation no machine can make), leaves the call's subject.
    if math.prod(shape) >= LARGE or (shape and shape[0] >= LARGE):
        shape = (0,)
    if a.size == 0:
        return rng.normal(0.0, 10.0, shape)
    return np.resize(a, shape)


def with_fault(draw, rng, args):
    """Mostly the arguments as generated; sometimes one array in a wrong shape, or one
    argument the binding layer cannot convert."""
    roll = draw(st.integers(0, 19))
    if roll < 15:
        return args
    args = list(args)
    if roll < 19:
        arrays = [i for i, (kind, _) in enumerate(args) if kind == "array"]
        i = draw(st.sampled_from(arrays))
        args[i] = ("array", wrong_shape(draw, rng, args[i][1]))
    else:
        i = draw(st.integers(0, len(args) - 1))
        kind = args[i][0]
        args[i] = ("refused", draw(st.sampled_from(UNCONVERTIBLE[kind])))
    return args


ARRAY_PATHS = ["as_is"] * 4 + [
    "list",
    "float32",
    "int",
    "bool",
    "fortran",
    "reversed",
    "strided",
    "big_endian",
    "unaligned",
    "read_only",
    "scalar",
]
INT_DTYPES = [np.int64, np.int32, np.int8, np.uint16]
GAP_FILL = -7.77e77  # fills the skipped elements of strided views; never a valid reading


def unaligned(a):
    """A float64 C-contiguous copy of a, one byte off an 8-byte boundary."""
    raw = np.empty(a.nbytes + 1, np.uint8)
    view = raw[1:].view(np.float64).reshape(a.shape)
    view[...] = a
    return view


def pass_array(draw, a):
    """The array's values in one of the forms a caller may hand over."""
    path = draw(st.sampled_from(ARRAY_PATHS))
    if path == "list" and max(a.shape, default=0) < LARGE:
        return a.tolist()
    if path == "float32":
        with np.errstate(over="ignore"):
            return a.astype(np.float32)
    if path == "int":
        dtype = draw(st.sampled_from(INT_DTYPES))
        low = 0.0 if np.issubdtype(dtype, np.unsignedinteger) else -100.0
        clipped = np.clip(np.nan_to_num(a, nan=0.0, posinf=0.0, neginf=0.0), low, 100.0)
        return np.rint(clipped).astype(dtype)
    if path == "bool":
        return np.greater(a, 0.0)
    if path == "fortran":
        return np.asfortranarray(a)
    if path == "reversed":
        flip = (slice(None, None, -1),) * a.ndim
        return a[flip].copy()[flip]
    if path == "strided":
        k = draw(st.sampled_from([2, 3, -2]))
        step = (slice(None, None, k),) * a.ndim
        gaps = np.full(tuple(abs(k) * d for d in a.shape), GAP_FILL)
        gaps[step] = a
        return gaps[step]
    if path == "big_endian":
        return a.astype(">f8")
    if path == "unaligned":
        return unaligned(a)
    if path == "read_only":
        a = a.copy()
        a.setflags(write=False)
        return a
    if path == "scalar" and a.size == 1:
        x = a.reshape(()).item()
        return draw(st.sampled_from([x, np.float64(x), np.array(x)]))
    return a


def pass_scalar(draw, kind, x):
    """A number as a Python object of one of the types the binding layer accepts."""
    if kind == "float":
        with np.errstate(over="ignore"):
            forms = [x, x, np.float64(x), np.float32(x), np.array(x)]
        if math.isfinite(x) and abs(x) < 1e15:
            forms.append(int(x))
        return draw(st.sampled_from(forms))
    return draw(st.sampled_from([x, x, np.int64(x), np.array(x, dtype=np.int64)]))


@st.composite
def calls(draw, name):
    """(arguments as passed, their kinds) for one call of the named function."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    args = with_fault(draw, rng, FUNCTIONS[name][1](draw, rng))
    passed = []
    for kind, value in args:
        if kind == "array":
            passed.append(pass_array(draw, value))
        elif kind in ("float", "int"):
            passed.append(pass_scalar(draw, kind, value))
        else:
            passed.append(value)
    return passed, [kind for kind, _ in args]


# --- the properties ----------------------------------------------------------------------------


def canonical(passed, kinds):
    """The arguments as the functions must see them, or None when one cannot be converted."""
    plain = []
    for obj, kind in zip(passed, kinds, strict=True):
        if kind == "refused":
            return None
        if kind == "array":
            plain.append(np.array(obj, dtype=np.float64, order="C", copy=True))
        elif kind == "float":
            plain.append(float(obj))
        else:
            plain.append(int(obj))
    return plain


def snapshot(passed):
    """Bit-exact images of every argument and of the buffers behind views."""
    images = []
    for obj in passed:
        images.append(pickle.dumps(obj))
        if isinstance(obj, np.ndarray) and obj.base is not None:
            images.append(pickle.dumps(np.asarray(obj.base)))
    return images


def outcome_of(fn, args, n_threads):
    """The result array, or the exception type and message."""
    try:
        return fn(*args, n_threads)
    except (TypeError, ValueError) as e:
        return type(e), str(e)


# Items per claim of the runners: with more items than this, several threads take part.
BLOCK = {"thermo": 4096, "cold_pool": 64, "profile": 64, "gradient": 8, "vad": 64}


def kind_of(got):
    """The error, or the shape of the result."""
    return got if isinstance(got, tuple) else got.shape


def describe(name, got):
    """The kind of outcome, for the statistics of a run (--hypothesis-show-statistics)."""
    if isinstance(got, tuple):
        return "TypeError" if got[0] is TypeError else f"ValueError: {got[1]}"
    if got.size == 0:
        return "empty result"
    if name == "gradient":
        items = got.shape[1] * got.shape[2]
    elif name in BLOCK:
        items = got.shape[1]
    else:
        items = got.shape[0]  # rows are claimed one at a time
    return "result, several blocks" if items > BLOCK.get(name, 1) else "result, one block"


@pytest.mark.parametrize("name", list(FUNCTIONS))
@settings(PROFILE)
@given(data=st.data())
def test_any_input_gives_a_documented_error_or_a_reproducible_result(name, data):
    fn, _ = FUNCTIONS[name]
    passed, kinds = data.draw(calls(name), label="arguments")
    n_threads = data.draw(st.integers(-2, 16), label="n_threads")
    before = snapshot(passed)
    plain = canonical(passed, kinds)

    got = outcome_of(fn, passed, n_threads)
    event(describe(name, got))
    if plain is None:
        assert isinstance(got, tuple) and got[0] is TypeError, got
    else:
        if isinstance(got, tuple):
            assert got[0] is ValueError and got[1] in MESSAGES[name], got
            assert outcome_of(fn, plain, 1) == got
        else:
            assert isinstance(got, np.ndarray), got
            assert got.dtype == np.float64 and got.flags.c_contiguous
            assert got.shape == RESULT_SHAPE[name](*plain)
            for obj in passed:
                if isinstance(obj, np.ndarray):
                    assert not np.may_share_memory(got, obj)
            single = fn(*passed, 1)
            assert same_bits(single, got), f"n_threads={n_threads} differs from n_threads=1"
            assert same_bits(fn(*plain, 1), got), "a float64 C-contiguous copy differs"
        # The checks look at shapes and parameters only: the values inside the arrays never
        # decide between an error and a result, nor which error.
        blank = [np.full_like(a, NAN) if isinstance(a, np.ndarray) else a for a in plain]
        assert kind_of(outcome_of(fn, blank, 1)) == kind_of(got)
    assert snapshot(passed) == before, "an argument was modified"


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_unaligned_arrays_give_the_results_of_aligned_ones(name):
    # Reading a double one byte off its boundary is undefined behaviour (a report under
    # UndefinedBehaviorSanitizer): such arrays must be copied before the kernels see them.
    fn, args = make_calls(rows=70, seed=9)[name]
    shifted = [unaligned(a) if isinstance(a, np.ndarray) else a for a in args]
    assert not any(a.flags.aligned for a in shifted if isinstance(a, np.ndarray) and a.size)
    assert same_bits(fn(*shifted, 2), fn(*args, 2))


# --- the readers' decoder -----------------------------------------------------------------------

DECODED_TYPES = ["u1", "i1", "u2", "i2", "u4", "i4", "f4", "f8"]
STORED_TYPES = [*DECODED_TYPES, "i8", "f2", ">u2", "=f8", "?"]
DECODE_MESSAGES = {
    "data must be 2-D (rays, gates)",
    "codes must be 1-D",
    "rows must be 1-D",
    "rows must hold row numbers of data",
}


@st.composite
def decode_calls(draw):
    """(data, scale, offset, codes, rows) of one call: stored moments of any type and shape,
    sometimes strided, huge and empty or in a wrong shape; codes among the stored values; rows
    in and out of range."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dtype = np.dtype(draw(st.sampled_from(STORED_TYPES)))
    rays, gates = count(draw, 40, (65, 300)), count(draw, 40, (65, 300))
    gates = widen(draw, rays, gates)
    rays = widen(draw, gates, rays)
    if rays * gates >= LARGE:
        data = np.lib.stride_tricks.as_strided(np.zeros(1, dtype), (rays, gates), (0, 0))
    else:
        raw = rng.integers(0, 256, (rays, gates * dtype.itemsize), dtype=np.uint8)
        data = raw.view(dtype).reshape(rays, gates)  # every bit pattern, NaNs included
        if draw(st.booleans()) and data.size:
            data = np.repeat(data, 2, axis=1)[:, ::2]  # strided
    if draw(st.integers(0, 9)) == 0:
        data = data.reshape(-1) if draw(st.booleans()) else data[..., np.newaxis]
    picked = list(rng.choice(data.reshape(-1), 3)) if 0 < data.size < LARGE else []
    codes = np.array([float(c) for c in picked] + [NAN] * draw(st.integers(0, 3)))
    codes = codes[: draw(st.integers(0, codes.size))]
    if draw(st.integers(0, 19)) == 0:
        codes = codes.reshape(1, -1)
    scale = draw(st.sampled_from([None, 0.5, 0.01, -1.0, 0.0, NAN, 1e308]))
    offset = draw(st.sampled_from([None, -32.0, 0.0, -0.0, INF]))
    rows = None
    if draw(st.booleans()):
        n = data.shape[0] if data.ndim else 0
        rows = rng.integers(-2 if draw(st.integers(0, 9)) == 0 else 0, max(n, 1), count(draw, 50))
        if draw(st.integers(0, 19)) == 0:
            rows = rows.reshape(1, -1)
    return data, scale, offset, codes, rows


def numpy_decode(data, scale, offset, codes, rows):
    x = (data if rows is None else data[rows]).astype(np.float64)
    coded = np.isin(x, codes)
    if scale is not None:
        x = x * scale
    if offset is not None:
        x = x + offset
    x[coded] = NAN
    return x


@settings(PROFILE)
@given(call=decode_calls(), n_threads=st.integers(-2, 16))
def test_decode_gives_a_documented_error_or_the_bits_of_numpy(call, n_threads):
    data, scale, offset, codes, rows = call
    before = snapshot([data, codes, rows])
    with np.errstate(all="ignore"):
        try:
            got = _readers.decode(data, scale, offset, codes, rows, n_threads)
        except TypeError as error:
            event("TypeError")
            assert data.dtype not in {np.dtype(t) for t in DECODED_TYPES}
            assert "dtype" in str(error)
        except ValueError as error:
            event(f"ValueError: {error}")
            assert str(error) in DECODE_MESSAGES
        else:
            event("result" if got.size else "empty result")
            assert got.dtype == np.float64 and got.flags.c_contiguous
            if got.size < LARGE:
                # every value bit for bit; a NaN may carry another payload than NumPy's (a NaN
                # scale or offset meets a NaN value in either order there)
                expected = numpy_decode(data, scale, offset, codes, rows)
                nan = np.isnan(got)
                assert np.array_equal(nan, np.isnan(expected))
                assert same_bits(got[~nan], expected[~nan])
                assert same_bits(_readers.decode(data, scale, offset, codes, rows, 1), got)
    assert snapshot([data, codes, rows]) == before, "an argument was modified"


@st.composite
def inflate_calls(draw):
    """Deflate streams of random bytes, some cut short, lengthened or with bytes overwritten,
    and a size that is each stream's inflated size or not."""
    import zlib

    count = draw(st.integers(0, 4))
    raws = [draw(st.binary(max_size=3000)) for _ in range(count)]
    size = len(raws[0]) if raws and draw(st.booleans()) else draw(st.integers(0, 3000))
    chunks = []
    for raw in raws:
        stream = bytearray(zlib.compress(raw, draw(st.integers(0, 9))))
        damage = draw(st.sampled_from(["none", "none", "cut", "append", "overwrite"]))
        if damage == "cut":
            del stream[draw(st.integers(0, len(stream) - 1)) :]
        elif damage == "append":
            stream += draw(st.binary(min_size=1, max_size=20))
        elif damage == "overwrite":
            at = draw(st.integers(0, len(stream) - 1))
            stream[at : at + 4] = draw(st.binary(min_size=1, max_size=4))
        chunks.append(bytes(stream))
    return chunks, size


@settings(PROFILE)
@given(call=inflate_calls())
def test_inflate_gives_a_documented_error_or_what_zlib_gives(call):
    import zlib

    chunks, size = call
    try:
        got = _readers.inflate(chunks, size)
    except ValueError as error:
        event("ValueError")
        index = int(str(error).split()[1])
        assert str(error) == f"chunk {index} does not inflate to {size} bytes"
        inflater = zlib.decompressobj()
        try:
            whole = inflater.decompress(chunks[index]) + inflater.flush()
            assert len(whole) != size or not inflater.eof or inflater.unused_data
        except zlib.error:
            pass
    else:
        event("result")
        assert got.dtype == np.uint8 and got.shape == (len(chunks), size)
        assert [row.tobytes() for row in got] == [zlib.decompress(c) for c in chunks]


@st.composite
def inflate_decode_calls(draw):
    """(image, moments, expected) of one call: one to three moments of any decoded type in
    chunks that do or do not divide them, shuffled or not, whose chunks are sometimes cut,
    overwritten or moved, and whose places sometimes leave the grid; expected: each moment as
    decode gives it."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    image, moments, expected = b"", [], []
    for _ in range(draw(st.integers(1, 3))):
        dtype = np.dtype(draw(st.sampled_from(DECODED_TYPES)))
        shape = (draw(st.integers(0, 30)), draw(st.integers(0, 30)))
        chunk = (draw(st.integers(1, 12)), draw(st.integers(1, 12)))
        raw = rng.integers(0, 256, (shape[0], shape[1] * dtype.itemsize), dtype=np.uint8)
        stored = raw.view(dtype).reshape(shape)
        shuffled = draw(st.booleans())
        part, addresses, sizes, starts = deflated_chunks(stored, chunk, rng, shuffled=shuffled)
        damage = draw(st.sampled_from(["none", "none", "none", "cut", "overwrite", "place"]))
        part = bytearray(part)
        if damage == "cut" and sizes.size:
            sizes[rng.integers(sizes.size)] -= draw(st.integers(1, 3))
        elif damage == "overwrite" and part:
            part[rng.integers(len(part))] ^= 1 << draw(st.integers(0, 7))
        elif damage == "place" and sizes.size:
            starts[rng.integers(sizes.size), rng.integers(2)] += draw(st.sampled_from([-1, 1, 64]))
        rows = rng.integers(0, max(shape[0], 1), draw(st.integers(0, 40)))
        rows = None if draw(st.booleans()) else rows
        out = np.full((shape[0] if rows is None else rows.size, shape[1]), NAN)
        codes = np.array([float(stored.flat[0])] if stored.size else [])
        moments.append((addresses + len(image), sizes, starts, chunk, shape, dtype, shuffled,
                        0.5, -32.0, codes, rows, out))  # fmt: skip
        image += bytes(part)
        if damage != "none" or (stored.shape[0] == 0 and rows is not None and rows.size):
            expected.append(None)  # damaged, or rows of a moment without rows: may fail
        else:
            expected.append(_readers.decode(stored, 0.5, -32.0, codes, rows, 1))
    return image, moments, expected


@settings(PROFILE)
@given(call=inflate_decode_calls(), n_threads=st.integers(-1, 4))
def test_inflate_decode_gives_a_documented_error_or_the_bits_of_decode(call, n_threads):
    image, moments, expected = call
    try:
        _readers.inflate_decode(image, moments, n_threads)
    except ValueError as error:
        event(f"ValueError: {str(error).split(': ', 1)[1].split(' ')[0]}")
        index = int(re.fullmatch(r"moments\[(\d)\]: .+", str(error)).group(1))
        assert expected[index] is None, "an undamaged moment refused"
    else:
        event("result")
        for moment, values in zip(moments, expected, strict=True):
            assert values is None or same_bits(moment[-1], values)
