// What both clients' verdict lines ("verdicts.jsonl") add for a reader: the rule in words and
// the sender's texts held to a bound. A sender writes the Subject and the Message-ID; a line
// of the log must stay one short line whatever they hold.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexmor::log {

// The most bytes a text taken from a message (subject, Message-ID, sender, folder name) keeps
// in a verdict line.
inline constexpr size_t kVerdictTextLimit = 998;

// "utf8" cut to at most "limit" bytes without splitting a character; a cut text ends in "..."
// (within the limit). Malformed bytes are left for the JSON writer to replace.
std::string BoundedText(std::string_view utf8, size_t limit = kVerdictTextLimit);

// The rule that decided ("approved-sender", "link-signature", ..., "none"), in words for a
// person: "the sender is on the approved senders list", ... An unknown rule is returned as is.
std::string_view RuleInWords(std::string_view rule);

}  // namespace vexmor::log
