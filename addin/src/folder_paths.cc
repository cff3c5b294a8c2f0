#include "vexmor/addin/folder_paths.h"
#include "vexmor/platform/ascii.h"

#include <algorithm>
#include <cctype>

namespace vexmor::addin {

using platform::EntryId;
using platform::FolderType;
using platform::MapiStore;
using platform::ObjectType;

const std::array<std::string_view, 22> kWellKnownFolderNames = {
    "@PR_IPM_SUBTREE_ENTRYID",
    "@PR_IPM_OUTBOX_ENTRYID",
    "@PR_IPM_WASTEBASKET_ENTRYID",
    "@PR_IPM_SENTMAIL_ENTRYID",
    "@PR_IPM_PUBLIC_FOLDERS_ENTRYID",
    "@PR_IPM_FAVORITES_ENTRYID",
    "@PR_NON_IPM_SUBTREE_ENTRYID",
    "@PR_GW_MTSIN_ENTRYID",
    "@PR_GW_MTSOUT_ENTRYID",
    "@PR_VIEWS_ENTRYID",
    "@PR_DEFAULT_VIEW_ENTRYID",
    "@PR_COMMON_VIEWS_ENTRYID",
    "@PR_FINDER_ENTRYID",
    "@PR_HEADER_FOLDER_ENTRYID",
    "@PR_SCHEDULE_FOLDER_ENTRYID",
    "@PR_IPM_DAF_ENTRYID",
    "@PR_EFORMS_REGISTRY_ENTRYID",
    "@PR_SPLUS_FREE_BUSY_ENTRYID",
    "@PR_OFFLINE_ADDRBOOK_ENTRYID",
    "@PR_EFORMS_FOR_LOCALE_ENTRYID",
    "@PR_FREE_BUSY_FOR_LOCAL_SITE_ENTRYID",
    "@PR_ADDRBOOK_FOR_LOCAL_SITE_ENTRYID",
};

namespace {

// Deeper than any real folder tree; stops a store whose parent links loop.
constexpr int kMaxDepth = 256;

StatusOr<std::string> PathOf(MapiStore& store, const EntryId& folder, int depth) {
  if (depth > kMaxDepth) return Status::Corrupt("the folder tree loops");
  StatusOr<ObjectType> type = store.ObjectTypeOf(folder);
  if (!type.ok()) return type.status();
  if (*type != ObjectType::kFolder) return Status::InvalidArgument("the entry is not a folder");
  StatusOr<platform::FolderProps> props = store.GetFolderProps(folder);
  if (!props.ok()) return props.status();
  std::string name = platform::Ansi(props->display_name);
  if (props->type == FolderType::kRoot) return name;
  StatusOr<std::string> parent = PathOf(store, props->parent_entry_id, depth + 1);
  if (!parent.ok()) return parent.status();
  std::string path = std::move(parent).value();
  if (path == platform::kTopOfPersonalFolders) path = std::string(kSubtreeName);
  if (!path.empty()) path += '\\';
  return path + name;
}

Status CheckFolder(MapiStore& store, const EntryId& entry) {
  StatusOr<ObjectType> type = store.ObjectTypeOf(entry);
  if (!type.ok()) return type.status();
  if (*type != ObjectType::kFolder) return Status::InvalidArgument("the entry is not a folder");
  return Status::Ok();
}

}  // namespace

std::optional<platform::WellKnownFolder> WellKnownFolderOf(std::string_view name) {
  for (size_t i = 0; i < kWellKnownFolderNames.size(); ++i) {
    if (platform::AsciiEqualsIgnoreCase(name, kWellKnownFolderNames[i])) {
      return static_cast<platform::WellKnownFolder>(i);
    }
  }
  return std::nullopt;
}

StatusOr<std::string> FolderPathOf(MapiStore& store, const EntryId& folder) {
  return PathOf(store, folder, 0);
}

StatusOr<EntryId> OpenFolderByPath(MapiStore& store, char separator, std::string_view path) {
  size_t at = path.find_first_not_of(separator);
  path = at == std::string_view::npos ? std::string_view() : path.substr(at);

  auto next_component = [&](std::string_view& rest) {
    size_t end = rest.find(separator);
    std::string_view component = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return component;
  };

  EntryId current = store.RootFolder();
  std::string_view rest = path;
  if (!path.empty() && path[0] == '@') {
    std::string_view after = path;
    std::string_view first = next_component(after);
    std::optional<EntryId> start;
    if (platform::AsciiEqualsIgnoreCase(first, kInboxWellKnownName)) {
      StatusOr<EntryId> inbox = store.GetReceiveFolder();
      if (inbox.ok()) {
        start = std::move(inbox).value();
      } else if (inbox.status().code() != StatusCode::kNotFound) {
        return inbox.status();
      }
    } else if (std::optional<platform::WellKnownFolder> known = WellKnownFolderOf(first)) {
      StatusOr<EntryId> folder = store.GetWellKnownFolder(*known);
      if (!folder.ok()) return folder.status();
      start = std::move(folder).value();
    }
    if (start) {
      current = std::move(*start);
      rest = after;
    }
  }
  if (Status ok = CheckFolder(store, current); !ok.ok()) return ok;

  while (!rest.empty()) {
    std::string_view component = next_component(rest);
    StatusOr<std::vector<platform::FolderProps>> rows = store.GetHierarchyTable(current);
    if (!rows.ok()) return rows.status();
    auto match = std::find_if(rows->begin(), rows->end(), [&](const platform::FolderProps& row) {
      return platform::AsciiEqualsIgnoreCase(platform::Ansi(row.display_name), component);
    });
    if (match == rows->end()) {
      return Status::NotFound("no folder \"" + std::string(component) + "\" on the path");
    }
    current = match->entry_id;
    if (Status ok = CheckFolder(store, current); !ok.ok()) return ok;
  }
  return current;
}

StatusOr<EntryId> FindDefaultStore(platform::MapiSession& session) {
  StatusOr<std::vector<platform::StoreRow>> rows = session.GetMsgStoresTable();
  if (!rows.ok()) return rows.status();
  for (const platform::StoreRow& row : *rows) {
    if (row.default_store) return row.entry_id;
  }
  return Status::NotFound("the session has no default message store");
}

bool CreateSpamFolder(MapiStore& store, bool reported) {
  StatusOr<EntryId> top = OpenFolderByPath(store, '\\', kSubtreeName);
  if (!top.ok()) return false;
  StatusOr<EntryId> made =
      store.CreateFolder(*top, reported ? kSpamPostedFolderName : kSpamFolderName,
                         reported ? kSpamPostedComment : kSpamComment, /*open_if_exists=*/true);
  return made.ok();
}

}  // namespace vexmor::addin
