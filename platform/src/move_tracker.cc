#include "vexmor/platform/move_tracker.h"
#include "vexmor/platform/ascii.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace vexmor::platform {
namespace {

constexpr uint64_t kFnvOffset = 1469598103934665603ULL;
constexpr uint64_t kFnvPrime = 1099511628211ULL;

void Mix(uint64_t& hash, unsigned char c) {
  hash = (hash ^ c) * kFnvPrime;
}

// Where the body starts (after the blank line), or the end when there is none.
size_t BodyStart(std::string_view raw) {
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\n') continue;
    if (i + 1 < raw.size() && raw[i + 1] == '\n') return i + 2;
    if (i + 2 < raw.size() && raw[i + 1] == '\r' && raw[i + 2] == '\n') return i + 3;
  }
  return raw.size();
}

// Mixes in the first Message-ID field's value (folded lines joined), blanks and case dropped.
void MixMessageId(uint64_t& hash, std::string_view header) {
  size_t at = 0;
  while (at < header.size()) {
    size_t end = header.find('\n', at);
    if (end == std::string_view::npos) end = header.size();
    if (AsciiStartsWithIgnoreCase(header.substr(at, end - at), "message-id:")) {
      size_t stop = end;
      while (stop + 1 < header.size() && (header[stop + 1] == ' ' || header[stop + 1] == '\t')) {
        stop = header.find('\n', stop + 1);
        if (stop == std::string_view::npos) stop = header.size();
      }
      for (char c : header.substr(at + 11, stop - at - 11)) {
        if (!IsAsciiSpace(c)) Mix(hash, static_cast<unsigned char>(AsciiLower(c)));
      }
      return;
    }
    at = end + 1;
  }
}

}  // namespace

uint64_t ContentDigest(std::string_view raw) {
  uint64_t hash = kFnvOffset;
  const size_t body = BodyStart(raw);
  MixMessageId(hash, raw.substr(0, body));
  Mix(hash, 0);  // the header's part ends here
  for (char c : raw.substr(body)) {
    if (c != '\r' && c != '\n') Mix(hash, static_cast<unsigned char>(c));
  }
  return hash == 0 ? 1 : hash;  // 0 means "not taken"
}

PersonMoveTracker::PersonMoveTracker(StillThere still_there, DigestOf digest_of, size_t capacity)
    : still_there_(std::move(still_there)),
      digest_of_(std::move(digest_of)),
      capacity_(std::max<size_t>(capacity, 1)) {}

uint64_t PersonMoveTracker::Digest(TrackedSpot spot, Entry* entry) {
  if (entry != nullptr && entry->evidence.digest != 0) return entry->evidence.digest;
  const uint64_t digest = digest_of_ ? digest_of_(spot) : 0;
  if (entry != nullptr) entry->evidence.digest = digest;
  return digest;
}

void PersonMoveTracker::Know(const std::string& key, TrackedSpot spot,
                             const MoveEvidence& evidence) {
  Forget(spot);
  spots_[spot] = {key, evidence, ++next_sequence_};
  by_key_.emplace(key, spot);
  Trim();
}

void PersonMoveTracker::Forget(TrackedSpot spot) {
  auto it = spots_.find(spot);
  if (it == spots_.end()) return;
  auto [first, last] = by_key_.equal_range(it->second.key);
  for (auto k = first; k != last; ++k) {
    if (k->second == spot) {
      by_key_.erase(k);
      break;
    }
  }
  spots_.erase(it);
}

void PersonMoveTracker::ForgetFolder(uint32_t folder) {
  std::vector<TrackedSpot> there;
  for (const auto& [spot, entry] : spots_) {
    if (spot.folder == folder) there.push_back(spot);
  }
  for (TrackedSpot spot : there) Forget(spot);
  std::erase_if(copies_, [folder](const Copy& copy) {
    return copy.copy.folder == folder || copy.original.folder == folder;
  });
}

const MoveEvidence* PersonMoveTracker::EvidenceOf(TrackedSpot spot) const {
  auto it = spots_.find(spot);
  return it == spots_.end() ? nullptr : &it->second.evidence;
}

PersonMoveTracker::Answer PersonMoveTracker::Arrive(const std::string& key, TrackedSpot spot,
                                                    const MoveEvidence& evidence) {
  std::vector<TrackedSpot> candidates;
  auto [first, last] = by_key_.equal_range(key);
  for (auto k = first; k != last; ++k) {
    if (k->second != spot && k->second.folder != spot.folder) candidates.push_back(k->second);
  }
  // Newest first: a message moved on twice is found where it came from last.
  std::sort(candidates.begin(), candidates.end(), [&](TrackedSpot a, TrackedSpot b) {
    return spots_.at(a).sequence > spots_.at(b).sequence;
  });

  Answer answer;
  // The same stored object: renamed (a move) or linked (a copy) by a reader, or moved or copied
  // on the IMAP server.
  if (!evidence.object.empty()) {
    // A place the file left is where it moved from; one it is still in, where it was linked
    // from (a file linked twice is in several).
    bool found = false;
    TrackedSpot copy_of;
    for (TrackedSpot original : candidates) {
      if (spots_.at(original).evidence.object != evidence.object) continue;
      if (!still_there_(original)) {
        answer = {Kind::kMove, original.folder};
        Forget(original);
        found = true;
        break;
      }
      if (!found) {
        answer = {Kind::kCopy, original.folder};
        copy_of = original;
      }
      found = true;
    }
    if (found) {
      // A copy whose original is expunged afterwards (IMAP clients without MOVE) was a move.
      if (answer.kind == Kind::kCopy) AddCopy({spot, copy_of});
      Know(key, spot, evidence);
      return answer;
    }
  }
  // A reader's copy of the bytes: written where readers write, never where deliveries land.
  const uint64_t digest = evidence.delivered || candidates.empty()
                              ? evidence.digest
                              : (evidence.digest != 0 ? evidence.digest : Digest(spot, nullptr));
  if (!evidence.delivered && digest != 0) {
    for (TrackedSpot original : candidates) {
      const bool there = still_there_(original);
      // An original's bytes can be read only while it is there; one that left unread is known
      // by the digest taken before.
      Entry& entry = spots_.at(original);
      const uint64_t theirs = there ? Digest(original, &entry) : entry.evidence.digest;
      if (theirs != digest) continue;
      if (there) {
        answer = {Kind::kCopy, original.folder};
        AddCopy({spot, original});
      } else if (evidence.read) {
        answer = {Kind::kMove, original.folder};
        Forget(original);
      } else {
        continue;  // its original left before any reader could have copied it from there
      }
      MoveEvidence known = evidence;
      known.digest = digest;
      Know(key, spot, known);
      return answer;
    }
  }
  MoveEvidence known = evidence;
  known.digest = digest;
  Know(key, spot, known);
  return answer;
}

std::vector<std::pair<TrackedSpot, PersonMoveTracker::Answer>> PersonMoveTracker::CopiesNowMoved() {
  std::vector<std::pair<TrackedSpot, Answer>> moved;
  std::vector<Copy> waiting;
  for (const Copy& copy : copies_) {
    if (!still_there_(copy.copy)) continue;
    if (still_there_(copy.original)) {
      waiting.push_back(copy);
      continue;
    }
    Forget(copy.original);
    moved.push_back({copy.copy, {Kind::kMove, copy.original.folder}});
  }
  copies_ = std::move(waiting);
  return moved;
}

void PersonMoveTracker::AddCopy(const Copy& copy) {
  copies_.push_back(copy);
  if (copies_.size() > kMaxCopies) copies_.erase(copies_.begin());
}

void PersonMoveTracker::Trim() {
  if (spots_.size() <= capacity_) return;
  // The oldest knowledge goes first; a tenth at a time, so trimming is rare.
  std::vector<std::pair<uint64_t, TrackedSpot>> by_age;
  by_age.reserve(spots_.size());
  for (const auto& [spot, entry] : spots_) by_age.emplace_back(entry.sequence, spot);
  const size_t drop = spots_.size() - capacity_ + capacity_ / 10;
  std::nth_element(by_age.begin(), by_age.begin() + static_cast<std::ptrdiff_t>(drop - 1),
                   by_age.end());
  for (size_t i = 0; i < drop; ++i) Forget(by_age[i].second);
}

}  // namespace vexmor::platform
