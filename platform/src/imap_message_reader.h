// Reading messages for the store: the message asked for and, when a listing of its mailbox
// shows more after it, the next ones too, in one FETCH (a burst of new mail is judged one
// message after the other, and a round trip per message would cost more than the judging).
// What was read is kept moments in the connection's cache, keyed by UID.
#pragma once

#include <cstddef>
#include <string>

#include "imap_connection.h"

namespace vexmor::platform::imap {

class MessageReader {
 public:
  explicit MessageReader(Connection& connection) : connection_(connection) {}

  // The whole message.
  StatusOr<std::string> Whole(const EntryIdParts& message);

  // The message when it has at most "whole_limit" bytes (whole set), else at least its first
  // "whole_limit" + 1 bytes, enough for its header (whole unset). Never holds more of one
  // message than that. The bytes stay the cache's: valid until the next read.
  struct Bounded {
    std::string_view bytes;
    bool whole = true;
  };
  StatusOr<Bounded> UpTo(const EntryIdParts& message, size_t whole_limit);

  // What the server keeps of the message through MOVE and COPY (see MapiStore::GetEvidence).
  StatusOr<MoveEvidence> Evidence(const EntryIdParts& message);

 private:
  // Reads "message" and those after it into the cache; NotFound when "message" is gone.
  Status ReadAhead(const EntryIdParts& message, size_t whole_limit);
  Status ReadOne(const EntryIdParts& message, size_t whole_limit);

  Connection& connection_;
};

}  // namespace vexmor::platform::imap
