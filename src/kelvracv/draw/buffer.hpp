// The drawing code's one small-vector type: a growable array that lives on
// the stack up to N elements and moves to the heap beyond. Holds no Python
// object; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace kv::draw {

// Most shapes have a few hundred points at most, and a drawing call then
// allocates nothing for them. N stays small (a few KB per frame), since a
// drawing call can be re-entered from Python code it runs (a __float__, a
// graph function). std::bad_alloc escapes from growth; the public routines
// turn it into MemoryError (detail::guarded).
template <typename T, size_t N>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are copied as bytes and never destroyed");

 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  T* data() { return p_; }
  const T* data() const { return p_; }
  T* begin() { return p_; }
  T* end() { return p_ + n_; }
  size_t size() const { return n_; }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }
  T& back() { return p_[n_ - 1]; }
  // Resizes without initialising new elements (the caller writes them all).
  void resize_for_overwrite(size_t n) {
    reserve(n);
    n_ = n;
  }
  // Room for k more elements at the end, not initialised.
  T* extend(size_t k) {
    if (n_ + k > cap_) grow(n_ + k);
    T* at = p_ + n_;
    n_ += k;
    return at;
  }
  void push_back(const T& v) { *extend(1) = v; }
  // A new value-initialised element at the end.
  T& emplace_back() { return *new (extend(1)) T(); }
  void pop_back() { n_--; }
  void reserve(size_t n) {
    if (n > cap_) grow(n);
  }

 private:
  // New room, left uninitialised as the in-place room is: the elements are
  // copied as bytes.
  void grow(size_t n) {
    size_t cap = n > 2 * cap_ ? n : 2 * cap_;
    if (cap > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    std::unique_ptr<unsigned char[]> h(new unsigned char[cap * sizeof(T)]);
    if (n_) std::memcpy(h.get(), p_, n_ * sizeof(T));
    heap_ = std::move(h);
    p_ = reinterpret_cast<T*>(heap_.get());
    cap_ = cap;
  }
  // In-place room, left uninitialised: elements come into being as they are written.
  alignas(T) unsigned char inline_[N * sizeof(T)];
  std::unique_ptr<unsigned char[]> heap_;  // operator new[]: aligned for any element
  T* p_ = reinterpret_cast<T*>(inline_);
  size_t n_ = 0, cap_ = N;
};

}  // namespace kv::draw
