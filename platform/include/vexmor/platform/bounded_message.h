// A message read with bounded memory, whatever its size: the whole of a small message, the
// header alone of a large one, and of a header that is itself huge only what the engine reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

struct BoundedMessageLimits {
  // A message of this many bytes or more is large: only its header is kept.
  size_t whole = 500000;
  // The header's first bytes kept as they are.
  size_t header = 500000;
  // Beyond those, each further field the engine reads is kept up to this many bytes, and all
  // of them together up to "header" bytes more.
  size_t field = 65536;
};

struct BoundedMessage {
  int64_t size = 0;         // bytes of the whole message (all of it is read through)
  bool large = false;       // "bytes" holds the header only
  bool header_cut = false;  // header fields were left out or shortened
  // The message (small) or its header up to and with the blank line (large), in the message's
  // own line breaks; a header cut short has its kept fields in their order.
  std::string bytes;
};

// Reads "source" to its end in pieces, never holding more than the limits (plus one piece).
// The fields kept beyond the header's first bytes are the sender, recipient, subject,
// identity and content fields (From, Sender, Reply-To, To, Cc, Bcc, Subject, Message-ID, Date,
// MIME-Version, Content-Type, Content-Transfer-Encoding).
StatusOr<BoundedMessage> ReadBoundedMessage(MessageSource& source,
                                            const BoundedMessageLimits& limits = {});

}  // namespace vexmor::platform
