#include "vexmor/addin/waiting_spam.h"

#include <algorithm>

#include "vexmor/addin/folder_paths.h"

namespace vexmor::addin {
namespace {

using platform::RegistryValue;

std::vector<WaitingSpam::Entry> Parse(const platform::Registry& registry) {
  std::vector<WaitingSpam::Entry> entries;
  StatusOr<RegistryValue> value = registry.QueryValue(kWaitingSpamKey, kWaitingSpamValue);
  if (!value.ok() || value->type != RegistryValue::Type::kString) return entries;
  std::string_view text = value->data;
  while (!text.empty()) {
    size_t end = text.find(';');
    std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t colon = item.find(':');
    if (colon == std::string_view::npos) continue;
    std::optional<std::string> source = platform::FBinFromHex(item.substr(0, colon));
    std::optional<std::string> message = platform::FBinFromHex(item.substr(colon + 1));
    // A damaged item is dropped, not guessed at.
    if (!source || !message || source->empty() || message->empty()) continue;
    entries.push_back({std::move(*source), std::move(*message)});
  }
  return entries;
}

}  // namespace

size_t CountWaitingSpam(const platform::Registry& registry) {
  return Parse(registry).size();
}

WaitingSpam::WaitingSpam(platform::Registry& registry)
    : registry_(registry), entries_(Parse(registry)) {}

void WaitingSpam::Add(const std::vector<Entry>& entries) {
  bool changed = false;
  for (const Entry& entry : entries) {
    if (std::find(entries_.begin(), entries_.end(), entry) != entries_.end()) continue;
    entries_.push_back(entry);
    changed = true;
  }
  if (changed) Save();
}

size_t WaitingSpam::MoveWaiting(platform::MapiStore& store) {
  if (entries_.empty()) return 0;
  StatusOr<platform::EntryId> spam = OpenFolderByPath(store, '\\', kSpamPath);
  if (!spam.ok() && CreateSpamFolder(store, false)) spam = OpenFolderByPath(store, '\\', kSpamPath);
  if (!spam.ok()) return 0;
  size_t moved = 0;
  std::vector<Entry> left;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& entry = entries_[i];
    StatusOr<platform::EntryId> result = store.MoveMessage(entry.source, entry.message, *spam);
    if (result.ok()) {
      ++moved;
      continue;
    }
    // A refusal and a message that is gone (moved or deleted by someone else, its folder
    // recreated) may look alike: the folder's listing tells them apart.
    StatusOr<std::vector<platform::EntryId>> listed = store.GetContentsTable(entry.source);
    const bool gone =
        listed.ok() ? std::find(listed->begin(), listed->end(), entry.message) == listed->end()
                    : listed.status().code() == StatusCode::kNotFound;  // the folder is no more
    if (gone) continue;
    // Still refused (or the server is away): this one and the rest wait for the next try.
    left.assign(entries_.begin() + static_cast<std::ptrdiff_t>(i), entries_.end());
    break;
  }
  if (left.size() != entries_.size()) {
    entries_ = std::move(left);
    Save();
  }
  return moved;
}

void WaitingSpam::Save() {
  if (entries_.empty()) {
    (void)registry_.DeleteValue(kWaitingSpamKey, kWaitingSpamValue);
    return;
  }
  std::string text;
  for (const Entry& entry : entries_) {
    if (!text.empty()) text += ';';
    text += platform::HexFromBin(entry.source) + ":" + platform::HexFromBin(entry.message);
  }
  (void)registry_.SetValue(kWaitingSpamKey, kWaitingSpamValue, RegistryValue::String(text));
}

}  // namespace vexmor::addin
