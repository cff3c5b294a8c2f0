// The account store on an IMAP server, through libetpan. The transport under libetpan is our
// own (a socket plus GnuTLS), so that certificates are checked against the system's trust
// store and the host name, and STARTTLS upgrades the same socket.
//
// Folders are the server's mailboxes below "Top of Personal Folders"; entry ids carry the
// mailbox name, its UIDVALIDITY and the message's UID, so an id outlives neither a rename nor
// a recreated mailbox. The connection, the commands, the mover and the mailbox names live in
// the imap_* files beside this one; this is the store the add-in sees on top of them.
#include <strings.h>

#include <algorithm>

#include "imap_commands.h"
#include "imap_connection.h"
#include "imap_folder_names.h"
#include "imap_message_reader.h"
#include "imap_mover.h"
#include "imap_uid_set.h"
#include "imap_utf7.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform {
namespace {

using imap::Connection;
using imap::Fetched;
using imap::kInbox;
using imap::ListedMailbox;
using imap::MailboxStatus;
using imap::MessageCache;

class ImapStore final : public MapiStore {
 public:
  explicit ImapStore(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

  EntryId RootFolder() const override { return PackEntryId({'R', "", 0, 0}); }

  StatusOr<EntryId> GetWellKnownFolder(WellKnownFolder which) override {
    if (which == WellKnownFolder::kIpmSubtree) return Top();
    if (which != WellKnownFolder::kIpmSentmail && which != WellKnownFolder::kIpmWastebasket &&
        which != WellKnownFolder::kIpmOutbox) {
      return Status::NotFound("the account holds no such folder");
    }
    StatusOr<std::vector<ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    const ListedMailbox* pick = imap::WellKnownMailbox(*boxes, which);
    if (pick == nullptr) return Status::NotFound("the account holds no such folder");
    return FolderEntry(pick->name);
  }

  StatusOr<EntryId> GetReceiveFolder() override { return FolderEntry(std::string(kInbox)); }

  StatusOr<ObjectType> ObjectTypeOf(const EntryId& entry) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(entry);
    if (!parts) return Status::NotFound("not an entry id of this store");
    switch (parts->kind) {
      case 'R':
      case 'T':
        return ObjectType::kFolder;
      case 'S':
        return ObjectType::kStore;
      case 'F': {
        if (parts->uidvalidity == 0) {  // a folder that holds only folders (\Noselect)
          StatusOr<std::vector<ListedMailbox>> boxes = connection_->List();
          if (!boxes.ok()) return boxes.status();
          for (const auto& box : *boxes) {
            if (box.name == parts->mailbox) return ObjectType::kFolder;
          }
          return Status::NotFound("the folder " + parts->mailbox + " is gone");
        }
        StatusOr<MailboxStatus> status = connection_->CheckedStatus(*parts);
        if (!status.ok()) return status.status();
        return ObjectType::kFolder;
      }
      default: {
        StatusOr<bool> exists = MessageExists(*parts);
        if (!exists.ok()) return exists.status();
        if (!*exists) return Status::NotFound("the message is no longer there");
        return ObjectType::kMessage;
      }
    }
  }

  StatusOr<FolderProps> GetFolderProps(const EntryId& folder) override {
    imap::Mover(*connection_).SendQueued();
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
      props.display_name = std::string(kTopOfPersonalFolders);
      return props;
    }
    if (parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    StatusOr<std::vector<ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    auto box = std::find_if(boxes->begin(), boxes->end(),
                            [&](const auto& b) { return b.name == parts->mailbox; });
    if (box == boxes->end()) return Status::NotFound("the folder " + parts->mailbox + " is gone");
    if (!box->noselect) {
      StatusOr<MailboxStatus> status = connection_->CheckedStatus(*parts);
      if (!status.ok()) return status.status();
      props.content_count = status->messages;
    }
    props.display_name = DisplayName(*box);
    std::string parent = ParentName(*box);
    if (parent.empty()) {
      props.parent_entry_id = Top();
    } else {
      StatusOr<EntryId> parent_id = FolderEntry(parent);
      props.parent_entry_id = parent_id.ok() ? *parent_id : PackEntryId({'F', parent, 0, 0});
    }
    return props;
  }

  StatusOr<std::vector<FolderProps>> GetHierarchyTable(const EntryId& folder) override {
    imap::Mover(*connection_).SendQueued();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    std::vector<FolderProps> rows;
    if (parts->kind == 'R') {
      StatusOr<FolderProps> top = GetFolderProps(Top());
      if (!top.ok()) return top.status();
      rows.push_back(*top);
      return rows;
    }
    if (parts->kind != 'T' && parts->kind != 'F') {
      return Status::InvalidArgument("the entry is not a folder");
    }
    StatusOr<std::vector<ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    std::string parent = parts->kind == 'T' ? std::string() : parts->mailbox;
    std::vector<const ListedMailbox*> children;
    for (const auto& box : *boxes) {
      if (ParentName(box) == parent && !IsNamespaceFolder(box) &&
          !(parts->kind == 'T' && box.name.empty())) {
        children.push_back(&box);
      }
    }
    std::stable_sort(children.begin(), children.end(), [](const auto* a, const auto* b) {
      bool a_inbox = a->name == kInbox;
      bool b_inbox = b->name == kInbox;
      return a_inbox != b_inbox ? a_inbox : a->name < b->name;
    });
    for (const auto* box : children) {
      FolderProps props;
      props.display_name = DisplayName(*box);
      props.parent_entry_id = folder;
      if (box->noselect) {
        props.entry_id = PackEntryId({'F', box->name, 0, 0});
      } else {
        StatusOr<MailboxStatus> status = connection_->StatusOf(box->name);
        if (!status.ok()) {
          if (!connection_->alive()) return status.status();
          continue;  // vanished between LIST and STATUS
        }
        props.entry_id = PackEntryId({'F', box->name, status->uidvalidity, 0});
        props.content_count = status->messages;
      }
      rows.push_back(std::move(props));
    }
    return rows;
  }

  StatusOr<std::vector<EntryId>> GetContentsTable(const EntryId& folder) override {
    return Contents(folder, false);
  }

  StatusOr<std::vector<EntryId>> GetUnreadContents(const EntryId& folder) override {
    return Contents(folder, true);
  }

  uint64_t ConnectionFailures() const override { return connection_->failures(); }

  StatusOr<std::vector<EntryId>> Contents(const EntryId& folder, bool unread_only) {
    imap::Mover(*connection_).SendQueued();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    if (parts->kind == 'R' || parts->kind == 'T') return std::vector<EntryId>();
    if (parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    return connection_->Retried([&]() -> StatusOr<std::vector<EntryId>> {
      StatusOr<uint32_t> validity = connection_->Select(parts->mailbox, parts->uidvalidity);
      if (!validity.ok()) return validity.status();
      StatusOr<std::vector<uint32_t>> uids = imap::UidSearch(
          *connection_, unread_only ? imap::SearchUnseen() : mailimap_search_key_new_all());
      if (!uids.ok()) return uids.status();
      // What a caller lists it mostly reads next: the reader reads ahead along this list.
      connection_->cache().SetListing(parts->mailbox, *validity, *uids);
      std::vector<EntryId> rows;
      for (uint32_t uid : *uids) rows.push_back(PackEntryId({'M', parts->mailbox, *validity, uid}));
      return rows;
    });
  }

  // IMAP IDLE on the folder: the server pushes EXISTS when mail arrives.
  StatusOr<bool> WaitForChange(const EntryId& folder, int timeout_ms) override {
    return WaitForChangeOrWake(folder, timeout_ms, -1);
  }

  StatusOr<bool> WaitForChangeOrWake(const EntryId& folder, int timeout_ms, int wake_fd) override {
    imap::Mover(*connection_).SendQueued();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts || parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    StatusOr<uint32_t> validity = connection_->Select(parts->mailbox, parts->uidvalidity);
    if (!validity.ok()) return validity.status();
    if (!connection_->has_idle()) {
      return wake_fd >= 0 ? MapiStore::WaitForChangeOrWake(folder, timeout_ms, wake_fd)
                          : MapiStore::WaitForChange(folder, timeout_ms);
    }
    return connection_->Idle(timeout_ms, wake_fd);
  }

  StatusOr<MessageProps> GetMessageProps(const EntryId& message, size_t body_limit) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    StatusOr<std::string> raw = imap::MessageReader(*connection_).Whole(*parts);
    if (!raw.ok()) return raw.status();
    return Located(DecodeMapiMessage(*raw, body_limit), message, *parts);
  }

  // A message larger than "whole_limit" is never fetched whole: its first bytes give the
  // header. The messages listed after it are read in the same command, for the calls to come.
  StatusOr<MessageProps> GetMessagePropsBounded(const EntryId& message, size_t whole_limit,
                                                size_t body_limit) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    if (whole_limit >= UINT32_MAX) return GetMessageProps(message, body_limit);
    StatusOr<imap::MessageReader::Bounded> read =
        imap::MessageReader(*connection_).UpTo(*parts, whole_limit);
    if (!read.ok()) return read.status();
    if (!read->whole) return Located(DecodeMapiHeader(read->bytes), message, *parts);
    return Located(DecodeMapiMessage(read->bytes, body_limit), message, *parts);
  }

  StatusOr<MoveEvidence> GetEvidence(const EntryId& message) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    return imap::MessageReader(*connection_).Evidence(*parts);
  }

  StatusOr<std::unique_ptr<MessageSource>> OpenBodyStream(const EntryId& message) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    StatusOr<std::string> raw = imap::MessageReader(*connection_).Whole(*parts);
    if (!raw.ok()) return raw.status();
    return MessageSourceFromString(DecodePlainBody(*raw));
  }

  StatusOr<EntryId> CreateFolder(const EntryId& parent, std::string_view name,
                                 std::string_view comment, bool open_if_exists) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(parent);
    if (!parts || (parts->kind != 'T' && parts->kind != 'F')) {
      return Status::InvalidArgument("folders are made below the top of the personal folders");
    }
    if (name.empty() || name.find_first_of("*%\r\n\"\\") != std::string_view::npos) {
      return Status::InvalidArgument("the folder name \"" + std::string(name) +
                                     "\" cannot be stored");
    }
    // A name that is no UTF-8 would reach the server mangled.
    std::optional<std::string> leaf = imap::EncodeMailboxName(name);
    if (!leaf) return Status::InvalidArgument("the folder name is not valid UTF-8");
    StatusOr<std::vector<FolderProps>> siblings = GetHierarchyTable(parent);
    if (!siblings.ok()) return siblings.status();
    for (const FolderProps& row : *siblings) {
      if (strcasecmp(row.display_name.c_str(), std::string(name).c_str()) == 0) {
        if (!open_if_exists) return Status::InvalidArgument("the folder exists already");
        return row.entry_id;
      }
    }
    StatusOr<std::vector<ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    char delimiter = boxes->empty() ? '.' : boxes->front().delimiter;
    if (delimiter != 0 && name.find(delimiter) != std::string_view::npos) {
      return Status::InvalidArgument("the folder name holds the server's separator");
    }
    std::string mailbox = parts->kind == 'T' ? connection_->personal_prefix() + *leaf
                                             : parts->mailbox + delimiter + *leaf;
    int rc = mailimap_create(connection_->imap(), mailbox.c_str());
    if (rc != MAILIMAP_NO_ERROR) return connection_->Error(rc, "CREATE " + mailbox);
    if (connection_->has_metadata() && !comment.empty()) {
      std::string command =
          "SETMETADATA \"" + mailbox + "\" (/private/comment \"" + std::string(comment) + "\")";
      // A comment the server will not keep is no reason to fail the folder.
      int meta = mailimap_custom_command(connection_->imap(), command.c_str());
      if (meta == MAILIMAP_ERROR_STREAM || meta == MAILIMAP_ERROR_PARSE) {
        return connection_->Error(meta, "SETMETADATA");
      }
    }
    return FolderEntry(mailbox);
  }

  StatusOr<EntryId> MoveMessage(const EntryId& from, const EntryId& message,
                                const EntryId& to) override {
    std::optional<EntryIdParts> src = UnpackEntryId(from);
    std::optional<EntryIdParts> msg = UnpackEntryId(message);
    std::optional<EntryIdParts> dst = UnpackEntryId(to);
    if (!src || src->kind != 'F' || !dst || dst->kind != 'F' || !msg || msg->kind != 'M') {
      return Status::InvalidArgument("a move takes two folders and a message");
    }
    if (msg->mailbox != src->mailbox || msg->uidvalidity != src->uidvalidity) {
      return Status::NotFound("the message is not in the source folder");
    }
    return imap::Mover(*connection_).Move(*src, *msg, *dst, message);
  }

  void OpenMoveBatch() override { imap::Mover(*connection_).OpenBatch(); }
  Status CloseMoveBatch() override { return imap::Mover(*connection_).CloseBatch(); }

  Status EmptyFolder(const EntryId& folder) override {
    imap::Mover mover(*connection_);
    mover.SendQueued();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts || parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    connection_->cache().ForgetMailbox(parts->mailbox);  // what was read there is about to go
    StatusOr<uint32_t> selected = connection_->Select(parts->mailbox, parts->uidvalidity);
    if (!selected.ok()) return selected.status();
    StatusOr<std::vector<uint32_t>> uids =
        imap::UidSearch(*connection_, mailimap_search_key_new_all());
    if (!uids.ok()) return uids.status();
    if (uids->empty()) return Status::Ok();
    return mover.DeleteUids(imap::UidSet::Of(std::move(*uids)));
  }

 private:
  EntryId Top() const { return PackEntryId({'T', "", 0, 0}); }

  // Decoded properties with the message's place filled in.
  static StatusOr<MessageProps> Located(StatusOr<MessageProps> props, const EntryId& message,
                                        const EntryIdParts& parts) {
    if (!props.ok()) return props;
    props->entry_id = message;
    props->parent_entry_id = PackEntryId({'F', parts.mailbox, parts.uidvalidity, 0});
    return props;
  }

  StatusOr<EntryId> FolderEntry(const std::string& mailbox) {
    StatusOr<MailboxStatus> status = connection_->StatusOf(mailbox);
    if (!status.ok()) return status.status();
    return PackEntryId({'F', mailbox, status->uidvalidity, 0});
  }

  StatusOr<bool> MessageExists(const EntryIdParts& message) {
    StatusOr<uint32_t> selected = connection_->Select(message.mailbox, message.uidvalidity);
    if (!selected.ok()) return selected.status();
    StatusOr<std::vector<uint32_t>> uids = imap::UidSearch(
        *connection_, mailimap_search_key_new_uid(imap::UidSet::Single(message.uid).release()));
    if (!uids.ok()) return uids.status();
    return std::find(uids->begin(), uids->end(), message.uid) != uids->end();
  }

  std::string ParentName(const ListedMailbox& box) const {
    return imap::ParentName(box, connection_->personal_prefix());
  }
  bool IsNamespaceFolder(const ListedMailbox& box) const {
    return imap::IsNamespaceFolder(box, connection_->personal_prefix());
  }
  std::string DisplayName(const ListedMailbox& box) const {
    return imap::DisplayName(box, connection_->personal_prefix());
  }

  std::shared_ptr<Connection> connection_;
};

class ImapSession final : public MapiSession {
 public:
  explicit ImapSession(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  ~ImapSession() override { Logoff(); }

  StatusOr<std::vector<StoreRow>> GetMsgStoresTable() override {
    if (connection_ == nullptr) return Status::Unavailable("the session has ended");
    return std::vector<StoreRow>{
        {PackEntryId({'S', connection_->user() + "@" + connection_->host(), 0, 0}),
         std::string(kPersonalFolders), true}};
  }

  StatusOr<std::unique_ptr<MapiStore>> OpenMsgStore(const EntryId& store) override {
    if (connection_ == nullptr) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(store);
    if (!parts || parts->kind != 'S') return Status::NotFound("no such message store");
    return std::unique_ptr<MapiStore>(std::make_unique<ImapStore>(connection_));
  }

  void Logoff() override {
    if (connection_ == nullptr) return;
    if (connection_->alive()) mailimap_logout(connection_->imap());
    connection_->End();
    connection_.reset();
  }

 private:
  std::shared_ptr<Connection> connection_;
};

class ImapLogon final : public MapiLogon {
 public:
  explicit ImapLogon(ImapConnectOptions options) : options_(std::move(options)) {}
  StatusOr<std::unique_ptr<MapiSession>> Logon() override {
    auto connection = std::make_shared<Connection>(options_);
    if (Status s = connection->Open(); !s.ok()) return s;
    return std::unique_ptr<MapiSession>(std::make_unique<ImapSession>(std::move(connection)));
  }

 private:
  ImapConnectOptions options_;
};

}  // namespace

std::unique_ptr<MapiLogon> MakeImapLogon(ImapConnectOptions options) {
  return std::make_unique<ImapLogon>(std::move(options));
}

}  // namespace vexmor::platform
