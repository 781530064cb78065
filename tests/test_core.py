"""Start-up, module globals, the native function type and the colour table."""

import numpy as np
import pytest

from conftest import make_record, run_python


# ---- start-up ------------------------------------------------------------------

def test_globals_initial_values(kv):
    import cv2
    import numpy
    import typing
    import pygame
    assert kv.KEYS == {} and kv.RUN is True
    assert kv.MOUSE_SCR_POS == (0, 0) and type(kv.MOUSE_SCR_POS) is tuple
    assert kv.MOUSE_STATE == {"world_pos": (0.0, 0.0), "buttons": [False, False, False], "scroll": 0.0}
    assert list(kv.MOUSE_STATE) == ["world_pos", "buttons", "scroll"]
    assert kv.TS_STACK == [] or isinstance(kv.TS_STACK, list)
    assert kv.GLOBAL_VOLUME == [1.0] and type(kv.GLOBAL_VOLUME) is list
    assert kv.FONT_CACHE == {} or type(kv.FONT_CACHE) is dict
    assert kv.TEXT_FILE_EXTENSIONS == [".tvf", ".txt", ".json", ".csv", ".md", ".py", ".c", ".pyx", ".tsx"]
    assert kv.STATE_KEYS == ["shift", "rot", "size", "cursor_pos", "full_transform", "full_transform_inv",
                             "cam_pos_3d", "cam_rot_3d", "is_3d"]
    assert kv.np is numpy and kv.cv2 is cv2 and kv.pygame is pygame and kv.Opt is typing.Optional
    assert kv.full_transform is kv.set_homography_core
    assert pygame.mixer.get_init() == (44100, -16, 2)


def test_reimport_and_interpreter_change_are_refused():
    r = run_python("""
        import sys
        import kelvracv._kelvra_core
        del sys.modules["kelvracv._kelvra_core"]
        try:
            import kelvracv._kelvra_core
        except RuntimeError as e:
            print("RuntimeError:", e)
        import _testcapi
        code = "import sys\\ntry:\\n import kelvracv._kelvra_core\\nexcept ImportError as e:\\n print('ImportError:', e)\\n"
        _testcapi.run_in_subinterp("import sys; sys.path[:0] = %r\\n" % (sys.path[:3],) + code)
    """)
    assert r.returncode == 0, r.stderr
    assert ("RuntimeError: Module '_kelvra_core' has already been imported. "
            "Re-initialisation is not supported.") in r.stdout
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in r.stdout


def test_a_subinterpreter_gets_an_import_error():
    # Own or shared interpreter lock, before and after the main interpreter's
    # import: refused at once, and the main interpreter's import still works.
    r = run_python("""
        import _interpreters

        def attempt():
            for gil in ("own", "shared"):
                iid = _interpreters.create(_interpreters.new_config("isolated", gil=gil))
                exc = _interpreters.run_string(iid, "import kelvracv._kelvra_core")
                _interpreters.destroy(iid)
                print(exc.type.__name__, exc.msg)

        attempt()
        import kelvracv._kelvra_core
        attempt()
    """)
    refused = "ImportError module kelvracv._kelvra_core does not support loading in subinterpreters"
    lines = [line for line in r.stdout.splitlines() if line != "Volume monitor thread started."]
    assert r.returncode == 0 and lines == [refused] * 4, r.stdout + r.stderr


def test_late_binding_of_cv2_is_obeyed(kv):
    class FakeCv2:
        LINE_AA = 16
        RANSAC = 8
        def findHomography(self, *a):
            return None, None
    saved = kv.cv2
    kv.cv2 = FakeCv2()
    try:
        assert kv.set_homography_core([[0, 0]], [[0, 0]]) == (None, None)
    finally:
        kv.cv2 = saved


def test_rebinding_is_seen_by_the_next_call(kv, monkeypatch, capsys):
    # Lookups are answered from a cache; every kind of rebinding must reach
    # the very next call, after calls that filled the cache.
    import cv2
    import numpy as np
    canvas = np.zeros((50, 60, 3), np.uint8)
    ts = make_record(60, 50)
    for _ in range(3):
        kv.line(canvas, ts, (5, 0), (255, 255, 255), 1)
    calls = []
    # an attribute of the real cv2 module
    monkeypatch.setattr(cv2, "line", lambda *a, **k: calls.append(("module attr", k)))
    kv.line(canvas, ts, (5, 0), (255, 255, 255), 1)
    monkeypatch.setattr(cv2, "LINE_4", 4444)
    kv.line(canvas, ts, (5, 0), (255, 255, 255), 1)
    assert calls == [("module attr", {"lineType": 4}), ("module attr", {"lineType": 4444})]
    monkeypatch.undo()
    before = canvas.copy()
    kv.line(canvas, ts, (-20, 10), (255, 255, 255), 1)
    assert (canvas != before).any()  # the real cv2.line again
    # the module's global, then its removal
    monkeypatch.setattr(kv, "cv2", type("FakeCv2", (), {"line": staticmethod(lambda *a, **k: calls.append("global")),
                                                        "LINE_4": 4}))
    kv.line(canvas, ts, (5, 0), (255, 255, 255), 1)
    assert calls[-1] == "global"
    monkeypatch.delattr(kv, "cv2")
    with pytest.raises(NameError, match="name 'cv2' is not defined"):
        kv.line(canvas, ts, (5, 0), (255, 255, 255), 1)
    monkeypatch.undo()
    # rebound by the program while the call runs (graph calls back into it)
    def f(x):
        if not calls or calls[-1] != "during":
            monkeypatch.setattr(cv2, "polylines", lambda *a, **k: calls.append("during"))
        return x
    kv.graph(canvas, ts, f, -5.0, 5.0, (255, 255, 255))
    assert calls[-1] == "during"
    monkeypatch.undo()
    # a built-in shadowed by a module global, then unshadowed
    kv.blit_cached(canvas, ts, "never-loaded", (1.0, 1.0))
    assert capsys.readouterr().out == "Error:Cached image 'never-loaded' not found.\n"
    printed = []
    monkeypatch.setattr(kv, "print", lambda *a: printed.append(a), raising=False)
    kv.blit_cached(canvas, ts, "never-loaded", (1.0, 1.0))
    assert printed == [("Error:Cached image 'never-loaded' not found.",)]
    monkeypatch.undo()
    kv.blit_cached(canvas, ts, "never-loaded", (1.0, 1.0))
    assert capsys.readouterr().out == "Error:Cached image 'never-loaded' not found.\n"


@pytest.mark.parametrize("owner, name", [("cv2", "line"), ("cv2", "polylines"), ("kv", "cv2")])
def test_a_name_rebound_under_a_key_made_at_run_time_is_seen(kv, monkeypatch, owner, name):
    # After pointer moves (which change no lookup), a namespace changed
    # through its dict with a key equal to the name but not the same object.
    import cv2
    import numpy as np
    canvas, ts, calls = np.zeros((50, 60, 3), np.uint8), make_record(60, 50), []
    monkeypatch.setattr(kv, "MOUSE_SCR_POS", kv.MOUSE_SCR_POS)

    def draw():  # a thin circle is drawn with polylines
        kv.line(canvas, ts, (5, 0), (255, 255, 255), 1) if name != "polylines" else kv.circle(canvas, ts, 9, (9, 9, 9))

    spy = lambda *a, **k: calls.append(1)
    value = spy if owner == "cv2" else type("FakeCv2", (), {"line": staticmethod(spy), "LINE_4": 4})
    for i in range(3):
        draw()
        kv.on_move(i, i)
    monkeypatch.setitem(vars(cv2 if owner == "cv2" else kv), "".join(list(name)), value)
    draw()
    assert calls == [1]


# ---- the native function type -----------------------------------------------------

def test_function_attributes_can_be_set(kv):
    f = kv.transform
    # a __dict__ for attributes set later on the object
    f.marker = 5
    assert f.marker == 5 and hasattr(f, "marker") and f.__dict__["marker"] == 5
    del f.marker
    f.__annotations__["p"] = "tuple"
    assert kv.transform.__annotations__ == {"p": "tuple"}
    f.__annotations__ = {}
    with pytest.raises(TypeError):
        f.__name__ = 3


def test_method_binding_in_a_plain_class(kv):
    Cls = type("Cls", (), {"f": kv.transform, "g": kv._color_bgr})
    assert Cls.f is kv.transform
    obj = Cls()
    with pytest.raises(TypeError, match=r"^Argument 'color' has incorrect type \(expected tuple, got Cls\)$"):
        obj.g()
    bound = obj.f
    assert bound.__self__ is obj and bound.__func__ is kv.transform


@pytest.mark.parametrize("call, message", [
    (lambda kv: kv.transform((1, 2)), "transform() takes exactly 2 positional arguments (1 given)"),
    (lambda kv: kv.transform((1, 2), {}, 3), "transform() takes exactly 2 positional arguments (3 given)"),
    (lambda kv: kv._color_bgr(), "_color_bgr() takes exactly 1 positional argument (0 given)"),
    (lambda kv: kv.move(), "<lambda>() takes exactly 2 positional arguments (0 given)"),
    (lambda kv: kv.transform((1, 2), ts={}, x=1), "transform() got an unexpected keyword argument 'x'"),
    (lambda kv: kv.transform((1, 2), {}, p=1), "transform() got multiple values for keyword argument 'p'"),
    (lambda kv: kv.transform((1, 2), p=(1, 2)), "transform() takes exactly 2 positional arguments (1 given)"),
    (lambda kv: kv.transform(ts={}), "transform() takes exactly 2 positional arguments (0 given)"),
])
def test_argument_count_and_keyword_errors(kv, call, message):
    with pytest.raises(TypeError) as e:
        call(kv)
    assert str(e.value) == message


# Two wrong arguments: the drawing primitives convert their numbers before any
# type check; every other function checks in parameter order.
@pytest.mark.parametrize("call, message", [
    (lambda kv, a: kv.line(a, [], (1, 2), (1, 2, 3), "3"), "an integer is required"),
    (lambda kv, a: kv.circle(a, [], "r", (1, 2, 3)), "must be real number, not str"),
    (lambda kv, a: kv.graph([], {}, abs, 0, 1, (1, 2, 3), 1, True, "n"), "an integer is required"),
    (lambda kv, a: kv.load_font(None, "12"),
     "Argument 'font_path_or_name' has incorrect type (expected str, got NoneType)"),
    (lambda kv, a: kv._text_cv2(a, {}, (0, 0), None, (1, 2, 3), "s", 1, (1, 2, 3)),
     "Argument 'content' has incorrect type (expected str, got NoneType)"),
    (lambda kv, a: kv._play_sound_logic(None, 5, "x", 5),
     "Argument 'filename' has incorrect type (expected str, got int)"),
])
def test_which_wrong_argument_is_reported(kv, call, message):
    with pytest.raises(TypeError) as e:
        call(kv, np.zeros((10, 10, 3), np.uint8))
    assert str(e.value) == message


def test_multiple_values_for_keyword(kv):
    with pytest.raises(TypeError, match=r"^transform\(\) got multiple values for keyword argument 'p'$"):
        kv.transform((1, 2), p=(1, 2), ts={})


def test_keyword_calls(kv, ts):
    assert kv.transform(ts=ts, p=(10, 0)) == kv.transform((10, 0), ts)
    assert kv.add_tuples(t2=(1, 1), t1=(2, 2)) == (3, 3)


def test_subclass_rejected_with_note(kv):
    class T(tuple):
        pass
    with pytest.raises(TypeError) as e:
        kv.add_tuples(T((1, 2)), (1, 2))
    assert str(e.value) == "Argument 't1' has incorrect type (expected tuple, got T)"
    assert any("subclasses of built-in types are rejected" in n for n in e.value.__notes__)


# ---- colours ---------------------------------------------------------------------

def test_color_table(kv):
    C = kv.C
    assert len(C) == 161
    assert C["LG"] == (50, 205, 50) and C["LLG"] == (150, 255, 150)
    assert C["LM"] == (255, 160, 122) and C["LLM"] == (255, 190, 160)
    assert all(C[k] == C[k.replace("S", "SI", 1)] for k in ["S", "DS", "DDS", "LS", "LLS"])
    keys = list(C)
    assert keys[:5] == ["W", "DW", "DDW", "LW", "LLW"]
    assert keys[keys.index("LLTU") + 1:keys.index("LLTU") + 4] == ["DLG", "DDLG", "LLLG"]
    assert keys[keys.index("LLSA") + 1:keys.index("LLSA") + 4] == ["DLM", "DDLM", "LLLM"]
    assert keys[-1] == "LLPL"
    assert all(type(v) is tuple and len(v) == 3 and all(0 <= c <= 255 for c in v) for v in C.values())


def test_color_bgr(kv):
    assert kv._color_bgr((255, 80, 80)) == (80, 80, 255)
    assert kv._color_bgr((1, 2, 3, 4)) == (3, 2, 1)
    with pytest.raises(TypeError, match=r"^Argument 'color' has incorrect type \(expected tuple, got list\)$"):
        kv._color_bgr([1, 2, 3])
    with pytest.raises(TypeError, match="expected tuple, got str"):
        kv._color_bgr("R")
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        kv._color_bgr(None)
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        kv._color_bgr((1, 2))
