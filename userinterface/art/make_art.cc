// Writes the animation of the check-for-spam progress dialog as a looping GIF (wxWidgets plays
// GIF). Run by the build: make_art OUTPUT.gif
#include <wx/anidecod.h>
#include <wx/image.h>
#include <wx/imaggif.h>
#include <wx/init.h>
#include <wx/quantize.h>
#include <wx/wfstream.h>

#include <cstdio>
#include <cstring>

#include "check_clip.h"

int main(int argc, char** argv) {
  using namespace vexmor::art;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_art OUTPUT.gif\n");
    return 2;
  }
  wxInitializer initializer;
  if (!initializer.IsOk()) return 1;
  wxImageArray frames;
  for (const RgbFrame& drawn : DrawCheckClip()) {
    wxImage frame(kClipWidth, kClipHeight);
    std::memcpy(frame.GetData(), drawn.rgb.data(), drawn.rgb.size());
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
  if (!handler.SaveAnimation(frames, &out, false, kClipDelayMs)) {
    std::fprintf(stderr, "make_art: could not write %s\n", argv[1]);
    return 1;
  }
  return out.Close() ? 0 : 1;
}
