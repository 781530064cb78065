// The processor's features (see cpu.hpp), asked once through the compiler's
// CPU detection; any thread (thread-safe statics), no Python.

#include "core/cpu.hpp"

#include "core/switches.hpp"

namespace kv::cpu {
namespace {

struct Features {
  bool avx = false, avx2 = false, fma = false;
  Features() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    avx = __builtin_cpu_supports("avx");
    avx2 = __builtin_cpu_supports("avx2");
    fma = __builtin_cpu_supports("fma");
#endif
  }
};

const Features& features() {
  static const Features f;
  return f;
}

}  // namespace

bool avx() { return features().avx; }
bool avx2() { return features().avx2; }
bool avx2_fma() { return features().avx2 && features().fma; }
bool wide_kernels() { return features().avx2 && !no_avx2(); }

}  // namespace kv::cpu
