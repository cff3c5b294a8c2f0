#include "account_verdict.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

std::string Json(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

AccountVerdict& CurrentVerdict() {
  static AccountVerdict verdict;
  return verdict;
}

void BeginVerdict(const platform::MessageProps& props) {
  AccountVerdict& verdict = CurrentVerdict();
  verdict = AccountVerdict{};
  verdict.judged = true;
  if (std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(props.entry_id)) {
    verdict.mailbox = parts->mailbox;
    verdict.uid = parts->uid;
  }
  verdict.message_id = props.message_id;
  verdict.subject = props.subject;
  verdict.sender = platform::Ansi(props.sender_address);
}

void NoteRule(std::string_view rule, bool spam) {
  CurrentVerdict().rule = std::string(rule);
  CurrentVerdict().spam = spam;
}

void NoteAsked(std::string_view kind, std::string_view text, int64_t signature, bool spam) {
  CurrentVerdict().asked.push_back({std::string(kind), std::string(text), signature, spam});
}

std::string AccountVerdictLine(const AccountVerdict& verdict) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = "{\"time\":\"" + std::string(stamp) + "\",\"folder\":0";
  line += ",\"message\":" + std::to_string(verdict.uid);
  line += ",\"mailbox\":" + Json(verdict.mailbox);
  line += ",\"message_id\":" + Json(verdict.message_id);
  line += ",\"subject\":" + Json(verdict.subject);
  line += ",\"sender\":" + Json(verdict.sender);
  line += std::string(",\"verdict\":\"") + (verdict.spam ? "spam" : "normal") + "\"";
  line += ",\"rule\":" + Json(verdict.rule);
  line += ",\"signatures\":[";
  for (size_t i = 0; i < verdict.asked.size(); ++i) {
    const AccountVerdict::Asked& asked = verdict.asked[i];
    if (i > 0) line += ',';
    line += "{\"kind\":" + Json(asked.kind) + ",\"text\":" + Json(asked.text);
    line += ",\"signature\":" + std::to_string(asked.signature);
    line += std::string(",\"spam\":") + (asked.spam ? "true" : "false") + "}";
  }
  return line + "]}\n";
}

void WriteCurrentVerdict(const std::string& install_dir) {
  AccountVerdict& verdict = CurrentVerdict();
  try {
    if (verdict.judged && !install_dir.empty()) {
      log::AppendRaw(install_dir + "verdicts.jsonl", AccountVerdictLine(verdict));
    }
  } catch (...) {
    // The verdict stands whether or not it could be noted.
  }
  verdict = AccountVerdict{};
}

}  // namespace vexmor::addin
