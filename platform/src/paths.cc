#include "vexmor/platform/paths.h"

namespace vexmor::platform {

std::string WithTrailingSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (!dir.empty() && dir != "/") dir += '/';
  return dir;
}

}  // namespace vexmor::platform
