"""Keyboard and mouse state: listener callbacks, simulate_key_press, get_input.

The callbacks are called directly with pynput's own key and button objects;
KEYS, MOUSE_STATE, MOUSE_SCR_POS and RUN are replaced per test, which the
callbacks must see because they look the globals up at each call. Real events
through the listeners are covered in test_window.py.
"""

import types

import pytest
from pynput import keyboard, mouse


@pytest.fixture
def state(kv, monkeypatch):
    """Fresh input globals for one test."""
    monkeypatch.setattr(kv, "KEYS", {})
    monkeypatch.setattr(kv, "RUN", True)
    monkeypatch.setattr(kv, "cv2", FakeCV2([]))  # no window: positions stay desktop pixels
    monkeypatch.setattr(kv, "MOUSE_SCR_POS", (0, 0))
    monkeypatch.setattr(
        kv, "MOUSE_STATE", {"world_pos": (0.0, 0.0), "buttons": [False, False, False], "scroll": 0.0}
    )
    return kv


class FakeCV2:
    """Answers waitKey from a list of key codes; knows no window."""

    def __init__(self, codes):
        self.codes = list(codes)
        self.delays = []

    def waitKey(self, delay):
        self.delays.append(delay)
        return self.codes.pop(0)

    def getWindowImageRect(self, name):
        return (-1, -1, -1, -1)


# ---- keyboard callbacks --------------------------------------------------------


def test_press_and_release_of_a_letter_ignore_case(state):
    kv = state
    assert kv.on_press(keyboard.KeyCode.from_char("A")) is None
    assert kv.KEYS == {"a": True}
    kv.on_press(keyboard.KeyCode.from_char("a"))
    assert kv.KEYS == {"a": True}
    assert kv.on_release(keyboard.KeyCode.from_char("A")) is None
    assert kv.KEYS == {}
    kv.on_release(keyboard.KeyCode.from_char("a"))  # not held: nothing happens
    assert kv.KEYS == {}


def test_special_keys_and_codes_without_char_use_the_text_form(state):
    kv = state
    kv.on_press(keyboard.Key.space)
    kv.on_press(keyboard.KeyCode(vk=65))
    assert kv.KEYS == {"Key.space": True, "<65>": True}
    kv.on_release(keyboard.KeyCode(vk=65))
    kv.on_release(keyboard.Key.space)
    kv.on_release(keyboard.Key.shift)  # never pressed: ignored
    assert kv.KEYS == {}
    assert kv.RUN is True


def test_symbol_changing_with_shift_stays_held(state):
    kv = state
    kv.on_press(keyboard.KeyCode.from_char("1"))
    kv.on_release(keyboard.KeyCode.from_char("!"))
    assert kv.KEYS == {"1": True}


def test_releasing_escape_stops_the_loop(state):
    kv = state
    kv.on_press(keyboard.Key.esc)
    assert kv.KEYS == {"Key.esc": True}
    kv.on_release(keyboard.Key.esc)
    assert kv.KEYS == {} and kv.RUN is False
    kv.RUN = True
    kv.on_release(keyboard.Key.esc)  # not held: still stops, no KeyError
    assert kv.RUN is False


def test_callbacks_follow_a_rebound_keys_dict(state):
    kv = state
    first = kv.KEYS
    kv.KEYS = {}
    kv.on_press(keyboard.KeyCode.from_char("q"))
    assert kv.KEYS == {"q": True} and first == {}


def test_other_errors_of_a_key_object_propagate(state):
    class Broken:
        @property
        def char(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        state.on_press(Broken())


# ---- simulate_key_press --------------------------------------------------------


@pytest.mark.parametrize(
    "given, stored",
    [("A", "a"), ("z", "z"), ("Key.space", "Key.space"), ("AB", "AB"), ("1", "1"), ("É", "é"), ("", "")],
)
def test_simulate_key_press_normalises_single_letters(state, given, stored):
    assert state.simulate_key_press(given) is None
    assert state.KEYS == {stored: True}


def test_simulate_key_press_keeps_an_existing_entry(state):
    kv = state
    kv.KEYS["a"] = "kept"
    kv.simulate_key_press("A")
    assert kv.KEYS == {"a": "kept"}


@pytest.mark.parametrize("bad, tname", [(5, "int"), (None, "NoneType"), (b"a", "bytes")])
def test_simulate_key_press_requires_exact_str(state, bad, tname):
    with pytest.raises(TypeError) as e:
        state.simulate_key_press(bad)
    assert str(e.value) == f"Argument 'key' has incorrect type (expected str, got {tname})"


def test_simulate_key_press_rejects_a_str_subclass(state):
    class S(str):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'key' has incorrect type \(expected str, got S\)"):
        state.simulate_key_press(S("a"))


# ---- get_input("held") ---------------------------------------------------------


def test_held_keys(state):
    kv = state
    kv.simulate_key_press("a")
    assert kv.get_input("held", "A") is True
    assert kv.get_input("held", "a") is True
    assert kv.get_input("held", "b") is False
    assert kv.get_input("held") is False
    # special keys are held under pynput's text form, and found as written
    kv.simulate_key_press("Key.left")
    kv.on_press(keyboard.Key.shift)
    assert kv.get_input("held", "Key.left") is True and kv.get_input("held", "Key.shift") is True
    assert kv.get_input("held", "key.left") is False and kv.get_input("held", "Key.right") is False
    kv.KEYS["key.left"] = "lower first"
    assert kv.get_input("held", "Key.left") == "lower first"
    kv.KEYS[5] = True
    assert kv.get_input("held", 5) is True
    with pytest.raises(TypeError):
        kv.get_input("held", [1])


# ---- get_input("press") --------------------------------------------------------


def test_press_polls_the_window_key_queue(state, monkeypatch):
    kv = state
    fake = FakeCV2([27, -1, 97, 0x263A])
    monkeypatch.setattr(kv, "cv2", fake)
    assert kv.get_input("press") == "esc"
    assert kv.get_input("press", "ignored") is None
    assert kv.get_input("press") == "a"
    assert kv.get_input("press") == "\u263a"
    assert fake.delays == [1, 1, 1, 1]


def test_press_with_a_code_outside_unicode_raises(state, monkeypatch):
    monkeypatch.setattr(state, "cv2", FakeCV2([0x110000]))
    with pytest.raises(ValueError):
        state.get_input("press")


# ---- mouse callbacks and get_input("mouse") ------------------------------------


def test_buttons_in_left_right_middle_order(state):
    kv = state
    assert kv.on_click(1, 2, mouse.Button.right, True) is None
    assert kv.MOUSE_STATE["buttons"] == [False, True, False]
    kv.on_click(1, 2, mouse.Button.middle, True)
    kv.on_click(1, 2, mouse.Button.left, True)
    assert kv.MOUSE_STATE["buttons"] == [True, True, True]
    kv.on_click(1, 2, mouse.Button.right, False)
    assert kv.MOUSE_STATE["buttons"] == [True, False, True]


def test_extra_buttons_change_nothing(state):
    kv = state
    kv.on_click(0, 0, mouse.Button.button8, True)
    kv.on_click(0, 0, types.SimpleNamespace(name="unknown"), True)
    assert kv.MOUSE_STATE["buttons"] == [False, False, False]


def test_scroll_accumulates_until_read(state):
    kv = state
    assert kv.get_input("mouse", "buttons") == (False, False, False, 0.0)
    for dy in (1, 1, -1):
        assert kv.on_scroll(0, 0, 7, dy) is None
    kv.on_click(0, 0, mouse.Button.left, True)
    assert kv.get_input("mouse", "buttons") == (True, False, False, 1.0)
    assert kv.MOUSE_STATE["scroll"] == 0.0
    assert kv.get_input("mouse", "buttons") == (True, False, False, 0.0)


def test_move_rebinds_the_position(state):
    kv = state
    assert kv.on_move(310, 190) is None
    assert kv.MOUSE_SCR_POS == (310, 190) and type(kv.MOUSE_SCR_POS) is tuple
    assert kv.MOUSE_STATE["world_pos"] == (0.0, 0.0)


def test_mouse_world_position(state, ts):
    kv = state
    kv.on_move(310, 190)
    assert kv.get_input("mouse", "pos", ts) == (10.0, -10.0, 0.0)
    assert kv.MOUSE_STATE["world_pos"] == (10.0, -10.0, 0.0)
    ts.update(rot=90.0, size=2.0, shift=(100.0, 50.0))
    kv.on_move(100, 70)
    x, y, z = kv.get_input("mouse", "pos", ts)
    assert (x, y, z) == pytest.approx((10.0, 0.0, 0.0)) and z == 0.0
    assert kv.get_input("mouse", "pos", ts) == kv.inverse_transform((100, 70), ts)


def test_mouse_errors(state, ts):
    kv = state
    with pytest.raises(ValueError) as e:
        kv.get_input("mouse", "pos")
    assert str(e.value) == "get_input('mouse', 'pos') requires 'ts'."
    with pytest.raises(ValueError, match=r"^Invalid mouse key\.$"):
        kv.get_input("mouse")
    with pytest.raises(ValueError, match=r"^Invalid method\.$"):
        kv.get_input("keyboard")
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        kv.get_input("mouse", "pos", [])
    kv.MOUSE_SCR_POS = [1, 2]
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        kv.get_input("mouse", "pos", ts)
    assert kv.MOUSE_STATE["world_pos"] == (0.0, 0.0)


# ---- input tied to the frames while a loop runs ---------------------------------


def test_input_from_other_threads_waits_for_the_tick_and_a_tap_lasts_one_frame(state, monkeypatch):
    import threading

    import cv2

    monkeypatch.setenv("KELVRACV_HEADLESS", "1")
    monkeypatch.setattr(state, "cv2", cv2)
    left = types.SimpleNamespace(name="left")
    seen = []

    def elsewhere(*calls):  # as a listener thread would, while the tick runs
        t = threading.Thread(target=lambda: [c() for c in calls])
        t.start()
        t.join()

    def tick(arr, ts):
        if not seen:
            elsewhere(lambda: state.on_press(keyboard.KeyCode.from_char("a")),
                      lambda: state.on_release(keyboard.KeyCode.from_char("a")),
                      lambda: state.on_click(0, 0, left, True), lambda: state.on_click(0, 0, left, False),
                      lambda: state.on_move(5, 6), lambda: state.on_scroll(0, 0, 0, 1))
        if len(seen) == 3:  # the tick's own calls take effect at once
            state.on_press(keyboard.Key.space)
            state.on_release(keyboard.Key.space)
        seen.append((dict(state.KEYS), state.get_input("mouse", "buttons"), state.MOUSE_SCR_POS))
        return len(seen) < 4

    state.run(tick, ((64, 48), "gate"), (0, 0, 0))
    assert seen == [({}, (False, False, False, 0.0), (0, 0)),
                    ({"a": True}, (True, False, False, 1), (5, 6)),  # the tap: held for this one frame
                    ({}, (False, False, False, 0.0), (5, 6)),
                    ({}, (False, False, False, 0.0), (5, 6))]
    state.on_press(keyboard.KeyCode.from_char("b"))  # no loop: at once, as always
    assert state.KEYS == {"b": True}
