// "vexmor why FILE|MESSAGE-ID": the decision about one message in words, from the verdict log
// the hook library keeps in the install directory.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "vexmor/hook/verdict_log.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

namespace vexmor::tools {
namespace {

constexpr const char* kWhyUsage =
    "usage: vexmor why [--install-dir DIR] FILE|MESSAGE-ID\n"
    "Says why a message went to Spam or stayed, from the verdict log (verdicts.jsonl) of the\n"
    "install directory (default: the one vexmor setup recorded), which both clients write.\n"
    "FILE is a message file, whose Message-ID is looked up. Exit status: 0 found, 1 no\n"
    "verdict about it, 2 usage.\n";

// Message-IDs compare without blanks, angle brackets and case.
std::string Normal(std::string_view id) {
  std::string out;
  for (char c : id) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '<' || c == '>') continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string Text(const nlohmann::json& line, const char* key) {
  auto it = line.find(key);
  return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A number of the line, 0 when it is missing or no number (a line is never trusted to be typed).
long long Number(const nlohmann::json& line, const char* key) {
  auto it = line.find(key);
  return it != line.end() && it->is_number_integer() ? it->get<long long>() : 0;
}

std::string SignatureText(const nlohmann::json& asked) {
  auto it = asked.find("signature");
  if (it == asked.end() || !it->is_number_integer()) return "";
  return " (signature " + std::to_string(it->get<int64_t>()) + ")";
}

std::string Domain(const std::string& address) {
  size_t at = address.rfind('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

// The decision in words, e.g. "moved to Spam: its link domain x.biz was reported by others
// (signature -123)".
std::string Explain(const nlohmann::json& line) {
  const std::string rule = Text(line, "rule");
  const std::string sender = Text(line, "sender");
  const bool spam = Text(line, "verdict") == "spam";
  nlohmann::json asked = line.value("signatures", nlohmann::json::array());
  if (!asked.is_array()) asked = nlohmann::json::array();
  auto first_of = [&](const char* kind) {
    for (const auto& a : asked) {
      if (a.is_object() && Text(a, "kind") == kind) return a;
    }
    return nlohmann::json::object();
  };
  std::string why;
  if (rule == "approved-sender") {
    why = "its sender " + sender + " is on your approved senders list";
  } else if (rule == "approved-domain") {
    why = "its sender's domain " + Domain(sender) + " is on your approved domains list";
  } else if (rule == "foreign-text") {
    why = "it is written in the character set of a foreign language";
  } else if (rule == "blocked-sender") {
    why = "its sender " + sender + " is on your blocked senders list";
  } else if (rule == "blocked-domain") {
    why = "its sender's domain " + Domain(sender) + " is on your blocked domains list";
  } else if (rule == "keywords") {
    why = "it names a product that spam advertises";
  } else if (rule == "link-signature") {
    const auto link = first_of("link");
    why = "its link domain " + Text(link, "text") + " was reported by others" + SignatureText(link);
  } else if (rule == "content-signature") {
    why = "its text was reported by others" + SignatureText(first_of("content"));
  } else {
    why = "no rule found it to be spam";
    for (const auto& a : asked) {
      if (!a.is_object()) continue;
      why += Text(a, "kind") == "link"
                 ? "; the server does not know its link domain " + Text(a, "text") + " as spam"
                 : "; the server does not know its text as spam";
      why += SignatureText(a);
    }
  }
  return (spam ? "moved to Spam: " : "stayed in its folder: ") + why;
}

}  // namespace

std::string ExplainVerdict(const nlohmann::json& line) {
  return Explain(line);
}

int RunWhy(const ToolPorts& ports, const Args& args) {
  std::string install_dir, target;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--install-dir" && i + 1 < args.size()) {
      install_dir = args[++i];
    } else if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kWhyUsage, stdout);
      return 0;
    } else if (target.empty() && !args[i].empty()) {
      target = args[i];
    } else {
      std::fprintf(stderr, "vexmor why: unexpected argument %s\n%s", args[i].c_str(), kWhyUsage);
      return 2;
    }
  }
  if (target.empty()) {
    std::fputs(kWhyUsage, stderr);
    return 2;
  }
  if (install_dir.empty()) install_dir = state::ReadInstallDirectory(ports.profile);
  if (!install_dir.empty() && install_dir.back() != '/') install_dir += '/';

  std::string message_id = target;
  // A message file names itself; anything else is taken as a Message-ID.
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    std::ifstream file(target, std::ios::binary);
    std::string head(65536, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(file.gcount()));
    message_id = hook::HeaderFieldValue(head, "Message-ID");
    if (message_id.empty()) {
      std::fprintf(stderr, "vexmor why: %s has no Message-ID\n", target.c_str());
      return 1;
    }
  }

  const std::string wanted = Normal(message_id);
  const std::string log = install_dir + std::string(hook::kVerdictLogFile);
  int found = 0;
  for (const std::string& path : {log + ".1", log}) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    while (std::getline(in, text)) {
      nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
      if (line.is_discarded() || !line.is_object()) continue;  // a line cut short by a crash
      if (Normal(Text(line, "message_id")) != wanted) continue;
      ++found;
      // The account client's lines name the IMAP mailbox and UID instead of local folder ids.
      char where[512];
      if (line.contains("mailbox")) {
        std::snprintf(where, sizeof where, "account mailbox %s, UID %lld",
                      Text(line, "mailbox").c_str(), Number(line, "message"));
      } else if (const std::string folder = Text(line, "folder"); !folder.empty()) {
        // A writer may name the folder instead of numbering it.
        std::snprintf(where, sizeof where, "folder %s, message %lld", folder.c_str(),
                      Number(line, "message"));
      } else {
        std::snprintf(where, sizeof where, "folder %lld, message %lld", Number(line, "folder"),
                      Number(line, "message"));
      }
      std::printf("%s \"%s\" from %s, judged %s (%s)\n  %s\n", Text(line, "message_id").c_str(),
                  Text(line, "subject").c_str(), Text(line, "sender").c_str(),
                  Text(line, "time").c_str(), where, Explain(line).c_str());
    }
  }
  if (found == 0) {
    std::fprintf(stderr, "vexmor why: no verdict about %s in %s\n", message_id.c_str(),
                 log.c_str());
    return 1;
  }
  return 0;
}

}  // namespace vexmor::tools
