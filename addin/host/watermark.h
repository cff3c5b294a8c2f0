// Where the host stands in each folder it hands on: the last UID handed on, kept in the
// registry across runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "addin_host.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"

namespace vexmor::addin_host {

// The last UID handed on from a folder, kept across runs; a new UIDVALIDITY starts afresh.
class Watermark {
 public:
  Watermark(platform::Registry& registry, std::string folder)
      : registry_(registry), folder_(std::move(folder)) {}

  // The messages of the folder newer than the mark, oldest first. The first look at a folder
  // only sets the mark: mail that was there before the host ever ran is not new. When the
  // server renumbered the folder (a new UIDVALIDITY), the old mark says nothing any more: with
  // "unread_after_renumbering" the unread messages are new then (mail delivered meanwhile has
  // not been read), otherwise only the mark is set again.
  std::vector<platform::EntryId> NewMessages(platform::MapiStore& store,
                                             const platform::EntryId& folder_id,
                                             bool unread_after_renumbering = false) {
    std::vector<platform::EntryId> fresh;
    std::optional<platform::EntryIdParts> folder = platform::UnpackEntryId(folder_id);
    StatusOr<std::vector<platform::EntryId>> messages = store.GetContentsTable(folder_id);
    if (!folder || !messages.ok()) return fresh;
    std::optional<uint32_t> validity = Read("UIDVALIDITY");
    std::optional<uint32_t> last = Read("Last UID");
    uint32_t highest = 0;
    for (const platform::EntryId& message : *messages) {
      std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
      if (!parts) continue;
      highest = std::max(highest, parts->uid);
      if (validity && last && *validity == parts->uidvalidity && parts->uid > *last) {
        fresh.push_back(message);
      }
    }
    const bool renumbered = validity && last && *validity != folder->uidvalidity;
    if (renumbered && unread_after_renumbering) {
      // The old mark stays until the unread messages are handled (Handled() writes the new
      // one), so a host stopped meanwhile looks at them again.
      StatusOr<std::vector<platform::EntryId>> unread = store.GetUnreadContents(folder_id);
      if (!unread.ok()) return fresh;
      if (!unread->empty()) {
        caught_up_at_ = unread->back();
        caught_up_uid_ = highest;
        return *unread;
      }
    }
    if (!validity || !last || *validity != folder->uidvalidity) {
      Write("UIDVALIDITY", folder->uidvalidity);
      Write("Last UID", highest);
    }
    return fresh;
  }

  // Sets the mark at the folder's newest message if the folder has none yet, and leaves a kept
  // mark alone: what arrives after this is new.
  void Prime(platform::MapiStore& store, const platform::EntryId& folder_id) {
    std::optional<platform::EntryIdParts> folder = platform::UnpackEntryId(folder_id);
    if (!folder) return;
    // A kept mark of a since renumbered folder is left to NewMessages, which knows what is new.
    if (Read("UIDVALIDITY") && Read("Last UID")) return;
    (void)NewMessages(store, folder_id);
  }

  void Handled(const platform::EntryId& message) {
    std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
    if (!parts) return;
    // Each write replaces the registry file whole: the UIDVALIDITY is written only when it
    // changed, which after the first run it hardly ever does.
    if (Read("UIDVALIDITY") != parts->uidvalidity) Write("UIDVALIDITY", parts->uidvalidity);
    // The last unread message of a renumbered folder handled: what was read there is old.
    Write("Last UID", message == caught_up_at_ ? std::max(parts->uid, caught_up_uid_) : parts->uid);
    if (message == caught_up_at_) caught_up_at_.clear();
  }

 private:
  std::optional<uint32_t> Read(const std::string& what) const {
    StatusOr<platform::RegistryValue> value =
        registry_.QueryValue(kHostStateKey, folder_ + " " + what);
    if (!value.ok() || value->type != platform::RegistryValue::Type::kDword) return std::nullopt;
    return value->dword;
  }
  void Write(const std::string& what, uint32_t value) {
    (void)registry_.SetValue(kHostStateKey, folder_ + " " + what,
                             platform::RegistryValue::Dword(value));
  }

  platform::Registry& registry_;
  std::string folder_;
  platform::EntryId caught_up_at_;  // the last unread message of a renumbered folder
  uint32_t caught_up_uid_ = 0;
};

}  // namespace vexmor::addin_host
