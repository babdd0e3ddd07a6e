"""profile: layer winds, storm-relative helicity and layer-mean wind of each column."""

import numpy as np
import pytest

import _bluster
from util import assert_thread_invariant, same_bits

NAN = np.nan
INF = np.inf

# One column whose hodograph turns anticlockwise (backs) over 3 km, so its helicity against the
# storm motion (10, 5) is negative.
Z = [0.0, 1000.0, 2000.0, 3000.0]
U = [0.0, 10.0, 20.0, 20.0]
V = [0.0, 0.0, 10.0, 20.0]


def column(z=Z, u=U, v=V, ground=0.0, bottom=0.0, top=3000.0, cu=10.0, cv=5.0, **kw):
    """profile of one column, as the seven values of the result."""
    out = _bluster.profile([z], [u], [v], [ground], bottom, top, [cu], [cv], **kw)
    assert out.shape == (7, 1)
    return out[:, 0]


def assert_bits(got, expected):
    assert same_bits(got, np.asarray(expected, dtype=np.float64)), f"{got} != {expected}"


ALL_NAN = [NAN] * 7
FULL_LAYER = [0.0, 0.0, 20.0, 20.0, -200.0, 40000.0 / 3000.0, 20000.0 / 3000.0]


@pytest.mark.parametrize(
    "ground, bottom, top, expected",
    [
        (0.0, 0.0, 3000.0, FULL_LAYER),
        (0.0, 500.0, 2500.0, [5.0, 0.0, 20.0, 15.0, -125.0, 14.375, 5.625]),
        (NAN, 0.0, 3000.0, FULL_LAYER),
        (100.0, 0.0, 3000.0, ALL_NAN),
        (0.0, 1000.0, 1000.0, [10.0, 0.0, 10.0, 0.0, 0.0, 10.0, 0.0]),
    ],
)
def test_worked_examples(ground, bottom, top, expected):
    assert_bits(column(ground=ground, bottom=bottom, top=top), expected)


# --- the height tolerance at both ends of the data ---------------------------------------


@pytest.mark.parametrize(
    "bottom, accepted",
    [
        (-0.5e-6, True),
        (-1e-6, True),  # exactly the tolerance below the lowest level
        (np.nextafter(-1e-6, -1.0), False),
        (-1e-5, False),
    ],
)
def test_bottom_below_lowest_level(bottom, accepted):
    got = column(bottom=bottom)
    if not accepted:
        assert_bits(got, ALL_NAN)
        return
    # The lowest level's wind is the bottom wind; the level itself then adds a zero-length
    # hodograph segment and a trapezoid of zero wind.
    assert_bits(got[:5], FULL_LAYER[:5])
    depth = 3000.0 - bottom
    np.testing.assert_allclose(got[5:], [40000.0 / depth, 20000.0 / depth], rtol=1e-15)


@pytest.mark.parametrize(
    "top, accepted",
    [
        (0.5e-6, True),
        (1e-6, True),  # exactly the tolerance above the highest level
        (np.nextafter(1e-6, 1.0), False),
        (1e-5, False),
    ],
)
def test_top_above_highest_level(top, accepted):
    # The same column shifted down so that its highest level is at height 0.
    z = [h - 3000.0 for h in Z]
    got = column(z=z, bottom=-3000.0, top=top)
    if not accepted:
        assert_bits(got, ALL_NAN)
        return
    assert_bits(got[:5], FULL_LAYER[:5])
    np.testing.assert_allclose(got[5:], FULL_LAYER[5:], rtol=1e-9)


def test_level_exactly_at_bottom_is_not_walked():
    # Two levels at the bottom height: the first is the bottom wind, and neither may enter the
    # walk (a second point at z = zb would add the segment from (0, 0) to (7, -3)).
    got = column(z=[0.0, 0.0, *Z[1:]], u=[0.0, 7.0, *U[1:]], v=[0.0, -3.0, *V[1:]])
    assert_bits(got, FULL_LAYER)


@pytest.mark.parametrize("z_after", [[3000.0, 3000.0], [2500.0, 2800.0]])
def test_level_exactly_at_top_ends_the_walk(z_after):
    # The level at 3000 is the top wind and ends the walk, so the levels after it are never
    # walked, neither more at the top height nor ones that lie lower again. (Two of them,
    # since a single excursion and the closing segment back to the top wind would cancel.)
    got = column(z=[*Z, *z_after], u=[*U, 40.0, 30.0], v=[*V, -10.0, 5.0])
    assert_bits(got, FULL_LAYER)


def test_top_below_bottom():
    cu, cv = 3.0, 1.0
    got = column(bottom=2500.0, top=500.0, cu=cu, cv=cv)
    ub, vb, ut, vt = 20.0, 15.0, 5.0, 0.0
    srh = (ut - cu) * (vb - cv) - (vt - cv) * (ub - cu)
    assert srh != 0.0
    assert_bits(got, [ub, vb, ut, vt, srh, ub, vb])


# --- missing data ---------------------------------------------------------------------------


@pytest.mark.parametrize("cu, cv", [(NAN, 5.0), (10.0, NAN), (INF, 5.0), (10.0, -INF)])
def test_missing_storm_motion_blanks_only_helicity(cu, cv):
    expected = list(FULL_LAYER)
    expected[4] = NAN
    assert_bits(column(cu=cu, cv=cv), expected)


@pytest.mark.parametrize("which", ["z", "u", "v"])
@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_nan_ground_uses_first_usable_level(which, bad):
    # Level 0 is unusable, so the ground is level 1 at 1000; the layer 0-2000 m above it is
    # the 1000-3000 m part of the column.
    args = {"z": list(Z), "u": list(U), "v": list(V)}
    args[which][0] = bad
    got = column(**args, ground=NAN, bottom=0.0, top=2000.0)
    expected = column(ground=0.0, bottom=1000.0, top=3000.0)
    assert_bits(got, expected)


@pytest.mark.parametrize("level", [1, 2])
@pytest.mark.parametrize("which", ["z", "u", "v"])
@pytest.mark.parametrize("bad", [NAN, INF])
@pytest.mark.parametrize("bottom, top", [(0.0, 3000.0), (500.0, 2500.0), (1500.0, 1500.0)])
def test_unusable_level_is_bridged(level, which, bad, bottom, top):
    args = {"z": list(Z), "u": list(U), "v": list(V)}
    args[which][level] = bad
    without = {
        k: [x for i, x in enumerate(a) if i != level] for k, a in (("z", Z), ("u", U), ("v", V))
    }
    assert_bits(column(**args, bottom=bottom, top=top), column(**without, bottom=bottom, top=top))


def test_no_usable_level_with_nan_ground():
    assert_bits(column(z=[NAN] * 4, ground=NAN), ALL_NAN)


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
@pytest.mark.parametrize("which", ["bottom", "top"])
def test_non_finite_layer_limit(bad, which):
    rows = 3
    z = np.tile(Z, (rows, 1))
    limits = {"bottom": 0.0, "top": 3000.0, which: bad}
    out = _bluster.profile(
        z,
        np.tile(U, (rows, 1)),
        np.tile(V, (rows, 1)),
        np.zeros(rows),
        cu=np.full(rows, 10.0),
        cv=np.full(rows, 5.0),
        **limits,
    )
    assert np.isnan(out).all()


# --- shapes and conversions -------------------------------------------------------------


def test_rows_zero_and_levels_zero():
    empty = np.zeros((0, 5))
    out = _bluster.profile(empty, empty, empty, [], 0.0, 1000.0, [], [])
    assert out.shape == (7, 0) and out.dtype == np.float64
    none = np.zeros((3, 0))
    out = _bluster.profile(none, none, none, np.zeros(3), 0.0, 0.0, np.zeros(3), np.zeros(3))
    assert out.shape == (7, 3) and np.isnan(out).all()


def random_soundings(rng, rows, levels, missing=0.05):
    """Columns on rising, irregular heights with turning winds and a few missing values."""
    ground = rng.uniform(-50.0, 500.0, rows)
    steps = rng.uniform(50.0, 300.0, (rows, levels))
    steps[:, 0] = 0.0
    z = ground[:, None] + np.cumsum(steps, axis=1)
    u = np.cumsum(rng.normal(1.0, 2.0, (rows, levels)), axis=1)
    v = np.cumsum(rng.normal(0.5, 2.0, (rows, levels)), axis=1)
    for a in (z, u, v):
        hole = rng.random(a.shape) < missing
        hole[:, 0] = False
        a[hole] = NAN
    return z, u, v, ground, rng.normal(8.0, 3.0, rows), rng.normal(4.0, 3.0, rows)


def test_shapes_by_element_count():
    rng = np.random.default_rng(1)
    rows, levels = 6, 9
    z, u, v, ground, cu, cv = random_soundings(rng, rows, levels)
    ref = _bluster.profile(z, u, v, ground, 0.0, 800.0, cu, cv)
    assert np.isfinite(ref).any()
    flat = _bluster.profile(z.ravel(), u, v.ravel(), ground, 0.0, 800.0, cu, cv)
    assert same_bits(flat, ref)
    odd = _bluster.profile(
        z.reshape(levels, rows),
        u,
        v.reshape(3, -1),
        ground[:, None],
        0.0,
        800.0,
        cu[None, :],
        cv.reshape(2, 3),
    )
    assert same_bits(odd, ref)


def test_odd_inputs_are_converted():
    rng = np.random.default_rng(2)
    z, u, v, ground, cu, cv = random_soundings(rng, 5, 7, missing=0.0)
    u32 = u.astype(np.float32)
    ref = _bluster.profile(z, u32.astype(np.float64), v, ground, 0.0, 600.0, cu, cv)
    got = _bluster.profile(
        np.asfortranarray(z),
        u32,
        v.tolist(),
        np.repeat(ground, 2)[::2],
        0,
        600,
        list(cu),
        np.asfortranarray(cv[:, None]),
    )
    assert same_bits(got, ref)
    # Integer data and a plain float for the per-column arrays of a single column.
    got = _bluster.profile([Z], np.array([U], dtype=np.int64), [V], 0.0, 0, 3000, 10, 5.0)
    assert_bits(got[:, 0], FULL_LAYER)


def test_keyword_arguments():
    got = _bluster.profile(
        cv=[5.0], cu=[10.0], top=3000.0, bottom=0.0, ground=[0.0], v=[V], u=[U], z=[Z], n_threads=2
    )
    assert_bits(got[:, 0], FULL_LAYER)


GOOD = {
    "z": np.zeros((4, 3)),
    "u": np.zeros((4, 3)),
    "v": np.zeros((4, 3)),
    "ground": np.zeros(4),
    "cu": np.zeros(4),
    "cv": np.zeros(4),
}


@pytest.mark.parametrize(
    "changes, message",
    [
        # A 1-D u is reported first, even with every other array wrong as well.
        ({"u": np.zeros(12), "z": np.zeros(5), "cv": np.zeros(1)}, "u must be 2-D"),
        ({"u": np.zeros((2, 2, 3))}, "u must be 2-D"),
        ({"u": np.float64(1.0)}, "u must be 2-D"),
        ({"z": np.zeros((4, 4))}, "shape mismatch"),
        ({"v": np.zeros(11)}, "shape mismatch"),
        ({"ground": np.zeros(3)}, "shape mismatch"),
        ({"cu": np.zeros(5)}, "shape mismatch"),
        ({"cv": np.zeros((4, 2))}, "shape mismatch"),
        ({"ground": 0.0}, "shape mismatch"),  # one element for four columns
    ],
)
def test_validation_messages(changes, message):
    args = {**GOOD, **changes}
    with pytest.raises(ValueError, match=f"^{message}$"):
        _bluster.profile(bottom=0.0, top=1.0, **args)


@pytest.mark.parametrize(
    "changes",
    [{"bottom": "low"}, {"n_threads": 1.5}, {"n_threads": 2**31}, {"u": [[0.0], "x"]}],
)
def test_unconvertible_arguments(changes):
    args = {**GOOD, "bottom": 0.0, "top": 1.0, **changes}
    with pytest.raises(TypeError):
        _bluster.profile(**args)


# --- threads and an independent reference -------------------------------------------------


def test_bit_identical_for_every_thread_count():
    rng = np.random.default_rng(3)
    rows = 64 * 40 + 17  # many blocks, the last one partial
    z, u, v, ground, cu, cv = random_soundings(rng, rows, 30)
    ground[::7] = NAN
    cu[::11] = NAN

    ref = assert_thread_invariant(
        lambda n: _bluster.profile(z, u, v, ground, 0.0, 3000.0, cu, cv, n_threads=n)
    )
    assert np.isfinite(ref[4]).sum() > rows // 2


def reference_profile(z, u, v, ground, bottom, top, cu, cv):
    """Storm-relative helicity and layer-mean wind column by column, for rising heights."""
    out = np.full((7, len(z)), NAN)
    for r in range(len(z)):
        ok = np.isfinite(z[r]) & np.isfinite(u[r]) & np.isfinite(v[r])
        zz, uu, vv = z[r][ok], u[r][ok], v[r][ok]
        g = ground[r] if np.isfinite(ground[r]) else zz[0]
        zb, zt = bottom + g, top + g
        if zb < zz[0] or zt > zz[-1]:
            continue
        inner = (zz > zb) & (zz < zt)
        hz = np.concatenate([[zb], zz[inner], [zt]])
        hu = np.interp(hz, zz, uu)
        hv = np.interp(hz, zz, vv)
        # Storm-relative hodograph: the helicity is the sum of the cross products of
        # consecutive storm-relative winds, -sum(k . (V_i x V_i+1)).
        su, sv = hu - cu[r], hv - cv[r]
        srh = -np.sum(su[:-1] * sv[1:] - sv[:-1] * su[1:])
        depth = zt - zb
        out[:, r] = [
            hu[0], hv[0], hu[-1], hv[-1], srh,
            np.trapezoid(hu, hz) / depth, np.trapezoid(hv, hz) / depth,
        ]  # fmt: skip
    return out


@pytest.mark.parametrize("bottom, top", [(0.0, 1000.0), (0.0, 3000.0), (250.0, 1750.0)])
def test_agrees_with_numpy_reference(bottom, top):
    rng = np.random.default_rng(int(top + bottom))
    rows = 400
    z, u, v, ground, cu, cv = random_soundings(rng, rows, 25)
    ground[::5] = NAN
    got = _bluster.profile(z, u, v, ground, bottom, top, cu, cv)
    expected = reference_profile(z, u, v, ground, bottom, top, cu, cv)
    assert np.array_equal(np.isnan(got), np.isnan(expected))
    assert np.isfinite(got).all(axis=0).sum() > rows // 2
    np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-9)
