// Environment switches for the native kernels (see switches.hpp).

#include "core/switches.hpp"

#include "pyapi/namespace.hpp"

#include <cstdlib>
#include <cstring>

namespace kv {
namespace {

// A switch's value is on unless it is unset, blank or "0" (blanks around it ignored).
bool switch_on(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return false;
  while (*v == ' ' || *v == '\t' || *v == '\n' || *v == '\r') v++;
  size_t n = std::strlen(v);
  while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\t' || v[n - 1] == '\n' || v[n - 1] == '\r')) n--;
  return n > 0 && !(n == 1 && v[0] == '0');
}

}  // namespace

bool no_avx2() {
  static const bool on = switch_on("KELVRACV_NO_AVX2");
  return on;
}

int quiet() { return environ_flag("KELVRACV_QUIET"); }

}  // namespace kv
