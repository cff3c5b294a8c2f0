// "vexmor lists": the approved and blocked sender lists for people and scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/paths.h"
#include "vexmor/validate/CXml.h"

namespace vexmor::tools {
namespace {

constexpr const char* kListsUsage =
    "usage: vexmor lists [--install-dir DIR] show approved|blocked ids|domains\n"
    "       vexmor lists [--install-dir DIR] add approved|blocked ids|domains VALUE...\n"
    "       vexmor lists [--install-dir DIR] remove approved|blocked ids|domains VALUE...\n"
    "       vexmor lists [--install-dir DIR] export Id|WId|BD_Id|WD_Id\n"
    "The lists live in Vexmor_MailIds.xml in $VEXMOR_SYSDIR. --install-dir names the folder\n"
    "whose Vexmor_Message.ini receives error marks (default: the same folder).\n"
    "Exit status: 0 done, 1 the list file is damaged or cannot be read or written, 2 usage.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "vexmor lists: %s\n%s", problem, kListsUsage);
  return 2;
}

// The list number of the file (code / 4): 0 blocked ids, 1 approved ids, 2 blocked domains,
// 3 approved domains; -1 for anything else.
int ListNumber(const std::string& family, const std::string& kind) {
  int approved = family == "approved" ? 1 : family == "blocked" ? 0 : -1;
  int domains = kind == "domains" ? 1 : kind == "ids" ? 0 : -1;
  if (approved < 0 || domains < 0) return -1;
  return 2 * domains + approved;
}

int StoreFailure(const ToolPorts& ports, const CXml& xml) {
  std::string where = platform::WithTrailingSlash(ports.paths.SystemDirectory());
  std::fprintf(
      stderr, "vexmor lists: the sender list file %sVexmor_MailIds.xml %s: %s\n", where.c_str(),
      xml.GetLastFailure_Code() == CXml::kFailure_Damaged ? "is damaged" : "cannot be used",
      xml.GetLastFailure_Text().c_str());
  return 1;
}

// Command-line text is UTF-8; the lists hold single-byte text.
bool ToAnsi(const std::string& utf8, std::string* ansi) {
  *ansi = platform::Utf8ToAnsi(utf8);
  return platform::AnsiToUtf8(*ansi) == utf8;
}

int Show(const ToolPorts& ports, const std::string& install_dir, int list) {
  CXml xml(install_dir);
  std::string text;
  if (!xml.ReadFile("", CXml::ListCode(CXml::EList(list), CXml::kListOperation_Show), &text)) {
    if (xml.GetLastFailure_Code() == CXml::kFailure_Missing) return 0;  // no lists yet
    return StoreFailure(ports, xml);
  }
  std::fputs(platform::AnsiToUtf8(text).c_str(), stdout);
  return 0;
}

bool IsListed(const std::string& install_dir, const std::string& value, int list) {
  std::string result;
  CXml(install_dir)
      .ReadFile(value, CXml::ListCode(CXml::EList(list), CXml::kListOperation_LookUp), &result);
  return result == "Found";
}

// What the list file accepts: something left after trimming blanks and line ends, and no
// control characters in it.
bool IsStorableValue(const std::string& ansi) {
  size_t first = ansi.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  size_t last = ansi.find_last_not_of(" \t\r\n");
  for (size_t i = first; i <= last; ++i) {
    auto byte = static_cast<unsigned char>(ansi[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

int Add(const ToolPorts& ports, const std::string& install_dir, int list, const Args& values) {
  // Every value is checked before the first is stored: a refusal (exit 2) changes nothing.
  std::vector<std::string> ansi_values;
  for (const std::string& arg : values) {
    std::string value;
    if (!ToAnsi(arg, &value)) {
      std::fprintf(stderr, "vexmor lists: '%s' holds characters the lists cannot store\n",
                   arg.c_str());
      return 2;
    }
    if (!IsStorableValue(value)) {
      std::fprintf(stderr,
                   "vexmor lists: '%s' cannot be stored: an empty value or one with control "
                   "characters cannot be stored\n",
                   arg.c_str());
      return 2;
    }
    ansi_values.push_back(std::move(value));
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& arg = values[i];
    const std::string& value = ansi_values[i];
    bool was_listed = IsListed(install_dir, value, list);
    CXml xml(install_dir);
    if (!xml.ReadFile(value, CXml::ListCode(CXml::EList(list), CXml::kListOperation_Add),
                      nullptr)) {
      if (xml.GetLastFailure_Code() == CXml::kFailure_Argument) {
        std::fprintf(stderr, "vexmor lists: '%s' cannot be stored: %s\n", arg.c_str(),
                     xml.GetLastFailure_Text().c_str());
        return 2;
      }
      // Only a missing file is started afresh here; a damaged one is the user's to look at.
      if (xml.GetLastFailure_Code() != CXml::kFailure_Missing) return StoreFailure(ports, xml);
      CXml writer(install_dir);
      if (!writer.WriteFile(value, static_cast<uint32_t>(list + 1)))
        return StoreFailure(ports, writer);
    }
    std::printf("%s: %s\n", was_listed ? "already listed" : "added", arg.c_str());
  }
  return 0;
}

int Remove(const ToolPorts& ports, const std::string& install_dir, int list, const Args& values) {
  for (const std::string& arg : values) {
    std::string value;
    if (!ToAnsi(arg, &value)) {
      std::printf("not listed: %s\n", arg.c_str());
      continue;
    }
    int removed = 0;
    // A hand-edited file may hold a value more than once; each removal takes the first.
    while (IsListed(install_dir, value, list)) {
      CXml xml(install_dir);
      if (!xml.ReadFile(value, CXml::ListCode(CXml::EList(list), CXml::kListOperation_Remove),
                        nullptr))
        return StoreFailure(ports, xml);
      if (++removed > 100000) break;
    }
    CXml check(install_dir);
    std::string ignored;
    if (!check.ReadFile("", CXml::ListCode(CXml::EList(list), CXml::kListOperation_Show),
                        &ignored) &&
        check.GetLastFailure_Code() != CXml::kFailure_Missing) {
      return StoreFailure(ports, check);
    }
    std::printf("%s: %s\n", removed > 0 ? "removed" : "not listed", arg.c_str());
  }
  return 0;
}

int Export(const ToolPorts& ports, const std::string& install_dir, const std::string& name) {
  CXml xml(install_dir);
  std::string text;
  if (!xml.GetAddress_File(name, &text) && xml.GetLastFailure_Code() != CXml::kFailure_Missing) {
    return StoreFailure(ports, xml);
  }
  std::printf("%s\n", platform::AnsiToUtf8(text).c_str());
  return 0;
}

}  // namespace

int RunLists(const ToolPorts& ports, const Args& args) {
  std::string install_dir;
  size_t next = 0;
  while (next < args.size() && args[next].rfind("--", 0) == 0) {
    if (args[next] == "--help") {
      std::fputs(kListsUsage, stdout);
      return 0;
    }
    if (args[next] != "--install-dir" || next + 1 >= args.size() || args[next + 1].empty()) {
      return Usage(("unknown or incomplete option '" + args[next] + "'").c_str());
    }
    install_dir = platform::WithTrailingSlash(args[next + 1]);
    next += 2;
  }
  if (next >= args.size()) return Usage("no action given");
  const std::string action = args[next++];
  Args rest(args.begin() + static_cast<long>(next), args.end());

  if (action == "edit") return RunListsEdit(ports, install_dir, rest);
  if (action == "export") {
    if (rest.size() != 1 || rest[0].empty()) return Usage("export needs one element name");
    return Export(ports, install_dir, rest[0]);
  }
  if (action != "show" && action != "add" && action != "remove") {
    return Usage(("unknown action '" + action + "'").c_str());
  }
  if (rest.size() < 2) return Usage("name the list: approved|blocked ids|domains");
  int list = ListNumber(rest[0], rest[1]);
  if (list < 0) return Usage("name the list: approved|blocked ids|domains");
  Args values(rest.begin() + 2, rest.end());
  if (action == "show") {
    if (!values.empty()) return Usage("show takes no values");
    return Show(ports, install_dir, list);
  }
  if (values.empty()) return Usage("give at least one value");
  return action == "add" ? Add(ports, install_dir, list, values)
                         : Remove(ports, install_dir, list, values);
}

}  // namespace vexmor::tools
