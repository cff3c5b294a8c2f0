// vexmor outlook: drives the account client's explorer, command bar and keyboard in a running
// Vexmor_AddinHost over its control socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "control_protocol.h"

namespace vexmor::tools {
namespace {

namespace oc = vexmor::outlook_control;

constexpr int kNoHost = 3;

constexpr const char* kOutlookUsage =
    "usage: vexmor outlook select FOLDER [UID...] [--all] [--message-id ID]...\n"
    "       vexmor outlook click TAG [--yes|--no|--ask]\n"
    "       vexmor outlook key F8 [--repeat N] [--yes|--no|--ask]\n"
    "       vexmor outlook report|notspam|check|empty [--yes|--no|--ask]\n"
    "       vexmor outlook bar|selection\n"
    "\n"
    "Drives the explorer of the running Vexmor_AddinHost: select makes FOLDER (display names\n"
    "below the top, joined by '/', any letter case) the current folder and selects messages by\n"
    "IMAP UID or Message-ID; click clicks every command-bar control with the tag; key presses a\n"
    "key, with N auto-repeats, and releases it; report, notspam, check and empty click the\n"
    "Report Spam and Not Spam buttons and the menu's Check and Empty items (even when they\n"
    "are greyed out, so the command's own message comes back; click refuses a greyed-out\n"
    "control). bar prints the command bar's controls and selection the selection, as JSON.\n"
    "\n"
    "Questions are answered Yes with --yes and No with --no; --ask asks on standard input, as\n"
    "happens by default when standard input is a terminal (otherwise the answer is No).\n"
    "Exit status: 0 done, 1 refused (the box's text on standard error), 2 bad usage,\n"
    "3 no host is running.\n";

int Usage() {
  std::fputs(kOutlookUsage, stderr);
  return 2;
}

std::string Ask(const std::string& question) {
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line)) return "no";
  return !line.empty() && (line[0] == 'y' || line[0] == 'Y') ? "yes" : "no";
}

}  // namespace

int RunOutlook(const Args& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    if (args.empty()) return Usage();
    std::fputs(kOutlookUsage, stdout);
    return 0;
  }
  std::string mode = ::isatty(STDIN_FILENO) ? "ask" : "no";
  std::vector<std::string> request;
  const std::string& command = args[0];
  std::vector<std::string> rest;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--yes" || arg == "--no" || arg == "--ask") {
      mode = arg.substr(2);
    } else {
      rest.push_back(arg);
    }
  }
  request.push_back(mode);
  request.push_back(command);
  if (command == "select") {
    if (rest.empty()) return Usage();
    request.push_back(rest[0]);
    for (size_t i = 1; i < rest.size(); ++i) {
      if (rest[i] == "--all") {
        request.push_back("all");
      } else if (rest[i] == "--message-id" && i + 1 < rest.size()) {
        request.push_back("id=" + rest[++i]);
      } else if (!rest[i].empty() && rest[i].find_first_not_of("0123456789") == std::string::npos) {
        request.push_back("uid=" + rest[i]);
      } else {
        std::fprintf(stderr, "vexmor outlook: not a UID: %s\n", rest[i].c_str());
        return 2;
      }
    }
  } else if (command == "click") {
    if (rest.size() != 1) return Usage();
    request.push_back(rest[0]);
  } else if (command == "key") {
    if (rest.empty()) return Usage();
    request.push_back(rest[0]);
    if (rest.size() == 3 && rest[1] == "--repeat") {
      request.push_back(rest[2]);
    } else if (rest.size() != 1) {
      return Usage();
    }
  } else if (command == "report" || command == "notspam" || command == "check" ||
             command == "empty" || command == "bar" || command == "selection") {
    if (!rest.empty()) return Usage();
  } else {
    std::fprintf(stderr, "vexmor outlook: unknown command '%s'\n", command.c_str());
    return Usage();
  }

  // The host's socket is only ever looked for in a folder that passes the host's own checks.
  const std::string folder = oc::RuntimeFolder();
  if (Status checked = oc::PrepareRuntimeFolder(folder); !checked.ok()) {
    std::fprintf(stderr, "vexmor outlook: %s\n", checked.message().c_str());
    return 1;
  }
  const std::string path = folder + std::string(oc::kSocketName);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "vexmor outlook: the socket path %s is too long\n", path.c_str());
    return kNoHost;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "vexmor outlook: no Vexmor_AddinHost is running (%s: %s)\n", path.c_str(),
                 std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return kNoHost;
  }
  if (!oc::WriteAll(fd, oc::JoinFields(request))) {
    ::close(fd);
    std::fprintf(stderr, "vexmor outlook: the host closed the connection\n");
    return kNoHost;
  }
  oc::LineReader reader(fd);
  std::string line;
  int code = 1;
  bool ended = false;
  // The texts of the boxes already on standard error: a refusal repeats the box it refused.
  std::vector<std::string> shown;
  while (!ended && reader.Next(&line)) {
    std::vector<std::string> fields = oc::SplitFields(line);
    if (fields[0] == "out" && fields.size() >= 2) {
      std::printf("%s\n", fields[1].c_str());
    } else if (fields[0] == "box" && fields.size() >= 4) {
      shown.push_back(fields[3]);
      if (fields[2] == "?") {
        oc::WriteAll(fd, Ask(fields[3]) + "\n");
      } else {
        std::string answered = fields[1] == "yesno" ? " (" + fields[2] + ")" : "";
        std::fprintf(stderr, "Vexmor: %s%s\n", fields[3].c_str(), answered.c_str());
      }
    } else if (fields[0] == "end" && fields.size() >= 3) {
      code = std::atoi(fields[1].c_str());
      if (code != 0 && !fields[2].empty() &&
          std::find(shown.begin(), shown.end(), fields[2]) == shown.end()) {
        std::fprintf(stderr, "vexmor outlook: %s\n", fields[2].c_str());
      }
      ended = true;
    }
  }
  ::close(fd);
  if (!ended) {
    std::fprintf(stderr, "vexmor outlook: the host ended the request without an answer\n");
    return 1;
  }
  return code;
}

}  // namespace vexmor::tools
