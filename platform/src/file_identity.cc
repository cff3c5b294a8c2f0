#include "vexmor/platform/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/posix.h"

namespace vexmor::platform {
namespace {

constexpr std::int64_t kUnseenChangeWindowNs = 2'000'000'000;

std::int64_t Nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

FileIdentity FileIdentityOf(const struct stat& info) {
  FileIdentity id;
  id.exists = true;
  id.device = info.st_dev;
  id.inode = info.st_ino;
  id.size = info.st_size;
  id.mtime_ns = Nanoseconds(info.st_mtim);
  id.ctime_ns = Nanoseconds(info.st_ctim);
  return id;
}

FileIdentity FileIdentityOfPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return FileIdentityOf(info);
}

FileIdentity FileIdentityOfFd(int fd) {
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return {};
  return FileIdentityOf(info);
}

bool MayChangeUnseen(const FileIdentity& identity) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now) - std::max(identity.mtime_ns, identity.ctime_ns) < kUnseenChangeWindowNs;
}

Status ReadToEnd(int fd, std::string* out) {
  out->clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      return Status::IoError(ErrnoText(errno));
    }
    if (n == 0) return Status::Ok();
    out->append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace vexmor::platform
