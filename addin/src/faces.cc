#include "faces.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace vexmor::addin {
namespace {

constexpr uint16_t Rgb(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
}

// The light grey of a toolbar stands for "no paint".
constexpr uint16_t kBack = Rgb(0xc0, 0xc0, 0xc0);
constexpr uint16_t kInk = Rgb(0x20, 0x30, 0x70);
constexpr uint16_t kPaper = Rgb(0xff, 0xff, 0xf0);
constexpr uint16_t kRed = Rgb(0xd0, 0x20, 0x20);
constexpr uint16_t kGreen = Rgb(0x20, 0xa0, 0x30);
constexpr uint16_t kBlue = Rgb(0x20, 0x60, 0xd0);
constexpr uint16_t kYellow = Rgb(0xf0, 0xd0, 0x30);

class Canvas {
 public:
  Canvas() { face_.fill(kBack); }
  void Put(int x, int y, uint16_t c) {
    if (x >= 0 && y >= 0 && x < kFaceSize && y < kFaceSize) face_[y * kFaceSize + x] = c;
  }
  void Fill(int x0, int y0, int x1, int y1, uint16_t c) {
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) Put(x, y, c);
    }
  }
  void Line(int x0, int y0, int x1, int y1, uint16_t c) {
    const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
    for (int i = 0; i <= steps; ++i) {
      Put(x0 + (steps == 0 ? 0 : (x1 - x0) * i / steps),
          y0 + (steps == 0 ? 0 : (y1 - y0) * i / steps), c);
    }
  }
  void Frame(int x0, int y0, int x1, int y1, uint16_t c) {
    Line(x0, y0, x1, y0, c);
    Line(x0, y1, x1, y1, c);
    Line(x0, y0, x0, y1, c);
    Line(x1, y0, x1, y1, c);
  }
  // A closed envelope in the upper part of the face.
  void Envelope() {
    Fill(1, 3, 12, 11, kPaper);
    Frame(1, 3, 12, 11, kInk);
    Line(1, 3, 6, 8, kInk);
    Line(12, 3, 7, 8, kInk);
  }
  const Face& face() const { return face_; }

 private:
  Face face_{};
};

Face ReportFace() {
  Canvas c;
  c.Envelope();
  // A red no-entry disc at the lower right.
  c.Fill(9, 9, 15, 15, kRed);
  c.Put(9, 9, kBack);
  c.Put(15, 9, kBack);
  c.Put(9, 15, kBack);
  c.Put(15, 15, kBack);
  c.Line(10, 12, 14, 12, kPaper);
  return c.face();
}

Face NotSpamFace() {
  Canvas c;
  c.Envelope();
  // A green tick.
  c.Line(8, 12, 10, 14, kGreen);
  c.Line(10, 14, 15, 8, kGreen);
  c.Line(8, 13, 10, 15, kGreen);
  c.Line(10, 15, 15, 9, kGreen);
  return c.face();
}

Face HelpFace() {
  Canvas c;
  c.Fill(3, 1, 12, 14, kBlue);
  c.Frame(3, 1, 12, 14, kInk);
  // A question mark.
  c.Line(6, 4, 9, 4, kPaper);
  c.Line(9, 4, 9, 7, kPaper);
  c.Line(9, 7, 7, 8, kPaper);
  c.Line(7, 8, 7, 9, kPaper);
  c.Put(7, 11, kPaper);
  return c.face();
}

Face AboutFace() {
  Canvas c;
  c.Fill(4, 1, 11, 14, kYellow);
  c.Frame(4, 1, 11, 14, kInk);
  // A letter i.
  c.Put(7, 3, kInk);
  c.Put(8, 3, kInk);
  c.Line(7, 6, 7, 12, kInk);
  c.Line(8, 6, 8, 12, kInk);
  return c.face();
}

Face FeedbackFace() {
  Canvas c;
  // A speech bubble with three dots.
  c.Fill(1, 2, 14, 10, kPaper);
  c.Frame(1, 2, 14, 10, kInk);
  c.Line(4, 11, 4, 14, kInk);
  c.Line(4, 14, 8, 10, kInk);
  for (int x : {4, 7, 10}) c.Fill(x, 5, x + 1, 6, kBlue);
  return c.face();
}

}  // namespace

const Face& FaceById(int id) {
  static const std::map<int, Face> faces = {{202, HelpFace()},
                                            {203, AboutFace()},
                                            {204, FeedbackFace()},
                                            {205, NotSpamFace()},
                                            {237, ReportFace()}};
  static const Face blank = [] {
    Face f;
    f.fill(kBack);
    return f;
  }();
  auto found = faces.find(id);
  return found != faces.end() ? found->second : blank;
}

}  // namespace vexmor::addin
