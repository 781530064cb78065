// Scan conversion of lines, rectangles, polylines, filled polygons and
// ellipses straight into an 8-bit, 3-channel, row-contiguous canvas, pixel for
// pixel as OpenCV 5.1.0's drawing functions write them (same fixed-point
// arithmetic, same clipping, same edge rules), so that a drawing call can skip
// the trip through cv2 when the canvas is a plain BGR image.
// Holds no Python object; any thread, no interpreter lock needed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::draw::raster {

// The canvas: `height` rows of `width` pixels of 3 bytes, `step` bytes apart.
struct Canvas {
  uint8_t* data;
  int width, height;
  size_t step;
};

// The colour as written into a pixel, (B, G, R, 0), and sixteen such pixels
// in a row for row fills. Made by make_color.
struct Color {
  uint8_t c[4];
  uint8_t run[48];
};
Color make_color(uint8_t b, uint8_t g, uint8_t r);

// Drawing that changed between the OpenCV releases the routines follow (set
// once at start-up from the OpenCV profile; the latest behaviour by default).
struct ReleaseBehaviour {
  // 4.13 on: a thick line of whole-pixel ends outside the canvas is clipped
  // to the canvas widened by the thickness before its band is made, and a
  // thin line of fractional ends is rounded to whole pixels when it is
  // 8-connected (before: when it is 4-connected).
  bool since_4_13 = true;
};
void set_release_behaviour(const ReleaseBehaviour& b);

// The largest thickness OpenCV accepts.
constexpr int kMaxThickness = 32767;
// OpenCV's line types: 4- and 8-connected and antialiased lines.
constexpr int kLine4 = 4, kLine8 = 8, kLineAA = 16;
// Whether `lt` is a line type the routines below draw (0 and 1 are OpenCV's
// aliases of 8 and 4; other values make OpenCV raise).
inline bool known_line_type(long lt) { return lt == 0 || lt == 1 || lt == kLine4 || lt == kLine8 || lt == kLineAA; }

// cv::line(img, p1, p2, color, thickness, line_type): 1 <= thickness <= kMaxThickness.
void line(const Canvas& img, int x1, int y1, int x2, int y2, const Color& color, int thickness, int line_type);

// cv::rectangle(img, p1, p2, color, thickness, line_type): thickness < 0 fills,
// thickness <= kMaxThickness.
void rectangle(const Canvas& img, int x1, int y1, int x2, int y2, const Color& color, int thickness,
               int line_type);

// Every pixel of the canvas in `color`: cv::rectangle(img, (0, 0), (w, h),
// color, -1) of the whole canvas, which fills every row from end to end.
void fill_all(const Canvas& img, const Color& color);

// cv::polylines(img, [pts], closed, color, thickness, line_type) for one
// contour of n points (xy holds 2n ints): 0 <= thickness <= kMaxThickness.
void polylines(const Canvas& img, const int* xy, int n, bool closed, const Color& color, int thickness,
               int line_type);

// cv::fillPoly(img, [pts], color, line_type) for one contour of n >= 1 points.
void fill_poly(const Canvas& img, const int* xy, int n, const Color& color, int line_type);

// cv::ellipse(img, center, axes, angle, start, end, color, thickness,
// line_type) with the angles already rounded as OpenCV rounds them (cv_round):
// axes >= 0, thickness <= kMaxThickness (negative fills).
void ellipse(const Canvas& img, int cx, int cy, int ax, int ay, int angle, int start, int end, const Color& color,
             int thickness, int line_type);

// OpenCV's cvRound on x86-64: round half to even, values above INT_MAX give
// INT_MAX, below INT_MIN (and NaN) as the processor's conversion gives them.
int cv_round(double v);

}  // namespace kv::draw::raster
