#include "imap_message_reader.h"

#include <algorithm>

#include "imap_commands.h"

namespace vexmor::platform::imap {
namespace {

constexpr std::string_view kGone = "the message is no longer there";

uint32_t FetchLimit(size_t whole_limit) {
  return static_cast<uint32_t>(std::min<size_t>(whole_limit + 1, UINT32_MAX));
}

}  // namespace

StatusOr<std::string> MessageReader::Whole(const EntryIdParts& message) {
  MessageCache& cache = connection_.cache();
  if (const MessageCache::Entry* kept =
          cache.Find(message.mailbox, message.uidvalidity, message.uid);
      kept != nullptr && kept->whole) {
    return kept->bytes;
  }
  StatusOr<std::string> raw = connection_.Retried([&]() -> StatusOr<std::string> {
    StatusOr<uint32_t> selected = connection_.Select(message.mailbox, message.uidvalidity);
    if (!selected.ok()) return selected.status();
    StatusOr<std::optional<Fetched>> fetched = FetchSection(connection_, message.uid, false);
    if (!fetched.ok()) return fetched.status();
    if (!fetched->has_value()) return Status::NotFound(std::string(kGone));
    return std::move(*(*fetched)->bytes);
  });
  if (raw.ok()) cache.Put(message.mailbox, message.uidvalidity, message.uid, *raw, true);
  return raw;
}

StatusOr<MessageReader::Bounded> MessageReader::UpTo(const EntryIdParts& message,
                                                     size_t whole_limit) {
  MessageCache& cache = connection_.cache();
  auto kept = [&]() -> const MessageCache::Entry* {
    const MessageCache::Entry* entry =
        cache.Find(message.mailbox, message.uidvalidity, message.uid);
    // First bytes of a large message serve only a caller with a limit they exceed.
    if (entry != nullptr && !entry->whole && entry->bytes.size() <= whole_limit) return nullptr;
    return entry;
  };
  if (kept() == nullptr) {
    Status read = connection_.Retried([&]() -> Status { return ReadAhead(message, whole_limit); });
    if (!read.ok()) return read;
  }
  const MessageCache::Entry* entry = kept();
  if (entry == nullptr) return Status::NotFound(std::string(kGone));
  return Bounded{entry->bytes, entry->whole && entry->bytes.size() <= whole_limit};
}

Status MessageReader::ReadAhead(const EntryIdParts& message, size_t whole_limit) {
  StatusOr<uint32_t> selected = connection_.Select(message.mailbox, message.uidvalidity);
  if (!selected.ok()) return selected.status();
  MessageCache& cache = connection_.cache();
  std::vector<uint32_t> ahead =
      cache.Ahead(message.mailbox, message.uidvalidity, message.uid, MessageCache::kMostAhead);
  // Already read: the ones kept moments ago.
  ahead.erase(std::remove_if(ahead.begin() + 1, ahead.end(),
                             [&](uint32_t uid) {
                               return cache.Find(message.mailbox, message.uidvalidity, uid) !=
                                      nullptr;
                             }),
              ahead.end());
  if (ahead.size() == 1) return ReadOne(message, whole_limit);
  // The sizes first, so that a run of large messages is never held at once.
  StatusOr<std::vector<Fetched>> sizes = FetchSizes(connection_, ahead);
  if (!sizes.ok()) return sizes.status();
  std::vector<uint32_t> chosen;
  size_t bytes = 0;
  for (uint32_t uid : ahead) {
    auto sized = std::find_if(sizes->begin(), sizes->end(),
                              [&](const Fetched& f) { return f.uid == uid && f.size; });
    if (sized == sizes->end()) {
      if (uid == message.uid) return ReadOne(message, whole_limit);  // no size: one at a time
      continue;
    }
    const size_t cost = std::min<uint64_t>(*sized->size, FetchLimit(whole_limit));
    if (!chosen.empty() && bytes + cost > MessageCache::kMostAheadBytes) break;
    chosen.push_back(uid);
    bytes += cost;
  }
  if (chosen.empty() || chosen.front() != message.uid) return Status::NotFound(std::string(kGone));
  StatusOr<std::vector<Fetched>> fetched = FetchMany(connection_, chosen, FetchLimit(whole_limit));
  if (!fetched.ok()) return fetched.status();
  for (Fetched& one : *fetched) {
    if (!one.bytes) continue;
    const bool whole = one.bytes->size() <= whole_limit;
    cache.Put(message.mailbox, message.uidvalidity, one.uid, std::move(*one.bytes), whole);
  }
  return Status::Ok();
}

Status MessageReader::ReadOne(const EntryIdParts& message, size_t whole_limit) {
  StatusOr<std::optional<Fetched>> fetched =
      FetchSection(connection_, message.uid, false, FetchLimit(whole_limit));
  if (!fetched.ok()) return fetched.status();
  if (!fetched->has_value()) return Status::NotFound(std::string(kGone));
  std::string bytes = std::move(*(*fetched)->bytes);
  const bool whole = bytes.size() <= whole_limit;
  connection_.cache().Put(message.mailbox, message.uidvalidity, message.uid, std::move(bytes),
                          whole);
  return Status::Ok();
}

StatusOr<MoveEvidence> MessageReader::Evidence(const EntryIdParts& message) {
  MessageCache& cache = connection_.cache();
  if (const MoveEvidence* kept =
          cache.FindEvidence(message.mailbox, message.uidvalidity, message.uid)) {
    return *kept;
  }
  return connection_.Retried([&]() -> StatusOr<MoveEvidence> {
    StatusOr<uint32_t> selected = connection_.Select(message.mailbox, message.uidvalidity);
    if (!selected.ok()) return selected.status();
    std::vector<uint32_t> ahead =
        cache.Ahead(message.mailbox, message.uidvalidity, message.uid, MessageCache::kMostAhead);
    StatusOr<std::vector<Fetched>> fetched = FetchEvidence(connection_, ahead);
    if (!fetched.ok()) return fetched.status();
    std::optional<MoveEvidence> found;
    for (const Fetched& one : *fetched) {
      MoveEvidence evidence = EvidenceOf(one);
      if (one.uid == message.uid) found = evidence;
      cache.PutEvidence(message.mailbox, message.uidvalidity, one.uid, std::move(evidence));
    }
    if (!found) return Status::NotFound(std::string(kGone));
    return *found;
  });
}

}  // namespace vexmor::platform::imap
