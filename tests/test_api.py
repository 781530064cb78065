"""The public surface against its snapshot (public_api.json): every name in the
order the module binds it, each function's parameters as inspect.signature
shows them, whether it is bound from an anonymous function, its docstring,
annotations and defaults, and the asset manager class with its methods; a
fresh import binds exactly these functions, in this order."""

import ast
import inspect
import json
from pathlib import Path

import pytest

from conftest import run_python


# [name, parameters, bound from an anonymous function ("<lambda>"), docstring], written
# by tools/gen_stub.py (`make stub`) from the module's declarations; parameters
# are None for the class and for the alias.
SURFACE = json.loads((Path(__file__).parent / "public_api.json").read_text(encoding="utf-8"))
API = [(n, params, anonymous) for n, params, anonymous, _ in SURFACE if "." not in n]
METHODS = [(n, params, anonymous) for n, params, anonymous, _ in SURFACE if "." in n]
DOCS = {n: doc for n, _, _, doc in SURFACE}


def declared(params):
    """The annotations (in their order) and the defaults of a def with these parameters."""
    f = ast.parse(f"def f{params}: pass").body[0]
    a = f.args
    args = [*a.posonlyargs, *a.args, a.vararg, *a.kwonlyargs, a.kwarg]
    annotations = {p.arg: ast.literal_eval(p.annotation) for p in args if p is not None and p.annotation}
    if f.returns:
        annotations["return"] = ast.literal_eval(f.returns)
    return annotations, tuple(ast.literal_eval(d) for d in a.defaults) or None


FUNCTIONS = [e for e in API if e[1]] + METHODS


@pytest.mark.parametrize("name, params, anonymous", FUNCTIONS, ids=[e[0] for e in FUNCTIONS])
def test_function(kv, name, params, anonymous):
    owner, _, attr = name.rpartition(".")
    f = getattr(getattr(kv, owner) if owner else kv, attr)
    own = "<lambda>" if anonymous else attr
    assert (f.__name__, f.__qualname__) == (own, f"{owner}.{own}" if owner else own)
    assert f.__module__ == "kelvracv._kelvra_core"
    assert repr(f).startswith(f"<function {f.__qualname__} at 0x")
    assert str(inspect.signature(f)) == params
    assert f.__doc__ == DOCS.get(name)
    annotations, defaults = declared(params)
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__defaults__ == defaults and list(map(type, f.__defaults__ or ())) == list(map(type, defaults or ()))


def test_asset_manager_class(kv):
    cls = kv.AssetManager
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("AssetManager", "AssetManager", "kelvracv._kelvra_core")
    assert cls.__doc__ == "Manages cached assets."
    assert [m for m, v in vars(cls).items() if callable(v)] == [m.split(".")[1] for m, *_ in METHODS]


def test_fresh_import_binds_in_order():
    r = run_python("""
        import threading, json
        before = threading.active_count()
        from kelvracv import _kelvra_core as kv
        print("---")
        names = [n for n in vars(kv) if not n.startswith("__")]
        bound = [n for n, v in vars(kv).items() if type(v) is type(kv.add_tuples) or v is kv.AssetManager]
        print(json.dumps([names, bound]))
        print(threading.active_count() - before)
    """)
    assert r.returncode == 0, r.stderr
    own, _, rest = r.stdout.partition("---\n")
    assert own == "Volume monitor thread started.\n", r.stdout + r.stderr
    names_line, threads, end = rest.split("\n")
    assert (threads, end) == ("1", ""), r.stdout + r.stderr
    names, bound = json.loads(names_line)
    order = [n for n, *_ in API]
    assert bound == order
    # the sound functions and the point arrays come last, after the volume monitor started
    assert names[names.index("compile_project"):] == order[order.index("compile_project"):]
    for n in ["np", "cv2", "Dict", "Tuple", "Opt", "ImageFont", "ImageDraw", "Image", "sys", "os", "time",
              "threading", "math", "shutil", "glob", "pygame", "keyboard", "mouse"]:
        assert n in names
    # the globals come after the imports, then the asset manager, its instance and the colour table
    layout = ["keyboard", "FONT_CACHE", "TEXT_FILE_EXTENSIONS", "AssetManager", "ASSETS", "C"]
    assert sorted(layout, key=names.index) == layout
