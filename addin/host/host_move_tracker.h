// Tells the host's own and the add-in's moves from a person's, on the account.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host_common.h"
#include "host_desktop.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/move_tracker.h"
#include "vexmor/platform/registry.h"
#include "watermark.h"

namespace vexmor::addin_host {

// Tells the host's own and the add-in's moves from a person's. The messages a command is
// about to move are expected where they land. A person's move or copy out of "Spam" is told by
// the server's own id of the stored message, which MOVE and COPY keep and a delivery makes anew
// (see PersonMoveTracker); a delivery into INBOX is new mail whatever its Message-ID says. A
// server that shows no such id teaches nothing by moves.
class MoveTracker {
 public:
  // "state_file" keeps what lay in "Spam" (UID and what the server keeps of it), so that a move
  // made while the host was stopped is still seen when it starts.
  MoveTracker(platform::MapiStore& store, platform::Registry& registry, std::string state_file)
      : store_(store),
        posted_mark_(registry, "Spam_Posted"),
        state_file_(std::move(state_file)),
        moves_([this](platform::TrackedSpot spot) { return StillThere(spot); }) {
    std::string kept = ReadWhole(state_file_);
    for (size_t start = 0, end; (end = kept.find('\n', start)) != std::string::npos;
         start = end + 1) {
      // "UID<tab>object"; lines of older hosts hold a Message-ID only, which proves nothing.
      const std::string line = kept.substr(start, end - start);
      const size_t tab = line.find('\t');
      if (tab == std::string::npos || line.compare(tab + 1, 10, "imap-guid:") != 0) continue;
      const uint32_t uid = static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 10));
      if (uid == 0) continue;
      platform::MoveEvidence evidence;
      evidence.object = line.substr(tab + 1);
      moves_.Know(evidence.object, {kSpamSpot, uid}, evidence);
      spam_[uid] = evidence.object;  // until the first listing says otherwise
    }
  }

  enum class Arrival { kNew, kOwnMove, kFromSpam, kCopyFromSpam };

  void Expect(const std::vector<std::string>& keys) {
    auto now = std::chrono::steady_clock::now();
    for (const std::string& key : keys) expected_.emplace(key, now);
  }

  // What a message new in INBOX is.
  Arrival ClassifyInbox(const platform::EntryId& message) {
    if (!expected_.empty()) {
      StatusOr<platform::MessageProps> props =
          store_.GetMessagePropsBounded(message, kWholeLimit, 0);
      if (props.ok() && Consume(HostDesktop::KeyOf(*props))) return Arrival::kOwnMove;
    }
    std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
    StatusOr<platform::MoveEvidence> evidence = store_.GetEvidence(message);
    if (!parts || !evidence.ok() || evidence->object.empty()) return Arrival::kNew;
    arrived_[parts->uid] = evidence->object;
    // Back from where the host itself filed it before "Spam" was listed again: the listing
    // tells whether the person moved or copied it.
    if (sent_.count(evidence->object) != 0) RefreshSpam();
    if (moves_.known() == 0) return Arrival::kNew;
    inbox_[parts->uid] = message;
    // The server's object is the key: only the same object is a person's move or copy.
    const auto answer = moves_.Arrive(evidence->object, {kInboxSpot, parts->uid}, *evidence);
    if (answer.from != kSpamSpot && answer.from != kSentSpot) return Arrival::kNew;
    if (answer.kind == platform::PersonMoveTracker::Kind::kMove) return Arrival::kFromSpam;
    if (answer.kind == platform::PersonMoveTracker::Kind::kCopy) return Arrival::kCopyFromSpam;
    return Arrival::kNew;
  }

  // The INBOX messages the add-in just filed ("to" each), the run's moves confirmed. Those
  // filed into "Spam" are known there at once: a person may move one out before the host
  // lists "Spam" again, and that move must not look like new mail.
  void Filed(const std::vector<std::pair<platform::EntryId, platform::EntryId>>& moves) {
    std::optional<platform::EntryIdParts> spam;
    if (!moves.empty() && Folder(kSpamFolderPath, spam_folder_)) {
      spam = platform::UnpackEntryId(spam_folder_);
    }
    for (const auto& [message, to] : moves) {
      std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
      std::optional<platform::EntryIdParts> into = platform::UnpackEntryId(to);
      if (!spam || !parts || !into || into->mailbox != spam->mailbox) continue;
      auto object = arrived_.find(parts->uid);
      if (object == arrived_.end()) continue;
      platform::MoveEvidence evidence;
      evidence.delivered = true;
      evidence.object = object->second;
      moves_.Know(object->second, {kSentSpot, parts->uid}, evidence);
      sent_[object->second] = parts->uid;
    }
    arrived_.clear();
  }

  // INBOX copies out of "Spam" whose original has left since: rescued now, each once.
  std::vector<platform::EntryId> CopiesRescued() {
    std::vector<platform::EntryId> rescued;
    if (moves_.copies_waiting() == 0) return rescued;
    for (const auto& [spot, answer] : moves_.CopiesNowMoved()) {
      auto entry = inbox_.find(spot.message);
      if (spot.folder == kInboxSpot && answer.from == kSpamSpot && entry != inbox_.end()) {
        rescued.push_back(entry->second);
      }
    }
    return rescued;
  }

  // Messages new in "Spam_Posted" that nobody of ours put there; each is handed on once.
  std::vector<platform::EntryId> PersonReported() {
    std::vector<platform::EntryId> reported;
    if (!Folder(kPostedPath, posted_)) return reported;
    if (!primed_) {
      posted_mark_.Prime(store_, posted_);
      primed_ = true;
    }
    for (const platform::EntryId& message : posted_mark_.NewMessages(store_, posted_)) {
      posted_mark_.Handled(message);
      StatusOr<platform::MessageProps> props =
          store_.GetMessagePropsBounded(message, kWholeLimit, 0);
      if (props.ok() && Consume(HostDesktop::KeyOf(*props))) continue;
      reported.push_back(message);
    }
    return reported;
  }

  // Reads what lies in "Spam" now. What left it stays known, so that its arrival elsewhere is
  // seen as the person's move, unless the host's own command took it out (emptied the folder,
  // for one: that mail is gone, not moved).
  void RefreshSpam(bool after_own_command = false) {
    if (!Folder(kSpamFolderPath, spam_folder_)) return;
    StatusOr<std::vector<platform::EntryId>> messages = store_.GetContentsTable(spam_folder_);
    if (!messages.ok()) return;
    std::map<uint32_t, std::string> now;
    for (const platform::EntryId& message : *messages) {
      std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
      if (!parts) continue;
      auto known = spam_.find(parts->uid);
      // Asked once per message: one the server shows no id of stays without (and teaches
      // nothing when it leaves).
      if (known != spam_.end() &&
          (known->second.empty() || moves_.Knows({kSpamSpot, parts->uid}))) {
        now.emplace(parts->uid, known->second);
        continue;
      }
      StatusOr<platform::MoveEvidence> evidence = store_.GetEvidence(message);
      const std::string object = evidence.ok() ? evidence->object : std::string();
      if (!object.empty()) moves_.Know(object, {kSpamSpot, parts->uid}, *evidence);
      now.emplace(parts->uid, object);
    }
    if (after_own_command) {
      for (const auto& [uid, object] : spam_) {
        if (now.count(uid) == 0) moves_.Forget({kSpamSpot, uid});
      }
    }
    // What the host filed is known where the listing shows it now; what it filed and the
    // listing no longer shows left "Spam" before anyone looked: a person's move, unless the
    // host's own command took it.
    std::set<std::string> listed;
    for (const auto& [uid, object] : now) listed.insert(object);
    for (auto it = sent_.begin(); it != sent_.end();) {
      const platform::TrackedSpot spot{kSentSpot, it->second};
      if (listed.count(it->first) != 0 || after_own_command || !moves_.Knows(spot)) {
        moves_.Forget(spot);
        it = sent_.erase(it);
      } else {
        ++it;
      }
    }
    // INBOX arrivals the tracker no longer knows need no entry id either.
    std::erase_if(inbox_, [this](const auto& entry) {
      return !moves_.Knows({kInboxSpot, entry.first});
    });
    const bool changed = now != spam_ || !saved_;
    spam_ = std::move(now);
    Expire(std::chrono::steady_clock::now());
    if (changed) Save();
  }

 private:
  static constexpr std::string_view kPostedPath = "@PR_IPM_SUBTREE_ENTRYID\\Spam_Posted";
  static constexpr std::string_view kSpamFolderPath = "@PR_IPM_SUBTREE_ENTRYID\\Spam";
  // The tracker's folder numbers.
  static constexpr uint32_t kInboxSpot = 1;
  static constexpr uint32_t kSpamSpot = 2;
  // Filed into "Spam" by the host, by its INBOX UID, until a listing of "Spam" shows it.
  static constexpr uint32_t kSentSpot = 3;
  // A command's move takes moments; anything older is no longer its move.
  static constexpr std::chrono::minutes kMemory{10};

  bool StillThere(platform::TrackedSpot spot) {
    if (spot.folder == kSentSpot) return false;  // a listing since would have placed it
    if (spot.folder == kSpamSpot) return spam_.count(spot.message) != 0;
    auto entry = inbox_.find(spot.message);
    return entry != inbox_.end() && store_.ObjectTypeOf(entry->second).ok();
  }

  bool Folder(std::string_view path, platform::EntryId& folder) {
    if (!folder.empty()) {
      if (store_.ObjectTypeOf(folder).ok()) return true;
      folder.clear();
    }
    StatusOr<platform::EntryId> found = addin::OpenFolderByPath(store_, '\\', path);
    if (!found.ok()) return false;
    folder = *found;
    return true;
  }

  bool Consume(const std::string& key) {
    auto found = expected_.find(key);
    if (found == expected_.end()) return false;
    expected_.erase(found);
    return true;
  }

  void Expire(std::chrono::steady_clock::time_point now) {
    for (auto it = expected_.begin(); it != expected_.end();) {
      it = now - it->second > kMemory ? expected_.erase(it) : std::next(it);
    }
  }

  void Save() {
    if (state_file_.empty()) return;
    std::string text;
    for (const auto& [uid, object] : spam_) {
      if (!object.empty()) text += std::to_string(uid) + "\t" + object + "\n";
    }
    saved_ = platform::ReplaceFileAtomically(state_file_, text).ok();
  }

  platform::MapiStore& store_;
  Watermark posted_mark_;
  std::string state_file_;
  bool saved_ = false;
  bool primed_ = false;
  platform::EntryId posted_;
  platform::EntryId spam_folder_;
  std::multimap<std::string, std::chrono::steady_clock::time_point> expected_;
  // What lies in "Spam" by UID, with what the server keeps of it.
  std::map<uint32_t, std::string> spam_;
  // INBOX arrivals the tracker knows, by UID.
  std::map<uint32_t, platform::EntryId> inbox_;
  // The objects of this run's INBOX arrivals, by UID, for Filed.
  std::map<uint32_t, std::string> arrived_;
  // Objects the host filed into "Spam" that no listing of it has shown yet, with their INBOX UID.
  std::map<std::string, uint32_t> sent_;
  platform::PersonMoveTracker moves_;
};

}  // namespace vexmor::addin_host
