// Maildir file names: unique names for new files, the flags after ":2,", and renames that
// never replace a file a reader or fetcher put there.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "maildir_internal.h"

namespace vexmor::platform::maildir {

// Renames without replacing an existing target. Returns 0 or an errno value.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  if (error != EINVAL && error != ENOSYS) return error;
  // File systems without the flag: a hard link cannot replace anything either.
  if (::link(from.c_str(), to.c_str()) != 0) {
    error = errno;
    if (error != EPERM && error != EXDEV) return error;
    // Directories (and file systems without links): check, then rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  ::unlink(from.c_str());
  return 0;
}

// A fresh unique Maildir file name part, as deliveries make them.
std::string UniqueBase() {
  static std::atomic<uint64_t> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count() % 1000000;
  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  std::string clean;
  for (const char* p = host; *p; ++p) {
    if (*p == '/') {
      clean += "\\057";
    } else if (*p == ':') {
      clean += "\\072";
    } else {
      clean += *p;
    }
  }
  return std::to_string(secs) + ".M" + std::to_string(usec) + "P" + std::to_string(::getpid()) +
         "Q" + std::to_string(++counter) + "." + clean;
}

// The parts of a Maildir file name: the stable base and the flags after ":2,".
NameParts SplitName(std::string_view name) {
  size_t colon = name.find(':');
  if (colon == std::string_view::npos) return {std::string(name), {}};
  NameParts parts{std::string(name.substr(0, colon)), {}};
  std::string_view info = name.substr(colon + 1);
  if (info.size() >= 2 && info[0] == '2' && info[1] == ',') parts.flags = info.substr(2);
  return parts;
}

std::string WithFlag(std::string flags, char flag, bool on) {
  flags.erase(std::remove(flags.begin(), flags.end(), flag), flags.end());
  if (on) flags.push_back(flag);
  std::sort(flags.begin(), flags.end());
  return flags;
}

}  // namespace vexmor::platform::maildir
