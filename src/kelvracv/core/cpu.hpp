// The processor's features the native kernels choose by, asked once (any
// thread, no Python). The kernels pick their wide forms with wide_kernels(),
// which KELVRACV_NO_AVX2 turns off.
#pragma once

namespace kv::cpu {

bool avx();
bool avx2();
// AVX2 with fused multiply-add (FMA3): the instruction set of the OpenCV
// float kernels the region warp reproduces.
bool avx2_fma();
// AVX2 kernels in use: the processor has AVX2 and KELVRACV_NO_AVX2 is off.
bool wide_kernels();

}  // namespace kv::cpu
