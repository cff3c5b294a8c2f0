#include "new_mail.h"

#include <algorithm>

namespace vexmor::plugin {

StatusOr<std::vector<platform::FolderInfo>> NewMailScanner::AllFolders() {
  std::vector<platform::FolderInfo> out;
  std::vector<FolderId> pending = {platform::kRootFolderId};
  while (!pending.empty()) {
    FolderId parent = pending.back();
    pending.pop_back();
    auto children = store_.ListSubfolders(parent);
    if (!children.ok()) return children.status();
    // Depth first in the store's order: push in reverse so the first child comes out first.
    for (auto it = children->rbegin(); it != children->rend(); ++it) pending.push_back(it->id);
    for (const auto& child : *children) out.push_back(child);
  }
  return out;
}

Status NewMailScanner::Prime() {
  auto folders = AllFolders();
  if (!folders.ok()) return folders.status();
  for (const auto& folder : *folders) {
    auto messages = store_.ListMessages(folder.id);
    if (!messages.ok()) continue;  // an unreadable folder gets looked at when it changes
    marks_[folder.id] = messages->empty() ? 0 : messages->back().id;
    epochs_[folder.id] = store_.IdEpoch(folder.id);
    auto& listed = listed_[folder.id];
    listed.clear();
    for (const auto& message : *messages) listed.push_back(message.id);
  }
  return Status::Ok();
}

StatusOr<std::vector<MessageId>> NewMailScanner::TakeNew(FolderId folder, bool* renumbered) {
  auto messages = store_.ListMessages(folder);
  if (!messages.ok()) return messages.status();
  MessageId& mark = marks_[folder];
  auto before = listed_.find(folder);
  const uint64_t epoch = store_.IdEpoch(folder);
  auto known_epoch = epochs_.find(folder);
  bool fresh_numbers = known_epoch != epochs_.end() && known_epoch->second != epoch;
  epochs_[folder] = epoch;
  std::vector<MessageId> now;
  now.reserve(messages->size());
  std::vector<MessageId> fresh;
  for (const auto& message : *messages) {
    now.push_back(message.id);
    if (message.id > mark) {
      fresh.push_back(message.id);
    } else if (before != listed_.end() &&
               !std::binary_search(before->second.begin(), before->second.end(), message.id)) {
      fresh_numbers = true;
    }
  }
  listed_[folder] = std::move(now);
  if (renumbered != nullptr) *renumbered = fresh_numbers;
  if (fresh_numbers && renumbered != nullptr) return std::vector<MessageId>();
  if (!fresh.empty()) mark = fresh.back();
  return fresh;
}

std::optional<MessageId> NewMailScanner::Mark(FolderId folder) const {
  auto it = marks_.find(folder);
  if (it == marks_.end()) return std::nullopt;
  return it->second;
}

}  // namespace vexmor::plugin
