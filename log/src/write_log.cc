#include "vexmor/log/write_log.h"

#include <cstdio>
#include <mutex>

namespace vexmor::log {
namespace {

std::mutex& ProcessLock() {
  static std::mutex lock;
  return lock;
}

void Append(const std::string& path, std::string_view data) {
  std::lock_guard guard(ProcessLock());
  std::FILE* file = std::fopen(path.c_str(), "a+");
  if (file == nullptr) return;
  std::fwrite(data.data(), 1, data.size(), file);
  std::fclose(file);
}

}  // namespace

std::string TimeStamp(const std::tm& local) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%s%d-%s%d-%d\t%d:%d:%d", local.tm_mon + 1 < 10 ? "0" : "",
                local.tm_mon + 1, local.tm_mday < 10 ? "0" : "", local.tm_mday,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return buffer;
}

std::string FormatEntry(std::string_view stamp, std::string_view message) {
  std::string entry = "Information: ";
  entry += stamp;
  entry += ": \t";
  entry += message;
  entry += '\n';
  return entry;
}

void AppendEntry(const std::string& path, std::string_view message,
                 const platform::Clock& clock) {
  try {
    std::time_t now = std::chrono::system_clock::to_time_t(clock.Now());
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

void WriteLog(std::string_view message, std::string_view folder, const platform::Clock& clock) {
  try {
    AppendEntry(std::string(folder) + std::string(kOeLogFile), message, clock);
  } catch (...) {
  }
}

}  // namespace vexmor::log
