"""Coordinate pipeline: exact results against a plain-Python transcription of
the formulas, record read order, homographies and the 3-D camera."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import make_record
from reference import inverse_transform as ref_inverse, transform_2d as ref_transform_2d, \
    transform_3d as ref_transform_3d


finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
angle = st.floats(min_value=-720, max_value=720, allow_nan=False)


@settings(max_examples=300, deadline=None)
@given(x=finite, y=finite, rot=angle, size=st.floats(0.01, 50), sx=finite, sy=finite)
def test_2d_matches_reference_bit_for_bit(kv, x, y, rot, size, sx, sy):
    ts = make_record(rot=rot, size=size, shift=(sx, sy))
    assert kv.transform((x, y), ts) == ref_transform_2d((x, y), ts)
    assert kv.inverse_transform((x, y), ts) == ref_inverse((x, y), ts)


def test_rotations_differing_in_a_few_bits_each_map_as_their_own(kv):
    # One call after another with angles that differ only in their last 32
    # bits, then only in their first (30 and 45 degrees end in the same 32 zero bits).
    for rot in [30.0 * (1 + k * 2**-30) for k in range(16)] + [30.0, 45.0, 30.0]:
        ts = make_record(rot=rot)
        assert kv.transform((1000.0, 700.0), ts) == ref_transform_2d((1000.0, 700.0), ts), rot


@settings(max_examples=300, deadline=None)
@given(p=st.tuples(finite, finite, finite), rot=angle, cam=st.tuples(finite, finite, finite),
       cr=st.tuples(angle, angle, angle), size=st.floats(0.01, 50))
def test_3d_matches_reference_bit_for_bit(kv, p, rot, cam, cr, size):
    ts = make_record(rot=rot, size=size, cam_pos_3d=cam, cam_rot_3d=cr, is_3d=True)
    expected = ref_transform_3d(p, ts)
    assert kv.transform_3d(p, ts) == expected
    x, y, d = expected
    assert kv.transform(p, ts) == ((x, y) if d >= 1e-6 else (math.inf, math.inf))


@settings(max_examples=200, deadline=None)
@given(x=finite, y=finite, h=st.lists(st.floats(-10, 10, allow_nan=False), min_size=8, max_size=8))
def test_homography_matches_reference(kv, x, y, h):
    ts = make_record(full_transform=np.array(h + [1.0]).reshape(3, 3))
    assert kv.transform((x, y), ts) == ref_transform_2d((x, y), ts)


matrix = st.lists(st.floats(-10, 10, allow_nan=False), min_size=9, max_size=9).map(
    lambda h: np.array(h).reshape(3, 3))


@settings(max_examples=200, deadline=None)
@given(mode=st.sampled_from(["2d", "homography", "3d"]), rot=angle, size=st.one_of(st.just(0.0), st.floats(0.01, 50)),
       shift=st.tuples(finite, finite), cam=st.tuples(finite, finite, finite), cr=st.tuples(angle, angle, angle),
       h=matrix, h_inv=matrix, as_list=st.booleans(),
       points=st.integers(0, 3).flatmap(lambda cols: st.lists(
           st.tuples(*[finite] * cols) if cols >= 2 else st.tuples(finite, finite), max_size=12)))
def test_point_arrays_match_transform_row_for_row(kv, mode, rot, size, shift, cam, cr, h, h_inv, as_list, points):
    ts = make_record(rot=rot, size=size, shift=shift, cam_pos_3d=cam, cam_rot_3d=cr, is_3d=mode == "3d")
    if mode == "homography":
        ts.update(full_transform=h.tolist() if as_list else h, full_transform_inv=h_inv)
    arr = np.array(points, np.float64)
    rows = [tuple(r) for r in arr]  # the array's own numbers, as tuples of NumPy floats
    out = kv.transform_points(ts, points if as_list else arr)
    back = kv.inverse_transform_points(ts, arr)
    assert out.dtype == back.dtype == np.float64 and out.shape == back.shape == (len(points), 2)
    # bit for bit: -0.0, inf and every last digit as the one-point functions give them
    assert out.tobytes() == np.array([kv.transform(r, ts) for r in rows], np.float64).reshape(-1, 2).tobytes()
    assert back.tobytes() == np.array([kv.inverse_transform(r, ts)[:2] for r in rows],
                                      np.float64).reshape(-1, 2).tobytes()


def test_point_arrays_errors(kv):
    ts = make_record()
    assert kv.transform_points(ts, []).shape == (0, 2)
    with pytest.raises(ValueError, match=r"^points must be an \(N, 2\) or \(N, 3\) array, got shape \(2,\)$"):
        kv.transform_points(ts, (1, 2))
    with pytest.raises(ValueError, match=r"got shape \(1, 4\)$"):
        kv.inverse_transform_points(ts, [(1, 2, 3, 4)])
    with pytest.raises(TypeError, match=r"^Argument 'ts' has incorrect type \(expected dict, got list\)$"):
        kv.transform_points([], [(1, 2)])
    del ts["shift"]
    with pytest.raises(KeyError, match="shift"):  # the record is read even without points
        kv.transform_points(ts, np.empty((0, 2)))
    with pytest.raises(KeyError, match="shift"):
        kv.inverse_transform_points(ts, [])


# ---- documented cases -------------------------------------------------------------

def test_documented_values(kv):
    ts = make_record(rot=90, shift=(300.0, 200.0))
    assert kv.transform((10, 0), ts) == (300.0, 210.0)
    ts.update(rot=0, size=2)
    assert kv.transform((10, 5), ts) == (320.0, 210.0)
    assert kv.inverse_transform((320.0, 210.0), ts) == (10.0, 5.0, 0.0)
    ts["size"] = 0
    assert kv.inverse_transform((320.0, 210.0), ts) == (0.0, 0.0, 0.0)
    ts["size"] = 1
    assert kv.transform((1, 2, 99), ts) == kv.transform((1, 2), ts)


def test_3d_documented_values(kv):
    ts = make_record(shift=(300.0, 200.0), is_3d=True)
    assert kv.transform((1, 2, 0), ts) == (300.1, 200.2)
    assert kv.transform_3d((1, 2), ts) == (300.1, 200.2, 10.0)
    assert kv.transform((0, 0, -10), ts) == (math.inf, math.inf)
    assert kv.transform_3d((0, 0, -10), ts) == (300.0, 200.0, -1.0)
    assert kv.transform((0, 0, -20), ts) == (math.inf, math.inf)
    ts["full_transform"] = np.eye(3) * 2
    assert kv.transform((1, 2, 0), ts) == (300.1, 200.2)  # ignored in 3-D
    ts["cam_pos_3d"] = (1.0, 2.0)
    with pytest.raises(IndexError):
        kv.transform((1, 2, 0), ts)


def test_add_tuples(kv):
    assert kv.add_tuples((1, 2, 3), (1, 2)) == (2, 4)
    assert kv.add_tuples((1, 2, 3), (1, 2, 3)) == (2, 4, 6)
    assert kv.add_tuples((1, 2), (0.5, 0.5)) == (1.5, 2.5)
    assert type(kv.add_tuples((1, 2), (1, 2))[0]) is int
    with pytest.raises(TypeError, match=r"^Argument 't1' has incorrect type \(expected tuple, got list\)$"):
        kv.add_tuples([1, 2], (1, 2))
    with pytest.raises(IndexError):
        kv.add_tuples((1,), (1, 2))
    with pytest.raises(TypeError, match="has no len"):
        kv.add_tuples(None, (1, 2))


def test_apply_homography(kv):
    assert kv.apply_homography(np.eye(3), (3, 4)) == (3.0, 4.0)
    assert kv.apply_homography([[1, 0, 0], [0, 1, 0], [0, 0, 0]], (3, 4)) == (3.0, 4.0)
    assert type(kv.apply_homography(np.eye(3), (3, 4))[0]) is float
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"):
        kv.apply_homography([1, 0, 0], (1, 2))
    with pytest.raises(ValueError, match="C-contiguous"):
        kv.apply_homography(np.asfortranarray(np.arange(9.0).reshape(3, 3)), (1, 2))
    with pytest.raises(TypeError, match=r"^Expected a sequence of size 2, got size 3$"):
        kv.apply_homography(np.zeros((3, 3)), (1, 2, 3))
    with pytest.raises(ValueError):  # NumPy's own shape error
        kv.apply_homography(np.eye(2), (1, 2))
    # a taller matrix uses its first three rows, as the matrix product does
    assert kv.apply_homography(np.vstack([np.eye(3), [[5, 5, 5]]]), (3, 4)) == (3.0, 4.0)


def test_record_read_order_and_errors(kv):
    ts = make_record()
    del ts["rot"], ts["shift"]
    with pytest.raises(KeyError, match="rot"):
        kv.transform((1, 2), ts)
    with pytest.raises(TypeError, match="not subscriptable"):
        kv.transform(None, make_record())  # the point is read before the record
    ts3 = make_record(is_3d=True)
    with pytest.raises(TypeError, match="has no len"):
        kv.transform(None, ts3)
    with pytest.raises(KeyError, match="is_3d"):
        kv.transform((1, 2), {})
    with pytest.raises(TypeError, match=r"expected dict, got collections.OrderedDict"):
        import collections
        kv.transform((1, 2), collections.OrderedDict(make_record()))
    # float() semantics: strings parse, other objects raise their own error
    ts = make_record(rot="90")
    assert kv.transform((10, 0), ts) == kv.transform((10, 0), dict(make_record(), rot=90.0))
    with pytest.raises(ValueError):
        kv.transform(("x", 0), make_record())


class Boom:
    def __float__(self):
        raise RuntimeError("boom")


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 2**63, -2**100, 10**400, Boom(), None, "x"])
def test_hostile_numbers_do_not_crash(kv, value):
    for key in ["rot", "size"]:
        ts = make_record()
        ts[key] = value
        for f in (kv.transform, kv.inverse_transform, kv.transform_3d):
            try:
                f((1, 2), ts)
            except (TypeError, ValueError, OverflowError, RuntimeError):
                pass
    try:
        kv.transform((value, 1), make_record())
    except (TypeError, ValueError, OverflowError, RuntimeError):
        pass
