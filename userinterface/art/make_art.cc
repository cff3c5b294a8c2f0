// Draws the animation of the check-for-spam progress dialog and writes it as a looping GIF:
// an envelope that a magnifying glass sweeps across, leaving a tick once the sweep has passed.
// Run by the build: make_art OUTPUT.gif
#include <wx/anidecod.h>
#include <wx/image.h>
#include <wx/imaggif.h>
#include <wx/init.h>
#include <wx/quantize.h>
#include <wx/wfstream.h>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kWidth = 104;
constexpr int kHeight = 56;
constexpr int kFrames = 16;
constexpr int kDelayMs = 90;

struct Colour {
  unsigned char r, g, b;
};
constexpr Colour kBackground{0xee, 0xee, 0xec};
constexpr Colour kPaper{0xff, 0xff, 0xf6};
constexpr Colour kInk{0x1f, 0x3f, 0x8f};
constexpr Colour kLines{0x9a, 0xa8, 0xc8};
constexpr Colour kGlass{0xc8, 0xe4, 0xf4};
constexpr Colour kRim{0x40, 0x40, 0x48};
constexpr Colour kTick{0x20, 0xa0, 0x30};

void Put(wxImage& image, int x, int y, Colour c) {
  if (x >= 0 && y >= 0 && x < kWidth && y < kHeight) image.SetRGB(x, y, c.r, c.g, c.b);
}

void Fill(wxImage& image, int x0, int y0, int x1, int y1, Colour c) {
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) Put(image, x, y, c);
  }
}

void Line(wxImage& image, int x0, int y0, int x1, int y1, Colour c, int thickness = 1) {
  const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
  for (int i = 0; i <= steps; ++i) {
    const int x = x0 + (steps == 0 ? 0 : (x1 - x0) * i / steps);
    const int y = y0 + (steps == 0 ? 0 : (y1 - y0) * i / steps);
    Fill(image, x, y, x + thickness - 1, y + thickness - 1, c);
  }
}

void Envelope(wxImage& image, int scanned_to) {
  const int left = 22, top = 10, right = 82, bottom = 46;
  Fill(image, left, top, right, bottom, kPaper);
  for (int x = left; x <= right; ++x) {
    Put(image, x, top, kInk);
    Put(image, x, bottom, kInk);
  }
  for (int y = top; y <= bottom; ++y) {
    Put(image, left, y, kInk);
    Put(image, right, y, kInk);
  }
  Line(image, left, top, (left + right) / 2, top + 18, kInk);
  Line(image, right, top, (left + right) / 2, top + 18, kInk);
  for (int row = 0; row < 3; ++row) {  // the address lines
    const int y = 33 + 4 * row;
    Line(image, 40, y, 66 - 6 * row, y, kLines);
  }
  if (scanned_to > right) {  // the whole envelope was looked at: a tick in the corner
    Line(image, 70, 34, 74, 39, kTick, 2);
    Line(image, 74, 39, 80, 28, kTick, 2);
  }
}

void Glass(wxImage& image, int cx, int cy) {
  const int radius = 11;
  for (int y = cy - radius - 2; y <= cy + radius + 2; ++y) {
    for (int x = cx - radius - 2; x <= cx + radius + 2; ++x) {
      const double d = std::hypot(x - cx, y - cy);
      if (d <= radius - 1) {
        // The lens tints what lies under it.
        unsigned char r, g, b;
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) continue;
        r = image.GetRed(x, y);
        g = image.GetGreen(x, y);
        b = image.GetBlue(x, y);
        Put(image, x, y,
            {static_cast<unsigned char>((r + kGlass.r) / 2),
             static_cast<unsigned char>((g + kGlass.g) / 2),
             static_cast<unsigned char>((b + kGlass.b) / 2)});
      } else if (d <= radius + 1.2) {
        Put(image, x, y, kRim);
      }
    }
  }
  Line(image, cx + 8, cy + 8, cx + 16, cy + 16, kRim, 3);  // the handle
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_art OUTPUT.gif\n");
    return 2;
  }
  wxInitializer initializer;
  if (!initializer.IsOk()) return 1;
  wxImageArray frames;
  for (int i = 0; i < kFrames; ++i) {
    wxImage frame(kWidth, kHeight);
    Fill(frame, 0, 0, kWidth - 1, kHeight - 1, kBackground);
    // Twelve frames sweep from left to right; the last four rest with the tick shown.
    const int sweep = std::min(i, 11);
    const int cx = 22 + sweep * 64 / 11;
    Envelope(frame, i >= 12 ? kWidth : cx);
    if (i < 12) Glass(frame, cx, 24);
    // GIF frames carry a palette; the drawing has few colours, so nothing is lost.
    wxImage indexed;
    if (!wxQuantize::Quantize(frame, indexed, 256, nullptr, wxQUANTIZE_FILL_DESTINATION_IMAGE)) {
      return 1;
    }
    frames.Add(indexed);
  }
  wxFileOutputStream out(wxString::FromUTF8(argv[1]));
  if (!out.IsOk()) return 1;
  wxGIFHandler handler;
  if (!handler.SaveAnimation(frames, &out, false, kDelayMs)) {
    std::fprintf(stderr, "make_art: could not write %s\n", argv[1]);
    return 1;
  }
  return out.Close() ? 0 : 1;
}
