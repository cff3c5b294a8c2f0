#include "imap_message_cache.h"

#include <algorithm>

namespace vexmor::platform::imap {

void MessageCache::SetListing(const std::string& mailbox, uint32_t validity,
                              std::vector<uint32_t> uids) {
  listed_mailbox_ = mailbox;
  listed_validity_ = validity;
  listed_ = std::move(uids);
}

std::vector<uint32_t> MessageCache::Ahead(const std::string& mailbox, uint32_t validity,
                                          uint32_t uid, size_t most) const {
  std::vector<uint32_t> ahead{uid};
  if (mailbox != listed_mailbox_ || validity != listed_validity_) return ahead;
  auto at = std::lower_bound(listed_.begin(), listed_.end(), uid);
  if (at == listed_.end() || *at != uid) return ahead;
  for (++at; at != listed_.end() && ahead.size() < most; ++at) ahead.push_back(*at);
  return ahead;
}

const MessageCache::Entry* MessageCache::Find(const std::string& mailbox, uint32_t validity,
                                              uint32_t uid) const {
  auto found = entries_.find({mailbox, validity, uid});
  if (found == entries_.end() || Clock::now() - found->second.at > kKeptFor) return nullptr;
  return &found->second;
}

void MessageCache::Put(const std::string& mailbox, uint32_t validity, uint32_t uid,
                       std::string bytes, bool whole) {
  const Clock::time_point now = Clock::now();
  DropStale(now);
  entries_[{mailbox, validity, uid}] = Entry{std::move(bytes), whole, now};
}

const MoveEvidence* MessageCache::FindEvidence(const std::string& mailbox, uint32_t validity,
                                               uint32_t uid) const {
  auto found = evidence_.find({mailbox, validity, uid});
  if (found == evidence_.end() || Clock::now() - found->second.second > kKeptFor) return nullptr;
  return &found->second.first;
}

void MessageCache::PutEvidence(const std::string& mailbox, uint32_t validity, uint32_t uid,
                               MoveEvidence evidence) {
  const Clock::time_point now = Clock::now();
  DropStale(now);
  evidence_[{mailbox, validity, uid}] = {std::move(evidence), now};
}

void MessageCache::Forget(const std::string& mailbox, uint32_t validity, uint32_t uid) {
  entries_.erase({mailbox, validity, uid});
  evidence_.erase({mailbox, validity, uid});
}

void MessageCache::ForgetMailbox(const std::string& mailbox) {
  std::erase_if(entries_, [&](const auto& entry) { return entry.first.mailbox == mailbox; });
  std::erase_if(evidence_, [&](const auto& entry) { return entry.first.mailbox == mailbox; });
}

void MessageCache::Clear() {
  entries_.clear();
  evidence_.clear();
  listed_.clear();
  listed_mailbox_.clear();
}

void MessageCache::DropStale(Clock::time_point now) {
  // In the clock's own unit: whole seconds divided by 8 would be no pause at all, and every
  // message put would walk the whole cache.
  if (now - last_drop_ < std::chrono::duration_cast<Clock::duration>(kKeptFor) / 8) return;
  last_drop_ = now;
  std::erase_if(entries_, [&](const auto& entry) { return now - entry.second.at > kKeptFor; });
  std::erase_if(evidence_, [&](const auto& entry) { return now - entry.second.second > kKeptFor; });
}

}  // namespace vexmor::platform::imap
