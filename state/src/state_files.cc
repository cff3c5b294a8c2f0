#include "vexmor/state/state_files.h"

namespace vexmor::state {

std::string InfoKey(int64_t n) {
  return "Info_" + std::to_string(n);
}
std::string FolderIndexKey(int64_t i) {
  return "FolderIndex_" + std::to_string(i);
}
std::string MessageIndexKey(int64_t i) {
  return "MessageIndex_" + std::to_string(i);
}

}  // namespace vexmor::state
