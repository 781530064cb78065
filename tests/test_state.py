"""Transform-state functions, the record stack and the mode switches."""

import collections

import numpy as np
import pytest

from conftest import make_record


@pytest.fixture(autouse=True)
def empty_stack(kv):
    kv.TS_STACK.clear()
    yield
    kv.TS_STACK.clear()


def test_push_rotate_pop_restores(kv, ts):
    kv.push_state(ts)
    kv.rotate(ts, 30)
    assert ts["rot"] == 30.0
    kv.pop_state(ts)
    assert ts["rot"] == 0.0 and kv.TS_STACK == []


def test_pop_peek_cycle_on_empty_stack(kv, ts):
    before = dict(ts)
    assert kv.pop_state(ts) is None and kv.peek_state(ts) is None and kv.cycle_state(ts) is None
    assert ts == before


def test_peek_twice_and_extra_keys_survive(kv, ts):
    kv.push_state(ts)
    ts["extra"] = 1
    kv.rotate(ts, 10)
    kv.peek_state(ts)
    first = dict(ts)
    kv.peek_state(ts)
    assert ts == first and len(kv.TS_STACK) == 1 and ts["extra"] == 1 and ts["rot"] == 0.0


def test_cycle_moves_top_to_bottom(kv, ts):
    a = make_record()
    b = make_record(rot=45.0)
    kv.push_state(a)
    kv.push_state(b)
    before = dict(ts)
    kv.cycle_state(ts)
    assert [r["rot"] for r in kv.TS_STACK] == [45.0, 0.0]
    assert ts == before


def test_push_copies_in_state_keys_order(kv):
    ts = dict(reversed(list(make_record().items())))
    kv.push_state(ts)
    assert list(kv.TS_STACK[-1]) == kv.STATE_KEYS


def test_push_missing_key_pushes_nothing(kv, ts):
    del ts["cam_rot_3d"]
    with pytest.raises(KeyError, match="cam_rot_3d"):
        kv.push_state(ts)
    assert kv.TS_STACK == []


@pytest.mark.parametrize("cursor, offset, expected", [
    ((1.0, 2.0), (5,), (6.0, 2.0)),
    ((0.0, 0.0, 0.0), (1, 2), (1.0, 2.0, 0.0)),
    ((0.0, 0.0), (1, 2, 3), (1.0, 2.0)),
])
def test_move_padding(kv, ts, cursor, offset, expected):
    ts["cursor_pos"] = cursor
    kv.move(ts, offset)
    assert ts["cursor_pos"] == expected and type(ts["cursor_pos"]) is tuple


def test_move_errors_leave_the_record(kv, ts):
    with pytest.raises(TypeError):
        kv.move(ts, [1, 2])
    assert ts["cursor_pos"] == (0.0, 0.0)
    ts["cursor_pos"] = [0.0, 0.0]
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        kv.move(ts, (1, 2))
    del ts["size"]
    with pytest.raises(KeyError):
        kv.scale(ts, 1)


def test_shift_scale_rotate_setters(kv, ts):
    kv.shift(ts, (10, 5))
    assert ts["shift"] == (310.0, 205.0)
    kv.set_shift(ts, (10,))
    assert ts["shift"] == (10, 0.0)
    kv.set_shift(ts, (1, 2, 3))
    assert ts["shift"] == (1, 2, 3)
    kv.scale(ts, 0.5)
    assert ts["size"] == 1.5
    kv.set_size(ts, "raw")
    assert ts["size"] == "raw"
    kv.rotate(ts, 15)
    kv.rotate(ts, 15)
    assert ts["rot"] == 30.0
    kv.set_rotate(ts, 7)
    assert ts["rot"] == 7


def test_camera_setters(kv, ts):
    kv.set_cam_pos(ts, [1, 2, 3])
    assert ts["cam_pos_3d"] == (1.0, 2.0, 3.0) and type(ts["cam_pos_3d"][0]) is float
    kv.set_cam_rot(ts, ("10", 20, 30))
    assert ts["cam_rot_3d"] == (10.0, 20.0, 30.0)
    kv.set_cam_pos(ts, (1, 2))
    assert ts["cam_pos_3d"] == (1.0, 2.0)
    ts["is_3d"] = True
    with pytest.raises(IndexError):
        kv.transform((0, 0), ts)
    with pytest.raises(ValueError):
        kv.set_cam_pos(ts, ["x"])
    with pytest.raises(TypeError):
        kv.set_cam_pos(ts, 5)
    assert ts["cam_pos_3d"] == (1.0, 2.0)


def test_any_mapping_is_accepted_by_setters(kv):
    ts = collections.OrderedDict(make_record())
    kv.rotate(ts, 5)
    kv.set_cam_pos(ts, (1, 2, 3))
    assert ts["rot"] == 5.0 and ts["cam_pos_3d"] == (1.0, 2.0, 3.0)


# ---- modes -----------------------------------------------------------------------

@pytest.mark.parametrize("flag, cursor, expected", [
    (True, (1, 2), (1, 2, 0.0)),
    (True, (1, 2, 5), (1, 2, 5)),
    (False, (1, 2, 5), (1, 2)),
    (False, (1, 2), (1, 2)),
    (True, [1, 2], (1, 2, 0.0)),
])
def test_set_3d_mode_cursor(kv, ts, flag, cursor, expected):
    ts["cursor_pos"] = cursor
    kv.set_3d_mode(ts, flag)
    assert ts["cursor_pos"] == expected and ts["is_3d"] is flag


def test_set_3d_mode_truth_and_types(kv, ts):
    kv.set_3d_mode(ts, 1)
    assert ts["is_3d"] is True
    kv.set_3d_mode(ts, [])
    assert ts["is_3d"] is False
    od = collections.OrderedDict(make_record())
    with pytest.raises(TypeError, match=r"^Argument 'ts' has incorrect type \(expected dict, got collections.OrderedDict\)"):
        kv.set_3d_mode(od, True)
    assert od["is_3d"] is False
    with pytest.raises(TypeError, match="got NoneType"):
        kv.set_3d_mode(None, True)
    del ts["cursor_pos"]
    with pytest.raises(KeyError):
        kv.set_3d_mode(ts, True)
    assert ts["is_3d"] is True  # written before the cursor is read


SQUARE = [[0, 0], [100, 0], [100, 100], [0, 100]]


def test_homography_core(kv):
    H, H_inv = kv.set_homography_core(SQUARE, SQUARE)
    assert np.allclose(H, np.eye(3)) and np.allclose(H_inv, np.eye(3))
    assert H.dtype == np.float64 and H.shape == (3, 3)
    with pytest.raises(TypeError, match=r"^Argument 'src_pts' has incorrect type \(expected list, got tuple\)$"):
        kv.set_homography_core(tuple(SQUARE), SQUARE)
    with pytest.raises(TypeError, match="'dst_pts'"):
        kv.set_homography_core(SQUARE, tuple(SQUARE))
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"):
        kv.set_homography_core([0, 0, 100, 0, 100, 100, 0, 100], SQUARE)


def test_set_homography_stores_and_clears(kv, ts):
    dst = [[10, 0], [110, 0], [100, 100], [0, 100]]
    kv.set_homography(ts, SQUARE, dst)
    H = ts["full_transform"]
    assert H.shape == (3, 3) and ts["full_transform_inv"].shape == (3, 3)
    ts["shift"] = (0.0, 0.0)
    x, y = kv.transform((0, 0), ts)
    assert abs(x - 10) < 1e-6 and abs(y) < 1e-6
    back = kv.inverse_transform((x, y), ts)
    assert abs(back[0]) < 1e-6 and abs(back[1]) < 1e-6
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        kv.set_homography(ts, tuple(SQUARE), dst)
    assert ts["full_transform"] is H
    # degenerate points: no homography, both keys cleared
    kv.set_homography(ts, [[0, 0]] * 4, [[0, 0]] * 4)
    assert ts["full_transform"] is None and ts["full_transform_inv"] is None
