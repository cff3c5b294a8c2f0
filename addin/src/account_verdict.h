// The account client's verdicts in the install directory's verdict log ("verdicts.jsonl"), in
// the lines the local client writes, so that "vexmor why" explains both clients' decisions.
// An account line also names its mailbox and UID:
// {"time":"...","folder":0,"message":17,"mailbox":"INBOX","folder_name":"Inbox",
//  "message_id":"a@b","subject":"...","sender":"x@y","verdict":"spam","rule":"link-signature",
//  "rule_text":"its link domain was reported as spam by others",
//  "signatures":[{"kind":"link","text":"x.biz","signature":-1,"spam":true}]}
// Texts from the message are held to log::kVerdictTextLimit bytes each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin {

struct AccountVerdict {
  struct Asked {
    std::string kind;  // "link" or "content"
    std::string text;  // the link domain; empty for content
    int64_t signature = 0;
    bool spam = false;
  };
  bool judged = false;  // the message's properties were read
  std::string mailbox;
  uint32_t uid = 0;
  std::string message_id;
  std::string subject;
  std::string sender;
  bool spam = false;
  // As in the local client's log: "approved-sender", "blocked-domain", "link-signature", ...
  std::string rule = "none";
  std::vector<Asked> asked;
};

// The record of the message the chain judges now (the chain runs on one thread).
AccountVerdict& CurrentVerdict();
// Starts the record for a message.
void BeginVerdict(const platform::MessageProps& props);
// The rule that decided; "spam" says which way.
void NoteRule(std::string_view rule, bool spam);
void NoteAsked(std::string_view kind, std::string_view text, int64_t signature, bool spam);

// The JSON line (with its line end) of a record.
std::string AccountVerdictLine(const AccountVerdict& verdict);
// Appends the current record to the verdict log of "install_dir" when a message was judged;
// failures are swallowed (the verdict stands either way). Clears the record.
void WriteCurrentVerdict(const std::string& install_dir);

}  // namespace vexmor::addin
