// The file identity of include/vexmor/platform/file_identity.h on the C runtime of Windows. Its
// stat() shows whole seconds and no inode, so a cached copy is trusted on the times only once
// they lie a whole second further back than on Linux; until then its bytes are compared.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/file_identity.h"

namespace vexmor::platform {
namespace {

constexpr std::int64_t kUnseenChangeWindowNs = 3'000'000'000;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

}  // namespace

FileIdentity FileIdentityOf(const struct stat& info) {
  FileIdentity id;
  id.exists = true;
  id.device = info.st_dev;
  id.inode = info.st_ino;
  id.size = info.st_size;
  id.mtime_ns = static_cast<std::int64_t>(info.st_mtime) * kNsPerSecond;
  id.ctime_ns = static_cast<std::int64_t>(info.st_ctime) * kNsPerSecond;
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
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr)) * kNsPerSecond;
  return now - std::max(identity.mtime_ns, identity.ctime_ns) < kUnseenChangeWindowNs;
}

Status ReadToEnd(int fd, std::string* out) {
  out->clear();
  char buffer[65536];
  for (;;) {
    const int n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::IoError(ErrnoText(errno));
    }
    if (n == 0) return Status::Ok();
    out->append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace vexmor::platform
