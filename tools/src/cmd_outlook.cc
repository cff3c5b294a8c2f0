// vexmor outlook: drives the account client's explorer, command bar and keyboard in a running
// Vexmor_AddinHost over its control socket.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "host_channel.h"
#include "vexmor/platform/control_channel.h"

namespace vexmor::tools {
namespace {

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

// A string member of what the host sent, or empty: a host answering garbage must not end the
// command with an exception.
std::string Member(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
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
  StatusOr<std::string> path = platform::ControlSocketPath(addin_host::kSocketName);
  if (!path.ok()) {
    std::fprintf(stderr, "vexmor outlook: %s\n", path.status().message().c_str());
    return 1;
  }
  const nlohmann::json call = {
      {"verb", command},
      {"args", std::vector<std::string>(request.begin() + 2, request.end())},
      {"answers", mode}};
  // The texts of the boxes already on standard error: a refusal repeats the box it refused.
  std::vector<std::string> shown;
  auto on_event = [&shown](const nlohmann::json& event) -> std::optional<nlohmann::json> {
    const std::string text = Member(event, "text");
    if (event["event"] == platform::kQuestionEvent) return Ask(text);
    if (event["event"] == "out") {
      std::printf("%s\n", text.c_str());
    } else if (event["event"] == "box") {
      const std::string answer = Member(event, "answer");
      const std::string answered = Member(event, "kind") == "yesno" ? " (" + answer + ")" : "";
      std::fprintf(stderr, "Vexmor: %s%s\n", text.c_str(), answered.c_str());
      shown.push_back(text);
    }
    return std::nullopt;
  };
  // A request may wait on the person at the display, and on the mail server.
  StatusOr<nlohmann::json> reply =
      platform::ControlCall(*path, call, on_event, std::chrono::minutes(10));
  if (reply.status().code() == StatusCode::kNotFound ||
      reply.status().code() == StatusCode::kUnavailable) {
    std::fprintf(stderr, "vexmor outlook: no Vexmor_AddinHost is running (%s)\n",
                 reply.status().message().c_str());
    return kNoHost;
  }
  if (!reply.ok()) {
    std::fprintf(stderr, "vexmor outlook: the host ended the request without an answer (%s)\n",
                 reply.status().message().c_str());
    return 1;
  }
  const nlohmann::json& code_value = (*reply)["code"];
  const int code = code_value.is_number_integer() ? code_value.get<int>()
                   : (*reply)["ok"].get<bool>()   ? 0
                                                  : 1;
  const std::string error = Member(*reply, "error");
  if (code != 0 && !error.empty() && std::find(shown.begin(), shown.end(), error) == shown.end()) {
    std::fprintf(stderr, "vexmor outlook: %s\n", error.c_str());
  }
  return code;
}

}  // namespace vexmor::tools
