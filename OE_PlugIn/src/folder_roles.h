// What a folder of the local store is for, as far as new mail in it goes. Readers name their
// special folders differently (neomutt and Dovecot "Sent" and "Trash", others "Sent Messages",
// "Deleted Messages"): the store maps one of each to the fixed folder, and a second one of
// those names beside it is still not a folder of incoming mail.
#pragma once

#include <string_view>

#include "vexmor/platform/mail_store.h"

namespace vexmor::plugin {

enum class FolderRole {
  kIncoming,  // mail that lands here was delivered to the user: it is judged
  kSent,      // the user's sent mail: its recipients are people the user writes to
  kOther,     // Inbox (judged on its own road), Outbox, Drafts, Trash, Spam, Spam_Posted
};

// The role of a folder by its id, name and parent.
FolderRole RoleOfFolder(const platform::FolderInfo& folder);

}  // namespace vexmor::plugin
