// The log writer on Win32 files. Each entry is one WriteFile on a handle opened for appending
// only (FILE_APPEND_DATA), so the system puts the whole entry at the end of the file. The file is
// opened for each entry and closed after it, shared for reading, writing and deletion, so other
// processes append to it and the hook library deletes it while others log. Writers of one file
// also take turns through a named mutex of its path: Wine emulates such appends as a seek to the
// end followed by a write, which lets two processes tear each other's entries.
#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdint>
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

// Writers of one file, in any process of the session, take turns by a mutex named after the
// file's full path (case folded, as the file system folds it).
class FileTurn {
 public:
  explicit FileTurn(const std::string& path) {
    char full[MAX_PATH * 2];
    const DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    std::string key = length > 0 && length < sizeof full ? std::string(full, length) : path;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string name = "Local\\VexmorLog-" + std::to_string(std::hash<std::string>{}(key));
    mutex_ = ::CreateMutexA(nullptr, FALSE, name.c_str());
    // A writer that never lets go (hung, or stopped in a debugger) delays an entry at most 5 s;
    // the entry then goes out without its turn rather than holding up the caller.
    if (mutex_ != nullptr) {
      const DWORD waited = ::WaitForSingleObject(mutex_, 5000);
      owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
  }
  ~FileTurn() {
    if (owned_) ::ReleaseMutex(mutex_);
    if (mutex_ != nullptr) ::CloseHandle(mutex_);
  }
  FileTurn(const FileTurn&) = delete;
  FileTurn& operator=(const FileTurn&) = delete;

 private:
  HANDLE mutex_ = nullptr;
  bool owned_ = false;
};

// Past the limit the file becomes "<path>.1" (replacing the one before) and a new one begins.
// Called in the file's turn, so exactly one writer sets a full file aside.
void RotateIfFull(const std::string& path, std::size_t adding) {
  const std::uint64_t size = SizeByName(path);
  if (size == 0 || size + adding <= internal::Limit().load()) return;
  (void)::MoveFileExA(path.c_str(), (path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
}

void Append(const std::string& path, std::string_view data) {
  if (path.empty() || data.empty()) return;
  std::lock_guard guard(ProcessLock());
  FileTurn turn(path);
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
