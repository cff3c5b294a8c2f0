// The account store kept in memory, for tests: mailboxes named as on an IMAP server ("INBOX",
// "Archive/2024"), each with its UIDVALIDITY and ascending UIDs, shared by every session.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "vexmor/platform/ansi.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform {
namespace {

constexpr char kDelimiter = '/';
constexpr std::string_view kInbox = "INBOX";

struct Mailbox {
  uint32_t uidvalidity = 0;
  uint32_t next_uid = 1;
  std::string comment;
  std::map<uint32_t, std::string> messages;
  // The stored object each message is, as an IMAP server's id of the stored message: a move
  // keeps it, a delivery makes a new one.
  std::map<uint32_t, uint64_t> objects;
};

struct Account {
  std::mutex mu;
  std::string top_name;
  std::map<std::string, Mailbox> mailboxes;
  uint32_t next_uidvalidity = 1000;
  uint64_t next_object = 1;

  Mailbox& Make(const std::string& name) {
    auto [it, added] = mailboxes.try_emplace(name);
    if (added) it->second.uidvalidity = next_uidvalidity++;
    return it->second;
  }
};

bool EqualNoCase(std::string_view a, std::string_view b) {
  return AsciiEqualsIgnoreCase(a, b);
}

std::string ParentOf(const std::string& mailbox) {
  size_t slash = mailbox.rfind(kDelimiter);
  return slash == std::string::npos ? std::string() : mailbox.substr(0, slash);
}

std::string LeafOf(const std::string& mailbox) {
  if (mailbox == kInbox) return "Inbox";
  size_t slash = mailbox.rfind(kDelimiter);
  return slash == std::string::npos ? mailbox : mailbox.substr(slash + 1);
}

// The mailbox of a display path below the top ("Inbox" is INBOX).
std::string MailboxOfPath(std::string_view path) {
  std::string name(path);
  std::replace(name.begin(), name.end(), '\\', kDelimiter);
  if (EqualNoCase(name.substr(0, name.find(kDelimiter)), kInbox)) {
    name = std::string(kInbox) + name.substr(std::min(name.size(), kInbox.size()));
  }
  return name;
}

class MemoryStore final : public MapiStore {
 public:
  MemoryStore(std::shared_ptr<Account> account, std::shared_ptr<bool> alive)
      : account_(std::move(account)), alive_(std::move(alive)) {}

  EntryId RootFolder() const override { return PackEntryId({'R', "", 0, 0}); }

  StatusOr<EntryId> GetWellKnownFolder(WellKnownFolder which) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    if (which == WellKnownFolder::kIpmSubtree) return PackEntryId({'T', "", 0, 0});
    std::vector<std::string_view> names;
    if (which == WellKnownFolder::kIpmSentmail) names = {"Sent Items", "Sent"};
    if (which == WellKnownFolder::kIpmWastebasket) names = {"Deleted Items", "Trash"};
    if (which == WellKnownFolder::kIpmOutbox) names = {"Outbox"};
    for (std::string_view name : names) {
      auto it = account_->mailboxes.find(std::string(name));
      if (it != account_->mailboxes.end()) return FolderId(it->first, it->second);
    }
    return Status::NotFound("the store holds no such folder");
  }

  StatusOr<EntryId> GetReceiveFolder() override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    return FolderId(std::string(kInbox), account_->Make(std::string(kInbox)));
  }

  StatusOr<ObjectType> ObjectTypeOf(const EntryId& entry) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(entry);
    if (!parts) return Status::NotFound("not an entry id of this store");
    if (parts->kind == 'R' || parts->kind == 'T') return ObjectType::kFolder;
    if (parts->kind == 'S') return ObjectType::kStore;
    Mailbox* box = Find(*parts);
    if (box == nullptr) return Status::NotFound("no such folder");
    if (parts->kind == 'F') return ObjectType::kFolder;
    if (box->messages.count(parts->uid) == 0) return Status::NotFound("no such message");
    return ObjectType::kMessage;
  }

  StatusOr<FolderProps> GetFolderProps(const EntryId& folder) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    return PropsOf(folder);
  }

  StatusOr<std::vector<FolderProps>> GetHierarchyTable(const EntryId& folder) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    std::vector<FolderProps> rows;
    if (parts->kind == 'R') {
      rows.push_back(*PropsOf(PackEntryId({'T', "", 0, 0})));
      return rows;
    }
    std::string parent;
    if (parts->kind == 'F') {
      if (Find(*parts) == nullptr) return Status::NotFound("no such folder");
      parent = parts->mailbox;
    } else if (parts->kind != 'T') {
      return Status::InvalidArgument("not a folder");
    }
    auto inbox = account_->mailboxes.find(std::string(kInbox));
    if (parent.empty() && inbox != account_->mailboxes.end()) {
      rows.push_back(*PropsOf(FolderId(inbox->first, inbox->second)));
    }
    for (auto& [name, box] : account_->mailboxes) {
      if (name != kInbox && ParentOf(name) == parent) rows.push_back(*PropsOf(FolderId(name, box)));
    }
    return rows;
  }

  StatusOr<std::vector<EntryId>> GetContentsTable(const EntryId& folder) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    std::vector<EntryId> rows;
    if (parts && (parts->kind == 'R' || parts->kind == 'T')) return rows;
    Mailbox* box = parts && parts->kind == 'F' ? Find(*parts) : nullptr;
    if (box == nullptr) return Status::NotFound("no such folder");
    for (auto& [uid, raw] : box->messages) {
      rows.push_back(PackEntryId({'M', parts->mailbox, box->uidvalidity, uid}));
    }
    return rows;
  }

  StatusOr<MessageProps> GetMessageProps(const EntryId& message, size_t body_limit) override {
    std::string raw;
    std::optional<EntryIdParts> parts;
    {
      std::lock_guard lock(account_->mu);
      if (!*alive_) return Status::Unavailable("the session has ended");
      StatusOr<std::string> found = RawOf(message, &parts);
      if (!found.ok()) return found.status();
      raw = std::move(found).value();
    }
    StatusOr<MessageProps> props = DecodeMapiMessage(raw, body_limit);
    if (!props.ok()) return props.status();
    props->entry_id = message;
    props->parent_entry_id = PackEntryId({'F', parts->mailbox, parts->uidvalidity, 0});
    return props;
  }

  StatusOr<std::unique_ptr<MessageSource>> OpenBodyStream(const EntryId& message) override {
    std::string raw;
    {
      std::lock_guard lock(account_->mu);
      if (!*alive_) return Status::Unavailable("the session has ended");
      std::optional<EntryIdParts> parts;
      StatusOr<std::string> found = RawOf(message, &parts);
      if (!found.ok()) return found.status();
      raw = std::move(found).value();
    }
    return MessageSourceFromString(DecodePlainBody(raw));
  }

  StatusOr<EntryId> CreateFolder(const EntryId& parent, std::string_view name,
                                 std::string_view comment, bool open_if_exists) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    if (name.empty() || name.find(kDelimiter) != std::string_view::npos) {
      return Status::InvalidArgument("a folder name cannot be empty or hold '/'");
    }
    std::optional<EntryIdParts> parts = UnpackEntryId(parent);
    std::string prefix;
    if (parts && parts->kind == 'F') {
      if (Find(*parts) == nullptr) return Status::NotFound("no such folder");
      prefix = parts->mailbox + kDelimiter;
    } else if (!parts || parts->kind != 'T') {
      return Status::InvalidArgument("folders are made below the top of the personal folders");
    }
    for (auto& [existing, box] : account_->mailboxes) {
      if (ParentOf(existing) + (prefix.empty() ? "" : "/") == prefix &&
          EqualNoCase(LeafOf(existing), name)) {
        if (!open_if_exists) return Status::InvalidArgument("the folder exists already");
        return FolderId(existing, box);
      }
    }
    std::string full = prefix + std::string(name);
    Mailbox& box = account_->Make(full);
    box.comment = std::string(comment);
    return FolderId(full, box);
  }

  StatusOr<EntryId> MoveMessage(const EntryId& from, const EntryId& message,
                                const EntryId& to) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> src = UnpackEntryId(from);
    std::optional<EntryIdParts> msg = UnpackEntryId(message);
    std::optional<EntryIdParts> dst = UnpackEntryId(to);
    Mailbox* source = src && src->kind == 'F' ? Find(*src) : nullptr;
    Mailbox* target = dst && dst->kind == 'F' ? Find(*dst) : nullptr;
    if (source == nullptr) return Status::NotFound("the source folder is gone");
    if (target == nullptr) return Status::NotFound("the destination folder is gone");
    if (!msg || msg->kind != 'M' || msg->mailbox != src->mailbox ||
        msg->uidvalidity != source->uidvalidity || source->messages.count(msg->uid) == 0) {
      return Status::NotFound("the message is not in the source folder");
    }
    if (source == target) return message;
    uint32_t uid = target->next_uid++;
    target->messages[uid] = std::move(source->messages[msg->uid]);
    target->objects[uid] = source->objects[msg->uid];
    source->messages.erase(msg->uid);
    source->objects.erase(msg->uid);
    return PackEntryId({'M', dst->mailbox, target->uidvalidity, uid});
  }

  StatusOr<MoveEvidence> GetEvidence(const EntryId& message) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    Mailbox* box = parts && parts->kind == 'M' ? Find(*parts) : nullptr;
    if (box == nullptr || box->objects.count(parts->uid) == 0) {
      return Status::NotFound("no such message");
    }
    MoveEvidence evidence;
    evidence.delivered = true;
    evidence.object = "memory-object:" + std::to_string(box->objects[parts->uid]);
    return evidence;
  }

  Status EmptyFolder(const EntryId& folder) override {
    std::lock_guard lock(account_->mu);
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    Mailbox* box = parts && parts->kind == 'F' ? Find(*parts) : nullptr;
    if (box == nullptr) return Status::NotFound("no such folder");
    box->messages.clear();
    box->objects.clear();
    return Status::Ok();
  }

 private:
  static EntryId FolderId(const std::string& name, const Mailbox& box) {
    return PackEntryId({'F', name, box.uidvalidity, 0});
  }

  Mailbox* Find(const EntryIdParts& parts) {
    auto it = account_->mailboxes.find(parts.mailbox);
    if (it == account_->mailboxes.end() || it->second.uidvalidity != parts.uidvalidity) {
      return nullptr;
    }
    return &it->second;
  }

  StatusOr<std::string> RawOf(const EntryId& message, std::optional<EntryIdParts>* parts) {
    *parts = UnpackEntryId(message);
    Mailbox* box = *parts && (*parts)->kind == 'M' ? Find(**parts) : nullptr;
    if (box == nullptr) return Status::NotFound("no such message");
    auto it = box->messages.find((*parts)->uid);
    if (it == box->messages.end()) return Status::NotFound("no such message");
    return it->second;
  }

  StatusOr<FolderProps> PropsOf(const EntryId& folder) {
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    FolderProps props;
    props.entry_id = folder;
    if (parts->kind == 'R') {
      props.parent_entry_id = folder;
      props.type = FolderType::kRoot;
      return props;
    }
    if (parts->kind == 'T') {
      props.parent_entry_id = RootFolder();
      props.display_name = account_->top_name;
      return props;
    }
    Mailbox* box = parts->kind == 'F' ? Find(*parts) : nullptr;
    if (box == nullptr) return Status::NotFound("no such folder");
    std::string parent = ParentOf(parts->mailbox);
    props.parent_entry_id =
        parent.empty() ? PackEntryId({'T', "", 0, 0}) : FolderId(parent, account_->Make(parent));
    props.display_name = LeafOf(parts->mailbox);
    props.content_count = static_cast<uint32_t>(box->messages.size());
    props.comment = box->comment;
    return props;
  }

  std::shared_ptr<Account> account_;
  std::shared_ptr<bool> alive_;
};

class MemorySession final : public MapiSession {
 public:
  explicit MemorySession(std::shared_ptr<Account> account) : account_(std::move(account)) {}
  ~MemorySession() override { Logoff(); }

  StatusOr<std::vector<StoreRow>> GetMsgStoresTable() override {
    if (!*alive_) return Status::Unavailable("the session has ended");
    return std::vector<StoreRow>{{PackEntryId({'S', "memory", 0, 0}), "Personal Folders", true}};
  }
  StatusOr<std::unique_ptr<MapiStore>> OpenMsgStore(const EntryId& store) override {
    if (!*alive_) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(store);
    if (!parts || parts->kind != 'S') return Status::NotFound("no such message store");
    return std::unique_ptr<MapiStore>(std::make_unique<MemoryStore>(account_, alive_));
  }
  void Logoff() override {
    std::lock_guard lock(account_->mu);
    *alive_ = false;
  }

 private:
  std::shared_ptr<Account> account_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class MemoryAccount final : public MemoryMapiAccount {
 public:
  explicit MemoryAccount(std::string top_name) {
    account_->top_name = std::move(top_name);
    account_->Make(std::string(kInbox));
  }

  StatusOr<std::unique_ptr<MapiSession>> Logon() override {
    return std::unique_ptr<MapiSession>(std::make_unique<MemorySession>(account_));
  }

  StatusOr<EntryId> Deliver(std::string_view folder_path, std::string raw) override {
    std::lock_guard lock(account_->mu);
    std::string name = MailboxOfPath(folder_path);
    if (name.empty()) return Status::InvalidArgument("no folder given");
    for (size_t slash = name.find(kDelimiter); slash != std::string::npos;
         slash = name.find(kDelimiter, slash + 1)) {
      account_->Make(name.substr(0, slash));
    }
    Mailbox& box = account_->Make(name);
    uint32_t uid = box.next_uid++;
    box.messages[uid] = std::move(raw);
    box.objects[uid] = account_->next_object++;
    return PackEntryId({'M', name, box.uidvalidity, uid});
  }

  Status RenameFolder(std::string_view folder_path, std::string_view new_name) override {
    std::lock_guard lock(account_->mu);
    std::string name = MailboxOfPath(folder_path);
    auto it = account_->mailboxes.find(name);
    if (it == account_->mailboxes.end()) return Status::NotFound("no such folder");
    std::string parent = ParentOf(name);
    std::string renamed = (parent.empty() ? "" : parent + kDelimiter) + std::string(new_name);
    Mailbox box = std::move(it->second);
    account_->mailboxes.erase(it);
    box.uidvalidity = account_->next_uidvalidity++;
    account_->mailboxes[renamed] = std::move(box);
    return Status::Ok();
  }

 private:
  std::shared_ptr<Account> account_ = std::make_shared<Account>();
};

}  // namespace

std::unique_ptr<MemoryMapiAccount> MakeMemoryMapiAccount(std::string top_name) {
  return std::make_unique<MemoryAccount>(std::move(top_name));
}

StatusOr<bool> MapiStore::WaitForChange(const EntryId&, int timeout_ms) {
  // A store that cannot announce changes has nothing to wake the caller with: the wait is the
  // whole time-out, as against a server that stays idle; stores that can, override this.
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timeout_ms, 0)));
  return false;
}

StatusOr<bool> MapiStore::WaitForChangeOrWake(const EntryId&, int timeout_ms, int wake_fd) {
  pollfd p{wake_fd, POLLIN, 0};
  (void)::poll(&p, wake_fd >= 0 ? 1 : 0, std::max(timeout_ms, 0));
  return false;
}

}  // namespace vexmor::platform
