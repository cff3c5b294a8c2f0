// The host's work on one message: reading it, handing it to the hook library, reporting it
// and moving it.
#include "plugin_host.h"

#include <algorithm>

#include "bounded_header.h"
#include "vexmor/state/state_files.h"

namespace vexmor::plugin {
namespace {

namespace sf = vexmor::state;
using platform::BodyKind;

}  // namespace

StatusOr<HandOn> PlugInHost::ReadMessage(FolderId folder, MessageId message) {
  auto source = env_.store->OpenMessage(folder, message);
  if (!source.ok()) return source.status();
  // Never more than the limit in memory: a large message needs its header only. What stops
  // short of the limit is the whole message, so its size needs no look of its own.
  auto raw = platform::ReadSource(**source, static_cast<size_t>(kLargeMessageBytes));
  if (!raw.ok()) return raw.status();
  int64_t size = static_cast<int64_t>(raw->size());
  if (size >= kLargeMessageBytes) {
    auto info = env_.store->GetMessage(folder, message);
    if (!info.ok()) return info.status();
    size = std::max(size, static_cast<int64_t>(info->size));
  }

  HandOn out;
  out.large = size >= kLargeMessageBytes;
  if (!out.large) {
    auto snapshot = platform::ReadMessageSnapshot(*raw);
    if (!snapshot.ok()) return snapshot.status();
    out.snapshot = std::move(snapshot).value();
    // Without a text part the message is judged as one with an empty text: the sender rules
    // apply to every message, the content rules to what text there is (the subject).
    if (out.snapshot.kind == BodyKind::kNone) out.snapshot.kind = BodyKind::kPlain;
  } else {
    raw->clear();
    raw->shrink_to_fit();
    // The header may run on past what was read: its sender fields are found wherever they are.
    auto again = env_.store->OpenMessage(folder, message);
    if (!again.ok()) return again.status();
    auto head = ReadBoundedHeader(**again, static_cast<size_t>(kLargeMessageBytes));
    if (!head.ok()) return head.status();
    auto snapshot = platform::ReadMessageSnapshot(*head);
    if (!snapshot.ok()) return snapshot.status();
    out.snapshot.subject = snapshot->subject;
    out.snapshot.sender = snapshot->sender;
    out.snapshot.header = snapshot->header;
    out.snapshot.recipients = snapshot->recipients;
  }
  out.snapshot.size = size;
  return out;
}

// "New_Incoming" is 1 around the call; the tick that drains the queue writes it once for the
// whole batch.
Status PlugInHost::FilterOne(const QueuedMessage& entry) {
  auto message =
      ReadMessage(static_cast<FolderId>(entry.folder), static_cast<MessageId>(entry.message));
  Status result = Status::Ok();
  if (message.ok() && env_.hook != nullptr) {
    const auto& m = message->snapshot;
    // The incoming exports pass while no receive cycle runs, and a cycle's end looks only at
    // the Inbox: what a delivery agent files into another folder meanwhile is checked now.
    if (entry.folder != static_cast<int32_t>(platform::kInboxFolderId) && !ReceiveStarted()) {
      HandToFolderCheck(static_cast<FolderId>(entry.folder), static_cast<MessageId>(entry.message),
                        *message);
    } else if (message->large) {
      env_.hook->MoveMailMessageInbox(entry.message, entry.folder,
                                      static_cast<int32_t>(spam_folder_), m.header.c_str(),
                                      m.sender.c_str());
    } else {
      env_.hook->MoveMessageInbox(entry.message, entry.folder, static_cast<int32_t>(spam_folder_),
                                  static_cast<int32_t>(m.kind), m.subject.c_str(), m.sender.c_str(),
                                  m.header.c_str(), m.body.c_str(), m.second_header.c_str());
    }
  } else if (!message.ok() && message.status().code() != StatusCode::kNotFound) {
    result = message.status();  // a message moved or deleted since it arrived is skipped
  }
  const Place place{static_cast<FolderId>(entry.folder), static_cast<MessageId>(entry.message)};
  if (auto key = queued_keys_.find({place.folder, place.message}); key != queued_keys_.end()) {
    // Judged: from now on a copy or move of it is a person's doing.
    if (result.ok()) ledger_.Learn(key->second, place);
    queued_keys_.erase(key);
  }
  return result;
}

Status PlugInHost::CheckOne(FolderId folder, MessageId message_id) {
  auto message = ReadMessage(folder, message_id);
  if (!message.ok())
    return message.status().code() == StatusCode::kNotFound ? Status::Ok() : message.status();
  if (env_.hook == nullptr) return Status::Ok();
  if (!HookReady()) return Status::Unavailable("the hook library is not loaded");
  HandToFolderCheck(folder, message_id, *message);
  return Status::Ok();
}

void PlugInHost::HandToFolderCheck(FolderId folder, MessageId message_id, const HandOn& message) {
  const auto& m = message.snapshot;
  const auto id = static_cast<int32_t>(message_id);
  const auto fid = static_cast<int32_t>(folder);
  if (message.large) {
    env_.hook->CheckMailMessageFolder(id, fid, static_cast<int32_t>(spam_folder_), m.header.c_str(),
                                      m.sender.c_str());
  } else {
    env_.hook->CheckMessageFolder(id, fid, static_cast<int32_t>(spam_folder_),
                                  static_cast<int32_t>(m.kind), m.subject.c_str(), m.sender.c_str(),
                                  m.header.c_str(), m.body.c_str(), m.second_header.c_str());
  }
}

bool PlugInHost::ReceiveStarted() const {
  return ReadInt(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, 0) == 1;
}

Status PlugInHost::Report(const HandOn& message, int32_t operation) {
  if (env_.hook == nullptr) return Status::Ok();
  // A report or Not Spam that reaches no library did not happen: the caller records it.
  if (!HookReady()) return Status::Unavailable("the hook library is not loaded");
  const auto& m = message.snapshot;
  if (message.large) {
    env_.hook->MoveMailMessageDeletedItems(operation, m.header.c_str(), m.sender.c_str());
  } else {
    env_.hook->MoveMessageDeletedItems(static_cast<int32_t>(m.kind), operation, m.subject.c_str(),
                                       m.sender.c_str(), m.header.c_str(), m.body.c_str(),
                                       m.second_header.c_str());
  }
  return Status::Ok();
}

Status PlugInHost::MoveByHost(FolderId from, MessageId message, FolderId to) {
  auto moved = env_.store->MoveMessage(from, message, to);
  if (!moved.ok()) return moved.status();
  moved_by_host_.insert({to, *moved});
  return Status::Ok();
}
}  // namespace vexmor::plugin
