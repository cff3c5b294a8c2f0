// Vexmor_Recovery.exe [--yes]: lets the account client load the product's add-in again after it
// disabled it for a crash. The Windows wiring: the user's registry and MessageBoxW.
#include <cstdio>
#include <cstring>
#include <memory>

#include "recovery.h"
#include "vexmor/platform/terminal_boxes.h"
#include "vexmor/platform/win32_adapters.h"

namespace {

constexpr const char* kUsage =
    "usage: Vexmor_Recovery [--yes]\n"
    "Deletes the product's entries from the account client's list of add-ins disabled after a\n"
    "crash (HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\<version>\\Outlook\\Resiliency\\\n"
    "DisabledItems), so the add-in is loaded at the client's next start. It tells what it does\n"
    "in message boxes; --yes answers them on standard output instead, for scripts.\n"
    "Exit status: 0 (also when nothing was disabled), 2 usage.\n";

}  // namespace

int main(int argc, char** argv) {
  bool assume_yes = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
        std::strcmp(argv[i], "/?") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--yes") != 0) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    assume_yes = true;
  }
  std::unique_ptr<vexmor::platform::MessageBoxes> boxes =
      assume_yes ? vexmor::platform::MakeTerminalMessageBoxes(stdin, stdout, true)
                 : vexmor::platform::MakeWin32MessageBoxes();
  vexmor::recovery::Recover(vexmor::platform::DefaultRegistry(), *boxes);
  return 0;
}
