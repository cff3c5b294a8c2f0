// The log writer on POSIX files: one write() per entry on an O_APPEND descriptor.
#include "vexmor/log/write_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/posix.h"
#include "write_log_internal.h"

namespace vexmor::log {
namespace {

std::mutex& ProcessLock() {
  static std::mutex lock;
  return lock;
}

int OpenForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

// Past the limit the file becomes "<path>.1" (replacing the one before) and a new one begins.
// The size is checked before each append without the lock, so processes appending at the same
// moment may each put one entry past the limit: the bound is the limit plus one entry a writer.
// Several processes append: the rename is done under the file's lock, by the one that still
// finds the full file under its name, so no entry goes into a file already set aside twice.
int RotateIfFull(const std::string& path, int fd, size_t adding) {
  struct stat open_file {};
  if (::fstat(fd, &open_file) != 0 || open_file.st_size == 0 ||
      static_cast<uint64_t>(open_file.st_size) + adding <= internal::Limit().load()) {
    return fd;
  }
  {
    platform::FileLock lock(path);
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && named.st_ino == open_file.st_ino &&
        named.st_dev == open_file.st_dev) {
      (void)::rename(path.c_str(), (path + ".1").c_str());
    }
  }
  ::close(fd);
  return OpenForAppend(path);
}

// The descriptor of the log written last, kept open while its name still leads to it, so an
// entry costs a stat and a write instead of an open and a close as well.
struct KeptLog {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

KeptLog& Kept() {
  static auto* kept = internal::NeverDestroyed(new KeptLog);
  return *kept;
}

// An open descriptor of "path" as it is named now; -1 when it cannot be opened.
int DescriptorFor(const std::string& path) {
  KeptLog& kept = Kept();
  struct stat named {};
  if (kept.fd >= 0 && kept.path == path && ::stat(path.c_str(), &named) == 0 &&
      named.st_dev == kept.device && named.st_ino == kept.inode) {
    return kept.fd;
  }
  if (kept.fd >= 0) ::close(kept.fd);
  kept.fd = OpenForAppend(path);
  kept.path = path;
  struct stat opened {};
  if (kept.fd >= 0 && ::fstat(kept.fd, &opened) == 0) {
    kept.device = opened.st_dev;
    kept.inode = opened.st_ino;
  }
  return kept.fd;
}

// One write() on an O_APPEND descriptor: the kernel places the whole entry at the end of the
// file, so appends of other processes cannot land inside it.
void Append(const std::string& path, std::string_view data) {
  if (path.empty()) return;
  std::lock_guard guard(ProcessLock());
  int fd = DescriptorFor(path);
  if (fd < 0) return;
  int rotated = RotateIfFull(path, fd, data.size());
  bool kept = rotated == fd;
  if (!kept) {
    // The full file was closed and set aside: the next entry finds the new one by its name.
    Kept().fd = -1;
    fd = rotated;
  }
  if (fd < 0) return;
  // A log line that cannot be written is lost, never a reason to stop the caller.
  (void)platform::WriteAll(fd, data);
  if (!kept) ::close(fd);
}

}  // namespace

void AppendEntry(const std::string& path, std::string_view message, const platform::Clock& clock) {
  try {
    std::time_t now = std::chrono::system_clock::to_time_t(clock.Now());
    // localtime_r need not look at TZ again; the stamp must follow the zone in force now. The
    // zone is looked up again once a second of the clock, not for every entry (each lookup
    // reads the zone file's status).
    static std::atomic<std::time_t> zone_read_at{0};
    if (zone_read_at.exchange(now) != now) ::tzset();
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return;
    Append(path, FormatEntry(TimeStamp(local), message));
  } catch (...) {
    // The log never disturbs its caller.
  }
}

void AppendRaw(const std::string& path, std::string_view line) {
  try {
    Append(path, line);
  } catch (...) {
  }
}

void StartNewRun(const std::string& path) {
  try {
    if (path.empty()) return;
    std::lock_guard guard(ProcessLock());
    // Under the file's lock, as the size rotation renames it: no writer of another process
    // sets the same file aside at the same moment.
    platform::FileLock lock(path);
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_size == 0) {
      return;
    }
    (void)::rename(path.c_str(), (path + ".1").c_str());
  } catch (...) {
  }
}

}  // namespace vexmor::log
