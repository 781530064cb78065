// Work on raw bytes with the interpreter lock let go, so that other threads
// run (and draw) meanwhile. The caller has read and validated everything it
// needs from Python objects first and holds a reference to every array whose
// bytes the work touches (an array referenced elsewhere cannot be resized,
// and NumPy's buffers live as long as their array). Inside, nothing touches
// a Python object: no Ref is made or dropped, no C API is called. Drawing
// into the same canvas from two threads at once gives an unspecified mix of
// their pixels, never a crash.
#pragma once

#include "pyapi/ref.hpp"

namespace kv {

// Whether `work` (in the unit the caller's constant counts) is enough to let
// the lock go: letting it go and taking it back costs well under a
// microsecond when no other thread wants it, but a thread waiting for it
// needs 20-35 us to wake and take it (bench/bench_threads.py measures it
// and the work per pixel), so shorter work keeps it and is done before a
// waiter could run.
inline bool worth_unlocking(double work, double threshold) { return work >= threshold; }

// The lock let go for the scope of the object when `release` is true.
class Unlocked {
 public:
  explicit Unlocked(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~Unlocked() {
    if (state_) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Runs f() with the lock let go when `work` reaches `threshold`.
template <class F>
void run_unlocked(double work, double threshold, F&& f) {
  Unlocked scope(worth_unlocking(work, threshold));
  f();
}

}  // namespace kv
