// Moving messages between mailboxes: UID MOVE where the server has it, else a confirmed COPY
// and then the original's deletion, and runs of moves queued and sent as one command. The
// source is never removed before its copy is confirmed; a dropped connection is cleared up by
// looking at what the server holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imap_connection.h"
#include "imap_uid_set.h"

namespace vexmor::platform::imap {

class Mover {
 public:
  explicit Mover(Connection& connection) : connection_(connection) {}

  // Moves one message ("msg" in "src") to "dst"; see MapiStore::MoveMessage.
  StatusOr<EntryId> Move(const EntryIdParts& src, const EntryIdParts& msg, const EntryIdParts& dst,
                         const EntryId& message);

  void OpenBatch();
  Status CloseBatch();
  // Sends the queued moves as one UID MOVE. The server moves the whole set or nothing; the
  // messages its COPYUID answer leaves out had already left the folder. When the answer is
  // lost, the messages still in the source are moved once more over a new connection. What
  // still did not move is recorded for CloseBatch; those messages stay where they were.
  void SendQueued();

  // Marks the UIDs of the selected mailbox deleted and expunges exactly them (UIDPLUS), never
  // other messages that someone else marked.
  Status DeleteUids(const UidSet& set);

 private:
  StatusOr<uint32_t> FindCopy(const EntryIdParts& dst, uint32_t uidnext,
                              const std::string& message_id);
  StatusOr<bool> SourceStillThere(const EntryIdParts& src, const EntryIdParts& msg);
  Status SendMoves(const EntryIdParts& src, const EntryIdParts& dst,
                   const std::vector<uint32_t>& uids);
  StatusOr<EntryId> MoveWithMove(const EntryIdParts& src, const EntryIdParts& msg,
                                 const EntryIdParts& dst, uint32_t uidnext,
                                 const std::string& message_id, bool unverified);
  StatusOr<EntryId> MoveWithCopy(const EntryIdParts& src, const EntryIdParts& msg,
                                 const EntryIdParts& dst, uint32_t uidnext,
                                 const std::string& message_id);
  Status DeleteOriginal(const EntryIdParts& src, const EntryIdParts& msg);
  static EntryId MovedEntry(const EntryIdParts& dst, uint32_t uid);

  // A longer queue would only delay the first messages' arrival in their folder.
  static constexpr size_t kMostQueuedMoves = 64;

  Connection& connection_;
};

}  // namespace vexmor::platform::imap
