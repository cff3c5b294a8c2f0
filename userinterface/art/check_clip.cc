#include "check_clip.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vexmor::art {
namespace {

struct Colour {
  std::uint8_t r, g, b;
};
constexpr Colour kBackground{0xee, 0xee, 0xec};
constexpr Colour kPaper{0xff, 0xff, 0xf6};
constexpr Colour kInk{0x1f, 0x3f, 0x8f};
constexpr Colour kLines{0x9a, 0xa8, 0xc8};
constexpr Colour kGlass{0xc8, 0xe4, 0xf4};
constexpr Colour kRim{0x40, 0x40, 0x48};
constexpr Colour kTick{0x20, 0xa0, 0x30};

class Canvas {
 public:
  Canvas(int width, int height) : width_(width), height_(height), rgb_(width * height * 3) {}

  void Put(int x, int y, Colour c) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    std::uint8_t* p = &rgb_[(y * width_ + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }
  Colour Get(int x, int y) const {
    const std::uint8_t* p = &rgb_[(y * width_ + x) * 3];
    return {p[0], p[1], p[2]};
  }
  bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }

  void Fill(int x0, int y0, int x1, int y1, Colour c) {
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) Put(x, y, c);
    }
  }

  void Line(int x0, int y0, int x1, int y1, Colour c, int thickness = 1) {
    const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
    for (int i = 0; i <= steps; ++i) {
      const int x = x0 + (steps == 0 ? 0 : (x1 - x0) * i / steps);
      const int y = y0 + (steps == 0 ? 0 : (y1 - y0) * i / steps);
      Fill(x, y, x + thickness - 1, y + thickness - 1, c);
    }
  }

  std::vector<std::uint8_t> Take() { return std::move(rgb_); }

 private:
  int width_;
  int height_;
  std::vector<std::uint8_t> rgb_;
};

void Envelope(Canvas& canvas, int scanned_to) {
  const int left = 22, top = 10, right = 82, bottom = 46;
  canvas.Fill(left, top, right, bottom, kPaper);
  for (int x = left; x <= right; ++x) {
    canvas.Put(x, top, kInk);
    canvas.Put(x, bottom, kInk);
  }
  for (int y = top; y <= bottom; ++y) {
    canvas.Put(left, y, kInk);
    canvas.Put(right, y, kInk);
  }
  canvas.Line(left, top, (left + right) / 2, top + 18, kInk);
  canvas.Line(right, top, (left + right) / 2, top + 18, kInk);
  for (int row = 0; row < 3; ++row) {  // the address lines
    const int y = 33 + 4 * row;
    canvas.Line(40, y, 66 - 6 * row, y, kLines);
  }
  if (scanned_to > right) {  // the whole envelope was looked at: a tick in the corner
    canvas.Line(70, 34, 74, 39, kTick, 2);
    canvas.Line(74, 39, 80, 28, kTick, 2);
  }
}

void Glass(Canvas& canvas, int cx, int cy) {
  const int radius = 11;
  for (int y = cy - radius - 2; y <= cy + radius + 2; ++y) {
    for (int x = cx - radius - 2; x <= cx + radius + 2; ++x) {
      const double d = std::hypot(x - cx, y - cy);
      if (d <= radius - 1) {
        // The lens tints what lies under it.
        if (!canvas.Inside(x, y)) continue;
        const Colour under = canvas.Get(x, y);
        canvas.Put(x, y,
                   {static_cast<std::uint8_t>((under.r + kGlass.r) / 2),
                    static_cast<std::uint8_t>((under.g + kGlass.g) / 2),
                    static_cast<std::uint8_t>((under.b + kGlass.b) / 2)});
      } else if (d <= radius + 1.2) {
        canvas.Put(x, y, kRim);
      }
    }
  }
  canvas.Line(cx + 8, cy + 8, cx + 16, cy + 16, kRim, 3);  // the handle
}

}  // namespace

std::vector<RgbFrame> DrawCheckClip() {
  std::vector<RgbFrame> frames;
  for (int i = 0; i < kClipFrames; ++i) {
    Canvas frame(kClipWidth, kClipHeight);
    frame.Fill(0, 0, kClipWidth - 1, kClipHeight - 1, kBackground);
    // Twelve frames sweep from left to right; the last four rest with the tick shown.
    const int sweep = std::min(i, 11);
    const int cx = 22 + sweep * 64 / 11;
    Envelope(frame, i >= 12 ? kClipWidth : cx);
    if (i < 12) Glass(frame, cx, 24);
    frames.push_back({frame.Take()});
  }
  return frames;
}

std::vector<std::uint8_t> DrawDialogIcon() {
  Canvas canvas(16, 16);
  std::vector<std::uint8_t> alpha(16 * 16, 0);
  const int left = 1, top = 3, right = 14, bottom = 12;
  canvas.Fill(left, top, right, bottom, kPaper);
  canvas.Line(left, top, right, top, kInk);
  canvas.Line(left, bottom, right, bottom, kInk);
  canvas.Line(left, top, left, bottom, kInk);
  canvas.Line(right, top, right, bottom, kInk);
  canvas.Line(left, top, 7, 8, kInk);
  canvas.Line(right, top, 8, 8, kInk);
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x) alpha[y * 16 + x] = 0xff;
  }
  const std::vector<std::uint8_t> rgb = canvas.Take();
  std::vector<std::uint8_t> rgba(16 * 16 * 4);
  for (int i = 0; i < 16 * 16; ++i) {
    rgba[i * 4 + 0] = rgb[i * 3 + 0];
    rgba[i * 4 + 1] = rgb[i * 3 + 1];
    rgba[i * 4 + 2] = rgb[i * 3 + 2];
    rgba[i * 4 + 3] = alpha[i];
  }
  return rgba;
}

}  // namespace vexmor::art
