// The one seam over POSIX calls that every Linux adapter and program shares: errors as Status,
// an owned descriptor, writes that finish, calls retried when a signal interrupts them, and
// the folder the running program lies in.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

// "what: <text of error>", as an IoError (NotFound for ENOENT, so callers can tell a missing
// file from a failing one).
Status ErrnoStatus(std::string_view what, int error = errno);

// Owns a file descriptor and closes it once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Calls "call" again while it fails with EINTR; returns its last result (errno as it left it).
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Writes all of "bytes", through short writes and interruptions. A descriptor in non-blocking
// mode that stays full fails with Unavailable instead of spinning.
Status WriteAll(int fd, std::string_view bytes);

// The running program's own file and folder (the folder with a trailing slash), from
// /proc/self/exe: programs find the libraries and programs installed beside them there.
StatusOr<std::string> OwnProgramPath();
StatusOr<std::string> OwnProgramFolder();

// The entry point "symbol" of the module at "path", loaded once and never unloaded (a module's
// threads, the toolkit's, must never lose their code); nullptr with "problem" saying why.
void* LoadedModuleSymbol(const std::string& path, const char* symbol, std::string* problem);

}  // namespace vexmor::platform
