// The part of the POSIX seam that the C runtime of Windows offers too: errors as Status and the
// descriptor owner.
#include <unistd.h>

#include <cstring>

#include "vexmor/platform/posix.h"

namespace vexmor::platform {

Status ErrnoStatus(std::string_view what, int error) {
  std::string message(what);
  message += ": ";
  message += std::strerror(error);
  if (error == ENOENT) return Status::NotFound(std::move(message));
  return Status::IoError(std::move(message));
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace vexmor::platform
