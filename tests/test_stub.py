"""The type stub against the module: every name declared, every function's
parameters (names, kinds, defaults) equal to inspect.signature at run time,
the stub as generated from the reference; and the examples type-check
against the stub under mypy --strict."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "kelvracv" / "_kelvra_core.pyi"


def stub_defs(body):
    """{name: [FunctionDef, ...]} (several for overloads) and the other declared names."""
    defs, names = {}, set()
    for node in body:
        if isinstance(node, ast.FunctionDef):
            defs.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.ClassDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname)
    return defs, names


def params_of(fn):
    """[(name, kind, default)] of a stub def; default is `inspect.Parameter.empty` when absent."""
    a, P = fn.args, inspect.Parameter
    pos = a.posonlyargs + a.args
    defaults = [P.empty] * (len(pos) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    out = [(p.arg, P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD, d)
           for i, (p, d) in enumerate(zip(pos, defaults))]
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, P.empty))
    out += [(p.arg, P.KEYWORD_ONLY, P.empty if d is None else ast.literal_eval(d))
            for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, P.empty))
    return out


def test_stub_matches_runtime_signatures(kv):
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    defs, names = stub_defs(tree.body)
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "AssetManager")
    methods, _ = stub_defs(cls.body)

    runtime = {n: v for n, v in vars(kv).items() if not n.startswith("__")}
    assert set(runtime) <= set(defs) | names, "names missing from the stub"
    assert set(defs) <= set(runtime), "stub functions the module does not have"
    checked = [(n, v, defs[n]) for n, v in runtime.items() if n in defs]
    checked += [(f"AssetManager.{m}", getattr(kv.AssetManager, m), methods.get(m))
                for m in vars(kv.AssetManager) if not m.startswith("__") or m == "__init__"]
    assert len(checked) > 60
    for name, obj, fdefs in checked:
        assert fdefs, f"{name} is not a function in the stub"
        want = [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]
        for fn in fdefs:
            got = params_of(fn)
            assert [g[:2] for g in got] == [w[:2] for w in want], name
            for (pname, _, d), (_, _, rd) in zip(got, want):
                # Overloads may leave a default out; a default given is the runtime's.
                if d is not inspect.Parameter.empty or len(fdefs) == 1:
                    assert (type(d), d) == (type(rd), rd), f"{name}({pname})"
        assert ast.get_docstring(fdefs[0]), f"{name} has no docstring in the stub"
    # Names bound to the same object at run time are an alias in the stub.
    assert kv.full_transform is kv.set_homography_core and "full_transform" not in defs

    # The committed stub is what `make stub` gives from the reference and a
    # freshly imported module (in a new process: tests here rebind module names).
    env = dict(os.environ, KELVRACV_HEADLESS="1", PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_stub.py"), "--check"], env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


def test_examples_pass_mypy_strict():
    pytest.importorskip("mypy")
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    env = dict(os.environ, MYPYPATH=str(ROOT))
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-version", "3.13", *examples],
        cwd=ROOT, env=env, capture_output=True, text=True,
    )
    assert r.returncode == 0, r.stdout + r.stderr
