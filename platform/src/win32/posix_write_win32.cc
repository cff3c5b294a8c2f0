// WriteAll of include/vexmor/platform/posix.h on the C runtime of Windows, whose descriptors are
// files and pipes that block: no readiness wait is needed.
#include <io.h>

#include <cerrno>

#include "vexmor/platform/posix.h"

namespace vexmor::platform {

Status WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const int n = ::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return ErrnoStatus("write");
  }
  return Status::Ok();
}

}  // namespace vexmor::platform
