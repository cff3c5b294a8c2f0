// The table of program roles: which process names play which part, on any process list.
#include <cctype>
#include <cstdlib>

#include "vexmor/platform/processes.h"

namespace vexmor::platform {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The kernel keeps at most this many characters of a process's short name.
constexpr std::size_t kShortNameLength = 15;

}  // namespace

ProcessRoles ProcessRoles::Standard(const std::vector<std::string>& mail_reader_names) {
  ProcessRoles roles;
  auto add = [&roles](ProgramRole role, const std::string& name, bool classic) {
    if (!name.empty()) roles.entries_.push_back({role, Upper(name), classic});
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
    const std::string name = Upper(raw);
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
