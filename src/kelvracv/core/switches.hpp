// The KELVRACV_* environment switches: one reading rule for all of them.
// The parsers here take the value's text and touch no Python object; the
// kernel switches are read with getenv, once, at first use (any thread),
// the run settings through the module's os.environ (pyapi/namespace.hpp,
// which parses the text with switch_on) and the Python glue through the
// module's __switch_on__. KELVRACV_QUIET is read through the module's
// os.environ at each use, with the interpreter lock held.
#pragma once

#include <cstddef>

namespace kv {

// The rule for an on/off switch: blanks around the value and letter case
// are ignored; unset, empty, "0", "false", "no" and "off" are off; "1",
// "true", "yes" and "on" are on, and so is any other value (a switch set to
// a word it does not know is taken as set, as most tools read such flags).
bool switch_on(const char* text, size_t n);

// A word switch: the index of the value (blanks and case ignored) in
// `words` (null-terminated list), -1 when unset, blank or another word (the
// switch's default then applies).
int switch_word(const char* text, size_t n, const char* const* words);

// KELVRACV_NO_AVX2: the portable kernels instead of the AVX2 ones (the tests
// run both), and the native warp off where it reproduces AVX2 kernels.
bool no_avx2();

// KELVRACV_TEXT_TABLES: 1 for "always" (a colour's blend tables made at its
// first draw), -1 for "never", 0 otherwise (made when a colour comes back).
int text_tables();

// KELVRACV_QUIET: the lines the library prints when all goes well (the
// import's line, the sound progress lines, the recording's summary, the web
// page's address) are left out; warnings and errors are not. By the rule of
// switch_on. -1 with an exception set on error.
int quiet();

// KELVRACV_HEADLESS: no window, no listener, no window calls in the loop;
// KELVRACV_WEB implies it. Read through the module's os.environ at each
// call; -1 with an exception set on error.
int headless();

// KELVRACV_WEB=[HOST:]PORT set (not blank): the frames go to a web page.
// -1 with an exception set on error.
int serving_web();

}  // namespace kv
