// The commands that read the selected mailbox (UID SEARCH, UID FETCH of sections, sizes and
// what the server keeps of a message) and the reading of their answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imap_connection.h"
#include "imap_uid_set.h"

namespace vexmor::platform::imap {

// What one message's FETCH answer carried.
struct Fetched {
  uint32_t uid = 0;
  std::optional<uint64_t> size;      // RFC822.SIZE
  std::optional<std::string> bytes;  // the section asked for
  std::string guid;                  // X-GUID
  bool seen = false;
};

// UIDs of the selected mailbox matching a search key (which this call frees), ascending.
StatusOr<std::vector<uint32_t>> UidSearch(Connection& connection, mailimap_search_key* key);
mailimap_search_key* SearchUnseen();
mailimap_search_key* SearchUndeleted();

// One section of one message of the selected mailbox (the whole message, or the header); with
// "first_bytes" only that many bytes from the start. Nothing when the UID is gone.
StatusOr<std::optional<Fetched>> FetchSection(Connection& connection, uint32_t uid,
                                              bool header_only, uint32_t first_bytes = 0);

// RFC822.SIZE of the messages of "uids" the mailbox still holds.
StatusOr<std::vector<Fetched>> FetchSizes(Connection& connection,
                                          const std::vector<uint32_t>& uids);

// The first "first_bytes" bytes (0: all) of each message of "uids", in one command.
StatusOr<std::vector<Fetched>> FetchMany(Connection& connection, const std::vector<uint32_t>& uids,
                                         uint32_t first_bytes);

// What the server keeps of the messages through MOVE and COPY (X-GUID) and their read mark, in
// one command; an error from a server that keeps no such id.
StatusOr<std::vector<Fetched>> FetchEvidence(Connection& connection,
                                             const std::vector<uint32_t>& uids);

// The evidence of a move as the tracker takes it.
MoveEvidence EvidenceOf(const Fetched& fetched);

// The Message-ID (with its angle brackets) of a message's header; empty when it has none.
std::string MessageIdOf(std::string_view header);

}  // namespace vexmor::platform::imap
