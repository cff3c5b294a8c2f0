#include "host_instance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/posix.h"

namespace vexmor::addin_host {

Status HoldHostLock(const std::string& dir) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += ".Vexmor_AddinHost.lock";
  // Never through a link: the lock file is created 0600 in a folder of the user's own.
  platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return platform::ErrnoStatus(path);
  if (platform::RetryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EWOULDBLOCK) {
      return Status::Unavailable("another Vexmor_AddinHost is running on " + dir);
    }
    return platform::ErrnoStatus(path);
  }
  (void)fd.release();
  return Status::Ok();  // the descriptor stays open until the process ends
}

bool EndWithParent(pid_t parent) {
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) return false;
  // The parent may have died before the request took effect.
  return ::getppid() == parent;
}

Status CheckReadyFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? Status::Ok() : platform::ErrnoStatus(path);
  }
  if (!S_ISREG(st.st_mode)) {
    return Status::InvalidArgument("refusing the ready file " + path +
                                   ": not a regular file (a symbolic link?)");
  }
  return Status::Ok();
}

Status WriteReadyFile(const std::string& path, pid_t pid) {
  if (Status checked = CheckReadyFile(path); !checked.ok()) return checked;
  return platform::ReplaceFileAtomically(path, std::to_string(pid) + "\n");
}

}  // namespace vexmor::addin_host
