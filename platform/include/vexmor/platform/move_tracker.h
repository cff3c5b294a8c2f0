// Tells a person's move or copy of a message from new mail, for both clients.
//
// A message that turns up in a folder is a person's doing only on evidence a sender cannot
// forge. Senders choose Message-IDs and resend identical messages, so neither a known
// Message-ID nor identical bytes are evidence; what counts:
//
// - the same stored object: the same file renamed or hard-linked by a reader (device, inode and
//   birth time), or on IMAP the server's own id of the stored message, which MOVE and COPY
//   keep and a delivery makes anew (Dovecot's X-GUID);
// - a reader's copy of the bytes of a known message, written where readers write (Maildir
//   cur/, never new/ where deliveries land), while the original is still there to be copied:
//   a copy, which becomes a move once the original leaves; or already read when it is first
//   seen and its original gone (a reader that moved it while nobody watched).
//
// Anything else is new mail, whatever its Message-ID says. The key only narrows the search
// (a person's copy keeps its header); it never decides.
//
// The tracker holds what it was told in memory; it is used by one thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vexmor::platform {

// A message's place: a folder and the message's id there (a Maildir id, an IMAP UID).
struct TrackedSpot {
  uint32_t folder = 0;
  uint32_t message = 0;
  auto operator<=>(const TrackedSpot&) const = default;
};

// What the store shows of one message.
struct MoveEvidence {
  // It lies where deliveries land (Maildir new/, or it was seen there first).
  bool delivered = false;
  // The person has read it.
  bool read = false;
  // The stored object that a person's move keeps: "device:inode:birth time" of a file, or the
  // IMAP server's id of the stored message; empty when the store shows none.
  std::string object;
  // ContentDigest of its bytes; 0 when not taken (the tracker asks for it when it needs it).
  uint64_t digest = 0;
};

// A digest of a message's bytes that a reader's copy keeps: its Message-ID and its body, line
// ends taken out (readers add or drop status lines in the header, IMAP sends CRLF).
uint64_t ContentDigest(std::string_view raw);

class PersonMoveTracker {
 public:
  enum class Kind {
    kNewMail,  // judge it
    kMove,     // a person moved it here from "from"
    kCopy,     // a person copied it here from "from"; the original is still there
  };
  struct Answer {
    Kind kind = Kind::kNewMail;
    uint32_t from = 0;
    bool operator==(const Answer&) const = default;
  };
  // Whether a spot still holds its message, asked of the store.
  using StillThere = std::function<bool(TrackedSpot)>;
  // The ContentDigest of the message at a spot, read from the store when a comparison needs
  // it; 0 when it cannot be read.
  using DigestOf = std::function<uint64_t(TrackedSpot)>;

  static constexpr size_t kDefaultCapacity = 50000;
  static constexpr size_t kMaxCopies = 1000;

  explicit PersonMoveTracker(StillThere still_there, DigestOf digest_of = nullptr,
                             size_t capacity = kDefaultCapacity);

  // A message known to lie at "spot" (judged there, found there at start, put there by the
  // host). Later knowledge of a spot replaces the earlier.
  void Know(const std::string& key, TrackedSpot spot, const MoveEvidence& evidence);
  // The message left "spot" (the host moved it, or saw it gone).
  void Forget(TrackedSpot spot);
  // A folder whose ids were given out afresh: every spot known there may name another message
  // now, so none of them, nor a copy waiting there or for an original there, is kept.
  void ForgetFolder(uint32_t folder);
  bool Knows(TrackedSpot spot) const { return spots_.count(spot) != 0; }
  size_t known() const { return spots_.size(); }
  // The evidence known of a spot; nullptr when it is not known.
  const MoveEvidence* EvidenceOf(TrackedSpot spot) const;

  // A message that turned up at "spot": a person's move or copy, or new mail. Either way it is
  // known from now on.
  Answer Arrive(const std::string& key, TrackedSpot spot, const MoveEvidence& evidence);

  // Copies whose original has left since they arrived: each is a move now, once. Copies that
  // are gone themselves are dropped.
  std::vector<std::pair<TrackedSpot, Answer>> CopiesNowMoved();
  size_t copies_waiting() const { return copies_.size(); }

 private:
  struct Entry {
    std::string key;
    MoveEvidence evidence;
    uint64_t sequence = 0;
  };
  struct Copy {
    TrackedSpot copy;
    TrackedSpot original;
  };
  void AddCopy(const Copy& copy);
  void Trim();

  uint64_t Digest(TrackedSpot spot, Entry* entry);

  StillThere still_there_;
  DigestOf digest_of_;
  size_t capacity_;
  uint64_t next_sequence_ = 0;
  std::map<TrackedSpot, Entry> spots_;
  std::multimap<std::string, TrackedSpot> by_key_;
  std::vector<Copy> copies_;
};

}  // namespace vexmor::platform
