// The log writer's parts that every system shares: the entry's bytes, the size limit and the
// three call forms on top of AppendEntry.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "vexmor/log/write_log.h"
#include "write_log_internal.h"

namespace vexmor::log {
namespace {

std::string_view UpToZero(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

struct AddinPath {
  std::mutex lock;
  std::string path;
};

AddinPath& StoredAddinPath() {
  static auto* stored = internal::NeverDestroyed(new AddinPath);
  return *stored;
}

}  // namespace

std::atomic<uint64_t>& internal::Limit() {
  static std::atomic<uint64_t> limit = [] {
    const char* text = std::getenv("VEXMOR_LOG_MAX_BYTES");
    char* end = nullptr;
    unsigned long long value = text != nullptr ? std::strtoull(text, &end, 10) : 0;
    return text != nullptr && *text != '\0' && *end == '\0' && value > 0
               ? static_cast<uint64_t>(value)
               : kDefaultSizeLimit;
  }();
  return limit;
}

void SetSizeLimit(uint64_t bytes) {
  internal::Limit().store(bytes > 0 ? bytes : kDefaultSizeLimit);
}

uint64_t SizeLimit() {
  return internal::Limit().load();
}

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
  entry += UpToZero(message);
  entry += '\n';
  return entry;
}

void WriteLog(std::string_view message, std::string_view folder, const platform::Clock& clock) {
  try {
    AppendEntry(std::string(folder) + std::string(kOeLogFile), message, clock);
  } catch (...) {
  }
}

void WriteAddinLog(std::string_view text, bool set_path, const platform::Clock& clock) {
  try {
    AddinPath& stored = StoredAddinPath();
    std::string path;
    {
      std::lock_guard guard(stored.lock);
      if (set_path) {
        stored.path = std::string(UpToZero(text));
        return;
      }
      path = stored.path;
    }
    AppendEntry(path, text, clock);
  } catch (...) {
  }
}

}  // namespace vexmor::log
