// The check animation of the progress dialog, drawn without any toolkit: an envelope that a
// magnifying glass sweeps across, leaving a tick once the sweep has passed. The GIF writer
// (make_art) and the AVI writer (make_avi) both encode these frames.
#pragma once

#include <cstdint>
#include <vector>

namespace vexmor::art {

inline constexpr int kClipWidth = 104;
inline constexpr int kClipHeight = 56;
inline constexpr int kClipFrames = 16;
inline constexpr int kClipDelayMs = 90;

// One frame: kClipWidth * kClipHeight pixels, top row first, three bytes (R, G, B) each.
struct RgbFrame {
  std::vector<std::uint8_t> rgb;
};

std::vector<RgbFrame> DrawCheckClip();

// The 16 by 16 window icon of the dialogs: the envelope alone, as R, G, B, A rows, top first.
std::vector<std::uint8_t> DrawDialogIcon();

}  // namespace vexmor::art
