// Vexmor_Recovery [--yes]: lets the account client load the product's add-in again after it
// was disabled for a crash.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "recovery.h"
#include "vexmor/platform/terminal_boxes.h"

namespace {

constexpr const char* kUsage =
    "usage: Vexmor_Recovery [--yes]\n"
    "Deletes the product's entries from the account client's list of add-ins disabled after a\n"
    "crash (the registry file user.reg in $VEXMOR_WINDIR, default ~/.config/vexmor/), so the\n"
    "add-in is loaded at the host's next start. It tells what it does in message boxes on the\n"
    "display, or on the terminal without one; --yes answers them for scripts.\n"
    "Exit status: 0 (also when nothing was disabled), 2 usage.\n";

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool assume_yes = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--yes") != 0) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    assume_yes = true;
  }
  auto terminal = vexmor::platform::MakeTerminalMessageBoxes(stdin, stdout, assume_yes);
  std::unique_ptr<vexmor::platform::MessageBoxes> wx;
  std::unique_ptr<vexmor::platform::MessageBoxes> boxes;
  if (!assume_yes && HasDisplay()) {
    wx = vexmor::platform::MakeWxMessageBoxes();
    boxes = vexmor::platform::MakeFallbackMessageBoxes(*wx, *terminal);
  }
  vexmor::recovery::Recover(vexmor::platform::DefaultRegistry(), boxes ? *boxes : *terminal);
  return 0;
}
