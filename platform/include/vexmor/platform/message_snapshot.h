// The texts of one RFC 822 message as the mail engine takes them: single-byte strings for the
// subject, the sender address, the header, the body of the HTML part (else the plain part) and
// the header of that part (a second place where the charset is declared).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

enum class BodyKind : int32_t { kNone = -1, kPlain = 0, kHtml = 1 };

struct MessageSnapshot {
  int64_t size = 0;  // bytes of the whole message as stored
  BodyKind kind = BodyKind::kNone;
  std::string subject;        // decoded, Windows-1252
  std::string sender;         // address of the first From: mailbox, or empty
  std::string header;         // the header lines as stored, up to the blank line
  std::string second_header;  // the header of the chosen body part
  std::string body;           // the chosen part, transfer encoding removed
  std::string recipients;     // To, Cc and Bcc addresses as "Name <addr>; ..." text
};

// Parses a message with GMime. A leading mbox "From " line is skipped. Fails only when the
// bytes hold no message at all; a message without a text part gets BodyKind::kNone.
StatusOr<MessageSnapshot> ReadMessageSnapshot(std::string_view raw);

}  // namespace vexmor::platform
