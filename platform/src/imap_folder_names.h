// How the server's mailboxes show in the folder tree: their parents, display names (the Inbox,
// the special-use folders under their familiar names, the rest decoded from modified UTF-7),
// and which mailbox stands for a well-known folder.
#pragma once

#include <string>
#include <vector>

#include "imap_connection.h"

namespace vexmor::platform::imap {

// The parent as the server names it ("" for a top-level mailbox).
std::string ServerParent(const ListedMailbox& box);
// The parent as the folder tree shows it: the folders of a personal namespace with a prefix
// ("INBOX.Spam") hang directly below the top, beside the Inbox.
std::string ParentName(const ListedMailbox& box, const std::string& personal_prefix);
// The namespace's own folder is no folder of the user's (unless it is the Inbox).
bool IsNamespaceFolder(const ListedMailbox& box, const std::string& personal_prefix);
std::string DisplayName(const ListedMailbox& box, const std::string& personal_prefix);

// The mailbox that stands for a well-known folder (by its special use, else by a familiar
// name); nullptr when the account holds none or the folder is not one the server can hold.
const ListedMailbox* WellKnownMailbox(const std::vector<ListedMailbox>& boxes,
                                      WellKnownFolder which);

}  // namespace vexmor::platform::imap
