// vexmor select|key|menu|toolbar and the short forms report, notspam, check, empty, senders,
// help and about: a person's clicks and keys in the local client, sent to the session.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "terminal_progress.h"
#include "vexmor/hook/verdict_log.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/session/control.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/report_delivery.h"

namespace vexmor::tools {

namespace {

constexpr int kNoSession = 3;
// The box a report shows while it starts; the client closes it at once, it is no answer.
constexpr char kReportingCaption[] = "Outlook Express For Vexmor";
constexpr char kAboutCaption[] = "About Vexmor for Outlook Express";

constexpr const char* kUsage =
    "usage: vexmor select FOLDER [ID...] [--all] [--message-id ID]\n"
    "       vexmor select --message-id ID             (searches every folder)\n"
    "       vexmor key F8|Enter [--yes|--no]\n"
    "       vexmor menu report|check|empty|help|feedback|approved|blocked|ID [--yes|--no]\n"
    "       vexmor toolbar report|notspam|about|help|feedback [--yes|--no]\n"
    "       vexmor report [--stdin [--folder FOLDER]] [--yes|--no]\n"
    "       vexmor notspam [--stdin [--folder FOLDER]] [--yes|--no]\n"
    "       vexmor check [FOLDER] [--no-wait]            (FOLDER: Inbox by default)\n"
    "       vexmor empty FOLDER [--yes|--no]\n"
    "       vexmor senders approved|blocked\n"
    "       vexmor help | vexmor about\n"
    "The commands act on the session's folder tree and message list as a person's clicks do.\n"
    "report and notspam work on the selected messages; with --stdin they take a message on\n"
    "standard input (a mail reader's pipe), find it in the store by its Message-ID and select\n"
    "it first. check and empty select the whole FOLDER first. Questions are asked on the\n"
    "display, else on the terminal; --yes or --no answers them. check follows the progress on\n"
    "the terminal until the folder is done, unless a display shows the progress dialog\n"
    "(--no-wait returns at once).\n"
    "Exit status: 0 done or started, 1 refused (the reason on standard error), 2 usage,\n"
    "3 no session runs.\n";

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

struct Reply {
  nlohmann::json json;
  int exit_status = 0;  // non-zero: already reported
};

Reply Send(const std::string& command, const std::string& verb,
           const std::vector<std::string>& args) {
  Reply reply;
  auto dir = session::RuntimeDirectory();
  if (!dir.ok()) {
    std::fprintf(stderr, "vexmor %s: %s\n", command.c_str(), dir.status().ToString().c_str());
    reply.exit_status = 1;
    return reply;
  }
  auto answer = session::Call(*dir + session::kSocketName, {verb, args}, std::chrono::seconds(60));
  if (!answer.ok()) {
    const bool none = answer.status().code() == StatusCode::kNotFound;
    std::fprintf(stderr, "vexmor %s: %s\n", command.c_str(),
                 none ? "no session is running (start one with \"vexmor start\")"
                      : answer.status().ToString().c_str());
    reply.exit_status = none ? kNoSession : 1;
    return reply;
  }
  if (!(*answer)["ok"].get<bool>()) {
    std::fprintf(stderr, "vexmor %s: %s\n", command.c_str(),
                 (*answer).value("error", std::string("the session refused")).c_str());
    reply.exit_status = 1;
    return reply;
  }
  reply.json = std::move(*answer);
  return reply;
}

// Asks the user one of the library's questions: on the display, else on the terminal (the
// controlling terminal when standard input carries a message). Nobody to ask: no.
bool AskUser(const ToolPorts& ports, const nlohmann::json& box) {
  platform::MessageBoxRequest request;
  request.caption = box.value("caption", std::string());
  request.text = box.value("text", std::string());
  request.buttons = platform::MessageBoxButtons::kYesNo;
  request.icon = platform::MessageBoxIcon::kWarning;
  std::FILE* in = ::isatty(STDIN_FILENO) ? stdin : std::fopen("/dev/tty", "r");
  auto answer = ports.make_prompts(in != nullptr ? in : stdin, stderr, false)->Show(request);
  if (in != nullptr && in != stdin) std::fclose(in);
  return answer.ok() && *answer == platform::MessageBoxAnswer::kYes;
}

// Shows an informational box of the library where the user is.
void ShowBox(const ToolPorts& ports, const nlohmann::json& box, bool scripted) {
  const std::string caption = box.value("caption", std::string());
  const std::string text = box.value("text", std::string());
  if (!scripted && HasDisplay()) {
    auto wx = ports.make_display_boxes();
    platform::MessageBoxRequest request;
    request.caption = caption;
    request.text = text;
    request.icon = platform::MessageBoxIcon::kInformation;
    if (wx->Show(request).ok()) return;
  }
  std::printf("%s\n", text.c_str());
}

struct Options {
  const ToolPorts* ports = nullptr;
  std::string policy = "ask";  // --yes, --no
  bool scripted = false;
};

// Sends one action, asks the user a question the library asked and sends it again with the
// answer, then says what came of it. The command that ran is `expected` ("report", ...).
int Act(const std::string& command, const std::string& verb, std::vector<std::string> args,
        const Options& options, nlohmann::json* out = nullptr) {
  std::vector<std::string> sent = args;
  sent.push_back("--answer");
  sent.push_back(options.policy);
  Reply reply = Send(command, verb, sent);
  if (reply.exit_status != 0) return reply.exit_status;
  if (reply.json.value("unanswered", false)) {
    nlohmann::json question;
    for (const auto& box : reply.json["boxes"]) {
      if (box.value("answer", std::string()) == "unanswered") question = box;
    }
    sent = args;
    sent.push_back("--answer");
    sent.push_back(AskUser(*options.ports, question) ? "yes" : "no");
    reply = Send(command, verb, sent);
    if (reply.exit_status != 0) return reply.exit_status;
  }
  if (out != nullptr) *out = reply.json;
  bool started = false;
  std::vector<std::string> reasons;
  for (const auto& outcome : reply.json["outcomes"]) {
    if (outcome.value("started", false)) started = true;
    const std::string reason = outcome.value("reason", std::string());
    if (!reason.empty()) reasons.push_back(reason);
  }
  for (const auto& box : reply.json["boxes"]) {
    const std::string caption = box.value("caption", std::string());
    const std::string buttons = box.value("buttons", std::string());
    if (caption == kReportingCaption || buttons == "yes-no") continue;
    if (started || caption == kAboutCaption) {
      ShowBox(*options.ports, box, options.scripted);
    } else if (!options.scripted && HasDisplay()) {
      ShowBox(*options.ports, box, false);
    }
  }
  if (started) return 0;
  if (reply.json.value("greyed", false)) {
    std::fprintf(stderr,
                 "vexmor %s: the menu item is greyed here (wrong folder, or no message "
                 "selected)\n",
                 command.c_str());
    return 1;
  }
  if (reasons.empty()) {
    std::fprintf(stderr, "vexmor %s: nothing was done (no command of the product ran)\n",
                 command.c_str());
    return 1;
  }
  for (const std::string& reason : reasons) {
    std::fprintf(stderr, "vexmor %s: %s\n", command.c_str(), reason.c_str());
  }
  return 1;
}

// The Message-ID of a message on standard input, without angle brackets.
std::string StdinMessageId() {
  const std::string message((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
  std::string id;
  size_t at = 0;
  while (at < message.size()) {
    size_t end = message.find('\n', at);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    // A folded Message-ID continues on the next line.
    while (end + 1 < message.size() && (message[end + 1] == ' ' || message[end + 1] == '\t')) {
      size_t next = message.find('\n', end + 1);
      if (next == std::string::npos) next = message.size();
      line += message.substr(end + 1, next - end - 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      end = next;
    }
    std::string name = line.substr(0, 11);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "message-id:") {
      const size_t open = line.find('<');
      const size_t close = line.find('>', open == std::string::npos ? 0 : open);
      if (open != std::string::npos && close != std::string::npos) {
        id = line.substr(open + 1, close - open - 1);
      }
      break;
    }
    at = end + 1;
  }
  return id;
}

// After a report: once the host has reported every selected message (the hook library allows
// the next report again), says how many reports wait because the signature server did not
// answer. Says nothing when the host takes longer than the deadline.
void SayWaitingReports(const ToolPorts& ports, const std::string& command) {
  Reply about = Send(command, "status", {});
  if (about.exit_status != 0) return;
  const std::string install_dir = about.json.value("install_dir", std::string());
  if (install_dir.empty()) return;
  const std::string file = install_dir + std::string(state::kMessageFile);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ports.profile.GetInt(file, state::kSectionMessage, state::kKeyAllowed, 1) != 1) {
    if (std::chrono::steady_clock::now() > deadline) return;
    // The host writes the key in a state file of its own; nothing else tells when it has.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const size_t waiting = validate::WaitingReports(install_dir);
  if (waiting > 0) {
    std::printf(
        "%zu report(s) wait for the signature server; they are sent when it answers "
        "again\n",
        waiting);
  }
}

// Whether the session has a program to open a page with (as it chooses one).
bool HasOpener() {
  const char* opener = std::getenv("VEXMOR_OPEN_COMMAND");
  const std::string name = opener != nullptr && *opener != '\0' ? opener : "xdg-open";
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t at = 0;
  while (at <= folders.size()) {
    size_t end = folders.find(':', at);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(at, end - at);
    if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

// The help page the session would open: $VEXMOR_HELP_FILE, else the installed one beside the
// programs, else (in a build tree) the source's.
std::string HelpPage() {
  const char* env = std::getenv("VEXMOR_HELP_FILE");
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  const std::string folder = exe.substr(0, exe.rfind('/') + 1);
  const std::vector<std::string> candidates = {
      env != nullptr ? std::string(env) : std::string(),
      folder.empty() ? std::string() : folder + "../../share/doc/vexmor/help/index.html",
#ifdef VEXMOR_SOURCE_HELP
      VEXMOR_SOURCE_HELP,
#endif
  };
  for (const std::string& page : candidates) {
    if (!page.empty() && ::access(page.c_str(), R_OK) == 0) {
      std::error_code error;
      const std::filesystem::path normal = std::filesystem::weakly_canonical(page, error);
      return error ? page : normal.string();
    }
  }
  return "";
}

// The verdict log of the session's install directory and its size before a check.
struct VerdictMark {
  std::string path;
  std::uintmax_t size = 0;
};

VerdictMark MarkVerdicts(const std::string& command) {
  VerdictMark mark;
  Reply about = Send(command, "status", {});
  if (about.exit_status != 0) return mark;
  const std::string install_dir = about.json.value("install_dir", std::string());
  if (install_dir.empty()) return mark;
  mark.path = platform::WithTrailingSlash(install_dir) + std::string(hook::kVerdictLogFile);
  std::error_code error;
  mark.size = std::filesystem::file_size(mark.path, error);
  if (error) mark.size = 0;
  return mark;
}

struct CheckSummary {
  std::int64_t judged = 0;
  std::int64_t spam = 0;
};

// The verdicts written about the checked folder since the mark (a log set aside meanwhile is
// read from its start).
CheckSummary SummariseCheck(const VerdictMark& mark, const nlohmann::json& selected) {
  CheckSummary summary;
  if (mark.path.empty()) return summary;
  std::ifstream in(mark.path, std::ios::binary);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(mark.path, error);
  if (!error && size >= mark.size) in.seekg(static_cast<std::streamoff>(mark.size));
  const nlohmann::json folder =
      selected.is_object() ? selected.value("folder", nlohmann::json()) : nlohmann::json();
  const std::string path = selected.is_object() ? selected.value("path", std::string()) : "";
  std::string text;
  while (std::getline(in, text)) {
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (!line.is_object()) continue;
    // The folder as a number (the local client's id) or as a name, when the line has one.
    const auto where = line.find("folder");
    if (!folder.is_null() && where != line.end()) {
      const bool same =
          (where->is_number_integer() && folder.is_number_integer() &&
           where->get<std::int64_t>() == folder.get<std::int64_t>()) ||
          (where->is_string() && !path.empty() &&
           (where->get<std::string>() == path || path.ends_with("\\" + where->get<std::string>())));
      if (!same) continue;
    }
    ++summary.judged;
    if (line.value("verdict", std::string()) == "spam") ++summary.spam;
  }
  return summary;
}

int Usage(const std::string& command, const std::string& what) {
  std::fprintf(stderr, "vexmor %s: %s\n%s", command.c_str(), what.c_str(), kUsage);
  return 2;
}

}  // namespace

bool IsClientCommand(const std::string& command) {
  for (const char* name : {"select", "key", "menu", "toolbar", "report", "notspam", "check",
                           "empty", "senders", "help", "about"}) {
    if (command == name) return true;
  }
  return false;
}

int RunClientCommand(const ToolPorts& ports, const std::string& command, const Args& in) {
  Options options;
  options.ports = &ports;
  std::vector<std::string> args;
  bool from_stdin = false, no_wait = false;
  std::string folder;
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& a = in[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--yes" || a == "--no") {
      options.policy = a.substr(2);
      options.scripted = true;
    } else if (a == "--stdin" && (command == "report" || command == "notspam")) {
      from_stdin = true;
    } else if (a == "--folder" && i + 1 < in.size() &&
               (command == "report" || command == "notspam")) {
      folder = in[++i];
    } else if (a == "--no-wait" && command == "check") {
      no_wait = true;
    } else {
      args.push_back(a);
    }
  }

  if (command == "select") {
    if (args.empty()) return Usage(command, "name a folder or a --message-id");
    Reply reply = Send(command, "select", args);
    if (reply.exit_status != 0) return reply.exit_status;
    std::printf("%s\n", reply.json.dump().c_str());
    return 0;
  }
  if (command == "key" || command == "menu" || command == "toolbar") {
    if (args.size() != 1)
      return Usage(command, command == "key" ? "name one key" : "name one item");
    return Act(command, command, args, options);
  }
  if (command == "report" || command == "notspam") {
    if (!args.empty()) return Usage(command, "unexpected \"" + args[0] + "\"");
    if (from_stdin) {
      const std::string id = StdinMessageId();
      if (id.empty()) {
        std::fprintf(stderr, "vexmor %s: the message on standard input has no Message-ID\n",
                     command.c_str());
        return 1;
      }
      std::vector<std::string> select;
      if (!folder.empty()) select.push_back(folder);
      select.push_back("--message-id");
      select.push_back(id);
      Reply reply = Send(command, "select", select);
      if (reply.exit_status != 0) return reply.exit_status;
    }
    if (command == "notspam") return Act(command, "toolbar", {"notspam"}, options);
    const int status = Act(command, "key", {"F8"}, options);
    if (status == 0) SayWaitingReports(ports, command);
    return status;
  }
  if (command == "check" || command == "empty") {
    if (args.size() > 1 || (command == "empty" && args.size() != 1)) {
      return Usage(command, "name one folder");
    }
    nlohmann::json selected;
    if (!args.empty()) {
      Reply reply = Send(command, "select", {args[0], "--all"});
      if (reply.exit_status != 0) return reply.exit_status;
      selected = reply.json;
    }
    // Where the verdicts of this check will be written, and how far the log reaches now.
    VerdictMark mark;
    if (command == "check") mark = MarkVerdicts(command);
    nlohmann::json done;
    const int status = Act(command, "menu", {command}, options, &done);
    // With a display the session's progress dialog shows it.
    if (status != 0 || command != "check" || no_wait || HasDisplay()) return status;
    // The host checks the folder now; follow its counters until it is done.
    Reply about = Send(command, "status", {});
    if (about.exit_status != 0) return about.exit_status;
    static std::atomic<bool> interrupted{false};
    std::signal(SIGINT, [](int) { interrupted = true; });
    TerminalProgress progress(ports.profile, about.json.value("install_dir", std::string()), stdout,
                              ::isatty(STDOUT_FILENO) != 0);
    if (!progress.Run(interrupted)) return 1;
    const CheckSummary summary = SummariseCheck(mark, selected);
    const std::int64_t checked = progress.total() > 0 ? progress.total() : summary.judged;
    std::printf("checked %lld, moved %lld to Spam\n", static_cast<long long>(checked),
                static_cast<long long>(summary.spam));
    return 0;
  }
  if (command == "senders") {
    if (args.size() != 1 || (args[0] != "approved" && args[0] != "blocked")) {
      return Usage(command, "name the list: approved|blocked");
    }
    const int status = Act(command, "menu", {args[0]}, options);
    if (status == 0 && !HasDisplay()) {
      std::fprintf(stderr,
                   "vexmor senders: the dialog opens on the session's display; without one use "
                   "vexmor lists show|add|remove %s ...\n",
                   args[0].c_str());
    }
    return status;
  }
  if (command == "help") {
    // Without a program to open it, the page's path is what the user can use.
    if (!HasOpener()) {
      const std::string page = HelpPage();
      if (page.empty()) {
        std::fprintf(stderr, "vexmor help: the help page is not installed\n");
        return 1;
      }
      std::printf("%s\n", page.c_str());
      return 0;
    }
    return Act(command, "menu", {"help"}, options);
  }
  if (command == "about") return Act(command, "toolbar", {"about"}, options);
  return Usage(command, "unknown command");
}

}  // namespace vexmor::tools
