// Environment switches: those read by native code that runs without the
// interpreter (kernel choices; read once, at first use; any thread), and
// KELVRACV_QUIET (read through the module's os.environ at each use, with the
// interpreter lock held).
#pragma once

namespace kv {

// KELVRACV_NO_AVX2: the portable kernels instead of the AVX2 ones (the tests
// run both). As with the module's other switches, blanks around the value are
// ignored and an empty value or "0" leaves it off.
bool no_avx2();

// KELVRACV_QUIET: the lines the library prints when all goes well (the
// import's line, the sound progress lines, the recording's summary, the web
// page's address) are left out; warnings and errors are not. On unless unset,
// blank or "0", "false", "no", "off". -1 with an exception set on error.
int quiet();

}  // namespace kv
