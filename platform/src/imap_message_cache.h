// What a connection read of messages moments ago, keyed by UID, so that the steps that look at
// one newly delivered message in a row (the host's sorting, the chain, the move) share one
// FETCH, and a burst of new mail is read in a few commands instead of one per message.
//
// A message's content never changes under its UID; entries still expire after a short while,
// because a kept message also stands for "it was there moments ago" (see the mover).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vexmor/platform/mail_store.h"

namespace vexmor::platform::imap {

class MessageCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kKeptFor{2};
  // A read ahead of the caller takes at most this many messages and bytes.
  static constexpr size_t kMostAhead = 256;
  static constexpr size_t kMostAheadBytes = 16u << 20;

  // The UIDs a listing of the mailbox gave (ascending), to know what to read ahead.
  void SetListing(const std::string& mailbox, uint32_t validity, std::vector<uint32_t> uids);
  // Up to "most" UIDs of the last listing from "uid" on ("uid" first); just "uid" when the
  // listing is of another mailbox or does not hold it.
  std::vector<uint32_t> Ahead(const std::string& mailbox, uint32_t validity, uint32_t uid,
                              size_t most) const;

  // The bytes of a message read moments ago; nullptr when there are none. "whole" tells
  // whether they are the whole message or its first bytes (a message too large to hold).
  struct Entry {
    std::string bytes;
    bool whole = true;
    Clock::time_point at;
  };
  const Entry* Find(const std::string& mailbox, uint32_t validity, uint32_t uid) const;
  void Put(const std::string& mailbox, uint32_t validity, uint32_t uid, std::string bytes,
           bool whole);

  const MoveEvidence* FindEvidence(const std::string& mailbox, uint32_t validity,
                                   uint32_t uid) const;
  void PutEvidence(const std::string& mailbox, uint32_t validity, uint32_t uid,
                   MoveEvidence evidence);

  // The message left (moved, deleted): nothing of it is kept.
  void Forget(const std::string& mailbox, uint32_t validity, uint32_t uid);
  // Everything of a mailbox goes (it is emptied).
  void ForgetMailbox(const std::string& mailbox);
  void Clear();

 private:
  struct Key {
    std::string mailbox;
    uint32_t validity = 0;
    uint32_t uid = 0;
    auto operator<=>(const Key&) const = default;
  };
  // Drops what expired; looked at now and then, not at every entry put.
  void DropStale(Clock::time_point now);
  Clock::time_point last_drop_;

  std::map<Key, Entry> entries_;
  std::map<Key, std::pair<MoveEvidence, Clock::time_point>> evidence_;
  std::string listed_mailbox_;
  uint32_t listed_validity_ = 0;
  std::vector<uint32_t> listed_;
};

}  // namespace vexmor::platform::imap
