// The POSIX file calls of include/vexmor/platform/posix_on_win32.h.
#include <winsock2.h>

#include <windows.h>

#include <cerrno>

#include "vexmor/platform/posix_on_win32.h"

extern "C" int vexmor_win32_rename(const char* from, const char* to) {
  // A reader that holds the target open for a moment makes the replace fail: try again
  // briefly before giving up, as a reader holds it only for one read.
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    DWORD error = ::GetLastError();
    if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && attempt < 50) {
      ::Sleep(10);
      continue;
    }
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return -1;
  }
}

extern "C" int vexmor_win32_fsync(int fd) {
  return _commit(fd);
}

namespace {

// Name look-ups through Winsock (getaddrinfo) need it started once per process.
struct WinsockStarted {
  WinsockStarted() {
    WSADATA data{};
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockStarted() {
    if (started) ::WSACleanup();
  }
  bool started = false;
};
const WinsockStarted g_winsock;

}  // namespace
