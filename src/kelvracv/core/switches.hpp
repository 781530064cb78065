// Environment switches read by native code that runs without the interpreter
// (kernel choices). Read once, at first use; any thread.
#pragma once

namespace kv {

// KELVRACV_NO_AVX2: the portable kernels instead of the AVX2 ones (the tests
// run both). As with the module's other switches, blanks around the value are
// ignored and an empty value or "0" leaves it off.
bool no_avx2();

}  // namespace kv
