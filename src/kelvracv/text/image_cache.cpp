// The text image cache (see image_cache.hpp): a short vector scanned by hash.

#include "text/image_cache.hpp"

#include <vector>

#include "pyapi/numpy.hpp"
#include "text/font_watch.hpp"

namespace kv::text {
namespace {

// A few screens of text at most: entries, and bytes of image data.
constexpr size_t kMaxEntries = 128;
constexpr size_t kMaxBytes = size_t{4} << 20;
// Keys rendered once and not kept, remembered by hash (one slot per value of
// the hash's low bits, a newer key taking the slot): a text is kept the
// second time it is rendered, so a string drawn once (a counter, a clock)
// costs the cache nothing.
constexpr size_t kSeen = 256;

struct Entry {
  Py_hash_t hash;
  Ref content;
  PyObject* font;  // watched: the entries of a font go when it is freed
  Ref core, image, text_h;
  long long size;
  long bgr[3];
  uint64_t epoch;
  uint64_t used;
  size_t bytes;
};

// Never destroyed: the process's exit runs after the interpreter is gone.
// The one text image cache: at most kMaxEntries entries and kMaxBytes of
// image data, each kept at its key's second rendering; the least recently
// used entry goes first (drop_at), and every entry of a font goes when the
// font is freed.
struct ImageCacheState {
  std::vector<Entry> entries;
  size_t bytes = 0;
  uint64_t clock = 0;
  Py_hash_t seen[kSeen] = {};  // hashes of keys rendered once, by their low bits (0: none)
};
ImageCacheState& g_cache = *new ImageCacheState();

Py_hash_t key_hash(const TextImageKey& k) {
  Py_hash_t h = PyObject_Hash(k.content);  // an exact str: cached, cannot fail
  if (h == -1) {
    PyErr_Clear();
    h = 0;
  }
  auto mix = [&h](uint64_t v) { h = static_cast<Py_hash_t>(static_cast<uint64_t>(h) * 1000003u ^ v); };
  mix(reinterpret_cast<uintptr_t>(k.font));
  mix(static_cast<uint64_t>(k.size));
  for (long c : k.bgr) mix(static_cast<uint64_t>(c));
  return h;
}

bool same(const Entry& e, Py_hash_t h, const TextImageKey& k) {
  if (e.hash != h || e.font != k.font || e.core.get() != k.core || e.size != k.size) return false;
  for (int i = 0; i < 3; i++)
    if (e.bgr[i] != k.bgr[i]) return false;
  return e.content.get() == k.content || PyUnicode_Compare(e.content.get(), k.content) == 0;
}

// Moves entry i out of the cache into `dropped` (released by the caller, once
// the cache is whole again: releasing may run Python code).
void drop_at(size_t i, std::vector<Entry>* dropped) {
  g_cache.bytes -= g_cache.entries[i].bytes;
  dropped->push_back(std::move(g_cache.entries[i]));
  g_cache.entries[i] = std::move(g_cache.entries.back());
  g_cache.entries.pop_back();
}

// drop_at for every entry `pred` holds true of.
template <class Pred>
void drop_where(Pred pred, std::vector<Entry>* dropped) {
  for (size_t i = 0; i < g_cache.entries.size();) {
    if (pred(g_cache.entries[i]))
      drop_at(i, dropped);
    else
      i++;
  }
}

}  // namespace

bool cacheable_colour(PyObject* bgr, TextImageKey* key) {
  if (!PyTuple_CheckExact(bgr) || PyTuple_GET_SIZE(bgr) != 3) return false;
  for (int i = 0; i < 3; i++) {
    PyObject* c = PyTuple_GET_ITEM(bgr, i);
    if (!PyLong_CheckExact(c)) return false;
    int overflow = 0;
    key->bgr[i] = PyLong_AsLongAndOverflow(c, &overflow);
    if (overflow || (key->bgr[i] == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

bool text_image_get(const TextImageKey& key, uint64_t epoch, Ref* image, Ref* text_h) {
  const Py_hash_t h = key_hash(key);
  for (Entry& e : g_cache.entries) {
    if (!same(e, h, key)) continue;
    if (e.epoch != epoch) return false;  // made before something was rebound
    e.used = ++g_cache.clock;
    *image = e.image;
    *text_h = e.text_h;
    return true;
  }
  return false;
}

bool text_image_wanted(const TextImageKey& key) {
  Py_hash_t h = key_hash(key);
  if (h == 0) h = 1;
  // One slot per hash's low bits: a key found there was rendered lately.
  Py_hash_t& slot = g_cache.seen[static_cast<size_t>(h) % kSeen];
  if (slot == h) return true;
  slot = h;
  return false;
}

void text_image_put(const TextImageKey& key, uint64_t epoch, PyObject* image, PyObject* text_h) {
  if (!PyArray_Check(image)) return;
  const size_t bytes = static_cast<size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(image)));
  if (bytes > kMaxBytes / 4) return;  // a huge text is rare and cheap to render again by comparison
  if (!watch_font(key.font)) return;
  const Py_hash_t h = key_hash(key);
  // Entries released here may run Python code: collect them, drop them last.
  std::vector<Entry> dropped;
  drop_where([&](const Entry& e) { return same(e, h, key) || e.epoch != epoch; }, &dropped);
  while (!g_cache.entries.empty() && (g_cache.entries.size() >= kMaxEntries || g_cache.bytes + bytes > kMaxBytes)) {
    size_t oldest = 0;
    for (size_t i = 1; i < g_cache.entries.size(); i++)
      if (g_cache.entries[i].used < g_cache.entries[oldest].used) oldest = i;
    drop_at(oldest, &dropped);
  }
  g_cache.entries.push_back(Entry{h, Ref::borrow(key.content), key.font, Ref::borrow(key.core), Ref::borrow(image),
                            Ref::borrow(text_h), key.size, {key.bgr[0], key.bgr[1], key.bgr[2]}, epoch, ++g_cache.clock,
                            bytes});
  g_cache.bytes += bytes;
}

void forget_font_images(PyObject* font) {
  std::vector<Entry> dropped;  // released after the vector is whole again
  drop_where([&](const Entry& e) { return e.font == font; }, &dropped);
}

}  // namespace kv::text
