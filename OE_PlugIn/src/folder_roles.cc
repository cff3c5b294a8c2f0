#include "folder_roles.h"

#include <array>

#include "plugin_host.h"

namespace vexmor::plugin {

FolderRole RoleOfFolder(const platform::FolderInfo& folder) {
  using namespace platform;
  if (folder.id == kSentItemsFolderId) return FolderRole::kSent;
  if (folder.id == kInboxFolderId || folder.id == kOutboxFolderId || folder.id == kDraftsFolderId ||
      folder.id == kDeletedItemsFolderId) {
    return FolderRole::kOther;
  }
  const std::string_view name = folder.name;
  // These four are never incoming mail, wherever they are.
  if (name == kSpamFolderName || name == kSpamPostedFolderName || name == kInboxName ||
      name == kDeletedItemsName) {
    return FolderRole::kOther;
  }
  if (folder.parent != kLocalFoldersId) return FolderRole::kIncoming;
  static constexpr std::array<std::string_view, 3> kSentNames = {kSentItemsName, "Sent",
                                                                 "Sent Messages"};
  static constexpr std::array<std::string_view, 4> kOtherNames = {kOutboxName, kDraftsName, "Trash",
                                                                  "Deleted Messages"};
  for (std::string_view sent : kSentNames) {
    if (name == sent) return FolderRole::kSent;
  }
  for (std::string_view other : kOtherNames) {
    if (name == other) return FolderRole::kOther;
  }
  return FolderRole::kIncoming;
}

}  // namespace vexmor::plugin
