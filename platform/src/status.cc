#include "vexmor/platform/status.h"

namespace vexmor {

std::string Status::ToString() const {
  static constexpr const char* kNames[] = {
      "OK",      "Not found",   "Invalid argument", "I/O error",
      "Corrupt", "Unavailable", "Internal error"};
  std::string text = kNames[static_cast<int>(code_)];
  if (!message_.empty()) text += ": " + message_;
  return text;
}

}  // namespace vexmor
