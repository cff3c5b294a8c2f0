// vexmor setup: records the install directory and switches filtering on or off, as the
// launcher does before the host program starts.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

namespace vexmor::tools {

int RunSetup(const ToolPorts& ports, const Args& args) {
  std::string install_dir;
  std::string filter;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--install-dir" && i + 1 < args.size()) {
      install_dir = args[++i];
    } else if (args[i] == "--filter" && i + 1 < args.size()) {
      filter = args[++i];
    } else {
      std::fprintf(stderr, "usage: vexmor setup [--install-dir DIR] [--filter on|off]\n");
      return 2;
    }
  }
  if (!filter.empty() && filter != "on" && filter != "off") {
    std::fprintf(stderr, "vexmor setup: --filter takes on or off\n");
    return 2;
  }
  platform::Profile& profile = ports.profile;
  if (!install_dir.empty()) {
    if (install_dir[0] != '/') {
      std::fprintf(stderr, "vexmor setup: the install directory must be an absolute path\n");
      return 2;
    }
    install_dir = platform::WithTrailingSlash(install_dir);
    if (Status made = platform::MakeDirectories(install_dir); !made.ok()) {
      std::fprintf(stderr, "vexmor setup: %s\n", made.ToString().c_str());
      return 1;
    }
    // The state files and logs name senders and subjects: the folder is its owner's alone.
    if (::chmod(install_dir.c_str(), 0700) != 0) {
      std::fprintf(stderr, "vexmor setup: cannot restrict %s: %s\n", install_dir.c_str(),
                   std::strerror(errno));
      return 1;
    }
    if (Status written = state::WriteInstallDirectory(profile, install_dir); !written.ok()) {
      std::fprintf(stderr, "vexmor setup: %s\n", written.ToString().c_str());
      return 1;
    }
  }
  if (!filter.empty()) {
    Status written = profile.WriteString(state::kPathFile, state::kSectionVexmor,
                                         state::kKeyReceiveMsgStart, filter == "on" ? "1" : "0");
    if (!written.ok()) {
      std::fprintf(stderr, "vexmor setup: %s\n", written.ToString().c_str());
      return 1;
    }
  }
  std::printf(
      "install directory: %s\nfiltering: %s\n", state::ReadInstallDirectory(profile).c_str(),
      profile.GetInt(state::kPathFile, state::kSectionVexmor, state::kKeyReceiveMsgStart, 0) == 1
          ? "on"
          : "off");
  return 0;
}

}  // namespace vexmor::tools
