// The table of program roles: which process names play which part, on any process list.
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vexmor/platform/ascii.h"
#include "vexmor/platform/processes.h"

namespace vexmor::platform {
namespace {

// The kernel keeps at most this many characters of a process's short name.
constexpr std::size_t kShortNameLength = 15;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string InstallFolderOf(const ProcessInfo& process) {
  const std::vector<std::string>& args = process.arguments;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--install-dir" && i + 1 < args.size()) {
      value = args[i + 1];
    } else if (args[i].rfind("--install-dir=", 0) == 0) {
      value = args[i].substr(std::string_view("--install-dir=").size());
    } else {
      continue;
    }
    // A relative folder depends on where the program was started: not known from here.
    return !value.empty() && value[0] == '/' ? WithoutTrailingSlashes(value) : std::string();
  }
  if (!args.empty() && !args[0].empty() && args[0][0] == '/') return FolderOf(args[0]);
  return FolderOf(process.executable);
}

ProcessRoles ProcessRoles::Standard(const std::vector<std::string>& mail_reader_names) {
  ProcessRoles roles;
  auto add = [&roles](ProgramRole role, const std::string& name, bool classic) {
    if (!name.empty()) roles.entries_.push_back({role, AsciiUppered(name), classic});
  };
  add(ProgramRole::kLocalClient, "MSIMN.EXE", true);
  add(ProgramRole::kAccountClient, "OUTLOOK.EXE", true);
  add(ProgramRole::kMainProgram, "VEXMOR.EXE", true);
  add(ProgramRole::kHostProgram, "VEXMOR_PLUGIN.EXE", true);
  // Our own programs under their Linux names.
  add(ProgramRole::kLocalClient, "Vexmor_Session", false);
  add(ProgramRole::kAccountClient, "Vexmor_AddinHost", false);
  add(ProgramRole::kMainProgram, "vexmor", false);
  add(ProgramRole::kHostProgram, "Vexmor_PlugIn", false);
  for (const std::string& name : mail_reader_names) add(ProgramRole::kLocalClient, name, false);
  return roles;
}

ProcessRoles ProcessRoles::FromEnvironment() {
  std::vector<std::string> names;
  if (const char* value = std::getenv("VEXMOR_MAIL_READERS")) {
    std::string current;
    for (const char* p = value;; ++p) {
      if (*p == '\0' || *p == ',' || *p == ':' || std::isspace(static_cast<unsigned char>(*p))) {
        if (!current.empty()) names.push_back(current);
        current.clear();
        if (*p == '\0') break;
      } else {
        current.push_back(*p);
      }
    }
  }
  return Standard(names);
}

bool ProcessRoles::Matches(ProgramRole role, const ProcessInfo& process) const {
  for (const std::string& raw : process.names) {
    const std::string name = AsciiUppered(raw);
    for (const Entry& entry : entries_) {
      if (entry.role != role) continue;
      if (name == entry.upper_name) return true;
      if (entry.classic && entry.upper_name.size() > 1 &&
          name == entry.upper_name.substr(0, entry.upper_name.size() - 1)) {
        return true;
      }
      if (name.size() == kShortNameLength && entry.upper_name.size() > kShortNameLength &&
          entry.upper_name.compare(0, kShortNameLength, name) == 0) {
        return true;
      }
    }
  }
  return false;
}

std::vector<std::string> ProcessRoles::Names(ProgramRole role) const {
  std::vector<std::string> names;
  for (const Entry& entry : entries_) {
    if (entry.role == role) names.push_back(entry.upper_name);
  }
  return names;
}

}  // namespace vexmor::platform
