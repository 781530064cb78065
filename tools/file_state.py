"""Lists the mutable state of a C++ tree that lives outside functions' frames:
namespace-scope variables that are neither const nor constexpr (`static` ones and
`Type& g_x = *new Type()` included) and function-local `static` variables.

A variable whose type is a per-concern state struct (a type named `...State`) is
listed apart: a concern's state gathered in one place counts once.

Run: python3 tools/file_state.py kelvracv [-q]   (-q: counts only)
"""
import re, sys, pathlib
from collections import Counter

root = pathlib.Path(sys.argv[1])
quiet = "-q" in sys.argv[2:]


def strip(text):
    """Comments, preprocessor lines and literals blanked, line structure kept."""
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"(?m)^[ \t]*#.*?(\\\n.*?)*$", lambda m: "\n" * m.group(0).count("\n"), text)
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r'R"(\w*)\((.|\n)*?\)\1"', lambda m: '""' + "\n" * m.group(0).count("\n"), text)
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    return re.sub(r"'(\\.|[^'\\\n])*'", "''", text)


def top_level(s):
    """`s` with the insides of (), [] and <> removed (a cheap template test: `<` after a name)."""
    out, depth = [], 0
    for i, ch in enumerate(s):
        if ch in "([" or (ch == "<" and re.search(r"[\w:]\s*$", s[:i]) and not s[i:i + 2] == "<<"):
            depth += 1
            if depth == 1:
                out.append(ch)
            continue
        if ch in ")]>" and depth:
            if ch == ">" and s[i - 1] == "-":
                continue
            depth -= 1
            if depth == 0:
                out.append(ch)
            continue
        if depth == 0:
            out.append(ch)
    return "".join(out)


SKIP = re.compile(r"(using|typedef|extern|class|struct|enum|union|template|friend|static_assert|namespace|return)\b")


def variable(stmt, local):
    """(name, type) when `stmt` defines a mutable variable, else None."""
    s = " ".join(stmt.split())
    if local:
        m = re.match(r"(static|thread_local)\b\s*(.*)", s)
        if not m:
            return None
        s = m.group(2)
    s = re.sub(r"^((static|inline|thread_local|alignas\s*\([^)]*\))\s*)+", "", s)
    if not s or SKIP.match(s):
        return None
    flat = top_level(s)
    eq = re.search(r"(?<![=!<>+\-*/%&|^])=(?!=)", flat)
    head = flat[:eq.start()] if eq else flat
    init = flat[eq.end():] if eq else ""
    head = re.split(r"\{", head)[0]
    if not eq and "(" in head and not re.search(r"\w\s*\[", head):
        return None  # a function declaration
    head = head.replace("[]", "").strip()
    m = re.search(r"([A-Za-z_]\w*(::\w+)*)\s*$", head)
    if not m:
        return None
    name, kind = m.group(1), head[:m.start()].strip()
    if not kind or kind in ("else", "delete", "goto", "case") or re.search(r"\boperator\b", s):
        return None
    if "constexpr" in kind.split():
        return None
    heap = re.match(r"\s*\*?\s*new\b", init)
    pointer = kind.rfind("*")
    if pointer >= 0 and not heap:
        if re.search(r"\bconst\s*$", kind[pointer + 1:]):
            return None
    elif re.search(r"\bconst\b", kind[:pointer] if pointer >= 0 else kind):
        return None
    base = re.sub(r"<[^<>]*>", "", re.sub(r"<[^<>]*>", "", kind))
    base = re.sub(r"[*&]|\bconst\b|\bvolatile\b", " ", base).split()
    return name, (base[-1].split("::")[-1] if base else kind)


def scan(path):
    text = strip(path.read_text())
    found = []
    stack = []        # kinds: ns, class, func, init, block
    stmt, stmt_line = "", 1
    line = 1

    def in_func():
        return any(k == "func" for k in stack)

    def record(s, ln, local):
        v = variable(s, local)
        if v:
            found.append((ln, v[0], v[1], "local static" if local else "file scope"))

    for ch in text:
        if ch == "\n":
            line += 1
        ns_level = all(k == "ns" for k in stack)
        if ch == "{":
            h = " ".join(stmt.split())
            if ns_level:
                flat = top_level(h)
                if re.match(r"(namespace|extern)\b", h) or h == "":
                    kind = "ns"
                elif re.search(r"\b(class|struct|enum|union)\b[^(]*$", h):
                    kind = "class"
                elif "(" in flat and not re.search(r"(?<![=!<>+\-*/%&|^])=(?!=)", flat):
                    kind = "func"
                else:
                    kind = "init"
            elif stack and stack[-1] == "init":
                kind = "init"
            elif in_func():
                if re.match(r"static\b", h) and "(" not in top_level(h).split("=")[0]:
                    record(h, stmt_line, True)
                kind = "block"
            else:  # in a class
                flat = top_level(h)
                kind = "func" if "(" in flat and not re.search(r"(?<![=!<>])=(?!=)", flat) else "block"
                if re.search(r"\b(class|struct|enum|union)\b[^(]*$", h):
                    kind = "class"
            stack.append(kind)
            if kind == "init":
                stmt += ch
            else:
                stmt, stmt_line = "", line
        elif ch == "}":
            kind = stack.pop() if stack else "ns"
            if kind == "init":
                stmt += ch
            else:
                stmt, stmt_line = "", line
        elif ch == ";":
            if stack and stack[-1] == "init":
                stmt += ch
                continue
            if ns_level:
                record(stmt, stmt_line, False)
            elif in_func() and re.match(r"\s*static\b", stmt):
                record(stmt.strip(), stmt_line, True)
            stmt, stmt_line = "", line
        else:
            if not stmt.strip() and not ch.isspace():
                stmt_line = line
            stmt += ch
    return found


rows = []
for f in sorted(list(root.rglob("*.cpp")) + list(root.rglob("*.hpp"))):
    for ln, name, kind, where in scan(f):
        rel = f.relative_to(root)
        struct = kind.endswith("State")
        rows.append((str(rel), ln, name, kind, "struct" if struct else where))

loose = [r for r in rows if r[4] != "struct"]
structs = [r for r in rows if r[4] == "struct"]
if not quiet:
    for r in loose:
        print(f"{r[0]}:{r[1]}  {r[2]}  ({r[3]}, {r[4]})")
    if structs:
        print("state structs:")
        for r in structs:
            print(f"  {r[0]}:{r[1]}  {r[2]}  ({r[3]})")
folder = lambda r: r[0].split("/")[0] if "/" in r[0] else "."
by_folder, struct_folders = Counter(map(folder, loose)), Counter(map(folder, structs))
print("per folder (outside state structs / state structs): " + ", ".join(
    f"{k} {by_folder[k]}/{struct_folders[k]}" for k in sorted(set(by_folder) | set(struct_folders))))
print(f"{sum(1 for r in loose if r[4] == 'file scope')} file-scope mutable variables, "
      f"{sum(1 for r in loose if r[4] == 'local static')} function-local statics, "
      f"{len(structs)} state structs")
