#include "account_verdict.h"

#include <cctype>
#include <chrono>
#include <ctime>

#include <nlohmann/json.hpp>

#include "vexmor/log/verdict_fields.h"
#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

// The mailbox as a person knows it: the receive folder is the Inbox whatever the server calls
// it ("INBOX" in any letter case); other mailboxes by their path.
std::string MailboxName(const std::string& mailbox) {
  std::string upper = mailbox;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == "INBOX" ? std::string("Inbox") : mailbox;
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
  // The keys in the order the local client's verdict lines have them.
  // Every text a sender wrote is held to the line's bound.
  nlohmann::ordered_json line = {{"time", stamp},
                                 {"folder", 0},
                                 {"message", verdict.uid},
                                 {"mailbox", log::BoundedText(verdict.mailbox)},
                                 {"folder_name", log::BoundedText(MailboxName(verdict.mailbox))},
                                 {"message_id", log::BoundedText(verdict.message_id)},
                                 {"subject", log::BoundedText(verdict.subject)},
                                 {"sender", log::BoundedText(verdict.sender)},
                                 {"verdict", verdict.spam ? "spam" : "normal"},
                                 {"rule", verdict.rule},
                                 {"rule_text", log::RuleInWords(verdict.rule)},
                                 {"signatures", nlohmann::ordered_json::array()}};
  for (const AccountVerdict::Asked& asked : verdict.asked) {
    line["signatures"].push_back({{"kind", asked.kind},
                                  {"text", log::BoundedText(asked.text)},
                                  {"signature", asked.signature},
                                  {"spam", asked.spam}});
  }
  // A sender's bytes need not be UTF-8: what is not becomes U+FFFD instead of failing.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
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
