// The shared-file helpers on Win32 files: the lock is LockFileEx on the hidden lock file beside
// the target, whole-file replacement a temporary file moved over the target with
// MoveFileExA (replace, write-through). Edits in place are not attempted: the callers then
// replace the file, which is always correct.
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

std::string Folder(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status LastError(const std::string& what, const std::string& path) {
  DWORD error = ::GetLastError();
  std::string message = what + " " + path + ": " + Win32ErrorText(error);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return Status::NotFound(std::move(message));
  }
  return Status::IoError(std::move(message));
}

bool IsDirectoryOrDevice(const std::string& path) {
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

Status WriteHandle(HANDLE file, std::string_view contents, const std::string& path) {
  while (!contents.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, contents.data(), chunk, &written, nullptr)) {
      return LastError("cannot write", path);
    }
    contents.remove_prefix(written);
  }
  return Status::Ok();
}

}  // namespace

std::string LockFilePath(const std::string& path) {
  return Folder(path) + "." + BaseName(path) + ".lock";
}

FileLock::FileLock(const std::string& path) {
  const std::string lock_path = LockFilePath(path);
  HANDLE file = ::CreateFileA(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    status_ = LastError("cannot open the lock file", lock_path);
    return;
  }
  OVERLAPPED whole{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    status_ = LastError("cannot lock", lock_path);
    ::CloseHandle(file);
    return;
  }
  // The descriptor owns the handle: closing it closes the handle and so releases the lock.
  fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd_ < 0) {
    status_ = Status::IoError("cannot keep the lock of " + lock_path);
    ::CloseHandle(file);
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) _close(fd_);
}

Status ReplaceFileAtomically(const std::string& path, std::string_view contents) {
  if (IsDirectoryOrDevice(path)) {
    return Status::InvalidArgument("not a regular file: " + path);
  }
  const std::string folder = Folder(path).empty() ? std::string(".") : Folder(path);
  char temp[MAX_PATH + 1] = {};
  if (::GetTempFileNameA(folder.c_str(), "vxm", 0, temp) == 0) {
    return LastError("cannot make a temporary file in", folder);
  }
  HANDLE file =
      ::CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Status failed = LastError("cannot open", temp);
    ::DeleteFileA(temp);
    return failed;
  }
  Status status = WriteHandle(file, contents, temp);
  if (status.ok() && !::FlushFileBuffers(file)) status = LastError("cannot flush", temp);
  ::CloseHandle(file);
  if (status.ok() && vexmor_win32_rename(temp, path.c_str()) != 0) {
    status = Status::IoError("cannot replace " + path + ": " + Win32ErrorText(::GetLastError()));
  }
  if (!status.ok()) ::DeleteFileA(temp);
  return status;
}

bool FindChangedStretches(std::string_view old, std::string_view updated, size_t most,
                          std::vector<ChangedStretch>* stretches) {
  stretches->clear();
  for (size_t at = 0; at < old.size();) {
    if (old[at] == updated[at]) {
      ++at;
      continue;
    }
    size_t end = at + 1;
    while (end < old.size() && old[end] != updated[end]) ++end;
    if (stretches->size() == most) return false;
    stretches->push_back({at, old.substr(at, end - at), updated.substr(at, end - at)});
    at = end;
  }
  return true;
}

bool PatchFileInPlace(const std::string&, std::string_view, std::string_view, bool, Status*) {
  return false;
}

bool WriteStretchesInPlace(const std::string&, size_t, const std::vector<ChangedStretch>&,
                           std::string_view, Status*) {
  return false;
}

Status OverwriteFileInPlace(const std::string& path, std::string_view contents) {
  if (IsDirectoryOrDevice(path)) {
    return Status::InvalidArgument("not a regular file: " + path);
  }
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError("cannot open", path);
  Status status = WriteHandle(file, contents, path);
  if (status.ok() && !::SetEndOfFile(file)) status = LastError("cannot truncate", path);
  ::CloseHandle(file);
  return status;
}

StatusOr<std::string> ReadWholeFile(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError("cannot open", path);
  std::string contents;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      Status failed = LastError("cannot read", path);
      ::CloseHandle(file);
      return failed;
    }
    if (got == 0) break;
    contents.append(buffer, got);
  }
  ::CloseHandle(file);
  return contents;
}

Status MakeDirectories(const std::string& path) {
  if (path.empty()) return Status::Ok();
  std::string prefix;
  for (size_t at = 0; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/' && path[at] != '\\') continue;
    prefix = path.substr(0, at);
    // "C:" and the empty root are not folders to make.
    if (prefix.empty() || (prefix.size() == 2 && prefix[1] == ':')) continue;
    if (!::CreateDirectoryA(prefix.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return LastError("cannot create the folder", prefix);
    }
  }
  return Status::Ok();
}

std::string ErrnoText(int error_number) {
  char text[256] = {};
  if (strerror_s(text, sizeof text, error_number) != 0)
    return "error " + std::to_string(error_number);
  return text;
}

Status SyncDirectory(const std::string&) {
  // A rename with MOVEFILE_WRITE_THROUGH is on disk when it returns: nothing left to flush.
  return Status::Ok();
}

}  // namespace vexmor::platform
