// The account client's message store: a session on the user's mail account, its message
// stores, folders and messages, as the add-in sees them.
//
// Objects are named by entry ids, opaque binary strings (the IMAP adapter packs the mailbox
// name, its UIDVALIDITY and the message's UID into them). An entry id stays valid while its
// object stays where it is; a message moved elsewhere gets a new entry id there, and an id
// whose mailbox was renamed or recreated (UIDVALIDITY changed) is NotFound from then on.
//
// Each store has a root folder (FolderType::kRoot, no display name) holding the top of the
// personal folders, "Top of Personal Folders", under which the account's folders hang (the
// receive folder "Inbox" among them). The store's own display name is "Personal Folders".
//
// Errors come back as Status values: NotFound for an entry that is not (or no longer) there,
// Unavailable for a server that cannot be reached or dropped the connection, InvalidArgument
// for a request that cannot be honoured, Corrupt for a server answer that makes no sense.
// Nothing throws. A session and the stores opened from it are used by one thread at a time;
// separate sessions may be used on separate threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

using EntryId = std::string;  // binary

// Two upper-case hexadecimal digits per byte.
std::string HexFromBin(std::string_view bin);
// The bytes of a hexadecimal text (either letter case); nullopt for an odd length or a
// character that is not a hexadecimal digit.
std::optional<std::string> FBinFromHex(std::string_view hex);

enum class ObjectType : uint32_t { kStore = 1, kFolder = 3, kMessage = 5 };
enum class FolderType : uint32_t { kRoot = 0, kGeneric = 1, kSearch = 2 };

// The store's well-known folders, in the order their "@" names are listed by the add-in.
enum class WellKnownFolder {
  kIpmSubtree,
  kIpmOutbox,
  kIpmWastebasket,
  kIpmSentmail,
  kIpmPublicFolders,
  kIpmFavorites,
  kNonIpmSubtree,
  kGwMtsin,
  kGwMtsout,
  kViews,
  kDefaultView,
  kCommonViews,
  kFinder,
  kHeaderFolder,
  kScheduleFolder,
  kIpmDaf,
  kEformsRegistry,
  kSplusFreeBusy,
  kOfflineAddrbook,
  kEformsForLocale,
  kFreeBusyForLocalSite,
  kAddrbookForLocalSite,
};

inline constexpr std::string_view kTopOfPersonalFolders = "Top of Personal Folders";
inline constexpr std::string_view kPersonalFolders = "Personal Folders";

struct StoreRow {
  EntryId entry_id;
  std::string display_name;
  bool default_store = false;
};

struct FolderProps {
  EntryId entry_id;
  EntryId parent_entry_id;   // the root's own id for the root
  std::string display_name;  // UTF-8
  FolderType type = FolderType::kGeneric;
  uint32_t content_count = 0;
  std::string comment;  // UTF-8; empty when the store keeps none
};

// A message's properties. Texts are UTF-8 (the Unicode forms); Ansi() gives the 8-bit forms.
struct MessageProps {
  EntryId entry_id;
  EntryId parent_entry_id;
  std::string subject;    // decoded
  std::string body;       // the plain text, decoded; empty when body_too_large
  std::string body_html;  // the HTML part, decoded; empty when there is none
  bool has_body = false;  // a plain text part exists (or the HTML part stands in)
  bool has_html = false;
  bool body_too_large = false;  // the plain body exceeds the caller's limit: read it as a stream
  uint64_t body_size = 0;       // bytes of the decoded plain body
  std::string sender_address;
  std::string message_id;  // the Message-ID header's value without its angle brackets
  std::string message_class = "IPM.Note";
  std::vector<std::string> recipient_addresses;  // To, Cc and Bcc
  uint64_t size = 0;                             // bytes of the stored message
  // Only the header was read (the message is too large to be read whole): no body, no HTML.
  bool header_only = false;
};

// Texts in the 8-bit form the engine works on (Windows-1252).
std::string Ansi(std::string_view utf8);

// The properties of a raw RFC 822 message, decoded with GMime (entry ids left empty). Fails
// only when the bytes hold no message at all.
StatusOr<MessageProps> DecodeMapiMessage(std::string_view raw, size_t body_limit = SIZE_MAX);
// The properties of a message's header alone ("head" is the start of its source, which may
// end anywhere after the header), flagged header_only: a message too large to be read whole
// is judged by what its header says.
StatusOr<MessageProps> DecodeMapiHeader(std::string_view head);
// The plain body of a raw message in 8-bit form (the HTML part's text when there is no plain
// part is not substituted: empty then).
std::string DecodePlainBody(std::string_view raw);

// What the adapters pack into an entry id: its kind ('S' store, 'R' root, 'T' top of the
// personal folders, 'F' folder, 'M' message), the mailbox, its UIDVALIDITY and the UID.
struct EntryIdParts {
  char kind = 0;
  std::string mailbox;
  uint32_t uidvalidity = 0;
  uint32_t uid = 0;
  bool operator==(const EntryIdParts&) const = default;
};
EntryId PackEntryId(const EntryIdParts& parts);
// nullopt for bytes that are no entry id of ours.
std::optional<EntryIdParts> UnpackEntryId(std::string_view entry);

class MapiStore {
 public:
  virtual ~MapiStore() = default;

  virtual EntryId RootFolder() const = 0;
  // NotFound when the store does not hold that folder.
  virtual StatusOr<EntryId> GetWellKnownFolder(WellKnownFolder which) = 0;
  // The receive folder for ordinary mail (the account's INBOX).
  virtual StatusOr<EntryId> GetReceiveFolder() = 0;

  // What an entry id names; NotFound when it names nothing in this store.
  virtual StatusOr<ObjectType> ObjectTypeOf(const EntryId& entry) = 0;
  virtual StatusOr<FolderProps> GetFolderProps(const EntryId& folder) = 0;
  // Direct subfolders in a stable order.
  virtual StatusOr<std::vector<FolderProps>> GetHierarchyTable(const EntryId& folder) = 0;
  // The folder's messages in arrival order.
  virtual StatusOr<std::vector<EntryId>> GetContentsTable(const EntryId& folder) = 0;

  // The folder's messages nobody has read yet, in arrival order. A store that keeps no read
  // marks gives every message.
  virtual StatusOr<std::vector<EntryId>> GetUnreadContents(const EntryId& folder) {
    return GetContentsTable(folder);
  }
  // How many calls so far failed because the connection to the server was lost or its answer
  // made no sense (Unavailable, Corrupt). A caller that sees the count rise across work it
  // handed to others (an add-in's delivery event) knows that work may not have been done.
  virtual uint64_t ConnectionFailures() const { return 0; }

  // The message's properties; a plain body longer than "body_limit" bytes is left out and
  // flagged, so huge bodies are read through OpenBodyStream instead.
  virtual StatusOr<MessageProps> GetMessageProps(const EntryId& message,
                                                 size_t body_limit = SIZE_MAX) = 0;
  // The same for a message of at most "whole_limit" bytes; a larger one is never held whole:
  // only the properties of its header come back (header_only set, DecodeMapiHeader).
  virtual StatusOr<MessageProps> GetMessagePropsBounded(const EntryId& message, size_t whole_limit,
                                                        size_t body_limit);
  // The plain body (8-bit form) as a stream, for reading in chunks.
  virtual StatusOr<std::unique_ptr<MessageSource>> OpenBodyStream(const EntryId& message) = 0;
  // What the store keeps of a message through a person's move or copy (see MoveEvidence; on
  // IMAP the server's own id of the stored message, Dovecot's X-GUID, which MOVE and COPY keep
  // and a delivery makes anew). An error, or an empty object, from a store that keeps none.
  virtual StatusOr<MoveEvidence> GetEvidence(const EntryId& message) {
    (void)message;
    return Status::Unavailable("the store shows no evidence of moves");
  }

  // A new folder under "parent" with the comment kept where the store can keep one. With
  // open_if_exists an existing folder of that name (any letter case) is returned instead;
  // without it that is InvalidArgument.
  virtual StatusOr<EntryId> CreateFolder(const EntryId& parent, std::string_view name,
                                         std::string_view comment, bool open_if_exists) = 0;
  // Moves one message of "from" into "to" and returns its entry id there (empty when the
  // store moved it but cannot tell the new id). Either the message ends up once in "to" and
  // no longer in "from", or nothing changes and an error comes back; the source is never
  // removed before its copy in "to" is confirmed.
  virtual StatusOr<EntryId> MoveMessage(const EntryId& from, const EntryId& message,
                                        const EntryId& to) = 0;
  // Deletes every message of the folder (its subfolders stay).
  virtual Status EmptyFolder(const EntryId& folder) = 0;

  // A run of moves, as a client filing a burst of delivered mail makes: until CloseMoveBatch,
  // a move of a message read moments ago may be queued and sent with the others of the run as
  // one command (one server transaction for many messages, where each costs the server its
  // flushes to disk). Such a move reports success with an unknown new entry id. Every call
  // that lists, counts or waits on folders sends the queue first. CloseMoveBatch sends what is
  // left and says whether every queued message reached its folder; one that had already left
  // its folder is not an error. Stores without batching move at once.
  virtual void OpenMoveBatch() {}
  virtual Status CloseMoveBatch() { return Status::Ok(); }

  // Waits until the folder may have changed (new mail, for the client's delivery event) or
  // "timeout_ms" passed; true when the store saw a change, false after the time-out or when a
  // signal interrupted the wait. A store that cannot be told of changes just waits.
  virtual StatusOr<bool> WaitForChange(const EntryId& folder, int timeout_ms);
  // The same wait, also ended early (with false) when "wake_fd" becomes readable; the caller
  // drains the descriptor. A store that cannot be told of changes waits on "wake_fd" alone.
  virtual StatusOr<bool> WaitForChangeOrWake(const EntryId& folder, int timeout_ms, int wake_fd);
};

// One logged-on session on the account.
class MapiSession {
 public:
  virtual ~MapiSession() = default;
  virtual StatusOr<std::vector<StoreRow>> GetMsgStoresTable() = 0;
  virtual StatusOr<std::unique_ptr<MapiStore>> OpenMsgStore(const EntryId& store) = 0;
  // Ends the session; stores opened from it fail with Unavailable afterwards.
  virtual void Logoff() = 0;
};

// Logs on to the account (the wiring code makes the adapter; core code only calls it).
class MapiLogon {
 public:
  virtual ~MapiLogon() = default;
  virtual StatusOr<std::unique_ptr<MapiSession>> Logon() = 0;
};

// In-memory account for tests. Every session sees the same folders and messages.
class MemoryMapiAccount : public MapiLogon {
 public:
  // Adds an RFC 822 message at the end of a folder given by its path of display names below
  // the top ("Inbox", "Archive/2024"); the folders are created as needed. Returns its entry id.
  virtual StatusOr<EntryId> Deliver(std::string_view folder_path, std::string raw) = 0;
  // Renames a folder behind the sessions' back (its entry ids stop working).
  virtual Status RenameFolder(std::string_view folder_path, std::string_view new_name) = 0;
};
// "top_name" names the top of the personal folders (a different name plays a store whose
// folders cannot be named by path).
std::unique_ptr<MemoryMapiAccount> MakeMemoryMapiAccount(
    std::string top_name = std::string(kTopOfPersonalFolders));

}  // namespace vexmor::platform
