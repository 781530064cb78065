// Alpha compositing of an image drawn in one colour (text): every pixel is
// transparent or of that colour with some alpha. blit's compositing gives
// canvas * (1.0 - a / 255.0) + b * (a / 255.0), truncated, per channel; with
// one colour value b per channel the result depends on (a, canvas value)
// alone, so a table of 256 x 256 bytes per colour value, computed once with
// that very expression (blend.hpp), answers every pixel with one load per
// channel. A pixel of another colour is still blended exactly, only slower.
#pragma once

#include <cstdint>

#include "image/composite.hpp"

namespace kv::image {

struct ValueTable;

// The tables of one colour (B, G, R, each 0-255), chosen with the
// interpreter lock held and kept from being remade while this object lives
// (so compositing may run with the lock let go); it must also be destroyed
// with the lock held. Tables are made for a colour the second time it is
// drawn and kept for the last few colour values (see tinted.cpp); until then
// ready() is false and the caller composites with composite_alpha.
class TintTables {
 public:
  explicit TintTables(const uint8_t bgr[3]);
  ~TintTables();
  TintTables(const TintTables&) = delete;
  TintTables& operator=(const TintTables&) = delete;
  bool ready() const { return t_[0] != nullptr; }
  // Four channels (B, G, R, alpha) over a packed three-channel canvas
  // (col_stride 3, channel_stride 1), the rows of `r` (no quad), each pixel
  // as composite_alpha gives it. No Python; any thread.
  void composite(WarpedRows& src, const CanvasView& dst, const Region& r) const;

 private:
  ValueTable* t_[3] = {nullptr, nullptr, nullptr};
  uint32_t colour_ = 0;
};

}  // namespace kv::image
