// The KELVRACV_* switches' reading rule (see switches.hpp) and the kernel
// switches, read once with getenv (no Python; any thread); KELVRACV_QUIET
// through the module's os.environ (interpreter lock held).

#include "core/switches.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "pyapi/namespace.hpp"

namespace kv {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The value without the blanks around it.
void trim(const char** text, size_t* n) {
  while (*n > 0 && blank(**text)) ++*text, --*n;
  while (*n > 0 && blank((*text)[*n - 1])) --*n;
}

// Whether text[0, n) is `word`, letter case ignored (ASCII).
bool is_word(const char* text, size_t n, const char* word) {
  if (std::strlen(word) != n) return false;
  for (size_t i = 0; i < n; i++) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

bool env_on(const char* name) {
  const char* v = std::getenv(name);
  return v && switch_on(v, std::strlen(v));
}

}  // namespace

bool switch_on(const char* text, size_t n) {
  if (!text) return false;
  trim(&text, &n);
  for (const char* off : {"", "0", "false", "no", "off"})
    if (is_word(text, n, off)) return false;
  return true;
}

int switch_word(const char* text, size_t n, const char* const* words) {
  if (!text) return -1;
  trim(&text, &n);
  for (int i = 0; words[i]; i++)
    if (n > 0 && is_word(text, n, words[i])) return i;
  return -1;
}

bool no_avx2() {
  static const bool on = env_on("KELVRACV_NO_AVX2");
  return on;
}

int text_tables() {
  static const int policy = [] {
    static const char* const kWords[] = {"always", "never", nullptr};
    const char* v = std::getenv("KELVRACV_TEXT_TABLES");
    const int w = v ? switch_word(v, std::strlen(v), kWords) : -1;
    return w == 0 ? 1 : w == 1 ? -1 : 0;
  }();
  return policy;
}

int quiet() { return environ_flag("KELVRACV_QUIET"); }

int headless() {
  int web = serving_web();
  return web ? web : environ_flag("KELVRACV_HEADLESS");
}

int serving_web() {
  Ref target = environ_text("KELVRACV_WEB");
  if (!target) return -1;
  return target.get() != Py_None;
}

}  // namespace kv
