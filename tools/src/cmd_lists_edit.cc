// "vexmor lists edit": the approved or blocked senders dialog on the user's display.
#include <cstdio>
#include <string>

#include "commands.h"
#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"
#include "vexmor/userinterface/ui_dialogs.h"

namespace vexmor::tools {
namespace {

constexpr const char* kEditUsage =
    "usage: vexmor lists [--install-dir DIR] edit approved|blocked\n"
    "Opens the approved or blocked senders dialog on the display and returns when it closes.\n"
    "Without a display, use: vexmor lists add|remove approved|blocked ids|domains VALUE...\n"
    "The dialog logs to Vexmor_OE_Log.txt in the install directory (--install-dir, else the\n"
    "one recorded by vexmor setup, else $VEXMOR_SYSDIR).\n"
    "Exit status: 0 the dialog was shown and closed, 1 there is no display to show it on,\n"
    "2 usage.\n";

// The dialog stands in for the local client's; any window number but 0 lets it show.
constexpr platform::WindowHandle kCommandLineWindow = 1;

}  // namespace

int RunListsEdit(const ToolPorts& ports, const std::string& install_dir, const Args& rest) {
  if (rest.size() == 1 && rest[0] == "--help") {
    std::fputs(kEditUsage, stdout);
    return 0;
  }
  if (rest.size() != 1 || (rest[0] != "approved" && rest[0] != "blocked")) {
    std::fprintf(stderr, "vexmor lists edit: name the list family: approved|blocked\n%s",
                 kEditUsage);
    return 2;
  }
  const bool approved = rest[0] == "approved";
  std::string folder = install_dir;
  if (folder.empty()) folder = state::ReadInstallDirectory(ports.profile);
  if (folder.empty()) folder = ports.paths.SystemDirectory();
  folder = platform::WithTrailingSlash(folder);

  // The dialogs start only now that one is wanted.
  std::unique_ptr<platform::Dialogs> dialogs = ports.make_dialogs();
  ui::DialogArgs args;
  args.ui_case = ui::kCaseSenders;
  args.main_window = kCommandLineWindow;
  args.app_path = folder;
  args.local_client = true;
  args.approved = approved;
  if (!dialogs->HasDisplay() || !ui::RunSendersDialog(*dialogs, args)) {
    std::fprintf(stderr,
                 "vexmor lists edit: there is no display to open the senders dialog on.\n"
                 "Use: vexmor lists add|remove %s ids|domains VALUE...\n"
                 "     vexmor lists show %s ids|domains\n",
                 rest[0].c_str(), rest[0].c_str());
    return 1;
  }
  return 0;
}

}  // namespace vexmor::tools
