#include "imap_mover.h"

#include <cstring>

#include "imap_commands.h"

namespace vexmor::platform::imap {

StatusOr<EntryId> Mover::Move(const EntryIdParts& src, const EntryIdParts& msg,
                              const EntryIdParts& dst, const EntryId& message) {
  if (Status s = connection_.Ensure(); !s.ok()) return s;
  // The Message-ID finds the copy should the answer be lost. The message read moments ago
  // gives it without a FETCH when the server's COPYUID answer tells whether it still was
  // there; otherwise its header is fetched, which also shows it still is.
  MessageCache& cache = connection_.cache();
  const MessageCache::Entry* kept = cache.Find(msg.mailbox, msg.uidvalidity, msg.uid);
  const bool check_by_answer = kept != nullptr && src.mailbox != dst.mailbox &&
                               connection_.has_move() && connection_.has_uidplus();
  QueuedMoves& queue = connection_.queued_moves();
  // A further move of a run already checked joins it: the folders are checked again right
  // before the run is sent.
  if (check_by_answer && queue.open && !queue.uids.empty() && queue.src == src &&
      queue.dst == dst) {
    queue.uids.push_back(msg.uid);
    cache.Forget(msg.mailbox, msg.uidvalidity, msg.uid);
    if (queue.uids.size() >= kMostQueuedMoves) SendQueued();
    return MovedEntry(dst, 0);
  }
  // Moves happen in the order asked for: one that is not queued sends the queue first.
  if (!(check_by_answer && queue.open)) SendQueued();
  StatusOr<MailboxStatus> target = connection_.CheckedStatus(dst);
  if (!target.ok()) return target.status();
  // Fresh answers only: a mailbox recreated since it was last selected must not pass.
  StatusOr<MailboxStatus> source = connection_.CheckedStatus(src);
  if (!source.ok()) return source.status();
  connection_.ForgetSelectionUnless(src.mailbox, source->uidvalidity);
  StatusOr<uint32_t> selected = connection_.Select(src.mailbox, src.uidvalidity);
  if (!selected.ok()) return selected.status();
  std::string message_id;
  if (check_by_answer) {
    if (queue.open) {
      if (!queue.uids.empty()) SendQueued();  // another pair of folders
      queue.src = src;
      queue.dst = dst;
      queue.uids.push_back(msg.uid);
      cache.Forget(msg.mailbox, msg.uidvalidity, msg.uid);
      return MovedEntry(dst, 0);
    }
    message_id = MessageIdOf(kept->bytes);
  } else {
    StatusOr<std::optional<Fetched>> header = FetchSection(connection_, msg.uid, true);
    if (!header.ok()) return header.status();
    if (!header->has_value()) return Status::NotFound("the message is no longer there");
    if (src.mailbox == dst.mailbox) return message;
    message_id = MessageIdOf(*(*header)->bytes);
  }
  cache.Forget(msg.mailbox, msg.uidvalidity, msg.uid);

  if (connection_.has_move()) {
    return MoveWithMove(src, msg, dst, target->uidnext, message_id, check_by_answer);
  }
  if (!connection_.has_uidplus()) {
    return Status::Unavailable(
        "the server offers neither MOVE nor UIDPLUS, so a copy could not be confirmed before "
        "the original is deleted; the message stays where it is");
  }
  return MoveWithCopy(src, msg, dst, target->uidnext, message_id);
}

void Mover::OpenBatch() {
  QueuedMoves& queue = connection_.queued_moves();
  if (!queue.open) queue = QueuedMoves{};
  queue.open = true;
}

Status Mover::CloseBatch() {
  SendQueued();
  QueuedMoves& queue = connection_.queued_moves();
  std::string failures = std::move(queue.failures);
  queue = QueuedMoves{};
  if (failures.empty()) return Status::Ok();
  return Status::Unavailable("some messages were not moved: " + failures);
}

void Mover::SendQueued() {
  QueuedMoves& queue = connection_.queued_moves();
  if (queue.uids.empty()) return;
  std::vector<uint32_t> uids = std::move(queue.uids);
  queue.uids.clear();
  const EntryIdParts src = queue.src;
  const EntryIdParts dst = queue.dst;
  std::string why;
  for (int attempt = 0; attempt < 2 && !uids.empty(); ++attempt) {
    Status sent = SendMoves(src, dst, uids);
    if (sent.ok()) {
      uids.clear();
      break;
    }
    why = sent.message();
    if (sent.code() != StatusCode::kUnavailable && sent.code() != StatusCode::kCorrupt) break;
    // The answer was lost; MOVE is atomic on the server, so the source tells what happened.
    if (!connection_.Ensure().ok()) break;
    StatusOr<uint32_t> selected = connection_.Select(src.mailbox, src.uidvalidity);
    if (!selected.ok()) break;
    StatusOr<std::vector<uint32_t>> left =
        UidSearch(connection_, mailimap_search_key_new_uid(UidSet::Of(uids).release()));
    if (!left.ok()) break;
    uids = std::move(*left);
  }
  if (uids.empty()) return;
  std::string& failures = queue.failures;
  if (!failures.empty()) failures += "; ";
  failures += std::to_string(uids.size()) + " to " + dst.mailbox + " (" + why + ")";
}

Status Mover::SendMoves(const EntryIdParts& src, const EntryIdParts& dst,
                        const std::vector<uint32_t>& uids) {
  if (Status s = connection_.Ensure(); !s.ok()) return s;
  StatusOr<MailboxStatus> target = connection_.CheckedStatus(dst);
  if (!target.ok()) return target.status();
  StatusOr<MailboxStatus> source = connection_.CheckedStatus(src);
  if (!source.ok()) return source.status();
  connection_.ForgetSelectionUnless(src.mailbox, source->uidvalidity);
  StatusOr<uint32_t> selected = connection_.Select(src.mailbox, src.uidvalidity);
  if (!selected.ok()) return selected.status();
  UidSet set = UidSet::Of(uids);
  uint32_t validity = 0;
  UidSet source_set;
  UidSet dest_set;
  int rc = mailimap_uidplus_uid_move(connection_.imap(), set.get(), dst.mailbox.c_str(), &validity,
                                     source_set.out(), dest_set.out());
  if (rc == MAILIMAP_NO_ERROR) return Status::Ok();
  connection_.ForgetSelection();
  return connection_.Error(rc, "UID MOVE");
}

EntryId Mover::MovedEntry(const EntryIdParts& dst, uint32_t uid) {
  return uid == 0 ? EntryId() : PackEntryId({'M', dst.mailbox, dst.uidvalidity, uid});
}

StatusOr<uint32_t> Mover::FindCopy(const EntryIdParts& dst, uint32_t uidnext,
                                   const std::string& message_id) {
  if (message_id.empty() || uidnext == 0) return 0u;
  StatusOr<uint32_t> selected = connection_.Select(dst.mailbox, dst.uidvalidity);
  if (!selected.ok()) return selected.status();
  mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
  mailimap_search_key_multiple_add(
      key, mailimap_search_key_new_uid(UidSet::Range(uidnext, 0).release()));
  mailimap_search_key_multiple_add(
      key, mailimap_search_key_new_header(strdup("Message-ID"), strdup(message_id.c_str())));
  StatusOr<std::vector<uint32_t>> uids = UidSearch(connection_, key);
  if (!uids.ok()) return uids.status();
  for (uint32_t uid : *uids) {
    if (uid >= uidnext) return uid;
  }
  return 0u;
}

StatusOr<bool> Mover::SourceStillThere(const EntryIdParts& src, const EntryIdParts& msg) {
  if (Status s = connection_.Ensure(); !s.ok()) return s;
  StatusOr<uint32_t> selected = connection_.Select(src.mailbox, src.uidvalidity);
  if (!selected.ok()) return selected.status();
  mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
  mailimap_search_key_multiple_add(key,
                                   mailimap_search_key_new_uid(UidSet::Single(msg.uid).release()));
  mailimap_search_key_multiple_add(key, SearchUndeleted());
  StatusOr<std::vector<uint32_t>> uids = UidSearch(connection_, key);
  if (!uids.ok()) return uids.status();
  return !uids->empty();
}

StatusOr<EntryId> Mover::MoveWithMove(const EntryIdParts& src, const EntryIdParts& msg,
                                      const EntryIdParts& dst, uint32_t uidnext,
                                      const std::string& message_id, bool unverified) {
  UidSet set = UidSet::Single(msg.uid);
  uint32_t validity = 0;
  UidSet source_set;
  UidSet dest_set;
  int rc = connection_.has_uidplus()
               ? mailimap_uidplus_uid_move(connection_.imap(), set.get(), dst.mailbox.c_str(),
                                           &validity, source_set.out(), dest_set.out())
               : mailimap_uid_move(connection_.imap(), set.get(), dst.mailbox.c_str());
  uint32_t new_uid = dest_set.First();
  if (rc == MAILIMAP_NO_ERROR) {
    // The source stays selected: the server has told of the moved message's expunge.
    if (new_uid == 0) {
      StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
      if (copy.ok()) new_uid = *copy;
      // No copy and no COPYUID: the message had already left the source.
      if (new_uid == 0 && unverified) return Status::NotFound("the message is no longer there");
    }
    return MovedEntry(dst, new_uid);
  }
  connection_.ForgetSelection();
  Status failed = connection_.Error(rc, "UID MOVE");
  if (failed.code() != StatusCode::kUnavailable && failed.code() != StatusCode::kCorrupt) {
    return failed;  // the server refused: nothing moved
  }
  // The answer was lost. MOVE is atomic on the server, so the source tells what happened.
  StatusOr<bool> still_there = SourceStillThere(src, msg);
  if (!still_there.ok()) return failed;
  if (*still_there) {
    return Status::Unavailable(
        "the connection to the server dropped during UID MOVE; the "
        "message was not moved");
  }
  StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
  return MovedEntry(dst, copy.ok() ? *copy : 0);
}

StatusOr<EntryId> Mover::MoveWithCopy(const EntryIdParts& src, const EntryIdParts& msg,
                                      const EntryIdParts& dst, uint32_t uidnext,
                                      const std::string& message_id) {
  UidSet set = UidSet::Single(msg.uid);
  uint32_t validity = 0;
  UidSet source_set;
  UidSet dest_set;
  int rc = mailimap_uidplus_uid_copy(connection_.imap(), set.get(), dst.mailbox.c_str(), &validity,
                                     source_set.out(), dest_set.out());
  uint32_t copy_uid = dest_set.First();
  if (rc != MAILIMAP_NO_ERROR) {
    Status failed = connection_.Error(rc, "UID COPY");
    if (failed.code() != StatusCode::kUnavailable && failed.code() != StatusCode::kCorrupt) {
      return failed;
    }
    if (Status s = connection_.Ensure(); !s.ok()) return failed;
    StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
    if (!copy.ok() || *copy == 0) return failed;  // no copy: nothing happened
    copy_uid = *copy;
  } else if (copy_uid == 0 || validity != dst.uidvalidity) {
    // Copied, but the server did not say where: look for it before deleting anything.
    StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
    if (!copy.ok() || *copy == 0) {
      return Status::Corrupt(
          "the server copied the message without confirming the copy (no COPYUID); the "
          "original was kept");
    }
    copy_uid = *copy;
  }
  // The copy is confirmed: the original may go. A dropped connection is retried once.
  Status deleted = DeleteOriginal(src, msg);
  if (!deleted.ok() && !connection_.alive()) deleted = DeleteOriginal(src, msg);
  if (!deleted.ok()) return deleted;
  return MovedEntry(dst, copy_uid);
}

Status Mover::DeleteOriginal(const EntryIdParts& src, const EntryIdParts& msg) {
  if (Status s = connection_.Ensure(); !s.ok()) return s;
  StatusOr<uint32_t> selected = connection_.Select(src.mailbox, src.uidvalidity);
  if (!selected.ok()) return selected.status();
  return DeleteUids(UidSet::Single(msg.uid));
}

Status Mover::DeleteUids(const UidSet& set) {
  mailimap_flag_list* flags = mailimap_flag_list_new_empty();
  mailimap_flag_list_add(flags, mailimap_flag_new_deleted());
  mailimap_store_att_flags* store = mailimap_store_att_flags_new_add_flags_silent(flags);
  int rc = mailimap_uid_store(connection_.imap(), set.get(), store);
  mailimap_store_att_flags_free(store);
  if (rc != MAILIMAP_NO_ERROR) return connection_.Error(rc, "UID STORE");
  rc = connection_.has_uidplus() ? mailimap_uid_expunge(connection_.imap(), set.get())
                                 : mailimap_expunge(connection_.imap());
  if (rc != MAILIMAP_NO_ERROR) return connection_.Error(rc, "EXPUNGE");
  return Status::Ok();
}

}  // namespace vexmor::platform::imap
