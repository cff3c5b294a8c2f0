// The in-memory store: the same folder and id rules as the Maildir++ adapter, without files.
#include <algorithm>
#include <cstring>
#include <map>

#include "vexmor/platform/mail_store.h"

namespace vexmor::platform {

namespace {

class StringSource final : public MessageSource {
 public:
  explicit StringSource(std::string text) : text_(std::move(text)) {}
  StatusOr<size_t> Read(char* buffer, size_t capacity) override {
    size_t n = std::min(capacity, text_.size() - offset_);
    if (n > 0) std::memcpy(buffer, text_.data() + offset_, n);
    offset_ += n;
    return n;
  }

 private:
  std::string text_;
  size_t offset_ = 0;
};

}  // namespace

std::unique_ptr<MessageSource> MessageSourceFromString(std::string text) {
  return std::make_unique<StringSource>(std::move(text));
}

StatusOr<std::string> ReadSource(MessageSource& source, size_t limit) {
  std::string out;
  char buffer[16384];
  while (out.size() < limit) {
    size_t want = std::min(sizeof buffer, limit - out.size());
    StatusOr<size_t> got = source.Read(buffer, want);
    if (!got.ok()) return got.status();
    if (*got == 0) break;
    out.append(buffer, *got);
  }
  return out;
}

namespace {

bool IsOutgoing(FolderId id) {
  return id == kOutboxFolderId || id == kSentItemsFolderId || id == kDraftsFolderId;
}

bool IsFixed(FolderId id) {
  return id == kRootFolderId || id == kLocalFoldersId || id == kOutboxFolderId ||
         id == kInboxFolderId || id == kDeletedItemsFolderId || id == kSentItemsFolderId ||
         id == kDraftsFolderId;
}

class MemoryStore final : public MemoryMailStore {
 public:
  MemoryStore() {
    folders_[kRootFolderId] = {kRootFolderId, "", {}};
    folders_[kLocalFoldersId] = {kRootFolderId, std::string(kLocalFoldersName), {}};
    folders_[kOutboxFolderId] = {kLocalFoldersId, std::string(kOutboxName), {}};
    folders_[kInboxFolderId] = {kLocalFoldersId, std::string(kInboxName), {}};
    folders_[kDeletedItemsFolderId] = {kLocalFoldersId, std::string(kDeletedItemsName), {}};
    folders_[kSentItemsFolderId] = {kLocalFoldersId, std::string(kSentItemsName), {}};
    folders_[kDraftsFolderId] = {kLocalFoldersId, std::string(kDraftsName), {}};
  }

  StatusOr<FolderInfo> GetFolder(FolderId id) override {
    auto it = folders_.find(id);
    if (it == folders_.end()) return Status::NotFound("no folder " + std::to_string(id));
    return Info(id, it->second);
  }

  StatusOr<std::vector<FolderInfo>> ListSubfolders(FolderId parent) override {
    if (!folders_.count(parent)) return Status::NotFound("no folder " + std::to_string(parent));
    std::vector<FolderInfo> out;
    for (const auto& [id, folder] : folders_) {
      if (id != kRootFolderId && folder.parent == parent) out.push_back(Info(id, folder));
    }
    std::stable_sort(out.begin(), out.end(), [](const FolderInfo& a, const FolderInfo& b) {
      bool fa = IsFixed(a.id), fb = IsFixed(b.id);
      if (fa != fb) return fa;
      return fa ? a.id < b.id : a.name < b.name;
    });
    return out;
  }

  StatusOr<FolderId> CreateFolder(FolderId parent, std::string_view name) override {
    if (!folders_.count(parent)) return Status::NotFound("no folder " + std::to_string(parent));
    if (name.empty() || name.find_first_of("/\\") != std::string_view::npos) {
      return Status::InvalidArgument("folder name not allowed: " + std::string(name));
    }
    for (const auto& [id, folder] : folders_) {
      if (id != kRootFolderId && folder.parent == parent && folder.name == name) {
        return Status::InvalidArgument("folder exists: " + std::string(name));
      }
    }
    FolderId id = next_folder_++;
    folders_[id] = {parent, std::string(name), {}};
    return id;
  }

  Status DeleteFolder(FolderId id) override {
    if (IsFixed(id)) return Status::InvalidArgument("a fixed folder cannot be deleted");
    auto it = folders_.find(id);
    if (it == folders_.end()) return Status::NotFound("no folder " + std::to_string(id));
    if (InsideDeletedItems(id)) {
      RemoveTree(id);
      return Status::Ok();
    }
    std::string name = it->second.name;
    for (int n = 2; NameTaken(kDeletedItemsFolderId, name); ++n) {
      name = it->second.name + " (" + std::to_string(n) + ")";
    }
    it->second.parent = kDeletedItemsFolderId;
    it->second.name = name;
    return Status::Ok();
  }

  StatusOr<std::vector<MessageInfo>> ListMessages(FolderId id, bool) override {
    auto it = folders_.find(id);
    if (it == folders_.end()) return Status::NotFound("no folder " + std::to_string(id));
    std::vector<MessageInfo> out;
    for (const auto& [mid, message] : it->second.messages) out.push_back(Info(id, mid, message));
    return out;
  }

  StatusOr<MessageInfo> GetMessage(FolderId id, MessageId mid) override {
    Message* message = Find(id, mid);
    if (!message) return Status::NotFound("no message " + std::to_string(mid));
    return Info(id, mid, *message);
  }

  StatusOr<std::unique_ptr<MessageSource>> OpenMessage(FolderId id, MessageId mid) override {
    Message* message = Find(id, mid);
    if (!message) return Status::NotFound("no message " + std::to_string(mid));
    return MessageSourceFromString(message->source);
  }

  StatusOr<MessageId> MoveMessage(FolderId from, MessageId mid, FolderId to) override {
    Message* message = Find(from, mid);
    if (!message) return Status::NotFound("no message " + std::to_string(mid));
    auto dest = folders_.find(to);
    if (dest == folders_.end() || to == kRootFolderId || to == kLocalFoldersId) {
      return Status::NotFound("no folder " + std::to_string(to));
    }
    if (from == to) return mid;
    Message moved = std::move(*message);
    moved.delivered = false;  // moved files land in cur/, as the Maildir store puts them
    folders_[from].messages.erase(mid);
    MessageId id = ++dest->second.last_id;
    dest->second.messages[id] = std::move(moved);
    return id;
  }

  Status MarkRead(FolderId id, MessageId mid, bool read) override {
    Message* message = Find(id, mid);
    if (!message) return Status::NotFound("no message " + std::to_string(mid));
    message->read = read;
    message->delivered = false;  // a reader that marks it takes it out of new/
    return Status::Ok();
  }

  StatusOr<MoveEvidence> GetEvidence(FolderId id, MessageId mid) override {
    Message* message = Find(id, mid);
    if (!message) return Status::NotFound("no message " + std::to_string(mid));
    MoveEvidence evidence;
    evidence.delivered = message->delivered;
    evidence.read = message->read;
    evidence.object = "memory:" + std::to_string(message->object);
    return evidence;
  }

  StatusOr<MessageId> SaveByReader(FolderId id, std::string source, bool read) override {
    auto saved = Deliver(id, std::move(source), read);
    if (saved.ok()) Find(id, *saved)->delivered = false;
    return saved;
  }

  StatusOr<MessageId> LinkMessage(FolderId from, MessageId mid, FolderId to) override {
    Message* message = Find(from, mid);
    if (!message) return Status::NotFound("no message " + std::to_string(mid));
    auto dest = folders_.find(to);
    if (dest == folders_.end() || to == kRootFolderId || to == kLocalFoldersId || from == to) {
      return Status::NotFound("no folder " + std::to_string(to));
    }
    Message linked = *message;
    linked.delivered = false;
    MessageId id = ++dest->second.last_id;
    dest->second.messages[id] = std::move(linked);
    return id;
  }

  StatusOr<MessageId> Deliver(FolderId id, std::string source, bool read) override {
    auto it = folders_.find(id);
    if (it == folders_.end() || id == kRootFolderId || id == kLocalFoldersId) {
      return Status::NotFound("no folder " + std::to_string(id));
    }
    MessageId mid = ++it->second.last_id;
    it->second.messages[mid] = {std::move(source), read, !read, ++last_object_};
    return mid;
  }

 private:
  struct Message {
    std::string source;
    bool read = false;
    bool delivered = false;  // lies where deliveries land (a Maildir's new/)
    uint64_t object = 0;     // stands for the file: kept by moves and links
  };
  uint64_t last_object_ = 0;
  struct Folder {
    FolderId parent = 0;
    std::string name;
    std::map<MessageId, Message> messages;
    MessageId last_id = 0;
  };

  FolderInfo Info(FolderId id, const Folder& folder) const {
    return {id, folder.parent, folder.name, static_cast<uint32_t>(folder.messages.size())};
  }
  // The received bit follows the folder the message lies in, as it does on disk.
  static MessageInfo Info(FolderId folder, MessageId id, const Message& message) {
    uint32_t state =
        (message.read ? 0 : kMessageUnread) | (IsOutgoing(folder) ? 0 : kMessageReceived);
    return {id, state, message.source.size()};
  }
  Message* Find(FolderId folder, MessageId id) {
    auto it = folders_.find(folder);
    if (it == folders_.end()) return nullptr;
    auto m = it->second.messages.find(id);
    return m == it->second.messages.end() ? nullptr : &m->second;
  }
  bool InsideDeletedItems(FolderId id) const {
    for (FolderId at = folders_.at(id).parent; at != kRootFolderId; at = folders_.at(at).parent) {
      if (at == kDeletedItemsFolderId) return true;
    }
    return false;
  }
  bool NameTaken(FolderId parent, const std::string& name) const {
    for (const auto& [id, folder] : folders_) {
      if (id != kRootFolderId && folder.parent == parent && folder.name == name) return true;
    }
    return false;
  }
  void RemoveTree(FolderId id) {
    std::vector<FolderId> children;
    for (const auto& [child, folder] : folders_) {
      if (child != kRootFolderId && folder.parent == id) children.push_back(child);
    }
    for (FolderId child : children) RemoveTree(child);
    folders_.erase(id);
  }

  std::map<FolderId, Folder> folders_;
  FolderId next_folder_ = kFirstUserFolderId;
};

}  // namespace

std::unique_ptr<MemoryMailStore> MakeMemoryMailStore() {
  return std::make_unique<MemoryStore>();
}

}  // namespace vexmor::platform
