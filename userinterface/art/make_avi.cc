// Writes the animation of the check-for-spam progress dialog as "Vexmor_Check.avi" for the
// Windows animation control, and the dialogs' 16 by 16 window icon. The control plays only
// uncompressed or RLE8 clips without sound: this is an uncompressed 8-bit palette DIB clip, one
// key frame per chunk, with the index the control reads the frames by.
// Built for and run on the build machine: make_avi OUTPUT.avi [OUTPUT.ico]
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "check_clip.h"

namespace {

using vexmor::art::kClipDelayMs;
using vexmor::art::kClipHeight;
using vexmor::art::kClipWidth;
using vexmor::art::RgbFrame;

// Little-endian writer of RIFF structures.
class Bytes {
 public:
  void U8(std::uint8_t v) { data_.push_back(v); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void FourCc(const char (&code)[5]) {
    for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(code[i]));
  }
  void Append(const std::vector<std::uint8_t>& more) {
    data_.insert(data_.end(), more.begin(), more.end());
  }
  // Starts a chunk (or a LIST/RIFF with its type) and returns where its size goes.
  std::size_t Open(const char (&id)[5]) {
    FourCc(id);
    const std::size_t at = data_.size();
    U32(0);
    return at;
  }
  void Close(std::size_t size_at) {
    const auto size = static_cast<std::uint32_t>(data_.size() - size_at - 4);
    for (int i = 0; i < 4; ++i) data_[size_at + i] = static_cast<std::uint8_t>(size >> (8 * i));
    if (data_.size() % 2 != 0) U8(0);  // chunks are padded to even sizes, the pad uncounted
  }
  std::size_t size() const { return data_.size(); }
  const std::vector<std::uint8_t>& data() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
};

// Bytes per DIB row: rows are padded to four bytes.
constexpr std::uint32_t kStride = (kClipWidth + 3) / 4 * 4;
constexpr std::uint32_t kFrameBytes = kStride * kClipHeight;

struct Palette {
  std::vector<std::uint32_t> colours;  // 0x00RRGGBB
  std::map<std::uint32_t, std::uint8_t> index;
};

// The drawing has few colours (the lens tints a handful); a clip needing more than 256 is a
// fault of the drawing, reported rather than quantised.
bool BuildPalette(const std::vector<RgbFrame>& frames, Palette& palette) {
  for (const RgbFrame& frame : frames) {
    for (std::size_t i = 0; i + 2 < frame.rgb.size(); i += 3) {
      const std::uint32_t c = (frame.rgb[i] << 16) | (frame.rgb[i + 1] << 8) | frame.rgb[i + 2];
      if (palette.index.count(c) != 0) continue;
      if (palette.colours.size() == 256) return false;
      palette.index[c] = static_cast<std::uint8_t>(palette.colours.size());
      palette.colours.push_back(c);
    }
  }
  return true;
}

// A bottom-up 8-bit DIB of the frame.
std::vector<std::uint8_t> Indexed(const RgbFrame& frame, const Palette& palette) {
  std::vector<std::uint8_t> dib(kFrameBytes, 0);
  for (int y = 0; y < kClipHeight; ++y) {
    for (int x = 0; x < kClipWidth; ++x) {
      const std::uint8_t* p = &frame.rgb[(y * kClipWidth + x) * 3];
      const std::uint32_t c = (p[0] << 16) | (p[1] << 8) | p[2];
      dib[(kClipHeight - 1 - y) * kStride + x] = palette.index.at(c);
    }
  }
  return dib;
}

void BitmapInfoHeader(Bytes& out, std::int32_t height, std::uint16_t bits, std::uint32_t colours,
                      std::uint32_t image_bytes) {
  out.U32(40);
  out.U32(kClipWidth);
  out.U32(static_cast<std::uint32_t>(height));
  out.U16(1);
  out.U16(bits);
  out.U32(0);  // BI_RGB: uncompressed
  out.U32(image_bytes);
  out.U32(0);
  out.U32(0);
  out.U32(colours);
  out.U32(0);
}

std::vector<std::uint8_t> Avi(const std::vector<RgbFrame>& frames, const Palette& palette) {
  const auto count = static_cast<std::uint32_t>(frames.size());
  const auto colours = static_cast<std::uint32_t>(palette.colours.size());
  Bytes out;
  const std::size_t riff = out.Open("RIFF");
  out.FourCc("AVI ");

  const std::size_t hdrl = out.Open("LIST");
  out.FourCc("hdrl");
  const std::size_t avih = out.Open("avih");
  out.U32(kClipDelayMs * 1000);                // microseconds per frame
  out.U32(kFrameBytes * 1000 / kClipDelayMs);  // bytes per second
  out.U32(0);                                  // padding granularity
  out.U32(0x10);                               // AVIF_HASINDEX
  out.U32(count);
  out.U32(0);  // initial frames
  out.U32(1);  // streams
  out.U32(kFrameBytes);
  out.U32(kClipWidth);
  out.U32(kClipHeight);
  for (int i = 0; i < 4; ++i) out.U32(0);
  out.Close(avih);

  const std::size_t strl = out.Open("LIST");
  out.FourCc("strl");
  const std::size_t strh = out.Open("strh");
  out.FourCc("vids");
  out.FourCc("DIB ");
  out.U32(0);             // flags
  out.U16(0);             // priority
  out.U16(0);             // language
  out.U32(0);             // initial frames
  out.U32(kClipDelayMs);  // scale / rate = seconds per frame
  out.U32(1000);
  out.U32(0);  // start
  out.U32(count);
  out.U32(kFrameBytes);
  out.U32(0xFFFFFFFFu);  // quality: default
  out.U32(0);            // sample size: varies (video)
  out.U16(0);
  out.U16(0);
  out.U16(kClipWidth);
  out.U16(kClipHeight);
  out.Close(strh);
  const std::size_t strf = out.Open("strf");
  BitmapInfoHeader(out, kClipHeight, 8, colours, kFrameBytes);
  for (std::uint32_t c : palette.colours) {  // RGBQUAD: blue, green, red, reserved
    out.U8(static_cast<std::uint8_t>(c));
    out.U8(static_cast<std::uint8_t>(c >> 8));
    out.U8(static_cast<std::uint8_t>(c >> 16));
    out.U8(0);
  }
  out.Close(strf);
  out.Close(strl);
  out.Close(hdrl);

  // Index offsets count from the "movi" type code.
  const std::size_t movi = out.Open("LIST");
  const std::size_t movi_type = out.size();
  out.FourCc("movi");
  std::vector<std::uint32_t> offsets;
  for (const RgbFrame& frame : frames) {
    offsets.push_back(static_cast<std::uint32_t>(out.size() - movi_type));
    const std::size_t chunk = out.Open("00db");
    out.Append(Indexed(frame, palette));
    out.Close(chunk);
  }
  out.Close(movi);

  const std::size_t idx1 = out.Open("idx1");
  for (std::uint32_t offset : offsets) {
    out.FourCc("00db");
    out.U32(0x10);  // AVIIF_KEYFRAME
    out.U32(offset);
    out.U32(kFrameBytes);
  }
  out.Close(idx1);
  out.Close(riff);
  return out.data();
}

// An icon file with one 16 by 16 32-bit image (its AND mask from the alpha).
std::vector<std::uint8_t> Icon() {
  const std::vector<std::uint8_t> rgba = vexmor::art::DrawDialogIcon();
  const std::uint32_t mask_bytes = 4 * 16;  // 16 rows of 2 bytes, padded to 4
  const std::uint32_t image_bytes = 40 + 16 * 16 * 4 + mask_bytes;
  Bytes out;
  out.U16(0);
  out.U16(1);  // icon
  out.U16(1);  // one image
  out.U8(16);
  out.U8(16);
  out.U8(0);
  out.U8(0);
  out.U16(1);
  out.U16(32);
  out.U32(image_bytes);
  out.U32(6 + 16);
  out.U32(40);
  out.U32(16);
  out.U32(32);  // colour and mask stacked
  out.U16(1);
  out.U16(32);
  out.U32(0);
  out.U32(16 * 16 * 4 + mask_bytes);
  for (int i = 0; i < 4; ++i) out.U32(0);
  for (int y = 15; y >= 0; --y) {
    for (int x = 0; x < 16; ++x) {
      const std::uint8_t* p = &rgba[(y * 16 + x) * 4];
      out.U8(p[2]);
      out.U8(p[1]);
      out.U8(p[0]);
      out.U8(p[3]);
    }
  }
  for (int y = 15; y >= 0; --y) {
    std::uint16_t bits = 0;
    for (int x = 0; x < 16; ++x) {
      if (rgba[(y * 16 + x) * 4 + 3] == 0) bits |= static_cast<std::uint16_t>(0x8000 >> x);
    }
    out.U8(static_cast<std::uint8_t>(bits >> 8));
    out.U8(static_cast<std::uint8_t>(bits));
    out.U16(0);
  }
  return out.data();
}

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) std::fprintf(stderr, "make_avi: could not write %s\n", path.c_str());
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: make_avi OUTPUT.avi [OUTPUT.ico]\n");
    return 2;
  }
  const std::vector<RgbFrame> frames = vexmor::art::DrawCheckClip();
  Palette palette;
  if (!BuildPalette(frames, palette)) {
    std::fprintf(stderr, "make_avi: the clip has more than 256 colours\n");
    return 1;
  }
  if (!Write(argv[1], Avi(frames, palette))) return 1;
  if (argc == 3 && !Write(argv[2], Icon())) return 1;
  return 0;
}
