#include "vexmor/platform/posix.h"

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

namespace vexmor::platform {

Status WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A peer that reads nothing for ten seconds is not coming back.
      pollfd p{fd, POLLOUT, 0};
      const int ready = RetryOnInterrupt([&] { return ::poll(&p, 1, 10000); });
      if (ready > 0) continue;
      if (ready == 0) return Status::Unavailable("write: the reader takes nothing");
    }
    return ErrnoStatus("write");
  }
  return Status::Ok();
}

StatusOr<std::string> OwnProgramPath() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n < 0) return ErrnoStatus("readlink /proc/self/exe");
  if (static_cast<size_t>(n) >= buffer.size()) {
    return Status::IoError("readlink /proc/self/exe: the path is too long");
  }
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

StatusOr<std::string> OwnProgramFolder() {
  auto path = OwnProgramPath();
  if (!path.ok()) return path.status();
  const size_t slash = path->rfind('/');
  if (slash == std::string::npos) return Status::IoError("the program's path has no folder");
  return path->substr(0, slash + 1);
}

void* LoadedModuleSymbol(const std::string& path, const char* symbol, std::string* problem) {
  static std::mutex mutex;
  static auto* handles = new std::map<std::string, void*>();  // never destroyed, as the modules
  std::lock_guard<std::mutex> lock(mutex);
  void*& handle = (*handles)[path];
  if (handle == nullptr) handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *problem = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
    return nullptr;
  }
  void* entry = ::dlsym(handle, symbol);
  if (entry == nullptr) *problem = path + " has no " + symbol + "; is it of another version?";
  return entry;
}

}  // namespace vexmor::platform
