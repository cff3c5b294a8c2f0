#include "imap_folder_names.h"

#include <string_view>

#include "imap_utf7.h"

namespace vexmor::platform::imap {

std::string ServerParent(const ListedMailbox& box) {
  if (box.delimiter == 0) return {};
  size_t at = box.name.rfind(box.delimiter);
  return at == std::string::npos ? std::string() : box.name.substr(0, at);
}

std::string ParentName(const ListedMailbox& box, const std::string& personal_prefix) {
  std::string parent = ServerParent(box);
  if (!personal_prefix.empty() && !parent.empty() && parent + box.delimiter == personal_prefix) {
    return {};
  }
  return parent;
}

bool IsNamespaceFolder(const ListedMailbox& box, const std::string& personal_prefix) {
  return box.name != kInbox && !personal_prefix.empty() &&
         box.name + box.delimiter == personal_prefix;
}

std::string DisplayName(const ListedMailbox& box, const std::string& personal_prefix) {
  if (box.name == kInbox) return "Inbox";
  std::string server_parent = ServerParent(box);
  std::string parent = ParentName(box, personal_prefix);
  std::string leaf = server_parent.empty() ? box.name : box.name.substr(server_parent.size() + 1);
  if (parent.empty() && box.special_use == "Sent") return "Sent Items";
  if (parent.empty() && box.special_use == "Trash") return "Deleted Items";
  return MailboxToUtf8(leaf);
}

const ListedMailbox* WellKnownMailbox(const std::vector<ListedMailbox>& boxes,
                                      WellKnownFolder which) {
  std::string_view special;
  std::vector<std::string_view> names;
  if (which == WellKnownFolder::kIpmSentmail) {
    special = "Sent";
    names = {"Sent Items", "Sent", "Sent Messages"};
  } else if (which == WellKnownFolder::kIpmWastebasket) {
    special = "Trash";
    names = {"Deleted Items", "Trash", "Deleted Messages"};
  } else if (which == WellKnownFolder::kIpmOutbox) {
    names = {"Outbox"};
  } else {
    return nullptr;
  }
  const ListedMailbox* pick = nullptr;
  for (const auto& box : boxes) {
    if (!special.empty() && box.special_use == special) pick = &box;
  }
  for (std::string_view name : names) {
    for (const auto& box : boxes) {
      if (pick == nullptr && box.name == name) pick = &box;
    }
  }
  return pick;
}

}  // namespace vexmor::platform::imap
