// New mail as the host learns of it: the start marks and the ledger, deliveries told from a
// person's moves, and the queue tick that hands messages on.
#include "plugin_host.h"

#include <algorithm>

#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"

namespace vexmor::plugin {
namespace {

namespace sf = vexmor::state;

// Bytes of a message its digest is taken over: all of any mail a person rescues from "Spam".
constexpr size_t kDigestBytes = 8 * 1024 * 1024;

}  // namespace

std::map<FolderId, MessageId> PlugInHost::StartMarks(const std::map<FolderId, MessageId>& current) {
  std::map<FolderId, MessageId> marks = current;
  if (ledger_loaded_) {
    for (auto& [folder, mark] : marks) {
      auto saved = ledger_.marks().find(folder);
      if (saved == ledger_.marks().end()) {
        // A folder the last run did not know was made while no host ran: all of it is new.
        // From a damaged ledger the mark may be what was lost: the newest message known there
        // stands in for it (what is above it was not judged), or, with none known, everything
        // there counts as judged. Nothing is judged twice.
        if (!ledger_.damaged()) {
          mark = 0;
        } else if (auto known = ledger_.PlacesIn(folder); !known.empty()) {
          mark = std::min(mark, known.front().first);
        }
        continue;
      }
      mark = saved->second;
      if (KnownIdsChanged(folder)) {
        OnIdsRenumbered(folder);
        mark = 0;
      }
    }
  } else if (spam_folder_ != 0 && env_.store != nullptr) {
    // The first run: what is in "Spam" already must be known, so that moving it out counts.
    if (auto messages = env_.store->ListMessages(spam_folder_); messages.ok()) {
      for (const auto& message : *messages) {
        if (auto key = ReadKey(spam_folder_, message.id); key.ok()) {
          ledger_.Learn(*key, {spam_folder_, message.id});
        }
      }
    }
  }
  delivered_ = marks;
  ledger_.SetMarks(marks);
  SeedTracker();
  return marks;
}

bool PlugInHost::KnownIdsChanged(FolderId folder) {
  if (env_.store == nullptr) return false;
  // The newest few the ledger knows there are enough: a renumbered list gives the low ids to
  // other messages, and the known ones are among them.
  int looked = 0;
  for (const auto& [message, key] : ledger_.PlacesIn(folder)) {
    if (looked == 3) break;
    auto now = ReadKey(folder, message);
    if (!now.ok()) continue;  // moved away since: says nothing
    ++looked;
    if (*now != key) return true;
  }
  return false;
}

void PlugInHost::OnIdsRenumbered(FolderId folder) {
  // Nothing waiting under an old id may be judged or decided: it names another message now.
  std::vector<QueuedMessage> keep;
  while (auto entry = queue_.Pop()) {
    if (static_cast<FolderId>(entry->folder) != folder) keep.push_back(*entry);
  }
  for (const QueuedMessage& entry : keep) queue_.Push(entry);
  std::erase_if(queued_keys_, [&](const auto& item) { return item.first.first == folder; });
  tracker_.ForgetFolder(static_cast<uint32_t>(folder));
  std::erase_if(moved_by_host_, [&](const auto& place) { return place.first == folder; });

  std::set<std::string> known;
  for (const auto& [message, key] : ledger_.PlacesIn(folder)) known.insert(key);
  ledger_.ForgetFolder(folder);
  size_t matched = 0, listed = 0;
  if (env_.store != nullptr) {
    if (auto messages = env_.store->ListMessages(folder); messages.ok()) {
      listed = messages->size();
      for (const auto& message : *messages) {
        auto key = ReadKey(folder, message.id);
        if (!key.ok() || known.count(*key) == 0) continue;
        ledger_.Learn(*key, {folder, message.id});
        tracker_.Know(*key, Spot({folder, message.id}), EvidenceAt({folder, message.id}));
        ++matched;
      }
    }
  }
  delivered_[folder] = 0;
  problems_.Tell(state::kProblemIdList,
                 "The message ids of folder " + std::to_string(folder) +
                     " were given out afresh (its id list was deleted or rebuilt); " +
                     std::to_string(matched) + " of its " + std::to_string(listed) +
                     " messages were known by their content, the others are judged as new mail.");
}

void PlugInHost::ReportLedgerDamage() {
  if (!ledger_.read_error().empty()) {
    problems_.Tell(state::kProblemLedger,
                   std::string(kLedgerFile) + " cannot be read (" + ledger_.read_error() +
                       "): the mail that arrived while no host ran is not judged.");
  } else if (ledger_.damaged_lines() > 0) {
    problems_.Tell(
        state::kProblemLedger,
        std::string(kLedgerFile) + " is damaged (" + std::to_string(ledger_.damaged_lines()) +
            " lines make no sense)" +
            (ledger_.kept_copy().empty() ? std::string() : "; kept as " + ledger_.kept_copy()) +
            "; the host goes on with what it could read, and a folder whose mark was lost is "
            "judged from the newest message it still knows there.");
  }
}

void PlugInHost::SaveMarks() {
  std::map<FolderId, MessageId> marks = delivered_;
  // What is still waiting is not dealt with: after a kill it is found again above the mark.
  auto hold = [&](Place place) {
    auto it = marks.find(place.folder);
    if (it != marks.end() && place.message <= it->second) it->second = place.message - 1;
  };
  for (const auto& [place, key] : queued_keys_) hold({place.first, place.second});
  ledger_.SetMarks(marks);
}

StatusOr<std::string> PlugInHost::ReadKey(FolderId folder, MessageId message) {
  auto source = env_.store->OpenMessage(folder, message);
  if (!source.ok()) return source.status();
  constexpr size_t kHeaderBytes = 65536;  // enough for any header that carries a Message-ID
  auto raw = platform::ReadSource(**source, kHeaderBytes);
  if (!raw.ok()) return raw.status();
  return MessageKey(*raw);
}

bool PlugInHost::Exists(Place place) {
  auto info = env_.store->GetMessage(place.folder, place.message);
  return info.ok() || info.status().code() != StatusCode::kNotFound;
}

void PlugInHost::OnNewMessages(FolderId folder, const std::vector<MessageId>& messages) {
  for (MessageId message : messages) {
    if (message > delivered_[folder]) delivered_[folder] = message;
    const Place here{folder, message};
    const bool by_host = moved_by_host_.erase({folder, message}) > 0;
    auto key = env_.store != nullptr ? ReadKey(folder, message) : StatusOr<std::string>("");
    if (!key.ok()) {
      if (key.status().code() != StatusCode::kNotFound)
        Record(Procedure::kFolderManagerMessage, key.status());
      continue;  // gone again before it could be looked at
    }
    if (by_host) {
      ledger_.Learn(*key, here);
      tracker_.Know(*key, Spot(here), EvidenceAt(here));
      continue;
    }
    const std::vector<Place> known = ledger_.Find(*key);
    if (std::find(known.begin(), known.end(), here) != known.end()) {
      continue;  // dealt with before the host last stopped
    }
    // Whether a person moved or copied it is told by what the store shows of the file, never
    // by what the message says of itself: a sender may resend the same Message-ID.
    platform::MoveEvidence evidence = EvidenceAt(here);
    // Unread mail that came while no host watched may have been taken from new/ by a reader
    // meanwhile: as far as anyone can tell it is a delivery.
    if (catching_up_ && !evidence.read) evidence.delivered = true;
    const Answer answer = tracker_.Arrive(*key, Spot(here), evidence);
    if (answer.kind == MoveKind::kNewMail) {
      NewDelivery(folder, message, *key);
      continue;
    }
    if (answer.kind == MoveKind::kMove) ForgetGone(*key, known);
    ledger_.Learn(*key, here);
    PersonMoved(here, answer);
  }
}

platform::MoveEvidence PlugInHost::EvidenceAt(Place place) {
  platform::MoveEvidence evidence;
  if (env_.store == nullptr) return evidence;
  auto shown = env_.store->GetEvidence(place.folder, place.message);
  if (shown.ok()) {
    evidence = *shown;
  } else {
    // A store that shows nothing: every arrival is a delivery, judged as new mail.
    evidence.delivered = true;
  }
  // What lies in "Spam" is what a person rescues: its digest is taken while it is there.
  if (spam_folder_ != 0 && place.folder == spam_folder_) evidence.digest = DigestAt(place);
  return evidence;
}

uint64_t PlugInHost::DigestAt(Place place) {
  if (env_.store == nullptr) return 0;
  auto source = env_.store->OpenMessage(place.folder, place.message);
  if (!source.ok()) return 0;
  auto raw = platform::ReadSource(**source, kDigestBytes);
  return raw.ok() ? platform::ContentDigest(*raw) : 0;
}

void PlugInHost::PersonMoved(Place here, Answer answer) {
  // Out of "Spam" into the Inbox: the person says it is not spam.
  if (answer.kind == MoveKind::kMove && here.folder == platform::kInboxFolderId &&
      spam_folder_ != 0 && answer.from == spam_folder_) {
    if (Status s = NotSpam(here.folder, here.message); !s.ok()) Record(Procedure::kNotSpam, s);
  }
  // Arriving in "Spam_Posted" is a report, whoever put it there.
  if (spam_posted_folder_ != 0 && here.folder == spam_posted_folder_) {
    PostedNewMessage(here.message);
  }
}

void PlugInHost::ForgetGone(const std::string& key, const std::vector<Place>& places) {
  for (const Place& place : places) {
    if (!Exists(place)) ledger_.Forget(key, place);
  }
}

void PlugInHost::SeedTracker() {
  if (env_.store == nullptr) return;
  for (const auto& [key, place] : ledger_.Places()) {
    if (Exists(place)) tracker_.Know(key, Spot(place), EvidenceAt(place));
  }
}

void PlugInHost::NewDelivery(FolderId folder, MessageId message, const std::string& key) {
  if (folder != platform::kOutboxFolderId && RoleOf(folder) == FolderRole::kSent) {
    // Sent mail is read by nature: what arrived while no host ran counts as well.
    SentNewMessage(folder, message);
    ledger_.Learn(key, {folder, message});
    return;
  }
  if (catching_up_) {
    // Mail that arrived while no host ran is judged only if nobody has read it yet.
    auto info = env_.store->GetMessage(folder, message);
    if (!info.ok()) return;
    if ((info->state & platform::kMessageUnread) == 0) {
      ledger_.Learn(key, {folder, message});
      return;
    }
  }
  const size_t queued = queue_.Size();
  if (folder == platform::kInboxFolderId) InboxNewMessage(message);
  if (folder == platform::kOutboxFolderId) OutboxNewMessage(message);
  if (spam_posted_folder_ != 0 && folder == spam_posted_folder_) PostedNewMessage(message);
  FolderManagerNewMessage(folder, message);
  if (queue_.Size() > queued) {
    queued_keys_[{folder, message}] = key;
  } else {
    ledger_.Learn(key, {folder, message});
  }
}

void PlugInHost::InboxNewMessage(MessageId message) {
  queue_.Push({static_cast<int32_t>(message), static_cast<int32_t>(platform::kInboxFolderId)});
}

void PlugInHost::OutboxNewMessage(MessageId message) {
  auto read = ReadMessage(platform::kOutboxFolderId, message);
  if (!read.ok()) {
    if (read.status().code() != StatusCode::kNotFound)
      Record(Procedure::kOutboxMessage, read.status());
    return;
  }
  if (env_.hook != nullptr) {
    env_.hook->RemoveMsgSentItems(read->snapshot.recipients.c_str(), read->snapshot.header.c_str());
  }
}

void PlugInHost::PostedNewMessage(MessageId message) {
  auto read = ReadMessage(spam_posted_folder_, message);
  if (!read.ok()) {
    if (read.status().code() != StatusCode::kNotFound)
      Record(Procedure::kPostedMessage, read.status());
    return;
  }
  (void)Report(*read, 1);
}

void PlugInHost::SentNewMessage(FolderId folder, MessageId message) {
  // A reader files the user's copy as read. An unread message here came from a delivery agent:
  // someone else wrote it, and the addresses in it are not people the user chose to write to.
  auto info = env_.store->GetMessage(folder, message);
  if (!info.ok() || (info->state & platform::kMessageUnread) != 0) return;
  auto read = ReadMessage(folder, message);
  if (!read.ok()) {
    if (read.status().code() != StatusCode::kNotFound)
      Record(Procedure::kOutboxMessage, read.status());
    return;
  }
  if (env_.hook != nullptr) {
    env_.hook->RemoveMsgSentItems(read->snapshot.recipients.c_str(), read->snapshot.header.c_str());
  }
}

FolderRole PlugInHost::RoleOf(FolderId folder) {
  // The fixed folders need no look at the store (the Inbox is every delivery's way).
  if (folder < platform::kFirstUserFolderId) {
    platform::FolderInfo fixed;
    fixed.id = folder;
    return RoleOfFolder(fixed);
  }
  auto info = env_.store->GetFolderName(folder);
  if (!info.ok()) {
    Record(Procedure::kFolderManagerMessage, info.status());
    return FolderRole::kOther;
  }
  return RoleOfFolder(*info);
}

void PlugInHost::FolderManagerNewMessage(FolderId folder, MessageId message) {
  // Mail the user writes is not incoming mail, nor is what lands in Spam, Spam_Posted, the
  // Inbox (queued on its own) and the trash.
  if (RoleOf(folder) != FolderRole::kIncoming) return;
  queue_.Push({static_cast<int32_t>(message), static_cast<int32_t>(folder)});
}

void PlugInHost::OnCheckTick() {
  // Before anything is judged: the hook library reads the install directory for each message.
  if (std::string mended = path_watch_.Check(env_.install_dir); !mended.empty()) {
    problems_.Tell(state::kProblemPathFile, mended);
  }
  // A reader's copy out of "Spam" whose original has gone since: the person moved it.
  if (tracker_.copies_waiting() != 0) {
    for (const auto& [spot, answer] : tracker_.CopiesNowMoved()) {
      // Only what a move adds to a copy: a copy into "Spam_Posted" was reported on arrival.
      if (spot.folder == platform::kInboxFolderId) PersonMoved({spot.folder, spot.message}, answer);
    }
  }
  if (!ready_ || queue_.Empty() || busy_ || !HookReady()) {
    SaveMarks();
    return;
  }
  busy_ = true;
  // "New_Incoming" stays 1 while the batch is filtered: writing 0 and then 1 again between two
  // messages would replace the whole file twice for nothing, and the window messages that could
  // see the 0 are handled while it still reads 1 anyway.
  WriteMessageKey(sf::kSectionMessage, sf::kKeyNewIncoming, "1");
  while (auto entry = queue_.Pop()) {
    // One bad message never blocks the others.
    if (Status s = FilterOne(*entry); !s.ok()) Record(Procedure::kFilterMessage, s);
  }
  WriteMessageKey(sf::kSectionMessage, sf::kKeyNewIncoming, "0");
  busy_ = false;
  SaveMarks();
}

bool PlugInHost::HookReady() {
  const bool available = env_.hook == nullptr || env_.hook->Available();
  // Said once per outage. The queue and the marks below it stay, so the mail is judged once the
  // library loads again, or after a restart.
  if (!available && !hook_missing_) log_(kHookMissingLine);
  if (available && hook_missing_) log_(kHookBackLine);
  hook_missing_ = !available;
  return available;
}
}  // namespace vexmor::plugin
