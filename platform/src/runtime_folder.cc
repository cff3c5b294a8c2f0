#include "vexmor/platform/runtime_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vexmor::platform {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// An absolute path from the environment, or empty (relative values are ignored, as the base
// directory convention asks).
std::string AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string CacheFolder() {
  if (std::string cache = AbsoluteFromEnvironment("XDG_CACHE_HOME"); !cache.empty()) return cache;
  std::string home = AbsoluteFromEnvironment("HOME");
  if (home.empty()) {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_dir) {
      home = entry->pw_dir;
    }
  }
  return home.empty() ? std::string() : WithoutTrailingSlashes(home) + "/.cache";
}

// mkdir -p with mode 0700 for what it makes; existing parents are left as they are.
Status MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      return Status::Unavailable("cannot make " + parent + ": " + std::strerror(errno));
    }
  }
  return Status::Ok();
}

}  // namespace

Status PreparePrivateFolder(const std::string& folder) {
  const std::string path = WithoutTrailingSlashes(folder);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return Status::Unavailable("cannot make " + path + ": " + std::strerror(errno));
  }
  // Opened without following a link, so the checks and the mode change are about the very
  // folder found here and not about whatever a link planted in its place points to.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return Status::Unavailable(path + " is not a folder (" + std::strerror(errno) + ")");
  }
  struct stat info {};
  Status result = Status::Ok();
  if (::fstat(fd, &info) != 0) {
    result = Status::Unavailable(path + ": " + std::strerror(errno));
  } else if (info.st_uid != ::geteuid()) {
    result = Status::Unavailable(path + " belongs to another user");
  } else if ((info.st_mode & 022) != 0) {
    // Others could have put anything into it: a socket, a link in place of the lock file.
    result = Status::Unavailable(path + " may be written by others (it must be mode 0700)");
  } else if ((info.st_mode & 0777) != 0700 && ::fchmod(fd, 0700) != 0) {
    result =
        Status::Unavailable("cannot close " + path + " to other users: " + std::strerror(errno));
  }
  ::close(fd);
  return result;
}

std::string PreferredRuntimeFolder() {
  if (std::string runtime = AbsoluteFromEnvironment("XDG_RUNTIME_DIR"); !runtime.empty()) {
    return WithoutTrailingSlashes(runtime) + "/vexmor/";
  }
  std::string shared = AbsoluteFromEnvironment("TMPDIR");
  if (shared.empty()) shared = "/tmp";
  return WithoutTrailingSlashes(shared) + "/vexmor-" + std::to_string(::geteuid()) + "/";
}

StatusOr<std::string> PrivateRuntimeFolder() {
  const std::string preferred = PreferredRuntimeFolder();
  if (!AbsoluteFromEnvironment("XDG_RUNTIME_DIR").empty()) {
    if (Status s = PreparePrivateFolder(preferred); !s.ok()) return s;
    return preferred;
  }
  const std::string shared = WithoutTrailingSlashes(preferred);
  Status in_tmp = PreparePrivateFolder(shared);
  if (in_tmp.ok()) return shared + "/";
  // /tmp is everyone's: a folder of that name that is not ours must not keep us from running.
  const std::string cache = CacheFolder();
  if (cache.empty()) return in_tmp;
  const std::string folder = cache + "/vexmor/run";
  if (Status s = MakeParents(folder); !s.ok()) return s;
  if (Status s = PreparePrivateFolder(folder); !s.ok()) {
    return Status::Unavailable(in_tmp.message() + "; " + s.message());
  }
  return folder + "/";
}

}  // namespace vexmor::platform
