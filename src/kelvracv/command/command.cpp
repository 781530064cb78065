// Command strings: the splitter, the argument converters, the 22-command
// table, conversion with its error lines, and execution with the canvas-group
// dispatch. Targets and helpers are module attributes looked up at each use.
// Main thread (or any thread holding the interpreter lock).

#include <cstring>
#include <iterator>
#include <vector>

#include "command/command.hpp"
#include "command/expr.hpp"
#include "core/bindings.hpp"
#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv::cmd {
namespace {

// ---- types -------------------------------------------------------------------

// Argument type codes; kScale is the scale factor of "blit" and "blit_c":
// a tuple expression, or one number used for both factors.
enum Code : signed char { kTruth = 0, kInt = 1, kFloat = 2, kExpr = 3, kArray = 10, kStr = 11, kScale = 12 };

struct Command {
  const char* name;
  const char* target;  // module attribute called
  int n;               // number of arguments
  Code codes[7];
};

const Command kSyntax[] = {
    {"tri", "tri", 6, {kExpr, kExpr, kExpr, kInt, kTruth, kTruth}},
    {"line", "line", 4, {kExpr, kExpr, kInt, kTruth}},
    {"rect", "rect", 5, {kExpr, kExpr, kInt, kTruth, kTruth}},
    {"circle", "circle", 6, {kFloat, kExpr, kInt, kTruth, kTruth, kFloat}},
    {"clear", "clear", 1, {kExpr}},
    {"move", "move", 1, {kExpr}},
    {"blit", "blit", 2, {kArray, kScale}},
    {"blit_c", "blit_cached", 2, {kStr, kScale}},
    {"quad", "quad", 7, {kExpr, kExpr, kExpr, kExpr, kInt, kTruth, kTruth}},
    {"text", "text", 6, {kStr, kStr, kFloat, kExpr, kInt, kTruth}},
    {"push_state", "push_state", 0, {}},
    {"pop_state", "pop_state", 0, {}},
    {"set_size", "set_size", 1, {kFloat}},
    {"set_rotate", "set_rotate", 1, {kFloat}},
    {"set_shift", "set_shift", 1, {kExpr}},
    {"set_cam_pos", "set_cam_pos", 1, {kExpr}},
    {"set_cam_rot", "set_cam_rot", 1, {kExpr}},
    {"set_3d_mode", "set_3d_mode", 1, {kTruth}},
    {"set_pos", "set_pos", 1, {kExpr}},
    {"shift", "shift", 1, {kExpr}},
    {"rotate", "rotate", 1, {kFloat}},
    {"scale", "scale", 1, {kFloat}},
};

// The targets called with the canvas first, in the order they are compared.
const char* const kCanvasGroup[] = {"clear", "line",  "rect",        "circle", "poly",
                                    "tri",   "quad",  "blit", "blit_cached", "text"};

// ---- internal helpers ----------------------------------------------------------

// A stretch [start, end) of a str: a piece of a command, read in place.
struct Span {
  PyObject* str = nullptr;  // borrowed
  Py_ssize_t start = 0, end = 0;
  Py_ssize_t size() const { return end - start; }
  // ASCII text: the characters can be read as bytes.
  bool ascii() const { return PyUnicode_IS_ASCII(str); }
  const char* chars() const { return static_cast<const char*>(PyUnicode_DATA(str)) + start; }
  Ref make() const { return Ref::steal(PyUnicode_Substring(str, start, end)); }
};

// The pieces of a command: a few inline, more on the heap.
class Pieces {
 public:
  void push(Span s) {
    if (n_ < kInline) small_[n_] = s;
    else more_.push_back(s);
    ++n_;
  }
  Py_ssize_t size() const { return static_cast<Py_ssize_t>(n_); }
  const Span& operator[](Py_ssize_t i) const {
    size_t k = static_cast<size_t>(i);
    return k < kInline ? small_[k] : more_[k - kInline];
  }

 private:
  static constexpr size_t kInline = 12;
  Span small_[kInline];
  std::vector<Span> more_;
  size_t n_ = 0;
};

// str.strip() of a stretch.
Span strip_span(Span s) {
  int kind = PyUnicode_KIND(s.str);
  const void* d = PyUnicode_DATA(s.str);
  while (s.start < s.end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, s.start))) ++s.start;
  while (s.end > s.start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, s.end - 1))) --s.end;
  return s;
}

// [piece.strip() for piece in text.split(", ")]
void split_command(Span whole, Pieces* out) {
  int kind = PyUnicode_KIND(whole.str);
  const void* d = PyUnicode_DATA(whole.str);
  Py_ssize_t from = whole.start;
  Py_ssize_t i = whole.start;
  while (i + 1 < whole.end) {
    if (kind == PyUnicode_1BYTE_KIND) {
      const char* base = static_cast<const char*>(d);
      const void* hit = std::memchr(base + i, ',', static_cast<size_t>(whole.end - 1 - i));
      if (!hit) break;
      i = static_cast<const char*>(hit) - base;
    } else if (PyUnicode_READ(kind, d, i) != ',') {
      ++i;
      continue;
    }
    if (PyUnicode_READ(kind, d, i + 1) == ' ') {
      out->push(strip_span(Span{whole.str, from, i}));
      i += 2;
      from = i;
    } else {
      ++i;
    }
  }
  out->push(strip_span(Span{whole.str, from, whole.end}));
}

// The command of that name (case-sensitive), or nullptr.
const Command* find_command(const Span& name) {
  Py_ssize_t n = name.size();
  int kind = PyUnicode_KIND(name.str);
  const void* d = PyUnicode_DATA(name.str);
  for (const Command& c : kSyntax) {
    if (static_cast<Py_ssize_t>(std::strlen(c.name)) != n) continue;
    Py_ssize_t i = 0;
    while (i < n && PyUnicode_READ(kind, d, name.start + i) == static_cast<Py_UCS4>(c.name[i])) ++i;
    if (i == n) return &c;
  }
  return nullptr;
}

// text.lower() in ("true", "1", "t")
PyObject* truth_text(const Span& text) {
  bool yes = false;
  Py_ssize_t n = text.size();
  if (text.ascii()) {
    const char* s = text.chars();
    char low[4];
    if (n >= 1 && n <= 4) {
      for (Py_ssize_t i = 0; i < n; ++i) low[i] = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] + 32) : s[i];
      yes = (n == 4 && std::memcmp(low, "true", 4) == 0) || (n == 1 && (low[0] == '1' || low[0] == 't'));
    }
  } else {
    Ref str = text.make();
    if (!str) return nullptr;
    Ref low = Ref::steal(PyObject_CallMethodNoArgs(str.get(), KV_ID(lower)));
    if (!low) return nullptr;
    for (const char* w : {"true", "1", "t"})
      if (PyUnicode_Check(low.get()) && PyUnicode_CompareWithASCIIString(low.get(), w) == 0) yes = true;
  }
  return Py_NewRef(yes ? Py_True : Py_False);
}

// int(text): short plain decimals directly, everything else as int() reads it.
PyObject* int_text(const Span& text) {
  Py_ssize_t n = text.size();
  if (text.ascii() && n >= 1 && n <= 18) {
    const char* s = text.chars();
    long long v = 0;
    bool ok = true;
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
      ok = s[i] >= '0' && s[i] <= '9';
      v = v * 10 + (s[i] - '0');
    }
    if (ok) return PyLong_FromLongLong(v);
  }
  Ref str = text.make();
  return str ? PyLong_FromUnicodeObject(str.get(), 10) : nullptr;
}

// The scale factor: a tuple expression, or one number used for both factors.
PyObject* scale_factor(const Span& text) {
  PyObject* v = eval_span(text.str, text.start, text.end);
  if (!v) return nullptr;
  if (PyLong_Check(v) || PyFloat_Check(v)) {
    PyObject* t = PyTuple_Pack(2, v, v);
    Py_DECREF(v);
    return t;
  }
  return v;
}

PyObject* convert_arg(Code code, const Span& text) {
  switch (code) {
    case kTruth: return truth_text(text);
    case kInt: return int_text(text);
    case kExpr: return eval_span(text.str, text.start, text.end);
    case kScale: return scale_factor(text);
    default: break;
  }
  Ref str = text.make();
  if (!str) return nullptr;
  switch (code) {
    case kFloat: return PyFloat_FromString(str.get());
    case kArray: return call_global(KV_ID(str_to_array), {str.get()}).release();
    case kStr: return str.release();
    default: break;
  }
  PyErr_SetString(PyExc_SystemError, "convert_arg: unknown type code");
  return nullptr;
}

// pieces[from, to) joined by ", " (an array text split by the command splitter).
Ref join_pieces(const Pieces& pieces, Py_ssize_t from, Py_ssize_t to) {
  Ref part = Ref::steal(PyList_New(to - from));
  if (!part) return part;
  for (Py_ssize_t i = from; i < to; ++i) {
    Ref p = pieces[i].make();
    if (!p) return p;
    PyList_SET_ITEM(part.get(), i - from, p.release());
  }
  return Ref::steal(PyUnicode_Join(KV_ID(s_comma_space), part.get()));
}

// Interned names of the command targets and the canvas group, made at
// start-up and fixed from then on.
struct CommandNameState {
  PyObject* target[std::size(kSyntax)];
  PyObject* canvas[std::size(kCanvasGroup)];
};
CommandNameState g_command_names = {};
const CommandNameState* names() { return &g_command_names; }

// str(info): the origin label as the report lines show it.
Ref where_of(const Origin& o) {
  Ref label = o.label();
  return label ? str_of(label.get()) : label;
}

// "Error @ <info>:Cmd '<name>' <detail>."
bool report_command(const Origin& o, PyObject* name, PyObject* detail) {
  if (!detail) return false;
  Ref where = where_of(o);
  if (!where) return false;
  return print_concat({KV_ID(s_Error), where.get(), KV_ID(s_Cmd), name, KV_ID(s_quote_space), detail, KV_ID(s_dot)}) == 0;
}

// "Error @ <info>:Arg '<arg>' for '<name>' failed:<e>"
bool report_argument(const Origin& o, PyObject* arg, PyObject* name, PyObject* exc) {
  Ref where = where_of(o);
  if (!where) return false;
  Ref what = str_of(exc);
  if (!what) return false;
  return print_concat({KV_ID(s_Error), where.get(), KV_ID(s_Arg), arg, KV_ID(s_for), name,
                       KV_ID(s_failed), what.get()}) == 0;
}

// Objects whose == is identity (no rich comparison of their own).
bool plain_eq(PyObject* o) { return Py_TYPE(o)->tp_richcompare == PyBaseObject_Type.tp_richcompare; }

// Whether func is one of the canvas targets (-1 on error), as `func in [...]`
// compares. A name that the module does not hold is not in the group.
// `hint` (or null) names the attribute the target was taken from: for objects
// whose == is identity the order of the comparisons does not matter, so that
// entry is tried first.
int in_canvas_group(PyObject* func, PyObject* hint) {
  const CommandNameState* n = names();
  if (!n) return -1;
  PyObject* d = module_dict();
  bool plain = plain_eq(func);
  if (plain && hint) {
    PyObject* v = PyDict_GetItemWithError(d, hint);  // borrowed: nothing runs before the compare
    if (!v && PyErr_Occurred()) return -1;
    if (v == func) return 1;
  }
  for (PyObject* key : n->canvas) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(d, key, &v) < 0) return -1;
    if (!v) continue;
    int eq = (v == func) ? 1 : (plain && plain_eq(v)) ? 0 : PyObject_RichCompareBool(v, func, Py_EQ);
    Py_DECREF(v);
    if (eq != 0) return eq;
  }
  return 0;
}

// Prints "Execution Error @ <info>:<e> in <func.__name__>(...)".
bool report_execution(const Origin& o, PyObject* exc, PyObject* func) {
  Ref where = where_of(o);
  if (!where) return false;
  Ref what = str_of(exc);
  if (!what) return false;
  Ref name = Ref::steal(PyObject_GetAttr(func, KV_ID(dunder_name)));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(name.get())->tp_name);
    return false;
  }
  return print_concat({KV_ID(s_Execution_Error), where.get(), KV_ID(s_colon), what.get(), KV_ID(s_in), name.get(),
                       KV_ID(s_call_ellipsis)}) == 0;
}

// `func, *args = result` into a list nobody else holds.
Ref unpack(PyObject* result) {
  Ref items;
  if (PyList_CheckExact(result) && Py_REFCNT(result) == 1) {
    items = Ref::borrow(result);
  } else {
    Ref it = Ref::steal(PyObject_GetIter(result));
    if (!it) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(result)->tp_name);
      }
      return Ref();
    }
    items = Ref::steal(PySequence_List(it.get()));
    if (!items) return items;
  }
  if (PyList_GET_SIZE(items.get()) == 0) {
    PyErr_SetString(PyExc_ValueError, "not enough values to unpack (expected at least 1, got 0)");
    return Ref();
  }
  return items;
}

// A converted command: the target and its arguments.
struct Converted {
  static constexpr int kMax = 7;
  Ref func;
  PyObject* canvas_hint = nullptr;  // the target's name when it is a canvas name
  Ref args[kMax];
  int n = 0;
};

// Splits, checks and converts a command. 1: converted; 0: an error line was
// printed; -1: an exception propagates.
int convert_into(const Span& cmd, const Origin& origin, Converted* out) {
  Pieces pieces;
  split_command(cmd, &pieces);
  const Command* c = find_command(pieces[0]);
  Py_ssize_t nargs = pieces.size() - 1;

  // An image argument spans the pieces of its array text (dtype, shape, data).
  int array_at = -1;
  if (c)
    for (int k = 0; k < c->n; ++k)
      if (c->codes[k] == kArray) array_at = k;
  bool regroup = array_at >= 0 && nargs > c->n;
  if (!c || (nargs != c->n && !regroup)) {
    Ref name = pieces[0].make();
    if (!name) return -1;
    Ref detail = c ? Ref::steal(PyUnicode_FromFormat("expects %d args, got %zd", c->n, nargs))
                   : Ref::borrow(KV_ID(unknown));
    return report_command(origin, name.get(), detail.get()) ? 0 : -1;
  }

  const CommandNameState* nm = names();
  if (!nm) return -1;
  PyObject* target = nm->target[c - kSyntax];
  out->func = global(target);
  if (!out->func) return -1;
  for (PyObject* key : nm->canvas)
    if (key == target) out->canvas_hint = target;
  Py_ssize_t piece = 1;
  for (int k = 0; k < c->n; ++k) {
    Ref joined;  // the regrouped array text
    Span arg;
    if (regroup && k == array_at) {
      Py_ssize_t span = nargs - c->n + 1;
      joined = join_pieces(pieces, piece, piece + span);
      if (!joined) return -1;
      arg = Span{joined.get(), 0, PyUnicode_GET_LENGTH(joined.get())};
      piece += span;
    } else {
      arg = pieces[piece++];
    }
    out->args[k] = Ref::steal(convert_arg(c->codes[k], arg));
    if (!out->args[k]) {
      Ref exc;
      if (!catch_exception(&exc)) return -1;
      Ref text = arg.make();
      Ref name = pieces[0].make();
      if (!text || !name) return -1;
      return report_argument(origin, text.get(), name.get(), exc.get()) ? 0 : -1;
    }
  }
  out->n = c->n;
  return 1;
}

// Calls func(arr, ts, *args) or func(ts, *args) and reports an Exception.
bool dispatch(PyObject* arr, PyObject* ts, PyObject* func, PyObject* const* args, Py_ssize_t nargs,
              const Origin& origin, PyObject* hint = nullptr) {
  int canvas = in_canvas_group(func, hint);
  Ref ret;
  if (canvas >= 0) {
    constexpr Py_ssize_t kSmall = 16;
    PyObject* small[kSmall + 3];
    std::vector<PyObject*> big;
    PyObject** argv = small + 1;  // a free slot in front: PY_VECTORCALL_ARGUMENTS_OFFSET
    if (nargs + 2 > kSmall) {
      big.resize(static_cast<size_t>(nargs) + 3);
      argv = big.data() + 1;
    }
    Py_ssize_t n = 0;
    if (canvas) argv[n++] = arr;
    argv[n++] = ts;
    for (Py_ssize_t i = 0; i < nargs; ++i) argv[n++] = args[i];
    ret = Ref::steal(PyObject_Vectorcall(func, argv, static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (ret) return true;
  Ref exc;
  if (!catch_exception(&exc)) return false;
  return report_execution(origin, exc.get(), func);
}

}  // namespace

// ---- public routines -------------------------------------------------------------

Ref Origin::label() const {
  if (info) return Ref::borrow(info);
  return Ref::steal(PyUnicode_FromFormat("TVF '%U' line %zd", path, line));
}

PyObject* convert(PyObject* cmd_str, const Origin& origin) {
  Converted c;
  int r = convert_into(Span{cmd_str, 0, PyUnicode_GET_LENGTH(cmd_str)}, origin, &c);
  if (r < 0) return nullptr;
  if (r == 0) Py_RETURN_NONE;
  PyObject* list = PyList_New(1 + c.n);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, c.func.release());
  for (int k = 0; k < c.n; ++k) PyList_SET_ITEM(list, 1 + k, c.args[k].release());
  return list;
}

PyObject* execute(PyObject* arr, PyObject* ts, PyObject* cmd_str, const Origin& origin) {
  return execute_span(arr, ts, cmd_str, 0, PyUnicode_GET_LENGTH(cmd_str), origin);
}

PyObject* execute_span(PyObject* arr, PyObject* ts, PyObject* text, Py_ssize_t start, Py_ssize_t end,
                       const Origin& origin) {
  Span cmd{text, start, end};
  Ref conv = global(KV_ID(draw_command_convert));
  if (!conv) return nullptr;
  if (is_own(conv.get(), "draw_command_convert")) {
    Converted c;
    int r = convert_into(cmd, origin, &c);
    if (r <= 0) return r < 0 ? nullptr : Py_NewRef(Py_None);
    PyObject* args[Converted::kMax];
    for (int k = 0; k < c.n; ++k) args[k] = c.args[k].get();
    if (!dispatch(arr, ts, c.func.get(), args, c.n, origin, c.canvas_hint)) return nullptr;
    Py_RETURN_NONE;
  }
  // a converter bound by the program: its result is taken as it comes
  Ref cmd_str = cmd.make();
  if (!cmd_str) return nullptr;
  Ref label = origin.label();
  if (!label) return nullptr;
  Ref result = call(conv.get(), {arr, ts, cmd_str.get(), label.get()});
  if (!result) return nullptr;
  if (result.get() == Py_None) Py_RETURN_NONE;
  Ref items = unpack(result.get());
  if (!items) return nullptr;
  Ref func = Ref::borrow(PyList_GET_ITEM(items.get(), 0));
  PyObject** rest = PySequence_Fast_ITEMS(items.get()) + 1;
  if (!dispatch(arr, ts, func.get(), rest, PyList_GET_SIZE(items.get()) - 1, origin)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace kv::cmd

namespace kv {
int command_startup() {
  using cmd::kCanvasGroup, cmd::kSyntax;
  cmd::CommandNameState& n = cmd::g_command_names;
  for (size_t i = 0; i < std::size(kSyntax); ++i)
    if (!(n.target[i] = PyUnicode_InternFromString(kSyntax[i].target))) return -1;
  for (size_t i = 0; i < std::size(kCanvasGroup); ++i)
    if (!(n.canvas[i] = PyUnicode_InternFromString(kCanvasGroup[i]))) return -1;
  return 0;
}
}  // namespace kv
