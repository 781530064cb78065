// The restricted expression evaluator of command arguments and array shapes.
// A recursive-descent parser over the UTF-8 text that evaluates as it goes.
// Text that is malformed or refused anywhere fails with that error even when
// an earlier part already failed to evaluate (as compiling before running
// would): the first evaluation error is held back until the end of the text.
// Main thread (or any thread holding the interpreter lock).

#include "command/expr.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "pyapi/namespace.hpp"

namespace kv::cmd {
namespace {

constexpr int kMaxDepth = 200;              // nesting of sub-expressions
constexpr double kMaxIntBits = 65536.0;     // largest int a product or power may make, or % and // divide
constexpr Py_ssize_t kMaxItems = 1 << 20;   // longest str/tuple/list a + or * may make
// All that one expression may build, summed over every value it makes
// (literals, displays, results of operators and slices): items of tuples and
// lists, characters of strs, decimal digits of ints, 1 for anything else;
// integer % and // also count their work. Without it a short text of many
// allowed operations builds gigabytes or runs for seconds.
constexpr double kBudget = 4194304.0;       // 2**22
constexpr double kDigitsPerBit = 0.30103;   // log10(2)

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c) || (static_cast<unsigned char>(c) & 0x80); }
bool is_quote(char c) { return c == '"' || c == '\''; }

bool is_number(PyObject* o) { return PyLong_Check(o) || PyFloat_Check(o) || PyComplex_Check(o); }
bool is_sequence(PyObject* o) {
  return PyUnicode_Check(o) || PyTuple_Check(o) || PyList_Check(o) || PyBytes_Check(o);
}

// Bit length of an int's magnitude (an upper estimate for very large ones); -1 on error.
double int_bits(PyObject* o) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (!overflow) {
    unsigned long long m = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    return m == 0 ? 0.0 : 64.0 - __builtin_clzll(m);
  }
  Py_ssize_t n = PyLong_AsNativeBytes(o, nullptr, 0, -1);
  if (n < 0) return -1;
  return 8.0 * static_cast<double>(n);
}

// What a value counts against the budget (decimal digits of an int, rounded up).
double cost(PyObject* o) {
  if (PyUnicode_Check(o)) return static_cast<double>(PyUnicode_GET_LENGTH(o));
  if (PyTuple_Check(o)) return static_cast<double>(PyTuple_GET_SIZE(o));
  if (PyList_Check(o)) return static_cast<double>(PyList_GET_SIZE(o));
  if (PyBytes_Check(o)) return static_cast<double>(PyBytes_GET_SIZE(o));
  if (PyLong_Check(o)) {
    double bits = int_bits(o);
    if (bits < 0) {
      PyErr_Clear();
      return 1.0;
    }
    return bits * kDigitsPerBit + 1.0;
  }
  return 1.0;
}

void put_utf8(std::string* out, unsigned cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {  // surrogates too: decoded with "surrogatepass"
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of the name `s`: an object, or a stretch of a str made on use.
struct LocalText {
  PyObject* value = nullptr;  // borrowed
  PyObject* owner = nullptr;  // borrowed, with start and end, when value is null
  Py_ssize_t start = 0, end = 0;
  bool present() const { return value || owner; }
  PyObject* get() const { return value ? Py_NewRef(value) : PyUnicode_Substring(owner, start, end); }
};

class Parser {
 public:
  Parser(const char* s, size_t n, LocalText local_s) : p_(s), end_(s + n), local_s_(local_s) {}

  // The value of the whole text (new reference) or nullptr with the error set.
  PyObject* run() {
    skip_blank_lines();
    if (p_ >= end_) return syntax("invalid syntax: empty expression"), nullptr;
    Ref v;
    if (!expr_list(0, &v, false)) return nullptr;
    skip_blank_lines();
    if (p_ < end_) return unexpected(), nullptr;
    if (pending_) {
      PyErr_SetRaisedException(pending_.release());
      return nullptr;
    }
    return v.release();
  }

 private:
  // ---- errors ----------------------------------------------------------------

  bool syntax(const char* what) {
    PyErr_SetString(PyExc_SyntaxError, what);
    return false;
  }
  bool refuse(const char* what) {
    PyErr_Format(PyExc_ValueError, "%s are not allowed in command expressions", what);
    return false;
  }
  // Names the construct that starts at p_ where the expression cannot go on.
  bool unexpected() {
    skip_ws();
    if (p_ >= end_) return syntax("invalid syntax: unexpected end of expression");
    char c = *p_;
    char d = p_ + 1 < end_ ? p_[1] : '\0';
    switch (c) {
      case '(': return refuse("function calls");
      case '.': return refuse("attribute lookups");
      case '{': return refuse("dict and set displays");
      case '*': return refuse("starred expressions");
      case '@': return refuse("matrix products");
      case '|': case '&': case '^': case '~': return refuse("bitwise operators");
      case '<': case '>':
        if (d == c) return refuse("bitwise operators");
        return refuse("comparisons");
      case '!': return refuse("comparisons");
      case '=':
        if (d == '=') return refuse("comparisons");
        return syntax("invalid syntax: unexpected '='");
      case ':':
        if (d == '=') return refuse("assignment expressions");
        return syntax("invalid syntax: unexpected ':'");
      case ')': case ']': case '}': {
        char msg[32];
        PyOS_snprintf(msg, sizeof msg, "unmatched '%c'", c);
        return syntax(msg);
      }
      default: break;
    }
    if (is_ident_start(c)) {
      std::string w = peek_word();
      if (w == "lambda") return refuse("lambda expressions");
      if (w == "for" || w == "async") return refuse("comprehensions");
      if (w == "if" || w == "else") return refuse("conditional expressions");
      if (w == "and" || w == "or" || w == "not" || w == "in" || w == "is") return refuse("boolean and membership operators");
      if (w == "import" || w == "from") return refuse("imports");
      if (w == "await" || w == "yield") return refuse("'await' and 'yield'");
    }
    if (c == '\n' || c == '\r') return syntax("invalid syntax: line break outside brackets");
    return syntax("invalid syntax");
  }

  // Holds back the raised evaluation error; the rest of the text is only checked.
  void fail_eval() {
    if (!pending_) pending_ = Ref::steal(PyErr_GetRaisedException());
    else PyErr_Clear();
  }
  bool evaluating() const { return !pending_; }
  static Ref none() { return Ref::borrow(Py_None); }
  // Stores an evaluation result, or holds back its error.
  void take(PyObject* r, Ref* out) {
    if (!r) {
      fail_eval();
      *out = none();
    } else {
      *out = Ref::steal(r);
    }
  }
  void refuse_value(const char* what, PyObject* o) {
    PyErr_Format(PyExc_ValueError, "%s are not allowed on '%.200s' values in command expressions", what,
                 Py_TYPE(o)->tp_name);
    fail_eval();
  }

  // ---- the budget ------------------------------------------------------------

  static bool over_budget() {
    PyErr_SetString(PyExc_ValueError,
                    "the expression would build too much for a command expression "
                    "(over 4194304 items, characters and digits in all)");
    return false;
  }
  // Whether `units` more still fit; ValueError when not.
  bool affordable(double units) const { return spent_ + units <= kBudget || over_budget(); }
  // Counts a value the expression made; past the budget the evaluation fails
  // (held back like any evaluation error) and the value is dropped.
  void charge(Ref* v) {
    if (!evaluating() || !v->get()) return;
    spent_ += cost(v->get());
    if (spent_ <= kBudget) return;
    over_budget();
    fail_eval();
    *v = none();
  }

  // ---- lexing ----------------------------------------------------------------

  void skip_ws() {
    while (p_ < end_) {
      char c = *p_;
      if (c == ' ' || c == '\t' || c == '\f') {
        ++p_;
      } else if ((c == '\n' || c == '\r') && nest_ > 0) {
        ++p_;
      } else if (c == '\\' && p_ + 1 < end_ && (p_[1] == '\n' || p_[1] == '\r')) {
        p_ += 2;
        if (p_[-1] == '\r' && p_ < end_ && *p_ == '\n') ++p_;
      } else if (c == '#') {
        while (p_ < end_ && *p_ != '\n' && *p_ != '\r') ++p_;
      } else {
        return;
      }
    }
  }
  // Blanks, comments and line breaks before and after the whole text.
  void skip_blank_lines() {
    for (;;) {
      skip_ws();
      if (p_ < end_ && (*p_ == '\n' || *p_ == '\r')) {
        ++p_;
        continue;
      }
      return;
    }
  }
  std::string peek_word() const {
    const char* q = p_;
    while (q < end_ && is_ident_char(*q)) ++q;
    return std::string(p_, q);
  }
  bool at(char c) {
    skip_ws();
    return p_ < end_ && *p_ == c;
  }
  // End of a list: the closer, or for the whole text its end or a line break.
  bool at_close(char closer) {
    skip_ws();
    if (closer) return p_ < end_ && *p_ == closer;
    return p_ >= end_ || *p_ == '\n' || *p_ == '\r';
  }

  // ---- grammar ---------------------------------------------------------------

  struct Depth {
    int* d;
    explicit Depth(int* depth) : d(depth) { ++*d; }
    ~Depth() { --*d; }
  };

  // Values of a list being parsed: a few inline, more on the heap.
  class Items {
   public:
    void push(Ref v) {
      if (n_ < kInline) small_[n_] = std::move(v);
      else more_.push_back(std::move(v));
      ++n_;
    }
    size_t size() const { return n_; }
    Ref& operator[](size_t i) { return i < kInline ? small_[i] : more_[i - kInline]; }

   private:
    static constexpr size_t kInline = 8;
    Ref small_[kInline];
    std::vector<Ref> more_;
    size_t n_ = 0;
  };

  // expr (',' expr)* [','] up to `closer`: one value, a tuple, or a list.
  bool expr_list(char closer, Ref* out, bool make_list) {
    Items items;
    bool comma = false;
    for (;;) {
      if (at_close(closer)) break;
      Ref v;
      if (!expr(&v)) return false;
      items.push(std::move(v));
      if (at(',')) {
        ++p_;
        comma = true;
        continue;
      }
      break;
    }
    if (!evaluating()) {
      *out = none();
      return true;
    }
    if (!make_list && items.size() == 1 && !comma) {
      *out = std::move(items[0]);
      return true;
    }
    Py_ssize_t n = static_cast<Py_ssize_t>(items.size());
    PyObject* seq = make_list ? PyList_New(n) : PyTuple_New(n);
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* it = items[static_cast<size_t>(i)].release();
      if (make_list) PyList_SET_ITEM(seq, i, it);
      else PyTuple_SET_ITEM(seq, i, it);
    }
    *out = Ref::steal(seq);
    charge(out);
    return true;
  }

  // Sums: term (('+' | '-') term)*
  bool expr(Ref* out) {
    Depth guard(&depth_);
    if (depth_ > kMaxDepth) return refuse("expressions nested this deeply");
    if (!term(out)) return false;
    for (;;) {
      skip_ws();
      if (p_ >= end_ || (*p_ != '+' && *p_ != '-')) return true;
      char op = *p_++;
      Ref rhs;
      if (!term(&rhs)) return false;
      binary(op, out, rhs.get());
    }
  }

  // Products: unary (('*' | '/' | '//' | '%') unary)*
  bool term(Ref* out) {
    if (!unary(out)) return false;
    for (;;) {
      skip_ws();
      if (p_ >= end_) return true;
      char op = *p_;
      if (op == '/' && p_ + 1 < end_ && p_[1] == '/') {
        op = 'f';
        p_ += 2;
      } else if ((op == '*' && !(p_ + 1 < end_ && p_[1] == '*')) || op == '/' || op == '%') {
        ++p_;
      } else {
        return true;
      }
      Ref rhs;
      if (!unary(&rhs)) return false;
      binary(op, out, rhs.get());
    }
  }

  // Signs: ('-' | '+') unary | power
  bool unary(Ref* out) {
    Depth guard(&depth_);
    if (depth_ > kMaxDepth) return refuse("expressions nested this deeply");
    skip_ws();
    if (p_ < end_ && (*p_ == '-' || *p_ == '+')) {
      char op = *p_++;
      if (!unary(out)) return false;
      if (!evaluating()) return true;
      PyObject* v = out->get();
      if (!is_number(v) && !is_sequence(v)) {
        refuse_value("signs", v);
        *out = none();
        return true;
      }
      take(op == '-' ? PyNumber_Negative(v) : PyNumber_Positive(v), out);
      charge(out);
      return true;
    }
    if (p_ < end_ && *p_ == '~') return refuse("bitwise operators");
    return power(out);
  }

  // primary ['**' unary] (right-associative through unary)
  bool power(Ref* out) {
    if (!primary(out)) return false;
    skip_ws();
    if (p_ + 1 < end_ && p_[0] == '*' && p_[1] == '*') {
      p_ += 2;
      Ref exp;
      if (!unary(&exp)) return false;
      binary('p', out, exp.get());
    }
    return true;
  }

  // atom followed by subscripts; calls and attribute lookups are refused.
  bool primary(Ref* out) {
    if (!atom(out)) return false;
    for (;;) {
      skip_ws();
      if (p_ >= end_) return true;
      if (*p_ == '[') {
        if (!subscript(out)) return false;
      } else if (*p_ == '(') {
        return refuse("function calls");
      } else if (*p_ == '.') {
        return refuse("attribute lookups");
      } else {
        return true;
      }
    }
  }

  bool atom(Ref* out) {
    skip_ws();
    if (p_ >= end_) return syntax("invalid syntax: unexpected end of expression");
    char c = *p_;
    if (is_digit(c) || (c == '.' && p_ + 1 < end_ && is_digit(p_[1]))) return number(out) && (charge(out), true);
    if (is_quote(c)) return strings(out) && (charge(out), true);
    if (c == '(' || c == '[') {
      char closer = c == '(' ? ')' : ']';
      ++p_;
      ++nest_;
      if (!expr_list(closer, out, c == '[')) return false;
      if (!at(closer)) {
        if (p_ >= end_) return syntax(c == '(' ? "'(' was never closed" : "'[' was never closed");
        return unexpected();
      }
      ++p_;
      --nest_;
      return true;
    }
    if (is_ident_start(c)) return name(out);
    return unexpected();
  }

  // x[key], x[a:b:c], x[k1, k2]
  bool subscript(Ref* value) {
    ++p_;  // '['
    ++nest_;
    std::vector<Ref> keys;
    bool comma = false;
    for (;;) {
      if (at(']')) break;
      Ref k;
      if (!slice_item(&k)) return false;
      keys.push_back(std::move(k));
      if (at(',')) {
        ++p_;
        comma = true;
        continue;
      }
      break;
    }
    if (!at(']')) return p_ >= end_ ? syntax("'[' was never closed") : unexpected();
    ++p_;
    --nest_;
    if (keys.empty()) return syntax("invalid syntax: empty subscript");
    if (!evaluating()) return true;
    Ref key;
    if (keys.size() == 1 && !comma) {
      key = std::move(keys[0]);
    } else {
      PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(keys.size()));
      if (!t) return false;
      for (size_t i = 0; i < keys.size(); ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), keys[i].release());
      key = Ref::steal(t);
    }
    PyObject* v = value->get();
    if (!PyDict_Check(v) && !is_sequence(v)) {
      refuse_value("subscripts", v);
      *value = none();
      return true;
    }
    take(PyObject_GetItem(v, key.get()), value);
    if (PySlice_Check(key.get())) charge(value);  // a slice is a new sequence
    return true;
  }

  // expr, or a slice [lower] ':' [upper] [':' [step]]
  bool slice_item(Ref* out) {
    Ref lo, hi, step;
    if (!at(':')) {
      if (!expr(&lo)) return false;
      if (!at(':')) {
        *out = std::move(lo);
        return true;
      }
    }
    ++p_;  // ':'
    if (p_ < end_ && *p_ == '=') return refuse("assignment expressions");
    skip_ws();
    if (p_ < end_ && *p_ != ':' && *p_ != ',' && *p_ != ']' && !expr(&hi)) return false;
    if (at(':')) {
      ++p_;
      skip_ws();
      if (p_ < end_ && *p_ != ',' && *p_ != ']' && !expr(&step)) return false;
    }
    if (!evaluating()) {
      *out = none();
      return true;
    }
    take(PySlice_New(lo.get(), hi.get(), step.get()), out);
    return true;
  }

  // A name: a constant, `s`, or a global of the module.
  bool name(Ref* out) {
    const char* s = p_;
    while (p_ < end_ && is_ident_char(*p_)) ++p_;
    std::string w(s, p_);
    if (p_ < end_ && is_quote(*p_)) return prefixed_string(w, out) && (charge(out), true);
    if (w == "True" || w == "False" || w == "None") {
      *out = Ref::borrow(w == "True" ? Py_True : w == "False" ? Py_False : Py_None);
      return true;
    }
    static const char* const kKeywords[] = {"and",    "as",   "assert", "async",  "await",    "break",
                                            "class",  "continue", "def", "del",   "elif",     "else",
                                            "except", "finally",  "for", "from",  "global",   "if",
                                            "import", "in",   "is",     "lambda", "nonlocal", "not",
                                            "or",     "pass", "raise",  "return", "try",      "while",
                                            "with",   "yield"};
    for (const char* k : kKeywords) {
      if (w == k) {
        p_ = s;
        if (!unexpected() && PyErr_ExceptionMatches(PyExc_SyntaxError)) {
          PyErr_Clear();
          PyErr_Format(PyExc_ValueError, "the keyword '%s' is not allowed in command expressions", k);
        }
        return false;
      }
    }
    for (char ch : w)
      if (static_cast<unsigned char>(ch) & 0x80) return syntax("invalid character in name (names are ASCII)");
    if (w.size() >= 2 && w[0] == '_' && w[1] == '_') return refuse("names beginning with '__'");
    if (!evaluating()) {
      *out = none();
      return true;
    }
    if (w == "s" && local_s_.present()) {
      take(local_s_.get(), out);
      return true;
    }
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(w.data(), static_cast<Py_ssize_t>(w.size())));
    if (!key) return false;
    PyObject* v = nullptr;
    if (module_dict() && PyDict_GetItemRef(module_dict(), key.get(), &v) < 0) return false;
    if (v) {
      *out = Ref::steal(v);
      return true;
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && PyDict_GetItemRef(builtins, key.get(), &v) < 0) return false;
    if (v) {
      Py_DECREF(v);
      PyErr_Format(PyExc_ValueError, "the built-in name '%U' is not allowed in command expressions", key.get());
    } else {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    }
    fail_eval();
    *out = none();
    return true;
  }

  // ---- literals --------------------------------------------------------------

  // Digits with single underscores between them.
  void digits(const char** q) {
    if (*q >= end_ || !is_digit(**q)) return;
    ++*q;
    while (*q < end_) {
      if (is_digit(**q)) {
        ++*q;
      } else if (**q == '_' && *q + 1 < end_ && is_digit((*q)[1])) {
        *q += 2;
      } else {
        break;
      }
    }
  }

  enum class NumberKind { kInt, kPrefixed, kFloat, kImag };

  // The extent of the number literal at s: its end and kind.
  const char* scan_number(const char* s, NumberKind* kind) {
    const char* q = s;
    *kind = NumberKind::kInt;
    if (*s == '0' && s + 1 < end_ && std::strchr("xXoObB", s[1]) && s[1]) {
      *kind = NumberKind::kPrefixed;
      q = s + 2;
      while (q < end_ && (is_ident_char(*q) && !(static_cast<unsigned char>(*q) & 0x80))) ++q;
      return q;
    }
    digits(&q);
    if (q < end_ && *q == '.') {
      *kind = NumberKind::kFloat;
      ++q;
      digits(&q);
    }
    if (q < end_ && (*q == 'e' || *q == 'E')) {
      const char* e = q + 1;
      if (e < end_ && (*e == '+' || *e == '-')) ++e;
      if (e < end_ && is_digit(*e)) {
        *kind = NumberKind::kFloat;
        q = e;
        digits(&q);
      }
    }
    if (q < end_ && (*q == 'j' || *q == 'J')) {
      *kind = NumberKind::kImag;
      ++q;
    }
    return q;
  }

  // The value of a decimal int literal (underscores removed).
  bool int_value(const std::string& text, Ref* out) {
    if (text.size() > 1 && text[0] == '0' && text.find_first_not_of('0') != std::string::npos)
      return syntax("leading zeros in decimal integer literals are not permitted");
    if (text.size() <= 18) {
      long long v = 0;
      for (char c : text) v = v * 10 + (c - '0');
      return static_cast<bool>(*out = Ref::steal(PyLong_FromLongLong(v)));
    }
    return static_cast<bool>(*out = Ref::steal(PyLong_FromString(text.c_str(), nullptr, 10)));
  }

  bool number(Ref* out) {
    const char* s = p_;
    NumberKind kind;
    const char* q = scan_number(s, &kind);
    if (q < end_ && is_ident_char(*q)) return syntax("invalid decimal literal");
    p_ = q;
    if (kind == NumberKind::kInt && q - s <= 18 && (*s != '0' || q - s == 1)) {
      // the common case: a plain decimal int
      long long v = 0;
      bool plain = true;
      for (const char* c = s; c < q && plain; ++c) {
        plain = *c != '_';
        v = v * 10 + (*c - '0');
      }
      if (plain) return static_cast<bool>(*out = Ref::steal(PyLong_FromLongLong(v)));
    }
    std::string text;
    text.reserve(static_cast<size_t>(q - s));
    for (const char* c = s; c < q; ++c)
      if (*c != '_' || kind == NumberKind::kPrefixed) text.push_back(*c);
    if (kind == NumberKind::kPrefixed) {
      char* endp = nullptr;
      return static_cast<bool>(*out = Ref::steal(PyLong_FromString(text.c_str(), &endp, 0)));
    }
    if (kind == NumberKind::kInt) return int_value(text, out);
    if (kind == NumberKind::kImag) text.pop_back();
    char* endp = nullptr;
    double d = PyOS_string_to_double(text.c_str(), &endp, nullptr);
    if (d == -1.0 && PyErr_Occurred()) return false;
    if (endp != text.c_str() + text.size()) return syntax("invalid decimal literal");
    PyObject* v = kind == NumberKind::kImag ? PyComplex_FromDoubles(0.0, d) : PyFloat_FromDouble(d);
    return static_cast<bool>(*out = Ref::steal(v));
  }

  // A string prefix followed by a quote: r and u are read, f and b refused.
  bool prefixed_string(const std::string& w, Ref* out) {
    bool raw = false, fmt = false, bytes = false, other = w.size() > 2;
    for (char c : w) {
      char l = static_cast<char>(c | 0x20);
      if (l == 'r') raw = true;
      else if (l == 'f') fmt = true;
      else if (l == 'b') bytes = true;
      else if (l != 'u' || w.size() != 1) other = true;
    }
    if (other) return syntax("invalid syntax");
    if (fmt) return refuse("f-strings");
    if (bytes) return refuse("bytes literals");
    std::string acc;
    if (!literal(raw, &acc)) return false;
    return more_strings(&acc, out);
  }

  bool strings(Ref* out) {
    std::string acc;
    if (!literal(false, &acc)) return false;
    return more_strings(&acc, out);
  }

  // Adjacent literals concatenate: 'a' "b" r'c'.
  bool more_strings(std::string* acc, Ref* out) {
    for (;;) {
      skip_ws();
      if (p_ >= end_) break;
      if (is_quote(*p_)) {
        if (!literal(false, acc)) return false;
        continue;
      }
      if ((*p_ == 'r' || *p_ == 'R' || *p_ == 'u' || *p_ == 'U') && p_ + 1 < end_ && is_quote(p_[1])) {
        bool raw = *p_ == 'r' || *p_ == 'R';
        ++p_;
        if (!literal(raw, acc)) return false;
        continue;
      }
      break;
    }
    PyObject* s = PyUnicode_DecodeUTF8(acc->data(), static_cast<Py_ssize_t>(acc->size()), "surrogatepass");
    if (!s) return false;
    *out = Ref::steal(s);
    return true;
  }

  // One quoted literal at p_, its value appended to `out` as UTF-8.
  bool literal(bool raw, std::string* out) {
    char q = *p_;
    bool triple = p_ + 2 < end_ && p_[1] == q && p_[2] == q;
    p_ += triple ? 3 : 1;
    const char* unterminated = triple ? "unterminated triple-quoted string literal" : "unterminated string literal";
    for (;;) {
      if (p_ >= end_) return syntax(unterminated);
      char c = *p_;
      if (c == q) {
        if (!triple) {
          ++p_;
          return true;
        }
        if (p_ + 2 < end_ && p_[1] == q && p_[2] == q) {
          p_ += 3;
          return true;
        }
      } else if (!triple && (c == '\n' || c == '\r')) {
        return syntax(unterminated);
      } else if (c == '\\') {
        if (p_ + 1 >= end_) return syntax(unterminated);
        if (raw) {
          out->push_back('\\');
          out->push_back(p_[1]);
          p_ += 2;
          continue;
        }
        if (!escape(out)) return false;
        continue;
      }
      out->push_back(c);
      ++p_;
    }
  }

  // Reads exactly n hex digits after p_ into *cp.
  bool hex_digits(int n, unsigned* cp) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
      int h = p_ + i < end_ ? hex_value(p_[i]) : -1;
      if (h < 0) return false;
      v = v * 16 + static_cast<unsigned>(h);
    }
    p_ += n;
    *cp = v;
    return true;
  }

  // A backslash escape of a str literal, as Python reads it.
  bool escape(std::string* out) {
    char c = p_[1];
    p_ += 2;
    switch (c) {
      case '\n': return true;
      case '\r':
        if (p_ < end_ && *p_ == '\n') ++p_;
        return true;
      case '\\': case '\'': case '"': out->push_back(c); return true;
      case 'a': out->push_back('\a'); return true;
      case 'b': out->push_back('\b'); return true;
      case 'f': out->push_back('\f'); return true;
      case 'n': out->push_back('\n'); return true;
      case 'r': out->push_back('\r'); return true;
      case 't': out->push_back('\t'); return true;
      case 'v': out->push_back('\v'); return true;
      default: break;
    }
    if (c >= '0' && c <= '7') {
      unsigned v = static_cast<unsigned>(c - '0');
      for (int i = 0; i < 2 && p_ < end_ && *p_ >= '0' && *p_ <= '7'; ++i) v = v * 8 + static_cast<unsigned>(*p_++ - '0');
      put_utf8(out, v);
      return true;
    }
    if (c == 'x' || c == 'u' || c == 'U') {
      int n = c == 'x' ? 2 : c == 'u' ? 4 : 8;
      unsigned cp = 0;
      if (!hex_digits(n, &cp)) {
        PyErr_Format(PyExc_SyntaxError, "(unicode error) truncated \\%c escape", c);
        return false;
      }
      if (cp > 0x10FFFF) return syntax("(unicode error) illegal Unicode character");
      put_utf8(out, cp);
      return true;
    }
    if (c == 'N') return named_escape(out);
    out->push_back('\\');  // not an escape: the backslash stays
    p_ -= 1;
    return true;
  }

  // \N{NAME}: the character database through the unicode-escape codec.
  bool named_escape(std::string* out) {
    const char* start = p_ - 2;
    const char* close = p_ < end_ && *p_ == '{' ? static_cast<const char*>(std::memchr(p_, '}', static_cast<size_t>(end_ - p_))) : nullptr;
    if (!close) return syntax("(unicode error) malformed \\N character escape");
    Ref ch = Ref::steal(PyUnicode_DecodeUnicodeEscape(start, close + 1 - start, "strict"));
    if (!ch) {
      PyObject* exc = PyErr_GetRaisedException();
      Ref text = Ref::steal(PyObject_Str(exc));
      Py_DECREF(exc);
      if (!text) return false;
      PyErr_Format(PyExc_SyntaxError, "(unicode error) %U", text.get());
      return false;
    }
    Py_ssize_t n = 0;
    const char* u = PyUnicode_AsUTF8AndSize(ch.get(), &n);
    if (!u) return false;
    out->append(u, static_cast<size_t>(n));
    p_ = close + 1;
    return true;
  }

  // ---- arithmetic ------------------------------------------------------------

  // The operator as refusal messages name it: "'+'", "'//'" ('f'), "'**'" ('p').
  static const char* operator_name(char op) {
    switch (op) {
      case '+': return "'+'";
      case '-': return "'-'";
      case '*': return "'*'";
      case '/': return "'/'";
      case 'f': return "'//'";
      case '%': return "'%'";
      default: return "'**'";
    }
  }

  // *acc = *acc op rhs, with the size guards; errors are held back.
  void binary(char op, Ref* acc, PyObject* rhs) {
    if (!evaluating()) return;
    PyObject* a = acc->get();
    const char* opname = operator_name(op);
    for (PyObject* o : {a, rhs}) {
      if (!is_number(o) && !is_sequence(o)) {
        PyErr_Format(PyExc_ValueError, "the operator %s is not allowed on '%.200s' values in command expressions",
                     opname, Py_TYPE(o)->tp_name);
        fail_eval();
        *acc = none();
        return;
      }
    }
    if (!guard(op, a, rhs)) {
      fail_eval();
      *acc = none();
      return;
    }
    PyObject* r = nullptr;
    switch (op) {
      case '+': r = PyNumber_Add(a, rhs); break;
      case '-': r = PyNumber_Subtract(a, rhs); break;
      case '*': r = PyNumber_Multiply(a, rhs); break;
      case '/': r = PyNumber_TrueDivide(a, rhs); break;
      case 'f': r = PyNumber_FloorDivide(a, rhs); break;
      case '%': r = PyNumber_Remainder(a, rhs); break;
      default: r = PyNumber_Power(a, rhs, Py_None); break;
    }
    take(r, acc);
    charge(acc);
  }

  static bool too_large() {
    PyErr_SetString(PyExc_ValueError, "the result would be too large for a command expression");
    return false;
  }

  // Refuses results too large to build, or too large for what is left of
  // the budget (false with ValueError set).
  bool guard(char op, PyObject* a, PyObject* b) {
    if (op == '%' && (PyUnicode_Check(a) || PyBytes_Check(a))) {
      PyErr_SetString(PyExc_ValueError, "string formatting is not allowed in command expressions");
      return false;
    }
    if ((op == '%' || op == 'f') && PyLong_Check(a) && PyLong_Check(b)) return guard_division(a, b);
    if (op == '+' && is_sequence(a) && is_sequence(b)) {
      Py_ssize_t la = PyObject_Length(a), lb = PyObject_Length(b);
      if (la < 0 || lb < 0) return false;
      if (la + lb > kMaxItems) return too_large();
      return affordable(static_cast<double>(la + lb));
    }
    if (op == '*') return guard_product(a, b);
    if (op == 'p' && PyLong_Check(a) && PyLong_Check(b)) return guard_power(a, b);
    return true;
  }

  // Integer % and //: operands of bounded size, and the division's work.
  bool guard_division(PyObject* a, PyObject* b) {
    double ba = int_bits(a), bb = int_bits(b);
    if (ba < 0 || bb < 0) return false;
    if (ba > kMaxIntBits || bb > kMaxIntBits) {
      PyErr_SetString(PyExc_ValueError, "the integers would be too large to divide in a command expression");
      return false;
    }
    // Long division takes time in the product of the two lengths (in
    // 30-bit limbs): that work is counted too, an eighth of a unit a step.
    double work = (ba / 30.0 + 1.0) * (bb / 30.0 + 1.0) / 8.0;
    if (!affordable(work)) return false;
    spent_ += work;
    return true;
  }

  // a * b: the digits of an integer product, the items of a repeated sequence.
  bool guard_product(PyObject* a, PyObject* b) {
    bool ia = PyLong_Check(a), ib = PyLong_Check(b);
    if (ia && ib) {
      double ba = int_bits(a), bb = int_bits(b);
      if (ba < 0 || bb < 0) return false;
      if (ba + bb > kMaxIntBits) return too_large();
      return affordable((ba + bb - 1.0) * kDigitsPerBit);
    }
    if (!(ia && is_sequence(b)) && !(ib && is_sequence(a))) return true;
    PyObject* seq = ia ? b : a;
    PyObject* n = ia ? a : b;
    int overflow = 0;
    long long k = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (k == -1 && PyErr_Occurred()) return false;
    Py_ssize_t len = PyObject_Length(seq);
    if (len < 0) return false;
    if (overflow > 0 && len > 0) return too_large();
    if (!overflow && k > 0 && len > 0) {
      double items = static_cast<double>(len) * static_cast<double>(k);
      if (items > kMaxItems) return too_large();
      return affordable(items);
    }
    return true;
  }

  // Integer a ** b: the digits of the power.
  bool guard_power(PyObject* a, PyObject* b) {
    int overflow = 0;
    long long e = PyLong_AsLongLongAndOverflow(b, &overflow);
    if (e == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && e < 2)) return true;  // negative powers are floats
    double bits = int_bits(a);
    if (bits < 0) return false;
    if (bits <= 1.0) return true;  // 0, 1 and -1 stay small
    double e_d = overflow ? 1e300 : static_cast<double>(e);
    if ((bits - 1.0) * e_d > kMaxIntBits) return too_large();
    return affordable((bits - 1.0) * e_d * kDigitsPerBit);
  }

  const char* p_;
  const char* end_;
  LocalText local_s_;
  int depth_ = 0;
  int nest_ = 0;  // open brackets: line breaks inside them are blanks
  Ref pending_;   // the first evaluation error, raised at the end
  double spent_ = 0;  // of the budget, by the values made so far
};

}  // namespace

namespace {

PyObject* eval_source(const char* src, Py_ssize_t n, bool wrapped, LocalText local_s) {
  if (std::memchr(src, '\0', static_cast<size_t>(n))) {
    PyErr_SetString(PyExc_SyntaxError, "source code string cannot contain null bytes");
    return nullptr;
  }
  if (!wrapped) {
    // eval() drops leading blanks and tabs of a source string
    while (n > 0 && (*src == ' ' || *src == '\t')) ++src, --n;
    Parser p(src, static_cast<size_t>(n), local_s);
    return p.run();
  }
  // "(" + text + ")" read as one expression list
  char small[256];
  std::string big;
  char* buf = small;
  if (n + 2 > static_cast<Py_ssize_t>(sizeof small)) {
    big.resize(static_cast<size_t>(n) + 2);
    buf = big.data();
  }
  buf[0] = '(';
  std::memcpy(buf + 1, src, static_cast<size_t>(n));
  buf[n + 1] = ')';
  Parser p(buf, static_cast<size_t>(n) + 2, local_s);
  return p.run();
}

}  // namespace

PyObject* eval_expr(PyObject* text, bool wrapped, PyObject* local_s) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "expression text must be str, not %.200s", Py_TYPE(text)->tp_name);
    return nullptr;
  }
  Py_ssize_t n = 0;
  const char* src = PyUnicode_AsUTF8AndSize(text, &n);
  if (!src) return nullptr;
  LocalText s;
  s.value = local_s;
  return eval_source(src, n, wrapped, s);
}

PyObject* eval_span(PyObject* owner, Py_ssize_t start, Py_ssize_t end) {
  LocalText s;
  s.owner = owner;
  s.start = start;
  s.end = end;
  if (PyUnicode_IS_ASCII(owner)) {
    const char* data = static_cast<const char*>(PyUnicode_DATA(owner));
    return eval_source(data + start, end - start, true, s);
  }
  Ref text = Ref::steal(PyUnicode_Substring(owner, start, end));
  if (!text) return nullptr;
  Py_ssize_t n = 0;
  const char* src = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!src) return nullptr;
  s = LocalText();
  s.value = text.get();
  return eval_source(src, n, true, s);
}

}  // namespace kv::cmd
