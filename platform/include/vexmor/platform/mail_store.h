// The local mail store: a tree of folders holding messages, as the filter engine sees it.
//
// Folders and messages carry 32-bit ids. Folder ids are stable for the life of a folder; the
// special folders have fixed ids. A message id is given on first sight, in arrival order, and
// stays the same while the message stays in its folder (flag changes included); a message
// moved to another folder gets a new id there. Ids are never reused within a folder.
//
// Errors come back as Status values (NotFound for a folder or message that is not, or no
// longer, there); nothing throws. An instance may be used by one thread at a time; several
// instances, in several processes, may work on the same store at once, beside mail readers
// and fetchers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/move_tracker.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

using FolderId = uint32_t;
using MessageId = uint32_t;

// Fixed folder ids. The root holds "Local Folders", which holds the special folders and the
// user's folders.
inline constexpr FolderId kRootFolderId = 0;
inline constexpr FolderId kLocalFoldersId = 1;
inline constexpr FolderId kOutboxFolderId = 3;
inline constexpr FolderId kInboxFolderId = 4;
inline constexpr FolderId kDeletedItemsFolderId = 5;
inline constexpr FolderId kSentItemsFolderId = 6;
inline constexpr FolderId kDraftsFolderId = 7;
// User folders get ids from here on.
inline constexpr FolderId kFirstUserFolderId = 100;

inline constexpr std::string_view kLocalFoldersName = "Local Folders";
inline constexpr std::string_view kInboxName = "Inbox";
inline constexpr std::string_view kOutboxName = "Outbox";
inline constexpr std::string_view kSentItemsName = "Sent Items";
inline constexpr std::string_view kDeletedItemsName = "Deleted Items";
inline constexpr std::string_view kDraftsName = "Drafts";

// Message state bits, as the filter engine reads them.
inline constexpr uint32_t kMessageUnread = 2;     // the user has not read it
inline constexpr uint32_t kMessageReceived = 16;  // delivered mail (not a draft or sent copy)

struct FolderInfo {
  FolderId id = 0;
  FolderId parent = 0;
  std::string name;            // display name
  uint32_t message_count = 0;  // messages in the folder now
  bool operator==(const FolderInfo&) const = default;
};

struct MessageInfo {
  MessageId id = 0;
  uint32_t state = 0;  // kMessageUnread | kMessageReceived
  uint64_t size = 0;   // bytes of the stored message; 0 when the listing did not ask for it
  bool operator==(const MessageInfo&) const = default;
};

// A read-only view of one stored message's bytes.
class MessageSource {
 public:
  virtual ~MessageSource() = default;
  // Up to "capacity" bytes into "buffer"; 0 at the end.
  virtual StatusOr<size_t> Read(char* buffer, size_t capacity) = 0;
};

// A source over bytes already in memory.
std::unique_ptr<MessageSource> MessageSourceFromString(std::string text);

// Reads at most "limit" bytes of a source (all of it with the default).
StatusOr<std::string> ReadSource(MessageSource& source, size_t limit = SIZE_MAX);

class MailStore {
 public:
  virtual ~MailStore() = default;

  virtual StatusOr<FolderInfo> GetFolder(FolderId folder) = 0;
  // The same, where message_count may be left 0: for callers that need the name only.
  virtual StatusOr<FolderInfo> GetFolderName(FolderId folder) { return GetFolder(folder); }
  // Whether the folder exists; unlike GetFolder it need not count the folder's messages.
  virtual bool HasFolder(FolderId folder) { return GetFolder(folder).ok(); }
  // Direct subfolders: the special folders first in id order, then the others by name.
  virtual StatusOr<std::vector<FolderInfo>> ListSubfolders(FolderId parent) = 0;
  // The same, where message_count may be left 0: for searches by name, which need no counts.
  virtual StatusOr<std::vector<FolderInfo>> ListSubfolderNames(FolderId parent) {
    return ListSubfolders(parent);
  }
  // A new empty folder; InvalidArgument for a name that cannot be stored or already exists
  // beside it.
  virtual StatusOr<FolderId> CreateFolder(FolderId parent, std::string_view name) = 0;
  // A folder outside "Deleted Items" moves there with its subfolders; one inside it is
  // removed with its messages. The fixed folders cannot be deleted.
  virtual Status DeleteFolder(FolderId folder) = 0;

  // The folder's messages in ascending id order. With sizes, each message's size is filled in
  // (which costs one file status read per message in some stores).
  virtual StatusOr<std::vector<MessageInfo>> ListMessages(FolderId folder,
                                                          bool with_sizes = false) = 0;
  virtual StatusOr<MessageInfo> GetMessage(FolderId folder, MessageId message) = 0;
  virtual StatusOr<std::unique_ptr<MessageSource>> OpenMessage(FolderId folder,
                                                               MessageId message) = 0;
  // Moves a message; returns its id in the destination.
  virtual StatusOr<MessageId> MoveMessage(FolderId from, MessageId message, FolderId to) = 0;
  // Sets (read = true) or clears the message's read mark.
  virtual Status MarkRead(FolderId folder, MessageId message, bool read) = 0;
  // How often this store saw the folder's ids given out afresh since it was opened (its id
  // list deleted or rebuilt, so that an id may now name another message), as of its last look
  // at the folder. A caller that keeps ids compares it between looks. 0 where ids never are.
  virtual uint64_t IdEpoch(FolderId /*folder*/) { return 0; }

  // What the store shows of how the message got where it is (its digest is left 0): whether
  // it lies where deliveries land, whether it was read, the stored object a person's move
  // keeps. Unavailable from a store that shows none of it.
  virtual StatusOr<MoveEvidence> GetEvidence(FolderId folder, MessageId message) {
    (void)folder;
    (void)message;
    return Status::Unavailable("the store shows no evidence of moves");
  }
};

// Problems found in a store (a folder without "cur/", an unreadable file, a corrupt id list),
// one readable line each, for the caller's log. The store goes on after reporting.
using StoreProblemSink = std::function<void(std::string_view problem)>;

struct MaildirOptions {
  // Directory names (without the leading '.') of special folders whose reader names them
  // differently, e.g. {kSentItemsFolderId, "Sent"}, {kDeletedItemsFolderId, "Trash"}. These
  // win over "map" lines of the tree's folder index and over the names found by looking.
  std::map<FolderId, std::string> special_dirs;
  StoreProblemSink report;
};

// The adapter on a Maildir++ tree at "root" (the Inbox is the root's own cur/ and new/).
// NotFound when "root" is not a directory; InvalidArgument when it has neither cur/ nor new/.
StatusOr<std::unique_ptr<MailStore>> OpenMaildirStore(const std::string& root,
                                                      MaildirOptions options = {});

// A store kept in memory, for tests; it holds the fixed folders and starts empty.
class MemoryMailStore : public MailStore {
 public:
  // Adds a message at the end of a folder, as a fetcher delivers (unread: where deliveries
  // land; read: a reader's file).
  virtual StatusOr<MessageId> Deliver(FolderId folder, std::string source, bool read = false) = 0;
  // A reader writes a message of its own into a folder (a copy it saves): never where
  // deliveries land, read or not.
  virtual StatusOr<MessageId> SaveByReader(FolderId folder, std::string source, bool read) = 0;
  // A reader links a message into another folder: the same stored object in both.
  virtual StatusOr<MessageId> LinkMessage(FolderId from, MessageId message, FolderId to) = 0;
};
std::unique_ptr<MemoryMailStore> MakeMemoryMailStore();

// Where the local store is: the string value "Mail Store" of the product's registry key,
// else $MAILDIR, else "Maildir" in the user's home. A leading "~/" is the home folder. The
// result ends with '/'. A null registry skips the first step.
inline constexpr std::string_view kMailStoreValue = "Mail Store";
std::string LocateMailStore(const Registry* registry, const Paths& paths);

}  // namespace vexmor::platform
