// AVX2 helpers shared by the compositing kernels of blit and of text.
// x86-64 only; callers are AVX2 functions chosen at run time. No Python;
// any thread.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

namespace kv::image {

// Eight B, G, R, A pixels (one 32-byte register, four per 128-bit lane)
// packed down to 24 B, G, R bytes at out.
__attribute__((target("avx2"))) inline void store24(uint8_t* out, __m256i bgra) {
  const __m256i drop_alpha = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                              0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bgra, drop_alpha), join);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
}

}  // namespace kv::image
#endif
