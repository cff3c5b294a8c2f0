#include "vexmor/platform/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vexmor::platform {
namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::IoError(ErrnoText(errno));
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return Status::Ok();
}

// The first offset from "from" on where "a" and "b" differ within a's length (a.size() when
// none). Equal blocks are skipped with memcmp: a journal of 64 KB gains one line at a time.
size_t FirstDifference(std::string_view a, std::string_view b, size_t from) {
  constexpr size_t kBlock = 256;
  size_t at = from;
  while (at + kBlock <= a.size() && std::memcmp(a.data() + at, b.data() + at, kBlock) == 0) {
    at += kBlock;
  }
  while (at < a.size() && a[at] == b[at]) ++at;
  return at;
}

}  // namespace

std::string ErrnoText(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in the buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return text;
}

Status SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::IoError("cannot open " + dir + ": " + ErrnoText(errno));
  int rc = ::fsync(fd);
  int error = errno;
  ::close(fd);
  return rc == 0 ? Status::Ok() : Status::IoError("cannot sync " + dir + ": " + ErrnoText(error));
}

std::string LockFilePath(const std::string& path) {
  std::string dir = DirectoryOf(path);
  return (dir == "/" ? std::string() : dir) + "/." + BaseName(path) + ".lock";
}

FileLock::FileLock(const std::string& path) {
  std::string lock_path = LockFilePath(path);
  fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    status_ = Status::IoError("cannot open lock file " + lock_path + ": " + ErrnoText(errno));
    return;
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    status_ = Status::IoError("cannot lock " + lock_path + ": " + ErrnoText(errno));
    ::close(fd_);
    fd_ = -1;
    return;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

Status ReplaceFileAtomically(const std::string& path, std::string_view contents) {
  // The product's files hold addresses and verdicts: nobody else reads them.
  mode_t mode = 0600;
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode)) {
      return Status::InvalidArgument("refusing to replace " + path +
                                     ": not a regular file (a link or a device?)");
    }
    mode = existing.st_mode & 07777;
  }
  std::string pattern = DirectoryOf(path) + "/." + BaseName(path) + ".XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0)
    return Status::IoError("cannot create a file beside " + path + ": " + ErrnoText(errno));
  Status written = WriteAll(fd, contents);
  if (written.ok() && ::fchmod(fd, mode) != 0) written = Status::IoError(ErrnoText(errno));
  if (::close(fd) != 0 && written.ok()) written = Status::IoError(ErrnoText(errno));
  if (written.ok() && ::rename(temp.data(), path.c_str()) != 0) {
    written = Status::IoError("cannot replace " + path + ": " + ErrnoText(errno));
  }
  if (!written.ok()) {
    ::unlink(temp.data());
    return Status::IoError("writing " + path + " failed: " + written.message());
  }
  return Status::Ok();
}

bool FindChangedStretches(std::string_view old, std::string_view updated, size_t most,
                          std::vector<ChangedStretch>* stretches) {
  stretches->clear();
  for (size_t at = 0; at < old.size();) {
    size_t begin = FirstDifference(old, updated, at);
    if (begin == old.size()) break;
    size_t end = begin + 1;
    while (end < old.size() && old[end] != updated[end]) ++end;
    if (stretches->size() == most) return false;
    stretches->push_back(
        {begin, old.substr(begin, end - begin), updated.substr(begin, end - begin)});
    at = end;
  }
  return true;
}

bool PatchFileInPlace(const std::string& path, std::string_view old, std::string_view updated,
                      bool readers_lock, Status* status) {
  constexpr size_t kPage = 4096;
  // More stretches than this are cheaper as one new file.
  constexpr size_t kMostStretches = 8;
  if (old.empty() || updated.size() < old.size()) return false;
  std::string_view tail = updated.substr(old.size());
  if (!readers_lock && !tail.empty() && old.size() / kPage != (updated.size() - 1) / kPage) {
    return false;
  }
  std::vector<ChangedStretch> stretches;
  if (!FindChangedStretches(old, updated, kMostStretches, &stretches)) return false;
  if (stretches.empty() && tail.empty()) return false;  // nothing to write
  // Without the readers' lock: one byte, or an added tail, but not both (a reader could see
  // the changed byte before the tail).
  if (!readers_lock && (stretches.size() > 1 || (!stretches.empty() && !tail.empty()) ||
                        (stretches.size() == 1 && stretches[0].after.size() != 1))) {
    return false;
  }
  return WriteStretchesInPlace(path, old.size(), stretches, tail, status);
}

bool WriteStretchesInPlace(const std::string& path, size_t old_size,
                           const std::vector<ChangedStretch>& stretches, std::string_view tail,
                           Status* status) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size != static_cast<off_t>(old_size)) {
    ::close(fd);
    return false;
  }
  *status = Status::Ok();
  auto write_at = [&](std::string_view bytes, size_t offset) {
    ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    *status = Status::IoError("cannot write " + path + ": " + ErrnoText(n < 0 ? errno : ENOSPC));
    return false;
  };
  bool written = tail.empty() || write_at(tail, old_size);
  for (const ChangedStretch& stretch : stretches) {
    if (!written) break;
    written = write_at(stretch.after, stretch.at);
  }
  if (!written) {
    // Put back what was written: a part of the edit must not stay.
    for (const ChangedStretch& stretch : stretches) {
      (void)::pwrite(fd, stretch.before.data(), stretch.before.size(),
                     static_cast<off_t>(stretch.at));
    }
    (void)::ftruncate(fd, static_cast<off_t>(old_size));
  }
  if (::close(fd) != 0 && status->ok()) *status = Status::IoError(ErrnoText(errno));
  return true;
}

Status OverwriteFileInPlace(const std::string& path, std::string_view contents) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return Status::IoError("cannot open " + path + ": " + ErrnoText(errno));
  struct stat info {};
  Status written;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    written = Status::InvalidArgument("refusing to write " + path + ": not a regular file");
  } else if ((info.st_mode & 077) != 0 && ::fchmod(fd, info.st_mode & 07700) != 0) {
    // What is rewritten in place is the product's scratch: an older copy open to others is
    // closed before it gets the next message's text.
    written = Status::IoError("cannot restrict " + path + ": " + ErrnoText(errno));
  } else {
    // Written over the old bytes, then cut to length: blocks the file keeps are not freed and
    // allocated again for every new text.
    written = WriteAll(fd, contents);
    if (written.ok() && ::ftruncate(fd, static_cast<off_t>(contents.size())) != 0) {
      written = Status::IoError("cannot truncate " + path + ": " + ErrnoText(errno));
    }
  }
  if (::close(fd) != 0 && written.ok()) written = Status::IoError(ErrnoText(errno));
  return written;
}

StatusOr<std::string> ReadWholeFile(const std::string& path) {
  // Non-blocking open: a FIFO without a writer would otherwise hold the caller forever. Only
  // regular files are read; a directory or a device gets a clear answer instead.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) return Status::NotFound(path + " does not exist");
    return Status::IoError("cannot open " + path + ": " + ErrnoText(error));
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    bool directory = S_ISDIR(info.st_mode);
    ::close(fd);
    return Status::IoError("cannot read " + path + ": " +
                           (directory ? "it is a directory" : "it is not a regular file"));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      return Status::IoError("cannot read " + path + ": " + ErrnoText(error));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

Status MakeDirectories(const std::string& path) {
  if (path.empty()) return Status::Ok();
  struct stat existing {};
  // The common case, a directory that is there already, costs one stat.
  if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return Status::Ok();
  std::string current;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    current = path.substr(0, slash);
    start = slash + 1;
    if (current.empty()) continue;
    if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) {
      return Status::IoError("cannot create directory " + current + ": " + ErrnoText(errno));
    }
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Status::IoError(path + " is not a directory");
  }
  return Status::Ok();
}

}  // namespace vexmor::platform
