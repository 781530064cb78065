"""Lists the C++ functions of a tree longer than a limit (from the line of the
opening brace's header to the closing brace), longest first.

Run: python3 tools/long_functions.py kelvracv [limit, default 60]
"""
import re, sys, pathlib
LIMIT = int(sys.argv[2]) if len(sys.argv) > 2 else 60
root = pathlib.Path(sys.argv[1])
found = []
for f in sorted(list(root.rglob("*.cpp")) + list(root.rglob("*.hpp"))):
    text = f.read_text()
    # drop comments and string/char literals, keep line structure
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"(?m)^[ \t]*#.*?(\\\n.*?)*$", lambda m: "\n" * m.group(0).count("\n"), text)
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    text = re.sub(r"'(\\.|[^'\\\n])*'", "''", text)
    stack, header, header_line, line = [], "", 1, 1
    for ch in text:
        if ch == "\n":
            line += 1
        if ch == "{":
            h = header.strip()
            in_func = any(k == "func" for k, _, _ in stack)
            if in_func:
                kind = "block"
            elif re.match(r"(namespace|extern)\b", h) or h == "":
                kind = "ns"
            elif re.search(r"\b(class|struct|enum|union)\b[^(]*$", h):
                kind = "class"
            elif "(" in h and not h.endswith("=") and not re.search(r"=\s*$", h):
                kind = "func"
            else:
                kind = "block"
            stack.append((kind, header_line, h.splitlines()[-1] if h else ""))
            header, header_line = "", line
        elif ch == "}":
            if stack:
                kind, start, h = stack.pop()
                if kind == "func" and line - start + 1 > LIMIT:
                    found.append((line - start + 1, f"{f}:{start}", h[:80]))
            header, header_line = "", line
        elif ch == ";":
            header, header_line = "", line
        else:
            if not header.strip() and not ch.isspace():
                header_line = line
            header += ch
for n, where, h in sorted(found, reverse=True):
    print(f"{n:4d} {where}  {h}")
print(f"{len(found)} functions over {LIMIT} lines")
