// The log writer on Win32 files. Each entry is one WriteFile on a handle opened for appending
// only (FILE_APPEND_DATA), so the system puts the whole entry at the end of the file and the
// appends of other processes cannot land inside it. The file is opened for each entry and closed
// after it, shared for reading, writing and deletion, so other processes append to it and the
// hook library deletes it while others log.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>

#include "vexmor/log/write_log.h"
#include "write_log_internal.h"

namespace vexmor::log {
namespace {

std::mutex& ProcessLock() {
  static std::mutex lock;
  return lock;
}

HANDLE OpenForAppend(const std::string& path) {
  return ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::uint64_t SizeByName(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Past the limit the file becomes "<path>.1" (replacing the one before) and a new one begins.
// Processes appending at once agree through a named mutex of the path: the first that still
// finds the full file under its name sets it aside, the others append to the new one.
void RotateIfFull(const std::string& path, std::size_t adding) {
  const std::uint64_t size = SizeByName(path);
  if (size == 0 || size + adding <= internal::Limit().load()) return;
  const std::string name = "Local\\VexmorLog-" + std::to_string(std::hash<std::string>{}(path));
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return;
  const DWORD waited = ::WaitForSingleObject(mutex, 5000);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    if (SizeByName(path) + adding > internal::Limit().load()) {
      (void)::MoveFileExA(path.c_str(), (path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    ::ReleaseMutex(mutex);
  }
  ::CloseHandle(mutex);
}

void Append(const std::string& path, std::string_view data) {
  if (path.empty() || data.empty()) return;
  std::lock_guard guard(ProcessLock());
  RotateIfFull(path, data.size());
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return;
  while (!data.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    if (!::WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) break;
    data.remove_prefix(written);
  }
  ::CloseHandle(file);
}

}  // namespace

void AppendEntry(const std::string& path, std::string_view message, const platform::Clock& clock) {
  try {
    std::time_t now = std::chrono::system_clock::to_time_t(clock.Now());
    // The zone in force now: TZ (when set) is read again for every entry.
    ::_tzset();
    std::tm local{};
    if (::localtime_s(&local, &now) != 0) return;
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

}  // namespace vexmor::log
