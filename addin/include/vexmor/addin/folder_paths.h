// Folders of the account store named by paths of display names, and the mover that takes the
// designated message to "Spam", "Spam_Posted" or back to the Inbox.
//
// A path is a list of display names joined by a separator (a backslash in the add-in). Its first
// component may be a well-known folder name: "@" followed by the name of the store property
// that holds the folder's entry id ("@PR_IPM_SUBTREE_ENTRYID" is the top of the personal
// folders). Components match child folders' 8-bit display names without regard to letter case;
// the first match wins.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::addin {

inline constexpr std::string_view kSubtreeName = "@PR_IPM_SUBTREE_ENTRYID";
inline constexpr std::string_view kInboxWellKnownName = "@PR_IPM_INBOX_ENTRYID";
inline constexpr std::string_view kSpamPath = "@PR_IPM_SUBTREE_ENTRYID\\Spam";
inline constexpr std::string_view kSpamPostedPath = "@PR_IPM_SUBTREE_ENTRYID\\Spam_Posted";
inline constexpr std::string_view kInboxPath = "@PR_IPM_SUBTREE_ENTRYID\\Inbox";
inline constexpr std::string_view kSentItemsPath = "@PR_IPM_SUBTREE_ENTRYID\\Sent Items";

inline constexpr std::string_view kSpamFolderName = "Spam";
inline constexpr std::string_view kSpamPostedFolderName = "Spam_Posted";
inline constexpr std::string_view kSpamComment = "Personal Folder Spam Messages";
inline constexpr std::string_view kSpamPostedComment = "Incoming Spam Messages";

// The 22 well-known names, in the order of platform::WellKnownFolder.
extern const std::array<std::string_view, 22> kWellKnownFolderNames;
// The folder a well-known name stands for (compared without regard to case); nullopt for a
// name that is not in the table ("@PR_IPM_INBOX_ENTRYID" included: it is the receive folder).
std::optional<platform::WellKnownFolder> WellKnownFolderOf(std::string_view name);

// The path of a folder: its parents' path, a backslash and its display name, the top of the
// personal folders written "@PR_IPM_SUBTREE_ENTRYID"; a root folder's path is its display name.
// Fails when the entry is not a folder or its properties cannot be read.
StatusOr<std::string> FolderPathOf(platform::MapiStore& store, const platform::EntryId& folder);

// The folder a path names. A leading "@" name not in the table counts as an ordinary display
// name from the store's root; a well-known folder the store does not hold fails the call.
StatusOr<platform::EntryId> OpenFolderByPath(platform::MapiStore& store, char separator,
                                             std::string_view path);

// The entry id of the session's default message store; NotFound when none is marked default.
StatusOr<platform::EntryId> FindDefaultStore(platform::MapiSession& session);

// Creates "Spam_Posted" (reported) or "Spam" below the top of the personal folders, with its
// comment; true when the folder was created or existed already.
bool CreateSpamFolder(platform::MapiStore& store, bool reported);

}  // namespace vexmor::addin
