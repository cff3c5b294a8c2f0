// Re-enables the product's add-in after the account client disabled it.
#include "recovery.h"

namespace vexmor::recovery {
namespace {

void Tell(platform::MessageBoxes& boxes, const char* text) {
  platform::MessageBoxRequest request;
  request.text = text;
  request.caption = "Vexmor";
  request.buttons = platform::MessageBoxButtons::kOk;
  request.icon = platform::MessageBoxIcon::kInformation;
  (void)boxes.Show(request);
}

}  // namespace

std::string MatchText(std::string_view data) {
  std::string text;
  text.reserve(data.size());
  for (char c : data) {
    if (c == 0 || c == 1 || c == 24) continue;
    text.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return text;
}

RecoveryResult Recover(platform::Registry& registry, platform::MessageBoxes& boxes) {
  RecoveryResult result;
  Tell(boxes, kStartText);
  for (std::string_view key : kDisabledItemsKeys) {
    if (registry.KeyExists(key)) {
      result.key = std::string(key);
      break;
    }
  }
  if (!result.key.empty()) {
    for (size_t index = 0;;) {
      // The values are taken afresh at every step: a deletion moves the later ones up.
      auto names = registry.EnumerateValues(result.key);
      if (!names.ok() || index >= names->size()) break;
      const std::string name = (*names)[index];
      auto value = registry.QueryValue(result.key, name);
      if (!value.ok()) break;
      if (MatchText(value->data).find("vexmor") != std::string::npos &&
          registry.DeleteValue(result.key, name).ok()) {
        ++result.deleted;
        continue;  // the next value now stands at this index
      }
      ++index;
    }
  }
  Tell(boxes, result.deleted > 0 ? kEnabledText : kNothingText);
  return result;
}

}  // namespace vexmor::recovery
