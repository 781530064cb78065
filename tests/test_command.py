"""Draw commands, the expression converter, array text and TVF scripts."""

import json
import math
import os
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import blank, limit, make_record, run_capped, run_python

# Every target of the command table, and poly (canvas group, no command).
CANVAS = ["clear", "line", "rect", "circle", "poly", "tri", "quad", "blit", "blit_cached", "text"]
STATE = ["move", "push_state", "pop_state", "set_size", "set_rotate", "set_shift", "set_cam_pos", "set_cam_rot",
         "set_3d_mode", "set_pos", "shift", "rotate", "scale"]

@pytest.fixture
def calls(kv, monkeypatch):
    """Recording stand-ins bound as module attributes for every target."""
    log = []

    def make(name):
        def standin(*args):
            log.append((name, args))
        standin.__name__ = name
        return standin

    for name in CANVAS + STATE:
        if name != "set_pos":
            monkeypatch.setattr(kv, name, make(name), raising=False)
    return log


def out_lines(capsys):
    return capsys.readouterr().out.splitlines()


# ---- conversion and its error lines -------------------------------------------------

def test_line_command_reaches_line_with_converted_arguments(kv, calls, canvas, ts):
    assert kv.draw_command(canvas, ts, "line, 10,20, 255,0,0, 2, true") is None
    assert calls == [("line", (canvas, ts, (10, 20), (255, 0, 0), 2, True))]
    assert calls[0][1][0] is canvas and calls[0][1][1] is ts


def test_tri_command(kv, calls, canvas, ts):
    kv.draw_command(canvas, ts, "tri, 0,50, 50,0, 0,255,0, 1, false, false")
    assert calls == [("tri", (canvas, ts, (0, 50), (50, 0), (0, 255, 0), 1, False, False))]


def test_convert_returns_target_and_arguments(kv, calls):
    r = kv.draw_command_convert(None, None, "circle, 20.5, 255,0,0, 2, false, true, 1.0", "x")
    assert r[0] is kv.circle
    assert r[1:] == [20.5, (255, 0, 0), 2, False, True, 1.0]
    assert type(r) is list and type(r[1]) is float


@pytest.mark.parametrize("cmd, line", [
    ("circle, 20", "Error @ Direct Call:Cmd 'circle' expects 6 args, got 1."),
    ("fill, 1", "Error @ Direct Call:Cmd 'fill' unknown."),
    ("", "Error @ Direct Call:Cmd '' unknown."),
    ("push_state, 1", "Error @ Direct Call:Cmd 'push_state' expects 0 args, got 1."),
    ("line,10,20", "Error @ Direct Call:Cmd 'line,10,20' unknown."),
    ("blit_c, hero", "Error @ Direct Call:Cmd 'blit_c' expects 2 args, got 1."),
    ("blit, uint8", "Error @ Direct Call:Cmd 'blit' expects 2 args, got 1."),
    ("Line, 1,2, 1,2,3, 1, t", "Error @ Direct Call:Cmd 'Line' unknown."),
    ("  line  ", "Error @ Direct Call:Cmd 'line' expects 4 args, got 0."),
    ("set_size, big", "Error @ Direct Call:Arg 'big' for 'set_size' failed:could not convert string to float: 'big'"),
    ("line, 1,2, 1,2,3, 2.5, t", "Error @ Direct Call:Arg '2.5' for 'line' failed:"
                                 "invalid literal for int() with base 10: '2.5'"),
    ("move, nope", "Error @ Direct Call:Arg 'nope' for 'move' failed:name 'nope' is not defined"),
    ("move, 1/0", "Error @ Direct Call:Arg '1/0' for 'move' failed:division by zero"),
    ("clear, 255,0,0 # red", "Error @ Direct Call:Arg '255,0,0 # red' for 'clear' failed:'(' was never closed"),
])
def test_error_lines_word_for_word(kv, calls, canvas, ts, capsys, cmd, line):
    assert kv.draw_command(canvas, ts, cmd) is None
    assert out_lines(capsys) == [line]
    assert calls == []


def test_first_failing_argument_stops_conversion(kv, calls, capsys):
    assert kv.draw_command_convert(None, None, "line, nope, alsonope, x, t", 7) is None
    assert out_lines(capsys) == ["Error @ 7:Arg 'nope' for 'line' failed:name 'nope' is not defined"]


def test_info_is_inserted_with_str(kv, calls, canvas, ts, capsys):
    kv.draw_command(canvas, ts, "fill", 42)
    kv.draw_command(canvas, ts, "fill", ("a", 1))
    assert out_lines(capsys) == ["Error @ 42:Cmd 'fill' unknown.", "Error @ ('a', 1):Cmd 'fill' unknown."]


def test_push_state_without_arguments_is_a_state_call(kv, calls, canvas, ts):
    kv.draw_command(canvas, ts, "push_state")
    kv.draw_command(canvas, ts, "pop_state")
    assert calls == [("push_state", (ts,)), ("pop_state", (ts,))]


@pytest.mark.parametrize("text, value", [
    ("True", True), ("true", True), ("TRUE", True), ("tRuE", True), ("T", True), ("t", True), ("1", True),
    ("yes", False), ("0", False), ("", False), ("false", False), ("truee", False), ("1.0", False), ("ｔ", False),
])
def test_truth_converter(kv, calls, text, value):
    r = kv.draw_command_convert(None, None, "set_3d_mode, " + text, "x")
    assert r[1] is value


def test_int_and_float_converters_keep_python_meaning(kv, calls):
    r = kv.draw_command_convert(None, None, "circle, 1_0.5, 1,2,3, 0x10, t, t, 1e3", 0)
    assert r is None  # int('0x10') is refused in base 10
    r = kv.draw_command_convert(None, None, "circle, inf, 1,2,3, 1_0, t, t, -nan", 0)
    assert math.isinf(r[1]) and r[3] == 10 and math.isnan(r[6])


@pytest.mark.parametrize("text, value", [("007", 7), ("-5", -5), ("+5", 5), ("\u0663", 3), ("1_0", 10),
                                         ("123456789012345678901234", 123456789012345678901234)])
def test_int_converter_is_int_of_the_text(kv, calls, text, value):
    r = kv.draw_command_convert(None, None, "line, 1,2, 3,4,5, " + text + ", t", 0)
    assert r[3] == value and type(r[3]) is int


def test_text_and_blit_c_keep_string_arguments(kv, calls, canvas, ts):
    kv.draw_command(canvas, ts, "text, Hello world, arial, 12.5, 1,2,3, 1, f")
    kv.draw_command(canvas, ts, "blit_c, hero, 2")
    kv.draw_command(canvas, ts, "blit_c, hero, 0.5,2")
    assert calls == [("text", (canvas, ts, "Hello world", "arial", 12.5, (1, 2, 3), 1, False)),
                     ("blit_cached", (canvas, ts, "hero", (2, 2))),
                     ("blit_cached", (canvas, ts, "hero", (0.5, 2)))]


def test_cmd_str_must_be_exact_str(kv, canvas, ts):
    class S(str):
        pass

    msg = "Argument 'cmd_str' has incorrect type (expected str, got bytes)"
    with pytest.raises(TypeError, match=r"^Argument 'cmd_str' has incorrect type \(expected str, got bytes\)$"):
        kv.draw_command(canvas, ts, b"line")
    with pytest.raises(TypeError) as e:
        kv.draw_command_convert(canvas, ts, b"line", "x")
    assert str(e.value) == msg
    with pytest.raises(TypeError):
        kv.draw_command(canvas, ts, S("fill"))
    with pytest.raises(TypeError):
        kv.draw_command(canvas, ts, None)
    with pytest.raises(TypeError, match="takes exactly 4 positional arguments"):
        kv.draw_command_convert(None, None, "fill")


# ---- execution and the canvas group --------------------------------------------------

def test_canvas_group_and_state_targets(kv, calls, canvas, ts):
    cmds = ["clear, 1,2,3", "rect, 5,6, 1,2,3, 1, t, f", "circle, 3, 1,2,3, 1, f, f, 2",
            "quad, 1,1, 2,2, 3,3, 1,2,3, 1, f, f", "move, 1,2", "set_size, 2", "set_rotate, 30",
            "set_shift, 1,2", "set_cam_pos, 1,2,3", "set_cam_rot, 0,0,1", "shift, 3,4", "rotate, 5", "scale, 0.5"]
    for c in cmds:
        kv.draw_command(canvas, ts, c)
    names = [n for n, _ in calls]
    assert names == ["clear", "rect", "circle", "quad", "move", "set_size", "set_rotate", "set_shift",
                     "set_cam_pos", "set_cam_rot", "shift", "rotate", "scale"]
    for name, args in calls:
        if name in CANVAS:
            assert args[0] is canvas and args[1] is ts
        else:
            assert args[0] is ts and canvas not in [a for a in args if isinstance(a, np.ndarray)]


def test_poly_counts_as_canvas_target(kv, calls, canvas, ts):
    kv.move = kv.poly  # "move" now names the poly function object
    kv.draw_command(canvas, ts, "move, 1,2")
    assert calls == [("poly", (canvas, ts, (1, 2)))]


def test_rebound_module_attribute_is_obeyed(kv, calls, canvas, ts, monkeypatch):
    seen = []
    monkeypatch.setattr(kv, "line", lambda *a: seen.append(a))
    kv.draw_command(canvas, ts, "line, 1,2, 3,4,5, 1, f")
    # a lambda that is the module's `line` is in the canvas group (compared with ==)
    assert seen == [(canvas, ts, (1, 2), (3, 4, 5), 1, False)]


def test_missing_canvas_name_does_not_break_dispatch(kv, calls, canvas, ts, monkeypatch):
    monkeypatch.delattr(kv, "poly")
    monkeypatch.delattr(kv, "text")
    kv.draw_command(canvas, ts, "line, 1,2, 3,4,5, 1, f")
    kv.draw_command(canvas, ts, "move, 1,2")
    assert calls == [("line", (canvas, ts, (1, 2), (3, 4, 5), 1, False)), ("move", (ts, (1, 2)))]


def test_execution_error_line(kv, calls, canvas, ts, capsys, monkeypatch):
    def boom(*a):
        raise ValueError("bad value")

    monkeypatch.setattr(kv, "rect", boom)
    monkeypatch.setattr(kv, "move", lambda ts, xy: 1 / 0)
    kv.draw_command(canvas, ts, "rect, 1,2, 1,2,3, 1, f, f")
    kv.draw_command(canvas, ts, "move, 1,2", "TVF 'a.tvf' line 3")
    assert out_lines(capsys) == ["Execution Error @ Direct Call:bad value in boom(...)",
                                 "Execution Error @ TVF 'a.tvf' line 3:division by zero in <lambda>(...)"]


def test_non_exception_errors_propagate(kv, calls, canvas, ts, monkeypatch):
    def stop(*a):
        raise KeyboardInterrupt

    monkeypatch.setattr(kv, "clear", stop)
    with pytest.raises(KeyboardInterrupt):
        kv.draw_command(canvas, ts, "clear, 1,2,3")


def test_draw_command_uses_module_converter(kv, canvas, ts, monkeypatch):
    got = []
    monkeypatch.setattr(kv, "draw_command_convert", lambda *a: [lambda *b: got.append(b), 5])
    kv.draw_command(canvas, ts, "anything", "lbl")
    assert got == [(ts, 5)]
    monkeypatch.setattr(kv, "draw_command_convert", lambda *a: None)
    assert kv.draw_command(canvas, ts, "anything") is None
    monkeypatch.setattr(kv, "draw_command_convert", lambda *a: [])
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected at least 1, got 0\)"):
        kv.draw_command(canvas, ts, "anything")


def test_real_clear_rejects_an_int_colour(kv, canvas, ts, capsys):
    kv.draw_command(canvas, ts, "clear, 255")
    assert out_lines(capsys) == ["Execution Error @ Direct Call:Argument 'color' has incorrect type "
                                 "(expected tuple, got int) in clear(...)"]


def test_real_line_command_draws_like_the_direct_call(kv, canvas, ts):
    ts2 = make_record()
    want = canvas.copy()
    kv.line(want, ts2, (10, 20), (255, 0, 0), 2, True)
    kv.draw_command(canvas, ts, "line, 10,20, 255,0,0, 2, true")
    assert canvas.any() and np.array_equal(canvas, want) and ts == ts2


# ---- set_pos -----------------------------------------------------------------------

def test_set_pos_by_mode(kv, ts):
    kv.set_pos(ts, (1, 2, 3))
    assert ts["cursor_pos"] == (1, 2) and type(ts["cursor_pos"][0]) is int
    ts["is_3d"] = True
    kv.set_pos(ts, (1, 2, 3))
    assert ts["cursor_pos"] == (1, 2, 3)
    kv.set_pos(ts, (1.5, 2))
    assert ts["cursor_pos"] == (1.5, 2, 0.0) and type(ts["cursor_pos"][2]) is float
    ts["is_3d"] = []  # truth rules
    kv.set_pos(ts, (4, 5, 6))
    assert ts["cursor_pos"] == (4, 5)


def test_set_pos_errors(kv, ts):
    with pytest.raises(TypeError, match=r"^Argument 'xy' has incorrect type \(expected tuple, got list\)$"):
        kv.set_pos(ts, [1, 2])
    with pytest.raises(TypeError, match=r"^Argument 'xy' has incorrect type \(expected tuple, got NoneType\)$"):
        kv.set_pos(ts, None)
    with pytest.raises(TypeError, match=r"^Argument 'ts' has incorrect type \(expected dict, got NoneType\)$"):
        kv.set_pos(None, (1, 2))
    with pytest.raises(KeyError):
        kv.set_pos({}, (1, 2))
    with pytest.raises(IndexError):
        kv.set_pos(ts, (1,))


def test_set_pos_command(kv, canvas, ts, capsys):
    kv.draw_command(canvas, ts, "set_pos, 7,8")
    assert ts["cursor_pos"] == (7, 8)
    kv.draw_command(canvas, ts, "set_pos, 7")
    assert out_lines(capsys) == ["Execution Error @ Direct Call:Argument 'xy' has incorrect type "
                                 "(expected tuple, got int) in set_pos(...)"]


# ---- array text --------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(5,), (3, 4), (2, 3, 4), (2, 1, 3, 2), (0,), (1, 1, 1, 1)])
@pytest.mark.parametrize("dtype", ["uint8", "int16", "int32", "float32", "float64", "bool", "complex64", ">u2"])
def test_array_text_round_trip(kv, shape, dtype):
    rng = np.random.default_rng(7)
    a = (rng.random(shape) * 300 - 20).astype(dtype)
    text = kv.array_to_str(a)
    fields = text.split(", ")
    assert len(fields) == 3
    assert fields[0] == a.dtype.name and fields[2] == a.tobytes().hex()
    assert fields[1] == str(shape).replace(" ", "")
    b = kv.str_to_array(text)
    # the dtype name carries no byte order: the bytes come back as they were
    assert b.shape == a.shape and b.dtype.name == a.dtype.name and b.tobytes() == a.tobytes()


def test_array_text_examples(kv):
    assert kv.array_to_str(np.array([1, 2, 255], np.uint8)) == "uint8, (3,), 0102ff"
    assert kv.array_to_str(np.zeros((2, 2), np.uint8)) == "uint8, (2,2), 00000000"
    assert kv.array_to_str(np.array(1.0)) == "float64, (), 000000000000f03f"
    assert kv.array_to_str(np.arange(4, dtype=np.uint8)[::2]) == "uint8, (2,), 0002"
    assert kv.str_to_array("float64, (), 000000000000f03f") == 1.0


def test_str_to_array_reads_blank_separated_and_old_forms(kv):
    a = kv.str_to_array("uint8, (2, 2), 01020304")
    assert a.tolist() == [[1, 2], [3, 4]]
    assert kv.str_to_array("uint8, (4,), 01 02 03 04").tolist() == [1, 2, 3, 4]
    assert kv.str_to_array("uint8, 4, 01020304").tolist() == [1, 2, 3, 4]
    assert kv.str_to_array("int16, (-1,), 0100FFFF").tolist() == [1, -1]


@pytest.mark.parametrize("text, exc, msg", [
    ("uint8, (3,)", IndexError, "list index out of range"),
    ("uint8, (3,), 01020", ValueError, None),
    ("uint8, (3,), zz0102", ValueError, "non-hexadecimal number found in fromhex() arg at position 0"),
    ("nodtype, (1,), 01", TypeError, "data type 'nodtype' not understood"),
    ("uint8, (4,), 010203", ValueError, None),
    ("uint8, (3, , 010203", SyntaxError, None),
    ("uint8, __import__('os'), 01", ValueError, "names beginning with '__' are not allowed in command expressions"),
    ("uint8, s.split(), 01", ValueError, "attribute lookups are not allowed in command expressions"),
])
def test_str_to_array_malformed(kv, text, exc, msg):
    with pytest.raises(exc) as e:
        kv.str_to_array(text)
    if msg:
        assert str(e.value) == msg


def test_str_to_array_non_str(kv):
    with pytest.raises(AttributeError, match="'int' object has no attribute 'split'"):
        kv.str_to_array(5)
    with pytest.raises(TypeError):
        kv.str_to_array(b"uint8, (1,), 00")


@pytest.mark.parametrize("shape", [(3,), (2, 2, 3), (4, 4, 4, 1)])
def test_blit_command_carries_array_text(kv, calls, canvas, ts, shape):
    img = np.arange(int(np.prod(shape)), dtype=np.uint8).reshape(shape)
    kv.draw_command(canvas, ts, "blit, " + kv.array_to_str(img) + ", 0.5,2")
    kv.draw_command(canvas, ts, "blit, " + kv.array_to_str(img) + ", 3")
    (n1, a1), (n2, a2) = calls
    assert n1 == n2 == "blit" and a1[0] is canvas and a1[1] is ts
    assert np.array_equal(a1[2], img) and a1[3] == (0.5, 2)
    assert np.array_equal(a2[2], img) and a2[3] == (3, 3)


def test_blit_command_with_blank_shape_and_bad_array(kv, calls, canvas, ts, capsys):
    kv.draw_command(canvas, ts, "blit, uint8, (2, 2), 01020304, 1")
    assert calls[0][1][2].tolist() == [[1, 2], [3, 4]] and calls[0][1][3] == (1, 1)
    kv.draw_command(canvas, ts, "blit, uint8, (2,2), 0102, 1")
    assert out_lines(capsys) == ["Error @ Direct Call:Arg 'uint8, (2,2), 0102' for 'blit' failed:"
                                 "cannot reshape array of size 2 into shape (2,2)"]


def test_blit_uses_module_str_to_array(kv, calls, canvas, ts, monkeypatch):
    monkeypatch.setattr(kv, "str_to_array", lambda s: "converted:" + s)
    kv.draw_command(canvas, ts, "blit, x, y, z, 1")
    assert calls == [("blit", (canvas, ts, "converted:x, y, z", (1, 1)))]


# ---- the expression converter ------------------------------------------------------

def conv(kv, text):
    """The value of the expression converter for `text`, or None after an error line."""
    r = kv.draw_command_convert(None, None, "set_pos, " + text, "x")
    return None if r is None else r[1]


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, complex):
        return same(a.real, b.real) and same(a.imag, b.imag)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


ALLOWED = [
    "5", "-5", "+5", "10,20", "255,0,0", "1.5,-2.25", "-2**2", "2**-1", "2**3**2", "(-2)**2", "0x1f", "0o17", "0b101",
    "1_000", "0_0", "00", "007.5", "1e999", "-1e999", "1e-400", "1.", ".5", "1.e5", ".5e-3", "1_0.0_1", "1j", "3.5j",
    "1e5j", "-0.0", "7//2", "-7//2", "7%3", "-7%3", "7.5%2", "2**0.5", "10/4", "1+2*3-4/5", "1 - -1", "+-+1",
    "10**-2", "(1)", "((1,2),)", "[1,[2]]", "[]", "()", "", "1,", "(1,)+(2,)", "'ab'*3", "3*'ab'", "[0]*3",
    "C['R']", 'C["G"]', "C['R']+C['G']", "C['R'][1:]", "C['R'][::-1]", "C['R'][-1]", "'abc'[1]", "True+1", "None",
    "False", "2**64", "-2**63", "123456789012345678901234567890", "s", "s*2", "'''x'''", "'a' 'b'", "r'\\n'",
    "'\\x41\\u00e9\\101\\t'", "'\\N{BULLET}'", "'\\ud800'", "'\\\\'", "u'x'", "R'a\\b'", "'é'", "'\\é'",
    "(1 # c\n,2)", "(1\n,2)", "1 \\\n+ 2", "2.0**10", "(2**1000)*1.0", "1e308*10", "-(2**63)",
    "MOUSE_SCR_POS", "STATE_KEYS[0]", "TEXT_FILE_EXTENSIONS[-1][1:]", "GLOBAL_VOLUME*2", "C['R']*2", "[1][0:1]",
    "'x'*0", "[1]*-1", "1),(2", "  3  ",
]


@pytest.mark.parametrize("text", ALLOWED)
def test_expression_equals_python_evaluation(kv, text):
    want = eval("(" + text + ")", vars(kv), {"s": text})
    got = kv.draw_command_convert(None, None, "set_pos, " + text, "x")
    assert got is not None and same(got[1], want)


PY_ERRORS = ["1/0", "0**-1", "C['nope']", "'a'+1", "1+'a'", "-'a'", "[1][0:1:0]", "[1,2][5]", "nope", "1e", "0x",
             "0xg", "1_", "1__0", "1.5.5", "01", "'abc", "(", "(1", "[1", "1)", "]", "1,,2", "1;2", "\\", "5L",
             "'\\x4'", "'\\N{NO SUCH NAME}'", "(1 2)", "٣", "1.real", "2.0**2000"]


@pytest.mark.parametrize("text", PY_ERRORS)
def test_expression_fails_where_python_fails(kv, text, capsys):
    with pytest.raises(Exception):
        eval("(" + text + ")", vars(kv), {"s": text})
    assert conv(kv, text) is None
    line, = out_lines(capsys)
    assert line.startswith("Error @ x:Arg '" + text.strip() + "' for 'set_pos' failed:")


@pytest.mark.parametrize("text, reason", [
    ("foo(1)", "function calls are not allowed in command expressions"),
    ("C.get('R')", "attribute lookups are not allowed in command expressions"),
    ("np.zeros(10**10)", "attribute lookups are not allowed in command expressions"),
    ("os.system('touch /tmp/kelvra_pwned')", "attribute lookups are not allowed in command expressions"),
    ("__import__('os')", "names beginning with '__' are not allowed in command expressions"),
    ("__builtins__", "names beginning with '__' are not allowed in command expressions"),
    ("C['R'].__class__", "attribute lookups are not allowed in command expressions"),
    ("import os", "imports are not allowed in command expressions"),
    ("[x for x in s]", "comprehensions are not allowed in command expressions"),
    ("(x for x in s)", "comprehensions are not allowed in command expressions"),
    ("lambda: 1", "lambda expressions are not allowed in command expressions"),
    ("1 if 1 else 2", "conditional expressions are not allowed in command expressions"),
    ("not 1", "boolean and membership operators are not allowed in command expressions"),
    ("x := 1", "assignment expressions are not allowed in command expressions"),
    ("1 < 2", "comparisons are not allowed in command expressions"),
    ("1 | 2", "bitwise operators are not allowed in command expressions"),
    ("~1", "bitwise operators are not allowed in command expressions"),
    ("{1: 2}", "dict and set displays are not allowed in command expressions"),
    ("*C", "starred expressions are not allowed in command expressions"),
    ("f'{1}'", "f-strings are not allowed in command expressions"),
    ("b'x'", "bytes literals are not allowed in command expressions"),
    ("print", "the built-in name 'print' is not allowed in command expressions"),
    ("open", "the built-in name 'open' is not allowed in command expressions"),
    ("yield 1", "'await' and 'yield' are not allowed in command expressions"),
    ("'%s' % 1", "string formatting is not allowed in command expressions"),
    ("np[0]", "subscripts are not allowed on 'module' values in command expressions"),
    ("KEYS + 1", "the operator '+' is not allowed on 'dict' values in command expressions"),
    ("9**9**9", "the result would be too large for a command expression"),
    ("2**100000", "the result would be too large for a command expression"),
    ("(10**15000)*(10**15000)", "the result would be too large for a command expression"),
    ("'a'*10**9", "the result would be too large for a command expression"),
    ("[0]*2**62*2**62", "the result would be too large for a command expression"),
    ("(" * 150 + "1" + ")" * 150, "expressions nested this deeply are not allowed in command expressions"),
    ("-" * 500 + "1", "expressions nested this deeply are not allowed in command expressions"),
])
def test_hostile_expressions_are_refused(kv, capsys, text, reason):
    t0 = time.perf_counter()
    assert conv(kv, text) is None
    assert time.perf_counter() - t0 < limit(0.5)
    assert out_lines(capsys) == ["Error @ x:Arg '" + text + "' for 'set_pos' failed:" + reason]
    assert not os.path.exists("/tmp/kelvra_pwned")


BUDGET = "the expression would build too much for a command expression (over 4194304 items, characters and digits in all)"
DIVIDE = "the integers would be too large to divide in a command expression"
LISTS = "[0]*1048576,"


@pytest.mark.parametrize("text, reason", [
    (LISTS * 3, None),                                   # 3 * 2**20 items: within the budget
    (LISTS * 4, BUDGET),                                 # each operation allowed, all four together not
    ("+".join(["3**41000 % 7"] * 150), None),            # 150 ints of 19 561 digits
    ("+".join(["3**41000 % 7"] * 300), BUDGET),
    ("('ab'*524288,'c'*1048576,'d'*1048576)", None),
    ("('ab'*524288,'c'*1048576,'d'*1048576,'e'*1048576)", BUDGET),
    ("(3**41000)//(3**20500)", None),                    # long division counts its work too
    ("+".join(["(3**41000)//(3**20500)"] * 20), BUDGET),
    ("(2**65500)%(2**65500-1)", None),                   # ints near the largest that % and // take
    ("(2**65536)%7", DIVIDE),
    ("0x" + "f" * 16384 + "//3", DIVIDE),
])
def test_one_budget_for_the_whole_expression(kv, capsys, text, reason):
    t0 = time.perf_counter()
    got = conv(kv, text)
    assert time.perf_counter() - t0 < limit(2.0)
    if reason is None:
        assert same(got, eval("(" + text + ")"))
        assert out_lines(capsys) == []
    else:
        assert got is None
        assert out_lines(capsys) == ["Error @ x:Arg '" + text + "' for 'set_pos' failed:" + reason]


OVER_BUDGET = """
import json, sys
import numpy as np
canvas = np.zeros((20, 30, 3), np.uint8)
ts = {"rot": 0.0, "size": 1.0, "shift": (15.0, 10.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
lists = "clear, (" + "[0]*1048576," * 300 + ")"
with open(sys.argv[1] + ".tvf", "w") as f:
    f.write((lists + "\\n") * 3)
t0 = time.perf_counter()
kv.draw_command(canvas, ts, lists)
kv.draw_tvf(canvas, ts, sys.argv[1])
kv.draw_command(canvas, ts, "clear, " + "+".join(["3**41000 % 7"] * 200000))  # 2.4 MB
kv.draw_command(canvas, ts, "set_pos, 0x" + "f" * 600000 + "//0x" + "e" * 300000)
print(json.dumps([time.perf_counter() - t0, peak_growth_mb(), int(canvas.any())]), file=sys.stderr)
"""


def test_commands_over_the_budget_stay_small_and_quick(tmp_path):
    r = run_capped(OVER_BUDGET, tmp_path / "scene", cap_mb=768, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    seconds, growth, drawn = json.loads(r.stderr.splitlines()[-1])
    lines = r.stdout.splitlines()[1:]
    expected = [("Direct Call:Arg '([0]*1048576,", "clear", BUDGET)] + [
        (f"TVF '{tmp_path / 'scene'}.tvf' line {i}:Arg '([0]*1048576,", "clear", BUDGET) for i in (1, 2, 3)] + [
        ("Direct Call:Arg '3**41000 % 7+", "clear", BUDGET), ("Direct Call:Arg '0xfff", "set_pos", DIVIDE)]
    assert len(lines) == len(expected)
    for line, (start, name, reason) in zip(lines, expected):
        assert line.startswith("Error @ " + start) and line.endswith(f"' for '{name}' failed:" + reason)
    assert seconds < limit(10) and growth < 150 and not drawn, (seconds, growth)


def test_syntax_errors_win_over_evaluation_errors(kv, capsys):
    assert conv(kv, "1/0,foo(1)") is None
    assert conv(kv, "nope,__x") is None
    assert out_lines(capsys) == [
        "Error @ x:Arg '1/0,foo(1)' for 'set_pos' failed:function calls are not allowed in command expressions",
        "Error @ x:Arg 'nope,__x' for 'set_pos' failed:names beginning with '__' are not allowed in command expressions"]


def test_global_names_are_late_bound(kv, monkeypatch):
    monkeypatch.setattr(kv, "C", {"R": (1, 2, 3)})
    assert conv(kv, "C['R']") == (1, 2, 3)
    monkeypatch.setattr(kv, "MY_POINT", (4, 5), raising=False)
    assert conv(kv, "MY_POINT") == (4, 5)


def test_null_bytes_and_long_texts(kv, capsys):
    assert conv(kv, "1\x002") is None
    assert out_lines(capsys) == ["Error @ x:Arg '1\x002' for 'set_pos' failed:"
                                 "source code string cannot contain null bytes"]
    long_sum = "+".join(["1"] * 200000)
    assert conv(kv, long_sum) == 200000
    big = ",".join(str(i) for i in range(100000))
    assert conv(kv, big) == tuple(range(100000))


number = st.one_of(st.integers(-999, 999).map(str), st.floats(allow_nan=False, allow_infinity=False).map(repr),
                   st.sampled_from(["0x1F", "0o7", "0b1", "1_0", ".5", "1e3", "2j", "True", "None"]))
simple = st.one_of(number, st.sampled_from(["C['R']", "C['B'][1:]", "s", "'ab'", "MOUSE_SCR_POS", "STATE_KEYS[1]"]))


def combine(children):
    ops = st.sampled_from(["+", "-", "*", "/", "//", "%"])
    exponents = st.sampled_from(["0", "1", "2", "3", "-1", "0.5", "-2"])
    return st.one_of(
        st.tuples(children, ops, children).map(lambda t: "(%s %s %s)" % t),
        st.tuples(children, exponents).map(lambda t: "(%s ** %s)" % t),
        st.tuples(st.sampled_from(["-", "+"]), children).map(lambda t: t[0] + t[1]),
        st.lists(children, max_size=4).map(lambda xs: "(" + ",".join(xs) + ("," if len(xs) == 1 else "") + ")"),
        st.lists(children, max_size=4).map(lambda xs: "[" + ",".join(xs) + "]"),
    )


expressions = st.recursive(simple, combine, max_leaves=8)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(expressions)
def test_random_expressions_match_python(kv, capsys, text):
    got = kv.draw_command_convert(None, None, "set_pos, " + text, "x")
    out = capsys.readouterr().out
    if got is None and ("too large" in out or "string formatting is not allowed" in out):
        return  # refused on purpose (Python would build it, or format a str)
    try:
        want = eval("(" + text + ")", vars(kv), {"s": text})
    except Exception:
        assert got is None
    else:
        assert got is not None and same(got[1], want)


# ---- random command strings never escape draw_command -----------------------------

names = st.sampled_from(["tri", "line", "rect", "circle", "clear", "move", "blit", "blit_c", "quad", "text",
                         "push_state", "pop_state", "set_size", "set_rotate", "set_shift", "set_cam_pos",
                         "set_cam_rot", "set_3d_mode", "set_pos", "shift", "rotate", "scale", "fill", ""])
pieces = st.one_of(st.text(max_size=12), expressions, st.sampled_from(["t", "1", "255,0,0", "1,2", "x.y", "f(", "#"]))
command_strings = st.one_of(
    st.text(max_size=60),
    st.tuples(names, st.lists(pieces, max_size=8)).map(lambda t: ", ".join([t[0]] + t[1])),
)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(command_strings, st.booleans())
def test_random_commands_never_raise(kv, calls, capsys, cmd, fail):
    ts = make_record()
    canvas = np.zeros((40, 60, 3), np.uint8)
    if fail:
        def raiser(*a):
            raise RuntimeError("target failed")
        kv.circle = kv.move = raiser
    assert kv.draw_command(canvas, ts, cmd, "prop") is None
    out = capsys.readouterr().out
    assert out == "" or out.startswith(("Error @ prop:", "Execution Error @ prop:"))


# ---- TVF scripts -------------------------------------------------------------------

def write(path, text, mode="w"):
    with open(path, mode) as f:
        f.write(text)


def test_tvf_runs_lines_with_labels(kv, calls, canvas, ts, capsys, tmp_path):
    scene = str(tmp_path / "scene")
    write(scene + ".tvf", "move, 1,2\n\n   # a comment\nfill, 1\nclear, 9,9,9\n  \t\nline, 1,2, 3,4,5, 2, t # remark\n")
    assert kv.draw_tvf(canvas, ts, scene) is None
    assert out_lines(capsys) == ["Error @ TVF '" + scene + ".tvf' line 4:Cmd 'fill' unknown."]
    assert calls == [("move", (ts, (1, 2))), ("clear", (canvas, ts, (9, 9, 9))),
                     ("line", (canvas, ts, (1, 2), (3, 4, 5), 2, False))]


def test_tvf_name_is_always_extended(kv, calls, canvas, ts, capsys, tmp_path):
    base = str(tmp_path / "scene")
    write(base + ".tvf.tvf", "move, 5,5\n")
    write(base + ".tvf", "move, 1,1\n")
    kv.draw_tvf(canvas, ts, base + ".tvf")
    assert calls == [("move", (ts, (5, 5)))]


def test_tvf_only_comments_prints_nothing(kv, calls, canvas, ts, capsys, tmp_path):
    write(str(tmp_path / "c.tvf"), "# one\n\n   # two\n\t\n")
    kv.draw_tvf(canvas, ts, str(tmp_path / "c"))
    assert out_lines(capsys) == [] and calls == []


def test_tvf_universal_newlines_and_numbering(kv, calls, canvas, ts, capsys, tmp_path):
    write(str(tmp_path / "n.tvf"), b"move, 1,1\r\n\rfill\rmove, 2,2", "wb")
    kv.draw_tvf(canvas, ts, str(tmp_path / "n"))
    assert out_lines(capsys) == ["Error @ TVF '" + str(tmp_path / "n") + ".tvf' line 3:Cmd 'fill' unknown."]
    assert [c[1][1] for c in calls] == [(1, 1), (2, 2)]


def test_tvf_missing_file(kv, canvas, ts, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    kv.draw_tvf(canvas, ts, "scene")
    assert out_lines(capsys) == ["Error reading TVF 'scene.tvf':[Errno 2] No such file or directory: 'scene.tvf'"]
    os.mkdir("d.tvf")
    kv.draw_tvf(canvas, ts, "d")
    assert out_lines(capsys) == ["Error reading TVF 'd.tvf':[Errno 21] Is a directory: 'd.tvf'"]


NOT_REGULAR = """
import sys
import numpy as np
from kelvracv import _kelvra_core as kv
canvas = np.zeros((20, 30, 3), np.uint8)
for name in sys.argv[1:]:
    kv.draw_tvf(canvas, kv.init(((30, 20), "t"), (0, 0, 0))[1], name)
"""


def test_tvf_that_is_no_regular_file_is_never_waited_on(tmp_path):
    # A FIFO no one writes to, and an endless device: each one error line at once.
    os.mkfifo(tmp_path / "pipe.tvf")
    os.symlink("/dev/zero", tmp_path / "zero.tvf")
    names = [str(tmp_path / "pipe"), str(tmp_path / "zero")]
    r = run_python(NOT_REGULAR, *names, timeout=30, KELVRACV_HEADLESS="1")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[1:] == [f"Error reading TVF '{n}.tvf':Not a regular file:{n}.tvf" for n in names]


def test_tvf_file_name_must_be_str(kv, canvas, ts):
    with pytest.raises(TypeError, match=r"^Argument 'file_name' has incorrect type \(expected str, got PosixPath\)$"):
        import pathlib
        kv.draw_tvf(canvas, ts, pathlib.Path("scene"))
    with pytest.raises(TypeError):
        kv.draw_tvf(canvas, ts, None)


def test_tvf_undecodable_bytes(kv, calls, canvas, ts, capsys, tmp_path):
    path = str(tmp_path / "u")
    write(path + ".tvf", b"move, 1,1\nmove, 2,2\nmove, \xff\xfe3\nmove, 4,4\n", "wb")
    kv.draw_tvf(canvas, ts, path)
    out = out_lines(capsys)
    assert len(out) == 1 and out[0].startswith("Error reading TVF '" + path + ".tvf':'utf-8' codec can't decode byte")
    # the text is decoded in chunks as the file is iterated: this short file is one chunk
    assert calls == []
    lines = ["move, %d,%d" % (i, i) for i in range(2000)]
    write(path + ".tvf", ("\n".join(lines) + "\nmove, \xff\n").encode("latin-1"), "wb")
    kv.draw_tvf(canvas, ts, path)
    assert len(out_lines(capsys)) == 1
    assert 0 < len(calls) < 2000 and [c[1][1] for c in calls] == [(i, i) for i in range(len(calls))]


def test_tvf_binary_file_and_long_lines(kv, calls, canvas, ts, capsys, tmp_path):
    path = str(tmp_path / "b")
    rng = np.random.default_rng(3)
    write(path + ".tvf", rng.integers(0, 256, 20000, dtype=np.uint8).tobytes(), "wb")
    kv.draw_tvf(canvas, ts, path)
    assert len(out_lines(capsys)) >= 1
    write(path + ".tvf", "move, " + "(" * 100000 + "\nmove, " + "1+" * 300000 + "1\n" + "x" * 2000000 + "\n")
    kv.draw_tvf(canvas, ts, path)
    out = out_lines(capsys)
    assert len(out) == 2 and out[0].endswith("expressions nested this deeply are not allowed in command expressions")
    assert out[1] == "Error @ TVF '" + path + ".tvf' line 3:Cmd '" + "x" * 2000000 + "' unknown."
    assert calls == [("move", (ts, 300001))]
    write(path + ".tvf", b"move, 1,2\x00\nmove, 3,4\n", "wb")
    kv.draw_tvf(canvas, ts, path)
    assert len(out_lines(capsys)) == 1 and calls[-1] == ("move", (ts, (3, 4)))


def test_tvf_uses_module_draw_command(kv, canvas, ts, tmp_path, monkeypatch, capsys):
    seen = []
    write(str(tmp_path / "m.tvf"), "a\n#b\nc, d\n")
    monkeypatch.setattr(kv, "draw_command", lambda *a: seen.append(a))
    kv.draw_tvf(canvas, ts, str(tmp_path / "m"))
    label = "TVF '" + str(tmp_path / "m") + ".tvf' line "
    assert seen == [(canvas, ts, "a", label + "1"), (canvas, ts, "c, d", label + "3")]

    def fails(*a):
        raise RuntimeError("stop here")
    monkeypatch.setattr(kv, "draw_command", fails)
    kv.draw_tvf(canvas, ts, str(tmp_path / "m"))
    assert out_lines(capsys) == ["Error reading TVF '" + str(tmp_path / "m") + ".tvf':stop here"]


SCENE = """# a small scene
clear, 20,20,30
push_state
set_shift, 300,200
line, 100,0, 255,0,0, 2, true
line, 0,80, 0,255,0, 1, false
rect, 40,30, 0,0,255, 2, false, false
rect, 20,10, 255,255,0, 1, true, true
circle, 25.5, 255,0,255, 2, false, true, 1.0
rotate, 30
scale, 0.5
tri, 0,50, 50,0, 0,255,0, 1, false, false
quad, 10,0, 10,10, 0,10, 9,99,199, 1, true, false
move, -30,-30
set_rotate, 10
set_size, 1.5
shift, 5,5
line, C['G'], C['R'], 3, false
pop_state
fill, 1
"""


def test_tvf_scene_matches_direct_calls(kv, tmp_path, capsys):
    path = str(tmp_path / "scene")
    write(path + ".tvf", SCENE)
    a, ts_a = blank(), make_record()
    kv.draw_tvf(a, ts_a, path)
    assert out_lines(capsys) == ["Error @ TVF '" + path + ".tvf' line 20:Cmd 'fill' unknown."]
    b, ts_b = blank(), make_record()
    kv.clear(b, ts_b, (20, 20, 30))
    kv.push_state(ts_b)
    kv.set_shift(ts_b, (300, 200))
    kv.line(b, ts_b, (100, 0), (255, 0, 0), 2, True)
    kv.line(b, ts_b, (0, 80), (0, 255, 0), 1, False)
    kv.rect(b, ts_b, (40, 30), (0, 0, 255), 2, False, False)
    kv.rect(b, ts_b, (20, 10), (255, 255, 0), 1, True, True)
    kv.circle(b, ts_b, 25.5, (255, 0, 255), 2, False, True, 1.0)
    kv.rotate(ts_b, 30.0)
    kv.scale(ts_b, 0.5)
    kv.tri(b, ts_b, (0, 50), (50, 0), (0, 255, 0), 1, False, False)
    kv.quad(b, ts_b, (10, 0), (10, 10), (0, 10), (9, 99, 199), 1, True, False)
    kv.move(ts_b, (-30, -30))
    kv.set_rotate(ts_b, 10.0)
    kv.set_size(ts_b, 1.5)
    kv.shift(ts_b, (5, 5))
    kv.line(b, ts_b, kv.C["G"], kv.C["R"], 3, False)
    kv.pop_state(ts_b)
    assert a.any() and np.array_equal(a, b) and ts_a == ts_b


def test_tvf_with_program_converter_gets_line_labels(kv, canvas, ts, tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(kv, "draw_command_convert", lambda *a: seen.append(a[2:]) or (lambda *b: None,))
    write(str(tmp_path / "p.tvf"), "one\n\ntwo, 2\n")
    kv.draw_tvf(canvas, ts, str(tmp_path / "p"))
    label = "TVF '" + str(tmp_path / "p") + ".tvf' line "
    assert seen == [("one", label + "1"), ("two, 2", label + "3")]


def test_program_converter_result_is_unpacked_like_python(kv, canvas, ts, monkeypatch, capsys):
    got = []
    monkeypatch.setattr(kv, "draw_command_convert", lambda *a: (x for x in [lambda *b: got.append(b), 1, 2]))
    kv.draw_command(canvas, ts, "x")
    assert got == [(ts, 1, 2)]
    monkeypatch.setattr(kv, "draw_command_convert", lambda *a: 5)
    with pytest.raises(TypeError, match="^cannot unpack non-iterable int object$"):
        kv.draw_command(canvas, ts, "x")


def test_tvf_uses_module_open(kv, calls, canvas, ts, monkeypatch, capsys):
    import io

    opened = []
    monkeypatch.setattr(kv, "open", lambda path, mode: opened.append((path, mode)) or io.StringIO("move, 1,2\nfill\n"),
                        raising=False)
    kv.draw_tvf(canvas, ts, "virtual")
    assert opened == [("virtual.tvf", "r")]
    assert calls == [("move", (ts, (1, 2)))]
    assert out_lines(capsys) == ["Error @ TVF 'virtual.tvf' line 2:Cmd 'fill' unknown."]


@pytest.mark.parametrize("word", ["café", "Ωmega", "🎨art"])  # 1-, 2- and 4-byte str storage
def test_non_ascii_commands_and_scripts(kv, calls, canvas, ts, capsys, tmp_path, word):
    kv.draw_command(canvas, ts, "text, " + word + ", arial, 12, 1,2,3, 1, \tT ")
    kv.draw_command(canvas, ts, "move, '" + word + "',s")
    kv.draw_command(canvas, ts, word + ", 1")
    kv.draw_command(canvas, ts, "set_size, " + word)
    path = str(tmp_path / word)
    write(path + ".tvf", "# " + word + "\nmove, 1,2  \n\u3000move, 3,4\u3000\n" + word + "\n", "w")
    kv.draw_tvf(canvas, ts, path)
    assert calls == [("text", (canvas, ts, word, "arial", 12.0, (1, 2, 3), 1, True)),
                     ("move", (ts, (word, "'" + word + "',s"))), ("move", (ts, (1, 2))), ("move", (ts, (3, 4)))]
    assert out_lines(capsys) == [
        "Error @ Direct Call:Cmd '" + word + "' unknown.",
        "Error @ Direct Call:Arg '" + word + "' for 'set_size' failed:could not convert string to float: '" + word + "'",
        "Error @ TVF '" + path + ".tvf' line 4:Cmd '" + word + "' unknown."]


def test_script_reaching_itself_stops_without_crashing(kv, canvas, ts, capsys, tmp_path, monkeypatch):
    path = str(tmp_path / "loop")
    write(path + ".tvf", "clear, '" + path + "'\n")
    monkeypatch.setattr(kv, "clear", kv.draw_tvf, raising=False)  # "clear" now runs the script again
    kv.draw_tvf(canvas, ts, path)
    assert out_lines(capsys) == ["Execution Error @ TVF '" + path + ".tvf' line 1:"
                                 "TVF scripts nested more than 100 deep in draw_tvf(...)"]
